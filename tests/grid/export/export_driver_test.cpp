// The export driver: which rows are written, and the grid, dataset and file as they are
// left afterwards.

#include "grid/export/grid_export.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <fstream>
#include <sstream>

#include "grid/editors/memo_edit.h"
#include "grid/export/export_excel.h"
#include "grid/export/export_html.h"
#include "tests/grid/export/export_fixture.h"

namespace grid::testing {
namespace {

namespace fs = std::filesystem;

std::string FileText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

int DataRows(const std::string& page) {
    int n = 0;
    for (std::size_t at = 0; (at = page.find("\r\n<TR>", at)) != std::string::npos; ++at)
        ++n;
    return n;
}

struct Grouped : ExportGrid {
    Grouped() : ExportGrid(10) {
        Add("Category", "Category", 80, taLeftJustify);
        Add("Index", "No.", 60, taRightJustify);
        grid->SetOptions(grid->Options() | egoMultiSelect);
        Bind();
        grid->ColumnByFieldName("Category")->SetGroupIndex(0);
    }
    TgxTreeListNode* Group(std::string_view name) {
        for (int i = 0; i < grid->Count(); ++i)
            if (grid->Items(i)->Strings(grid->ColumnByFieldName("Category")->GetIndex()) == name)
                return grid->Items(i);
        return nullptr;
    }
    std::vector<TgxTreeListNode*> Collect() {
        TgxDBGridExportExcel exporter;
        exporter.Grid = grid.get();
        std::vector<TgxTreeListNode*> nodes;
        exporter.CollectNodes(nodes);
        return nodes;
    }
};

TEST(ExportDriver, SelectionChoosesTheRowsInTreeOrder) {
    Grouped g;
    TgxTreeListNode* news = g.Group("news");
    TgxTreeListNode* sport = g.Group("sport");
    ASSERT_NE(news, nullptr);
    ASSERT_NE(sport, nullptr);
    // Nothing selected: every row, parents before children.
    std::vector<TgxTreeListNode*> all = g.Collect();
    ASSERT_EQ(all.size(), 15u);
    for (std::size_t i = 1; i < all.size(); ++i)
        EXPECT_LT(CompareNodePositions(all[i - 1], all[i]), 0);

    // A record inside a collapsed group brings its group and nothing of the others.
    news->Collapse(false);
    g.grid->SelectNode(news->Items(1), true);
    EXPECT_EQ(g.Collect(), (std::vector<TgxTreeListNode*>{news, news->Items(1)}));

    // Two records of one group, selected in reverse: their group once, then both in order.
    g.grid->ClearSelection();
    g.grid->SelectNode(sport->Items(1), true);
    g.grid->SelectNode(sport->Items(0), true);
    EXPECT_EQ(g.Collect(),
              (std::vector<TgxTreeListNode*>{sport, sport->Items(0), sport->Items(1)}));

    // A group with one of its records selected too, and a record of another group selected
    // before it: the group and all its records once each, in tree order.
    g.grid->SetOptions(g.grid->Options() | egoExtMultiSelect);
    g.grid->ClearSelection();
    g.grid->SelectNode(sport->Items(1), true);
    g.grid->SelectNode(news->Items(1), true);
    g.grid->SelectNode(news, true);
    std::vector<TgxTreeListNode*> want = {news};
    for (int i = 0; i < news->Count(); ++i)
        want.push_back(news->Items(i));
    const bool news_first = CompareNodePositions(news, sport) < 0;
    want.insert(news_first ? want.end() : want.begin(), {sport, sport->Items(1)});
    EXPECT_EQ(g.Collect(), want);
}

TEST(ExportDriver, BufferModeExportsEveryRecordAndPutsTheGridBack) {
    ExportGrid g(60, false);
    g.Add("Index", "No.", 60, taRightJustify);
    g.grid->SetOptions(g.grid->Options() | egoMultiSelect);
    g.Bind();
    ASSERT_TRUE(g.grid->IsBufferMode());
    ASSERT_LT(g.grid->Count(), 60);
    g.list.ds->MoveBy(6);
    const int key = g.list.CurrentKey();
    const int top = g.grid->GetTopIndex();

    TgxDBGridExportHTML all;
    EXPECT_EQ(DataRows(ExportToMemory(all, g.grid.get(), true)), 60);
    EXPECT_EQ(g.list.CurrentKey(), key);
    EXPECT_EQ(g.grid->GetTopIndex(), top);
    EXPECT_FALSE(g.list.ds->ControlsDisabled());

    // Not SaveAll: only the selected records, by their bookmarks.
    g.grid->SelectNode(g.grid->Items(2), true);
    g.grid->SelectNode(g.grid->Items(4), true);
    TgxDBGridExportHTML selected;
    const std::string page = ExportToMemory(selected, g.grid.get(), false);
    EXPECT_EQ(DataRows(page), g.grid->GetSelectedCount());
    EXPECT_EQ(g.list.CurrentKey(), key);
}

TEST(ExportDriver, GridWithoutDataSourceGivesAnEmptyFile) {
    GridHarness h;
    TempFolder folder;
    const fs::path path = folder.path / "empty.xls";
    h.grid->SaveToXLS(path.string(), true);
    ASSERT_TRUE(fs::exists(path));
    EXPECT_EQ(fs::file_size(path), 0u);
}

// A writer failing half-way leaves the old file and no temporary beside it.
TEST(ExportDriver, FailedExportKeepsTheExistingFile) {
    struct Failing : TgxDBGridExportExcel {
        void WriteNode(TgxTreeListNode* node) override {
            if (RowIndex == 2)
                throw db::EDatabaseError("disk went away");
            TgxDBGridExportExcel::WriteNode(node);
        }
    };
    ExportGrid g(5);
    g.Add("Index", "No.", 60, taRightJustify);
    g.Bind();
    TempFolder folder;
    const fs::path path = folder.path / "List.xls";
    std::ofstream(path, std::ios::binary) << "old contents";
    Failing exporter;
    exporter.Grid = g.grid.get();
    exporter.SaveAll = true;
    exporter.FileName = path.string();
    EXPECT_THROW(exporter.SaveToFile(), db::EDatabaseError);
    EXPECT_EQ(FileText(path), "old contents");
    EXPECT_EQ(std::distance(fs::directory_iterator(folder.path), fs::directory_iterator()), 1);
    EXPECT_FALSE(g.list.ds->ControlsDisabled());

    // A good export replaces it, found under another spelling of its name.
    g.grid->SaveToHTML((folder.path / "list.XLS").string(), true);
    EXPECT_TRUE(FileText(path).starts_with("<!DOCTYPE HTML"));
    EXPECT_EQ(std::distance(fs::directory_iterator(folder.path), fs::directory_iterator()), 1);

    // A folder that does not exist is a clear error.
    EXPECT_THROW(g.grid->SaveToXLS((folder.path / "missing" / "x.xls").string(), true),
                 db::EFCreateError);
}

// Files of this process may grow to `bytes` only; writes past it fail with EFBIG, as on a
// full disk.
class FileSizeLimit {
  public:
    explicit FileSizeLimit(rlim_t bytes) {
        old_handler_ = std::signal(SIGXFSZ, SIG_IGN);
        ::getrlimit(RLIMIT_FSIZE, &old_);
        rlimit limit = old_;
        limit.rlim_cur = bytes;
        ok_ = ::setrlimit(RLIMIT_FSIZE, &limit) == 0;
    }
    ~FileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &old_);
        std::signal(SIGXFSZ, old_handler_);
    }
    bool ok() const { return ok_; }

  private:
    rlimit old_{};
    void (*old_handler_)(int) = SIG_DFL;
    bool ok_ = false;
};

// The disk filling up half-way: a clear error, the old file as it was and no temporary
// beside it, also when a writer goes on writing after the failure or swallows it.
TEST(ExportDriver, WriteFailureKeepsTheExistingFile) {
    struct WritesOn : TgxDBGridExportHTML {
        void WriteFooter() override {
            Write(std::string(70000, ' '));
            TgxDBGridExportHTML::WriteFooter();
        }
    };
    struct Swallows : TgxDBGridExportExcel {
        void WriteNode(TgxTreeListNode* node) override {
            try {
                TgxDBGridExportExcel::WriteNode(node);
            } catch (const db::EWriteError&) {
            }
        }
    };
    ExportGrid g(3000);
    g.Add("Index", "No.", 60, taRightJustify);
    g.Add("Item", "Address", 150, taLeftJustify);
    g.Bind();
    TempFolder folder;
    const fs::path path = folder.path / "List.html";
    std::ofstream(path, std::ios::binary) << "old contents";
    const auto run = [&](TgxDBGridExport& exporter) {
        exporter.Grid = g.grid.get();
        exporter.SaveAll = true;
        exporter.FileName = path.string();
        FileSizeLimit limit(20000);
        ASSERT_TRUE(limit.ok());
        EXPECT_THROW(exporter.SaveToFile(), db::EWriteError);
    };
    TgxDBGridExportHTML plain;
    WritesOn writes_on;
    Swallows swallows;
    for (TgxDBGridExport* exporter :
         std::initializer_list<TgxDBGridExport*>{&plain, &writes_on, &swallows}) {
        run(*exporter);
        EXPECT_EQ(FileText(path), "old contents");
        EXPECT_EQ(std::distance(fs::directory_iterator(folder.path), fs::directory_iterator()), 1);
        EXPECT_FALSE(g.list.ds->ControlsDisabled());
    }
}

}  // namespace
}  // namespace grid::testing

namespace grid::testing {
namespace {

// Every load mode writes the texts the grid's rows show: a walk over the dataset, which has
// no rows, takes a memo's text as the loaded rows do, not its field's "(MEMO)".
TEST(ExportDriver, EveryLoadModeWritesTheTextsTheRowsShow) {
    enum Mode { kLoadAll, kBuffer, kPartial };
    for (Mode mode : {kLoadAll, kBuffer, kPartial}) {
        SCOPED_TRACE(mode);
        ExportGrid g(0, mode == kLoadAll);
        g.list.ds->AddColumn("Notes", db::ftMemo);
        g.list.ds->Close();
        g.list.ds->Open();
        g.grid->SetShowHeader(false);
        g.grid->SetPartialLoad(mode == kPartial);
        g.Add("Index", "No.", 40, taRightJustify);
        auto* memo = static_cast<TgxDBGridMemoColumn*>(
            g.grid->CreateColumn(ColumnClassOf<TgxDBGridMemoColumn>()));
        memo->SetFieldName("Notes");
        memo->SetMaxDisplayLength(400);
        const std::vector<std::string> notes = {"Prefers plain text & <no> HTML",
                                                std::string(300, 'n'), ""};
        for (std::size_t i = 0; i < notes.size(); ++i) {
            g.list.ds->Append();
            g.list.ds->FieldByName("Index")->SetAsInteger(static_cast<int>(i) + 1);
            if (!notes[i].empty())
                g.list.ds->FieldByName("Notes")->SetAsString(notes[i]);
            g.list.ds->Post();
        }
        g.list.ds->First();
        g.Bind();
        ASSERT_EQ(g.grid->IsBufferMode(), mode == kBuffer);
        ASSERT_EQ(g.grid->IsPartialLoadMode(), mode == kPartial);

        TgxDBGridExportExcel sheet;
        const std::vector<std::string> cells = Cells(ExportToMemory(sheet, g.grid.get()));
        ASSERT_EQ(cells.size(), 2 * notes.size());
        for (std::size_t i = 0; i < notes.size(); ++i)
            EXPECT_EQ(cells[2 * i + 1],
                      LabelRec(static_cast<unsigned>(i), 1, 30, notes[i].substr(0, 255)));

        TgxDBGridExportHTML html;
        const std::string page = ExportToMemory(html, g.grid.get());
        EXPECT_NE(page.find(">Prefers plain text &amp; &lt;no&gt; HTML</FONT>"), std::string::npos)
            << page;
        EXPECT_NE(page.find(">" + std::string(300, 'n') + "</FONT>"), std::string::npos);
        EXPECT_EQ(page.find("MEMO"), std::string::npos);
        EXPECT_EQ(page.find("memo"), std::string::npos);
    }
}

}  // namespace
}  // namespace grid::testing
