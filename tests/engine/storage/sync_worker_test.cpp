#include "engine/storage/sync_worker.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/storage/engine_error.h"
#include "engine/storage/file_handler.h"
#include "engine/storage/file_objects.h"

namespace strata {
namespace {

namespace fs = std::filesystem;

// What the sync hook saw and does: the syncs of files whose name holds `watched`, the threads
// they ran on, a failure for names holding `failing`, and a hold of the first watched sync
// until the test lets it go.
struct SyncWatch {
    std::mutex lock;
    std::string watched;
    std::string failing;
    std::vector<std::string> names;
    std::vector<std::thread::id> threads;
    std::atomic<bool> hold{false};
    std::atomic<bool> held{false};
    std::atomic<bool> released{false};
    std::atomic<int> finished{0};
};
SyncWatch watch;

int WatchSync(const std::string& name) {
    if (name.find(watch.watched) == std::string::npos)
        return 0;
    {
        std::lock_guard guard(watch.lock);
        watch.names.push_back(name);
        watch.threads.push_back(std::this_thread::get_id());
    }
    if (watch.hold.exchange(false)) {
        watch.held = true;
        // Bounded, so that a sync the worker never lets go of fails the test rather than hangs it.
        for (int i = 0; i < 30000 && !watch.released; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ++watch.finished;
    return !watch.failing.empty() && name.find(watch.failing) != std::string::npos ? EIO : 0;
}

class SyncBeside : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "strata-sync-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        watch.watched = dir_.string();
        watch.failing.clear();
        watch.names.clear();
        watch.threads.clear();
        watch.hold = false;
        watch.held = false;
        watch.released = false;
        watch.finished = 0;
        SetFileSyncHook(WatchSync);
    }
    void TearDown() override {
        SetFileSyncHook(nullptr);
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }
    // A file on disk with `bytes` written and not synced.
    std::unique_ptr<TFileHandler> Written(const std::string& name, std::size_t bytes = 3000) {
        auto file = std::make_unique<TFileHandler>();
        file->SetName((dir_ / name).string());
        file->CreateFile();
        file->Write(std::vector<std::byte>(bytes, std::byte{7}));
        return file;
    }
    static std::string MessageOf(const std::function<void()>& action) {
        try {
            action();
        } catch (const EStrataEngineError& e) {
            return std::to_string(e.ErrorCode()) + " " + e.what();
        }
        return "no error";
    }

    fs::path dir_;
};

// A handed sync runs on the worker, one thread for every sync, and leaves nothing unsynced; its
// failure reaches the caller as the very error the file's own sync raises. The system may have
// dropped the bytes it failed on, so every later sync of the file, handed or not, fails the
// same way without asking the system, until the file is closed; the file's next opening syncs
// afresh.
TEST_F(SyncBeside, RunsOnTheWorkerAndReportsFailuresAsTheFilesOwnSync) {
    const auto file = Written("one.dat");
    const std::uint64_t beside = SyncsBeside();
    const std::uint64_t syncs = TPhysicalFile::SyncCount();
    for (int round = 0; round < 3; ++round) {
        TSyncBeside sync;
        ASSERT_TRUE(sync.Start(*file, true));
        EXPECT_TRUE(sync.Beside());
        sync.Finish();
        EXPECT_EQ(file->UnsyncedBytes(), 0);
        file->Write(std::vector<std::byte>(10, std::byte{1}));
    }
    EXPECT_EQ(SyncsBeside() - beside, 3u);
    EXPECT_EQ(TPhysicalFile::SyncCount() - syncs, 3u);
    ASSERT_EQ(watch.threads.size(), 3u);
    EXPECT_NE(watch.threads[0], std::this_thread::get_id());
    EXPECT_EQ(watch.threads[1], watch.threads[0]);
    EXPECT_EQ(watch.threads[2], watch.threads[0]);

    watch.failing = "one.dat";
    const std::string own = MessageOf([&] { file->SyncWritten(); });
    EXPECT_NE(own.find("11047"), std::string::npos) << own;
    EXPECT_NE(own.find("one.dat"), std::string::npos) << own;
    for (const bool written_only : {true, false}) {
        TSyncBeside sync;
        ASSERT_TRUE(sync.Start(*file, written_only));
        EXPECT_EQ(MessageOf([&] { sync.Finish(); }), own) << written_only;
        EXPECT_GT(file->UnsyncedBytes(), 0) << written_only;
        // Reported once: a second Finish has nothing left to wait for.
        EXPECT_EQ(MessageOf([&] { sync.Finish(); }), "no error");
    }
    watch.failing.clear();
    const int asked = watch.finished;
    {
        TSyncBeside sync;
        sync.Start(*file, true);
        EXPECT_EQ(MessageOf([&] { sync.Finish(); }), own);
    }
    EXPECT_EQ(MessageOf([&] { file->Flush(); }), own);
    EXPECT_EQ(MessageOf([&] { file->CheckSyncFailure(); }), own);
    EXPECT_EQ(watch.finished, asked);
    file->Close();
    file->Open();
    EXPECT_EQ(MessageOf([&] { file->CheckSyncFailure(); }), "no error");
    file->Write(std::vector<std::byte>(10, std::byte{2}));
    TSyncBeside sync;
    ASSERT_TRUE(sync.Start(*file, true));
    EXPECT_EQ(MessageOf([&] { sync.Finish(); }), "no error");
    EXPECT_EQ(file->UnsyncedBytes(), 0);
}

// Set before the write-back starts and cleared once the sync has waited for it.
std::string write_back_failing;

int FailWriteBack(const std::string& name) {
    return !write_back_failing.empty() && name.find(write_back_failing) != std::string::npos
               ? ENOSPC
               : 0;
}

// A write-back the device refused, started here or on the write-behind's thread, fails the sync
// that would wait for its bytes with the device's error, as the file's own sync would raise it,
// without an fdatasync that could pass; the folder's other files sync as before.
TEST_F(SyncBeside, AFailedWriteBackFailsTheSyncThatWaitsForIt) {
    SetFileWritebackHook(FailWriteBack);
    struct Unhook {
        ~Unhook() { SetFileWritebackHook(nullptr); }
    } unhook;
    for (const bool behind : {false, true}) {
        SCOPED_TRACE(behind ? "behind" : "here");
        const auto failing = Written(behind ? "behind.dat" : "here.dat");
        const auto other = Written("other.dat");
        write_back_failing = behind ? "behind.dat" : "here.dat";
        if (behind)
            failing->StartWriteBehind();
        else
            failing->StartSyncWritten();
        other->StartWriteBehind();
        const int asked = watch.finished;
        const std::string message = MessageOf([&] { failing->SyncWritten(); });
        EXPECT_EQ(MessageOf([&] { other->SyncWritten(); }), "no error");
        write_back_failing.clear();
        EXPECT_EQ(message.rfind("11047 ", 0), 0u) << message;
        EXPECT_NE(message.find(behind ? "behind.dat" : "here.dat"), std::string::npos) << message;
        EXPECT_EQ(MessageOf([&] { failing->SyncWritten(); }), message);
        // Only the other file's sync was asked of the system.
        EXPECT_EQ(watch.finished, asked + 1);
        EXPECT_EQ(other->UnsyncedBytes(), 0);
    }
}

// Without anything to sync there is no sync at all; a memory file has none to hand. Finish then
// syncs the file here as its own sync would: not at all, or (a flush) once.
TEST_F(SyncBeside, SyncsNothingWhereTheFilesOwnSyncWouldNot) {
    const auto file = Written("quiet.dat");
    file->SyncWritten();
    const std::uint64_t syncs = TPhysicalFile::SyncCount();
    TSyncBeside sync;
    EXPECT_FALSE(sync.Start(*file, true));
    sync.Finish();
    EXPECT_EQ(TPhysicalFile::SyncCount(), syncs);
    EXPECT_TRUE(sync.Start(*file, false));
    sync.Finish();
    EXPECT_EQ(TPhysicalFile::SyncCount(), syncs + 1);

    TFileHandler memory;
    memory.SetName("MEMORY\\SyncBeside\\quiet.dat");
    memory.SetInMemory(true);
    memory.CreateFile();
    memory.Write(std::vector<std::byte>(100, std::byte{2}));
    for (const bool written_only : {true, false}) {
        EXPECT_FALSE(sync.Start(memory, written_only));
        sync.Finish();
    }
    EXPECT_EQ(TPhysicalFile::SyncCount(), syncs + 1);
}

// The worker takes one sync at a time: while it holds one caller's, another caller's sync runs
// on that caller's thread rather than waiting behind it. And a sync given up before Finish (as
// an exception leaving the caller would) is still over before its owner is gone.
TEST_F(SyncBeside, ABusyWorkerLeavesTheSyncToTheCallerAndEverySyncEnds) {
    const auto first = Written("first.dat");
    const auto second = Written("second.dat");
    {
        TSyncBeside held;
        watch.hold = true;
        ASSERT_TRUE(held.Start(*first, true));
        while (!watch.held)
            std::this_thread::yield();
        TSyncBeside other;
        EXPECT_FALSE(other.Start(*second, true));
        other.Finish();
        EXPECT_EQ(second->UnsyncedBytes(), 0);
        ASSERT_EQ(watch.threads.size(), 2u);
        EXPECT_EQ(watch.threads[1], std::this_thread::get_id());
        EXPECT_EQ(watch.finished, 1);
        watch.released = true;
        // `held` goes without Finish.
    }
    EXPECT_EQ(watch.finished, 2);
    EXPECT_EQ(first->UnsyncedBytes(), 0);
    // The worker is free again.
    first->Write(std::vector<std::byte>(5, std::byte{3}));
    TSyncBeside again;
    EXPECT_TRUE(again.Start(*first, true));
    again.Finish();
    EXPECT_EQ(first->UnsyncedBytes(), 0);
}

// A fork ends the worker's thread first: the forked process starts a worker thread of its own,
// whose syncs run and end, and ends cleanly; the parent's next sync starts its thread again.
TEST_F(SyncBeside, AForkedProcessHandsItsSyncsToAWorkerOfItsOwn) {
    const auto file = Written("forked.dat");
    {
        TSyncBeside sync;
        ASSERT_TRUE(sync.Start(*file, true));
        sync.Finish();
    }
    file->Write(std::vector<std::byte>(5, std::byte{3}));
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        int code = 0;
        try {
            const std::uint64_t beside = SyncsBeside();
            for (int round = 0; round < 2 && code == 0; ++round) {
                TSyncBeside sync;
                if (!sync.Start(*file, false))
                    code = 1;
                sync.Finish();
            }
            if (code == 0 && (SyncsBeside() - beside != 2 || file->UnsyncedBytes() != 0))
                code = 2;
        } catch (...) {
            code = 3;
        }
        ::_exit(code);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    file->Write(std::vector<std::byte>(5, std::byte{4}));
    const std::uint64_t beside = SyncsBeside();
    TSyncBeside sync;
    ASSERT_TRUE(sync.Start(*file, true));
    sync.Finish();
    EXPECT_EQ(SyncsBeside(), beside + 1);
    EXPECT_EQ(file->UnsyncedBytes(), 0);
}

}  // namespace
}  // namespace strata
