// A durable post and a batch's end sync the data and index files side by side, the index
// file's on the process's sync worker: both syncs run, on two threads, before the post
// returns; a failing sync of either file reaches the caller as the file's own error, and so
// does every later sync of that file until the table is closed.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/core/data_cursor.h"
#include "engine/core/data_table.h"
#include "engine/core/table_repair.h"
#include "engine/storage/engine_error.h"
#include "engine/storage/file_handler.h"
#include "engine/storage/file_objects.h"
#include "engine/storage/sync_worker.h"
#include "tests/engine/core/cursor_test_support.h"

namespace strata {
namespace {

using namespace testing_support;

bool EndsWith(const std::string& text, std::string_view end) {
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// The syncs of the watched folder's table files, in the order they began and ended, with the
// threads they ran on; failures for the extensions asked. With `meet` set, each of the two
// files' syncs waits (bounded) until the other's has begun, which only syncs running side by
// side get past, and the index file's then lingers before it ends, so that a post that
// returned before it would be seen.
struct SyncLog {
    std::mutex lock;
    std::string folder;
    std::vector<std::string> fail;  // ".DAT", ".IDX"
    std::vector<std::string> events;
    std::vector<std::thread::id> threads;
    bool meet = false;
    std::atomic<bool> data_began{false};
    std::atomic<bool> index_began{false};
    std::atomic<bool> mark_passed{false};
    std::atomic<int> missed_meetings{0};
    // A sync of a ".HLD" file holds the worker until released.
    std::atomic<bool> holding{false};
    std::atomic<bool> released{false};
    // The in-progress flag byte the data file holds as each of its syncs begins.
    std::vector<int> data_flags;
};
SyncLog sync_log;

std::string FileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// The offset of the data file's flag byte, which holds the in-progress mark.
constexpr std::size_t kFlagByte = 111;
constexpr int kMarkOn = 2;

int LogSync(const std::string& name) {
    if (name.rfind(sync_log.folder, 0) != 0)
        return 0;
    if (EndsWith(name, ".HLD")) {
        sync_log.holding = true;
        for (int i = 0; i < 30000 && !sync_log.released; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return 0;
    }
    const bool data = EndsWith(name, ".DAT");
    const bool index = EndsWith(name, ".IDX");
    if (!data && !index)
        return 0;
    const std::string ext = data ? ".DAT" : ".IDX";
    const std::string bytes = data ? FileBytes(name) : std::string();
    {
        std::lock_guard guard(sync_log.lock);
        if (data)
            sync_log.data_flags.push_back(bytes.size() > kFlagByte ? bytes[kFlagByte] : -1);
        sync_log.events.push_back("begin " + ext);
        sync_log.threads.push_back(std::this_thread::get_id());
    }
    // The first data sync of a durable post is the in-progress mark's, which runs alone.
    if (sync_log.meet && !(data && !sync_log.mark_passed.exchange(true))) {
        (data ? sync_log.data_began : sync_log.index_began) = true;
        const std::atomic<bool>& other = data ? sync_log.index_began : sync_log.data_began;
        int waited = 0;
        for (; waited < 2000 && !other; ++waited)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (!other)
            ++sync_log.missed_meetings;
        if (index)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    bool failing = false;
    {
        std::lock_guard guard(sync_log.lock);
        sync_log.events.push_back("end " + ext);
        for (const std::string& f : sync_log.fail)
            failing = failing || f == ext;
    }
    return failing ? EIO : 0;
}

int FailDataWriteBack(const std::string& name) {
    return name.rfind(sync_log.folder, 0) == 0 && EndsWith(name, ".DAT") ? EIO : 0;
}

class TableSync : public CursorTest {
  protected:
    void SetUp() override {
        CursorTest::SetUp();
        ResetLog();
        sync_log.folder = dir.Path().string();
        SetFileSyncHook(LogSync);
    }
    void TearDown() override {
        SetFileSyncHook(nullptr);
        SetFileWritebackHook(nullptr);
        CursorTest::TearDown();
    }
    static void ResetLog() {
        std::lock_guard guard(sync_log.lock);
        sync_log.fail.clear();
        sync_log.data_flags.clear();
        sync_log.events.clear();
        sync_log.threads.clear();
        sync_log.meet = false;
        sync_log.data_began = false;
        sync_log.index_began = false;
        sync_log.mark_passed = false;
        sync_log.missed_meetings = 0;
        sync_log.holding = false;
        sync_log.released = false;
    }
    // The code and message of the engine error `action` raised.
    static std::pair<EngineErrorCode, std::string> ErrorOf(const std::function<void()>& action) {
        try {
            action();
        } catch (const EStrataEngineError& e) {
            return {e.ErrorCode(), e.what()};
        }
        return {0, ""};
    }
};

// Each durable post syncs both files, the two syncs running at once on two threads, and
// returns only after the later of them has ended, whichever file that is. The sync of the
// in-progress mark comes first, alone.
TEST_F(TableSync, ADurablePostReturnsOnlyOnceBothSyncsRanSideBySide) {
    session->SetForceBufferFlush(true);
    TDataCursor& c = CreateAndOpen(ListTableDefinition(), "mailist", false);
    InsertEntry(c, "first@x.org", "news", 1);
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        ResetLog();
        sync_log.meet = true;
        const std::uint64_t syncs = TPhysicalFile::SyncCount();
        const std::uint64_t beside = SyncsBeside();
        InsertEntry(c, "member" + std::to_string(i) + "@x.org", "news", i);
        std::lock_guard guard(sync_log.lock);
        EXPECT_EQ(TPhysicalFile::SyncCount() - syncs, 3u);
        EXPECT_EQ(SyncsBeside() - beside, 1u);
        EXPECT_EQ(sync_log.missed_meetings, 0);
        ASSERT_EQ(sync_log.events.size(), 6u);
        EXPECT_EQ(sync_log.events[0], "begin .DAT");
        EXPECT_EQ(sync_log.events[1], "end .DAT");
        // Both began before either ended, and both ended before the post returned.
        EXPECT_EQ(sync_log.events[2].substr(0, 5), "begin");
        EXPECT_EQ(sync_log.events[3].substr(0, 5), "begin");
        EXPECT_EQ(sync_log.events[4].substr(0, 3), "end");
        EXPECT_EQ(sync_log.events[5].substr(0, 3), "end");
        ASSERT_EQ(sync_log.threads.size(), 3u);
        EXPECT_NE(sync_log.threads[1], sync_log.threads[2]);
    }
    sync_log.meet = false;
    c.Close();
    TDataCursor& reopened = NewCursor();
    reopened.Open();
    EXPECT_EQ(reopened.GetTableRecordCount(), 5);
}

// While the worker holds another thread's sync, a durable post does not wait for it: it syncs
// both of its files on its own thread, each once, and returns.
TEST_F(TableSync, APostWhileTheWorkerIsBusySyncsBothFilesItself) {
    session->SetForceBufferFlush(true);
    TDataCursor& c = CreateAndOpen(ListTableDefinition(), "mailist", false);
    InsertEntry(c, "first@x.org", "news", 1);
    TFileHandler other;
    other.SetName(dir.File("other.HLD"));
    other.CreateFile();
    other.Write(std::vector<std::byte>(100, std::byte{9}));
    TSyncBeside busy;
    ASSERT_TRUE(busy.Start(other, true));
    while (!sync_log.holding)
        std::this_thread::yield();
    {
        std::lock_guard guard(sync_log.lock);
        sync_log.events.clear();
        sync_log.threads.clear();
    }
    const std::uint64_t syncs = TPhysicalFile::SyncCount();
    const std::uint64_t beside = SyncsBeside();
    InsertEntry(c, "second@x.org", "news", 2);
    // The mark's, then the two files'.
    EXPECT_EQ(TPhysicalFile::SyncCount() - syncs, 3u);
    EXPECT_EQ(SyncsBeside(), beside);
    {
        std::lock_guard guard(sync_log.lock);
        EXPECT_EQ(sync_log.events.size(), 6u);
        for (const std::thread::id thread : sync_log.threads)
            EXPECT_EQ(thread, std::this_thread::get_id());
    }
    sync_log.released = true;
    busy.Finish();
    EXPECT_EQ(other.UnsyncedBytes(), 0);
    EXPECT_EQ(SyncsBeside(), beside + 1);
}

// What the watched folder's files held as the first sync of a data file there began.
struct FirstSync {
    std::string folder;
    bool seen = false;
    std::string data;
    std::string index;
};
FirstSync first_sync;

int CaptureFirstSync(const std::string& name) {
    if (name.rfind(first_sync.folder, 0) != 0 || !EndsWith(name, ".DAT") || first_sync.seen)
        return 0;
    first_sync.seen = true;
    first_sync.data = FileBytes(name);
    first_sync.index = FileBytes(name.substr(0, name.size() - 4) + ".IDX");
    return 0;
}

// Written through, a change's in-progress mark is on disk before any page it covers can get
// there: as the data file's first sync of a durable post, or of a batch's end, begins, the mark
// is on and neither file holds anything else of the change yet. The change's own syncs follow,
// and once it returns the mark is off and the pages are in.
TEST_F(TableSync, WrittenThroughTheMarkIsSyncedBeforeAnyPageOfTheChange) {
    session->SetForceBufferFlush(true);
    TDataCursor& c = CreateAndOpen(ListTableDefinition(), "marked", false);
    InsertEntry(c, "first@x.org", "news", 1);
    const std::string data_path = (dir.Path() / "marked.DAT").string();
    const std::string index_path = (dir.Path() / "marked.IDX").string();
    SetFileSyncHook(CaptureFirstSync);
    int n = 0;
    for (const bool batch : {false, true}) {
        SCOPED_TRACE(batch ? "batch" : "post");
        const std::string data_before = FileBytes(data_path);
        const std::string index_before = FileBytes(index_path);
        ASSERT_GT(data_before.size(), kFlagByte);
        ASSERT_NE(data_before[kFlagByte], kMarkOn);
        first_sync = {};
        first_sync.folder = dir.Path().string();
        const std::uint64_t syncs = TPhysicalFile::SyncCount();
        if (batch) {
            directory->BeginUpdateBatch();
            for (int i = 0; i < 5; ++i)
                InsertEntry(c, "b" + std::to_string(n++) + "@x.org", "news", i);
            directory->EndUpdateBatch(true);
        } else {
            InsertEntry(c, "p" + std::to_string(n++) + "@x.org", "news", 2);
        }
        ASSERT_TRUE(first_sync.seen);
        ASSERT_EQ(first_sync.data.size(), data_before.size());
        EXPECT_EQ(first_sync.data[kFlagByte], kMarkOn);
        std::string unmarked = first_sync.data;
        unmarked[kFlagByte] = data_before[kFlagByte];
        EXPECT_TRUE(unmarked == data_before) << "a record or the header went before the mark";
        EXPECT_TRUE(first_sync.index == index_before) << "an index page went before the mark";
        // The mark's sync, then the change's own sync of each file.
        EXPECT_EQ(TPhysicalFile::SyncCount() - syncs, 3u);
        EXPECT_NE(FileBytes(data_path)[kFlagByte], kMarkOn);
        EXPECT_NE(FileBytes(index_path), index_before);
    }
    SetFileSyncHook(LogSync);
    EXPECT_EQ(c.GetTableRecordCount(), 7);
    c.Close();
}

// Opens the table after a failed sync: the in-progress mark the failure left stops the open
// until a repair, which keeps every row that reached the files.
std::vector<std::string> ItemsAfterRepair(TDataCursor& reopened, TDataCursor& repairer,
                                          TDataCursor& again) {
    EXPECT_EQ(CodeOf([&] { reopened.Open(); }), kErrHeaderCorrupt);
    RepairTable(repairer, false, 0);
    again.Open();
    std::vector<std::string> items = Items(again);
    again.Close();
    return items;
}

// The syncs of the watched folder's table files, each with its thread and the data file's flag
// byte as it began and, after a linger that a post not waiting for it would use to take the
// mark off, as it ended; the data file's sync numbered `fail_data` (from 1) fails. `poster` is
// the thread that posts.
struct ChangeSyncs {
    struct Seen {
        std::string ext;
        std::thread::id thread;
        int flag_at_begin;
        int flag_at_end;
    };
    std::mutex lock;
    std::string folder;
    int data_syncs = 0;
    int fail_data = 0;
    std::thread::id poster;
    std::vector<Seen> seen;
};
ChangeSyncs change_syncs;

int WatchChangeSyncs(const std::string& name) {
    if (name.rfind(change_syncs.folder, 0) != 0)
        return 0;
    const bool data = EndsWith(name, ".DAT");
    if (!data && !EndsWith(name, ".IDX"))
        return 0;
    const std::string data_path = data ? name : name.substr(0, name.size() - 4) + ".DAT";
    const auto flag = [&] {
        const std::string bytes = FileBytes(data_path);
        return bytes.size() > kFlagByte ? static_cast<int>(bytes[kFlagByte]) : -1;
    };
    const int at_begin = flag();
    int number = 0;
    {
        std::lock_guard guard(change_syncs.lock);
        if (data)
            number = ++change_syncs.data_syncs;
    }
    // A sync beside the posting thread lingers the longer, so that a post that did not wait for
    // it would take the mark off meanwhile.
    const bool beside = std::this_thread::get_id() != change_syncs.poster;
    std::this_thread::sleep_for(std::chrono::milliseconds(beside ? 40 : 5));
    std::lock_guard guard(change_syncs.lock);
    change_syncs.seen.push_back(
        {data ? ".DAT" : ".IDX", std::this_thread::get_id(), at_begin, flag()});
    return data && number == change_syncs.fail_data ? EIO : 0;
}

// A durable post writes its index pages first and syncs the index file on the sync worker while
// it writes and syncs the data file. The in-progress mark went to disk first, alone, and stays on
// through both syncs, so a power cut during either finds it; it comes off only after both
// ended. When the data file's sync fails, the index file's still runs, the post reports the
// data file's failure, the mark stays, every later post fails the same way, and a repair finds
// every row the files were given.
TEST_F(TableSync, ADurablePostKeepsTheMarkOnUntilBothFilesSyncsEnded) {
    session->SetForceBufferFlush(true);
    TDataCursor& c = CreateAndOpen(ListTableDefinition(), "overlap", false);
    InsertEntry(c, "first@x.org", "news", 1);
    const std::string data_path = (dir.Path() / "overlap.DAT").string();
    change_syncs.folder = dir.Path().string();
    change_syncs.poster = std::this_thread::get_id();
    SetFileSyncHook(WatchChangeSyncs);
    const auto reset = [](int fail_data) {
        std::lock_guard guard(change_syncs.lock);
        change_syncs.data_syncs = 0;
        change_syncs.fail_data = fail_data;
        change_syncs.seen.clear();
    };
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        reset(0);
        InsertEntry(c, "p" + std::to_string(i) + "@x.org", "news", i);
        std::lock_guard guard(change_syncs.lock);
        ASSERT_EQ(change_syncs.seen.size(), 3u);
        const ChangeSyncs::Seen& mark = change_syncs.seen[0];
        EXPECT_EQ(mark.ext, ".DAT");
        EXPECT_EQ(mark.thread, std::this_thread::get_id());
        EXPECT_EQ(mark.flag_at_begin, kMarkOn);
        for (std::size_t k = 1; k < 3; ++k) {
            const ChangeSyncs::Seen& change = change_syncs.seen[k];
            SCOPED_TRACE(change.ext);
            EXPECT_EQ(change.thread == std::this_thread::get_id(), change.ext == ".DAT");
            EXPECT_EQ(change.flag_at_begin, kMarkOn);
            EXPECT_EQ(change.flag_at_end, kMarkOn) << "the mark came off during a sync";
        }
        EXPECT_NE(change_syncs.seen[1].ext, change_syncs.seen[2].ext);
        EXPECT_NE(FileBytes(data_path)[kFlagByte], kMarkOn);
    }
    reset(2);
    const auto [code, message] = ErrorOf([&] { InsertEntry(c, "lost@x.org", "news", 7); });
    EXPECT_EQ(code, kErrUnknownOs);
    EXPECT_NE(message.find("overlap.DAT"), std::string::npos) << message;
    {
        std::lock_guard guard(change_syncs.lock);
        EXPECT_EQ(std::count_if(change_syncs.seen.begin(), change_syncs.seen.end(),
                                [](const ChangeSyncs::Seen& seen) { return seen.ext == ".IDX"; }),
                  1);
    }
    EXPECT_EQ(FileBytes(data_path)[kFlagByte], kMarkOn);
    EXPECT_TRUE(c.Table()->DataFile().WriteInterrupted());
    reset(0);
    EXPECT_EQ(ErrorOf([&] { InsertEntry(c, "later@x.org", "news", 8); }).second, message);
    SetFileSyncHook(LogSync);
    EXPECT_EQ(ErrorOf([&] { c.Close(); }).second, message);
    const std::vector<std::string> items = ItemsAfterRepair(
        NewCursor("overlap", false), NewCursor("overlap", true), NewCursor("overlap", false));
    // The mark on disk lets the later post write before its sync fails: its row is there too.
    EXPECT_EQ(items.size(), 6u);
    for (const std::string item : {"lost@x.org", "later@x.org"})
        EXPECT_NE(std::find(items.begin(), items.end(), item), items.end()) << item;
}

// A failing sync of the data file, of the index file or of both, on a durable post or at a
// batch's end, reaches the caller as the error the file's own sync raises (the data file's
// when both fail). The data file's first sync is the in-progress mark's, before any page of the
// change: when it fails, the mark is written and synced once more past the failure, and nothing
// of the change is written. When the index file's fails, both files' syncs ran after the mark's.
// The system may have dropped the bytes the failed sync was for, so every later durable post
// fails with the same error naming the same file, without a sync of it that could pass (the
// index file's failure leaves the data file syncing); the rows can still be read; the close
// reports the failure; and the mark left on the files makes the next open ask for a repair,
// after which the rows that reached the files are there.
TEST_F(TableSync, AFailingSyncOfEitherFileReachesTheCallerAndEveryLaterSyncOfItFails) {
    session->SetForceBufferFlush(true);
    struct Case {
        std::vector<std::string> fail;
        std::string named;
        bool data_fails;
    };
    const Case cases[] = {
        {{".DAT"}, ".DAT", true}, {{".IDX"}, ".IDX", false}, {{".DAT", ".IDX"}, ".DAT", true}};
    int rows = 0;
    for (const bool batch : {false, true}) {
        for (const Case& k : cases) {
            SCOPED_TRACE(k.named + (batch ? " batch" : " post"));
            const std::string table = "t" + std::to_string(rows);
            TDataCursor& c = CreateAndOpen(ListTableDefinition(), table, false);
            InsertEntry(c, "first@x.org", "news", 1);
            ResetLog();
            sync_log.fail = k.fail;
            const std::uint64_t syncs = TPhysicalFile::SyncCount();
            const auto [code, message] = ErrorOf([&] {
                if (batch) {
                    directory->BeginUpdateBatch();
                    for (int i = 0; i < 5; ++i)
                        InsertEntry(c, "b" + std::to_string(i) + "@x.org", "news", i);
                    directory->EndUpdateBatch(true);
                } else {
                    InsertEntry(c, "second@x.org", "news", 2);
                }
            });
            EXPECT_EQ(code, kErrUnknownOs);
            EXPECT_NE(message.find(table + k.named), std::string::npos) << message;
            {
                std::lock_guard guard(sync_log.lock);
                if (k.data_fails) {
                    // The mark's sync, then the mark's once more: the change went no further.
                    EXPECT_EQ(TPhysicalFile::SyncCount() - syncs, 2u);
                    EXPECT_EQ(sync_log.data_flags, (std::vector<int>{kMarkOn, kMarkOn}));
                    EXPECT_EQ(
                        std::count(sync_log.events.begin(), sync_log.events.end(), "begin .IDX"),
                        0);
                } else {
                    EXPECT_EQ(TPhysicalFile::SyncCount() - syncs, 3u);
                    EXPECT_EQ(sync_log.events.size(), 6u);
                }
            }
            // The batch is over, failure or not.
            EXPECT_FALSE(directory->InBatch());
            for (const std::string item : {"third@x.org", "fourth@x.org"}) {
                // The disk would let the next syncs pass: they must not.
                ResetLog();
                const auto [next_code, next_message] =
                    ErrorOf([&] { InsertEntry(c, item, "news", 3); });
                EXPECT_EQ(next_code, code) << item;
                EXPECT_EQ(next_message, message) << item;
                std::lock_guard guard(sync_log.lock);
                const std::vector<std::string> expected =
                    k.data_fails ? std::vector<std::string>{}
                                 : std::vector<std::string>{"begin .DAT", "end .DAT"};
                EXPECT_EQ(sync_log.events, expected) << item;
            }
            const std::vector<std::string> readable = Items(c);
            EXPECT_NE(std::find(readable.begin(), readable.end(), "first@x.org"), readable.end());
            if (!k.data_fails) {
                EXPECT_EQ(c.GetTableRecordCount(), batch ? 8 : 4);
            }
            EXPECT_EQ(ErrorOf([&] { c.Close(); }).second, message);
            const std::vector<std::string> items = ItemsAfterRepair(
                NewCursor(table, false), NewCursor(table, true), NewCursor(table, false));
            EXPECT_NE(std::find(items.begin(), items.end(), "first@x.org"), items.end());
            // Nothing was really lost here: the repair keeps every row the files hold, and
            // with the data file failing no row of a failed change reached them.
            EXPECT_EQ(items.size(), k.data_fails ? 1u : (batch ? 8u : 4u));
            ++rows;
        }
    }
}

// A failed sync leaves the table's other files, and the folder's other tables, alone: another
// table's durable posts sync both its files and succeed, and it closes and opens as ever,
// while the failed table's posts go on failing.
TEST_F(TableSync, AFailedSyncOfOneTableLeavesTheOtherTablesSyncing) {
    session->SetForceBufferFlush(true);
    TDataCursor& failed = CreateAndOpen(ListTableDefinition(), "failed", false);
    TDataCursor& sound = CreateAndOpen(ListTableDefinition(), "sound", false);
    sync_log.fail = {".DAT"};
    EXPECT_EQ(ErrorOf([&] { InsertEntry(failed, "a@x.org", "news", 1); }).first, kErrUnknownOs);
    ResetLog();
    for (int i = 0; i < 3; ++i) {
        const std::uint64_t syncs = TPhysicalFile::SyncCount();
        InsertEntry(sound, "s" + std::to_string(i) + "@x.org", "news", i);
        // The mark's sync, then both files'.
        EXPECT_EQ(TPhysicalFile::SyncCount() - syncs, 3u);
        const auto [code, message] =
            ErrorOf([&] { InsertEntry(failed, "f" + std::to_string(i) + "@x.org", "news", i); });
        EXPECT_EQ(code, kErrUnknownOs);
        EXPECT_NE(message.find("failed.DAT"), std::string::npos) << message;
    }
    sound.Close();
    TDataCursor& again = NewCursor("sound", false);
    again.Open();
    EXPECT_EQ(again.GetTableRecordCount(), 3);
    again.Close();
    EXPECT_EQ(ErrorOf([&] { failed.Close(); }).first, kErrUnknownOs);
}

// Without forced flushes, a batch's end syncs the files with a flush: its failure leaves the
// mark on (the end's flush had taken it off) and fails every later flush to disk and durable
// post; a failed write-back started while the batch went on fails the batch's end the same way,
// without a sync of the file that could pass.
TEST_F(TableSync, AFailureAtABatchEndFailsTheFlushesAndDurablePostsAfterIt) {
    for (const bool write_back : {false, true}) {
        SCOPED_TRACE(write_back ? "write-back" : "sync");
        const std::string table = write_back ? "wb" : "flush";
        session->SetForceBufferFlush(false);
        TDataCursor& c = CreateAndOpen(ListTableDefinition(), table, false);
        InsertEntry(c, "first@x.org", "news", 1);
        c.FlushToDisk();
        ResetLog();
        directory->BeginUpdateBatch();
        for (int i = 0; i < 5; ++i)
            InsertEntry(c, "b" + std::to_string(i) + "@x.org", "news", i);
        // The data file's write-back fails on the write-behind's thread an in-batch flush
        // starts it on; the index file's sync fails at the end.
        const std::string failing = write_back ? ".DAT" : ".IDX";
        if (write_back) {
            SetFileWritebackHook(FailDataWriteBack);
            directory->EndUpdateBatch(false);
            InsertEntry(c, "late@x.org", "news", 9);
        } else {
            sync_log.fail = {".IDX"};
        }
        const auto [code, message] = ErrorOf([&] { directory->EndUpdateBatch(true); });
        SetFileWritebackHook(nullptr);
        EXPECT_EQ(code, kErrUnknownOs);
        EXPECT_NE(message.find(table + failing), std::string::npos) << message;
        EXPECT_FALSE(directory->InBatch());
        // The end's flush took the mark off before its sync; the failure put it back.
        EXPECT_TRUE(c.Table()->DataFile().WriteInterrupted());
        if (write_back) {
            // The failed write-back may have dropped the page holding the mark: the only sync
            // of the data file asked for is the one that puts the mark on disk again, and it
            // does not make the batch's end pass.
            std::lock_guard guard(sync_log.lock);
            EXPECT_EQ(sync_log.data_flags, std::vector<int>{kMarkOn});
        }
        ResetLog();
        EXPECT_EQ(ErrorOf([&] { c.FlushToDisk(); }).second, message);
        session->SetForceBufferFlush(true);
        EXPECT_EQ(ErrorOf([&] { InsertEntry(c, "durable@x.org", "news", 2); }).second, message);
        // Reading still works.
        const std::vector<std::string> seen = Items(c);
        EXPECT_NE(std::find(seen.begin(), seen.end(), "first@x.org"), seen.end());
        EXPECT_EQ(ErrorOf([&] { c.Close(); }).second, message);
        const std::vector<std::string> items = ItemsAfterRepair(
            NewCursor(table, false), NewCursor(table, true), NewCursor(table, false));
        EXPECT_NE(std::find(items.begin(), items.end(), "first@x.org"), items.end());
    }
}

}  // namespace
}  // namespace strata
