#include "engine/core/index_file.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include "engine/core/blob_file.h"
#include "engine/core/data_file.h"
#include "engine/core/index_tree.h"
#include "engine/storage/engine_error.h"
#include "platform/os/clock.h"
#include "platform/os/file.h"
#include "tests/engine/core/table_files_support.h"

namespace strata {
namespace {

using testing_support::ListTableFields;
using testing_support::ReadBytes;
using testing_support::TempDir;

IndexDescriptor Index(std::string_view name, std::uint16_t key_size, bool unique,
                      std::vector<std::uint16_t> fields, std::uint8_t option = 0) {
    IndexDescriptor d{};
    PutShortString(d, ixd::kName, ixd::kNameLength, name);
    PutU16(d, ixd::kKeySize, key_size);
    d[ixd::kCaseInsensitive] = 1;
    d[ixd::kUnique] = unique ? 1 : 0;
    d[ixd::kCompression] = option;
    d[ixd::kFieldCount] = static_cast<std::uint8_t>(fields.size());
    for (std::size_t i = 0; i < fields.size(); ++i)
        PutU16(d, ixd::kFieldNumbers + 2 * i, fields[i]);
    return d;
}

std::uint16_t EngineCode(const std::function<void()>& call) {
    try {
        call();
    } catch (const EStrataEngineError& e) {
        return e.ErrorCode();
    }
    return 0;
}

class IndexFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        data_.SetName(dir_.File("mailist.DAT"));
        data_.CreateDataFile(0, 0, ListTableFields(), 0, "", "", false, 0, 0);
        index_ = std::make_unique<TIndexFile>();
        index_->SetName(dir_.File("mailist.IDX"));
        index_->SetDataFile(&data_);
        index_->CreateFile();
    }
    void AddListIndexes() {
        index_->SetPrimaryIndex(Index("", 87, true, {1, 2}));
        index_->AddIndex(Index("ByCategory", 86, false, {3}, 3));
        index_->AddIndex(Index("ByBounce", 9, false, {4}, 3));
        index_->AddIndex(Index("ByItem", 86, false, {2}, 3));
    }
    std::unique_ptr<TIndexFile> Reopen() {
        auto file = std::make_unique<TIndexFile>();
        file->SetName(dir_.File("mailist.IDX"));
        file->SetDataFile(&data_);
        file->Open();
        return file;
    }

    TempDir dir_;
    TDataFile data_;
    std::unique_ptr<TIndexFile> index_;
};

TEST_F(IndexFileTest, NewListTableIndexFileIsOneHeaderPageWithEveryFieldAtItsOffset) {
    AddListIndexes();
    index_->WriteHeader(false);
    index_->Close();
    const auto bytes = ReadBytes(dir_.File("mailist.IDX"));
    ASSERT_EQ(bytes.size(), 4096u);
    std::vector<std::uint8_t> expected(4096, 0);
    expected[0] = 1;  // one header write
    expected[8] = 4;
    expected[10] = 0x10;  // next page offset 4096
    expected[13] = 3;
    auto slot = [&](int s, std::string_view name, std::uint16_t key, bool unique,
                    std::vector<std::uint16_t> fields, std::uint8_t option) {
        const std::size_t at = 14 + 120 * s;
        expected[at] = static_cast<std::uint8_t>(name.size());
        std::memcpy(&expected[at + 1], name.data(), name.size());
        expected[at + 31] = key & 0xFF;
        expected[at + 32] = key >> 8;
        expected[at + 34] = 1;
        expected[at + 35] = unique ? 1 : 0;
        expected[at + 36] = option;
        expected[at + 37] = static_cast<std::uint8_t>(fields.size());
        for (std::size_t i = 0; i < fields.size(); ++i)
            expected[at + 54 + 2 * i] = fields[i];
    };
    slot(0, "", 87, true, {1, 2}, 0);
    slot(1, "ByCategory", 86, false, {3}, 3);
    slot(2, "ByBounce", 9, false, {4}, 3);
    slot(3, "ByItem", 86, false, {2}, 3);
    const std::size_t hidden = 14 + 120 * 31;
    expected[hidden] = 11;
    std::memcpy(&expected[hidden + 1], "Sys Deleted", 11);
    expected[hidden + 31] = 5;
    expected[3979] = 1;  // written because of a change
    for (std::size_t i = 0; i < 4096; ++i)
        ASSERT_EQ(bytes[i], expected[i]) << "offset " << i;

    auto file = Reopen();
    EXPECT_EQ(file->GetIndexCount(), 3);
    EXPECT_EQ(IndexName(file->GetIndexDescriptor(2)), "ByBounce");
    EXPECT_EQ(file->GetIndexFields(0), (std::vector<std::uint16_t>{1, 2}));
    EXPECT_FALSE(file->GetNoPrimaryIndex());
    EXPECT_NO_THROW(file->VerifyHeader());
}

TEST_F(IndexFileTest, IndexDefinitionsAreCheckedBeforeAnythingChanges) {
    index_->SetPrimaryIndex(Index("", 87, true, {1, 2}));
    struct Case {
        const char* what;
        IndexDescriptor descriptor;
        std::uint16_t code;
    };
    std::vector<FieldDescriptor> with_blob = ListTableFields();
    const Case cases[] = {
        {"second primary", Index("", 5, true, {4}), kErrPrimaryIndexExists},
        {"empty name", Index("", 86, false, {3}), kErrIndexNameMissing},
        {"blank name", Index("   ", 86, false, {3}), kErrIndexNameMissing},
        {"digit first", Index("1st", 86, false, {3}), kErrInvalidIndexName},
        {"seventeen fields", Index("Wide", 86, false, std::vector<std::uint16_t>(17, 3)),
         kErrIndexLimit},
        {"no such field", Index("Ghost", 9, false, {42}), kErrInvalidIndexField},
    };
    for (const Case& c : cases) {
        const IndexHeader before = index_->Header();
        const std::uint16_t code = std::string_view(c.what) == "second primary"
                                       ? EngineCode([&] { index_->SetPrimaryIndex(c.descriptor); })
                                       : EngineCode([&] { index_->AddIndex(c.descriptor); });
        EXPECT_EQ(code, c.code) << c.what;
        EXPECT_EQ(index_->Header(), before) << c.what;
    }
    index_->AddIndex(Index("ByCategory", 86, false, {3}));
    EXPECT_EQ(EngineCode([&] { index_->AddIndex(Index(" bycategory ", 86, false, {3})); }),
              kErrIndexExists);
    for (int i = 2; i <= 30; ++i)
        index_->AddIndex(Index("I" + std::to_string(i), 9, false, {4}));
    EXPECT_EQ(index_->GetIndexCount(), 30);
    EXPECT_EQ(EngineCode([&] { index_->AddIndex(Index("I31", 9, false, {4})); }), kErrIndexLimit);
    EXPECT_EQ(IndexName(index_->GetIndexDescriptor(31)), "Sys Deleted");
}

TEST_F(IndexFileTest, BlobFieldsCannotBeIndexed) {
    TDataFile data;
    std::vector<FieldDescriptor> fields = {MakeFieldDescriptor(1, "Memo", 3, 22)};
    testing_support::LayOut(fields);
    data.SetName(dir_.File("b.DAT"));
    data.CreateDataFile(0, 0, fields, 0, "", "", false, 0, 0);
    index_->SetDataFile(&data);
    EXPECT_EQ(EngineCode([&] { index_->AddIndex(Index("ByMemo", 13, false, {1})); }),
              kErrInvalidIndexFieldType);
    index_->SetDataFile(&data_);
}

TEST_F(IndexFileTest, OpeningAHeaderWithMoreThanThirtySecondaryIndexesFails) {
    index_->WriteHeader(true);
    index_->Close();
    for (std::uint8_t count : {31, 32}) {
        auto bytes = ReadBytes(dir_.File("mailist.IDX"));
        bytes[13] = count;
        testing_support::WriteBytes(dir_.File("mailist.IDX"), bytes);
        TIndexFile file;
        file.SetName(dir_.File("mailist.IDX"));
        EXPECT_EQ(EngineCode([&] { file.Open(); }), kErrHeaderCorrupt) << int(count);
        EXPECT_FALSE(file.IsOpen());
    }
}

TEST_F(IndexFileTest, FreedPagesAreReusedOnlyByTheirOwnIndex) {
    AddListIndexes();
    TPage* a = index_->NewPage(nullptr, 2);
    const std::uint32_t freed = a->Offset();
    index_->FreePage(*a);
    index_->ReleasePage(a);
    TPage* b = index_->NewPage(nullptr, 3);
    EXPECT_NE(b->Offset(), freed);
    EXPECT_EQ(b->Offset(), 8192u);
    index_->ReleasePage(b);
    TPage* c = index_->NewPage(nullptr, 2);
    EXPECT_EQ(c->Offset(), freed);
    EXPECT_EQ(index_->GetFreePage(2), 0u);
    index_->ReleasePage(c);
}

TEST_F(IndexFileTest, EmptyIndexFileCutsThePagesAndKeepsTheDefinitions) {
    AddListIndexes();
    TIndexTree tree(*index_, 3, [](const std::uint8_t* a, const std::uint8_t* b) {
        return std::memcmp(a, b, 86) < 0 ? -1 : (std::memcmp(a, b, 86) > 0 ? 1 : 0);
    });
    for (std::uint32_t i = 1; i <= 300; ++i) {
        std::vector<std::uint8_t> key(86, 0);
        key[1] = static_cast<std::uint8_t>(i);
        key[85] = static_cast<std::uint8_t>(i >> 8);
        tree.Insert(key.data(), i);
    }
    index_->SetRecordCount(300);
    index_->FlushPages();
    index_->WriteHeader(false);
    EXPECT_GT(index_->GetFileSize(), 4096);
    index_->EmptyIndexFile();
    index_->WriteHeader(false);
    EXPECT_EQ(index_->GetFileSize(), 4096);
    EXPECT_EQ(index_->GetRoot(3), 0u);
    EXPECT_EQ(index_->GetRecordCount(), 0u);
    EXPECT_EQ(index_->GetNextPageOffset(), 4096u);
    EXPECT_EQ(index_->GetIndexCount(), 3);
}

TEST_F(IndexFileTest, ReadLocksShareAndWriteLockExcludes) {
    index_->WriteHeader(true);
    index_->Close();
    auto a = Reopen();
    auto b = Reopen();
    std::uint32_t ra = 0;
    std::uint32_t rb = 0;
    ASSERT_TRUE(a->ReadLock(ra));
    ASSERT_TRUE(b->ReadLock(rb));
    EXPECT_GE(ra, 1u);
    EXPECT_LE(ra, 65534u);
    EXPECT_NE(ra, rb);
    platform::os::FakeClock clock;
    {
        platform::os::ScopedClockHooks hooks(clock.Hooks());
        EXPECT_FALSE(a->WriteLock());
        EXPECT_EQ(clock.SleptMilliseconds(), 3u * (kLockTries - 1));
    }
    EXPECT_TRUE(a->ReadUnlock(ra));
    EXPECT_TRUE(b->ReadUnlock(rb));
    ASSERT_TRUE(a->WriteLock());
    {
        platform::os::ScopedClockHooks hooks(clock.Hooks());
        EXPECT_FALSE(b->ReadLock(rb));
    }
    EXPECT_TRUE(a->WriteUnlock());
    EXPECT_TRUE(b->ReadLock(rb));
    EXPECT_TRUE(b->ReadUnlock(rb));
}

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

TEST_F(IndexFileTest, ReadAndWriteLockBytesAreSeenByAnotherProgram) {
    index_->WriteHeader(true);
    index_->Close();
    TBlobFile blob;
    blob.SetName(dir_.File("mailist.BLB"));
    blob.CreateFile();
    blob.WriteHeader(true);
    blob.Close();
    blob.Open();
    auto index = Reopen();
    for (TFileHandler* file :
         {static_cast<TFileHandler*>(index.get()), static_cast<TFileHandler*>(&blob)}) {
        SCOPED_TRACE(file->Name());
        std::uint32_t r = 0;
        ASSERT_TRUE(file == index.get() ? index->ReadLock(r) : blob.ReadLock(r));
        EXPECT_FALSE(ChildCanLock(file->Name(), 2147418112, 65535));
        EXPECT_FALSE(ChildCanLock(file->Name(), 2147483647 - r, 1));
        EXPECT_TRUE(ChildCanLock(file->Name(), 2147483647 - (r == 1 ? 2 : r - 1), 1));
        EXPECT_TRUE(file == index.get() ? index->ReadUnlock(r) : blob.ReadUnlock(r));
        ASSERT_TRUE(file == index.get() ? index->WriteLock() : blob.WriteLock());
        EXPECT_FALSE(ChildCanLock(file->Name(), 2147483647 - 1, 1));
        EXPECT_FALSE(ChildCanLock(file->Name(), 2147483647 - 65534, 1));
        EXPECT_TRUE(ChildCanLock(file->Name(), 2147483647, 1));
        EXPECT_TRUE(file == index.get() ? index->WriteUnlock() : blob.WriteUnlock());
        EXPECT_TRUE(ChildCanLock(file->Name(), 2147418112, 65535));
    }
}

TEST_F(IndexFileTest, PageOffsetsOutsideTheFileAreRefused) {
    AddListIndexes();
    for (std::uint32_t offset : {0u, 100u, 4096u * 5}) {
        EXPECT_EQ(EngineCode([&] { index_->GetPage(1, offset); }), kErrIndexPageCorrupt) << offset;
    }
    index_->SetFreePage(1, 4096 * 7);
    EXPECT_EQ(EngineCode([&] { index_->NewPage(nullptr, 1); }), kErrIndexPageCorrupt);
}

}  // namespace
}  // namespace strata
