#pragma once

#include "platform/os/exception.h"

namespace mail {

// A mail operation that could not be carried out: bad input (a header value
// with a line break, an unreadable attachment), a store that cannot be opened,
// a server that refuses or does not answer.
class EMailError : public platform::os::Exception {
  public:
    using platform::os::Exception::Exception;
};

}  // namespace mail
