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

// Equal when the texts differ at most in the case of ASCII letters; other bytes compare
// as they are. For keywords and protocol words, never for stored names.
bool SameTextAscii(std::string_view a, std::string_view b);
// True when `text` starts with `prefix`, ASCII letters compared without regard to case.
bool StartsWithAscii(std::string_view text, std::string_view prefix);

// Whether every byte of the text is ASCII (below 0x80).
bool IsAscii(std::string_view text);

// Case of the ASCII letters only, whatever the process locale: other bytes, UTF-8
// sequences and code-page letters among them, stay as they are. For keywords, protocol
// words and file extensions; text in a table's code page uses that code page's case map.
constexpr char AsciiUpper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}
constexpr char AsciiLower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}
std::string AsciiUpper(std::string_view text);
std::string AsciiLower(std::string_view text);
constexpr bool IsAsciiLetter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
constexpr bool IsAsciiDigit(char c) {
    return c >= '0' && c <= '9';
}

}  // namespace platform::nls
