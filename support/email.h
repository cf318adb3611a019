#pragma once

// `TEmail`: one message through Simple MAPI with a session of its own, names
// resolved by the mail client and attachments checked before sending.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/db/component.h"
#include "platform/db/object.h"
#include "platform/db/string_list.h"
#include "platform/mail/simple_mapi.h"

namespace support {

// The longest text a short-string property keeps, in characters.
inline constexpr std::size_t kShortStringLength = 255;

// The first `max_characters` characters of UTF-8 text, never splitting one; a
// byte that starts no valid sequence counts as one character.
std::string Utf8Prefix(std::string_view text, std::size_t max_characters = kShortStringLength);

// The longest start of UTF-8 text that fits `max_bytes` bytes without splitting
// a character.
std::string Utf8PrefixBytes(std::string_view text, std::size_t max_bytes);

// The part of a path after its last "/" or "\".
std::string FileNamePart(std::string_view path);

using TMapiErrorEvent = std::function<void(db::TObject* sender, int error_code)>;

class TEmail : public db::TComponent {
  public:
    // The most entries of the three recipient lists, and of the attachments,
    // whose records still fit a signed 32-bit size.
    static constexpr std::int64_t kMaxRecords = 89478485;

    explicit TEmail(db::TComponent* owner);
    ~TEmail() override;

    bool ShowDialog() const { return show_dialog_; }
    void SetShowDialog(bool value) { show_dialog_ = value; }
    bool Acknowledge() const { return acknowledge_; }
    void SetAcknowledge(bool value) { acknowledge_ = value; }

    db::TStrings& Attachment() { return attachment_; }
    db::TStrings& CC() { return cc_; }
    db::TStrings& Bcc() { return bcc_; }
    db::TStrings& Recipient() { return recipient_; }
    // Each replaces the whole list with the given one's lines, so nothing of
    // an earlier message is left over (an empty list empties it).
    void SetAttachment(const db::TStrings& list) { attachment_.Assign(list); }
    void SetCC(const db::TStrings& list) { cc_.Assign(list); }
    void SetBcc(const db::TStrings& list) { bcc_.Assign(list); }
    void SetRecipient(const db::TStrings& list) { recipient_.Assign(list); }

    bool DownLoadFirst() const { return down_load_first_; }
    void SetDownLoadFirst(bool value);
    bool NewSession() const { return new_session_; }
    void SetNewSession(bool value);

    // Password, Profile and Subject keep at most 255 characters.
    const std::string& Password() const { return password_; }
    void SetPassword(std::string_view value) { password_ = Utf8Prefix(value); }
    const std::string& Profile() const { return profile_; }
    void SetProfile(std::string_view value) { profile_ = Utf8Prefix(value); }
    const std::string& Subject() const { return subject_; }
    void SetSubject(std::string_view value) { subject_ = Utf8Prefix(value); }
    // The body when no text was given with `SetText`. Kept whole: a cut body
    // would be lost mail.
    const std::string& Text() const { return text_; }
    void SetTextValue(std::string_view value) { text_ = value; }

    bool TruncAttFN() const { return trunc_att_fn_; }
    void SetTruncAttFN(bool value) { trunc_att_fn_ = value; }
    bool UseDefProfile() const { return use_def_profile_; }
    void SetUseDefProfile(bool value) { use_def_profile_ = value; }
    bool UnreadOnly() const { return unread_only_; }
    void SetUnreadOnly(bool value) { unread_only_ = value; }
    bool UseLongMessageID() const { return use_long_message_id_; }
    void SetUseLongMessageID(bool value) { use_long_message_id_ = value; }

    bool MapiAvail() const;
    std::string Version() const { return "2.09.02"; }

    db::TNotifyEvent OnBeforeLogon;
    db::TNotifyEvent OnAfterLogon;
    db::TNotifyEvent OnBeforeLogoff;
    db::TNotifyEvent OnAfterLogoff;
    db::TNotifyEvent OnBeforeSaveMail;
    db::TNotifyEvent OnAfterSaveMail;
    db::TNotifyEvent OnBeforeSendMail;
    db::TNotifyEvent OnAfterSendMail;
    TMapiErrorEvent OnMapiError;

    // Each answers a Simple-MAPI result code (0 success); each raises
    // EMapiUnavailable when Simple MAPI is not installed.
    int Logon();
    int Logoff();
    // Hands the message over; the mail client's dialog opens when ShowDialog
    // is set or all three recipient lists are empty.
    int SendMail();
    // The resolved address of a name ("SMTP:" dropped; the display name when
    // the client gives no address); empty when it cannot be resolved.
    std::string ResolveName(std::string_view name);
    // The client's address book, preset with and written back to Recipient,
    // CC and Bcc.
    int Address();

    // `file_name` when that file exists, else empty.
    std::string CheckAttachment(std::string_view file_name) const;
    void Clear();
    // Sets the body (copied) in place of `Text`; none makes `Text` the body
    // again. Answers the body's length in characters.
    std::int64_t SetText(std::optional<std::string_view> body);

    bool SessionOpen() const { return session_ != 0; }
    FLAGS LogonFlags() const { return logon_flags_; }

  protected:
    virtual void CheckMapi() const;
    // The 8.3 form of an attachment's name.
    virtual std::string TruncAttachmentName(std::string_view name) const;
    virtual void DoBeforeLogon();
    virtual void DoAfterLogon();
    virtual void DoBeforeLogoff();
    virtual void DoAfterLogoff();
    virtual void DoBeforeSaveMail();
    virtual void DoAfterSaveMail();
    virtual void DoBeforeSendMail();
    virtual void DoAfterSendMail();
    virtual void DoMapiError(int error_code);

  private:
    // A recipient record's contents, owned here so the descriptors handed to
    // MAPISendMail never point into buffers already given back.
    struct RecipientRecord {
        ULONG recip_class = 0;
        std::string name;
        std::string address;
        std::string entry_id;
    };
    struct ResolveResult {
        ULONG result = 0;
        std::string name;
        std::optional<std::string> address;
        std::string entry_id;
    };

    ResolveResult Resolve(const std::string& name);
    // Resolves every non-empty entry of `list` into `records`; answers the
    // last failure code, 0 when none failed.
    ULONG AddRecipients(db::TStrings& list, ULONG recip_class,
                        std::vector<RecipientRecord>& records);

    bool show_dialog_ = false;
    bool acknowledge_ = false;
    db::TStringList attachment_;
    db::TStringList cc_;
    db::TStringList bcc_;
    db::TStringList recipient_;
    bool down_load_first_ = false;
    bool new_session_ = false;
    std::string password_;
    std::string profile_;
    std::string subject_;
    std::string text_;
    bool trunc_att_fn_ = true;
    bool use_def_profile_ = false;
    bool unread_only_ = false;
    bool use_long_message_id_ = true;

    LHANDLE session_ = 0;
    FLAGS logon_flags_ = 0;
    std::optional<std::string> body_;
};

}  // namespace support
