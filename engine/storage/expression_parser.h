#pragma once

// The lexer and recursive-descent parser of filter and SQL expressions. One parser belongs to each
// cursor (filters) and each SQL statement (which also reads its own syntax through the lexer).
//
// Precedence, loosest first: OR, AND, NOT, predicate (comparison, LIKE, BETWEEN, IN, IS NULL),
// sum (+ - ||), term (* /), unary sign, primary. Binary levels are left-associative.
//
// Every error raises EStrataEngineError with the parser's error code (10051 for filters, 11949
// for SQL) and object name; every text ends with the parser's context words ("... in filter
// expression"). Partly built trees are owned by ExpTokenPtr and go back to the pool.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "engine/storage/engine_error_codes.h"
#include "engine/storage/exp_token.h"
#include "platform/db/format_settings.h"

namespace strata {

class SubSelectOwner;

// Token classes of the lexer; a punctuation character is its own class (its character code).
inline constexpr std::uint8_t kClassEnd = 0;
inline constexpr std::uint8_t kClassSymbol = 1;
inline constexpr std::uint8_t kClassBracketed = 2;
inline constexpr std::uint8_t kClassString = 3;
inline constexpr std::uint8_t kClassCharacter = 4;
inline constexpr std::uint8_t kClassInteger = 5;
inline constexpr std::uint8_t kClassFloat = 6;

// Option bits of the parse levels.
inline constexpr unsigned kParseAggregates = 1;
inline constexpr unsigned kParseStar = 2;
inline constexpr unsigned kParsePredicates = 4;
inline constexpr unsigned kParseParameters = 8;
inline constexpr unsigned kParseSubSelects = 16;

// Nested parentheses and function arguments deeper than this are refused, and so are trees whose
// nesting (not counting the links of AND and OR chains and of IN lists, which every walker
// follows in a loop) is deeper than kMaxExpressionDepth, so no walk can exhaust the stack.
inline constexpr int kMaxParseNesting = 128;
inline constexpr int kMaxExpressionDepth = 1024;

class TExpressionParser {
  public:
    // `owner` receives sub-select queries; a cursor's parser has none.
    explicit TExpressionParser(SubSelectOwner* owner = nullptr);
    ~TExpressionParser();
    TExpressionParser(const TExpressionParser&) = delete;
    TExpressionParser& operator=(const TExpressionParser&) = delete;

    SubSelectOwner* Owner() const { return owner_; }

    EngineErrorCode ErrorCode() const { return error_code_; }
    void SetErrorCode(EngineErrorCode code) { error_code_ = code; }
    const std::string& ObjectName() const { return object_name_; }
    void SetObjectName(std::string_view name);
    const std::string& Context() const { return context_; }
    void SetContext(std::string_view context);
    // The formats whose decimal separator the lexer reads; without them the process-wide ones
    // in force at each NextToken.
    void SetFormats(const db::TFormatSettings& format) { format_ = format; }
    void ClearFormats() { format_.reset(); }
    const db::TFormatSettings& Formats() const;

    // Takes a copy of the text (up to its first NUL) and starts before its first token; call
    // NextToken once before parsing.
    void SetText(std::string_view text);
    // Reads the next token and answers its class.
    std::uint8_t NextToken();
    std::uint8_t TokenClass() const { return token_class_; }
    // The token's characters (between the delimiters for strings and bracketed names), doubled
    // quotes made single, cut to 255 characters.
    std::string TokenText() const;
    // The token's text without the cut to 255 characters: a string constant's value.
    std::string WholeTokenText() const;
    // Class 1 and the same word without regard to case.
    bool IsKeyword(std::string_view word) const;
    bool IsTokenClass(std::uint8_t token_class) const { return token_class_ == token_class; }
    // Offset of the current token in the text.
    std::size_t GetPosition() const { return token_start_; }
    void MarkPosition() { mark_ = token_start_; }
    // From the mark to the end of the previous token, without line breaks, cut to 255.
    std::string TextSinceMark() const;

    // The parse levels. Each starts at the current token and leaves the current token at the
    // first one it did not use. They never answer an empty tree.
    ExpTokenPtr ParseExpression(unsigned options);
    ExpTokenPtr ParseAndTerm(unsigned options);
    ExpTokenPtr ParseNotTerm(unsigned options);
    ExpTokenPtr ParsePredicate(unsigned options);
    ExpTokenPtr ParseSum(unsigned options);
    ExpTokenPtr ParseTerm(unsigned options);
    ExpTokenPtr ParseUnary(unsigned options);
    ExpTokenPtr ParsePrimary(unsigned options);
    // A whole filter text: sets the text, parses the expression and requires the end of the
    // text ("Unknown or unexpected symbol" for anything after it). A text of only blanks and
    // comments answers an empty tree.
    ExpTokenPtr ParseFilter(std::string_view text, unsigned options = kParsePredicates);

    // Reads an SQL data type into the token's type and subtype; its arguments become the
    // token's second child and that child's second child. With `optional`, a token that is no
    // type keyword is left alone and false is answered.
    bool ParseDataType(TExpToken& token, unsigned options, bool optional);

    // Raises the parser's engine error with `text` followed by the context words.
    [[noreturn]] void RaiseError(std::string_view text) const;
    // "<text>" + current token + "' in " + context.
    [[noreturn]] void RaiseExpected(std::string_view text) const;

  private:
    class NestingGuard;
    class LevelScope;

    char Peek(std::size_t offset = 0) const;
    char DecimalSeparator() const;
    void Expect(std::uint8_t token_class, std::string_view message);
    ExpTokenPtr ParseFunction(unsigned options);
    // One step per function signature; ParseFunction picks it by the function's name.
    struct FunctionCall;
    ExpTokenPtr ParseAggregateCall(const FunctionCall& call, unsigned options);
    ExpTokenPtr ParseOneArgumentCall(const FunctionCall& call, unsigned options);
    ExpTokenPtr ParseSubstringCall(const FunctionCall& call, unsigned options);
    ExpTokenPtr ParseReplaceCall(const FunctionCall& call, unsigned options);
    ExpTokenPtr ParsePositionCall(const FunctionCall& call, unsigned options);
    ExpTokenPtr ParseCastCall(const FunctionCall& call, unsigned options);
    ExpTokenPtr ParseTrimCall(const FunctionCall& call, unsigned options);
    ExpTokenPtr ParseExtractCall(const FunctionCall& call, unsigned options);
    ExpTokenPtr ParseRoundCall(const FunctionCall& call, unsigned options);
    ExpTokenPtr ParseIfCall(const FunctionCall& call, unsigned options);
    ExpTokenPtr ParseBooleanWord(const FunctionCall& call, unsigned options);
    ExpTokenPtr ParseNullWord(const FunctionCall& call, unsigned options);
    ExpTokenPtr ParseCurrentWord(const FunctionCall& call, unsigned options);
    ExpTokenPtr ParseColumn(std::string name, unsigned options);
    ExpTokenPtr ParseNumber();
    ExpTokenPtr ParseInList(ExpTokenPtr node, bool negated, unsigned options);
    ExpTokenPtr ParseDataTypeArgument(unsigned options);
    void CheckDepth(const TExpToken& root) const;

    SubSelectOwner* owner_;
    EngineErrorCode error_code_ = kErrFilter;
    std::string object_name_;
    std::string context_;
    std::optional<db::TFormatSettings> format_;
    // The text and its NUL; empty when none is held.
    std::string text_;
    std::size_t position_ = 0;
    std::size_t token_start_ = 0;
    std::size_t token_end_ = 0;
    std::size_t mark_ = 0;
    std::size_t previous_position_ = 0;
    std::uint8_t token_class_ = kClassEnd;
    int nesting_ = 0;
    int level_calls_ = 0;
};

// UPPER applied directly to a column reference.
bool IsUpperOfColumn(const TExpToken& token);

}  // namespace strata
