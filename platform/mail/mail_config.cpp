#include "platform/mail/mail_config.h"

#include <optional>

#include "platform/config/errors.h"
#include "platform/config/registry.h"
#include "platform/config/value_text.h"
#include "platform/mail/mail_error.h"
#include "platform/mail/outgoing_message.h"
#include "platform/mail/vmime_support.h"
#include "platform/os/file_system.h"

namespace mail {

namespace {

using platform::config::TRegDataType;
using platform::config::TRegistry;

// A value as text whichever kind it was stored as; nullopt when missing.
std::optional<std::string> ReadText(TRegistry& registry, std::string_view name) {
    if (!registry.ValueExists(name))
        return std::nullopt;
    if (registry.GetDataType(name) == TRegDataType::rdInteger) {
        return std::to_string(registry.ReadInteger(name));
    }
    return registry.ReadString(name);
}

std::int64_t ReadNumber(TRegistry& registry, std::string_view name, std::int64_t fallback) {
    const auto text = ReadText(registry, name);
    if (!text || text->empty())
        return fallback;
    const auto value = platform::config::ParseIntegerText(*text);
    if (!value) {
        throw EMailError("The setting " + std::string(name) + " (\"" + *text +
                         "\") is not a whole number");
    }
    return *value;
}

// The settings file's password, else the keyring's; `unread` says why none
// could be read.
std::string ReadPassword(TRegistry& registry, std::string_view name, std::string_view account,
                         std::string& unread) {
    std::string password = ReadText(registry, name).value_or("");
    if (password.empty()) {
        const KeyringRead read = KeyringPassword(account);
        password = read.password;
        unread = KeyringProblemText(read.state);
    }
    return password;
}

}  // namespace

MailSettings LoadMailSettings() {
    MailSettings settings;
    TRegistry registry;
    if (registry.OpenKeyReadOnly(kApplicationKey)) {
        settings.smtp_host = ReadText(registry, "SMTPHost").value_or("");
        const std::int64_t port = ReadNumber(registry, "SMTPPort", 25);
        try {
            settings.smtp_port = CheckedPort(port);
        } catch (const EMailError& e) {
            throw EMailError(std::string("The setting SMTPPort is not usable: ") + e.what());
        }
        settings.smtp_user = ReadText(registry, "SMTPID").value_or("");
        settings.from_name = ReadText(registry, "SMTPName").value_or("");
        settings.from_address = ReadText(registry, "SMTPEmail").value_or("");
        settings.dns_host = ReadText(registry, "DNSHost").value_or("");
        settings.dns_timeout_ms = DnsTimeoutMilliseconds(ReadNumber(registry, "DNSTimeOut", 6000));
        registry.CloseKey();
    }
    if (registry.OpenKeyReadOnly(kMailKey)) {
        settings.store_url = ReadText(registry, "StoreURL").value_or("");
        switch (ReadNumber(registry, "SMTPTLS", 0)) {
            case 0:
                settings.smtp_security = SmtpSecurity::kNone;
                break;
            case 1:
                settings.smtp_security = SmtpSecurity::kStartTls;
                break;
            case 2:
                settings.smtp_security = SmtpSecurity::kTls;
                break;
            default:
                throw EMailError("The setting SMTPTLS must be 0, 1 or 2");
        }
        settings.smtp_password =
            ReadPassword(registry, "SMTPPassword", "smtp", settings.smtp_password_unread);
        // The store's password is kept apart from its address.
        if (!settings.store_url.empty()) {
            std::string unread;
            const std::string password = ReadPassword(registry, "StorePassword", "store", unread);
            try {
                vmime::utility::url url(settings.store_url);
                if (url.getPassword().empty())
                    settings.store_password_unread = unread;
                if (!password.empty() && url.getPassword().empty()) {
                    url.setPassword(password);
                    settings.store_url = static_cast<std::string>(url);
                }
            } catch (const vmime::exception&) {
                // The store reports an address it cannot read.
            }
        }
        if (const auto verify = ReadText(registry, "VerifyCertificates")) {
            const auto flag = platform::config::ParseBoolText(*verify);
            if (!flag)
                throw EMailError("The setting VerifyCertificates must be true or false");
            settings.verify_certificates = *flag;
        }
        registry.CloseKey();
    }
    return settings;
}

std::string ImapStoreUrl(const MailAccount& account, bool with_password) {
    CheckHeaderValue("IMAP server", account.imap_host);
    CheckHeaderValue("IMAP user", account.imap_user);
    if (account.imap_host.empty() || account.imap_host.find_first_of("/@: ") != std::string::npos)
        throw EMailError("The IMAP server \"" + account.imap_host + "\" is not a host name");
    detail::EnsureVmime();
    vmime::utility::url url(account.imap_tls ? "imaps" : "imap", account.imap_host,
                            account.imap_port, "", account.imap_user,
                            with_password ? account.imap_password : "");
    return static_cast<std::string>(url);
}

MailAccount LoadMailAccount() {
    const MailSettings settings = LoadMailSettings();
    MailAccount account;
    account.smtp_security = settings.smtp_security;
    account.smtp_password = settings.smtp_password;
    account.smtp_password_unread = settings.smtp_password_unread;
    account.imap_password_unread = settings.store_password_unread;
    if (!settings.store_url.empty()) {
        try {
            detail::EnsureVmime();
            const vmime::utility::url url(settings.store_url);
            const std::string protocol = url.getProtocol();
            if (protocol == "imap" || protocol == "imaps") {
                account.imap = true;
                account.imap_tls = protocol == "imaps";
                account.imap_host = url.getHost();
                account.imap_port = static_cast<std::uint16_t>(url.getPort());
                account.imap_user = url.getUsername();
                account.imap_password = url.getPassword();
            }
        } catch (const vmime::exception&) {
        }
    }
    return account;
}

PasswordPlace SaveMailAccount(const MailAccount& account) {
    const std::string store = account.imap ? ImapStoreUrl(account, false) : std::string();
    TRegistry registry;
    if (!registry.OpenKey(kMailKey, true))
        throw EMailError("The mail settings cannot be written: " + registry.LastError());
    registry.WriteString("StoreURL", store);
    registry.WriteInteger("SMTPTLS", static_cast<int>(account.smtp_security));
    bool keyring = PasswordPlaceAvailable() == PasswordPlace::kKeyring;
    // A password the keyring could not give is not known here: overwriting it
    // with the empty field would lose it.
    const auto save = [&](std::string_view name, std::string_view key, std::string_view password,
                          bool unread) {
        if (unread && password.empty())
            return;
        const bool kept = keyring && StoreKeyringPassword(key, password);
        keyring = keyring && kept;
        registry.WriteString(name, kept ? std::string_view() : password);
    };
    save("SMTPPassword", "smtp", account.smtp_password, !account.smtp_password_unread.empty());
    save("StorePassword", "store", account.imap ? account.imap_password : "",
         account.imap && !account.imap_password_unread.empty());
    registry.CloseKey();
    return keyring ? PasswordPlace::kKeyring : PasswordPlace::kSettingsFile;
}

std::string UnreadPasswordsText(const MailAccount& account) {
    const std::string& why = account.smtp_password_unread.empty() ? account.imap_password_unread
                                                                  : account.smtp_password_unread;
    if (why.empty() || PasswordPlaceAvailable() != PasswordPlace::kKeyring)
        return "";
    return why +
           "  The stored passwords are kept as they are; a password you type here "
           "replaces its stored one.";
}

void MovePasswordsToKeyring() {
    if (PasswordPlaceAvailable() != PasswordPlace::kKeyring)
        return;
    TRegistry registry;
    if (!registry.OpenKey(kMailKey, false))
        return;
    for (const auto& [name, key] :
         {std::pair{"SMTPPassword", "smtp"}, {"StorePassword", "store"}}) {
        const std::string password = ReadText(registry, name).value_or("");
        if (!password.empty() && StoreKeyringPassword(key, password) &&
            KeyringPassword(key).password == password)
            registry.WriteString(name, "");
    }
    registry.CloseKey();
}

bool SimpleMapiRegistered() {
    TRegistry registry;
    registry.SetRootKey(platform::config::HKEY_LOCAL_MACHINE);
    if (!registry.OpenKeyReadOnly("SOFTWARE\\Microsoft\\Windows Messaging Subsystem")) {
        return false;
    }
    try {
        return registry.GetDataType("MAPI") == TRegDataType::rdString &&
               registry.ReadString("MAPI") == "1";
    } catch (const platform::config::ERegistryException&) {
        return false;
    }
}

std::optional<std::string> DefaultMapiProfile() {
    TRegistry registry;
    for (std::string_view key :
         {"Software\\Microsoft\\Windows NT\\CurrentVersion\\Windows Messaging Subsystem\\Profiles",
          "Software\\Microsoft\\Windows Messaging Subsystem\\Profiles"}) {
        if (registry.KeyExists(std::string("\\") + std::string(key)) &&
            registry.OpenKeyReadOnly(key)) {
            return ReadText(registry, "DefaultProfile").value_or("");
        }
    }
    return std::nullopt;
}

std::filesystem::path DefaultMailRoot() {
    auto directory = platform::os::ProgramDirectory();
    if (!directory)
        throw EMailError("The program directory cannot be created");
    return std::filesystem::path(directory.value()) / "Mail";
}

}  // namespace mail
