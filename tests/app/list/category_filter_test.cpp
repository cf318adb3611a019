#include <gtest/gtest.h>

#include "app/list/category_filter.h"

namespace app {
namespace {

TEST(CategoryFilter, BuildsPrefixMatchesJoinedByTheRightWord) {
    struct Case {
        const char* text;
        bool include;
        const char* expected;
    };
    for (Case c : {
             Case{"news", true, "Category = 'news*'"},
             Case{"  news  ", false, "Category <> 'news*'"},
             Case{"news, events", true, "(Category = 'news*') OR (Category = 'events*')"},
             Case{"news , events", false, "(Category <> 'news*') AND (Category <> 'events*')"},
             Case{"a,b,c", true, "(Category = 'a*') OR (Category = 'b*') OR (Category = 'c*')"},
             Case{"news,", true, "(Category = 'news*')"},
             Case{"o'neil", true, "Category = 'o''neil*'"},
             Case{"a'b, c", false, "(Category <> 'a''b*') AND (Category <> 'c*')"},
         }) {
        EXPECT_EQ(BuildCategoryFilter(c.text, c.include), c.expected) << c.text;
    }
}

TEST(CategoryFilter, TheFilterBarChoosesIncludeExcludeOrNothing) {
    struct Case {
        bool include;
        const char* include_text;
        const char* exclude_text;
        bool exclude;
        std::optional<std::string> expected;
    };
    for (const Case& c : {
             Case{true, "news", "old", false, "Category = 'news*'"},
             Case{true, "", "old", false, std::nullopt},
             Case{false, "news", "old", true, "Category <> 'old*'"},
             Case{false, "news", "", true, std::nullopt},
             Case{false, "news", "old", false, std::nullopt},
             // Include wins when both are asked for.
             Case{true, "news", "old", true, "Category = 'news*'"},
         }) {
        EXPECT_EQ(CategoryFilterExpression(c.include, c.include_text, c.exclude_text, c.exclude),
                  c.expected);
    }
}

TEST(CategoryFilter, CountLabelAndCaption) {
    EXPECT_EQ(CountLabel(12, false), "  12 Records");
    EXPECT_EQ(CountLabel(0, true), "  0 Records Displayed");
    EXPECT_EQ(MainCaption(false, true, "/data/list/", "/home/u/"),
              "Corvane  (Database: /data/list/)");
    EXPECT_EQ(MainCaption(false, true, "%", "/home/u/"), "Corvane  (Database: /home/u/)");
    EXPECT_EQ(MainCaption(false, true, "", "/home/u/"), "Corvane  (Database: /home/u/)");
    EXPECT_EQ(MainCaption(true, true, "/data/list/", "/home/u/"), "Corvane  DEBUG MODE");
    EXPECT_EQ(MainCaption(false, false, "/data/list/", "/home/u/"), "Corvane");
}

}  // namespace
}  // namespace app
