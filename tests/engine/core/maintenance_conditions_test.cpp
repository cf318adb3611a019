// Every table maintenance operation on files it cannot or must not change: files
// that can only be read, a data file of a newer version, files of another table
// put under this table's name, and a disk that runs full. Each operation either
// ends as it should or raises a clear engine error; a refused operation leaves the
// files as they were, and after a full disk the table comes back whole, through a
// repair where the open asks for one.

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "engine/core/data_cursor.h"
#include "engine/core/data_directory.h"
#include "engine/core/data_session.h"
#include "engine/core/table_repair.h"
#include "engine/core/table_restructure.h"
#include "engine/core/table_upgrade.h"
#include "engine/storage/engine_error.h"
#include "tests/engine/core/cursor_test_support.h"
#include "tests/engine/core/table_files_support.h"

namespace strata {
namespace {

using namespace testing_support;

// Item -> Bounces.
using Rows = std::map<std::string, std::int32_t>;
using Files = std::map<std::string, std::vector<std::uint8_t>>;

bool MessageIsClear(const EStrataEngineError& error) {
    const std::string prefix = "Strata Engine Error # " + std::to_string(error.ErrorCode()) + " ";
    const std::string text = error.what();
    return error.ErrorCode() != 0 && text.rfind(prefix, 0) == 0 && text.size() > prefix.size() + 3;
}

// What an operation leaves when it succeeds: the table's rows under a name, or none.
enum class After { kSameRows, kNoRows, kRenamed, kBackedUp };

struct Operation {
    const char* name;
    std::function<void(TDataCursor&)> run;
    After after;
};

TableDefinition WiderItem() {
    TableDefinition d = ListTableDefinition();
    d.fields[1] = MakeFieldDescriptor(FieldNumber(d.fields[1]), "Item", 1, 0, 90);
    return d;
}

TableDefinition AddedIndex() {
    TableDefinition d = ListTableDefinition();
    d.indexes.push_back(MakeIndex("ByName", {6}, false));
    return d;
}

// A table of another structure: other fields, other indexes.
TableDefinition OtherDefinition() {
    TableDefinition d;
    d.fields = {MakeFieldDescriptor(1, "Code", 6), MakeFieldDescriptor(2, "Label", 1, 0, 12),
                MakeFieldDescriptor(3, "Weight", 7)};
    LayOut(d.fields);
    d.indexes = {MakeIndex("", {1}, true), MakeIndex("ByLabel", {2}, false, true)};
    return d;
}

const std::vector<Operation>& Operations() {
    static const std::vector<Operation> operations = {
        {"optimize", [](TDataCursor& c) { c.OptimizeTable("ByItem", true); }, After::kSameRows},
        {"optimize without backup", [](TDataCursor& c) { c.OptimizeTable("", false); },
         After::kSameRows},
        {"index rebuild", [](TDataCursor& c) { RestructureTable(c, AddedIndex(), {}); },
         After::kSameRows},
        {"full rebuild", [](TDataCursor& c) { RestructureTable(c, WiderItem(), {}); },
         After::kSameRows},
        {"empty",
         [](TDataCursor& c) {
             c.Open();
             c.EmptyTable();
             c.Close();
         },
         After::kNoRows},
        {"repair", [](TDataCursor& c) { RepairTable(c, false, 0); }, After::kSameRows},
        {"upgrade", [](TDataCursor& c) { UpgradeTable(c); }, After::kSameRows},
        {"rename", [](TDataCursor& c) { c.RenameTable("renamed"); }, After::kRenamed},
        {"backup", [](TDataCursor& c) { c.BackupTable(); }, After::kBackedUp},
    };
    return operations;
}

class MaintenanceConditions : public ::testing::Test {
  protected:
    void SetUp() override { StartEngine(); }
    void TearDown() override {
        if (!mounted_.empty()) {
            ::umount(mounted_.c_str());
            std::filesystem::remove(mounted_);
        }
    }

    // The folder the tables live in; the session's private folder lies in it too.
    void UseFolder(const std::string& folder) {
        folder_ = folder;
        if (!folder_.ends_with('/'))
            folder_ += '/';
        std::filesystem::create_directories(folder_ + "private");
    }

    std::unique_ptr<TDataSession> Session() const {
        auto session = std::make_unique<TDataSession>();
        session->SetPrivateDir(folder_ + "private");
        return session;
    }

    template <class Body>
    auto WithCursor(const std::string& table, Body&& body) {
        auto session = Session();
        TDataDirectory* directory = session->OpenDirectory("DB", folder_);
        TDataCursor c(*directory);
        c.SetTableName(table);
        c.SetExclusive(true);
        return body(c);
    }

    void RemoveTables() {
        for (const auto& entry : std::filesystem::directory_iterator(folder_)) {
            if (entry.is_regular_file())
                std::filesystem::remove(entry.path());
        }
    }

    Rows MakeTable(const std::string& name, int n) {
        return WithCursor(name, [&](TDataCursor& c) {
            c.CreateTable(ListTableDefinition(), true);
            c.Open();
            Rows rows;
            for (int i = 0; i < n; ++i) {
                const std::string item = "u" + std::to_string(i) + "@x";
                InsertEntry(c, item, "news", i);
                rows[item] = i;
            }
            c.Close();
            return rows;
        });
    }

    void MakeOtherTable() {
        WithCursor("other", [&](TDataCursor& c) {
            c.CreateTable(OtherDefinition(), true);
            c.Open();
            std::vector<std::uint8_t> record(c.GetRecordSize());
            for (int i = 0; i < 7; ++i) {
                c.InitNewRecord(record);
                PutInt(c, record, 1, 100 + i);
                PutText(c, record, 2, "label" + std::to_string(i));
                c.InsertRecord(record, false);
            }
            c.Close();
        });
    }

    Files Snapshot() const {
        Files files;
        for (const auto& entry : std::filesystem::directory_iterator(folder_)) {
            if (entry.is_regular_file())
                files[entry.path().filename().string()] = ReadBytes(entry.path().string());
        }
        return files;
    }

    bool Opens(const std::string& table) {
        return WithCursor(table, [](TDataCursor& c) {
            const bool opened = CodeOf([&] { c.Open(); }) == 0;
            c.Close();
            return opened;
        });
    }

    Rows ReadRows(const std::string& table) {
        return WithCursor(table, [](TDataCursor& c) {
            c.Open();
            c.SetIndexByName("ByItem");
            Rows rows;
            std::vector<std::uint8_t> buffer(c.GetRecordSize());
            c.First();
            while (c.GetNextRecord(buffer) == 0)
                rows[GetText(c, buffer, 2)] = GetInt(c, buffer, 4).value_or(-1);
            c.Close();
            return rows;
        });
    }

    std::size_t VerifyLines(const std::string& table) {
        return WithCursor(table, [](TDataCursor& c) {
            std::size_t lines = 0;
            RepairTable(c, true, 0, {}, [&](std::string_view) { ++lines; });
            return lines;
        });
    }

    // Runs the operation: 0 when it finished, else the code of its clear engine error.
    EngineErrorCode Run(const Operation& op) {
        try {
            WithCursor("mailist", [&](TDataCursor& c) {
                op.run(c);
                return 0;
            });
            return 0;
        } catch (const EStrataEngineError& error) {
            EXPECT_TRUE(MessageIsClear(error)) << op.name << ": " << error.what();
            return error.ErrorCode();
        } catch (const std::exception& error) {
            ADD_FAILURE() << op.name << " raised " << error.what();
            return -1;
        }
    }

    // A finished operation left what it promises.
    void ExpectFinished(const Operation& op, const Rows& rows, const std::string& what) {
        switch (op.after) {
            case After::kSameRows:
            case After::kNoRows:
                EXPECT_EQ(ReadRows("mailist"), op.after == After::kSameRows ? rows : Rows())
                    << what;
                EXPECT_EQ(VerifyLines("mailist"), 2u) << what;
                break;
            case After::kRenamed:
                EXPECT_FALSE(Opens("mailist")) << what;
                EXPECT_EQ(ReadRows("renamed"), rows) << what;
                break;
            case After::kBackedUp:
                EXPECT_FALSE(Opens("mailist")) << what;
                EXPECT_TRUE(std::filesystem::exists(folder_ + "mailist.DBK")) << what;
                EXPECT_TRUE(std::filesystem::exists(folder_ + "mailist.IBK")) << what;
                break;
        }
    }

    std::string folder_;
    std::string mounted_;
    TempDir dir_;
};

// Files that can only be read, or a data file of a version this engine does not
// know: nothing is changed. Only a rename or a move to the backup names, which
// do not write the files, may go ahead, and take the table whole.
TEST_F(MaintenanceConditions, FilesThatMustNotChangeAreLeftAsTheyWere) {
    UseFolder(dir_.Path().string());
    struct Condition {
        const char* name;
        std::function<void()> apply;
    };
    const std::vector<Condition> conditions = {
        {"read-only files",
         [&] {
             for (const char* ext : {".DAT", ".IDX"})
                 ASSERT_EQ(::chmod((folder_ + "mailist" + ext).c_str(), 0444), 0);
         }},
        {"newer data file",
         [&] {
             std::vector<std::uint8_t> data = ReadBytes(folder_ + "mailist.DAT");
             data[8] = 5;
             WriteBytes(folder_ + "mailist.DAT", data);
         }},
    };
    for (const Condition& condition : conditions) {
        for (const Operation& op : Operations()) {
            const std::string what = std::string(condition.name) + ", " + op.name;
            RemoveTables();
            const Rows rows = MakeTable("mailist", 12);
            condition.apply();
            const Files before = Snapshot();
            const EngineErrorCode code = Run(op);
            const bool moves = op.after == After::kRenamed || op.after == After::kBackedUp;
            if (code != 0 || !moves) {
                // The upgrade of a current table is the one that ends without a change.
                EXPECT_TRUE(code != 0 || std::string(op.name) == "upgrade")
                    << what << " went ahead";
                EXPECT_TRUE(Snapshot() == before) << what << " changed the files";
            }
            for (const auto& entry : std::filesystem::directory_iterator(folder_)) {
                if (entry.is_regular_file())
                    std::filesystem::permissions(
                        entry.path(),
                        std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
            }
            if (code == 0 && std::string(condition.name) == "newer data file") {
                if (moves) {
                    const std::string moved =
                        folder_ + (op.after == After::kRenamed ? "renamed.DAT" : "mailist.DBK");
                    EXPECT_TRUE(ReadBytes(moved) == before.at("mailist.DAT")) << what;
                }
            } else if (code == 0) {
                ExpectFinished(op, rows, what);
            } else if (std::string(condition.name) == "read-only files") {
                EXPECT_EQ(ReadRows("mailist"), rows) << what;
            }
        }
    }
}

// Another table's index or data file under this table's name: the operation
// refuses, changing nothing, or ends in a table that verifies clean; an index
// file of another table never costs a record.
TEST_F(MaintenanceConditions, AnotherTablesFileUnderTheNameLosesNoRecord) {
    UseFolder(dir_.Path().string());
    for (const char* ext : {".IDX", ".DAT"}) {
        for (const Operation& op : Operations()) {
            const std::string what = std::string("another table's ") + ext + ", " + op.name;
            RemoveTables();
            const Rows rows = MakeTable("mailist", 12);
            MakeOtherTable();
            std::filesystem::copy_file(folder_ + "other" + ext, folder_ + "mailist" + ext,
                                       std::filesystem::copy_options::overwrite_existing);
            const Files before = Snapshot();
            const EngineErrorCode code = Run(op);
            if (code != 0) {
                EXPECT_TRUE(Snapshot() == before) << what << " changed the files (" << code << ")";
                continue;
            }
            std::string table = "mailist";
            if (op.after == After::kRenamed)
                table = "renamed";
            if (op.after == After::kBackedUp || !Opens(table))
                continue;
            EXPECT_EQ(VerifyLines(table), 2u) << what;
            if (std::string(ext) == ".IDX" && op.after != After::kNoRows) {
                // The records are this table's; only its index definitions were lost.
                EXPECT_EQ(WithCursor(table,
                                     [](TDataCursor& c) {
                                         c.Open();
                                         const auto count = c.GetRecordCount();
                                         c.Close();
                                         return count;
                                     }),
                          static_cast<std::int64_t>(rows.size()))
                    << what;
            }
        }
    }
}

// A disk that runs full part of the way through: the operation raises a clear
// error; once there is room again the table opens, or its open asks for a repair
// that brings it back, with every row (none after an emptying that finished).
// Needs a small file system of its own, which only a privileged run can mount.
TEST_F(MaintenanceConditions, AFullDiskLosesNoRow) {
    mounted_ = dir_.File("small");
    std::filesystem::create_directories(mounted_);
    if (::mount("tmpfs", mounted_.c_str(), "tmpfs", 0, "size=2m") != 0) {
        std::filesystem::remove(mounted_);
        mounted_.clear();
        GTEST_SKIP() << "no small file system can be mounted here";
    }
    UseFolder(mounted_);
    int refused = 0;
    int finished = 0;
    for (const Operation& op : Operations()) {
        // Leave less room each time, from enough for the operation to none at all.
        for (const std::uintmax_t room : {std::uintmax_t{40000}, std::uintmax_t{12000},
                                          std::uintmax_t{4096}, std::uintmax_t{0}}) {
            const std::string what = std::string(op.name) + ", " + std::to_string(room) + " bytes";
            RemoveTables();
            std::filesystem::create_directories(folder_ + "private");
            const Rows rows = MakeTable("mailist", 150);
            {
                const std::uintmax_t free = std::filesystem::space(folder_).available;
                std::ofstream filler(folder_ + "filler", std::ios::binary);
                const std::vector<char> block(4096, 'f');
                for (std::uintmax_t left = free > room ? free - room : 0; left > 0;) {
                    const std::uintmax_t n = std::min<std::uintmax_t>(left, block.size());
                    if (!filler.write(block.data(), static_cast<std::streamsize>(n)))
                        break;
                    left -= n;
                }
            }
            const EngineErrorCode code = Run(op);
            std::filesystem::remove(folder_ + "filler");
            if (code == 0) {
                ++finished;
                ExpectFinished(op, rows, what);
                continue;
            }
            ++refused;
            // What the refused operation wrote aside is gone, here and in the private folder.
            for (const auto& entry : std::filesystem::recursive_directory_iterator(folder_)) {
                const std::string name = entry.path().filename().string();
                EXPECT_TRUE(!entry.is_regular_file() || name.starts_with("mailist."))
                    << what << " left " << entry.path();
            }
            if (!Opens("mailist")) {
                WithCursor("mailist", [](TDataCursor& c) { RepairTable(c, false, 0); });
            }
            const Rows found = ReadRows("mailist");
            EXPECT_TRUE(found == rows || (op.after == After::kNoRows && found.empty()))
                << what << " (" << code << "): " << found.size() << " rows";
            EXPECT_EQ(VerifyLines("mailist"), 2u) << what;
        }
    }
    std::cout << finished << " finished, " << refused << " refused\n";
}

}  // namespace
}  // namespace strata
