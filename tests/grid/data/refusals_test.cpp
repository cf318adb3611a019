// What the user sees when the dataset or a field refuses an in-place edit, or a key ends
// it early: the error is shown, nothing typed is lost, and the next edit still goes into
// the record it names.

#include <gtest/gtest.h>

#include <QImage>
#include <QTest>

#include <string>
#include <vector>

#include "grid/core/inplace_text_edit.h"
#include "platform/db/exception.h"
#include "platform/ui/application.h"
#include "tests/grid/data/db_grid_fixture.h"

namespace grid::testing {
namespace {

constexpr TgxDBGridOptions kEditOptions = egoColumnSizing | egoEditing | egoTabThrough |
                                          egoCanNavigation | egoCanInsert | egoLoadAllRecords;

struct RefusingGrid : GridHarness {
    MemList list;
    std::vector<std::string> shown;

    explicit RefusingGrid(int rows) : list(rows) {
        Column("Index");
        Column("Item");
        Column("Category");
        Column("Bounces");
        grid->SetKeyField("Index");
        grid->SetOptions(kEditOptions);
        grid->SetDataSource(list.source.get());
        grid->setFocus();
        ui::SetExceptionHandler([this](const std::string& m) { shown.push_back(m); });
    }
    ~RefusingGrid() { ui::SetExceptionHandler(nullptr); }

    TgxInplaceTextEdit* Open(int key, int column) {
        grid->SetFocusedNode(grid->FindNodeByKeyValue(db::Variant(key)));
        grid->SetFocusedColumn(column);
        QTest::keyClick(grid.get(), Qt::Key_F2);
        return dynamic_cast<TgxInplaceTextEdit*>(grid->InplaceEditor());
    }
    void Type(TgxInplaceTextEdit* editor, const char* text) {
        editor->LineEdit().selectAll();
        QTest::keyClicks(&editor->LineEdit(), text);
    }
    int FocusedKey() {
        return static_cast<TgxDBGridNode*>(grid->GetFocusedNode())->Key.AsInteger();
    }
    std::string Stored(int key, const char* field) {
        list.ds->DisableControls();
        const db::TBookmark back = list.ds->Bookmark();
        std::string value;
        if (list.ds->Locate("Index", key, {}))
            value = list.ds->FieldByName(field)->AsString();
        list.ds->GotoBookmark(back);
        list.ds->EnableControls();
        return value;
    }
};

TEST(DBGridRefusals, APostRefusedOnLeavingTheRowKeepsTheFocusOnItsRecord) {
    RefusingGrid g(5);
    g.list.ds->BeforePost = [](db::TDataSet*) {
        throw db::EDatabaseError("The list refuses this entry");
    };
    TgxInplaceTextEdit* editor = g.Open(2, 1);
    ASSERT_NE(editor, nullptr);
    g.Type(editor, "changed@example.org");
    QTest::keyClick(&editor->LineEdit(), Qt::Key_Down);
    ASSERT_EQ(g.shown.size(), 1u);
    EXPECT_EQ(g.shown[0], "The list refuses this entry");
    // The dataset could not leave record 2, and the grid says so.
    EXPECT_EQ(g.list.CurrentKey(), 2);
    EXPECT_EQ(g.list.ds->State(), db::dsEdit);
    EXPECT_EQ(g.FocusedKey(), 2);
    EXPECT_EQ(g.grid->GetCellText(g.grid->GetFocusedNode(), 1), "changed@example.org");
    QImage shot = g.grid->grab().toImage();
    shot.save(QString(CORVANE_TEST_OUTPUT_DIR) + "/dbgrid_refused_post.png");

    // Tab from the last column, on through to the next row, keeps the cell too.
    g.grid->SetFocusedColumn(3);
    editor = g.Open(2, 3);
    ASSERT_NE(editor, nullptr);
    QTest::keyClick(&editor->LineEdit(), Qt::Key_Tab);
    EXPECT_EQ(g.shown.size(), 2u);
    EXPECT_EQ(g.FocusedKey(), 2);
    EXPECT_EQ(g.grid->GetFocusedColumn(), 3);
    g.shown.pop_back();

    // Focusing another row (as a click does) is refused the same way.
    EXPECT_FALSE(
        ui::Guarded([&] { g.grid->SetFocusedNode(g.grid->FindNodeByKeyValue(db::Variant(4))); }));
    EXPECT_EQ(g.shown.size(), 2u);
    EXPECT_EQ(g.FocusedKey(), 2);

    // Once the table takes it, the next edit goes into record 2 and nowhere else.
    g.list.ds->BeforePost = nullptr;
    editor = g.Open(g.FocusedKey(), 1);
    ASSERT_NE(editor, nullptr);
    g.Type(editor, "other@example.org");
    QTest::keyClick(&editor->LineEdit(), Qt::Key_Down);
    EXPECT_EQ(g.FocusedKey(), 3);
    EXPECT_EQ(g.list.ds->State(), db::dsBrowse);
    EXPECT_EQ(g.Stored(2, "Item"), "other@example.org");
    for (int key : {1, 3, 4, 5})
        EXPECT_EQ(g.Stored(key, "Item"), "user" + std::to_string(key) + "@example.org");
}

TEST(DBGridRefusals, AClickOnAnotherRowWhileThePostIsRefusedLeavesNoLockBehind) {
    RefusingGrid g(5);
    g.grid->SetOptions(kEditOptions | egoMultiSelect);
    int count_changes = 0;
    g.grid->OnSelectedCountChange = [&](TCustomgxTreeList*) { ++count_changes; };
    g.list.ds->BeforePost = [](db::TDataSet*) {
        throw db::EDatabaseError("The list refuses this entry");
    };
    TgxInplaceTextEdit* editor = g.Open(2, 1);
    ASSERT_NE(editor, nullptr);
    g.Type(editor, "changed@example.org");
    const auto click = [&](int key, Qt::KeyboardModifiers modifiers) {
        const ui::Rect cell = g.grid->GetCellRect(g.grid->FindNodeByKeyValue(db::Variant(key)), 2);
        const QPoint p((cell.left + cell.right) / 2, (cell.top + cell.bottom) / 2);
        QTest::mousePress(g.grid->viewport(), Qt::LeftButton, modifiers, p);
        QTest::mouseRelease(g.grid->viewport(), Qt::LeftButton, modifiers, p);
    };
    click(4, Qt::NoModifier);
    ASSERT_EQ(g.shown.size(), 1u);
    EXPECT_EQ(g.FocusedKey(), 2);
    EXPECT_EQ(g.list.CurrentKey(), 2);
    EXPECT_EQ(g.grid->State(), tsNormal);

    // Once the table takes the record, clicks select again and the grid says so.
    g.list.ds->BeforePost = nullptr;
    count_changes = 0;
    click(4, Qt::NoModifier);
    click(5, Qt::ControlModifier);
    EXPECT_EQ(g.shown.size(), 1u);
    EXPECT_EQ(g.FocusedKey(), 5);
    EXPECT_EQ(g.grid->GetSelectedCount(), 2);
    EXPECT_GE(count_changes, 1);
    EXPECT_EQ(g.Stored(2, "Item"), "changed@example.org");
}

TEST(DBGridRefusals, TextTheFieldRefusesStaysInTheOpenEditor) {
    RefusingGrid g(5);
    TgxInplaceTextEdit* editor = g.Open(2, 3);
    ASSERT_NE(editor, nullptr);
    g.Type(editor, "99999999999");
    QTest::keyClick(&editor->LineEdit(), Qt::Key_Tab);
    ASSERT_EQ(g.shown.size(), 1u);
    EXPECT_NE(g.shown[0].find("is not a valid value for field 'Bounces'"), std::string::npos);
    // Nothing moved and nothing typed is lost: the edit is still open with the text.
    EXPECT_EQ(g.grid->State(), tsEditing);
    EXPECT_TRUE(editor->isVisible());
    EXPECT_EQ(editor->LineEdit().text().toStdString(), "99999999999");
    EXPECT_EQ(g.FocusedKey(), 2);
    EXPECT_EQ(g.grid->GetFocusedColumn(), 3);

    // Mended, the same Tab posts it and moves on.
    g.Type(editor, "7");
    QTest::keyClick(&editor->LineEdit(), Qt::Key_Tab);
    EXPECT_EQ(g.shown.size(), 1u);
    EXPECT_EQ(g.FocusedKey(), 3);
    EXPECT_EQ(g.Stored(2, "Bounces"), "7");

    // Escape abandons a refused text and leaves the record as it was.
    editor = g.Open(4, 3);
    ASSERT_NE(editor, nullptr);
    g.Type(editor, "88888888888");
    QTest::keyClick(&editor->LineEdit(), Qt::Key_Return);
    EXPECT_EQ(g.shown.size(), 2u);
    EXPECT_EQ(g.grid->State(), tsEditing);
    QTest::keyClick(&editor->LineEdit(), Qt::Key_Escape);
    QTest::keyClick(g.grid.get(), Qt::Key_Escape);
    EXPECT_EQ(g.grid->State(), tsNormal);
    EXPECT_EQ(g.list.ds->State(), db::dsBrowse);
    EXPECT_EQ(g.Stored(4, "Bounces"), "1");
}

TEST(DBGridRefusals, TextTypedIntoANewRecordIsKeptWhenUpOrDownLeavesIt) {
    for (Qt::Key leave : {Qt::Key_Up, Qt::Key_Down}) {
        RefusingGrid g(5);
        g.grid->SetOptions(kEditOptions | egoCanAppend);
        const int from = leave == Qt::Key_Up ? 3 : 5;
        TgxInplaceTextEdit* editor = g.Open(from, 1);
        ASSERT_NE(editor, nullptr);
        // Insert in the middle (Up) or append below the last row (Down), then type.
        if (leave == Qt::Key_Up) {
            QTest::keyClick(&editor->LineEdit(), Qt::Key_Escape);
            QTest::keyClick(g.grid.get(), Qt::Key_Insert);
        } else {
            QTest::keyClick(&editor->LineEdit(), Qt::Key_Down);
            g.grid->ShowEditor();
        }
        ASSERT_EQ(g.list.ds->State(), db::dsInsert);
        editor = dynamic_cast<TgxInplaceTextEdit*>(g.grid->InplaceEditor());
        ASSERT_NE(editor, nullptr);
        ASSERT_EQ(g.grid->State(), tsEditing);
        QTest::keyClicks(&editor->LineEdit(), "new@example.org");
        QTest::keyClick(&editor->LineEdit(), leave);
        // Down on the new last row starts a further record, untouched, which goes again.
        if (g.list.ds->State() == db::dsInsert && !g.list.ds->Modified())
            g.list.ds->Cancel();
        if (g.list.ds->State() == db::dsInsert)
            g.list.ds->Post();
        EXPECT_TRUE(g.shown.empty());
        EXPECT_EQ(g.list.ds->RecordCount(), 6) << leave;
        int found = 0;
        for (g.list.ds->First(); !g.list.ds->Eof(); g.list.ds->Next())
            found += g.list.ds->FieldByName("Item")->AsString() == "new@example.org";
        EXPECT_EQ(found, 1) << leave;
    }
}

}  // namespace
}  // namespace grid::testing
