#pragma once

// Layout of the frozen tables that tools/nls generates into tables_*.cpp.

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

#include "platform/nls/language_table.h"
#include "platform/nls/nls.h"

namespace platform::nls::detail {

// Marks a byte the code page leaves undefined.
inline constexpr char32_t kUndefinedChar = 0xFFFFFFFFu;

struct CodePageTable {
    CodePage code_page;
    std::array<char32_t, 256> to_unicode;
    CaseMap upper;
    CaseMap lower;
};

// In the order of kCodePages.
extern const std::array<CodePageTable, kCodePageCount> kCodePageTables;

// A character the code page holds only as a base letter followed by one or two
// combining marks (Vietnamese in 1258), with those bytes.
struct Composite {
    char32_t code_point;
    std::uint8_t length;
    std::array<std::uint8_t, 3> bytes;
    bool composes;  // decoding those bytes gives this character back
};

// Per code page in the order of kCodePages, sorted by code point.
extern const std::array<std::span<const Composite>, kCodePageCount> kCompositeTables;

// Turkish differs from the plain Windows-1254 maps only in i/İ and ı/I.
extern const CaseMap kTurkishUpper;
extern const CaseMap kTurkishLower;

// One collation element. Diacritic and case weights rank variants within one
// primary. A non-spacing mark has primary 0: it counts from the diacritic
// level on and NORM_IGNORENONSPACE ignores it. Every other byte has a primary
// of at least 1, so it sorts after the end of a string.
struct CollationWeight {
    std::uint16_t primary;
    std::uint8_t diacritic;
    std::uint8_t case_weight;
};

// A byte's weights; `second.primary` is 0 unless the byte expands to two
// letters. Byte 0 has no weights: it ends the string.
struct CollationEntry {
    CollationWeight first;
    CollationWeight second;
};

struct CollationFamily {
    std::string_view name;  // the ICU locale it was generated from
    CodePage code_page;
    std::array<CollationEntry, 256> entries;
};

struct LocaleCollation {
    LanguageId language;
    SortId sort;
    std::uint16_t family;  // index into CollationFamilies()
};

std::span<const CollationFamily> CollationFamilies();
std::span<const LocaleCollation> LocaleCollations();

// Locale formats as generated: text in the locale's code page.
struct LocaleFormatRow {
    LanguageId language;
    std::string_view currency_string;
    std::uint8_t currency_format;
    std::uint8_t negative_currency_format;
    char thousand_separator;
    char decimal_separator;
    std::uint8_t currency_decimals;
    char date_separator;
    std::string_view short_date_format;
    std::string_view long_date_format;
    char time_separator;
    std::string_view time_am_string;
    std::string_view time_pm_string;
    bool twelve_hour_clock;
    bool hour_leading_zero;
    std::array<std::string_view, 12> short_month_names;
    std::array<std::string_view, 12> long_month_names;
    std::array<std::string_view, 7> short_day_names;
    std::array<std::string_view, 7> long_day_names;
};

std::span<const LocaleFormatRow> LocaleFormatRows();

}  // namespace platform::nls::detail
