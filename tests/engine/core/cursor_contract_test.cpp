// Directories, tables and cursors at their edges: tables of the in-memory directory, tables a
// batch still holds open, files on read-only media, temporary tables, and what the errors name.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "engine/core/data_cursor.h"
#include "engine/core/data_directory.h"
#include "engine/core/data_session.h"
#include "engine/core/data_table.h"
#include "engine/storage/engine_error.h"
#include "tests/engine/core/cursor_test_support.h"
#include "tests/engine/core/two_programs.h"

namespace strata {
namespace {

using namespace testing_support;

class TableEdges : public CursorTest {
  protected:
    std::string MessageOf(const std::function<void()>& action) {
        try {
            action();
        } catch (const EStrataEngineError& error) {
            return error.what();
        }
        return {};
    }
};

// A table of the in-memory directory is there whatever in-memory flag its name is given with:
// creating it again without overwriting is refused and its rows stay.
TEST_F(TableEdges, TablesOfTheMemoryDirectoryExistWhateverFlagNamesThem) {
    TDataDirectory* memory = session->OpenDirectory("MEMORY");
    {
        TDataCursor c(*memory);
        c.SetTableName("mem");
        c.SetExclusive(true);
        c.CreateTable(ListTableDefinition(), false);
        c.Open();
        InsertEntry(c, "a@x", "A", 1);
        c.Close();
        for (const bool flag : {false, true})
            EXPECT_TRUE(memory->TableExists("mem", flag)) << flag;
        EXPECT_EQ(CodeOf([&] { c.CreateTable(ListTableDefinition(), false); }), kErrTableExists);
        c.Open();
        EXPECT_EQ(c.GetRecordCount(), 1);
        // A temporary name is one no table of the directory has.
        EXPECT_FALSE(memory->TableExists(memory->MakeTempTableName(false), true));
    }
    session->CloseDirectory(memory);
}

// A table whose last cursor closed inside a batch still has its files open for the batch's end.
// Creating it anew, deleting it or moving it writes the batch's changes first and then works on
// closed files, on disk and in memory.
TEST_F(TableEdges, TablesClosedInsideABatchCanBeReplacedDeletedAndMoved) {
    for (const bool in_memory : {false, true}) {
        SCOPED_TRACE(in_memory);
        TDataDirectory* d = in_memory ? session->OpenDirectory("MEMORY") : directory;
        const auto use = [&](const std::function<void(TDataCursor&)>& action) {
            TDataCursor c(*d);
            c.SetTableName("bt");
            action(c);
        };
        const auto closed_with_a_row = [&](std::string_view item) {
            use([&](TDataCursor& c) {
                c.Open();
                InsertEntry(c, item, "A", 1);
                c.Close();
            });
            EXPECT_EQ(d->TableCount(), 1u);
        };
        use([](TDataCursor& c) {
            c.SetExclusive(true);
            c.CreateTable(ListTableDefinition(), true);
        });
        d->BeginUpdateBatch();
        closed_with_a_row("a@x");
        use([&](TDataCursor& c) {
            c.SetExclusive(true);
            EXPECT_EQ(CodeOf([&] { c.CreateTable(ListTableDefinition(), true); }), 0);
            c.Open();
            EXPECT_EQ(c.GetRecordCount(), 0);
        });
        closed_with_a_row("b@x");
        use([&](TDataCursor& c) { EXPECT_EQ(CodeOf([&] { c.RenameTable("moved"); }), 0); });
        EXPECT_FALSE(d->TableExists("bt", in_memory));
        EXPECT_EQ(d->TableCount(), 0u);
        use([&](TDataCursor& c) {
            c.SetTableName("moved");
            c.Open();
            EXPECT_EQ(c.GetRecordCount(), 1);
            InsertEntry(c, "c@x", "A", 1);
            c.Close();
            EXPECT_EQ(CodeOf([&] { c.DeleteTable(); }), 0);
        });
        d->EndUpdateBatch(true);
        EXPECT_FALSE(d->TableExists("moved", in_memory));
        EXPECT_EQ(d->TableCount(), 0u);
        if (in_memory)
            session->CloseDirectory(d);
    }
}

// An index field that names no field of the table: the message names the number.
TEST_F(TableEdges, AnIndexFieldThatIsNoFieldIsNamedInTheMessage) {
    TableDefinition definition = ListTableDefinition();
    definition.indexes.push_back(MakeIndex("Ghost", {42}, false));
    TDataCursor& c = NewCursor("ghost");
    const std::string created = MessageOf([&] { c.CreateTable(definition, false); });
    EXPECT_NE(created.find("Invalid field number '42' specified in index 'GHOST'"),
              std::string::npos)
        << created;
    TDataCursor& open = CreateAndOpen(ListTableDefinition());
    const std::string added = MessageOf([&] { open.AddIndex(MakeIndex("Ghost", {42}, false)); });
    EXPECT_NE(added.find("Invalid field number '42' specified in index 'Ghost'"), std::string::npos)
        << added;
}

// Files that can only be read: the table opens read-only, its cursors read, lock nothing and
// refuse every write.
TEST_F(TableEdges, TablesOnReadOnlyMediaReadAndNeverLock) {
    {
        TDataCursor& c = CreateAndOpen(ListTableDefinition());
        InsertEntry(c, "a@x", "A", 1);
        InsertEntry(c, "b@x", "B", 2);
        c.Close();
    }
    for (const char* ext : {".DAT", ".IDX"})
        ASSERT_EQ(::chmod(dir.File(std::string("mailist") + ext).c_str(), 0444), 0);
    TDataCursor& r = NewCursor("mailist", false);
    r.Open();
    EXPECT_TRUE(r.ReadOnly());
    EXPECT_TRUE(r.Table()->MediaReadOnly());
    std::vector<std::uint8_t> buffer(r.GetRecordSize());
    r.First();
    ASSERT_EQ(r.GetNextRecord(buffer), 0);
    EXPECT_EQ(r.GetCurrentRecord(buffer, true), 0);
    EXPECT_FALSE(r.Table()->RecordLocked(1));
    r.LockTable();
    EXPECT_FALSE(r.Table()->TableLocked());
    EXPECT_EQ(CodeOf([&] { InsertEntry(r, "c@x", "C", 3); }), kErrAccessDenied);
    EXPECT_EQ(CodeOf([&] { r.ModifyRecord(buffer, true, false); }), kErrAccessDenied);
    EXPECT_EQ(CodeOf([&] { r.DeleteRecord(buffer, false); }), kErrAccessDenied);
    EXPECT_EQ(CodeOf([&] { r.EmptyTable(); }), kErrNeedExclusive);
    r.UnlockRecord(0);
    EXPECT_EQ(r.GetRecordCount(), 2);
}

// A temporary table's files go with its last cursor; an emptied table numbers its records
// from 1 again.
TEST_F(TableEdges, TemporaryTablesGoAndEmptiedTablesStartAgain) {
    TDataCursor& t = NewCursor("temp");
    t.CreateTable(ListTableDefinition(), false);
    t.SetTemporary(true);
    t.Open();
    InsertEntry(t, "a@x", "A", 1);
    t.Close();
    for (const char* ext : {".DAT", ".IDX"})
        EXPECT_FALSE(std::filesystem::exists(dir.File(std::string("temp") + ext))) << ext;

    TDataCursor& e = CreateAndOpen(ListTableDefinition());
    InsertEntry(e, "a@x", "A", 1);
    InsertEntry(e, "b@x", "B", 1);
    e.EmptyTable();
    EXPECT_TRUE(e.Bof() && e.Eof());
    EXPECT_EQ(e.GetRecordCount(), 0);
    EXPECT_EQ(e.GetLastAutoInc(), 0u);
    InsertEntry(e, "c@x", "C", 1);
    std::vector<std::uint8_t> buffer(e.GetRecordSize());
    e.First();
    ASSERT_EQ(e.GetNextRecord(buffer), 0);
    EXPECT_EQ(TDataCursor::RecordIdOf(buffer), 1u);
    EXPECT_EQ(TDataCursor::RecordNumberOf(buffer), 1u);
    e.Close();
    // Read from the closed table's header.
    EXPECT_EQ(e.GetLastAutoInc(), 1u);
}

// The table lock of another program keeps this one's record locks, table lock and writes out
// at once (no retries asked for); its record lock keeps out the table lock.
TEST_F(TwoPrograms, TheOtherProgramsTableAndRecordLocksHold) {
    MakeTable(3);
    SecondProgram child([&](SecondProgram& self) {
        Program program(dir.Path().string(), false);
        if (!program.OpenAndLockFirstRow())
            return 1;
        TDataCursor& c = *program.cursor;
        self.Signal();
        self.AwaitGo();
        c.UnlockRecord(0);
        c.LockTable();
        self.Signal();
        self.AwaitGo();
        c.UnlockTable();
        self.Signal();
        self.AwaitGo();
        return 0;
    });
    ASSERT_TRUE(child.AwaitSignal());
    session->SetLockRetryCount(0);
    TDataCursor& c = NewCursor("mailist", false);
    c.Open();
    std::vector<std::uint8_t> buffer(c.GetRecordSize());
    EXPECT_EQ(CodeOf([&] { c.LockTable(); }), kErrTableLocked);
    EXPECT_FALSE(c.Table()->TableLocked());
    child.Go();
    ASSERT_TRUE(child.AwaitSignal());
    c.First();
    ASSERT_EQ(c.GetNextRecord(buffer), 0);
    EXPECT_EQ(CodeOf([&] { c.GetCurrentRecord(buffer, true); }), kErrRecordLocked);
    EXPECT_EQ(CodeOf([&] { c.LockTable(); }), kErrTableLocked);
    EXPECT_EQ(CodeOf([&] { InsertEntry(c, "new@x", "B", 9); }), kErrRecordLocked);
    EXPECT_EQ(CodeOf([&] { c.DeleteRecord(buffer, false); }), kErrRecordLocked);
    EXPECT_EQ(c.GetRecordCount(), 3);
    child.Go();
    ASSERT_TRUE(child.AwaitSignal());
    c.LockTable();
    EXPECT_TRUE(c.Table()->TableLocked());
    InsertEntry(c, "new@x", "B", 9);
    c.UnlockTable();
    EXPECT_EQ(c.GetRecordCount(), 4);
    child.Go();
    EXPECT_EQ(child.Wait(), 0);
}

// A table whose last cursor closed inside a batch and that is then opened for exclusive use
// is opened afresh for it: another program cannot open it beside.
TEST_F(TwoPrograms, ATableReopenedForExclusiveUseInsideABatchIsNotShared) {
    MakeTable(1);
    directory->BeginUpdateBatch();
    {
        TDataCursor& shared = NewCursor("mailist", false);
        shared.Open();
        InsertEntry(shared, "b@x", "B", 2);
        shared.Close();
    }
    TDataCursor& alone = NewCursor("mailist", true);
    alone.Open();
    EXPECT_EQ(alone.GetRecordCount(), 2);
    SecondProgram child([&](SecondProgram&) {
        Program program(dir.Path().string(), false);
        try {
            program.cursor->Open();
        } catch (const EStrataEngineError& error) {
            return error.ErrorCode() == kErrAccessDenied ? 0 : 2;
        }
        return 1;
    });
    EXPECT_EQ(child.Wait(), 0);
    alone.Close();
    directory->EndUpdateBatch(true);
}

// The empty index name is the primary index's. On a table without one it selects record order
// (also from a cursor opened in record order), and the table can be packed in that order.
TEST_F(TableEdges, TheEmptyIndexNameSelectsRecordOrderWithoutAPrimaryIndex) {
    TableDefinition definition = ListTableDefinition();
    definition.indexes.front() = IndexDescriptor{};
    {
        TDataCursor& c = CreateAndOpen(definition, "loose");
        for (const char* item : {"c@x", "a@x", "b@x"})
            InsertEntry(c, item, "A", 1);
        c.Close();
    }
    TDataCursor& c = NewCursor("loose");
    c.SetPhysicalOrder(true);
    c.Open();
    EXPECT_EQ(CodeOf([&] { c.SetIndexByName(""); }), 0);
    EXPECT_TRUE(c.PhysicalOrder());
    c.SetIndexByName("ByItem");
    EXPECT_EQ(Items(c), (std::vector<std::string>{"a@x", "b@x", "c@x"}));
    c.SetIndexByName("");
    EXPECT_EQ(Items(c), (std::vector<std::string>{"c@x", "a@x", "b@x"}));
    EXPECT_EQ(CodeOf([&] { c.SetIndexByName("Nothing"); }), kErrInvalidIndexName);
    c.Close();
    EXPECT_EQ(CodeOf([&] { c.OptimizeTable("", false); }), 0);
    c.Open();
    EXPECT_EQ(Items(c), (std::vector<std::string>{"c@x", "a@x", "b@x"}));
}

// The table's other cursors (clones of an exclusive cursor, which compare no file counters)
// follow a table emptied, packed by a sort or given its index back: in record order and in
// index order they show the table as it now is.
TEST_F(TableEdges, ClonesFollowTheTableEmptiedSortedOrGivenItsIndexBack) {
    std::vector<std::uint8_t> buffer;
    for (const bool physical : {true, false}) {
        SCOPED_TRACE(physical);
        TDataCursor& c = CreateAndOpen(ListTableDefinition(), "e" + std::to_string(physical));
        for (const char* item : {"c@x", "a@x", "b@x"})
            InsertEntry(c, item, "A", 1);
        if (physical)
            c.SetIndex(kNoIndex);
        std::unique_ptr<TDataCursor> clone = c.CloneCursor();
        buffer.assign(c.GetRecordSize(), 0);
        clone->First();
        ASSERT_EQ(clone->GetNextRecord(buffer), 0);
        c.EmptyTable();
        EXPECT_EQ(clone->GetRecordCount(), 0);
        EXPECT_NE(clone->GetCurrentRecord(buffer, false), 0);
        EXPECT_TRUE(Items(*clone).empty());
        InsertEntry(c, "z@x", "A", 1);
        EXPECT_EQ(Items(*clone), (std::vector<std::string>{"z@x"}));

        // The index taken back holds "z@x" alone again.
        c.BackupIndex();
        InsertEntry(c, "y@x", "A", 1);
        EXPECT_EQ(Items(*clone), (std::vector<std::string>{"z@x", "y@x"}));
        c.RestoreIndex(false, true);
        clone->Last();
        EXPECT_EQ(clone->GetRecordCount(), 1);
        EXPECT_EQ(Items(*clone), (std::vector<std::string>{"z@x"}));
        clone->Close();
        c.Close();
    }

    TableDefinition loose = ListTableDefinition();
    loose.indexes = {IndexDescriptor{}};
    TDataCursor& s = CreateAndOpen(loose, "unsorted");
    for (const char* item : {"c@x", "a@x", "b@x"})
        InsertEntry(s, item, "A", 1);
    std::unique_ptr<TDataCursor> clone = s.CloneCursor();
    buffer.assign(s.GetRecordSize(), 0);
    clone->First();
    ASSERT_EQ(clone->GetNextRecord(buffer), 0);
    ASSERT_EQ(GetText(*clone, buffer, 2), "c@x");
    const FieldDescriptor item = s.GetFieldDesc(2);
    s.SortRecords(std::span(&item, 1), false, false, false, false, {}, false, {}, false, {});
    EXPECT_EQ(Items(s), (std::vector<std::string>{"a@x", "b@x", "c@x"}));
    EXPECT_EQ(Items(*clone), (std::vector<std::string>{"a@x", "b@x", "c@x"}));
}

// Partial keys and ranges of descending indexes, case-insensitive or not, without a language
// and under two: the search finds the first key with the prefix in the index's order, and a
// range runs from the highest to the lowest value it names, both included.
TEST_F(TableEdges, PartialKeysAndRangesOfDescendingIndexes) {
    for (const std::uint16_t language :
         {std::uint16_t{0}, std::uint16_t{0x0407}, std::uint16_t{0x0409}}) {
        SCOPED_TRACE(language);
        TableDefinition d = ListTableDefinition();
        d.language = language;
        d.indexes.push_back(MakeIndex("Down", {3, 4}, false, true, true));
        d.indexes.push_back(MakeIndex("DownU", {3, 4}, true, false, true));
        TDataCursor& c = CreateAndOpen(d, "lang" + std::to_string(language));
        InsertEntry(c, "a@x", "Beta", 1);
        InsertEntry(c, "b@x", "beta", 2);
        InsertEntry(c, "c@x", "Alpha", 3);
        InsertEntry(c, "d@x", "Gamma", 4);
        InsertEntry(c, "e@x", "Bet", 5);
        InsertEntry(c, "f@x", "Betb", 6);
        c.SetIndexByName("Down");
        EXPECT_EQ(Items(c), (std::vector<std::string>{"d@x", "f@x", "b@x", "a@x", "e@x", "c@x"}));
        std::vector<std::uint8_t> key(c.GetRecordSize());
        std::vector<std::uint8_t> out(c.GetRecordSize());
        PutText(c, key, 3, "BETA");
        EXPECT_TRUE(c.FindKey(false, key, out, 0, true, 1));
        EXPECT_EQ(GetText(c, out, 2), "b@x");
        PutText(c, key, 3, "bet");
        EXPECT_TRUE(c.FindKey(false, key, out, 3, true, 0));
        EXPECT_EQ(GetText(c, out, 2), "f@x");
        std::vector<std::uint8_t> lo(c.GetRecordSize()), hi(c.GetRecordSize());
        PutText(c, lo, 3, "Beta");
        PutText(c, hi, 3, "Beta");
        c.SetRangeKeys(false, lo, 1, hi, 1);
        EXPECT_EQ(c.GetRecordCount(), 2);
        EXPECT_EQ(Items(c), (std::vector<std::string>{"b@x", "a@x"}));
        c.CancelRange();
        PutText(c, lo, 3, "Betb");
        PutText(c, hi, 3, "Bet");
        c.SetRangeKeys(false, lo, 1, hi, 1);
        EXPECT_EQ(Items(c), (std::vector<std::string>{"f@x", "b@x", "a@x", "e@x"}));
        c.CancelRange();
        c.SetIndexByName("DownU");
        PutText(c, key, 3, "Beta");
        EXPECT_TRUE(c.FindKey(false, key, out, 0, true, 1));
        EXPECT_EQ(GetText(c, out, 2), "a@x");
        c.Close();
    }
}
}  // namespace
}  // namespace strata
