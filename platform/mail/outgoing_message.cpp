#include "platform/mail/outgoing_message.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <vector>

#include <libxml/HTMLparser.h>
#include <unistd.h>

#include "platform/mail/mail_error.h"
#include "platform/mail/vmime_support.h"
#include "platform/nls/nls.h"
#include "platform/nls/text.h"

namespace mail {

namespace {

bool PlainAscii(std::string_view text) {
    return std::all_of(text.begin(), text.end(),
                       [](unsigned char c) { return c >= 0x20 && c < 0x7F; });
}

std::string Base64(std::string_view bytes) {
    static constexpr std::string_view kDigits =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        std::uint32_t group = static_cast<unsigned char>(bytes[i]) << 16;
        if (i + 1 < bytes.size())
            group |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        if (i + 2 < bytes.size())
            group |= static_cast<unsigned char>(bytes[i + 2]);
        out += kDigits[(group >> 18) & 63];
        out += kDigits[(group >> 12) & 63];
        out += i + 1 < bytes.size() ? kDigits[(group >> 6) & 63] : '=';
        out += i + 2 < bytes.size() ? kDigits[group & 63] : '=';
    }
    return out;
}

constexpr std::size_t kHeaderLineLength = 76;

// A header text as RFC 2047 encoded words of whole UTF-8 characters, each at
// most 64 characters long, folded between words. Blanks between encoded words
// are no part of the text, so every blank of the text comes back as it was;
// vmime's own encoding cuts mixed text where the charset changes and drops or
// doubles the blanks there ("Müller, Hans" arrived as "Müller,Hans").
std::size_t WriteEncodedWords(std::string_view text, vmime::utility::outputStream& os,
                              std::size_t position) {
    constexpr std::size_t kBytesPerWord = 39;  // 52 base64 characters
    std::size_t start = 0;
    do {
        std::size_t end = std::min(text.size(), start + kBytesPerWord);
        while (end < text.size() && end > start &&
               (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) {
            --end;
        }
        if (end == start)
            end = std::min(text.size(), start + kBytesPerWord);
        const std::string word = "=?utf-8?B?" + Base64(text.substr(start, end - start)) + "?=";
        if (start == 0) {
            if (position > 1 && position + word.size() > kHeaderLineLength) {
                os << "\r\n ";
                position = 1;
            }
        } else {
            if (position + 1 + word.size() > kHeaderLineLength) {
                os << "\r\n ";
                position = 1;
            } else {
                os << " ";
                ++position;
            }
        }
        os << word;
        position += word.size();
        start = end;
    } while (start < text.size());
    return position;
}

// A mailbox whose display name goes out as encoded words of our own. Also for
// a plain-ASCII name with a backslash: vmime puts such a name in quotes without
// escaping the backslash, so a name ending in one would swallow the address.
class EncodedNameMailbox : public vmime::mailbox {
  public:
    EncodedNameMailbox(std::string name, const vmime::emailAddress& address)
        : vmime::mailbox(vmime::text(name, vmime::charsets::UTF_8), address),
          name_(std::move(name)) {}

    vmime::shared_ptr<vmime::component> clone() const override {
        return vmime::make_shared<EncodedNameMailbox>(*this);
    }

    void generateImpl(const vmime::generationContext& ctx, vmime::utility::outputStream& os,
                      const size_t line_position, size_t* new_line_position) const override {
        std::size_t position = WriteEncodedWords(name_, os, line_position);
        const std::string address = getEmail().toString();
        if (position + 3 + address.size() > kHeaderLineLength) {
            os << "\r\n <";
            position = 2;
        } else {
            os << " <";
            position += 2;
        }
        getEmail().generate(ctx, os, position, &position);
        os << ">";
        ++position;
        if (new_line_position != nullptr)
            *new_line_position = position;
    }

  private:
    std::string name_;
};

// An unstructured header text (the subject) as encoded words of our own.
class EncodedText : public vmime::text {
  public:
    explicit EncodedText(std::string utf8)
        : vmime::text(utf8, vmime::charsets::UTF_8), utf8_(std::move(utf8)) {}

    vmime::shared_ptr<vmime::component> clone() const override {
        return vmime::make_shared<EncodedText>(*this);
    }

  protected:
    void generateImpl(const vmime::generationContext&, vmime::utility::outputStream& os,
                      const size_t line_position, size_t* new_line_position) const override {
        const std::size_t position = WriteEncodedWords(utf8_, os, line_position);
        if (new_line_position != nullptr)
            *new_line_position = position;
    }

  private:
    std::string utf8_;
};

}  // namespace

namespace detail {

vmime::shared_ptr<vmime::mailbox> ToVmime(const Mailbox& box) {
    if (box.name.empty())
        return vmime::make_shared<vmime::mailbox>(vmime::emailAddress(box.address));
    if (!PlainAscii(box.name) || box.name.find('\\') != std::string::npos)
        return vmime::make_shared<EncodedNameMailbox>(box.name, vmime::emailAddress(box.address));
    return vmime::make_shared<vmime::mailbox>(vmime::text(box.name, vmime::charsets::UTF_8),
                                              vmime::emailAddress(box.address));
}

void CheckMailbox(const Mailbox& box) {
    CheckEnvelopeAddress(box.address);
    CheckHeaderValue("display name", box.name);
}

// Text parts go out with CRLF line ends whatever the caller used.
std::string NormalizeLineEnds(std::string_view text) {
    std::string out;
    out.reserve(text.size() + text.size() / 32);
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\r') {
            out += "\r\n";
            if (i + 1 < text.size() && text[i + 1] == '\n')
                ++i;
        } else if (c == '\n') {
            out += "\r\n";
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace detail

using detail::CheckMailbox;
using detail::NormalizeLineEnds;
using detail::ToVmime;

void CheckEnvelopeAddress(std::string_view address) {
    if (address.empty())
        throw EMailError("An e-mail address is empty");
    // One address only: no list separators, no comments.
    for (unsigned char c : address) {
        if (c < 0x21 || c == 0x7F || c == '<' || c == '>' || c == ',' || c == ';' || c == '(' ||
            c == ')') {
            throw EMailError("The e-mail address \"" + std::string(address) +
                             "\" holds a character that is not allowed");
        }
    }
    const auto at = address.rfind('@');
    if (at == std::string_view::npos || at == 0 || at + 1 == address.size()) {
        throw EMailError("\"" + std::string(address) + "\" is not an e-mail address");
    }
    // A domain beyond ASCII goes out in its IDNA form, but a mailbox name has
    // none: vmime would send it as an encoded word, another address altogether.
    if (!std::all_of(address.begin(), address.begin() + static_cast<std::ptrdiff_t>(at),
                     [](unsigned char c) { return c < 0x80; })) {
        throw EMailError("The e-mail address \"" + std::string(address) +
                         "\" holds characters beyond ASCII before the \"@\", which mail "
                         "servers cannot take");
    }
}

void CheckHeaderValue(std::string_view what, std::string_view value) {
    if (value.find_first_of("\r\n") != std::string_view::npos) {
        throw EMailError("The " + std::string(what) + " holds a line break");
    }
    for (unsigned char c : value) {
        if ((c < 0x20 && c != '\t') || c == 0x7F)
            throw EMailError("The " + std::string(what) + " holds a control character");
    }
}

void CheckMediaType(std::string_view type) {
    // type "/" subtype, each a token of RFC 2045.
    const auto token = [](std::string_view part) {
        return !part.empty() && std::all_of(part.begin(), part.end(), [](unsigned char c) {
            return c > 0x20 && c < 0x7F &&
                   std::string_view("()<>@,;:\\\"/[]?=").find(static_cast<char>(c)) ==
                       std::string_view::npos;
        });
    };
    const auto slash = type.find('/');
    if (slash == std::string_view::npos || !token(type.substr(0, slash)) ||
        !token(type.substr(slash + 1))) {
        throw EMailError("The media type \"" + std::string(type) + "\" is not valid");
    }
}

std::vector<std::string> EnvelopeRecipients(const OutgoingMessage& message) {
    std::vector<std::string> all;
    for (const auto* list : {&message.to, &message.cc, &message.bcc}) {
        for (const auto& box : *list)
            all.push_back(box.address);
    }
    return all;
}

std::string FileNamePart(std::string_view path) {
    const auto cut = path.find_last_of("/\\:");
    return std::string(cut == std::string_view::npos ? path : path.substr(cut + 1));
}

std::string GuessMediaType(std::string_view file_name) {
    static constexpr std::array<std::pair<std::string_view, std::string_view>, 16> kTypes{{
        {"txt", "text/plain"},
        {"csv", "text/csv"},
        {"htm", "text/html"},
        {"html", "text/html"},
        {"pdf", "application/pdf"},
        {"zip", "application/zip"},
        {"doc", "application/msword"},
        {"xls", "application/vnd.ms-excel"},
        {"rtf", "application/rtf"},
        {"png", "image/png"},
        {"jpg", "image/jpeg"},
        {"jpeg", "image/jpeg"},
        {"gif", "image/gif"},
        {"eml", "message/rfc822"},
        {"vcf", "text/vcard"},
        {"xml", "application/xml"},
    }};
    const auto dot = file_name.rfind('.');
    if (dot != std::string_view::npos) {
        const auto ext = platform::nls::AsciiLower(file_name.substr(dot + 1));
        for (const auto& [known, type] : kTypes) {
            if (ext == known)
                return std::string(type);
        }
    }
    return "application/octet-stream";
}

namespace {

bool IsElement(const xmlNode* node, std::string_view name) {
    return node->type == XML_ELEMENT_NODE && node->name != nullptr &&
           name == reinterpret_cast<const char*>(node->name);
}

void AppendTextNode(const xmlNode* node, std::string& out) {
    const std::string_view text = node->content ? reinterpret_cast<const char*>(node->content) : "";
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\r' || c == '\n' || c == '\t' || c == ' ') {
            if (!out.empty() && out.back() != ' ' && out.back() != '\n')
                out += ' ';
        } else if (c == '\xC2' && i + 1 < text.size() && text[i + 1] == '\xA0') {
            out += ' ';
            ++i;
        } else {
            out += c;
        }
    }
}

// A link's address follows its text, as "text <address>", unless the text already
// shows it: in plain text a link is only as good as the address a reader can see.
// Links within the page and scripts lead nowhere outside it.
void AppendLinkAddress(const xmlNode* anchor, std::size_t text_start, std::string& out) {
    xmlChar* href = xmlGetProp(anchor, reinterpret_cast<const xmlChar*>("href"));
    if (href == nullptr)
        return;
    std::string address = reinterpret_cast<const char*>(href);
    xmlFree(href);
    const auto first = address.find_first_not_of(" \t\r\n");
    if (first == std::string::npos)
        return;
    address = address.substr(first, address.find_last_not_of(" \t\r\n") - first + 1);
    for (char& c : address) {
        if (c == '\r' || c == '\n' || c == '\t')
            c = ' ';
    }
    if (address.front() == '#' || platform::nls::StartsWithAscii(address, "javascript:"))
        return;
    const std::string shown =
        platform::nls::StartsWithAscii(address, "mailto:") ? address.substr(7) : address;
    std::string_view text = std::string_view(out).substr(std::min(text_start, out.size()));
    while (!text.empty() && (text.front() == ' ' || text.front() == '\n'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\n'))
        text.remove_suffix(1);
    // A link without contents shows nothing in a browser either.
    if (text == shown || text == address || (text.empty() && anchor->children == nullptr))
        return;
    if (!out.empty() && out.back() != ' ' && out.back() != '\n')
        out += ' ';
    out += text.empty() ? shown : "<" + shown + ">";
}

// Appends the text below `root`: runs of source blanks and line breaks become one blank,
// since they are layout, while block ends, list items and table cells keep a plain-text
// shape. A no-break space stays a blank of its own. The walk keeps its own stack, so no
// nesting depth a mail may bring can exhaust the thread's.
void AppendText(const xmlNode* root, LinkAddresses links, std::string& out) {
    static constexpr std::array<std::string_view, 10> kBlockEnds = {
        "p", "div", "tr", "li", "h1", "h2", "h3", "title", "table", "br"};
    std::vector<const xmlNode*> open;      // elements whose children are being visited
    std::vector<std::size_t> link_starts;  // where the text of each open link began
    const xmlNode* node = root;
    while (node != nullptr) {
        bool descend = false;
        if (node->type == XML_TEXT_NODE || node->type == XML_CDATA_SECTION_NODE) {
            AppendTextNode(node, out);
        } else if (node->type == XML_ELEMENT_NODE && !IsElement(node, "script") &&
                   !IsElement(node, "style")) {
            if (IsElement(node, "a"))
                link_starts.push_back(out.size());
            if (IsElement(node, "li"))
                out += "- ";
            else if (IsElement(node, "td") || IsElement(node, "th"))
                out += '\t';
            descend = true;
        }
        if (descend && node->children != nullptr) {
            open.push_back(node);
            node = node->children;
            continue;
        }
        // Leaving `node`, and every element whose last child it was.
        for (;;) {
            if (IsElement(node, "a") && !link_starts.empty()) {
                if (links == LinkAddresses::kShown)
                    AppendLinkAddress(node, link_starts.back(), out);
                link_starts.pop_back();
            }
            if (descend || node->type == XML_ELEMENT_NODE) {
                for (std::string_view block : kBlockEnds) {
                    if (IsElement(node, block)) {
                        out += '\n';
                        break;
                    }
                }
            }
            descend = false;
            if (node->next != nullptr) {
                node = node->next;
                break;
            }
            if (open.empty()) {
                node = nullptr;
                break;
            }
            node = open.back();
            open.pop_back();
            descend = true;
        }
    }
}

}  // namespace

std::string HtmlToText(std::string_view html, LinkAddresses links) {
    if (html.empty())
        return {};
    if (html.size() > static_cast<std::size_t>(std::numeric_limits<int>::max()))
        throw EMailError("The HTML text is too large to convert");
    // The text is UTF-8 by now, whatever a <meta> inside it says; the parser recovers from
    // malformed markup as browsers do and never fetches anything.
    const std::unique_ptr<xmlDoc, decltype(&xmlFreeDoc)> document(
        htmlReadMemory(html.data(), static_cast<int>(html.size()), nullptr, "UTF-8",
                       HTML_PARSE_RECOVER | HTML_PARSE_NOERROR | HTML_PARSE_NOWARNING |
                           HTML_PARSE_NONET | XML_PARSE_HUGE),
        &xmlFreeDoc);
    if (!document)
        return {};
    std::string out;
    AppendText(document->children, links, out);
    // Trim blanks at line ends and blank lines at both ends.
    std::string cleaned;
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
        while (!line.empty() && line.back() == ' ')
            line.pop_back();
        std::size_t lead = 0;
        while (lead < line.size() && line[lead] == ' ')
            ++lead;
        cleaned += line.substr(lead) + "\n";
    }
    while (!cleaned.empty() && cleaned.front() == '\n')
        cleaned.erase(0, 1);
    while (cleaned.size() > 1 && cleaned.back() == '\n' && cleaned[cleaned.size() - 2] == '\n') {
        cleaned.pop_back();
    }
    return cleaned;
}

namespace {

std::string AttachmentName(const Attachment& attachment) {
    return attachment.display_name.empty() ? FileNamePart(attachment.path)
                                           : attachment.display_name;
}

std::string AttachmentType(const Attachment& attachment) {
    return attachment.media_type.empty() ? GuessMediaType(AttachmentName(attachment))
                                         : attachment.media_type;
}

// A text attachment names the charset its bytes are in, so the receiver does
// not take UTF-8 for US-ASCII; text that is not UTF-8 is read as Windows-1252,
// as files are read everywhere else.
class TextAttachment : public vmime::defaultAttachment {
  public:
    TextAttachment(const vmime::shared_ptr<const vmime::contentHandler>& data,
                   const vmime::mediaType& type, const vmime::word& name, vmime::charset charset)
        : vmime::defaultAttachment(data, vmime::encoding("base64"), type, vmime::text(), name),
          charset_(std::move(charset)) {}

  protected:
    void generatePart(vmime::shared_ptr<vmime::bodyPart> part) const override {
        vmime::defaultAttachment::generatePart(part);
        vmime::dynamicCast<vmime::contentTypeField>(part->getHeader()->ContentType())
            ->setCharset(charset_);
    }

  private:
    vmime::charset charset_;
};

}  // namespace

std::string TextCharset(std::string_view data) {
    // Plain ASCII is valid UTF-8 too; one charset keeps every text part alike.
    return platform::nls::IsValidUtf8(data) ? "utf-8" : "windows-1252";
}

namespace {

// The line limit vmime gives a part's body; its base64 encoder then writes
// lines of 72 characters.
constexpr std::size_t kBodyLineLimit = 78;

const vmime::encoding& Base64Encoding() {
    static const vmime::encoding encoding(vmime::encodingTypes::BASE64);
    return encoding;
}

const vmime::encoding& SevenBitEncoding() {
    static const vmime::encoding encoding(vmime::encodingTypes::SEVEN_BIT);
    return encoding;
}

// Whether bytes that come a block at a time are valid UTF-8: a character cut
// by a block's end is held back until the next block completes it.
class Utf8Check {
  public:
    void Add(std::string_view bytes) {
        if (!valid_)
            return;
        std::string joined;
        std::string_view text = bytes;
        if (!carry_.empty()) {
            joined = carry_;
            joined += bytes;
            text = joined;
        }
        std::size_t cut = text.size();
        for (std::size_t back = 1; back <= 3 && back <= text.size(); ++back) {
            const auto c = static_cast<unsigned char>(text[text.size() - back]);
            if ((c & 0xC0) == 0x80)
                continue;
            const std::size_t length = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
            if (length > back)
                cut = text.size() - back;
            break;
        }
        valid_ = platform::nls::IsValidUtf8(text.substr(0, cut));
        carry_ = std::string(text.substr(cut));
    }
    bool Valid() const { return valid_ && carry_.empty(); }

  private:
    bool valid_ = true;
    std::string carry_;
};

// Hands the encoder the bytes it reads and checks them on the way.
class CheckedInput : public vmime::utility::inputStream {
  public:
    CheckedInput(vmime::utility::inputStream& inner, Utf8Check& check)
        : inner_(inner), check_(check) {}
    bool eof() const override { return inner_.eof(); }
    void reset() override {
        inner_.reset();
        check_ = Utf8Check();
    }
    std::size_t read(vmime::byte_t* const data, const std::size_t count) override {
        const std::size_t got = inner_.read(data, count);
        check_.Add(std::string_view(reinterpret_cast<const char*>(data), got));
        return got;
    }
    std::size_t skip(const std::size_t count) override {
        // Bytes skipped are not seen: no verdict on them.
        check_.Add("\xFF");
        return inner_.skip(count);
    }

  private:
    vmime::utility::inputStream& inner_;
    Utf8Check& check_;
};

// Hands on no more than `limit` bytes of a stream: a file is read no further
// than the size it reported when it was opened.
class LimitedInput : public vmime::utility::inputStream {
  public:
    LimitedInput(vmime::utility::inputStream& inner, std::uintmax_t limit)
        : inner_(inner), limit_(limit), left_(limit) {}
    bool eof() const override { return left_ == 0 || inner_.eof(); }
    void reset() override {
        inner_.reset();
        left_ = limit_;
    }
    std::size_t read(vmime::byte_t* const data, const std::size_t count) override {
        const std::size_t got =
            inner_.read(data, static_cast<std::size_t>(std::min<std::uintmax_t>(count, left_)));
        left_ -= got;
        return got;
    }
    std::size_t skip(const std::size_t count) override {
        const std::size_t skipped =
            inner_.skip(static_cast<std::size_t>(std::min<std::uintmax_t>(count, left_)));
        left_ -= skipped;
        return skipped;
    }

  private:
    vmime::utility::inputStream& inner_;
    std::uintmax_t limit_, left_;
};

bool IsMessageType(std::string_view type) {
    return platform::nls::AsciiLower(type) == "message/rfc822";
}

// An attached message's text with CRLF line ends when it may go as 7-bit lines.
std::optional<std::string> SevenBitMessage(std::string_view bytes) {
    for (unsigned char c : bytes) {
        if (c == 0 || c >= 0x80)
            return std::nullopt;
    }
    std::string text = NormalizeLineEnds(bytes);
    for (std::size_t start = 0; start < text.size();) {
        std::size_t end = text.find("\r\n", start);
        if (end == std::string::npos)
            end = text.size();
        if (end - start > 998)
            return std::nullopt;
        start = end + 2;
    }
    return text;
}

}  // namespace

std::shared_ptr<const EncodedAttachment> EncodeAttachment(const Attachment& attachment) {
    detail::EnsureVmime();
    auto encoded = std::make_shared<EncodedAttachment>();
    const bool message = IsMessageType(AttachmentType(attachment));
    std::string whole;  // an attached message's bytes, looked at before they are encoded
    Utf8Check check;
    const auto encode = [&](vmime::utility::inputStream& in, std::uintmax_t size) {
        if (message) {
            vmime::utility::outputStreamStringAdapter out(whole);
            vmime::utility::bufferedStreamCopy(in, out);
            if (auto text = SevenBitMessage(whole)) {
                encoded->body = std::move(*text);
                encoded->form = EncodedAttachment::Form::kMessage;
                return;
            }
            encoded->form = EncodedAttachment::Form::kMessageAsFile;
        }
        // Four characters for three bytes, and a line end for every 54 bytes.
        encoded->body.reserve(static_cast<std::size_t>((size + 2) / 3 * 4 + size / 54 * 2 + 2));
        vmime::utility::inputStreamStringAdapter kept(whole);
        CheckedInput checked(message ? kept : in, check);
        vmime::utility::outputStreamStringAdapter out(encoded->body);
        const auto encoder = Base64Encoding().getEncoder();
        encoder->getProperties()["maxlinelength"] = kBodyLineLimit;
        encoder->encode(checked, out);
    };
    const std::string& path = attachment.path;
    try {
        if (attachment.data) {
            vmime::utility::inputStreamStringAdapter in(*attachment.data);
            encode(in, attachment.data->size());
        } else {
            // A device or a pipe would be read without end, or wait for good.
            std::error_code ec;
            if (!std::filesystem::is_regular_file(path, ec))
                throw EMailError("The attachment \"" + path + "\" is not a file that can be sent");
            std::ifstream file(path, std::ios::binary);
            const std::uintmax_t size = std::filesystem::file_size(path, ec);
            if (!file || ec)
                throw EMailError("The attachment \"" + path + "\" cannot be read");
            vmime::utility::inputStreamAdapter in(file);
            LimitedInput limited(in, size);
            encode(limited, size);
            if (file.bad())
                throw EMailError("The attachment \"" + path + "\" cannot be read");
            if (file.peek() != std::ifstream::traits_type::eof()) {
                throw EMailError("The attachment \"" + path +
                                 "\" holds more than its size says (a file that changes while "
                                 "it is read cannot be sent)");
            }
        }
    } catch (const std::ios_base::failure&) {
        // The stream library reports some read errors (EINVAL of a pseudo-file) so.
        throw EMailError("The attachment \"" + path + "\" cannot be read");
    } catch (const vmime::exception& e) {
        throw EMailError("The attachment \"" + path + "\" cannot be encoded: " + e.what());
    } catch (const std::logic_error& e) {
        throw EMailError("The attachment \"" + path + "\" cannot be encoded: " + e.what());
    }
    encoded->charset = !attachment.charset.empty() ? attachment.charset
                       : check.Valid()             ? "utf-8"
                                                   : "windows-1252";
    return encoded;
}

void MimeText::Append(std::string_view text) {
    if (text.empty())
        return;
    if (!pieces_.empty()) {
        if (auto* last = std::get_if<std::string>(&pieces_.back())) {
            last->append(text);
            return;
        }
    }
    pieces_.emplace_back(std::string(text));
}

void MimeText::Append(std::shared_ptr<const EncodedAttachment> encoded) {
    pieces_.emplace_back(std::move(encoded));
}

std::string_view MimeText::View(const Piece& piece) {
    if (const auto* text = std::get_if<std::string>(&piece))
        return *text;
    return std::get<std::shared_ptr<const EncodedAttachment>>(piece)->body;
}

std::size_t MimeText::size() const {
    std::size_t total = 0;
    for (const Piece& piece : pieces_)
        total += View(piece).size();
    return total;
}

std::string MimeText::str() const {
    std::string out;
    out.reserve(size());
    for (const Piece& piece : pieces_)
        out += View(piece);
    return out;
}

namespace {

// Collects what vmime generates into a MimeText.
class MimeTextOutput : public vmime::utility::outputStream {
  public:
    explicit MimeTextOutput(MimeText& text) : text_(text) {}
    void AppendShared(std::shared_ptr<const EncodedAttachment> encoded) {
        text_.Append(std::move(encoded));
    }
    void flush() override {}

  protected:
    void writeImpl(const vmime::byte_t* const data, const std::size_t count) override {
        text_.Append(std::string_view(reinterpret_cast<const char*>(data), count));
    }

  private:
    MimeText& text_;
};

// An attachment's body from its shared encoding: into a MimeText it goes as a
// reference, anywhere else as the bytes vmime itself would have written.
class EncodedContent : public vmime::contentHandler {
  public:
    explicit EncodedContent(std::shared_ptr<const EncodedAttachment> encoded)
        : encoded_(std::move(encoded)) {}

    vmime::shared_ptr<vmime::contentHandler> clone() const override {
        return vmime::make_shared<EncodedContent>(*this);
    }
    void generate(vmime::utility::outputStream& os, const vmime::encoding& enc,
                  const size_t max_line_length) const override {
        // An attached message's own text takes no encoding that could wrap it.
        if (enc == getEncoding() && (IsMessage() || max_line_length == kBodyLineLimit)) {
            if (auto* pieces = dynamic_cast<MimeTextOutput*>(&os))
                pieces->AppendShared(encoded_);
            else
                os << encoded_->body;
            return;
        }
        Buffered().generate(os, enc, max_line_length);
    }
    void extract(vmime::utility::outputStream& os,
                 vmime::utility::progressListener* progress) const override {
        Buffered().extract(os, progress);
    }
    void extractRaw(vmime::utility::outputStream& os,
                    vmime::utility::progressListener* progress) const override {
        Buffered().extractRaw(os, progress);
    }
    size_t getLength() const override { return encoded_->body.size(); }
    bool isEncoded() const override { return true; }
    const vmime::encoding& getEncoding() const override {
        return IsMessage() ? SevenBitEncoding() : Base64Encoding();
    }
    bool isEmpty() const override { return encoded_->body.empty(); }
    bool isBuffered() const override { return true; }
    void setContentTypeHint(const vmime::mediaType& type) override { type_ = type; }
    const vmime::mediaType getContentTypeHint() const override { return type_; }

  private:
    // A copy for the rare uses other than generating the message as sent.
    vmime::stringContentHandler Buffered() const {
        return vmime::stringContentHandler(encoded_->body, getEncoding());
    }
    bool IsMessage() const { return encoded_->form == EncodedAttachment::Form::kMessage; }

    std::shared_ptr<const EncodedAttachment> encoded_;
    vmime::mediaType type_;
};

}  // namespace

namespace {

// The right-hand side of a Message-Id: the sender's domain, else this
// machine's name.
// A domain beyond ASCII takes its IDNA form, as the address itself does: a header
// holds ASCII only.
std::string MessageIdDomain(std::string_view sender) {
    const auto at = sender.rfind('@');
    if (at != std::string_view::npos && at + 1 < sender.size()) {
        std::string domain(sender.substr(at + 1));
        if (!PlainAscii(domain)) {
            const std::string address = vmime::emailAddress(std::string(sender)).generate();
            const auto cut = address.rfind('@');
            domain = cut == std::string::npos ? std::string() : address.substr(cut + 1);
        }
        if (!domain.empty() && PlainAscii(domain))
            return domain;
    }
    std::array<char, 256> host{};
    if (::gethostname(host.data(), host.size() - 1) == 0 && host[0] != '\0')
        return host.data();
    return "localhost";
}

}  // namespace

std::string ComposeMime(const OutgoingMessage& message, bool keep_bcc) {
    return ComposeMimeText(message, keep_bcc).str();
}

MimeText ComposeMimeText(const OutgoingMessage& message, bool keep_bcc) {
    detail::EnsureVmime();
    CheckMailbox(message.from);
    for (const auto* list : {&message.to, &message.cc, &message.bcc}) {
        for (const auto& box : *list)
            CheckMailbox(box);
    }
    CheckHeaderValue("subject", message.subject);
    // Names and types are checked as they will stand in the headers, a name
    // taken from a path too, before anything is read or built.
    for (const auto& attachment : message.attachments) {
        CheckHeaderValue("attachment name", AttachmentName(attachment));
        CheckMediaType(AttachmentType(attachment));
    }

    try {
        vmime::messageBuilder builder;
        builder.setExpeditor(*ToVmime(message.from));
        for (const auto& box : message.to) {
            builder.getRecipients().appendAddress(ToVmime(box));
        }
        for (const auto& box : message.cc) {
            builder.getCopyRecipients().appendAddress(ToVmime(box));
        }
        for (const auto& box : message.bcc) {
            builder.getBlindCopyRecipients().appendAddress(ToVmime(box));
        }
        builder.setSubject(vmime::text(message.subject, vmime::charsets::UTF_8));

        const std::string body = NormalizeLineEnds(message.body);
        if (message.html) {
            builder.constructTextPart(
                vmime::mediaType(vmime::mediaTypes::TEXT, vmime::mediaTypes::TEXT_HTML));
            auto part = vmime::dynamicCast<vmime::htmlTextPart>(builder.getTextPart());
            part->setCharset(vmime::charsets::UTF_8);
            part->setText(vmime::make_shared<vmime::stringContentHandler>(body));
            part->setPlainText(vmime::make_shared<vmime::stringContentHandler>(
                NormalizeLineEnds(HtmlToText(body))));
        } else {
            builder.getTextPart()->setCharset(vmime::charsets::UTF_8);
            builder.getTextPart()->setText(vmime::make_shared<vmime::stringContentHandler>(body));
        }

        for (const auto& attachment : message.attachments) {
            const std::shared_ptr<const EncodedAttachment> encoded =
                attachment.encoded ? attachment.encoded : EncodeAttachment(attachment);
            const std::string name = AttachmentName(attachment);
            const std::string type = AttachmentType(attachment);
            auto handler = vmime::make_shared<EncodedContent>(encoded);
            const vmime::mediaType media(encoded->form == EncodedAttachment::Form::kMessageAsFile
                                             ? std::string("application/octet-stream")
                                             : type);
            const vmime::word word(name, vmime::charsets::UTF_8);
            if (encoded->form == EncodedAttachment::Form::kMessage) {
                builder.appendAttachment(vmime::make_shared<vmime::defaultAttachment>(
                    handler, SevenBitEncoding(), media, vmime::text(), word));
            } else if (platform::nls::AsciiLower(media.getType()) == vmime::mediaTypes::TEXT) {
                builder.appendAttachment(vmime::make_shared<TextAttachment>(
                    handler, media, word, vmime::charset(encoded->charset)));
            } else {
                builder.appendAttachment(vmime::make_shared<vmime::defaultAttachment>(
                    handler, Base64Encoding(), media, vmime::text(), word));
            }
        }

        auto built = builder.construct();
        auto header = built->getHeader();
        // The builder keeps the sender by value, as a plain mailbox.
        header->From()->setValue(ToVmime(message.from));
        if (!keep_bcc && header->hasField(vmime::fields::BCC)) {
            header->removeAllFields(vmime::fields::BCC);
        }
        if (message.to.empty() && message.cc.empty()) {
            // Blind copies only: say so rather than leave the message without a To.
            vmime::addressList undisclosed;
            undisclosed.appendAddress(
                vmime::make_shared<vmime::mailboxGroup>(vmime::text("undisclosed-recipients")));
            header->To()->setValue(undisclosed);
        }
        if (!PlainAscii(message.subject))
            header->Subject()->setValue(vmime::make_shared<EncodedText>(message.subject));
        header->Date()->setValue(vmime::datetime::now());
        // vmime would put its own placeholder host after the "@".
        header->MessageId()->setValue(vmime::messageId(vmime::messageId::generateId().getLeft(),
                                                       MessageIdDomain(message.from.address)));
        if (message.read_receipt) {
            vmime::mailboxList receipt_to;
            receipt_to.appendMailbox(ToVmime(message.from));
            header->DispositionNotificationTo()->setValue(receipt_to);
        }
        MimeText out;
        MimeTextOutput stream(out);
        built->generate(stream);
        return out;
    } catch (const vmime::exception& e) {
        throw EMailError(std::string("The message cannot be composed: ") + e.what());
    } catch (const std::logic_error& e) {
        // vmime's string handling gives up on some values with a standard
        // exception rather than its own.
        throw EMailError(std::string("The message cannot be composed: ") + e.what());
    }
}

std::optional<Mailbox> WrittenMailbox(std::string_view text, bool loose) {
    const auto trim = [](std::string_view t, std::string_view chars) {
        const auto first = t.find_first_not_of(chars);
        if (first == std::string_view::npos)
            return std::string_view();
        return t.substr(first, t.find_last_not_of(chars) - first + 1);
    };
    text = trim(text, " \t");
    std::string_view name, address;
    if (!text.empty() && (text.back() == ']' || text.back() == '>')) {
        const auto open = text.rfind(text.back() == ']' ? '[' : '<');
        if (open == std::string_view::npos)
            return std::nullopt;
        name = text.substr(0, open);
        address = text.substr(open + 1, text.size() - open - 2);
    } else {
        const auto blank = text.find_last_of(" \t");
        if (!loose || blank == std::string_view::npos)
            return std::nullopt;
        name = text.substr(0, blank);
        address = text.substr(blank + 1);
    }
    address = trim(address, " \t");
    if (platform::nls::StartsWithAscii(address, "smtp:"))
        address.remove_prefix(5);
    name = trim(name, " \t\"");
    try {
        CheckEnvelopeAddress(address);
        CheckHeaderValue("display name", name);
    } catch (const EMailError&) {
        return std::nullopt;
    }
    if (address.find(':') != std::string_view::npos)
        return std::nullopt;
    return Mailbox{std::string(name), std::string(address)};
}

}  // namespace mail
