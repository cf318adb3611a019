#include <gtest/gtest.h>

#include <QApplication>
#include <QLineEdit>
#include <QTest>

#include "grid/core/inplace_text_edit.h"
#include "platform/ui/clipboard.h"
#include "platform/ui/clock.h"
#include "tests/grid/grid_fixture.h"

namespace grid {
namespace {

using testing::GridFixture;

class BareEdit : public TgxInplaceEdit {
  public:
    TBorderStyle GetBorderStyle() override { return style; }
    void SetBorderStyle(TBorderStyle s) override { style = s; }
    void MoveCaretToEnd() override { ++caret_moves; }
    void DoFirstShow() override { ++first_shows; }
    bool IsButtonAt(ui::Point p) override { return p.x >= 90; }
    void DoCloseUp() override { ++close_ups; }
    TBorderStyle style = bsNone;
    int caret_moves = 0;
    int first_shows = 0;
    int close_ups = 0;
};

// A container that records what the editor forwards.
class RecordingContainer : public TCustomgxContainer {
  public:
    void ContainerKeyDown(std::uint16_t& key, ui::TShiftState) override {
        grid_keys.push_back(key);
    }
    bool CanEditModify() override { return modify; }
    bool IsValidEditChar(char32_t c) override { return c != U'x'; }
    bool IsEditColumnChanged() override { return column_changed; }
    bool IsImmediateEditor() override { return immediate; }
    void ContainerDblClick() override { ++double_clicks; }
    std::vector<std::uint16_t> grid_keys;
    bool modify = true;
    bool column_changed = false;
    bool immediate = false;
    int double_clicks = 0;
};

TEST(InplaceEdit, WithoutAContainerEverythingIsNeutral) {
    BareEdit edit;
    EXPECT_EQ(edit.GetContainerCharCase(), ecNormal);
    EXPECT_EQ(edit.GetContainerEditMask(), "");
    EXPECT_EQ(edit.GetContainerEditText(), "");
    EXPECT_EQ(edit.GetMaxLength(), 0);
    EXPECT_FALSE(edit.GetReadOnly());
    EXPECT_FALSE(edit.IsFlatStyle());
    EXPECT_FALSE(edit.CanModify());
    ui::Rect r;
    edit.GetButtonRect(r);
    EXPECT_EQ(r, (ui::Rect{-1, -1, -1, -1}));
}

TEST(InplaceEdit, NavigationKeysGoToTheGridAndF2MovesTheCaret) {
    RecordingContainer container;
    BareEdit edit;
    edit.Container = &container;
    const std::uint16_t to_grid[] = {ui::VK_UP,     ui::VK_DOWN,   ui::VK_PRIOR, ui::VK_NEXT,
                                     ui::VK_RETURN, ui::VK_ESCAPE, ui::VK_TAB,   ui::VK_INSERT};
    for (std::uint16_t key : to_grid) {
        std::uint16_t k = key;
        edit.EditorKeyDown(k, 0);
        EXPECT_EQ(k, 0) << key;
    }
    EXPECT_EQ(container.grid_keys.size(), std::size(to_grid));
    std::uint16_t alt_tab = ui::VK_TAB;
    edit.EditorKeyDown(alt_tab, ui::ssAlt);
    EXPECT_EQ(alt_tab, ui::VK_TAB);
    std::uint16_t f2 = ui::VK_F2;
    edit.EditorKeyDown(f2, 0);
    EXPECT_EQ(edit.caret_moves, 1);
    container.modify = false;
    std::uint16_t del = ui::VK_DELETE;
    edit.EditorKeyDown(del, 0);
    EXPECT_EQ(del, 0);
    std::uint16_t shift_insert = ui::VK_INSERT;
    edit.EditorKeyDown(shift_insert, ui::ssShift);
    EXPECT_EQ(shift_insert, 0);
}

TEST(InplaceEdit, CharactersAreCheckedOverTheWholeRange) {
    RecordingContainer container;
    BareEdit edit;
    edit.Container = &container;
    struct Case {
        char32_t in;
        bool modify;
        char32_t out;
        bool beeps;
    };
    const Case cases[] = {
        {U'a', true, U'a', false},
        {U'x', true, 0, true},  // refused by the container
        {U'\u00e9', true, U'\u00e9', false},
        {U'\u20ac', false, 0, false},  // beyond 255 too
        {9, true, 0, false},
        {27, true, 0, false},  // Tab and Escape never
        {8, false, 0, false},
        {22, false, 0, false},  // Backspace, Ctrl+V read-only
        {24, false, 0, false},
        {3, false, 3, false},  // Ctrl+X; Ctrl+C copies
    };
    for (const Case& c : cases) {
        container.modify = c.modify;
        int beeps = ui::BeepCount();
        char32_t ch = c.in;
        edit.EditorKeyPress(ch);
        EXPECT_EQ(ch, c.out) << static_cast<std::uint32_t>(c.in);
        EXPECT_EQ(ui::BeepCount() - beeps, c.beeps ? 1 : 0) << static_cast<std::uint32_t>(c.in);
    }
}

TEST(InplaceEdit, KeysAreDroppedWhileTheColumnChangedUnderTheEditor) {
    RecordingContainer container;
    TgxInplaceTextEdit edit;
    edit.Container = &container;
    edit.LineEdit().setText("abc");
    container.column_changed = true;
    QTest::keyClick(&edit.LineEdit(), Qt::Key_Z);
    EXPECT_EQ(edit.LineEdit().text(), "abc");
    container.column_changed = false;
    QTest::keyClick(&edit.LineEdit(), Qt::Key_Z);
    EXPECT_EQ(edit.LineEdit().text(), "abcz");
}

TEST(InplaceEdit, ImmediateEditorTurnsAQuickSecondClickIntoADoubleClick) {
    auto clock = std::make_unique<ui::ManualUiClock>();
    clock->SetDoubleClickTime(400);
    auto previous = ui::SetClock(std::move(clock));
    RecordingContainer container;
    BareEdit edit;
    edit.Container = &container;
    edit.ClickTime = 1000;
    EXPECT_FALSE(edit.LeftButtonDownIsDoubleClick(1200));  // not an immediate editor
    EXPECT_EQ(edit.ClickTime, 1000u);
    container.immediate = true;
    EXPECT_TRUE(edit.LeftButtonDownIsDoubleClick(1200));
    EXPECT_EQ(edit.ClickTime, 0u);
    edit.ClickTime = 1000;
    EXPECT_FALSE(edit.LeftButtonDownIsDoubleClick(1500));
    EXPECT_TRUE(edit.DoubleClickIsPress({95, 3}));
    EXPECT_FALSE(edit.DoubleClickIsPress({10, 3}));
    ui::SetClock(std::move(previous));
}

TEST(InplaceEdit, ShowInRectGrowsForASingleBorderAndFirstShowsOnce) {
    struct Bordered : RecordingContainer {
        TBorderStyle GetEditBorderStyle() override { return bsSingle; }
    } container;
    container.resize(300, 200);
    BareEdit edit;
    edit.setParent(container.viewport());
    edit.Container = &container;
    edit.ShowInRect({10, 20, 110, 40});
    EXPECT_EQ(edit.geometry(), QRect(9, 19, 102, 22));
    EXPECT_TRUE(edit.Shown);
    edit.ShowInRect({10, 40, 110, 60});
    EXPECT_EQ(edit.first_shows, 1);
    edit.ShowInRect({});
    EXPECT_FALSE(edit.Shown);
    ++edit.ShowLock;
    edit.ShowInRect({10, 20, 110, 40});
    --edit.ShowLock;
    EXPECT_EQ(edit.first_shows, 1);
}

TEST(InplacePopup, ClosingPostsTheCloseUpNoticeToALiveEditorOnly) {
    BareEdit edit;
    {
        TgxInplacePopupControl popup;
        popup.OwnerEdit = &edit;
        popup.Popped = true;
        popup.ShowPopup();
        EXPECT_TRUE(popup.isVisible());
        popup.ClosePopup();
        EXPECT_FALSE(popup.isVisible());
        EXPECT_EQ(edit.close_ups, 0);  // posted, not sent
        QCoreApplication::processEvents();
        EXPECT_EQ(edit.close_ups, 1);
    }
    TgxInplacePopupControl popup;
    {
        BareEdit short_lived;
        popup.OwnerEdit = &short_lived;
        popup.ClosePopup();
    }
    QCoreApplication::processEvents();  // nothing arrives at the destroyed editor
    EXPECT_TRUE(popup.OwnerEdit.isNull());
}

TEST(TreeListEditing, TheEditorOpensPostsAndCloses) {
    GridFixture f(400, 200);
    f.AddColumn("Name", 150);
    f.AddColumn("Mail", 150);
    f.grid.SetOptions(static_cast<TLOptions>((f.grid.Options() & ~tloRowSelect) | tloEditing));
    TgxTreeListNode* n = f.grid.Add();
    n->SetStrings(0, "Ann");
    f.grid.SetFocusedNodeColumn(n, 1, true);
    std::vector<std::string> posted;
    struct Hook {};
    f.grid.OnEdited = [&](TCustomgxTreeList*, TgxTreeListNode* node) {
        posted.push_back(node->Strings(1));
    };
    f.grid.ShowEditor();
    ASSERT_EQ(f.grid.State(), tsEditing);
    ASSERT_NE(f.grid.InplaceEditor(), nullptr);
    EXPECT_TRUE(f.grid.InplaceEditor()->Shown);
    EXPECT_EQ(f.grid.EditNode(), n);
    EXPECT_EQ(f.grid.EditColumn(), 1);
    f.grid.SetEditingText("ann@example.com");
    EXPECT_EQ(f.grid.EditingText(), "ann@example.com");
    f.grid.HideEditor();
    EXPECT_EQ(f.grid.State(), tsNormal);
    EXPECT_EQ(posted.size(), 1u);
    EXPECT_FALSE(f.grid.InplaceEditor()->Shown);
    // Refused by the event: nothing opens.
    f.grid.OnEditing = [](TCustomgxTreeList*, TgxTreeListNode*, bool& allow) { allow = false; };
    f.grid.ShowEditor();
    EXPECT_EQ(f.grid.State(), tsNormal);
}

TEST(TreeListEditing, FocusLeavingForAnotherControlPostsAndClosesTheEdit) {
    QWidget window;
    window.setAttribute(Qt::WA_DontShowOnScreen);
    auto* grid = new TCustomgxTreeListControl(&window);
    auto* other = new QLineEdit(&window);
    grid->setGeometry(0, 0, 300, 150);
    other->setGeometry(0, 160, 300, 20);
    grid->CreateColumn()->SetWidth(150);
    grid->SetOptions(static_cast<TLOptions>((grid->Options() & ~tloRowSelect) | tloEditing));
    TgxTreeListNode* n = grid->Add();
    int posted = 0;
    grid->OnEdited = [&](TCustomgxTreeList*, TgxTreeListNode*) { ++posted; };
    window.show();
    QApplication::setActiveWindow(&window);
    grid->setFocus();
    QApplication::processEvents();
    grid->SetFocusedNodeColumn(n, 0, true);
    grid->ShowEditor();
    ASSERT_EQ(grid->State(), tsEditing);
    QApplication::processEvents();
    ASSERT_TRUE(grid->PaintFocused());
    // Focus moving between the grid and its editor keeps the edit open.
    grid->setFocus();
    QApplication::processEvents();
    ASSERT_EQ(grid->State(), tsEditing);
    grid->InplaceEditor()->setFocus();
    QApplication::processEvents();
    ASSERT_EQ(grid->State(), tsEditing);
    // Another window (a message box, say) taking the focus leaves the edit open.
    QWidget box;
    box.setAttribute(Qt::WA_DontShowOnScreen);
    auto* box_edit = new QLineEdit(&box);
    box.show();
    QApplication::setActiveWindow(&box);
    box_edit->setFocus();
    QApplication::processEvents();
    EXPECT_EQ(grid->State(), tsEditing);
    EXPECT_EQ(posted, 0);
    QApplication::setActiveWindow(&window);
    grid->InplaceEditor()->setFocus();
    QApplication::processEvents();
    other->setFocus();
    QApplication::processEvents();
    EXPECT_EQ(grid->State(), tsNormal);
    EXPECT_EQ(posted, 1);
}

TEST(TreeListEditing, DeletingTheEditedNodeLeavesNothingDangling) {
    GridFixture f(400, 200);
    f.AddColumn("Name", 150);
    f.grid.SetOptions(static_cast<TLOptions>((f.grid.Options() & ~tloRowSelect) | tloEditing));
    TgxTreeListNode* n = f.grid.Add();
    f.grid.Add();
    f.grid.ShowEditor();
    ASSERT_EQ(f.grid.EditNode(), n);
    n->Delete();
    EXPECT_EQ(f.grid.EditNode(), nullptr);
    EXPECT_EQ(f.grid.State(), tsNormal);
    f.grid.HideEditor();  // nothing to post into, and no crash
}

}  // namespace
}  // namespace grid

#include <QInputMethodEvent>

namespace grid {
namespace {

TEST(InplaceEdit, ComposedInputAndPasteAreRefusedWhenTheCellMayNotChange) {
    for (bool modify : {true, false}) {
        RecordingContainer container;
        container.modify = modify;
        TgxInplaceTextEdit edit;
        edit.Container = &container;
        edit.InitEditValue();
        edit.resize(100, 20);
        edit.QWidget::show();
        QApplication::setActiveWindow(&edit);
        edit.LineEdit().setFocus();
        EXPECT_EQ(edit.LineEdit().isReadOnly(), !modify);
        QInputMethodEvent commit;
        commit.setCommitString(QString::fromUtf8("\xC3\xA9"));
        QCoreApplication::sendEvent(&edit.LineEdit(), &commit);
        EXPECT_EQ(edit.LineEdit().text().isEmpty(), !modify) << modify;
        ui::SetClipboardText("pasted");
        QTest::keyClick(&edit.LineEdit(), Qt::Key_V, Qt::ControlModifier);
        EXPECT_EQ(edit.LineEdit().text().contains("pasted"), modify) << modify;
    }
}

}  // namespace
}  // namespace grid
