#include "engine/sql/column_value.h"
#include "engine/storage/byte_order.h"

#include <gtest/gtest.h>

#include <string>

#include "engine/storage/data_types.h"
#include "sql_test_support.h"

namespace strata {
namespace {

using sqltest::SqlError;

ExpTokenPtr StringValue(std::string_view text) {
    ExpTokenPtr token = NewExpToken();
    token->Kind = kTokenConstant;
    token->DataType = kTypeString;
    token->SetValueText(text);
    return token;
}

// Nothing beyond the value, the 251-byte buffer or the column is ever copied or written.
TEST(ColumnValue, CopiesAtMostValueBufferAndFieldSize) {
    ColumnValueBuffer buffer{};
    const std::string long_text(250, 'x');
    const ExpTokenPtr value = StringValue(long_text);
    const FieldDescriptor narrow = MakeFieldDescriptor(1, "s", kTypeString, 0, 5);
    const auto bytes =
        PrepareColumnValue(*value, narrow, buffer, FixedFormatSettings(), "'x...'", "INSERT");
    ASSERT_EQ(bytes.size(), FieldDataSize(narrow));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(bytes.data())), "xxxxx");
    EXPECT_EQ(buffer[6], std::byte{0}) << "the rest of the buffer stays zero";

    // A value token whose size claims more than its buffer holds is read within the buffer.
    ExpTokenPtr oversized = StringValue("abc");
    oversized->DataSize = 100000;
    const FieldDescriptor wide = MakeFieldDescriptor(1, "w", kTypeString, 0, 250);
    const auto wide_bytes =
        PrepareColumnValue(*oversized, wide, buffer, FixedFormatSettings(), "v", "UPDATE");
    EXPECT_EQ(wide_bytes.size(), 251u);
    EXPECT_EQ(wide_bytes.back(), std::byte{0});
}

TEST(ColumnValue, ConvertsOrReportsTheMismatch) {
    ColumnValueBuffer buffer{};
    const FieldDescriptor integer = MakeFieldDescriptor(1, "n", kTypeInteger);
    const auto bytes = PrepareColumnValue(*StringValue("42"), integer, buffer,
                                          FixedFormatSettings(), "'42'", "INSERT");
    ASSERT_EQ(bytes.size(), 4u);
    EXPECT_EQ(LoadInt32(bytes.data()), 42);
    EXPECT_EQ(SqlError([&] {
                  PrepareColumnValue(*StringValue("nope"), integer, buffer, FixedFormatSettings(),
                                     "'nope'", "UPDATE");
              }),
              "Type mismatch between column n and constant value 'nope' in UPDATE statement");
    ExpTokenPtr null_value = StringValue("x");
    null_value->IsNull = true;
    EXPECT_TRUE(
        PrepareColumnValue(*null_value, integer, buffer, FixedFormatSettings(), "NULL", "INSERT")
            .empty());
}

TEST(ColumnValue, DefaultCommitIntervalFollowsRecordSize) {
    EXPECT_EQ(DefaultCommitInterval(100), 2621);
    EXPECT_EQ(DefaultCommitInterval(10), 8191);
    EXPECT_EQ(DefaultCommitInterval(0), 8191);
    EXPECT_EQ(DefaultCommitInterval(300000), 1) << "one record larger than a batch";
}

}  // namespace
}  // namespace strata
