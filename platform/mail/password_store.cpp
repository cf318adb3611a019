#include "platform/mail/password_store.h"

#include <cstdlib>
#include <mutex>

#include <libsecret/secret.h>

namespace mail {
namespace {

const SecretSchema* Schema() {
    static const SecretSchema schema = {
        "org.brovik.Corvane.Password",
        SECRET_SCHEMA_NONE,
        {{"account", SECRET_SCHEMA_ATTRIBUTE_STRING}, {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING}},
        0,
        nullptr,
        nullptr,
        nullptr,
        nullptr,
        nullptr,
        nullptr,
        nullptr};
    return &schema;
}

// A look-up that answers, with or without a password, says a keyring runs.
bool ProbeKeyring() {
    // Without a session bus libsecret would try to start one.
    if (std::getenv("DBUS_SESSION_BUS_ADDRESS") == nullptr)
        return false;
    GError* error = nullptr;
    gchar* found =
        secret_password_lookup_sync(Schema(), nullptr, &error, "account", "corvane-probe", nullptr);
    secret_password_free(found);
    if (error != nullptr) {
        g_error_free(error);
        return false;
    }
    return true;
}

}  // namespace

PasswordPlace PasswordPlaceAvailable() {
    static std::once_flag once;
    static PasswordPlace place = PasswordPlace::kSettingsFile;
    std::call_once(once, [] {
        if (ProbeKeyring())
            place = PasswordPlace::kKeyring;
    });
    return place;
}

std::optional<std::string> KeyringPassword(std::string_view account) {
    if (PasswordPlaceAvailable() != PasswordPlace::kKeyring)
        return std::nullopt;
    const std::string name(account);
    GError* error = nullptr;
    gchar* found =
        secret_password_lookup_sync(Schema(), nullptr, &error, "account", name.c_str(), nullptr);
    if (error != nullptr)
        g_error_free(error);
    if (found == nullptr)
        return std::nullopt;
    std::string password(found);
    secret_password_free(found);
    return password;
}

bool StoreKeyringPassword(std::string_view account, std::string_view password) {
    if (PasswordPlaceAvailable() != PasswordPlace::kKeyring)
        return false;
    const std::string name(account);
    GError* error = nullptr;
    bool ok = false;
    if (password.empty()) {
        secret_password_clear_sync(Schema(), nullptr, &error, "account", name.c_str(), nullptr);
        ok = error == nullptr;
    } else {
        const std::string label = "Corvane " + name + " password";
        const std::string secret(password);
        ok = secret_password_store_sync(Schema(), SECRET_COLLECTION_DEFAULT, label.c_str(),
                                        secret.c_str(), nullptr, &error, "account", name.c_str(),
                                        nullptr) != 0;
    }
    if (error != nullptr) {
        g_error_free(error);
        ok = false;
    }
    return ok;
}

std::string PasswordPlaceText(PasswordPlace place) {
    return place == PasswordPlace::kKeyring
               ? "Passwords are kept in your desktop's keyring."
               : "No keyring is running: passwords are kept in the settings file, which only you "
                 "can read.";
}

}  // namespace mail
