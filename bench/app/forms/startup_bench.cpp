// The program's start with a large list: from the start of a fresh process to the main
// window painted with its first screen of rows, and on until every row is loaded, with the
// process's CPU time and its peak memory. Each size runs in a child process of its own,
// so that the peak is the window's alone.
//
// Usage: startup_bench [entries...] (100000 and 1000000 by default). The list database of
// each size is made once in the temporary folder and used again by later runs.

#include <QApplication>
#include <QEvent>
#include <QTimer>

#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "app/forms/main_window.h"
#include "app/list/entry_processing.h"
#include "app/list/errors_list.h"
#include "app/list/list_database.h"
#include "app/list/settings.h"
#include "engine/dataset/strata_table.h"
#include "grid/data/db_grid.h"
#include "platform/config/registry_store.h"
#include "platform/ui/prompt.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

const char* const kCategories[] = {"news", "sport", "music", "travel", "tech"};

void SetEnvironment(const fs::path& dir) {
    setenv("CORVANE_HOME", (dir.string() + "/").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (dir / "config").c_str(), 1);
    setenv("XDG_RUNTIME_DIR", (dir / "run").c_str(), 1);
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    fs::create_directories(dir / "config");
    fs::create_directories(dir / "run");
    ::chmod((dir / "run").c_str(), 0700);
}

// The list database of `count` entries, made when the folder does not hold it yet.
fs::path PrepareList(std::int64_t count) {
    const fs::path dir = fs::temp_directory_path() / ("corvane-startup-" + std::to_string(count));
    if (fs::exists(dir / "complete"))
        return dir;
    fs::remove_all(dir);
    fs::create_directories(dir);
    SetEnvironment(dir);
    platform::config::RegistryHive::SetHiveFile(platform::config::HKEY_CURRENT_USER,
                                                dir / "config" / "Corvane" / "registry.ini");
    auto prompts = std::make_unique<ui::ScriptedPromptService>();
    prompts->Answer(ui::mrYes);
    ui::ScopedPromptService scope(std::move(prompts));
    const std::string home = dir.string() + "/";
    app::Settings settings;
    app::ListDatabase database(settings, home);
    database.OpenDatabase(home);
    strata::TStrataTable& t = database.tblCV();
    t.DisableControls();
    for (std::int64_t i = 0; i < count; ++i) {
        const std::string n = std::to_string(i);
        t.Append();
        t.FieldByName("Item")->SetAsString("member" + n + "@example" + std::to_string(i % 97) +
                                           ".org");
        t.FieldByName("Category")->SetAsString(kCategories[i % 5]);
        t.FieldByName("Bounces")->SetAsInteger(static_cast<std::int32_t>(i % 3));
        t.FieldByName("Comments")
            ->SetAsString("Import of entries from file \"list.txt\" at 09/12/2026 10:15:00");
        t.FieldByName("Name")->SetAsString("Member " + n);
        t.FieldByName("Salutation")->SetAsString("Member");
        t.FieldByName("SendRights")->SetAsBoolean(true);
        t.Post();
    }
    t.EnableControls();
    database.SaveDatabase();
    database.CloseTables();
    std::ofstream(dir / "complete") << count;
    return dir;
}

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

// Child: the program's own start, then the first paint of the grid with rows, then the
// moment the last row is in; it prints both times and ends without tearing down.
int RunWindow(int argc, char** argv) {
    const Clock::time_point start = Clock::now();
    QApplication application(argc, argv);
    const std::string home = std::string(getenv("CORVANE_HOME"));
    app::Settings settings;
    app::ErrorsList errors;
    app::ListDatabase database(settings, home);
    app::EntryProcessor entries(database, settings, errors);
    app::Tfrmmain window(home, {}, app::ListServices{settings, database, errors, entries});
    window.HoldGridUntilShown();
    if (!database.dmCVCreate()) {
        std::fprintf(stderr, "the list database did not open\n");
        return 2;
    }
    const std::int64_t expected = database.tblCV().RecordCount();
    double painted = -1;
    struct PaintWatch : QObject {
        std::function<void()> on_paint;
        bool eventFilter(QObject*, QEvent* event) override {
            if (event->type() == QEvent::Paint && on_paint)
                on_paint();
            return false;
        }
    } watch;
    grid::TgxDBGrid* grid = window.gxDBGrid1;
    auto finish = [&] {
        if (painted < 0 || grid->Count() < expected)
            return;
        std::printf("%.3f %.3f\n", painted, Seconds(Clock::now() - start));
        std::fflush(stdout);
        std::_Exit(0);
    };
    watch.on_paint = [&] {
        if (painted < 0 && (grid->Count() > 0 || expected == 0))
            painted = Seconds(Clock::now() - start);
    };
    grid->installEventFilter(&watch);
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, finish);
    poll.start(1);
    QTimer::singleShot(600'000, [] { std::_Exit(3); });
    window.Show();
    window.tmrGetEntries.Stop();
    return QApplication::exec();
}

double CpuSeconds(const rusage& usage) {
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--window") == 0)
        return RunWindow(argc, argv);
    std::vector<std::int64_t> sizes;
    for (int i = 1; i < argc; ++i)
        sizes.push_back(std::stoll(argv[i]));
    if (sizes.empty())
        sizes = {100'000, 1'000'000};
    std::printf("%-10s %10s %10s %10s %10s\n", "entries", "painted_s", "loaded_s", "cpu_s",
                "peak_mib");
    for (std::int64_t count : sizes) {
        const fs::path dir = PrepareList(count);
        SetEnvironment(dir);
        int out[2];
        if (::pipe(out) != 0)
            return 1;
        const pid_t child = ::fork();
        if (child == 0) {
            ::dup2(out[1], STDOUT_FILENO);
            ::close(out[0]);
            ::execl("/proc/self/exe", argv[0], "--window", static_cast<char*>(nullptr));
            std::_Exit(127);
        }
        ::close(out[1]);
        char buffer[128] = {};
        const ssize_t got = ::read(out[0], buffer, sizeof buffer - 1);
        ::close(out[0]);
        int status = 0;
        rusage usage{};
        ::wait4(child, &status, 0, &usage);
        double painted = 0;
        double loaded = 0;
        if (got <= 0 || std::sscanf(buffer, "%lf %lf", &painted, &loaded) != 2 ||
            !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            std::printf("%-10lld failed (status %d)\n", static_cast<long long>(count), status);
            continue;
        }
        std::printf("%-10lld %10.3f %10.3f %10.3f %10.1f\n", static_cast<long long>(count), painted,
                    loaded, CpuSeconds(usage), static_cast<double>(usage.ru_maxrss) / 1024.0);
        std::fflush(stdout);
    }
    return 0;
}
