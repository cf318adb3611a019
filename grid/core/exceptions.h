#pragma once

#include <string_view>

#include "platform/db/exception.h"

namespace grid {

// A misuse of the tree list's node or column model.
class EInvalidgxTreeListOperation : public db::Exception {
  public:
    using db::Exception::Exception;
};

[[noreturn]] inline void RaiseInvalidTreeListOperation(std::string_view message) {
    throw EInvalidgxTreeListOperation(message);
}

inline constexpr std::string_view kInvalidOwnerNode = "Invalid Owner TgxTreeListNode";

}  // namespace grid
