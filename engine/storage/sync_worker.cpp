#include "engine/storage/sync_worker.h"

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "engine/storage/engine_error_codes.h"
#include "engine/storage/file_handler.h"
#include "engine/storage/file_objects.h"

namespace strata {
namespace {

std::atomic<std::uint64_t> syncs_beside{0};

}  // namespace

// The thread that runs handed syncs, one at a time, and the one caller whose sync it holds.
class TSyncWorker {
  public:
    // False when another caller's sync holds the worker, its thread is ending or no thread is
    // to be had.
    bool Hand(TPhysicalFile& file, bool written_only) {
        {
            std::lock_guard lock(mutex_);
            if (taken_ || ending_ || stopped_)
                return false;
            if (!thread_.joinable()) {
                try {
                    thread_ = std::thread([this] { Run(); });
                } catch (const std::system_error&) {
                    return false;
                }
            }
            taken_ = true;
            pending_ = true;
            done_ = false;
            file_ = &file;
            written_only_ = written_only;
        }
        work_.notify_one();
        return true;
    }

    // Requires: a Hand of this caller's that returned true. The sync's result; its error
    // number goes to the caller's LastFileOsError, as if the caller had synced.
    std::int32_t Wait(std::exception_ptr& failure) {
        std::unique_lock lock(mutex_);
        finished_.wait(lock, [this] { return done_; });
        taken_ = false;
        file_ = nullptr;
        failure = std::exchange(failure_, nullptr);
        SetLastFileOsError(os_error_);
        return result_;
    }

    // Before a fork: ends the thread once a sync under way is over, and keeps the worker locked
    // through the fork, so that neither process goes on with a thread or a lock the other has.
    // The next hand in either process starts a thread again.
    void HoldForFork() noexcept {
        EndThread(false);
        mutex_.lock();
    }
    void ReleaseAfterFork() noexcept {
        ending_ = false;
        mutex_.unlock();
    }

    // As the process ends: ends the thread, and refuses later hands.
    void Stop() noexcept { EndThread(true); }

  private:
    // Leaves ending_ set: hands are refused until it is cleared.
    void EndThread(bool for_good) noexcept {
        {
            std::lock_guard lock(mutex_);
            ending_ = true;
            stopped_ = stopped_ || for_good;
        }
        work_.notify_one();
        // Hands leave thread_ alone while ending_ is set.
        if (thread_.joinable())
            thread_.join();
    }

    void Run() {
        std::unique_lock lock(mutex_);
        for (;;) {
            work_.wait(lock, [this] { return pending_ || ending_; });
            if (!pending_)
                return;
            pending_ = false;
            TPhysicalFile* const file = file_;
            const bool written_only = written_only_;
            lock.unlock();
            std::int32_t result = 0;
            std::exception_ptr failure;
            try {
                result = written_only ? file->SyncWritten() : file->Flush();
            } catch (...) {
                failure = std::current_exception();
            }
            syncs_beside.fetch_add(1, std::memory_order_relaxed);
            const int os_error = result < 0 ? LastFileOsError() : 0;
            lock.lock();
            result_ = result;
            os_error_ = os_error;
            failure_ = std::move(failure);
            done_ = true;
            lock.unlock();
            finished_.notify_one();
            lock.lock();
        }
    }

    std::mutex mutex_;
    std::condition_variable work_;
    std::condition_variable finished_;
    std::thread thread_;
    TPhysicalFile* file_ = nullptr;
    bool written_only_ = false;
    bool taken_ = false;
    bool pending_ = false;
    bool done_ = false;
    bool ending_ = false;
    bool stopped_ = false;
    std::int32_t result_ = 0;
    int os_error_ = 0;
    std::exception_ptr failure_;
};

namespace {

// This process's worker, made with the first hand; never freed, so that a flush at the end of
// the process still finds it (stopped) after Ending has run.
std::mutex worker_guard;
TSyncWorker* worker = nullptr;

void ForkPrepare() {
    worker_guard.lock();
    if (worker != nullptr)
        worker->HoldForFork();
}
void ForkDone() {
    if (worker != nullptr)
        worker->ReleaseAfterFork();
    worker_guard.unlock();
}

TSyncWorker* ProcessWorker() {
    std::lock_guard lock(worker_guard);
    if (worker == nullptr) {
        static const bool registered = pthread_atfork(ForkPrepare, ForkDone, ForkDone) == 0;
        if (!registered)
            return nullptr;
        worker = new TSyncWorker;  // NOLINT(cppcoreguidelines-owning-memory): see `worker`
    }
    return worker;
}

// Joins the worker's thread as the process ends.
struct Ending {
    Ending() = default;
    Ending(const Ending&) = delete;
    Ending& operator=(const Ending&) = delete;
    ~Ending() {
        std::lock_guard lock(worker_guard);
        if (worker != nullptr)
            worker->Stop();
    }
} ending;

}  // namespace

std::uint64_t SyncsBeside() noexcept {
    return syncs_beside.load(std::memory_order_relaxed);
}

TSyncBeside::~TSyncBeside() {
    if (beside_) {
        std::exception_ptr dropped;
        (void)runner_->Wait(dropped);
    }
}

bool TSyncBeside::Start(TFileHandler& file, bool written_only) {
    Finish();
    file_ = &file;
    written_only_ = written_only;
    if (file.InMemory())
        return false;
    auto* physical = dynamic_cast<TPhysicalFile*>(file.FileObject());
    if (physical == nullptr || (written_only && physical->UnsyncedBytes() == 0))
        return false;
    runner_ = ProcessWorker();
    beside_ = runner_ != nullptr && runner_->Hand(*physical, written_only);
    return beside_;
}

void TSyncBeside::Finish() {
    TFileHandler* const file = std::exchange(file_, nullptr);
    if (file == nullptr)
        return;
    if (!beside_) {
        if (written_only_)
            file->SyncWritten();
        else
            file->Flush();
        return;
    }
    beside_ = false;
    std::exception_ptr failure;
    const std::int32_t result = runner_->Wait(failure);
    if (failure)
        std::rethrow_exception(failure);
    if (result < 0)
        RaiseEngineFileError(static_cast<EngineErrorCode>(std::llabs(result)), file->Name(),
                             LastFileOsError());
}

}  // namespace strata
