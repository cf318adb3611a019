// Flushes of a table held alone join changed records across unchanged ones by reading the
// unchanged ones from the file. Records a cursor has just inserted past the file's last record
// are in the record cache only, so such a read must stop where the file ends and take them from
// the cache. Each case runs once on a table held exclusively and once shared (where no flush
// reads between changes): both must hold the same records, byte for byte, reopen with every
// change and verify clean.

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "engine/core/data_cursor.h"
#include "engine/core/data_file.h"
#include "engine/core/table_repair.h"
#include "tests/engine/core/cursor_test_support.h"

namespace strata {
namespace {

using namespace testing_support;

struct FlushCase {
    const char* name;
    // Rows the table starts with, and the records deleted before it is closed.
    int rows;
    std::vector<std::uint32_t> deleted;
    // Rows inserted after the table is opened again (taking the deleted records first), then,
    // after a flush when `second` is above zero, `second` more.
    int inserted;
    int second;
    // During a walk in record order after the inserts: the records changed and deleted.
    std::vector<std::uint32_t> changed;
    std::vector<std::uint32_t> removed;
};

void PrintTo(const FlushCase& test, std::ostream* out) {
    *out << test.name;
}

class DataCursorFlush : public CursorTest, public ::testing::WithParamInterface<FlushCase> {
  protected:
    // The case on table `name`; the Item and Bounces of each live record by number.
    std::map<std::uint32_t, std::pair<std::string, std::int32_t>> Run(const std::string& name,
                                                                      bool exclusive) {
        const FlushCase& test = GetParam();
        std::vector<std::uint8_t> buffer;
        {
            TDataCursor& c = CreateAndOpen(ListTableDefinition(), name, exclusive);
            buffer.resize(c.GetRecordSize());
            for (int i = 0; i < test.rows; ++i)
                InsertEntry(c, "old" + std::to_string(i) + "@x", "C" + std::to_string(i % 3), i);
            c.SetIndex(kNoIndex);
            c.First();
            while (c.GetNextRecord(buffer) == 0) {
                if (std::find(test.deleted.begin(), test.deleted.end(), c.GetCurrentRecordNo()) !=
                    test.deleted.end())
                    c.DeleteRecord(buffer, false);
            }
            c.Close();
        }
        TDataCursor& c = NewCursor(name, exclusive);
        c.Open();
        for (int i = 0; i < test.inserted + test.second; ++i) {
            if (i == test.inserted)
                c.FlushBuffers(false, true, true);
            InsertEntry(c, "new" + std::to_string(i) + "@x", "N", 1000 + i);
        }
        c.SetIndex(kNoIndex);
        c.First();
        while (c.GetNextRecord(buffer) == 0) {
            const std::uint32_t n = c.GetCurrentRecordNo();
            if (std::find(test.removed.begin(), test.removed.end(), n) != test.removed.end()) {
                c.DeleteRecord(buffer, false);
            } else if (std::find(test.changed.begin(), test.changed.end(), n) !=
                       test.changed.end()) {
                PutInt(c, buffer, 4, 5000 + static_cast<std::int32_t>(n));
                c.ModifyRecord(buffer, true, false);
            }
        }
        EXPECT_EQ(CodeOf([&] { c.Close(); }), 0) << name;

        std::map<std::uint32_t, std::pair<std::string, std::int32_t>> records;
        TDataCursor& again = NewCursor(name, true);
        again.Open();
        again.SetIndex(kNoIndex);
        again.First();
        while (again.GetNextRecord(buffer) == 0) {
            records[again.GetCurrentRecordNo()] = {GetText(again, buffer, 2),
                                                   GetInt(again, buffer, 4).value_or(-1)};
        }
        again.Close();
        std::vector<std::string> lines;
        TDataCursor& verifier = NewCursor(name, true);
        RepairTable(verifier, true, 0, {},
                    [&lines](std::string_view line) { lines.emplace_back(line); });
        // Its start and its end, and no fault between.
        EXPECT_EQ(lines.size(), 2u) << name << ": " << (lines.size() > 1 ? lines[1] : "");
        return records;
    }
};

TEST_P(DataCursorFlush, ReadsAcrossGapsStopWhereTheFileEnds) {
    const FlushCase& test = GetParam();
    const auto alone = Run("alone", true);
    const auto shared = Run("shared", false);
    EXPECT_EQ(alone, shared);
    // Every change reached the file, and every row is there once.
    const int live = test.rows - static_cast<int>(test.deleted.size()) + test.inserted +
                     test.second - static_cast<int>(test.removed.size());
    EXPECT_EQ(static_cast<int>(alone.size()), live);
    for (const std::uint32_t n : test.changed) {
        const auto it = alone.find(n);
        ASSERT_NE(it, alone.end()) << n;
        EXPECT_EQ(it->second.second, 5000 + static_cast<std::int32_t>(n)) << n;
    }
    for (const std::uint32_t n : test.removed)
        EXPECT_EQ(alone.count(n), 0u) << n;
    // The records themselves, past the header and its write time.
    const std::vector<std::uint8_t> a = ReadBytes(dir.File("alone.DAT"));
    const std::vector<std::uint8_t> b = ReadBytes(dir.File("shared.DAT"));
    const std::size_t records = kDataHeaderSize + 768 * ListTableFields().size();
    ASSERT_EQ(a.size(), b.size());
    ASSERT_GE(a.size(), records);
    EXPECT_TRUE(std::equal(a.begin() + records, a.end(), b.begin() + records));
}

INSTANTIATE_TEST_SUITE_P(
    NewRecords, DataCursorFlush,
    ::testing::Values(
        // Twelve on disk, four freed and taken again, two new: a span from a reused record
        // across unread records to the new ones at its end.
        FlushCase{"EndsInNewRecords", 12, {2, 4, 6, 8}, 6, 0, {3}, {}},
        FlushCase{"EndsInNewRecordsChangedAndDeleted", 12, {2, 4, 6, 8}, 6, 0, {1, 14}, {13}},
        // Freed records in the middle of the file taken again, with records changed before and
        // after them on disk, and the new records past them.
        FlushCase{"NewRowsInReusedSlotsInTheMiddle", 30, {12, 15, 18}, 6, 0, {5, 20, 25}, {22}},
        // Every record of the span inserted by this cursor: six written by a flush, six more
        // in the cache, changes among the first six.
        FlushCase{"WhollyNew", 0, {}, 6, 6, {2, 5}, {4}},
        FlushCase{"WhollyNewAfterFreedRecords", 12, {3, 9}, 8, 6, {13, 16, 20}, {17}}),
    [](const ::testing::TestParamInfo<FlushCase>& test_param) {
        return std::string(test_param.param.name);
    });

}  // namespace
}  // namespace strata
