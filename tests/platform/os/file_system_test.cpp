#include "platform/os/file_system.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "platform/os/file.h"
#include "platform/os/process_lock.h"
#include "tests/platform/os/scratch_dir.h"

namespace platform::os {
namespace {

using testing::ReadText;
using testing::ScratchDir;
using testing::WriteText;

// Sets or clears an environment variable for one scope.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) {
            old_ = old;
        }
        if (value) {
            ::setenv(name, value, 1);
        } else {
            ::unsetenv(name);
        }
    }
    ~ScopedEnv() {
        if (old_) {
            ::setenv(name_, old_->c_str(), 1);
        } else {
            ::unsetenv(name_);
        }
    }

  private:
    const char* name_;
    std::optional<std::string> old_;
};

TEST(OsFileSystem, NormalizeAndResolve) {
    ScratchDir dir;
    WriteText(dir / "mailist.DAT", "a");
    WriteText(dir / "Mailstat.dat", "b");
    WriteText(dir / "MAILSTAT.DAT", "c");
    struct Case {
        std::string asked;
        std::string resolved;
    };
    const std::vector<Case> cases = {
        {dir / "mailist.dat", dir / "mailist.DAT"},
        {dir / "MAILIST.dat", dir / "mailist.DAT"},
        {dir / "mailist.DAT", dir / "mailist.DAT"},
        {dir / "mailstat.dat", dir / "MAILSTAT.DAT"},  // first in byte order
        {dir / "Mailstat.dat", dir / "Mailstat.dat"},  // exact wins
        {dir / "absent.dat", dir / "absent.dat"},      // spelling as given
        {dir.path() + "\\MAILIST.DAT", dir / "mailist.DAT"},
        {dir / "nodir/mailist.dat", dir / "nodir/mailist.dat"},
        {dir.path() + "/", dir.path() + "/"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ResolvePath(c.asked), c.resolved) << c.asked;
    }
    EXPECT_EQ(NormalizeSeparators("C:\\db\\x.dat"), "C:/db/x.dat");
}

TEST(OsFileSystem, AttributesAndExistence) {
    ScratchDir dir;
    WriteText(dir / "f.dat", "12345");
    ::chmod((dir / "f.dat").c_str(), 0444);
    auto attributes = GetFileAttributes(dir / "F.DAT");
    ASSERT_TRUE(attributes.ok());
    EXPECT_FALSE(attributes->directory);
    EXPECT_TRUE(attributes->read_only);
    EXPECT_EQ(attributes->size, 5u);
    EXPECT_TRUE(FileExists(dir / "F.dat"));
    EXPECT_FALSE(DirectoryExists(dir / "F.dat"));
    EXPECT_TRUE(DirectoryExists(dir.path()));
    EXPECT_FALSE(FileExists(dir.path()));
    EXPECT_EQ(GetFileAttributes(dir / "none").code(), kInvalidPath);
    EXPECT_FALSE(FileExists(dir / "none"));
}

TEST(OsFileSystem, StatusOfEntriesAndLinks) {
    ScratchDir dir;
    WriteText(dir / "f.dat", "12345");
    std::filesystem::create_directory(dir / "sub");
    std::filesystem::create_symlink(dir / "sub", dir / "to-sub");
    std::filesystem::create_symlink(dir / "gone", dir / "dangling");

    const auto file = QueryFileStatus(dir / "f.dat", false);
    ASSERT_TRUE(file.ok());
    EXPECT_FALSE(file->directory);
    EXPECT_FALSE(file->symlink);
    EXPECT_EQ(file->size, 5u);
    EXPECT_GT(file->modified, 1700000000);
    EXPECT_TRUE(file->owned_by_user);

    const auto link = QueryFileStatus(dir / "to-sub", false);
    ASSERT_TRUE(link.ok());
    EXPECT_TRUE(link->symlink);
    EXPECT_FALSE(link->directory);
    const auto target = QueryFileStatus(dir / "to-sub", true);
    ASSERT_TRUE(target.ok());
    EXPECT_TRUE(target->directory);
    EXPECT_FALSE(target->symlink);

    EXPECT_TRUE(QueryFileStatus(dir / "dangling", false).ok());
    EXPECT_EQ(QueryFileStatus(dir / "dangling", true).code(), kInvalidPath);
    // Exactly as spelled: no case lookup.
    EXPECT_EQ(QueryFileStatus(dir / "F.DAT", true).code(), kInvalidPath);
}

TEST(OsProcessLock, HeldByOneHolderAndReleasedWhenItsProcessDies) {
    ScratchDir dir;
    const std::string path = dir / "app.lock";
    ProcessLock first;
    ProcessLock second;
    ASSERT_TRUE(first.TryAcquire(path).ok());
    EXPECT_TRUE(first.Held());
    EXPECT_EQ(second.TryAcquire(path).code(), kAccessDenied);
    EXPECT_FALSE(second.Held());
    first.Release();
    ASSERT_TRUE(second.TryAcquire(path).ok());
    second.Release();

    // A holder killed outright leaves no stale lock.
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        ProcessLock held;
        const char answer = held.TryAcquire(path).ok() ? 'y' : 'n';
        [[maybe_unused]] const auto n = ::write(ready[1], &answer, 1);
        ::pause();
        ::_exit(0);
    }
    char answer = 0;
    ASSERT_EQ(::read(ready[0], &answer, 1), 1);
    EXPECT_EQ(answer, 'y');
    EXPECT_EQ(first.TryAcquire(path).code(), kAccessDenied);
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    EXPECT_TRUE(first.TryAcquire(path).ok());
    ::close(ready[0]);
    ::close(ready[1]);

    EXPECT_EQ(first.TryAcquire(dir / "missing/app.lock").code(), kInvalidPath);
}

TEST(OsFileSystem, DeleteRules) {
    ScratchDir dir;
    WriteText(dir / "gone.dat", "x");
    EXPECT_TRUE(DeleteFile(dir / "GONE.DAT").ok());
    EXPECT_FALSE(std::filesystem::exists(dir / "gone.dat"));
    EXPECT_EQ(DeleteFile(dir / "gone.dat").code(), kInvalidPath);

    WriteText(dir / "held.dat", "x");
    {
        OpenOptions options;
        options.share = ShareMode::kShared;
        auto holder = File::Open(dir / "held.dat", options);
        ASSERT_TRUE(holder.ok());
        EXPECT_EQ(DeleteFile(dir / "held.dat").code(), kAccessDenied);
        EXPECT_TRUE(std::filesystem::exists(dir / "held.dat"));
    }
    EXPECT_TRUE(DeleteFile(dir / "held.dat").ok());

    WriteText(dir / "ro.dat", "x");
    ::chmod((dir / "ro.dat").c_str(), 0444);
    EXPECT_EQ(DeleteFile(dir / "ro.dat").code(), kAccessDenied);
    EXPECT_TRUE(std::filesystem::exists(dir / "ro.dat"));

    std::filesystem::create_directory(dir / "sub");
    EXPECT_EQ(DeleteFile(dir / "sub").code(), kAccessDenied);
    EXPECT_TRUE(std::filesystem::exists(dir / "sub"));
}

TEST(OsFileSystem, MoveRenamesAndNeverReplaces) {
    ScratchDir dir;
    WriteText(dir / "a.dat", "source");
    WriteText(dir / "B.DAT", "target");
    struct Case {
        std::string to;
        int expected;
    };
    const std::vector<Case> cases = {
        {dir / "B.DAT", kUnknownOsError},  // exists
        {dir / "b.dat", kUnknownOsError},  // exists as a case variant
        {dir / "missing/x.dat", kInvalidPath},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(MoveFile(dir / "a.dat", c.to).code(), c.expected) << c.to;
        EXPECT_EQ(ReadText(dir / "a.dat"), "source");
        EXPECT_EQ(ReadText(dir / "B.DAT"), "target");
    }
    EXPECT_EQ(MoveFile(dir / "none.dat", dir / "c.dat").code(), kInvalidPath);

    ASSERT_TRUE(MoveFile(dir / "A.DAT", dir / "c.dat").ok());
    EXPECT_FALSE(std::filesystem::exists(dir / "a.dat"));
    EXPECT_EQ(ReadText(dir / "c.dat"), "source");
}

// The system would end each of these names at its NUL and so reach "a.dat", "c.dat" or "sub":
// every call refuses them and no file changes.
TEST(OsFileSystem, NamesWithANulAreRefusedAndTouchNothing) {
    ScratchDir dir;
    WriteText(dir / "a.dat", "source");
    const auto with_nul = [&](const std::string& name) {
        return dir / name + std::string(1, '\0') + "tail";
    };
    const std::string a = with_nul("a.dat");
    EXPECT_TRUE(HasNul(a));
    EXPECT_FALSE(HasNul(dir / "a.dat"));
    EXPECT_EQ(File::Open(a).code(), kInvalidPath);
    EXPECT_EQ(File::Create(with_nul("c.dat")).code(), kInvalidPath);
    EXPECT_EQ(File::Create(a).code(), kInvalidPath);
    EXPECT_EQ(DeleteFile(a).code(), kInvalidPath);
    EXPECT_EQ(MoveFile(a, dir / "c.dat").code(), kInvalidPath);
    EXPECT_EQ(MoveFile(dir / "a.dat", with_nul("c.dat")).code(), kInvalidPath);
    EXPECT_EQ(GetFileAttributes(a).code(), kInvalidPath);
    EXPECT_FALSE(FileExists(a));
    EXPECT_EQ(QueryFileStatus(a, true).code(), kInvalidPath);
    EXPECT_EQ(OpenForPolling(a).code(), kInvalidPath);
    EXPECT_EQ(CreateDirectories(with_nul("sub")).code(), kInvalidPath);
    EXPECT_EQ(CreateUniqueFile(with_nul("sub"), "t", ".tmp").code(), kInvalidPath);
    EXPECT_EQ(CreateUniqueFile(dir.path(), "t", std::string(".t\0mp", 5)).code(), kInvalidPath);
    EXPECT_EQ(UniversalName(a), "");
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
        names.insert(entry.path().filename().string());
    EXPECT_EQ(names, (std::set<std::string>{"a.dat"}));
    EXPECT_EQ(ReadText(dir / "a.dat"), "source");
}

TEST(OsFileSystem, MoveToACaseVariantOfItsOwnNameRenames) {
    ScratchDir dir;
    WriteText(dir / "mailist.dat", "data");
    ASSERT_TRUE(MoveFile(dir / "mailist.dat", dir / "mailist.DAT").ok());
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
        names.insert(entry.path().filename().string());
    }
    EXPECT_EQ(names, std::set<std::string>{"mailist.DAT"});
    EXPECT_TRUE(MoveFile(dir / "mailist.DAT", dir / "mailist.DAT").ok());
    EXPECT_EQ(ReadText(dir / "mailist.DAT"), "data");
}

TEST(OsFileSystem, MoveRefusesAHeldSourceAndRenamesDirectories) {
    ScratchDir dir;
    WriteText(dir / "a.dat", "x");
    {
        auto holder = File::Open(dir / "a.dat");
        ASSERT_TRUE(holder.ok());
        EXPECT_EQ(MoveFile(dir / "a.dat", dir / "b.dat").code(), kAccessDenied);
        EXPECT_TRUE(std::filesystem::exists(dir / "a.dat"));
        EXPECT_FALSE(std::filesystem::exists(dir / "b.dat"));
    }
    std::filesystem::create_directory(dir / "d1");
    WriteText(dir / "d1/f", "in dir");
    ASSERT_TRUE(MoveFile(dir / "d1", dir / "d2").ok());
    EXPECT_EQ(ReadText(dir / "d2/f"), "in dir");
}

TEST(OsFileSystem, TempDirectoryIsPrivateAndStable) {
    auto first = TempDirectory();
    ASSERT_TRUE(first.ok());
    auto second = TempDirectory();
    ASSERT_TRUE(second.ok());
    EXPECT_EQ(*first, *second);
    EXPECT_EQ(first->back(), '/');
    struct stat st {};
    ASSERT_EQ(::stat(first->c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_EQ(st.st_uid, ::getuid());
}

TEST(OsFileSystem, UniqueFilesAreNewEmptyAndPrivate) {
    ScratchDir dir;
    std::set<std::string> names;
    for (int i = 0; i < 50; ++i) {
        auto name = CreateUniqueFile(dir.path(), "srt", ".tmp");
        ASSERT_TRUE(name.ok());
        EXPECT_TRUE(names.insert(*name).second);
        EXPECT_EQ(name->rfind(dir / "srt", 0), 0u);
        EXPECT_TRUE(name->ends_with(".tmp"));
        struct stat st {};
        ASSERT_EQ(::lstat(name->c_str(), &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode));
        EXPECT_EQ(st.st_size, 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
    }
    EXPECT_EQ(CreateUniqueFile(dir / "missing", "x", ".tmp").code(), kInvalidPath);
}

TEST(OsFileSystem, ProgramDirectoryRule) {
    ScratchDir dir;
    {
        ScopedEnv home("CORVANE_HOME", (dir / "corvane home").c_str());
        ScopedEnv xdg("XDG_DATA_HOME", (dir / "xdg").c_str());
        auto path = ProgramDirectory();
        ASSERT_TRUE(path.ok());
        EXPECT_EQ(*path, dir / "corvane home/");
        EXPECT_TRUE(DirectoryExists(*path));
        EXPECT_FALSE(std::filesystem::exists(dir / "xdg"));
    }
    {
        ScopedEnv home("CORVANE_HOME", nullptr);
        ScopedEnv xdg("XDG_DATA_HOME", (dir / "xdg/data").c_str());
        auto path = ProgramDirectory();
        ASSERT_TRUE(path.ok());
        EXPECT_EQ(*path, dir / "xdg/data/Corvane/");
        EXPECT_TRUE(DirectoryExists(*path));
    }
    {
        ScopedEnv home("CORVANE_HOME", "");
        ScopedEnv xdg("XDG_DATA_HOME", "relative/ignored");
        ScopedEnv user_home("HOME", (dir / "home").c_str());
        auto path = ProgramDirectory();
        ASSERT_TRUE(path.ok());
        EXPECT_EQ(*path, dir / "home/.local/share/Corvane/");
        EXPECT_TRUE(DirectoryExists(*path));
        EXPECT_FALSE(std::filesystem::exists("relative"));
    }
    {
        WriteText(dir / "blocker", "a file where a folder should be");
        ScopedEnv home("CORVANE_HOME", (dir / "blocker/sub").c_str());
        EXPECT_FALSE(ProgramDirectory().ok());
    }
}

TEST(OsFileSystem, ExecutablePathAndUniversalName) {
    auto exe = ExecutablePath();
    ASSERT_TRUE(exe.ok());
    EXPECT_EQ(exe->front(), '/');
    EXPECT_TRUE(exe->ends_with("platform_os_tests"));

    ScratchDir dir;
    WriteText(dir / "x.dat", "x");
    const std::string real = UniversalName(dir / "x.dat");
    EXPECT_EQ(real, std::filesystem::canonical(dir / "x.dat").string());
    EXPECT_EQ(UniversalName(dir.path() + "/./X.DAT"), real);
    EXPECT_EQ(UniversalName(dir / "none"), "");
}

TEST(OsFileSystem, CreateDirectoriesAndSyncDirectory) {
    ScratchDir dir;
    EXPECT_TRUE(CreateDirectories(dir / "a/b/c").ok());
    EXPECT_TRUE(CreateDirectories(dir / "a/b/c").ok());
    EXPECT_TRUE(DirectoryExists(dir / "a/b/c"));
    EXPECT_TRUE(SyncDirectory(dir / "a/b").ok());
    EXPECT_EQ(SyncDirectory(dir / "none").code(), kInvalidPath);
}

}  // namespace
}  // namespace platform::os
