#pragma once

// The rules of the advanced and SMTP settings dialogs: which root-folder
// choice a stored value means, and how the SMTP or relay fields are read back
// into the settings (seconds shown, milliseconds stored).

#include <optional>
#include <string>
#include <string_view>

namespace app {

struct Settings;

enum class RootChoice { kPersonalFolders, kDefault, kOther };

inline constexpr std::string_view kRootDefault = "<Root>";
inline constexpr std::string_view kPersonalFolders = "Personal Folders";

RootChoice RootChoiceOf(std::string_view root_folder);
std::string RootFolderFor(RootChoice choice, std::string_view other_text);

// The fields of the SMTP settings dialog; relay mode shows the DNS server and
// its time-out in whole seconds instead of the SMTP host, port and user.
struct SmtpSettingsFields {
    bool relay = false;
    std::string host;
    std::string port;  // the port, or the DNS time-out in seconds
    std::string user;
    std::string name;
    std::string email;
    bool process_bounce = true;
};

SmtpSettingsFields LoadSmtpSettingsFields(const Settings& settings, bool relay);

// The port (1-65535) or time-out in seconds (1-65) the field holds; nullopt
// for anything else, which the dialog refuses.
std::optional<int> ParsePortField(std::string_view text, bool relay);

// Stores the fields; false (nothing changed) when the port field is refused.
bool StoreSmtpSettingsFields(Settings& settings, const SmtpSettingsFields& fields);

// Whether OK of the advanced dialog must first ask for the method's settings:
// the text of the box to show, or empty.
std::string MissingSettingsText(const Settings& settings, int method);

// The send command's first step: with no method ever chosen, says that Simple
// MAPI will be used; OK stores it, Cancel (false) ends the command with the
// setting unchanged.
bool ConfirmSendingMethod(Settings& settings);

}  // namespace app
