// A Strata list table of a given size for the grid's benchmarks, in a private temporary
// folder removed again at the end.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <string>

#include "engine/dataset/strata_session.h"
#include "engine/dataset/strata_table.h"
#include "platform/db/data_source.h"

namespace bench_support {

inline const char* const kCategories[] = {"news", "sport", "music", "travel", "tech"};

struct ListDatabase {
    std::filesystem::path folder;
    db::ComponentPtr<strata::TStrataSession> session;
    db::ComponentPtr<strata::TStrataDatabase> database;
    db::ComponentPtr<strata::TStrataTable> table;
    db::ComponentPtr<db::TDataSource> source;

    ListDatabase(const std::string& prefix, int rows) {
        std::string pattern =
            (std::filesystem::temp_directory_path() / (prefix + "bench-XXXXXX")).string();
        folder = ::mkdtemp(pattern.data());
        const std::string name = prefix + std::to_string(rows);
        session = db::MakeComponent<strata::TStrataSession>(nullptr);
        session->SetSessionName(name);
        session->SetPrivateDir(folder.string());
        database = db::MakeComponent<strata::TStrataDatabase>(session.get());
        database->SetDatabaseName(name + "DB");
        database->SetDirectory(folder.string());
        database->Open();
        table = db::MakeComponent<strata::TStrataTable>(nullptr);
        table->SetSessionName(name);
        table->SetDatabaseName(name + "DB");
        table->SetTableName("mailist.dat");
        table->SetExclusive(true);
        db::TFieldDefs& f = *table->FieldDefs();
        f.Add("Index", db::ftAutoInc);
        f.Add("Item", db::ftString, 80);
        f.Add("Category", db::ftString, 80);
        f.Add("Bounces", db::ftInteger);
        f.Add("Comments", db::ftString, 80);
        table->IndexDefs().Add("", "Index", db::ixPrimary | db::ixUnique);
        table->CreateTable();
        table->Open();
        table->DisableControls();
        for (int i = 1; i <= rows; ++i) {
            table->Append();
            table->FieldByName("Item")->SetAsString("user" + std::to_string(i) + "@example.org");
            table->FieldByName("Category")->SetAsString(kCategories[i % 5]);
            table->FieldByName("Bounces")->SetAsInteger(i % 3);
            table->FieldByName("Comments")->SetAsString("comment " + std::to_string(i));
            table->Post();
        }
        table->EnableControls();
        table->First();
        source = db::MakeComponent<db::TDataSource>(nullptr);
        source->SetDataSet(table.get());
    }
    ~ListDatabase() {
        source.reset();
        table.reset();
        database.reset();
        session.reset();
        std::error_code ec;
        std::filesystem::remove_all(folder, ec);
    }
};

}  // namespace bench_support
