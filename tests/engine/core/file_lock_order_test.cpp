// The order in which the engine's threads take their locks: the file registry's before a file
// object's, and a file object's only once nothing more is waited for (byte ranges another
// session holds included). Each case runs an engine path on one thread and, at a point a hook
// stops it at, has another thread take what it needs in the documented order. A path that holds
// a lock the other thread needs while it waits for one that thread holds would deadlock; the
// other thread gives up after a bounded wait instead, so a fault fails the case rather than
// hanging it.

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "engine/storage/file_handler.h"
#include "engine/storage/file_registry.h"
#include "engine/storage/storage_library.h"
#include "tests/engine/core/cursor_test_support.h"

namespace strata {
namespace {

using namespace testing_support;
using namespace std::chrono_literals;

// Long enough for any thread that is not stuck.
constexpr auto kBound = 10s;

// What the hooks act on: the thread of the path under test and the file object it works on.
struct HookState {
    std::atomic<bool> armed{false};
    std::thread::id path_thread;
    TAbstractFile* object = nullptr;
    // The other thread: true when it got every lock it asked for.
    std::future<bool> other;
};
HookState hook_state;

// Another thread takes the registry's lock and then the object's, as opening or closing a
// handle of a shared file does; it returns once it has both, or gives up after kBound. The
// caller goes on once the registry's lock is held.
void TakeRegistryThenObject() {
    std::promise<void> registry_held;
    std::future<void> held = registry_held.get_future();
    hook_state.other =
        std::async(std::launch::async, [registry_held = std::move(registry_held)]() mutable {
            TFileList& files = GlobalFileList();
            files.Lock();
            registry_held.set_value();
            TAbstractFile* object = hook_state.object;
            auto inner = std::async(std::launch::async, [object] {
                object->Lock();
                object->Unlock();
            });
            const bool got = inner.wait_for(kBound) == std::future_status::ready;
            files.Unlock();
            inner.wait();
            return got;
        });
    ASSERT_EQ(held.wait_for(kBound), std::future_status::ready);
}

// At the path's first file step (the restore's copy), the other thread runs.
void StepHook() {
    // Other threads step too (the index file's write-behind): the thread is looked at only
    // once the path has armed the hook.
    if (!hook_state.armed || std::this_thread::get_id() != hook_state.path_thread ||
        !hook_state.armed.exchange(false))
        return;
    TakeRegistryThenObject();
}

// Runs `path` on a thread of its own, named in `thread`, with `armed` set for the hook that
// acts on it, and waits for it (bounded).
void RunArmed(std::atomic<bool>& armed, std::thread::id& thread,
              const std::function<void()>& path) {
    std::promise<void> started;
    auto run = std::async(std::launch::async, [&] {
        thread = std::this_thread::get_id();
        armed = true;
        started.set_value();
        path();
    });
    started.get_future().wait();
    ASSERT_EQ(run.wait_for(6 * kBound), std::future_status::ready);
    EXPECT_NO_THROW(run.get());
    EXPECT_FALSE(armed) << "the path never reached the hook";
}

class FileLockOrder : public CursorTest {
  protected:
    void TearDown() override {
        SetFileStepHook(nullptr);
        SetFileLockWaitHook(nullptr);
        hook_state.armed = false;
        CursorTest::TearDown();
    }
};

// A restore of the index file copies its backup in through the registry. It must not hold the
// index file's lock while it waits for the registry: a thread that holds the registry and wants
// the index file's object would wait for it in turn. The restored file is the backup's bytes.
TEST_F(FileLockOrder, IndexRestoreDoesNotHoldTheIndexFileWhileWaitingForTheRegistry) {
    TDataCursor& c = CreateAndOpen(ListTableDefinition());
    InsertEntry(c, "a@x", "A", 1);
    InsertEntry(c, "b@x", "B", 2);
    c.BackupIndex();
    c.AddIndex(MakeIndex("Extra", {6}, false));
    const std::vector<std::uint8_t> backup = ReadBytes(dir.File("mailist.IBK"));
    ASSERT_FALSE(backup.empty());

    hook_state.object = c.Table()->IndexFile().FileObject();
    SetFileStepHook(&StepHook);
    RunArmed(hook_state.armed, hook_state.path_thread, [&] { c.RestoreIndex(false, false); });
    SetFileStepHook(nullptr);
    ASSERT_TRUE(hook_state.other.valid());
    EXPECT_TRUE(hook_state.other.get())
        << "the restore held the index file's lock while it waited for the registry";

    EXPECT_EQ(c.GetIndexCount(), 3);
    c.Close();
    EXPECT_EQ(ReadBytes(dir.File("mailist.IDX")), backup);
    c.Open();
    EXPECT_EQ(Items(c), (std::vector<std::string>{"a@x", "b@x"}));
}

// A second session of the process on the same table, as another window's cursor has it.
struct OtherSession {
    TDataSession session;
    TDataDirectory* directory = nullptr;
    std::unique_ptr<TDataCursor> cursor;
    explicit OtherSession(const std::string& path) {
        directory = session.OpenDirectory("DB", path);
        cursor = std::make_unique<TDataCursor>(*directory);
        cursor->SetTableName("mailist");
        cursor->SetExclusive(false);
        cursor->Open();
    }
};

// The reader the writer waits for: it finishes its read, which takes the data file's object,
// and then lets its read lock go.
struct ReaderState {
    std::atomic<bool> armed{false};
    std::thread::id writer;
    TDataTable* table = nullptr;
    std::atomic<bool> finished_in_time{false};
    std::future<void> read;
};
ReaderState reader_state;

void FinishRead() {
    TDataFile& data = reader_state.table->DataFile();
    std::array<std::byte, 16> bytes{};
    {
        const TFileHandler::FileObjectLock lock(data);
        data.SeekFile(0, SeekOrigin::kBegin);
        data.Read(bytes);
    }
    reader_state.table->ReadUnlock();
}

// At the writer's first refused attempt at its file locks, the reader finishes. Should the
// writer hold the data file's object meanwhile, the reader never gets it; the hook then lets
// the reader's lock go itself, so that the writer still ends.
void LockWaitHook() {
    if (!reader_state.armed || std::this_thread::get_id() != reader_state.writer ||
        !reader_state.armed.exchange(false))
        return;
    reader_state.read = std::async(std::launch::async, FinishRead);
    if (reader_state.read.wait_for(kBound) == std::future_status::ready) {
        reader_state.finished_in_time = true;
        return;
    }
    reader_state.table->ReadUnlock();
}

// A write lock taken inside a batch waits for its file locks until something is written: then
// it may wait for another session's reader to finish. That wait must not hold the object of
// the file being written, which the reader needs to finish its read and let its lock go.
TEST_F(FileLockOrder, DeferredFileLocksAreNotWaitedForUnderAFileObjectLock) {
    {
        TDataCursor& c = CreateAndOpen(ListTableDefinition());
        InsertEntry(c, "a@x", "A", 1);
        c.Close();
    }
    TDataCursor& writer = NewCursor("mailist", false);
    writer.Open();
    OtherSession other(dir.Path().string());
    TDataTable* reading = other.cursor->Table();
    ASSERT_NE(reading, nullptr);

    directory->BeginUpdateBatch();
    InsertEntry(writer, "b@x", "B", 2);
    InsertEntry(writer, "c@x", "C", 3);
    // Held across the batch's end, the write lock's file locks are taken at the first write.
    writer.WriteLock();
    reading->ReadLock();

    reader_state.table = reading;
    reader_state.finished_in_time = false;
    SetFileLockWaitHook(&LockWaitHook);
    RunArmed(reader_state.armed, reader_state.writer, [&] { directory->EndUpdateBatch(true); });
    SetFileLockWaitHook(nullptr);
    if (reader_state.read.valid())
        reader_state.read.get();
    EXPECT_TRUE(reader_state.finished_in_time)
        << "the batch's end waited for its file locks holding the data file's object";

    writer.WriteUnlock();
    writer.Close();
    other.cursor->Close();
    TDataCursor& check = NewCursor();
    check.Open();
    EXPECT_EQ(Items(check), (std::vector<std::string>{"a@x", "b@x", "c@x"}));
}

}  // namespace
}  // namespace strata
