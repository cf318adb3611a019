#include "engine/storage/expression_parser.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <utility>
#include <vector>

#include "engine/storage/byte_order.h"
#include "engine/storage/data_types.h"
#include "engine/storage/sql_services.h"
#include "engine/storage/storage_utils.h"
#include "engine/storage/text_compare.h"
#include "platform/db/conversions.h"
#include "platform/db/date_time.h"
#include "platform/nls/nls.h"

namespace strata {

// Counts nested primaries so that deeply parenthesised text ends in a parser error instead of a
// stack overflow, and checks the finished tree's depth when the outermost level returns.
class TExpressionParser::NestingGuard {
  public:
    explicit NestingGuard(TExpressionParser& parser) : parser_(parser) {
        if (++parser_.nesting_ > kMaxParseNesting) {
            --parser_.nesting_;
            parser_.RaiseError("Expression nesting exceeds the maximum depth of " +
                               std::to_string(kMaxParseNesting) + " in ");
        }
    }
    ~NestingGuard() { --parser_.nesting_; }
    NestingGuard(const NestingGuard&) = delete;
    NestingGuard& operator=(const NestingGuard&) = delete;

  private:
    TExpressionParser& parser_;
};

namespace {

ExpTokenPtr MakeNode(TokenKind kind, std::uint8_t code, std::string text) {
    ExpTokenPtr node = NewExpToken();
    node->Kind = kind;
    node->Code = code;
    node->Text = std::move(text);
    return node;
}

void MakeBoolean(TExpToken& node) {
    node.DataType = kTypeBoolean;
    node.SetDataSize(2);
}

ExpTokenPtr MakeNullConstant(std::string text) {
    ExpTokenPtr node = MakeNode(kTokenConstant, 0, std::move(text));
    node->IsNull = true;
    return node;
}

// Links `next` as the second child of `holder`, which IN lists, BETWEEN bounds and function
// arguments use as their chain. An operand whose second child is taken (a binary expression)
// cannot carry the chain, and none of those places accepts one anyway.
template <class Fail>
void LinkSecond(TExpToken& holder, ExpTokenPtr next, Fail&& fail) {
    if (holder.Second) {
        fail(holder);
    }
    holder.Second = std::move(next);
}

struct TypeKeyword {
    std::string_view word;
    EngineDataType type;
    std::uint8_t subtype;
};

}  // namespace

ExpTokenPtr TExpressionParser::ParseFilter(std::string_view text, unsigned options) {
    SetText(text);
    NextToken();
    if (token_class_ == kClassEnd) {
        return nullptr;
    }
    ExpTokenPtr root = ParseExpression(options);
    if (token_class_ != kClassEnd) {
        RaiseError("Unknown or unexpected symbol '" + TokenText() + "' found in ");
    }
    return root;
}

void TExpressionParser::Expect(std::uint8_t token_class, std::string_view message) {
    if (token_class_ != token_class) {
        RaiseExpected(message);
    }
    NextToken();
}

// Counts the parse levels on the stack: the outermost one checks the depth of what it built.
class TExpressionParser::LevelScope {
  public:
    explicit LevelScope(TExpressionParser& parser)
        : parser_(parser), outermost_(++parser.level_calls_ == 1) {}
    ~LevelScope() { --parser_.level_calls_; }
    LevelScope(const LevelScope&) = delete;
    LevelScope& operator=(const LevelScope&) = delete;

    ExpTokenPtr Finish(ExpTokenPtr tree) const {
        if (outermost_) {
            parser_.CheckDepth(*tree);
        }
        return tree;
    }

  private:
    TExpressionParser& parser_;
    bool outermost_;
};

ExpTokenPtr TExpressionParser::ParseExpression(unsigned options) {
    LevelScope scope(*this);
    ExpTokenPtr left = ParseAndTerm(options);
    while (IsKeyword("OR")) {
        ExpTokenPtr node = MakeNode(kTokenBinary, kOpOr, TokenText());
        MakeBoolean(*node);
        NextToken();
        node->First = std::move(left);
        node->Second = ParseAndTerm(options);
        left = std::move(node);
    }
    return scope.Finish(std::move(left));
}

ExpTokenPtr TExpressionParser::ParseAndTerm(unsigned options) {
    LevelScope scope(*this);
    ExpTokenPtr left = ParseNotTerm(options);
    while (IsKeyword("AND")) {
        ExpTokenPtr node = MakeNode(kTokenBinary, kOpAnd, TokenText());
        MakeBoolean(*node);
        NextToken();
        node->First = std::move(left);
        node->Second = ParseNotTerm(options);
        left = std::move(node);
    }
    return scope.Finish(std::move(left));
}

ExpTokenPtr TExpressionParser::ParseNotTerm(unsigned options) {
    LevelScope scope(*this);
    ExpTokenPtr result;
    if (IsKeyword("NOT")) {
        result = MakeNode(kTokenUnary, kOpNot, TokenText());
        MakeBoolean(*result);
        NextToken();
        result->First = ParsePredicate(options);
    } else {
        result = ParsePredicate(options);
    }
    return scope.Finish(std::move(result));
}

ExpTokenPtr TExpressionParser::ParsePredicate(unsigned options) {
    LevelScope scope(*this);
    ExpTokenPtr left = ParseSum(options);
    std::uint8_t code = 0;
    std::string text;
    if (token_class_ == '=') {
        code = kOpEqual;
        text = "=";
        NextToken();
    } else if (token_class_ == '<') {
        NextToken();
        if (token_class_ == '>') {
            code = kOpNotEqual;
            text = "<>";
            NextToken();
        } else if (token_class_ == '=') {
            code = kOpLessEqual;
            text = "<=";
            NextToken();
        } else {
            code = kOpLess;
            text = "<";
        }
    } else if (token_class_ == '>') {
        NextToken();
        if (token_class_ == '=') {
            code = kOpGreaterEqual;
            text = ">=";
            NextToken();
        } else {
            code = kOpGreater;
            text = ">";
        }
    }
    if (code != 0) {
        ExpTokenPtr node = MakeNode(kTokenBinary, code, std::move(text));
        MakeBoolean(*node);
        node->First = std::move(left);
        node->Second = ParseSum(options);
        return scope.Finish(std::move(node));
    }
    if (!IsKeyword("LIKE") && !IsKeyword("BETWEEN") && !IsKeyword("IN") && !IsKeyword("NOT") &&
        !IsKeyword("IS")) {
        return scope.Finish(std::move(left));
    }
    if ((options & kParsePredicates) == 0) {
        RaiseError("Extended predicate operators (LIKE, BETWEEN, IN, IS NULL) are not allowed in ");
    }
    if (IsKeyword("IS")) {
        NextToken();
        bool negated = false;
        if (IsKeyword("NOT")) {
            negated = true;
            NextToken();
        }
        if (!IsKeyword("NULL")) {
            RaiseError("Unknown or unexpected symbol '" + TokenText() + "' found in ");
        }
        ExpTokenPtr node =
            MakeNode(kTokenBinary, negated ? kOpNotEqual : kOpEqual, negated ? "<>" : "=");
        MakeBoolean(*node);
        node->Second = MakeNullConstant(TokenText());
        NextToken();
        node->First = std::move(left);
        return scope.Finish(std::move(node));
    }
    bool negated = false;
    if (IsKeyword("NOT")) {
        negated = true;
        NextToken();
        if (!IsKeyword("LIKE") && !IsKeyword("BETWEEN") && !IsKeyword("IN")) {
            RaiseError("Unknown or unexpected symbol '" + TokenText() + "' found in ");
        }
    }
    ExpTokenPtr node;
    if (IsKeyword("LIKE")) {
        node =
            MakeNode(kTokenExtended, negated ? kOpNotLike : kOpLike, negated ? "NOT LIKE" : "LIKE");
        NextToken();
        node->First = std::move(left);
        node->Second = ParseSum(options);
    } else if (IsKeyword("BETWEEN")) {
        const std::string name = negated ? "NOT BETWEEN" : "BETWEEN";
        node = MakeNode(kTokenExtended, negated ? kOpNotBetween : kOpBetween, name);
        NextToken();
        node->First = std::move(left);
        ExpTokenPtr lower = ParseSum(options);
        if (!IsKeyword("AND")) {
            RaiseExpected("Expected AND operator in BETWEEN operator, instead found '");
        }
        NextToken();
        ExpTokenPtr upper = ParseSum(options);
        LinkSecond(*lower, std::move(upper), [&](const TExpToken& bad) {
            RaiseError("Constant expression expected after " + name + " operator, instead found '" +
                       bad.Text + "' in ");
        });
        node->Second = std::move(lower);
    } else {
        node =
            MakeNode(kTokenExtended, negated ? kOpNotInList : kOpInList, negated ? "NOT IN" : "IN");
        NextToken();
        node->First = std::move(left);
        node = ParseInList(std::move(node), negated, options);
    }
    MakeBoolean(*node);
    return scope.Finish(std::move(node));
}

ExpTokenPtr TExpressionParser::ParseInList(ExpTokenPtr node, bool negated, unsigned options) {
    if (token_class_ != '(') {
        RaiseExpected(negated ? "Expected left parentheses for IN operator, instead found '"
                              : "Expected left parentheses after IN operator, instead found '");
    }
    NextToken();
    if (IsKeyword("SELECT")) {
        if ((options & kParseSubSelects) == 0 || owner_ == nullptr) {
            RaiseError("Sub-select queries are not allowed in ");
        }
        node->Code = negated ? kOpNotInSelect : kOpInSelect;
        ExpTokenPtr sub = MakeNode(kTokenSubSelect, 0, "SELECT");
        // The sub-select's own expressions are outermost trees of their own, checked as such.
        const int outer_levels = std::exchange(level_calls_, 0);
        SubSelectQuery* query = nullptr;
        try {
            query = &owner_->ParseSubSelect(*this);
        } catch (...) {
            level_calls_ = outer_levels;
            throw;
        }
        level_calls_ = outer_levels;
        sub->SubSelect = query;
        node->Second = std::move(sub);
    } else {
        if (token_class_ == ')') {
            RaiseError("You must provide at least one value as an operand of the IN operator  in ");
        }
        // The elements chain through their second children; the tail is kept so that a long
        // list is built in a loop.
        node->Second = ParseSum(options);
        TExpToken* tail = node->Second.get();
        const std::string name = node->Text;
        while (token_class_ == ',') {
            NextToken();
            ExpTokenPtr element = ParseSum(options);
            TExpToken* raw = element.get();
            LinkSecond(*tail, std::move(element), [&](const TExpToken& bad) {
                RaiseError("Constant expression expected after " + name +
                           " operator, instead found '" + bad.Text + "' in ");
            });
            tail = raw;
        }
        if (tail->Second) {
            RaiseError("Constant expression expected after " + name + " operator, instead found '" +
                       tail->Text + "' in ");
        }
    }
    if (token_class_ != ')') {
        RaiseExpected("Expected right parentheses after IN operator, instead found '");
    }
    NextToken();
    return node;
}

ExpTokenPtr TExpressionParser::ParseSum(unsigned options) {
    LevelScope scope(*this);
    ExpTokenPtr left = ParseTerm(options);
    for (;;) {
        std::uint8_t code = 0;
        std::string text;
        if (token_class_ == '+') {
            code = kOpAdd;
            text = "+";
        } else if (token_class_ == '-') {
            code = kOpSubtract;
            text = "-";
        } else if (token_class_ == '|') {
            NextToken();
            if (token_class_ != '|') {
                RaiseExpected(
                    "Second concatenation symbol '|' expected after first concatentation symbol, "
                    "instead found '");
            }
            code = kOpAdd;
            text = "||";
        } else {
            break;
        }
        NextToken();
        ExpTokenPtr node = MakeNode(kTokenBinary, code, std::move(text));
        node->DataType = left->DataType;
        node->First = std::move(left);
        node->Second = ParseTerm(options);
        left = std::move(node);
    }
    return scope.Finish(std::move(left));
}

ExpTokenPtr TExpressionParser::ParseTerm(unsigned options) {
    LevelScope scope(*this);
    ExpTokenPtr left = ParseUnary(options);
    while (token_class_ == '*' || token_class_ == '/') {
        const bool multiply = token_class_ == '*';
        NextToken();
        ExpTokenPtr node =
            MakeNode(kTokenBinary, multiply ? kOpMultiply : kOpDivide, multiply ? "*" : "/");
        node->DataType = left->DataType;
        node->First = std::move(left);
        node->Second = ParseUnary(options);
        left = std::move(node);
    }
    return scope.Finish(std::move(left));
}

ExpTokenPtr TExpressionParser::ParseUnary(unsigned options) {
    LevelScope scope(*this);
    ExpTokenPtr result;
    if (token_class_ == '+' || token_class_ == '-') {
        const bool minus = token_class_ == '-';
        result = MakeNode(kTokenUnary, minus ? kOpNegate : kOpUnaryPlus, minus ? "-" : "+");
        NextToken();
        result->First = ParsePrimary(options);
        result->DataType = result->First->DataType;
    } else {
        result = ParsePrimary(options);
    }
    return scope.Finish(std::move(result));
}

ExpTokenPtr TExpressionParser::ParseNumber() {
    const std::string text = TokenText();
    ExpTokenPtr node = MakeNode(kTokenConstant, 0, text);
    if (token_class_ == kClassInteger) {
        // Digits only; anything beyond 32 bits is refused rather than wrapped.
        std::int64_t value = 0;
        for (const char c : text) {
            value = value * 10 + (c - '0');
            if (value > std::numeric_limits<std::int32_t>::max()) {
                RaiseError("Integer constant '" + text + "' is outside the range of " +
                           std::to_string(std::numeric_limits<std::int32_t>::min()) + " to " +
                           std::to_string(std::numeric_limits<std::int32_t>::max()) + " in ");
            }
        }
        node->DataType = kTypeInteger;
        node->SetDataSize(4);
        StoreInt32(node->Value(), static_cast<std::int32_t>(value));
    } else {
        double value = 0.0;
        if (!db::TryStrToFloat(text, value, Formats()) || !std::isfinite(value)) {
            RaiseError("Invalid floating-point constant '" + text + "' in ");
        }
        node->DataType = kTypeFloat;
        node->SetDataSize(8);
        StoreDouble(node->Value(), value);
    }
    NextToken();
    return node;
}

ExpTokenPtr TExpressionParser::ParseColumn(std::string name, unsigned options) {
    // The current token is the one after the name.
    if (token_class_ == '.') {
        NextToken();
        if (token_class_ != kClassSymbol && token_class_ != kClassBracketed &&
            token_class_ != kClassString && token_class_ != '*') {
            RaiseExpected(
                "Symbol or string expression expected after table correlation name separator "
                "'.', instead found '");
        }
        if (token_class_ == '*' && (options & kParseStar) == 0) {
            RaiseError("* (all columns) symbol is not allowed in ");
        }
        const std::string column = TokenText();
        ExpTokenPtr node = MakeNode(kTokenColumn, 0, ShortString(name + "." + column));
        node->ColumnName = column;
        node->TableName = ShortString(BareFileName(name));
        NextToken();
        return node;
    }
    ExpTokenPtr node = MakeNode(kTokenColumn, 0, name);
    node->ColumnName = std::move(name);
    return node;
}

ExpTokenPtr TExpressionParser::ParsePrimary(unsigned options) {
    LevelScope scope(*this);
    NestingGuard guard(*this);
    ExpTokenPtr result;
    switch (token_class_) {
        case kClassInteger:
        case kClassFloat:
            result = ParseNumber();
            break;
        case kClassString: {
            const bool double_quoted = text_[token_start_] == '"';
            // A constant keeps every character (a memo can take it); a name is cut as names are.
            std::string text = WholeTokenText();
            NextToken();
            if (token_class_ == '.') {
                result = ParseColumn(ShortString(text), options);
                break;
            }
            result = MakeNode(kTokenConstant, 0, text);
            result->DataType = kTypeString;
            if (text.empty()) {
                // An empty string is NULL; it keeps the string type so that it concatenates.
                result->IsNull = true;
                result->SetDataSize(1);
            } else {
                result->SetValueText(text);
            }
            // Only a name in double quotes may turn out to be a column.
            if (double_quoted) {
                result->ColumnName = ShortString(text);
            }
            break;
        }
        case kClassCharacter: {
            const std::string text = TokenText();
            const std::string_view digits = std::string_view(text).substr(1);
            int value = 0;
            for (const char c : digits) {
                value = std::min(value * 10 + (c - '0'), 1000);
            }
            if (digits.empty() || value > 255) {
                RaiseError("Character constants (#) must be within the range of 0 to 255 in ");
            }
            result = MakeNode(kTokenConstant, 0, text);
            result->DataType = kTypeString;
            result->SetDataSize(2);
            result->Value()[0] = static_cast<std::byte>(value);
            result->Value()[1] = std::byte{0};
            NextToken();
            break;
        }
        case '(': {
            NextToken();
            result = ParseExpression(options);
            if (token_class_ != ')') {
                RaiseExpected("Right parentheses expected, instead found '");
            }
            NextToken();
            break;
        }
        case '*':
            if ((options & kParseStar) == 0) {
                RaiseError("* (all columns) symbol is not allowed in ");
            }
            result = MakeNode(kTokenColumn, 0, "*");
            result->ColumnName = "*";
            NextToken();
            break;
        case '?':
            if ((options & kParseParameters) == 0) {
                RaiseError("Parameters are not allowed in ");
            }
            result = MakeNode(kTokenConstant, 0, "?");
            result->IsParameter = true;
            NextToken();
            break;
        case kClassSymbol:
            result = ParseFunction(options);
            if (!result) {
                std::string name = TokenText();
                NextToken();
                if (token_class_ == '(') {
                    RaiseError("Unknown or unexpected function '" + name + "' found in ");
                }
                result = ParseColumn(std::move(name), options);
            }
            break;
        case kClassBracketed: {
            std::string name = TokenText();
            NextToken();
            result = ParseColumn(std::move(name), options);
            break;
        }
        default:
            RaiseError("Unknown or unexpected symbol '" + TokenText() + "' found in ");
    }
    return scope.Finish(std::move(result));
}

// The keywords of the primary level; an empty result when the symbol is none of them.
// What a function step needs: the name as written and in upper case, and the code and result
// type its signature gives.
struct TExpressionParser::FunctionCall {
    std::string word;
    std::string upper;
    std::uint8_t code = 0;
    EngineDataType type = kTypeNone;

    std::string LeftMessage() const {
        return "Left parentheses expected after " + upper + " keyword, instead found '";
    }
    std::string RightMessage() const {
        return "Right parentheses expected after " + upper + " function arguments, instead found '";
    }
};

ExpTokenPtr TExpressionParser::ParseFunction(unsigned options) {
    FunctionCall call{TokenText(), {}, 0, kTypeNone};
    call.upper = UpperCaseLang(0, 0, call.word);
    if (const std::uint8_t aggregate = AggregateFunctionCode(call.word); aggregate != 0) {
        call.code = aggregate;
        return ParseAggregateCall(call, options);
    }

    using Step = ExpTokenPtr (TExpressionParser::*)(const FunctionCall&, unsigned);
    struct Signature {
        std::string_view word;
        Step step;
        std::uint8_t code;
        EngineDataType type;
    };
    static constexpr Signature kFunctions[] = {
        {"LOWER", &TExpressionParser::ParseOneArgumentCall, kOpLower, kTypeString},
        {"UPPER", &TExpressionParser::ParseOneArgumentCall, kOpUpper, kTypeString},
        {"ABS", &TExpressionParser::ParseOneArgumentCall, kOpAbs, kTypeInteger},
        {"SUBSTRING", &TExpressionParser::ParseSubstringCall, kOpSubstring, kTypeString},
        {"REPLACE", &TExpressionParser::ParseReplaceCall, kOpReplace, kTypeString},
        {"POS", &TExpressionParser::ParsePositionCall, kOpPos, kTypeInteger},
        {"OCCURS", &TExpressionParser::ParsePositionCall, kOpOccurs, kTypeInteger},
        {"CAST", &TExpressionParser::ParseCastCall, kOpCast, kTypeNone},
        {"TRIM", &TExpressionParser::ParseTrimCall, 0, kTypeString},
        {"EXTRACT", &TExpressionParser::ParseExtractCall, 0, kTypeInteger},
        {"ROUND", &TExpressionParser::ParseRoundCall, kOpRound, kTypeFloat},
        {"IF", &TExpressionParser::ParseIfCall, kOpIf, kTypeNone},
        {"TRUE", &TExpressionParser::ParseBooleanWord, 0, kTypeBoolean},
        {"FALSE", &TExpressionParser::ParseBooleanWord, 0, kTypeBoolean},
        {"NULL", &TExpressionParser::ParseNullWord, 0, kTypeNone},
        {"CURRENT_DATE", &TExpressionParser::ParseCurrentWord, 0, kTypeDate},
        {"CURRENT_TIME", &TExpressionParser::ParseCurrentWord, 0, kTypeTime},
        {"CURRENT_TIMESTAMP", &TExpressionParser::ParseCurrentWord, 0, kTypeTimestamp},
    };
    for (const Signature& signature : kFunctions) {
        if (call.upper == signature.word) {
            call.code = signature.code;
            call.type = signature.type;
            return (this->*signature.step)(call, options);
        }
    }
    return nullptr;
}

ExpTokenPtr TExpressionParser::ParseAggregateCall(const FunctionCall& call, unsigned options) {
    if ((options & kParseAggregates) == 0) {
        RaiseError("Aggregate functions are not allowed in ");
    }
    ExpTokenPtr node = MakeNode(kTokenFunction, call.code, call.word);
    NextToken();
    Expect('(', "Left parentheses expectedafter aggregate function '" + call.upper +
                    "', instead found '");
    node->First = ParseSum(options);
    Expect(')', "Right parentheses expected after aggregate " + call.upper +
                    " function argument, instead found '");
    return node;
}

// Functions of one argument, with the short message forms.
ExpTokenPtr TExpressionParser::ParseOneArgumentCall(const FunctionCall& call, unsigned options) {
    ExpTokenPtr node = MakeNode(kTokenFunction, call.code, call.word);
    node->DataType = call.type;
    NextToken();
    Expect('(', "Left parentheses expectedafter " + call.upper + " keyword, instead found '");
    node->First = ParseSum(options);
    Expect(')', "Right parentheses expected after " + call.upper +
                    " function argument, instead found '");
    return node;
}

ExpTokenPtr TExpressionParser::ParseSubstringCall(const FunctionCall& call, unsigned options) {
    ExpTokenPtr node = MakeNode(kTokenFunction, call.code, call.word);
    node->DataType = call.type;
    NextToken();
    Expect('(', call.LeftMessage());
    node->First = ParseSum(options);
    if (!IsKeyword("FROM")) {
        RaiseExpected(
            "FROM keyword expected after first SUBSTRING function argument, instead found '");
    }
    NextToken();
    ExpTokenPtr from = ParsePrimary(options);
    if (IsKeyword("FOR")) {
        NextToken();
        LinkSecond(*from, ParsePrimary(options), [&](const TExpToken&) {
            RaiseError("FROM argument of SUBSTRING function must be an integer constant in ");
        });
    }
    node->Second = std::move(from);
    Expect(')', call.RightMessage());
    return node;
}

ExpTokenPtr TExpressionParser::ParseReplaceCall(const FunctionCall& call, unsigned options) {
    ExpTokenPtr node = MakeNode(kTokenFunction, call.code, call.word);
    node->DataType = call.type;
    NextToken();
    Expect('(', call.LeftMessage());
    ExpTokenPtr search = ParseSum(options);
    if (!IsKeyword("WITH")) {
        RaiseExpected(
            "WITH keyword expected after first REPLACE function argument, instead found '");
    }
    NextToken();
    ExpTokenPtr replacement = ParseSum(options);
    if (!IsKeyword("IN")) {
        RaiseExpected(
            "IN keyword expected after second REPLACE function argument, instead found '");
    }
    NextToken();
    node->First = ParsePrimary(options);
    LinkSecond(*search, std::move(replacement), [&](const TExpToken&) {
        RaiseError("Search argument of REPLACE function must be a string constant in ");
    });
    node->Second = std::move(search);
    Expect(')', call.RightMessage());
    return node;
}

// POS and OCCURS: the text searched for, IN, the text searched.
ExpTokenPtr TExpressionParser::ParsePositionCall(const FunctionCall& call, unsigned options) {
    ExpTokenPtr node = MakeNode(kTokenFunction, call.code, call.word);
    node->DataType = call.type;
    NextToken();
    Expect('(', call.LeftMessage());
    node->Second = ParseSum(options);
    if (!IsKeyword("IN")) {
        RaiseExpected("IN keyword expected after first " + call.upper +
                      " function argument, instead found '");
    }
    NextToken();
    node->First = ParsePrimary(options);
    Expect(')', call.RightMessage());
    return node;
}

ExpTokenPtr TExpressionParser::ParseCastCall(const FunctionCall& call, unsigned options) {
    ExpTokenPtr node = MakeNode(kTokenFunction, call.code, call.word);
    NextToken();
    Expect('(', call.LeftMessage());
    node->First = ParseExpression(options);
    if (!IsKeyword("AS")) {
        RaiseExpected("AS keyword expected after first CAST function argument, instead found '");
    }
    NextToken();
    ParseDataType(*node, options, false);
    Expect(')', call.RightMessage());
    return node;
}

ExpTokenPtr TExpressionParser::ParseTrimCall(const FunctionCall& call, unsigned options) {
    NextToken();
    Expect('(', call.LeftMessage());
    std::uint8_t code = 0;
    if (IsKeyword("LEADING")) {
        code = kOpTrimLeading;
    } else if (IsKeyword("TRAILING")) {
        code = kOpTrimTrailing;
    } else if (IsKeyword("BOTH")) {
        code = kOpTrimBoth;
    } else {
        RaiseExpected(
            "LEADING, TRAILING, or BOTH keyword expected after TRIM keyword, instead found '");
    }
    ExpTokenPtr node = MakeNode(kTokenFunction, code, call.word);
    node->DataType = call.type;
    NextToken();
    node->Second = ParsePrimary(options);
    if (!IsKeyword("FROM")) {
        RaiseExpected("FROM keyword expected after second TRIM function argument, instead found '");
    }
    NextToken();
    node->First = ParseSum(options);
    Expect(')', call.RightMessage());
    return node;
}

ExpTokenPtr TExpressionParser::ParseExtractCall(const FunctionCall& call, unsigned options) {
    NextToken();
    Expect('(', call.LeftMessage());
    static constexpr std::pair<std::string_view, std::uint8_t> kParts[] = {
        {"YEAR", kOpExtractYear},    {"MONTH", kOpExtractMonth},
        {"DAY", kOpExtractDay},      {"DAYOFWEEK", kOpExtractDayOfWeek},
        {"HOUR", kOpExtractHour},    {"MINUTE", kOpExtractMinute},
        {"SECOND", kOpExtractSecond}};
    std::uint8_t code = 0;
    for (const auto& [part, part_code] : kParts) {
        if (IsKeyword(part)) {
            code = part_code;
        }
    }
    if (code == 0) {
        RaiseExpected(
            "YEAR, MONTH, DAY, DAYOFWEEK, HOUR, MINUTE, or SECOND keyword expected after "
            "EXTRACT keyword, instead found '");
    }
    ExpTokenPtr node = MakeNode(kTokenFunction, code, call.word);
    node->DataType = call.type;
    NextToken();
    if (!IsKeyword("FROM")) {
        RaiseExpected(
            "FROM keyword expected after second EXTRACT function argument, instead found '");
    }
    NextToken();
    node->First = ParseSum(options);
    Expect(')', call.RightMessage());
    return node;
}

ExpTokenPtr TExpressionParser::ParseRoundCall(const FunctionCall& call, unsigned options) {
    ExpTokenPtr node = MakeNode(kTokenFunction, call.code, call.word);
    node->DataType = call.type;
    NextToken();
    Expect('(', "Left parentheses expectedafter ROUND keyword, instead found '");
    node->First = ParseSum(options);
    if (IsKeyword("TO")) {
        NextToken();
        node->Second = ParseSum(options);
    }
    Expect(')', call.RightMessage());
    return node;
}

ExpTokenPtr TExpressionParser::ParseIfCall(const FunctionCall& call, unsigned options) {
    ExpTokenPtr node = MakeNode(kTokenFunction, call.code, call.word);
    NextToken();
    Expect('(', "Left parentheses expectedafter IF keyword, instead found '");
    node->First = ParseExpression(options);
    if (!IsKeyword("THEN")) {
        RaiseExpected("THEN keyword expected after first IF function argument, instead found '");
    }
    NextToken();
    node->Second = ParseSum(options);
    if (!IsKeyword("ELSE")) {
        RaiseExpected("ELSE keyword expected after second IF function argument, instead found '");
    }
    NextToken();
    node->Third = ParseSum(options);
    Expect(')', call.RightMessage());
    return node;
}

ExpTokenPtr TExpressionParser::ParseBooleanWord(const FunctionCall& call, unsigned /*options*/) {
    ExpTokenPtr node = MakeNode(kTokenConstant, 0, call.word);
    MakeBoolean(*node);
    StoreUInt16(node->Value(), call.upper == "TRUE" ? 1 : 0);
    NextToken();
    return node;
}

ExpTokenPtr TExpressionParser::ParseNullWord(const FunctionCall& call, unsigned /*options*/) {
    ExpTokenPtr node = MakeNullConstant(call.word);
    NextToken();
    return node;
}

// CURRENT_DATE, CURRENT_TIME and CURRENT_TIMESTAMP: constants of the moment of parsing.
ExpTokenPtr TExpressionParser::ParseCurrentWord(const FunctionCall& call, unsigned /*options*/) {
    ExpTokenPtr node = MakeNode(kTokenConstant, 0, call.word);
    const db::TDateTime now = db::Now();
    node->DataType = call.type;
    if (call.type == kTypeDate) {
        node->SetDataSize(4);
        StoreInt32(node->Value(), DateTimeToEngineDate(now));
    } else if (call.type == kTypeTime) {
        node->SetDataSize(4);
        StoreInt32(node->Value(), DateTimeToEngineTime(now));
    } else {
        node->SetDataSize(8);
        StoreDouble(node->Value(), DateTimeToEngineTimestamp(now));
    }
    NextToken();
    return node;
}

ExpTokenPtr TExpressionParser::ParseDataTypeArgument(unsigned options) {
    return ParsePrimary(options);
}

bool TExpressionParser::ParseDataType(TExpToken& token, unsigned options, bool optional) {
    static constexpr TypeKeyword kTypes[] = {
        {"SMALLINT", kTypeSmallInt, 0}, {"WORD", kTypeWord, 0},
        {"INTEGER", kTypeInteger, 0},   {"AUTOINC", kTypeInteger, kSubtypeAutoInc},
        {"DECIMAL", kTypeBCD, 0},       {"NUMERIC", kTypeFloat, 0},
        {"FLOAT", kTypeFloat, 0},       {"MONEY", kTypeFloat, kSubtypeMoney},
        {"CHARACTER", kTypeString, 0},  {"CHAR", kTypeString, 0},
        {"VARCHAR", kTypeString, 0},    {"DATE", kTypeDate, 0},
        {"TIME", kTypeTime, 0},         {"TIMESTAMP", kTypeTimestamp, 0},
        {"BOOLEAN", kTypeBoolean, 0},   {"BYTES", kTypeBytes, 0},
        {"BLOB", kTypeBlob, 0}};
    const TypeKeyword* found = nullptr;
    for (const TypeKeyword& keyword : kTypes) {
        if (IsKeyword(keyword.word)) {
            found = &keyword;
            break;
        }
    }
    if (found == nullptr) {
        if (optional) {
            return false;
        }
        RaiseExpected("SQL data type keyword expected, instead found '");
    }
    const std::string word(found->word);
    token.DataType = found->type;
    token.SubType = found->subtype;
    NextToken();

    auto first_argument = [&] {
        ExpTokenPtr argument = ParseDataTypeArgument(options);
        if (argument->Second) {
            RaiseError("Length argument must be an integer in ");
        }
        return argument;
    };

    if (word == "DECIMAL" || word == "NUMERIC" || word == "FLOAT") {
        if (token_class_ != '(') {
            return true;
        }
        NextToken();
        ExpTokenPtr precision = first_argument();
        // A precision alone is accepted: its scale is 0.
        if (token_class_ == ',') {
            NextToken();
            precision->Second = ParseDataTypeArgument(options);
        } else if (token_class_ != ')') {
            RaiseExpected("Comma expected after first " + word + " argument, instead found '");
        }
        token.Second = std::move(precision);
        Expect(')', "Right parentheses expected after " + word +
                        " data type arguments, instead found '");
    } else if (word == "CHARACTER" || word == "CHAR") {
        Expect('(', "Left parentheses expected after CHARACTER or CHAR data type, instead found '");
        token.Second = first_argument();
        Expect(')',
               "Right parentheses expected after CHARACTER or CHAR data type arguments, instead "
               "found '");
    } else if (word == "VARCHAR") {
        Expect('(', "Left parentheses expected after VARCHAR data type, instead found '");
        token.Second = first_argument();
        Expect(')',
               "Right parentheses expected after VARCHAR data type arguments, instead found '");
    } else if (word == "BYTES") {
        if (token_class_ == '(') {
            NextToken();
            token.Second = first_argument();
            Expect(
                ')',
                "Right parentheses expected after CHARACTER data type arguments, instead found '");
        }
    } else if (word == "BLOB") {
        Expect('(', "Left parentheses expected after BLOB data type, instead found '");
        ExpTokenPtr size = ParseDataTypeArgument(options);
        if (size->Second) {
            RaiseError("First BLOB type argument must be an integer with the value of 1 in ");
        }
        if (token_class_ != ',') {
            RaiseExpected("Comma expected after first BLOB argument, instead found '");
        }
        NextToken();
        size->Second = ParseDataTypeArgument(options);
        token.Second = std::move(size);
        Expect(')', "Right parentheses expected after BLOB data type arguments, instead found '");
    }
    return true;
}

// The deepest chain of links an evaluation follows by recursion: links along AND and OR chains
// and between IN list elements are walked in loops and do not count.
void TExpressionParser::CheckDepth(const TExpToken& root) const {
    struct Item {
        const TExpToken* node;
        int depth;
        bool list_element;
    };
    std::vector<Item> stack{{&root, 0, false}};
    while (!stack.empty()) {
        const Item item = stack.back();
        stack.pop_back();
        if (item.depth > kMaxExpressionDepth) {
            RaiseError("Expression nesting exceeds the maximum depth of " +
                       std::to_string(kMaxExpressionDepth) + " in ");
        }
        const TExpToken& node = *item.node;
        const bool chain = node.Kind == kTokenBinary && (node.Code == kOpAnd || node.Code == kOpOr);
        const bool in_list =
            node.Kind == kTokenExtended && (node.Code == kOpInList || node.Code == kOpNotInList);
        if (node.First) {
            const bool same_chain =
                chain && node.First->Kind == kTokenBinary && node.First->Code == node.Code;
            stack.push_back({node.First.get(), item.depth + (same_chain ? 0 : 1), false});
        }
        if (node.Second) {
            if (in_list) {
                stack.push_back({node.Second.get(), item.depth + 1, true});
            } else {
                stack.push_back({node.Second.get(), item.depth + (item.list_element ? 0 : 1),
                                 item.list_element});
            }
        }
        if (node.Third) {
            stack.push_back({node.Third.get(), item.depth + 1, false});
        }
    }
}

bool IsUpperOfColumn(const TExpToken& token) {
    return token.Kind == kTokenFunction && token.Code == kOpUpper && token.First &&
           token.First->Kind == kTokenColumn;
}

}  // namespace strata
