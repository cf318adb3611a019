#include "engine/storage/value_convert.h"
#include "engine/storage/byte_order.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "engine/storage/data_types.h"
#include "engine/storage/decimal.h"
#include "engine/storage/exp_token.h"
#include "platform/db/conversions.h"

namespace strata {
namespace {

using Buffer = std::array<std::byte, kValueBufferSize>;

const db::TFormatSettings& Fixed() {
    static const db::TFormatSettings fixed = FixedFormatSettings();
    return fixed;
}

Buffer TextBuffer(std::string_view text) {
    Buffer b{};
    std::memcpy(b.data(), text.data(), text.size());
    return b;
}

std::string Text(const Buffer& b) {
    return reinterpret_cast<const char*>(b.data());
}

std::int32_t DayNumber(int y, int m, int d) {
    return DateTimeToEngineDate(db::EncodeDate(y, m, d));
}

TEST(DataTypes, EngineEncodingsOfDatesAndTimes) {
    EXPECT_EQ(DayNumber(1, 1, 1), 1);
    EXPECT_EQ(DayNumber(1899, 12, 30), db::DateDelta);
    const db::TDateTime first_ms =
        db::CombineDateTime(db::EncodeDate(1, 1, 1), db::EncodeTime(0, 0, 0, 1));
    EXPECT_EQ(DateTimeToEngineTimestamp(first_ms), 86400000.0 + 1);
    EXPECT_EQ(EngineTimestampToDateTime(86400000.0 + 1), first_ms);
    EXPECT_EQ(DateTimeToEngineTime(db::EncodeTime(13, 14, 15, 16)), 47655016);
    EXPECT_EQ(EngineDateToDateTime(DayNumber(2001, 2, 3)), db::EncodeDate(2001, 2, 3));
    EXPECT_THROW(EngineDateToDateTime(0), db::EConvertError);
    EXPECT_THROW(EngineTimestampToDateTime(std::nan("")), db::EConvertError);
}

TEST(DataTypes, NormalizeBoolean) {
    EXPECT_EQ(NormalizeBoolean(0xFFFF), 1);
    EXPECT_EQ(NormalizeBoolean(0), 0);
    EXPECT_EQ(NormalizeBoolean(1), 1);
    EXPECT_EQ(NormalizeBoolean(2), 1);
}

TEST(DataTypes, FixedFormatsReadAndWriteTheSameEverywhere) {
    const db::TFormatSettings f = FixedFormatSettings();
    EXPECT_EQ(f.ShortDateFormat, "yyyy-mm-dd");
    EXPECT_EQ(f.DateSeparator, '-');
    EXPECT_EQ(f.DecimalSeparator, '.');
    EXPECT_EQ(f.LongTimeFormat, "hh:mm:ss");
    EXPECT_TRUE(f.CurrencyString.empty());
    EXPECT_EQ(f.LongMonthNames[11], "December");
    db::TFormatSettings loaded;
    LoadLocaleFormats(0, 0, loaded);
    EXPECT_EQ(loaded, f);
    LoadLocaleFormats(0x0407, 0, loaded);
    EXPECT_EQ(loaded.DecimalSeparator, ',');
}

TEST(DataTypes, LocaleFormatScopeSwapsAndRestores) {
    const db::TFormatSettings before = db::FormatSettings();
    {
        LocaleFormatScope scope(0, 0);
        EXPECT_EQ(db::FormatSettings().ShortDateFormat, "yyyy-mm-dd");
        EXPECT_EQ(scope.Formats().DateSeparator, '-');
        // Nested swaps on one thread are allowed (the lock is re-entrant).
        LocaleFormatScope inner(0x0407, 0);
        EXPECT_EQ(db::FormatSettings().DecimalSeparator, ',');
    }
    EXPECT_EQ(db::FormatSettings(), before);
}

TEST(DataTypes, ConcurrentSwapsNeverSeeEachOthersFormats) {
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) {
        threads.emplace_back([i] {
            const LanguageId language = i % 2 == 0 ? 0 : 0x0407;
            const char separator = language == 0 ? '.' : ',';
            for (int n = 0; n < 200; ++n) {
                LocaleFormatScope scope(language, 0);
                EXPECT_EQ(db::FormatSettings().DecimalSeparator, separator);
                Buffer b{};
                StoreDouble(b.data(), 1.5);
                ASSERT_TRUE(ConvertValue(kTypeFloat, 8, 0, b, 0, 10, kTypeString));
                EXPECT_EQ(Text(b), language == 0 ? "1.5" : "1,5");
            }
        });
    }
    for (std::thread& t : threads) {
        t.join();
    }
}

TEST(DataTypes, TextToDateTimeValueAnswersFalseAndNeverThrows) {
    std::array<std::byte, 8> v{};
    ASSERT_TRUE(TextToDateTimeValue("2001-02-03", kTypeDate, v, Fixed()));
    EXPECT_EQ(LoadInt32(v.data()), DayNumber(2001, 2, 3));
    ASSERT_TRUE(TextToDateTimeValue("00:00:01", kTypeTime, v, Fixed()));
    EXPECT_EQ(LoadInt32(v.data()), 1000);
    ASSERT_TRUE(TextToDateTimeValue("0001-01-01 00:00:01", kTypeTimestamp, v, Fixed()));
    EXPECT_EQ(LoadDouble(v.data()), 86400000.0 + 1000);
    const std::array<std::byte, 8> before = v;
    EXPECT_FALSE(TextToDateTimeValue("2001-02-30", kTypeDate, v, Fixed()));
    EXPECT_FALSE(TextToDateTimeValue("noon", kTypeTime, v, Fixed()));
    EXPECT_FALSE(TextToDateTimeValue("2001-02-03", kTypeInteger, v, Fixed()));
    EXPECT_FALSE(TextToDateTimeValue("2001-02-03", kTypeTimestamp, std::span(v).first(4), Fixed()));
    EXPECT_EQ(v, before);
    // A table language's own order and separator.
    db::TFormatSettings german;
    LoadLocaleFormats(0x0407, 0, german);
    ASSERT_TRUE(TextToDateTimeValue("03.02.2001", kTypeDate, v, german));
    EXPECT_EQ(LoadInt32(v.data()), DayNumber(2001, 2, 3));
}

TEST(DataTypes, ValueTextValidation) {
    struct Case {
        const char* text;
        EngineDataType type;
        bool ok;
    };
    const Case cases[] = {
        {"", kTypeInteger, true},         {"anything", kTypeString, true},
        {"anything", kTypeBytes, true},   {"12", kTypeSmallInt, true},
        {"40000", kTypeSmallInt, false},  {"40000", kTypeWord, true},
        {"1.5", kTypeFloat, true},        {"1,5", kTypeFloat, false},
        {"12.34", kTypeBCD, true},        {"maybe", kTypeBoolean, false},
        {"date", kTypeDate, true},        {"2001-02-03", kTypeDate, true},
        {"2001-02-30", kTypeDate, false}, {"Time", kTypeTime, true},
        {"now", kTypeTimestamp, true},    {"2001-02-03 10:00", kTypeTimestamp, true},
        {"10:00", kTypeTimestamp, true},  {"now", kTypeDate, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(IsValidValueText(c.text, c.type, Fixed()), c.ok) << c.text;
    }
}

TEST(ConvertValue, StringsAreCutToTheDestinationSize) {
    Buffer b = TextBuffer("abcdefghijkl");
    ASSERT_TRUE(ConvertValue(kTypeString, 13, 0, b, 0, 6, kTypeString, Fixed()));
    EXPECT_EQ(Text(b), "abcde");
    EXPECT_EQ(b[5], std::byte{0});
    EXPECT_EQ(b[11], std::byte{0});  // nothing of the old text is left behind
}

TEST(ConvertValue, DatesThroughTextWithLanguageZeroFormats) {
    Buffer b{};
    StoreInt32(b.data(), DayNumber(2001, 2, 3));
    ASSERT_TRUE(ConvertValue(kTypeDate, 4, 0, b, 0, 11, kTypeString, Fixed()));
    EXPECT_EQ(Text(b), "2001-02-03");
    ASSERT_TRUE(ConvertValue(kTypeString, 11, 0, b, 0, 4, kTypeDate, Fixed()));
    EXPECT_EQ(LoadInt32(b.data()), DayNumber(2001, 2, 3));

    StoreDouble(b.data(), static_cast<double>(DayNumber(2001, 2, 3)) * kMSecsPerDay);
    ASSERT_TRUE(ConvertValue(kTypeTimestamp, 8, 0, b, 0, 30, kTypeString, Fixed()));
    EXPECT_EQ(Text(b), "2001-02-03");  // midnight leaves the time out
    b = Buffer{};
    StoreDouble(b.data(), static_cast<double>(DayNumber(2001, 2, 3)) * kMSecsPerDay + 3723000);
    ASSERT_TRUE(ConvertValue(kTypeTimestamp, 8, 0, b, 0, 30, kTypeString, Fixed()));
    EXPECT_EQ(Text(b), "2001-02-03 01:02:03");
    b = Buffer{};
    StoreInt32(b.data(), 3723000);
    ASSERT_TRUE(ConvertValue(kTypeTime, 4, 0, b, 0, 30, kTypeString, Fixed()));
    EXPECT_EQ(Text(b), "01:02:03");
}

// Past 9999-12-31 (a date moved on by arithmetic) or before 0001-01-01 there is no text: the
// conversion fails instead of writing a made-up date such as 0000--00.
TEST(ConvertValue, DatesOutsideTheCalendarHaveNoText) {
    const std::int32_t last = DayNumber(9999, 12, 31);
    Buffer b{};
    StoreInt32(b.data(), last);
    ASSERT_TRUE(ConvertValue(kTypeDate, 4, 0, b, 0, 21, kTypeString, Fixed()));
    EXPECT_EQ(Text(b), "9999-12-31");
    for (const std::int32_t day : {last + 1, std::numeric_limits<std::int32_t>::max(), 0, -5}) {
        SCOPED_TRACE(day);
        b = Buffer{};
        StoreInt32(b.data(), day);
        EXPECT_FALSE(ConvertValue(kTypeDate, 4, 0, b, 0, 21, kTypeString, Fixed()));
        EXPECT_THROW(EngineDateToDateTime(day), db::EConvertError);
        b = Buffer{};
        StoreDouble(b.data(), static_cast<double>(day) * kMSecsPerDay + 3723000);
        EXPECT_FALSE(ConvertValue(kTypeTimestamp, 8, 0, b, 0, 30, kTypeString, Fixed()));
    }
    // A timestamp's day is that of its value rounded to the millisecond, at both ends.
    b = Buffer{};
    StoreDouble(b.data(), kMSecsPerDay - 0.3);
    ASSERT_TRUE(ConvertValue(kTypeTimestamp, 8, 0, b, 0, 30, kTypeString, Fixed()));
    EXPECT_EQ(Text(b), "0001-01-01");
    b = Buffer{};
    StoreDouble(b.data(), (last + 1) * kMSecsPerDay - 0.3);
    EXPECT_FALSE(ConvertValue(kTypeTimestamp, 8, 0, b, 0, 30, kTypeString, Fixed()));
}

TEST(ConvertValue, DateTimestampAndTime) {
    Buffer b{};
    StoreInt32(b.data(), 1);
    ASSERT_TRUE(ConvertValue(kTypeDate, 4, 0, b, 0, 8, kTypeTimestamp, Fixed()));
    EXPECT_EQ(LoadDouble(b.data()), 86400000.0);
    StoreDouble(b.data(), 5 * 86400000.0 + 1234);
    Buffer t = b;
    ASSERT_TRUE(ConvertValue(kTypeTimestamp, 8, 0, b, 0, 4, kTypeDate, Fixed()));
    EXPECT_EQ(LoadInt32(b.data()), 5);
    ASSERT_TRUE(ConvertValue(kTypeTimestamp, 8, 0, t, 0, 4, kTypeTime, Fixed()));
    EXPECT_EQ(LoadInt32(t.data()), 1234);
    StoreDouble(b.data(), std::numeric_limits<double>::infinity());
    EXPECT_FALSE(ConvertValue(kTypeTimestamp, 8, 0, b, 0, 4, kTypeDate, Fixed()));
    Buffer time{};
    StoreInt32(time.data(), 1000);
    ASSERT_TRUE(ConvertValue(kTypeTime, 4, 0, time, 0, 8, kTypeTimestamp, Fixed()));
    EXPECT_EQ(LoadDouble(time.data()), db::DateDelta * 86400000.0 + 1000);
}

TEST(ConvertValue, NumbersAreRangeCheckedNeverWrapped) {
    struct Case {
        double value;
        EngineDataType to;
        bool ok;
        std::int64_t expected;
    };
    const Case cases[] = {
        {2.5, kTypeInteger, true, 3},
        {-2.5, kTypeInteger, true, -3},
        {2147483647.4, kTypeInteger, true, 2147483647},
        {2147483647.5, kTypeInteger, false, 0},
        {-2147483648.0, kTypeInteger, true, -2147483648LL},
        {1e300, kTypeInteger, false, 0},
        {std::nan(""), kTypeInteger, false, 0},
        {std::numeric_limits<double>::infinity(), kTypeSmallInt, false, 0},
        {32767.0, kTypeSmallInt, true, 32767},
        {32768.0, kTypeSmallInt, false, 0},
        {-0.4, kTypeWord, true, 0},
        {-1.0, kTypeWord, false, 0},
        {65535.0, kTypeWord, true, 65535},
        {65535.5, kTypeWord, false, 0},
    };
    for (const Case& c : cases) {
        Buffer b{};
        StoreDouble(b.data(), c.value);
        const Buffer before = b;
        EXPECT_EQ(ConvertValue(kTypeFloat, 8, 0, b, 0, 0, c.to, Fixed()), c.ok) << c.value;
        if (!c.ok) {
            EXPECT_EQ(b, before);
            continue;
        }
        const std::int64_t got = c.to == kTypeInteger    ? LoadInt32(b.data())
                                 : c.to == kTypeSmallInt ? LoadInt16(b.data())
                                                         : LoadUInt16(b.data());
        EXPECT_EQ(got, c.expected) << c.value;
    }
    Buffer b{};
    StoreInt32(b.data(), 70000);
    EXPECT_FALSE(ConvertValue(kTypeInteger, 4, 0, b, 0, 0, kTypeSmallInt, Fixed()));
    StoreInt16(b.data(), -1);
    EXPECT_FALSE(ConvertValue(kTypeSmallInt, 2, 0, b, 0, 0, kTypeWord, Fixed()));
    StoreUInt16(b.data(), 65535);
    ASSERT_TRUE(ConvertValue(kTypeWord, 2, 0, b, 0, 0, kTypeInteger, Fixed()));
    EXPECT_EQ(LoadInt32(b.data()), 65535);
}

TEST(ConvertValue, ScaledDecimals) {
    Buffer b{};
    StoreDouble(b.data(), 1.5);
    ASSERT_TRUE(ConvertValue(kTypeFloat, 8, 0, b, 1, 8, kTypeBCD, Fixed()));
    EXPECT_EQ(LoadInt64(b.data()), 151);
    // BCD to integer rounds half away from zero.
    ASSERT_TRUE(ConvertValue(kTypeBCD, 8, 1, b, 0, 4, kTypeInteger, Fixed()));
    EXPECT_EQ(LoadInt32(b.data()), 2);
    StoreInt64(b.data(), -123451);  // -1234.5 at scale 1
    ASSERT_TRUE(ConvertValue(kTypeBCD, 8, 1, b, 0, 30, kTypeString, Fixed()));
    EXPECT_EQ(Text(b), "-1234.5");
    ASSERT_TRUE(ConvertValue(kTypeString, 30, 0, b, 2, 8, kTypeBCD, Fixed()));
    EXPECT_EQ(LoadInt64(b.data()), -1234502);
    // Re-scaling keeps keys comparable: 12.3 at scale 1 becomes 12.30 at scale 2.
    StoreInt64(b.data(), 1231);
    ASSERT_TRUE(ConvertValue(kTypeBCD, 8, 1, b, 2, 8, kTypeBCD, Fixed()));
    EXPECT_EQ(LoadInt64(b.data()), 12302);
    StoreInt32(b.data(), 7);
    ASSERT_TRUE(ConvertValue(kTypeInteger, 4, 0, b, 0, 8, kTypeBCD, Fixed()));
    EXPECT_EQ(LoadInt64(b.data()), 70);
    StoreDouble(b.data(), 1e20);
    EXPECT_FALSE(ConvertValue(kTypeFloat, 8, 0, b, 2, 8, kTypeBCD, Fixed()));
    // Too large for a currency value: refused rather than wrapped.
    StoreInt64(b.data(), 1000000000000000000LL);
    EXPECT_FALSE(ConvertValue(kTypeBCD, 8, 0, b, 0, 8, kTypeFloat, Fixed()));
    Buffer zero{};
    StoreInt64(zero.data(), 3);  // 0 at scale 3
    ASSERT_TRUE(ConvertValue(kTypeBCD, 8, 3, zero, 0, 30, kTypeString, Fixed()));
    EXPECT_EQ(Text(zero), "0.000");
}

TEST(ConvertValue, TextToNumbersAndBooleans) {
    struct Case {
        const char* text;
        EngineDataType to;
        bool ok;
    };
    const Case cases[] = {
        {"12", kTypeSmallInt, true},     {"70000", kTypeSmallInt, false},
        {"-1", kTypeWord, false},        {"1.5", kTypeInteger, false},
        {"1.5", kTypeFloat, true},       {"1,5", kTypeFloat, false},
        {"true", kTypeBoolean, true},    {"yes", kTypeBoolean, false},
        {"12.345", kTypeBCD, true},      {"abc", kTypeBCD, false},
        {"2001-02-03", kTypeDate, true}, {"03/02/2001", kTypeDate, false},
    };
    for (const Case& c : cases) {
        Buffer b = TextBuffer(c.text);
        const Buffer before = b;
        EXPECT_EQ(ConvertValue(kTypeString, 20, 0, b, 2, 8, c.to, Fixed()), c.ok) << c.text;
        if (!c.ok) {
            EXPECT_EQ(b, before) << c.text;
        }
    }
    Buffer b = TextBuffer("TRUE");
    ASSERT_TRUE(ConvertValue(kTypeString, 5, 0, b, 0, 2, kTypeBoolean, Fixed()));
    EXPECT_EQ(LoadUInt16(b.data()), 1);
    ASSERT_TRUE(ConvertValue(kTypeBoolean, 2, 0, b, 0, 10, kTypeString, Fixed()));
    EXPECT_EQ(Text(b), "True");
    b = Buffer{};
    StoreDouble(b.data(), 0.1 + 0.2);
    ASSERT_TRUE(ConvertValue(kTypeFloat, 8, 0, b, 0, 30, kTypeString, Fixed()));
    EXPECT_EQ(Text(b), "0.3");
}

TEST(ConvertValue, PairsThatDoNotConvert) {
    struct Case {
        EngineDataType from, to;
    };
    const Case cases[] = {
        {kTypeDate, kTypeInteger},  {kTypeTime, kTypeDate},     {kTypeInteger, kTypeDate},
        {kTypeFloat, kTypeBoolean}, {kTypeBoolean, kTypeFloat}, {kTypeString, kTypeBlob},
        {kTypeBlob, kTypeString},   {kTypeNone, kTypeInteger},  {kTypeInteger, kTypeNone},
    };
    for (const Case& c : cases) {
        Buffer b{};
        EXPECT_FALSE(ConvertValue(c.from, 8, 0, b, 0, 8, c.to, Fixed()))
            << int(c.from) << " -> " << int(c.to);
    }
    Buffer b{};
    EXPECT_FALSE(ConvertValue(kTypeString, 400, 0, b, 0, 10, kTypeString, Fixed()));
    EXPECT_FALSE(ConvertValue(kTypeString, 10, 0, b, 0, 0, kTypeString, Fixed()));
}

TEST(ConvertValue, BooleansToAndFromEveryIntegerType) {
    struct Case {
        EngineDataType type;
        std::int32_t value;
        bool truth;
    };
    const Case cases[] = {
        {kTypeSmallInt, 0, false}, {kTypeSmallInt, -1, true},    {kTypeWord, 0, false},
        {kTypeWord, 65535, true},  {kTypeInteger, 0, false},     {kTypeInteger, 1, true},
        {kTypeInteger, 5, true},   {kTypeInteger, -70000, true},
    };
    auto store = [](Buffer& b, EngineDataType type, std::int32_t value) {
        if (type == kTypeSmallInt) {
            StoreInt16(b.data(), static_cast<std::int16_t>(value));
        } else if (type == kTypeWord) {
            StoreUInt16(b.data(), static_cast<std::uint16_t>(value));
        } else {
            StoreInt32(b.data(), value);
        }
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(int(c.type)) + ": " + std::to_string(c.value));
        Buffer b{};
        store(b, c.type, c.value);
        const std::uint32_t size = FixedDataSize(c.type);
        ASSERT_TRUE(ConvertValue(c.type, size, 0, b, 0, 2, kTypeBoolean, Fixed()));
        EXPECT_EQ(LoadUInt16(b.data()), c.truth ? 1 : 0);
        ASSERT_TRUE(ConvertValue(kTypeBoolean, 2, 0, b, 0, size, c.type, Fixed()));
        Buffer expected{};
        store(expected, c.type, c.truth ? 1 : 0);
        EXPECT_EQ(b, expected);
    }
}

TEST(ConvertValue, BytesCarryRawEncodings) {
    Buffer b{};
    StoreInt32(b.data(), 123456);
    ASSERT_TRUE(ConvertValue(kTypeInteger, 4, 0, b, 0, 6, kTypeBytes, Fixed()));
    EXPECT_EQ(LoadInt32(b.data()), 123456);
    ASSERT_TRUE(ConvertValue(kTypeBytes, 6, 0, b, 0, 4, kTypeInteger, Fixed()));
    EXPECT_EQ(LoadInt32(b.data()), 123456);
    Buffer s = TextBuffer("hello");
    ASSERT_TRUE(ConvertValue(kTypeString, 10, 0, s, 0, 3, kTypeBytes, Fixed()));
    EXPECT_EQ(std::memcmp(s.data(), "hel\0", 4), 0);
    ASSERT_TRUE(ConvertValue(kTypeBytes, 3, 0, s, 0, 10, kTypeString, Fixed()));
    EXPECT_EQ(Text(s), "hel");
}

// Raw bytes become a value only when they hold one of the type: anything else is refused,
// and the buffer keeps the bytes.
TEST(ConvertValue, BytesThatHoldNoValueOfTheTypeAreRefused) {
    struct RawCase {
        EngineDataType type;
        std::uint8_t scale;
        std::function<void(std::byte*)> fill;
        bool converts;
    };
    const RawCase cases[] = {
        {kTypeDate, 0, [](std::byte* p) { StoreInt32(p, 1); }, true},
        {kTypeDate, 0, [](std::byte* p) { StoreInt32(p, 3652059); }, true},  // 9999-12-31
        {kTypeDate, 0, [](std::byte* p) { StoreInt32(p, 3652060); }, false},
        {kTypeDate, 0, [](std::byte* p) { StoreInt32(p, 0x64636261); }, false},
        {kTypeDate, 0, [](std::byte* p) { StoreInt32(p, -5); }, false},
        {kTypeTime, 0, [](std::byte* p) { StoreInt32(p, 86399999); }, true},
        {kTypeTime, 0, [](std::byte* p) { StoreInt32(p, 86400000); }, false},
        {kTypeTime, 0, [](std::byte* p) { StoreInt32(p, -1); }, false},
        {kTypeTimestamp, 0, [](std::byte* p) { StoreDouble(p, 86400000.0 + 1); }, true},
        {kTypeTimestamp, 0,
         [](std::byte* p) { StoreDouble(p, std::numeric_limits<double>::quiet_NaN()); }, false},
        {kTypeTimestamp, 0, [](std::byte* p) { StoreDouble(p, 1e300); }, false},
        {kTypeFloat, 0, [](std::byte* p) { StoreDouble(p, -0.0); }, true},
        {kTypeFloat, 0,
         [](std::byte* p) { StoreDouble(p, std::numeric_limits<double>::infinity()); }, false},
        {kTypeFloat, 0,
         [](std::byte* p) { StoreDouble(p, std::numeric_limits<double>::quiet_NaN()); }, false},
        {kTypeBCD, 1, [](std::byte* p) { StoreInt64(p, 151); }, true},
        // Digits past the range of a currency value.
        {kTypeBCD, 1, [](std::byte* p) { StoreInt64(p, 9223372036854775800); }, false},
    };
    for (const RawCase& c : cases) {
        SCOPED_TRACE(static_cast<int>(&c - cases));
        Buffer b{};
        c.fill(b.data());
        const Buffer before = b;
        EXPECT_EQ(ConvertValue(kTypeBytes, 8, 0, b, c.scale, 8, c.type, Fixed()), c.converts);
        if (!c.converts) {
            EXPECT_EQ(b, before);
        }
    }
    // A decimal of another scale is re-scaled: 1.5 at one place is 1.50 at two.
    Buffer b{};
    StoreInt64(b.data(), 151);
    ASSERT_TRUE(ConvertValue(kTypeBytes, 8, 0, b, 2, 8, kTypeBCD, Fixed()));
    EXPECT_EQ(LoadInt64(b.data()), 1502);
}

TEST(ConvertConstantToken, NumericAndDatePairs) {
    ExpTokenPtr source = NewExpToken();
    ExpTokenPtr target = NewExpToken();
    std::array<std::byte, 8> out{};

    source->DataType = kTypeFloat;
    StoreDouble(source->Value(), 3.0);
    target->DataType = kTypeInteger;
    ASSERT_TRUE(ConvertConstantToken(*source, source->ValueBuffer(), *target, out));
    EXPECT_EQ(LoadInt32(out.data()), 3);
    // 2.5 never turns into 3 for a comparison with an integer column.
    StoreDouble(source->Value(), 2.5);
    EXPECT_FALSE(ConvertConstantToken(*source, source->ValueBuffer(), *target, out));

    target->DataType = kTypeBCD;
    target->Scale = 2;
    ASSERT_TRUE(ConvertConstantToken(*source, source->ValueBuffer(), *target, out));
    EXPECT_EQ(LoadInt64(out.data()), 2502);

    source->DataType = kTypeBCD;
    StoreInt64(source->Value(), 2502);
    target->DataType = kTypeSmallInt;
    EXPECT_FALSE(ConvertConstantToken(*source, source->ValueBuffer(), *target, out));
    StoreInt64(source->Value(), 3002);
    ASSERT_TRUE(ConvertConstantToken(*source, source->ValueBuffer(), *target, out));
    EXPECT_EQ(LoadInt16(out.data()), 3);

    source->DataType = kTypeDate;
    StoreInt32(source->Value(), 2);
    target->DataType = kTypeTimestamp;
    ASSERT_TRUE(ConvertConstantToken(*source, source->ValueBuffer(), *target, out));
    EXPECT_EQ(LoadDouble(out.data()), 2 * 86400000.0);

    source->DataType = kTypeString;
    EXPECT_FALSE(ConvertConstantToken(*source, source->ValueBuffer(), *target, out));
}

}  // namespace
}  // namespace strata
