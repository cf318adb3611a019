#pragma once

// The mail store the application reads its lists from and sends through: the
// stand-in for Outlook's folders, items, contacts and new items, and for
// reading a sender through Collaboration Data Objects.
//
// Item numbers are 1-based and stable for a folder until refresh(): the
// folder takes a snapshot of its message ids on first use, so removing an
// item (which moves it to "Deleted Items") never renumbers the others during
// a walk.

#include <chrono>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/mail/mail_settings.h"
#include "platform/mail/outgoing_message.h"
#include "platform/mail/received_message.h"
#include "platform/mail/store_backend.h"

namespace mail {

class Draft;
class Folder;
class MailItem;
class MailStore;

inline constexpr std::string_view kPersonalFolders = "Personal Folders";
inline constexpr std::string_view kRootFolderDefault = "<Root>";
inline constexpr std::string_view kDeletedItems = "Deleted Items";
inline constexpr std::string_view kOutbox = "Outbox";
inline constexpr std::string_view kContacts = "Contacts";

enum class FolderKind { kMail, kContacts };

// Outlook's DefaultItemType of a folder: 0 mail, 2 contacts.
int DefaultItemType(FolderKind kind);

// How the application reads a message's sender (its GetSenderMethod setting).
enum class SenderMethod {
    kSenderName = 0,  // the From display name only
    kReplyThenRecipients = 1,
    kReply = 2,            // Reply-To, else From
    kReplyRecipients = 3,  // Reply-To only
    kCdo = 4,              // the From header, as Collaboration Data Objects read it
};

enum class RecipientType { kTo = 1, kCc = 2, kBcc = 3 };

struct Recipient {
    std::string name;
    std::string address;  // empty until resolved when only a name was given
    RecipientType type = RecipientType::kTo;
    bool resolved = false;
};

struct ContactItem {
    std::string full_name;
    std::string email1;  // the first e-mail address
};

class MailItem {
  public:
    const std::string& EntryId() const { return id_; }
    std::string StoreId() const;

    std::string Subject();
    std::string PlainBody();
    // The body a forward carries (ReceivedMessage::forward_body).
    std::string ForwardBody();
    std::optional<std::chrono::system_clock::time_point> SentOn();
    // The From display name, or its address when it has none.
    std::string SenderDisplayName();
    // The address a reply goes to: the first Reply-To, else From.
    Mailbox ReplyAddress();
    // The Reply-To mailboxes only (often none).
    std::vector<Mailbox> ReplyToList();
    // The From mailbox, as Collaboration Data Objects' Sender gives it.
    Mailbox SenderAddress();
    // The sender by the application's method; an empty address when the
    // method finds none.
    Mailbox Sender(SenderMethod method);
    // To, then Cc.
    std::vector<Mailbox> Recipients();
    // The addresses of To (or Cc), separated by "; ".
    std::string ToText();
    std::string CcText();
    const std::vector<Attachment>& Attachments();
    // An automatic reply that is no delivery report (see ReceivedMessage).
    bool IsAutomaticReply();
    // A read receipt or another disposition notification (see ReceivedMessage).
    bool IsDispositionNotification();
    // The subject or the body held bytes that did not decode (see ReceivedMessage).
    bool SubjectUndecodable();
    bool BodyUndecodable();

    bool Unread() const { return !seen_; }
    void SetUnread(bool unread);
    // Moves the item to "Deleted Items" (created when missing).
    void Remove();
    bool Removed() const { return removed_; }
    // A new item with this item's subject, body and attachments.
    std::unique_ptr<Draft> Forward();

  private:
    friend class Folder;
    MailItem(Folder& folder, std::string id, bool seen);
    const ReceivedMessage& Parsed();
    void CheckPresent() const;

    Folder& folder_;
    std::string id_;
    bool seen_;
    bool removed_ = false;
    std::optional<ReceivedMessage> parsed_;
};

class Folder {
  public:
    ~Folder();
    Folder(const Folder&) = delete;
    Folder& operator=(const Folder&) = delete;

    const std::string& Name() const;
    MailStore& Store() const { return store_; }
    const FolderPath& Path() const { return path_; }
    std::string StoreId() const;

    std::size_t FolderCount();
    Folder& SubFolder(std::size_t index);      // 1-based; EMailError out of range
    Folder& SubFolder(std::string_view name);  // case-insensitive; EMailError when missing
    Folder* FindFolder(std::string_view name);
    Folder& AddFolder(std::string_view name);  // EMailError when it exists or is invalid

    FolderKind Kind();
    int DefaultItemType() { return mail::DefaultItemType(Kind()); }

    // Items of the snapshot, including removed ones (so numbers stay put).
    std::size_t ItemCount();
    std::size_t UnreadCount();
    MailItem& Item(std::size_t index);  // 1-based
    // Contacts of a contacts folder.
    std::size_t ContactCount();
    ContactItem Contact(std::size_t index);  // 1-based
    // Drops the snapshot; the next access numbers the folder's items afresh.
    void Refresh();

    // Stores a message in the folder (used for the Outbox and by tests).
    void AppendMessage(std::string_view raw, bool seen);

  private:
    friend class MailStore;
    friend class MailItem;
    Folder(MailStore& store, FolderPath path);
    void LoadChildren();
    void LoadSnapshot();
    MailItem* FindLoadedItem(std::string_view id);

    MailStore& store_;
    FolderPath path_;
    std::string name_;
    std::optional<std::vector<std::unique_ptr<Folder>>> children_;
    std::size_t visible_count_ = 0;  // children_ beyond this vanished from the store
    std::optional<std::vector<std::unique_ptr<MailItem>>> items_;
    std::optional<std::vector<ContactItem>> contacts_;
};

class MailStore {
  public:
    // The configured store: IMAP when settings.store_url is set, else the
    // embedded Maildir++ store in `mail_root`. The embedded store is created
    // on first use with its standard folders and the list folder.
    static std::unique_ptr<MailStore> Open(const MailSettings& settings,
                                           const std::filesystem::path& mail_root,
                                           std::string_view list_folder);
    static std::unique_ptr<MailStore> OpenMaildir(const MailSettings& settings,
                                                  const std::filesystem::path& root,
                                                  std::string_view list_folder);
    static std::unique_ptr<MailStore> OpenImap(const MailSettings& settings);

    MailStore(std::unique_ptr<StoreBackend> backend, MailSettings settings);
    ~MailStore();

    std::size_t RootCount() const { return 1; }
    Folder& Root(std::size_t index);  // 1-based
    // "<Root>" is the first store; other names match a store's display name.
    Folder& Root(std::string_view name);

    // A new, empty outgoing item (Outlook's CreateItem(0)).
    std::unique_ptr<Draft> CreateItem();

    // An item of a folder that has numbered its items, by its entry id and
    // its store's id (Collaboration Data Objects' GetMessage). EMailError when
    // the store id is another store's or no such item has been seen.
    MailItem& GetMessage(std::string_view entry_id, std::string_view store_id);

    // Contacts whose full name or an address equals `text` (case-insensitive).
    std::vector<ContactItem> FindContacts(std::string_view text);

    const MailSettings& Settings() const { return settings_; }
    StoreBackend& Backend() { return *backend_; }
    std::string StoreId() const { return backend_->StoreId(); }

    // Called while a send waits for the SMTP server (the UI lets its queue run).
    void SetIdle(std::function<void()> idle) { idle_ = std::move(idle); }
    const std::function<void()>& Idle() const { return idle_; }

  private:
    std::unique_ptr<StoreBackend> backend_;
    MailSettings settings_;
    std::unique_ptr<Folder> top_;
    std::function<void()> idle_;
};

class Draft {
  public:
    Draft(MailStore* store, MailSettings settings);

    const std::string& Subject() const { return subject_; }
    void SetSubject(std::string subject) { subject_ = std::move(subject); }
    const std::string& Body() const { return body_; }
    // A plain-text body; the item becomes plain text.
    void SetBody(std::string body);
    const std::string& HtmlBody() const { return html_body_; }
    // An HTML body; the item becomes HTML.
    void SetHtmlBody(std::string html);
    bool IsHtml() const { return html_; }

    // Recipients.Add(text): the text is a name to resolve, or an address.
    Recipient& AddRecipient(std::string_view text);
    Recipient& AddRecipient(std::string_view name, std::string_view address,
                            RecipientType type = RecipientType::kTo);
    // A deque, so a recipient returned by addRecipient stays valid.
    std::deque<Recipient>& Recipients() { return recipients_; }
    // Looks the recipient up in the contacts; an unresolved one stays as typed.
    bool Resolve(Recipient& recipient);
    bool ResolveAll();

    void AddAttachment(std::string_view path, std::string_view display_name = {});
    void AddAttachment(Attachment attachment) { attachments_.push_back(std::move(attachment)); }
    const std::vector<Attachment>& Attachments() const { return attachments_; }

    bool ReadReceipt() const { return read_receipt_; }
    void SetReadReceipt(bool on) { read_receipt_ = on; }

    // The message as it would go out; EMailError for a recipient without an
    // address.
    OutgoingMessage Message() const;
    // Through the configured SMTP server, or into the store's "Outbox" when
    // none is set. Throws EMailError on any failure.
    void Send();
    // Writes the item as an .eml file and opens it with the desktop's viewer;
    // returns the file's path.
    std::filesystem::path Display();

  private:
    MailStore* store_;
    MailSettings settings_;
    std::string subject_, body_, html_body_;
    bool html_ = false;
    bool read_receipt_ = false;
    std::deque<Recipient> recipients_;
    std::vector<Attachment> attachments_;
};

}  // namespace mail
