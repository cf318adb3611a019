#include "engine/sql/result_table.h"

#include <filesystem>
#include <system_error>

#include "engine/core/data_directory.h"
#include "engine/core/data_session.h"
#include "engine/sql/data_query.h"
#include "engine/sql/query_statement.h"
#include "engine/sql/statement_tables.h"
#include "engine/storage/engine_error_codes.h"
#include "platform/nls/nls.h"

namespace strata {

namespace {

std::string CanonicalDirectory(const std::string& path) {
    std::error_code error;
    const std::filesystem::path canonical = std::filesystem::weakly_canonical(path, error);
    std::string text =
        (error ? std::filesystem::path(path) : canonical).lexically_normal().string();
    while (text.size() > 1 && (text.back() == '/' || text.back() == '\\')) {
        text.pop_back();
    }
    return text;
}

TableLocation SourceLocation(const TQueryStatement& statement, const TSourceTable& source) {
    TableLocation location;
    location.file = source.TableName;
    location.in_memory = source.InMemory;
    if (!source.InMemory) {
        location.directory = source.DatabaseName.empty() && statement.Directory() != nullptr
                                 ? statement.Directory()->Path()
                                 : source.DatabaseName;
    }
    return location;
}

}  // namespace

bool SameTable(const TableLocation& a, const TableLocation& b) {
    if (a.in_memory != b.in_memory) {
        return false;
    }
    if (!platform::nls::SameTextAnsi(TableFileName(a.file), TableFileName(b.file))) {
        return false;
    }
    return a.in_memory || CanonicalDirectory(a.directory) == CanonicalDirectory(b.directory);
}

TableLocation IntoLocation(const TDataQuery& query) {
    std::string database;
    TableLocation location;
    SplitTableName(query.TableName, query.InMemory, database, location.file);
    location.in_memory = query.InMemory;
    if (!query.InMemory) {
        const TDataDirectory* directory = query.Statement().Directory();
        location.directory = !database.empty()      ? database
                             : directory != nullptr ? directory->Session().GetPrivateDir()
                                                    : std::string();
    }
    return location;
}

void CheckIntoNotSource(const TDataQuery& query) {
    if (query.TableName.empty()) {
        return;
    }
    const TableLocation result = IntoLocation(query);
    const TQueryStatement& statement = query.Statement();
    for (const auto& each : statement.Queries()) {
        for (const auto& source : each->SourceTables) {
            if (SameTable(result, SourceLocation(statement, *source))) {
                RaiseEngineError(kErrSql, {}, {}, {},
                                 "Result table '" + query.TableName +
                                     "' specified in INTO clause is also a source table");
            }
        }
    }
}

}  // namespace strata
