// Processing request mails from a Maildir list folder into a list of 100,000
// entries: 1,000 and 10,000 requests (a mix of subscribes, unsubscribes,
// changes of address and delivery failures). Printed per run: mails per second
// (wall clock), CPU time per mail and syncs (fsync, fdatasync) per mail, the best
// of three runs each, since other work on the machine only ever adds to them. The
// program fails when the CPU time per mail at 10,000 is more than 1.2 times
// that at 1,000, or when fewer than 300 mails a second are handled at 10,000.

#include <benchmark/benchmark.h>

#include <dlfcn.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <string>

#include "app/list/entry_processing.h"
#include "app/list/errors_list.h"
#include "app/list/list_database.h"
#include "app/list/settings.h"
#include "app/mail/request_extraction.h"
#include "bench/app/list/list_bench_folder.h"
#include "platform/mail/mail_store.h"

namespace {

std::atomic<std::int64_t> g_syncs{0};

}  // namespace

// Every sync of the program passes here on its way to the C library, so the run can
// count them.
extern "C" int fsync(int fd) {
    static auto real = reinterpret_cast<int (*)(int)>(::dlsym(RTLD_NEXT, "fsync"));
    ++g_syncs;
    return real(fd);
}

extern "C" int fdatasync(int fd) {
    static auto real = reinterpret_cast<int (*)(int)>(::dlsym(RTLD_NEXT, "fdatasync"));
    ++g_syncs;
    return real(fd);
}

namespace {

namespace fs = std::filesystem;

constexpr std::int64_t kListEntries = 100'000;

struct RunCost {
    double wall_per_mail = 0;
    double cpu_per_mail = 0;
    double syncs_per_mail = 0;
};
std::map<std::int64_t, RunCost> g_costs;

std::string Request(std::int64_t n, const std::string& subject, const std::string& body = "") {
    return "From: User " + std::to_string(n) + " <u" + std::to_string(n) +
           "@example.org>\r\nTo: list@example.org\r\nSubject: " + subject +
           "\r\nDate: Tue, 01 Dec 2026 10:00:00 +0000\r\nContent-Type: text/plain\r\n\r\n" + body +
           "\r\n";
}

std::string Mail(std::int64_t i) {
    switch (i % 4) {
        case 0:
            return Request(i, "subscribe news");
        case 1:
            return Request(i - 1, "unsubscribe news");
        case 2:
            return Request(i, "change member" + std::to_string(i) + "@example.net v" +
                                  std::to_string(i) + "@example.org");
        default:
            return Request(i, "Undeliverable: news",
                           "Delivery to <member" + std::to_string(i) + "@example.net> failed.");
    }
}

double CpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// A database of kListEntries members, made once and copied for each run.
const fs::path& ListTemplate() {
    static const fs::path dir = [] {
        const fs::path made = bench_support::MakeListFolder();
        const auto answers = bench_support::AnswerYes();
        app::Settings settings;
        app::ListDatabase database(settings, made.string() + "/");
        database.OpenDatabase(made.string() + "/");
        strata::TStrataTable& t = database.tblCV();
        for (std::int64_t i = 0; i < kListEntries; ++i) {
            t.Append();
            t.FieldByName("Item")->SetAsString("member" + std::to_string(i) + "@example.net");
            t.FieldByName("Category")->SetAsString(i % 2 == 0 ? "news" : "sport");
            t.FieldByName("Bounces")->SetAsInteger(0);
            t.Post();
        }
        database.SaveDatabase();
        return made;
    }();
    return dir;
}

void RequestRun(benchmark::State& state) {
    const std::int64_t count = state.range(0);
    RunCost cost{1e9, 1e9, 0};
    for (auto _ : state) {
        state.PauseTiming();
        const fs::path& list = ListTemplate();
        const fs::path dir = bench_support::MakeListFolder();
        for (const auto& entry : fs::directory_iterator(list)) {
            const std::string file = entry.path().filename().string();
            if (file.starts_with("mail"))
                fs::copy_file(entry.path(), dir / file);
        }
        const auto answers = bench_support::AnswerYes();
        app::Settings settings;
        settings.FailedMail = true;
        settings.MaintainLog = true;
        app::ErrorsList errors;
        {
            auto store = mail::MailStore::OpenMaildir({}, dir / "Mail", "MailingList");
            mail::Folder& folder = store->Root(1).SubFolder("MailingList");
            for (std::int64_t i = count - 1; i >= 0; --i)
                folder.AppendMessage(Mail(i), false);
        }
        {
            app::ListDatabase database(settings, dir.string() + "/");
            app::EntryProcessor entries(database, settings, errors);
            database.OpenDatabase(dir.string() + "/");
            if (database.tblCV().RecordCount() != kListEntries)
                state.SkipWithError("the list was not copied");
            auto store = mail::MailStore::OpenMaildir({}, dir / "Mail", "MailingList");
            app::ExtractEntries run(entries, *store, nullptr);
            const std::int64_t syncs = g_syncs;
            const double cpu = CpuSeconds();
            const auto start = std::chrono::steady_clock::now();
            state.ResumeTiming();
            run.OpenBtnClick();
            state.PauseTiming();
            const double mails = static_cast<double>(count);
            cost.wall_per_mail = std::min(
                cost.wall_per_mail,
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() /
                    mails);
            cost.cpu_per_mail = std::min(cost.cpu_per_mail, (CpuSeconds() - cpu) / mails);
            cost.syncs_per_mail += static_cast<double>(g_syncs - syncs);
            if (run.HandledCount() != count)
                state.SkipWithError("not every request was handled");
        }
        std::error_code ignored;
        fs::current_path(fs::temp_directory_path(), ignored);
        fs::remove_all(dir, ignored);
        state.ResumeTiming();
    }
    cost.syncs_per_mail /= static_cast<double>(state.iterations() * count);
    g_costs[count] = cost;
    state.counters["mails_per_second"] = 1.0 / cost.wall_per_mail;
    state.counters["cpu_us_per_mail"] = cost.cpu_per_mail * 1e6;
    state.counters["syncs_per_mail"] = cost.syncs_per_mail;
}

BENCHMARK(RequestRun)->Arg(1000)->Arg(10000)->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    {
        std::error_code ignored;
        fs::remove_all(ListTemplate(), ignored);
    }
    if (g_costs.count(1000) == 0 || g_costs.count(10000) == 0)
        return 0;
    const RunCost& small = g_costs[1000];
    const RunCost& large = g_costs[10000];
    const double ratio = large.cpu_per_mail / small.cpu_per_mail;
    const double rate = 1.0 / large.wall_per_mail;
    std::printf("list of %lld entries\n", static_cast<long long>(kListEntries));
    for (const auto& [count, cost] : g_costs) {
        std::printf("%6lld mails: %7.1f mails/s wall, %6.3f ms CPU per mail, %.3f syncs per mail\n",
                    static_cast<long long>(count), 1.0 / cost.wall_per_mail,
                    cost.cpu_per_mail * 1e3, cost.syncs_per_mail);
    }
    std::printf("CPU per mail at 10000 / at 1000: %.2f (limit 1.20)\n", ratio);
    std::printf("mails per second at 10000: %.1f (at least 300)\n", rate);
    return ratio <= 1.2 && rate >= 300 ? 0 : 1;
}
