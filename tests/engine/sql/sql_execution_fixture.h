#pragma once

// A fixture that runs SQL statements against real tables in a private folder and reads rows
// back.

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "engine/core/data_cursor.h"
#include "engine/core/data_directory.h"
#include "engine/core/data_session.h"
#include "engine/core/engine_globals.h"
#include "engine/sql/query_statement.h"
#include "engine/storage/byte_order.h"
#include "engine/storage/data_types.h"
#include "tests/engine/core/table_files_support.h"

namespace strata::sqltest {

// Statements run against real tables in a private folder; every check reads the tables back
// through a fresh session, from disk.
class SqlExecution : public ::testing::Test {
  protected:
    void SetUp() override {
        StartEngine();
        OpenSession();
    }
    void TearDown() override { session_.reset(); }

    void OpenSession() {
        session_.reset();
        session_ = std::make_unique<TDataSession>();
        std::filesystem::create_directories(dir_.File("private"));
        session_->SetPrivateDir(dir_.File("private"));
        directory_ = session_->OpenDirectory("DB", dir_.Path().string());
    }

    // Prepares and runs one statement; answers the rows it changed (or produced).
    std::int32_t Run(std::string_view sql,
                     const std::function<void(TQueryStatement&)>& params = {}) {
        TQueryStatement statement(directory_);
        std::size_t offset = 0;
        statement.Prepare(sql, offset);
        if (params) {
            params(statement);
        }
        statement.Execute();
        return statement.GetResultCount();
    }

    // A SELECT's result rows; `live` asks for a live result.
    std::vector<std::string> Select(std::string_view sql, std::int32_t max_rows = -1,
                                    bool live = false) {
        TQueryStatement statement(directory_);
        statement.SetMaxRowCount(max_rows);
        statement.SetRequestLive(live);
        std::size_t offset = 0;
        statement.Prepare(sql, offset);
        TDataCursor* result = statement.Execute();
        EXPECT_NE(result, nullptr);
        auto rows = RowsOf(*result);
        EXPECT_EQ(statement.GetResultCount(), static_cast<std::int32_t>(rows.size()));
        return rows;
    }

    // Every row of a cursor, each as "v1|v2|..." with <null> for nulls; hidden fields and
    // AVG counts (a table written by INTO keeps them) are left out.
    static std::vector<std::string> RowsOf(TDataCursor& cursor) {
        std::vector<std::string> rows;
        std::vector<std::uint8_t> record(cursor.GetRecordSize());
        cursor.First();
        while (cursor.GetNextRecord(record) == kErrNone) {
            std::string row;
            for (std::uint32_t n = 1; n <= cursor.GetFieldCount(); ++n) {
                const FieldDescriptor& d = cursor.GetFieldDesc(n);
                if (FieldHidden(d) || FieldName(d).rfind("Sys__Avg__Count", 0) == 0) {
                    continue;
                }
                std::vector<std::uint8_t> value(256);
                bool is_null = true;
                cursor.GetField(n, record, is_null, value);
                if (n > 1) {
                    row += "|";
                }
                const auto* bytes = reinterpret_cast<std::byte*>(value.data());
                if (is_null) {
                    row += "<null>";
                } else if (FieldType(d) == kTypeString) {
                    row += reinterpret_cast<const char*>(value.data());
                } else if (FieldType(d) == kTypeInteger) {
                    row += std::to_string(LoadInt32(bytes));
                } else if (FieldType(d) == kTypeSmallInt) {
                    row += std::to_string(LoadInt16(bytes));
                } else if (FieldType(d) == kTypeFloat) {
                    std::ostringstream text;
                    text << LoadDouble(bytes);
                    row += text.str();
                } else if (FieldType(d) == kTypeDate) {
                    row += "d" + std::to_string(LoadInt32(bytes));
                } else if (FieldType(d) == kTypeBoolean) {
                    row += LoadUInt16(bytes) != 0 ? "T" : "F";
                } else if (FieldType(d) == kTypeBlob) {
                    row += BlobText(cursor, n, record);
                } else {
                    row += "?";
                }
            }
            rows.push_back(row);
        }
        return rows;
    }

    // A blob's bytes as text; a blob that cannot be read shows as "<bad blob>".
    static std::string BlobText(TDataCursor& cursor, std::uint32_t field,
                                std::vector<std::uint8_t>& record) {
        std::uint32_t size = 0;
        if (cursor.OpenBlob(field, record, 0) != kErrNone ||
            cursor.GetBlobSize(field, record, size) != kErrNone) {
            return "<bad blob>";
        }
        std::string text(size, '\0');
        std::uint32_t read = 0;
        const bool ok = size == 0 || cursor.ReadBlob(field, record, read, size,
                                                     reinterpret_cast<std::uint8_t*>(text.data()),
                                                     0) == kErrNone;
        cursor.FreeBlobs();
        return ok ? text : "<bad blob>";
    }

    // Every row of `table` from disk, through a fresh session.
    std::vector<std::string> Rows(std::string_view table) {
        OpenSession();
        TDataCursor cursor(*directory_);
        cursor.SetTableName(table);
        cursor.Open();
        return RowsOf(cursor);
    }

    testing_support::TempDir dir_;
    std::unique_ptr<TDataSession> session_;
    TDataDirectory* directory_ = nullptr;
};

}  // namespace strata::sqltest
