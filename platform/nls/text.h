#pragma once

// Small text helpers every layer shares: UTF-8 encoding and decoding, trimming, and
// comparison of ASCII words without regard to case. Names of tables, fields and indexes
// compare with SameTextAnsi (nls.h) instead, which also folds the accented letters.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace platform::nls {

// Appends the UTF-8 form of `c`. Requires: c is at most U+10FFFF and no surrogate.
void AppendUtf8(std::string& out, char32_t c);

// Decodes one well-formed UTF-8 sequence at `pos` and moves past it; std::nullopt, with
// `pos` unchanged, for overlong forms, surrogates, values above U+10FFFF, stray
// continuation bytes and truncated sequences. Requires: pos < text.size().
std::optional<char32_t> DecodeUtf8(std::string_view text, std::size_t& pos);

// The text without leading and trailing blanks and control characters (every byte up to
// the space), as the class library's Trim.
std::string_view Trim(std::string_view text);
// The text without leading and trailing bytes from `chars`.
std::string_view TrimOf(std::string_view text, std::string_view chars);

// The text as one line a reader can trust: every control character (C0 other than the
// tab, DEL, C1) and the Unicode line and paragraph separators become a blank, since a
// text view would start a new line at some of them or show nothing for the others.
// Bytes that are not well-formed UTF-8 are kept as they are.
std::string OneLineText(std::string_view text);

// The ASCII letter in the other case; every other byte as it is. UTF-8 text keeps its
// multi-byte sequences intact, where a code page's case map would change their bytes.
constexpr char UpperAscii(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}
constexpr char LowerAscii(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}
// The text with its ASCII letters in upper (lower) case, every other byte as it is.
std::string UpperAsciiText(std::string_view text);
std::string LowerAsciiText(std::string_view text);

// Equal when the texts differ at most in the case of ASCII letters; other bytes compare
// as they are. For keywords and protocol words, never for stored names.
bool SameTextAscii(std::string_view a, std::string_view b);

}  // namespace platform::nls
