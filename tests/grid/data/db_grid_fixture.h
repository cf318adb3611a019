#pragma once

// Grids over an in-memory dataset and over a real Strata table, with fixed text metrics so
// that row counts and window sizes do not depend on fonts.

#include <gtest/gtest.h>

#include <stdlib.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "engine/dataset/strata_session.h"
#include "engine/dataset/strata_table.h"
#include "grid/data/db_grid.h"
#include "platform/db/data_source.h"
#include "platform/ui/text_metrics.h"
#include "tests/platform/db/mem_dataset.h"

namespace grid::testing {

inline const std::vector<std::string> kCategories = {"news", "sport", "music", "travel", "tech"};

// A grid with columns for the list table's fields: 7 pixels a character, 13 a line.
struct GridHarness {
    ui::FixedTextMetrics metrics{7, 13};
    std::unique_ptr<TgxDBGrid> grid;

    explicit GridHarness(int width = 500, int height = 300) {
        grid = std::make_unique<TgxDBGrid>();
        grid->setObjectName("grdList");
        grid->SetBorderStyle(bsNone);
        grid->SetScrollBars(ssNone);
        grid->resize(width, height);
        grid->setAttribute(Qt::WA_DontShowOnScreen);
        grid->show();
        grid->SetTextMetrics(&metrics);
    }

    TgxDBTreeListColumn* Column(std::string_view field) {
        TgxDBTreeListColumn* c = grid->CreateColumn(ColumnClassOf<TgxDBGridColumn>());
        c->SetFieldName(field);
        return c;
    }

    // The texts of one column over the displayed rows, in display order.
    std::vector<std::string> Texts(int column) {
        std::vector<std::string> out;
        grid->RebuildVisibleNodeCache();
        for (int i = 0; i < grid->GetAbsoluteCount(); ++i)
            out.push_back(grid->GetCellText(grid->GetAbsoluteNode(i), column));
        return out;
    }

    TgxDBGridNode* Row(int display_index) {
        grid->RebuildVisibleNodeCache();
        return static_cast<TgxDBGridNode*>(grid->GetAbsoluteNode(display_index));
    }
};

// The list table's shape in memory: Index, Item, Category, Bounces, Comments.
struct MemList {
    db::ComponentPtr<db::testing::TMemDataSet> ds;
    db::ComponentPtr<db::TDataSource> source;

    explicit MemList(int rows) {
        ds = db::MakeComponent<db::testing::TMemDataSet>(nullptr);
        ds->AddColumn("Index", db::ftInteger);
        ds->AddColumn("Item", db::ftString, 40);
        ds->AddColumn("Category", db::ftString, 20);
        ds->AddColumn("Bounces", db::ftInteger);
        ds->AddColumn("Comments", db::ftString, 60);
        source = db::MakeComponent<db::TDataSource>(nullptr);
        source->SetDataSet(ds.get());
        ds->Open();
        for (int i = 1; i <= rows; ++i)
            Append(i, "user" + std::to_string(i) + "@example.org",
                   kCategories[static_cast<std::size_t>(i) % kCategories.size()], i % 3);
        ds->First();
    }

    void Append(int index, const std::string& item, const std::string& category, int bounces) {
        ds->Append();
        ds->FieldByName("Index")->SetAsInteger(index);
        ds->FieldByName("Item")->SetAsString(item);
        ds->FieldByName("Category")->SetAsString(category);
        ds->FieldByName("Bounces")->SetAsInteger(bounces);
        ds->FieldByName("Comments")->SetAsString("comment " + std::to_string(index));
        ds->Post();
    }

    int CurrentKey() const { return ds->FieldByName("Index")->AsInteger(); }

    // Another program's insert at the front of the table, which neither the dataset's buffers
    // nor the grid hear of: a copy of the first row with its own id and key.
    void SneakInFront(std::int32_t key) {
        db::testing::TMemDataSet::Row row = ds->rows.front();
        row.id = ds->next_id++;
        // Index is the first column: a flag byte, then the integer.
        std::memcpy(row.data.data() + 1, &key, sizeof key);
        ds->rows.insert(ds->rows.begin(), std::move(row));
    }
};

// A private folder removed with everything in it.
struct TempFolder {
    std::filesystem::path path;
    TempFolder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "dbgrid-XXXXXX").string();
        if (::mkdtemp(pattern.data()) != nullptr)
            path = pattern;
    }
    ~TempFolder() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
};

// The list table "mailist.dat" in a database of its own.
struct StrataList {
    TempFolder folder;
    db::ComponentPtr<strata::TStrataSession> session;
    db::ComponentPtr<strata::TStrataDatabase> database;
    std::vector<db::ComponentPtr<strata::TStrataTable>> tables;
    db::ComponentPtr<db::TDataSource> source;

    explicit StrataList(int rows, const std::string& name = "GridSession") {
        session = db::MakeComponent<strata::TStrataSession>(nullptr);
        session->SetSessionName(name);
        session->SetPrivateDir(folder.path.string());
        database = db::MakeComponent<strata::TStrataDatabase>(session.get());
        database->SetDatabaseName(name + "DB");
        database->SetDirectory(folder.path.string());
        database->Open();
        strata::TStrataTable& t = NewTable();
        db::TFieldDefs& f = *t.FieldDefs();
        f.Add("Index", db::ftAutoInc);
        f.Add("Item", db::ftString, 80);
        f.Add("Category", db::ftString, 80);
        f.Add("Bounces", db::ftInteger);
        f.Add("Comments", db::ftString, 80);
        t.IndexDefs().Add("", "Index", db::ixPrimary | db::ixUnique);
        t.CreateTable();
        t.Open();
        for (int i = 1; i <= rows; ++i) {
            t.Append();
            t.FieldByName("Item")->SetAsString("user" + std::to_string(i) + "@example.org");
            t.FieldByName("Category")
                ->SetAsString(kCategories[static_cast<std::size_t>(i) % kCategories.size()]);
            t.FieldByName("Bounces")->SetAsInteger(i % 3);
            t.FieldByName("Comments")->SetAsString("comment " + std::to_string(i));
            t.Post();
        }
        t.First();
        source = db::MakeComponent<db::TDataSource>(nullptr);
        source->SetDataSet(&t);
    }

    strata::TStrataTable& Table() { return *tables.front(); }

    strata::TStrataTable& NewTable(bool exclusive = false) {
        tables.push_back(db::MakeComponent<strata::TStrataTable>(nullptr));
        strata::TStrataTable& t = *tables.back();
        t.SetSessionName(session->SessionName());
        t.SetDatabaseName(database->DatabaseName());
        t.SetTableName("mailist.dat");
        t.SetExclusive(exclusive);
        return t;
    }

    ~StrataList() {
        source.reset();
        tables.clear();
        database.reset();
        session.reset();
    }
};

}  // namespace grid::testing
