#pragma once

// The check of a mail folder: each message of the list folder is read as an
// unsubscribe, subscribe or change-address request, a delivery failure or an
// out-of-office reply and applied to the list; messages of the members'
// folder that qualify are forwarded to the list. Messages are applied in
// batches: a handled message is marked read or moved to "Deleted Items", and
// its acknowledgement sent, only after its batch's list changes and statistics
// have been flushed; the journal of the batch lets the next run finish or undo
// the batch of a run that was interrupted, so nothing is applied, counted or
// acknowledged twice. Messages are applied in the order they arrived.

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "app/mail/request_journal.h"
#include "platform/db/date_time.h"

namespace mail {
class Folder;
class MailItem;
class MailStore;
}  // namespace mail

namespace app {

class EntryProcessor;
class Forwarder;
struct Settings;

// The subject without leading "RE:" and then "FWD:" prefixes (any case).
std::string StripReplyPrefixes(std::string_view subject);

// address when not empty, else name when it holds "@", else empty.
std::string GetAddress(std::string_view address, std::string_view name);

// The warning of a check that cannot reach the mail store or its root folder, followed by
// the cause; both go to the activity log as well.
void ShowRootFolderError(EntryProcessor& entries, std::string_view cause);
// Shows `warning` with the cause after it and logs them on one line.
void ShowMailStoreFailure(EntryProcessor& entries, std::string_view warning,
                          std::string_view cause);

// The text of the sender-retrieval error question.
std::string SenderRetrievalErrorText(std::string_view method_name, std::string_view suggested_name,
                                     bool unstable);

// Shows the sender-method question (Yes: true); always_show comes in as the
// setting and goes out as the dialog's check box.
using SenderMethodPrompt = std::function<bool(std::string_view text, bool& always_show)>;

// Asks whether to change the sender method after a failure to read a sender,
// while the settings still want the question and a prompt is set; Yes
// switches the method to new_method.
void AskSenderMethodChange(Settings& settings, const SenderMethodPrompt& prompt,
                           std::string_view method_name, std::string_view suggested_name,
                           int new_method, bool unstable);

// Told when a sender-retrieval method fails: its name, the method suggested
// instead (an empty name: none) with its number, and whether that one may be
// unstable.
using SenderRetrievalFailed = std::function<void(
    std::string_view method_name, std::string_view suggested_name, int new_method, bool unstable)>;

struct RetrievedSender {
    std::string name;
    std::string address;  // empty when none was found
    // Taken from the reply-recipients list (methods 1 and 3).
    bool from_reply_list = false;
};

// The sender of a mail by retrieval method 0 to 4: the sender's display name,
// the reply address (method 1 falls back on the reply-recipients list), that
// list, or the store's own sender field. Failures are told through `failed`.
RetrievedSender RetrieveSender(mail::MailItem& item, mail::MailStore& store, int method,
                               const SenderRetrievalFailed& failed);

// The fields of the message being processed.
struct MessageFields {
    // Line 0 is the subject without reply prefixes, then the body's lines.
    std::vector<std::string> Memo1;
    std::string edtsubject;
    db::TDateTime edtdate;
    std::string edtdate_text;
    std::string edtsender;
    std::string edtsendername;
    std::string edtemail;
    std::string edtname;
    std::string edtcategory;
    bool chkdoadd = false;
    // Its header marks it as an automatic reply, and it is no delivery report.
    bool automatic_reply = false;
    // A read receipt or another disposition notification.
    bool disposition_notification = false;
    // The subject's bytes, or the body's, did not decode in their charset; the first
    // subject_lines lines of Memo1 are the subject's.
    bool subject_undecodable = false;
    bool body_undecodable = false;
    std::size_t subject_lines = 1;
};

class ExtractEntries {
  public:
    // The journal of the batch of mails being applied (see RequestJournal), in the
    // program directory.
    static constexpr std::string_view kHandledFile = "handled.txt";
    // The mails of the list folder a check could not use (no sender, no address to
    // apply a request to): each got an errors-list line and is not read again.
    static constexpr std::string_view kSetAsideFile = "setaside.txt";

    ExtractEntries(EntryProcessor& entries, mail::MailStore& store, Forwarder* forwarder);

    bool chkScanListChanges = true;
    bool chkScanUserEmails = false;

    // Unset: never asked.
    SenderMethodPrompt OnPromptSenderMethodChange;
    // Progress (counted, total); the cancel flag is read after it.
    std::function<void(std::int64_t, std::int64_t)> OnProgress;
    std::function<bool()> Cancelled;

    // Runs the whole check once. Answers false when the folder could not be
    // reached (after its box).
    bool OpenBtnClick();

    // Processes the message in fields() as a list message; true when handled.
    bool processEntry(std::vector<std::string>& bounces);
    bool ParseListCommandLine(std::string_view line);

    MessageFields& fields() { return fields_; }
    // The requests handled by the last run.
    std::int64_t HandledCount() const { return handled_; }
    // Of the last run's mails: those applied (including bounces and mails let go), those
    // whose request was refused (an errors-list line tells why), and those set aside.
    std::int64_t AppliedCount() const { return applied_; }
    std::int64_t RefusedCount() const { return refused_; }
    std::int64_t SetAsideCount() const { return set_aside_; }
    // Why processEntry could not use the message (empty when it could, or when the
    // message is simply no request).
    const std::string& SetAsideReason() const { return set_aside_reason_; }

    void ShowSenderRetrievalError(std::string_view method_name, std::string_view suggested_name,
                                  int new_method, bool unstable);

  private:
    mail::Folder* OpenFolder(const std::string& name);
    void LoadMessage(mail::MailItem& item);
    void ReadSender(mail::MailItem& item);
    static void Release(mail::MailItem& item, bool mark_read);

    // A handled mail waiting for its batch to be saved.
    struct PendingMail {
        mail::MailItem* item;
        std::string key;
        std::string subject;
        bool forwarded;
        bool aside = false;  // stays in the folder, remembered as unusable
    };
    struct BatchCapture;
    // Counts a statistic: in the batch's counts while a check collects them, else in
    // the table at once.
    void CountStat(int kind, db::TDateTime when);
    // Saves the batch: records it, sets its statistics, flushes the tables, then lets
    // its mails go and sends its acknowledgements.
    void SaveBatch(RequestJournal& journal, BatchCapture& capture, std::vector<PendingMail>& mails);
    // Requires: the statistics table's lock held (SharedTableLock).
    void ApplyStats(const RequestJournal& journal);
    void FinishCommitted(RequestJournal& journal, const std::vector<PendingMail>& mails,
                         const std::function<void(std::string_view, std::string_view)>& send);
    void WriteJournalLines(RequestJournal& journal);
    // Undoes or finishes the batch a killed check left.
    void FinishJournal(RequestJournal& journal);
    std::map<std::string, mail::MailItem*> FindJournalMails(const RequestJournal& journal);
    bool ReleaseMail(mail::MailItem& item, const std::string& subject, bool forwarded);
    void RestoreRows(const std::vector<JournalRow>& rows);
    // Ends the request in the fields without applying it: log line, errors-list line.
    void RefuseRequest(std::string_view reason);
    // Gives a mail the check cannot use its errors-list line and log line.
    void SetAside(mail::MailItem& item, std::string_view reason);
    void LoadSetAside(const std::string& path);
    // Keeps in the file only the folder's keys still found (and other folders' keys).
    void PruneSetAside(const std::string& path, const std::string& folder,
                       const std::set<std::string>& seen);
    // Records the row a bounce of the address is about to change.
    void ImageBouncedRow(RequestJournal& journal, std::string_view address);
    struct FolderPass;
    struct MailOutcome;
    // Walks the folder from its oldest mail on; false when the walk stopped short.
    bool ReadFolder(mail::Folder& folder, FolderPass& pass);
    // One mail of the walk: batched, set aside, left in the folder, or held back as a
    // delivery failure.
    void ReadMail(mail::MailItem& item, FolderPass& pass, BatchCapture& capture);
    // Forwards the mail or applies its request.
    MailOutcome ApplyMail(mail::MailItem& item, FolderPass& pass);

    EntryProcessor& entries_;
    mail::MailStore& store_;
    Forwarder* forwarder_;
    MessageFields fields_;
    std::int64_t handled_ = 0;
    bool accepted_modify_ = false;
    bool collecting_ = false;
    bool last_refused_ = false;
    std::string set_aside_reason_;
    std::int64_t applied_ = 0;
    std::int64_t refused_ = 0;
    std::int64_t set_aside_ = 0;
    std::set<std::string> aside_keys_;
    std::map<std::int64_t, DayCounts> stat_deltas_;
    // Mails whose batch was saved but which the server would not let go (forwarded).
    std::vector<std::pair<std::string, bool>> unreleased_;
};

}  // namespace app
