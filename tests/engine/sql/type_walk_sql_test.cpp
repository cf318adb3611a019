// Every column type at its limits, through INSERT, SELECT, CAST, UPDATE and aggregates.

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "engine/storage/engine_error.h"
#include "sql_execution_fixture.h"

namespace strata::sqltest {
namespace {

struct SqlValueCase {
    const char* column;
    const char* literal;
    const char* text;  // the value read back as CAST(column AS CHAR(60))
};

const SqlValueCase kValueCases[] = {
    {"s", "''", "<null>"},
    {"s", "'0123456789'", "0123456789"},
    {"s", "' ab  '", " ab"},
    {"si", "-32768", "-32768"},
    {"si", "32767", "32767"},
    {"i", "-2147483647 - 1", "-2147483648"},
    {"i", "2147483647", "2147483647"},
    {"w", "65535", "65535"},
    {"w", "0", "0"},
    {"f", "-0.0", "0"},
    {"f", "1.7976931348623157E308", "1.79769313486232E308"},
    {"f", "9007199254740993.0", "9.00719925474099E15"},
    {"f", "0.1", "0.1"},
    {"m", "-12345.6789", "-12345.6789"},
    {"d0", "922337203685477.0", "922337203685477"},
    {"d0", "2.5", "3"},
    {"d2", "-1234.5", "-1234.50"},
    {"d2", "-0.004", "0.00"},
    {"d4", "-922337203685.4775", "-922337203685.4775"},
    {"d4", "123456789012.3457", "123456789012.3457"},
    {"dt", "'0001-01-01'", "0001-01-01"},
    {"dt", "'9999-12-31'", "9999-12-31"},
    {"tm", "'23:59:59.999'", "23:59:59"},
    {"tm", "'00:00:00'", "00:00:00"},
    {"ts", "'0001-01-01 00:00:00'", "0001-01-01"},
    {"ts", "'9999-12-31 23:59:59'", "9999-12-31 23:59:59"},
    {"b", "TRUE", "True"},
    {"b", "FALSE", "False"},
};

class SqlTypeWalk : public SqlExecution {
  protected:
    // Result rows with every value's type and exact value: BCD as its scaled integer.
    std::vector<std::string> Values(std::string_view sql) {
        TQueryStatement statement(directory_);
        std::size_t offset = 0;
        statement.Prepare(sql, offset);
        TDataCursor* result = statement.Execute();
        std::vector<std::string> rows;
        std::vector<std::uint8_t> record(result->GetRecordSize());
        result->First();
        while (result->GetNextRecord(record) == kErrNone) {
            std::string row;
            for (std::uint32_t n = 1; n <= result->GetFieldCount(); ++n) {
                const FieldDescriptor& d = result->GetFieldDesc(n);
                if (FieldHidden(d) || FieldName(d).rfind("Sys__Avg__Count", 0) == 0) {
                    continue;
                }
                std::vector<std::uint8_t> value(256);
                bool is_null = true;
                result->GetField(n, record, is_null, value);
                const auto* bytes = reinterpret_cast<std::byte*>(value.data());
                if (!row.empty()) {
                    row += "|";
                }
                row += std::to_string(FieldType(d)) + ":";
                char text[64];
                if (is_null) {
                    row += "<null>";
                } else if (FieldType(d) == kTypeBCD) {
                    row += std::to_string(LoadInt64(bytes));
                } else if (FieldType(d) == kTypeFloat || FieldType(d) == kTypeTimestamp) {
                    std::snprintf(text, sizeof text, "%.17g", LoadDouble(bytes));
                    row += text;
                } else if (FieldType(d) == kTypeInteger || FieldType(d) == kTypeDate ||
                           FieldType(d) == kTypeTime) {
                    row += std::to_string(LoadInt32(bytes));
                } else if (FieldType(d) == kTypeSmallInt) {
                    row += std::to_string(LoadInt16(bytes));
                } else if (FieldType(d) == kTypeWord || FieldType(d) == kTypeBoolean) {
                    row += std::to_string(LoadUInt16(bytes));
                } else if (FieldType(d) == kTypeString) {
                    row += reinterpret_cast<const char*>(value.data());
                } else if (FieldType(d) == kTypeBytes) {
                    for (std::size_t k = 0; k < FieldDataSize(d); ++k) {
                        std::snprintf(text, sizeof text, "%02x", value[k]);
                        row += text;
                    }
                } else if (FieldType(d) == kTypeBlob) {
                    row += BlobText(*result, n, record);
                } else {
                    row += "?";
                }
            }
            rows.push_back(row);
        }
        return rows;
    }
    void CreateValues() {
        Run("CREATE TABLE v (id INTEGER, s CHAR(10), si SMALLINT, i INTEGER, w WORD, f FLOAT, "
            "m MONEY, d0 DECIMAL(20, 0), d2 DECIMAL(20, 2), d4 DECIMAL(20, 4), dt DATE, tm TIME, "
            "ts TIMESTAMP, b BOOLEAN, PRIMARY KEY (id))");
    }
};

TEST_F(SqlTypeWalk, LiteralsReadBackAsTheyWereWritten) {
    CreateValues();
    int id = 0;
    for (const SqlValueCase& c : kValueCases) {
        SCOPED_TRACE(std::string(c.column) + " = " + c.literal);
        ++id;
        Run("INSERT INTO v (id, " + std::string(c.column) + ") VALUES (" + std::to_string(id) +
            ", " + c.literal + ")");
        const auto rows = Select("SELECT CAST(" + std::string(c.column) +
                                 " AS CHAR(60)) FROM v WHERE id = " + std::to_string(id));
        ASSERT_EQ(rows.size(), 1U);
        EXPECT_EQ(rows[0], c.text);
    }
}

// Sixteen digits and more: a double would round them, the scaled decimals must not.
TEST_F(SqlTypeWalk, DecimalAggregatesKeepEveryDigit) {
    CreateValues();
    Run("INSERT INTO v (id, d4, d2, f) VALUES (1, 100000000000.0001, 1.25, 1e300)");
    Run("INSERT INTO v (id, d4, d2, f) VALUES (2, 100000000000.0001, 1.25, 1e300)");
    Run("INSERT INTO v (id, d4, d2, f) VALUES (3, 100000000000.0003, 1.26, -1e300)");
    Run("INSERT INTO v (id) VALUES (4)");
    struct AggregateCase {
        const char* sql;
        std::vector<std::string> rows;
    };
    const AggregateCase cases[] = {
        {"SELECT SUM(d4), AVG(d4), MIN(d4), MAX(d4), COUNT(d4) FROM v",
         {"8:30000000000000054|8:10000000000000024|8:10000000000000014|8:10000000000000034|6:3"}},
        // 3.76 / 3 is 1.2533..., kept at the column's two places.
        {"SELECT SUM(d2), AVG(d2), MIN(d2), MAX(d2) FROM v", {"8:3762|8:1252|8:1252|8:1262"}},
        {"SELECT d4 + d4, d4 * 3, d4 - 0.0001 FROM v WHERE id = 3",
         {"8:20000000000000064|8:30000000000000094|7:100000000000.0002"}},
        {"SELECT MIN(f), MAX(f) FROM v", {"7:-1.0000000000000001e+300|7:1.0000000000000001e+300"}},
        {"SELECT id FROM v WHERE d4 = 100000000000.0003", {"6:3"}},
        {"SELECT id FROM v WHERE d4 > 100000000000.0001 OR d4 IS NULL ORDER BY id", {"6:3", "6:4"}},
    };
    for (const AggregateCase& c : cases) {
        SCOPED_TRACE(c.sql);
        EXPECT_EQ(Values(c.sql), c.rows);
    }
    // Sums past the column's range are refused, never wrapped.
    Run("INSERT INTO v (id, i, d0) VALUES (5, 2147483647, 900000000000000.0)");
    Run("INSERT INTO v (id, i, d0) VALUES (6, 1, 22337203685478.0)");
    EXPECT_THROW(Values("SELECT SUM(i) FROM v"), EStrataEngineError);
    EXPECT_THROW(Values("SELECT SUM(d0) FROM v"), EStrataEngineError);
}

// Copying rows into a table of the same shape keeps every value, and copying them back over
// themselves with UPDATE changes none.
TEST_F(SqlTypeWalk, CopiesAndSelfUpdatesKeepEveryValue) {
    const std::string columns =
        "(id INTEGER, s CHAR(10), si SMALLINT, i INTEGER, w WORD, f FLOAT, m MONEY, "
        "d2 DECIMAL(20, 2), d4 DECIMAL(20, 4), dt DATE, tm TIME, ts TIMESTAMP, b BOOLEAN, "
        "by BYTES(3), memo BLOB(1, 1), PRIMARY KEY (id))";
    Run("CREATE TABLE src " + columns);
    Run("CREATE TABLE dst " + columns);
    Run("INSERT INTO src VALUES (1, 'z  z', -32768, -2147483647 - 1, 65535, -1.5E300, "
        "-922337203685.4775, -922337203685.47, 123456789012.3457, '0001-01-01', "
        "'23:59:59.999', '9999-12-31 23:59:59.999', FALSE, CAST('a' AS BYTES(3)), 'memo')");
    Run("INSERT INTO src VALUES (2, 'Z', 32767, 2147483647, 0, 4.9E-324, 0.0001, 0.01, "
        "-0.0001, '9999-12-31', '00:00:00', '0001-01-01 00:00:00.001', TRUE, CAST('abc' AS "
        "BYTES(3)), '')");
    Run("INSERT INTO src (id) VALUES (3)");
    const std::vector<std::string> rows = Values("SELECT * FROM src ORDER BY id");
    ASSERT_EQ(rows.size(), 3U);
    EXPECT_EQ(Run("INSERT INTO dst SELECT * FROM src"), 3);
    EXPECT_EQ(Values("SELECT * FROM dst ORDER BY id"), rows);
    EXPECT_EQ(Run("UPDATE dst SET s = s, si = si, i = i, w = w, f = f, m = m, d2 = d2, d4 = d4, "
                  "dt = dt, tm = tm, ts = ts, b = b, by = by, memo = memo"),
              3);
    EXPECT_EQ(Values("SELECT * FROM dst ORDER BY id"), rows);
    OpenSession();
    EXPECT_EQ(Values("SELECT * FROM dst ORDER BY id"), rows);
    // Across types: decimals re-scale with rounding, integers widen; a value that does not fit
    // its column stops the statement and leaves the row as it was.
    Run("UPDATE dst SET d2 = d4, f = i, i = si WHERE id = 1");
    EXPECT_EQ(Values("SELECT d2, f, i FROM dst WHERE id = 1"),
              (std::vector<std::string>{"8:123456789012352|7:-2147483648|6:-32768"}));
    EXPECT_THROW(Run("UPDATE dst SET si = w WHERE id = 1"), EStrataEngineError);
    EXPECT_EQ(Values("SELECT si FROM dst WHERE id = 1"), (std::vector<std::string>{"5:-32768"}));
}

}  // namespace
}  // namespace strata::sqltest
