#pragma once

// A minimal table dataset over TStrataDBDataSet for the dataset tests: it opens a cursor on a
// table of its database, switches to an index, keeps a cloned lookup cursor, and follows a
// master data source the way a table does. Tables are made through the engine cursor.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <string_view>

#include "engine/core/data_cursor.h"
#include "engine/core/data_directory.h"
#include "engine/core/data_session.h"
#include "engine/dataset/strata_dataset.h"
#include "engine/dataset/strata_session.h"
#include "platform/db/data_source.h"
#include "platform/db/names.h"
#include "tests/engine/core/cursor_test_support.h"

namespace strata::testing_support {

class TestTable : public TStrataDBDataSet {
  public:
    explicit TestTable(db::TComponent* owner) : TStrataDBDataSet(owner), link_(*this) {
        link_.OnMasterChange = [this] {
            CheckBrowseMode();
            SetLinkRanges(link_.Fields());
            if (ApplyRange()) {
                First();
            }
        };
        link_.OnMasterDisable = [this] {
            if (ResetRange()) {
                Resync({});
            }
        };
    }
    ~TestTable() override {
        Destroying();
        Close();
    }

    std::string table_name = "mailist";
    std::string index_name;
    bool exclusive = true;
    bool in_memory = false;
    int lookup_clones = 0;

    void SetMaster(db::TDataSource* source, std::string_view fields) {
        link_.SetDataSource(source);
        link_.SetFieldNames(fields);
    }
    db::TDataSource* GetDataSource() const override { return link_.DataSource(); }
    bool IsInMemory() const override { return in_memory; }
    TDataCursor* LookupCursor() const { return lookup_.get(); }

  protected:
    TDataCursor* CreateHandle() override {
        auto cursor = std::make_unique<TDataCursor>(*Database()->Handle());
        cursor->SetTableName(table_name);
        cursor->SetExclusive(exclusive);
        cursor->SetInMemory(in_memory);
        cursor->Open();
        if (!index_name.empty()) {
            cursor->SetIndexByName(index_name);
        }
        return AdoptCursor(std::move(cursor));
    }
    void DestroyHandle() override {
        FreeLookupCursor();
        TStrataDBDataSet::DestroyHandle();
    }
    void AfterOpenHook() override {
        if (link_.Active() && !link_.Fields().empty()) {
            SetLinkRanges(link_.Fields());
            ApplyRange();
        }
    }
    void FreeLookupCursor() override { lookup_.reset(); }
    TDataCursor* GetLookupCursor(std::string_view fields, bool case_insensitive) override {
        FreeLookupCursor();
        if (RangeActive() || !db::SameName(fields, "Item") || !case_insensitive) {
            return nullptr;
        }
        lookup_ = Handle()->CloneCursor();
        lookup_->SetIndexByName("ByItem");
        ++lookup_clones;
        return lookup_.get();
    }

  private:
    TStrataMasterDataLink link_;
    std::unique_ptr<TDataCursor> lookup_;
};

// A session named "TestSession" with a database "TestDB" on a private folder.
class DataSetTest : public ::testing::Test {
  protected:
    void SetUp() override {
        session = db::MakeComponent<TStrataSession>(nullptr);
        session->SetSessionName("TestSession");
        session->SetPrivateDir(dir.File(""));
        database = db::MakeComponent<TStrataDatabase>(session.get());
        database->SetDatabaseName("TestDB");
        database->SetDirectory(dir.Path().string());
        database->Open();
    }
    void TearDown() override {
        tables.clear();
        database.reset();
        session.reset();
    }

    // Creates the table through an engine cursor of the connected database.
    void Create(TableDefinition definition, std::string_view name = "mailist",
                bool in_memory = false, TDataDirectory* directory = nullptr) {
        TDataCursor cursor(directory != nullptr ? *directory : *database->Handle());
        cursor.SetTableName(name);
        cursor.SetExclusive(true);
        cursor.SetInMemory(in_memory);
        cursor.CreateTable(std::move(definition), true);
    }

    TestTable& NewTable(std::string_view name = "mailist", std::string_view index = {}) {
        tables.push_back(db::MakeComponent<TestTable>(nullptr));
        TestTable& table = *tables.back();
        table.SetSessionName("TestSession");
        table.SetDatabaseName("TestDB");
        table.table_name = name;
        table.index_name = index;
        return table;
    }

    void AddEntry(TestTable& table, std::string_view item, std::string_view category, int bounces,
                  std::string_view name = {}) {
        table.Append();
        table.FieldByName("Item")->SetAsString(item);
        table.FieldByName("Category")->SetAsString(category);
        table.FieldByName("Bounces")->SetAsInteger(bounces);
        if (!name.empty()) {
            table.FieldByName("Name")->SetAsString(name);
        }
        table.Post();
    }

    TempDir dir;
    db::ComponentPtr<TStrataSession> session;
    db::ComponentPtr<TStrataDatabase> database;
    std::vector<db::ComponentPtr<TestTable>> tables;
};

}  // namespace strata::testing_support
