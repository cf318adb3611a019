#pragma once

// TFilter: one filter of a cursor, either a prepared boolean expression
// over the record's columns or a callback, with the bitmap of the record
// numbers that pass it.

#include <cstdint>
#include <memory>

#include "engine/core/data_cursor.h"
#include "engine/storage/exp_token.h"
#include "engine/storage/records_bitmap.h"
#include "platform/db/format_settings.h"

namespace strata {

class TFilter {
  public:
    TFilter(TDataCursor& owner, ExpTokenPtr expression, TDataCursor::FilterCallback callback,
            const TDataCursor::FilterOptions& options);
    ~TFilter();
    TFilter(const TFilter&) = delete;
    TFilter& operator=(const TFilter&) = delete;

    TDataCursor& Owner() const noexcept { return owner_; }
    bool Active() const noexcept { return active_; }
    void SetActive(bool value) noexcept { active_ = value; }
    bool IsCallback() const noexcept { return !expression_; }
    TExpToken* Expression() const noexcept { return expression_.get(); }
    // Gives back the expression it replaces.
    ExpTokenPtr SetExpression(ExpTokenPtr expression) {
        std::swap(expression_, expression);
        return expression;
    }
    const TDataCursor::FilterOptions& Options() const noexcept { return options_; }
    const TDataCursor::FilterCallback& Callback() const noexcept { return callback_; }
    // 0 fully answered by index scans, 1 partly, 2 record by record.
    std::uint8_t Level() const noexcept { return level_; }
    void SetLevel(std::uint8_t level) noexcept { level_ = level; }
    TRecordsBitmap& Bitmap() noexcept { return *bitmap_; }
    // Built once when the filter is installed: loading them per record
    // cost more than the evaluation itself.
    const db::TFormatSettings& Formats() const noexcept { return formats_; }
    void SetFormats(db::TFormatSettings formats) { formats_ = std::move(formats); }

  private:
    TDataCursor& owner_;
    ExpTokenPtr expression_;
    TDataCursor::FilterCallback callback_;
    TDataCursor::FilterOptions options_;
    std::unique_ptr<TRecordsBitmap> bitmap_;
    db::TFormatSettings formats_;
    bool active_ = false;
    std::uint8_t level_ = 2;
};

}  // namespace strata
