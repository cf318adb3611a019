#include "engine/dataset/strata_query.h"

#include <gtest/gtest.h>

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
    Create(ListTableDefinition());
    TestTable& master = NewTable();
    master.exclusive = false;
    master.Open();
    AddEntry(master, "a@x", "news", 0);
    AddEntry(master, "b@x", "misc", 2);
    master.First();
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

}  // namespace
}  // namespace strata
