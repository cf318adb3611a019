#include "platform/mail/mail_store.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <thread>

#include "platform/mail/delivery.h"
#include "platform/mail/mail_error.h"
#include "platform/mail/vcard.h"
#include "platform/nls/text.h"
#include "platform/os/file_system.h"
#include "platform/os/whole_file.h"

extern char** environ;

namespace mail {

namespace {

namespace fs = std::filesystem;

bool HasAt(std::string_view text) {
    return text.find('@') != std::string_view::npos;
}

std::string JoinAddresses(const std::vector<Mailbox>& boxes) {
    std::string text;
    for (const auto& box : boxes) {
        if (!text.empty())
            text += "; ";
        text += box.address;
    }
    return text;
}

// Starts a program on a file and reaps it in the background; the user may
// keep the viewer open as long as they like.
void OpenWith(const std::string& command, const std::string& file) {
    std::vector<char*> argv{const_cast<char*>(command.c_str()), const_cast<char*>(file.c_str()),
                            nullptr};
    pid_t pid = -1;
    if (posix_spawnp(&pid, command.c_str(), nullptr, nullptr, argv.data(), environ) != 0) {
        throw EMailError("The message viewer \"" + command + "\" cannot be started");
    }
    std::thread([pid] {
        int status = 0;
        waitpid(pid, &status, 0);
    }).detach();
}

}  // namespace

int DefaultItemType(FolderKind kind) {
    return kind == FolderKind::kContacts ? 2 : 0;
}

MailItem::MailItem(Folder& folder, std::string id, bool seen)
    : folder_(folder), id_(std::move(id)), seen_(seen) {}

std::string MailItem::StoreId() const {
    return folder_.StoreId();
}

void MailItem::CheckPresent() const {
    if (removed_)
        throw EMailError("The item has been deleted");
}

const ReceivedMessage& MailItem::Parsed() {
    CheckPresent();
    if (!parsed_) {
        parsed_ = ParseMessage(folder_.Store().Backend().Fetch(folder_.Path(), id_));
    }
    return *parsed_;
}

std::string MailItem::Subject() {
    return Parsed().subject;
}
std::string MailItem::PlainBody() {
    return Parsed().plain_body;
}
std::string MailItem::ForwardBody() {
    return Parsed().forward_body;
}
std::optional<std::chrono::system_clock::time_point> MailItem::SentOn() {
    return Parsed().sent_on;
}

std::string MailItem::SenderDisplayName() {
    const Mailbox& from = Parsed().from;
    return from.name.empty() ? from.address : from.name;
}

Mailbox MailItem::ReplyAddress() {
    const auto& parsed = Parsed();
    Mailbox box = parsed.reply_to.empty() ? parsed.from : parsed.reply_to.front();
    if (box.name.empty())
        box.name = box.address;
    return box;
}

std::vector<Mailbox> MailItem::ReplyToList() {
    return Parsed().reply_to;
}

Mailbox MailItem::SenderAddress() {
    return Parsed().from;
}

Mailbox MailItem::Sender(SenderMethod method) {
    switch (method) {
        case SenderMethod::kSenderName:
            return Mailbox{SenderDisplayName(), ""};
        case SenderMethod::kReply:
            return ReplyAddress();
        case SenderMethod::kReplyThenRecipients: {
            Mailbox box = ReplyAddress();
            if (!box.address.empty())
                return box;
            [[fallthrough]];
        }
        case SenderMethod::kReplyRecipients: {
            const auto list = ReplyToList();
            return list.empty() ? Mailbox{} : list.front();
        }
        case SenderMethod::kCdo:
            return SenderAddress();
    }
    return {};
}

std::vector<Mailbox> MailItem::Recipients() {
    std::vector<Mailbox> all = Parsed().to;
    all.insert(all.end(), Parsed().cc.begin(), Parsed().cc.end());
    return all;
}

std::string MailItem::ToText() {
    return JoinAddresses(Parsed().to);
}
std::string MailItem::CcText() {
    return JoinAddresses(Parsed().cc);
}
const std::vector<Attachment>& MailItem::Attachments() {
    return Parsed().attachments;
}
bool MailItem::IsAutomaticReply() {
    return Parsed().automatic_reply;
}
bool MailItem::IsDispositionNotification() {
    return Parsed().disposition_notification;
}
bool MailItem::SubjectUndecodable() {
    return Parsed().subject_undecodable;
}
bool MailItem::BodyUndecodable() {
    return Parsed().body_undecodable;
}

void MailItem::SetUnread(bool unread) {
    CheckPresent();
    folder_.Store().Backend().SetSeen(folder_.Path(), id_, !unread);
    seen_ = !unread;
}

void MailItem::Remove() {
    CheckPresent();
    auto& backend = folder_.Store().Backend();
    const FolderPath deleted{std::string(kDeletedItems)};
    // An item already in "Deleted Items" stays there.
    if (!(folder_.Path().size() == 1 && SameFolderName(folder_.Path()[0], kDeletedItems))) {
        if (!folder_.Store().Root(1).FindFolder(kDeletedItems)) {
            folder_.Store().Root(1).AddFolder(kDeletedItems);
        }
        backend.Move(folder_.Path(), id_, deleted);
    }
    removed_ = true;
}

std::unique_ptr<Draft> MailItem::Forward() {
    const auto& parsed = Parsed();
    auto draft = folder_.Store().CreateItem();
    draft->SetSubject("FW: " + parsed.subject);
    draft->SetBody(parsed.forward_body);
    for (const auto& attachment : parsed.attachments)
        draft->AddAttachment(attachment);
    return draft;
}

Folder::Folder(MailStore& store, FolderPath path) : store_(store), path_(std::move(path)) {
    name_ = path_.empty() ? store_.Backend().DisplayName() : path_.back();
}

Folder::~Folder() = default;

const std::string& Folder::Name() const {
    return name_;
}
std::string Folder::StoreId() const {
    return store_.StoreId();
}

void Folder::LoadChildren() {
    if (!children_)
        children_.emplace();
    auto& children = *children_;
    const auto names = store_.Backend().ListFolders(path_);
    // Existing objects are kept (callers hold references); new names are added.
    std::vector<std::unique_ptr<Folder>> ordered;
    for (const auto& name : names) {
        auto found = std::find_if(children.begin(), children.end(), [&](const auto& child) {
            return child && child->Name() == name;
        });
        if (found != children.end()) {
            ordered.push_back(std::move(*found));
        } else {
            FolderPath child_path = path_;
            child_path.push_back(name);
            ordered.push_back(std::unique_ptr<Folder>(new Folder(store_, child_path)));
        }
    }
    for (auto& left : children) {
        if (left)
            ordered.push_back(std::move(left));  // vanished on disk, kept for holders
    }
    children = std::move(ordered);
    visible_count_ = names.size();
}

std::size_t Folder::FolderCount() {
    LoadChildren();
    return visible_count_;
}

Folder& Folder::SubFolder(std::size_t index) {
    LoadChildren();
    if (index < 1 || index > visible_count_) {
        throw EMailError("There is no folder number " + std::to_string(index) + " in \"" + name_ +
                         "\"");
    }
    return *(*children_)[index - 1];
}

Folder* Folder::FindFolder(std::string_view name) {
    LoadChildren();
    for (std::size_t i = 0; i < visible_count_; ++i) {
        if ((*children_)[i]->Name() == name)
            return (*children_)[i].get();
    }
    for (std::size_t i = 0; i < visible_count_; ++i) {
        if (SameFolderName((*children_)[i]->Name(), name))
            return (*children_)[i].get();
    }
    return nullptr;
}

Folder& Folder::SubFolder(std::string_view name) {
    if (Folder* found = FindFolder(name))
        return *found;
    throw EMailError("The folder \"" + std::string(name) + "\" cannot be found");
}

Folder& Folder::AddFolder(std::string_view name) {
    if (FindFolder(name)) {
        throw EMailError("The folder \"" + std::string(name) + "\" already exists");
    }
    FolderPath child = path_;
    child.emplace_back(name);
    store_.Backend().CreateFolder(child);
    return SubFolder(name);
}

FolderKind Folder::Kind() {
    return store_.Backend().IsContactsFolder(path_) ? FolderKind::kContacts : FolderKind::kMail;
}

void Folder::LoadSnapshot() {
    if (items_)
        return;
    items_.emplace();
    if (path_.empty())
        return;  // the store's top holds folders only
    for (const auto& entry : store_.Backend().Snapshot(path_)) {
        items_->push_back(std::unique_ptr<MailItem>(new MailItem(*this, entry.id, entry.seen)));
    }
}

std::size_t Folder::ItemCount() {
    if (Kind() == FolderKind::kContacts)
        return ContactCount();
    LoadSnapshot();
    return items_->size();
}

std::size_t Folder::UnreadCount() {
    if (path_.empty() || Kind() == FolderKind::kContacts)
        return 0;
    return store_.Backend().UnreadCount(path_);
}

MailItem& Folder::Item(std::size_t index) {
    LoadSnapshot();
    if (index < 1 || index > items_->size()) {
        throw EMailError("There is no item number " + std::to_string(index) + " in \"" + name_ +
                         "\"");
    }
    return *(*items_)[index - 1];
}

std::size_t Folder::ContactCount() {
    if (!contacts_) {
        contacts_.emplace();
        if (!path_.empty() && Kind() == FolderKind::kContacts) {
            for (const auto& text : store_.Backend().ContactCards(path_)) {
                for (const auto& card : ParseVCards(text)) {
                    contacts_->push_back(
                        {card.full_name, card.emails.empty() ? std::string() : card.emails[0]});
                }
            }
        }
    }
    return contacts_->size();
}

ContactItem Folder::Contact(std::size_t index) {
    if (index < 1 || index > ContactCount()) {
        throw EMailError("There is no contact number " + std::to_string(index) + " in \"" + name_ +
                         "\"");
    }
    return (*contacts_)[index - 1];
}

MailItem* Folder::FindLoadedItem(std::string_view id) {
    if (items_) {
        for (auto& item : *items_) {
            if (item->EntryId() == id && !item->Removed())
                return item.get();
        }
    }
    if (children_) {
        for (auto& child : *children_) {
            if (MailItem* found = child->FindLoadedItem(id))
                return found;
        }
    }
    return nullptr;
}

void Folder::Refresh() {
    items_.reset();
    contacts_.reset();
}

void Folder::AppendMessage(std::string_view raw, bool seen) {
    if (path_.empty())
        throw EMailError("Messages cannot be stored at the top of the store");
    store_.Backend().Append(path_, raw, seen);
}

MailStore::MailStore(std::unique_ptr<StoreBackend> backend, MailSettings settings)
    : backend_(std::move(backend)), settings_(std::move(settings)) {
    top_ = std::unique_ptr<Folder>(new Folder(*this, {}));
}

MailStore::~MailStore() = default;

std::unique_ptr<MailStore> MailStore::Open(const MailSettings& settings, const fs::path& mail_root,
                                           std::string_view list_folder) {
    if (!settings.store_url.empty())
        return OpenImap(settings);
    return OpenMaildir(settings, mail_root, list_folder);
}

std::unique_ptr<MailStore> MailStore::OpenMaildir(const MailSettings& settings,
                                                  const fs::path& root,
                                                  std::string_view list_folder) {
    const bool first_use = !fs::exists(root / "cur");
    auto store = std::make_unique<MailStore>(
        OpenMaildirBackend(root, std::string(kPersonalFolders)), settings);
    if (first_use) {
        auto& backend = store->Backend();
        for (std::string_view name :
             {kOutbox, std::string_view("Sent Items"), kDeletedItems, kContacts}) {
            backend.CreateFolder({std::string(name)});
        }
        std::error_code error;
        fs::create_directories(root / ".Contacts" / "vcards", error);
        if (!list_folder.empty() && !store->Root(1).FindFolder(list_folder)) {
            backend.CreateFolder({std::string(list_folder)});
        }
    }
    return store;
}

std::unique_ptr<MailStore> MailStore::OpenImap(const MailSettings& settings) {
    // A login without its password would only be refused as a wrong one.
    if (!settings.store_password_unread.empty())
        throw EMailError(settings.store_password_unread);
    return std::make_unique<MailStore>(OpenImapBackend(settings), settings);
}

Folder& MailStore::Root(std::size_t index) {
    if (index != 1)
        throw EMailError("There is no store number " + std::to_string(index));
    return *top_;
}

Folder& MailStore::Root(std::string_view name) {
    if (name.empty() || name == kRootFolderDefault || SameFolderName(name, top_->Name()) ||
        SameFolderName(name, kPersonalFolders)) {
        return *top_;
    }
    throw EMailError("The root folder \"" + std::string(name) + "\" cannot be found");
}

MailItem& MailStore::GetMessage(std::string_view entry_id, std::string_view store_id) {
    if (store_id != StoreId())
        throw EMailError("The message store cannot be opened");
    if (MailItem* item = top_->FindLoadedItem(entry_id))
        return *item;
    throw EMailError("The message cannot be found in the store");
}

std::unique_ptr<Draft> MailStore::CreateItem() {
    return std::make_unique<Draft>(this, settings_);
}

std::vector<ContactItem> MailStore::FindContacts(std::string_view text) {
    const std::string wanted = std::string(platform::nls::TrimOf(text, " \t"));
    std::vector<ContactItem> found;
    if (wanted.empty())
        return found;
    Folder& top = *top_;
    for (std::size_t i = 1; i <= top.FolderCount(); ++i) {
        Folder& folder = top.SubFolder(i);
        if (folder.Kind() != FolderKind::kContacts)
            continue;
        folder.Refresh();
        for (std::size_t j = 1; j <= folder.ContactCount(); ++j) {
            ContactItem contact = folder.Contact(j);
            if (SameFolderName(contact.full_name, wanted) ||
                SameFolderName(contact.email1, wanted)) {
                found.push_back(std::move(contact));
            }
        }
    }
    return found;
}

Draft::Draft(MailStore* store, MailSettings settings)
    : store_(store), settings_(std::move(settings)) {}

void Draft::SetBody(std::string body) {
    body_ = std::move(body);
    html_ = false;
}

void Draft::SetHtmlBody(std::string html) {
    html_body_ = std::move(html);
    html_ = true;
}

Recipient& Draft::AddRecipient(std::string_view text) {
    // "Name <address>" typed as one recipient names its own address, as in a
    // mail program's address line.
    if (const auto written = WrittenMailbox(text))
        return AddRecipient(written->name, written->address, RecipientType::kTo);
    const std::string trimmed = std::string(platform::nls::TrimOf(text, " \t"));
    return AddRecipient(trimmed, HasAt(trimmed) ? trimmed : std::string(), RecipientType::kTo);
}

Recipient& Draft::AddRecipient(std::string_view name, std::string_view address,
                               RecipientType type) {
    Recipient recipient;
    recipient.name = std::string(platform::nls::TrimOf(name, " \t"));
    recipient.address = std::string(platform::nls::TrimOf(address, " \t"));
    if (recipient.name.empty())
        recipient.name = recipient.address;
    recipient.type = type;
    recipients_.push_back(std::move(recipient));
    return recipients_.back();
}

bool Draft::Resolve(Recipient& recipient) {
    if (recipient.resolved)
        return true;
    if (store_) {
        auto matches =
            store_->FindContacts(recipient.address.empty() ? recipient.name : recipient.address);
        if (matches.empty() && !recipient.address.empty()) {
            matches = store_->FindContacts(recipient.name);
        }
        if (matches.size() == 1 && HasAt(matches[0].email1)) {
            recipient.name =
                matches[0].full_name.empty() ? matches[0].email1 : matches[0].full_name;
            recipient.address = matches[0].email1;
            recipient.resolved = true;
            return true;
        }
    }
    if (HasAt(recipient.address))
        recipient.resolved = true;
    return recipient.resolved;
}

bool Draft::ResolveAll() {
    bool all = true;
    for (auto& recipient : recipients_)
        all = Resolve(recipient) && all;
    return all;
}

void Draft::AddAttachment(std::string_view path, std::string_view display_name) {
    if (!fs::is_regular_file(fs::path(std::string(path)))) {
        throw EMailError("The attachment \"" + std::string(path) + "\" cannot be found");
    }
    Attachment attachment;
    attachment.path = std::string(path);
    attachment.display_name = display_name.empty() ? FileNamePart(path) : std::string(display_name);
    attachments_.push_back(std::move(attachment));
}

OutgoingMessage Draft::Message() const {
    if (settings_.from_address.empty()) {
        throw EMailError("No sender address is set: enter one in the SMTP settings");
    }
    OutgoingMessage message;
    message.from = {settings_.from_name, settings_.from_address};
    for (const auto& recipient : recipients_) {
        if (!HasAt(recipient.address)) {
            throw EMailError("The recipient \"" + recipient.name + "\" could not be resolved");
        }
        Mailbox box{recipient.name == recipient.address ? std::string() : recipient.name,
                    recipient.address};
        switch (recipient.type) {
            case RecipientType::kTo:
                message.to.push_back(box);
                break;
            case RecipientType::kCc:
                message.cc.push_back(box);
                break;
            case RecipientType::kBcc:
                message.bcc.push_back(box);
                break;
        }
    }
    message.subject = subject_;
    message.html = html_;
    message.body = html_ ? html_body_ : body_;
    message.attachments = attachments_;
    message.read_receipt = read_receipt_;
    return message;
}

void Draft::Send() {
    const OutgoingMessage outgoing = Message();
    DeliverMessage(settings_, outgoing, store_, store_ ? store_->Idle() : std::function<void()>());
}

fs::path Draft::Display() {
    OutgoingMessage outgoing = Message();
    const std::string mime = ComposeMime(outgoing, true);
    // The private per-user temporary folder: no other user can read or swap the file.
    const auto folder = platform::os::TempDirectory();
    const auto file = folder ? platform::os::CreateUniqueFile(*folder, "corvane-message-", ".eml")
                             : platform::os::Result<std::string>(folder.status());
    if (!file || platform::os::ReplaceFileContents(*file, mime))
        throw EMailError("The message cannot be written for display");
    const std::string pattern = *file;
    try {
        OpenWith(settings_.open_command, pattern);
    } catch (...) {
        // No viewer will ever read it: a copy of the message must not linger in temp.
        std::error_code ignored;
        fs::remove(pattern, ignored);
        throw;
    }
    return pattern;
}

}  // namespace mail
