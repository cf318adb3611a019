#pragma once

// Expression trees of filters and SQL. Every node is a TExpToken; the parser builds trees, the
// type checker annotates them and the evaluator reads them and answers with tokens too. Tokens
// come from one process-wide pool so that evaluating per record does not allocate once warm.
//
// A tree owns its children: releasing a node releases its whole subtree into the pool.
//
// Child shapes (first / second / third):
//   unary operator, aggregate, UPPER, LOWER, ABS, EXTRACT, CAST   operand
//   binary operator                       left / right
//   SUBSTRING                             string / FROM; FROM's second child is FOR
//   REPLACE                               target / search; search's second child is WITH
//   POS, OCCURS                           target / search
//   TRIM                                  source / trim character
//   ROUND                                 value / places
//   IF                                    condition / THEN / ELSE
//   LIKE, NOT LIKE                        value / pattern
//   BETWEEN, NOT BETWEEN                  value / lower; lower's second child is upper
//   IN list                               value / first element; each element's second is the next
//   IN sub-select                         value / sub-select token
//   CAST target                           the node's own type; second child the length or
//                                         precision, whose second child the scale or BLOB type

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/storage/engine_heap.h"
#include "engine/storage/exp_token_ptr.h"
#include "engine/storage/sql_services.h"

namespace strata {

// Token kinds.
enum TokenKind : std::uint8_t {
    kTokenNone = 0,
    kTokenUnary = 1,
    kTokenBinary = 2,
    kTokenStringCompare = 3,
    kTokenColumn = 4,
    kTokenConstant = 5,
    kTokenSubSelect = 6,
    kTokenFunction = 10,
    kTokenExtended = 12,
};

// Operator codes.
inline constexpr std::uint8_t kOpIsNull = 1;
inline constexpr std::uint8_t kOpIsNotNull = 2;
inline constexpr std::uint8_t kOpEqual = 3;
inline constexpr std::uint8_t kOpNotEqual = 4;
inline constexpr std::uint8_t kOpGreater = 5;
inline constexpr std::uint8_t kOpLess = 6;
inline constexpr std::uint8_t kOpGreaterEqual = 7;
inline constexpr std::uint8_t kOpLessEqual = 8;
inline constexpr std::uint8_t kOpNot = 9;
inline constexpr std::uint8_t kOpAnd = 10;
inline constexpr std::uint8_t kOpOr = 11;
inline constexpr std::uint8_t kOpNegate = 15;
inline constexpr std::uint8_t kOpUnaryPlus = 16;
inline constexpr std::uint8_t kOpAdd = 17;  // also "||"
inline constexpr std::uint8_t kOpSubtract = 18;
inline constexpr std::uint8_t kOpMultiply = 19;
inline constexpr std::uint8_t kOpDivide = 20;
inline constexpr std::uint8_t kOpSum = 23;
inline constexpr std::uint8_t kOpCount = 24;
inline constexpr std::uint8_t kOpMin = 25;
inline constexpr std::uint8_t kOpMax = 26;
inline constexpr std::uint8_t kOpAvg = 27;
inline constexpr std::uint8_t kOpLike = 31;
inline constexpr std::uint8_t kOpInList = 32;
inline constexpr std::uint8_t kOpInSelect = 33;
inline constexpr std::uint8_t kOpUpper = 35;
inline constexpr std::uint8_t kOpLower = 36;
inline constexpr std::uint8_t kOpBetween = 40;
inline constexpr std::uint8_t kOpNotBetween = 41;
inline constexpr std::uint8_t kOpNotLike = 42;
inline constexpr std::uint8_t kOpNotInList = 43;
inline constexpr std::uint8_t kOpNotInSelect = 44;
inline constexpr std::uint8_t kOpSubstring = 45;
inline constexpr std::uint8_t kOpReplace = 46;
inline constexpr std::uint8_t kOpPos = 47;
inline constexpr std::uint8_t kOpOccurs = 48;
inline constexpr std::uint8_t kOpTrimLeading = 49;
inline constexpr std::uint8_t kOpTrimTrailing = 50;
inline constexpr std::uint8_t kOpTrimBoth = 51;
inline constexpr std::uint8_t kOpCast = 52;
inline constexpr std::uint8_t kOpExtractYear = 53;
inline constexpr std::uint8_t kOpExtractMonth = 54;
inline constexpr std::uint8_t kOpExtractDay = 55;
inline constexpr std::uint8_t kOpExtractDayOfWeek = 56;
inline constexpr std::uint8_t kOpExtractHour = 57;
inline constexpr std::uint8_t kOpExtractMinute = 58;
inline constexpr std::uint8_t kOpExtractSecond = 59;
inline constexpr std::uint8_t kOpIf = 60;
inline constexpr std::uint8_t kOpAbs = 61;
inline constexpr std::uint8_t kOpRound = 62;

// The value buffer grows in blocks of this many bytes and never shrinks while the token lives.
inline constexpr std::uint32_t kTokenValueBlock = 255;

class TExpToken {
  public:
    // A value buffer for 251 bytes (255 allocated), every other field zero.
    TExpToken();
    ~TExpToken();
    TExpToken(const TExpToken&) = delete;
    TExpToken& operator=(const TExpToken&) = delete;

    // Back to the defaults: empty names, first flag byte 2, value bytes zero over the whole
    // capacity, no children. Children are released into the pool.
    void Reset();
    // Copies every field and the value bytes (growing the buffer to the source's capacity first).
    // Children are not copied; CopyTokenTree copies whole trees.
    void Assign(const TExpToken& source);
    // Same kind and code, same names without regard to case, same parameter flag, partial length,
    // no-case flag, type, subtype, size and scale; for constants also the same null flag and the
    // same value bytes over the size.
    bool SameAs(const TExpToken& other) const;
    // Stores n as the data size, growing the buffer to a multiple of 255 that holds n.
    void SetDataSize(std::uint32_t n);

    std::uint32_t ValueCapacity() const { return static_cast<std::uint32_t>(value_.capacity()); }
    std::byte* Value() { return value_.data(); }
    const std::byte* Value() const { return value_.data(); }
    // The whole buffer.
    std::span<std::byte> ValueBuffer() { return {value_.data(), value_.capacity()}; }
    // The value over its data size (at most the capacity).
    std::span<const std::byte> ValueBytes() const;
    // A string value up to its NUL, within the buffer.
    std::string_view ValueText() const;
    // Stores text and its NUL, growing the buffer as needed, and sets the data size to length + 1.
    void SetValueText(std::string_view text);

    // Source text: operator symbol, keyword, constant as written, or correlation.column.
    std::string Text;
    TokenKind Kind = kTokenNone;
    std::uint8_t Code = 0;
    // Two bytes the SQL processor owns; only reset and copied here. The mark is 2 after a
    // reset and read by nobody; the join kind of an ON condition's top comparisons (kJoin*).
    std::uint8_t StatementMark = 0;
    std::uint8_t JoinKind = 0;
    // A column node's column ("*" for all columns) and the table field it is bound to (1-based;
    // 0 = not bound).
    std::string ColumnName;
    std::uint16_t FieldNumber = 0;
    // The correlation name of a column, without directory or extension.
    std::string TableName;
    // Objects of the SQL processor, not owned: the source table of a bound column, and the query
    // of a sub-select node.
    ColumnSource* SourceTable = nullptr;
    SubSelectQuery* SubSelect = nullptr;
    bool IsNull = false;
    bool IsParameter = false;
    // Kind 3: leading characters compared (0 = all) and whether case is ignored.
    std::uint16_t PartialLength = 0;
    bool NoCase = false;
    std::uint8_t DataType = 0;
    std::uint8_t SubType = 0;
    std::uint32_t DataSize = 0;
    std::uint8_t Scale = 0;
    // A string constant the type checker turned into a column, and what it was before.
    bool ResolvedColumn = false;
    std::uint8_t SavedType = 0;
    std::uint8_t SavedSubType = 0;
    std::uint32_t SavedSize = 0;
    std::uint8_t SavedScale = 0;

    // Set by the type checker; not owning.
    TExpToken* Parent = nullptr;
    ExpTokenPtr First;
    ExpTokenPtr Second;
    ExpTokenPtr Third;

  private:
    EngineBuffer value_;
};

// The pool of free tokens.
class TExpTokenStack {
  public:
    TExpTokenStack();
    ~TExpTokenStack();
    TExpTokenStack(const TExpTokenStack&) = delete;
    TExpTokenStack& operator=(const TExpTokenStack&) = delete;

    // The last free token, reset, or a new one.
    ExpTokenPtr Get();
    // Takes the token back (its subtree too) and leaves the variable empty; empty is ignored.
    void Put(ExpTokenPtr& token);
    void Put(TExpToken* token) noexcept;

    std::size_t FreeCount() const;
    // Destroys every free token (at library shut-down).
    void Clear();

  private:
    mutable std::recursive_mutex lock_;
    std::vector<std::unique_ptr<TExpToken>> free_;
};

// The process-wide pool.
TExpTokenStack& ExpTokenStack();

// A token from the pool, reset.
ExpTokenPtr NewExpToken();
// Returns the token and its subtree to the pool and empties the variable; empty is ignored.
void ReleaseExpToken(ExpTokenPtr& token);
// The same for a whole tree.
void FreeTokenTree(ExpTokenPtr& root);
// A deep copy; empty for empty.
ExpTokenPtr CopyTokenTree(const TExpToken* root);
// Equal shapes with SameAs nodes; two empty trees are equal.
bool TokenTreesEqual(const TExpToken* a, const TExpToken* b);
// "SUM" 23, "COUNT" 24, "MIN" 25, "MAX" 26, "AVG" 27 in any case; 0 for any other name.
std::uint8_t AggregateFunctionCode(std::string_view name);

}  // namespace strata
