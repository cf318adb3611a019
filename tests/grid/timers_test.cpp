#include <gtest/gtest.h>

#include <QApplication>
#include <QListWidget>
#include <QPointer>
#include <QTest>

#include <functional>

#include "platform/ui/clock.h"
#include "tests/grid/grid_fixture.h"

namespace grid {
namespace {

using testing::GridFixture;

// Installs a manual clock for one test, so timers fire only when the test moves time.
struct ManualClockScope {
    ui::ManualUiClock* clock;
    std::unique_ptr<ui::UiClock> previous;
    ManualClockScope() {
        auto manual = std::make_unique<ui::ManualUiClock>();
        clock = manual.get();
        previous = ui::SetClock(std::move(manual));
    }
    ~ManualClockScope() { ui::SetClock(std::move(previous)); }
};

// A grid of flat rows, editing on and row select off.
struct RowsGrid : GridFixture {
    explicit RowsGrid(int rows, int height = 200) : GridFixture(400, height) {
        AddColumn("Name", 150);
        AddColumn("Mail", 150);
        grid.SetOptions(static_cast<TLOptions>((grid.Options() & ~tloRowSelect) | tloEditing));
        grid.SetGridMode(true);
        grid.BeginUpdate();
        for (int i = 0; i < rows; ++i)
            grid.Add()->SetStrings(0, "Row " + std::to_string(i));
        grid.EndUpdate();
        grid.SetFocusedNodeColumn(grid.Items(0), 0, true);
    }
    int Focused() { return grid.GetFocusedAbsoluteIndex(); }
    // The middle of a displayed row (by its place on the screen).
    ui::Point RowPoint(int screen_row) {
        TDrawInfo info;
        grid.CalcDrawInfo(info);
        return {info.node_area.left + 50, info.node_area.top +
                                              screen_row * grid.DefaultRowHeight() +
                                              grid.DefaultRowHeight() / 2};
    }
};

TEST(TreeListTimers, ClickToEditOpensTheEditorAfterTheDoubleClickTime) {
    ManualClockScope time;
    time.clock->SetDoubleClickTime(400);
    RowsGrid f(5);
    f.grid.StartClickEditTimer();
    time.clock->Advance(399);
    EXPECT_EQ(f.grid.State(), tsNormal);
    time.clock->Advance(1);
    EXPECT_EQ(f.grid.State(), tsEditing);
    EXPECT_FALSE(f.grid.ClickEditPending());
    f.grid.HideEditor();

    // A new click restarts it: only one runs.
    f.grid.StartClickEditTimer();
    time.clock->Advance(300);
    f.grid.StartClickEditTimer();
    time.clock->Advance(300);
    EXPECT_EQ(f.grid.State(), tsNormal);
    EXPECT_EQ(time.clock->RunningTimers(), 1);
    time.clock->Advance(100);
    EXPECT_EQ(f.grid.State(), tsEditing);
    f.grid.HideEditor();
}

TEST(TreeListTimers, AnyPressOrAnotherStateCancelsTheDelayedEditor) {
    ManualClockScope time;
    RowsGrid f(5);
    for (Qt::MouseButton button : {Qt::LeftButton, Qt::RightButton}) {
        f.grid.StartClickEditTimer();
        QTest::mousePress(f.grid.viewport(), button, Qt::NoModifier, QPoint(5, 5));
        QTest::mouseRelease(f.grid.viewport(), button, Qt::NoModifier, QPoint(5, 5));
        EXPECT_FALSE(f.grid.ClickEditPending());
        time.clock->Advance(2000);
        EXPECT_EQ(f.grid.State(), tsNormal);
    }
    f.grid.StartClickEditTimer();
    f.grid.SetState(tsColumnSizing);
    time.clock->Advance(2000);
    EXPECT_EQ(f.grid.State(), tsColumnSizing);
    EXPECT_EQ(f.grid.InplaceEditor(), nullptr);
    f.grid.SetState(tsNormal);
}

TEST(TreeListTimers, TheDelayedEditorOpensOnlyOnTheClickedCell) {
    // The focus may leave the clicked cell before the timer fires: the editor must not open
    // on a row or column the user never clicked.
    ManualClockScope time;
    const std::function<void(RowsGrid&)> changes[] = {
        [](RowsGrid& f) { f.grid.Items(0)->Delete(); },
        [](RowsGrid& f) { f.grid.ClearNodes(), f.grid.Add(); },
        [](RowsGrid& f) { QTest::keyClick(&f.grid, Qt::Key_Down); },
        [](RowsGrid& f) { QTest::keyClick(&f.grid, Qt::Key_Right); },
        [](RowsGrid& f) { f.grid.SetNewItemRowActive(true); },
    };
    for (const auto& change : changes) {
        RowsGrid f(5);
        f.grid.SetShowNewItemRow(true);
        f.grid.StartClickEditTimer();
        change(f);
        time.clock->Advance(2000);
        EXPECT_EQ(f.grid.State(), tsNormal);
        EXPECT_FALSE(f.grid.ClickEditPending());
    }
    // Left and come back within the time: the clicked cell again.
    RowsGrid f(5);
    f.grid.StartClickEditTimer();
    QTest::keyClick(&f.grid, Qt::Key_Down);
    QTest::keyClick(&f.grid, Qt::Key_Up);
    time.clock->Advance(2000);
    EXPECT_EQ(f.grid.State(), tsEditing);
    EXPECT_EQ(f.grid.EditNode(), f.grid.Items(0));
}

TEST(TreeListTimers, PressedNodeScrollsOneRowPerTickUntilReleased) {
    ManualClockScope time;
    RowsGrid f(30);
    f.grid.SetState(tsNodeDown);
    f.grid.StartVertAutoScroll(true);
    time.clock->Advance(99);
    EXPECT_EQ(f.Focused(), 0);
    time.clock->Advance(1);
    EXPECT_EQ(f.Focused(), 1);
    time.clock->Advance(300);
    EXPECT_EQ(f.Focused(), 4);
    f.grid.StartVertAutoScroll(false);  // the direction flag turns, the timer runs on
    time.clock->Advance(200);
    EXPECT_EQ(f.Focused(), 2);
    // Released: the next tick kills the timer and moves nothing.
    f.grid.SetState(tsNormal);
    time.clock->Advance(100);
    EXPECT_EQ(f.Focused(), 2);
    EXPECT_FALSE(f.grid.VertAutoScrolling());
    // Scrolling up stops at the first row.
    f.grid.SetState(tsNodeDown);
    f.grid.StartVertAutoScroll(false);
    time.clock->Advance(1000);
    EXPECT_EQ(f.Focused(), 0);
    f.grid.SetState(tsNormal);
}

TEST(TreeListTimers, DraggingNearAnEdgeOrOverTheBoundaryRowsScrolls) {
    ManualClockScope time;
    RowsGrid f(40, 200);
    QObject dragged;
    f.grid.SetDragObject(&dragged);
    ASSERT_TRUE(f.grid.IsDragScroll());
    TDrawInfo info;
    f.grid.CalcDrawInfo(info);
    struct Case {
        const char* name;
        ui::Point point;
        bool scrolls;
    };
    const int rows_in_view = f.grid.GetVisibleRowCount();
    const Case cases[] = {
        {"middle row", f.RowPoint(2), false},
        {"bottom edge", {60, info.node_area.bottom - 5}, true},
        {"last row in view", f.RowPoint(rows_in_view - 1), true},
        {"top row, first node", {60, info.node_area.top + 13}, false},
    };
    for (const Case& c : cases) {
        f.grid.DragOverNodes(c.point);
        EXPECT_EQ(f.grid.VertAutoScrolling(), c.scrolls) << c.name;
    }
    // Hovering focuses the row under the cursor; each tick then moves one row on.
    f.grid.DragOverNodes(f.RowPoint(3));
    EXPECT_EQ(f.Focused(), 3);
    f.grid.DragOverNodes({60, info.node_area.bottom - 3});
    int before = f.Focused();
    time.clock->Advance(100);
    EXPECT_EQ(f.Focused(), before + 1);
    time.clock->Advance(100);
    EXPECT_EQ(f.Focused(), before + 2);
    // The top row is no longer the first node: hovering it scrolls back up.
    f.grid.SetTopIndex(5);
    f.grid.DragOverNodes({60, info.node_area.top + 13});
    EXPECT_TRUE(f.grid.VertAutoScrolling());
    f.grid.EndDragOverNodes();
    EXPECT_FALSE(f.grid.VertAutoScrolling());
    // The drag object gone, a running timer stops at its next tick.
    f.grid.StartVertAutoScroll(true);
    f.grid.SetDragObject(nullptr);
    time.clock->Advance(100);
    EXPECT_FALSE(f.grid.VertAutoScrolling());
}

struct TreeGrid : RowsGrid {
    TgxTreeListNode* parent;
    TgxTreeListNode* other;
    TreeGrid() : RowsGrid(0) {
        parent = grid.Add();
        parent->AddChild();
        parent->AddChild();
        other = grid.Add();
        other->AddChild();
        grid.Add();
        grid.SetFocusedNodeColumn(grid.Items(2), 0, true);
    }
};

TEST(TreeListTimers, DragExpandWaitsAndDragCollapseToggles) {
    ManualClockScope time;
    TreeGrid f;
    QObject dragged;
    f.grid.SetDragObject(&dragged);
    f.grid.WaitForExpandNodeTime = 500;
    f.grid.SetOptionsEx(f.grid.OptionsEx() & ~tlxDragCollapse);
    f.grid.DragOverNodes(f.RowPoint(0));
    EXPECT_EQ(f.grid.DragExpandNode(), f.parent);
    time.clock->Advance(499);
    EXPECT_FALSE(f.parent->Expanded());
    f.grid.DragOverNodes(f.RowPoint(0));  // the same node: the wait goes on
    time.clock->Advance(1);
    EXPECT_TRUE(f.parent->Expanded());
    time.clock->Advance(5000);
    EXPECT_TRUE(f.parent->Expanded());  // expanding happens once

    // Moving to another node before the wait is over expands only that one.
    f.parent->SetExpanded(false);
    f.grid.DragOverNodes(f.RowPoint(0));
    f.grid.DragOverNodes(f.RowPoint(1));
    ASSERT_EQ(f.grid.DragExpandNode(), f.other);
    time.clock->Advance(500);
    EXPECT_FALSE(f.parent->Expanded());
    EXPECT_TRUE(f.other->Expanded());

    // With DragCollapse an expanded node collapses, then expands again after twice the wait.
    f.other->SetExpanded(false);
    f.parent->SetExpanded(true);
    f.grid.EndDragOverNodes();
    f.grid.SetOptionsEx(f.grid.OptionsEx() | tlxDragCollapse);
    f.grid.DragOverNodes(f.RowPoint(0));
    time.clock->Advance(500);
    EXPECT_FALSE(f.parent->Expanded());
    time.clock->Advance(999);
    EXPECT_FALSE(f.parent->Expanded());
    time.clock->Advance(1);
    EXPECT_TRUE(f.parent->Expanded());

    // Dropping the drag object forgets the node and stops the wait.
    f.grid.SetDragObject(nullptr);
    EXPECT_EQ(f.grid.DragExpandNode(), nullptr);
    time.clock->Advance(5000);
    EXPECT_TRUE(f.parent->Expanded());
}

TEST(TreeListTimers, DeletingTheHoveredNodeForgetsIt) {
    ManualClockScope time;
    TreeGrid f;
    QObject dragged;
    f.grid.SetDragObject(&dragged);
    f.grid.DragOverNodes(f.RowPoint(0));
    ASSERT_EQ(f.grid.DragExpandNode(), f.parent);
    f.parent->Delete();
    EXPECT_EQ(f.grid.DragExpandNode(), nullptr);
    time.clock->Advance(5000);  // nothing left to expand, nothing touched
}

TEST(TreeListTimers, NodeDragRunsTheTimersUntilItEnds) {
    ManualClockScope time;
    TreeGrid f;
    std::vector<TgxTreeListNode*> begun;
    f.grid.OnBeginDragNode = [&](TCustomgxTreeList*, TgxTreeListNode* n) { begun.push_back(n); };
    f.grid.SetFocusedNodeColumn(f.grid.Items(2), 1, true);
    f.grid.ShowEditor();
    ASSERT_EQ(f.grid.State(), tsEditing);
    f.grid.BeginDragNode(f.grid.Items(2));
    EXPECT_EQ(f.grid.State(), tsNodeDragging);
    EXPECT_EQ(f.grid.DragNode(), f.grid.Items(2));
    EXPECT_EQ(begun, std::vector<TgxTreeListNode*>{f.grid.Items(2)});
    // Over a collapsed node: it expands after the wait; near the bottom the rows scroll.
    f.grid.DragOverNodes(f.RowPoint(0));
    time.clock->Advance(f.grid.WaitForExpandNodeTime);
    EXPECT_TRUE(f.parent->Expanded());
    f.grid.EndDragNode();
    EXPECT_EQ(f.grid.State(), tsNormal);
    EXPECT_EQ(f.grid.DragNode(), nullptr);
    EXPECT_EQ(f.grid.DragExpandNode(), nullptr);
    EXPECT_FALSE(f.grid.VertAutoScrolling());
    // Nothing to drag: nothing starts.
    f.grid.BeginDragNode(nullptr);
    EXPECT_EQ(f.grid.State(), tsNormal);
    EXPECT_EQ(begun.size(), 1u);
}

TEST(TreeListTimers, HeaderDragScrollsSideways) {
    ManualClockScope time;
    GridFixture f(300, 150);
    for (int i = 0; i < 4; ++i)
        f.AddColumn("C" + std::to_string(i), 150);
    f.grid.Add();
    ASSERT_FALSE(f.grid.IsAutoWidth());
    const int limit = f.grid.GetScrollableBandsWidth() - f.grid.GetScrollableAreaWidth();
    ASSERT_GT(limit, 100);
    f.grid.SetState(tsColumnDragging);
    f.grid.StartHorzAutoScroll(true);
    time.clock->Advance(99);
    EXPECT_EQ(f.grid.LeftCoord(), 0);
    time.clock->Advance(1);
    EXPECT_EQ(f.grid.LeftCoord(), f.grid.ZeroWidth());
    time.clock->Advance(100 * 1000);
    EXPECT_EQ(f.grid.LeftCoord(), limit);  // the last column fully visible
    EXPECT_FALSE(f.grid.HorzAutoScrolling());
    f.grid.StartHorzAutoScroll(false);
    time.clock->Advance(200);
    EXPECT_EQ(f.grid.LeftCoord(), limit - 2 * f.grid.ZeroWidth());
    // The drag over, the timer dies at its next tick.
    f.grid.SetState(tsNormal);
    time.clock->Advance(100);
    EXPECT_FALSE(f.grid.HorzAutoScrolling());
    EXPECT_EQ(f.grid.LeftCoord(), limit - 2 * f.grid.ZeroWidth());
}

TEST(CustomizingForm, ClosingRemembersPlaceAndItemsAndFiresTheEvent) {
    GridFixture f(300, 150);
    int ended = 0;
    f.grid.OnEndColumnsCustomizing = [&](TCustomgxTreeList*) { ++ended; };
    EXPECT_EQ(f.grid.CustomizingFormPos(), (ui::Point{-1000, -1000}));
    struct Case {
        bool bands_list;
        int bands_row;
        int headers_row;
    };
    for (const Case& c : {Case{true, 1, 2}, Case{false, -1, 0}}) {
        auto form = std::make_unique<QWidget>();
        form->setAttribute(Qt::WA_DontShowOnScreen);
        QListWidget* bands = c.bands_list ? new QListWidget(form.get()) : nullptr;
        auto* headers = new QListWidget(form.get());
        for (QListWidget* list : {bands, headers})
            if (list != nullptr)
                list->addItems({"a", "b", "c"});
        if (bands != nullptr)
            bands->setCurrentRow(c.bands_row);
        headers->setCurrentRow(c.headers_row);
        form->move(40 + c.headers_row, 70);
        form->show();
        QPointer<QWidget> watched = form.get();
        f.grid.SetCustomizingForm(std::move(form), bands, headers);
        ASSERT_TRUE(f.grid.IsCustomizing());
        watched->close();
        EXPECT_FALSE(f.grid.IsCustomizing());
        EXPECT_EQ(f.grid.CustomizingFormPos(), (ui::Point{40 + c.headers_row, 70}));
        EXPECT_EQ(f.grid.CustomizingBandsIndex(), c.bands_row);
        EXPECT_EQ(f.grid.CustomizingHeadersIndex(), c.headers_row);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        EXPECT_TRUE(watched.isNull());
    }
    EXPECT_EQ(ended, 2);
}

}  // namespace
}  // namespace grid
