#include "app/list/entry_text.h"

#include <optional>

#include "platform/nls/text.h"

namespace app {

bool ContainsControlCharacter(std::string_view utf8) {
    for (std::size_t pos = 0; pos < utf8.size();) {
        const std::optional<char32_t> c = platform::nls::DecodeUtf8(utf8, pos);
        if (!c) {
            // A byte that is no UTF-8 is judged as a byte.
            const auto byte = static_cast<unsigned char>(utf8[pos++]);
            if (byte < 0x20 || byte == 0x7F)
                return true;
            continue;
        }
        if (*c < 0x20 || (*c >= 0x7F && *c <= 0x9F) || *c == 0x2028 || *c == 0x2029)
            return true;
    }
    return false;
}

}  // namespace app
