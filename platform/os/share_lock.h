#pragma once

// Internal to platform::os: descriptors and open-file-description locks.

#include <cstdint>
#include <string>
#include <utility>

#include "platform/os/error_codes.h"

namespace platform::os::detail {

// Owns one descriptor and closes it.
class UniqueFd {
  public:
    UniqueFd() noexcept = default;
    explicit UniqueFd(int fd) noexcept : fd_(fd) {}
    ~UniqueFd() { Reset(); }
    UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            Reset();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const noexcept { return fd_; }
    bool valid() const noexcept { return fd_ >= 0; }
    int release() noexcept { return std::exchange(fd_, -1); }
    void Reset() noexcept;
    // Closes now and answers close's result: a failed close can mean lost data.
    int Close() noexcept;

  private:
    int fd_ = -1;
};

// F_OFD_SETLK of `type` (F_RDLCK, F_WRLCK or F_UNLCK) on [start, start + length).
// 0, or the errno (EAGAIN or EACCES when another description holds a conflicting lock).
int SetOfdLock(int fd, short type, std::uint64_t start, std::uint64_t length) noexcept;

// F_OFD_GETLK: whether another open file description holds a lock on the
// range that conflicts with `type`. 0 with `*held` set, or the errno.
int TestOfdLock(int fd, short type, std::uint64_t start, std::uint64_t length, bool* held) noexcept;

// Opens the regular file `path` and makes sure no File of any program holds
// it: takes the exclusive share lock when the file can be opened for writing,
// else checks that no one holds the share byte. The returned descriptor keeps
// the lock until it is closed. 11013 when the file is held.
Result<UniqueFd> HoldExclusiveShare(const std::string& path);

}  // namespace platform::os::detail
