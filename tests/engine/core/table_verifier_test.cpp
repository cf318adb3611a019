#include "engine/core/table_verifier.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "engine/core/blob_file.h"
#include "engine/core/data_file.h"
#include "engine/core/index_file.h"
#include "engine/storage/engine_error.h"
#include "tests/engine/core/table_files_support.h"

namespace strata {
namespace {

using testing_support::ListTableFields;
using testing_support::ReadBytes;
using testing_support::RecordingCursor;
using testing_support::TempDir;
using testing_support::WriteBytes;
using Lines = std::vector<std::string>;

std::uint16_t EngineCode(const std::function<void()>& call) {
    try {
        call();
    } catch (const EStrataEngineError& e) {
        return e.ErrorCode();
    }
    return 0;
}

// The verify-only form of a repair line.
std::string NotFixed(std::string line) {
    for (const char* ending :
         {", error fixed and index removed", ", field removed from index", ", error fixed"}) {
        const auto at = line.rfind(ending);
        if (at != std::string::npos && at + std::strlen(ending) == line.size()) {
            return line.substr(0, at) + ", error not fixed";
        }
    }
    return line;
}

Lines NotFixed(const Lines& lines) {
    Lines out;
    for (const std::string& l : lines)
        out.push_back(NotFixed(l));
    return out;
}

constexpr std::size_t kDescriptors = 127;
std::size_t FieldAt(int n) {
    return kDescriptors + 768 * static_cast<std::size_t>(n - 1);
}

class VerifierTest : public ::testing::Test {
  protected:
    void SetUp() override {
        TDataFile data;
        data.SetName(Path("DAT"));
        data.CreateDataFile(0, 0, ListTableFields(), 0, "", "", false, 0, 0);
        for (int i = 0; i < 3; ++i) {
            TRecord* r = data.AllocateRecord();
            r->SetRecordId(data.NextAutoIncrement());
            data.ReleaseRecord(r);
        }
        data.FlushRecords();
        data.WriteHeader(false);
        data.Close();
        TIndexFile index;
        index.SetName(Path("IDX"));
        index.CreateFile();
        index.SetPrimaryIndex(Descriptor("", 87, true, {1, 2}));
        index.AddIndex(Descriptor("ByCategory", 86, false, {3}));
        index.AddIndex(Descriptor("ByBounce", 9, false, {4}));
        index.AddIndex(Descriptor("ByItem", 86, false, {2}));
        index.WriteHeader(false);
        index.Close();
    }
    std::string Path(const char* ext) const { return dir_.File(std::string("mailist.") + ext); }
    static IndexDescriptor Descriptor(std::string_view name, std::uint16_t key, bool unique,
                                      std::vector<std::uint16_t> fields) {
        IndexDescriptor d{};
        PutShortString(d, ixd::kName, ixd::kNameLength, name);
        PutU16(d, ixd::kKeySize, key);
        d[ixd::kUnique] = unique ? 1 : 0;
        d[ixd::kFieldCount] = static_cast<std::uint8_t>(fields.size());
        for (std::size_t i = 0; i < fields.size(); ++i) {
            PutU16(d, ixd::kFieldNumbers + 2 * i, fields[i]);
        }
        return d;
    }
    void Damage(const char* ext, const std::function<void(std::vector<std::uint8_t>&)>& edit) {
        auto bytes = ReadBytes(Path(ext));
        edit(bytes);
        WriteBytes(Path(ext), bytes);
    }

    // Runs the data header check in both modes: verify-only must report the
    // not-fixed lines and leave the file byte-identical; repair the fixed ones.
    Lines RunDataRepair(bool verify_only) {
        TDataFile data;
        data.SetName(Path("DAT"));
        data.Open();
        RecordingCursor cursor;
        cursor.repair = !verify_only;
        data.RepairHeader(&cursor, verify_only);
        data.WriteFieldDescriptors();
        data.WriteHeader(false);
        data.Close();
        return cursor.lines;
    }

    TempDir dir_;
};

struct DataDamage {
    const char* what;
    std::function<void(std::vector<std::uint8_t>&)> edit;
    Lines repair_lines;
    std::function<void(TDataFile&)> after_repair;
};

TEST_F(VerifierTest, DataHeaderCorpusGivesTheExactLinesInBothModes) {
    const std::vector<DataDamage> corpus = {
        {"half-written last record",
         [](auto& b) { b.resize(b.size() - 171); },
         {"Physical records not aligned on even record size boundaries, error fixed",
          "Physical record count not correct, error fixed"},
         [](TDataFile& d) {
             EXPECT_EQ(d.GetRecordSlots(), 2u);
             EXPECT_EQ(d.GetFileSize(), d.DescriptorEnd() + 2 * 342);
         }},
        {"digit first",
         [](auto& b) {
             b[FieldAt(2) + 2] = 5;
             std::memcpy(&b[FieldAt(2) + 3], "1Item", 5);
         },
         {"Invalid field name (first character) for field 1Item in table header, error fixed"},
         [](TDataFile& d) { EXPECT_EQ(FieldName(d.GetFieldDescriptor(2)), "_1Item"); }},
        {"blank name",
         [](auto& b) {
             b[FieldAt(3) + 2] = 2;
             std::memcpy(&b[FieldAt(3) + 3], "  ", 2);
         },
         {"Invalid field name (blank) for field # 3 in table header, error fixed"},
         [](TDataFile& d) { EXPECT_EQ(FieldName(d.GetFieldDescriptor(3)), "Repaired_Fld3"); }},
        {"duplicate name",
         [](auto& b) {
             b[FieldAt(5) + 2] = 4;
             std::memcpy(&b[FieldAt(5) + 3], "ITEM\0\0\0\0", 8);
         },
         {"Invalid field name (duplicate) for field ITEM in table header, error fixed"},
         [](TDataFile& d) {
             const std::string name = FieldName(d.GetFieldDescriptor(5));
             EXPECT_TRUE(ValidNameStart(name)) << name;
             EXPECT_NE(name, "ITEM");
         }},
        {"duplicate name apart from an accented letter's case",
         [](auto& b) {
             b[FieldAt(3) + 2] = 4;
             std::memcpy(&b[FieldAt(3) + 3], "Caf\xE9\0\0\0\0", 8);
             b[FieldAt(5) + 2] = 4;
             std::memcpy(&b[FieldAt(5) + 3], "CAF\xC9\0\0\0\0", 8);
         },
         {"Invalid field name (duplicate) for field CAF\xC9 in table header, error fixed"},
         nullptr},
        {"type 0",
         [](auto& b) {
             b[FieldAt(8) + 84] = 0;
             b[FieldAt(8) + 88] = 2;
         },
         {"Invalid field data type (unknown) for field SendRights in table header, error cannot "
          "be fixed"},
         nullptr},
        {"length on an integer and decimals on a string",
         [](auto& b) {
             b[FieldAt(4) + 86] = 4;
             b[FieldAt(6) + 87] = 2;
         },
         {"Invalid field length for field Bounces in table header, error fixed",
          "Invalid field decimals for field Name in table header, error fixed"},
         [](TDataFile& d) { EXPECT_EQ(FieldLength(d.GetFieldDescriptor(4)), 0); }},
        {"bad default and minimum",
         [](auto& b) {
             b[FieldAt(4) + 196] = 3;
             std::memcpy(&b[FieldAt(4) + 197], "abc", 3);
             b[FieldAt(4) + 94] = 1;
             b[FieldAt(4) + 95] = 'x';
         },
         {"Invalid default value for field Bounces in table header, error fixed",
          "Invalid minimum value for field Bounces in table header, error fixed"},
         nullptr},
        {"offset and number",
         [](auto& b) {
             b[FieldAt(6) + 90] = 7;
             b[FieldAt(7)] = 9;
         },
         {"Invalid field offset for field Name in table header, error fixed",
          "Invalid field number for field Salutation in table header, error fixed"},
         [](TDataFile& d) {
             EXPECT_EQ(FieldOffset(d.GetFieldDescriptor(6)), 260);
             EXPECT_EQ(FieldNumber(d.GetFieldDescriptor(7)), 7);
         }},
        {"record length and blob count",
         [](auto& b) {
             b[21] = 0x57;
             b[25] = 3;
         },
         {"Invalid physical record length in table header, error fixed",
          "Invalid BLOB field count in table header, error fixed"},
         [](TDataFile& d) {
             EXPECT_EQ(d.GetRecordSize(), 342u);
             EXPECT_EQ(d.GetBlobFieldCount(), 0u);
         }},
    };
    const auto pristine = ReadBytes(Path("DAT"));
    for (const DataDamage& c : corpus) {
        SCOPED_TRACE(c.what);
        WriteBytes(Path("DAT"), pristine);
        Damage("DAT", c.edit);
        const auto damaged = ReadBytes(Path("DAT"));
        if (std::string_view(c.what) != "half-written last record") {
            // Opening checks the descriptors; the record area is the repair's.
            TDataFile data;
            data.SetName(Path("DAT"));
            data.Open();
            EXPECT_NE(EngineCode([&] { data.VerifyHeader(); }), 0);
        }
        EXPECT_EQ(RunDataRepair(true), NotFixed(c.repair_lines));
        EXPECT_EQ(ReadBytes(Path("DAT")), damaged);
        EXPECT_EQ(RunDataRepair(false), c.repair_lines);
        TDataFile repaired;
        repaired.SetName(Path("DAT"));
        repaired.Open();
        if (c.after_repair)
            c.after_repair(repaired);
        EXPECT_EQ(repaired.GetFirstFreeRecord(), 0u);
        if (std::string_view(c.what) != "type 0") {
            EXPECT_NO_THROW(repaired.VerifyHeader());
            RecordingCursor cursor;
            repaired.RepairHeader(&cursor, true);
            EXPECT_TRUE(cursor.lines.empty()) << cursor.lines.front();
        }
    }
}

TEST_F(VerifierTest, RepairRefusesTablesOfAnotherVersion) {
    Damage("DAT", [](auto& b) { b[8] = 3; });
    TDataFile data;
    data.SetName(Path("DAT"));
    data.Open();
    EXPECT_EQ(EngineCode([&] { data.VerifyHeader(); }), kErrWrongVersion);
    RecordingCursor cursor;
    const auto before = ReadBytes(Path("DAT"));
    EXPECT_EQ(EngineCode([&] { data.RepairHeader(&cursor, false); }), kErrWrongVersion);
    data.Close();
    EXPECT_EQ(ReadBytes(Path("DAT")), before);
}

struct IndexDamage {
    const char* what;
    std::function<void(std::vector<std::uint8_t>&)> edit;
    Lines repair_lines;
    int count_after;
};

std::size_t SlotAt(int slot) {
    return 14 + 120 * static_cast<std::size_t>(slot);
}

TEST_F(VerifierTest, IndexHeaderCorpusGivesTheExactLinesInBothModes) {
    const std::vector<IndexDamage> corpus = {
        {"bad name",
         [](auto& b) { b[SlotAt(1) + 1] = '9'; },
         {"Invalid index name for index 9yCategory, error fixed"},
         3},
        {"duplicate name",
         [](auto& b) {
             b[SlotAt(3)] = 10;
             std::memcpy(&b[SlotAt(3) + 1], "BYCATEGORY", 10);
         },
         {"Duplicate index name for index BYCATEGORY, error fixed"},
         3},
        {"dropped field",
         [](auto& b) { b[SlotAt(2) + 54] = 42; },
         {"Invalid field number 42 in index ByBounce, field removed from index",
          "Invalid key size of 0 for index ByBounce, error fixed and index removed"},
         2},
        {"wrong key size",
         [](auto& b) { b[SlotAt(3) + 31] = 80; },
         {"Invalid key size of 86 for index ByItem, error fixed"},
         3},
    };
    TDataFile data;
    data.SetName(Path("DAT"));
    data.Open();
    const auto pristine = ReadBytes(Path("IDX"));
    for (const IndexDamage& c : corpus) {
        SCOPED_TRACE(c.what);
        WriteBytes(Path("IDX"), pristine);
        Damage("IDX", c.edit);
        const auto damaged = ReadBytes(Path("IDX"));
        for (bool verify_only : {true, false}) {
            TIndexFile index;
            index.SetName(Path("IDX"));
            index.SetDataFile(&data);
            index.Open();
            if (verify_only) {
                EXPECT_EQ(EngineCode([&] { index.VerifyHeader(); }), kErrHeaderCorrupt);
            }
            RecordingCursor cursor;
            index.RepairHeader(&cursor, verify_only);
            EXPECT_EQ(cursor.lines, verify_only ? NotFixed(c.repair_lines) : c.repair_lines);
            index.WriteHeader(false);
            index.Close();
            if (verify_only) {
                EXPECT_EQ(ReadBytes(Path("IDX")), damaged);
            }
        }
        TIndexFile index;
        index.SetName(Path("IDX"));
        index.SetDataFile(&data);
        index.Open();
        EXPECT_EQ(index.GetIndexCount(), c.count_after);
        EXPECT_EQ(IndexName(index.GetIndexDescriptor(kHiddenIndexSlot)), "Sys Deleted");
        EXPECT_NO_THROW(index.VerifyHeader());
    }
}

TEST_F(VerifierTest, IndexPageOffsetsMustBeWholePagesInsideTheFile) {
    for (std::uint32_t root : {4096u + 10, 8192u, 4096u * 9}) {
        SCOPED_TRACE(root);
        Damage("IDX", [&](auto& b) {
            PutU32(b, 9, 4096 * 4);  // three pages
            PutU32(b, SlotAt(2) + 86, root);
        });
        TIndexFile index;
        index.SetName(Path("IDX"));
        index.Open();
        const bool valid = root == 8192u;
        EXPECT_EQ(EngineCode([&] { index.VerifyHeader(); }), valid ? 0 : kErrHeaderCorrupt);
    }
}

class BlobVerifierTest : public VerifierTest {
  protected:
    std::uint32_t Store(TBlobFile& blob, std::size_t size, std::uint32_t number) {
        TBlobBuffer buffer(blob);
        buffer.SetSize(static_cast<std::int64_t>(size));
        std::memset(buffer.GetData().data(), 'x', size);
        return buffer.WriteBlob(number);
    }
    void MakeBlobs() {
        TBlobFile blob;
        blob.SetName(Path("BLB"));
        blob.CreateFile();
        refs_.clear();
        for (std::uint32_t n = 1; n <= 5; ++n)
            refs_.push_back(Store(blob, 1200, n));  // 3 blocks each
        blob.FlushBlocks();
        blob.WriteHeader(false);
        blob.Close();
    }
    std::vector<std::uint32_t> refs_;
};

struct BlobDamage {
    const char* what;
    std::function<void(std::vector<std::uint8_t>&, std::vector<std::uint32_t>&)> edit;
    Lines repair_lines;
};

TEST_F(BlobVerifierTest, BlobCorpusGivesTheExactLinesAndVerifyOnlyWritesNothing) {
    // Blob n (1-based) has blocks at 512 + 1536 (n - 1) + 512 k, k = 0..2.
    auto block = [](std::uint32_t n, int k) { return 512u + 1536u * (n - 1) + 512u * k; };
    const std::vector<BlobDamage> corpus = {
        {"loop",
         [&](auto& b, auto&) {
             PutU32(b, block(1, 2) + 4, block(1, 1));
             PutU16(b, block(1, 2) + 8, 494);
         },
         {"Recursive intra-block pointer in BLOB file for physical record # 1, error fixed",
          "BLOB size mismatch in BLOB file for physical record # 1, error fixed"}},
        {"misaligned reference",
         [&](auto&, auto& refs) { refs[1] += 7; },
         {"Invalid BLOB offset in BLOB file for physical record # 2, error fixed"}},
        {"reference at the end offset",
         [&](auto&, auto& refs) { refs[1] = 512 + 1536 * 5; },
         {"Invalid BLOB offset in BLOB file for physical record # 2, error fixed"}},
        {"size mismatch",
         [&](auto& b, auto&) { PutU32(b, block(3, 0) + 14, 1300); },
         {"BLOB size mismatch in BLOB file for physical record # 3, error fixed"}},
        {"short middle block",
         [&](auto& b, auto&) { PutU16(b, block(4, 1) + 8, 100); },
         {"Invalid block size in BLOB file for physical record # 4, error fixed",
          "BLOB size mismatch in BLOB file for physical record # 4, error fixed"}},
        {"link into another blob",
         [&](auto& b, auto&) { PutU32(b, block(5, 0) + 4, block(2, 1)); },
         {"Invalid intra-block pointer in BLOB file for physical record # 5, error fixed",
          "BLOB size mismatch in BLOB file for physical record # 5, error fixed"}},
        {"link outside the file",
         [&](auto& b, auto&) { PutU32(b, block(5, 0) + 4, 1 << 30); },
         {"Invalid intra-block pointer in BLOB file for physical record # 5, error fixed",
          "BLOB size mismatch in BLOB file for physical record # 5, error fixed"}},
        {"last block claims more than a block",
         [&](auto& b, auto&) { PutU16(b, block(3, 2) + 8, 60000); },
         {"Invalid block size in BLOB file for physical record # 3, error fixed"}},
        {"middle block claims more than a block",
         [&](auto& b, auto&) { PutU16(b, block(4, 1) + 8, 60000); },
         {"Invalid block size in BLOB file for physical record # 4, error fixed",
          "BLOB size mismatch in BLOB file for physical record # 4, error fixed"}},
        {"partial block at the end",
         [&](auto& b, auto&) { b.resize(b.size() + 100, 0); },
         {"BLOB blocks not aligned on even block size boundaries, error fixed"}},
    };
    for (const BlobDamage& c : corpus) {
        SCOPED_TRACE(c.what);
        MakeBlobs();
        std::vector<std::uint32_t> refs = refs_;
        auto bytes = ReadBytes(Path("BLB"));
        c.edit(bytes, refs);
        WriteBytes(Path("BLB"), bytes);
        const auto dat = ReadBytes(Path("DAT"));
        const auto idx = ReadBytes(Path("IDX"));
        for (bool verify_only : {true, false}) {
            TBlobFile blob;
            blob.SetName(Path("BLB"));
            blob.Open();
            RecordingCursor cursor;
            cursor.repair = !verify_only;
            blob.RepairFile(&cursor, verify_only);
            std::vector<bool> cleared;
            for (std::uint32_t n = 1; n <= 5; ++n) {
                cleared.push_back(blob.CheckChain(&cursor, verify_only, false, n, n, refs[n - 1]));
            }
            blob.FlushBlocks();
            blob.WriteHeader(false);
            blob.Close();
            EXPECT_EQ(cursor.lines, verify_only ? NotFixed(c.repair_lines) : c.repair_lines);
            if (verify_only) {
                EXPECT_EQ(ReadBytes(Path("BLB")), bytes);
                EXPECT_EQ(ReadBytes(Path("DAT")), dat);
                EXPECT_EQ(ReadBytes(Path("IDX")), idx);
                for (bool b : cleared)
                    EXPECT_FALSE(b);
            }
        }
        // After the repair a second verification finds nothing, except the
        // references the repair asked to clear.
        TBlobFile blob;
        blob.SetName(Path("BLB"));
        blob.Open();
        EXPECT_NO_THROW(blob.VerifyHeader());
        RecordingCursor cursor;
        for (std::uint32_t n = 1; n <= 5; ++n) {
            if (blob.ValidBlockOffset(refs[n - 1])) {
                blob.CheckChain(&cursor, true, false, n, n, refs[n - 1]);
                TBlobBuffer read(blob);
                EXPECT_NO_THROW(read.ReadBlob(refs[n - 1], n)) << n;
            }
        }
        EXPECT_TRUE(cursor.lines.empty()) << cursor.lines.front();
    }
}

TEST_F(BlobVerifierTest, DeletedRecordsGiveTheirBlocksBackOnlyInRepairMode) {
    MakeBlobs();
    const auto before = ReadBytes(Path("BLB"));
    {
        TBlobFile blob;
        blob.SetName(Path("BLB"));
        blob.Open();
        RecordingCursor cursor;
        cursor.repair = false;
        EXPECT_FALSE(blob.RepairBlob(&cursor, true, false, 2, 2, refs_[1]));
        EXPECT_FALSE(blob.RepairBlob(&cursor, true, false, 3, 9, refs_[2]));
        blob.FlushBlocks();
        blob.WriteHeader(false);
        EXPECT_EQ(
            cursor.lines,
            Lines{"Invalid BLOB offset in BLOB file for physical record # 3, error not fixed"});
    }
    EXPECT_EQ(ReadBytes(Path("BLB")), before);
    TBlobFile blob;
    blob.SetName(Path("BLB"));
    blob.Open();
    RecordingCursor cursor;
    blob.RepairFile(&cursor, false);
    EXPECT_TRUE(blob.RepairBlob(&cursor, false, false, 2, 2, refs_[1]));
    EXPECT_TRUE(cursor.lines.empty());
    EXPECT_EQ(blob.GetFirstFreeBlock(), refs_[1] + 1024);
    // Blob 1 is live and still reads.
    TBlobBuffer buffer(blob);
    buffer.ReadBlob(refs_[0], 1);
    EXPECT_EQ(buffer.Size(), 1200);
}

TEST_F(BlobVerifierTest, BlobHeaderChecks) {
    MakeBlobs();
    struct Case {
        std::uint32_t first_free;
        std::uint32_t next;
        bool valid;
    };
    for (const Case& c :
         {Case{0, 512 + 1536 * 5, true}, Case{1024, 512 + 1536 * 5, true},
          Case{1030, 512 + 1536 * 5, false}, Case{512 + 1536 * 5, 512 + 1536 * 5, false},
          Case{512, 512, false}, Case{0, 700, false}}) {
        SCOPED_TRACE(c.first_free);
        Damage("BLB", [&](auto& b) {
            PutU32(b, 9, c.first_free);
            PutU32(b, 13, c.next);
        });
        TBlobFile blob;
        blob.SetName(Path("BLB"));
        blob.Open();
        EXPECT_EQ(EngineCode([&] { blob.VerifyHeader(); }), c.valid ? 0 : kErrHeaderCorrupt);
    }
}

}  // namespace
}  // namespace strata
