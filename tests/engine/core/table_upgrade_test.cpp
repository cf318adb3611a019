#include "engine/core/table_upgrade.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "engine/core/table_repair.h"
#include "engine/storage/scramble.h"
#include "tests/engine/core/old_table_support.h"

namespace strata {
namespace {

using namespace testing_support;

std::vector<std::uint8_t> ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

const std::vector<OldRow> kRows = {{1, "a@x", 0}, {2, "b@x", 1}, {3, "c@x", 2}};

class TableUpgrade : public CursorTest {
  protected:
    std::string Base() const { return dir.File(table); }
    bool Exists(std::string_view ext) const {
        return std::filesystem::exists(Base() + std::string(ext));
    }
    std::vector<std::string> Upgrade() {
        std::vector<std::string> lines;
        TDataCursor& c = NewCursor(table);
        UpgradeTable(c, {}, [&](std::string_view line) { lines.emplace_back(line); });
        return lines;
    }
    static bool HasLine(const std::vector<std::string>& lines, std::string_view text) {
        return std::any_of(lines.begin(), lines.end(),
                           [&](const std::string& l) { return l.find(text) != std::string::npos; });
    }
    // Rows in physical order as (ID from the auto-increment field, Item, Bounces).
    std::vector<std::string> Rows() {
        TDataCursor& c = NewCursor(table);
        c.SetPhysicalOrder(true);
        c.Open();
        std::vector<std::string> rows;
        std::vector<std::uint8_t> buffer(c.GetRecordSize());
        c.First();
        while (c.GetNextRecord(buffer) == 0) {
            rows.push_back(std::to_string(GetInt(c, buffer, 1).value_or(-1)) + " " +
                           GetText(c, buffer, 2) + " " +
                           std::to_string(GetInt(c, buffer, 3).value_or(-1)));
        }
        c.Close();
        return rows;
    }
    std::vector<std::string> VerifyLines() {
        std::vector<std::string> lines;
        TDataCursor& c = NewCursor(table);
        RepairTable(c, true, 0, {}, [&](std::string_view l) { lines.emplace_back(l); });
        return lines;
    }
    std::string table = "old";
    const std::vector<std::string> expected_rows = {"1 a@x 0", "2 b@x 1", "3 c@x 2"};
};

TEST_F(TableUpgrade, CurrentTableIsLeftAlone) {
    TDataCursor& c = CreateAndOpen(ListTableDefinition(), "old");
    InsertEntry(c, "a@x", "news", 0);
    c.Close();
    const auto data = ReadAll(Base() + ".DAT");
    const auto lines = Upgrade();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "old.DAT is already at the highest table version of 2.00, upgrade aborted");
    EXPECT_EQ(ReadAll(Base() + ".DAT"), data);
    EXPECT_FALSE(Exists(".DUP"));
}

TEST_F(TableUpgrade, Version108KeepsItsIndexDefinitions) {
    OldTableWriter writer(3, false);
    writer.Write(Base(), kRows, true, false);
    const auto lines = Upgrade();
    EXPECT_TRUE(HasLine(lines, "Upgrade of table old.DAT to version 2.00 started at "));
    EXPECT_TRUE(
        HasLine(lines, "Field definitions of old.DAT upgraded to latest table version 2.00"));
    EXPECT_TRUE(HasLine(lines, "3 records of old.DAT upgraded to latest table version 2.00"));
    EXPECT_TRUE(HasLine(lines, "Index header of old.DAT upgraded to latest table version 2.00"));
    EXPECT_TRUE(HasLine(lines, "Upgrade of table old.DAT to version 2.00 completed at "));
    EXPECT_TRUE(Exists(".DUP"));
    EXPECT_FALSE(Exists(".IUP"));
    EXPECT_EQ(Rows(), expected_rows);

    TDataCursor& c = NewCursor(table);
    c.Open();
    EXPECT_EQ(FieldOffset(c.GetFieldDesc(1)), 5);
    EXPECT_EQ(c.GetRecordSize(), writer.ExpectedRecordSize());
    c.SetIndexByName("ByItem");
    EXPECT_EQ(Items(c), (std::vector<std::string>{"a@x", "b@x", "c@x"}));
    c.Close();
    EXPECT_EQ(VerifyLines().size(), 2u);
}

TEST_F(TableUpgrade, Version104GetsANewIndexFile) {
    OldTableWriter writer(2, false);
    writer.Write(Base(), kRows, true, false);
    const auto lines = Upgrade();
    EXPECT_TRUE(HasLine(lines, "Index definitions of old.DAT could not be carried over"));
    EXPECT_TRUE(Exists(".DUP"));
    EXPECT_TRUE(Exists(".IUP"));
    EXPECT_FALSE(Exists(".BLB")) << "a table without blob fields has no blob file";
    EXPECT_EQ(Rows(), expected_rows);
    const auto header = ReadAll(Base() + ".DAT");
    EXPECT_EQ(GetU16(header, dh::kRecordSize), writer.ExpectedRecordSize());

    TDataCursor& c = NewCursor(table);
    c.Open();
    EXPECT_EQ(c.GetIndexCount(), 0);
    EXPECT_EQ(FieldName(c.GetFieldDesc(2)), "Item");
    EXPECT_EQ(c.GetFieldDesc(2)[fd::kRequired], 1);
    EXPECT_EQ(GetShortString(c.GetFieldDesc(2), fd::kDefault, 50), "none@x");
    EXPECT_EQ(c.GetUserMajorVersion(), 7);
    EXPECT_EQ(c.GetDescription(), "old list");
    c.Close();
    EXPECT_EQ(VerifyLines().size(), 2u);
}

TEST_F(TableUpgrade, BlobFileIsUpgradedOrMadeWhenMissing) {
    for (const bool blob_file : {true, false}) {
        table = blob_file ? "withblb" : "noblb";
        OldTableWriter writer(2, true);
        writer.Write(Base(), kRows, true, blob_file);
        const auto lines = Upgrade();
        EXPECT_EQ(HasLine(lines,
                          "BLOB header of " + table + ".DAT upgraded to latest table version 2.00"),
                  blob_file);
        EXPECT_TRUE(Exists(".BLB"));
        EXPECT_EQ(Rows(), expected_rows);
        const auto header = ReadAll(Base() + ".DAT");
        EXPECT_GE(GetU32(header, dh::kLastBlobNumber), 3u);
        EXPECT_EQ(GetU16(header, dh::kRecordSize), writer.ExpectedRecordSize());
        EXPECT_EQ(VerifyLines().size(), 2u);
    }
}

TEST_F(TableUpgrade, DamagedOldFilesAreRefusedWithoutLoss) {
    OldTableWriter writer(2, false);
    writer.Write(Base(), kRows, true, false);
    auto data = ReadAll(Base() + ".DAT");
    // A field offset beyond the old record.
    PutU16(data, kDataHeaderSize + kOldFieldDescriptorSize + ofd::kOffset, 60000);
    WriteAll(Base() + ".DAT", data);
    EXPECT_EQ(CodeOf([&] { Upgrade(); }), kErrHeaderCorrupt);
    EXPECT_EQ(ReadAll(Base() + ".DAT"), data);
    EXPECT_FALSE(Exists(".DUP"));
    // A version the engine does not know.
    data[dh::kVersion] = 9;
    WriteAll(Base() + ".DAT", data);
    EXPECT_EQ(CodeOf([&] { Upgrade(); }), kErrWrongVersion);
    EXPECT_EQ(ReadAll(Base() + ".DAT"), data);
    // Header values the closing repair would refuse after the files were
    // swapped: a language that is not installed, a blob block too small for
    // its own header.
    for (const bool blob : {false, true}) {
        OldTableWriter(2, blob).Write(Base(), kRows, true, blob);
        auto bad = ReadAll(Base() + ".DAT");
        if (blob)
            PutU32(bad, dh::kBlobBlockSize, 10);
        else
            PutU16(bad, dh::kLanguage, 0x7FFF);
        WriteAll(Base() + ".DAT", bad);
        EXPECT_EQ(CodeOf([&] { Upgrade(); }), blob ? kErrBlobLimit : kErrLanguageNotAvailable);
        EXPECT_EQ(ReadAll(Base() + ".DAT"), bad) << blob;
        EXPECT_FALSE(Exists(".DUP")) << blob;
    }
}

// The upgrade is killed at a stage; running it again finishes the job.
TEST_F(TableUpgrade, InterruptedUpgradeIsFinishedByTheNextRun) {
    for (const std::string stop_at : {"Upgrading records", "Repairing table"}) {
        table = stop_at.substr(0, 9);
        OldTableWriter writer(2, true);
        writer.Write(Base(), kRows, true, true);
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            TDataCursor c(*directory);
            c.SetTableName(table);
            c.SetExclusive(true);
            UpgradeTable(c, [&](std::string_view stage, int) {
                if (stage.starts_with(stop_at))
                    _exit(0);
            });
            _exit(1);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status));
        ASSERT_EQ(WEXITSTATUS(status), 0) << stop_at;
        Upgrade();
        EXPECT_EQ(Rows(), expected_rows) << stop_at;
        EXPECT_EQ(VerifyLines().size(), 2u) << stop_at;
    }
}

TEST_F(TableUpgrade, EncryptedTableNeedsItsPassword) {
    OldTableWriter writer(3, true);
    writer.Write(Base(), kRows, true, true, "secret");
    const auto data = ReadAll(Base() + ".DAT");
    EXPECT_EQ(CodeOf([&] { Upgrade(); }), kErrPasswordRequired);
    EXPECT_EQ(ReadAll(Base() + ".DAT"), data);
    EXPECT_FALSE(Exists(".DUP"));
    // A handler that gives the session the password lets the upgrade go on.
    TDataCursor& c = NewCursor(table);
    UpgradeTable(c, {}, {}, [&] {
        session->AddPassword("secret");
        return true;
    });
    EXPECT_EQ(Rows(), expected_rows);
    EXPECT_EQ(VerifyLines().size(), 2u);
}

TEST_F(TableUpgrade, DataFileMovedAwayButNotReplacedIsRecovered) {
    OldTableWriter writer(3, false);
    writer.Write(Base(), kRows, true, false);
    std::filesystem::rename(Base() + ".DAT", Base() + ".DUP");
    Upgrade();
    EXPECT_EQ(Rows(), expected_rows);
}

}  // namespace
}  // namespace strata
