#include "platform/mail/simple_mapi_provider.h"

#include <spawn.h>
#include <sys/wait.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>

#include "platform/mail/delivery.h"
#include "platform/mail/mail_error.h"
#include "platform/mail/mail_store.h"
#include "platform/nls/text.h"

extern char** environ;

namespace mail {

namespace {

namespace fs = std::filesystem;

constexpr std::string_view kEntryIdPrefix = "CVEID1:";

std::string Text(const char* text) {
    return text ? std::string(text) : std::string();
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() &&
           platform::nls::SameTextAscii(text.substr(0, prefix.size()), prefix);
}

// One recipient's address: its address field without one "SMTP:" prefix, or
// its entry id, or its name when that is an address. Empty when none.
std::string AddressOf(const MapiRecipDesc& recip) {
    std::string address = Text(recip.lpszAddress);
    if (StartsWithNoCase(address, "SMTP:"))
        address = address.substr(5);
    if (address.empty() && recip.lpEntryID && recip.ulEIDSize > 0) {
        address = MapiProvider::AddressOfEntryId(recip.lpEntryID, recip.ulEIDSize);
    }
    if (address.empty() && Text(recip.lpszName).find('@') != std::string::npos) {
        address = Text(recip.lpszName);
    }
    return address;
}

ULONG RunComposer(const std::string& command, const OutgoingMessage& message) {
    std::vector<std::string> args{command};
    for (const auto& box : message.cc)
        args.insert(args.end(), {"--cc", box.address});
    for (const auto& box : message.bcc)
        args.insert(args.end(), {"--bcc", box.address});
    if (!message.subject.empty())
        args.insert(args.end(), {"--subject", message.subject});
    if (!message.body.empty())
        args.insert(args.end(), {"--body", message.body});
    for (const auto& attachment : message.attachments) {
        args.insert(args.end(), {"--attach", attachment.path});
    }
    for (const auto& box : message.to)
        args.push_back(box.address);
    std::vector<char*> argv;
    for (auto& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawnp(&pid, command.c_str(), nullptr, nullptr, argv.data(), environ) != 0) {
        return MAPI_E_FAILURE;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? SUCCESS_SUCCESS : MAPI_E_FAILURE;
}

// One block holding the descriptor and its texts, so one free releases all.
MapiRecipDesc* NewRecipDesc(const std::string& name, const std::string& address,
                            const std::string& entry_id) {
    const std::string smtp = "SMTP:" + address;
    const std::size_t size =
        sizeof(MapiRecipDesc) + name.size() + 1 + smtp.size() + 1 + entry_id.size();
    auto* block = static_cast<unsigned char*>(std::calloc(1, size));
    if (!block)
        return nullptr;
    auto* recip = reinterpret_cast<MapiRecipDesc*>(block);
    char* cursor = reinterpret_cast<char*>(block + sizeof(MapiRecipDesc));
    recip->ulRecipClass = MAPI_TO;
    recip->lpszName = cursor;
    std::memcpy(cursor, name.c_str(), name.size() + 1);
    cursor += name.size() + 1;
    recip->lpszAddress = cursor;
    std::memcpy(cursor, smtp.c_str(), smtp.size() + 1);
    cursor += smtp.size() + 1;
    recip->ulEIDSize = static_cast<ULONG>(entry_id.size());
    recip->lpEntryID = cursor;
    std::memcpy(cursor, entry_id.data(), entry_id.size());
    return recip;
}

template <class Fn>
void Bind(const LoadedModule& module, const char* name, Fn& target) {
    target = reinterpret_cast<Fn>(module.Symbol(name));
    if (!target) {
        throw EMailError("The Simple-MAPI module " + module.path() + " has no " + name);
    }
}

}  // namespace

MapiLibrary::MapiLibrary(std::unique_ptr<LoadedModule> module) : module_(std::move(module)) {
    Bind(*module_, "MAPIFindNext", find_next_);
    Bind(*module_, "MAPILogoff", logoff_);
    Bind(*module_, "MAPILogon", logon_);
    Bind(*module_, "MAPISendMail", send_mail_);
    Bind(*module_, "MAPIReadMail", read_mail_);
    Bind(*module_, "MAPIDeleteMail", delete_mail_);
    Bind(*module_, "MAPIResolveName", resolve_name_);
    Bind(*module_, "MAPIFreeBuffer", free_buffer_);
    Bind(*module_, "MAPIAddress", address_);
    Bind(*module_, "MAPISaveMail", save_mail_);
    configure_ = reinterpret_cast<LPMAPICONFIGURE>(module_->Symbol("MAPIConfigure"));
}

std::unique_ptr<MapiLibrary> MapiLibrary::Load(const std::vector<std::string>& candidates) {
    auto module = LoadedModule::Load(candidates);
    if (!module)
        return nullptr;
    return std::unique_ptr<MapiLibrary>(new MapiLibrary(std::move(module)));
}

void ConfigureMapiModule(LPMAPICONFIGURE configure, const MailSettings& settings,
                         const fs::path& mail_root) {
    if (configure == nullptr)
        return;
    const std::string root = mail_root.string();
    CorvaneMapiSettings c{};
    c.cbSize = sizeof c;
    c.smtpHost = settings.smtp_host.c_str();
    c.smtpPort = settings.smtp_port;
    c.smtpSecurity = static_cast<int32_t>(settings.smtp_security);
    c.smtpUser = settings.smtp_user.c_str();
    c.smtpPassword = settings.smtp_password.c_str();
    c.fromAddress = settings.from_address.c_str();
    c.fromName = settings.from_name.c_str();
    c.storeUrl = settings.store_url.c_str();
    c.mailRoot = root.c_str();
    c.connectTimeoutMs = static_cast<uint32_t>(settings.connect_timeout.count());
    c.deliverTimeoutMs = static_cast<uint32_t>(settings.deliver_timeout.count());
    c.composeCommand = settings.compose_command.c_str();
    c.verifyCertificates = settings.verify_certificates ? 1 : 0;
    configure(&c);
}

void MapiLibrary::Configure(const MailSettings& settings, const fs::path& mail_root) const {
    ConfigureMapiModule(configure_, settings, mail_root);
}

ULONG MapiLibrary::Logon(ULONG_PTR ui, const char* profile, const char* password, FLAGS flags,
                         ULONG reserved, LHANDLE* session) {
    return logon_(ui, profile, password, flags, reserved, session);
}
ULONG MapiLibrary::Logoff(LHANDLE session, ULONG_PTR ui, FLAGS flags, ULONG reserved) {
    return logoff_(session, ui, flags, reserved);
}
ULONG MapiLibrary::SendMail(LHANDLE session, ULONG_PTR ui, const MapiMessage* message, FLAGS flags,
                            ULONG reserved) {
    return send_mail_(session, ui, message, flags, reserved);
}
ULONG MapiLibrary::ResolveName(LHANDLE session, ULONG_PTR ui, const char* name, FLAGS flags,
                               ULONG reserved, MapiRecipDesc** recip) {
    return resolve_name_(session, ui, name, flags, reserved, recip);
}
ULONG MapiLibrary::FreeBuffer(void* buffer) {
    return free_buffer_(buffer);
}
ULONG MapiLibrary::Address(LHANDLE session, ULONG_PTR ui, const char* caption, ULONG edit_fields,
                           const char* labels, ULONG recip_count, MapiRecipDesc* recips,
                           FLAGS flags, ULONG reserved, ULONG* new_count,
                           MapiRecipDesc** new_recips) {
    return address_(session, ui, caption, edit_fields, labels, recip_count, recips, flags, reserved,
                    new_count, new_recips);
}
ULONG MapiLibrary::FindNext(LHANDLE session, ULONG_PTR ui, const char* message_type,
                            const char* seed_id, FLAGS flags, ULONG reserved, char* message_id) {
    return find_next_(session, ui, message_type, seed_id, flags, reserved, message_id);
}
ULONG MapiLibrary::ReadMail(LHANDLE session, ULONG_PTR ui, const char* message_id, FLAGS flags,
                            ULONG reserved, MapiMessage** message) {
    return read_mail_(session, ui, message_id, flags, reserved, message);
}
ULONG MapiLibrary::DeleteMail(LHANDLE session, ULONG_PTR ui, const char* message_id, FLAGS flags,
                              ULONG reserved) {
    return delete_mail_(session, ui, message_id, flags, reserved);
}
ULONG MapiLibrary::SaveMail(LHANDLE session, ULONG_PTR ui, const MapiMessage* message, FLAGS flags,
                            ULONG reserved, char* message_id) {
    return save_mail_(session, ui, message, flags, reserved, message_id);
}

MapiProvider::~MapiProvider() {
    for (void* block : allocations_)
        std::free(block);
}

void MapiProvider::Configure(MailSettings settings, fs::path mail_root) {
    std::lock_guard lock(mutex_);
    settings_ = std::move(settings);
    mail_root_ = std::move(mail_root);
}

std::string MapiProvider::EntryIdFor(const std::string& address) {
    return std::string(kEntryIdPrefix) + address;
}

std::string MapiProvider::AddressOfEntryId(const void* entry_id, ULONG size) {
    const std::string_view id(static_cast<const char*>(entry_id), size);
    if (id.size() <= kEntryIdPrefix.size() ||
        id.substr(0, kEntryIdPrefix.size()) != kEntryIdPrefix) {
        return {};
    }
    return std::string(id.substr(kEntryIdPrefix.size()));
}

bool MapiProvider::SessionValid(LHANDLE session) {
    std::lock_guard lock(mutex_);
    return session == 0 || sessions_.count(session) != 0;
}

ULONG MapiProvider::Logon(ULONG_PTR, const char*, const char*, FLAGS, ULONG, LHANDLE* session) {
    if (!session)
        return MAPI_E_FAILURE;
    std::lock_guard lock(mutex_);
    *session = next_session_++;
    sessions_.insert(*session);
    return SUCCESS_SUCCESS;
}

ULONG MapiProvider::Logoff(LHANDLE session, ULONG_PTR, FLAGS, ULONG) {
    std::lock_guard lock(mutex_);
    return sessions_.erase(session) ? SUCCESS_SUCCESS : MAPI_E_INVALID_SESSION;
}

ULONG MapiProvider::SendMail(LHANDLE session, ULONG_PTR, const MapiMessage* message, FLAGS flags,
                             ULONG) {
    if (!SessionValid(session))
        return MAPI_E_INVALID_SESSION;
    if (!message)
        return MAPI_E_FAILURE;
    if (message->nRecipCount > 0 && !message->lpRecips)
        return MAPI_E_INVALID_RECIPS;
    if (message->nFileCount > 0 && !message->lpFiles)
        return MAPI_E_ATTACHMENT_NOT_FOUND;
    MailSettings settings;
    fs::path mail_root;
    {
        std::lock_guard lock(mutex_);
        settings = settings_;
        mail_root = mail_root_;
    }

    OutgoingMessage outgoing;
    outgoing.subject = Text(message->lpszSubject);
    outgoing.body = Text(message->lpszNoteText);
    outgoing.read_receipt = (message->flFlags & MAPI_RECEIPT_REQUESTED) != 0;
    outgoing.from = {settings.from_name, settings.from_address};
    if (outgoing.from.address.empty() && message->lpOriginator) {
        outgoing.from = {Text(message->lpOriginator->lpszName), AddressOf(*message->lpOriginator)};
    }
    for (ULONG i = 0; i < message->nRecipCount; ++i) {
        const MapiRecipDesc& recip = message->lpRecips[i];
        if (recip.ulRecipClass == MAPI_ORIG)
            continue;
        if (recip.ulRecipClass > MAPI_BCC)
            return MAPI_E_BAD_RECIPTYPE;
        std::string address = AddressOf(recip);
        if (address.empty())
            return MAPI_E_UNKNOWN_RECIPIENT;
        std::string name = Text(recip.lpszName);
        bool plain = true;
        try {
            CheckEnvelopeAddress(address);
        } catch (const EMailError&) {
            plain = false;
        }
        // A name written with the address goes out as the display name.
        const auto one_off = WrittenMailbox(address, !plain);
        if (one_off) {
            if (name.empty() || name == Text(recip.lpszAddress) || name == address)
                name = one_off->name;
            address = one_off->address;
        } else if (!plain || address.find(':') != std::string::npos) {
            return MAPI_E_INVALID_RECIPS;
        }
        try {
            CheckHeaderValue("recipient name", name);
        } catch (const EMailError&) {
            return MAPI_E_INVALID_RECIPS;
        }
        if (name == address || StartsWithNoCase(name, "SMTP:"))
            name.clear();
        Mailbox box{name, address};
        (recip.ulRecipClass == MAPI_TO   ? outgoing.to
         : recip.ulRecipClass == MAPI_CC ? outgoing.cc
                                         : outgoing.bcc)
            .push_back(box);
    }
    for (ULONG i = 0; i < message->nFileCount; ++i) {
        const MapiFileDesc& file = message->lpFiles[i];
        const std::string path = Text(file.lpszPathName);
        std::error_code error;
        if (path.empty() || !fs::is_regular_file(path, error))
            return MAPI_E_ATTACHMENT_NOT_FOUND;
        Attachment attachment;
        attachment.path = path;
        attachment.display_name =
            file.lpszFileName && *file.lpszFileName ? Text(file.lpszFileName) : FileNamePart(path);
        outgoing.attachments.push_back(std::move(attachment));
    }

    if (flags & MAPI_DIALOG)
        return RunComposer(settings.compose_command, outgoing);
    if (outgoing.to.empty() && outgoing.cc.empty() && outgoing.bcc.empty()) {
        return MAPI_E_UNKNOWN_RECIPIENT;
    }
    try {
        for (const auto& attachment : outgoing.attachments) {
            if (!std::ifstream(attachment.path))
                return MAPI_E_ATTACHMENT_OPEN_FAILURE;
        }
        std::unique_ptr<MailStore> store;
        if (settings.smtp_host.empty() && (!settings.store_url.empty() || !mail_root.empty())) {
            store = MailStore::Open(settings, mail_root, "");
        }
        if (outgoing.from.address.empty())
            return MAPI_E_LOGIN_FAILURE;
        DeliverMessage(settings, outgoing, store.get());
        return SUCCESS_SUCCESS;
    } catch (const std::bad_alloc&) {
        return MAPI_E_INSUFFICIENT_MEMORY;
    } catch (const std::exception&) {
        return MAPI_E_FAILURE;
    }
}

ULONG MapiProvider::ResolveName(LHANDLE session, ULONG_PTR, const char* name, FLAGS, ULONG,
                                MapiRecipDesc** recip) {
    if (!recip)
        return MAPI_E_FAILURE;
    *recip = nullptr;
    if (!SessionValid(session))
        return MAPI_E_INVALID_SESSION;
    std::string wanted = Text(name);
    if (StartsWithNoCase(wanted, "SMTP:"))
        wanted = wanted.substr(5);
    if (wanted.empty() || wanted.find_first_of("\r\n") != std::string::npos) {
        return MAPI_E_UNKNOWN_RECIPIENT;
    }
    MailSettings settings;
    fs::path mail_root;
    {
        std::lock_guard lock(mutex_);
        settings = settings_;
        mail_root = mail_root_;
    }
    std::string display = wanted, address;
    std::vector<ContactItem> contacts;
    try {
        if (!settings.store_url.empty() || !mail_root.empty()) {
            contacts = MailStore::Open(settings, mail_root, "")->FindContacts(wanted);
        }
    } catch (const std::exception&) {
        contacts.clear();  // without a store, only addresses resolve
    }
    if (contacts.size() > 1)
        return MAPI_E_AMBIGUOUS_RECIPIENT;
    if (contacts.size() == 1 && contacts[0].email1.find('@') != std::string::npos) {
        display = contacts[0].full_name.empty() ? contacts[0].email1 : contacts[0].full_name;
        address = contacts[0].email1;
    } else if (const auto one_off = WrittenMailbox(wanted)) {
        // "Name [address]" or "Name <address>" names its own address.
        display = one_off->name.empty() ? one_off->address : one_off->name;
        address = one_off->address;
    } else {
        try {
            CheckEnvelopeAddress(wanted);
            address = wanted;
        } catch (const EMailError&) {
            return MAPI_E_UNKNOWN_RECIPIENT;
        }
    }
    MapiRecipDesc* block = NewRecipDesc(display, address, EntryIdFor(address));
    if (!block)
        return MAPI_E_INSUFFICIENT_MEMORY;
    std::lock_guard lock(mutex_);
    allocations_.insert(block);
    *recip = block;
    return SUCCESS_SUCCESS;
}

ULONG MapiProvider::FreeBuffer(void* buffer) {
    if (!buffer)
        return SUCCESS_SUCCESS;
    std::lock_guard lock(mutex_);
    // Only blocks this provider handed out; anything else is refused, not freed.
    if (!allocations_.erase(buffer))
        return MAPI_E_FAILURE;
    std::free(buffer);
    return SUCCESS_SUCCESS;
}

std::vector<ContactItem> StoreContacts(MailStore& store) {
    std::vector<ContactItem> contacts;
    Folder& root = store.Root(1);
    for (std::size_t i = 1; i <= root.FolderCount(); ++i) {
        Folder& folder = root.SubFolder(i);
        if (folder.Kind() != FolderKind::kContacts)
            continue;
        for (std::size_t j = 1; j <= folder.ContactCount(); ++j)
            contacts.push_back(folder.Contact(j));
    }
    return contacts;
}

void MapiProvider::SetAddressBookUi(AddressBookUi ui) {
    std::lock_guard lock(mutex_);
    address_book_ = std::move(ui);
}

ULONG MapiProvider::Address(LHANDLE session, ULONG_PTR, const char*, ULONG, const char*,
                            ULONG recip_count, MapiRecipDesc* recips, FLAGS, ULONG,
                            ULONG* new_count, MapiRecipDesc** new_recips) {
    if (new_count)
        *new_count = 0;
    if (new_recips)
        *new_recips = nullptr;
    if (!new_count || !new_recips)
        return MAPI_E_FAILURE;
    if (!SessionValid(session))
        return MAPI_E_INVALID_SESSION;
    MailSettings settings;
    fs::path mail_root;
    AddressBookUi ui;
    {
        std::lock_guard lock(mutex_);
        settings = settings_;
        mail_root = mail_root_;
        ui = address_book_;
    }
    if (!ui)
        return MAPI_E_NOT_SUPPORTED;
    AddressBookChoice preset;
    for (ULONG i = 0; recips != nullptr && i < recip_count; ++i) {
        std::string address = Text(recips[i].lpszAddress);
        if (StartsWithNoCase(address, "SMTP:"))
            address = address.substr(5);
        Mailbox box{Text(recips[i].lpszName), address};
        if (recips[i].ulRecipClass == MAPI_TO)
            preset.to.push_back(std::move(box));
        else if (recips[i].ulRecipClass == MAPI_CC)
            preset.cc.push_back(std::move(box));
    }
    std::vector<ContactItem> contacts;
    try {
        if (!settings.store_url.empty() || !mail_root.empty())
            contacts = StoreContacts(*MailStore::Open(settings, mail_root, ""));
    } catch (const std::exception&) {
        contacts.clear();  // a store that cannot be read has no contacts to offer
    }
    const std::optional<AddressBookChoice> chosen = ui(contacts, preset);
    if (!chosen)
        return MAPI_USER_ABORT;
    // One block: the records, then their texts. A name is what the caller's
    // lists show: the contact's name with its address.
    struct Entry {
        ULONG recip_class;
        std::string name, address;
    };
    std::vector<Entry> entries;
    for (const auto& [recip_class, list] :
         {std::pair{ULONG{MAPI_TO}, &chosen->to}, std::pair{ULONG{MAPI_CC}, &chosen->cc}}) {
        for (const Mailbox& box : *list) {
            entries.push_back({recip_class,
                               box.name.empty() ? box.address : box.name + " <" + box.address + ">",
                               "SMTP:" + box.address});
        }
    }
    if (entries.empty())
        return SUCCESS_SUCCESS;
    std::size_t size = entries.size() * sizeof(MapiRecipDesc);
    for (const Entry& entry : entries)
        size += entry.name.size() + 1 + entry.address.size() + 1;
    auto* block = static_cast<unsigned char*>(std::calloc(1, size));
    if (!block)
        return MAPI_E_INSUFFICIENT_MEMORY;
    auto* records = reinterpret_cast<MapiRecipDesc*>(block);
    char* cursor = reinterpret_cast<char*>(block + entries.size() * sizeof(MapiRecipDesc));
    for (std::size_t i = 0; i < entries.size(); ++i) {
        records[i].ulRecipClass = entries[i].recip_class;
        records[i].lpszName = cursor;
        std::memcpy(cursor, entries[i].name.c_str(), entries[i].name.size() + 1);
        cursor += entries[i].name.size() + 1;
        records[i].lpszAddress = cursor;
        std::memcpy(cursor, entries[i].address.c_str(), entries[i].address.size() + 1);
        cursor += entries[i].address.size() + 1;
    }
    std::lock_guard lock(mutex_);
    allocations_.insert(block);
    *new_count = static_cast<ULONG>(entries.size());
    *new_recips = records;
    return SUCCESS_SUCCESS;
}

ULONG MapiProvider::FindNext(LHANDLE, ULONG_PTR, const char*, const char*, FLAGS, ULONG, char*) {
    return MAPI_E_NOT_SUPPORTED;
}

ULONG MapiProvider::ReadMail(LHANDLE, ULONG_PTR, const char*, FLAGS, ULONG, MapiMessage** message) {
    if (message)
        *message = nullptr;
    return MAPI_E_NOT_SUPPORTED;
}

ULONG MapiProvider::DeleteMail(LHANDLE, ULONG_PTR, const char*, FLAGS, ULONG) {
    return MAPI_E_NOT_SUPPORTED;
}

ULONG MapiProvider::SaveMail(LHANDLE, ULONG_PTR, const MapiMessage*, FLAGS, ULONG, char*) {
    return MAPI_E_NOT_SUPPORTED;
}

}  // namespace mail
