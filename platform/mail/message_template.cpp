#include "platform/mail/message_template.h"

#include <optional>
#include <variant>

#include "platform/mail/mail_error.h"
#include "platform/mail/vmime_support.h"
#include "platform/nls/text.h"

namespace mail {

namespace {

// The text a prepared message carries where each member's own text goes; it
// is plain ASCII, so it goes out as 7bit, unencoded.
constexpr std::string_view kBodyMark = "CorvaneMemberText7f3a9c";
constexpr std::string_view kCteField = "Content-Transfer-Encoding: ";

// One header field of the form "Name: value" with its folded lines.
struct Field {
    std::size_t begin, end;  // end is at the CRLF that ends the field
};

// The fields of a header that ends at `end` (the CRLF before the empty line).
std::vector<Field> Fields(std::string_view text, std::size_t end) {
    std::vector<Field> fields;
    std::size_t begin = 0;
    while (begin < end) {
        std::size_t stop = text.find("\r\n", begin);
        while (stop != std::string_view::npos && stop + 2 < text.size() &&
               (text[stop + 2] == ' ' || text[stop + 2] == '\t'))
            stop = text.find("\r\n", stop + 2);
        if (stop == std::string_view::npos || stop > end)
            stop = end;
        fields.push_back({begin, stop});
        begin = stop + 2;
    }
    return fields;
}

bool FieldNamed(std::string_view field, std::string_view name) {
    return field.size() > name.size() && field[name.size()] == ':' &&
           platform::nls::StartsWithAscii(field, name);
}

// A member's text as vmime makes a text part of it: its transfer encoding and
// the encoded lines, by the calls its text part makes, without building one.
std::pair<std::string, std::string> EncodedText(const std::string& text) {
    auto handler = vmime::make_shared<vmime::stringContentHandler>(text);
    handler->setContentTypeHint(
        vmime::mediaType(vmime::mediaTypes::TEXT, vmime::mediaTypes::TEXT_PLAIN));
    const vmime::encoding encoding =
        vmime::encoding::decide(handler, vmime::charsets::UTF_8, vmime::encoding::USAGE_TEXT);
    std::string body;
    vmime::utility::outputStreamStringAdapter out(body);
    handler->generate(out, encoding,
                      vmime::generationContext::getDefaultContext().getMaxLineLength());
    return {encoding.generate(), std::move(body)};
}

// A header value as the whole header writes it: folded at the default line
// length, from where its field's name leaves off.
std::string Generate(const vmime::component& value, std::size_t position) {
    std::string text;
    vmime::utility::outputStreamStringAdapter out(text);
    value.generate(vmime::generationContext::getDefaultContext(), out, position);
    return text;
}

}  // namespace

struct MessageTemplate::Segment {
    enum class Kind { kText, kAttachment, kTo, kDate, kMessageId, kEncoding, kBody };
    Kind kind = Kind::kText;
    std::string text;
    std::shared_ptr<const EncodedAttachment> attachment = nullptr;
};

MessageTemplate::MessageTemplate(OutgoingMessage prototype) : prototype_(std::move(prototype)) {
    // Bad values fail here, as a whole composition would fail.
    ComposeWhole(prototype_.to, prototype_.body);
    if (!prototype_.html && !prototype_.to.empty())
        Prepare();
}

MessageTemplate::~MessageTemplate() = default;

void MessageTemplate::Prepare() {
    OutgoingMessage probe = prototype_;
    probe.body = std::string(kBodyMark);
    const MimeText composed = ComposeMimeText(probe);
    const auto& pieces = composed.pieces();
    const auto* first = pieces.empty() ? nullptr : std::get_if<std::string>(&pieces.front());
    if (first == nullptr)
        return;
    const std::string_view text = *first;
    const std::size_t header_end = text.find("\r\n\r\n");
    if (header_end == std::string_view::npos)
        return;
    std::vector<Segment> segments;
    std::string literal;
    const auto flush = [&] {
        if (!literal.empty())
            segments.push_back({Segment::Kind::kText, std::move(literal)});
        literal.clear();
    };
    const auto slot = [&](Segment::Kind kind) {
        flush();
        segments.push_back({kind, {}});
    };
    bool single_part = false;
    int found = 0;
    for (const Field& field : Fields(text, header_end)) {
        const std::string_view value = text.substr(field.begin, field.end - field.begin);
        if (FieldNamed(value, "To")) {
            slot(Segment::Kind::kTo);
            ++found;
        } else if (FieldNamed(value, "Date")) {
            literal += "Date: ";
            slot(Segment::Kind::kDate);
            ++found;
        } else if (FieldNamed(value, "Message-Id")) {
            const auto at = value.rfind('@');
            const auto close = value.rfind('>');
            if (at == std::string_view::npos || close == std::string_view::npos || close < at)
                return;
            id_domain_ = std::string(value.substr(at + 1, close - at - 1));
            literal += "Message-Id: ";
            slot(Segment::Kind::kMessageId);
            ++found;
        } else if (FieldNamed(value, "Content-Type")) {
            literal += value;
            single_part = value.find("text/plain") != std::string_view::npos;
            const auto b = value.find("boundary=\"");
            if (b != std::string_view::npos) {
                const auto e = value.find('"', b + 10);
                boundary_ = std::string(value.substr(b + 10, e - b - 10));
            }
        } else if (single_part && FieldNamed(value, "Content-Transfer-Encoding")) {
            literal += kCteField;
            slot(Segment::Kind::kEncoding);
            ++found;
        } else {
            literal += value;
        }
        literal += "\r\n";
    }
    literal += "\r\n";
    std::string_view rest = text.substr(header_end + 4);
    if (single_part) {
        if (rest != kBodyMark || pieces.size() != 1)
            return;
        slot(Segment::Kind::kBody);
        ++found;
    } else {
        // The text part of a message with attachments.
        const std::string part_start =
            std::string(kCteField) + "7bit\r\n\r\n" + std::string(kBodyMark);
        const auto at = rest.find(part_start);
        if (at == std::string_view::npos || boundary_.empty())
            return;
        literal += rest.substr(0, at);
        literal += kCteField;
        slot(Segment::Kind::kEncoding);
        literal += "\r\n\r\n";
        slot(Segment::Kind::kBody);
        literal += rest.substr(at + part_start.size());
        found += 2;
    }
    flush();
    for (std::size_t i = 1; i < pieces.size(); ++i) {
        if (const auto* more = std::get_if<std::string>(&pieces[i]))
            segments.push_back({Segment::Kind::kText, *more});
        else
            segments.push_back({Segment::Kind::kAttachment,
                                {},
                                std::get<std::shared_ptr<const EncodedAttachment>>(pieces[i])});
    }
    // Every slot must have been found, or the message is composed whole.
    if (found == 5)
        segments_ = std::move(segments);
}

MimeText MessageTemplate::ComposeWhole(const std::vector<Mailbox>& to,
                                       std::string_view body) const {
    OutgoingMessage message = prototype_;
    message.to = to;
    message.body = std::string(body);
    return ComposeMimeText(message);
}

MimeText MessageTemplate::Compose(const std::vector<Mailbox>& to, std::string_view body) const {
    if (segments_.empty() || to.empty())
        return ComposeWhole(to, body);
    for (const Mailbox& box : to)
        detail::CheckMailbox(box);
    try {
        auto [encoding, encoded] = EncodedText(detail::NormalizeLineEnds(body));
        // A text that holds the boundary would end its part early.
        if (!boundary_.empty() && encoded.find("--" + boundary_) != std::string::npos)
            return ComposeWhole(to, body);
        vmime::addressList list;
        for (const Mailbox& box : to)
            list.appendAddress(detail::ToVmime(box));
        auto field = vmime::headerFieldFactory::getInstance()->create(vmime::fields::TO);
        field->setValue(list);
        MimeText out;
        for (const Segment& segment : segments_) {
            switch (segment.kind) {
                case Segment::Kind::kText:
                    out.Append(segment.text);
                    break;
                case Segment::Kind::kAttachment:
                    out.Append(segment.attachment);
                    break;
                case Segment::Kind::kTo:
                    out.Append(Generate(*field, 0));
                    break;
                case Segment::Kind::kDate:
                    out.Append(Generate(vmime::datetime::now(), 6));
                    break;
                case Segment::Kind::kMessageId:
                    out.Append(Generate(
                        vmime::messageId(vmime::messageId::generateId().getLeft(), id_domain_),
                        12));
                    break;
                case Segment::Kind::kEncoding:
                    out.Append(encoding);
                    break;
                case Segment::Kind::kBody:
                    out.Append(encoded);
                    break;
            }
        }
        return out;
    } catch (const vmime::exception& e) {
        throw EMailError(std::string("The message cannot be composed: ") + e.what());
    } catch (const std::logic_error& e) {
        throw EMailError(std::string("The message cannot be composed: ") + e.what());
    }
}

}  // namespace mail
