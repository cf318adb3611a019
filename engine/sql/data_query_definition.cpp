// The grammar of CREATE TABLE, CREATE INDEX, ALTER TABLE, DROP TABLE and DROP INDEX.

#include <limits>
#include <string>
#include <utility>

#include "engine/sql/data_query.h"
#include "engine/sql/query_statement.h"
#include "engine/sql/sql_grammar_words.h"
#include "engine/storage/data_types.h"
#include "engine/storage/engine_error_codes.h"
#include "engine/storage/expression_parser.h"
#include "engine/storage/expression_types.h"
#include "engine/storage/storage_utils.h"

namespace strata {

namespace {

constexpr std::string_view kColumnDefinitionContext = "column definition";

constexpr std::string_view kKeyClauseWords[] = {"CONSTRAINT", "PRIMARY", "UNIQUE",     "ASC",
                                                "ASCENDING",  "DESC",    "DESCENDING", "NOCASE"};
// Words that end the column list of CREATE TABLE before a column.
constexpr std::string_view kColumnListEndWords[] = {
    "CONSTRAINT", "PRIMARY",     "UNIQUE", "ASC",      "ASCENDING", "DESC", "DESCENDING",
    "NOCASE",     "DESCRIPTION", "BLOB",   "LANGUAGE", "ENCRYPTED", "USER"};
// After REDEFINE's column (and optional type), words that are no second (new) column name: the
// column options, and the table options and items that may follow, so that a trailing
// NOBACKUP or LANGUAGE is never taken as the column's new name.
constexpr std::string_view kRedefineOptionWords[] = {
    "AT",   "DESCRIPTION", "NOT",      "DEFAULT", "MIN",      "MINIMUM",
    "MAX",  "MAXIMUM",     "CHARCASE", "BLOB",    "LANGUAGE", "ENCRYPTED",
    "USER", "LAST",        "NOBACKUP", "ADD",     "REDEFINE", "DROP"};

}  // namespace

bool TDataQuery::AtKeyClauseStart() const {
    return IsKeywordOf(Lexer(), kKeyClauseWords);
}

void TDataQuery::ParseTargetTable(std::string_view before_memory, std::string_view after_memory) {
    TExpressionParser& lexer = Lexer();
    if (lexer.IsKeyword("MEMORY")) {
        InMemory = true;
        lexer.NextToken();
    }
    if (!IsNameClass(lexer.TokenClass())) {
        FailExpected(InMemory ? after_memory : before_memory);
    }
    TableName = lexer.TokenText();
    lexer.NextToken();
}

std::unique_ptr<TCreateField> TDataQuery::ParseColumnName(bool type_required, bool type_allowed) {
    TExpressionParser& lexer = Lexer();
    lexer.SetContext(kColumnDefinitionContext);
    const std::uint8_t token_class = lexer.TokenClass();
    if (token_class == kClassEnd || token_class == ';' || token_class == ',' ||
        token_class == ')') {
        Fail("Table column name is empty");
    }
    const ExpTokenPtr name = lexer.ParsePrimary(0);
    std::string column;
    if (name->Kind == kTokenColumn && name->TableName.empty()) {
        column = name->ColumnName;
    } else if (name->Kind == kTokenConstant && name->DataType == kTypeString && !name->IsNull &&
               !name->IsParameter) {
        column = name->ValueText();
    }
    if (column.empty()) {
        Fail("Table column name is empty");
    }
    auto field = std::make_unique<TCreateField>(*this);
    field->Column = NewExpToken();
    field->Column->Kind = kTokenColumn;
    field->Column->ColumnName = column;
    field->Column->Text = column;
    if (type_allowed) {
        field->TypeGiven = lexer.ParseDataType(*field->Column, 0, !type_required);
        if (field->TypeGiven) {
            const ExpressionErrorInfo errors{kErrSql, {}, std::string(kColumnDefinitionContext)};
            CheckCastArguments(errors, *field->Column);
        }
    }
    return field;
}

void TDataQuery::ParseColumnOptions(TCreateField& field, bool alter) {
    TExpressionParser& lexer = Lexer();
    if (lexer.TokenClass() == ',') {
        return;
    }
    if (alter && lexer.IsKeyword("AT")) {
        lexer.NextToken();
        field.AtPosition = ParseNumericOption("Column position is empty", "column position");
        field.AtGiven = true;
    }
    if (lexer.IsKeyword("DESCRIPTION")) {
        lexer.NextToken();
        field.Description = OptionText();
        field.DescriptionGiven = true;
    }
    if (lexer.IsKeyword("NOT")) {
        lexer.NextToken();
        ExpectKeyword("NULL", "NULL keyword expected after NOT keyword, instead found '");
        field.Required = true;
        field.RequiredGiven = true;
    }
    if (lexer.IsKeyword("DEFAULT")) {
        lexer.NextToken();
        field.Default = OptionText();
        field.DefaultGiven = true;
    }
    if (lexer.IsKeyword("MIN") || lexer.IsKeyword("MINIMUM")) {
        lexer.NextToken();
        field.Minimum = OptionText();
        field.MinimumGiven = true;
    }
    if (lexer.IsKeyword("MAX") || lexer.IsKeyword("MAXIMUM")) {
        lexer.NextToken();
        field.Maximum = OptionText();
        field.MaximumGiven = true;
    }
    if (lexer.IsKeyword("CHARCASE")) {
        lexer.NextToken();
        if (lexer.IsKeyword("UPPER")) {
            field.CharCase = kCharCaseUpper;
        } else if (lexer.IsKeyword("LOWER")) {
            field.CharCase = kCharCaseLower;
        } else if (lexer.IsKeyword("NOCHANGE")) {
            field.CharCase = kCharCaseNoChange;
        } else {
            FailExpected(
                "UPPER, LOWER, or NOCHANGE keyword expected after CHARCASE keyword, instead found "
                "'");
        }
        field.CharCaseGiven = true;
        lexer.NextToken();
    }
}

void TDataQuery::ParseKeyColumns(TCreateIndex& index, std::string_view left_message) {
    TExpressionParser& lexer = Lexer();
    if (lexer.TokenClass() != '(') {
        FailExpected(left_message);
    }
    lexer.NextToken();
    lexer.SetContext(kColumnDefinitionContext);
    for (;;) {
        const std::uint8_t token_class = lexer.TokenClass();
        if (token_class == kClassEnd || token_class == ';' || token_class == ',' ||
            token_class == ')') {
            Fail("Index column name is empty");
        }
        const ExpTokenPtr column = lexer.ParsePrimary(0);
        std::string name;
        if (column->Kind == kTokenColumn) {
            name = column->ColumnName;
        } else if (column->Kind == kTokenConstant && column->DataType == kTypeString &&
                   !column->IsNull && !column->IsParameter) {
            name = column->ValueText();
        }
        if (name.empty()) {
            Fail("Index column name is empty");
        }
        index.Columns.push_back(std::move(name));
        if (lexer.TokenClass() != ',') {
            break;
        }
        lexer.NextToken();
    }
    if (lexer.TokenClass() != ')') {
        FailExpected("Right parentheses expected after primary key clause, instead found '");
    }
    lexer.NextToken();
}

void TDataQuery::ParseCompression(TCreateIndex& index) {
    TExpressionParser& lexer = Lexer();
    if (!lexer.IsKeyword("COMPRESS")) {
        return;
    }
    lexer.NextToken();
    if (lexer.IsKeyword("FULL")) {
        index.Compression = kCompressFull;
    } else if (lexer.IsKeyword("DUPBYTE")) {
        index.Compression = kCompressDupByte;
    } else if (lexer.IsKeyword("TRAILBYTE")) {
        index.Compression = kCompressTrailByte;
    } else if (lexer.IsKeyword("NONE")) {
        index.Compression = kCompressNone;
    } else {
        FailExpected(
            "FULL, DUPBYTE, TRAILBYTE, or NONE keyword expected after COMPRESS keyword, instead "
            "found '");
    }
    lexer.NextToken();
}

std::unique_ptr<TCreateIndex> TDataQuery::ParseKeyClause() {
    TExpressionParser& lexer = Lexer();
    auto index = std::make_unique<TCreateIndex>(*this);
    if (lexer.IsKeyword("CONSTRAINT")) {
        lexer.NextToken();
        if (!AtStatementEnd()) {
            lexer.NextToken();
        }
    }
    if (lexer.IsKeyword("UNIQUE")) {
        index->Unique = true;
        lexer.NextToken();
    }
    if (lexer.IsKeyword("ASC") || lexer.IsKeyword("ASCENDING")) {
        lexer.NextToken();
    } else if (lexer.IsKeyword("DESC") || lexer.IsKeyword("DESCENDING")) {
        index->Descending = true;
        lexer.NextToken();
    }
    if (lexer.IsKeyword("NOCASE")) {
        index->NoCase = true;
        lexer.NextToken();
    }
    ExpectKeyword("PRIMARY", "PRIMARY keyword expected, instead found '");
    ExpectKeyword("KEY", "KEY keyword expected after PRIMARY keyword, instead found '");
    ParseKeyColumns(*index, "Left parentheses expected after KEY keyword, instead found '");
    ParseCompression(*index);
    return index;
}

void TDataQuery::ParseTableOptions() {
    TExpressionParser& lexer = Lexer();
    // A 16-bit option value out of range is refused rather than stored wrapped.
    auto word_option = [&](std::string_view empty_message, std::string_view name) {
        const std::int64_t value = ParseNumericOption(empty_message, name);
        if (value < 0 || value > std::numeric_limits<std::uint16_t>::max()) {
            Fail(std::string(name) + " specified (" + std::to_string(value) +
                 ") is invalid, it must be between 0 and 65535");
        }
        return static_cast<std::uint16_t>(value);
    };
    if (lexer.IsKeyword("DESCRIPTION")) {
        lexer.NextToken();
        Description = OptionText();
        DescriptionGiven = true;
    }
    if (lexer.IsKeyword("BLOB")) {
        lexer.NextToken();
        ExpectKeyword("BLOCK", "BLOCK keyword expected after BLOB keyword, instead found '");
        ExpectKeyword("SIZE", "SIZE keyword expected after BLOCK keyword, instead found '");
        BlobBlockSize = word_option("BLOB block size is empty", "BLOB block size");
        BlobBlockSizeGiven = true;
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
    if (lexer.IsKeyword("USER")) {
        lexer.NextToken();
        bool minor_follows = true;
        if (lexer.IsKeyword("MAJOR")) {
            lexer.NextToken();
            ExpectKeyword("VERSION",
                          "VERSION keyword expected after MAJOR keyword, instead found '");
            UserMajorVersion = word_option("User version number is empty", "User version number");
            MajorVersionGiven = true;
            minor_follows = lexer.IsKeyword("USER");
            if (minor_follows) {
                lexer.NextToken();
                if (!lexer.IsKeyword("MINOR")) {
                    FailExpected("MINOR keyword expected after USER keyword, instead found '");
                }
            }
        } else if (!lexer.IsKeyword("MINOR")) {
            FailExpected("MAJOR keyword expected after USER keyword, instead found '");
        }
        if (minor_follows) {
            lexer.NextToken();
            ExpectKeyword("VERSION",
                          "VERSION keyword expected after MINOR keyword, instead found '");
            UserMinorVersion = word_option("User version number is empty", "User version number");
            MinorVersionGiven = true;
        }
    }
}

void TDataQuery::ParseCreateTable() {
    TExpressionParser& lexer = Lexer();
    ParseTargetTable("Table name expected after CREATE TABLE keywords, instead found '",
                     "Table name expected, instead found '");
    if (lexer.TokenClass() != '(') {
        FailExpected("Left parentheses expected before list of table columns, instead found '");
    }
    lexer.NextToken();
    while (lexer.TokenClass() != ')' && !IsKeywordOf(lexer, kColumnListEndWords)) {
        std::unique_ptr<TCreateField> field = ParseColumnName(true, true);
        ParseColumnOptions(*field, false);
        CreateFields.push_back(std::move(field));
        if (lexer.TokenClass() != ',') {
            break;
        }
        lexer.NextToken();
    }
    if (AtKeyClauseStart()) {
        CreateIndexes.push_back(ParseKeyClause());
    }
    ParseTableOptions();
    if (lexer.TokenClass() != ')') {
        FailExpected("Right parentheses expected after CREATE TABLE statement, instead found '");
    }
    lexer.NextToken();
    ExpectStatementEnd("CREATE TABLE");
}

void TDataQuery::ParseCreateIndex() {
    TExpressionParser& lexer = Lexer();
    auto index = std::make_unique<TCreateIndex>(*this);
    if (lexer.IsKeyword("UNIQUE")) {
        index->Unique = true;
        lexer.NextToken();
    }
    if (lexer.IsKeyword("ASC") || lexer.IsKeyword("ASCENDING")) {
        lexer.NextToken();
    } else if (lexer.IsKeyword("DESC") || lexer.IsKeyword("DESCENDING")) {
        index->Descending = true;
        lexer.NextToken();
    }
    if (lexer.IsKeyword("NOCASE")) {
        index->NoCase = true;
        lexer.NextToken();
    }
    ExpectKeyword("INDEX", "INDEX keyword expected, instead found '");
    if (!IsNameClass(lexer.TokenClass())) {
        FailExpected("Index name expected after INDEX keyword, instead found '");
    }
    index->Name = lexer.TokenText();
    lexer.NextToken();
    ExpectKeyword("ON", "ON keyword expected after index name, instead found '");
    ParseTargetTable("Table name expected after ON keyword, instead found '",
                     "Table name expected, instead found '");
    ParseKeyColumns(*index, "Left parentheses expected after KEY keyword, instead found '");
    ParseCompression(*index);
    CreateIndexes.push_back(std::move(index));
    ExpectStatementEnd("CREATE INDEX");
}

void TDataQuery::ParseAlterTable() {
    TExpressionParser& lexer = Lexer();
    ParseTargetTable("Table name expected after ALTER TABLE keywords, instead found '",
                     "Table name expected, instead found '");
    while (lexer.IsKeyword("ADD") || lexer.IsKeyword("REDEFINE") || lexer.IsKeyword("DROP")) {
        if (lexer.IsKeyword("DROP")) {
            lexer.NextToken();
            if (lexer.IsKeyword("CONSTRAINT") || lexer.IsKeyword("PRIMARY")) {
                if (lexer.IsKeyword("CONSTRAINT")) {
                    lexer.NextToken();
                    if (!AtStatementEnd()) {
                        lexer.NextToken();
                    }
                }
                ExpectKeyword("PRIMARY", "PRIMARY keyword expected, instead found '");
                ExpectKeyword("KEY", "KEY keyword expected after PRIMARY keyword, instead found '");
                auto index = std::make_unique<TCreateIndex>(*this);
                index->Drop = true;
                CreateIndexes.push_back(std::move(index));
            } else {
                if (lexer.IsKeyword("COLUMN")) {
                    lexer.NextToken();
                }
                std::unique_ptr<TCreateField> field = ParseColumnName(false, true);
                field->Drop = true;
                CreateFields.push_back(std::move(field));
            }
        } else {
            const bool add = lexer.IsKeyword("ADD");
            lexer.NextToken();
            if (AtKeyClauseStart()) {
                std::unique_ptr<TCreateIndex> index = ParseKeyClause();
                index->Add = add;
                index->Redefine = !add;
                CreateIndexes.push_back(std::move(index));
            } else {
                if (lexer.IsKeyword("COLUMN")) {
                    lexer.NextToken();
                }
                std::unique_ptr<TCreateField> field = ParseColumnName(add, true);
                if (add) {
                    field->Add = true;
                } else {
                    field->Redefine = true;
                    const std::uint8_t token_class = lexer.TokenClass();
                    if (token_class != kClassEnd && token_class != ';' && token_class != ',' &&
                        !IsKeywordOf(lexer, kRedefineOptionWords)) {
                        std::unique_ptr<TCreateField> renamed = ParseColumnName(false, true);
                        renamed->Redefine = true;
                        renamed->PreviousName = field->Name();
                        if (!renamed->TypeGiven && field->TypeGiven) {
                            // The type written after the old name still applies.
                            const std::string new_name = renamed->Name();
                            renamed->Column = std::move(field->Column);
                            renamed->Column->ColumnName = new_name;
                            renamed->Column->Text = new_name;
                            renamed->TypeGiven = true;
                        }
                        field = std::move(renamed);
                    }
                }
                ParseColumnOptions(*field, true);
                CreateFields.push_back(std::move(field));
            }
        }
        if (lexer.TokenClass() != ',') {
            break;
        }
        lexer.NextToken();
    }
    ParseTableOptions();
    if (lexer.IsKeyword("LAST")) {
        lexer.NextToken();
        ExpectKeyword("AUTOINC", "AUTOINC keyword expected after LAST keyword, instead found '");
        LastAutoInc = static_cast<std::int32_t>(ParseNumericOption(
            "Next auto-increment number is empty", "next auto-increment number"));
    }
    if (lexer.IsKeyword("NOBACKUP")) {
        NoBackup = true;
        lexer.NextToken();
    }
    ExpectStatementEnd("ALTER TABLE");
}

void TDataQuery::ParseDropTable() {
    ParseTargetTable("Table name expected after TABLE keyword, instead found '",
                     "Table name expected, instead found '");
    ExpectStatementEnd("DROP TABLE");
}

void TDataQuery::ParseDropIndex() {
    TExpressionParser& lexer = Lexer();
    if (lexer.IsKeyword("MEMORY")) {
        InMemory = true;
        lexer.NextToken();
    }
    if (AtStatementEnd()) {
        Fail("Index name expression is empty");
    }
    if (!IsAliasClass(lexer.TokenClass())) {
        FailExpected(InMemory ? "Table name expected, instead found '"
                              : "Table name expected after INDEX keyword, instead found '");
    }
    TableName = lexer.TokenText();
    lexer.NextToken();
    // The index is always named through its table: an index name alone names no table.
    if (lexer.TokenClass() != '.') {
        FailExpected("Period (.) expected between table name and index name, instead found '");
    }
    lexer.NextToken();
    if (!IsAliasClass(lexer.TokenClass())) {
        FailExpected("Index name expected after table name, instead found '");
    }
    IndexName = lexer.TokenText();
    lexer.NextToken();
    ExpectStatementEnd("DROP INDEX");
}

}  // namespace strata
