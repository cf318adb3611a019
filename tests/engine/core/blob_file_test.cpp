#include "engine/core/blob_file.h"

#include <gtest/gtest.h>

#include <cstring>
#include <numeric>

#include "engine/core/data_file.h"
#include "engine/storage/engine_error.h"
#include "tests/engine/core/table_files_support.h"

namespace strata {
namespace {

using testing_support::ReadBytes;
using testing_support::TempDir;

std::uint16_t EngineCode(const std::function<void()>& call) {
    try {
        call();
    } catch (const EStrataEngineError& e) {
        return e.ErrorCode();
    }
    return 0;
}

std::vector<std::uint8_t> Pattern(std::size_t n, std::uint8_t seed) {
    std::vector<std::uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i)
        v[i] = static_cast<std::uint8_t>(seed + i * 7 + i / 251);
    return v;
}

class BlobFileTest : public ::testing::Test {
  protected:
    void SetUp() override { Make(); }
    void Make(std::uint32_t block_size = 0, bool encrypted = false) {
        blob_ = std::make_unique<TBlobFile>();
        blob_->SetName(dir_.File("notes.BLB"));
        blob_->SetBlockSize(block_size);
        blob_->SetEncrypted(encrypted);
        blob_->CreateFile();
    }
    // Writes a new blob; returns its first block.
    std::uint32_t Store(const std::vector<std::uint8_t>& data, std::uint32_t number) {
        TBlobBuffer buffer(*blob_);
        buffer.SetSize(static_cast<std::int64_t>(data.size()));
        std::memcpy(buffer.GetData().data(), data.data(), data.size());
        return buffer.WriteBlob(number);
    }
    std::vector<std::uint8_t> Load(std::uint32_t first, std::uint32_t number) {
        TBlobBuffer buffer(*blob_);
        buffer.ReadBlob(first, number);
        return {buffer.GetData().begin(), buffer.GetData().end()};
    }
    void Cycle() {
        blob_->FlushBlocks();
        blob_->WriteHeader(false);
        blob_->ClearBlockCache();
    }

    TempDir dir_;
    std::unique_ptr<TBlobFile> blob_;
};

TEST_F(BlobFileTest, NewFileIsOneHeaderOfFiveHundredTwelveBytes) {
    blob_->WriteHeader(false);
    blob_->Close();
    const auto bytes = ReadBytes(dir_.File("notes.BLB"));
    ASSERT_EQ(bytes.size(), 512u);
    std::vector<std::uint8_t> expected(512, 0);
    expected[0] = 1;
    expected[8] = 4;
    expected[14] = 2;  // next block offset 512
    expected[17] = 1;
    EXPECT_EQ(bytes, expected);
    TBlobFile reopened;
    reopened.SetName(dir_.File("notes.BLB"));
    reopened.Open();
    EXPECT_EQ(reopened.GetNextBlockOffset(), 512u);
    EXPECT_NO_THROW(reopened.VerifyHeader());
}

TEST_F(BlobFileTest, BlockCountFollowsTheSize) {
    struct Case {
        std::size_t size;
        std::uint32_t blocks;
        std::uint16_t last_used;
    };
    for (const Case& c : {Case{1, 1, 1}, Case{494, 1, 494}, Case{495, 2, 1}, Case{988, 2, 494}}) {
        Make();
        const std::uint32_t first = Store(Pattern(c.size, 1), 7);
        EXPECT_EQ(first, 512u);
        EXPECT_EQ(blob_->GetNextBlockOffset(), 512u + 512u * c.blocks) << c.size;
        PinnedBlock last(*blob_, blob_->GetBlock(512 + 512 * (c.blocks - 1)));
        EXPECT_EQ(last->Used(), c.last_used);
        EXPECT_EQ(last->Next(), 0u);
        EXPECT_EQ(last->TotalSize(), c.blocks == 1 ? c.size : 0u);
        last.Release();
        Cycle();
        EXPECT_EQ(Load(first, 7), Pattern(c.size, 1)) << c.size;
    }
}

TEST_F(BlobFileTest, BlockBytesOnDisk) {
    const std::uint32_t first = Store(Pattern(600, 3), 9);
    Cycle();
    blob_->Close();
    const auto bytes = ReadBytes(dir_.File("notes.BLB"));
    ASSERT_EQ(bytes.size(), 512u * 3);
    const auto data = Pattern(600, 3);
    auto u32 = [&](std::size_t at) { return GetU32(bytes, at); };
    EXPECT_EQ(first, 512u);
    EXPECT_EQ(u32(512 + 0), 0u);     // previous
    EXPECT_EQ(u32(512 + 4), 1024u);  // next
    EXPECT_EQ(GetU16(bytes, 512 + 8), 494);
    EXPECT_EQ(u32(512 + 10), 9u);
    EXPECT_EQ(u32(512 + 14), 600u);
    EXPECT_TRUE(std::equal(data.begin(), data.begin() + 494, bytes.begin() + 530));
    EXPECT_EQ(u32(1024 + 0), 512u);
    EXPECT_EQ(u32(1024 + 4), 0u);
    EXPECT_EQ(GetU16(bytes, 1024 + 8), 106);
    EXPECT_EQ(u32(1024 + 10), 9u);
    EXPECT_EQ(u32(1024 + 14), 0u);
    EXPECT_TRUE(std::equal(data.begin() + 494, data.end(), bytes.begin() + 1042));
    EXPECT_EQ(u32(13), 1536u);
}

TEST_F(BlobFileTest, ShorterRewriteReusesTheChainAndFreesTheRest) {
    TBlobBuffer buffer(*blob_);
    buffer.SetSize(1400);  // three blocks: 512, 1024, 1536
    std::memcpy(buffer.GetData().data(), Pattern(1400, 5).data(), 1400);
    ASSERT_EQ(buffer.WriteBlob(1), 512u);
    buffer.SetSize(100);
    std::memcpy(buffer.GetData().data(), Pattern(100, 6).data(), 100);
    ASSERT_EQ(buffer.WriteBlob(2), 512u);
    EXPECT_EQ(blob_->GetFirstFreeBlock(), 1536u);  // freed last, so reused first
    EXPECT_EQ(Load(512, 2), Pattern(100, 6));
    EXPECT_EQ(EngineCode([&] { Load(512, 1); }), kErrRecordChanged);
    const std::uint32_t next = Store(Pattern(600, 7), 3);
    EXPECT_EQ(next, 1536u);
    PinnedBlock first(*blob_, blob_->GetBlock(1536));
    EXPECT_EQ(first->Next(), 1024u);
    first.Release();
    EXPECT_EQ(blob_->GetFirstFreeBlock(), 0u);
    EXPECT_EQ(blob_->GetNextBlockOffset(), 2048u);
    Cycle();
    EXPECT_EQ(Load(1536, 3), Pattern(600, 7));
}

TEST_F(BlobFileTest, EmptyValueFreesTheWholeChain) {
    TBlobBuffer buffer(*blob_);
    buffer.SetSize(900);  // two blocks
    ASSERT_EQ(buffer.WriteBlob(1), 512u);
    buffer.SetSize(0);
    EXPECT_EQ(buffer.WriteBlob(2), 0u);
    EXPECT_EQ(blob_->GetFirstFreeBlock(), 1024u);
    PinnedBlock freed(*blob_, blob_->GetBlock(1024));
    EXPECT_EQ(freed->Next(), 512u);
    EXPECT_EQ(freed->BlobNumber(), 0u);
}

TEST_F(BlobFileTest, BlobsLargerThanTheBlockCacheReadAndWrite) {
    ASSERT_EQ(blob_->BlockCacheCapacity(), 255u);
    const auto data = Pattern(494 * 700 + 13, 11);  // 701 blocks
    const std::uint32_t first = Store(data, 4);
    Cycle();
    EXPECT_EQ(Load(first, 4), data);
    testing_support::RecordingCursor cursor;
    EXPECT_FALSE(blob_->CheckChain(&cursor, false, false, 1, 4, first));
    EXPECT_TRUE(cursor.lines.empty()) << cursor.lines.front();
    // Rewrite in place, longer still, through a cold cache.
    blob_->ClearBlockCache();
    const auto longer = Pattern(494 * 900, 12);
    TBlobBuffer buffer(*blob_);
    buffer.SetReference(first, 4);
    buffer.SetSize(static_cast<std::int64_t>(longer.size()));
    std::memcpy(buffer.GetData().data(), longer.data(), longer.size());
    EXPECT_EQ(buffer.WriteBlob(5), first);
    Cycle();
    EXPECT_EQ(Load(first, 5), longer);
    EXPECT_EQ(blob_->GetNextBlockOffset(), 512u + 512u * 900);
}

TEST_F(BlobFileTest, RewriteNeverTakesBlocksOfAnotherBlob) {
    const std::uint32_t a = Store(Pattern(1400, 1), 1);  // 512, 1024, 1536
    const std::uint32_t b = Store(Pattern(900, 2), 2);   // 2048, 2560
    {
        // Damage: a's second block points into b.
        PinnedBlock block(*blob_, blob_->GetBlock(1024));
        block->SetNext(b);
    }
    TBlobBuffer buffer(*blob_);
    buffer.SetReference(a, 1);
    buffer.SetSize(2000);
    std::memcpy(buffer.GetData().data(), Pattern(2000, 3).data(), 2000);
    EXPECT_EQ(buffer.WriteBlob(3), a);
    Cycle();
    EXPECT_EQ(Load(b, 2), Pattern(900, 2));
    EXPECT_EQ(Load(a, 3), Pattern(2000, 3));
}

TEST_F(BlobFileTest, SizesBeyondTheLimitsAreRefusedWithoutAllocating) {
    TBlobBuffer buffer(*blob_);
    EXPECT_EQ(EngineCode([&] { buffer.SetSize(std::int64_t{2000000001}); }), kErrInvalidBlobLength);
    EXPECT_EQ(EngineCode([&] { buffer.SetSize(std::int64_t{1} << 33); }), kErrInvalidBlobLength);
    EXPECT_EQ(buffer.Size(), 0);
    const std::uint32_t first = Store(Pattern(100, 1), 1);
    {
        PinnedBlock block(*blob_, blob_->GetBlock(first));
        block->SetTotalSize(0xFFFFFFF0u);  // damaged size
    }
    EXPECT_EQ(EngineCode([&] { Load(first, 1); }), kErrEndOfBlob);
    EXPECT_EQ(EngineCode([&] { Load(700, 1); }), kErrBlobBlockCorrupt);       // not on a block
    EXPECT_EQ(EngineCode([&] { Load(512 * 40, 1); }), kErrBlobBlockCorrupt);  // beyond the end
}

TEST_F(BlobFileTest, LoopsAndForeignBlocksInAChainAreErrors) {
    const std::uint32_t a = Store(Pattern(1400, 1), 1);
    Store(Pattern(494 * 8, 2), 2);  // room in the file for the claimed size
    {
        PinnedBlock block(*blob_, blob_->GetBlock(1536));
        block->SetNext(1024);  // loop back
        block->SetUsed(494);
    }
    {
        PinnedBlock block(*blob_, blob_->GetBlock(a));
        block->SetTotalSize(494 * 6);
    }
    EXPECT_EQ(EngineCode([&] { Load(a, 1); }), kErrBlobBlockCorrupt);
    EXPECT_EQ(EngineCode([&] { blob_->FreeChain(nullptr, a, 1); }), kErrBlobBlockCorrupt);
}

TEST_F(BlobFileTest, ReferenceAtTheEndOfTheFileIsAnErrorAndGrowsNothing) {
    const std::uint32_t a = Store(Pattern(600, 1), 1);
    Cycle();
    const std::uint32_t end = blob_->GetNextBlockOffset();
    const auto before = ReadBytes(dir_.File("notes.BLB"));
    // Blob number 0 is what a block appended there would carry.
    for (const std::uint32_t number : {0u, 1u})
        EXPECT_EQ(EngineCode([&] { Load(end, number); }), kErrBlobBlockCorrupt) << number;
    TBlobBuffer rewrite(*blob_);
    rewrite.SetReference(end, 0);
    rewrite.SetSize(10);
    EXPECT_EQ(EngineCode([&] { rewrite.WriteBlob(2); }), kErrBlobBlockCorrupt);
    EXPECT_EQ(blob_->GetNextBlockOffset(), end);
    Cycle();
    EXPECT_EQ(ReadBytes(dir_.File("notes.BLB")), before);
    EXPECT_EQ(Load(a, 1), Pattern(600, 1));
}

TEST_F(BlobFileTest, DamagedFreeChainIsRefusedBeforeABlobIsOverwritten) {
    struct Damage {
        const char* what;
        std::uint32_t next_of_free;
    };
    // The freed block at 2048 links round to itself, or on into a block of a
    // live blob.
    for (const Damage damage :
         {Damage{"loop", 2048}, Damage{"into a", 1024}, Damage{"into c", 2560}}) {
        Make();
        const std::uint32_t a = Store(Pattern(1400, 1), 1);  // 512, 1024, 1536
        const std::uint32_t b = Store(Pattern(100, 2), 2);   // 2048
        const std::uint32_t c = Store(Pattern(100, 3), 3);   // 2560
        blob_->FreeChain(nullptr, b, 2);
        {
            PinnedBlock freed(*blob_, blob_->GetBlock(b));
            freed->SetNext(damage.next_of_free);
        }
        TBlobBuffer buffer(*blob_);
        buffer.SetSize(1200);  // three blocks: the freed one and two more
        std::memcpy(buffer.GetData().data(), Pattern(1200, 4).data(), 1200);
        EXPECT_EQ(EngineCode([&] { buffer.WriteBlob(4); }), kErrBlobBlockCorrupt) << damage.what;
        EXPECT_EQ(Load(a, 1), Pattern(1400, 1)) << damage.what;
        EXPECT_EQ(Load(c, 3), Pattern(100, 3)) << damage.what;
    }
}

TEST_F(BlobFileTest, EncryptedBlocksAreScrambledAndReadBack) {
    Make(1024, true);
    const auto data = Pattern(3000, 9);
    const std::uint32_t first = Store(data, 2);
    Cycle();
    blob_->Close();
    const auto bytes = ReadBytes(dir_.File("notes.BLB"));
    EXPECT_FALSE(std::equal(data.begin(), data.begin() + 100, bytes.begin() + 512 + 18));
    blob_ = std::make_unique<TBlobFile>();
    blob_->SetName(dir_.File("notes.BLB"));
    blob_->SetBlockSize(1024);
    blob_->SetEncrypted(true);
    blob_->Open();
    EXPECT_EQ(Load(first, 2), data);
}

TEST_F(BlobFileTest, TableWithBlobsStoresTheReferenceInTheRecord) {
    std::vector<FieldDescriptor> fields = {MakeFieldDescriptor(1, "Id", 6, 29),
                                           MakeFieldDescriptor(2, "Title", 1, 0, 20),
                                           MakeFieldDescriptor(3, "Notes", 3, 22)};
    testing_support::LayOut(fields);
    TDataFile data;
    data.SetName(dir_.File("notes.DAT"));
    data.CreateDataFile(0, 0, fields, 1024, "", "", false, 0, 0);
    EXPECT_EQ(data.GetRecordSize(), 9u + 22 + 9);
    EXPECT_EQ(data.GetBlobFieldCount(), 1u);
    Make(data.GetBlobBlockSize());
    TRecord* r = data.AllocateRecord();
    r->SetRecordId(data.NextAutoIncrement());
    TBlobBuffer buffer(*blob_);
    buffer.SetSize(1500);
    std::memcpy(buffer.GetData().data(), Pattern(1500, 4).data(), 1500);
    const std::uint32_t number = data.NextBlobNumber();
    const std::uint32_t first = buffer.WriteBlob(number);
    std::span<std::uint8_t> rec = r->Buffer();
    rec[31] = 1;
    PutU32(rec, 32, first);
    PutU32(rec, 36, number);
    data.ReleaseRecord(r);
    // Blob blocks first, then records, then headers.
    blob_->FlushBlocks();
    data.FlushRecords();
    blob_->WriteHeader(false);
    data.WriteHeader(false);
    data.Close();
    blob_->Close();
    const auto dat = ReadBytes(dir_.File("notes.DAT"));
    const auto blb = ReadBytes(dir_.File("notes.BLB"));
    const std::size_t base = 127 + 3 * 768;
    ASSERT_EQ(dat.size(), base + 40);
    const std::vector<std::uint8_t> record = {0, 1, 0, 0, 0, 1, 0, 0, 0,              // header
                                              0, 0, 0, 0, 0, 0, 0, 0, 0,              // Title null
                                              0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // (22 bytes)
                                              1, 0, 2, 0, 0, 1, 0, 0, 0};             // 512, blob 1
    EXPECT_EQ(std::vector<std::uint8_t>(dat.begin() + base, dat.end()), record);
    EXPECT_EQ(GetU32(dat, 4), 1024u);  // blob block size
    EXPECT_EQ(GetU32(dat, 112), 1u);   // last blob number
    EXPECT_EQ(GetU16(dat, 25), 1);     // blob fields
    ASSERT_EQ(blb.size(), 512u + 2 * 1024);
    EXPECT_EQ(GetU32(blb, 512 + 4), 1536u);
    EXPECT_EQ(GetU16(blb, 512 + 8), 1006);
    EXPECT_EQ(GetU32(blb, 512 + 10), 1u);
    EXPECT_EQ(GetU32(blb, 512 + 14), 1500u);
    EXPECT_EQ(GetU16(blb, 1536 + 8), 494);
}

}  // namespace
}  // namespace strata
