#include "platform/mail/recording_simple_mapi.h"

namespace mail {

namespace {

std::optional<std::string> Copy(const char* text) {
    return text ? std::optional<std::string>(text) : std::nullopt;
}

}  // namespace

struct RecordingSimpleMapi::Buffer {
    std::vector<MapiRecipDesc> recips;
    std::deque<std::string> texts;  // stable addresses for the descriptors' pointers
};

RecordedRecipient CopyRecipient(const MapiRecipDesc& recip) {
    RecordedRecipient copy;
    copy.recip_class = recip.ulRecipClass;
    copy.name = Copy(recip.lpszName);
    copy.address = Copy(recip.lpszAddress);
    if (recip.lpEntryID && recip.ulEIDSize > 0) {
        copy.entry_id.assign(static_cast<const char*>(recip.lpEntryID), recip.ulEIDSize);
    }
    return copy;
}

RecordedMessage CopyMessage(const MapiMessage& message) {
    RecordedMessage copy;
    copy.subject = Copy(message.lpszSubject);
    copy.note_text = Copy(message.lpszNoteText);
    copy.flags = message.flFlags;
    if (message.lpOriginator)
        copy.originator = CopyRecipient(*message.lpOriginator);
    copy.recip_count = message.nRecipCount;
    copy.has_recip_array = message.lpRecips != nullptr;
    for (ULONG i = 0; message.lpRecips && i < message.nRecipCount; ++i) {
        copy.recips.push_back(CopyRecipient(message.lpRecips[i]));
    }
    copy.file_count = message.nFileCount;
    copy.has_file_array = message.lpFiles != nullptr;
    for (ULONG i = 0; message.lpFiles && i < message.nFileCount; ++i) {
        const MapiFileDesc& file = message.lpFiles[i];
        copy.files.push_back({file.flFlags, file.nPosition, Copy(file.lpszPathName),
                              Copy(file.lpszFileName), file.lpFileType != nullptr});
    }
    return copy;
}

RecordingSimpleMapi::RecordingSimpleMapi() = default;
RecordingSimpleMapi::~RecordingSimpleMapi() = default;

void RecordingSimpleMapi::SetResult(const std::string& function, ULONG result) {
    fixed_[function] = result;
}

void RecordingSimpleMapi::QueueResult(const std::string& function, ULONG result) {
    queued_[function].push_back(result);
}

void RecordingSimpleMapi::SetResolution(const std::string& name, Resolution resolution) {
    resolutions_[name] = std::move(resolution);
}

void RecordingSimpleMapi::SetAddressBookAnswer(std::vector<RecordedRecipient> recipients) {
    address_book_ = std::move(recipients);
}

std::vector<RecordedCall> RecordingSimpleMapi::CallsOf(const std::string& function) const {
    std::vector<RecordedCall> found;
    for (const auto& call : calls_) {
        if (call.function == function)
            found.push_back(call);
    }
    return found;
}

bool RecordingSimpleMapi::SessionOpen(LHANDLE session) const {
    return sessions_.count(session) != 0;
}

ULONG RecordingSimpleMapi::NextResult(const std::string& function, ULONG fallback) {
    auto queued = queued_.find(function);
    if (queued != queued_.end() && !queued->second.empty()) {
        const ULONG result = queued->second.front();
        queued->second.pop_front();
        return result;
    }
    auto fixed = fixed_.find(function);
    return fixed != fixed_.end() ? fixed->second : fallback;
}

ULONG RecordingSimpleMapi::Record(RecordedCall call, ULONG fallback) {
    call.result = NextResult(call.function, fallback);
    calls_.push_back(std::move(call));
    return calls_.back().result;
}

MapiRecipDesc* RecordingSimpleMapi::NewRecipients(const std::vector<RecordedRecipient>& list) {
    auto buffer = std::make_unique<Buffer>();
    buffer->recips.resize(list.empty() ? 1 : list.size());
    for (std::size_t i = 0; i < list.size(); ++i) {
        MapiRecipDesc& recip = buffer->recips[i];
        recip.ulRecipClass = list[i].recip_class;
        if (list[i].name)
            recip.lpszName = buffer->texts.emplace_back(*list[i].name).data();
        if (list[i].address) {
            recip.lpszAddress = buffer->texts.emplace_back(*list[i].address).data();
        }
        if (!list[i].entry_id.empty()) {
            std::string& id = buffer->texts.emplace_back(list[i].entry_id);
            recip.ulEIDSize = static_cast<ULONG>(id.size());
            recip.lpEntryID = id.data();
        }
    }
    MapiRecipDesc* first = buffer->recips.data();
    buffers_[first] = std::move(buffer);
    return first;
}

ULONG RecordingSimpleMapi::Logon(ULONG_PTR ui, const char* profile, const char* password,
                                 FLAGS flags, ULONG, LHANDLE* session) {
    RecordedCall call{"MAPILogon", 0, ui, flags, Copy(profile), Copy(password), {}, {}, 0};
    const ULONG result = Record(std::move(call), SUCCESS_SUCCESS);
    if (result == SUCCESS_SUCCESS && session) {
        *session = next_session_++;
        sessions_[*session] = true;
        calls_.back().session = *session;
    }
    return result;
}

ULONG RecordingSimpleMapi::Logoff(LHANDLE session, ULONG_PTR ui, FLAGS flags, ULONG) {
    const ULONG fallback = sessions_.count(session) ? SUCCESS_SUCCESS : MAPI_E_INVALID_SESSION;
    const ULONG result =
        Record(RecordedCall{"MAPILogoff", session, ui, flags, {}, {}, {}, {}, 0}, fallback);
    if (result == SUCCESS_SUCCESS)
        sessions_.erase(session);
    return result;
}

ULONG RecordingSimpleMapi::SendMail(LHANDLE session, ULONG_PTR ui, const MapiMessage* message,
                                    FLAGS flags, ULONG) {
    RecordedCall call{"MAPISendMail", session, ui, flags, {}, {}, {}, {}, 0};
    if (message)
        call.message = CopyMessage(*message);
    return Record(std::move(call), message ? SUCCESS_SUCCESS : MAPI_E_FAILURE);
}

ULONG RecordingSimpleMapi::ResolveName(LHANDLE session, ULONG_PTR ui, const char* name, FLAGS flags,
                                       ULONG, MapiRecipDesc** recip) {
    const std::string wanted = name ? name : "";
    Resolution resolution{SUCCESS_SUCCESS, wanted, "SMTP:" + wanted, "EID:" + wanted};
    auto found = resolutions_.end();
    if (flags & MAPI_DIALOG)
        found = resolutions_.find("dialog:" + wanted);
    if (found == resolutions_.end())
        found = resolutions_.find(wanted);
    if (found != resolutions_.end())
        resolution = found->second;
    const ULONG result =
        Record(RecordedCall{"MAPIResolveName", session, ui, flags, Copy(name), {}, {}, {}, 0},
               resolution.result);
    if (recip)
        *recip = nullptr;
    if (result == SUCCESS_SUCCESS && recip) {
        *recip = NewRecipients(
            {RecordedRecipient{MAPI_TO, resolution.name, resolution.address, resolution.entry_id}});
    }
    return result;
}

ULONG RecordingSimpleMapi::FreeBuffer(void* buffer) {
    RecordedCall call{"MAPIFreeBuffer", 0, 0, 0, {}, {}, {}, {}, 0};
    if (buffer && !buffers_.erase(buffer)) {
        ++bad_frees_;
        return Record(std::move(call), MAPI_E_FAILURE);
    }
    return Record(std::move(call), SUCCESS_SUCCESS);
}

ULONG RecordingSimpleMapi::Address(LHANDLE session, ULONG_PTR ui, const char* caption,
                                   ULONG edit_fields, const char*, ULONG recip_count,
                                   MapiRecipDesc* recips, FLAGS flags, ULONG, ULONG* new_count,
                                   MapiRecipDesc** new_recips) {
    RecordedCall call{"MAPIAddress", session, ui, flags, Copy(caption), {}, {}, {}, 0};
    for (ULONG i = 0; recips && i < recip_count; ++i)
        call.recips.push_back(CopyRecipient(recips[i]));
    (void)edit_fields;
    const ULONG result = Record(std::move(call), SUCCESS_SUCCESS);
    if (new_count)
        *new_count = 0;
    if (new_recips)
        *new_recips = nullptr;
    if (result == SUCCESS_SUCCESS && new_count && new_recips) {
        *new_count = static_cast<ULONG>(address_book_.size());
        *new_recips = NewRecipients(address_book_);
    }
    return result;
}

ULONG RecordingSimpleMapi::FindNext(LHANDLE session, ULONG_PTR ui, const char*, const char*,
                                    FLAGS flags, ULONG, char*) {
    return Record(RecordedCall{"MAPIFindNext", session, ui, flags, {}, {}, {}, {}, 0},
                  MAPI_E_NOT_SUPPORTED);
}

ULONG RecordingSimpleMapi::ReadMail(LHANDLE session, ULONG_PTR ui, const char*, FLAGS flags, ULONG,
                                    MapiMessage** message) {
    if (message)
        *message = nullptr;
    return Record(RecordedCall{"MAPIReadMail", session, ui, flags, {}, {}, {}, {}, 0},
                  MAPI_E_NOT_SUPPORTED);
}

ULONG RecordingSimpleMapi::DeleteMail(LHANDLE session, ULONG_PTR ui, const char*, FLAGS flags,
                                      ULONG) {
    return Record(RecordedCall{"MAPIDeleteMail", session, ui, flags, {}, {}, {}, {}, 0},
                  MAPI_E_NOT_SUPPORTED);
}

ULONG RecordingSimpleMapi::SaveMail(LHANDLE session, ULONG_PTR ui, const MapiMessage* message,
                                    FLAGS flags, ULONG, char*) {
    RecordedCall call{"MAPISaveMail", session, ui, flags, {}, {}, {}, {}, 0};
    if (message)
        call.message = CopyMessage(*message);
    return Record(std::move(call), MAPI_E_NOT_SUPPORTED);
}

}  // namespace mail
