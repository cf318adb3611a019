// Processing request mails from a Maildir list folder: mails per second at
// 1,000 and 10,000 requests (a mix of subscribes, unsubscribes, changes of
// address and delivery failures), and the cost per mail at 10,000 against
// the cost at 1,000, which must stay within 1.2 times.

#include <benchmark/benchmark.h>

#include <stdlib.h>

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
#include "platform/config/registry_store.h"
#include "platform/mail/mail_store.h"
#include "platform/ui/prompt.h"

namespace {

namespace fs = std::filesystem;

std::map<std::int64_t, double> g_seconds_per_mail;

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
            return Request(i, "change u" + std::to_string(i - 2) + "@example.org v" +
                                  std::to_string(i - 2) + "@example.org");
        default:
            return Request(i, "Undeliverable: news",
                           "Delivery to <v" + std::to_string(i - 3) + "@example.org> failed.");
    }
}

void RequestRun(benchmark::State& state) {
    const std::int64_t count = state.range(0);
    double seconds = 0;
    for (auto _ : state) {
        state.PauseTiming();
        std::string pattern = (fs::temp_directory_path() / "corvane-bench-XXXXXX").string();
        const fs::path dir = ::mkdtemp(pattern.data());
        platform::config::RegistryHive::SetHiveFile(platform::config::HKEY_CURRENT_USER,
                                                    dir / "registry.ini");
        ui::ScopedPromptService prompts(std::make_unique<ui::ScriptedPromptService>());
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
            auto store = mail::MailStore::OpenMaildir({}, dir / "Mail", "MailingList");
            app::ExtractEntries run(entries, *store, nullptr);
            const auto start = std::chrono::steady_clock::now();
            state.ResumeTiming();
            run.OpenBtnClick();
            state.PauseTiming();
            seconds +=
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            if (run.HandledCount() != count)
                state.SkipWithError("not every request was handled");
        }
        std::error_code ignored;
        fs::current_path(fs::temp_directory_path(), ignored);
        fs::remove_all(dir, ignored);
        state.ResumeTiming();
    }
    const double per_mail = seconds / static_cast<double>(state.iterations() * count);
    g_seconds_per_mail[count] = per_mail;
    state.counters["mails_per_second"] = 1.0 / per_mail;
    state.counters["us_per_mail"] = per_mail * 1e6;
}

BENCHMARK(RequestRun)->Arg(1000)->Arg(10000)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (g_seconds_per_mail.count(1000) != 0 && g_seconds_per_mail.count(10000) != 0) {
        const double ratio = g_seconds_per_mail[10000] / g_seconds_per_mail[1000];
        std::printf("cost per mail at 10000 / at 1000: %.2f (limit 1.20)\n", ratio);
        return ratio <= 1.2 ? 0 : 1;
    }
    return 0;
}
