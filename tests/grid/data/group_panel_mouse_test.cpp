// Grouping with the mouse: headers dragged onto the group panel, group buttons clicked and
// dragged off it, and the incremental search over the dataset.

#include <gtest/gtest.h>

#include <algorithm>

#include <QCoreApplication>
#include <QMouseEvent>
#include <QTest>

#include "tests/grid/data/db_grid_fixture.h"

namespace grid::testing {
namespace {

struct MouseGrid : GridHarness {
    MemList list{40};
    TgxDBTreeListColumn* item;
    TgxDBTreeListColumn* category;
    TgxDBTreeListColumn* bounces;
    MouseGrid() : GridHarness(600, 300) {
        item = Column("Item");
        category = Column("Category");
        bounces = Column("Bounces");
        grid->SetKeyField("Index");
        grid->SetPartialLoad(true);
        grid->SetShowGroupPanel(true);
        grid->SetOptionsEx(grid->OptionsEx() | egoAutoSort);
        grid->SetDataSource(list.source.get());
    }
    QWidget* vp() { return grid->viewport(); }
    QPoint HeaderPoint(TgxDBTreeListColumn* column) {
        TDrawInfo info;
        grid->CalcDrawInfo(info);
        for (const THeaderCellInfo& hc : info.header_cells)
            if (hc.column == column->GetIndex())
                return {(hc.rect.left + hc.rect.right) / 2, (hc.rect.top + hc.rect.bottom) / 2};
        ADD_FAILURE() << "no header";
        return {};
    }
    QPoint ButtonPoint(int index) {
        ui::Rect r = grid->GetGroupButtonRect(index);
        return {(r.left + r.right) / 2, (r.top + r.bottom) / 2};
    }
    void Drag(QPoint from, QPoint to) {
        QTest::mousePress(vp(), Qt::LeftButton, Qt::NoModifier, from);
        for (int i = 1; i <= 4; ++i) {
            QPoint p = from + (to - from) * i / 4;
            QMouseEvent move(QEvent::MouseMove, p, vp()->mapToGlobal(p), Qt::NoButton,
                             Qt::LeftButton, Qt::NoModifier);
            QCoreApplication::sendEvent(vp(), &move);
        }
        QTest::mouseRelease(vp(), Qt::LeftButton, Qt::NoModifier, to);
    }
};

TEST(DBGridGroupPanelMouse, HeaderDroppedOnThePanelGroupsAndButtonDraggedOffUngroups) {
    MouseGrid g;
    g.Drag(g.HeaderPoint(g.category), QPoint(30, 10));
    ASSERT_EQ(g.category->GroupIndex(), 0);
    EXPECT_TRUE(g.grid->IsLoadAllMode());
    EXPECT_FALSE(g.category->Visible());
    // A second header dropped left of the first button's middle goes in front of it.
    g.Drag(g.HeaderPoint(g.bounces), QPoint(12, 10));
    EXPECT_EQ(g.bounces->GroupIndex(), 0);
    EXPECT_EQ(g.category->GroupIndex(), 1);
    // The first button dragged down onto the rows ungroups its column.
    g.Drag(g.ButtonPoint(0), QPoint(200, 250));
    EXPECT_EQ(g.bounces->GroupIndex(), -1);
    EXPECT_TRUE(g.bounces->Visible());
    EXPECT_EQ(g.grid->GetGroupColumnCount(), 1);
}

// Over the group panel the insert arrows show where the dragged header's button will stand.
TEST(DBGridGroupPanelMouse, ArrowsOverThePanelMarkTheButtonsPlace) {
    MouseGrid g;
    g.category->SetGroupIndex(0);
    QPoint from = g.HeaderPoint(g.bounces);
    QTest::mousePress(g.vp(), Qt::LeftButton, Qt::NoModifier, from);
    auto move_to = [&](QPoint p) {
        QMouseEvent move(QEvent::MouseMove, p, g.vp()->mapToGlobal(p), Qt::NoButton, Qt::LeftButton,
                         Qt::NoModifier);
        QCoreApplication::sendEvent(g.vp(), &move);
    };
    move_to(from + QPoint(0, 10));
    ASSERT_EQ(g.grid->State(), tsColumnDragging);
    QWidget* arrows = g.grid->DragArrowsWindow();
    // Right of the first button's middle: the second place.
    const ui::Rect first = g.grid->GetGroupButtonRect(0);
    move_to(QPoint(first.right + 20, first.top + 4));
    ASSERT_NE(arrows = g.grid->DragArrowsWindow(), nullptr);
    EXPECT_TRUE(arrows->isVisible());
    const ui::Rect second = g.grid->GetGroupButtonRect(1);
    EXPECT_EQ(arrows->property("clientX").toInt(), second.left - 5);
    EXPECT_EQ(arrows->property("clientY").toInt(), second.top - 9);
    // Left of its middle: in front of it.
    move_to(QPoint(first.left + 10, first.top + 4));
    EXPECT_TRUE(arrows->isVisible());
    EXPECT_EQ(arrows->property("clientX").toInt(), first.left - 5);
    EXPECT_EQ(arrows->property("clientY").toInt(), first.top - 9);
    QTest::mouseRelease(g.vp(), Qt::LeftButton, Qt::NoModifier,
                        QPoint(first.left + 10, first.top + 4));
    EXPECT_FALSE(arrows->isVisible());
    EXPECT_EQ(g.bounces->GroupIndex(), 0);
    EXPECT_EQ(g.category->GroupIndex(), 1);
    // A column that cannot be grouped gets no place.
    g.item->SetDisableGrouping(true);
    from = g.HeaderPoint(g.item);
    QTest::mousePress(g.vp(), Qt::LeftButton, Qt::NoModifier, from);
    move_to(from + QPoint(0, 10));
    move_to(QPoint(first.left + 10, first.top + 4));
    EXPECT_FALSE(g.grid->DragArrowsWindow()->isVisible());
    QTest::mouseRelease(g.vp(), Qt::LeftButton, Qt::NoModifier,
                        QPoint(first.left + 10, first.top + 4));
}

// A grouped column that stays among the headers lands, when its button is dropped on them,
// where the arrows showed: before the header under the left half, after it under the right.
TEST(DBGridGroupPanelMouse, AButtonOfAShownColumnLandsWhereTheArrowsStand) {
    MouseGrid g;
    g.grid->SetOptionsEx(g.grid->OptionsEx() | egoNotHideColumn);
    auto order = [&] {
        TDrawInfo info;
        g.grid->CalcDrawInfo(info);
        std::string s;
        for (const THeaderCellInfo& hc : info.header_cells)
            s += g.grid->GetColumn(hc.column)->FieldName() + " ";
        return s;
    };
    auto drag_button_to = [&](QPoint to, int& arrow_x) {
        QPoint from = g.ButtonPoint(0);
        QTest::mousePress(g.vp(), Qt::LeftButton, Qt::NoModifier, from);
        for (int i = 1; i <= 4; ++i) {
            QPoint p = from + (to - from) * i / 4;
            QMouseEvent move(QEvent::MouseMove, p, g.vp()->mapToGlobal(p), Qt::NoButton,
                             Qt::LeftButton, Qt::NoModifier);
            QCoreApplication::sendEvent(g.vp(), &move);
        }
        arrow_x = g.grid->DragArrowsWindow()->property("clientX").toInt();
        QTest::mouseRelease(g.vp(), Qt::LeftButton, Qt::NoModifier, to);
    };
    g.category->SetGroupIndex(0);
    ASSERT_EQ(order(), "Item Category Bounces ");
    int arrow_x = 0;
    drag_button_to(g.HeaderPoint(g.bounces) + QPoint(-10, 0), arrow_x);
    EXPECT_EQ(g.category->GroupIndex(), -1);
    EXPECT_EQ(order(), "Item Category Bounces ");
    g.category->SetGroupIndex(0);
    drag_button_to(g.HeaderPoint(g.item) + QPoint(-10, 0), arrow_x);
    EXPECT_EQ(order(), "Category Item Bounces ");
    EXPECT_EQ(arrow_x, -5);
    g.category->SetGroupIndex(0);
    drag_button_to(g.HeaderPoint(g.bounces) + QPoint(10, 0), arrow_x);
    EXPECT_EQ(order(), "Item Bounces Category ");
}

TEST(DBGridGroupPanelMouse, ClickingAGroupButtonReversesItsLevel) {
    MouseGrid g;
    g.category->SetGroupIndex(0);
    ASSERT_EQ(static_cast<TgxDBGridNode*>(g.grid->Items(0))->GroupValue().AsString(), "music");
    QTest::mouseClick(g.vp(), Qt::LeftButton, Qt::NoModifier, g.ButtonPoint(0));
    EXPECT_EQ(g.category->Sorted(), csDown);
    EXPECT_EQ(static_cast<TgxDBGridNode*>(g.grid->Items(0))->GroupValue().AsString(), "travel");
    EXPECT_EQ(g.category->GroupIndex(), 0);
}

TEST(DBGridGroupPanelMouse, AColumnThatCannotGroupIsRefusedOverThePanel) {
    MouseGrid g;
    g.item->SetDisableGrouping(true);
    EXPECT_FALSE(g.grid->DoDragOverHeader(g.item->GetIndex(), {30, 10}, true));
    EXPECT_TRUE(g.grid->DoDragOverHeader(g.category->GetIndex(), {30, 10}, true));
    g.Drag(g.HeaderPoint(g.item), QPoint(30, 10));
    EXPECT_EQ(g.item->GroupIndex(), -1);
}

// Header clicks in a grid holding every record: Shift adds a column to the order, Ctrl takes
// one out, and the rows always stand in the order the marks show.
TEST(DBGridHeaderMouse, CtrlClickLeavesTheRowsInTheOrderOfTheRemainingMarks) {
    MouseGrid g;
    g.grid->SetPartialLoad(false);
    g.grid->SetOptions(g.grid->Options() | egoLoadAllRecords);
    g.grid->SetOptionsEx(g.grid->OptionsEx() | egoMultiSort);
    ASSERT_TRUE(g.grid->IsAutoSort());
    ASSERT_TRUE(g.list.ds->Locate("Index", 17, {}));
    auto focused_key = [&] {
        return static_cast<TgxDBGridNode*>(g.grid->GetFocusedNode())->Key.AsInteger();
    };
    QTest::mouseClick(g.vp(), Qt::LeftButton, Qt::NoModifier, g.HeaderPoint(g.item));
    QTest::mouseClick(g.vp(), Qt::LeftButton, Qt::ShiftModifier, g.HeaderPoint(g.bounces));
    ASSERT_EQ(g.item->Sorted(), csUp);
    ASSERT_EQ(g.bounces->Sorted(), csUp);
    EXPECT_EQ(g.Texts(0)[1], "user10@example.org");
    QTest::mouseClick(g.vp(), Qt::LeftButton, Qt::ControlModifier, g.HeaderPoint(g.item));
    EXPECT_EQ(g.item->Sorted(), csNone);
    ASSERT_EQ(g.bounces->Sorted(), csUp);
    std::vector<std::string> bounces = g.Texts(2);
    EXPECT_TRUE(std::is_sorted(bounces.begin(), bounces.end()));
    EXPECT_EQ(g.Texts(0)[0], "user3@example.org");  // the first with no bounce
    EXPECT_EQ(focused_key(), 17);
    // No mark left: the table's own order.
    QTest::mouseClick(g.vp(), Qt::LeftButton, Qt::ControlModifier, g.HeaderPoint(g.bounces));
    EXPECT_EQ(g.grid->SortedColumnCount(), 0);
    EXPECT_EQ(g.Texts(0)[0], "user1@example.org");
    EXPECT_EQ(g.Texts(0)[39], "user40@example.org");
    EXPECT_EQ(focused_key(), 17);
    EXPECT_EQ(g.list.CurrentKey(), 17);
}

TEST(DBGridIncrementalSearch, TypingSearchesTheWholeTableInPartialMode) {
    GridHarness h(600, 200);
    MemList list(2000);
    h.Column("Index");
    TgxDBTreeListColumn* item = h.Column("Item");
    h.grid->SetKeyField("Index");
    h.grid->SetPartialLoad(true);
    h.grid->SetOptions(h.grid->Options() & ~egoEditing);
    h.grid->SetDataSource(list.source.get());
    ASSERT_FALSE(h.grid->EndRead());
    h.grid->SetFocusedColumn(item->GetIndex());
    ASSERT_TRUE(h.grid->StartSearch(1, "user1777"));
    EXPECT_EQ(list.CurrentKey(), 1777);
    auto* focused = static_cast<TgxDBGridNode*>(h.grid->GetFocusedNode());
    ASSERT_NE(focused, nullptr);
    EXPECT_EQ(focused->Key.AsInteger(), 1777);
}

TEST(DBGridIncrementalSearch, AccentedLettersMatchInEitherCase) {
    GridHarness h(600, 200);
    MemList list(2000);
    ASSERT_TRUE(list.ds->Locate("Index", 1500, {}));
    list.ds->Edit();
    list.ds->FieldByName("Item")->SetAsString("\xC3\x89mile@example.org");  // Émile
    list.ds->Post();
    list.ds->First();
    h.Column("Index");
    TgxDBTreeListColumn* item = h.Column("Item");
    h.grid->SetKeyField("Index");
    h.grid->SetPartialLoad(true);
    h.grid->SetOptions(h.grid->Options() & ~egoEditing);
    h.grid->SetDataSource(list.source.get());
    ASSERT_FALSE(h.grid->EndRead());
    // The record lies outside the loaded rows: the dataset is searched.
    ASSERT_EQ(h.grid->FindNodeByKeyValue(db::Variant(1500)), nullptr);
    h.grid->SetFocusedColumn(item->GetIndex());
    ASSERT_TRUE(h.grid->StartSearch(1, "\xC3\xA9mi"));  // émi
    EXPECT_EQ(list.CurrentKey(), 1500);
    TgxTreeListNode* node = nullptr;
    list.ds->First();
    EXPECT_TRUE(h.grid->FindNodeByText(item, "\xC3\x89MILE@", node, false));
    EXPECT_EQ(list.CurrentKey(), 1500);
}

}  // namespace
}  // namespace grid::testing
