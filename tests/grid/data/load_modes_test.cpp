#include <gtest/gtest.h>

#include <QImage>
#include <QScrollBar>
#include <QTest>

#include <set>

#include "tests/grid/data/db_grid_fixture.h"

namespace grid::testing {
namespace {

struct MemGrid : GridHarness {
    MemList list;
    explicit MemGrid(int rows, TgxDBGridOptions extra = 0, bool partial = false) : list(rows) {
        Column("Index");
        Column("Item");
        Column("Category");
        Column("Bounces");
        grid->SetKeyField("Index");
        grid->SetOptions(grid->Options() | extra);
        grid->SetPartialLoad(partial);
        grid->SetDataSource(list.source.get());
    }
    int FocusedKey() {
        auto* row = static_cast<TgxDBGridNode*>(grid->GetFocusedNode());
        return row != nullptr ? row->Key.AsInteger() : -1;
    }
};

TEST(DBGridOptions, DefaultsMapOntoTheTreeListWords) {
    GridHarness h;
    EXPECT_EQ(h.grid->Options(), 0x3B97u);
    EXPECT_EQ(h.grid->OptionsEx(), 0x2014B6u);
    EXPECT_EQ(h.grid->TreeListOptions(), 0x0097u);
    EXPECT_EQ(h.grid->TreeListOptionsEx(), 0x14B6u);
    EXPECT_EQ(MapGridOptions(0x3B97), 0x0097u);
    EXPECT_EQ(MapGridOptionsEx(0x2014B6, 0), 0x14B6u);
}

TEST(DBGridOptions, RowSelectAndInvertSelectExcludeEachOther) {
    GridHarness h;
    h.grid->SetOptionsEx(h.grid->OptionsEx() | egoInvertSelect);
    EXPECT_TRUE(h.grid->TreeListOptionsEx() & tlxInvertSelect);
    h.grid->SetOptions(h.grid->Options() | egoRowSelect | egoEditing);
    EXPECT_TRUE(h.grid->TreeListOptions() & tloRowSelect);
    EXPECT_FALSE(h.grid->TreeListOptions() & tloEditing);
    EXPECT_FALSE(h.grid->OptionsEx() & egoInvertSelect);
    EXPECT_FALSE(h.grid->TreeListOptionsEx() & tlxInvertSelect);
    h.grid->SetOptionsEx(h.grid->OptionsEx() | egoInvertSelect);
    EXPECT_FALSE(h.grid->Options() & egoRowSelect);
    // The mapped word never carries bit 14.
    EXPECT_FALSE(MapGridOptions(0xFFFFFFFFu) & (1u << 14));
}

TEST(DBGridOptions, LoadAllAndDefaultFieldsExcludeEachOther) {
    GridHarness h;
    h.grid->SetDefaultFields(true);
    h.grid->SetOptions(h.grid->Options() | egoLoadAllRecords);
    EXPECT_FALSE(h.grid->DefaultFields());
    h.grid->SetDefaultFields(true);
    EXPECT_FALSE(h.grid->Options() & egoLoadAllRecords);
}

TEST(DBGridLoadModes, ModeFollowsOptionsGroupingAndPartialLoad) {
    MemGrid g(20);
    EXPECT_TRUE(g.grid->IsBufferMode());
    g.grid->SetPartialLoad(true);
    EXPECT_TRUE(g.grid->IsPartialLoadMode());
    g.grid->ColumnByFieldName("Category")->SetGroupIndex(0);
    EXPECT_TRUE(g.grid->IsLoadAllMode());
    g.grid->ColumnByFieldName("Category")->SetGroupIndex(-1);
    EXPECT_TRUE(g.grid->IsPartialLoadMode());
    g.grid->SetOptions(g.grid->Options() | egoLoadAllRecords);
    EXPECT_TRUE(g.grid->IsLoadAllMode());
    EXPECT_EQ(g.grid->Count(), 20);
}

TEST(DBGridLoadModes, SwitchingLoadAllReloads) {
    MemGrid g(500, 0, true);
    ASSERT_LT(g.grid->Count(), 500);
    g.grid->SetOptions(g.grid->Options() | egoLoadAllRecords);
    EXPECT_EQ(g.grid->Count(), 500);
    g.grid->SetOptions(g.grid->Options() & ~egoLoadAllRecords);
    EXPECT_TRUE(g.grid->IsPartialLoadMode());
    EXPECT_LT(g.grid->Count(), 500);
}

TEST(DBGridLoadModes, LoadAllReadsEveryRecordInOrder) {
    MemGrid g(30, egoLoadAllRecords);
    ASSERT_EQ(g.grid->Count(), 30);
    for (int i = 0; i < 30; ++i) {
        auto* row = static_cast<TgxDBGridNode*>(g.grid->Items(i));
        EXPECT_EQ(row->Key.AsInteger(), i + 1);
        EXPECT_EQ(row->RecNo, i);
    }
    EXPECT_EQ(g.grid->GetCellText(g.grid->Items(4), 1), "user5@example.org");
}

TEST(DBGridLoadModes, WithoutKeyFieldNavigationShowsNothing) {
    MemGrid g(10, egoLoadAllRecords);
    g.grid->SetKeyField("");
    EXPECT_EQ(g.grid->Count(), 0);
    g.grid->SetOptions(g.grid->Options() & ~egoCanNavigation);
    EXPECT_EQ(g.grid->Count(), 10);
}

TEST(DBGridLoadModes, OpenAndCloseReload) {
    MemGrid g(12, egoLoadAllRecords);
    EXPECT_EQ(g.grid->Count(), 12);
    g.list.ds->Close();
    EXPECT_EQ(g.grid->Count(), 0);
    g.list.ds->Open();
    EXPECT_EQ(g.grid->Count(), 12);
}

TEST(DBGridPartialLoad, WindowIsBoundedAndCentredOnTheCurrentRecord) {
    MemGrid g(1000, 0, true);
    g.grid->SetPartialLoadBufferCount(100);
    g.list.ds->First();
    g.grid->ReloadAll();
    // Five screens or the buffer count, whichever is larger; from the first record only
    // forward rows exist.
    EXPECT_TRUE(g.grid->StartRead());
    EXPECT_FALSE(g.grid->EndRead());
    EXPECT_LE(g.grid->Count(), 120);
    EXPECT_GE(g.grid->Count(), 100);
    EXPECT_EQ(g.FocusedKey(), 1);

    ASSERT_TRUE(g.list.ds->Locate("Index", 500, {}));
    EXPECT_EQ(g.FocusedKey(), 500);
    EXPECT_FALSE(g.grid->StartRead());
    EXPECT_FALSE(g.grid->EndRead());
    auto* first = static_cast<TgxDBGridNode*>(g.grid->GetFirstNode());
    auto* last = static_cast<TgxDBGridNode*>(g.grid->Items(g.grid->Count() - 1));
    EXPECT_LT(first->Key.AsInteger(), 500);
    EXPECT_GT(last->Key.AsInteger(), 500);
    // Record numbers are consecutive around the current record.
    for (int i = 1; i < g.grid->Count(); ++i)
        EXPECT_EQ(static_cast<TgxDBGridNode*>(g.grid->Items(i))->RecNo,
                  static_cast<TgxDBGridNode*>(g.grid->Items(i - 1))->RecNo + 1);

    g.list.ds->Last();
    EXPECT_TRUE(g.grid->EndRead());
    EXPECT_EQ(g.FocusedKey(), 1000);
    EXPECT_LE(g.grid->Count(), 120);
}

TEST(DBGridPartialLoad, EmptyDatasetSetsBothFlagsAndScrollingLoadsNothing) {
    MemGrid g(0, 0, true);
    EXPECT_TRUE(g.grid->StartRead());
    EXPECT_TRUE(g.grid->EndRead());
    EXPECT_EQ(g.grid->Count(), 0);
    std::int64_t read = g.grid->RecordsRead();
    g.grid->SetTopIndex(0);
    EXPECT_EQ(g.grid->RecordsRead(), read);
}

TEST(DBGridPartialLoad, WindowGrowsNearItsEdges) {
    MemGrid g(2000, 0, true);
    ASSERT_TRUE(g.list.ds->Locate("Index", 1000, {}));
    const int before = g.grid->Count();
    const int first_key = static_cast<TgxDBGridNode*>(g.grid->GetFirstNode())->Key.AsInteger();
    // Near the end of what is loaded: a further window is read forward.
    g.grid->SetTopIndex(g.grid->GetAbsoluteCount() - g.grid->GetVisibleRowCount());
    EXPECT_GT(g.grid->Count(), before);
    const int after_forward = g.grid->Count();
    // Near the start: a window is read backward, and the rows in view stay where they were.
    g.grid->SetTopIndex(0);
    EXPECT_GT(g.grid->Count(), after_forward);
    auto* first = static_cast<TgxDBGridNode*>(g.grid->GetFirstNode());
    EXPECT_LT(first->Key.AsInteger(), first_key);
    for (int i = 1; i < g.grid->Count(); ++i)
        ASSERT_EQ(static_cast<TgxDBGridNode*>(g.grid->Items(i))->Key.AsInteger(),
                  static_cast<TgxDBGridNode*>(g.grid->Items(i - 1))->Key.AsInteger() + 1);
}

TEST(DBGridSync, FocusAndCurrentRecordFollowEachOther) {
    for (bool partial : {false, true}) {
        SCOPED_TRACE(partial ? "partial" : "load all");
        MemGrid g(300, partial ? 0 : egoLoadAllRecords, partial);
        ASSERT_TRUE(g.list.ds->Locate("Index", 40, {}));
        EXPECT_EQ(g.FocusedKey(), 40);
        g.list.ds->MoveBy(3);
        EXPECT_EQ(g.FocusedKey(), 43);
        // The user focuses a row: the dataset goes to its record.
        TgxTreeListNode* target = g.grid->FindNodeByKeyValue(db::Variant(50));
        ASSERT_NE(target, nullptr);
        g.grid->SetFocusedNode(target);
        EXPECT_EQ(g.list.CurrentKey(), 50);
        g.grid->SetFocusedNode(g.grid->FindNodeByKeyValue(db::Variant(45)));
        EXPECT_EQ(g.list.CurrentKey(), 45);
    }
}

TEST(DBGridSync, UseLocatePositionsByKey) {
    MemGrid g(50, egoLoadAllRecords | egoUseLocate);
    g.grid->SetFocusedNode(g.grid->FindNodeByKeyValue(db::Variant(33)));
    EXPECT_EQ(g.list.CurrentKey(), 33);
}

TEST(DBGridSync, RelativeMoveChecksTheKeyWhenRowsChangedUnderneath) {
    MemGrid g(20, egoLoadAllRecords);
    g.grid->SetFocusedNode(g.grid->FindNodeByKeyValue(db::Variant(5)));
    ASSERT_EQ(g.list.CurrentKey(), 5);
    // Another program puts a record in front, unseen by the grid: relative moves now land
    // one record short.
    g.list.SneakInFront(999);
    g.grid->SetFocusedNode(g.grid->FindNodeByKeyValue(db::Variant(9)));
    EXPECT_EQ(g.list.CurrentKey(), 9);
}

TEST(DBGridSync, AnotherGridLoadingDoesNotMakeThisOneReload) {
    MemGrid g(10, egoLoadAllRecords);
    GridHarness other;
    other.Column("Index");
    other.grid->SetKeyField("Index");
    other.grid->SetOptions(other.grid->Options() | egoLoadAllRecords);
    std::int64_t read = g.grid->RecordsRead();
    other.grid->SetDataSource(g.list.source.get());
    // The second grid's load sends changes while it loads; the first only re-synchronises.
    EXPECT_EQ(other.grid->Count(), 10);
    EXPECT_LE(g.grid->RecordsRead() - read, 10);
}

TEST(DBGridBufferMode, RowsAreTheLinkBuffer) {
    MemGrid g(100);
    ASSERT_TRUE(g.grid->IsBufferMode());
    EXPECT_GT(g.grid->Count(), 1);
    EXPECT_LE(g.grid->Count(), g.grid->GetVisibleRowCount() + 1);
    EXPECT_EQ(g.grid->GetCellText(g.grid->Items(0), 0), "1");
    g.grid->SetFocusedAbsoluteIndex(3);
    EXPECT_EQ(g.list.CurrentKey(), 4);
    // Focusing a row (a click) moves the dataset to that place in the buffer.
    g.grid->SetFocusedNode(g.grid->Items(1));
    EXPECT_EQ(g.list.CurrentKey(), 2);
    EXPECT_EQ(g.grid->GetFocusedNode(), g.grid->Items(1));
}

TEST(DBGridBufferMode, ScrollBarStandsForTheDataset) {
    MemGrid g(100);
    g.grid->SetScrollBars(ssBoth);
    g.grid->UpdateScrollBars();
    QScrollBar* bar = g.grid->verticalScrollBar();
    EXPECT_EQ(bar->minimum(), 1);
    EXPECT_EQ(bar->maximum(), 100);
    EXPECT_EQ(bar->value(), 1);
    const int rows = g.grid->GetVisibleRowCount();
    g.grid->BufferScroll(QAbstractSlider::SliderPageStepAdd);
    EXPECT_EQ(g.list.CurrentKey(), 1 + rows);
    EXPECT_EQ(bar->value(), 1 + rows);
    g.grid->BufferScroll(QAbstractSlider::SliderToMaximum);
    EXPECT_EQ(g.list.CurrentKey(), 100);
    EXPECT_EQ(g.grid->GetCellText(g.grid->GetFocusedNode(), 0), "100");
    g.grid->BufferScroll(QAbstractSlider::SliderSingleStepSub);
    EXPECT_LT(g.list.CurrentKey(), 100);
    g.grid->BufferScroll(QAbstractSlider::SliderToMinimum);
    EXPECT_EQ(g.list.CurrentKey(), 1);
}

TEST(DBGridPreview, PreviewTextIsCutToTheMaximumLength) {
    MemGrid g(3, egoLoadAllRecords | egoPreview);
    g.grid->SetPreviewFieldName("Comments");
    EXPECT_EQ(g.grid->GetPreviewText(g.grid->Items(0)), "comment 1");
    g.grid->SetPreviewMaxLength(4);
    g.grid->ReloadAll();
    EXPECT_EQ(g.grid->GetPreviewText(g.grid->Items(0)), "comm...");
    g.grid->OnGetPreviewText = [](TCustomgxDBGrid*, const TgxTreeListNode*, std::string& text) {
        text = "[" + text + "]";
    };
    EXPECT_EQ(g.grid->GetPreviewText(g.grid->Items(0)), "[comm...]");
    g.grid->OnGetPreviewText = nullptr;
    // Accented letters count as one character each and are never split.
    g.list.ds->First();
    g.list.ds->Edit();
    g.list.ds->FieldByName("Comments")->SetAsString("\xC3\xA9t\xC3\xA9 comment");
    g.list.ds->Post();
    g.grid->ReloadAll();
    EXPECT_EQ(g.grid->GetPreviewText(g.grid->Items(0)), "\xC3\xA9t\xC3\xA9 ...");
    g.grid->SetPreviewMaxLength(12);
    g.grid->ReloadAll();
    EXPECT_EQ(g.grid->GetPreviewText(g.grid->Items(0)), "\xC3\xA9t\xC3\xA9 comment");
}

}  // namespace
}  // namespace grid::testing

namespace grid::testing {
namespace {

std::set<int> SelectedKeys(TCustomgxDBGrid& grid, db::TDataSet& ds) {
    std::set<int> keys;
    ds.DisableControls();
    const db::TBookmark back = ds.Bookmark();
    for (int i = 0; i < grid.GetSelectedCount(); ++i) {
        ds.GotoBookmark(grid.GetSelectedBookmark(i));
        keys.insert(ds.FieldByName("Index")->AsInteger());
    }
    ds.GotoBookmark(back);
    ds.EnableControls();
    return keys;
}

std::set<int> KeyRange(int first, int last) {
    std::set<int> keys;
    for (int k = first; k <= last; ++k)
        keys.insert(k);
    return keys;
}

TEST(DBGridBufferMode, ShiftUpAndDownSelectRecordsAcrossTheBufferEdge) {
    MemGrid g(100, egoMultiSelect);
    g.grid->setFocus();
    const int rows = g.grid->GetVisibleRowCount();
    g.list.ds->MoveBy(rows - 3);
    const int start = g.list.CurrentKey();
    // Down past the bottom row scrolls the buffer; the range keeps every record passed.
    for (int i = 0; i < 6; ++i)
        QTest::keyClick(g.grid.get(), Qt::Key_Down, Qt::ShiftModifier);
    EXPECT_EQ(g.list.CurrentKey(), start + 6);
    EXPECT_EQ(g.grid->GetCellText(g.grid->GetFocusedNode(), 0), std::to_string(start + 6));
    EXPECT_EQ(SelectedKeys(*g.grid, *g.list.ds), KeyRange(start, start + 6));
    // Back up past the anchor: the range turns round it.
    for (int i = 0; i < 8; ++i)
        QTest::keyClick(g.grid.get(), Qt::Key_Up, Qt::ShiftModifier);
    EXPECT_EQ(SelectedKeys(*g.grid, *g.list.ds), KeyRange(start - 2, start));

    // Over an empty table the same keys select nothing.
    MemGrid empty(0, egoMultiSelect);
    empty.grid->setFocus();
    for (Qt::Key key : {Qt::Key_Down, Qt::Key_Up, Qt::Key_End, Qt::Key_Home, Qt::Key_PageDown})
        QTest::keyClick(empty.grid.get(), key, Qt::ShiftModifier);
    EXPECT_EQ(empty.grid->GetSelectedCount(), 0);
    EXPECT_EQ(empty.list.ds->State(), db::dsBrowse);
}

TEST(DBGridBufferMode, PagesMoveTheDatasetPastTheBufferAndShiftRangesSelectRecords) {
    MemGrid g(100, egoMultiSelect);
    ASSERT_TRUE(g.grid->IsBufferMode());
    g.grid->setFocus();
    const int rows = g.grid->GetVisibleRowCount();
    ASSERT_GT(rows, 3);
    auto focused_text = [&] { return g.grid->GetCellText(g.grid->GetFocusedNode(), 0); };
    // The first page goes to the bottom row; each further page a page less one row on.
    QTest::keyClick(g.grid.get(), Qt::Key_PageDown);
    EXPECT_EQ(g.list.CurrentKey(), rows);
    for (int i = 1; i <= 3; ++i) {
        QTest::keyClick(g.grid.get(), Qt::Key_PageDown);
        EXPECT_EQ(g.list.CurrentKey(), rows + i * (rows - 1));
        EXPECT_EQ(focused_text(), std::to_string(g.list.CurrentKey()));
    }
    const int paged = g.list.CurrentKey();
    QTest::keyClick(g.grid.get(), Qt::Key_PageUp);
    EXPECT_LT(g.list.CurrentKey(), paged);
    EXPECT_EQ(focused_text(), std::to_string(g.list.CurrentKey()));
    for (int i = 0; i < 20; ++i)
        QTest::keyClick(g.grid.get(), Qt::Key_PageDown);
    EXPECT_EQ(g.list.CurrentKey(), 100);

    // Shift ranges run over records the buffer does not hold.
    ASSERT_TRUE(g.list.ds->Locate("Index", 40, {}));
    QTest::keyClick(g.grid.get(), Qt::Key_End, Qt::ShiftModifier | Qt::ControlModifier);
    EXPECT_EQ(g.list.CurrentKey(), 100);
    EXPECT_EQ(SelectedKeys(*g.grid, *g.list.ds), KeyRange(40, 100));
    QTest::keyClick(g.grid.get(), Qt::Key_Home, Qt::ShiftModifier);
    EXPECT_EQ(g.list.CurrentKey(), 1);
    EXPECT_EQ(SelectedKeys(*g.grid, *g.list.ds), KeyRange(1, 40));
    // A page without Shift leaves the range behind; a new range starts where it stands.
    QTest::keyClick(g.grid.get(), Qt::Key_PageDown);
    EXPECT_EQ(g.grid->GetSelectedCount(), 0);
    const int start = g.list.CurrentKey();
    QTest::keyClick(g.grid.get(), Qt::Key_PageDown, Qt::ShiftModifier);
    QTest::keyClick(g.grid.get(), Qt::Key_PageDown, Qt::ShiftModifier);
    EXPECT_EQ(g.list.CurrentKey(), start + 2 * (rows - 1));
    // The rows of the range are drawn selected, the focused record still at the bottom.
    EXPECT_EQ(g.grid->GetFocusedAbsoluteIndex(), g.grid->GetDataLink()->ActiveRecord());
    EXPECT_GE(g.grid->GetFocusedAbsoluteIndex(), rows - 1);
    for (int i = 0; i < rows; ++i)
        EXPECT_TRUE(g.grid->IsNodeRecordSelected(g.grid->Items(i))) << i;
    QImage image(g.grid->size(), QImage::Format_ARGB32);
    g.grid->render(&image);
    image.save(QString(CORVANE_TEST_OUTPUT_DIR) + "/dbgrid_buffer_shift_pages.png");
    EXPECT_EQ(SelectedKeys(*g.grid, *g.list.ds), KeyRange(start, g.list.CurrentKey()));
}

}  // namespace
}  // namespace grid::testing
