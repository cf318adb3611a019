#include "engine/core/filter.h"

namespace strata {

TFilter::TFilter(TDataCursor& owner, ExpTokenPtr expression, TDataCursor::FilterCallback callback,
                 const TDataCursor::FilterOptions& options)
    : owner_(owner),
      expression_(std::move(expression)),
      callback_(std::move(callback)),
      options_(options),
      bitmap_(AcquireRecordsBitmap()) {}

TFilter::~TFilter() {
    active_ = false;
    level_ = 2;
    ReleaseRecordsBitmap(bitmap_);
}

}  // namespace strata
