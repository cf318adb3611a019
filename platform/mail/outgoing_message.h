#pragma once

// A message to be sent, and its MIME form.

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace mail {

struct Mailbox {
    std::string name;  // display name, may be empty
    std::string address;
    bool operator==(const Mailbox&) const = default;
};

// An attachment's contents as every message carries them: base64 in lines of
// 72 characters, or for an attached message its own text in 7-bit lines. Made
// once, it is shared by every message that carries it.
struct EncodedAttachment {
    std::string body;
    std::string charset;  // of the bytes: as declared, else as TextCharset names it
    // An attached message (message/rfc822) may take no transfer encoding: it
    // goes as its own text when that is 7-bit in lines of at most 998 bytes.
    // Otherwise it goes in base64 as application/octet-stream, so that no
    // mail program reads the base64 as the message.
    enum class Form { kBase64, kMessage, kMessageAsFile };
    Form form = Form::kBase64;
};

struct Attachment {
    std::string display_name;  // the name the receiver sees
    std::string path;          // read when the message is composed, unless data is set
    std::optional<std::string> data;
    std::string media_type;  // empty: guessed from the name
    // Set: the contents already encoded (EncodeAttachment); path and data are
    // not read again.
    std::shared_ptr<const EncodedAttachment> encoded = nullptr;
    // Of a text attachment's bytes, as a received message declared it; empty:
    // told from the bytes.
    std::string charset = {};
};

// Reads the attachment's file (or its data) a block at a time and encodes it,
// so the file's bytes are never all in memory beside their encoding. A file is
// read no further than the size it reports. Throws EMailError when it cannot be
// read, is no regular file, or holds more than its size says (a kernel
// pseudo-file, or a file that grows meanwhile: sent cut, it would be wrong).
std::shared_ptr<const EncodedAttachment> EncodeAttachment(const Attachment& attachment);

// A composed message in pieces: its own text, and the attachments' encoded
// contents shared rather than copied. Sending streams the pieces, so a large
// attachment is in memory once however many messages carry it.
class MimeText {
  public:
    using Piece = std::variant<std::string, std::shared_ptr<const EncodedAttachment>>;
    void Append(std::string_view text);
    void Append(std::shared_ptr<const EncodedAttachment> encoded);
    const std::vector<Piece>& pieces() const { return pieces_; }
    static std::string_view View(const Piece& piece);
    std::size_t size() const;
    std::string str() const;

  private:
    std::vector<Piece> pieces_;
};

struct OutgoingMessage {
    Mailbox from;
    std::vector<Mailbox> to, cc, bcc;
    std::string subject;
    std::string body;  // UTF-8; HTML source when html is set
    bool html = false;
    std::vector<Attachment> attachments;
    bool read_receipt = false;
};

// Throws EMailError for an address that cannot go into an SMTP envelope:
// empty, without "@", or with a line break, a control character, a blank,
// angle brackets, a list separator ("," or ";") or a comment's parentheses,
// or with a character beyond ASCII before the "@" (a domain may hold them).
void CheckEnvelopeAddress(std::string_view address);

// An address written with a display name, as mail programs take a typed line:
// "Name <address>" or "Name [address]", and with `loose` also "Name address"
// (what the Simple-MAPI component makes of the bracketed form). The address may
// carry the "SMTP:" type and the name quotes. Nothing when the text is no such
// address; a bare address is none either.
std::optional<Mailbox> WrittenMailbox(std::string_view text, bool loose = false);

// Throws EMailError when a header value holds a CR, LF or another control
// character (a tab is allowed).
void CheckHeaderValue(std::string_view what, std::string_view value);

// Throws EMailError unless the media type is a type and a subtype token.
void CheckMediaType(std::string_view type);

// The message in MIME form with CRLF line ends: header values RFC 2047-encoded,
// text parts as UTF-8 (quoted-printable), an HTML body as multipart/alternative
// with a plain-text rendering, attachments base64. Bcc appears in the header
// only with keep_bcc (a copy kept in the store, never one on the wire).
// Throws EMailError for bad values or an unreadable attachment.
std::string ComposeMime(const OutgoingMessage& message, bool keep_bcc = false);
// The same in pieces, for sending.
MimeText ComposeMimeText(const OutgoingMessage& message, bool keep_bcc = false);

// Every envelope recipient: To, then Cc, then Bcc.
std::vector<std::string> EnvelopeRecipients(const OutgoingMessage& message);

// The text of an HTML document (UTF-8) without its tags: script and style dropped,
// block ends as line breaks, list items as "- ", table cells apart by tabs, every
// entity decoded, and with link_addresses each link's address after its text
// ("text <address>") unless the text shows it. Malformed markup is read as a
// browser would read it.
enum class LinkAddresses { kDropped, kShown };
std::string HtmlToText(std::string_view html, LinkAddresses links = LinkAddresses::kShown);

// The media type for a file name by its extension; application/octet-stream
// when unknown.
std::string GuessMediaType(std::string_view file_name);

// The charset a text attachment's bytes are in: "utf-8" when they are valid
// UTF-8 (plain ASCII included), else "windows-1252".
std::string TextCharset(std::string_view data);

// The file-name part of a path (after the last '/', '\' or ':').
std::string FileNamePart(std::string_view path);

}  // namespace mail
