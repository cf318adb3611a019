#include <stdexcept>
#include <string>

#include "platform/nls/nls.h"
#include "platform/nls/tables.h"

namespace platform::nls {

namespace {

constexpr LanguageId kTurkish = 0x041F;

const detail::CodePageTable& TableOf(CodePage code_page) {
    for (const auto& table : detail::kCodePageTables) {
        if (table.code_page == code_page)
            return table;
    }
    throw std::logic_error("code page without tables");
}

}  // namespace

const CaseMap& UpperCaseMap(LocaleId locale) {
    const CodePage code_page = CodePageOfLocale(locale);
    if (LanguageOfLocale(locale) == kTurkish)
        return detail::kTurkishUpper;
    return TableOf(code_page).upper;
}

const CaseMap& LowerCaseMap(LocaleId locale) {
    const CodePage code_page = CodePageOfLocale(locale);
    if (LanguageOfLocale(locale) == kTurkish)
        return detail::kTurkishLower;
    return TableOf(code_page).lower;
}

std::string MapString(LocaleId locale, std::uint32_t flags, std::string_view text) {
    const CaseMap* map = nullptr;
    if (flags == LCMAP_UPPERCASE) {
        map = &UpperCaseMap(locale);
    } else if (flags == LCMAP_LOWERCASE) {
        map = &LowerCaseMap(locale);
    } else {
        throw std::invalid_argument("unsupported case-mapping flags " + std::to_string(flags));
    }
    text = text.substr(0, text.find('\0'));
    std::string out(text);
    for (char& c : out)
        c = static_cast<char>((*map)[static_cast<std::uint8_t>(c)]);
    return out;
}

int CompareTextAnsi(std::string_view a, std::string_view b) {
    const CaseMap& upper = TableOf(CodePage::Western).upper;
    a = a.substr(0, a.find('\0'));
    b = b.substr(0, b.find('\0'));
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        const int x = upper[static_cast<std::uint8_t>(a[i])];
        const int y = upper[static_cast<std::uint8_t>(b[i])];
        if (x != y)
            return x - y;
    }
    return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
}

}  // namespace platform::nls
