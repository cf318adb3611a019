#include "app/routines/text_routines.h"

#include <algorithm>

#include "platform/db/string_list.h"
#include "platform/nls/text.h"
#include "platform/ui/screen.h"

namespace app {

namespace {

// The byte offset just past the first n characters of s.
std::size_t ByteOffsetOfChar(std::string_view s, std::int64_t n) {
    std::size_t i = 0;
    for (std::int64_t count = 0; i < s.size() && count < n; ++count) {
        ++i;
        while (i < s.size() && (static_cast<unsigned char>(s[i]) & 0xC0) == 0x80) {
            ++i;  // continuation bytes belong to the character
        }
    }
    return i;
}

}  // namespace

std::string RemoveAllText(std::string_view s, std::string_view sub) {
    std::string result(s);
    if (sub.empty()) {
        return result;
    }
    for (std::size_t at = result.find(sub); at != std::string::npos; at = result.find(sub)) {
        result.erase(at, sub.size());
    }
    return result;
}

std::string DeleteLeftChars(std::string_view s, std::int64_t n) {
    if (n <= 0) {
        return std::string(s);
    }
    return std::string(s.substr(ByteOffsetOfChar(s, n)));
}

std::string KeepLeftChars(std::string_view s, std::int64_t n) {
    if (n <= 0) {
        return {};
    }
    return std::string(s.substr(0, ByteOffsetOfChar(s, n)));
}

bool IsValidEmailAddress(std::string_view s) {
    if (s.empty()) {
        return false;
    }
    const std::size_t dot = s.find('.');
    const std::size_t at = s.find('@');
    if (dot == std::string_view::npos || dot < 1 || at == std::string_view::npos || at < 1) {
        return false;
    }
    if (at + 1 == s.size()) {
        return false;
    }
    return s.find(' ') == std::string_view::npos;
}

std::int64_t MaxOf(std::int64_t a, std::int64_t b) {
    return std::max(a, b);
}

void SplitToStrings(db::TStrings& list, std::string_view text, std::string_view separator,
                    bool strip_quotes, bool keep_empty) {
    list.Clear();
    if (text.empty() || text == separator) {
        return;
    }
    const auto add = [&](std::string_view part) {
        part = platform::nls::Trim(part);
        if (strip_quotes) {
            if (!part.empty() && part.front() == '"') {
                part.remove_prefix(1);
            }
            if (!part.empty() && part.back() == '"') {
                part.remove_suffix(1);
            }
        }
        if (!part.empty() || keep_empty) {
            list.Add(part);
        }
    };
    if (separator.empty()) {
        add(text);
        return;
    }
    std::string work(text);
    if (!work.ends_with(separator)) {
        work += separator;
    }
    std::string_view rest = work;
    for (;;) {
        const std::size_t at = rest.find(separator);
        add(rest.substr(0, at));
        rest.remove_prefix(at + separator.size());
        if (rest.empty() || rest == separator) {
            break;
        }
    }
}

bool StrToBoolText(std::string_view s, bool default_value) {
    if (platform::nls::SameTextAscii(s, "TRUE")) {
        return true;
    }
    if (platform::nls::SameTextAscii(s, "FALSE")) {
        return false;
    }
    return default_value;
}

std::string BoolToSettingString(bool value) {
    return value ? "true" : "False";
}

bool SettingStringToBool(std::string_view s, bool default_value) {
    return StrToBoolText(s, default_value);
}

std::string ReplaceAllTextEx(std::string_view s, std::string_view find,
                             std::string_view replacement) {
    std::string result(s);
    if (find.empty()) {
        return result;
    }
    std::size_t from = 0;
    for (std::size_t at = result.find(find); at != std::string::npos;
         at = result.find(find, from)) {
        result.replace(at, find.size(), replacement);
        // A removal may join the text before it with the text after it; look
        // again from where such a new occurrence could begin. A non-empty
        // replacement is never searched again, so the loop always ends.
        from = replacement.empty() ? at - std::min(at, find.size() - 1) : at + replacement.size();
    }
    return result;
}

std::string ReplaceAllText(std::string_view s, std::string_view find) {
    return ReplaceAllTextEx(s, find, "");
}

int ScaleToScreen(int n, int pixels_per_inch) {
    return static_cast<int>(static_cast<std::int64_t>(n) * pixels_per_inch / 96);
}

int ScaleToScreen(int n) {
    return ScaleToScreen(n, ui::ScreenPixelsPerInch());
}

std::string Trim(std::string_view s) {
    auto is_space = [](char c) { return static_cast<unsigned char>(c) <= ' '; };
    while (!s.empty() && is_space(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && is_space(s.back()))
        s.remove_suffix(1);
    return std::string(s);
}

std::string UpperCase(std::string_view s) {
    return platform::nls::AsciiUpper(s);
}

std::string LowerCase(std::string_view s) {
    return platform::nls::AsciiLower(s);
}

bool SameText(std::string_view a, std::string_view b) {
    // Asked per entry of an import: compared in place, without upper-case copies.
    return platform::nls::SameTextAscii(a, b);
}

std::int64_t Pos(std::string_view sub, std::string_view s) {
    const std::size_t at = s.find(sub);
    return at == std::string_view::npos ? 0 : static_cast<std::int64_t>(at) + 1;
}

bool ContainsText(std::string_view s, std::string_view sub) {
    return UpperCase(s).find(UpperCase(sub)) != std::string::npos;
}

}  // namespace app
