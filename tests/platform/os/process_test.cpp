// Share modes and locks against real second programs.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "platform/os/file.h"
#include "platform/os/file_system.h"
#include "tests/platform/os/peer.h"
#include "tests/platform/os/scratch_dir.h"

namespace platform::os {
namespace {

using testing::Peer;
using testing::ReadText;
using testing::ScratchDir;
using testing::WriteText;

OpenOptions with_share(ShareMode share) {
    OpenOptions options;
    options.share = share;
    return options;
}

std::set<std::string> names_in(const std::string& directory) {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(directory)) {
        names.insert(entry.path().filename().string());
    }
    return names;
}

TEST(OsProcesses, ExclusiveOpenIsRefusedToASecondProgram) {
    ScratchDir dir;
    const std::string path = dir / "mailist.DAT";
    WriteText(path, "table");
    auto holder = File::Open(path);
    ASSERT_TRUE(holder.ok());

    Peer peer;
    const std::vector<std::string> refused = {
        "open excl " + path, "open shared " + path, "open ro-shared " + dir / "MAILIST.dat",
        "create " + path,    "delete " + path,      "move " + path + " " + dir / "other.dat",
    };
    for (const auto& command : refused) {
        EXPECT_EQ(peer.AskCode(command), kAccessDenied) << command;
    }
    EXPECT_EQ(ReadText(path), "table");
    EXPECT_FALSE(std::filesystem::exists(dir / "other.dat"));

    ASSERT_TRUE(holder->Close().ok());
    EXPECT_EQ(peer.AskCode("open excl " + path), kOk);
    EXPECT_EQ(File::Open(path).code(), kAccessDenied);
    EXPECT_EQ(File::Open(path, with_share(ShareMode::kShared)).code(), kAccessDenied);
}

TEST(OsProcesses, SharedOpensAreAdmittedTogether) {
    ScratchDir dir;
    const std::string path = dir / "mailist.dat";
    WriteText(path, "table");
    auto mine = File::Open(path, with_share(ShareMode::kShared));
    ASSERT_TRUE(mine.ok());
    Peer peer;
    EXPECT_EQ(peer.AskCode("open excl " + path), kAccessDenied);
    EXPECT_EQ(peer.AskCode("open shared " + path), kOk);
    EXPECT_EQ(peer.Ask("read 0 5"), "table");
    EXPECT_EQ(peer.AskCode("write 0 TABLE"), kOk);

    std::string text(5, '\0');
    ASSERT_TRUE(mine->ReadAt(0, std::as_writable_bytes(std::span(text))).ok());
    EXPECT_EQ(text, "TABLE");
    EXPECT_EQ(File::Open(path).code(), kAccessDenied);  // exclusive needs everyone gone
}

TEST(OsProcesses, RefusalEndsAtOnceWhenTheHolderIsKilled) {
    ScratchDir dir;
    const std::string path = dir / "mailist.dat";
    WriteText(path, "table");
    Peer peer;
    ASSERT_EQ(peer.AskCode("open excl " + path), kOk);
    EXPECT_EQ(File::Open(path).code(), kAccessDenied);
    peer.Kill();
    // No waiting: the kernel drops the lock with the killed program's files.
    auto opened = File::Open(path);
    EXPECT_TRUE(opened.ok()) << opened.code();
}

TEST(OsProcesses, RangeLockConflictsAndExactUnlock) {
    ScratchDir dir;
    const std::string path = dir / "mailist.idx";
    WriteText(path, "");
    auto mine = File::Open(path, with_share(ShareMode::kShared));
    ASSERT_TRUE(mine.ok());
    Peer peer;
    ASSERT_EQ(peer.AskCode("open shared " + path), kOk);

    ASSERT_EQ(peer.AskCode("lock 100 10 w"), kOk);
    EXPECT_EQ(mine->LockRegion(105, 1, LockKind::kRead).code(), kAccessDenied);
    EXPECT_EQ(mine->LockRegion(90, 11).code(), kAccessDenied);
    EXPECT_TRUE(mine->LockRegion(110, 10).ok());
    EXPECT_EQ(peer.AskCode("lock 119 1 r"), kAccessDenied);
    EXPECT_EQ(peer.AskCode("lock 100 1 w"), kAccessDenied);  // its own range: refused too

    EXPECT_EQ(peer.AskCode("unlock 100 5"), 0);  // not the range that was locked
    EXPECT_EQ(peer.AskCode("unlock 100 20"), 0);
    EXPECT_EQ(mine->LockRegion(100, 1).code(), kAccessDenied);
    EXPECT_EQ(peer.AskCode("unlock 100 10"), 1);
    EXPECT_EQ(peer.AskCode("unlock 100 10"), 0);
    EXPECT_TRUE(mine->LockRegion(100, 10).ok());

    // Read locks of two programs share a byte; a writer waits for both.
    const std::uint64_t read_byte = 2147483647 - 4711;
    EXPECT_EQ(peer.AskCode("lock " + std::to_string(read_byte) + " 1 r"), kOk);
    EXPECT_TRUE(mine->LockRegion(read_byte, 1, LockKind::kRead).ok());
    EXPECT_EQ(peer.AskCode("lock 2147418112 65535 w"), kAccessDenied);
    EXPECT_TRUE(mine->UnlockRegion(read_byte, 1));
    EXPECT_EQ(peer.AskCode("lock 2147418112 65535 w"), kAccessDenied);  // its own read byte
    EXPECT_EQ(peer.AskCode("unlock " + std::to_string(read_byte) + " 1"), 1);
    EXPECT_EQ(peer.AskCode("lock 2147418112 65535 w"), kOk);
    EXPECT_EQ(mine->LockRegion(read_byte, 1, LockKind::kRead).code(), kAccessDenied);
}

TEST(OsProcesses, LocksOfADeadProgramAreReleased) {
    ScratchDir dir;
    const std::string path = dir / "mailist.dat";
    WriteText(path, "");
    Peer peer;
    ASSERT_EQ(peer.AskCode("open shared " + path), kOk);
    ASSERT_EQ(peer.AskCode("lock 2147483646 1 w"), kOk);
    auto mine = File::Open(path, with_share(ShareMode::kShared));
    ASSERT_TRUE(mine.ok());
    EXPECT_EQ(mine->LockRegion(2147483646, 1).code(), kAccessDenied);
    peer.Kill();
    EXPECT_TRUE(mine->LockRegion(2147483646, 1).ok());
    EXPECT_TRUE(File::Open(path, with_share(ShareMode::kShared)).ok());
}

TEST(OsProcesses, CreateOrReplaceOfAHeldFileIsRefusedWithoutTruncating) {
    ScratchDir dir;
    const std::string path = dir / "mailist.dat";
    for (const std::string mode : {"excl", "shared"}) {
        WriteText(path, "precious rows");
        Peer peer;
        ASSERT_EQ(peer.AskCode("open " + mode + " " + path), kOk);
        EXPECT_EQ(File::Create(path).code(), kAccessDenied) << mode;
        EXPECT_EQ(File::Create(dir / "MAILIST.DAT").code(), kAccessDenied) << mode;
        EXPECT_EQ(ReadText(path), "precious rows") << mode;
        EXPECT_EQ(peer.Ask("read 0 64"), "precious rows");
        EXPECT_EQ(names_in(dir.path()), std::set<std::string>{"mailist.dat"});
    }
    // And the other way round: this program holds, the peer tries.
    auto created = File::Create(path);
    ASSERT_TRUE(created.ok());
    ASSERT_TRUE(created->WriteAt(0, std::as_bytes(std::span("mine", 4))).ok());
    Peer peer;
    EXPECT_EQ(peer.AskCode("create " + path), kAccessDenied);
    EXPECT_EQ(ReadText(path), "mine");
}

class OsCrossDeviceMove : public ::testing::Test {
  protected:
    void SetUp() override {
        struct stat shm {};
        struct stat disk {};
        if (::stat("/dev/shm", &shm) != 0 || ::stat(CORVANE_DISK_SCRATCH, &disk) != 0 ||
            shm.st_dev == disk.st_dev) {
            GTEST_SKIP() << "/dev/shm is not a file system of its own here";
        }
        tmpfs_ = std::make_unique<ScratchDir>("/dev/shm");
        disk_ = std::make_unique<ScratchDir>();
    }

    std::unique_ptr<ScratchDir> tmpfs_;
    std::unique_ptr<ScratchDir> disk_;
};

std::string pattern(std::size_t size) {
    std::string data(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        data[i] = static_cast<char>((i * 131 + i / 7) & 0xFF);
    }
    return data;
}

TEST_F(OsCrossDeviceMove, KeepsTheDataAndDropsTheSource) {
    const std::string data = pattern(3 * 1024 * 1024 + 17);  // several copy buffers
    const std::string from = *tmpfs_ / "sort0.tmp";
    WriteText(from, data);
    ::chmod(from.c_str(), 0640);
    const std::string to = *disk_ / "mailist.dat";
    ASSERT_TRUE(MoveFile(from, to).ok());
    EXPECT_FALSE(std::filesystem::exists(from));
    EXPECT_EQ(ReadText(to), data);
    struct stat st {};
    ASSERT_EQ(::stat(to.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    EXPECT_EQ(names_in(disk_->path()), std::set<std::string>{"mailist.dat"});

    // And back again, with a Windows-style target.
    std::string windows_target = tmpfs_->path() + "\\back.dat";
    ASSERT_TRUE(MoveFile(to, windows_target).ok());
    EXPECT_EQ(ReadText(*tmpfs_ / "back.dat"), data);
    EXPECT_FALSE(std::filesystem::exists(to));
}

TEST_F(OsCrossDeviceMove, NeverReplacesAnExistingTarget) {
    const std::string from = *tmpfs_ / "new.dat";
    WriteText(from, "new rows");
    WriteText(*disk_ / "mailist.dat", "old rows");
    for (const std::string name : {"mailist.dat", "MAILIST.DAT"}) {
        EXPECT_EQ(MoveFile(from, *disk_ / name).code(), kUnknownOsError) << name;
        EXPECT_EQ(ReadText(from), "new rows");
        EXPECT_EQ(ReadText(*disk_ / "mailist.dat"), "old rows");
        EXPECT_EQ(names_in(disk_->path()), std::set<std::string>{"mailist.dat"});
    }
}

TEST_F(OsCrossDeviceMove, RefusesASourceAnotherProgramHolds) {
    const std::string from = *tmpfs_ / "held.dat";
    WriteText(from, "rows");
    Peer peer;
    ASSERT_EQ(peer.AskCode("open shared " + from), kOk);
    EXPECT_EQ(MoveFile(from, *disk_ / "held.dat").code(), kAccessDenied);
    EXPECT_EQ(ReadText(from), "rows");
    EXPECT_TRUE(names_in(disk_->path()).empty());
    peer.Kill();
    EXPECT_TRUE(MoveFile(from, *disk_ / "held.dat").ok());
    EXPECT_EQ(ReadText(*disk_ / "held.dat"), "rows");
}

TEST_F(OsCrossDeviceMove, AMoveByTheSecondProgramAlsoWorks) {
    const std::string from = *tmpfs_ / "a.dat";
    WriteText(from, "peer moved");
    Peer peer;
    EXPECT_EQ(peer.AskCode("move " + from + " " + *disk_ / "a.dat"), kOk);
    EXPECT_EQ(ReadText(*disk_ / "a.dat"), "peer moved");
    EXPECT_FALSE(std::filesystem::exists(from));
}

TEST_F(OsCrossDeviceMove, DirectoriesAreNotCopiedAcrossFileSystems) {
    std::filesystem::create_directory(*tmpfs_ / "dir");
    WriteText(*tmpfs_ / "dir/f", "x");
    EXPECT_EQ(MoveFile(*tmpfs_ / "dir", *disk_ / "dir").code(), kMoved);
    EXPECT_EQ(ReadText(*tmpfs_ / "dir/f"), "x");
    EXPECT_TRUE(names_in(disk_->path()).empty());
}

TEST(OsProcesses, EachProgramGetsItsOwnTempDirectoryRemovedAtExitWhenEmpty) {
    auto mine = TempDirectory();
    ASSERT_TRUE(mine.ok());
    std::string empty_dir;
    std::string kept_dir;
    {
        Peer peer;
        empty_dir = peer.Ask("tempdir");
        EXPECT_EQ(peer.Ask("tempdir"), empty_dir);
        EXPECT_NE(empty_dir, *mine);
        EXPECT_TRUE(DirectoryExists(empty_dir));
    }  // end of input: the peer exits normally
    EXPECT_FALSE(std::filesystem::exists(empty_dir));
    {
        Peer peer;
        kept_dir = peer.Ask("tempdir");
        WriteText(kept_dir + "left.tmp", "x");
    }
    EXPECT_EQ(ReadText(kept_dir + "left.tmp"), "x");  // files left behind are not ours to drop
    std::filesystem::remove_all(kept_dir);
    EXPECT_TRUE(DirectoryExists(*mine));
}

}  // namespace
}  // namespace platform::os
