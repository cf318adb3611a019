#include "engine/sql/statement_tables.h"

#include "engine/core/data_cursor.h"
#include "engine/core/data_directory.h"
#include "engine/core/data_session.h"
#include "engine/sql/query_statement.h"
#include "engine/sql/source_table.h"
#include "engine/storage/engine_error_codes.h"

namespace strata {

StatementDirectory::StatementDirectory(TQueryStatement& statement, std::string_view database,
                                       bool in_memory) {
    TDataDirectory* own = statement.Directory();
    if (own == nullptr) {
        RaiseEngineError(kErrSql, {}, {}, {}, "Statement has no database");
    }
    session_ = &own->Session();
    if (in_memory) {
        directory_ = session_->OpenDirectory("MEMORY");
        opened_here_ = true;
    } else if (database.empty()) {
        directory_ = own;
    } else {
        directory_ = session_->OpenDirectory(database, database);
        opened_here_ = true;
    }
    if (directory_ == nullptr) {
        RaiseEngineError(kErrInvalidPath, database);
    }
}

StatementDirectory::~StatementDirectory() {
    if (opened_here_ && directory_ != nullptr) {
        session_->CloseDirectory(directory_);
    }
}

StatementTable::StatementTable(TQueryStatement& statement, std::string_view database,
                               std::string_view table, bool in_memory)
    : directory(statement, database, in_memory),
      cursor(std::make_unique<TDataCursor>(directory.Get())) {
    cursor->SetTableName(table);
    cursor->SetInMemory(in_memory);
}

StatementTable::~StatementTable() = default;

void SplitTableName(std::string_view text, bool in_memory, std::string& database,
                    std::string& table) {
    if (in_memory) {
        database = kMemoryDatabase;
        table = FileNamePart(text);
    } else if (HasDirectoryPart(text)) {
        database = DirectoryPart(text);
        table = FileNamePart(text);
    } else {
        database.clear();
        table = std::string(text);
    }
}

}  // namespace strata
