#include <gtest/gtest.h>

#include <QApplication>

#include "tests/grid/grid_fixture.h"
#include "tests/grid/paint_probe.h"

namespace grid {
namespace {

using testing::AnyPixel;
using testing::GridFixture;
using testing::Px;
using testing::Render;
using testing::Rgb;

TDrawInfo Info(TCustomgxTreeList& grid) {
    TDrawInfo info;
    grid.CalcDrawInfo(info);
    return info;
}

bool Dark(QColor c) {
    return c.lightness() < 60;
}

TEST(RowPainter, DottedTreeLinesKeepOneDotPhaseWhereverTheRowsStart) {
    struct Case {
        const char* name;
        bool header;
        bool indicator;
        TTreeLineStyle style;
    };
    const Case cases[] = {
        {"header, no indicator", true, false, tlsDotted},
        {"header and indicator", true, true, tlsDotted},
        {"no header", false, false, tlsDotted},
        {"solid", true, true, tlsSolid},
    };
    for (const Case& c : cases) {
        GridFixture f(300, 150);
        f.AddColumn("Name", 150);
        f.grid.Add();
        f.grid.Add();
        f.grid.SetShowHeader(c.header);
        f.grid.SetShowIndicator(c.indicator);
        f.grid.TreeLineStyle = c.style;
        QImage image = Render(f.grid);
        TDrawInfo info = Info(f.grid);
        ASSERT_EQ(info.rows.size(), 2u) << c.name;
        const int h = info.rows[0].row_height;
        const int top = info.node_area.top;
        const int x = info.node_area.left + 7;
        // The first node's line runs from its middle down, the last node's from the top
        // to its middle, and each has a horizontal arm to the slot's right edge.
        std::vector<ui::Point> line;
        for (int y = top + h / 2; y < top + h + h / 2; ++y)
            line.push_back({x, y});
        for (int ax = x; ax < info.node_area.left + 16; ++ax)
            line.push_back({ax, top + h / 2});
        for (ui::Point p : line) {
            bool dot = c.style == tlsSolid || (p.x + p.y) % 2 == 0;
            EXPECT_EQ(Px(image, p.x, p.y), Rgb(dot ? ui::clGrayText : ui::clWindow))
                << c.name << " at " << p.x << "," << p.y;
        }
        // Below the last node's middle there is no line.
        EXPECT_EQ(Px(image, x, top + h + h / 2 + 2), Rgb(ui::clWindow)) << c.name;
        EXPECT_EQ(Px(image, x + 1, top + h + h / 2 + 3), Rgb(ui::clWindow)) << c.name;
    }
}

// A grouped grid: a parent row with two children in grid mode.
struct GroupedGrid : GridFixture {
    TgxTreeListNode* parent;
    TgxTreeListNode* child;
    GroupedGrid() : GridFixture(320, 200) {
        AddColumn("Name", 120);
        AddColumn("Mail", 150);
        grid.SetGridMode(true);
        parent = grid.Add();
        parent->AddChild()->SetStrings(0, "first");
        child = parent->AddChild();
        child->SetStrings(0, "second");
        parent->SetExpanded(true);
    }
    int RowTop(int row) {
        TDrawInfo info = Info(grid);
        int y = info.node_area.top;
        for (int i = 0; i < row; ++i)
            y += info.rows[static_cast<std::size_t>(i)].row_height;
        return y;
    }
};

TEST(RowPainter, LevelColoursFillTheGroupSlotsAndTheGlyphShowsTheState) {
    GroupedGrid f;
    f.grid.GridLineColor = ui::clRed;
    const int left = Info(f.grid).node_area.left;
    const int child_mid = f.RowTop(1) + f.grid.DefaultRowHeight() / 2;
    QImage plain = Render(f.grid);
    EXPECT_EQ(Px(plain, left + 5, child_mid), Rgb(ui::clBtnFace));
    // The slot's last column is the separator, drawn in the window colour without grid lines.
    EXPECT_EQ(Px(plain, left + 15, child_mid), Rgb(ui::clWindow));

    std::vector<int> asked;
    f.grid.OnGetLevelColor = [&](TCustomgxTreeListControl*, int level, ui::Color& c) {
        asked.push_back(level);
        if (level == 0)
            c = ui::clYellow;
    };
    QImage coloured = Render(f.grid);
    EXPECT_EQ(Px(coloured, left + 5, child_mid), Rgb(ui::clYellow));
    EXPECT_FALSE(asked.empty());
    // The parent row itself is no group row of this grid: its slot keeps the group colour.
    const int parent_top = f.RowTop(0);
    EXPECT_EQ(Px(coloured, left + 1, parent_top + 1), Rgb(ui::clBtnFace));

    // The 12 x 12 glyph: a minus bar always, the plus bar only while collapsed.
    const int h = Info(f.grid).rows[0].row_height;
    const int gx = left + (16 - 12 + 1) / 2;
    const int gy = parent_top + (h - 12 + 1) / 2;
    EXPECT_EQ(Px(coloured, gx + 4, gy + 5), Rgb(ui::clBtnText));
    EXPECT_EQ(Px(coloured, gx + 5, gy + 3), Rgb(ui::clBtnFace));
    f.parent->SetExpanded(false);
    QImage collapsed = Render(f.grid);
    EXPECT_EQ(Px(collapsed, gx + 4, gy + 5), Rgb(ui::clBtnText));
    EXPECT_EQ(Px(collapsed, gx + 5, gy + 3), Rgb(ui::clBtnText));
}

struct FooterGrid : TCustomgxTreeListControl {
    bool IsExistRowFooter(int level) const override { return level == 0; }
    bool IsExistRowFooterCell(const TgxTreeListNode*, int column, int) const override {
        return column == 1;
    }
    std::string GetRowFooterText(const TgxTreeListNode*, int, int) const override {
        return "Total";
    }
};

TEST(RowPainter, RowFootersDrawSunkenCellsOnTheFooterColour) {
    ui::FixedTextMetrics metrics(7, 13);
    FooterGrid grid;
    grid.SetBorderStyle(bsNone);
    grid.SetScrollBars(ssNone);
    grid.resize(320, 200);
    grid.SetTextMetrics(&metrics);
    for (int i = 0; i < 2; ++i) {
        TgxTreeListColumn* c = grid.CreateColumn();
        c->SetWidth(i == 0 ? 120 : 150);
    }
    grid.SetGridMode(true);
    grid.SetShowRowFooter(true);
    grid.RowFooterColor = ui::clYellow;
    TgxTreeListNode* parent = grid.Add();
    parent->AddChild();
    TgxTreeListNode* last = parent->AddChild();
    parent->SetExpanded(true);
    TDrawInfo info = Info(grid);
    ASSERT_EQ(info.rows.size(), 3u);
    ASSERT_EQ(info.rows[2].node, last);
    ASSERT_EQ(info.rows[2].row_footer_count, 1);
    QImage image = Render(grid);
    int top = info.node_area.top + info.rows[0].row_height + info.rows[1].row_height;
    int footers_top = top + info.rows[2].row_height - info.rows[2].row_footer_height;
    ui::Rect band;
    grid.GetRowFooterRect(last, 0, band, info, 0, footers_top);
    EXPECT_EQ(band, (ui::Rect{info.node_area.left + 16, footers_top,
                              info.node_area.left + grid.GetBandsWidth(),
                              footers_top + grid.RowFooterHeight()}));
    // Under column 0 no cell: the footer colour.
    EXPECT_EQ(Px(image, band.left + 10, band.top + 5), Rgb(ui::clYellow));
    // Column 1: a sunken cell one pixel inside, with its text on the footer colour.
    const THeaderCellInfo& hc = info.header_cells[1];
    const int frh = grid.FooterRowHeight();
    EXPECT_EQ(Px(image, hc.rect.left + 1, band.top + 1), Rgb(ui::clBtnShadow));
    EXPECT_EQ(Px(image, hc.rect.right - 2, band.top + frh - 2), Rgb(ui::clBtnHighlight));
    EXPECT_EQ(Px(image, hc.rect.right - 6, band.top + frh / 2), Rgb(ui::clYellow));
    EXPECT_TRUE(AnyPixel(
        image, {hc.rect.left + 2, band.top + 2, hc.rect.left + 50, band.top + frh - 2}, Dark));
    // The row above its footer keeps its cells.
    EXPECT_EQ(Px(image, hc.rect.right - 6, top + 3), Rgb(ui::clWindow));
}

TEST(RowPainter, NewItemRowDrawsItsCellsInTheNewItemMode) {
    GridFixture f(320, 200);
    f.AddColumn("Name", 120);
    f.AddColumn("Mail", 150);
    f.grid.SetShowIndicator(true);
    f.grid.SetShowGrid(true);
    f.grid.GridLineColor = ui::clRed;
    f.grid.SetShowNewItemRow(true);
    f.grid.Add();
    int new_item_cells = 0;
    f.grid.OnCustomDrawCell = [&](TCustomgxTreeListControl*, ui::TCanvas&, const ui::Rect&,
                                  const TgxTreeListNode*, TgxTreeListColumn*, bool, bool,
                                  bool new_item, std::string& text, ui::Color& color, ui::TFont&,
                                  TAlignment&, bool&) {
        if (new_item) {
            ++new_item_cells;
            color = ui::clAqua;
            text = "new";
        }
    };
    TDrawInfo info = Info(f.grid);
    const ui::Rect& strip = info.new_item_row;
    ASSERT_FALSE(strip.IsEmpty());
    EXPECT_EQ(strip.Height(), f.grid.DefaultRowHeight() + 6);
    QImage image = Render(f.grid);
    EXPECT_EQ(new_item_cells, 2);
    const int cells_bottom = strip.top + f.grid.DefaultRowHeight() - 1;
    const THeaderCellInfo& second = info.header_cells[1];
    EXPECT_EQ(Px(image, second.rect.right - 8, strip.top + 3), Rgb(ui::clAqua));
    // The grid lines of the new-item cells, and the strip that separates them from the rows.
    EXPECT_EQ(Px(image, info.header_cells[0].rect.right - 1, strip.top + 3), Rgb(ui::clRed));
    EXPECT_EQ(Px(image, second.rect.left + 60, cells_bottom - 1), Rgb(ui::clRed));
    EXPECT_EQ(Px(image, second.rect.left + 60, strip.bottom - 2), Rgb(ui::clBtnFace));
    // The insert glyph in the indicator cell.
    EXPECT_TRUE(AnyPixel(image, {strip.left + 2, strip.top + 2, strip.left + 10, strip.bottom - 2},
                         [](QColor c) { return c.lightness() < 30; }));
}

TEST(RowPainter, NewItemRowShortensTheFixedBandSeparators) {
    GridFixture f(400, 150);
    f.grid.SetDefaultLayout(false);
    f.grid.Bands().Add();
    f.AddColumn("A", 100, 0);
    f.AddColumn("B", 100, 1);
    f.grid.Bands().Items(0)->SetFixed(bfLeft);
    f.grid.SetShowNewItemRow(true);
    TDrawInfo info = Info(f.grid);
    ASSERT_FALSE(info.new_item_row.IsEmpty());
    ASSERT_FALSE(info.fixed_left_area.IsEmpty());
    EXPECT_EQ(info.fixed_left_area.bottom, info.new_item_row.top + f.grid.DefaultRowHeight());
}

TEST(RowPainter, PreviewHooksRunInOrderAndDoneStopsTheRest) {
    struct Previewing : TCustomgxTreeListControl {
        std::string GetPreviewText(const TgxTreeListNode*) const override { return "Preview"; }
    };
    ui::FixedTextMetrics metrics(7, 13);
    Previewing grid;
    grid.SetBorderStyle(bsNone);
    grid.SetScrollBars(ssNone);
    grid.resize(300, 120);
    grid.SetTextMetrics(&metrics);
    grid.CreateColumn()->SetWidth(200);
    grid.SetGridMode(true);
    grid.SetOptions(grid.Options() | tloPreview);
    grid.SetOptionsEx(grid.OptionsEx() & ~tlxAutoCalcPreviewLines);
    grid.SetPreviewLines(1);
    grid.Add();
    std::vector<std::string> calls;
    bool done_first = false;
    grid.OnCustomDrawPreview = [&](TCustomgxTreeListControl*, ui::TCanvas&, const ui::Rect&,
                                   const TgxTreeListNode*, bool, std::string& text, bool& done) {
        calls.push_back("preview:" + text);
        done = done_first;
    };
    grid.OnCustomDrawPreviewCell = [&](TCustomgxTreeListControl*, ui::TCanvas&, const ui::Rect&,
                                       const TgxTreeListNode*, bool, std::string&, ui::Color& color,
                                       ui::Color&, ui::TFont&, bool&) {
        calls.push_back("cell");
        color = ui::clYellow;
    };
    TDrawInfo info = Info(grid);
    const int preview_y = info.node_area.top + grid.DefaultRowHeight() + 3;
    QImage image = Render(grid);
    EXPECT_EQ(calls, (std::vector<std::string>{"preview:Preview", "cell"}));
    EXPECT_EQ(Px(image, 190, preview_y), Rgb(ui::clYellow));
    calls.clear();
    done_first = true;
    Render(grid);
    EXPECT_EQ(calls, (std::vector<std::string>{"preview:Preview"}));
}

TEST(HeaderPainter, GlyphAtTheLeftWithItsTransparentColourLeftOut) {
    GridFixture f(320, 150);
    TgxTreeListColumn* c = f.AddColumn("Name", 120);
    f.AddColumn("Mail", 150);
    QImage glyph(8, 8, QImage::Format_RGB32);
    glyph.fill(Qt::red);
    glyph.setPixel(0, 7, qRgb(255, 255, 255));  // the transparent colour
    glyph.setPixel(2, 2, qRgb(255, 255, 255));
    c->SetHeaderGlyph(&glyph);
    ASSERT_NE(c->HeaderGlyph(), nullptr);
    TDrawInfo info = Info(f.grid);
    const THeaderCellInfo& hc = info.header_cells[0];
    const int gx = hc.rect.left + 2;
    const int gy = hc.rect.top + (hc.rect.Height() - 8 + 1) / 2;
    QImage image = Render(f.grid);
    EXPECT_EQ(Px(image, gx + 4, gy + 4), Rgb(ui::clRed));
    EXPECT_EQ(Px(image, gx + 2, gy + 2), Rgb(ui::clBtnFace));
    // A copy travels with Assign; nil removes it.
    TgxTreeListColumn* copy = f.grid.CreateColumn();
    copy->Assign(*c);
    ASSERT_NE(copy->HeaderGlyph(), nullptr);
    EXPECT_EQ(copy->HeaderGlyph()->pixel(4, 4), glyph.pixel(4, 4));
    copy->SetVisible(false);
    c->SetHeaderGlyph(nullptr);
    EXPECT_EQ(c->HeaderGlyph(), nullptr);
    QImage plain = Render(f.grid);
    EXPECT_FALSE(AnyPixel(plain, {gx, gy, gx + 8, gy + 8},
                          [](QColor q) { return (q.rgb() & 0xFFFFFF) == 0xFF0000; }));
}

TEST(RowPainter, ADragObjectHighlightsTheFocusedRowAndHidesTheUnfocusedFrame) {
    GridFixture f(320, 200);
    f.AddColumn("Name", 120);
    f.AddColumn("Mail", 150);
    f.grid.SetGridMode(true);
    f.grid.SetOptions(static_cast<TLOptions>(f.grid.Options() & ~tloRowSelect));
    f.grid.SetHideFocusRect(false);
    f.grid.Add();
    f.grid.Add();
    f.grid.SetFocusedNodeColumn(f.grid.Items(0), 0, true);
    f.grid.clearFocus();
    QApplication::processEvents();
    ASSERT_FALSE(f.grid.PaintFocused());
    ui::Rect cell = f.grid.GetCellRect(f.grid.Items(0), 0);
    const int x = f.grid.GetCellRect(f.grid.Items(0), 1).right - 6;
    const int y = cell.top + cell.Height() / 2;

    QImage plain = Render(f.grid);
    EXPECT_EQ(Px(plain, x, y), Rgb(ui::clWindow));
    EXPECT_EQ(Px(plain, cell.left, cell.top), 0x000000u);  // the inverted frame

    QObject dragged;
    f.grid.SetDragObject(&dragged);
    QImage dragging = Render(f.grid);
    EXPECT_EQ(Px(dragging, x, y), Rgb(ui::clHighlight));
    EXPECT_EQ(Px(dragging, cell.left, cell.top), Rgb(ui::clHighlight));
    EXPECT_EQ(Px(dragging, x, y + cell.Height()), Rgb(ui::clWindow));  // other rows
}

}  // namespace
}  // namespace grid

namespace grid {
namespace {

// A tree with buttons, lines, grid lines and row footers leaves no pixel unpainted; the
// picture goes under the build folder for a person to look at.
TEST(RowPainter, TreeWithFootersPaintsEveryPixel) {
    for (bool grid_mode : {false, true}) {
        ui::FixedTextMetrics metrics(7, 13);
        FooterGrid grid;
        grid.SetBorderStyle(bsNone);
        grid.SetScrollBars(ssNone);
        grid.resize(360, 260);
        grid.SetTextMetrics(&metrics);
        grid.SetShowIndicator(true);
        grid.SetShowGrid(true);
        grid.SetShowRowFooter(true);
        grid.SetGridMode(grid_mode);
        for (const char* caption : {"Name", "Count"})
            grid.CreateColumn()->SetCaption(caption);
        for (int i = 0; i < 2; ++i) {
            TgxTreeListNode* top = grid.Add();
            top->SetStrings(0, "Group " + std::to_string(i));
            for (int j = 0; j < 3; ++j) {
                TgxTreeListNode* child = top->AddChild();
                child->SetStrings(0, "Item " + std::to_string(j));
                child->SetStrings(1, std::to_string(j));
                if (j == 1)
                    child->AddChild()->SetStrings(0, "Detail");
            }
            top->Expand(true);
        }
        QImage image = testing::Render(grid);
        EXPECT_FALSE(testing::AnyPixel(image, {0, 0, image.width(), image.height()}, [](QColor c) {
            return (c.rgb() & 0xFFFFFF) == 0xFF00FF;
        })) << grid_mode;
        image.save(QString(CORVANE_TEST_OUTPUT_DIR) +
                   (grid_mode ? "/grid_grouped_rows.png" : "/grid_tree_rows.png"));
    }
}

TEST(RowPainter, DeepIndentPastTheFirstColumnLeavesNoGapAndNoLineAcrossCells) {
    for (bool grid_lines : {false, true}) {
        GridFixture f(300, 200);
        f.AddColumn("Name", 60);
        f.AddColumn("Mail", 100);
        f.AddColumn("Z", 0);
        f.grid.SetShowGrid(grid_lines);
        f.grid.SetOptions(f.grid.Options() & ~tloRowSelect);
        TgxTreeListNode* n = f.grid.Add();
        for (int i = 0; i < 7; ++i) {
            n = n->AddChild();
            n->SetStrings(0, "level " + std::to_string(i + 1));
            n->SetStrings(1, "mail" + std::to_string(i));
        }
        f.grid.Items(0)->Expand(true);
        QImage image = Render(f.grid);
        image.save(QString(CORVANE_TEST_OUTPUT_DIR) + "/deep_rows_grid" +
                   QString::number(grid_lines) + ".png");
        TDrawInfo info = Info(f.grid);
        ASSERT_EQ(info.rows.size(), 8u);
        EXPECT_FALSE(AnyPixel(image, info.node_area, [](QColor c) {
            return (c.rgb() & 0xFFFFFF) == 0xFF00FF;
        })) << grid_lines;
        // The indent slots past the first column leave the next column's cells whole.
        const int mail_left = info.header_cells[1].rect.left;
        int top = info.node_area.top;
        for (std::size_t r = 0; r + 1 < info.rows.size(); ++r)
            top += info.rows[r].row_height;
        for (int x = mail_left + 1; x < mail_left + 60; ++x)
            EXPECT_EQ(Px(image, x, top + 1), Rgb(f.grid.GetColor())) << grid_lines << " x " << x;
    }
}

}  // namespace
}  // namespace grid
