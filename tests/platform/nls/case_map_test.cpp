#include <gtest/gtest.h>

#include <string>

#include "platform/nls/nls.h"

namespace platform::nls {
namespace {

// The Windows-1252 US upper-case map is part of the file format: indexes
// store its results.
TEST(CaseMap, LanguageZeroUpperCaseIsTheUsWindows1252Map) {
    const CaseMap& upper = UpperCaseMap(MakeLocaleId(0, 0));
    for (int b = 0; b < 256; ++b) {
        int expected = b;
        if ((b >= 'a' && b <= 'z') || (b >= 0xE0 && b <= 0xFE && b != 0xF7))
            expected = b - 0x20;
        if (b == 0x9A)
            expected = 0x8A;  // š
        if (b == 0x9C)
            expected = 0x8C;  // œ
        if (b == 0x9E)
            expected = 0x8E;  // ž
        if (b == 0xFF)
            expected = 0x9F;  // ÿ
        EXPECT_EQ(upper[static_cast<std::size_t>(b)], expected) << b;
    }
    EXPECT_EQ(upper[0xDF], 0xDF);  // ß
    EXPECT_EQ(upper[0xB5], 0xB5);  // µ
    EXPECT_EQ(upper[0x83], 0x83);  // ƒ
    EXPECT_EQ(&UpperCaseMap(MakeLocaleId(0, 0)), &UpperCaseMap(MakeLocaleId(0x0409, 0)));
}

struct MapCase {
    LanguageId language;
    std::uint32_t flags;
    const char* in;
    const char* out;
};

TEST(CaseMap, MapsOnlyInsideTheCodePage) {
    const MapCase cases[] = {
        {0x0000, LCMAP_UPPERCASE, "abc", "ABC"},
        {0x0000, LCMAP_UPPERCASE,
         "stra\xDF"
         "e \xB5 \x83",
         "STRA\xDF"
         "E \xB5 \x83"},
        {0x0000, LCMAP_LOWERCASE, "\xC9T\xC9 \x9F \x8A", "\xE9t\xE9 \xFF \x9A"},
        {0x0000, LCMAP_LOWERCASE, "\xD7\xDF", "\xD7\xDF"},
        // Turkish (1254): dotted and dotless i.
        {0x041F, LCMAP_UPPERCASE, "i\xFD", "\xDDI"},
        {0x041F, LCMAP_LOWERCASE, "I\xDD", "\xFDi"},
        // Polish (1250): ł and ś.
        {0x0415, LCMAP_UPPERCASE, "\xB3\x9C", "\xA3\x8C"},
        // Russian (1251): ё and я.
        {0x0419, LCMAP_UPPERCASE, "\xB8\xFF", "\xA8\xDF"},
        {0x0419, LCMAP_LOWERCASE, "\xA8\xDF", "\xB8\xFF"},
        // Greek (1253): final sigma goes up to Σ, which comes down as σ; ΐ has no
        // single upper case and stays.
        {0x0408, LCMAP_UPPERCASE, "\xF2\xF3\xC0", "\xD3\xD3\xC0"},
        {0x0408, LCMAP_LOWERCASE, "\xD3", "\xF3"},
        // Latvian (1257): ā.
        {0x0426, LCMAP_UPPERCASE, "\xE2", "\xC2"},
        // Hebrew and Thai letters have no case.
        {0x040D, LCMAP_UPPERCASE, "\xE0\xE1", "\xE0\xE1"},
        {0x041E, LCMAP_UPPERCASE, "\xA1\xA2", "\xA1\xA2"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.language << " " << c.in);
        EXPECT_EQ(MapString(MakeLocaleId(c.language, 0), c.flags, c.in), c.out);
    }
}

TEST(CaseMap, NonTurkishLocalesKeepPlainI) {
    EXPECT_EQ(MapString(0x0409, LCMAP_UPPERCASE, "i"), "I");
    EXPECT_EQ(MapString(0x0407, LCMAP_LOWERCASE, "I"), "i");
}

TEST(CaseMap, MappingNeverChangesLengthAndStopsAtNul) {
    using namespace std::string_view_literals;
    for (const LanguageInfo& l : Languages()) {
        for (std::uint32_t flags : {LCMAP_UPPERCASE, LCMAP_LOWERCASE}) {
            std::string all;
            for (int b = 1; b < 256; ++b)
                all.push_back(static_cast<char>(b));
            EXPECT_EQ(MapString(MakeLocaleId(l.id, 0), flags, all).size(), all.size());
        }
    }
    EXPECT_EQ(MapString(0, LCMAP_UPPERCASE, "ab\0cd"sv), "AB");
}

TEST(CaseMap, RejectsBadLocalesAndFlags) {
    EXPECT_THROW(MapString(0x0999, LCMAP_UPPERCASE, "a"), std::invalid_argument);
    EXPECT_THROW(MapString(0x0409, LCMAP_UPPERCASE | LCMAP_LOWERCASE, "a"), std::invalid_argument);
    EXPECT_THROW(MapString(0x0409, 0, "a"), std::invalid_argument);
    EXPECT_THROW(UpperCaseMap(MakeLocaleId(0x0409, 1)), std::invalid_argument);
}

TEST(CaseMap, CompareTextAnsiFoldsWindows1252) {
    EXPECT_EQ(CompareTextAnsi("mailist.DAT", "MAILIST.dat"), 0);
    EXPECT_EQ(CompareTextAnsi("\xE9t\xE9", "\xC9T\xC9"), 0);
    EXPECT_LT(CompareTextAnsi("abc", "abd"), 0);
    EXPECT_LT(CompareTextAnsi("ab", "abc"), 0);
    EXPECT_GT(CompareTextAnsi("b", "A"), 0);
    EXPECT_TRUE(SameTextAnsi("Default Order", "DEFAULT order"));
}

}  // namespace
}  // namespace platform::nls
