#include <gtest/gtest.h>

#include <QDialog>
#include <QPainter>
#include <QTest>

#include "tests/grid/interaction_fixture.h"

namespace grid {
namespace {

using testing::InteractionGrid;
using testing::ManualClock;

TEST(HitTest, NamesEachPartInItsOrder) {
    InteractionGrid f(3);
    f.grid.SetShowIndicator(true);
    f.grid.SetShowFooter(true);
    TDrawInfo info = f.Info();
    const THeaderCellInfo h0 = f.Header(0);
    const int edge = f.Header(0).rect.right;
    const int header_y = (h0.rect.top + h0.rect.bottom) / 2;
    const int row_y = info.node_area.top + 3;
    struct Case {
        ui::Point p;
        std::uint8_t kind;
        int column;
    };
    const Case cases[] = {
        {{-1, 5}, htOutside, -1},
        {{edge - 4, header_y}, htColumnEdge, 0},
        {{edge + 4, header_y}, htColumnEdge, 0},  // four pixels right still sizes
        {{edge + 5, header_y}, htColumn, 1},      // five presses the next header
        {{edge - 5, header_y}, htColumn, 0},
        {{h0.rect.left + 30, row_y}, htLabel, 0},
        {{info.bands_right_edge + 2, row_y}, htRight, -1},
        {{2, row_y}, htIndicator, -1},
        {{2, header_y}, htHeaderButton, -1},
        {{h0.rect.left + 30, info.footer.top + 2}, htSummaryFooter, 0},
        {{h0.rect.left + 30, info.node_area.top + 3 * f.grid.DefaultRowHeight() + 5},
         htNowhere,
         -1},
    };
    for (const Case& c : cases) {
        TgxTreeListHitInfo hit;
        f.grid.CalcHitInfo(c.p, hit);
        EXPECT_EQ(hit.kind, c.kind) << c.p.x << "," << c.p.y;
        EXPECT_EQ(hit.column, c.column) << c.p.x << "," << c.p.y;
    }
    // Column sizing switched off turns the edge zone into plain header.
    f.grid.Columns(0)->SetSizing(false);
    EXPECT_EQ(f.grid.GetHitTestAt(edge - 2, header_y), htColumn);
}

TEST(HitTest, TreeIndentButtonAndImages) {
    InteractionGrid f(0);
    f.grid.SetGridMode(false);
    TgxTreeListNode* parent = f.grid.Add();
    parent->SetStrings(0, "Parent");
    parent->AddChild()->SetStrings(0, "Child");
    TDrawInfo info = f.Info();
    int y = info.node_area.top + 4;
    // The parent's button sits in its level slot (16 pixels); the child's level slot and
    // the one before it are indent.
    EXPECT_EQ(f.grid.GetHitTestAt(info.node_area.left + 8, y), htButton);
    EXPECT_EQ(f.grid.GetHitTestAt(info.node_area.left + 20, y), htLabel);
    parent->SetExpanded(true);
    int child_y = y + f.grid.DefaultRowHeight();
    EXPECT_EQ(f.grid.GetHitTestAt(info.node_area.left + 8, child_y), htIndent);
    EXPECT_EQ(f.grid.GetHitTestAt(info.node_area.left + 24, child_y), htIndent);
    EXPECT_EQ(f.grid.GetNodeAt(info.node_area.left + 40, child_y), parent->GetFirstChild());
    // A click on the button toggles the node.
    QTest::mouseClick(f.vp(), Qt::LeftButton, {}, QPoint(info.node_area.left + 8, y));
    EXPECT_FALSE(parent->Expanded());
}

TEST(HitTest, BandsAndPanelEdges) {
    InteractionGrid f(2);
    f.grid.SetShowBands(true);
    f.grid.SetOptionsEx(f.grid.OptionsEx() | tlxBandPanelSizing | tlxHeaderPanelSizing |
                        tlxRowSizing);
    TDrawInfo info = f.Info();
    const TBandCellInfo& band = info.band_cells.front();
    EXPECT_EQ(f.grid.GetHitTestAt(band.rect.left + 10, band.rect.top + 3), htBand);
    EXPECT_EQ(f.grid.GetHitTestAt(band.rect.right - 2, band.rect.top + 3), htBandEdge);
    EXPECT_EQ(f.grid.GetHitTestAt(band.rect.left + 10, info.band_panel.bottom - 2),
              htBandPanelEdge);
    EXPECT_EQ(f.grid.GetHitTestAt(20, info.header_panel.bottom + 3), htHeaderPanelEdge);
    int row_bottom = info.node_area.top + f.grid.DefaultRowHeight();
    EXPECT_EQ(f.grid.GetHitTestAt(150, row_bottom + 5), htLabel);
    TgxTreeListHitInfo hit;
    f.grid.CalcHitInfo({150, row_bottom - 1}, hit);
    EXPECT_EQ(hit.kind, htRowEdge);
    EXPECT_EQ(hit.node, f.grid.Items(0));
}

TEST(MouseSizing, ColumnWidthsFollowTheAutoWidthArithmetic) {
    InteractionGrid f(2, 300);
    f.grid.Columns(0)->SetWidth(100);
    f.grid.Columns(1)->SetWidth(60);
    f.grid.Columns(2)->SetWidth(140);
    f.grid.SetOptions(f.grid.Options() | tloAutoWidth);
    ASSERT_EQ(f.grid.GetHeaderWidth(0), 100);
    int edge = f.Header(0).rect.right;
    int y = f.HeaderPoint(0).y();
    f.Drag({edge, y}, {edge + 33, y});
    // Column 0 takes 33; 60 and 140 give it in proportion, the last the remainder.
    EXPECT_EQ(f.grid.Columns(0)->Width(), 133);
    EXPECT_EQ(f.grid.Columns(1)->Width(), 60 - ui::MulDiv(33, 60, 200));
    EXPECT_EQ(f.grid.Columns(2)->Width(), 140 - (33 - ui::MulDiv(33, 60, 200)));
    EXPECT_EQ(f.grid.GetHeaderWidth(0) + f.grid.GetHeaderWidth(1) + f.grid.GetHeaderWidth(2), 300);
    // The last column takes from all before it.
    edge = f.Header(2).rect.right - 1;
    f.Drag({edge, y}, {edge - 20, y});
    EXPECT_EQ(f.grid.Columns(2)->Width(), f.grid.GetHeaderWidth(2));
    EXPECT_EQ(f.grid.GetHeaderWidth(0) + f.grid.GetHeaderWidth(1) + f.grid.GetHeaderWidth(2), 300);
    EXPECT_EQ(f.grid.State(), tsNormal);
}

TEST(MouseSizing, WithoutAutoWidthOnlyTheColumnChangesAndEscapeCancels) {
    InteractionGrid f(2);
    int edge = f.Header(1).rect.right;
    int y = f.HeaderPoint(1).y();
    f.Drag({edge, y}, {edge + 25, y});
    EXPECT_EQ(f.grid.Columns(0)->Width(), 100);
    EXPECT_EQ(f.grid.Columns(1)->Width(), 125);
    EXPECT_EQ(f.grid.Columns(2)->Width(), 100);
    // The minimum holds the line.
    f.grid.Columns(1)->SetMinWidth(40);
    edge = f.Header(1).rect.right;
    f.Drag({edge, y}, {edge - 200, y});
    EXPECT_EQ(f.grid.Columns(1)->Width(), 40);

    edge = f.Header(1).rect.right;
    QTest::mousePress(f.vp(), Qt::LeftButton, {}, {edge, y});
    EXPECT_EQ(f.grid.State(), tsColumnSizing);
    f.Move({edge, y}, {edge + 50, y}, Qt::LeftButton);
    EXPECT_EQ(f.grid.SizingLinePos(), edge + 50);
    f.Key(Qt::Key_Escape);
    EXPECT_EQ(f.grid.State(), tsNormal);
    QTest::mouseRelease(f.vp(), Qt::LeftButton, {}, {edge + 50, y});
    EXPECT_EQ(f.grid.Columns(1)->Width(), 40);
}

TEST(MouseSizing, BandWidthsShareTheChangeUnderAutoWidth) {
    InteractionGrid f(1, 330);
    f.grid.SetDefaultLayout(false);
    f.grid.Bands().Add();
    f.grid.Bands().Add();
    for (int b = 0; b < 3; ++b) {
        f.grid.Bands().Items(b)->SetWidth(b == 0 ? 100 : b == 1 ? 150 : 80);
        f.grid.Columns(b)->SetBandIndex(b);
    }
    f.grid.SetShowBands(true);
    f.grid.SetOptions(f.grid.Options() | tloAutoWidth);
    f.grid.SetOptionsEx((f.grid.OptionsEx() | tlxBandSizing) & ~tlxBandHeaderWidth);
    std::vector<int> before = {f.grid.GetBandDisplayWidth(0), f.grid.GetBandDisplayWidth(1),
                               f.grid.GetBandDisplayWidth(2)};
    ASSERT_EQ(before[0] + before[1] + before[2], 330);
    TDrawInfo info = f.Info();
    int y = info.band_panel.top + 3;
    int edge = info.band_cells[0].rect.right;
    f.Drag({edge, y}, {edge + 30, y});
    // Band 0 widened: the bands after it give the width in proportion.
    EXPECT_EQ(f.grid.GetBandDisplayWidth(0), before[0] + 30);
    int give1 = ui::MulDiv(30, before[1], before[1] + before[2]);
    EXPECT_EQ(f.grid.GetBandDisplayWidth(1), before[1] - give1);
    EXPECT_EQ(f.grid.GetBandDisplayWidth(2), before[2] - (30 - give1));
    // The last band widened takes from all bands before it.
    std::vector<int> mid = {f.grid.GetBandDisplayWidth(0), f.grid.GetBandDisplayWidth(1),
                            f.grid.GetBandDisplayWidth(2)};
    info = f.Info();
    edge = info.band_cells[2].rect.left + 1;  // the edge of band 1
    f.Drag({edge - 1, y}, {edge - 21, y});
    EXPECT_EQ(f.grid.GetBandDisplayWidth(1), mid[1] - 20);
    EXPECT_EQ(f.grid.GetBandDisplayWidth(2), mid[2] + 20);
    EXPECT_EQ(f.grid.GetBandDisplayWidth(0), mid[0]);
}

// Records the add-to-sort flag the way the data-aware grid reads it.
class SortingGrid : public testing::SelectingGrid {
  public:
    std::vector<bool> add_flags;
    void ColumnSortChanged(TgxTreeListColumn* column) override {
        add_flags.push_back(AddToSortFlag());
        if (!AddToSortFlag())
            for (int i = 0; i < ColumnCount(); ++i)
                if (Columns(i) != column && Columns(i)->Sorted() != csNone)
                    Columns(i)->SetSorted(csNone);
    }
};

TEST(MouseHeaders, ClickCyclesTheSortAndShiftCtrlAddAndRemove) {
    InteractionGrid base(0);
    SortingGrid& g = *new SortingGrid;
    std::unique_ptr<SortingGrid> owner(&g);
    g.SetBorderStyle(bsNone);
    g.SetScrollBars(ssNone);
    g.resize(400, 200);
    g.setAttribute(Qt::WA_DontShowOnScreen);
    g.show();
    g.SetTextMetrics(&base.metrics);
    for (int i = 0; i < 3; ++i)
        g.CreateColumn()->SetWidth(100);
    g.SetOptions(g.Options() | tloAutoSort);
    g.SetOptionsEx(g.OptionsEx() | tlxMultiSort);
    int y = 8;
    auto click = [&](int column, Qt::KeyboardModifiers mods = Qt::NoModifier) {
        QTest::mouseClick(g.viewport(), Qt::LeftButton, mods, QPoint(column * 100 + 50, y));
    };
    click(0);
    EXPECT_EQ(g.Columns(0)->Sorted(), csUp);
    click(0);
    EXPECT_EQ(g.Columns(0)->Sorted(), csDown);
    click(0);
    EXPECT_EQ(g.Columns(0)->Sorted(), csUp);
    click(1, Qt::ShiftModifier);
    EXPECT_EQ(g.SortedColumnCount(), 2);
    EXPECT_EQ(g.SortedColumnIndex(1), 1);
    ASSERT_FALSE(g.add_flags.empty());
    EXPECT_TRUE(g.add_flags.back());
    click(2);  // a plain click starts a new sort
    EXPECT_FALSE(g.add_flags.back());
    EXPECT_EQ(g.SortedColumnCount(), 1);
    EXPECT_EQ(g.SortedColumnIndex(0), 2);
    click(2, Qt::ControlModifier);
    EXPECT_EQ(g.Columns(2)->Sorted(), csNone);
    EXPECT_EQ(g.SortedColumnCount(), 0);
    EXPECT_FALSE(g.HeaderClickShift());
    EXPECT_FALSE(g.HeaderClickCtrl());
}

TEST(MouseHeaders, DragThresholdAndReleaseElsewhere) {
    InteractionGrid f(1);
    int clicks = 0;
    f.grid.OnHeaderClick = [&](TCustomgxTreeListControl*, TgxTreeListColumn*) { ++clicks; };
    QPoint p = f.HeaderPoint(0);
    f.Drag(p, p + QPoint(5, 0));
    EXPECT_EQ(clicks, 1);
    QTest::mousePress(f.vp(), Qt::LeftButton, {}, p);
    f.Move(p, p + QPoint(6, 0), Qt::LeftButton);
    EXPECT_EQ(f.grid.State(), tsColumnDragging);
    ASSERT_NE(f.grid.DragImageWindow(), nullptr);
    f.Key(Qt::Key_Escape);
    EXPECT_EQ(f.grid.State(), tsNormal);
    EXPECT_EQ(f.grid.DragImageWindow(), nullptr);
    QTest::mouseRelease(f.vp(), Qt::LeftButton, {}, p + QPoint(6, 0));
    EXPECT_EQ(clicks, 1);
    // Without column moving a press released over another header is no click.
    f.grid.SetOptions(f.grid.Options() & ~tloColumnMoving);
    f.Drag(p, f.HeaderPoint(1));
    EXPECT_EQ(clicks, 1);
}

// Captions of the visible columns in display order.
std::string Order(const TCustomgxTreeListControl& g) {
    std::string out;
    for (int i = 0; i < g.GetVisibleColumnCount(); ++i)
        out += g.GetHeaderText(g.GetVisibleColumnIndex(i)).substr(0, 1);
    return out;
}

TEST(MouseHeaders, DraggingAHeaderMovesItAndOntoItsOwnPlaceDoesNothing) {
    InteractionGrid f(2);
    int moved = 0;
    f.grid.OnHeaderMoved = [&](TCustomgxTreeListControl*, TgxTreeListColumn*) { ++moved; };
    // The right half of the last header: after it.
    f.Drag(f.HeaderPoint(0), f.HeaderPoint(2, 20));
    EXPECT_EQ(Order(f.grid), "MCN");
    EXPECT_EQ(moved, 1);
    // Texts stay with their columns.
    EXPECT_EQ(f.grid.Items(0)->Strings(2), "Row 0");
    // Back to the front: the left half of the first header.
    f.Drag(f.HeaderPoint(2), f.HeaderPoint(0, -20));
    EXPECT_EQ(Order(f.grid), "NMC");
    // The left half of the middle one: between them again.
    f.Drag(f.HeaderPoint(2), f.HeaderPoint(1, -20));
    EXPECT_EQ(Order(f.grid), "NCM");
    // Dropping just beside its own place leaves it there and fires nothing.
    int before = moved;
    f.Drag(f.HeaderPoint(1), f.HeaderPoint(2, -20));
    EXPECT_EQ(Order(f.grid), "NCM");
    EXPECT_EQ(moved, before);
}

TEST(MouseHeaders, HeaderDroppedOutsideOnlyHidesWhileCustomizing) {
    InteractionGrid f(2);
    QPoint below(f.HeaderPoint(0).x(), 150);
    f.Drag(f.HeaderPoint(0), below);
    EXPECT_TRUE(f.grid.Columns(0)->Visible());
    f.grid.SetOptions(f.grid.Options() | tloExtCustomizing);
    f.Drag(f.HeaderPoint(0), below);
    EXPECT_FALSE(f.grid.Columns(0)->Visible());
    f.grid.Columns(1)->SetDisableCustomizing(true);
    f.Drag(f.HeaderPoint(1), below);
    EXPECT_TRUE(f.grid.Columns(1)->Visible());
    f.Drag(f.HeaderPoint(2), below);
    EXPECT_FALSE(f.grid.Columns(2)->Visible());
    // The last visible column stays.
    f.grid.Columns(1)->SetDisableCustomizing(false);
    f.Drag(f.HeaderPoint(1), below);
    EXPECT_TRUE(f.grid.Columns(1)->Visible());
}

TEST(MouseSelection, ClickCtrlAndShiftRanges) {
    InteractionGrid f(8);
    f.grid.SetOptions(f.grid.Options() | tloMultiSelect);
    QTest::mouseClick(f.vp(), Qt::LeftButton, {}, f.Cell(2, 1));
    EXPECT_EQ(f.Focused(), 2);
    EXPECT_EQ(f.Column(), 1);
    EXPECT_EQ(f.grid.SelectedRows(), (std::vector<int>{2}));
    QTest::mouseClick(f.vp(), Qt::LeftButton, Qt::ShiftModifier, f.Cell(5, 1));
    EXPECT_EQ(f.grid.SelectedRows(), (std::vector<int>{2, 3, 4, 5}));
    QTest::mouseClick(f.vp(), Qt::LeftButton, Qt::ControlModifier, f.Cell(7, 0));
    EXPECT_EQ(f.grid.SelectedRows(), (std::vector<int>{2, 3, 4, 5, 7}));
    QTest::mouseClick(f.vp(), Qt::LeftButton, Qt::ControlModifier, f.Cell(3, 0));
    EXPECT_EQ(f.grid.SelectedRows(), (std::vector<int>{2, 4, 5, 7}));
    // Shift from the Ctrl-clicked anchor (row 3) replaces the selection.
    QTest::mouseClick(f.vp(), Qt::LeftButton, Qt::ShiftModifier, f.Cell(1, 0));
    EXPECT_EQ(f.grid.SelectedRows(), (std::vector<int>{1, 2, 3}));
    // A plain click on a selected row clears the rest only on release.
    QTest::mousePress(f.vp(), Qt::LeftButton, {}, f.Cell(2, 0));
    EXPECT_EQ(f.grid.SelectedRows(), (std::vector<int>{1, 2, 3}));
    QTest::mouseRelease(f.vp(), Qt::LeftButton, {}, f.Cell(2, 0));
    EXPECT_EQ(f.grid.SelectedRows(), (std::vector<int>{2}));
}

TEST(MouseEditing, ClickOnTheFocusedCellOpensTheEditorAfterTheTimer) {
    ManualClock time;
    time.clock->SetDoubleClickTime(300);
    InteractionGrid f(4);
    QTest::mouseClick(f.vp(), Qt::LeftButton, {}, f.Cell(1, 1));
    EXPECT_FALSE(f.grid.ClickEditPending());  // the focus moved: no timer
    QTest::mouseClick(f.vp(), Qt::LeftButton, {}, f.Cell(1, 1));
    EXPECT_TRUE(f.grid.ClickEditPending());
    time.clock->Advance(300);
    EXPECT_EQ(f.grid.State(), tsEditing);
    EXPECT_EQ(f.grid.EditColumn(), 1);
    // A click elsewhere closes the editor with its value posted.
    QTest::mouseClick(f.vp(), Qt::LeftButton, {}, f.Cell(3, 0));
    EXPECT_EQ(f.grid.State(), tsNormal);
    EXPECT_EQ(f.Focused(), 3);
    // The immediate editor opens on the release of the first click.
    f.grid.SetOptions(f.grid.Options() | tloImmediateEditor);
    QTest::mouseClick(f.vp(), Qt::LeftButton, {}, f.Cell(2, 2));
    EXPECT_EQ(f.grid.State(), tsEditing);
    EXPECT_EQ(f.grid.EditColumn(), 2);
    f.grid.HideEditor();
}

TEST(MousePan, DirectionAndSpeed) {
    struct Case {
        int dx, dy;
        bool horz, vert;
        int direction, speed;
    };
    const int mark = 28;
    const Case cases[] = {
        {0, 0, true, true, 0, 0},     {14, 14, true, true, 0, 0},  // inside the mark
        {20, 20, true, true, 4, 2},  // a tie goes vertical: (20 - 14) / 5 + 1
        {-20, 19, true, true, 1, 2},  {0, -15, true, true, 2, 1},
        {500, 0, true, true, 3, 12},  // at most 12
        {500, 3, false, true, 0, 0},  // no horizontal bar: sideways never scrolls
        {500, 30, false, true, 4, 4}, {3, 500, true, false, 0, 0},
    };
    for (const Case& c : cases) {
        int direction = -1, speed = -1;
        TCustomgxTreeList::PanDirection(c.dx, c.dy, mark, c.horz, c.vert, direction, speed);
        EXPECT_EQ(direction, c.direction) << c.dx << "," << c.dy;
        EXPECT_EQ(speed, c.speed) << c.dx << "," << c.dy;
    }
}

TEST(MousePan, MiddleButtonScrollsOneLinePerThirteenMinusSpeedTicks) {
    ManualClock time;
    InteractionGrid f(60, 400, 120);
    f.grid.SetScrollBars(ssVertical);
    f.grid.SetOptions(static_cast<TLOptions>(f.grid.Options() | tloRowSelect));
    f.grid.SetOptionsEx(f.grid.OptionsEx() | tlxMouseScroll);
    QPoint start(100, 60);
    QTest::mousePress(f.vp(), Qt::MiddleButton, {}, start);
    ASSERT_TRUE(f.grid.IsPanScrolling());
    // Releasing without moving keeps the mode.
    QTest::mouseRelease(f.vp(), Qt::MiddleButton, {}, start);
    EXPECT_TRUE(f.grid.IsPanScrolling());
    // 14 + 5 pixels below: speed 2, one line every 11 ticks of 20 ms.
    f.Move(start, start + QPoint(0, 19), Qt::NoButton);
    time.clock->Advance(20 * 10);
    EXPECT_EQ(f.grid.GetTopIndex(), 0);
    time.clock->Advance(20);
    EXPECT_EQ(f.grid.GetTopIndex(), 1);
    time.clock->Advance(20 * 11);
    EXPECT_EQ(f.grid.GetTopIndex(), 2);
    // Any other button ends it.
    QTest::mousePress(f.vp(), Qt::LeftButton, {}, start);
    EXPECT_FALSE(f.grid.IsPanScrolling());
    time.clock->Advance(20 * 30);
    EXPECT_EQ(f.grid.GetTopIndex(), 2);
    QCoreApplication::processEvents();
}

}  // namespace
}  // namespace grid

namespace grid {
namespace {

TEST(MouseHeaders, DeleteCursorOutsideTheStripAndNestedHiding) {
    testing::InteractionGrid f(4);
    QPoint from = f.HeaderPoint(1);
    QTest::mousePress(f.vp(), Qt::LeftButton, {}, from);
    f.Move(from, from + QPoint(30, 0), Qt::LeftButton);
    ASSERT_EQ(f.grid.State(), tsColumnDragging);
    EXPECT_FALSE(f.grid.DragDeleteCursor());
    QWidget* image = f.grid.DragImageWindow();
    ASSERT_NE(image, nullptr);
    QPoint inside = image->pos();
    f.Move(from + QPoint(30, 0), from + QPoint(30, 100), Qt::LeftButton);
    EXPECT_TRUE(f.grid.DragDeleteCursor());
    // Centred on the cursor, shifted 32 pixels right beside the delete cursor.
    EXPECT_EQ(image->pos(), inside + QPoint(32, 100));
    EXPECT_TRUE(image->isVisible());
    f.grid.HideDragImages();
    f.grid.HideDragImages();
    EXPECT_FALSE(image->isVisible());
    f.grid.ShowDragImages();
    EXPECT_FALSE(image->isVisible());
    f.grid.ShowDragImages();
    EXPECT_TRUE(image->isVisible());
    QTest::mouseRelease(f.vp(), Qt::LeftButton, {}, from + QPoint(30, 100));
    EXPECT_EQ(f.grid.DragImageWindow(), nullptr);
    EXPECT_TRUE(f.grid.Columns(1)->Visible());  // not customizing: nothing hidden
}

TEST(MouseHeaders, PressedHeaderIsDrawnSunken) {
    testing::InteractionGrid f(1);
    QPoint p = f.HeaderPoint(1);
    QImage before = f.grid.grab().toImage();
    QTest::mousePress(f.vp(), Qt::LeftButton, {}, p);
    QImage pressed = f.grid.grab().toImage();
    THeaderCellInfo hc = f.Header(1);
    // The top-left edge turns from the highlight to the shadow colour.
    EXPECT_NE(before.pixelColor(hc.rect.left + 1, hc.rect.top + 1),
              pressed.pixelColor(hc.rect.left + 1, hc.rect.top + 1));
    QTest::mouseRelease(f.vp(), Qt::LeftButton, {}, p);
}

}  // namespace
}  // namespace grid

namespace grid {
namespace {

// Three bands of one column each, bands shown.
struct BandGrid : testing::InteractionGrid {
    BandGrid() : InteractionGrid(3, 400, 200) {
        grid.SetDefaultLayout(false);
        grid.Bands().Items(0)->SetCaption("One");
        grid.Bands().Add()->SetCaption("Two");
        grid.Bands().Add()->SetCaption("Three");
        for (int b = 0; b < 3; ++b) {
            grid.Bands().Items(b)->SetWidth(100);
            grid.Columns(b)->SetBandIndex(b);
        }
        grid.SetShowBands(true);
    }
    QPoint BandPoint(int vb, int dx = 0) {
        TDrawInfo info = Info();
        for (const TBandCellInfo& bc : info.band_cells)
            if (bc.band_index == vb)
                return {(bc.rect.left + bc.rect.right) / 2 + dx, info.band_panel.top + 4};
        return {};
    }
    std::string Bands() {
        std::string out;
        for (int vb = 0; vb < grid.GetBandCount(); ++vb)
            out += grid.GetBandText(vb).substr(0, 2);
        return out;
    }
};

TEST(MouseBands, ABandDeletedDuringItsDragMovesNoOtherBand) {
    BandGrid f;
    QTest::mousePress(f.vp(), Qt::LeftButton, {}, f.BandPoint(0));
    f.Move(f.BandPoint(0), f.BandPoint(2, 20), Qt::LeftButton);
    ASSERT_EQ(f.grid.State(), tsBandDragging);
    f.grid.Bands().Delete(0);
    QTest::mouseRelease(f.vp(), Qt::LeftButton, {}, f.BandPoint(1, 20));
    EXPECT_EQ(f.grid.State(), tsNormal);
    EXPECT_EQ(f.Bands(), "TwTh");
    EXPECT_EQ(f.grid.Columns(1)->BandIndex(), 0);
    EXPECT_EQ(f.grid.Columns(2)->BandIndex(), 1);
}

TEST(MouseBands, ABandHiddenOrShownDuringItsDragMovesNoOtherBand) {
    // The drag names its band by visible position: a band hidden or shown before it makes
    // that position name another band, which a release must not move.
    for (const bool hide : {true, false}) {
        SCOPED_TRACE(hide ? "hidden" : "shown");
        BandGrid f;
        if (!hide)
            f.grid.Bands().Items(0)->SetVisible(false);
        const int from = hide ? 1 : 0;  // "Two"
        QTest::mousePress(f.vp(), Qt::LeftButton, {}, f.BandPoint(from));
        f.Move(f.BandPoint(from), f.BandPoint(from + 1, 20), Qt::LeftButton);
        ASSERT_EQ(f.grid.State(), tsBandDragging);
        f.grid.Bands().Items(0)->SetVisible(!hide);
        EXPECT_EQ(f.grid.State(), tsNormal);
        EXPECT_EQ(f.grid.DragImageWindow(), nullptr);
        const QPoint to = f.BandPoint(0, -20);
        f.Move(f.BandPoint(1), to, Qt::LeftButton);
        QTest::mouseRelease(f.vp(), Qt::LeftButton, {}, to);
        EXPECT_EQ(f.Bands(), hide ? "TwTh" : "OnTwTh");
        // The next drag works as ever.
        f.Drag(f.BandPoint(0), f.BandPoint(1, 20));
        EXPECT_EQ(f.Bands(), hide ? "ThTw" : "TwOnTh");
    }
}

TEST(HitTest, EdgesHiddenUnderAFixedBandAreNotTaken) {
    // "One" and "Two" scroll under "Three", fixed at the right: the right edges of "Two" and
    // of its column lie under "Three", where a press must take "Three", not size them.
    BandGrid f;
    f.grid.resize(250, 200);
    f.grid.Bands().Items(0)->SetWidth(120);
    f.grid.Bands().Items(2)->SetFixed(bfRight);
    TDrawInfo info = f.Info();
    ASSERT_EQ(info.band_cells.size(), 3u);
    const TBandCellInfo two = info.band_cells[1];
    const TBandCellInfo three = info.band_cells[2];
    ASSERT_GT(two.rect.right, two.clip.right);
    ASSERT_GT(two.rect.right - 4, three.clip.left);
    const int header_y = f.HeaderPoint(2).y();
    const int band_y = info.band_panel.top + 4;
    for (const int dx : {-4, 0, 4}) {
        const int x = two.rect.right + dx;
        TgxTreeListHitInfo hit;
        f.grid.CalcHitInfo({x, header_y}, hit);
        EXPECT_EQ(hit.kind, htColumn) << dx;
        EXPECT_EQ(hit.column, 2) << dx;
        f.grid.CalcHitInfo({x, band_y}, hit);
        EXPECT_EQ(hit.kind, htBand) << dx;
        EXPECT_EQ(hit.band, 2) << dx;
    }
    // A press there and a drag size nothing.
    f.Drag({two.rect.right, header_y}, {two.rect.right - 40, header_y});
    f.Drag({two.rect.right, band_y}, {two.rect.right - 40, band_y});
    EXPECT_EQ(f.grid.Columns(1)->Width(), 100);
    EXPECT_EQ(f.grid.Bands().Items(1)->Width(), 100);
    // Scrolled into view the same edges size again.
    f.grid.SetLeftCoord(1000);
    info = f.Info();
    const TBandCellInfo shown = info.band_cells[1];
    ASSERT_EQ(shown.rect.right, shown.clip.right);
    EXPECT_EQ(f.grid.GetHitTestAt(shown.rect.right - 4, header_y), htColumnEdge);
    EXPECT_EQ(f.grid.GetHitTestAt(shown.rect.right, band_y), htBandEdge);
}

TEST(MouseBands, DraggingABandMovesItAndAClickFiresTheEvent) {
    BandGrid f;
    int clicks = 0;
    f.grid.OnBandClick = [&](TCustomgxTreeListControl*, TgxTreeListBand*) { ++clicks; };
    QTest::mouseClick(f.vp(), Qt::LeftButton, {}, f.BandPoint(1));
    EXPECT_EQ(clicks, 1);
    // The right half of the last band: after it.
    f.Drag(f.BandPoint(0), f.BandPoint(2, 20));
    EXPECT_EQ(f.Bands(), "TwThOn");
    // Beside its own place: nothing moves.
    f.Drag(f.BandPoint(2), f.BandPoint(1, 20));
    EXPECT_EQ(f.Bands(), "TwThOn");
    // The left half of the first: to the front; its column goes with it.
    f.Drag(f.BandPoint(2), f.BandPoint(0, -20));
    EXPECT_EQ(f.Bands(), "OnTwTh");
    EXPECT_EQ(f.grid.GetHeaderText(f.grid.GetVisibleColumnIndex(0)), "Name");
    EXPECT_EQ(clicks, 1);
    // A fixed band does not move.
    f.grid.Bands().Items(0)->SetFixed(bfLeft);
    f.Drag(f.BandPoint(0), f.BandPoint(2, 20));
    EXPECT_EQ(f.Bands(), "OnTwTh");
}

TEST(MouseBands, ABandDroppedPartlyOutOfViewIsScrolledIntoIt) {
    ManualClock time;  // no sideways scrolling while the pointer rests
    BandGrid f;
    f.grid.resize(250, 200);
    f.grid.Columns(1)->SetWidth(200);
    // After "Two", whose right half ends past the view.
    f.Drag(f.BandPoint(0), f.BandPoint(1, 30));
    ASSERT_EQ(f.Bands(), "TwOnTh");
    EXPECT_GT(f.grid.LeftCoord(), 0);
    TDrawInfo info = f.Info();
    EXPECT_LE(info.band_cells[1].rect.right, info.band_panel.right);
    EXPECT_GE(info.band_cells[1].rect.left, info.band_panel.left);
}

TEST(MouseBands, BandDragArrowsSitLeftOfTheInsertionEdge) {
    BandGrid f;
    QPoint from = f.BandPoint(0);
    QTest::mousePress(f.vp(), Qt::LeftButton, {}, from);
    f.Move(from, f.BandPoint(2, 20), Qt::LeftButton);
    ASSERT_EQ(f.grid.State(), tsBandDragging);
    QWidget* arrows = f.grid.DragArrowsWindow();
    ASSERT_NE(arrows, nullptr);
    EXPECT_TRUE(arrows->isVisible());
    TDrawInfo info = f.Info();
    EXPECT_EQ(arrows->property("clientX").toInt(), info.band_cells[2].rect.right - 5);
    EXPECT_EQ(arrows->property("clientY").toInt(), info.band_panel.top - 9);
    EXPECT_EQ(arrows->height(), f.grid.BandPanelHeight() + 18);
    // Another button cancels the drag.
    QTest::mousePress(f.vp(), Qt::RightButton, {}, f.BandPoint(2, 20));
    EXPECT_EQ(f.grid.State(), tsNormal);
    EXPECT_FALSE(arrows->isVisible());
    QTest::mouseRelease(f.vp(), Qt::LeftButton, {}, f.BandPoint(2, 20));
    EXPECT_EQ(f.Bands(), "OnTwTh");
}

TEST(MouseSizing, HeaderPanelAndRowHeightsFollowTheLine) {
    testing::InteractionGrid f(5);
    f.grid.SetOptionsEx(f.grid.OptionsEx() | tlxHeaderPanelSizing | tlxRowSizing);
    TDrawInfo info = f.Info();
    int bottom = info.header_panel.bottom;
    // Dragged by a bit more than one header row: two rows.
    f.Drag({50, bottom - 1}, {50, bottom - 1 + f.grid.HeaderRowHeight()});
    EXPECT_EQ(f.grid.HeaderPanelRowCount(), 2);
    f.grid.SetHeaderPanelRowCount(1);
    info = f.Info();
    int row_bottom = info.node_area.top + f.grid.DefaultRowHeight();
    f.Drag({50, row_bottom}, {50, row_bottom + 10});
    EXPECT_EQ(f.grid.DefaultRowHeight(), 16 + 10);
}

TEST(MouseSizing, RowsDeletedDuringADragLeaveNoSizingBehind) {
    // The rows go while the button is still down (a reload under the user's hand): the
    // release must neither read them nor size the rows by them.
    for (const bool clear_all : {false, true}) {
        SCOPED_TRACE(clear_all ? "all cleared" : "sized row deleted");
        testing::InteractionGrid f(5);
        f.grid.SetOptionsEx(f.grid.OptionsEx() | tlxRowSizing);
        const int before = f.grid.DefaultRowHeight();
        const int row_bottom = f.Info().node_area.top + before;
        QTest::mousePress(f.vp(), Qt::LeftButton, {}, QPoint(50, row_bottom));
        ASSERT_EQ(f.grid.State(), tsRowSizing);
        f.Move({50, row_bottom}, {50, row_bottom + 10}, Qt::LeftButton);
        if (clear_all) {
            f.grid.ClearNodes();
        } else {
            f.grid.Items(0)->Delete();
        }
        QTest::mouseRelease(f.vp(), Qt::LeftButton, {}, QPoint(50, row_bottom + 10));
        EXPECT_EQ(f.grid.State(), tsNormal);
        EXPECT_EQ(f.grid.DefaultRowHeight(), before);
    }
}

TEST(MouseSizing, AColumnRemovedDuringAHeaderDragLeavesTheOthersAsTheyWere) {
    // The drag names its column by index: once a column before it goes, that index names
    // another column, which must not be sized or moved by a release meant for the gone one.
    for (const bool sizing : {true, false}) {
        SCOPED_TRACE(sizing ? "sizing" : "moving");
        testing::InteractionGrid f(3);
        const int y = f.HeaderPoint(0).y();
        const QPoint from = sizing ? QPoint(f.Header(0).rect.right, y) : f.HeaderPoint(0);
        const QPoint to = sizing ? from + QPoint(40, 0) : f.HeaderPoint(2, 30);
        QTest::mousePress(f.vp(), Qt::LeftButton, {}, from);
        f.Move(from, to, Qt::LeftButton);
        ASSERT_EQ(f.grid.State(), sizing ? tsColumnSizing : tsColumnDragging);
        auto removed = f.grid.RemoveColumn(f.grid.Columns(0));
        QTest::mouseRelease(f.vp(), Qt::LeftButton, {}, to);
        EXPECT_EQ(f.grid.State(), tsNormal);
        ASSERT_EQ(f.grid.ColumnCount(), 2);
        EXPECT_EQ(f.grid.Columns(0)->Caption(), "Mail");
        EXPECT_EQ(f.grid.Columns(1)->Caption(), "City");
        EXPECT_EQ(f.grid.Columns(0)->Width(), 100);
        EXPECT_EQ(f.grid.Columns(0)->ColIndex(), 0);
        EXPECT_EQ(f.grid.Items(0)->Strings(0), "m0");
    }
}

TEST(MouseSizing, AColumnHiddenDuringASizingOrDragEndsIt) {
    // "Name" is hidden while "Mail" is sized or dragged: the headers slide under the line or
    // the drag image, so a release would size "Mail" by a line that no longer stands at its
    // edge, or drop the hidden column and report it hidden a second time.
    for (const bool sizing : {true, false}) {
        SCOPED_TRACE(sizing ? "sizing" : "dragging");
        testing::InteractionGrid f(3);
        f.grid.ShowColumnsCustomizing();
        int hides = 0;
        f.grid.OnHideHeader = [&](TCustomgxTreeListControl*, TgxTreeListColumn*) { ++hides; };
        const QPoint from =
            sizing ? QPoint(f.Header(1).rect.right, f.HeaderPoint(1).y()) : f.HeaderPoint(0);
        const QPoint to = sizing ? from + QPoint(40, 0) : QPoint(390, 190);
        QTest::mousePress(f.vp(), Qt::LeftButton, {}, from);
        f.Move(from, to, Qt::LeftButton);
        ASSERT_EQ(f.grid.State(), sizing ? tsColumnSizing : tsColumnDragging);
        f.grid.Columns(0)->SetVisible(false);
        EXPECT_EQ(f.grid.State(), tsNormal);
        EXPECT_EQ(f.grid.DragImageWindow(), nullptr);
        QTest::mouseRelease(f.vp(), Qt::LeftButton, {}, to);
        EXPECT_EQ(f.grid.Columns(1)->Width(), 100);
        EXPECT_EQ(hides, 0);
        f.grid.CloseColumnsCustomizing();
    }
}

TEST(MouseSizing, AModalWindowEndsASizingOrDragUnderWay) {
    // The release goes to the modal window, never to the grid: the sizing or drag must not
    // hang on with its image floating and the view scrolling to its end.
    enum Kind { kSizing, kHeaderDrag, kNodeDrag };
    for (const Kind kind : {kSizing, kHeaderDrag, kNodeDrag}) {
        SCOPED_TRACE(kind);
        ManualClock time;
        testing::InteractionGrid f(3, 250, 150);
        f.grid.DragMode = TCustomgxTreeList::TDragMode::dmAutomatic;
        const int y = f.HeaderPoint(0).y();
        const QPoint from = kind == kSizing       ? QPoint(f.Header(0).rect.right, y)
                            : kind == kHeaderDrag ? f.HeaderPoint(0)
                                                  : f.Cell(0, 0);
        const QPoint to = kind == kNodeDrag ? from + QPoint(0, 20) : QPoint(245, y);
        QTest::mousePress(f.vp(), Qt::LeftButton, {}, from);
        f.Move(from, to, Qt::LeftButton);
        ASSERT_NE(f.grid.State(), tsNormal);
        QDialog modal;
        modal.setModal(true);
        modal.show();
        QCoreApplication::processEvents();
        EXPECT_EQ(f.grid.State(), tsNormal);
        EXPECT_EQ(f.grid.DragImageWindow(), nullptr);
        EXPECT_FALSE(f.grid.HorzAutoScrolling());
        time.clock->Advance(5000);
        EXPECT_EQ(f.grid.LeftCoord(), 0);
        modal.hide();
        QTest::mouseRelease(f.vp(), Qt::LeftButton, {}, to);
        EXPECT_EQ(f.grid.Columns(0)->Width(), 100);
        EXPECT_EQ(f.grid.GetHeaderText(f.grid.GetVisibleColumnIndex(0)), "Name");
    }
}

TEST(MouseSizing, AColumnMovedDuringItsSizingSizesNoOtherColumn) {
    testing::InteractionGrid f(3);
    const QPoint from(f.Header(0).rect.right, f.HeaderPoint(0).y());
    QTest::mousePress(f.vp(), Qt::LeftButton, {}, from);
    f.Move(from, from + QPoint(40, 0), Qt::LeftButton);
    ASSERT_EQ(f.grid.State(), tsColumnSizing);
    f.grid.Columns(0)->SetIndex(2);
    QTest::mouseRelease(f.vp(), Qt::LeftButton, {}, from + QPoint(40, 0));
    EXPECT_EQ(f.grid.State(), tsNormal);
    for (int c = 0; c < 3; ++c) {
        EXPECT_EQ(f.grid.Columns(c)->Width(), 100) << c;
    }
    EXPECT_EQ(f.grid.Columns(2)->Caption(), "Name");
}

TEST(MouseHeaders, DraggingNearTheRightEdgeScrollsSideways) {
    testing::InteractionGrid f(2, 250, 150);
    QPoint from = f.HeaderPoint(0);
    QTest::mousePress(f.vp(), Qt::LeftButton, {}, from);
    f.Move(from, {150, from.y()}, Qt::LeftButton);
    EXPECT_FALSE(f.grid.HorzAutoScrolling());
    f.Move({150, from.y()}, {245, from.y()}, Qt::LeftButton);
    EXPECT_TRUE(f.grid.HorzAutoScrolling());
    f.Move({245, from.y()}, {150, from.y()}, Qt::LeftButton);
    EXPECT_FALSE(f.grid.HorzAutoScrolling());
    QTest::mouseRelease(f.vp(), Qt::LeftButton, {}, {150, from.y()});
}

// The grid as the user sees it during a drag: the drag image and the insert arrows are
// windows of their own, laid over a grab of the grid with a margin for the arrows above it.
QImage DragPicture(TCustomgxTreeList& grid, const char* name) {
    constexpr int kMargin = 20;
    QImage picture(grid.width() + 2 * kMargin, grid.height() + 2 * kMargin, QImage::Format_ARGB32);
    picture.fill(Qt::white);
    QPainter painter(&picture);
    painter.drawPixmap(kMargin, kMargin, grid.grab());
    for (QWidget* w : {grid.DragImageWindow(), grid.DragArrowsWindow()})
        if (w != nullptr && w->isVisible())
            painter.drawPixmap(grid.mapFromGlobal(w->pos()) + QPoint(kMargin, kMargin), w->grab());
    painter.end();
    picture.save(QString(CORVANE_TEST_OUTPUT_DIR) + "/" + name);
    return picture;
}

TEST(MouseHeaders, InsertArrowsFollowTheHeadersWhileTheDragScrolls) {
    // The pointer rests at the right edge while the headers scroll under it: the arrows must
    // show where a release now puts the column, not where it would have gone before.
    ManualClock time;
    testing::InteractionGrid f(3, 250, 150);
    const QPoint from = f.HeaderPoint(0);
    const QPoint edge(245, from.y());
    QTest::mousePress(f.vp(), Qt::LeftButton, {}, from);
    f.Move(from, edge, Qt::LeftButton);
    ASSERT_TRUE(f.grid.HorzAutoScrolling());
    QWidget* arrows = f.grid.DragArrowsWindow();
    ASSERT_NE(arrows, nullptr);
    DragPicture(f.grid, "header_drag_at_edge.png");
    for (int tick = 0; tick < 100 && f.grid.HorzAutoScrolling(); ++tick) {
        time.clock->Advance(60);
        // After each step the arrows stand at the edge of the header now under the pointer.
        const THeaderCellInfo under = f.Header(2);
        ASSERT_TRUE(under.clip.Contains({edge.x(), edge.y()}));
        const bool before = edge.x() <= (under.rect.left + under.rect.right) / 2;
        const int expected = before ? under.clip.left - 5 : std::min(under.clip.right - 5, 250);
        EXPECT_EQ(arrows->property("clientX").toInt(), expected) << "tick " << tick;
    }
    EXPECT_FALSE(f.grid.HorzAutoScrolling());
    EXPECT_GT(f.grid.LeftCoord(), 0);
    DragPicture(f.grid, "header_drag_scrolled.png");
    QTest::mouseRelease(f.vp(), Qt::LeftButton, {}, edge);
    // Dropped after "City", where the arrows stood.
    EXPECT_EQ(f.grid.GetHeaderText(f.grid.GetVisibleColumnIndex(2)), "Name");
    EXPECT_EQ(f.grid.GetHeaderText(f.grid.GetVisibleColumnIndex(1)), "City");
}

}  // namespace
}  // namespace grid

namespace grid {
namespace {

TEST(MouseBands, InsertArrowsFollowTheBandsWhileTheDragScrolls) {
    // As for headers; and an edge past the panel keeps the arrows over it, not beside the grid.
    ManualClock time;
    BandGrid f;
    f.grid.resize(250, 200);
    const QPoint edge(245, f.BandPoint(0).y());
    QTest::mousePress(f.vp(), Qt::LeftButton, {}, f.BandPoint(0));
    f.Move(f.BandPoint(0), edge, Qt::LeftButton);
    QWidget* arrows = f.grid.DragArrowsWindow();
    ASSERT_NE(arrows, nullptr);
    for (int tick = 0; tick < 100 && f.grid.HorzAutoScrolling(); ++tick) {
        time.clock->Advance(60);
        const TBandCellInfo under = f.Info().band_cells[2];
        const bool before = edge.x() <= (under.rect.left + under.rect.right) / 2;
        const int expected = before ? under.rect.left - 5 : std::min(under.rect.right - 5, 250);
        EXPECT_EQ(arrows->property("clientX").toInt(), expected) << "tick " << tick;
    }
    EXPECT_GT(f.grid.LeftCoord(), 0);
    DragPicture(f.grid, "band_drag_scrolled.png");
    QTest::mouseRelease(f.vp(), Qt::LeftButton, {}, edge);
    EXPECT_EQ(f.Bands(), "TwThOn");
}

TEST(MouseNodes, AutomaticDragStartsAfterFivePixelsWithTheNodeText) {
    testing::InteractionGrid f(4);
    f.grid.DragMode = TCustomgxTreeList::TDragMode::dmAutomatic;
    TgxTreeListNode* begun = nullptr;
    f.grid.OnBeginDragNode = [&](TCustomgxTreeList*, TgxTreeListNode* n) { begun = n; };
    f.grid.OnGetNodeDragText = [](TCustomgxTreeListControl*, const TgxTreeListNode*,
                                  TgxTreeListColumn*, std::string& text) { text += "!"; };
    QPoint p = f.Cell(2, 0);
    QTest::mousePress(f.vp(), Qt::LeftButton, {}, p);
    f.Move(p, p + QPoint(4, 0), Qt::LeftButton);
    EXPECT_EQ(f.grid.State(), tsNodeDown);
    f.Move(p + QPoint(4, 0), p + QPoint(0, 6), Qt::LeftButton);
    EXPECT_EQ(f.grid.State(), tsNodeDragging);
    EXPECT_EQ(begun, f.grid.Items(2));
    ASSERT_NE(f.grid.DragImageWindow(), nullptr);
    // Text, margins and the three frames from x = 20.
    EXPECT_EQ(f.grid.DragImageWindow()->width(), 7 * 6 + 6 + 20);
    EXPECT_EQ(f.grid.DragImageWindow()->height(), f.grid.DefaultRowHeight() + 6);
    QTest::mouseRelease(f.vp(), Qt::LeftButton, {}, p + QPoint(0, 6));
    EXPECT_EQ(f.grid.State(), tsNormal);
    EXPECT_EQ(f.grid.DragImageWindow(), nullptr);
    EXPECT_EQ(f.grid.DragNode(), nullptr);
}

TEST(MouseNodes, AnAutomaticDragTakesThePressedRowOrNoneOnceItIsDeleted) {
    // Rows deleted between the press and the drag put another row under the press point;
    // the user pressed, and drags, the row they pressed.
    for (const bool pressed_deleted : {false, true}) {
        SCOPED_TRACE(pressed_deleted ? "the pressed row deleted" : "a row above deleted");
        testing::InteractionGrid f(6);
        f.grid.DragMode = TCustomgxTreeList::TDragMode::dmAutomatic;
        std::string begun;
        f.grid.OnBeginDragNode = [&](TCustomgxTreeList*, TgxTreeListNode* n) {
            begun = n->Strings(0);
        };
        const QPoint p = f.Cell(2, 0);
        QTest::mousePress(f.vp(), Qt::LeftButton, {}, p);
        f.grid.Items(pressed_deleted ? 2 : 1)->Delete();
        f.Move(p, p + QPoint(8, 0), Qt::LeftButton);
        EXPECT_EQ(f.grid.State(), pressed_deleted ? tsNormal : tsNodeDragging);
        EXPECT_EQ(begun, pressed_deleted ? "" : "Row 2");
        QTest::mouseRelease(f.vp(), Qt::LeftButton, {}, p + QPoint(8, 0));
        EXPECT_EQ(f.grid.State(), tsNormal);
        EXPECT_EQ(f.grid.DragImageWindow(), nullptr);
    }
}

}  // namespace
}  // namespace grid
