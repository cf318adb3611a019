#include "app/list/list_database.h"

#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <random>
#include <span>
#include <stdexcept>
#include <utility>
#include <vector>

#include "app/list/export_list.h"
#include "app/list/program_state.h"
#include "app/list/settings.h"
#include "app/routines/file_routines.h"
#include "app/routines/text_routines.h"
#include "engine/core/data_directory.h"
#include "engine/core/table_rescue.h"
#include "engine/storage/engine_error.h"
#include "platform/db/code_page_text.h"
#include "platform/db/field_defs.h"
#include "platform/db/index_defs.h"
#include "platform/db/string_list.h"
#include "platform/os/file_system.h"
#include "platform/os/thread.h"
#include "platform/os/whole_file.h"
#include "platform/ui/cursor.h"
#include "platform/ui/prompt.h"

namespace app {
namespace {

constexpr std::string_view kDatabaseName = "CVDB";
constexpr std::string_view kRecentFile = "recent.txt";
constexpr std::int32_t kListAutoIncStart = 363;
constexpr int kMaxRecoveryRounds = 10;

// File names are matched without regard to case, as the engine opens them.
bool FileInDir(std::string_view dir, std::string_view name) {
    return platform::os::FileExists(
        platform::os::ResolvePath(std::string(dir) + std::string(name)));
}

db::ComponentPtr<strata::TStrataTable> MakeTable(std::string_view session,
                                                 std::string_view database, std::string_view name) {
    auto table = db::MakeComponent<strata::TStrataTable>(nullptr);
    table->SetSessionName(session);
    table->SetDatabaseName(database);
    table->SetTableName(name);
    return table;
}

// A temporary database for the creation of the tables, so that creation
// never disturbs the database that is open now.
class CreationDatabase {
  public:
    CreationDatabase(std::string_view session, std::string_view dir) {
        database_ = db::MakeComponent<strata::TStrataDatabase>(nullptr);
        database_->SetDatabaseName("CVCreate");
        database_->SetSessionName(session);
        database_->SetDirectory(dir);
        database_->Open();
    }
    ~CreationDatabase() { database_->Close(); }

  private:
    db::ComponentPtr<strata::TStrataDatabase> database_;
};

struct SecondaryIndex {
    std::string_view name;
    std::string_view fields;
};
// The list table's secondary indexes, as a new list table gets them.
constexpr SecondaryIndex kListIndexes[] = {
    {"ByCategory", "Category"}, {"ByBounce", "Bounces"}, {"ByItem", "Item"}};

constexpr std::string_view kListFields[] = {"Index",    "Item", "Category",   "Bounces",
                                            "Comments", "Name", "Salutation", "SendRights"};

void CreateList(std::string_view session, std::string_view database) {
    auto table = MakeTable(session, database, "mailist.dat");
    table->SetExclusive(true);
    if (table->Exists())
        return;
    db::TFieldDefs& f = *table->FieldDefs();
    f.Add("Index", db::ftAutoInc);
    f.Add("Item", db::ftString, kItemSize);
    f.Add("Category", db::ftString, kCategorySize);
    f.Add("Bounces", db::ftInteger);
    f.Add("Comments", db::ftString, kCommentsSize);
    f.Add("Name", db::ftString, kNameSize);
    f.Add("Salutation", db::ftString, kSalutationSize);
    f.Add("SendRights", db::ftBoolean);
    db::TIndexDefs& x = table->IndexDefs();
    x.Add("", "Index;Item", db::ixPrimary | db::ixUnique);
    for (const SecondaryIndex& index : kListIndexes)
        x.Add(index.name, index.fields, db::ixCaseInsensitive);
    table->CreateTable();
    strata::TRestructureFieldDefs& rf = table->RestructureFieldDefs();
    rf.Add("Index", db::ftAutoInc, 1, 0, "", "", "", "", false, 0);
    rf.Add("Item", db::ftString, 2, 0, "", "", "", "", false, kItemSize);
    rf.Add("Category", db::ftString, 3, 0, "", "", "", "", false, kCategorySize);
    rf.Add("Bounces", db::ftInteger, 4, 0, "", "", "", "0", false, 0);
    rf.Add("Comments", db::ftString, 5, 0, "", "", "", "", false, kCommentsSize);
    rf.Add("Name", db::ftString, 6, 0, "", "", "", "", false, kNameSize);
    rf.Add("Salutation", db::ftString, 7, 0, "", "", "", "", false, kSalutationSize);
    rf.Add("SendRights", db::ftBoolean, 8, 0, "", "", "", "", false, 0);
    strata::TRestructureIndexDefs& ri = table->RestructureIndexDefs();
    ri.Add("", "Index;Item", db::ixPrimary | db::ixUnique, 3);
    for (const SecondaryIndex& index : kListIndexes)
        ri.Add(index.name, index.fields, db::ixCaseInsensitive, 0);
    table->RestructureTable(0, 0, 0, 0, false, "", "", 512, kListAutoIncStart, true);
}

void CreateStats(std::string_view session, std::string_view database) {
    auto table = MakeTable(session, database, "mailstat.dat");
    table->SetExclusive(true);
    if (table->Exists())
        return;
    db::TFieldDefs& f = *table->FieldDefs();
    f.Add("Date", db::ftDate, 0, true);
    f.Add("Subscribes", db::ftInteger);
    f.Add("Unsubscribes", db::ftInteger);
    f.Add("Bounces", db::ftInteger);
    f.Add("Notes", db::ftString, 200);
    table->IndexDefs().Add("", "Date", db::ixPrimary | db::ixUnique | db::ixCaseInsensitive);
    table->CreateTable();
    strata::TRestructureFieldDefs& rf = table->RestructureFieldDefs();
    rf.Add("Date", db::ftDate, 1, 0, "", "", "", "", true, 0);
    rf.Add("Subscribes", db::ftInteger, 2, 0, "", "", "", "", false, 0);
    rf.Add("Unsubscribes", db::ftInteger, 3, 0, "", "", "", "", false, 0);
    rf.Add("Bounces", db::ftInteger, 4, 0, "", "", "", "", false, 0);
    rf.Add("Notes", db::ftString, 5, 0, "", "", "", "", false, 200);
    table->RestructureIndexDefs().Add("", "Date",
                                      db::ixPrimary | db::ixUnique | db::ixCaseInsensitive, 3);
    table->RestructureTable(0, 0, 1, 0, false, "", "", 512, 0, true);
}

bool HasField(strata::TStrataTable& table, std::string_view name) {
    strata::TRestructureFieldDefs& defs = table.RestructureFieldDefs();
    defs.SetLoaded(false);
    defs.Update();
    for (std::size_t i = 0; i < defs.Count(); ++i) {
        if (SameText(defs.Items(i).Name, name))
            return true;
    }
    return false;
}

// The indexes a table of the current structure is made with, and the user version its
// creation gives it.
struct TableIndexes {
    std::span<const std::string_view> fields;
    SecondaryIndex primary;
    db::TIndexOptions primary_options;
    std::span<const SecondaryIndex> secondary;
    std::uint16_t user_major;
};

constexpr std::string_view kStatsFields[] = {"Date", "Subscribes", "Unsubscribes", "Bounces",
                                             "Notes"};
constexpr TableIndexes kListTableIndexes{
    kListFields, {"", "Index;Item"}, db::ixPrimary | db::ixUnique, kListIndexes, 0};
constexpr TableIndexes kStatsTableIndexes{
    kStatsFields, {"", "Date"}, db::ixPrimary | db::ixUnique | db::ixCaseInsensitive, {}, 1};

// An index file that was lost comes back from the engine holding no index at all, and the
// tables open on "Item" and "Date": they would fail at every start however often they were
// repaired. The indexes of a table of the current structure are made again as a new table
// has them; the primary index is unique over keys that are already unique (the
// auto-increment number, the day) and the others are not unique, so no entry is lost.
// Returns whether any was made; a table of an earlier structure is left to the upgrade.
bool RestoreIndexes(strata::TStrataTable& table, const TableIndexes& wanted) {
    strata::TRestructureFieldDefs& fields = table.RestructureFieldDefs();
    fields.SetLoaded(false);
    fields.Update();
    for (std::string_view name : wanted.fields) {
        bool found = false;
        for (std::size_t i = 0; i < fields.Count() && !found; ++i)
            found = SameText(fields.Items(i).Name, name);
        if (!found)
            return false;
    }
    strata::TRestructureIndexDefs& indexes = table.RestructureIndexDefs();
    indexes.SetLoaded(false);
    indexes.Update();
    struct Kept {
        std::string name;
        std::string fields;
        db::TIndexOptions options;
        std::uint8_t compression;
    };
    std::vector<Kept> kept;
    for (std::size_t i = 0; i < indexes.Count(); ++i) {
        const strata::TRestructureIndexDef& d = indexes.Items(i);
        kept.push_back({d.Name, d.Fields, d.Options, d.Compression});
    }
    const auto has = [&kept](std::string_view name) {
        return std::any_of(kept.begin(), kept.end(),
                           [name](const Kept& k) { return SameText(k.name, name); });
    };
    const bool has_primary = !kept.empty() && (kept.front().options & db::ixPrimary) != 0;
    bool complete = has_primary;
    for (const SecondaryIndex& index : wanted.secondary)
        complete = complete && has(index.name);
    if (complete)
        return false;
    // The primary index stands first; indexes the table still has keep their definitions.
    indexes.Clear();
    indexes.SetLoaded(true);
    if (!has_primary)
        indexes.Add(wanted.primary.name, wanted.primary.fields, wanted.primary_options, 3);
    for (const Kept& k : kept)
        indexes.Add(k.name, k.fields, k.options, k.compression);
    for (const SecondaryIndex& index : wanted.secondary) {
        if (!has(index.name))
            indexes.Add(index.name, index.fields, db::ixCaseInsensitive, 0);
    }
    // Adding indexes rebuilds them under an exclusive hold, also for a shared database.
    const bool exclusive = table.Exclusive();
    table.SetExclusive(true);
    try {
        table.RestructureTable(0, 0, wanted.user_major, 0, false, "", "", 512, -1, true);
    } catch (...) {
        table.SetExclusive(exclusive);
        throw;
    }
    table.SetExclusive(exclusive);
    return true;
}

std::string MessageOf(const std::exception& e) {
    return e.what();
}

// A folder of new, empty tables made by the program's own definitions: what
// damage left unreadable in the user's tables is rebuilt from them.
class TemplateTables {
  public:
    explicit TemplateTables(std::string_view session) {
        std::string pattern = AppendPathDelimiter(GetTempDir()) + "CVTemplateXXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr)
            throw std::runtime_error("Cannot create a folder in " + GetTempDir());
        dir_ = AppendPathDelimiter(pattern);
        try {
            CreateListTables(dir_, false, session);
        } catch (...) {
            Remove();
            throw;
        }
    }
    ~TemplateTables() { Remove(); }
    TemplateTables(const TemplateTables&) = delete;
    TemplateTables& operator=(const TemplateTables&) = delete;
    const std::string& Dir() const { return dir_; }

  private:
    void Remove() noexcept {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    std::string dir_;
};

// Collects, while it lives, the entries a repair of the tables had to take out (a key a
// unique index holds twice), so that they are shown rather than silently lost; the
// progress display is hidden when it ends.
class RepairWatch {
  public:
    RepairWatch(std::initializer_list<strata::TStrataTable*> tables, std::function<void()> hide)
        : tables_(tables), hide_(std::move(hide)) {
        for (strata::TStrataTable* table : tables_) {
            table->OnRepairLog = [this](strata::TStrataTable*, std::string_view line) {
                if (line.starts_with("Physical record # "))
                    taken_out_.push_back(
                        db::CodePageToUtf8(platform::nls::CodePage::Western, line));
            };
        }
    }
    ~RepairWatch() {
        for (strata::TStrataTable* table : tables_)
            table->OnRepairLog = nullptr;
        try {
            hide_();
        } catch (const std::exception&) {
            // A display that cannot be hidden goes with the next progress shown.
        }
    }
    RepairWatch(const RepairWatch&) = delete;
    RepairWatch& operator=(const RepairWatch&) = delete;
    const std::vector<std::string>& TakenOut() const { return taken_out_; }

    std::string CompletedText() const {
        std::string text = "Repair of your database has been completed!";
        if (taken_out_.empty())
            return text;
        text +=
            "\r\n\r\nThese entries could not be kept in the table and were taken out; "
            "enter them again if you need them:";
        constexpr std::size_t kShown = 20;
        for (std::size_t i = 0; i < taken_out_.size() && i < kShown; ++i)
            text += "\r\n" + taken_out_[i];
        if (taken_out_.size() > kShown)
            text += "\r\n... and " + std::to_string(taken_out_.size() - kShown) + " more";
        return text;
    }

  private:
    std::vector<strata::TStrataTable*> tables_;
    std::function<void()> hide_;
    std::vector<std::string> taken_out_;
};

// A failure the files' contents cause, as against the system they lie on (a full disk,
// rights, a lock another program holds).
bool IsDamage(const strata::EStrataEngineError& e) {
    const int category = e.ErrorCode() >> 8;
    return e.OsError() == 0 && category != 0x28 && category != 0x29 && category != 0x2B;
}

bool BeginsWithText(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && SameText(text.substr(0, prefix.size()), prefix);
}

// The files of the two tables kept aside in dir: the damaged ones of a new start, beside
// the tables, and the copies a repair that did not finish left in its folder.
std::vector<std::string> FilesKeptAside(const std::string& dir) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
        const std::string name = entry.path().filename().string();
        if (BeginsWithText(name, "mailist-damaged-") || BeginsWithText(name, "mailstat-damaged-"))
            names.push_back(name);
    }
    const std::string copies = std::string(strata::kRepairCopiesFolder) + "/";
    for (const auto& entry : std::filesystem::directory_iterator(dir + copies, ec))
        names.push_back(copies + entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// The back-up file written last: the configured one or one of its numbered
// followers ("backup_2.csv", ...), whichever is newest; empty when none exists.
std::string LastBackUpFile(const Settings& settings, const std::string& program_dir) {
    const std::filesystem::path first = BackUpFileName(settings.BackUpFilename, program_dir, false);
    const std::string stem = first.stem().string();
    const std::string ext = first.extension().string();
    std::string newest;
    std::filesystem::file_time_type newest_time{};
    std::error_code ec;
    const std::filesystem::path folder =
        first.parent_path().empty() ? std::filesystem::path(".") : first.parent_path();
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
        const std::string name = entry.path().filename().string();
        const bool numbered =
            BeginsWithText(name, stem + "_") && SameText(entry.path().extension().string(), ext);
        if (!SameText(name, first.filename().string()) && !numbered)
            continue;
        const auto time = entry.last_write_time(ec);
        if (!ec && (newest.empty() || time > newest_time)) {
            newest = entry.path().string();
            newest_time = time;
        }
    }
    return newest;
}

}  // namespace

SharedTableLock::SharedTableLock(strata::TStrataTable& table) {
    if (table.Active() && !table.Exclusive()) {
        table.LockTable();
        table_ = &table;
    }
}

SharedTableLock::~SharedTableLock() {
    if (table_ == nullptr)
        return;
    try {
        table_->UnlockTable();
    } catch (const std::exception&) {
        // The lock goes with the table's file handle when it closes.
    }
}

bool databaseexistsindirectory(std::string_view dir) {
    return FileInDir(dir, kListTableName);
}

bool StatsTableExistsInDirectory(std::string_view dir) {
    return FileInDir(dir, kStatsTableName);
}

namespace {

void CheckFileStep(platform::os::Status status, std::string_view what, const std::string& path) {
    if (!status.ok())
        throw std::runtime_error("Cannot " + std::string(what) + " " + path + " (error " +
                                 std::to_string(status.code()) + ")");
}

bool IsDataFile(const std::filesystem::path& file) {
    return SameText(file.extension().string(), ".DAT");
}

// Moves every file of the staging folder into home, each data file after the
// files of its table. A file already in home under a name being moved in is
// what a run stopped while moving left behind: no data file claims it.
void MoveTablesIn(const std::string& staging, const std::string& home) {
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(staging))
        files.push_back(entry.path());
    std::stable_partition(files.begin(), files.end(),
                          [](const std::filesystem::path& f) { return !IsDataFile(f); });
    for (const std::filesystem::path& file : files) {
        const std::string target = home + file.filename().string();
        const std::string stray = platform::os::ResolvePath(target);
        if (platform::os::FileExists(stray))
            CheckFileStep(platform::os::DeleteFile(stray), "remove", stray);
        CheckFileStep(platform::os::MoveFile(file.string(), target), "move in", target);
    }
    CheckFileStep(platform::os::SyncDirectory(home), "sync", home);
}

// Creation folders are named "CVCreate<pid>-<n>.tmp", so the one a killed
// creation left can be told from one a running creation is filling.
constexpr std::string_view kStagingPrefix = "CVCreate";

void RemoveStaleStagingFolders(const std::string& home) {
    for (const std::string& name : platform::os::LeftByEndedPrograms(home, kStagingPrefix)) {
        if (name.size() < 4 || name.compare(name.size() - 4, 4, ".tmp") != 0)
            continue;
        std::error_code ignored;
        if (std::filesystem::is_directory(home + name, ignored))
            std::filesystem::remove_all(home + name, ignored);
    }
}

}  // namespace

// The tables are made in a folder of their own and moved in with each data
// file last, so a run stopped half-way never leaves a half-made table under
// the real name: the next start finds no data file and creates it again.
void CreateListTables(std::string_view dir, bool stats_only, std::string_view session) {
    const std::string home = AppendPathDelimiter(std::string(dir));
    const bool make_list = !stats_only && !databaseexistsindirectory(home);
    const bool make_stats = !StatsTableExistsInDirectory(home);
    if (!make_list && !make_stats)
        return;
    RemoveStaleStagingFolders(home);
    std::random_device random;
    const std::string staging = home + std::string(kStagingPrefix) +
                                std::to_string(platform::os::CurrentProcessId()) + "-" +
                                std::to_string(random()) + ".tmp/";
    CheckFileStep(platform::os::CreateDirectories(staging), "create", staging);
    const auto remove_staging = [&staging] {
        std::error_code ignored;
        std::filesystem::remove_all(staging, ignored);
    };
    try {
        {
            CreationDatabase database(session, staging);
            if (make_list)
                CreateList(session, "CVCreate");
            if (make_stats)
                CreateStats(session, "CVCreate");
        }
        MoveTablesIn(staging, home);
    } catch (...) {
        remove_staging();
        throw;
    }
    remove_staging();
}

ListDatabase::ListDatabase(Settings& settings, std::string program_dir, std::string session_name)
    : settings_(settings),
      program_dir_(AppendPathDelimiter(program_dir)),
      session_name_(std::move(session_name)) {
    session_ = db::MakeComponent<strata::TStrataSession>(nullptr);
    session_->SetSessionName(session_name_);
    session_->SetKeepConnections(false);
    session_->SetLockRetryCount(15);
    session_->SetLockWaitTime(100);
    session_->SetLanguageID(5129);
    session_->SetSortID(0);
    DBCV_ = db::MakeComponent<strata::TStrataDatabase>(session_.get());
    DBCV_->SetDatabaseName(kDatabaseName);
    DBCV_->SetSessionName(session_name_);
    tblCV_ = MakeTable(session_name_, kDatabaseName, kListTableName);
    tblCV_->SetIndexFieldNames("Item");
    tblCV_->SetFilterOptions(db::TFilterOptions{db::foCaseInsensitive});
    tblCV_->SetAutoDisplayLabels(false);
    tblCV_->SetCopyOnAppend(false);
    tblCV_->AfterPost = [this](db::TDataSet*) {
        if (OnListChanged)
            OnListChanged();
    };
    tblCV_->AfterDelete = tblCV_->AfterPost;
    tblStats_ = MakeTable(session_name_, kDatabaseName, kStatsTableName);
    tblStats_->SetIndexFieldNames("Date");
    for (strata::TStrataTable* table : {tblCV_.get(), tblStats_.get()}) {
        table->OnRepairProgress = [this](strata::TStrataTable*, std::int32_t,
                                         std::uint16_t percent) {
            ReportProgress(percent, "Repairing Database", 200);
        };
        table->OnOptimizeProgress = [this](strata::TStrataTable* sender, std::int32_t,
                                           std::uint16_t percent) {
            ReportProgress(sender == tblCV_.get() ? percent : 100 + percent, "Optimizing Database",
                           200);
        };
    }
    tblTemp_ = db::MakeComponent<strata::TStrataTable>(nullptr);
    tblTemp_->SetSessionName(session_name_);
    tblTemp_->SetInMemory(true);
    tblTemp_->SetDatabaseName("Memory");
    tblTemp_->SetTableName("TempTable");
    tblTemp_->SetExclusive(true);
}

ListDatabase::~ListDatabase() {
    try {
        DestroyTemporaryTables();
        CloseTables();
        DBCV_->Close();
    } catch (const std::exception&) {
        // Shutting down: nothing is left to report to.
    }
    tblTemp_.reset();
    tblStats_.reset();
    tblCV_.reset();
    DBCV_.reset();
    session_.reset();
}

void ListDatabase::ReportProgress(int position, std::string_view caption, int maximum) {
    if (OnProgress)
        OnProgress(position, caption, maximum);
}

bool ListDatabase::dmCVCreate() {
    LoadRecentList();
    LoadDatabaseSettings(settings_);
    if (const std::string problem = ProgramFolderProblem(program_dir_); !problem.empty()) {
        ui::MessageDlg(problem, ui::mtWarning, {ui::mbOK});
        // No database can be made there: offering to would only say the same again.
        if (DatabaseFolder(settings_.DBPath) == program_dir_ &&
            !databaseexistsindirectory(program_dir_))
            return false;
    }
    OpenDatabase(settings_.DBPath);
    return open_;
}

std::string ListDatabase::DatabaseFolder(std::string_view path) const {
    std::string dir = AppendPathDelimiter(std::string(path));
    if (dir.empty() || dir == "%/" || dir == "%\\" || dir == "/" || dir == "\\")
        return program_dir_;
    return dir;
}

void ListDatabase::CloseTables() {
    tblCV_->Close();
    tblStats_->Close();
}

void ListDatabase::SaveDatabase() {
    // The dialogs flush on closing and the user waits for the disk meanwhile.
    const ui::THourglass hourglass;
    if (tblCV_->Active())
        tblCV_->FlushBuffers();
    if (tblStats_->Active())
        tblStats_->FlushBuffers();
}

void ListDatabase::HoldChanges() {
    strata::TDataDirectory* directory = DBCV_->Handle();
    if (holding_ || !open_ || directory == nullptr || directory->InBatch() || !tblCV_->Exclusive())
        return;
    directory->BeginUpdateBatch();
    holding_ = true;
}

bool ListDatabase::EndHeldChanges() {
    if (!std::exchange(holding_, false))
        return false;
    if (strata::TDataDirectory* directory = DBCV_->Handle())
        directory->EndUpdateBatch(true);
    return true;
}

bool ListDatabase::OpenDatabase(std::string_view path) {
    // Opening a large list, and above all repairing or upgrading it, takes a while.
    const ui::THourglass hourglass;
    const std::string given(path);
    const std::string dir = DatabaseFolder(given);
    RemoveStaleStagingFolders(dir);
    for (int round = 0;; ++round) {
        std::error_code ec;
        std::filesystem::current_path(dir, ec);
        if (!databaseexistsindirectory(dir)) {
            if (ui::MessageDlg("A database cannot be located in the directory, " + dir +
                                   ". Do you want to create a database here?",
                               ui::mtInformation, ui::mbYesNo) != ui::mrYes)
                return open_;
        }
        try {
            if (!databaseexistsindirectory(dir))
                CreateListTables(dir, false, session_name_);
            open_ = false;
            if (!StatsTableExistsInDirectory(dir))
                CreateListTables(dir, true, session_name_);
        } catch (const std::exception& e) {
            // The previous database is closed as well: the one asked for is
            // not there, and what is shown must not pretend otherwise.
            CloseTables();
            open_ = false;
            ui::MessageDlg(
                "The database could not be created in the directory, " + dir + ": " + MessageOf(e),
                ui::mtWarning, {ui::mbOK});
            return false;
        }
        try {
            if (TryOpen(dir)) {
                // The tables open whole: an import's mark left beside them says nothing more.
                (void)platform::os::DeleteFile(dir + std::string(kImportMarkFile));
                AddPathToRecent(dir);
                settings_.DBPath = given;
                directory_ = dir;
                open_ = true;
                RestorePendingBackUp();
                if (OnOpened)
                    OnOpened();
                return true;
            }
            return false;
        } catch (const std::exception& e) {
            // Each recovery is tried again from the top, never by recursion;
            // a table that no recovery mends ends the attempts after a while.
            if (round >= kMaxRecoveryRounds)
                return false;
            const Recovery recovery = RecoveryFor(dir, e);
            switch (recovery) {
                case Recovery::kRepair:
                case Recovery::kQuietRepair:
                    try {
                        RunRepair(recovery == Recovery::kQuietRepair);
                    } catch (const strata::EStrataEngineError& e) {
                        if (e.ErrorCode() != strata::kErrNothingToSave) {
                            ReportRepairFailure(dir, e);
                            return false;
                        }
                        if (!StartAgain(dir))
                            return false;
                    } catch (const std::exception& e) {
                        ReportRepairFailure(dir, e);
                        return false;
                    }
                    continue;
                case Recovery::kUpgrade:
                    if (!RunUpgradeChain())
                        return false;
                    continue;
                case Recovery::kNone:
                    return false;
            }
        }
    }
}

// Opens both tables; false after the box for a table held exclusively
// elsewhere; other failures are raised for the recovery question.
bool ListDatabase::TryOpen(const std::string& dir) {
    CloseTables();
    directory_.clear();
    DBCV_->Close();
    DBCV_->SetDirectory(dir);
    session_->SetStrictChangeDetection(settings_.StrictChangeDetection);
    session_->SetPrivateDir(GetTempDir());
    DBCV_->Open();
    std::error_code ec;
    std::filesystem::current_path(dir, ec);
    tblCV_->SetExclusive(settings_.DBExclusive);
    tblStats_->SetExclusive(settings_.DBExclusive);
    // A table opened over read-only files keeps that as its own setting; every folder is
    // opened for changes again, or one read-only folder would lock every later one too.
    tblCV_->SetReadOnly(false);
    tblStats_->SetReadOnly(false);
    const auto open_tables = [this] {
        tblCV_->Open();
        tblStats_->Open();
        // The list's fields are the ones every rule works on; a table of an
        // earlier structure lacks some and needs the upgrade.
        for (std::string_view field : kListFields) {
            if (tblCV_->FindField(field) == nullptr)
                throw db::EDatabaseError("Field '" + std::string(field) + "' not found");
        }
    };
    try {
        try {
            open_tables();
        } catch (const std::exception& e) {
            const auto* engine = dynamic_cast<const strata::EStrataEngineError*>(&e);
            if (engine != nullptr && engine->ErrorCode() == 11013)
                throw;
            CloseTables();
            const bool list_made = RestoreIndexes(*tblCV_, kListTableIndexes);
            const bool stats_made = RestoreIndexes(*tblStats_, kStatsTableIndexes);
            if (!list_made && !stats_made)
                throw;
            open_tables();
        }
    } catch (const strata::EStrataEngineError& e) {
        CloseTables();
        if (e.ErrorCode() == 11013) {
            ui::MessageDlg(
                "Cannot open your mailing list database, another user has the table open "
                "already.  If you want to be able to share your database, check the Database "
                "Sharing setting in Options on all your copies of Corvane.",
                ui::mtWarning, {ui::mbOK});
            return false;
        }
        throw;
    } catch (...) {
        CloseTables();
        throw;
    }
    return true;
}

ListDatabase::Recovery ListDatabase::AskRecovery() {
    const ui::TModalResult answer = ui::MessageDlg(
        "An error was encountered trying to load your DB file.  Do you want to attempt to "
        "perform a repair it?\r\n\r\nIf you are upgrading from an earlier version of Corvane, "
        "please click 'Retry' to  upgrade it.",
        ui::mtWarning, {ui::mbYes, ui::mbNo, ui::mbRetry});
    if (answer == ui::mrYes)
        return Recovery::kRepair;
    if (answer == ui::mrRetry)
        return Recovery::kUpgrade;
    return Recovery::kNone;
}

bool ListDatabase::RunUpgradeChain() {
    try {
        CloseTables();
        try {
            tblCV_->UpgradeTable();
        } catch (const strata::EStrataEngineError&) {
            // A table already in the current file version has nothing for the
            // engine to upgrade; its structure is checked below.
        }
        if (!HasField(*tblCV_, "Index"))
            UpgradeToV11();
        if (!HasField(*tblCV_, "Name"))
            UpgradeToV20();
        return true;
    } catch (const std::exception&) {
        ui::MessageDlg("Error upgrading your table!", ui::mtError, {ui::mbOK});
        return false;
    }
}

ListDatabase::Recovery ListDatabase::RecoveryFor(const std::string& dir, const std::exception& e) {
    const auto* engine = dynamic_cast<const strata::EStrataEngineError*>(&e);
    const std::string mark = dir + std::string(kImportMarkFile);
    if (engine == nullptr || !IsDamage(*engine) || !platform::os::FileExists(mark))
        return AskRecovery();
    // Removed first: should the repair not mend the tables, the next round asks.
    (void)platform::os::DeleteFile(mark);
    return Recovery::kQuietRepair;
}

void ListDatabase::BeginImport() {
    (void)platform::os::ReplaceFileContents(
        directory_ + std::string(kImportMarkFile),
        "An import into the list beside this file has not finished: the next start mends the "
        "list it left partly written.\n");
}

void ListDatabase::EndImport() {
    (void)platform::os::DeleteFile(directory_ + std::string(kImportMarkFile));
}

void ListDatabase::RepairDatabase(bool ask) {
    if (ask && ui::MessageDlg("Do you want to repair your database to fix any corruption caused "
                              "by an incomplete system shutdown?",
                              ui::mtConfirmation, ui::mbYesNo) != ui::mrYes)
        return;
    RunRepair(false);
}

void ListDatabase::RunRepair(bool quiet) {
    const bool was_open = open_;
    CloseTables();
    bool stats_started_again = false;
    std::string text;
    {
        RepairWatch watch({tblCV_.get(), tblStats_.get()}, [this] { ReportProgress(0, "", 0); });
        const TemplateTables templates(session_name_);
        tblCV_->RepairTable(templates.Dir());
        try {
            tblStats_->RepairTable(templates.Dir());
        } catch (const strata::EStrataEngineError& e) {
            // Statistics with nothing left in them start again; the list is what counts.
            if (e.ErrorCode() != strata::kErrNothingToSave)
                throw;
            tblStats_->MoveFilesAside();
            stats_started_again = true;
        }
        if (!quiet || !watch.TakenOut().empty())
            text = watch.CompletedText();
    }
    if (!text.empty())
        ui::MessageDlg(text, ui::mtInformation, {ui::mbOK});
    if (was_open) {
        if (stats_started_again)
            CreateListTables(directory_, true, session_name_);
        tblCV_->Open();
        tblStats_->Open();
    }
}

void ListDatabase::KeepSoundStats(const std::string& dir) {
    if (!StatsTableExistsInDirectory(dir))
        return;
    std::string text;
    try {
        RepairWatch watch({tblStats_.get()}, [this] { ReportProgress(0, "", 0); });
        const TemplateTables templates(session_name_);
        tblStats_->RepairTable(templates.Dir());
        if (!watch.TakenOut().empty())
            text = watch.CompletedText();
    } catch (const strata::EStrataEngineError& e) {
        if (!IsDamage(e))
            throw;
        tblStats_->MoveFilesAside();
    }
    if (!text.empty())
        ui::MessageDlg(text, ui::mtInformation, {ui::mbOK});
}

void ListDatabase::ReportRepairFailure(const std::string& dir, const std::exception& e) {
    std::string text = "The repair of your database failed: " + MessageOf(e);
    const std::vector<std::string> kept = FilesKeptAside(dir);
    if (!kept.empty()) {
        text += "\r\n\r\nYour files as they were before the repair are kept in " + dir + ":";
        for (const std::string& name : kept)
            text += "\r\n" + name;
    }
    ui::MessageDlg(text, ui::mtError, {ui::mbOK});
}

bool ListDatabase::StartAgain(const std::string& dir) {
    const std::string backup = OnRestoreBackUp ? LastBackUpFile(settings_, program_dir_) : "";
    std::string text = "Your mailing list database in " + dir +
                       " has no entry left that can be saved: its list file is empty or damaged "
                       "throughout.\r\n\r\n";
    if (!backup.empty()) {
        text += "Click 'Yes' to start a new list filled from your last back up file, " + backup +
                ", 'No' to start a new, empty list, or 'Cancel' to leave the files as they are.";
    } else {
        text +=
            "No back up file of your list was found.  Click 'Yes' to start a new, empty "
            "list, or 'No' to leave the files as they are.";
    }
    text +=
        "\r\n\r\nThe damaged files are kept beside the new list under names with "
        "\"-damaged-\" and the date and time.";
    const ui::TModalResult answer =
        ui::MessageDlg(text, ui::mtWarning, backup.empty() ? ui::mbYesNo : ui::mbYesNoCancel);
    const bool restore = !backup.empty() && answer == ui::mrYes;
    const bool empty_list = backup.empty() ? answer == ui::mrYes : answer == ui::mrNo;
    if (!restore && !empty_list)
        return false;
    try {
        CloseTables();
        KeepSoundStats(dir);
        tblCV_->MoveFilesAside();
        CreateListTables(dir, false, session_name_);
    } catch (const std::exception& e) {
        ui::MessageDlg(
            "A new database could not be started in the directory, " + dir + ": " + MessageOf(e),
            ui::mtError, {ui::mbOK});
        return false;
    }
    pending_backup_ = restore ? backup : "";
    return true;
}

void ListDatabase::RestorePendingBackUp() {
    if (pending_backup_.empty() || !OnRestoreBackUp)
        return;
    const std::string file = std::exchange(pending_backup_, std::string());
    // The new list is open whatever becomes of the back-up.
    try {
        OnRestoreBackUp(file);
    } catch (const std::exception& e) {
        ui::MessageDlg(
            "Your back up file, " + file + ", could not be read into the new list: " + MessageOf(e),
            ui::mtError, {ui::mbOK});
    }
}

namespace {

bool ConfirmUpgrade(std::string_view version, std::string_view second_paragraph_lead) {
    const std::string text = "You are about to upgrade your table to " + std::string(version) +
                             " Format.\r\n\r\n" + std::string(second_paragraph_lead) +
                             "This could cause all of the contents of your mailing list database "
                             "to be lost.  Are you sure you want to continue?\r\n\r\nIf you have "
                             "not backed up your database then click 'No'!";
    if (ui::MessageDlg(text, ui::mtWarning, ui::mbYesNo) != ui::mrYes)
        return false;
    ui::ShowMessage(
        "This process may take several minutes on a large database, during which you will see "
        "nothing in the taskbar.  Please wait until you are advised that the process is "
        "complete!  Do not run Corvane again!");
    return true;
}

}  // namespace

void ListDatabase::UpgradeToV11() {
    if (!ConfirmUpgrade("1.1", ""))
        return;
    tblCV_->Close();
    strata::TRestructureFieldDefs& rf = tblCV_->RestructureFieldDefs();
    rf.SetLoaded(false);
    rf.Update();
    rf.Insert(0, "Index", db::ftAutoInc, 5, 0, "", "", "", "", false, 0);
    strata::TRestructureIndexDefs& ri = tblCV_->RestructureIndexDefs();
    ri.SetLoaded(false);
    ri.Update();
    tblCV_->RestructureTable(0, 0, 0, 0, false, "", "", 512, -1, false);
    ui::ShowMessage("Table Upgraded to v1.1!");
}

void ListDatabase::UpgradeToV20() {
    if (!ConfirmUpgrade("2.0", "  "))
        return;
    tblCV_->Close();
    strata::TRestructureFieldDefs& rf = tblCV_->RestructureFieldDefs();
    rf.SetLoaded(false);
    rf.Update();
    rf.Add("Name", db::ftString, 6, 0, "", "", "", "", false, kNameSize);
    rf.Add("Salutation", db::ftString, 7, 0, "", "", "", "", false, kSalutationSize);
    rf.Add("SendRights", db::ftBoolean, 8, 0, "", "", "", "TRUE", false, 0);
    strata::TRestructureIndexDefs& ri = tblCV_->RestructureIndexDefs();
    ri.Clear();
    ri.SetLoaded(true);
    ri.Add("", "Index;Item", db::ixPrimary | db::ixUnique, 3);
    ri.Add("ByCategory", "Category", db::ixCaseInsensitive, 3);
    ri.Add("ByBounce", "Bounces", db::ixCaseInsensitive, 3);
    ri.Add("ByItem", "Item", db::ixCaseInsensitive, 3);
    tblCV_->RestructureTable(0, 0, 0, 0, false, "", "", 512, -1, false);
    ui::ShowMessage("Table Upgraded!");
}

void ListDatabase::AddPathToRecent(std::string_view path) {
    if (path.empty())
        return;
    for (auto it = recent_.begin(); it != recent_.end(); ++it) {
        if (SameText(*it, path)) {
            recent_.erase(it);
            break;
        }
    }
    while (recent_.size() >= kMaxRecentPaths)
        recent_.pop_back();
    recent_.insert(recent_.begin(), std::string(path));
    if (OnRecentChanged)
        OnRecentChanged(recent_);
}

void ListDatabase::LoadRecentList() {
    recent_.clear();
    recent_unreadable_ = false;
    const std::string file = program_dir_ + std::string(kRecentFile);
    if (FileInDir(program_dir_, kRecentFile)) {
        try {
            db::TStringList list;
            list.LoadFromFile(file);
            for (std::int64_t i = 0; i < list.Count() && recent_.size() < kMaxRecentPaths; ++i) {
                if (!list[i].empty())
                    recent_.push_back(list[i]);
            }
        } catch (const std::exception& e) {
            // The program starts without its recent databases rather than not at all.
            recent_.clear();
            recent_unreadable_ = true;
            ui::MessageDlg(std::string(e.what()) +
                               "\r\n\r\nThe list of recent databases starts empty, and the "
                               "file is left as it is.",
                           ui::mtWarning, {ui::mbOK});
        }
    }
    if (OnRecentChanged)
        OnRecentChanged(recent_);
}

void ListDatabase::SaveRecentList() const {
    if (recent_unreadable_)
        return;
    db::TStringList list;
    for (const std::string& path : recent_)
        list.Add(path);
    list.SaveToFile(program_dir_ + std::string(kRecentFile));
}

void ListDatabase::AddStatRecord(int kind, db::TDateTime when) {
    strata::TStrataTable& t = *tblStats_;
    SharedTableLock lock(t);
    const db::TDateTime day = db::DateOf(when);
    if (t.Locate("Date", db::Variant(day), {})) {
        t.Edit();
    } else {
        t.Append();
        t.FieldByName("Date")->SetAsDateTime(day);
        t.FieldByName("Subscribes")->SetAsInteger(0);
        t.FieldByName("Unsubscribes")->SetAsInteger(0);
        t.FieldByName("Bounces")->SetAsInteger(0);
    }
    auto bump = [&](std::string_view field) {
        db::TField* f = t.FieldByName(field);
        f->SetAsInteger(f->IsNull() ? 1 : f->AsInteger() + 1);
    };
    try {
        if (kind == kStatSubscribe)
            bump("Subscribes");
        else if (kind == kStatUnsubscribe)
            bump("Unsubscribes");
        else if (kind == kStatBounce)
            bump("Bounces");
        t.Post();
    } catch (...) {
        t.Cancel();
        throw;
    }
}

std::optional<std::array<std::int32_t, 3>> ListDatabase::StatRecord(db::TDateTime day) {
    strata::TStrataTable& t = *tblStats_;
    if (!t.Locate("Date", db::Variant(db::DateOf(day)), {}))
        return std::nullopt;
    std::array<std::int32_t, 3> counts{};
    const char* names[] = {"Subscribes", "Unsubscribes", "Bounces"};
    for (std::size_t i = 0; i < counts.size(); ++i) {
        db::TField* f = t.FieldByName(names[i]);
        counts[i] = f->IsNull() ? 0 : f->AsInteger();
    }
    return counts;
}

void ListDatabase::SetStatRecord(db::TDateTime when,
                                 const std::optional<std::array<std::int32_t, 3>>& counts) {
    strata::TStrataTable& t = *tblStats_;
    const db::TDateTime day = db::DateOf(when);
    const bool found = t.Locate("Date", db::Variant(day), {});
    if (!counts) {
        if (found)
            t.Delete();
        return;
    }
    try {
        if (found) {
            t.Edit();
        } else {
            t.Append();
            t.FieldByName("Date")->SetAsDateTime(day);
        }
        t.FieldByName("Subscribes")->SetAsInteger((*counts)[0]);
        t.FieldByName("Unsubscribes")->SetAsInteger((*counts)[1]);
        t.FieldByName("Bounces")->SetAsInteger((*counts)[2]);
        t.Post();
    } catch (...) {
        if (t.State() != db::dsBrowse)
            t.Cancel();
        throw;
    }
}

void ListDatabase::CreateTemporaryTables() {
    strata::TStrataTable& t = *tblTemp_;
    t.Close();
    db::TFieldDefs& f = *t.FieldDefs();
    f.Clear();
    f.Add("Email", db::ftString, kItemSize);
    f.Add("Name", db::ftString, kNameSize);
    f.Add("Salutation", db::ftString, kSalutationSize);
    t.IndexDefs().Clear();
    t.IndexDefs().Add("", "Email", db::ixPrimary | db::ixUnique | db::ixCaseInsensitive);
    t.CreateTable();
    t.Open();
}

void ListDatabase::DestroyTemporaryTables() {
    if (!tblTemp_->Active())
        return;
    tblTemp_->Close();
    tblTemp_->DeleteTable();
}

}  // namespace app
