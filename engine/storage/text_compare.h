#pragma once

// Byte and language-aware comparison, case mapping and LIKE matching of engine text. Language 0
// means no language: byte order, and the Windows-1252 US case maps. Every other language goes to
// platform/nls, the one collation every comparer of the engine shares.
//
// Text arguments end at their first NUL, even when the view is longer.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace strata {

using LanguageId = std::uint16_t;
using SortId = std::uint16_t;

// (sort << 16) | language.
constexpr std::uint32_t MakeLocaleId(LanguageId language, SortId sort) {
    return (static_cast<std::uint32_t>(sort) << 16) | language;
}
// (sub-language << 10) | primary language.
constexpr LanguageId MakeLanguageId(std::uint8_t primary, std::uint8_t sub_language) {
    return static_cast<LanguageId>((static_cast<unsigned>(sub_language) << 10) | primary);
}

// -1, 0 or 1 (1 when a is greater) over `length` bytes; reversed when descending. A missing first
// buffer compares as greater, a missing second one as less, two missing ones as equal.
int CompareBytes(const void* a, const void* b, std::size_t length, bool descending);

// Two characters by the locale's string sort ignoring non-spacing marks, or as bytes without a
// language. -1, 0 or 1.
int CompareCharLang(LanguageId language, SortId sort, char a, char b);

// Two strings over `length` characters, or whole with length 0; a prefix sorts first. With a
// language: the locale's string sort ignoring non-spacing marks (and case when asked). Without:
// bytes, after upper-casing copies when case-insensitive. The inputs are never changed.
// Raises engine error 15878 for a language the engine does not know.
int CompareStrings(LanguageId language, SortId sort, std::string_view a, bool case_insensitive,
                   std::size_t length, std::string_view b);

// Case mapping by the locale's rules (US English without a language); the length never changes.
std::string UpperCaseLang(LanguageId language, SortId sort, std::string_view text);
// UpperCaseLang over bytes in place, for key building, which runs for every key of every write.
void UpperCaseLangInPlace(LanguageId language, SortId sort, std::span<std::uint8_t> text);
std::string LowerCaseLang(LanguageId language, SortId sort, std::string_view text);

// SQL LIKE: "%" any run of characters, "_" exactly one, everything else one character compared
// with CompareCharLang (so case counts). No escape character.
bool StrMatchesLike(LanguageId language, SortId sort, std::string_view text,
                    std::string_view pattern);

}  // namespace strata
