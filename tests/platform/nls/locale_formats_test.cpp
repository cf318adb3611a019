#include <gtest/gtest.h>

#include <string>

#include "platform/nls/nls.h"

namespace platform::nls {
namespace {

TEST(LocaleFormats, EnglishUsa) {
    const auto f = GetLocaleFormats(0x0409);
    ASSERT_TRUE(f.has_value());
    EXPECT_EQ(f->currency_string, "$");
    EXPECT_EQ(f->currency_format, 0);
    EXPECT_EQ(f->thousand_separator, ',');
    EXPECT_EQ(f->decimal_separator, '.');
    EXPECT_EQ(f->currency_decimals, 2);
    EXPECT_EQ(f->date_separator, '/');
    EXPECT_EQ(f->short_date_format, "M/d/yyyy");
    EXPECT_EQ(f->long_date_format, "dddd, MMMM d, yyyy");
    EXPECT_EQ(f->time_separator, ':');
    EXPECT_TRUE(f->twelve_hour_clock);
    EXPECT_FALSE(f->hour_leading_zero);
    EXPECT_EQ(f->short_time_format, "h:mm AMPM");
    EXPECT_EQ(f->long_time_format, "h:mm:ss AMPM");
    EXPECT_EQ(f->time_am_string, "AM");
    EXPECT_EQ(f->long_month_names[0], "January");
    EXPECT_EQ(f->short_month_names[11], "Dec");
    EXPECT_EQ(f->long_day_names[0], "Sunday");
    EXPECT_EQ(f->short_day_names[6], "Sat");
}

TEST(LocaleFormats, GermanInWindows1252) {
    for (SortId sort : {kSortDefault, kSortGermanPhoneBook}) {
        const auto f = GetLocaleFormats(MakeLocaleId(0x0407, sort));
        ASSERT_TRUE(f.has_value());
        EXPECT_EQ(f->currency_string, "\x80");  // €
        EXPECT_EQ(f->currency_format, 3);       // 1 €
        EXPECT_EQ(f->thousand_separator, '.');
        EXPECT_EQ(f->decimal_separator, ',');
        EXPECT_EQ(f->date_separator, '.');
        EXPECT_EQ(f->short_date_format, "dd.MM.yyyy");
        EXPECT_FALSE(f->twelve_hour_clock);
        EXPECT_EQ(f->short_time_format, "hh:mm");
        EXPECT_EQ(f->long_month_names[2], "M\xE4rz");
        EXPECT_EQ(f->long_day_names[1], "Montag");
    }
}

TEST(LocaleFormats, NamesAreInTheLocalesCodePage) {
    const auto ru = GetLocaleFormats(0x0419);
    ASSERT_TRUE(ru.has_value());
    // The rouble sign is not in Windows-1251: the ISO code stands in for it.
    EXPECT_EQ(ru->currency_string, "RUB");
    // French (Canadian) writes "14 h 30"; a blank cannot separate the time.
    EXPECT_EQ(GetLocaleFormats(0x0C0C)->time_separator, ':');
    EXPECT_EQ(ru->long_month_names[0], "\xFF\xED\xE2\xE0\xF0\xFC");  // январь
    const auto vi = GetLocaleFormats(0x042A);
    ASSERT_TRUE(vi.has_value());
    // "Chủ Nhật": ủ and ậ as base letter plus combining mark.
    EXPECT_EQ(vi->long_day_names[0], "Chu\xD2 Nh\xE2\xF2t");
}

TEST(LocaleFormats, EveryLocaleHasUsableMasks) {
    for (const LanguageInfo& l : Languages()) {
        if (l.id == kLanguageAnsi)
            continue;
        SCOPED_TRACE(l.name);
        const auto f = GetLocaleFormats(l.id);
        ASSERT_TRUE(f.has_value());
        for (const std::string* mask : {&f->short_date_format, &f->long_date_format}) {
            EXPECT_NE(mask->find("yyyy"), std::string::npos) << *mask;
            EXPECT_NE(mask->find('M'), std::string::npos) << *mask;
            EXPECT_NE(mask->find('d'), std::string::npos) << *mask;
        }
        EXPECT_NE(f->decimal_separator, f->thousand_separator);
        // Separators are parsed too: never a blank or a letter.
        EXPECT_NE(std::string("./-:").find(f->date_separator), std::string::npos);
        EXPECT_NE(std::string("./-:").find(f->time_separator), std::string::npos);
        EXPECT_LE(f->currency_format, 3);
        EXPECT_LE(f->negative_currency_format, 15);
        EXPECT_FALSE(f->currency_string.empty());
        for (const auto& n : f->long_month_names)
            EXPECT_FALSE(n.empty());
        for (const auto& n : f->short_day_names)
            EXPECT_FALSE(n.empty());
        // Every byte must be defined in the code page.
        EXPECT_TRUE(BytesToUtf8(l.code_page, f->long_date_format + f->long_day_names[3]).ok());
    }
}

TEST(LocaleFormats, LanguageZeroAndUnknownLocalesHaveNone) {
    EXPECT_FALSE(GetLocaleFormats(0).has_value());
    EXPECT_FALSE(GetLocaleFormats(0x0411).has_value());
    EXPECT_FALSE(GetLocaleFormats(MakeLocaleId(0x0409, 1)).has_value());
}

}  // namespace
}  // namespace platform::nls
