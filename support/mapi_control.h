#pragma once

// `TMapiControl`: one message with one MAPISendMail call, without a session
// of its own and without resolving names: every recipient goes out as an
// SMTP address.

#include <functional>
#include <string>
#include <string_view>

#include "platform/db/component.h"
#include "platform/db/object.h"
#include "platform/db/string_list.h"

namespace support {

using TMapiErrEvent = std::function<void(db::TObject* sender, int err_code)>;

class TMapiControl : public db::TComponent {
  public:
    explicit TMapiControl(db::TComponent* owner);

    const std::string& Subject() const { return subject_; }
    void SetSubject(std::string_view value) { subject_ = value; }
    const std::string& Body() const { return body_; }
    void SetBody(std::string_view value) { body_ = value; }
    const std::string& FromName() const { return from_name_; }
    void SetFromName(std::string_view value) { from_name_ = value; }
    const std::string& FromAdress() const { return from_adress_; }
    void SetFromAdress(std::string_view value) { from_adress_ = value; }

    db::TStrings& Recipients() { return recipients_; }
    db::TStrings& CopyTo() { return copy_to_; }
    db::TStrings& BlindCopyTo() { return blind_copy_to_; }
    db::TStrings& AttachedFiles() { return attached_files_; }
    // Each replaces the whole list with the given one's lines.
    void SetRecipients(const db::TStrings& list) { recipients_.Assign(list); }
    void SetCopyTo(const db::TStrings& list) { copy_to_.Assign(list); }
    void SetBlindCopyTo(const db::TStrings& list) { blind_copy_to_.Assign(list); }
    void SetAttachedFiles(const db::TStrings& list) { attached_files_.Assign(list); }
    // The file-name part of every file attached since the last `Reset`.
    const db::TStrings& DisplayFileName() const { return display_file_name_; }

    bool ShowDialog() const { return show_dialog_; }
    void SetShowDialog(bool value) { show_dialog_ = value; }

    db::TNotifyEvent OnSuccess;
    db::TNotifyEvent OnUserAbort;
    TMapiErrEvent OnMapiError;

    // Empties the texts and all five lists.
    void Reset();
    // Sends the message and fires one event for the result; answers the
    // Simple-MAPI result (0 sent, 1 also when Simple MAPI is absent).
    int Send();
    int LastResult() const { return last_result_; }

  private:
    std::string subject_;
    std::string body_;
    std::string from_name_;
    std::string from_adress_;
    db::TStringList recipients_;
    db::TStringList copy_to_;
    db::TStringList blind_copy_to_;
    db::TStringList attached_files_;
    db::TStringList display_file_name_;
    bool show_dialog_ = true;
    int last_result_ = 0;
};

}  // namespace support
