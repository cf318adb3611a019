#include <gtest/gtest.h>

#include <numeric>

#include "grid/core/draw_utils.h"
#include "tests/grid/grid_fixture.h"

namespace grid {
namespace {

using testing::GridFixture;

TEST(Layout, MetricsFollowTheFontsAndTheLook) {
    GridFixture f(400, 300);
    TCustomgxTreeListControl& g = f.grid;
    EXPECT_EQ(g.ClientRect(), (ui::Rect{0, 0, 400, 300}));
    EXPECT_EQ(g.HeaderRowHeight(), 13 + 5 + 1);
    EXPECT_EQ(g.HeaderPanelHeight(), 19);
    EXPECT_EQ(g.BandPanelHeight(), 0);    // bands hidden
    EXPECT_EQ(g.DefaultRowHeight(), 16);  // 13 + 3, raised to 16
    EXPECT_EQ(g.FooterRowHeight(), 20);
    g.SetLookAndFeel(lfFlat);
    EXPECT_EQ(g.HeaderRowHeight(), 18);
    g.SetShowBands(true);
    EXPECT_EQ(g.BandPanelHeight(), 18);
    g.SetShowGrid(true);
    EXPECT_EQ(g.DefaultRowHeight(), 17);  // one more for the grid line
    g.SetShowFooter(true);
    EXPECT_EQ(g.FooterHeight(), 20 + 3);
    g.SetLookAndFeel(lfStandard);
    EXPECT_EQ(g.FooterHeight(), 20 + 4);
}

TEST(Layout, DefaultRowHeightIsRaisedToTheMinimumAndForgetsAnEqualValue) {
    GridFixture f(400, 300);
    f.grid.SetDefaultRowHeight(10);
    EXPECT_EQ(f.grid.DefaultRowHeight(), 16);
    EXPECT_FALSE(f.grid.DefaultRowHeightExplicit());
    f.grid.SetDefaultRowHeight(24);
    EXPECT_EQ(f.grid.DefaultRowHeight(), 24);
    EXPECT_TRUE(f.grid.DefaultRowHeightExplicit());
}

TEST(Layout, PropertyLimits) {
    GridFixture f(100, 100);
    f.grid.SetCustomizingRowCount(1);
    EXPECT_EQ(f.grid.CustomizingRowCount(), 2);
    f.grid.SetFixedBandLineWidth(0);
    EXPECT_EQ(f.grid.FixedBandLineWidth(), 1);
    f.grid.SetIndentDesc(-3);
    EXPECT_EQ(f.grid.IndentDesc(), 0);
    f.grid.SetMaxRowLineCount(-5);
    EXPECT_EQ(f.grid.MaxRowLineCount(), -1);
    f.grid.SetPreviewLines(-5);
    EXPECT_EQ(f.grid.PreviewLines(), -1);
}

// Three bands of 100, 150 and 77 pixels (minimum 30), AutoWidth on.
struct ThreeBands : GridFixture {
    explicit ThreeBands(int width) : GridFixture(width, 200) {
        grid.SetDefaultLayout(false);
        grid.Bands().Add();
        grid.Bands().Add();
        const int widths[] = {100, 150, 77};
        for (int i = 0; i < 3; ++i)
            grid.Bands().Items(i)->SetWidth(widths[i]);
        grid.SetOptions(grid.Options() | tloAutoWidth);
    }
    int DisplaySum() {
        int sum = grid.GetGroupIndentWidth();
        for (int i = 0; i < grid.GetBandCount(); ++i)
            sum += grid.GetBandDisplayWidth(i);
        return sum;
    }
};

TEST(Layout, AutoWidthBandsAddUpExactly) {
    for (int width : {401, 333, 1000, 327, 97, 50}) {
        ThreeBands f(width);
        int total = f.grid.GetBandsWidth();
        EXPECT_EQ(f.DisplaySum(), total) << width;
        for (int i = 0; i < 3; ++i)
            EXPECT_GE(f.grid.GetBandDisplayWidth(i), 30) << width << " band " << i;
        if (width >= 90)
            EXPECT_EQ(total, width);
        else
            EXPECT_EQ(total, 90);  // the sum of the minimum widths: the client is too narrow
    }
}

TEST(Layout, AutoWidthWithoutSizableBandsIsTheSumOfMinimums) {
    ThreeBands f(500);
    for (int i = 0; i < 3; ++i)
        f.grid.Bands().Items(i)->SetSizing(false);
    // A band that may not be sized has its own width as its minimum.
    EXPECT_EQ(f.grid.GetBandsWidth(), 100 + 150 + 77);
}

TEST(Layout, ABandHeldAtItsMinimumLeavesTheRestToTheOthers) {
    ThreeBands f(200);
    f.grid.Bands().Items(0)->SetMinWidth(90);  // its share of 200 would be 61
    EXPECT_EQ(f.grid.GetBandDisplayWidth(0), 90);
    EXPECT_EQ(f.DisplaySum(), 200);
}

TEST(Layout, ZeroWidthsShareNothingAndNeverGoNegative) {
    ThreeBands f(300);
    for (int i = 0; i < 3; ++i) {
        f.grid.Bands().Items(i)->SetMinWidth(0);
        f.grid.Bands().Items(i)->SetWidth(0);
    }
    for (int i = 0; i < 3; ++i)
        EXPECT_GE(f.grid.GetBandDisplayWidth(i), 0);
    EXPECT_EQ(f.DisplaySum(), 300);

    GridFixture g(300, 100);
    TgxTreeListColumn* a = g.AddColumn("A", 0);
    TgxTreeListColumn* b = g.AddColumn("B", 0);
    a->SetMinWidth(0);
    b->SetMinWidth(0);
    a->SetWidth(0);
    b->SetWidth(0);
    std::vector<int> widths = g.grid.RowCellWidths(0, 0, 100);
    ASSERT_EQ(widths.size(), 2u);
    EXPECT_EQ(widths[0], 0);
    EXPECT_EQ(widths[1], 100);
}

TEST(Layout, BandHeaderWidthFollowsTheWidestRow) {
    GridFixture f(600, 200);
    f.grid.SetDefaultLayout(false);
    f.grid.Bands().Add();
    f.grid.SetHeaderPanelRowCount(2);
    f.AddColumn("A", 80, 0, 0);
    f.AddColumn("B", 90, 0, 0);
    f.AddColumn("C", 200, 0, 1);
    f.grid.SetOptionsEx(f.grid.OptionsEx() | tlxBandHeaderWidth);
    EXPECT_EQ(f.grid.CalcBandWidth(0), 200);
    EXPECT_EQ(f.grid.CalcBandWidth(1), 250);  // no columns: its own Width
    EXPECT_EQ(f.grid.CalcBandMinWidth(0), 40);
}

TEST(Layout, HeaderCellsFillTheirBandRowExactly) {
    GridFixture f(500, 200);
    f.AddColumn("A", 100);
    f.AddColumn("B", 133);
    f.AddColumn("C", 71);
    f.grid.SetOptions(f.grid.Options() | tloAutoWidth);
    TDrawInfo info;
    f.grid.CalcDrawInfo(info);
    ASSERT_EQ(info.header_cells.size(), 3u);
    int sum = 0;
    for (const THeaderCellInfo& hc : info.header_cells)
        sum += hc.rect.Width();
    EXPECT_EQ(sum, 500);
    EXPECT_EQ(info.header_cells.back().rect.right, 500);
    EXPECT_TRUE(info.header_cells.front().first_of_header);
    EXPECT_TRUE(info.header_cells.back().last_of_header);
    // Proportional: 500 * 100 / 304 rounds to 164.
    EXPECT_EQ(info.header_cells[0].rect.Width(), 164);
}

TEST(Layout, DrawInfoRectanglesOfAPlainGrid) {
    GridFixture f(300, 200);
    f.AddColumn("A", 100);
    f.AddColumn("B", 80);
    f.grid.SetShowIndicator(true);
    f.grid.SetShowBands(true);
    for (int i = 0; i < 3; ++i)
        f.grid.Add();
    TDrawInfo info;
    f.grid.CalcDrawInfo(info);
    EXPECT_EQ(info.client, (ui::Rect{0, 0, 300, 200}));
    EXPECT_EQ(info.band_panel, (ui::Rect{12, 0, 12 + 180, 19}));  // ends at the bands' edge
    EXPECT_EQ(info.band_button, (ui::Rect{0, 0, 12, 19}));
    EXPECT_EQ(info.header_panel, (ui::Rect{12, 19, 192, 38}));
    EXPECT_EQ(info.header_button, (ui::Rect{0, 19, 12, 38}));
    EXPECT_EQ(info.node_area, (ui::Rect{12, 38, 300, 200}));
    EXPECT_EQ(info.empty_right, (ui::Rect{192, 0, 300, 200}));
    ASSERT_EQ(info.band_cells.size(), 1u);
    EXPECT_EQ(info.band_cells[0].rect, (ui::Rect{12, 0, 192, 19}));
    ASSERT_EQ(info.header_cells.size(), 2u);
    EXPECT_EQ(info.header_cells[0].rect, (ui::Rect{12, 19, 112, 38}));
    EXPECT_EQ(info.header_cells[1].rect, (ui::Rect{112, 19, 192, 38}));
    ASSERT_EQ(info.rows.size(), 3u);
    EXPECT_EQ(info.rows[0].row_height, 16);
    EXPECT_EQ(info.rows[0].indicator_kind, 1);  // the focused row's arrow
    int rows_bottom = 38 + 3 * 16;
    EXPECT_EQ(info.last_row_bottom, rows_bottom - 1);
    EXPECT_EQ(info.empty_bottom, (ui::Rect{0, rows_bottom, 192, 200}));
    EXPECT_EQ(info.indicator, (ui::Rect{0, 38, 12, rows_bottom}));
    EXPECT_EQ(info.bands_right_edge, 191);
    EXPECT_EQ(info.first_band_extent, 180);
    EXPECT_EQ(info.fixed_left_band, -1);
    EXPECT_EQ(info.fixed_left_area, ui::Rect{});
}

TEST(Layout, RowsAreCollectedWhateverTheirHeights) {
    GridFixture f(200, 400);
    f.AddColumn("A", 100);
    f.grid.SetDefaultRowHeight(16);
    for (int i = 0; i < 100; ++i)
        f.grid.Add();
    TDrawInfo info;
    f.grid.CalcDrawInfo(info);
    int expected = (400 - 19 + 15) / 16;  // rows that start inside the node area
    EXPECT_EQ(static_cast<int>(info.rows.size()), expected);
    EXPECT_EQ(info.last_row_bottom, -1);
}

TEST(Layout, RowHeightsWithGridPreviewAndGroups) {
    struct Preview : TCustomgxTreeListControl {
        TgxTreeListNode* group = nullptr;
        bool GetNodeHasChildrenQuery(const TgxTreeListNode* n) const override { return n == group; }
    };
    ui::FixedTextMetrics metrics(7, 13);
    Preview grid;
    grid.SetTextMetrics(&metrics);
    grid.SetShowGrid(true);
    grid.SetOptions(grid.Options() | tloPreview);
    grid.SetOptionsEx(grid.OptionsEx() & ~tlxAutoCalcPreviewLines);
    TgxTreeListNode* row = grid.Add();
    grid.group = grid.Add();
    int dh = grid.DefaultRowHeight();
    EXPECT_EQ(dh, 17);
    // separator + line + 2 preview lines + 2.
    EXPECT_EQ(grid.GetNodeRowHeight(row, dh, true), 1 + 17 + 2 * 13 + 2);
    EXPECT_EQ(grid.GetNodeRowHeight(grid.group, dh, true), 1 + 17 - 1);  // one line, no preview
    grid.SetPreviewLines(0);
    EXPECT_EQ(grid.GetNodeRowHeight(row, dh, true), 1 + 17 - 1);
}

TEST(Layout, RowFootersUnderLastChildrenOfEveryLevelWithFooters) {
    struct Footers : TCustomgxTreeList {
        bool IsExistRowFooter(int) const override { return true; }
    } tree;
    tree.SetShowRowFooter(true);
    TgxTreeListNode* a = tree.Add();
    TgxTreeListNode* b = a->AddChild();
    TgxTreeListNode* c = b->AddChild();
    TgxTreeListNode* d = c->AddChild();
    c->AddChild();  // d is no longer the last child
    TgxTreeListNode* e = c->GetLastChild();
    EXPECT_EQ(tree.GetNodeFooterCount(e), 3);
    EXPECT_EQ(tree.GetNodeFooterCount(d), 0);
    EXPECT_EQ(tree.GetNodeFooterLevel(e, 0), 2);
    EXPECT_EQ(tree.GetNodeFooterLevel(e, 2), 0);
}

TEST(Layout, HeaderRowSnapping) {
    GridFixture f(300, 300);
    f.grid.SetHeaderPanelMaxRowCount(5);
    // Header row height 19; the panel starts at 0 with the bands hidden.
    EXPECT_EQ(f.grid.CalcHeaderRowCountAt(5), 1);
    EXPECT_EQ(f.grid.CalcHeaderRowCountAt(28), 1);
    EXPECT_EQ(f.grid.CalcHeaderRowCountAt(29), 2);
    EXPECT_EQ(f.grid.CalcHeaderRowCountAt(-40), 1);
}

TEST(Layout, LineCountingNeverDividesByZero) {
    EXPECT_EQ(CountTextLines(50, 0, 0, -1), 0);
    EXPECT_EQ(CountTextLines(50, 13, 0, -1), 3);
    EXPECT_EQ(CountTextLines(50, 0, 10, 2), 2);
    EXPECT_EQ(CountTextLines(-5, 10, 10, -1), 0);
}

}  // namespace
}  // namespace grid

namespace grid {
namespace {

TEST(Sizing, PanelLinesSnapToWholeRows) {
    testing::GridFixture f(400, 300);
    f.AddColumn("A", 100);
    f.grid.Add();
    f.grid.SetShowBands(true);
    // Band rows: 13 a line + 6 (standard look), panel at the top of the client.
    struct Case {
        int y;
        int line;
    };
    for (const Case& c :
         {Case{0, 19}, Case{24, 19}, Case{25, 32}, Case{37, 32}, Case{38, 45}, Case{1000, 71}}) {
        int draw_y = -1, y2 = -1;
        f.grid.SnapBandPanelSizingLine(c.y, draw_y, y2);
        EXPECT_EQ(draw_y, c.line) << c.y;
        EXPECT_EQ(y2, c.line) << c.y;
    }
    // Header rows of 19 below the band panel (19 high); at most HeaderPanelMaxRowCount (5).
    for (const Case& c : {Case{19, 38}, Case{19 + 28, 38}, Case{19 + 29, 57}, Case{1000, 114}}) {
        int draw_y = -1, y2 = -1;
        f.grid.SnapHeaderPanelSizingLine(c.y, draw_y, y2);
        EXPECT_EQ(draw_y, c.line) << c.y;
    }
    // Without a band panel the band line does not move.
    f.grid.SetShowBands(false);
    int draw_y = 7, y2 = 7;
    f.grid.SnapBandPanelSizingLine(50, draw_y, y2);
    EXPECT_EQ(draw_y, 7);
}

TEST(Sizing, RowBandAndColumnLimits) {
    testing::GridFixture f(400, 300);
    TgxTreeListColumn* a = f.AddColumn("A", 100);
    f.AddColumn("B", 120);
    TgxTreeListNode* node = f.grid.Add();
    TDrawInfo info;
    f.grid.CalcDrawInfo(info);
    int max_y = 0, min_y = 0;
    f.grid.GetRowSizingLimits(node, 50, max_y, min_y);
    EXPECT_EQ(min_y, 50 + f.grid.GetNodeRowHeight(node, f.grid.RowLineHeight(), true));
    EXPECT_EQ(max_y, info.node_area.bottom - 1);
    f.grid.SetShowFooter(true);
    f.grid.CalcDrawInfo(info);
    f.grid.GetRowSizingLimits(node, 50, max_y, min_y);
    EXPECT_EQ(max_y, info.footer.top - 1);

    int max_x = 0, min_x = 0, left_x = -1;
    f.grid.GetBandSizingLimits(0, 0, max_x, min_x, left_x);
    EXPECT_EQ(left_x, info.band_cells[0].rect.left);
    EXPECT_EQ(min_x, left_x + f.grid.CalcBandMinWidth(0));
    EXPECT_EQ(max_x, 400 - 2);
    f.grid.SetOptionsEx(f.grid.OptionsEx() | tlxFullSizing);
    f.grid.GetBandSizingLimits(0, 0, max_x, min_x, left_x);
    EXPECT_EQ(max_x, 100000);

    a->SetMinWidth(30);
    f.grid.CalcDrawInfo(info);
    const THeaderCellInfo& second = info.header_cells[1];
    f.grid.GetColumnSizingLimits(1, 0, max_x, min_x, left_x);
    EXPECT_EQ(left_x, second.rect.left);
    EXPECT_EQ(min_x, second.rect.left + 20);
    EXPECT_EQ(max_x, 100000);  // AutoWidth off and full sizing
    f.grid.SetOptionsEx(f.grid.OptionsEx() & ~tlxFullSizing);
    f.grid.GetColumnSizingLimits(0, 0, max_x, min_x, left_x);
    EXPECT_EQ(min_x, info.header_cells[0].rect.left + 30);
    // The default layout follows its headers and shows no bands: up to the client's edge.
    EXPECT_EQ(max_x, 400 - 1);
    f.grid.SetDefaultLayout(false);
    f.grid.SetOptionsEx(f.grid.OptionsEx() & ~tlxBandHeaderWidth);
    f.grid.CalcDrawInfo(info);
    f.grid.GetColumnSizingLimits(0, 0, max_x, min_x, left_x);
    EXPECT_EQ(max_x, info.band_cells[0].rect.right);
}

}  // namespace
}  // namespace grid

namespace grid {
namespace {

TEST(Layout, FontsFollowTheParentUntilOneIsChangedOnItsOwn) {
    QWidget parent;
    auto* grid = new TCustomgxTreeListControl(&parent);
    ui::TFont big;
    big.SetSize(12);
    big.SetStyle(static_cast<unsigned>(ui::fsBold));
    grid->ParentFontChanged(big);
    EXPECT_TRUE(grid->ParentFont());
    EXPECT_EQ(grid->Font().Size(), 12);
    EXPECT_EQ(grid->BandFont().Size(), 12);
    EXPECT_EQ(grid->HeaderFont().Style(), static_cast<unsigned>(ui::fsBold));
    EXPECT_EQ(grid->PreviewFont().Size(), 12);
    EXPECT_EQ(grid->PreviewFont().GetColor(), ui::clBlue);
    // Through Qt: the parent's font reaches the grid.
    parent.setFont(QFont("DejaVu Sans", 11));
    EXPECT_EQ(grid->HeaderFont().Size(), 11);
    EXPECT_EQ(grid->PreviewFont().GetColor(), ui::clBlue);
    // A font changed on its own stops the following.
    grid->HeaderFont().SetSize(9);
    EXPECT_FALSE(grid->ParentFont());
    grid->ParentFontChanged(big);
    EXPECT_EQ(grid->HeaderFont().Size(), 9);
    EXPECT_EQ(grid->BandFont().Size(), 11);
}

}  // namespace
}  // namespace grid
