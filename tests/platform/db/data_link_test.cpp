#include "platform/db/data_link.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/db/data_source.h"
#include "platform/db/exception.h"
#include "tests/platform/db/mem_dataset.h"
#include "tests/platform/db/recording_link.h"

namespace db {
namespace {

using testing::RecordingLink;
using testing::TMemDataSet;
using Log = std::vector<std::string>;

// A dataset that follows a master data source.
class DetailDataSet : public TMemDataSet {
  public:
    using TMemDataSet::TMemDataSet;
    TDataSource* GetDataSource() const override { return master; }
    TDataSource* master = nullptr;
};

ComponentPtr<TMemDataSet> MakeNumbers(int count) {
    auto ds = MakeComponent<TMemDataSet>(nullptr);
    ds->AddColumn("N", ftInteger);
    ds->Open();
    for (int i = 1; i <= count; ++i) {
        ds->AppendRecord(std::vector<Variant>{Variant(i)});
    }
    ds->First();
    return ds;
}

// Values of the link's window, read by switching its active record as the grid does.
std::vector<int> Window(TDataLink& link) {
    std::vector<int> values;
    const std::int64_t saved = link.ActiveRecord();
    for (std::int64_t i = 0; i < link.RecordCount(); ++i) {
        link.SetActiveRecord(i);
        values.push_back(link.DataSet()->FieldByName("N")->AsInteger());
    }
    link.SetActiveRecord(saved);
    return values;
}

TEST(DataLink, TheRingFollowsTheLargestLinkAndEachLinkKeepsItsWindow) {
    auto ds = MakeNumbers(10);
    auto source = MakeComponent<TDataSource>(nullptr);
    source->SetDataSet(ds.get());
    RecordingLink big;
    RecordingLink small;
    big.SetBufferCount(4);
    small.SetBufferCount(2);
    big.SetDataSource(source.get());
    small.SetDataSource(source.get());
    EXPECT_EQ(big.Take(), (Log{"ActiveChanged"}));
    EXPECT_EQ(ds->BufferCount(), 4);
    EXPECT_EQ(Window(big), (std::vector<int>{1, 2, 3, 4}));
    EXPECT_EQ(Window(small), (std::vector<int>{1, 2}));
    small.Take();

    ds->MoveBy(2);  // inside the ring, past the small window's end
    EXPECT_EQ(big.Take(), (Log{"CheckBrowseMode", "DataSetScrolled(0)"}));
    EXPECT_EQ(small.Take(), (Log{"CheckBrowseMode", "DataSetScrolled(1)"}));
    EXPECT_EQ(Window(small), (std::vector<int>{2, 3}));
    EXPECT_EQ(small.ActiveRecord(), 1);

    ds->MoveBy(3);  // the ring moves by two
    EXPECT_EQ(big.Take(), (Log{"CheckBrowseMode", "DataSetScrolled(2)"}));
    EXPECT_EQ(small.Take(), (Log{"CheckBrowseMode", "DataSetScrolled(3)"}));
    EXPECT_EQ(Window(big), (std::vector<int>{3, 4, 5, 6}));
    EXPECT_EQ(Window(small), (std::vector<int>{5, 6}));

    ds->MoveBy(-1);  // inside both windows
    EXPECT_EQ(small.Take(), (Log{"CheckBrowseMode", "DataSetScrolled(0)"}));
    EXPECT_EQ(ds->FieldByName("N")->AsInteger(), 5);

    small.SetDataSource(nullptr);
    EXPECT_EQ(small.Take(), (Log{"ActiveChanged"}));
    EXPECT_EQ(ds->BufferCount(), 4);
    big.SetDataSource(nullptr);
    EXPECT_EQ(ds->BufferCount(), 1);
    EXPECT_EQ(ds->FieldByName("N")->AsInteger(), 5);
}

TEST(DataLink, ChangingTheBufferCountWhileOpenRefillsTheRing) {
    auto ds = MakeNumbers(6);
    auto source = MakeComponent<TDataSource>(nullptr);
    source->SetDataSet(ds.get());
    RecordingLink link;
    link.SetDataSource(source.get());
    ds->MoveBy(3);
    EXPECT_EQ(link.RecordCount(), 1);
    link.SetBufferCount(4);
    EXPECT_EQ(link.RecordCount(), 4);
    EXPECT_EQ(ds->FieldByName("N")->AsInteger(), 4);
    // The ring reads forwards first, then backwards to fill what the end left empty.
    EXPECT_EQ(Window(link), (std::vector<int>{3, 4, 5, 6}));
    EXPECT_EQ(link.ActiveRecord(), 1);
    link.SetBufferCount(2);
    EXPECT_EQ(Window(link), (std::vector<int>{3, 4}));
    EXPECT_EQ(link.ActiveRecord(), 1);
    ds->Next();
    EXPECT_EQ(ds->FieldByName("N")->AsInteger(), 5);
    EXPECT_EQ(Window(link), (std::vector<int>{4, 5}));
    link.SetBufferCount(0);
    EXPECT_EQ(link.BufferCount(), 1);
}

TEST(DataLink, EditingFollowsTheStateAndReadOnlyLinksDoNotEdit) {
    auto ds = MakeNumbers(3);
    auto source = MakeComponent<TDataSource>(nullptr);
    source->SetDataSet(ds.get());
    RecordingLink link;
    link.SetDataSource(source.get());
    link.Take();
    EXPECT_TRUE(link.Edit());
    EXPECT_EQ(ds->State(), dsEdit);
    EXPECT_TRUE(link.Editing());
    ds->Cancel();
    EXPECT_FALSE(link.Editing());

    source->SetAutoEdit(false);
    EXPECT_FALSE(link.Edit());
    EXPECT_EQ(ds->State(), dsBrowse);
    source->SetAutoEdit(true);
    link.SetReadOnly(true);
    EXPECT_FALSE(link.Edit());
    EXPECT_EQ(ds->State(), dsBrowse);
}

// A link whose control writes its value into the field when asked (UpdateData).
class WritingLink : public RecordingLink {
  protected:
    void UpdateData() override {
        RecordingLink::UpdateData();
        DataSet()->FieldByName("N")->SetAsInteger(77);
    }
};

TEST(DataLink, PostAsksTheControlsForTheirValuesOnce) {
    auto ds = MakeNumbers(3);
    auto source = MakeComponent<TDataSource>(nullptr);
    source->SetDataSet(ds.get());
    WritingLink link;
    link.SetDataSource(source.get());
    ds->Edit();
    link.Take();
    ds->Post();
    // The control's own write does not come back to it as a record change.
    EXPECT_EQ(link.Take(),
              (Log{"UpdateData", "CheckBrowseMode", "EditingChanged", "DataSetChanged"}));
    EXPECT_EQ(ds->FieldByName("N")->AsInteger(), 77);
}

TEST(DataLink, FocusControlReachesTheLinks) {
    auto ds = MakeNumbers(1);
    auto source = MakeComponent<TDataSource>(nullptr);
    source->SetDataSet(ds.get());
    RecordingLink link;
    link.SetDataSource(source.get());
    link.Take();
    ds->FieldByName("N")->FocusControl();
    EXPECT_EQ(link.Take(), (Log{"FocusControl(N)"}));
}

TEST(DataSource, StateEnabledAndEvents) {
    auto ds = MakeNumbers(3);
    auto source = MakeComponent<TDataSource>(nullptr);
    Log events;
    source->OnStateChange = [&](TObject*) {
        events.push_back("state " + std::to_string(static_cast<int>(source->State())));
    };
    source->OnDataChange = [&](TObject*, TField* field) {
        events.push_back("data " + (field != nullptr ? field->FieldName() : std::string("-")));
    };
    source->OnUpdateData = [&](TObject*) { events.push_back("update"); };
    RecordingLink link;
    link.SetDataSource(source.get());
    source->SetDataSet(ds.get());
    EXPECT_EQ(source->State(), dsBrowse);
    EXPECT_TRUE(link.Active());
    ds->Next();
    ds->Edit();
    ds->FieldByName("N")->SetAsInteger(9);
    ds->Post();
    EXPECT_EQ(events, (Log{"state 1", "data -", "state 2", "data -", "data N", "update", "state 1",
                           "data -"}));

    link.Take();
    source->SetEnabled(false);
    EXPECT_EQ(source->State(), dsInactive);
    EXPECT_EQ(link.Take(), (Log{"ActiveChanged"}));
    ds->Next();
    EXPECT_TRUE(link.Take().empty());
    source->SetEnabled(true);
    EXPECT_EQ(link.Take(), (Log{"ActiveChanged"}));
}

TEST(DataSource, CircularLinksAreRefused) {
    auto master = MakeNumbers(2);
    auto detail = MakeComponent<DetailDataSet>(nullptr);
    auto master_source = MakeComponent<TDataSource>(nullptr);
    auto detail_source = MakeComponent<TDataSource>(nullptr);
    master_source->SetDataSet(master.get());
    detail->master = master_source.get();
    detail_source->SetDataSet(detail.get());
    EXPECT_TRUE(detail_source->IsLinkedTo(master.get()));
    EXPECT_TRUE(detail_source->IsLinkedTo(detail.get()));
    EXPECT_FALSE(master_source->IsLinkedTo(detail.get()));
    EXPECT_TRUE(detail->IsLinkedTo(master_source.get()));

    // A detail may not follow a source of its own, directly or through its master.
    auto loop = MakeComponent<DetailDataSet>(nullptr);
    auto loop_source = MakeComponent<TDataSource>(nullptr);
    loop->master = loop_source.get();
    try {
        loop_source->SetDataSet(loop.get());
        FAIL();
    } catch (const EDatabaseError& e) {
        EXPECT_STREQ(e.what(), "Circular datalinks are not allowed");
    }
    EXPECT_EQ(loop_source->DataSet(), nullptr);
}

TEST(DataSource, DestroyingEitherEndDetachesTheOther) {
    auto ds = MakeNumbers(2);
    auto source = MakeComponent<TDataSource>(nullptr);
    source->SetDataSet(ds.get());
    RecordingLink link;
    link.SetDataSource(source.get());
    link.Take();
    ds.reset();
    EXPECT_EQ(source->DataSet(), nullptr);
    EXPECT_EQ(source->State(), dsInactive);
    EXPECT_EQ(link.Take(), (Log{"ActiveChanged"}));
    source.reset();
    EXPECT_EQ(link.DataSource(), nullptr);
    EXPECT_EQ(link.DataSet(), nullptr);
}

}  // namespace
}  // namespace db
