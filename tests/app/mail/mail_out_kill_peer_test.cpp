// A mail-out as a real process, killed at random moments and finished from
// its journal by the next start, against a real SMTP peer.

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
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

// One start of the program, its list in `db` (its state files too unless
// given a folder of their own): it finishes an unfinished mail-out, or starts the
// mail-out when none was begun yet; its boxes go to db + "boxes". Never returns.
[[noreturn]] void RunMailOut(const std::string& db, std::uint16_t port, bool fresh,
                             std::string dir = {}) {
    dir = dir.empty() ? db : dir;
    // A killed child leaves its private temporary folder: keep it in the test's.
    const std::string temp = db + "tmp";
    std::filesystem::create_directories(temp);
    ::setenv("TMPDIR", temp.c_str(), 1);
    auto boxes = std::make_unique<ui::ScriptedPromptService>();
    const std::vector<ui::PromptRequest>& asked = boxes->Asked();
    ui::ScopedPromptService prompts(std::move(boxes));
    Settings settings;
    settings.EmailMethod = kMethodSmtp;
    settings.SendCount = 1;
    settings.SendLog = true;
    ErrorsList errors;
    int status = 0;
    try {
        ListDatabase database(settings, dir);
        EntryProcessor entries(database, settings, errors);
        database.OpenDatabase(db);
        database.CreateTemporaryTables();
        MailContext context;
        context.mail_settings.smtp_host = "127.0.0.1";
        context.mail_settings.smtp_port = port;
        context.mail_settings.from_address = "list@example.org";
        MailOut out(settings, database, context, &entries);
        out.debug = true;  // the send log names the members in debug mode only
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
    std::ofstream(db + "boxes") << (asked.empty() ? "" : asked.back().text);
    ::_exit(status);
}

void AddMembers(const std::string& dir) {
    ui::ScopedPromptService prompts(std::make_unique<ui::ScriptedPromptService>());
    Settings settings;
    ListDatabase database(settings, dir);
    database.OpenDatabase(dir);
    bench::AddNewsMembers(database.tblCV(), kMembers, Member);
    database.SaveDatabase();
    database.CloseTables();
}

TEST(MailOutRun, KilledRunsFinishedFromTheJournalGiveEveryMemberOneCopy) {
    ProgramDir program;
    AddMembers(program.Dir());
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
    std::string member;
    for (const std::string& line : ProgramDir::Lines(program.File("SendLog.txt"))) {
        logged[member] += line == "SEND OK";
        member = line.ends_with(".org") ? line : member;
    }
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

// The state files on a small file system of their own, filled to leave a few
// pages: the run stops at the write that fails, says why and how far it came,
// and the next starts (the first killed) finish it.
TEST(MailOutRun, FullDiskStopsTheRunAndTheNextStartsFinishItWithAtMostOneExtraCopyEach) {
    ProgramDir program;
    const testing_support::SmallDisk disk(program.File("small"), 0, "size=256k");
    if (!disk.mounted)
        GTEST_SKIP() << "a full disk needs a file system of its own, which only root can mount";
    AddMembers(program.Dir());
    for (const auto& [room, full] :
         {std::pair{28 * 1024, "SendLog.txt"}, {36 * 1024, "SendJournal.txt"}}) {
        SCOPED_TRACE(full);
        const std::string dir = disk.dir + "/" + full + "/";
        std::filesystem::create_directories(dir);
        disk.FillLeaving(room);
        mail::testing::SmtpSink sink;
        std::size_t stopped_at = 0;
        for (int run = 0; run < 3; ++run) {
            const pid_t pid = ::fork();
            if (pid == 0)
                RunMailOut(program.Dir(), sink.port(), run == 0, dir);
            // Killed once the resumed run is well under way.
            for (int wait = 0; run == 1 && wait < 2000 && sink.MessageCount() < stopped_at + 20;
                 ++wait)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            if (run == 1)
                ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
            if (run > 0)
                continue;
            stopped_at = sink.MessageCount();
            EXPECT_EQ(ProgramDir::Read(program.File("boxes")),
                      "The mail-out has stopped: " + dir + full +
                          " could not be written (No space left on device).  " +
                          std::to_string(stopped_at) +
                          " recipients have been sent the message.  The recipients not sent to yet "
                          "are kept: at the next start you can send the message to them.");
            std::filesystem::remove(disk.dir + "/filler");
        }
        EXPECT_FALSE(ReadMailOutJournal(dir).has_value()) << "the mail-out was finished";
        const auto mails = sink.WaitForMessages(kMembers);
        std::set<std::string> members;
        for (const auto& mail : mails)
            members.insert(mail.rcpt_to.at(0));
        EXPECT_EQ(members.size(), std::size_t{kMembers}) << "every member was sent the message";
        EXPECT_LE(mails.size(), kMembers + 2u)
            << "at most the message in flight at the stop and at the kill goes twice";
    }
}

}  // namespace
}  // namespace app
