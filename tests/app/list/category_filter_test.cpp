#include "app/list/category_filter.h"

#include <gtest/gtest.h>

#include "tests/app/app_test_support.h"

namespace app {
namespace {

using namespace testing_support;

TEST(CategoryFilter, ExpressionsForIncludeAndExclude) {
    EXPECT_EQ(BuildCategoryFilter("news", true), "Category = 'news*'");
    EXPECT_EQ(BuildCategoryFilter("news, events", true),
              "(Category = 'news*') OR (Category = 'events*')");
    EXPECT_EQ(BuildCategoryFilter(" news ,events ", false),
              "(Category <> 'news*') AND (Category <> 'events*')");
    EXPECT_EQ(BuildCategoryFilter("o'neil", true), "Category = 'o''neil*'");
}

class CategoryFilterTable : public ListTest {};

TEST_F(CategoryFilterTable, FilterShowsCategoriesByPrefix) {
    OpenNew();
    for (const char* category : {"news", "newsletter", "sport", "o'neil"})
        entries->insertentry(true, "a@x.org", category, "", "", "", 0, false, false);
    strata::TStrataTable& t = database->tblCV();
    SetFilter(t, true, "NEWS", "", false);
    EXPECT_EQ(Rows().size(), 2u);
    SetFilter(t, false, "", "news", true);
    EXPECT_EQ(Rows().size(), 2u);
    SetFilter(t, true, "o'neil", "", false);
    EXPECT_EQ(Rows(), (std::vector<std::string>{"a@x.org|o'neil"}));
    SetFilter(t, true, "", "news", false);
    EXPECT_EQ(Rows().size(), 4u);
}

}  // namespace
}  // namespace app
