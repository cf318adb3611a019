#pragma once

// Evaluation of typed expression trees, one record at a time, and the two passes that rewrite
// trees before evaluation. Every intermediate value is a pool token.
//
// Defined results where the arithmetic has none: a result that does not fit its type (integer
// overflow, a float result that is not finite, a BCD result beyond its 64-bit form, a date out of
// range) is NULL, and so is a conversion of a float or BCD value to an integer type that lies
// outside the integer's range; nothing wraps. Division by zero is NULL. A NULL never satisfies
// <, >, <= or >= (the index scans agree). A failed CAST is NULL. Scalar functions of a NULL
// argument are NULL.

#include <cstddef>
#include <cstdint>
#include <functional>

#include "engine/storage/exp_token.h"
#include "engine/storage/text_compare.h"
#include "platform/db/format_settings.h"

namespace strata {

// Fills a column token (a copy of the tree's column node) from the record: its value buffer,
// null flag and size.
using ColumnReader = std::function<void(const std::byte* record, TExpToken& column)>;

// The value of `node` for `record` as a new pool token: kind 5 (4 for a sub-select node), the
// node's type, subtype, size and scale, and the null flag. Without a reader, column values are
// those the tree holds. `format` converts texts in CAST; null means the process-wide formats.
ExpTokenPtr EvaluateExpression(const TExpToken& node, const std::byte* record, SortId sort,
                               LanguageId language, const ColumnReader& reader,
                               const db::TFormatSettings* format = nullptr);

// One operator into `result`, whose type and size the type pass set.
void ApplyUnaryOperator(std::uint8_t code, const TExpToken& operand, TExpToken& result);
void ApplyBinaryOperator(std::uint8_t code, const TExpToken& left, const TExpToken& right,
                         SortId sort, LanguageId language, TExpToken& result);
// The kind-3 comparison (= or <>) over `partial_length` characters (0 = all).
void ApplyStringPredicate(std::uint8_t code, std::uint16_t partial_length, bool no_case,
                          SortId sort, LanguageId language, TExpToken& result,
                          const TExpToken& right, const TExpToken& left);

// Evaluates `node` without a record and, when the value is not NULL, no string and of another
// type than `target`, converts it to the target's type, subtype, size and scale; a value that
// does not convert exactly keeps its own type (the comparison then runs between the two types).
ExpTokenPtr EvaluateAsType(const TExpToken& target, const TExpToken& node, SortId sort,
                           LanguageId language, const ColumnReader& reader,
                           const db::TFormatSettings* format = nullptr);

// A copy of the tree ready for filtering: prefix LIKEs and "*" or case-insensitive string
// comparisons become kind-3 partial compares, and constants take their left operand's type.
// A constant that only converts inexactly moves the bound instead (an integer column > 2.5
// becomes >= 3, < 2.5 becomes <= 2); otherwise the comparison is left between the two types.
// `format` converts texts in constant expressions (null: the process-wide formats); pass the
// table's, as the parse and the type pass had.
ExpTokenPtr PrepareFilterTree(const TExpToken& node, const ColumnReader& reader, bool no_partial,
                              bool no_case, SortId sort, LanguageId language,
                              const db::TFormatSettings* format = nullptr);

// Removes = and <> comparisons with a NULL constant from a tree of AND, OR and IF nodes. True
// when `node` itself was removed (and is then empty).
bool SimplifyNullComparisons(ExpTokenPtr& node);

}  // namespace strata
