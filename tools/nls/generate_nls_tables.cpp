// Generates the frozen national-language tables of platform/nls from ICU:
//   tables_code_pages.cpp      byte-to-Unicode tables and case maps per code page
//   tables_collation.cpp       collation weights per family and locale
//   tables_locale_formats.cpp  locale formats per language
//
// Usage: generate_nls_tables <output directory>
//
// The output is committed. Regenerating with another ICU version may change
// collation weights, which invalidates stored indexes: compare the golden tests
// and raise kTablesVersion before committing a change.

#include <unicode/coll.h>
#include <unicode/datefmt.h>
#include <unicode/dcfmtsym.h>
#include <unicode/decimfmt.h>
#include <unicode/dtfmtsym.h>
#include <unicode/locid.h>
#include <unicode/normalizer2.h>
#include <unicode/numfmt.h>
#include <unicode/smpdtfmt.h>
#include <unicode/uchar.h>
#include <unicode/ucnv.h>
#include <unicode/ucol.h>
#include <unicode/ucurr.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/nls/language_table.h"
#include "platform/nls/tables.h"

namespace {

using namespace platform::nls;
using namespace platform::nls::detail;

[[noreturn]] void Fail(const std::string& message) {
    std::cerr << "generate_nls_tables: " << message << "\n";
    std::exit(1);
}

void Check(UErrorCode status, const std::string& what) {
    if (U_FAILURE(status))
        Fail(what + ": " + u_errorName(status));
}

void Warn(const std::string& message) {
    std::cerr << "warning: " << message << "\n";
}

std::string Utf8(const icu::UnicodeString& s) {
    std::string out;
    s.toUTF8String(out);
    return out;
}

struct CodePageData {
    CodePage code_page;
    std::array<char32_t, 256> to_unicode{};
    std::map<char32_t, std::uint8_t> from_unicode;
    CaseMap upper{};
    CaseMap lower{};
};

CodePageData LoadCodePage(CodePage cp) {
    CodePageData data;
    data.code_page = cp;
    const std::string name = "windows-" + std::to_string(static_cast<int>(cp));
    UErrorCode status = U_ZERO_ERROR;
    UConverter* conv = ucnv_open(name.c_str(), &status);
    Check(status, "ucnv_open " + name);
    for (int b = 0; b < 256; ++b) {
        const char in = static_cast<char>(b);
        UChar out[4];
        status = U_ZERO_ERROR;
        ucnv_reset(conv);
        ucnv_setToUCallBack(conv, UCNV_TO_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &status);
        const int32_t n = ucnv_toUChars(conv, out, 4, &in, 1, &status);
        char32_t ch = kUndefinedChar;
        if (U_SUCCESS(status) && n >= 1) {
            UChar32 c;
            int32_t i = 0;
            U16_NEXT(out, i, n, c);
            if (i == n)
                ch = static_cast<char32_t>(c);
        }
        if (ch != kUndefinedChar) {
            // Keep only mappings that come back to the same byte, so every
            // conversion round-trips.
            char back[8];
            status = U_ZERO_ERROR;
            ucnv_reset(conv);
            ucnv_setFromUCallBack(conv, UCNV_FROM_U_CALLBACK_STOP, nullptr, nullptr, nullptr,
                                  &status);
            const int32_t m = ucnv_fromUChars(conv, back, 8, out, n, &status);
            if (U_FAILURE(status) || m != 1 || static_cast<std::uint8_t>(back[0]) != b) {
                ch = kUndefinedChar;
            }
        }
        data.to_unicode[static_cast<std::size_t>(b)] = ch;
        if (ch != kUndefinedChar)
            data.from_unicode.emplace(ch, static_cast<std::uint8_t>(b));
    }
    ucnv_close(conv);

    for (int b = 0; b < 256; ++b) {
        const auto byte = static_cast<std::uint8_t>(b);
        data.upper[byte] = byte;
        data.lower[byte] = byte;
        const char32_t ch = data.to_unicode[byte];
        if (ch == kUndefinedChar)
            continue;
        // Simple case mapping only, and only inside the code page: lengths never change.
        const auto up = static_cast<char32_t>(u_toupper(static_cast<UChar32>(ch)));
        const auto low = static_cast<char32_t>(u_tolower(static_cast<UChar32>(ch)));
        if (auto it = data.from_unicode.find(up); up != ch && it != data.from_unicode.end()) {
            data.upper[byte] = it->second;
        }
        if (auto it = data.from_unicode.find(low); low != ch && it != data.from_unicode.end()) {
            data.lower[byte] = it->second;
        }
    }
    return data;
}

// Stand-ins for characters that the legacy code pages spell differently.
constexpr std::pair<char32_t, char32_t> kEquivalents[] = {
    {0x202F, 0x00A0}, {0x00A0, 0x0020}, {0x2009, 0x0020}, {0x02BC, 0x2019},
    {0x2019, 0x0027}, {0x2212, 0x002D}, {0x0218, 0x015E}, {0x0219, 0x015F},
    {0x021A, 0x0162}, {0x021B, 0x0163}, {0x06CC, 0x064A}, {0x06A9, 0x0643},
};

// `strict` keeps to the code page's own characters, for the conversion tables;
// otherwise the stand-ins above may serve, for locale texts.
std::optional<std::uint8_t> EncodeChar(const CodePageData& cp, char32_t c, bool strict = false) {
    for (int hops = 0; hops < (strict ? 1 : 3); ++hops) {
        if (auto it = cp.from_unicode.find(c); it != cp.from_unicode.end())
            return it->second;
        bool found = false;
        for (const auto& [from, to] : kEquivalents) {
            if (from == c) {
                c = to;
                found = true;
                break;
            }
        }
        if (!found)
            break;
    }
    return std::nullopt;
}

// Characters the code page holds only as a base letter plus combining marks
// (Vietnamese) are written that way: the base takes as many marks as the code
// page has a composed letter for, the rest follow as combining bytes.
std::optional<std::string> EncodeComposite(const CodePageData& cp, UChar32 c, bool strict = false) {
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
    const icu::Normalizer2* nfd = icu::Normalizer2::getNFDInstance(status);
    Check(status, "normalizer");
    const icu::UnicodeString parts = nfd->normalize(icu::UnicodeString(c), status);
    Check(status, "nfd");
    if (parts.length() < 2 || parts.length() > 5)
        return std::nullopt;
    const UChar base = parts.charAt(0);
    const int marks = parts.length() - 1;
    std::optional<std::string> best;
    int best_taken = -1;
    for (unsigned subset = 0; subset < (1u << marks); ++subset) {
        icu::UnicodeString head(base);
        std::string rest;
        bool ok = true;
        int taken = 0;
        for (int j = 0; j < marks; ++j) {
            const UChar mark = parts.charAt(j + 1);
            if (subset & (1u << j)) {
                head += mark;
                ++taken;
            } else if (auto m = EncodeChar(cp, mark, strict)) {
                rest.push_back(static_cast<char>(*m));
            } else {
                ok = false;
            }
        }
        const icu::UnicodeString composed = nfc->normalize(head, status);
        if (!ok || composed.countChar32() != 1)
            continue;
        auto b = EncodeChar(cp, static_cast<char32_t>(composed.char32At(0)), strict);
        if (b && taken > best_taken) {
            best = std::string(1, static_cast<char>(*b)) + rest;
            best_taken = taken;
        }
    }
    return best;
}

std::optional<std::string> Encode(const CodePageData& cp, const icu::UnicodeString& text) {
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
    Check(status, "normalizer");
    const icu::UnicodeString composed = nfc->normalize(text, status);
    Check(status, "nfc");
    std::string out;
    for (int32_t i = 0; i < composed.length();) {
        const UChar32 c = composed.char32At(i);
        i += U16_LENGTH(c);
        if (auto b = EncodeChar(cp, static_cast<char32_t>(c))) {
            out.push_back(static_cast<char>(*b));
        } else if (auto piece = EncodeComposite(cp, c)) {
            out += *piece;
        } else {
            return std::nullopt;
        }
    }
    return out;
}

// Characters of the Basic Multilingual Plane that a code page holds only
// decomposed, with their byte sequences.
std::vector<std::pair<char32_t, std::string>> Composites(const CodePageData& cp) {
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* nfd = icu::Normalizer2::getNFDInstance(status);
    Check(status, "normalizer");
    std::vector<std::pair<char32_t, std::string>> out;
    for (UChar32 c = 0xA0; c < 0x10000; ++c) {
        if (U_IS_SURROGATE(c) || cp.from_unicode.count(static_cast<char32_t>(c)) != 0)
            continue;
        if (nfd->isNormalized(icu::UnicodeString(c), status))
            continue;
        if (auto bytes = EncodeComposite(cp, c, true)) {
            if (bytes->size() > 3)
                Fail("composite longer than 3 bytes");
            out.emplace_back(static_cast<char32_t>(c), *bytes);
        }
    }
    return out;
}

class Collators {
  public:
    explicit Collators(const std::string& locale) {
        for (int i = 0; i < 3; ++i) {
            UErrorCode status = U_ZERO_ERROR;
            UCollator* c = ucol_open(locale.c_str(), &status);
            Check(status, "ucol_open " + locale);
            ucol_setStrength(c, i == 0 ? UCOL_PRIMARY : i == 1 ? UCOL_SECONDARY : UCOL_TERTIARY);
            ucol_setAttribute(c, UCOL_ALTERNATE_HANDLING, UCOL_NON_IGNORABLE, &status);
            Check(status, "ucol_setAttribute");
            collators_[static_cast<std::size_t>(i)] = c;
        }
    }
    ~Collators() {
        for (UCollator* c : collators_)
            ucol_close(c);
    }
    Collators(const Collators&) = delete;
    Collators& operator=(const Collators&) = delete;

    // strength: 0 primary, 1 secondary, 2 tertiary.
    int Compare(int strength, const icu::UnicodeString& a, const icu::UnicodeString& b) const {
        return ucol_strcoll(collators_[static_cast<std::size_t>(strength)], a.getBuffer(),
                            a.length(), b.getBuffer(), b.length());
    }

  private:
    std::array<UCollator*, 3> collators_{};
};

struct Expansion {
    char32_t ch;
    const char* letters;
};

// The only expansions the tables know; each is used only where ICU agrees at
// primary strength, so locales that treat the letter as its own keep it.
constexpr Expansion kExpansions[] = {
    {U'æ', "ae"}, {U'Æ', "AE"}, {U'œ', "oe"}, {U'Œ', "OE"}, {U'ß', "ss"}, {U'ä', "ae"},
    {U'Ä', "AE"}, {U'ö', "oe"}, {U'Ö', "OE"}, {U'ü', "ue"}, {U'Ü', "UE"},
};

using Entries = std::array<CollationEntry, 256>;

// Diacritic weights of letters stay below this, those of non-spacing marks start here.
constexpr std::uint8_t kFirstMarkDiacritic = 128;

struct Member {
    std::uint8_t byte;
    bool head;                // first element of an expansion
    icu::UnicodeString text;  // the character
    icu::UnicodeString tail;  // for a head: the second letter
};

// Sorts with a comparator that need not be a strict weak order; the ranks come
// from the final sequence, so the runtime order is total whatever ICU says.
template <typename Less>
void InsertionSort(std::vector<Member>& v, Less less) {
    for (std::size_t i = 1; i < v.size(); ++i) {
        for (std::size_t j = i; j > 0 && less(v[j], v[j - 1]); --j)
            std::swap(v[j], v[j - 1]);
    }
}

Entries BuildFamily(const CodePageData& cp, const std::string& locale) {
    const Collators coll(locale);
    auto text_of = [&](std::uint8_t b) {
        return icu::UnicodeString(static_cast<UChar32>(cp.to_unicode[b]));
    };

    std::vector<std::uint8_t> low;     // no primary weight in ICU, or undefined
    std::vector<Member> marks;         // non-spacing marks without a primary weight
    std::vector<std::uint8_t> single;  // one element
    std::map<std::uint8_t, const char*> expand;
    for (int b = 1; b < 256; ++b) {
        const auto byte = static_cast<std::uint8_t>(b);
        const char32_t ch = cp.to_unicode[byte];
        if (ch == kUndefinedChar || coll.Compare(0, text_of(byte), icu::UnicodeString()) == 0) {
            if (ch != kUndefinedChar &&
                u_charType(static_cast<UChar32>(ch)) == U_NON_SPACING_MARK) {
                marks.push_back({byte, false, text_of(byte), {}});
            } else {
                low.push_back(byte);
            }
            continue;
        }
        const char* letters = nullptr;
        for (const Expansion& e : kExpansions) {
            if (e.ch == ch && coll.Compare(0, text_of(byte), icu::UnicodeString(e.letters)) == 0) {
                letters = e.letters;
            }
        }
        if (letters != nullptr) {
            expand[byte] = letters;
        } else {
            single.push_back(byte);
        }
    }

    Entries entries{};
    std::uint16_t next_primary = 1;
    // Controls and other bytes ICU ignores get their own weights below all
    // others, in byte order: no byte may be ignorable, or a prefix would equal
    // its extension.
    for (std::uint8_t b : low) {
        entries[b].first = {next_primary++, 1, 1};
    }
    // Non-spacing marks (Vietnamese tones, Hebrew points, Arabic vowels, Thai
    // tones) are accents: no primary weight, and diacritic weights of their own
    // above those of letters, so only NORM_IGNORENONSPACE ignores them.
    InsertionSort(marks, [&](const Member& a, const Member& b) {
        const int c = coll.Compare(1, a.text, b.text);
        return c != 0 ? c < 0 : coll.Compare(2, a.text, b.text) < 0;
    });
    {
        std::uint8_t diacritic = kFirstMarkDiacritic - 1;
        std::uint8_t case_weight = 1;
        for (std::size_t i = 0; i < marks.size(); ++i) {
            if (i == 0 || coll.Compare(1, marks[i - 1].text, marks[i].text) != 0) {
                ++diacritic;
                case_weight = 1;
            } else if (coll.Compare(2, marks[i - 1].text, marks[i].text) != 0) {
                ++case_weight;
            }
            entries[marks[i].byte].first = {0, diacritic, case_weight};
        }
    }

    // Primary classes of the single characters.
    std::vector<Member> singles;
    for (std::uint8_t b : single)
        singles.push_back({b, false, text_of(b), {}});
    InsertionSort(singles, [&](const Member& a, const Member& b) {
        return coll.Compare(0, a.text, b.text) < 0;
    });
    std::vector<std::vector<Member>> classes;
    for (std::size_t i = 0; i < singles.size(); ++i) {
        if (i == 0 || coll.Compare(0, singles[i - 1].text, singles[i].text) != 0) {
            classes.emplace_back();
        }
        classes.back().push_back(singles[i]);
    }
    std::map<std::uint8_t, std::size_t> class_of;
    for (std::size_t k = 0; k < classes.size(); ++k) {
        for (const Member& m : classes[k])
            class_of[m.byte] = k;
    }
    auto byte_of = [&](char letter) {
        auto it = cp.from_unicode.find(static_cast<char32_t>(letter));
        if (it == cp.from_unicode.end() || !class_of.count(it->second)) {
            Fail("expansion letter missing in " + locale);
        }
        return it->second;
    };
    for (const auto& [b, letters] : expand) {
        classes[class_of[byte_of(letters[0])]].push_back(
            {b, true, text_of(b), icu::UnicodeString(letters + 1)});
    }

    // Within a class: diacritic ranks at secondary strength, case ranks at
    // tertiary. A head compares as itself against a single letter followed by
    // the head's tail.
    auto compare = [&](int strength, const Member& a, const Member& b) {
        if (a.head && b.head) {
            if (a.tail.caseCompare(b.tail, 0) != 0)
                Fail("mixed expansion tails in " + locale);
            return coll.Compare(strength, a.text, b.text);
        }
        if (a.head)
            return coll.Compare(strength, a.text, b.text + a.tail);
        if (b.head)
            return coll.Compare(strength, a.text + b.tail, b.text);
        return coll.Compare(strength, a.text, b.text);
    };
    for (auto& members : classes) {
        const std::uint16_t primary = next_primary++;
        InsertionSort(members, [&](const Member& a, const Member& b) {
            const int c = compare(1, a, b);
            return c != 0 ? c < 0 : compare(2, a, b) < 0;
        });
        std::uint8_t diacritic = 0;
        std::uint8_t case_weight = 0;
        for (std::size_t i = 0; i < members.size(); ++i) {
            if (i == 0 || compare(1, members[i - 1], members[i]) != 0) {
                if (diacritic + 1 == kFirstMarkDiacritic)
                    Fail("too many diacritics in " + locale);
                ++diacritic;
                case_weight = 1;
            } else if (compare(2, members[i - 1], members[i]) != 0) {
                if (case_weight == 255)
                    Fail("too many case variants in " + locale);
                ++case_weight;
            }
            entries[members[i].byte].first = {primary, diacritic, case_weight};
        }
    }
    for (const auto& [b, letters] : expand) {
        entries[b].second = entries[byte_of(letters[1])].first;
    }

    // The highest byte in this order serves as the high filler of partial keys:
    // it must not expand and must carry the top primary and case weights.
    std::uint8_t top = 1;
    auto key = [&](std::uint8_t b) {
        const auto& e = entries[b];
        return std::array<int, 6>{e.first.primary,  e.first.diacritic,  e.first.case_weight,
                                  e.second.primary, e.second.diacritic, e.second.case_weight};
    };
    for (int b = 1; b < 256; ++b) {
        if (key(static_cast<std::uint8_t>(b)) > key(top))
            top = static_cast<std::uint8_t>(b);
    }
    for (int b = 1; b < 256; ++b) {
        const auto& e = entries[static_cast<std::size_t>(b)];
        if (e.first.primary == entries[top].first.primary &&
            e.first.case_weight > entries[top].first.case_weight) {
            Fail("highest byte lacks the top case weight in " + locale);
        }
    }
    if (entries[top].second.primary != 0)
        Fail("highest byte expands in " + locale);
    return entries;
}

// Counts the pairs of single bytes whose order at full strength differs from
// ICU's. Only bytes ICU weighs take part; ties may break either way.
int CountDisagreements(const CodePageData& cp, const std::string& locale, const Entries& entries) {
    const Collators coll(locale);
    auto keys = [&](std::uint8_t b) {
        std::array<std::vector<int>, 3> k;
        const CollationEntry& e = entries[b];
        for (const CollationWeight* w : {&e.first, &e.second}) {
            if (w == &e.second && e.second.primary == 0)
                break;
            if (w->primary != 0)
                k[0].push_back(w->primary);
            k[1].push_back(w->diacritic);
            k[2].push_back(w->case_weight);
        }
        return k;
    };
    std::vector<std::uint8_t> weighed;
    for (int b = 1; b < 256; ++b) {
        const auto byte = static_cast<std::uint8_t>(b);
        const char32_t ch = cp.to_unicode[byte];
        if (ch == kUndefinedChar)
            continue;
        const icu::UnicodeString text(static_cast<UChar32>(ch));
        if (coll.Compare(0, text, icu::UnicodeString()) != 0)
            weighed.push_back(byte);
    }
    int count = 0;
    for (std::uint8_t a : weighed) {
        for (std::uint8_t b : weighed) {
            const int icu =
                coll.Compare(2, icu::UnicodeString(static_cast<UChar32>(cp.to_unicode[a])),
                             icu::UnicodeString(static_cast<UChar32>(cp.to_unicode[b])));
            const auto ours = keys(a) <=> keys(b);
            if ((icu < 0 && ours > 0) || (icu > 0 && ours < 0))
                ++count;
        }
    }
    return count;
}

icu::UnicodeString StripBidi(const icu::UnicodeString& s) {
    icu::UnicodeString out;
    for (int32_t i = 0; i < s.length(); ++i) {
        const UChar c = s.charAt(i);
        if (c != 0x200E && c != 0x200F && c != 0x061C)
            out.append(c);
    }
    return out;
}

// Maps the class library's mask letters to ICU pattern letters; any ASCII
// letter in literal text is quoted so the class library copies it.
struct Mask {
    icu::UnicodeString text;
    char first_separator = 0;  // first literal after the first field
};

Mask ToClassLibraryMask(const icu::UnicodeString& raw, const std::string& where) {
    const icu::UnicodeString pattern = StripBidi(raw);
    Mask mask;
    icu::UnicodeString literal;
    bool seen_field = false;
    auto flush_literal = [&] {
        if (literal.isEmpty())
            return;
        if (seen_field && mask.first_separator == 0) {
            icu::UnicodeString trimmed = literal;
            trimmed.trim();
            const UChar c = trimmed.isEmpty() ? u' ' : trimmed.charAt(0);
            mask.first_separator = c < 0x80 ? static_cast<char>(c) : ' ';
        }
        bool needs_quotes = false;
        for (int32_t i = 0; i < literal.length(); ++i) {
            const UChar c = literal.charAt(i);
            if ((c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || c == u'"') {
                needs_quotes = true;
            }
        }
        if (needs_quotes) {
            icu::UnicodeString quoted(u'"');
            quoted += literal;
            quoted.findAndReplace(icu::UnicodeString(u'"'), icu::UnicodeString());
            mask.text += icu::UnicodeString(u'"') + quoted + icu::UnicodeString(u'"');
        } else {
            mask.text += literal;
        }
        literal.remove();
    };
    for (int32_t i = 0; i < pattern.length();) {
        const UChar c = pattern.charAt(i);
        if (c == u'\'') {
            if (i + 1 < pattern.length() && pattern.charAt(i + 1) == u'\'') {
                literal += u'\'';
                i += 2;
                continue;
            }
            ++i;
            while (i < pattern.length()) {
                if (pattern.charAt(i) == u'\'') {
                    if (i + 1 < pattern.length() && pattern.charAt(i + 1) == u'\'') {
                        literal += u'\'';
                        i += 2;
                        continue;
                    }
                    ++i;
                    break;
                }
                literal += pattern.charAt(i++);
            }
            continue;
        }
        if ((c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z')) {
            int32_t n = 0;
            while (i + n < pattern.length() && pattern.charAt(i + n) == c)
                ++n;
            i += n;
            const char16_t* field = nullptr;
            switch (c) {
                case u'y':
                case u'Y':
                case u'u':
                    field = u"yyyy";
                    break;
                case u'M':
                case u'L':
                    field = n == 1 ? u"M" : n == 2 ? u"MM" : n == 3 ? u"MMM" : u"MMMM";
                    break;
                case u'd':
                    field = n == 1 ? u"d" : u"dd";
                    break;
                case u'E':
                case u'c':
                case u'e':
                    field = n <= 3 ? u"ddd" : u"dddd";
                    break;
                case u'G':
                    // Eras are dropped with the blank before them.
                    if (literal.endsWith(icu::UnicodeString(u' '))) {
                        literal.truncate(literal.length() - 1);
                    }
                    continue;
                default:
                    Fail("unexpected pattern letter in " + where + ": " + Utf8(pattern));
            }
            flush_literal();
            mask.text += icu::UnicodeString(field);
            seen_field = true;
            continue;
        }
        literal += c;
        ++i;
    }
    flush_literal();
    mask.text.trim();
    while (mask.text.indexOf(u"  ") >= 0) {
        mask.text.findAndReplace(icu::UnicodeString(u"  "), icu::UnicodeString(u" "));
    }
    return mask;
}

// Reduces a currency pattern to the tokens C (symbol), N (number), '-', '(',
// ')' and ' '.
std::string CurrencyTemplate(const icu::UnicodeString& pattern) {
    std::string out;
    bool number = false;
    for (int32_t i = 0; i < pattern.length(); ++i) {
        const UChar c = pattern.charAt(i);
        char t = 0;
        if (c == u'#' || c == u'0' || c == u',' || c == u'.') {
            if (!number)
                out.push_back('N');
            number = true;
            continue;
        }
        number = false;
        if (c == 0x00A4)
            t = 'C';
        if (c == u'-' || c == 0x2212)
            t = '-';
        if (c == u'(' || c == u')')
            t = static_cast<char>(c);
        if (c == u' ' || c == 0x00A0 || c == 0x202F)
            t = ' ';
        if (t != 0 && !(t == ' ' && !out.empty() && out.back() == ' '))
            out.push_back(t);
    }
    return out;
}

struct Fields {
    std::string currency_string;
    int currency_format = 0;
    int negative_currency_format = 1;
    char thousand = ',';
    char decimal = '.';
    int currency_decimals = 2;
    char date_separator = '/';
    std::string short_date;
    std::string long_date;
    char time_separator = ':';
    std::string am = "AM";
    std::string pm = "PM";
    bool twelve_hour = false;
    bool leading_zero = false;
    std::array<std::string, 12> short_months, long_months;
    std::array<std::string, 7> short_days, long_days;
};

char SeparatorByte(const CodePageData& cp, const icu::UnicodeString& s, char fallback,
                   const std::string& where) {
    if (s.countChar32() == 1) {
        UChar32 c = s.char32At(0);
        if (auto b = EncodeChar(cp, static_cast<char32_t>(c)))
            return static_cast<char>(*b);
    }
    Warn(where + ": separator '" + Utf8(s) + "' replaced");
    return fallback;
}

Fields BuildFormats(const CodePageData& cp, const LanguageRow& row) {
    std::string base(row.icu_locale.substr(0, row.icu_locale.find('@')));
    const icu::Locale loc((base + "@calendar=gregorian;numbers=latn").c_str());
    const icu::Locale english("en_US");
    const std::string where(row.name);
    UErrorCode status = U_ZERO_ERROR;
    Fields f;

    auto encode = [&](const icu::UnicodeString& s, const std::string& fallback) {
        if (auto bytes = Encode(cp, StripBidi(s)))
            return *bytes;
        Warn(where + ": cannot map '" + Utf8(s) + "', using '" + fallback + "'");
        return fallback;
    };

    const icu::DecimalFormatSymbols symbols(loc, status);
    Check(status, "symbols " + where);
    f.decimal = SeparatorByte(
        cp, symbols.getSymbol(icu::DecimalFormatSymbols::kDecimalSeparatorSymbol), '.', where);
    f.thousand = SeparatorByte(
        cp, symbols.getSymbol(icu::DecimalFormatSymbols::kGroupingSeparatorSymbol), ',', where);

    icu::Locale region(base.c_str());
    region.addLikelySubtags(status);
    Check(status, "likely subtags " + where);
    UChar code[4] = {};
    ucurr_forLocale(region.getName(), code, 4, &status);
    Check(status, "currency " + where);
    UBool is_choice = false;
    int32_t len = 0;
    const UChar* symbol =
        ucurr_getName(code, base.c_str(), UCURR_SYMBOL_NAME, &is_choice, &len, &status);
    Check(status, "currency symbol " + where);
    const icu::UnicodeString iso(code, 3);
    f.currency_string = encode(icu::UnicodeString(symbol, len), Utf8(iso));
    f.currency_decimals = ucurr_getDefaultFractionDigits(code, &status);
    Check(status, "currency digits " + where);

    std::unique_ptr<icu::NumberFormat> money(
        icu::NumberFormat::createCurrencyInstance(loc, status));
    Check(status, "currency format " + where);
    icu::UnicodeString money_pattern;
    dynamic_cast<icu::DecimalFormat&>(*money).toPattern(money_pattern);
    money_pattern = StripBidi(money_pattern);
    const int32_t semi = money_pattern.indexOf(u';');
    const std::string positive =
        CurrencyTemplate(semi < 0 ? money_pattern : money_pattern.tempSubString(0, semi));
    const std::string negative =
        semi < 0 ? "-" + positive : CurrencyTemplate(money_pattern.tempSubString(semi + 1));
    static const char* const kPositive[] = {"CN", "NC", "C N", "N C"};
    static const char* const kNegative[] = {"(CN)", "-CN",  "C-N",   "CN-",  "(NC)", "-NC",
                                            "N-C",  "NC-",  "-N C",  "-C N", "N C-", "C N-",
                                            "C -N", "N- C", "(C N)", "(N C)"};
    f.currency_format = -1;
    for (int i = 0; i < 4; ++i) {
        if (positive == kPositive[i])
            f.currency_format = i;
    }
    if (f.currency_format < 0)
        Fail(where + ": currency pattern " + Utf8(money_pattern));
    f.negative_currency_format = -1;
    for (int i = 0; i < 16; ++i) {
        if (negative == kNegative[i])
            f.negative_currency_format = i;
    }
    if (f.negative_currency_format < 0) {
        Fail(where + ": negative currency pattern " + Utf8(money_pattern));
    }

    auto pattern_of = [&](icu::DateFormat* format) {
        std::unique_ptr<icu::DateFormat> owner(format);
        if (owner == nullptr)
            Fail("date format " + where);
        icu::UnicodeString p;
        dynamic_cast<icu::SimpleDateFormat&>(*owner).toPattern(p);
        return p;
    };
    const Mask short_date = ToClassLibraryMask(
        pattern_of(icu::DateFormat::createDateInstance(icu::DateFormat::kShort, loc)), where);
    const Mask long_date = ToClassLibraryMask(
        pattern_of(icu::DateFormat::createDateInstance(icu::DateFormat::kFull, loc)), where);
    f.short_date = encode(short_date.text, "M/d/yyyy");
    f.long_date = encode(long_date.text, "dddd, MMMM dd, yyyy");
    // Separators are parsed as well as printed: a blank or a letter there would
    // make dates and times of a timestamp ambiguous.
    auto usable = [](char c) { return c == '.' || c == '/' || c == '-' || c == ':'; };
    f.date_separator = usable(short_date.first_separator) ? short_date.first_separator : '/';

    const icu::UnicodeString time =
        StripBidi(pattern_of(icu::DateFormat::createTimeInstance(icu::DateFormat::kShort, loc)));
    int32_t h = -1;
    for (int32_t i = 0; i < time.length() && h < 0; ++i) {
        const UChar c = time.charAt(i);
        if (c == u'h' || c == u'H' || c == u'k' || c == u'K')
            h = i;
    }
    if (h < 0)
        Fail(where + ": time pattern " + Utf8(time));
    const UChar hour_letter = time.charAt(h);
    int32_t n = 0;
    while (h + n < time.length() && time.charAt(h + n) == hour_letter)
        ++n;
    f.twelve_hour = hour_letter == u'h' || hour_letter == u'K';
    f.leading_zero = n >= 2;
    const UChar sep = h + n < time.length() ? time.charAt(h + n) : u':';
    f.time_separator = sep < 0x80 && usable(static_cast<char>(sep)) ? static_cast<char>(sep) : ':';

    const icu::DateFormatSymbols names(loc, status);
    Check(status, "date symbols " + where);
    const icu::DateFormatSymbols english_names(english, status);
    Check(status, "english date symbols");
    int32_t count = 0;
    const icu::UnicodeString* am_pm = names.getAmPmStrings(count);
    if (count == 2) {
        f.am = encode(am_pm[0], "AM");
        f.pm = encode(am_pm[1], "PM");
    }
    using DFS = icu::DateFormatSymbols;
    auto months = [&](DFS::DtWidthType width, std::array<std::string, 12>& out) {
        int32_t k = 0;
        const icu::UnicodeString* m = names.getMonths(k, DFS::STANDALONE, width);
        int32_t ke = 0;
        const icu::UnicodeString* e = english_names.getMonths(ke, DFS::STANDALONE, width);
        if (k < 12 || ke < 12)
            Fail("months " + where);
        for (int i = 0; i < 12; ++i)
            out[static_cast<std::size_t>(i)] = encode(m[i], Utf8(e[i]));
    };
    auto days = [&](DFS::DtWidthType width, std::array<std::string, 7>& out) {
        int32_t k = 0;
        const icu::UnicodeString* d = names.getWeekdays(k, DFS::STANDALONE, width);
        int32_t ke = 0;
        const icu::UnicodeString* e = english_names.getWeekdays(ke, DFS::STANDALONE, width);
        if (k < 8 || ke < 8)
            Fail("days " + where);
        for (int i = 0; i < 7; ++i) {
            out[static_cast<std::size_t>(i)] = encode(d[i + 1], Utf8(e[i + 1]));
        }
    };
    months(DFS::ABBREVIATED, f.short_months);
    months(DFS::WIDE, f.long_months);
    days(DFS::ABBREVIATED, f.short_days);
    days(DFS::WIDE, f.long_days);
    return f;
}

std::string Literal(std::string_view bytes) {
    std::string out = "\"";
    for (char ch : bytes) {
        const auto b = static_cast<unsigned char>(ch);
        if (b == '"' || b == '\\') {
            out += '\\';
            out += ch;
        } else if (b < 0x20 || b >= 0x7F || b == '?') {
            // Octal escapes never swallow the next character; '?' avoids trigraphs.
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\%03o", b);
            out += buf;
        } else {
            out += ch;
        }
    }
    return out + "\"";
}

std::string CharLiteral(char ch) {
    const auto b = static_cast<unsigned char>(ch);
    char buf[16];
    if (b == '\'' || b == '\\') {
        std::snprintf(buf, sizeof buf, "'\\%c'", ch);
    } else if (b < 0x20 || b >= 0x7F) {
        std::snprintf(buf, sizeof buf, "'\\%03o'", b);
    } else {
        std::snprintf(buf, sizeof buf, "'%c'", ch);
    }
    return buf;
}

std::string Hex(unsigned value, int width) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%0*X", width, value);
    return buf;
}

const char* CodePageName(CodePage cp) {
    switch (cp) {
        case CodePage::Thai:
            return "Thai";
        case CodePage::CentralEuropean:
            return "CentralEuropean";
        case CodePage::Cyrillic:
            return "Cyrillic";
        case CodePage::Western:
            return "Western";
        case CodePage::Greek:
            return "Greek";
        case CodePage::Turkish:
            return "Turkish";
        case CodePage::Hebrew:
            return "Hebrew";
        case CodePage::Arabic:
            return "Arabic";
        case CodePage::Baltic:
            return "Baltic";
        case CodePage::Vietnamese:
            return "Vietnamese";
    }
    return "";
}

constexpr const char* kHeader =
    "// Generated by tools/nls/generate_nls_tables from ICU " U_ICU_VERSION
    ". Do not edit.\n"
    "// These tables are part of the table-file format; see platform/nls/nls.h.\n\n"
    "// clang-format off\n";

void WriteCaseMap(std::ostream& out, const CaseMap& map) {
    out << "{{";
    for (int b = 0; b < 256; ++b) {
        if (b % 16 == 0)
            out << "\n        ";
        out << Hex(map[static_cast<std::size_t>(b)], 2) << ",";
    }
    out << "\n    }}";
}

void WriteCodePages(const std::string& path, const std::vector<CodePageData>& cps,
                    const CaseMap& turkish_upper, const CaseMap& turkish_lower) {
    std::ofstream out(path);
    out << kHeader << "#include \"platform/nls/tables.h\"\n\nnamespace platform::nls::detail {\n\n";
    out << "const std::array<CodePageTable, kCodePageCount> kCodePageTables = {{\n";
    for (const auto& cp : cps) {
        out << "    {CodePage::" << CodePageName(cp.code_page) << ",\n    {{";
        for (int b = 0; b < 256; ++b) {
            if (b % 8 == 0)
                out << "\n        ";
            const char32_t ch = cp.to_unicode[static_cast<std::size_t>(b)];
            out << (ch == kUndefinedChar ? std::string("kUndefinedChar") : Hex(ch, 4)) << ",";
        }
        out << "\n    }},\n    ";
        WriteCaseMap(out, cp.upper);
        out << ",\n    ";
        WriteCaseMap(out, cp.lower);
        out << "},\n";
    }
    out << "}};\n\nnamespace {\n\n";
    for (const auto& cp : cps) {
        out << "const Composite k" << CodePageName(cp.code_page) << "Composites[] = {";
        const auto composites = Composites(cp);
        int n = 0;
        for (const auto& [c, bytes] : composites) {
            if (n++ % 4 == 0)
                out << "\n   ";
            // Decoding composes only what normalization composes back.
            icu::UnicodeString decoded;
            for (char b : bytes) {
                decoded.append(static_cast<UChar32>(cp.to_unicode[static_cast<unsigned char>(b)]));
            }
            UErrorCode status = U_ZERO_ERROR;
            const icu::UnicodeString nfc =
                icu::Normalizer2::getNFCInstance(status)->normalize(decoded, status);
            Check(status, "nfc");
            const bool composes =
                bytes.size() > 1 && nfc == icu::UnicodeString(static_cast<UChar32>(c));
            out << " {" << Hex(c, 4) << ", " << bytes.size() << ", {";
            for (char b : bytes)
                out << Hex(static_cast<unsigned char>(b), 2) << ",";
            out << "}, " << (composes ? "true" : "false") << "},";
        }
        if (composites.empty())
            out << "\n    {0, 0, {}, false},";
        out << "\n};\n\n";
    }
    out << "}  // namespace\n\n"
        << "const std::array<std::span<const Composite>, kCodePageCount> kCompositeTables = {{\n";
    for (const auto& cp : cps) {
        const bool empty = Composites(cp).empty();
        out << "    std::span<const Composite>(k" << CodePageName(cp.code_page) << "Composites)"
            << (empty ? ".first(0)" : "") << ",\n";
    }
    out << "}};\n\nconst CaseMap kTurkishUpper = ";
    WriteCaseMap(out, turkish_upper);
    out << ";\n\nconst CaseMap kTurkishLower = ";
    WriteCaseMap(out, turkish_lower);
    out << ";\n\n}  // namespace platform::nls::detail\n";
    if (!out)
        Fail("cannot write " + path);
}

struct Family {
    std::string name;
    CodePage code_page;
    Entries entries;
};

void WriteCollation(const std::string& path, const std::vector<Family>& families,
                    const std::vector<LocaleCollation>& locales) {
    std::ofstream out(path);
    out << kHeader << "#include \"platform/nls/tables.h\"\n\nnamespace platform::nls::detail {\n\n"
        << "namespace {\n\n"
        << "// {primary, diacritic, case} of the first and, for an expansion, the second\n"
        << "// letter of each byte.\n"
        << "constexpr CollationFamily kFamilies[] = {\n";
    for (const auto& f : families) {
        out << "    {" << Literal(f.name) << ", CodePage::" << CodePageName(f.code_page)
            << ",\n    {{";
        for (int b = 0; b < 256; ++b) {
            const auto& e = f.entries[static_cast<std::size_t>(b)];
            if (b % 4 == 0)
                out << "\n        ";
            out << "{{" << e.first.primary << "," << int(e.first.diacritic) << ","
                << int(e.first.case_weight) << "},{" << e.second.primary << ","
                << int(e.second.diacritic) << "," << int(e.second.case_weight) << "}},";
        }
        out << "\n    }}},\n";
    }
    out << "};\n\nconstexpr LocaleCollation kLocales[] = {\n";
    for (const auto& l : locales) {
        out << "    {" << Hex(l.language, 4) << ", " << l.sort << ", " << l.family << "},\n";
    }
    out << "};\n\n}  // namespace\n\n"
        << "std::span<const CollationFamily> CollationFamilies() { return kFamilies; }\n"
        << "std::span<const LocaleCollation> LocaleCollations() { return kLocales; }\n\n"
        << "}  // namespace platform::nls::detail\n";
    if (!out)
        Fail("cannot write " + path);
}

template <std::size_t N>
std::string Names(const std::array<std::string, N>& names) {
    std::string out = "{{";
    for (const auto& n : names)
        out += Literal(n) + ", ";
    return out + "}}";
}

void WriteFormats(const std::string& path, const std::vector<std::pair<LanguageId, Fields>>& rows) {
    std::ofstream out(path);
    out << kHeader << "#include \"platform/nls/tables.h\"\n\nnamespace platform::nls::detail {\n\n"
        << "namespace {\n\nconstexpr LocaleFormatRow kRows[] = {\n";
    for (const auto& [id, f] : rows) {
        out << "    {" << Hex(id, 4) << ", " << Literal(f.currency_string) << ", "
            << f.currency_format << ", " << f.negative_currency_format << ", "
            << CharLiteral(f.thousand) << ", " << CharLiteral(f.decimal) << ", "
            << f.currency_decimals << ", " << CharLiteral(f.date_separator) << ",\n     "
            << Literal(f.short_date) << ", " << Literal(f.long_date) << ",\n     "
            << CharLiteral(f.time_separator) << ", " << Literal(f.am) << ", " << Literal(f.pm)
            << ", " << (f.twelve_hour ? "true" : "false") << ", "
            << (f.leading_zero ? "true" : "false") << ",\n     " << Names(f.short_months)
            << ",\n     " << Names(f.long_months) << ",\n     " << Names(f.short_days) << ",\n     "
            << Names(f.long_days) << "},\n";
    }
    out << "};\n\n}  // namespace\n\n"
        << "std::span<const LocaleFormatRow> LocaleFormatRows() { return kRows; }\n\n"
        << "}  // namespace platform::nls::detail\n";
    if (!out)
        Fail("cannot write " + path);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2)
        Fail("usage: generate_nls_tables <output directory>");
    const std::string dir = argv[1];

    std::vector<CodePageData> cps;
    for (CodePage cp : kCodePages)
        cps.push_back(LoadCodePage(cp));
    auto data_of = [&](CodePage cp) -> const CodePageData& {
        for (const auto& d : cps) {
            if (d.code_page == cp)
                return d;
        }
        Fail("unknown code page");
    };

    // The Windows-1252 US upper-case map is part of the file format: check it.
    const CodePageData& western = data_of(CodePage::Western);
    for (int b = 0; b < 256; ++b) {
        int expected = b;
        if ((b >= 'a' && b <= 'z') || (b >= 0xE0 && b <= 0xFE && b != 0xF7))
            expected = b - 0x20;
        if (b == 0x9A || b == 0x9C || b == 0x9E)
            expected = b - 0x10;
        if (b == 0xFF)
            expected = 0x9F;
        if (western.upper[static_cast<std::size_t>(b)] != expected) {
            Fail("Windows-1252 upper-case map differs at " + Hex(static_cast<unsigned>(b), 2));
        }
    }

    const CodePageData& turkish = data_of(CodePage::Turkish);
    CaseMap turkish_upper = turkish.upper;
    CaseMap turkish_lower = turkish.lower;
    turkish_upper['i'] = turkish.from_unicode.at(U'İ');
    turkish_lower['I'] = turkish.from_unicode.at(U'ı');

    std::vector<Family> families;
    std::vector<LocaleCollation> locales;
    auto family_index = [&](CodePage cp, const std::string& locale) {
        Entries entries = BuildFamily(data_of(cp), locale);
        for (std::size_t i = 0; i < families.size(); ++i) {
            const auto& f = families[i];
            if (f.code_page == cp &&
                std::equal(f.entries.begin(), f.entries.end(), entries.begin(),
                           [](const CollationEntry& a, const CollationEntry& b) {
                               return a.first.primary == b.first.primary &&
                                      a.first.diacritic == b.first.diacritic &&
                                      a.first.case_weight == b.first.case_weight &&
                                      a.second.primary == b.second.primary &&
                                      a.second.diacritic == b.second.diacritic &&
                                      a.second.case_weight == b.second.case_weight;
                           })) {
                return static_cast<std::uint16_t>(i);
            }
        }
        if (const int n = CountDisagreements(data_of(cp), locale, entries); n != 0) {
            Warn(locale + ": " + std::to_string(n) + " byte pairs ordered unlike ICU");
        }
        families.push_back({locale, cp, entries});
        return static_cast<std::uint16_t>(families.size() - 1);
    };

    std::vector<std::pair<LanguageId, Fields>> formats;
    for (const LanguageRow& row : kLanguageRows) {
        if (row.id == kLanguageAnsi)
            continue;
        const std::string locale(row.icu_locale);
        locales.push_back({row.id, kSortDefault, family_index(row.code_page, locale)});
        if ((row.id & 0x3FF) == 0x07) {
            const std::string base = locale.substr(0, locale.find('@'));
            locales.push_back({row.id, kSortGermanPhoneBook,
                               family_index(row.code_page, base + "@collation=phonebook")});
        }
        formats.emplace_back(row.id, BuildFormats(data_of(row.code_page), row));
    }

    WriteCodePages(dir + "/tables_code_pages.cpp", cps, turkish_upper, turkish_lower);
    WriteCollation(dir + "/tables_collation.cpp", families, locales);
    WriteFormats(dir + "/tables_locale_formats.cpp", formats);
    std::cout << families.size() << " collation families, " << locales.size() << " locales\n";
    return 0;
}
