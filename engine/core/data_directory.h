#pragma once

// TDataDirectory: one open database directory (or the session's in-memory
// directory) with the physical tables open in it.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace strata {

class TDataSession;
class TDataTable;
struct TableDefinition;

class TDataDirectory {
  public:
    explicit TDataDirectory(TDataSession& session);
    // Ends an open batch (with a flush) and frees every table.
    ~TDataDirectory();
    TDataDirectory(const TDataDirectory&) = delete;
    TDataDirectory& operator=(const TDataDirectory&) = delete;

    TDataSession& Session() const noexcept { return session_; }
    const std::string& Name() const noexcept { return name_; }
    const std::string& Path() const noexcept { return path_; }
    const std::string& NetworkPath() const noexcept { return network_path_; }
    bool InMemory() const noexcept { return path_.empty(); }
    void SetLocation(std::string_view name, std::string_view path, std::string_view network_path);

    void AddRef() noexcept { ++use_count_; }
    void Release() noexcept { --use_count_; }
    std::int32_t UseCount() const noexcept { return use_count_; }

    // The negative results are engine codes the caller raises with the name.
    // The new table stays open with use count 1 in `table`.
    int CreateTable(std::string_view name, bool in_memory, bool temporary,
                    const TableDefinition& definition, TDataTable*& table);
    int OpenTable(std::string_view name, bool exclusive, bool in_memory, bool temporary,
                  bool sequential, bool share, TDataTable*& table);
    int CloseTable(TDataTable* table, bool discard_temporary);
    bool TableExists(std::string_view name, bool in_memory);
    int DeleteTable(std::string_view name, bool in_memory);
    int RenameTable(std::string_view name, std::string_view new_name, bool to_backup,
                    bool in_memory);
    std::string MakeTempTableName(bool in_memory);
    // Writes and closes a table no cursor uses whose files a batch keeps open, so that its
    // files hold every change and may be copied, moved or replaced. A negative engine code
    // when a cursor uses it.
    int ReleaseIdleTable(std::string_view name, bool in_memory);
    std::size_t TableCount() const noexcept { return tables_.size(); }

    void BeginUpdateBatch();
    void EndUpdateBatch(bool commit);
    // Leaves the batch with a flush, so no table is left with files that
    // disagree with each other.
    void CancelUpdateBatch();
    bool InBatch() const noexcept { return batch_; }

  private:
    TDataTable* FindTable(std::string_view name, bool in_memory) const;
    void RemoveTable(TDataTable* table);
    // A listed table no cursor uses but whose files a batch keeps open: written and closed.
    // Gives the table, or null once it has left the list.
    TDataTable* CloseIdleTable(TDataTable* table);
    std::unique_ptr<TDataTable> MakeTable(std::string_view name, bool in_memory) const;

    TDataSession& session_;
    std::string name_;
    std::string path_;
    std::string network_path_;
    std::vector<std::unique_ptr<TDataTable>> tables_;
    std::int32_t use_count_ = 0;
    bool batch_ = false;
};

// The table name with its extension forced to ".DAT" (trimmed).
std::string TableFileName(std::string_view name);

}  // namespace strata
