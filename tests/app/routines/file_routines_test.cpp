#include "app/routines/file_routines.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/routines/error.h"
#include "platform/db/exception.h"
#include "platform/db/string_list.h"
#include "platform/ui/prompt.h"

namespace app {
namespace {

namespace fs = std::filesystem;

class FileRoutines : public ::testing::Test {
  protected:
    FileRoutines() {
        std::string pattern = (fs::temp_directory_path() / "appfileXXXXXX").string();
        dir_ = ::mkdtemp(pattern.data());
        auto service = std::make_unique<ui::ScriptedPromptService>();
        prompts_ = service.get();
        scope_ = std::make_unique<ui::ScopedPromptService>(std::move(service));
    }
    ~FileRoutines() override {
        scope_.reset();
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }

    std::string Path(const std::string& name) const { return (dir_ / name).string(); }
    void Touch(const std::string& name) const { std::ofstream(dir_ / name) << "x"; }
    static std::string Read(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream out;
        out << in.rdbuf();
        return out.str();
    }

    fs::path dir_;
    ui::ScriptedPromptService* prompts_ = nullptr;
    std::unique_ptr<ui::ScopedPromptService> scope_;
};

TEST_F(FileRoutines, PathDelimiterAndNameParts) {
    const std::vector<std::pair<std::string, std::string>> delimiter = {
        {"/data/list", "/data/list/"},
        {"/data/list/", "/data/list/"},
        {"C:\\Mail\\", "C:\\Mail\\"},
        {"  /data  ", "/data/"},
        {"", ""},
        {"   ", ""},
    };
    for (const auto& [path, expected] : delimiter) {
        EXPECT_EQ(AppendPathDelimiter(path), expected) << path;
    }
    struct NameCase {
        std::string path, name, ext, without_ext;
    };
    const std::vector<NameCase> names = {
        {"/a/b/list.csv", "list.csv", ".csv", "list"},
        {"C:\\dir.x\\list", "list", "", "list"},
        {"backup.tar.gz", "backup.tar.gz", ".gz", "backup.tar"},
        {"/a/b/", "", "", ""},
        {"name.", "name.", ".", "name"},
    };
    for (const auto& c : names) {
        EXPECT_EQ(ExtractFileName(c.path), c.name) << c.path;
        EXPECT_EQ(ExtractFileExt(c.path), c.ext) << c.path;
        EXPECT_EQ(FileNameWithoutExt(c.path), c.without_ext) << c.path;
    }
    EXPECT_TRUE(SameFileExtension("a/LIST.Csv", ".csv"));
    EXPECT_FALSE(SameFileExtension("list.csv", ".txt"));
    EXPECT_FALSE(SameFileExtension("list", ".txt"));
}

TEST_F(FileRoutines, ExtensionMasks) {
    const std::vector<std::tuple<std::string, std::string, bool>> cases = {
        {"a.txt", "*.*", true},
        {"noext", "*.*;", true},
        {"README.TXT", "*.txt;*.htm;*.html", true},
        {"page.Html", "*.txt;*.htm;*.html", true},
        {"page.htmx", "*.txt;*.htm;*.html", false},
        {"a.xtxt", "*.txt", false},
        {"noext", "*.txt", false},
        {"noext", "*.aaa", true},  // a missing extension counts as ".AAA"
        {"dot.", "*.AAA", true},
    };
    for (const auto& [name, masks, expected] : cases) {
        EXPECT_EQ(MatchesExtensionList(name, masks), expected) << name << " " << masks;
    }
}

TEST_F(FileRoutines, MakeUniqueFileNameSkipsExistingNames) {
    const std::string list = Path("list.csv");
    EXPECT_EQ(MakeUniqueFileName(list, ""), list);
    Touch("list.csv");
    EXPECT_EQ(MakeUniqueFileName(list, ""), Path("list_2.csv"));
    EXPECT_EQ(MakeUniqueFileName(list, "-"), Path("list-2.csv"));
    Touch("list_2.csv");
    Touch("LIST_3.CSV");  // names are compared as the file layer compares them
    EXPECT_EQ(MakeUniqueFileName(list, "_"), Path("list_4.csv"));
    // With every candidate taken the routine fails rather than hand back a name
    // in use, which the caller would overwrite.
    EXPECT_THROW(MakeUniqueFileName(list, "_", 3), EError);
    EXPECT_EQ(MakeUniqueFileName(list, "_", 4), Path("list_4.csv"));
    fs::create_directory(dir_ / "folder");
    EXPECT_EQ(MakeUniqueFileName(Path("folder"), "_"), Path("folder_2"));
    // A backslash is a folder separator too.
    const std::string windows_style = dir_.string() + "\\list.csv";
    EXPECT_EQ(MakeUniqueFileName(windows_style, ""), Path("list_4.csv"));

    const std::string copy = MakeTempCopyName("/elsewhere/list.csv");
    EXPECT_EQ(ExtractFileName(copy), "list.csv");
    EXPECT_EQ(copy.rfind(GetTempDir(), 0), 0u);
}

TEST_F(FileRoutines, SaveTextFileAppendsOrReplaces) {
    const std::string log = Path("log.txt");
    EXPECT_TRUE(SaveTextFile(log, "first", false));
    EXPECT_TRUE(SaveTextFile(log, "second", false));
    EXPECT_EQ(Read(log), "first\nsecond\n");
    EXPECT_TRUE(SaveTextFile(log, "fresh", true));
    EXPECT_EQ(Read(log), "fresh\n");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1);
    EXPECT_THROW(SaveTextFile(Path("missing/log.txt"), "x", false), db::EInOutError);
    EXPECT_THROW(SaveTextFile(Path("missing/log.txt"), "x", true), db::EInOutError);
}

TEST_F(FileRoutines, EnsureFolderAsksCreatesAndReports) {
    // Roots and empty names give false without a question.
    for (const char* dir : {"", "/", "c:\\", "C:", "d:/", "  "}) {
        EXPECT_FALSE(EnsureFolder(dir, true, true)) << dir;
    }
    EXPECT_TRUE(prompts_->Asked().empty());

    // An existing folder needs no question.
    EXPECT_TRUE(EnsureFolder(dir_.string(), true, true));
    EXPECT_TRUE(prompts_->Asked().empty());

    const std::string target = Path("a/b/c");
    prompts_->Answer(ui::mrCancel);
    EXPECT_FALSE(EnsureFolder(target, true, true));
    ASSERT_EQ(prompts_->Asked().size(), 1u);
    EXPECT_EQ(prompts_->Asked()[0].text,
              "The folder, " + target + " does not exist.  Would you like to create it?");
    EXPECT_EQ(prompts_->Asked()[0].type, ui::mtInformation);
    EXPECT_EQ(prompts_->Asked()[0].buttons, ui::mbOKCancel);
    EXPECT_FALSE(fs::exists(target));

    prompts_->Answer(ui::mrOk);
    EXPECT_TRUE(EnsureFolder(target, true, true));
    EXPECT_TRUE(fs::is_directory(target));

    // Short Linux paths are folders like any other.
    EXPECT_TRUE(EnsureFolder(Path("x"), false, false));
    EXPECT_TRUE(fs::is_directory(Path("x")));

    Touch("file");
    const std::string blocked = Path("file/sub");
    EXPECT_FALSE(EnsureFolder(blocked, false, true));
    ASSERT_EQ(prompts_->Asked().size(), 3u);
    EXPECT_EQ(prompts_->Asked()[2].text,
              "An error was encountered while creating the folder, " + blocked);
    EXPECT_EQ(prompts_->Asked()[2].type, ui::mtWarning);
    EXPECT_FALSE(EnsureFolder(blocked, false, false));
    EXPECT_EQ(prompts_->Asked().size(), 3u);
    EXPECT_EQ(prompts_->Unscripted(), 1);  // the warning box, answered with OK
}

TEST_F(FileRoutines, ScanFolderFilesListsMatchingEntries) {
    for (const char* name : {"b.txt", "a.TXT", "page.htm", "c.doc", "noext"}) {
        Touch(name);
    }
    fs::create_directory(dir_ / "sub.txt");
    std::ofstream(dir_ / "sub.txt" / "inner.txt") << "x";
    db::TStringList list;
    list.Add("stale");
    ASSERT_TRUE(ScanFolderFiles(list, dir_.string(), "*.txt;*.htm", false, false));
    EXPECT_EQ(list.ToVector(), (std::vector<std::string>{"a.TXT", "b.txt", "page.htm", "sub.txt"}));
    ASSERT_TRUE(ScanFolderFiles(list, dir_.string() + "/", "*.txt", true, false));
    EXPECT_EQ(list.ToVector(),
              (std::vector<std::string>{Path("a.TXT"), Path("b.txt"), Path("sub.txt")}));
    ASSERT_TRUE(ScanFolderFiles(list, dir_.string(), "*.*", false, true));
    EXPECT_EQ(list.ToVector(), (std::vector<std::string>{"a", "b", "c", "noext", "page", "sub"}));
    EXPECT_TRUE(prompts_->Asked().empty());

    const std::string missing = Path("missing");
    EXPECT_FALSE(ScanFolderFiles(list, missing, "*.*", false, false));
    EXPECT_EQ(list.Count(), 0);
    ASSERT_EQ(prompts_->Asked().size(), 1u);
    EXPECT_EQ(prompts_->Asked()[0].text, "Unable to change to the directory, " + missing + ".");
    EXPECT_EQ(prompts_->Asked()[0].type, ui::mtInformation);
}

TEST_F(FileRoutines, DirectoryExistsQuiet) {
    EXPECT_TRUE(DirectoryExistsQuiet(dir_.string()));
    EXPECT_FALSE(DirectoryExistsQuiet(Path("missing")));
    Touch("file");
    EXPECT_FALSE(DirectoryExistsQuiet(Path("file")));
    EXPECT_FALSE(DirectoryExistsQuiet(""));
}

TEST(AppError, BothSpellingsAreOneClassUnderTheCommonBase) {
    try {
        throw eerror("Er");
    } catch (const EError& error) {
        const db::Exception& base = error;
        EXPECT_EQ(base.Message(), "Er");
    }
}

}  // namespace
}  // namespace app
