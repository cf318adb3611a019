#include "engine/storage/expression_types.h"
#include "engine/storage/byte_order.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/storage/sql_services.h"
#include "expression_test_table.h"

namespace strata {
namespace {

using testing::ErrorText;
using testing::ParseAndCheck;
using testing::TestRecord;

struct ResultCase {
    std::uint8_t code;
    EngineDataType left;
    EngineDataType right;
    EngineDataType result;
};

TEST(ExpressionTypeRules, BinaryResultTypes) {
    constexpr EngineDataType S = kTypeString, D = kTypeDate, B = kTypeBlob, SI = kTypeSmallInt,
                             I = kTypeInteger, F = kTypeFloat, C = kTypeBCD, T = kTypeTime,
                             TS = kTypeTimestamp, W = kTypeWord, BO = kTypeBoolean, N = kTypeNone;
    const std::vector<ResultCase> cases = {
        {kOpEqual, S, S, BO},
        {kOpAnd, BO, BO, BO},
        {kOpLess, I, F, BO},
        {kOpAdd, S, S, S},
        {kOpAdd, S, B, B},
        {kOpAdd, B, S, B},
        {kOpAdd, D, I, D},
        {kOpAdd, SI, D, D},
        {kOpAdd, SI, SI, I},
        {kOpAdd, W, W, I},
        {kOpAdd, I, F, F},
        {kOpAdd, I, C, C},
        {kOpAdd, I, T, T},
        {kOpAdd, W, TS, TS},
        {kOpAdd, F, C, F},
        {kOpAdd, C, I, C},
        {kOpAdd, C, F, F},
        {kOpAdd, T, W, T},
        {kOpAdd, TS, I, TS},
        {kOpSubtract, D, D, I},
        {kOpSubtract, D, SI, D},
        {kOpSubtract, SI, I, I},
        {kOpSubtract, I, F, F},
        {kOpSubtract, I, C, C},
        {kOpSubtract, I, W, I},
        {kOpSubtract, F, W, F},
        {kOpSubtract, C, C, C},
        {kOpSubtract, T, I, T},
        {kOpSubtract, T, T, I},
        {kOpSubtract, TS, D, I},
        {kOpSubtract, TS, T, I},
        {kOpSubtract, TS, I, TS},
        {kOpSubtract, TS, TS, F},
        // A word minus any integer type can be negative: integer, not word.
        {kOpSubtract, W, SI, I},
        {kOpSubtract, W, I, I},
        {kOpSubtract, W, W, I},
        {kOpSubtract, W, F, F},
        {kOpSubtract, W, C, C},
        {kOpMultiply, SI, SI, I},
        {kOpMultiply, I, F, F},
        {kOpMultiply, W, C, C},
        {kOpMultiply, F, I, F},
        {kOpMultiply, C, SI, C},
        {kOpDivide, SI, SI, F},
        {kOpDivide, I, W, F},
        {kOpDivide, I, C, C},
        {kOpDivide, F, C, F},
        {kOpDivide, C, I, C},
        {kOpAdd, BO, BO, N},
        {kOpMultiply, S, S, N},
        {kOpSubtract, S, S, N},
    };
    for (const ResultCase& c : cases) {
        SCOPED_TRACE(::testing::Message()
                     << int(c.code) << " " << int(c.left) << " " << int(c.right));
        EXPECT_EQ(BinaryResultType(c.code, c.left, c.right), c.result);
    }
}

TEST(ExpressionTypeRules, OperandRulesAndCasts) {
    EXPECT_TRUE(BinaryOperandTypesOK(kOpEqual, kTypeBlob, 26, 0, kTypeNone));
    EXPECT_FALSE(BinaryOperandTypesOK(kOpEqual, kTypeBlob, 26, 0, kTypeString));
    EXPECT_TRUE(BinaryOperandTypesOK(kOpEqual, kTypeBlob, kSubtypeMemo, 0, kTypeString));
    EXPECT_TRUE(BinaryOperandTypesOK(kOpLess, kTypeDate, 0, 0, kTypeTimestamp));
    EXPECT_FALSE(BinaryOperandTypesOK(kOpLess, kTypeBoolean, 0, 0, kTypeBoolean));
    EXPECT_TRUE(BinaryOperandTypesOK(kOpNotEqual, kTypeBoolean, 0, 0, kTypeBoolean));
    for (EngineDataType t : {kTypeString, kTypeDate, kTypeBoolean, kTypeInteger, kTypeTime}) {
        EXPECT_TRUE(BinaryOperandTypesOK(kOpEqual, t, 0, 0, kTypeNone));
        EXPECT_TRUE(BinaryOperandTypesOK(kOpNotEqual, t, 0, 0, kTypeNone));
        EXPECT_FALSE(BinaryOperandTypesOK(kOpLess, t, 0, 0, kTypeNone));
    }
    EXPECT_TRUE(BinaryOperandTypesOK(kOpSubtract, kTypeTimestamp, 0, 0, kTypeDate));
    EXPECT_FALSE(BinaryOperandTypesOK(kOpAdd, kTypeDate, 0, 0, kTypeDate));
    EXPECT_TRUE(UnaryOperandTypeOK(kOpUnaryPlus, kTypeWord));
    EXPECT_FALSE(UnaryOperandTypeOK(kOpNegate, kTypeWord));
    EXPECT_FALSE(UnaryOperandTypeOK(kOpNot, kTypeInteger));
    EXPECT_TRUE(CanCastType(kTypeString, kTypeTimestamp));
    EXPECT_FALSE(CanCastType(kTypeString, kTypeBlob));
    EXPECT_FALSE(CanCastType(kTypeDate, kTypeTime));
    EXPECT_TRUE(CanCastType(kTypeTimestamp, kTypeTime));
    EXPECT_FALSE(CanCastType(kTypeFloat, kTypeBoolean));
    EXPECT_TRUE(CanCastType(kTypeWord, kTypeBoolean));
    EXPECT_EQ(BinaryResultSubType(kOpAdd, kTypeFloat, kSubtypeMoney, 0, kTypeInteger),
              kSubtypeMoney);
    EXPECT_EQ(BinaryResultSubType(kOpMultiply, kTypeInteger, 0, kSubtypeMoney, kTypeFloat),
              kSubtypeMoney);
    EXPECT_EQ(BinaryResultSubType(kOpDivide, kTypeInteger, 0, kSubtypeMoney, kTypeFloat), 0);
    EXPECT_EQ(BinaryResultSubType(kOpAdd, kTypeString, 0, kSubtypeMemo, kTypeBlob), kSubtypeMemo);
}

struct SizeCase {
    std::string text;
    EngineDataType type;
    std::uint32_t size;
};

// Fixed-size results take their natural size, whatever their operands' sizes.
TEST(ExpressionTypes, ResultsHaveTheirTypesNaturalSize) {
    const std::vector<SizeCase> cases = {
        {"Small * Small2", kTypeInteger, 4},
        {"Small / Small2", kTypeFloat, 8},
        {"Small + W", kTypeInteger, 4},
        {"W - Small", kTypeInteger, 4},
        {"W - W", kTypeInteger, 4},
        {"-Small", kTypeSmallInt, 2},
        {"+W", kTypeWord, 2},
        {"IF(Flag THEN Small ELSE Small2)", kTypeSmallInt, 2},
        {"IF(Flag THEN Name ELSE Category)", kTypeString, 81},
        {"Amount * Small", kTypeBCD, 8},
        {"D - D", kTypeInteger, 4},
        {"TS - TS", kTypeFloat, 8},
        {"TS - D", kTypeInteger, 4},
        {"Name || Category", kTypeString, 131},
        {"'ab' || 'cd'", kTypeString, 5},
        {"Memo || Name", kTypeBlob, 54},
        {"UPPER(Name)", kTypeString, 51},
        {"LOWER(Memo)", kTypeBlob, 4},
        {"REPLACE('a' WITH 'xyz' IN Name)", kTypeString, 151},
        {"POS('a' IN Name)", kTypeInteger, 4},
        {"ABS(F)", kTypeInteger, 4},
        {"ROUND(Amount TO 1)", kTypeFloat, 8},
        {"EXTRACT(DAY FROM TS)", kTypeInteger, 4},
        {"CAST(Bounces AS CHAR(12))", kTypeString, 13},
        {"CAST(Name AS SMALLINT)", kTypeSmallInt, 2},
        {"CAST(Name AS BYTES)", kTypeBytes, 51},
        {"CAST(Name AS DECIMAL(10,2))", kTypeBCD, 8},
        {"CAST(Memo AS BLOB(1,7))", kTypeBlob, 4},
        {"Bounces IN (1, 2)", kTypeBoolean, 2},
        {"Money * 2", kTypeFloat, 8},
    };
    TestRecord record;
    for (const SizeCase& c : cases) {
        SCOPED_TRACE(c.text);
        ExpTokenPtr tree = ParseAndCheck(record, c.text);
        EXPECT_EQ(tree->DataType, c.type);
        EXPECT_EQ(tree->DataSize, c.size);
    }
    ExpTokenPtr money = ParseAndCheck(record, "Money * 2");
    EXPECT_EQ(money->SubType, kSubtypeMoney);
    ExpTokenPtr decimal = ParseAndCheck(record, "CAST(Name AS DECIMAL(10,2))");
    EXPECT_EQ(decimal->Scale, 2);
    ExpTokenPtr blob = ParseAndCheck(record, "CAST(Memo AS BLOB(1,7))");
    EXPECT_EQ(blob->SubType, kSubtypeTypedBinary);
}

struct MessageCase {
    std::string text;
    std::string message;
};

TEST(ExpressionTypes, RaisesEveryTypeMessage) {
    const std::vector<MessageCase> cases = {
        {"Nope = 1", "Invalid column name 'Nope' or table correlation name '' specified in "},
        {"t.Nope = 1", "Invalid column name 'Nope' or table correlation name 't' specified in "},
        {"NOT Bounces", "Type mismatch between 'NOT' operator and 'Bounces' in "},
        {"-Flag", "Type mismatch between '-' operator and 'Flag' in "},
        {"'abc' + 1 = 2", "Type mismatch between constant 'abc' and constant '1' in "},
        {"Bounces = Name", "Type mismatch between column 'Bounces' and column 'Name' in "},
        {"UPPER(Name) = 1", "Type mismatch between function 'UPPER' and constant '1' in "},
        {"Bounces + 1 = 'x'", "Type mismatch between expression '+' and constant 'x' in "},
        {"D = 'yesterday'",
         "Date, time, or timestamp expression expected, instead found 'yesterday' in "},
        {"D < NULL", "Type mismatch between column 'D' and constant 'NULL' in "},
        {"Bounces LIKE 'a%'", "Type mismatch between LIKE operator and expression 'Bounces' in "},
        {"Name NOT LIKE Category",
         "Constant expression expected after NOT LIKE operator, instead found 'Category' in "},
        {"Name LIKE 3", "Type mismatch between LIKE operator and expression '3' in "},
        {"Bounces BETWEEN Small AND 3",
         "Constant expression expected after BETWEEN operator, instead found 'Small' in "},
        {"Bounces NOT BETWEEN 1 AND 'x'",
         "Type mismatch between NOT BETWEEN operator and expression 'x' in "},
        {"Bounces IN (1, 'x')", "Type mismatch between IN operator and expression 'x' in "},
        {"D NOT IN ('2001-02-03', 'junk')",
         "Date, time, or timestamp expression expected, instead found 'junk' in "},
        {"UPPER(Bounces) = 'X'", "Type mismatch between UPPER function and function argument in "},
        {"lower(Bounces) = 'X'", "Type mismatch between LOWER function and function argument in "},
        {"SUBSTRING(Bounces FROM 1) = 'x'",
         "Expression argument of SUBSTRING function must be a string or memo in "},
        {"SUBSTRING(Name FROM Bounces) = 'x'",
         "FROM argument of SUBSTRING function must be an integer constant in "},
        {"SUBSTRING(Name FROM 0) = 'x'",
         "FROM argument of SUBSTRING function must be an integer constant greater than 0 in "},
        {"SUBSTRING(Name FROM 1 FOR 'a') = 'x'",
         "FOR argument of SUBSTRING function must be an integer constant in "},
        {"SUBSTRING(Name FROM 1 FOR 0) = 'x'",
         "FOR argument of SUBSTRING function must be an integer constant greater than 0 in "},
        {"REPLACE('a' WITH 'b' IN Bounces) = 'x'",
         "IN argument of REPLACE function must be a string or memo in "},
        {"REPLACE(Name WITH 'b' IN Name) = 'x'",
         "Search argument of REPLACE function must be a string constant in "},
        {"REPLACE('a' WITH Name IN Name) = 'x'",
         "WITH argument of REPLACE function must be a string constant in "},
        {"POS('a' IN Bounces) = 1", "Type mismatch between POS function and IN argument in "},
        {"OCCURS('a' IN Bounces) = 1", "Type mismatch between OCCURS function and IN argument in "},
        {"POS(Name IN Name) = 1",
         "Search string argument of POS function must be a string constant in "},
        {"OCCURS(Name IN Name) = 1",
         "Search string argument of OCCURS function must be a string constant in "},
        {"TRIM(BOTH 'a' FROM Bounces) = 'x'",
         "FROM argument of TRIM function must be a string or memo in "},
        {"TRIM(LEADING 'ab' FROM Name) = 'x'",
         "Trim character argument of TRIM function must be a single character constant in "},
        {"CAST(D AS TIME) = T", "Type mismatch between column 'D' and AS argument in "},
        {"CAST(Name AS CHAR(251)) = 'x'",
         "Length argument must be an integer greater than 0 and less than or equal to 250 in "},
        {"CAST(Name AS CHAR(0)) = 'x'",
         "Length argument must be an integer greater than 0 and less than or equal to 250 in "},
        {"CAST(Name AS CHAR('a')) = 'x'", "Length argument must be an integer in "},
        {"CAST(Name AS BYTES(300)) = 'x'",
         "Length argument must be an integer greater than 0 and less than or equal to 250 in "},
        {"CAST(Name AS DECIMAL(10,5)) = 1",
         "Scale argument must be an integer less than or equal to 4 for the BCD data type "},
        {"CAST(Name AS FLOAT(10,'a')) = 1", "Scale argument must be an integer in "},
        {"CAST(Memo AS BLOB('a',1)) = 'x'",
         "First BLOB type argument must be an integer with the value of 1 in "},
        {"CAST(Memo AS BLOB(1,'a')) = 'x'", "BLOB type argument must be an integer in "},
        {"CAST(Memo AS BLOB(1,8)) = 'x'",
         "BLOB type argument must be an integer greater than 0 and less than or equal to 5 in "},
        {"CAST(Memo AS BLOB(1,0)) = 'x'",
         "BLOB type argument must be an integer greater than 0 and less than or equal to 5 in "},
        {"EXTRACT(YEAR FROM Bounces) = 1",
         "FROM argument of EXTRACT function must be a date, time, or timestamp in "},
        {"IF(Bounces THEN 1 ELSE 2) = 1",
         "First expression argument of IF function must be a boolean type in "},
        {"IF(Flag THEN 1 ELSE 'a') = 1",
         "Type mismatch between second and third IF expression arguments in "},
        {"ABS(Name) = 1",
         "Expression argument of ABS function must be an integer or floating-point type in "},
        {"ROUND(Bounces) = 1",
         "Expression argument of ROUND function must be a floating-point type in "},
        {"ROUND(F TO Bounces) = 1",
         "Decimal places argument of ROUND function must be an integer constant in "},
        {"ROUND(F TO 33) = 1",
         "Decimal places argument of ROUND function must be an integer constant between 0 and 32 "
         "in "},
    };
    TestRecord record;
    for (const MessageCase& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(ErrorText([&] { ParseAndCheck(record, c.text); }),
                  "Strata Engine Error # 10051 Filter error for table 'mailist' - " + c.message +
                      "filter expression");
    }
}

TEST(ExpressionTypes, AggregateMessagesNameTheFunction) {
    TestRecord record;
    for (const std::string name : {"SUM", "MIN", "MAX", "AVG"}) {
        EXPECT_EQ(ErrorText([&] { ParseAndCheck(record, name + "(Name) = 'x'", 5); }),
                  "Strata Engine Error # 10051 Filter error for table 'mailist' - " + name +
                      " aggregate function must contain a numeric, date, time, or timestamp "
                      "expression in filter expression");
    }
    ExpTokenPtr count = ParseAndCheck(record, "COUNT(Name)", 5, false);
    EXPECT_EQ(count->DataType, kTypeInteger);
    ExpTokenPtr sum = ParseAndCheck(record, "SUM(Amount)", 5, false);
    EXPECT_EQ(sum->DataType, kTypeBCD);
    EXPECT_EQ(sum->Scale, 2);
}

TEST(ExpressionTypes, DateConstantsAreConvertedOnce) {
    TestRecord record;
    ExpTokenPtr tree = ParseAndCheck(record, "D = '2001-02-03'");
    const TExpToken& constant = *tree->Second;
    EXPECT_EQ(constant.DataType, kTypeDate);
    EXPECT_EQ(constant.DataSize, 4u);
    EXPECT_EQ(LoadInt32(constant.Value()), DateTimeToEngineDate(db::EncodeDate(2001, 2, 3)));
    ExpTokenPtr between = ParseAndCheck(record, "TS BETWEEN '2001-02-03' AND '2001-02-04 12:00'");
    EXPECT_EQ(between->Second->DataType, kTypeTimestamp);
    EXPECT_EQ(between->Second->Second->DataType, kTypeTimestamp);
    // '' is NULL: it takes the date type without being parsed.
    ExpTokenPtr empty = ParseAndCheck(record, "D = ''");
    EXPECT_TRUE(empty->Second->IsNull);
    EXPECT_EQ(empty->Second->DataType, kTypeDate);
}

TEST(ExpressionTypes, BooleanColumnsAreWrappedUnderLogicalOperators) {
    TestRecord record;
    ExpTokenPtr alone = ParseAndCheck(record, "Flag");
    EXPECT_EQ(alone->Kind, kTokenBinary);
    EXPECT_EQ(alone->Code, kOpEqual);
    EXPECT_EQ(alone->First->ColumnName, "Flag");
    EXPECT_EQ(alone->First->Parent, alone.get());
    EXPECT_EQ(alone->Second->Text, "True");
    ExpTokenPtr under_not = ParseAndCheck(record, "NOT Flag AND IF(Flag THEN Flag ELSE Flag)");
    EXPECT_EQ(under_not->First->First->Code, kOpEqual);
    EXPECT_EQ(under_not->Second->Code, kOpEqual);
    EXPECT_EQ(under_not->Second->First->Code, kOpIf);
    // A comparison's operand is not wrapped, and nothing is without the option.
    ExpTokenPtr compared = ParseAndCheck(record, "Flag = FALSE");
    EXPECT_EQ(compared->First->Kind, kTokenColumn);
    ExpTokenPtr unwrapped = ParseAndCheck(record, "Flag", kParsePredicates, false);
    EXPECT_EQ(unwrapped->Kind, kTokenColumn);
}

TEST(ExpressionTypes, DoubleQuotedStringsMayBeColumns) {
    TestRecord record;
    ExpTokenPtr tree = ParseAndCheck(record, "\"Name\" = 'x'");
    EXPECT_EQ(tree->First->Kind, kTokenColumn);
    EXPECT_TRUE(tree->First->ResolvedColumn);
    EXPECT_EQ(tree->First->SavedType, kTypeString);
    ExpTokenPtr plain = ParseAndCheck(record, "'Name' = Name");
    EXPECT_EQ(plain->First->Kind, kTokenConstant);
    // Two columns of which one came from a string: that one is a string again.
    ExpTokenPtr both = ParseAndCheck(record, "Name = \"Category\"");
    EXPECT_EQ(both->Second->Kind, kTokenConstant);
    EXPECT_EQ(both->Second->ValueText(), "Category");
    ExpTokenPtr unknown = ParseAndCheck(record, "Name = \"nobody\"");
    EXPECT_EQ(unknown->Second->Kind, kTokenConstant);
    EXPECT_TRUE(unknown->Second->ColumnName.empty());
}

TEST(ExpressionTypes, UntypedParametersTakeTheOtherOperandsType) {
    TestRecord record;
    ExpTokenPtr tree =
        ParseAndCheck(record, "Bounces < ? AND Name LIKE ?", kParsePredicates | kParseParameters);
    EXPECT_EQ(tree->First->Second->DataType, kTypeInteger);
    EXPECT_EQ(tree->Second->Second->DataType, kTypeString);
}

class OneColumnQuery : public SubSelectQuery {
  public:
    std::size_t ResultColumnCount() const override { return count; }
    bool BindResultColumn(TExpToken& column) override {
        column.DataType = kTypeString;
        column.SetDataSize(11);
        return bind;
    }
    void SetResultFilter(const TExpToken&) override {}
    std::int64_t ResultRecordCount() override { return 0; }
    std::size_t count = 1;
    bool bind = true;
};

TEST(ExpressionTypes, SubSelectsDeliverOneBindableColumn) {
    TestRecord record;
    OneColumnQuery query;
    auto check = [&](std::string_view value_column) {
        ExpTokenPtr tree = NewExpToken();
        tree->Kind = kTokenExtended;
        tree->Code = kOpInSelect;
        tree->Text = "IN";
        tree->First = NewExpToken();
        tree->First->Kind = kTokenColumn;
        tree->First->ColumnName = value_column;
        tree->First->Text = value_column;
        tree->Second = NewExpToken();
        tree->Second->Kind = kTokenSubSelect;
        tree->Second->SubSelect = static_cast<SubSelectQuery*>(&query);
        CheckExpressionTypes(testing::FilterErrors(), false, record.Resolver(), nullptr, *tree,
                             FixedFormatSettings());
        return tree;
    };
    EXPECT_EQ(check("Name")->DataType, kTypeBoolean);
    EXPECT_NE(ErrorText([&] { check("Bounces"); }).find("Type mismatch between IN operator"),
              std::string::npos);
    query.count = 2;
    EXPECT_NE(ErrorText([&] {
                  check("Name");
              }).find("More than 1 column for sub-select  specified in filter expression"),
              std::string::npos);
    query.count = 1;
    query.bind = false;
    EXPECT_NE(ErrorText([&] { check("Name"); }).find("Invalid column name"), std::string::npos);
}

TEST(ExpressionTypes, TreeQueries) {
    TestRecord record;
    EXPECT_TRUE(ReferencesColumn(*ParseAndCheck(record, "1 + ABS(Bounces) = 2")));
    EXPECT_TRUE(ReferencesColumn(*ParseAndCheck(record, "IF(TRUE THEN 1 ELSE Bounces) = 2")));
    EXPECT_FALSE(ReferencesColumn(*ParseAndCheck(record, "SUBSTRING('ab' FROM 1) = 'a'")));
    EXPECT_FALSE(ReferencesColumn(*ParseAndCheck(record, "1 IN (2, 3)")));
    EXPECT_TRUE(ContainsAggregate(*ParseAndCheck(record, "SUM(Bounces) + 1", 5, false)));
    EXPECT_FALSE(ContainsAggregate(*ParseAndCheck(record, "Bounces + 1", 5, false)));

    ExpTokenPtr negated = ParseAndCheck(record, "NOT (Bounces = 1 AND Small = 2)");
    const TExpToken& inner = *negated->First->First;
    EXPECT_TRUE(ContainsNotOperator(inner));
    EXPECT_FALSE(ContainsNotOperator(*negated));
    ExpTokenPtr plain = ParseAndCheck(record, "Bounces = 1 AND Small = 2");
    EXPECT_FALSE(ContainsNotOperator(*plain->First));

    EXPECT_TRUE(IsNegatedExpression(*ParseAndCheck(record, "Bounces = 1 OR Small = 2")));
    EXPECT_FALSE(IsNegatedExpression(*ParseAndCheck(record, "NOT (Bounces = 1 OR Small = 2)")));
    EXPECT_TRUE(IsNegatedExpression(*ParseAndCheck(record, "NOT Bounces = 1")));
    EXPECT_FALSE(IsNegatedExpression(*ParseAndCheck(record, "Bounces = 1")));
}

TEST(ExpressionTypes, LongChainsAreCheckedWithoutDeepRecursion) {
    TestRecord record;
    std::string text = "Bounces = 0";
    for (int i = 1; i < 30000; ++i) {
        text += " OR Name = '" + std::to_string(i) + "'";
    }
    ExpTokenPtr tree = ParseAndCheck(record, text);
    EXPECT_EQ(tree->DataType, kTypeBoolean);
}

}  // namespace
}  // namespace strata
