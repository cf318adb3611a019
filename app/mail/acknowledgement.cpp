#include "app/mail/acknowledgement.h"

#include <exception>

#include "app/list/entry_processing.h"
#include "app/list/settings.h"
#include "platform/mail/smtp_session.h"
#include "platform/ui/prompt.h"
#include "support/email.h"

namespace app {
namespace {

std::string CrLfLines(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r')
            continue;
        if (text[i] == '\n')
            out += "\r\n";
        else
            out += text[i];
    }
    return out;
}

}  // namespace

Acknowledger::Acknowledger(EntryProcessor& entries, MailContext& context)
    : entries_(entries), context_(context) {
    MakeEmail = [] { return db::MakeComponent<support::TEmail>(nullptr); };
}

std::string Acknowledger::ComposeBody(std::string_view sentence) const {
    const Settings& s = entries_.settings();
    return CrLfLines(s.memHeader) + "\r\n\r\n" + CrLfLines(sentence) + "\r\n\r\n" +
           CrLfLines(s.memFooter);
}

void Acknowledger::LogResult(bool ok, std::string_view address) {
    entries_.AddToLog((ok ? "Successful send of Acknowledgement e-mail to "
                          : "Error sending Acknowledgement e-mail to ") +
                      std::string(address));
}

void Acknowledger::SendAcknowledgement(std::string_view address, std::string_view sentence) {
    const Settings& s = entries_.settings();
    int code = 0;
    if (!s.SendAcknowledgement || !entries_.validemailaddress(address, false, code))
        return;
    switch (s.EmailMethod) {
        case kMethodSmtp:
            SMTPSendAcknowledgement(address, sentence);
            break;
        case kMethodOutlook:
            OLESendAcknowledgement(address, sentence);
            break;
        default:
            MapiSendAcknowledgement(address, sentence);
            break;
    }
}

void Acknowledger::SMTPSendAcknowledgement(std::string_view address, std::string_view sentence) {
    const mail::MailSettings& ms = context_.mail_settings;
    mail::SmtpOptions options;
    options.security = ms.smtp_security;
    options.password = ms.smtp_password;
    options.password_unread = ms.smtp_password_unread;
    options.verify_certificates = ms.verify_certificates;
    // The session's destructor says QUIT and drops the connection, on every
    // way out of this function.
    mail::SmtpSession session(options);
    const mail::SmtpResult connected =
        session.connect(ms.smtp_host, ms.smtp_port, ms.smtp_user,
                        mail::SmtpSession::Clock::now() + ms.connect_timeout);
    if (!connected.ok()) {
        // No box for an unreachable server (one would come per request of a run), but
        // the log says the acknowledgement was not sent.
        LogResult(false, address);
        return;
    }
    bool ok = false;
    try {
        mail::OutgoingMessage message;
        message.from = {ms.from_name, ms.from_address};
        message.to.push_back({"", std::string(address)});
        message.subject = entries_.settings().AcknowledgementSubject;
        message.body = ComposeBody(sentence);
        ok = session.send(message, mail::SmtpSession::Clock::now() + ms.deliver_timeout).ok();
    } catch (const std::exception&) {
        ok = false;
    }
    session.disconnect();
    if (!ok)
        ui::MessageDlg("SMTP Acknowledgement failed", ui::mtError, {ui::mbAbort});
    LogResult(ok, address);
}

void Acknowledger::MapiSendAcknowledgement(std::string_view address, std::string_view sentence) {
    try {
        db::ComponentPtr<support::TEmail> email = MakeEmail();
        email->Recipient().Clear();
        email->Recipient().Add(address);
        email->SetText(ComposeBody(sentence));
        email->SetSubject(entries_.settings().AcknowledgementSubject);
        const int result = email->SendMail();
        if (result == 0) {
            LogResult(true, address);
        } else {
            ui::MessageDlg("MAPI Sendmail failed", ui::mtError, {ui::mbAbort});
            LogResult(false, address);
        }
        email->Clear();
    } catch (const std::exception&) {
        // Without Simple MAPI nothing can be said by this route.
    }
}

void Acknowledger::OLESendAcknowledgement(std::string_view address, std::string_view sentence) {
    std::unique_ptr<mail::Draft> item;
    try {
        if (context_.store == nullptr)
            throw std::runtime_error("no mail store");
        item = context_.store->CreateItem();
        item->SetSubject(entries_.settings().AcknowledgementSubject);
        item->SetBody(ComposeBody(sentence));
        item->AddRecipient(address).type = mail::RecipientType::kTo;
        if (entries_.settings().AlwaysResolveAddresses)
            item->ResolveAll();
    } catch (const std::exception&) {
        ui::ShowMessage(
            "MAPI Sending Error.  Go to Advanced options and select a different sending option.");
        return;
    }
    try {
        item->Send();
        LogResult(true, address);
    } catch (const std::exception&) {
        LogResult(false, address);
    }
}

}  // namespace app
