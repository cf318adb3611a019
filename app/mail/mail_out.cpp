#include "app/mail/mail_out.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <exception>
#include <filesystem>
#include <future>
#include <utility>

#include "app/list/cancel_flag.h"
#include "app/list/entry_processing.h"
#include "app/list/list_database.h"
#include "app/list/name_routines.h"
#include "app/list/settings.h"
#include "app/mail/acknowledgement.h"
#include "app/routines/address_syntax.h"
#include "app/routines/text_routines.h"
#include "platform/db/conversions.h"
#include "platform/db/date_time.h"
#include "platform/db/format_settings.h"
#include "platform/mail/mail_error.h"
#include "platform/mail/message_template.h"
#include "platform/mail/relay_library.h"
#include "platform/mail/smtp_session.h"
#include "platform/os/whole_file.h"
#include "platform/ui/prompt.h"
#include "support/email.h"
#include "support/mapi_control.h"

namespace app {
namespace {

constexpr std::array<std::string_view, 4> kMergeFieldNames{"%FULL_NAME%", "%SALUTATION%", "%DATE%",
                                                           "%EMAIL%"};
constexpr std::string_view kTestName = "Test_Name";

// The attachment encodings of one run go with it; the next run reads the
// files afresh.
class EncodingsScope {
  public:
    explicit EncodingsScope(
        std::map<std::string, std::shared_ptr<const mail::EncodedAttachment>>& encodings)
        : encodings_(encodings) {
        encodings_.clear();
    }
    ~EncodingsScope() { encodings_.clear(); }
    EncodingsScope(const EncodingsScope&) = delete;
    EncodingsScope& operator=(const EncodingsScope&) = delete;

  private:
    std::map<std::string, std::shared_ptr<const mail::EncodedAttachment>>& encodings_;
};

// Closes the SMTP connection on every way out of a mail-out or test send.
class SmtpScope {
  public:
    SmtpScope(MailOut& out, bool active) : out_(out), active_(active) {}
    ~SmtpScope() {
        if (active_)
            out_.SMTPDisconnect();
    }
    void Release() {
        if (active_)
            out_.SMTPDisconnect();
        active_ = false;
    }
    SmtpScope(const SmtpScope&) = delete;
    SmtpScope& operator=(const SmtpScope&) = delete;

  private:
    MailOut& out_;
    bool active_;
};

// An extra recipient typed as "Name <address>" goes to that address under that name.
std::vector<mail::Mailbox> Mailboxes(const std::vector<std::string>& addresses) {
    std::vector<mail::Mailbox> out;
    for (const std::string& a : addresses) {
        if (auto written = mail::WrittenMailbox(a))
            out.push_back(std::move(*written));
        else
            out.push_back({"", a});
    }
    return out;
}

void Assign(db::TStrings& list, const std::vector<std::string>& lines) {
    list.Clear();
    for (const std::string& line : lines)
        list.Add(line);
}

// The lines of a text as the hidden memo holds them.
std::vector<std::string> BodyLines(std::string_view body) {
    std::vector<std::string> lines;
    std::string line;
    for (std::size_t i = 0; i < body.size(); ++i) {
        if (body[i] == '\r')
            continue;
        if (body[i] == '\n') {
            lines.push_back(std::move(line));
            line.clear();
        } else {
            line += body[i];
        }
    }
    if (!line.empty())
        lines.push_back(std::move(line));
    return lines;
}

std::string Joined(const std::vector<std::string>& list) {
    std::string out;
    for (const std::string& a : list) {
        if (!out.empty())
            out += ", ";
        out += a;
    }
    return out;
}

// The run's template and its use end with the run.
class TemplateScope {
  public:
    TemplateScope(std::unique_ptr<mail::MessageTemplate>& prepared, bool& active)
        : prepared_(prepared), active_(active) {
        prepared_.reset();
        active_ = true;
    }
    ~TemplateScope() {
        prepared_.reset();
        active_ = false;
    }
    TemplateScope(const TemplateScope&) = delete;
    TemplateScope& operator=(const TemplateScope&) = delete;

  private:
    std::unique_ptr<mail::MessageTemplate>& prepared_;
    bool& active_;
};

}  // namespace

std::string HtmlText(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&#39;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

bool ContainsMergeField(std::string_view text) {
    for (std::string_view field : kMergeFieldNames)
        if (text.find(field) != std::string_view::npos)
            return true;
    return false;
}

std::string MergeFields(std::string_view text, std::string_view full_name,
                        std::string_view first_name, std::string_view address,
                        std::string_view date) {
    const std::array<std::string_view, 4> values{full_name, first_name, date, address};
    std::string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        bool replaced = false;
        if (text[i] == '%') {
            for (std::size_t f = 0; f < kMergeFieldNames.size(); ++f) {
                if (text.substr(i).starts_with(kMergeFieldNames[f])) {
                    out += values[f];
                    i += kMergeFieldNames[f].size();
                    replaced = true;
                    break;
                }
            }
        }
        if (!replaced)
            out += text[i++];
    }
    return out;
}

std::string CompletionText(int method, std::int64_t sent, std::int64_t failed) {
    std::string where;
    switch (method) {
        case kMethodOutlook:
            where = "to your Outlook Outbox";
            break;
        case kMethodSmtp:
            where = "via your ISP's SMTP server";
            break;
        case kMethodRelay:
            where = "via the CVN SMTP Relay Server";
            break;
        default:
            where = "to your default e-mail software";
            break;
    }
    std::string text =
        "Your e-mails to " + std::to_string(sent) + " recipients have been sent " + where + ".";
    if (failed > 0)
        text += "  Sending to " + std::to_string(failed) + " recipients failed.";
    return text;
}

MailOut::MailOut(Settings& settings, ListDatabase& database, MailContext& context,
                 EntryProcessor* entries)
    : settings_(settings), database_(database), context_(context), entries_(entries) {
    MakeEmail = [] { return db::MakeComponent<support::TEmail>(nullptr); };
    MakeMapiControl = [] { return db::MakeComponent<support::TMapiControl>(nullptr); };
}

MailOut::~MailOut() = default;

support::TEmail& MailOut::Email1() {
    if (!email1_) {
        email1_ = MakeEmail();
        email1_->SetDownLoadFirst(true);
        email1_->SetNewSession(false);
        email1_->SetUnreadOnly(true);
        email1_->SetUseDefProfile(true);
    }
    return *email1_;
}

void MailOut::EmailLogon() {
    if (settings_.EmailMethod != kMethodEmail)
        return;
    int result = 0;
    try {
        result = Email1().Logon();
    } catch (const std::exception&) {
        // Simple MAPI is not installed: as failed a logon as any.
        result = -1;
    }
    if (result != 0)
        ui::MessageDlg("MAPI Logon failed", ui::mtError, {ui::mbOK});
}

void MailOut::EmailLogoff() {
    // Asked by the session rather than the method, which an HTML message may
    // have switched since the logon.
    if (!email1_ || !email1_->SessionOpen())
        return;
    int result = 0;
    try {
        result = email1_->Logoff();
    } catch (const std::exception&) {
        result = -1;
    }
    if (result != 0)
        ui::MessageDlg("MAPI Logoff failed", ui::mtError, {ui::mbOK});
}

void MailOut::ShowSendError(std::string_view text) {
    // The flag hides the boxes, never the record.
    ProgramLog(text);
    if (hide_send_errors || !OnSendError)
        return;
    OnSendError(text);
}

void MailOut::ProgramLog(std::string_view line) {
    if (entries_ != nullptr)
        entries_->AddToLog(line);
}

bool MailOut::ClearRecipients() {
    try {
        database_.tblTemp().EmptyTable();
        return true;
    } catch (const std::exception&) {
        ui::MessageDlg("Error encountered clearing your temporary table!", ui::mtError, {ui::mbOK});
        ui::MessageDlg("An error was encountered calculating your recipeints!", ui::mtError,
                       {ui::mbOK});
        return false;
    }
}

MailOut::RowResult MailOut::AddRecipientRow(std::string_view email, std::string_view name,
                                            std::string_view salutation) {
    strata::TStrataTable& t = database_.tblTemp();
    try {
        t.Append();
        t.FieldByName("Email")->SetAsString(email);
        t.FieldByName("Name")->SetAsString(name);
        t.FieldByName("Salutation")->SetAsString(salutation);
        t.Post();
        return RowResult::kAdded;
    } catch (const std::exception&) {
        try {
            t.Cancel();
        } catch (const std::exception&) {
        }
    }
    // A duplicate address: the first occurrence wins. Anything else (a value longer
    // than its field) is no duplicate and must not vanish as one.
    try {
        if (t.Locate("Email", db::Variant(std::string(email)), {db::loCaseInsensitive}))
            return RowResult::kDuplicate;
    } catch (const std::exception&) {
    }
    return RowResult::kRefused;
}

std::int64_t MailOut::RecipientCount() {
    return database_.tblTemp().RecordCount();
}

bool MailOut::BuildRecipients() {
    SetCancelled(false);
    recipients_valid = false;
    if (!ClearRecipients())
        return false;
    strata::TStrataTable& list = database_.tblCV();
    list.DisableControls();
    bool complete = false;
    try {
        const std::int64_t total = list.RecordCount();
        std::int64_t counter = 0;
        list.First();
        while (!list.Eof()) {
            const std::string email = Trim(list.FieldByName("Item")->AsString());
            std::string full_name, first_name;
            if (personalise) {
                full_name = Trim(list.FieldByName("Name")->AsString());
                first_name = Trim(list.FieldByName("Salutation")->AsString());
            }
            AddRecipientRow(email, full_name, first_name);
            if (OnProgress)
                OnProgress("Generating Unique Recipient List", counter, total);
            if (Cancelled())
                break;
            ++counter;
            list.Next();
        }
        complete = list.Eof();
    } catch (const std::exception&) {
        ui::MessageDlg("An error was encountered calculating your recipeints!", ui::mtError,
                       {ui::mbOK});
        complete = false;
    }
    list.EnableControls();
    recipients_valid = complete;
    return complete;
}

bool MailOut::ProcessManual(const std::vector<std::string>& lines, bool check_validity,
                            std::vector<std::string>& rejects) {
    SetCancelled(false);
    // Until the build ends the table holds only part of the list.
    recipients_valid = false;
    if (!ClearRecipients())
        return false;
    const auto total = static_cast<std::int64_t>(lines.size());
    for (std::int64_t i = 0; i < total; ++i) {
        std::string address = Trim(lines[static_cast<std::size_t>(i)]);
        std::string name;
        SMTPAddressToEmailName(address, name);
        if (OnProgress)
            OnProgress("Processing address, " + address, i + 1, total);
        if (Cancelled())
            return false;
        if (address.empty())
            continue;
        // The full syntax check that list entries pass (without the exceptions list):
        // the quick plausibility test would let "a,b@example.org" or a missing top-level
        // domain through to the server.
        int code = 0, position = 0;
        if (check_validity && !CheckEmailAddressSyntax(address, code, position)) {
            rejects.push_back(address);
            continue;
        }
        RowResult added = AddRecipientRow(address, name, "");
        // A display name longer than the table holds is only a merge value: the member
        // keeps the message with the name cut, rather than being dropped.
        if (added == RowResult::kRefused && !name.empty())
            added = AddRecipientRow(address, KeepLeftChars(name, kNameSize), "");
        if (added == RowResult::kRefused && !name.empty())
            added = AddRecipientRow(address, "", "");
        // An address the table cannot hold cannot be sent to: shown with the rejects.
        if (added == RowResult::kRefused)
            rejects.push_back(address);
    }
    recipients_valid = true;
    return true;
}

bool MailOut::GetSalutationCheck(bool scan) {
    if (scan)
        personalise = ContainsMergeField(text);
    if (settings_.SendCount != 1 && personalise) {
        if (ui::MessageDlg("You are currently using the option of sending messages to multiple "
                           "recipients, but you have entered custom salutation fields into your "
                           "message.  To use this functionality separate e-mails need to be sent "
                           "to each recipient.  Do you want to enable this now?",
                           ui::mtConfirmation, ui::mbYesNo) != ui::mrYes)
            return false;
        settings_.SendCount = 1;
    }
    return true;
}

std::string MailOut::MessageBody(std::string_view full_name, std::string_view first_name,
                                 std::string_view address) const {
    std::string body = text;
    if (personalise) {
        const std::string date = db::DateToStr(db::Date(), db::FormatSettings());
        // A member's name comes from the list as typed or as a sender wrote it:
        // in a page, "Tom & Jerry" or "<b>" would be markup and break it.
        if (html)
            body = MergeFields(text, HtmlText(full_name), HtmlText(first_name), HtmlText(address),
                               HtmlText(date));
        else
            body = MergeFields(text, full_name, first_name, address, date);
    }
    if (!settings_.AddSignaturePrior && !html)
        body += "\r\n" + settings_.Memsignature;
    return body;
}

void MailOut::AddAddress(std::vector<std::string>& list, std::string_view typed) {
    if (typed.empty())
        return;
    std::string address(typed);
    if (settings_.AlwaysResolveAddresses || !IsValidEmailAddress(typed)) {
        if (settings_.EmailMethod == kMethodEmail) {
            try {
                address = Email1().ResolveName(typed);
            } catch (const std::exception&) {
                address.clear();
            }
        }
    }
    if (address.size() > kMaxAddressLength) {
        ui::MessageDlg("The address \"" + address.substr(0, 40) +
                           "...\" is longer than 255 characters and was not added.",
                       ui::mtWarning, {ui::mbOK});
        return;
    }
    if (!address.empty())
        list.push_back(std::move(address));
}

bool MailOut::AddressBook(std::vector<std::string>& to, std::vector<std::string>& cc,
                          std::vector<std::string>& blind) {
    if (settings_.EmailMethod != kMethodEmail)
        return false;
    support::TEmail& email = Email1();
    Assign(email.Recipient(), to);
    Assign(email.CC(), cc);
    Assign(email.Bcc(), blind);
    // A failed or refused address book leaves the component's lists as they
    // were preset, so reading them back changes nothing.
    email.Address();
    const auto read = [](const db::TStrings& list) {
        std::vector<std::string> out;
        for (std::int64_t i = 0; i < list.Count(); ++i)
            out.push_back(list.Get(i));
        return out;
    };
    to = read(email.Recipient());
    cc = read(email.CC());
    blind = read(email.Bcc());
    return true;
}

void MailOut::AddAttachment(std::vector<std::string>& list, std::string_view chosen) {
    std::string path(chosen);
    if (settings_.EmailMethod == kMethodEmail && !path.empty()) {
        std::error_code ec;
        const std::filesystem::path full = std::filesystem::absolute(path, ec);
        path = ec ? std::string() : Email1().CheckAttachment(full.string());
    }
    if (path.size() > kMaxAddressLength) {
        ui::MessageDlg(
            "The path of this file is longer than 255 characters and cannot be attached.",
            ui::mtWarning, {ui::mbOK});
        return;
    }
    if (!path.empty())
        list.push_back(std::move(path));
}

void MailOut::StaggerWait() {
    if (settings_.spnStaggerDelay < 1 || skip_all_ || !OnStagger)
        return;
    switch (OnStagger()) {
        case StaggerAnswer::kSkipAll:
            skip_all_ = true;
            break;
        case StaggerAnswer::kCancel:
            if (ui::MessageDlg("Are you sure you want to cancel processing?", ui::mtConfirmation,
                               ui::mbYesNo) == ui::mrYes)
                SetCancelled(true);
            break;
        case StaggerAnswer::kContinue:
            break;
    }
}

bool MailOut::SendCurrentMessage(std::string_view full_name, std::string_view first_name,
                                 std::string_view address) {
    if (!first_message_ && settings_.chkStaggerSending)
        StaggerWait();
    first_message_ = false;
    const auto recipients = static_cast<std::int64_t>(settings_.SendCount == 1 ? 1 : bcc.size());
    bool ok =
        settings_.SendCount == 1 ? SendMail(full_name, first_name, address) : SendMail("", "", "");
    if (std::exchange(message_cancelled_, false)) {
        // Cancelled before it was sent: nobody failed, and nobody was sent to.
        not_sent_ +=
            settings_.SendCount == 1 ? 1 : static_cast<std::int64_t>(batch_members_.size());
        bcc.clear();
        batch_members_.clear();
        return false;
    }
    if (!ok)
        failed_count += recipients;
    // Sent, given up or possibly taken by the server: a resumed run does not
    // send it again. One that never reached the server stays to be sent.
    if (!std::exchange(keep_pending_, false))
        journal_.Done(settings_.SendCount == 1 ? std::vector<std::string>{std::string(address)}
                                               : batch_members_);
    bcc.clear();
    batch_members_.clear();
    return ok;
}

bool MailOut::SendMail(std::string_view full_name, std::string_view first_name,
                       std::string_view address) {
    const int method = settings_.EmailMethod;
    if (html && method != kMethodOutlook && method != kMethodSmtp && method != kMethodRelay) {
        if (ui::MessageDlg(
                "You are currently using MAPI to send e-mail, however you have specified the HTML "
                "formatted e-mail option.  OLE or SMTP Sending is required for HTML e-mail, so "
                "this setting will be changed to OLE!  You can change this setting under "
                "File|Options,Advanced\r\n\r\nNOTE:\r\n- OLE sending is supported under Outlook "
                "Only (not Eudora, Outlook Express, etc)!\r\n- Some newer versions of Outlook "
                "require confirmation of every outgoing message (from a third party "
                "application).  If this occurs please switch to SMTP sending.",
                ui::mtInformation, ui::mbOKCancel) != ui::mrOk) {
            SetCancelled(true);
            message_cancelled_ = true;
            return false;
        }
        settings_.EmailMethod = kMethodOutlook;
    }
    switch (settings_.EmailMethod) {
        case kMethodEmail:
            return MAPI2Send(full_name, first_name, address);
        case kMethodOutlook:
            return OLESend(full_name, first_name, address);
        case kMethodSmtp:
            return SMTPSend(full_name, first_name, address);
        case kMethodRelay:
            return SMTPServerSend(full_name, first_name, address);
        default:
            return MAPISend(full_name, first_name, address);
    }
}

void MailOut::LogLists(bool per_address) {
    if (!debug)
        return;
    const std::array<std::pair<std::string_view, const std::vector<std::string>*>, 3> lists{
        {{"To:", &to_list}, {"CC:", &cc_list}, {"BCC:", &bcc}}};
    for (const auto& [header, list] : lists) {
        if (list->empty())
            continue;
        if (per_address) {
            for (const std::string& a : *list) {
                Log("");
                Log(header);
                Log(a);
            }
        } else {
            Log("");
            Log(header);
            for (const std::string& a : *list)
                Log(a);
        }
    }
}

void MailOut::LogSendingHeader() {
    if (debug) {
        Log("");
        Log("");
        Log("Sending Message:");
    }
}

bool MailOut::LogSendOutcome(bool ok, std::string_view failure) {
    Log("");
    Log(ok ? "SEND OK" : "SEND FAILURE");
    if (!ok)
        ShowSendError(failure);
    return ok;
}

bool MailOut::MAPISend(std::string_view full_name, std::string_view first_name,
                       std::string_view address) {
    LogSendingHeader();
    LogLists(true);
    bool ok = false;
    try {
        db::ComponentPtr<support::TMapiControl> mapi = MakeMapiControl();
        mapi->Reset();
        mapi->SetSubject(subject);
        mapi->SetBody(MessageBody(full_name, first_name, address));
        Assign(mapi->Recipients(), to_list);
        Assign(mapi->CopyTo(), cc_list);
        Assign(mapi->BlindCopyTo(), bcc);
        mapi->SetShowDialog(test_send_);
        Assign(mapi->AttachedFiles(), attachments);
        ok = mapi->Send() == 0;
    } catch (const std::exception&) {
        ok = false;
    }
    return LogSendOutcome(ok, "MAPI Send failed!");
}

bool MailOut::MAPI2Send(std::string_view full_name, std::string_view first_name,
                        std::string_view address) {
    LogSendingHeader();
    LogLists(false);
    bool ok = false;
    try {
        support::TEmail& email = Email1();
        email.SetAcknowledge(settings_.Acknowledge);
        // Every list is replaced, so nothing of an earlier message stays.
        Assign(email.Recipient(), to_list);
        Assign(email.CC(), cc_list);
        Assign(email.Bcc(), bcc);
        Assign(email.Attachment(), attachments);
        email.SetText(MessageBody(full_name, first_name, address));
        email.SetSubject(subject);
        ok = email.SendMail() == 0;
        if (ok)
            email.Clear();
    } catch (const std::exception&) {
        ok = false;
    }
    return LogSendOutcome(ok, "MAPI Send failed");
}

bool MailOut::OLESend(std::string_view full_name, std::string_view first_name,
                      std::string_view address) {
    LogSendingHeader();
    std::unique_ptr<mail::Draft> item;
    try {
        if (context_.store == nullptr)
            throw mail::EMailError("no mail store");
        item = context_.store->CreateItem();
        item->SetSubject(subject);
        if (html)
            item->SetHtmlBody(MessageBody(full_name, first_name, address));
        else
            item->SetBody(MessageBody(full_name, first_name, address));
        for (const std::string& a : to_list)
            item->AddRecipient(a).type = mail::RecipientType::kTo;
        for (const std::string& a : cc_list)
            item->AddRecipient(a).type = mail::RecipientType::kCc;
        for (const std::string& a : bcc)
            item->AddRecipient(a).type = mail::RecipientType::kBcc;
        for (const std::string& path : attachments)
            item->AddAttachment(path, mail::FileNamePart(path));
    } catch (const std::exception&) {
        ui::ShowMessage(
            "OLE Sending Error.  Go to Advanced options and select the 'Use External "
            "MAPI' sending option.");
        return false;
    }
    LogLists(true);
    std::string error = "Unknown Error!";
    bool ok = false;
    try {
        if (settings_.AlwaysResolveAddresses)
            item->ResolveAll();
        if (test_send_)
            item->Display();
        else
            item->Send();
        ok = true;
    } catch (const std::exception& e) {
        error = e.what();
    }
    return LogSendOutcome(ok,
                          "OLE Send failed, Outlook returned the following error: \r\n" + error);
}

bool MailOut::SMTPConnect() {
    Log("Connecting to SMTP server");
    const mail::MailSettings& ms = context_.mail_settings;
    mail::SmtpOptions options;
    options.security = ms.smtp_security;
    options.password = ms.smtp_password;
    options.password_unread = ms.smtp_password_unread;
    options.verify_certificates = ms.verify_certificates;
    options.idle = idle;
    smtp_ = std::make_unique<mail::SmtpSession>(options);
    const mail::SmtpResult result =
        smtp_->connect(ms.smtp_host, ms.smtp_port, ms.smtp_user,
                       mail::SmtpSession::Clock::now() + ms.connect_timeout);
    if (result.ok())
        return true;
    // Every failure is told, a refused connection or login too: otherwise the send
    // button would seem to do nothing at all.
    const std::string what = result.text.empty() ? std::string("Er") : result.text;
    ui::MessageDlg("An error was encountered while connecting to your SMTP server:\r\n\r\n" + what,
                   ui::mtWarning, {ui::mbOK});
    Log("SMTP Connection Error: " + what);
    smtp_.reset();
    return false;
}

bool MailOut::SMTPReconnect() {
    Log("Connecting to SMTP server");
    const mail::MailSettings& ms = context_.mail_settings;
    const mail::SmtpResult result =
        smtp_->connect(ms.smtp_host, ms.smtp_port, ms.smtp_user,
                       mail::SmtpSession::Clock::now() + ms.connect_timeout);
    if (result.ok())
        return true;
    // No box in the middle of a run: the message fails and is reported as any
    // failed message is, and the next one tries again.
    Log("SMTP Connection Error: " + (result.text.empty() ? std::string("Er") : result.text));
    return false;
}

void MailOut::SMTPDisconnect() {
    Log("Disconnecting from the SMTP server");
    if (smtp_)
        smtp_->disconnect();
    smtp_.reset();
}

mail::SmtpResult MailOut::SMTPDeliver(const std::shared_ptr<const mail::MimeText>& text,
                                      const std::string& from,
                                      const std::vector<std::string>& recipients) {
    const mail::MailSettings& ms = context_.mail_settings;
    if (!smtp_)
        throw mail::EMailError("not connected");
    // Servers end connections during a long run (an idle time-out over a
    // stagger delay, a limit of messages per connection, a restart): the run
    // connects again and goes on.
    if (!smtp_->connected() && !SMTPReconnect()) {
        keep_pending_ = true;
        throw mail::EMailError("not connected");
    }
    mail::SmtpResult result =
        smtp_->send(text, from, recipients, mail::SmtpSession::Clock::now() + ms.deliver_timeout);
    // A connection lost before the server could have taken the whole message:
    // it goes once more on a new one. One that may have arrived is never sent
    // again, nor one that waited out its deadline.
    if (!result.ok() && !smtp_->connected() && !result.may_have_arrived &&
        result.status != mail::SmtpStatus::kTimedOut &&
        result.status != mail::SmtpStatus::kAborted && SMTPReconnect()) {
        result = smtp_->send(text, from, recipients,
                             mail::SmtpSession::Clock::now() + ms.deliver_timeout);
    }
    // Never taken by the server: its members stay to be sent by a resumed run.
    if ((result.status == mail::SmtpStatus::kTimedOut ||
         result.status == mail::SmtpStatus::kConnectionFailed ||
         result.status == mail::SmtpStatus::kNotConnected) &&
        !result.may_have_arrived)
        keep_pending_ = true;
    return result;
}

std::shared_ptr<const mail::MimeText> MailOut::Compose(const mail::OutgoingMessage& message) {
    if (!run_template_)
        return std::make_shared<const mail::MimeText>(mail::ComposeMimeText(message));
    if (!template_)
        template_ = std::make_unique<mail::MessageTemplate>(message);
    return std::make_shared<const mail::MimeText>(template_->Compose(message.to, message.body));
}

void MailOut::CountTimeOut(bool timed_out) {
    timeouts_in_a_row_ = timed_out ? timeouts_in_a_row_ + 1 : 0;
    if (timeouts_in_a_row_ < 3 || stopped)
        return;
    stopped = true;
    SetCancelled(true);
    const mail::MailSettings& ms = context_.mail_settings;
    const auto tenths = ms.deliver_timeout.count() / 100;
    const std::string seconds =
        std::to_string(tenths / 10) + (tenths % 10 != 0 ? "." + std::to_string(tenths % 10) : "");
    ui::MessageDlg("The SMTP server " + ms.smtp_host + ":" + std::to_string(ms.smtp_port) +
                       " did not answer within " + seconds +
                       " seconds, three times in a row, so the mail-out has stopped.  The "
                       "recipients not sent to yet are kept: at the next start you can send "
                       "the message to them.",
                   ui::mtWarning, {ui::mbOK});
}

bool MailOut::SMTPSend(std::string_view full_name, std::string_view first_name,
                       std::string_view address) {
    LogSendingHeader();
    LogLists(false);
    const mail::MailSettings& ms = context_.mail_settings;
    bool delivered = false;
    bool uncertain = false;  // the server may have the message
    std::string uncertain_why;
    std::string failure;  // the server's reply, or what else went wrong
    // Blind copies no message can carry, with the reason.
    std::vector<std::pair<std::string, std::string>> refused;
    try {
        mail::OutgoingMessage message;
        message.from = {ms.from_name, ms.from_address};
        message.to = Mailboxes(to_list);
        message.cc = Mailboxes(cc_list);
        // One malformed address, or one the server refuses, costs its member the
        // message, never the whole blind-copy batch.
        std::vector<std::string> batch;
        for (const std::string& a : bcc) {
            try {
                mail::CheckEnvelopeAddress(a);
                batch.push_back(a);
            } catch (const mail::EMailError& e) {
                refused.emplace_back(a, e.what());
            }
        }
        for (const std::string& path : attachments) {
            message.attachments.push_back({mail::FileNamePart(path), path, std::nullopt, ""});
            message.attachments.back().encoded = EncodedAttachment(path);
        }
        message.body = MessageBody(full_name, first_name, address);
        message.subject = subject;
        message.html = html;
        message.read_receipt = settings_.Acknowledge;
        // Blind copies are not in the text; the builder only wants to see one.
        message.bcc = Mailboxes(batch);
        const auto text = Compose(message);
        std::vector<std::string> extras;
        for (const auto* list : {&message.to, &message.cc})
            for (const mail::Mailbox& box : *list)
                extras.push_back(box.address);
        // A server with a limit of recipients per message (452) takes the rest
        // of the batch in further messages, each with the extra recipients.
        std::vector<std::vector<std::string>> parts{std::move(batch)};
        for (std::size_t p = 0; p < parts.size(); ++p) {
            std::vector<std::string> part = std::move(parts[p]);
            bool part_delivered = false;
            std::string reason;
            for (;;) {
                if (p > 0 && part.empty())
                    break;  // every member of this part was refused
                std::vector<std::string> envelope = extras;
                for (const mail::Mailbox& box : Mailboxes(part))
                    envelope.push_back(box.address);
                mail::SmtpResult result;
                try {
                    if (envelope.empty())
                        throw mail::EMailError("The message has no recipient");
                    result = SMTPDeliver(text, message.from.address, envelope);
                    CountTimeOut(result.status == mail::SmtpStatus::kTimedOut);
                } catch (const std::exception& e) {
                    // A later part that cannot go fails only its own members.
                    if (p == 0)
                        throw;
                    reason = e.what();
                    break;
                }
                part_delivered = result.ok();
                reason = result.reply.empty() ? result.text : result.reply;
                if (!part_delivered && result.may_have_arrived) {
                    // The server may have it: sent again, it could arrive twice.
                    uncertain = true;
                    uncertain_why =
                        result.status == mail::SmtpStatus::kTimedOut
                            ? "The server did not answer the end of the message in time"
                            : "The server closed the connection right after the message";
                    part_delivered = true;
                    break;
                }
                // The server refused a recipient before the message's data, so
                // nobody has it yet.
                const auto it = std::find(part.begin(), part.end(), result.recipient);
                if (part_delivered || result.recipient.empty() || it == part.end())
                    break;
                if (result.reply_code == 452 && it != part.begin()) {
                    std::vector<std::string> rest(it, part.end());
                    part.erase(it, part.end());
                    parts.push_back(std::move(rest));
                    continue;
                }
                if (result.status != mail::SmtpStatus::kRefused)
                    break;
                refused.emplace_back(*it, reason);
                part.erase(it);
                if (p == 0 && part.empty() && to_list.empty() && cc_list.empty())
                    break;
            }
            if (part_delivered) {
                delivered = true;
            } else if (p > 0) {
                // Its members missed the message the others got.
                for (const std::string& a : part)
                    refused.emplace_back(a, reason);
            } else {
                failure = reason;
                break;
            }
        }
    } catch (const std::exception& e) {
        delivered = false;
        failure = e.what();
    }
    // The members the message was for: the batch, else its To line.
    const std::string members = Joined(bcc.empty() ? to_list : bcc);
    Log("");
    // A message the server may have is no sure success: the send log counts it
    // a failure, and the program's log tells why it is not sent again.
    Log(delivered && !uncertain ? "SEND OK" : "SEND FAILURE");
    if (!delivered) {
        ShowSendError("SMTP Sendmail failed for " + members + ": " + failure);
    } else {
        if (uncertain)
            ProgramLog("SEND UNCERTAIN: " + members + ": " + uncertain_why +
                       ": it may have been delivered, and is not sent again");
        failed_count += static_cast<std::int64_t>(refused.size());
        for (const auto& [refused_address, reason] : refused)
            ShowSendError("SMTP Sendmail failed for " + refused_address + ": " + reason);
    }
    return delivered;
}

std::shared_ptr<const mail::EncodedAttachment> MailOut::EncodedAttachment(const std::string& path) {
    auto& encoded = encoded_attachments_[path];
    if (!encoded) {
        // A file that cannot be read fails this message and is tried again by the next.
        try {
            encoded = mail::EncodeAttachment({mail::FileNamePart(path), path, std::nullopt, ""});
        } catch (...) {
            encoded_attachments_.erase(path);
            throw;
        }
    }
    return encoded;
}

void MailOut::OpenSMTPServerDLL(const std::vector<std::string>& candidates) {
    try {
        relay_ =
            candidates.empty() ? mail::RelayLibrary::Open() : mail::RelayLibrary::Open(candidates);
    } catch (const mail::EMailError&) {
        throw mail::EMailError("Er");
    }
}

void MailOut::FreeSMTPServerDLL() {
    if (!relay_) {
        ui::ShowMessage("no dll");
        return;
    }
    relay_.reset();
}

bool MailOut::SMTPServerSend(std::string_view full_name, std::string_view first_name,
                             std::string_view address) {
    if (debug) {
        Log("");
        Log("");
        Log("Sending Message via Server:");
    }
    Log("To:");
    if (to_list.empty()) {
        ui::ShowMessage("Error: No Recipient!");
        return false;
    }
    Log("To:");
    Log(to_list.front());
    const mail::MailSettings& ms = context_.mail_settings;
    mail::RelayResult result{mail::kRelayFailed, "no dll"};
    if (relay_) {
        mail::RelayRequest request;
        request.dns_host = ms.dns_host;
        request.dns_timeout_ms = ms.dns_timeout_ms;
        request.from = {ms.from_name, ms.from_address};
        request.to = to_list.front();
        request.subject = subject;
        request.body_lines = BodyLines(MessageBody(full_name, first_name, address));
        request.html = html;
        request.attachments = attachments;
        // The call lasts as long as the look-up and the talk with the member's
        // own mail host, seconds or a minute for a slow one: it runs beside the
        // window, which keeps painting and its Cancel meanwhile.
        std::future<mail::RelayResult> call =
            std::async(std::launch::async,
                       [library = relay_.get(), &request] { return library->SendMail(request); });
        while (call.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready) {
            if (idle)
                idle();
        }
        result = call.get();
    }
    const bool undeliverable =
        result.code == mail::kRelayNoMailHost || result.code == mail::kRelayRefused;
    if (undeliverable && settings_.DNSProcessBounce && entries_ != nullptr)
        entries_->processbounce(to_list.front());
    // An undeliverable address is a failure of this message; the bounce above
    // already took it into account.
    const bool ok = result.code == mail::kRelaySent;
    return LogSendOutcome(ok, "SMTP Sendmail failed with the error: " + result.text);
}

std::int64_t MailOut::Button2Click() {
    if (!GetSalutationCheck(true))
        return -1;
    hide_send_errors = false;
    // Counted in letters: two accented ones are more than three bytes.
    const bool short_text = KeepLeftChars(text, 2).size() == text.size();
    if ((subject.empty() || short_text) &&
        ui::MessageDlg("You have not entered a subject or a message for this e-mail.  Are you "
                       "sure you want to continue?",
                       ui::mtConfirmation, ui::mbYesNo) != ui::mrYes)
        return -1;
    sendlog.clear();
    const EncodingsScope encodings(encoded_attachments_);
    const bool smtp = settings_.EmailMethod == kMethodSmtp;
    if (smtp && !SMTPConnect())
        return -1;
    SmtpScope connection(*this, smtp);
    if (!recipients_valid) {
        if (OnBuildRecipients)
            OnBuildRecipients();
        else
            BuildRecipients();
    }
    if (!recipients_valid) {
        ui::MessageDlg(
            "Your message could not be sent because your unique recipient list was not "
            "generated successfully!",
            ui::mtWarning, {ui::mbOK});
        return -1;
    }
    first_message_ = true;
    skip_all_ = false;
    failed_count = 0;
    stopped = false;
    timeouts_in_a_row_ = 0;
    // A test send's cancelled question is not this run's.
    message_cancelled_ = false;
    not_sent_ = 0;
    const TemplateScope prepared(template_, run_template_);
    const std::vector<std::string> saved_to = to_list;
    SetCancelled(false);
    strata::TStrataTable& t = database_.tblTemp();
    const std::int64_t total = t.RecordCount();
    std::int64_t processed = 0;
    const std::string& program_dir = database_.ProgramDir();
    if (!OpenRecords(std::exchange(resuming_, false)))
        return -1;
    struct Closer {
        MailOut& out;
        ~Closer() {
            out.journal_.Close();
            out.live_log_.Close();
        }
    } closer{*this};
    Log("Commencing send to " + std::to_string(total) + " recipients");
    std::string full_name, first_name, email;
    t.First();
    while (!t.Eof()) {
        email = t.FieldByName("Email")->AsString();
        full_name = t.FieldByName("Name")->AsString();
        first_name = t.FieldByName("Salutation")->AsString();
        if (OnProgress)
            OnProgress("Sending e-mail to " + email, processed + 1, total);
        // Tested before the row joins a message, so a cancelled row is never
        // sent nor counted; nor is a message sent that could not be recorded.
        if (Cancelled() || FailedRecord() != nullptr)
            break;
        // A member whose address the mail program cannot resolve is dropped
        // from the message and never gets it: a failure, not a recipient sent to.
        if (settings_.SendCount != 1) {
            const std::size_t before = bcc.size();
            AddAddress(bcc, email);
            if (bcc.size() == before) {
                ++failed_count;
                journal_.Done({email});
            } else {
                // As the list holds it: the batch may hold it resolved.
                batch_members_.push_back(email);
            }
            if (static_cast<std::int64_t>(bcc.size()) >= settings_.SendCount)
                SendCurrentMessage("", "", "");
        } else {
            to_list = saved_to;
            AddAddress(to_list, email);
            const bool dropped = to_list.size() == saved_to.size();
            if (SendCurrentMessage(full_name, first_name, email) && dropped)
                ++failed_count;
        }
        ++processed;
        t.Next();
    }
    if (!bcc.empty() && !stopped && FailedRecord() == nullptr)
        SendCurrentMessage("", "", "");
    const auto unsent = static_cast<std::int64_t>(bcc.size());
    const bool finished = t.Eof() && unsent == 0;
    bcc.clear();
    batch_members_.clear();
    to_list = saved_to;
    processed -= not_sent_;
    Log("");
    Log("Send to " + std::to_string(processed) + " recipients has been completed");
    connection.Release();
    journal_.Close();
    live_log_.Close();
    const LiveLog* failed = FailedRecord();
    // A run that ended, or that the user cancelled, leaves nothing to finish.
    const bool keep_journal = stopped || (failed != nullptr && !finished);
    if (!keep_journal && !program_dir.empty())
        DropMailOutJournal(program_dir);
    if (settings_.SendLog && program_dir.empty())
        SaveSendLog(program_dir);
    if (failed != nullptr) {
        std::string box =
            (keep_journal ? "The mail-out has stopped: " : "The mail-out has ended, but ") +
            failed->Path() + " could not be written (" + failed->Failure() + ").  " +
            std::to_string(processed - failed_count - unsent) +
            " recipients have been sent the message.";
        if (keep_journal)
            box +=
                "  The recipients not sent to yet are kept: at the next start you can send the "
                "message to them.";
        ui::MessageDlg(box, ui::mtError, {ui::mbOK});
        return processed;
    }
    if (stopped)
        return processed;
    if (debug)
        ui::ShowMessage(
            "Debug: The send log has been saved to 'SendLog.txt' in your Corvane directory.");
    ui::MessageDlg(CompletionText(settings_.EmailMethod, processed - failed_count, failed_count),
                   ui::mtInformation, {ui::mbOK});
    return processed;
}

const LiveLog* MailOut::FailedRecord() const {
    if (!journal_.File().Failure().empty())
        return &journal_.File();
    if (!live_log_.Failure().empty())
        return &live_log_;
    return nullptr;
}

bool MailOut::OpenRecords(bool resumed) {
    const std::string& program_dir = database_.ProgramDir();
    if (program_dir.empty())
        return true;
    // Written before the first message, so a killed run can be finished.
    try {
        if (resumed) {
            journal_.Continue(program_dir);
        } else {
            MailOutJournal run;
            run.subject = subject;
            run.text = text;
            run.html = html;
            run.personalise = personalise;
            run.send_count = settings_.SendCount;
            run.method = settings_.EmailMethod;
            run.attachments = attachments;
            run.to = to_list;
            run.cc = cc_list;
            strata::TStrataTable& t = database_.tblTemp();
            t.First();
            while (!t.Eof()) {
                run.members.push_back({t.FieldByName("Email")->AsString(),
                                       t.FieldByName("Name")->AsString(),
                                       t.FieldByName("Salutation")->AsString()});
                t.Next();
            }
            journal_.Begin(program_dir, run);
        }
    } catch (const std::exception& e) {
        ui::MessageDlg(e.what(), ui::mtError, {ui::mbOK});
        return false;
    }
    // A log that cannot be opened stops the run before its first message, as
    // one that cannot be written does.
    if (settings_.SendLog) {
        std::string path = program_dir;
        if (path.back() != '/')
            path += '/';
        if (live_log_.Open(path + "SendLog.txt", !resumed))
            for (const std::string& line : sendlog)
                live_log_.Line(line);
    }
    return true;
}

void MailOut::Resume(const MailOutJournal& journal) {
    subject = journal.subject;
    text = journal.text;
    html = journal.html;
    personalise = journal.personalise;
    attachments = journal.attachments;
    to_list = journal.to;
    cc_list = journal.cc;
    settings_.SendCount = journal.send_count;
    settings_.EmailMethod = journal.method;
    if (!ClearRecipients())
        return;
    for (const JournalMember& m : journal.Remaining())
        AddRecipientRow(m.email, m.name, m.salutation);
    recipients_valid = true;
    resuming_ = true;
}

bool MailOut::SendTestClick(std::string_view test_address) {
    hide_send_errors = false;
    if (!GetSalutationCheck(true))
        return false;
    const int method = settings_.EmailMethod;
    const EncodingsScope encodings(encoded_attachments_);
    // The test is told apart by this flag, never by the merge value.
    test_send_ = true;
    struct Reset {
        bool& flag;
        ~Reset() { flag = false; }
    } reset{test_send_};
    if (method != kMethodSmtp && method != kMethodRelay)
        return SendMail(kTestName, kTestName, kTestName);
    const bool smtp = method == kMethodSmtp;
    if (smtp && !SMTPConnect())
        return false;
    SmtpScope connection(*this, smtp);
    std::string address(test_address);
    if (address.empty() && OnAskTestAddress && !OnAskTestAddress(address))
        return false;
    if (address.empty())
        return false;
    const std::vector<std::string> saved_to = to_list;
    to_list.push_back(std::move(address));
    const bool ok = SendMail(kTestName, kTestName, kTestName);
    to_list = saved_to;
    connection.Release();
    ui::MessageDlg("Sending of your test message has completed!", ui::mtInformation, {ui::mbOK});
    return ok;
}

void MailOut::SaveSendLog(std::string_view program_dir) const {
    std::string contents;
    for (const std::string& line : sendlog)
        contents += line + "\r\n";
    std::string path(program_dir);
    if (!path.empty() && path.back() != '/')
        path += '/';
    path += "SendLog.txt";
    if (const std::error_code ec = platform::os::ReplaceFileContents(path, contents))
        ui::MessageDlg("The send log could not be saved to " + path + ": " + ec.message(),
                       ui::mtWarning, {ui::mbOK});
}

}  // namespace app
