#include "app/mail/sending_settings.h"

#include <algorithm>
#include <charconv>
#include <chrono>

#include "app/list/settings.h"
#include "app/mail/mail_context.h"
#include "app/routines/text_routines.h"
#include "platform/mail/mail_config.h"
#include "platform/mail/mail_store.h"
#include "platform/mail/smtp_session.h"
#include "platform/ui/prompt.h"

namespace app {

RootChoice RootChoiceOf(std::string_view root_folder) {
    if (root_folder == kRootDefault)
        return RootChoice::kDefault;
    if (root_folder.empty() || root_folder == kPersonalFolders)
        return RootChoice::kPersonalFolders;
    return RootChoice::kOther;
}

std::string RootFolderFor(RootChoice choice, std::string_view other_text) {
    switch (choice) {
        case RootChoice::kDefault:
            return std::string(kRootDefault);
        case RootChoice::kOther:
            return std::string(other_text);
        case RootChoice::kPersonalFolders:
            break;
    }
    return std::string(kPersonalFolders);
}

SmtpSettingsFields LoadSmtpSettingsFields(const Settings& settings, bool relay) {
    SmtpSettingsFields f;
    f.relay = relay;
    f.name = settings.SMTPName;
    f.email = settings.SMTPEmail;
    if (relay) {
        f.host = settings.DNSHost;
        f.port = std::to_string(settings.DNSTimeOut / 1000);
        f.process_bounce = settings.DNSProcessBounce;
    } else {
        f.host = settings.SMTPHost;
        f.port = std::to_string(settings.SMTPPort);
        f.user = settings.SMTPID;
    }
    return f;
}

std::optional<int> ParsePortField(std::string_view text, bool relay) {
    const std::string trimmed = Trim(text);
    int value = 0;
    const char* end = trimmed.data() + trimmed.size();
    const auto [ptr, ec] = std::from_chars(trimmed.data(), end, value);
    if (trimmed.empty() || ec != std::errc() || ptr != end)
        return std::nullopt;
    // The relay's time-out travels as 16-bit milliseconds and may be 0; a port may not.
    const int least = relay ? 0 : 1;
    const int most = relay ? 65 : 65535;
    if (value < least || value > most)
        return std::nullopt;
    return value;
}

bool StoreSmtpSettingsFields(Settings& settings, const SmtpSettingsFields& fields) {
    const std::optional<int> port = ParsePortField(fields.port, fields.relay);
    if (!port)
        return false;
    if (fields.relay) {
        settings.DNSTimeOut = *port * 1000;
        settings.DNSHost = fields.host;
        settings.DNSProcessBounce = fields.process_bounce;
    } else {
        settings.SMTPPort = *port;
        settings.SMTPID = fields.user;
        settings.SMTPHost = fields.host;
    }
    settings.SMTPName = fields.name;
    settings.SMTPEmail = fields.email;
    return true;
}

std::string MissingSettingsText(const Settings& settings, int method) {
    if (method == kMethodSmtp && (settings.SMTPHost.empty() || settings.SMTPEmail.empty()))
        return "You have selected the SMTP sending method.  Please enter your SMTP settings!";
    if (method == kMethodRelay && (settings.DNSHost.empty() || settings.SMTPEmail.empty()))
        return "You have selected the SMTP Server method.  Please enter your SMTP Server "
               "settings!";
    return {};
}

bool ConfirmSendingMethod(Settings& settings) {
    if (settings.EmailMethod >= 0)
        return true;
    if (ui::MessageDlg("Your preferred e-mail sending method has not been specified.  The default, "
                       "MAPI transport, will be used.  You can change this under File|Options, "
                       "Advanced, if you would prefer another method or encounter any problems",
                       ui::mtInformation, ui::mbOKCancel) != ui::mrOk)
        return false;
    settings.EmailMethod = kMethodMapiControl;
    return true;
}

std::string TestSmtpAccount(const SmtpSettingsFields& fields, const std::function<void()>& idle) {
    const std::optional<int> port = ParsePortField(fields.port, false);
    if (!port)
        return "You have not specified a valid SMTP port!";
    const std::string server = fields.host + ":" + std::to_string(*port);
    mail::SmtpOptions options;
    options.security = static_cast<mail::SmtpSecurity>(std::clamp(fields.security, 0, 2));
    options.password = fields.password;
    options.password_unread = fields.password_unread;
    options.idle = idle;
    mail::SmtpSession session(options);
    mail::SmtpResult result;
    try {
        result = session.connect(fields.host, static_cast<std::uint16_t>(*port), fields.user,
                                 mail::SmtpSession::Clock::now() + std::chrono::seconds(40));
    } catch (const std::exception& e) {
        return "The SMTP server " + server + " cannot be tried: " + e.what();
    }
    if (!result.ok())
        return "The SMTP server " + server + " could not be used:\r\n\r\n" + result.text;
    session.disconnect();
    return "The SMTP server " + server + " accepted the connection" +
           (fields.user.empty() ? std::string() : " and the login of " + fields.user) + ".";
}

std::string TestStoreAccount(const mail::MailAccount& account) {
    try {
        mail::MailSettings settings;
        settings.store_url = mail::ImapStoreUrl(account, true);
        if (account.imap_password.empty())
            settings.store_password_unread = account.imap_password_unread;
        auto store = mail::MailStore::OpenImap(settings);
        mail::Folder& root = store->Root(1);
        return "The IMAP server " + account.imap_host + ":" + std::to_string(account.imap_port) +
               " accepted the login; its mailbox has " + std::to_string(root.FolderCount()) +
               " folders.";
    } catch (const std::exception& e) {
        return "The IMAP server " + account.imap_host + ":" + std::to_string(account.imap_port) +
               " could not be used:\r\n\r\n" + e.what();
    }
}

}  // namespace app
