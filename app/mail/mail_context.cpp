#include "app/mail/mail_context.h"

#include "app/list/settings.h"

namespace app {

mail::MailSettings MailSettingsFrom(const Settings& settings, mail::MailSettings base) {
    base.smtp_host = settings.SMTPHost;
    base.smtp_port = mail::CheckedPort(settings.SMTPPort);
    base.smtp_user = settings.SMTPID;
    base.from_name = settings.SMTPName;
    base.from_address = settings.SMTPEmail;
    base.dns_host = settings.DNSHost;
    base.dns_timeout_ms = mail::DnsTimeoutMilliseconds(settings.DNSTimeOut);
    return base;
}

bool SameDelivery(const mail::MailSettings& opened, const mail::MailSettings& now) {
    return opened.store_url == now.store_url && opened.smtp_host == now.smtp_host &&
           opened.smtp_port == now.smtp_port && opened.smtp_security == now.smtp_security &&
           opened.smtp_user == now.smtp_user && opened.smtp_password == now.smtp_password &&
           opened.smtp_password_unread == now.smtp_password_unread &&
           opened.from_address == now.from_address && opened.from_name == now.from_name &&
           opened.dns_host == now.dns_host && opened.dns_timeout_ms == now.dns_timeout_ms;
}

}  // namespace app
