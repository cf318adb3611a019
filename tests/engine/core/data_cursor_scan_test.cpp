#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "engine/core/data_cursor.h"
#include "engine/core/table_descriptors.h"
#include "engine/storage/byte_order.h"
#include "tests/engine/core/cursor_test_support.h"

namespace strata {
namespace {

using namespace testing_support;
using Records = std::vector<std::vector<std::uint8_t>>;

class DataCursorScan : public CursorTest {
  protected:
    static Records Looped(TDataCursor& c) {
        Records records;
        std::vector<std::uint8_t> buffer(c.GetRecordSize());
        c.First();
        while (c.GetNextRecord(buffer) == kErrNone)
            records.push_back(buffer);
        return records;
    }
    // The records of a scan; a scan a block at a time gives the same and leaves the cursor at
    // the end as well.
    static Records Scanned(TDataCursor& c, bool& scanned) {
        Records records;
        scanned = c.ScanRecords([&](ConstRecordBuffer record) {
            records.emplace_back(record.begin(), record.end());
            records.back().resize(c.GetRecordSize());
            return true;
        });
        Records blocks;
        const bool by_blocks = c.ScanRecordBlocks([&](const TDataCursor::ScannedBlock& block) {
            EXPECT_FALSE(block.numbers.empty());
            for (const std::uint32_t number : block.numbers)
                blocks.emplace_back(block.Record(number).begin(), block.Record(number).end());
            return true;
        });
        EXPECT_EQ(by_blocks, scanned);
        EXPECT_EQ(blocks, records);
        EXPECT_EQ(c.Eof(), scanned);
        return records;
    }
};

// A scan in blocks gives the records a GetNextRecord loop gives, byte for byte: deleted
// records left out, encrypted records in clear, filters applied, changes not yet written
// included; it declines an index order and an update batch, and a visit that stops leaves the
// cursor on its record (on the block's last record for a scan a block at a time).
TEST_F(DataCursorScan, GivesWhatAGetNextRecordLoopGives) {
    for (const bool encrypted : {false, true}) {
        SCOPED_TRACE(encrypted ? "encrypted" : "plain");
        TableDefinition definition = ListTableDefinition();
        definition.encrypted = encrypted;
        definition.password = encrypted ? "scan-pass" : "";
        if (encrypted)
            session->AddPassword("scan-pass");
        TDataCursor& c = CreateAndOpen(definition, encrypted ? "scan_secret" : "scan_plain");
        // More records than one block holds.
        for (int i = 0; i < 2500; ++i)
            InsertEntry(c, "m" + std::to_string(i) + "@x", i % 3 == 0 ? "A" : "b", i % 7);
        std::vector<std::uint8_t> buffer(c.GetRecordSize());
        c.SetIndex(kNoIndex);
        c.First();
        for (int i = 0; c.GetNextRecord(buffer) == kErrNone; ++i) {
            if (i % 5 == 0) {
                c.DeleteRecord(buffer, true);
            } else if (i % 13 == 0) {
                PutInt(c, buffer, 4, 100 + i);
                c.ModifyRecord(buffer, true, false);
            }
        }
        bool scanned = false;
        EXPECT_EQ(Scanned(c, scanned), Looped(c));
        EXPECT_TRUE(scanned);
        EXPECT_TRUE(c.Eof());

        TFilter* filter = c.AddFilter("Category = 'b' AND Bounces > 2", {});
        c.ActivateFilter(filter);
        const Records filtered = Looped(c);
        ASSERT_FALSE(filtered.empty());
        EXPECT_EQ(Scanned(c, scanned), filtered);

        // Stopping at the third record leaves the cursor there.
        int visits = 0;
        EXPECT_TRUE(c.ScanRecords([&](ConstRecordBuffer) { return ++visits < 3; }));
        EXPECT_EQ(visits, 3);
        ASSERT_EQ(c.GetCurrentRecord(buffer, false), kErrNone);
        EXPECT_EQ(buffer, filtered[2]);
        std::vector<std::uint8_t> last;
        EXPECT_TRUE(c.ScanRecordBlocks([&](const TDataCursor::ScannedBlock& block) {
            const ConstRecordBuffer record = block.Record(block.numbers.back());
            last.assign(record.begin(), record.end());
            return false;
        }));
        ASSERT_EQ(c.GetCurrentRecord(buffer, false), kErrNone);
        EXPECT_EQ(buffer, last);
        c.DropFilter(nullptr);

        // Records far apart and side by side: stretches read apart, the same records given.
        TFilter* sparse = c.AddFilter(
            "Item = 'm1@x' OR Item = 'm702@x' OR Item = 'm703@x' OR Item = 'm704@x' OR "
            "Item = 'm1900@x' OR Item = 'm2499@x'",
            {});
        c.ActivateFilter(sparse);
        const Records few = Looped(c);
        ASSERT_GE(few.size(), 4u);
        EXPECT_EQ(Scanned(c, scanned), few);
        EXPECT_TRUE(scanned);
        c.DropFilter(nullptr);

        directory->BeginUpdateBatch();
        c.First();
        ASSERT_EQ(c.GetNextRecord(buffer), kErrNone);
        PutInt(c, buffer, 4, 999);
        c.ModifyRecord(buffer, true, false);
        EXPECT_TRUE(Scanned(c, scanned).empty());
        EXPECT_FALSE(scanned);
        directory->EndUpdateBatch(true);
        const Records after = Looped(c);
        EXPECT_EQ(Scanned(c, scanned), after);
        EXPECT_EQ(GetInt(c, after.front(), 4), 999);

        c.SetIndex(0);
        EXPECT_TRUE(Scanned(c, scanned).empty());
        EXPECT_FALSE(scanned);
    }
}

// Scans read the file's own bytes where they can: a scan after the table grew finds the new
// records, one after the table was emptied and filled again only the new ones; a table in
// memory scans as one on disk; a record whose stored number is not its own (written so by
// another program) is given with its number, as a read gives it.
TEST_F(DataCursorScan, FollowsTheFileThroughGrowthEmptyingAndForeignRecords) {
    for (const bool in_memory : {false, true}) {
        SCOPED_TRACE(in_memory ? "memory" : "disk");
        TDataDirectory* where = in_memory ? session->OpenDirectory("MEMORY") : directory;
        ASSERT_NE(where, nullptr);
        cursors.push_back(std::make_unique<TDataCursor>(*where));
        TDataCursor& c = *cursors.back();
        c.SetTableName("scan_grow");
        c.SetExclusive(true);
        c.CreateTable(ListTableDefinition(), true);
        c.Open();
        c.SetIndex(kNoIndex);
        for (int i = 0; i < 300; ++i)
            InsertEntry(c, "m" + std::to_string(i) + "@x", i % 2 == 0 ? "A" : "b", i % 5);
        bool scanned = false;
        EXPECT_EQ(Scanned(c, scanned), Looped(c));
        EXPECT_TRUE(scanned);
        for (int i = 300; i < 3000; ++i)
            InsertEntry(c, "m" + std::to_string(i) + "@x", "c", i % 5);
        Records grown = Scanned(c, scanned);
        EXPECT_EQ(grown.size(), 3000u);
        EXPECT_EQ(grown, Looped(c));
        TFilter* filter = c.AddFilter("Category = 'c' AND Bounces = 4", {});
        c.ActivateFilter(filter);
        EXPECT_EQ(Scanned(c, scanned).size(), 540u);
        c.DropFilter(nullptr);

        c.EmptyTable();
        for (int i = 0; i < 40; ++i)
            InsertEntry(c, "n" + std::to_string(i) + "@x", "d", 1);
        const Records refilled = Scanned(c, scanned);
        EXPECT_EQ(refilled.size(), 40u);
        EXPECT_EQ(refilled, Looped(c));
        EXPECT_EQ(GetText(c, refilled.back(), 2), "n39@x");
    }

    TDataCursor& c = CreateAndOpen(ListTableDefinition(), "scan_foreign");
    for (int i = 0; i < 50; ++i)
        InsertEntry(c, "f" + std::to_string(i) + "@x", "A", i % 3);
    const std::size_t item_at = FieldOffset(c.GetFieldDesc(2)) + 1u;
    c.Close();
    const std::string path = dir.File("scan_foreign.DAT");
    std::string bytes;
    {
        std::ifstream in(path, std::ios::binary);
        bytes.assign(std::istreambuf_iterator<char>(in), {});
    }
    const std::size_t found = bytes.find(std::string("f7@x\0", 5));
    ASSERT_NE(found, std::string::npos);
    ASSERT_GE(found, item_at);
    bytes.replace(found - item_at + 1, 4, "\xEE\xEE\xEE\xEE");
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
    c.Open();
    c.SetIndex(kNoIndex);
    bool scanned = false;
    const Records looped = Looped(c);
    EXPECT_EQ(Scanned(c, scanned), looped);
    EXPECT_TRUE(scanned);
    ASSERT_EQ(looped.size(), 50u);
    EXPECT_EQ(GetText(c, looped[7], 2), "f7@x");
    EXPECT_EQ(GetU32(looped[7], 1), 8u);
}

// A filter that keeps runs of records far apart, on a shared table: the scan gives what the
// loop gives, changes not yet written included, and copies the runs out of the mapping a
// block at a time, so it takes a read lock per block of the file, not one per run. An
// encrypted table, read apart, gives the same records.
TEST_F(DataCursorScan, ScatteredRunsComeInFewOperations) {
    for (const bool encrypted : {false, true}) {
        SCOPED_TRACE(encrypted ? "encrypted" : "plain");
        TableDefinition definition = ListTableDefinition();
        definition.encrypted = encrypted;
        definition.password = encrypted ? "runs-pass" : "";
        if (encrypted)
            session->AddPassword("runs-pass");
        TDataCursor& c = CreateAndOpen(definition, encrypted ? "runs_secret" : "runs_plain", false);
        constexpr int kRecords = 6000;
        // Runs of 100 records with Bounces 2, three times as many records between them.
        for (int i = 0; i < kRecords; ++i)
            InsertEntry(c, "r" + std::to_string(i) + "@x", "A", i / 100 % 4);
        c.FlushBuffers(false, true, true);
        std::vector<std::uint8_t> buffer(c.GetRecordSize());
        c.SetIndex(kNoIndex);
        c.First();
        // Some records of the runs changed and not yet written, one deleted.
        for (int i = 0; c.GetNextRecord(buffer) == kErrNone; ++i) {
            if (i % 400 == 250) {
                PutText(c, buffer, 3, "changed");
                c.ModifyRecord(buffer, true, false);
            } else if (i == 1010) {
                c.DeleteRecord(buffer, true);
            }
        }
        TFilter* filter = c.AddFilter("Bounces = 2", {});
        c.ActivateFilter(filter);
        const Records looped = Looped(c);
        ASSERT_EQ(looped.size(), std::size_t{kRecords / 4 - 1});
        const std::uint64_t locks = c.Table()->OperationReadLocks();
        bool scanned = false;
        const Records records = Scanned(c, scanned);
        EXPECT_TRUE(scanned);
        EXPECT_EQ(records, looped);
        EXPECT_EQ(GetText(c, records[50], 3), "changed");
        if (!encrypted) {
            // Two scans of a file of a few blocks.
            const std::size_t blocks = kRecords * c.GetRecordSize() / (1024 * 1024) + 1;
            EXPECT_LE(c.Table()->OperationReadLocks() - locks, 2 * blocks);
        }
        c.DropFilter(nullptr);
    }
}

// Through an index that holds the values, one live record per value, in key order with null
// first: a value whose records are all deleted is gone, one left alive anywhere in its run is
// found; no other record is visited. An index that ignores case, a filter, or no index on the
// field leaves the scan to the caller.
TEST_F(DataCursorScan, DistinctValuesOnceEachThroughAnIndexWithTheirValues) {
    TDataCursor& c = CreateAndOpen(ListTableDefinition(), "scan_distinct");
    for (int i = 0; i < 3000; ++i)
        InsertEntry(c, "m" + std::to_string(i) + "@x", i % 2 == 0 ? "A" : "a", i % 7);
    std::vector<std::uint8_t> buffer(c.GetRecordSize());
    c.SetIndex(kNoIndex);
    c.First();
    int fives = 0;
    for (int i = 0; c.GetNextRecord(buffer) == kErrNone; ++i) {
        const std::int32_t bounces = *GetInt(c, buffer, 4);
        // Every 3 and every 5 but the last; a few nulls.
        if (bounces == 3 || (bounces == 5 && ++fives < 3000 / 7)) {
            c.DeleteRecord(buffer, true);
        } else if (i % 500 == 1) {
            PutNull(c, buffer, 4);
            c.ModifyRecord(buffer, true, false);
        }
    }
    std::vector<std::string> values;
    const auto distinct = [&](std::uint32_t field) {
        values.clear();
        return c.ScanDistinct(field, [&](ConstRecordBuffer record) {
            std::vector<std::uint8_t> copy(record.begin(), record.end());
            copy.resize(c.GetRecordSize());
            const std::optional<std::int32_t> value = GetInt(c, copy, 4);
            values.push_back(value ? std::to_string(*value) : "<null>");
            return true;
        });
    };
    EXPECT_TRUE(distinct(4));
    EXPECT_EQ(values, (std::vector<std::string>{"<null>", "0", "1", "2", "4", "5", "6"}));
    EXPECT_TRUE(c.Eof());
    EXPECT_FALSE(distinct(3)) << "Category's index ignores case";
    EXPECT_FALSE(distinct(5)) << "no index on Comments";
    EXPECT_TRUE(values.empty());
    TFilter* filter = c.AddFilter("Bounces > 2", {});
    c.ActivateFilter(filter);
    EXPECT_FALSE(distinct(4));
    c.DropFilter(nullptr);
}

// A walk through an index of many more leaves than walks keep leaves no more of them cached.
TEST_F(DataCursorScan, AWalkThroughALongIndexKeepsItsLastLeavesOnly) {
    constexpr int kEntries = 60000;
    TDataCursor& writer = CreateAndOpen(ListTableDefinition());
    for (int i = 0; i < kEntries; ++i)
        InsertEntry(writer, std::string(60, 'm') + std::to_string(i) + "@x", "Cat", 0);
    writer.Close();
    TDataCursor& c = NewCursor();
    c.Open();
    c.SetIndexByName("ByItem");
    const TIndexFile& index = c.Table()->IndexFile();
    const std::uint64_t reads = index.GetStatistics().reads;
    EXPECT_EQ(Looped(c).size(), std::size_t{kEntries});
    EXPECT_GT(index.GetStatistics().reads - reads, kKeptScanPages + 64);
    EXPECT_LE(index.CachedPageTotal(), kKeptScanPages + 64);
}

}  // namespace
}  // namespace strata
