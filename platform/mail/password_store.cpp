#include "platform/mail/password_store.h"

#include <cstdlib>
#include <memory>
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

struct GObjectUnref {
    void operator()(gpointer object) const { g_object_unref(object); }
};

struct Connection {
    std::unique_ptr<SecretService, GObjectUnref> service;
    KeyringState state = KeyringState::kNone;
};

Connection Connect() {
    if (PasswordPlaceAvailable() != PasswordPlace::kKeyring)
        return {};
    // The shared connection may belong to a daemon that has ended or restarted.
    secret_service_disconnect();
    GError* error = nullptr;
    Connection keyring{std::unique_ptr<SecretService, GObjectUnref>(
                           secret_service_get_sync(SECRET_SERVICE_OPEN_SESSION, nullptr, &error)),
                       KeyringState::kGone};
    if (error != nullptr) {
        g_error_free(error);
        return keyring;
    }
    SecretCollection* collection = secret_collection_for_alias_sync(
        keyring.service.get(), SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, nullptr, &error);
    if (error != nullptr) {
        g_error_free(error);
        return keyring;
    }
    keyring.state = collection != nullptr && secret_collection_get_locked(collection) != 0
                        ? KeyringState::kLocked
                        : KeyringState::kOpen;
    if (collection != nullptr)
        g_object_unref(collection);
    return keyring;
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

KeyringRead KeyringPassword(std::string_view account) {
    const Connection keyring = Connect();
    if (keyring.state != KeyringState::kOpen)
        return {"", keyring.state};
    const std::string name(account);
    GHashTable* attributes = secret_attributes_build(Schema(), "account", name.c_str(), nullptr);
    GError* error = nullptr;
    SecretValue* value =
        secret_service_lookup_sync(keyring.service.get(), Schema(), attributes, nullptr, &error);
    g_hash_table_unref(attributes);
    if (error != nullptr) {
        g_error_free(error);
        return {"", KeyringState::kGone};
    }
    KeyringRead read{"", KeyringState::kOpen};
    if (value != nullptr) {
        read.password = secret_value_get_text(value);
        secret_value_unref(value);
    }
    return read;
}

bool StoreKeyringPassword(std::string_view account, std::string_view password) {
    // A locked keyring would ask to be unlocked with no one to answer.
    if (Connect().state != KeyringState::kOpen)
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

std::string KeyringProblemText(KeyringState state) {
    switch (state) {
        case KeyringState::kOpen:
            return "";
        case KeyringState::kLocked:
            return "No password could be read from the keyring: your desktop's keyring is locked.";
        case KeyringState::kGone:
            return "No password could be read from the keyring: your desktop's keyring has "
                   "stopped running.";
        case KeyringState::kNone:
            break;
    }
    return "No password could be read from the keyring: no keyring is running.";
}

std::string PasswordPlaceText(PasswordPlace place) {
    return place == PasswordPlace::kKeyring
               ? "Passwords are kept in your desktop's keyring."
               : "No keyring is running: passwords are kept in the settings file, which only you "
                 "can read.";
}

}  // namespace mail
