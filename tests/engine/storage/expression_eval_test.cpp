#include "engine/storage/expression_eval.h"
#include "engine/storage/byte_order.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/storage/decimal.h"
#include "engine/storage/sql_services.h"
#include "expression_test_table.h"
#include "platform/db/date_time.h"

namespace strata {
namespace {

using testing::ParseAndCheck;
using testing::Render;
using testing::TestRecord;

constexpr unsigned kAllOptions = kParsePredicates | kParseAggregates;

class ExpressionEval : public ::testing::Test {
  public:
    ExpressionEval() {
        record.SetText("Name", "Smith");
        record.SetText("Category", "News");
        record.SetInt("Bounces", 3);
        record.SetInt("Small", 300);
        record.SetInt("Small2", 5);
        record.SetInt("W", 3);
        record.SetDouble("F", 2.5);
        record.SetDouble("Money", 1.25);
        record.SetInt("Amount", 12342);  // 12.34
        record.SetInt("D", day_20010203);
        record.SetInt("T", 3723004);                                     // 01:02:03.004
        record.SetDouble("TS", day_20010203 * 86400000.0 + 45296789.0);  // 12:34:56.789
        record.SetInt("Flag", 1);
        record.SetText("Memo", "a long memo");
    }

    // "Bounces IN (sub-select)" or NOT IN, checked against the record: the parser has no
    // text for a sub-select of its own.
    ExpTokenPtr BouncesInSelect(std::uint8_t code, SubSelectQuery& query) {
        ExpTokenPtr tree = NewExpToken();
        tree->Kind = kTokenExtended;
        tree->Code = code;
        tree->Text = "IN";
        tree->First = NewExpToken();
        tree->First->Kind = kTokenColumn;
        tree->First->ColumnName = "Bounces";
        tree->Second = NewExpToken();
        tree->Second->Kind = kTokenSubSelect;
        tree->Second->SubSelect = &query;
        CheckExpressionTypes(testing::FilterErrors(), false, record.Resolver(), nullptr, *tree,
                             FixedFormatSettings());
        return tree;
    }

    std::string Eval(std::string_view text, bool wrap = false) {
        ExpTokenPtr tree = ParseAndCheck(record, text, kAllOptions, wrap);
        db::TFormatSettings format = FixedFormatSettings();
        ExpTokenPtr value = EvaluateExpression(*tree, nullptr, 0, 0, record.Reader(), &format);
        EXPECT_EQ(value->Kind, kTokenConstant);
        EXPECT_FALSE(value->First);
        return Render(*value);
    }

    TestRecord record;
    const db::TFormatSettings fixed = FixedFormatSettings();
    const std::int32_t day_20010203 = DateTimeToEngineDate(db::EncodeDate(2001, 2, 3));
};

struct EvalCase {
    std::string text;
    std::string value;
};

void RunCases(ExpressionEval& fixture, const std::vector<EvalCase>& cases) {
    for (const EvalCase& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(fixture.Eval(c.text), c.value);
    }
}

TEST_F(ExpressionEval, ComparisonsAndNullRules) {
    RunCases(*this, {
                        {"NULL = NULL", "True"},
                        {"NULL <> NULL", "False"},
                        {"5 = NULL", "False"},
                        {"5 <> NULL", "True"},
                        {"Name IS NULL", "False"},
                        {"Name IS NOT NULL", "True"},
                        {"Bounces = 3", "True"},
                        {"Bounces <> 3", "False"},
                        {"Bounces > 2", "True"},
                        {"Bounces < 2", "False"},
                        {"Bounces >= 3", "True"},
                        {"Bounces <= 2", "False"},
                        {"2 < Bounces", "True"},
                        {"F = 2.5", "True"},
                        {"Bounces > F", "True"},
                        {"Amount = 12.34", "True"},
                        {"Amount > 12", "True"},
                        {"Amount < F", "False"},
                        {"Name = 'Smith'", "True"},
                        {"Name = 'smith'", "False"},
                        {"Name < 'Smithers'", "True"},
                        {"Name > 'Sm'", "True"},
                        {"Memo = 'a long memo'", "True"},
                        {"D = '2001-02-03'", "True"},
                        {"D < '2001-02-04'", "True"},
                        {"TS > D", "True"},
                        {"T = '01:02:03.004'", "True"},
                        {"Flag = TRUE", "True"},
                        {"Flag <> FALSE", "True"},
                    });
}

TEST_F(ExpressionEval, NullNeverSatisfiesAnOrderingComparison) {
    record.SetNull("Bounces");
    record.SetNull("Name");
    RunCases(*this, {
                        {"Bounces < 5", "False"},
                        {"Bounces > -5", "False"},
                        {"Bounces <= 5", "False"},
                        {"Bounces >= -5", "False"},
                        {"Bounces = 0", "False"},
                        {"Bounces <> 0", "True"},
                        {"Bounces IS NULL", "True"},
                        {"Name < 'a'", "False"},
                        {"Bounces BETWEEN -1 AND 1", "False"},
                        {"Bounces NOT BETWEEN -1 AND 1", "True"},
                        {"Bounces IN (0, 1)", "False"},
                        {"Bounces NOT IN (0, 1)", "True"},
                        {"Name LIKE 'a%'", "False"},
                        {"Name NOT LIKE 'a%'", "True"},
                        {"Bounces + 1", "NULL"},
                        {"-Bounces", "NULL"},
                        {"UPPER(Name)", "NULL"},
                        {"Name || 'x'", "'x'"},
                    });
}

TEST_F(ExpressionEval, LogicalOperators) {
    RunCases(*this, {
                        {"Bounces = 3 AND Name = 'Smith'", "True"},
                        {"Bounces = 3 AND Name = 'x'", "False"},
                        {"Bounces = 4 OR Name = 'Smith'", "True"},
                        {"Bounces = 4 OR Name = 'x'", "False"},
                        {"NOT Bounces = 4", "True"},
                        {"NOT (Bounces = 3 OR Bounces = 4)", "False"},
                        {"Bounces = 1 OR Bounces = 2 OR Bounces = 3 AND Name = 'Smith'", "True"},
                    });
}

TEST_F(ExpressionEval, AndEvaluatesTheRightOperandFirst) {
    record.reads = 0;
    record.read_names.clear();
    EXPECT_EQ(Eval("Name = 'Smith' AND Bounces = 4"), "False");
    EXPECT_EQ(record.read_names, std::vector<std::string>{"Bounces"});
    record.read_names.clear();
    EXPECT_EQ(Eval("Name = 'x' OR Bounces = 3"), "True");
    EXPECT_EQ(record.read_names, std::vector<std::string>{"Bounces"});
    record.read_names.clear();
    EXPECT_EQ(Eval("Name = 'Smith' AND Bounces = 3"), "True");
    EXPECT_EQ(record.read_names, (std::vector<std::string>{"Bounces", "Name"}));
}

TEST_F(ExpressionEval, Arithmetic) {
    RunCases(*this, {
                        {"Bounces + 2", "5"},
                        {"Bounces - 5", "-2"},
                        {"Bounces * 4", "12"},
                        {"Bounces / 2", "1.5"},
                        {"1 / 0", "NULL"},
                        {"F / 0", "NULL"},
                        {"Amount / 0", "NULL"},
                        {"Small * Small", "90000"},
                        {"W - Small2", "-2"},
                        {"W - 5", "-2"},
                        {"W - W", "0"},
                        {"-Small", "-300"},
                        {"+W", "3"},
                        {"F * 2", "5"},
                        {"F - Bounces", "-0.5"},
                        {"Amount + 1", "bcd:13342"},
                        {"Amount * 2", "bcd:24682"},
                        {"Amount - Amount", "bcd:2"},
                        {"Amount / 4", "bcd:3092"},
                        {"-Amount", "bcd:-12342"},
                        {"Amount + F", "14.84"},
                        {"Money * 2", "2.5"},
                        {"'ab' || 'cd'", "'abcd'"},
                        {"Name + ' ' + Category", "'Smith News'"},
                        {"Memo || '!'", "blob:a long memo!"},
                    });
}

TEST_F(ExpressionEval, OverflowIsNullAndNeverWraps) {
    record.SetInt("Bounces", 2147483647);
    record.SetInt("Small", -32768);
    record.SetDouble("F", 1e300);
    RunCases(*this, {
                        {"Bounces + 1", "NULL"},
                        {"Bounces * Bounces", "NULL"},
                        {"-Bounces - 2", "NULL"},
                        {"Bounces - 1", "2147483646"},
                        {"-Small", "NULL"},
                        {"F * F", "NULL"},
                        {"ABS(F)", "NULL"},
                        {"CAST(F AS INTEGER)", "NULL"},
                        {"CAST(F AS SMALLINT)", "NULL"},
                        {"D + 2147483647", "NULL"},
                    });
    record.SetInt("Bounces", -2147483647);
    EXPECT_EQ(Eval("Bounces - 1"), "-2147483648");
    EXPECT_EQ(Eval("ABS(Bounces - 1)"), "NULL");
    record.SetInt("Amount", 900000000000002);  // 9000000000000.00
    EXPECT_EQ(Eval("Amount * 100000"), "NULL");
    EXPECT_EQ(Eval("Amount * 1000"), "bcd:900000000000000002");
    EXPECT_EQ(Eval("Amount + Amount"), "bcd:1800000000000002");
}

// A BCD amount (12.34) against floats: the double of 12.34 is that amount, while a float between
// two amounts compares by its value, as filters prepared for a cursor do too.
TEST_F(ExpressionEval, BcdAgainstFloatsBetweenAmounts) {
    record.SetDouble("F", 12.34);
    record.SetDouble("Money", 12.34004);
    const std::vector<EvalCase> cases = {
        {"Amount = 12.34", "True"},
        {"Amount = F", "True"},
        {"Amount = 12.34004", "False"},
        {"Amount <> 12.34004", "True"},
        {"Amount < 12.34004", "True"},
        {"Amount >= 12.34004", "False"},
        {"Amount > 12.33996", "True"},
        {"Amount = 12.33996", "False"},
        {"12.34004 > Amount", "True"},
        {"Amount = Money", "False"},
        {"Amount < Money", "True"},
        {"Amount = 12.34 + 0.00004", "False"},
        {"Amount IN (12.34004, 12.33996)", "False"},
        {"Amount BETWEEN 12.33996 AND 12.34004", "True"},
        {"Amount BETWEEN 12.34004 AND 13", "False"},
    };
    RunCases(*this, cases);
    for (const EvalCase& c : cases) {
        SCOPED_TRACE(c.text);
        ExpTokenPtr tree = ParseAndCheck(record, c.text);
        ExpTokenPtr prepared =
            PrepareFilterTree(*tree, record.Reader(), false, false, 0, 0, &fixed);
        EXPECT_EQ(Render(*EvaluateExpression(*prepared, nullptr, 0, 0, record.Reader(), &fixed)),
                  c.value);
    }
}

TEST_F(ExpressionEval, DateAndTimeArithmetic) {
    const std::int32_t day = day_20010203;
    RunCases(*this, {
                        {"D + 1", std::to_string(day + 1)},
                        {"1 + D", std::to_string(day + 1)},
                        {"D - 3", std::to_string(day - 3)},
                        {"D - '2001-01-01'", "33"},
                        {"D - D", "0"},
                        {"T + 1000", "3724004"},
                        {"T - T", "0"},
                        {"T - 4", "3723000"},
                        {"TS - D", "0"},
                        {"TS - T", std::to_string(45296789 - 3723004)},
                        {"TS - TS", "0"},
                        {"CURRENT_DATE - CURRENT_DATE", "0"},
                    });
    ExpTokenPtr earlier = ParseAndCheck(record, "TS - 1", kAllOptions, false);
    ExpTokenPtr value = EvaluateExpression(*earlier, nullptr, 0, 0, record.Reader(), &fixed);
    EXPECT_EQ(LoadDouble(value->Value()), (day - 1) * 86400000.0 + 45296789.0);
}

TEST_F(ExpressionEval, LikeMatching) {
    RunCases(*this, {
                        {"Name LIKE 'Sm%'", "True"},
                        {"Name LIKE 'sm%'", "False"},
                        {"Name LIKE 'S_ith'", "True"},
                        {"Name LIKE '%th'", "True"},
                        {"Name LIKE 'Smith%'", "True"},
                        {"Name NOT LIKE 'x%'", "True"},
                        {"Memo LIKE '%memo'", "True"},
                    });
}

TEST_F(ExpressionEval, ExtendedPredicates) {
    RunCases(*this, {
                        {"Bounces BETWEEN 1 AND 3", "True"},
                        {"Bounces BETWEEN 4 AND 9", "False"},
                        {"Bounces NOT BETWEEN 4 AND 9", "True"},
                        {"Bounces IN (1, 2, 3)", "True"},
                        {"Bounces IN (-1, 4)", "False"},
                        {"Bounces NOT IN (1, 2)", "True"},
                        {"Name IN ('Jones', 'Smith')", "True"},
                        {"D BETWEEN '2001-01-01' AND '2001-12-31'", "True"},
                        {"F IN (2.5)", "True"},
                        {"Amount IN (12.34)", "True"},
                    });
}

TEST_F(ExpressionEval, Functions) {
    RunCases(*this, {
                        {"UPPER(Name)", "'SMITH'"},
                        {"LOWER(Name)", "'smith'"},
                        {"UPPER(Memo)", "blob:A LONG MEMO"},
                        {"SUBSTRING('abc' FROM 2)", "'bc'"},
                        {"SUBSTRING('abc' FROM 4)", "NULL"},
                        {"SUBSTRING(Name FROM 2 FOR 3)", "'mit'"},
                        {"SUBSTRING(Name FROM 2 FOR 300)", "'mith'"},
                        {"REPLACE('i' WITH 'y' IN Name)", "'Smyth'"},
                        {"REPLACE('Smith' WITH '' IN Name)", "NULL"},
                        {"POS('ith' IN Name)", "3"},
                        {"POS('x' IN Name)", "0"},
                        {"OCCURS('o' IN 'foo boo')", "4"},
                        {"TRIM(BOTH '*' FROM '**x**')", "'x'"},
                        {"TRIM(LEADING 'x' FROM 'xxx')", "NULL"},
                        {"TRIM(TRAILING '*' FROM '**x**')", "'**x'"},
                        {"TRIM(LEADING '*' FROM '**x**')", "'x**'"},
                        {"EXTRACT(YEAR FROM D)", "2001"},
                        {"EXTRACT(MONTH FROM D)", "2"},
                        {"EXTRACT(DAY FROM D)", "3"},
                        {"EXTRACT(DAYOFWEEK FROM D)", "7"},  // a Saturday
                        {"EXTRACT(HOUR FROM T)", "1"},
                        {"EXTRACT(MINUTE FROM T)", "2"},
                        {"EXTRACT(SECOND FROM T)", "3"},
                        {"EXTRACT(YEAR FROM T)", "0"},
                        {"EXTRACT(HOUR FROM D)", "0"},
                        {"EXTRACT(HOUR FROM TS)", "12"},
                        {"EXTRACT(SECOND FROM TS)", "56"},
                        {"EXTRACT(DAY FROM TS)", "3"},
                        {"IF(Bounces > 2 THEN 'many' ELSE 'few')", "'many'"},
                        {"IF(Bounces > 5 THEN 'many' ELSE 'few')", "'few'"},
                        {"IF(Bounces > 5 THEN Bounces ELSE F)", "3"},
                        {"IF(Bounces > 5 THEN NULL ELSE Bounces)", "3"},
                        {"ABS(-2.5)", "3"},
                        {"ABS(-Bounces)", "3"},
                        {"ABS(Amount)", "12"},
                        {"ROUND(2.345 TO 2)", "2.35"},
                        {"ROUND(F)", "3"},
                        {"ROUND(Amount TO 1)", "12.3"},
                        {"SUM(Bounces)", "3"},
                        {"MAX(Amount)", "bcd:12342"},
                        {"COUNT(Name)", "1"},
                    });
    record.SetNull("Name");
    EXPECT_EQ(Eval("COUNT(Name)"), "0");
    EXPECT_EQ(Eval("POS('a' IN Name)"), "NULL");
}

// A date past 9999-12-31, a timestamp on such a day and a time outside the day have no
// calendar or clock parts: EXTRACT gives NULL rather than zeros or an hour of 25.
TEST_F(ExpressionEval, ExtractOutsideTheCalendarIsNull) {
    record.SetInt("D", DateTimeToEngineDate(db::EncodeDate(9999, 12, 31)));
    record.SetDouble("TS", (DateTimeToEngineDate(db::EncodeDate(9999, 12, 31)) + 1) * 86400000.0);
    record.SetInt("T", 90000000);  // 25:00
    RunCases(*this, {
                        {"EXTRACT(YEAR FROM D)", "9999"},
                        {"EXTRACT(YEAR FROM D + 1)", "NULL"},
                        {"EXTRACT(MONTH FROM D + 1)", "NULL"},
                        {"EXTRACT(DAY FROM D + 1)", "NULL"},
                        {"EXTRACT(DAYOFWEEK FROM D + 1)", "NULL"},
                        {"EXTRACT(YEAR FROM TS)", "NULL"},
                        {"EXTRACT(HOUR FROM TS)", "0"},
                        {"EXTRACT(YEAR FROM TS - 1)", "9999"},
                        {"CAST(D + 1 AS CHAR(20))", "NULL"},
                        {"EXTRACT(HOUR FROM T)", "NULL"},
                        {"EXTRACT(HOUR FROM T - 3600000)", "NULL"},
                        {"EXTRACT(HOUR FROM T - 3600001)", "23"},
                        {"EXTRACT(SECOND FROM T - 90000000)", "0"},
                        {"EXTRACT(SECOND FROM T - 90000001)", "NULL"},
                    });
}

// A string THEN with a memo ELSE (or the other way round) passes the type check; whichever
// branch runs gives its text in the IF's type instead of NULL.
TEST_F(ExpressionEval, IfJoinsStringAndMemoBranches) {
    RunCases(*this, {
                        {"IF(Flag THEN Name ELSE Memo)", "'Smith'"},
                        {"IF(NOT Flag THEN Name ELSE Memo)", "'a long memo'"},
                        {"IF(NOT Flag THEN 'x' ELSE Memo)", "'a long memo'"},
                        {"IF(Flag THEN Memo ELSE Name)", "blob:a long memo"},
                        {"IF(NOT Flag THEN Memo ELSE Name)", "blob:Smith"},
                        {"IF(NOT Flag THEN Memo ELSE 'x')", "blob:x"},
                    });
    const std::string long_text(400, 'm');
    record.SetText("Memo", long_text);
    EXPECT_EQ(Eval("IF(NOT Flag THEN Name ELSE Memo)"), "'" + long_text + "'");
    record.SetNull("Memo");
    EXPECT_EQ(Eval("IF(NOT Flag THEN Name ELSE Memo)"), "NULL");
}

TEST_F(ExpressionEval, Casts) {
    RunCases(*this, {
                        {"CAST(Bounces AS CHAR(10))", "'3'"},
                        {"CAST(Name AS CHAR(3))", "'Smi'"},
                        {"CAST('42' AS INTEGER)", "42"},
                        {"CAST('x' AS INTEGER)", "NULL"},
                        {"CAST(F AS INTEGER)", "3"},
                        {"CAST(Bounces AS FLOAT)", "3"},
                        {"CAST(Bounces AS DECIMAL(10,2))", "bcd:3002"},
                        {"CAST(D AS CHAR(10))", "'2001-02-03'"},
                        {"CAST('2001-02-03' AS DATE)", std::to_string(day_20010203)},
                        {"CAST(TS AS DATE)", std::to_string(day_20010203)},
                        {"CAST(Flag AS INTEGER)", "1"},
                        {"CAST(W AS BOOLEAN)", "True"},
                        {"CAST(Memo AS BLOB(1,1))", "blob:a long memo"},
                    });
}

// A long BLOB or concatenation is never copied into a fixed buffer.
TEST_F(ExpressionEval, CastAndStringFunctionsStayInsideTheirBuffers) {
    const std::string long_text(5000, 'm');
    record.SetText("Memo", long_text);
    EXPECT_EQ(Eval("CAST(Memo AS BLOB(1,1))"), "blob:" + long_text);
    EXPECT_EQ(Eval("UPPER(Memo)"), "blob:" + std::string(5000, 'M'));
    record.SetText("Name", std::string(50, 'n'));
    record.SetText("Category", std::string(80, 'c'));
    const std::string joined = std::string(50, 'n') + std::string(80, 'c');
    EXPECT_EQ(Eval("Name || Category || Name || Category"), "'" + joined + joined + "'");
    EXPECT_EQ(Eval("CAST(Name || Category || Name AS CHAR(250))"),
              "'" + (joined + std::string(50, 'n')).substr(0, 180) + "'");
    EXPECT_EQ(Eval("CAST(Name || Category AS CHAR(5))"), "'nnnnn'");
    EXPECT_EQ(
        Eval("REPLACE('n' WITH 'xyz' IN Name)"), "'" + [] {
            std::string s;
            for (int i = 0; i < 50; ++i) {
                s += "xyz";
            }
            return s;
        }() + "'");
}

TEST_F(ExpressionEval, UnaryAndBinaryOperatorsDirectly) {
    ExpTokenPtr operand = NewExpToken();
    operand->DataType = kTypeInteger;
    operand->SetDataSize(4);
    StoreInt32(operand->Value(), -7);
    ExpTokenPtr result = NewExpToken();
    result->DataType = kTypeInteger;
    result->SetDataSize(4);
    ApplyUnaryOperator(kOpNegate, *operand, *result);
    EXPECT_EQ(Render(*result), "7");
    ApplyUnaryOperator(kOpIsNull, *operand, *result);
    EXPECT_EQ(Render(*result), "False");

    ExpTokenPtr left = NewExpToken();
    left->DataType = kTypeString;
    left->SetValueText("ABC");
    ExpTokenPtr right = NewExpToken();
    right->DataType = kTypeString;
    right->SetValueText("abd");
    ApplyStringPredicate(kOpEqual, 2, true, 0, 0, *result, *right, *left);
    EXPECT_EQ(Render(*result), "True");
    ApplyStringPredicate(kOpEqual, 0, true, 0, 0, *result, *right, *left);
    EXPECT_EQ(Render(*result), "False");
    ApplyStringPredicate(kOpNotEqual, 3, false, 0, 0, *result, *right, *left);
    EXPECT_EQ(Render(*result), "True");
    right->IsNull = true;
    ApplyStringPredicate(kOpEqual, 2, true, 0, 0, *result, *right, *left);
    EXPECT_EQ(Render(*result), "False");
    ApplyBinaryOperator(kOpLess, *left, *right, 0, 0, *result);
    EXPECT_EQ(Render(*result), "False");
}

std::string Prepared(TestRecord& record, std::string_view text, bool no_partial = false,
                     bool no_case = false) {
    const db::TFormatSettings fixed = FixedFormatSettings();
    ExpTokenPtr tree = ParseAndCheck(record, text);
    ExpTokenPtr prepared =
        PrepareFilterTree(*tree, record.Reader(), no_partial, no_case, 0, 0, &fixed);
    const TExpToken& p = *prepared;
    std::string shape = std::to_string(p.Kind) + ":" + p.Text;
    if (p.Kind == kTokenStringCompare) {
        shape += " partial " + std::to_string(p.PartialLength) + (p.NoCase ? " nocase" : "");
    }
    if (p.Second) {
        shape += " " + Render(*p.Second) + " type " + std::to_string(p.Second->DataType);
    }
    return shape;
}

// Constants take the column's type only when nothing is lost; otherwise the bound moves or the
// comparison stays between the two types.
TEST_F(ExpressionEval, PrepareFilterTreeConvertsConstantsExactly) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"Bounces > 2.5", "2:>= 3 type 6"},
        {"Bounces >= 2.5", "2:>= 3 type 6"},
        {"Bounces < 2.5", "2:<= 2 type 6"},
        {"Bounces <= -2.5", "2:<= -3 type 6"},
        {"Bounces = 2.5", "2:= 2.5 type 7"},
        {"Bounces <> 2.5", "2:<> 2.5 type 7"},
        {"Bounces > 3.0", "2:> 3 type 6"},
        {"Small > 100000", "2:> 100000 type 6"},
        {"Small = 7", "2:= 7 type 5"},
        {"W > -1", "2:> -1 type 6"},
        {"F > 2", "2:> 2 type 7"},
        {"Amount > 2.555", "2:>= bcd:2562 type 8"},
        {"Amount < 2.555", "2:<= bcd:2552 type 8"},
        {"Amount = 2.5", "2:= bcd:2502 type 8"},
        {"TS > D", "2:> "},
        {"Name LIKE 'Sm%'", "3:LIKE partial 2 'Sm' type 1"},
        {"Name NOT LIKE 'Sm%'", "3:NOT LIKE partial 2 'Sm' type 1"},
        {"Name LIKE 'S_%'", "12:LIKE 'S_%' type 1"},
        {"Name LIKE '%'", "12:LIKE '%' type 1"},
        {"Name = 'Sm*'", "3:= partial 2 'Sm' type 1"},
        {"Name = 'Smith'", "2:= 'Smith' type 1"},
        {"Name = '*'", "2:= '*' type 1"},
    };
    for (const auto& [text, shape] : cases) {
        SCOPED_TRACE(text);
        const std::string got = Prepared(record, text);
        EXPECT_EQ(got.substr(0, shape.size()), shape);
    }
    EXPECT_EQ(Prepared(record, "Name = 'Sm*'", true), "2:= 'Sm*' type 1");
    EXPECT_EQ(Prepared(record, "Name = 'sm*'", false, true), "3:= partial 2 nocase 'sm' type 1");
    EXPECT_EQ(Prepared(record, "Name LIKE 'sm%'", false, true), "3:LIKE partial 2 'sm' type 1");
}

// Prepared trees select exactly the records the unprepared ones do.
TEST_F(ExpressionEval, PreparedTreesGiveTheSameAnswers) {
    const std::vector<std::string> filters = {"Bounces > 2.5",
                                              "Bounces >= 2.5",
                                              "Bounces < 2.5",
                                              "Bounces <= 2.5",
                                              "Bounces = 2.5",
                                              "Bounces <> 2.5",
                                              "Small > 100000",
                                              "Small < -40000",
                                              "W >= -1",
                                              "Amount > 2.555",
                                              "Amount <= 2.555",
                                              "Bounces IN (2.5, 3)",
                                              "Bounces BETWEEN 2.5 AND 3.5",
                                              "D > CAST('2001-02-03 12:00' AS TIMESTAMP)",
                                              "D <= CAST('2001-02-03 12:00' AS TIMESTAMP)"};
    for (const std::int64_t bounces : {-3, 2, 3, 4}) {
        record.SetInt("Bounces", bounces);
        record.SetInt("Small", bounces * 10000);
        record.SetInt("Amount", bounces * 1000 + 2552);
        record.SetInt("D", day_20010203 + bounces - 3);
        for (const std::string& filter : filters) {
            SCOPED_TRACE(filter + " with " + std::to_string(bounces));
            ExpTokenPtr tree = ParseAndCheck(record, filter);
            ExpTokenPtr prepared =
                PrepareFilterTree(*tree, record.Reader(), false, false, 0, 0, &fixed);
            ExpTokenPtr plain = EvaluateExpression(*tree, nullptr, 0, 0, record.Reader(), &fixed);
            ExpTokenPtr fast =
                EvaluateExpression(*prepared, nullptr, 0, 0, record.Reader(), &fixed);
            EXPECT_EQ(Render(*plain), Render(*fast));
        }
    }
}

// A date column against a timestamp in the middle of a day: the bound moves to a whole day.
TEST_F(ExpressionEval, PrepareFilterTreeMovesDateBounds) {
    for (const std::uint8_t code : {kOpGreater, kOpLessEqual}) {
        ExpTokenPtr tree = NewExpToken();
        tree->Kind = kTokenBinary;
        tree->Code = code;
        tree->DataType = kTypeBoolean;
        tree->SetDataSize(2);
        tree->First = NewExpToken();
        tree->First->Kind = kTokenColumn;
        tree->First->ColumnName = "D";
        tree->First->DataType = kTypeDate;
        tree->First->SetDataSize(4);
        tree->Second = NewExpToken();
        tree->Second->Kind = kTokenConstant;
        tree->Second->DataType = kTypeTimestamp;
        tree->Second->SetDataSize(8);
        StoreDouble(tree->Second->Value(), (day_20010203 + 0.5) * 86400000.0);
        ExpTokenPtr prepared =
            PrepareFilterTree(*tree, record.Reader(), false, false, 0, 0, &fixed);
        EXPECT_EQ(prepared->Second->DataType, kTypeDate);
        if (code == kOpGreater) {
            EXPECT_EQ(prepared->Code, kOpGreaterEqual);
            EXPECT_EQ(LoadInt32(prepared->Second->Value()), day_20010203 + 1);
        } else {
            EXPECT_EQ(prepared->Code, kOpLessEqual);
            EXPECT_EQ(LoadInt32(prepared->Second->Value()), day_20010203);
        }
        for (const int offset : {-1, 0, 1}) {
            record.SetInt("D", day_20010203 + offset);
            EXPECT_EQ(
                Render(*EvaluateExpression(*tree, nullptr, 0, 0, record.Reader(), &fixed)),
                Render(*EvaluateExpression(*prepared, nullptr, 0, 0, record.Reader(), &fixed)));
        }
    }
}

TEST_F(ExpressionEval, CaseInsensitivePartialCompares) {
    ExpTokenPtr tree = ParseAndCheck(record, "Name = 'SM*' AND Category <> 'news'");
    ExpTokenPtr prepared = PrepareFilterTree(*tree, record.Reader(), false, true, 0, 0, &fixed);
    EXPECT_EQ(Render(*EvaluateExpression(*prepared, nullptr, 0, 0, record.Reader(), &fixed)),
              "False");
    ExpTokenPtr tree2 = ParseAndCheck(record, "Name = 'SM*' AND Category = 'news'");
    ExpTokenPtr prepared2 = PrepareFilterTree(*tree2, record.Reader(), false, true, 0, 0, &fixed);
    EXPECT_EQ(Render(*EvaluateExpression(*prepared2, nullptr, 0, 0, record.Reader(), &fixed)),
              "True");
}

TEST_F(ExpressionEval, EvaluateAsTypeConvertsOnlyExactly) {
    ExpTokenPtr target = NewExpToken();
    target->DataType = kTypeSmallInt;
    target->SetDataSize(2);
    ExpTokenPtr tree = ParseAndCheck(record, "Bounces IN (7, 7.5, 70000)");
    std::vector<std::string> got;
    for (const TExpToken* e = tree->Second.get(); e != nullptr; e = e->Second.get()) {
        ExpTokenPtr v = EvaluateAsType(*target, *e, 0, 0, record.Reader());
        got.push_back(Render(*v) + "/" + std::to_string(v->DataType));
    }
    EXPECT_EQ(got, (std::vector<std::string>{"7/5", "7.5/7", "70000/6"}));
}

TEST_F(ExpressionEval, SimplifyNullComparisonsRemovesThem) {
    ExpTokenPtr tree = ParseAndCheck(record, "Bounces = 1 AND (Name = NULL OR Name <> NULL)");
    EXPECT_FALSE(SimplifyNullComparisons(tree));
    ASSERT_TRUE(tree);
    EXPECT_EQ(tree->Kind, kTokenBinary);
    EXPECT_EQ(tree->Code, kOpEqual);
    EXPECT_EQ(tree->First->ColumnName, "Bounces");

    ExpTokenPtr gone = ParseAndCheck(record, "Name = NULL AND NULL <> Bounces");
    EXPECT_TRUE(SimplifyNullComparisons(gone));
    EXPECT_FALSE(gone);

    ExpTokenPtr chain =
        ParseAndCheck(record, "Bounces = 1 OR Name IS NULL OR Bounces = 2 OR Name IS NULL");
    EXPECT_FALSE(SimplifyNullComparisons(chain));
    EXPECT_EQ(chain->Code, kOpOr);
    EXPECT_EQ(Render(*EvaluateExpression(*chain, nullptr, 0, 0, record.Reader(), &fixed)), "False");
    EXPECT_EQ(chain->First->Code, kOpEqual);

    ExpTokenPtr untouched = ParseAndCheck(record, "Bounces = 1");
    EXPECT_FALSE(SimplifyNullComparisons(untouched));
    EXPECT_TRUE(untouched);
}

class CountingQuery : public SubSelectQuery {
  public:
    std::size_t ResultColumnCount() const override { return 1; }
    bool BindResultColumn(TExpToken& column) override {
        column.DataType = kTypeInteger;
        column.SetDataSize(4);
        return true;
    }
    void SetResultFilter(const TExpToken& condition) override {
        EXPECT_EQ(condition.Code, kOpEqual);
        EXPECT_EQ(condition.Second->Kind, kTokenSubSelect);
        value = LoadInt32(condition.First->Value());
    }
    std::int64_t ResultRecordCount() override { return value == 3 ? 2 : 0; }
    std::int32_t value = 0;
};

TEST_F(ExpressionEval, InSelectAsksTheSubSelect) {
    CountingQuery query;
    for (const std::uint8_t code : {kOpInSelect, kOpNotInSelect}) {
        ExpTokenPtr tree = BouncesInSelect(code, query);
        const bool in = code == kOpInSelect;
        EXPECT_EQ(Render(*EvaluateExpression(*tree, nullptr, 0, 0, record.Reader(), &fixed)),
                  in ? "True" : "False");
        record.SetInt("Bounces", 4);
        EXPECT_EQ(Render(*EvaluateExpression(*tree, nullptr, 0, 0, record.Reader(), &fixed)),
                  in ? "False" : "True");
        record.SetInt("Bounces", 3);
    }
}

// A sub-select that answers whether a record matches, and fails the test when asked to count
// them all: IN needs only the first match.
class FirstMatchQuery : public CountingQuery {
  public:
    std::int64_t ResultRecordCount() override {
        ADD_FAILURE() << "IN counted every match";
        return CountingQuery::ResultRecordCount();
    }
    bool ResultHasRecord() override { return value == 3; }
};

TEST_F(ExpressionEval, InSelectStopsAtTheFirstMatch) {
    FirstMatchQuery query;
    ExpTokenPtr tree = BouncesInSelect(kOpInSelect, query);
    EXPECT_EQ(Render(*EvaluateExpression(*tree, nullptr, 0, 0, record.Reader(), &fixed)), "True");
    record.SetInt("Bounces", 4);
    EXPECT_EQ(Render(*EvaluateExpression(*tree, nullptr, 0, 0, record.Reader(), &fixed)), "False");
    record.SetInt("Bounces", 3);
}

TEST_F(ExpressionEval, MalformedTreesGiveNull) {
    ExpTokenPtr tree = NewExpToken();
    tree->Kind = kTokenBinary;
    tree->Code = kOpAdd;
    tree->DataType = kTypeInteger;
    tree->SetDataSize(4);
    tree->First = NewExpToken();
    tree->First->Kind = kTokenConstant;
    EXPECT_EQ(Render(*EvaluateExpression(*tree, nullptr, 0, 0, record.Reader(), &fixed)), "NULL");
    tree->Kind = kTokenExtended;
    tree->Code = kOpBetween;
    tree->Second = NewExpToken();
    EXPECT_EQ(Render(*EvaluateExpression(*tree, nullptr, 0, 0, record.Reader(), &fixed)), "NULL");
}

// The deepest tree the parser accepts evaluates on an ordinary stack.
TEST_F(ExpressionEval, DeepestAcceptedTreeEvaluates) {
    std::string sum = "Bounces";
    for (int i = 0; i < 1000; ++i) {
        sum += " + 1";
    }
    EXPECT_EQ(Eval(sum), "1003");
    std::string nested = "Bounces";
    for (int i = 0; i < 120; ++i) {
        nested = "ABS(" + nested + ")";
    }
    EXPECT_EQ(Eval(nested), "3");
}

// Chains of tens of thousands of terms are evaluated, prepared and simplified in loops.
TEST_F(ExpressionEval, LongChainsAndListsWithoutDeepRecursion) {
    std::string chain = "Bounces = 0";
    std::string list = "Bounces IN (0";
    for (int i = 1; i < 30000; ++i) {
        chain += " OR Bounces = " + std::to_string(i + 10);
        list += ", " + std::to_string(i + 10);
    }
    chain += " OR Name = NULL";
    list += ", 3)";
    ExpTokenPtr or_tree = ParseAndCheck(record, chain);
    ExpTokenPtr in_tree = ParseAndCheck(record, list);
    EXPECT_EQ(Render(*EvaluateExpression(*or_tree, nullptr, 0, 0, record.Reader(), &fixed)),
              "False");
    EXPECT_EQ(Render(*EvaluateExpression(*in_tree, nullptr, 0, 0, record.Reader(), &fixed)),
              "True");
    ExpTokenPtr prepared = PrepareFilterTree(*or_tree, record.Reader(), false, false, 0, 0, &fixed);
    ExpTokenPtr prepared_list =
        PrepareFilterTree(*in_tree, record.Reader(), false, false, 0, 0, &fixed);
    EXPECT_EQ(Render(*EvaluateExpression(*prepared_list, nullptr, 0, 0, record.Reader(), &fixed)),
              "True");
    EXPECT_FALSE(SimplifyNullComparisons(prepared));
    record.SetInt("Bounces", 29999 + 10);
    EXPECT_EQ(Render(*EvaluateExpression(*prepared, nullptr, 0, 0, record.Reader(), &fixed)),
              "True");
}

}  // namespace
}  // namespace strata
