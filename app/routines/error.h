#pragma once

#include "platform/db/exception.h"

namespace app {

// The application's own failure, raised to abandon one operation and caught by
// the caller, which shows its own message.
class EError : public db::Exception {
  public:
    using db::Exception::Exception;
};

// The same class under the spelling the application code uses.
using eerror = EError;

}  // namespace app
