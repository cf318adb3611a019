#pragma once

// The shared file objects behind every engine file handle: one per path and
// kind in the process, over one operating-system file (TPhysicalFile) or a
// buffer on the engine heap (TMemoryFile).
//
// Results follow the storage layer's convention: a handle id of 1 or more, 0,
// a byte count, or a negative engine error code.
//
// Positions are kept per handle for both kinds, and stay within the signed
// 32-bit range of the table formats: a read or write that would reach past
// it is refused (9217, 9218) rather than wrapped.

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "engine/storage/engine_heap.h"
#include "platform/os/file.h"

namespace strata {

inline constexpr std::int64_t kMaxFilePosition = 0x7FFFFFFF;
// Memory files grow, and copies move data, in blocks of this size.
inline constexpr std::int64_t kFileBlockSize = 65535;

enum class SeekOrigin : int { kBegin = 0, kCurrent = 1, kEnd = 2 };

// Tests make syncs fail or hold them up: the hook, when set, runs on the syncing thread before
// every sync a physical file asks of the operating system, with the file's name; a result
// other than 0 is the errno the sync then fails with, as if the system had reported it.
using FileSyncHook = int (*)(const std::string& name);
void SetFileSyncHook(FileSyncHook hook) noexcept;
// The same before every start of a physical file's write-back (on the thread that starts it):
// a result other than 0 is the errno the device reported for it.
void SetFileWritebackHook(FileSyncHook hook) noexcept;

// The operating system's error number behind the last negative result a file object or the
// file registry gave on this thread, 0 when that failure was the engine's own. As with errno,
// it is read right after the failing call; a caller that cleans up first puts it back.
int LastFileOsError() noexcept;
void SetLastFileOsError(int error) noexcept;

class TAbstractFile {
  public:
    struct LockRecord {
        std::int64_t start;
        std::int64_t end;  // start + length - 1
        std::int64_t length;
    };
    struct HandleRecord {
        std::int32_t id;
        std::int64_t position;
    };

    explicit TAbstractFile(std::string_view name = {});
    virtual ~TAbstractFile() = default;
    TAbstractFile(const TAbstractFile&) = delete;
    TAbstractFile& operator=(const TAbstractFile&) = delete;

    // Index of the handle in the handle list, or -1.
    std::int64_t FindHandle(std::int32_t id) const;

    // Empties the file and opens a handle on it.
    virtual std::int32_t CreateFile();
    virtual std::int32_t OpenFile();
    // An id that is not open changes nothing.
    virtual void CloseHandle(std::int32_t id);
    virtual std::int32_t Rename(std::string_view new_name);
    virtual std::int32_t Delete();
    // Bytes read, or a negative code.
    virtual std::int64_t Read(std::int32_t id, std::span<std::byte> buffer);
    // Bytes written, or a negative code. Writing nothing cuts the file at the
    // handle's position.
    virtual std::int64_t Write(std::int32_t id, std::span<const std::byte> data);
    // The new position: origin kEnd counts from the size (size + offset).
    std::int64_t Seek(std::int32_t id, std::int64_t offset, SeekOrigin origin);
    // Refuses (false) a range that overlaps one already locked in this process.
    virtual bool LockRegion(std::int64_t start, std::int64_t length);
    // True when a lock of exactly this start and length was released.
    virtual bool UnlockRegion(std::int64_t start, std::int64_t length);
    // UnlockRegion of two ranges, together where the system allows; whether each went.
    virtual std::pair<bool, bool> UnlockRegionPair(std::int64_t first_start,
                                                   std::int64_t first_length,
                                                   std::int64_t second_start,
                                                   std::int64_t second_length);
    // UnlockRegion, except that the single bytes in `kept` (inside the range) stay locked, as
    // ranges of their own, without a moment in which another program could take them. `kept`
    // is left with the bytes that stay locked.
    virtual bool UnlockRegionKeeping(std::int64_t start, std::int64_t length,
                                     std::vector<std::int64_t>& kept);

    // Physical files: the operating system's size; memory files: the logical one.
    virtual std::int64_t CurrentSize() = 0;
    virtual bool IsMemoryFile() const noexcept = 0;

    // The object's critical section (re-entrant).
    void Lock() { lock_.lock(); }
    void Unlock() { lock_.unlock(); }

    const std::string& Name() const noexcept { return name_; }
    void SetName(std::string_view name) { name_ = name; }
    std::int32_t OpenCount() const noexcept { return static_cast<std::int32_t>(handles_.size()); }
    std::size_t LockCount() const noexcept { return locks_.size(); }

    bool Exclusive() const noexcept { return exclusive_; }
    void SetExclusive(bool value) noexcept { exclusive_ = value; }
    bool ReadOnly() const noexcept { return read_only_; }
    bool ReadOnlyAttribute() const noexcept { return read_only_attribute_; }
    bool Temporary() const noexcept { return temporary_; }
    void SetTemporary(bool value) noexcept { temporary_ = value; }
    // Write-through files are not opened for synchronous writes: their
    // owners write a flush's bytes in one pass and then sync each file once
    // (SyncWritten), which gives the same guarantee at the end of the flush
    // for a fraction of the synchronous writes. A closing handle syncs what
    // was written since.
    bool WriteThrough() const noexcept { return write_through_; }
    void SetWriteThrough(bool value) noexcept { write_through_ = value; }
    bool Sequential() const noexcept { return sequential_; }
    void SetSequential(bool value) noexcept { sequential_ = value; }

  protected:
    // Requires: the handle is open (FindHandle >= 0).
    std::int64_t& PositionOf(std::int32_t id);
    std::int32_t AddHandle();
    void MarkReadOnly(bool read_only, bool attribute) noexcept {
        read_only_ = read_only;
        read_only_attribute_ = attribute;
    }

    // Taken after the registry's lock (see TFileList), never before it, and
    // held only around this object's own seeks, reads, writes and syncs (see
    // TFileHandler::LockFileObject); only the registry's copies, under its
    // lock, hold a second object's with it.
    std::recursive_mutex lock_;

  private:
    bool exclusive_ = false;
    bool read_only_ = false;
    bool read_only_attribute_ = false;
    bool temporary_ = false;
    bool write_through_ = false;
    bool sequential_ = false;
    std::string name_;
    std::vector<LockRecord> locks_;
    std::vector<HandleRecord> handles_;
};

class TMemoryFile final : public TAbstractFile {
  public:
    using TAbstractFile::TAbstractFile;
    ~TMemoryFile() override;

    std::int32_t CreateFile() override;
    std::int64_t Read(std::int32_t id, std::span<std::byte> buffer) override;
    std::int64_t Write(std::int32_t id, std::span<const std::byte> data) override;
    std::int64_t CurrentSize() override;
    bool IsMemoryFile() const noexcept override { return true; }

    // The bytes the file's memory holds, in all its pieces.
    std::size_t BufferCapacity() const noexcept;

  private:
    // Gives the memory up: kept for the next memory file to grow (see the definition).
    void Release() noexcept;
    // Makes room for the bytes before `end`.
    void Reserve(std::int64_t end);
    // The bytes at `at`, copied out of or into the pieces they lie in, or cleared.
    void CopyOut(std::int64_t at, std::span<std::byte> into) const;
    void CopyIn(std::int64_t at, std::span<const std::byte> from);
    void Clear(std::int64_t at, std::int64_t count);
    // Calls step(bytes in a piece, bytes done before them, their count) for each run of the
    // `count` bytes at `at` that lies in one of `pieces` (pieces_, const or not).
    template <typename Pieces, typename Step>
    static void ForEachPieceRun(Pieces& pieces, std::int64_t at, std::size_t count, Step step);

    // The file's bytes: a first piece that grows (moving its bytes) up to kPieceBytes, then
    // further pieces of kPieceBytes each, so that a large file grows without moving what it
    // holds. Piece i holds the bytes from i * kPieceBytes on.
    static constexpr std::size_t kPieceBytes = 16 * static_cast<std::size_t>(kFileBlockSize);
    std::vector<EngineBuffer> pieces_;
    std::int64_t size_ = 0;
};

class TPhysicalFile final : public TAbstractFile {
  public:
    using TAbstractFile::TAbstractFile;
    ~TPhysicalFile() override;

    std::int32_t CreateFile() override;
    std::int32_t OpenFile() override;
    void CloseHandle(std::int32_t id) override;
    std::int32_t Rename(std::string_view new_name) override;
    std::int32_t Delete() override;
    std::int64_t Read(std::int32_t id, std::span<std::byte> buffer) override;
    std::int64_t Write(std::int32_t id, std::span<const std::byte> data) override;
    bool LockRegion(std::int64_t start, std::int64_t length) override;
    bool UnlockRegion(std::int64_t start, std::int64_t length) override;
    std::pair<bool, bool> UnlockRegionPair(std::int64_t first_start, std::int64_t first_length,
                                           std::int64_t second_start,
                                           std::int64_t second_length) override;
    bool UnlockRegionKeeping(std::int64_t start, std::int64_t length,
                             std::vector<std::int64_t>& kept) override;
    std::int64_t CurrentSize() override;
    bool IsMemoryFile() const noexcept override { return false; }

    // 0 or a negative code.
    std::int32_t Flush();
    // Makes the data written since the last sync durable (fdatasync), or
    // does nothing when nothing was written: 0 or a negative code.
    std::int32_t SyncWritten();
    // Before the last handle of a write-through file closes: SyncWritten, without the
    // registry's lock or this object's, so that a slow device holds up only the closing caller,
    // not the process's other opens and closes (the registry's close, under its lock, then
    // finds nothing left to sync). Nothing for a file that other handles keep open. 0 or a
    // negative code. Requires: the caller's handle is open.
    std::int32_t SyncBeforeLastClose();
    // One fdatasync even when the file remembers a failure, for bytes written since that must
    // reach the disk all the same (a mark saying the file may be damaged): a sync that passes
    // covers what was written after the failure, though not what the failure dropped. The
    // failure stays remembered. True when the sync passed.
    bool SyncPastFailure() noexcept;
    // Starts the device on what SyncWritten would make durable.
    void StartSyncWritten();
    // As StartSyncWritten, on a helper thread, returning at once: asking the device to write
    // may wait for it when its queue is full, and the writer goes on meanwhile. While one is
    // under way another is not started (the next covers what this one missed); a sync or the
    // close waits for it.
    void StartWriteBehind();
    // Starts bringing `length` bytes at `offset` into the system's cache without waiting, for
    // a read soon after; only a hint, nothing for a closed file.
    void WillNeed(std::int64_t offset, std::int64_t length);
    // Writes all of `data` at `offset` without moving any handle's position and without holding
    // the object's lock during the write, so another thread may read other bytes meanwhile:
    // 0 or a negative code. Requires: the file stays open until it returns.
    std::int32_t WriteAt(std::int64_t offset, std::span<const std::byte> data);
    // At least the file's first `end` bytes, mapped for reading without a copy: one mapping of
    // the whole file, kept from one call to the next, so that its pages stay mapped; a new one
    // once the file has grown past it. None where the file holds fewer bytes or the system
    // does not map it. A cut of the file drops the kept mapping; a holder of one must not read
    // past a cut (no one cuts a file that others have open).
    std::shared_ptr<const platform::os::MappedRange> MapForReading(std::int64_t end);
    bool HasOsHandle() const noexcept { return file_.IsOpen(); }
    // Bytes written since the last sync (a cut counts as one), which a sync has to wait for.
    std::int64_t UnsyncedBytes() const noexcept {
        return unsynced_.load(std::memory_order_relaxed);
    }

    // The engine code of the first failed sync or write-back since the file was opened, or 0.
    // The system may drop the pages such a failure leaves and report it only once, so a later
    // sync that succeeded would not mean those bytes are on disk: every sync after the first
    // failure fails with its code, without asking the system, until the file is closed. The
    // failure belongs to this file alone; the process's other files sync as before.
    std::int32_t SyncFailure() const noexcept {
        return static_cast<std::int32_t>(sync_failure_.load(std::memory_order_acquire) >> 32);
    }
    // The operating system's error number of that failure, 0 when none or unknown.
    int SyncFailureOsError() const noexcept {
        return static_cast<int>(sync_failure_.load(std::memory_order_acquire) & 0xFFFFFFFFu);
    }

    // Syncs asked of the operating system by every physical file of the
    // process (the benchmarks report them per operation).
    static std::uint64_t SyncCount() noexcept;

  private:
    // The thread that starts the write-backs StartWriteBehind asks for. It stays from one flush
    // to the next, waiting for the next one (starting a thread per flush costs more than
    // the flush saves), until the file closes. A forked process leaves its copy alone: the
    // thread, and the waits on it, are the parent's.
    struct WriteBehindThread {
        std::mutex mutex;
        std::condition_variable wake;
        std::condition_variable settled;
        std::thread thread;
        // A write-back asked for and not yet started; guarded by `mutex`.
        bool pending = false;
        bool quit = false;
        std::uint32_t process = 0;
    };
    void RunWriteBehind(WriteBehindThread& helper) noexcept;
    // Waits for a write-back under way.
    void FinishWriteBehind() noexcept;
    // FinishWriteBehind, then ends the thread.
    void StopWriteBehind() noexcept;
    // In a forked process: drops the parent's thread, unwaited for.
    void ForgetForkedWriteBehind() noexcept;
    // One fdatasync, counted and passed by the sync hook. Requires: the file is open, by the
    // lock or by a handle of the caller's.
    platform::os::Status SyncData();
    // The remembered failure, or one sync: 0 or a negative code. Requires: the lock is held.
    std::int32_t SyncOrRecall();
    // Starts the write-back, passed by the write-back hook; a failure is remembered.
    void StartWriteback() noexcept;
    void RememberSyncFailure(platform::os::Status failure) noexcept;
    // The remembered failure as a negative code, its error number left for LastFileOsError.
    std::int32_t RecallSyncFailure() const noexcept;
    // Closing the system's file ends what it remembers of a failure: the next open reads the
    // device afresh.
    void ForgetSyncFailure() noexcept;

    platform::os::File file_;
    std::shared_ptr<const platform::os::MappedRange> mapped_;
    // Bytes written since the last sync. Atomic for WriteAt, which does not take the lock.
    std::atomic<std::int64_t> unsynced_{0};
    // Set from the write-behind's thread too: the engine code in the high half, the error
    // number in the low one, so that both are read as one.
    std::atomic<std::uint64_t> sync_failure_{0};
    std::unique_ptr<WriteBehindThread> write_behind_;
    // No write-back is under way; set by the thread once it has started the device.
    std::atomic<bool> write_behind_done_{true};
};

}  // namespace strata
