// The syncs at the end of an UPDATE or DELETE: each file once, the index file's beside the data
// file's; a failing sync of either file fails the statement with that file's error, and every
// later statement that would sync that file fails the same way until the table is closed.

#include <gtest/gtest.h>

#include <cerrno>
#include <mutex>
#include <string>
#include <vector>

#include "engine/core/data_cursor.h"
#include "engine/core/table_repair.h"
#include "engine/storage/engine_error.h"
#include "engine/storage/file_objects.h"
#include "engine/storage/sync_worker.h"
#include "sql_execution_fixture.h"

namespace strata {
namespace {

using sqltest::SqlExecution;

std::mutex failing_lock;
std::string failing_folder;
std::vector<std::string> failing_ends;  // file name endings whose syncs fail

int FailChosenSyncs(const std::string& name) {
    std::lock_guard guard(failing_lock);
    if (name.rfind(failing_folder, 0) != 0)
        return 0;
    for (const std::string& end : failing_ends) {
        if (name.size() >= end.size() &&
            name.compare(name.size() - end.size(), end.size(), end) == 0)
            return EIO;
    }
    return 0;
}

void FailSyncs(std::vector<std::string> ends) {
    std::lock_guard guard(failing_lock);
    failing_ends = std::move(ends);
}

// For either sync mode, and a data file's, an index file's or both files' sync failing at the
// end of an UPDATE or a DELETE: the statement fails with the failing file's error (the data
// file's when both fail) after syncing each file once. Written through, the data file's first
// sync is the in-progress mark's, before any page: when it fails, the mark is synced once more
// past the failure and nothing of the statement is written. The system may have dropped what
// that sync was for, so the next statement, in a batch of its own, fails with the same error
// without asking the failed file's sync again; closing the table reports it; the next session
// finds the in-progress mark and needs a repair, after which the rows of both statements are
// there, unless the mark's sync failed and kept them out of the files.
TEST_F(SqlExecution, AFailingSyncAtAStatementsEndFailsItAndEveryLaterStatementOfTheTable) {
    {
        std::lock_guard guard(failing_lock);
        failing_folder = dir_.Path().string();
    }
    SetFileSyncHook(FailChosenSyncs);
    struct Unhook {
        ~Unhook() {
            SetFileSyncHook(nullptr);
            FailSyncs({});
        }
    } unhook;
    struct Case {
        std::vector<std::string> fail;
        std::string named;
        std::uint64_t syncs_after;  // of the file that did not fail
    };
    const Case cases[] = {
        {{".DAT"}, ".DAT", 1}, {{".IDX"}, ".IDX", 1}, {{".DAT", ".IDX"}, ".DAT", 0}};
    const auto code_of = [](const std::function<void()>& action) -> EngineErrorCode {
        try {
            action();
        } catch (const EStrataEngineError& e) {
            return e.ErrorCode();
        }
        return 0;
    };
    int table_number = 0;
    for (const bool force : {false, true}) {
        for (const Case& k : cases) {
            for (const bool del : {false, true}) {
                const std::string table = "s" + std::to_string(table_number++);
                SCOPED_TRACE(table + k.named + (force ? " forced" : "") + (del ? " delete" : ""));
                session_->SetForceBufferFlush(false);
                Run("CREATE TABLE " + table + " (id INTEGER, n INTEGER)");
                Run("CREATE INDEX byn ON " + table + " (n)");
                for (int i = 0; i < 40; ++i)
                    Run("INSERT INTO " + table + " VALUES (" + std::to_string(i) + ", " +
                        std::to_string(i % 4) + ")");
                // Held open, as the application holds its tables.
                TDataCursor held(*directory_);
                held.SetTableName(table);
                held.SetExclusive(false);
                held.Open();
                session_->SetForceBufferFlush(force);
                FailSyncs(k.fail);
                std::uint64_t syncs = TPhysicalFile::SyncCount();
                const std::string first = del ? "DELETE FROM " + table + " WHERE n = 0"
                                              : "UPDATE " + table + " SET n = n + 10 WHERE n = 0";
                try {
                    Run(first);
                    ADD_FAILURE() << "no error";
                } catch (const EStrataEngineError& e) {
                    EXPECT_EQ(e.ErrorCode(), kErrUnknownOs);
                    EXPECT_NE(std::string(e.what()).find(table + k.named), std::string::npos)
                        << e.what();
                }
                const bool data_fails = k.named == ".DAT";
                // The files' syncs, then the mark's once more past the failure; written
                // through, the mark's sync first, and when that fails nothing else but its
                // second try.
                EXPECT_EQ(TPhysicalFile::SyncCount() - syncs, force && data_fails ? 2u : 3u);
                EXPECT_FALSE(directory_->InBatch());
                FailSyncs({});
                syncs = TPhysicalFile::SyncCount();
                try {
                    Run("UPDATE " + table + " SET n = n + 100 WHERE n = 1");
                    ADD_FAILURE() << "no error";
                } catch (const EStrataEngineError& e) {
                    EXPECT_EQ(e.ErrorCode(), kErrUnknownOs);
                    EXPECT_NE(std::string(e.what()).find(table + k.named), std::string::npos)
                        << e.what();
                }
                EXPECT_EQ(TPhysicalFile::SyncCount() - syncs,
                          force && data_fails ? 0u : k.syncs_after);
                EXPECT_FALSE(directory_->InBatch());
                EXPECT_EQ(code_of([&] { held.Close(); }), kErrUnknownOs);
                EXPECT_EQ(code_of([&] { Select("SELECT id FROM " + table); }), kErrHeaderCorrupt);
                {
                    TDataCursor repairer(*directory_);
                    repairer.SetTableName(table);
                    repairer.SetExclusive(true);
                    RepairTable(repairer, false, 0);
                }
                const bool written = !(force && data_fails);
                const std::vector<std::string> rows = Select("SELECT id FROM " + table);
                EXPECT_EQ(rows.size(), del && written ? 30u : 40u);
                EXPECT_EQ(Select("SELECT id FROM " + table + " WHERE n = 10").size(),
                          del || !written ? 0u : 10u);
                EXPECT_EQ(Select("SELECT id FROM " + table + " WHERE n = 101").size(),
                          written ? 10u : 0u);
                OpenSession();
                EXPECT_EQ(Select("SELECT id FROM " + table + " WHERE n >= 10").size(),
                          !written ? 0u : (del ? 10u : 20u));
            }
        }
    }
}

}  // namespace
}  // namespace strata
