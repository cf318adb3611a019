#pragma once

// Locks that live as long as a process holds them.

#include <string_view>

#include "platform/os/error_codes.h"
#include "platform/os/share_lock.h"

namespace platform::os {

// An advisory lock on a whole file, held until the object goes or the
// process ends in any way (the kernel drops it with the last descriptor),
// so a copy that was killed never leaves a stale lock behind.
class ProcessLock {
  public:
    ProcessLock() = default;

    // Opens the file (creating it with mode 0600) and takes the lock without
    // waiting. kAccessDenied while another process holds it; the open's own
    // code when the file cannot be opened.
    Status TryAcquire(std::string_view path);
    bool Held() const noexcept { return held_; }
    // Gives the lock and the file up.
    void Release() noexcept;

  private:
    detail::UniqueFd fd_;
    bool held_ = false;
};

}  // namespace platform::os
