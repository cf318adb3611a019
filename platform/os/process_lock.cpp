#include "platform/os/process_lock.h"

#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>
#include <string>

namespace platform::os {

Status ProcessLock::TryAcquire(std::string_view path) {
    Release();
    const std::string name(path);
    detail::UniqueFd fd(::open(name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    if (!fd.valid())
        return Status::FromErrno(errno);
    while (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK)
            return Status(kAccessDenied, errno);
        if (errno != EINTR)
            return Status::FromErrno(errno);
    }
    fd_ = std::move(fd);
    held_ = true;
    return Status::Ok();
}

void ProcessLock::Release() noexcept {
    fd_.Reset();
    held_ = false;
}

}  // namespace platform::os
