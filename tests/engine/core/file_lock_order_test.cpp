// The order in which the engine's threads take the file registry's lock and the file objects'
// locks: the registry's first. Each case runs the engine's path on one thread and, at a point a
// hook stops it at, takes the locks in the documented order on another. A path that holds a
// lock the other thread needs while it waits for one that thread holds would deadlock; the
// other thread gives up after a bounded wait instead, so a fault fails the case rather than
// hanging it.

#include <gtest/gtest.h>

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
    hook_state.other = std::async(std::launch::async, [&registry_held] {
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
    if (std::this_thread::get_id() != hook_state.path_thread || !hook_state.armed.exchange(false))
        return;
    TakeRegistryThenObject();
}

class FileLockOrder : public CursorTest {
  protected:
    void TearDown() override {
        SetFileStepHook(nullptr);
        hook_state.armed = false;
        hook_state.object = nullptr;
        CursorTest::TearDown();
    }

    // Runs `path` on a thread of its own with the hook armed, and waits for it and the other
    // thread; true when the other thread got its locks.
    bool RunPathAgainstOtherThread(TAbstractFile* object, const std::function<void()>& path) {
        hook_state.object = object;
        std::promise<void> started;
        auto run = std::async(std::launch::async, [&] {
            hook_state.path_thread = std::this_thread::get_id();
            hook_state.armed = true;
            started.set_value();
            path();
        });
        started.get_future().wait();
        // The path itself waits at most as long as the other thread holds the registry.
        EXPECT_EQ(run.wait_for(3 * kBound), std::future_status::ready);
        run.get();
        EXPECT_FALSE(hook_state.armed) << "the path never reached its file step";
        return hook_state.other.valid() && hook_state.other.get();
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

    SetFileStepHook(&StepHook);
    TIndexFile& index = c.Table()->IndexFile();
    EXPECT_TRUE(RunPathAgainstOtherThread(index.FileObject(), [&] {
        c.RestoreIndex(false, false);
    })) << "the restore held the index file's lock while it waited for the registry";
    SetFileStepHook(nullptr);

    EXPECT_EQ(c.GetIndexCount(), 3);
    c.Close();
    EXPECT_EQ(ReadBytes(dir.File("mailist.IDX")), backup);
    c.Open();
    EXPECT_EQ(Items(c), (std::vector<std::string>{"a@x", "b@x"}));
}

}  // namespace
}  // namespace strata
