#include "app/mail/request_extraction.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <exception>
#include <filesystem>
#include <set>
#include <stdexcept>

#include "app/list/entry_processing.h"
#include "app/list/errors_list.h"
#include "app/list/list_database.h"
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

// The text as the lines of a plain-text edit: CR LF, LF and CR alone each end a line,
// and no line holds a control character other than a tab (a decoded header or body may
// carry them; in a category, a log line or a name they would start new lines or cut
// the text short).
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
    for (std::string& each : lines)
        each = platform::nls::OneLineText(each);
    return lines;
}

// The text on one line: each control character becomes a blank.
std::string OneLine(std::string_view text) {
    std::string out = platform::nls::OneLineText(text);
    std::replace(out.begin(), out.end(), '\t', ' ');
    return out;
}

// Messages whose changes are saved but which may still be in the folder: a run that
// was killed, or whose server went away, before it let them go leaves them here, and
// the next run lets them go without applying them (or counting their bounces) again.
// Kept in the program directory; a message's line goes once it has left.
class HandledJournal {
  public:
    explicit HandledJournal(std::string path) : path_(std::move(path)) {
        std::string text;
        if (platform::os::ReadFileContents(path_, text))
            return;
        for (std::string& line : TextLines(text)) {
            if (!line.empty())
                keys_.insert(std::move(line));
        }
    }
    bool Contains(const std::string& key) const { return keys_.count(key) != 0; }
    void Add(const std::vector<std::string>& keys) {
        std::string lines;
        for (const std::string& key : keys) {
            if (keys_.insert(key).second)
                lines += key + "\n";
        }
        if (!lines.empty() && platform::os::AppendToFile(path_, lines))
            throw std::runtime_error("The handled messages cannot be recorded in " + path_);
    }
    void Remove(const std::string& key) {
        if (keys_.erase(key) == 0)
            return;
        std::string text;
        for (const std::string& k : keys_)
            text += k + "\n";
        std::error_code ignored;
        if (text.empty())
            std::filesystem::remove(path_, ignored);
        else
            platform::os::ReplaceFileContents(path_, text);
    }

  private:
    std::string path_;
    std::set<std::string> keys_;
};

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
    fields_.edtsendername = OneLine(sender.name);
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

void ShowRootFolderError() {
    ui::MessageDlg(
        "Error accessing your Outlook Root Folder.  You may need to amend your settings under "
        "'File|Options, Advanced...'",
        ui::mtWarning, {ui::mbOK});
}

mail::Folder* ExtractEntries::OpenFolder(const std::string& name) {
    const Settings& s = entries_.settings();
    mail::Folder* root = nullptr;
    try {
        root = s.RootFolder == "<Root>" ? &store_.Root(1) : &store_.Root(s.RootFolder);
    } catch (const std::exception&) {
        ShowRootFolderError();
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

bool ExtractEntries::OpenBtnClick() {
    Settings& s = entries_.settings();
    handled_ = 0;
    // Members removed since the last run get no more forwards.
    if (forwarder_ != nullptr)
        forwarder_->ClearCache();
    std::vector<std::string> bounces;
    const std::string name = chkScanListChanges ? s.ListFolder() : s.UserSendingFolder;
    mail::Folder* folder = OpenFolder(name);
    if (folder == nullptr)
        return false;
    folder->Refresh();
    const bool mark_read = s.ProcessAsUnread;
    const std::int64_t count = static_cast<std::int64_t>(folder->ItemCount());
    const std::int64_t total = mark_read ? static_cast<std::int64_t>(folder->UnreadCount()) : count;
    std::int64_t n = count;
    if (s.ChokeDownload > 1 && s.ChokeDownload < count)
        n = s.ChokeDownload;
    std::int64_t counted = 0;
    std::size_t bounce_count = 0;
    struct BounceItem {
        mail::MailItem* item;
        std::string key;
        std::string subject;
    };
    std::vector<BounceItem> bounce_items;
    HandledJournal journal(entries_.database().ProgramDir() + std::string(kHandledFile));
    // Lets a handled message go; one the server cannot let go stays in the journal.
    const auto release = [&](mail::MailItem& item, const std::string& key,
                             const std::string& subject) {
        try {
            Release(item, mark_read);
            journal.Remove(key);
            return true;
        } catch (const std::exception& e) {
            entries_.AddToLog("Error processing the message, " + subject + ": " + e.what());
            return false;
        }
    };
    for (std::int64_t i = n; i >= 1; --i) {
        if (Cancelled && Cancelled())
            break;
        mail::MailItem& item = folder->Item(static_cast<std::size_t>(i));
        if (item.Removed())
            continue;
        if (mark_read && !item.Unread())
            continue;
        ++counted;
        // An empty folder count is no reason to divide by zero.
        if (OnProgress)
            OnProgress(counted, total > 0 ? total : counted);
        bool handled = false;
        bool forwarded = false;
        bool done_before = false;
        std::string key;
        const std::size_t errors_before = entries_.errors().Lines().size();
        try {
            LoadMessage(item);
            key = HandledKey(item, name, fields_.edtsubject);
            if (journal.Contains(key)) {
                done_before = true;
            } else if (chkScanUserEmails && forwarder_ != nullptr &&
                       forwarder_->IsUserEmail(fields_.edtsubject)) {
                forwarded = true;
                handled =
                    forwarder_->forwardmailmessage(item, fields_.edtsubject, fields_.edtsender);
                if (!forwarder_->Enabled())
                    chkScanUserEmails = false;
            } else if (chkScanListChanges) {
                handled = processEntry(bounces);
                // A request may have changed who is on the list: the forwards that follow
                // in this pass read their recipients again.
                if (handled && forwarder_ != nullptr)
                    forwarder_->ClearCache();
            }
        } catch (const std::exception& e) {
            entries_.AddToLog("Error processing the message, " + fields_.edtsubject + ": " +
                              e.what());
            handled = false;
        }
        SaveNewErrors(errors_before);
        // Who a forward reached is dropped before the message goes: the journal of
        // handled messages keeps it from going out again should the server fail to
        // let it go.
        if (done_before) {
            ++handled_;
            if (chkScanUserEmails && forwarder_ != nullptr)
                forwarder_->Released(item);
            release(item, key, fields_.edtsubject);
            continue;
        }
        if (!handled)
            continue;
        ++handled_;
        // A delivery failure is let go only once its bounces are counted,
        // after the walk.
        if (bounces.size() != bounce_count) {
            bounce_count = bounces.size();
            bounce_items.push_back({&item, key, fields_.edtsubject});
            continue;
        }
        // The change must be on disk before the message that asked for it is
        // let go.
        entries_.database().SaveDatabase();
        try {
            journal.Add({key});
        } catch (const std::exception& e) {
            entries_.AddToLog(e.what());
        }
        if (forwarded)
            forwarder_->Released(item);
        release(item, key, fields_.edtsubject);
    }
    if (chkScanListChanges) {
        const std::size_t errors_before = entries_.errors().Lines().size();
        for (const std::string& address : bounces)
            entries_.processbounce(address);
        entries_.database().SaveDatabase();
        SaveNewErrors(errors_before);
    }
    std::vector<std::string> bounce_keys;
    for (const BounceItem& b : bounce_items)
        bounce_keys.push_back(b.key);
    try {
        journal.Add(bounce_keys);
    } catch (const std::exception& e) {
        entries_.AddToLog(e.what());
    }
    for (const BounceItem& b : bounce_items)
        release(*b.item, b.key, b.subject);
    return true;
}

// The message that failed may be let go next: its errors-list lines must outlive a
// program that is killed before it saves the list on close.
void ExtractEntries::SaveNewErrors(std::size_t first) {
    try {
        entries_.errors().AppendToFile(entries_.database().ProgramDir() + std::string(kErrorsFile),
                                       first);
    } catch (const std::exception& e) {
        entries_.AddToLog(e.what());
    }
}

void ExtractEntries::Release(mail::MailItem& item, bool mark_read) {
    if (mark_read)
        item.SetUnread(false);
    else
        item.Remove();
}

bool ExtractEntries::processEntry(std::vector<std::string>& bounces) {
    Settings& s = entries_.settings();
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
            entries_.database().AddStatRecord(kStatBounce, fields_.edtdate);
            return true;
        }
    }
    const std::size_t lines =
        s.ScanAllEmailLines ? fields_.Memo1.size() : std::min<std::size_t>(2, fields_.Memo1.size());
    bool accepted = false;
    for (std::size_t i = 0; i < lines && !accepted; ++i)
        accepted = ParseListCommandLine(fields_.Memo1[i]);
    if (!accepted)
        return false;
    if (accepted_modify_)
        return true;
    // An address without "@" (a malformed sender) changes nothing and writes no line;
    // let go, the request would be lost without a trace, so it stays in the folder.
    if (fields_.edtemail.find('@') == std::string::npos)
        return false;
    entries_.database().AddStatRecord(fields_.chkdoadd ? kStatSubscribe : kStatUnsubscribe,
                                      fields_.edtdate);
    entries_.insertentry(
        fields_.chkdoadd, fields_.edtemail, fields_.edtcategory, fields_.edtname, "",
        "Changed enacted by e-mail sent " + fields_.edtdate_text + " by " + fields_.edtsender, 0,
        false, true);
    return true;
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
