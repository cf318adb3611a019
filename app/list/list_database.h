#pragma once

// The list database: one engine session "CVSession", the database bound to
// the chosen directory, the list table "mailist.DAT", the daily statistics
// table "mailstat.DAT" and the in-memory recipients table of a mail-out. It
// creates, opens, upgrades and repairs the tables, keeps the list of recently
// used database directories and counts the daily statistics.

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/dataset/strata_session.h"
#include "engine/dataset/strata_table.h"
#include "platform/db/component.h"
#include "platform/db/date_time.h"

namespace app {

struct Settings;

inline constexpr std::string_view kSessionName = "CVSession";
inline constexpr std::string_view kListTableName = "mailist.DAT";
inline constexpr std::string_view kStatsTableName = "mailstat.DAT";
inline constexpr std::size_t kMaxRecentPaths = 10;
inline constexpr int kItemSize = 80;
inline constexpr int kCategorySize = 80;
inline constexpr int kCommentsSize = 80;
inline constexpr int kNameSize = 50;
inline constexpr int kSalutationSize = 25;

// Statistics kinds of AddStatRecord.
inline constexpr int kStatSubscribe = 1;
inline constexpr int kStatUnsubscribe = -1;
inline constexpr int kStatBounce = 9;

// Beside the tables while an import writes to them (ListDatabase::BeginImport).
inline constexpr std::string_view kImportMarkFile = "ImportRunning.txt";

// True when dir holds the list table ("mailist.DAT"); dir ends in a separator.
bool databaseexistsindirectory(std::string_view dir);
bool StatsTableExistsInDirectory(std::string_view dir);

// Creates the list table (unless stats_only) and the statistics table in dir
// when they do not exist. Failures propagate.
void CreateListTables(std::string_view dir, bool stats_only,
                      std::string_view session = kSessionName);

// Holds the write lock of a table shared with other programs for one
// read-then-write step, so that two programs never both find an entry missing
// and both add it. Does nothing on a table open exclusively.
class SharedTableLock {
  public:
    explicit SharedTableLock(strata::TStrataTable& table);
    ~SharedTableLock();
    SharedTableLock(const SharedTableLock&) = delete;
    SharedTableLock& operator=(const SharedTableLock&) = delete;

  private:
    strata::TStrataTable* table_ = nullptr;
};

class ListDatabase {
  public:
    // settings supplies DBPath, StrictChangeDetection and DBExclusive and gets
    // DBPath back after every successful open. A second database in one
    // process (a test standing in for a second copy of the program) needs a
    // session name of its own.
    ListDatabase(Settings& settings, std::string program_dir,
                 std::string session_name = std::string(kSessionName));
    ~ListDatabase();
    ListDatabase(const ListDatabase&) = delete;
    ListDatabase& operator=(const ListDatabase&) = delete;

    // The start: loads "recent.txt", reads DBPath, StrictChangeDetection and
    // DBExclusive from the registry (quietly) and opens DBPath. A program folder that
    // cannot be written to is said first, once; no database is then offered to be
    // made there. Returns the open flag.
    bool dmCVCreate();

    // Opens the database directory; every failure becomes a box and the
    // recovery question, nothing is raised. Returns the database-open flag.
    bool OpenDatabase(std::string_view path);
    bool DatabaseOpen() const { return open_; }
    // The directory open now (with a trailing separator), or empty.
    const std::string& Directory() const { return directory_; }
    const std::string& ProgramDir() const { return program_dir_; }

    strata::TStrataTable& tblCV() { return *tblCV_; }
    strata::TStrataTable& tblStats() { return *tblStats_; }
    strata::TStrataTable& tblTemp() { return *tblTemp_; }

    void RepairDatabase(bool ask);
    // An import writes to the tables between its saves, which leaves them partly written
    // when the program is ended: a mark beside them tells the next start that this is
    // what it finds, so that it mends the tables without asking. Written (synced) before
    // the import's first row, removed once its last save is on disk; best effort, as a
    // mark that cannot be written only brings back the question.
    void BeginImport();
    void EndImport();
    void UpgradeToV11();
    void UpgradeToV20();
    // Closes both tables.
    void CloseTables();
    // Flushes both tables when open, under the hourglass.
    void SaveDatabase();
    // Keeps the list's changes in memory until EndHeldChanges, so that neither a read nor a
    // full cache writes part of them: work that saves with a journal of its own (a check of
    // requests) then finds on disk only what its journal knows of. Only for a list opened
    // exclusively, as the hold keeps every other program's writes out. EndHeldChanges writes
    // what was held and answers whether anything was.
    void HoldChanges();
    bool EndHeldChanges();

    const std::vector<std::string>& RecentPaths() const { return recent_; }
    void AddPathToRecent(std::string_view path);
    // A "recent.txt" that cannot be read is reported; the list starts empty and saving
    // leaves the file as it is.
    void LoadRecentList();
    void SaveRecentList() const;
    // The reopen menu is enabled with two or more paths.
    bool ReopenEnabled() const { return recent_.size() >= 2; }
    // Rebuilds the reopen menu (the forms set it).
    std::function<void(const std::vector<std::string>&)> OnRecentChanged;

    // Counts one event in the row of the day of `when`: 1 subscribe,
    // -1 unsubscribe, 9 bounce; any other kind touches the row only.
    void AddStatRecord(int kind, db::TDateTime when);
    // The counts of the day's row (subscribes, unsubscribes, bounces), or none.
    std::optional<std::array<std::int32_t, 3>> StatRecord(db::TDateTime day);
    // Gives the day's row exactly these counts; none deletes the row. Requires: the
    // statistics table's lock held (SharedTableLock) from the read the counts came from.
    void SetStatRecord(db::TDateTime day, const std::optional<std::array<std::int32_t, 3>>& counts);

    void CreateTemporaryTables();
    void DestroyTemporaryTables();

    // Fired after every post and every delete on the list table, so that a
    // cache of the list's addresses can be dropped.
    std::function<void()> OnListChanged;
    // The shared progress display (position, caption, maximum); a maximum of 0
    // hides it.
    std::function<void(int, std::string_view, int)> OnProgress;
    // Fills the list from a back-up file (the forms run the import); the way
    // forward offered for a list with nothing left to save.
    std::function<void(const std::string& file)> OnRestoreBackUp;
    // Fired when an open has the folder's tables open, after whatever repair, new start or
    // restore of the back-up it took, so that what shows the list (its count) follows.
    std::function<void()> OnOpened;

  private:
    enum class Recovery { kRepair, kQuietRepair, kUpgrade, kNone };
    // The folder a stored DBPath stands for, with a trailing separator: the program
    // directory for an empty path, "%" or the root.
    std::string DatabaseFolder(std::string_view path) const;
    bool TryOpen(const std::string& dir);
    Recovery AskRecovery();
    // What an open that failed with e calls for: the question, unless an import was cut
    // short in dir and e is the damage that leaves.
    Recovery RecoveryFor(const std::string& dir, const std::exception& e);
    // The repair of RepairDatabase; quiet, it shows its box only when entries were taken out.
    void RunRepair(bool quiet);
    bool RunUpgradeChain();
    void ReportRepairFailure(const std::string& dir, const std::exception& e);
    // The box for a list whose files hold nothing to save: moves the damaged
    // files aside and makes new tables when the user chooses a new start.
    bool StartAgain(const std::string& dir);
    // The statistics of a list started again keep their days when a repair leaves them
    // sound; only statistics damaged beyond that are set aside.
    void KeepSoundStats(const std::string& dir);
    void RestorePendingBackUp();
    void ReportProgress(int position, std::string_view caption, int maximum);

    Settings& settings_;
    std::string program_dir_;
    std::string session_name_;
    std::string directory_;
    bool holding_ = false;
    bool open_ = false;
    std::vector<std::string> recent_;
    bool recent_unreadable_ = false;
    std::string pending_backup_;
    db::ComponentPtr<strata::TStrataSession> session_;
    db::ComponentPtr<strata::TStrataDatabase> DBCV_;
    db::ComponentPtr<strata::TStrataTable> tblCV_;
    db::ComponentPtr<strata::TStrataTable> tblStats_;
    db::ComponentPtr<strata::TStrataTable> tblTemp_;
};

}  // namespace app
