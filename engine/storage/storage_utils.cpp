#include "engine/storage/storage_utils.h"

#include <cstring>

#include "platform/db/conversions.h"
#include "platform/db/exception.h"
#include "platform/nls/text.h"

namespace strata {
namespace {

bool IsSeparator(char c) {
    return c == '\\' || c == '/';
}

std::size_t LastSeparator(std::string_view name) {
    return name.find_last_of("\\/");
}

// Collapses every run of two or more `quote` characters to one.
std::string CollapseRuns(std::string_view text, char quote) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (c == quote && !out.empty() && out.back() == quote) {
            continue;
        }
        out.push_back(c);
    }
    return out;
}

}  // namespace

std::string ShortString(std::string_view text) {
    return std::string(text.substr(0, kShortStringMax));
}

std::string PadLeft(std::string_view text, std::size_t length, char fill) {
    length = std::min(length, kShortStringMax);
    if (text.size() >= length) {
        return ShortString(text);
    }
    return std::string(length - text.size(), fill) + std::string(text);
}

std::string PadRight(std::string_view text, std::size_t length, char fill) {
    length = std::min(length, kShortStringMax);
    if (text.size() >= length) {
        return ShortString(text);
    }
    return std::string(text) + std::string(length - text.size(), fill);
}

std::string RepeatString(std::string_view text, std::int64_t count) {
    std::string out;
    for (std::int64_t i = 0; i < count && out.size() < kShortStringMax && !text.empty(); ++i) {
        out.append(text);
    }
    return ShortString(out);
}

std::string LeftString(std::string_view text, std::size_t n) {
    return ShortString(text.substr(0, n));
}

std::string RightString(std::string_view text, std::size_t n) {
    return ShortString(text.substr(text.size() - std::min(n, text.size())));
}

std::size_t LastPos(std::string_view sub, std::string_view text) {
    if (sub.empty() || text.empty()) {
        return 0;
    }
    const std::size_t pos = text.rfind(sub);
    return pos == std::string_view::npos ? 0 : pos + 1;
}

void TrimCharLeft(std::string& text, char c) {
    text.erase(0, std::min(text.find_first_not_of(c), text.size()));
}

void TrimCharRight(std::string& text, char c) {
    const std::size_t last = text.find_last_not_of(c);
    text.erase(last == std::string::npos ? 0 : last + 1);
}

void TrimCharBoth(std::string& text, char c) {
    TrimCharRight(text, c);
    TrimCharLeft(text, c);
}

std::size_t StrPosIndex(std::string_view sub, std::string_view text) {
    if (sub.empty()) {
        return 0;
    }
    const std::size_t pos = text.find(sub);
    return pos == std::string_view::npos ? 0 : pos + 1;
}

std::size_t StrCountOccurs(std::string_view sub, std::string_view text) {
    if (sub.empty()) {
        return 0;
    }
    std::size_t count = 0;
    for (std::size_t pos = text.find(sub); pos != std::string_view::npos;
         pos = text.find(sub, pos + sub.size())) {
        ++count;
    }
    return count;
}

std::size_t StrReplacedLength(std::string_view search, std::string_view replacement,
                              std::string_view text) {
    const std::size_t count = StrCountOccurs(search, text);
    return text.size() - count * search.size() + count * replacement.size();
}

std::string StrReplaceAll(std::string_view search, std::string_view replacement,
                          std::string_view text) {
    if (search.empty() || search == replacement) {
        return std::string(text);
    }
    std::string out;
    out.reserve(StrReplacedLength(search, replacement, text));
    std::size_t start = 0;
    for (std::size_t pos = text.find(search); pos != std::string_view::npos;
         pos = text.find(search, start)) {
        out.append(text.substr(start, pos - start));
        out.append(replacement);
        start = pos + search.size();
    }
    out.append(text.substr(start));
    return out;
}

std::string StripLineBreaks(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (c != '\r' && c != '\n') {
            out.push_back(c);
        }
    }
    return out;
}

std::string UndoubleQuotes(std::string_view text) {
    return CollapseRuns(CollapseRuns(text, '"'), '\'');
}

std::string_view BooleanToText(bool value) {
    return value ? "True" : "False";
}

bool StrToBoolean(std::string_view text) {
    if (platform::nls::SameTextAscii(text, "TRUE")) {
        return true;
    }
    if (platform::nls::SameTextAscii(text, "FALSE")) {
        return false;
    }
    throw db::EConvertError("'" + std::string(text) + "'" + " is not a valid boolean value");
}

void FillZero(std::span<std::byte> buffer) {
    if (!buffer.empty()) {
        std::memset(buffer.data(), 0, buffer.size());
    }
}

std::string RemoveFileExt(std::string_view name) {
    const std::size_t dot = name.rfind('.');
    const std::size_t separator = LastSeparator(name);
    if (dot == std::string_view::npos || (separator != std::string_view::npos && dot < separator)) {
        return std::string(name);
    }
    return std::string(name.substr(0, dot));
}

std::string BareFileName(std::string_view name) {
    const std::size_t separator = LastSeparator(name);
    const std::string_view file =
        separator == std::string_view::npos ? name : name.substr(separator + 1);
    return RemoveFileExt(file);
}

std::string ForceFileExt(std::string_view name, std::string_view ext) {
    const std::string trimmed(platform::nls::TrimOf(name, " "));
    const std::string base = RemoveFileExt(trimmed);
    const std::string_view current = std::string_view(trimmed).substr(base.size());
    std::string wanted(ext);
    if (!wanted.empty() && wanted.front() != '.') {
        wanted.insert(wanted.begin(), '.');
    }
    if (platform::nls::SameTextAscii(current, wanted)) {
        return trimmed;
    }
    return base + wanted;
}

std::string AddTrailingBackslash(std::string_view path) {
    std::string out(platform::nls::TrimOf(path, " "));
    if (!out.empty() && !IsSeparator(out.back())) {
        out.push_back('/');
    }
    return out;
}

bool IsDirectoryPath(std::string_view name) {
    return name.empty() || name.find_first_of(":\\/") != std::string_view::npos;
}

bool IsValidWordText(std::string_view text) {
    std::int32_t value = 0;
    return db::TryStrToInt(text, value) && value >= 0 && value <= 65535;
}

bool IsValidIntegerText(std::string_view text) {
    std::int32_t value = 0;
    return db::TryStrToInt(text, value);
}

bool IsValidSmallIntText(std::string_view text) {
    std::int32_t value = 0;
    return db::TryStrToInt(text, value) && value >= -32768 && value <= 32767;
}

bool IsValidBooleanText(std::string_view text) {
    return platform::nls::SameTextAscii(text, "TRUE") ||
           platform::nls::SameTextAscii(text, "FALSE");
}

bool IsValidFloatText(std::string_view text, const db::TFormatSettings& format) {
    double value = 0.0;
    return db::TryStrToFloat(text, value, format);
}

bool IsValidCurrencyText(std::string_view text, const db::TFormatSettings& format) {
    db::Currency value;
    return db::TryStrToCurr(text, value, format);
}

bool IsValidDateText(std::string_view text, const db::TFormatSettings& format) {
    db::TDateTime value;
    return db::TryStrToDate(text, value, format);
}

bool IsValidDateTimeText(std::string_view text, const db::TFormatSettings& format) {
    db::TDateTime value;
    return db::TryStrToDateTime(text, value, format);
}

bool IsValidTimeText(std::string_view text, const db::TFormatSettings& format) {
    db::TDateTime value;
    return db::TryStrToTime(text, value, format);
}

}  // namespace strata
