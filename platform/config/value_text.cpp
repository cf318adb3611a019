#include "platform/config/value_text.h"

#include <charconv>
#include <limits>

#include "platform/nls/text.h"

namespace platform::config {

namespace {

using platform::nls::AsciiUpper;

// Upper case of the letters whose case pairs are stable across Unicode versions
// and locales: Latin-1 and Latin Extended-A. Everything else maps to itself.
char32_t UpperLatin(char32_t c) {
    if (c >= U'a' && c <= U'z') {
        return c - 0x20;
    }
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7) {
        return c - 0x20;
    }
    if (c == 0xFF) {
        return 0x178;
    }
    if (c >= 0x100 && c <= 0x17F) {
        // Pairs are (even upper, odd lower) except 0x139-0x148 and 0x179-0x17E,
        // where the upper case is odd; 0x131, 0x138, 0x149 and 0x17F stand alone.
        if (c == 0x131 || c == 0x138 || c == 0x149 || c == 0x17F || c == 0x130) {
            return c;
        }
        const bool odd_upper = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
        const bool is_lower = odd_upper ? (c % 2 == 0) : (c % 2 == 1);
        return is_lower ? c - 1 : c;
    }
    return c;
}

}  // namespace

std::optional<bool> ParseBoolText(std::string_view text) {
    if (nls::SameTextAscii(text, "true") || text == "1") {
        return true;
    }
    if (nls::SameTextAscii(text, "false") || text == "0") {
        return false;
    }
    return std::nullopt;
}

std::optional<std::int32_t> ParseIntegerText(std::string_view text, bool allow_hex) {
    if (allow_hex && text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        std::uint32_t bits = 0;
        const std::string_view digits = text.substr(2);
        const auto [end, error] =
            std::from_chars(digits.data(), digits.data() + digits.size(), bits, 16);
        if (error != std::errc() || end != digits.data() + digits.size()) {
            return std::nullopt;
        }
        return static_cast<std::int32_t>(bits);
    }
    std::string_view digits = text;
    bool negative = false;
    if (!digits.empty() && (digits[0] == '+' || digits[0] == '-')) {
        negative = digits[0] == '-';
        digits.remove_prefix(1);
    }
    if (digits.empty() || digits[0] < '0' || digits[0] > '9') {
        return std::nullopt;
    }
    std::int64_t magnitude = 0;
    const auto [end, error] =
        std::from_chars(digits.data(), digits.data() + digits.size(), magnitude, 10);
    if (error != std::errc() || end != digits.data() + digits.size()) {
        return std::nullopt;
    }
    const std::int64_t value = negative ? -magnitude : magnitude;
    if (value < std::numeric_limits<std::int32_t>::min() ||
        value > std::numeric_limits<std::int32_t>::max()) {
        return std::nullopt;
    }
    return static_cast<std::int32_t>(value);
}

std::string FoldName(std::string_view name) {
    std::string out;
    out.reserve(name.size());
    std::size_t i = 0;
    while (i < name.size()) {
        const auto b0 = static_cast<unsigned char>(name[i]);
        // Only two-byte sequences hold the letters we fold; other bytes pass through.
        if (b0 >= 0xC2 && b0 <= 0xDF && i + 1 < name.size()) {
            const auto b1 = static_cast<unsigned char>(name[i + 1]);
            if ((b1 & 0xC0) == 0x80) {
                const char32_t c = (static_cast<char32_t>(b0 & 0x1F) << 6) | (b1 & 0x3F);
                nls::AppendUtf8(out, UpperLatin(c));
                i += 2;
                continue;
            }
        }
        out += b0 < 0x80 ? AsciiUpper(static_cast<char>(b0)) : static_cast<char>(b0);
        ++i;
    }
    return out;
}

bool NamesEqual(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;  // the fold keeps every sequence's length
    }
    return FoldName(a) == FoldName(b);
}

}  // namespace platform::config
