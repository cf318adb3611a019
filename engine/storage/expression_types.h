#pragma once

// The type pass over a parsed expression tree: columns are resolved through the caller's
// resolver, every node receives its result type, subtype, size and scale, operands are checked
// against their operator's rules, string constants that stand against dates and times become
// dates and times, and CAST targets are validated. The evaluator trusts what this pass set.
//
// Sizes: fixed-size result types always get their natural data size (smallint * smallint is an
// integer of 4 bytes), so result fields built from them are never overrun.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "engine/storage/data_types.h"
#include "engine/storage/engine_error_codes.h"
#include "engine/storage/exp_token.h"
#include "platform/db/format_settings.h"

namespace strata {

// Where an expression error goes: the engine error code, the object (table) name and the context
// words that end every message.
struct ExpressionErrorInfo {
    EngineErrorCode code = kErrFilter;
    std::string object_name;
    std::string context;

    // Raises `code` with "<text><context>".
    [[noreturn]] void Raise(std::string_view text) const;
};

// Answers true when the table has the column and fills the token's field number, type, subtype,
// size and scale.
using ColumnResolver = std::function<bool(TExpToken& column)>;

// Checks and annotates the subtree at `node` (whose parent is `parent`, or null at the root).
// `format` reads date, time and timestamp constants. With `wrap_booleans`, a boolean column or a
// boolean CAST or IF directly under NOT, AND, OR or at the root becomes "= TRUE".
// Untyped "?" parameters pass every operand rule and take the other operand's type; the SQL
// processor types them when the values arrive. Raises on the first violation.
void CheckExpressionTypes(const ExpressionErrorInfo& errors, bool wrap_booleans,
                          const ColumnResolver& resolver, TExpToken* parent, TExpToken& node,
                          const db::TFormatSettings& format);

// Validates the target of a CAST node and sets its size and scale.
void CheckCastArguments(const ExpressionErrorInfo& errors, TExpToken& node);

// Turns `node` in place into (copy of node) = TRUE.
void WrapAsBooleanTest(TExpToken& node);

// The operand and result rules of the operators.
bool UnaryOperandTypeOK(std::uint8_t code, EngineDataType type);
bool BinaryOperandTypesOK(std::uint8_t code, EngineDataType left_type, std::uint8_t left_subtype,
                          std::uint8_t right_subtype, EngineDataType right_type);
bool CanCastType(EngineDataType from, EngineDataType to);
EngineDataType UnaryResultType(std::uint8_t code, EngineDataType operand_type);
std::uint8_t UnaryResultSubType(std::uint8_t code, std::uint8_t operand_subtype);
EngineDataType BinaryResultType(std::uint8_t code, EngineDataType left_type,
                                EngineDataType right_type);
std::uint8_t BinaryResultSubType(std::uint8_t code, EngineDataType left_type,
                                 std::uint8_t left_subtype, std::uint8_t right_subtype,
                                 EngineDataType right_type);

// Tree queries of the SQL processor's planning.
// A column is reached through unary operands, both binary operands, all three IF branches and
// the first operand of every other function and predicate.
bool ReferencesColumn(const TExpToken& node);
// The same walk, looking for an aggregate function.
bool ContainsAggregate(const TExpToken& node);
// Up from the node through binary parents: is the first other node a NOT?
bool ContainsNotOperator(const TExpToken& node);
// OR is negated, NOT the opposite of its operand, everything else not.
bool IsNegatedExpression(const TExpToken& node);

// Type classes shared with the evaluator.
constexpr bool IsIntegerType(EngineDataType t) {
    return t == kTypeSmallInt || t == kTypeInteger || t == kTypeWord;
}
constexpr bool IsNumericType(EngineDataType t) {
    return IsIntegerType(t) || t == kTypeFloat || t == kTypeBCD;
}
constexpr bool IsDateTimeType(EngineDataType t) {
    return t == kTypeDate || t == kTypeTime || t == kTypeTimestamp;
}
constexpr bool IsMemo(EngineDataType t, std::uint8_t subtype) {
    return t == kTypeBlob && subtype == kSubtypeMemo;
}
constexpr bool IsTextType(EngineDataType t, std::uint8_t subtype) {
    return t == kTypeString || IsMemo(t, subtype);
}

}  // namespace strata
