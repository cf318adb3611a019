#pragma once

// The mail-out of one composed message to the unique recipients of the list:
// the recipients table, the merge fields, per-recipient or blind-copy batch
// sending, the stagger between messages, the send log and the five sending
// methods. The send dialog holds the controls; everything it decides lives
// here, so a run can be driven without widgets.

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "app/mail/mail_context.h"
#include "app/mail/mail_out_journal.h"
#include "platform/db/component.h"

namespace mail {
class MessageTemplate;
class MimeText;
class SmtpSession;
class RelayLibrary;
struct EncodedAttachment;
struct OutgoingMessage;
struct SmtpResult;
}  // namespace mail

namespace support {
class TEmail;
class TMapiControl;
}  // namespace support

namespace app {

class EntryProcessor;
class ListDatabase;
struct Settings;

// The longest address or attachment path a sender accepts.
inline constexpr std::size_t kMaxAddressLength = 255;

// True when the text holds any of the four merge fields (case-sensitive).
bool ContainsMergeField(std::string_view text);

// Replaces "%FULL_NAME%", "%SALUTATION%", "%DATE%" and "%EMAIL%" in one pass
// over the text, so a value that holds a field name stays as it is.
std::string MergeFields(std::string_view text, std::string_view full_name,
                        std::string_view first_name, std::string_view address,
                        std::string_view date);

// The text as it reads in an HTML page: markup characters become entities.
std::string HtmlText(std::string_view text);

// The completion box's text for the method.
std::string CompletionText(int method, std::int64_t sent, std::int64_t failed);

// What the user chose in the stagger countdown.
enum class StaggerAnswer { kContinue, kSkipAll, kCancel };

class MailOut {
  public:
    MailOut(Settings& settings, ListDatabase& database, MailContext& context,
            EntryProcessor* entries = nullptr);
    ~MailOut();
    MailOut(const MailOut&) = delete;
    MailOut& operator=(const MailOut&) = delete;

    // The message as composed.
    std::string subject;
    std::string text;  // the editor text
    bool html = false;
    bool personalise = false;  // chkDoAddSalutation
    std::vector<std::string> attachments;
    // The extra recipients every message carries.
    std::vector<std::string> to_list, cc_list;
    // The current blind-copy batch.
    std::vector<std::string> bcc;
    // The send log, one entry a line: per message "SEND OK" or "SEND FAILURE"
    // after an empty line, the recipients before it in debug mode only.
    std::vector<std::string> sendlog;
    bool debug = false;
    bool hide_send_errors = false;
    // False when a choice changed since the last build (btnrecalc enabled).
    bool recipients_valid = false;
    std::int64_t failed_count = 0;

    // Progress: caption, position, maximum (cancel allowed).
    std::function<void(std::string_view, std::int64_t, std::int64_t)> OnProgress;
    // A failed message's report (the send-error dialog); skipped when the
    // hide-send-errors flag is set.
    std::function<void(std::string_view)> OnSendError;
    // The stagger countdown; unassigned waits without asking.
    std::function<StaggerAnswer()> OnStagger;
    // Called while waiting for a server (the UI lets its queue run).
    std::function<void()> idle;
    // The Simple-MAPI components (tests hand in ones over a recording provider).
    std::function<db::ComponentPtr<support::TEmail>()> MakeEmail;
    std::function<db::ComponentPtr<support::TMapiControl>()> MakeMapiControl;

    // The send dialog's own `TEmail`: the second Simple-MAPI method sends,
    // resolves names and opens the address book through it, in the session
    // EmailLogon opened.
    support::TEmail& Email1();
    // With the second Simple-MAPI method, logs Email1 on for the dialog's
    // lifetime; "MAPI Logon failed" when that fails (each message then logs on
    // for itself).
    void EmailLogon();
    // Closes the session EmailLogon opened; "MAPI Logoff failed" when that fails.
    void EmailLogoff();

    // The recipients table from the (filtered) list table; false when
    // cancelled or failed.
    bool BuildRecipients();
    // The recipients table from typed lines; rejects collects what the
    // validator refused when check_validity is on.
    bool ProcessManual(const std::vector<std::string>& lines, bool check_validity,
                       std::vector<std::string>& rejects);
    std::int64_t RecipientCount();

    // Scans the text for merge fields when asked and, in batch mode with
    // fields, asks to switch to one message per recipient.
    bool GetSalutationCheck(bool scan);

    // The whole mail-out. An invalid recipients table is built once the
    // questions are answered and the server connected, through
    // OnBuildRecipients (the dialog's choice: list table or typed list) or,
    // unassigned, from the list table. Returns the number of recipients
    // processed, or -1 when it did not start.
    std::int64_t Button2Click();
    std::function<void()> OnBuildRecipients;
    // Sets up the mail-out a journal left unfinished: its message, and the
    // members it had not reached as the recipients. The next Button2Click sends
    // to them, goes on with the journal and adds to the send log.
    void Resume(const MailOutJournal& journal);
    // The last run stopped because the server kept timing out; its journal stays.
    bool stopped = false;
    // One test message. Methods 3 and 4 send it to test_address or, when that
    // is empty, to the address OnAskTestAddress answers once connected.
    bool SendTestClick(std::string_view test_address);
    std::function<bool(std::string&)> OnAskTestAddress;

    // The body as sent for the merge values.
    std::string MessageBody(std::string_view full_name, std::string_view first_name,
                            std::string_view address) const;
    // Dispatches to the configured sender.
    bool SendMail(std::string_view full_name, std::string_view first_name,
                  std::string_view address);

    // The address rule for the batch and the extra To list.
    void AddAddress(std::vector<std::string>& list, std::string_view typed);
    // The mail program's address book, preset with and written back to the
    // three lists; only with the second Simple-MAPI method (false otherwise,
    // and the lists stay as they are).
    bool AddressBook(std::vector<std::string>& to, std::vector<std::string>& cc,
                     std::vector<std::string>& blind);
    // The attachment rule: with the second Simple-MAPI method the chosen file
    // is made a full path and kept only when it exists; a path longer than
    // 255 characters is refused with a message. Appends what is kept.
    void AddAttachment(std::vector<std::string>& list, std::string_view chosen);

    bool MAPISend(std::string_view full_name, std::string_view first_name,
                  std::string_view address);
    bool MAPI2Send(std::string_view full_name, std::string_view first_name,
                   std::string_view address);
    bool OLESend(std::string_view full_name, std::string_view first_name, std::string_view address);
    bool SMTPSend(std::string_view full_name, std::string_view first_name,
                  std::string_view address);
    bool SMTPServerSend(std::string_view full_name, std::string_view first_name,
                        std::string_view address);

    bool SMTPConnect();
    // Connects the run's session again after the server ended it; logged like
    // the first connect, without a box.
    bool SMTPReconnect();
    void SMTPDisconnect();
    // Loads the relay module; throws when it or its entry is missing.
    void OpenSMTPServerDLL(const std::vector<std::string>& candidates = {});
    void FreeSMTPServerDLL();
    mail::RelayLibrary* relay() { return relay_.get(); }

    // Writes the send log to "SendLog.txt" in the program directory.
    void SaveSendLog(std::string_view program_dir) const;

  private:
    void Log(std::string_view line) {
        sendlog.emplace_back(line);
        live_log_.Line(line);
    }
    void LogLists(bool per_address);
    // The debug log's line before each message.
    void LogSendingHeader();
    // The send log's outcome of one message; a failure is also shown. Gives ok.
    bool LogSendOutcome(bool ok, std::string_view failure);
    // A send error's box, unless hidden, and its line in the program's log.
    void ShowSendError(std::string_view text);
    void ProgramLog(std::string_view line);
    // Begins (or goes on with) the journal and opens the send log; false, after
    // a box, when the journal cannot be written.
    bool OpenRecords(bool resumed);
    // The journal or send log a write failed on, else none.
    const LiveLog* FailedRecord() const;
    // One message over the run's connection, connected again when the server
    // ended it; throws when no connection can be had.
    mail::SmtpResult SMTPDeliver(const std::shared_ptr<const mail::MimeText>& text,
                                 const std::string& from,
                                 const std::vector<std::string>& recipients);
    // The message in MIME form: from the run's template during a mail-out.
    std::shared_ptr<const mail::MimeText> Compose(const mail::OutgoingMessage& message);
    // Counts a time-out in a row and stops the run at the third.
    void CountTimeOut(bool timed_out);
    // Sends the message being built; false (and counted as failed) when it did not go out.
    bool SendCurrentMessage(std::string_view full_name, std::string_view first_name,
                            std::string_view address);
    void StaggerWait();
    // An attachment's encoding, made at its first message of a run and shared
    // by the others: a large file is in memory once however many members get it.
    std::shared_ptr<const mail::EncodedAttachment> EncodedAttachment(const std::string& path);
    enum class RowResult { kAdded, kDuplicate, kRefused };
    RowResult AddRecipientRow(std::string_view email, std::string_view name,
                              std::string_view salutation);
    bool ClearRecipients();

    Settings& settings_;
    ListDatabase& database_;
    MailContext& context_;
    EntryProcessor* entries_;
    std::unique_ptr<mail::SmtpSession> smtp_;
    std::unique_ptr<mail::RelayLibrary> relay_;
    db::ComponentPtr<support::TEmail> email1_;
    std::map<std::string, std::shared_ptr<const mail::EncodedAttachment>> encoded_attachments_;
    std::unique_ptr<mail::MessageTemplate> template_;
    bool run_template_ = false;
    JournalWriter journal_;
    LiveLog live_log_;
    bool resuming_ = false;
    int timeouts_in_a_row_ = 0;
    std::vector<std::string> batch_members_;  // the batch's members as the list has them
    bool keep_pending_ = false;               // the last message never reached the server
    bool message_cancelled_ = false;          // the HTML question's Cancel: nothing sent
    std::int64_t not_sent_ = 0;               // the members of cancelled messages
    bool first_message_ = true;
    bool skip_all_ = false;
    bool test_send_ = false;
};

}  // namespace app
