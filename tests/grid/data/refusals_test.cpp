// What the user sees when the dataset or a field refuses an in-place edit, or a key ends
// it early: the error is shown, nothing typed is lost, and the next edit still goes into
// the record it names.

#include <gtest/gtest.h>

#include <QClipboard>
#include <QGuiApplication>
#include <QImage>
#include <QTest>

#include <string>
#include <vector>

#include "grid/core/inplace_text_edit.h"
#include "grid/editors/memo_edit.h"
#include "platform/db/exception.h"
#include "platform/ui/application.h"
#include "platform/ui/keys.h"
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

namespace grid::testing {
namespace {

// What the user gets when a text does not fit the field: typing, pasting and Enter stop at
// the field's size with a beep, and what is posted is exactly what the editor shows.
TEST(DBGridRefusals, TextPastTheFieldSizeIsRefusedWithABeepAndNeverCut) {
    RefusingGrid g(5);  // Item holds 40 characters, Comments 60
    TgxInplaceTextEdit* editor = g.Open(2, 1);
    ASSERT_NE(editor, nullptr);
    int beeps = ui::BeepCount();
    g.Type(editor, std::string(45, 'n').c_str());
    EXPECT_EQ(editor->LineEdit().text().size(), 40);
    EXPECT_EQ(ui::BeepCount(), beeps + 5);

    // Accented letters count as one character each, as the field keeps them.
    editor->LineEdit().selectAll();
    for (int i = 0; i < 45; ++i)
        QTest::sendKeyEvent(QTest::Click, &editor->LineEdit(), Qt::Key_Eacute, QString(QChar(0xE9)),
                            Qt::NoModifier);
    EXPECT_EQ(editor->LineEdit().text(), QString(40, QChar(0xE9)));

    // A paste that does not fit is refused whole; one that fits, or replaces enough, goes in.
    const QString twenty(20, 'p');
    g.Type(editor, std::string(25, 'a').c_str());
    QGuiApplication::clipboard()->setText(twenty);
    beeps = ui::BeepCount();
    QTest::keyClick(&editor->LineEdit(), Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(editor->LineEdit().text(), QString(25, 'a'));
    EXPECT_EQ(ui::BeepCount(), beeps + 1);
    editor->LineEdit().setSelection(0, 5);
    QTest::keyClick(&editor->LineEdit(), Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(editor->LineEdit().text(), twenty + QString(20, 'a'));
    QTest::keyClick(&editor->LineEdit(), Qt::Key_Tab);
    EXPECT_TRUE(g.shown.empty());
    EXPECT_EQ(g.Stored(2, "Item"), (twenty + QString(20, 'a')).toStdString());

    // The memo editor holds the same limit, Enter included.
    auto* memo_column = static_cast<TgxDBTreeListMemoColumn*>(
        g.grid->CreateColumn(ColumnClassOf<TgxDBTreeListMemoColumn>()));
    memo_column->SetFieldName("Comments");
    auto* memo = dynamic_cast<TgxInplaceMemoEdit*>(g.Open(3, memo_column->GetIndex()));
    ASSERT_NE(memo, nullptr);
    memo->Memo().selectAll();
    beeps = ui::BeepCount();
    QTest::keyClicks(&memo->Memo(), QString(65, 'm'));
    EXPECT_EQ(memo->Memo().toPlainText(), QString(60, 'm'));
    QTest::keyClick(&memo->Memo(), Qt::Key_Return);
    QTest::keyClick(&memo->Memo(), Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(memo->Memo().toPlainText(), QString(60, 'm'));
    EXPECT_EQ(ui::BeepCount(), beeps + 7);
    QTest::keyClick(&memo->Memo(), Qt::Key_Return, Qt::ControlModifier);
    EXPECT_TRUE(g.shown.empty());
    EXPECT_EQ(g.Stored(3, "Comments"), std::string(60, 'm'));
}

// One mask editor serves every mask column: a short mask in one cell must not cut the value
// of the next, unmasked cell of the same size.
TEST(DBGridRefusals, AMaskOnOneCellDoesNotShortenTheNextCell) {
    GridHarness h;
    auto ds = db::MakeComponent<db::testing::TMemDataSet>(nullptr);
    ds->AddColumn("Id", db::ftInteger);
    ds->AddColumn("Code", db::ftString, 20);
    ds->AddColumn("Name", db::ftString, 20);
    auto source = db::MakeComponent<db::TDataSource>(nullptr);
    source->SetDataSet(ds.get());
    ds->Open();
    ds->Append();
    ds->FieldByName("Id")->SetAsInteger(1);
    ds->FieldByName("Code")->SetAsString("ABC");
    ds->FieldByName("Name")->SetAsString("a name of 18 chars");
    ds->Post();
    h.Column("Id");
    auto* code = static_cast<TgxDBGridMaskColumn*>(
        h.grid->CreateColumn(ColumnClassOf<TgxDBGridMaskColumn>()));
    code->SetFieldName("Code");
    code->SetEditMask("LLL;1;_");
    h.grid->CreateColumn(ColumnClassOf<TgxDBGridMaskColumn>())->SetFieldName("Name");
    h.grid->SetKeyField("Id");
    h.grid->SetOptions(kEditOptions);
    h.grid->SetDataSource(source.get());
    h.grid->setFocus();
    h.grid->SetFocusedColumn(1);
    QTest::keyClick(h.grid.get(), Qt::Key_F2);
    ASSERT_EQ(h.grid->State(), tsEditing);
    auto* editor = dynamic_cast<TgxInplaceTextEdit*>(h.grid->InplaceEditor());
    ASSERT_NE(editor, nullptr);
    QTest::keyClick(&editor->LineEdit(), Qt::Key_Tab);
    ASSERT_EQ(h.grid->GetFocusedColumn(), 2);
    h.grid->ShowEditor();
    ASSERT_EQ(h.grid->InplaceEditor(), editor);
    EXPECT_EQ(editor->LineEdit().text().toStdString(), "a name of 18 chars");
    QTest::keyClick(&editor->LineEdit(), Qt::Key_End);
    QTest::keyClicks(&editor->LineEdit(), "!!");
    QTest::keyClick(&editor->LineEdit(), Qt::Key_Return);
    EXPECT_EQ(ds->FieldByName("Name")->AsString(), "a name of 18 chars!!");
}

}  // namespace
}  // namespace grid::testing
