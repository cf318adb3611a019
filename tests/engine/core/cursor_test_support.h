#pragma once

// Shared pieces of the cursor tests: a session with a directory in a private
// folder, the list table's definition, and small helpers to write and read
// fields of record buffers.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "engine/core/data_cursor.h"
#include "engine/core/data_directory.h"
#include "engine/core/data_session.h"
#include "engine/core/engine_globals.h"
#include "engine/storage/engine_error.h"
#include "tests/engine/core/table_files_support.h"

namespace strata::testing_support {

inline IndexDescriptor MakeIndex(std::string_view name, std::initializer_list<std::uint16_t> fields,
                                 bool unique, bool case_insensitive = false,
                                 bool descending = false) {
    IndexDescriptor d{};
    PutShortString(d, ixd::kName, ixd::kNameLength, name);
    std::size_t i = 0;
    for (const std::uint16_t f : fields)
        PutU16(d, ixd::kFieldNumbers + 2 * i++, f);
    d[ixd::kUnique] = unique ? 1 : 0;
    d[ixd::kCaseInsensitive] = case_insensitive ? 1 : 0;
    d[ixd::kDescending] = descending ? 1 : 0;
    return d;
}

// The list table: a primary index on Index, and ByItem (unique,
// case-insensitive), ByCategory and ByBounce.
inline TableDefinition ListTableDefinition() {
    TableDefinition definition;
    definition.fields = ListTableFields();
    definition.indexes = {MakeIndex("", {1}, true), MakeIndex("ByItem", {2}, true, true),
                          MakeIndex("ByCategory", {3}, false, true),
                          MakeIndex("ByBounce", {4}, false)};
    return definition;
}

class CursorTest : public ::testing::Test {
  protected:
    void SetUp() override {
        StartEngine();
        session = std::make_unique<TDataSession>();
        session->SetPrivateDir(dir.File("private"));
        std::filesystem::create_directories(dir.File("private"));
        directory = session->OpenDirectory("DB", dir.Path().string());
    }
    void TearDown() override {
        cursors.clear();
        session.reset();
    }

    TDataCursor& NewCursor(std::string_view table = "mailist", bool exclusive = true) {
        cursors.push_back(std::make_unique<TDataCursor>(*directory));
        TDataCursor& c = *cursors.back();
        c.SetTableName(table);
        c.SetExclusive(exclusive);
        return c;
    }

    TDataCursor& CreateAndOpen(TableDefinition definition, std::string_view table = "mailist",
                               bool exclusive = true) {
        TDataCursor& c = NewCursor(table, true);
        c.CreateTable(std::move(definition), true);
        if (!exclusive)
            c.SetExclusive(false);
        c.Open();
        return c;
    }

    TempDir dir;
    std::unique_ptr<TDataSession> session;
    TDataDirectory* directory = nullptr;
    std::vector<std::unique_ptr<TDataCursor>> cursors;
};

inline void PutText(TDataCursor& c, std::vector<std::uint8_t>& buffer, std::uint32_t field,
                    std::string_view text) {
    std::vector<std::uint8_t> value(text.begin(), text.end());
    value.push_back(0);
    c.PutField(field, buffer, value.data());
}

inline void PutInt(TDataCursor& c, std::vector<std::uint8_t>& buffer, std::uint32_t field,
                   std::int32_t v) {
    std::uint8_t value[4];
    std::memcpy(value, &v, 4);
    c.PutField(field, buffer, value);
}

inline void PutNull(TDataCursor& c, std::vector<std::uint8_t>& buffer, std::uint32_t field) {
    c.PutField(field, buffer, nullptr);
}

inline std::string GetText(TDataCursor& c, const std::vector<std::uint8_t>& buffer,
                           std::uint32_t field) {
    std::vector<std::uint8_t> value(256);
    bool is_null = true;
    c.GetField(field, buffer, is_null, value);
    return is_null ? std::string("<null>")
                   : std::string(reinterpret_cast<const char*>(value.data()));
}

inline std::optional<std::int32_t> GetInt(TDataCursor& c, const std::vector<std::uint8_t>& buffer,
                                          std::uint32_t field) {
    std::vector<std::uint8_t> value(8);
    bool is_null = true;
    c.GetField(field, buffer, is_null, value);
    if (is_null)
        return std::nullopt;
    std::int32_t v = 0;
    std::memcpy(&v, value.data(), 4);
    return v;
}

// Inserts a list entry: Item, Category, Bounces (null when negative).
inline void InsertEntry(TDataCursor& c, std::string_view item, std::string_view category,
                        std::int32_t bounces) {
    std::vector<std::uint8_t> buffer(c.GetRecordSize());
    c.InitNewRecord(buffer);
    PutText(c, buffer, 2, item);
    PutText(c, buffer, 3, category);
    if (bounces >= 0)
        PutInt(c, buffer, 4, bounces);
    c.InsertRecord(buffer, false);
}

// The Item values in the cursor's current order.
inline std::vector<std::string> Items(TDataCursor& c) {
    std::vector<std::string> items;
    std::vector<std::uint8_t> buffer(c.GetRecordSize());
    c.First();
    while (c.GetNextRecord(buffer) == 0)
        items.push_back(GetText(c, buffer, 2));
    return items;
}

inline EngineErrorCode CodeOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const EStrataEngineError& error) {
        return error.ErrorCode();
    }
    return 0;
}

}  // namespace strata::testing_support
