#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QImage>
#include <QPainter>

#include "tests/grid/grid_fixture.h"
#include "tests/grid/paint_probe.h"

namespace grid {
namespace {

using testing::AnyPixel;
using testing::GridFixture;
using testing::Px;
using testing::Render;
using testing::Rgb;

struct PaintFixture : GridFixture {
    PaintFixture() : GridFixture(320, 200) {
        AddColumn("Name", 120);
        AddColumn("Mail", 150);
        for (int i = 0; i < 4; ++i) {
            TgxTreeListNode* n = grid.Add();
            n->SetStrings(0, "Row " + std::to_string(i));
            n->SetStrings(1, "r" + std::to_string(i) + "@example.com");
        }
        grid.SetGridMode(true);
    }
    TDrawInfo Info() {
        TDrawInfo info;
        grid.CalcDrawInfo(info);
        return info;
    }
};

TEST(Paint, HeaderButtonsHaveRaisedEdgesAndTheFaceColour) {
    PaintFixture f;
    QImage image = Render(f.grid);
    TDrawInfo info = f.Info();
    ASSERT_EQ(info.header_cells.size(), 2u);
    for (const THeaderCellInfo& hc : info.header_cells) {
        const ui::Rect& r = hc.rect;
        EXPECT_EQ(Px(image, r.left, r.top), Rgb(ui::clBtnHighlight));
        EXPECT_EQ(Px(image, r.right - 1, r.bottom - 1), Rgb(ui::clBtnShadow));
        EXPECT_EQ(Px(image, r.right - 4, r.top + r.Height() / 2), Rgb(ui::clBtnFace));
        EXPECT_TRUE(AnyPixel(image, r.Inflated(-2, -2),
                             [](QColor c) { return c.lightness() < 60; }));  // caption
    }
    // Right of the bands: the window colour.
    EXPECT_EQ(Px(image, 315, info.header_panel.top + 5), Rgb(ui::clWindow));
}

TEST(Paint, SortMarkNeedsSixteenPixels) {
    PaintFixture f;
    f.grid.Columns(0)->SetSorted(csUp);
    QImage image = Render(f.grid);
    const THeaderCellInfo hc = f.Info().header_cells[0];
    ui::Rect mark{hc.rect.right - 16, hc.rect.top + 2, hc.rect.right - 2, hc.rect.bottom - 2};
    EXPECT_TRUE(AnyPixel(image, mark,
                         [](QColor c) { return (c.rgb() & 0xFFFFFF) == Rgb(ui::clBtnShadow); }));
}

TEST(Paint, SelectionColoursFollowFocusAndHideSelection) {
    PaintFixture f;
    TDrawInfo info = f.Info();
    ASSERT_GE(info.rows.size(), 2u);
    int y0 = info.node_area.top + info.rows[0].row_height / 2;
    int y1 = y0 + info.rows[0].row_height;
    int x = info.header_cells[1].rect.right - 6;  // right of any text
    struct Case {
        bool focused;
        bool hide_selection;
        ui::Color expected;
    };
    const Case cases[] = {
        {true, true, ui::clHighlight},
        {false, false, ui::clBtnFace},  // the hidden-selection colour
        {false, true, ui::clWindow},
    };
    for (const Case& c : cases) {
        f.grid.SetHideSelection(c.hide_selection);
        if (c.focused) {
            QApplication::setActiveWindow(&f.grid);
            f.grid.setFocus();
            QApplication::processEvents();
            ASSERT_TRUE(f.grid.PaintFocused());
        } else {
            f.grid.clearFocus();
            QApplication::processEvents();
            ASSERT_FALSE(f.grid.PaintFocused());
        }
        QImage image = Render(f.grid);
        EXPECT_EQ(Px(image, x, y0), Rgb(c.expected)) << c.focused << c.hide_selection;
        EXPECT_EQ(Px(image, x, y1), Rgb(ui::clWindow));  // an unselected row
    }
}

TEST(Paint, GridLinesRunAlongCellEdgesInTheLineColour) {
    PaintFixture f;
    f.grid.SetShowGrid(true);
    f.grid.GridLineColor = ui::clRed;
    QImage image = Render(f.grid);
    TDrawInfo info = f.Info();
    const TRowInfo& row = info.rows[1];
    int top = info.node_area.top + info.rows[0].row_height;
    int bottom_line = top + row.row_height - 1;  // the row's separator
    int right_line = info.header_cells[0].rect.right - 1;
    EXPECT_EQ(Px(image, right_line, top + 3), Rgb(ui::clRed));
    EXPECT_EQ(Px(image, info.header_cells[1].rect.left + 40, bottom_line), Rgb(ui::clRed));
    EXPECT_NE(Px(image, right_line - 1, top + 3), Rgb(ui::clRed));
}

TEST(Paint, IndicatorShowsTheArrowAndIsNeverOverpainted) {
    PaintFixture f;
    f.grid.SetShowIndicator(true);
    QImage image = Render(f.grid);
    TDrawInfo info = f.Info();
    ui::Rect first{info.indicator.left, info.node_area.top, info.indicator.right,
                   info.node_area.top + info.rows[0].row_height};
    EXPECT_TRUE(
        AnyPixel(image, first.Inflated(-2, -2), [](QColor c) { return c.lightness() < 30; }));
    ui::Rect second = first.Offset(0, info.rows[0].row_height);
    EXPECT_FALSE(
        AnyPixel(image, second.Inflated(-2, -2), [](QColor c) { return c.lightness() < 30; }));
    EXPECT_EQ(Px(image, first.left + 1, first.top + 1), Rgb(ui::clBtnFace));
    // Below the rows the indicator column is empty area in the window colour.
    EXPECT_EQ(Px(image, 3, info.empty_bottom.top + 5), Rgb(ui::clWindow));
}

TEST(Paint, FooterIsFramedAndFilled) {
    PaintFixture f;
    f.grid.SetShowFooter(true);
    QImage image = Render(f.grid);
    TDrawInfo info = f.Info();
    ASSERT_FALSE(info.footer.IsEmpty());
    EXPECT_EQ(Px(image, info.footer.left + 40, info.footer.top), Rgb(ui::clWindowFrame));
    EXPECT_EQ(Px(image, info.footer.left + 40, info.footer.top + 1), Rgb(ui::clBtnHighlight));
    EXPECT_EQ(Px(image, info.footer.left + 40, info.footer.top + 4), Rgb(ui::clBtnFace));
}

TEST(Paint, FooterCellsAlignLikeTheirColumnsCells) {
    PaintFixture f;
    f.grid.Columns(0)->SetAlignment(taRightJustify);
    f.grid.Columns(0)->SetHeaderAlignment(taLeftJustify);
    f.grid.Columns(1)->SetAlignment(taCenter);
    f.grid.SetShowFooter(true);
    f.grid.OnIsExistFooterCell = [](TCustomgxTreeListControl*, int, bool& exist) { exist = true; };
    std::vector<TAlignment> seen;
    f.grid.OnCustomDrawFooter = [&](TCustomgxTreeListControl*, ui::TCanvas&, const ui::Rect&,
                                    const TgxTreeListNode*, TgxTreeListColumn*, std::string&,
                                    ui::Color&, ui::TFont&, TAlignment& alignment,
                                    bool&) { seen.push_back(alignment); };
    Render(f.grid);
    EXPECT_EQ(seen, (std::vector<TAlignment>{taRightJustify, taCenter}));
}

TEST(Paint, PreviewTextUnderTheCellsInThePreviewFont) {
    struct Previewing : TCustomgxTreeListControl {
        std::string GetPreviewText(const TgxTreeListNode*) const override { return "Preview text"; }
    };
    ui::FixedTextMetrics metrics(7, 13);
    Previewing grid;
    grid.SetBorderStyle(bsNone);
    grid.SetScrollBars(ssNone);
    grid.resize(300, 200);
    grid.SetTextMetrics(&metrics);
    grid.CreateColumn()->SetWidth(200);
    grid.SetGridMode(true);
    grid.SetOptions(grid.Options() | tloPreview);
    grid.SetOptionsEx(grid.OptionsEx() & ~tlxAutoCalcPreviewLines);
    grid.SetPreviewLines(1);
    grid.Add();
    grid.Add();
    QImage image = Render(grid);
    TDrawInfo info;
    grid.CalcDrawInfo(info);
    const TRowInfo& row = info.rows[1];
    int top = info.node_area.top + info.rows[0].row_height;
    int preview_top = top + grid.DefaultRowHeight();
    ui::Rect preview{info.node_area.left, preview_top, 200, top + row.row_height};
    EXPECT_TRUE(AnyPixel(image, preview, [](QColor c) {
        return c.blue() > 150 && c.red() < 100 && c.green() < 100;
    }));
    EXPECT_FALSE(AnyPixel(image, {info.node_area.left, top, 200, preview_top}, [](QColor c) {
        return c.blue() > 150 && c.red() < 100 && c.green() < 100;
    }));
}

TEST(Paint, FixedBandSeparatorsAndScrolledBands) {
    GridFixture f(400, 150);
    f.grid.SetDefaultLayout(false);
    f.grid.Bands().Add();
    f.grid.Bands().Add();
    for (int b = 0; b < 3; ++b)
        f.AddColumn("C" + std::to_string(b), 150, b);
    f.grid.Bands().Items(0)->SetFixed(bfLeft);
    for (int b = 0; b < 3; ++b)
        f.grid.Bands().Items(b)->SetWidth(150);
    f.grid.SetShowBands(true);
    f.grid.Add();
    QImage image = Render(f.grid);
    TDrawInfo info;
    f.grid.CalcDrawInfo(info);
    ASSERT_FALSE(info.fixed_left_area.IsEmpty());
    EXPECT_EQ(Px(image, info.fixed_left_area.right - 1, info.band_panel.top + 3),
              Rgb(ui::clWindowFrame));
    EXPECT_EQ(Px(image, info.fixed_left_area.right - 2, info.band_panel.top + 3),
              Rgb(ui::clWindowFrame));
    EXPECT_NE(Px(image, info.fixed_left_area.right - 3, info.band_panel.top + 3),
              Rgb(ui::clWindowFrame));
}

TEST(Paint, ABandWithoutVisibleColumnsShowsTheBackgroundUnderIt) {
    GridFixture f(400, 150);
    f.grid.SetDefaultLayout(false);
    f.grid.Bands().Add();
    f.AddColumn("Shown", 150, 0);
    f.AddColumn("Hidden", 150, 1)->SetVisible(false);
    for (int b = 0; b < 2; ++b)
        f.grid.Bands().Items(b)->SetWidth(150);
    f.grid.SetShowBands(true);
    f.grid.SetColor(ui::clWhite);
    for (int i = 0; i < 3; ++i)
        f.grid.Add()->SetStrings(0, "row " + std::to_string(i));
    QImage image = Render(f.grid);
    TDrawInfo info;
    f.grid.CalcDrawInfo(info);
    ASSERT_EQ(info.empty_headers.size(), 1u);
    const ui::Rect band = info.empty_headers[0].rect;
    const int first_row = info.node_area.top;
    const int below_rows = first_row + 3 * f.grid.DefaultRowHeight() - 2;
    EXPECT_FALSE(AnyPixel(image, {band.left + 1, first_row, band.right - 1, below_rows},
                          [](QColor c) { return (c.rgb() & 0xFFFFFF) != 0xFFFFFF; }));
}

TEST(Paint, AThousandRowsInTwoBandsToPng) {
    TCustomgxTreeListControl grid;
    grid.SetBorderStyle(bsNone);
    grid.SetScrollBars(ssNone);
    grid.SetDefaultLayout(false);
    grid.Bands().Add();
    grid.Bands().Items(0)->SetCaption("Person");
    grid.Bands().Items(1)->SetCaption("Subscription");
    grid.SetShowBands(true);
    grid.SetShowGrid(true);
    grid.SetShowIndicator(true);
    grid.SetGridMode(true);
    const char* captions[] = {"E-mail", "Full Name", "Category", "Bounces"};
    const int widths[] = {220, 160, 120, 70};
    for (int i = 0; i < 4; ++i) {
        TgxTreeListColumn* c = grid.CreateColumn();
        c->SetCaption(captions[i]);
        c->SetBandIndex(i < 2 ? 0 : 1);
        c->SetWidth(widths[i]);
    }
    grid.Columns(3)->SetAlignment(taRightJustify);
    grid.Bands().Items(0)->SetWidth(380);
    grid.Bands().Items(1)->SetWidth(190);
    grid.BeginUpdate();
    for (int i = 0; i < 1000; ++i) {
        TgxTreeListNode* n = grid.Add();
        n->SetStrings(0, "member" + std::to_string(i) + "@example.com");
        n->SetStrings(1, "Member " + std::to_string(i));
        n->SetStrings(2, i % 3 == 0 ? "News" : "Announcements");
        n->SetStrings(3, std::to_string(i % 7));
    }
    grid.EndUpdate();
    TDrawInfo probe;
    grid.CalcDrawInfo(probe);
    int height =
        grid.BandPanelHeight() + grid.HeaderPanelHeight() + 1000 * grid.DefaultRowHeight() + 4;
    grid.resize(12 + 570 + 10, height);
    grid.setAttribute(Qt::WA_DontShowOnScreen);
    grid.show();
    QApplication::processEvents();
    grid.SetTopIndex(0);
    QImage image = Render(grid);
    TDrawInfo info;
    grid.CalcDrawInfo(info);
    ASSERT_EQ(info.rows.size(), 1000u);
    // The last row's text is there, near the bottom.
    int last_top = info.node_area.top + 999 * grid.DefaultRowHeight();
    EXPECT_TRUE(AnyPixel(image,
                         {info.node_area.left + 2, last_top, info.node_area.left + 200,
                          last_top + grid.DefaultRowHeight()},
                         [](QColor c) { return c.lightness() < 80; }));
    EXPECT_FALSE(AnyPixel(image, {0, 0, image.width(), image.height()},
                          [](QColor c) { return (c.rgb() & 0xFFFFFF) == 0xFF00FF; }));
    QString path = QString(CORVANE_TEST_OUTPUT_DIR) + "/grid_1000_rows_two_bands.png";
    ASSERT_TRUE(image.save(path)) << path.toStdString();
    EXPECT_TRUE(QFile::exists(path));
    // The first screenful on its own, easier to look at.
    image.copy(0, 0, image.width(), 320)
        .save(QString(CORVANE_TEST_OUTPUT_DIR) + "/grid_1000_rows_two_bands_top.png");
}

}  // namespace
}  // namespace grid
