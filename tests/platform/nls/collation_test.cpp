#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/nls/nls.h"

namespace platform::nls {
namespace {

constexpr std::uint32_t kSortKeyFlags = SORT_STRINGSORT | NORM_IGNORENONSPACE;
constexpr std::uint32_t kAllFlags[] = {SORT_STRINGSORT, kSortKeyFlags,
                                       kSortKeyFlags | NORM_IGNORECASE};

std::vector<LocaleId> AllLocales() {
    std::vector<LocaleId> out;
    for (const LanguageInfo& l : Languages()) {
        for (const SortOrderInfo& s : SortOrders(l.id))
            out.push_back(MakeLocaleId(l.id, s.id));
    }
    return out;
}

int Cmp(LocaleId locale, std::uint32_t flags, std::string_view a, std::string_view b) {
    return CompareString(locale, flags, a, b) - 2;
}

const std::string& Byte(int b) {
    static const std::vector<std::string> singles = [] {
        std::vector<std::string> out;
        for (int i = 0; i < 256; ++i)
            out.emplace_back(1, static_cast<char>(i));
        return out;
    }();
    return singles[static_cast<std::size_t>(b)];
}

// The engine's collation map: all 256 one-byte strings sorted with 0x1000.
std::vector<int> BuildMap(LocaleId locale) {
    std::vector<int> map(256);
    std::iota(map.begin(), map.end(), 0);
    std::stable_sort(map.begin(), map.end(), [&](int a, int b) {
        return Cmp(locale, SORT_STRINGSORT, Byte(a), Byte(b)) < 0;
    });
    return map;
}

// The non-spacing marks of the code pages that have them: Hebrew points,
// Arabic vowel signs, Vietnamese tones and Thai tone marks.
bool IsNonSpacingMark(LocaleId locale, int byte) {
    static const std::vector<int> hebrew = {0xC0, 0xC1, 0xC2, 0xC3, 0xC4, 0xC5, 0xC6, 0xC7,
                                            0xC8, 0xC9, 0xCB, 0xCC, 0xCD, 0xCF, 0xD1, 0xD2};
    static const std::vector<int> arabic = {0xF0, 0xF1, 0xF2, 0xF3, 0xF5, 0xF6, 0xF8, 0xFA};
    static const std::vector<int> vietnamese = {0xCC, 0xD2, 0xDE, 0xEC, 0xF2};
    static const std::vector<int> thai = {0xE7, 0xE8, 0xE9, 0xEA, 0xEB, 0xEC, 0xEE};
    const std::vector<int>* marks = nullptr;
    switch (CodePageOfLocale(locale)) {
        case CodePage::Hebrew:
            marks = &hebrew;
            break;
        case CodePage::Arabic:
            marks = &arabic;
            break;
        case CodePage::Vietnamese:
            marks = &vietnamese;
            break;
        case CodePage::Thai:
            marks = &thai;
            break;
        default:
            return false;
    }
    return std::find(marks->begin(), marks->end(), byte) != marks->end();
}

struct PairCase {
    LocaleId locale;
    std::uint32_t flags;
    const char* a;
    const char* b;
    int expected;
};

TEST(Collation, SampleComparisons) {
    const LocaleId us = MakeLocaleId(0x0409, 0);
    const LocaleId de = MakeLocaleId(0x0407, 0);
    const LocaleId de_phone = MakeLocaleId(0x0407, kSortGermanPhoneBook);
    const LocaleId sv = MakeLocaleId(0x041D, 0);
    const LocaleId da = MakeLocaleId(0x0406, 0);
    const LocaleId cs = MakeLocaleId(0x0405, 0);
    const LocaleId tr = MakeLocaleId(0x041F, 0);
    const LocaleId ru = MakeLocaleId(0x0419, 0);
    const LocaleId vi = MakeLocaleId(0x042A, 0);
    const LocaleId he = MakeLocaleId(0x040D, 0);
    const PairCase cases[] = {
        // Letters before case: a < B although 'B' < 'a' as bytes.
        {us, SORT_STRINGSORT, "a", "B", -1},
        {us, SORT_STRINGSORT, "a", "A", -1},
        {us, kSortKeyFlags, "a", "A", -1},
        {us, kSortKeyFlags | NORM_IGNORECASE, "a", "A", 0},
        // Accents count at 0x1000 and are ignored at 0x1002, case is not.
        {us, SORT_STRINGSORT, "resume", "r\xE9sum\xE9", -1},
        {us, kSortKeyFlags, "resume", "r\xE9sum\xE9", 0},
        {us, kSortKeyFlags, "Resume", "r\xE9sum\xE9", 1},
        {us, kSortKeyFlags | NORM_IGNORECASE, "RESUME", "r\xE9sum\xE9", 0},
        {us, kSortKeyFlags, "\xE9t\xE9", "etz", -1},
        // Punctuation is not ignorable.
        {us, SORT_STRINGSORT, "co-op", "coop", -1},
        {us, kSortKeyFlags, "a b", "ab", -1},
        {us, SORT_STRINGSORT, "1", "a", -1},
        // Expansions: ae and æ share their letters.
        {us, kSortKeyFlags, "\xE6", "ae", 0},
        {us, SORT_STRINGSORT, "ae", "\xE6", -1},
        {us, kSortKeyFlags, "\xE6z", "af", -1},
        {us, kSortKeyFlags,
         "Stra\xDF"
         "e",
         "Strasse", 0},
        {us, kSortKeyFlags,
         "\x9C"
         "uvre",
         "oeuvre", 0},
        // German: ä is an a with an accent; in the phone book it is ae.
        {de, kSortKeyFlags, "M\xFCller", "Muller", 0},
        {de, kSortKeyFlags, "M\xFCller", "Mueller", 1},
        {de_phone, kSortKeyFlags, "M\xFCller", "Mueller", 0},
        {de_phone, kSortKeyFlags, "M\xFCller", "Muf", -1},
        {de_phone, kSortKeyFlags, "M\xFCller", "Muller", -1},
        // Swedish and Danish: å, ä, ö, æ, ø are letters after z.
        {sv, kSortKeyFlags, "\xE4", "z", 1},
        {sv, kSortKeyFlags, "\xE5", "\xE4", -1},
        {sv, kSortKeyFlags, "\xF6", "oe", 1},
        {da, kSortKeyFlags, "\xE6", "z", 1},
        {da, kSortKeyFlags, "\xE6", "ae", 1},
        {us, kSortKeyFlags, "\xF8", "z", -1},
        // Czech (1250): č after c, ž after z.
        {cs, kSortKeyFlags, "\xE8", "d", -1},
        {cs, kSortKeyFlags, "\xE8", "cz", 1},
        {cs, kSortKeyFlags, "\x9E", "z", 1},
        // Turkish (1254): ı before i, ç after c, ö after o.
        {tr, kSortKeyFlags, "\xFD", "i", -1},
        {tr, kSortKeyFlags, "\xE7", "cz", 1},
        {tr, kSortKeyFlags | NORM_IGNORECASE, "\xDD", "i", 0},
        // Russian (1251): ё with е; Russian puts Cyrillic before Latin.
        {ru, kSortKeyFlags, "\xB8", "\xE5", 0},
        {ru, SORT_STRINGSORT, "\xB8", "\xE5", 1},
        {ru, kSortKeyFlags, "z", "\xE0", 1},
        {ru, kSortKeyFlags | NORM_IGNORECASE, "\xC0\xC1", "\xE0\xE1", 0},
        // Non-spacing marks are accents: "Việt" (ê + dot below) against "Viêt";
        // ê itself is a letter of its own in Vietnamese. Hebrew "shalom" with
        // and without points.
        {vi, SORT_STRINGSORT, "Vi\xEA\xF2t", "Vi\xEAt", 1},
        {vi, kSortKeyFlags, "Vi\xEA\xF2t", "Vi\xEAt", 0},
        {vi, kSortKeyFlags, "Vi\xEA\xF2t", "VI\xCAT", -1},
        {vi, kSortKeyFlags | NORM_IGNORECASE, "Vi\xEA\xF2t", "VI\xCAT", 0},
        {vi, kSortKeyFlags, "Vi\xEAt", "Viez", 1},
        {he, kSortKeyFlags, "\xF9\xD1\xC8\xEC\xE5\xC9\xED", "\xF9\xEC\xE5\xED", 0},
        {he, SORT_STRINGSORT, "\xF9\xD1\xC8\xEC\xE5\xC9\xED", "\xF9\xEC\xE5\xED", 1},
        {he, kSortKeyFlags, "\xF9\xEC\xE5\xED", "\xFA", -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.locale << " flags " << c.flags << " '"
                                        << c.a << "' vs '" << c.b << "'");
        EXPECT_EQ(Cmp(c.locale, c.flags, c.a, c.b), c.expected);
        EXPECT_EQ(Cmp(c.locale, c.flags, c.b, c.a), -c.expected);
    }
}

TEST(Collation, LanguageZeroIsByteOrder) {
    const LocaleId ansi = MakeLocaleId(0, 0);
    for (int a = 0; a < 256; ++a) {
        for (int b = 0; b < 256; ++b) {
            const int expected = a == b ? 0 : (a == 0 ? -1 : b == 0 ? 1 : (a < b ? -1 : 1));
            ASSERT_EQ(Cmp(ansi, SORT_STRINGSORT, Byte(a), Byte(b)), expected) << a << " " << b;
        }
    }
    EXPECT_EQ(Cmp(ansi, SORT_STRINGSORT, "B", "a"), -1);
    EXPECT_EQ(Cmp(ansi, kSortKeyFlags, "r\xE9sum\xE9", "resume"), 1);
    EXPECT_EQ(Cmp(ansi, kSortKeyFlags | NORM_IGNORECASE, "abc\xE9", "ABC\xC9"), 0);
    // ß has no upper case in the map, so it stays apart from "SS".
    EXPECT_NE(Cmp(ansi, NORM_IGNORECASE, "\xDF", "SS"), 0);
}

TEST(Collation, StringsEndAtTheFirstNul) {
    using namespace std::string_view_literals;
    for (LocaleId locale : {MakeLocaleId(0, 0), MakeLocaleId(0x0409, 0), MakeLocaleId(0x0419, 0)}) {
        for (std::uint32_t flags : kAllFlags) {
            EXPECT_EQ(Cmp(locale, flags, "ab\0zz"sv, "ab\0aa"sv), 0);
            EXPECT_EQ(Cmp(locale, flags, "ab\0zz"sv, "ab"sv), 0);
            EXPECT_EQ(Cmp(locale, flags, "\0z"sv, ""sv), 0);
            EXPECT_EQ(Cmp(locale, flags, "ab\0"sv, "abc"sv), -1);
        }
    }
}

TEST(Collation, PrefixSortsBeforeItsExtensions) {
    std::mt19937 random(7);
    for (LocaleId locale : AllLocales()) {
        for (std::uint32_t flags : kAllFlags) {
            for (int trial = 0; trial < 8; ++trial) {
                std::string prefix;
                const int length = static_cast<int>(random() % 4);
                for (int i = 0; i < length; ++i)
                    prefix += Byte(1 + static_cast<int>(random() % 255));
                for (int x = 1; x < 256; ++x) {
                    // Only a non-spacing mark may vanish, and only when asked to.
                    const int expected =
                        (flags & NORM_IGNORENONSPACE) != 0 && IsNonSpacingMark(locale, x) ? 0 : -1;
                    ASSERT_EQ(Cmp(locale, flags, prefix, prefix + Byte(x)), expected)
                        << std::hex << locale << " " << flags << " " << x;
                }
            }
        }
    }
}

TEST(Collation, SentinelsOfTheCollationMap) {
    for (LocaleId locale : AllLocales()) {
        SCOPED_TRACE(testing::Message() << std::hex << locale);
        const std::vector<int> map = BuildMap(locale);
        ASSERT_EQ(map[0], 0);
        const std::string high = Byte(map[255]);
        for (std::uint32_t flags : kAllFlags) {
            // Language 0 keys are compared as bytes, upper-cased when the index
            // ignores case, and padded with 0xFF: never through the collation.
            if (LanguageOfLocale(locale) == 0 && (flags & NORM_IGNORECASE) != 0)
                continue;
            for (int x = 1; x < 256; ++x) {
                // Partial keys: "ab" padded high to the field's length is at
                // least every "ab..." text of that length.
                EXPECT_GE(Cmp(locale, flags, "ab" + high + high + high, "ab" + Byte(x) + "zz"), 0)
                    << flags << " " << x;
                EXPECT_GE(Cmp(locale, flags, high, Byte(x)), 0) << flags << " " << x;
                EXPECT_LE(Cmp(locale, flags, "ab", "ab" + Byte(x)), 0);
            }
        }
    }
}

// One locale of each code page, plus the tailorings with expansions.
const LocaleId kSampleLocales[] = {
    0x0000, 0x0409, 0x0407, MakeLocaleId(0x0407, kSortGermanPhoneBook),
    0x041D, 0x0406, 0x0405, 0x0419,
    0x0408, 0x041F, 0x040D, 0x0401,
    0x0429, 0x0426, 0x041E, 0x042A};

// Over all one-byte strings the order must be a total preorder: a sort by it
// must leave no pair out of order, and it must be antisymmetric.
TEST(Collation, OrderOfSingleBytesIsTransitive) {
    for (LocaleId locale : kSampleLocales) {
        for (std::uint32_t flags : kAllFlags) {
            std::vector<int> bytes(256);
            std::iota(bytes.begin(), bytes.end(), 0);
            // Insertion sort needs no strict weak order to terminate safely.
            for (std::size_t i = 1; i < bytes.size(); ++i) {
                for (std::size_t j = i;
                     j > 0 && Cmp(locale, flags, Byte(bytes[j]), Byte(bytes[j - 1])) < 0; --j) {
                    std::swap(bytes[j], bytes[j - 1]);
                }
            }
            for (std::size_t i = 0; i < bytes.size(); ++i) {
                for (std::size_t j = i + 1; j < bytes.size(); ++j) {
                    const int c = Cmp(locale, flags, Byte(bytes[i]), Byte(bytes[j]));
                    ASSERT_LE(c, 0)
                        << std::hex << locale << " " << flags << " " << bytes[i] << " " << bytes[j];
                    ASSERT_EQ(c, -Cmp(locale, flags, Byte(bytes[j]), Byte(bytes[i])));
                }
            }
        }
    }
}

// Two-byte strings of a few code pages, sorted; then every pair drawn from the
// sorted order must agree with it.
TEST(Collation, OrderOfBytePairsIsTransitive) {
    const LocaleId locales[] = {MakeLocaleId(0x0407, kSortGermanPhoneBook), MakeLocaleId(0x0405, 0),
                                MakeLocaleId(0x042A, 0)};
    std::mt19937 random(11);
    for (LocaleId locale : locales) {
        for (std::uint32_t flags : kAllFlags) {
            std::vector<std::string> strings;
            // Every first byte with every fifth second byte keeps this quick.
            for (int a = 1; a < 256; ++a) {
                for (int b = 1; b < 256; b += 5)
                    strings.push_back(Byte(a) + Byte(b));
            }
            std::stable_sort(strings.begin(), strings.end(), [&](const auto& x, const auto& y) {
                return Cmp(locale, flags, x, y) < 0;
            });
            for (std::size_t i = 1; i < strings.size(); ++i) {
                ASSERT_LE(Cmp(locale, flags, strings[i - 1], strings[i]), 0);
            }
            for (int trial = 0; trial < 5000; ++trial) {
                std::size_t i = random() % strings.size();
                std::size_t j = random() % strings.size();
                if (i > j)
                    std::swap(i, j);
                ASSERT_LE(Cmp(locale, flags, strings[i], strings[j]), 0)
                    << std::hex << locale << " " << flags;
            }
        }
    }
}

// Tables are immutable and lazily built indexes are built once: threads that
// start together all see the same results.
TEST(Collation, ConcurrentCallersAgree) {
    const std::string a =
        "Stra\xDF"
        "e M\xFCller";
    const std::string b = "Strasse Mueller";
    std::vector<std::thread> threads;
    std::vector<int> results(8);
    for (std::size_t t = 0; t < results.size(); ++t) {
        threads.emplace_back([&, t] {
            int sum = 0;
            for (int i = 0; i < 200; ++i) {
                sum +=
                    CompareString(MakeLocaleId(0x0407, kSortGermanPhoneBook), kSortKeyFlags, a, b);
                sum += Utf8ToBytes(CodePage::Western, "\xC3\xA9").text == "\xE9" ? 1 : 0;
                sum += BytesToUtf8(CodePage::Vietnamese, "\xEA\xF2").text.size() == 3 ? 1 : 0;
            }
            results[t] = sum;
        });
    }
    for (auto& thread : threads)
        thread.join();
    for (int r : results)
        EXPECT_EQ(r, 200 * (CSTR_EQUAL + 2));
}

TEST(Collation, RejectsUnknownLocalesAndFlags) {
    EXPECT_THROW(CompareString(MakeLocaleId(0x0409, 1), SORT_STRINGSORT, "a", "b"),
                 std::invalid_argument);
    EXPECT_THROW(CompareString(0x0999, SORT_STRINGSORT, "a", "b"), std::invalid_argument);
    EXPECT_THROW(CompareString(MakeLocaleId(0, 1), SORT_STRINGSORT, "a", "b"),
                 std::invalid_argument);
    EXPECT_THROW(CompareString(0x0409, 0x0010, "a", "b"), std::invalid_argument);
    EXPECT_EQ(CompareString(0x0409, 0, "a", "b"), CSTR_LESS_THAN);
}

}  // namespace
}  // namespace platform::nls
