#pragma once

// A damage campaign over one table shaped like the application's list table
// (texts, a multi-block memo, a date, numbers, indexes with and without key
// compression, case-insensitive and descending ones). A case writes damaged
// files, reads them through every index and a filter, verifies, repairs,
// verifies again and reads again, and holds the answers to the rule for bad
// input: an engine error or correct data, never a crash, a hang or a loss of
// what was intact.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "engine/core/blob_file.h"
#include "engine/core/data_file.h"
#include "engine/core/index_file.h"
#include "engine/core/index_page.h"
#include "engine/core/table_repair.h"
#include "tests/engine/core/cursor_test_support.h"

namespace strata::testing_support {

inline constexpr std::array<const char*, 3> kTableExtensions = {".DAT", ".IDX", ".BLB"};
inline constexpr std::uint32_t kNotesField = 7;
inline constexpr std::uint32_t kCampaignBlockSize = 64;

// Every index the campaign reads through; "" is the primary one.
inline const std::vector<std::string>& CampaignIndexes() {
    static const std::vector<std::string> names = {"",          "ByItem",   "ByCategory",
                                                   "ByBounces", "ByJoined", "ByAmountDesc"};
    return names;
}

inline IndexDescriptor CompressedIndex(std::string_view name,
                                       std::initializer_list<std::uint16_t> fields, bool unique,
                                       bool case_insensitive, bool descending,
                                       std::uint8_t compression) {
    IndexDescriptor d = MakeIndex(name, fields, unique, case_insensitive, descending);
    d[ixd::kCompression] = compression;
    return d;
}

inline TableDefinition CampaignDefinition() {
    TableDefinition definition;
    definition.fields = {
        MakeFieldDescriptor(1, "Index", 6, 29),       MakeFieldDescriptor(2, "Item", 1, 0, 60),
        MakeFieldDescriptor(3, "Category", 1, 0, 20), MakeFieldDescriptor(4, "Bounces", 6),
        MakeFieldDescriptor(5, "Joined", 2),          MakeFieldDescriptor(6, "Amount", 7),
        MakeFieldDescriptor(7, "Notes", 3, 22)};
    LayOut(definition.fields);
    definition.indexes = {CompressedIndex("", {1}, true, false, false, 0),
                          CompressedIndex("ByItem", {2}, true, true, false, 3),
                          CompressedIndex("ByCategory", {3}, false, true, false, 0),
                          CompressedIndex("ByBounces", {4, 2}, false, false, true, 3),
                          CompressedIndex("ByJoined", {5}, false, false, false, 3),
                          CompressedIndex("ByAmountDesc", {6}, false, false, true, 0)};
    definition.blob_block_size = kCampaignBlockSize;
    return definition;
}

// One record as read back: its field values as bytes and its memo.
struct CampaignRow {
    std::vector<std::string> values;
    std::string notes;
    bool operator==(const CampaignRow&) const = default;
};

inline std::string Hex(std::span<const std::uint8_t> bytes) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (const std::uint8_t b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

// Reads the record's values and its memo; a failure to read the memo raises.
inline CampaignRow ReadCampaignRow(TDataCursor& c, std::vector<std::uint8_t>& record) {
    CampaignRow row;
    for (std::uint32_t f = 2; f < kNotesField; ++f) {
        std::vector<std::uint8_t> value(256, 0);
        bool is_null = true;
        c.GetField(f, record, is_null, value);
        if (is_null) {
            row.values.emplace_back("<null>");
        } else if (f <= 3) {
            row.values.emplace_back(reinterpret_cast<const char*>(value.data()));
        } else {
            row.values.push_back(Hex(std::span(value.data(), 8)));
        }
    }
    // A damaged descriptor may have made the memo field something else.
    if (c.GetFieldCount() < kNotesField || FieldType(c.GetFieldDesc(kNotesField)) != 3)
        return row;
    std::uint32_t size = 0;
    EngineErrorCode code = c.OpenBlob(kNotesField, record, kBlobOpenRead);
    if (code == kErrNone)
        code = c.GetBlobSize(kNotesField, record, size);
    if (code == kErrNone && size > 0) {
        std::vector<std::uint8_t> bytes(size);
        std::uint32_t got = 0;
        code = c.ReadBlob(kNotesField, record, got, size, bytes.data(), 0);
        row.notes.assign(bytes.begin(), bytes.begin() + got);
    }
    c.FreeBlobs();
    if (code != kErrNone)
        RaiseEngineError(code, c.TableName());
    return row;
}

// Where each record of the sound table lies in its files, so that a case
// knows which records a damage left intact.
struct CampaignLayout {
    std::int64_t records_at = 0;
    std::uint32_t record_size = 0;
    // By record ID: the slot, the blocks of its memo.
    std::map<std::uint32_t, std::uint32_t> slot_of;
    std::map<std::uint32_t, std::vector<std::uint32_t>> blocks_of;
    std::map<std::uint32_t, CampaignRow> rows;
    std::uint32_t slots = 0;
    std::vector<std::uint32_t> free_blocks;
};

// How much of the table a damage leaves intact.
enum class Intact {
    kRecordsOutside,  // records and memos outside the damaged ranges
    kNone,            // nothing can be promised (headers, descriptors, swapped files)
};

struct DamagedTable {
    std::string label;
    std::array<std::optional<std::vector<std::uint8_t>>, 3> files;  // nullopt: missing
    // Damaged byte ranges per file, [begin, end).
    std::array<std::vector<std::pair<std::int64_t, std::int64_t>>, 3> ranges;
    Intact intact = Intact::kRecordsOutside;
    // The index header or pages were hit: names may go, but no record.
    bool index_header_hit = false;
};

}  // namespace strata::testing_support
