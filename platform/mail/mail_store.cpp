#include "platform/mail/mail_store.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <thread>

#include "platform/mail/delivery.h"
#include "platform/mail/mail_error.h"
#include "platform/mail/vcard.h"

extern char** environ;

namespace mail {

namespace {

namespace fs = std::filesystem;

bool HasAt(std::string_view text) {
    return text.find('@') != std::string_view::npos;
}

std::string Trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos)
        return {};
    return std::string(text.substr(first, text.find_last_not_of(" \t") - first + 1));
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

std::string MailItem::storeId() const {
    return folder_.storeId();
}

void MailItem::CheckPresent() const {
    if (removed_)
        throw EMailError("The item has been deleted");
}

const ReceivedMessage& MailItem::Parsed() {
    CheckPresent();
    if (!parsed_) {
        parsed_ = ParseMessage(folder_.store().backend().Fetch(folder_.path(), id_));
    }
    return *parsed_;
}

std::string MailItem::subject() {
    return Parsed().subject;
}
std::string MailItem::plainBody() {
    return Parsed().plain_body;
}
std::optional<std::chrono::system_clock::time_point> MailItem::sentOn() {
    return Parsed().sent_on;
}

std::string MailItem::senderDisplayName() {
    const Mailbox& from = Parsed().from;
    return from.name.empty() ? from.address : from.name;
}

Mailbox MailItem::replyAddress() {
    const auto& parsed = Parsed();
    Mailbox box = parsed.reply_to.empty() ? parsed.from : parsed.reply_to.front();
    if (box.name.empty())
        box.name = box.address;
    return box;
}

std::vector<Mailbox> MailItem::replyToList() {
    return Parsed().reply_to;
}

Mailbox MailItem::senderAddress() {
    return Parsed().from;
}

Mailbox MailItem::sender(SenderMethod method) {
    switch (method) {
        case SenderMethod::kSenderName:
            return Mailbox{senderDisplayName(), ""};
        case SenderMethod::kReply:
            return replyAddress();
        case SenderMethod::kReplyThenRecipients: {
            Mailbox box = replyAddress();
            if (!box.address.empty())
                return box;
            [[fallthrough]];
        }
        case SenderMethod::kReplyRecipients: {
            const auto list = replyToList();
            return list.empty() ? Mailbox{} : list.front();
        }
        case SenderMethod::kCdo:
            return senderAddress();
    }
    return {};
}

std::vector<Mailbox> MailItem::recipients() {
    std::vector<Mailbox> all = Parsed().to;
    all.insert(all.end(), Parsed().cc.begin(), Parsed().cc.end());
    return all;
}

std::string MailItem::toText() {
    return JoinAddresses(Parsed().to);
}
std::string MailItem::ccText() {
    return JoinAddresses(Parsed().cc);
}
const std::vector<Attachment>& MailItem::attachments() {
    return Parsed().attachments;
}

void MailItem::setUnread(bool unread) {
    CheckPresent();
    folder_.store().backend().SetSeen(folder_.path(), id_, !unread);
    seen_ = !unread;
}

void MailItem::remove() {
    CheckPresent();
    auto& backend = folder_.store().backend();
    const FolderPath deleted{std::string(kDeletedItems)};
    // An item already in "Deleted Items" stays there.
    if (!(folder_.path().size() == 1 && SameFolderName(folder_.path()[0], kDeletedItems))) {
        if (!folder_.store().root(1).findFolder(kDeletedItems)) {
            folder_.store().root(1).addFolder(kDeletedItems);
        }
        backend.Move(folder_.path(), id_, deleted);
    }
    removed_ = true;
}

std::unique_ptr<Draft> MailItem::forward() {
    const auto& parsed = Parsed();
    auto draft = folder_.store().createItem();
    draft->setSubject("FW: " + parsed.subject);
    draft->setBody(parsed.plain_body);
    for (const auto& attachment : parsed.attachments)
        draft->addAttachment(attachment);
    return draft;
}

Folder::Folder(MailStore& store, FolderPath path) : store_(store), path_(std::move(path)) {
    name_ = path_.empty() ? store_.backend().DisplayName() : path_.back();
}

Folder::~Folder() = default;

const std::string& Folder::name() const {
    return name_;
}
std::string Folder::storeId() const {
    return store_.storeId();
}

void Folder::LoadChildren() {
    if (!children_)
        children_.emplace();
    auto& children = *children_;
    const auto names = store_.backend().ListFolders(path_);
    // Existing objects are kept (callers hold references); new names are added.
    std::vector<std::unique_ptr<Folder>> ordered;
    for (const auto& name : names) {
        auto found = std::find_if(children.begin(), children.end(), [&](const auto& child) {
            return child && child->name() == name;
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

std::size_t Folder::folderCount() {
    LoadChildren();
    return visible_count_;
}

Folder& Folder::folder(std::size_t index) {
    LoadChildren();
    if (index < 1 || index > visible_count_) {
        throw EMailError("There is no folder number " + std::to_string(index) + " in \"" + name_ +
                         "\"");
    }
    return *(*children_)[index - 1];
}

Folder* Folder::findFolder(std::string_view name) {
    LoadChildren();
    for (std::size_t i = 0; i < visible_count_; ++i) {
        if ((*children_)[i]->name() == name)
            return (*children_)[i].get();
    }
    for (std::size_t i = 0; i < visible_count_; ++i) {
        if (SameFolderName((*children_)[i]->name(), name))
            return (*children_)[i].get();
    }
    return nullptr;
}

Folder& Folder::folder(std::string_view name) {
    if (Folder* found = findFolder(name))
        return *found;
    throw EMailError("The folder \"" + std::string(name) + "\" cannot be found");
}

Folder& Folder::addFolder(std::string_view name) {
    if (findFolder(name)) {
        throw EMailError("The folder \"" + std::string(name) + "\" already exists");
    }
    FolderPath child = path_;
    child.emplace_back(name);
    store_.backend().CreateFolder(child);
    return folder(name);
}

FolderKind Folder::kind() {
    return store_.backend().IsContactsFolder(path_) ? FolderKind::kContacts : FolderKind::kMail;
}

void Folder::LoadSnapshot() {
    if (items_)
        return;
    items_.emplace();
    if (path_.empty())
        return;  // the store's top holds folders only
    for (const auto& entry : store_.backend().Snapshot(path_)) {
        items_->push_back(std::unique_ptr<MailItem>(new MailItem(*this, entry.id, entry.seen)));
    }
}

std::size_t Folder::itemCount() {
    if (kind() == FolderKind::kContacts)
        return contactCount();
    LoadSnapshot();
    return items_->size();
}

std::size_t Folder::unreadCount() {
    if (path_.empty() || kind() == FolderKind::kContacts)
        return 0;
    return store_.backend().UnreadCount(path_);
}

MailItem& Folder::item(std::size_t index) {
    LoadSnapshot();
    if (index < 1 || index > items_->size()) {
        throw EMailError("There is no item number " + std::to_string(index) + " in \"" + name_ +
                         "\"");
    }
    return *(*items_)[index - 1];
}

std::size_t Folder::contactCount() {
    if (!contacts_) {
        contacts_.emplace();
        if (!path_.empty() && kind() == FolderKind::kContacts) {
            for (const auto& text : store_.backend().ContactCards(path_)) {
                for (const auto& card : ParseVCards(text)) {
                    contacts_->push_back(
                        {card.full_name, card.emails.empty() ? std::string() : card.emails[0]});
                }
            }
        }
    }
    return contacts_->size();
}

ContactItem Folder::contact(std::size_t index) {
    if (index < 1 || index > contactCount()) {
        throw EMailError("There is no contact number " + std::to_string(index) + " in \"" + name_ +
                         "\"");
    }
    return (*contacts_)[index - 1];
}

MailItem* Folder::FindLoadedItem(std::string_view id) {
    if (items_) {
        for (auto& item : *items_) {
            if (item->entryId() == id && !item->removed())
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

void Folder::refresh() {
    items_.reset();
    contacts_.reset();
}

void Folder::appendMessage(std::string_view raw, bool seen) {
    if (path_.empty())
        throw EMailError("Messages cannot be stored at the top of the store");
    store_.backend().Append(path_, raw, seen);
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
        auto& backend = store->backend();
        for (std::string_view name :
             {kOutbox, std::string_view("Sent Items"), kDeletedItems, kContacts}) {
            backend.CreateFolder({std::string(name)});
        }
        std::error_code error;
        fs::create_directories(root / ".Contacts" / "vcards", error);
        if (!list_folder.empty() && !store->root(1).findFolder(list_folder)) {
            backend.CreateFolder({std::string(list_folder)});
        }
    }
    return store;
}

std::unique_ptr<MailStore> MailStore::OpenImap(const MailSettings& settings) {
    return std::make_unique<MailStore>(OpenImapBackend(settings), settings);
}

Folder& MailStore::root(std::size_t index) {
    if (index != 1)
        throw EMailError("There is no store number " + std::to_string(index));
    return *top_;
}

Folder& MailStore::root(std::string_view name) {
    if (name.empty() || name == kRootFolderDefault || SameFolderName(name, top_->name()) ||
        SameFolderName(name, kPersonalFolders)) {
        return *top_;
    }
    throw EMailError("The root folder \"" + std::string(name) + "\" cannot be found");
}

MailItem& MailStore::getMessage(std::string_view entry_id, std::string_view store_id) {
    if (store_id != storeId())
        throw EMailError("The message store cannot be opened");
    if (MailItem* item = top_->FindLoadedItem(entry_id))
        return *item;
    throw EMailError("The message cannot be found in the store");
}

std::unique_ptr<Draft> MailStore::createItem() {
    return std::make_unique<Draft>(this, settings_);
}

std::vector<ContactItem> MailStore::findContacts(std::string_view text) {
    const std::string wanted = Trimmed(text);
    std::vector<ContactItem> found;
    if (wanted.empty())
        return found;
    Folder& top = *top_;
    for (std::size_t i = 1; i <= top.folderCount(); ++i) {
        Folder& folder = top.folder(i);
        if (folder.kind() != FolderKind::kContacts)
            continue;
        folder.refresh();
        for (std::size_t j = 1; j <= folder.contactCount(); ++j) {
            ContactItem contact = folder.contact(j);
            if (SameFolderName(contact.fullName, wanted) ||
                SameFolderName(contact.email1, wanted)) {
                found.push_back(std::move(contact));
            }
        }
    }
    return found;
}

Draft::Draft(MailStore* store, MailSettings settings)
    : store_(store), settings_(std::move(settings)) {}

void Draft::setBody(std::string body) {
    body_ = std::move(body);
    html_ = false;
}

void Draft::setHtmlBody(std::string html) {
    html_body_ = std::move(html);
    html_ = true;
}

Recipient& Draft::addRecipient(std::string_view text) {
    const std::string trimmed = Trimmed(text);
    return addRecipient(trimmed, HasAt(trimmed) ? trimmed : std::string(), RecipientType::kTo);
}

Recipient& Draft::addRecipient(std::string_view name, std::string_view address,
                               RecipientType type) {
    Recipient recipient;
    recipient.name = Trimmed(name);
    recipient.address = Trimmed(address);
    if (recipient.name.empty())
        recipient.name = recipient.address;
    recipient.type = type;
    recipients_.push_back(std::move(recipient));
    return recipients_.back();
}

bool Draft::resolve(Recipient& recipient) {
    if (recipient.resolved)
        return true;
    if (store_) {
        auto matches =
            store_->findContacts(recipient.address.empty() ? recipient.name : recipient.address);
        if (matches.empty() && !recipient.address.empty()) {
            matches = store_->findContacts(recipient.name);
        }
        if (matches.size() == 1 && HasAt(matches[0].email1)) {
            recipient.name = matches[0].fullName.empty() ? matches[0].email1 : matches[0].fullName;
            recipient.address = matches[0].email1;
            recipient.resolved = true;
            return true;
        }
    }
    if (HasAt(recipient.address))
        recipient.resolved = true;
    return recipient.resolved;
}

bool Draft::resolveAll() {
    bool all = true;
    for (auto& recipient : recipients_)
        all = resolve(recipient) && all;
    return all;
}

void Draft::addAttachment(std::string_view path, std::string_view display_name) {
    if (!fs::is_regular_file(fs::path(std::string(path)))) {
        throw EMailError("The attachment \"" + std::string(path) + "\" cannot be found");
    }
    Attachment attachment;
    attachment.path = std::string(path);
    attachment.display_name = display_name.empty() ? FileNamePart(path) : std::string(display_name);
    attachments_.push_back(std::move(attachment));
}

OutgoingMessage Draft::message() const {
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

void Draft::send() {
    const OutgoingMessage outgoing = message();
    DeliverMessage(settings_, outgoing, store_, store_ ? store_->idle() : std::function<void()>());
}

fs::path Draft::display() {
    OutgoingMessage outgoing = message();
    const std::string mime = ComposeMime(outgoing, true);
    std::string pattern = (fs::temp_directory_path() / "corvane-message-XXXXXX.eml").string();
    const int fd = mkstemps(pattern.data(), 4);
    if (fd < 0)
        throw EMailError("The message cannot be written for display");
    const bool written = ::write(fd, mime.data(), mime.size()) == static_cast<ssize_t>(mime.size());
    ::close(fd);
    if (!written) {
        ::unlink(pattern.c_str());
        throw EMailError("The message cannot be written for display");
    }
    OpenWith(settings_.open_command, pattern);
    return pattern;
}

}  // namespace mail
