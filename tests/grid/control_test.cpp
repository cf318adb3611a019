#include <gtest/gtest.h>

#include <limits>

#include <QScrollBar>

#include "tests/grid/grid_fixture.h"

namespace grid {
namespace {

using testing::GridFixture;

TEST(Column, WidthDefaultsAreNotStoredUntilChanged) {
    GridFixture f(300, 100);
    TgxTreeListColumn* c = f.grid.CreateColumn();
    EXPECT_EQ(c->Width(), 100);
    EXPECT_FALSE(c->IsWidthStored());
    c->SetWidth(100);
    EXPECT_FALSE(c->IsWidthStored());
    c->SetWidth(150);
    EXPECT_TRUE(c->IsWidthStored());
    EXPECT_EQ(c->Width(), 150);
}

TEST(Column, MinimumWidthRules) {
    GridFixture f(300, 100);
    TgxTreeListColumn* c = f.grid.CreateColumn();
    c->SetWidth(10);
    EXPECT_EQ(c->Width(), 20);
    c->SetWidth(50);
    c->SetMinWidth(60);
    EXPECT_EQ(c->Width(), 60);
    c->SetMinWidth(-4);
    EXPECT_EQ(c->MinWidth(), 0);
}

TEST(Column, AbsurdWidthsAreCappedSoTheLayoutStillAddsUp) {
    GridFixture f(300, 100);
    f.grid.SetOptions(f.grid.Options() & ~tloAutoWidth);
    std::vector<TgxTreeListColumn*> columns;
    for (int i = 0; i < 3; ++i)
        columns.push_back(f.AddColumn("C" + std::to_string(i), 1 << 30));
    for (TgxTreeListColumn* c : columns)
        EXPECT_EQ(c->Width(), kMaxBandColumnWidth);
    EXPECT_EQ(f.grid.GetBandsWidth(), 3 * kMaxBandColumnWidth);
    columns[0]->SetMinWidth(std::numeric_limits<int>::max());
    EXPECT_EQ(columns[0]->MinWidth(), kMaxBandColumnWidth);
    TgxTreeListBand* band = f.grid.Bands().Items(0);
    band->SetWidth(std::numeric_limits<int>::max());
    EXPECT_EQ(band->Width(), kMaxBandColumnWidth);
    band->SetMinWidth(std::numeric_limits<int>::max());
    EXPECT_EQ(band->MinWidth(), kMaxBandColumnWidth);
    // The view still scrolls to the far end and back.
    f.grid.SetLeftCoord(std::numeric_limits<int>::max());
    EXPECT_EQ(f.grid.LeftCoord(), 3 * kMaxBandColumnWidth - 300);
}

TEST(Column, ColourFollowsTheControlUntilSetAndRestoreDefaultsForgets) {
    GridFixture f(300, 100);
    TgxTreeListColumn* c = f.grid.CreateColumn();
    f.grid.SetColor(ui::clYellow);
    EXPECT_EQ(c->GetColor(), ui::clYellow);
    c->SetColor(ui::clRed);
    f.grid.SetColor(ui::clWhite);
    EXPECT_EQ(c->GetColor(), ui::clRed);
    c->RestoreDefaults();
    EXPECT_EQ(c->GetColor(), ui::clWhite);
    EXPECT_EQ(c->AssignedValues(), 0);
}

TEST(Column, IndexClampsAndReadOnlyFollowsTheEditorQuery) {
    struct ReadOnlyGrid : TCustomgxTreeListControl {
        bool IsEditReadOnly() override { return true; }
    } grid;
    grid.CreateColumn();
    grid.CreateColumn();
    TgxTreeListColumn* c = grid.Columns(0);
    EXPECT_TRUE(c->ReadOnly());
    c->SetBandIndex(-5);
    EXPECT_EQ(c->BandIndex(), -1);
    grid.SetDefaultLayout(false);
    grid.Bands().Add();
    c->SetBandIndex(7);
    EXPECT_EQ(c->BandIndex(), 1);
    grid.SetHeaderPanelRowCount(3);
    c->SetBandIndex(-1);  // outside any band, so no empty row closes up under it
    c->SetRowIndex(9);
    EXPECT_EQ(c->RowIndex(), 2);
}

TEST(Column, FontIsTheControlsUntilChanged) {
    GridFixture f(300, 100);
    TgxTreeListColumn* c = f.grid.CreateColumn();
    f.grid.Font().SetSize(11);
    EXPECT_EQ(c->Font().Size(), 11);
    EXPECT_FALSE(f.grid.IsColumnFontExplicit(0));
    c->MutableFont().SetSize(14);
    EXPECT_TRUE(f.grid.IsColumnFontExplicit(0));
    f.grid.Font().SetSize(9);
    EXPECT_EQ(c->Font().Size(), 14);
}

TEST(Column, MovingAColumnKeepsNodeTextsUnderIt) {
    GridFixture f(300, 100);
    for (const char* caption : {"A", "B", "C"})
        f.grid.CreateColumn()->SetCaption(caption);
    TgxTreeListNode* parent = f.grid.Add();
    TgxTreeListNode* child = parent->AddChild();
    for (TgxTreeListNode* n : {parent, child}) {
        n->SetStrings(0, "a");
        n->SetStrings(1, "b");
        n->SetStrings(2, "c");
    }
    TgxTreeListColumn* a = f.grid.Columns(0);
    a->SetIndex(0);  // unchanged: nothing moves
    EXPECT_EQ(parent->Strings(0), "a");
    a->SetIndex(2);
    EXPECT_EQ(f.grid.Columns(2), a);
    for (TgxTreeListNode* n : {parent, child}) {
        EXPECT_EQ(n->Strings(2), "a");
        EXPECT_EQ(n->Strings(0), "b");
        EXPECT_EQ(n->Strings(1), "c");
    }
}

TEST(Column, HiddenColumnHasNoVisiblePosition) {
    GridFixture f(300, 100);
    for (const char* caption : {"A", "B", "C"})
        f.grid.CreateColumn()->SetCaption(caption);
    f.grid.Columns(1)->SetVisible(false);
    EXPECT_EQ(f.grid.GetVisibleColumnCount(), 2);
    EXPECT_EQ(f.grid.GetColumnVisibleIndex(1), -1);
    EXPECT_EQ(f.grid.GetColumnVisibleIndex(2), 1);
    EXPECT_EQ(f.grid.GetVisibleColumnIndex(1), 2);
    EXPECT_EQ(f.grid.GetVisibleColumnIndex(5), -1);
    EXPECT_TRUE(f.grid.IsColumnListedInCustomizing(1));
}

TEST(Column, ColumnsAreNamedAfterTheControlWithFreeNumbers) {
    GridFixture f(300, 100);
    f.grid.setObjectName("gxDBGrid1");
    TgxTreeListColumn* a = f.grid.CreateColumn();
    EXPECT_EQ(a->Name(), "gxDBGrid1Column1");
    a->SetName("gxDBGrid1Column2");
    TgxTreeListColumn* b = f.grid.CreateColumn();
    EXPECT_EQ(b->Name(), "gxDBGrid1Column3");
    EXPECT_EQ(f.grid.FindColumnByName("GXDBGRID1COLUMN3"), b);
    // A control name that makes no identifier cannot name columns; they stay unnamed.
    f.grid.setObjectName("<b>grid");
    TgxTreeListColumn* c = f.grid.CreateColumn();
    EXPECT_EQ(c->Name(), "");
    EXPECT_EQ(f.grid.ColumnCount(), 3);
}

struct BandedGrid : GridFixture {
    BandedGrid() : GridFixture(800, 200) {
        grid.SetDefaultLayout(false);
        grid.Bands().Add();
        grid.Bands().Add();
        for (int b = 0; b < 3; ++b) {
            grid.Bands().Items(b)->SetCaption(std::string(1, static_cast<char>('X' + b)));
            AddColumn(std::string(1, static_cast<char>('a' + b)), 60, b);
        }
    }
    std::string BandOf(const char* caption) {
        for (int i = 0; i < grid.ColumnCount(); ++i)
            if (grid.Columns(i)->Caption() == caption)
                return grid.Bands().Items(grid.Columns(i)->BandIndex())->Caption();
        return "?";
    }
};

TEST(Band, FixingMovesTheBandAndColumnsFollow) {
    BandedGrid f;
    f.grid.Bands().Items(2)->SetFixed(bfLeft);
    EXPECT_EQ(f.grid.Bands().Items(0)->Caption(), "Z");
    EXPECT_EQ(f.grid.Bands().Items(0)->Fixed(), bfLeft);
    EXPECT_EQ(f.BandOf("a"), "X");
    EXPECT_EQ(f.BandOf("b"), "Y");
    EXPECT_EQ(f.BandOf("c"), "Z");
    // A second left band takes the kind from the first.
    f.grid.Bands().Items(2)->SetFixed(bfLeft);
    EXPECT_EQ(f.grid.Bands().Items(0)->Caption(), "Y");
    EXPECT_EQ(f.grid.Bands().Items(0)->Fixed(), bfLeft);
    EXPECT_EQ(f.grid.Bands().Items(1)->Caption(), "Z");
    EXPECT_EQ(f.grid.Bands().Items(1)->Fixed(), bfNone);
    EXPECT_EQ(f.BandOf("b"), "Y");
    // A fixed band ignores index changes.
    f.grid.Bands().Items(0)->SetIndex(2);
    EXPECT_EQ(f.grid.Bands().Items(0)->Caption(), "Y");
}

TEST(Band, HiddenBandsStayUnfixedAndWidthRespectsTheMinimum) {
    BandedGrid f;
    TgxTreeListBand* band = f.grid.Bands().Items(1);
    band->SetVisible(false);
    band->SetFixed(bfRight);
    EXPECT_EQ(band->Fixed(), bfNone);
    band->SetWidth(10);
    EXPECT_EQ(band->Width(), 30);
}

TEST(Band, DeletingABandRenumbersColumnsEvenInsideAnUpdateLock) {
    for (bool locked : {false, true}) {
        BandedGrid f;
        if (locked)
            f.grid.BeginUpdate();
        f.grid.Bands().Delete(0);
        if (locked)
            f.grid.EndUpdate();
        EXPECT_EQ(f.grid.Columns(0)->BandIndex(), -1) << locked;
        EXPECT_EQ(f.grid.Columns(1)->BandIndex(), 0) << locked;
        EXPECT_EQ(f.grid.Columns(2)->BandIndex(), 1) << locked;
        EXPECT_EQ(f.BandOf("c"), "Z");
        EXPECT_FALSE(f.grid.IsColumnVisible(0));
    }
}

TEST(BandedControl, CountLimitsAndDefaultLayout) {
    GridFixture f(300, 100);
    f.grid.SetBandRowCount(9);
    EXPECT_EQ(f.grid.BandRowCount(), 5);
    f.grid.SetHeaderPanelRowCount(0);
    EXPECT_EQ(f.grid.HeaderPanelRowCount(), 1);
    f.grid.SetOptionsEx(f.grid.OptionsEx() | tlxAutoHeaderPanelHeight);
    EXPECT_TRUE(f.grid.DefaultLayout());
    f.grid.SetHeaderPanelRowCount(2);
    EXPECT_FALSE(f.grid.DefaultLayout());
    EXPECT_FALSE(f.grid.IsAutoHeaderPanelHeight());
    f.grid.SetDefaultLayout(true);
    EXPECT_EQ(f.grid.Bands().Count(), 1);
    EXPECT_EQ(f.grid.HeaderPanelRowCount(), 1);
}

TEST(BandedControl, EmptyHeaderRowsCloseUp) {
    GridFixture f(600, 200);
    f.grid.SetDefaultLayout(false);
    f.grid.SetHeaderPanelRowCount(2);
    TgxTreeListColumn* c = f.AddColumn("A", 80, 0, 1);
    EXPECT_EQ(c->RowIndex(), 0);
    EXPECT_EQ(f.grid.GetHeaderRowCount(0), 1);
}

TEST(BandedControl, ColumnAtAPointIsAHeaderOrNothing) {
    GridFixture f(400, 200);
    f.AddColumn("A", 100);
    f.AddColumn("B", 100);
    f.grid.Add();
    TDrawInfo info;
    f.grid.CalcDrawInfo(info);
    // Header cells lie in the header panel; rows below carry no header cell.
    for (const THeaderCellInfo& hc : info.header_cells)
        EXPECT_LT(hc.rect.top, info.node_area.top);
}

TEST(BandedControl, HeaderClicksCycleTheSortMark) {
    GridFixture f(400, 200);
    TgxTreeListColumn* c = f.AddColumn("A", 100);
    f.grid.SetOptions(f.grid.Options() | tloAutoSort);
    const TgxTreeListColumnSort expected[] = {csUp, csDown, csUp};
    for (TgxTreeListColumnSort e : expected) {
        f.grid.DoHeaderClick(0);
        EXPECT_EQ(c->Sorted(), e);
    }
    EXPECT_EQ(f.grid.SortedColumnCount(), 1);
    f.grid.SetClearSortFlag(true);
    f.grid.DoHeaderClick(0);
    EXPECT_EQ(c->Sorted(), csNone);
    EXPECT_EQ(f.grid.SortedColumnCount(), 0);
}

TEST(BandedControl, LoadingStoresMarksAndLoadedOrdersThem) {
    GridFixture f(400, 200);
    TgxTreeListColumn* a = f.AddColumn("A", 100);
    TgxTreeListColumn* b = f.AddColumn("B", 100);
    f.grid.SetLoading(true);
    a->SetSorted(csUp);
    b->SetSorted(csDown);
    a->SetStoredSortOrder(1);
    b->SetStoredSortOrder(0);
    EXPECT_EQ(f.grid.SortedColumnCount(), 0);
    f.grid.Loaded();
    ASSERT_EQ(f.grid.SortedColumnCount(), 2);
    EXPECT_EQ(f.grid.GetSortedColumn(0), b);
    EXPECT_TRUE(f.grid.SortedColumnDesc(0));
}

TEST(BandedControl, BestFitUsesTheWidestTextUnlessSizingIsOff) {
    GridFixture f(400, 200);
    TgxTreeListColumn* c = f.AddColumn("Name", 50);
    f.grid.SetGridMode(true);  // no tree indent
    f.grid.Add()->SetStrings(0, "abcdefghij");
    f.grid.ApplyBestFit(c);
    EXPECT_EQ(c->Width(), 10 * 7 + 2 * 7);
    c->SetSizing(false);
    c->SetWidth(33);
    f.grid.ApplyBestFit(c);
    EXPECT_EQ(c->Width(), 33);
}

TEST(BandedControl, SortingTextNodesByAColumn) {
    GridFixture f(400, 200);
    f.AddColumn("A", 100);
    for (const char* s : {"pear", "apple", "fig"})
        f.grid.Add()->SetStrings(0, s);
    f.grid.SortNodes(-1, 0, false);
    EXPECT_EQ(f.grid.Items(0)->Strings(0), "apple");
    EXPECT_EQ(f.grid.Items(2)->Strings(0), "pear");
    f.grid.SortNodes(0, 0, true);
    EXPECT_EQ(f.grid.Items(0)->Strings(0), "pear");
}

}  // namespace
}  // namespace grid

namespace grid {
namespace {

using testing::GridFixture;

TEST(BandedControl, ColumnAtAPointAnswersHeadersOnly) {
    GridFixture f(400, 200);
    f.grid.SetShowIndicator(true);
    TgxTreeListColumn* a = f.AddColumn("A", 100);
    TgxTreeListColumn* b = f.AddColumn("B", 100);
    f.grid.Add();
    EXPECT_EQ(f.grid.GetColumnAt(20, 5), a);
    EXPECT_EQ(f.grid.GetColumnAt(150, 5), b);
    EXPECT_EQ(f.grid.GetColumnAt(5, 5), nullptr);    // the header button
    EXPECT_EQ(f.grid.GetColumnAt(20, 30), nullptr);  // a cell
    EXPECT_EQ(f.grid.GetColumnAt(350, 5), nullptr);  // right of the bands
}

TEST(BandedControl, SwitchingAutoWidthOffKeepsTheShownWidths) {
    GridFixture f(500, 200);
    f.AddColumn("A", 100);
    f.grid.SetOptions(f.grid.Options() | tloAutoWidth);
    f.grid.SetOptionsEx(f.grid.OptionsEx() | tlxKeepColumnWidth);
    ASSERT_EQ(f.grid.GetHeaderWidth(0), 500);
    f.grid.SetOptions(f.grid.Options() & ~tloAutoWidth);
    EXPECT_EQ(f.grid.Columns(0)->Width(), 500);
}

TEST(BandedControl, FocusingAColumnScrollsItIntoView) {
    GridFixture f(250, 200);
    for (int i = 0; i < 5; ++i)
        f.AddColumn("C" + std::to_string(i), 100);
    f.grid.SetOptions(f.grid.Options() & ~tloRowSelect);
    TgxTreeListNode* n = f.grid.Add();
    f.grid.SetFocusedNodeColumn(n, 4, true);
    EXPECT_EQ(f.grid.LeftCoord(), 250);  // the last column's right edge at the view's right edge
    f.grid.SetFocusedNodeColumn(n, 1, true);
    EXPECT_EQ(f.grid.LeftCoord(), 100);  // its left edge at the view's left edge
    f.grid.SetLeftCoord(-20);
    EXPECT_EQ(f.grid.LeftCoord(), 0);
    f.grid.SetLeftCoord(10000);
    EXPECT_EQ(f.grid.LeftCoord(), 250);
}

TEST(BandedControl, InvalidatingTheSelectionCountsRows) {
    struct Selected : TCustomgxTreeListControl {
        std::vector<TgxTreeListNode*> rows;
        int GetSelectedCount() const override { return static_cast<int>(rows.size()); }
        TgxTreeListNode* GetSelectedItem(int i) const override {
            return rows[static_cast<std::size_t>(i)];
        }
    } grid;
    grid.resize(300, 600);
    grid.setAttribute(Qt::WA_DontShowOnScreen);
    grid.show();
    grid.CreateColumn();
    for (int i = 0; i < 20; ++i)
        grid.Add();
    for (int i = 1; i <= 10; ++i)
        grid.rows.push_back(grid.Items(i));
    int before = grid.InvalidationCount();
    grid.InvalidateSelection();
    EXPECT_EQ(grid.InvalidationCount() - before, 11);
    grid.rows.push_back(grid.Items(11));
    before = grid.InvalidationCount();
    grid.InvalidateSelection();
    EXPECT_EQ(grid.InvalidationCount() - before, 1);  // the whole control at once
}

TEST(BandedControl, VerticalScrollBarCoversTheRows) {
    GridFixture f(300, 19 + 10 * 16);
    f.grid.SetScrollBars(ssVertical);
    f.AddColumn("A", 100);
    for (int i = 0; i < 30; ++i)
        f.grid.Add();
    f.grid.LayoutChanged();
    QScrollBar* bar = f.grid.verticalScrollBar();
    EXPECT_EQ(bar->pageStep(), f.grid.GetVisibleRowCount());
    EXPECT_EQ(bar->maximum(), 30 - f.grid.GetVisibleRowCount());
    f.grid.SetTopIndex(7);
    EXPECT_EQ(bar->value(), 7);
}

}  // namespace
}  // namespace grid

namespace grid {
namespace {

using testing::GridFixture;

TEST(Band, AssignCopiesThroughSettersAndRestoreDefaultsKeepsCaption) {
    GridFixture f(600, 100);
    f.grid.SetDefaultLayout(false);
    TgxTreeListBand* a = f.grid.Bands().Items(0);
    TgxTreeListBand* b = f.grid.Bands().Add();
    a->SetCaption("Source");
    a->SetAlignment(taRightJustify);
    a->SetMinWidth(40);
    a->SetWidth(120);
    a->SetSizing(false);
    b->Assign(*a);
    EXPECT_EQ(b->Caption(), "Source");
    EXPECT_EQ(b->Alignment(), taRightJustify);
    EXPECT_EQ(b->Width(), 120);
    EXPECT_FALSE(b->Sizing());
    b->RestoreDefaults();
    EXPECT_EQ(b->Caption(), "Source");
    EXPECT_EQ(b->Alignment(), taCenter);
    EXPECT_EQ(b->Width(), 250);
    EXPECT_EQ(b->MinWidth(), 30);
}

TEST(Column, AssignCopiesOnlyExplicitValues) {
    GridFixture f(600, 100);
    TgxTreeListColumn* source = f.AddColumn("Mail", 180);
    source->SetColor(ui::clYellow);
    TgxTreeListColumn* target = f.grid.CreateColumn();
    target->SetReadOnly(true);
    target->Assign(*source);
    EXPECT_EQ(target->Caption(), "Mail");
    EXPECT_EQ(target->Width(), 180);
    EXPECT_EQ(target->GetColor(), ui::clYellow);
    EXPECT_EQ(target->AssignedValues() & cvReadOnly, 0);  // the source never set it
    EXPECT_FALSE(target->ReadOnly());
}

TEST(BandedControl, DefaultLayoutGathersEveryColumnInOneBand) {
    GridFixture f(600, 100);
    f.grid.SetDefaultLayout(false);
    f.grid.Bands().Add();
    f.grid.Bands().Add();
    f.AddColumn("A", 50, 2);
    f.AddColumn("B", 50, 1);
    f.grid.SetDefaultLayout(true);
    EXPECT_EQ(f.grid.Bands().Count(), 1);
    EXPECT_EQ(f.grid.Columns(0)->BandIndex(), 0);
    EXPECT_EQ(f.grid.Columns(1)->BandIndex(), 0);
    EXPECT_FALSE(f.grid.ShowBands());
    f.grid.Bands().Add();
    EXPECT_FALSE(f.grid.DefaultLayout());  // any other band count leaves it
}

TEST(BandedControl, RemovingAColumnTakesItsTextsAlong) {
    GridFixture f(600, 100);
    f.AddColumn("A", 50);
    TgxTreeListColumn* b = f.AddColumn("B", 50);
    f.AddColumn("C", 50);
    TgxTreeListNode* n = f.grid.Add();
    n->SetStrings(0, "a");
    n->SetStrings(1, "b");
    n->SetStrings(2, "c");
    std::unique_ptr<TgxTreeListColumn> removed = f.grid.RemoveColumn(b);
    ASSERT_EQ(removed.get(), b);
    EXPECT_EQ(removed->ATreeList(), nullptr);
    EXPECT_EQ(n->Strings(1), "c");
    EXPECT_EQ(f.grid.ColumnCount(), 2);
}

}  // namespace
}  // namespace grid

namespace grid {
namespace {

TEST(BandedControl, OptionChangesThatInvalidateTheSortClearIt) {
    struct Case {
        const char* what;
        std::function<void(TCustomgxTreeListControl&)> change;
        bool clears;
    };
    const Case cases[] = {
        {"AutoSort newly set", [](auto& g) { g.SetOptions(g.Options() | tloAutoSort); }, true},
        {"AnsiSort switched on", [](auto& g) { g.SetOptionsEx(g.OptionsEx() | tlxAnsiSort); },
         true},
        {"MultiSort switched off", [](auto& g) { g.SetOptionsEx(g.OptionsEx() & ~tlxMultiSort); },
         true},
        {"Preview switched on", [](auto& g) { g.SetOptions(g.Options() | tloPreview); }, false},
    };
    for (const Case& c : cases) {
        testing::GridFixture f(300, 100);
        f.grid.SetOptionsEx(f.grid.OptionsEx() | tlxMultiSort);
        TgxTreeListColumn* col = f.AddColumn("A", 100);
        col->SetSorted(csDown);
        ASSERT_EQ(f.grid.SortedColumnCount(), 1);
        c.change(f.grid);
        EXPECT_EQ(f.grid.SortedColumnCount(), c.clears ? 0 : 1) << c.what;
        EXPECT_EQ(col->Sorted(), c.clears ? csNone : csDown) << c.what;
    }
}

}  // namespace
}  // namespace grid
