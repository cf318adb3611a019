#include "engine/sql/aggregate_accumulator.h"
#include "engine/storage/byte_order.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <limits>
#include <optional>
#include <vector>

#include "engine/sql/sql_clauses.h"
#include "engine/storage/decimal.h"
#include "sql_test_support.h"

namespace strata {
namespace {

using sqltest::SqlError;

ExpTokenPtr IntegerValue(EngineDataType type, std::optional<std::int64_t> value) {
    ExpTokenPtr token = NewExpToken();
    token->Kind = kTokenConstant;
    token->DataType = type;
    token->IsNull = !value.has_value();
    const std::int64_t v = value.value_or(0);
    switch (type) {
        case kTypeSmallInt:
            token->SetDataSize(2);
            StoreInt16(token->Value(), static_cast<std::int16_t>(v));
            break;
        case kTypeWord:
            token->SetDataSize(2);
            StoreUInt16(token->Value(), static_cast<std::uint16_t>(v));
            break;
        case kTypeBCD:
            token->SetDataSize(8);
            StoreInt64(token->Value(), EncodeScaledFloat(2, static_cast<double>(v)));
            break;
        case kTypeFloat:
            token->SetDataSize(8);
            StoreDouble(token->Value(), static_cast<double>(v));
            break;
        default:
            token->SetDataSize(4);
            StoreInt32(token->Value(), static_cast<std::int32_t>(v));
            break;
    }
    return token;
}

struct SumCase {
    EngineDataType type;
    std::vector<std::optional<std::int64_t>> values;
    EngineDataType result_type;
    std::int64_t expected;
};

// Totals add in 64 bits whatever the argument's width, and land in the result if they fit.
TEST(AggregateAccumulator, SumsWithoutWrapping) {
    const std::vector<SumCase> cases = {
        {kTypeWord, {65535, 1, std::nullopt}, kTypeInteger, 65536},
        {kTypeSmallInt, {32767, 32767}, kTypeInteger, 65534},
        {kTypeInteger, {2147483647, -2147483647, 5}, kTypeInteger, 5},
        {kTypeSmallInt, {-20000, 10000}, kTypeSmallInt, -10000},
    };
    for (const SumCase& c : cases) {
        AggregateAccumulator sum(kAggregateSum, c.type, false);
        for (const auto& v : c.values) {
            sum.Add(*IntegerValue(c.type, v));
        }
        std::array<std::byte, kValueBufferSize> out{};
        ASSERT_TRUE(sum.Finish(c.result_type, 4, 0, out, "s"));
        const std::int64_t got =
            c.result_type == kTypeSmallInt ? LoadInt16(out.data()) : LoadInt32(out.data());
        EXPECT_EQ(got, c.expected);
    }
}

TEST(AggregateAccumulator, TotalsThatDoNotFitRaise) {
    struct Case {
        EngineDataType type;
        std::vector<std::int64_t> values;
        EngineDataType result_type;
    };
    const std::vector<Case> cases = {
        {kTypeInteger, {2147483647, 1}, kTypeInteger},
        {kTypeSmallInt, {32767, 1}, kTypeSmallInt},
        {kTypeWord, {65535, 1}, kTypeWord},
        {kTypeInteger, {-2147483647, -2}, kTypeInteger},
    };
    for (const Case& c : cases) {
        AggregateAccumulator sum(kAggregateSum, c.type, false);
        for (const std::int64_t v : c.values) {
            sum.Add(*IntegerValue(c.type, v));
        }
        std::array<std::byte, kValueBufferSize> out{};
        EXPECT_EQ(SqlError([&] { sum.Finish(c.result_type, 4, 0, out, "Sum Of a"); }),
                  "Result of SUM aggregate function exceeds the range of column 'Sum Of a'");
    }
}

TEST(AggregateAccumulator, AverageOfNothingIsNullAndOfValuesTheMean) {
    std::array<std::byte, kValueBufferSize> out{};
    AggregateAccumulator empty(kAggregateAvg, kTypeInteger, false);
    empty.Add(*IntegerValue(kTypeInteger, std::nullopt));
    EXPECT_FALSE(empty.Finish(kTypeFloat, 8, 0, out, "a"));

    AggregateAccumulator avg(kAggregateAvg, kTypeInteger, false);
    for (const std::optional<std::int64_t> v : {std::optional<std::int64_t>(2), {}, {4}}) {
        avg.Add(*IntegerValue(kTypeInteger, v));
    }
    ASSERT_TRUE(avg.Finish(kTypeFloat, 8, 0, out, "a"));
    EXPECT_DOUBLE_EQ(LoadDouble(out.data()), 3.0);
    EXPECT_EQ(avg.Count(), 2);

    AggregateAccumulator money(kAggregateAvg, kTypeBCD, false);
    money.Add(*IntegerValue(kTypeBCD, 1));
    money.Add(*IntegerValue(kTypeBCD, 2));
    ASSERT_TRUE(money.Finish(kTypeFloat, 8, 0, out, "m"));
    EXPECT_DOUBLE_EQ(LoadDouble(out.data()), 1.5);
}

TEST(AggregateAccumulator, MinMaxAndCounts) {
    std::array<std::byte, kValueBufferSize> out{};
    AggregateAccumulator min(kAggregateMin, kTypeInteger, false);
    AggregateAccumulator max(kAggregateMax, kTypeFloat, false);
    AggregateAccumulator count(kAggregateCount, kTypeInteger, false);
    AggregateAccumulator rows(kAggregateCount, kTypeInteger, true);
    for (const std::optional<std::int64_t> v : {std::optional<std::int64_t>(7), {}, {-3}, {12}}) {
        min.Add(*IntegerValue(kTypeInteger, v));
        max.Add(*IntegerValue(kTypeFloat, v));
        count.Add(*IntegerValue(kTypeInteger, v));
        rows.Add(*IntegerValue(kTypeInteger, v));
    }
    ASSERT_TRUE(min.Finish(kTypeInteger, 4, 0, out, "a"));
    EXPECT_EQ(LoadInt32(out.data()), -3);
    ASSERT_TRUE(max.Finish(kTypeFloat, 8, 0, out, "a"));
    EXPECT_DOUBLE_EQ(LoadDouble(out.data()), 12.0);
    ASSERT_TRUE(count.Finish(kTypeInteger, 4, 0, out, "a"));
    EXPECT_EQ(LoadInt32(out.data()), 3);
    ASSERT_TRUE(rows.Finish(kTypeInteger, 4, 0, out, "a"));
    EXPECT_EQ(LoadInt32(out.data()), 4);

    AggregateAccumulator none(kAggregateCount, kTypeInteger, false);
    ASSERT_TRUE(none.Finish(kTypeInteger, 4, 0, out, "a")) << "COUNT of nothing is 0, not NULL";
    EXPECT_EQ(LoadInt32(out.data()), 0);
    AggregateAccumulator no_min(kAggregateMin, kTypeInteger, false);
    EXPECT_FALSE(no_min.Finish(kTypeInteger, 4, 0, out, "a"));
}

TEST(AggregateAccumulator, BcdSumsKeepTheirScale) {
    AggregateAccumulator sum(kAggregateSum, kTypeBCD, false);
    sum.Add(*IntegerValue(kTypeBCD, 5));
    sum.Add(*IntegerValue(kTypeBCD, 7));
    std::array<std::byte, kValueBufferSize> out{};
    ASSERT_TRUE(sum.Finish(kTypeBCD, 8, 2, out, "b"));
    EXPECT_DOUBLE_EQ(DecodeScaledFloat(LoadInt64(out.data())), 12.0);
}

}  // namespace
}  // namespace strata
