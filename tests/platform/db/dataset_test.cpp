#include "platform/db/dataset.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "platform/db/data_source.h"
#include "platform/db/exception.h"
#include "platform/db/fields_numeric.h"
#include "platform/db/fields_text.h"
#include "tests/platform/db/mem_dataset.h"
#include "tests/platform/db/recording_link.h"

namespace db {
namespace {

using testing::RecordingLink;
using testing::TMemDataSet;
using Log = std::vector<std::string>;

// Ten people, "P1".."P10", with Qty 1..10 and Price 0.5 each; a link of three rows watches.
class DataSetTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ds = MakeComponent<TMemDataSet>(nullptr);
        ds->AddColumn("ID", ftAutoInc);
        ds->AddColumn("Name", ftString, 20);
        ds->AddColumn("Qty", ftInteger);
        ds->AddColumn("Price", ftFloat);
        ds->Open();
        for (int i = 1; i <= 10; ++i) {
            const std::vector<Variant> values{Variant(), Variant("P" + std::to_string(i)),
                                              Variant(i), Variant(0.5)};
            ds->AppendRecord(values);
        }
        ds->Close();
        source = MakeComponent<TDataSource>(nullptr);
        source->SetDataSet(ds.get());
        link.SetBufferCount(3);
        link.SetDataSource(source.get());
        ds->Open();
        link.Take();
    }

    std::string Name() const { return ds->FieldByName("Name")->AsString(); }

    ComponentPtr<TMemDataSet> ds;
    ComponentPtr<TDataSource> source;
    RecordingLink link;
};

TEST_F(DataSetTest, OpenFillsTheRingAndStartsAtTheFirstRecord) {
    EXPECT_EQ(ds->State(), dsBrowse);
    EXPECT_TRUE(ds->Bof());
    EXPECT_FALSE(ds->Eof());
    EXPECT_EQ(ds->BufferCount(), 3);
    EXPECT_EQ(link.RecordCount(), 3);
    EXPECT_EQ(link.ActiveRecord(), 0);
    EXPECT_EQ(Name(), "P1");
    EXPECT_EQ(ds->RecordCount(), 10);
    EXPECT_EQ(ds->FieldByName("ID")->AsInteger(), 1);

    ds->Close();
    EXPECT_EQ(link.Take(), (Log{"ActiveChanged"}));
    EXPECT_FALSE(link.Active());
    ds->Open();
    EXPECT_EQ(link.Take(), (Log{"ActiveChanged"}));
}

TEST_F(DataSetTest, MovesSendScrollDistancesOfTheBufferWindow) {
    struct Step {
        const char* what;
        std::int64_t distance;
        std::string expected_event;
        std::string expected_name;
        std::int64_t expected_active;
    };
    const Step steps[] = {
        {"next inside the window", 1, "DataSetScrolled(0)", "P2", 1},
        {"next to the window's end", 1, "DataSetScrolled(0)", "P3", 2},
        {"next past it", 1, "DataSetScrolled(1)", "P4", 2},
        {"three at once", 3, "DataSetScrolled(3)", "P7", 2},
        {"back inside", -2, "DataSetScrolled(0)", "P5", 0},
        {"back past the top", -2, "DataSetScrolled(-2)", "P3", 0},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        EXPECT_EQ(ds->MoveBy(step.distance), step.distance);
        EXPECT_EQ(link.Take(), (Log{"CheckBrowseMode", step.expected_event}));
        EXPECT_EQ(Name(), step.expected_name);
        EXPECT_EQ(link.ActiveRecord(), step.expected_active);
    }
}

TEST_F(DataSetTest, MovesStopAtTheEndsAndFirstLastResetTheWindow) {
    EXPECT_EQ(ds->MoveBy(100), 9);
    EXPECT_TRUE(ds->Eof());
    EXPECT_EQ(Name(), "P10");
    link.Take();
    EXPECT_EQ(ds->MoveBy(1), 0);
    EXPECT_EQ(link.Take(), (Log{"CheckBrowseMode"}));  // no scroll at the end

    ds->First();
    EXPECT_EQ(link.Take(), (Log{"CheckBrowseMode", "DataSetChanged"}));
    EXPECT_TRUE(ds->Bof());
    EXPECT_EQ(Name(), "P1");
    ds->Last();
    EXPECT_EQ(link.Take(), (Log{"CheckBrowseMode", "DataSetChanged"}));
    EXPECT_TRUE(ds->Eof());
    EXPECT_EQ(Name(), "P10");
    EXPECT_EQ(link.ActiveRecord(), 2);
    EXPECT_EQ(ds->MoveBy(-100), -9);
    EXPECT_TRUE(ds->Bof());
    EXPECT_EQ(Name(), "P1");
}

TEST_F(DataSetTest, ScrollEventsBracketEveryMove) {
    Log events;
    ds->BeforeScroll = [&](TDataSet*) { events.push_back("before " + Name()); };
    ds->AfterScroll = [&](TDataSet*) { events.push_back("after " + Name()); };
    ds->Next();
    ds->Last();
    ds->First();
    EXPECT_EQ(events,
              (Log{"before P1", "after P2", "before P2", "after P10", "before P10", "after P1"}));
}

TEST_F(DataSetTest, EditPostSendsItsEventsAndStoresTheValue) {
    ds->Next();
    link.Take();
    ds->Edit();
    EXPECT_EQ(ds->State(), dsEdit);
    EXPECT_EQ(link.Take(), (Log{"CheckBrowseMode", "EditingChanged", "RecordChanged(-)"}));
    ds->FieldByName("Name")->SetAsString("Renamed");
    EXPECT_TRUE(ds->Modified());
    EXPECT_EQ(link.Take(), (Log{"RecordChanged(Name)"}));
    ds->Post();
    EXPECT_EQ(link.Take(),
              (Log{"UpdateData", "CheckBrowseMode", "EditingChanged", "DataSetChanged"}));
    EXPECT_EQ(ds->State(), dsBrowse);
    EXPECT_EQ(Name(), "Renamed");
    EXPECT_EQ(link.ActiveRecord(), 1);
    ds->Close();
    ds->Open();
    ds->Next();
    EXPECT_EQ(Name(), "Renamed");
}

TEST_F(DataSetTest, CancelDropsTheEditAndCheckBrowseModeCancelsAnUnchangedOne) {
    ds->Edit();
    ds->FieldByName("Name")->SetAsString("Changed");
    link.Take();
    ds->Cancel();
    EXPECT_EQ(link.Take(), (Log{"CheckBrowseMode", "EditingChanged", "DataSetChanged"}));
    EXPECT_EQ(Name(), "P1");

    ds->Edit();
    ds->CheckBrowseMode();
    EXPECT_EQ(ds->State(), dsBrowse);
    EXPECT_EQ(ds->calls.back(), "InternalCancel");
    ds->Edit();
    ds->FieldByName("Qty")->SetAsInteger(42);
    ds->Next();  // a move posts a changed record
    ds->Prior();
    EXPECT_EQ(ds->FieldByName("Qty")->AsInteger(), 42);
}

TEST_F(DataSetTest, InsertPutsTheRecordBeforeTheCurrentOne) {
    ds->MoveBy(2);
    link.Take();
    ds->Insert();
    EXPECT_EQ(ds->State(), dsInsert);
    EXPECT_EQ(link.Take(), (Log{"CheckBrowseMode", "EditingChanged", "DataSetChanged"}));
    EXPECT_TRUE(ds->FieldByName("Name")->IsNull());
    EXPECT_EQ(link.ActiveRecord(), 2);
    ds->FieldByName("Name")->SetAsString("New");
    ds->Post();
    EXPECT_EQ(Name(), "New");
    EXPECT_EQ(ds->RecNo(), 3);
    EXPECT_EQ(ds->FieldByName("ID")->AsInteger(), 11);
    ds->Next();
    EXPECT_EQ(Name(), "P3");
    ds->First();
    ds->MoveBy(1);
    EXPECT_EQ(Name(), "P2");
}

TEST_F(DataSetTest, CancelledInsertReturnsToTheRecordItStartedFrom) {
    ds->MoveBy(4);
    ds->Insert();
    ds->FieldByName("Name")->SetAsString("Gone");
    ds->Cancel();
    EXPECT_EQ(Name(), "P5");
    EXPECT_EQ(ds->RecordCount(), 10);
    ds->Append();
    ds->Cancel();
    EXPECT_EQ(Name(), "P10");  // an append went to the end first
}

// The appended record stands at the end, an inserted one in the middle: the grid tells them
// apart by Eof. Once the new record is posted or cancelled the dataset stands on a record again.
TEST_F(DataSetTest, AppendGoesToTheEndWithThePriorRecordsBuffered) {
    ds->MoveBy(3);
    ds->Insert();
    EXPECT_FALSE(ds->Eof());
    EXPECT_FALSE(ds->Bof());
    ds->Cancel();
    ds->Append();
    EXPECT_TRUE(ds->Eof());
    EXPECT_FALSE(ds->Bof());
    ds->Cancel();
    EXPECT_FALSE(ds->Eof());
    EXPECT_EQ(Name(), "P10");
    ds->Append();
    EXPECT_TRUE(ds->Eof());
    EXPECT_EQ(link.ActiveRecord(), 2);
    EXPECT_EQ(link.RecordCount(), 3);
    ds->FieldByName("Name")->SetAsString("Last");
    ds->Post();
    EXPECT_EQ(Name(), "Last");
    EXPECT_EQ(ds->RecNo(), 11);
    EXPECT_FALSE(ds->Eof());
    ds->Prior();
    EXPECT_EQ(Name(), "P10");
}

TEST_F(DataSetTest, EditOnAnEmptyDatasetInserts) {
    ds->Close();
    ds->rows.clear();
    ds->Open();
    EXPECT_TRUE(ds->IsEmpty());
    EXPECT_TRUE(ds->Bof() && ds->Eof());
    ds->Edit();
    EXPECT_EQ(ds->State(), dsInsert);
    ds->FieldByName("Name")->SetAsString("Only");
    ds->Post();
    EXPECT_EQ(ds->RecordCount(), 1);
    EXPECT_EQ(Name(), "Only");
    EXPECT_FALSE(ds->IsEmpty());
}

TEST_F(DataSetTest, DeleteMovesToTheNextRecordAndRefusesAnEmptyDataset) {
    ds->MoveBy(1);
    link.Take();
    ds->Delete();
    EXPECT_EQ(link.Take(), (Log{"CheckBrowseMode", "DataSetChanged"}));
    EXPECT_EQ(Name(), "P3");
    ds->Last();
    ds->Delete();
    EXPECT_EQ(Name(), "P9");
    EXPECT_EQ(ds->RecordCount(), 8);

    ds->Close();
    ds->rows.clear();
    ds->Open();
    EXPECT_THROW(
        {
            try {
                ds->Delete();
            } catch (const EDatabaseError& e) {
                EXPECT_STREQ(e.what(), "Cannot perform this operation on an empty dataset");
                throw;
            }
        },
        EDatabaseError);
}

TEST_F(DataSetTest, DeleteWhileEditingPostsTheEditFirst) {
    ds->Edit();
    ds->FieldByName("Qty")->SetAsInteger(99);
    ds->calls.clear();
    ds->Delete();
    EXPECT_EQ(ds->calls, (Log{"InternalPost", "InternalDelete"}));
    EXPECT_EQ(Name(), "P2");
}

TEST_F(DataSetTest, OperationsRefuseTheWrongState) {
    EXPECT_THROW(ds->FieldByName("Name")->SetAsString("x"), EDatabaseError);
    EXPECT_THROW(ds->UpdateRecord(), EDatabaseError);
    ds->read_only = true;
    EXPECT_THROW(ds->Edit(), EDatabaseError);
    EXPECT_THROW(ds->Insert(), EDatabaseError);
    EXPECT_EQ(ds->State(), dsBrowse);
    ds->Close();
    EXPECT_THROW(ds->Next(), EDatabaseError);
    EXPECT_THROW(ds->Edit(), EDatabaseError);
}

TEST_F(DataSetTest, RequiredFieldsAreCheckedAtPost) {
    ds->Close();
    ds->columns[1].required = true;
    ds->Open();
    ds->Append();
    ds->FieldByName("Qty")->SetAsInteger(1);
    try {
        ds->Post();
        FAIL() << "post without the required name";
    } catch (const EDatabaseError& e) {
        EXPECT_STREQ(e.what(), "Field 'Name' must have a value");
    }
    EXPECT_EQ(ds->State(), dsInsert);
    ds->FieldByName("Name")->SetAsString("Named");
    ds->Post();
    EXPECT_EQ(ds->RecordCount(), 11);
}

TEST_F(DataSetTest, DatasetEventsRunInOrder) {
    Log events;
    auto note = [&events](const char* what) {
        return [&events, what](TDataSet*) { events.emplace_back(what); };
    };
    ds->BeforeInsert = note("BeforeInsert");
    ds->OnNewRecord = [&](TDataSet* d) {
        events.emplace_back("OnNewRecord");
        d->FieldByName("Qty")->SetAsInteger(7);
    };
    ds->AfterInsert = note("AfterInsert");
    ds->BeforePost = note("BeforePost");
    ds->AfterPost = note("AfterPost");
    ds->BeforeEdit = note("BeforeEdit");
    ds->AfterEdit = note("AfterEdit");
    ds->BeforeCancel = note("BeforeCancel");
    ds->AfterCancel = note("AfterCancel");
    ds->BeforeDelete = note("BeforeDelete");
    ds->AfterDelete = note("AfterDelete");
    ds->BeforeClose = note("BeforeClose");
    ds->AfterClose = note("AfterClose");
    ds->BeforeOpen = note("BeforeOpen");
    ds->AfterOpen = note("AfterOpen");

    ds->Append();
    EXPECT_FALSE(ds->Modified());  // values set by OnNewRecord do not count as changes
    EXPECT_EQ(ds->FieldByName("Qty")->AsInteger(), 7);
    ds->Post();
    ds->Edit();
    ds->Cancel();
    ds->Delete();
    ds->Close();
    ds->Open();
    EXPECT_EQ(events, (Log{"BeforeInsert", "OnNewRecord", "AfterInsert", "BeforePost", "AfterPost",
                           "BeforeEdit", "AfterEdit", "BeforeCancel", "AfterCancel", "BeforeDelete",
                           "AfterDelete", "BeforeClose", "AfterClose", "BeforeOpen", "AfterOpen"}));
}

TEST_F(DataSetTest, FailingNewRecordHandlerLeavesNoInsert) {
    ds->MoveBy(3);
    ds->OnNewRecord = [](TDataSet*) { throw EDatabaseError("no"); };
    EXPECT_THROW(ds->Insert(), EDatabaseError);
    EXPECT_EQ(ds->State(), dsBrowse);
    EXPECT_EQ(Name(), "P4");
    EXPECT_EQ(ds->RecordCount(), 10);
}

TEST_F(DataSetTest, BookmarksReturnToTheirRecord) {
    ds->MoveBy(6);
    const TBookmark seven = ds->Bookmark();
    ds->First();
    const TBookmark one = ds->Bookmark();
    EXPECT_LT(ds->CompareBookmarks(one, seven), 0);
    EXPECT_GT(ds->CompareBookmarks(seven, one), 0);
    EXPECT_EQ(ds->CompareBookmarks(seven, seven), 0);
    EXPECT_GT(ds->CompareBookmarks(TBookmark(), one), 0);
    link.Take();
    ds->GotoBookmark(seven);
    EXPECT_EQ(link.Take(), (Log{"CheckBrowseMode", "DataSetChanged"}));
    EXPECT_EQ(Name(), "P7");
    EXPECT_EQ(link.ActiveRecord(), 1);  // centred in the window
    EXPECT_TRUE(ds->BookmarkValid(seven));
    ds->Delete();
    EXPECT_FALSE(ds->BookmarkValid(seven));
    EXPECT_THROW(ds->GotoBookmark(seven), EDatabaseError);
    ds->Insert();
    EXPECT_TRUE(ds->Bookmark().empty());
    ds->Cancel();
}

TEST_F(DataSetTest, LocateFindsByValueCaseAndPrefix) {
    struct Case {
        const char* fields;
        Variant values;
        TLocateOptions options;
        bool found;
        const char* name;
    };
    const Case cases[] = {
        {"Name", Variant("P7"), {}, true, "P7"},
        {"Name", Variant("p7"), {}, false, nullptr},
        {"Name", Variant("p7"), {loCaseInsensitive}, true, "P7"},
        {"Name", Variant("P1"), {loPartialKey}, true, "P1"},
        {"Name", Variant("p10"), {loPartialKey, loCaseInsensitive}, true, "P10"},
        {"Qty", Variant(9), {}, true, "P9"},
        {"Qty;Name", VarArrayOf({Variant(3), Variant("P3")}), {}, true, "P3"},
        {"Qty;Name", VarArrayOf({Variant(3), Variant("P4")}), {}, false, nullptr},
        {"Name", Variant::Null(), {}, false, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fields + std::string(" ") +
                     (c.values.IsArray() ? VarToStr(c.values.Element(1)) : VarToStr(c.values)));
        ds->MoveBy(4);
        const std::string before = Name();
        link.Take();
        EXPECT_EQ(ds->Locate(c.fields, c.values, c.options), c.found);
        if (c.found) {
            EXPECT_EQ(Name(), c.name);
            EXPECT_EQ(link.Take(), (Log{"CheckBrowseMode", "DataSetChanged"}));
        } else {
            // A failed search leaves the current record, and the next move starts from it.
            EXPECT_EQ(Name(), before);
            const std::string after_next = ds->Eof() ? before : (ds->Next(), Name());
            EXPECT_NE(after_next, "P1");
        }
        ds->First();
    }
    EXPECT_THROW(ds->Locate("Nope", Variant(1), {}), EDatabaseError);
    EXPECT_THROW(ds->Locate("Qty;Name", Variant(3), {}), EDatabaseError);
    EXPECT_THROW(ds->Locate("Qty;Name", VarArrayOf({Variant(3)}), {}), EDatabaseError);
    EXPECT_EQ(ds->State(), dsBrowse);
}

TEST_F(DataSetTest, LookupAnswersWithoutMoving) {
    ds->MoveBy(2);
    EXPECT_EQ(ds->Lookup("Name", Variant("P8"), "Qty").AsInteger(), 8);
    const Variant both = ds->Lookup("Qty", Variant(5), "Name;Qty");
    ASSERT_TRUE(both.IsArray());
    EXPECT_EQ(both.Element(0).AsString(), "P5");
    EXPECT_EQ(both.Element(1).AsInteger(), 5);
    EXPECT_TRUE(ds->Lookup("Name", Variant("none"), "Qty").IsNull());
    EXPECT_EQ(Name(), "P3");
    ds->Next();
    EXPECT_EQ(Name(), "P4");
}

TEST_F(DataSetTest, FilterRecordHandlerHidesRecords) {
    ds->SetOnFilterRecord([](TDataSet* d, bool& accept) {
        EXPECT_EQ(d->State(), dsFilter);
        accept = d->FieldByName("Qty")->AsInteger() % 2 == 0;
    });
    ds->MoveBy(4);
    ds->SetFiltered(true);
    EXPECT_EQ(Name(), "P2");
    EXPECT_EQ(ds->RecordCount(), 5);
    EXPECT_FALSE(ds->IsSequenced());
    Log names;
    while (!ds->Eof()) {
        names.push_back(Name());
        ds->Next();
    }
    EXPECT_EQ(names, (Log{"P2", "P4", "P6", "P8", "P10"}));
    EXPECT_FALSE(ds->Locate("Name", Variant("P3"), {}));
    EXPECT_TRUE(ds->Locate("Name", Variant("P6"), {}));
    ds->SetFiltered(false);
    EXPECT_EQ(ds->RecordCount(), 10);
    EXPECT_EQ(Name(), "P1");
}

TEST_F(DataSetTest, ThrowingFilterLeavesTheDatasetBrowsing) {
    ds->SetOnFilterRecord([](TDataSet*, bool&) { throw EDatabaseError("filter failed"); });
    EXPECT_THROW(ds->SetFiltered(true), EDatabaseError);
    EXPECT_EQ(ds->State(), dsBrowse);
}

TEST_F(DataSetTest, DisableControlsNestsAndReenablingSendsDataSetChanged) {
    ds->DisableControls();
    ds->DisableControls();
    EXPECT_TRUE(ds->ControlsDisabled());
    ds->Next();
    ds->Last();
    ds->Locate("Name", Variant("P5"), {});
    EXPECT_TRUE(link.Take().empty());
    ds->EnableControls();
    EXPECT_TRUE(link.Take().empty());
    ds->EnableControls();
    EXPECT_FALSE(ds->ControlsDisabled());
    EXPECT_EQ(link.Take(), (Log{"DataSetChanged"}));

    // A state change made while disabled is reported when controls come back.
    ds->DisableControls();
    ds->Edit();
    ds->EnableControls();
    EXPECT_EQ(link.Take(), (Log{"EditingChanged", "DataSetChanged"}));
    EXPECT_TRUE(link.Editing());
    ds->Cancel();
    link.Take();
    ds->DisableControls();
    ds->Close();
    ds->EnableControls();
    EXPECT_EQ(link.Take(), (Log{"ActiveChanged"}));
}

TEST_F(DataSetTest, CalculatedFieldsFollowTheRecordAndEdits) {
    ds->Close();
    auto* total = MakeOwned<TFloatField>(*ds);
    total->SetFieldName("Total");
    total->SetFieldKind(fkCalculated);
    // Persistent fields replace the default ones: declare the data fields too.
    auto* name = MakeOwned<TStringField>(*ds);
    name->SetFieldName("Name");
    auto* qty = MakeOwned<TIntegerField>(*ds);
    qty->SetFieldName("Qty");
    auto* price = MakeOwned<TFloatField>(*ds);
    price->SetFieldName("Price");
    for (TField* field : std::vector<TField*>{name, qty, price, total}) {
        field->SetDataSet(ds.get());
    }
    int runs = 0;
    ds->OnCalcFields = [&](TDataSet* d) {
        ++runs;
        EXPECT_EQ(d->State(), dsCalcFields);
        d->FieldByName("Total")->SetAsFloat(d->FieldByName("Qty")->AsInteger() *
                                            d->FieldByName("Price")->AsFloat());
    };
    ds->Open();
    EXPECT_EQ(name->Size(), 20);  // taken from the definition
    EXPECT_EQ(ds->CalcFieldsSize(), 9);
    EXPECT_DOUBLE_EQ(total->AsFloat(), 0.5);
    ds->MoveBy(3);
    EXPECT_DOUBLE_EQ(total->AsFloat(), 2.0);
    EXPECT_TRUE(ds->Locate("Total", Variant(3.0), {}));
    EXPECT_EQ(name->AsString(), "P6");
    ds->Edit();
    const int before = runs;
    qty->SetAsInteger(10);
    EXPECT_GT(runs, before);
    EXPECT_DOUBLE_EQ(total->AsFloat(), 5.0);
    ds->SetAutoCalcFields(false);
    qty->SetAsInteger(20);
    EXPECT_DOUBLE_EQ(total->AsFloat(), 5.0);
    ds->Post();
    EXPECT_DOUBLE_EQ(total->AsFloat(), 10.0);
    EXPECT_THROW(total->SetAsFloat(1), EDatabaseError);  // browse state
}

TEST_F(DataSetTest, LookupFieldsShowTheOtherDatasetsValue) {
    auto colours = MakeComponent<TMemDataSet>(nullptr);
    colours->AddColumn("Code", ftInteger);
    colours->AddColumn("Colour", ftString, 10);
    colours->Open();
    colours->AppendRecord(std::vector<Variant>{Variant(1), Variant("red")});
    colours->AppendRecord(std::vector<Variant>{Variant(2), Variant("green")});

    ds->Close();
    for (const char* data : {"Name", "Qty"}) {
        auto* field = MakeOwned<TIntegerField>(*ds);
        field->SetFieldName(data);
        field->SetDataSet(ds.get());
    }
    try {
        ds->Open();
        FAIL() << "a text stored as an integer field";
    } catch (const EDatabaseError& e) {
        EXPECT_STREQ(e.what(), "Type mismatch for field 'Name', expecting: Integer actual: String");
    }
    EXPECT_FALSE(ds->Active());
    ds->FieldByName("Name")->Free();
    auto* name = MakeOwned<TStringField>(*ds);
    name->SetFieldName("Name");
    name->SetDataSet(ds.get());
    auto* colour = MakeOwned<TStringField>(*ds);
    colour->SetFieldName("Colour");
    colour->SetSize(10);
    colour->SetFieldKind(fkLookup);
    colour->SetKeyFields("Qty");
    colour->SetLookupDataSet(colours.get());
    colour->SetLookupKeyFields("Code");
    colour->SetLookupResultField("Colour");
    colour->SetDataSet(ds.get());
    ds->Open();
    EXPECT_EQ(colour->AsString(), "red");
    ds->Next();
    EXPECT_EQ(colour->AsString(), "green");
    ds->Next();
    EXPECT_TRUE(colour->IsNull());

    colours.reset();  // the lookup field forgets a dataset that is gone
    EXPECT_EQ(colour->LookupDataSet(), nullptr);
    ds->First();
    EXPECT_TRUE(colour->IsNull());
}

TEST_F(DataSetTest, DefaultFieldsComeAndGoWithTheCursorPersistentOnesStay) {
    EXPECT_TRUE(ds->DefaultFields());
    EXPECT_EQ(ds->FieldCount(), 4);
    ds->Close();
    EXPECT_EQ(ds->FieldCount(), 0);

    auto* qty = MakeOwned<TIntegerField>(*ds);
    qty->SetFieldName("Qty");
    qty->SetDataSet(ds.get());
    ds->Open();
    EXPECT_FALSE(ds->DefaultFields());
    EXPECT_EQ(ds->FieldCount(), 1);
    EXPECT_EQ(ds->FindField("Name"), nullptr);
    EXPECT_EQ(qty->FieldNo(), 3);
    EXPECT_THROW(qty->SetFieldName("Other"), EDatabaseError);  // open
    ds->Close();
    EXPECT_EQ(ds->FieldCount(), 1);
    EXPECT_EQ(ds->FieldByName("qty"), qty);
    qty->SetFieldName("Missing");
    EXPECT_THROW(ds->Open(), EDatabaseError);
    EXPECT_FALSE(ds->Active());
}

TEST_F(DataSetTest, FieldNamesAreFoundAfterEveryChangeOfTheList) {
    EXPECT_EQ(ds->FindField("qty"), ds->Fields()[2]);
    // A version is never another list's, so caches keyed by it need not know the list.
    const std::uint64_t open_version = ds->Fields().Version();
    EXPECT_NE(TFields().Version(), TFields().Version());
    ds->Close();  // the default fields go
    EXPECT_NE(ds->Fields().Version(), open_version);
    EXPECT_EQ(ds->FindField("Qty"), nullptr);
    std::vector<TField*> made;
    // "A1bc" and "A2bc" share length, ends and middle; the rest fill a larger index.
    for (const char* name : {"Qty", "A1bc", "A2bc", "F1", "F2", "F3", "F4", "F5", "F6"}) {
        made.push_back(MakeOwned<TIntegerField>(*ds));
        made.back()->SetFieldName(name);
        made.back()->SetDataSet(ds.get());
    }
    made[0]->SetFieldName("Amount");
    made[3]->Free();
    made[4]->SetIndex(0);
    const std::pair<const char*, TField*> expected[] = {
        {"QTY", nullptr}, {"amount", made[0]}, {"a1BC", made[1]}, {"A2bc", made[2]},
        {"F1", nullptr},  {"f2", made[4]},     {"F6", made[8]},   {"", nullptr}};
    for (const auto& [name, field] : expected) {
        EXPECT_EQ(ds->FindField(name), field) << name;
    }
}

TEST_F(DataSetTest, DeclaredStringFieldsTakeTheStoredSize) {
    ds->Close();
    auto* name = MakeOwned<TStringField>(*ds);
    name->SetFieldName("Name");
    name->SetSize(25);  // the table stores 20
    name->SetDataSet(ds.get());
    ds->Open();
    EXPECT_EQ(name->Size(), 20);
    EXPECT_EQ(name->DataSize(), 21);
    ds->Edit();
    EXPECT_THROW(name->SetAsString(std::string(25, 'x')), EDatabaseError);
    name->SetAsString(std::string(20, 'x'));
    ds->Post();
    EXPECT_EQ(name->AsString(), std::string(20, 'x'));
}

TEST_F(DataSetTest, FieldIndexMovesTheFieldAndTellsTheLinks) {
    TField* price = ds->FieldByName("Price");
    price->SetIndex(0);
    EXPECT_EQ(ds->Fields()[0], price);
    EXPECT_EQ(ds->FieldByName("ID")->Index(), 1);
    EXPECT_EQ(link.Take(), (Log{"LayoutChanged"}));
    price->SetVisible(false);
    EXPECT_EQ(link.Take(), (Log{"LayoutChanged"}));
}

TEST_F(DataSetTest, InitFieldDefsReadsTheStructureWhileClosed) {
    ds->Close();
    ds->FieldDefs()->Clear();
    ds->InitFieldDefs();
    ASSERT_EQ(ds->FieldDefs()->Count(), 4);
    EXPECT_EQ(ds->FieldDefs()->Items(1)->Name(), "Name");
    EXPECT_EQ(ds->FieldDefs()->Items(1)->Size(), 20);
    EXPECT_FALSE(ds->Active());
    std::vector<std::string> names;
    ds->GetFieldNames(names);
    EXPECT_EQ(names, (Log{"ID", "Name", "Qty", "Price"}));
}

TEST_F(DataSetTest, FieldValuesAndAppendRecord) {
    const Variant values = ds->FieldValues("Name;Qty");
    EXPECT_EQ(values.Element(0).AsString(), "P1");
    EXPECT_EQ(values.Element(1).AsInteger(), 1);
    // A record whose values do not fit is not half-stored.
    const std::vector<Variant> bad{Variant(), Variant("ok"), Variant("not a number")};
    EXPECT_THROW(ds->AppendRecord(bad), EConvertError);
    EXPECT_EQ(ds->State(), dsBrowse);
    EXPECT_EQ(ds->RecordCount(), 10);
    const std::vector<Variant> good{Variant(), Variant("Q"), Variant(3)};
    ds->InsertRecord(good);
    EXPECT_EQ(Name(), "Q");
    EXPECT_TRUE(ds->FieldByName("Price")->IsNull());
}

TEST_F(DataSetTest, OldValueKeepsTheStoredValueDuringAnEdit) {
    ds->Edit();
    ds->FieldByName("Qty")->SetAsInteger(50);
    EXPECT_EQ(ds->FieldByName("Qty")->OldValue().AsInteger(), 1);
    EXPECT_EQ(ds->FieldByName("Qty")->AsInteger(), 50);
    EXPECT_EQ(ds->State(), dsEdit);
}

}  // namespace
}  // namespace db
