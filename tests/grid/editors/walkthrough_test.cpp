// The popup calculator, check, hyperlink and lookup editors walked as a user works them in a
// data grid over a Strata table: keys and clicks, what the cell shows, what is stored.

#include <QClipboard>
#include <QGuiApplication>

#include "grid/editors/calc_edit.h"
#include "grid/editors/check_edit.h"
#include "grid/editors/hyperlink_edit.h"
#include "platform/db/format_settings.h"
#include "platform/ui/application.h"
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

}  // namespace
}  // namespace grid::testing
