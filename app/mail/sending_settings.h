#pragma once

// The rules of the advanced and SMTP settings dialogs: which root-folder
// choice a stored value means, and how the SMTP or relay fields are read back
// into the settings (seconds shown, milliseconds stored).

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace mail {
struct MailAccount;
}

namespace app {

struct Settings;

// Opens the IMAP store of the account and gives the answer to show: its
// folders, or why it could not be opened.
std::string TestStoreAccount(const mail::MailAccount& account);

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
    // The SMTP server's security (0 none, STARTTLS when offered; 1 STARTTLS;
    // 2 TLS from the start) and the login's password.
    int security = 0;
    std::string password;
    // Why the password could not be read (see mail::MailAccount).
    std::string password_unread;
};

SmtpSettingsFields LoadSmtpSettingsFields(const Settings& settings, bool relay);

// The port (1-65535) or time-out in seconds (1-65) the field holds; nullopt
// for anything else, which the dialog refuses.
std::optional<int> ParsePortField(std::string_view text, bool relay);

// Stores the fields; false (nothing changed) when the port field is refused.
bool StoreSmtpSettingsFields(Settings& settings, const SmtpSettingsFields& fields);

// Tries the SMTP account of the fields (connect, TLS, login) and gives the
// answer to show: what the server said, or why it could not be used. `idle`
// runs while waiting.
std::string TestSmtpAccount(const SmtpSettingsFields& fields, const std::function<void()>& idle);

// Whether OK of the advanced dialog must first ask for the method's settings:
// the text of the box to show, or empty.
std::string MissingSettingsText(const Settings& settings, int method);

// The send command's first step: with no method ever chosen, says that Simple
// MAPI will be used; OK stores it, Cancel (false) ends the command with the
// setting unchanged.
bool ConfirmSendingMethod(Settings& settings);

}  // namespace app
