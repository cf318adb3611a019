// IMAP and IMAPS stores through vmime. Messages are addressed by UID, which
// an expunge never changes, so a removal during a walk needs no renumbering.

#include <algorithm>
#include <map>
#include <stdexcept>

#include <vmime/net/imap/IMAPFolder.hpp>

#include "platform/mail/mail_error.h"
#include "platform/mail/received_message.h"
#include "platform/mail/store_backend.h"
#include "platform/mail/vmime_support.h"
#include "platform/nls/text.h"

namespace mail {

namespace {

namespace vnet = vmime::net;

class ImapBackend : public StoreBackend {
  public:
    explicit ImapBackend(const MailSettings& settings) : timeout_(settings.store_timeout) {
        detail::EnsureVmime();
        Guard([&] {
            vmime::utility::url url(settings.store_url);
            const std::string protocol = platform::nls::AsciiLower(url.getProtocol());
            if (protocol != "imap" && protocol != "imaps") {
                // Shown without its password, which the address may carry.
                vmime::utility::url shown = url;
                shown.setPassword("");
                throw EMailError("The mail store address \"" + static_cast<std::string>(shown) +
                                 "\" is not an imap:// or imaps:// address");
            }
            const bool given = url.getPort() != vmime::utility::url::UNSPECIFIED_PORT;
            server_ = {"IMAP", url.getHost(),
                       static_cast<std::uint16_t>(given                 ? url.getPort()
                                                  : protocol == "imaps" ? 993
                                                                        : 143)};
            session_ = vnet::session::create();
            const std::string user = url.getUsername();
            const std::string password = url.getPassword();
            url.setUsername("");
            url.setPassword("");
            store_ = session_->getStore(url);
            store_->setProperty("auth.username", user);
            store_->setProperty("auth.password", password);
            store_->setProperty("connection.tls", protocol == "imap");
            store_->setCertificateVerifier(settings.verify_certificates && protocol == "imaps"
                                               ? detail::SystemCertificateVerifier()
                                               : detail::AcceptAnyCertificate());
            store_->setTimeoutHandlerFactory(detail::MakeTimeoutFactory(deadline_));
            store_->connect();
            display_name_ = user + "@" + url.getHost();
            store_id_ = protocol + "://" + display_name_ + ":" + std::to_string(url.getPort());
        });
    }

    ~ImapBackend() override {
        deadline_->Set(std::chrono::steady_clock::now() + std::chrono::seconds(5));
        try {
            for (auto& [name, folder] : open_) {
                if (folder->isOpen())
                    folder->close(false);
            }
        } catch (...) {
            // Closing is a courtesy; a server that went away refuses it.
        }
        try {
            if (store_ && store_->isConnected())
                store_->disconnect();
        } catch (...) {
        }
        // The store goes first: vmime's store keeps plain pointers to its
        // folders, and a folder whose close failed is destroyed without
        // leaving that list, so the store would later write into the freed
        // folder. A store that goes first detaches the folders it knows.
        store_.reset();
        open_.clear();
    }

    std::string DisplayName() const override { return display_name_; }
    std::string StoreId() const override { return store_id_; }

    std::vector<std::string> ListFolders(const FolderPath& parent) override {
        std::vector<std::string> names;
        Guard([&] {
            auto folder =
                parent.empty() ? store_->getRootFolder() : store_->getFolder(PathOf(parent));
            for (const auto& child : folder->getFolders(false)) {
                names.push_back(child->getName().getConvertedText(vmime::charsets::UTF_8));
            }
        });
        return names;
    }

    void CreateFolder(const FolderPath& path) override {
        for (const auto& name : path) {
            if (name.empty() || name.find_first_of("/\r\n") != std::string::npos) {
                throw EMailError("The folder name \"" + name + "\" cannot be used");
            }
        }
        Guard([&] {
            for (std::size_t depth = 1; depth <= path.size(); ++depth) {
                auto folder = store_->getFolder(
                    PathOf(FolderPath(path.begin(), path.begin() + static_cast<long>(depth))));
                if (!folder->exists()) {
                    // Without "contains folders": vmime would then append the hierarchy
                    // separator, which Dovecot refuses after a name with "&" or a
                    // non-ASCII character. A folder made without it still takes
                    // sub-folders.
                    vnet::folderAttributes attributes;
                    attributes.setType(vnet::folderAttributes::TYPE_CONTAINS_MESSAGES);
                    folder->create(attributes);
                }
            }
        });
    }

    bool IsContactsFolder(const FolderPath& path) override {
        return !path.empty() && SameFolderName(path.back(), "Contacts");
    }

    std::vector<MessageEntry> Snapshot(const FolderPath& path) override {
        std::vector<std::pair<unsigned long long, MessageEntry>> found;
        std::vector<std::string> deleted;
        Guard([&] {
            auto folder = Opened(path);
            // The count is the one the server last told this connection; mail that
            // another client added or expunged since then shows only after a round trip.
            // After an expunge that emptied the folder the connection's own count
            // can still say one, and "1:*" of an empty folder is refused: the server
            // is asked for the count.
            std::size_t count = 0, unseen = 0;
            if (auto imap = vmime::dynamicCast<vmime::net::imap::IMAPFolder>(folder)) {
                imap->noop();
                imap->status(count, unseen);
            } else {
                count = folder->getMessageCount();
            }
            if (count == 0)
                return;
            auto messages = folder->getMessages(vnet::messageSet::byNumber(1, -1));
            folder->fetchMessages(messages, vnet::fetchAttributes(vnet::fetchAttributes::UID |
                                                                  vnet::fetchAttributes::FLAGS));
            for (const auto& message : messages) {
                const std::string uid = message->getUID();
                const int flags = message->getFlags();
                if (flags & vnet::message::FLAG_DELETED) {
                    deleted.push_back(uid);
                    continue;
                }
                found.push_back({std::stoull(uid), {uid, (flags & vnet::message::FLAG_SEEN) != 0}});
            }
        });
        flagged_deleted_[Key(path)] = std::move(deleted);
        std::sort(found.begin(), found.end(),
                  [](const auto& a, const auto& b) { return a.first < b.first; });
        std::vector<MessageEntry> entries;
        for (auto& [uid, entry] : found)
            entries.push_back(std::move(entry));
        return entries;
    }

    std::size_t UnreadCount(const FolderPath& path) override {
        std::size_t count = 0, unseen = 0;
        Guard([&] { Opened(path)->status(count, unseen); });
        return unseen;
    }

    std::string Fetch(const FolderPath& path, const std::string& id) override {
        std::string raw;
        Guard([&] {
            auto messages = Opened(path)->getMessages(vnet::messageSet::byUID(id));
            if (messages.empty())
                throw EMailError("The message is no longer in the folder");
            vmime::utility::outputStreamStringAdapter stream(raw);
            messages.front()->extract(stream, nullptr, 0, static_cast<std::size_t>(-1), true);
        });
        return raw;
    }

    void SetSeen(const FolderPath& path, const std::string& id, bool seen) override {
        Guard([&] {
            Opened(path)->setMessageFlags(
                vnet::messageSet::byUID(id), vnet::message::FLAG_SEEN,
                seen ? vnet::message::FLAG_MODE_ADD : vnet::message::FLAG_MODE_REMOVE);
        });
    }

    void Move(const FolderPath& from, const std::string& id, const FolderPath& to) override {
        CreateFolder(to);
        Guard([&] {
            auto folder = Opened(from);
            const auto set = vnet::messageSet::byUID(id);
            folder->copyMessages(PathOf(to), set);
            // An expunge removes every message flagged deleted, also those another
            // mail program flagged and keeps until it compacts the folder: they
            // lose the flag for the expunge and get it back after it.
            std::vector<vnet::message::uid> spared;
            for (const auto& uid : flagged_deleted_[Key(from)]) {
                if (uid != id)
                    spared.emplace_back(uid);
            }
            const auto spared_set = vnet::messageSet::byUID(spared);
            if (!spared.empty()) {
                folder->setMessageFlags(spared_set, vnet::message::FLAG_DELETED,
                                        vnet::message::FLAG_MODE_REMOVE);
            }
            folder->setMessageFlags(set, vnet::message::FLAG_DELETED, vnet::message::FLAG_MODE_ADD);
            folder->expunge();
            if (!spared.empty()) {
                folder->setMessageFlags(spared_set, vnet::message::FLAG_DELETED,
                                        vnet::message::FLAG_MODE_ADD);
            }
        });
    }

    void Append(const FolderPath& path, std::string_view raw, bool seen) override {
        Guard([&] {
            const std::string text(raw);
            vmime::utility::inputStreamStringAdapter stream(text);
            Opened(path)->addMessage(stream, text.size(), seen ? vnet::message::FLAG_SEEN : 0);
        });
    }

    std::vector<std::string> ContactCards(const FolderPath& path) override {
        std::vector<std::string> cards;
        for (const auto& entry : Snapshot(path)) {
            for (const auto& attachment : ParseMessage(Fetch(path, entry.id)).attachments) {
                const std::string type = platform::nls::AsciiLower(attachment.media_type);
                const std::string name = platform::nls::AsciiLower(attachment.display_name);
                if (type.find("vcard") != std::string::npos ||
                    (name.size() > 4 && name.compare(name.size() - 4, 4, ".vcf") == 0)) {
                    cards.push_back(attachment.data.value_or(""));
                }
            }
        }
        return cards;
    }

  private:
    static vnet::folder::path PathOf(const FolderPath& path) {
        vnet::folder::path result;
        for (const auto& name : path) {
            result.appendComponent(vnet::folder::path::component(name, vmime::charsets::UTF_8));
        }
        return result;
    }

    static std::string Key(const FolderPath& path) {
        std::string key;
        for (const auto& name : path)
            key += name + '\n';
        return key;
    }

    vmime::shared_ptr<vnet::folder> Opened(const FolderPath& path) {
        const std::string key = Key(path);
        auto found = open_.find(key);
        if (found != open_.end() && found->second->isOpen())
            return found->second;
        auto folder = store_->getFolder(PathOf(path));
        if (!folder->exists())
            throw EMailError("The mail folder does not exist");
        folder->open(vnet::folder::MODE_READ_WRITE);
        open_[key] = folder;
        return folder;
    }

    // Plain words for the failures a user can mend, naming the server.
    std::string Cause(const vmime::exception& e) const {
        if (dynamic_cast<const vmime::security::cert::certificateException*>(&e))
            return detail::UntrustedCertificateCause(server_);
        // The server's answer is in vmime's text already.
        if (dynamic_cast<const vmime::exceptions::authentication_error*>(&e))
            return detail::LoginRefusedCause(server_, {});
        if (dynamic_cast<const vmime::exceptions::socket_exception*>(&e))
            return detail::UnreachableCause(server_, timeout_);
        return server_.host.empty() ? std::string() : "(" + server_.Label() + ")";
    }

    template <class Work>
    void Guard(Work&& work) {
        deadline_->Reset();
        deadline_->Set(std::chrono::steady_clock::now() + timeout_);
        try {
            work();
        } catch (const vmime::exceptions::operation_timed_out&) {
            throw EMailError(detail::WithCause("The mail server did not answer in time",
                                               detail::NoAnswerCause(server_, timeout_)));
        } catch (const vmime::exception& e) {
            throw EMailError(detail::WithCause(
                "The mail server reported: " + detail::DescribeVmimeError(e), Cause(e)));
        } catch (const EMailError&) {
            throw;
        } catch (const std::logic_error& e) {
            // vmime's own string handling, and ours, give up on some malformed
            // answers with a standard exception rather than vmime's.
            throw EMailError(std::string("The mail server's answer cannot be read: ") + e.what());
        }
    }

    std::chrono::milliseconds timeout_;
    detail::ServerName server_{"IMAP", {}, 0};
    std::shared_ptr<detail::Deadline> deadline_ = std::make_shared<detail::Deadline>();
    vmime::shared_ptr<vnet::session> session_;
    vmime::shared_ptr<vnet::store> store_;
    std::map<std::string, vmime::shared_ptr<vnet::folder>> open_;
    // By folder: the messages its last snapshot found flagged deleted.
    std::map<std::string, std::vector<std::string>> flagged_deleted_;
    std::string display_name_;
    std::string store_id_;
};

}  // namespace

std::unique_ptr<StoreBackend> OpenImapBackend(const MailSettings& settings) {
    return std::make_unique<ImapBackend>(settings);
}

}  // namespace mail
