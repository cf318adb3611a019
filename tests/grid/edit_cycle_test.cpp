// The open editor against what changes under it: scrolling, columns leaving, nodes moving.

#include <gtest/gtest.h>

#include <QApplication>

#include "grid/core/inplace_text_edit.h"
#include "tests/grid/grid_fixture.h"

namespace grid {
namespace {

using testing::GridFixture;

struct EditGrid : GridFixture {
    std::vector<std::pair<TgxTreeListNode*, int>> posted;

    EditGrid(int width, int height, int columns, int column_width) : GridFixture(width, height) {
        for (int i = 0; i < columns; ++i)
            AddColumn("C" + std::to_string(i), column_width);
        grid.SetOptions(
            static_cast<TLOptions>((grid.Options() & ~(tloRowSelect | tloAutoWidth)) | tloEditing));
        grid.OnEdited = [this](TCustomgxTreeList* sender, TgxTreeListNode* node) {
            posted.emplace_back(node, sender->EditColumn());
        };
    }
};

TEST(TreeListEditCycle, EditorOpensOverAFocusedColumnScrolledOutOfView) {
    EditGrid f(250, 200, 5, 100);
    TgxTreeListNode* n = f.grid.Add();
    f.grid.SetFocusedNodeColumn(n, 0, true);
    // The view moves away from the focused cell without moving the focus.
    f.grid.SetLeftCoord(250);
    ASSERT_EQ(f.grid.LeftCoord(), 250);
    f.grid.ShowEditor();
    ASSERT_EQ(f.grid.State(), tsEditing);
    ASSERT_NE(f.grid.InplaceEditor(), nullptr);
    EXPECT_EQ(f.grid.LeftCoord(), 0);
    EXPECT_TRUE(f.grid.InplaceEditor()->Shown);
    EXPECT_EQ(f.grid.EditNode(), n);
    EXPECT_EQ(f.grid.EditColumn(), 0);
    f.grid.SetEditingText("kept");
    EXPECT_EQ(f.grid.EditingText(), "kept");
    f.grid.HideEditor();
    ASSERT_EQ(f.posted.size(), 1u);
    EXPECT_EQ(f.posted[0].first, n);
}

// Records where a posted text would land: the caption of the column the index names now.
struct PostingGrid : TCustomgxTreeListControl {
    std::vector<std::string> landed;
    void DoEditedText(TgxTreeListNode* node, int column, const std::string& text) override {
        int absolute = GetVisibleColumnIndex(column);
        landed.push_back(absolute >= 0 ? Columns(absolute)->Caption() + "=" + text : "?=" + text);
        TCustomgxTreeListControl::DoEditedText(node, column, text);
    }
};

TEST(TreeListEditCycle, AColumnLeavingUnderTheEditorNeverTakesAnotherColumnsText) {
    enum Change { kRemoveOther, kRemoveEdited, kHideOther, kHideEdited };
    struct Case {
        Change change;
        std::vector<std::string> landed;
    };
    const Case cases[] = {
        {kRemoveOther, {"C1=typed"}},
        {kRemoveEdited, {}},  // the cell is gone with its column: nothing to post into
        {kHideOther, {"C1=typed"}},
        {kHideEdited, {"C1=typed"}},
    };
    for (const Case& c : cases) {
        ui::FixedTextMetrics metrics{7, 13};
        PostingGrid grid;
        testing::ShowPlain(grid, metrics, 400, 200);
        for (int i = 0; i < 3; ++i) {
            TgxTreeListColumn* col = grid.CreateColumn();
            col->SetCaption("C" + std::to_string(i));
            col->SetWidth(100);
        }
        grid.SetOptions(
            static_cast<TLOptions>((grid.Options() & ~(tloRowSelect | tloAutoWidth)) | tloEditing));
        TgxTreeListNode* n = grid.Add();
        grid.SetFocusedNodeColumn(n, 1, true);
        grid.ShowEditor();
        ASSERT_EQ(grid.State(), tsEditing);
        grid.SetEditingText("typed");
        std::unique_ptr<TgxTreeListColumn> removed;
        switch (c.change) {
            case kRemoveOther:
                removed = grid.RemoveColumn(grid.Columns(0));
                break;
            case kRemoveEdited:
                removed = grid.RemoveColumn(grid.Columns(1));
                break;
            case kHideOther:
                grid.Columns(0)->SetVisible(false);
                break;
            case kHideEdited:
                grid.Columns(1)->SetVisible(false);
                break;
        }
        grid.HideEditor();
        EXPECT_EQ(grid.landed, c.landed) << c.change;
        EXPECT_EQ(grid.State(), tsNormal) << c.change;
        EXPECT_FALSE(grid.InplaceEditor()->Shown) << c.change;
    }
}

// An editor whose text never validates, as a mask editor with an incomplete entry.
struct RefusingEdit : TgxInplaceTextEdit {
    using TgxInplaceTextEdit::TgxInplaceTextEdit;
    bool refuse = true;
    bool ValidateEdit() override { return !refuse; }
};

struct RefusingGrid : TCustomgxTreeListControl {
    std::unique_ptr<TgxInplaceEdit> CreateEditor() override {
        return std::make_unique<RefusingEdit>(viewport());
    }
};

TEST(TreeListEditCycle, CollapsingAboveARefusedEditKeepsTheEditedRowShown) {
    ui::FixedTextMetrics metrics{7, 13};
    RefusingGrid grid;
    testing::ShowPlain(grid, metrics, 300, 200);
    grid.CreateColumn()->SetWidth(150);
    grid.SetOptions(
        static_cast<TLOptions>((grid.Options() & ~(tloRowSelect | tloAutoWidth)) | tloEditing));
    TgxTreeListNode* parent = grid.Add();
    TgxTreeListNode* child = parent->AddChild();
    parent->SetExpanded(true);
    grid.SetFocusedNodeColumn(child, 0, true);
    grid.ShowEditor();
    ASSERT_EQ(grid.State(), tsEditing);
    parent->SetExpanded(false);
    // The focus could not leave the edited row, so the row stays where the editor is.
    EXPECT_TRUE(parent->Expanded());
    EXPECT_EQ(grid.GetFocusedNode(), child);
    EXPECT_EQ(grid.State(), tsEditing);
    EXPECT_TRUE(child->IsVisible());
    // Once the text is acceptable the collapse goes ahead and the focus moves up.
    static_cast<RefusingEdit*>(grid.InplaceEditor())->refuse = false;
    parent->SetExpanded(false);
    EXPECT_FALSE(parent->Expanded());
    EXPECT_EQ(grid.GetFocusedNode(), parent);
    EXPECT_EQ(grid.State(), tsNormal);
}

TEST(TreeListEditCycle, BandsAndColumnsRearrangedUnderTheEditorKeepTheEditInItsColumn) {
    enum Change { kHideBand, kMoveBand, kDeleteBand, kMoveColumnToOtherBand, kMoveColumnInRow };
    for (Change change :
         {kHideBand, kMoveBand, kDeleteBand, kMoveColumnToOtherBand, kMoveColumnInRow}) {
        ui::FixedTextMetrics metrics{7, 13};
        PostingGrid grid;
        testing::ShowPlain(grid, metrics, 500, 200);
        grid.SetDefaultLayout(false);
        while (grid.Bands().Count() < 2)
            grid.Bands().Add();
        const char* captions[] = {"A0", "A1", "B0", "B1"};
        for (int i = 0; i < 4; ++i) {
            TgxTreeListColumn* col = grid.CreateColumn();
            col->SetCaption(captions[i]);
            col->SetBandIndex(i / 2);
            col->SetWidth(80);
        }
        grid.SetOptions(
            static_cast<TLOptions>((grid.Options() & ~(tloRowSelect | tloAutoWidth)) | tloEditing));
        TgxTreeListNode* n = grid.Add();
        // B0: the first column of the second band.
        int edited = -1;
        for (int i = 0; i < grid.GetVisibleColumnCount(); ++i)
            if (grid.Columns(grid.GetVisibleColumnIndex(i))->Caption() == "B0")
                edited = i;
        ASSERT_EQ(edited, 2);
        grid.SetFocusedNodeColumn(n, edited, true);
        grid.ShowEditor();
        ASSERT_EQ(grid.State(), tsEditing);
        grid.SetEditingText("typed");
        switch (change) {
            case kHideBand:
                grid.Bands().Items(0)->SetVisible(false);
                break;
            case kMoveBand:
                grid.Bands().Items(1)->SetIndex(0);
                break;
            case kDeleteBand:
                grid.Bands().Delete(0);
                break;
            case kMoveColumnToOtherBand:
                grid.Columns(0)->SetBandIndex(1);
                break;
            case kMoveColumnInRow:
                grid.Columns(3)->SetColIndex(0);
                break;
        }
        grid.HideEditor();
        EXPECT_EQ(grid.landed, std::vector<std::string>{"B0=typed"}) << change;
        EXPECT_EQ(grid.State(), tsNormal) << change;
    }
}

}  // namespace
}  // namespace grid
