#pragma once

// Simple MAPI as a C++ interface: what the mail components call. Three
// implementations: the mapi32 module loaded at run time (MapiLibrary), the
// provider inside that module (MapiProvider), and a recording fake for tests
// (RecordingSimpleMapi).

#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/mail/loaded_module.h"
#include "platform/mail/mail_settings.h"
#include "platform/mail/mail_store.h"
#include "platform/mail/outgoing_message.h"
#include "platform/mail/simple_mapi.h"

namespace mail {

class SimpleMapi {
  public:
    virtual ~SimpleMapi() = default;
    virtual ULONG Logon(ULONG_PTR ui, const char* profile, const char* password, FLAGS flags,
                        ULONG reserved, LHANDLE* session) = 0;
    virtual ULONG Logoff(LHANDLE session, ULONG_PTR ui, FLAGS flags, ULONG reserved) = 0;
    virtual ULONG SendMail(LHANDLE session, ULONG_PTR ui, const MapiMessage* message, FLAGS flags,
                           ULONG reserved) = 0;
    virtual ULONG ResolveName(LHANDLE session, ULONG_PTR ui, const char* name, FLAGS flags,
                              ULONG reserved, MapiRecipDesc** recip) = 0;
    virtual ULONG FreeBuffer(void* buffer) = 0;
    virtual ULONG Address(LHANDLE session, ULONG_PTR ui, const char* caption, ULONG edit_fields,
                          const char* labels, ULONG recip_count, MapiRecipDesc* recips, FLAGS flags,
                          ULONG reserved, ULONG* new_count, MapiRecipDesc** new_recips) = 0;
    virtual ULONG FindNext(LHANDLE session, ULONG_PTR ui, const char* message_type,
                           const char* seed_id, FLAGS flags, ULONG reserved, char* message_id) = 0;
    virtual ULONG ReadMail(LHANDLE session, ULONG_PTR ui, const char* message_id, FLAGS flags,
                           ULONG reserved, MapiMessage** message) = 0;
    virtual ULONG DeleteMail(LHANDLE session, ULONG_PTR ui, const char* message_id, FLAGS flags,
                             ULONG reserved) = 0;
    virtual ULONG SaveMail(LHANDLE session, ULONG_PTR ui, const MapiMessage* message, FLAGS flags,
                           ULONG reserved, char* message_id) = 0;
};

// Hands the mail settings and the mail folder to a loaded module's configuration entry, in
// the C layout the module reads. Nothing happens without an entry.
void ConfigureMapiModule(LPMAPICONFIGURE configure, const MailSettings& settings,
                         const std::filesystem::path& mail_root);

// The mapi32 module, loaded with dlopen.
class MapiLibrary : public SimpleMapi {
  public:
    // nullptr when no candidate loads (Simple MAPI is not available). Throws
    // EMailError naming the function when the module lacks one of the ten
    // entry points.
    static std::unique_ptr<MapiLibrary> Load(
        const std::vector<std::string>& candidates = DefaultModuleCandidates("libmapi32.so"));

    // Hands the mail settings to a module that takes them ("MAPIConfigure").
    void Configure(const MailSettings& settings, const std::filesystem::path& mail_root) const;
    const std::string& path() const { return module_->path(); }

    ULONG Logon(ULONG_PTR ui, const char* profile, const char* password, FLAGS flags,
                ULONG reserved, LHANDLE* session) override;
    ULONG Logoff(LHANDLE session, ULONG_PTR ui, FLAGS flags, ULONG reserved) override;
    ULONG SendMail(LHANDLE session, ULONG_PTR ui, const MapiMessage* message, FLAGS flags,
                   ULONG reserved) override;
    ULONG ResolveName(LHANDLE session, ULONG_PTR ui, const char* name, FLAGS flags, ULONG reserved,
                      MapiRecipDesc** recip) override;
    ULONG FreeBuffer(void* buffer) override;
    ULONG Address(LHANDLE session, ULONG_PTR ui, const char* caption, ULONG edit_fields,
                  const char* labels, ULONG recip_count, MapiRecipDesc* recips, FLAGS flags,
                  ULONG reserved, ULONG* new_count, MapiRecipDesc** new_recips) override;
    ULONG FindNext(LHANDLE session, ULONG_PTR ui, const char* message_type, const char* seed_id,
                   FLAGS flags, ULONG reserved, char* message_id) override;
    ULONG ReadMail(LHANDLE session, ULONG_PTR ui, const char* message_id, FLAGS flags,
                   ULONG reserved, MapiMessage** message) override;
    ULONG DeleteMail(LHANDLE session, ULONG_PTR ui, const char* message_id, FLAGS flags,
                     ULONG reserved) override;
    ULONG SaveMail(LHANDLE session, ULONG_PTR ui, const MapiMessage* message, FLAGS flags,
                   ULONG reserved, char* message_id) override;

  private:
    explicit MapiLibrary(std::unique_ptr<LoadedModule> module);
    std::unique_ptr<LoadedModule> module_;
    LPMAPILOGON logon_ = nullptr;
    LPMAPILOGOFF logoff_ = nullptr;
    LPMAPISENDMAIL send_mail_ = nullptr;
    LPMAPIRESOLVENAME resolve_name_ = nullptr;
    LPMAPIFREEBUFFER free_buffer_ = nullptr;
    LPMAPIADDRESS address_ = nullptr;
    LPMAPIFINDNEXT find_next_ = nullptr;
    LPMAPIREADMAIL read_mail_ = nullptr;
    LPMAPIDELETEMAIL delete_mail_ = nullptr;
    LPMAPISAVEMAIL save_mail_ = nullptr;
    LPMAPICONFIGURE configure_ = nullptr;
};

// Simple MAPI over the mail layer: sends through the SMTP settings (or into
// the store's Outbox when no SMTP host is set), resolves names against the
// store's contacts, hands a message to the desktop's mail composer when a
// dialog is asked for, and offers the store's contacts as its address book.
// Reading mail is not offered (MAPI_E_NOT_SUPPORTED). Thread-safe.
// The lists the address book gives back: the To and CC entries chosen.
struct AddressBookChoice {
    std::vector<Mailbox> to, cc;
};
// Shows the contacts (there may be none) with the lists preset; nothing when
// the user cancels.
using AddressBookUi = std::function<std::optional<AddressBookChoice>(
    const std::vector<ContactItem>& contacts, const AddressBookChoice& preset)>;

// Every contact of the store's contacts folders (those "Scan Outlook
// Folders/Contacts" reads), in the folders' order.
std::vector<ContactItem> StoreContacts(MailStore& store);

class MapiProvider : public SimpleMapi {
  public:
    MapiProvider() = default;
    // The address book's window; without one the address book is not offered.
    void SetAddressBookUi(AddressBookUi ui);
    ~MapiProvider() override;

    // `mail_root` is the embedded store's folder (empty: no store unless
    // settings.store_url names one).
    void Configure(MailSettings settings, std::filesystem::path mail_root);

    ULONG Logon(ULONG_PTR ui, const char* profile, const char* password, FLAGS flags,
                ULONG reserved, LHANDLE* session) override;
    ULONG Logoff(LHANDLE session, ULONG_PTR ui, FLAGS flags, ULONG reserved) override;
    ULONG SendMail(LHANDLE session, ULONG_PTR ui, const MapiMessage* message, FLAGS flags,
                   ULONG reserved) override;
    ULONG ResolveName(LHANDLE session, ULONG_PTR ui, const char* name, FLAGS flags, ULONG reserved,
                      MapiRecipDesc** recip) override;
    ULONG FreeBuffer(void* buffer) override;
    ULONG Address(LHANDLE session, ULONG_PTR ui, const char* caption, ULONG edit_fields,
                  const char* labels, ULONG recip_count, MapiRecipDesc* recips, FLAGS flags,
                  ULONG reserved, ULONG* new_count, MapiRecipDesc** new_recips) override;
    ULONG FindNext(LHANDLE session, ULONG_PTR ui, const char* message_type, const char* seed_id,
                   FLAGS flags, ULONG reserved, char* message_id) override;
    ULONG ReadMail(LHANDLE session, ULONG_PTR ui, const char* message_id, FLAGS flags,
                   ULONG reserved, MapiMessage** message) override;
    ULONG DeleteMail(LHANDLE session, ULONG_PTR ui, const char* message_id, FLAGS flags,
                     ULONG reserved) override;
    ULONG SaveMail(LHANDLE session, ULONG_PTR ui, const MapiMessage* message, FLAGS flags,
                   ULONG reserved, char* message_id) override;

    // The entry id this provider gives an address, and the address of one.
    static std::string EntryIdFor(const std::string& address);
    static std::string AddressOfEntryId(const void* entry_id, ULONG size);

  private:
    bool SessionValid(LHANDLE session);

    std::mutex mutex_;
    MailSettings settings_;
    std::filesystem::path mail_root_;
    std::set<LHANDLE> sessions_;
    LHANDLE next_session_ = 1;
    std::set<void*> allocations_;
    AddressBookUi address_book_;
};

}  // namespace mail
