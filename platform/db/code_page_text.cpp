#include "platform/db/code_page_text.h"

#include <memory>
#include <mutex>
#include <optional>

#include <unicode/translit.h>
#include <unicode/unistr.h>
#include <unicode/utypes.h>

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

namespace {

// ICU's Latin-ASCII transliterator, made once; an instance is not safe for concurrent use.
class LatinAscii {
  public:
    static LatinAscii& Instance() {
        static LatinAscii instance;
        return instance;
    }

    // The character spelled in plain ASCII letters, or nothing when it has no such spelling.
    std::optional<std::string> Spell(char32_t c) {
        std::lock_guard guard(mutex_);
        if (!transliterator_) {
            return std::nullopt;
        }
        icu::UnicodeString text(static_cast<UChar32>(c));
        transliterator_->transliterate(text);
        std::string utf8;
        text.toUTF8String(utf8);
        if (utf8.empty() || text == icu::UnicodeString(static_cast<UChar32>(c))) {
            return std::nullopt;
        }
        return utf8;
    }

  private:
    LatinAscii() {
        UErrorCode status = U_ZERO_ERROR;
        transliterator_.reset(icu::Transliterator::createInstance(
            icu::UnicodeString::fromUTF8("Latin-ASCII"), UTRANS_FORWARD, status));
        if (U_FAILURE(status)) {
            transliterator_.reset();
        }
    }

    std::mutex mutex_;
    std::unique_ptr<icu::Transliterator> transliterator_;
};

// A character the code page lacks is spelled with plain letters where ICU knows how ("ł" as
// "l", "œ" as "oe" where the page has no "œ"), else it becomes "?".
std::optional<std::string> Replacement(nls::CodePage code_page, char32_t c) {
    if (std::optional<std::string> spelled = LatinAscii::Instance().Spell(c)) {
        nls::ConversionResult bytes = nls::Utf8ToBytes(code_page, *spelled, nullptr);
        if (bytes.ok() && !bytes.text.empty()) {
            return std::move(bytes.text);
        }
    }
    return std::string("?");
}

}  // namespace

std::string Utf8ToCodePage(nls::CodePage code_page, std::string_view utf8, std::string_view what) {
    nls::ConversionResult result = nls::Utf8ToBytes(
        code_page, utf8, [code_page](char32_t c) { return Replacement(code_page, c); });
    if (result.status == nls::ConversionStatus::InvalidUtf8) {
        throw EConvertError("Text for " + std::string(what) + " is not valid UTF-8 (byte " +
                            std::to_string(result.error_offset) + ")");
    }
    return std::move(result.text);
}

}  // namespace db
