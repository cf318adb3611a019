#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "engine/sql/data_query.h"
#include "engine/sql/query_statement.h"
#include "engine/storage/data_types.h"
#include "engine/storage/engine_error.h"
#include "sql_test_support.h"

namespace strata {
namespace {

using sqltest::Prepared;
using sqltest::PrepareError;

struct ErrorCase {
    const char* sql;
    const char* message;
};

// Every syntax error of the data statements, with the token that completes the message.
TEST(SqlGrammar, DataStatementErrorsCarryTheirTexts) {
    const std::vector<ErrorCase> cases = {
        {"FETCH a",
         "SELECT, INSERT, UPDATE, DELETE, CREATE, ALTER, or DROP keyword expected, "
         "instead found 'FETCH'"},
        {"",
         "SELECT, INSERT, UPDATE, DELETE, CREATE, ALTER, or DROP keyword expected, instead "
         "found ''"},
        {"SELECT a FROM t garbage extra",
         "End of SELECT statement expected, instead found 'extra'"},
        {"SELECT a t", "FROM keyword expected, instead found ''"},
        {"SELECT a, , b FROM t", "Source column expression is empty"},
        {"SELECT", "Source column expression is empty"},
        {"SELECT a AS 5 FROM t", "Symbol or string expected after AS keyword, instead found '5'"},
        {"SELECT a b. 5 FROM t",
         "Symbol or string expected after table correlation name, instead found '5'"},
        {"SELECT a INTO MEMORY 5 FROM t",
         "Result table name expected in INTO MEMORY clause, instead found '5'"},
        {"SELECT a INTO 5 FROM t", "Result table name expected in INTO clause, instead found '5'"},
        {"SELECT a FROM 5", "Table name expected after FROM keyword, instead found '5'"},
        {"SELECT a FROM MEMORY 5", "Table name expected after FROM keyword, instead found '5'"},
        {"SELECT a FROM t AS 5", "Symbol or string expected after AS keyword, instead found '5'"},
        {"SELECT a FROM t x, u x", "Duplicate table correlation name 'x' found in source tables"},
        {"SELECT a FROM t, T", "Duplicate table correlation name 'T' found in source tables"},
        {"SELECT a FROM t INNER u", "JOIN keyword expected after INNER keyword, instead found 'u'"},
        {"SELECT a FROM t LEFT OUTER u",
         "JOIN keyword expected after LEFT or OUTER keyword, instead found 'u'"},
        {"SELECT a FROM t RIGHT u",
         "JOIN keyword expected after RIGHT or OUTER keyword, instead found 'u'"},
        {"SELECT a FROM t FULL JOIN u ON t.a = u.a",
         "Full outer joins are currently not supported in Strata SQL SELECT statements"},
        {"SELECT a FROM t FULL OUTER JOIN u ON t.a = u.a",
         "Full outer joins are currently not supported in Strata SQL SELECT statements"},
        {"SELECT a FROM t JOIN u ON t.a = u.a FULL JOIN v ON v.a = t.a",
         "Full outer joins are currently not supported in Strata SQL SELECT statements"},
        {"SELECT a FROM t JOIN 5", "Table name expected after JOIN keyword, instead found '5'"},
        {"SELECT a FROM t JOIN u x y", "ON keyword expected in JOIN clause, instead found 'y'"},
        {"SELECT a FROM t JOIN u ON", "WHERE or JOIN clause is empty"},
        {"SELECT * FROM t WHERE", "WHERE or JOIN clause is empty"},
        {"SELECT * FROM t WHERE;", "WHERE or JOIN clause is empty"},
        {"SELECT a FROM t GROUP a", "BY keyword expected after GROUP keyword, instead found 'a'"},
        {"SELECT a FROM t GROUP BY 1.5",
         "Column name or column number expected in GROUP BY clause, instead found '1.5'"},
        {"SELECT a FROM t GROUP BY t.(",
         "Column name or column number expected in GROUP BY clause, instead found '('"},
        {"SELECT a FROM t ORDER a", "BY keyword expected after ORDER keyword, instead found 'a'"},
        {"SELECT a FROM t ORDER BY (a)",
         "Column name or column number expected in ORDER BY clause, instead found '('"},
        {"SELECT a FROM t ORDER BY 0", "Invalid column number '0' specified in ORDER BY clause"},
        {"SELECT a FROM t GROUP BY 65537",
         "Invalid column number '65537' specified in GROUP BY clause"},
        {"SELECT a FROM t HAVING", "HAVING clause is empty"},
        {"SELECT a FROM t WITH a", "LOCKS keyword expected after WITH keyword, instead found 'a'"},
        {"SELECT a FROM t LANGUAGE Klingon",
         "Invalid language constant 'Klingon' specified after LANGUAGE keyword"},
        {"SELECT a FROM t LANGUAGE 'ANSI Standard' SORT Odd",
         "Invalid sort constant 'Odd' specified after SORT keyword"},
        {"SELECT a FROM t ENCRYPTED x",
         "WITH keyword expected after ENCRYPTED keyword, instead found 'x'"},
        {"SELECT SUM(MAX(a)) FROM t", "Aggregate functions cannot be nested"},
        {"SELECT SUM(a) + 1 FROM t", "Aggregate functions cannot be used within expressions"},
        {"SELECT UPPER(MIN(a)) FROM t", "Aggregate functions cannot be used within expressions"},
        {"SELECT SUM(*) FROM t",
         "* (all columns) symbol is not allowed in source column expression"},
        {"SELECT a FROM t WHERE a IN (SELECT b FROM u WHERE c IN (SELECT d FROM v) x) y",
         "Expected right parentheses after IN operator, instead found 'x' in WHERE or JOIN "
         "clause"},
        {"INSERT t VALUES (1)", "INTO keyword expected, instead found 't'"},
        {"INSERT INTO 5", "Table name expected after INTO clause, instead found '5'"},
        {"INSERT INTO MEMORY 5", "Table name expected after INTO keyword, instead found '5'"},
        {"INSERT INTO t (a b) VALUES (1)",
         "Right parentheses expected after list of table columns, instead found 'b'"},
        {"INSERT INTO t () VALUES (1)", "Table column name is empty"},
        {"INSERT INTO t VALUES 1",
         "Left parentheses expected after VALUES keyword, instead found '1'"},
        {"INSERT INTO t VALUES (1 2)",
         "Right parentheses expected after list of values, instead found '2'"},
        {"INSERT INTO t VALUES ()", "Value expression is empty"},
        {"INSERT INTO t (a)", "VALUES or SELECT  keyword expected, instead found ''"},
        {"INSERT INTO t VALUES (1) COMMIT 5",
         "INTERVAL keyword expected after COMMIT keyword, instead found '5'"},
        {"INSERT INTO t VALUES (1) COMMIT INTERVAL -3",
         "COMMIT INTERVAL specified (-3) is invalid, it must be greater than 0"},
        {"INSERT INTO t VALUES (1) COMMIT INTERVAL", "Commit interval is empty"},
        {"INSERT INTO t VALUES (1) x", "End of INSERT statement expected, instead found 'x'"},
        {"INSERT INTO t SELECT a FROM u v w",
         "End of INSERT statement expected, instead found 'w'"},
        {"UPDATE 5 SET a = 1", "Table name expected, instead found '5'"},
        {"UPDATE MEMORY 5 SET a = 1", "Table name expected, instead found '5'"},
        {"UPDATE t a = 1", "SET keyword expected, instead found '='"},
        {"UPDATE t SET a 1",
         "Assignment (=) operator expected after column name, instead found '1'"},
        {"UPDATE t SET = 1", "Table column name is empty"},
        {"UPDATE t SET a =", "Value expression is empty"},
        {"UPDATE t SET a = 1 COMMIT INTERVAL 0",
         "COMMIT INTERVAL specified (0) is invalid, it must be greater than 0"},
        {"UPDATE t SET a = 1 COMMIT INTERVAL b",
         "COMMIT INTERVAL specified (0) is invalid, it must be greater than 0"},
        {"UPDATE t SET a = 1 WHERE", "WHERE or JOIN clause is empty"},
        {"UPDATE t SET a = 1 extra", "End of UPDATE statement expected, instead found 'extra'"},
        {"DELETE t", "FROM keyword expected, instead found 't'"},
        {"DELETE FROM 5", "Table name expected, instead found '5'"},
        {"DELETE FROM t NOJOINOPTIMIZE",
         "End of DELETE statement expected, instead found 'NOJOINOPTIMIZE'"},
        {"DELETE FROM t WHERE", "WHERE or JOIN clause is empty"},
        {"DELETE FROM t WHERE a = 1 x", "End of DELETE statement expected, instead found 'x'"},
    };
    for (const ErrorCase& c : cases) {
        EXPECT_EQ(PrepareError(c.sql), c.message) << c.sql;
    }
}

TEST(SqlGrammar, DefinitionStatementErrorsCarryTheirTexts) {
    const std::vector<ErrorCase> cases = {
        {"CREATE VIEW v", "TABLE or INDEX keyword expected, instead found 'VIEW'"},
        {"ALTER INDEX i", "TABLE keyword expected, instead found 'INDEX'"},
        {"DROP VIEW v", "TABLE or INDEX keyword expected, instead found 'VIEW'"},
        {"CREATE TABLE 5 (a INTEGER)",
         "Table name expected after CREATE TABLE keywords, instead found '5'"},
        {"CREATE TABLE MEMORY 5 (a INTEGER)", "Table name expected, instead found '5'"},
        {"CREATE TABLE t a INTEGER",
         "Left parentheses expected before list of table columns, instead found 'a'"},
        {"CREATE TABLE t (a INTEGER, PRIMARY KEY (a), DESCRIPTION 'x')",
         "Right parentheses expected after CREATE TABLE statement, instead found ','"},
        {"CREATE TABLE t (a INTEGER DEFAULT 0 NOT NULL)",
         "Right parentheses expected after CREATE TABLE statement, instead found 'NOT'"},
        {"CREATE TABLE t (a INTEGER NOT 5)",
         "NULL keyword expected after NOT keyword, instead found '5'"},
        {"CREATE TABLE t (a CHAR(5) CHARCASE MIXED)",
         "UPPER, LOWER, or NOCHANGE keyword expected after CHARCASE keyword, instead found "
         "'MIXED'"},
        {"CREATE TABLE t (a INTEGER, UNIQUE KEY (a))",
         "PRIMARY keyword expected, instead found 'KEY'"},
        {"CREATE TABLE t (a INTEGER, PRIMARY (a))",
         "KEY keyword expected after PRIMARY keyword, instead found '('"},
        {"CREATE TABLE t (a INTEGER, PRIMARY KEY a)",
         "Left parentheses expected after KEY keyword, instead found 'a'"},
        {"CREATE TABLE t (a INTEGER, PRIMARY KEY (a b))",
         "Right parentheses expected after primary key clause, instead found 'b'"},
        {"CREATE TABLE t (a INTEGER, PRIMARY KEY (a,))", "Index column name is empty"},
        {"CREATE TABLE t (a INTEGER, PRIMARY KEY ())", "Index column name is empty"},
        {"CREATE TABLE t (a INTEGER, PRIMARY KEY (a) COMPRESS SOME)",
         "FULL, DUPBYTE, TRAILBYTE, or NONE keyword expected after COMPRESS keyword, instead "
         "found 'SOME'"},
        {"CREATE TABLE t (a INTEGER, BLOB SIZE 512)",
         "BLOCK keyword expected after BLOB keyword, instead found 'SIZE'"},
        {"CREATE TABLE t (a INTEGER, BLOB BLOCK 512)",
         "SIZE keyword expected after BLOCK keyword, instead found '512'"},
        {"CREATE TABLE t (a INTEGER, BLOB BLOCK SIZE)", "BLOB block size is empty"},
        {"CREATE TABLE t (a INTEGER, BLOB BLOCK SIZE 70000)",
         "BLOB block size specified (70000) is invalid, it must be between 0 and 65535"},
        {"CREATE TABLE t (a INTEGER, ENCRYPTED 'x')",
         "WITH keyword expected after ENCRYPTED keyword, instead found 'x'"},
        {"CREATE TABLE t (a INTEGER, USER VERSION 1)",
         "MAJOR keyword expected after USER keyword, instead found 'VERSION'"},
        {"CREATE TABLE t (a INTEGER, USER MAJOR 1)",
         "VERSION keyword expected after MAJOR keyword, instead found '1'"},
        {"CREATE TABLE t (a INTEGER, USER MINOR 1)",
         "VERSION keyword expected after MINOR keyword, instead found '1'"},
        {"CREATE TABLE t (a INTEGER, USER MAJOR VERSION 2 USER VERSION 1)",
         "MINOR keyword expected after USER keyword, instead found 'VERSION'"},
        {"CREATE TABLE t (a INTEGER, USER MAJOR VERSION)", "User version number is empty"},
        {"CREATE TABLE t (a INTEGER, USER MAJOR VERSION -1)",
         "User version number specified (-1) is invalid, it must be between 0 and 65535"},
        {"CREATE TABLE t (a INTEGER, LANGUAGE Klingon)",
         "Invalid language constant 'Klingon' specified after LANGUAGE keyword"},
        {"CREATE TABLE t (a INTEGER) x",
         "End of CREATE TABLE statement expected, instead found 'x'"},
        {"CREATE TABLE t (, a INTEGER)", "Table column name is empty"},
        {"CREATE TABLE t (a)",
         "SQL data type keyword expected, instead found ')' in column "
         "definition"},
        {"CREATE TABLE t (a CHAR(0))",
         "Length argument must be an integer greater than 0 and less than or equal to 250 in "
         "column definition"},
        {"CREATE UNIQUE i ON t (a)", "INDEX keyword expected, instead found 'i'"},
        {"CREATE INDEX 5 ON t (a)", "Index name expected after INDEX keyword, instead found '5'"},
        {"CREATE INDEX i t (a)", "ON keyword expected after index name, instead found 't'"},
        {"CREATE INDEX i ON 5 (a)", "Table name expected after ON keyword, instead found '5'"},
        {"CREATE INDEX i ON MEMORY 5 (a)", "Table name expected, instead found '5'"},
        {"CREATE INDEX i ON t a", "Left parentheses expected after KEY keyword, instead found 'a'"},
        {"CREATE INDEX i ON t (a",
         "Right parentheses expected after primary key clause, instead "
         "found ''"},
        {"CREATE INDEX i ON t (a) COMPRESS",
         "FULL, DUPBYTE, TRAILBYTE, or NONE keyword expected "
         "after COMPRESS keyword, instead found ''"},
        {"CREATE INDEX i ON t (a) x", "End of CREATE INDEX statement expected, instead found 'x'"},
        {"ALTER TABLE 5", "Table name expected after ALTER TABLE keywords, instead found '5'"},
        {"ALTER TABLE MEMORY 5", "Table name expected, instead found '5'"},
        {"ALTER TABLE t ADD c INTEGER AT", "Column position is empty"},
        {"ALTER TABLE t ADD c",
         "SQL data type keyword expected, instead found '' in column "
         "definition"},
        {"ALTER TABLE t LAST 5", "AUTOINC keyword expected after LAST keyword, instead found '5'"},
        {"ALTER TABLE t LAST AUTOINC", "Next auto-increment number is empty"},
        {"ALTER TABLE t DROP CONSTRAINT c KEY", "PRIMARY keyword expected, instead found 'KEY'"},
        {"ALTER TABLE t DROP PRIMARY (a)",
         "KEY keyword expected after PRIMARY keyword, instead found '('"},
        {"ALTER TABLE t ADD PRIMARY KEY (a) x",
         "End of ALTER TABLE statement expected, instead found 'x'"},
        {"DROP TABLE 5", "Table name expected after TABLE keyword, instead found '5'"},
        {"DROP TABLE MEMORY 5", "Table name expected, instead found '5'"},
        {"DROP TABLE t x", "End of DROP TABLE statement expected, instead found 'x'"},
        {"DROP INDEX", "Index name expression is empty"},
        {"DROP INDEX 5", "Table name expected after INDEX keyword, instead found '5'"},
        {"DROP INDEX MEMORY 5", "Table name expected, instead found '5'"},
        {"DROP INDEX i", "Period (.) expected between table name and index name, instead found ''"},
        {"DROP INDEX t.", "Index name expected after table name, instead found ''"},
        {"DROP INDEX t.i x", "End of DROP INDEX statement expected, instead found 'x'"},
    };
    for (const ErrorCase& c : cases) {
        EXPECT_EQ(PrepareError(c.sql), c.message) << c.sql;
    }
}

struct KindCase {
    const char* sql;
    std::uint8_t kind;
};

// A string or bracketed name left open at the start of an expression is reported in that
// expression's clause, not in the clause before it.
TEST(SqlGrammar, UnclosedTokensNameTheClauseTheyBegin) {
    const std::vector<std::pair<const char*, const char*>> cases = {
        {"SELECT 'abc", "Missing single quote after 'abc' in source column expression"},
        {"SELECT [abc", "Missing right bracket after 'abc' in source column expression"},
        {"SELECT a FROM t WHERE 'x", "Missing single quote after 'x' in WHERE or JOIN clause"},
        {"SELECT a FROM t JOIN u ON [x", "Missing right bracket after 'x' in WHERE or JOIN clause"},
        {"SELECT a FROM t GROUP BY a HAVING 'x", "Missing single quote after 'x' in HAVING clause"},
        {"UPDATE t SET a = 'x", "Missing single quote after 'x' in value expression"},
        {"UPDATE t SET 'a = 1", "Missing single quote after 'a = 1' in table column"},
        {"UPDATE t SET a = 1 WHERE \"x", "Missing double quote after 'x' in WHERE or JOIN clause"},
        {"INSERT INTO t VALUES ('x)", "Missing single quote after 'x)' in value expression"},
        {"INSERT INTO t ('a) VALUES (1)",
         "Missing single quote after 'a) VALUES (1)' in table column"},
        {"DELETE FROM t WHERE [a", "Missing right bracket after 'a' in WHERE or JOIN clause"},
    };
    for (const auto& [sql, message] : cases) {
        EXPECT_EQ(PrepareError(sql), message) << sql;
    }
}

TEST(SqlGrammar, RecognisesEveryStatementKindWithoutRegardToCase) {
    const std::vector<KindCase> cases = {
        {"select a from t", kStatementSelect},
        {"SeLeCt ALL a FROM t;", kStatementSelect},
        {"INSERT INTO t VALUES (1, 2)", kStatementInsert},
        {"insert into t (a) select b from u", kStatementInsert},
        {"UPDATE t SET a = 1", kStatementUpdate},
        {"delete from t", kStatementDelete},
        {"CREATE TABLE t (a INTEGER)", kStatementCreateTable},
        {"ALTER TABLE t ADD b INTEGER", kStatementAlterTable},
        {"DROP TABLE t", kStatementDropTable},
        {"CREATE INDEX i ON t (a)", kStatementCreateIndex},
        {"create unique desc nocase index i on t (a)", kStatementCreateIndex},
        {"CREATE ASCENDING INDEX i ON t (a)", kStatementCreateIndex},
        {"DROP INDEX t.i;", kStatementDropIndex},
    };
    for (const KindCase& c : cases) {
        const auto statement = Prepared(c.sql);
        EXPECT_EQ(statement->MainQuery()->Kind, c.kind) << c.sql;
    }
}

TEST(SqlGrammar, SelectColumnsKeepNamesAggregatesAndAliases) {
    const auto statement = Prepared(
        "SELECT DISTINCT a, b AS bb, t.c, SUM(d), COUNT(*), AVG(e * 2) x, UPPER(f) "
        "'Up', g h.i FROM t");
    const TDataQuery& query = *statement->MainQuery();
    EXPECT_TRUE(query.Distinct);
    EXPECT_TRUE(query.HasAvg);
    EXPECT_TRUE(query.HasExpressionColumn);
    ASSERT_EQ(query.ResultFields.size(), 8u);
    const auto& f = query.ResultFields;
    EXPECT_EQ(f[0]->ColumnName(), "a");
    EXPECT_EQ(f[0]->ResultName, "a");
    EXPECT_TRUE(f[0]->AliasNotGiven);
    EXPECT_EQ(f[1]->ResultName, "bb");
    EXPECT_FALSE(f[1]->AliasNotGiven);
    EXPECT_EQ(f[2]->TableName, "t");
    EXPECT_EQ(f[2]->ColumnName(), "c");
    EXPECT_EQ(f[3]->Aggregate, kAggregateSum);
    EXPECT_EQ(f[3]->ColumnName(), "d");
    EXPECT_EQ(f[3]->ResultName, "") << "default aggregate names are given at planning";
    EXPECT_EQ(f[4]->Aggregate, kAggregateCount);
    EXPECT_TRUE(f[4]->CountStar);
    EXPECT_EQ(f[4]->Expression, nullptr);
    EXPECT_EQ(f[5]->Aggregate, kAggregateAvg);
    EXPECT_TRUE(f[5]->IsExpression);
    EXPECT_EQ(f[5]->ExpressionText, "AVG(e * 2)");
    EXPECT_EQ(f[5]->ResultName, "x");
    EXPECT_TRUE(f[6]->IsExpression);
    EXPECT_EQ(f[6]->ResultName, "Up");
    EXPECT_EQ(f[7]->ResultName, "i") << "an alias followed by '.' takes the name after it";
}

TEST(SqlGrammar, StarColumnsStayUnnamed) {
    const auto statement = Prepared("SELECT *, u.* FROM t, u");
    const auto& f = statement->MainQuery()->ResultFields;
    ASSERT_EQ(f.size(), 2u);
    EXPECT_EQ(f[0]->ColumnName(), "*");
    EXPECT_EQ(f[0]->ResultName, "");
    EXPECT_EQ(f[1]->TableName, "u");
    EXPECT_TRUE(statement->MainQuery()->MultipleTables);
}

TEST(SqlGrammar, SourceTablesSplitNamesAndCorrelations) {
    const auto statement =
        Prepared("SELECT a FROM \"data/t.dat\" x, MEMORY 'm.dat', u AS w, \"c:v\" NOJOINOPTIMIZE");
    const TDataQuery& query = *statement->MainQuery();
    ASSERT_EQ(query.SourceTables.size(), 4u);
    const auto& s = query.SourceTables;
    EXPECT_EQ(s[0]->DatabaseName, "data");
    EXPECT_EQ(s[0]->TableName, "t.dat");
    EXPECT_EQ(s[0]->CorrelationName, "x");
    EXPECT_TRUE(s[1]->InMemory);
    EXPECT_EQ(s[1]->DatabaseName, "Memory");
    EXPECT_EQ(s[1]->CorrelationName, "m");
    EXPECT_EQ(s[2]->CorrelationName, "w");
    EXPECT_EQ(s[3]->DatabaseName, "") << "':' is an ordinary file-name character";
    EXPECT_EQ(s[3]->TableName, "c:v");
    EXPECT_EQ(s[3]->CorrelationName, "c:v");
    EXPECT_TRUE(query.NoJoinOptimize) << "NOJOINOPTIMIZE is never a correlation name";
    for (std::size_t i = 0; i < s.size(); ++i) {
        EXPECT_EQ(s[i]->TableNumber, i + 1);
    }
}

TEST(SqlGrammar, LanguageAfterTableIsNoCorrelationName) {
    const auto statement =
        Prepared("SELECT a FROM t LANGUAGE 'German (Standard)' SORT 'German Phone Book Order'");
    const TDataQuery& query = *statement->MainQuery();
    EXPECT_EQ(query.SourceTables[0]->CorrelationName, "t");
    EXPECT_EQ(query.LanguageID, 0x0407);
    EXPECT_EQ(query.SortID, 1);
}

TEST(SqlGrammar, RightJoinPutsJoinedTableFirstAndMarksComparisons) {
    const auto statement =
        Prepared("SELECT a FROM t RIGHT OUTER JOIN u ON t.a = u.a AND t.b > 3 WHERE t.c = 1");
    const TDataQuery& query = *statement->MainQuery();
    ASSERT_EQ(query.SourceTables.size(), 2u);
    EXPECT_EQ(query.SourceTables[0]->CorrelationName, "u");
    EXPECT_EQ(query.SourceTables[0]->TableNumber, 1);
    EXPECT_EQ(query.SourceTables[1]->CorrelationName, "t");
    EXPECT_TRUE(query.MultipleTables);
    EXPECT_TRUE(query.HasCondition);
    // ((t.a = u.a AND t.b > 3) AND t.c = 1): only the column-to-column comparison is marked.
    const TExpToken& top = *query.Condition;
    ASSERT_EQ(top.Code, kOpAnd);
    const TExpToken& on = *top.First;
    EXPECT_EQ(on.First->JoinKind, kJoinRight);
    EXPECT_EQ(on.Second->JoinKind, 0);
    EXPECT_EQ(top.Second->JoinKind, 0);
}

TEST(SqlGrammar, JoinKindsAndOptionalKeywords) {
    const auto statement = Prepared(
        "SELECT a FROM t INNER JOIN u ON t.a = u.a LEFT JOIN v ON u.b = v.b JOIN w ON "
        "w.c = v.c WITH LOCKS ENCRYPTED WITH 'pw' NOJOINOPTIMIZE");
    const TDataQuery& query = *statement->MainQuery();
    ASSERT_EQ(query.SourceTables.size(), 4u);
    EXPECT_TRUE(query.WithLocks);
    EXPECT_TRUE(query.Encrypted);
    EXPECT_EQ(query.Password, "pw");
    EXPECT_TRUE(query.NoJoinOptimize);
    const TExpToken& top = *query.Condition;
    EXPECT_EQ(top.Second->JoinKind, kJoinInner);
    EXPECT_EQ(top.First->Second->JoinKind, kJoinLeft);
    EXPECT_EQ(top.First->First->JoinKind, kJoinInner);
}

TEST(SqlGrammar, GroupHavingOrderAndInto) {
    const auto statement = Prepared(
        "SELECT a, SUM(b) INTO MEMORY r FROM t GROUP BY a, t.b, 2 HAVING SUM(b) > 1 ORDER BY 1 "
        "DESC, a ASCENDING, t.c DESCENDING NOCASE");
    const TDataQuery& query = *statement->MainQuery();
    EXPECT_TRUE(query.InMemory);
    EXPECT_EQ(query.TableName, "r");
    EXPECT_FALSE(query.RequestLive);
    EXPECT_TRUE(query.HasGroupBy);
    ASSERT_EQ(query.GroupByFields.size(), 3u);
    EXPECT_EQ(query.GroupByFields[1]->TableName, "t");
    EXPECT_EQ(query.GroupByFields[1]->ColumnName, "b");
    EXPECT_EQ(query.GroupByFields[2]->ColumnNumber, 2);
    EXPECT_TRUE(query.HasHaving);
    ASSERT_NE(query.Having, nullptr);
    ASSERT_EQ(query.OrderByFields.size(), 3u);
    EXPECT_EQ(query.OrderByFields[0]->ColumnNumber, 1);
    EXPECT_TRUE(query.OrderByFields[0]->Descending);
    EXPECT_FALSE(query.OrderByFields[1]->Descending);
    EXPECT_TRUE(query.OrderByFields[2]->Descending);
    EXPECT_TRUE(query.OrderByNoCase);
}

TEST(SqlGrammar, SelectIntoClearsRequestLive) {
    auto statement = std::make_unique<TQueryStatement>(nullptr);
    statement->SetRequestLive(true);
    statement->SetMaxRowCount(10);
    std::size_t offset = 0;
    statement->Prepare("SELECT a FROM t", offset);
    EXPECT_TRUE(statement->MainQuery()->RequestLive) << "the dataset's setting survives parsing";
    EXPECT_EQ(statement->MainQuery()->MaxRowCount, 10);
    statement->Prepare("SELECT a INTO r FROM t", offset);
    EXPECT_FALSE(statement->MainQuery()->RequestLive);
    EXPECT_EQ(statement->MainQuery()->TableName, "r");
}

TEST(SqlGrammar, InsertListsColumnsValuesAndOptions) {
    const auto star = Prepared("INSERT INTO t VALUES (1, 'x') NOAUTOINC COMMIT INTERVAL +5");
    const TDataQuery& query = *star->MainQuery();
    ASSERT_EQ(query.UpdateFields.size(), 1u);
    EXPECT_EQ(query.UpdateFields[0]->ColumnName, "*");
    ASSERT_EQ(query.UpdateValues.size(), 2u);
    EXPECT_EQ(query.UpdateValues[1]->Text, "'x'");
    EXPECT_TRUE(query.NoAutoInc);
    EXPECT_TRUE(query.CommitIntervalGiven);
    EXPECT_EQ(query.CommitInterval, 5);
    EXPECT_TRUE(query.RequestLive);

    const auto named = Prepared("INSERT INTO t AS (a, 'b', \"c\", t.d) VALUES (1, 2, 3, 4)");
    const TDataQuery& q2 = *named->MainQuery();
    EXPECT_EQ(q2.SourceTables[0]->CorrelationName, "AS") << "INSERT knows no AS keyword";
    ASSERT_EQ(q2.UpdateFields.size(), 4u);
    EXPECT_EQ(q2.UpdateFields[1]->ColumnName, "b");
    EXPECT_EQ(q2.UpdateFields[2]->ColumnName, "c");
    EXPECT_EQ(q2.UpdateFields[3]->ColumnName, "d");
    EXPECT_EQ(q2.UpdateFields[3]->TableName, "t");
}

TEST(SqlGrammar, InsertSelectParsesItsSelectAsLiveSubSelect) {
    const auto statement =
        Prepared("INSERT INTO t (a) SELECT b FROM u NOAUTOINC COMMIT INTERVAL 10");
    ASSERT_EQ(statement->Queries().size(), 2u);
    const TDataQuery& insert = *statement->MainQuery();
    const TDataQuery& select = *statement->Queries()[1];
    EXPECT_TRUE(insert.InsertSelect);
    EXPECT_EQ(insert.InsertSource, &select);
    EXPECT_TRUE(select.SubSelect);
    EXPECT_TRUE(select.RequestLive);
    EXPECT_EQ(select.SourceTables[0]->CorrelationName, "u")
        << "the INSERT's NOAUTOINC is no correlation name of the SELECT's table";
    EXPECT_TRUE(insert.NoAutoInc);
    EXPECT_EQ(insert.CommitInterval, 10);
}

TEST(SqlGrammar, UpdateAndDeleteKeepTargetsAndConditions) {
    const auto update =
        Prepared("UPDATE t AS x SET a = 1, 'b' = b + 1 WHERE a > 0 NOAUTOINC COMMIT INTERVAL 1");
    const TDataQuery& u = *update->MainQuery();
    EXPECT_EQ(u.SourceTables[0]->CorrelationName, "x");
    ASSERT_EQ(u.UpdateFields.size(), 2u);
    EXPECT_EQ(u.UpdateFields[1]->ColumnName, "b");
    EXPECT_EQ(u.UpdateValues[1]->Text, "b + 1");
    EXPECT_NE(u.Condition, nullptr);
    EXPECT_TRUE(u.NoAutoInc);
    EXPECT_EQ(u.CommitInterval, 1);

    const auto del = Prepared("DELETE FROM MEMORY t d WHERE a IS NULL");
    const TDataQuery& d = *del->MainQuery();
    EXPECT_TRUE(d.SourceTables[0]->InMemory);
    EXPECT_EQ(d.SourceTables[0]->CorrelationName, "d");
    EXPECT_TRUE(d.RequestLive);
    EXPECT_NE(d.Condition, nullptr);
}

TEST(SqlGrammar, StatementEndsAtSemicolonOrEndOfText) {
    auto statement = std::make_unique<TQueryStatement>(nullptr);
    const std::string script = "SELECT a FROM t;  DELETE FROM u";
    std::size_t running = 100;
    const std::size_t first = statement->Prepare(script, running);
    EXPECT_EQ(first, script.find("DELETE"));
    EXPECT_EQ(running, 100 + first);
    const std::size_t second = statement->Prepare(script.substr(first), running);
    EXPECT_EQ(statement->MainQuery()->Kind, kStatementDelete);
    EXPECT_EQ(second, script.size() - first);
}

}  // namespace
}  // namespace strata

namespace strata {
namespace {

// Any text either parses or raises an engine error; nothing else escapes and nothing crashes.
TEST(SqlGrammar, RandomTokenSoupRaisesOnlyEngineErrors) {
    const std::vector<std::string> words = {
        "SELECT",   "INSERT", "UPDATE", "DELETE", "CREATE",   "ALTER",   "DROP",    "TABLE",
        "INDEX",    "FROM",   "WHERE",  "INTO",   "VALUES",   "SET",     "JOIN",    "LEFT",
        "RIGHT",    "FULL",   "ON",     "AND",    "OR",       "NOT",     "IN",      "(",
        ")",        ",",      ".",      "=",      "<",        ">",       "*",       "?",
        "'x'",      "[b]",    "1",      "2.5",    "a",        "t",       "u",       "GROUP",
        "BY",       "ORDER",  "HAVING", "SUM(",   "COUNT(*)", "PRIMARY", "KEY",     "ADD",
        "REDEFINE", "AT",     "-",      "DESC",   "NOCASE",   "INTEGER", "CHAR(5)", ";",
        "MEMORY"};
    std::mt19937 random(20261207);
    int parsed = 0;
    for (int i = 0; i < 3000; ++i) {
        std::string sql;
        const int length = 1 + static_cast<int>(random() % 14);
        for (int j = 0; j < length; ++j) {
            sql += words[random() % words.size()];
            sql += ' ';
        }
        try {
            sqltest::Prepared(sql);
            ++parsed;
        } catch (const EStrataEngineError&) {
        }
    }
    EXPECT_GT(parsed, 0);
}

}  // namespace
}  // namespace strata
