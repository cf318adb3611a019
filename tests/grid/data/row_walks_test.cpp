// Walks over many loaded rows that do not go through the display order: ranges selected over a
// selection that is there already, and a selection taken over by the rows of a reload.

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <vector>

#include "tests/grid/data/db_grid_fixture.h"

namespace grid::testing {
namespace {

struct WalkGrid : GridHarness {
    MemList list;
    explicit WalkGrid(int rows, bool bookmarks) : list(rows) {
        Column("Index");
        Column("Item");
        grid->SetKeyField("Index");
        grid->SetOptions(grid->Options() | egoMultiSelect | egoLoadAllRecords);
        grid->SetUseBookmarks(bookmarks);
        grid->SetDataSource(list.source.get());
    }
    TgxTreeListNode* Node(int key) { return grid->FindNodeByKeyValue(db::Variant(key)); }
    // Selected keys with how often each stands in the selection.
    std::map<int, int> Selected() {
        std::map<int, int> keys;
        for (int i = 0; i < grid->GetSelectedCount(); ++i)
            ++keys[static_cast<TgxDBGridNode*>(grid->GetSelectedItem(i))->Key.AsInteger()];
        return keys;
    }
};

// Ranges over rows partly selected already select each row of the range once, keep what was
// selected outside it, and keep the bookmark order of the selection.
TEST(DBGridRowWalks, RangesOverASelectionSelectEachRowOnce) {
    for (const bool bookmarks : {true, false}) {
        SCOPED_TRACE(bookmarks ? "bookmarks" : "keys");
        std::mt19937 random(bookmarks ? 3 : 5);
        WalkGrid g(600, bookmarks);
        std::set<int> expected;
        for (int round = 0; round < 12; ++round) {
            SCOPED_TRACE(round);
            for (int n = 0; n < 10; ++n) {
                const int key = static_cast<int>(random() % 600) + 1;
                g.grid->SelectNode(g.Node(key), true);
                expected.insert(key);
            }
            int from = static_cast<int>(random() % 600) + 1;
            int to = static_cast<int>(random() % 600) + 1;
            g.grid->SelectRange(g.Node(from), g.Node(to));
            for (int key = std::min(from, to); key <= std::max(from, to); ++key)
                expected.insert(key);
            const std::map<int, int> selected = g.Selected();
            ASSERT_EQ(static_cast<std::size_t>(g.grid->GetSelectedCount()), expected.size());
            for (const auto& [key, times] : selected) {
                EXPECT_EQ(times, 1) << key;
                EXPECT_TRUE(expected.contains(key)) << key;
            }
            if (bookmarks) {
                for (int i = 1; i < g.grid->GetSelectedCount(); ++i) {
                    EXPECT_LT(g.list.ds->CompareBookmarks(g.grid->GetSelectedBookmark(i - 1),
                                                          g.grid->GetSelectedBookmark(i)),
                              0);
                }
            }
            if (round % 4 == 3) {
                g.grid->ClearSelection();
                expected.clear();
            }
        }
    }
}

// Reading the rows again selects again exactly the rows that were selected, however many.
TEST(DBGridRowWalks, ReadingTheRowsAgainSelectsEveryRowOfALargeSelectionAgain) {
    for (const bool bookmarks : {true, false}) {
        SCOPED_TRACE(bookmarks ? "bookmarks" : "keys");
        WalkGrid g(1200, bookmarks);
        g.grid->SelectRange(g.Node(1), g.Node(1200));
        for (int key = 2; key <= 1200; key += 3)
            g.grid->SelectNode(g.Node(key), false);
        const std::map<int, int> before = g.Selected();
        ASSERT_EQ(before.size(), 800u);
        // Read again, as after another program's change.
        g.list.ds->Refresh();
        EXPECT_EQ(g.Selected(), before);
        for (const auto& [key, times] : before) {
            EXPECT_TRUE(g.Node(key)->Selected()) << key;
        }
        EXPECT_FALSE(g.Node(2)->Selected());
    }
}

}  // namespace
}  // namespace grid::testing
