#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "engine/core/table_repair.h"
#include "engine/sql/data_query.h"
#include "engine/sql/statement_tables.h"
#include "engine/storage/byte_order.h"
#include "engine/storage/engine_error.h"
#include "sql_execution_fixture.h"
#include "sql_test_support.h"

namespace strata {

// The size past which a result leaves memory, lowered so that a few megabytes show the move.
class TDataQueryTestAccess {
  public:
    static void SetHeldResultLimit(TDataQuery& query, std::int64_t bytes) {
        query.held_result_limit_ = bytes;
    }
};

namespace {

using sqltest::SqlError;
using Strings = std::vector<std::string>;

class SqlSelect : public sqltest::SqlExecution {
  protected:
    void SetUp() override {
        SqlExecution::SetUp();
        Run("CREATE TABLE t (a INTEGER, b CHAR(5), c INTEGER)");
        Run("INSERT INTO t VALUES (1, 'x', 10)");
        Run("INSERT INTO t VALUES (2, 'y', NULL)");
        Run("INSERT INTO t VALUES (3, NULL, 30)");
        Run("INSERT INTO t VALUES (4, 'x', 40)");
        Run("CREATE TABLE u (k INTEGER, label CHAR(5))");
        Run("INSERT INTO u VALUES (1, 'one')");
        Run("INSERT INTO u VALUES (3, 'three')");
        Run("INSERT INTO u VALUES (5, 'five')");
    }

    // Creates `wide`: id INTEGER, then grp INTEGER when `group_of` is given, then `texts`
    // CHAR(250) columns c1..; row i holds id i, grp group_of(i) (NULL when negative) and in the
    // text of field f "v" followed by i * f. Gives the text columns as ", c1, c2, ...".
    std::string CreateWideTable(int rows, std::uint32_t texts,
                                const std::function<int(int)>& group_of = nullptr) {
        std::string columns;
        std::string definition = group_of ? "CREATE TABLE wide (id INTEGER, grp INTEGER"
                                          : "CREATE TABLE wide (id INTEGER";
        for (std::uint32_t n = 1; n <= texts; ++n) {
            columns += ", c" + std::to_string(n);
            definition += ", c" + std::to_string(n) + " CHAR(250)";
        }
        Run(definition + ")");
        TDataCursor cursor(*directory_);
        cursor.SetTableName("wide");
        cursor.Open();
        std::vector<std::uint8_t> record(cursor.GetRecordSize());
        const std::uint32_t first_text = group_of ? 3 : 2;
        for (int i = 0; i < rows; ++i) {
            cursor.InitNewRecord(record);
            std::array<std::byte, 4> value{};
            StoreInt32(value.data(), i);
            cursor.PutField(1, record, reinterpret_cast<const std::uint8_t*>(value.data()));
            if (group_of) {
                StoreInt32(value.data(), group_of(i));
                cursor.PutField(2, record,
                                group_of(i) < 0
                                    ? nullptr
                                    : reinterpret_cast<const std::uint8_t*>(value.data()));
            }
            for (std::uint32_t field = first_text; field < first_text + texts; ++field) {
                const std::string text = "v" + std::to_string(i * static_cast<int>(field));
                cursor.PutField(field, record, reinterpret_cast<const std::uint8_t*>(text.c_str()));
            }
            cursor.InsertRecord(record, false);
        }
        return columns;
    }
};

struct SelectCase {
    const char* sql;
    Strings rows;
};

TEST_F(SqlSelect, SingleTableRowsConditionsAndOrder) {
    const std::vector<SelectCase> cases = {
        {"SELECT a FROM t", {"1", "2", "3", "4"}},
        {"SELECT a FROM t WHERE c > 15", {"3", "4"}},
        {"SELECT a, b FROM t WHERE b = 'x' ORDER BY a DESC", {"4|x", "1|x"}},
        {"SELECT * FROM t WHERE c IS NULL", {"2|y|<null>"}},
        // This engine's two-valued rule: a comparison with NULL is false, so NOT makes it true.
        {"SELECT a FROM t WHERE NOT (c < 20)", {"2", "3", "4"}},
        {"SELECT a + 1 AS n, UPPER(b) FROM t WHERE a <= 2", {"2|X", "3|Y"}},
        {"SELECT a FROM t WHERE b IN ('y', 'z') OR c BETWEEN 25 AND 35", {"2", "3"}},
        {"SELECT a FROM t WHERE b LIKE 'x%' ORDER BY 1 DESC", {"4", "1"}},
        {"SELECT b, a FROM t ORDER BY b, a", {"<null>|3", "x|1", "x|4", "y|2"}},
        {"SELECT DISTINCT b FROM t", {"<null>", "x", "y"}},
        {"SELECT a FROM t WHERE a > 100", {}},
    };
    for (const SelectCase& c : cases) {
        EXPECT_EQ(Select(c.sql), c.rows) << c.sql;
    }
}

TEST_F(SqlSelect, AggregatesSkipNullsAndEmptyInputs) {
    const std::vector<SelectCase> cases = {
        {"SELECT COUNT(*) FROM t", {"4"}},
        {"SELECT COUNT(*) FROM t WHERE c IS NULL", {"1"}},
        {"SELECT COUNT(c), SUM(c), MIN(c), MAX(c), AVG(c) FROM t", {"3|80|10|40|27"}},
        // AVG takes its argument's type: an integer average is rounded.
        {"SELECT AVG(CAST(c AS FLOAT)) FROM t", {"26.6667"}},
        {"SELECT AVG(c) FROM t WHERE a > 100", {"<null>"}},
        {"SELECT COUNT(c), SUM(c), MAX(c) FROM t WHERE a > 100", {"0|<null>|<null>"}},
        {"SELECT b, COUNT(*) FROM t GROUP BY b", {"<null>|1", "x|2", "y|1"}},
        {"SELECT b, SUM(c) FROM t GROUP BY b HAVING SUM(c) > 20", {"<null>|30", "x|50"}},
        {"SELECT b, COUNT(c) FROM t GROUP BY b ORDER BY 2 DESC, 1", {"x|2", "<null>|1", "y|0"}},
        {"SELECT b, AVG(a) FROM t WHERE a > 1 GROUP BY b", {"<null>|3", "x|4", "y|2"}},
    };
    for (const SelectCase& c : cases) {
        EXPECT_EQ(Select(c.sql), c.rows) << c.sql;
    }
}

// The two zeros of a float compare equal, so grouping and DISTINCT keep them as one value,
// whether the key comes from the source row or from the built result row.
TEST_F(SqlSelect, BothFloatZerosAreOneGroupAndOneDistinctValue) {
    Run("CREATE TABLE z (k INTEGER, f FLOAT)");
    Run("INSERT INTO z VALUES (1, 0.0)");
    Run("INSERT INTO z VALUES (2, -0.0)");
    Run("INSERT INTO z VALUES (3, 1.5)");
    Run("INSERT INTO z VALUES (4, 0.0 * -1.0)");
    const std::vector<SelectCase> cases = {
        {"SELECT f, COUNT(*) FROM z GROUP BY f", {"0|3", "1.5|1"}},
        {"SELECT f, COUNT(*), MAX(k) FROM z WHERE k > 1 GROUP BY f", {"-0|2|4", "1.5|1|3"}},
        {"SELECT DISTINCT f FROM z", {"0", "1.5"}},
        {"SELECT DISTINCT f * 2 FROM z", {"0", "3"}},
        {"SELECT DISTINCT f, k - k FROM z", {"0|0", "1.5|0"}},
        {"SELECT COUNT(*) FROM z WHERE f = 0", {"3"}},
        {"SELECT x.f, COUNT(*) FROM z x, z y WHERE x.k = y.k GROUP BY x.f", {"0|3", "1.5|1"}},
        {"SELECT f * 2 AS g, COUNT(*) FROM z GROUP BY g", {"0|3", "3|1"}},
        {"SELECT f, k - k AS n, COUNT(*) FROM z GROUP BY f, n", {"0|0|3", "1.5|0|1"}},
        {"SELECT f, COUNT(*) FROM z GROUP BY f ORDER BY 2", {"0|3", "1.5|1"}},
    };
    for (const SelectCase& c : cases) {
        Strings rows = Select(c.sql);
        std::sort(rows.begin(), rows.end());
        EXPECT_EQ(rows, c.rows) << c.sql;
    }
}

TEST_F(SqlSelect, JoinsInnerLeftAndRight) {
    const std::vector<SelectCase> cases = {
        {"SELECT t.a, u.label FROM t, u WHERE t.a = u.k", {"1|one", "3|three"}},
        {"SELECT t.a, u.label FROM t JOIN u ON t.a = u.k ORDER BY 1 DESC", {"3|three", "1|one"}},
        {"SELECT t.a, u.label FROM t LEFT JOIN u ON t.a = u.k",
         {"1|one", "2|<null>", "3|three", "4|<null>"}},
        {"SELECT t.a FROM t LEFT OUTER JOIN u ON t.a = u.k WHERE u.k IS NULL", {"2", "4"}},
        // Only a null-rejecting WHERE may narrow the inner side: here a matching row with a
        // non-matching label must drop the whole row, not turn into a null row.
        {"SELECT t.a, u.label FROM t LEFT JOIN u ON t.a = u.k WHERE u.label = 'one' OR "
         "u.label IS NULL",
         {"1|one", "2|<null>", "4|<null>"}},
        {"SELECT u.k, t.a FROM t RIGHT JOIN u ON t.a = u.k", {"1|1", "3|3", "5|<null>"}},
        {"SELECT x.a, y.a FROM t x, t y WHERE x.a + 1 = y.a AND x.c IS NOT NULL", {"1|2", "3|4"}},
    };
    for (const SelectCase& c : cases) {
        EXPECT_EQ(Select(c.sql), c.rows) << c.sql;
    }
}

TEST_F(SqlSelect, SubSelectsAndParameters) {
    EXPECT_EQ(Select("SELECT a FROM t WHERE a IN (SELECT k FROM u)"), (Strings{"1", "3"}));
    EXPECT_EQ(Select("SELECT a FROM t WHERE a NOT IN (SELECT k FROM u)"), (Strings{"2", "4"}));

    TQueryStatement statement(directory_);
    std::size_t offset = 0;
    statement.Prepare("SELECT a FROM t WHERE a IN (SELECT k FROM u WHERE k > ?) AND a < ?", offset);
    std::vector<FieldDescriptor> descriptors(2);
    std::vector<std::byte> record(10);
    for (std::size_t i = 0; i < 2; ++i) {
        descriptors[i][fd::kType] = kTypeInteger;
        descriptors[i][fd::kDataSize] = 4;
        descriptors[i][fd::kOffset] = static_cast<std::uint8_t>(5 * i);
        record[5 * i] = std::byte{1};
    }
    StoreInt32(record.data() + 1, 1);  // the sub-select's marker comes first in the text
    StoreInt32(record.data() + 6, 5);
    statement.SetParams(2, descriptors, record);
    EXPECT_EQ(RowsOf(*statement.Execute()), (Strings{"3"}));
    // Executing again takes the new values.
    StoreInt32(record.data() + 1, 0);
    statement.SetParams(2, descriptors, record);
    EXPECT_EQ(RowsOf(*statement.Execute()), (Strings{"1", "3"}));
}

// IN asks the sub-select's result for a first match only: sub-selects whose rows repeat a
// value, hold NULLs or hold nothing give the rows their values listed out would give, in
// SELECT, UPDATE and DELETE alike.
TEST_F(SqlSelect, InSubSelectsOverRepeatedNullAndMissingValues) {
    Run("CREATE TABLE r (k INTEGER)");
    for (const char* value : {"3", "3", "NULL", "1", "3", "NULL"}) {
        Run(std::string("INSERT INTO r VALUES (") + value + ")");
    }
    const std::vector<SelectCase> cases = {
        {"SELECT a FROM t WHERE a IN (SELECT k FROM r)", {"1", "3"}},
        {"SELECT a FROM t WHERE a NOT IN (SELECT k FROM r)", {"2", "4"}},
        // This engine's NULL = NULL holds for IN as for =.
        {"SELECT a FROM t WHERE c IN (SELECT k FROM r)", {"2"}},
        {"SELECT a FROM t WHERE a IN (SELECT k FROM r WHERE k > 5)", {}},
        {"SELECT a FROM t WHERE a NOT IN (SELECT k FROM r WHERE k > 5)", {"1", "2", "3", "4"}},
        {"SELECT COUNT(*) FROM t WHERE a IN (SELECT k FROM r)", {"2"}},
        {"SELECT a FROM t WHERE a IN (SELECT k FROM r) AND a IN (SELECT k FROM u)", {"1", "3"}},
    };
    for (const SelectCase& c : cases) {
        EXPECT_EQ(Select(c.sql), c.rows) << c.sql;
    }
    EXPECT_EQ(Run("UPDATE t SET c = 0 WHERE a IN (SELECT k FROM r)"), 2);
    EXPECT_EQ(Run("DELETE FROM t WHERE a NOT IN (SELECT k FROM r)"), 2);
    EXPECT_EQ(Rows("t"), (Strings{"1|x|0", "3|<null>|0"}));
}

// HAVING is read against the result columns at planning: what the result cannot answer fails
// in Prepare, before any row is produced. Parameters get their types from their values, so a
// HAVING that compares with one passes Prepare and is checked again when it runs.
TEST_F(SqlSelect, HavingIsCheckedAgainstTheResultWhenPrepared) {
    const std::vector<std::pair<const char*, const char*>> cases = {
        {"SELECT b, SUM(c) FROM t GROUP BY b HAVING MAX(c) > 1",
         "Expression in HAVING clause not found in source columns"},
        {"SELECT b, SUM(c) FROM t GROUP BY b HAVING SUM(a) > 1",
         "Expression in HAVING clause not found in source columns"},
        {"SELECT b, SUM(c) FROM t GROUP BY b HAVING SUM(c)",
         "HAVING clause must be a boolean expression"},
        {"SELECT b FROM t GROUP BY b HAVING z = 1",
         "Invalid column name 'z' or table correlation name '' specified in HAVING clause"},
    };
    for (const auto& [sql, message] : cases) {
        const std::string text = sql;
        EXPECT_EQ(SqlError([&] {
                      TQueryStatement statement(directory_);
                      std::size_t offset = 0;
                      statement.Prepare(text, offset);
                  }),
                  message)
            << sql;
    }

    TQueryStatement statement(directory_);
    std::size_t offset = 0;
    statement.Prepare("SELECT b, SUM(c) FROM t GROUP BY b HAVING SUM(c) > ?", offset);
    std::vector<FieldDescriptor> descriptors(1);
    descriptors[0][fd::kType] = kTypeInteger;
    descriptors[0][fd::kDataSize] = 4;
    std::vector<std::byte> record(5);
    record[0] = std::byte{1};
    StoreInt32(record.data() + 1, 20);
    statement.SetParams(1, descriptors, record);
    EXPECT_EQ(RowsOf(*statement.Execute()), (Strings{"<null>|30", "x|50"}));
    StoreInt32(record.data() + 1, 40);
    statement.SetParams(1, descriptors, record);
    EXPECT_EQ(RowsOf(*statement.Execute()), (Strings{"x|50"}));
}

// The execution time is read from a tick counter of whole milliseconds: a statement reports
// whole ticks, 0 when it ran within one, whatever its kind.
TEST_F(SqlSelect, ExecutionTimeCountsWholeTicks) {
    for (const char* sql : {"SELECT a FROM t", "SELECT b, COUNT(*) FROM t GROUP BY b",
                            "UPDATE t SET c = c WHERE a = 1", "CREATE INDEX byc ON t (c)"}) {
        TQueryStatement statement(directory_);
        std::size_t offset = 0;
        statement.Prepare(sql, offset);
        statement.Execute();
        const double milliseconds = statement.GetExecutionTime() * 1000.0;
        EXPECT_GE(milliseconds, 0.0) << sql;
        EXPECT_NEAR(milliseconds, std::round(milliseconds), 1e-6) << sql;
    }
}

TEST_F(SqlSelect, ResultNamesAndRowLimit) {
    TQueryStatement statement(directory_);
    std::size_t offset = 0;
    statement.Prepare("SELECT a, a, SUM(c) FROM t GROUP BY a", offset);
    TDataCursor& result = *statement.Execute();
    EXPECT_EQ(FieldName(result.GetFieldDesc(1)), "a");
    EXPECT_EQ(FieldName(result.GetFieldDesc(2)), "a_1");
    EXPECT_EQ(FieldName(result.GetFieldDesc(3)), "Sum Of c");
    EXPECT_EQ(Select("SELECT a FROM t", 2).size(), 2u);
    EXPECT_EQ(Select("SELECT COUNT(*) FROM t", 2), (Strings{"4"}));
    EXPECT_EQ(Select("SELECT COUNT(a) FROM t WHERE a > 0", 2), (Strings{"4"}))
        << "a single group is not limited";
    // Rows are counted before grouping: two rows make two groups at most.
    EXPECT_EQ(Select("SELECT a, COUNT(*) FROM t GROUP BY a", 2), (Strings{"1|1", "2|1"}));
}

TEST_F(SqlSelect, IntoTablesAndInsertSelectReopenFromDisk) {
    Run("SELECT a, b INTO \"" + dir_.Path().string() + "/r\" FROM t WHERE a > 2");
    EXPECT_EQ(Rows("r"), (Strings{"3|<null>", "4|x"}));
    Run("CREATE TABLE w (a INTEGER, b CHAR(5))");
    EXPECT_EQ(Run("INSERT INTO w SELECT a, b FROM t WHERE c IS NOT NULL"), 3);
    EXPECT_EQ(Rows("w"), (Strings{"1|x", "3|<null>", "4|x"}));
    EXPECT_EQ(Run("INSERT INTO w (b, a) SELECT label, k FROM u WHERE k = 5"), 1);
    EXPECT_EQ(Rows("w").back(), "5|five");
}

// The result table's shape: each AVG column has a hidden whole-number count column named after
// its own field number; a text takes COUNT but not MIN; INTO an existing table makes it anew
// with the new columns.
TEST_F(SqlSelect, ResultTablesTakeTheirColumnsFromTheResult) {
    {
        TQueryStatement statement(directory_);
        std::size_t offset = 0;
        statement.Prepare("SELECT b, AVG(a), AVG(c) FROM t GROUP BY b", offset);
        TDataCursor& result = *statement.Execute();
        ASSERT_EQ(result.GetFieldCount(), 5u);
        for (std::uint32_t n = 4; n <= 5; ++n) {
            const FieldDescriptor& d = result.GetFieldDesc(n);
            EXPECT_EQ(FieldName(d), "Sys__Avg__Count" + std::to_string(n));
            EXPECT_EQ(FieldType(d), kTypeInteger);
            EXPECT_TRUE(FieldHidden(d));
        }
        EXPECT_EQ(RowsOf(result), (Strings{"<null>|3|30", "x|3|25", "y|2|<null>"}));
    }

    EXPECT_EQ(SqlError([&] { Select("SELECT MIN(b) FROM t"); }),
              "MIN aggregate function must contain a numeric, date, time, or timestamp "
              "expression in source columns");
    EXPECT_EQ(Select("SELECT COUNT(b) FROM t"), (Strings{"3"}));

    const std::string into = "\"" + dir_.Path().string() + "/r\"";
    Run("SELECT a INTO " + into + " FROM t");
    EXPECT_EQ(Rows("r").size(), 4u);
    Run("SELECT b, c INTO " + into + " FROM t WHERE a = 1");
    EXPECT_EQ(Rows("r"), (Strings{"x|10"}));
}

// An encrypted result table takes the statement's password; the session holds it only while
// the statement creates and opens the table, so a later reader must be given it.
TEST_F(SqlSelect, EncryptedResultsKeepTheSessionsPasswordsAsTheyWere) {
    const std::string into = "\"" + dir_.Path().string() + "/sealed\"";
    Run("SELECT a, b INTO " + into + " FROM t WHERE a > 2 ENCRYPTED WITH 'secret'");
    EXPECT_FALSE(session_->HasPassword("secret"));
    OpenSession();
    {
        TDataCursor cursor(*directory_);
        cursor.SetTableName("sealed");
        EXPECT_THROW(cursor.Open(), EStrataEngineError);
    }
    session_->AddPassword("secret");
    {
        TDataCursor cursor(*directory_);
        cursor.SetTableName("sealed");
        cursor.Open();
        EXPECT_TRUE(cursor.IsEncrypted());
        EXPECT_EQ(RowsOf(cursor), (Strings{"3|<null>", "4|x"}));
    }
    session_->AddPassword("kept");
    Run("SELECT a INTO " + into + " FROM t ENCRYPTED WITH 'kept'");
    EXPECT_TRUE(session_->HasPassword("kept")) << "a password the session held stays";
}

// A SELECT ... INTO an existing table whose conditions fail their checks leaves the table as it
// was; one that runs makes it anew.
TEST_F(SqlSelect, IntoAnExistingTableKeepsItWhenTheStatementIsRefused) {
    const std::string into = "\"" + dir_.Path().string() + "/r\"";
    Run("SELECT a, b INTO " + into + " FROM t WHERE a < 3");
    const Strings kept = {"1|x", "2|y"};
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"z = 1",
         "Invalid column name 'z' or table correlation name '' specified in WHERE or "
         "JOIN clause"},
        {"a > NULL",
         "Type mismatch between column 'a' and constant 'NULL' in WHERE or JOIN "
         "clause"},
        {"b", "WHERE or JOIN clause must be a boolean expression"},
    };
    for (const auto& [where, message] : cases) {
        EXPECT_EQ(SqlError([&, where = where] {
                      Run("SELECT a, b INTO " + into + " FROM t WHERE " + where);
                  }),
                  message);
        EXPECT_EQ(Rows("r"), kept) << where;
    }
    EXPECT_EQ(SqlError([&] {
                  Run("SELECT b, SUM(c) INTO " + into + " FROM t GROUP BY b HAVING MAX(c) > 1");
              }),
              "Expression in HAVING clause not found in source columns");
    EXPECT_EQ(Rows("r"), kept);

    // Executed again, the statement refills the table it made the first time.
    TQueryStatement statement(directory_);
    std::size_t offset = 0;
    statement.Prepare("SELECT a INTO " + into + " FROM t WHERE a > 3", offset);
    EXPECT_EQ(RowsOf(*statement.Execute()), (Strings{"4"}));
    EXPECT_EQ(RowsOf(*statement.Execute()), (Strings{"4"}));
}

// A statement may outlive its session, as a fixture holding both may free them in either
// order: its end must not reach into the gone session's tables, and run again it says why not.
TEST_F(SqlSelect, AStatementOutlivingItsSessionEndsSafely) {
    const std::string into = "\"" + dir_.Path().string() + "/r\"";
    const Strings statements = {"SELECT a FROM t WHERE a > 1",
                                "SELECT a, u.label FROM t, u WHERE a = k",
                                "SELECT b, COUNT(*) FROM t GROUP BY b",
                                "SELECT a INTO " + into + " FROM t WHERE a IN (SELECT k FROM u)"};
    for (const std::string& sql : statements) {
        auto statement = std::make_unique<TQueryStatement>(directory_);
        std::size_t offset = 0;
        statement->Prepare(sql, offset);
        EXPECT_NE(statement->Execute(), nullptr) << sql;
        session_.reset();
        EXPECT_EQ(SqlError([&] { statement->Execute(); }), "Statement has no database") << sql;
        statement.reset();
        OpenSession();
    }
    EXPECT_EQ(Rows("t").size(), 4u);
    EXPECT_EQ(Rows("r"), (Strings{"1", "3"}));
}

TEST_F(SqlSelect, IntoASourceTableIsRefused) {
    const std::string same = "\"" + dir_.Path().string() + "/t\"";
    EXPECT_EQ(SqlError([&] { Run("SELECT * INTO " + same + " FROM t"); }),
              "Result table '" + dir_.Path().string() +
                  "/t' specified in INTO clause is also a source table");
    EXPECT_EQ(Rows("t").size(), 4u) << "the source is untouched";
}

TEST_F(SqlSelect, PlanningErrors) {
    const std::vector<std::pair<const char*, const char*>> cases = {
        {"SELECT z FROM t",
         "Invalid column name 'z' or table correlation name '' specified in source columns"},
        {"SELECT q.a FROM t",
         "Invalid column name 'a' or table correlation name 'q' specified in source columns"},
        {"SELECT a, COUNT(*) FROM t",
         "Invalid use of aggregate function(s), the necessary GROUP BY clause is missing"},
        {"SELECT a FROM t HAVING a > 1",
         "A GROUP BY clause must exist in order to use the HAVING clause"},
        {"SELECT a FROM t ORDER BY 5", "Invalid column number '5' specified in ORDER BY clause"},
        {"SELECT a FROM t GROUP BY z",
         "Invalid column name 'z' or table correlation name '' specified in GROUP BY clause"},
        {"SELECT * x FROM t",
         "Invalid use of column correlation name 'x' for '*' specified in source columns"},
        {"SELECT a FROM t RIGHT JOIN u ON t.a = u.k RIGHT JOIN u v ON v.k = t.a",
         "RIGHT JOIN is supported only between two tables"},
        // Planning binds HAVING, then ORDER BY, then GROUP BY: the first of them that fails
        // is the one told.
        {"SELECT a FROM t GROUP BY z ORDER BY y",
         "Invalid column name 'y' or table correlation name '' specified in ORDER BY clause"},
        {"SELECT b, SUM(c) FROM t GROUP BY z HAVING MAX(c) > 1 ORDER BY y",
         "Expression in HAVING clause not found in source columns"},
    };
    for (const auto& [sql, message] : cases) {
        const char* statement = sql;
        EXPECT_EQ(SqlError([&] { Select(statement); }), message) << sql;
    }
    EXPECT_NE(SqlError([&] { Select("SELECT MIN(b) FROM t"); }).find("source columns"),
              std::string::npos);
}

// What a result cannot hold is refused at planning with its own message: more than 1024
// columns in the result, ORDER BY or GROUP BY, a text expression wider than a field, and a
// BLOB column to group by or to compare for DISTINCT.
TEST_F(SqlSelect, PlanningRefusesWhatTheResultCannotHold) {
    Run("CREATE TABLE m (a INTEGER, note BLOB(1, 1), w CHAR(200))");
    std::string columns = "a";
    for (int i = 1; i < 1025; ++i) {
        columns += ", a";
    }
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"SELECT " + columns + " FROM t",
         "Maximum number of columns (1024) in result set exceeded"},
        {"SELECT a FROM t ORDER BY " + columns,
         "Maximum number of columns (1024) in ORDER BY clause exceeded"},
        {"SELECT a FROM t GROUP BY " + columns,
         "Maximum number of columns (1024) in GROUP BY clause exceeded"},
        {"SELECT w + w FROM m",
         "Column expression 'w + w' exceeds the maximum allowable field size"},
        {"SELECT note, COUNT(*) FROM m GROUP BY note",
         "Invalid BLOB column 'note' specified in GROUP BY clause"},
        {"SELECT DISTINCT a, note FROM m",
         "Invalid BLOB column 'note' specified in DISTINCT clause"},
    };
    for (const auto& [sql, message] : cases) {
        EXPECT_EQ(SqlError([&, sql = sql] { Select(sql); }), message) << sql.substr(0, 60);
    }
}

// Where this engine's rules differ from standard SQL: NULL is a value for = and <> (and a
// failed comparison is false, not unknown).
TEST_F(SqlSelect, NullRulesOfThisEngine) {
    const std::vector<SelectCase> cases = {
        {"SELECT a FROM t WHERE c <> 10", {"2", "3", "4"}},
        {"SELECT x.a, y.a FROM t x, t y WHERE x.b = y.b AND x.a < y.a", {"1|4"}},
        {"SELECT x.a FROM t x, t y WHERE x.c = y.c AND x.a = 2 AND y.a = 2", {"2"}},
        {"SELECT a FROM t WHERE NOT (c > 20)", {"1", "2"}},
    };
    for (const SelectCase& c : cases) {
        EXPECT_EQ(Select(c.sql), c.rows) << c.sql;
    }
}

// A memo column in an expression is its text, in conditions, functions, sub-selects and
// changes alike: not the bytes of its reference in the record.
TEST_F(SqlSelect, MemoColumnsAreTheirTextInExpressions) {
    Run("CREATE TABLE notes (id INTEGER, title CHAR(10), body BLOB(1, 1), tail BLOB(1, 1))");
    Run("INSERT INTO notes VALUES (1, 'hello', 'hello', NULL)");
    Run("INSERT INTO notes VALUES (2, 'other', 'world', NULL)");
    Run("INSERT INTO notes (id, title) VALUES (3, 'none')");
    const std::vector<SelectCase> cases = {
        {"SELECT id FROM notes WHERE body = 'hello'", {"1"}},
        {"SELECT id FROM notes WHERE body LIKE 'wor%'", {"2"}},
        {"SELECT id FROM notes WHERE body IS NULL", {"3"}},
        {"SELECT id FROM notes WHERE UPPER(body) = 'WORLD'", {"2"}},
        {"SELECT id, POS('l' IN body), OCCURS('l' IN body) FROM notes WHERE id < 3",
         {"1|3|2", "2|4|1"}},
        {"SELECT id FROM notes WHERE body = title", {"1"}},
        {"SELECT id FROM notes WHERE title IN (SELECT body FROM notes)", {"1"}},
        {"SELECT x.id, y.id FROM notes x, notes y WHERE x.body = y.title AND x.id < 3", {"1|1"}},
    };
    for (const SelectCase& c : cases) {
        EXPECT_EQ(Select(c.sql), c.rows) << c.sql;
    }
    // SET values read the row as it was, also a memo written by an earlier SET of the row.
    EXPECT_EQ(Run("UPDATE notes SET body = 'new', tail = body || '!' WHERE body LIKE '%o%'"), 2);
    EXPECT_EQ(Select("SELECT id FROM notes WHERE tail = 'hello!' AND body = 'new'"),
              (Strings{"1"}));
    EXPECT_EQ(Run("DELETE FROM notes WHERE tail = 'world!'"), 1);
    EXPECT_EQ(Select("SELECT id FROM notes"), (Strings{"1", "3"}));
}

// A string constant keeps every character: a memo takes texts far longer than a name, and
// cutting them at 255 lost the rest without a word.
TEST_F(SqlSelect, LongStringConstantsReachAMemoWhole) {
    Run("CREATE TABLE notes (id INTEGER, title CHAR(20), body BLOB(1, 1))");
    const std::string text = std::string(300, 'x') + "it''s" + std::string(300, 'z');
    Run("INSERT INTO notes VALUES (1, 'a', '" + text + "')");
    const std::string stored = std::string(300, 'x') + "it's" + std::string(300, 'z');
    EXPECT_EQ(Select("SELECT body FROM notes"), (Strings{stored}));
    const std::string other(400, 'y');
    EXPECT_EQ(Run("UPDATE notes SET body = '" + other + "' WHERE body = '" + text + "'"), 1);
    EXPECT_EQ(Select("SELECT body FROM notes"), (Strings{other}));
    EXPECT_EQ(Select("SELECT id FROM notes WHERE body LIKE '" + std::string(399, 'y') + "%'"),
              (Strings{"1"}));
    EXPECT_EQ(Select("SELECT id FROM notes WHERE body = '" + std::string(399, 'y') + "'"),
              (Strings{}));
    // A text column takes such a constant as it takes any text longer than itself.
    const auto put = [&](std::size_t n) {
        Run("UPDATE notes SET title = '" + std::string(n, 'q') + "'");
        return Select("SELECT title FROM notes");
    };
    EXPECT_EQ(put(600), put(250));
}

// A result column whose expression is a memo holds the text in its blob, in a result read
// back from disk and in the rows INSERT ... SELECT copies; the field is only the reference. A
// NULL memo joins with || as an empty text.
TEST_F(SqlSelect, MemoExpressionColumnsWriteTheirTextIntoTheResultBlob) {
    Run("CREATE TABLE notes (id INTEGER, title CHAR(10), body BLOB(1, 1))");
    Run("INSERT INTO notes VALUES (1, 'b', 'hello')");
    Run("INSERT INTO notes VALUES (2, 'a', 'world')");
    Run("INSERT INTO notes (id, title) VALUES (3, 'c')");
    Run("SELECT id, body || '!' AS shout, IF(id = 1 THEN body ELSE title) AS pick INTO \"" +
        dir_.Path().string() + "/loud\" FROM notes ORDER BY id DESC");
    EXPECT_EQ(Select("SELECT id FROM loud WHERE shout = 'world!'"), (Strings{"2"}));
    EXPECT_EQ(Select("SELECT id FROM loud WHERE shout = '!'"), (Strings{"3"}));
    EXPECT_EQ(Select("SELECT id FROM loud WHERE pick = 'hello' OR pick = 'a'"),
              (Strings{"2", "1"}));
    Run("CREATE TABLE copies (id INTEGER, body BLOB(1, 1))");
    EXPECT_EQ(Run("INSERT INTO copies SELECT id, UPPER(body) FROM notes"), 3);
    EXPECT_EQ(Select("SELECT id FROM copies WHERE body = 'WORLD' OR body IS NULL"),
              (Strings{"2", "3"}));
}

// A live result is the table's own cursor in the order of its index, under the table's
// language; a canned result is sorted under the query's LANGUAGE, and without one by bytes. So
// a German table's index puts an accented E with the e's, while the canned result puts it after
// every plain letter unless the query asks for German too.
TEST_F(SqlSelect, LiveOrderFollowsTheTableLanguageCannedTheQueryLanguage) {
    Run("CREATE TABLE a (id INTEGER, q CHAR(8), LANGUAGE 'German (Standard)')");
    Run("CREATE INDEX aq ON a (q)");
    Run("INSERT INTO a VALUES (1, 'ss')");
    Run("INSERT INTO a VALUES (2, '\xC9"
        "b')");
    Run("INSERT INTO a VALUES (3, 'b')");
    Run("INSERT INTO a VALUES (4, 'ae')");
    const std::string accented =
        "\xC9"
        "b";
    const Strings german = {"ae", "b", accented, "ss"};
    const Strings bytes = {"ae", "b", "ss", accented};
    EXPECT_EQ(Select("SELECT q FROM a ORDER BY q", -1, true), german);
    EXPECT_EQ(Select("SELECT q FROM a ORDER BY q"), bytes);
    EXPECT_EQ(Select("SELECT q FROM a ORDER BY q LANGUAGE 'German (Standard)'"), german);
    // An ORDER BY the index does not answer makes the result canned, sorted as without it.
    EXPECT_EQ(Select("SELECT q FROM a ORDER BY q DESC", -1, true),
              (Strings{accented, "ss", "b", "ae"}));
}

// A table made without a LANGUAGE (a canned result, INTO, CREATE TABLE) takes the session's
// language and sort, as if the statement had named them; one that names its own keeps it, and
// ALTER TABLE without a LANGUAGE keeps the table's. Under a session without a language a result
// sorts by bytes (the case above).
TEST_F(SqlSelect, TablesWithoutALanguageTakeTheSessions) {
    constexpr std::uint16_t kNewZealand = 5129;
    session_->SetLanguageID(kNewZealand);
    Run("CREATE TABLE w (id INTEGER, q CHAR(8), n INTEGER)");
    Run("CREATE TABLE g (id INTEGER, q CHAR(8), LANGUAGE 'German (Standard)')");
    const std::vector<std::pair<int, std::string>> texts = {{1, "resume"},
                                                            {2, "R\xE9sum\xE9"},
                                                            {3, "Zeta"},
                                                            {4, "apple"},
                                                            {5, "Apple"},
                                                            {6, "r\xE9sum\xE9"},
                                                            {7, "zeta"},
                                                            {8,
                                                             "\xC9"
                                                             "clair"}};
    for (const auto& [id, text] : texts) {
        Run("INSERT INTO w VALUES (" + std::to_string(id) + ", '" + text + "', " +
            std::to_string(id % 3) + ")");
    }
    const auto language_of = [&](const std::string& table) {
        TDataCursor cursor(*directory_);
        cursor.SetTableName(table);
        cursor.Open();
        return std::pair(cursor.GetLanguageID(), cursor.GetSortID());
    };
    EXPECT_EQ(language_of("w"), std::pair(kNewZealand, std::uint16_t{0}));
    EXPECT_EQ(language_of("g").first, 0x0407);
    Run("ALTER TABLE g ADD c INTEGER");
    EXPECT_EQ(language_of("g").first, 0x0407) << "ALTER without LANGUAGE keeps the table's";

    const std::string named = " LANGUAGE 'English (New Zealand)'";
    for (const std::string sql :
         {"SELECT id, q FROM w ORDER BY q, id", "SELECT id, q FROM w ORDER BY q DESC, id",
          "SELECT q, COUNT(*) FROM w GROUP BY q", "SELECT DISTINCT q FROM w",
          "SELECT n, q FROM w ORDER BY n, q NOCASE",
          "SELECT q, SUM(n) FROM w GROUP BY q ORDER BY 2, 1"}) {
        EXPECT_EQ(Select(sql), Select(sql + named)) << sql;
    }
    // The session's collation, not the bytes: accents and case aside before the bytes count.
    const Strings ordered = Select("SELECT q, id FROM w ORDER BY q, id");
    EXPECT_EQ(ordered.front(), "apple|4");
    EXPECT_EQ(ordered.back(), "Zeta|3");
    // Groups are those of the collation: texts apart only by accents are one group, texts apart
    // by case are not.
    EXPECT_EQ(Select("SELECT q, COUNT(*) FROM w GROUP BY q"),
              (Strings{"apple|1", "Apple|1",
                       "\xC9"
                       "clair|1",
                       "resume|2", "R\xE9sum\xE9|1", "zeta|1", "Zeta|1"}));
    // A result's table is made in the session's language, also one named by INTO.
    {
        TQueryStatement statement(directory_);
        std::size_t offset = 0;
        statement.Prepare("SELECT q FROM w ORDER BY q", offset);
        TDataCursor* result = statement.Execute();
        ASSERT_NE(result, nullptr);
        EXPECT_EQ(result->GetLanguageID(), kNewZealand);
    }
    Run("SELECT id, q INTO \"" + dir_.Path().string() + "/sorted\" FROM w ORDER BY q");
    EXPECT_EQ(language_of("sorted").first, kNewZealand);
    // A language the query names wins over the session's.
    Run("SELECT id, q INTO \"" + dir_.Path().string() +
        "/german\" FROM w LANGUAGE 'German (Standard)'");
    EXPECT_EQ(language_of("german").first, 0x0407);
}

// UPPER and LOWER of a column with an index that ignores case are narrowed through that index:
// letters beyond ASCII whose cases map unevenly (y and s with diaeresis and caron, micro sign,
// sharp s) give the rows the same comparison of an unindexed twin column gives, in SELECT,
// UPDATE and DELETE.
TEST_F(SqlSelect, CaseFunctionsThroughAnIndexIgnoringCaseFindWhatAScanFinds) {
    Run("CREATE TABLE cf (id INTEGER, a CHAR(6), b CHAR(6), n INTEGER)");
    Run("CREATE NOCASE INDEX cfa ON cf (a)");
    const std::vector<std::string> letters = {"\xFF", "\x9F", "\x9A", "\x8A", "\xE9", "\xC9",
                                              "\xB5", "\xDF", "e",    "E",    "s",    "S"};
    int id = 0;
    for (const std::string& x : letters) {
        for (const std::string& y : {std::string("e"), std::string("\xC9"), std::string("\x9A")}) {
            ++id;
            Run("INSERT INTO cf VALUES (" + std::to_string(id) + ", '" + x + y + "', '" + x + y +
                "', 0)");
        }
    }
    for (const std::string function : {"UPPER", "LOWER"}) {
        for (const std::string& x : letters) {
            for (const std::string& tail : {std::string("E"), std::string("e"), std::string("%"),
                                            std::string("\xC9"), std::string("\xE9")}) {
                const std::string op = tail == "%" ? " LIKE '" : " = '";
                const std::string indexed =
                    "SELECT id FROM cf WHERE " + function + "(a)" + op + x + tail + "'";
                const std::string scanned =
                    "SELECT id FROM cf WHERE " + function + "(b)" + op + x + tail + "'";
                EXPECT_EQ(Select(indexed), Select(scanned)) << indexed;
            }
        }
    }
    const auto changed = [&](const std::string& column) {
        return Run("UPDATE cf SET n = n + 1 WHERE UPPER(" + column + ") = '\x9F\xC9'") * 100 +
               Run("DELETE FROM cf WHERE LOWER(" + column + ") LIKE '\x9A%'");
    };
    // Both cases of y with diaeresis before E acute; both cases of s with caron go first.
    EXPECT_EQ(changed("a"), 200 + 6);
    EXPECT_EQ(Select("SELECT COUNT(*) FROM cf WHERE n = 1"), (Strings{"2"}));
    EXPECT_EQ(changed("b"), 200 + 0);
    EXPECT_EQ(Select("SELECT COUNT(*) FROM cf WHERE n = 2"), (Strings{"2"}));
}

// A memo in a result row arrives as its text however the row is kept before it is written:
// grouped, sorted, with duplicates removed, by way of a sub-select or into a named table.
TEST_F(SqlSelect, MemoTextSurvivesGroupingSortingAndInto) {
    Run("CREATE TABLE notes (id INTEGER, s CHAR(4), m BLOB(1, 1))");
    Run("INSERT INTO notes VALUES (1, 'a', 'first a')");
    Run("INSERT INTO notes VALUES (2, 'b', 'only b')");
    Run("INSERT INTO notes VALUES (3, 'a', NULL)");
    Run("INSERT INTO notes VALUES (4, 'c', 'c one')");
    Run("INSERT INTO notes VALUES (5, 'c', 'c two')");
    Run("INSERT INTO notes VALUES (6, 'd', NULL)");
    const std::vector<SelectCase> cases = {
        // A group's plain column keeps the last non-null value it met.
        {"SELECT s, m FROM notes GROUP BY s", {"a|first a", "b|only b", "c|c two", "d|<null>"}},
        {"SELECT s, m, COUNT(*) FROM notes GROUP BY s ORDER BY s DESC",
         {"d|<null>|1", "c|c two|2", "b|only b|1", "a|first a|2"}},
        {"SELECT s, COUNT(m), m FROM notes GROUP BY s HAVING COUNT(m) > 0",
         {"a|1|first a", "b|1|only b", "c|2|c two"}},
        {"SELECT s, m FROM notes GROUP BY s HAVING m LIKE '%o%'", {"b|only b", "c|c two"}},
        // A NULL memo joins with || as an empty text: a non-null value that the group keeps.
        {"SELECT s, m || '!' FROM notes GROUP BY s", {"a|!", "b|only b!", "c|c two!", "d|!"}},
        {"SELECT id, s, m FROM notes ORDER BY s DESC, id",
         {"6|d|<null>", "4|c|c one", "5|c|c two", "2|b|only b", "1|a|first a", "3|a|<null>"}},
        {"SELECT id, m FROM notes WHERE id IN (SELECT id FROM notes WHERE m LIKE 'c%') ORDER BY "
         "id DESC",
         {"5|c two", "4|c one"}},
        {"SELECT DISTINCT s, UPPER(s) FROM notes WHERE m IS NOT NULL", {"a|A", "b|B", "c|C"}},
    };
    for (const SelectCase& c : cases) {
        Strings rows;
        EXPECT_EQ(sqltest::SqlError([&] { rows = Select(c.sql); }), "") << c.sql;
        EXPECT_EQ(rows, c.rows) << c.sql;
    }
    EXPECT_EQ(Select("SELECT s, m FROM notes GROUP BY s", 3), (Strings{"a|first a", "b|only b"}))
        << "MaxRowCount stops production at the third row";
    const std::string folder = dir_.Path().string();
    Run("SELECT s, m INTO \"" + folder + "/grouped\" FROM notes GROUP BY s ORDER BY s DESC");
    Run("SELECT id, m INTO \"" + folder +
        "/sorted\" FROM notes WHERE m IS NOT NULL ORDER BY id "
        "DESC");
    EXPECT_EQ(Rows("grouped"), (Strings{"d|<null>", "c|c two", "b|only b", "a|first a"}));
    EXPECT_EQ(Rows("sorted"), (Strings{"5|c two", "4|c one", "2|only b", "1|first a"}));
    Run("SELECT s, m, COUNT(m) INTO \"" + folder +
        "/kept\" FROM notes GROUP BY s HAVING COUNT(m) = 1");
    EXPECT_EQ(Rows("kept"), (Strings{"a|first a|1", "b|only b|1"}));
    Run("CREATE TABLE copies (s CHAR(4), m BLOB(1, 1))");
    EXPECT_EQ(Run("INSERT INTO copies SELECT s, m FROM notes GROUP BY s"), 4);
    EXPECT_EQ(Select("SELECT s, m FROM copies WHERE m LIKE '%o%'"),
              (Strings{"b|only b", "c|c two"}));
    // Memos take no part in a row's identity or in MIN and MAX.
    const std::vector<std::pair<std::string, std::string>> refused = {
        {"SELECT DISTINCT s, m FROM notes", "Invalid BLOB column 'm' specified in DISTINCT clause"},
        {"SELECT m FROM notes GROUP BY m", "Invalid BLOB column 'm' specified in GROUP BY clause"},
        {"SELECT MAX(m) FROM notes",
         "MAX aggregate function must contain a numeric, date, time, "
         "or timestamp expression in source columns"},
    };
    for (const auto& [sql, message] : refused) {
        EXPECT_EQ(sqltest::SqlError([&, sql = sql] { Select(sql); }), message) << sql;
    }
    // Verification writes only its opening and closing lines for a sound table.
    for (const char* table : {"grouped", "sorted", "kept", "copies"}) {
        OpenSession();
        TDataCursor cursor(*directory_);
        cursor.SetTableName(table);
        cursor.SetExclusive(true);
        std::vector<std::string> lines;
        RepairTable(cursor, true, 1, {}, [&](std::string_view line) { lines.emplace_back(line); });
        EXPECT_EQ(lines.size(), 2u) << table << ": " << (lines.size() > 1 ? lines[1] : "");
    }
}

// ORDER BY a memo sorts by the text, not by where its blob was stored: NOCASE and DESC as for
// a text column, the query's language, ties in the order the rows came, a memo without text
// first, the rows' other memos kept with them, into a named table that stays sound.
TEST_F(SqlSelect, OrderByMemoSortsByItsText) {
    Run("CREATE TABLE notes (id INTEGER, m BLOB(1, 1), extra BLOB(1, 1), c CHAR(8))");
    const std::string accented = "\xC9t\xE9";
    const std::vector<std::pair<int, std::string>> texts = {
        {1, "beta"}, {2, "Beta"}, {3, "alpha"}, {4, ""}, {5, accented}, {6, "ETA"}, {7, "beta"}};
    for (const auto& [id, text] : texts) {
        const std::string memo = text.empty() ? "NULL" : "'" + text + "'";
        Run("INSERT INTO notes VALUES (" + std::to_string(id) + ", " + memo + ", '" +
            std::to_string(id * 11) + "', " + memo + ")");
    }
    const Strings bytes = {"4|<null>|44",          "2|Beta|22", "6|ETA|66",
                           "3|alpha|33",           "1|beta|11", "7|beta|77",
                           "5|" + accented + "|55"};
    EXPECT_EQ(Select("SELECT id, m, extra FROM notes ORDER BY m"), bytes);
    EXPECT_EQ(Select("SELECT id, c, extra FROM notes ORDER BY c"), bytes);
    EXPECT_EQ(Select("SELECT id, m, extra FROM notes ORDER BY 2 DESC, id DESC"),
              (Strings{"5|" + accented + "|55", "7|beta|77", "1|beta|11", "3|alpha|33", "6|ETA|66",
                       "2|Beta|22", "4|<null>|44"}));
    // The ids of a result whose first column is id.
    const auto ids = [&](const std::string& sql, std::int32_t max_rows = -1) {
        Strings rows = Select(sql, max_rows);
        for (std::string& row : rows) {
            row = row.substr(0, row.find('|'));
        }
        return rows;
    };
    EXPECT_EQ(ids("SELECT id, m FROM notes ORDER BY m NOCASE"),
              (Strings{"4", "3", "1", "2", "7", "6", "5"}));
    // A memo sorts as a text column of the same values, under every option and language.
    for (const std::string tail :
         {"DESC NOCASE", "NOCASE LANGUAGE 'German (Standard)'", "LANGUAGE 'German (Standard)'",
          "DESC LANGUAGE 'German (Standard)'", "DESC, id DESC"}) {
        EXPECT_EQ(ids("SELECT id, m FROM notes ORDER BY m " + tail),
                  ids("SELECT id, c FROM notes ORDER BY c " + tail))
            << tail;
    }
    // German puts the accented E with the e's.
    EXPECT_EQ(ids("SELECT id, m FROM notes ORDER BY m, id LANGUAGE 'German (Standard)'"),
              (Strings{"4", "3", "1", "7", "2", "6", "5"}));
    // MaxRowCount counts rows before the sort.
    EXPECT_EQ(ids("SELECT id, m FROM notes ORDER BY m", 3), (Strings{"2", "3", "1"}));
    const std::string folder = dir_.Path().string();
    Run("SELECT m, id, extra INTO \"" + folder + "/ordered\" FROM notes WHERE id > 1 ORDER BY m");
    EXPECT_EQ(Rows("ordered"), (Strings{"<null>|4|44", "Beta|2|22", "ETA|6|66", "alpha|3|33",
                                        "beta|7|77", accented + "|5|55"}));
    OpenSession();
    TDataCursor cursor(*directory_);
    cursor.SetTableName("ordered");
    cursor.SetExclusive(true);
    std::vector<std::string> lines;
    RepairTable(cursor, true, 1, {}, [&](std::string_view line) { lines.emplace_back(line); });
    EXPECT_EQ(lines.size(), 2u) << (lines.size() > 1 ? lines[1] : "");
    // Memos still take no part in a row's identity.
    EXPECT_EQ(sqltest::SqlError([&] { Select("SELECT DISTINCT m FROM notes ORDER BY m"); }),
              "Invalid BLOB column 'm' specified in DISTINCT clause");
}

// Inner tables without an index are read once and their rows found by the join value: every
// pair the per-row rules join must still meet, with duplicates, case, both float zeros, NULL =
// NULL, and a LEFT join's null rows.
TEST_F(SqlSelect, JoinsWithoutIndexesFindEveryMatchingPair) {
    Run("CREATE TABLE p (k INTEGER, s CHAR(5), f FLOAT)");
    Run("INSERT INTO p VALUES (1, 'Ab', 0.0)");
    Run("INSERT INTO p VALUES (2, 'ab', 1.5)");
    Run("INSERT INTO p VALUES (NULL, NULL, NULL)");
    Run("INSERT INTO p VALUES (2, 'Ab', 2.5)");
    Run("CREATE TABLE q (k INTEGER, s CHAR(5), f FLOAT)");
    Run("INSERT INTO q VALUES (2, 'Ab', -0.0)");
    Run("INSERT INTO q VALUES (NULL, 'ab', 1.5)");
    Run("INSERT INTO q VALUES (1, NULL, 0.0)");
    const std::vector<SelectCase> cases = {
        {"SELECT p.k, q.s FROM p, q WHERE p.k = q.k", {"1|<null>", "2|Ab", "2|Ab", "<null>|ab"}},
        {"SELECT p.k, q.k FROM p JOIN q ON p.s = q.s", {"1|2", "2|2", "2|<null>", "<null>|1"}},
        {"SELECT p.k, q.k FROM p, q WHERE p.f = q.f", {"1|1", "1|2", "2|<null>"}},
        {"SELECT p.k, q.k FROM p LEFT JOIN q ON p.s = q.s AND q.k > 1",
         {"1|2", "2|2", "2|<null>", "<null>|<null>"}},
        {"SELECT q.k, p.k FROM q, p WHERE q.k = p.k AND p.s = 'Ab'", {"1|1", "2|2"}},
    };
    for (const SelectCase& c : cases) {
        Strings rows = Select(c.sql);
        std::sort(rows.begin(), rows.end());
        EXPECT_EQ(rows, c.rows) << c.sql;
    }
}

// Rows compare under the first table's language and sort, whatever indexes the other tables
// have: a filter on a table of another language, or an index lookup of a join's inner rows
// there, would answer under that table's own collation and so keep other rows than the row
// check. Each statement gives the same rows before and after the indexes are made.
TEST_F(SqlSelect, TablesOfAnotherLanguageGiveTheSameRowsWithAndWithoutIndexes) {
    Run("CREATE TABLE plain (id INTEGER, s CHAR(8))");
    Run("CREATE TABLE german (id INTEGER, s CHAR(8), LANGUAGE 'German (Standard)')");
    for (const char* sql :
         {"INSERT INTO plain VALUES (1, 'cafe')", "INSERT INTO plain VALUES (2, 'Cafe')",
          "INSERT INTO plain VALUES (3, 'stra\xDF"
          "e')",
          "INSERT INTO german VALUES (1, 'caf\xE9')", "INSERT INTO german VALUES (2, 'cafe')",
          "INSERT INTO german VALUES (3, 'strasse')"}) {
        Run(sql);
    }
    const std::vector<SelectCase> cases = {
        // Under German an accented letter equals the plain one, a sharp s equals ss and a
        // capital sorts after its small letter; in byte order none of this holds.
        {"SELECT g.id, p.id FROM german g, plain p WHERE g.s = p.s NOJOINOPTIMIZE",
         {"1|1", "2|1", "3|3"}},
        {"SELECT g.id, p.id FROM german g LEFT JOIN plain p ON g.s = p.s", {"1|1", "2|1", "3|3"}},
        {"SELECT g.id, p.id FROM german g, plain p WHERE g.id = p.id AND p.s = 'caf\xE9' "
         "NOJOINOPTIMIZE",
         {"1|1"}},
        {"SELECT g.id, p.id FROM german g, plain p WHERE g.id = p.id AND p.s > 'cafe' "
         "NOJOINOPTIMIZE",
         {"2|2", "3|3"}},
        {"SELECT p.id, g.id FROM plain p, german g WHERE p.s = g.s NOJOINOPTIMIZE", {"1|2"}},
        {"SELECT p.id, g.id FROM plain p, german g WHERE p.id = g.id AND g.s = 'cafe' "
         "NOJOINOPTIMIZE",
         {"2|2"}},
    };
    for (const bool indexed : {false, true}) {
        if (indexed) {
            Run("CREATE INDEX ps ON plain (s)");
            Run("CREATE INDEX gs ON german (s)");
            Run("CREATE INDEX pi ON plain (id)");
            Run("CREATE INDEX gi ON german (id)");
        }
        for (const SelectCase& c : cases) {
            Strings rows = Select(c.sql);
            std::sort(rows.begin(), rows.end());
            EXPECT_EQ(rows, c.rows) << c.sql << (indexed ? " with indexes" : " without indexes");
        }
    }
}

// A result table with a language sorts its groups by that language's comparison, with case:
// texts it takes as equal (accents aside, a sharp s as ss) make one group, which shows the
// first row's text, as DISTINCT keeps one of them. Without a language the bytes decide.
TEST_F(SqlSelect, GroupsOfAResultWithALanguageFollowItsComparison) {
    Run("CREATE TABLE g (id INTEGER, s CHAR(8), p INTEGER)");
    const char* const texts[] = {"cafe",
                                 "caf\xE9",
                                 "Cafe",
                                 ("stra\xDF"
                                  "e"),
                                 "strasse",
                                 "cafe"};
    for (int i = 0; i < 6; ++i) {
        Run("INSERT INTO g VALUES (" + std::to_string(i + 1) + ", '" + texts[i] + "', " +
            std::to_string((i + 1) % 2) + ")");
    }
    const std::string german = " LANGUAGE 'German (Standard)'";
    const std::vector<std::pair<std::string, Strings>> cases = {
        {"SELECT s, COUNT(*), MAX(id) FROM g GROUP BY s" + german,
         {"cafe|3|6", "Cafe|1|3",
          "stra\xDF"
          "e|2|5"}},
        // Grouped rows built as rows before they meet their group.
        {"SELECT s || '', COUNT(*) FROM g GROUP BY 1" + german,
         {"cafe|3", "Cafe|1",
          "stra\xDF"
          "e|2"}},
        {"SELECT s, p, SUM(id) FROM g GROUP BY s, p" + german,
         {"caf\xE9|0|8", "cafe|1|1", "Cafe|1|3",
          "stra\xDF"
          "e|0|4",
          "strasse|1|5"}},
        {"SELECT s, COUNT(*), MAX(id) FROM g GROUP BY s HAVING MAX(id) > 4" + german,
         {"cafe|3|6",
          "stra\xDF"
          "e|2|5"}},
        {"SELECT s, COUNT(*) FROM g GROUP BY s",
         {"Cafe|1", "cafe|2", "caf\xE9|1", "strasse|1",
          "stra\xDF"
          "e|1"}},
    };
    for (const auto& [sql, rows] : cases) {
        EXPECT_EQ(Select(sql), rows) << sql;
    }
}

// A held inner table keeps of each row only the bytes the statement reads: fields at both ends
// of a wide record, the auto-increment ID in the record's header, fields read only by a row
// check, an expression or the next table's probe, and a LEFT join's ON condition. Rows come in
// the outer table's order, each outer row's partners in the inner table's read order.
TEST_F(SqlSelect, HeldInnerRowsGiveEveryFieldTheStatementReads) {
    Run("CREATE TABLE w (id AUTOINC, a INTEGER, pad CHAR(100), s CHAR(10), gap CHAR(200), "
        "n INTEGER, last CHAR(5))");
    Run("INSERT INTO w (a, pad, s, n, last) VALUES (10, 'q', 'p', 1, 'L1')");
    Run("INSERT INTO w (a, pad, s, n, last) VALUES (20, NULL, 'r', 2, 'L2')");
    Run("INSERT INTO w (a, pad, s, n, last) VALUES (30, 'q', 'p', 1, NULL)");
    Run("INSERT INTO w (a, pad, s, n, last) VALUES (40, 'q', 'p', 3, 'L4')");
    Run("INSERT INTO w (a, pad, s, n, last) VALUES (50, NULL, NULL, NULL, 'L5')");
    Run("CREATE TABLE v (k INTEGER, tag CHAR(5))");
    Run("INSERT INTO v VALUES (1, 'a')");
    Run("INSERT INTO v VALUES (2, 'b')");
    Run("INSERT INTO v VALUES (1, 'c')");
    Run("CREATE TABLE x (k INTEGER, z CHAR(5))");
    for (const char* row : {"(10, 'x10')", "(30, 'x30')", "(20, 'x20')", "(99, 'x99')"}) {
        Run(std::string("INSERT INTO x VALUES ") + row);
    }
    const std::vector<SelectCase> cases = {
        {"SELECT v.tag, w.last FROM v, w WHERE v.k = w.n",
         {"a|L1", "a|<null>", "b|L2", "c|L1", "c|<null>"}},
        {"SELECT w.last, v.tag, w.id FROM v JOIN w ON v.k = w.n",
         {"L1|a|1", "<null>|a|3", "L2|b|2", "L1|c|1", "<null>|c|3"}},
        {"SELECT v.tag, w.a + 1 FROM v, w WHERE v.k = w.n AND w.s = 'p'",
         {"a|11", "a|31", "c|11", "c|31"}},
        {"SELECT v.tag, x.z FROM v, w, x WHERE v.k = w.n AND w.a = x.k",
         {"a|x10", "a|x30", "b|x20", "c|x10", "c|x30"}},
        {"SELECT v.tag, w.last FROM v LEFT JOIN w ON v.k = w.n AND w.pad = 'q'",
         {"a|L1", "a|<null>", "b|<null>", "c|L1", "c|<null>"}},
        {"SELECT v.tag, w.* FROM v, w WHERE v.k = w.n AND w.a > 20",
         {"a|3|30|q|p|<null>|1|<null>", "c|3|30|q|p|<null>|1|<null>"}},
    };
    for (const SelectCase& c : cases) {
        EXPECT_EQ(Select(c.sql), c.rows) << c.sql;
    }
}

// The filters an executed statement left on each of its source tables' cursors.
std::vector<std::size_t> FiltersPerSource(const TQueryStatement& statement) {
    std::vector<std::size_t> counts;
    for (const auto& source : statement.MainQuery()->SourceTables) {
        counts.push_back(source->Table->cursor->FilterCount());
    }
    return counts;
}

// One-table WHERE parts that an index answers restrict their table's cursor before the loops;
// the rest stay row checks. On the inner side of a LEFT join only a part that rejects the null
// row may narrow the table. An inner loop's table is further narrowed per outer row by an
// equality with the outer rows (from WHERE, or for a LEFT join from its ON condition) that an
// index answers; that probe is one more filter on the table.
TEST_F(SqlSelect, IndexedConditionsBecomeCursorFilters) {
    Run("CREATE INDEX ta ON t (a)");
    Run("CREATE INDEX uk ON u (k)");
    Run("CREATE INDEX ulabel ON u (label)");
    struct FilterCase {
        const char* sql;
        Strings rows;
        std::vector<std::size_t> filters;
    };
    const std::vector<FilterCase> cases = {
        {"SELECT a FROM t WHERE a = 3", {"3"}, {1}},
        {"SELECT a FROM t WHERE a >= 2 AND c > 15", {"3", "4"}, {1}},
        // No index on c: a row check, no filter.
        {"SELECT a FROM t WHERE c > 15", {"3", "4"}, {0}},
        // Negations answer NULL differently in a filter, so they stay row checks.
        {"SELECT a FROM t WHERE NOT (a < 3)", {"3", "4"}, {0}},
        // Joined tables: the filtered u (two rows) drives, and each of its rows narrows t
        // through t's index on a, a second filter.
        {"SELECT t.a, u.label FROM t, u WHERE t.a = u.k AND u.k > 1", {"3|three"}, {1, 1}},
        {"SELECT t.a, u.label FROM t JOIN u ON t.a = u.k WHERE t.a < 3", {"1|one"}, {1, 1}},
        // No index answers the LIKE: as a part about the driving u alone it is still a
        // filter, read once instead of after every join.
        {"SELECT t.a, u.label FROM t, u WHERE t.a = u.k AND u.label LIKE '%e'",
         {"1|one", "3|three"},
         {1, 1}},
        // Without join optimization t drives and u, filtered, is probed through its index.
        {"SELECT t.a, u.label FROM t, u WHERE t.a = u.k AND u.k > 1 NOJOINOPTIMIZE",
         {"3|three"},
         {0, 2}},
        // Null-rejecting: the inner side is narrowed, and the row check stays for the outer
        // rows that then meet no inner row.
        {"SELECT t.a, u.label FROM t LEFT JOIN u ON t.a = u.k WHERE u.label = 'three'",
         {"3|three"},
         {0, 2}},
        // Not null-rejecting: narrowing u would turn t's row 1 into a null row that passes.
        {"SELECT t.a, u.label FROM t LEFT JOIN u ON t.a = u.k WHERE u.label = 'three' OR "
         "u.label IS NULL",
         {"2|<null>", "3|three", "4|<null>"},
         {0, 1}},
        {"SELECT t.a FROM t LEFT JOIN u ON t.a = u.k WHERE u.k IS NULL", {"2", "4"}, {0, 1}},
        // An ON part about the inner table chooses the inner rows and keeps every outer row.
        {"SELECT t.a, u.label FROM t LEFT JOIN u ON t.a = u.k AND u.k > 1",
         {"1|<null>", "2|<null>", "3|three", "4|<null>"},
         {0, 2}},
        // COUNT(*) over one table counts the filtered cursor, indexed or not.
        {"SELECT COUNT(*) FROM t WHERE c > 15 AND b = 'x'", {"1"}, {1}},
    };
    for (const FilterCase& c : cases) {
        TQueryStatement statement(directory_);
        std::size_t offset = 0;
        statement.Prepare(c.sql, offset);
        TDataCursor* result = statement.Execute();
        ASSERT_NE(result, nullptr) << c.sql;
        Strings rows = RowsOf(*result);
        std::sort(rows.begin(), rows.end());
        EXPECT_EQ(rows, c.rows) << c.sql;
        EXPECT_EQ(FiltersPerSource(statement), c.filters) << c.sql;
    }
}

// A case-sensitive equality or LIKE prefix on a column whose only index ignores case: the
// index narrows the records (one filter), each then checked with case, deleted ones left out;
// a count checks through the filter, DISTINCT through the rows it reads.
TEST_F(SqlSelect, CaseSensitiveComparisonsOverACaseInsensitiveIndex) {
    Run("CREATE NOCASE INDEX tb ON t (b)");
    Run("INSERT INTO t VALUES (5, 'X', 50)");
    Run("INSERT INTO t VALUES (6, 'xY', 60)");
    Run("INSERT INTO t VALUES (7, 'xy', 70)");
    Run("DELETE FROM t WHERE a = 4");
    const std::vector<SelectCase> cases = {
        {"SELECT a FROM t WHERE b LIKE 'x%'", {"1", "6", "7"}},
        {"SELECT a FROM t WHERE b LIKE 'xy%'", {"7"}},
        {"SELECT a FROM t WHERE b LIKE 'XY%'", {}},
        {"SELECT a FROM t WHERE b = 'X'", {"5"}},
        {"SELECT COUNT(*) FROM t WHERE b LIKE 'x%'", {"3"}},
        {"SELECT DISTINCT b FROM t WHERE b LIKE 'x%'", {"x", "xY", "xy"}},
        {"SELECT DISTINCT b FROM t WHERE b = 'X'", {"X"}},
    };
    for (const SelectCase& c : cases) {
        TQueryStatement statement(directory_);
        std::size_t offset = 0;
        statement.Prepare(c.sql, offset);
        TDataCursor* result = statement.Execute();
        ASSERT_NE(result, nullptr) << c.sql;
        Strings rows = RowsOf(*result);
        std::sort(rows.begin(), rows.end());
        EXPECT_EQ(rows, c.rows) << c.sql;
        EXPECT_EQ(FiltersPerSource(statement), (std::vector<std::size_t>{1})) << c.sql;
    }
}

// A run of "%" that ends a LIKE pattern matches nothing only as one "%": x matches x% but not
// x%%, which needs a character after the x, through a live result, a canned one, a count and
// a change alike, and with an index on the column or none.
TEST_F(SqlSelect, TrailingPercentRunsOfLikePatterns) {
    Run("INSERT INTO t VALUES (5, 'xy', 50)");
    const std::vector<SelectCase> cases = {
        {"SELECT a FROM t WHERE b LIKE 'x%'", {"1", "4", "5"}},
        {"SELECT a FROM t WHERE b LIKE 'x%%'", {"5"}},
        {"SELECT a FROM t WHERE b LIKE 'x%%%'", {"5"}},
        {"SELECT a FROM t WHERE b LIKE '%%'", {"1", "2", "4", "5"}},
        {"SELECT a FROM t WHERE b LIKE '_%%'", {"5"}},
        {"SELECT a FROM t WHERE b NOT LIKE 'x%%'", {"1", "2", "3", "4"}},
        {"SELECT a FROM t WHERE b LIKE '%y%%'", {}},
        {"SELECT COUNT(*) FROM t WHERE b LIKE 'x%%'", {"1"}},
    };
    for (const bool indexed : {false, true}) {
        if (indexed) {
            Run("CREATE INDEX tb ON t (b)");
        }
        for (const SelectCase& c : cases) {
            for (const bool live : {false, true}) {
                Strings rows = Select(c.sql, -1, live);
                std::sort(rows.begin(), rows.end());
                EXPECT_EQ(rows, c.rows)
                    << c.sql << (indexed ? " indexed" : "") << (live ? " live" : "");
            }
        }
    }
    EXPECT_EQ(Run("UPDATE t SET c = 0 WHERE b LIKE 'x%%'"), 1);
    EXPECT_EQ(Run("DELETE FROM t WHERE b LIKE 'x%%' OR b LIKE 'y%%'"), 1);
    EXPECT_EQ(Rows("t"), (Strings{"1|x|10", "2|y|<null>", "3|<null>|30", "4|x|40"}));
}

// DISTINCT's row limit counts the rows produced, repeats included, as before repeats were
// dropped while reading.
TEST_F(SqlSelect, DistinctRowLimitCountsRepeats) {
    Run("INSERT INTO t VALUES (5, 'z', 50)");
    EXPECT_EQ(Select("SELECT DISTINCT b FROM t", 2), (Strings{"x", "y"}));
    EXPECT_EQ(Select("SELECT DISTINCT b FROM t", 4), (Strings{"<null>", "x", "y"}));
    EXPECT_EQ(Select("SELECT DISTINCT b FROM t", 5), (Strings{"<null>", "x", "y", "z"}));
}

// DISTINCT of one text column tells values apart whatever their length around a word: texts
// that share their first bytes, that differ only in case or in a high byte, NULL, and a
// column narrower than a word.
TEST_F(SqlSelect, DistinctTextsOfEveryLengthAroundAWord) {
    Run("CREATE TABLE w (id INTEGER, s CHAR(12), n CHAR(3))");
    const Strings values = {"a",        "ab",        "abcdefg",    "abcdefgh", "abcdefghi",
                            "abcdefgH", "ABCDEFG",   "abcdef\xe9", "abcdef",   "xyz1234567",
                            "xyz12345", "xyz123456", "b"};
    Strings expected = {"<null>"};
    int id = 0;
    for (int round = 0; round < 3; ++round) {
        for (const std::string& value : values) {
            Run("INSERT INTO w VALUES (" + std::to_string(++id) + ", '" + value + "', '" +
                value.substr(0, 2) + "')");
        }
        Run("INSERT INTO w VALUES (" + std::to_string(++id) + ", NULL, NULL)");
        Run("INSERT INTO w VALUES (" + std::to_string(++id) + ", '', '')");
    }
    for (const std::string& value : values) {
        expected.push_back(value);
    }
    // The empty text is stored as NULL.
    Strings rows = Select("SELECT DISTINCT s FROM w");
    std::sort(rows.begin(), rows.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(rows, expected);
    EXPECT_EQ(Select("SELECT DISTINCT n FROM w ORDER BY n"),
              (Strings{"<null>", "AB", "a", "ab", "b", "xy"}));
}

// Progress reaches every row a DISTINCT reads, repeats included, and can stop it: the rows met
// before the stop are the result.
TEST_F(SqlSelect, ProgressFollowsADistinctRowByRowAndCanStopIt) {
    struct ProgressCase {
        std::int64_t stop_at;
        std::vector<int> percents;
        Strings rows;
    };
    const std::vector<ProgressCase> cases = {
        {5, {25, 50, 75, 100}, {"<null>", "x", "y"}},
        {2, {25, 50}, {"x"}},
    };
    for (const ProgressCase& c : cases) {
        TQueryStatement statement(directory_);
        std::size_t offset = 0;
        statement.Prepare("SELECT DISTINCT b FROM t", offset);
        std::vector<int> percents;
        statement.SetProgressCallback([&](std::int64_t row, int percent) {
            percents.push_back(percent);
            return row < c.stop_at;
        });
        Strings rows = RowsOf(*statement.Execute());
        std::sort(rows.begin(), rows.end());
        EXPECT_EQ(percents, c.percents) << c.stop_at;
        EXPECT_EQ(rows, c.rows) << c.stop_at;
    }
}

// Every execution places its filters again, with the parameter values of then.
TEST_F(SqlSelect, FiltersFollowNewParameterValues) {
    Run("CREATE INDEX ta ON t (a)");
    TQueryStatement statement(directory_);
    std::size_t offset = 0;
    statement.Prepare("SELECT a FROM t WHERE a > ?", offset);
    std::vector<FieldDescriptor> descriptors(1);
    descriptors[0][fd::kType] = kTypeInteger;
    descriptors[0][fd::kDataSize] = 4;
    std::vector<std::byte> record(5);
    record[0] = std::byte{1};
    for (const auto& [bound, rows] : std::vector<std::pair<std::int32_t, Strings>>{
             {2, {"3", "4"}}, {0, {"1", "2", "3", "4"}}}) {
        StoreInt32(record.data() + 1, bound);
        statement.SetParams(1, descriptors, record);
        EXPECT_EQ(RowsOf(*statement.Execute()), rows) << bound;
        EXPECT_EQ(FiltersPerSource(statement), (std::vector<std::size_t>{1})) << bound;
    }
}

// Inside a condition, an index range that holds over 90 % of the records counts as one no
// index answers: scanning it would cost more than reading the rows.
TEST_F(SqlSelect, WideIndexRangesAreLeftToRowChecks) {
    Run("CREATE INDEX ta ON t (a)");
    struct WideCase {
        const char* sql;
        Strings rows;
        std::size_t filters;
    };
    const std::vector<WideCase> cases = {
        {"SELECT a FROM t WHERE (a >= 2 AND a <= 3) OR a = 9", {"2", "3"}, 1},
        // a >= 1 holds for every record: the AND is answered only in part, the OR not at all.
        {"SELECT a FROM t WHERE (a >= 1 AND a <= 3) OR a = 9", {"1", "2", "3"}, 0},
        // A whole condition is not estimated: a filter over every record is still exact.
        {"SELECT a FROM t WHERE a >= 1", {"1", "2", "3", "4"}, 1},
    };
    for (const WideCase& c : cases) {
        TQueryStatement statement(directory_);
        std::size_t offset = 0;
        statement.Prepare(c.sql, offset);
        EXPECT_EQ(RowsOf(*statement.Execute()), c.rows) << c.sql;
        EXPECT_EQ(FiltersPerSource(statement), (std::vector<std::size_t>{c.filters})) << c.sql;
    }
}

// An OR of an indexed comparison and one no index answers keeps every row that passes.
TEST_F(SqlSelect, MixedOrConditionsKeepTheirRows) {
    Run("CREATE INDEX ta ON t (a)");
    EXPECT_EQ(Select("SELECT a FROM t WHERE a >= 3 OR c < 15"), (Strings{"1", "3", "4"}));
    EXPECT_EQ(Select("SELECT COUNT(*) FROM t WHERE a >= 3 OR c < 15"), (Strings{"3"}));
    EXPECT_EQ(Select("SELECT COUNT(*) FROM t WHERE a >= 3 OR c = 10"), (Strings{"3"}));
    EXPECT_EQ(Select("SELECT COUNT(*) FROM t WHERE c < 15 OR a >= 3"), (Strings{"3"}));
}

// ORDER BY over the grouping columns, or over every column of a DISTINCT, comes out of the
// grouping or DISTINCT sort; a descending or NOCASE order still sorts.
TEST_F(SqlSelect, OrderByAfterGroupingOrDistinct) {
    Run("INSERT INTO t VALUES (5, 'X', 50)");
    const std::vector<SelectCase> cases = {
        {"SELECT b, SUM(c) FROM t GROUP BY b ORDER BY b",
         {"<null>|30", "X|50", "x|50", "y|<null>"}},
        {"SELECT b, SUM(c) FROM t GROUP BY b ORDER BY b DESC",
         {"y|<null>", "x|50", "X|50", "<null>|30"}},
        {"SELECT DISTINCT b FROM t ORDER BY b", {"<null>", "X", "x", "y"}},
        {"SELECT DISTINCT b FROM t ORDER BY b DESC", {"y", "x", "X", "<null>"}},
        {"SELECT b, COUNT(c) FROM t GROUP BY b HAVING COUNT(c) > 1 ORDER BY b", {"x|2"}},
    };
    for (const SelectCase& c : cases) {
        EXPECT_EQ(Select(c.sql), c.rows) << c.sql;
    }
}

// Rows with equal sort keys keep the order they were produced in, in every direction and
// with NOCASE; nulls sort first ascending.
TEST_F(SqlSelect, OrderByKeepsTiesInProductionOrder) {
    Run("INSERT INTO t VALUES (5, 'X', 10)");
    Run("INSERT INTO t VALUES (6, 'y', 30)");
    Run("INSERT INTO t VALUES (7, NULL, 10)");
    const std::vector<SelectCase> cases = {
        {"SELECT a, b FROM t ORDER BY b",
         {"3|<null>", "7|<null>", "5|X", "1|x", "4|x", "2|y", "6|y"}},
        {"SELECT a, b FROM t ORDER BY b DESC",
         {"2|y", "6|y", "1|x", "4|x", "5|X", "3|<null>", "7|<null>"}},
        {"SELECT a, b FROM t ORDER BY b NOCASE",
         {"3|<null>", "7|<null>", "1|x", "4|x", "5|X", "2|y", "6|y"}},
        {"SELECT a, c FROM t WHERE c IS NOT NULL ORDER BY c DESC, a",
         {"4|40", "3|30", "6|30", "1|10", "5|10", "7|10"}},
        {"SELECT a, c FROM t ORDER BY c, a DESC",
         {"2|<null>", "7|10", "5|10", "1|10", "6|30", "3|30", "4|40"}},
    };
    for (const SelectCase& c : cases) {
        EXPECT_EQ(Select(c.sql), c.rows) << c.sql;
    }
}

// Results of about 20 MB pass this limit on the way.
constexpr std::int64_t kHeldResultLimit = std::int64_t{16} << 20;

// A result without a name starts in memory and moves to disk once it grows past some
// megabytes: rows produced before and after the move, grouped rows, sorted rows and a second
// execution of the statement all come out whole and in order.
TEST_F(SqlSelect, LargeResultsKeepEveryRowWhenTheyMoveToDisk) {
    // 5,000 rows of 4 KB: about 20 MB of result.
    constexpr int kRows = 5000;
    constexpr std::uint32_t kTexts = 16;
    const std::string columns = CreateWideTable(kRows, kTexts);
    // The text columns of row i.
    const auto texts = [&](int i) {
        std::string text;
        for (std::uint32_t field = 2; field <= kTexts + 1; ++field) {
            text += "|v" + std::to_string(i * static_cast<int>(field));
        }
        return text;
    };
    const struct {
        std::string sql;
        std::function<std::string(int)> expected;
        int count;
    } cases[] = {
        {"SELECT id" + columns + " FROM wide", [&](int n) { return std::to_string(n) + texts(n); },
         kRows},
        {"SELECT id" + columns + " FROM wide WHERE id >= 100 ORDER BY id DESC",
         [&](int n) { return std::to_string(kRows - 1 - n) + texts(kRows - 1 - n); }, kRows - 100},
        {"SELECT id, AVG(id)" + columns + " FROM wide GROUP BY id" + columns,
         [&](int n) { return std::to_string(n) + "|" + std::to_string(n) + texts(n); }, kRows},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.sql);
        TQueryStatement statement(directory_);
        std::size_t offset = 0;
        statement.Prepare(each.sql, offset);
        TDataQueryTestAccess::SetHeldResultLimit(*statement.MainQuery(), kHeldResultLimit);
        for (int run = 0; run < 2; ++run) {
            TDataCursor* result = statement.Execute();
            ASSERT_NE(result, nullptr);
            const Strings rows = RowsOf(*result);
            ASSERT_EQ(rows.size(), static_cast<std::size_t>(each.count));
            EXPECT_EQ(statement.GetResultCount(), each.count);
            // Every row: the ordered rows were sorted in memory and written across the move.
            for (int n = 0; n < each.count; ++n) {
                ASSERT_EQ(rows[static_cast<std::size_t>(n)], each.expected(n)) << n;
            }
        }
    }
}

// Results past the size a result keeps in memory: ordered by a column with ties and NULLs,
// and joined on keys with duplicates, NULLs (which equal each other here) and values without a
// match. Every row comes in its order (ties and joined rows as produced), also in a second
// execution, and a bookmark leads back to its row.
TEST_F(SqlSelect, LargeOrderedAndJoinedResultsKeepTheirOrderAcrossTheMoveToDisk) {
    constexpr int kRows = 5000;
    constexpr std::uint32_t kTexts = 16;
    const auto group_of = [](int i) { return i % 11 == 0 ? -1 : i % 7; };
    const std::string columns = CreateWideTable(kRows, kTexts, group_of);
    // Join keys in read order: duplicates, NULLs, and 9, which no row has.
    const std::vector<std::pair<int, int>> keys = {{1, 10}, {1, 11}, {3, 12}, {-1, 13}, {-1, 14},
                                                   {9, 15}, {5, 16}, {5, 17}, {3, 18}};
    Run("CREATE TABLE keys (grp INTEGER, tag INTEGER)");
    for (const auto& [group, tag] : keys) {
        Run("INSERT INTO keys VALUES (" +
            (group < 0 ? std::string("NULL") : std::to_string(group)) + ", " + std::to_string(tag) +
            ")");
    }
    const auto number = [](int value) {
        return value < 0 ? std::string("<null>") : std::to_string(value);
    };
    const auto texts = [&](int i) {
        std::string text;
        for (std::uint32_t field = 3; field <= kTexts + 2; ++field) {
            text += "|v" + std::to_string(i * static_cast<int>(field));
        }
        return text;
    };
    std::vector<int> by_group(kRows);
    for (int i = 0; i < kRows; ++i) {
        by_group[static_cast<std::size_t>(i)] = i;
    }
    std::stable_sort(by_group.begin(), by_group.end(),
                     [&](int a, int b) { return group_of(a) < group_of(b); });
    std::vector<int> by_group_descending = by_group;
    std::stable_sort(by_group_descending.begin(), by_group_descending.end(),
                     [&](int a, int b) { return group_of(a) > group_of(b); });
    Strings ascending;
    Strings descending;
    for (int n = 0; n < kRows; ++n) {
        const int a = by_group[static_cast<std::size_t>(n)];
        const int d = by_group_descending[static_cast<std::size_t>(n)];
        ascending.push_back(std::to_string(a) + "|" + number(group_of(a)) + texts(a));
        descending.push_back(std::to_string(d) + "|" + number(group_of(d)) + texts(d));
    }
    // The smaller table drives the inner join; the LEFT join reads its own left side first.
    Strings inner;
    for (const auto& [group, tag] : keys) {
        for (int i = 0; i < kRows; ++i) {
            if (group_of(i) == group) {
                inner.push_back(std::to_string(i) + "|" + std::to_string(tag) + texts(i));
            }
        }
    }
    Strings left;
    for (int i = 0; i < kRows; ++i) {
        bool matched = false;
        for (const auto& [group, tag] : keys) {
            if (group_of(i) == group) {
                left.push_back(std::to_string(i) + "|" + std::to_string(tag) + texts(i));
                matched = true;
            }
        }
        if (!matched) {
            left.push_back(std::to_string(i) + "|<null>" + texts(i));
        }
    }
    std::string joined_columns;
    for (std::uint32_t n = 1; n <= kTexts; ++n) {
        joined_columns += ", w.c" + std::to_string(n);
    }
    const struct {
        std::string sql;
        const Strings& expected;
    } cases[] = {
        {"SELECT id, grp" + columns + " FROM wide ORDER BY grp", ascending},
        {"SELECT id, grp" + columns + " FROM wide ORDER BY grp DESC", descending},
        {"SELECT w.id, k.tag" + joined_columns + " FROM wide w JOIN keys k ON w.grp = k.grp",
         inner},
        {"SELECT w.id, k.tag" + joined_columns + " FROM wide w LEFT JOIN keys k ON w.grp = k.grp",
         left},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.sql);
        TQueryStatement statement(directory_);
        std::size_t offset = 0;
        statement.Prepare(each.sql, offset);
        TDataQueryTestAccess::SetHeldResultLimit(*statement.MainQuery(), kHeldResultLimit);
        for (int run = 0; run < 2; ++run) {
            TDataCursor* result = statement.Execute();
            ASSERT_NE(result, nullptr);
            ASSERT_EQ(RowsOf(*result), each.expected);
            EXPECT_EQ(statement.GetResultCount(), static_cast<std::int32_t>(each.expected.size()));
            // Large enough to have left memory.
            EXPECT_FALSE(result->InMemory());
            std::vector<std::uint8_t> record(result->GetRecordSize());
            result->First();
            result->Move(static_cast<std::int64_t>(each.expected.size()) - 3);
            ASSERT_EQ(result->GetCurrentRecord(record, false), kErrNone);
            const std::vector<std::uint8_t> bookmark = result->GetBookmark();
            const std::vector<std::uint8_t> marked = record;
            result->First();
            ASSERT_TRUE(result->GotoBookmark(bookmark, false));
            ASSERT_EQ(result->GetCurrentRecord(record, false), kErrNone);
            EXPECT_EQ(record, marked);
        }
    }
}

TEST_F(SqlSelect, SumThatDoesNotFitRaises) {
    Run("CREATE TABLE big (n INTEGER)");
    Run("INSERT INTO big VALUES (2147483647)");
    Run("INSERT INTO big VALUES (1)");
    const std::string error = SqlError([&] { Select("SELECT SUM(n) FROM big"); });
    EXPECT_EQ(error, "Result of SUM aggregate function exceeds the range of column 'Sum Of n'");
}

}  // namespace
}  // namespace strata

namespace strata {
namespace {

using BooleanStrings = std::vector<std::string>;

class SqlExecutionBooleans : public sqltest::SqlExecution {};

// A bare boolean column in WHERE stands for "= TRUE", also beside other parts.
TEST_F(SqlExecutionBooleans, BareBooleanConditionsMeanTrue) {
    Run("CREATE TABLE f (a INTEGER, ok BOOLEAN)");
    Run("INSERT INTO f VALUES (1, TRUE)");
    Run("INSERT INTO f VALUES (2, FALSE)");
    Run("INSERT INTO f VALUES (3, NULL)");
    EXPECT_EQ(Select("SELECT a FROM f WHERE ok"), (BooleanStrings{"1"}));
    EXPECT_EQ(Select("SELECT a FROM f WHERE ok OR a = 3"), (BooleanStrings{"1", "3"}));
    EXPECT_EQ(Run("DELETE FROM f WHERE ok"), 1);
    EXPECT_EQ(Rows("f"), (BooleanStrings{"2|F", "3|<null>"}));
}

}  // namespace
}  // namespace strata

namespace strata {
namespace {

using Strings = std::vector<std::string>;

// A query asked for a live result runs as one when it reads one table without grouping,
// DISTINCT, INTO or sub-selects, and its ORDER BY (if any) is an index's order: its result is
// the source table's cursor under the WHERE condition.
class SqlLiveSelect : public sqltest::SqlExecution {
  protected:
    void SetUp() override {
        SqlExecution::SetUp();
        Run("CREATE TABLE t (a INTEGER, b CHAR(5), c INTEGER)");
        Run("CREATE INDEX ta ON t (a)");
        Run("INSERT INTO t VALUES (3, NULL, 30)");
        Run("INSERT INTO t VALUES (1, 'x', 10)");
        Run("INSERT INTO t VALUES (4, 'x', 40)");
        Run("INSERT INTO t VALUES (2, 'y', NULL)");
        Run("CREATE TABLE u (k INTEGER)");
        Run("INSERT INTO u VALUES (3)");
    }

    struct LiveRun {
        std::unique_ptr<TQueryStatement> statement;
        TDataCursor* result = nullptr;
        bool live = false;
    };
    LiveRun Live(std::string_view sql, std::int32_t max_rows = -1) {
        LiveRun run;
        run.statement = std::make_unique<TQueryStatement>(directory_);
        run.statement->SetRequestLive(true);
        run.statement->SetMaxRowCount(max_rows);
        std::size_t offset = 0;
        run.statement->Prepare(sql, offset);
        run.result = run.statement->Execute();
        const TDataQuery& main = *run.statement->MainQuery();
        run.live = main.LiveResult;
        if (run.live) {
            EXPECT_EQ(run.result, main.SourceTables.front()->Table->cursor.get()) << sql;
        }
        return run;
    }
};

TEST_F(SqlLiveSelect, LiveOnlyWhereTheSourceCursorCanBeTheResult) {
    struct LiveCase {
        const char* sql;
        Strings rows;
        bool live;
    };
    const std::vector<LiveCase> cases = {
        {"SELECT a FROM t", {"3", "1", "4", "2"}, true},
        {"SELECT b, a FROM t WHERE c > 15", {"<null>|3", "x|4"}, true},
        {"SELECT a + 1 AS n, UPPER(b), a FROM t WHERE a <= 2", {"2|X|1", "3|Y|2"}, true},
        {"SELECT a, a FROM t WHERE b = 'y'", {"2|2"}, true},
        // The index on a gives the order; none gives b's, and none a descending one.
        {"SELECT c, a FROM t ORDER BY a", {"10|1", "<null>|2", "30|3", "40|4"}, true},
        {"SELECT a FROM t WHERE c > 15 OR c IS NULL ORDER BY a", {"2", "3", "4"}, true},
        {"SELECT b FROM t WHERE a < 3 ORDER BY b", {"x", "y"}, false},
        {"SELECT a FROM t ORDER BY a DESC", {"4", "3", "2", "1"}, false},
        {"SELECT DISTINCT b FROM t WHERE a > 1", {"<null>", "x", "y"}, false},
        {"SELECT COUNT(*) FROM t", {"4"}, false},
        {"SELECT b, SUM(c) FROM t WHERE a < 3 GROUP BY b", {"x|10", "y|<null>"}, false},
        {"SELECT t.a FROM t, u WHERE t.a = u.k", {"3"}, false},
        {"SELECT a FROM t WHERE a IN (SELECT k FROM u)", {"3"}, false},
        // A filter answers a negated comparison with NULL otherwise than this engine's rows
        // do; the canned result keeps the engine's rule.
        {"SELECT a FROM t WHERE NOT (c < 20)", {"3", "4", "2"}, false},
    };
    for (const LiveCase& c : cases) {
        const LiveRun run = Live(c.sql);
        ASSERT_NE(run.result, nullptr) << c.sql;
        EXPECT_EQ(run.live, c.live) << c.sql;
        EXPECT_EQ(RowsOf(*run.result), c.rows) << c.sql;
        EXPECT_EQ(run.statement->GetResultCount(), static_cast<std::int32_t>(c.rows.size()))
            << c.sql;
    }
    // MaxRowCount limits a canned result only.
    EXPECT_EQ(RowsOf(*Live("SELECT a FROM t", 2).result).size(), 4u);
    EXPECT_EQ(Live("SELECT b FROM t ORDER BY b", 2).statement->GetResultCount(), 2);
}

// The WHERE filter takes each execution's parameter values.
TEST_F(SqlLiveSelect, ParametersAreReadAtEveryExecution) {
    TQueryStatement statement(directory_);
    statement.SetRequestLive(true);
    std::size_t offset = 0;
    statement.Prepare("SELECT a, c + 1 AS d FROM t WHERE a > ?", offset);
    ASSERT_TRUE(statement.MainQuery()->LiveResult);
    std::vector<FieldDescriptor> descriptors(1);
    descriptors[0][fd::kType] = kTypeInteger;
    descriptors[0][fd::kDataSize] = 4;
    std::vector<std::byte> record(5);
    record[0] = std::byte{1};
    for (const auto& [above, rows] : std::vector<std::pair<int, Strings>>{
             {2, {"3|31", "4|41"}}, {0, {"3|31", "1|11", "4|41", "2|<null>"}}}) {
        StoreInt32(record.data() + 1, above);
        statement.SetParams(1, descriptors, record);
        TDataCursor* result = statement.Execute();
        ASSERT_NE(result, nullptr);
        EXPECT_EQ(RowsOf(*result), rows) << above;
        EXPECT_EQ(statement.GetResultCount(), static_cast<std::int32_t>(rows.size()));
        EXPECT_EQ(result->FilterCount(), 1u) << "the last execution's filter is gone";
    }
}

// An INSERT's SELECT may run live, but not over the INSERT's own target, whose new rows it
// would then read too.
TEST_F(SqlLiveSelect, InsertSelectReadsItsOwnTargetThroughACopy) {
    Run("CREATE TABLE w (a INTEGER, b CHAR(5))");
    EXPECT_EQ(Run("INSERT INTO w SELECT a, b FROM t WHERE a > 2"), 2);
    EXPECT_EQ(Rows("w"), (Strings{"3|<null>", "4|x"}));
    EXPECT_EQ(Run("INSERT INTO w SELECT a, b FROM w"), 2);
    EXPECT_EQ(Rows("w"), (Strings{"3|<null>", "4|x", "3|<null>", "4|x"}));
}

// Writes through a live result go to the table's own fields; the fields the result leaves out
// get their defaults.
TEST_F(SqlLiveSelect, WritesThroughTheResultLandInTheTable) {
    Run("CREATE TABLE p (id INTEGER, name CHAR(10), kind CHAR(5) DEFAULT 'std', n INTEGER)");
    Run("INSERT INTO p VALUES (1, 'one', 'a', 7)");
    Run("INSERT INTO p VALUES (2, 'two', 'b', 8)");
    {
        LiveRun run = Live("SELECT name, id, n * 2 AS twice FROM p WHERE id > 1");
        ASSERT_TRUE(run.live);
        TDataCursor& cursor = *run.result;
        ASSERT_EQ(FieldName(cursor.GetFieldDesc(1)), "name");
        std::vector<std::uint8_t> record(cursor.GetRecordSize());
        cursor.First();
        ASSERT_EQ(cursor.GetNextRecord(record), kErrNone);
        ASSERT_EQ(cursor.GetCurrentRecord(record, true), kErrNone);
        const std::string renamed = "deux";
        cursor.PutField(1, record, reinterpret_cast<const std::uint8_t*>(renamed.c_str()));
        cursor.ModifyRecord(record, true, true);

        cursor.InitNewRecord(record);
        const std::string name = "three";
        std::array<std::byte, 4> id{};
        StoreInt32(id.data(), 3);
        cursor.PutField(1, record, reinterpret_cast<const std::uint8_t*>(name.c_str()));
        cursor.PutField(2, record, reinterpret_cast<const std::uint8_t*>(id.data()));
        cursor.InsertRecord(record, true);
        EXPECT_EQ(RowsOf(cursor), (Strings{"deux|2|16", "three|3|<null>"}));
    }
    EXPECT_EQ(Rows("p"), (Strings{"1|one|a|7", "2|deux|b|8", "3|three|std|<null>"}));
}

// A blob column reads through the live layout, and a record deleted through a result that
// leaves its blob column out frees its blob as a plain DELETE does.
TEST_F(SqlLiveSelect, BlobsThroughALiveResult) {
    for (const char* table : {"m", "n"}) {
        Run(std::string("CREATE TABLE ") + table + " (a INTEGER, note BLOB(1, 1))");
        for (const char* row : {"(1, 'first')", "(2, 'second')", "(3, 'third')"}) {
            Run(std::string("INSERT INTO ") + table + " VALUES " + row);
        }
    }
    {
        LiveRun run = Live("SELECT note, a FROM m WHERE a >= 2");
        ASSERT_TRUE(run.live);
        std::vector<std::uint8_t> row(run.result->GetRecordSize());
        run.result->First();
        ASSERT_EQ(run.result->GetNextRecord(row), kErrNone);
        std::uint32_t size = 0;
        ASSERT_EQ(run.result->OpenBlob(1, row, 0), kErrNone);
        ASSERT_EQ(run.result->GetBlobSize(1, row, size), kErrNone);
        std::string text(size, '\0');
        std::uint32_t read = 0;
        EXPECT_EQ(run.result->ReadBlob(1, row, read, size,
                                       reinterpret_cast<std::uint8_t*>(text.data()), 0),
                  kErrNone);
        EXPECT_EQ(text, "second");
        run.result->FreeBlobs();
    }
    // A condition on a blob stays with the canned result's row checks.
    EXPECT_FALSE(Live("SELECT a FROM m WHERE note IS NULL").live);
    {
        LiveRun run = Live("SELECT a FROM m WHERE a = 2");
        ASSERT_TRUE(run.live);
        std::vector<std::uint8_t> row(run.result->GetRecordSize());
        run.result->First();
        ASSERT_EQ(run.result->GetNextRecord(row), kErrNone);
        run.result->DeleteRecord(row, true);
    }
    Run("DELETE FROM n WHERE a = 2");
    auto blob_report = [&](std::string_view table) {
        TDataCursor check(*directory_);
        check.SetTableName(table);
        check.SetExclusive(true);
        Strings lines;
        RepairTable(check, true, 1, {}, [&](std::string_view line) {
            if (line.find("BLOB") != std::string_view::npos) {
                lines.emplace_back(line);
            }
        });
        return lines;
    };
    EXPECT_EQ(blob_report("m"), blob_report("n"));
    EXPECT_EQ(Rows("m"), Rows("n"));
}

}  // namespace
}  // namespace strata
