#include "support/mapi_control.h"

#include <vector>

#include "platform/mail/simple_mapi.h"
#include "support/email.h"
#include "support/smapi.h"

namespace support {

TMapiControl::TMapiControl(db::TComponent* owner) : db::TComponent(owner) {}

void TMapiControl::Reset() {
    subject_.clear();
    body_.clear();
    from_name_.clear();
    from_adress_.clear();
    recipients_.Clear();
    copy_to_.Clear();
    blind_copy_to_.Clear();
    attached_files_.Clear();
    display_file_name_.Clear();
}

int TMapiControl::Send() {
    struct Record {
        ULONG recip_class;
        std::string name, address;
    };
    std::vector<Record> records;
    const std::pair<const db::TStringList*, ULONG> lists[] = {
        {&recipients_, MAPI_TO}, {&copy_to_, MAPI_CC}, {&blind_copy_to_, MAPI_BCC}};
    for (const auto& [list, recip_class] : lists) {
        for (std::int64_t i = 0; i < list->Count(); ++i) {
            const std::string& entry = (*list)[i];
            // An empty line addresses nobody; passed on it would fail the
            // whole message for its other recipients.
            if (entry.empty())
                continue;
            // An entry that already carries the address type keeps it once.
            records.push_back(
                {recip_class, entry,
                 HasSmtpAddressType(entry) ? entry : std::string(kSmtpAddressType) + entry});
        }
    }

    struct FileRecord {
        std::string path, name;
    };
    std::vector<FileRecord> file_records;
    for (std::int64_t i = 0; i < attached_files_.Count(); ++i) {
        const std::string name = FileNamePart(attached_files_[i]);
        display_file_name_.Add(name);
        // Each file carries the name appended for it by this send, not an
        // earlier send's name at the same position.
        file_records.push_back({attached_files_[i], name});
    }

    std::vector<MapiRecipDesc> recips(records.size());
    for (std::size_t i = 0; i < records.size(); ++i) {
        recips[i].ulRecipClass = records[i].recip_class;
        recips[i].lpszName = records[i].name.data();
        recips[i].lpszAddress = records[i].address.data();
    }
    std::vector<MapiFileDesc> files(file_records.size());
    for (std::size_t i = 0; i < files.size(); ++i) {
        files[i].nPosition = 0xFFFFFFFFu;
        files[i].lpszPathName = file_records[i].path.data();
        files[i].lpszFileName = file_records[i].name.data();
    }
    std::string subject = subject_, body = body_, from_name = from_name_,
                from_adress = from_adress_;
    MapiRecipDesc originator{};
    originator.ulRecipClass = MAPI_ORIG;
    originator.lpszName = from_name.data();
    originator.lpszAddress = from_adress.data();
    MapiMessage message{};
    message.lpszSubject = subject.data();
    message.lpszNoteText = body.data();
    message.lpOriginator = &originator;
    message.nRecipCount = static_cast<ULONG>(recips.size());
    message.lpRecips = recips.empty() ? nullptr : recips.data();
    message.nFileCount = static_cast<ULONG>(files.size());
    message.lpFiles = files.empty() ? nullptr : files.data();

    // No window handle means anything to the module's dialog (the desktop's
    // mail composer runs as a program of its own), so none is passed.
    const FLAGS flags = show_dialog_ ? (MAPI_LOGON_UI | MAPI_NEW_SESSION | MAPI_DIALOG) : 0;
    last_result_ = static_cast<int>(ImportedMapiSendMail(0, 0, &message, flags, 0));

    if (last_result_ == SUCCESS_SUCCESS) {
        if (OnSuccess)
            OnSuccess(this);
    } else if (last_result_ == MAPI_USER_ABORT) {
        if (OnUserAbort)
            OnUserAbort(this);
    } else if (OnMapiError) {
        OnMapiError(this, last_result_);
    }
    return last_result_;
}

}  // namespace support
