// A load-all grid sorted from its headers keeps that order, and the rows stay where they stood
// on the screen, when the dataset changes under it and the rows are read again.

#include <gtest/gtest.h>

#include <QImage>
#include <QScrollBar>
#include <QTest>

#include <functional>
#include <string>
#include <vector>

#include "tests/grid/data/db_grid_fixture.h"

namespace grid::testing {
namespace {

// The list of the main window: more rows than fit, painted on a real (offscreen) window.
struct PaintedList : GridHarness {
    StrataList db;
    TgxDBTreeListColumn* item;
    TgxDBTreeListColumn* bounces;

    PaintedList() : GridHarness(500, 300), db(300) {
        // Shown for real this time, so that the window is exposed and painted.
        grid->hide();
        grid->setAttribute(Qt::WA_DontShowOnScreen, false);
        grid->SetScrollBars(ssVertical);
        item = Column("Item");
        item->SetWidth(220);
        Column("Category")->SetWidth(120);
        bounces = Column("Bounces");
        bounces->SetWidth(80);
        grid->SetKeyField("Index");
        grid->SetOptions(grid->Options() | egoRowSelect | egoMultiSelect | egoLoadAllRecords);
        grid->SetPartialLoad(true);
        grid->SetDataSource(db.source.get());
        grid->show();
    }

    void ClickHeader(TgxDBTreeListColumn* column) {
        TDrawInfo info;
        grid->CalcDrawInfo(info);
        for (const THeaderCellInfo& hc : info.header_cells)
            if (hc.column == column->GetIndex()) {
                // Apart in time, so that two clicks never make a double click.
                QTest::mouseClick(
                    grid->viewport(), Qt::LeftButton, Qt::NoModifier,
                    QPoint((hc.rect.left + hc.rect.right) / 2, (hc.rect.top + hc.rect.bottom) / 2),
                    600);
                return;
            }
        ADD_FAILURE() << "no header for " << column->FieldName();
    }

    // Every loaded row's bounce count, in display order.
    std::vector<int> BounceOrder() {
        std::vector<int> out;
        for (int i = 0; i < grid->GetAbsoluteCount(); ++i)
            out.push_back(
                std::stoi(grid->GetCellText(grid->GetAbsoluteNode(i), bounces->GetIndex())));
        return out;
    }

    // The addresses on the screen, top row first.
    std::vector<std::string> OnScreen() {
        std::vector<std::string> out;
        const int top = grid->GetTopIndex();
        for (int i = top; i < top + grid->GetVisibleRowCount() && i < grid->GetAbsoluteCount(); ++i)
            out.push_back(grid->GetCellText(grid->GetAbsoluteNode(i), item->GetIndex()));
        return out;
    }

    int FocusedKey() {
        auto* row = static_cast<TgxDBGridNode*>(grid->GetFocusedNode());
        return row != nullptr ? row->Key.AsInteger() : -1;
    }
};

bool Descending(const std::vector<int>& values) {
    return std::is_sorted(values.rbegin(), values.rend()) && values.front() > values.back();
}

TEST(DBGridSortReload, ADescendingSortAndThePlaceOnScreenHoldThroughReloads) {
    struct Case {
        const char* name;
        std::function<void(strata::TStrataTable&)> reload;
    };
    const std::vector<Case> cases = {
        // What the main window does around a check for new entries or an import: the
        // table is unfiltered, changed and filtered again, and goes back to its record.
        {"unfiltered, changed and filtered again",
         [](strata::TStrataTable& t) {
             const db::Variant key = t.FieldByName("Index")->Value();
             t.DisableControls();
             t.SetFiltered(false);
             t.Last();
             t.Edit();
             t.FieldByName("Comments")->SetAsString("changed");
             t.Post();
             t.SetFilter("Category <> 'none'");
             t.SetFiltered(true);
             t.Locate("Index", key, {});
             t.EnableControls();
         }},
        {"refreshed", [](strata::TStrataTable& t) { t.Refresh(); }},
        {"a record changed by the program",
         [](strata::TStrataTable& t) {
             t.Edit();
             t.FieldByName("Comments")->SetAsString("changed");
             t.Post();
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PaintedList g;
        ASSERT_TRUE(QTest::qWaitForWindowExposed(g.grid.get()));
        g.grid->grab();
        // The address first, then the bounces twice: only the last mark stays.
        g.ClickHeader(g.item);
        g.ClickHeader(g.bounces);
        g.ClickHeader(g.bounces);
        EXPECT_EQ(g.item->Sorted(), csNone);
        ASSERT_EQ(g.bounces->Sorted(), csDown);
        ASSERT_TRUE(Descending(g.BounceOrder()));
        // The focused row stayed on the screen and the scroll bar shows where the rows stand.
        const int focused_at = g.grid->GetFocusedAbsoluteIndex();
        EXPECT_GE(focused_at, g.grid->GetTopIndex());
        EXPECT_LT(focused_at, g.grid->GetTopIndex() + g.grid->GetVisibleRowCount());
        EXPECT_EQ(g.grid->verticalScrollBar()->value(), g.grid->GetTopIndex());

        // The user goes to the top of the list and picks the fourth row.
        QTest::keyClick(g.grid.get(), Qt::Key_Home, Qt::ControlModifier);
        g.grid->SetFocusedNode(g.grid->GetAbsoluteNode(3));
        ASSERT_EQ(g.grid->GetTopIndex(), 0);
        const int focused_key = g.FocusedKey();
        const std::vector<std::string> before = g.OnScreen();
        const QImage painted_before = g.grid->grab().toImage();

        c.reload(g.db.Table());
        EXPECT_EQ(g.bounces->Sorted(), csDown);
        EXPECT_TRUE(Descending(g.BounceOrder()));
        EXPECT_EQ(g.FocusedKey(), focused_key);
        EXPECT_EQ(g.grid->GetTopIndex(), 0);
        EXPECT_EQ(g.grid->GetFocusedAbsoluteIndex(), 3);
        EXPECT_EQ(g.grid->verticalScrollBar()->value(), 0);
        EXPECT_EQ(g.OnScreen(), before);
        const QImage painted_after = g.grid->grab().toImage();
        EXPECT_TRUE(painted_after == painted_before);
        painted_after.save(QString(CORVANE_TEST_OUTPUT_DIR) + "/dbgrid_sorted_after_reload.png");
    }
}

}  // namespace
}  // namespace grid::testing
