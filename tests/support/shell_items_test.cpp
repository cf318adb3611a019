#include <gtest/gtest.h>

#include <QLocale>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "support/shelltree/shell_items.h"

namespace {

namespace fs = std::filesystem;

TEST(ShellItems, MaskMatching) {
    struct Case {
        const char* mask;
        const char* name;
        bool match;
    };
    const Case cases[] = {
        {"*", "anything", true},
        {"*", "", true},
        {"*.*", "a.b", true},
        {"*.*", "noext", false},
        {"*.txt", "x.txt", true},
        {"*.txt", "x.txt.txt", true},  // a real glob
        {"*.txt", "x.txt.doc", false},
        {"*.TXT", "Read.Me.txt", true},
        {"a?c", "abc", true},
        {"a?c", "ac", false},
        {"a?c", "abcd", false},
        {"?", "", false},
        {"name.db", "NAME.DB", true},
        {"name.db", "name.dbx", false},
        {"", "x", false},
        {"*a*b", "xxaybzb", true},
        {"*a*b", "xxaybzc", false},
        {"**", "x", true},
    };
    for (const Case& c : cases)
        EXPECT_EQ(support::MaskMatches(c.mask, c.name), c.match) << c.mask << " " << c.name;
}

TEST(ShellItems, CompareFoldersFirstThenColumnThenName) {
    auto item = [](std::string name, std::uint32_t attributes, std::uint64_t size,
                   std::int64_t date) {
        support::ShellItem i;
        i.name = i.display = std::move(name);
        i.attributes = attributes;
        i.size = size;
        i.modified = date;
        return i;
    };
    const auto file = support::SFGAO_FILESYSTEM;
    const auto folder = support::SFGAO_FILESYSTEM | support::SFGAO_FOLDER;
    const auto a = item("a.txt", file, 30, 5), b = item("B.doc", file, 10, 1),
               d = item("zdir", folder, 0, 0);
    EXPECT_EQ(support::CompareItems(a, b, 0), -1);  // case aside
    EXPECT_EQ(support::CompareItems(a, b, 1), 1);
    EXPECT_EQ(support::CompareItems(a, b, 2), 1);  // "doc" before "txt"
    EXPECT_EQ(support::CompareItems(a, b, 3), 1);
    EXPECT_EQ(support::CompareItems(d, a, 0), -1);  // folders first
    EXPECT_EQ(support::CompareItems(a, a, 0), 0);
}

// Names come in the user's order: accented letters beside their base letter,
// numbers by value, case aside.
TEST(ShellItems, NamesFollowTheUsersCollation) {
    const QLocale saved;
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    auto folder = [](std::string name) {
        support::ShellItem i;
        i.name = i.display = std::move(name);
        i.attributes = support::SFGAO_FILESYSTEM | support::SFGAO_FOLDER;
        return i;
    };
    std::vector<std::string> names = {"Zeitung", "Liste 10",  "ärger", "Apfel",
                                      "Liste 2", "Übersicht", "Birne", "Ärger"};
    std::sort(names.begin(), names.end(), [&](const std::string& a, const std::string& b) {
        return support::CompareItems(folder(a), folder(b), 0) < 0;
    });
    EXPECT_EQ(names, (std::vector<std::string>{"Apfel", "Ärger", "ärger", "Birne", "Liste 2",
                                               "Liste 10", "Übersicht", "Zeitung"}));
    QLocale::setDefault(saved);
}

class ShellFolder : public testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/corvane-items-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { fs::remove_all(dir_); }
    fs::path dir_;
};

TEST_F(ShellFolder, NormalisingGoesToTheDeepestExistingFolder) {
    fs::create_directories(dir_ / "a" / "b");
    std::ofstream(dir_ / "a" / "file.txt") << "x";
    const std::string a = (dir_ / "a").string();
    struct Case {
        std::string in;
        std::string out;
    };
    const Case cases[] = {
        {a, a},
        {a + "/", a},
        {a + "/file.txt", a},
        {a + "/missing/deeper", a},
        {(dir_ / "a" / "b").string() + "//", (dir_ / "a" / "b").string()},
        {dir_.string() + "\\a\\b", (dir_ / "a" / "b").string()},
        {"/", "/"},
        {"", ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(support::NormalizeFolderPath(c.in), c.out) << c.in;
    const fs::path cwd = fs::current_path();
    fs::current_path(dir_);
    EXPECT_EQ(support::NormalizeFolderPath("a/nothing"), a);
    fs::current_path(cwd);
}

TEST_F(ShellFolder, EnumerationFollowsTheFlagsAndAttributes) {
    fs::create_directories(dir_ / "sub" / "inner");
    fs::create_directory(dir_ / "empty");
    fs::create_directory(dir_ / ".hidden");
    std::ofstream(dir_ / "file.txt") << "hello";
    fs::create_symlink(dir_ / "file.txt", dir_ / "link.txt");
    auto names = [&](std::uint32_t flags) {
        std::vector<std::string> out;
        const auto items = support::EnumerateFolder(dir_, flags);
        for (const auto& item : *items)
            out.push_back(item.name);
        std::sort(out.begin(), out.end());
        return out;
    };
    EXPECT_EQ(names(support::SHCONTF_FOLDERS), (std::vector<std::string>{"empty", "sub"}));
    EXPECT_EQ(names(support::SHCONTF_FOLDERS | support::SHCONTF_INCLUDEHIDDEN),
              (std::vector<std::string>{".hidden", "empty", "sub"}));
    EXPECT_EQ(names(support::SHCONTF_NONFOLDERS),
              (std::vector<std::string>{"file.txt", "link.txt"}));
    EXPECT_FALSE(support::EnumerateFolder(dir_ / "missing", support::SHCONTF_FOLDERS));

    const auto sub = support::MakeItem(dir_ / "sub");
    EXPECT_TRUE(sub.attributes & support::SFGAO_FOLDER);
    EXPECT_TRUE(sub.attributes & support::SFGAO_HASSUBFOLDER);
    EXPECT_FALSE(support::MakeItem(dir_ / "empty").attributes & support::SFGAO_HASSUBFOLDER);
    const auto link = support::MakeItem(dir_ / "link.txt");
    EXPECT_TRUE(link.attributes & support::SFGAO_LINK);
    EXPECT_EQ(link.size, 5u);
    EXPECT_EQ(support::ItemAttributes(dir_ / "gone"), 0u);
}

TEST(ShellItems, VolumeMountPointsFromTheMountTable) {
    const std::string table =
        "proc /proc proc rw 0 0\n"
        "/dev/sdb1 /media/user/USB\\040STICK vfat rw 0 0\n"
        "/dev/sdc1 /run/media/user/Backup ext4 rw 0 0\n"
        "/dev/sdd1 /mnt/data ext4 rw 0 0\n"
        "tmpfs /mnt tmpfs rw 0 0\n"
        "garbage\n";
    EXPECT_EQ(
        support::VolumeMountPoints(table),
        (std::vector<std::string>{"/media/user/USB STICK", "/run/media/user/Backup", "/mnt/data"}));
}

}  // namespace
