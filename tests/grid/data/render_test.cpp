// The application's two grids drawn offscreen with real fonts; the pictures go under the
// build folder for a person to look at, and pixel probes check what must be there.

#include <gtest/gtest.h>

#include <QImage>
#include <QPainter>

#include "tests/grid/data/db_grid_fixture.h"
#include "tests/grid/paint_probe.h"

namespace grid::testing {
namespace {

constexpr TgxDBGridOptions kListOptions =
    egoColumnSizing | egoColumnMoving | egoTabThrough | egoRowSelect | egoMultiSelect |
    egoCanDelete | egoConfirmDelete | egoCanNavigation | egoCancelOnExit | egoImmediateEditor |
    egoCanInsert | egoAutoWidth | egoCaseInsensitive | egoSmartReload;

constexpr TgxDBGridOptions kStatisticsOptions =
    egoColumnSizing | egoEditing | egoTabThrough | egoConfirmDelete | egoCanNavigation |
    egoCancelOnExit | egoImmediateEditor | egoCanInsert | egoLoadAllRecords | egoAutoWidth;

std::unique_ptr<TgxDBGrid> MakeGrid(int width, int height) {
    auto grid = std::make_unique<TgxDBGrid>();
    grid->setObjectName("grdList");
    grid->SetBorderStyle(bsNone);
    grid->SetScrollBars(ssNone);
    grid->resize(width, height);
    grid->setAttribute(Qt::WA_DontShowOnScreen);
    grid->show();
    return grid;
}

TgxDBTreeListColumn* AddColumn(TgxDBGrid& grid, std::string_view field, std::string_view caption) {
    TgxDBTreeListColumn* c = grid.CreateColumn(ColumnClassOf<TgxDBGridColumn>());
    c->SetFieldName(field);
    c->SetCaption(caption);
    return c;
}

TEST(DBGridRender, ListGridGroupedByCategoryWithPreview) {
    MemList list(10000);
    auto grid = MakeGrid(640, 420);
    AddColumn(*grid, "Item", "E-mail Address");
    TgxDBTreeListColumn* category = AddColumn(*grid, "Category", "Category");
    AddColumn(*grid, "Bounces", "Bounces");
    category->SetSummaryType(cstCount);
    grid->SetKeyField("Index");
    grid->SetPartialLoad(true);
    grid->SetShowGroupPanel(true);
    grid->SetOptions(kListOptions | egoPreview);
    grid->SetPreviewFieldName("Comments");
    grid->SetDataSource(list.source.get());
    category->SetGroupIndex(0);
    ASSERT_EQ(grid->Count(), 5);
    grid->Items(1)->Expand(false);
    ASSERT_TRUE(list.ds->Locate("Index", 5, {}));
    grid->SetTopIndex(0);
    QImage image = Render(*grid);
    image.save(QString(CORVANE_TEST_OUTPUT_DIR) + "/dbgrid_list_grouped.png");
    // The group panel holds the Category button; the first group row reads its count.
    const ui::Rect button = grid->GetGroupButtonRect(0);
    EXPECT_NE(Px(image, button.left + 50, button.top + 2), Rgb(grid->GroupPanelColor));
    EXPECT_EQ(Px(image, 3, 3), Rgb(grid->GroupPanelColor));
    EXPECT_EQ(grid->GetCellText(grid->Items(0), 0), "music (COUNT=2000)");
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if ((image.pixel(x, y) & 0xFFFFFF) == 0xFF00FF) {
                ADD_FAILURE() << "unpainted at " << x << "," << y;
                return;
            }
}

TEST(DBGridRender, EmptyGroupPanelShowsItsHint) {
    MemList list(20);
    auto grid = MakeGrid(640, 200);
    AddColumn(*grid, "Item", "E-mail Address");
    AddColumn(*grid, "Category", "Category");
    grid->SetKeyField("Index");
    grid->SetPartialLoad(true);
    grid->SetShowGroupPanel(true);
    grid->SetOptions(kListOptions);
    grid->SetDataSource(list.source.get());
    QImage image = Render(*grid);
    image.save(QString(CORVANE_TEST_OUTPUT_DIR) + "/dbgrid_list_panel_hint.png");
    const int panel = grid->GetGroupPanelHeight();
    EXPECT_TRUE(AnyPixel(image, {2, 0, 300, panel}, [&](QColor c) {
        return (c.rgb() & 0xFFFFFF) == Rgb(grid->GroupPanelFontColor);
    }));
}

TEST(DBGridRender, ColumnsDrawTheirOwnHeaderAndSummaryFooterCells) {
    MemList list(12);
    auto grid = MakeGrid(420, 260);
    TgxDBTreeListColumn* item = AddColumn(*grid, "Item", "E-mail Address");
    TgxDBTreeListColumn* bounces = AddColumn(*grid, "Bounces", "Bounces");
    item->SetWidth(220);
    bounces->SetWidth(150);
    bounces->SetSummaryFooterType(cstSum);
    bounces->SetSummaryFooterField("Bounces");
    // The header keeps the grid's drawing with the event's colour and text; the footer cell
    // is drawn by the event alone.
    item->OnCustomDrawHeader = [](TgxDBTreeListColumn*, ui::TCanvas&, const ui::Rect&,
                                  std::string& text, ui::Color& color, ui::TFont&, TAlignment&,
                                  TgxTreeListColumnSort&, bool&) {
        text += " (drawn)";
        color = ui::clYellow;
    };
    bounces->OnDrawSummaryFooter = [](TgxDBTreeListColumn*, ui::TCanvas& canvas, const ui::Rect& r,
                                      std::string& text, ui::Color&, ui::TFont&, TAlignment&,
                                      bool& done) {
        canvas.Brush = {ui::clAqua, ui::bsSolid, {}};
        canvas.FillRect(r);
        ui::Rect inner = r;
        canvas.DrawText("Total " + text, inner, ui::DT_CENTER | ui::DT_VCENTER | ui::DT_SINGLELINE);
        done = true;
    };
    grid->SetKeyField("Index");
    grid->SetShowSummaryFooter(true);
    grid->SetOptions(kStatisticsOptions & ~egoAutoWidth);
    grid->SetDataSource(list.source.get());
    QImage image = grid->grab().toImage();
    image.save(QString(CORVANE_TEST_OUTPUT_DIR) + "/dbgrid_custom_header_footer.png");
    TDrawInfo info;
    grid->CalcDrawInfo(info);
    ASSERT_EQ(info.header_cells.size(), 2u);
    const ui::Rect header = info.header_cells[0].rect;
    const ui::Rect under_bounces = info.header_cells[1].rect;
    EXPECT_EQ(Px(image, header.right - 5, header.top + 4), Rgb(ui::clYellow));
    EXPECT_EQ(Px(image, under_bounces.left + 4, info.footer.top + 5), Rgb(ui::clAqua));
}

TEST(DBGridRender, StatisticsGridWithFooters) {
    auto ds = db::MakeComponent<db::testing::TMemDataSet>(nullptr);
    ds->AddColumn("Date", db::ftDate);
    ds->AddColumn("Subscribes", db::ftInteger);
    ds->AddColumn("Unsubscribes", db::ftInteger);
    ds->AddColumn("Bounces", db::ftInteger);
    ds->AddColumn("Notes", db::ftString, 200);
    auto source = db::MakeComponent<db::TDataSource>(nullptr);
    source->SetDataSet(ds.get());
    ds->Open();
    int subscribes = 0;
    for (int day = 0; day < 40; ++day) {
        ds->Append();
        ds->FieldByName("Date")->SetAsDateTime(db::TDateTime(46000.0 + day));
        ds->FieldByName("Subscribes")->SetAsInteger(day % 7 + 1);
        ds->FieldByName("Unsubscribes")->SetAsInteger(day % 3);
        ds->FieldByName("Bounces")->SetAsInteger(day % 5 == 0 ? 2 : 0);
        ds->FieldByName("Notes")->SetAsString(day % 10 == 0 ? "mail-out" : "");
        ds->Post();
        subscribes += day % 7 + 1;
    }
    auto grid = MakeGrid(560, 360);
    grid->setObjectName("grdStats");
    AddColumn(*grid, "Date", "Date")->SetWidth(90);
    for (const char* field : {"Subscribes", "Unsubscribes", "Bounces"}) {
        TgxDBTreeListColumn* c = AddColumn(*grid, field, field);
        c->SetWidth(90);
        c->SetSummaryFooterType(cstSum);
        c->SetSummaryFooterField(field);
        c->SetSummaryFooterFormat("0");
    }
    AddColumn(*grid, "Notes", "Notes")->SetWidth(150);
    grid->SetKeyField("Date");
    grid->SetShowSummaryFooter(true);
    grid->SetOptions(kStatisticsOptions);
    grid->SetDataSource(source.get());
    ASSERT_EQ(grid->Count(), 40);
    EXPECT_EQ(grid->GetFooterText(1), std::to_string(subscribes));
    // The current record (the last day) is focused and in view.
    const int focused = grid->GetAbsoluteIndex(grid->GetFocusedNode());
    EXPECT_EQ(focused, 39);
    EXPECT_GE(focused, grid->GetTopIndex());
    EXPECT_LT(focused, grid->GetTopIndex() + grid->GetVisibleRowCount());
    QImage image = Render(*grid);
    image.save(QString(CORVANE_TEST_OUTPUT_DIR) + "/dbgrid_statistics_footers.png");
    EXPECT_FALSE(AnyPixel(image, {0, 0, image.width(), image.height()},
                          [](QColor c) { return (c.rgb() & 0xFFFFFF) == 0xFF00FF; }));
}

}  // namespace
}  // namespace grid::testing
