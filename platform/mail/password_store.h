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

// How the keyring answers now (asked afresh each time: it may end, restart or
// lock while the program runs).
enum class KeyringState {
    kOpen,
    kLocked,  // it runs, but what it keeps cannot be read until it is unlocked
    kGone,    // one ran at start and no longer answers
    kNone,    // none ran at start
};

// The keyring's password of an account ("smtp", "store"): `password` is empty
// when none is kept, and also when the keyring could not be read (`state` says).
struct KeyringRead {
    std::string password;
    KeyringState state = KeyringState::kNone;
};
KeyringRead KeyringPassword(std::string_view account);

// Keeps the password in the keyring (an empty one removes it); false when the
// keyring refused or is locked or gone.
bool StoreKeyringPassword(std::string_view account, std::string_view password);

// Why a password is missing when the keyring could not be read (empty when open).
std::string KeyringProblemText(KeyringState state);

// The words the settings dialogs show about where passwords go.
std::string PasswordPlaceText(PasswordPlace place);

}  // namespace mail
