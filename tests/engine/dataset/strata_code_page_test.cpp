// Text crossing into the table and query components: names, texts, SQL and parameters go into
// the table's single-byte code page (Windows-1252 for language 0) and come back as UTF-8.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "engine/dataset/strata_params.h"
#include "engine/dataset/strata_query.h"
#include "engine/dataset/strata_table.h"
#include "platform/db/exception.h"
#include "tests/engine/dataset/strata_test_support.h"

namespace strata {
namespace {

using namespace testing_support;

// "Müller", "Größe" and "Café" as Windows-1252 bytes.
const std::string kMullerPage = "M\xFCller";
const std::string kGrossePage =
    "Gr\xF6\xDF"
    "e";
const std::string kCafePage = "Caf\xE9";

class StrataCodePageTest : public DataSetTest {
  protected:
    void TearDown() override {
        owned.clear();
        query.reset();
        DataSetTest::TearDown();
    }
    TStrataTable& MakeTable(std::string_view name) {
        owned.push_back(db::MakeComponent<TStrataTable>(nullptr));
        TStrataTable& t = *owned.back();
        t.SetSessionName("TestSession");
        t.SetDatabaseName("TestDB");
        t.SetTableName(name);
        t.SetExclusive(true);
        return t;
    }
    // A table with a non-ASCII field name and an index name the page lacks letters for.
    TStrataTable& CreateNamesTable(std::string_view name = "names.dat") {
        TStrataTable& t = MakeTable(name);
        t.FieldDefs()->Add("Id", db::ftInteger);
        t.FieldDefs()->Add("Müller", db::ftString, 40);
        t.IndexDefs().Add("Łódź", "Müller", db::ixCaseInsensitive);
        t.CreateTable();
        return t;
    }
    TStrataQuery& MakeQuery(std::string_view sql) {
        query = db::MakeComponent<TStrataQuery>(nullptr);
        query->SetSessionName("TestSession");
        query->SetDatabaseName("TestDB");
        query->SQL().SetText(sql);
        return *query;
    }
    static std::vector<std::string> Column(TStrataQuery& q, std::string_view field) {
        std::vector<std::string> values;
        for (q.First(); !q.Eof(); q.Next())
            values.push_back(q.FieldByName(field)->AsString());
        std::sort(values.begin(), values.end());
        return values;
    }

    std::vector<db::ComponentPtr<TStrataTable>> owned;
    db::ComponentPtr<TStrataQuery> query;
};

TEST_F(StrataCodePageTest, CreatedNamesAreStoredInTheCodePageAndReadBackAsUtf8) {
    TStrataTable& t = CreateNamesTable();
    const std::vector<FieldDescriptor> fields = t.EngineFieldDescriptors();
    ASSERT_EQ(fields.size(), 2u);
    EXPECT_EQ(FieldName(fields[1]), kMullerPage) << "one byte per letter on disk";
    const std::vector<IndexDescriptor> indexes = t.EngineIndexDescriptors();
    ASSERT_EQ(indexes.size(), 2u);
    // The page holds "ó" but not "Ł" or "ź"; the engine keeps index names upper case.
    EXPECT_EQ(IndexName(indexes[1]),
              "L\xF3"
              "DZ")
        << "letters the page lacks are transliterated";

    // Read through a private cursor (closed table) and through the open one alike.
    t.FieldDefs()->Clear();
    t.FieldDefs()->SetUpdated(false);
    t.FieldDefs()->Update();
    EXPECT_GE(t.FieldDefs()->IndexOf("Müller"), 0);
    t.UpdateIndexDefs();
    ASSERT_EQ(t.IndexDefs().Count(), 1);
    EXPECT_EQ(t.IndexDefs().Items(0)->Name(), "LóDZ");
    EXPECT_EQ(t.IndexDefs().Items(0)->Fields(), "Müller");

    t.SetIndexName("Lódz");
    t.Open();
    ASSERT_NE(t.FindField("Müller"), nullptr);
    for (const char* name : {"Zoë", "Bär", "Łukasz"}) {
        t.Append();
        t.FieldByName("Müller")->SetAsString(name);
        t.Post();
    }
    t.First();
    EXPECT_EQ(t.FieldByName("Müller")->AsString(), "Bär") << "ordered by the named index";
    EXPECT_TRUE(t.Locate("Müller", db::Variant(std::string("Zoë")), {}));
    t.SetIndexFieldNames("Müller");
    EXPECT_EQ(t.IndexFieldNames(), "Müller");
    EXPECT_TRUE(t.Locate("Müller", db::Variant(std::string("lukasz")), {db::loCaseInsensitive}))
        << "the transliterated value is found through the case-insensitive index";
    t.Close();
    t.OptimizeTable("Łódź", false);
    t.Open();
    EXPECT_EQ(t.RecordCount(), 3);
    t.Close();
}

TEST_F(StrataCodePageTest, TableNamesReachTheFilesInTheCodePage) {
    TStrataTable& t = CreateNamesTable("Straße.dat");
    EXPECT_TRUE(
        std::filesystem::exists(dir.File("Stra\xDF"
                                         "e.DAT")));
    EXPECT_TRUE(t.Exists());
    t.Open();
    EXPECT_EQ(t.RecordCount(), 0);
    t.Close();
    t.DeleteTable();
    EXPECT_FALSE(t.Exists());
}

TEST_F(StrataCodePageTest, RestructureConvertsNamesAndTexts) {
    TStrataTable& t = CreateNamesTable();
    TRestructureFieldDefs& rf = t.RestructureFieldDefs();
    rf.Update();
    ASSERT_EQ(rf.Count(), 2u);
    EXPECT_EQ(rf.Items(1).Name, "Müller");
    TRestructureIndexDefs& ri = t.RestructureIndexDefs();
    ri.Update();
    ASSERT_EQ(ri.Count(), 1u);
    EXPECT_EQ(ri.Items(0).Fields, "Müller");

    rf.Add("Größe", db::ftString, 3, 0, "Café", "", "", "Café", false, 20);
    ri.Add("Größe", "Größe", 0, 0);
    t.RestructureTable(0, 0, 1, 0, false, "", "Café", 512, -1, true);

    const std::vector<FieldDescriptor> fields = t.EngineFieldDescriptors();
    ASSERT_EQ(fields.size(), 3u);
    EXPECT_EQ(FieldName(fields[2]), kGrossePage);
    EXPECT_EQ(GetShortString(fields[2], fd::kDefault, fd::kTextLength), kCafePage);
    EXPECT_EQ(GetShortString(fields[2], fd::kDescription, fd::kTextLength), kCafePage);
    const std::vector<IndexDescriptor> indexes = t.EngineIndexDescriptors();
    ASSERT_EQ(indexes.size(), 3u);
    EXPECT_EQ(IndexName(indexes[2]),
              "GR\xF6\xDF"
              "E");

    t.Open();
    t.Append();
    t.FieldByName("Müller")->SetAsString("x");
    t.Post();
    EXPECT_EQ(t.FieldByName("Größe")->AsString(), "Café") << "the default, back in UTF-8";
    t.Close();
    rf.Update();
    EXPECT_EQ(rf.Find("Größe").DefaultValue, "Café");
    EXPECT_EQ(rf.Find("Größe").Description, "Café");
}

TEST_F(StrataCodePageTest, MalformedNamesAreRefusedBeforeAnyFileIsWritten) {
    TStrataTable& t = MakeTable("bad.dat");
    t.FieldDefs()->Add("A\xFF", db::ftInteger);
    EXPECT_THROW(t.CreateTable(), db::EConvertError);
    EXPECT_FALSE(std::filesystem::exists(dir.File("bad.DAT")));

    TStrataTable& u = MakeTable("bad\xC3.dat");
    u.FieldDefs()->Add("A", db::ftInteger);
    EXPECT_THROW(u.CreateTable(), db::EConvertError);
    EXPECT_THROW(u.Open(), db::EConvertError);
}

TEST_F(StrataCodePageTest, SqlLiteralsAndParametersMeetTheStoredText) {
    Create(ListTableDefinition());
    {
        TestTable& t = NewTable();
        t.Open();
        AddEntry(t, "a@x", "Müller", 0);
        AddEntry(t, "b@x", "Łódź", 1);
        AddEntry(t, "c@x", "misc", 2);
        t.Close();
    }
    {
        TStrataQuery& q = MakeQuery("select Item from mailist where Category = 'Müller'");
        q.Open();
        EXPECT_EQ(Column(q, "Item"), (std::vector<std::string>{"a@x"})) << "a literal";
        q.Close();
    }
    {
        TStrataQuery& q = MakeQuery("select Item, Category from mailist where Category = :cat");
        q.Params().ParamByName("cat").SetAsString("Łódź");
        q.Open();
        EXPECT_EQ(Column(q, "Item"), (std::vector<std::string>{"b@x"})) << "a parameter";
        EXPECT_EQ(q.FieldByName("Category")->AsString(), "Lódz");
        q.Close();
        q.Params().ParamByName("cat").SetAsString("M\xC3");
        EXPECT_THROW(q.Open(), db::EConvertError) << "malformed UTF-8 is not guessed at";
        EXPECT_FALSE(q.Active());
    }
    {
        TStrataQuery& q = MakeQuery("select Item from mailist where Category = 'Mü\xFF'");
        EXPECT_THROW(q.Open(), db::EConvertError);
    }
}

TEST_F(StrataCodePageTest, StatementParametersCarryCodePageBytes) {
    TStrataParams params;
    params.CreateParam(db::ftString, "Größe", db::ptInput).SetAsString("Müller");
    params.CreateParam(db::ftMemo, "Note", db::ptInput).SetAsMemo("Café");
    const StatementParams built = BuildStatementParams(params);
    ASSERT_EQ(built.descriptors.size(), 2u);
    EXPECT_EQ(FieldName(built.descriptors[0]), kGrossePage);
    EXPECT_EQ(built.descriptors[0][fd::kLength], 6) << "six letters, six bytes";
    const std::string value(built.buffer.begin() + 1, built.buffer.begin() + 1 + 6);
    EXPECT_EQ(value, kMullerPage);
    ASSERT_EQ(built.blobs.size(), 1u);
    EXPECT_EQ(std::string(built.blobs[0].begin(), built.blobs[0].end()), kCafePage);

    // The 250-character limit counts the page's bytes, not UTF-8's.
    std::string letters;
    for (int i = 0; i < 250; ++i)
        letters += "ü";
    TStrataParams fits;
    fits.CreateParam(db::ftString, "s", db::ptInput).SetAsString(letters);
    EXPECT_EQ(BuildStatementParams(fits).descriptors.size(), 1u);
    TStrataParams too_long;
    too_long.CreateParam(db::ftString, "s", db::ptInput).SetAsString(letters + "ü");
    EXPECT_THROW(BuildStatementParams(too_long), db::EDatabaseError);
}

}  // namespace
}  // namespace strata
