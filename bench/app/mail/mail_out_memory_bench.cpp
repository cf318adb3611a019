// The memory a mail-out takes for a large attachment: a 20 MB file sent to
// ten members, merged one message each, over SMTP to a loopback sink, by the
// relay (a DNS stub names the same sink as every member's mail host) and
// through the mail store. The figure is the growth of the process's resident
// peak over the run, divided by the attachment's size; the encoded file is a
// third larger than the file itself, so about 1.4 is the least a run that
// holds the encoding once can take. Each run is a child process of its own.
// Run with TMPDIR=/dev/shm to keep the files off the disk.

#include <benchmark/benchmark.h>

#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>

#include "app/list/entry_processing.h"
#include "app/list/errors_list.h"
#include "app/list/list_database.h"
#include "app/list/settings.h"
#include "app/mail/mail_out.h"
#include "bench/app/mail/mail_bench_members.h"
#include "platform/config/registry_store.h"
#include "platform/mail/mail_store.h"
#include "platform/mail/relay_library.h"
#include "platform/ui/prompt.h"
#include "tests/platform/mail/peers.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr std::int64_t kMembers = 10;
constexpr std::size_t kAttachmentBytes = 20 * 1024 * 1024;

// A kB figure of /proc/self/status.
double StatusKiB(const std::string& key) {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind(key + ":", 0) == 0)
            return std::stod(line.substr(key.size() + 1));
    }
    return 0;
}

// Starts a fresh resident peak at the current size.
void ResetPeak() {
    std::ofstream("/proc/self/clear_refs") << "5";
}

// The mail-out in this process; returns the growth of the resident peak in
// bytes, or -1 when not every member got the message.
double RunMailOut(int method) {
    std::string pattern = (fs::temp_directory_path() / "corvane-bench-XXXXXX").string();
    const fs::path dir = ::mkdtemp(pattern.data());
    platform::config::RegistryHive::SetHiveFile(platform::config::HKEY_CURRENT_USER,
                                                dir / "registry.ini");
    ui::ScopedPromptService prompts(std::make_unique<ui::ScriptedPromptService>());
    {
        std::mt19937 random(7);
        std::string bytes(kAttachmentBytes, '\0');
        for (char& c : bytes)
            c = static_cast<char>(random());
        std::ofstream(dir / "report.bin", std::ios::binary) << bytes;
    }
    app::Settings settings;
    settings.EmailMethod = method;
    settings.SendCount = 1;
    settings.AlwaysResolveAddresses = false;
    app::ErrorsList errors;
    app::ListDatabase database(settings, dir.string() + "/");
    app::EntryProcessor entries(database, settings, errors);
    database.OpenDatabase(dir.string() + "/");
    database.CreateTemporaryTables();
    app::bench::AddNewsMembers(database.tblCV(), kMembers, [](std::int64_t i) {
        return "member" + std::to_string(i) + "@example.test";
    });
    mail::testing::SmtpSink sink("discard");
    mail::testing::DnsStub dns("example.test MX 10 mx.example.test\nmx.example.test A 127.0.0.1\n");
    app::MailContext context;
    context.mail_settings.smtp_host = "127.0.0.1";
    context.mail_settings.smtp_port = sink.port();
    context.mail_settings.from_address = "list@example.org";
    context.mail_settings.dns_host = "127.0.0.1";
    std::unique_ptr<mail::MailStore> store;
    if (method == app::kMethodOutlook) {
        store = mail::MailStore::OpenMaildir(context.mail_settings, (dir / "Mail").string(),
                                             "MailingList");
        context.store = store.get();
    }
    double growth = -1;
    {
        app::MailOut out(settings, database, context, &entries);
        if (method == app::kMethodRelay) {
            out.OpenSMTPServerDLL({CORVANE_SMTPServer_MODULE});
            out.relay()->SetOptions({dns.port(), sink.port(), 40s, 30s});
        }
        out.subject = "Report";
        out.text = "Dear %FULL_NAME%,\r\nthe report for %EMAIL% is attached.\r\n";
        out.attachments = {(dir / "report.bin").string()};
        const double before = StatusKiB("VmRSS");
        ResetPeak();
        const std::int64_t sent = out.Button2Click();
        const double peak = StatusKiB("VmHWM");
        if (sent == kMembers && out.failed_count == 0 &&
            sink.WaitForMessages(kMembers, 60s).size() == kMembers)
            growth = (peak - before) * 1024.0;
        if (method == app::kMethodRelay)
            out.FreeSMTPServerDLL();
    }
    database.DestroyTemporaryTables();
    database.CloseTables();
    fs::remove_all(dir);
    return growth;
}

// Runs the mail-out in a child and hands back its figure.
double InChild(int method) {
    int fds[2];
    if (::pipe(fds) != 0)
        return -1;
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(fds[0]);
        const double growth = RunMailOut(method);
        [[maybe_unused]] const auto written = ::write(fds[1], &growth, sizeof growth);
        ::_exit(0);
    }
    ::close(fds[1]);
    double growth = -1;
    if (::read(fds[0], &growth, sizeof growth) != sizeof growth)
        growth = -1;
    ::close(fds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    return growth;
}

void MailOutMemory(benchmark::State& state) {
    const int method = static_cast<int>(state.range(0));
    double growth = 0;
    for (auto _ : state) {
        growth = InChild(method);
        if (growth < 0) {
            state.SkipWithError("not every member got the message");
            return;
        }
    }
    state.counters["peak_growth_MiB"] = growth / (1024.0 * 1024.0);
    state.counters["peak_per_attachment"] = growth / static_cast<double>(kAttachmentBytes);
}

BENCHMARK(MailOutMemory)
    ->ArgName("method")
    ->Arg(app::kMethodSmtp)
    ->Arg(app::kMethodRelay)
    ->Arg(app::kMethodOutlook)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
