#pragma once

// A Simple-MAPI provider for tests of the mail components: it records every
// call with deep copies of the records it was handed (so a caller's dangling
// pointer shows at the call, under the sanitizers), answers with scripted
// results, and tracks the buffers it hands out until they are freed.

#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/mail/simple_mapi_provider.h"

namespace mail {

struct RecordedRecipient {
    ULONG recip_class = 0;
    std::optional<std::string> name;  // empty when the pointer was null
    std::optional<std::string> address;
    std::string entry_id;  // ulEIDSize bytes
    bool operator==(const RecordedRecipient&) const = default;
};

struct RecordedFile {
    ULONG flags = 0;
    ULONG position = 0;
    std::optional<std::string> path_name;
    std::optional<std::string> file_name;
    bool has_file_type = false;
    bool operator==(const RecordedFile&) const = default;
};

struct RecordedMessage {
    std::optional<std::string> subject;
    std::optional<std::string> note_text;
    FLAGS flags = 0;
    std::optional<RecordedRecipient> originator;
    ULONG recip_count = 0;
    bool has_recip_array = false;
    std::vector<RecordedRecipient> recips;
    ULONG file_count = 0;
    bool has_file_array = false;
    std::vector<RecordedFile> files;
};

struct RecordedCall {
    std::string function;  // "MAPILogon", "MAPISendMail", ...
    LHANDLE session = 0;
    ULONG_PTR ui = 0;
    FLAGS flags = 0;
    std::optional<std::string> text;  // the profile, the name to resolve, the caption
    std::optional<std::string> password;
    std::optional<RecordedMessage> message;
    std::vector<RecordedRecipient> recips;  // MAPIAddress's input
    ULONG result = 0;
};

class RecordingSimpleMapi : public SimpleMapi {
  public:
    struct Resolution {
        ULONG result = SUCCESS_SUCCESS;
        std::string name;
        std::optional<std::string> address;  // nullopt: the descriptor has no address
        std::string entry_id;
    };

    RecordingSimpleMapi();
    ~RecordingSimpleMapi() override;

    // Every later call of `function` returns `result` (after queued ones).
    void SetResult(const std::string& function, ULONG result);
    // The next call of `function` returns `result`.
    void QueueResult(const std::string& function, ULONG result);
    // How MAPIResolveName answers for `name`; by default a name resolves to
    // itself with the address "SMTP:" + name and entry id "EID:" + name. With
    // MAPI_DIALOG the entry under "dialog:" + name is used when there is one.
    void SetResolution(const std::string& name, Resolution resolution);
    // What MAPIAddress returns on success.
    void SetAddressBookAnswer(std::vector<RecordedRecipient> recipients);

    const std::vector<RecordedCall>& calls() const { return calls_; }
    std::vector<RecordedCall> CallsOf(const std::string& function) const;
    void ClearCalls() { calls_.clear(); }
    // Buffers handed out and not yet freed.
    std::size_t LiveBuffers() const { return buffers_.size(); }
    // MAPIFreeBuffer calls with a pointer this provider never handed out (or
    // one already freed).
    int BadFrees() const { return bad_frees_; }
    bool SessionOpen(LHANDLE session) const;

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
    struct Buffer;
    ULONG NextResult(const std::string& function, ULONG fallback);
    ULONG Record(RecordedCall call, ULONG fallback);
    MapiRecipDesc* NewRecipients(const std::vector<RecordedRecipient>& recipients);

    std::vector<RecordedCall> calls_;
    std::map<std::string, std::deque<ULONG>> queued_;
    std::map<std::string, ULONG> fixed_;
    std::map<std::string, Resolution> resolutions_;
    std::vector<RecordedRecipient> address_book_;
    std::map<void*, std::unique_ptr<Buffer>> buffers_;
    std::map<LHANDLE, bool> sessions_;
    LHANDLE next_session_ = 0x100;
    int bad_frees_ = 0;
};

// Deep copies of Simple-MAPI records (null pointers stay empty).
RecordedRecipient CopyRecipient(const MapiRecipDesc& recip);
RecordedMessage CopyMessage(const MapiMessage& message);

}  // namespace mail
