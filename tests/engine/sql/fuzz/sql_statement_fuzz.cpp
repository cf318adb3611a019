// libFuzzer target for the SQL processor: any text is prepared and executed
// against a small database of two tables, which is put back before each input,
// and a SELECT's rows are read. Engine errors are the expected answer to bad
// input; anything else escaping, a crash or a sanitizer report is a fault.

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "engine/core/data_cursor.h"
#include "engine/core/data_directory.h"
#include "engine/core/data_session.h"
#include "engine/core/engine_globals.h"
#include "engine/sql/query_statement.h"
#include "engine/storage/engine_error.h"

namespace {

using namespace strata;

const std::string* folder_to_remove = nullptr;

std::filesystem::path Folder() {
    static const std::filesystem::path path = [] {
        std::string pattern = (std::filesystem::temp_directory_path() / "sqlfuzzXXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr)
            throw std::runtime_error("mkdtemp");
        // libFuzzer ends a bounded run through exit(); the folder goes with
        // it. Its name outlives every static object.
        folder_to_remove = new std::string(pattern);
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(*folder_to_remove, ignored);
        });
        std::filesystem::create_directories(std::filesystem::path(pattern) / "private");
        return std::filesystem::path(pattern);
    }();
    return path;
}

void Run(TDataDirectory& directory, std::string_view sql) {
    TQueryStatement statement(&directory);
    std::size_t offset = 0;
    statement.Prepare(sql, offset);
    statement.SetParams(0, {}, {});
    TDataCursor* result = statement.Execute();
    if (result == nullptr)
        return;
    std::vector<std::uint8_t> record(result->GetRecordSize());
    std::vector<std::uint8_t> value(512);
    result->First();
    for (int rows = 0; rows < 1000 && result->GetNextRecord(record) == kErrNone; ++rows) {
        for (std::uint32_t n = 1; n <= result->GetFieldCount(); ++n) {
            bool is_null = true;
            result->GetField(n, record, is_null, value);
        }
    }
}

// The database's files as first made, put back before every input.
const std::map<std::string, std::string>& Pristine() {
    static const std::map<std::string, std::string> files = [] {
        StartEngine();
        {
            TDataSession session;
            session.SetPrivateDir((Folder() / "private").string());
            TDataDirectory* directory = session.OpenDirectory("DB", Folder().string());
            for (const char* sql : {
                     "CREATE TABLE t (a INTEGER, b CHAR(10), c FLOAT, d DATE, PRIMARY KEY (a))",
                     "CREATE TABLE u (k INTEGER, label CHAR(20), m BLOB(1, 1))",
                     "INSERT INTO t VALUES (1, 'one', 1.5, '2001-02-03')",
                     "INSERT INTO t VALUES (2, 'two', -2.25, '1999-12-31')",
                     "INSERT INTO t VALUES (3, NULL, NULL, NULL)",
                     "INSERT INTO u VALUES (1, 'first', NULL)",
                     "INSERT INTO u VALUES (3, 'third', NULL)",
                     "INSERT INTO u VALUES (2, 'second', 'a memo of second')",
                     "CREATE NOCASE INDEX tb ON t (b)",
                 }) {
                Run(*directory, sql);
            }
        }
        std::map<std::string, std::string> out;
        for (const auto& entry : std::filesystem::directory_iterator(Folder())) {
            if (!entry.is_regular_file())
                continue;
            std::ifstream in(entry.path(), std::ios::binary);
            out[entry.path().filename().string()] =
                std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        }
        return out;
    }();
    return files;
}

void Restore() {
    for (const auto& entry : std::filesystem::directory_iterator(Folder())) {
        if (entry.is_regular_file() && !Pristine().contains(entry.path().filename().string()))
            std::filesystem::remove(entry.path());
    }
    for (const auto& [name, bytes] : Pristine())
        std::ofstream(Folder() / name, std::ios::binary | std::ios::trunc) << bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Pristine();
    Restore();
    const std::string_view sql(reinterpret_cast<const char*>(data), size);
    TDataSession session;
    session.SetPrivateDir((Folder() / "private").string());
    TDataDirectory* directory = session.OpenDirectory("DB", Folder().string());
    try {
        Run(*directory, sql);
    } catch (const EStrataEngineError&) {
        // The answer to bad input.
    }
    return 0;
}
