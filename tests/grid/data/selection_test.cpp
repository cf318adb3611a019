#include <gtest/gtest.h>

#include <QTest>

#include <algorithm>
#include <set>

#include "grid/core/exceptions.h"
#include "platform/ui/prompt.h"
#include "tests/grid/data/db_grid_fixture.h"

namespace grid::testing {
namespace {

struct SelectGrid : GridHarness {
    MemList list;
    explicit SelectGrid(int rows, TgxDBGridOptions extra = 0, bool partial = false) : list(rows) {
        Column("Index");
        Column("Item");
        Column("Category");
        grid->SetKeyField("Index");
        grid->SetOptions(grid->Options() | egoMultiSelect | extra);
        grid->SetPartialLoad(partial);
        grid->SetDataSource(list.source.get());
    }
    void Select(int key) { grid->SelectNode(grid->FindNodeByKeyValue(db::Variant(key)), true); }
    std::set<int> Keys() {
        std::set<int> keys;
        list.ds->DisableControls();
        db::TBookmark back = list.ds->Bookmark();
        for (list.ds->First(); !list.ds->Eof(); list.ds->Next())
            keys.insert(list.CurrentKey());
        list.ds->GotoBookmark(back);
        list.ds->EnableControls();
        return keys;
    }
    std::set<int> SelectedKeys() {
        std::set<int> keys;
        for (int i = 0; i < grid->GetSelectedCount(); ++i)
            keys.insert(static_cast<TgxDBGridNode*>(grid->GetSelectedItem(i))->Key.AsInteger());
        return keys;
    }
    void Press(std::uint16_t key, ui::TShiftState shift) { grid->ContainerKeyDown(key, shift); }
};

std::set<int> Range(int from, int to) {
    std::set<int> out;
    for (int i = from; i <= to; ++i)
        out.insert(i);
    return out;
}

TEST(DBGridSelection, BookmarksAreKeptInDatasetOrder) {
    SelectGrid g(30, egoLoadAllRecords);
    g.Select(20);
    g.Select(3);
    g.Select(11);
    g.Select(11);
    ASSERT_EQ(g.grid->GetSelectedCount(), 3);
    EXPECT_EQ(static_cast<TgxDBGridNode*>(g.grid->GetSelectedItem(0))->Key.AsInteger(), 3);
    EXPECT_EQ(static_cast<TgxDBGridNode*>(g.grid->GetSelectedItem(2))->Key.AsInteger(), 20);
    EXPECT_TRUE(g.grid->FindNodeByKeyValue(db::Variant(11))->Selected());
    g.grid->SelectNode(g.grid->FindNodeByKeyValue(db::Variant(11)), false);
    EXPECT_EQ(g.SelectedKeys(), (std::set<int>{3, 20}));
    g.grid->ClearSelection();
    EXPECT_EQ(g.grid->GetSelectedCount(), 0);
}

TEST(DBGridSelection, SelectionSurvivesReloadsInEveryLoadMode) {
    for (bool partial : {true, false}) {
        SCOPED_TRACE(partial ? "partial" : "load all");
        SelectGrid g(2000, partial ? 0 : egoLoadAllRecords, partial);
        ASSERT_TRUE(g.list.ds->Locate("Index", 10, {}));
        g.Select(9);
        g.Select(12);
        // Far away and back: the window is read anew around each record.
        ASSERT_TRUE(g.list.ds->Locate("Index", 1900, {}));
        ASSERT_TRUE(g.list.ds->Locate("Index", 10, {}));
        EXPECT_EQ(g.SelectedKeys(), (std::set<int>{9, 12}));
        EXPECT_TRUE(g.grid->FindNodeByKeyValue(db::Variant(12))->Selected());
    }
}

TEST(DBGridSelection, RangeSelectsTheRecordsBetween) {
    for (bool partial : {false, true}) {
        SCOPED_TRACE(partial ? "partial" : "load all");
        SelectGrid g(300, partial ? 0 : egoLoadAllRecords, partial);
        ASSERT_TRUE(g.list.ds->Locate("Index", 20, {}));
        g.grid->SelectRange(g.grid->FindNodeByKeyValue(db::Variant(20)),
                            g.grid->FindNodeByKeyValue(db::Variant(26)));
        EXPECT_EQ(g.SelectedKeys(), Range(20, 26));
    }
}

// Ranges made with the mouse and the keyboard grow from the row the user started on, not
// from the first selected record.
TEST(DBGridSelection, ShiftRangesStartWhereTheUserAnchoredThem) {
    for (bool partial : {false, true}) {
        SCOPED_TRACE(partial ? "partial" : "load all");
        SelectGrid g(300, (partial ? 0 : egoLoadAllRecords), partial);
        g.grid->SetOptions(g.grid->Options() & ~egoEditing);
        g.grid->setFocus();
        QWidget* vp = g.grid->viewport();
        TDrawInfo info;
        g.grid->CalcDrawInfo(info);
        const int h = g.grid->DefaultRowHeight();
        auto row = [&](int screen_row) {
            return QPoint(100, info.node_area.top + screen_row * h + h / 2);
        };
        auto key_at = [&](int screen_row) {
            return static_cast<TgxDBGridNode*>(
                       g.grid->GetNodeAt(row(screen_row).x(), row(screen_row).y()))
                ->Key.AsInteger();
        };
        const int first = key_at(4);
        QTest::mouseClick(vp, Qt::LeftButton, Qt::NoModifier, row(10));
        for (int i = 0; i < 3; ++i)
            QTest::keyClick(g.grid.get(), Qt::Key_Up, Qt::ShiftModifier);
        EXPECT_EQ(g.SelectedKeys(), Range(first + 3, first + 6));
        // Back down past the anchor: the range turns round it.
        for (int i = 0; i < 5; ++i)
            QTest::keyClick(g.grid.get(), Qt::Key_Down, Qt::ShiftModifier);
        EXPECT_EQ(g.SelectedKeys(), Range(first + 6, first + 8));
        QTest::mouseClick(vp, Qt::LeftButton, Qt::NoModifier, row(12));
        QTest::mouseClick(vp, Qt::LeftButton, Qt::ShiftModifier, row(4));
        EXPECT_EQ(g.SelectedKeys(), Range(first, first + 8));
        QTest::mouseClick(vp, Qt::LeftButton, Qt::ShiftModifier, row(8));
        EXPECT_EQ(g.SelectedKeys(), Range(first + 4, first + 8));
    }
}

TEST(DBGridSelection, GroupRowsAndRecordRowsAreNotSelectedTogether) {
    SelectGrid g(20);
    g.grid->ColumnByFieldName("Category")->SetGroupIndex(0);
    TgxTreeListNode* group = g.grid->Items(0);
    g.grid->SetFocusedNode(group);
    g.grid->SelectNode(group, true);
    // Without extended multi-select a group row is never kept.
    EXPECT_EQ(g.grid->GetSelectedCount(), 0);
    g.grid->SetOptions(g.grid->Options() | egoExtMultiSelect);
    group = g.grid->Items(0);
    g.grid->SelectNode(group, true);
    EXPECT_EQ(g.grid->GetSelectedCount(), 1);
}

TEST(DBGridDelete, CtrlDeleteAsksAndDeletesExactlyTheSelection) {
    struct Case {
        std::vector<int> selected;
        ui::TModalResult answer;
        const char* question;
        std::set<int> gone;
    } cases[] = {
        {{}, ui::mrOk, "Delete record?", {7}},
        {{3, 9, 15}, ui::mrOk, "Delete all selected records?", {3, 9, 15}},
        {{3, 9, 15}, ui::mrCancel, "Delete all selected records?", {}},
        // One selected row that is not the focused one: the selection goes, not the focus.
        {{12}, ui::mrOk, "Delete record?", {12}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.question);
        auto prompts = std::make_unique<ui::ScriptedPromptService>();
        ui::ScriptedPromptService* script = prompts.get();
        script->Answer(c.answer);
        ui::ScopedPromptService scope(std::move(prompts));
        SelectGrid g(20, egoLoadAllRecords);
        g.grid->SetFocusedNode(g.grid->FindNodeByKeyValue(db::Variant(7)));
        for (int key : c.selected)
            g.Select(key);
        g.Press(ui::VK_DELETE, ui::ssCtrl);
        ASSERT_EQ(script->Asked().size(), 1u);
        EXPECT_EQ(script->Asked()[0].caption, "Confirm");
        EXPECT_EQ(script->Asked()[0].text, c.question);
        std::set<int> expected = Range(1, 20);
        for (int key : c.gone)
            expected.erase(key);
        EXPECT_EQ(g.Keys(), expected);
        EXPECT_EQ(g.grid->Count(), static_cast<int>(expected.size()));
    }
}

TEST(DBGridDelete, WithoutConfirmationNothingIsAsked) {
    auto prompts = std::make_unique<ui::ScriptedPromptService>();
    ui::ScriptedPromptService* script = prompts.get();
    ui::ScopedPromptService scope(std::move(prompts));
    SelectGrid g(5, egoLoadAllRecords);
    g.grid->SetOptions(g.grid->Options() & ~egoConfirmDelete);
    g.grid->SetFocusedNode(g.grid->FindNodeByKeyValue(db::Variant(2)));
    g.Press(ui::VK_DELETE, ui::ssCtrl);
    EXPECT_TRUE(script->Asked().empty());
    EXPECT_EQ(g.Keys(), (std::set<int>{1, 3, 4, 5}));
}

TEST(DBGridDelete, RelativeMoveNeverDeletesAnotherRecord) {
    auto prompts = std::make_unique<ui::ScriptedPromptService>();
    ui::ScopedPromptService scope(std::move(prompts));
    SelectGrid g(10, egoLoadAllRecords);
    g.grid->SetOptions(g.grid->Options() & ~egoConfirmDelete);
    g.grid->SetFocusedNode(g.grid->FindNodeByKeyValue(db::Variant(2)));
    ASSERT_EQ(g.list.CurrentKey(), 2);
    // Another program puts a record in front of everything without the grid hearing of it.
    g.list.SneakInFront(99);
    TgxTreeListNode* target = g.grid->FindNodeByKeyValue(db::Variant(6));
    ASSERT_NE(target, nullptr);
    // The rows' record numbers are stale now: a plain relative move would land on 5.
    g.grid->SetFocusedNode(target);
    g.Press(ui::VK_DELETE, ui::ssCtrl);
    std::set<int> keys = g.Keys();
    EXPECT_EQ(keys.count(6), 0u);
    EXPECT_EQ(keys.count(5), 1u);
    EXPECT_EQ(keys.count(99), 1u);
    EXPECT_EQ(keys.size(), 10u);
}

TEST(DBGridKeys, DownOnTheLastRowAppendsAndUpCancelsAnUntouchedRecord) {
    SelectGrid g(5, egoLoadAllRecords | egoCanAppend);
    g.grid->SetFocusedNode(g.grid->FindNodeByKeyValue(db::Variant(5)));
    g.Press(ui::VK_DOWN, 0);
    EXPECT_EQ(g.list.ds->State(), db::dsInsert);
    EXPECT_EQ(g.grid->Count(), 6);
    g.Press(ui::VK_UP, 0);
    EXPECT_EQ(g.list.ds->State(), db::dsBrowse);
    EXPECT_EQ(g.grid->Count(), 5);
    EXPECT_EQ(g.Keys(), Range(1, 5));
}

TEST(DBGridKeys, UpCancelsOnlyAnUntouchedRecordAppendedAtTheEnd) {
    {
        // Appended at the end: Up takes it back and the last record keeps the focus.
        SelectGrid g(5, egoLoadAllRecords | egoCanAppend);
        g.grid->SetFocusedNode(g.grid->FindNodeByKeyValue(db::Variant(5)));
        g.list.ds->Append();
        ASSERT_TRUE(g.list.ds->Eof());
        g.Press(ui::VK_UP, 0);
        EXPECT_EQ(g.list.ds->State(), db::dsBrowse);
        EXPECT_EQ(g.Keys(), Range(1, 5));
        EXPECT_EQ(g.list.CurrentKey(), 5);
        EXPECT_EQ(g.grid->Count(), 5);
    }
    // Inserted in front of record 3 (its row shows after record 3's): Up is an ordinary move
    // to the row above, which takes the selection along and drops the untouched record on
    // the way.
    SelectGrid g(5, egoLoadAllRecords);
    g.grid->SetFocusedNode(g.grid->FindNodeByKeyValue(db::Variant(3)));
    g.Select(1);
    g.Select(5);
    g.list.ds->Insert();
    ASSERT_FALSE(g.list.ds->Eof());
    g.Press(ui::VK_UP, 0);
    EXPECT_EQ(g.list.ds->State(), db::dsBrowse);
    EXPECT_EQ(g.Keys(), Range(1, 5));
    EXPECT_EQ(g.grid->Count(), 5);
    EXPECT_EQ(g.list.CurrentKey(), 3);
    EXPECT_EQ(g.SelectedKeys(), std::set<int>{3});
}

TEST(DBGridKeys, InBufferModeUpAndDownTakeBackAnUntouchedRecordByWhereItStands) {
    SelectGrid g(5, egoCanAppend | egoCanInsert);
    ASSERT_TRUE(g.grid->IsBufferMode());
    // Down past the last record appends; Down again keeps the untouched record, Up drops it.
    ASSERT_TRUE(g.list.ds->Locate("Index", 5, {}));
    g.Press(ui::VK_DOWN, 0);
    g.Press(ui::VK_DOWN, 0);
    ASSERT_EQ(g.list.ds->State(), db::dsInsert);
    EXPECT_TRUE(g.list.ds->Eof());
    g.Press(ui::VK_DOWN, 0);
    EXPECT_EQ(g.list.ds->State(), db::dsInsert);
    g.Press(ui::VK_UP, 0);
    EXPECT_EQ(g.list.ds->State(), db::dsBrowse);
    EXPECT_EQ(g.list.CurrentKey(), 5);
    EXPECT_EQ(g.Keys(), Range(1, 5));

    // Inserted in front of record 3: Down takes it back where it stood, Up moves on above it.
    ASSERT_TRUE(g.list.ds->Locate("Index", 3, {}));
    g.list.ds->Insert();
    g.Press(ui::VK_DOWN, 0);
    EXPECT_EQ(g.list.ds->State(), db::dsBrowse);
    EXPECT_EQ(g.list.CurrentKey(), 3);
    g.list.ds->Insert();
    g.Press(ui::VK_UP, 0);
    EXPECT_EQ(g.list.ds->State(), db::dsBrowse);
    EXPECT_EQ(g.list.CurrentKey(), 2);
    EXPECT_EQ(g.Keys(), Range(1, 5));
}

// A buffer grid's rows are only the records in view: its text lines walk the dataset, and
// with egoSyncSelection its selection follows the dataset's moves.
TEST(DBGridBufferMode, LinesWalkTheRecordsAndTheSelectionCanFollowTheDataset) {
    SelectGrid g(60);
    ASSERT_TRUE(g.grid->IsBufferMode());
    ASSERT_TRUE(g.list.ds->Locate("Index", 30, {}));
    const int focused_row = g.grid->GetFocusedAbsoluteIndex();
    std::vector<std::string> all;
    g.grid->SaveAllToStrings(all);
    ASSERT_EQ(all.size(), 61u);
    EXPECT_EQ(all[60], "60\tuser60@example.org\tnews\t");
    EXPECT_EQ(g.list.CurrentKey(), 30);
    EXPECT_EQ(g.grid->GetFocusedAbsoluteIndex(), focused_row) << "the rows stay put";

    g.Press(ui::VK_DOWN, ui::ssShift);
    g.Press(ui::VK_DOWN, ui::ssShift);
    std::vector<std::string> chosen;
    g.grid->SaveSelectedToStrings(chosen);
    EXPECT_EQ(chosen, (std::vector<std::string>{all[0], all[30], all[31], all[32]}));

    ASSERT_TRUE(g.list.ds->Locate("Index", 45, {}));
    EXPECT_EQ(g.grid->GetSelectedCount(), 3) << "without the option the selection stays";
    g.grid->SetOptionsEx(g.grid->OptionsEx() | egoSyncSelection);
    ASSERT_TRUE(g.list.ds->Locate("Index", 10, {}));
    ASSERT_EQ(g.grid->GetSelectedCount(), 1);
    EXPECT_EQ(g.list.ds->CompareBookmarks(g.grid->GetSelectedBookmark(0), g.list.ds->Bookmark()),
              0);
    // The grid's own walks over the records are no moves to follow.
    g.Press(ui::VK_DOWN, ui::ssShift);
    g.grid->SaveSelectedToStrings(chosen);
    EXPECT_EQ(g.grid->GetSelectedCount(), 2);
}

TEST(DBGridKeys, EscapeCancelsAndInsertStartsARecord) {
    SelectGrid g(5, egoLoadAllRecords);
    g.list.ds->Edit();
    g.list.ds->FieldByName("Item")->SetAsString("changed");
    g.Press(ui::VK_ESCAPE, 0);
    EXPECT_EQ(g.list.ds->State(), db::dsBrowse);
    EXPECT_NE(g.list.ds->FieldByName("Item")->AsString(), "changed");
    g.Press(ui::VK_INSERT, 0);
    EXPECT_EQ(g.list.ds->State(), db::dsInsert);
}

// After cancelling the record's changes Escape does what it does in any tree list: the first
// press ends a running search, the next one leaves only the focused row selected.
TEST(DBGridKeys, EscapeEndsTheSearchAndThenTheSelection) {
    SelectGrid g(100, egoLoadAllRecords);
    g.grid->SetOptions(g.grid->Options() & ~egoEditing);
    g.grid->SetOptionsEx(g.grid->OptionsEx() | egoAutoSearch);
    g.grid->setFocus();
    g.grid->SetFocusedColumn(1);
    QTest::keyClicks(g.grid.get(), "user5");
    ASSERT_TRUE(g.grid->IsSearching());
    EXPECT_EQ(g.list.CurrentKey(), 5);
    QTest::keyClick(g.grid.get(), Qt::Key_Escape);
    EXPECT_FALSE(g.grid->IsSearching());
    // Typing again starts a new search rather than extending the old text.
    QTest::keyClicks(g.grid.get(), "user7");
    EXPECT_EQ(g.list.CurrentKey(), 7);
    QTest::keyClick(g.grid.get(), Qt::Key_Escape);
    QTest::keyClick(g.grid.get(), Qt::Key_Down, Qt::ShiftModifier);
    QTest::keyClick(g.grid.get(), Qt::Key_Down, Qt::ShiftModifier);
    EXPECT_EQ(g.SelectedKeys(), Range(7, 9));
    QTest::keyClick(g.grid.get(), Qt::Key_Escape);
    EXPECT_EQ(g.SelectedKeys(), Range(9, 9));
    EXPECT_EQ(g.list.CurrentKey(), 9);
}

TEST(DBGridEditing, EditedTextIsWrittenThroughTheField) {
    SelectGrid g(5, egoLoadAllRecords);
    g.grid->SetFocusedNode(g.grid->FindNodeByKeyValue(db::Variant(3)));
    g.grid->SetFocusedColumn(1);
    std::string text;
    g.grid->GetEditText(text);
    EXPECT_EQ(text, "user3@example.org");
    EXPECT_EQ(g.grid->GetEditMaxLength(), 40);
    ASSERT_TRUE(g.grid->CanEditModify());
    EXPECT_EQ(g.list.ds->State(), db::dsEdit);
    g.grid->DoEditedText(g.grid->GetFocusedNode(), 1, "new@example.org");
    g.list.ds->Post();
    ASSERT_TRUE(g.list.ds->Locate("Index", 3, {}));
    EXPECT_EQ(g.list.ds->FieldByName("Item")->AsString(), "new@example.org");
    EXPECT_EQ(g.grid->GetCellText(g.grid->FindNodeByKeyValue(db::Variant(3)), 1),
              "new@example.org");
}

TEST(DBGridEditing, EmptyDatasetIsReadOnlyWithoutInsert) {
    SelectGrid g(0, egoLoadAllRecords);
    g.grid->SetOptions(g.grid->Options() & ~egoCanInsert);
    EXPECT_TRUE(g.grid->IsEditReadOnly());
    EXPECT_FALSE(g.grid->CanEditModify());
}

TEST(DBGridEditing, DateAndTimeTextsGoThroughTheConversions) {
    GridHarness h;
    auto ds = db::MakeComponent<db::testing::TMemDataSet>(nullptr);
    ds->AddColumn("When", db::ftTime);
    ds->Open();
    ds->Append();
    TgxDBTreeListColumn* c = h.Column("When");
    c->SetFieldText(ds->FieldByName("When"), "10:30");
    EXPECT_FALSE(ds->FieldByName("When")->IsNull());
    c->SetFieldText(ds->FieldByName("When"), "");
    EXPECT_TRUE(ds->FieldByName("When")->IsNull());
    ds->Cancel();
}

TEST(DBGridChangeNodeEx, FiresWhenTheFocusedRecordChanges) {
    SelectGrid g(10, egoLoadAllRecords);
    int fired = 0;
    g.grid->OnChangeNodeEx = [&](TCustomgxDBGrid*, TgxTreeListNode*) { ++fired; };
    ASSERT_TRUE(g.list.ds->Locate("Index", 4, {}));
    int after_first = fired;
    EXPECT_GE(after_first, 1);
    g.list.ds->Refresh();
    EXPECT_EQ(fired, after_first);
    ASSERT_TRUE(g.list.ds->Locate("Index", 8, {}));
    EXPECT_GT(fired, after_first);
}

TEST(DBGridIncrementalSearch, SearchesTheDatasetInPartialMode) {
    SelectGrid g(3000, 0, true);
    TgxTreeListNode* node = nullptr;
    TgxDBTreeListColumn* item = g.grid->ColumnByFieldName("Item");
    EXPECT_TRUE(g.grid->FindNodeByText(item, "USER2500@", node, false));
    EXPECT_EQ(g.list.CurrentKey(), 2500);
    EXPECT_FALSE(g.grid->FindNodeByText(item, "nobody", node, false));
    EXPECT_EQ(g.list.CurrentKey(), 2500);
}

}  // namespace
}  // namespace grid::testing

namespace grid::testing {
namespace {

TEST(DBGridIndicator, KindFollowsFocusSelectionAndDatasetState) {
    SelectGrid g(5, egoLoadAllRecords);
    TgxTreeListNode* first = g.grid->Items(0);
    TgxTreeListNode* second = g.grid->Items(1);
    g.grid->SetFocusedNode(first);
    EXPECT_EQ(g.grid->GetIndicatorKind(first, false), 1);
    EXPECT_EQ(g.grid->GetIndicatorKind(first, true), 5);
    EXPECT_EQ(g.grid->GetIndicatorKind(second, true), 4);
    EXPECT_EQ(g.grid->GetIndicatorKind(second, false), 0);
    g.list.ds->Edit();
    EXPECT_EQ(g.grid->GetIndicatorKind(first, false), 2);
    g.list.ds->Cancel();
    g.list.ds->Insert();
    EXPECT_EQ(g.grid->GetIndicatorKind(g.grid->GetFocusedNode(), false), 3);
    g.list.ds->Cancel();
    g.grid->SetGrIndicatorWidth(3);
    EXPECT_EQ(g.grid->GrIndicatorWidth(), 12);
    g.grid->SetGrIndicatorWidth(20);
    EXPECT_EQ(g.grid->GetIndicatorWidth(), 20);
}

}  // namespace
}  // namespace grid::testing
