#pragma once

// Where the mail accounts' passwords are kept: the desktop's keyring (the
// Secret Service, through libsecret) when one runs, otherwise the settings
// file, which only its owner can read (mode 0600). A password is never logged.

#include <optional>
#include <string>
#include <string_view>

namespace mail {

enum class PasswordPlace { kKeyring, kSettingsFile };

// Whether a Secret Service answers on the session bus; asked once per process.
PasswordPlace PasswordPlaceAvailable();

// The keyring's password of an account ("smtp", "store"); nothing when none is
// kept or no keyring runs.
std::optional<std::string> KeyringPassword(std::string_view account);

// Keeps the password in the keyring (an empty one removes it); false when the
// keyring refused.
bool StoreKeyringPassword(std::string_view account, std::string_view password);

// The words the settings dialogs show about where passwords go.
std::string PasswordPlaceText(PasswordPlace place);

}  // namespace mail
