#include "engine/sql/data_change.h"
#include "engine/storage/byte_order.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "engine/core/data_cursor.h"
#include "engine/core/data_directory.h"
#include "engine/core/data_session.h"
#include "engine/core/data_table.h"
#include "engine/core/engine_globals.h"
#include "engine/core/index_file.h"
#include "engine/core/index_tree.h"
#include "engine/core/table_repair.h"
#include "engine/sql/data_definition.h"
#include "engine/sql/query_statement.h"
#include "engine/storage/data_types.h"
#include "engine/storage/engine_error.h"
#include "engine/storage/file_handler.h"
#include "engine/storage/file_objects.h"
#include "sql_execution_fixture.h"
#include "sql_test_support.h"
#include "tests/engine/core/table_files_support.h"

namespace strata {
namespace {

using sqltest::SqlError;

using sqltest::SqlExecution;

// Opens `cursor` on the table "single" in record order, shared with the statements if `shared`.
void OpenSingleInRecordOrder(TDataCursor& cursor, bool shared) {
    cursor.SetTableName("single");
    cursor.SetPhysicalOrder(true);
    if (shared)
        cursor.SetExclusive(false);
    cursor.Open();
}

TEST_F(SqlExecution, CreateInsertUpdateDeleteOnTablesReopenedFromDisk) {
    Run("CREATE TABLE people (id INTEGER, name CHAR(10), born DATE, PRIMARY KEY (id))");
    EXPECT_EQ(Run("INSERT INTO people VALUES (1, 'ann', '2001-02-03')"), 1);
    EXPECT_EQ(Run("INSERT INTO people (name, id) VALUES ('bob', 2)"), 1);
    EXPECT_EQ(Run("INSERT INTO people (id, name) VALUES (3, 'a name far too long')"), 1);
    EXPECT_EQ(Rows("people"),
              (std::vector<std::string>{"1|ann|d730519", "2|bob|<null>", "3|a name far|<null>"}));

    EXPECT_EQ(Run("UPDATE people SET name = name || '!' WHERE id >= 2"), 2);
    EXPECT_EQ(Run("DELETE FROM people WHERE name = 'ann'"), 1);
    EXPECT_EQ(Rows("people"), (std::vector<std::string>{"2|bob!|<null>", "3|a name far|<null>"}));
    EXPECT_EQ(Run("DELETE FROM people"), 2);
    EXPECT_TRUE(Rows("people").empty());
}

TEST_F(SqlExecution, UpdateReadsEveryValueFromTheRowBeforeIt) {
    Run("CREATE TABLE t (a INTEGER, b INTEGER)");
    Run("INSERT INTO t VALUES (1, 2)");
    Run("UPDATE t SET a = b, b = a");
    EXPECT_EQ(Rows("t"), (std::vector<std::string>{"2|1"}));
}

TEST_F(SqlExecution, UpdateVisitsEachRowOnceEvenWhenItMovesInTheIndex) {
    Run("CREATE TABLE t (a INTEGER, PRIMARY KEY (a))");
    for (int i = 1; i <= 20; ++i) {
        Run("INSERT INTO t VALUES (" + std::to_string(i) + ")");
    }
    EXPECT_EQ(Run("UPDATE t SET a = a + 100 WHERE a < 1000"), 20);
    const auto rows = Rows("t");
    ASSERT_EQ(rows.size(), 20u);
    for (const std::string& row : rows) {
        const int value = std::stoi(row);
        EXPECT_GT(value, 100);
        EXPECT_LE(value, 120);
    }
}

TEST_F(SqlExecution, FailedUpdateKeepsTheRowsChangedBeforeIt) {
    Run("CREATE TABLE t (a INTEGER, b INTEGER, PRIMARY KEY (a))");
    Run("CREATE UNIQUE INDEX byb ON t (b)");
    Run("INSERT INTO t VALUES (1, 10)");
    Run("INSERT INTO t VALUES (2, 20)");
    Run("INSERT INTO t VALUES (3, 30)");
    // The second changed row collides with the first on the unique index.
    try {
        Run("UPDATE t SET b = 5 WHERE a <= 2");
        FAIL() << "no error";
    } catch (const EStrataEngineError& e) {
        EXPECT_EQ(e.ErrorCode(), kErrDuplicateKey);
    }
    EXPECT_EQ(Rows("t"), (std::vector<std::string>{"1|5", "2|20", "3|30"}));
}

// COMMIT INTERVAL may follow the table of a DELETE without WHERE: it names no correlation.
TEST_F(SqlExecution, CommitIntervalAfterTheTablesOfChangesWithoutWhere) {
    Run("CREATE TABLE t (a INTEGER)");
    for (int i = 1; i <= 5; ++i) {
        Run("INSERT INTO t VALUES (" + std::to_string(i) + ")");
    }
    EXPECT_EQ(Run("UPDATE t SET a = a + 10 COMMIT INTERVAL 2"), 5);
    EXPECT_EQ(Run("DELETE FROM t x WHERE x.a > 13 COMMIT INTERVAL 2"), 2);
    EXPECT_EQ(Rows("t"), (std::vector<std::string>{"11", "12", "13"}));
    EXPECT_EQ(Run("DELETE FROM t COMMIT INTERVAL 2"), 3);
    EXPECT_TRUE(Rows("t").empty());
}

TEST_F(SqlExecution, ParametersBindInMarkerOrder) {
    Run("CREATE TABLE t (a INTEGER, b CHAR(5))");
    Run("INSERT INTO t VALUES (1, 'x')");
    Run("INSERT INTO t VALUES (2, 'y')");
    const auto bind = [](TQueryStatement& statement) {
        std::vector<FieldDescriptor> descriptors(2);
        std::vector<std::byte> record(1 + 6 + 1 + 4);
        descriptors[0][fd::kType] = kTypeString;
        descriptors[0][fd::kDataSize] = 6;
        descriptors[0][fd::kOffset] = 0;
        record[0] = std::byte{1};
        std::memcpy(record.data() + 1, "new", 4);
        descriptors[1][fd::kType] = kTypeInteger;
        descriptors[1][fd::kDataSize] = 4;
        descriptors[1][fd::kOffset] = 7;
        record[7] = std::byte{1};
        StoreInt32(record.data() + 8, 2);
        statement.SetParams(2, descriptors, record);
    };
    EXPECT_EQ(Run("UPDATE t SET b = ? WHERE a = ?", bind), 1);
    EXPECT_EQ(Rows("t"), (std::vector<std::string>{"1|x", "2|new"}));
}

// A marker no value was set for is NULL in every clause, as one a shorter value list leaves
// out: an ordering comparison with it holds for no row. A statement prepared again runs the new
// text; one whose Prepare failed runs nothing, neither the half-read text nor the one before.
TEST_F(SqlExecution, UnsetMarkersAreNullAndAFailedPrepareRunsNothing) {
    Run("CREATE TABLE t (a INTEGER, f FLOAT, s CHAR(5))");
    Run("INSERT INTO t VALUES (1, 1.5, 'x')");
    Run("INSERT INTO t VALUES (2, -2.5, 'y')");
    const std::vector<std::pair<std::string, std::int32_t>> cases = {
        {"SELECT a FROM t WHERE f > ?", 0},          {"SELECT a FROM t WHERE f < ?", 0},
        {"SELECT a FROM t WHERE a >= ?", 0},         {"SELECT a FROM t WHERE s = ?", 0},
        {"SELECT a FROM t WHERE f > ? OR a = 1", 1}, {"SELECT a FROM t WHERE a BETWEEN ? AND 5", 0},
    };
    for (const auto& [sql, rows] : cases) {
        TQueryStatement statement(directory_);
        std::size_t offset = 0;
        statement.Prepare(sql, offset);
        statement.Execute();
        EXPECT_EQ(statement.GetResultCount(), rows) << sql;
    }
    EXPECT_EQ(Run("UPDATE t SET s = ? WHERE a = 2"), 1);
    EXPECT_EQ(Rows("t"), (std::vector<std::string>{"1|1.5|x", "2|-2.5|<null>"}));

    TQueryStatement statement(directory_);
    std::size_t offset = 0;
    statement.Prepare("SELECT a FROM t WHERE a > 1", offset);
    EXPECT_EQ(RowsOf(*statement.Execute()), (std::vector<std::string>{"2"}));
    statement.Prepare("SELECT s FROM t", offset);
    EXPECT_EQ(RowsOf(*statement.Execute()), (std::vector<std::string>{"x", "<null>"}));
    for (const char* broken : {"SELECT a FROM t WHERE", "SELECT zz FROM t", "DELETE FROM t x y"}) {
        EXPECT_NE(sqltest::SqlError([&] { statement.Prepare(broken, offset); }), "") << broken;
        EXPECT_EQ(sqltest::SqlError([&] { statement.Execute(); }), "Internal statement error")
            << broken;
    }
    EXPECT_EQ(Rows("t"), (std::vector<std::string>{"1|1.5|x", "2|-2.5|<null>"}));
}

TEST_F(SqlExecution, ValueAndColumnErrors) {
    Run("CREATE TABLE t (a INTEGER, d DATE)");
    struct Case {
        const char* sql;
        const char* message;
    };
    const std::vector<Case> cases = {
        {"INSERT INTO t (d) VALUES ('x')",
         "Date, time, or timestamp expression expected, instead found 'x' in update values"},
        {"INSERT INTO t (a) VALUES (TRUE)",
         "Type mismatch between column 'a' and constant 'TRUE' in update values"},
        {"INSERT INTO t (q) VALUES (1)",
         "Invalid column name 'q' or table correlation name '' specified in table columns"},
        {"INSERT INTO t VALUES (1)", "The number of values must match the number of table columns"},
        {"UPDATE t SET a = 1 WHERE a + 1", "WHERE or JOIN clause must be a boolean expression"},
        {"UPDATE t SET a = 'abc'",
         "Type mismatch between column 'a' and constant 'abc' in update values"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(SqlError([&] { Run(c.sql); }), c.message) << c.sql;
    }
    EXPECT_EQ(Run("DELETE FROM t WHERE a IN (SELECT a FROM t)"), 0);
    EXPECT_TRUE(Rows("t").empty()) << "nothing was written";
}

// An INSERT ... SELECT whose column list does not fit the sub-select is refused when it is
// prepared, before the sub-select has run (and made its INTO table).
TEST_F(SqlExecution, InsertSelectColumnErrorsComeBeforeTheSubSelectRuns) {
    Run("CREATE TABLE t (a INTEGER, b CHAR(5))");
    Run("CREATE TABLE n (a INTEGER, b CHAR(5))");
    Run("INSERT INTO n VALUES (1, 'x')");
    const std::vector<std::pair<const char*, const char*>> cases = {
        {"INSERT INTO t (q) SELECT a INTO made FROM n",
         "Invalid column name 'q' or table correlation name '' specified in table columns"},
        {"INSERT INTO t (a) SELECT a, b INTO made FROM n",
         "The number of values must match the number of table columns"},
        {"INSERT INTO t SELECT a INTO made FROM n",
         "The number of values must match the number of table columns"},
    };
    for (const auto& [sql, message] : cases) {
        TQueryStatement statement(directory_);
        std::size_t offset = 0;
        EXPECT_EQ(SqlError([&, sql = sql] { statement.Prepare(sql, offset); }), message) << sql;
        EXPECT_FALSE(std::filesystem::exists(dir_.File("private/made.DAT"))) << sql;
    }
    EXPECT_TRUE(Rows("t").empty());
    EXPECT_EQ(Run("INSERT INTO t (b, a) SELECT b, a FROM n"), 1);
    EXPECT_EQ(Rows("t"), (std::vector<std::string>{"1|x"}));
}

// Changes refused for their SQL are refused before any row: the table keeps every row as it was.
TEST_F(SqlExecution, RefusedChangesLeaveEveryRow) {
    Run("CREATE TABLE t (a INTEGER, b CHAR(5))");
    Run("INSERT INTO t VALUES (1, 'x')");
    Run("INSERT INTO t VALUES (2, 'y')");
    const std::vector<std::pair<const char*, const char*>> cases = {
        {"DELETE FROM t WHERE z = 1",
         "Invalid column name 'z' or table correlation name '' specified in WHERE or JOIN "
         "clause"},
        {"DELETE FROM t WHERE b", "WHERE or JOIN clause must be a boolean expression"},
        {"UPDATE t SET a = 5 WHERE a > NULL",
         "Type mismatch between column 'a' and constant 'NULL' in WHERE or JOIN clause"},
        {"UPDATE t SET a = 5, q = 1",
         "Invalid column name 'q' or table correlation name '' specified in table columns"},
        {"UPDATE t SET b = 'z', a = 'abc'",
         "Type mismatch between column 'a' and constant 'abc' in update values"},
    };
    for (const auto& [sql, message] : cases) {
        EXPECT_EQ(SqlError([&, sql = sql] { Run(sql); }), message) << sql;
        EXPECT_EQ(Rows("t"), (std::vector<std::string>{"1|x", "2|y"})) << sql;
    }
}

TEST_F(SqlExecution, DefinitionStatements) {
    Run("CREATE TABLE t (a INTEGER, b CHAR(5))");
    try {
        Run("CREATE TABLE t (a INTEGER)");
        FAIL() << "no error";
    } catch (const EStrataEngineError& e) {
        EXPECT_EQ(e.ErrorCode(), kErrTableExists);
    }
    Run("CREATE NOCASE INDEX byb ON t (b)");
    Run("INSERT INTO t VALUES (1, 'x')");
    OpenSession();
    {
        TDataCursor cursor(*directory_);
        cursor.SetTableName("t");
        cursor.Open();
        EXPECT_NO_THROW(cursor.SetIndexByName("byb"));
    }
    Run("DROP INDEX t.byb");
    OpenSession();
    {
        TDataCursor cursor(*directory_);
        cursor.SetTableName("t");
        cursor.Open();
        EXPECT_THROW(cursor.SetIndexByName("byb"), EStrataEngineError);
    }
    try {
        Run("CREATE INDEX byz ON t (z)");
        FAIL() << "no error";
    } catch (const EStrataEngineError& e) {
        EXPECT_EQ(e.ErrorCode(), kErrInvalidField);
    }
    Run("DROP TABLE t");
    OpenSession();
    EXPECT_FALSE(directory_->TableExists("t", false));
}

TEST_F(SqlExecution, DropIndexPrimaryDropsThePrimaryIndex) {
    Run("CREATE TABLE t (a INTEGER, PRIMARY KEY (a))");
    Run("INSERT INTO t VALUES (1)");
    Run("DROP INDEX t.PRIMARY");
    OpenSession();
    TDataCursor cursor(*directory_);
    cursor.SetTableName("t");
    cursor.Open();
    EXPECT_TRUE(cursor.HasNoPrimaryIndex());
    EXPECT_EQ(cursor.GetRecordCount(), 1);
}

// A restructure that could not carry every row over stops with the row's error and leaves the
// table whole; dropping or retyping a column still loses only what the statement names.
TEST_F(SqlExecution, AlterTableThatWouldDropRowsChangesNothing) {
    const std::vector<std::string> rows{"1|x|10", "2|x|20", "3|y|<null>"};
    const struct {
        const char* sql;
        EngineErrorCode code;
        const char* text;
    } refused[] = {
        {"ALTER TABLE t ADD d INTEGER NOT NULL", kErrRequiredValue, "field 'd' in table 't'"},
        {"ALTER TABLE t REDEFINE c NOT NULL", kErrRequiredValue, "field 'c' in table 't'"},
        {"ALTER TABLE t REDEFINE c MIN '15'", kErrBelowMinimum, "field 'c' in table 't'"},
        {"ALTER TABLE t REDEFINE PRIMARY KEY (b)", kErrDuplicateKey, "of table 't'"},
        {"ALTER TABLE t DROP PRIMARY KEY, ADD PRIMARY KEY (b)", kErrDuplicateKey, "of table 't'"},
        {"ALTER TABLE t REDEFINE PRIMARY KEY (b), ADD d INTEGER", kErrDuplicateKey, "of table 't'"},
    };
    const auto fresh = [&] {
        if (directory_->TableExists("t", false)) {
            Run("DROP TABLE t");
        }
        Run("CREATE TABLE t (a INTEGER, b CHAR(5), c INTEGER, PRIMARY KEY (a))");
        Run("INSERT INTO t VALUES (1, 'x', 10)");
        Run("INSERT INTO t VALUES (2, 'x', 20)");
        Run("INSERT INTO t (a, b) VALUES (3, 'y')");
    };
    for (const auto& c : refused) {
        SCOPED_TRACE(c.sql);
        fresh();
        try {
            Run(c.sql);
            ADD_FAILURE() << "no error";
        } catch (const EStrataEngineError& e) {
            EXPECT_EQ(e.ErrorCode(), c.code);
            EXPECT_NE(std::string(e.what()).find(c.text), std::string::npos) << e.what();
        }
        EXPECT_EQ(Rows("t"), rows);
    }

    fresh();
    Run("ALTER TABLE t REDEFINE b INTEGER");
    EXPECT_EQ(Rows("t"),
              (std::vector<std::string>{"1|<null>|10", "2|<null>|20", "3|<null>|<null>"}));
    fresh();
    Run("ALTER TABLE t DROP c");
    EXPECT_EQ(Rows("t"), (std::vector<std::string>{"1|x", "2|x", "3|y"}));
}

// Conditions an index narrows (a case-insensitive index for a case-sensitive equality too)
// change exactly the rows the whole condition picks, parts without an index included.
TEST_F(SqlExecution, IndexedChangesTouchExactlyTheRowsTheConditionPicks) {
    Run("CREATE TABLE m (id INTEGER, cat CHAR(5), n INTEGER)");
    Run("CREATE NOCASE INDEX bycat ON m (cat)");
    Run("CREATE INDEX byn ON m (n)");
    const char* const cats[] = {"ab", "Ab", "AB", "b", "ab"};
    for (int i = 0; i < 10; ++i) {
        Run("INSERT INTO m VALUES (" + std::to_string(i) + ", '" + cats[i % 5] + "', " +
            (i == 7 ? std::string("NULL") : std::to_string(i % 3)) + ")");
    }
    struct ChangeCase {
        const char* sql;
        std::int32_t changed;
        const char* row_check;
        std::size_t rows_matching;
    };
    const ChangeCase cases[] = {
        {"UPDATE m SET n = n + 10 WHERE cat = 'ab'", 4, "SELECT id FROM m WHERE n >= 10", 4},
        {"UPDATE m SET cat = 'zz' WHERE cat = 'Ab' AND id > 3", 1,
         "SELECT id FROM m WHERE "
         "cat = 'zz'",
         1},
        {"DELETE FROM m WHERE cat LIKE 'a%'", 4, "SELECT id FROM m", 6},
        // <> stays a row check; the index on n narrows.
        {"DELETE FROM m WHERE n = 2 AND id <> 2", 1, "SELECT id FROM m", 5},
        {"DELETE FROM m WHERE cat = 'AB' OR n IS NULL", 2, "SELECT id FROM m", 3},
    };
    for (const ChangeCase& c : cases) {
        EXPECT_EQ(Run(c.sql), c.changed) << c.sql;
        EXPECT_EQ(Select(c.row_check).size(), c.rows_matching) << c.sql;
    }
}

// A condition of one text equality is checked from the record's bytes; the same comparison
// joined with a part that every row passes goes through the expression evaluator. Both must
// change the same rows, with and without a case-insensitive index narrowing them: case
// variants, trailing blanks, longer and shorter values and nulls included.
TEST_F(SqlExecution, TextEqualityChangesTheRowsTheEvaluatorPicks) {
    const char* const values[] = {"ab", "AB", "ab ", "abc", "a", "", "aB"};
    for (const bool indexed : {false, true}) {
        SCOPED_TRACE(indexed);
        Run(indexed ? "CREATE TABLE e1 (id INTEGER, t CHAR(8), n INTEGER)"
                    : "CREATE TABLE e0 (id INTEGER, t CHAR(8), n INTEGER)");
        const std::string table = indexed ? "e1" : "e0";
        if (indexed) {
            Run("CREATE NOCASE INDEX byt ON e1 (t)");
        }
        for (int i = 0; i < 16; ++i) {
            const std::string value =
                i % 8 == 7 ? std::string("NULL") : "'" + std::string(values[i % 8]) + "'";
            Run("INSERT INTO " + table + " VALUES (" + std::to_string(i) + ", " + value + ", 0)");
        }
        for (const char* value : values) {
            SCOPED_TRACE(value);
            const std::string compare = std::string(" WHERE t = '") + value + "'";
            const std::int32_t alone = Run("UPDATE " + table + " SET n = n + 1" + compare);
            const std::int32_t joined =
                Run("UPDATE " + table + " SET n = n + 100" + compare + " AND id >= 0");
            EXPECT_EQ(alone, joined);
            // Every row the one changed the other changed too.
            EXPECT_EQ(Select("SELECT id FROM " + table + " WHERE n = 101").size(),
                      static_cast<std::size_t>(alone));
            EXPECT_TRUE(Select("SELECT id FROM " + table + " WHERE n = 1 OR n = 100").empty());
            Run("UPDATE " + table + " SET n = 0");
        }
        EXPECT_EQ(Run("UPDATE " + table + " SET n = 1 WHERE t = 'ab'"), 4);
    }
}

// A whole-number column compared with a constant is checked from the record's bytes; the same
// comparison joined with a part every row passes goes through the expression evaluator. Both
// must change the same rows for every operator, with the constant on either side, at the
// types' limits and with NULLs (which = never takes and <> always does), with and without an
// index narrowing the rows.
TEST_F(SqlExecution, WholeNumberComparisonChangesTheRowsTheEvaluatorPicks) {
    const char* const rows[] = {
        "0, 0, 0, 0",
        "1, 32767, 2147483647, 65535",
        "2, -32768, -2147483647, 0",
        "3, NULL, NULL, NULL",
        "4, 5, -5, 7",
        "5, 7, 7, 5",
        "6, -1, 1, 1",
        "7, 5, 5, NULL",
    };
    const char* const comparisons[] = {
        "s = 5",  "s <> 5",          "s < 5",     "s <= -1",        "s > 7",       "s >= 32767",
        "5 = s",  "5 < s",           "-1 >= s",   "i = 5",          "i <> -5",     "i < 0",
        "i > 7",  "i >= 2147483647", "7 <= i",    "w = 5",          "w <> 7",      "w > 1",
        "w <= 0", "65535 = w",       "w < 70000", "i = 2147483647", "s <> -32768",
    };
    for (const bool indexed : {false, true}) {
        SCOPED_TRACE(indexed);
        const std::string table = indexed ? "wn1" : "wn0";
        Run("CREATE TABLE " + table + " (id INTEGER, s SMALLINT, i INTEGER, w WORD, n INTEGER)");
        if (indexed) {
            Run("CREATE INDEX bys ON " + table + " (s)");
            Run("CREATE INDEX byi ON " + table + " (i)");
            Run("CREATE INDEX byw ON " + table + " (w)");
        }
        for (const char* row : rows) {
            Run("INSERT INTO " + table + " VALUES (" + row + ", 0)");
        }
        for (const char* comparison : comparisons) {
            SCOPED_TRACE(comparison);
            const std::string where = std::string(" WHERE ") + comparison;
            const std::int32_t alone = Run("UPDATE " + table + " SET n = n + 1" + where);
            const std::int32_t joined =
                Run("UPDATE " + table + " SET n = n + 100" + where + " AND id >= 0");
            EXPECT_EQ(alone, joined);
            EXPECT_EQ(Select("SELECT id FROM " + table + " WHERE n = 101").size(),
                      static_cast<std::size_t>(alone));
            EXPECT_TRUE(Select("SELECT id FROM " + table + " WHERE n = 1 OR n = 100").empty());
            Run("UPDATE " + table + " SET n = 0");
        }
        EXPECT_EQ(Run("DELETE FROM " + table + " WHERE s <> 5"), 6);
        EXPECT_EQ(Select("SELECT id FROM " + table + " ORDER BY id"),
                  (std::vector<std::string>{"4", "7"}));
    }
}

// A whole-number column plus or minus a constant is worked out from the row's bytes; every
// such value must be the one the evaluator gives for the same expression in a SELECT: at the
// type's limits (NULL beyond them), from NULL, with the constant on either side, and with the
// column's index following the new values.
TEST_F(SqlExecution, ColumnPlusConstantWritesWhatTheEvaluatorGives) {
    Run("CREATE TABLE steps (id INTEGER, s SMALLINT, i INTEGER, w WORD)");
    Run("CREATE INDEX byi ON steps (i)");
    Run("CREATE INDEX bys ON steps (s)");
    const char* const rows[] = {
        "0, 0, 0, 0",
        "1, 32000, 2147483647, 65000",
        "2, -32000, -2147483647, 1",
        "3, NULL, NULL, NULL",
        "4, 5, -5, 7",
        "5, 30000, 2147483640, 65534",
    };
    for (const char* row : rows) {
        Run(std::string("INSERT INTO steps VALUES (") + row + ")");
    }
    struct StepCase {
        const char* column;
        const char* value;
        const char* read;  // how the column is read back as a number the rows show
        const char* row1;  // the row at the top of the ranges afterwards
    };
    const StepCase cases[] = {
        {"s", "s + 1", "s", "1|32001"},
        {"s", "s - 1", "s", "1|32000"},
        {"s", "2 + s", "s", "1|32002"},
        {"s", "s - 700", "s", "1|31302"},
        {"i", "i + 7", "i", "1|<null>"},
        {"i", "i - 7", "i", "1|<null>"},
        {"i", "7 + i", "i", "1|<null>"},
        {"i", "i + 2147483647", "i", "1|<null>"},
        {"w", "w + 1", "CAST(w AS INTEGER)", "1|65001"},
        {"w", "w - 1", "CAST(w AS INTEGER)", "1|65000"},
        {"i", "s + 1", "i", "1|31303"},
        {"s", "s + 0", "s", "1|31302"},
    };
    for (const StepCase& c : cases) {
        SCOPED_TRACE(c.value);
        const std::string read = std::string(c.read);
        const std::string value = read == c.column
                                      ? std::string(c.value)
                                      : "CAST(" + std::string(c.value) + " AS INTEGER)";
        const std::vector<std::string> expected =
            Select("SELECT id, " + value + " FROM steps ORDER BY id");
        EXPECT_EQ(Run("UPDATE steps SET " + std::string(c.column) + " = " + c.value), 6);
        const std::vector<std::string> written =
            Select("SELECT id, " + read + " FROM steps ORDER BY id");
        EXPECT_EQ(written, expected);
        ASSERT_EQ(written.size(), 6U);
        EXPECT_EQ(written[1], c.row1);
        // The indexes hold the new values: a range read through each finds every non-NULL row.
        EXPECT_EQ(Select("SELECT id FROM steps WHERE i >= -2147483647").size() +
                      Select("SELECT id FROM steps WHERE i IS NULL").size(),
                  6U);
        EXPECT_EQ(Select("SELECT id FROM steps WHERE s >= -32768").size() +
                      Select("SELECT id FROM steps WHERE s IS NULL").size(),
                  6U);
    }
}

// The bytes of a table's file outside the counters and the write time a header carries, which
// follow how often the file was flushed rather than what it holds.
std::vector<std::uint8_t> ContentBytes(
    const std::string& file, std::size_t header,
    std::initializer_list<std::pair<std::size_t, std::size_t>> skipped) {
    std::vector<std::uint8_t> bytes = testing_support::ReadBytes(file);
    for (const auto& [at, length] : skipped) {
        for (std::size_t k = at; k < at + length && k < header && k < bytes.size(); ++k) {
            bytes[k] = 0;
        }
    }
    return bytes;
}

// The two tables' data and index files hold the same bytes past the counters and write time.
void ExpectSameContent(const std::string& one, const std::string& other) {
    const auto data = [](const std::string& table) {
        return ContentBytes(table + ".DAT", 127, {{0, 4}, {27, 8}});
    };
    const std::vector<std::uint8_t> one_data = data(one);
    EXPECT_EQ(one_data.size(), data(other).size());
    EXPECT_TRUE(one_data == data(other));
    const auto index = [](const std::string& table) {
        return ContentBytes(table + ".IDX", 4096, {{0, 4}});
    };
    const std::vector<std::uint8_t> one_index = index(one);
    EXPECT_EQ(one_index.size(), index(other).size());
    EXPECT_TRUE(one_index == index(other));
}

// The lines of the verifier's report on a table that name an error.
std::vector<std::string> VerifierErrors(TDataDirectory& directory, const std::string& table) {
    std::vector<std::string> errors;
    TDataCursor check(directory);
    check.SetTableName(table);
    check.SetExclusive(true);
    RepairTable(check, true, 0, {}, [&](std::string_view line) {
        if (line.find("error") != std::string_view::npos) {
            errors.emplace_back(line);
        }
    });
    return errors;
}

struct ListRow {
    std::string item;
    std::string cat;
    std::int32_t n = 0;
};

// An integer field of a record read through `cursor`.
std::int32_t IntegerField(TDataCursor& cursor, std::span<const std::uint8_t> record,
                          std::uint32_t field) {
    std::array<std::uint8_t, 4> value{};
    bool is_null = true;
    cursor.GetField(field, record, is_null, value);
    return static_cast<std::int32_t>(GetU32(value, 0));
}

// What "UPDATE t SET n = n + 1 WHERE id % modulo = 3", "DELETE FROM t WHERE n = 4" and
// "DELETE FROM t WHERE id >= first_gone" do, made record by record through `cursor`.
void ChangeRecordByRecord(TDataCursor& cursor, std::int32_t modulo, std::int32_t first_gone) {
    std::vector<std::uint8_t> record(cursor.GetRecordSize());
    cursor.First();
    while (cursor.GetNextRecord(record) == kErrNone) {
        if (IntegerField(cursor, record, 1) % modulo == 3) {
            const std::int32_t n = IntegerField(cursor, record, 4) + 1;
            cursor.LockRecord(cursor.GetCurrentRecordNo());
            cursor.PutField(4, record, reinterpret_cast<const std::uint8_t*>(&n));
            cursor.ModifyRecord(record, true, false);
        }
    }
    for (const bool by_id : {false, true}) {
        cursor.First();
        while (cursor.GetNextRecord(record) == kErrNone) {
            if (by_id ? IntegerField(cursor, record, 1) >= first_gone
                      : IntegerField(cursor, record, 4) == 4) {
                cursor.DeleteRecord(record, false);
            }
        }
    }
}

// Inserts rows with ids 0 to count - 1 through a cursor, the other columns as `row` gives them.
void InsertListRows(TDataDirectory& directory, const std::string& table, std::int32_t count,
                    const std::function<ListRow(std::int32_t)>& row) {
    TDataCursor cursor(directory);
    cursor.SetTableName(table);
    cursor.Open();
    std::vector<std::uint8_t> record(cursor.GetRecordSize());
    for (std::int32_t i = 0; i < count; ++i) {
        const ListRow values = row(i);
        cursor.InitNewRecord(record);
        cursor.PutField(1, record, reinterpret_cast<const std::uint8_t*>(&i));
        cursor.PutField(2, record, reinterpret_cast<const std::uint8_t*>(values.item.c_str()));
        cursor.PutField(3, record, reinterpret_cast<const std::uint8_t*>(values.cat.c_str()));
        cursor.PutField(4, record, reinterpret_cast<const std::uint8_t*>(&values.n));
        cursor.InsertRecord(record, false);
    }
    cursor.Close();
}

// An UPDATE and a DELETE over many rows leave the files that the same changes made one record at
// a time through a cursor leave: the same records, free chain and index pages, byte for byte
// past the counters a flush moves, with flushes at the commit interval on the way, and both
// tables verify clean.
TEST_F(SqlExecution, BulkChangesLeaveTheFilesOfChangesMadeRecordByRecord) {
    for (const char* table : {"bulk", "single"}) {
        Run(std::string("CREATE TABLE ") + table +
            " (id INTEGER, item CHAR(40), cat CHAR(8), n INTEGER, note CHAR(30))");
        Run(std::string("CREATE NOCASE INDEX byitem ON ") + table + " (item)");
        Run(std::string("CREATE INDEX bycat ON ") + table + " (cat)");
        Run(std::string("CREATE INDEX byn ON ") + table + " (n)");
        InsertListRows(*directory_, table, 1200, [](std::int32_t i) {
            return ListRow{"member" + std::to_string(i * 7919 % 1009), "c" + std::to_string(i % 20),
                           i / 20 % 10};
        });
    }
    EXPECT_EQ(Run("UPDATE bulk SET n = n + 1 WHERE cat = 'c3' COMMIT INTERVAL 13"), 60);
    EXPECT_EQ(Run("DELETE FROM bulk WHERE n = 4 COMMIT INTERVAL 17"), 120);
    EXPECT_EQ(Run("DELETE FROM bulk WHERE id >= 1000"), 180);
    {
        TDataCursor cursor(*directory_);
        OpenSingleInRecordOrder(cursor, false);
        ChangeRecordByRecord(cursor, 20, 1000);
        cursor.Close();
    }
    OpenSession();
    ExpectSameContent(dir_.File("bulk"), dir_.File("single"));
    for (const char* table : {"bulk", "single"}) {
        SCOPED_TRACE(table);
        EXPECT_EQ(Select(std::string("SELECT id FROM ") + table).size(), 900u);
        EXPECT_EQ(Select(std::string("SELECT id FROM ") + table + " WHERE n = 4").size(), 0u);
        EXPECT_EQ(Select(std::string("SELECT id FROM ") + table + " WHERE cat = 'c3'").size(), 45u);
        EXPECT_EQ(VerifierErrors(*directory_, table), std::vector<std::string>{});
    }
}

// 64-bit FNV-1a of the bytes: a short name for a file's contents.
std::uint64_t Fingerprint(const std::vector<std::uint8_t>& bytes) {
    std::uint64_t hash = 14695981039346656037ull;
    for (const std::uint8_t b : bytes) {
        hash ^= b;
        hash *= 1099511628211ull;
    }
    return hash;
}

// Changes spread over many commit-interval flushes, rows freed and then reused last freed first
// (so that records change out of record order within a flush), rows changed again after a flush
// wrote them, and a statement whose flushes each cover a stretch of records: the data and index
// files must hold, past the counters and write time, the bytes this engine has always written
// for these statements (their fingerprints were taken from its files before the record flush
// and trim changed how they order records), after a reopen, and the table verifies clean.
TEST_F(SqlExecution, ChangesAcrossManyFlushesLeaveTheFilesTheEngineHasAlwaysWritten) {
    Run("CREATE TABLE t (id INTEGER, item CHAR(40), cat CHAR(8), n INTEGER, note CHAR(30))");
    Run("CREATE NOCASE INDEX byitem ON t (item)");
    Run("CREATE INDEX bycat ON t (cat)");
    Run("CREATE INDEX byn ON t (n)");
    InsertListRows(*directory_, "t", 3000, [](std::int32_t i) {
        return ListRow{"member" + std::to_string(i * 7919 % 3001), "c" + std::to_string(i % 20),
                       i / 7 % 10};
    });
    EXPECT_EQ(Run("UPDATE t SET n = n + 1, note = 'seen' WHERE cat = 'c3' COMMIT INTERVAL 11"),
              150);
    EXPECT_EQ(Run("DELETE FROM t WHERE n = 4 COMMIT INTERVAL 17"), 302);
    EXPECT_EQ(Run("UPDATE t SET note = 'again' WHERE cat = 'c3' OR cat = 'c4' COMMIT INTERVAL 23"),
              257);
    for (int i = 0; i < 40; ++i) {
        Run("INSERT INTO t VALUES (" + std::to_string(5000 + i) + ", 'late" + std::to_string(i) +
            "', 'c" + std::to_string(i % 3) + "', 4, 'reused')");
    }
    EXPECT_EQ(Run("DELETE FROM t WHERE id >= 2500 AND id < 2900"), 362);
    EXPECT_EQ(Run("UPDATE t SET n = n + 100 WHERE n < 3"), 777);
    OpenSession();
    const std::string table = dir_.File("t");
    EXPECT_EQ(Fingerprint(ContentBytes(table + ".DAT", 127, {{0, 4}, {27, 8}})),
              0x73e93206d42a1ef2ull);
    // The index file's since its splits followed keys that come in order.
    EXPECT_EQ(Fingerprint(ContentBytes(table + ".IDX", 4096, {{0, 4}})), 0x4329dc233e91fa3bull);
    EXPECT_EQ(Select("SELECT id FROM t").size(), 2376u);
    EXPECT_EQ(Select("SELECT id FROM t WHERE note = 'reused'").size(), 40u);
    EXPECT_EQ(VerifierErrors(*directory_, "t"), std::vector<std::string>{});
}

// The list table's layout (a compressed primary key beside plain indexes) through an index cache
// of a few pages, where most leaves stand packed when a row goes: DELETEs of scattered rows and
// of runs of neighbours, with commit-interval flushes on the way, leave the files that the same
// deletes made record by record through a cache that keeps every page leave, and both tables
// verify clean and read back alike.
TEST_F(SqlExecution, DeletesThroughASmallIndexCacheLeaveTheFilesOfDeletesRecordByRecord) {
    for (const char* table : {"bulk", "single"}) {
        const std::string t(table);
        Run("CREATE TABLE " + t +
            " (id INTEGER, item CHAR(40), cat CHAR(8), n INTEGER, PRIMARY KEY (id) COMPRESS FULL)");
        Run("CREATE NOCASE INDEX byitem ON " + t + " (item)");
        Run("CREATE INDEX bycat ON " + t + " (cat)");
        Run("CREATE INDEX byn ON " + t + " (n)");
        InsertListRows(*directory_, table, 3000, [](std::int32_t i) {
            return ListRow{"Member" + std::to_string(i * 7919 % 3001) + "@list.example",
                           "c" + std::to_string(i % 20), i / 20 % 10};
        });
    }
    TDataCursor held(*directory_);
    held.SetTableName("bulk");
    held.SetExclusive(false);
    held.Open();
    TIndexFile& index = held.Table()->IndexFile();
    index.SetPageCacheCapacity(3);
    const std::uint64_t packed_before = index.GetStatistics().packed_removals;
    EXPECT_EQ(Run("DELETE FROM bulk WHERE n = 9 COMMIT INTERVAL 37"), 300);
    EXPECT_EQ(Run("DELETE FROM bulk WHERE cat = 'c3' OR cat = 'c7' OR cat = 'c16'"), 405);
    EXPECT_GT(index.GetStatistics().packed_removals - packed_before, 100u);
    held.Close();
    {
        TDataCursor cursor(*directory_);
        OpenSingleInRecordOrder(cursor, false);
        std::vector<std::uint8_t> record(cursor.GetRecordSize());
        for (const bool by_n : {true, false}) {
            cursor.First();
            while (cursor.GetNextRecord(record) == kErrNone) {
                if (by_n ? IntegerField(cursor, record, 4) == 9
                         : std::set<std::int32_t>{3, 7, 16}.contains(
                               IntegerField(cursor, record, 1) % 20)) {
                    cursor.DeleteRecord(record, false);
                }
            }
        }
        cursor.Close();
    }
    OpenSession();
    ExpectSameContent(dir_.File("bulk"), dir_.File("single"));
    for (const char* table : {"bulk", "single"}) {
        SCOPED_TRACE(table);
        EXPECT_EQ(Select(std::string("SELECT id FROM ") + table).size(), 2295u);
        EXPECT_EQ(VerifierErrors(*directory_, table), std::vector<std::string>{});
    }
    EXPECT_EQ(Select("SELECT item, id FROM bulk ORDER BY item, id"),
              Select("SELECT item, id FROM single ORDER BY item, id"));
}

// A DELETE over a stretch of records that fits the read window reads each of them from the file
// at most once: its reads, one per stretch up to the next commit-interval flush, follow on from
// one another, and the rows it deletes, their checks and the flushes are all served from what it
// read. A second DELETE over the same stretch reads only the records beyond it: its flush takes
// the records the window holds from it rather than from the file.
TEST_F(SqlExecution, ADeleteReadsEachOfItsRecordsFromTheFileOnce) {
    Run("CREATE TABLE t (id INTEGER, item CHAR(40), cat CHAR(8), n INTEGER)");
    Run("CREATE INDEX byn ON t (n)");
    InsertListRows(*directory_, "t", 3000, [](std::int32_t i) {
        return ListRow{"member" + std::to_string(i), "c", i % 10};
    });
    TDataCursor held(*directory_);
    held.SetTableName("t");
    held.SetExclusive(false);
    held.Open();
    TDataFile& data = held.Table()->DataFile();
    const std::uint64_t rs = data.GetRecordSize();
    data.ClearRecordCache();
    const auto before = data.GetStatistics();
    EXPECT_EQ(Run("DELETE FROM t WHERE n = 3 COMMIT INTERVAL 29"), 300);
    const auto middle = data.GetStatistics();
    // Records 4 to 2994 and nothing twice.
    EXPECT_LE(middle.read_bytes - before.read_bytes, 2991 * rs);
    EXPECT_GE(middle.read_bytes - before.read_bytes, 2981 * rs);
    EXPECT_LE(middle.reads - before.reads, 300u / 29 + 1);
    EXPECT_GE(middle.hits - before.hits, 300u);
    EXPECT_EQ(Run("DELETE FROM t WHERE n = 7"), 300);
    EXPECT_LE(data.GetStatistics().read_bytes - middle.read_bytes, 6 * rs);
    held.Close();
    EXPECT_EQ(Select("SELECT id FROM t").size(), 2400u);
    EXPECT_EQ(VerifierErrors(*directory_, "t"), std::vector<std::string>{});
}

// A text field of up to 8 characters of a record read through `cursor`.
std::string ShortTextField(TDataCursor& cursor, std::span<const std::uint8_t> record,
                           std::uint32_t field) {
    std::array<std::uint8_t, 9> value{};
    bool is_null = true;
    cursor.GetField(field, record, is_null, value);
    return std::string(reinterpret_cast<const char*>(value.data()));
}

// A data file larger than a statement's read window has the stretches of rows ahead of a change
// asked for from the disk before they are read. An UPDATE of single rows far apart, a DELETE of
// short runs far apart and a DELETE of one long run, with commit-interval flushes on the way,
// leave the files that the same changes made record by record leave, and both tables verify
// clean.
TEST_F(SqlExecution, ChangesFarApartInALargeTableLeaveTheFilesOfChangesRecordByRecord) {
    std::string filler;
    for (int c = 1; c <= 64; ++c) {
        filler += ", w" + std::to_string(c) + " CHAR(250)";
    }
    constexpr std::int32_t kRows = 2200;
    for (const char* table : {"bulk", "single"}) {
        Run(std::string("CREATE TABLE ") + table +
            " (id INTEGER, item CHAR(40), cat CHAR(8), n INTEGER" + filler + ")");
        Run(std::string("CREATE NOCASE INDEX byitem ON ") + table + " (item)");
        Run(std::string("CREATE INDEX byn ON ") + table + " (n)");
        InsertListRows(*directory_, table, kRows, [](std::int32_t i) {
            return ListRow{"member" + std::to_string(i * 7919 % 2203), "c" + std::to_string(i % 40),
                           i / 3 % 10};
        });
    }
    {
        TDataCursor probe(*directory_);
        probe.SetTableName("bulk");
        probe.Open();
        TDataFile& data = probe.Table()->DataFile();
        ASSERT_GT(std::uint64_t{data.GetRecordSlots()} * data.GetRecordSize(), kChangeWindowBytes);
        probe.Close();
    }
    EXPECT_EQ(Run("UPDATE bulk SET n = n + 1 WHERE cat = 'c3' COMMIT INTERVAL 7"), 55);
    EXPECT_EQ(Run("DELETE FROM bulk WHERE n = 4 COMMIT INTERVAL 17"), 201);
    EXPECT_EQ(Run("DELETE FROM bulk WHERE id >= 1900"), 272);
    {
        TDataCursor cursor(*directory_);
        OpenSingleInRecordOrder(cursor, false);
        ChangeRecordByRecord(cursor, 40, 1900);
        cursor.Close();
    }
    OpenSession();
    // Past the counters and write time, and the writer's header-changed flags, which here
    // follow which of the flushes last changed a header.
    const auto same = [&](const char* extension, std::size_t header,
                          std::initializer_list<std::pair<std::size_t, std::size_t>> skipped) {
        SCOPED_TRACE(extension);
        const auto content = [&](const char* table) {
            return ContentBytes(dir_.File(table) + extension, header, skipped);
        };
        const std::vector<std::uint8_t> bulk = content("bulk");
        EXPECT_EQ(bulk.size(), content("single").size());
        EXPECT_TRUE(bulk == content("single"));
    };
    same(".DAT", 127, {{0, 4}, {27, 8}, {111, 1}});
    same(".IDX", 4096, {{0, 4}, {3979, 1}});
    for (const char* table : {"bulk", "single"}) {
        SCOPED_TRACE(table);
        EXPECT_EQ(Select(std::string("SELECT id FROM ") + table).size(), 1727u);
        EXPECT_EQ(Select(std::string("SELECT id FROM ") + table + " WHERE n = 4").size(), 0u);
        EXPECT_EQ(VerifierErrors(*directory_, table), std::vector<std::string>{});
    }
}

// DELETEs that take scattered rows, then a long run of neighbouring ones, then nearly all that
// are left, leave the files that the same deletes made record by record leave: leaves empty and
// merge, interior pages go and the trees lose levels in a primary index, a case-insensitive
// index whose keys repeat in other cases, a descending index over two columns and an index
// of a few repeated values. Both tables verify clean and read back alike.
TEST_F(SqlExecution, DeletesThatShrinkTheTreesLeaveTheFilesOfDeletesRecordByRecord) {
    struct Cut {
        const char* where;
        std::function<bool(std::int32_t id, std::int32_t n, const std::string& cat)> takes;
        std::int64_t rows;
    };
    const std::vector<Cut> cuts = {
        {"n = 3 COMMIT INTERVAL 11", [](std::int32_t, std::int32_t n, auto&) { return n == 3; },
         180},
        {"id >= 300 AND id < 1300",
         [](std::int32_t id, std::int32_t n, auto&) { return id >= 300 && id < 1300 && n != 3; },
         900},
        {"cat <> 'c7'",
         [](std::int32_t, std::int32_t, const std::string& cat) { return cat != "c7"; }, 661},
    };
    for (const char* table : {"bulk", "single"}) {
        Run(std::string("CREATE TABLE ") + table +
            " (id INTEGER, item CHAR(60), cat CHAR(8), n INTEGER, PRIMARY KEY (id))");
        Run(std::string("CREATE NOCASE INDEX byitem ON ") + table + " (item)");
        Run(std::string("CREATE DESCENDING INDEX byn ON ") + table + " (n, cat)");
        Run(std::string("CREATE INDEX bycat ON ") + table + " (cat)");
        InsertListRows(*directory_, table, 1800, [](std::int32_t i) {
            // The same item in two cases, so the case-insensitive index holds it twice.
            return ListRow{std::string(i % 2 == 0 ? "Member" : "mEMBER") +
                               std::to_string(i / 2 * 7919 % 1201) + "@list.example",
                           "c" + std::to_string(i % 12), i / 30 % 10};
        });
    }
    for (const Cut& cut : cuts) {
        EXPECT_EQ(Run(std::string("DELETE FROM bulk WHERE ") + cut.where), cut.rows) << cut.where;
    }
    {
        TDataCursor cursor(*directory_);
        OpenSingleInRecordOrder(cursor, false);
        std::vector<std::uint8_t> record(cursor.GetRecordSize());
        const auto number = [&](std::uint32_t field) {
            return IntegerField(cursor, record, field);
        };
        const auto text = [&](std::uint32_t field) {
            return ShortTextField(cursor, record, field);
        };
        for (const Cut& cut : cuts) {
            std::int64_t taken = 0;
            cursor.First();
            while (cursor.GetNextRecord(record) == kErrNone) {
                if (cut.takes(number(1), number(4), text(3))) {
                    cursor.DeleteRecord(record, false);
                    ++taken;
                }
            }
            EXPECT_EQ(taken, cut.rows) << cut.where;
        }
        cursor.Close();
    }
    OpenSession();
    ExpectSameContent(dir_.File("bulk"), dir_.File("single"));
    for (const char* table : {"bulk", "single"}) {
        SCOPED_TRACE(table);
        const std::string from = std::string(" FROM ") + table;
        EXPECT_EQ(Select("SELECT id" + from).size(), 59u);
        EXPECT_EQ(Select("SELECT id" + from + " WHERE cat = 'c7'").size(), 59u);
        EXPECT_EQ(Select("SELECT id" + from + " WHERE n = 3").size(), 0u);
        EXPECT_EQ(VerifierErrors(*directory_, table), std::vector<std::string>{});
    }
    EXPECT_EQ(Select("SELECT id, item, cat, n FROM bulk ORDER BY n DESC, cat DESC, id"),
              Select("SELECT id, item, cat, n FROM single ORDER BY n DESC, cat DESC, id"));
    EXPECT_EQ(Select("SELECT item, id FROM bulk ORDER BY item, id"),
              Select("SELECT item, id FROM single ORDER BY item, id"));
}

// DELETEs over indexes whose leaves are compressed (never merged when entries go) leave, after
// every statement, the files that the same deletes made record by record leave: scattered rows
// across several commit-interval flushes, runs of neighbouring rows that empty leaves, a
// statement stopped mid-interval by a row another cursor holds (the rows before it stay
// deleted) and nearly every row left. The indexes: a primary key, a case-insensitive index
// whose keys repeat in other cases, a descending index over two columns, one of a few repeated
// values and an uncompressed one beside them. Both tables verify clean after a reopen.
TEST_F(SqlExecution, DeletesOverCompressedIndexesLeaveTheFilesOfDeletesRecordByRecord) {
    using Takes = std::function<bool(std::int32_t id, std::int32_t n, const std::string& cat)>;
    struct Cut {
        const char* where;
        Takes takes;
        std::int64_t rows;
    };
    const std::vector<Cut> cuts = {
        {"cat = 'c5' COMMIT INTERVAL 13",
         [](std::int32_t, std::int32_t, const std::string& cat) { return cat == "c5"; }, 200},
        {"n = 3 COMMIT INTERVAL 11", [](std::int32_t, std::int32_t n, auto&) { return n == 3; },
         224},
        {"id >= 300 AND id < 1500 COMMIT INTERVAL 37",
         [](std::int32_t id, std::int32_t, auto&) { return id >= 300 && id < 1500; }, 0},
        {"cat <> 'c7'",
         [](std::int32_t, std::int32_t, const std::string& cat) { return cat != "c7"; }, 0},
    };
    for (const char* table : {"bulk", "single"}) {
        const std::string t(table);
        Run("CREATE TABLE " + t +
            " (id INTEGER, item CHAR(60), cat CHAR(8), n INTEGER, PRIMARY KEY (id) COMPRESS FULL)");
        Run("CREATE NOCASE INDEX byitem ON " + t + " (item) COMPRESS FULL");
        Run("CREATE DESCENDING INDEX byn ON " + t + " (n, cat) COMPRESS FULL");
        Run("CREATE INDEX bycat ON " + t + " (cat) COMPRESS FULL");
        Run("CREATE INDEX plainn ON " + t + " (n)");
        InsertListRows(*directory_, table, 2400, [](std::int32_t i) {
            return ListRow{std::string(i % 2 == 0 ? "Member" : "mEMBER") +
                               std::to_string(i / 2 * 7919 % 1601) + "@list.example",
                           "c" + std::to_string(i % 12), i / 30 % 10};
        });
    }
    session_->SetLockRetryCount(1);
    session_->SetLockWaitTime(10);
    std::int64_t left = 2400;
    for (const Cut& cut : cuts) {
        SCOPED_TRACE(cut.where);
        std::int64_t taken = 0;
        {
            TDataCursor cursor(*directory_);
            OpenSingleInRecordOrder(cursor, true);
            std::vector<std::uint8_t> record(cursor.GetRecordSize());
            const auto number = [&](std::uint32_t field) {
                return IntegerField(cursor, record, field);
            };
            const auto text = [&](std::uint32_t field) {
                return ShortTextField(cursor, record, field);
            };
            cursor.First();
            while (cursor.GetNextRecord(record) == kErrNone) {
                if (cut.takes(number(1), number(4), text(3))) {
                    cursor.DeleteRecord(record, false);
                    ++taken;
                }
            }
            cursor.Close();
        }
        const std::int64_t rows = Run(std::string("DELETE FROM bulk WHERE ") + cut.where);
        EXPECT_EQ(rows, taken);
        if (cut.rows != 0) {
            EXPECT_EQ(rows, cut.rows);
        }
        left -= taken;
        ExpectSameContent(dir_.File("bulk"), dir_.File("single"));
        EXPECT_EQ(Select("SELECT id FROM bulk").size(), static_cast<std::size_t>(left));
    }
    OpenSession();
    ExpectSameContent(dir_.File("bulk"), dir_.File("single"));
    for (const char* table : {"bulk", "single"}) {
        SCOPED_TRACE(table);
        const std::string from = std::string(" FROM ") + table;
        EXPECT_EQ(Select("SELECT id" + from).size(), static_cast<std::size_t>(left));
        EXPECT_EQ(Select("SELECT id" + from + " WHERE n = 3").size(), 0u);
        EXPECT_EQ(VerifierErrors(*directory_, table), std::vector<std::string>{});
    }
    EXPECT_EQ(Select("SELECT id, item, cat, n FROM bulk ORDER BY n DESC, cat DESC, id"),
              Select("SELECT id, item, cat, n FROM single ORDER BY n DESC, cat DESC, id"));
    EXPECT_EQ(Select("SELECT item, id FROM bulk ORDER BY item, id"),
              Select("SELECT item, id FROM single ORDER BY item, id"));
}

// A DELETE over compressed indexes that meets a row whose key one index lacks (a damaged index)
// stops there with 8965 mid-interval: the rows before it stay deleted and written, that row and
// those after it stay, and the files are those that deleting the same rows record by record
// until the failing one leaves. After a reopen the verifier reports the same damage in both,
// and nothing else.
TEST_F(SqlExecution, ADeleteStoppedByAMissingKeyKeepsTheRowsBeforeIt) {
    for (const char* table : {"bulk", "single"}) {
        const std::string t(table);
        Run("CREATE TABLE " + t +
            " (id INTEGER, item CHAR(40), cat CHAR(8), n INTEGER, PRIMARY KEY (id) COMPRESS FULL)");
        Run("CREATE NOCASE INDEX byitem ON " + t + " (item) COMPRESS FULL");
        Run("CREATE INDEX byn ON " + t + " (n) COMPRESS FULL");
        InsertListRows(*directory_, table, 900, [](std::int32_t i) {
            return ListRow{"member" + std::to_string(i * 7919 % 907), "c" + std::to_string(i % 5),
                           i % 3};
        });
        // The primary key of id 500 goes from its index behind the engine's back.
        TDataCursor cursor(*directory_);
        cursor.SetTableName(table);
        cursor.Open();
        TIndexFile& index = cursor.Table()->IndexFile();
        TIndexTree tree(index, 0, KeyCompare::Bytes(IndexKeySize(index.GetIndexDescriptor(0))));
        std::vector<std::uint8_t> damaged;
        std::uint32_t at = 0;
        tree.ForEach([&](std::span<const std::uint8_t> key, std::uint32_t) {
            if (at++ == 500) {
                damaged.assign(key.begin(), key.end());
            }
        });
        ASSERT_TRUE(tree.Delete(damaged.data()));
        cursor.FlushBuffers(false, true, true);
        cursor.Close();
    }
    try {
        Run("DELETE FROM bulk WHERE cat <> 'zz' COMMIT INTERVAL 23");
        ADD_FAILURE() << "the row without its key was deleted";
    } catch (const EStrataEngineError& error) {
        EXPECT_EQ(error.ErrorCode(), kErrIndexPageCorrupt);
    }
    {
        TDataCursor cursor(*directory_);
        OpenSingleInRecordOrder(cursor, true);
        std::vector<std::uint8_t> record(cursor.GetRecordSize());
        const auto number = [&](std::uint32_t field) {
            return IntegerField(cursor, record, field);
        };
        cursor.First();
        EngineErrorCode stopped = kErrNone;
        while (stopped == kErrNone && cursor.GetNextRecord(record) == kErrNone) {
            try {
                cursor.DeleteRecord(record, false);
            } catch (const EStrataEngineError& error) {
                stopped = error.ErrorCode();
                EXPECT_EQ(number(1), 500);
            }
        }
        EXPECT_EQ(stopped, kErrIndexPageCorrupt);
        cursor.Close();
    }
    OpenSession();
    ExpectSameContent(dir_.File("bulk"), dir_.File("single"));
    for (const char* table : {"bulk", "single"}) {
        SCOPED_TRACE(table);
        const std::string from = std::string(" FROM ") + table;
        EXPECT_EQ(Select("SELECT id" + from + " WHERE cat <> 'zz'").size(), 400u);
        // The undamaged indexes hold the rows left, and only those.
        EXPECT_EQ(Select("SELECT id, item" + from + " ORDER BY item").size(), 400u);
        EXPECT_EQ(Select("SELECT id" + from + " WHERE n = 2").size(), 134u);
        EXPECT_EQ(Select("SELECT id" + from + " WHERE n = 1 AND cat <> 'zz'").size(), 133u);
    }
    const std::vector<std::string> errors = VerifierErrors(*directory_, "bulk");
    EXPECT_FALSE(errors.empty());
    EXPECT_EQ(errors, VerifierErrors(*directory_, "single"));
}

// Rows (i, i % modulo) for i below `rows`, inserted through a cursor into a table whose first
// two fields are integers.
void InsertIdsAndRemainders(TDataDirectory& directory, const std::string& table, std::int32_t rows,
                            std::int32_t modulo) {
    TDataCursor cursor(directory);
    cursor.SetTableName(table);
    cursor.Open();
    std::vector<std::uint8_t> record(cursor.GetRecordSize());
    for (std::int32_t i = 0; i < rows; ++i) {
        cursor.InitNewRecord(record);
        std::array<std::byte, 4> value{};
        StoreInt32(value.data(), i);
        cursor.PutField(1, record, reinterpret_cast<const std::uint8_t*>(value.data()));
        StoreInt32(value.data(), i % modulo);
        cursor.PutField(2, record, reinterpret_cast<const std::uint8_t*>(value.data()));
        cursor.InsertRecord(record, false);
    }
}

TEST_F(SqlExecution, BulkChangesBesideRecordLocks) {
    Run("CREATE TABLE bulk (id INTEGER, n INTEGER)");
    InsertIdsAndRemainders(*directory_, "bulk", 300, 2);
    session_->SetLockRetryCount(1);
    session_->SetLockWaitTime(10);
    // Nobody else: every odd row changes at once.
    EXPECT_EQ(Run("UPDATE bulk SET n = n + 10 WHERE n = 1"), 150);

    // Another cursor holds row 1 (id 0, n 0).
    TDataCursor holder(*directory_);
    holder.SetTableName("bulk");
    holder.SetExclusive(false);
    holder.Open();
    holder.SetIndex(kNoIndex);
    holder.First();
    std::vector<std::uint8_t> held(holder.GetRecordSize());
    ASSERT_EQ(holder.GetNextRecord(held), kErrNone);
    holder.LockRecord(0);
    // Rows it does not hold change.
    EXPECT_EQ(Run("UPDATE bulk SET n = n + 10 WHERE n = 11"), 150);
    EXPECT_EQ(Run("DELETE FROM bulk WHERE n = 21 AND id > 200"), 50);
    // The held row stops a change that reaches it, with the error it always gave.
    try {
        Run("UPDATE bulk SET n = n + 1 WHERE n = 0");
        ADD_FAILURE() << "the held row was changed";
    } catch (const EStrataEngineError& error) {
        EXPECT_EQ(error.ErrorCode(), kErrRecordLocked);
    }
    holder.UnlockRecord(0);
    EXPECT_EQ(session_->LockRetryCount(), 1);
    EXPECT_EQ(session_->LockWaitTime(), 10);
    // No table lock is left behind: the other cursor locks a row the changes touched.
    ASSERT_EQ(holder.GetNextRecord(held), kErrNone);
    holder.LockRecord(0);
    holder.UnlockRecord(0);
    holder.Close();
    EXPECT_EQ(Select("SELECT id FROM bulk WHERE n = 21").size(), 100u);
    EXPECT_EQ(Select("SELECT id FROM bulk WHERE n = 0").size(), 150u);
}

// A row lock held through a second session of this program (its own directory object, file
// handles and locks) stops a bulk change as one held by another program does: the rows before
// the held one change, the held one stops the statement with the record-lock error, and no
// lock is left behind.
TEST_F(SqlExecution, BulkChangesBesideARecordLockOfAnotherSession) {
    Run("CREATE TABLE bulk (id INTEGER, n INTEGER)");
    Run("CREATE INDEX byn ON bulk (n)");
    InsertIdsAndRemainders(*directory_, "bulk", 400, 4);
    session_->SetLockRetryCount(1);
    session_->SetLockWaitTime(10);
    TDataSession other;
    other.SetPrivateDir(dir_.File("private"));
    TDataDirectory* other_directory = other.OpenDirectory("DB", dir_.Path().string());
    TDataCursor holder(*other_directory);
    holder.SetTableName("bulk");
    holder.SetExclusive(false);
    holder.Open();
    holder.SetIndex(kNoIndex);
    std::vector<std::uint8_t> held(holder.GetRecordSize());
    // Holds the row of id `id` (record id + 1).
    const auto hold = [&](std::int32_t id) {
        holder.First();
        for (std::int32_t i = 0; i <= id; ++i) {
            ASSERT_EQ(holder.GetNextRecord(held), kErrNone);
        }
        holder.LockRecord(0);
    };
    const auto code_of = [&](const std::string& sql) {
        try {
            Run(sql);
        } catch (const EStrataEngineError& error) {
            return error.ErrorCode();
        }
        return kErrNone;
    };
    // Row id 200 (n 0) is held: the DELETE removes ids 0, 4, ..., 196 and stops there.
    hold(200);
    EXPECT_EQ(code_of("DELETE FROM bulk WHERE n = 0"), kErrRecordLocked);
    EXPECT_EQ(Select("SELECT id FROM bulk WHERE n = 0").size(), 50u);
    // In record order the UPDATE reaches ids 1, 5, ..., 197 (n 1) before the held row.
    EXPECT_EQ(code_of("UPDATE bulk SET n = n + 10 WHERE n = 0 OR n = 1"), kErrRecordLocked);
    EXPECT_EQ(Select("SELECT id FROM bulk WHERE n = 11").size(), 50u);
    EXPECT_EQ(Select("SELECT id FROM bulk WHERE n = 10").size(), 0u);
    // Rows nobody holds change together.
    EXPECT_EQ(Run("UPDATE bulk SET n = n + 20 WHERE n = 2"), 100);
    EXPECT_EQ(Run("DELETE FROM bulk WHERE n = 22 AND id > 200"), 50);
    EXPECT_EQ(session_->LockRetryCount(), 1);
    EXPECT_EQ(session_->LockWaitTime(), 10);
    holder.UnlockRecord(0);
    // Nothing is left locked: the other session locks rows the statements touched, and this
    // one changes the row that was held.
    hold(199);
    holder.UnlockRecord(0);
    hold(200);
    holder.UnlockRecord(0);
    holder.Close();
    EXPECT_EQ(Run("DELETE FROM bulk WHERE n = 0"), 50);
    OpenSession();
    EXPECT_EQ(VerifierErrors(*directory_, "bulk"), std::vector<std::string>{});
    EXPECT_EQ(Select("SELECT id FROM bulk").size(), 400u - 50u - 50u - 50u);
}

// A row another cursor of the same table holds is not deleted from under it, by a bulk DELETE
// or by a cursor's own delete, as it is not by a session or program elsewhere; the holder
// deletes it itself.
TEST_F(SqlExecution, DeletesStopAtARowAnotherCursorOfTheTableHolds) {
    Run("CREATE TABLE bulk (id INTEGER, n INTEGER)");
    for (int i = 0; i < 100; ++i) {
        Run("INSERT INTO bulk VALUES (" + std::to_string(i) + ", " + std::to_string(i % 2) + ")");
    }
    session_->SetLockRetryCount(1);
    session_->SetLockWaitTime(10);
    const auto open = [&](TDataCursor& cursor, std::int32_t id) {
        cursor.SetTableName("bulk");
        cursor.SetExclusive(false);
        cursor.Open();
        cursor.SetIndex(kNoIndex);
        // Positioned on the row of `id`.
        std::vector<std::uint8_t> record(cursor.GetRecordSize());
        std::vector<std::uint8_t> value(4);
        bool is_null = true;
        cursor.First();
        while (cursor.GetNextRecord(record) == kErrNone) {
            cursor.GetField(1, record, is_null, value);
            if (!is_null && LoadInt32(reinterpret_cast<const std::byte*>(value.data())) == id) {
                return record;
            }
        }
        ADD_FAILURE() << "no row " << id;
        return record;
    };
    TDataCursor holder(*directory_);
    std::vector<std::uint8_t> held = open(holder, 60);
    ASSERT_EQ(holder.GetCurrentRecord(held, true), kErrNone);
    // Ids 0, 2, ..., 58 go; 60 stops the statement.
    try {
        Run("DELETE FROM bulk WHERE n = 0");
        ADD_FAILURE() << "the held row was deleted";
    } catch (const EStrataEngineError& error) {
        EXPECT_EQ(error.ErrorCode(), kErrRecordLocked);
    }
    EXPECT_EQ(Select("SELECT id FROM bulk WHERE n = 0").size(), 20u);
    {
        TDataCursor other(*directory_);
        const std::vector<std::uint8_t> record = open(other, 60);
        try {
            other.DeleteRecord(record, false);
            ADD_FAILURE() << "the held row was deleted";
        } catch (const EStrataEngineError& error) {
            EXPECT_EQ(error.ErrorCode(), kErrRecordLocked);
        }
    }
    // The holder's own delete takes the row and its lock.
    holder.DeleteRecord(held, false);
    holder.Close();
    EXPECT_EQ(Run("DELETE FROM bulk WHERE n = 0"), 19);
    TDataCursor again(*directory_);
    std::vector<std::uint8_t> record = open(again, 31);
    ASSERT_EQ(again.GetCurrentRecord(record, true), kErrNone);
    again.UnlockRecord(0);
    again.Close();
    OpenSession();
    EXPECT_EQ(VerifierErrors(*directory_, "bulk"), std::vector<std::string>{});
    EXPECT_EQ(Select("SELECT id FROM bulk").size(), 50u);
}

// A bulk change flushes at every commit interval but waits for the disk once, at its end: one
// sync for each file of the changed table, in both flush modes, and written through one more
// before its first flush, for the in-progress mark. A table of the directory the statement did
// not change is neither written nor synced, so other programs keep its caches.
TEST_F(SqlExecution, BulkChangesSyncTheChangedFilesOnceAndLeaveOtherTablesAlone) {
    Run("CREATE TABLE other (id INTEGER)");
    Run("INSERT INTO other VALUES (1)");
    TDataCursor held(*directory_);
    held.SetTableName("other");
    held.SetExclusive(false);
    held.Open();
    struct SyncCase {
        const char* sql;
        std::int32_t changed;
    };
    const SyncCase cases[] = {
        {"UPDATE big SET n = n + 10 WHERE n < 2 COMMIT INTERVAL 9", 100},
        {"UPDATE big SET n = n - 10 WHERE n >= 10", 100},
        {"DELETE FROM big WHERE n = 3 COMMIT INTERVAL 7", 50},
    };
    for (const bool force : {false, true}) {
        session_->SetForceBufferFlush(force);
        Run("CREATE TABLE big (id INTEGER, n INTEGER)");
        Run("CREATE INDEX byn ON big (n)");
        for (int i = 0; i < 200; ++i) {
            Run("INSERT INTO big VALUES (" + std::to_string(i) + ", " + std::to_string(i % 4) +
                ")");
        }
        // Held open, as the application holds its tables: a table's last close writes too.
        TDataCursor target(*directory_);
        target.SetTableName("big");
        target.SetExclusive(false);
        target.Open();
        for (const SyncCase& c : cases) {
            const std::uint32_t data_counter = held.Table()->DataCounter();
            const std::uint32_t index_counter = held.Table()->IndexCounter();
            const std::uint64_t before = TPhysicalFile::SyncCount();
            EXPECT_EQ(Run(c.sql), c.changed) << c.sql;
            EXPECT_EQ(TPhysicalFile::SyncCount() - before, force ? 3u : 2u)
                << c.sql << " force " << force;
            EXPECT_EQ(held.Table()->DataCounter(), data_counter) << c.sql;
            EXPECT_EQ(held.Table()->IndexCounter(), index_counter) << c.sql;
        }
        EXPECT_EQ(Select("SELECT id FROM big WHERE n < 3").size(), 150u);
        EXPECT_EQ(Select("SELECT id FROM big WHERE n >= 3").size(), 0u);
        target.Close();
        Run("DROP TABLE big");
    }
    held.Close();
}

// A row that fails after several flushes within the batch stops the change there: the rows
// before it stay changed, the files lose their in-progress mark (the table opens without
// complaint) and the table verifies clean, as after a big delete.
TEST_F(SqlExecution, ABulkChangeStoppedByAFailingRowLeavesASoundTable) {
    Run("CREATE TABLE t (a INTEGER, b INTEGER, PRIMARY KEY (a))");
    Run("CREATE UNIQUE INDEX byb ON t (b)");
    for (int a = 1; a <= 200; ++a) {
        Run("INSERT INTO t VALUES (" + std::to_string(a) + ", " +
            std::to_string(a == 200 ? 1060 : a) + ")");
    }
    const auto faults = [&] {
        OpenSession();
        return VerifierErrors(*directory_, "t");
    };
    // Row 60 would take the b of row 200.
    try {
        Run("UPDATE t SET b = a + 1000 WHERE a < 200 COMMIT INTERVAL 16");
        FAIL() << "no error";
    } catch (const EStrataEngineError& e) {
        EXPECT_EQ(e.ErrorCode(), kErrDuplicateKey);
    }
    EXPECT_EQ(faults(), std::vector<std::string>{});
    EXPECT_EQ(Select("SELECT a FROM t WHERE b > 1000").size(), 60u);
    EXPECT_EQ(Select("SELECT a FROM t WHERE b = a + 1000").size(), 59u);
    EXPECT_EQ(Run("DELETE FROM t WHERE a > 20 COMMIT INTERVAL 16"), 180);
    EXPECT_EQ(faults(), std::vector<std::string>{});
    EXPECT_EQ(Rows("t").size(), 20u);
}

// Fails every write made off the statement's thread (the flushes' helper) while set, as a
// full disk would.
std::atomic<bool> fail_helper_writes{false};
std::atomic<int> helper_writes_failed{0};
std::thread::id statement_thread;
void FailHelperWrites() {
    if (fail_helper_writes && std::this_thread::get_id() != statement_thread) {
        ++helper_writes_failed;
        RaiseEngineError(kErrWrite, "helper");
    }
}

// A bulk delete's flushes go out on a helper thread while it deletes on. Through an index
// cache of two pages per index, pages leave the cache and are read back between the flushes,
// possibly while their writes are still under way; and helper writes that fail are written
// again by the statement. The deletes must leave the index file the usual cache and sound
// writes leave, the rows the conditions spare, and tables that verify clean.
TEST_F(SqlExecution, BulkDeletesThroughATightIndexCacheLeaveTheUsualFiles) {
    const auto fill = [&](const std::string& table) {
        Run("CREATE TABLE " + table + " (id INTEGER, item CHAR(60), n INTEGER)");
        Run("CREATE INDEX byitem ON " + table + " (item)");
        Run("CREATE INDEX byn ON " + table + " (n)");
        for (int i = 0; i < 700; ++i) {
            Run("INSERT INTO " + table + " VALUES (" + std::to_string(i) + ", 'member" +
                std::to_string(i * 7919 % 1009) + "', " + std::to_string(i % 7) + ")");
        }
    };
    fill("tight");
    fill("usual");
    TDataCursor held(*directory_);
    held.SetTableName("tight");
    held.SetExclusive(false);
    held.Open();
    held.Table()->IndexFile().SetPageCacheCapacity(2);
    // Every write of the tight table's helper fails: the statement writes them again.
    statement_thread = std::this_thread::get_id();
    SetFileStepHook(FailHelperWrites);
    struct Unhook {
        ~Unhook() { SetFileStepHook(nullptr); }
    } unhook;
    for (const char* table : {"tight", "usual"}) {
        fail_helper_writes = std::string(table) == "tight";
        EXPECT_EQ(Run(std::string("DELETE FROM ") + table + " WHERE n = 3 COMMIT INTERVAL 7"), 100);
        EXPECT_EQ(Run(std::string("DELETE FROM ") + table + " WHERE id < 350 COMMIT INTERVAL 9"),
                  300);
    }
    SetFileStepHook(nullptr);
    EXPECT_GT(helper_writes_failed, 40);
    EXPECT_GT(held.Table()->IndexFile().GetStatistics().reads +
                  held.Table()->IndexFile().GetStatistics().packed_hits,
              0u);
    held.Close();
    OpenSession();
    EXPECT_TRUE(testing_support::ReadBytes(dir_.File("tight.IDX")) ==
                testing_support::ReadBytes(dir_.File("usual.IDX")));
    for (const char* table : {"tight", "usual"}) {
        SCOPED_TRACE(table);
        EXPECT_EQ(Select(std::string("SELECT id FROM ") + table + " WHERE n = 3").size(), 0u);
        EXPECT_EQ(Select(std::string("SELECT id FROM ") + table + " WHERE item >= 'member'").size(),
                  300u);
        EXPECT_EQ(VerifierErrors(*directory_, table), std::vector<std::string>{});
    }
}

// Fails the write on the statement's thread that comes when the count reaches zero.
std::atomic<int> statement_writes_before_failure{-1};
void FailCountedStatementWrite() {
    if (std::this_thread::get_id() == statement_thread && statement_writes_before_failure >= 0 &&
        statement_writes_before_failure-- == 0) {
        RaiseEngineError(kErrWrite, "counted");
    }
}

// A DELETE whose commit-interval flush fails part way through writing the freed records (kept
// beside the record cache until then) reports the failure, and the batch's last flush still
// writes every row it deleted: the table verifies clean, and once the statement is run again
// the files hold what the same DELETE run without a failure leaves.
TEST_F(SqlExecution, ADeleteWhoseFlushFailsLeavesEveryDeletedRowWrittenAndTheUsualFiles) {
    for (const char* table : {"failed", "usual"}) {
        Run(std::string("CREATE TABLE ") + table +
            " (id INTEGER, item CHAR(40), cat CHAR(8), n INTEGER)");
        Run(std::string("CREATE INDEX byn ON ") + table + " (n)");
        Run(std::string("CREATE NOCASE INDEX byitem ON ") + table + " (item)");
        // Stretches of seven rows far apart: each is a write of its own.
        InsertListRows(*directory_, table, 2000, [](std::int32_t i) {
            return ListRow{"member" + std::to_string(i * 7919 % 2003), "c", i / 7 % 40};
        });
    }
    statement_thread = std::this_thread::get_id();
    // The in-progress mark, the first stretch, then the second stretch fails.
    statement_writes_before_failure = 2;
    SetFileStepHook(FailCountedStatementWrite);
    struct Unhook {
        ~Unhook() {
            SetFileStepHook(nullptr);
            statement_writes_before_failure = -1;
        }
    } unhook;
    EXPECT_THROW(Run("DELETE FROM failed WHERE n = 4 COMMIT INTERVAL 20"), EStrataEngineError);
    SetFileStepHook(nullptr);
    EXPECT_LT(statement_writes_before_failure, 0);
    EXPECT_EQ(VerifierErrors(*directory_, "failed"), std::vector<std::string>{});
    // The 20 rows before the failed flush are gone, the other 36 stay.
    EXPECT_EQ(Select("SELECT id FROM failed WHERE n = 4").size(), 36u);
    EXPECT_EQ(Select("SELECT id FROM failed").size(), 1980u);
    EXPECT_EQ(Run("DELETE FROM failed WHERE n = 4 COMMIT INTERVAL 20"), 36);
    EXPECT_EQ(Run("DELETE FROM usual WHERE n = 4 COMMIT INTERVAL 20"), 56);
    OpenSession();
    ExpectSameContent(dir_.File("failed"), dir_.File("usual"));
    EXPECT_EQ(VerifierErrors(*directory_, "failed"), std::vector<std::string>{});
}

// Progress reaches every candidate row in turn and can stop the delete, both where the rows are
// read to be checked and where an index filter holding the whole condition gives them.
TEST_F(SqlExecution, ProgressCanStopADelete) {
    Run("CREATE TABLE t (a INTEGER)");
    Run("CREATE INDEX bya ON t (a)");
    for (const char* sql : {"DELETE FROM t", "DELETE FROM t WHERE a >= 0"}) {
        Run("DELETE FROM t");
        for (int i = 0; i < 5; ++i) {
            Run("INSERT INTO t VALUES (" + std::to_string(i) + ")");
        }
        TQueryStatement statement(directory_);
        std::size_t offset = 0;
        statement.Prepare(sql, offset);
        std::vector<int> percents;
        statement.SetProgressCallback([&](std::int64_t row, int percent) {
            percents.push_back(percent);
            return row < 3;
        });
        statement.Execute();
        EXPECT_EQ(percents, (std::vector<int>{20, 40, 60})) << sql;
        EXPECT_EQ(statement.GetResultCount(), 2) << sql << ": the row the stop came with stays";
        EXPECT_EQ(Rows("t").size(), 3u) << sql;
    }
}

}  // namespace
}  // namespace strata

namespace strata {
namespace {

class SqlBlobExecution : public SqlExecution {};

TEST_F(SqlBlobExecution, MemoValuesAreWrittenAndReplaced) {
    Run("CREATE TABLE m (a INTEGER, note BLOB(1, 1))");
    Run("INSERT INTO m VALUES (1, 'first text')");
    Run("UPDATE m SET note = 'second' WHERE a = 1");
    OpenSession();
    TDataCursor cursor(*directory_);
    cursor.SetTableName("m");
    cursor.Open();
    std::vector<std::uint8_t> record(cursor.GetRecordSize());
    cursor.First();
    ASSERT_EQ(cursor.GetNextRecord(record), kErrNone);
    ASSERT_EQ(cursor.OpenBlob(2, record, 0), kErrNone);
    std::uint32_t size = 0;
    ASSERT_EQ(cursor.GetBlobSize(2, record, size), kErrNone);
    std::string text(size, '\0');
    std::uint32_t read = 0;
    ASSERT_EQ(
        cursor.ReadBlob(2, record, read, size, reinterpret_cast<std::uint8_t*>(text.data()), 0),
        kErrNone);
    EXPECT_EQ(text, "second");
    cursor.FreeBlobs();
}

// A table with memos keeps three files; a bulk change syncs each of them once, the syncs
// running side by side (written through, after the in-progress mark's own sync), and every memo
// written is there for the next session.
TEST_F(SqlBlobExecution, BulkChangesOfATableWithMemosSyncEachFileOnce) {
    for (const bool force : {false, true}) {
        session_->SetForceBufferFlush(force);
        Run("CREATE TABLE m (a INTEGER, note BLOB(1, 1))");
        for (int a = 0; a < 120; ++a) {
            Run("INSERT INTO m VALUES (" + std::to_string(a) + ", 'memo " + std::to_string(a) +
                "')");
        }
        TDataCursor target(*directory_);
        target.SetTableName("m");
        target.SetExclusive(false);
        target.Open();
        std::uint64_t before = TPhysicalFile::SyncCount();
        EXPECT_EQ(Run("UPDATE m SET note = 'changed' WHERE a < 100 COMMIT INTERVAL 30"), 100);
        EXPECT_EQ(TPhysicalFile::SyncCount() - before, force ? 4u : 3u) << force;
        before = TPhysicalFile::SyncCount();
        EXPECT_EQ(Run("DELETE FROM m WHERE a >= 110"), 10);
        EXPECT_EQ(TPhysicalFile::SyncCount() - before, force ? 4u : 3u) << force;
        target.Close();
        OpenSession();
        TDataCursor cursor(*directory_);
        cursor.SetTableName("m");
        cursor.Open();
        std::vector<std::uint8_t> record(cursor.GetRecordSize());
        std::int32_t rows = 0;
        std::int32_t changed = 0;
        cursor.First();
        while (cursor.GetNextRecord(record) == kErrNone) {
            ++rows;
            ASSERT_EQ(cursor.OpenBlob(2, record, 0), kErrNone);
            std::uint32_t size = 0;
            ASSERT_EQ(cursor.GetBlobSize(2, record, size), kErrNone);
            std::string text(size, '\0');
            std::uint32_t read = 0;
            ASSERT_EQ(cursor.ReadBlob(2, record, read, size,
                                      reinterpret_cast<std::uint8_t*>(text.data()), 0),
                      kErrNone);
            changed += text == "changed" ? 1 : 0;
            cursor.FreeBlobs();
        }
        EXPECT_EQ(rows, 110) << force;
        EXPECT_EQ(changed, 100) << force;
        cursor.Close();
        Run("DROP TABLE m");
    }
}

}  // namespace
}  // namespace strata

namespace strata {
namespace {

class SqlAlterTable : public sqltest::SqlExecution {};

// Kept columns keep their data wherever they move; new columns start empty.
TEST_F(SqlAlterTable, ColumnsKeepTheirDataAcrossRestructure) {
    Run("CREATE TABLE t (a INTEGER, b CHAR(5), c INTEGER, PRIMARY KEY (a))");
    Run("INSERT INTO t VALUES (1, 'x', 10)");
    Run("INSERT INTO t VALUES (2, 'y', 20)");
    Run("ALTER TABLE t DROP b, ADD d INTEGER AT 1, REDEFINE c cc INTEGER NOBACKUP");
    EXPECT_EQ(Rows("t"), (std::vector<std::string>{"<null>|1|10", "<null>|2|20"}));
    OpenSession();
    {
        TDataCursor cursor(*directory_);
        cursor.SetTableName("t");
        cursor.Open();
        ASSERT_EQ(cursor.GetFieldCount(), 3);
        EXPECT_EQ(FieldName(cursor.GetFieldDesc(1)), "d");
        EXPECT_EQ(FieldName(cursor.GetFieldDesc(3)), "cc");
        EXPECT_FALSE(cursor.HasNoPrimaryIndex());
    }
    Run("ALTER TABLE t DROP PRIMARY KEY");
    Run("ALTER TABLE t ADD PRIMARY KEY (cc)");
    EXPECT_EQ(Rows("t").size(), 2u);
}

TEST_F(SqlAlterTable, RefusesBadItemsAndLeavesTheTable) {
    Run("CREATE TABLE t (a INTEGER, b CHAR(5), c INTEGER, PRIMARY KEY (a))");
    Run("INSERT INTO t VALUES (1, 'x', 10)");
    const std::vector<std::pair<const char*, const char*>> cases = {
        {"ALTER TABLE t ADD e INTEGER AT 9", "AT column position must be between 1 and 3"},
        {"ALTER TABLE t ADD e INTEGER AT 0", "AT column position must be between 1 and 3"},
        {"ALTER TABLE t ADD PRIMARY KEY (b)",
         "Cannot REDEFINE the primary key using the ADD keyword"},
        {"ALTER TABLE t DROP zz", "Column zz not found"},
    };
    for (const auto& [sql, message] : cases) {
        const char* statement = sql;
        EXPECT_EQ(sqltest::SqlError([&] { Run(statement); }), message) << sql;
    }
    // A dropped column an index still uses is named in the engine's invalid-field error.
    Run("CREATE INDEX byc ON t (c)");
    for (const char* column : {"c", "a"}) {
        try {
            Run(std::string("ALTER TABLE t DROP ") + column);
            ADD_FAILURE() << "no error dropping " << column;
        } catch (const EStrataEngineError& e) {
            EXPECT_EQ(e.ErrorCode(), kErrInvalidField);
            EXPECT_NE(std::string(e.what()).find("Invalid field number or name '" +
                                                 std::string(column) + "' specified for table"),
                      std::string::npos)
                << e.what();
        }
    }
    EXPECT_EQ(Rows("t"), (std::vector<std::string>{"1|x|10"}));
}

// An ALTER TABLE the engine refuses part way (an item after good ones names a column twice,
// renames onto another column, drops every column; an option the table cannot take) changes
// nothing: columns, rows and memos stay, and the next ALTER finds the table free.
TEST_F(SqlAlterTable, RefusalsPartWayLeaveTheTableAsItWas) {
    Run("CREATE TABLE t (a INTEGER, b CHAR(5), m BLOB(1, 1), PRIMARY KEY (a))");
    Run("INSERT INTO t VALUES (1, 'x', 'memo one')");
    Run("INSERT INTO t VALUES (2, 'y', NULL)");
    const std::vector<std::string> rows = {"1|x|memo one", "2|y|<null>"};
    const std::vector<std::pair<std::string, EngineErrorCode>> cases = {
        {"ALTER TABLE t ADD d INTEGER, ADD d INTEGER", kErrInvalidFieldName},
        {"ALTER TABLE t ADD c INTEGER, ADD b INTEGER", kErrInvalidFieldName},
        {"ALTER TABLE t ADD c INTEGER, REDEFINE a b INTEGER", kErrInvalidFieldName},
        {"ALTER TABLE t DROP b, DROP m, DROP a", kErrInvalidField},
        {"ALTER TABLE t ADD c INTEGER ENCRYPTED WITH '0123456789abcdefgh'", kErrInvalidPassword},
        {"ALTER TABLE t ADD c INTEGER BLOB BLOCK SIZE 10", kErrBlobLimit},
        {"ALTER TABLE t ADD c INTEGER, DROP zz", kErrSql},
    };
    for (const auto& [sql, code] : cases) {
        try {
            Run(sql);
            ADD_FAILURE() << "no error: " << sql;
        } catch (const EStrataEngineError& e) {
            EXPECT_EQ(e.ErrorCode(), code) << sql << ": " << e.what();
        }
        EXPECT_EQ(Rows("t"), rows) << sql;
    }
    Run("ALTER TABLE t ADD c INTEGER");
    EXPECT_EQ(Rows("t"), (std::vector<std::string>{"1|x|memo one|<null>", "2|y|<null>|<null>"}));
}

}  // namespace
}  // namespace strata
