#include "engine/storage/text_compare.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/storage/engine_error.h"

namespace strata {
namespace {

constexpr LanguageId kEnglishUs = 0x0409;
constexpr LanguageId kGerman = 0x0407;

// In place, every byte takes the capital the language's map gives it, whatever the length,
// the alignment and the mix of ASCII and other bytes around eight-byte steps.
TEST(TextCompare, UpperCaseInPlaceFollowsTheLanguagesMap) {
    std::string all;
    for (int c = 1; c < 256; ++c)
        all.push_back(static_cast<char>(c));
    const std::string ascii = "member1234@Example.ORG_az{}`@AZ[]";
    for (const LanguageId language : {LanguageId{0}, kEnglishUs, kGerman}) {
        for (const std::string& source : {all, ascii, ascii + "\xE4\xF6" + ascii}) {
            for (std::size_t from = 0; from < 8 && from < source.size(); ++from) {
                for (std::size_t length = 0; from + length <= source.size() && length <= 40;
                     ++length) {
                    const std::string text = source.substr(from, length);
                    std::vector<std::uint8_t> bytes(text.begin(), text.end());
                    UpperCaseLangInPlace(language, 0, bytes);
                    const std::string expected = UpperCaseLang(language, 0, text);
                    ASSERT_EQ(std::string(bytes.begin(), bytes.end()), expected)
                        << language << " " << from << " " << length;
                }
            }
        }
    }
}

TEST(TextCompare, CompareBytesOverAnyLengthWithMissingBuffers) {
    const std::string a(300, 'a');
    std::string b = a;
    b[299] = 'b';
    // 256 bytes and more compare in full; a length of 256 never means "nothing to compare".
    EXPECT_EQ(CompareBytes(a.data(), b.data(), 300, false), -1);
    EXPECT_EQ(CompareBytes(a.data(), b.data(), 256, false), 0);
    EXPECT_EQ(CompareBytes(b.data(), a.data(), 300, false), 1);
    EXPECT_EQ(CompareBytes(a.data(), b.data(), 300, true), 1);
    const unsigned char hi[] = {0xFF};
    const unsigned char lo[] = {0x01};
    EXPECT_EQ(CompareBytes(hi, lo, 1, false), 1);  // unsigned bytes
    EXPECT_EQ(CompareBytes(nullptr, a.data(), 3, false), 1);
    EXPECT_EQ(CompareBytes(a.data(), nullptr, 3, false), -1);
    EXPECT_EQ(CompareBytes(nullptr, nullptr, 3, false), 0);
    EXPECT_EQ(CompareBytes(a.data(), b.data(), 0, false), 0);
}

TEST(TextCompare, CompareStringsWithoutLanguage) {
    struct Case {
        const char* a;
        bool no_case;
        std::size_t length;
        const char* b;
        int expected;
    };
    const Case cases[] = {
        {"ab", false, 0, "abc", -1},  {"abc", false, 0, "ab", 1},   {"abc", false, 0, "abc", 0},
        {"ABC", true, 0, "abc", 0},   {"ABC", false, 0, "abc", -1}, {"abX", false, 2, "abY", 0},
        {"abc", false, 10, "abc", 0}, {"ab", false, 10, "abc", -1}, {"\xe9", true, 0, "\xc9", 0},
        {"", false, 0, "", 0},        {"", false, 0, "a", -1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(CompareStrings(0, 0, c.a, c.no_case, c.length, c.b), c.expected)
            << c.a << " / " << c.b;
    }
}

TEST(TextCompare, CaseInsensitiveCompareLeavesItsInputsAlone) {
    std::string a = "abc";
    std::string b = "ABD";
    EXPECT_EQ(CompareStrings(0, 0, a, true, 0, b), -1);
    EXPECT_EQ(a, "abc");
    EXPECT_EQ(b, "ABD");
}

TEST(TextCompare, LongStringsAreNeverCutToAByte) {
    // Two memos that differ only after 256 characters.
    std::string a(300, 'm');
    std::string b = a;
    b += 'z';
    EXPECT_EQ(CompareStrings(0, 0, a, false, 0, b), -1);
    EXPECT_EQ(CompareStrings(0, 0, a, true, 0, b), -1);
    EXPECT_EQ(CompareStrings(kEnglishUs, 0, a, false, 0, b), -1);
}

TEST(TextCompare, CompareStringsWithALanguage) {
    EXPECT_EQ(CompareStrings(kEnglishUs, 0, "abc", false, 0, "ABD"), -1);
    EXPECT_EQ(CompareStrings(kEnglishUs, 0, "abc", true, 0, "ABC"), 0);
    // Accents are ignored (non-spacing marks), case is not unless asked.
    EXPECT_EQ(CompareStrings(kEnglishUs, 0, "resume", false, 0, "r\xe9sum\xe9"), 0);
    EXPECT_NE(CompareStrings(kEnglishUs, 0, "Resume", false, 0, "resume"), 0);
    EXPECT_EQ(CompareStrings(kEnglishUs, 0, "ab", false, 0, "abc"), -1);
    EXPECT_EQ(CompareStrings(kEnglishUs, 0, "abX", false, 2, "abY"), 0);
    EXPECT_THROW(CompareStrings(0x7777, 0, "a", false, 0, "b"), EStrataEngineError);
}

TEST(TextCompare, CompareCharLang) {
    EXPECT_EQ(CompareCharLang(0, 0, 'a', 'b'), -1);
    EXPECT_EQ(CompareCharLang(0, 0, '\xff', 'a'), 1);
    EXPECT_EQ(CompareCharLang(kEnglishUs, 0, 'a', 'B'), -1);
    EXPECT_EQ(CompareCharLang(kEnglishUs, 0, 'e', '\xe9'), 0);
}

TEST(TextCompare, CaseMapsKeepTheLength) {
    EXPECT_EQ(UpperCaseLang(0, 0, "abc\xe9\xdf"), "ABC\xc9\xdf");
    EXPECT_EQ(LowerCaseLang(0, 0, "ABC\xc9"), "abc\xe9");
    EXPECT_EQ(UpperCaseLang(kGerman, 0,
                            "stra\xdf"
                            "e"),
              "STRA\xdf"
              "E");
    EXPECT_EQ(UpperCaseLang(0x041F, 0, "i"), "\xdd");  // Turkish dotted capital I
    const std::string long_text(400, 'q');
    EXPECT_EQ(UpperCaseLang(0, 0, long_text), std::string(400, 'Q'));
}

TEST(TextCompare, LikeMatching) {
    struct Case {
        const char* text;
        const char* pattern;
        bool match;
    };
    const Case cases[] = {
        {"abc", "a_c", true},       {"ac", "a_c", false},
        {"abbc", "a_c", false},     {"", "%", true},
        {"", "_", false},           {"", "", true},
        {"abc", "abc%", true},      {"abc", "abc%%", false},
        {"", "%%", false},          {"abc", "%", true},
        {"abcd", "abc%%", true},    {"abcd", "a%c%%", true},
        {"abc", "a%c%%", false},    {"abcc", "a%c%%", true},
        {"ab", "%%%", true},        {"a", "%_%%", false},
        {"abc", "%c", true},        {"abc", "%b", false},
        {"abc", "a%", true},        {"abc", "%b%", true},
        {"abcbcd", "a%bcd", true},  {"mississippi", "%iss%ppi", true},
        {"abc", "ABC", false},      {"abc", "ab", false},
        {"ab", "abc", false},       {"abc", "a%%c", true},
        {"axxbyyc", "a%b%c", true}, {"axxbyy", "a%b%c", false},
        {"abc", "___", true},       {"abc", "____", false},
        {"abc", "%___", true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(StrMatchesLike(0, 0, c.text, c.pattern), c.match)
            << "'" << c.text << "' LIKE '" << c.pattern << "'";
    }
    // Under a language the characters compare by the locale, accents ignored.
    EXPECT_TRUE(StrMatchesLike(kEnglishUs, 0, "caf\xe9", "cafe"));
    EXPECT_FALSE(StrMatchesLike(kEnglishUs, 0, "Cafe", "cafe"));
}

TEST(TextCompare, LocaleIds) {
    EXPECT_EQ(MakeLocaleId(0x0407, 1), 0x00010407u);
    EXPECT_EQ(MakeLanguageId(0x09, 0x01), 0x0409);
    EXPECT_EQ(MakeLanguageId(0x0A, 0x03), 0x0C0A);
}

}  // namespace
}  // namespace strata
