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

}  // namespace app
