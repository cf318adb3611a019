#include "engine/storage/file_registry.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "engine/storage/engine_error.h"
#include "engine/storage/file_handler.h"
#include "engine/storage/file_objects.h"
#include "engine/storage/storage_library.h"

namespace strata {
namespace {

namespace fs = std::filesystem;

std::vector<std::byte> Bytes(std::string_view text) {
    std::vector<std::byte> bytes(text.size());
    std::transform(text.begin(), text.end(), bytes.begin(),
                   [](char c) { return static_cast<std::byte>(c); });
    return bytes;
}

std::string Text(std::span<const std::byte> bytes) {
    return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

std::vector<std::byte> Pattern(std::size_t n) {
    std::vector<std::byte> bytes(n);
    for (std::size_t i = 0; i < n; ++i) {
        bytes[i] = static_cast<std::byte>((i * 7 + i / 251) & 0xFF);
    }
    return bytes;
}

EngineErrorCode CodeOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const EStrataEngineError& e) {
        return e.ErrorCode();
    }
    return 0;
}

class FileLayer : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "strata-files-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }
    std::string PathOf(std::string_view name) const { return (dir_ / name).string(); }
    // Memory file names are process-wide; the test name keeps them apart.
    static std::string MemoryName(std::string_view name) {
        return std::string("MEMORY\\") +
               ::testing::UnitTest::GetInstance()->current_test_info()->name() + "\\" +
               std::string(name);
    }
    void WriteDisk(std::string_view name, const std::vector<std::byte>& bytes) const {
        std::ofstream out(PathOf(name), std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
    }
    std::vector<std::byte> ReadDisk(std::string_view name) const {
        std::ifstream in(PathOf(name), std::ios::binary);
        std::vector<char> chars((std::istreambuf_iterator<char>(in)), {});
        std::vector<std::byte> bytes(chars.size());
        std::transform(chars.begin(), chars.end(), bytes.begin(),
                       [](char c) { return static_cast<std::byte>(c); });
        return bytes;
    }

    fs::path dir_;
};

TEST_F(FileLayer, MemoryFileTruncatesAndReadsTheRest) {
    TFileHandler file;
    file.SetName(MemoryName("a.dat"));
    file.SetInMemory(true);
    file.CreateFile();
    file.Write(Bytes("0123456789"));
    const auto* memory = dynamic_cast<const TMemoryFile*>(file.FileObject());
    ASSERT_NE(memory, nullptr);
    EXPECT_EQ(memory->BufferCapacity(), 65535u);
    EXPECT_EQ(file.SeekFile(4, SeekOrigin::kBegin), 4);
    file.Write(std::span<const std::byte>());
    EXPECT_EQ(file.GetFileSize(), 4);
    file.SeekFile(0, SeekOrigin::kBegin);
    std::vector<std::byte> buffer(10);
    EXPECT_EQ(file.Read(buffer, true), 4);
    EXPECT_EQ(Text(std::span(buffer).first(4)), "0123");
    EXPECT_EQ(CodeOf([&] {
                  file.SeekFile(0, SeekOrigin::kBegin);
                  file.Read(buffer);
              }),
              kErrRead);
}

TEST_F(FileLayer, WritePastTheEndZeroFillsTheGap) {
    for (bool in_memory : {true, false}) {
        SCOPED_TRACE(in_memory);
        TFileHandler file;
        file.SetName(in_memory ? MemoryName("gap.dat") : PathOf("gap.dat"));
        file.SetInMemory(in_memory);
        file.CreateFile();
        file.Write(Bytes("ABCDEFGHIJ"));
        file.SeekFile(2, SeekOrigin::kBegin);
        file.Write(std::span<const std::byte>());  // cut to 2
        file.SeekFile(6, SeekOrigin::kBegin);
        file.Write(Bytes("xy"));
        EXPECT_EQ(file.GetFileSize(), 8);
        file.SeekFile(0, SeekOrigin::kBegin);
        std::vector<std::byte> buffer(8);
        file.Read(buffer);
        EXPECT_EQ(Text(buffer), std::string("AB\0\0\0\0xy", 8));
        // Far past what the file holds: its buffer grows uncleared, the gap still reads zero.
        file.SeekFile(200000, SeekOrigin::kBegin);
        file.Write(Bytes("z"));
        file.SeekFile(8, SeekOrigin::kBegin);
        std::vector<std::byte> gap(200000 - 8 + 1, std::byte{1});
        file.Read(gap);
        EXPECT_EQ(std::count(gap.begin(), gap.end() - 1, std::byte{0}), 200000 - 8);
        EXPECT_EQ(gap.back(), std::byte{'z'});
    }
}

// Writes, cuts and syncs go on while the device takes earlier writes on a helper thread, and a
// close or a sync comes after it: every byte written stands, in whatever order they came. Memory
// files have nothing to hand over.
TEST_F(FileLayer, WritesGoOnWhileEarlierOnesGoToTheDevice) {
    const std::vector<std::byte> pattern = Pattern(1 << 20);
    for (const bool in_memory : {false, true}) {
        SCOPED_TRACE(in_memory);
        const std::string name = in_memory ? MemoryName("behind.dat") : PathOf("behind.dat");
        std::vector<std::byte> expected;
        {
            TFileHandler file;
            file.SetName(name);
            file.SetInMemory(in_memory);
            file.CreateFile();
            for (std::size_t round = 0; round < 24; ++round) {
                const std::size_t at = round * 40000 % 900000;
                const auto part = std::span(pattern).subspan(round * 1000, 70000);
                file.SeekFile(static_cast<std::int64_t>(at), SeekOrigin::kBegin);
                file.Write(part);
                expected.resize(std::max(expected.size(), at + part.size()));
                std::copy(part.begin(), part.end(),
                          expected.begin() + static_cast<std::ptrdiff_t>(at));
                file.StartWriteBehind();
                if (round == 9) {
                    file.SeekFile(500000, SeekOrigin::kBegin);
                    file.Write(std::span<const std::byte>());
                    expected.resize(500000);
                }
                if (round % 7 == 3)
                    file.SyncWritten();
            }
            file.StartWriteBehind();
            if (in_memory) {
                file.SeekFile(0, SeekOrigin::kBegin);
                std::vector<std::byte> back(expected.size());
                file.Read(back);
                EXPECT_TRUE(back == expected);
                continue;
            }
        }
        EXPECT_TRUE(ReadDisk("behind.dat") == expected);
    }
}

// Threads of this process.
std::size_t ThreadCount() {
    const fs::directory_iterator tasks("/proc/self/task");
    return static_cast<std::size_t>(std::distance(begin(tasks), end(tasks)));
}

// One thread takes a file's write-backs flush after flush, whether a sync waits for each or the
// next flush finds it done, and ends with the file's close, its last handle's or the object's
// own end; a reopened file starts another. Every byte written stands on disk.
TEST_F(FileLayer, OneThreadTakesEveryWriteBackAndEndsWithTheFile) {
    const std::vector<std::byte> pattern = Pattern(300000);
    const std::size_t before = ThreadCount();
    std::vector<std::byte> expected;
    for (const bool reopened : {false, true}) {
        SCOPED_TRACE(reopened);
        TFileHandler file;
        file.SetName(PathOf("thread.dat"));
        if (reopened)
            file.Open();
        else
            file.CreateFile();
        for (std::size_t round = 0; round < 12; ++round) {
            const std::size_t at = round * 23000 % 250000;
            const auto part =
                std::span(pattern).subspan((round * 7919 + (reopened ? 11 : 0)) % 200000, 50000);
            file.SeekFile(static_cast<std::int64_t>(at), SeekOrigin::kBegin);
            file.Write(part);
            expected.resize(std::max(expected.size(), at + part.size()));
            std::copy(part.begin(), part.end(), expected.begin() + static_cast<std::ptrdiff_t>(at));
            file.StartWriteBehind();
            EXPECT_EQ(ThreadCount(), before + 1) << round;
            if (round % 3 == 1)
                file.SyncWritten();
        }
        file.Close();
        EXPECT_EQ(ThreadCount(), before);
        EXPECT_TRUE(ReadDisk("thread.dat") == expected);
    }
}

// A process forked while a file's write-back thread waits has none: its own write-backs and
// syncs start one and finish (a wait on the parent's thread would never end), and what it
// wrote stands on disk.
TEST_F(FileLayer, AForkedProcessWritesBackWithoutTheParentsThread) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "ThreadSanitizer starts no thread in a process forked with threads";
#endif
    const std::vector<std::byte> pattern = Pattern(100000);
    TFileHandler file;
    file.SetName(PathOf("forked.dat"));
    file.CreateFile();
    file.Write(std::span(pattern).first(50000));
    file.StartWriteBehind();
    file.SyncWritten();
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        alarm(60);
        int code = 0;
        try {
            for (int round = 0; round < 3; ++round) {
                file.Write(std::span(pattern).subspan(
                    50000 + static_cast<std::size_t>(round) * 10000, 10000));
                file.StartWriteBehind();
                file.SyncWritten();
            }
        } catch (...) {
            code = 1;
        }
        _exit(code);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
    file.Close();
    EXPECT_TRUE(ReadDisk("forked.dat") ==
                std::vector<std::byte>(pattern.begin(), pattern.begin() + 80000));
}

// What a sync has to wait for: every byte written since the last sync, by a handle or beside
// it, and a cut (the new size); a sync with nothing written costs nothing. Memory files have
// nothing to wait for.
TEST_F(FileLayer, SyncsWaitForWhatWasWrittenSinceTheLastOne) {
    TFileHandler file;
    file.SetName(PathOf("unsynced.dat"));
    file.CreateFile();
    EXPECT_EQ(file.UnsyncedBytes(), 0);
    std::uint64_t syncs = TPhysicalFile::SyncCount();
    file.SyncWritten();
    EXPECT_EQ(TPhysicalFile::SyncCount(), syncs);
    const std::vector<std::byte> block = Pattern(5000);
    struct Step {
        std::function<void()> change;
        std::int64_t unsynced;
    };
    const std::vector<Step> steps = {
        {[&] { file.Write(block); }, 5000},
        {[&] { EXPECT_TRUE(file.WriteAt(9000, std::span(block).first(100))); }, 5100},
        {[&] {
             file.SeekFile(3000, SeekOrigin::kBegin);
             file.Write(std::span<const std::byte>());
         },
         5101},
    };
    for (std::size_t i = 0; i < steps.size(); ++i) {
        steps[i].change();
        EXPECT_EQ(file.UnsyncedBytes(), steps[i].unsynced) << i;
    }
    syncs = TPhysicalFile::SyncCount();
    file.SyncWritten();
    EXPECT_EQ(TPhysicalFile::SyncCount(), syncs + 1);
    EXPECT_EQ(file.UnsyncedBytes(), 0);
    // A lone cut still has its size synced.
    file.SeekFile(10, SeekOrigin::kBegin);
    file.Write(std::span<const std::byte>());
    EXPECT_EQ(file.UnsyncedBytes(), 1);
    file.SyncWritten();
    EXPECT_EQ(TPhysicalFile::SyncCount(), syncs + 2);
    EXPECT_EQ(file.GetFileSize(), 10);

    TFileHandler memory;
    memory.SetName(MemoryName("unsynced.dat"));
    memory.SetInMemory(true);
    memory.CreateFile();
    memory.Write(block);
    EXPECT_EQ(memory.UnsyncedBytes(), 0);
}

// A memory file that grows takes over the buffer a file before it gave up; none of that
// file's bytes show, in a gap or past the end.
TEST_F(FileLayer, MemoryFilesGrowingIntoAGivenUpBufferShowNoneOfItsBytes) {
    {
        TFileHandler before;
        before.SetName(MemoryName("before.dat"));
        before.SetInMemory(true);
        before.CreateFile();
        before.Write(std::vector<std::byte>(300000, std::byte{0x5A}));
    }
    TFileHandler file;
    file.SetName(MemoryName("after.dat"));
    file.SetInMemory(true);
    file.CreateFile();
    file.Write(Bytes("head"));
    file.SeekFile(150000, SeekOrigin::kBegin);
    file.Write(Bytes("tail"));
    EXPECT_EQ(file.GetFileSize(), 150004);
    std::vector<std::byte> bytes(150004);
    file.SeekFile(0, SeekOrigin::kBegin);
    file.Read(bytes);
    EXPECT_EQ(Text(std::span(bytes).first(4)), "head");
    EXPECT_EQ(std::count(bytes.begin() + 4, bytes.end() - 4, std::byte{0}), 150000 - 4);
    EXPECT_EQ(Text(std::span(bytes).last(4)), "tail");
    std::vector<std::byte> past(10);
    EXPECT_EQ(file.Read(past, true), 0);
}

// A memory file of several megabytes holds its bytes in pieces: writes and reads that cross
// from one piece to the next, a cut back into an earlier piece and a gap reaching over pieces
// give what a file on disk gives.
TEST_F(FileLayer, LargeMemoryFilesReadAsFilesOnDiskAcrossTheirPieces) {
    constexpr std::size_t kLarge = 5'000'000;
    const std::vector<std::byte> pattern = Pattern(kLarge);
    std::vector<std::vector<std::byte>> contents;
    for (bool in_memory : {true, false}) {
        SCOPED_TRACE(in_memory);
        TFileHandler file;
        file.SetName(in_memory ? MemoryName("large.dat") : PathOf("large.dat"));
        file.SetInMemory(in_memory);
        file.CreateFile();
        // Uneven writes, so that many of them straddle a piece's end.
        for (std::size_t at = 0; at < kLarge;) {
            const std::size_t n = std::min<std::size_t>(kLarge - at, 70001 + at % 3);
            file.Write(std::span(pattern).subspan(at, n));
            at += n;
        }
        // Rewrites straddling the ends of the first and of a later piece.
        for (const std::int64_t at : {1048500, 3 * 1048560 - 10}) {
            file.SeekFile(at, SeekOrigin::kBegin);
            file.Write(Bytes("straddling both pieces"));
        }
        // Cut back into the second piece, then a gap over the pieces after it.
        file.SeekFile(1500000, SeekOrigin::kBegin);
        file.Write(std::span<const std::byte>());
        file.SeekFile(4200000, SeekOrigin::kBegin);
        file.Write(Bytes("end"));
        EXPECT_EQ(file.GetFileSize(), 4200003);
        std::vector<std::byte> bytes(4200003);
        file.SeekFile(0, SeekOrigin::kBegin);
        file.Read(bytes);
        contents.push_back(std::move(bytes));
    }
    ASSERT_EQ(contents.size(), 2u);
    EXPECT_TRUE(contents[0] == contents[1]);
    EXPECT_EQ(Text(std::span(contents[0]).subspan(1048500, 22)), "straddling both pieces");
    EXPECT_EQ(std::count(contents[0].begin() + 1500000, contents[0].end() - 3, std::byte{0}),
              4200000 - 1500000);
}

TEST_F(FileLayer, SeekFromTheEndIsSizePlusOffsetForBothKinds) {
    for (bool in_memory : {true, false}) {
        SCOPED_TRACE(in_memory);
        TFileHandler file;
        file.SetName(in_memory ? MemoryName("seek.dat") : PathOf("seek.dat"));
        file.SetInMemory(in_memory);
        file.CreateFile();
        file.Write(Bytes("0123456789"));
        EXPECT_EQ(file.SeekFile(0, SeekOrigin::kEnd), 10);
        EXPECT_EQ(file.SeekFile(-3, SeekOrigin::kEnd), 7);
        EXPECT_EQ(file.SeekFile(2, SeekOrigin::kCurrent), 9);
        std::vector<std::byte> one(1);
        file.Read(one);
        EXPECT_EQ(Text(one), "9");
    }
}

TEST_F(FileLayer, PositionsBeyondThe32BitRangeAreRefused) {
    for (bool in_memory : {true, false}) {
        SCOPED_TRACE(in_memory);
        TFileHandler file;
        file.SetName(in_memory ? MemoryName("far.dat") : PathOf("far.dat"));
        file.SetInMemory(in_memory);
        file.CreateFile();
        file.SeekFile(kMaxFilePosition, SeekOrigin::kBegin);
        EXPECT_EQ(CodeOf([&] { file.Write(Bytes("x")); }), kErrWrite);
        file.SeekFile(kMaxFilePosition + 10, SeekOrigin::kBegin);
        std::vector<std::byte> buffer(4);
        EXPECT_EQ(CodeOf([&] { file.Read(buffer); }), kErrRead);
        EXPECT_EQ(file.GetFileSize(), 0);
    }
}

TEST_F(FileLayer, SharedOpensShareOneObjectWithTheirOwnIds) {
    for (bool in_memory : {true, false}) {
        SCOPED_TRACE(in_memory);
        const std::string name = in_memory ? MemoryName("shared.dat") : PathOf("shared.dat");
        {
            TFileHandler creator;
            creator.SetName(name);
            creator.SetInMemory(in_memory);
            creator.CreateFile();
            creator.Write(Bytes("shared data"));
            creator.Close();
        }
        TFileHandler a;
        TFileHandler b;
        for (TFileHandler* h : {&a, &b}) {
            h->SetName(name);
            h->SetInMemory(in_memory);
            h->Open();
        }
        EXPECT_EQ(a.HandleId(), 1);
        EXPECT_EQ(b.HandleId(), 2);
        ASSERT_EQ(a.FileObject(), b.FileObject());
        EXPECT_EQ(a.FileObject()->OpenCount(), 2);
        auto* physical = dynamic_cast<TPhysicalFile*>(a.FileObject());
        EXPECT_EQ(physical != nullptr, !in_memory);
        // Each handle keeps its own position.
        a.SeekFile(7, SeekOrigin::kBegin);
        std::vector<std::byte> four(4);
        b.Read(four);
        EXPECT_EQ(Text(four), "shar");
        a.Read(four);
        EXPECT_EQ(Text(four), "data");
        a.Close();
        EXPECT_EQ(b.FileObject()->OpenCount(), 1);
        if (physical != nullptr) {
            EXPECT_TRUE(physical->HasOsHandle());
        }
        b.Close();
        if (physical != nullptr) {
            EXPECT_FALSE(physical->HasOsHandle());
        }
        // The object stays registered without handles; a new first handle is 1 again.
        a.Open();
        EXPECT_EQ(a.HandleId(), 1);
    }
}

TEST_F(FileLayer, ExclusiveOpensConflictWith11013) {
    for (bool in_memory : {true, false}) {
        SCOPED_TRACE(in_memory);
        const std::string name = in_memory ? MemoryName("excl.dat") : PathOf("excl.dat");
        TFileHandler holder;
        holder.SetName(name);
        holder.SetInMemory(in_memory);
        holder.CreateFile();
        holder.Close();

        struct Case {
            bool holder_exclusive;
            bool second_exclusive;
            EngineErrorCode expected;
        };
        for (const Case& c :
             {Case{false, true, kErrAccessDenied}, Case{true, false, kErrAccessDenied},
              Case{true, true, kErrAccessDenied}, Case{false, false, 0}}) {
            holder.SetExclusive(c.holder_exclusive);
            holder.Open();
            TFileHandler second;
            second.SetName(name);
            second.SetInMemory(in_memory);
            second.SetExclusive(c.second_exclusive);
            EXPECT_EQ(CodeOf([&] { second.Open(); }), c.expected);
            EXPECT_EQ(second.IsOpen(), c.expected == 0);
            if (c.expected != 0) {
                EXPECT_EQ(second.HandleId(), 0);
                second.Close();  // only clears
            }
            EXPECT_TRUE(holder.IsOpen());
            holder.Write(Bytes("still mine"));
            second.Close();
            holder.Close();
        }
    }
}

TEST_F(FileLayer, NamesMatchTrimmedAndWithoutRegardToCaseOrSeparator) {
    const std::string name = PathOf("Case.DAT");
    TFileHandler a;
    a.SetName("  " + name + " ");
    a.CreateFile();
    TFileHandler b;
    // Only the file part may differ in case on Linux; the folder must stay as it is.
    b.SetName(PathOf("case.dat"));
    EXPECT_EQ(CodeOf([&] { b.Open(); }), kErrAccessDenied);  // created exclusively
    EXPECT_TRUE(GlobalFileList().FileExists(PathOf("CASE.dat"), false));
    EXPECT_EQ(TFileList::MatchKey(" C:\\Data\\X.Dat "), "c:/data/x.dat");
}

TEST_F(FileLayer, CreatingANameWithoutAFilePartFails) {
    for (const std::string& name :
         {PathOf(".DAT"), PathOf("   .DAT"), std::string("   "), std::string(""), PathOf("")}) {
        for (bool in_memory : {true, false}) {
            TFileHandler file;
            file.SetName(name);
            file.SetInMemory(in_memory);
            EXPECT_EQ(CodeOf([&] { file.CreateFile(); }), kErrInvalidPath) << name;
            EXPECT_FALSE(file.IsOpen());
        }
    }
}

TEST_F(FileLayer, ClosedHandlersRefuseReadsAndWrites) {
    TFileHandler file;
    file.SetName(PathOf("never.dat"));
    std::vector<std::byte> buffer(4);
    EXPECT_EQ(CodeOf([&] { file.Read(buffer, true); }), kErrRead);
    EXPECT_EQ(CodeOf([&] { file.Write(Bytes("x")); }), kErrWrite);
    EXPECT_EQ(file.SeekFile(10, SeekOrigin::kBegin), 0);
    EXPECT_EQ(file.GetFileSize(), 0);
    EXPECT_NO_THROW(file.Flush());
    EXPECT_NO_THROW(file.Close());
}

TEST_F(FileLayer, MissingFilesAreInvalidPaths) {
    TFileHandler file;
    file.SetName(PathOf("missing.dat"));
    try {
        file.Open();
        FAIL();
    } catch (const EStrataEngineError& e) {
        EXPECT_EQ(e.ErrorCode(), kErrInvalidPath);
        EXPECT_EQ(e.GetError(0).Message(),
                  "Invalid path or file name for table '" + PathOf("missing.dat") + "'");
    }
    EXPECT_FALSE(file.IsOpen());
    file.SetInMemory(true);
    file.SetName(MemoryName("missing.dat"));
    EXPECT_EQ(CodeOf([&] { file.Open(); }), kErrInvalidPath);
}

TEST_F(FileLayer, MemoryFilesExistOnlyInTheRegistry) {
    WriteDisk("disk.dat", Bytes("x"));
    TFileList& files = GlobalFileList();
    EXPECT_FALSE(files.FileExists(PathOf("disk.dat"), true));
    EXPECT_TRUE(files.FileExists(PathOf("disk.dat"), false));
    TFileHandler memory;
    memory.SetInMemory(true);
    memory.SetName(PathOf("disk.dat"));
    memory.CreateFile();
    memory.Write(Bytes("in memory"));
    memory.Close();
    EXPECT_TRUE(files.FileExists(PathOf("disk.dat"), true));
    // Closing the last handle keeps an in-memory table's data.
    memory.Open();
    std::vector<std::byte> buffer(9);
    memory.Read(buffer);
    EXPECT_EQ(Text(buffer), "in memory");
    memory.Close();
    memory.DeleteFile();
    EXPECT_FALSE(files.FileExists(PathOf("disk.dat"), true));
    EXPECT_EQ(ReadDisk("disk.dat"), Bytes("x"));
}

// Another program may move or delete a table file this one closed: the
// registry's answer follows the disk, and a file held open counts as there.
TEST_F(FileLayer, FilesMovedOrDeletedByAnotherProgramAreSeenGone) {
    TFileList& files = GlobalFileList();
    TFileHandler file;
    file.SetName(PathOf("shared.dat"));
    file.CreateFile();
    file.Write(Bytes("data"));
    file.Close();
    ASSERT_TRUE(files.FileExists(PathOf("shared.dat"), false));

    fs::rename(PathOf("shared.dat"), PathOf("elsewhere.dat"));
    EXPECT_FALSE(files.FileExists(PathOf("shared.dat"), false));
    EXPECT_FALSE(EngineFileExists(PathOf("shared.dat"), false));
    EXPECT_FALSE(file.FileExists());
    EXPECT_EQ(CodeOf([&] { file.Open(); }), kErrInvalidPath);

    fs::rename(PathOf("elsewhere.dat"), PathOf("shared.dat"));
    EXPECT_TRUE(file.FileExists());
    file.Open();
    std::vector<std::byte> buffer(4);
    file.Read(buffer);
    EXPECT_EQ(Text(buffer), "data");
    // Open here, the file is this program's whatever happens to its name.
    fs::remove(PathOf("shared.dat"));
    EXPECT_TRUE(files.FileExists(PathOf("shared.dat"), false));
    file.Close();
    EXPECT_FALSE(files.FileExists(PathOf("shared.dat"), false));
}

TEST_F(FileLayer, TemporaryFilesVanishAtTheirLastCloseHoweverMade) {
    TFileList& files = GlobalFileList();
    // Created as temporary.
    TFileHandler created;
    created.SetName(PathOf("run1.tmp"));
    created.SetTemporary(true);
    created.CreateFile();
    created.Write(Bytes("run"));
    EXPECT_TRUE(fs::exists(PathOf("run1.tmp")));
    created.Close();
    EXPECT_FALSE(fs::exists(PathOf("run1.tmp")));
    EXPECT_FALSE(files.FileExists(PathOf("run1.tmp"), false));
    // A later explicit delete of the vanished file succeeds (once).
    EXPECT_NO_THROW(created.DeleteFile());
    EXPECT_EQ(CodeOf([&] { created.DeleteFile(); }), kErrInvalidPath);

    // Opened as temporary, with a second handle: gone only after both close.
    WriteDisk("run2.tmp", Bytes("abc"));
    TFileHandler a;
    TFileHandler b;
    for (TFileHandler* h : {&a, &b}) {
        h->SetName(PathOf("run2.tmp"));
        h->SetTemporary(true);
        h->Open();
    }
    a.Close();
    EXPECT_TRUE(fs::exists(PathOf("run2.tmp")));
    b.Close();
    EXPECT_FALSE(fs::exists(PathOf("run2.tmp")));

    // In memory.
    TFileHandler memory;
    memory.SetName(MemoryName("run3.tmp"));
    memory.SetInMemory(true);
    memory.SetTemporary(true);
    memory.CreateFile();
    memory.Close();
    EXPECT_FALSE(files.FileExists(MemoryName("run3.tmp"), true));
    EXPECT_NO_THROW(memory.DeleteFile());
}

TEST_F(FileLayer, DeleteAndRenameRefuseFilesInUse) {
    for (bool in_memory : {true, false}) {
        SCOPED_TRACE(in_memory);
        const std::string name = in_memory ? MemoryName("busy.dat") : PathOf("busy.dat");
        const std::string renamed = in_memory ? MemoryName("moved.dat") : PathOf("moved.dat");
        TFileHandler holder;
        holder.SetName(name);
        holder.SetInMemory(in_memory);
        holder.CreateFile();
        holder.Write(Bytes("keep"));
        TFileHandler other;
        other.SetName(name);
        other.SetInMemory(in_memory);
        EXPECT_EQ(CodeOf([&] { other.DeleteFile(); }), kErrAccessDenied);
        EXPECT_EQ(CodeOf([&] { other.RenameFile(renamed); }), kErrAccessDenied);
        EXPECT_EQ(other.Name(), name);  // a failed rename leaves the handler as it was
        holder.Close();
        holder.RenameFile(renamed);
        EXPECT_EQ(holder.Name(), renamed);
        EXPECT_FALSE(GlobalFileList().FileExists(name, in_memory));
        holder.Open();
        std::vector<std::byte> buffer(4);
        holder.Read(buffer);
        EXPECT_EQ(Text(buffer), "keep");
        holder.Close();
        holder.DeleteFile();
        EXPECT_FALSE(GlobalFileList().FileExists(renamed, in_memory));
    }
    // Unregistered files on disk are renamed and deleted directly.
    WriteDisk("plain.dat", Bytes("p"));
    EXPECT_EQ(GlobalFileList().RenameFile(PathOf("plain.dat"), false, PathOf("plain2.dat")), 0);
    EXPECT_TRUE(fs::exists(PathOf("plain2.dat")));
    EXPECT_EQ(GlobalFileList().DeleteFile(PathOf("plain2.dat"), false), 0);
    EXPECT_FALSE(fs::exists(PathOf("plain2.dat")));
    EXPECT_EQ(GlobalFileList().DeleteFile(PathOf("plain2.dat"), false), -kErrInvalidPath);
    EXPECT_EQ(GlobalFileList().DeleteFile(MemoryName("none"), true), -kErrInvalidPath);
}

TEST_F(FileLayer, MemoryRegionLocksRefuseOverlaps) {
    TFileHandler file;
    file.SetName(MemoryName("locks.dat"));
    file.SetInMemory(true);
    file.CreateFile();
    EXPECT_TRUE(file.LockRegion(100, 10, true));
    EXPECT_FALSE(file.LockRegion(105, 10, true));
    EXPECT_FALSE(file.LockRegion(95, 10, true));   // its end reaches into [100, 109]
    EXPECT_FALSE(file.LockRegion(100, 10, true));  // even the same range again
    EXPECT_TRUE(file.LockRegion(110, 10, true));
    EXPECT_TRUE(file.LockRegion(90, 10, true));
    EXPECT_FALSE(file.LockRegion(200, 0, true));
    EXPECT_TRUE(file.LockRegion(100, 10, false));
    EXPECT_FALSE(file.LockRegion(100, 10, false));
    EXPECT_FALSE(file.LockRegion(110, 5, false));  // only exact ranges unlock
    TFileHandler closed;
    EXPECT_FALSE(closed.LockRegion(0, 1, true));
}

TEST_F(FileLayer, PhysicalRegionLocksFollowTheSameRuleAcrossHandles) {
    WriteDisk("locks.dat", Pattern(1000));
    TFileHandler a;
    TFileHandler b;
    for (TFileHandler* h : {&a, &b}) {
        h->SetName(PathOf("locks.dat"));
        h->Open();
    }
    EXPECT_TRUE(a.LockRegion(100, 10, true));
    EXPECT_FALSE(b.LockRegion(105, 10, true));
    EXPECT_TRUE(b.LockRegion(110, 10, true));
    EXPECT_TRUE(a.LockRegion(110, 10, false));
    EXPECT_TRUE(a.LockRegion(100, 10, false));
    EXPECT_TRUE(b.LockRegion(100, 10, true));
    a.Close();
    b.Close();
    // Locks go with the last handle.
    a.Open();
    EXPECT_TRUE(a.LockRegion(100, 10, true));
}

TEST_F(FileLayer, ReadOnlyFilesOpenForReadingAndRefuseWrites) {
    WriteDisk("ro.dat", Bytes("read only"));
    ASSERT_EQ(::chmod(PathOf("ro.dat").c_str(), 0444), 0);
    TFileHandler file;
    file.SetName(PathOf("ro.dat"));
    file.Open();
    EXPECT_TRUE(file.ReadOnlyOnDisk());
    EXPECT_TRUE(file.FileObject()->ReadOnly());
    std::vector<std::byte> buffer(4);
    file.Read(buffer);
    EXPECT_EQ(Text(buffer), "read");
    EXPECT_EQ(CodeOf([&] { file.Write(Bytes("x")); }), kErrWrite);
    file.Close();
    EXPECT_EQ(ReadDisk("ro.dat"), Bytes("read only"));
}

TEST_F(FileLayer, CopiesMoveEveryByteWhateverTheSize) {
    for (std::size_t size :
         {std::size_t{0}, std::size_t{1}, std::size_t{65534}, std::size_t{65535},
          std::size_t{65536}, std::size_t{2 * 65535}, std::size_t{2 * 65535 + 7}}) {
        SCOPED_TRACE(size);
        const std::vector<std::byte> data = Pattern(size);
        WriteDisk("source.dat", data);
        TFileHandler source;
        source.SetName(PathOf("source.dat"));
        source.Open();
        source.SeekFile(3, SeekOrigin::kBegin);  // copies start at 0 regardless
        source.CopyToFile(PathOf("copy.dat"), false);
        EXPECT_EQ(ReadDisk("copy.dat"), data);
        // Into memory and back to disk through CopyFromFile.
        source.CopyToFile(MemoryName("copy.dat"), true);
        TFileHandler target;
        target.SetName(PathOf("back.dat"));
        target.CreateFile();
        target.Write(Bytes("hd"));
        target.CopyFromFile(MemoryName("copy.dat"), true);
        target.Close();
        std::vector<std::byte> expected = Bytes("hd");
        expected.insert(expected.end(), data.begin(), data.end());
        EXPECT_EQ(ReadDisk("back.dat"), expected);
        source.Close();
        // The copies stay registered without handles and can be deleted.
        EXPECT_EQ(GlobalFileList().DeleteFile(MemoryName("copy.dat"), true), 0);
    }
}

TEST_F(FileLayer, FailedCopiesLeaveNoHalfWrittenTarget) {
    WriteDisk("src.dat", Pattern(100));
    TFileHandler source;
    source.SetName(PathOf("src.dat"));
    source.Open();
    TFileHandler holder;
    holder.SetName(PathOf("held.dat"));
    holder.CreateFile();
    holder.Write(Bytes("held"));
    // A target someone holds is refused and left alone.
    EXPECT_EQ(CodeOf([&] { source.CopyToFile(PathOf("held.dat"), false); }), kErrAccessDenied);
    holder.Close();
    EXPECT_EQ(ReadDisk("held.dat"), Bytes("held"));
    // A missing source of a copy-in is reported with its name.
    EXPECT_EQ(CodeOf([&] {
                  holder.Open();
                  holder.CopyFromFile(PathOf("nope.dat"), false);
              }),
              kErrInvalidPath);
}

TEST_F(FileLayer, FlushAndDestructionCloseCleanly) {
    auto file = std::make_unique<TFileHandler>();  // destroyed below, while open
    file->SetName(PathOf("flush.dat"));
    file->CreateFile();
    file->Write(Bytes("durable"));
    EXPECT_NO_THROW(file->Flush());
    TAbstractFile* object = file->FileObject();
    ASSERT_NE(object, nullptr);
    file.reset();
    TFileHandler again;
    again.SetName(PathOf("flush.dat"));
    again.SetExclusive(true);
    EXPECT_NO_THROW(again.Open());  // the destroyed handler let go of its handle
    EXPECT_EQ(again.GetFileSize(), 7);
}

// Runs `body` in a forked copy of this program that first drops the
// registry it inherited, so it meets the file only as another program would.
int RunAsOtherProgram(const std::function<int()>& body) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        int result = 99;
        try {
            FinalizeStorageLibrary();
            result = body();
        } catch (...) {
        }
        ::_exit(result);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(FileLayer, OtherProgramsMeetTheSharingRules) {
    WriteDisk("between.dat", Bytes("between programs"));
    auto open_in_other = [&](bool exclusive) {
        return RunAsOtherProgram([&] {
            TFileHandler file;
            file.SetName(PathOf("between.dat"));
            file.SetExclusive(exclusive);
            const EngineErrorCode code = CodeOf([&] { file.Open(); });
            return code == 0 ? 0 : (code == kErrAccessDenied ? 13 : 1);
        });
    };
    TFileHandler mine;
    mine.SetName(PathOf("between.dat"));
    mine.Open();  // shared
    EXPECT_EQ(open_in_other(false), 0);
    EXPECT_EQ(open_in_other(true), 13);
    mine.Close();
    mine.SetExclusive(true);
    mine.Open();
    EXPECT_EQ(open_in_other(false), 13);
    // A region this program locks is refused to the other one.
    EXPECT_TRUE(mine.LockRegion(10, 5, true));
    mine.Close();
    mine.SetExclusive(false);
    mine.Open();
    EXPECT_TRUE(mine.LockRegion(10, 5, true));
    const int locked = RunAsOtherProgram([&] {
        TFileHandler file;
        file.SetName(PathOf("between.dat"));
        file.Open();
        return (file.LockRegion(12, 1, true) ? 1 : 0) + (file.LockRegion(15, 1, true) ? 0 : 2);
    });
    EXPECT_EQ(locked, 0);
}

// A sync of a file whose name ends in "held.dat" waits until released (bounded, so that a
// test that fails does not hang); one of a file ending in "failing.dat" fails.
struct HeldSync {
    std::atomic<bool> holding{false};
    std::atomic<bool> released{false};
    std::atomic<int> held{0};
};
HeldSync held_sync;

int HoldSync(const std::string& name) {
    const auto ends = [&](std::string_view end) {
        return name.size() >= end.size() &&
               name.compare(name.size() - end.size(), end.size(), end) == 0;
    };
    if (ends("failing.dat"))
        return EIO;
    if (!ends("held.dat"))
        return 0;
    ++held_sync.held;
    held_sync.holding = true;
    for (int i = 0; i < 60000 && !held_sync.released; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return 0;
}

class FileClose : public FileLayer {
  protected:
    void SetUp() override {
        FileLayer::SetUp();
        held_sync.holding = held_sync.released = false;
        held_sync.held = 0;
        SetFileSyncHook(HoldSync);
    }
    void TearDown() override {
        held_sync.released = true;
        SetFileSyncHook(nullptr);
        FileLayer::TearDown();
    }
    // A write-through handle on a new file, holding unsynced bytes.
    void OpenWritten(TFileHandler& file, std::string_view name, std::string_view text) {
        file.SetName(PathOf(name));
        file.CreateFile();
        file.Close();
        file.SetWriteThrough(true);
        file.Open();
        file.Write(Bytes(text));
    }
    static bool Within(std::future<void>& done) {
        return done.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
    }
};

// The last close of a write-through file syncs what it wrote, and waits for the device, without
// holding up the process's other files: while that sync is held, another file opens, is written
// and closes, and the held file itself opens again on the same file object and reads what the
// closing handle wrote. The close ends once its sync does, and the file's other handle keeps it
// open until it closes too.
TEST_F(FileClose, ASlowSyncAtTheLastCloseHoldsUpNoOtherOpenOrClose) {
    TFileHandler closing;
    OpenWritten(closing, "held.dat", "written before the close");
    const std::uint64_t syncs = TPhysicalFile::SyncCount();
    std::future<void> closed = std::async(std::launch::async, [&] { closing.Close(); });
    for (int i = 0; i < 30000 && !held_sync.holding; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_TRUE(held_sync.holding) << "the close did not sync";

    TFileHandler other;
    TFileHandler same;
    std::vector<std::byte> seen(24);
    std::future<void> others = std::async(std::launch::async, [&] {
        other.SetName(PathOf("other.dat"));
        other.CreateFile();
        other.Write(Bytes("elsewhere"));
        other.Close();
        same.SetName(PathOf("held.dat"));
        same.Open();
        same.SeekFile(0, SeekOrigin::kBegin);
        same.Read(seen);
    });
    const bool went_on = Within(others);
    held_sync.released = true;
    ASSERT_TRUE(went_on) << "another open waited for the held sync";
    EXPECT_NO_THROW(others.get());
    ASSERT_TRUE(Within(closed));
    EXPECT_NO_THROW(closed.get());
    EXPECT_EQ(Text(seen), "written before the close");
    EXPECT_EQ(held_sync.held.load(), 1);
    EXPECT_EQ(TPhysicalFile::SyncCount() - syncs, 1u);
    EXPECT_TRUE(same.IsOpen());
    same.Close();
    EXPECT_EQ(Text(ReadDisk("held.dat")), "written before the close");
    EXPECT_EQ(Text(ReadDisk("other.dat")), "elsewhere");
}

// A failing sync at the last close is reported by that close, once the handle is closed: the
// handler can open the file again, and a second close has nothing to report.
TEST_F(FileClose, AFailedSyncAtTheLastCloseIsReportedAfterClosing) {
    TFileHandler file;
    OpenWritten(file, "failing.dat", "lost?");
    EXPECT_EQ(CodeOf([&] { file.Close(); }), kErrUnknownOs);
    EXPECT_FALSE(file.IsOpen());
    EXPECT_EQ(file.FileObject(), nullptr);
    EXPECT_EQ(CodeOf([&] { file.Close(); }), 0);
    // The failure went with the closed descriptor: a new open starts afresh.
    file.Open();
    EXPECT_EQ(CodeOf([&] { file.CheckSyncFailure(); }), 0);
    file.Close();
}

}  // namespace
}  // namespace strata
