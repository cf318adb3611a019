#pragma once

// What the table files ask of the objects above them. The table object that
// owns the three files implements TTableFileOwner; a cursor that reads
// through them implements TFileCursor. Both may be absent (nullptr): the files
// then work on their own, as the maintenance tools and tests use them.

#include <cstdint>
#include <exception>
#include <string_view>

#include "engine/storage/file_handler.h"
#include "platform/os/clock.h"

namespace strata {

class TFileCursor;

class TTableFileOwner {
  public:
    virtual ~TTableFileOwner() = default;
    // A file wrote data of the table.
    virtual void MarkWritten() = 0;
    // A file is about to write: the table marks its files as being written
    // first, so that a write cut short is noticed at the next open. It writes
    // the data file and may wait for file locks, so it runs before the writing
    // file's object lock is taken (TFileHandler::PrepareWrite), never under it.
    virtual void BeforeWrite() {}
    // A write-behind's helper wrote the last of a flush's kept index pages, before it lets the
    // file's write lock go: the table's in-progress mark may come off now. Runs on the helper
    // thread, or on the caller's when no thread was to be had.
    virtual void KeptPagesWritten() noexcept {}
    // Inside an update batch caches grow instead of failing when full.
    virtual bool InUpdateBatch() const = 0;
    // No other program can write the table's files now (the table is held
    // exclusively, or its write or batch lock is held).
    virtual bool WritesAlone() const { return false; }
    // The cursor whose operation is under way, if any: reads that miss the
    // caches without one named by their caller ask it to re-check the table.
    virtual TFileCursor* Reader() const { return nullptr; }
};

// Raised by a read that missed the caches when the re-check found the table
// changed by another program: the caches are gone, and the cursor operation
// that read starts over. Nothing else catches it.
class TableChangedUnder final : public std::exception {
  public:
    const char* what() const noexcept override { return "table changed under the operation"; }
};

class TFileCursor {
  public:
    virtual ~TFileCursor() = default;
    // On a cache miss without strict change detection the cursor re-checks the
    // table for changes by others; true when it found one (caches were dropped
    // and the caller must start over). The re-check may wait for the table's
    // read lock, a byte range, so it is asked before any file object's lock is
    // taken for the read, never under it.
    virtual bool RecheckTableChanged() = 0;
    // Repair and verification report each fault as one line.
    virtual bool RunningRepair() const = 0;
    virtual void RepairLog(std::string_view text) = 0;
    // For read-ahead in index order: how many records with consecutive numbers
    // follow (or precede) the current index entry, at most `max`.
    virtual std::uint32_t ConsecutiveIndexRecords(std::uint32_t max, bool forward) = 0;
};

// Tries a byte-range lock until `attempt` succeeds or the waiting of `tries`
// attempts `pause_ms` apart is spent. The waiting goes in 1 ms steps, so a
// lock another program releases is taken at once rather than a pause later.
// Where a wait may come, the first refusal is followed by `quick_attempts`
// more, each after only a yield of the processor, for a range whose holders
// let it go within microseconds: a step's sleep costs the system far more.
// Never called while a file object's or the registry's lock is held: the
// holder of the range, another session of this process, may need that lock
// to finish and let the range go.
template <class Attempt>
bool RetryFileLock(Attempt&& attempt, std::uint32_t tries, std::uint32_t pause_ms,
                   std::uint32_t quick_attempts = 0) {
    const std::uint64_t budget = std::uint64_t{tries > 0 ? tries - 1 : 0} * pause_ms;
    for (std::uint64_t waited = 0;; ++waited) {
        if (attempt())
            return true;
        if (waited >= budget)
            return false;
        for (std::uint32_t quick = waited == 0 ? quick_attempts : 0; quick > 0; --quick) {
            FileLockWait();
            platform::os::Sleep(0);
            if (attempt())
                return true;
        }
        FileLockWait();
        platform::os::Sleep(1);
    }
}

}  // namespace strata
