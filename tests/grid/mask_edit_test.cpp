#include <gtest/gtest.h>

#include <QLineEdit>
#include <QTest>

#include "grid/core/mask_column.h"
#include "platform/ui/clipboard.h"
#include "platform/ui/prompt.h"
#include "tests/grid/grid_fixture.h"
#include "tests/grid/interaction_fixture.h"

namespace grid {
namespace {

// A grid whose first column edits through a mask; the container offers a mask of its own.
struct MaskGrid {
    ui::FixedTextMetrics metrics{7, 13};
    struct Grid : testing::SelectingGrid {
        std::string container_mask;
        void GetEditMask(std::string& mask) override { mask = container_mask; }
    } grid;
    TgxTreeListMaskColumn* column;
    ui::ScriptedPromptService* prompts;
    ui::ScopedPromptService prompt_scope{MakePrompts()};

    std::unique_ptr<ui::PromptService> MakePrompts() {
        auto p = std::make_unique<ui::ScriptedPromptService>();
        prompts = p.get();
        return p;
    }

    explicit MaskGrid(std::string_view mask) {
        testing::ShowPlain(grid, metrics, 300, 120);
        auto owned = std::make_unique<TgxTreeListMaskColumn>();
        column = owned.get();
        grid.AddColumn(std::move(owned));
        column->SetCaption("Phone");
        column->SetWidth(150);
        column->SetEditMask(mask);
        grid.CreateColumn()->SetCaption("Name");
        grid.SetOptions(static_cast<TLOptions>((grid.Options() & ~tloRowSelect) | tloEditing));
        grid.SetGridMode(true);
        grid.Add()->SetStrings(0, "123-45");
        grid.Add()->SetStrings(0, "");
        grid.SetFocusedNodeColumn(grid.Items(0), 0, true);
        grid.setFocus();
    }
    TgxInplaceMaskEdit* Open() {
        QTest::keyClick(&grid, Qt::Key_F2);
        return dynamic_cast<TgxInplaceMaskEdit*>(grid.InplaceEditor());
    }
    QLineEdit* Field() {
        return &dynamic_cast<TgxInplaceMaskEdit*>(grid.InplaceEditor())->LineEdit();
    }
    std::string Shown() { return Field()->text().toStdString(); }
};

TEST(MaskEditor, OpensFormattedAndTypesThroughTheMask) {
    MaskGrid f("000-00;1;_");
    TgxInplaceMaskEdit* editor = f.Open();
    ASSERT_NE(editor, nullptr);
    EXPECT_TRUE(editor->Masked);
    EXPECT_EQ(editor->MaxChars(), 6);
    EXPECT_EQ(f.Shown(), "123-45");
    // Everything is selected: the first key blanks it and lands at the first position.
    QTest::keyClicks(f.Field(), "98");
    EXPECT_EQ(f.Shown(), "98_-__");
    EXPECT_EQ(editor->CaretPos(), 2);
    int beeps = ui::BeepCount();
    QTest::keyClicks(f.Field(), "x");
    EXPECT_EQ(f.Shown(), "98_-__");
    EXPECT_EQ(ui::BeepCount(), beeps + 1);
    QTest::keyClicks(f.Field(), "7-6");  // the typed literal steps over the mask's
    EXPECT_EQ(f.Shown(), "987-6_");
    // Left and Right step over the literal; Backspace blanks the position before.
    QTest::keyClick(f.Field(), Qt::Key_Left);
    QTest::keyClick(f.Field(), Qt::Key_Left);
    EXPECT_EQ(editor->CaretPos(), 2);
    QTest::keyClick(f.Field(), Qt::Key_Right);
    EXPECT_EQ(editor->CaretPos(), 4);
    QTest::keyClick(f.Field(), Qt::Key_Backspace);
    EXPECT_EQ(f.Shown(), "98_-6_");
    QTest::keyClick(f.Field(), Qt::Key_End);
    EXPECT_EQ(editor->CaretPos(), 6);
    QTest::keyClick(f.Field(), Qt::Key_Home);
    QTest::keyClick(f.Field(), Qt::Key_Delete);
    EXPECT_EQ(f.Shown(), "_8_-6_");
}

TEST(MaskEditor, AFailedMaskBlocksLeavingAndEscapeRestores) {
    MaskGrid f("000-00;1;_");
    f.Open();
    QTest::keyClicks(f.Field(), "12");
    QTest::keyClick(f.Field(), Qt::Key_Return);
    // Still editing, the error said once, the caret on the first empty required position.
    EXPECT_EQ(f.grid.State(), tsEditing);
    ASSERT_EQ(f.prompts->Asked().size(), 1u);
    EXPECT_EQ(f.prompts->Asked()[0].text,
              "Invalid input value.  Use escape key to abandon changes");
    auto* editor = dynamic_cast<TgxInplaceMaskEdit*>(f.grid.InplaceEditor());
    EXPECT_EQ(editor->CaretPos(), 2);
    EXPECT_TRUE(editor->Reentering());
    QTest::keyClick(f.Field(), Qt::Key_Down);  // nor may a move leave
    EXPECT_EQ(f.grid.State(), tsEditing);
    EXPECT_EQ(f.grid.GetFocusedAbsoluteIndex(), 0);
    QTest::keyClick(f.Field(), Qt::Key_Escape);
    EXPECT_EQ(f.grid.State(), tsNormal);
    EXPECT_EQ(f.grid.Items(0)->Strings(0), "123-45");
    // A full text posts with its literals.
    f.Open();
    QTest::keyClicks(f.Field(), "55566");
    QTest::keyClick(f.Field(), Qt::Key_Return);
    EXPECT_EQ(f.grid.State(), tsNormal);
    EXPECT_EQ(f.grid.posted.back(), "0:0:555-66");
}

TEST(MaskEditor, TypedZerosAreInputWhenZeroIsTheBlank) {
    MaskGrid f("00-00;1;0");
    f.Open();
    QTest::keyClicks(f.Field(), "1000");
    EXPECT_EQ(f.Shown(), "10-00");
    QTest::keyClick(f.Field(), Qt::Key_Return);
    EXPECT_EQ(f.grid.State(), tsNormal);
    EXPECT_TRUE(f.prompts->Asked().empty());
    EXPECT_EQ(f.grid.posted.back(), "0:0:10-00");
    // Deleted positions are empty again though they show the same "0".
    f.Open();
    QTest::keyClick(f.Field(), Qt::Key_End);
    QTest::keyClick(f.Field(), Qt::Key_Backspace);
    EXPECT_EQ(f.Shown(), "10-00");
    QTest::keyClick(f.Field(), Qt::Key_Return);
    EXPECT_EQ(f.grid.State(), tsEditing);
    EXPECT_EQ(f.prompts->Asked().size(), 1u);
    // Typing the zero back fills the position.
    QTest::keyClicks(f.Field(), "0");
    QTest::keyClick(f.Field(), Qt::Key_Return);
    EXPECT_EQ(f.grid.State(), tsNormal);
    EXPECT_EQ(f.grid.posted.back(), "0:0:10-00");
}

TEST(MaskEditor, AllBlankPostsEmptyAndPasteGoesThroughTheMask) {
    MaskGrid f("999;0;_");
    f.Open();
    QTest::keyClick(f.Field(), Qt::Key_Delete);  // everything selected: all blank
    EXPECT_EQ(f.Shown(), "___");
    QTest::keyClick(f.Field(), Qt::Key_Return);
    EXPECT_EQ(f.grid.posted.back(), "0:0:");

    MaskGrid g("000");
    g.grid.SetFocusedNodeColumn(g.grid.Items(1), 0, true);
    g.Open();
    ui::SetClipboardText("abc");
    QTest::keyClick(g.Field(), Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(g.Shown(), "___");
    EXPECT_EQ(g.prompts->Asked().size(), 1u);  // the paste left required positions blank
    ui::SetClipboardText("4x56");
    QTest::keyClick(g.Field(), Qt::Key_Home);
    QTest::keyClick(g.Field(), Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(g.Shown(), "456");
    QTest::keyClick(g.Field(), Qt::Key_Return);
    EXPECT_EQ(g.grid.posted.back(), "1:0:456");
}

TEST(MaskEditor, ReadOnlyAndCaseDirectives) {
    MaskGrid f(">LL<ll;0;_");
    f.grid.Items(0)->SetStrings(0, "");
    auto* editor = f.Open();
    QTest::keyClicks(f.Field(), "abCD");
    EXPECT_EQ(f.Shown(), "ABcd");
    std::string text;
    editor->GetEditingText(text);
    EXPECT_EQ(text, "ABcd");
    f.grid.HideEditor();
    f.column->SetReadOnly(true);
    f.Open();
    QTest::keyClicks(f.Field(), "zz");
    QTest::keyClick(f.Field(), Qt::Key_Delete);
    EXPECT_EQ(f.Shown(), "ABcd");
    f.grid.HideEditor();
}

TEST(MaskColumn, OwnMaskWinsAndRestoreDefaultsClearsIt) {
    MaskGrid f("");
    f.grid.container_mask = "00";
    auto* editor = f.Open();
    EXPECT_EQ(editor->EditMask, "00");
    f.grid.HideEditor();
    f.column->SetEditMask("LLL");
    editor = f.Open();
    EXPECT_EQ(editor->EditMask, "LLL");
    f.grid.HideEditor();
    TgxTreeListMaskColumn copy;
    copy.Assign(*f.column);
    EXPECT_EQ(copy.EditMask(), "LLL");
    copy.RestoreDefaults();
    EXPECT_EQ(copy.EditMask(), "");
}

TEST(MaskEditor, PictureOfTheEditorInACell) {
    MaskGrid f("(999) 000-0000;1;_");
    f.grid.Items(0)->SetStrings(0, "(555) 123-");
    f.grid.Items(1)->SetStrings(1, "second row");
    f.grid.SetShowGrid(true);
    f.Open();
    QTest::keyClick(f.Field(), Qt::Key_End);
    f.grid.grab().save(QString(CORVANE_TEST_OUTPUT_DIR) + "/mask_editor.png");
    EXPECT_EQ(f.Shown(), "(555) 123-____");
    f.grid.HideEditor();
}

}  // namespace
}  // namespace grid

namespace grid {
namespace {

TEST(MaskEditor, ARefusedTextKeepsTheFocusAgainstClicksAndMoves) {
    MaskGrid f("000-00;1;_");
    f.Open();
    QTest::keyClicks(f.Field(), "1");
    TDrawInfo info;
    f.grid.CalcDrawInfo(info);
    QPoint second(40, info.node_area.top + f.grid.DefaultRowHeight() + 5);
    QTest::mouseClick(f.grid.viewport(), Qt::LeftButton, {}, second);
    EXPECT_EQ(f.grid.State(), tsEditing);
    EXPECT_EQ(f.grid.GetFocusedAbsoluteIndex(), 0);
    EXPECT_EQ(f.prompts->Asked().size(), 1u);  // said once, not once per step
    f.grid.SetFocusedAbsoluteIndex(1);
    EXPECT_EQ(f.grid.GetFocusedAbsoluteIndex(), 0);
    QTest::keyClick(f.Field(), Qt::Key_Escape);
    EXPECT_EQ(f.grid.State(), tsNormal);
}

}  // namespace
}  // namespace grid
