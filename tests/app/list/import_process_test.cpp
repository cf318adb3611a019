// An import of a large file as a real process: killed at random moments, and on a full disk.

#include <algorithm>
#include <random>
#include <regex>

#include "app/list/import_file.h"
#include "tests/app/list/list_test_support.h"

namespace app {
namespace {

using testing_support::InChild;
using testing_support::ProgramDir;
constexpr int kOld = 2000;
constexpr int kNew = 100000;

// Opens the list in dir as a start does and imports file into it (none there: imports
// nothing); the boxes it showed and its refusals go to file.boxes. Run in a child.
void RunImport(const std::string& dir, const std::string& file) {
    ::setenv("TMPDIR", dir.c_str(), 1);
    auto scripted = std::make_unique<ui::ScriptedPromptService>();
    const ui::ScriptedPromptService& asked = *scripted;
    ui::ScopedPromptService prompts(std::move(scripted));
    Settings settings;
    settings.MaintainLog = false;
    ErrorsList errors;
    ImportRequest request;
    request.show_done = true;
    request.category = "news";
    {
        ListDatabase database(settings, dir);
        EntryProcessor entries(database, settings, errors);
        if (database.OpenDatabase(dir) && std::filesystem::exists(file))
            Importfile(entries, ImportLines(ReadImportFile(file)), request, {});
    }
    std::ofstream report(file + ".boxes");
    for (const ui::PromptRequest& box : asked.Asked())
        report << box.text << "\n";
    report << errors.Lines().size() << " refused\n";
}

// The list in dir with kOld old rows, and file of kNew new addresses.
void MakeList(const std::string& dir, const std::string& file) {
    {
        std::ofstream old(file + ".old"), out(file);
        for (int i = 0; i < kNew; ++i) {
            if (i < kOld)
                old << "old" << i << "@example.org\n";
            out << "new" << i << "@example.org\n";
        }
    }
    InChild([&] { RunImport(dir, file + ".old"); });
}

// After a start that imported nothing: the boxes it showed, and how many of the new
// addresses the list holds, checking that they are the file's first ones.
std::pair<std::string, long> NextStart(const std::string& dir) {
    InChild([&] { RunImport(dir, dir + "start"); });
    ui::ScopedPromptService prompts(std::make_unique<ui::ScriptedPromptService>());
    Settings settings;
    ListDatabase database(settings, dir, "Checker");
    EXPECT_TRUE(database.OpenDatabase(dir));
    strata::TStrataTable& t = database.tblCV();
    int old_rows = 0;
    std::vector<bool> present(kNew);
    for (t.First(); !t.Eof(); t.Next()) {
        const std::string item = t.FieldByName("Item")->AsString();
        if (item.starts_with("old"))
            ++old_rows;
        else
            present.at(std::stoi(item.substr(3))) = true;
    }
    EXPECT_EQ(old_rows, kOld);
    EXPECT_TRUE(std::ranges::is_partitioned(present, std::identity{})) << "not a prefix";
    return {ProgramDir::Read(dir + "start.boxes"), std::ranges::count(present, true)};
}

// Killed at random moments, the import leaves a list that the next start opens without a
// box, holding every old row and the file's first new ones; importing again completes it.
TEST(ImportProcess, KilledImportLeavesASoundListThatImportingAgainCompletes) {
    ProgramDir program;
    const std::string dir = program.Dir(), file = program.File("new.txt");
    MakeList(dir, file);
    std::mt19937 random(20261211);
    std::uniform_int_distribution<int> delay_ms(500, 10000);
    int kills = 0;
    for (int round = 0; round < 6; ++round) {
        kills +=
            InChild([&] { RunImport(dir, file); }, std::chrono::milliseconds(delay_ms(random)));
        const auto [boxes, prefix] = NextStart(dir);
        EXPECT_EQ(boxes, "0 refused\n") << "round " << round << ", " << prefix << " new rows";
    }
    EXPECT_EQ(kills, 6);
    InChild([&] { RunImport(dir, file); });
    EXPECT_EQ(NextStart(dir).second, kNew);
}

// On a full disk the import stops at the first write refused, says why and how far it
// came, and nothing it reports saved is missing from the list.
TEST(ImportProcess, FullDiskStopsTheImportWithItsCauseAndCount) {
    ProgramDir program;
    const std::string dir = program.File("small") + "/", file = program.File("new.txt");
    const testing_support::SmallDisk disk(dir, 0, "size=16m");
    if (!disk.mounted)
        GTEST_SKIP() << "a full disk needs a file system of its own, which only root can mount";
    MakeList(dir, file);
    disk.FillLeaving(6000000);
    InChild([&] { RunImport(dir, file); });
    const std::string boxes = ProgramDir::Read(file + ".boxes");
    std::smatch saved;
    ASSERT_TRUE(std::regex_match(
        boxes, saved,
        std::regex(
            R"([\s\S]*No space left on device\r\n\r\nThe disk that holds the list is )"
            R"(full\.\r\n\r\n([0-9]+) of the file's 100000 lines are applied.*\n[01] refused\n)")))
        << boxes;
    EXPECT_EQ(boxes.find("has been completed"), std::string::npos) << boxes;
    std::filesystem::remove(dir + "filler");
    EXPECT_GE(NextStart(dir).second, std::stoi(saved[1]));
}

}  // namespace
}  // namespace app
