#pragma once

// The bracket of every cursor operation: change detection at the start and
// the operation read-unlock at the end. Nested operations of one cursor run
// inside the outermost bracket.

#include "engine/core/data_cursor.h"

namespace strata {

class CursorOperation {
  public:
    explicit CursorOperation(TDataCursor& cursor) : cursor_(cursor) {
        if (cursor_.in_operation_)
            return;
        cursor_.in_operation_ = true;
        outermost_ = true;
        try {
            cursor_.SyncWithTable();
        } catch (...) {
            cursor_.EndOperation();
            throw;
        }
    }
    ~CursorOperation() {
        if (outermost_)
            cursor_.EndOperation();
    }
    CursorOperation(const CursorOperation&) = delete;
    CursorOperation& operator=(const CursorOperation&) = delete;

  private:
    TDataCursor& cursor_;
    bool outermost_ = false;
};

}  // namespace strata
