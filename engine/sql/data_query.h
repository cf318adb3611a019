#pragma once

// One parsed SQL statement: its kind, clauses, flags and table options. The statement object
// (TQueryStatement) owns every TDataQuery of a statement: the main query and one per sub-select
// (the SELECT of INSERT ... SELECT and every IN (SELECT ...)).

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/sql/source_table.h"
#include "engine/sql/sql_clauses.h"
#include "engine/storage/engine_heap.h"
#include "engine/storage/exp_token.h"
#include "engine/storage/sql_services.h"

namespace db {
struct TFormatSettings;
}

namespace strata {

class AggregateAccumulator;
class TDataCursor;
class TExpressionParser;
class TQueryStatement;
struct StatementTable;

// One column of a SELECT's result as planning resolved it.
struct ResultColumnPlan {
    TResultField* field = nullptr;
    // A plain column: its table and field number there.
    TSourceTable* source = nullptr;
    std::uint16_t source_field = 0;
    // An expression column's tree, or an aggregate's argument (null for COUNT(*)).
    const TExpToken* expression = nullptr;
    std::uint8_t aggregate = kAggregateNone;
    bool count_star = false;
    FieldDescriptor descriptor{};
    // The hidden count column of an AVG (its field number), 0 otherwise.
    std::uint16_t avg_count_field = 0;
};

// Statement kinds.
inline constexpr std::uint8_t kStatementNone = 0;
inline constexpr std::uint8_t kStatementSelect = 1;
inline constexpr std::uint8_t kStatementInsert = 2;
inline constexpr std::uint8_t kStatementUpdate = 3;
inline constexpr std::uint8_t kStatementDelete = 4;
inline constexpr std::uint8_t kStatementCreateTable = 5;
inline constexpr std::uint8_t kStatementAlterTable = 6;
inline constexpr std::uint8_t kStatementDropTable = 7;
inline constexpr std::uint8_t kStatementCreateIndex = 8;
inline constexpr std::uint8_t kStatementDropIndex = 9;

// Limits of the result and clause column lists.
inline constexpr std::size_t kMaxQueryColumns = 1024;
// "Physical order" as a result index number.
inline constexpr std::uint8_t kNoResultIndex = 255;

// The tick counter a statement's execution time is read from: whole milliseconds.
std::uint64_t StatementTicks();
// Seconds since `start` on that counter; 0 when it has not moved on (a statement within one
// tick).
double SecondsSince(std::uint64_t start);

// Asked by the open of an encrypted table: true when a password was given to the session.
using PasswordCallback = std::function<bool()>;
// Told the running row number and its percentage; answers false to stop the statement.
using ProgressCallback = std::function<bool(std::int64_t row_number, int percent)>;

class TDataQuery final : public SubSelectQuery {
  public:
    explicit TDataQuery(TQueryStatement& statement);
    ~TDataQuery() override;
    TDataQuery(const TDataQuery&) = delete;
    TDataQuery& operator=(const TDataQuery&) = delete;

    TQueryStatement& Statement() const { return *statement_; }

    // Back to a new query's state: every flag clear, MaxRowCount -1, result index 255, BLOB
    // block size 512, user version 1.0, LAST AUTOINC -1, all lists empty.
    void Reset();

    // Reads one statement from the statement's lexer, whose current token is its first.
    // Requires: the lexer holds the text and has read its first token.
    void ParseStatement(bool sub_select);

    // SubSelectQuery. A sub-select answers from its result cursor, which only execution builds;
    // before that BindResultColumn answers false and the filter calls raise an engine error.
    std::size_t ResultColumnCount() const override { return ResultFields.size(); }
    bool BindResultColumn(TExpToken& column) override;
    void SetResultFilter(const TExpToken& condition) override;
    std::int64_t ResultRecordCount() override;
    bool ResultHasRecord() override;

    // Planning and execution of a SELECT: opens the source tables, resolves the result columns
    // and creates the result table; then fills it and answers its cursor (owned by the query).
    void PlanSelect();
    TDataCursor& ExecuteSelect();
    TDataCursor* ResultCursor() const;
    const std::vector<ResultColumnPlan>& ResultPlan() const { return result_plan_; }

    // Applies `visit` to every parameter token of this query and of the sub-selects it holds,
    // in the order their markers stand in the text.
    void ForEachParameter(const std::function<void(TExpToken&)>& visit) const;

    bool Produced = false;
    bool SubSelect = false;
    std::uint8_t Kind = kStatementNone;
    double ExecutionTime = 0.0;
    bool RequestLive = false;
    std::int32_t ResultCount = 0;
    std::int32_t MaxRowCount = -1;
    PasswordCallback OnPassword;
    ProgressCallback OnProgress;

    bool Distinct = false;
    bool HasAvg = false;
    bool HasExpressionColumn = false;
    bool MultipleTables = false;
    bool NoJoinOptimize = false;
    bool HasCondition = false;
    bool HasHaving = false;
    bool HasOrderBy = false;
    bool OrderByUsesIndex = false;
    std::uint8_t ResultIndex = kNoResultIndex;
    bool OrderByExpression = false;
    bool OrderByNoCase = false;
    bool HasGroupBy = false;
    bool ImplicitGroup = false;
    bool CountStarShortcut = false;
    bool HavingGiven = false;
    bool LiveResult = false;
    bool InMemory = false;
    bool InsertSelect = false;

    // The result or target table (and for DROP INDEX the index) as written.
    std::string TableName;
    std::string IndexName;

    std::vector<std::unique_ptr<TSourceTable>> SourceTables;
    std::vector<std::unique_ptr<TResultField>> ResultFields;
    std::vector<std::unique_ptr<TUpdateField>> UpdateFields;
    std::vector<std::unique_ptr<TUpdateValue>> UpdateValues;
    std::vector<std::unique_ptr<TCreateField>> CreateFields;
    std::vector<std::unique_ptr<TCreateIndex>> CreateIndexes;
    std::vector<std::unique_ptr<TOrderByField>> OrderByFields;
    std::vector<std::unique_ptr<TGroupByField>> GroupByFields;

    // The WHERE and JOIN conditions AND-joined, and the HAVING condition.
    ExpTokenPtr Condition;
    ExpTokenPtr Having;
    // Built by planning: parts evaluated per combined row.
    ExpTokenPtr Remainder;
    bool RemainderPresent = false;
    ExpTokenPtr RowCondition;
    bool RowConditionPresent = false;

    bool WithLocks = false;

    std::uint16_t LanguageID = 0;
    std::uint16_t SortID = 0;
    // The language and sort of a table the statement makes (CREATE TABLE, a canned result):
    // those given, or without a LANGUAGE (language 0) the session's pair.
    std::uint16_t TableLanguageID() const;
    std::uint16_t TableSortID() const;
    std::uint16_t BlobBlockSize = 512;
    bool Encrypted = false;
    std::string Password;
    std::string Description;
    bool NoAutoInc = false;
    bool NoBackup = false;
    std::int32_t CommitInterval = 0;
    bool CommitIntervalGiven = false;
    std::uint16_t UserMajorVersion = 1;
    std::uint16_t UserMinorVersion = 0;
    std::int32_t LastAutoInc = -1;

    bool EncryptedGiven = false;
    bool LanguageGiven = false;
    bool SortGiven = false;
    bool BlobBlockSizeGiven = false;
    bool DescriptionGiven = false;
    bool MajorVersionGiven = false;
    bool MinorVersionGiven = false;

    // The SELECT of an INSERT ... SELECT; owned by the statement.
    TDataQuery* InsertSource = nullptr;
    // The WHERE part of Condition (not owned), and whether a RIGHT JOIN followed more than one
    // table.
    const TExpToken* WhereCondition = nullptr;
    bool RightJoinOfSeveralTables = false;

  private:
    TExpressionParser& Lexer() const;
    [[noreturn]] void Fail(std::string_view message) const;
    [[noreturn]] void FailExpected(std::string_view message) const;
    bool AtStatementEnd() const;
    void ExpectStatementEnd(std::string_view statement);
    void ExpectKeyword(std::string_view keyword, std::string_view message);
    std::int64_t ParseNumericOption(std::string_view empty_message, std::string_view context);
    ExpTokenPtr ParseClauseExpression(unsigned options, std::string_view context,
                                      std::string_view empty_message);

    TSourceTable& ParseTableReference(std::string_view before_memory, std::string_view after_memory,
                                      std::span<const std::string_view> clause_words,
                                      bool allow_as);
    void CheckDuplicateCorrelation() const;
    void AddCondition(ExpTokenPtr condition);

    void ParseSelect();
    void ParseResultColumn();
    void ParseJoins();
    void ParseOrderOrGroupList(bool order_by);
    void ParseOrderOrGroupItem(bool order_by);
    void ParseLanguage();
    void ParseInsert();
    void ParseUpdate();
    void ParseDelete();
    void ParseCommitInterval();

    void ParseTargetTable(std::string_view before_memory, std::string_view after_memory);
    void ParseCreateTable();
    void ParseCreateIndex();
    void ParseAlterTable();
    void ParseDropTable();
    void ParseDropIndex();
    std::unique_ptr<TCreateField> ParseColumnName(bool type_required, bool type_allowed);
    void ParseColumnOptions(TCreateField& field, bool alter);
    std::unique_ptr<TCreateIndex> ParseKeyClause();
    void ParseKeyColumns(TCreateIndex& index, std::string_view left_message);
    void ParseCompression(TCreateIndex& index);
    void ParseTableOptions();
    bool AtKeyClauseStart() const;
    std::string OptionText();

    void OpenSourceTables();
    bool ResolveSourceColumn(TExpToken& column) const;
    void PlanResultColumns();
    std::vector<std::size_t> ResolveItems(bool order_by) const;
    void CreateResultTable(bool on_disk = false);
    // Adds a row to the result; a result held in memory moves to disk once it is large. Rows
    // of a result without BLOB columns gather in a block and go in together.
    void InsertResultRow(std::span<std::uint8_t> record);
    // Writes the gathered rows; every reader of the result table calls it first.
    void WriteResultRows();
    void SpillResult();
    // Writes the rows a run gathered, sorted by ORDER BY or as produced.
    void InsertPendingRows(struct SelectRun& run, bool sorted);
    // A live result: whether the query may be one (choosing the index that gives its ORDER BY),
    // and the result columns installed on the source cursor as its field layout.
    bool LiveResultPossible();
    bool LiveConditionFits() const;
    void InstallLiveLayout();
    // A copy of a tree over the source table whose columns read the live layout, with the
    // parameters' current values as constants.
    ExpTokenPtr LiveTree(const TExpToken& tree) const;
    TDataCursor& ExecuteLive(struct SelectRun& run);
    // Places the one-table parts of the WHERE and ON conditions as filters on their tables'
    // cursors and leaves the rest for the per-row checks; true when every part was placed.
    bool PlaceConditionParts(struct SelectRun& run, bool all_parts);
    // Chooses the loop order and, per inner loop, an equality with the outer rows that an
    // index can answer; then narrows a loop's table to the current outer rows.
    void PlanLoops(struct SelectRun& run);
    // After the loop order is chosen: the one-table row checks of the driving table become a
    // filter on it.
    void PlaceDrivingParts(struct SelectRun& run);
    // Removes the filters the rows were produced through from every source cursor.
    void DropSourceFilters() noexcept;
    void NarrowByProbe(std::size_t level, struct SelectRun& run);
    // An inner table's rows held in memory and found by the probe's value, where they fit;
    // true when the level's rows come from there.
    bool HoldRows(std::size_t level, struct SelectRun& run);
    void ProduceHeldRows(std::size_t level, struct SelectRun& run);
    void ProduceRows(std::size_t level, struct SelectRun& run);
    void EmitRow(struct SelectRun& run);
    // Counts a driving row and reports progress; false once the caller asked to stop.
    bool CountDrivingRow(struct SelectRun& run);
    // DISTINCT over plain columns: whether the source values of the current rows, with the
    // driving table's record given as `driving`, were met before; new ones are remembered.
    bool RepeatedSourceRow(struct SelectRun& run, std::span<const std::uint8_t> driving);
    // The value of an aggregate's argument for the current rows; `evaluated` holds it where it
    // had to be evaluated.
    const TExpToken& AggregateArgument(struct SelectRun& run, std::size_t column,
                                       ExpTokenPtr& evaluated);
    void AddToAggregates(struct SelectRun& run, std::vector<AggregateAccumulator>& accumulators);
    // The result columns' bytes of `record` (those at `columns`, or all), nulls marked apart.
    void RowKey(std::span<const std::uint8_t> record, std::string& key,
                const std::vector<std::size_t>* columns = nullptr) const;
    void FinishGroups(struct SelectRun& run);
    // The steps of ExecuteSelect, in order: the WHERE part's type check; the sources' read
    // locks (and an INTO table made anew); the run's plan over the empty result; its rows;
    // the result's DISTINCT and ORDER BY sorts; the locks given back.
    void CheckSelectCondition(struct SelectRun& run);
    void LockSelectSources();
    void PlanSelectRun(TDataCursor& result, struct SelectRun& run);
    // True when the rows went in already in ORDER BY's order.
    bool FillSelectResult(TDataCursor& result, struct SelectRun& run, bool count_only,
                          bool all_placed);
    void OrderSelectResult(bool presorted);
    void ReleaseSelectLocks();
    // A copy of HAVING over the result columns, type-checked; raises when it names an
    // aggregate or column the result lacks.
    ExpTokenPtr HavingOverResult(const db::TFormatSettings& formats) const;
    // At planning, so that a HAVING the result cannot answer fails before anything runs.
    void CheckHaving() const;
    void ApplyHaving();
    // Records of the result under the filter an enclosing IN set, counting no further than
    // `limit`.
    std::int64_t CountResultRecords(std::int64_t limit);
    void SortResult(const std::vector<std::size_t>& columns, const std::vector<bool>& descending,
                    bool case_insensitive, bool unique);
    // ORDER BY with a memo among its columns: a memo sorts by its text, which the table's own
    // sort, keyed by the bytes in the record, cannot see. The rows are rewritten in order.
    void SortResultByText(const std::vector<bool>& descending);

    TQueryStatement* statement_;
    std::vector<ResultColumnPlan> result_plan_;
    std::vector<std::size_t> group_columns_;
    std::vector<std::size_t> order_columns_;
    std::unique_ptr<StatementTable> result_;
    // The INTO table is still to be made: planning leaves it to the first execution.
    bool into_pending_ = false;
    // Whether the result is held in memory for want of a name, and the bytes of its rows.
    bool result_held_ = false;
    std::int64_t held_bytes_ = 0;
    // Bytes of rows a result without a name holds in memory before it moves to disk: enough
    // for a large join's or a sorted result's rows, which then never pass through the system's
    // file cache, bounded to stay well inside a desktop's memory. Tests lower it to see the
    // move with less data.
    std::int64_t held_result_limit_ = std::int64_t{64} << 20;
    friend class TDataQueryTestAccess;
    // Rows waiting to go into the result together (whole records, `result_rows_size_` bytes),
    // in a buffer earlier statements gave up, and whether rows gather.
    KeptWorkBuffer result_rows_;
    std::size_t result_rows_size_ = 0;
    bool gather_rows_ = false;
    // RowKey's buffer for one column's value.
    mutable std::vector<std::uint8_t> key_value_;
    // Per source field number, its position in a live result's layout.
    std::vector<std::uint16_t> live_positions_;
    // The condition an enclosing query's IN asks of this sub-select's result.
    ExpTokenPtr result_filter_;
};

}  // namespace strata
