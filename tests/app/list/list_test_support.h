#pragma once

// A program directory of its own for each test: the registry in it, scripted
// answers for every box, and the list database, settings, errors list and
// entry routines over a database folder inside it.

#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/list/entry_processing.h"
#include "app/list/errors_list.h"
#include "app/list/list_database.h"
#include "app/list/settings.h"
#include "platform/config/registry_store.h"
#include "platform/ui/prompt.h"

namespace app::testing_support {

namespace fs = std::filesystem;

class ProgramDir {
  public:
    ProgramDir() {
        std::string pattern = (fs::temp_directory_path() / "corvane-app-XXXXXX").string();
        path_ = ::mkdtemp(pattern.data());
        platform::config::RegistryHive::SetHiveFile(platform::config::HKEY_CURRENT_USER,
                                                    path_ / "registry.ini");
    }
    ~ProgramDir() {
        std::error_code ignored;
        fs::current_path(fs::temp_directory_path(), ignored);
        fs::remove_all(path_, ignored);
    }
    std::string Dir() const { return path_.string() + "/"; }
    std::string File(const std::string& name) const { return (path_ / name).string(); }
    static std::string Read(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream out;
        out << in.rdbuf();
        return out.str();
    }
    static std::vector<std::string> Lines(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);) {
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            lines.push_back(line);
        }
        return lines;
    }

  private:
    fs::path path_;
};

// A small file system of the test's own (read-only with MS_RDONLY), unmounted on every way
// out. Only root can mount one: a test skips when it is not mounted.
struct SmallDisk {
    SmallDisk(std::string folder, unsigned long flags = 0, const char* size = "size=1m")
        : dir(std::move(folder)) {
        fs::create_directories(dir);
        mounted = ::mount("tmpfs", dir.c_str(), "tmpfs", flags, size) == 0;
    }
    ~SmallDisk() {
        if (mounted)
            ::umount2(dir.c_str(), MNT_DETACH);
    }
    void FillLeaving(std::uintmax_t room) const {
        std::ofstream(dir + "/filler") << std::string(fs::space(dir).available - room, 'f');
    }
    std::string dir;
    bool mounted = false;
};

// Runs body in a child process to its end (a failure said on stderr), or kills it with
// SIGKILL kill_after its start (when not negative); true when the kill ended it.
template <class Body>
bool InChild(Body body, std::chrono::microseconds kill_after = std::chrono::microseconds(-1)) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        try {
            body();
        } catch (const std::exception& e) {
            std::cerr << "the child failed: " << e.what() << "\n";
            ::_exit(1);
        }
        ::_exit(0);
    }
    if (kill_after.count() >= 0) {
        std::this_thread::sleep_for(kill_after);
        ::kill(pid, SIGKILL);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFSIGNALED(status);
}

class ListTest : public ::testing::Test {
  protected:
    ListTest() {
        auto service = std::make_unique<ui::ScriptedPromptService>();
        prompts = service.get();
        scope_ = std::make_unique<ui::ScopedPromptService>(std::move(service));
        database = std::make_unique<ListDatabase>(settings, program.Dir());
        entries = std::make_unique<EntryProcessor>(*database, settings, errors);
    }
    ~ListTest() override {
        entries.reset();
        database.reset();
    }

    // Opens (creating) the list database in the program directory.
    void OpenNew() {
        prompts->Answer(ui::mrYes);
        ASSERT_TRUE(database->OpenDatabase(program.Dir())) << AskedTexts();
    }

    std::string AskedTexts() const {
        std::string texts;
        for (const ui::PromptRequest& r : prompts->Asked())
            texts += r.text + "\n";
        return texts;
    }

    // Every row of the list as "item|category".
    std::vector<std::string> Rows() {
        std::vector<std::string> rows;
        strata::TStrataTable& t = database->tblCV();
        t.First();
        while (!t.Eof()) {
            rows.push_back(t.FieldByName("Item")->AsString() + "|" +
                           t.FieldByName("Category")->AsString());
            t.Next();
        }
        return rows;
    }
    std::vector<std::string> Log() { return ProgramDir::Lines(program.File("log.txt")); }

    ProgramDir program;
    ui::ScriptedPromptService* prompts = nullptr;
    Settings settings;
    ErrorsList errors;
    std::unique_ptr<ListDatabase> database;
    std::unique_ptr<EntryProcessor> entries;

  private:
    std::unique_ptr<ui::ScopedPromptService> scope_;
};

}  // namespace app::testing_support
