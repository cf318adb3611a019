#pragma once

// Results of the operating-system layer.
//
// Nothing in platform::os throws for an operating-system failure: every call
// reports a Status (or a Result<T>) that carries the engine error code the
// failure maps to, so the engine's file objects can hand the code on as
// their negative result without translating again. The codes are positive
// here; the engine negates them where its own convention asks for it.

#include <cassert>
#include <optional>
#include <string>
#include <utility>

namespace platform::os {

// Engine error codes of the operating-system category.
inline constexpr int kOk = 0;
inline constexpr int kInvalidPath = 11010;     // file or path not found
inline constexpr int kTooManyFiles = 11012;    // out of descriptors
inline constexpr int kAccessDenied = 11013;    // permission, read-only, sharing, lock conflict
inline constexpr int kInvalidHandle = 11014;   // bad or closed descriptor
inline constexpr int kOutOfMemory = 11016;     // the kernel ran out of memory
inline constexpr int kMoved = 11025;           // cross-device move that could not be copied
inline constexpr int kUnknownOsError = 11047;  // anything else

// ENOENT/ENOTDIR -> 11010, EMFILE/ENFILE -> 11012, EACCES/EPERM/EROFS/
// EWOULDBLOCK/EAGAIN (sharing) -> 11013, EBADF -> 11014, ENOMEM -> 11016,
// EXDEV -> 11025, 0 -> 0, every other value -> 11047.
int EngineCodeFromErrno(int error_number) noexcept;

// The outcome of one call: an engine code (0 on success) and, when the
// failure came from the kernel, the errno it reported (for diagnostics only).
class [[nodiscard]] Status {
  public:
    Status() noexcept = default;
    Status(int code, int sys_errno) noexcept : code_(code), sys_errno_(sys_errno) {}

    static Status Ok() noexcept { return {}; }
    // The engine code for errno `error_number`, keeping the errno.
    static Status FromErrno(int error_number) noexcept {
        return {EngineCodeFromErrno(error_number), error_number};
    }
    static Status FromCode(int code) noexcept { return {code, 0}; }

    bool ok() const noexcept { return code_ == kOk; }
    explicit operator bool() const noexcept { return ok(); }
    int code() const noexcept { return code_; }
    int sys_errno() const noexcept { return sys_errno_; }

  private:
    int code_ = kOk;
    int sys_errno_ = 0;
};

// A value or the Status of the failure that prevented it.
// Requires for value(), operator* and operator->: ok().
template <class T>
class [[nodiscard]] Result {
  public:
    Result(T value) : value_(std::move(value)) {}  // NOLINT: implicit by design
    Result(Status failure) : status_(failure) { assert(!failure.ok()); }  // NOLINT

    bool ok() const noexcept { return value_.has_value(); }
    explicit operator bool() const noexcept { return ok(); }
    const Status& status() const noexcept { return status_; }
    int code() const noexcept { return status_.code(); }

    T& value() & {
        assert(ok());
        return *value_;
    }
    const T& value() const& {
        assert(ok());
        return *value_;
    }
    T&& value() && {
        assert(ok());
        return std::move(*value_);
    }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }
    T&& operator*() && { return std::move(*this).value(); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }

  private:
    std::optional<T> value_;
    Status status_;
};

// The reason a failed call gives, in words: the system's text for its errno, else
// what the engine code stands for.
std::string FailureReason(const Status& status);

}  // namespace platform::os
