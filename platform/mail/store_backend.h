#pragma once

// What a mail store offers the object model above it: folders by path, and
// messages by a stable id (a Maildir file's unique name, an IMAP UID) that
// deleting other messages never changes.

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/mail/mail_settings.h"

namespace mail {

// Folder names from the top of the store down; empty is the store itself.
using FolderPath = std::vector<std::string>;

struct MessageEntry {
    std::string id;
    bool seen = false;
};

class StoreBackend {
  public:
    virtual ~StoreBackend() = default;

    virtual std::string DisplayName() const = 0;
    virtual std::string StoreId() const = 0;

    // The names of the folders directly below `parent`, in display order.
    virtual std::vector<std::string> ListFolders(const FolderPath& parent) = 0;
    // Creates the folder (and missing parents). Throws EMailError for a name
    // the store cannot hold.
    virtual void CreateFolder(const FolderPath& path) = 0;
    virtual bool IsContactsFolder(const FolderPath& path) = 0;

    // Every message of the folder, oldest first.
    virtual std::vector<MessageEntry> Snapshot(const FolderPath& path) = 0;
    virtual std::size_t UnreadCount(const FolderPath& path) = 0;
    // The message as stored; EMailError when it is gone.
    virtual std::string Fetch(const FolderPath& path, const std::string& id) = 0;
    virtual void SetSeen(const FolderPath& path, const std::string& id, bool seen) = 0;
    virtual void Move(const FolderPath& from, const std::string& id, const FolderPath& to) = 0;
    virtual void Append(const FolderPath& path, std::string_view raw, bool seen) = 0;

    // While deferred, moves and flag changes are made durable together by
    // SyncChanges() instead of one by one: a walk over thousands of messages
    // then syncs each folder it touched once per batch. A store whose server
    // keeps its own changes has nothing to sync.
    virtual void DeferSyncs(bool /*deferred*/) {}
    virtual void SyncChanges() {}

    // The vCard texts held by a contacts folder.
    virtual std::vector<std::string> ContactCards(const FolderPath& path) = 0;
};

// A Maildir++ tree at `root` (created when missing). The store's top holds
// "Inbox" (the root Maildir itself) and one entry per top-level folder.
// Our own reader rather than vmime's Maildir provider: vmime numbers a folder's
// messages and renumbers them after a delete, while the application walks and
// deletes by item and needs ids that stay the same (the file name's unique part).
std::unique_ptr<StoreBackend> OpenMaildirBackend(const std::filesystem::path& root,
                                                 std::string display_name);

// An IMAP or IMAPS account from settings.store_url; connects at once and
// throws EMailError when that fails.
std::unique_ptr<StoreBackend> OpenImapBackend(const MailSettings& settings);

// Case-insensitive (ASCII) name comparison, as mail clients match folders.
bool SameFolderName(std::string_view a, std::string_view b);

}  // namespace mail
