#include "platform/db/code_page_text.h"

#include <optional>

#include "platform/db/exception.h"

namespace db {

namespace nls = platform::nls;

std::string CodePageToUtf8(nls::CodePage code_page, std::string_view bytes) {
    std::string result;
    result.reserve(bytes.size());
    while (!bytes.empty()) {
        nls::ConversionResult part = nls::BytesToUtf8(code_page, bytes);
        result += part.text;
        if (part.ok()) {
            break;
        }
        // Only an undefined byte can stop a single-byte decode.
        result += "\xEF\xBF\xBD";
        bytes.remove_prefix(part.error_offset + 1);
    }
    return result;
}

std::string Utf8ToCodePage(nls::CodePage code_page, std::string_view utf8, std::string_view what) {
    nls::ConversionResult result = nls::Utf8ToBytes(
        code_page, utf8, [](char32_t) -> std::optional<std::string> { return std::string("?"); });
    if (result.status == nls::ConversionStatus::InvalidUtf8) {
        throw EConvertError("Text for " + std::string(what) + " is not valid UTF-8 (byte " +
                            std::to_string(result.error_offset) + ")");
    }
    return std::move(result.text);
}

}  // namespace db
