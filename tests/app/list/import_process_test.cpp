// An import of a large file as a real process: killed at random moments, and on a full disk.

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "app/list/import_file.h"
#include "tests/app/list/list_test_support.h"

namespace app {
namespace {

using testing_support::ProgramDir;
constexpr int kOld = 2000;
constexpr int kNew = 100000;

std::string Address(int i) {
    return "new" + std::to_string(i) + "@example.org";
}

std::string BoxesOf(const std::string& dir, const std::string& file) {
    return (file.empty() ? dir + "start" : file) + ".boxes";
}

// Opens the list in dir as a start does and imports file into it (file empty: imports
// nothing); the boxes it showed and its refusals go beside the file. In a child process.
[[noreturn]] void RunImport(const std::string& dir, const std::string& file) {
    ::setenv("TMPDIR", dir.c_str(), 1);
    auto scripted = std::make_unique<ui::ScriptedPromptService>();
    const ui::ScriptedPromptService& asked = *scripted;
    ui::ScopedPromptService prompts(std::move(scripted));
    Settings settings;
    settings.MaintainLog = false;
    ErrorsList errors;
    std::string failure;
    try {
        ListDatabase database(settings, dir);
        EntryProcessor entries(database, settings, errors);
        if (database.OpenDatabase(dir) && !file.empty()) {
            ImportRequest request;
            request.show_done = true;
            request.category = "news";
            Importfile(entries, ImportLines(ReadImportFile(file)), request, {});
        }
    } catch (const std::exception& e) {
        failure = std::string("error: ") + e.what() + "\n";
    }
    {
        std::ofstream report(BoxesOf(dir, file));
        for (const ui::PromptRequest& box : asked.Asked())
            report << box.text << "\n";
        report << failure << errors.Lines().size() << " refused\n";
    }
    ::_exit(0);
}

pid_t Start(const std::string& dir, const std::string& file) {
    const pid_t pid = ::fork();
    if (pid == 0)
        RunImport(dir, file);
    return pid;
}

void Wait(pid_t pid) {
    int status = 0;
    ::waitpid(pid, &status, 0);
}

// The list in dir with kOld old rows, and a file of kNew new addresses beside it.
std::string MakeList(const std::string& dir) {
    std::ofstream(dir + "old.txt") << [] {
        std::string text;
        for (int i = 0; i < kOld; ++i)
            text += "old" + std::to_string(i) + "@example.org\n";
        return text;
    }();
    Wait(Start(dir, dir + "old.txt"));
    std::ofstream out(dir + "new.txt");
    for (int i = 0; i < kNew; ++i)
        out << Address(i) << "\n";
    return dir + "new.txt";
}

// After a start that imported nothing: the boxes it showed, and how many of the new
// addresses the list holds, checking that they are the file's first ones.
std::pair<std::string, int> NextStart(const std::string& dir) {
    Wait(Start(dir, ""));
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
    const int prefix =
        static_cast<int>(std::find(present.begin(), present.end(), false) - present.begin());
    EXPECT_EQ(std::count(present.begin(), present.end(), true), prefix) << "not a prefix";
    return {ProgramDir::Read(BoxesOf(dir, "")), prefix};
}

// Killed at random moments, the import leaves a list that the next start opens without a
// box, holding every old row and the file's first new ones; importing again completes it.
TEST(ImportProcess, KilledImportLeavesASoundListThatImportingAgainCompletes) {
    ProgramDir program;
    const std::string file = MakeList(program.Dir());
    std::mt19937 random(20261211);
    std::uniform_int_distribution<int> delay_ms(500, 10000);
    int kills = 0;
    for (int round = 0; round < 6; ++round) {
        const pid_t pid = Start(program.Dir(), file);
        std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms(random)));
        kills += ::kill(pid, SIGKILL) == 0;
        Wait(pid);
        const auto [boxes, prefix] = NextStart(program.Dir());
        EXPECT_EQ(boxes, "0 refused\n") << "round " << round << ", " << prefix << " new rows";
        EXPECT_FALSE(std::filesystem::exists(program.File(std::string(kImportMarkFile))));
    }
    EXPECT_EQ(kills, 6);
    Wait(Start(program.Dir(), file));
    EXPECT_EQ(NextStart(program.Dir()).second, kNew);
}

// On a full disk the import stops at the first write refused, says why and how far it
// came, and nothing it reports saved is missing from the list.
TEST(ImportProcess, FullDiskStopsTheImportWithItsCauseAndCount) {
    ProgramDir program;
    const std::string dir = program.File("small") + "/";
    const testing_support::SmallDisk disk(dir, 0, "size=16m");
    if (!disk.mounted)
        GTEST_SKIP() << "a full disk needs a file system of its own, which only root can mount";
    const std::string file = program.File("new.txt");
    std::filesystem::copy_file(MakeList(dir), file);
    std::filesystem::remove(dir + "new.txt");
    disk.FillLeaving(6000000);
    Wait(Start(dir, file));
    const std::string boxes = ProgramDir::Read(BoxesOf(dir, file));
    EXPECT_NE(boxes.find("No space left on device\r\n\r\nThe disk that holds the list is full."),
              std::string::npos)
        << boxes;
    EXPECT_EQ(boxes.find("has been completed"), std::string::npos) << boxes;
    EXPECT_TRUE(boxes.ends_with("\n0 refused\n") || boxes.ends_with("\n1 refused\n")) << boxes;
    const std::size_t at = boxes.find(" of the file's 100000 lines are applied");
    ASSERT_NE(at, std::string::npos) << boxes;
    const int saved = std::stoi(boxes.substr(boxes.rfind('\n', at) + 1));
    std::filesystem::remove(dir + "filler");
    EXPECT_GE(NextStart(dir).second, saved);
}

}  // namespace
}  // namespace app
