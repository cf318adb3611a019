#include "engine/storage/text_compare.h"

#include <cstring>

#include "engine/storage/engine_error_codes.h"
#include "engine/storage/engine_heap.h"
#include "platform/nls/nls.h"

namespace strata {
namespace {

namespace nls = platform::nls;

constexpr std::uint32_t kStringSortIgnoreNonSpace = nls::SORT_STRINGSORT | nls::NORM_IGNORENONSPACE;

std::string_view UpToNul(std::string_view text) {
    return text.substr(0, text.find('\0'));
}

// The locale of a language and sort; language 0 is the byte-order "ANSI Standard" locale.
nls::LocaleId CheckedLocale(LanguageId language, SortId sort) {
    const nls::LocaleId locale =
        language == 0 ? nls::MakeLocaleId(0, nls::kSortDefault) : nls::MakeLocaleId(language, sort);
    if (!nls::IsValidLocale(locale)) {
        RaiseEngineError(kErrLanguageNotAvailable);
    }
    return locale;
}

int Sign(int value) {
    return (value > 0) - (value < 0);
}

int CompareByteStrings(std::string_view a, std::string_view b) {
    const std::size_t n = std::min(a.size(), b.size());
    const int c = n == 0 ? 0 : std::memcmp(a.data(), b.data(), n);
    if (c != 0) {
        return Sign(c);
    }
    return a.size() < b.size() ? -1 : (a.size() > b.size() ? 1 : 0);
}

nls::LocaleId CaseLocale(LanguageId language, SortId sort) {
    return language == 0 ? nls::MakeLocaleId(nls::kLanguageAnsi, 0) : CheckedLocale(language, sort);
}

// Whether a case map capitalises the ASCII letters and leaves every other byte below 0x80 as it
// is, so eight ASCII bytes can be mapped in one step.
bool MapsAsciiPlainly(const nls::CaseMap& map) {
    for (unsigned c = 0; c < 0x80; ++c) {
        const unsigned plain = c >= 'a' && c <= 'z' ? c - 0x20 : c;
        if (map[c] != plain)
            return false;
    }
    return true;
}

// Eight ASCII bytes (none above 0x7F) with 'a' to 'z' made capitals. Adding 0x1F sets a byte's
// top bit from 'a' on, adding 0x05 from '{' on; no byte carries into the next.
std::uint64_t UpperAsciiWord(std::uint64_t word) {
    constexpr std::uint64_t kOnes = 0x0101010101010101u;
    const std::uint64_t from_a = word + kOnes * (0x80 - 'a');
    const std::uint64_t past_z = word + kOnes * (0x80 - 'z' - 1);
    return word - (((from_a & ~past_z) & (kOnes * 0x80)) >> 2);
}

std::string MapCase(LanguageId language, SortId sort, std::string_view text, std::uint32_t flag) {
    const nls::LocaleId locale = CaseLocale(language, sort);
    return WithEngineMemory([&] { return nls::MapString(locale, flag, text); });
}

}  // namespace

int CompareBytes(const void* a, const void* b, std::size_t length, bool descending) {
    int result = 0;
    if (a == nullptr || b == nullptr) {
        result = a == b ? 0 : (a == nullptr ? 1 : -1);
    } else if (length > 0) {
        result = Sign(std::memcmp(a, b, length));
    }
    return descending ? -result : result;
}

int CompareCharLang(LanguageId language, SortId sort, char a, char b) {
    if (language == 0) {
        const auto ua = static_cast<unsigned char>(a);
        const auto ub = static_cast<unsigned char>(b);
        return (ua > ub) - (ua < ub);
    }
    const nls::LocaleId locale = CheckedLocale(language, sort);
    return nls::CompareString(locale, kStringSortIgnoreNonSpace, std::string_view(&a, 1),
                              std::string_view(&b, 1)) -
           nls::CSTR_EQUAL;
}

int CompareStrings(LanguageId language, SortId sort, std::string_view a, bool case_insensitive,
                   std::size_t length, std::string_view b) {
    a = UpToNul(a);
    b = UpToNul(b);
    if (length > 0) {
        a = a.substr(0, length);
        b = b.substr(0, length);
    }
    if (language != 0) {
        const nls::LocaleId locale = CheckedLocale(language, sort);
        const std::uint32_t flags =
            kStringSortIgnoreNonSpace | (case_insensitive ? nls::NORM_IGNORECASE : 0);
        return nls::CompareString(locale, flags, a, b) - nls::CSTR_EQUAL;
    }
    if (!case_insensitive) {
        return CompareByteStrings(a, b);
    }
    const nls::CaseMap& upper = nls::UpperCaseMap(nls::MakeLocaleId(nls::kLanguageAnsi, 0));
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint8_t ua = upper[static_cast<unsigned char>(a[i])];
        const std::uint8_t ub = upper[static_cast<unsigned char>(b[i])];
        if (ua != ub) {
            return ua < ub ? -1 : 1;
        }
    }
    return a.size() < b.size() ? -1 : (a.size() > b.size() ? 1 : 0);
}

std::string UpperCaseLang(LanguageId language, SortId sort, std::string_view text) {
    return MapCase(language, sort, text, nls::LCMAP_UPPERCASE);
}

void UpperCaseLangInPlace(LanguageId language, SortId sort, std::span<std::uint8_t> text) {
    // Keys built without a language all use one map, found once instead of once per key.
    static const nls::CaseMap& ansi = nls::UpperCaseMap(CaseLocale(0, 0));
    static const bool ansi_plain = MapsAsciiPlainly(ansi);
    const nls::CaseMap& map = language == 0 ? ansi : nls::UpperCaseMap(CaseLocale(language, sort));
    std::size_t i = 0;
    if (language == 0 && ansi_plain) {
        // Eight bytes at a time while they are ASCII, as case-insensitive key texts mostly are.
        constexpr std::uint64_t kHighBits = 0x8080808080808080u;
        for (; i + 8 <= text.size(); i += 8) {
            std::uint64_t word;
            std::memcpy(&word, text.data() + i, 8);
            if ((word & kHighBits) != 0) {
                for (std::size_t j = i; j < i + 8; ++j)
                    text[j] = map[text[j]];
                continue;
            }
            word = UpperAsciiWord(word);
            std::memcpy(text.data() + i, &word, 8);
        }
    }
    for (; i < text.size(); ++i)
        text[i] = map[text[i]];
}

std::string LowerCaseLang(LanguageId language, SortId sort, std::string_view text) {
    return MapCase(language, sort, text, nls::LCMAP_LOWERCASE);
}

bool StrMatchesLike(LanguageId language, SortId sort, std::string_view text,
                    std::string_view pattern) {
    text = UpToNul(text);
    pattern = UpToNul(pattern);
    // The locale is checked once, not per character.
    const nls::LocaleId locale = language != 0 ? CheckedLocale(language, sort) : 0;
    auto same_char = [&](char a, char b) {
        if (language == 0) {
            return a == b;
        }
        return nls::CompareString(locale, kStringSortIgnoreNonSpace, std::string_view(&a, 1),
                                  std::string_view(&b, 1)) == nls::CSTR_EQUAL;
    };
    // One remembered pair suffices: the last "%" and where its run began. Backtracking only
    // there keeps the cost at text length times pattern length.
    std::size_t t = 0;
    std::size_t p = 0;
    bool remembered = false;
    std::size_t star_p = 0;
    std::size_t star_t = 0;
    while (true) {
        if (pattern.size() - p == 1 && pattern[p] == '%') {
            return true;
        }
        if (t == text.size()) {
            // A "%" met only once the text is used up matches nothing only as the pattern's
            // last character, answered above: abc matches abc% but not abc%%. Giving the last
            // "%" more of the text cannot help either, as the text is already used up.
            return p == pattern.size();
        }
        if (p < pattern.size() && pattern[p] == '%') {
            remembered = true;
            star_p = p;
            star_t = t;
            ++p;
            continue;
        }
        if (p < pattern.size() && (pattern[p] == '_' || same_char(pattern[p], text[t]))) {
            ++p;
            ++t;
            continue;
        }
        if (!remembered) {
            return false;
        }
        p = star_p + 1;
        t = ++star_t;
    }
}

}  // namespace strata
