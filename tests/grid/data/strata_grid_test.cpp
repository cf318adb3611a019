// The grid over the engine's table dataset, as the application runs it.

#include <gtest/gtest.h>

#include <QTest>

#include <set>

#include "grid/core/inplace_text_edit.h"
#include "platform/ui/prompt.h"
#include "tests/grid/data/db_grid_fixture.h"

namespace grid::testing {
namespace {

struct StrataGrid : GridHarness {
    StrataList db;
    explicit StrataGrid(int rows, TgxDBGridOptions extra = 0, bool partial = true) : db(rows) {
        Column("Index");
        Column("Item");
        Column("Category");
        Column("Bounces");
        grid->SetKeyField("Index");
        grid->SetOptions(grid->Options() | egoMultiSelect | extra);
        grid->SetPartialLoad(partial);
        grid->SetDataSource(db.source.get());
    }
    int CurrentKey() { return db.Table().FieldByName("Index")->AsInteger(); }
    int FocusedKey() {
        auto* row = static_cast<TgxDBGridNode*>(grid->GetFocusedNode());
        return row != nullptr ? row->Key.AsInteger() : -1;
    }
    std::set<int> Keys(db::TDataSet& table) {
        std::set<int> keys;
        table.DisableControls();
        for (table.First(); !table.Eof(); table.Next())
            keys.insert(table.FieldByName("Index")->AsInteger());
        table.EnableControls();
        return keys;
    }
};

TEST(DBGridStrata, PartialWindowFollowsTheTable) {
    StrataGrid g(3000);
    ASSERT_TRUE(g.grid->IsPartialLoadMode());
    EXPECT_TRUE(g.grid->StartRead());
    EXPECT_LT(g.grid->Count(), 200);
    EXPECT_EQ(g.FocusedKey(), 1);
    g.db.Table().Last();
    EXPECT_EQ(g.FocusedKey(), 3000);
    EXPECT_TRUE(g.grid->EndRead());
    ASSERT_TRUE(g.db.Table().Locate("Index", 1500, {}));
    EXPECT_EQ(g.FocusedKey(), 1500);
    EXPECT_FALSE(g.grid->StartRead());
    EXPECT_FALSE(g.grid->EndRead());
    // A step outside the window loads a window around the new record.
    const int last =
        static_cast<TgxDBGridNode*>(g.grid->Items(g.grid->Count() - 1))->Key.AsInteger();
    g.db.Table().MoveBy(last - 1500 + 5);
    EXPECT_EQ(g.FocusedKey(), last + 5);
    EXPECT_EQ(g.CurrentKey(), g.FocusedKey());
    // The focus moves the table.
    TgxTreeListNode* row = g.grid->FindNodeByKeyValue(db::Variant(g.FocusedKey() - 7));
    ASSERT_NE(row, nullptr);
    g.grid->SetFocusedNode(row);
    EXPECT_EQ(g.CurrentKey(), g.FocusedKey());
}

TEST(DBGridStrata, GroupingCountsEveryRecordAndReturnsToPartialLoading) {
    StrataGrid g(500);
    TgxDBTreeListColumn* category = g.grid->ColumnByFieldName("Category");
    category->SetSummaryType(cstCount);
    category->SetGroupIndex(0);
    ASSERT_EQ(g.grid->Count(), 5);
    for (int i = 0; i < 5; ++i) {
        auto* group = static_cast<TgxDBGridNode*>(g.grid->Items(i));
        EXPECT_EQ(group->Count(), 100);
        EXPECT_EQ(g.grid->GetCellText(group, 0), group->GroupValue().AsString() + " (COUNT=100)");
    }
    category->SetGroupIndex(-1);
    EXPECT_TRUE(g.grid->IsPartialLoadMode());
    EXPECT_LT(g.grid->Count(), 200);
}

TEST(DBGridStrata, EditsArePostedToTheTableAndReadBack) {
    StrataGrid g(50, egoLoadAllRecords, false);
    g.grid->SetFocusedNode(g.grid->FindNodeByKeyValue(db::Variant(20)));
    g.grid->SetFocusedColumn(1);
    ASSERT_TRUE(g.grid->CanEditModify());
    g.grid->DoEditedText(g.grid->GetFocusedNode(), 1, "edited@example.org");
    g.db.Table().Post();
    strata::TStrataTable& reader = g.db.NewTable();
    reader.Open();
    ASSERT_TRUE(reader.Locate("Index", 20, {}));
    EXPECT_EQ(reader.FieldByName("Item")->AsString(), "edited@example.org");
    EXPECT_EQ(g.grid->GetCellText(g.grid->FindNodeByKeyValue(db::Variant(20)), 1),
              "edited@example.org");
}

TEST(DBGridStrata, SelectionSurvivesWindowReloads) {
    StrataGrid g(2000);
    ASSERT_TRUE(g.db.Table().Locate("Index", 100, {}));
    g.grid->SelectNode(g.grid->FindNodeByKeyValue(db::Variant(98)), true);
    g.grid->SelectNode(g.grid->FindNodeByKeyValue(db::Variant(104)), true);
    g.db.Table().Last();
    ASSERT_TRUE(g.db.Table().Locate("Index", 100, {}));
    ASSERT_EQ(g.grid->GetSelectedCount(), 2);
    EXPECT_TRUE(g.grid->FindNodeByKeyValue(db::Variant(104))->Selected());
}

TEST(DBGridStrata, DeleteRemovesExactlyTheSelectionWhileAnotherProgramChangesTheTable) {
    auto prompts = std::make_unique<ui::ScriptedPromptService>();
    prompts->Answer(ui::mrOk);
    ui::ScopedPromptService scope(std::move(prompts));
    StrataGrid g(60);
    ASSERT_TRUE(g.db.Table().Locate("Index", 30, {}));
    for (int key : {25, 30, 41})
        g.grid->SelectNode(g.grid->FindNodeByKeyValue(db::Variant(key)), true);
    // A second program (its own table object) deletes one row and adds another meanwhile.
    strata::TStrataTable& other = g.db.NewTable();
    other.Open();
    ASSERT_TRUE(other.Locate("Index", 27, {}));
    other.Delete();
    other.Append();
    other.FieldByName("Item")->SetAsString("late@example.org");
    other.FieldByName("Category")->SetAsString("news");
    other.Post();
    std::uint16_t key = ui::VK_DELETE;
    g.grid->ContainerKeyDown(key, ui::ssCtrl);
    std::set<int> keys = g.Keys(other);
    for (int gone : {25, 27, 30, 41})
        EXPECT_EQ(keys.count(gone), 0u) << gone;
    EXPECT_EQ(keys.size(), 60u - 4u + 1u);
    EXPECT_EQ(keys.count(26), 1u);
    EXPECT_EQ(keys.count(61), 1u);
}

TEST(DBGridStrata, ARowWhoseRecordAnotherProgramDeletedIsDroppedWhenClicked) {
    struct Case {
        const char* name;
        bool partial;
        TgxDBGridOptions options;
        int clicked;
        std::vector<int> deleted;
    };
    const std::vector<Case> cases = {
        {"every record, by a relative move", false, egoLoadAllRecords, 20, {20}},
        {"every record, by key", false, egoLoadAllRecords | egoUseLocate, 20, {20}},
        {"partial window", true, 0, 251, {248, 251}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        StrataGrid g(500, c.options, c.partial);
        ASSERT_TRUE(g.db.Table().Locate("Index", 30, {}));
        ASSERT_TRUE(g.db.Table().Locate("Index", 255, {}));
        strata::TStrataTable& other = g.db.NewTable();
        other.Open();
        for (int key : c.deleted) {
            ASSERT_TRUE(other.Locate("Index", key, {}));
            other.Delete();
        }
        TgxDBGridNode* row = g.grid->FindNodeByKeyValue(db::Variant(c.clicked));
        ASSERT_NE(row, nullptr);
        g.grid->SetFocusedNode(row);
        // The row goes with its record, and the focus stands on the record the table is on,
        // so that what the user types next goes into the record the focused row shows.
        for (int key : c.deleted)
            EXPECT_EQ(g.grid->FindNodeByKeyValue(db::Variant(key)), nullptr) << key;
        EXPECT_EQ(g.FocusedKey(), g.CurrentKey());
        if (!c.partial) {
            EXPECT_EQ(g.grid->Count(), 499);
        }
        // Rows on either side still take the table to their own records.
        for (int key : {c.clicked - 4, c.clicked + 4}) {
            g.grid->SetFocusedNode(g.grid->FindNodeByKeyValue(db::Variant(key)));
            EXPECT_EQ(g.CurrentKey(), key);
            EXPECT_EQ(g.FocusedKey(), key);
        }
    }
}

// The main window's list: row select and multi-select over a partial window.
TEST(DBGridStrata, HomeAndEndReachTheEndsOfTheTableBeyondThePartialWindow) {
    StrataGrid g(600, egoRowSelect);
    g.grid->setFocus();
    auto selected = [&] {
        std::set<int> keys;
        strata::TStrataTable& t = g.db.Table();
        t.DisableControls();
        const db::TBookmark back = t.Bookmark();
        for (int i = 0; i < g.grid->GetSelectedCount(); ++i) {
            t.GotoBookmark(g.grid->GetSelectedBookmark(i));
            keys.insert(t.FieldByName("Index")->AsInteger());
        }
        t.GotoBookmark(back);
        t.EnableControls();
        return keys;
    };
    ASSERT_FALSE(g.grid->EndRead());
    QTest::keyClick(g.grid.get(), Qt::Key_End, Qt::ControlModifier);
    EXPECT_EQ(g.FocusedKey(), 600);
    EXPECT_EQ(g.CurrentKey(), 600);
    QTest::keyClick(g.grid.get(), Qt::Key_Home);
    EXPECT_EQ(g.FocusedKey(), 1);
    EXPECT_EQ(g.CurrentKey(), 1);
    QTest::keyClick(g.grid.get(), Qt::Key_End);
    EXPECT_EQ(g.FocusedKey(), 600);
    // A range to the far end takes every record between the anchor and that end.
    ASSERT_TRUE(g.db.Table().Locate("Index", 420, {}));
    QTest::keyClick(g.grid.get(), Qt::Key_Home, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_EQ(g.FocusedKey(), 1);
    std::set<int> keys = selected();
    EXPECT_EQ(keys.size(), 420u);
    EXPECT_EQ(keys.count(1), 1u);
    EXPECT_EQ(keys.count(420), 1u);
    EXPECT_EQ(keys.count(421), 0u);
    QTest::keyClick(g.grid.get(), Qt::Key_End, Qt::ControlModifier);
    for (int i = 0; i < 10; ++i)
        QTest::keyClick(g.grid.get(), Qt::Key_Up);
    ASSERT_EQ(g.FocusedKey(), 590);
    QTest::keyClick(g.grid.get(), Qt::Key_End, Qt::ShiftModifier);
    EXPECT_EQ(g.FocusedKey(), 600);
    keys = selected();
    EXPECT_EQ(keys, (std::set<int>{590, 591, 592, 593, 594, 595, 596, 597, 598, 599, 600}));
}

// An edit the grid posts on its way to another row: the window's rows are still there when
// the move ends, the posted row shows what was typed, and a new record's row takes its key.
TEST(DBGridStrata, APostOnTheWayToAnotherRowKeepsThePartialWindowWhole) {
    struct Case {
        const char* name;
        TgxDBGridOptions options;
        bool insert;
    };
    for (const Case& c :
         {Case{"relative move, edit", 0, false}, Case{"relative move, new record", 0, true},
          Case{"by key, edit", egoUseLocate, false},
          Case{"by key, new record", egoUseLocate, true}}) {
        SCOPED_TRACE(c.name);
        StrataGrid g(400, c.options);
        g.grid->setFocus();
        TgxDBTreeListColumn* item = g.grid->ColumnByFieldName("Item");
        ASSERT_TRUE(g.db.Table().Locate("Index", 200, {}));
        g.grid->SetFocusedColumn(item->GetIndex());
        if (c.insert)
            QTest::keyClick(g.grid.get(), Qt::Key_Insert);
        else
            QTest::keyClick(g.grid.get(), Qt::Key_F2);
        auto* editor = dynamic_cast<TgxInplaceTextEdit*>(g.grid->InplaceEditor());
        ASSERT_NE(editor, nullptr);
        editor->LineEdit().selectAll();
        QTest::keyClicks(&editor->LineEdit(), "typed@example.org");
        QTest::keyClick(&editor->LineEdit(), Qt::Key_Down);
        ASSERT_EQ(g.db.Table().State(), db::dsBrowse);
        EXPECT_EQ(g.FocusedKey(), g.CurrentKey());
        const int edited = c.insert ? 401 : 200;
        TgxDBGridNode* row = g.grid->FindNodeByKeyValue(db::Variant(edited));
        ASSERT_NE(row, nullptr);
        EXPECT_EQ(g.grid->GetCellText(row, item->GetIndex()), "typed@example.org");
        g.grid->SetFocusedNode(row);
        EXPECT_EQ(g.CurrentKey(), edited);
        EXPECT_EQ(g.db.Table().FieldByName("Item")->AsString(), "typed@example.org");
        for (int i = 0; i < 3; ++i)
            QTest::keyClick(g.grid.get(), Qt::Key_Up);
        EXPECT_EQ(g.FocusedKey(), g.CurrentKey());
    }
}

// Another program deletes the record of the first or last row of the window; scrolling to
// that edge still reads on, from the nearest row whose record is still there.
TEST(DBGridStrata, AWindowReadsOnPastARecordAnotherProgramDeletedAtItsEdge) {
    for (const bool at_end : {true, false}) {
        SCOPED_TRACE(at_end ? "last row" : "first row");
        StrataGrid g(1000);
        ASSERT_TRUE(g.db.Table().Locate("Index", 600, {}));
        auto edge_key = [&] {
            return static_cast<TgxDBGridNode*>(g.grid->Items(at_end ? g.grid->Count() - 1 : 0))
                ->Key.AsInteger();
        };
        const int edge = edge_key();
        strata::TStrataTable& other = g.db.NewTable();
        other.Open();
        ASSERT_TRUE(other.Locate("Index", edge, {}));
        other.Delete();
        g.grid->SetTopIndex(at_end ? g.grid->Count() - 5 : 0);
        if (at_end) {
            EXPECT_GT(edge_key(), edge + 50);
            EXPECT_FALSE(g.grid->EndRead());
        } else {
            EXPECT_LT(edge_key(), edge - 50);
            EXPECT_FALSE(g.grid->StartRead());
        }
        // Each record is read once: the keys still rise row by row.
        for (int i = 1; i < g.grid->Count(); ++i)
            ASSERT_LT(static_cast<TgxDBGridNode*>(g.grid->Items(i - 1))->Key.AsInteger(),
                      static_cast<TgxDBGridNode*>(g.grid->Items(i))->Key.AsInteger());
    }
}

TEST(DBGridStrata, StatisticsFootersSumTheTable) {
    StrataGrid g(40, egoLoadAllRecords, false);
    TgxDBTreeListColumn* bounces = g.grid->ColumnByFieldName("Bounces");
    bounces->SetSummaryFooterType(cstSum);
    bounces->SetSummaryFooterField("Bounces");
    bounces->SetSummaryFooterFormat("0");
    g.grid->SetShowSummaryFooter(true);
    g.grid->ReloadAll();
    int sum = 0;
    for (int i = 1; i <= 40; ++i)
        sum += i % 3;
    EXPECT_EQ(g.grid->GetFooterText(bounces->GetIndex()), std::to_string(sum));
    // A posted change is summed again.
    ASSERT_TRUE(g.db.Table().Locate("Index", 1, {}));
    g.db.Table().Edit();
    g.db.Table().FieldByName("Bounces")->SetAsInteger(101);
    g.db.Table().Post();
    EXPECT_EQ(g.grid->GetFooterText(bounces->GetIndex()), std::to_string(sum + 100));
}

}  // namespace
}  // namespace grid::testing

namespace grid::testing {
namespace {

// A jump far from a selected record reads a window that reaches back to it: every record
// between stands once, in the table's order, numbered on from row to row, and the selection
// and the focus are where they were asked to be.
TEST(DBGridStrata, AWindowStretchedBackToASelectedRecordHoldsEveryRecordBetweenInOrder) {
    struct Case {
        const char* name;
        int selected;
        int jump_to;
    };
    for (const Case& c :
         {Case{"selection at the first record", 1, 1500},
          Case{"selection in the middle", 700, 1500}, Case{"jump to the first record", 1400, 1}}) {
        SCOPED_TRACE(c.name);
        StrataGrid g(1500);
        ASSERT_TRUE(g.db.Table().Locate("Index", c.selected, {}));
        g.grid->ClearSelection();
        g.grid->SelectNode(g.grid->FindNodeByKeyValue(db::Variant(c.selected)), true);
        ASSERT_TRUE(g.db.Table().Locate("Index", c.jump_to, {}));
        ASSERT_EQ(g.FocusedKey(), c.jump_to);
        const int low = std::min(c.selected, c.jump_to);
        const int high = std::max(c.selected, c.jump_to);
        EXPECT_LE(static_cast<TgxDBGridNode*>(g.grid->Items(0))->Key.AsInteger(), low);
        EXPECT_GE(static_cast<TgxDBGridNode*>(g.grid->Items(g.grid->Count() - 1))->Key.AsInteger(),
                  high);
        EXPECT_EQ(g.grid->StartRead(), low <= 50);
        for (int i = 1; i < g.grid->Count(); ++i) {
            auto* before = static_cast<TgxDBGridNode*>(g.grid->Items(i - 1));
            auto* row = static_cast<TgxDBGridNode*>(g.grid->Items(i));
            ASSERT_EQ(row->Key.AsInteger(), before->Key.AsInteger() + 1) << i;
            ASSERT_EQ(row->RecNo, before->RecNo + 1) << i;
        }
        ASSERT_EQ(g.grid->GetSelectedCount(), 1);
        EXPECT_TRUE(g.grid->FindNodeByKeyValue(db::Variant(c.selected))->Selected());
        EXPECT_EQ(g.CurrentKey(), c.jump_to);
        // The row of the current record stands in view.
        const int focused = g.grid->GetAbsoluteIndex(g.grid->GetFocusedNode());
        EXPECT_GE(focused, g.grid->GetTopIndex());
        EXPECT_LT(focused, g.grid->GetTopIndex() + g.grid->GetVisibleRowCount());
    }
}

}  // namespace
}  // namespace grid::testing
