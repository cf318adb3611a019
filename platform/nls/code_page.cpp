#include <algorithm>
#include <array>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "platform/nls/nls.h"
#include "platform/nls/tables.h"
#include "platform/nls/text.h"

namespace platform::nls {

namespace {

std::size_t IndexOf(CodePage code_page) {
    for (std::size_t i = 0; i < detail::kCodePages.size(); ++i) {
        if (detail::kCodePages[i] == code_page)
            return i;
    }
    throw std::invalid_argument("unsupported code page " +
                                std::to_string(static_cast<int>(code_page)));
}

using ReverseTable = std::vector<std::pair<char32_t, std::uint8_t>>;

// Character-to-byte tables, built once from the byte-to-character tables.
const ReverseTable& ReverseOf(CodePage code_page) {
    static const std::array<ReverseTable, detail::kCodePageCount> tables = [] {
        std::array<ReverseTable, detail::kCodePageCount> out;
        for (std::size_t i = 0; i < detail::kCodePageCount; ++i) {
            const auto& forward = detail::kCodePageTables[i].to_unicode;
            for (std::size_t b = 0; b < forward.size(); ++b) {
                if (forward[b] != detail::kUndefinedChar) {
                    out[i].emplace_back(forward[b], static_cast<std::uint8_t>(b));
                }
            }
            std::sort(out[i].begin(), out[i].end());
        }
        return out;
    }();
    return tables[IndexOf(code_page)];
}

// What the conversions need at every character, worked out once per code page: whether
// the page keeps ASCII as it is (then a run of ASCII passes unconverted, the common case of
// addresses and names), whether it composes accents from separate bytes, and the byte of
// each character below U+0100 (0 for none, as U+0000 is handled before the table).
struct FastPath {
    bool ascii_identity = true;
    bool composes = false;
    std::array<std::uint8_t, 0x100> low_bytes{};
};

const FastPath& FastPathOf(std::size_t index) {
    static const std::array<FastPath, detail::kCodePageCount> paths = [] {
        std::array<FastPath, detail::kCodePageCount> out;
        for (std::size_t i = 0; i < detail::kCodePageCount; ++i) {
            const auto& forward = detail::kCodePageTables[i].to_unicode;
            for (std::size_t b = 0; b < forward.size(); ++b) {
                if (b < 0x80 && forward[b] != static_cast<char32_t>(b))
                    out[i].ascii_identity = false;
                if (forward[b] != detail::kUndefinedChar && forward[b] < 0x100 &&
                    out[i].low_bytes[forward[b]] == 0)
                    out[i].low_bytes[forward[b]] = static_cast<std::uint8_t>(b);
            }
            for (const detail::Composite& c : detail::kCompositeTables[i])
                out[i].composes = out[i].composes || c.composes;
        }
        return out;
    }();
    return paths[index];
}

const detail::Composite* FindComposite(CodePage code_page, char32_t ch) {
    const auto table = detail::kCompositeTables[IndexOf(code_page)];
    auto it = std::lower_bound(
        table.begin(), table.end(), ch,
        [](const detail::Composite& c, char32_t value) { return c.code_point < value; });
    if (it == table.end() || it->code_point != ch)
        return nullptr;
    return &*it;
}

// The character a base byte and the combining-mark bytes after it stand for,
// and how many bytes that takes; 0 when they compose nothing.
std::pair<char32_t, std::size_t> ComposeAt(CodePage code_page, std::string_view bytes,
                                           std::size_t pos) {
    using Key = std::pair<std::string, char32_t>;
    static const std::array<std::vector<Key>, detail::kCodePageCount> inverse = [] {
        std::array<std::vector<Key>, detail::kCodePageCount> out;
        for (std::size_t i = 0; i < detail::kCodePageCount; ++i) {
            for (const detail::Composite& c : detail::kCompositeTables[i]) {
                if (!c.composes)
                    continue;
                out[i].emplace_back(std::string(c.bytes.begin(), c.bytes.begin() + c.length),
                                    c.code_point);
            }
            std::sort(out[i].begin(), out[i].end());
        }
        return out;
    }();
    const auto& table = inverse[IndexOf(code_page)];
    if (table.empty())
        return {0, 0};
    for (std::size_t length = 3; length >= 2; --length) {
        if (bytes.size() - pos < length)
            continue;
        const std::string key(bytes.substr(pos, length));
        auto it = std::lower_bound(table.begin(), table.end(), Key(key, 0));
        if (it != table.end() && it->first == key)
            return {it->second, length};
    }
    return {0, 0};
}

}  // namespace

std::optional<char32_t> ByteToUnicode(CodePage code_page, std::uint8_t byte) {
    const char32_t c = detail::kCodePageTables[IndexOf(code_page)].to_unicode[byte];
    if (c == detail::kUndefinedChar)
        return std::nullopt;
    return c;
}

std::optional<std::uint8_t> UnicodeToByte(CodePage code_page, char32_t ch) {
    const ReverseTable& table = ReverseOf(code_page);
    auto it = std::lower_bound(table.begin(), table.end(), std::make_pair(ch, std::uint8_t{0}));
    if (it == table.end() || it->first != ch)
        return std::nullopt;
    return it->second;
}

bool KeepsAscii(CodePage code_page) {
    return FastPathOf(IndexOf(code_page)).ascii_identity;
}

bool EveryPageKeepsAscii() {
    static const bool every = [] {
        for (std::size_t i = 0; i < detail::kCodePageCount; ++i) {
            if (!FastPathOf(i).ascii_identity)
                return false;
        }
        return true;
    }();
    return every;
}

bool IsValidUtf8(std::string_view text) {
    for (std::size_t pos = 0; pos < text.size();) {
        // Runs of ASCII, most of an import file, need no decoding.
        if (static_cast<std::uint8_t>(text[pos]) < 0x80) {
            ++pos;
            continue;
        }
        if (!DecodeUtf8(text, pos))
            return false;
    }
    return true;
}

ConversionResult BytesToUtf8(CodePage code_page, std::string_view bytes) {
    const std::size_t index = IndexOf(code_page);
    const auto& forward = detail::kCodePageTables[index].to_unicode;
    const FastPath& fast = FastPathOf(index);
    ConversionResult result;
    result.text.reserve(bytes.size());
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (fast.ascii_identity && !fast.composes) {
            std::size_t end = i;
            while (end < bytes.size() && static_cast<std::uint8_t>(bytes[end]) < 0x80)
                ++end;
            if (end > i) {
                result.text.append(bytes.data() + i, end - i);
                i = end - 1;
                continue;
            }
        }
        if (!fast.composes) {
            // No composition to look for.
        } else if (auto [composed, length] = ComposeAt(code_page, bytes, i); length != 0) {
            AppendUtf8(result.text, composed);
            i += length - 1;
            continue;
        }
        const char32_t c = forward[static_cast<std::uint8_t>(bytes[i])];
        if (c == detail::kUndefinedChar) {
            result.status = ConversionStatus::Unmappable;
            result.error_offset = i;
            return result;
        }
        AppendUtf8(result.text, c);
    }
    return result;
}

ConversionResult Utf8ToBytes(CodePage code_page, std::string_view utf8,
                             const UnmappableHandler& on_unmappable) {
    const FastPath& fast = FastPathOf(IndexOf(code_page));
    ConversionResult result;
    result.text.reserve(utf8.size());
    for (std::size_t pos = 0; pos < utf8.size();) {
        if (fast.ascii_identity && static_cast<std::uint8_t>(utf8[pos]) < 0x80) {
            const std::size_t begin = pos;
            while (pos < utf8.size() && static_cast<std::uint8_t>(utf8[pos]) < 0x80)
                ++pos;
            result.text.append(utf8.data() + begin, pos - begin);
            continue;
        }
        const std::size_t start = pos;
        const std::optional<char32_t> c = DecodeUtf8(utf8, pos);
        if (!c) {
            result.status = ConversionStatus::InvalidUtf8;
            result.error_offset = start;
            return result;
        }
        if (*c > 0 && *c < 0x100 && fast.low_bytes[*c] != 0) {
            result.text.push_back(static_cast<char>(fast.low_bytes[*c]));
            continue;
        }
        if (auto byte = UnicodeToByte(code_page, *c)) {
            result.text.push_back(static_cast<char>(*byte));
            continue;
        }
        if (const detail::Composite* composite = FindComposite(code_page, *c)) {
            result.text.append(composite->bytes.begin(),
                               composite->bytes.begin() + composite->length);
            continue;
        }
        std::optional<std::string> replacement;
        if (on_unmappable)
            replacement = on_unmappable(*c);
        if (!replacement) {
            result.status = ConversionStatus::Unmappable;
            result.error_offset = start;
            result.unmappable = *c;
            return result;
        }
        result.text += *replacement;
    }
    return result;
}

}  // namespace platform::nls
