// Deletes through the cursor that empty whole stretches of an index (every
// entry of a category, taken in record order as a list's clean-up does),
// mixed with inserts, a flush and a reopen: every index must keep exactly the
// live records, and the table must verify clean.

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "engine/core/data_cursor.h"
#include "engine/core/table_repair.h"
#include "tests/engine/core/cursor_test_support.h"

namespace strata {
namespace {

using namespace testing_support;

struct Entry {
    std::string category;
    std::int32_t bounces = 0;
};

std::string Upper(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

class CursorDeletes : public CursorTest, public ::testing::WithParamInterface<std::uint8_t> {
  protected:
    // The list table with every index under the compression option of the test.
    TableDefinition Definition() const {
        TableDefinition definition = ListTableDefinition();
        for (IndexDescriptor& index : definition.indexes)
            index[ixd::kCompression] = GetParam();
        return definition;
    }

    void Insert(TDataCursor& c, const std::string& item, const std::string& category,
                std::int32_t bounces) {
        InsertEntry(c, item, category, bounces);
        model[item] = {category, bounces};
    }

    // Finds the entry by its address through ByItem and deletes it, as the
    // list's clean-up does.
    void Delete(TDataCursor& c, const std::string& item) {
        std::vector<std::uint8_t> probe(c.GetRecordSize());
        std::vector<std::uint8_t> found(c.GetRecordSize());
        PutText(c, probe, 2, item);
        ASSERT_TRUE(c.FindKey(false, probe, found, 0, false, 1)) << item;
        c.DeleteRecord(found, false);
        model.erase(item);
    }

    // Every index holds the live entries, in its own order.
    void ExpectIndexesMatchTheModel(TDataCursor& c) {
        ASSERT_EQ(c.GetRecordCount(), static_cast<std::int64_t>(model.size()));
        std::vector<std::uint8_t> buffer(c.GetRecordSize());

        c.SetIndexByName("ByItem");
        std::vector<std::string> by_item;
        for (const auto& [item, entry] : model)
            by_item.push_back(item);
        std::sort(by_item.begin(), by_item.end(),
                  [](const std::string& a, const std::string& b) { return Upper(a) < Upper(b); });
        EXPECT_EQ(Items(c), by_item);

        c.SetIndexByName("ByCategory");
        std::vector<std::string> categories;
        std::set<std::string> seen;
        c.First();
        while (c.GetNextRecord(buffer) == 0) {
            const std::string item = GetText(c, buffer, 2);
            const auto it = model.find(item);
            ASSERT_NE(it, model.end()) << item;
            EXPECT_EQ(GetText(c, buffer, 3), it->second.category) << item;
            EXPECT_TRUE(seen.insert(item).second) << item;
            categories.push_back(Upper(it->second.category));
        }
        EXPECT_EQ(seen.size(), model.size());
        EXPECT_TRUE(std::is_sorted(categories.begin(), categories.end()));

        c.SetIndexByName("ByBounce");
        std::vector<std::int32_t> bounces;
        c.First();
        while (c.GetNextRecord(buffer) == 0)
            bounces.push_back(GetInt(c, buffer, 4).value_or(-1));
        std::vector<std::int32_t> expected;
        for (const auto& [item, entry] : model)
            expected.push_back(entry.bounces);
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(bounces, expected);
    }

    std::vector<std::string> VerifyLines() {
        std::vector<std::string> lines;
        TDataCursor& v = NewCursor();
        RepairTable(v, true, 0, {}, [&lines](std::string_view line) { lines.emplace_back(line); });
        return lines;
    }

    std::map<std::string, Entry> model;
};

std::string Address(int i) {
    return "member" + std::to_string(i * 7919 % 100003) + "@example.org";
}

TEST_P(CursorDeletes, EmptiedCategoriesMixedWithInsertsAndAReopenVerifyClean) {
    constexpr int kEntries = 3000;
    TDataCursor& c = CreateAndOpen(Definition());
    for (int i = 0; i < kEntries; ++i)
        Insert(c, Address(i), "Cat" + std::to_string(i % 12), i % 7);
    c.FlushBuffers(false, true, true);
    c.SetIndexByName("ByItem");

    // Cat0 and Cat5 go entirely, in record order, so their stretch of
    // ByCategory empties leaf after leaf from its front; new entries arrive
    // in between, some into a category that sorts among the emptied ones.
    int added = 0;
    for (int i = 0; i < kEntries; ++i) {
        if (i % 12 != 0 && i % 12 != 5)
            continue;
        Delete(c, Address(i));
        if (i % 7 == 0) {
            Insert(c, "new" + std::to_string(added) + "@example.org",
                   added % 2 == 0 ? "Cat0a" : "Cat9", added % 5);
            ++added;
        }
        if (i == kEntries / 2) {
            c.FlushBuffers(false, true, true);
            c.Close();
            c.Open();
            c.SetIndexByName("ByItem");
        }
    }
    ExpectIndexesMatchTheModel(c);

    // A reopened table holds the same, and its files verify clean.
    c.Close();
    c.Open();
    ExpectIndexesMatchTheModel(c);
    c.Close();
    const std::vector<std::string> lines = VerifyLines();
    EXPECT_EQ(lines.size(), 2u) << (lines.size() > 1 ? lines[1] : "");

    // Emptying the table entirely leaves every index empty, and sound.
    c.Open();
    c.SetIndexByName("ByItem");
    const std::map<std::string, Entry> left = model;
    for (const auto& [item, entry] : left)
        Delete(c, item);
    ExpectIndexesMatchTheModel(c);
    c.Close();
    EXPECT_EQ(VerifyLines().size(), 2u);
}

INSTANTIATE_TEST_SUITE_P(PlainAndPackedKeys, CursorDeletes, ::testing::Values(0, 3),
                         [](const auto& test_param) {
                             return "Option" + std::to_string(test_param.param);
                         });

}  // namespace
}  // namespace strata
