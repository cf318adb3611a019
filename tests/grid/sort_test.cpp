#include <gtest/gtest.h>

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
