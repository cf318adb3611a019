#pragma once

// Small stateless routines that the engine core, the expression evaluator and the SQL processor
// share: short-string and C-string helpers, file-name tests, lexer character classes, minimum and
// maximum, and the validation of value texts.
//
// Short strings hold at most 255 characters; every routine that builds one cuts its result
// there. Path helpers accept "/" and "\" as separators and write "/".

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "engine/storage/engine_heap.h"
#include "platform/db/format_settings.h"

namespace strata {

inline constexpr std::size_t kShortStringMax = 255;

// Cuts a built string to a short string's 255 characters.
std::string ShortString(std::string_view text);

std::string PadLeft(std::string_view text, std::size_t length, char fill);
std::string PadRight(std::string_view text, std::size_t length, char fill);
// Empty for a count below 1.
std::string RepeatString(std::string_view text, std::int64_t count);
std::string LeftString(std::string_view text, std::size_t n);
std::string RightString(std::string_view text, std::size_t n);
// 1-based position of the last occurrence; 0 when none, or when either text is empty.
std::size_t LastPos(std::string_view sub, std::string_view text);

// Strip a character from the start, the end or both, in place.
void TrimCharLeft(std::string& text, char c);
void TrimCharRight(std::string& text, char c);
void TrimCharBoth(std::string& text, char c);

// 1-based position of the first occurrence; 0 when none (or an empty substring).
std::size_t StrPosIndex(std::string_view sub, std::string_view text);
// Non-overlapping occurrences from the start; 0 for an empty substring.
std::size_t StrCountOccurs(std::string_view sub, std::string_view text);
// The length StrReplaceAll gives.
std::size_t StrReplacedLength(std::string_view search, std::string_view replacement,
                              std::string_view text);
// Every non-overlapping occurrence replaced; an empty search leaves the text unchanged.
std::string StrReplaceAll(std::string_view search, std::string_view replacement,
                          std::string_view text);
std::string StripLineBreaks(std::string_view text);
// Runs of double quotes become one, then runs of single quotes become one.
std::string UndoubleQuotes(std::string_view text);

std::string_view BooleanToText(bool value);
// "TRUE"/"FALSE" in any case; else db::EConvertError "'x' is not a valid boolean value".
bool StrToBoolean(std::string_view text);

void FillZero(std::span<std::byte> buffer);

// File names and paths.
std::string RemoveFileExt(std::string_view name);
std::string BareFileName(std::string_view name);
std::string ForceFileExt(std::string_view name, std::string_view ext);
std::string AddTrailingBackslash(std::string_view path);
// True for an empty name or one with ":", "\" or "/": a directory, not a database name.
bool IsDirectoryPath(std::string_view name);

// Character classes of the expression lexer.
constexpr bool IsIdentStartChar(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || (c >= 129 && c <= 254);
}
constexpr bool IsDigitChar(unsigned char c) {
    return c >= '0' && c <= '9';
}
constexpr bool IsIdentChar(unsigned char c) {
    return IsIdentStartChar(c) || IsDigitChar(c);
}

// Minimum and maximum of two values of one engine width.
constexpr std::int32_t MaxInt(std::int32_t a, std::int32_t b) {
    return std::max(a, b);
}
constexpr std::int32_t MinInt(std::int32_t a, std::int32_t b) {
    return std::min(a, b);
}
constexpr std::uint16_t MaxWord(std::uint16_t a, std::uint16_t b) {
    return std::max(a, b);
}
constexpr std::uint16_t MinWord(std::uint16_t a, std::uint16_t b) {
    return std::min(a, b);
}
constexpr std::int16_t MaxSmallInt(std::int16_t a, std::int16_t b) {
    return std::max(a, b);
}
constexpr std::int16_t MinSmallInt(std::int16_t a, std::int16_t b) {
    return std::min(a, b);
}
// Compared exactly, not through doubles (which merge neighbours above 2^53).
constexpr std::int64_t MaxInt64(std::int64_t a, std::int64_t b) {
    return std::max(a, b);
}
constexpr std::int64_t MinInt64(std::int64_t a, std::int64_t b) {
    return std::min(a, b);
}
constexpr double MaxDouble(double a, double b) {
    return a < b ? b : a;
}
constexpr double MinDouble(double a, double b) {
    return b < a ? b : a;
}

// Validation of value texts with the given formats: true when the text converts; a conversion
// failure answers false.
bool IsValidWordText(std::string_view text);
bool IsValidIntegerText(std::string_view text);
bool IsValidSmallIntText(std::string_view text);
bool IsValidBooleanText(std::string_view text);
bool IsValidFloatText(std::string_view text, const db::TFormatSettings& format);
bool IsValidCurrencyText(std::string_view text, const db::TFormatSettings& format);
bool IsValidDateText(std::string_view text, const db::TFormatSettings& format);
bool IsValidDateTimeText(std::string_view text, const db::TFormatSettings& format);
bool IsValidTimeText(std::string_view text, const db::TFormatSettings& format);

// Sorts items[low..high] in place with a three-way comparison; stays in range even when the
// comparison is inconsistent, which std::sort does not promise.
template <class T, class Compare>
void QuickSortPointers(std::span<T> items, std::int64_t low, std::int64_t high, Compare&& compare) {
    if (low < 0 || high >= static_cast<std::int64_t>(items.size()) || low >= high) {
        return;
    }
    QuickSortItems(items.data(), low, high, compare);
}

}  // namespace strata
