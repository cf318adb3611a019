#include "platform/os/error_codes.h"

#include <cerrno>
#include <cstring>

namespace platform::os {

int EngineCodeFromErrno(int error_number) noexcept {
    switch (error_number) {
        case 0:
            return kOk;
        case ENOENT:
        case ENOTDIR:
            return kInvalidPath;
        case EMFILE:
        case ENFILE:
            return kTooManyFiles;
        case EACCES:
        case EPERM:
        case EROFS:
        case EAGAIN:  // a lock held elsewhere: the sharing violation
            return kAccessDenied;
        case EBADF:
            return kInvalidHandle;
        case ENOMEM:
            return kOutOfMemory;
        case EXDEV:
            return kMoved;
        default:
            return kUnknownOsError;
    }
}

std::string FailureReason(const Status& status) {
    if (status.sys_errno() != 0)
        return std::strerror(status.sys_errno());
    switch (status.code()) {
        case kInvalidPath:
            return "The system cannot find the file specified";
        case kAccessDenied:
            return "The process cannot access the file because it is being used by another "
                   "process";
        default:
            return "Error " + std::to_string(status.code());
    }
}

}  // namespace platform::os
