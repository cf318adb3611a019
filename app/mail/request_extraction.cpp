#include "app/mail/request_extraction.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <ctime>
#include <exception>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <stdexcept>
#include <utility>

#include "app/list/entry_processing.h"
#include "app/list/entry_text.h"
#include "app/list/errors_list.h"
#include "app/list/list_database.h"
#include "app/list/name_routines.h"
#include "app/list/settings.h"
#include "app/list/word_split.h"
#include "app/mail/address_gathering.h"
#include "app/mail/forwarding.h"
#include "app/routines/text_routines.h"
#include "platform/db/conversions.h"
#include "platform/db/format_settings.h"
#include "platform/mail/mail_store.h"
#include "platform/nls/text.h"
#include "platform/os/whole_file.h"
#include "platform/ui/prompt.h"

namespace app {
namespace {

// The send time on the user's clock, as the program's own times and the mail program
// show it: the day of the statistics and the date in the comments are the user's.
db::TDateTime ToLocalDateTime(std::chrono::system_clock::time_point when) {
    using namespace std::chrono;
    const auto ms = duration_cast<milliseconds>(when.time_since_epoch()).count();
    const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
    std::tm local{};
    const long offset = localtime_r(&seconds, &local) != nullptr ? local.tm_gmtoff : 0;
    // 25569 days lie between 1899-12-30 and 1970-01-01.
    return db::TDateTime(25569.0 + static_cast<double>(ms + offset * 1000LL) / 86'400'000.0);
}

// The text as the lines of a plain-text edit: CR LF, LF and CR alone each end a line.
// Other control characters stay, so that a request whose category holds one is refused
// rather than applied with a text its sender did not write.
std::vector<std::string> TextLines(std::string_view text) {
    std::vector<std::string> lines;
    std::string line;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\r' || c == '\n') {
            lines.push_back(std::move(line));
            line.clear();
            if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
                ++i;
        } else {
            line += c;
        }
    }
    if (!line.empty())
        lines.push_back(std::move(line));
    return lines;
}

// The text on one line: each control character becomes a blank.
std::string OneLine(std::string_view text) {
    std::string out = platform::nls::OneLineText(text);
    std::replace(out.begin(), out.end(), '\t', ' ');
    return out;
}

// A message by its folder and id, with its subject and send time: an id alone could
// name another message after the folder was made anew. (The store's own id names the
// server's port, which may change.)
std::string HandledKey(mail::MailItem& item, std::string_view folder, std::string_view subject) {
    std::string key =
        OneLine(std::string(folder) + " " + item.EntryId() + " " + std::string(subject));
    if (const auto sent = item.SentOn())
        key +=
            " " +
            std::to_string(
                std::chrono::duration_cast<std::chrono::seconds>(sent->time_since_epoch()).count());
    return key;
}

bool InList(const OptionList& list, std::string_view upper_word) {
    for (const std::string& entry : list) {
        if (UpperCase(entry) == upper_word)
            return true;
    }
    return false;
}

// A header line of a delivery report or of the failed message it returns that names
// the failed message's sender ("From:", "Return-Path:", "X-Postfix-Sender:", the
// "envelope-from" of a "Received:" line) or the message itself ("Message-ID:",
// "References:"): the sender's own address did not fail, and counted it would bounce
// the list's owner off the list for every member whose mail failed; a message id only
// looks like an address.
bool NamesTheSender(std::string_view line) {
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos || colon == 0)
        return false;
    const std::string name = LowerCase(line.substr(0, colon));
    if (name.find_first_of(" \t") != std::string::npos)
        return false;
    return name == "from" || name == "sender" || name.ends_with("-sender") ||
           name.ends_with("-from") || name == "return-path" || name == "reply-to" ||
           name == "errors-to" || name == "received" || name.ends_with("message-id") ||
           name == "in-reply-to" || name == "references";
}

// The lines of a delivery report in which failed addresses are looked for: header
// lines that name the sender are left out with their folded continuation lines.
std::vector<std::string> BounceScanLines(const std::vector<std::string>& memo) {
    std::vector<std::string> lines;
    bool left_out = false;
    for (const std::string& line : memo) {
        const bool continued = !line.empty() && (line.front() == ' ' || line.front() == '\t');
        if (continued && left_out)
            continue;
        left_out = NamesTheSender(line);
        if (!left_out)
            lines.push_back(line);
    }
    return lines;
}

}  // namespace

std::string StripReplyPrefixes(std::string_view subject) {
    std::string text = Trim(subject);
    while (UpperCase(text.substr(0, 3)) == "RE:")
        text = Trim(std::string_view(text).substr(3));
    while (UpperCase(text.substr(0, 4)) == "FWD:")
        text = Trim(std::string_view(text).substr(4));
    return text;
}

std::string GetAddress(std::string_view address, std::string_view name) {
    if (!address.empty())
        return std::string(address);
    if (name.find('@') != std::string_view::npos)
        return std::string(name);
    return {};
}

std::string SenderRetrievalErrorText(std::string_view method_name, std::string_view suggested_name,
                                     bool unstable) {
    std::string text =
        "An error was encountered retrieving the sender address of an e-mail.\r\n\r\nThis is "
        "probably due to a malformed e-mail, however it may be because the " +
        std::string(method_name) +
        " Method is not supported on your system (see Advanced Options).\r\n\r\nIf this problem "
        "occurs with every message you should ";
    text += suggested_name.empty() ? std::string("disable retrieval of the sender address")
                                   : "change to the " + std::string(suggested_name) +
                                         " method for retrieval of the sender address";
    text += ".";
    if (unstable)
        text += "  NOTE: May be unstable!\r\n\r\n";
    text += "  Do you want to change to this method now?";
    return text;
}

RetrievedSender RetrieveSender(mail::MailItem& item, mail::MailStore& store, int method,
                               const SenderRetrievalFailed& failed) {
    RetrievedSender found;
    const auto fail = [&](std::string_view method_name, std::string_view suggested_name,
                          int new_method, bool unstable) {
        found = {};
        if (failed)
            failed(method_name, suggested_name, new_method, unstable);
    };
    const auto by_reply_recipients = [&] {
        try {
            const std::vector<mail::Mailbox> list = item.ReplyToList();
            if (!list.empty()) {
                found = {list.front().name, GetAddress(list.front().address, list.front().name),
                         true};
            }
        } catch (const std::exception&) {
            if (method == 1)
                fail("ReplyRecipients", "Reply Method", 2, false);
            else
                fail("ReplyRecipients", "MAPI retrieval", 4, true);
        }
    };
    switch (method) {
        case 0:
            try {
                const std::string name = item.SenderDisplayName();
                found = {name, GetAddress("", name)};
            } catch (const std::exception&) {
                // Without a retrieval method there is nothing to change to.
                found = {};
            }
            break;
        case 1:
        case 2:
            try {
                const mail::Mailbox reply = item.ReplyAddress();
                found = {reply.name, GetAddress(reply.address, reply.name)};
            } catch (const std::exception&) {
                fail("Reply Method", "ReplyRecipients", 3, false);
            }
            if (method == 1 && found.address.empty())
                by_reply_recipients();
            break;
        case 3:
            by_reply_recipients();
            break;
        case 4:
            try {
                mail::MailItem& message = store.GetMessage(item.EntryId(), item.StoreId());
                const mail::Mailbox sender = message.SenderAddress();
                found = {sender.name, GetAddress(sender.address, sender.name)};
            } catch (const std::exception&) {
                fail("MAPI retrieval", "", 0, false);
            }
            break;
        default:
            break;
    }
    return found;
}

ExtractEntries::ExtractEntries(EntryProcessor& entries, mail::MailStore& store,
                               Forwarder* forwarder)
    : entries_(entries), store_(store), forwarder_(forwarder) {}

void AskSenderMethodChange(Settings& settings, const SenderMethodPrompt& prompt,
                           std::string_view method_name, std::string_view suggested_name,
                           int new_method, bool unstable) {
    if (!settings.AlwaysShowSenderError || !prompt)
        return;
    bool always_show = settings.AlwaysShowSenderError;
    const bool change =
        prompt(SenderRetrievalErrorText(method_name, suggested_name, unstable), always_show);
    settings.AlwaysShowSenderError = always_show;
    if (change)
        settings.GetSenderMethod = new_method;
}

void ExtractEntries::ShowSenderRetrievalError(std::string_view method_name,
                                              std::string_view suggested_name, int new_method,
                                              bool unstable) {
    AskSenderMethodChange(entries_.settings(), OnPromptSenderMethodChange, method_name,
                          suggested_name, new_method, unstable);
}

void ExtractEntries::ReadSender(mail::MailItem& item) {
    RetrievedSender sender = RetrieveSender(
        item, store_, entries_.settings().GetSenderMethod,
        [this](std::string_view method_name, std::string_view suggested_name, int new_method,
               bool unstable) {
            ShowSenderRetrievalError(method_name, suggested_name, new_method, unstable);
        });
    fields_.edtsender = OneLine(sender.address);
    // Kept as written: a request refuses a name with a control character.
    fields_.edtsendername = sender.name;
}

void ExtractEntries::LoadMessage(mail::MailItem& item) {
    fields_.Memo1 = TextLines(item.PlainBody());
    // A subject that decodes to several lines gives the memo as many lines, as the
    // body's lines do; the subject kept for the log and forwards stays on one line.
    const std::string subject = item.Subject();
    std::vector<std::string> subject_lines = TextLines(StripReplyPrefixes(subject));
    if (subject_lines.empty())
        subject_lines.emplace_back();
    fields_.Memo1.insert(fields_.Memo1.begin(), subject_lines.begin(), subject_lines.end());
    fields_.subject_lines = subject_lines.size();
    fields_.subject_undecodable = item.SubjectUndecodable();
    fields_.body_undecodable = item.BodyUndecodable();
    fields_.edtsubject = OneLine(subject);
    const auto sent = item.SentOn();
    fields_.edtdate = sent ? ToLocalDateTime(*sent) : db::Now();
    fields_.edtdate_text = db::DateTimeToStr(fields_.edtdate, db::FormatSettings());
    fields_.automatic_reply = item.IsAutomaticReply();
    fields_.disposition_notification = item.IsDispositionNotification();
    ReadSender(item);
    if (entries_.settings().allowfromaddressasentry) {
        fields_.edtemail = fields_.edtsender;
        fields_.edtname = fields_.edtsendername;
    } else {
        fields_.edtemail.clear();
        fields_.edtname.clear();
    }
}

void ShowMailStoreFailure(EntryProcessor& entries, std::string_view warning,
                          std::string_view cause) {
    const std::string text(warning);
    entries.AddToLog(cause.empty() ? text : text + " " + std::string(cause));
    ui::MessageDlg(cause.empty() ? text : text + "\r\n\r\n" + std::string(cause), ui::mtWarning,
                   {ui::mbOK});
}

void ShowRootFolderError(EntryProcessor& entries, std::string_view cause) {
    ShowMailStoreFailure(
        entries,
        "Error accessing your Outlook Root Folder.  You may need to amend your settings under "
        "'File|Options, Advanced...'",
        cause);
}

mail::Folder* ExtractEntries::OpenFolder(const std::string& name) {
    const Settings& s = entries_.settings();
    mail::Folder* root = nullptr;
    try {
        root = s.RootFolder == "<Root>" ? &store_.Root(1) : &store_.Root(s.RootFolder);
    } catch (const std::exception& e) {
        ShowRootFolderError(entries_, e.what());
        return nullptr;
    }
    if (mail::Folder* folder = root->FindFolder(name))
        return folder;
    if (ui::MessageDlg("The folder, " + name + ", cannot be found.  Would you like to create it?",
                       ui::mtConfirmation, ui::mbYesNo) != ui::mrYes)
        return nullptr;
    try {
        return &root->AddFolder(name);
    } catch (const std::exception&) {
        ui::MessageDlg("The folder, " + name + ", could not be created!", ui::mtWarning,
                       {ui::mbOK});
        return nullptr;
    }
}

namespace {

// Mails applied between two saves of the tables: a batch costs a few syncs, however
// many mails it holds, and a killed check repeats at most one batch's work.
constexpr std::size_t kBatchMails = 100;

std::int64_t DayNumber(db::TDateTime when) {
    return static_cast<std::int64_t>(db::DateOf(when).Value);
}

std::optional<DayCounts> ToCounts(const std::optional<std::array<std::int32_t, 3>>& counts) {
    if (!counts)
        return std::nullopt;
    return DayCounts{(*counts)[0], (*counts)[1], (*counts)[2]};
}

std::optional<std::array<std::int32_t, 3>> ToArray(const std::optional<DayCounts>& counts) {
    if (!counts)
        return std::nullopt;
    return std::array<std::int32_t, 3>{counts->subscribes, counts->unsubscribes, counts->bounces};
}

std::int64_t FileSize(const std::string& path) {
    std::error_code error;
    const auto size = std::filesystem::file_size(path, error);
    return error ? 0 : static_cast<std::int64_t>(size);
}

// A file cut back to the size it had before lines that may have been appended in
// part are appended again.
void CutBackTo(const std::string& path, std::int64_t size) {
    std::error_code error;
    if (FileSize(path) > size)
        std::filesystem::resize_file(path, static_cast<std::uintmax_t>(size), error);
}

}  // namespace

// What a batch collects while its mails are applied: the acknowledgements and log
// lines wait until the changes they tell of are saved.
struct ExtractEntries::BatchCapture {
    explicit BatchCapture(ExtractEntries& owner) : run(owner) {
        EntryProcessor& entries = run.entries_;
        send = entries.OnSendAcknowledgement;
        if (send) {
            entries.OnSendAcknowledgement = [this](std::string_view a, std::string_view s) {
                acks.emplace_back(a, s);
            };
        }
        entries.OnLogLine = [this](std::string_view line) { logs.emplace_back(line); };
        errors_first = run.entries_.errors().Lines().size();
        run.collecting_ = true;
    }
    ~BatchCapture() {
        run.entries_.OnSendAcknowledgement = send;
        run.entries_.OnLogLine = nullptr;
        run.collecting_ = false;
        run.stat_deltas_.clear();
    }
    BatchCapture(const BatchCapture&) = delete;
    BatchCapture& operator=(const BatchCapture&) = delete;

    void Clear() {
        acks.clear();
        logs.clear();
        errors_first = run.entries_.errors().Lines().size();
        run.stat_deltas_.clear();
    }

    ExtractEntries& run;
    std::function<void(std::string_view, std::string_view)> send;
    std::vector<std::pair<std::string, std::string>> acks;
    std::vector<std::string> logs;
    std::size_t errors_first = 0;
};

void ExtractEntries::CountStat(int kind, db::TDateTime when) {
    if (!collecting_) {
        entries_.database().AddStatRecord(kind, when);
        return;
    }
    DayCounts& counts = stat_deltas_[DayNumber(when)];
    if (kind == kStatSubscribe)
        ++counts.subscribes;
    else if (kind == kStatUnsubscribe)
        ++counts.unsubscribes;
    else if (kind == kStatBounce)
        ++counts.bounces;
}

void ExtractEntries::RestoreRows(const std::vector<JournalRow>& rows) {
    strata::TStrataTable& t = entries_.database().tblCV();
    SharedTableLock lock(t);
    for (const JournalRow& row : rows) {
        try {
            if (t.Locate("Index", db::Variant(row.index), {})) {
                t.Edit();
            } else {
                t.Append();
                t.FieldByName("Item")->SetAsString(row.item);
                t.FieldByName("Category")->SetAsString(row.category);
                t.FieldByName("Comments")->SetAsString(row.comments);
                t.FieldByName("Name")->SetAsString(row.name);
                t.FieldByName("Salutation")->SetAsString(row.salutation);
                t.FieldByName("SendRights")->SetAsBoolean(row.send_rights);
            }
            t.FieldByName("Bounces")->SetAsInteger(row.bounces);
            t.Post();
        } catch (...) {
            if (t.State() != db::dsBrowse)
                t.Cancel();
            throw;
        }
    }
}

void ExtractEntries::ImageBouncedRow(RequestJournal& journal, std::string_view address_in) {
    std::string address(address_in);
    std::string name;
    SMTPAddressToEmailName(address, name);
    try {
        if (!entries_.LocateEmailAddress(address))
            return;
    } catch (const std::exception&) {
        return;  // an address the table cannot look for changes no row
    }
    strata::TStrataTable& t = entries_.database().tblCV();
    JournalRow row;
    row.index = t.FieldByName("Index")->AsInteger();
    if (journal.HasRow(row.index))
        return;
    db::TField* bounces = t.FieldByName("Bounces");
    row.bounces = bounces->IsNull() ? 0 : bounces->AsInteger();
    row.item = t.FieldByName("Item")->AsString();
    row.category = t.FieldByName("Category")->AsString();
    row.comments = t.FieldByName("Comments")->AsString();
    row.name = t.FieldByName("Name")->AsString();
    row.salutation = t.FieldByName("Salutation")->AsString();
    db::TField* rights = t.FieldByName("SendRights");
    row.send_rights = !rights->IsNull() && rights->AsBoolean();
    journal.AddRow(row);
}

std::map<std::string, mail::MailItem*> ExtractEntries::FindJournalMails(
    const RequestJournal& journal) {
    std::map<std::string, mail::MailItem*> found;
    const Settings& s = entries_.settings();
    mail::Folder* root = nullptr;
    try {
        root = s.RootFolder == "<Root>" ? &store_.Root(1) : &store_.Root(s.RootFolder);
    } catch (const std::exception&) {
        return found;
    }
    for (const std::string& name : {s.ListFolder(), s.UserSendingFolder}) {
        mail::Folder* folder = name.empty() ? nullptr : root->FindFolder(name);
        if (folder == nullptr)
            continue;
        bool named = false;
        for (const std::string& key : journal.Keys())
            named = named || key.starts_with(OneLine(name) + " ");
        if (!named)
            continue;
        folder->Refresh();
        for (std::size_t i = 1; i <= folder->ItemCount() && found.size() < journal.Keys().size();
             ++i) {
            mail::MailItem& item = folder->Item(i);
            try {
                const std::string key = HandledKey(item, name, OneLine(item.Subject()));
                if (journal.Contains(key))
                    found.emplace(key, &item);
            } catch (const std::exception&) {
                // A mail that cannot be read is no mail of the journal's.
            }
        }
    }
    return found;
}

bool ExtractEntries::ReleaseMail(mail::MailItem& item, const std::string& subject, bool forwarded) {
    try {
        if (forwarded && forwarder_ != nullptr)
            forwarder_->Released(item);
        Release(item, entries_.settings().ProcessAsUnread);
        return true;
    } catch (const std::exception& e) {
        entries_.AddToLog("Error processing the message, " + subject + ": " + e.what());
        return false;
    }
}

void ExtractEntries::FinishCommitted(
    RequestJournal& journal, const std::vector<PendingMail>& mails,
    const std::function<void(std::string_view, std::string_view)>& send) {
    // What happens from here on is told at once: the batch's changes are saved.
    struct LogDirect {
        EntryProcessor& entries;
        std::function<void(std::string_view)> kept = std::exchange(entries.OnLogLine, nullptr);
        ~LogDirect() { entries.OnLogLine = std::move(kept); }
    } direct{entries_};
    for (const PendingMail& mail : mails) {
        if (!mail.aside && !ReleaseMail(*mail.item, mail.subject, mail.forwarded))
            unreleased_.emplace_back(mail.key, mail.forwarded);
    }
    try {
        store_.Backend().SyncChanges();
    } catch (const std::exception& e) {
        entries_.AddToLog(e.what());
    }
    if (!journal.AsideKeys().empty()) {
        std::string lines;
        for (const std::string& key : journal.AsideKeys()) {
            aside_keys_.insert(key);
            lines += key + "\n";
        }
        const std::string path = entries_.database().ProgramDir() + std::string(kSetAsideFile);
        if (platform::os::AppendToFile(path, lines))
            entries_.AddToLog("The mails set aside cannot be recorded in " + path);
    }
    for (const JournalAck& ack : journal.Acks()) {
        if (ack.sent || !send)
            continue;
        send(ack.address, ack.sentence);
        journal.AckSent(ack.number);
    }
    WriteJournalLines(journal);
    journal.Finish();
}

void ExtractEntries::WriteJournalLines(RequestJournal& journal) {
    if (journal.LinesWritten() || (journal.LogLines().empty() && journal.ErrorLines().empty()))
        return;
    const std::string log = entries_.LogPath();
    const std::string errors = entries_.database().ProgramDir() + std::string(kErrorsFile);
    if (const auto started = journal.LinesStarted()) {
        CutBackTo(log, started->first);
        CutBackTo(errors, started->second);
    } else {
        journal.LinesStarting(FileSize(log), FileSize(errors));
    }
    try {
        entries_.WriteLogLines(journal.LogLines());
    } catch (const std::exception&) {
        // The log is a record of what happened, never a reason for a check to fail.
    }
    if (!journal.ErrorLines().empty()) {
        ErrorsList lines;
        lines.SetLines(journal.ErrorLines());
        try {
            lines.AppendToFile(errors, 0);
        } catch (const std::exception& e) {
            entries_.AddToLog(e.what());
        }
    }
    journal.LinesDone();
}

void ExtractEntries::SaveBatch(RequestJournal& journal, BatchCapture& capture,
                               std::vector<PendingMail>& mails) {
    if (mails.empty() && stat_deltas_.empty() && journal.Empty()) {
        // Nothing to save: what the mails left in the folder caused is told at once.
        try {
            entries_.WriteLogLines(capture.logs);
        } catch (const std::exception&) {
            // The log is a record of what happened, never a reason for a check to fail.
        }
        try {
            entries_.errors().AppendToFile(
                entries_.database().ProgramDir() + std::string(kErrorsFile), capture.errors_first);
        } catch (const std::exception& e) {
            entries_.AddToLog(e.what());
        }
        capture.Clear();
        return;
    }
    ListDatabase& database = entries_.database();
    for (const PendingMail& mail : mails) {
        if (mail.aside)
            journal.AddAside(mail.key);
        else
            journal.AddMail(mail.key, mail.forwarded);
    }
    for (const auto& [address, sentence] : capture.acks)
        journal.AddAck(address, sentence);
    for (const std::string& line : capture.logs)
        journal.AddLogLine(line);
    const auto& error_lines = entries_.errors().Lines();
    for (std::size_t i = capture.errors_first; i < error_lines.size(); ++i)
        journal.AddErrorLine(error_lines[i]);
    {
        SharedTableLock lock(database.tblStats());
        for (const auto& [day, delta] : stat_deltas_) {
            JournalStat stat;
            stat.day = day;
            stat.before = ToCounts(database.StatRecord(db::TDateTime(static_cast<double>(day))));
            const DayCounts base = stat.before.value_or(DayCounts{});
            stat.after = {base.subscribes + delta.subscribes,
                          base.unsubscribes + delta.unsubscribes, base.bounces + delta.bounces};
            journal.AddStat(stat);
        }
        journal.Prepare();
        ApplyStats(journal);
    }
    const bool held = database.EndHeldChanges();
    database.SaveDatabase();
    journal.Commit();
    FinishCommitted(journal, mails, capture.send);
    mails.clear();
    capture.Clear();
    if (held)
        database.HoldChanges();
}

void ExtractEntries::ApplyStats(const RequestJournal& journal) {
    for (const JournalStat& stat : journal.Stats()) {
        entries_.database().SetStatRecord(db::TDateTime(static_cast<double>(stat.day)),
                                          ToArray(stat.after));
    }
}

void ExtractEntries::FinishJournal(RequestJournal& journal) {
    if (journal.Empty() && journal.Acks().empty())
        return;
    ListDatabase& database = entries_.database();
    if (!journal.Prepared()) {
        // Nothing of the batch was saved but the bounces it counted in rows.
        RestoreRows(journal.Rows());
        database.SaveDatabase();
        journal.Finish();
        return;
    }
    std::map<std::string, mail::MailItem*> found = FindJournalMails(journal);
    if (!journal.Committed()) {
        // The batch again, to the rows and counts it led to; its acknowledgements,
        // lines and statistics are the recorded ones.
        RestoreRows(journal.Rows());
        const std::size_t errors_before = entries_.errors().Lines().size();
        {
            BatchCapture discard(*this);
            std::vector<std::string> bounces;
            for (const std::string& key : journal.Keys()) {
                const auto it = found.find(key);
                if (it == found.end() || journal.Forwarded(key))
                    continue;
                try {
                    LoadMessage(*it->second);
                    processEntry(bounces);
                } catch (const std::exception&) {
                    // It failed the same way when the batch was first applied.
                }
            }
            for (const std::string& address : journal.BounceAddresses())
                entries_.processbounce(address);
        }
        std::vector<std::string> lines = entries_.errors().Lines();
        lines.resize(errors_before);
        entries_.errors().SetLines(std::move(lines));
        {
            SharedTableLock lock(database.tblStats());
            ApplyStats(journal);
        }
        database.SaveDatabase();
        journal.Commit();
    }
    if (!journal.LinesWritten()) {
        std::vector<std::string> lines = entries_.errors().Lines();
        lines.insert(lines.end(), journal.ErrorLines().begin(), journal.ErrorLines().end());
        entries_.errors().SetLines(std::move(lines));
    }
    std::vector<PendingMail> mails;
    for (const auto& [key, item] : found)
        mails.push_back({item, key, OneLine(item->Subject()), journal.Forwarded(key)});
    FinishCommitted(journal, mails, entries_.OnSendAcknowledgement);
}

// What one walk over a folder carries from mail to mail: the set-aside keys it
// saw, the batch being filled, and the delivery failures held back until the
// walk ends.
struct ExtractEntries::FolderPass {
    FolderPass(RequestJournal& journal_in, const std::string& name_in)
        : journal(journal_in), name(name_in) {}

    RequestJournal& journal;
    const std::string& name;
    std::string aside_prefix;
    std::string aside_method;
    std::set<std::string> aside_seen;
    bool mark_read = false;
    std::int64_t total = 0;
    std::int64_t counted = 0;
    std::vector<PendingMail> batch;
    std::vector<std::string> bounces;
    std::size_t bounce_count = 0;
    std::vector<PendingMail> bounce_mails;
    std::map<std::int64_t, DayCounts> bounce_deltas;
};

struct ExtractEntries::MailOutcome {
    bool handled = false;
    bool forwarded = false;
    std::string key;
    // Why the mail cannot be used, when it is set aside.
    std::string unusable;
};

bool ExtractEntries::OpenBtnClick() {
    Settings& s = entries_.settings();
    handled_ = 0;
    unreleased_.clear();
    // Members removed since the last run get no more forwards.
    if (forwarder_ != nullptr)
        forwarder_->ClearCache();
    const std::string name = chkScanListChanges ? s.ListFolder() : s.UserSendingFolder;
    mail::Folder* folder = OpenFolder(name);
    if (folder == nullptr)
        return false;
    mail::StoreBackend& backend = store_.Backend();
    struct SyncsDeferred {
        mail::StoreBackend& backend;
        ~SyncsDeferred() {
            try {
                backend.DeferSyncs(false);
            } catch (const std::exception&) {
                // Each batch synced its own moves; nothing is left to report.
            }
        }
    } deferred{backend};
    backend.DeferSyncs(true);
    RequestJournal journal(entries_.database().ProgramDir() + std::string(kHandledFile));
    FinishJournal(journal);

    applied_ = refused_ = set_aside_ = 0;
    const std::string aside_path = entries_.database().ProgramDir() + std::string(kSetAsideFile);
    LoadSetAside(aside_path);
    FolderPass pass(journal, name);
    pass.aside_prefix = OneLine(name) + " ";
    pass.aside_method = std::to_string(s.GetSenderMethod) + (s.allowfromaddressasentry ? "" : "-");
    if (ReadFolder(*folder, pass))
        PruneSetAside(aside_path, pass.aside_prefix, pass.aside_seen);
    // The summary of a check of requests; a check of members' posts logs each forward.
    if (chkScanListChanges) {
        entries_.AddToLog("Check of the folder " + name + ": " + std::to_string(applied_) +
                          " mails applied, " + std::to_string(refused_) + " refused, " +
                          std::to_string(set_aside_) + " set aside");
    }
    // Mails the server would not let go are kept as saved, so no later check applies
    // them again.
    if (!unreleased_.empty()) {
        for (const auto& [key, forwarded] : unreleased_)
            journal.AddMail(key, forwarded);
        journal.Prepare();
        journal.Commit();
    }
    return true;
}

bool ExtractEntries::ReadFolder(mail::Folder& folder, FolderPass& pass) {
    const Settings& s = entries_.settings();
    bool whole_folder = true;
    folder.Refresh();
    pass.mark_read = s.ProcessAsUnread;
    const std::int64_t count = static_cast<std::int64_t>(folder.ItemCount());
    pass.total = pass.mark_read ? static_cast<std::int64_t>(folder.UnreadCount()) : count;
    std::int64_t n = count;
    if (s.ChokeDownload > 1 && s.ChokeDownload < count) {
        n = s.ChokeDownload;
        whole_folder = false;
    }
    BatchCapture capture(*this);
    // A batch's changes reach the disk only with its journal's save.
    struct HeldChanges {
        ListDatabase& database;
        explicit HeldChanges(ListDatabase& db) : database(db) { database.HoldChanges(); }
        ~HeldChanges() {
            try {
                database.EndHeldChanges();
            } catch (const std::exception&) {
                // What could not be written fails the next save, which says so.
            }
        }
        HeldChanges(const HeldChanges&) = delete;
        HeldChanges& operator=(const HeldChanges&) = delete;
    } held(entries_.database());
    // Oldest first, so that two requests of one sender end as the later one asks. The
    // folder's item numbers come from the snapshot taken above, so moving a handled
    // mail away renumbers nothing ahead of the walk.
    for (std::int64_t i = 1; i <= n; ++i) {
        if (Cancelled && Cancelled()) {
            whole_folder = false;
            break;
        }
        ReadMail(folder.Item(static_cast<std::size_t>(i)), pass, capture);
    }
    SaveBatch(pass.journal, capture, pass.batch);
    if (!pass.bounce_mails.empty()) {
        stat_deltas_ = pass.bounce_deltas;
        for (const std::string& address : pass.bounces) {
            pass.journal.AddBounceAddress(address);
            ImageBouncedRow(pass.journal, address);
            entries_.processbounce(address);
        }
        SaveBatch(pass.journal, capture, pass.bounce_mails);
    }
    return whole_folder;
}

void ExtractEntries::ReadMail(mail::MailItem& item, FolderPass& pass, BatchCapture& capture) {
    if (item.Removed())
        return;
    if (pass.mark_read && !item.Unread())
        return;
    // A mail set aside before is not read again while the sender is read the same
    // way: another method may find the sender it lacked.
    const std::string aside_key = pass.aside_prefix + item.EntryId() + " " + pass.aside_method;
    if (aside_keys_.count(aside_key) != 0) {
        pass.aside_seen.insert(aside_key);
        return;
    }
    ++pass.counted;
    // An empty folder count is no reason to divide by zero.
    if (OnProgress)
        OnProgress(pass.counted, pass.total > 0 ? pass.total : pass.counted);
    const auto stats_before = stat_deltas_;
    const MailOutcome outcome = ApplyMail(item, pass);
    if (!outcome.handled && !outcome.unusable.empty()) {
        ++set_aside_;
        SetAside(item, outcome.unusable);
        pass.batch.push_back({&item, aside_key, fields_.edtsubject, false, true});
        pass.aside_seen.insert(aside_key);
        if (pass.batch.size() >= kBatchMails)
            SaveBatch(pass.journal, capture, pass.batch);
        return;
    }
    if (!outcome.handled) {
        // A mail that stays counts nothing until it is handled.
        stat_deltas_ = stats_before;
        return;
    }
    ++handled_;
    ++(last_refused_ ? refused_ : applied_);
    // A delivery failure is let go with the bounces it counts, after the walk.
    if (pass.bounces.size() != pass.bounce_count) {
        pass.bounce_count = pass.bounces.size();
        pass.bounce_mails.push_back({&item, outcome.key, fields_.edtsubject, false});
        for (const auto& [day, counts] : stat_deltas_) {
            const auto before = stats_before.find(day);
            pass.bounce_deltas[day].bounces +=
                counts.bounces - (before == stats_before.end() ? 0 : before->second.bounces);
        }
        stat_deltas_ = stats_before;
        return;
    }
    pass.batch.push_back({&item, outcome.key, fields_.edtsubject, outcome.forwarded});
    if (pass.batch.size() >= kBatchMails)
        SaveBatch(pass.journal, capture, pass.batch);
}

ExtractEntries::MailOutcome ExtractEntries::ApplyMail(mail::MailItem& item, FolderPass& pass) {
    MailOutcome outcome;
    set_aside_reason_.clear();
    last_refused_ = false;
    try {
        LoadMessage(item);
        outcome.key = HandledKey(item, pass.name, fields_.edtsubject);
        if (chkScanUserEmails && forwarder_ != nullptr &&
            forwarder_->IsUserEmail(fields_.edtsubject)) {
            outcome.forwarded = true;
            outcome.handled =
                forwarder_->forwardmailmessage(item, fields_.edtsubject, fields_.edtsender);
            if (!forwarder_->Enabled())
                chkScanUserEmails = false;
        } else if (chkScanListChanges) {
            outcome.handled = processEntry(pass.bounces);
            outcome.unusable = set_aside_reason_;
            // A request may have changed who is on the list: the forwards that
            // follow in this pass read their recipients again.
            if (outcome.handled && forwarder_ != nullptr)
                forwarder_->ClearCache();
        }
    } catch (const std::exception& e) {
        entries_.AddToLog("Error processing the message, " + fields_.edtsubject + ": " + e.what());
        outcome.handled = false;
    }
    return outcome;
}

void ExtractEntries::Release(mail::MailItem& item, bool mark_read) {
    if (mark_read)
        item.SetUnread(false);
    else
        item.Remove();
}

bool ExtractEntries::processEntry(std::vector<std::string>& bounces) {
    Settings& s = entries_.settings();
    set_aside_reason_.clear();
    last_refused_ = false;
    const std::string line0 = fields_.Memo1.empty() ? std::string() : fields_.Memo1[0];
    if (s.RemoveOutofOffice && ContainsText(line0, "Out of Office AutoReply"))
        return true;
    // Other automatic replies quote what they answer, often a list mail whose lines
    // read as commands ("Join us on Friday") or whose subject holds a failure word:
    // they are no requests and no bounces. Like out-of-office replies they are let go
    // when those are, else left in the folder.
    if (fields_.automatic_reply)
        return s.RemoveOutofOffice;
    // A read receipt answers a list mail as well, and its subject repeats that mail's
    // ("Read: Delivery news"): it is neither a bounce of the member who read it nor a
    // request. It is none of the kinds of message a check lets go, so it stays.
    if (fields_.disposition_notification)
        return false;
    if (s.FailedMail) {
        for (const std::string& word : s.lbxfailure) {
            if (word.empty() || !ContainsText(line0, word))
                continue;
            const std::vector<std::string> lines = BounceScanLines(fields_.Memo1);
            std::vector<std::string> found;
            const std::size_t first_new = bounces.size();
            extractemailaddresses(lines, found, [this](std::string_view address) {
                int code = 0;
                return entries_.validemailaddress(address, true, code);
            });
            // A failure report names the failed address more than once (in
            // its text and its status part); it is one bounce.
            for (const std::string& address : found) {
                if (std::none_of(bounces.begin() + static_cast<std::ptrdiff_t>(first_new),
                                 bounces.end(),
                                 [&](const std::string& b) { return SameText(b, address); }))
                    bounces.push_back(address);
            }
            CountStat(kStatBounce, fields_.edtdate);
            return true;
        }
    }
    const std::size_t lines =
        s.ScanAllEmailLines ? fields_.Memo1.size() : std::min<std::size_t>(2, fields_.Memo1.size());
    bool accepted = false;
    std::size_t line = 0;
    for (; line < lines && !accepted; ++line)
        accepted = ParseListCommandLine(fields_.Memo1[line]);
    const bool has_sender = fields_.edtsender.find('@') != std::string::npos;
    if (!accepted) {
        // No request, and nobody it could be from: nothing will ever make it one.
        if (!has_sender)
            set_aside_reason_ = "it has no sender address";
        return false;
    }
    if (accepted_modify_)
        return true;
    // An address without "@" changes nothing and writes no line; the mail is set aside
    // with its reason rather than read again by every check.
    if (fields_.edtemail.find('@') == std::string::npos) {
        set_aside_reason_ =
            has_sender ? "it names no address to apply the request to" : "it has no sender address";
        return false;
    }
    CountStat(fields_.chkdoadd ? kStatSubscribe : kStatUnsubscribe, fields_.edtdate);
    const bool undecodable =
        line - 1 < fields_.subject_lines ? fields_.subject_undecodable : fields_.body_undecodable;
    if (undecodable) {
        RefuseRequest("its text is not valid in its character set");
        return true;
    }
    if (ContainsControlCharacter(fields_.edtcategory)) {
        RefuseRequest("the category holds a control character");
        return true;
    }
    if (ContainsControlCharacter(fields_.edtname)) {
        RefuseRequest("the name holds a control character");
        return true;
    }
    const std::size_t errors_before = entries_.errors().Lines().size();
    const std::string result = entries_.insertentry(
        fields_.chkdoadd, fields_.edtemail, fields_.edtcategory, fields_.edtname, "",
        "Changed enacted by e-mail sent " + fields_.edtdate_text + " by " + fields_.edtsender, 0,
        false, true);
    last_refused_ =
        entries_.errors().Lines().size() != errors_before || result.starts_with("Not Added");
    return true;
}

void ExtractEntries::RefuseRequest(std::string_view reason) {
    last_refused_ = true;
    // The value that was refused is shown on one line; a text that did not decode is
    // shown without its category, which would only be a guess.
    std::string category = OneLine(fields_.edtcategory);
    if (fields_.subject_undecodable || fields_.body_undecodable)
        category.clear();
    std::string reason_text(reason);
    if (!reason_text.empty())
        reason_text[0] = platform::nls::AsciiUpper(reason_text[0]);
    entries_.AddToLog((fields_.chkdoadd ? "ADD " : "REMOVE ") + fields_.edtemail + " " + category +
                      " [Changed enacted by e-mail sent " + fields_.edtdate_text + " by " +
                      fields_.edtsender + "] -> " +
                      (fields_.chkdoadd ? "Not Added: " : "Not Removed: ") + reason_text + "!");
    entries_.errors().AddToErrorsList(fields_.chkdoadd ? kErrorAdd : kErrorRemove, fields_.edtemail,
                                      category);
}

void ExtractEntries::SetAside(mail::MailItem& item, std::string_view reason) {
    std::string subject;
    try {
        subject = OneLine(item.Subject());
    } catch (const std::exception&) {
        // An unreadable mail has no subject to show.
    }
    std::vector<std::string> lines = entries_.errors().Lines();
    lines.push_back("SET ASIDE " + (subject.empty() ? std::string("(no subject)") : subject) +
                    " -> " + std::string(reason));
    entries_.errors().SetLines(std::move(lines));
    entries_.AddToLog("Message of subject, " + subject + ", was set aside because " +
                      std::string(reason) + "!");
}

void ExtractEntries::LoadSetAside(const std::string& path) {
    aside_keys_.clear();
    std::string text;
    if (platform::os::ReadFileContents(path, text))
        return;
    for (std::string& line : TextLines(text)) {
        if (!line.empty())
            aside_keys_.insert(std::move(line));
    }
}

void ExtractEntries::PruneSetAside(const std::string& path, const std::string& folder,
                                   const std::set<std::string>& seen) {
    std::string text;
    bool dropped = false;
    for (const std::string& key : aside_keys_) {
        if (key.starts_with(folder) && seen.count(key) == 0) {
            dropped = true;
            continue;
        }
        text += key + "\n";
    }
    if (!dropped)
        return;
    std::error_code failed;
    if (text.empty())
        std::filesystem::remove(path, failed);
    else
        failed = platform::os::ReplaceFileContents(path, text);
    if (failed)
        entries_.AddToLog("The mails set aside cannot be recorded in " + path);
}

bool ExtractEntries::ParseListCommandLine(std::string_view line) {
    accepted_modify_ = false;
    std::vector<std::string> words = OLCStrToStringlist(line, " ", true, true, true);
    if (words.empty())
        return false;
    const Settings& s = entries_.settings();
    const std::string first = UpperCase(words[0]);
    if (InList(s.lbxModifyStrings, first) && words.size() >= 3 && IsValidEmailAddress(words[1]) &&
        IsValidEmailAddress(words[2])) {
        fields_.edtemail = words[1];
        entries_.ChangeEmailAddress(words[1], words[2], false, false);
        // A change of address is all that such a line asks for.
        accepted_modify_ = true;
        return true;
    }
    if (InList(s.lbxRemovalStrings, first))
        fields_.chkdoadd = false;
    else if (InList(s.lbxAddStrings, first))
        fields_.chkdoadd = true;
    else
        return false;
    words.erase(words.begin());
    for (auto it = words.begin(); it != words.end(); ++it) {
        if (IsValidEmailAddress(*it)) {
            fields_.edtemail = *it;
            fields_.edtname.clear();
            words.erase(it);
            break;
        }
    }
    fields_.edtcategory = words.empty() ? std::string() : words.front();
    return true;
}

}  // namespace app
