#include "engine/storage/expression_parser.h"
#include "engine/storage/byte_order.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "engine/storage/data_types.h"
#include "engine/storage/engine_error.h"
#include "engine/storage/expression_eval.h"
#include "engine/storage/sql_services.h"
#include "expression_test_table.h"

namespace strata {
namespace {

using testing::ErrorText;

void Configure(TExpressionParser& parser, EngineErrorCode code = kErrFilter) {
    parser.SetErrorCode(code);
    parser.SetObjectName("t");
    parser.SetContext("filter expression");
    parser.SetFormats(FixedFormatSettings());
}

struct LexCase {
    std::string text;
    char separator;
    std::vector<std::pair<int, std::string>> tokens;
};

TEST(ExpressionLexer, SplitsTextIntoClassesAndTexts) {
    const std::vector<LexCase> cases = {
        {"1.5e+3", '.', {{kClassFloat, "1.5e+3"}}},
        {"1+2", '.', {{kClassInteger, "1"}, {'+', "+"}, {kClassInteger, "2"}}},
        {"1,5", ',', {{kClassFloat, "1,5"}}},
        {"1,5", '.', {{kClassInteger, "1"}, {',', ","}, {kClassInteger, "5"}}},
        {".5e3.", '.', {{kClassFloat, ".5e3"}, {'.', "."}}},
        {"   \t\r\n", '.', {}},
        {"a /* note */ b", '.', {{kClassSymbol, "a"}, {kClassSymbol, "b"}}},
        {"/*1*//*2*/x",
         '.',
         {{'/', "/"},
          {'*', "*"},
          {kClassInteger, "2"},
          {'*', "*"},
          {'/', "/"},
          {kClassSymbol, "x"}}},
        {"[first name]", '.', {{kClassBracketed, "first name"}}},
        {"'it''s'", '.', {{kClassString, "it's"}}},
        {"\"say \"\"hi\"\"\"", '.', {{kClassString, "say \"hi\""}}},
        {"#65 _x1\xE9", '.', {{kClassCharacter, "#65"}, {kClassSymbol, "_x1\xE9"}}},
        {"<>=|?", '.', {{'<', "<"}, {'>', ">"}, {'=', "="}, {'|', "|"}, {'?', "?"}}},
        {"12abc", '.', {{kClassInteger, "12"}, {kClassSymbol, "abc"}}},
    };
    for (const LexCase& c : cases) {
        SCOPED_TRACE(c.text);
        TExpressionParser parser;
        Configure(parser);
        db::TFormatSettings format = FixedFormatSettings();
        format.DecimalSeparator = c.separator;
        parser.SetFormats(format);
        parser.SetText(c.text);
        std::vector<std::pair<int, std::string>> got;
        while (parser.NextToken() != kClassEnd) {
            got.emplace_back(parser.TokenClass(), parser.TokenText());
        }
        EXPECT_EQ(got, c.tokens);
        // The end of the text stays the end.
        EXPECT_EQ(parser.NextToken(), kClassEnd);
    }
}

TEST(ExpressionLexer, KeywordsPositionsAndMarks) {
    TExpressionParser parser;
    Configure(parser);
    parser.SetText("select  a,\r\n b from t");
    parser.NextToken();
    EXPECT_TRUE(parser.IsKeyword("SELECT"));
    EXPECT_FALSE(parser.IsKeyword("SELEC"));
    parser.NextToken();
    parser.MarkPosition();
    EXPECT_EQ(parser.GetPosition(), 8u);
    parser.NextToken();  // ,
    parser.NextToken();  // b
    parser.NextToken();  // from
    EXPECT_TRUE(parser.IsKeyword("from"));
    EXPECT_EQ(parser.TextSinceMark(), "a, b");
    EXPECT_TRUE(parser.IsTokenClass(kClassSymbol));
}

TEST(ExpressionLexer, TokenTextIsCutToAShortString) {
    TExpressionParser parser;
    Configure(parser);
    parser.SetText("'" + std::string(400, 'x') + "'");
    parser.NextToken();
    EXPECT_EQ(parser.TokenText().size(), 255u);
}

// The node kinds, codes and texts of a tree in prefix form: "OR(=(a,1),AND(...))".
std::string Shape(const TExpToken* node) {
    if (node == nullptr) {
        return "";
    }
    std::string text = node->Kind == kTokenColumn ? node->ColumnName : node->Text;
    if (node->IsNull && node->Kind == kTokenConstant) {
        text = "NULL";
    }
    if (!node->First && !node->Second && !node->Third) {
        return text;
    }
    std::string out;
    for (const TExpToken* child : {node->First.get(), node->Second.get(), node->Third.get()}) {
        if (child != nullptr) {
            out += (out.empty() ? "" : ",") + Shape(child);
        }
    }
    return text + "(" + out + ")";
}

TEST(ExpressionParser, BuildsTreesByPrecedence) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"a = 1 OR b = 2 AND c = 3", "OR(=(a,1),AND(=(b,2),=(c,3)))"},
        {"NOT a = 1", "NOT(=(a,1))"},
        {"-a * b", "*(-(a),b)"},
        {"a - b - c", "-(-(a,b),c)"},
        {"a + b * c", "+(a,*(b,c))"},
        {"(a + b) * c", "*(+(a,b),c)"},
        {"a || b", "||(a,b)"},
        {"a < b", "<(a,b)"},
        {"a <= b", "<=(a,b)"},
        {"a <> b", "<>(a,b)"},
        {"a >= b", ">=(a,b)"},
        {"a > b", ">(a,b)"},
        {"a IS NULL", "=(a,NULL)"},
        {"a IS NOT NULL", "<>(a,NULL)"},
        {"a LIKE 'x%'", "LIKE(a,x%)"},
        {"a NOT LIKE 'x%'", "NOT LIKE(a,x%)"},
        {"a BETWEEN 1 AND 2", "BETWEEN(a,1(2))"},
        {"a NOT BETWEEN 1 AND 2", "NOT BETWEEN(a,1(2))"},
        {"a IN (1, -2, 3)", "IN(a,1(-(2,3)))"},
        {"a NOT IN ('x')", "NOT IN(a,x)"},
        {"t.a = [my col]", "=(a,my col)"},
        {"UPPER(a) = LOWER(b)", "=(UPPER(a),LOWER(b))"},
        {"SUBSTRING(a FROM 2 FOR 3) = 'x'", "=(SUBSTRING(a,2(3)),x)"},
        {"REPLACE('a' WITH 'b' IN c) = 'x'", "=(REPLACE(c,a(b)),x)"},
        {"POS('a' IN c) = 1", "=(POS(c,a),1)"},
        {"OCCURS('a' IN c) = 1", "=(OCCURS(c,a),1)"},
        {"TRIM(BOTH '*' FROM c) = 'x'", "=(TRIM(c,*),x)"},
        {"EXTRACT(YEAR FROM d) = 2001", "=(EXTRACT(d),2001)"},
        {"ABS(a) = ROUND(b TO 2)", "=(ABS(a),ROUND(b,2))"},
        {"IF(a = 1 THEN b ELSE c) = 2", "=(IF(=(a,1),b,c),2)"},
        {"CAST(a AS CHAR(10)) = 'x'", "=(CAST(a,10),x)"},
        {"[POS] = TRUE", "=(POS,TRUE)"},
    };
    for (const auto& [text, shape] : cases) {
        SCOPED_TRACE(text);
        TExpressionParser parser;
        Configure(parser);
        ExpTokenPtr tree = parser.ParseFilter(text);
        ASSERT_TRUE(tree);
        EXPECT_EQ(Shape(tree.get()), shape);
    }
}

TEST(ExpressionParser, ConstantsCarryTypesAndValues) {
    TExpressionParser parser;
    Configure(parser);
    ExpTokenPtr tree = parser.ParseFilter("x IN (7, 2.5, 'ab', '', #65, TRUE, NULL, \"Name\")");
    std::vector<const TExpToken*> items;
    for (const TExpToken* e = tree->Second.get(); e != nullptr; e = e->Second.get()) {
        items.push_back(e);
    }
    ASSERT_EQ(items.size(), 8u);
    EXPECT_EQ(items[0]->DataType, kTypeInteger);
    EXPECT_EQ(items[0]->DataSize, 4u);
    EXPECT_EQ(LoadInt32(items[0]->Value()), 7);
    EXPECT_EQ(items[1]->DataType, kTypeFloat);
    EXPECT_EQ(LoadDouble(items[1]->Value()), 2.5);
    EXPECT_EQ(items[2]->DataType, kTypeString);
    EXPECT_EQ(items[2]->DataSize, 3u);
    EXPECT_EQ(items[2]->ValueText(), "ab");
    EXPECT_TRUE(items[2]->ColumnName.empty());
    EXPECT_TRUE(items[3]->IsNull);  // an empty string is NULL
    EXPECT_EQ(items[4]->ValueText(), "A");
    EXPECT_EQ(items[4]->DataSize, 2u);
    EXPECT_EQ(items[5]->DataType, kTypeBoolean);
    EXPECT_EQ(LoadUInt16(items[5]->Value()), 1);
    EXPECT_TRUE(items[6]->IsNull);
    EXPECT_EQ(items[6]->DataType, kTypeNone);
    // Only a double-quoted string may name a column.
    EXPECT_EQ(items[7]->ColumnName, "Name");
}

TEST(ExpressionParser, CurrentDateAndTimeAreConstants) {
    TExpressionParser parser;
    Configure(parser);
    ExpTokenPtr tree = parser.ParseFilter("CURRENT_DATE IN (CURRENT_TIME, CURRENT_TIMESTAMP)");
    EXPECT_EQ(tree->First->DataType, kTypeDate);
    EXPECT_GT(LoadInt32(tree->First->Value()), 730000);
    EXPECT_EQ(tree->Second->DataType, kTypeTime);
    EXPECT_EQ(tree->Second->Second->DataType, kTypeTimestamp);
    EXPECT_EQ(tree->Second->Second->DataSize, 8u);
}

TEST(ExpressionParser, CorrelationNamesLoseDirectoryAndExtension) {
    TExpressionParser parser;
    Configure(parser);
    parser.SetText("\"c:\\data\\mailist.dat\".Item");
    parser.NextToken();
    ExpTokenPtr column = parser.ParsePrimary(kParsePredicates);
    EXPECT_EQ(column->Kind, kTokenColumn);
    EXPECT_EQ(column->ColumnName, "Item");
    EXPECT_EQ(column->TableName, "mailist");
    EXPECT_EQ(column->Text, "c:\\data\\mailist.dat.Item");
}

TEST(ExpressionParser, NotNotReadsTheSecondNotAsAColumn) {
    TExpressionParser parser;
    Configure(parser);
    parser.SetText("NOT NOT a");
    parser.NextToken();
    ExpTokenPtr tree = parser.ParseExpression(kParsePredicates);
    EXPECT_EQ(Shape(tree.get()), "NOT(NOT)");
    EXPECT_EQ(parser.TokenText(), "a");
}

struct ErrorCase {
    std::string text;
    unsigned options;
    std::string message;
};

TEST(ExpressionParser, RaisesEveryMessageWithCodeAndContext) {
    const std::vector<ErrorCase> cases = {
        {"a /* x", 4, "Missing ending comment slash and asterisk in filter expression"},
        {"a = 'abc", 4, "Missing single quote after 'abc' in filter expression"},
        {"a = \"abc", 4, "Missing double quote after 'abc' in filter expression"},
        {"[abc = 1", 4, "Missing right bracket after 'abc = 1' in filter expression"},
        {"a | b", 4,
         "Second concatenation symbol '|' expected after first concatentation symbol, instead "
         "found 'b' in filter expression"},
        {"a LIKE 'x'", 0,
         "Extended predicate operators (LIKE, BETWEEN, IN, IS NULL) are not allowed in filter "
         "expression"},
        {"a BETWEEN 1 OR 2", 4,
         "Expected AND operator in BETWEEN operator, instead found 'OR' in filter expression"},
        {"a IN 1", 4,
         "Expected left parentheses after IN operator, instead found '1' in filter expression"},
        {"a NOT IN 1", 4,
         "Expected left parentheses for IN operator, instead found '1' in filter expression"},
        {"a IN (1 2)", 4,
         "Expected right parentheses after IN operator, instead found '2' in filter expression"},
        {"a IN ()", 4,
         "You must provide at least one value as an operand of the IN operator  in filter "
         "expression"},
        {"a IN (SELECT b FROM c)", 4, "Sub-select queries are not allowed in filter expression"},
        {"a NOT = 1", 4, "Unknown or unexpected symbol '=' found in filter expression"},
        {"a IS 1", 4, "Unknown or unexpected symbol '1' found in filter expression"},
        {"a = #256", 4,
         "Character constants (#) must be within the range of 0 to 255 in filter expression"},
        {"a = #", 4,
         "Character constants (#) must be within the range of 0 to 255 in filter expression"},
        {"(a = 1", 4, "Right parentheses expected, instead found '' in filter expression"},
        {"* = 1", 4, "* (all columns) symbol is not allowed in filter expression"},
        {"t.* = 1", 4, "* (all columns) symbol is not allowed in filter expression"},
        {"a = ?", 4, "Parameters are not allowed in filter expression"},
        {"t.+ = 1", 4,
         "Symbol or string expression expected after table correlation name separator '.', instead "
         "found '+' in filter expression"},
        {"foo(1) = 1", 4, "Unknown or unexpected function 'foo' found in filter expression"},
        {"a = - - 1", 4, "Unknown or unexpected symbol '-' found in filter expression"},
        {"a = )", 4, "Unknown or unexpected symbol ')' found in filter expression"},
        {"SUM(a) > 1", 4, "Aggregate functions are not allowed in filter expression"},
        {"SUM a", 5,
         "Left parentheses expectedafter aggregate function 'SUM', instead found 'a' in filter "
         "expression"},
        {"count(a b", 5,
         "Right parentheses expected after aggregate COUNT function argument, instead found 'b' in "
         "filter expression"},
        {"LOWER a", 4,
         "Left parentheses expectedafter LOWER keyword, instead found 'a' in filter expression"},
        {"UPPER a", 4,
         "Left parentheses expectedafter UPPER keyword, instead found 'a' in filter expression"},
        {"ABS a", 4,
         "Left parentheses expectedafter ABS keyword, instead found 'a' in filter expression"},
        {"ROUND a", 4,
         "Left parentheses expectedafter ROUND keyword, instead found 'a' in filter expression"},
        {"IF a", 4,
         "Left parentheses expectedafter IF keyword, instead found 'a' in filter expression"},
        {"SUBSTRING a", 4,
         "Left parentheses expected after SUBSTRING keyword, instead found 'a' in filter "
         "expression"},
        {"REPLACE a", 4,
         "Left parentheses expected after REPLACE keyword, instead found 'a' in filter expression"},
        {"POS a", 4,
         "Left parentheses expected after POS keyword, instead found 'a' in filter expression"},
        {"OCCURS a", 4,
         "Left parentheses expected after OCCURS keyword, instead found 'a' in filter expression"},
        {"CAST a", 4,
         "Left parentheses expected after CAST keyword, instead found 'a' in filter expression"},
        {"TRIM a", 4,
         "Left parentheses expected after TRIM keyword, instead found 'a' in filter expression"},
        {"EXTRACT a", 4,
         "Left parentheses expected after EXTRACT keyword, instead found 'a' in filter expression"},
        {"LOWER(a b", 4,
         "Right parentheses expected after LOWER function argument, instead found 'b' in filter "
         "expression"},
        {"UPPER(a b", 4,
         "Right parentheses expected after UPPER function argument, instead found 'b' in filter "
         "expression"},
        {"ABS(a b", 4,
         "Right parentheses expected after ABS function argument, instead found 'b' in filter "
         "expression"},
        {"SUBSTRING(a FROM 1 b", 4,
         "Right parentheses expected after SUBSTRING function arguments, instead found 'b' in "
         "filter expression"},
        {"REPLACE('a' WITH 'b' IN c d", 4,
         "Right parentheses expected after REPLACE function arguments, instead found 'd' in filter "
         "expression"},
        {"POS('a' IN c d", 4,
         "Right parentheses expected after POS function arguments, instead found 'd' in filter "
         "expression"},
        {"OCCURS('a' IN c d", 4,
         "Right parentheses expected after OCCURS function arguments, instead found 'd' in filter "
         "expression"},
        {"CAST(a AS INTEGER b", 4,
         "Right parentheses expected after CAST function arguments, instead found 'b' in filter "
         "expression"},
        {"TRIM(BOTH 'a' FROM c d", 4,
         "Right parentheses expected after TRIM function arguments, instead found 'd' in filter "
         "expression"},
        {"EXTRACT(DAY FROM c d", 4,
         "Right parentheses expected after EXTRACT function arguments, instead found 'd' in filter "
         "expression"},
        {"ROUND(a TO 2 b", 4,
         "Right parentheses expected after ROUND function arguments, instead found 'b' in filter "
         "expression"},
        {"IF(a THEN b ELSE c d", 4,
         "Right parentheses expected after IF function arguments, instead found 'd' in filter "
         "expression"},
        {"SUBSTRING(a TO 1)", 4,
         "FROM keyword expected after first SUBSTRING function argument, instead found 'TO' in "
         "filter expression"},
        {"REPLACE('a' IN c)", 4,
         "WITH keyword expected after first REPLACE function argument, instead found 'IN' in "
         "filter expression"},
        {"REPLACE('a' WITH 'b' c)", 4,
         "IN keyword expected after second REPLACE function argument, instead found 'c' in filter "
         "expression"},
        {"POS('a' c)", 4,
         "IN keyword expected after first POS function argument, instead found 'c' in filter "
         "expression"},
        {"OCCURS('a' c)", 4,
         "IN keyword expected after first OCCURS function argument, instead found 'c' in filter "
         "expression"},
        {"CAST(a INTEGER)", 4,
         "AS keyword expected after first CAST function argument, instead found 'INTEGER' in "
         "filter expression"},
        {"TRIM(ALL 'a' FROM c)", 4,
         "LEADING, TRAILING, or BOTH keyword expected after TRIM keyword, instead found 'ALL' in "
         "filter expression"},
        {"TRIM(BOTH 'a' c)", 4,
         "FROM keyword expected after second TRIM function argument, instead found 'c' in filter "
         "expression"},
        {"EXTRACT(WEEK FROM c)", 4,
         "YEAR, MONTH, DAY, DAYOFWEEK, HOUR, MINUTE, or SECOND keyword expected after EXTRACT "
         "keyword, instead found 'WEEK' in filter expression"},
        {"EXTRACT(DAY c)", 4,
         "FROM keyword expected after second EXTRACT function argument, instead found 'c' in "
         "filter expression"},
        {"IF(a b)", 4,
         "THEN keyword expected after first IF function argument, instead found 'b' in filter "
         "expression"},
        {"IF(a THEN b c)", 4,
         "ELSE keyword expected after second IF function argument, instead found 'c' in filter "
         "expression"},
        {"CAST(a AS DECIMAL(10 2))", 4,
         "Comma expected after first DECIMAL argument, instead found '2' in filter expression"},
        {"CAST(a AS NUMERIC(10 2))", 4,
         "Comma expected after first NUMERIC argument, instead found '2' in filter expression"},
        {"CAST(a AS FLOAT(10 2))", 4,
         "Comma expected after first FLOAT argument, instead found '2' in filter expression"},
        {"CAST(a AS BLOB(1 2))", 4,
         "Comma expected after first BLOB argument, instead found '2' in filter expression"},
        {"CAST(a AS DECIMAL(10,2 3))", 4,
         "Right parentheses expected after DECIMAL data type arguments, instead found '3' in "
         "filter expression"},
        {"CAST(a AS NUMERIC(10,2 3))", 4,
         "Right parentheses expected after NUMERIC data type arguments, instead found '3' in "
         "filter expression"},
        {"CAST(a AS FLOAT(10,2 3))", 4,
         "Right parentheses expected after FLOAT data type arguments, instead found '3' in filter "
         "expression"},
        {"CAST(a AS BLOB(1,2 3))", 4,
         "Right parentheses expected after BLOB data type arguments, instead found '3' in filter "
         "expression"},
        {"CAST(a AS VARCHAR(10 3))", 4,
         "Right parentheses expected after VARCHAR data type arguments, instead found '3' in "
         "filter expression"},
        {"CAST(a AS CHAR 10)", 4,
         "Left parentheses expected after CHARACTER or CHAR data type, instead found '10' in "
         "filter expression"},
        {"CAST(a AS CHARACTER(10 3))", 4,
         "Right parentheses expected after CHARACTER or CHAR data type arguments, instead found "
         "'3' in filter expression"},
        {"CAST(a AS VARCHAR 10)", 4,
         "Left parentheses expected after VARCHAR data type, instead found '10' in filter "
         "expression"},
        {"CAST(a AS BYTES(10 3))", 4,
         "Right parentheses expected after CHARACTER data type arguments, instead found '3' in "
         "filter expression"},
        {"CAST(a AS BLOB 1)", 4,
         "Left parentheses expected after BLOB data type, instead found '1' in filter expression"},
        {"CAST(a AS STRING)", 4,
         "SQL data type keyword expected, instead found 'STRING' in filter expression"},
        {"a = 2147483648", 4,
         "Integer constant '2147483648' is outside the range of -2147483648 to 2147483647 in "
         "filter expression"},
        {"a = 99999999999999999999999", 4,
         "Integer constant '99999999999999999999999' is outside the range of -2147483648 to "
         "2147483647 in filter expression"},
        {"a = 1e999", 4, "Invalid floating-point constant '1e999' in filter expression"},
        {"a = 1.2.3", 4, "Invalid floating-point constant '1.2.3' in filter expression"},
        {"a = 1 b", 4, "Unknown or unexpected symbol 'b' found in filter expression"},
        {"Category = 'a' Bounces > 3", 4,
         "Unknown or unexpected symbol 'Bounces' found in filter expression"},
        {"a IN (1, b + 1)", 4,
         "Constant expression expected after IN operator, instead found '+' in filter expression"},
        {"a BETWEEN b + 1 AND 2", 4,
         "Constant expression expected after BETWEEN operator, instead found '+' in filter "
         "expression"},
    };
    for (const ErrorCase& c : cases) {
        SCOPED_TRACE(c.text);
        TExpressionParser parser;
        Configure(parser);
        const std::string what = ErrorText([&] { parser.ParseFilter(c.text, c.options); });
        EXPECT_EQ(what, "Strata Engine Error # 10051 Filter error for table 't' - " + c.message);
    }
}

TEST(ExpressionParser, SqlErrorsCarryTheirOwnCode) {
    TExpressionParser parser;
    Configure(parser, kErrSql);
    parser.SetContext("WHERE clause");
    EXPECT_EQ(ErrorText([&] { parser.ParseFilter("a = ", kParsePredicates); }),
              "Strata Engine Error # 11949 SQL error - Unknown or unexpected symbol '' found in "
              "WHERE clause");
}

TEST(ExpressionParser, OptionsAllowAggregatesStarAndParameters) {
    TExpressionParser parser;
    Configure(parser);
    ExpTokenPtr tree =
        parser.ParseFilter("COUNT(*) > ?", kParseAggregates | kParseStar | kParseParameters);
    ASSERT_TRUE(tree);
    EXPECT_EQ(tree->First->Code, kOpCount);
    EXPECT_EQ(tree->First->First->ColumnName, "*");
    EXPECT_TRUE(tree->Second->IsParameter);
    EXPECT_FALSE(parser.ParseFilter("  /* only a comment */ "));
}

TEST(ExpressionParser, DeepNestingIsAParserError) {
    TExpressionParser parser;
    Configure(parser);
    const std::string fine = std::string(100, '(') + "a = 1" + std::string(100, ')');
    EXPECT_TRUE(parser.ParseFilter(fine));
    const std::string deep = std::string(100000, '(') + "a = 1" + std::string(100000, ')');
    EXPECT_EQ(ErrorText([&] { parser.ParseFilter(deep); }),
              "Strata Engine Error # 10051 Filter error for table 't' - Expression nesting exceeds "
              "the maximum depth of 128 in filter expression");
    std::string sum = "a = 1";
    for (int i = 0; i < 3000; ++i) {
        sum += " + 1";
    }
    EXPECT_NE(ErrorText([&] { parser.ParseFilter(sum); }).find("maximum depth of 1024"),
              std::string::npos);
}

TEST(ExpressionParser, LongChainsAndListsParseWithoutDeepRecursion) {
    TExpressionParser parser;
    Configure(parser);
    std::string chain = "a = 0";
    std::string list = "a IN (0";
    for (int i = 1; i < 30000; ++i) {
        chain += i % 2 == 0 ? " OR a = " : " AND a = ";
        chain += std::to_string(i);
        list += ", " + std::to_string(i);
    }
    list += ")";
    ExpTokenPtr or_tree = parser.ParseFilter(chain);
    ExpTokenPtr in_tree = parser.ParseFilter(list);
    ASSERT_TRUE(or_tree);
    ASSERT_TRUE(in_tree);
    int count = 0;
    for (const TExpToken* e = in_tree->Second.get(); e != nullptr; e = e->Second.get()) {
        ++count;
    }
    EXPECT_EQ(count, 30000);
    FreeTokenTree(or_tree);
    FreeTokenTree(in_tree);
}

struct TypeCase {
    std::string text;
    EngineDataType type;
    std::uint8_t subtype;
    std::string arguments;
};

TEST(ExpressionParser, ReadsEveryDataType) {
    const std::vector<TypeCase> cases = {
        {"SMALLINT", kTypeSmallInt, 0, ""},
        {"WORD", kTypeWord, 0, ""},
        {"INTEGER", kTypeInteger, 0, ""},
        {"AUTOINC", kTypeInteger, kSubtypeAutoInc, ""},
        {"DECIMAL(10,2)", kTypeBCD, 0, "10(2)"},
        {"DECIMAL(10)", kTypeBCD, 0, "10"},
        {"DECIMAL", kTypeBCD, 0, ""},
        {"NUMERIC(10,2)", kTypeFloat, 0, "10(2)"},
        {"FLOAT", kTypeFloat, 0, ""},
        {"MONEY", kTypeFloat, kSubtypeMoney, ""},
        {"CHARACTER(20)", kTypeString, 0, "20"},
        {"char(20)", kTypeString, 0, "20"},
        {"VARCHAR(20)", kTypeString, 0, "20"},
        {"DATE", kTypeDate, 0, ""},
        {"TIME", kTypeTime, 0, ""},
        {"TIMESTAMP", kTypeTimestamp, 0, ""},
        {"BOOLEAN", kTypeBoolean, 0, ""},
        {"BYTES", kTypeBytes, 0, ""},
        {"BYTES(8)", kTypeBytes, 0, "8"},
        {"BLOB(1,1)", kTypeBlob, 0, "1(1)"},
    };
    for (const TypeCase& c : cases) {
        SCOPED_TRACE(c.text);
        TExpressionParser parser;
        Configure(parser, kErrSql);
        parser.SetText(c.text + " NEXT");
        parser.NextToken();
        ExpTokenPtr token = NewExpToken();
        EXPECT_TRUE(parser.ParseDataType(*token, 0, false));
        EXPECT_EQ(token->DataType, c.type);
        EXPECT_EQ(token->SubType, c.subtype);
        EXPECT_EQ(Shape(token->Second.get()), c.arguments);
        EXPECT_TRUE(parser.IsKeyword("NEXT"));
    }
    TExpressionParser parser;
    Configure(parser, kErrSql);
    parser.SetText("NOT_A_TYPE");
    parser.NextToken();
    ExpTokenPtr token = NewExpToken();
    EXPECT_FALSE(parser.ParseDataType(*token, 0, true));
    EXPECT_TRUE(parser.IsKeyword("NOT_A_TYPE"));
}

class FakeQuery : public SubSelectQuery {
  public:
    std::size_t ResultColumnCount() const override { return columns; }
    bool BindResultColumn(TExpToken& column) override {
        column.DataType = kTypeInteger;
        column.SetDataSize(4);
        return bindable;
    }
    void SetResultFilter(const TExpToken& condition) override {
        last_value = LoadInt32(condition.First->Value());
        ++filters;
    }
    std::int64_t ResultRecordCount() override { return last_value == 2 || last_value == 3 ? 1 : 0; }

    std::size_t columns = 1;
    bool bindable = true;
    std::int32_t last_value = 0;
    int filters = 0;
};

class FakeOwner : public SubSelectOwner {
  public:
    SubSelectQuery& ParseSubSelect(TExpressionParser& parser) override {
        EXPECT_TRUE(parser.IsKeyword("SELECT"));
        while (!parser.IsTokenClass(')') && !parser.IsTokenClass(kClassEnd)) {
            parser.NextToken();
        }
        return query;
    }
    FakeQuery query;
};

TEST(ExpressionParser, InSelectHandsTheSubSelectToTheOwner) {
    FakeOwner owner;
    TExpressionParser parser(&owner);
    parser.SetErrorCode(kErrSql);
    parser.SetContext("WHERE clause");
    ExpTokenPtr tree =
        parser.ParseFilter("a NOT IN (SELECT b FROM c)", kParsePredicates | kParseSubSelects);
    ASSERT_TRUE(tree);
    EXPECT_EQ(tree->Code, kOpNotInSelect);
    EXPECT_EQ(tree->Second->Kind, kTokenSubSelect);
    EXPECT_EQ(tree->Second->SubSelect, static_cast<SubSelectQuery*>(&owner.query));
}

TEST(ExpressionParser, UpperOfColumnIsRecognised) {
    TExpressionParser parser;
    Configure(parser);
    EXPECT_TRUE(IsUpperOfColumn(*parser.ParseFilter("UPPER(a) = 'X'")->First));
    EXPECT_FALSE(IsUpperOfColumn(*parser.ParseFilter("LOWER(a) = 'X'")->First));
    EXPECT_FALSE(IsUpperOfColumn(*parser.ParseFilter("UPPER('a') = 'X'")->First));
}

// Random token soup through the whole pipeline: bad input gets an engine error, never a crash,
// another exception or a sanitizer report.
TEST(ExpressionParser, RandomTextsOnlyRaiseEngineErrors) {
    static const std::vector<std::string> kWords = {
        "Name",    "Bounces",    "Small",   "W",       "F",         "Amount",  "D",
        "T",       "TS",         "Flag",    "Memo",    "(",         ")",       ",",
        "+",       "-",          "*",       "/",       "||",        "=",       "<",
        ">",       "<=",         ">=",      "<>",      "AND",       "OR",      "NOT",
        "LIKE",    "BETWEEN",    "IN",      "IS",      "NULL",      "TRUE",    "1",
        "0",       "2147483647", "2.5",     "1e308",   "'a%'",      "''",      "'2001-02-03'",
        "#65",     "?",          "UPPER",   "LOWER",   "SUBSTRING", "FROM",    "FOR",
        "REPLACE", "WITH",       "POS",     "OCCURS",  "TRIM",      "BOTH",    "CAST",
        "AS",      "CHAR",       "INTEGER", "DECIMAL", "BLOB",      "EXTRACT", "YEAR",
        "IF",      "THEN",       "ELSE",    "ABS",     "ROUND",     "TO",      "SUM",
        "COUNT",   "[x",         "/*",      "\"",      "."};
    std::mt19937 random(20240607);
    testing::TestRecord record;
    record.SetText("Name", "Smith");
    record.SetInt("Bounces", 2147483647);
    record.SetInt("Small", -32768);
    record.SetDouble("F", 1e308);
    int parsed = 0;
    for (int round = 0; round < 4000; ++round) {
        std::string text;
        const int length = 1 + static_cast<int>(random() % 12);
        for (int i = 0; i < length; ++i) {
            text += kWords[random() % kWords.size()] + " ";
        }
        SCOPED_TRACE(text);
        try {
            ExpTokenPtr tree = testing::ParseAndCheck(
                record, text, kParsePredicates | kParseAggregates | kParseParameters);
            if (!tree) {
                continue;
            }
            ++parsed;
            const db::TFormatSettings format = FixedFormatSettings();
            ExpTokenPtr value = EvaluateExpression(*tree, nullptr, 0, 0, record.Reader(), &format);
            ExpTokenPtr prepared =
                PrepareFilterTree(*tree, record.Reader(), false, true, 0, 0, &format);
            ExpTokenPtr again =
                EvaluateExpression(*prepared, nullptr, 0, 0, record.Reader(), &format);
            SimplifyNullComparisons(prepared);
        } catch (const EStrataEngineError&) {
        }
    }
    EXPECT_GT(parsed, 0);
}

}  // namespace
}  // namespace strata
