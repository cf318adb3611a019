#include "app/list/entry_text.h"

#include "platform/db/code_page_text.h"
#include "platform/nls/text.h"

namespace app {

bool ContainsControlCharacter(std::string_view utf8) {
    for (std::size_t pos = 0; pos < utf8.size();) {
        const auto byte = static_cast<unsigned char>(utf8[pos]);
        if (byte < 0x80) {
            if (byte < 0x20 || byte == 0x7F)
                return true;
            ++pos;
            continue;
        }
        const std::optional<char32_t> c = platform::nls::DecodeUtf8(utf8, pos);
        if (!c) {
            ++pos;
            continue;
        }
        if ((*c >= 0x80 && *c <= 0x9F) || *c == 0x2028 || *c == 0x2029)
            return true;
    }
    return false;
}

bool ContainsControlCharacterInComment(std::string_view utf8) {
    std::size_t start = 0;
    for (std::size_t end; (end = utf8.find_first_of("\r\n\t", start)) != std::string_view::npos;
         start = end + 1) {
        if (ContainsControlCharacter(utf8.substr(start, end - start)))
            return true;
    }
    return ContainsControlCharacter(utf8.substr(start));
}

std::string StoredEntryText(platform::nls::CodePage code_page, std::string_view utf8) {
    return db::CodePageToUtf8(code_page, db::Utf8ToCodePage(code_page, utf8, "a list entry"));
}

}  // namespace app
