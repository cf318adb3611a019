#pragma once

#include "platform/os/exception.h"

namespace platform::config {

// A registry operation that cannot be carried out: a value of the wrong kind, a
// write to a read-only root or a missing key, a settings file that is damaged or
// cannot be saved.
class ERegistryException : public platform::os::Exception {
  public:
    using platform::os::Exception::Exception;
};

// An INI file that cannot be written, or a name or value an INI file cannot hold.
class EIniFileException : public platform::os::Exception {
  public:
    using platform::os::Exception::Exception;
};

}  // namespace platform::config
