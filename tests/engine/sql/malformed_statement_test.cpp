// Valid statements damaged token by token: cut short after every token, two tokens swapped,
// one token dropped or replaced by another word of the grammar. Each damaged text must either
// run or be refused with an engine error that says why, never fail any other way; and a
// statement refused leaves every table with the rows it had.

#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "engine/storage/engine_error.h"
#include "tests/engine/sql/sql_execution_fixture.h"

namespace strata {
namespace {

// The tokens of a statement as its lexer splits it, closely enough to damage it at their
// borders: names and keywords, numbers, quoted texts, bracketed names and single characters.
std::vector<std::string> Tokens(const std::string& sql) {
    std::vector<std::string> tokens;
    std::size_t i = 0;
    while (i < sql.size()) {
        const auto c = static_cast<unsigned char>(sql[i]);
        std::size_t end = i + 1;
        if (std::isspace(c)) {
            ++i;
            continue;
        }
        if (std::isalnum(c) || c == '_' || c == '.') {
            while (end < sql.size() && (std::isalnum(static_cast<unsigned char>(sql[end])) ||
                                        sql[end] == '_' || sql[end] == '.')) {
                ++end;
            }
        } else if (c == '\'' || c == '"' || c == '[') {
            const char close = c == '[' ? ']' : static_cast<char>(c);
            end = sql.find(close, i + 1);
            end = end == std::string::npos ? sql.size() : end + 1;
        } else if ((c == '<' || c == '>') && end < sql.size() &&
                   (sql[end] == '=' || sql[end] == '>')) {
            ++end;
        } else if (c == '|' && end < sql.size() && sql[end] == '|') {
            ++end;
        }
        tokens.push_back(sql.substr(i, end - i));
        i = end;
    }
    return tokens;
}

std::string Joined(const std::vector<std::string>& tokens) {
    std::string text;
    for (const std::string& token : tokens) {
        text += (text.empty() ? "" : " ") + token;
    }
    return text;
}

// Statements of every kind over the tables t and u and their indexes.
const std::vector<std::string>& Statements() {
    static const std::vector<std::string> statements = {
        "SELECT a, b FROM t WHERE a > 1 AND b LIKE 'o%' ORDER BY a DESC",
        "SELECT DISTINCT b FROM t WHERE NOT (c BETWEEN -1.5 AND 2.0) OR b IS NULL",
        "SELECT t.a, u.label FROM t LEFT OUTER JOIN u ON t.a = u.k WHERE u.k IS NULL",
        "SELECT x.a, y.label FROM t x INNER JOIN u y ON x.a = y.k AND y.label <> 'x' ORDER BY 2 "
        "NOCASE",
        "SELECT y.k, x.b FROM t x RIGHT JOIN u y ON x.a >= y.k",
        "SELECT x.a FROM t x, u y WHERE x.a = y.k AND x.c < 3 NOJOINOPTIMIZE",
        "SELECT b, COUNT(*), SUM(a), AVG(c) FROM t WHERE d >= '2000-01-01' GROUP BY b "
        "HAVING SUM(a) > 1 ORDER BY 1",
        "SELECT MIN(a), MAX(d), COUNT(b) FROM t WHERE a IN (1, 2, 3)",
        "SELECT a FROM t WHERE a IN (SELECT k FROM u WHERE label LIKE '%t%')",
        "SELECT a FROM t WHERE b NOT IN (SELECT label FROM u) AND a <> 2",
        "SELECT UPPER(b) AS big, a * 2 + 1, b || 'x', SUBSTRING(b FROM 1 FOR 2) FROM t",
        "SELECT a INTO r FROM t WHERE c IS NOT NULL",
        "SELECT ALL * FROM t WHERE (a = 1 OR a = 3) AND NOT b = 'two' WITH LOCKS",
        "SELECT t.* FROM t WHERE CAST(a AS CHAR(5)) = '1'",
        "INSERT INTO t VALUES (7, 'seven', 7.5, '2007-07-07')",
        "INSERT INTO t (b, a) VALUES ('eight', 8) NOAUTOINC",
        "INSERT INTO u SELECT a, b FROM t WHERE a < 3 COMMIT INTERVAL 2",
        "UPDATE t SET b = 'changed', c = c + 1 WHERE a BETWEEN 1 AND 2",
        "UPDATE u SET label = UPPER(label) WHERE k IN (SELECT a FROM t WHERE b IS NOT NULL)",
        "DELETE FROM t WHERE b LIKE 't%' OR c < 0 COMMIT INTERVAL 1",
        "DELETE FROM u WHERE NOT (k = 1)",
        "CREATE TABLE n (x INTEGER, y CHAR(4), PRIMARY KEY (x))",
        "CREATE UNIQUE DESC INDEX tz ON t (a, b) COMPRESS FULL",
        "CREATE NOCASE INDEX ub ON u (label)",
        "ALTER TABLE u ADD z SMALLINT AT 1, DROP label",
        "DROP INDEX t.tb",
        "DROP TABLE u",
    };
    return statements;
}

// Words and characters a damaged statement may take in place of one of its own tokens.
const std::vector<std::string>& Vocabulary() {
    static const std::vector<std::string> words = {
        "SELECT",  "FROM",   "WHERE",  "AND",      "OR",    "NOT",         "IN",      "LIKE",
        "BETWEEN", "IS",     "NULL",   "JOIN",     "LEFT",  "ON",          "AS",      "INTO",
        "BY",      "GROUP",  "ORDER",  "HAVING",   "DESC",  "NOCASE",      "COUNT",   "SUM",
        "(",       ")",      ",",      ".",        "=",     "<>",          "<",       ">=",
        "*",       "+",      "-",      "/",        "||",    "?",           "1",       "0",
        "-1",      "2.5",    "''",     "'x'",      "\"t\"", "[t]",         "t",       "u",
        "a",       "label",  "k",      "TRUE",     "CAST",  "SUBSTRING",   "FOR",     "VALUES",
        "SET",     "TABLE",  "INDEX",  ";",        "#1",    "DATE",        "CHAR(5)", "DISTINCT",
        "UPPER",   "MEMORY", "COMMIT", "INTERVAL", "ALL",   "'2001-02-03'"};
    return words;
}

class MalformedStatements : public sqltest::SqlExecution {
  protected:
    void SetUp() override {
        SqlExecution::SetUp();
        for (const char* sql : {
                 "CREATE TABLE t (a INTEGER, b CHAR(10), c FLOAT, d DATE, PRIMARY KEY (a))",
                 "CREATE TABLE u (k INTEGER, label CHAR(20))",
                 "INSERT INTO t VALUES (1, 'one', 1.5, '2001-02-03')",
                 "INSERT INTO t VALUES (2, 'two', -2.25, '1999-12-31')",
                 "INSERT INTO t VALUES (3, NULL, NULL, NULL)",
                 "INSERT INTO t VALUES (4, 'One', 0.0, '2000-02-29')",
                 "INSERT INTO u VALUES (1, 'first')",
                 "INSERT INTO u VALUES (3, 'third')",
                 "INSERT INTO u VALUES (NULL, 'Third')",
                 "CREATE NOCASE INDEX tb ON t (b)",
                 "CREATE DESC INDEX tc ON t (c, d)",
                 "CREATE INDEX uk ON u (k)",
             }) {
            Run(sql);
        }
        session_.reset();
        for (const auto& entry : std::filesystem::directory_iterator(dir_.Path())) {
            if (entry.is_regular_file()) {
                pristine_[entry.path().filename().string()] =
                    testing_support::ReadBytes(entry.path().string());
            }
        }
        OpenSession();
        rows_ = TableRows();
    }

    // Both tables' rows as they stand, read through a fresh session; a table that is gone
    // reads as nothing.
    std::vector<std::string> TableRows() {
        std::vector<std::string> all;
        for (const char* table : {"t", "u"}) {
            all.push_back(std::string("table ") + table);
            try {
                for (const std::string& row : Rows(table)) {
                    all.push_back(row);
                }
            } catch (const EStrataEngineError& e) {
                all.push_back(std::string("unreadable: ") + e.what());
            }
        }
        return all;
    }

    // The folder as set up: files the last statement made go, the others get their bytes back.
    void Restore() {
        session_.reset();
        for (const auto& entry : std::filesystem::directory_iterator(dir_.Path())) {
            if (entry.is_regular_file() && !pristine_.contains(entry.path().filename().string())) {
                std::filesystem::remove(entry.path());
            }
        }
        for (const auto& [name, bytes] : pristine_) {
            std::ofstream(dir_.File(name), std::ios::binary | std::ios::trunc)
                .write(reinterpret_cast<const char*>(bytes.data()),
                       static_cast<std::streamsize>(bytes.size()));
        }
        OpenSession();
    }

    // Runs one damaged text; empty when it ran or was refused cleanly, else what went wrong.
    std::string Try(const std::string& sql) {
        std::string refused;
        bool ran = false;
        try {
            TQueryStatement statement(directory_);
            std::size_t offset = 0;
            statement.Prepare(sql, offset);
            statement.SetParams(0, {}, {});
            if (TDataCursor* result = statement.Execute()) {
                RowsOf(*result);
            }
            ran = true;
        } catch (const EStrataEngineError& e) {
            refused = e.what();
            if (refused.empty()) {
                return "refused without a message";
            }
        } catch (const std::exception& e) {
            return std::string("failed outside the engine's errors: ") + e.what();
        }
        if (ran) {
            // Whatever it changed goes before the next text.
            Restore();
            return {};
        }
        const std::vector<std::string> after = TableRows();
        if (after != rows_) {
            Restore();
            return "refused (" + refused + ") but changed the tables";
        }
        Restore();
        return {};
    }

    std::map<std::string, std::vector<std::uint8_t>> pristine_;
    std::vector<std::string> rows_;
};

TEST_F(MalformedStatements, EveryDamagedStatementRunsOrIsRefusedCleanly) {
    std::mt19937 random(20261209);
    std::size_t tried = 0;
    std::vector<std::string> faults;
    for (const std::string& sql : Statements()) {
        // The statement itself runs.
        {
            SCOPED_TRACE(sql);
            std::string refused;
            try {
                Run(sql);
            } catch (const EStrataEngineError& e) {
                refused = e.what();
            }
            EXPECT_EQ(refused, "");
            Restore();
        }
        const std::vector<std::string> tokens = Tokens(sql);
        std::vector<std::string> damaged;
        for (std::size_t cut = 1; cut < tokens.size(); ++cut) {
            damaged.push_back(
                Joined(std::vector<std::string>(tokens.begin(), tokens.begin() + cut)));
        }
        const auto pick = [&](std::size_t n) { return static_cast<std::size_t>(random() % n); };
        for (int i = 0; i < 12; ++i) {
            std::vector<std::string> swapped = tokens;
            const std::size_t a = pick(tokens.size());
            const std::size_t b =
                i % 2 == 0 ? std::min(a + 1, tokens.size() - 1) : pick(tokens.size());
            std::swap(swapped[a], swapped[b]);
            damaged.push_back(Joined(swapped));

            std::vector<std::string> replaced = tokens;
            replaced[pick(tokens.size())] = Vocabulary()[pick(Vocabulary().size())];
            damaged.push_back(Joined(replaced));

            std::vector<std::string> dropped = tokens;
            dropped.erase(dropped.begin() + static_cast<std::ptrdiff_t>(pick(tokens.size())));
            damaged.push_back(Joined(dropped));
        }
        for (const std::string& text : damaged) {
            ++tried;
            const std::string fault = Try(text);
            if (!fault.empty()) {
                faults.push_back("'" + text + "': " + fault);
            }
        }
    }
    EXPECT_GT(tried, 1000u);
    for (const std::string& fault : faults) {
        ADD_FAILURE() << fault;
    }
}

}  // namespace
}  // namespace strata
