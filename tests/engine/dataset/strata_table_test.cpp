#include "engine/dataset/strata_table.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "engine/storage/engine_error.h"
#include "tests/engine/dataset/strata_test_support.h"

namespace strata {
namespace {

using namespace testing_support;

class StrataTableTest : public DataSetTest {
  protected:
    void SetUp() override {
        DataSetTest::SetUp();
        std::string pattern = "/dev/shm/strata-table-XXXXXX";
        if (::mkdtemp(pattern.data()) != nullptr) {
            shm_ = pattern;
            session->SetPrivateDir(shm_);
        }
    }
    void TearDown() override {
        owned.clear();
        DataSetTest::TearDown();
        if (!shm_.empty())
            std::filesystem::remove_all(shm_);
    }
    TStrataTable& MakeTable(std::string_view name = "mailist.dat") {
        owned.push_back(db::MakeComponent<TStrataTable>(nullptr));
        TStrataTable& t = *owned.back();
        t.SetSessionName("TestSession");
        t.SetDatabaseName("TestDB");
        t.SetTableName(name);
        t.SetExclusive(true);
        return t;
    }
    // The list table as the application makes it: create, then restructure
    // with Bounces defaulting to "0" and the indexes' compression.
    void CreateListTable(TStrataTable& t) {
        db::TFieldDefs& f = *t.FieldDefs();
        f.Add("Index", db::ftAutoInc);
        f.Add("Item", db::ftString, 80);
        f.Add("Category", db::ftString, 80);
        f.Add("Bounces", db::ftInteger);
        t.IndexDefs().Add("ByItem", "Item", db::ixCaseInsensitive);
        t.IndexDefs().Add("", "Index;Item", db::ixPrimary | db::ixUnique);
        ASSERT_FALSE(t.Exists());
        t.CreateTable();
        ASSERT_TRUE(t.Exists());
        TRestructureFieldDefs& rf = t.RestructureFieldDefs();
        rf.Add("Index", db::ftAutoInc, 1, 0, "", "", "", "", false, 0);
        rf.Add("Item", db::ftString, 2, 0, "", "", "", "", false, 80);
        rf.Add("Category", db::ftString, 3, 0, "", "", "", "", false, 80);
        rf.Add("Bounces", db::ftInteger, 4, 0, "", "", "", "0", false, 0);
        TRestructureIndexDefs& ri = t.RestructureIndexDefs();
        ri.Add("", "Index;Item", db::ixPrimary | db::ixUnique, 3);
        ri.Add("ByItem", "Item", db::ixCaseInsensitive, 3);
        t.RestructureTable(0, 0, 1, 0, false, "", "", 512, -1, true);
    }

    std::string shm_;
    std::vector<db::ComponentPtr<TStrataTable>> owned;
};

TEST_F(StrataTableTest, TableNameWithADirectorySetsTheDatabase) {
    TStrataTable& t = MakeTable();
    for (const std::string path : {"/data/lists/mailist.dat", "C:\\data\\lists\\mailist.dat"}) {
        t.SetTableName(path);
        EXPECT_EQ(t.TableName(), "mailist.dat") << path;
        EXPECT_EQ(t.DatabaseName(), path.substr(0, path.size() - 11)) << path;
    }
    TStrataTable& memory = MakeTable();
    memory.SetInMemory(true);
    memory.SetTableName("/tmp/x/recipients.dat");
    EXPECT_EQ(memory.DatabaseName(), "Memory");
    EXPECT_EQ(memory.TableName(), "recipients.dat");
}

TEST_F(StrataTableTest, CreateRestructureAndUseTheListTable) {
    TStrataTable& t = MakeTable();
    CreateListTable(t);
    t.Open();
    t.Append();
    t.FieldByName("Item")->SetAsString("a@x");
    t.Post();
    EXPECT_EQ(t.FieldByName("Bounces")->AsInteger(), 0) << "the restructured default";
    t.UpdateIndexDefs();
    ASSERT_EQ(t.IndexDefs().Count(), 2);
    EXPECT_EQ(t.IndexDefs().Items(0)->Fields(), "Index;Item");
    EXPECT_NE(t.IndexDefs().Items(0)->Options() & db::ixPrimary, 0);
    t.SetIndexFieldNames("Item");
    EXPECT_EQ(t.IndexName(), "");
    t.Close();
    for (const char* ext : {".DBK", ".IBK", ".DUP"})
        EXPECT_FALSE(std::filesystem::exists(dir.File(std::string("mailist") + ext))) << ext;
}

TEST_F(StrataTableTest, CreateRefusesTooManyIndexesBeforeWritingAnything) {
    TStrataTable& t = MakeTable("many.dat");
    t.FieldDefs()->Add("A", db::ftInteger);
    for (int i = 0; i < 31; ++i)
        t.IndexDefs().Add("I" + std::to_string(i), "A", 0);
    try {
        t.CreateTable();
        ADD_FAILURE() << "created";
    } catch (const EStrataEngineError& error) {
        EXPECT_EQ(error.ErrorCode(), kErrIndexLimit);
    }
    EXPECT_FALSE(std::filesystem::exists(dir.File("many.DAT")));
}

TEST_F(StrataTableTest, StringsOverTwoHundredFiftyAreRefused) {
    TStrataTable& t = MakeTable("long.dat");
    EXPECT_THROW(t.RestructureFieldDefs().Add("S", db::ftString, 1, 0, "", "", "", "", false, 251),
                 db::EDatabaseError);
    EXPECT_THROW(t.RestructureFieldDefs().Add("", db::ftInteger, 1, 0, "", "", "", "", false, 0),
                 db::EDatabaseError);
    t.RestructureFieldDefs().Add("S", db::ftString, 1, 0, "", "", "", "", false, 250);
    EXPECT_THROW(t.RestructureFieldDefs().Add("s", db::ftInteger, 2, 0, "", "", "", "", false, 0),
                 db::EDatabaseError);
}

TEST_F(StrataTableTest, MaintenanceRunsOnAClosedTable) {
    TStrataTable& t = MakeTable();
    CreateListTable(t);
    t.Open();
    for (const char* item : {"a@x", "b@x", "c@x"}) {
        t.Append();
        t.FieldByName("Item")->SetAsString(item);
        t.Post();
    }
    t.LockTable();
    t.UnlockTable();
    EXPECT_THROW(t.RepairTable(), db::EDatabaseError);
    t.Close();
    EXPECT_THROW(t.LockTable(), db::EDatabaseError);

    std::vector<std::string> log;
    int progress = 0;
    t.OnRepairLog = [&](TStrataTable*, std::string_view line) { log.emplace_back(line); };
    t.OnRepairProgress = [&](TStrataTable*, std::int32_t, std::uint16_t) { ++progress; };
    t.RepairTable();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].rfind("Repair of table mailist.DAT started at ", 0), 0u);
    EXPECT_EQ(progress, 3);

    std::vector<std::string> upgrade;
    t.OnUpgradeLog = [&](TStrataTable*, std::string_view line) { upgrade.emplace_back(line); };
    t.UpgradeTable();
    ASSERT_EQ(upgrade.size(), 1u);
    EXPECT_NE(upgrade[0].find("upgrade aborted"), std::string::npos);

    t.OptimizeTable("ByItem", false);
    t.Open();
    EXPECT_EQ(t.RecordCount(), 3);
    t.EmptyTable();
    EXPECT_EQ(t.RecordCount(), 0);
    t.Close();
    t.DeleteTable();
    EXPECT_FALSE(t.Exists());
}

TEST_F(StrataTableTest, OptimizeKeepsABackupOrNoneAndSurvivesACrash) {
    TStrataTable& t = MakeTable();
    CreateListTable(t);
    t.Open();
    for (const char* item : {"c@x", "a@x", "b@x"}) {
        t.Append();
        t.FieldByName("Item")->SetAsString(item);
        t.Post();
    }
    t.Close();
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        t.OnOptimizeProgress = [](TStrataTable*, std::int32_t record, std::uint16_t) {
            if (record == 2)
                _exit(0);
        };
        t.OptimizeTable("ByItem", false);
        _exit(1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_EQ(WEXITSTATUS(status), 0);
    t.Open();
    EXPECT_EQ(t.RecordCount(), 3) << "the killed optimize left the table whole";
    t.Close();

    t.OptimizeTable("ByItem", true);
    EXPECT_TRUE(std::filesystem::exists(dir.File("mailist.DBK")));
    t.Open();
    EXPECT_EQ(t.RecordCount(), 3);
    t.Close();
}

TEST_F(StrataTableTest, MissingTableNameIsRefused) {
    TStrataTable& t = MakeTable("");
    try {
        t.Open();
        ADD_FAILURE() << "opened";
    } catch (const db::EDatabaseError& error) {
        EXPECT_EQ(error.Message(), "Missing table name.");
    }
}

}  // namespace
}  // namespace strata

namespace strata {
namespace {

using namespace testing_support;

class BlobStreamTest : public DataSetTest {
  protected:
    TStrataTable& MemoTable() {
        table = db::MakeComponent<TStrataTable>(nullptr);
        table->SetSessionName("TestSession");
        table->SetDatabaseName("TestDB");
        table->SetTableName("memos.dat");
        table->SetExclusive(true);
        table->FieldDefs()->Add("Id", db::ftInteger);
        table->FieldDefs()->Add("Notes", db::ftMemo);
        table->CreateTable();
        table->Open();
        return *table;
    }
    static std::string ReadAll(db::TStream& stream, std::size_t chunk = 4) {
        std::string out;
        std::vector<std::byte> buffer(chunk);
        for (;;) {
            const std::int64_t got = stream.Read(buffer);
            if (got == 0)
                return out;
            out.append(reinterpret_cast<const char*>(buffer.data()), static_cast<std::size_t>(got));
        }
    }
    static void WriteText(db::TStream& stream, std::string_view text) {
        EXPECT_EQ(stream.Write(std::as_bytes(std::span(text.data(), text.size()))),
                  static_cast<std::int64_t>(text.size()));
    }

    db::ComponentPtr<TStrataTable> table;
};

TEST_F(BlobStreamTest, WritesReadsAndSeeksWithinTheBlob) {
    TStrataTable& t = MemoTable();
    db::TField* notes = t.FieldByName("Notes");
    t.Append();
    t.FieldByName("Id")->SetAsInteger(1);
    {
        auto stream = t.CreateBlobStream(notes, db::bmWrite);
        WriteText(*stream, "hello world");
        EXPECT_EQ(stream->Size(), 11);
    }
    t.Post();
    EXPECT_THROW(t.CreateBlobStream(notes, db::bmWrite), db::EDatabaseError)
        << "not in edit or insert mode";
    auto stream = t.CreateBlobStream(notes, db::bmRead);
    EXPECT_EQ(ReadAll(*stream), "hello world");
    EXPECT_EQ(stream->Seek(-3, db::soEnd), 8);
    std::vector<std::byte> buffer(10);
    EXPECT_EQ(stream->Read(buffer), 3) << "the bytes that remain";
    EXPECT_EQ(stream->Read(buffer), 0);
    EXPECT_THROW(stream->Seek(-1, db::soBeginning), db::EDatabaseError);
    EXPECT_THROW(stream->Seek(-12, db::soEnd), db::EDatabaseError);
    EXPECT_EQ(stream->Seek(0, db::soCurrent), 11) << "a refused seek keeps the position";
}

TEST_F(BlobStreamTest, ReadingAChangedBlobKeepsTheChange) {
    TStrataTable& t = MemoTable();
    db::TField* notes = t.FieldByName("Notes");
    t.Append();
    t.FieldByName("Id")->SetAsInteger(1);
    notes->SetAsString("before");
    t.Post();
    EXPECT_EQ(notes->AsString(), "before");
    t.Edit();
    notes->SetAsString("after");
    // A reader (a grid refreshing its cell) between the write and the post.
    EXPECT_EQ(notes->AsString(), "after");
    t.Post();
    EXPECT_EQ(notes->AsString(), "after");
    t.Close();
    t.Open();
    EXPECT_EQ(t.FieldByName("Notes")->AsString(), "after");
}

TEST_F(BlobStreamTest, WriteModeEmptiesTheBlobFirst) {
    TStrataTable& t = MemoTable();
    db::TField* notes = t.FieldByName("Notes");
    t.Append();
    {
        auto stream = t.CreateBlobStream(notes, db::bmWrite);
        WriteText(*stream, "first text");
    }
    t.Post();
    t.Edit();
    {
        auto stream = t.CreateBlobStream(notes, db::bmWrite);
        WriteText(*stream, "2nd");
    }
    t.Post();
    auto stream = t.CreateBlobStream(notes, db::bmRead);
    EXPECT_EQ(ReadAll(*stream), "2nd");
}

}  // namespace
}  // namespace strata
