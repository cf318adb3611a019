#pragma once

// The process's Simple MAPI: whether it is installed, the loaded mapi32 module
// and its entry points. `TEmail` reaches it through the loader
// (`LoadSimpleMapi`, all ten entry points); `TMapiControl` through the lighter
// import, which only needs MAPISendMail.
//
// The module is libmapi32.so, looked for in this order: the executable's own
// folder, the folder named by $CORVANE_MODULE_DIR (the build's module folder,
// for tests and uninstalled runs), <prefix>/lib/corvane beside the executable,
// then the system's library search.

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/db/exception.h"
#include "platform/mail/simple_mapi.h"

namespace mail {
class SimpleMapi;
}

namespace support {

inline constexpr std::string_view kModuleDirVariable = "CORVANE_MODULE_DIR";

// The module was found but lacks one of the ten entry points.
class EMapiDllError : public db::Exception {
  public:
    using db::Exception::Exception;
};

// An operation of the mail components needs Simple MAPI and it is not installed.
class EMapiUnavailable : public db::Exception {
  public:
    using db::Exception::Exception;
};

inline constexpr std::string_view kMapiDllErrorText =
    "GetProcAddress for MAPI.DLL function(s) failed";
inline constexpr std::string_view kMapiUnavailableText =
    "MAPI services are not available on this system";

// The address type our recipients carry ("SMTP:" + address), and whether an
// address already starts with it (case aside).
inline constexpr std::string_view kSmtpAddressType = "SMTP:";
bool HasSmtpAddressType(std::string_view address);

// Where the mapi32 module is looked for, first to last.
std::vector<std::string> MapiModuleCandidates();

// Decides whether Simple MAPI is installed (the machine-wide registration
// value), loads the module and binds its entry points. Anything loaded before
// is dropped first. Runs by itself on first use; the program may call it at
// start to learn of a broken module early. Throws EMapiDllError when the
// module lacks an entry point; Simple MAPI then counts as not available.
void LoadSimpleMapi();
// Drops the module (or the installed provider) and the import's binding.
void UnloadSimpleMapi();

// The loader's availability flag (loads on first use).
bool SimpleMapiAvailable();
// The loaded Simple MAPI, or nullptr when it is not available.
mail::SimpleMapi* LoadedSimpleMapi();

// Hands the current mail settings to the loaded module, so a message goes out
// with the SMTP settings as they are now. Nothing to do for an installed
// provider. Throws mail::EMailError naming a setting that cannot be used.
void ConfigureSimpleMapi();

// The import's MAPISendMail: binds on first use under the same availability
// rule, and answers MAPI_USER_ABORT without sending when Simple MAPI is absent
// or the module has no MAPISendMail.
ULONG ImportedMapiSendMail(LHANDLE session, ULONG_PTR ui, const MapiMessage* message, FLAGS flags,
                           ULONG reserved);

// Puts a provider in place of the module for the loader and the import alike
// (tests use the recording one). Answers it, still owned by this unit.
mail::SimpleMapi& InstallSimpleMapi(std::unique_ptr<mail::SimpleMapi> provider);

}  // namespace support
