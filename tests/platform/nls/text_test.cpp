#include "platform/nls/text.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace platform::nls {
namespace {

TEST(Text, Utf8EncodesAndDecodesEveryLength) {
    struct Case {
        char32_t c;
        const char* bytes;
    };
    const Case cases[] = {
        {0x00, ""},
        {0x41, "A"},
        {0x7F, "\x7F"},
        {0x80, "\xC2\x80"},
        {0xE9, "\xC3\xA9"},
        {0x7FF, "\xDF\xBF"},
        {0x800, "\xE0\xA0\x80"},
        {0x20AC, "\xE2\x82\xAC"},
        {0xFFFF, "\xEF\xBF\xBF"},
        {0x10000, "\xF0\x90\x80\x80"},
        {0x10FFFF, "\xF4\x8F\xBF\xBF"},
    };
    for (const Case& c : cases) {
        std::string out;
        AppendUtf8(out, c.c);
        const std::string expected = c.c == 0 ? std::string(1, '\0') : std::string(c.bytes);
        EXPECT_EQ(out, expected) << std::hex << static_cast<unsigned>(c.c);
        std::size_t pos = 0;
        EXPECT_EQ(DecodeUtf8(out, pos), std::optional<char32_t>(c.c));
        EXPECT_EQ(pos, out.size());
    }
}

TEST(Text, Utf8DecodingRefusesMalformedSequences) {
    const char* bad[] = {
        "\x80",              // stray continuation
        "\xC0\x80",          // overlong NUL
        "\xE0\x80\xAF",      // overlong slash
        "\xED\xA0\x80",      // surrogate
        "\xF4\x90\x80\x80",  // above U+10FFFF
        "\xE2\x82",          // truncated
        "\xC3(",             // continuation missing
        "\xFF",              // never a lead byte
    };
    for (const char* text : bad) {
        std::size_t pos = 0;
        EXPECT_EQ(DecodeUtf8(text, pos), std::nullopt) << text;
        EXPECT_EQ(pos, 0u);
    }
}

TEST(Text, TrimsTheRightCharacters) {
    EXPECT_EQ(Trim(" \t\r\n\x01 name \x1F"), "name");
    EXPECT_EQ(Trim("\xA0name\xA0"), "\xA0name\xA0") << "bytes above the space stay";
    EXPECT_EQ(Trim("   "), "");
    EXPECT_EQ(Trim(""), "");
    EXPECT_EQ(TrimOf("  a b \t", " "), "a b \t");
    EXPECT_EQ(TrimOf("\t a b \t", " \t"), "a b");
    EXPECT_EQ(TrimOf("xxx", "x"), "");
}

TEST(Text, OneLineTextLeavesNothingThatBreaksOrHidesALine) {
    struct Case {
        std::string text, line;
    };
    const Case cases[] = {
        {"a\r\nb\nc\rd", "a  b c d"},
        {std::string("nul\0x", 5), "nul x"},
        {"esc\x1b[2Jx\x7f", "esc [2Jx "},
        {"tab\tstays", "tab\tstays"},
        {"next line\xC2\x85"
         "csi\xC2\x9B",
         "next line csi "},  // C1 controls
        {"ls\xE2\x80\xA8ps\xE2\x80\xA9"
         "end",
         "ls ps end"},  // Unicode separators
        {"J\xC3\xBCrgen \xE2\x80\xA6 \xF0\x9F\x98\x80",
         "J\xC3\xBCrgen \xE2\x80\xA6 \xF0\x9F\x98\x80"},
        {"latin \xFC\n", "latin \xFC "},  // a byte outside UTF-8 stays
        {"cut \xE2\x80", "cut \xE2\x80"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(OneLineText(c.text), c.line) << c.text;
}

TEST(Text, SameTextAsciiFoldsOnlyAsciiLetters) {
    EXPECT_TRUE(SameTextAscii("True", "TRUE"));
    EXPECT_TRUE(SameTextAscii("", ""));
    EXPECT_FALSE(SameTextAscii("true", "tru"));
    EXPECT_FALSE(SameTextAscii("\xE4", "\xC4")) << "accented letters are not ASCII";
    EXPECT_FALSE(SameTextAscii("@", "`")) << "neighbours of the letters do not fold";
    EXPECT_FALSE(SameTextAscii("[", "{"));
    // Eight bytes a step, then the rest: a high byte is seen in either part.
    for (const auto& [text, ascii] :
         std::initializer_list<std::pair<std::string_view, bool>>{{"", true},
                                                                  {"member0@example.org", true},
                                                                  {"eight by\xE4", false},
                                                                  {"\xE4ight by", false},
                                                                  {"nine bytes\x80", false}}) {
        EXPECT_EQ(IsAscii(text), ascii) << text;
    }
}

TEST(Text, AsciiCaseChangesOnlyAsciiLetters) {
    struct Case {
        std::string_view text, upper, lower;
    };
    const Case cases[] = {
        {"Caf\xC3\xA9", "CAF\xC3\xA9", "caf\xC3\xA9"},  // UTF-8 bytes stay
        {"CAF\xC9", "CAF\xC9", "caf\xC9"},              // so do code-page letters
        {"@Az[`{", "@AZ[`{", "@az[`{"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(AsciiUpper(c.text), c.upper) << c.text;
        EXPECT_EQ(AsciiLower(c.text), c.lower) << c.text;
    }
    EXPECT_TRUE(StartsWithAscii("SMTP:a@b", "smtp:"));
    EXPECT_FALSE(StartsWithAscii("smt", "smtp"));
}

}  // namespace
}  // namespace platform::nls
