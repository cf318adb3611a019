// The request run as real processes: killed at random moments and run
// again, and two programs sharing one database.

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/list/entry_processing.h"
#include "app/list/errors_list.h"
#include "app/list/list_database.h"
#include "app/list/settings.h"
#include "app/mail/request_extraction.h"
#include "platform/mail/mail_store.h"
#include "platform/os/whole_file.h"
#include "platform/ui/prompt.h"
#include "tests/app/list/list_test_support.h"

namespace app {
namespace {

using testing_support::ProgramDir;

std::string Request(int n, const std::string& subject,
                    const std::string& body = "sent by the crash test") {
    const std::string from =
        n < 0 ? "<>" : "User " + std::to_string(n) + " <u" + std::to_string(n) + "@example.org>";
    return "From: " + from + "\r\nTo: list@example.org\r\nSubject: " + subject +
           "\r\nDate: Tue, 0" + std::to_string(1 + (n < 0 ? 0 : n % 3)) +
           " Dec 2026 10:00:00 +0000\r\nContent-Type: text/plain\r\n\r\n" + body + "\r\n";
}

void FillFolder(const std::string& mail_root, const std::vector<std::string>& requests) {
    auto store = mail::MailStore::OpenMaildir({}, mail_root, "MailingList");
    mail::Folder& folder = store->Root(1).SubFolder("MailingList");
    for (const std::string& request : requests)
        folder.AppendMessage(request, false);
}

// Every kind of mail a list folder gets: subscribes, unsubscribes, changes of address,
// delivery failures, mails without a sender, requests that are refused, mails that are
// no request and requests that find their entry there already.
std::vector<std::string> MixedRequests(int count) {
    std::vector<std::string> requests;
    for (int i = 0; i < count; ++i) {
        switch (i % 10) {
            case 0:
            case 1:
                requests.push_back(Request(i, "subscribe news"));
                break;
            case 2:
                requests.push_back(Request(i, "join sport"));
                break;
            case 3:
                requests.push_back(Request(i - 3, "unsubscribe news"));
                break;
            case 4:
                requests.push_back(Request(i - 2, "change u" + std::to_string(i - 2) +
                                                      "@example.org v" + std::to_string(i - 2) +
                                                      "@example.org"));
                break;
            case 5:
                requests.push_back(
                    Request(i, "Delivery failure: news",
                            "Delivery to <u" + std::to_string(i - 5) + "@example.org> failed."));
                break;
            case 6:
                requests.push_back(Request(-1, "subscribe news"));
                break;
            case 7:
                requests.push_back(Request(i, "subscribe caf\xe9"));
                break;
            case 8:
                requests.push_back(Request(i, "hello everybody"));
                break;
            case 9:
                requests.push_back(Request(i - 9, "subscribe news"));
                break;
        }
    }
    return requests;
}

std::string ReportPath(const std::string& mail_root) {
    return mail_root + ".report";
}

// One check in a child process of the database in dir; never returns. Every
// box it showed and any error it raised land in a report beside the mail
// folder, which the test prints when the check fails.
[[noreturn]] void RunCheck(const std::string& dir, const std::string& mail_root, bool exclusive) {
    // A killed child never removes its private temporary folder: keep it
    // inside the test's folder, which the test removes.
    const std::string temp = mail_root + ".tmp";
    std::filesystem::create_directories(temp);
    ::setenv("TMPDIR", temp.c_str(), 1);
    auto scripted = std::make_unique<ui::ScriptedPromptService>();
    const ui::ScriptedPromptService& asked = *scripted;
    ui::ScopedPromptService prompts(std::move(scripted));
    Settings settings;
    settings.DBExclusive = exclusive;
    settings.MaintainLog = true;
    settings.FailedMail = true;
    ErrorsList errors;
    int status = 0;
    std::string failure;
    try {
        ListDatabase database(settings, dir);
        EntryProcessor entries(database, settings, errors);
        // One write per acknowledgement, as one mail sent.
        entries.OnSendAcknowledgement = [&](std::string_view address, std::string_view text) {
            (void)platform::os::AppendToFile(mail_root + ".acks",
                                             std::string(address) + " " + std::string(text) + "\n");
        };
        if (!database.OpenDatabase(dir)) {
            status = 2;
        } else {
            auto store = mail::MailStore::OpenMaildir({}, mail_root, "MailingList");
            ExtractEntries run(entries, *store, nullptr);
            status = run.OpenBtnClick() ? 0 : 3;
            database.SaveDatabase();
        }
    } catch (const std::exception& e) {
        status = 4;
        failure = e.what();
    }
    {
        std::ofstream report(ReportPath(mail_root), std::ios::trunc);
        for (const ui::PromptRequest& box : asked.Asked())
            report << "box: " << box.text << "\n";
        if (!failure.empty())
            report << "error: " << failure << "\n";
    }
    ::_exit(status);
}

pid_t StartCheck(const std::string& dir, const std::string& mail_root, bool exclusive) {
    const pid_t pid = ::fork();
    if (pid == 0)
        RunCheck(dir, mail_root, exclusive);
    return pid;
}

int Wait(pid_t pid) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    return status;
}

std::string Report(const std::string& mail_root) {
    std::ifstream in(ReportPath(mail_root));
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> ListRows(const std::string& dir, const std::string& session) {
    ui::ScopedPromptService prompts(std::make_unique<ui::ScriptedPromptService>());
    Settings settings;
    ListDatabase database(settings, dir, session);
    EXPECT_TRUE(database.OpenDatabase(dir));
    std::vector<std::string> rows;
    strata::TStrataTable& t = database.tblCV();
    t.First();
    while (!t.Eof()) {
        rows.push_back(t.FieldByName("Item")->AsString() + "|" +
                       t.FieldByName("Category")->AsString());
        t.Next();
    }
    std::sort(rows.begin(), rows.end());
    return rows;
}

// What a run leaves: the rows with their bounce counts, the statistics, and the lines of
// the log and the errors list, each sorted.
struct RunOutcome {
    std::vector<std::string> rows, stats, log, errors;
};

std::vector<std::string> SortedLines(const std::string& path, std::string_view skip = {}) {
    std::vector<std::string> lines;
    for (std::string& line : ProgramDir::Lines(path)) {
        if (!line.empty() && (skip.empty() || !line.starts_with(skip)))
            lines.push_back(std::move(line));
    }
    std::sort(lines.begin(), lines.end());
    return lines;
}

RunOutcome Outcome(const std::string& dir, const std::string& session) {
    ui::ScopedPromptService prompts(std::make_unique<ui::ScriptedPromptService>());
    Settings settings;
    ListDatabase database(settings, dir, session);
    EXPECT_TRUE(database.OpenDatabase(dir));
    RunOutcome outcome;
    const auto text = [](strata::TStrataTable& t, const char* field) {
        return t.FieldByName(field)->AsString();
    };
    strata::TStrataTable& list = database.tblCV();
    for (list.First(); !list.Eof(); list.Next()) {
        outcome.rows.push_back(text(list, "Item") + "|" + text(list, "Category") + "|" +
                               text(list, "Bounces"));
    }
    strata::TStrataTable& stats = database.tblStats();
    for (stats.First(); !stats.Eof(); stats.Next()) {
        outcome.stats.push_back(text(stats, "Date") + "|" + text(stats, "Subscribes") + "|" +
                                text(stats, "Unsubscribes") + "|" + text(stats, "Bounces"));
    }
    std::sort(outcome.rows.begin(), outcome.rows.end());
    std::sort(outcome.stats.begin(), outcome.stats.end());
    // Each run's summary counts what that run did.
    outcome.log = SortedLines(dir + std::string(kLogFile), "Check of the folder");
    outcome.errors = SortedLines(dir + std::string(kErrorsFile));
    return outcome;
}

// Checks of 200 mails of every kind, killed at random moments of their work and run
// again, end with the rows, statistics, log and errors list of an uninterrupted check,
// and send its acknowledgements, a kill doubling at most the one it interrupted.
TEST(RequestRun, KilledRunsEndWithTheListOfAnUninterruptedRun) {
    ProgramDir program;
    const std::vector<std::string> requests = MixedRequests(200);
    const std::string reference = program.File("reference") + "/";
    std::filesystem::create_directories(reference);
    FillFolder(reference + "Mail", requests);
    const auto started = std::chrono::steady_clock::now();
    ASSERT_EQ(Wait(StartCheck(reference, reference + "Mail", true)), 0)
        << Report(reference + "Mail");
    const auto run_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now() - started)
                            .count();
    const RunOutcome want = Outcome(reference, "Reference");
    const std::vector<std::string> want_acks = SortedLines(reference + "Mail.acks");
    ASSERT_FALSE(want.rows.empty());
    ASSERT_FALSE(want.stats.empty());
    ASSERT_FALSE(want_acks.empty());
    EXPECT_FALSE(std::filesystem::exists(reference + std::string(ExtractEntries::kHandledFile)));

    std::mt19937 random(20261209);
    std::uniform_int_distribution<long> delay_ms(0, std::max<long>(run_ms, 50));
    int all_kills = 0;
    for (int series = 0; series < 8; ++series) {
        SCOPED_TRACE("series " + std::to_string(series));
        const std::string killed = program.File("killed" + std::to_string(series)) + "/";
        std::filesystem::create_directories(killed);
        FillFolder(killed + "Mail", requests);
        int kills = 0;
        for (int round = 0; round < 8; ++round) {
            const pid_t pid = StartCheck(killed, killed + "Mail", true);
            std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms(random)));
            int status = 0;
            if (::waitpid(pid, &status, WNOHANG) == 0) {
                ::kill(pid, SIGKILL);
                ++kills;
                Wait(pid);
            }
        }
        all_kills += kills;
        ASSERT_EQ(Wait(StartCheck(killed, killed + "Mail", true)), 0) << Report(killed + "Mail");
        const RunOutcome got = Outcome(killed, "Killed" + std::to_string(series));
        EXPECT_EQ(got.rows, want.rows);
        EXPECT_EQ(got.stats, want.stats);
        EXPECT_EQ(got.log, want.log);
        EXPECT_EQ(got.errors, want.errors);
        const std::vector<std::string> acks = SortedLines(killed + "Mail.acks");
        std::vector<std::string> missing, extra;
        std::set_difference(want_acks.begin(), want_acks.end(), acks.begin(), acks.end(),
                            std::back_inserter(missing));
        std::set_difference(acks.begin(), acks.end(), want_acks.begin(), want_acks.end(),
                            std::back_inserter(extra));
        EXPECT_TRUE(missing.empty()) << missing.size() << " acknowledgements never sent";
        EXPECT_LE(extra.size(), static_cast<std::size_t>(kills)) << kills << " kills";
        EXPECT_FALSE(std::filesystem::exists(killed + std::string(ExtractEntries::kHandledFile)));
        auto store = mail::MailStore::OpenMaildir({}, killed + "Mail", "MailingList");
        // The mails without a sender, the mails that are no request, and no other.
        EXPECT_EQ(store->Root(1).SubFolder("MailingList").ItemCount(), 40u);
    }
    EXPECT_GE(all_kills, 10);
}

// The first run of a new folder creates the database; killed at any moment
// of that, the next run still opens a whole database and handles the mail.
TEST(RequestRun, RunsKilledWhileCreatingTheDatabaseLeaveOneThatOpens) {
    ProgramDir program;
    const std::vector<std::string> requests = MixedRequests(5);
    for (int delay_us = 0; delay_us <= 30000; delay_us += 2500) {
        const std::string dir = program.File("d" + std::to_string(delay_us)) + "/";
        std::filesystem::create_directories(dir);
        FillFolder(dir + "Mail", requests);
        const pid_t pid = StartCheck(dir, dir + "Mail", true);
        std::this_thread::sleep_for(std::chrono::microseconds(delay_us));
        ::kill(pid, SIGKILL);
        Wait(pid);
        EXPECT_EQ(Wait(StartCheck(dir, dir + "Mail", true)), 0)
            << "killed after " << delay_us << " us\n"
            << Report(dir + "Mail");
        for (const auto& entry : std::filesystem::directory_iterator(dir)) {
            EXPECT_FALSE(entry.path().filename().string().starts_with("CVCreate"))
                << entry.path() << " left after a kill at " << delay_us << " us";
        }
    }
}

TEST(RequestRun, TwoProgramsSharingTheDatabaseLoseAndDoubleNothing) {
    ProgramDir program;
    const std::string dir = program.Dir();
    // The database exists before the two programs start.
    {
        ui::ScopedPromptService prompts(std::make_unique<ui::ScriptedPromptService>());
        Settings settings;
        ListDatabase database(settings, dir, "Creator");
        ASSERT_TRUE(database.OpenDatabase(dir));
    }
    std::vector<std::string> first, second;
    for (int i = 0; i < 120; ++i) {
        const std::string subject = i % 2 == 0 ? "subscribe news" : "subscribe sport";
        first.push_back(Request(i, subject));
        second.push_back(Request(i, subject));
    }
    for (int i = 200; i < 260; ++i) {
        first.push_back(Request(i, "subscribe news"));
        second.push_back(Request(i + 100, "subscribe news"));
    }
    FillFolder(dir + "MailA", first);
    FillFolder(dir + "MailB", second);
    const pid_t a = StartCheck(dir, dir + "MailA", false);
    const pid_t b = StartCheck(dir, dir + "MailB", false);
    EXPECT_EQ(Wait(a), 0) << Report(dir + "MailA");
    EXPECT_EQ(Wait(b), 0) << Report(dir + "MailB");

    const std::vector<std::string> rows = ListRows(dir, "Reader");
    std::vector<std::string> unique = rows;
    unique.erase(std::unique(unique.begin(), unique.end()), unique.end());
    EXPECT_EQ(unique.size(), rows.size()) << "no duplicate row";
    EXPECT_EQ(rows.size(), 120u + 60u + 60u) << "no lost update";
}

}  // namespace
}  // namespace app
