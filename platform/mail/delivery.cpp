#include "platform/mail/delivery.h"

#include "platform/mail/mail_error.h"
#include "platform/mail/mail_store.h"
#include "platform/mail/smtp_session.h"

namespace mail {

void DeliverMessage(const MailSettings& settings, const OutgoingMessage& message,
                    MailStore* outbox_store, const std::function<void()>& idle) {
    if (!settings.smtp_host.empty()) {
        SmtpOptions options;
        options.security = settings.smtp_security;
        options.password = settings.smtp_password;
        options.password_unread = settings.smtp_password_unread;
        options.verify_certificates = settings.verify_certificates;
        options.idle = idle;
        SmtpSession session(options);
        const auto now = SmtpSession::Clock::now();
        SmtpResult result = session.connect(settings.smtp_host, settings.smtp_port,
                                            settings.smtp_user, now + settings.connect_timeout);
        if (!result.ok()) {
            throw EMailError("The SMTP server " + settings.smtp_host +
                             " could not be reached: " + result.text);
        }
        result = session.send(message, SmtpSession::Clock::now() + settings.deliver_timeout);
        session.disconnect();
        if (!result.ok() && result.may_have_arrived) {
            throw EMailMayHaveArrived("The SMTP server did not answer the message: " + result.text);
        }
        if (!result.ok()) {
            throw EMailError("The SMTP server did not accept the message: " + result.text);
        }
        return;
    }
    if (!outbox_store)
        throw EMailError("No SMTP server is set");
    const std::string mime = ComposeMime(message, true);
    if (EnvelopeRecipients(message).empty())
        throw EMailError("The message has no recipient");
    Folder& top = outbox_store->Root(1);
    Folder* outbox = top.FindFolder(kOutbox);
    if (!outbox)
        outbox = &top.AddFolder(kOutbox);
    outbox->AppendMessage(mime, true);
}

}  // namespace mail
