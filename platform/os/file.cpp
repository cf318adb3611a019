#include "platform/os/file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/os/file_system.h"
#include "platform/os/share_lock.h"

namespace platform::os {
namespace {

constexpr std::uint64_t kMaxOffset = static_cast<std::uint64_t>(std::numeric_limits<off_t>::max());

short lock_type(LockKind kind) {
    return kind == LockKind::kWrite ? F_WRLCK : F_RDLCK;
}

void advise(int fd, AccessHint hint) {
    // Only a hint: a file system that ignores it loses nothing.
    (void)::posix_fadvise(
        fd, 0, 0, hint == AccessHint::kSequential ? POSIX_FADV_SEQUENTIAL : POSIX_FADV_RANDOM);
}

// Whether this process may write the file: its permissions and a read-only mount. Any other
// failure of the question leaves the answer to the open itself.
bool WritableByUs(const std::string& path) {
    if (::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) == 0)
        return true;
    return errno != EACCES && errno != EROFS && errno != EPERM;
}

}  // namespace

struct File::LockTable {
    struct Region {
        std::uint64_t start;
        std::uint64_t length;
        // The kernel's kind of the lock (a write lock on a read-only File is a read lock).
        short type;
    };
    mutable std::mutex mutex;
    std::vector<Region> regions;

    // The region locked as exactly this range, or end(); callers hold the mutex.
    std::vector<Region>::iterator Find(std::uint64_t start, std::uint64_t length) {
        return std::find_if(regions.begin(), regions.end(), [&](const Region& region) {
            return region.start == start && region.length == length;
        });
    }
};

File::File() noexcept = default;

File::~File() {
    (void)Close();
}

File::File(File&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      path_(std::move(other.path_)),
      share_(other.share_),
      read_only_(other.read_only_),
      read_only_attribute_(other.read_only_attribute_),
      delete_on_close_(std::exchange(other.delete_on_close_, false)),
      locks_(std::move(other.locks_)) {}

File& File::operator=(File&& other) noexcept {
    if (this != &other) {
        (void)Close();
        fd_ = std::exchange(other.fd_, -1);
        path_ = std::move(other.path_);
        share_ = other.share_;
        read_only_ = other.read_only_;
        read_only_attribute_ = other.read_only_attribute_;
        delete_on_close_ = std::exchange(other.delete_on_close_, false);
        locks_ = std::move(other.locks_);
    }
    return *this;
}

Result<File> File::Open(std::string_view path, const OpenOptions& options) {
    if (HasNul(path)) {
        return Status(kInvalidPath, EINVAL);
    }
    File file;
    file.path_ = ResolvePath(path);
    struct stat st {};
    if (::stat(file.path_.c_str(), &st) != 0) {
        return Status::FromErrno(errno);
    }
    if (S_ISDIR(st.st_mode)) {
        return Status(kAccessDenied, EISDIR);
    }
    if (!S_ISREG(st.st_mode)) {
        return Status(kAccessDenied, EINVAL);  // devices and pipes are no table files
    }
    // A file this user may not write counts as read-only as well, also when reading is all
    // that is asked: a later open that asks for reading only must learn it again, or a
    // table would take changes into its caches that no flush can ever write.
    file.read_only_attribute_ = (st.st_mode & 0222) == 0 || !WritableByUs(file.path_);
    bool writable = !file.read_only_attribute_ && !options.read_only;
    const int common = O_CLOEXEC | O_NOCTTY | (options.write_through ? O_DSYNC : 0);
    file.fd_ = ::open(file.path_.c_str(), common | (writable ? O_RDWR : O_RDONLY));
    if (file.fd_ < 0 && writable && (errno == EACCES || errno == EROFS || errno == EPERM)) {
        // A read-only medium or missing permission: the file is read-only to us.
        file.fd_ = ::open(file.path_.c_str(), common | O_RDONLY);
        writable = false;
        file.read_only_attribute_ = true;
    }
    if (file.fd_ < 0) {
        return Status::FromErrno(errno);
    }
    file.read_only_ = !writable;
    file.share_ = options.share;

    short share_type = F_RDLCK;
    if (options.share == ShareMode::kExclusive) {
        if (writable) {
            share_type = F_WRLCK;
        } else {
            // No write lock without write access: refuse when anyone holds the
            // file, then hold a read lock that keeps exclusive openers out.
            bool held = false;
            if (const int error =
                    detail::TestOfdLock(file.fd_, F_WRLCK, kShareLockOffset, 1, &held);
                error != 0) {
                return Status::FromErrno(error);
            }
            if (held) {
                return Status(kAccessDenied, EAGAIN);
            }
        }
    }
    if (const int error = detail::SetOfdLock(file.fd_, share_type, kShareLockOffset, 1);
        error != 0) {
        return Status::FromErrno(error);
    }
    advise(file.fd_, options.hint);
    file.locks_ = std::make_unique<LockTable>();
    file.delete_on_close_ = options.delete_on_close;
    return file;
}

Result<File> File::Create(std::string_view path, const CreateOptions& options) {
    if (HasNul(path)) {
        return Status(kInvalidPath, EINVAL);
    }
    File file;
    file.path_ = ResolvePath(path);
    struct stat st {};
    if (::stat(file.path_.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) {
            return Status(kAccessDenied, EISDIR);
        }
        if (!S_ISREG(st.st_mode)) {
            return Status(kAccessDenied, EINVAL);
        }
        if ((st.st_mode & 0222) == 0) {
            return Status(kAccessDenied, EACCES);
        }
    }
    // No O_TRUNC: the contents may only go once the exclusive share lock is ours.
    const int flags =
        O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY | (options.write_through ? O_DSYNC : 0);
    file.fd_ = ::open(file.path_.c_str(), flags, 0666);
    if (file.fd_ < 0) {
        return Status::FromErrno(errno);
    }
    if (const int error = detail::SetOfdLock(file.fd_, F_WRLCK, kShareLockOffset, 1); error != 0) {
        return Status::FromErrno(error);
    }
    if (::fstat(file.fd_, &st) != 0) {
        return Status::FromErrno(errno);
    }
    if (!S_ISREG(st.st_mode)) {
        return Status(kAccessDenied, EINVAL);
    }
    if (st.st_size != 0) {
        int rc;
        while ((rc = ::ftruncate(file.fd_, 0)) != 0 && errno == EINTR) {
        }
        if (rc != 0) {
            return Status::FromErrno(errno);
        }
    }
    advise(file.fd_, options.hint);
    file.share_ = ShareMode::kExclusive;
    file.locks_ = std::make_unique<LockTable>();
    file.delete_on_close_ = options.delete_on_close;
    return file;
}

Result<std::uint64_t> File::ReadAt(std::uint64_t offset, std::span<std::byte> buffer) const {
    if (fd_ < 0) {
        return Status(kInvalidHandle, EBADF);
    }
    if (offset > kMaxOffset || buffer.size() > kMaxOffset - offset) {
        return Status::FromErrno(EINVAL);
    }
    std::uint64_t done = 0;
    while (done < buffer.size()) {
        const ssize_t n = ::pread(fd_, buffer.data() + done, buffer.size() - done,
                                  static_cast<off_t>(offset + done));
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return Status::FromErrno(errno);
        }
        if (n == 0) {
            break;
        }
        done += static_cast<std::uint64_t>(n);
    }
    return done;
}

Result<std::uint64_t> File::WriteAt(std::uint64_t offset, std::span<const std::byte> data) {
    if (fd_ < 0) {
        return Status(kInvalidHandle, EBADF);
    }
    if (read_only_) {
        return Status(kAccessDenied, EBADF);
    }
    if (offset > kMaxOffset || data.size() > kMaxOffset - offset) {
        return Status::FromErrno(EFBIG);
    }
    std::uint64_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::pwrite(fd_, data.data() + done, data.size() - done,
                                   static_cast<off_t>(offset + done));
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return Status::FromErrno(errno);
        }
        if (n == 0) {
            return Status::FromErrno(ENOSPC);
        }
        done += static_cast<std::uint64_t>(n);
    }
    return done;
}

MappedRange::~MappedRange() {
    Release();
}

MappedRange::MappedRange(MappedRange&& other) noexcept
    : base_(std::exchange(other.base_, nullptr)),
      mapped_(std::exchange(other.mapped_, 0)),
      data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)) {}

MappedRange& MappedRange::operator=(MappedRange&& other) noexcept {
    if (this != &other) {
        Release();
        base_ = std::exchange(other.base_, nullptr);
        mapped_ = std::exchange(other.mapped_, 0);
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
    }
    return *this;
}

void MappedRange::Release() noexcept {
    if (base_ != nullptr) {
        (void)::munmap(base_, static_cast<std::size_t>(mapped_));
    }
    base_ = nullptr;
    mapped_ = 0;
    data_ = nullptr;
    size_ = 0;
}

Result<MappedRange> File::MapForReading(std::uint64_t offset, std::uint64_t length) const {
    if (fd_ < 0) {
        return Status(kInvalidHandle, EBADF);
    }
    if (length == 0 || offset > kMaxOffset || length > kMaxOffset - offset ||
        length > std::numeric_limits<std::size_t>::max() / 2) {
        return Status::FromErrno(EINVAL);
    }
    // A mapping starts on a page boundary: the bytes before the offset in its page come too.
    static const auto page = static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
    const std::uint64_t start = offset - offset % page;
    const std::uint64_t mapped = length + (offset - start);
    void* base = ::mmap(nullptr, static_cast<std::size_t>(mapped), PROT_READ, MAP_SHARED, fd_,
                        static_cast<off_t>(start));
    if (base == MAP_FAILED) {
        return Status::FromErrno(errno);
    }
    MappedRange range;
    range.base_ = base;
    range.mapped_ = mapped;
    range.data_ = static_cast<const std::byte*>(base) + (offset - start);
    range.size_ = length;
    return range;
}

Result<std::uint64_t> File::Size() const {
    if (fd_ < 0) {
        return Status(kInvalidHandle, EBADF);
    }
    struct stat st {};
    if (::fstat(fd_, &st) != 0) {
        return Status::FromErrno(errno);
    }
    return static_cast<std::uint64_t>(st.st_size);
}

Status File::Truncate(std::uint64_t size) {
    if (fd_ < 0) {
        return Status(kInvalidHandle, EBADF);
    }
    if (read_only_) {
        return Status(kAccessDenied, EBADF);
    }
    if (size > kMaxOffset) {
        return Status::FromErrno(EFBIG);
    }
    while (::ftruncate(fd_, static_cast<off_t>(size)) != 0) {
        if (errno != EINTR) {
            return Status::FromErrno(errno);
        }
    }
    return Status::Ok();
}

Status File::Flush(FlushKind kind) {
    if (fd_ < 0) {
        return Status(kInvalidHandle, EBADF);
    }
    const int rc = kind == FlushKind::kDataOnly ? ::fdatasync(fd_) : ::fsync(fd_);
    // A read-only descriptor on some file systems cannot be synced; nothing is unwritten.
    if (rc != 0 && !(read_only_ && (errno == EBADF || errno == EINVAL))) {
        return Status::FromErrno(errno);
    }
    return Status::Ok();
}

Status File::StartWriteback() {
    if (fd_ < 0 || read_only_ || ::sync_file_range(fd_, 0, 0, SYNC_FILE_RANGE_WRITE) == 0)
        return Status::Ok();
    // Only a failed write to the device counts; a file system that cannot start write-back
    // leaves the whole wait to the Flush that follows.
    const int error = errno;
    if (error == EIO || error == ENOSPC || error == EDQUOT)
        return Status::FromErrno(error);
    return Status::Ok();
}

void File::DropCachedPages() {
    if (fd_ >= 0)
        (void)::posix_fadvise(fd_, 0, 0, POSIX_FADV_DONTNEED);
}

void File::WillNeed(std::uint64_t offset, std::uint64_t length) const {
    if (fd_ >= 0 && length > 0 && offset <= kMaxOffset && length <= kMaxOffset - offset)
        (void)::posix_fadvise(fd_, static_cast<off_t>(offset), static_cast<off_t>(length),
                              POSIX_FADV_WILLNEED);
}

Status File::LockRegion(std::uint64_t start, std::uint64_t length, LockKind kind) {
    if (fd_ < 0) {
        return Status(kInvalidHandle, EBADF);
    }
    // Locks reaching the share byte would merge with the share lock and could
    // release it on unlock.
    if (length == 0 || start >= kShareLockOffset || length > kShareLockOffset - start) {
        return Status(kUnknownOsError, EINVAL);
    }
    std::lock_guard guard(locks_->mutex);
    const std::uint64_t end = start + length;
    const bool overlaps =
        std::any_of(locks_->regions.begin(), locks_->regions.end(), [&](const auto& region) {
            return region.start < end && start < region.start + region.length;
        });
    if (overlaps) {
        return Status(kAccessDenied, EAGAIN);
    }
    short type = lock_type(kind);
    if (type == F_WRLCK && read_only_) {
        bool held = false;
        if (const int error = detail::TestOfdLock(fd_, F_WRLCK, start, length, &held); error != 0) {
            return Status::FromErrno(error);
        }
        if (held) {
            return Status(kAccessDenied, EAGAIN);
        }
        type = F_RDLCK;
    }
    if (const int error = detail::SetOfdLock(fd_, type, start, length); error != 0) {
        return Status::FromErrno(error);
    }
    locks_->regions.push_back({start, length, type});
    return Status::Ok();
}

bool File::UnlockRegion(std::uint64_t start, std::uint64_t length) {
    if (fd_ < 0) {
        return false;
    }
    std::lock_guard guard(locks_->mutex);
    const auto it = locks_->Find(start, length);
    if (it == locks_->regions.end()) {
        return false;
    }
    // No other region of this File overlaps, so the kernel range is this lock's alone.
    if (detail::SetOfdLock(fd_, F_UNLCK, start, length) != 0) {
        return false;
    }
    locks_->regions.erase(it);
    return true;
}

bool File::UnlockRegionPair(std::uint64_t first_start, std::uint64_t first_length,
                            std::uint64_t second_start, std::uint64_t second_length) {
    if (fd_ < 0) {
        return false;
    }
    std::lock_guard guard(locks_->mutex);
    std::vector<LockTable::Region>& regions = locks_->regions;
    // As UnlockRegion: no other region of this File overlaps a held one.
    const auto release = [&](std::uint64_t start, std::uint64_t length) {
        const auto it = locks_->Find(start, length);
        if (it == regions.end() || detail::SetOfdLock(fd_, F_UNLCK, start, length) != 0) {
            return false;
        }
        regions.erase(it);
        return true;
    };
    const auto first = locks_->Find(first_start, first_length);
    const auto second = locks_->Find(second_start, second_length);
    if (first == regions.end() || second == regions.end() || first == second) {
        const bool first_released = release(first_start, first_length);
        const bool second_released = release(second_start, second_length);
        return first_released && second_released;
    }
    const std::uint64_t low = std::min(first_start, second_start);
    const std::uint64_t high = std::max(first_start + first_length, second_start + second_length);
    const bool alone = std::none_of(regions.begin(), regions.end(), [&](const auto& region) {
        return &region != &*first && &region != &*second && region.start < high &&
               low < region.start + region.length;
    });
    if (!alone) {
        const bool first_released = release(first_start, first_length);
        const bool second_released = release(second_start, second_length);
        return first_released && second_released;
    }
    if (detail::SetOfdLock(fd_, F_UNLCK, low, high - low) != 0) {
        return false;
    }
    // The later one first, so that the earlier iterator stays valid.
    if (first < second) {
        regions.erase(second);
        regions.erase(first);
    } else {
        regions.erase(first);
        regions.erase(second);
    }
    return true;
}

bool File::UnlockRegionKeeping(std::uint64_t start, std::uint64_t length,
                               std::vector<std::uint64_t>& kept) {
    if (fd_ < 0) {
        return false;
    }
    std::lock_guard guard(locks_->mutex);
    const auto it = locks_->Find(start, length);
    if (it == locks_->regions.end()) {
        return false;
    }
    std::sort(kept.begin(), kept.end());
    kept.erase(std::unique(kept.begin(), kept.end()), kept.end());
    if (std::any_of(kept.begin(), kept.end(),
                    [&](std::uint64_t byte) { return byte < start || byte - start >= length; })) {
        return false;
    }
    // The gaps between the kept bytes are released one by one, low to high: the kernel splits
    // the held range around each kept byte, which never passes through an unlocked state.
    std::vector<LockTable::Region> singles;
    std::uint64_t from = start;
    const std::uint64_t end = start + length;
    std::size_t next = 0;
    bool refused = false;
    for (; next <= kept.size(); ++next) {
        const std::uint64_t to = next < kept.size() ? kept[next] : end;
        if (to > from && detail::SetOfdLock(fd_, F_UNLCK, from, to - from) != 0) {
            refused = true;
            break;
        }
        if (next == kept.size()) {
            break;
        }
        singles.push_back({kept[next], 1, it->type});
        from = kept[next] + 1;
    }
    if (refused) {
        // A release to the range's end shortens the kernel's lock without splitting it; the
        // bytes it takes along are asked for again, with the short gap the split would have
        // spared them.
        (void)detail::SetOfdLock(fd_, F_UNLCK, from, end - from);
        for (std::size_t k = next; k < kept.size(); ++k) {
            if (detail::SetOfdLock(fd_, it->type, kept[k], 1) == 0) {
                singles.push_back({kept[k], 1, it->type});
            }
        }
        kept.clear();
        for (const LockTable::Region& single : singles) {
            kept.push_back(single.start);
        }
    }
    locks_->regions.erase(it);
    locks_->regions.insert(locks_->regions.end(), singles.begin(), singles.end());
    return true;
}

std::size_t File::LockedRegionCount() const {
    if (!locks_) {
        return 0;
    }
    std::lock_guard guard(locks_->mutex);
    return locks_->regions.size();
}

Status File::Close() {
    if (fd_ < 0) {
        return Status::Ok();
    }
    Status status;
    if (delete_on_close_) {
        // Unlink while the share lock still keeps others out, and only the
        // file this descriptor is, in case the name was reused meanwhile. A
        // scratch file's removal need not survive a power cut, so the folder
        // is not synced.
        struct stat by_name {};
        struct stat by_fd {};
        if (::stat(path_.c_str(), &by_name) == 0 && ::fstat(fd_, &by_fd) == 0 &&
            by_name.st_dev == by_fd.st_dev && by_name.st_ino == by_fd.st_ino &&
            ::unlink(path_.c_str()) != 0) {
            status = Status::FromErrno(errno);
        }
        delete_on_close_ = false;
    }
    // Closing drops the share lock and every range lock of this description.
    if (::close(std::exchange(fd_, -1)) != 0 && status.ok() && errno != EINTR) {
        status = Status::FromErrno(errno);
    }
    locks_.reset();
    return status;
}

}  // namespace platform::os
