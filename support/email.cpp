#include "support/email.h"

#include <filesystem>
#include <memory>
#include <system_error>

#include "platform/mail/mail_config.h"
#include "platform/mail/simple_mapi_provider.h"
#include "support/smapi.h"

namespace support {

namespace {

bool IsContinuation(unsigned char byte) {
    return (byte & 0xC0) == 0x80;
}

// The length of the valid UTF-8 sequence at `at`, or 1 for a byte that starts
// none (so every byte belongs to exactly one character).
std::size_t SequenceLength(std::string_view text, std::size_t at) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[at + i]); };
    const unsigned char lead = byte(0);
    std::size_t length = 1;
    unsigned char low = 0x80, high = 0xBF;  // the second byte's range
    if (lead < 0x80) {
        return 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;   // no overlong forms
        high = lead == 0xED ? 0x9F : 0xBF;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 1;
    }
    if (at + length > text.size() || byte(1) < low || byte(1) > high)
        return 1;
    for (std::size_t i = 2; i < length; ++i) {
        if (!IsContinuation(byte(i)))
            return 1;
    }
    return length;
}

std::vector<std::string_view> Characters(std::string_view text) {
    std::vector<std::string_view> characters;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t length = SequenceLength(text, at);
        characters.push_back(text.substr(at, length));
        at += length;
    }
    return characters;
}

bool HasBrackets(std::string_view text) {
    return text.find('[') != std::string_view::npos && text.find(']') != std::string_view::npos;
}

bool HasNoBracket(std::string_view text) {
    return text.find('[') == std::string_view::npos && text.find(']') == std::string_view::npos;
}

// An address as a recipient list holds it: without the "SMTP:" address type.
std::string WithoutAddressType(std::string_view address) {
    return std::string(HasSmtpAddressType(address) ? address.substr(kSmtpAddressType.size())
                                                   : address);
}

std::string TextOf(const char* text) {
    return text ? std::string(text) : std::string();
}

mail::SimpleMapi& Mapi() {
    mail::SimpleMapi* mapi = LoadedSimpleMapi();
    if (!mapi)
        throw EMapiUnavailable(kMapiUnavailableText);
    return *mapi;
}

// Gives a descriptor the client handed out back to it, however the scope ends.
class ClientBuffer {
  public:
    explicit ClientBuffer(mail::SimpleMapi& mapi) : mapi_(mapi) {}
    ~ClientBuffer() { Release(); }
    ClientBuffer(const ClientBuffer&) = delete;
    ClientBuffer& operator=(const ClientBuffer&) = delete;
    MapiRecipDesc** Out() {
        Release();
        return &buffer_;
    }
    MapiRecipDesc* get() const { return buffer_; }
    void Release() {
        if (buffer_)
            mapi_.FreeBuffer(buffer_);
        buffer_ = nullptr;
    }

  private:
    mail::SimpleMapi& mapi_;
    MapiRecipDesc* buffer_ = nullptr;
};

// Closes the session a call opened for itself, however the call ends. Notes
// whether one was open before the call logs on.
class CallSession {
  public:
    explicit CallSession(TEmail& email) : email_(email), was_open_(email.SessionOpen()) {}
    ~CallSession() {
        if (was_open_ || !email_.SessionOpen())
            return;
        try {
            email_.Logoff();
        } catch (...) {
            // Simple MAPI went away during the call; nothing is left to close.
        }
    }
    CallSession(const CallSession&) = delete;
    CallSession& operator=(const CallSession&) = delete;

  private:
    TEmail& email_;
    bool was_open_;
};

}  // namespace

std::string Utf8Prefix(std::string_view text, std::size_t max_characters) {
    std::size_t at = 0;
    for (std::size_t count = 0; at < text.size() && count < max_characters; ++count) {
        at += SequenceLength(text, at);
    }
    return std::string(text.substr(0, at));
}

std::string Utf8PrefixBytes(std::string_view text, std::size_t max_bytes) {
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t next = at + SequenceLength(text, at);
        if (next > max_bytes)
            break;
        at = next;
    }
    return std::string(text.substr(0, at));
}

std::string FileNamePart(std::string_view path) {
    const std::size_t slash = path.find_last_of("/\\");
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

TEmail::TEmail(db::TComponent* owner) : db::TComponent(owner) {}

TEmail::~TEmail() {
    if (session_ == 0)
        return;
    try {
        Logoff();
    } catch (...) {
        // Simple MAPI went away under an open session; nothing is left to close.
    }
}

void TEmail::SetDownLoadFirst(bool value) {
    down_load_first_ = value;
    logon_flags_ =
        value ? (logon_flags_ | MAPI_FORCE_DOWNLOAD) : (logon_flags_ & ~MAPI_FORCE_DOWNLOAD);
}

void TEmail::SetNewSession(bool value) {
    new_session_ = value;
    logon_flags_ = value ? (logon_flags_ | MAPI_NEW_SESSION) : (logon_flags_ & ~MAPI_NEW_SESSION);
}

bool TEmail::MapiAvail() const {
    return SimpleMapiAvailable();
}

void TEmail::CheckMapi() const {
    if (!SimpleMapiAvailable())
        throw EMapiUnavailable(kMapiUnavailableText);
}

int TEmail::Logon() {
    CheckMapi();
    if (session_ != 0)
        return SUCCESS_SUCCESS;
    if (use_def_profile_) {
        if (auto profile = mail::DefaultMapiProfile())
            profile_ = Utf8Prefix(*profile);
    }
    mail::SimpleMapi& mapi = Mapi();
    const std::string profile = profile_, password = password_;
    DoBeforeLogon();
    LHANDLE session = 0;
    ULONG result =
        mapi.Logon(0, profile.empty() ? nullptr : profile.c_str(),
                   password.empty() ? nullptr : password.c_str(), logon_flags_, 0, &session);
    if (result != SUCCESS_SUCCESS) {
        // Let the mail client ask the user for a profile.
        session = 0;
        result = mapi.Logon(0, nullptr, nullptr, logon_flags_ | MAPI_LOGON_UI, 0, &session);
    }
    if (result != SUCCESS_SUCCESS) {
        DoMapiError(static_cast<int>(result));
        return static_cast<int>(result);
    }
    session_ = session;
    DoAfterLogon();
    return SUCCESS_SUCCESS;
}

int TEmail::Logoff() {
    CheckMapi();
    if (session_ == 0)
        return SUCCESS_SUCCESS;
    mail::SimpleMapi& mapi = Mapi();
    DoBeforeLogoff();
    const ULONG result = mapi.Logoff(session_, 0, 0, 0);
    session_ = 0;
    DoAfterLogoff();
    return static_cast<int>(result);
}

TEmail::ResolveResult TEmail::Resolve(const std::string& name) {
    mail::SimpleMapi& mapi = Mapi();
    ClientBuffer descriptor(mapi);
    ResolveResult resolved;
    resolved.result = mapi.ResolveName(session_, 0, name.c_str(), 0, 0, descriptor.Out());
    if (resolved.result == MAPI_E_AMBIGUOUS_RECIPIENT ||
        resolved.result == MAPI_E_UNKNOWN_RECIPIENT) {
        resolved.result =
            mapi.ResolveName(session_, 0, name.c_str(), MAPI_DIALOG, 0, descriptor.Out());
    }
    if (resolved.result == SUCCESS_SUCCESS && !descriptor.get())
        resolved.result = MAPI_E_FAILURE;
    if (resolved.result != SUCCESS_SUCCESS)
        return resolved;
    // Everything is copied out before the descriptor goes back to the client.
    const MapiRecipDesc& recip = *descriptor.get();
    resolved.name = TextOf(recip.lpszName);
    if (recip.lpszAddress && *recip.lpszAddress)
        resolved.address = recip.lpszAddress;
    if (recip.lpEntryID && recip.ulEIDSize > 0) {
        resolved.entry_id.assign(static_cast<const char*>(recip.lpEntryID), recip.ulEIDSize);
    }
    return resolved;
}

ULONG TEmail::AddRecipients(db::TStrings& list, ULONG recip_class,
                            std::vector<RecipientRecord>& records) {
    ULONG failure = SUCCESS_SUCCESS;
    for (std::int64_t i = 0; i < list.Count(); ++i) {
        const std::string entry = list.Get(i);
        if (entry.empty())
            continue;
        ResolveResult resolved = Resolve(entry);
        if (resolved.result != SUCCESS_SUCCESS) {
            DoMapiError(static_cast<int>(resolved.result));
            failure = resolved.result;
            continue;
        }
        if (HasBrackets(entry) && HasNoBracket(resolved.name)) {
            // "Name [address]" that the client did not take apart goes out as
            // written, brackets removed, as both name and address.
            std::string shortened = entry;
            shortened.erase(shortened.find(']'), 1);
            shortened.erase(shortened.find('['), 1);
            records.push_back({recip_class, shortened, shortened, {}});
            continue;
        }
        const std::string display = resolved.name.empty() ? entry : resolved.name;
        list.Put(i, display);
        records.push_back(
            {recip_class, display, resolved.address.value_or(display), resolved.entry_id});
    }
    return failure;
}

namespace {

// The descriptors of records that outlive them.
template <class Record>
std::vector<MapiRecipDesc> Descriptors(std::vector<Record>& records) {
    std::vector<MapiRecipDesc> descriptors(records.size());
    for (std::size_t i = 0; i < records.size(); ++i) {
        Record& record = records[i];
        MapiRecipDesc& recip = descriptors[i];
        recip.ulRecipClass = record.recip_class;
        recip.lpszName = record.name.data();
        recip.lpszAddress = record.address.data();
        recip.ulEIDSize = static_cast<ULONG>(record.entry_id.size());
        recip.lpEntryID = record.entry_id.empty() ? nullptr : record.entry_id.data();
    }
    return descriptors;
}

}  // namespace

int TEmail::SendMail() {
    CheckMapi();
    if (recipient_.Count() + cc_.Count() + bcc_.Count() > kMaxRecords) {
        DoMapiError(MAPI_E_TOO_MANY_RECIPIENTS);
        return MAPI_E_TOO_MANY_RECIPIENTS;
    }
    if (attachment_.Count() > kMaxRecords) {
        DoMapiError(MAPI_E_TOO_MANY_FILES);
        return MAPI_E_TOO_MANY_FILES;
    }
    CallSession call(*this);
    if (Logon() != SUCCESS_SUCCESS) {
        DoMapiError(MAPI_E_LOGIN_FAILURE);
        return MAPI_E_LOGIN_FAILURE;
    }
    ConfigureSimpleMapi();
    mail::SimpleMapi& mapi = Mapi();
    std::vector<RecipientRecord> records;
    ULONG resolve_failure = SUCCESS_SUCCESS;
    std::int64_t given = 0;
    const std::pair<db::TStrings*, ULONG> lists[] = {
        {&recipient_, MAPI_TO}, {&cc_, MAPI_CC}, {&bcc_, MAPI_BCC}};
    for (const auto& [list, recip_class] : lists) {
        for (std::int64_t i = 0; i < list->Count(); ++i)
            given += list->Get(i).empty() ? 0 : 1;
        if (ULONG failure = AddRecipients(*list, recip_class, records))
            resolve_failure = failure;
    }
    FLAGS flags = show_dialog_ ? MAPI_DIALOG : 0;
    if (records.empty()) {
        if (given == 0 || show_dialog_) {
            // Nobody to send to yet: the user addresses it in the client.
            flags = MAPI_DIALOG;
        } else {
            // Every recipient failed (each already reported). Opening the
            // client's dialog here would pop up inside a mail-out's loop.
            DoMapiError(static_cast<int>(resolve_failure));
            return static_cast<int>(resolve_failure);
        }
    }

    struct FileRecord {
        std::string path, name;
    };
    std::vector<FileRecord> file_records;
    for (std::int64_t i = 0; i < attachment_.Count(); ++i) {
        const std::string path = attachment_.Get(i);
        if (CheckAttachment(path).empty()) {
            DoMapiError(MAPI_E_ATTACHMENT_NOT_FOUND);
            return MAPI_E_ATTACHMENT_NOT_FOUND;
        }
        std::string name = FileNamePart(path);
        if (trunc_att_fn_)
            name = TruncAttachmentName(name);
        file_records.push_back({path, std::move(name)});
    }

    std::vector<MapiRecipDesc> recips = Descriptors(records);
    std::vector<MapiFileDesc> files(file_records.size());
    for (std::size_t i = 0; i < files.size(); ++i) {
        files[i].nPosition = 0xFFFFFFFFu;
        files[i].lpszPathName = file_records[i].path.data();
        files[i].lpszFileName = file_records[i].name.data();
    }
    std::string subject = subject_;
    std::string body = body_ ? *body_ : text_;
    MapiMessage message{};
    message.lpszSubject = subject.empty() ? nullptr : subject.data();
    message.lpszNoteText = body.empty() ? nullptr : body.data();
    message.flFlags = acknowledge_ ? MAPI_RECEIPT_REQUESTED : 0;
    message.nRecipCount = static_cast<ULONG>(recips.size());
    message.lpRecips = recips.empty() ? nullptr : recips.data();
    message.nFileCount = static_cast<ULONG>(files.size());
    message.lpFiles = files.empty() ? nullptr : files.data();

    DoBeforeSendMail();
    const ULONG result = mapi.SendMail(session_, 0, &message, flags, 0);
    if (result == SUCCESS_SUCCESS)
        DoAfterSendMail();
    else
        DoMapiError(static_cast<int>(result));
    return static_cast<int>(result);
}

std::string TEmail::ResolveName(std::string_view name) {
    CheckMapi();
    CallSession call(*this);
    if (Logon() != SUCCESS_SUCCESS)
        return {};
    ConfigureSimpleMapi();
    const std::string wanted(name);
    const ResolveResult resolved = Resolve(wanted);
    std::string answer;
    if (resolved.result != SUCCESS_SUCCESS) {
        DoMapiError(static_cast<int>(resolved.result));
    } else if (HasBrackets(wanted) && HasNoBracket(resolved.name)) {
        answer = wanted;
    } else if (resolved.address) {
        answer = WithoutAddressType(*resolved.address);
    } else {
        answer = resolved.name;
    }
    return answer;
}

int TEmail::Address() {
    CheckMapi();
    if (recipient_.Count() + cc_.Count() + bcc_.Count() > kMaxRecords) {
        DoMapiError(MAPI_E_TOO_MANY_RECIPIENTS);
        return MAPI_E_TOO_MANY_RECIPIENTS;
    }
    CallSession call(*this);
    if (Logon() != SUCCESS_SUCCESS)
        return MAPI_E_LOGIN_FAILURE;
    ConfigureSimpleMapi();
    mail::SimpleMapi& mapi = Mapi();
    std::vector<RecipientRecord> records;
    AddRecipients(recipient_, MAPI_TO, records);
    AddRecipients(cc_, MAPI_CC, records);
    AddRecipients(bcc_, MAPI_BCC, records);
    std::vector<MapiRecipDesc> recips = Descriptors(records);
    ULONG chosen_count = 0;
    ClientBuffer chosen(mapi);
    const ULONG result =
        mapi.Address(session_, 0, "", 4, "", static_cast<ULONG>(recips.size()),
                     recips.empty() ? nullptr : recips.data(), 0, 0, &chosen_count, chosen.Out());
    if (result != SUCCESS_SUCCESS) {
        DoMapiError(static_cast<int>(result));
        return static_cast<int>(result);
    }
    std::vector<std::pair<ULONG, std::string>> answer;
    for (ULONG i = 0; chosen.get() && i < chosen_count; ++i) {
        const MapiRecipDesc& recip = chosen.get()[i];
        std::string name = TextOf(recip.lpszName);
        if (name.empty())
            name = WithoutAddressType(TextOf(recip.lpszAddress));
        answer.emplace_back(recip.ulRecipClass, std::move(name));
    }
    recipient_.Clear();
    cc_.Clear();
    bcc_.Clear();
    for (const auto& [recip_class, name] : answer) {
        if (recip_class == MAPI_TO)
            recipient_.Add(name);
        else if (recip_class == MAPI_CC)
            cc_.Add(name);
        else if (recip_class == MAPI_BCC)
            bcc_.Add(name);
    }
    return SUCCESS_SUCCESS;
}

std::string TEmail::CheckAttachment(std::string_view file_name) const {
    std::error_code error;
    if (file_name.empty() ||
        !std::filesystem::is_regular_file(std::filesystem::path(file_name), error))
        return {};
    return std::string(file_name);
}

void TEmail::Clear() {
    acknowledge_ = false;
    attachment_.Clear();
    bcc_.Clear();
    cc_.Clear();
    recipient_.Clear();
    subject_.clear();
    SetText(std::nullopt);
}

std::int64_t TEmail::SetText(std::optional<std::string_view> body) {
    body_.reset();
    text_.clear();
    if (!body)
        return 0;
    body_ = std::string(*body);
    return static_cast<std::int64_t>(Characters(*body_).size());
}

std::string TEmail::TruncAttachmentName(std::string_view name) const {
    std::vector<std::string_view> characters = Characters(name);
    if (characters.size() <= 12)
        return std::string(name);
    std::size_t dot = 0;
    while (dot < characters.size() && characters[dot] != ".")
        ++dot;
    if (dot < characters.size() && dot >= 9)
        characters.erase(characters.begin(),
                         characters.begin() + static_cast<std::ptrdiff_t>(dot - 8));
    if (characters.size() > 12)
        characters.erase(characters.begin(), characters.end() - 12);
    std::size_t first = 0;
    while (first < characters.size() && characters[first] == ".")
        ++first;
    std::string shortened;
    for (std::size_t i = first; i < characters.size(); ++i)
        shortened += characters[i];
    return shortened;
}

void TEmail::DoBeforeLogon() {
    if (OnBeforeLogon)
        OnBeforeLogon(this);
}
void TEmail::DoAfterLogon() {
    if (OnAfterLogon)
        OnAfterLogon(this);
}
void TEmail::DoBeforeLogoff() {
    if (OnBeforeLogoff)
        OnBeforeLogoff(this);
}
void TEmail::DoAfterLogoff() {
    if (OnAfterLogoff)
        OnAfterLogoff(this);
}
void TEmail::DoBeforeSaveMail() {
    if (OnBeforeSaveMail)
        OnBeforeSaveMail(this);
}
void TEmail::DoAfterSaveMail() {
    if (OnAfterSaveMail)
        OnAfterSaveMail(this);
}
void TEmail::DoBeforeSendMail() {
    if (OnBeforeSendMail)
        OnBeforeSendMail(this);
}
void TEmail::DoAfterSendMail() {
    if (OnAfterSendMail)
        OnAfterSendMail(this);
}
void TEmail::DoMapiError(int error_code) {
    if (OnMapiError)
        OnMapiError(this, error_code);
}

}  // namespace support
