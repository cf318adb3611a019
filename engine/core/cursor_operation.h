#pragma once

// The bracket of every cursor operation: change detection at the start and
// the operation read-unlock at the end. Nested operations of one cursor run
// inside the outermost bracket.

#include "engine/core/data_cursor.h"
#include "engine/storage/engine_error_codes.h"

namespace strata {

class CursorOperation {
  public:
    explicit CursorOperation(TDataCursor& cursor) : CursorOperation(cursor, false, false) {}
    ~CursorOperation() {
        if (outermost_)
            cursor_.EndOperation();
    }
    CursorOperation(const CursorOperation&) = delete;
    CursorOperation& operator=(const CursorOperation&) = delete;

    // Runs `body` as one operation that reads only, so that it can start over. Without strict
    // change detection a read that misses the caches of a shared table re-checks the table
    // first (TDataCursor::RecheckTableChanged); when another program changed it, the caches
    // are gone and the operation starts again from where the cursor stood. A table changed
    // at every attempt gets the read lock from the start of the last one, which nothing can
    // interrupt.
    template <class Body>
    static decltype(auto) Run(TDataCursor& cursor, Body&& body) {
        if (cursor.in_operation_)
            return body();
        const bool may_restart = cursor.MayRecheck();
        if (may_restart)
            cursor.SaveRestartPoint();
        for (int attempt = 0;; ++attempt) {
            try {
                const CursorOperation operation(cursor, may_restart,
                                                attempt >= kAttemptsBeforeHolding);
                return body();
            } catch (const TableChangedUnder&) {
                if (!may_restart || attempt >= kAttemptsBeforeHolding)
                    cursor.Raise(kErrLockFailure);
                cursor.BackToRestartPoint();
            }
        }
    }

  private:
    static constexpr int kAttemptsBeforeHolding = 2;

    CursorOperation(TDataCursor& cursor, bool restartable, bool hold_read_lock) : cursor_(cursor) {
        if (cursor_.in_operation_)
            return;
        cursor_.BeginOperation(restartable);
        outermost_ = true;
        try {
            cursor_.SyncWithTable(hold_read_lock);
        } catch (...) {
            cursor_.EndOperation();
            throw;
        }
    }

    TDataCursor& cursor_;
    bool outermost_ = false;
};

}  // namespace strata
