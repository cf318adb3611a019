#include "platform/os/byte_order.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace platform::os {
namespace {

// A record appended field by field reads back through the offset accessors, low byte first,
// whether it is built in a std::string or a byte vector.
TEST(ByteOrder, AppendedFieldsReadBackLowByteFirst) {
    const auto build = [](auto& out) {
        AppendLittle<std::uint8_t>(out, 0xAB);
        AppendLittle<std::uint16_t>(out, 0x1234);
        AppendLittle<std::uint32_t>(out, 0x89ABCDEF);
        AppendDouble(out, -2.5);
    };
    std::string text;
    std::vector<std::uint8_t> bytes;
    build(text);
    build(bytes);
    ASSERT_EQ(std::string(bytes.begin(), bytes.end()), text);
    ASSERT_EQ(bytes.size(), 15u);
    EXPECT_EQ(text.substr(0, 7), std::string("\xAB\x34\x12\xEF\xCD\xAB\x89", 7));
    EXPECT_EQ(GetU16(bytes, 1), 0x1234);
    EXPECT_EQ(GetU32(bytes, 3), 0x89ABCDEFu);
    EXPECT_EQ(GetF64(bytes, 7), -2.5);
}

}  // namespace
}  // namespace platform::os
