#include <gtest/gtest.h>

#include <QApplication>
#include <QScrollBar>

#include "tests/grid/grid_fixture.h"
#include "tests/grid/paint_probe.h"

namespace grid {
namespace {

using testing::GridFixture;
using testing::Px;
using testing::Rgb;

TEST(Frame, BorderStyleAndLookSetTheClientEdge) {
    struct Case {
        TBorderStyle border;
        TgxLookAndFeel look;
        int inset;
    };
    for (const Case& c :
         {Case{bsNone, lfStandard, 0}, Case{bsSingle, lfFlat, 1}, Case{bsSingle, lfStandard, 2}}) {
        GridFixture f(200, 120);
        f.grid.SetBorderStyle(c.border);
        f.grid.SetLookAndFeel(c.look);
        QApplication::processEvents();
        EXPECT_EQ(f.grid.viewport()->geometry(),
                  QRect(c.inset, c.inset, 200 - 2 * c.inset, 120 - 2 * c.inset))
            << c.inset;
        EXPECT_EQ(f.grid.ClientRect().Width(), 200 - 2 * c.inset);
        if (c.inset == 0)
            continue;
        QImage image = f.grid.grab().toImage();
        // Sunken: shadow at the top and left, highlight at the bottom and right.
        EXPECT_EQ(Px(image, 0, 50), Rgb(ui::clBtnShadow));
        EXPECT_EQ(Px(image, 100, 0), Rgb(ui::clBtnShadow));
        EXPECT_EQ(Px(image, 199, 50), Rgb(ui::clBtnHighlight));
        EXPECT_EQ(Px(image, 100, 119), Rgb(ui::clBtnHighlight));
        if (c.inset == 2) {
            EXPECT_EQ(Px(image, 1, 50), Rgb(ui::cl3DDkShadow));
            EXPECT_EQ(Px(image, 198, 50), Rgb(ui::cl3DLight));
        }
    }
}

TEST(Frame, FlatFrameFillsTheCornerBetweenTheScrollBars) {
    GridFixture f(200, 120);
    for (int i = 0; i < 3; ++i)
        f.AddColumn("C" + std::to_string(i), 150);
    for (int i = 0; i < 30; ++i)
        f.grid.Add();
    f.grid.SetBorderStyle(bsSingle);
    f.grid.SetLookAndFeel(lfFlat);
    f.grid.SetScrollBars(ssBoth);
    QApplication::processEvents();
    ASSERT_TRUE(f.grid.verticalScrollBar()->isVisible());
    ASSERT_TRUE(f.grid.horizontalScrollBar()->isVisible());
    QImage image = f.grid.grab().toImage();
    QPoint v = f.grid.verticalScrollBar()->mapTo(&f.grid, QPoint(0, 0));
    QPoint h = f.grid.horizontalScrollBar()->mapTo(&f.grid, QPoint(0, 0));
    EXPECT_EQ(Px(image, v.x() + 3, h.y() + 3), Rgb(ui::clBtnFace));
    EXPECT_EQ(Px(image, 199, 119), Rgb(ui::clBtnHighlight));
}

}  // namespace
}  // namespace grid
