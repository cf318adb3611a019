#pragma once

#include "platform/os/exception.h"

namespace db {

// The common root, under the name the dataset framework has always used.
using Exception = platform::os::Exception;

// A failure of a dataset, field, definition or parameter (the engine's errors derive from it).
class EDatabaseError : public Exception {
  public:
    using Exception::Exception;
};

// A text or value that cannot be converted to the requested type.
class EConvertError : public Exception {
  public:
    using Exception::Exception;
};

// A Variant that cannot be converted or compared as asked.
class EVariantError : public Exception {
  public:
    using Exception::Exception;
};

// A list index out of range or a list operation the list's rules refuse.
class EListError : public Exception {
  public:
    using Exception::Exception;
};

// A string list's own refusals (duplicates, sorted insert).
class EStringListError : public EListError {
  public:
    using EListError::EListError;
};

// A component name that is invalid or already taken in its owner.
class EComponentError : public Exception {
  public:
    using Exception::Exception;
};

// A file that cannot be read or written.
class EInOutError : public Exception {
  public:
    using Exception::Exception;
};

// A stream that cannot deliver or take what was asked.
class EStreamError : public Exception {
  public:
    using Exception::Exception;
};

class EReadError : public EStreamError {
  public:
    using EStreamError::EStreamError;
};

class EWriteError : public EStreamError {
  public:
    using EStreamError::EStreamError;
};

// A file that cannot be opened.
class EFOpenError : public EStreamError {
  public:
    using EStreamError::EStreamError;
};

// A file that cannot be created or written.
class EFCreateError : public EStreamError {
  public:
    using EStreamError::EStreamError;
};

}  // namespace db
