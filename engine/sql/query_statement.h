#pragma once

// The SQL statement object the query dataset drives: prepare a text, pass parameter values,
// read the result count and time. It owns the lexer, every TDataQuery of the statement (main
// query first, then the sub-selects in the order the parser met them) and knows the parameter
// tokens in the order of their markers in the text.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "engine/core/table_descriptors.h"
#include "engine/sql/data_query.h"
#include "engine/storage/expression_parser.h"
#include "engine/storage/sql_services.h"
#include "engine/storage/text_compare.h"

namespace strata {

class TDataCursor;
class TDataDirectory;
class TDataSession;

// Sub-selects inside sub-selects deeper than this are refused, so that no text can exhaust the
// stack through the parser's recursion.
inline constexpr int kMaxSubSelectNesting = 16;

// A BLOB parameter value in the record buffer: a 4-byte size and an 8-byte pointer to the bytes.
inline constexpr std::size_t kBlobParameterSize = 12;

class TQueryStatement final : public SubSelectOwner {
  public:
    // `directory` is the database the statement works in (not owned; null for a statement that
    // is only parsed). Date, time and number constants are read in the formats of its session's
    // language and sort.
    explicit TQueryStatement(TDataDirectory* directory);
    ~TQueryStatement() override;
    TQueryStatement(const TQueryStatement&) = delete;
    TQueryStatement& operator=(const TQueryStatement&) = delete;

    TDataDirectory* Directory() const { return directory_; }
    LanguageId SessionLanguageID() const { return language_; }
    SortId SessionSortID() const { return sort_; }
    TExpressionParser& Lexer() { return lexer_; }

    // Stored into the main query.
    void SetRequestLive(bool live);
    void SetMaxRowCount(std::int32_t count);
    void SetPasswordCallback(PasswordCallback callback);
    void SetProgressCallback(ProgressCallback callback);

    // Parses the first statement of `sql` and collects its parameters. Returns the offset of
    // the token after the statement (where a following statement of a script begins) and adds
    // it to `running_offset`.
    std::size_t Prepare(std::string_view sql, std::size_t& running_offset);

    // Copies `count` values into the parameter tokens, value i from the record bytes at
    // descriptors[i]'s offset: a flag byte (1 = a value) and the data; a BLOB's data is a
    // 4-byte size and an 8-byte pointer. Tokens without a value become NULL. Returns 0.
    int SetParams(std::size_t count, std::span<const FieldDescriptor> descriptors,
                  std::span<const std::byte> record);

    // Runs the sub-selects from the last to the second, then the main query. Answers the main
    // query's result cursor for a SELECT (owned by the statement), null for other statements.
    // A statement whose last Prepare failed, or that was never prepared, raises "Internal
    // statement error". Markers without a value are NULL.
    TDataCursor* Execute();

    // The main query's result count and execution time in seconds; 0 without a main query.
    std::int32_t GetResultCount() const;
    double GetExecutionTime() const;

    // Appends a query to the list and answers it.
    TDataQuery& AddDataQuery(std::unique_ptr<TDataQuery> query);

    SubSelectQuery& ParseSubSelect(TExpressionParser& parser) override;

    TDataQuery* MainQuery() const { return queries_.empty() ? nullptr : queries_.front().get(); }
    std::span<const std::unique_ptr<TDataQuery>> Queries() const { return queries_; }
    // The parameter tokens in marker order; the trees of the queries own them.
    std::span<TExpToken* const> Parameters() const { return parameters_; }

  private:
    void CollectParameters();
    // The session is ending: its tables go, so the statement drops every query holding them and
    // is left as one only parsed.
    void LetGoOfSession();

    TDataDirectory* directory_;
    // The session told of the statement's end; null once that session has ended.
    TDataSession* session_ = nullptr;
    std::uint64_t end_listener_ = 0;
    LanguageId language_;
    SortId sort_;
    TExpressionParser lexer_;
    std::vector<std::unique_ptr<TDataQuery>> queries_;
    std::vector<TExpToken*> parameters_;
    int sub_select_depth_ = 0;
    // The last Prepare parsed and planned its text whole; Execute refuses to run otherwise.
    bool prepared_ = false;
};

}  // namespace strata
