#include "grid/export/export_text.h"

#include <optional>

#include "platform/nls/nls.h"
#include "platform/nls/text.h"

namespace grid {
namespace {

namespace nls = platform::nls;

// Calls emit(character, byte) for each character, byte empty when the code page lacks it;
// a malformed byte comes as U+FFFD.
template <class Emit>
void ForEachCharacter(std::string_view utf8, nls::CodePage code_page, Emit emit) {
    std::size_t pos = 0;
    while (pos < utf8.size()) {
        const auto byte = static_cast<unsigned char>(utf8[pos]);
        if (byte < 0x80) {
            emit(static_cast<char32_t>(byte), std::optional<std::uint8_t>(byte));
            ++pos;
            continue;
        }
        const std::optional<char32_t> c = nls::DecodeUtf8(utf8, pos);
        if (!c) {
            ++pos;
            emit(U'\uFFFD', std::optional<std::uint8_t>());
            continue;
        }
        emit(*c, nls::UnicodeToByte(code_page, *c));
    }
}

}  // namespace

std::string ToWorksheetText(std::string_view utf8, nls::CodePage code_page) {
    std::string out;
    out.reserve(utf8.size());
    ForEachCharacter(utf8, code_page, [&](char32_t, std::optional<std::uint8_t> byte) {
        out.push_back(byte ? static_cast<char>(*byte) : '?');
    });
    return out;
}

std::string ToHtmlText(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size() + 16);
    ForEachCharacter(utf8, nls::CodePage::Western,
                     [&](char32_t c, std::optional<std::uint8_t> byte) {
                         switch (c) {
                             case U'&':
                                 out += "&amp;";
                                 return;
                             case U'<':
                                 out += "&lt;";
                                 return;
                             case U'>':
                                 out += "&gt;";
                                 return;
                             case U'"':
                                 out += "&quot;";
                                 return;
                             default:
                                 break;
                         }
                         if (byte) {
                             out.push_back(static_cast<char>(*byte));
                         } else {
                             out += "&#";
                             out += std::to_string(static_cast<std::uint32_t>(c));
                             out += ';';
                         }
                     });
    return out;
}

}  // namespace grid
