#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/db/exception.h"
#include "platform/db/field_defs.h"
#include "platform/db/index_defs.h"
#include "platform/db/params.h"

namespace db {
namespace {

TEST(FieldDefs, AddNumbersFieldsAndFindsNamesCaseAside) {
    TFieldDefs defs;
    TFieldDef* item = defs.Add("Item", ftString, 80, true);
    defs.Add("Bounces", ftInteger);
    ASSERT_EQ(defs.Count(), 2);
    EXPECT_EQ(item->FieldNo(), 1);
    EXPECT_EQ(defs.Items(1)->FieldNo(), 2);
    EXPECT_EQ(item->Size(), 80);
    EXPECT_TRUE(item->Required());
    EXPECT_EQ(defs.IndexOf("ITEM"), 0);
    EXPECT_EQ(defs.Find("bounces"), defs.Items(1));
    EXPECT_EQ(defs.IndexOf("Missing"), -1);
    try {
        defs.Find("Missing");
        FAIL();
    } catch (const EDatabaseError& e) {
        EXPECT_STREQ(e.what(), "Field 'Missing' not found");
    }
}

TEST(FieldDefs, RefusedDefinitionsAddNothing) {
    TFieldDefs defs;
    defs.Add("Item", ftString, 80);
    try {
        defs.Add("ITEM", ftInteger);
        FAIL();
    } catch (const EDatabaseError& e) {
        EXPECT_STREQ(e.what(), "Duplicate name 'ITEM' in TFieldDefs");
    }
    EXPECT_THROW(defs.Add("", ftInteger), EDatabaseError);
    EXPECT_THROW(defs.Add("Neg", ftString, -1), EDatabaseError);
    EXPECT_EQ(defs.Count(), 1);
    TFieldDef* other = defs.Add("Other", ftInteger);
    EXPECT_THROW(other->SetName("item"), EDatabaseError);
    EXPECT_EQ(other->Name(), "Other");
    EXPECT_NO_THROW(other->SetName("OTHER"));
}

TEST(FieldDefs, UpdateReloadsOnlyWhenStaleAndReportsOtherChanges) {
    TFieldDefs defs;
    int reloads = 0;
    int changes = 0;
    defs.OnUpdate = [&](TObject* sender) {
        EXPECT_EQ(sender, &defs);
        ++changes;
    };
    defs.SetUpdater([&] {
        ++reloads;
        defs.Clear();
        defs.Add("Date", ftDate, 0, true);
    });
    defs.Update();
    EXPECT_EQ(reloads, 1);
    EXPECT_EQ(changes, 0);
    EXPECT_TRUE(defs.Updated());
    defs.Update();
    EXPECT_EQ(reloads, 1);

    defs.Add("Notes", ftString, 200);
    EXPECT_EQ(changes, 1);

    defs.SetUpdated(false);
    defs.SetUpdater([] { throw EDatabaseError("Missing table name."); });
    EXPECT_THROW(defs.Update(), EDatabaseError);
    EXPECT_FALSE(defs.Updated());
}

TEST(FieldDefs, AssignCopiesDefinitions) {
    TFieldDefs source;
    source.Add("Item", ftString, 80, true);
    source.Add("Amount", ftBCD, 2)->SetPrecision(20);
    TFieldDefs target;
    target.Add("Old", ftInteger);
    target.Assign(source);
    ASSERT_EQ(target.Count(), 2);
    EXPECT_EQ(target.Items(1)->Name(), "Amount");
    EXPECT_EQ(target.Items(1)->DataType(), ftBCD);
    EXPECT_EQ(target.Items(1)->Precision(), 20);
    EXPECT_EQ(target.Items(1)->FieldNo(), 2);
    EXPECT_EQ(FieldTypeName(ftBCD), "BCD");
}

TEST(IndexDefs, OptionsKeepTheirStoredBits) {
    EXPECT_EQ(ixPrimary, 1);
    EXPECT_EQ(ixUnique, 2);
    EXPECT_EQ(ixDescending, 4);
    EXPECT_EQ(ixCaseInsensitive, 8);
    TIndexDefs defs;
    TIndexDef* primary = defs.Add("", "Index;Item", ixPrimary | ixUnique);
    EXPECT_EQ(primary->Options(), 3);
    EXPECT_EQ(primary->FieldExpression(), "Index;Item");
    defs.Add("ByItem", "Item", ixCaseInsensitive);
    EXPECT_THROW(defs.Add("byitem", "Category", 0), EDatabaseError);
    EXPECT_EQ(defs.Count(), 2);
    EXPECT_EQ(defs.Find("BYITEM")->Fields(), "Item");
    try {
        defs.Find("ByNothing");
        FAIL();
    } catch (const EDatabaseError& e) {
        EXPECT_STREQ(e.what(), "Index 'ByNothing' not found");
    }
}

struct IndexForFieldsCase {
    const char* name;
    const char* fields;
    bool case_insensitive;
    const char* library_choice;  // GetIndexForFields; "" for none
    const char* exact_case;      // FindIndexForFields; "" for none
};

class IndexDefsForFields : public ::testing::TestWithParam<IndexForFieldsCase> {
  protected:
    void SetUp() override {
        defs_.Add("Primary", "Index;Item", ixPrimary | ixUnique);
        defs_.Add("ByCategory", "Category;Item", ixCaseInsensitive);
        defs_.Add("ByItemDesc", "Item", ixDescending);
        defs_.Add("ByItem", "Item", ixCaseInsensitive);
        defs_.Add("ByItemExact", "Item;Bounces", 0);
    }
    static std::string NameOf(const TIndexDef* def) { return def == nullptr ? "" : def->Name(); }
    TIndexDefs defs_;
};

TEST_P(IndexDefsForFields, ChoosesTheFittingIndex) {
    const auto& c = GetParam();
    EXPECT_EQ(NameOf(defs_.GetIndexForFields(c.fields, c.case_insensitive)), c.library_choice);
    EXPECT_EQ(NameOf(defs_.FindIndexForFields(c.fields, c.case_insensitive)), c.exact_case);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, IndexDefsForFields,
    ::testing::Values(
        IndexForFieldsCase{"ExactBeforePrefix", "item", false, "ByItem", "ByItemExact"},
        IndexForFieldsCase{"CaseInsensitiveOnly", "Item", true, "ByItem", "ByItem"},
        IndexForFieldsCase{"Prefix", "Category", false, "ByCategory", ""},
        IndexForFieldsCase{"PrefixCaseInsensitive", "Category", true, "ByCategory", "ByCategory"},
        IndexForFieldsCase{"TwoFields", "Index;Item", false, "Primary", "Primary"},
        IndexForFieldsCase{"NotAPrefixOfAName", "Categ", false, "", ""},
        IndexForFieldsCase{"NoneWithCase", "Index", true, "", ""},
        IndexForFieldsCase{"Empty", "", false, "", ""}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(Params, TypedSettersBindAndConvert) {
    TParams params;
    TParam* date = params.CreateParam(ftUnknown, "Day", ptInput);
    date->SetAsDate(TDateTime(36526.0));
    EXPECT_EQ(date->DataType(), ftDate);
    EXPECT_TRUE(date->Bound());
    EXPECT_FALSE(date->IsNull());
    EXPECT_DOUBLE_EQ(date->AsDateTime().Value, 36526.0);
    date->Clear();
    EXPECT_TRUE(date->IsNull());
    EXPECT_EQ(date->AsString(), "");
    EXPECT_EQ(date->AsInteger(), 0);

    TParam* count = params.CreateParam(ftUnknown, "Count", ptInput);
    count->SetValue(Variant::FromSmallint(5));
    EXPECT_EQ(count->DataType(), ftSmallint);
    count->SetValue(Variant("7"));
    EXPECT_EQ(count->DataType(), ftSmallint);  // a known type stays
    EXPECT_EQ(count->AsInteger(), 7);

    TParam* money = params.CreateParam(ftUnknown, "Money", ptInput);
    money->SetValue(Variant(Currency::FromRaw(12345)));
    EXPECT_EQ(money->DataType(), ftBCD);
    money->SetAsBlob(std::string("\0\1", 2));
    EXPECT_EQ(money->DataType(), ftBlob);
    EXPECT_EQ(money->Value().AsBytes(), (std::vector<std::uint8_t>{0, 1}));
}

TEST(Params, ByNameAndAssignValues) {
    TParams params;
    params.CreateParam(ftString, "Item", ptInput);
    params.CreateParam(ftInteger, "Bounces", ptInput);
    EXPECT_EQ(params.ParamByName("ITEM"), params.Items(0));
    try {
        params.ParamByName("Nope");
        FAIL();
    } catch (const EDatabaseError& e) {
        EXPECT_STREQ(e.what(), "Parameter 'Nope' not found");
    }

    TParams values;
    values.CreateParam(ftInteger, "bounces", ptUnknown)->SetAsInteger(3);
    values.CreateParam(ftString, "Other", ptInput)->SetAsString("x");
    params.AssignValues(values);
    EXPECT_EQ(params.Items(1)->AsInteger(), 3);
    EXPECT_EQ(params.Items(1)->ParamType(), ptInput);  // kept: it had one
    EXPECT_FALSE(params.Items(0)->Bound());

    TParams copy;
    copy.Assign(params);
    EXPECT_TRUE(copy.IsEqual(params));
    copy.Items(0)->SetAsString("a@example.org");
    EXPECT_FALSE(copy.IsEqual(params));
}

}  // namespace
}  // namespace db
