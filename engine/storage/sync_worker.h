#pragma once

// A file's sync run beside the caller's own: the process keeps one sync worker, a thread
// started with the first sync handed to it and kept until the process ends, so that a flush
// that ends in two syncs (the data and index files of a table) waits about as long as the
// slower one rather than their sum, without starting a thread per flush. A fork ends the
// thread first (after a sync under way), so that a forked process does not start out with
// threads it does not have; the next sync handed in either process starts it again.
//
// The worker takes one sync at a time: a caller that finds it busy with another thread's sync
// syncs its file itself, as it would not gain by queuing behind it.

#include <cstdint>
#include <exception>

namespace strata {

class TFileHandler;
class TSyncWorker;

class TSyncBeside {
  public:
    TSyncBeside() = default;
    // Waits for a sync still under way (its failure, unasked for, is dropped: Finish is what
    // reports it).
    ~TSyncBeside();
    TSyncBeside(const TSyncBeside&) = delete;
    TSyncBeside& operator=(const TSyncBeside&) = delete;

    // Starts `file`'s sync on the worker: what SyncWritten syncs when `written_only`, else what
    // Flush does. True when the worker took it; otherwise (a memory file, nothing to sync, the
    // worker busy or no thread to be had) Finish syncs the file on the calling thread. The
    // file must stay open until Finish returns.
    bool Start(TFileHandler& file, bool written_only);
    // Returns once the file's sync is over, raising its failure as the file's own sync would.
    // Does nothing without a Start, or a second time.
    void Finish();
    // Whether the worker runs this sync.
    bool Beside() const noexcept { return beside_; }

  private:
    TFileHandler* file_ = nullptr;
    TSyncWorker* runner_ = nullptr;
    bool written_only_ = false;
    bool beside_ = false;
};

// Syncs the worker has run since the process started (tests check where syncs ran).
std::uint64_t SyncsBeside() noexcept;

}  // namespace strata
