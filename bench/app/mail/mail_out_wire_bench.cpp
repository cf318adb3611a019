// A mail-out at the wire's speed: 10,000 merged messages, one per member over
// one connection, to postfix's smtp-sink on loopback, printed beside the rate of
// postfix's own minimal client smtp-source against the same sink with messages
// of the same size (its own command, "smtp-source -s 1 -m 10000 -l <bytes>").
// The mail-out should reach at least half of it. Then blind-copy batches of 500:
// the mail-out beside a plain loop of the session's own sends, at least 0.9 of it.
// A plain program (run it on a quiet machine; TMPDIR=/dev/shm keeps the list off
// the disk): it prints one line per figure and the two shares. The recipient
// list is built before the clock starts, in both mail-outs.

#include <stdlib.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

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
using Clock = std::chrono::steady_clock;

constexpr std::int64_t kMessages = 10000;
constexpr std::int32_t kBatch = 500;
constexpr const char* kText =
    "Dear %FULL_NAME%,\r\n\r\nthe news of this month for %EMAIL%: the meeting moves to the "
    "town hall, and the summer trip is booked.\r\n\r\nSee you there.\r\n";

std::string Address(std::int64_t i) {
    return "member" + std::to_string(i) + "@example.org";
}

double Seconds(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
}

// The sink counts what arrives; smtp-sink wants a user to run as when started by root.
struct Sink {
    explicit Sink(const fs::path& dir)
        : port(mail::testing::FreeTcpPort()),
          process({"smtp-sink", "-u", "nobody", "-c", "127.0.0.1:" + std::to_string(port), "1000"},
                  dir / "sink.log") {
        for (int i = 0; i < 100; ++i) {
            mail::SmtpSession probe;
            if (probe.connect("127.0.0.1", port, "", Clock::now() + std::chrono::seconds(1)).ok())
                return;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        throw std::runtime_error("smtp-sink did not start");
    }
    std::uint16_t port;
    mail::testing::ChildProcess process;
};

double SmtpSourceRate(std::uint16_t port, std::size_t bytes) {
    const std::string command = "smtp-source -s 1 -m " + std::to_string(kMessages) + " -l " +
                                std::to_string(bytes) + " 127.0.0.1:" + std::to_string(port);
    const auto start = Clock::now();
    if (std::system(command.c_str()) != 0)
        throw std::runtime_error("smtp-source failed");
    return kMessages / Seconds(start);
}

double PlainBatchLoop(std::uint16_t port) {
    mail::SmtpSession session;
    session.connect("127.0.0.1", port, "", Clock::now() + std::chrono::seconds(40));
    mail::OutgoingMessage message;
    message.from = {"", "list@example.org"};
    message.subject = "News";
    message.body = "The news of this month.\r\n";
    const auto start = Clock::now();
    for (std::int64_t i = 0; i < kMessages; ++i) {
        message.bcc.push_back({"", Address(i)});
        if (static_cast<std::int64_t>(message.bcc.size()) < kBatch && i + 1 < kMessages)
            continue;
        session.send(message, Clock::now() + std::chrono::seconds(30));
        message.bcc.clear();
    }
    session.disconnect();
    return kMessages / Seconds(start);
}

}  // namespace

int main() {
    mail::testing::TempDir dir;
    platform::config::RegistryHive::SetHiveFile(platform::config::HKEY_CURRENT_USER,
                                                dir.path() / "registry.ini");
    ui::ScopedPromptService prompts(std::make_unique<ui::ScriptedPromptService>());
    app::Settings settings;
    settings.EmailMethod = app::kMethodSmtp;
    app::ErrorsList errors;
    const std::string program_dir = dir.path().string() + "/";
    app::ListDatabase database(settings, program_dir);
    app::EntryProcessor entries(database, settings, errors);
    database.OpenDatabase(program_dir);
    database.CreateTemporaryTables();
    app::bench::AddNewsMembers(database.tblCV(), kMessages, Address);
    Sink sink(dir.path());
    app::MailContext context;
    context.mail_settings.smtp_host = "127.0.0.1";
    context.mail_settings.smtp_port = sink.port;
    context.mail_settings.from_address = "list@example.org";

    const auto run = [&](std::int32_t send_count, const char* text) {
        settings.SendCount = send_count;
        app::MailOut out(settings, database, context, &entries);
        out.subject = "News";
        out.text = text;
        // The list is built beforehand ("Calculate Unique Recipient Count"), as
        // the plain loop has its addresses at hand.
        out.personalise = app::ContainsMergeField(text);
        out.BuildRecipients();
        const auto start = Clock::now();
        if (out.Button2Click() != kMessages)
            throw std::runtime_error("the mail-out did not send to every member");
        return kMessages / Seconds(start);
    };

    // A merged message as it goes on the wire, for smtp-source's size.
    mail::OutgoingMessage sample;
    sample.from = {"", "list@example.org"};
    sample.to = {{"", Address(5000)}};
    sample.subject = "News";
    sample.body = app::MergeFields(kText, "Member 5000", "", Address(5000), "09/12/2026");
    const std::size_t bytes = mail::ComposeMime(sample).size();

    const double mail_out = run(1, kText);
    const double source = SmtpSourceRate(sink.port, bytes);
    std::printf("merged messages, one per member, %zu bytes each:\n", bytes);
    std::printf("  smtp-source -s 1 -m %lld -l %zu : %8.0f messages/s\n",
                static_cast<long long>(kMessages), bytes, source);
    std::printf("  mail-out                          : %8.0f messages/s  (%.2f of smtp-source)\n",
                mail_out, mail_out / source);

    const double loop = PlainBatchLoop(sink.port);
    const double batches = run(kBatch, "The news of this month.\r\n");
    std::printf("blind-copy batches of %d:\n", kBatch);
    std::printf("  plain session loop                : %8.0f recipients/s\n", loop);
    std::printf("  mail-out                          : %8.0f recipients/s  (%.2f of the loop)\n",
                batches, batches / loop);
    database.DestroyTemporaryTables();
    database.CloseTables();
    return 0;
}
