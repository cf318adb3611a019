#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QLocalSocket>

#include "platform/db/exception.h"
#include "support/one_instance.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

TEST(InstanceBlock, KeepsTenParametersOfAtMostThreeHundredBytes) {
    std::vector<std::string> params;
    for (int i = 1; i <= 12; ++i)
        params.push_back("p" + std::to_string(i));
    params[9] = std::string(400, 'x');
    // A character that would straddle the 300-byte limit is left out whole.
    params[1] = std::string(299, 'a') + "\xC3\xA9";
    const std::vector<std::string> got =
        support::DecodeInstanceBlock(support::EncodeInstanceBlock(params));
    ASSERT_EQ(got.size(), 10u);
    EXPECT_EQ(got[0], "p1");
    EXPECT_EQ(got[1], std::string(299, 'a'));
    EXPECT_EQ(got[8], "p9");
    EXPECT_EQ(got[9], std::string(300, 'x'));
    EXPECT_TRUE(support::DecodeInstanceBlock(support::EncodeInstanceBlock({})).empty());
}

TEST(InstanceBlock, UntrustedCountAndSlotsStayInBounds) {
    struct Case {
        std::int32_t count;
        std::size_t expected;
    };
    for (const Case c : {Case{-5, 0}, Case{0, 0}, Case{3, 3}, Case{11, 10}, Case{0x7FFFFFFF, 10}}) {
        support::InstanceBlock block;
        block.fill('z');  // no slot is terminated
        for (int i = 0; i < 4; ++i)
            block[4 + i] =
                static_cast<std::uint8_t>(static_cast<std::uint32_t>(c.count) >> (8 * i));
        const auto got = support::DecodeInstanceBlock(block);
        ASSERT_EQ(got.size(), c.expected) << c.count;
        for (const std::string& param : got)
            EXPECT_EQ(param, std::string(300, 'z'));
    }
    // A short block carries nothing.
    const std::vector<std::uint8_t> short_block(100, 1);
    EXPECT_TRUE(support::DecodeInstanceBlock(short_block).empty());
}

// One started copy of the peer program, with a pipe on its standard output.
class Copy {
  public:
    Copy(const fs::path& program, const std::vector<std::string>& params, const fs::path& runtime,
         const fs::path& log, bool halt = false, const std::string& scope = {}) {
        int fds[2];
        EXPECT_EQ(pipe2(fds, O_CLOEXEC), 0);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
        std::vector<std::string> args{program.string()};
        args.insert(args.end(), params.begin(), params.end());
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        std::vector<std::string> env{"XDG_RUNTIME_DIR=" + runtime.string(),
                                     "CORVANE_PEER_LOG=" + log.string(),
                                     "QT_QPA_PLATFORM=offscreen", "LANG=C.UTF-8", "TZ=UTC"};
        if (halt)
            env.push_back("CORVANE_PEER_HALT=1");
        if (!scope.empty())
            env.push_back("CORVANE_PEER_SCOPE=" + scope);
        if (const char* path = std::getenv("PATH"))
            env.push_back(std::string("PATH=") + path);
        std::vector<char*> envp;
        for (std::string& e : env)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        EXPECT_EQ(posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), envp.data()),
                  0);
        posix_spawn_file_actions_destroy(&actions);
        ::close(fds[1]);
        out_ = fds[0];
    }
    ~Copy() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        ::close(out_);
    }

    // The next line of output, or "" when none comes in time.
    std::string Line(std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            if (auto nl = buffer_.find('\n'); nl != std::string::npos) {
                std::string line = buffer_.substr(0, nl);
                buffer_.erase(0, nl + 1);
                return line;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return "";
            pollfd p{out_, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left.count())) <= 0)
                return "";
            char chunk[256];
            const ssize_t n = read(out_, chunk, sizeof chunk);
            if (n <= 0)
                return "";
            buffer_.append(chunk, static_cast<std::size_t>(n));
        }
    }

    // The exit code, or -1 when it has not ended in time.
    int Exit(std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            usleep(10000);
        }
        return -1;
    }

    void Signal(int sig) { kill(pid_, sig); }
    void Kill() {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

  private:
    pid_t pid_ = -1;
    int out_ = -1;
    std::string buffer_;
};

class OneInstanceProcess : public testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/corvane-guard-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        fs::create_directory(dir_ / "run");
        fs::permissions(dir_ / "run", fs::perms::owner_all);
        log_ = dir_ / "events.log";
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::unique_ptr<Copy> Start(const std::vector<std::string>& params = {},
                                const fs::path& program = CORVANE_PEER) {
        return std::make_unique<Copy>(program, params, dir_ / "run", log_);
    }

    std::vector<std::string> LogLines() {
        std::ifstream in(log_);
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);)
            lines.push_back(line);
        return lines;
    }

    fs::path dir_;
    fs::path log_;
};

TEST_F(OneInstanceProcess, LaterCopyHandsOverAndEnds) {
    auto first = Start();
    ASSERT_EQ(first->Line(20s), "first");

    std::vector<std::string> params;
    for (int i = 1; i <= 12; ++i)
        params.push_back("arg" + std::to_string(i));
    params[4] = std::string(400, 'L');
    auto second = Start(params);
    EXPECT_EQ(second->Line(20s), "handed over");
    EXPECT_EQ(second->Exit(20s), 0);

    // Without parameters the first copy still hears of it.
    auto third = Start();
    EXPECT_EQ(third->Line(20s), "handed over");
    EXPECT_EQ(third->Exit(20s), 0);

    // The first copy comes back from its minimised state each time.
    std::vector<std::string> expected{"event 10"};
    for (int i = 1; i <= 10; ++i)
        expected.push_back("param " + (i == 5 ? std::string(300, 'L') : "arg" + std::to_string(i)));
    expected.push_back("window shown");
    expected.push_back("event 0");
    expected.push_back("window shown");
    EXPECT_EQ(LogLines(), expected);
}

// With UseHaltToExit a copy that handed over ends at once, before it would
// show anything, and cleanly.
TEST_F(OneInstanceProcess, HaltingCopyEndsAtOnceAndCleanly) {
    auto first = Start();
    ASSERT_EQ(first->Line(20s), "first");
    auto second = std::make_unique<Copy>(CORVANE_PEER, std::vector<std::string>{"h"}, dir_ / "run",
                                         log_, true);
    EXPECT_EQ(second->Exit(20s), 0);
    EXPECT_EQ(second->Line(100ms), "");
    EXPECT_EQ(LogLines(), (std::vector<std::string>{"event 1", "param h", "window shown"}));
}

TEST_F(OneInstanceProcess, KilledFirstCopyNeverBlocksTheNext) {
    auto first = Start();
    ASSERT_EQ(first->Line(20s), "first");
    first->Kill();  // leaves its lock file and socket behind
    ASSERT_TRUE(fs::exists(dir_ / "run" / "one_instance_peer.socket"));

    const auto started = std::chrono::steady_clock::now();
    auto next = Start({"x"});
    EXPECT_EQ(next->Line(20s), "first");
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);

    auto later = Start({"y"});
    EXPECT_EQ(later->Line(20s), "handed over");
    EXPECT_EQ(later->Exit(20s), 0);
}

// Copies on different program folders run side by side; on the same one the later
// copy hands over.
TEST_F(OneInstanceProcess, EachScopeIsGuardedApart) {
    Copy first(CORVANE_PEER, {}, dir_ / "run", log_, false, "/a");
    ASSERT_EQ(first.Line(20s), "first");
    EXPECT_EQ(Copy(CORVANE_PEER, {}, dir_ / "run", log_, false, "/b").Line(20s), "first");
    EXPECT_EQ(Copy(CORVANE_PEER, {}, dir_ / "run", log_, false, "/a").Line(20s), "handed over");
}

TEST_F(OneInstanceProcess, AnotherExecutableNameIsNotGuarded) {
    const fs::path renamed = dir_ / "other_name";
    fs::copy_file(CORVANE_PEER, renamed);
    fs::permissions(renamed, fs::perms::owner_all);
    auto first = Start();
    ASSERT_EQ(first->Line(20s), "first");
    auto other = Start({}, renamed);
    EXPECT_EQ(other->Line(20s), "first");
}

// A socket's address holds 107 bytes of its path: a program under a long file
// name could not listen, and every later copy waited ten seconds in vain before
// it ran unguarded beside the first.
TEST_F(OneInstanceProcess, LongExecutableNameIsGuardedWithoutDelay) {
    const fs::path renamed = dir_ / std::string(150, 'p');
    fs::copy_file(CORVANE_PEER, renamed);
    fs::permissions(renamed, fs::perms::owner_all);
    auto first = Start({}, renamed);
    ASSERT_EQ(first->Line(20s), "first");
    const auto started = std::chrono::steady_clock::now();
    auto second = Start({"long"}, renamed);
    EXPECT_EQ(second->Line(20s), "handed over");
    EXPECT_EQ(second->Exit(20s), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
    EXPECT_EQ(LogLines(), (std::vector<std::string>{"event 1", "param long", "window shown"}));
}

TEST(InstanceNames, LongNamesAreShortenedToFitASocketAddress) {
    const std::string folder = "/run/user/1000";
    EXPECT_EQ(support::GuardName(folder, "corvane"), "corvane");
    const std::string a = std::string(200, 'a');
    const std::string b = std::string(199, 'a') + "b";
    const auto short_a = support::GuardName(folder, a);
    const auto short_b = support::GuardName(folder, b);
    ASSERT_TRUE(short_a && short_b);
    EXPECT_NE(*short_a, *short_b);
    EXPECT_EQ(support::GuardName(folder, a), short_a);
    const std::string longest = folder + "/" + *short_a + ".4194304.socket";
    EXPECT_LE(longest.size(), 107u);
    // A name of many-byte characters is cut between characters.
    std::string umlauts;
    for (int i = 0; i < 100; ++i)
        umlauts += "\xC3\xBC";
    const auto short_u = support::GuardName(folder, umlauts);
    ASSERT_TRUE(short_u);
    EXPECT_EQ(short_u->find("\xC3-"), std::string::npos);
    // No room even for a hash: no guard.
    EXPECT_EQ(support::GuardName(std::string(100, 'f'), "corvane"), std::nullopt);
}

TEST_F(OneInstanceProcess, GarbageOnTheSocketIsSurvived) {
    auto first = Start();
    ASSERT_EQ(first->Line(20s), "first");
    {
        QLocalSocket socket;
        socket.connectToServer(
            QString::fromStdString((dir_ / "run" / "one_instance_peer.socket").string()));
        ASSERT_TRUE(socket.waitForConnected(5000));
        std::string junk(support::kInstanceBlockSize, '\xFF');  // count -1, unterminated slots
        socket.write(junk.data(), static_cast<qint64>(junk.size()));
        ASSERT_TRUE(socket.waitForBytesWritten(5000));
        ASSERT_TRUE(socket.waitForReadyRead(5000));
    }
    auto later = Start({"still here"});
    EXPECT_EQ(later->Line(20s), "handed over");
    EXPECT_EQ(later->Exit(20s), 0);
    EXPECT_EQ(LogLines(), (std::vector<std::string>{"event 0", "window shown", "event 1",
                                                    "param still here", "window shown"}));
}

// A later copy that gives up while the first copy's handler still runs (a
// modal box, say) leaves the first copy running and reachable.
TEST_F(OneInstanceProcess, LaterCopyGoneWhileTheHandlerRunsIsSurvived) {
    auto first = Start();
    ASSERT_EQ(first->Line(20s), "first");
    {
        QLocalSocket socket;
        socket.connectToServer(
            QString::fromStdString((dir_ / "run" / "one_instance_peer.socket").string()));
        ASSERT_TRUE(socket.waitForConnected(5000));
        const std::vector<std::string> params{"wait"};
        const support::InstanceBlock block = support::EncodeInstanceBlock(params);
        socket.write(reinterpret_cast<const char*>(block.data()),
                     static_cast<qint64>(block.size()));
        ASSERT_TRUE(socket.waitForBytesWritten(5000));
    }  // gone before the handler has returned
    std::this_thread::sleep_for(1500ms);
    auto later = Start({"after"});
    EXPECT_EQ(later->Line(20s), "handed over");
    EXPECT_EQ(later->Exit(20s), 0);
    EXPECT_EQ(first->Exit(0ms), -1) << "the first copy ended";
    EXPECT_EQ(LogLines(), (std::vector<std::string>{"event 1", "param wait", "window shown",
                                                    "event 1", "param after", "window shown"}));
}

TEST_F(OneInstanceProcess, UnansweringFirstCopyIsTakenOverAfterTheWait) {
    auto first = Start();
    ASSERT_EQ(first->Line(20s), "first");
    first->Signal(SIGSTOP);
    const auto started = std::chrono::steady_clock::now();
    auto second = Start({"a"});
    EXPECT_EQ(second->Line(30s), "first");
    EXPECT_GE(std::chrono::steady_clock::now() - started, 9s);
    // Later copies now hand over to the copy that took over.
    auto third = Start({"b"});
    EXPECT_EQ(third->Line(20s), "handed over");
    EXPECT_EQ(LogLines(), (std::vector<std::string>{"event 1", "param b", "window shown"}));
}

// The copy that took over stays the one later copies reach, however the old
// first copy ends afterwards: killed (its lock freed, its socket left behind),
// or coming back and ending normally.
TEST_F(OneInstanceProcess, CopyThatTookOverIsReachedAfterTheOldFirstCopyEnds) {
    for (const bool killed : {true, false}) {
        SCOPED_TRACE(killed ? "killed" : "ended normally");
        fs::remove(log_);
        auto first = Start();
        ASSERT_EQ(first->Line(20s), "first");
        first->Signal(SIGSTOP);
        auto second = Start({"quit"});
        ASSERT_EQ(second->Line(30s), "first");
        if (killed) {
            first->Kill();
        } else {
            first->Signal(SIGCONT);  // it reads the stale hand-over and ends
            ASSERT_EQ(first->Exit(20s), 0);
        }
        auto third = Start({"b"});
        EXPECT_EQ(third->Line(20s), "handed over");
        EXPECT_EQ(third->Exit(20s), 0);
        std::vector<std::string> expected;
        if (!killed)
            expected = {"event 1", "param quit", "window shown"};
        for (const char* line : {"event 1", "param b", "window shown"})
            expected.push_back(line);
        EXPECT_EQ(LogLines(), expected);
        second->Kill();
    }
}

TEST(OneInstance, OnlyOnePerProcess) {
    support::TOneInstance guard(nullptr);
    try {
        support::TOneInstance second(nullptr);
        FAIL() << "a second guard was made";
    } catch (const db::Exception& e) {
        EXPECT_STREQ(e.what(), "Drop only one of these components on your form !");
    }
    // The first one is still the one registered: after it goes a new one may come.
}

}  // namespace
