#include "platform/mail/received_message.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <stdexcept>

#include "platform/mail/vmime_support.h"
#include "platform/nls/nls.h"
#include "platform/nls/text.h"

namespace mail {

namespace {

// Bytes as UTF-8 when they are that, else as Windows-1252 (a byte it leaves
// undefined becomes U+FFFD), so text handed on is always valid UTF-8.
std::string Utf8OrWindows1252(std::string_view bytes) {
    if (platform::nls::IsValidUtf8(bytes))
        return std::string(bytes);
    std::string out;
    for (unsigned char byte : bytes) {
        platform::nls::AppendUtf8(
            out, platform::nls::ByteToUnicode(platform::nls::CodePage::Western, byte)
                     .value_or(U'\uFFFD'));
    }
    return out;
}

// Text in a declared charset as UTF-8. Text said to be US-ASCII (which is also
// what an undeclared charset reads as) is often raw 8-bit text that a program
// sent without saying so; an unknown charset or bytes that do not fit the one
// declared fall back the same way. `undecodable`, when given, is set when the
// bytes did not decode as declared (nor, said to be US-ASCII, as UTF-8).
std::string ToUtf8(const std::string& bytes, const vmime::charset& from,
                   bool* undecodable = nullptr) {
    const bool ascii = std::all_of(bytes.begin(), bytes.end(),
                                   [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    if (platform::nls::AsciiLower(from.getName()) !=
        platform::nls::AsciiLower(vmime::charsets::US_ASCII)) {
        try {
            // Strict: a byte the charset does not hold is no reason to invent a character.
            vmime::charsetConverterOptions options;
            options.silentlyReplaceInvalidSequences = false;
            std::string out;
            vmime::charset::convert(bytes, out, from, vmime::charsets::UTF_8, options);
            if (platform::nls::IsValidUtf8(out))
                return out;
        } catch (const std::exception&) {
            // vmime's own errors and the standard ones some of its converters throw alike.
        }
        if (undecodable != nullptr && !ascii)
            *undecodable = true;
    } else if (undecodable != nullptr && !platform::nls::IsValidUtf8(bytes)) {
        *undecodable = true;
    }
    return Utf8OrWindows1252(bytes);
}

// A header text word by word, each in its own charset (see ToUtf8).
std::string WordText(const vmime::word& word, bool* undecodable = nullptr) {
    return ToUtf8(word.getBuffer(), word.getCharset(), undecodable);
}

std::string HeaderText(const vmime::text& text, bool* undecodable = nullptr) {
    std::string out;
    for (std::size_t i = 0; i < text.getWordCount(); ++i)
        out += WordText(*text.getWordAt(i), undecodable);
    return out;
}

// An internationalized address stays as its sender wrote it: vmime would hand
// back its local part as an encoded word and its domain in punycode, an address
// nobody has.
std::string AddressText(const vmime::emailAddress& email) {
    const std::string local = email.getLocalName().getBuffer();
    const std::string domain = email.getDomainName().getBuffer();
    const auto ascii = [](const std::string& text) {
        return std::all_of(text.begin(), text.end(), [](unsigned char c) { return c < 0x80; });
    };
    if (ascii(local) && ascii(domain))
        return email.toString();
    return Utf8OrWindows1252(domain.empty() ? local : local + "@" + domain);
}

Mailbox FromVmime(const vmime::mailbox& box) {
    return Mailbox{HeaderText(box.getName()), AddressText(box.getEmail())};
}

std::string_view TrimBlanks(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

// The address as the sender wrote it in a mailbox's text: between the angle
// brackets when there are any, else the whole text.
std::string_view WrittenAddress(std::string_view text) {
    text = TrimBlanks(text);
    const auto open = text.rfind('<');
    if (open != std::string_view::npos && !text.empty() && text.back() == '>')
        return TrimBlanks(text.substr(open + 1, text.size() - open - 2));
    return text;
}

// A mailbox of `value`, whose text is `text`. vmime makes up an address it
// cannot read (this machine's host name as the domain of a bare word,
// "invalid@invalid" for an empty or broken one); the sender's own text is
// kept instead, so whoever checks it sees what was really sent.
Mailbox AsWritten(const vmime::mailbox& box, std::string_view text) {
    Mailbox out = FromVmime(box);
    const std::string_view written = WrittenAddress(text);
    const std::string domain = box.getEmail().getDomainName().getBuffer();
    // An encoded word inside the address is no encoding there (vmime decodes it anyway).
    if (written.find("@" + domain) == std::string_view::npos ||
        written.find("=?") != std::string_view::npos)
        out.address = Utf8OrWindows1252(written);
    return out;
}

// Every mailbox of an address-list header value, groups flattened.
std::vector<Mailbox> AddressesOf(std::string_view value) {
    std::vector<Mailbox> out;
    const std::string text(value);
    vmime::addressList list;
    list.parse(text);
    const auto slice = [&](const vmime::component& part) {
        return std::string_view(text).substr(std::min(part.getParsedOffset(), text.size()),
                                             part.getParsedLength());
    };
    const auto add = [&](const vmime::mailbox& box) {
        Mailbox written = AsWritten(box, slice(box));
        if (!written.name.empty() || !written.address.empty())  // "<>" names nobody
            out.push_back(std::move(written));
    };
    for (std::size_t i = 0; i < list.getAddressCount(); ++i) {
        const auto address = list.getAddressAt(i);
        if (auto group = vmime::dynamicCast<const vmime::mailboxGroup>(address)) {
            for (std::size_t k = 0; k < group->getMailboxCount(); ++k)
                add(*group->getMailboxAt(k));
        } else if (auto box = vmime::dynamicCast<const vmime::mailbox>(address)) {
            add(*box);
        }
    }
    return out;
}

// The unfolded value of a top-level header field, straight from the text:
// vmime keeps only the first mailbox of a From or Reply-To.
std::string RawHeaderValue(std::string_view raw, std::string_view name) {
    std::size_t pos = 0;
    std::string value;
    bool inside = false;
    while (pos < raw.size()) {
        auto end = raw.find('\n', pos);
        if (end == std::string_view::npos)
            end = raw.size();
        std::string_view line = raw.substr(pos, end - pos);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        pos = end + 1;
        if (line.empty())
            break;  // end of the header
        if (line[0] == ' ' || line[0] == '\t') {
            if (inside)
                value += std::string(" ") + std::string(line.substr(1));
            continue;
        }
        if (inside)
            break;
        const auto colon = line.find(':');
        if (colon == name.size() && platform::nls::AsciiLower(std::string(line.substr(0, colon))) ==
                                        platform::nls::AsciiLower(std::string(name))) {
            value = std::string(line.substr(colon + 1));
            inside = true;
        }
    }
    return value;
}

// Deeper than any mail program nests its parts; vmime parses nested parts by
// recursion and rescans each level's text, so a hostile nesting would cost
// quadratic time and, some thousands deep, the thread's whole stack.
constexpr std::size_t kMaxMultipartDepth = 100;

// The boundary a multipart Content-Type value names, else empty.
std::string MultipartBoundary(std::string_view value) {
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t'))
        value.remove_prefix(1);
    if (!platform::nls::StartsWithAscii(value, "multipart/"))
        return {};
    const std::string lower = platform::nls::AsciiLower(std::string(value));
    const auto at = lower.find("boundary=");
    if (at == std::string::npos)
        return {};
    std::string_view rest = value.substr(at + 9);
    if (!rest.empty() && rest.front() == '"') {
        rest.remove_prefix(1);
        return std::string(rest.substr(0, rest.find('"')));
    }
    return std::string(rest.substr(0, rest.find_first_of("; \t")));
}

// A message said to be multipart whose body holds no line with its boundary.
bool BoundaryNeverComes(std::string_view raw, std::string_view body) {
    const std::string boundary = MultipartBoundary(RawHeaderValue(raw, "Content-Type"));
    if (boundary.empty() || body.empty())
        return false;
    const std::string delimiter = "--" + boundary;
    return !body.starts_with(delimiter) && body.find("\n" + delimiter) == std::string_view::npos;
}

// How deep the multiparts of a raw message nest, found as vmime finds them: a
// part's header names its boundary, and a delimiter line of an enclosing
// boundary ends every part inside it. Stops counting past `limit`.
std::size_t MultipartDepth(std::string_view raw, std::size_t limit) {
    std::vector<std::string> open;  // boundaries, outermost first
    std::size_t deepest = 0;
    bool in_header = true, in_content_type = false;
    std::string content_type;
    std::size_t pos = 0;
    while (pos < raw.size()) {
        auto end = raw.find('\n', pos);
        if (end == std::string_view::npos)
            end = raw.size();
        std::string_view line = raw.substr(pos, end - pos);
        pos = end + 1;
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (in_header) {
            if (line.empty()) {
                in_header = false;
                if (std::string boundary = MultipartBoundary(content_type); !boundary.empty()) {
                    open.push_back(std::move(boundary));
                    deepest = std::max(deepest, open.size());
                    if (deepest > limit)
                        return deepest;
                }
                content_type.clear();
                in_content_type = false;
            } else if (line.front() == ' ' || line.front() == '\t') {
                if (in_content_type)
                    content_type += line;
            } else {
                in_content_type = platform::nls::StartsWithAscii(line, "content-type:");
                if (in_content_type)
                    content_type = std::string(line.substr(13));
            }
            continue;
        }
        if (line.size() < 3 || line[0] != '-' || line[1] != '-')
            continue;
        while (!line.empty() && (line.back() == ' ' || line.back() == '\t'))
            line.remove_suffix(1);
        for (std::size_t k = open.size(); k-- > 0;) {
            const std::string& boundary = open[k];
            if (line.substr(2, boundary.size()) != boundary)
                continue;
            const std::string_view rest = line.substr(2 + boundary.size());
            if (rest == "--") {
                open.resize(k);  // back in the enclosing part's body
                break;
            }
            if (rest.empty()) {
                open.resize(k + 1);
                in_header = true;  // a part of this multipart begins
                break;
            }
        }
    }
    return deepest;
}

// vmime gives up on some malformed encoded words with a standard exception
// that ends the parse of the whole message. A header field, of the message or
// of a part, that vmime cannot read for that reason gets each "=?" written
// "= ?": it then reads as the plain text it is, and the rest of the message
// reads as well.
std::string WithoutUnreadableEncodedWords(std::string_view raw) {
    std::string out;
    out.reserve(raw.size() + 16);
    std::string field;  // the current header field, its lines as they stand
    const auto flush = [&] {
        if (field.find("=?") != std::string::npos) {
            bool unreadable = false;
            try {
                vmime::header header;
                header.parse(field);
            } catch (const std::logic_error&) {
                unreadable = true;
            } catch (const std::exception&) {
                // Other damage vmime handles in the message as a whole.
            }
            if (unreadable) {
                std::string defused;
                for (std::size_t i = 0; i < field.size(); ++i) {
                    defused += field[i];
                    if (field[i] == '=' && i + 1 < field.size() && field[i + 1] == '?')
                        defused += ' ';
                }
                field = std::move(defused);
            }
        }
        out += field;
        field.clear();
    };
    bool in_header = true;
    std::size_t pos = 0;
    while (pos < raw.size()) {
        auto end = raw.find('\n', pos);
        end = end == std::string_view::npos ? raw.size() : end + 1;
        const std::string_view line = raw.substr(pos, end - pos);
        pos = end;
        std::string_view bare = line;
        while (!bare.empty() && (bare.back() == '\n' || bare.back() == '\r'))
            bare.remove_suffix(1);
        if (!in_header) {
            out += line;
            // A delimiter may open a part, whose header follows.
            if (bare.starts_with("--"))
                in_header = true;
        } else if (bare.empty()) {
            flush();
            out += line;
            in_header = false;
        } else if (bare.front() == ' ' || bare.front() == '\t') {
            field += line;
        } else {
            flush();
            field = line;
        }
    }
    flush();
    return out;
}

std::string Decoded(const vmime::bodyPart& part) {
    std::string bytes;
    vmime::utility::outputStreamStringAdapter stream(bytes);
    try {
        part.getBody()->getContents()->extract(stream);
    } catch (const vmime::exceptions::no_encoder_available&) {
        // A transfer encoding nobody knows: its text as it came is still the text
        // the sender wrote, and better than none in a request or a forward.
        bytes.clear();
        part.getBody()->getContents()->extractRaw(stream);
    }
    return bytes;
}

vmime::mediaType TypeOf(const vmime::bodyPart& part) {
    auto header = part.getHeader();
    if (header->hasField(vmime::fields::CONTENT_TYPE)) {
        if (auto type = header->ContentType()->getValue<vmime::mediaType>())
            return *type;
    }
    return vmime::mediaType("text", "plain");
}

std::string ReportType(const vmime::bodyPart& part) {
    auto header = part.getHeader();
    if (header->hasField(vmime::fields::CONTENT_TYPE)) {
        auto field = vmime::dynamicCast<const vmime::contentTypeField>(header->ContentType());
        if (field && field->hasParameter("report-type"))
            return platform::nls::AsciiLower(
                field->findParameter("report-type")->getValue().getBuffer());
    }
    return {};
}

std::string AttachmentName(const vmime::bodyPart& part) {
    auto header = part.getHeader();
    if (header->hasField(vmime::fields::CONTENT_DISPOSITION)) {
        auto field =
            vmime::dynamicCast<const vmime::contentDispositionField>(header->ContentDisposition());
        if (field && field->hasFilename()) {
            return WordText(field->getFilename());
        }
    }
    if (header->hasField(vmime::fields::CONTENT_TYPE)) {
        auto field = vmime::dynamicCast<const vmime::contentTypeField>(header->ContentType());
        if (field && field->hasParameter("name")) {
            return WordText(field->findParameter("name")->getValue());
        }
    }
    return {};
}

std::string DeclaredCharset(const vmime::bodyPart& part) {
    auto header = part.getHeader();
    if (header->hasField(vmime::fields::CONTENT_TYPE)) {
        auto field = vmime::dynamicCast<const vmime::contentTypeField>(header->ContentType());
        if (field && field->hasParameter("charset")) {
            const std::string name = field->findParameter("charset")->getValue().getBuffer();
            // It goes back into a header: a token of printable ASCII only.
            if (!name.empty() && name.size() <= 64 &&
                std::all_of(name.begin(), name.end(), [](unsigned char c) {
                    return c > 0x20 && c < 0x7F &&
                           std::string_view("()<>@,;:\\\"/[]?=").find(static_cast<char>(c)) ==
                               std::string_view::npos;
                })) {
                return name;
            }
        }
    }
    return {};
}

bool IsAttachment(const vmime::bodyPart& part) {
    auto header = part.getHeader();
    if (header->hasField(vmime::fields::CONTENT_DISPOSITION)) {
        auto value = header->ContentDisposition()->getValue<vmime::contentDisposition>();
        if (value && platform::nls::AsciiLower(value->getName()) == "attachment")
            return true;
    }
    return !AttachmentName(part).empty();
}

// The name a member's mail program may save the attachment under, so it carries no
// folder: the part after the last "/", "\\" or ":" with blanks and dots trimmed, the
// characters Windows refuses in names as "_", a device name (CON, NUL, COM1, ...)
// behind a "_", and at most 200 bytes, cut at a character and keeping the extension.
std::string SafeFileName(std::string name) {
    const auto cut = name.find_last_of("/\\:");
    if (cut != std::string::npos)
        name.erase(0, cut + 1);
    const auto first = name.find_first_not_of(" .");
    const auto last = name.find_last_not_of(" .");
    name = first == std::string::npos ? std::string() : name.substr(first, last - first + 1);
    for (char& c : name) {
        if (std::string_view("<>\"|?*").find(c) != std::string_view::npos)
            c = '_';
    }
    std::string stem = platform::nls::AsciiLower(name.substr(0, name.find('.')));
    while (!stem.empty() && stem.back() == ' ')
        stem.pop_back();
    static constexpr std::string_view kDevices[] = {"con", "prn", "aux", "nul", "clock$"};
    const bool numbered = stem.size() == 4 &&
                          (stem.starts_with("com") || stem.starts_with("lpt")) && stem[3] >= '0' &&
                          stem[3] <= '9';
    if (numbered || std::find(std::begin(kDevices), std::end(kDevices), stem) != std::end(kDevices))
        name.insert(0, "_");
    constexpr std::size_t kMaxBytes = 200;
    if (name.size() > kMaxBytes) {
        const auto dot = name.rfind('.');
        const std::string extension =
            dot != std::string::npos && name.size() - dot <= 16 ? name.substr(dot) : std::string();
        std::size_t keep = kMaxBytes - extension.size();
        while (keep > 0 && (static_cast<unsigned char>(name[keep]) & 0xC0) == 0x80)
            --keep;
        name = name.substr(0, keep) + extension;
    }
    return name;
}

struct Walk {
    std::string plain;
    std::string html;
    std::string report;  // delivery status and returned headers
    std::vector<Attachment> attachments;
    bool in_report = false;
    bool disposition = false;  // a read receipt or other disposition notification
    bool undecodable = false;  // the text part did not decode in its charset

    void Part(const vmime::bodyPart& part) {
        const auto type = TypeOf(part);
        const std::string major = platform::nls::AsciiLower(type.getType());
        const std::string minor = platform::nls::AsciiLower(type.getSubType());
        const auto body = part.getBody();
        if (major == "multipart") {
            const bool was_report = in_report;
            in_report = in_report || minor == "report";
            if (minor == "report" && ReportType(part) == "disposition-notification")
                disposition = true;
            for (std::size_t i = 0; i < body->getPartCount(); ++i)
                Part(*body->getPartAt(i));
            in_report = was_report;
            return;
        }
        if (major == "message" && minor == "disposition-notification")
            disposition = true;
        if (major == "message" && minor == "delivery-status") {
            report += ToUtf8(Decoded(part), vmime::charsets::US_ASCII) + "\r\n";
            return;
        }
        if ((major == "text" && minor == "rfc822-headers") ||
            (in_report && major == "message" && minor == "rfc822")) {
            std::string text = Decoded(part);
            if (minor == "rfc822") {
                const auto end = text.find("\r\n\r\n");
                const auto lf_end = text.find("\n\n");
                text = text.substr(0, std::min(end, lf_end));
            }
            report += ToUtf8(text, vmime::charsets::US_ASCII) + "\r\n";
            return;
        }
        if (!IsAttachment(part) && major == "text" && (minor == "plain" || minor == "html")) {
            std::string& target = minor == "plain" ? plain : html;
            if (target.empty())
                target = ToUtf8(Decoded(part), body->getCharset(), &undecodable);
            return;
        }
        if (major == "multipart")
            return;
        Attachment attachment;
        // The name and type go into a forward's header as they are: a line break or
        // another control character in a name, or a type without its two tokens,
        // would make every forward of the message fail.
        attachment.display_name = AttachmentName(part);
        for (char& c : attachment.display_name) {
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
                c = ' ';
        }
        attachment.display_name = SafeFileName(std::move(attachment.display_name));
        if (attachment.display_name.empty())
            attachment.display_name = "attachment";
        attachment.media_type = type.generate();
        try {
            CheckMediaType(attachment.media_type);
        } catch (const std::exception&) {
            attachment.media_type = "application/octet-stream";
        }
        attachment.data = Decoded(part);
        // A text attachment is forwarded in the charset its sender declared
        // (ISO-2022-JP, KOI8-R, ...); what its bytes look like cannot tell that.
        // Raw 8-bit text said to be US-ASCII is told from its bytes, as a body is.
        if (platform::nls::AsciiLower(type.getType()) == "text") {
            attachment.charset = DeclaredCharset(part);
            if (platform::nls::AsciiLower(attachment.charset) == "us-ascii" &&
                std::any_of(attachment.data->begin(), attachment.data->end(),
                            [](unsigned char c) { return c >= 0x80; })) {
                attachment.charset.clear();
            }
        }
        attachments.push_back(std::move(attachment));
    }
};

}  // namespace

std::string FormatMailbox(const Mailbox& box) {
    if (box.name.empty())
        return box.address;
    return box.name + " <" + box.address + ">";
}

namespace {

std::string TrimmedLower(std::string text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    const auto last = text.find_last_not_of(" \t\r\n");
    return first == std::string::npos
               ? std::string()
               : platform::nls::AsciiLower(text.substr(first, last - first + 1));
}

bool SaysAutomaticReply(std::string_view raw) {
    const std::string submitted = TrimmedLower(RawHeaderValue(raw, "Auto-Submitted"));
    const std::string precedence = TrimmedLower(RawHeaderValue(raw, "Precedence"));
    // Only replies: "auto-generated" also marks mail that programs send for people, such
    // as a web form's subscribe request.
    return submitted.starts_with("auto-replied") ||
           !TrimmedLower(RawHeaderValue(raw, "X-Autoreply")).empty() ||
           !TrimmedLower(RawHeaderValue(raw, "X-Autorespond")).empty() ||
           precedence == "auto_reply";
}

// Delivery reports come from the mail system's own mailboxes.
bool FromMailSystem(std::string_view address) {
    const std::string local =
        platform::nls::AsciiLower(std::string(address.substr(0, address.find('@'))));
    return local == "mailer-daemon" || local == "postmaster";
}

// Throws what vmime throws; `result` keeps what was read before.
void ReadMessage(std::string_view raw, ReceivedMessage& result) {
    vmime::message message;
    auto header_end = raw.find("\r\n\r\n");
    std::size_t body_start = header_end == std::string_view::npos ? raw.size() : header_end + 4;
    if (header_end == std::string_view::npos) {
        header_end = raw.find("\n\n");
        body_start = header_end == std::string_view::npos ? raw.size() : header_end + 2;
    }
    if (MultipartDepth(raw, kMaxMultipartDepth) > kMaxMultipartDepth) {
        // Only the header is read; the message itself stays as it is in its folder.
        message.getHeader()->parse(std::string(raw.substr(0, header_end)) + "\r\n");
        message.getHeader()->removeAllFields(vmime::fields::CONTENT_TYPE);
    } else if (BoundaryNeverComes(raw, raw.substr(body_start))) {
        // Mail programs show such a body as the text it is; vmime would take its first
        // lines for a part's header and lose them.
        message.getHeader()->parse(std::string(raw.substr(0, header_end)) + "\r\n");
        message.getHeader()->removeAllFields(vmime::fields::CONTENT_TYPE);
        message.getHeader()->removeAllFields(vmime::fields::CONTENT_TRANSFER_ENCODING);
        message.getBody()->setContents(
            vmime::make_shared<vmime::stringContentHandler>(std::string(raw.substr(body_start))));
    } else {
        message.parse(std::string(raw));
    }
    const auto header = message.getHeader();
    if (header->hasField(vmime::fields::SUBJECT)) {
        if (auto text = header->Subject()->getValue<vmime::text>()) {
            result.subject = HeaderText(*text, &result.subject_undecodable);
        }
    }
    // vmime reads From as a single mailbox, so a second address would
    // end up in the first; the header is read as the list it may be.
    if (header->hasField(vmime::fields::FROM)) {
        auto from = AddressesOf(RawHeaderValue(raw, vmime::fields::FROM));
        if (!from.empty())
            result.from = std::move(from.front());
    }
    if (header->hasField(vmime::fields::REPLY_TO))
        result.reply_to = AddressesOf(RawHeaderValue(raw, vmime::fields::REPLY_TO));
    if (header->hasField(vmime::fields::TO))
        result.to = AddressesOf(RawHeaderValue(raw, vmime::fields::TO));
    if (header->hasField(vmime::fields::CC))
        result.cc = AddressesOf(RawHeaderValue(raw, vmime::fields::CC));
    if (header->hasField(vmime::fields::DATE)) {
        const std::string text = header->Date()->getValue()->generate();
        auto date = header->Date()->getValue<vmime::datetime>();
        // vmime reads anything; a date it could not make sense of comes
        // back as the epoch, which no real mail carries.
        if (date && date->getYear() > 1970) {
            const vmime::datetime utc = vmime::utility::datetimeUtils::toUniversalTime(*date);
            std::tm tm{};
            tm.tm_year = utc.getYear() - 1900;
            tm.tm_mon = utc.getMonth() - 1;
            tm.tm_mday = utc.getDay();
            tm.tm_hour = utc.getHour();
            tm.tm_min = utc.getMinute();
            tm.tm_sec = utc.getSecond();
            // A date the clock cannot represent (beyond about 2262 with
            // nanoseconds) is as unreadable as a garbled one.
            const std::time_t seconds = timegm(&tm);
            using std::chrono::system_clock;
            constexpr auto kLimit =
                std::chrono::duration_cast<std::chrono::seconds>(system_clock::duration::max())
                    .count();
            if (seconds != static_cast<std::time_t>(-1) && seconds > 0 && seconds < kLimit)
                result.sent_on = system_clock::from_time_t(seconds);
        }
    }
    Walk walk;
    walk.Part(message);
    // Requests are read from the text as it was; a forward shows members where links lead.
    result.plain_body =
        !walk.plain.empty() ? walk.plain : HtmlToText(walk.html, LinkAddresses::kDropped);
    result.forward_body = !walk.plain.empty() ? walk.plain : HtmlToText(walk.html);
    for (std::string* body : {&result.plain_body, &result.forward_body}) {
        if (walk.report.empty())
            break;
        if (!body->empty() && body->back() != '\n')
            *body += "\r\n";
        *body += walk.report;
    }
    result.attachments = std::move(walk.attachments);
    result.disposition_notification = walk.disposition;
    result.body_undecodable = walk.undecodable;
    result.automatic_reply = SaysAutomaticReply(raw) && walk.report.empty() && !walk.disposition &&
                             !FromMailSystem(result.from.address);
}

}  // namespace

ReceivedMessage ParseMessage(std::string_view raw) {
    detail::EnsureVmime();
    // Lines ended by CR alone, as old Mac mail programs wrote them, would read as one
    // header line holding the whole message.
    std::string with_line_feeds;
    if (raw.find('\n') == std::string_view::npos && raw.find('\r') != std::string_view::npos) {
        with_line_feeds.reserve(raw.size() * 2);
        for (char c : raw) {
            with_line_feeds += c;
            if (c == '\r')
                with_line_feeds += '\n';
        }
        raw = with_line_feeds;
    }
    ReceivedMessage result;
    try {
        try {
            ReadMessage(raw, result);
        } catch (const std::logic_error&) {
            // The library's own string handling gave up on a malformed encoded
            // word with a standard exception rather than its own.
            result = ReceivedMessage{};
            ReadMessage(WithoutUnreadableEncodedWords(raw), result);
        }
    } catch (const vmime::exception&) {
        // Whatever was read before the damage stays.
    } catch (const std::bad_cast&) {
    } catch (const std::logic_error&) {
    }
    return result;
}

}  // namespace mail
