#include "platform/os/whole_file.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>

#include "tests/platform/os/scratch_dir.h"

namespace platform::os {
namespace {

namespace fs = std::filesystem;

std::string Contents(const std::string& path) {
    std::string text;
    EXPECT_FALSE(ReadFileContents(path, text));
    return text;
}

void Put(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

unsigned ModeOf(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0);
    return st.st_mode & 07777;
}

std::size_t EntriesIn(const std::string& folder) {
    return static_cast<std::size_t>(
        std::distance(fs::directory_iterator(folder), fs::directory_iterator()));
}

TEST(WholeFile, ReplaceWritesNewAndExistingFilesWhole) {
    testing::ScratchDir dir;
    const std::string path = dir / "list.txt";
    ASSERT_FALSE(ReplaceFileContents(path, "first"));
    EXPECT_EQ(Contents(path), "first");

    ::chmod(path.c_str(), 0640);
    const std::string big(300000, 'x');
    ASSERT_FALSE(ReplaceFileContents(path, big));
    EXPECT_EQ(Contents(path), big);
    EXPECT_EQ(ModeOf(path), 0640u) << "an existing file keeps its mode";

    ASSERT_FALSE(ReplaceFileContents(path, ""));
    EXPECT_EQ(Contents(path), "");
    EXPECT_EQ(EntriesIn(dir.path()), 1u) << "no temporary file is left beside it";

    const std::string link = dir / "link.txt";
    fs::create_symlink(path, link);
    ASSERT_FALSE(ReplaceFileContents(link, "through the link"));
    EXPECT_TRUE(fs::is_symlink(link)) << "a link stays a link";
    EXPECT_EQ(Contents(path), "through the link");
}

// A replacement written in pieces is seen only whole, and only once committed.
TEST(WholeFile, PiecewiseReplacementAppearsOnlyOnCommit) {
    testing::ScratchDir dir;
    const std::string path = dir / "export.xls";
    Put(path, "old");
    {
        FileReplacement file;
        ASSERT_FALSE(file.Open(path));
        ASSERT_FALSE(file.Write("new "));
        EXPECT_EQ(Contents(path), "old");
        // Dropped without a commit: the old file stays and the temporary goes.
    }
    EXPECT_EQ(Contents(path), "old");
    EXPECT_EQ(EntriesIn(dir.path()), 1u);

    FileReplacement file;
    ASSERT_FALSE(file.Open(path));
    for (int i = 0; i < 1000; ++i)
        ASSERT_FALSE(file.Write("piece "));
    ASSERT_FALSE(file.Commit());
    EXPECT_FALSE(file.IsOpen());
    EXPECT_EQ(Contents(path).size(), 6000u);
    EXPECT_EQ(EntriesIn(dir.path()), 1u);
    EXPECT_EQ(file.Open(dir / "missing/x.xls"), std::errc::no_such_file_or_directory);
}

TEST(WholeFile, FailedReplaceLeavesNothingAndKeepsTheOldFile) {
    testing::ScratchDir dir;
    struct Case {
        const char* what;
        std::string path;
        std::errc error;
    };
    fs::create_directory(dir / "folder");
    const Case cases[] = {
        {"target is a folder", dir / "folder", std::errc::is_a_directory},
        {"folder missing", dir / "missing/file.txt", std::errc::no_such_file_or_directory},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ReplaceFileContents(c.path, "x"), c.error) << c.what;
    }
    EXPECT_EQ(EntriesIn(dir.path()), 1u);
    EXPECT_TRUE(fs::is_empty(dir / "folder"));

    // A progress callback that throws stands for a saver dying half-way.
    const std::string path = dir / "kept.txt";
    Put(path, "old");
    ReplaceOptions options;
    options.progress = [](std::size_t, std::size_t) { throw std::runtime_error("stop"); };
    EXPECT_THROW((void)ReplaceFileContents(path, std::string(200000, 'n'), options),
                 std::runtime_error);
    EXPECT_EQ(Contents(path), "old");
}

TEST(WholeFile, ReplaceCreatesFoldersWhenAsked) {
    testing::ScratchDir dir;
    ReplaceOptions options;
    options.create_folders = true;
    options.folder_mode = 0700;
    const std::string path = dir / "a/b/c.ini";
    ASSERT_FALSE(ReplaceFileContents(path, "x", options));
    EXPECT_EQ(Contents(path), "x");
    EXPECT_EQ(ModeOf(dir / "a/b") & 0777, 0700u);
}

TEST(WholeFile, ReplaceRemovesOnlyTheTemporariesOfDeadSavers) {
    testing::ScratchDir dir;
    // A process id that no process has: the highest one the kernel would never hand out
    // while this test runs is found by asking.
    pid_t dead = 4000000;
    while (::kill(dead, 0) == 0 || errno != ESRCH)
        --dead;
    const std::string stale = dir / (".list.txt.tmp" + std::to_string(dead) + "-0");
    const std::string live = dir / (".list.txt.tmp" + std::to_string(::getpid()) + "-7");
    const std::string other = dir / ".other.txt.tmp1-0";
    for (const auto& p : {stale, live, other})
        Put(p, "partial");
    ASSERT_FALSE(ReplaceFileContents(dir / "list.txt", "whole"));
    EXPECT_FALSE(fs::exists(stale));
    EXPECT_TRUE(fs::exists(live));
    EXPECT_TRUE(fs::exists(other));
}

TEST(WholeFile, ReadAppendAndNewFileAnswerErrorCodes) {
    testing::ScratchDir dir;
    std::string text = "unchanged";
    EXPECT_EQ(ReadFileContents(dir / "none", text), std::errc::no_such_file_or_directory);
    EXPECT_EQ(ReadFileContents(dir.path(), text), std::errc::is_a_directory);
    EXPECT_EQ(ReadFileContents(dir / "none/x", text), std::errc::no_such_file_or_directory);

    const std::string log = dir / "log.txt";
    ASSERT_FALSE(AppendToFile(log, "one\n"));
    ASSERT_FALSE(AppendToFile(log, "two\n"));
    EXPECT_EQ(Contents(log), "one\ntwo\n");

    const std::string fresh = dir / "fresh";
    ASSERT_FALSE(WriteNewFile(fresh, "new", 0600));
    EXPECT_EQ(ModeOf(fresh), 0600u);
    EXPECT_EQ(WriteNewFile(fresh, "again", 0600), std::errc::file_exists);
    EXPECT_EQ(Contents(fresh), "new");

    // A NUL would end the name at "log.txt" or "fresh": refused, and those files keep their
    // contents.
    const std::string nul(1, '\0');
    EXPECT_EQ(AppendToFile(log + nul + "x", "three\n"), std::errc::invalid_argument);
    EXPECT_EQ(ReadFileContents(log + nul + "x", text), std::errc::invalid_argument);
    EXPECT_EQ(ReplaceFileContents(fresh + nul + "x", "replaced"), std::errc::invalid_argument);
    EXPECT_EQ(WriteNewFile(dir / "other" + nul + "x", "new", 0600), std::errc::invalid_argument);
    EXPECT_EQ(Contents(log), "one\ntwo\n");
    EXPECT_EQ(Contents(fresh), "new");
    EXPECT_FALSE(std::filesystem::exists(dir / "other"));
    EXPECT_EQ(text, "unchanged");
}

}  // namespace
}  // namespace platform::os
