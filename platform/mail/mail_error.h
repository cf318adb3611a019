#pragma once

#include "platform/db/exception.h"

namespace mail {

// A mail operation that could not be carried out: bad input (a header value
// with a line break, an unreadable attachment), a store that cannot be opened,
// a server that refuses or does not answer.
class EMailError : public db::Exception {
  public:
    using db::Exception::Exception;
};

}  // namespace mail
