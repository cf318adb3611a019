#pragma once

// One open operating-system file with Windows-like sharing and byte-range locks.
//
// Share modes. Another program must not open a file that is held exclusively.
// Every File holds an open-file-description (OFD) lock on one reserved byte,
// kShareLockOffset = 2^40, far above any byte the engine reads, writes or
// locks: a write lock for an exclusive open, a read lock for a shared one.
// An open that cannot take its share lock fails with kAccessDenied (11013).
// OFD locks belong to the open file description, so they conflict between
// two Files of one process as well as between processes, and the kernel drops
// them the moment the holder closes the file or dies (also by SIGKILL).
// A file without write access (read-only mode bits or medium) cannot carry a
// write lock; its exclusive open checks that nobody else holds the file and
// then takes a read lock, so a later shared reader of such a file is admitted.
//
// Byte-range locks. LockRegion is non-blocking and refuses any range that
// overlaps one this File already holds, even of the same kind, and any range
// another File or program holds in a conflicting kind (write locks conflict
// with everything, read locks only with write locks). UnlockRegion releases
// only a range that was locked with exactly that start and length.
//
// Every descriptor is opened close-on-exec so that a started program never
// inherits a share or range lock.
//
// Thread safety: ReadAt, WriteAt, Size, Truncate, Flush, LockRegion and
// UnlockRegion may be called from several threads at once on one File;
// opening, moving, closing and destroying need exclusive use.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/os/error_codes.h"

namespace platform::os {

inline constexpr std::uint64_t kShareLockOffset = std::uint64_t{1} << 40;

enum class ShareMode { kExclusive, kShared };
enum class AccessHint { kRandom, kSequential };
enum class LockKind { kWrite, kRead };
enum class FlushKind { kAll, kDataOnly };  // fsync / fdatasync

struct OpenOptions {
    ShareMode share = ShareMode::kExclusive;
    // Ask for read access only. A file whose mode bits grant no write access,
    // or that lies on a read-only medium, is opened read-only in any case.
    bool read_only = false;
    bool write_through = false;    // O_DSYNC
    bool delete_on_close = false;  // unlink when this File closes
    AccessHint hint = AccessHint::kRandom;
};

struct CreateOptions {
    bool write_through = false;
    bool delete_on_close = false;
    AccessHint hint = AccessHint::kRandom;
};

// Bytes of a file mapped into memory for reading, given up when destroyed. Writes to the file
// show through. The file must not be cut below the bytes while they are read: the system
// answers a read past the end with a signal, not an error.
class MappedRange {
  public:
    MappedRange() noexcept = default;
    ~MappedRange();
    MappedRange(MappedRange&& other) noexcept;
    MappedRange& operator=(MappedRange&& other) noexcept;
    MappedRange(const MappedRange&) = delete;
    MappedRange& operator=(const MappedRange&) = delete;

    const std::byte* data() const noexcept { return data_; }
    std::uint64_t size() const noexcept { return size_; }

  private:
    friend class File;
    void Release() noexcept;

    void* base_ = nullptr;
    std::uint64_t mapped_ = 0;
    const std::byte* data_ = nullptr;
    std::uint64_t size_ = 0;
};

class File {
  public:
    File() noexcept;  // closed
    ~File();
    File(File&& other) noexcept;
    File& operator=(File&& other) noexcept;
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    // Opens an existing file; never creates one. The last path component is
    // resolved without regard to case (see ResolvePath). Fails with 11010 when
    // the file does not exist, 11013 when the share lock is refused.
    static Result<File> Open(std::string_view path, const OpenOptions& options = {});

    // Creates the file, or empties an existing one (or an existing case
    // variant of its name, which keeps its spelling), for exclusive read and
    // write use. An existing file is emptied only after the exclusive share
    // lock is held, so a file another program holds is refused with 11013 and
    // keeps its contents. A file whose mode bits grant no write access is
    // refused with 11013 and left alone.
    static Result<File> Create(std::string_view path, const CreateOptions& options = {});

    bool IsOpen() const noexcept { return fd_ >= 0; }
    // The path actually opened (separators normalised, case resolved).
    const std::string& Path() const noexcept { return path_; }
    ShareMode Share() const noexcept { return share_; }
    // The descriptor has no write access.
    bool ReadOnly() const noexcept { return read_only_; }
    // The file carried no write permission bit (or lay on a read-only medium)
    // when it was opened.
    bool ReadOnlyAttribute() const noexcept { return read_only_attribute_; }
    bool DeleteOnClose() const noexcept { return delete_on_close_; }
    int NativeHandle() const noexcept { return fd_; }

    // Reads up to buffer.size() bytes at `offset`. The count is short only at
    // the end of the file; reading at or past the end gives 0.
    Result<std::uint64_t> ReadAt(std::uint64_t offset, std::span<std::byte> buffer) const;
    // Writes all of `data` at `offset` (growing the file as needed) or fails;
    // a failed write may have written a prefix. 11013 on a read-only File.
    Result<std::uint64_t> WriteAt(std::uint64_t offset, std::span<const std::byte> data);
    // The `length` bytes at `offset`, mapped for reading without a copy. Requires: length >= 1,
    // the bytes lie inside the file and stay there while the range is read.
    Result<MappedRange> MapForReading(std::uint64_t offset, std::uint64_t length) const;

    Result<std::uint64_t> Size() const;
    // Sets the end of the file (ftruncate): cuts or extends with zeros.
    Status Truncate(std::uint64_t size);
    Status Flush(FlushKind kind = FlushKind::kAll);
    // Starts writing the file's changed pages to the device without waiting
    // and without making them durable: a Flush that follows waits less, and
    // several files started together are written at the same time. Where the
    // system cannot, it does nothing and reports success; a failure is the
    // device's, reported as a failed Flush would be.
    Status StartWriteback();
    // Drops the file's clean cached pages, so that the next read goes to the
    // device: after a failed Flush the cache may hold bytes the device never got.
    void DropCachedPages();
    // Asks the system to start reading `length` bytes at `offset` into its cache without
    // waiting, for a read that follows soon. Only a hint: nothing happens where it cannot.
    void WillNeed(std::uint64_t offset, std::uint64_t length) const;

    // Requires: length >= 1 and the range lies below kShareLockOffset.
    // 0 when locked; 11013 when the range overlaps one this File holds or
    // another File or program holds it in a conflicting kind; 11047 for a
    // range that breaks the requirement. On a read-only File a write lock is
    // taken as a read lock after checking that no one else holds the range.
    Status LockRegion(std::uint64_t start, std::uint64_t length, LockKind kind = LockKind::kWrite);
    // Releases the range locked with exactly this start and length.
    // True when such a lock was held and is now released.
    bool UnlockRegion(std::uint64_t start, std::uint64_t length);
    // UnlockRegion of two ranges. Where no other range of this File lies between them the
    // system is asked once, over both and the gap, which frees nothing else of this File and
    // so shows other programs what two releases would. True when both were held and released.
    bool UnlockRegionPair(std::uint64_t first_start, std::uint64_t first_length,
                          std::uint64_t second_start, std::uint64_t second_length);
    // Releases the range locked with exactly this start and length except the single bytes in
    // `kept` (each inside the range), which stay locked as one-byte ranges of their own: no
    // kept byte is free for another File or program at any moment. False, changing nothing,
    // when no such range is held or a kept byte lies outside it. Should the system refuse
    // part of the way (it may lack room to split a lock), the rest of the range goes
    // regardless and the kept bytes not yet split off are locked again where no one took
    // them first; `kept` is left with the bytes that end up locked.
    bool UnlockRegionKeeping(std::uint64_t start, std::uint64_t length,
                             std::vector<std::uint64_t>& kept);
    // Number of ranges this File holds.
    std::size_t LockedRegionCount() const;

    // Releases every lock and closes the descriptor; a delete-on-close file is
    // unlinked first (only while its name still refers to this file), so no
    // other program can open it in between. Closing a closed File does nothing.
    Status Close();

  private:
    struct LockTable;

    int fd_ = -1;
    std::string path_;
    ShareMode share_ = ShareMode::kExclusive;
    bool read_only_ = false;
    bool read_only_attribute_ = false;
    bool delete_on_close_ = false;
    std::unique_ptr<LockTable> locks_;
};

}  // namespace platform::os
