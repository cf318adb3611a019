#include "engine/core/table_repair.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <map>
#include <set>

#include "tests/engine/core/cursor_test_support.h"

namespace strata {
namespace {

using namespace testing_support;
using ::testing::Contains;
using ::testing::HasSubstr;

std::vector<char> ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void Patch(const std::string& path, std::int64_t offset, std::span<const std::uint8_t> bytes) {
    std::fstream f(path, std::ios::binary | std::ios::in | std::ios::out);
    f.seekp(offset);
    f.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

void PatchU32(const std::string& path, std::int64_t offset, std::uint32_t value) {
    std::array<std::uint8_t, 4> b{};
    PutU32(b, 0, value);
    Patch(path, offset, b);
}

class TableRepair : public CursorTest {
  protected:
    // The list table with the given addresses, closed again.
    void MakeList(std::initializer_list<std::string_view> items) {
        TDataCursor& c = CreateAndOpen(ListTableDefinition());
        for (const auto item : items)
            InsertEntry(c, item, "news", 0);
        record_size = c.GetRecordSize();
        item_offset = FieldOffset(c.GetFieldDesc(2));
        c.Close();
    }
    std::string File(std::string_view ext) const { return dir.File("mailist" + std::string(ext)); }
    std::int64_t RecordAt(std::uint32_t r) const {
        return kDataHeaderSize + 768 * 8 + std::int64_t{r - 1} * record_size;
    }
    void PatchItem(std::uint32_t r, std::string_view text) {
        std::vector<std::uint8_t> bytes(text.begin(), text.end());
        bytes.push_back(0);
        Patch(File(".DAT"), RecordAt(r) + item_offset + 1, bytes);
    }
    std::vector<std::string> Repair(bool verify_only, TDataCursor* cursor = nullptr) {
        std::vector<std::string> lines;
        TDataCursor& c = cursor != nullptr ? *cursor : NewCursor();
        RepairTable(c, verify_only, 0, {},
                    [&lines](std::string_view line) { lines.emplace_back(line); });
        return lines;
    }
    static bool Has(const std::vector<std::string>& lines, std::string_view text) {
        return std::any_of(lines.begin(), lines.end(),
                           [&](const std::string& l) { return l == text; });
    }
    std::vector<std::string> ItemsByItem() {
        TDataCursor& c = NewCursor();
        c.Open();
        c.SetIndexByName("ByItem");
        auto items = Items(c);
        c.Close();
        return items;
    }

    std::uint32_t record_size = 0;
    std::uint32_t item_offset = 0;
};

TEST_F(TableRepair, RefusesTheWrongCursorState) {
    MakeList({"a@x"});
    TDataCursor& shared = NewCursor("mailist", false);
    EXPECT_EQ(CodeOf([&] { RepairTable(shared, false, 0); }), kErrNeedExclusive);
    TDataCursor& open = NewCursor();
    open.Open();
    EXPECT_EQ(CodeOf([&] { RepairTable(open, false, 0); }), kErrTableInUse);
    open.Close();
    TDataCursor& read_only = NewCursor();
    read_only.SetReadOnly(true);
    EXPECT_EQ(CodeOf([&] { RepairTable(read_only, false, 0); }), kErrAccessDenied);
    // Verifying needs no write access.
    EXPECT_EQ(CodeOf([&] { RepairTable(read_only, true, 0); }), 0);
}

TEST_F(TableRepair, OlderTableIsRefusedAndLeftUntouched) {
    MakeList({"a@x", "b@x"});
    for (const std::uint8_t version : {0, 2, 3}) {
        std::array<std::uint8_t, 1> v{version};
        Patch(File(".DAT"), dh::kVersion, v);
        const auto data = ReadAll(File(".DAT"));
        const auto index = ReadAll(File(".IDX"));
        EXPECT_EQ(CodeOf([&] { Repair(false); }), kErrWrongVersion) << int(version);
        EXPECT_EQ(ReadAll(File(".DAT")), data);
        EXPECT_EQ(ReadAll(File(".IDX")), index);
    }
}

TEST_F(TableRepair, SoundTableLogsOnlyItsOpeningAndClosingLines) {
    MakeList({"a@x", "b@x", "c@x"});
    for (const bool verify_only : {true, false}) {
        const auto lines = Repair(verify_only);
        ASSERT_EQ(lines.size(), 2u);
        const std::string what = verify_only ? "Verification of table " : "Repair of table ";
        EXPECT_EQ(lines[0].rfind(what + "mailist.DAT started at ", 0), 0u) << lines[0];
        EXPECT_EQ(lines[1].rfind(what + "mailist.DAT completed at ", 0), 0u) << lines[1];
    }
    EXPECT_EQ(ItemsByItem(), (std::vector<std::string>{"a@x", "b@x", "c@x"}));
}

TEST_F(TableRepair, EmptyTableReportsNoProgress) {
    MakeList({});
    int calls = 0;
    TDataCursor& c = NewCursor();
    RepairTable(c, false, 0, [&](std::uint32_t, int) { ++calls; });
    EXPECT_EQ(calls, 0);
}

TEST_F(TableRepair, CorruptionCorpusIsReportedThenMended) {
    MakeList({"a@x", "b@x", "c@x", "d@x", "e@x"});
    PatchItem(2, "a@x");                          // a duplicate in the unique ByItem index
    PatchU32(File(".DAT"), RecordAt(3) + 5, 0);   // record ID 0
    PatchU32(File(".DAT"), RecordAt(5) + 5, 4);   // the ID of record 4 again
    PatchU32(File(".DAT"), dh::kLastAutoInc, 1);  // counter below the highest ID
    const auto before = ReadAll(File(".DAT"));

    const auto verified = Repair(true);
    EXPECT_TRUE(
        Has(verified, "Logical record ID for physical record # 3 is invalid, error not fixed"));
    EXPECT_TRUE(
        Has(verified, "Logical record ID for physical record # 5 is invalid, error not fixed"));
    EXPECT_TRUE(
        Has(verified, "Invalid next available record ID (auto-increment), error not fixed"));
    EXPECT_EQ(ReadAll(File(".DAT")), before) << "verification wrote to the table";

    const auto repaired = Repair(false);
    EXPECT_TRUE(Has(repaired, "Logical record ID for physical record # 3 is invalid, error fixed"));
    EXPECT_TRUE(Has(repaired, "Logical record ID for physical record # 5 is invalid, error fixed"));
    EXPECT_TRUE(Has(repaired,
                    "Error rebuilding index keys for physical record # 2, error fixed "
                    "but physical record deleted"));
    EXPECT_TRUE(Has(repaired, "Invalid next available record ID (auto-increment), error fixed"));

    // The later duplicate went; every other row is back in every index, with
    // distinct IDs and a counter at least as high as the highest of them.
    EXPECT_EQ(ItemsByItem(), (std::vector<std::string>{"a@x", "c@x", "d@x", "e@x"}));
    TDataCursor& c = NewCursor();
    c.Open();
    EXPECT_EQ(c.GetTableRecordCount(), 4);
    std::set<std::int32_t> ids;
    std::vector<std::uint8_t> buffer(c.GetRecordSize());
    c.SetIndex(0);
    c.First();
    while (c.GetNextRecord(buffer) == 0)
        ids.insert(TDataCursor::RecordIdOf(buffer));
    EXPECT_EQ(ids.size(), 4u);
    EXPECT_EQ(ids.count(0), 0u);
    EXPECT_GE(c.GetLastAutoInc(), static_cast<std::uint32_t>(*ids.rbegin()));
    c.Close();
    EXPECT_EQ(Repair(true).size(), 2u) << "a repaired table verifies clean";
}

TEST_F(TableRepair, InvalidBlobReferencesAreCleared) {
    TableDefinition definition;
    definition.fields = {MakeFieldDescriptor(1, "Id", 6), MakeFieldDescriptor(2, "Memo", 3)};
    definition.indexes = {MakeIndex("", {1}, true)};
    TDataCursor& c = CreateAndOpen(definition, "memos");
    std::vector<std::uint8_t> buffer(c.GetRecordSize());
    for (std::int32_t id : {1, 2, 3}) {
        c.InitNewRecord(buffer);
        PutInt(c, buffer, 1, id);
        c.InsertRecord(buffer, false);
    }
    const std::uint32_t rs = c.GetRecordSize();
    const std::uint32_t memo = FieldOffset(c.GetFieldDesc(2));
    c.Close();
    const std::string dat = dir.File("memos.DAT");
    const auto at = [&](std::uint32_t r) {
        return kDataHeaderSize + 768 * 2 + (r - 1) * rs + memo;
    };
    // Inside the header, exactly at the end offset, and a reference without a value.
    const std::array<std::uint8_t, 5> inside{1, 100, 0, 0, 0};
    const std::array<std::uint8_t, 5> at_end{1, 0, 2, 0, 0};
    const std::array<std::uint8_t, 5> no_value{0, 0, 2, 0, 0};
    Patch(dat, at(1), inside);
    Patch(dat, at(2), at_end);
    Patch(dat, at(3), no_value);
    TDataCursor& repair = NewCursor("memos");
    const auto lines = Repair(false, &repair);
    for (int r : {1, 2, 3}) {
        EXPECT_TRUE(Has(lines, "Invalid BLOB offset into BLOB file for physical record # " +
                                   std::to_string(r) + ", error fixed"))
            << r;
    }
    TDataCursor& verify = NewCursor("memos");
    EXPECT_EQ(Repair(true, &verify).size(), 2u);
}

// Two records pointing at one blob chain (a copied reference, as a torn write could leave):
// verification reports it, and after the repair no two records share blocks, so freeing or
// rewriting one memo never changes another's. A deleted record pointing at a live record's
// chain gives up its reference instead of freeing the live memo.
TEST_F(TableRepair, RecordsSharingABlobChainAreParted) {
    for (const bool deleted : {false, true}) {
        SCOPED_TRACE(deleted ? "a deleted record shares" : "two live records share");
        const std::string table = deleted ? "shared_gone" : "shared_live";
        TableDefinition definition;
        definition.fields = {MakeFieldDescriptor(1, "Id", 6), MakeFieldDescriptor(2, "Memo", 3)};
        definition.indexes = {MakeIndex("", {1}, true)};
        TDataCursor& c = CreateAndOpen(definition, table);
        std::vector<std::uint8_t> buffer(c.GetRecordSize());
        const auto memo_of = [](std::int32_t id) { return std::string(1300, char('a' + id)); };
        const auto write_memo = [&](TDataCursor& t, const std::string& memo) {
            ASSERT_EQ(t.OpenBlob(2, buffer, kBlobOpenReadWrite), 0);
            ASSERT_EQ(t.TruncateBlob(2, buffer, 0), 0);
            ASSERT_EQ(t.WriteBlob(2, buffer, static_cast<std::uint32_t>(memo.size()),
                                  reinterpret_cast<const std::uint8_t*>(memo.data()), 0),
                      0);
        };
        for (std::int32_t id : {1, 2, 3}) {
            c.InitNewRecord(buffer);
            PutInt(c, buffer, 1, id);
            write_memo(c, memo_of(id));
            c.InsertRecord(buffer, false);
            c.FreeBlobs();
        }
        if (deleted) {
            c.SetIndex(0);
            c.First();
            ASSERT_EQ(c.GetNextRecord(buffer), 0);
            c.DeleteRecord(buffer, true);
        }
        const std::uint32_t rs = c.GetRecordSize();
        const std::uint32_t memo = FieldOffset(c.GetFieldDesc(2));
        c.Close();
        const std::string dat = dir.File(table + ".DAT");
        const auto at = [&](std::uint32_t r) {
            return kDataHeaderSize + 768 * 2 + (r - 1) * rs + memo;
        };
        // Record 1 (live) lends its reference to record 2, or record 1 (deleted) takes
        // record 2's.
        const auto bytes = ReadAll(dat);
        const std::uint32_t from = deleted ? 2 : 1;
        const std::uint32_t to = deleted ? 1 : 2;
        const std::vector<std::uint8_t> copied(bytes.begin() + at(from),
                                               bytes.begin() + at(from) + 9);
        Patch(dat, at(to), copied);
        std::map<std::int32_t, std::string> expected{{2, memo_of(2)}, {3, memo_of(3)}};
        if (!deleted)
            expected[1] = memo_of(1);
        const std::string shared_line = "Invalid BLOB offset in BLOB file for physical record # " +
                                        std::to_string(to) + ", error not fixed";
        TDataCursor& first_look = NewCursor(table);
        EXPECT_TRUE(Has(Repair(true, &first_look), shared_line));
        TDataCursor& repair = NewCursor(table);
        Repair(false, &repair);
        TDataCursor& verify = NewCursor(table);
        EXPECT_EQ(Repair(true, &verify).size(), 2u);
        // Each memo is its record's, or empty where a shared reference was dropped.
        const auto check = [&](TDataCursor& t, const char* when) {
            SCOPED_TRACE(when);
            t.SetIndex(0);
            t.First();
            while (t.GetNextRecord(buffer) == 0) {
                const std::int32_t id = *GetInt(t, buffer, 1);
                ASSERT_EQ(t.OpenBlob(2, buffer, kBlobOpenRead), 0) << id;
                std::uint32_t size = 0;
                ASSERT_EQ(t.GetBlobSize(2, buffer, size), 0);
                std::string got(size, '\0');
                std::uint32_t count = 0;
                ASSERT_EQ(t.ReadBlob(2, buffer, count, size,
                                     reinterpret_cast<std::uint8_t*>(got.data()), 0),
                          0);
                if (size != 0 || id != 2 || deleted) {
                    EXPECT_EQ(got, expected[id]) << id;
                }
                t.FreeBlobs();
            }
        };
        TDataCursor& t = NewCursor(table);
        t.Open();
        check(t, "after the repair");
        // Every memo rewritten, shorter, so that freed blocks are taken again.
        t.SetIndex(0);
        t.First();
        while (t.GetNextRecord(buffer) == 0) {
            const std::int32_t id = *GetInt(t, buffer, 1);
            expected[id] = std::string(700, char('A' + id));
            write_memo(t, expected[id]);
            t.ModifyRecord(buffer, true, false);
            t.FreeBlobs();
        }
        check(t, "after every memo was rewritten");
        t.Close();
        TDataCursor& again = NewCursor(table);
        EXPECT_EQ(Repair(true, &again).size(), 2u);
    }
}

// A blob file cut short: verification reports the references into the lost
// part instead of failing on a read past the end, and writes nothing.
TEST_F(TableRepair, BlobFileCutShortIsReportedByVerification) {
    TableDefinition definition;
    definition.fields = {MakeFieldDescriptor(1, "Id", 6), MakeFieldDescriptor(2, "Memo", 3)};
    definition.indexes = {MakeIndex("", {1}, true)};
    TDataCursor& c = CreateAndOpen(definition, "memos");
    std::vector<std::uint8_t> buffer(c.GetRecordSize());
    const std::string memo(1200, 'm');  // three blocks each
    for (std::int32_t id : {1, 2}) {
        c.InitNewRecord(buffer);
        PutInt(c, buffer, 1, id);
        ASSERT_EQ(c.OpenBlob(2, buffer, kBlobOpenReadWrite), 0);
        ASSERT_EQ(c.WriteBlob(2, buffer, static_cast<std::uint32_t>(memo.size()),
                              reinterpret_cast<const std::uint8_t*>(memo.data()), 0),
                  0);
        c.InsertRecord(buffer, false);
        c.FreeBlobs();
    }
    c.Close();
    const std::string blb = dir.File("memos.BLB");
    auto bytes = ReadAll(blb);
    bytes.resize(512 + 512 * 4 + 100);  // the second blob keeps its first block only
    std::ofstream(blb, std::ios::binary | std::ios::trunc)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    const auto data = ReadAll(dir.File("memos.DAT"));
    TDataCursor& verify = NewCursor("memos");
    const auto lines = Repair(true, &verify);
    EXPECT_TRUE(Has(lines,
                    "Invalid intra-block pointer in BLOB file for physical record # 2, "
                    "error not fixed"));
    EXPECT_EQ(ReadAll(blb), bytes);
    EXPECT_EQ(ReadAll(dir.File("memos.DAT")), data);
    TDataCursor& repair = NewCursor("memos");
    Repair(false, &repair);
    TDataCursor& again = NewCursor("memos");
    EXPECT_EQ(Repair(true, &again).size(), 2u);
}

// A delete gives the record's blob blocks back at once; the deleted record
// must not keep pointing at them, or every later check of a sound table
// reports (and repair "fixes") references to blocks that are free or in use
// by another blob.
TEST_F(TableRepair, DeletingRecordsWithBlobsLeavesATableThatVerifiesClean) {
    TableDefinition definition;
    definition.fields = {MakeFieldDescriptor(1, "Id", 6), MakeFieldDescriptor(2, "Memo", 3)};
    definition.indexes = {MakeIndex("", {1}, true)};
    TDataCursor& c = CreateAndOpen(definition, "memos");
    std::vector<std::uint8_t> buffer(c.GetRecordSize());
    const std::vector<std::uint8_t> text(3000, 'm');
    const auto insert = [&](std::int32_t id) {
        c.InitNewRecord(buffer);
        PutInt(c, buffer, 1, id);
        ASSERT_EQ(c.OpenBlob(2, buffer, kBlobOpenReadWrite), 0);
        ASSERT_EQ(c.WriteBlob(2, buffer, static_cast<std::uint32_t>(text.size()), text.data(), 0),
                  0);
        c.InsertRecord(buffer, false);
    };
    for (std::int32_t id : {1, 2, 3, 4})
        insert(id);
    c.First();
    ASSERT_EQ(c.GetNextRecord(buffer), 0);
    c.DeleteRecord(buffer, true);
    ASSERT_EQ(c.GetNextRecord(buffer), 0);
    c.DeleteRecord(buffer, true);
    // A new blob takes the freed blocks under its own blob number.
    insert(5);
    c.Close();
    TDataCursor& verify = NewCursor("memos");
    const auto checked = Repair(true, &verify);
    EXPECT_EQ(checked.size(), 2u) << checked[1];
    TDataCursor& repair = NewCursor("memos");
    const auto repaired = Repair(false, &repair);
    EXPECT_EQ(repaired.size(), 2u) << repaired[1];
    TDataCursor& reader = NewCursor("memos");
    reader.Open();
    EXPECT_EQ(reader.GetRecordCount(), 3);
    reader.First();
    while (reader.GetNextRecord(buffer) == 0) {
        std::uint32_t size = 0;
        ASSERT_EQ(reader.OpenBlob(2, buffer, kBlobOpenRead), 0);
        ASSERT_EQ(reader.GetBlobSize(2, buffer, size), 0);
        EXPECT_EQ(size, text.size());
        ASSERT_EQ(reader.CloseBlob(2, buffer), 0);
    }
    reader.Close();
}

TEST_F(TableRepair, InterruptedRepairIsFoundAtOpenAndFinishedByTheNextOne) {
    MakeList({"a@x", "b@x", "c@x", "d@x"});
    // The child process dies in the middle of the record pass.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        TDataCursor c(*directory);
        c.SetTableName("mailist");
        c.SetExclusive(true);
        RepairTable(c, false, 0, [](std::uint32_t r, int) {
            if (r == 2)
                _exit(0);
        });
        _exit(1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0);

    TDataCursor& c = NewCursor();
    EXPECT_EQ(CodeOf([&] { c.Open(); }), kErrHeaderCorrupt);
    const auto index = ReadAll(File(".IDX"));
    const auto data = ReadAll(File(".DAT"));
    const std::vector<std::string> lines = Repair(true);
    EXPECT_THAT(lines, Contains("Table files were left partly written, error not fixed"));
    EXPECT_THAT(lines, Contains(HasSubstr("does not match the records of the table")));
    EXPECT_EQ(ReadAll(File(".IDX")), index) << "verification writes nothing";
    EXPECT_EQ(ReadAll(File(".DAT")), data) << "verification writes nothing";
    Repair(false);
    EXPECT_EQ(Repair(true).size(), 2u) << "a repaired table verifies clean";
    EXPECT_EQ(ItemsByItem(), (std::vector<std::string>{"a@x", "b@x", "c@x", "d@x"}));
}

// Inside an update batch a verification or repair first writes the rows the batch holds for the
// table, so neither reports them as damage nor loses them; a cursor still open on the table
// keeps it refused.
TEST_F(TableRepair, InsideABatchTheBatchsUnwrittenRowsAreKept) {
    MakeList({"a@x", "b@x"});
    directory->BeginUpdateBatch();
    std::vector<std::string> expected{"a@x", "b@x"};
    for (const bool verify_only : {true, false, true}) {
        SCOPED_TRACE(verify_only);
        TDataCursor& writer = NewCursor();
        writer.Open();
        const std::string item = "c" + std::to_string(expected.size()) + "@x";
        InsertEntry(writer, item, "news", 0);
        expected.push_back(item);
        EXPECT_EQ(CodeOf([&] { Repair(verify_only); }), kErrAccessDenied);
        writer.Close();
        EXPECT_EQ(Repair(verify_only).size(), 2u) << "the batch's rows are no damage";
    }
    TDataCursor& writer = NewCursor();
    writer.Open();
    InsertEntry(writer, "z@x", "news", 0);
    writer.Close();
    expected.push_back("z@x");
    Repair(false);
    directory->EndUpdateBatch(true);
    EXPECT_EQ(ItemsByItem(), expected);
    EXPECT_EQ(Repair(true).size(), 2u);
}

// A progress or log callback that throws stops the repair part way, with the indexes half
// rebuilt: the table must say so at the next open (as after a kill), and a repair then gives
// every row back; a verification stopped so changes nothing.
TEST_F(TableRepair, ACallbackThatThrowsLeavesATableTheNextRepairMends) {
    for (const bool in_log : {false, true}) {
        SCOPED_TRACE(in_log ? "log" : "progress");
        MakeList({"a@x", "b@x", "c@x", "d@x"});
        // A record ID of 0 gives a log line in the middle of the record pass.
        if (in_log)
            PatchU32(File(".DAT"), RecordAt(3) + 5, 0);
        const auto data = ReadAll(File(".DAT"));
        const auto index = ReadAll(File(".IDX"));
        TDataCursor& verify = NewCursor();
        int calls = 0;
        const auto stop = [&] {
            if (++calls == (in_log ? 2 : 3))
                throw std::runtime_error("stopped");
        };
        EXPECT_THROW(RepairTable(
                         verify, true, 0,
                         [&](std::uint32_t, int) {
                             if (!in_log)
                                 stop();
                         },
                         [&](std::string_view) {
                             if (in_log)
                                 stop();
                         }),
                     std::runtime_error);
        EXPECT_EQ(ReadAll(File(".DAT")), data);
        EXPECT_EQ(ReadAll(File(".IDX")), index);
        calls = 0;
        TDataCursor& repair = NewCursor();
        EXPECT_THROW(RepairTable(
                         repair, false, 0,
                         [&](std::uint32_t, int) {
                             if (!in_log)
                                 stop();
                         },
                         [&](std::string_view) {
                             if (in_log)
                                 stop();
                         }),
                     std::runtime_error);
        EXPECT_FALSE(repair.IsOpen());
        TDataCursor& c = NewCursor();
        const EngineErrorCode opened = CodeOf([&] { c.Open(); });
        if (opened == 0) {
            EXPECT_EQ(Items(c).size(), 4u);
            c.Close();
        }
        Repair(false);
        EXPECT_EQ(Repair(true).size(), 2u);
        EXPECT_EQ(ItemsByItem(), (std::vector<std::string>{"a@x", "b@x", "c@x", "d@x"}));
    }
}

// Index files out of step with their data file but with sound headers: what
// a program killed between writing the data and the index files left before
// writes were marked. Verification compares every index with the records.
TEST_F(TableRepair, VerificationFindsIndexesOutOfStepWithTheRecords) {
    struct Case {
        const char* what;
        std::function<void(TDataCursor&)> change;
    };
    const std::vector<Case> cases = {
        {"rows added", [](TDataCursor& c) { InsertEntry(c, "e@x", "news", 0); }},
        {"row deleted",
         [](TDataCursor& c) {
             std::vector<std::uint8_t> buffer(c.GetRecordSize());
             c.SetIndexByName("ByItem");
             c.First();
             ASSERT_EQ(c.GetNextRecord(buffer), 0);
             c.DeleteRecord(buffer, true);
         }},
        {"row changed",
         [](TDataCursor& c) {
             std::vector<std::uint8_t> buffer(c.GetRecordSize());
             c.SetIndexByName("ByItem");
             c.First();
             ASSERT_EQ(c.GetNextRecord(buffer), 0);
             PutText(c, buffer, 2, "z@x");
             c.ModifyRecord(buffer, true, true);
         }},
    };
    for (const Case& test : cases) {
        MakeList({"a@x", "b@x", "c@x", "d@x"});
        const auto old_index = ReadAll(File(".IDX"));
        {
            TDataCursor& c = NewCursor();
            c.Open();
            test.change(c);
            c.Close();
        }
        std::ofstream(File(".IDX"), std::ios::binary | std::ios::trunc)
            .write(old_index.data(), static_cast<std::streamsize>(old_index.size()));
        const std::vector<std::string> lines = Repair(true);
        EXPECT_THAT(lines, Contains(HasSubstr("does not match the records of the table")))
            << test.what;
        Repair(false);
        EXPECT_EQ(Repair(true).size(), 2u) << test.what;
    }
}

// Counts and sizes read from a damaged header are held against the file
// before anything is sized from them: open refuses, verification reports
// without reading past a record, and repair brings every row back.
TEST_F(TableRepair, DamagedCountsAreRefusedReportedAndRepaired) {
    struct Case {
        const char* what;
        std::int64_t offset;
        std::uint8_t value;
        const char* verify_line;
    };
    const std::vector<Case> cases = {
        {"record slot count", dh::kNextSlot + 3, 0x7F,
         "Physical record count not correct, error not fixed"},
        {"record size", dh::kRecordSize, 0x03,
         "Invalid physical record length in table header, error not fixed"},
        {"record size above the fields", dh::kRecordSize + 1, 0x40,
         "Invalid physical record length in table header, error not fixed"},
        {"first free record", dh::kFirstFree + 2, 0x10, nullptr},
    };
    for (const Case& test : cases) {
        MakeList({"a@x", "b@x", "c@x"});
        Patch(File(".DAT"), test.offset, std::array<std::uint8_t, 1>{test.value});
        TDataCursor& c = NewCursor();
        EXPECT_EQ(CodeOf([&] { c.Open(); }), kErrHeaderCorrupt) << test.what;
        const std::vector<std::string> lines = Repair(true);
        if (test.verify_line != nullptr) {
            EXPECT_THAT(lines, Contains(std::string(test.verify_line))) << test.what;
        }
        Repair(false);
        EXPECT_EQ(ItemsByItem(), (std::vector<std::string>{"a@x", "b@x", "c@x"})) << test.what;
    }
}

// An index slot claims more key fields than its descriptor has room for, and
// every word after its sixteen field numbers names a field (the data header's
// first field, damaged to number 0, as the primary index names it too):
// verification reads the sixteen alone.
TEST_F(TableRepair, AnIndexClaimingMoreThanSixteenFieldsIsReadWithinItsDescriptor) {
    MakeList({"a@x", "b@x"});
    Patch(File(".DAT"), kDataHeaderSize + fd::kNumber, std::array<std::uint8_t, 2>{0, 0});
    Patch(File(".IDX"), ih::kSlots + ixd::kFieldNumbers, std::array<std::uint8_t, 2>{0, 0});
    // ByItem, slot 1: 40 key fields, field numbers, root and free page all 0.
    const std::int64_t slot = ih::kSlots + kIndexDescriptorSize;
    Patch(File(".IDX"), slot + ixd::kFieldCount, std::array<std::uint8_t, 1>{40});
    Patch(File(".IDX"), slot + ixd::kFieldNumbers, std::vector<std::uint8_t>(120 - 54, 0));
    std::vector<std::string> lines;
    EXPECT_EQ(CodeOf([&] { lines = Repair(true); }), 0);
    EXPECT_THAT(lines, Contains(HasSubstr("Invalid field number for field Index")));
}

}  // namespace
}  // namespace strata
