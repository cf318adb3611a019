#pragma once

// Opening the tables a statement names: the directory a table reference points at (the
// statement's database, the session's in-memory directory, or a directory named by path) and a
// cursor on the table with the options a statement's cursors carry.

#include <memory>
#include <string>
#include <string_view>

namespace strata {

class TDataCursor;
class TDataDirectory;
class TDataSession;
class TQueryStatement;

// A directory held for one statement table; released again when this ends.
class StatementDirectory {
  public:
    // `database` as a table reference gives it: empty for the statement's own database,
    // "Memory" for an in-memory table, else a directory path.
    StatementDirectory(TQueryStatement& statement, std::string_view database, bool in_memory);
    ~StatementDirectory();
    StatementDirectory(const StatementDirectory&) = delete;
    StatementDirectory& operator=(const StatementDirectory&) = delete;

    TDataDirectory& Get() const { return *directory_; }

  private:
    TDataSession* session_ = nullptr;
    TDataDirectory* directory_ = nullptr;
    bool opened_here_ = false;
};

// A statement's table: its directory and a cursor on it (closed until opened).
struct StatementTable {
    StatementTable(TQueryStatement& statement, std::string_view database, std::string_view table,
                   bool in_memory);
    ~StatementTable();
    StatementTable(const StatementTable&) = delete;
    StatementTable& operator=(const StatementTable&) = delete;

    StatementDirectory directory;
    std::unique_ptr<TDataCursor> cursor;
};

// Splits a written table name as table references do: the database part (empty, "Memory" or a
// directory) and the table's file name.
void SplitTableName(std::string_view text, bool in_memory, std::string& database,
                    std::string& table);

}  // namespace strata
