#pragma once

// What the expression machinery needs of the SQL processor: the source table a column is bound
// to and, for IN (SELECT ...), the sub-select. The storage library sits below the SQL processor,
// so it sees them only through these interfaces; the SQL processor's objects implement them.

#include <cstddef>
#include <cstdint>

namespace strata {

class TExpToken;
class TExpressionParser;

// What a bound column token points at: the SQL processor's source table of the column. The
// storage library only carries and copies the pointer.
class ColumnSource {
  protected:
    ~ColumnSource() = default;
};

// One sub-select query as the type checker and the evaluator see it. A kind-6 token keeps a
// pointer to it (TExpToken::SubSelect, stored as SubSelectQuery*); the statement owns it.
class SubSelectQuery {
  public:
    virtual ~SubSelectQuery() = default;

    // Result columns of the SELECT; the type check requires exactly one.
    virtual std::size_t ResultColumnCount() const = 0;
    // Binds `column` (the kind-6 token) to the single result column: fills its type, subtype,
    // size and scale. False when there is no such column.
    virtual bool BindResultColumn(TExpToken& column) = 0;
    // Installs `condition` (an "=" node: the outer value as a constant on the left, a copy of the
    // kind-6 token on the right) as the filter of the result cursor, replacing an earlier one.
    virtual void SetResultFilter(const TExpToken& condition) = 0;
    // Records of the result cursor under that filter.
    virtual std::int64_t ResultRecordCount() = 0;
    // Whether the result cursor holds a record under that filter: IN needs no more than the
    // first one.
    virtual bool ResultHasRecord() { return ResultRecordCount() > 0; }
};

// The owner of a parser that allows sub-selects (the SQL statement object).
class SubSelectOwner {
  public:
    virtual ~SubSelectOwner() = default;

    // Creates a sub-select query owned and registered by the statement, flags it as a
    // sub-select and parses its SELECT from `parser`, whose current token is the SELECT
    // keyword. Returns with the current token at the first token the SELECT did not use (the
    // ")" the expression parser then requires). Raises the parser's error on a syntax error.
    virtual SubSelectQuery& ParseSubSelect(TExpressionParser& parser) = 0;
};

}  // namespace strata
