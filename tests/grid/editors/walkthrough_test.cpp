// The popup calculator, check, hyperlink and lookup editors walked as a user works them in a
// data grid over a Strata table: keys and clicks, what the cell shows, what is stored.

#include <QApplication>
#include <QClipboard>
#include <QGuiApplication>
#include <QPainter>
#include <QScreen>

#include "grid/editors/blob_edit.h"
#include "grid/editors/calc_edit.h"
#include "grid/editors/check_edit.h"
#include "grid/editors/date_edit.h"
#include "grid/editors/hyperlink_edit.h"
#include "grid/editors/image_edit.h"
#include "grid/editors/pick_edit.h"
#include "platform/db/conversions.h"
#include "platform/db/fields_numeric.h"
#include "platform/db/fields_text.h"
#include "platform/db/format_settings.h"
#include "platform/ui/application.h"
#include "platform/ui/keys.h"
#include "tests/grid/editors/editor_fixture.h"

namespace grid::testing {
namespace {

// Row 2's Amount (3) in a calculator column: the calculator opened with F4, keys typed into
// it, Enter, and the cell left.
struct CalcRun {
    std::string shown;   // the editor's text after the keys
    std::string stored;  // what another reader finds after leaving the cell
    std::string message;
};

CalcRun RunCalc(const std::string& keys, int precision = 13) {
    EditorGrid g;
    g.Add<TgxDBGridCalcColumn>("Amount")->SetPrecision(precision);
    g.Bind();
    auto* editor = g.Open<TgxInplaceCalcEdit>(2, 0);
    EXPECT_NE(editor, nullptr);
    if (editor == nullptr)
        return {};
    QWidget* in = EditorGrid::Keys(editor);
    QTest::keyClick(in, Qt::Key_F4);
    EXPECT_TRUE(editor->PopupShown());
    for (char c : keys) {
        if (c == 'P')
            QTest::keyClick(in, Qt::Key_Insert, Qt::ShiftModifier);
        else if (c == 'M')
            QTest::keyClick(in, Qt::Key_M, Qt::ControlModifier);
        else if (c == 'R')
            QTest::keyClick(in, Qt::Key_R, Qt::ControlModifier);
        else if (c == 'K')
            QTest::keyClick(in, Qt::Key_L, Qt::ControlModifier);
        else if (c == 'A')
            QTest::keyClick(in, Qt::Key_P, Qt::ControlModifier);
        else if (c == 'V')
            QTest::keyClick(in, Qt::Key_V, Qt::ControlModifier);
        else if (c == 'L')
            QTest::keyClick(in, Qt::Key_Left);
        else if (c == 'H')
            QTest::keyClick(in, Qt::Key_Home);
        else if (c == 'Z')
            QTest::keyClick(in, Qt::Key_Z, Qt::ControlModifier);
        else if (c == 'B')
            QTest::keyClick(in, Qt::Key_Backspace);
        else if (c == 'S')
            QTest::keyClick(in, Qt::Key_F9);
        else
            QTest::keyClicks(in, QString(QChar(c)));
    }
    CalcRun r;
    r.shown = editor->LineEdit().text().toStdString();
    QTest::keyClick(in, Qt::Key_Return);
    const std::size_t asked = g.prompts->Asked().size();
    QTest::keyClick(in, Qt::Key_Return);
    if (g.prompts->Asked().size() > asked)
        r.message = g.prompts->Asked().back().text;
    if (!editor->isVisible())
        g.Close();
    r.stored = g.db.ReadBack(2, "Amount");
    return r;
}

TEST(CalcEditorWalk, KeySequencesShowAndStoreTheirResults) {
    struct Case {
        std::string keys, shown, stored;
    };
    const std::vector<Case> cases = {
        {"12+3=", "15", "15"},
        {"12+3==", "15", "15"},
        {"2+3*4=", "20", "20"},
        {"50+10%", "5", "55"},
        {"50-10%", "5", "45"},
        {"50*10%", "0.1", "5"},
        {"9@", "3", "3"},
        {"4S@", "Error", "3"},
        {"8/0=", "Error", "3"},
        {"1/3=", "0.3333333333333", "0.3333333333333"},
        {"99999999999999*99999999999999=", "9.999999999998E25", "9.999999999998E25"},
    };
    for (const Case& c : cases) {
        const CalcRun r = RunCalc(c.keys);
        EXPECT_EQ(r.shown, c.shown) << c.keys;
        EXPECT_EQ(r.stored, c.stored) << c.keys << " " << r.message;
    }
}

// The calculator worked with the mouse: every button clicked in turn in sequences, the memory
// keys from the keyboard, and the column's precision.
TEST(CalcEditorWalk, ButtonsClickedWithTheMouseAndTheMemoryKeys) {
    struct Case {
        std::vector<int> buttons;
        std::string shown;
        int precision = 13;
    };
    const std::vector<Case> cases = {
        {{cbNum7, cbNum8, cbNum9, cbBack, cbAdd, cbNum1, cbEqual}, "79"},
        {{cbNum4, cbNum5, cbNum6, cbCancelEntry, cbNum2}, "2"},
        {{cbNum1, cbDecimal, cbNum5, cbMul, cbNum2, cbEqual}, "3"},
        {{cbNum9, cbSqrt}, "3"},
        {{cbNum4, cbRev}, "0.25"},
        {{cbNum0, cbRev}, "Error"},
        {{cbNum5, cbSign, cbSqrt, cbNum1}, "Error"},
        {{cbNum5, cbSign, cbSqrt, cbClear, cbNum1}, "1"},
        {{cbNum6, cbMemStore, cbClear, cbNum2, cbMemAdd, cbMemRead}, "8"},
        {{cbNum6, cbMemStore, cbMemClear, cbMemRead}, "0"},
        {{cbNum3, cbMemStore, cbNum0, cbMemRead, cbSub, cbNum1, cbEqual}, "2"},
        {{cbNum1, cbDiv, cbNum3, cbEqual}, "0.33333", 5},
        {{cbNum1, cbNum2, cbNum3, cbNum4, cbNum5, cbNum6}, "12345", 5},
        {{cbNum1, cbNum2, cbNum3, cbNum4, cbNum5, cbNum6}, "12", 1},
        {{cbNum2, cbNum0, cbPercent}, "20"},
        {{cbNum3, cbSub, cbNum5, cbEqual, cbSub}, "-2"},
    };
    for (const Case& c : cases) {
        EditorGrid g;
        g.Add<TgxDBGridCalcColumn>("Amount")->SetPrecision(c.precision);
        g.Bind();
        auto* editor = g.Open<TgxInplaceCalcEdit>(2, 0);
        ASSERT_NE(editor, nullptr);
        QTest::keyClick(EditorGrid::Keys(editor), Qt::Key_F4);
        TgxPopupCalculator* calc = editor->Calculator();
        ASSERT_NE(calc, nullptr);
        for (int code : c.buttons)
            QTest::mouseClick(calc, Qt::LeftButton, Qt::NoModifier,
                              calc->ButtonRect(code).center());
        EXPECT_EQ(editor->LineEdit().text().toStdString(), c.shown) << c.buttons.size();
        QTest::keyClick(EditorGrid::Keys(editor), Qt::Key_Escape);
        EXPECT_FALSE(editor->PopupShown());
        EXPECT_EQ(editor->LineEdit().text().toStdString(), "3");
        QTest::keyClick(EditorGrid::Keys(editor), Qt::Key_Escape);
        g.Close();
        EXPECT_EQ(g.db.ReadBack(2, "Amount"), "3");
    }
    // Ctrl+M stores, Ctrl+P adds, Ctrl+R reads, Ctrl+L clears the memory (M, A, R, K here).
    EXPECT_EQ(RunCalc("5M+1=R").shown, "5");
    EXPECT_EQ(RunCalc("5MAR").shown, "10");
    const CalcRun cleared = RunCalc("5MKR");
    EXPECT_EQ(cleared.shown, "0");
    EXPECT_EQ(cleared.stored, "0");
}

// With a comma as the decimal separator the calculator's separator key and its results use it,
// and the cell stores the number it stands for.
TEST(CalcEditorWalk, TheLocalesDecimalSeparatorIsTheCalculators) {
    const db::TFormatSettings saved = db::FormatSettings();
    db::FormatSettings().DecimalSeparator = ',';
    db::FormatSettings().ThousandSeparator = '.';
    struct Case {
        std::string keys, shown;
    };
    const std::vector<Case> cases = {
        {"1,5+1=", "2,5"}, {"1,,5*2=", "3"}, {"1.5*2=", "30"}, {"2@", "1,414213562373"}};
    for (const Case& c : cases) {
        const CalcRun r = RunCalc(c.keys);
        EXPECT_EQ(r.shown, c.shown) << c.keys;
        EXPECT_EQ(r.message, "") << c.keys;
        EXPECT_EQ(r.stored, r.shown) << c.keys;
    }
    db::FormatSettings() = saved;
}

// Keys the calculator has no button for used to reach the cell's text behind it: Shift+Insert
// pasted twice ("1E3001e300") and arrows moved the caret into the number being entered.
TEST(CalcEditorWalk, KeysWithoutAButtonLeaveTheDisplayToTheCalculator) {
    struct Case {
        std::string clipboard, keys, shown;
    };
    const std::vector<Case> cases = {
        {"1e300", "P", "1E300"}, {"1e300", "V", "1E300"},    {"1,234.5", "P", "1234.5"},
        {"abc", "5P", "0"},      {"", "12L5", "125"},        {"", "12H5", "125"},
        {"", "12Z", "12"},       {"1,234.5", "PB", "1234."},
    };
    for (const Case& c : cases) {
        QGuiApplication::clipboard()->setText(QString::fromStdString(c.clipboard));
        const CalcRun r = RunCalc(c.keys);
        EXPECT_EQ(r.shown, c.shown) << c.clipboard << " " << c.keys;
        EXPECT_EQ(r.message, "") << c.clipboard << " " << c.keys;
    }
}

// A product beyond the range of the numbers a cell holds showed "INF", which every following
// key and the cell itself refused as no number; it is the calculator's error now, which only
// C leaves.
TEST(CalcEditorWalk, AResultOutOfRangeIsAnErrorThatCClears) {
    QGuiApplication::clipboard()->setText("1e300");
    EXPECT_EQ(RunCalc("P*P=").shown, "Error");
    EXPECT_EQ(RunCalc("P*P=+1=").shown, "Error");
    EXPECT_EQ(RunCalc("PM").shown, "1E300");
    const CalcRun cleared = RunCalc("P*P=C7+1=");
    EXPECT_EQ(cleared.shown, "8");
    EXPECT_EQ(cleared.stored, "8");
    TgxCalcEngine engine;
    engine.PasteText("1e308");
    engine.ButtonClick(cbMemStore);
    engine.ButtonClick(cbMemAdd);
    engine.ButtonClick(cbMemRead);
    EXPECT_EQ(engine.GetText(), "Error");
    EXPECT_EQ(engine.Status, csError);
}

// Space, a click, two toggles and a toggle abandoned with Escape, on a boolean field that is
// NULL, a text field and an integer field whose values are 1 and 0; each read back after the post.
TEST(CheckEditorWalk, TogglesAreStoredAndEscapeKeepsTheValue) {
    enum Action { space, click, twice, escape };
    struct Case {
        std::string field;
        Action action;
        std::string stored;
    };
    const std::vector<Case> cases = {
        {"Active", space, "True"},       {"Active", click, "True"},
        {"Active", twice, "False"},      {"Active", escape, ""},
        {"SendRights", space, "True"},   {"SendRights", twice, "False"},
        {"SendRights", escape, "False"}, {"Bounces", space, "1"},
        {"Bounces", twice, "0"},         {"Bounces", escape, "2"},
    };
    for (const Case& c : cases) {
        EditorGrid g;
        auto* column = g.Add<TgxDBGridCheckColumn>(c.field);
        if (c.field == "Bounces") {
            column->SetValueChecked("1");
            column->SetValueUnchecked("0");
        }
        g.Add<TgxDBGridColumn>("Item");
        g.Bind();
        auto* editor = g.Open<TgxInplaceCheckEdit>(2, 0);
        ASSERT_NE(editor, nullptr);
        if (c.action == click)
            QTest::mouseClick(editor, Qt::LeftButton, Qt::NoModifier, editor->rect().center());
        else
            QTest::keyClick(editor, Qt::Key_Space);
        if (c.action == twice)
            QTest::keyClick(editor, Qt::Key_Space);
        if (c.action == escape) {
            QTest::keyClick(editor, Qt::Key_Escape);
            QTest::keyClick(g.grid.get(), Qt::Key_Escape);
        } else {
            QTest::keyClick(editor, Qt::Key_Return);
        }
        g.Close();
        EXPECT_EQ(g.db.ReadBack(2, c.field), c.stored) << c.field << " " << c.action;
        EXPECT_TRUE(g.prompts->Asked().empty()) << c.field << " " << c.action;
    }
}

// A mail link's query was passed on whole, and mail programs attach the file that "attach=" or
// "attachment=" names: a cell's text could send the user's files. Only header fields pass.
TEST(HyperLinkWalk, AMailLinkThatAsksForAFileOpensNothing) {
    struct Case {
        const char* text;
        bool opens;
    };
    const std::vector<Case> cases = {
        {"mailto:list@example.org", true},
        {"mailto:list@example.org?subject=Hello&body=Hi%20there", true},
        {"mailto:a@example.org?cc=b@example.org&BCC=c@example.org", true},
        {"mailto:a@example.org?attach=/etc/passwd", false},
        {"mailto:?attachment=~/.ssh/id_rsa", false},
        {"mailto:a@example.org?subject=x&Attach=%2Fetc%2Fpasswd", false},
        {"mailto:a@example.org?%61ttach=/etc/passwd", false},
        {"mailto:a@example.org?subject=x&attach", false},
        {"mailto:a@example.org%3Fattach=/etc/passwd", false},
        {"http://example.org/?attach=1", true},
    };
    for (const Case& c : cases)
        EXPECT_EQ(HyperLinkUrl(c.text).has_value(), c.opens) << c.text;
}

// With SingleClick off the click that shows the editor opens nothing and the next one opens the
// link; with it on the first click already opens it.
TEST(HyperLinkWalk, TheFirstClickOpensOnlyWithSingleClick) {
    std::vector<std::string> opened;
    auto saved = HyperLinkOpener();
    HyperLinkOpener() = [&](const QUrl& url) {
        opened.push_back(url.toString().toStdString());
        return true;
    };
    for (bool single : {false, true}) {
        opened.clear();
        EditorGrid g;
        g.Add<TgxDBGridColumn>("Index");
        g.db.Table().Locate("Index", db::Variant(2), {});
        g.db.Table().Edit();
        g.db.Table().FieldByName("Item")->SetAsString("http://example.org/");
        g.db.Table().Post();
        g.Add<TgxDBGridHyperLinkColumn>("Item")->SetSingleClick(single);
        g.grid->SetOptions(kEditorGridOptions | egoImmediateEditor);
        g.Bind();
        const ui::Rect cell = g.grid->GetCellRect(g.grid->FindNodeByKeyValue(db::Variant(2)), 1);
        const QPoint p(cell.left + 10, (cell.top + cell.bottom) / 2);
        QTest::mouseClick(g.grid->viewport(), Qt::LeftButton, Qt::NoModifier, p);
        auto* editor = dynamic_cast<TgxInplaceHyperLinkEdit*>(g.grid->InplaceEditor());
        ASSERT_NE(editor, nullptr);
        EXPECT_TRUE(editor->isVisible());
        EXPECT_EQ(opened.size(), single ? 1u : 0u) << single;
        QTest::qWait(600);  // past the double-click time
        QTest::mouseClick(&editor->LineEdit(), Qt::LeftButton, Qt::NoModifier,
                          editor->LineEdit().mapFrom(g.grid->viewport(), p));
        EXPECT_EQ(opened.size(), single ? 2u : 1u) << single;
        if (!opened.empty()) {
            EXPECT_EQ(opened.back(), "http://example.org/");
        }
    }
    HyperLinkOpener() = saved;
}

// "entries" with persistent fields and a lookup field Colour: its Bounces is the key into a
// second Strata table "colours" (Code, Colour) holding 1 red, 2 green, 3 Grey, 4 blue.
struct LookupTables {
    EditorGrid g;
    db::ComponentPtr<strata::TStrataTable> colours;
    db::ComponentPtr<strata::TStrataTable> list;
    db::ComponentPtr<db::TDataSource> source;
    TgxDBGridLookupColumn* column = nullptr;

    LookupTables() {
        colours = db::MakeComponent<strata::TStrataTable>(nullptr);
        colours->SetSessionName(g.db.session->SessionName());
        colours->SetDatabaseName(g.db.database->DatabaseName());
        colours->SetTableName("colours.dat");
        colours->FieldDefs()->Add("Code", db::ftInteger);
        colours->FieldDefs()->Add("Colour", db::ftString, 10);
        colours->IndexDefs().Add("", "Code", db::ixPrimary | db::ixUnique);
        colours->CreateTable();
        colours->Open();
        for (auto [code, name] : {std::pair{1, "red"}, {2, "green"}, {3, "Grey"}, {4, "blue"}}) {
            colours->Append();
            colours->FieldByName("Code")->SetAsInteger(code);
            colours->FieldByName("Colour")->SetAsString(name);
            colours->Post();
        }
        g.db.Table().Close();
        list = db::MakeComponent<strata::TStrataTable>(nullptr);
        list->SetSessionName(g.db.session->SessionName());
        list->SetDatabaseName(g.db.database->DatabaseName());
        list->SetTableName("entries.dat");
        auto* index = db::MakeOwned<db::TAutoIncField>(*list);
        index->SetFieldName("Index");
        index->SetDataSet(list.get());
        auto* item = db::MakeOwned<db::TStringField>(*list);
        item->SetFieldName("Item");
        item->SetSize(80);
        item->SetDataSet(list.get());
        auto* bounces = db::MakeOwned<db::TIntegerField>(*list);
        bounces->SetFieldName("Bounces");
        bounces->SetDataSet(list.get());
        auto* colour = db::MakeOwned<db::TStringField>(*list);
        colour->SetFieldName("Colour");
        colour->SetSize(10);
        colour->SetFieldKind(db::fkLookup);
        colour->SetKeyFields("Bounces");
        colour->SetLookupDataSet(colours.get());
        colour->SetLookupKeyFields("Code");
        colour->SetLookupResultField("Colour");
        colour->SetDataSet(list.get());
        list->Open();
        source = db::MakeComponent<db::TDataSource>(nullptr);
        source->SetDataSet(list.get());
        g.grid->SetKeyField("Index");
        g.Add<TgxDBGridColumn>("Item");
        column = static_cast<TgxDBGridLookupColumn*>(
            g.grid->CreateColumn(ColumnClassOf<TgxDBGridLookupColumn>()));
        column->SetFieldName("Colour");
        g.grid->SetDataSource(source.get());
        g.grid->setFocus();
    }
    ~LookupTables() {
        g.grid->SetDataSource(nullptr);
        source.reset();
        list.reset();
        colours.reset();
    }
    TgxInplaceLookupEdit* Open(int key) {
        g.grid->SetFocusedNode(g.grid->FindNodeByKeyValue(db::Variant(key)));
        g.grid->SetFocusedColumn(1);
        QTest::keyClick(g.grid.get(), Qt::Key_F2);
        return dynamic_cast<TgxInplaceLookupEdit*>(g.grid->InplaceEditor());
    }
    void Close() {
        g.grid->HideEditor();
        if (list->State() == db::dsEdit || list->State() == db::dsInsert)
            list->Post();
    }
};

// Typing into the lookup cell writes the key of the first colour it starts; Escape twice
// abandons it; a key that is in no row of the colours shows nothing and is kept; a colour
// deleted and one renamed under the open editor show in the list as they are now.
TEST(LookupWalk, TheKeyFieldOverASecondTable) {
    struct Case {
        int row;
        std::string typed;
        bool escape;
        std::string shown, stored;
    };
    const std::vector<Case> cases = {
        {2, "bl", false, "blue", "4"}, {2, "GR", false, "green", "2"},
        {1, "gr", true, "green", "1"}, {5, "", false, "", "5"},
        {3, "x", false, "Grey", "3"},
    };
    for (const Case& c : cases) {
        LookupTables t;
        auto* editor = t.Open(c.row);
        ASSERT_NE(editor, nullptr);
        QTest::keyClicks(&editor->LineEdit(), QString::fromStdString(c.typed));
        EXPECT_EQ(editor->LineEdit().text().toStdString(), c.shown) << c.typed;
        if (editor->PopupShown())
            QTest::keyClick(&editor->LineEdit(), Qt::Key_Escape);
        if (c.escape) {
            QTest::keyClick(&editor->LineEdit(), Qt::Key_Escape);
            QTest::keyClick(t.g.grid.get(), Qt::Key_Escape);
        } else {
            QTest::keyClick(&editor->LineEdit(), Qt::Key_Return);
        }
        t.Close();
        EXPECT_EQ(t.g.db.ReadBack(c.row, "Bounces"), c.stored) << c.typed;
        EXPECT_TRUE(t.g.prompts->Asked().empty()) << c.typed;
    }
    {
        // With ImmediateDropDown a character that ends the match starts a search of its own;
        // the clear key empties the key field.
        LookupTables t;
        t.column->SetImmediateDropDown(true);
        t.column->SetClearKey(ShortCutOf(ui::VK_DELETE, ui::ssCtrl));
        auto* editor = t.Open(1);
        ASSERT_NE(editor, nullptr);
        QTest::keyClicks(&editor->LineEdit(), "bg");
        EXPECT_EQ(editor->LineEdit().text().toStdString(), "green");
        EXPECT_TRUE(editor->PopupShown());
        QTest::keyClick(&editor->LineEdit(), Qt::Key_Return);
        QTest::keyClick(&editor->LineEdit(), Qt::Key_Delete, Qt::ControlModifier);
        EXPECT_EQ(editor->LineEdit().text().toStdString(), "");
        QTest::keyClick(&editor->LineEdit(), Qt::Key_Return);
        t.Close();
        EXPECT_EQ(t.g.db.ReadBack(1, "Bounces"), "");
    }
    LookupTables t;
    auto* editor = t.Open(4);
    ASSERT_NE(editor, nullptr);
    EXPECT_EQ(editor->LineEdit().text().toStdString(), "blue");
    t.colours->Locate("Code", db::Variant(4), {});
    t.colours->Delete();
    t.colours->Locate("Code", db::Variant(2), {});
    t.colours->Edit();
    t.colours->FieldByName("Colour")->SetAsString("lime");
    t.colours->Post();
    QTest::keyClick(&editor->LineEdit(), Qt::Key_F4);
    ASSERT_TRUE(editor->PopupShown());
    EXPECT_EQ(editor->List()->RowTexts(), (std::vector<std::string>{"red", "lime", "Grey"}));
    EXPECT_EQ(editor->List()->SelectedRow(), -1);
    QTest::keyClick(&editor->LineEdit(), Qt::Key_Return);
    QTest::keyClick(&editor->LineEdit(), Qt::Key_Return);
    t.Close();
    EXPECT_EQ(t.g.db.ReadBack(4, "Bounces"), "4");
}

// Row 1's Joined set to a start date, the calendar opened with F4, keys pressed in the editor,
// Enter to take the date (or Escape to close the calendar), then Enter or Escape for the cell.
struct CalendarRun {
    db::TDateTime selected;
    std::string stored, message;
};

CalendarRun RunCalendar(db::TDateTime start,
                        const std::vector<std::pair<Qt::Key, Qt::KeyboardModifiers>>& keys,
                        bool take = true) {
    EditorGrid g;
    g.db.Table().Locate("Index", db::Variant(1), {});
    g.db.Table().Edit();
    g.db.Table().FieldByName("Joined")->SetAsDateTime(start);
    g.db.Table().Post();
    g.Add<TgxDBGridDateColumn>("Joined");
    g.Add<TgxDBGridColumn>("Item");
    g.Bind();
    auto* editor = g.Open<TgxInplaceDateEdit>(1, 0);
    EXPECT_NE(editor, nullptr);
    if (editor == nullptr)
        return {};
    QWidget* in = EditorGrid::Keys(editor);
    QTest::keyClick(in, Qt::Key_F4);
    EXPECT_NE(editor->DatePopup(), nullptr);
    if (editor->DatePopup() == nullptr)
        return {};
    for (const auto& [key, modifiers] : keys)
        QTest::keyClick(in, key, modifiers);
    CalendarRun r;
    r.selected = editor->DatePopup()->GetSelStart();
    const std::size_t asked = g.prompts->Asked().size();
    QTest::keyClick(in, take ? Qt::Key_Return : Qt::Key_Escape);
    QTest::keyClick(in, take ? Qt::Key_Return : Qt::Key_Escape);
    if (!take)
        QTest::keyClick(g.grid.get(), Qt::Key_Escape);
    if (g.prompts->Asked().size() > asked)
        r.message = g.prompts->Asked().back().text;
    g.Close();
    r.stored = g.db.ReadBack(1, "Joined");
    return r;
}

std::string Day(db::TDateTime d) {
    return db::DateToStr(d, db::FormatSettings());
}

TEST(CalendarWalk, KeysMoveTheSelectionAndEnterStoresIt) {
    using Keys = std::vector<std::pair<Qt::Key, Qt::KeyboardModifiers>>;
    const Qt::KeyboardModifiers none = Qt::NoModifier;
    struct Case {
        db::TDateTime start;
        Keys keys;
        db::TDateTime selected;
    };
    const std::vector<Case> cases = {
        {db::EncodeDate(2000, 1, 31), {{Qt::Key_PageDown, none}}, db::EncodeDate(2000, 2, 29)},
        {db::EncodeDate(2001, 1, 31), {{Qt::Key_PageDown, none}}, db::EncodeDate(2001, 2, 28)},
        {db::EncodeDate(2000, 2, 29), {{Qt::Key_PageDown, none}}, db::EncodeDate(2000, 3, 29)},
        {db::EncodeDate(2004, 3, 31), {{Qt::Key_PageUp, none}}, db::EncodeDate(2004, 2, 29)},
        {db::EncodeDate(1900, 3, 1), {{Qt::Key_Left, none}}, db::EncodeDate(1900, 2, 28)},
        {db::EncodeDate(2000, 3, 1), {{Qt::Key_Left, none}}, db::EncodeDate(2000, 2, 29)},
        {db::EncodeDate(2001, 4, 10),
         {{Qt::Key_End, Qt::ControlModifier}},
         db::EncodeDate(2001, 4, 30)},
        {db::EncodeDate(2001, 4, 10),
         {{Qt::Key_Home, Qt::ControlModifier}},
         db::EncodeDate(2001, 4, 1)},
        {db::EncodeDate(2000, 12, 31), {{Qt::Key_Right, none}}, db::EncodeDate(2001, 1, 1)},
        {db::EncodeDate(2000, 12, 28), {{Qt::Key_Down, none}}, db::EncodeDate(2001, 1, 4)},
        {db::EncodeDate(2000, 1, 3), {{Qt::Key_Up, none}}, db::EncodeDate(1999, 12, 27)},
        {db::EncodeDate(2000, 2, 29),
         {{Qt::Key_PageDown, none}, {Qt::Key_PageDown, none}, {Qt::Key_PageUp, none}},
         db::EncodeDate(2000, 3, 29)},
    };
    for (const Case& c : cases) {
        const CalendarRun r = RunCalendar(c.start, c.keys);
        EXPECT_EQ(r.selected, c.selected) << Day(c.start);
        EXPECT_EQ(r.stored, Day(c.selected)) << Day(c.start);
        EXPECT_EQ(r.message, "") << Day(c.start);
        // Escape abandons the same steps.
        const CalendarRun kept = RunCalendar(c.start, c.keys, false);
        EXPECT_EQ(kept.stored, Day(c.start)) << Day(c.start);
    }
}

// Clicks in the calendar: a gray day of the next month, Today, Clear, and a press on Clear
// released outside the popup; each closes the calendar and what it chose is stored.
TEST(CalendarWalk, ClicksPickADayTodayOrNoDate) {
    enum Click { gray_day, today, clear, clear_dragged_off };
    struct Case {
        Click click;
        std::string stored;
    };
    const std::string start = Day(db::EncodeDate(2000, 2, 29));
    const std::vector<Case> cases = {
        {gray_day, Day(db::EncodeDate(2000, 3, 1))},
        {today, Day(db::Date())},
        {clear, ""},
        {clear_dragged_off, start},
    };
    for (const Case& c : cases) {
        EditorGrid g;
        g.db.Table().Locate("Index", db::Variant(1), {});
        g.db.Table().Edit();
        g.db.Table().FieldByName("Joined")->SetAsDateTime(db::EncodeDate(2000, 2, 29));
        g.db.Table().Post();
        g.Add<TgxDBGridDateColumn>("Joined");
        g.Add<TgxDBGridColumn>("Item");
        g.Bind();
        auto* editor = g.Open<TgxInplaceDateEdit>(1, 0);
        ASSERT_NE(editor, nullptr);
        QTest::keyClick(EditorGrid::Keys(editor), Qt::Key_F4);
        TgxGridDatePopup* popup = editor->DatePopup();
        ASSERT_NE(popup, nullptr);
        ASSERT_TRUE(popup->isVisible());
        QPoint at;
        if (c.click == gray_day) {
            // 29 February 2000 is a Tuesday; 1 March is the Wednesday after it.
            for (int row = 0; row < 6 && at.isNull(); ++row)
                for (int col = 0; col < 7; ++col) {
                    const QPoint p = popup->DayCellRect(row, col).center();
                    if (popup->GetDateAtPos(p) == db::EncodeDate(2000, 3, 1))
                        at = p;
                }
            ASSERT_FALSE(at.isNull());
        } else {
            at = (c.click == today ? popup->TodayButtonRect() : popup->ClearButtonRect()).center();
        }
        if (c.click == clear_dragged_off) {
            QTest::mousePress(popup, Qt::LeftButton, Qt::NoModifier, at);
            QMouseEvent move(QEvent::MouseMove, QPointF(-40, -40),
                             popup->mapToGlobal(QPointF(-40, -40)), Qt::NoButton, Qt::LeftButton,
                             Qt::NoModifier);
            QCoreApplication::sendEvent(popup, &move);
            QTest::mouseRelease(popup, Qt::LeftButton, Qt::NoModifier, QPoint(-40, -40));
            QTest::keyClick(EditorGrid::Keys(editor), Qt::Key_Escape);
        } else {
            QTest::mouseClick(popup, Qt::LeftButton, Qt::NoModifier, at);
        }
        QApplication::processEvents();
        EXPECT_FALSE(popup->isVisible()) << c.click;
        QTest::keyClick(EditorGrid::Keys(editor), Qt::Key_Return);
        g.Close();
        EXPECT_EQ(g.db.ReadBack(1, "Joined"), c.stored) << c.click;
        EXPECT_TRUE(g.prompts->Asked().empty()) << c.click;
    }
}

// The image column over SendRights: a value picked from the list with the mouse or the keys,
// taken or abandoned; a value not among the column's values; images missing or out of range.
TEST(ImageWalk, PickedValuesAreStoredAndEscapeKeepsTheValue) {
    struct Case {
        std::string name;
        std::vector<Qt::Key> keys;
        bool escape;
        std::string stored;
    };
    const std::vector<Case> cases = {
        {"down enter", {Qt::Key_F4, Qt::Key_Down, Qt::Key_Return}, false, "False"},
        {"down list escape", {Qt::Key_F4, Qt::Key_Down, Qt::Key_Escape}, false, "True"},
        {"down enter cell escape", {Qt::Key_F4, Qt::Key_Down, Qt::Key_Return}, true, "True"},
        {"to the end", {Qt::Key_F4, Qt::Key_End, Qt::Key_Return}, false, "Maybe"},
    };
    QImage red(16, 16, QImage::Format_RGB32);
    red.fill(Qt::red);
    for (const Case& c : cases) {
        EditorGrid g;
        ui::TCustomImageList images(16, 16);
        images.Add(red);  // one image only: "False" asks for 5, "Maybe" for none
        auto* rights = g.Add<TgxDBGridImageColumn>("SendRights");
        rights->Values = {"True", "False", "Maybe"};
        rights->Descriptions = {"may send", "may not send"};
        rights->SetDefaultImages(false);
        rights->ImageIndexes = {"0", "5", "-3"};
        rights->SetShowDescription(true);
        rights->SetImages(&images);
        g.Add<TgxDBGridColumn>("Item");
        g.Bind();
        auto* editor = g.Open<TgxInplaceImageEdit>(1, 0);
        ASSERT_NE(editor, nullptr) << c.name;
        for (Qt::Key key : c.keys)
            QTest::keyClick(editor, key);
        EXPECT_FALSE(editor->PopupShown()) << c.name;
        editor->grab();  // the editor paints a value whose image is missing
        if (c.escape) {
            QTest::keyClick(editor, Qt::Key_Escape);
            QTest::keyClick(g.grid.get(), Qt::Key_Escape);
        } else {
            QTest::keyClick(editor, Qt::Key_Return);
        }
        g.Close();
        EXPECT_EQ(g.db.ReadBack(1, "SendRights"), c.stored) << c.name;
        g.grid->grab();
    }
    // A stored value that is none of the column's values shows as its own text and opens the
    // list with nothing selected.
    EditorGrid g;
    g.db.Table().Locate("Index", db::Variant(1), {});
    g.db.Table().Edit();
    g.db.Table().FieldByName("SendRights")->SetAsString("Never");
    g.db.Table().Post();
    auto* rights = g.Add<TgxDBGridImageColumn>("SendRights");
    rights->Values = {"True", "False"};
    rights->SetShowDescription(true);
    g.Bind();
    EXPECT_EQ(g.grid->GetCellText(g.grid->FindNodeByKeyValue(db::Variant(1)), 0), "Never");
    auto* editor = g.Open<TgxInplaceImageEdit>(1, 0);
    ASSERT_NE(editor, nullptr);
    QTest::keyClick(editor, Qt::Key_F4);
    ASSERT_TRUE(editor->PopupShown());
    EXPECT_EQ(editor->List()->ItemIndex, -1);
    QTest::keyClick(editor, Qt::Key_Return);
    QTest::keyClick(editor, Qt::Key_Return);
    g.Close();
    EXPECT_EQ(g.db.ReadBack(1, "SendRights"), "Never");
}

// Typing into a pick cell writes the completed item at once; Escape in the list, then in the
// editor and the grid, leaves the stored value as it was; a text that starts no item is stored as
// typed.
TEST(PickWalk, CompletedItemsAreWrittenAndEscapeUndoesThem) {
    struct Case {
        std::string typed;
        bool escape;
        std::string stored;
    };
    const std::vector<Case> cases = {
        {"al", false, "Alpha"},
        {"al", true, "user1@example.org"},
        {"zz", false, "zz"},
        {"zz", true, "user1@example.org"},
    };
    for (const Case& c : cases) {
        EditorGrid g;
        auto* column = g.Add<TgxDBGridPickColumn>("Item");
        column->Items() = {"beta", "Alpha", "alpine"};
        g.Add<TgxDBGridColumn>("Index");
        g.Bind();
        auto* editor = g.Open<TgxInplacePickEdit>(1, 0);
        ASSERT_NE(editor, nullptr);
        QWidget* keys = EditorGrid::Keys(editor);
        editor->LineEdit().selectAll();
        QTest::keyClicks(keys, QString::fromStdString(c.typed));
        if (editor->PopupShown())
            QTest::keyClick(keys, Qt::Key_Escape);
        EXPECT_FALSE(editor->PopupShown()) << c.typed;
        if (c.escape) {
            QTest::keyClick(keys, Qt::Key_Escape);
            QTest::keyClick(g.grid.get(), Qt::Key_Escape);
        } else {
            QTest::keyClick(keys, Qt::Key_Return);
        }
        g.Close();
        EXPECT_EQ(g.db.ReadBack(1, "Item"), c.stored) << c.typed << " " << c.escape;
    }
}

// Types a text key by key, letters beyond ASCII as the key events a keyboard layout sends.
void TypeText(QWidget* w, const QString& text) {
    for (QChar ch : text) {
        if (ch.unicode() < 128) {
            QTest::keyClicks(w, QString(ch));
            continue;
        }
        QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QString(ch));
        QCoreApplication::sendEvent(w, &press);
        QKeyEvent release(QEvent::KeyRelease, Qt::Key_unknown, Qt::NoModifier, QString(ch));
        QCoreApplication::sendEvent(w, &release);
    }
}

// Row 2's Item in a mask column: start value, keys typed or a text pasted from the first
// position, then Enter (and Escape twice when the editor stays open). What was shown and stored.
struct MaskRun {
    std::string shown, stored, message;
    bool open = false;
};

MaskRun RunMask(const std::string& mask, const std::string& start, const std::string& typed,
                bool paste, Qt::Key leave = Qt::Key_Return) {
    EditorGrid g;
    g.db.Table().Locate("Index", db::Variant(2), {});
    g.db.Table().Edit();
    g.db.Table().FieldByName("Item")->SetAsString(start);
    g.db.Table().Post();
    g.Add<TgxDBGridColumn>("Index");
    g.Add<TgxDBGridMaskColumn>("Item")->SetEditMask(mask);
    g.Add<TgxDBGridColumn>("Bounces");
    g.Bind();
    auto* editor = g.Open<TgxInplaceTextEdit>(2, 1);
    EXPECT_NE(editor, nullptr);
    if (editor == nullptr)
        return {};
    if (!typed.empty())
        QTest::keyClick(&editor->LineEdit(), Qt::Key_Home);
    if (paste) {
        QGuiApplication::clipboard()->setText(QString::fromStdString(typed));
        QTest::keyClick(&editor->LineEdit(), Qt::Key_V, Qt::ControlModifier);
    } else {
        TypeText(&editor->LineEdit(), QString::fromStdString(typed));
    }
    MaskRun r;
    r.shown = editor->LineEdit().text().toStdString();
    const std::size_t asked = g.prompts->Asked().size();
    QTest::keyClick(&editor->LineEdit(), leave);
    if (g.prompts->Asked().size() > asked)
        r.message = g.prompts->Asked().back().text;
    r.open = editor->isVisible();
    if (r.open) {
        QTest::keyClick(&editor->LineEdit(), Qt::Key_Escape);
        QTest::keyClick(g.grid.get(), Qt::Key_Escape);
    }
    g.Close();
    r.stored = g.db.ReadBack(2, "Item");
    return r;
}

TEST(MaskWalk, TypedAndPastedTextsAreStoredThroughTheMask) {
    struct Case {
        std::string mask, typed;
        bool paste;
        std::string shown, stored;
        bool refused = false;  // a required position left blank keeps the editor open
    };
    const std::vector<Case> cases = {
        {"000-000;1;_", "123456", false, "123-456", "123-456"},
        {"000-000;0;_", "123456", false, "123-456", "123456"},
        {"000-000;1;_", "12-34-56", false, "12_-345", "", true},
        {"000-000;1;_", "12345678", true, "123-456", "123-456"},
        {"000-000;1;_", "12", false, "12_-___", "", true},
        {">LL<ll", "abCD", false, "ABcd", "ABcd"},
        {"!999", "12", false, "12_", "12"},
        {"\\A000", "123", false, "A123", "A123"},
        {"CCC", "a b", false, "a b", "a b"},
        {"###", "+1 ", false, "+1 ", "+1"},
        {"aaa", "a1", false, "a1_", "a1"},
        {"LLL", "a1b", false, "ab_", "", true},
        {"LLL", "\xC3\xA4\xC3\xB6\xC3\xBC", false, "\xC3\xA4\xC3\xB6\xC3\xBC",
         "\xC3\xA4\xC3\xB6\xC3\xBC"},
        {"000", "abc", true, "___", "", true},
        {"(999) 000-0000;1;_", "5551234567", false, "(555) 123-4567", "(555) 123-4567"},
        {"00:00;1;_", "1230", false, "12:30", "12:30"},
        {"000-000;1;_", "", false, "___-___", ""},
    };
    for (const Case& c : cases) {
        const MaskRun r = RunMask(c.mask, "", c.typed, c.paste);
        EXPECT_EQ(r.shown, c.shown) << c.mask << " " << c.typed;
        EXPECT_EQ(r.stored, c.stored) << c.mask << " " << c.typed;
        EXPECT_EQ(r.open, c.refused) << c.mask << " " << c.typed;
        EXPECT_EQ(r.message,
                  c.refused ? "Invalid input value.  Use escape key to abandon changes" : "")
            << c.mask << " " << c.typed;
    }
}

// A value that does not fit the mask (entered before the column had one) shows cut to it;
// Enter or Tab without an edit stored the cut text, "use-" in place of the mail address.
TEST(MaskWalk, AValueThatDoesNotFitTheMaskIsKeptWhenTheCellIsPassedThrough) {
    const std::string address = "user2@example.org";
    for (Qt::Key leave : {Qt::Key_Return, Qt::Key_Tab}) {
        for (const std::string mask : {"000-000;1;_", "000-000;0;_", "LLL", "!CCC"}) {
            const MaskRun r = RunMask(mask, address, "", false, leave);
            EXPECT_FALSE(r.open) << mask;
            EXPECT_EQ(r.stored, address) << mask << " " << r.shown;
        }
    }
    // An edit stores what the mask holds.
    EXPECT_EQ(RunMask("000-000;1;_", address, "123456", false).stored, "123-456");
    EXPECT_EQ(RunMask("LLL", address, "ab", false).stored, "abe");
}

// The grid with each editor's popup drawn where it opens, near the screen's lower right corner,
// and a check column over a boolean field holding NULL, True and False.
TEST(WalkPictures, PopupsOverTheGridAndCheckStates) {
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    struct Case {
        std::string name;
        std::function<void(EditorGrid&)> add;
        std::string keys;
    };
    const std::vector<Case> cases = {
        {"calc", [](EditorGrid& g) { g.Add<TgxDBGridCalcColumn>("Amount")->SetWidth(150); },
         "1/0="},
        {"date",
         [](EditorGrid& g) {
             auto* c = g.Add<TgxDBGridDateColumn>("Joined");
             c->SetWidth(150);
         },
         ""},
        {"check",
         [](EditorGrid& g) {
             auto* c = g.Add<TgxDBGridCheckColumn>("Active");
             c->SetWidth(150);
             c->SetShowNullFieldStyle(nsGrayedChecked);
         },
         ""},
    };
    for (const Case& c : cases) {
        EditorGrid g;
        for (int key : {1, 3}) {
            g.db.Table().Locate("Index", db::Variant(key), {});
            g.db.Table().Edit();
            g.db.Table().FieldByName("Active")->SetAsBoolean(key == 1);
            g.db.Table().Post();
        }
        g.grid->SetTextMetrics(nullptr);
        g.grid->resize(330, 130);
        g.grid->move(screen.right() - 330, screen.bottom() - 130);
        g.Add<TgxDBGridColumn>("Index")->SetWidth(50);
        c.add(g);
        g.Add<TgxDBGridColumn>("Item")->SetWidth(120);
        g.Bind();
        auto* editor = g.Open<TgxInplaceEdit>(4, 1);
        ASSERT_NE(editor, nullptr) << c.name;
        QImage shot = g.grid->grab().toImage();
        if (auto* drop = dynamic_cast<TgxInplaceDropDownEdit*>(editor)) {
            QTest::keyClick(EditorGrid::Keys(drop), Qt::Key_F4);
            ASSERT_TRUE(drop->PopupShown()) << c.name;
            QTest::keyClicks(EditorGrid::Keys(drop), QString::fromStdString(c.keys));
            QWidget* popup = drop->Popup();
            const QRect placed(popup->mapToGlobal(QPoint(0, 0)), popup->size());
            EXPECT_TRUE(screen.contains(placed)) << c.name;
            // The grid and the popup on one picture, in screen coordinates.
            const QRect grid_at(g.grid->mapToGlobal(QPoint(0, 0)), g.grid->size());
            const QRect both = grid_at.united(placed);
            QImage canvas(both.size(), QImage::Format_RGB32);
            canvas.fill(Qt::darkGray);
            QPainter p(&canvas);
            p.drawImage(grid_at.topLeft() - both.topLeft(), g.grid->grab().toImage());
            p.drawImage(placed.topLeft() - both.topLeft(), popup->grab().toImage());
            p.end();
            shot = canvas;
        }
        shot.save(QString(CORVANE_TEST_OUTPUT_DIR) + "/walk_" + QString::fromStdString(c.name) +
                  ".png");
    }
}

// Notes of row 3 in a blob column: a long text, one with control characters and NULs, an empty
// one; the popup's OK, a close with AlwaysSaveText, and OK followed by Escape in the cell.
TEST(BlobWalk, MemoTextsComeBackByteForByte) {
    enum Close { ok, close_always, ok_then_escape };
    struct Case {
        std::string name, start, typed;
        Close close;
        std::string stored;
    };
    std::string lines;
    while (lines.size() < 20000)
        lines += "Dear list, hello world and more words here.\r\n";
    const std::string controls =
        std::string("caf\xC3\xA9 \x01\x02\t", 9) + std::string(2, '\0') + "end";
    const std::vector<Case> cases = {
        {"long", lines, "s", ok, lines + "s"},
        {"one long line", std::string(20000, 'h'), "s", ok, std::string(20000, 'h') + "s"},
        {"controls untouched", controls, "", ok, controls},
        {"controls closed", controls, "", close_always, controls},
        {"controls typed", controls, "s", ok, controls + "s"},
        {"empty", "", "x", ok, "x"},
        {"escaped", "note", "x", ok_then_escape, "note"},
    };
    for (const Case& c : cases) {
        EditorGrid g;
        g.db.Table().Locate("Index", db::Variant(3), {});
        g.db.Table().Edit();
        if (c.start.empty())
            g.db.Table().FieldByName("Notes")->Clear();
        else
            g.db.Table().FieldByName("Notes")->SetAsString(c.start);
        g.db.Table().Post();
        g.Add<TgxDBGridBlobColumn>("Notes")->SetAlwaysSaveText(c.close == close_always);
        g.Add<TgxDBGridColumn>("Item");
        g.Bind();
        auto* editor = g.Open<TgxInplaceBlobEdit>(3, 0);
        ASSERT_NE(editor, nullptr) << c.name;
        QTest::keyClick(editor, Qt::Key_F4);
        TCustomgxBlobPopup* popup = editor->BlobPopup();
        ASSERT_NE(popup, nullptr) << c.name;
        EXPECT_EQ(popup->MemoText(), c.start) << c.name;
        popup->Memo().moveCursor(QTextCursor::End);
        QTest::keyClicks(&popup->Memo(), QString::fromStdString(c.typed));
        if (c.close == close_always)
            popup->ClosePopup();
        else
            QTest::mouseClick(popup->Button(0), Qt::LeftButton);
        QApplication::processEvents();  // the popup's close notice
        if (c.close == ok_then_escape) {
            QTest::keyClick(editor, Qt::Key_Escape);
            EXPECT_FALSE(editor->isVisible()) << c.name;
            QTest::keyClick(g.grid.get(), Qt::Key_Escape);
        } else {
            QTest::keyClick(editor, Qt::Key_Return);
        }
        g.Close();
        EXPECT_EQ(g.db.ReadBack(3, "Notes"), c.stored) << c.name;
        EXPECT_TRUE(g.prompts->Asked().empty()) << c.name;
    }
}

}  // namespace
}  // namespace grid::testing
