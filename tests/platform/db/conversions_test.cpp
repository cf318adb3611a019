#include "platform/db/conversions.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace db {
namespace {

TFormatSettings Us() {
    return EnglishFormatSettings();
}

TFormatSettings German() {
    TFormatSettings f = EnglishFormatSettings();
    f.DecimalSeparator = ',';
    f.ThousandSeparator = '.';
    f.DateSeparator = '.';
    f.ShortDateFormat = "dd.MM.yyyy";
    f.CurrencyString = "EUR";
    f.CurrencyFormat = 3;
    f.NegCurrFormat = 8;
    return f;
}

TFormatSettings Iso() {
    TFormatSettings f = EnglishFormatSettings();
    f.DateSeparator = '-';
    f.ShortDateFormat = "yyyy-mm-dd";
    f.LongTimeFormat = "hh:mm:ss";
    return f;
}

TEST(Conversions, IntegersParseWithRangeChecks) {
    struct Case {
        const char* text;
        bool ok;
        std::int32_t value;
    };
    const Case cases[] = {
        {"0", true, 0},
        {"  42", true, 42},
        {"-2147483648", true, std::numeric_limits<std::int32_t>::min()},
        {"2147483647", true, std::numeric_limits<std::int32_t>::max()},
        {"2147483648", false, 0},
        {"-2147483649", false, 0},
        {"+7", true, 7},
        {"$FF", true, 255},
        {"0x10", true, 16},
        {"$7FFFFFFF", true, 2147483647},
        {"$FFFFFFFF", false, 0},
        {"-$10", true, -16},
        {"", false, 0},
        {"12a", false, 0},
        {"1 ", false, 0},
        {"-", false, 0},
        {"99999999999999999999999", false, 0},
    };
    for (const Case& c : cases) {
        std::int32_t value = -1;
        EXPECT_EQ(TryStrToInt(c.text, value), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(value, c.value) << c.text;
        }
    }
    try {
        StrToInt("abc");
        FAIL();
    } catch (const EConvertError& e) {
        EXPECT_STREQ(e.what(), "'abc' is not a valid integer value");
    }
    EXPECT_EQ(StrToInt64("-9223372036854775808"), std::numeric_limits<std::int64_t>::min());
}

TEST(Conversions, FloatsFollowTheDecimalSeparator) {
    EXPECT_DOUBLE_EQ(StrToFloat("1.5", Us()), 1.5);
    EXPECT_DOUBLE_EQ(StrToFloat(" -1.5e3 ", Us()), -1500.0);
    EXPECT_DOUBLE_EQ(StrToFloat(".5", Us()), 0.5);
    EXPECT_DOUBLE_EQ(StrToFloat("1,5", German()), 1.5);
    double v = 0;
    EXPECT_FALSE(TryStrToFloat("1,5", v, Us()));
    EXPECT_FALSE(TryStrToFloat("1.5", v, German()));
    EXPECT_FALSE(TryStrToFloat("1e999", v, Us()));
    EXPECT_FALSE(TryStrToFloat("e5", v, Us()));
    EXPECT_FALSE(TryStrToFloat("1e", v, Us()));
    EXPECT_FALSE(TryStrToFloat("1,000", v, Us()));
    EXPECT_TRUE(TryStrToFloat("1e-999", v, Us()));
    EXPECT_EQ(v, 0.0);
    try {
        StrToFloat("x", Us());
        FAIL();
    } catch (const EConvertError& e) {
        EXPECT_STREQ(e.what(), "'x' is not a valid floating point value");
    }
}

TEST(Conversions, CurrencyParsesExactlyAndRoundsHalfAwayFromZero) {
    struct Case {
        const char* text;
        bool ok;
        std::int64_t raw;
    };
    const Case cases[] = {
        {"1.5", true, 15000},
        {"-1234.50", true, -12345000},
        {"0.00005", true, 1},
        {"-0.00005", true, -1},
        {"0.00004", true, 0},
        {"1.23456", true, 12346},
        {"922337203685477.5807", true, std::numeric_limits<std::int64_t>::max()},
        {"-922337203685477.5808", true, std::numeric_limits<std::int64_t>::min()},
        {"922337203685477.5808", false, 0},
        {"1e3", true, 10000000},
        {"1e30", false, 0},
        {"0000000000000000000000000000000000000000000000000001.5", true, 15000},
        {"0.000000000000000000000000000000000000000000000001", true, 0},
        {"1e-100000000", true, 0},
        {"abc", false, 0},
    };
    for (const Case& c : cases) {
        Currency value;
        EXPECT_EQ(TryStrToCurr(c.text, value, Us()), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(value.Raw(), c.raw) << c.text;
        }
    }
}

TEST(Conversions, FloatToStrUsesTheGeneralFormat) {
    struct Case {
        double value;
        const char* text;
    };
    const Case cases[] = {
        {0.0, "0"},
        {1.5, "1.5"},
        {-1.5, "-1.5"},
        {100.0, "100"},
        {1e15, "1E15"},
        {1e14, "100000000000000"},
        {1.5e-7, "1.5E-7"},
        {0.0001, "0.0001"},
        {0.00001, "1E-5"},
        {0.1 + 0.2, "0.3"},
        {1.0 / 3, "0.333333333333333"},
        {std::numeric_limits<double>::infinity(), "INF"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FloatToStr(c.value, Us()), c.text) << c.value;
    }
    EXPECT_EQ(FloatToStr(2.5, German()), "2,5");
    EXPECT_EQ(FloatToStr(std::nan(""), Us()), "NAN");
}

TEST(Conversions, FloatToStrFFormats) {
    const TFormatSettings us = Us();
    EXPECT_EQ(FloatToStrF(1234.5678, TFloatFormat::ffFixed, 15, 2, us), "1234.57");
    EXPECT_EQ(FloatToStrF(1234.5678, TFloatFormat::ffNumber, 15, 2, us), "1,234.57");
    EXPECT_EQ(FloatToStrF(-1234.5, TFloatFormat::ffCurrency, 15, 2, us), "($1,234.50)");
    EXPECT_EQ(FloatToStrF(1234.5, TFloatFormat::ffCurrency, 15, 2, us), "$1,234.50");
    EXPECT_EQ(FloatToStrF(-1234.5, TFloatFormat::ffCurrency, 15, 2, German()), "-1.234,50 EUR");
    EXPECT_EQ(FloatToStrF(1234.5, TFloatFormat::ffExponent, 4, 2, us), "1.235E+03");
    EXPECT_EQ(FloatToStrF(-0.001, TFloatFormat::ffFixed, 15, 2, us), "0.00");
    EXPECT_EQ(FloatToStrF(1.005, TFloatFormat::ffFixed, 15, 2, us), "1.01");
}

TEST(Conversions, FormatFloatMasks) {
    struct Case {
        const char* mask;
        double value;
        const char* text;
    };
    const Case cases[] = {
        {"0.00", 1234.5, "1234.50"},
        {"#,##0.00", 1234567.891, "1,234,567.89"},
        {"#,##0.00", -1234.5, "-1,234.50"},
        {"#.##", 0.5, ".5"},
        {"0.##", 1.0, "1"},
        {"0.##", 1.236, "1.24"},
        {"000", 7.0, "007"},
        {"#", 0.0, ""},
        {"0", 2.5, "3"},
        {"0", -2.5, "-3"},
        {"0.00", 1.005, "1.01"},
        {"0.00", -0.001, "0.00"},
        {"0.00;(0.00)", -5.0, "(5.00)"},
        {"0.00;(0.00);zero", 0.0, "zero"},
        {"0.00;;zero", 0.001, "zero"},
        {"0.00E+00", 1234.5, "1.23E+03"},
        {"0.0E-0", 0.000123, "1.2E-4"},
        {"'$'#,##0", 1234.0, "$1,234"},
        {"\"abc\"0", 5.0, "abc5"},
        {"##############0", 12.0, "12"},
        {"##############0.00", 12.3456, "12.35"},
        {"", 1.5, "1.5"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FormatFloat(c.mask, c.value, Us()), c.text) << c.mask << " " << c.value;
    }
    EXPECT_EQ(FormatFloat("#,##0.00", 1234.5, German()), "1.234,50");
}

TEST(Conversions, CurrencyFormatsExactly) {
    const Currency big = Currency::FromRaw(std::numeric_limits<std::int64_t>::max());
    EXPECT_EQ(CurrToStr(big, Us()), "922337203685477.5807");
    EXPECT_EQ(CurrToStr(Currency::FromRaw(std::numeric_limits<std::int64_t>::min()), Us()),
              "-922337203685477.5808");
    EXPECT_EQ(CurrToStr(Currency::FromRaw(15000), Us()), "1.5");
    EXPECT_EQ(CurrToStrF(Currency::FromRaw(-12345000), TFloatFormat::ffFixed, 2, Us()), "-1234.50");
    EXPECT_EQ(FormatCurr("0.00", Currency::FromRaw(10050), Us()), "1.01");
    EXPECT_EQ(FormatCurr("0.00", Currency::FromRaw(-10050), Us()), "-1.01");
}

TEST(Conversions, DatesParseInTheOrderOfTheShortDateFormat) {
    struct Case {
        TFormatSettings format;
        const char* text;
        bool ok;
        int year, month, day;
    };
    const Case cases[] = {
        {Us(), "2/3/2001", true, 2001, 2, 3},     {Us(), " 2 / 3 / 2001 ", true, 2001, 2, 3},
        {German(), "3.2.2001", true, 2001, 2, 3}, {Iso(), "2001-02-03", true, 2001, 2, 3},
        {Iso(), "2001-02-30", false, 0, 0, 0},    {Iso(), "2001/02/03", false, 0, 0, 0},
        {Us(), "2/3/01", true, 2001, 2, 3},       {Us(), "13/1/2001", false, 0, 0, 0},
        {Us(), "2/3/2001 x", false, 0, 0, 0},     {Us(), "", false, 0, 0, 0},
        {Us(), "20011/1/1", false, 0, 0, 0},
    };
    for (const Case& c : cases) {
        TDateTime value;
        EXPECT_EQ(TryStrToDate(c.text, value, c.format), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(value, EncodeDate(c.year, c.month, c.day)) << c.text;
        }
    }
    try {
        StrToDate("x", Us());
        FAIL();
    } catch (const EConvertError& e) {
        EXPECT_STREQ(e.what(), "'x' is not a valid date");
    }
}

TEST(Conversions, TwoDigitYearsFollowTheCenturyWindow) {
    TFormatSettings f = Us();
    int current = 0, m = 0, d = 0;
    DecodeDate(Date(), current, m, d);
    const int two_digits = (current + 10) % 100;  // ten years ahead: before the window base
    TDateTime value;
    ASSERT_TRUE(TryStrToDate("1/1/" + std::to_string(two_digits), value, f));
    int y = 0;
    DecodeDate(value, y, m, d);
    EXPECT_EQ(y, current + 10);
    ASSERT_TRUE(TryStrToDate("1/1/" + std::to_string((current - 60 + 100) % 100), value, f));
    DecodeDate(value, y, m, d);
    EXPECT_EQ(y, current + 40);
}

TEST(Conversions, TimesParseWithSeparatorsAndAmPm) {
    struct Case {
        const char* text;
        bool ok;
        int hour, minute, second, msec;
    };
    const Case cases[] = {
        {"13:14:15", true, 13, 14, 15, 0},   {"1:02", true, 1, 2, 0, 0},
        {"10", true, 10, 0, 0, 0},           {"1:02 PM", true, 13, 2, 0, 0},
        {"12:00 AM", true, 0, 0, 0, 0},      {"12:00 pm", true, 12, 0, 0, 0},
        {"PM 3:00", true, 15, 0, 0, 0},      {"13:00 PM", false, 0, 0, 0, 0},
        {"24:00", false, 0, 0, 0, 0},        {"10:60", false, 0, 0, 0, 0},
        {"10:00:00.5", true, 10, 0, 0, 500}, {"10:00:00.123", true, 10, 0, 0, 123},
        {"10:", false, 0, 0, 0, 0},
    };
    for (const Case& c : cases) {
        TDateTime value;
        EXPECT_EQ(TryStrToTime(c.text, value, Us()), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(DateTimeToTimeStamp(value).Time,
                      DateTimeToTimeStamp(EncodeTime(c.hour, c.minute, c.second, c.msec)).Time)
                << c.text;
        }
    }
}

TEST(Conversions, DateTimesTakeADateAndAnOptionalTime) {
    TDateTime value;
    ASSERT_TRUE(TryStrToDateTime("2001-02-03 13:14:15", value, Iso()));
    EXPECT_EQ(value, CombineDateTime(EncodeDate(2001, 2, 3), EncodeTime(13, 14, 15, 0)));
    ASSERT_TRUE(TryStrToDateTime("2001-02-03", value, Iso()));
    EXPECT_EQ(value, EncodeDate(2001, 2, 3));
    ASSERT_TRUE(TryStrToDateTime("13:14", value, Iso()));
    EXPECT_EQ(value, EncodeTime(13, 14, 0, 0));
    EXPECT_FALSE(TryStrToDateTime("2001-02-03 25:00", value, Iso()));
    EXPECT_THROW(StrToDateTime("soon", Iso()), EConvertError);
}

TEST(Conversions, FormatDateTimeMasks) {
    const TDateTime value = CombineDateTime(EncodeDate(2001, 2, 3), EncodeTime(13, 4, 5, 6));
    struct Case {
        const char* mask;
        const char* text;
    };
    const Case cases[] = {
        {"yyyy-mm-dd", "2001-02-03"},
        {"d/m/yy", "3/2/01"},
        {"dddd, mmmm d, yyyy", "Saturday, February 3, 2001"},
        {"ddd mmm", "Sat Feb"},
        {"hh:nn:ss.zzz", "13:04:05.006"},
        {"h:mm", "13:04"},
        {"h:mm am/pm", "1:04 pm"},
        {"h:mm AM/PM", "1:04 PM"},
        {"h:mm a/p", "1:04 p"},
        {"hh:mm ampm", "01:04 PM"},
        {"\"at\" h 'o''clock'", "at 13 oclock"},
        {"ddddd", "2/3/2001"},
        {"t", "1:04 PM"},
        {"tt", "1:04:05 PM"},
        {"c", "2/3/2001 1:04:05 PM"},
        {"mm/dd/yyyy", "02/03/2001"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FormatDateTime(c.mask, value, Us()), c.text) << c.mask;
    }
    EXPECT_EQ(FormatDateTime("c", EncodeDate(2001, 2, 3), Us()), "2/3/2001");
    EXPECT_EQ(FormatDateTime("yyyy/mm/dd hh:nn", value, German()), "2001.02.03 13:04");
    EXPECT_EQ(DateTimeToStr(value, Iso()), "2001-02-03 13:04:05");
    EXPECT_EQ(DateToStr(value, Iso()), "2001-02-03");
    EXPECT_EQ(TimeToStr(value, Iso()), "13:04:05");
}

TEST(Conversions, SelfReferringMasksStop) {
    TFormatSettings f = Us();
    f.ShortDateFormat = "ddddd";
    EXPECT_NO_THROW(FormatDateTime("c", EncodeDate(2001, 2, 3), f));
}

TEST(FormatSettingsTest, LocalesFillWhatTheyGiveAndFallBackElsewhere) {
    const TFormatSettings english = EnglishFormatSettings();
    EXPECT_EQ(english.ShortDateFormat, "M/d/yyyy");
    EXPECT_EQ(english.LongMonthNames[0], "January");
    EXPECT_EQ(english.ShortDayNames[6], "Sat");
    EXPECT_EQ(LocaleFormatSettings(0), english);
    EXPECT_EQ(LocaleFormatSettings(platform::nls::MakeLocaleId(0x7777, 0)), english);
    const TFormatSettings german = LocaleFormatSettings(platform::nls::MakeLocaleId(0x0407, 0));
    EXPECT_EQ(german.DecimalSeparator, ',');
    EXPECT_NE(german.LongMonthNames[0], "January");
    EXPECT_TRUE(german.LongTimeFormat.starts_with("h"));
    // A locale's masks parse what they format.
    const TDateTime day = EncodeDate(2001, 2, 3);
    EXPECT_EQ(StrToDate(DateToStr(day, german), german), day);
    const TFormatSettings us = LocaleFormatSettings(platform::nls::MakeLocaleId(0x0409, 0));
    EXPECT_TRUE(us.LongTimeFormat.ends_with(" AMPM"));
}

}  // namespace
}  // namespace db
