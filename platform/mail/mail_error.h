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

// The connection failed after the whole message had gone to the server and before its
// answer: the message may have arrived, so sending it again could deliver it twice.
class EMailMayHaveArrived : public EMailError {
  public:
    using EMailError::EMailError;
};

}  // namespace mail
