// A mail-out as a real process, killed at random moments and finished from
// its journal by the next start, against a real SMTP peer.

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <random>
#include <thread>

#include "app/list/entry_processing.h"
#include "app/list/errors_list.h"
#include "app/list/list_database.h"
#include "app/list/settings.h"
#include "app/mail/mail_out.h"
#include "app/mail/mail_out_journal.h"
#include "bench/app/mail/mail_bench_members.h"
#include "platform/ui/prompt.h"
#include "tests/app/list/list_test_support.h"
#include "tests/platform/mail/peers.h"

namespace app {
namespace {

using testing_support::ProgramDir;
constexpr int kMembers = 400;

std::string Member(std::int64_t i) {
    return "m" + std::to_string(i) + "@example.org";
}

// One start of the program: it finishes an unfinished mail-out, or starts the
// mail-out when none was begun yet. Never returns.
[[noreturn]] void RunMailOut(const std::string& dir, std::uint16_t port, bool fresh) {
    // A killed child leaves its private temporary folder: keep it in the test's.
    const std::string temp = dir + "tmp";
    std::filesystem::create_directories(temp);
    ::setenv("TMPDIR", temp.c_str(), 1);
    ui::ScopedPromptService prompts(std::make_unique<ui::ScriptedPromptService>());
    Settings settings;
    settings.EmailMethod = kMethodSmtp;
    settings.SendCount = 1;
    settings.SendLog = true;
    ErrorsList errors;
    int status = 0;
    try {
        ListDatabase database(settings, dir);
        EntryProcessor entries(database, settings, errors);
        database.OpenDatabase(dir);
        database.CreateTemporaryTables();
        MailContext context;
        context.mail_settings.smtp_host = "127.0.0.1";
        context.mail_settings.smtp_port = port;
        context.mail_settings.from_address = "list@example.org";
        MailOut out(settings, database, context, &entries);
        if (const auto journal = ReadMailOutJournal(dir)) {
            out.Resume(*journal);
        } else if (fresh) {
            out.subject = "News";
            out.text = "Dear %FULL_NAME%, the news for %EMAIL%.";
        } else {
            ::_exit(0);
        }
        status = out.Button2Click() >= 0 ? 0 : 3;
    } catch (const std::exception&) {
        status = 4;
    }
    ::_exit(status);
}

TEST(MailOutRun, KilledRunsFinishedFromTheJournalGiveEveryMemberOneCopy) {
    ProgramDir program;
    {
        ui::ScopedPromptService prompts(std::make_unique<ui::ScriptedPromptService>());
        Settings settings;
        ListDatabase database(settings, program.Dir());
        database.OpenDatabase(program.Dir());
        bench::AddNewsMembers(database.tblCV(), kMembers, Member);
        database.SaveDatabase();
        database.CloseTables();
    }
    mail::testing::SmtpSink sink;
    std::mt19937 random(20261209);
    std::uniform_int_distribution<int> delay_ms(5, 120);
    int kills = 0;
    for (int round = 0; round < 12; ++round) {
        // A first run killed before its journal existed sent nothing yet.
        const bool fresh = sink.MessageCount() == 0;
        if (!fresh && !ReadMailOutJournal(program.Dir()))
            break;  // finished
        const pid_t pid = ::fork();
        if (pid == 0)
            RunMailOut(program.Dir(), sink.port(), fresh);
        std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms(random)));
        ::kill(pid, SIGKILL);
        int status = 0;
        ::waitpid(pid, &status, 0);
        kills += WIFSIGNALED(status) ? 1 : 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    const pid_t last = ::fork();
    if (last == 0)
        RunMailOut(program.Dir(), sink.port(), sink.MessageCount() == 0);
    int status = 0;
    ::waitpid(last, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_GE(kills, 1);
    EXPECT_FALSE(ReadMailOutJournal(program.Dir()).has_value()) << "the mail-out was finished";

    std::map<std::string, int> copies, logged;
    for (const auto& mail : sink.WaitForMessages(kMembers))
        for (const std::string& to : mail.rcpt_to)
            ++copies[to];
    for (const std::string& line : ProgramDir::Lines(program.File("SendLog.txt")))
        if (line.starts_with("SEND OK: "))
            ++logged[line.substr(9)];
    int twice = 0;
    for (int i = 0; i < kMembers; ++i) {
        const int sent = copies[Member(i)], listed = logged[Member(i)];
        twice += sent - 1;
        // A copy that went out just before a kill may miss its line, never a
        // member its copy.
        EXPECT_TRUE(sent >= 1 && sent <= 2 && listed >= 1 && listed <= sent)
            << Member(i) << ": " << sent << " copies, " << listed << " lines";
    }
    EXPECT_LE(twice, kills) << "at most the message in flight at each kill goes twice";
}

}  // namespace
}  // namespace app
