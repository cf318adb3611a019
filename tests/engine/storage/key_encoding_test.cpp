#include "engine/storage/key_encoding.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "engine/storage/data_types.h"
#include "engine/storage/decimal.h"
#include "engine/storage/scramble.h"
#include "platform/db/date_time.h"

namespace strata {
namespace {

template <std::size_t N>
std::vector<std::uint8_t> Bytes(const std::array<std::uint8_t, N>& a) {
    return {a.begin(), a.end()};
}

using V = std::vector<std::uint8_t>;

TEST(KeyEncoding, IntegerKeysAreByteExact) {
    EXPECT_EQ(Bytes(EncodeIntegerKey(-1)), (V{0x7F, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(Bytes(EncodeIntegerKey(0)), (V{0x80, 0x00, 0x00, 0x00}));
    EXPECT_EQ(Bytes(EncodeIntegerKey(1)), (V{0x80, 0x00, 0x00, 0x01}));
    EXPECT_EQ(Bytes(EncodeIntegerKey(0x12345678)), (V{0x92, 0x34, 0x56, 0x78}));
    EXPECT_EQ(Bytes(EncodeIntegerKey(std::numeric_limits<std::int32_t>::min())), (V{0, 0, 0, 0}));
    EXPECT_EQ(Bytes(EncodeIntegerKey(std::numeric_limits<std::int32_t>::max())),
              (V{0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(Bytes(EncodeSmallIntKey(-2)), (V{0x7F, 0xFE}));
    EXPECT_EQ(Bytes(EncodeSmallIntKey(256)), (V{0x81, 0x00}));
    EXPECT_EQ(Bytes(EncodeWordKey(65535)), (V{0xFF, 0xFF}));
    EXPECT_EQ(Bytes(EncodeWordKey(1)), (V{0x00, 0x01}));
    EXPECT_EQ(Bytes(EncodeInt64Key(12342)), (V{0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x30, 0x36}));
    EXPECT_EQ(Bytes(EncodeInt64Key(-51)), (V{0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xCD}));
}

// The value bytes of a key segment for each engine type, as the key builder picks the encoder.
TEST(KeyEncoding, EveryEngineTypeHasAByteExactKey) {
    const std::int32_t day = DateTimeToEngineDate(db::EncodeDate(2001, 2, 3));
    const std::int32_t time = DateTimeToEngineTime(db::EncodeTime(13, 14, 15, 16));
    const double stamp = static_cast<double>(day) * kMSecsPerDay + time;
    struct Case {
        const char* type;
        V key;
        V expected;
    };
    const Case cases[] = {
        {"date", Bytes(EncodeIntegerKey(day)), {0x80, 0x0B, 0x25, 0x97}},
        {"integer", Bytes(EncodeIntegerKey(-1)), {0x7F, 0xFF, 0xFF, 0xFF}},
        {"time", Bytes(EncodeIntegerKey(time)), {0x82, 0xD7, 0x28, 0x68}},
        {"boolean", Bytes(EncodeWordKey(1)), {0x00, 0x01}},
        {"word", Bytes(EncodeWordKey(65535)), {0xFF, 0xFF}},
        {"smallint", Bytes(EncodeSmallIntKey(-1)), {0x7F, 0xFF}},
        {"float", Bytes(EncodeFloatKey(-2.5)), {0x3F, 0xFB, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
        {"timestamp",
         Bytes(EncodeFloatKey(stamp)),
         {0xC2, 0xCC, 0xB3, 0xC5, 0xE1, 0xB6, 0x34, 0x00}},
        {"BCD",
         Bytes(EncodeInt64Key(EncodeScaledFloat(2, 12.34))),
         {0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x30, 0x36}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.key, c.expected) << c.type;
    }
}

TEST(KeyEncoding, FloatKeysAreByteExact) {
    EXPECT_EQ(Bytes(EncodeFloatKey(0.0)), (V{0x80, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(Bytes(EncodeFloatKey(-0.0)), (V{0x80, 0, 0, 0, 0, 0, 0, 0}));
    // 1.0 is 3F F0 00.. ; with the top bit set.
    EXPECT_EQ(Bytes(EncodeFloatKey(1.0)), (V{0xBF, 0xF0, 0, 0, 0, 0, 0, 0}));
    // -1.0 is BF F0 00..; inverted.
    EXPECT_EQ(Bytes(EncodeFloatKey(-1.0)), (V{0x40, 0x0F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
}

TEST(KeyEncoding, KeyBytesSortLikeTheirValues) {
    const std::vector<double> doubles = {-std::numeric_limits<double>::infinity(),
                                         -1e300,
                                         -2.0,
                                         -1.0,
                                         -1e-300,
                                         0.0,
                                         1e-300,
                                         0.5,
                                         1.0,
                                         2.0,
                                         1e300,
                                         std::numeric_limits<double>::infinity()};
    for (std::size_t i = 1; i < doubles.size(); ++i) {
        EXPECT_LT(Bytes(EncodeFloatKey(doubles[i - 1])), Bytes(EncodeFloatKey(doubles[i])))
            << doubles[i - 1] << " < " << doubles[i];
    }
    const std::vector<std::int64_t> ints = {
        std::numeric_limits<std::int64_t>::min(), -51, -1, 0, 2, 12342,
        std::numeric_limits<std::int64_t>::max()};
    for (std::size_t i = 1; i < ints.size(); ++i) {
        EXPECT_LT(Bytes(EncodeInt64Key(ints[i - 1])), Bytes(EncodeInt64Key(ints[i])));
    }
    for (int v = -40000; v < 40000; v += 997) {
        EXPECT_LT(Bytes(EncodeIntegerKey(v)), Bytes(EncodeIntegerKey(v + 1)));
        const auto s = static_cast<std::int16_t>(std::clamp(v, -32768, 32766));
        EXPECT_LT(Bytes(EncodeSmallIntKey(s)),
                  Bytes(EncodeSmallIntKey(static_cast<std::int16_t>(s + 1))));
    }
}

TEST(KeyEncoding, InversionReversesOrderAndUndoesItself) {
    auto a = EncodeIntegerKey(-1);
    auto b = EncodeIntegerKey(1);
    InvertKeyBytes(a);
    InvertKeyBytes(b);
    EXPECT_GT(Bytes(a), Bytes(b));
    EXPECT_EQ(Bytes(a), (V{0x80, 0x00, 0x00, 0x00}));
    InvertKeyBytes(a);
    EXPECT_EQ(a, EncodeIntegerKey(-1));
}

TEST(KeyEncoding, CompressionCounts) {
    const std::uint8_t a[] = {1, 2, 3, 4, 0, 0};
    const std::uint8_t b[] = {1, 2, 3, 5, 0, 0};
    EXPECT_EQ(CommonPrefixLength(a, a, 6), 6u);
    EXPECT_EQ(CommonPrefixLength(a, b, 6), 3u);
    EXPECT_EQ(CommonPrefixLength(a, b, 2), 2u);
    EXPECT_EQ(CommonPrefixLength(a, b, 0), 0u);
    EXPECT_EQ(TrailingZeroCount(a), 2u);
    EXPECT_EQ(TrailingZeroCount(std::span<const std::uint8_t>(a, 4)), 0u);
    const std::uint8_t zeros[300] = {};
    EXPECT_EQ(TrailingZeroCount(zeros), 300u);
}

// The counts step eight bytes at a time: a difference or a last nonzero
// byte at every place within and across those steps is found where it is.
TEST(KeyEncoding, CompressionCountsAtEveryPlace) {
    for (std::size_t length = 0; length <= 40; ++length) {
        for (std::size_t at = 0; at < length; ++at) {
            std::vector<std::uint8_t> a(length, 0x41);
            std::vector<std::uint8_t> b = a;
            b[at] = 0x42;
            EXPECT_EQ(CommonPrefixLength(a.data(), b.data(), length), at) << length << " " << at;
            EXPECT_EQ(CommonPrefixLength(a.data(), a.data(), length), length);
            std::vector<std::uint8_t> padded(length, 0);
            padded[at] = 0x80;
            EXPECT_EQ(TrailingZeroCount(padded), length - at - 1) << length << " " << at;
        }
    }
}

TEST(KeyEncoding, NegateIntegerStaysInRange) {
    EXPECT_EQ(NegateInteger(5), -5);
    EXPECT_EQ(NegateInteger(-5), 5);
    EXPECT_EQ(NegateInteger(0), 0);
    EXPECT_EQ(NegateInteger(std::numeric_limits<std::int32_t>::min()),
              std::numeric_limits<std::int32_t>::max());
}

TEST(Scramble, RoundTripsAndDependsOnPosition) {
    std::vector<std::uint8_t> record(100);
    for (std::size_t i = 0; i < record.size(); ++i) {
        record[i] = static_cast<std::uint8_t>(i * 7);
    }
    const std::vector<std::uint8_t> original = record;
    ScrambleBuffer(record, kTableDataKeyLow, kTableDataKeyHigh);
    EXPECT_NE(record, original);
    UnscrambleBuffer(record, kTableDataKeyLow, kTableDataKeyHigh);
    EXPECT_EQ(record, original);
    ScrambleBuffer(record, 1, 2);
    ScrambleBuffer(record, 1, 2);
    EXPECT_EQ(record, original);
    // Empty buffers stay empty.
    std::vector<std::uint8_t> empty;
    ScrambleBuffer(empty, 1, 2);
    EXPECT_TRUE(empty.empty());
    // Whole versus field by field gives different bytes.
    std::vector<std::uint8_t> whole = original;
    ScrambleBuffer(whole, kTableDataKeyLow, kTableDataKeyHigh);
    std::vector<std::uint8_t> fields = original;
    ScrambleBuffer(std::span(fields).subspan(0, 50), kTableDataKeyLow, kTableDataKeyHigh);
    ScrambleBuffer(std::span(fields).subspan(50), kTableDataKeyLow, kTableDataKeyHigh);
    EXPECT_NE(whole, fields);
    EXPECT_TRUE(std::equal(whole.begin(), whole.begin() + 50, fields.begin()));
}

TEST(Scramble, KeyStreamIsByteExact) {
    std::vector<std::uint8_t> zeros(4, 0);
    ScrambleBuffer(zeros, 0x01, 0x10);
    // l = 1,2,3,4; h = 0x10,0x0F,0x0E,0x0D
    EXPECT_EQ(zeros, (V{0x11, 0x0D, 0x0D, 0x09}));
    std::vector<std::uint8_t> wrap(2, 0);
    ScrambleBuffer(wrap, 0xFF, 0x00);
    // l = FF then 00; h = 00 then FF
    EXPECT_EQ(wrap, (V{0xFF, 0xFF}));
}

}  // namespace
}  // namespace strata
