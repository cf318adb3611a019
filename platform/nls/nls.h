#pragma once

// National-language support: the languages a table can be collated by, their
// code pages, case maps, collation and locale formats.
//
// Everything here reads frozen tables compiled into the library (generated once
// from ICU by tools/nls and committed), so results never depend on the
// machine's locale, LANG, TZ or ICU version, and every function is thread-safe.
// The tables are part of the table-file format: indexes store upper-cased bytes
// and keys in collation order, so any change to them invalidates stored indexes.
//
// Text passed in and out is single-byte text in the locale's code page unless a
// function says UTF-8. The strings that comparison and case mapping take end at
// their first NUL byte, even when the view is longer; conversions keep NULs.

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace platform::nls {

using LanguageId = std::uint16_t;
using SortId = std::uint16_t;
// (sort id << 16) | language id, as the engine builds it.
using LocaleId = std::uint32_t;

constexpr LocaleId MakeLocaleId(LanguageId language, SortId sort) {
    return (static_cast<LocaleId>(sort) << 16) | language;
}
constexpr LanguageId LanguageOfLocale(LocaleId locale) {
    return static_cast<LanguageId>(locale & 0xFFFFu);
}
constexpr SortId SortOfLocale(LocaleId locale) {
    return static_cast<SortId>(locale >> 16);
}

// "ANSI Standard": byte-order collation and the Windows-1252 US case maps.
inline constexpr LanguageId kLanguageAnsi = 0x0000;
inline constexpr LanguageId kLanguageEnglishUs = 0x0409;
inline constexpr SortId kSortDefault = 0;
// "German Phone Book Order" of the five German languages.
inline constexpr SortId kSortGermanPhoneBook = 1;

// Version of the generated tables; raise it whenever a generated table changes.
inline constexpr std::uint32_t kTablesVersion = 1;

enum class CodePage : std::uint16_t {
    Thai = 874,
    CentralEuropean = 1250,
    Cyrillic = 1251,
    Western = 1252,
    Greek = 1253,
    Turkish = 1254,
    Hebrew = 1255,
    Arabic = 1256,
    Baltic = 1257,
    Vietnamese = 1258,
};

struct SortOrderInfo {
    std::string_view name;  // "Default Order", "German Phone Book Order"
    SortId id;
};

struct LanguageInfo {
    std::string_view name;  // as SQL spells it: "English (USA)", "Ukranian", ...
    LanguageId id;
    CodePage code_page;
};

// The 99 languages in the engine's order; entry 0 is "ANSI Standard" (id 0).
std::span<const LanguageInfo> Languages();

// The entry of a language id; nullptr when the id is not in the table.
const LanguageInfo* FindLanguage(LanguageId id);

// The entry whose name equals `name` without regard to case (ASCII and
// Windows-1252 letters); nullptr when absent.
const LanguageInfo* FindLanguageByName(std::string_view name);

// The sort orders of a language: "Default Order" (0) for every id, also an id
// not in the table, plus "German Phone Book Order" for the German languages.
std::span<const SortOrderInfo> SortOrders(LanguageId id);

// True exactly for the supported (language, sort) pairs: every language of the
// table with sort 0, the German languages with kSortGermanPhoneBook as well, and
// "ANSI Standard" (language 0) with sort 0.
bool IsValidLocale(LocaleId locale);

// The code page of a valid locale; Western for language 0.
// Throws std::invalid_argument when !IsValidLocale(locale).
CodePage CodePageOfLocale(LocaleId locale);

// The language of the user's environment: LC_ALL, else LANG (for example
// "de_AT.UTF-8" gives 0x0C07), matched through the language table; English
// (USA) when unset, "C", "POSIX" or unmatched.
LanguageId GetUserDefaultLangID();

// The same rule for one POSIX locale name; exposed for tests and callers that
// already hold the name.
LanguageId LanguageIdFromPosixLocale(std::string_view posix_name);

// No double-byte code page is ever in use.
constexpr bool IsDbcsEnabled() {
    return false;
}

// Flags of CompareString, bit for bit those of CompareStringA.
inline constexpr std::uint32_t NORM_IGNORECASE = 0x0001;
inline constexpr std::uint32_t NORM_IGNORENONSPACE = 0x0002;
inline constexpr std::uint32_t SORT_STRINGSORT = 0x1000;

// Results of CompareString; subtract 2 for -1, 0, +1.
inline constexpr int CSTR_LESS_THAN = 1;
inline constexpr int CSTR_EQUAL = 2;
inline constexpr int CSTR_GREATER_THAN = 3;

// Compares two strings in the collation of `locale`; returns CSTR_LESS_THAN,
// CSTR_EQUAL or CSTR_GREATER_THAN.
//
// Each byte has a primary weight (the letter), a diacritic weight and a case
// weight; a few bytes expand to two letters (æ as ae, ß as ss, German phone
// book ä as ae, ...). Strings compare by their primary weights first, then by
// diacritics (skipped under NORM_IGNORENONSPACE), then by case (skipped under
// NORM_IGNORECASE). Punctuation and control bytes are never ignored. The
// non-spacing marks of Hebrew, Arabic, Thai and Vietnamese (1258) text are
// accents: they count from the diacritic level on, and NORM_IGNORENONSPACE
// ignores them entirely. A prefix sorts before its extensions (it equals an
// extension by such marks under NORM_IGNORENONSPACE). The order is a total
// preorder that never changes, so it may be persisted.
//
// Language 0 compares bytes as unsigned values; NORM_IGNORECASE then compares
// the Windows-1252 US upper-cased bytes, and NORM_IGNORENONSPACE has no effect.
//
// `flags` may combine SORT_STRINGSORT, NORM_IGNORENONSPACE and NORM_IGNORECASE;
// this is always a string sort, with or without the SORT_STRINGSORT bit.
// Throws std::invalid_argument for an invalid locale or any other flag bit.
int CompareString(LocaleId locale, std::uint32_t flags, std::string_view a, std::string_view b);

// Flags of MapString, bit for bit those of LCMapStringA.
inline constexpr std::uint32_t LCMAP_LOWERCASE = 0x0100;
inline constexpr std::uint32_t LCMAP_UPPERCASE = 0x0200;

// A byte-to-byte map: case mapping never changes a string's length.
using CaseMap = std::array<std::uint8_t, 256>;

// The upper- and lower-case maps of a valid locale. A character maps only when
// its simple Unicode case mapping lies in the same code page; Turkish (0x041F)
// maps i to İ and ı to I, and back. Language 0 uses the Windows-1252 US maps
// (upper: a-z, 0xE0-0xFE except 0xF7, š œ ž ÿ; ß, µ and ƒ stay).
// Throws std::invalid_argument when !IsValidLocale(locale).
const CaseMap& UpperCaseMap(LocaleId locale);
const CaseMap& LowerCaseMap(LocaleId locale);

// The text up to its first NUL, mapped with exactly one of LCMAP_UPPERCASE or
// LCMAP_LOWERCASE. Throws std::invalid_argument for an invalid locale or flags.
std::string MapString(LocaleId locale, std::uint32_t flags, std::string_view text);

// Case-insensitive comparison of identifiers (table, field, index and language
// names) with the Windows-1252 US upper-case map: <0, 0 or >0.
int CompareTextAnsi(std::string_view a, std::string_view b);
inline bool SameTextAnsi(std::string_view a, std::string_view b) {
    return CompareTextAnsi(a, b) == 0;
}

// Locale formats (what GetLocaleInfoA gives, user overrides ignored)

// Date masks use the class library's letters: d dd ddd dddd, M MM MMM MMMM,
// yyyy; literal text stands in double quotes. Years always have 4 digits, so
// no conversion loses the century. Time masks: h or hh for the hour, mm for
// the minutes, ss for the seconds, " AMPM" appended on a 12-hour clock. All
// text is in the locale's code page.
struct LocaleFormats {
    std::string currency_string;
    std::uint8_t currency_format = 0;           // LOCALE_ICURRENCY, 0-3
    std::uint8_t negative_currency_format = 0;  // LOCALE_INEGCURR, 0-15
    char thousand_separator = ',';
    char decimal_separator = '.';
    std::uint8_t currency_decimals = 2;
    char date_separator = '/';
    std::string short_date_format;
    std::string long_date_format;
    char time_separator = ':';
    std::string time_am_string;
    std::string time_pm_string;
    bool twelve_hour_clock = false;
    bool hour_leading_zero = false;
    std::string short_time_format;
    std::string long_time_format;
    std::array<std::string, 12> short_month_names;  // January first
    std::array<std::string, 12> long_month_names;
    std::array<std::string, 7> short_day_names;  // Sunday first
    std::array<std::string, 7> long_day_names;
};

// The formats of a valid locale with a non-zero language; std::nullopt for
// language 0 (the engine's fixed formats apply) and for an invalid locale (the
// caller applies its fallbacks).
std::optional<LocaleFormats> GetLocaleFormats(LocaleId locale);

// The Unicode character of a byte; std::nullopt for a byte the code page leaves
// undefined.
std::optional<char32_t> ByteToUnicode(CodePage code_page, std::uint8_t byte);
// Whether the code page holds each ASCII character as its own byte.
bool KeepsAscii(CodePage code_page);
// Whether every code page does: then ASCII text needs no page to be known.
bool EveryPageKeepsAscii();

// The byte that holds a character; std::nullopt when the code page cannot.
std::optional<std::uint8_t> UnicodeToByte(CodePage code_page, char32_t ch);

enum class ConversionStatus {
    Ok,
    Unmappable,   // a character (or an undefined byte) the other side cannot hold
    InvalidUtf8,  // malformed UTF-8 input
};

struct ConversionResult {
    std::string text;  // the converted text; on failure what was converted so far
    ConversionStatus status = ConversionStatus::Ok;
    std::size_t error_offset = 0;  // byte offset in the input of the failure
    char32_t unmappable = 0;       // the character that could not be mapped

    bool ok() const { return status == ConversionStatus::Ok; }
};

// Called for a character the code page cannot hold; returns replacement bytes
// (already in the code page) or std::nullopt to fail with Unmappable.
using UnmappableHandler = std::function<std::optional<std::string>(char32_t)>;

// Whether text is well-formed UTF-8 (no overlong forms, surrogates or truncated
// sequences).
bool IsValidUtf8(std::string_view text);

// Single-byte text to UTF-8. NUL bytes are converted like any other byte; an
// undefined byte fails with Unmappable. A letter followed by combining marks
// that compose to one character comes out composed (Vietnamese "ê" + dot below
// gives "ệ").
ConversionResult BytesToUtf8(CodePage code_page, std::string_view bytes);

// UTF-8 to single-byte text. A character the code page holds only decomposed
// is written as base letter and combining marks (Vietnamese "ệ" as "ê" + dot
// below). Any other character the code page lacks goes to the handler; without
// one the conversion fails with Unmappable and nothing is guessed.
ConversionResult Utf8ToBytes(CodePage code_page, std::string_view utf8,
                             const UnmappableHandler& on_unmappable = {});

}  // namespace platform::nls
