#include "engine/sql/result_table.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include "engine/core/data_directory.h"
#include "engine/core/data_session.h"
#include "engine/core/engine_globals.h"
#include "engine/sql/query_statement.h"
#include "sql_test_support.h"
#include "tests/engine/core/table_files_support.h"

namespace strata {
namespace {

using sqltest::SqlError;

TEST(ResultTable, SameTableComparesDirectoriesAndNames) {
    EXPECT_TRUE(SameTable({"/tmp/x/", "T", false}, {"/tmp/x", "t.dat", false}));
    EXPECT_TRUE(SameTable({"/tmp/./x", "t.DAT", false}, {"/tmp/x", "T", false}));
    EXPECT_FALSE(SameTable({"/tmp/x", "t", false}, {"/tmp/y", "t", false}));
    EXPECT_FALSE(SameTable({"/tmp/x", "t", false}, {"/tmp/x", "u", false}));
    EXPECT_FALSE(SameTable({"", "t", true}, {"/tmp/x", "t", false}));
    EXPECT_TRUE(SameTable({"", "t", true}, {"", "T.dat", true}));
}

// SELECT ... INTO may not name a table the statement reads, wherever the names point.
TEST(ResultTable, IntoASourceTableIsRefused) {
    StartEngine();
    testing_support::TempDir dir;
    TDataSession session;
    session.SetPrivateDir(dir.File("private"));
    TDataDirectory* database = session.OpenDirectory("DB", dir.Path().string());
    const std::string private_dir = dir.File("private");
    struct Case {
        std::string sql;
        bool refused;
    };
    const std::vector<Case> cases = {
        {"SELECT * INTO t FROM \"" + private_dir + "/t\"", true},
        {"SELECT * INTO \"" + dir.Path().string() + "/T.dat\" FROM t", true},
        {"SELECT * INTO MEMORY m FROM MEMORY M", true},
        {"SELECT * INTO r FROM t WHERE a IN (SELECT a FROM \"" + private_dir + "/r\")", true},
        {"SELECT * INTO t FROM t", false},
        {"SELECT * INTO MEMORY t FROM t", false},
        {"SELECT * INTO r FROM t", false},
    };
    // Planning checks the INTO table before it opens anything; the sources do not exist, so a
    // statement that passes the check fails later on its missing tables.
    for (const Case& c : cases) {
        TQueryStatement statement(database);
        std::size_t offset = 0;
        const std::string error = SqlError([&] { statement.Prepare(c.sql, offset); });
        EXPECT_EQ(
            error.find("specified in INTO clause is also a source table") != std::string::npos,
            c.refused)
            << c.sql << " " << error;
    }
}

}  // namespace
}  // namespace strata
