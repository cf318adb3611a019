#pragma once

// The exception every engine failure is raised as, and the helper that runs steps that must
// all run. The codes and the calls that raise them are in engine_error_codes.h.

#include <cstddef>
#include <exception>
#include <string>
#include <utility>
#include <vector>

#include "engine/storage/engine_error_codes.h"
#include "platform/db/exception.h"

namespace strata {

// One code and its text, as the exception lists them.
class TStrataError {
  public:
    TStrataError(EngineErrorCode code, std::string message)
        : code_(code), message_(std::move(message)) {}

    EngineErrorCode ErrorCode() const noexcept { return code_; }
    const std::string& Message() const noexcept { return message_; }

  private:
    EngineErrorCode code_;
    std::string message_;
};

// Every engine failure. Message: "Strata Engine Error # <code> <text>".
class EStrataEngineError : public db::EDatabaseError {
  public:
    // The message is built from `texts`, never from the process-wide last
    // error, so concurrent failures keep their own names.
    explicit EStrataEngineError(EngineErrorCode code, const EngineErrorTexts& texts = {});

    EngineErrorCode ErrorCode() const noexcept { return errors_.front().ErrorCode(); }
    std::size_t ErrorCount() const noexcept { return errors_.size(); }
    // Requires: index < ErrorCount().
    const TStrataError& GetError(std::size_t index) const { return errors_.at(index); }
    // The operating system's error number behind the failure (ENOSPC, EROFS, ...), 0 when none.
    int OsError() const noexcept { return os_error_; }

  private:
    struct BuiltText {
        std::string text;
    };
    EStrataEngineError(EngineErrorCode code, BuiltText text, int os_error);

    std::vector<TStrataError> errors_;
    int os_error_ = 0;
};

// Steps that must all run, as when locks are given back or files closed: each runs whatever
// the ones before it did, and the first failure is raised once all have run.
class FirstFailure {
  public:
    template <class Step>
    void Run(Step&& step) noexcept {
        try {
            step();
        } catch (...) {
            Keep(std::current_exception());
        }
    }
    void Keep(std::exception_ptr failure) noexcept {
        if (!first_)
            first_ = std::move(failure);
    }
    explicit operator bool() const noexcept { return static_cast<bool>(first_); }
    void Rethrow() const {
        if (first_)
            std::rethrow_exception(first_);
    }

  private:
    std::exception_ptr first_;
};

}  // namespace strata
