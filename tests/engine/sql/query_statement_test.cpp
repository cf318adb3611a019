#include "engine/sql/query_statement.h"
#include "engine/storage/byte_order.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "engine/core/table_descriptors.h"
#include "engine/storage/data_types.h"
#include "sql_test_support.h"

namespace strata {
namespace {

using sqltest::Prepared;
using sqltest::PrepareError;
using sqltest::SqlError;

// Names each parameter by the column it is compared or combined with ("a = ?" names it "a").
void LabelParameters(const TExpToken* node, std::map<const TExpToken*, std::string>& labels) {
    if (node == nullptr) {
        return;
    }
    const TExpToken* children[] = {node->First.get(), node->Second.get()};
    for (const TExpToken* child : children) {
        if (child != nullptr && child->IsParameter) {
            for (const TExpToken* other : children) {
                if (other != nullptr && other != child && other->Kind == kTokenColumn) {
                    labels[child] = other->ColumnName;
                }
            }
        }
    }
    LabelParameters(node->First.get(), labels);
    LabelParameters(node->Second.get(), labels);
    LabelParameters(node->Third.get(), labels);
}

std::vector<std::string> ParameterLabels(const TQueryStatement& statement) {
    std::map<const TExpToken*, std::string> labels;
    for (const auto& query : statement.Queries()) {
        LabelParameters(query->Condition.get(), labels);
        LabelParameters(query->Having.get(), labels);
        for (const auto& value : query->UpdateValues) {
            LabelParameters(value->Value.get(), labels);
        }
    }
    std::vector<std::string> out;
    for (const TExpToken* token : statement.Parameters()) {
        const auto found = labels.find(token);
        out.push_back(found == labels.end() ? "?" : found->second);
    }
    return out;
}

struct ParameterCase {
    const char* sql;
    std::vector<std::string> order;
};

// Values are bound by the order of the markers in the text, sub-selects included where they
// stand, so that the dataset's text-ordered values land on the right markers.
TEST(QueryStatement, CollectsParametersInMarkerOrder) {
    const std::vector<ParameterCase> cases = {
        {"SELECT a FROM t WHERE a IN (SELECT b FROM u WHERE c = ?) AND d = ?", {"c", "d"}},
        {"SELECT a FROM t WHERE d = ? AND a IN (SELECT b FROM u WHERE c = ?)", {"d", "c"}},
        {"SELECT a, MAX(h) FROM t WHERE a IN (SELECT b FROM u WHERE c = ?) GROUP BY a HAVING "
         "MAX(h) > ? AND h < ?",
         {"c", "?", "h"}},
        {"SELECT a FROM t JOIN u ON t.a = u.a AND u.k = ? WHERE t.w = ? OR t.v = ?",
         {"k", "w", "v"}},
        {"SELECT a FROM t WHERE x BETWEEN ? AND ? AND y IN (?, 5, ?) AND z LIKE ?",
         {"x", "?", "y", "?", "z"}},
        {"UPDATE t SET a = a + ?, b = b * ? WHERE c = ?", {"a", "b", "c"}},
        {"INSERT INTO t (a, b) VALUES (?, ?)", {"?", "?"}},
        {"INSERT INTO t (a) SELECT x FROM u WHERE y = ? AND z IN (SELECT w FROM v WHERE q = ?) "
         "AND r = ?",
         {"y", "q", "r"}},
        {"DELETE FROM t WHERE a = ? AND b IN (SELECT c FROM u WHERE d IN (SELECT e FROM v "
         "WHERE f = ?) AND g = ?) AND h = ?",
         {"a", "f", "g", "h"}},
    };
    for (const ParameterCase& c : cases) {
        const auto statement = Prepared(c.sql);
        EXPECT_EQ(ParameterLabels(*statement), c.order) << c.sql;
    }
}

TEST(QueryStatement, FunctionArgumentsAreCollectedInWrittenOrder) {
    // POS(search IN target) holds the search value as its second child; TRIM and REPLACE too.
    const auto statement = Prepared(
        "SELECT a FROM t WHERE POS(? IN (s || ?)) = 1 AND TRIM(LEADING ? FROM (r || ?)) = 'x' AND "
        "REPLACE(? WITH ? IN (q || ?)) = 'y'");
    const TExpToken& top = *statement->MainQuery()->Condition;
    const TExpToken& pos = *top.First->First->First;
    const TExpToken& trim = *top.First->Second->First;
    const TExpToken& replace = *top.Second->First;
    const std::vector<const TExpToken*> expected = {
        pos.Second.get(),           pos.First->Second.get(), trim.Second.get(),
        trim.First->Second.get(),   replace.Second.get(),    replace.Second->Second.get(),
        replace.First->Second.get()};
    const auto parameters = statement->Parameters();
    ASSERT_EQ(parameters.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(parameters[i], expected[i]) << i;
        EXPECT_TRUE(parameters[i]->IsParameter);
    }
}

TEST(QueryStatement, LongConditionChainsCollectWithoutDeepRecursion) {
    std::string sql = "SELECT a FROM t WHERE a = ?";
    for (int i = 0; i < 20000; ++i) {
        sql += " AND a = ?";
    }
    const auto statement = Prepared(sql);
    EXPECT_EQ(statement->Parameters().size(), 20001u);
}

TEST(QueryStatement, RefusesSubSelectsNestedTooDeeply) {
    auto nested = [](int depth) {
        std::string sql = "SELECT a FROM t WHERE a IN (";
        for (int i = 0; i < depth; ++i) {
            sql += "SELECT a FROM t WHERE a IN (";
        }
        sql += "1";
        sql += std::string(static_cast<std::size_t>(depth) + 1, ')');
        return sql;
    };
    EXPECT_EQ(PrepareError(nested(kMaxSubSelectNesting)), "");
    EXPECT_EQ(PrepareError(nested(kMaxSubSelectNesting + 1)),
              "Sub-select queries nested more than 16 levels deep are not allowed in WHERE or "
              "JOIN clause");
}

// One parameter value as the dataset lays it out: a flag byte and the data.
struct ParameterRecord {
    std::vector<FieldDescriptor> descriptors;
    std::vector<std::byte> bytes;

    std::byte* Add(std::uint8_t type, std::uint8_t data_size, bool present,
                   std::uint8_t subtype = 0) {
        FieldDescriptor d{};
        d[fd::kType] = type;
        d[fd::kSubtype] = subtype;
        d[fd::kDataSize] = data_size;
        const std::size_t offset = bytes.size();
        d[fd::kOffset] = static_cast<std::uint8_t>(offset & 0xFF);
        d[fd::kOffset + 1] = static_cast<std::uint8_t>(offset >> 8);
        descriptors.push_back(d);
        const std::size_t size = type == kTypeBlob ? kBlobParameterSize : data_size;
        bytes.resize(offset + 1 + size);
        bytes[offset] = present ? std::byte{1} : std::byte{0};
        return bytes.data() + offset + 1;
    }
};

TEST(QueryStatement, SetParamsCopiesValuesBlobsAndNulls) {
    const auto statement = Prepared("UPDATE t SET a = ?, b = ?, c = ?, d = ? WHERE e = ?");
    ParameterRecord record;
    StoreInt32(record.Add(kTypeInteger, 4, true), 42);
    std::byte* text = record.Add(kTypeString, 4, true);
    std::memcpy(text, "abcd", 4);  // no NUL: the copy must still end in one
    const std::string blob(600, 'z');
    std::byte* handle = record.Add(kTypeBlob, 0, true, kSubtypeMemo);
    StoreInt32(handle, static_cast<std::int32_t>(blob.size()));
    const char* pointer = blob.data();
    std::memcpy(handle + 4, &pointer, sizeof pointer);
    record.Add(kTypeInteger, 4, false);
    ASSERT_EQ(statement->SetParams(4, record.descriptors, record.bytes), 0);

    const auto p = statement->Parameters();
    ASSERT_EQ(p.size(), 5u);
    EXPECT_EQ(p[0]->DataType, kTypeInteger);
    EXPECT_EQ(LoadInt32(p[0]->Value()), 42);
    EXPECT_FALSE(p[0]->IsNull);
    EXPECT_EQ(p[1]->ValueText(), "abc");
    EXPECT_EQ(p[2]->DataType, kTypeBlob);
    EXPECT_EQ(p[2]->SubType, kSubtypeMemo);
    ASSERT_EQ(p[2]->DataSize, blob.size());
    EXPECT_EQ(std::memcmp(p[2]->Value(), blob.data(), blob.size()), 0);
    EXPECT_TRUE(p[3]->IsNull);
    EXPECT_TRUE(p[4]->IsNull) << "a marker without a value is NULL";
}

TEST(QueryStatement, StaleValuesDoNotSurviveAShorterValueList) {
    const auto statement = Prepared("DELETE FROM t WHERE a = ? OR b = ?");
    ParameterRecord two;
    StoreInt32(two.Add(kTypeInteger, 4, true), 1);
    StoreInt32(two.Add(kTypeInteger, 4, true), 2);
    statement->SetParams(2, two.descriptors, two.bytes);
    EXPECT_FALSE(statement->Parameters()[1]->IsNull);
    statement->SetParams(1, two.descriptors, two.bytes);
    EXPECT_TRUE(statement->Parameters()[1]->IsNull);
}

TEST(QueryStatement, SetParamsRefusesWhatDoesNotFit) {
    const auto statement = Prepared("DELETE FROM t WHERE a = ?");
    ParameterRecord record;
    StoreInt32(record.Add(kTypeInteger, 4, true), 7);
    StoreInt32(record.Add(kTypeInteger, 4, true), 8);
    EXPECT_EQ(SqlError([&] { statement->SetParams(2, record.descriptors, record.bytes); }),
              "Internal parameter error");
    EXPECT_EQ(LoadInt32(statement->Parameters()[0]->Value()), 7) << "earlier values stay copied";

    // A descriptor pointing past the caller's buffer, and a blob without bytes.
    ParameterRecord short_record;
    short_record.Add(kTypeInteger, 4, true);
    short_record.bytes.resize(3);
    EXPECT_EQ(
        SqlError([&] { statement->SetParams(1, short_record.descriptors, short_record.bytes); }),
        "Internal parameter error");
    ParameterRecord dangling;
    StoreInt32(dangling.Add(kTypeBlob, 0, true), 10);
    EXPECT_EQ(SqlError([&] { statement->SetParams(1, dangling.descriptors, dangling.bytes); }),
              "Internal parameter error");
}

TEST(QueryStatement, AnswersZeroBeforeExecution) {
    TQueryStatement statement(nullptr);
    EXPECT_EQ(statement.GetResultCount(), 0);
    EXPECT_EQ(statement.GetExecutionTime(), 0.0);
    EXPECT_EQ(PrepareError("SELECT a FROM t"), "");
}

TEST(QueryStatement, SubSelectsKeepTheirListOrder) {
    const auto statement = Prepared(
        "SELECT a FROM t WHERE a IN (SELECT b FROM u) AND c IN (SELECT d FROM v WHERE e IN "
        "(SELECT f FROM w))");
    const auto queries = statement->Queries();
    ASSERT_EQ(queries.size(), 4u);
    EXPECT_EQ(queries[1]->SourceTables[0]->TableName, "u");
    EXPECT_EQ(queries[2]->SourceTables[0]->TableName, "v");
    EXPECT_EQ(queries[3]->SourceTables[0]->TableName, "w");
    for (std::size_t i = 1; i < queries.size(); ++i) {
        EXPECT_TRUE(queries[i]->SubSelect);
        EXPECT_EQ(queries[i]->ResultColumnCount(), 1u);
    }
}

TEST(QueryStatement, ErrorInsideSubSelectKeepsTheOuterContext) {
    EXPECT_EQ(PrepareError("SELECT a FROM t WHERE a IN (SELECT b FROM u WHERE) AND"),
              "WHERE or JOIN clause is empty");
    EXPECT_EQ(PrepareError("SELECT a FROM t WHERE a IN (SELECT b FROM u) AND #999"),
              "Character constants (#) must be within the range of 0 to 255 in WHERE or JOIN "
              "clause");
}

}  // namespace
}  // namespace strata
