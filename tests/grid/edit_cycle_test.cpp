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
        grid.SetOptions(static_cast<TLOptions>((grid.Options() & ~(tloRowSelect | tloAutoWidth)) |
                                               tloEditing));
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

}  // namespace
}  // namespace grid
