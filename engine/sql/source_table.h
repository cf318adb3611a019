#pragma once

// The tables a statement reads or changes, and the join links between them.

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/storage/exp_token.h"
#include "engine/storage/sql_services.h"

namespace strata {

class TDataQuery;
class TSourceTable;
struct StatementTable;

// Join kinds of a link. The column-to-column comparisons of a JOIN ... ON condition carry their
// join's kind in JoinKind from parsing on.
inline constexpr std::uint8_t kJoinDefault = 0;
inline constexpr std::uint8_t kJoinInner = 1;
inline constexpr std::uint8_t kJoinLeft = 2;
// Only while parsing: RIGHT JOIN, which becomes a LEFT link once its tables change places.
inline constexpr std::uint8_t kJoinRight = 3;

// The database name of an in-memory table.
inline constexpr std::string_view kMemoryDatabase = "Memory";

class TTableJoin {
  public:
    TTableJoin(TSourceTable& owner, std::uint8_t kind, TSourceTable& target)
        : owner_(&owner), JoinKind(kind), Target(&target) {}

    TSourceTable& Owner() const { return *owner_; }

  private:
    TSourceTable* owner_;

  public:
    std::uint8_t JoinKind;
    // The inner side; not owned.
    TSourceTable* Target;
    // AND-joined comparisons; empty for a default link.
    ExpTokenPtr Condition;
    bool NullRowProduced = false;
};

class TSourceTable : public ColumnSource {
  public:
    explicit TSourceTable(TDataQuery& owner);
    ~TSourceTable();
    TSourceTable(const TSourceTable&) = delete;
    TSourceTable& operator=(const TSourceTable&) = delete;

    TDataQuery& Owner() const { return *owner_; }

    // Splits a written table reference into database and table: an in-memory table lives in
    // the "Memory" database; a reference with a directory part names that directory; otherwise
    // the database stays empty, which means the statement's own database.
    void SetReference(std::string_view text, bool in_memory);

    bool InMemory = false;
    // 1-based order in the statement.
    std::uint16_t TableNumber = 0;
    std::string DatabaseName;
    std::string TableName;
    std::string CorrelationName;
    // Links in which this table is the outer side.
    std::vector<std::unique_ptr<TTableJoin>> Joins;

    // How this table joins the tables before it: kJoinInner or kJoinLeft with its ON condition
    // (a part of the query's condition tree, not owned), or kJoinDefault.
    std::uint8_t JoinKind = kJoinDefault;
    const TExpToken* JoinCondition = nullptr;

    // Open for execution: the directory and cursor, the current record and whether the current
    // row is the null row of a LEFT join.
    std::unique_ptr<StatementTable> Table;
    std::vector<std::uint8_t> Record;
    bool NullRow = false;

    // The current record's bytes: Record, or a record read elsewhere (a scan's block, rows held
    // in memory) while it is current, so that no row is copied to be read.
    std::span<const std::uint8_t> Row() const {
        return view_ != nullptr ? std::span<const std::uint8_t>(view_, Record.size())
                                : std::span<const std::uint8_t>(Record);
    }
    // Makes `row` (Record.size() bytes at least; null for Record) the current record.
    void ViewRow(const std::uint8_t* row) noexcept { view_ = row; }

  private:
    TDataQuery* owner_;
    const std::uint8_t* view_ = nullptr;
};

// Whether a written table name carries a directory ("/" or "\"; ":" is a legal name character).
bool HasDirectoryPart(std::string_view name);
// The text after the last separator, and the text before it.
std::string FileNamePart(std::string_view name);
std::string DirectoryPart(std::string_view name);

}  // namespace strata
