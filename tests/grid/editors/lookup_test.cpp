// The lookup editor over in-memory datasets: a list's colour code chosen by its name.

#include <QApplication>
#include <QTest>
#include <QWheelEvent>

#include "grid/editors/pick_edit.h"
#include "platform/db/fields_numeric.h"
#include "platform/db/fields_text.h"
#include "tests/grid/data/db_grid_fixture.h"

namespace grid::testing {
namespace {

struct LookupGrid {
    ui::FixedTextMetrics metrics{7, 13};
    db::ComponentPtr<db::testing::TMemDataSet> colours;
    db::ComponentPtr<db::testing::TMemDataSet> list;
    db::ComponentPtr<db::TDataSource> source;
    std::unique_ptr<TgxDBGrid> grid;
    TgxDBGridLookupColumn* column = nullptr;

    LookupGrid() {
        colours = db::MakeComponent<db::testing::TMemDataSet>(nullptr);
        colours->AddColumn("Code", db::ftInteger);
        colours->AddColumn("Colour", db::ftString, 10);
        colours->Open();
        for (auto [code, name] : {std::pair{1, "red"}, {2, "green"}, {3, "Grey"}, {4, "blue"}})
            colours->AppendRecord(std::vector<db::Variant>{db::Variant(code), db::Variant(name)});
        list = db::MakeComponent<db::testing::TMemDataSet>(nullptr);
        list->AddColumn("Name", db::ftString, 20);
        list->AddColumn("Code", db::ftInteger);
        auto* name = db::MakeOwned<db::TStringField>(*list);
        name->SetFieldName("Name");
        name->SetSize(20);
        name->SetDataSet(list.get());
        auto* code = db::MakeOwned<db::TIntegerField>(*list);
        code->SetFieldName("Code");
        code->SetDataSet(list.get());
        auto* colour = db::MakeOwned<db::TStringField>(*list);
        colour->SetFieldName("Colour");
        colour->SetSize(10);
        colour->SetFieldKind(db::fkLookup);
        colour->SetKeyFields("Code");
        colour->SetLookupDataSet(colours.get());
        colour->SetLookupKeyFields("Code");
        colour->SetLookupResultField("Colour");
        colour->SetDataSet(list.get());
        list->Open();
        list->AppendRecord(std::vector<db::Variant>{db::Variant("anna"), db::Variant(1)});
        list->AppendRecord(std::vector<db::Variant>{db::Variant("bert"), db::Variant(4)});
        list->First();
        source = db::MakeComponent<db::TDataSource>(nullptr);
        source->SetDataSet(list.get());
        grid = std::make_unique<TgxDBGrid>();
        grid->SetBorderStyle(bsNone);
        grid->resize(400, 200);
        grid->setAttribute(Qt::WA_DontShowOnScreen);
        grid->show();
        grid->SetTextMetrics(&metrics);
        grid->SetKeyField("Name");
        grid->SetOptions(egoEditing | egoCanNavigation | egoLoadAllRecords);
        column = static_cast<TgxDBGridLookupColumn*>(
            grid->CreateColumn(ColumnClassOf<TgxDBGridLookupColumn>()));
        column->SetFieldName("Colour");
        grid->SetDataSource(source.get());
        grid->setFocus();
    }
    ~LookupGrid() {
        grid.reset();
        source.reset();
        list.reset();
        colours.reset();
    }
    TgxInplaceLookupEdit* Open(const char* name) {
        grid->SetFocusedNode(grid->FindNodeByKeyValue(db::Variant(name)));
        grid->SetFocusedColumn(0);
        QTest::keyClick(grid.get(), Qt::Key_F2);
        return dynamic_cast<TgxInplaceLookupEdit*>(grid->InplaceEditor());
    }
    int Code() { return list->FieldByName("Code")->AsInteger(); }
};

TEST(LookupEditor, TypingLocatesPartialCaseInsensitiveAndWritesTheKey) {
    LookupGrid g;
    auto* editor = g.Open("anna");
    ASSERT_NE(editor, nullptr);
    EXPECT_EQ(editor->LineEdit().text().toStdString(), "red");
    QTest::keyClicks(&editor->LineEdit(), "GRE");
    EXPECT_EQ(g.Code(), 2);
    EXPECT_EQ(editor->LineEdit().text().toStdString(), "green");
    EXPECT_EQ(editor->LineEdit().selectedText().toStdString(), "en");
    QTest::keyClicks(&editor->LineEdit(), "y");
    EXPECT_EQ(g.Code(), 3);
    EXPECT_EQ(editor->LineEdit().text().toStdString(), "Grey");
}

TEST(LookupEditor, ListEnterWritesTheSelectedKeyEscapeKeepsIt) {
    LookupGrid g;
    auto* editor = g.Open("bert");
    ASSERT_NE(editor, nullptr);
    QTest::keyClick(&editor->LineEdit(), Qt::Key_F4);
    ASSERT_TRUE(editor->PopupShown());
    EXPECT_EQ(editor->List()->RowTexts(),
              (std::vector<std::string>{"red", "green", "Grey", "blue"}));
    EXPECT_EQ(editor->List()->SelectedRow(), 3);
    QTest::keyClick(&editor->LineEdit(), Qt::Key_Up);
    QTest::keyClick(&editor->LineEdit(), Qt::Key_Escape);
    EXPECT_FALSE(editor->PopupShown());
    EXPECT_EQ(g.Code(), 4);
    QTest::keyClick(&editor->LineEdit(), Qt::Key_F4);
    QTest::keyClick(&editor->LineEdit(), Qt::Key_Up);
    QTest::keyClick(&editor->LineEdit(), Qt::Key_Return);
    EXPECT_EQ(g.Code(), 3);
}

TEST(LookupEditor, ListShowsItsRowsOfTheLookupDatasetAndMovesThroughThem) {
    LookupGrid g;
    g.column->SetDropDownRows(2);
    g.column->SetListWidth(300);
    g.column->SetListFieldName("Colour;Code");
    auto* editor = g.Open("anna");
    ASSERT_NE(editor, nullptr);
    QTest::keyClick(&editor->LineEdit(), Qt::Key_F4);
    ASSERT_TRUE(editor->PopupShown());
    TPopupDBLookupListBox* list = editor->List();
    EXPECT_EQ(list->width(), 300);
    EXPECT_EQ(list->RowTexts(), (std::vector<std::string>{"red 1", "green 2"}));
    EXPECT_EQ(list->SelectedRow(), 0);
    for (int i = 0; i < 3; ++i)
        QTest::keyClick(&editor->LineEdit(), Qt::Key_Down);
    EXPECT_EQ(list->KeyValue().AsInteger(), 4);
    EXPECT_EQ(list->RowTexts(), (std::vector<std::string>{"Grey 3", "blue 4"}));
    EXPECT_EQ(list->SelectedRow(), 1);
    list->grab().toImage().save(QString(CORVANE_TEST_OUTPUT_DIR) + "/lookup_list.png");
    // The wheel moves through the rows too: two rows shown of four, none out of reach.
    auto wheel = [&](int notches) {
        const QPointF at(10, 5);
        QWheelEvent e(at, list->mapToGlobal(at), QPoint(), QPoint(0, 120 * notches), Qt::NoButton,
                      Qt::NoModifier, Qt::NoScrollPhase, false);
        QApplication::sendEvent(list, &e);
    };
    wheel(3);
    EXPECT_EQ(list->KeyValue().AsInteger(), 1);
    EXPECT_EQ(list->RowTexts(), (std::vector<std::string>{"red 1", "green 2"}));
    wheel(-2);
    EXPECT_EQ(list->KeyValue().AsInteger(), 3);
    EXPECT_NE(list->SelectedRow(), -1);
    EXPECT_EQ(g.Code(), 1);  // the wheel writes nothing either
    QTest::keyClick(&editor->LineEdit(), Qt::Key_Home);
    EXPECT_EQ(list->KeyValue().AsInteger(), 1);
    EXPECT_EQ(g.Code(), 1);  // nothing is written before the list closes
    QTest::keyClick(&editor->LineEdit(), Qt::Key_End);
    QTest::keyClick(&editor->LineEdit(), Qt::Key_Return);
    EXPECT_FALSE(editor->PopupShown());
    EXPECT_EQ(g.Code(), 4);
    EXPECT_EQ(editor->LineEdit().text().toStdString(), "blue");
    EXPECT_EQ(list->ListSource(), nullptr);

    // A list field the lookup dataset lacks is refused before anything shows.
    g.column->SetListFieldName("Colour;Shade");
    EXPECT_THROW(editor->DropDown(), db::EDatabaseError);
    EXPECT_FALSE(editor->PopupShown());
}

TEST(LookupEditor, ClearKeySetsTheKeyToNull) {
    LookupGrid g;
    g.column->SetClearKey(ShortCutOf(ui::VK_DELETE, ui::ssCtrl));
    auto* editor = g.Open("anna");
    ASSERT_NE(editor, nullptr);
    QTest::keyClick(&editor->LineEdit(), Qt::Key_Delete, Qt::ControlModifier);
    EXPECT_TRUE(g.list->FieldByName("Code")->IsNull());
}

}  // namespace
}  // namespace grid::testing
