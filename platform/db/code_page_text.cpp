#include "platform/db/code_page_text.h"

#include <memory>
#include <mutex>
#include <optional>

#include <unicode/normalizer2.h>
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

// Letters written as a base and combining marks ("e" and U+0301) are composed first, so a
// page that holds the composed letter keeps it instead of losing the mark to "?". Text that
// is not valid UTF-8 is left for the conversion to refuse.
std::optional<std::string> Composed(std::string_view utf8) {
    bool ascii = true;
    for (const char c : utf8) {
        if (static_cast<unsigned char>(c) >= 0x80) {
            ascii = false;
            break;
        }
    }
    // Malformed input is left as it is, for the conversion to refuse with its offset.
    if (ascii || !nls::IsValidUtf8(utf8)) {
        return std::nullopt;
    }
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
    if (U_FAILURE(status) || nfc == nullptr) {
        return std::nullopt;
    }
    const icu::UnicodeString text = icu::UnicodeString::fromUTF8(
        icu::StringPiece(utf8.data(), static_cast<std::int32_t>(utf8.size())));
    if (nfc->isNormalized(text, status) || U_FAILURE(status)) {
        return std::nullopt;
    }
    status = U_ZERO_ERROR;
    const icu::UnicodeString composed = nfc->normalize(text, status);
    if (U_FAILURE(status)) {
        return std::nullopt;
    }
    std::string result;
    composed.toUTF8String(result);
    return result;
}

// Composed first, so that a letter and its combining mark become the code page's one letter.
nls::ConversionResult ToCodePage(nls::CodePage code_page, std::string_view utf8) {
    const std::optional<std::string> composed = Composed(utf8);
    if (composed) {
        utf8 = *composed;
    }
    return nls::Utf8ToBytes(code_page, utf8,
                            [code_page](char32_t c) { return Replacement(code_page, c); });
}

}  // namespace

bool SameInCodePage(nls::CodePage code_page, std::string_view utf8) {
    return nls::IsAscii(utf8) && nls::KeepsAscii(code_page);
}

bool TryUtf8ToCodePage(nls::CodePage code_page, std::string_view utf8, std::string& bytes) {
    if (SameInCodePage(code_page, utf8)) {
        bytes.assign(utf8);
        return true;
    }
    nls::ConversionResult result = ToCodePage(code_page, utf8);
    if (result.status == nls::ConversionStatus::InvalidUtf8) {
        return false;
    }
    bytes = std::move(result.text);
    return true;
}

std::string Utf8ToCodePage(nls::CodePage code_page, std::string_view utf8, std::string_view what) {
    if (SameInCodePage(code_page, utf8)) {
        return std::string(utf8);
    }
    nls::ConversionResult result = ToCodePage(code_page, utf8);
    if (result.status == nls::ConversionStatus::InvalidUtf8) {
        throw EConvertError("Text for " + std::string(what) + " is not valid UTF-8 (byte " +
                            std::to_string(result.error_offset) + ")");
    }
    return std::move(result.text);
}

}  // namespace db
