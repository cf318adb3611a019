#include "platform/os/error_codes.h"

#include <cerrno>

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

}  // namespace platform::os
