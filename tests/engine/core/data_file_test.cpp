#include "engine/core/data_file.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <functional>

#include "engine/core/index_file.h"
#include "engine/storage/engine_error.h"
#include "engine/storage/engine_heap.h"
#include "platform/db/date_time.h"
#include "platform/os/clock.h"
#include "platform/os/file.h"
#include "tests/engine/core/table_files_support.h"

namespace strata {
namespace {

using testing_support::ListTableFields;
using testing_support::ReadBytes;
using testing_support::TempDir;

void Put16(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) {
    b[at] = v & 0xFF;
    b[at + 1] = (v >> 8) & 0xFF;
}
void Put32(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b[at + i] = (v >> (8 * i)) & 0xFF;
}
void PutText(std::vector<std::uint8_t>& b, std::size_t at, std::string_view text) {
    b[at] = static_cast<std::uint8_t>(text.size());
    std::memcpy(&b[at + 1], text.data(), text.size());
}

// The expected descriptor bytes, written field by field from the format.
std::vector<std::uint8_t> ExpectedDescriptor(std::uint16_t number, std::string_view name,
                                             std::uint8_t type, std::uint8_t subtype,
                                             std::uint8_t length, std::uint8_t size,
                                             std::uint16_t offset) {
    std::vector<std::uint8_t> d(768, 0);
    Put16(d, 0, number);
    PutText(d, 2, name);
    d[84] = type;
    d[85] = subtype;
    d[86] = length;
    d[88] = size;
    Put16(d, 90, offset);
    return d;
}

class BatchOwner : public TTableFileOwner {
  public:
    void MarkWritten() override { ++written; }
    bool InUpdateBatch() const override { return in_batch; }
    bool WritesAlone() const override { return alone; }
    bool in_batch = true;
    bool alone = false;
    int written = 0;
};

// Slots 1 to `slots`, each record carrying its own number as ID, written with the header.
void FillNumbered(TDataFile& file, std::uint32_t slots) {
    for (std::uint32_t n = 1; n <= slots; ++n) {
        TRecord* r = file.AllocateRecord();
        r->SetRecordId(n);
        file.ReleaseRecord(r);
    }
    file.FlushRecords();
    file.WriteHeader(false);
}

class DataFileTest : public ::testing::Test {
  protected:
    std::unique_ptr<TDataFile> Create(const std::vector<FieldDescriptor>& fields,
                                      const std::string& name = "mailist.DAT",
                                      bool encrypted = false) {
        auto file = std::make_unique<TDataFile>();
        file->SetName(dir_.File(name));
        file->CreateDataFile(0, 0, fields, 0, "Corvane list", encrypted ? "secret" : "", encrypted,
                             2, 7);
        return file;
    }
    std::unique_ptr<TDataFile> Reopen(const std::string& name = "mailist.DAT") {
        auto file = std::make_unique<TDataFile>();
        file->SetName(dir_.File(name));
        file->Open();
        return file;
    }
    // A new, empty list table's data file, opened for `owner`.
    std::unique_ptr<TDataFile> NewListFile(TTableFileOwner& owner,
                                           const std::string& name = "mailist.DAT",
                                           bool encrypted = false) {
        Create(ListTableFields(), name, encrypted)->Close();
        auto file = std::make_unique<TDataFile>(&owner);
        file->SetName(dir_.File(name));
        file->Open();
        return file;
    }
    // A new list table's data file for `owner`, slots 1 to `slots` numbered and written
    // outside any batch, its record cache empty.
    std::unique_ptr<TDataFile> NumberedListFile(BatchOwner& owner, std::uint32_t slots,
                                                const std::string& name = "mailist.DAT",
                                                bool encrypted = false) {
        owner.in_batch = false;
        auto file = NewListFile(owner, name, encrypted);
        FillNumbered(*file, slots);
        file->ClearRecordCache();
        return file;
    }
    // Reopens the list table's data file and checks each of its first `slots` records' IDs.
    template <typename ExpectedId>
    void ExpectRecordIds(std::uint32_t slots, ExpectedId expected_id) {
        auto again = Reopen();
        for (std::uint32_t n = 1; n <= slots; ++n) {
            TRecord* r = again->GetRecord(n);
            ASSERT_EQ(r->RecordId(), expected_id(n)) << n;
            again->ReleaseRecord(r);
        }
    }

    TempDir dir_;
};

TEST_F(DataFileTest, NewListTableHasEveryHeaderFieldAtItsOffset) {
    const double before = static_cast<double>(db::Now()) - 693594.0;
    Create(ListTableFields())->Close();
    const double after = static_cast<double>(db::Now()) - 693594.0;
    const std::vector<std::uint8_t> bytes = ReadBytes(dir_.File("mailist.DAT"));
    ASSERT_EQ(bytes.size(), 127u + 8 * 768);

    std::vector<std::uint8_t> header(127, 0);
    header[8] = 4;           // version
    Put32(header, 13, 1);    // next record slot
    Put16(header, 21, 342);  // 9 + 82 + 82 + 5 + 82 + 52 + 27 + 3
    Put16(header, 23, 8);    // fields
    PutText(header, 35, "Corvane list");
    Put16(header, 107, 2);
    Put16(header, 109, 7);
    header[111] = 1;  // written because of a change
    Put32(header, 116, 20600);
    double stamp;
    std::uint64_t bits = 0;
    for (int i = 0; i < 8; ++i)
        bits |= std::uint64_t{bytes[27 + i]} << (8 * i);
    std::memcpy(&stamp, &bits, 8);
    EXPECT_GE(stamp, before - 1e-6);
    EXPECT_LE(stamp, after + 1e-6);
    for (std::size_t i = 0; i < 127; ++i) {
        if (i >= 27 && i < 35)
            continue;
        EXPECT_EQ(bytes[i], header[i]) << "header offset " << i;
    }

    const std::vector<std::vector<std::uint8_t>> descriptors = {
        ExpectedDescriptor(1, "Index", 6, 29, 0, 4, 5),
        ExpectedDescriptor(2, "Item", 1, 0, 80, 81, 9),
        ExpectedDescriptor(3, "Category", 1, 0, 80, 81, 91),
        ExpectedDescriptor(4, "Bounces", 6, 0, 0, 4, 173),
        ExpectedDescriptor(5, "Comments", 1, 0, 80, 81, 178),
        ExpectedDescriptor(6, "Name", 1, 0, 50, 51, 260),
        ExpectedDescriptor(7, "Salutation", 1, 0, 25, 26, 312),
        ExpectedDescriptor(8, "SendRights", 4, 0, 0, 2, 339),
    };
    for (std::size_t f = 0; f < descriptors.size(); ++f) {
        for (std::size_t i = 0; i < 768; ++i) {
            ASSERT_EQ(bytes[127 + f * 768 + i], descriptors[f][i])
                << "field " << f + 1 << " offset " << i;
        }
    }

    auto file = Reopen();
    EXPECT_EQ(file->GetRecordSize(), 342u);
    EXPECT_EQ(file->GetFieldCount(), 8u);
    EXPECT_EQ(file->GetDescription(), "Corvane list");
    EXPECT_EQ(file->GetFirstUserWord(), 2);
    EXPECT_EQ(file->GetSecondUserWord(), 7);
    EXPECT_EQ(file->GetBlobBlockSize(), 512u);
    EXPECT_EQ(FieldName(file->GetFieldDescriptor(7)), "Salutation");
    EXPECT_EQ(FieldNumber(*file->FindFieldDescriptorByName("sendrights")), 8);
    EXPECT_NO_THROW(file->VerifyHeader());
}

TEST_F(DataFileTest, FirstRecordsAreWrittenByteForByte) {
    auto file = Create(ListTableFields());
    const auto fields = ListTableFields();
    for (std::uint32_t n = 1; n <= 2; ++n) {
        TRecord* r = file->AllocateRecord();
        ASSERT_EQ(r->RecordNumber(), n);
        r->SetRecordId(file->NextAutoIncrement());
        std::span<std::uint8_t> b = r->Buffer();
        b[9] = 1;  // Item has a value
        const std::string item = n == 1 ? "ann@example.org" : "bo@example.org";
        std::memcpy(&b[10], item.data(), item.size());
        b[173] = 1;  // Bounces = n
        b[174] = static_cast<std::uint8_t>(n);
        file->ReleaseRecord(r);
    }
    file->FlushRecords();
    file->WriteHeader(false);
    file->Close();

    const std::vector<std::uint8_t> bytes = ReadBytes(dir_.File("mailist.DAT"));
    const std::size_t base = 127 + 8 * 768;
    ASSERT_EQ(bytes.size(), base + 2 * 342);
    for (std::uint32_t n = 1; n <= 2; ++n) {
        std::vector<std::uint8_t> expected(342, 0);
        Put32(expected, 1, n);  // own number
        Put32(expected, 5, n);  // record ID
        expected[9] = 1;
        const std::string item = n == 1 ? "ann@example.org" : "bo@example.org";
        std::memcpy(&expected[10], item.data(), item.size());
        expected[173] = 1;
        expected[174] = static_cast<std::uint8_t>(n);
        for (std::size_t i = 0; i < 342; ++i) {
            ASSERT_EQ(bytes[base + (n - 1) * 342 + i], expected[i]) << "record " << n << " @" << i;
        }
    }
    EXPECT_EQ(bytes[0], 1);   // one header write after creation
    EXPECT_EQ(bytes[13], 3);  // next record slot
    EXPECT_EQ(bytes[17], 2);  // last auto-increment value
}

TEST_F(DataFileTest, RecordSizeAndOffsetsFollowTheFields) {
    std::vector<FieldDescriptor> fields = {MakeFieldDescriptor(1, "A", 1, 0, 19),
                                           MakeFieldDescriptor(2, "B", 6)};
    testing_support::LayOut(fields);
    EXPECT_EQ(FieldOffset(fields[1]), 30);
    EXPECT_EQ(Create(fields, "t.DAT")->GetRecordSize(), 35u);

    std::vector<FieldDescriptor> with_auto = {MakeFieldDescriptor(1, "Id", 6, 29),
                                              MakeFieldDescriptor(2, "A", 1, 0, 19)};
    testing_support::LayOut(with_auto);
    EXPECT_EQ(FieldOffset(with_auto[0]), 5);
    EXPECT_EQ(Create(with_auto, "u.DAT")->GetRecordSize(), 30u);
}

TEST_F(DataFileTest, CreationRefusesTheSixtyFifthBlobFieldAndOversizedRecords) {
    std::vector<FieldDescriptor> blobs;
    for (int i = 1; i <= 65; ++i)
        blobs.push_back(MakeFieldDescriptor(i, "B" + std::to_string(i), 3));
    testing_support::LayOut(blobs);
    try {
        Create(blobs, "b.DAT");
        FAIL();
    } catch (const EStrataEngineError& e) {
        EXPECT_EQ(e.ErrorCode(), kErrBlobLimit);
    }
    blobs.pop_back();
    EXPECT_EQ(Create(blobs, "c.DAT")->GetBlobFieldCount(), 64u);

    std::vector<FieldDescriptor> wide;
    for (int i = 1; i <= 300; ++i)
        wide.push_back(MakeFieldDescriptor(i, "S" + std::to_string(i), 1, 0, 250));
    try {
        Create(wide, "w.DAT");
        FAIL();
    } catch (const EStrataEngineError& e) {
        EXPECT_EQ(e.ErrorCode(), kErrMaxRecordSize);
    }
}

TEST_F(DataFileTest, MisplacedDescriptorsAreRefusedBeforeAFileExists) {
    std::vector<FieldDescriptor> fields = ListTableFields();
    PutU16(fields[3], fd::kOffset, 170);
    try {
        Create(fields, "bad.DAT");
        FAIL();
    } catch (const EStrataEngineError& e) {
        EXPECT_EQ(e.ErrorCode(), kErrInvalidFieldDefinition);
    }
    EXPECT_FALSE(std::filesystem::exists(dir_.File("bad.DAT")));
    fields = ListTableFields();
    PutU16(fields[2], fd::kNumber, 9);
    EXPECT_THROW(Create(fields, "bad.DAT"), EStrataEngineError);
}

TEST_F(DataFileTest, EncryptedTableHidesDescriptionAndPassword) {
    Create(ListTableFields(), "e.DAT", true)->Close();
    const auto bytes = ReadBytes(dir_.File("e.DAT"));
    EXPECT_EQ(bytes[86], 1);
    EXPECT_EQ(bytes[35], 12);  // the length byte stays plain
    EXPECT_NE(std::string(bytes.begin() + 36, bytes.begin() + 48), "Corvane list");
    auto file = Reopen("e.DAT");
    EXPECT_EQ(file->GetDescription(), "Corvane list");
    EXPECT_EQ(file->GetPassword(), "secret");
    EXPECT_EQ(FieldName(file->GetFieldDescriptor(2)), "Item");
}

TEST_F(DataFileTest, FreedRecordsAreReusedLastFreedFirst) {
    auto file = Create(ListTableFields());
    for (int i = 0; i < 10; ++i)
        file->ReleaseRecord(file->AllocateRecord());
    EXPECT_EQ(file->GetFreeRecord(), 11u);
    for (std::uint32_t n : {5u, 9u}) {
        TRecord* r = file->GetRecord(n);
        file->FreeRecord(*r);
        file->ReleaseRecord(r);
    }
    TRecord* a = file->AllocateRecord();
    EXPECT_EQ(a->RecordNumber(), 9u);
    EXPECT_EQ(a->Status(), 0);
    file->ReleaseRecord(a);
    TRecord* b = file->AllocateRecord();
    EXPECT_EQ(b->RecordNumber(), 5u);
    file->ReleaseRecord(b);
    EXPECT_EQ(file->GetFirstFreeRecord(), 0u);
    EXPECT_EQ(file->AllocateRecord()->RecordNumber(), 11u);
}

TEST_F(DataFileTest, TableWithoutPrimaryIndexAppendsAndKeepsItsFreeChain) {
    auto file = Create(ListTableFields());
    TIndexFile index;
    index.SetName(dir_.File("mailist.IDX"));
    index.CreateFile();
    index.SetPrimaryIndex(IndexDescriptor{});  // no fields: no primary index
    file->SetIndexFile(&index);
    for (int i = 0; i < 4; ++i)
        file->ReleaseRecord(file->AllocateRecord());
    TRecord* r = file->GetRecord(2);
    file->FreeRecord(*r);
    file->ReleaseRecord(r);
    TRecord* appended = file->AllocateRecord();
    EXPECT_EQ(appended->RecordNumber(), 5u);
    file->ReleaseRecord(appended);
    // The chain still names record 2 for the record pass of a repair.
    EXPECT_EQ(file->GetFirstFreeRecord(), 2u);
    file->SetIndexFile(nullptr);
}

TEST_F(DataFileTest, DamagedFreeLinkNeverHandsOutALiveRecord) {
    auto file = Create(ListTableFields());
    for (int i = 0; i < 3; ++i)
        file->ReleaseRecord(file->AllocateRecord());
    TRecord* r = file->GetRecord(3);
    file->FreeRecord(*r);
    r->SetNextFree(1);  // points at a live record
    file->ReleaseRecord(r);
    file->ReleaseRecord(file->AllocateRecord());
    try {
        file->AllocateRecord();
        FAIL();
    } catch (const EStrataEngineError& e) {
        EXPECT_EQ(e.ErrorCode(), kErrDataRecordCorrupt);
    }
    EXPECT_EQ(file->GetRecord(1)->Status(), 0);
}

TEST_F(DataFileTest, AppendLimitsAndCounters) {
    auto file = Create(ListTableFields());
    DataHeader h = file->GetHeader();
    // Reach the limits through the header, as a full file would have them.
    auto set_next = [&](std::uint32_t next) {
        auto bytes = ReadBytes(dir_.File("mailist.DAT"));
        Put32(bytes, 13, next);
        testing_support::WriteBytes(dir_.File("mailist.DAT"), bytes);
        file->ReadHeader();
    };
    file->Close();
    file->Open();
    struct Case {
        std::uint32_t next;
        bool accepted;
    };
    // 342-byte records: 2000000000 / 342 = 5847953.
    for (const Case& c : {Case{5847953, true}, Case{5847954, false}}) {
        set_next(c.next);
        if (c.accepted) {
            EXPECT_NO_THROW(file->ReleaseRecord(file->GetRecord(c.next))) << c.next;
            file->ClearRecordCache();
        } else {
            try {
                file->GetRecord(c.next);
                FAIL() << c.next;
            } catch (const EStrataEngineError& e) {
                EXPECT_EQ(e.ErrorCode(), kErrTableFull);
            }
        }
    }
    (void)h;
    file->SetAutoIncrement(2147483647);
    EXPECT_EQ(file->NextAutoIncrement(), 1u);
    EXPECT_EQ(file->NextBlobNumber(), 1u);
}

TEST_F(DataFileTest, RecordSlotLimitIsOneHundredMillion) {
    std::vector<FieldDescriptor> tiny = {MakeFieldDescriptor(1, "A", 4)};
    testing_support::LayOut(tiny);
    auto file = Create(tiny, "tiny.DAT");
    file->Close();
    for (std::uint32_t next : {99999999u, 100000000u}) {
        auto bytes = ReadBytes(dir_.File("tiny.DAT"));
        Put32(bytes, 13, next);
        testing_support::WriteBytes(dir_.File("tiny.DAT"), bytes);
        file->Open();
        if (next == 99999999u) {
            EXPECT_NO_THROW(file->ReleaseRecord(file->GetRecord(next)));
        } else {
            EXPECT_THROW(file->GetRecord(next), EStrataEngineError);
        }
        file->ClearRecordCache();
        file->Close();
    }
}

TEST_F(DataFileTest, WriteHeaderWritesOnlyWhenChangedOrForced) {
    Create(ListTableFields())->Close();
    auto file = Reopen();
    const auto before = ReadBytes(dir_.File("mailist.DAT"));
    file->WriteHeader(false);
    EXPECT_EQ(ReadBytes(dir_.File("mailist.DAT")), before);
    file->WriteHeader(true);
    const auto after = ReadBytes(dir_.File("mailist.DAT"));
    EXPECT_EQ(after[0], before[0] + 1);
    EXPECT_EQ(after[111], 0);  // forced, not changed
    auto other = std::make_unique<TDataFile>();
    other->SetName(dir_.File("mailist.DAT"));
    other->Open();
    EXPECT_FALSE(other->HeaderChanged());
    file->NextAutoIncrement();
    file->WriteHeader(false);
    EXPECT_TRUE(other->HeaderChanged());
    EXPECT_EQ(other->GetLastAutoIncrement(), 1u);
}

TEST_F(DataFileTest, RecordCacheEvictsCleanRecordsAndReadsAhead) {
    auto file = Create(ListTableFields());
    const std::size_t capacity = file->RecordCacheCapacity();
    EXPECT_EQ(capacity, 131070u / 342);
    for (std::size_t i = 0; i < capacity * 3; ++i) {
        TRecord* r = file->AllocateRecord();
        r->SetRecordId(static_cast<std::uint32_t>(i + 1));
        file->ReleaseRecord(r);
    }
    EXPECT_LE(file->CachedRecordCount(), capacity);
    file->FlushRecords();
    file->ClearRecordCache();
    TRecord* r = nullptr;
    ASSERT_TRUE(file->GetRecord(nullptr, 10, true, false, true, r));
    EXPECT_EQ(r->RecordId(), 10u);
    file->ReleaseRecord(r);
    // The neighbours read along enter the cache only when asked for, and
    // without another read.
    EXPECT_EQ(file->CachedRecordCount(), 1u);
    const auto reads = file->GetStatistics().reads;
    for (std::uint32_t n = 11; n < 30; n += 3) {
        TRecord* neighbour = file->GetRecord(n);
        EXPECT_EQ(neighbour->RecordId(), n);
        file->ReleaseRecord(neighbour);
    }
    EXPECT_EQ(file->GetStatistics().reads, reads);
    EXPECT_EQ(file->GetRecord(3 * capacity)->RecordId(), 3 * capacity);
}

// A walk forward over records close together reads them ahead in buffers, also one that takes
// every twentieth record (along an index on a field of few values), which a buffer serves
// several times over; one that takes records farther apart than a quarter of a buffer reads
// each alone rather than copy buffers it mostly passes over.
TEST_F(DataFileTest, AscendingMissesReadAheadOnlyWhereTheirStepsAreShort) {
    auto file = Create(ListTableFields());
    const auto slots = static_cast<std::uint32_t>(file->RecordCacheCapacity() * 3);
    for (std::uint32_t n = 1; n <= slots; ++n)
        file->ReleaseRecord(file->AllocateRecord());
    file->FlushRecords();
    const auto far = static_cast<std::uint32_t>(65535 / file->GetRecordSize() / 4 + 1);
    ASSERT_GT(far, 20u);
    for (const std::uint32_t step : {far, 20u, 2u}) {
        file->ClearRecordCache();
        const TDataFile::Statistics before = file->GetStatistics();
        std::uint64_t walked = 0;
        for (std::uint32_t n = 1; n <= slots; n += step, ++walked)
            file->ReleaseRecord(file->GetRecord(n));
        const TDataFile::Statistics& after = file->GetStatistics();
        if (step == far) {
            EXPECT_EQ(after.batched_reads, before.batched_reads);
            EXPECT_EQ(after.read_bytes - before.read_bytes, walked * file->GetRecordSize());
        } else {
            // A buffer's first misses are read alone until the walk shows its steps.
            EXPECT_LT(after.reads - before.reads, walked / (step == 2 ? 8 : 4));
        }
    }
}

// Scattered reads and changes over three cache capacities, with one record
// pinned throughout: the cache stays within its capacity, never evicts the
// pinned or a changed record (a lost change or a stale second copy would show
// as a wrong ID), and every change reaches the file.
TEST_F(DataFileTest, RecordCacheUnderPressureKeepsPinnedAndChangedRecords) {
    auto file = Create(ListTableFields());
    const std::size_t capacity = file->RecordCacheCapacity();
    const auto slots = static_cast<std::uint32_t>(capacity * 3);
    std::vector<std::uint32_t> expected(slots + 1);
    for (std::uint32_t n = 1; n <= slots; ++n) {
        TRecord* r = file->AllocateRecord();
        r->SetRecordId(n);
        expected[n] = n;
        file->ReleaseRecord(r);
    }
    file->FlushRecords();
    file->ClearRecordCache();
    TRecord* pinned = file->GetRecord(7);
    std::uint32_t last = 0;
    for (std::uint32_t i = 0; i < slots * 4; ++i) {
        const std::uint32_t n = (i * 7919u) % slots + 1;
        TRecord* r = file->GetRecord(n);
        ASSERT_EQ(r->RecordNumber(), n);
        ASSERT_EQ(r->RecordId(), expected[n]);
        if (i % 3 == 0 && n != 7) {
            expected[n] = 1000000 + i;
            r->SetRecordId(expected[n]);
        }
        file->ReleaseRecord(r);
        ASSERT_LE(file->CachedRecordCount(), capacity);
        last = n;
    }
    EXPECT_EQ(file->GetRecord(7), pinned);
    file->ReleaseRecord(pinned);
    // The latest record is found where it is, not read again.
    const auto reads = file->GetStatistics().reads;
    file->ReleaseRecord(file->GetRecord(last));
    EXPECT_EQ(file->GetStatistics().reads, reads);
    file->ReleaseRecord(pinned);
    file->FlushRecords();
    file->WriteHeader(false);
    file->Close();
    ExpectRecordIds(slots, [&](std::uint32_t n) { return expected[n]; });
}

// Changes every third record while walking forward. Returns the expected ID
// of each record (index = record number).
std::vector<std::uint32_t> ChangeEveryThirdRecord(TDataFile& file, std::uint32_t slots) {
    std::vector<std::uint32_t> expected(slots + 1);
    for (std::uint32_t n = 1; n <= slots; ++n)
        expected[n] = n;
    for (std::uint32_t n = 1; n <= slots; n += 3) {
        TRecord* r = file.GetRecord(n);
        EXPECT_EQ(r->RecordId(), n);
        expected[n] = 500000 + n;
        r->SetRecordId(expected[n]);
        file.ReleaseRecord(r);
    }
    return expected;
}

TEST_F(DataFileTest, ForwardWalkReadsAheadAndWritesChangesInFewRuns) {
    auto file = Create(ListTableFields());
    file->Close();
    file = std::make_unique<TDataFile>();
    file->SetName(dir_.File("mailist.DAT"));
    file->SetExclusive(true);
    file->Open();
    const auto slots = static_cast<std::uint32_t>(file->RecordCacheCapacity() * 4);
    for (std::uint32_t n = 1; n <= slots; ++n) {
        TRecord* r = file->AllocateRecord();
        r->SetRecordId(n);
        file->ReleaseRecord(r);
    }
    file->FlushRecords();
    file->WriteHeader(false);
    file->ClearRecordCache();
    const auto before = file->GetStatistics();
    const std::vector<std::uint32_t> expected = ChangeEveryThirdRecord(*file, slots);
    file->FlushRecords();
    const auto after = file->GetStatistics();
    const std::uint64_t changed = (slots + 2) / 3;
    EXPECT_GT(after.batched_reads, before.batched_reads);
    EXPECT_LT(after.reads - before.reads, changed / 4);
    EXPECT_LT(after.writes - before.writes, changed / 4);
    file->Close();
    ExpectRecordIds(slots, [&](std::uint32_t n) { return expected[n]; });
}

// Records read ahead but not yet cached are served from the bytes read, so
// those bytes must follow every write: a change written from inside them, one
// written by a run that reaches past their end, and records evicted after
// their change all read back as changed, plain and encrypted.
TEST_F(DataFileTest, RecordsReadAheadFollowEveryWrite) {
    for (const bool encrypted : {false, true}) {
        SCOPED_TRACE(encrypted ? "encrypted" : "plain");
        const std::string name = encrypted ? "secret.DAT" : "plain.DAT";
        Create(ListTableFields(), name, encrypted)->Close();
        auto file = std::make_unique<TDataFile>();
        file->SetName(dir_.File(name));
        file->SetExclusive(true);
        file->Open();
        const std::size_t capacity = file->RecordCacheCapacity();
        const auto slots = static_cast<std::uint32_t>(capacity * 4);
        for (std::uint32_t n = 1; n <= slots; ++n) {
            TRecord* r = file->AllocateRecord();
            r->SetRecordId(n);
            file->ReleaseRecord(r);
        }
        file->FlushRecords();
        file->WriteHeader(false);
        file->ClearRecordCache();
        std::vector<std::uint32_t> expected(slots + 1);
        for (std::uint32_t n = 1; n <= slots; ++n)
            expected[n] = n;
        auto change = [&](std::uint32_t n, std::uint32_t id) {
            TRecord* r = file->GetRecord(n);
            ASSERT_EQ(r->RecordId(), expected[n]) << n;
            r->SetRecordId(id);
            expected[n] = id;
            file->ReleaseRecord(r);
        };
        // How far a read-ahead from record 1 reaches.
        TRecord* first = nullptr;
        ASSERT_TRUE(file->GetRecord(nullptr, 1, true, false, true, first));
        file->ReleaseRecord(first);
        std::uint32_t read_ahead = 1;
        const auto reads = file->GetStatistics().reads;
        while (read_ahead < slots && file->GetStatistics().reads == reads)
            file->ReleaseRecord(file->GetRecord(++read_ahead));
        --read_ahead;
        ASSERT_GT(read_ahead, 20u);
        file->ClearRecordCache();
        // The record after the read-ahead cached on its own (a miss after a
        // miss further up reads no neighbours), then the read-ahead.
        file->ReleaseRecord(file->GetRecord(slots));
        file->ReleaseRecord(file->GetRecord(read_ahead + 1));
        ASSERT_TRUE(file->GetRecord(nullptr, 1, true, false, true, first));
        file->ReleaseRecord(first);
        const auto cached_reads = file->GetStatistics().reads;
        change(5, 7005);
        change(9, 7009);
        // One run from inside the bytes read to beyond their end.
        change(read_ahead, 7100);
        change(read_ahead + 1, 7101);
        ASSERT_EQ(file->GetStatistics().reads, cached_reads);
        file->FlushRecords();
        change(6, 7006);
        file->FlushRecords();
        // Single reads far away, downwards so that none reads ahead, push
        // every record out of the cache.
        for (std::uint32_t i = 0; i < capacity + 10; ++i)
            file->ReleaseRecord(file->GetRecord(slots - i * 2));
        const auto before = file->GetStatistics().reads;
        for (std::uint32_t n = 1; n <= read_ahead; ++n) {
            TRecord* r = file->GetRecord(n);
            ASSERT_EQ(r->RecordId(), expected[n]) << n;
            file->ReleaseRecord(r);
        }
        EXPECT_EQ(file->GetStatistics().reads, before);
        file->Close();
        auto again = Reopen(name);
        for (std::uint32_t n = 1; n <= slots; ++n) {
            TRecord* r = again->GetRecord(n);
            ASSERT_EQ(r->RecordId(), expected[n]) << n;
            again->ReleaseRecord(r);
        }
    }
}

// A record copied out is the record GetRecord gives: from the read window
// (plain and encrypted) without entering the cache, from the cache where a
// changed copy lives there, and read from the file where neither holds it.
TEST_F(DataFileTest, CopiedRecordsAreTheRecordsGetRecordGives) {
    for (const bool encrypted : {false, true}) {
        SCOPED_TRACE(encrypted ? "encrypted" : "plain");
        const std::string name = encrypted ? "secret.DAT" : "plain.DAT";
        Create(ListTableFields(), name, encrypted)->Close();
        auto file = std::make_unique<TDataFile>();
        file->SetName(dir_.File(name));
        file->SetExclusive(true);
        file->Open();
        const auto slots = static_cast<std::uint32_t>(file->RecordCacheCapacity() * 3);
        for (std::uint32_t n = 1; n <= slots; ++n) {
            TRecord* r = file->AllocateRecord();
            r->SetRecordId(n);
            r->Buffer()[20] = static_cast<std::uint8_t>(n);
            file->ReleaseRecord(r);
        }
        file->FlushRecords();
        file->ClearRecordCache();
        TRecord* first = nullptr;
        ASSERT_TRUE(file->GetRecord(nullptr, 1, true, false, true, first));
        file->ReleaseRecord(first);
        // Changed in the cache, not yet in the file nor in the window.
        TRecord* changed = file->GetRecord(5);
        changed->SetRecordId(7005);
        file->ReleaseRecord(changed);
        const std::size_t cached = file->CachedRecordCount();
        const std::size_t size = file->GetRecordSize();
        std::vector<std::uint8_t> out(size + 8, 0xEE);
        file->CopyRecord(2, out);
        file->CopyRecord(3, out);
        EXPECT_EQ(file->CachedRecordCount(), cached);
        EXPECT_EQ(out[size], 0xEE);
        for (const std::uint32_t n : {1u, 2u, 5u, 6u, slots / 2, slots, 3u}) {
            SCOPED_TRACE(n);
            file->CopyRecord(n, out);
            EXPECT_EQ(out[0], 0);
            EXPECT_EQ(GetU32(out, 1), n);
            EXPECT_EQ(GetU32(out, 5), n == 5 ? 7005u : n);
            EXPECT_EQ(out[20], static_cast<std::uint8_t>(n));
            TRecord* r = file->GetRecord(n);
            EXPECT_TRUE(std::equal(r->Buffer().begin(), r->Buffer().end(), out.begin()));
            file->ReleaseRecord(r);
        }
        file->FlushRecords();
        file->Close();
    }
}

// Shared, the unchanged records between two changed ones are never written
// along: another program may have changed them since they were cached.
TEST_F(DataFileTest, SharedFileNeverWritesBackRecordsItDidNotChange) {
    auto file = Create(ListTableFields());
    for (std::uint32_t n = 1; n <= 300; ++n) {
        TRecord* r = file->AllocateRecord();
        r->SetRecordId(n);
        file->ReleaseRecord(r);
    }
    file->FlushRecords();
    file->WriteHeader(false);
    file->Close();
    file = Reopen();
    // Read records 1.. ahead, and cache a few between the ones changed below.
    for (std::uint32_t n : {1u, 2u, 3u})
        file->ReleaseRecord(file->GetRecord(n));
    const auto reads = file->GetStatistics().reads;
    file->ReleaseRecord(file->GetRecord(5));
    ASSERT_EQ(file->GetStatistics().reads, reads);
    auto other = Reopen();
    TRecord* theirs = other->GetRecord(5);
    theirs->SetRecordId(777);
    other->ReleaseRecord(theirs);
    other->FlushRecords();
    for (std::uint32_t n : {4u, 6u}) {
        TRecord* mine = file->GetRecord(n);
        mine->SetRecordId(900 + n);
        file->ReleaseRecord(mine);
    }
    file->FlushRecords();
    auto check = Reopen();
    EXPECT_EQ(check->GetRecord(4)->RecordId(), 904u);
    EXPECT_EQ(check->GetRecord(5)->RecordId(), 777u);
    EXPECT_EQ(check->GetRecord(6)->RecordId(), 906u);
}

EngineErrorCode ErrorCodeOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const EStrataEngineError& error) {
        return error.ErrorCode();
    }
    return 0;
}

// Puts the data file's in-progress mark on before the first write of a change, as a table does.
class MarkingOwner : public TTableFileOwner {
  public:
    void MarkWritten() override {}
    bool InUpdateBatch() const override { return false; }
    void BeforeWrite() override {
        if (file != nullptr && !marked) {
            marked = true;
            file->WriteProgressMark(true);
        }
    }
    TDataFile* file = nullptr;
    bool marked = false;
};

// A change whose first write is the header keeps the mark on disk until the table takes it off:
// a cut there must be noticed at the next open. Whatever the header's own flag, taking the mark
// off leaves the flag the header write meant.
TEST_F(DataFileTest, AHeaderWrittenFirstInAChangeKeepsTheInProgressMark) {
    for (const bool header_change : {false, true}) {
        MarkingOwner owner;
        auto file = NewListFile(owner);
        owner.file = file.get();
        if (header_change)
            file->SetAutoIncrement(41);
        file->WriteHeader(true);
        EXPECT_TRUE(owner.marked) << header_change;
        EXPECT_TRUE(file->WriteInterrupted()) << header_change;
        EXPECT_EQ(ReadBytes(dir_.File("mailist.DAT"))[dh::kHeaderChanged], kWriteInProgressFlag)
            << header_change;
        file->WriteProgressMark(false);
        EXPECT_FALSE(file->WriteInterrupted()) << header_change;
        EXPECT_EQ(ReadBytes(dir_.File("mailist.DAT"))[dh::kHeaderChanged], header_change ? 1 : 0)
            << header_change;
        file->Close();
        auto again = Reopen();
        EXPECT_FALSE(again->WriteInterrupted()) << header_change;
    }
}

// Records changed thinly over a stretch of a shared file in a batch go out in few writes when
// nobody else can write: the unchanged records between them are read from the file and written back
// as they are. A changed record still pinned in a gap keeps its neighbours apart, and only a writer
// alone joins anything.

TEST_F(DataFileTest, ThinlySpreadChangesOfAWriterAloneGoOutInFewWrites) {
    constexpr std::uint32_t kSlots = 3000;
    struct SpreadCase {
        bool alone;
        bool pin;
        int writes;
    };
    // With the pinned record, one run on each side of it for a writer alone; without, one run.
    const SpreadCase cases[] = {{false, true, static_cast<int>(kSlots / 10 - 1)},
                                {true, true, 2},
                                {false, false, static_cast<int>(kSlots / 10)},
                                {true, false, 1}};
    for (const auto& [alone, pin, writes_expected] : cases) {
        std::filesystem::remove(dir_.File("mailist.DAT"));
        BatchOwner owner;
        const auto owned = NumberedListFile(owner, kSlots);
        TDataFile& file = *owned;
        ASSERT_LE(9 * file.GetRecordSize(), 8192u);
        owner.alone = alone;
        // Inside a batch, where nothing is written before the flush.
        owner.in_batch = true;
        std::vector<std::uint32_t> expected(kSlots + 1);
        for (std::uint32_t n = 1; n <= kSlots; ++n)
            expected[n] = n;
        TRecord* pinned = nullptr;
        for (std::uint32_t n = 5; n <= kSlots; n += 10) {
            TRecord* r = file.GetRecord(n);
            expected[n] = 700000 + n;
            r->SetRecordId(expected[n]);
            if (pin && n == 1505) {
                pinned = r;
                continue;
            }
            file.ReleaseRecord(r);
        }
        owner.in_batch = false;
        const int before = owner.written;
        file.FlushRecords();
        EXPECT_EQ(owner.written - before, writes_expected) << "alone " << alone << " pin " << pin;
        file.ReleaseRecord(pinned);
        file.FlushRecords();
        file.WriteHeader(false);
        file.Close();
        SCOPED_TRACE(testing::Message() << "alone " << alone);
        ExpectRecordIds(kSlots, [&](std::uint32_t n) { return expected[n]; });
    }
}

// A window read ahead of many records serves each of them without another read, and a flush
// writes the changes among them from it, in one write and without reading the gaps.
TEST_F(DataFileTest, AWindowReadAheadServesItsRecordsAndTheirFlush) {
    constexpr std::uint32_t kSlots = 2000;
    BatchOwner owner;
    const auto owned = NumberedListFile(owner, kSlots);
    TDataFile& file = *owned;
    owner.alone = true;
    owner.in_batch = true;
    file.ReadWindow(kSlots + 1, kSlots + 5);
    file.ReadWindow(0, 3);
    const auto before = file.GetStatistics();
    file.ReadWindow(101, 1900);
    EXPECT_EQ(file.GetStatistics().reads, before.reads + 1);
    for (std::uint32_t n = 101; n <= 1900; n += 9) {
        TRecord* r = file.GetRecord(n);
        EXPECT_EQ(r->RecordId(), n);
        r->SetRecordId(800000 + n);
        file.ReleaseRecord(r);
    }
    owner.in_batch = false;
    const int written = owner.written;
    file.FlushRecords();
    EXPECT_EQ(file.GetStatistics().reads, before.reads + 1);
    EXPECT_EQ(owner.written, written + 1);
    file.WriteHeader(false);
    file.TrimRecordCache();
    file.Close();
    ExpectRecordIds(kSlots, [](std::uint32_t n) {
        const bool changed = n >= 101 && n <= 1900 && (n - 101) % 9 == 0;
        return changed ? 800000 + n : n;
    });
}

// A file held alone joins changed records across unchanged ones in one write, taking the window's
// bytes for those it holds and the cached records for the rest: a run that starts in the window
// and ends beyond it, one wholly in the window and one wholly outside it must each leave every
// record as changed or as it was, plain and encrypted.
TEST_F(DataFileTest, RunsJoinedAcrossTheWindowAndTheCacheWriteEveryRecordAsItStands) {
    for (const bool encrypted : {false, true}) {
        SCOPED_TRACE(encrypted ? "encrypted" : "plain");
        const std::string name = encrypted ? "secret.DAT" : "plain.DAT";
        Create(ListTableFields(), name, encrypted)->Close();
        auto file = std::make_unique<TDataFile>();
        file->SetName(dir_.File(name));
        file->SetExclusive(true);
        file->Open();
        constexpr std::uint32_t kSlots = 600;
        FillNumbered(*file, kSlots);
        file->ClearRecordCache();
        file->ReadWindow(100, 200);
        // Cached on their own, unchanged: single reads downwards read no neighbours.
        for (std::uint32_t n = 260; n >= 201; --n)
            file->ReleaseRecord(file->GetRecord(n));
        std::vector<std::uint32_t> expected(kSlots + 1);
        for (std::uint32_t n = 1; n <= kSlots; ++n)
            expected[n] = n;
        // 190 and 195 in the window, 210 beyond it across cached records, then 230 and 250 among
        // cached records alone; 120 and 130 inside the window.
        for (const std::uint32_t n : {120u, 130u, 190u, 195u, 210u, 230u, 250u}) {
            TRecord* r = file->GetRecord(n);
            ASSERT_EQ(r->RecordId(), n);
            expected[n] = 900000 + n;
            r->SetRecordId(expected[n]);
            file->ReleaseRecord(r);
        }
        const auto before = file->GetStatistics();
        EXPECT_TRUE(file->FlushRecords());
        EXPECT_EQ(file->GetStatistics().reads, before.reads);
        // 120 to 130 from the window; 190 to 250 through the write buffer.
        EXPECT_EQ(file->GetStatistics().writes, before.writes + 2);
        for (std::uint32_t n = 100; n <= 260; ++n) {
            TRecord* r = file->GetRecord(n);
            ASSERT_EQ(r->RecordId(), expected[n]) << n;
            file->ReleaseRecord(r);
        }
        file->WriteHeader(false);
        file->Close();
        auto again = Reopen(name);
        for (std::uint32_t n = 1; n <= kSlots; ++n) {
            TRecord* r = again->GetRecord(n);
            ASSERT_EQ(r->RecordId(), expected[n]) << n;
            ASSERT_EQ(r->Status(), 0) << n;
            again->ReleaseRecord(r);
        }
    }
}

// Reads that follow on from the window join it, with a short gap read along; a read far beyond
// starts a new window. The joined window serves its records and their flush without another
// read, and keeps its bytes through a trim for the next walk over the same records.
TEST_F(DataFileTest, ReadsThatFollowOnJoinTheWindowAndOutliveATrim) {
    constexpr std::uint32_t kSlots = 3000;
    BatchOwner owner;
    const auto owned = NumberedListFile(owner, kSlots);
    TDataFile& file = *owned;
    owner.alone = true;
    owner.in_batch = true;
    const auto before = file.GetStatistics();
    file.ReadWindow(101, 900, 2500);
    file.ReadWindow(910, 1500);
    EXPECT_EQ(file.GetStatistics().reads, before.reads + 2);
    for (const std::uint32_t n : {101u, 900u, 905u, 910u, 1500u})
        EXPECT_TRUE(file.InReadWindow(n)) << n;
    EXPECT_FALSE(file.InReadWindow(1501));
    for (std::uint32_t n = 101; n <= 1500; n += 10) {
        TRecord* r = file.GetRecord(n);
        EXPECT_EQ(r->RecordId(), n);
        r->SetRecordId(900000 + n);
        file.ReleaseRecord(r);
    }
    owner.in_batch = false;
    const int written = owner.written;
    file.FlushRecords();
    EXPECT_EQ(owner.written, written + 1);
    file.WriteHeader(false);
    file.TrimRecordCache();
    file.ClearRecordCache();
    EXPECT_FALSE(file.InReadWindow(101));
    file.ReadWindow(101, 1500);
    file.TrimRecordCache();
    const auto read = file.GetStatistics().reads;
    for (std::uint32_t n = 101; n <= 1500; n += 10) {
        TRecord* r = file.GetRecord(n);
        EXPECT_EQ(r->RecordId(), 900000 + n) << n;
        file.ReleaseRecord(r);
    }
    EXPECT_EQ(file.GetStatistics().reads, read);
    // Too far beyond the window to join it.
    file.ReadWindow(2900, 2950);
    EXPECT_FALSE(file.InReadWindow(1500));
    EXPECT_TRUE(file.InReadWindow(2900));
    file.ClearRecordCache();
    file.Close();
    ExpectRecordIds(kSlots, [](std::uint32_t n) {
        const bool changed = n >= 101 && n <= 1500 && (n - 101) % 10 == 0;
        return changed ? 900000 + n : n;
    });
}

// Records new since the last flush are in the record cache only. Reads that reach them stop
// where the file ends and leave them to the cache: a walk's read-ahead, a new window, a window
// following on from the last, and a flush reading the file between changed records. Each must
// serve every record as it stands and leave the file reopening with every change; a record the
// header counts but neither the file nor the cache holds is still a read error.
TEST_F(DataFileTest, ReadsReachingNewRecordsStopWhereTheFileEnds) {
    constexpr std::uint32_t kSlots = 100;
    constexpr std::uint32_t kNew = 4;
    constexpr std::uint32_t kAll = kSlots + kNew;
    enum class Reach { kReadAhead, kNewWindow, kFollowingWindow, kFlushOnly };
    const auto run = [&](Reach reach) {
        std::filesystem::remove(dir_.File("mailist.DAT"));
        BatchOwner owner;
        const auto owned = NumberedListFile(owner, kSlots);
        TDataFile& file = *owned;
        ASSERT_LE(10 * file.GetRecordSize(), 8192u);
        owner.alone = true;
        // Inside a batch the new records stay in the cache.
        owner.in_batch = true;
        std::vector<std::uint32_t> expected(kAll + 1);
        for (std::uint32_t n = 1; n <= kAll; ++n)
            expected[n] = n;
        for (std::uint32_t n = kSlots + 1; n <= kAll; ++n) {
            TRecord* r = file.AllocateRecord();
            ASSERT_EQ(r->RecordNumber(), n);
            r->SetRecordId(n);
            file.ReleaseRecord(r);
        }
        ASSERT_EQ(file.GetRecordSlots(), kAll);
        std::uint32_t window_first = 0;
        switch (reach) {
            case Reach::kReadAhead: {
                TRecord* r = nullptr;
                ASSERT_TRUE(file.GetRecord(nullptr, 95, true, false, true, r));
                EXPECT_EQ(r->RecordId(), 95u);
                file.ReleaseRecord(r);
                window_first = 95;
                break;
            }
            case Reach::kNewWindow:
                file.ReadWindow(90, kAll);
                window_first = 90;
                break;
            case Reach::kFollowingWindow:
                file.ReadWindow(60, 80, kAll);
                file.ReadWindow(81, kAll);
                window_first = 60;
                break;
            case Reach::kFlushOnly:
                break;
        }
        if (window_first != 0) {
            EXPECT_TRUE(file.InReadWindow(window_first));
            EXPECT_TRUE(file.InReadWindow(kSlots));
            EXPECT_FALSE(file.InReadWindow(kSlots + 1));
        }
        // Changes on both sides of unread records, the last among the new ones.
        for (const std::uint32_t n : {92u, 97u, kSlots + 2}) {
            TRecord* r = file.GetRecord(n);
            ASSERT_EQ(r->RecordId(), expected[n]) << n;
            expected[n] = 600000 + n;
            r->SetRecordId(expected[n]);
            file.ReleaseRecord(r);
        }
        owner.in_batch = false;
        EXPECT_TRUE(file.FlushRecords());
        for (std::uint32_t n = 1; n <= kAll; ++n) {
            TRecord* r = file.GetRecord(n);
            ASSERT_EQ(r->RecordId(), expected[n]) << n;
            file.ReleaseRecord(r);
        }
        file.WriteHeader(false);
        file.Close();
        EXPECT_EQ(std::filesystem::file_size(dir_.File("mailist.DAT")),
                  kDataHeaderSize + 768 * ListTableFields().size() +
                      std::size_t{kAll} * file.GetRecordSize());
        ExpectRecordIds(kAll, [&](std::uint32_t n) { return expected[n]; });
    };
    for (const Reach reach :
         {Reach::kReadAhead, Reach::kNewWindow, Reach::kFollowingWindow, Reach::kFlushOnly}) {
        EXPECT_EQ(ErrorCodeOf([&] { run(reach); }), 0) << static_cast<int>(reach);
    }
    // The file cut short of records its header counts: reads stop at its end, and the records
    // past it are missing.
    const auto size = std::filesystem::file_size(dir_.File("mailist.DAT"));
    std::size_t record_size = 0;
    {
        auto file = Reopen();
        record_size = file->GetRecordSize();
    }
    std::filesystem::resize_file(dir_.File("mailist.DAT"), size - 10 * record_size);
    auto cut = Reopen();
    TRecord* r = nullptr;
    ASSERT_TRUE(cut->GetRecord(nullptr, 90, true, false, true, r));
    EXPECT_EQ(r->RecordId(), 90u);
    cut->ReleaseRecord(r);
    EXPECT_TRUE(cut->InReadWindow(kAll - 10));
    EXPECT_FALSE(cut->InReadWindow(kAll - 9));
    cut->ClearRecordCache();
    for (const std::uint32_t n : {kAll - 9, kAll}) {
        EXPECT_EQ(ErrorCodeOf([&] {
                      TRecord* missing = nullptr;
                      cut->GetRecord(nullptr, n, true, false, true, missing);
                  }),
                  kErrRead)
            << n;
    }
    cut->ClearRecordCache();
    cut->ReadWindow(80, kAll);
    EXPECT_TRUE(cut->InReadWindow(kAll - 10));
    EXPECT_FALSE(cut->InReadWindow(kAll - 9));
}

// A window keeps its memory through a trim; a later window may come in memory another owner
// gave up, holding that owner's bytes: each window still serves what the file holds.
TEST_F(DataFileTest, WindowsInMemoryTakenBackServeTheFilesBytes) {
    constexpr std::uint32_t kSlots = 3000;
    BatchOwner owner;
    owner.in_batch = false;
    const auto owned = NewListFile(owner);
    TDataFile& file = *owned;
    FillNumbered(file, kSlots);
    for (const std::uint32_t round : {1u, 2u, 3u}) {
        file.ClearRecordCache();
        file.ReadWindow(1, kSlots);
        for (std::uint32_t n = 1; n <= kSlots; n += 7) {
            TRecord* r = file.GetRecord(n);
            ASSERT_EQ(r->RecordId(), round == 1 ? n : 100000 * (round - 1) + n) << round;
            // The next round's values, written through the window.
            r->SetRecordId(100000 * round + n);
            file.ReleaseRecord(r);
        }
        file.FlushRecords();
        file.WriteHeader(false);
        file.TrimRecordCache();
        // Memory another owner gave up, full of its own bytes, may serve the next window.
        EngineBuffer junk;
        junk.Resize(std::size_t{kSlots} * file.GetRecordSize());
        std::memset(junk.data(), 0xAB, junk.capacity());
        KeepBuffer(std::move(junk));
    }
}

// Fails the write that comes when the count reaches zero, as a full disk would.
int writes_before_failure = -1;
void FailCountedWrite() {
    if (writes_before_failure >= 0 && writes_before_failure-- == 0)
        RaiseEngineError(kErrWrite, "counted");
}

// Records changed in a batch out of record order (some in a read window, some cached alone, a
// few freed, and a stretch of neighbours) go out in one flush as the same changes made one
// record at a time leave the file, byte for byte, plain and encrypted, for a writer alone that
// joins runs and for a shared file that writes each run apart. A write failing in the middle of
// the flush leaves every record either as it was or as changed, never part of a run, and keeps
// the unwritten records changed: the next flush completes the file. A window whose write failed
// is not trusted again.
TEST_F(DataFileTest, RecordsChangedOutOfOrderFlushAsChangedOneByOneThroughAFailedWrite) {
    constexpr std::uint32_t kSlots = 1500;
    // The order of the changes: every seventh record but for a stretch, a stretch of neighbours,
    // scrambled.
    std::vector<std::uint32_t> order;
    for (std::uint32_t n = 3; n <= kSlots; n += 7) {
        // A stretch left alone splits the flush of a writer alone in two runs.
        if (n < 1000 || n >= 1100)
            order.push_back(n);
    }
    for (std::uint32_t n = 601; n <= 640; ++n) {
        if (n % 7 != 3)
            order.push_back(n);
    }
    std::uint32_t seed = 12345;
    for (std::size_t i = order.size() - 1; i > 0; --i) {
        seed = seed * 1103515245u + 12345u;
        std::swap(order[i], order[(seed >> 8) % (i + 1)]);
    }
    const std::vector<std::uint32_t> freed = {1201, 24, 605, 1499};
    // The changes: each ID moves, then the frees in their order.
    const auto move_ids = [&](TDataFile& file, std::span<const std::uint32_t> numbers) {
        for (const std::uint32_t n : numbers) {
            TRecord* r = file.GetRecord(n);
            r->SetRecordId(700000 + n);
            file.ReleaseRecord(r);
        }
    };
    const auto free_some = [&](TDataFile& file) {
        for (const std::uint32_t n : freed) {
            TRecord* r = file.GetRecord(n);
            file.FreeRecord(*r);
            file.ReleaseRecord(r);
        }
    };
    struct Case {
        bool encrypted;
        bool alone;
        bool window;
    };
    for (const auto& [encrypted, alone, window] :
         {Case{false, true, true}, Case{false, false, false}, Case{true, true, false},
          Case{true, false, true}}) {
        SCOPED_TRACE(testing::Message()
                     << "encrypted " << encrypted << " alone " << alone << " window " << window);
        for (const char* name : {"model.DAT", "batch.DAT"})
            std::filesystem::remove(dir_.File(name));
        // The model: the same changes, each written on its own in record order.
        {
            BatchOwner owner;
            owner.in_batch = false;
            const auto owned = NewListFile(owner, "model.DAT", encrypted);
            TDataFile& model = *owned;
            FillNumbered(model, kSlots);
            std::vector<std::uint32_t> sorted = order;
            std::sort(sorted.begin(), sorted.end());
            for (const std::uint32_t n : sorted) {
                move_ids(model, std::span(&n, 1));
                model.FlushRecords();
            }
            free_some(model);
            model.FlushRecords();
            model.WriteHeader(false);
            model.Close();
        }
        BatchOwner owner;
        const auto owned = NumberedListFile(owner, kSlots, "batch.DAT", encrypted);
        TDataFile& file = *owned;
        const std::vector<std::uint8_t> before = ReadBytes(dir_.File("batch.DAT"));
        owner.alone = alone;
        owner.in_batch = true;
        if (window)
            file.ReadWindow(500, 900);
        move_ids(file, order);
        free_some(file);
        owner.in_batch = false;
        // The second run's write fails, or the third's where each run is short.
        writes_before_failure = alone ? 1 : 2;
        SetFileStepHook(FailCountedWrite);
        struct Unhook {
            ~Unhook() {
                SetFileStepHook(nullptr);
                writes_before_failure = -1;
            }
        } unhook;
        EXPECT_THROW(file.FlushRecords(), EStrataEngineError);
        SetFileStepHook(nullptr);
        const std::vector<std::uint8_t> failed = ReadBytes(dir_.File("batch.DAT"));
        EXPECT_TRUE(file.FlushRecords());
        file.WriteHeader(false);
        file.Close();
        const std::vector<std::uint8_t> after = ReadBytes(dir_.File("batch.DAT"));
        std::vector<std::uint8_t> model = ReadBytes(dir_.File("model.DAT"));
        ASSERT_EQ(after.size(), model.size());
        // Past the header's counter and write time, the files agree.
        for (const auto& [at, length] : {std::pair{0, 4}, std::pair{27, 8}}) {
            std::copy_n(after.begin() + at, length, model.begin() + at);
        }
        EXPECT_TRUE(after == model);
        // After the failure, each record was wholly as before or wholly as it ends.
        const std::size_t rs = file.GetRecordSize();
        const std::size_t start = 127 + 768 * ListTableFields().size();
        ASSERT_EQ(failed.size(), after.size());
        std::size_t changed_then = 0;
        for (std::size_t at = start; at < after.size(); at += rs) {
            const auto slot = [&](const std::vector<std::uint8_t>& bytes) {
                return std::vector<std::uint8_t>(
                    bytes.begin() + static_cast<std::ptrdiff_t>(at),
                    bytes.begin() + static_cast<std::ptrdiff_t>(at + rs));
            };
            const bool as_before = slot(failed) == slot(before);
            const bool as_after = slot(failed) == slot(after);
            EXPECT_TRUE(as_before || as_after) << "record " << (at - start) / rs + 1;
            changed_then += as_before ? 0 : 1;
        }
        // Some runs went out before the failure, and not all of them.
        EXPECT_GT(changed_then, 0u);
        EXPECT_LT(changed_then, order.size());
    }
}

// Records freed in a batch past the cache, while the read window holds them, leave the file
// byte for byte as the same frees made through the cache do, among records changed in the cache:
// freed ones read again come back freed (and join the cache), a free out of order and a freed
// record reused at once keep the chain, and frees whose window was replaced before the flush are
// written from the file's bytes. Plain and encrypted (which frees through the cache), for a
// writer alone that joins runs and a shared file that writes each apart. A failed write leaves
// every record wholly old or wholly new, and the next flush completes the file.
TEST_F(DataFileTest, RecordsFreedPastTheCacheFlushAsRecordsFreedThroughIt) {
    constexpr std::uint32_t kSlots = 900;
    struct Case {
        bool alone;
        bool drop_window;
        bool encrypted;
    };
    const auto run = [&](const Case& c, bool past_cache, int fail_at) {
        std::filesystem::remove(dir_.File("mailist.DAT"));
        BatchOwner owner;
        const auto owned = NumberedListFile(owner, kSlots, "mailist.DAT", c.encrypted);
        TDataFile& file = *owned;
        const std::vector<std::uint8_t> before = ReadBytes(dir_.File("mailist.DAT"));
        owner.alone = c.alone;
        owner.in_batch = true;
        file.ReadWindow(100, 700);
        const auto free_one = [&](std::uint32_t n) {
            if (past_cache) {
                file.FreeStoredRecord(n);
                return;
            }
            TRecord* r = file.GetRecord(n);
            file.FreeRecord(*r);
            file.ReleaseRecord(r);
        };
        for (std::uint32_t n = 100; n <= 700; n += 5)
            free_one(n);
        EXPECT_EQ(file.PendingFreeCount(), past_cache && !c.encrypted ? 121u : 0u);
        for (const std::uint32_t n : {102u, 300u, 698u}) {
            TRecord* r = file.GetRecord(n);
            r->SetRecordId(700000 + n);
            file.ReleaseRecord(r);
        }
        std::vector<std::uint8_t> out(file.GetRecordSize());
        file.CopyRecord(400, out);
        EXPECT_EQ(out[0], 1);
        EXPECT_EQ(GetU32(out, 1), 395u);
        EXPECT_EQ(GetU32(out, 5), 400u);
        TRecord* again = file.GetRecord(405);
        EXPECT_EQ(again->Status(), 1);
        EXPECT_EQ(again->NextFree(), 400u);
        file.ReleaseRecord(again);
        free_one(151);
        free_one(152);
        // Reuse takes the last freed.
        TRecord* reused = file.AllocateRecord();
        EXPECT_EQ(reused->RecordNumber(), 152u);
        reused->SetRecordId(777152);
        file.ReleaseRecord(reused);
        if (c.drop_window)
            file.ReadWindow(800, 850);
        owner.in_batch = false;
        if (fail_at >= 0) {
            writes_before_failure = fail_at;
            SetFileStepHook(FailCountedWrite);
            struct Unhook {
                ~Unhook() {
                    SetFileStepHook(nullptr);
                    writes_before_failure = -1;
                }
            } unhook;
            EXPECT_THROW(file.FlushRecords(), EStrataEngineError);
        }
        const std::vector<std::uint8_t> failed = ReadBytes(dir_.File("mailist.DAT"));
        EXPECT_TRUE(file.FlushRecords());
        EXPECT_EQ(file.PendingFreeCount(), 0u);
        file.WriteHeader(false);
        file.Close();
        std::vector<std::uint8_t> after = ReadBytes(dir_.File("mailist.DAT"));
        const std::size_t rs = file.GetRecordSize();
        const std::size_t start = 127 + 768 * ListTableFields().size();
        EXPECT_EQ(failed.size(), after.size());
        for (std::size_t at = start; fail_at >= 0 && at + rs <= after.size(); at += rs) {
            const auto slot = [&](const std::vector<std::uint8_t>& bytes) {
                return std::vector<std::uint8_t>(
                    bytes.begin() + static_cast<std::ptrdiff_t>(at),
                    bytes.begin() + static_cast<std::ptrdiff_t>(at + rs));
            };
            EXPECT_TRUE(slot(failed) == slot(before) || slot(failed) == slot(after))
                << "record " << (at - start) / rs + 1;
        }
        // The header's counter and write time move with every write.
        for (const auto& [at, length] : {std::pair{0, 4}, std::pair{27, 8}})
            std::fill_n(after.begin() + at, length, 0);
        return after;
    };
    for (const Case& c :
         {Case{true, false, false}, Case{false, false, false}, Case{true, true, false},
          Case{false, true, false}, Case{false, false, true}}) {
        SCOPED_TRACE(testing::Message() << "alone " << c.alone << " window dropped "
                                        << c.drop_window << " encrypted " << c.encrypted);
        const std::vector<std::uint8_t> model = run(c, false, -1);
        // A writer alone writes it all in one run; a shared file's third write fails.
        EXPECT_TRUE(run(c, true, c.alone ? 0 : 3) == model);
    }
}

// A flush that reads the unchanged records between changed ones and finds the file cut short
// under it writes nothing and keeps its records changed; once the file holds its bytes again,
// the next flush writes every change.
TEST_F(DataFileTest, AFlushWhoseReadFailsWritesNothingAndTheNextOneCompletes) {
    constexpr std::uint32_t kSlots = 600;
    BatchOwner owner;
    const auto owned = NumberedListFile(owner, kSlots);
    TDataFile& file = *owned;
    const std::string path = dir_.File("mailist.DAT");
    const std::vector<std::uint8_t> whole = ReadBytes(path);
    owner.alone = true;
    owner.in_batch = true;
    for (std::uint32_t n = 100; n <= 400; n += 7) {
        TRecord* r = file.GetRecord(n);
        r->SetRecordId(900000 + n);
        file.ReleaseRecord(r);
    }
    owner.in_batch = false;
    std::filesystem::resize_file(path, static_cast<std::uintmax_t>(file.RecordOffset(200)));
    const std::vector<std::uint8_t> cut = ReadBytes(path);
    try {
        file.FlushRecords();
        ADD_FAILURE() << "the flush read past the file's end";
    } catch (const EStrataEngineError& e) {
        EXPECT_EQ(e.ErrorCode(), kErrRead);
    }
    EXPECT_TRUE(ReadBytes(path) == cut);
    {
        std::FILE* out = std::fopen(path.c_str(), "wb");
        ASSERT_NE(out, nullptr);
        ASSERT_EQ(std::fwrite(whole.data(), 1, whole.size(), out), whole.size());
        std::fclose(out);
    }
    EXPECT_TRUE(file.FlushRecords());
    file.WriteHeader(false);
    file.Close();
    ExpectRecordIds(kSlots, [](std::uint32_t n) {
        return n >= 100 && n <= 400 && (n - 100) % 7 == 0 ? 900000 + n : n;
    });
}

TEST_F(DataFileTest, UpdateBatchGrowsTheCacheInsteadOfWritingAndTrimsAfterwards) {
    BatchOwner owner;
    const auto owned = NewListFile(owner);
    TDataFile& file = *owned;
    const std::size_t capacity = file.RecordCacheCapacity();
    for (std::size_t i = 0; i < capacity + 10; ++i)
        file.ReleaseRecord(file.AllocateRecord());
    EXPECT_EQ(owner.written, 0);  // nothing reached the file inside the batch
    EXPECT_EQ(file.RecordCacheCapacity(), capacity + 255);
    EXPECT_EQ(file.CachedRecordCount(), capacity + 10);
    owner.in_batch = false;
    EXPECT_TRUE(file.FlushRecords());
    EXPECT_EQ(owner.written, 1);  // one run, one write
    file.TrimRecordCache();
    EXPECT_EQ(file.CachedRecordCount(), capacity);
    EXPECT_EQ(file.RecordCacheCapacity(), capacity);
    EXPECT_FALSE(file.FlushRecords());
    EXPECT_EQ(file.GetFileSize(), file.RecordOffset(static_cast<std::uint32_t>(capacity + 11)));
}

TEST_F(DataFileTest, CacheGrownByALongBatchShrinksBackAndStillFindsItsRecords) {
    BatchOwner owner;
    const auto owned = NewListFile(owner);
    TDataFile& file = *owned;
    const std::size_t capacity = file.RecordCacheCapacity();
    const auto count = static_cast<std::uint32_t>(capacity * 6);
    for (std::uint32_t n = 1; n <= count; ++n) {
        TRecord* r = file.AllocateRecord();
        r->SetRecordId(n);
        file.ReleaseRecord(r);
    }
    EXPECT_EQ(file.CachedRecordCount(), count);
    owner.in_batch = false;
    EXPECT_TRUE(file.FlushRecords());
    file.WriteHeader(false);
    file.TrimRecordCache();
    ASSERT_EQ(file.CachedRecordCount(), capacity);
    // The highest numbers went first; the rest is found without a read.
    const auto reads = file.GetStatistics().reads;
    for (std::uint32_t n = 1; n <= capacity; ++n) {
        TRecord* r = file.GetRecord(n);
        ASSERT_EQ(r->RecordId(), n);
        file.ReleaseRecord(r);
    }
    EXPECT_EQ(file.GetStatistics().reads, reads);
    TRecord* last = file.GetRecord(count);
    EXPECT_EQ(last->RecordId(), count);
    file.ReleaseRecord(last);
    EXPECT_GT(file.GetStatistics().reads, reads);
}

// Locks: the byte ranges of the format, seen by another handle of this process
// (refused by the file object) and by another program (OFD locks).
bool ChildCanLock(const std::string& path, std::uint64_t start, std::uint64_t length) {
    const pid_t pid = fork();
    if (pid == 0) {
        platform::os::OpenOptions options;
        options.share = platform::os::ShareMode::kShared;
        auto opened = platform::os::File::Open(path, options);
        if (!opened.ok())
            _exit(2);
        _exit(opened.value().LockRegion(start, length).ok() ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST_F(DataFileTest, LockBytesExcludeOtherHandlesAndPrograms) {
    Create(ListTableFields())->Close();
    auto a = Reopen();
    auto b = Reopen();
    const std::string path = dir_.File("mailist.DAT");

    ASSERT_TRUE(a->LockRecord(5));
    EXPECT_FALSE(b->LockRecord(5));
    EXPECT_TRUE(b->LockRecord(6));
    EXPECT_FALSE(ChildCanLock(path, 2147483646 - 5, 1));
    EXPECT_TRUE(ChildCanLock(path, 2147483646 - 7, 1));
    EXPECT_FALSE(b->LockTable());  // a record lock excludes the table lock
    EXPECT_TRUE(a->UnlockRecord(5));
    EXPECT_TRUE(b->UnlockRecord(6));
    EXPECT_TRUE(ChildCanLock(path, 2147483646 - 5, 1));

    ASSERT_TRUE(a->LockTable());
    EXPECT_FALSE(b->LockRecord(1));
    EXPECT_FALSE(b->LockRecord(100000001));
    EXPECT_FALSE(ChildCanLock(path, 2047483645, 1));
    EXPECT_FALSE(ChildCanLock(path, 2147483645, 1));
    EXPECT_TRUE(ChildCanLock(path, 2147483647, 1));  // the header byte is outside
    EXPECT_TRUE(a->UnlockTable());

    ASSERT_TRUE(a->LockHeader());
    EXPECT_FALSE(ChildCanLock(path, 2147483647, 1));
    platform::os::FakeClock clock;
    {
        platform::os::ScopedClockHooks hooks(clock.Hooks());
        EXPECT_FALSE(b->LockHeader());
    }
    // The waiting of 8193 tries 3 ms apart, spent in 1 ms steps.
    EXPECT_EQ(clock.SleptMilliseconds(), 3u * (kHeaderLockTries - 1));
    EXPECT_TRUE(a->UnlockHeader());
    EXPECT_TRUE(b->LockHeader());
    EXPECT_TRUE(b->UnlockHeader());
}

TEST_F(DataFileTest, LockHeldByAnotherProgramIsRefusedUntilReleased) {
    Create(ListTableFields())->Close();
    auto file = Reopen();
    int to_child[2];
    int to_parent[2];
    ASSERT_EQ(pipe(to_child), 0);
    ASSERT_EQ(pipe(to_parent), 0);
    const std::string path = dir_.File("mailist.DAT");
    const pid_t pid = fork();
    if (pid == 0) {
        platform::os::OpenOptions options;
        options.share = platform::os::ShareMode::kShared;
        auto opened = platform::os::File::Open(path, options);
        char c = opened.ok() && opened.value().LockRegion(2147483646 - 3, 1).ok() ? 'y' : 'n';
        (void)!write(to_parent[1], &c, 1);
        (void)!read(to_child[0], &c, 1);
        _exit(0);
    }
    char c = 0;
    ASSERT_EQ(read(to_parent[0], &c, 1), 1);
    ASSERT_EQ(c, 'y');
    EXPECT_FALSE(file->LockRecord(3));
    EXPECT_FALSE(file->LockTable());
    EXPECT_TRUE(file->LockRecord(4));
    (void)!write(to_child[1], &c, 1);
    waitpid(pid, nullptr, 0);
    EXPECT_TRUE(file->LockRecord(3));
    for (int fd : {to_child[0], to_child[1], to_parent[0], to_parent[1]})
        close(fd);
}

TEST(RecordPool, RecordsKeepTheirNumberAndComeBackFromThePool) {
    TRecordStack stack(nullptr);
    std::unique_ptr<TRecord> r = stack.Pop();
    r->EnsureSize(20);
    r->SetRecordNumber(7);
    EXPECT_EQ(GetU32(r->Buffer(), 1), 7u);
    EXPECT_EQ(r->NextFree(), 0u);
    r->SetStatus(1);
    r->SetNextFree(3);
    EXPECT_EQ(r->NextFree(), 3u);
    r->SetRecordNumber(8);  // a free record keeps its link
    EXPECT_EQ(r->NextFree(), 3u);
    r->Unpin();
    EXPECT_EQ(r->PinCount(), 0);
    r->Pin();
    TRecord* raw = r.get();
    stack.Push(std::move(r));
    EXPECT_EQ(r, nullptr);
    std::unique_ptr<TRecord> again = stack.Pop();
    EXPECT_EQ(again.get(), raw);
    EXPECT_EQ(again->PinCount(), 0);
    EXPECT_EQ(again->Status(), 0);
    EXPECT_FALSE(again->Modified());
}

}  // namespace
}  // namespace strata
