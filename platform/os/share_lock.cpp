#include "platform/os/share_lock.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/os/file.h"

namespace platform::os::detail {
namespace {

flock make_flock(short type, std::uint64_t start, std::uint64_t length) {
    flock lock{};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = static_cast<off_t>(start);
    lock.l_len = static_cast<off_t>(length);
    lock.l_pid = 0;  // required for OFD locks
    return lock;
}

}  // namespace

void UniqueFd::Reset() noexcept {
    if (fd_ >= 0) {
        // The descriptor is gone whatever close reports; retrying could close a reused number.
        ::close(fd_);
        fd_ = -1;
    }
}

int UniqueFd::Close() noexcept {
    return ::close(std::exchange(fd_, -1));
}

int SetOfdLock(int fd, short type, std::uint64_t start, std::uint64_t length) noexcept {
    flock lock = make_flock(type, start, length);
    while (::fcntl(fd, F_OFD_SETLK, &lock) != 0) {
        if (errno != EINTR) {
            return errno;
        }
    }
    return 0;
}

int TestOfdLock(int fd, short type, std::uint64_t start, std::uint64_t length,
                bool* held) noexcept {
    flock lock = make_flock(type, start, length);
    while (::fcntl(fd, F_OFD_GETLK, &lock) != 0) {
        if (errno != EINTR) {
            return errno;
        }
    }
    *held = lock.l_type != F_UNLCK;
    return 0;
}

Result<UniqueFd> HoldExclusiveShare(const std::string& path) {
    // O_NONBLOCK keeps a stray FIFO under this name from blocking the open.
    constexpr int kFlags = O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    UniqueFd fd(::open(path.c_str(), O_RDWR | kFlags));
    if (fd.valid()) {
        const int error = SetOfdLock(fd.get(), F_WRLCK, kShareLockOffset, 1);
        if (error != 0) {
            return Status::FromErrno(error);
        }
        return fd;
    }
    if (errno != EACCES && errno != EROFS && errno != EPERM) {
        return Status::FromErrno(errno);
    }
    fd = UniqueFd(::open(path.c_str(), O_RDONLY | kFlags));
    if (!fd.valid()) {
        return Status::FromErrno(errno);
    }
    bool held = false;
    if (const int error = TestOfdLock(fd.get(), F_WRLCK, kShareLockOffset, 1, &held); error != 0) {
        return Status::FromErrno(error);
    }
    if (held) {
        return Status(kAccessDenied, EAGAIN);
    }
    return fd;
}

}  // namespace platform::os::detail
