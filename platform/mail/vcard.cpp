#include "platform/mail/vcard.h"

#include "platform/mail/vmime_support.h"
#include "platform/nls/text.h"

namespace mail {

namespace {

// Logical lines: folded continuations (a line starting with a blank or tab)
// joined, and quoted-printable soft breaks ("=" at the end) of vCard 2.1 too.
std::vector<std::string> Unfold(std::string_view text) {
    std::vector<std::string> lines;
    std::size_t pos = 0;
    while (pos <= text.size()) {
        auto end = text.find('\n', pos);
        if (end == std::string_view::npos)
            end = text.size();
        std::string line(text.substr(pos, end - pos));
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (!lines.empty() && !line.empty() && (line[0] == ' ' || line[0] == '\t')) {
            lines.back() += line.substr(1);
        } else if (!lines.empty() && !lines.back().empty() && lines.back().back() == '=' &&
                   platform::nls::AsciiUpper(lines.back()).find("QUOTED-PRINTABLE") !=
                       std::string::npos) {
            lines.back().pop_back();
            lines.back() += line;
        } else {
            lines.push_back(std::move(line));
        }
        if (end == text.size())
            break;
        pos = end + 1;
    }
    return lines;
}

// The value of a property as UTF-8: quoted-printable (vCard 2.1's ENCODING=QUOTED-PRINTABLE
// or the bare QUOTED-PRINTABLE parameter) decoded, then converted from the CHARSET the
// property names. A value vmime cannot decode or convert is kept as it stands.
std::string DecodeValue(std::string_view head, const std::string& value) {
    std::string bytes = value;
    std::vector<std::string> parameters;
    std::size_t pos = head.find(';');
    while (pos != std::string_view::npos) {
        const std::size_t next = head.find(';', pos + 1);
        parameters.emplace_back(head.substr(
            pos + 1, next == std::string_view::npos ? std::string_view::npos : next - pos - 1));
        pos = next;
    }
    std::string charset;
    bool quoted_printable = false;
    for (const std::string& parameter : parameters) {
        const std::string upper = platform::nls::AsciiUpper(parameter);
        if (upper == "QUOTED-PRINTABLE" || upper == "ENCODING=QUOTED-PRINTABLE")
            quoted_printable = true;
        else if (upper.rfind("CHARSET=", 0) == 0)
            charset = std::string(platform::nls::TrimOf(parameter.substr(8), " \t"));
    }
    try {
        detail::EnsureVmime();
        if (quoted_printable) {
            auto decoder =
                vmime::utility::encoder::encoderFactory::getInstance()->create("quoted-printable");
            vmime::utility::inputStreamStringAdapter in(bytes);
            std::string decoded;
            vmime::utility::outputStreamStringAdapter out(decoded);
            decoder->decode(in, out);
            bytes = std::move(decoded);
        }
        if (!charset.empty() && platform::nls::AsciiUpper(charset) != "UTF-8") {
            std::string converted;
            vmime::charset::convert(bytes, converted, vmime::charset(charset),
                                    vmime::charsets::UTF_8);
            bytes = std::move(converted);
        }
    } catch (const std::exception&) {
        // An unknown charset or a broken escape: the raw text is the best we have.
    }
    return bytes;
}

std::string Unescape(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size()) {
            const char next = text[++i];
            out += next == 'n' || next == 'N' ? '\n' : next;
        } else {
            out += text[i];
        }
    }
    return out;
}

// Splits at unescaped ';'.
std::vector<std::string> Components(std::string_view value) {
    std::vector<std::string> parts(1);
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] == '\\' && i + 1 < value.size()) {
            parts.back() += value.substr(i, 2);
            ++i;
        } else if (value[i] == ';') {
            parts.emplace_back();
        } else {
            parts.back() += value[i];
        }
    }
    return parts;
}

}  // namespace

std::vector<VCard> ParseVCards(std::string_view text) {
    std::vector<VCard> cards;
    bool inside = false;
    std::string given_family;
    auto finish = [&] {
        if (cards.back().full_name.empty())
            cards.back().full_name = given_family;
        given_family.clear();
    };
    for (const std::string& line : Unfold(text)) {
        const auto colon = line.find(':');
        if (colon == std::string::npos)
            continue;
        std::string head = line.substr(0, colon);
        const std::string value = line.substr(colon + 1);
        // A group prefix ("item1.EMAIL") names nothing we need.
        const auto semicolon = head.find(';');
        const auto dot = head.find('.');
        if (dot != std::string::npos && (semicolon == std::string::npos || dot < semicolon)) {
            head = head.substr(dot + 1);
        }
        const std::string upper_head = platform::nls::AsciiUpper(head);
        const std::string name = upper_head.substr(0, upper_head.find(';'));
        if (name == "BEGIN" && platform::nls::AsciiUpper(
                                   std::string(platform::nls::TrimOf(value, " \t"))) == "VCARD") {
            if (inside)
                finish();
            cards.emplace_back();
            inside = true;
            continue;
        }
        if (!inside)
            continue;
        if (name == "END" && platform::nls::AsciiUpper(
                                 std::string(platform::nls::TrimOf(value, " \t"))) == "VCARD") {
            finish();
            inside = false;
            continue;
        }
        const std::string decoded = DecodeValue(head, value);
        if (name == "FN") {
            cards.back().full_name = std::string(platform::nls::TrimOf(Unescape(decoded), " \t"));
        } else if (name == "N") {
            const auto parts = Components(decoded);
            const std::string family =
                parts.size() > 0 ? std::string(platform::nls::TrimOf(Unescape(parts[0]), " \t"))
                                 : "";
            const std::string given =
                parts.size() > 1 ? std::string(platform::nls::TrimOf(Unescape(parts[1]), " \t"))
                                 : "";
            given_family = std::string(platform::nls::TrimOf(given + " " + family, " \t"));
        } else if (name == "EMAIL") {
            std::string address = std::string(platform::nls::TrimOf(Unescape(decoded), " \t"));
            if (platform::nls::AsciiUpper(address).rfind("MAILTO:", 0) == 0)
                address = address.substr(7);
            if (!address.empty())
                cards.back().emails.push_back(address);
        }
    }
    if (inside)
        finish();
    return cards;
}

}  // namespace mail
