#include "engine/sql/result_names.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/sql/query_statement.h"
#include "sql_test_support.h"

namespace strata {
namespace {

using sqltest::Prepared;

std::vector<std::string> NamesOf(const char* sql) {
    const auto statement = Prepared(sql);
    std::vector<std::string> names;
    for (const auto& field : statement->MainQuery()->ResultFields) {
        names.push_back(DefaultResultName(*field));
    }
    MakeResultNamesUnique(names);
    return names;
}

TEST(ResultNames, DefaultsAliasesAndDuplicates) {
    struct Case {
        const char* sql;
        std::vector<std::string> names;
    };
    const std::vector<Case> cases = {
        {"SELECT a, a FROM t", {"a", "a_1"}},
        {"SELECT a, A, a_1 FROM t", {"a", "A_2", "a_1"}},
        {"SELECT SUM(a), MIN(a), MAX(a), AVG(a), COUNT(a) FROM t",
         {"Sum Of a", "Min Of a", "Max Of a", "Average Of a", "Count Of a"}},
        {"SELECT a + 1, SUM(a * 2), COUNT(b || 'x'), AVG(a + 1) FROM t",
         {"Expression", "Sum Of Expr", "Count Of Expr", "Average Of Expr"}},
        {"SELECT a AS x, b x FROM t", {"x", "x_1"}},
        {"SELECT a AS abcdefghij0123456789ABCDEFGHIJxyz FROM t",
         {"defghij0123456789ABCDEFGHIJxyz"}},
        {"SELECT a abcdefghij0123456789ABCDEFGHIJ, b abcdefghij0123456789ABCDEFGHIJ FROM t",
         {"abcdefghij0123456789ABCDEFGHIJ", "cdefghij0123456789ABCDEFGHIJ_1"}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(NamesOf(c.sql), c.names) << c.sql;
    }
}

}  // namespace
}  // namespace strata
