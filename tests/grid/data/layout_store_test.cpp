#include <gtest/gtest.h>

#include <QImage>

#include <fstream>
#include <sstream>

#include "grid/core/exceptions.h"
#include "platform/config/ini_file.h"
#include "platform/config/reg_ini_file.h"
#include "platform/config/registry_store.h"
#include "tests/grid/data/db_grid_fixture.h"
#include "tests/grid/paint_probe.h"

namespace grid::testing {
namespace {

// The user's registry of this test program: one private file for the whole run, so that a
// layout saved by one grid is found by the next and nothing is written outside it.
const std::filesystem::path& RegistryFile() {
    static TempFolder folder;
    static const std::filesystem::path file = folder.path / "registry.ini";
    return file;
}

struct LayoutGrid : GridHarness {
    MemList list{10};
    TempFolder folder;
    TgxDBTreeListColumn* index;
    TgxDBTreeListColumn* item;
    TgxDBTreeListColumn* category;
    LayoutGrid() {
        index = Column("Index");
        item = Column("Item");
        category = Column("Category");
        grid->SetKeyField("Index");
        grid->SetParentFormName("frmMain");
        grid->SetDataSource(list.source.get());
        // The hive keeps the file it was first pointed at; a folder of one grid would be
        // gone when a later grid saves.
        if (platform::config::RegistryHive::ForRoot(platform::config::HKEY_CURRENT_USER)->File() !=
            RegistryFile())
            platform::config::RegistryHive::SetHiveFile(platform::config::HKEY_CURRENT_USER,
                                                        RegistryFile());
    }
    std::string IniPath() const { return (folder.path / "layout.ini").string(); }
    std::string IniText() const {
        std::ifstream in(IniPath());
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
};

TEST(DBGridLayout, IniSchemaUsesFormAndGridNames) {
    LayoutGrid g;
    g.item->SetWidth(120);
    g.grid->SaveToIniFile(g.IniPath());
    platform::config::TIniFile ini(g.IniPath());
    const std::string column = "frmMain_grdList\\Columns\\" + g.item->Name();
    EXPECT_EQ(ini.ReadString(column, "Width", ""), "120");
    EXPECT_EQ(ini.ReadString(column, "Visible", ""), "1");
    EXPECT_EQ(ini.ReadString(column, "Index", ""), "1");
    EXPECT_EQ(ini.ReadString(column, "GroupIndex", ""), "-1");
    EXPECT_EQ(ini.ReadString(column, "SortedOrder", ""), "-1");
    EXPECT_TRUE(ini.ValueExists(column, "ColIndex"));
    EXPECT_EQ(ini.ReadString("frmMain_grdList\\Band\\Band0", "Visible", ""), "1");
    EXPECT_EQ(ini.ReadString("frmMain_grdList", "ShowGroupPanel", ""), "0");
    EXPECT_EQ(ini.ReadString("frmMain_grdList", "HeaderPanelRowCount", ""), "1");
}

TEST(DBGridLayout, TheStoredRowIndexIsReadBack) {
    LayoutGrid g;
    g.grid->SaveToIniFile(g.IniPath());
    {
        platform::config::TIniFile ini(g.IniPath());
        ini.WriteString("frmMain_grdList", "HeaderPanelRowCount", "2");
        ini.WriteString("frmMain_grdList\\Columns\\" + g.item->Name(), "StoredRowIndex", "1");
    }
    g.grid->LoadFromIniFile(g.IniPath());
    EXPECT_EQ(g.item->RowIndex(), 1);
    EXPECT_EQ(g.index->RowIndex(), 0);
}

TEST(DBGridLayout, SavingAgainDropsSectionsOfDeletedColumns) {
    LayoutGrid g;
    g.grid->SaveToIniFile(g.IniPath());
    const std::string gone = g.category->Name();
    ASSERT_NE(g.IniText().find(gone), std::string::npos);
    g.grid->RemoveColumn(g.category);
    g.grid->SaveToIniFile(g.IniPath());
    EXPECT_EQ(g.IniText().find(gone), std::string::npos);
}

TEST(DBGridLayout, IniRoundTripRestoresWidthsOrderVisibilityAndGrouping) {
    LayoutGrid g;
    g.item->SetWidth(150);
    g.category->SetIndex(0);
    g.index->SetVisible(false);
    g.category->SetGroupIndex(0);
    g.grid->SetShowGroupPanel(true);
    g.grid->SaveToIniFile(g.IniPath());

    LayoutGrid h;
    h.grid->LoadFromIniFile(g.IniPath());
    EXPECT_EQ(h.item->Width(), 150);
    EXPECT_EQ(h.category->GetIndex(), 0);
    EXPECT_EQ(h.category->GroupIndex(), 0);
    EXPECT_TRUE(h.grid->ShowGroupPanel());
    EXPECT_TRUE(h.grid->IsLoadAllMode());
    EXPECT_FALSE(h.index->Visible());
    EXPECT_EQ(h.grid->GetGroupColumnCount(), 1);
}

TEST(DBGridLayout, MissingSortedOrderReadsAsNotSorted) {
    LayoutGrid g;
    g.item->SetStoredSortOrder(3);
    platform::config::TIniFile ini(g.IniPath());
    ini.WriteInteger("frmMain_grdList\\Columns\\" + g.item->Name(), "Width", 90);
    g.grid->LoadFromIniFile(g.IniPath());
    EXPECT_EQ(g.item->StoredSortOrder(), -1);
    EXPECT_EQ(g.item->Width(), 90);
}

TEST(DBGridLayout, RegistryPathIgnoresLeadingAndTrailingBackslashes) {
    for (const char* load_path :
         {"Software\\Test\\Grid", "\\Software\\Test\\Grid", "Software\\Test\\Grid\\"}) {
        SCOPED_TRACE(load_path);
        LayoutGrid g;
        g.item->SetWidth(133);
        g.grid->SaveToRegistry("Software\\Test\\Grid");
        LayoutGrid h;
        h.grid->LoadFromRegistry(load_path);
        EXPECT_EQ(h.item->Width(), 133);
        platform::config::TRegIniFile registry;
        EXPECT_EQ(
            registry.ReadString("Software\\Test\\Grid\\Columns\\" + g.item->Name(), "Width", ""),
            "133");
    }
}

TEST(DBGridLayout, MissingRegistryKeyChangesNothing) {
    LayoutGrid g;
    g.item->SetWidth(77);
    g.grid->LoadFromRegistry("Software\\Nothing\\Here");
    EXPECT_EQ(g.item->Width(), 77);
}

TEST(DBGridColumns, DefaultsComeFromTheField) {
    LayoutGrid g;
    db::TField* item = g.list.ds->FieldByName("Item");
    item->SetDisplayLabel("Address");
    EXPECT_EQ(g.item->Caption(), "Address");
    EXPECT_EQ(g.item->Width(), std::max(64, 7 * item->DisplayWidth() + 4));
    // A short field is never narrower than 64 pixels.
    EXPECT_EQ(g.index->Width(), 7 * 10 + 4 < 64 ? 64 : 7 * 10 + 4);
    EXPECT_EQ(g.index->Alignment(), taRightJustify);
    TgxDBTreeListColumn* missing = g.Column("NoSuchField");
    EXPECT_EQ(missing->Field(), nullptr);
    EXPECT_EQ(missing->Caption(), "NoSuchField");
    EXPECT_EQ(g.grid->GetCellText(g.grid->GetFirstNode(), missing->GetIndex()), "");
    EXPECT_EQ(g.grid->ColumnByFieldName("category"), g.category);
}

TEST(DBGridColumns, CreatedColumnsAreNumberedAfterTheExistingOnes) {
    LayoutGrid g;
    TgxDBTreeListColumn* a = g.grid->CreateColumn(ColumnClassOf<TgxDBGridColumn>());
    TgxDBTreeListColumn* b = g.grid->CreateColumn(ColumnClassOf<TgxDBGridColumn>());
    EXPECT_EQ(a->Name(), "grdListColumn4");
    EXPECT_EQ(b->Name(), "grdListColumn5");
}

TEST(DBGridColumns, AGridNameThatMakesNoIdentifierLeavesNewColumnsUnnamed) {
    for (const char* grid_name : {"<b>grid", "9lives", "two words"}) {
        SCOPED_TRACE(grid_name);
        LayoutGrid g;
        const int before = g.grid->ColumnCount();
        g.grid->setObjectName(grid_name);
        TgxDBTreeListColumn* a = g.grid->CreateColumn(ColumnClassOf<TgxDBGridColumn>());
        EXPECT_EQ(a->Name(), "");
        EXPECT_EQ(g.grid->ColumnCount(), before + 1);
        EXPECT_EQ(g.grid->GetColumn(before), a);
        // Numbering resumes once the grid has a usable name again.
        g.grid->setObjectName("grdList");
        EXPECT_EQ(g.grid->CreateColumn(ColumnClassOf<TgxDBGridColumn>())->Name(),
                  "grdListColumn" + std::to_string(before + 2));
    }
}

TEST(DBGridColumns, DefaultFieldsRefuseColumnChangesWithAMessage) {
    GridHarness h;
    MemList list(3);
    h.grid->SetDefaultFields(true);
    try {
        h.grid->CreateColumn(ColumnClassOf<TgxDBGridColumn>());
        FAIL() << "a column was created";
    } catch (const EInvalidgxTreeListOperation& e) {
        EXPECT_STRNE(e.what(), "");
    }
    EXPECT_EQ(h.grid->ColumnCount(), 0);
    h.grid->SetKeyField("Index");
    h.grid->SetDataSource(list.source.get());
    EXPECT_EQ(h.grid->ColumnCount(), 5);
    EXPECT_EQ(h.grid->Count(), 3);
    EXPECT_THROW(h.grid->DestroyColumns(), EInvalidgxTreeListOperation);
}

TEST(DBGridColumns, DefaultColumnsFollowTheFields) {
    GridHarness h;
    MemList list(3);
    list.ds->FieldByName("Comments")->SetVisible(false);
    h.grid->CreateDefaultColumns(list.ds.get());
    ASSERT_EQ(h.grid->ColumnCount(), 5);
    EXPECT_EQ(h.grid->GetColumn(1)->FieldName(), "Item");
    EXPECT_FALSE(h.grid->GetColumn(4)->Visible());
}

TEST(DBGridDataLink, FieldMapGrowsAndMapsMissingNamesToNothing) {
    LayoutGrid g;
    TgxGridDataLink* link = g.grid->GetDataLink();
    link->ClearMapping();
    for (int i = 0; i < 8; ++i)
        link->AddMapping(i % 2 == 0 ? "Item" : "Nope");
    EXPECT_EQ(link->MappingCapacity(), 8);
    link->AddMapping("Category");
    EXPECT_EQ(link->MappingCapacity(), 16);
    EXPECT_EQ(link->GetMappedField(0)->FieldName(), "Item");
    EXPECT_EQ(link->GetMappedField(1), nullptr);
    EXPECT_EQ(link->GetMappedField(8)->FieldName(), "Category");
    EXPECT_EQ(link->GetMappedField(99), nullptr);
}

TEST(DBGridDataLink, ScrollDistanceReachesTheGridNegated) {
    struct Recording : TgxDBGrid {
        std::vector<int> distances;
        void DataSetScrolled(int distance) override {
            distances.push_back(distance);
            TgxDBGrid::DataSetScrolled(distance);
        }
    };
    MemList list(10);
    Recording grid;
    grid.SetKeyField("Index");
    grid.SetOptions(grid.Options() | egoLoadAllRecords);
    grid.SetDataSource(list.source.get());
    grid.distances.clear();
    list.ds->MoveBy(3);
    ASSERT_FALSE(grid.distances.empty());
    EXPECT_EQ(grid.distances.front(), -3);
}

TEST(DBGridDataLink, ResetCancelsUnlessTheGridChangedTheRecord) {
    LayoutGrid g;
    g.list.ds->Edit();
    g.grid->GetDataLink()->Reset();
    EXPECT_EQ(g.list.ds->State(), db::dsBrowse);
}

}  // namespace
}  // namespace grid::testing

namespace grid::testing {
namespace {

TEST(DBGridLayout, StoredAutomaticallyAtDestructionAndLoadedAfterStreaming) {
    std::string file;
    TempFolder keep;
    file = (keep.path / "auto.ini").string();
    {
        LayoutGrid g;
        g.grid->SetIniFileName(file);
        g.grid->SetOptions(g.grid->Options() | egoStoreToIniFile);
        g.item->SetWidth(141);
        g.grid.reset();
    }
    LayoutGrid h;
    h.grid->SetLoading(true);
    h.grid->SetIniFileName(file);
    h.grid->SetIniSectionName("frmMain_grdList");
    h.grid->SetOptions(h.grid->Options() | egoStoreToIniFile);
    h.grid->Loaded();
    EXPECT_EQ(h.item->Width(), 141);
    EXPECT_EQ(h.grid->Count(), 10);
}

TEST(DBGridDataLink, FocusControlFocusesTheFieldsColumn) {
    LayoutGrid g;
    g.grid->SetOptions(g.grid->Options() | egoLoadAllRecords);
    db::TField* category = g.list.ds->FieldByName("Category");
    category->FocusControl();
    EXPECT_EQ(g.grid->GetFocusedField(), category);
}

}  // namespace
}  // namespace grid::testing

namespace grid::testing {
namespace {

TEST(DBGridLayout, DamagedSizesReadAsTheCurrentOnesAndTheRestStillLoads) {
    // Text that is no number, and numbers no user can drag out (the largest would overflow
    // the row and column geometry).
    for (const char* damaged : {"wide", "2147483647", "40000", "0x7FFFFFFF"}) {
        SCOPED_TRACE(damaged);
        LayoutGrid g;
        g.item->SetWidth(110);
        g.category->SetWidth(90);
        const int row_height = g.grid->DefaultRowHeight();
        const int band_width = g.grid->Bands().Items(0)->Width();
        {
            std::ofstream out(g.IniPath());
            out << "[frmMain_grdList]\nDefaultRowHeight=" << damaged << "\n";
            out << "[frmMain_grdList\\Band\\Band0]\nID=" << g.grid->Bands().Items(0)->ID()
                << "\nWidth=" << damaged << "\n";
            for (TgxDBTreeListColumn* c : {g.item, g.category})
                out << "[frmMain_grdList\\Columns\\" << c->Name() << "]\nWidth=" << damaged << "\n";
            out << "[frmMain_grdList\\Columns\\" << g.index->Name() << "]\nVisible=0\n";
        }
        const std::string stored = g.IniText();
        g.grid->LoadFromIniFile(g.IniPath());
        EXPECT_EQ(g.grid->DefaultRowHeight(), row_height);
        EXPECT_EQ(g.grid->Bands().Items(0)->Width(), band_width);
        EXPECT_EQ(g.item->Width(), 110);
        EXPECT_EQ(g.category->Width(), 90);
        EXPECT_FALSE(g.index->Visible());
        EXPECT_EQ(g.IniText(), stored);
        QImage image(g.grid->size(), QImage::Format_ARGB32);
        g.grid->render(&image);
        EXPECT_EQ(g.grid->Count(), 10);
    }
}

}  // namespace
}  // namespace grid::testing

namespace grid::testing {
namespace {

TEST(DBGridLayout, ALayoutThatHidesEveryColumnLeavesTheGridUsable) {
    LayoutGrid g;
    {
        std::ofstream out(g.IniPath());
        for (TgxDBTreeListColumn* c : {g.index, g.item, g.category})
            out << "[frmMain_grdList\\Columns\\" << c->Name()
                << "]\nVisible=0\nGroupIndex=0\nWidth=130\n";
    }
    g.grid->LoadFromIniFile(g.IniPath());
    // Grouping still hides what it groups, and stops at the last visible column.
    EXPECT_EQ(g.grid->GetVisibleColumnCount(), 1);
    EXPECT_EQ(g.grid->GetGroupColumnCount(), 2);
    EXPECT_EQ(g.category->Width(), 130);
    EXPECT_TRUE(g.category->Visible());
    QImage image(g.grid->size(), QImage::Format_ARGB32);
    g.grid->render(&image);
    image.save(QString(CORVANE_TEST_OUTPUT_DIR) + "/dbgrid_layout_hiding_every_column.png");
    // A layout that hides some columns still hides them.
    {
        std::ofstream out(g.IniPath());
        out << "[frmMain_grdList\\Columns\\" << g.index->Name() << "]\nVisible=0\n";
    }
    LayoutGrid h;
    h.grid->LoadFromIniFile(g.IniPath());
    EXPECT_FALSE(h.index->Visible());
    EXPECT_TRUE(h.item->Visible());
}

}  // namespace
}  // namespace grid::testing

namespace grid::testing {
namespace {

// Stored places that would leave no column in any shown band: the grid keeps its bands and
// band places, and the rest of the layout still loads.
TEST(DBGridLayout, ALayoutThatTakesEveryColumnOutOfTheBandsLeavesTheGridUsable) {
    struct Case {
        const char* name;
        const char* band;    // values of the first band's section
        const char* column;  // values of every column's section
    };
    for (const Case& c : {Case{"band index -1", "", "BandIndex=-1\n"},
                          Case{"band index far below", "", "BandIndex=-5\n"},
                          Case{"the only band hidden", "Visible=0\n", ""}}) {
        SCOPED_TRACE(c.name);
        LayoutGrid g;
        {
            std::ofstream out(g.IniPath());
            out << "[frmMain_grdList\\Band\\Band0]\nID=" << g.grid->Bands().Items(0)->ID() << "\n"
                << c.band;
            for (TgxDBTreeListColumn* col : {g.index, g.item, g.category})
                out << "[frmMain_grdList\\Columns\\" << col->Name() << "]\n"
                    << c.column << "Width=" << (col == g.item ? 140 : 60) << "\n";
        }
        g.grid->LoadFromIniFile(g.IniPath());
        EXPECT_EQ(g.grid->GetVisibleColumnCount(), 3);
        EXPECT_TRUE(g.grid->Bands().Items(0)->Visible());
        for (TgxDBTreeListColumn* col : {g.index, g.item, g.category})
            EXPECT_EQ(col->BandIndex(), 0) << col->Name();
        EXPECT_EQ(g.item->Width(), 140);
        QImage image = Render(*g.grid);
        image.save(QString(CORVANE_TEST_OUTPUT_DIR) + "/dbgrid_layout_no_band.png");
        // The header and the first row are drawn.
        TDrawInfo info;
        g.grid->CalcDrawInfo(info);
        EXPECT_EQ(info.header_cells.size(), 3u);
        EXPECT_FALSE(info.rows.empty());
    }
    // A layout that moves some columns out of the bands still does.
    LayoutGrid g;
    {
        std::ofstream out(g.IniPath());
        out << "[frmMain_grdList\\Columns\\" << g.index->Name() << "]\nBandIndex=-1\n";
    }
    g.grid->LoadFromIniFile(g.IniPath());
    EXPECT_EQ(g.index->BandIndex(), -1);
    EXPECT_EQ(g.grid->GetVisibleColumnCount(), 2);
}

}  // namespace
}  // namespace grid::testing
