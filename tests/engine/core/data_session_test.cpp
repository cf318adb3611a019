#include "engine/core/data_session.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "engine/core/data_directory.h"
#include "engine/core/data_table.h"
#include "tests/engine/core/cursor_test_support.h"

namespace strata {
namespace {

using namespace testing_support;

class DataSession : public CursorTest {};

TEST_F(DataSession, DirectoriesAreSharedByCanonicalPath) {
    TDataSession s;
    TDataDirectory* memory = s.OpenDirectory("MEMORY");
    EXPECT_EQ(s.OpenDirectory("memory"), memory);
    EXPECT_EQ(memory->UseCount(), 2);
    EXPECT_TRUE(memory->InMemory());
    TDataDirectory* a = s.OpenDirectory("A", dir.Path().string());
    TDataDirectory* b = s.OpenDirectory("B", dir.Path().string() + "/./");
    EXPECT_EQ(a, b);
    EXPECT_EQ(b->Name(), "A");
    std::filesystem::create_directories(dir.File("Sub"));
    EXPECT_NE(s.OpenDirectory("C", dir.File("Sub")), a);
    EXPECT_EQ(s.CloseDirectory(a), 0);
    EXPECT_EQ(s.CloseDirectory(a), 0);
    EXPECT_EQ(s.CloseDirectory(a), -11013);
    TDataSession other;
    EXPECT_EQ(other.CloseDirectory(memory), -11013);
}

TEST_F(DataSession, PasswordsAndPrivateDirectory) {
    TDataSession s;
    s.AddPassword("");
    s.AddPassword("Secret");
    s.AddPassword("Secret");
    EXPECT_EQ(s.PasswordCount(), 1u);
    EXPECT_FALSE(s.HasPassword("secret"));
    EXPECT_FALSE(s.HasPassword("Sec-ret"));
    s.RemovePassword("Secret");
    EXPECT_FALSE(s.HasPassword("Secret"));
    EXPECT_FALSE(s.GetPrivateDir().empty());
    s.SetPrivateDir("  /tmp/x  ");
    EXPECT_EQ(s.GetPrivateDir(), "/tmp/x/");
    s.SetPrivateDir("");
    EXPECT_EQ(s.GetPrivateDir(), "/tmp/x/");
}

TEST_F(DataSession, TablesInUseAreGuarded) {
    TDataCursor& c = CreateAndOpen(ListTableDefinition(), "mailist", true);
    TDataTable* table = nullptr;
    EXPECT_EQ(directory->OpenTable("MAILIST", false, false, false, false, false, table), -11013);
    EXPECT_EQ(directory->OpenTable("mailist.dat", false, false, false, false, true, table), 0);
    EXPECT_EQ(directory->CloseTable(table, false), 0);
    EXPECT_EQ(directory->DeleteTable("mailist", false), -11013);
    EXPECT_TRUE(std::filesystem::exists(dir.File("mailist.DAT")));
    EXPECT_TRUE(directory->TableExists("MailIst", false));
    c.Close();
    EXPECT_EQ(directory->TableCount(), 0u);
    const std::string temp = directory->MakeTempTableName(false);
    EXPECT_EQ(temp.substr(temp.size() - 5), "0.DAT");
    EXPECT_EQ(directory->DeleteTable("mailist", false), 0);
    EXPECT_FALSE(std::filesystem::exists(dir.File("mailist.DAT")));
    EXPECT_FALSE(std::filesystem::exists(dir.File("mailist.IDX")));
}

TEST_F(DataSession, ExclusiveTablesLockNothingOutsideABatch) {
    TDataCursor& c = CreateAndOpen(ListTableDefinition(), "mailist", true);
    InsertEntry(c, "a@x", "A", 1);
    TDataTable& table = *c.Table();
    EXPECT_FALSE(table.LockRecord(1));
    EXPECT_FALSE(table.RecordLocked(1));
    directory->BeginUpdateBatch();
    table.LockRecord(1);
    EXPECT_TRUE(table.RecordLocked(1));
    table.UnlockRecord(1);
    // Inside a batch the release waits for its end.
    EXPECT_TRUE(table.RecordLocked(1));
    directory->EndUpdateBatch(true);
    EXPECT_FALSE(table.RecordLocked(1));
    EXPECT_EQ(CodeOf([&] { table.LockRecord(0); }), 0);
}

TEST_F(DataSession, LanguageAndSortComeFromTheLanguageTable) {
    TDataSession s;
    s.SetLanguageID(0x0407);  // German (Standard)
    s.SetSortID(1);           // its phone book order
    EXPECT_EQ(s.LanguageID(), 0x0407);
    EXPECT_EQ(s.SortID(), 1);
    // Unknown values are refused and change nothing.
    EXPECT_EQ(CodeOf([&] { s.SetLanguageID(0x7FFF); }), kErrLanguageNotAvailable);
    EXPECT_EQ(CodeOf([&] { s.SetSortID(9); }), kErrLanguageNotAvailable);
    EXPECT_EQ(s.LanguageID(), 0x0407);
    EXPECT_EQ(s.SortID(), 1);
    // A language without the requested order reads back the default order,
    // whichever of the two is set first, so the pair is always a valid one.
    s.SetLanguageID(0x0409);
    EXPECT_EQ(s.SortID(), 0);
    s.SetLanguageID(0x0C07);  // German (Austria) has the order again
    EXPECT_EQ(s.SortID(), 1);
    s.SetLanguageID(0);
    EXPECT_EQ(s.SortID(), 0);
    s.SetSortID(0);
    s.SetSortID(1);
    s.SetLanguageID(0x0407);
    EXPECT_EQ(s.SortID(), 1);
}

}  // namespace
}  // namespace strata
