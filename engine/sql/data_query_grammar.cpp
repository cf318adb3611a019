// The statement dispatcher and the grammar of SELECT, INSERT, UPDATE and DELETE. Keywords are
// not reserved: each rule compares the current token with its own words.

#include <algorithm>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "engine/core/engine_globals.h"
#include "engine/sql/data_query.h"
#include "engine/sql/query_statement.h"
#include "engine/sql/sql_grammar_words.h"
#include "engine/storage/byte_order.h"
#include "engine/storage/data_types.h"
#include "engine/storage/engine_error_codes.h"
#include "engine/storage/expression_parser.h"
#include "engine/storage/expression_types.h"
#include "engine/storage/storage_utils.h"
#include "platform/nls/nls.h"

namespace strata {

namespace {

constexpr std::string_view kSourceColumnContext = "source column expression";
constexpr std::string_view kTableColumnContext = "table column";
constexpr std::string_view kValueContext = "value expression";
constexpr std::string_view kWhereContext = "WHERE or JOIN clause";
constexpr std::string_view kHavingContext = "HAVING clause";

// HAVING takes aggregates, the extended predicates and parameters: its parameters are bound
// like those of every other clause.
constexpr unsigned kHavingOptions = kParseAggregates | kParsePredicates | kParseParameters;
constexpr unsigned kWhereOptions = kParsePredicates | kParseParameters | kParseSubSelects;

// Words that end a FROM table instead of naming it. FULL, NOJOINOPTIMIZE and LANGUAGE are among
// them, so that a full outer join is refused instead of running as an inner join under the alias
// "FULL". In the SELECT of an INSERT, the INSERT's own NOAUTOINC and COMMIT follow the table.
constexpr std::string_view kFromWords[] = {
    "LEFT",   "RIGHT", "INNER",     "JOIN", "WHERE",          "ORDER",   "GROUP",
    "HAVING", "WITH",  "ENCRYPTED", "FULL", "NOJOINOPTIMIZE", "LANGUAGE"};
constexpr std::string_view kSubSelectFromWords[] = {
    "LEFT", "RIGHT",     "INNER", "JOIN",           "WHERE",    "ORDER",     "GROUP", "HAVING",
    "WITH", "ENCRYPTED", "FULL",  "NOJOINOPTIMIZE", "LANGUAGE", "NOAUTOINC", "COMMIT"};
constexpr std::string_view kCreateIndexWords[] = {"INDEX", "UNIQUE",     "ASC",   "ASCENDING",
                                                  "DESC",  "DESCENDING", "NOCASE"};
constexpr std::string_view kAliasEndWords[] = {"INTO", "FROM"};
constexpr std::string_view kJoinWords[] = {"ON"};
constexpr std::string_view kInsertWords[] = {"VALUES", "SELECT"};
constexpr std::string_view kUpdateWords[] = {"SET"};
constexpr std::string_view kDeleteWords[] = {"WHERE", "NOJOINOPTIMIZE", "COMMIT"};

bool IsComparison(const TExpToken& node) {
    return node.Kind == kTokenBinary && node.Code >= kOpEqual && node.Code <= kOpLessEqual;
}

// Marks the column-to-column comparisons of a join condition with the join's kind, reached
// through AND, OR and unary operators.
void MarkJoinComparisons(TExpToken& root, std::uint8_t kind) {
    std::vector<TExpToken*> stack{&root};
    while (!stack.empty()) {
        TExpToken* node = stack.back();
        stack.pop_back();
        if (IsComparison(*node)) {
            if (node->First && node->Second && ReferencesColumn(*node->First) &&
                ReferencesColumn(*node->Second)) {
                node->JoinKind = kind;
            }
        } else if (node->Kind == kTokenBinary && (node->Code == kOpAnd || node->Code == kOpOr)) {
            if (node->Second) {
                stack.push_back(node->Second.get());
            }
            if (node->First) {
                stack.push_back(node->First.get());
            }
        } else if (node->Kind == kTokenUnary && node->First) {
            stack.push_back(node->First.get());
        }
    }
}

bool HasAggregate(const TExpToken& root) {
    std::vector<const TExpToken*> stack{&root};
    while (!stack.empty()) {
        const TExpToken* node = stack.back();
        stack.pop_back();
        if (node->Kind == kTokenFunction && AggregateKindOf(node->Code) != kAggregateNone) {
            return true;
        }
        for (const TExpToken* child : {node->First.get(), node->Second.get(), node->Third.get()}) {
            if (child != nullptr) {
                stack.push_back(child);
            }
        }
    }
    return false;
}

// A "*" anywhere below the root (the bare column list "*" and "t.*" stand alone).
bool HasStarBelow(const TExpToken& root) {
    std::vector<const TExpToken*> stack;
    for (const TExpToken* child : {root.First.get(), root.Second.get(), root.Third.get()}) {
        if (child != nullptr) {
            stack.push_back(child);
        }
    }
    while (!stack.empty()) {
        const TExpToken* node = stack.back();
        stack.pop_back();
        if (node->Kind == kTokenColumn && node->ColumnName == "*") {
            return true;
        }
        for (const TExpToken* child : {node->First.get(), node->Second.get(), node->Third.get()}) {
            if (child != nullptr) {
                stack.push_back(child);
            }
        }
    }
    return false;
}

bool IsStringConstant(const TExpToken& node) {
    return node.Kind == kTokenConstant && node.DataType == kTypeString && !node.IsParameter;
}

// The column a column-name expression names: a column reference, or a string constant taken as
// a name. Empty for anything else.
std::string NamedColumn(const TExpToken& node, std::string* correlation) {
    if (node.Kind == kTokenColumn) {
        if (correlation != nullptr) {
            *correlation = node.TableName;
        }
        return node.ColumnName;
    }
    if (IsStringConstant(node)) {
        return node.IsNull ? std::string() : std::string(node.ValueText());
    }
    return {};
}

}  // namespace

void TDataQuery::ParseStatement(bool sub_select) {
    Reset();
    SubSelect = sub_select;
    TExpressionParser& lexer = Lexer();
    lexer.SetErrorCode(kErrSql);
    LocaleFormatScope formats(statement_->SessionLanguageID(), statement_->SessionSortID());
    lexer.SetFormats(formats.Formats());

    if (lexer.IsKeyword("SELECT")) {
        Kind = kStatementSelect;
    } else if (lexer.IsKeyword("INSERT")) {
        Kind = kStatementInsert;
    } else if (lexer.IsKeyword("UPDATE")) {
        Kind = kStatementUpdate;
    } else if (lexer.IsKeyword("DELETE")) {
        Kind = kStatementDelete;
    } else if (lexer.IsKeyword("CREATE")) {
        lexer.NextToken();
        if (lexer.IsKeyword("TABLE")) {
            Kind = kStatementCreateTable;
            lexer.NextToken();
        } else if (IsKeywordOf(lexer, kCreateIndexWords)) {
            Kind = kStatementCreateIndex;
        } else {
            FailExpected("TABLE or INDEX keyword expected, instead found '");
        }
    } else if (lexer.IsKeyword("ALTER")) {
        lexer.NextToken();
        if (!lexer.IsKeyword("TABLE")) {
            FailExpected("TABLE keyword expected, instead found '");
        }
        Kind = kStatementAlterTable;
        lexer.NextToken();
    } else if (lexer.IsKeyword("DROP")) {
        lexer.NextToken();
        if (lexer.IsKeyword("TABLE")) {
            Kind = kStatementDropTable;
        } else if (lexer.IsKeyword("INDEX")) {
            Kind = kStatementDropIndex;
        } else {
            FailExpected("TABLE or INDEX keyword expected, instead found '");
        }
        lexer.NextToken();
    } else {
        FailExpected(
            "SELECT, INSERT, UPDATE, DELETE, CREATE, ALTER, or DROP keyword expected, instead "
            "found '");
    }

    switch (Kind) {
        case kStatementSelect:
            ParseSelect();
            break;
        case kStatementInsert:
            ParseInsert();
            break;
        case kStatementUpdate:
            ParseUpdate();
            break;
        case kStatementDelete:
            ParseDelete();
            break;
        case kStatementCreateTable:
            ParseCreateTable();
            break;
        case kStatementCreateIndex:
            ParseCreateIndex();
            break;
        case kStatementAlterTable:
            ParseAlterTable();
            break;
        case kStatementDropTable:
            ParseDropTable();
            break;
        case kStatementDropIndex:
            ParseDropIndex();
            break;
        default:
            break;
    }
}

bool TDataQuery::AtStatementEnd() const {
    const std::uint8_t token_class = Lexer().TokenClass();
    return token_class == kClassEnd || token_class == ';';
}

void TDataQuery::ExpectStatementEnd(std::string_view statement) {
    if (!AtStatementEnd()) {
        FailExpected("End of " + std::string(statement) + " statement expected, instead found '");
    }
}

void TDataQuery::ExpectKeyword(std::string_view keyword, std::string_view message) {
    if (!Lexer().IsKeyword(keyword)) {
        FailExpected(message);
    }
    Lexer().NextToken();
}

ExpTokenPtr TDataQuery::ParseClauseExpression(unsigned options, std::string_view context,
                                              std::string_view empty_message) {
    TExpressionParser& lexer = Lexer();
    lexer.SetContext(context);
    const std::uint8_t token_class = lexer.TokenClass();
    if (token_class == kClassEnd || token_class == ';' || token_class == ',' ||
        token_class == ')') {
        Fail(empty_message);
    }
    return lexer.ParseExpression(options);
}

std::int64_t TDataQuery::ParseNumericOption(std::string_view empty_message,
                                            std::string_view context) {
    TExpressionParser& lexer = Lexer();
    lexer.SetContext(context);
    const std::uint8_t token_class = lexer.TokenClass();
    if (token_class == kClassEnd || token_class == ';' || token_class == ',' ||
        token_class == ')') {
        Fail(empty_message);
    }
    const ExpTokenPtr value = lexer.ParseUnary(0);
    auto integer_of = [](const TExpToken& node) -> std::optional<std::int64_t> {
        if (node.Kind == kTokenConstant && node.DataType == kTypeInteger && !node.IsNull &&
            !node.IsParameter) {
            return LoadInt32(node.Value());
        }
        return std::nullopt;
    };
    if (const auto plain = integer_of(*value)) {
        return *plain;
    }
    if (value->Kind == kTokenUnary && value->First &&
        (value->Code == kOpNegate || value->Code == kOpUnaryPlus)) {
        if (const auto operand = integer_of(*value->First)) {
            return value->Code == kOpNegate ? -*operand : *operand;
        }
    }
    return 0;
}

TSourceTable& TDataQuery::ParseTableReference(std::string_view before_memory,
                                              std::string_view after_memory,
                                              std::span<const std::string_view> clause_words,
                                              bool allow_as) {
    TExpressionParser& lexer = Lexer();
    bool in_memory = false;
    if (lexer.IsKeyword("MEMORY")) {
        in_memory = true;
        lexer.NextToken();
    }
    if (!IsNameClass(lexer.TokenClass())) {
        FailExpected(in_memory ? after_memory : before_memory);
    }
    auto table = std::make_unique<TSourceTable>(*this);
    table->SetReference(lexer.TokenText(), in_memory);
    lexer.NextToken();
    if (allow_as && lexer.IsKeyword("AS")) {
        lexer.NextToken();
        if (!IsNameClass(lexer.TokenClass())) {
            FailExpected("Symbol or string expected after AS keyword, instead found '");
        }
        table->CorrelationName = lexer.TokenText();
        lexer.NextToken();
    } else if (IsNameClass(lexer.TokenClass()) && !IsKeywordOf(lexer, clause_words)) {
        table->CorrelationName = lexer.TokenText();
        lexer.NextToken();
    }
    SourceTables.push_back(std::move(table));
    SourceTables.back()->TableNumber = static_cast<std::uint16_t>(SourceTables.size());
    return *SourceTables.back();
}

void TDataQuery::CheckDuplicateCorrelation() const {
    for (std::size_t i = 1; i < SourceTables.size(); ++i) {
        for (std::size_t j = 0; j < i; ++j) {
            if (platform::nls::SameTextAnsi(SourceTables[i]->CorrelationName,
                                            SourceTables[j]->CorrelationName)) {
                Fail("Duplicate table correlation name '" + SourceTables[i]->CorrelationName +
                     "' found in source tables");
            }
        }
    }
}

void TDataQuery::AddCondition(ExpTokenPtr condition) {
    if (!Condition) {
        Condition = std::move(condition);
        return;
    }
    ExpTokenPtr node = NewExpToken();
    node->Kind = kTokenBinary;
    node->Code = kOpAnd;
    node->Text = "AND";
    node->DataType = kTypeBoolean;
    node->SetDataSize(2);
    node->First = std::move(Condition);
    node->Second = std::move(condition);
    Condition = std::move(node);
}

void TDataQuery::ParseSelect() {
    TExpressionParser& lexer = Lexer();
    // A token is read under the clause it begins, so that a lexer error names that clause.
    lexer.SetContext(kSourceColumnContext);
    lexer.NextToken();
    if (lexer.IsKeyword("ALL")) {
        lexer.NextToken();
    }
    if (lexer.IsKeyword("DISTINCT")) {
        Distinct = true;
        lexer.NextToken();
    }
    for (;;) {
        ParseResultColumn();
        if (lexer.TokenClass() != ',') {
            break;
        }
        lexer.NextToken();
    }

    if (lexer.IsKeyword("INTO")) {
        lexer.NextToken();
        if (lexer.IsKeyword("MEMORY")) {
            lexer.NextToken();
            if (!IsNameClass(lexer.TokenClass())) {
                FailExpected("Result table name expected in INTO MEMORY clause, instead found '");
            }
            InMemory = true;
        } else if (!IsNameClass(lexer.TokenClass())) {
            FailExpected("Result table name expected in INTO clause, instead found '");
        }
        TableName = lexer.TokenText();
        lexer.NextToken();
        RequestLive = false;
    }

    ExpectKeyword("FROM", "FROM keyword expected, instead found '");
    for (;;) {
        ParseTableReference("Table name expected after FROM keyword, instead found '",
                            "Table name expected after FROM keyword, instead found '",
                            SubSelect ? std::span<const std::string_view>(kSubSelectFromWords)
                                      : std::span<const std::string_view>(kFromWords),
                            true);
        ParseJoins();
        if (lexer.TokenClass() != ',') {
            break;
        }
        MultipleTables = true;
        lexer.NextToken();
    }
    CheckDuplicateCorrelation();

    if (lexer.IsKeyword("WHERE")) {
        lexer.SetContext(kWhereContext);
        lexer.NextToken();
        ExpTokenPtr where =
            ParseClauseExpression(kWhereOptions, kWhereContext, "WHERE or JOIN clause is empty");
        WhereCondition = where.get();
        AddCondition(std::move(where));
        HasCondition = true;
    }
    if (lexer.IsKeyword("GROUP")) {
        lexer.NextToken();
        ExpectKeyword("BY", "BY keyword expected after GROUP keyword, instead found '");
        HasGroupBy = true;
        ParseOrderOrGroupList(false);
    }
    if (lexer.IsKeyword("HAVING")) {
        lexer.SetContext(kHavingContext);
        lexer.NextToken();
        Having = ParseClauseExpression(kHavingOptions, kHavingContext, "HAVING clause is empty");
        HasHaving = true;
        HavingGiven = true;
    }
    if (lexer.IsKeyword("ORDER")) {
        lexer.NextToken();
        ExpectKeyword("BY", "BY keyword expected after ORDER keyword, instead found '");
        HasOrderBy = true;
        ParseOrderOrGroupList(true);
        if (lexer.IsKeyword("NOCASE")) {
            OrderByNoCase = true;
            lexer.NextToken();
        }
    }
    if (lexer.IsKeyword("WITH")) {
        lexer.NextToken();
        ExpectKeyword("LOCKS", "LOCKS keyword expected after WITH keyword, instead found '");
        WithLocks = true;
    }
    if (lexer.IsKeyword("LANGUAGE")) {
        ParseLanguage();
    }
    if (lexer.IsKeyword("ENCRYPTED")) {
        lexer.NextToken();
        ExpectKeyword("WITH", "WITH keyword expected after ENCRYPTED keyword, instead found '");
        Password = OptionText();
        Encrypted = !Password.empty();
        EncryptedGiven = true;
    }
    if (lexer.IsKeyword("NOJOINOPTIMIZE")) {
        NoJoinOptimize = true;
        lexer.NextToken();
    }
    if (!SubSelect) {
        ExpectStatementEnd("SELECT");
    }
}

void TDataQuery::ParseResultColumn() {
    TExpressionParser& lexer = Lexer();
    lexer.MarkPosition();
    ExpTokenPtr expression =
        ParseClauseExpression(kParseAggregates | kParseStar | kParsePredicates,
                              kSourceColumnContext, "Source column expression is empty");
    const std::string text = lexer.TextSinceMark();
    auto field = std::make_unique<TResultField>(*this);
    const std::uint8_t aggregate =
        expression->Kind == kTokenFunction ? AggregateKindOf(expression->Code) : kAggregateNone;
    if (expression->Kind == kTokenColumn) {
        field->TableName = expression->TableName;
        field->SetColumnName(expression->ColumnName);
        field->Expression = std::move(expression);
    } else if (aggregate != kAggregateNone) {
        field->Aggregate = aggregate;
        if (aggregate == kAggregateAvg) {
            HasAvg = true;
        }
        const TExpToken* argument = expression->First.get();
        const bool star =
            argument != nullptr && argument->Kind == kTokenColumn && argument->ColumnName == "*";
        if (star && aggregate == kAggregateCount && argument->TableName.empty()) {
            field->CountStar = true;
        } else if (star || (argument != nullptr && HasStarBelow(*expression->First))) {
            lexer.RaiseError("* (all columns) symbol is not allowed in ");
        } else if (argument != nullptr && HasAggregate(*argument)) {
            Fail("Aggregate functions cannot be nested");
        } else if (argument != nullptr && argument->Kind == kTokenColumn) {
            field->TableName = argument->TableName;
            field->SetColumnName(argument->ColumnName);
            field->ResultName.clear();
            field->Expression = std::move(expression);
        } else {
            field->IsExpression = true;
            field->ExpressionText = text;
            field->Expression = std::move(expression);
        }
    } else if (HasAggregate(*expression)) {
        Fail("Aggregate functions cannot be used within expressions");
    } else if (HasStarBelow(*expression)) {
        lexer.RaiseError("* (all columns) symbol is not allowed in ");
    } else {
        field->IsExpression = true;
        field->ExpressionText = text;
        field->Expression = std::move(expression);
        HasExpressionColumn = true;
    }

    std::string alias;
    bool alias_given = false;
    if (lexer.IsKeyword("AS")) {
        lexer.NextToken();
        if (!IsAliasClass(lexer.TokenClass())) {
            FailExpected("Symbol or string expected after AS keyword, instead found '");
        }
        alias = lexer.TokenText();
        alias_given = true;
        lexer.NextToken();
    } else if (IsAliasClass(lexer.TokenClass()) && !IsKeywordOf(lexer, kAliasEndWords)) {
        alias = lexer.TokenText();
        alias_given = true;
        lexer.NextToken();
    }
    if (alias_given && lexer.TokenClass() == '.') {
        lexer.NextToken();
        if (!IsAliasClass(lexer.TokenClass())) {
            FailExpected("Symbol or string expected after table correlation name, instead found '");
        }
        alias = lexer.TokenText();
        lexer.NextToken();
    }
    if (alias_given) {
        field->ResultName = alias;
        field->AliasNotGiven = false;
    }
    ResultFields.push_back(std::move(field));
}

void TDataQuery::ParseJoins() {
    TExpressionParser& lexer = Lexer();
    for (;;) {
        std::uint8_t kind = 0;
        if (lexer.IsKeyword("JOIN")) {
            kind = kJoinInner;
            lexer.NextToken();
        } else if (lexer.IsKeyword("INNER")) {
            lexer.NextToken();
            ExpectKeyword("JOIN", "JOIN keyword expected after INNER keyword, instead found '");
            kind = kJoinInner;
        } else if (lexer.IsKeyword("LEFT") || lexer.IsKeyword("RIGHT")) {
            const bool left = lexer.IsKeyword("LEFT");
            lexer.NextToken();
            if (lexer.IsKeyword("OUTER")) {
                lexer.NextToken();
            }
            ExpectKeyword("JOIN", left ? "JOIN keyword expected after LEFT or OUTER keyword, "
                                         "instead found '"
                                       : "JOIN keyword expected after RIGHT or OUTER keyword, "
                                         "instead found '");
            kind = left ? kJoinLeft : kJoinRight;
        } else if (lexer.IsKeyword("FULL")) {
            Fail("Full outer joins are currently not supported in Strata SQL SELECT statements");
        } else {
            return;
        }
        ParseTableReference("Table name expected after JOIN keyword, instead found '",
                            "Table name expected after JOIN keyword, instead found '", kJoinWords,
                            true);
        if (kind == kJoinRight) {
            // The right-joined table drives: it goes first among the source tables.
            std::rotate(SourceTables.begin(), SourceTables.end() - 1, SourceTables.end());
            for (std::size_t i = 0; i < SourceTables.size(); ++i) {
                SourceTables[i]->TableNumber = static_cast<std::uint16_t>(i + 1);
            }
        }
        lexer.SetContext(kWhereContext);
        ExpectKeyword("ON", "ON keyword expected in JOIN clause, instead found '");
        ExpTokenPtr condition = ParseClauseExpression(
            kParsePredicates | kParseParameters, kWhereContext, "WHERE or JOIN clause is empty");
        MarkJoinComparisons(*condition, kind);
        // The ON condition stays reachable per joined table; a RIGHT join's inner side is the
        // table it follows, which works only when that is a single table.
        if (kind == kJoinRight) {
            if (SourceTables.size() == 2) {
                SourceTables[1]->JoinKind = kJoinLeft;
                SourceTables[1]->JoinCondition = condition.get();
            } else {
                RightJoinOfSeveralTables = true;
            }
        } else {
            SourceTables.back()->JoinKind = kind;
            SourceTables.back()->JoinCondition = condition.get();
        }
        AddCondition(std::move(condition));
        MultipleTables = true;
        HasCondition = true;
    }
}

// Items separated by commas, up to the first token that is not a comma.
void TDataQuery::ParseOrderOrGroupList(bool order_by) {
    TExpressionParser& lexer = Lexer();
    for (;;) {
        ParseOrderOrGroupItem(order_by);
        if (lexer.TokenClass() != ',')
            return;
        lexer.NextToken();
    }
}

void TDataQuery::ParseOrderOrGroupItem(bool order_by) {
    TExpressionParser& lexer = Lexer();
    const std::string clause = order_by ? "ORDER BY" : "GROUP BY";
    const std::string expected =
        "Column name or column number expected in " + clause + " clause, instead found '";
    std::string column;
    std::string correlation;
    std::uint16_t number = 0;
    if (IsAliasClass(lexer.TokenClass())) {
        column = lexer.TokenText();
        lexer.NextToken();
        if (lexer.TokenClass() == '.') {
            lexer.NextToken();
            if (!IsAliasClass(lexer.TokenClass())) {
                FailExpected(expected);
            }
            correlation = std::move(column);
            column = lexer.TokenText();
            lexer.NextToken();
        }
    } else if (lexer.TokenClass() == kClassInteger) {
        const std::string text = lexer.TokenText();
        // Numbers that can name no result column are refused here, before a 16-bit store could
        // turn them into one that does (or into 0, which means "by name").
        std::int64_t value = 0;
        for (const char c : text) {
            value = std::min<std::int64_t>(value * 10 + (c - '0'), kMaxQueryColumns + 1);
        }
        if (value < 1 || value > static_cast<std::int64_t>(kMaxQueryColumns)) {
            Fail("Invalid column number '" + text + "' specified in " + clause + " clause");
        }
        number = static_cast<std::uint16_t>(value);
        lexer.NextToken();
    } else {
        FailExpected(expected);
    }
    if (order_by) {
        auto item = std::make_unique<TOrderByField>(*this);
        item->ColumnName = std::move(column);
        item->TableName = std::move(correlation);
        item->ColumnNumber = number;
        if (lexer.IsKeyword("ASC") || lexer.IsKeyword("ASCENDING")) {
            lexer.NextToken();
        } else if (lexer.IsKeyword("DESC") || lexer.IsKeyword("DESCENDING")) {
            item->Descending = true;
            lexer.NextToken();
        }
        OrderByFields.push_back(std::move(item));
    } else {
        auto item = std::make_unique<TGroupByField>(*this);
        item->ColumnName = std::move(column);
        item->TableName = std::move(correlation);
        item->ColumnNumber = number;
        GroupByFields.push_back(std::move(item));
    }
}

void TDataQuery::ParseLanguage() {
    TExpressionParser& lexer = Lexer();
    lexer.NextToken();
    const std::string language = lexer.TokenText();
    if (AtStatementEnd() || !IsLanguageName(language)) {
        Fail("Invalid language constant '" + language + "' specified after LANGUAGE keyword");
    }
    LanguageID = LanguageIDFromName(language);
    LanguageGiven = true;
    lexer.NextToken();
    if (lexer.IsKeyword("SORT")) {
        lexer.NextToken();
        const std::string sort = lexer.TokenText();
        if (AtStatementEnd() || !IsSortOrderName(LanguageID, sort)) {
            Fail("Invalid sort constant '" + sort + "' specified after SORT keyword");
        }
        SortID = SortOrderIDFromName(LanguageID, sort);
        SortGiven = true;
        lexer.NextToken();
    }
}

std::string TDataQuery::OptionText() {
    TExpressionParser& lexer = Lexer();
    if (AtStatementEnd()) {
        return {};
    }
    std::string text;
    // A signed number is one value: DEFAULT -1.
    if (lexer.TokenClass() == '-' || lexer.TokenClass() == '+') {
        text = lexer.TokenText();
        lexer.NextToken();
        if (lexer.TokenClass() != kClassInteger && lexer.TokenClass() != kClassFloat) {
            return text;
        }
    }
    text += lexer.TokenText();
    lexer.NextToken();
    return ShortString(text);
}

void TDataQuery::ParseCommitInterval() {
    TExpressionParser& lexer = Lexer();
    if (!lexer.IsKeyword("COMMIT")) {
        return;
    }
    lexer.NextToken();
    ExpectKeyword("INTERVAL", "INTERVAL keyword expected after COMMIT keyword, instead found '");
    const std::int64_t interval = ParseNumericOption("Commit interval is empty", "commit interval");
    if (interval < 1) {
        Fail("COMMIT INTERVAL specified (" + std::to_string(interval) +
             ") is invalid, it must be greater than 0");
    }
    CommitInterval = static_cast<std::int32_t>(interval);
    CommitIntervalGiven = true;
}

void TDataQuery::ParseInsert() {
    TExpressionParser& lexer = Lexer();
    RequestLive = true;
    lexer.NextToken();
    ExpectKeyword("INTO", "INTO keyword expected, instead found '");
    ParseTableReference("Table name expected after INTO clause, instead found '",
                        "Table name expected after INTO keyword, instead found '", kInsertWords,
                        false);
    if (lexer.TokenClass() == '(') {
        lexer.SetContext(kTableColumnContext);
        lexer.NextToken();
        for (;;) {
            lexer.MarkPosition();
            const ExpTokenPtr column =
                ParseClauseExpression(0, kTableColumnContext, "Table column name is empty");
            auto field = std::make_unique<TUpdateField>(*this);
            field->ColumnName = NamedColumn(*column, &field->TableName);
            if (field->ColumnName.empty()) {
                // Not a column: kept as written so that resolving names it in its message.
                field->ColumnName = lexer.TextSinceMark();
            }
            UpdateFields.push_back(std::move(field));
            if (lexer.TokenClass() != ',') {
                break;
            }
            lexer.NextToken();
        }
        if (lexer.TokenClass() != ')') {
            FailExpected("Right parentheses expected after list of table columns, instead found '");
        }
        lexer.NextToken();
    } else {
        auto field = std::make_unique<TUpdateField>(*this);
        field->ColumnName = "*";
        UpdateFields.push_back(std::move(field));
    }

    if (lexer.IsKeyword("VALUES")) {
        lexer.NextToken();
        if (lexer.TokenClass() != '(') {
            FailExpected("Left parentheses expected after VALUES keyword, instead found '");
        }
        lexer.SetContext(kValueContext);
        lexer.NextToken();
        for (;;) {
            lexer.MarkPosition();
            auto value = std::make_unique<TUpdateValue>(*this);
            value->Value =
                ParseClauseExpression(kParseParameters, kValueContext, "Value expression is empty");
            value->Text = lexer.TextSinceMark();
            UpdateValues.push_back(std::move(value));
            if (lexer.TokenClass() != ',') {
                break;
            }
            lexer.NextToken();
        }
        if (lexer.TokenClass() != ')') {
            FailExpected("Right parentheses expected after list of values, instead found '");
        }
        lexer.NextToken();
    } else if (lexer.IsKeyword("SELECT")) {
        TDataQuery& source = statement_->AddDataQuery(std::make_unique<TDataQuery>(*statement_));
        source.RequestLive = true;
        source.ParseStatement(true);
        InsertSelect = true;
        InsertSource = &source;
    } else {
        FailExpected("VALUES or SELECT  keyword expected, instead found '");
    }
    if (lexer.IsKeyword("NOAUTOINC")) {
        NoAutoInc = true;
        lexer.NextToken();
    }
    ParseCommitInterval();
    ExpectStatementEnd("INSERT");
}

void TDataQuery::ParseUpdate() {
    TExpressionParser& lexer = Lexer();
    RequestLive = true;
    lexer.NextToken();
    ParseTableReference("Table name expected, instead found '",
                        "Table name expected, instead found '", kUpdateWords, true);
    if (lexer.IsKeyword("SET")) {
        lexer.SetContext(kTableColumnContext);
    }
    ExpectKeyword("SET", "SET keyword expected, instead found '");
    for (;;) {
        lexer.MarkPosition();
        lexer.SetContext(kTableColumnContext);
        const std::uint8_t token_class = lexer.TokenClass();
        if (token_class == kClassEnd || token_class == ';' || token_class == ',' ||
            token_class == ')' || token_class == '=') {
            Fail("Table column name is empty");
        }
        const ExpTokenPtr column = lexer.ParsePrimary(0);
        auto field = std::make_unique<TUpdateField>(*this);
        field->ColumnName = NamedColumn(*column, &field->TableName);
        if (field->ColumnName.empty()) {
            field->ColumnName = lexer.TextSinceMark();
        }
        UpdateFields.push_back(std::move(field));
        if (lexer.TokenClass() != '=') {
            FailExpected("Assignment (=) operator expected after column name, instead found '");
        }
        lexer.SetContext(kValueContext);
        lexer.NextToken();
        lexer.MarkPosition();
        auto value = std::make_unique<TUpdateValue>(*this);
        value->Value =
            ParseClauseExpression(kParseParameters, kValueContext, "Value expression is empty");
        value->Text = lexer.TextSinceMark();
        UpdateValues.push_back(std::move(value));
        if (lexer.TokenClass() != ',') {
            break;
        }
        lexer.NextToken();
    }
    if (lexer.IsKeyword("WHERE")) {
        lexer.SetContext(kWhereContext);
        lexer.NextToken();
        AddCondition(
            ParseClauseExpression(kWhereOptions, kWhereContext, "WHERE or JOIN clause is empty"));
        HasCondition = true;
    }
    if (lexer.IsKeyword("NOAUTOINC")) {
        NoAutoInc = true;
        lexer.NextToken();
    }
    ParseCommitInterval();
    ExpectStatementEnd("UPDATE");
}

void TDataQuery::ParseDelete() {
    TExpressionParser& lexer = Lexer();
    RequestLive = true;
    lexer.NextToken();
    ExpectKeyword("FROM", "FROM keyword expected, instead found '");
    ParseTableReference("Table name expected, instead found '",
                        "Table name expected, instead found '", kDeleteWords, true);
    if (lexer.IsKeyword("WHERE")) {
        lexer.SetContext(kWhereContext);
        lexer.NextToken();
        AddCondition(
            ParseClauseExpression(kWhereOptions, kWhereContext, "WHERE or JOIN clause is empty"));
        HasCondition = true;
    }
    ParseCommitInterval();
    ExpectStatementEnd("DELETE");
}

}  // namespace strata
