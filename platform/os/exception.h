#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

namespace platform::os {

// The one root of every named failure in the system, so a single handler at the UI
// boundary can show any of them with its message. It lives at the bottom layer so that
// every other layer can derive from it without including a sibling.
class Exception : public std::runtime_error {
  public:
    explicit Exception(std::string_view message) : std::runtime_error(std::string(message)) {}

    std::string Message() const { return what(); }
};

}  // namespace platform::os
