#include "app/mail/forwarding.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <filesystem>
#include <utility>

#include "app/list/entry_processing.h"
#include "app/list/list_database.h"
#include "app/list/recipient_cache.h"
#include "app/list/settings.h"
#include "app/routines/text_routines.h"
#include "platform/mail/mail_error.h"
#include "platform/mail/mail_store.h"
#include "platform/os/whole_file.h"
#include "platform/ui/prompt.h"

namespace app {
namespace {

// The text between the first "[" and the first "]" after it, when "]" stands
// after the first character.
bool BracketedCategory(std::string_view subject, std::string& category) {
    const std::size_t open = subject.find('[');
    const std::size_t close_any = subject.find(']');
    if (open == std::string_view::npos || close_any == std::string_view::npos || close_any < 1)
        return false;
    const std::size_t close = subject.find(']', open + 1);
    if (close == std::string_view::npos)
        return false;
    category = Trim(subject.substr(open + 1, close - open - 1));
    return true;
}

// The journal's lines: key, tab, lower-case address.
std::vector<std::pair<std::string, std::string>> ReadJournal(const std::string& path) {
    std::string text;
    std::vector<std::pair<std::string, std::string>> lines;
    if (platform::os::ReadFileContents(path, text))
        return lines;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string::npos)
            end = text.size();
        const std::string_view line = std::string_view(text).substr(pos, end - pos);
        pos = end + 1;
        // The last line of a run that was killed while writing it may be cut short.
        const std::size_t tab = line.rfind('\t');
        if (tab != std::string_view::npos && line.find('@', tab) != std::string_view::npos)
            lines.emplace_back(std::string(line.substr(0, tab)), std::string(line.substr(tab + 1)));
    }
    return lines;
}

// Tabs and line breaks would break a journal line; a subject may hold them.
std::string JournalField(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c == '\t' || c == '\r' || c == '\n')
            c = ' ';
    }
    return out;
}

}  // namespace

Forwarder::Forwarder(EntryProcessor& entries, RecipientCache& cache)
    : entries_(entries), cache_(cache) {}

void Forwarder::ClearCache() {
    cache_.Clear();
}

std::string Forwarder::JournalPath() const {
    return entries_.database().ProgramDir() + std::string(kForwardedFile);
}

// The store's message id alone could name another message after the folder was made
// anew; with the folder, the subject and the send time it cannot.
std::string Forwarder::JournalKey(mail::MailItem& item) {
    std::string key =
        entries_.settings().UserSendingFolder + " " + item.EntryId() + " " + item.Subject();
    if (const auto sent = item.SentOn())
        key +=
            " " +
            std::to_string(
                std::chrono::duration_cast<std::chrono::seconds>(sent->time_since_epoch()).count());
    return JournalField(key);
}

void Forwarder::LoadReached(mail::MailItem& item) {
    key_ = JournalKey(item);
    reached_.clear();
    for (auto& [key, address] : ReadJournal(JournalPath())) {
        if (key == key_)
            reached_.insert(std::move(address));
    }
}

void Forwarder::RecordReached(const std::vector<std::string>& addresses) {
    std::string lines;
    for (const std::string& address : addresses) {
        const std::string lower = LowerCase(address);
        reached_.insert(lower);
        lines += key_ + "\t" + JournalField(lower) + "\n";
    }
    // Without the record a retry would mail these members again; the forward itself
    // has gone out all the same.
    if (!lines.empty() && platform::os::AppendToFile(JournalPath(), lines))
        entries_.AddToLog("Could not record the recipients of a forward in " +
                          std::string(kForwardedFile));
}

void Forwarder::Released(mail::MailItem& item) {
    const std::string path = JournalPath();
    const std::string key = JournalKey(item);
    if (key == key_) {
        key_.clear();
        reached_.clear();
    }
    const auto lines = ReadJournal(path);
    std::string kept;
    bool dropped = false;
    for (const auto& [k, address] : lines) {
        if (k == key)
            dropped = true;
        else
            kept += k + "\t" + address + "\n";
    }
    if (!dropped)
        return;
    if (kept.empty()) {
        std::error_code ignored;
        std::filesystem::remove(path, ignored);
    } else {
        platform::os::ReplaceFileContents(path, kept);
    }
}

bool Forwarder::IsUserEmail(std::string_view subject) const {
    const Settings& s = entries_.settings();
    if (!s.ForwardAll) {
        const std::size_t close = subject.find(']');
        return subject.find('[') != std::string_view::npos && close != std::string_view::npos &&
               close >= 1;
    }
    return true;
}

bool Forwarder::GetRecipientGroup(mail::MailItem& item, std::string_view subject,
                                  std::string_view sender, std::string& category) {
    category.clear();
    try {
        switch (entries_.settings().ForwardToWhom) {
            case ForwardTarget::kAll:
                return true;
            case ForwardTarget::kInEmail: {
                const std::vector<mail::Mailbox> to = item.Recipients();
                if (to.empty())
                    return false;
                const std::size_t at = to.front().address.find('@');
                if (at == std::string::npos)
                    return false;
                category = to.front().address.substr(0, at);
                break;
            }
            case ForwardTarget::kSenderGroup:
                category = entries_.GetGroupOfUser(sender);
                break;
            case ForwardTarget::kInSubject:
                if (!BracketedCategory(subject, category))
                    return false;
                break;
        }
    } catch (const std::exception&) {
        return false;
    }
    return !category.empty();
}

bool Forwarder::forwardmailmessage(mail::MailItem& item, std::string_view subject,
                                   std::string_view sender) {
    const Settings& s = entries_.settings();
    const std::string head = "Message of subject, " + std::string(subject) + ", from " +
                             std::string(sender) + " was not forwarded because ";
    // An out-of-office reply to a forward would go to the whole list, and each member's
    // own responder could answer it in turn; a read receipt would tell every member
    // what one of them read.
    if (item.IsAutomaticReply() || item.IsDispositionNotification()) {
        entries_.AddToLog(head + "it is an automatic reply!");
        return false;
    }
    std::string category;
    if (!GetRecipientGroup(item, subject, sender, category)) {
        entries_.AddToLog(head + "the category was not valid!");
        return false;
    }
    if (s.CheckUser && (sender.empty() || !entries_.UserCanSend(sender, category))) {
        entries_.AddToLog(head + "the user does not have sending rights!");
        return false;
    }
    bool ok = true;
    try {
        LoadReached(item);
        cache_.LoadCacheEntries(entries_.database().tblCV(), category);
        const auto count = static_cast<std::int64_t>(cache_.Entries().size());
        if (count == 0)
            return false;
        if (s.rdbsingleemail()) {
            for (std::int64_t i = 0; i < count && ok; ++i)
                ok = Doforwardmailmessage(item, subject, i) >= 0;
        } else {
            std::int64_t next = 0;
            while (ok && next < count) {
                next = Doforwardmailmessage(item, subject, next);
                ok = next >= 0;
            }
        }
    } catch (const std::exception&) {
        ok = false;
    }
    const std::string target = category.empty() ? std::string("the entire mailing list")
                                                : "the mailing list category, " + category;
    entries_.AddToLog(
        std::string(ok ? "Successfully forwarded " : "ERROR encountered forwarding ") +
        "mail from " + std::string(sender) + " with the subject, '" + std::string(subject) +
        "' to " + target);
    return ok;
}

std::int64_t Forwarder::Doforwardmailmessage(mail::MailItem& item, std::string_view subject,
                                             std::int64_t start) {
    const Settings& s = entries_.settings();
    const std::vector<std::string>& cache = cache_.Entries();
    // Members this message reached in an earlier attempt are left out.
    const auto reached = [&](const std::string& address) {
        return reached_.count(LowerCase(address)) != 0;
    };
    std::vector<std::string> members;
    std::int64_t next = start;
    batch_count_ = 0;
    if (s.rdbsingleemail()) {
        const std::string& address = cache.at(static_cast<std::size_t>(start));
        if (reached(address))
            return start;
        members.push_back(address);
        batch_count_ = 1;
    } else {
        const std::int64_t batch = std::max<std::int64_t>(1, s.SendCount);
        while (next < static_cast<std::int64_t>(cache.size()) && batch_count_ < batch) {
            const std::string& address = cache[static_cast<std::size_t>(next)];
            ++next;
            if (reached(address))
                continue;
            members.push_back(address);
            ++batch_count_;
        }
        if (members.empty())
            return next;
    }
    std::unique_ptr<mail::Draft> forward;
    auto add = [&](const std::string& address, mail::RecipientType type) {
        if (!s.AlwaysResolveAddresses && IsValidEmailAddress(address)) {
            forward->AddRecipient("", address, type);
        } else {
            mail::Recipient& r = forward->AddRecipient(address);
            r.type = type;
            forward->Resolve(r);
        }
    };
    try {
        forward = item.Forward();
        // A subject decoded from the message may hold line breaks; in a header
        // they would start new header lines, so each control character goes.
        std::string one_line(subject);
        for (char& c : one_line) {
            if (static_cast<unsigned char>(c) < ' ')
                c = ' ';
        }
        forward->SetSubject(std::move(one_line));
        std::string body = item.ForwardBody();
        if (s.SigOnForward)
            body += "\r\n" + s.Memsignature;
        forward->SetBody(std::move(body));
        if (s.rdbsingleemail())
            add(members.front(), mail::RecipientType::kTo);
        if (!s.DefaultToAddress.empty())
            add(s.DefaultToAddress, mail::RecipientType::kTo);
        if (!s.rdbsingleemail()) {
            for (const std::string& address : members)
                add(address, mail::RecipientType::kBcc);
        }
        forward->SetReadReceipt(s.Acknowledge);
    } catch (const std::exception&) {
        if (ui::MessageDlg("An error was encountered initiating Mail Forwarding.  Do you want to "
                           "disable the forwarding of user messages?",
                           ui::mtWarning, ui::mbYesNo) == ui::mrYes) {
            entries_.settings().UserSending = false;
            enabled_ = false;
        }
        return -1;
    }
    try {
        forward->Send();
    } catch (const mail::EMailMayHaveArrived&) {
        // Sent again it could reach these members twice; the next batch goes on.
    } catch (const std::exception&) {
        return -1;
    }
    RecordReached(members);
    return s.rdbsingleemail() ? start : next;
}

}  // namespace app
