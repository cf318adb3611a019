#include <gtest/gtest.h>

#include "grid/core/mask_engine.h"
#include "platform/db/conversions.h"
#include "platform/db/format_settings.h"

namespace grid {
namespace {

using enum TMaskCharType;

TEST(MaskEngine, CharacterClassesByOffset) {
    TEditMask m(U"!>L\\0/a;0;*");
    const TMaskCharType expected[] = {mcDirective, mcDirective,      mcMask,    mcDirective,
                                      mcLiteral,   mcIntlLiteral,    mcMaskOpt, mcFieldSeparator,
                                      mcField,     mcFieldSeparator, mcField,   mcNone};
    for (int i = 0; i < 12; ++i)
        EXPECT_EQ(m.CharType(i), expected[i]) << i;
    EXPECT_FALSE(m.SaveLiterals());
    EXPECT_EQ(m.Blank(), U'*');
    EXPECT_TRUE(m.RightToLeft());
    EXPECT_EQ(m.BlankText(), U"*0/*");
    // A separator further than four characters from the end is a literal.
    TEditMask far(U"0;0000");
    EXPECT_EQ(far.CharType(1), mcLiteral);
    EXPECT_EQ(far.MaxChars(), 6);
    EXPECT_TRUE(far.SaveLiterals());
    EXPECT_EQ(far.Blank(), U'_');
}

TEST(MaskEngine, InputRulesPerPatternCharacter) {
    struct Case {
        const char32_t* mask;
        char32_t ch;
        bool accepted;
        char32_t stored;
    };
    const Case cases[] = {
        {U"0", U'7', true, U'7'},
        {U"0", U'a', false, 0},
        {U"9", U'x', false, 0},
        {U"#", U'+', true, U'+'},
        {U"#", U'-', true, U'-'},
        {U"#", U' ', true, U' '},
        {U"#", U'x', false, 0},
        {U"L", U'q', true, U'q'},
        {U"L", U'4', false, 0},
        {U"l", U'\u00e9', true, U'\u00e9'},
        {U"A", U'4', true, U'4'},
        {U"a", U'%', false, 0},
        {U"C", U'%', true, U'%'},
        {U">L", U'q', true, U'Q'},
        {U"<L", U'Q', true, U'q'},
        {U"<>L", U'Q', true, U'Q'},
        {U">c", U'\u00e9', true, U'\u00c9'},
        {U"><L", U'Q', true, U'q'},
    };
    for (const Case& c : cases) {
        TEditMask m(c.mask);
        char32_t stored = 0;
        int pos = m.NextEditPos(0);
        EXPECT_EQ(m.Accepts(pos, c.ch, stored), c.accepted) << static_cast<unsigned>(c.ch);
        if (c.accepted) {
            EXPECT_EQ(stored, c.stored);
        }
    }
    // Case directives hold from where they stand on.
    TEditMask mixed(U"L>L<L<>L");
    std::u32string display = mixed.BlankText();
    mixed.Type(display, 0, U"abCD");
    EXPECT_EQ(display, U"aBcD");
}

TEST(MaskEngine, FormattingWithAndWithoutLiterals) {
    struct Case {
        const char32_t* mask;
        const char32_t* value;
        const char32_t* display;
        const char32_t* extracted;
    };
    const Case cases[] = {
        // Literals kept in the value: each sub-field is padded or cut.
        {U"(999) 000-0000;1;_", U"(12) 345-6789", U"(12_) 345-6789", U"(12 ) 345-6789"},
        {U"00/00;1;_", U"1/23", U"1_/23", U"1 /23"},
        {U"00/00;1;_", U"", U"__/__", U""},
        // Without literals: input positions in order, the rest blank.
        {U"00-00;0;_", U"12", U"12-__", U"12"},
        {U"00-00;0;*", U"1234", U"12-34", U"1234"},
        // Right to left: filled from the right, leading blanks dropped.
        {U"!0000;0;_", U"12", U"__12", U"12"},
        {U"!00-00;1;_", U"5-7", U"_5-_7", U"5- 7"},
        // A literal underscore stays an underscore.
        {U"00_00;1;_", U"12_34", U"12_34", U"12_34"},
        {U"00\\_00;0; ", U"1234", U"12_34", U"1234"},
    };
    for (const Case& c : cases) {
        TEditMask m(c.mask);
        TMaskFill fill;
        EXPECT_EQ(m.Format(c.value, &fill), c.display);
        EXPECT_EQ(m.Extract(c.display, fill), c.extracted);
        EXPECT_EQ(m.Extract(c.display, m.FillOf(c.display)), c.extracted);
    }
}

TEST(MaskEngine, ABlankThatIsAlsoInputKeepsTheInputTyped) {
    struct Case {
        const char32_t* mask;
        const char32_t* value;
        const char32_t* display;
        const char32_t* extracted;
    };
    // "0" shows an empty position here, and is a digit one may type as well.
    const Case cases[] = {
        {U"00:00:00;1;0", U"10:30:00", U"10:30:00", U"10:30:00"},
        {U"00:00:00;1;0", U"00:00:00", U"00:00:00", U"00:00:00"},
        {U"00:00:00;1;0", U"7:05", U"70:05:00", U"7 :05:"},
        {U"0000;0;0", U"1000", U"1000", U"1000"},
        {U"0000;0;0", U"10", U"1000", U"10"},
        {U"!0000;0;0", U"10", U"0010", U"10"},
    };
    for (const Case& c : cases) {
        TEditMask m(c.mask);
        TMaskFill fill;
        EXPECT_EQ(m.Format(c.value, &fill), c.display);
        EXPECT_EQ(m.Extract(c.display, fill), c.extracted);
    }
    // Typed zeros are input, and positions cleared again are blank whatever they show.
    TEditMask time(U"00:00:00;1;0");
    TMaskFill fill;
    std::u32string display = time.Format(U"", &fill);
    EXPECT_TRUE(time.AllBlank(fill));
    time.Type(display, 0, U"0900", &fill);
    EXPECT_EQ(display, U"09:00:00");
    EXPECT_FALSE(time.AllBlank(fill));
    EXPECT_EQ(time.Extract(display, fill), U"09:00:");
    EXPECT_EQ(time.Validate(display, fill, false), 6);
    time.Type(display, 6, U"00", &fill);
    EXPECT_EQ(time.Validate(display, fill, false), -1);
    EXPECT_EQ(time.Extract(display, fill), U"09:00:00");
    display = time.Clear(display, 0, 2, &fill);
    EXPECT_EQ(time.Extract(display, fill), U"  :00:00");
    EXPECT_EQ(time.Validate(display, fill, false), 0);
    EXPECT_EQ(time.Validate(display, fill, true), -1);
}

TEST(MaskEngine, ValidateReportsTheFirstUnfilledRequiredPosition) {
    struct Case {
        const char32_t* mask;
        const char32_t* display;
        bool raw;
        int bad;
    };
    const Case cases[] = {
        {U"000;0;_", U"123", false, -1},    {U"000;0;_", U"1_3", false, 1},
        {U"000;0;_", U"1_3", true, -1},     {U"999;0;_", U"___", false, -1},
        {U"CC;0;_", U"a ", false, -1},      {U"LL;0;_", U"a ", false, 1},
        {U"90/00;1;_", U"_1/__", false, 3},
    };
    for (const Case& c : cases) {
        TEditMask m(c.mask);
        EXPECT_EQ(m.Validate(c.display, m.FillOf(c.display), c.raw), c.bad) << c.bad;
    }
}

TEST(MaskEngine, TypingSkipsLiteralsAndRefusedCharacters) {
    TEditMask m(U"00/00;1;_");
    std::u32string display = m.BlankText();
    // A typed literal moves past the next literal.
    EXPECT_EQ(m.Type(display, 0, U"1/"), 3);
    EXPECT_EQ(display, U"1_/__");
    display = m.BlankText();
    int pos = m.Type(display, 0, U"12/34");
    EXPECT_EQ(display, U"12/34");
    EXPECT_EQ(pos, 5);
    // Pasting "abc" into a digit mask leaves it blank.
    TEditMask digits(U"000");
    std::u32string blank = digits.BlankText();
    TMaskFill fill;
    digits.Type(blank, 0, U"abc", &fill);
    EXPECT_EQ(blank, U"___");
    EXPECT_TRUE(digits.AllBlank(fill));
    EXPECT_EQ(digits.Extract(blank, fill), U"");
    // Clearing blanks input positions and keeps literals.
    EXPECT_EQ(m.Clear(U"12/34", 1, 4), U"1_/_4");
    EXPECT_EQ(m.NextEditPos(2), 3);
    EXPECT_EQ(m.PrevEditPos(3), 1);
}

TEST(MaskEngine, DatesInTheShortDateFormat) {
    db::TFormatSettings saved = db::FormatSettings();
    db::FormatSettings() = db::EnglishFormatSettings();
    db::FormatSettings().DateSeparator = '.';
    db::FormatSettings().ShortDateFormat = "dd.MM.yyyy";
    TEditMask m(U"!99/99/0000;1;_", U'.');
    EXPECT_EQ(m.BlankText(), U"__.__.____");
    EXPECT_EQ(m.Format(U"25.12.2024"), U"25.12.2024");
    db::TDateTime expected;
    ASSERT_TRUE(db::TryStrToDate("25.12.2024", expected, db::FormatSettings()));
    std::optional<double> read = StrToDateVariant("25.12.2024");
    ASSERT_TRUE(read.has_value());
    EXPECT_DOUBLE_EQ(*read, expected.Value);
    // Unreadable dates are refused, never taken for today.
    EXPECT_FALSE(StrToDateVariant("31.02.2024").has_value());
    EXPECT_FALSE(StrToDateVariant("  .  .    ").has_value());
    EXPECT_FALSE(StrToDateVariant("no date").has_value());
    db::FormatSettings() = saved;
}

}  // namespace
}  // namespace grid
