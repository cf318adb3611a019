// The same generated SELECT statements over the same random data, run here and by SQLite
// (through python3's sqlite3 module, used only by this test), must give the same rows. The
// statements stay within the constructs where both define the same result. This engine's rules
// differ where NULL meets = and <> (NULL = NULL holds, NULL <> 1 holds), under NOT (a failed
// comparison with NULL is false, so NOT makes it true) and for AVG over integers (the average
// keeps the integer type): the generator uses no <> and no NOT, joins on a column that is never
// NULL and takes no AVG. Those rules have their own tests in select_exec_test.cpp. Every query
// also runs asked for a live result, which must hold the same rows.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "sql_execution_fixture.h"
#include "sql_test_support.h"

namespace strata {
namespace {

using Strings = std::vector<std::string>;

constexpr const char* kSqliteRunner = R"PY(
import sqlite3, sys
lines = open(sys.argv[1]).read().split('\n')
db = sqlite3.connect(':memory:')
out = []
for line in lines:
    if not line:
        continue
    kind, sql = line[0], line[2:]
    if kind == 'X':
        db.execute(sql)
        continue
    rows = db.execute(sql).fetchall()
    out.append('#')
    for row in rows:
        out.append('|'.join('<null>' if v is None else str(v) for v in row))
print('\n'.join(out))
)PY";

std::string Value(std::mt19937& random) {
    return random() % 5 == 0 ? "NULL" : std::to_string(random() % 6);
}

std::string Condition(std::mt19937& random, const std::vector<std::string>& columns, int depth) {
    if (depth > 0 && random() % 2 == 0) {
        return "(" + Condition(random, columns, depth - 1) +
               (random() % 2 == 0 ? " AND " : " OR ") + Condition(random, columns, depth - 1) + ")";
    }
    const std::string& column = columns[random() % columns.size()];
    static const char* const kOperators[] = {"=", "<", ">", "<=", ">=", "="};
    switch (random() % 8) {
        case 0:
            return column + " IS NULL";
        case 1:
            return column + " IS NOT NULL";
        default:
            return column + " " + kOperators[random() % 6] + " " + std::to_string(random() % 6);
    }
}

std::string Query(std::mt19937& random) {
    const std::vector<std::string> t_columns = {"t.a", "t.b", "t.c"};
    const std::vector<std::string> all_columns = {"t.a", "t.b", "t.c", "u.k", "u.v"};
    const std::string where_t = Condition(random, t_columns, 2);
    switch (random() % 8) {
        case 0:
            return "SELECT t.a, t.b FROM t WHERE " + where_t;
        case 1:
            return "SELECT t.a, u.v FROM t, u WHERE t.a = u.k AND " + where_t;
        case 2:
            return "SELECT t.a, t.b, u.v FROM t LEFT JOIN u ON t.b = u.k WHERE " +
                   Condition(random, all_columns, 1);
        case 3:
            return "SELECT t.b, COUNT(*), SUM(t.c), MIN(t.a), MAX(t.c) FROM t WHERE " + where_t +
                   " GROUP BY t.b";
        case 4:
            return "SELECT t.b, COUNT(t.c) FROM t GROUP BY t.b HAVING COUNT(t.c) > " +
                   std::to_string(random() % 4);
        case 5:
            return "SELECT DISTINCT t.a, t.b FROM t WHERE " + where_t;
        case 6:
            return "SELECT t.a, t.c FROM t WHERE " + where_t + " ORDER BY t.a, t.c DESC";
        default:
            return "SELECT COUNT(*), COUNT(t.a), SUM(t.b), MAX(t.a) FROM t WHERE " + where_t;
    }
}

class SelectDifferential : public sqltest::SqlExecution {
  protected:
    // Runs the setup statements here and in SQLite, then every query in both, and compares the
    // rows: in order under ORDER BY, as multisets otherwise.
    // `sqlite_only` statements run in SQLite alone, first (its settings).
    void CompareWithSqlite(const std::vector<std::string>& setup,
                           const std::vector<std::string>& queries,
                           const std::vector<std::string>& sqlite_only = {}) {
        std::ostringstream script;
        for (const std::string& sql : sqlite_only) {
            script << "X " << sql << "\n";
        }
        for (const std::string& sql : setup) {
            Run(sql);
            script << "X " << sql << "\n";
        }
        // Each query runs canned and asked for a live result, which the one-table ones get.
        std::vector<Strings> ours;
        std::vector<Strings> ours_live;
        for (const std::string& sql : queries) {
            ours.push_back(Select(sql));
            ours_live.push_back(Select(sql, -1, true));
            script << "Q " << sqltest::SqliteLikePatterns(sql) << "\n";
        }
        const std::string script_file = dir_.File("differential.txt");
        const std::string runner_file = dir_.File("runner.py");
        std::ofstream(script_file) << script.str();
        std::ofstream(runner_file) << kSqliteRunner;
        FILE* pipe = ::popen(("python3 " + runner_file + " " + script_file).c_str(), "r");
        ASSERT_NE(pipe, nullptr);
        std::string output;
        char chunk[4096];
        while (std::size_t n = std::fread(chunk, 1, sizeof chunk, pipe)) {
            output.append(chunk, n);
        }
        ASSERT_EQ(::pclose(pipe), 0) << output;
        std::vector<Strings> theirs;
        std::istringstream lines(output);
        for (std::string line; std::getline(lines, line);) {
            if (line == "#") {
                theirs.emplace_back();
            } else if (!theirs.empty()) {
                theirs.back().push_back(line);
            }
        }
        ASSERT_EQ(theirs.size(), queries.size());
        for (std::size_t i = 0; i < queries.size(); ++i) {
            Strings expected = theirs[i];
            Strings got = ours[i];
            Strings got_live = ours_live[i];
            if (queries[i].find("ORDER BY") == std::string::npos) {
                std::sort(expected.begin(), expected.end());
                std::sort(got.begin(), got.end());
                std::sort(got_live.begin(), got_live.end());
            }
            EXPECT_EQ(got, expected) << queries[i];
            EXPECT_EQ(got_live, expected) << "live: " << queries[i];
        }
    }

    static bool SqliteAvailable() {
        return std::system("python3 -c 'import sqlite3' > /dev/null 2>&1") == 0;
    }
};

TEST_F(SelectDifferential, GeneratedSelectsMatchSqlite) {
    if (!SqliteAvailable()) {
        GTEST_SKIP() << "python3 with sqlite3 is not available";
    }
    std::mt19937 random(7);
    std::vector<std::string> setup = {"CREATE TABLE t (a INTEGER, b INTEGER, c INTEGER)",
                                      "CREATE TABLE u (k INTEGER, v INTEGER)"};
    for (int i = 0; i < 40; ++i) {
        setup.push_back("INSERT INTO t VALUES (" + Value(random) + ", " + Value(random) + ", " +
                        Value(random) + ")");
    }
    for (int i = 0; i < 12; ++i) {
        setup.push_back("INSERT INTO u VALUES (" + std::to_string(random() % 6) + ", " +
                        Value(random) + ")");
    }
    std::vector<std::string> queries;
    for (int i = 0; i < 150; ++i) {
        queries.push_back(Query(random));
    }
    CompareWithSqlite(setup, queries);
}

// One comparison or null test on an indexed or plain column, with the operators on which both
// engines agree over NULL.
std::string IndexedCondition(std::mt19937& random, const std::vector<std::string>& columns) {
    const std::string& column = columns[random() % columns.size()];
    const std::string n = std::to_string(random() % 6);
    switch (random() % 10) {
        case 0:
            return column + " IS NULL";
        case 1:
            return column + " IS NOT NULL";
        case 2:
            return column + " BETWEEN " + n + " AND " + std::to_string(random() % 6);
        case 3:
            return column + " IN (" + n + ", " + std::to_string(random() % 6) + ")";
        case 4:
            return column + " < " + n;
        case 5:
            return column + " >= " + n;
        case 6:
            return column + " <= " + n;
        case 7:
            return column + " > " + n;
        default:
            return column + " = " + n;
    }
}

std::string IndexedWhere(std::mt19937& random, const std::vector<std::string>& columns, int depth) {
    if (depth > 0 && random() % 3 != 0) {
        return "(" + IndexedWhere(random, columns, depth - 1) +
               (random() % 3 == 0 ? " OR " : " AND ") + IndexedWhere(random, columns, depth - 1) +
               ")";
    }
    return IndexedCondition(random, columns);
}

std::string IndexedJoinQuery(std::mt19937& random) {
    const std::vector<std::string> t_columns = {"t.a", "t.b", "t.c"};
    const std::vector<std::string> u_columns = {"u.v", "u.w"};
    const std::vector<std::string> tu_columns = {"t.a", "t.b", "u.v", "u.w"};
    const std::vector<std::string> x_columns = {"x.z", "t.a", "u.v"};
    switch (random() % 10) {
        case 0:
            return "SELECT t.id, t.a FROM t WHERE " + IndexedWhere(random, t_columns, 2);
        case 1:
            return "SELECT t.id, u.v FROM t, u WHERE t.id = u.k AND " +
                   IndexedWhere(random, tu_columns, 2);
        case 2:
            return "SELECT t.id, t.b, u.v, u.w FROM t INNER JOIN u ON t.b = u.k WHERE " +
                   IndexedWhere(random, tu_columns, 2);
        case 3:
            // LEFT joins with conditions on the inner side, null-rejecting or not.
            return "SELECT t.id, u.k, u.v FROM t LEFT JOIN u ON t.b = u.k WHERE " +
                   IndexedWhere(random, tu_columns, 2);
        case 4:
            return "SELECT t.id, u.v FROM t LEFT JOIN u ON t.id = u.k WHERE " +
                   IndexedWhere(random, u_columns, 1) + " OR u.v IS NULL";
        case 5:
            return "SELECT t.id, u.w FROM t LEFT JOIN u ON t.id = u.k AND " +
                   IndexedCondition(random, u_columns) + " WHERE " +
                   IndexedWhere(random, t_columns, 1);
        case 6:
            return "SELECT t.id, u.k, x.z FROM t, u, x WHERE t.id = u.k AND u.v = x.k AND " +
                   IndexedWhere(random, x_columns, 1);
        case 7:
            return "SELECT COUNT(*) FROM t WHERE " + IndexedWhere(random, t_columns, 2);
        case 8:
            return "SELECT t.b, COUNT(*), MIN(u.w) FROM t, u WHERE t.b = u.k AND " +
                   IndexedWhere(random, tu_columns, 1) + " GROUP BY t.b";
        default:
            return "SELECT t.id, t.a, u.v FROM t LEFT JOIN u ON t.a = u.k WHERE " +
                   IndexedWhere(random, tu_columns, 1) + " ORDER BY t.id, u.v";
    }
}

// The same with indexes on the filtered and joined columns, so that conditions reach the
// tables as index-answered cursor filters, and with LEFT joins whose inner side carries
// WHERE conditions.
TEST_F(SelectDifferential, JoinsOverIndexedColumnsMatchSqlite) {
    if (!SqliteAvailable()) {
        GTEST_SKIP() << "python3 with sqlite3 is not available";
    }
    std::mt19937 random(11);
    std::vector<std::string> setup = {
        "CREATE TABLE t (id INTEGER, a INTEGER, b INTEGER, c INTEGER, PRIMARY KEY (id))",
        "CREATE INDEX ta ON t (a)",
        "CREATE INDEX tb ON t (b)",
        "CREATE TABLE u (k INTEGER, v INTEGER, w INTEGER)",
        "CREATE INDEX uk ON u (k)",
        "CREATE INDEX uv ON u (v)",
        "CREATE TABLE x (k INTEGER, z INTEGER)",
        "CREATE INDEX xk ON x (k)"};
    for (int i = 1; i <= 60; ++i) {
        setup.push_back("INSERT INTO t VALUES (" + std::to_string(i) + ", " + Value(random) + ", " +
                        Value(random) + ", " + Value(random) + ")");
    }
    for (int i = 0; i < 25; ++i) {
        // Join keys are never NULL, where the two engines' equality differs.
        setup.push_back("INSERT INTO u VALUES (" + std::to_string(random() % 30) + ", " +
                        Value(random) + ", " + Value(random) + ")");
    }
    for (int i = 0; i < 10; ++i) {
        setup.push_back("INSERT INTO x VALUES (" + std::to_string(random() % 6) + ", " +
                        Value(random) + ")");
    }
    std::vector<std::string> queries;
    for (int i = 0; i < 200; ++i) {
        queries.push_back(IndexedJoinQuery(random));
    }
    CompareWithSqlite(setup, queries);
}

// A short text of letters in both cases and LIKE's own characters.
std::string Text(std::mt19937& random, std::size_t longest = 4) {
    static const char kLetters[] = {'a', 'A', 'b', 'B', '_', '%', 'z'};
    std::string text;
    const std::size_t length = 1 + random() % longest;
    for (std::size_t i = 0; i < length; ++i) {
        text.push_back(kLetters[random() % sizeof kLetters]);
    }
    return text;
}

std::string TextOrNull(std::mt19937& random, std::size_t longest = 4) {
    return random() % 6 == 0 ? "NULL" : "'" + Text(random, longest) + "'";
}

std::string TextQuery(std::mt19937& random) {
    static const char* const kPatterns[] = {"a%",  "A%", "ab%", "aB%", "a_%", "a%%",
                                            "%",   "_%", "a%b", "ab",  "zz%", "z%",
                                            "_a%", "%a", "b%",  "B%",  "%_%", "aaaaaaaaaaaaaaaa%"};
    const std::string pattern =
        random() % 3 == 0 ? Text(random) + "%" : kPatterns[random() % std::size(kPatterns)];
    const std::string column = random() % 2 == 0 ? "name" : "cat";
    switch (random() % 10) {
        case 0:
            return "SELECT DISTINCT " + column + " FROM s";
        case 8:
            return "SELECT " + column +
                   ", COUNT(*), SUM(n), MIN(n), MAX(id), COUNT(tag) FROM s GROUP BY " + column;
        case 9:
            return "SELECT cat, tag, COUNT(n) FROM s WHERE name LIKE '" + pattern +
                   "' GROUP BY cat, tag ORDER BY cat, tag";
        case 7: {
            // Columns whose indexes hold the values: the texts with case, numbers.
            static const char* const kIndexed[] = {"tag", "n", "id"};
            return std::string("SELECT DISTINCT ") + kIndexed[random() % 3] + " FROM s";
        }
        case 1:
            return "SELECT DISTINCT cat, name FROM s WHERE id > " + std::to_string(random() % 40);
        case 2:
            return "SELECT id, name, cat FROM s WHERE " + column + " LIKE '" + pattern + "'";
        case 3:
            return "SELECT DISTINCT cat FROM s WHERE name LIKE '" + pattern + "'";
        case 4:
            return "SELECT id, cat FROM s WHERE " + column + " = '" + Text(random) + "'";
        case 5:
            return "SELECT COUNT(*) FROM s WHERE " + column + " LIKE '" + pattern + "'";
        default:
            return "SELECT id FROM s WHERE " + column + " LIKE '" + pattern + "' AND id < " +
                   std::to_string(random() % 60);
    }
}

// Text columns whose only indexes ignore case, with records deleted among them: DISTINCT,
// LIKE patterns (prefixes at the edges of the index's ranges, '_' and '%' in patterns and in
// values) and case-sensitive equalities keep SQLite's rows.
TEST_F(SelectDifferential, TextsOverCaseInsensitiveIndexesMatchSqlite) {
    if (!SqliteAvailable()) {
        GTEST_SKIP() << "python3 with sqlite3 is not available";
    }
    std::mt19937 random(23);
    const std::string table =
        "CREATE TABLE s (id INTEGER, name CHAR(12), cat CHAR(8), tag CHAR(6), n INTEGER, "
        "PRIMARY KEY (id))";
    Run(table);
    Run("CREATE NOCASE INDEX sname ON s (name)");
    Run("CREATE NOCASE INDEX scat ON s (cat)");
    Run("CREATE INDEX stag ON s (tag)");
    Run("CREATE DESCENDING INDEX sn ON s (n, tag)");
    std::vector<std::string> setup;
    for (int i = 1; i <= 80; ++i) {
        // Names long and short: keys of one word and of more.
        setup.push_back("INSERT INTO s VALUES (" + std::to_string(i) + ", " +
                        TextOrNull(random, i % 3 == 0 ? 11 : 4) + ", " + TextOrNull(random) + ", " +
                        TextOrNull(random) + ", " + Value(random) + ")");
    }
    for (int i = 0; i < 6; ++i) {
        setup.push_back("DELETE FROM s WHERE cat = '" + Text(random) + "'");
        setup.push_back("DELETE FROM s WHERE tag = '" + Text(random) + "'");
    }
    setup.push_back("DELETE FROM s WHERE id > 70");
    std::vector<std::string> queries;
    for (int i = 0; i < 150; ++i) {
        queries.push_back(TextQuery(random));
    }
    // LIKE compares with case here.
    CompareWithSqlite(setup, queries, {"PRAGMA case_sensitive_like = ON", table});
}

// UPPER and LOWER of a text column compared with a text, narrowed through the column's index
// that ignores case and then checked exactly: equal, prefix and other LIKE patterns, constants
// in the case the function cannot give, beside other conditions, in a count, a join, a grouping
// and in UPDATE and DELETE, keep SQLite's rows.
TEST_F(SelectDifferential, CaseFunctionsOverCaseInsensitiveIndexesMatchSqlite) {
    if (!SqliteAvailable()) {
        GTEST_SKIP() << "python3 with sqlite3 is not available";
    }
    std::mt19937 random(91);
    const std::string create =
        "CREATE TABLE s (id INTEGER, name CHAR(12), cat CHAR(8), n INTEGER, PRIMARY KEY (id))";
    const std::string other = "CREATE TABLE u (k INTEGER, v INTEGER)";
    Run(create);
    Run(other);
    Run("CREATE NOCASE INDEX sname ON s (name)");
    Run("CREATE NOCASE INDEX scat ON s (cat)");
    std::vector<std::string> setup;
    for (int i = 1; i <= 90; ++i) {
        setup.push_back("INSERT INTO s VALUES (" + std::to_string(i) + ", " +
                        TextOrNull(random, i % 4 == 0 ? 10 : 3) + ", " + TextOrNull(random) + ", " +
                        Value(random) + ")");
    }
    for (int i = 0; i < 30; ++i) {
        setup.push_back("INSERT INTO u VALUES (" + std::to_string(1 + random() % 90) + ", " +
                        Value(random) + ")");
    }
    setup.push_back("UPDATE s SET n = 9 WHERE UPPER(name) = 'AB'");
    setup.push_back("UPDATE s SET cat = 'moved' WHERE LOWER(cat) LIKE 'b%' AND id > 40");
    setup.push_back("DELETE FROM s WHERE LOWER(name) = 'zz'");
    std::vector<std::string> queries;
    static const char* const kConstants[] = {"AB", "ab", "A", "a", "B", "Ab", "ZZ", "_"};
    static const char* const kPatterns[] = {"a%", "A%", "ab%", "AB%", "b%", "%a", "a_%", "_%"};
    for (const char* function : {"UPPER", "LOWER"}) {
        for (const char* column : {"name", "cat"}) {
            const std::string call = std::string(function) + "(" + column + ")";
            for (const char* constant : kConstants) {
                queries.push_back("SELECT id, name, cat FROM s WHERE " + call + " = '" + constant +
                                  "'");
            }
            for (const char* pattern : kPatterns) {
                queries.push_back("SELECT id, " + std::string(column) + " FROM s WHERE " + call +
                                  " LIKE '" + pattern + "'");
            }
            queries.push_back("SELECT COUNT(*) FROM s WHERE " + call + " = 'AB'");
            queries.push_back("SELECT id FROM s WHERE " + call + " = 'A' AND n > 2");
            queries.push_back("SELECT id FROM s WHERE " + call + " LIKE 'B%' OR n = 1");
            queries.push_back("SELECT s.id, u.v FROM s, u WHERE s.id = u.k AND " + call +
                              " LIKE 'a%'");
            queries.push_back("SELECT n, COUNT(*) FROM s WHERE " + call + " = 'B' GROUP BY n");
            queries.push_back("SELECT id FROM s WHERE " + call + " IN ('A', 'B')");
        }
    }
    queries.push_back("SELECT id, n, cat FROM s ORDER BY id");
    // LIKE compares with case here.
    CompareWithSqlite(setup, queries, {"PRAGMA case_sensitive_like = ON", create, other});
}

// The list table's shapes (a count of one category, the rows past a number in another order,
// the distinct categories) over case-insensitive text indexes and a number index, their keys
// compressed fully and not at all: categories written in several cases and NULL, rows deleted
// here and there and in runs, values at both ends of the indexes and values no row holds.
TEST_F(SelectDifferential, ListShapesOverCompressedAndPlainIndexesMatchSqlite) {
    if (!SqliteAvailable()) {
        GTEST_SKIP() << "python3 with sqlite3 is not available";
    }
    for (const std::string compression : {"FULL", "NONE"}) {
        SCOPED_TRACE(compression);
        const std::string table = "l" + compression;
        const std::string create = "CREATE TABLE " + table +
                                   " (id INTEGER, item CHAR(40), cat CHAR(8), bounces INTEGER, "
                                   "name CHAR(20), PRIMARY KEY (id))";
        Run(create);
        Run("CREATE NOCASE INDEX " + table + "item ON " + table + " (item) COMPRESS " +
            compression);
        Run("CREATE NOCASE INDEX " + table + "cat ON " + table + " (cat) COMPRESS " + compression);
        Run("CREATE INDEX " + table + "b ON " + table + " (bounces) COMPRESS " + compression);
        std::vector<std::string> setup;
        static const char* const kCases[] = {"Cat", "CAT", "cat", "Cat", "Cat"};
        for (int i = 1; i <= 600; ++i) {
            const std::string cat =
                i % 23 == 0 ? "NULL"
                            : "'" + std::string(kCases[i % 5]) + std::to_string(i % 7) + "'";
            const std::string bounces = i % 19 == 0 ? "NULL" : std::to_string(i / 7 % 10);
            setup.push_back("INSERT INTO " + table + " VALUES (" + std::to_string(i) + ", 'member" +
                            std::to_string(i * 7919 % 1009) + "@example.org', " + cat + ", " +
                            bounces + ", 'Member " + std::to_string(i) + "')");
        }
        setup.push_back("DELETE FROM " + table + " WHERE id BETWEEN 200 AND 260");
        setup.push_back("DELETE FROM " + table + " WHERE cat = 'CAT3'");
        setup.push_back("DELETE FROM " + table + " WHERE bounces = 9");
        setup.push_back("DELETE FROM " + table + " WHERE id > 590");
        std::vector<std::string> queries;
        for (const char* cat :
             {"Cat0", "CAT0", "cat0", "Cat3", "CAT3", "Cat6", "cat6", "Cat7", "Cat", "ZZZ", "A"}) {
            queries.push_back("SELECT COUNT(*) FROM " + table + " WHERE cat = '" + cat + "'");
            queries.push_back("SELECT id, cat FROM " + table + " WHERE cat = '" + cat + "'");
        }
        for (const char* condition :
             {"bounces > 5", "bounces > 8", "bounces > 9", "bounces >= 0", "bounces < 1",
              "bounces IS NULL", "bounces BETWEEN 3 AND 4"}) {
            queries.push_back("SELECT * FROM " + table + " WHERE " + condition + " ORDER BY id");
            queries.push_back("SELECT id, bounces FROM " + table + " WHERE " + condition +
                              " ORDER BY bounces DESC, id");
            queries.push_back("SELECT COUNT(*) FROM " + table + " WHERE " + condition);
        }
        queries.push_back("SELECT DISTINCT cat FROM " + table);
        queries.push_back("SELECT DISTINCT bounces FROM " + table);
        queries.push_back("SELECT DISTINCT cat FROM " + table + " WHERE bounces < 2");
        queries.push_back("SELECT COUNT(*) FROM " + table);
        CompareWithSqlite(setup, queries, {create});
    }
}

// Ordered results of many rows, sorted in memory, in SQLite's order: texts sharing a long
// prefix, texts equal over their first bytes past it and apart only later, short texts, equal
// texts (ordered on by id), NULLs, negative and repeated numbers, ascending and descending, by
// one column and by several.
// Memos in grouped, sorted, joined and filtered results, from a few bytes to a couple of hundred.
// Every row of a group has the same memo (or none), so that the value a group keeps is the same
// here and in SQLite.
TEST_F(SelectDifferential, MemosInGroupedAndSortedResultsMatchSqlite) {
    if (!SqliteAvailable()) {
        GTEST_SKIP() << "python3 with sqlite3 is not available";
    }
    std::mt19937 random(61);
    const std::string create = "CREATE TABLE n (id INTEGER, s CHAR(6), k INTEGER, m BLOB(1, 1))";
    Run(create);
    std::vector<std::string> memos(8);
    for (std::size_t i = 0; i < memos.size(); ++i) {
        memos[i] = i % 4 == 3 ? "NULL"
                              : "'" + Text(random) + std::string(i * 30, 'x') + Text(random) + "'";
    }
    std::vector<std::string> setup;
    for (int i = 1; i <= 60; ++i) {
        const std::size_t group = random() % memos.size();
        setup.push_back("INSERT INTO n VALUES (" + std::to_string(i) + ", 'g" +
                        std::to_string(group) + "', " + Value(random) + ", " + memos[group] + ")");
    }
    const std::vector<std::string> queries = {
        "SELECT s, m FROM n GROUP BY s",
        "SELECT s, m, COUNT(*), SUM(k) FROM n WHERE id > 10 GROUP BY s ORDER BY s DESC",
        "SELECT s, COUNT(m), m FROM n GROUP BY s HAVING COUNT(m) > 3",
        "SELECT id, k, m FROM n WHERE m LIKE '%a%' ORDER BY k DESC, id",
        "SELECT id, s, m FROM n WHERE k IS NOT NULL ORDER BY s, id DESC",
        "SELECT x.id, y.id, y.m FROM n x, n y WHERE x.id = y.k ORDER BY x.id, y.id",
        "SELECT id, m FROM n WHERE id IN (SELECT k FROM n WHERE m IS NOT NULL) ORDER BY id",
    };
    CompareWithSqlite(setup, queries, {"PRAGMA case_sensitive_like = ON", create});
}

// ORDER BY a memo sorts by its text: long texts over several blob blocks that agree over their
// first several hundred bytes and part only near their ends, prefixes of one another, texts
// apart by case, short texts and NULLs; ascending and descending, beside other columns, after
// grouping, in a join and in a sub-select.
TEST_F(SelectDifferential, OrderByMemoSortsByTheTextMatchingSqlite) {
    if (!SqliteAvailable()) {
        GTEST_SKIP() << "python3 with sqlite3 is not available";
    }
    std::mt19937 random(83);
    const std::string create = "CREATE TABLE n (id INTEGER, s CHAR(6), k INTEGER, m BLOB(1, 1))";
    Run(create);
    const std::string shared(700, 'p');
    std::vector<std::string> memos;
    for (int i = 0; i < 12; ++i) {
        switch (i % 6) {
            case 0:
                memos.push_back(shared + Text(random));
                break;
            case 1:
                memos.push_back(shared + std::string(900, 'q') + Text(random));
                break;
            case 2:
                memos.push_back(Text(random));
                break;
            case 3:
                memos.push_back(shared);
                break;
            case 4:
                memos.push_back(std::string(1500, 'b') + Text(random));
                break;
            default:
                memos.push_back(i == 5 ? "NULL" : "P" + shared);
                break;
        }
    }
    std::vector<std::string> setup;
    for (int i = 1; i <= 80; ++i) {
        // A group's memo is always the same, so that the value a group keeps is SQLite's too.
        const std::size_t group = random() % memos.size();
        const std::string memo = memos[group] == "NULL" ? "NULL" : "'" + memos[group] + "'";
        setup.push_back("INSERT INTO n VALUES (" + std::to_string(i) + ", 'g" +
                        std::to_string(group) + "', " + Value(random) + ", " + memo + ")");
    }
    setup.push_back("DELETE FROM n WHERE id BETWEEN 30 AND 34");
    const std::vector<std::string> queries = {
        "SELECT id, m FROM n ORDER BY m, id",
        "SELECT id, m FROM n ORDER BY m DESC, id",
        "SELECT m, id FROM n ORDER BY 1 DESC, 2 DESC",
        "SELECT id, s, m FROM n WHERE k > 1 ORDER BY m, s DESC, id",
        "SELECT id, k, m FROM n WHERE m LIKE 'pp%' ORDER BY k, m DESC, id",
        "SELECT s, m, COUNT(*) FROM n GROUP BY s ORDER BY m DESC, s",
        "SELECT x.id, y.id, y.m FROM n x, n y WHERE x.k = y.id ORDER BY y.m, x.id",
        "SELECT id, m FROM n WHERE m IN (SELECT m FROM n WHERE k > 2 ORDER BY m DESC) ORDER BY m, "
        "id",
    };
    CompareWithSqlite(setup, queries, {"PRAGMA case_sensitive_like = ON", create});
}

TEST_F(SelectDifferential, OrderedResultsOfManyRowsMatchSqlite) {
    if (!SqliteAvailable()) {
        GTEST_SKIP() << "python3 with sqlite3 is not available";
    }
    const std::string create =
        "CREATE TABLE o (id INTEGER, item CHAR(30), n INTEGER, PRIMARY KEY (id))";
    Run(create);
    std::vector<std::string> setup;
    for (int i = 1; i <= 1200; ++i) {
        std::string item;
        switch (i % 6) {
            case 0:
                item = "'member" + std::to_string(i * 7919 % 100003) + "@example.org'";
                break;
            case 1:
                item = "'memberAAAAAAAA" + std::to_string(i % 13) + "'";
                break;
            case 2:
                item = "'member" + std::to_string(i % 4) + "'";
                break;
            case 3:
                item = "NULL";
                break;
            case 4:
                item = "'Member" + std::to_string(i) + "'";
                break;
            default:
                item = "'member" + std::to_string(i * 31 % 977) + "@x'";
                break;
        }
        const std::string n = i % 17 == 0 ? "NULL" : std::to_string(i * 37 % 21 - 10);
        setup.push_back("INSERT INTO o VALUES (" + std::to_string(i) + ", " + item + ", " + n +
                        ")");
    }
    const std::vector<std::string> queries = {
        "SELECT id, item FROM o ORDER BY item, id",
        "SELECT id, item FROM o ORDER BY item DESC, id",
        "SELECT item, id FROM o WHERE n > -5 ORDER BY item, id",
        "SELECT * FROM o WHERE n > 2 ORDER BY item, id",
        "SELECT id, n FROM o ORDER BY n, id",
        "SELECT id, n, item FROM o ORDER BY n DESC, item, id DESC",
        "SELECT id FROM o ORDER BY id DESC",
    };
    CompareWithSqlite(setup, queries, {create});
}

}  // namespace
}  // namespace strata
