#include "engine/storage/decimal.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "platform/db/exception.h"

namespace strata {
namespace {

TEST(Decimal, RoundToDecimalsIsHalfAwayFromZero) {
    struct Case {
        int places;
        double value;
        double expected;
    };
    const Case cases[] = {
        {2, 1.005, 1.01}, {2, -1.005, -1.01},   {0, 2.5, 3.0},       {0, -2.5, -3.0},
        {0, 0.49, 0.0},   {1, 0.05, 0.1},       {2, 12.3456, 12.35}, {3, 1.0, 1.0},
        {0, 0.0, 0.0},    {4, 0.00005, 0.0001}, {2, 0.004, 0.0},     {255, 1.25, 1.25},
        {1, 9.96, 10.0},  {2, 1e20, 1e20},
    };
    for (const Case& c : cases) {
        EXPECT_DOUBLE_EQ(RoundToDecimals(c.places, c.value), c.expected)
            << c.value << " at " << c.places;
    }
    EXPECT_TRUE(std::isnan(RoundToDecimals(2, std::nan(""))));
}

TEST(Decimal, ScaledFloatsEncodeDigitsThenScale) {
    struct Case {
        int scale;
        double value;
        std::int64_t scaled;
    };
    const Case cases[] = {
        {2, 12.34, 12342},
        {1, -0.5, -51},
        {0, 7.0, 70},
        {2, 12.3456, 12352},
        {2, -12.3456, -12352},
        {0, 7.6, 80},
        {1, 1.5, 151},
        {4, 0.0001, 14},
        {2, 0.0, 2},
        {2, -0.001, 2},
        {4, 123456789.1234, 12345678912344},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(EncodeScaledFloat(c.scale, c.value), c.scaled) << c.value;
    }
    EXPECT_DOUBLE_EQ(DecodeScaledFloat(12352), 12.35);
    EXPECT_DOUBLE_EQ(DecodeScaledFloat(52), 0.05);
    EXPECT_DOUBLE_EQ(DecodeScaledFloat(-51), -0.5);
    EXPECT_DOUBLE_EQ(DecodeScaledFloat(70), 7.0);
    EXPECT_DOUBLE_EQ(DecodeScaledFloat(2), 0.0);
}

// A double that needs 16 or 17 significant digits keeps them: rounding its digits at the 15th
// first would turn 123456789012.3457 into 123456789012.3460 at four places, and would leave it
// unrounded at three. Values of fewer digits still round as written (2.345 is 2.35).
TEST(Decimal, DigitsBeyondTheFifteenthAreKept) {
    EXPECT_EQ(EncodeScaledFloat(4, 123456789012.3457), 12345678901234574);
    EXPECT_EQ(EncodeScaledFloat(4, -123456789012.3457), -12345678901234574);
    EXPECT_EQ(EncodeScaledFloat(2, 12345678901234.57), 12345678901234572);
    EXPECT_EQ(EncodeScaledFloat(0, 9007199254740993.0), 90071992547409920);
    EXPECT_EQ(EncodeScaledFloat(2, 2.345), 2352);
    EXPECT_EQ(EncodeScaledFloat(2, 0.1 + 0.2), 302);
    EXPECT_EQ(RoundToDecimals(3, 123456789012.3457), 123456789012.346);
    EXPECT_EQ(RoundToDecimals(1, -12345678901234.57), -12345678901234.6);
    EXPECT_EQ(RoundToDecimals(2, 2.675), 2.68);
}

TEST(Decimal, ScaledValuesThatDoNotFitAreRefused) {
    EXPECT_FALSE(TryEncodeScaledFloat(2, 1e30));
    EXPECT_FALSE(TryEncodeScaledFloat(2, std::numeric_limits<double>::infinity()));
    EXPECT_FALSE(TryEncodeScaledFloat(2, std::nan("")));
    EXPECT_FALSE(TryEncodeScaledFloat(10, 1.0));
    EXPECT_FALSE(TryEncodeScaledFloat(-1, 1.0));
    EXPECT_THROW(EncodeScaledFloat(4, 1e17), db::EConvertError);
    // The largest and smallest 64-bit values decode without overflow.
    EXPECT_NO_THROW(DecodeScaledFloat(std::numeric_limits<std::int64_t>::min()));
    EXPECT_NO_THROW(DecodeScaledFloat(std::numeric_limits<std::int64_t>::max()));
}

TEST(Decimal, ScaledCurrenciesRoundInCurrencyUnits) {
    struct Case {
        int scale;
        std::int64_t raw;  // ten-thousandths
        std::int64_t scaled;
    };
    const Case cases[] = {
        {2, 123450, 12352},  // 12.345 -> 12.35
        {2, -123450, -12352},
        {0, 25000, 30},  // 2.5 -> 3
        {0, -25000, -30},
        {4, 12345, 123454},
        {1, 15000, 151},
        {6, 15000, 15000006},  // a scale above 4 appends zeros
        {2, 0, 2},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(EncodeScaledCurrency(c.scale, db::Currency::FromRaw(c.raw)), c.scaled) << c.raw;
        const int places = c.scale < 4 ? c.scale : 4;
        const db::Currency back = DecodeScaledCurrency(c.scaled);
        const std::int64_t unit = places == 0 ? 10000 : places == 1 ? 1000 : places == 2 ? 100 : 1;
        EXPECT_LE(std::llabs(back.Raw() - c.raw), unit / 2) << c.raw;
    }
    EXPECT_EQ(DecodeScaledCurrency(151).Raw(), 15000);
    EXPECT_EQ(DecodeScaledCurrency(15000006).Raw(), 15000);
    EXPECT_EQ(DecodeScaledCurrency(15000506).Raw(), 15001);  // 1.500050 rounds up
}

TEST(Decimal, CurrencyOverflowIsAnErrorNotAWrap) {
    // 10^15 at scale 0 is 10^19 ten-thousandths: beyond a currency value.
    EXPECT_FALSE(TryDecodeScaledCurrency(10000000000000000LL * 10));
    EXPECT_THROW(DecodeScaledCurrency(10000000000000000LL * 10), db::EConvertError);
    EXPECT_FALSE(TryEncodeScaledCurrency(
        9, db::Currency::FromRaw(std::numeric_limits<std::int64_t>::max())));
    EXPECT_TRUE(TryEncodeScaledCurrency(
        0, db::Currency::FromRaw(std::numeric_limits<std::int64_t>::min())));
}

TEST(Decimal, DecimalMasks) {
    EXPECT_EQ(BuildDecimalMask(0), "##############0");
    EXPECT_EQ(BuildDecimalMask(2), "##############0.00");
    EXPECT_EQ(BuildDecimalMask(4), "##############0.0000");
    EXPECT_EQ(ScaleOf(12352), 2);
    EXPECT_EQ(ScaleOf(-51), 1);
}

}  // namespace
}  // namespace strata
