#include "engine/sql/data_definition.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/storage/byte_order.h"
#include "engine/storage/data_types.h"
#include "engine/storage/engine_error.h"
#include "sql_test_support.h"

namespace strata {
namespace {

using sqltest::Prepared;
using sqltest::SqlError;

std::vector<std::string> Names(const TableDefinition& definition) {
    std::vector<std::string> names;
    for (const FieldDescriptor& d : definition.fields) {
        names.push_back(FieldName(d));
    }
    return names;
}

std::vector<int> Numbers(const TableDefinition& definition) {
    std::vector<int> numbers;
    for (const FieldDescriptor& d : definition.fields) {
        numbers.push_back(FieldNumber(d));
    }
    return numbers;
}

std::vector<int> KeyNumbers(const IndexDescriptor& d) {
    std::vector<int> numbers;
    for (std::size_t i = 0; i < IndexFieldCount(d); ++i) {
        numbers.push_back(IndexFieldNumber(d, i));
    }
    return numbers;
}

TEST(CreateTableDefinition, BuildsColumnsKeyAndOptions) {
    const auto statement = Prepared(
        "CREATE TABLE t (a INTEGER NOT NULL, b CHAR(10) DESCRIPTION 'bee' DEFAULT 'x' CHARCASE "
        "UPPER, c DECIMAL(12, 2) MIN -5 MAX 5, d BLOB(1, 1), e BYTES(6), PRIMARY KEY (B, a) "
        "DESCRIPTION 'table' BLOB BLOCK SIZE 1024 USER MAJOR VERSION 3 USER MINOR VERSION 2)");
    const TableDefinition definition = MakeCreateTableDefinition(*statement->MainQuery());
    ASSERT_EQ(definition.fields.size(), 5u);
    EXPECT_EQ(Numbers(definition), (std::vector<int>{1, 2, 3, 4, 5}));
    const auto& f = definition.fields;
    EXPECT_EQ(FieldType(f[0]), kTypeInteger);
    EXPECT_EQ(f[0][fd::kRequired], 1);
    EXPECT_EQ(FieldType(f[1]), kTypeString);
    EXPECT_EQ(FieldLength(f[1]), 10);
    EXPECT_EQ(GetShortString(f[1], fd::kDescription, fd::kTextLength), "bee");
    EXPECT_EQ(GetShortString(f[1], fd::kDefault, fd::kTextLength), "x");
    EXPECT_EQ(f[1][fd::kCharCase], kCharCaseUpper);
    EXPECT_EQ(FieldType(f[2]), kTypeBCD);
    EXPECT_EQ(FieldDecimals(f[2]), 2);
    EXPECT_EQ(GetShortString(f[2], fd::kMinimum, fd::kTextLength), "-5");
    EXPECT_EQ(FieldType(f[3]), kTypeBlob);
    EXPECT_EQ(FieldSubtype(f[3]), kSubtypeMemo);
    EXPECT_EQ(FieldLength(f[4]), 6);
    ASSERT_EQ(definition.indexes.size(), 1u);
    EXPECT_EQ(KeyNumbers(definition.indexes[0]), (std::vector<int>{2, 1}));
    EXPECT_EQ(definition.description, "table");
    EXPECT_EQ(definition.blob_block_size, 1024u);
    EXPECT_EQ(definition.user_major, 3);
    EXPECT_EQ(definition.user_minor, 2);
    EXPECT_TRUE(definition.allow_no_primary);
}

TEST(CreateTableDefinition, KeyClauseWithOrWithoutCommaAndNoKey) {
    for (const char* sql : {"CREATE TABLE t (a INTEGER, b CHAR(10), PRIMARY KEY (a))",
                            "CREATE TABLE t (a INTEGER, b CHAR(10) PRIMARY KEY (a))"}) {
        const TableDefinition definition = MakeCreateTableDefinition(*Prepared(sql)->MainQuery());
        EXPECT_EQ(KeyNumbers(definition.indexes.at(0)), (std::vector<int>{1})) << sql;
    }
    const TableDefinition none =
        MakeCreateTableDefinition(*Prepared("CREATE TABLE t (a INTEGER)")->MainQuery());
    ASSERT_EQ(none.indexes.size(), 1u);
    EXPECT_EQ(IndexFieldCount(none.indexes[0]), 0);
}

TEST(CreateTableDefinition, RefusesWhatTheDescriptorsCannotHold) {
    struct Case {
        const char* sql;
        const char* message;
    };
    const std::vector<Case> cases = {
        {"CREATE TABLE t (a INTEGER, PRIMARY KEY (z))", "<other>"},
        {"CREATE TABLE t (abcdefghijabcdefghijabcdefghijX INTEGER)",
         "Column name 'abcdefghijabcdefghijabcdefghijX' exceeds the maximum length of 30 "
         "characters"},
        {"CREATE TABLE t (a CHAR(5) DEFAULT '012345678901234567890123456789012345678901234567890')",
         "Column default value '012345678901234567890123456789012345678901234567890' exceeds "
         "the maximum length of 50 characters"},
    };
    for (const Case& c : cases) {
        const auto statement = Prepared(c.sql);
        const std::string error =
            SqlError([&] { MakeCreateTableDefinition(*statement->MainQuery()); });
        EXPECT_EQ(error.substr(0, std::string(c.message).size()), c.message) << c.sql;
    }
    // The unmatched key column is named in the engine's invalid-field error.
    const auto statement = Prepared("CREATE TABLE t (a INTEGER, PRIMARY KEY (z))");
    try {
        MakeCreateTableDefinition(*statement->MainQuery());
        FAIL() << "no error";
    } catch (const EStrataEngineError& e) {
        EXPECT_EQ(e.ErrorCode(), kErrInvalidField);
        EXPECT_NE(std::string(e.what()).find("'z'"), std::string::npos) << e.what();
    }
}

// A table a (1), b (2), c (3) with the primary index on a.
TableDefinition ThreeColumns() {
    TableDefinition table;
    table.fields = {MakeFieldDescriptor(1, "a", kTypeInteger),
                    MakeFieldDescriptor(2, "b", kTypeString, 0, 10),
                    MakeFieldDescriptor(3, "c", kTypeFloat)};
    IndexDescriptor primary{};
    primary[ixd::kFieldCount] = 1;
    PutU16(primary, ixd::kFieldNumbers, 1);
    table.indexes = {primary};
    table.description = "old";
    table.language = 0;
    table.blob_block_size = 512;
    table.user_major = 4;
    return table;
}

TableDefinition Alter(const char* sql, bool has_primary = true) {
    const auto statement = Prepared(sql);
    return MakeAlterTableDefinition(*statement->MainQuery(), ThreeColumns(), has_primary);
}

struct AlterCase {
    const char* sql;
    std::vector<std::string> names;
    std::vector<int> numbers;
};

// Kept columns keep their field numbers, wherever they move; new ones get unused numbers.
TEST(AlterTableDefinition, KeepsFieldNumbersOfKeptColumns) {
    const std::vector<AlterCase> cases = {
        {"ALTER TABLE t DROP a, ADD d INTEGER AT 1", {"d", "b", "c"}, {4, 2, 3}},
        {"ALTER TABLE t ADD d INTEGER", {"a", "b", "c", "d"}, {1, 2, 3, 4}},
        {"ALTER TABLE t ADD d INTEGER AT 2, ADD e INTEGER AT 1",
         {"e", "a", "d", "b", "c"},
         {5, 1, 4, 2, 3}},
        {"ALTER TABLE t DROP COLUMN b", {"a", "c"}, {1, 3}},
        {"ALTER TABLE t REDEFINE c AT 1", {"c", "a", "b"}, {3, 1, 2}},
        {"ALTER TABLE t REDEFINE a x INTEGER", {"x", "b", "c"}, {1, 2, 3}},
        {"ALTER TABLE t REDEFINE B AT 3", {"a", "c", "b"}, {1, 3, 2}},
        {"ALTER TABLE t DROP c, DROP b, ADD b CHAR(4)", {"a", "b"}, {1, 4}},
    };
    for (const AlterCase& c : cases) {
        const TableDefinition definition = Alter(c.sql);
        EXPECT_EQ(Names(definition), c.names) << c.sql;
        EXPECT_EQ(Numbers(definition), c.numbers) << c.sql;
    }
}

TEST(AlterTableDefinition, RedefineChangesTypeAndGivenOptionsOnly) {
    const TableDefinition definition =
        Alter("ALTER TABLE t REDEFINE b CHAR(20) DEFAULT 'z', REDEFINE c DESCRIPTION 'cee'");
    EXPECT_EQ(FieldLength(definition.fields[1]), 20);
    EXPECT_EQ(GetShortString(definition.fields[1], fd::kDefault, fd::kTextLength), "z");
    EXPECT_EQ(FieldType(definition.fields[2]), kTypeFloat) << "no type given: the type stays";
    EXPECT_EQ(GetShortString(definition.fields[2], fd::kDescription, fd::kTextLength), "cee");
}

TEST(AlterTableDefinition, PrimaryKeyUsesTheKeptNumbering) {
    const TableDefinition definition =
        Alter("ALTER TABLE t DROP a, ADD d INTEGER AT 1, REDEFINE PRIMARY KEY (c, d)");
    EXPECT_EQ(KeyNumbers(definition.indexes.at(0)), (std::vector<int>{3, 4}));
    const TableDefinition dropped = Alter("ALTER TABLE t DROP PRIMARY KEY");
    EXPECT_EQ(IndexFieldCount(dropped.indexes.at(0)), 0);
    const TableDefinition added = Alter("ALTER TABLE t ADD PRIMARY KEY (b)", false);
    EXPECT_EQ(KeyNumbers(added.indexes.at(0)), (std::vector<int>{2}));
}

TEST(AlterTableDefinition, KeepsTableOptionsThatAreNotGiven) {
    const TableDefinition kept = Alter("ALTER TABLE t ADD d INTEGER");
    EXPECT_EQ(kept.description, "old");
    EXPECT_EQ(kept.user_major, 4);
    EXPECT_EQ(kept.last_auto_inc, -1);
    const TableDefinition changed = Alter(
        "ALTER TABLE t DESCRIPTION 'new' ENCRYPTED WITH 'pw' USER MAJOR VERSION 7 LAST AUTOINC "
        "100 NOBACKUP");
    EXPECT_EQ(changed.description, "new");
    EXPECT_EQ(changed.user_major, 7);
    EXPECT_TRUE(changed.encrypted);
    EXPECT_EQ(changed.password, "pw");
    EXPECT_EQ(changed.last_auto_inc, 100);
    const TableDefinition plain = Alter("ALTER TABLE t ENCRYPTED WITH ''");
    EXPECT_FALSE(plain.encrypted);
}

TEST(AlterTableDefinition, RefusesBadPositionsNamesAndKeys) {
    struct Case {
        const char* sql;
        const char* message;
        bool has_primary = true;
    };
    const std::vector<Case> cases = {
        {"ALTER TABLE t ADD c2 INTEGER AT 9", "AT column position must be between 1 and 3"},
        {"ALTER TABLE t ADD c2 INTEGER AT 0", "AT column position must be between 1 and 3"},
        {"ALTER TABLE t ADD c2 INTEGER AT -1", "AT column position must be between 1 and 3"},
        {"ALTER TABLE t REDEFINE a AT 4", "AT column position must be between 1 and 3"},
        {"ALTER TABLE t REDEFINE q INTEGER", "Column q not found"},
        {"ALTER TABLE t DROP q", "Column q not found"},
        {"ALTER TABLE t ADD PRIMARY KEY (a)",
         "Cannot REDEFINE the primary key using the ADD keyword"},
        {"ALTER TABLE t REDEFINE PRIMARY KEY (q)", "<other>"},
        {"ALTER TABLE t DROP a, REDEFINE PRIMARY KEY (a)", "<other>"},
    };
    for (const Case& c : cases) {
        const auto statement = Prepared(c.sql);
        const std::string error = SqlError([&] {
            MakeAlterTableDefinition(*statement->MainQuery(), ThreeColumns(), c.has_primary);
        });
        EXPECT_EQ(error.substr(0, std::string(c.message).size()), c.message) << c.sql;
    }
}

}  // namespace
}  // namespace strata
