#include <gtest/gtest.h>

#include <QScrollBar>

#include <string>

#include "tests/grid/grid_fixture.h"

namespace grid {
namespace {

using testing::GridFixture;

struct SortGrid : GridFixture {
    SortGrid() : GridFixture(300, 200) {
        AddColumn("Last", 100);
        AddColumn("First", 100);
        for (auto [last, first] : {std::pair{"Smith", "Zoe"},
                                   {"Brown", "Al"},
                                   {"Smith", "Amy"},
                                   {"Brown", "Bo"},
                                   {"Adams", "Cy"}}) {
            TgxTreeListNode* n = grid.Add();
            n->SetStrings(0, last);
            n->SetStrings(1, first);
        }
    }
    std::string Firsts() const {
        std::string out;
        for (int i = 0; i < grid.Count(); ++i)
            out += grid.Items(i)->Strings(1) + " ";
        return out;
    }
};

TEST(Sorting, SeveralSortedColumnsChainWhenMultiSortHolds) {
    SortGrid f;
    f.grid.SetOptionsEx(f.grid.OptionsEx() | tlxMultiSort);
    f.grid.Columns(0)->SetSorted(csUp);
    f.grid.Columns(1)->SetSorted(csDown);
    f.grid.SortNodes(-1, 0, false);
    EXPECT_EQ(f.Firsts(), "Cy Bo Al Zoe Amy ");
    // With multi-sort off only the column given is compared; ties keep their order.
    f.grid.SetOptionsEx(f.grid.OptionsEx() & ~tlxMultiSort);
    f.grid.Columns(0)->SetSorted(csUp);
    f.grid.Columns(1)->SetSorted(csUp);
    ASSERT_EQ(f.grid.SortedColumnCount(), 2);
    f.grid.SortNodes(-1, 0, true);
    EXPECT_EQ(f.Firsts(), "Zoe Amy Bo Al Cy ");
}

TEST(Sorting, TheViewStaysWhereTheUserLooksAndTheScrollBarFollows) {
    struct Case {
        const char* name;
        int top;
        int focused;
        // After a descending sort of "00".."99": the top row index and the top row's text.
        int top_after;
        const char* top_text;
    };
    // The focused row in view keeps its place on the screen; out of view, the top row index
    // stays, and the rows under it are the new first rows.
    for (const Case& c : {Case{"focused row in view", 80, 82, 15, "84"},
                          Case{"focused row out of view", 0, 50, 0, "99"},
                          Case{"scrolled, focused row in view", 20, 23, 73, "26"}}) {
        SCOPED_TRACE(c.name);
        testing::GridFixture f(300, 200);
        f.grid.SetScrollBars(ssVertical);
        f.AddColumn("Number", 100);
        for (int i = 0; i < 100; ++i)
            f.grid.Add()->SetStrings(0, (i < 10 ? "0" : "") + std::to_string(i));
        f.grid.SetFocusedNode(f.grid.GetAbsoluteNode(c.focused));
        f.grid.SetTopIndex(c.top);
        ASSERT_EQ(f.grid.GetTopIndex(), c.top);
        const int rows = f.grid.GetVisibleRowCount();
        ASSERT_GT(rows, 4);
        ASSERT_LT(rows, 20);
        f.grid.SortNodes(-1, 0, true);
        EXPECT_EQ(f.grid.GetFocusedAbsoluteIndex(), 99 - c.focused);
        EXPECT_EQ(f.grid.GetTopIndex(), c.top_after);
        EXPECT_EQ(f.grid.TopVisibleNode()->Strings(0), c.top_text);
        EXPECT_EQ(f.grid.verticalScrollBar()->value(), f.grid.GetTopIndex());
    }
}

TEST(Sorting, OnCompareDecidesAndIsNegatedForDescending) {
    SortGrid f;
    int calls = 0;
    f.grid.OnCompare = [&](TCustomgxTreeList*, TgxTreeListNode* a, TgxTreeListNode* b, int& c) {
        ++calls;
        // By the length of the first name.
        c = static_cast<int>(a->Strings(1).size()) - static_cast<int>(b->Strings(1).size());
    };
    f.grid.SortNodes(-1, 0, false);
    EXPECT_EQ(f.grid.Items(0)->Strings(1).size(), 2u);
    EXPECT_EQ(f.grid.Items(4)->Strings(1).size(), 3u);
    f.grid.SortNodes(-1, 0, true);
    EXPECT_EQ(f.grid.Items(0)->Strings(1).size(), 3u);
    // A list of one node is left alone.
    GridFixture one(100, 100);
    one.AddColumn("A", 50);
    one.grid.Add()->AddChild();
    calls = 0;
    one.grid.OnCompare = f.grid.OnCompare;
    one.grid.SortNodes(-1, 0, false);
    EXPECT_EQ(calls, 0);
}

TEST(Sorting, LevelsSortOnlyTheirOwnLists) {
    GridFixture f(300, 200);
    f.AddColumn("A", 100);
    TgxTreeListNode* b = f.grid.Add();
    b->SetStrings(0, "b");
    TgxTreeListNode* a = f.grid.Add();
    a->SetStrings(0, "a");
    for (const char* s : {"z", "y"})
        b->AddChild()->SetStrings(0, s);
    f.grid.SortNodes(1, 0, false);
    EXPECT_EQ(f.grid.Items(0), b);  // the top level keeps its order
    EXPECT_EQ(b->GetFirstChild()->Strings(0), "y");
    f.grid.SortNodes(0, 0, false);
    EXPECT_EQ(f.grid.Items(0), a);
}

TEST(Sorting, SortedWhileLoadingWaitsForLoaded) {
    GridFixture f(300, 200);
    TgxTreeListColumn* a = f.AddColumn("A", 100);
    TgxTreeListColumn* b = f.AddColumn("B", 100);
    f.grid.SetLoading(true);
    a->SetSorted(csUp);
    EXPECT_EQ(f.grid.SortedColumnCount(), 0);
    f.grid.Loaded();
    EXPECT_EQ(f.grid.SortedColumnCount(), 1);
    b->SetSorted(csDown);
    b->SetSorted(csNone);
    EXPECT_EQ(f.grid.SortedColumnCount(), 1);
}

}  // namespace
}  // namespace grid
