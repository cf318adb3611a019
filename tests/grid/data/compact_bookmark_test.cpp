// A row's bookmark gives back exactly the bytes it was given, whatever their runs of zeros.

#include <gtest/gtest.h>

#include <string>

#include "grid/data/db_grid.h"

namespace grid {
namespace {

TEST(CompactBookmarkTest, KeepsEveryByte) {
    const std::string mixed = std::string("ab\0\0c", 5) + std::string(600, '\0') + "\xff";
    for (const std::string& bytes :
         {std::string(), std::string("member7@example7.org"), std::string(1, '\0'),
          std::string(255, '\0'), std::string(256, '\0'), mixed}) {
        CompactBookmark bookmark;
        bookmark = bytes;
        EXPECT_EQ(bookmark.Value(), bytes);
        EXPECT_EQ(bookmark.empty(), bytes.empty());
        const CompactBookmark copy = bookmark;
        EXPECT_TRUE(copy == bytes);
    }
}

}  // namespace
}  // namespace grid
