#include <gtest/gtest.h>

#include <QInputMethodEvent>
#include <QLineEdit>
#include <QTest>

#include "grid/core/inplace_text_edit.h"
#include "platform/ui/clipboard.h"
#include "platform/ui/prompt.h"
#include "tests/grid/interaction_fixture.h"

namespace grid {
namespace {

using testing::InteractionGrid;

// Rows in view: (200 - 19 header) / 16 = 11 whole rows.
TEST(Keys, EveryNavigationKeyOfTheTable) {
    struct Step {
        Qt::Key key;
        Qt::KeyboardModifiers mods;
        int row, column;
    };
    const Step steps[] = {
        {Qt::Key_Down, Qt::NoModifier, 1, 0},
        {Qt::Key_Right, Qt::NoModifier, 1, 1},
        {Qt::Key_End, Qt::NoModifier, 1, 2},  // cell mode: last column
        {Qt::Key_Home, Qt::NoModifier, 1, 0},
        {Qt::Key_Tab, Qt::NoModifier, 1, 1},
        {Qt::Key_Backtab, Qt::ShiftModifier, 1, 0},
        {Qt::Key_PageDown, Qt::NoModifier, 10, 0},  // inside the view: to its last row
        {Qt::Key_PageDown, Qt::NoModifier, 20, 0},  // on the last row: a page of 10
        {Qt::Key_PageUp, Qt::NoModifier, 10, 0},    // on the top row (10): a page up
        {Qt::Key_Up, Qt::NoModifier, 9, 0},
        {Qt::Key_End, Qt::ControlModifier, 29, 0},
        {Qt::Key_Home, Qt::ControlModifier, 0, 0},
        {Qt::Key_Right, Qt::ControlModifier, 0, 2},
        {Qt::Key_Left, Qt::ControlModifier, 0, 0},
        {Qt::Key_Down, Qt::ControlModifier, 1, 0},
        {Qt::Key_Up, Qt::ControlModifier, 0, 0},
        {Qt::Key_PageDown, Qt::ControlModifier, 10, 0},
        {Qt::Key_Left, Qt::NoModifier, 10, 0},  // first column, no HorzThrough: stays
    };
    InteractionGrid f(30);
    for (const Step& s : steps) {
        f.Key(s.key, s.mods);
        EXPECT_EQ(f.Focused(), s.row) << QTest::toString(s.key);
        EXPECT_EQ(f.Column(), s.column) << QTest::toString(s.key);
    }
}

TEST(Keys, ThroughOptionsCrossRowEnds) {
    InteractionGrid f(3);
    f.grid.SetOptions(f.grid.Options() | tloTabThrough);
    f.grid.SetOptionsEx(f.grid.OptionsEx() | tlxHorzThrough);
    f.grid.SetFocusedNodeColumn(f.grid.Items(0), 2, true);
    f.Key(Qt::Key_Tab);
    EXPECT_EQ(f.Focused(), 1);
    EXPECT_EQ(f.Column(), 0);
    f.Key(Qt::Key_Left);
    EXPECT_EQ(f.Focused(), 0);
    EXPECT_EQ(f.Column(), 2);
    f.Key(Qt::Key_Right);
    EXPECT_EQ(f.Focused(), 1);
    EXPECT_EQ(f.Column(), 0);
}

// A move into the next (or previous) row takes the first (or last) column that is a tab
// stop, not the grid's edge column.
TEST(Keys, ThroughMovesSkipColumnsThatAreNoTabStop) {
    struct Case {
        Qt::Key key;
        Qt::KeyboardModifiers mods;
        int skipped, from_row, from_column, row, column;
    };
    const Case cases[] = {
        {Qt::Key_Tab, Qt::NoModifier, 0, 0, 2, 1, 1},
        {Qt::Key_Backtab, Qt::ShiftModifier, 2, 1, 0, 0, 1},
        {Qt::Key_Return, Qt::NoModifier, 0, 0, 2, 1, 1},
        {Qt::Key_Right, Qt::NoModifier, 0, 0, 2, 1, 1},
        {Qt::Key_Left, Qt::NoModifier, 2, 1, 0, 0, 1},
    };
    for (const Case& c : cases) {
        InteractionGrid f(3);
        f.grid.SetOptions(f.grid.Options() | tloTabThrough);
        f.grid.SetOptionsEx(f.grid.OptionsEx() | tlxHorzThrough | tlxEnterThrough |
                            tlxEnterShowEditor);
        f.grid.Columns(c.skipped)->SetTabStop(false);
        f.grid.SetFocusedNodeColumn(f.grid.Items(c.from_row), c.from_column, true);
        f.Key(c.key, c.mods);
        f.grid.HideEditor();
        EXPECT_EQ(f.Focused(), c.row) << c.key;
        EXPECT_EQ(f.Column(), c.column) << c.key;
    }
}

TEST(Keys, RowSelectLeftAndRightWalkTheTree) {
    InteractionGrid f(0);
    f.grid.SetGridMode(false);
    f.grid.SetOptions(f.grid.Options() | tloRowSelect);
    TgxTreeListNode* a = f.grid.Add();
    TgxTreeListNode* child = a->AddChild();
    f.grid.Add();
    f.grid.SetFocusedNode(a);
    f.Key(Qt::Key_Right);
    EXPECT_TRUE(a->Expanded());
    f.Key(Qt::Key_Right);
    EXPECT_EQ(f.grid.GetFocusedNode(), child);
    f.Key(Qt::Key_Left);
    EXPECT_EQ(f.grid.GetFocusedNode(), a);
    f.Key(Qt::Key_Left);
    EXPECT_FALSE(a->Expanded());
    QTest::keyClick(&f.grid, '+');
    EXPECT_TRUE(a->Expanded());
    QTest::keyClick(&f.grid, '-');
    EXPECT_FALSE(a->Expanded());
}

TEST(Keys, ShiftExtendsFromTheAnchorOnlyWhenAllRowsAreNodes) {
    InteractionGrid f(10);
    f.grid.SetOptions(f.grid.Options() | tloMultiSelect);
    f.grid.SetFocusedNodeColumn(f.grid.Items(3), 0, true);
    f.Key(Qt::Key_Down);
    EXPECT_EQ(f.grid.SelectedRows(), (std::vector<int>{4}));
    f.Key(Qt::Key_Down, Qt::ShiftModifier);
    f.Key(Qt::Key_Down, Qt::ShiftModifier);
    EXPECT_EQ(f.grid.SelectedRows(), (std::vector<int>{4, 5, 6}));
    f.Key(Qt::Key_Up, Qt::ShiftModifier);
    EXPECT_EQ(f.grid.SelectedRows(), (std::vector<int>{4, 5}));
    f.Key(Qt::Key_End, Qt::ShiftModifier);
    EXPECT_EQ(f.grid.SelectedRows(), (std::vector<int>{4, 5, 6, 7, 8, 9}));
    f.Key(Qt::Key_Home, Qt::ShiftModifier | Qt::ControlModifier);
    EXPECT_EQ(f.grid.SelectedRows(), (std::vector<int>{0, 1, 2, 3, 4}));
    // Ctrl moves the focus alone; Ctrl+Space toggles the focused row where editing is off.
    f.grid.SetOptions(f.grid.Options() & ~tloEditing);
    EXPECT_EQ(f.grid.SelectedRows(), (std::vector<int>{0}));
    f.Key(Qt::Key_Down, Qt::ControlModifier);
    f.Key(Qt::Key_Down, Qt::ControlModifier);
    f.Key(Qt::Key_Space, Qt::ControlModifier);
    EXPECT_EQ(f.grid.SelectedRows(), (std::vector<int>{0, 2}));

    struct Partial : testing::SelectingGrid {
        bool HasAllNodes() const override { return false; }
    };
    Partial p;
    p.SetTextMetrics(&f.metrics);
    p.resize(300, 200);
    p.CreateColumn();
    p.SetOptions(p.Options() | tloMultiSelect);
    for (int i = 0; i < 5; ++i)
        p.Add();
    p.SetFocusedNodeColumn(p.Items(1), 0, true);
    QTest::keyClick(&p, Qt::Key_End, Qt::ShiftModifier);
    EXPECT_EQ(p.GetFocusedAbsoluteIndex(), 4);
    EXPECT_EQ(p.SelectedRows(), (std::vector<int>{4}));
}

TEST(Keys, NewItemRowIsEnteredFromTheFirstRowAndLeftDownwards) {
    InteractionGrid f(5);
    f.grid.SetShowNewItemRow(true);
    f.Key(Qt::Key_Up);
    EXPECT_TRUE(f.grid.IsNewItemRowActive());
    f.Key(Qt::Key_Down);
    EXPECT_FALSE(f.grid.IsNewItemRowActive());
    EXPECT_EQ(f.Focused(), 0);
    f.Key(Qt::Key_PageUp);
    EXPECT_TRUE(f.grid.IsNewItemRowActive());
}

TEST(Keys, CopySelectedRowsToTheClipboard) {
    InteractionGrid f(3);
    f.grid.SetFocusedNodeColumn(f.grid.Items(1), 0, true);
    f.Key(Qt::Key_Insert, Qt::ControlModifier);
    EXPECT_EQ(ui::ClipboardText(), "Name\tMail\tCity\t\r\nRow 1\tm1\tc1\t\r\n");
    ui::SetClipboardText("");
    QTest::keyClick(&f.grid, Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(ui::ClipboardText(), "Name\tMail\tCity\t\r\nRow 1\tm1\tc1\t\r\n");
}

struct SearchGrid : InteractionGrid {
    SearchGrid() : InteractionGrid(0) {
        grid.SetOptionsEx(grid.OptionsEx() | tlxAutoSearch);
        grid.SetOptions(grid.Options() & ~tloEditing);
        for (const char* name : {"Anna", "Bert", "anton", "Carl", "Axel"})
            grid.Add()->SetStrings(0, name);
        grid.SetFocusedNodeColumn(grid.Items(0), 0, true);
    }
    void Type(const char* text) { QTest::keyClicks(&grid, text); }
};

TEST(Search, TypingFocusesTheFirstMatchAndKeepsTheLongestPrefixFound) {
    SearchGrid f;
    f.grid.SetFocusedNodeColumn(f.grid.Items(1), 0, true);
    f.Type("a");
    EXPECT_TRUE(f.grid.IsSearching());
    EXPECT_EQ(f.Focused(), 2);  // from the focused row on: "anton"
    f.Type("b");                // no "ab": the focus stays, the text goes back to "a"
    EXPECT_EQ(f.Focused(), 2);
    EXPECT_EQ(f.grid.SearchText(), "a");
    f.Type("x");
    EXPECT_EQ(f.Focused(), 4);
    EXPECT_EQ(f.grid.SearchText(), "ax");
    f.Key(Qt::Key_Backspace);
    EXPECT_EQ(f.grid.SearchText(), "a");
    // Ctrl+Enter goes to the next match and wraps round to the first.
    f.Key(Qt::Key_Return, Qt::ControlModifier);
    EXPECT_EQ(f.Focused(), 0);
    f.Key(Qt::Key_Return, Qt::ControlModifier);
    EXPECT_EQ(f.Focused(), 2);
    f.Key(Qt::Key_Return, Qt::ShiftModifier);
    EXPECT_EQ(f.Focused(), 0);
    f.Key(Qt::Key_Escape);
    EXPECT_FALSE(f.grid.IsSearching());
    // Moving the focus ends a search too.
    f.Type("c");
    EXPECT_EQ(f.Focused(), 3);
    f.Key(Qt::Key_Down);
    EXPECT_FALSE(f.grid.IsSearching());
}

TEST(Search, ExpandKeysStillOpenAndCloseTheFocusedNodeWhileSearching) {
    SearchGrid f;
    TgxTreeListNode* anna = f.grid.Items(0);
    anna->AddChild()->SetStrings(0, "Annex");
    f.Type("a");
    ASSERT_TRUE(f.grid.IsSearching());
    ASSERT_EQ(f.grid.GetFocusedNode(), anna);
    for (auto [key, expanded] : {std::pair{'+', true}, {'-', false}, {'*', true}}) {
        QTest::keyClick(&f.grid, key);
        EXPECT_EQ(anna->Expanded(), expanded) << key;
        EXPECT_TRUE(f.grid.IsSearching());
    }
}

TEST(Search, AStepWithoutAFocusedNodeStopsAtTheFirstNode) {
    testing::SelectingGrid g;
    g.CreateColumn();
    g.Add()->SetStrings(0, "one");
    g.Add()->SetStrings(0, "two");
    g.ClearNodes();
    EXPECT_EQ(g.GetFocusedNode(), nullptr);
    g.Add()->SetStrings(0, "one");
    g.StartSearch(0, "");
    EXPECT_FALSE(g.SearchStep("zzz", 2, true));  // terminates without a match
    EXPECT_EQ(g.SearchText(), "");
    EXPECT_TRUE(g.SearchStep("ON", 0, false));
}

// Names typed as the keyboard delivers them: the text of one key press per character.
void TypeChars(QWidget* w, const QString& text) {
    for (qsizetype i = 0; i < text.size(); ++i) {
        const qsizetype n = text.at(i).isHighSurrogate() ? 2 : 1;
        QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, text.mid(i, n));
        QCoreApplication::sendEvent(w, &press);
        i += n - 1;
    }
}

TEST(Search, AccentsAndLettersBeyondTheBasicPlaneAreTypedAndTakenBackWhole) {
    SearchGrid f;
    for (const char* name : {"Ödön", "Zoë", "\U0001F600 party", "\U0001F600 quiz"})
        f.grid.Add()->SetStrings(0, name);
    TypeChars(&f.grid, QString::fromUtf8("öd"));
    EXPECT_EQ(f.Focused(), 5);
    EXPECT_EQ(f.grid.SearchText(), "öd");
    f.Key(Qt::Key_Delete);
    TypeChars(&f.grid, QString::fromUtf8("\U0001F600 q"));
    EXPECT_EQ(f.Focused(), 8);
    // Backspace takes the whole last character, a letter made of two UTF-16 units included.
    f.Key(Qt::Key_Backspace);
    f.Key(Qt::Key_Backspace);
    EXPECT_EQ(f.grid.SearchText(), "\U0001F600");
    f.Key(Qt::Key_Backspace);
    EXPECT_EQ(f.grid.SearchText(), "");
    // A typed character that matches nothing is taken back whole too, and the search goes on.
    TypeChars(&f.grid, QString::fromUtf8("z\U0001F600o"));
    EXPECT_EQ(f.grid.SearchText(), "zo");
    EXPECT_EQ(f.Focused(), 6);
}

TEST(Search, LettersKeptWithSeparateAccentMarksAreFoundAndMarkedWhole) {
    // Names from other systems often keep an accent as a mark after its letter ("E" and
    // U+0301); typed as one letter it must find them, and the mark covers the whole letter.
    struct Case {
        const char* text;
        const char* prefix;
        const char* matched;  // nullptr: no match
    };
    const Case cases[] = {
        {"E\u0301mile", "é", "E\u0301"},
        {"E\u0301mile", "éM", "E\u0301m"},
        {"Émile", "e\u0301", "É"},      // the other way round
        {"E\u0301mile", "e", nullptr},  // an accent is no plain letter
        {"Émile", "e", nullptr},
        {"Emile", "é", nullptr},
        {"Ödön", "öD", "Öd"},
        {"A\u030A\u0301ngel", "a\u030A", nullptr},  // a letter carrying two marks
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.text) + " / " + c.prefix);
        EXPECT_EQ(StartsWithText(c.text, c.prefix), c.matched != nullptr);
        EXPECT_EQ(MatchedTextPrefix(c.text, c.prefix), c.matched != nullptr ? c.matched : "");
    }

    SearchGrid f;
    f.grid.Add()->SetStrings(0, "Éva");
    f.grid.Add()->SetStrings(0, "E\u0301mile");
    TypeChars(&f.grid, QString::fromUtf8("ém"));
    EXPECT_EQ(f.Focused(), 6);
    EXPECT_EQ(f.grid.SearchText(), "ém");
    f.grid.SetShowGrid(true);
    f.grid.AutoSearchColor = ui::clRed;
    const QImage image = f.grid.grab().toImage();
    f.grid.grab().save(QString(CORVANE_TEST_OUTPUT_DIR) + "/search_separate_accent.png");
    const THeaderCellInfo hc = f.Header(0);
    const int y = f.Cell(6, 0).y() - 4;
    // "Ém" is two letters of 7 pixels: the mark reaches past the second one.
    EXPECT_EQ(image.pixelColor(hc.rect.left + 12, y), QColor(Qt::red));
    EXPECT_NE(image.pixelColor(hc.rect.left + 40, y), QColor(Qt::red));
}

TEST(EditorKeys, F2TypingEscapeAndEnter) {
    InteractionGrid f(3);
    f.grid.setFocus();
    f.Key(Qt::Key_F2);
    ASSERT_EQ(f.grid.State(), tsEditing);
    auto* editor = dynamic_cast<TgxInplaceTextEdit*>(f.grid.InplaceEditor());
    ASSERT_NE(editor, nullptr);
    EXPECT_EQ(editor->LineEdit().text(), "Row 0");
    QTest::keyClicks(&editor->LineEdit(), "XY");
    EXPECT_EQ(editor->LineEdit().text(), "XY");
    // Escape closes the editor, which posts the text it started with.
    QTest::keyClick(&editor->LineEdit(), Qt::Key_Escape);
    EXPECT_EQ(f.grid.State(), tsNormal);
    EXPECT_EQ(f.grid.Items(0)->Strings(0), "Row 0");
    // A second Escape clears the selection, nothing else.
    f.Key(Qt::Key_Escape);
    EXPECT_EQ(f.grid.State(), tsNormal);

    // Typing opens the editor with the character when EnterShowEditor is on.
    f.grid.SetOptionsEx(f.grid.OptionsEx() | tlxEnterShowEditor);
    f.grid.posted.clear();
    QTest::keyClicks(&f.grid, "Z");
    ASSERT_EQ(f.grid.State(), tsEditing);
    editor = dynamic_cast<TgxInplaceTextEdit*>(f.grid.InplaceEditor());
    EXPECT_EQ(editor->LineEdit().text(), "Z");
    QTest::keyClick(&editor->LineEdit(), Qt::Key_Return);
    EXPECT_EQ(f.grid.State(), tsNormal);
    EXPECT_EQ(f.grid.posted, (std::vector<std::string>{"0:0:Z"}));
    EXPECT_EQ(f.grid.Items(0)->Strings(0), "Z");
    // Down while editing posts and moves.
    f.Key(Qt::Key_F2);
    QWidget* field = f.grid.InplaceEditor()->focusProxy();
    QTest::keyClick(field, Qt::Key_End);
    QTest::keyClicks(field, "Q");
    QTest::keyClick(field, Qt::Key_Down);
    EXPECT_EQ(f.grid.State(), tsNormal);
    EXPECT_EQ(f.Focused(), 1);
    EXPECT_EQ(f.grid.Items(0)->Strings(0), "ZQ");
}

TEST(EditorKeys, ReadOnlyCellsRefuseTypingAndPaste) {
    InteractionGrid f(2);
    f.grid.Columns(0)->SetReadOnly(true);
    f.grid.setFocus();
    f.Key(Qt::Key_F2);
    auto* editor = dynamic_cast<TgxInplaceTextEdit*>(f.grid.InplaceEditor());
    ASSERT_NE(editor, nullptr);
    int beeps = ui::BeepCount();
    QTest::keyClicks(&editor->LineEdit(), "ab");
    QKeyEvent accented(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier,
                       QString::fromUtf8("\xc3\xa9"));
    QCoreApplication::sendEvent(&editor->LineEdit(), &accented);
    QInputMethodEvent composed;
    composed.setCommitString(QString::fromUtf8("\xe6\x97\xa5"));
    QCoreApplication::sendEvent(&editor->LineEdit(), &composed);
    ui::SetClipboardText("pasted");
    QTest::keyClick(&editor->LineEdit(), Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(editor->LineEdit().text(), "Row 0");
    EXPECT_GE(ui::BeepCount(), beeps);
    f.grid.HideEditor();
}

}  // namespace
}  // namespace grid

namespace grid {
namespace {

TEST(Search, TheMatchedPartIsMarkedInTheFocusedCell) {
    SearchGrid f;
    f.grid.SetShowGrid(true);
    f.grid.AutoSearchColor = ui::clRed;
    f.Type("an");
    ASSERT_EQ(f.Focused(), 0);
    QImage image = f.grid.grab().toImage();
    QPoint cell = f.Cell(0, 0);
    THeaderCellInfo hc = f.Header(0);
    // "An" is 14 pixels wide: the mark covers the cell's start, not its end.
    EXPECT_EQ(image.pixelColor(hc.rect.left + 3, cell.y() - 4), QColor(Qt::red));
    EXPECT_NE(image.pixelColor(hc.rect.left + 40, cell.y() - 4), QColor(Qt::red));
}

}  // namespace
}  // namespace grid

namespace grid {
namespace {

TEST(Keys, TabSkipsColumnsWithoutTabStopAndAltLettersStartNoSearch) {
    InteractionGrid f(2);
    f.grid.Columns(1)->SetTabStop(false);
    f.Key(Qt::Key_Tab);
    EXPECT_EQ(f.Column(), 2);
    f.grid.SetOptions(f.grid.Options() & ~tloEditing);
    f.grid.SetOptionsEx(f.grid.OptionsEx() | tlxAutoSearch);
    QTest::keyClick(&f.grid, Qt::Key_R, Qt::AltModifier);
    EXPECT_FALSE(f.grid.IsSearching());
    QTest::keyClick(&f.grid, Qt::Key_R);
    EXPECT_TRUE(f.grid.IsSearching());
}

}  // namespace
}  // namespace grid

namespace grid {
namespace {

TEST(Keys, VertThroughWalksTheRowsOfAStackedBand) {
    InteractionGrid f(3);
    f.grid.SetHeaderPanelRowCount(2);
    f.grid.Columns(2)->SetRowIndex(1);  // row 0: Name, Mail; row 1: City
    f.grid.SetOptionsEx(f.grid.OptionsEx() | tlxVertThrough);
    auto caption = [&] { return f.grid.GetHeaderText(f.grid.GetVisibleColumnIndex(f.Column())); };
    f.grid.SetFocusedNodeColumn(f.grid.Items(1), 1, true);
    ASSERT_EQ(caption(), "Mail");
    f.Key(Qt::Key_Down);
    EXPECT_EQ(caption(), "City");  // the last position of the shorter row
    EXPECT_EQ(f.Focused(), 1);
    f.Key(Qt::Key_Down);
    EXPECT_EQ(caption(), "Name");  // wrapped to the top row of the next node
    EXPECT_EQ(f.Focused(), 2);
    f.Key(Qt::Key_Up);
    EXPECT_EQ(f.Focused(), 1);
    EXPECT_EQ(caption(), "City");
    f.grid.SetFocusedNodeColumn(f.grid.Items(2), f.Column(), true);
    f.Key(Qt::Key_Down);  // bottom row of the last node: stays
    EXPECT_EQ(f.Focused(), 2);
    EXPECT_EQ(caption(), "City");
}

}  // namespace
}  // namespace grid

namespace grid {
namespace {

TEST(TextEditor, CaseLengthAndSelectionFromTheContainer) {
    struct Upper : testing::SelectingGrid {
        TEditCharCase GetEditCharCase() override { return ecUpperCase; }
        int GetEditMaxLength() override { return 4; }
    } g;
    ui::FixedTextMetrics metrics{7, 13};
    g.SetTextMetrics(&metrics);
    g.resize(300, 100);
    g.setAttribute(Qt::WA_DontShowOnScreen);
    g.show();
    g.CreateColumn()->SetWidth(100);
    g.SetOptions(static_cast<TLOptions>((g.Options() & ~tloRowSelect) | tloEditing));
    g.Add()->SetStrings(0, "ab");
    g.SetFocusedNodeColumn(g.Items(0), 0, true);
    g.setFocus();
    QTest::keyClick(&g, Qt::Key_F2);
    auto* editor = dynamic_cast<TgxInplaceTextEdit*>(g.InplaceEditor());
    ASSERT_NE(editor, nullptr);
    EXPECT_EQ(editor->MaxLength(), 4);
    QTest::keyClicks(&editor->LineEdit(), "xyzuv");
    EXPECT_EQ(editor->LineEdit().text(), "XYZU");
    EXPECT_TRUE(editor->Modified());
    editor->SetSelStart(1);
    editor->SetSelLength(2);
    EXPECT_EQ(editor->GetSelText(), "YZ");
    EXPECT_EQ(editor->GetSelStart(), 1);
    g.HideEditor();
    EXPECT_EQ(g.posted.back(), "0:0:XYZU");
}

}  // namespace
}  // namespace grid
