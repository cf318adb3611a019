#include "engine/dataset/strata_query.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <initializer_list>

#include "engine/storage/engine_error.h"
#include "platform/db/data_link.h"
#include "tests/engine/dataset/strata_test_support.h"

namespace strata {
namespace {

using namespace testing_support;

class StrataQueryTest : public DataSetTest {
  protected:
    TStrataQuery& MakeQuery(std::string_view sql) {
        query = db::MakeComponent<TStrataQuery>(nullptr);
        query->SetSessionName("TestSession");
        query->SetDatabaseName("TestDB");
        query->SQL().SetText(sql);
        return *query;
    }
    // A shared list table, open on its first entry, of a@x (news, 0) and then the given
    // addresses (misc, 2), as the master of a query.
    TestTable& OpenMaster(std::initializer_list<const char*> misc_items) {
        Create(ListTableDefinition());
        TestTable& master = NewTable();
        master.exclusive = false;
        master.Open();
        AddEntry(master, "a@x", "news", 0);
        for (const char* item : misc_items)
            AddEntry(master, item, "misc", 2);
        master.First();
        return master;
    }
    db::ComponentPtr<TStrataQuery> query;
};

TEST_F(StrataQueryTest, SqlTextMakesParametersAndKeepsTheirValues) {
    TStrataQuery& q = MakeQuery("select * from mailist where Item = :item and Category = ':x'");
    EXPECT_EQ(q.ProcessedSQL().rfind("select * from mailist where Item = ? and Category = ':x'", 0),
              0u);
    ASSERT_EQ(q.Params().Count(), 1u);
    q.Params().ParamByName("item").SetAsString("a@x");
    q.SQL().SetText("select * from mailist where Item = :item or Bounces = :n");
    ASSERT_EQ(q.Params().Count(), 2u);
    EXPECT_EQ(q.Params().Items(0).Value().AsString(), "a@x") << "taken over by name";
    EXPECT_FALSE(q.Params().Items(1).Bound());
    q.SetParamCheck(false);
    q.SQL().SetText("select * from mailist where Item = :other");
    EXPECT_EQ(q.Params().Count(), 2u) << "without ParamCheck the list stays";
}

TEST_F(StrataQueryTest, RefusesWhatCannotRun) {
    TStrataQuery& q = MakeQuery("");
    EXPECT_THROW(q.Open(), db::EDatabaseError);
    EXPECT_THROW(q.Prepare(), db::EDatabaseError);
    db::TDataSource own(nullptr);
    own.SetDataSet(&q);
    EXPECT_THROW(q.SetDataSource(&own), db::EDatabaseError);
}

TEST_F(StrataQueryTest, ParametersReachTheStatement) {
    Create(ListTableDefinition());
    {
        TestTable& t = NewTable();
        t.Open();
        AddEntry(t, "a@x", "news", 0);
        AddEntry(t, "b@x", "news", 2);
        AddEntry(t, "c@x", "misc", 2);
        t.Close();
    }
    TStrataQuery& q = MakeQuery("select Item from mailist where Bounces = :n");
    q.Params().ParamByName("n").SetAsInteger(2);
    q.Open();
    std::vector<std::string> items;
    while (!q.Eof()) {
        items.push_back(q.FieldByName("Item")->AsString());
        q.Next();
    }
    std::sort(items.begin(), items.end());
    EXPECT_EQ(items, (std::vector<std::string>{"b@x", "c@x"}));
    EXPECT_EQ(q.ResultCount(), 2);
    q.Close();
    q.Disconnect();
    EXPECT_FALSE(q.Prepared());
}

TEST_F(StrataQueryTest, UnpreparingLetsGoOfTheDatabase) {
    Create(ListTableDefinition());
    database->SetKeepConnection(false);
    TestTable& keep = NewTable();
    keep.exclusive = false;
    keep.Open();  // holds the database open for the comparison of uses
    AddEntry(keep, "a@x", "news", 0);
    const std::int32_t uses = database->UseCount();
    TStrataQuery& q = MakeQuery("select Item from mailist");
    q.Prepare();
    EXPECT_EQ(database->UseCount(), uses + 1);
    q.Unprepare();
    EXPECT_FALSE(q.Prepared());
    EXPECT_EQ(database->UseCount(), uses) << "the statement's use ends with it";
    EXPECT_EQ(q.Database(), nullptr);

    // A prepared, closed query may move to another database: it unprepares first.
    q.Prepare();
    q.Open();
    EXPECT_THROW(q.SetDatabaseName("Elsewhere"), db::EDatabaseError) << "open";
    q.Close();
    EXPECT_NO_THROW(q.SetDatabaseName("Elsewhere"));
    EXPECT_FALSE(q.Prepared());
    EXPECT_EQ(q.DatabaseName(), "Elsewhere");
    EXPECT_EQ(database->UseCount(), uses);
    q.SetDatabaseName("TestDB");
    q.Open();
    EXPECT_EQ(q.FieldByName("Item")->AsString(), "a@x");
}

TEST_F(StrataQueryTest, BcdParametersMeetStoredAmounts) {
    TableDefinition definition;
    definition.fields = {MakeFieldDescriptor(1, "Id", 6, 29),
                         MakeFieldDescriptor(2, "Amount", 8, 0, 0, 2)};
    LayOut(definition.fields);
    definition.indexes = {MakeIndex("", {1}, true)};
    Create(definition, "amounts");
    {
        TestTable& t = NewTable("amounts");
        t.Open();
        for (const std::int64_t raw : {123400, -5000, 7}) {
            t.Append();
            t.FieldByName("Amount")->SetAsCurrency(db::Currency::FromRaw(raw));
            t.Post();
        }
        t.Close();
    }
    TStrataQuery& q = MakeQuery("select Id from amounts where Amount = :a");
    struct Case {
        std::int64_t raw;
        std::int32_t id;  // 0: no row
    };
    for (const Case c : {Case{123400, 1}, Case{-5000, 2}, Case{0, 3}, Case{999, 0}}) {
        q.Params().ParamByName("a").SetAsBCD(db::Currency::FromRaw(c.raw));
        q.Open();
        if (c.id == 0) {
            EXPECT_TRUE(q.IsEmpty()) << c.raw;
        } else {
            ASSERT_FALSE(q.IsEmpty()) << c.raw;
            EXPECT_EQ(q.FieldByName("Id")->AsInteger(), c.id) << c.raw;
        }
        q.Close();
    }
}

// Counts what a control bound to the query sees.
class WatchLink : public db::TDataLink {
  public:
    int active_changes = 0;
    int data_changes = 0;

  protected:
    void ActiveChanged() override { ++active_changes; }
    void RecordChanged(db::TField*) override { ++data_changes; }
};

TEST_F(StrataQueryTest, DataSourceRefreshesParametersWithControlsDisabled) {
    TestTable& master = OpenMaster({"b@x"});
    db::TDataSource master_source(nullptr);
    master_source.SetDataSet(&master);

    TStrataQuery& q = MakeQuery("select Item from mailist where Item = :Item");
    q.SetDataSource(&master_source);
    q.Open();
    ASSERT_EQ(q.RecordCount(), 1);
    EXPECT_EQ(q.FieldByName("Item")->AsString(), "a@x") << "unbound parameter from the source";

    db::TDataSource own(nullptr);
    own.SetDataSet(&q);
    WatchLink watch;
    watch.SetDataSource(&own);
    const int active_before = watch.active_changes;
    master.Close();
    master.Open();
    EXPECT_TRUE(q.Active());
    EXPECT_FALSE(q.ControlsDisabled());
    EXPECT_EQ(watch.active_changes, active_before) << "the close and open stay hidden";
    EXPECT_GT(watch.data_changes, 0) << "one change of data is shown";
    watch.SetDataSource(nullptr);
    q.Close();
}

// A parameter the data source fills follows the source's current record: each move of the
// master opens the query again on the new record's value. One the caller set stays as set.
TEST_F(StrataQueryTest, ParametersFromTheDataSourceFollowItsCurrentRecord) {
    TestTable& master = OpenMaster({"b@x", "c@x"});
    db::TDataSource master_source(nullptr);
    master_source.SetDataSet(&master);

    TStrataQuery& q =
        MakeQuery("select Item from mailist where Item = :Item or Category = :Category");
    q.Params().ParamByName("Category").SetAsString("none");
    q.SetDataSource(&master_source);
    q.Open();
    const auto items = [&] {
        std::vector<std::string> seen;
        for (q.First(); !q.Eof(); q.Next())
            seen.push_back(q.FieldByName("Item")->AsString());
        std::sort(seen.begin(), seen.end());
        return seen;
    };
    EXPECT_EQ(items(), (std::vector<std::string>{"a@x"}));
    EXPECT_FALSE(q.Params().ParamByName("Item").Bound());
    master.Next();
    EXPECT_EQ(master.FieldByName("Item")->AsString(), "b@x");
    EXPECT_EQ(items(), (std::vector<std::string>{"b@x"}));
    master.Last();
    EXPECT_EQ(items(), (std::vector<std::string>{"c@x"}));
    EXPECT_EQ(q.Params().ParamByName("Category").Value().AsString(), "none");
    q.Close();
}

// The query dataset over a live result edits, inserts and deletes in the table itself.
class StrataLiveQueryTest : public StrataQueryTest {
  protected:
    void SetUp() override {
        StrataQueryTest::SetUp();
        Create(ListTableDefinition());
        TestTable& t = NewTable();
        t.Open();
        AddEntry(t, "a@x", "news", 1, "Ann");
        AddEntry(t, "b@x", "news", 2, "Bob");
        AddEntry(t, "c@x", "misc", 3, "Cy");
        t.Close();
    }

    // The table read from disk through a session of its own: "Item|Category|Bounces|Name" per
    // record.
    std::vector<std::string> TableFromDisk() {
        TDataSession engine;
        TDataCursor cursor(*engine.OpenDirectory("Disk", dir.Path().string()));
        cursor.SetTableName("mailist");
        cursor.Open();
        std::vector<std::string> rows;
        std::vector<std::uint8_t> record(cursor.GetRecordSize());
        cursor.First();
        while (cursor.GetNextRecord(record) == kErrNone) {
            std::string row;
            for (const std::uint32_t field : {2u, 3u, 4u, 6u}) {
                std::vector<std::uint8_t> value(256);
                bool is_null = true;
                cursor.GetField(field, record, is_null, value);
                row += field == 2 ? "" : "|";
                row += is_null      ? "<null>"
                       : field == 4 ? std::to_string(GetU32(value, 0))
                                    : std::string(reinterpret_cast<const char*>(value.data()));
            }
            rows.push_back(row);
        }
        return rows;
    }

    std::vector<std::string> Items(TStrataQuery& q) {
        std::vector<std::string> items;
        for (q.First(); !q.Eof(); q.Next()) {
            items.push_back(q.FieldByName("Address")->AsString());
        }
        return items;
    }
};

TEST_F(StrataLiveQueryTest, EditsInsertsAndDeletesReachTheTable) {
    TStrataQuery& q = MakeQuery(
        "select Item as Address, Bounces * 10 as Score, Name from mailist where "
        "Category = 'news'");
    q.SetRequestLive(true);
    q.Open();
    ASSERT_EQ(q.FieldCount(), 3) << "the table's other fields stay hidden";
    EXPECT_TRUE(q.CanModify());
    EXPECT_EQ(Items(q), (std::vector<std::string>{"a@x", "b@x"}));
    EXPECT_EQ(q.RecordCount(), 2);

    q.First();
    q.Edit();
    q.FieldByName("Address")->SetAsString("ann@x");
    q.FieldByName("Name")->SetAsString("Anne");
    q.Post();
    EXPECT_EQ(q.FieldByName("Score")->AsInteger(), 10);
    q.Edit();
    EXPECT_THROW(q.FieldByName("Score")->SetAsInteger(5), db::EDatabaseError)
        << "a computed column is read-only";
    q.Cancel();

    // A new record takes the WHERE's category only if given; without it, it leaves the view.
    q.Append();
    q.FieldByName("Address")->SetAsString("new@x");
    q.Post();
    EXPECT_EQ(Items(q), (std::vector<std::string>{"ann@x", "b@x"}));

    q.First();
    q.Next();
    q.Delete();
    EXPECT_EQ(Items(q), (std::vector<std::string>{"ann@x"}));
    q.Close();
    q.Disconnect();

    EXPECT_EQ(TableFromDisk(), (std::vector<std::string>{"ann@x|news|1|Anne", "c@x|misc|3|Cy",
                                                         "new@x|<null>|<null>|<null>"}));
}

TEST_F(StrataLiveQueryTest, ReopeningTakesNewParameterValuesAndFreesTheCursorOnce) {
    TStrataQuery& q = MakeQuery("select Item as Address from mailist where Bounces >= :n");
    q.SetRequestLive(true);
    q.Params().ParamByName("n").SetAsInteger(2);
    q.Open();
    EXPECT_EQ(Items(q), (std::vector<std::string>{"b@x", "c@x"}));
    q.Close();
    q.Params().ParamByName("n").SetAsInteger(3);
    q.Open();
    EXPECT_EQ(Items(q), (std::vector<std::string>{"c@x"}));
    EXPECT_EQ(q.ResultCount(), 1);
    // Unprepared while open, the query closes before its statement goes.
    q.Unprepare();
    EXPECT_FALSE(q.Active());
    EXPECT_FALSE(q.Prepared());
    q.Open();
    EXPECT_EQ(Items(q), (std::vector<std::string>{"c@x"}));
    // Destroyed while open: the dataset leaves the cursor to the statement, which closes it
    // with the source table.
    query.reset();
    EXPECT_EQ(TableFromDisk().size(), 3u);
}

TEST_F(StrataLiveQueryTest, ATableAnotherProgramHoldsExclusivelyFailsCleanly) {
    int to_parent[2];
    int to_child[2];
    ASSERT_EQ(::pipe(to_parent), 0);
    ASSERT_EQ(::pipe(to_child), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        int code = 1;
        try {
            TDataSession engine;
            TDataCursor cursor(*engine.OpenDirectory("Other", dir.Path().string()));
            cursor.SetTableName("mailist");
            cursor.SetExclusive(true);
            cursor.Open();
            char c = 'r';
            (void)!::write(to_parent[1], &c, 1);
            (void)!::read(to_child[0], &c, 1);
            code = 0;
        } catch (...) {
        }
        ::_exit(code);
    }
    char c = 0;
    ASSERT_EQ(::read(to_parent[0], &c, 1), 1);
    TStrataQuery& q = MakeQuery("select Item from mailist");
    q.SetRequestLive(true);
    try {
        q.Open();
        ADD_FAILURE() << "opened";
    } catch (const EStrataEngineError& error) {
        EXPECT_EQ(error.ErrorCode(), kErrAccessDenied);
    }
    EXPECT_FALSE(q.Active());
    EXPECT_FALSE(q.Prepared());
    (void)!::write(to_child[1], "g", 1);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    for (const int fd : {to_parent[0], to_parent[1], to_child[0], to_child[1]}) {
        ::close(fd);
    }
    q.Open();
    EXPECT_EQ(q.RecordCount(), 3) << "once the other program is gone";
}

// The hidden count an AVG keeps in a canned result gets no field: the dataset shows exactly the
// result columns, and the count stays out of the stored descriptors.
TEST_F(StrataLiveQueryTest, AverageResultsShowOnlyTheirColumns) {
    TStrataQuery& q =
        MakeQuery("select Category, avg(Bounces) as Mean, count(*) from mailist group by Category");
    q.Open();
    ASSERT_EQ(q.FieldCount(), 3);
    EXPECT_EQ(q.Fields()[0]->FieldName(), "Category");
    EXPECT_EQ(q.Fields()[1]->FieldName(), "Mean");
    EXPECT_EQ(q.Fields()[2]->FieldName(), "Count Of Index");
    EXPECT_EQ(q.FieldDefs()->Count(), 3);
    std::vector<std::string> rows;
    for (q.First(); !q.Eof(); q.Next()) {
        rows.push_back(q.Fields()[0]->AsString() + "|" + q.Fields()[1]->AsString() + "|" +
                       q.Fields()[2]->AsString());
    }
    // An integer average keeps the integer type: (1 + 2) / 2 rounds to 2.
    EXPECT_EQ(rows, (std::vector<std::string>{"misc|3|1", "news|2|2"}));
    q.Close();

    TStrataQuery& into = MakeQuery("select avg(Bounces) into means from mailist");
    into.Open();
    into.Close();
    into.Disconnect();
    TestTable& means = NewTable("means");
    means.Open();
    EXPECT_EQ(means.FieldCount(), 2) << "a table on disk shows every stored field";
    means.Close();
}

}  // namespace
}  // namespace strata
