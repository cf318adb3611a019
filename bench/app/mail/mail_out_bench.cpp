// A mail-out of 10,000 merged messages to a loopback SMTP sink, one message
// per recipient and in blind-copy batches, next to a minimal reference
// client: a plain loop sending the same messages over one connection to the
// same kind of sink. The mail-out should reach at least 90 % of the
// reference's rate.
//
// The sink is a Python program that writes three files a message, so both
// clients mostly wait for it and a busy machine moves the figures by a factor
// of two. Each run gets a fresh sink, the runs are repeated and interleaved
// at random, and the medians are the figures to compare. Run with
// TMPDIR=/dev/shm to keep the sink's files off the disk.

#include <benchmark/benchmark.h>

#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app/list/entry_processing.h"
#include "app/list/errors_list.h"
#include "app/list/list_database.h"
#include "app/list/settings.h"
#include "app/mail/mail_out.h"
#include "bench/app/mail/mail_bench_members.h"
#include "platform/config/registry_store.h"
#include "platform/mail/smtp_session.h"
#include "platform/ui/prompt.h"
#include "tests/platform/mail/peers.h"

namespace {

namespace fs = std::filesystem;

constexpr std::int64_t kRecipients = 10000;
constexpr const char* kText = "Dear %FULL_NAME%,\r\nthe news of this month for %EMAIL%.\r\n";
constexpr const char* kBatchText = "The news of this month.\r\n";

std::string Address(std::int64_t i) {
    return "member" + std::to_string(i) + "@example.org";
}

// The plain loop: one connection, one message per recipient or per batch of
// blind copies.
void Reference(benchmark::State& state) {
    const std::int64_t send_count = state.range(0);
    mail::testing::SmtpSink sink;
    for (auto _ : state) {
        mail::SmtpSession session;
        session.connect("127.0.0.1", sink.port(), "",
                        mail::SmtpSession::Clock::now() + std::chrono::seconds(40));
        mail::OutgoingMessage message;
        message.from = {"List", "list@example.org"};
        message.subject = "News";
        for (std::int64_t i = 0; i < kRecipients; ++i) {
            if (send_count == 1) {
                message.to = {{"", Address(i)}};
                message.body = app::MergeFields(kText, "Member " + std::to_string(i), "",
                                                Address(i), "07/12/2026");
            } else {
                message.bcc.push_back({"", Address(i)});
                if (static_cast<std::int64_t>(message.bcc.size()) < send_count &&
                    i + 1 < kRecipients)
                    continue;
                message.body = kBatchText;
            }
            session.send(message, mail::SmtpSession::Clock::now() + std::chrono::seconds(30));
            message.bcc.clear();
        }
        session.disconnect();
    }
    state.counters["messages/s"] = benchmark::Counter(
        static_cast<double>(kRecipients * state.iterations()), benchmark::Counter::kIsRate);
}

void MailOutRun(benchmark::State& state) {
    const std::int32_t send_count = static_cast<std::int32_t>(state.range(0));
    std::string pattern = (fs::temp_directory_path() / "corvane-bench-XXXXXX").string();
    const fs::path dir = ::mkdtemp(pattern.data());
    platform::config::RegistryHive::SetHiveFile(platform::config::HKEY_CURRENT_USER,
                                                dir / "registry.ini");
    ui::ScopedPromptService prompts(std::make_unique<ui::ScriptedPromptService>());
    app::Settings settings;
    settings.EmailMethod = app::kMethodSmtp;
    settings.SendCount = send_count;
    app::ErrorsList errors;
    app::ListDatabase database(settings, dir.string() + "/");
    app::EntryProcessor entries(database, settings, errors);
    database.OpenDatabase(dir.string() + "/");
    database.CreateTemporaryTables();
    app::bench::AddNewsMembers(database.tblCV(), kRecipients, Address);
    mail::testing::SmtpSink sink;
    app::MailContext context;
    context.mail_settings.smtp_host = "127.0.0.1";
    context.mail_settings.smtp_port = sink.port();
    context.mail_settings.from_address = "list@example.org";
    for (auto _ : state) {
        app::MailOut out(settings, database, context, &entries);
        out.subject = "News";
        out.text = send_count == 1 ? kText : kBatchText;
        out.Button2Click();
    }
    state.counters["messages/s"] = benchmark::Counter(
        static_cast<double>(kRecipients * state.iterations()), benchmark::Counter::kIsRate);
    database.DestroyTemporaryTables();
    database.CloseTables();
    fs::remove_all(dir);
}

BENCHMARK(Reference)
    ->Arg(1)
    ->Arg(500)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->Repetitions(3)
    ->ReportAggregatesOnly()
    ->UseRealTime();
BENCHMARK(MailOutRun)
    ->Arg(1)
    ->Arg(500)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->Repetitions(3)
    ->ReportAggregatesOnly()
    ->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    // Interleaving spreads the machine's changing load over both clients.
    std::vector<char*> args(argv, argv + argc);
    std::string interleave = "--benchmark_enable_random_interleaving=true";
    args.insert(args.begin() + 1, interleave.data());
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data()))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
