#include "engine/dataset/strata_table.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <filesystem>
#include <optional>
#include <random>

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

// An index the open table cannot switch to, by fields or by name, is refused and changes
// nothing: the table keeps its order and its index property, and opens again as before.
TEST_F(StrataTableTest, ARefusedIndexLeavesTheTableAndItsPropertyAsTheyWere) {
    TStrataTable& t = MakeTable();
    CreateListTable(t);
    t.SetIndexFieldNames("Item");
    t.Open();
    for (const char* item : {"c@x", "a@x", "b@x"}) {
        t.Append();
        t.FieldByName("Item")->SetAsString(item);
        t.Post();
    }
    const auto order = [&] {
        std::string seen;
        for (t.First(); !t.Eof(); t.Next())
            seen += t.FieldByName("Item")->AsString().substr(0, 1);
        return seen;
    };
    ASSERT_EQ(order(), "abc");
    EXPECT_THROW(t.SetIndexFieldNames("Category"), db::EDatabaseError);
    EXPECT_EQ(t.IndexFieldNames(), "Item");
    EXPECT_THROW(t.SetIndexName("NoSuchIndex"), db::EDatabaseError);
    EXPECT_EQ(t.IndexFieldNames(), "Item");
    EXPECT_EQ(t.IndexName(), "");
    EXPECT_EQ(order(), "abc");
    t.Close();
    EXPECT_NO_THROW(t.Open());
    EXPECT_EQ(order(), "abc");
    // A good one still switches.
    t.SetIndexName("");
    EXPECT_EQ(t.IndexFieldNames(), "");
    EXPECT_EQ(order(), "cab");
    t.Close();
}

// Locate on fields no index holds together filters the table; the few rows that pass are
// found by their keys. The row found, and its place, must be those of a walk through the rows
// in the table's order: every index, filtered or not, with and without case, partial keys,
// nulls, misses, and rows changed and deleted between the searches.
TEST_F(StrataTableTest, LocateByFilterFindsTheRowAWalkFinds) {
    TStrataTable& t = MakeTable();
    db::TFieldDefs& f = *t.FieldDefs();
    f.Add("Index", db::ftAutoInc);
    f.Add("Item", db::ftString, 80);
    f.Add("Category", db::ftString, 80);
    f.Add("Bounces", db::ftInteger);
    t.IndexDefs().Add("", "Index;Item", db::ixPrimary | db::ixUnique);
    t.IndexDefs().Add("ByCategory", "Category", db::ixCaseInsensitive);
    t.IndexDefs().Add("ByBounce", "Bounces", db::ixCaseInsensitive);
    t.IndexDefs().Add("ByItem", "Item", db::ixCaseInsensitive);
    t.CreateTable();
    t.Open();
    std::mt19937 random(17);
    const char* const categories[] = {"Default", "default", "news", "Sales", nullptr};
    for (int i = 0; i < 1200; ++i) {
        t.Append();
        std::string item = "m" + std::to_string(random() % 400) + "@x.org";
        if (random() % 3 == 0)
            item[0] = 'M';
        t.FieldByName("Item")->SetAsString(item);
        if (const char* category = categories[random() % 5])
            t.FieldByName("Category")->SetAsString(category);
        t.FieldByName("Bounces")->SetAsInteger(static_cast<std::int32_t>(random() % 4));
        t.Post();
    }
    const auto lower = [](std::string text) {
        for (char& c : text)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return text;
    };
    struct Search {
        std::string fields;
        std::vector<db::Variant> values;
        db::TLocateOptions options;
    };
    // The rows in the table's order, as "Index", then Item, Category and Bounces (null as
    // nullopt), read once for all the searches in that order.
    using Row = std::pair<std::int32_t, std::vector<std::optional<std::string>>>;
    const auto rows = [&] {
        std::vector<Row> list;
        for (t.First(); !t.Eof(); t.Next()) {
            Row row{t.FieldByName("Index")->AsInteger(), {}};
            for (const char* name : {"Item", "Category", "Bounces"}) {
                db::TField& field = *t.FieldByName(name);
                row.second.push_back(field.IsNull() ? std::nullopt
                                                    : std::optional(field.AsString()));
            }
            list.push_back(std::move(row));
        }
        return list;
    };
    // The first row that the search's own comparison passes: its Index and place, or none.
    const auto walk = [&](const std::vector<Row>& order,
                          const Search& s) -> std::pair<std::int32_t, std::int64_t> {
        const bool no_case = s.options.Contains(db::loCaseInsensitive);
        const bool partial = s.options.Contains(db::loPartialKey);
        std::vector<std::size_t> columns;
        for (std::size_t at = 0; at <= s.fields.size();) {
            const std::size_t end = std::min(s.fields.find(';', at), s.fields.size());
            const std::string name = s.fields.substr(at, end - at);
            columns.push_back(name == "Item" ? 0 : name == "Category" ? 1 : 2);
            at = end + 1;
        }
        for (std::size_t place = 0; place < order.size(); ++place) {
            bool passes = true;
            for (std::size_t i = 0; i < columns.size() && passes; ++i) {
                const std::optional<std::string>& have = order[place].second[columns[i]];
                const db::Variant& value = s.values[i];
                if (value.IsNull() || !have) {
                    passes = value.IsNull() && !have;
                    continue;
                }
                std::string text = no_case ? lower(*have) : *have;
                std::string want = no_case ? lower(value.AsString()) : value.AsString();
                if (partial && i + 1 == columns.size() && columns[i] != 2) {
                    if (!want.empty() && want.back() == '*')
                        want.pop_back();
                    passes = text.compare(0, want.size(), want) == 0;
                } else {
                    passes = text == want;
                }
            }
            if (passes)
                return {order[place].first, static_cast<std::int64_t>(place + 1)};
        }
        return {0, 0};
    };
    const auto searches = [&] {
        std::vector<Search> list;
        for (int i = 0; i < 12; ++i) {
            const std::string item = "M" + std::to_string(random() % 420) + "@X.org";
            const char* category = categories[random() % 5];
            const db::Variant wanted = category ? db::Variant(category) : db::Variant::Null();
            list.push_back({"Item;Category", {db::Variant(item), wanted}, {db::loCaseInsensitive}});
            list.push_back({"Item;Category", {db::Variant(lower(item)), wanted}, {}});
            list.push_back({"Item;Category",
                            {db::Variant(item), db::Variant("DEF*")},
                            {db::loCaseInsensitive, db::loPartialKey}});
            list.push_back({"Category;Item",
                            {wanted, db::Variant(item.substr(0, 3))},
                            {db::loCaseInsensitive, db::loPartialKey}});
            list.push_back({"Item;Bounces",
                            {db::Variant(lower(item)), db::Variant(std::int32_t(random() % 4))},
                            {}});
        }
        return list;
    };
    for (int round = 0; round < 2; ++round) {
        for (const char* index : {"", "ByItem", "ByCategory", "ByBounce"}) {
            for (const bool filtered : {false, true}) {
                SCOPED_TRACE(std::string(index) + (filtered ? " filtered" : "") + " round " +
                             std::to_string(round));
                t.SetIndexName(index);
                t.SetFilter("Bounces <> 2");
                t.SetFiltered(filtered);
                const std::vector<Row> order = rows();
                for (const Search& s : searches()) {
                    const auto [expected, place] = walk(order, s);
                    t.Last();
                    const std::size_t filters = t.Handle()->FilterCount();
                    const db::Variant values = db::Variant::FromArray(s.values);
                    const bool found = t.Locate(s.fields, values, s.options);
                    ASSERT_EQ(found, expected != 0) << s.fields << " " << s.values[0].AsString();
                    if (found) {
                        EXPECT_EQ(t.FieldByName("Index")->AsInteger(), expected) << s.fields;
                        EXPECT_EQ(t.RecNo(), place) << s.fields;
                    }
                    // The search leaves no filter of its own behind.
                    EXPECT_EQ(t.Handle()->FilterCount(), filters);
                }
            }
        }
        // Rows merged into one category and some deleted, as the list's commands do.
        t.SetFiltered(false);
        t.SetIndexName("");
        t.First();
        for (int i = 0; !t.Eof(); ++i) {
            if (i % 7 == 0) {
                t.Delete();
                continue;
            }
            if (i % 2 == 0) {
                t.Edit();
                t.FieldByName("Category")->SetAsString("Default");
                t.Post();
            }
            t.Next();
        }
    }
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

// An older table gains fields by a restructure that starts from its loaded
// definition: first a new field in front, then fields at the end; the rows
// keep their values and the new fields take their defaults.
TEST_F(StrataTableTest, RestructureAddsFieldsToAnExistingTable) {
    TStrataTable& t = MakeTable("old.dat");
    t.FieldDefs()->Add("Item", db::ftString, 80);
    t.FieldDefs()->Add("Category", db::ftString, 80);
    t.IndexDefs().Add("ByItem", "Item", db::ixCaseInsensitive);
    t.CreateTable();
    t.Open();
    for (const char* item : {"a@x", "b@x"}) {
        t.Append();
        t.FieldByName("Item")->SetAsString(item);
        t.FieldByName("Category")->SetAsString("news");
        t.Post();
    }
    t.Close();

    TRestructureFieldDefs& rf = t.RestructureFieldDefs();
    rf.SetLoaded(false);
    rf.Update();
    ASSERT_EQ(rf.Count(), 2u);
    rf.Insert(0, "Index", db::ftAutoInc, 3, 0, "", "", "", "", false, 0);
    TRestructureIndexDefs& ri = t.RestructureIndexDefs();
    ri.SetLoaded(false);
    ri.Update();
    t.RestructureTable(0, 0, 0, 0, false, "", "", 512, -1, true);

    rf.SetLoaded(false);
    rf.Update();
    rf.Add("Flag", db::ftBoolean, 4, 0, "", "", "", "TRUE", false, 0);
    ri.Clear();
    ri.SetLoaded(true);
    ri.Add("", "Index;Item", db::ixPrimary | db::ixUnique, 3);
    ri.Add("ByItem", "Item", db::ixCaseInsensitive, 3);
    t.RestructureTable(0, 0, 0, 0, false, "", "", 512, -1, true);

    t.Open();
    std::vector<std::string> names;
    for (int i = 0; i < t.FieldCount(); ++i)
        names.push_back(t.Fields()[i]->FieldName());
    EXPECT_EQ(names, (std::vector<std::string>{"Index", "Item", "Category", "Flag"}));
    std::vector<std::string> rows;
    for (t.First(); !t.Eof(); t.Next())
        rows.push_back(
            t.FieldByName("Index")->AsString() + " " + t.FieldByName("Item")->AsString() + " " +
            t.FieldByName("Category")->AsString() + " " + t.FieldByName("Flag")->AsString());
    EXPECT_EQ(rows, (std::vector<std::string>{"1 a@x news True", "2 b@x news True"}));
    t.Close();
}

TEST_F(StrataTableTest, CreateWritesTheTableOfAReadOnlyComponent) {
    // Opened once on a write-protected file, or set read-only for viewing: the component
    // still creates its table when the table is missing.
    TStrataTable& t = MakeTable("viewed.dat");
    t.FieldDefs()->Add("Id", db::ftInteger);
    t.SetReadOnly(true);
    EXPECT_FALSE(t.Exists());
    ASSERT_NO_THROW(t.CreateTable());
    EXPECT_TRUE(t.Exists());
    EXPECT_TRUE(t.ReadOnly());
    t.Open();
    EXPECT_FALSE(t.CanModify());
}

TEST_F(StrataTableTest, ADetailLetGoOfByItsMasterStaysOnItsRecord) {
    TableDefinition categories;
    categories.fields = {MakeFieldDescriptor(1, "Category", 1, 0, 80)};
    LayOut(categories.fields);
    categories.indexes = {MakeIndex("", {1}, true, true)};
    Create(categories, "cats");
    Create(ListTableDefinition());
    TestTable& master = NewTable("cats");
    master.Open();
    for (const char* name : {"events", "news"}) {
        master.Append();
        master.FieldByName("Category")->SetAsString(name);
        master.Post();
    }
    {
        TestTable& fill = NewTable();
        fill.Open();
        AddEntry(fill, "carol@example.com", "news", 0, "Carol");
        AddEntry(fill, "abe@example.com", "news", 1, "Abe");
        AddEntry(fill, "bob@example.com", "events", 2, "Bob");
        fill.Close();
    }
    auto source = db::MakeComponent<db::TDataSource>(nullptr);
    source->SetDataSet(&master);
    TStrataTable& detail = MakeTable("mailist");
    detail.SetIndexName("ByCategory");
    detail.SetMasterSource(source.get());
    detail.SetMasterFields("Category");
    master.Last();
    detail.Open();
    detail.Last();
    ASSERT_EQ(detail.FieldByName("Item")->AsString(), "abe@example.com");
    // A lookup searches without moving the record shown, though it moves the cursor.
    EXPECT_EQ(detail.Lookup("Name", db::Variant("Carol"), "Item").AsString(), "carol@example.com");
    detail.SetMasterFields("");
    EXPECT_EQ(detail.RecordCount(), 3);
    EXPECT_EQ(detail.FieldByName("Item")->AsString(), "abe@example.com");
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
    stream.reset();

    // A write that would end past the largest offset names the blob's length, writes nothing.
    t.Edit();
    auto writer = t.CreateBlobStream(notes, db::bmReadWrite);
    EXPECT_EQ(writer->Seek(0x7FFFFFFE, db::soBeginning), 0x7FFFFFFE);
    try {
        WriteText(*writer, "four");
        ADD_FAILURE() << "a write beyond the largest offset was taken";
    } catch (const std::exception& error) {
        EXPECT_NE(std::string(error.what()).find("Invalid blob length"), std::string::npos)
            << error.what();
    }
    EXPECT_EQ(writer->Size(), 11);
    writer.reset();
    t.Cancel();
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

TEST_F(BlobStreamTest, AWriterBesideAnOpenReaderNeedsTheEditState) {
    TStrataTable& t = MemoTable();
    db::TField* notes = t.FieldByName("Notes");
    t.Append();
    notes->SetAsString("kept text");
    t.Post();
    auto reader = t.CreateBlobStream(notes, db::bmRead);
    for (const db::TBlobStreamMode mode : {db::bmWrite, db::bmReadWrite}) {
        EXPECT_THROW(t.CreateBlobStream(notes, mode), db::EDatabaseError) << mode;
    }
    // Nor does the reader itself change what it reads.
    EXPECT_THROW(WriteText(*reader, "x"), db::EDatabaseError);
    EXPECT_THROW(reader->SetSize(0), db::EDatabaseError);
    EXPECT_EQ(ReadAll(*reader), "kept text") << "the shown record is not emptied";
    reader.reset();
    EXPECT_EQ(notes->AsString(), "kept text");
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
