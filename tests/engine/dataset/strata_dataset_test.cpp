#include "engine/dataset/strata_dataset.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <map>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/storage/engine_error.h"
#include "engine/storage/file_objects.h"
#include "platform/db/exception.h"
#include "platform/db/fields_numeric.h"
#include "platform/db/fields_text.h"
#include "tests/engine/dataset/strata_test_support.h"

namespace strata {
namespace {

using testing_support::DataSetTest;
using testing_support::GetText;
using testing_support::ListTableDefinition;
using testing_support::MakeIndex;
using testing_support::TestTable;

std::string ErrorOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const std::exception& error) {
        return error.what();
    }
    return {};
}

std::vector<std::string> ItemsOf(TestTable& table) {
    std::vector<std::string> items;
    table.First();
    while (!table.Eof()) {
        items.push_back(table.FieldByName("Item")->AsString());
        table.Next();
    }
    return items;
}

// Folder whose data files' syncs fail while set.
std::string failing_syncs_under;

int FailDataFileSyncs(const std::string& name) {
    const std::string_view data = ".DAT";
    const bool failing = !failing_syncs_under.empty() && name.rfind(failing_syncs_under, 0) == 0 &&
                         name.size() >= data.size() &&
                         name.compare(name.size() - data.size(), data.size(), data) == 0;
    return failing ? EIO : 0;
}

// The data files' syncs under a folder fail while the guard lives; the test may clear the
// folder earlier to let them pass again.
struct FailingDataSyncs {
    explicit FailingDataSyncs(std::string folder) {
        SetFileSyncHook(FailDataFileSyncs);
        failing_syncs_under = std::move(folder);
    }
    ~FailingDataSyncs() {
        SetFileSyncHook(nullptr);
        failing_syncs_under.clear();
    }
    FailingDataSyncs(const FailingDataSyncs&) = delete;
    FailingDataSyncs& operator=(const FailingDataSyncs&) = delete;
};

class StrataDataSetTest : public DataSetTest {
  protected:
    TestTable& OpenList(std::string_view index = "ByItem") {
        Create(ListTableDefinition());
        TestTable& table = NewTable("mailist", index);
        table.Open();
        AddEntry(table, "carol@example.com", "news", 0, "Carol");
        AddEntry(table, "abe@example.com", "newsletter", 1, "Abe");
        AddEntry(table, "bob@example.com", "events", 2, "Bob");
        AddEntry(table, "dora@example.com", "events", 0, "Abigail");
        return table;
    }
};

TEST_F(StrataDataSetTest, OpensWithFieldsFromTheTableAndReadsInIndexOrder) {
    TestTable& table = OpenList();
    EXPECT_EQ(table.FieldCount(), 8);
    EXPECT_EQ(table.FieldByName("Index")->DataType(), db::ftAutoInc);
    EXPECT_EQ(table.FieldByName("Item")->Size(), 80);
    EXPECT_EQ(table.FieldByName("SendRights")->DataType(), db::ftBoolean);
    EXPECT_EQ(table.RecordCount(), 4);
    EXPECT_EQ(ItemsOf(table), (std::vector<std::string>{"abe@example.com", "bob@example.com",
                                                        "carol@example.com", "dora@example.com"}));
    EXPECT_TRUE(table.FieldByName("Item")->IsIndexField());
    EXPECT_FALSE(table.FieldByName("Category")->IsIndexField());
    table.Last();
    EXPECT_EQ(table.RecNo(), 4);
    table.Next();
    EXPECT_TRUE(table.Eof());
}

TEST_F(StrataDataSetTest, EditPostCancelAndDelete) {
    TestTable& table = OpenList();
    int after_post = 0;
    int after_delete = 0;
    table.AfterPost = [&](db::TDataSet*) { ++after_post; };
    table.AfterDelete = [&](db::TDataSet*) { ++after_delete; };

    ASSERT_TRUE(table.Locate("Item", db::Variant("bob@example.com"), {db::loCaseInsensitive}));
    table.Edit();
    table.FieldByName("Comments")->SetAsString("moved");
    table.Cancel();
    EXPECT_EQ(table.FieldByName("Comments")->AsString(), "");

    table.Edit();
    table.FieldByName("Bounces")->SetAsInteger(7);
    table.Post();
    EXPECT_EQ(after_post, 1);
    table.First();
    ASSERT_TRUE(table.Locate("Item", db::Variant("bob@example.com"), {db::loCaseInsensitive}));
    EXPECT_EQ(table.FieldByName("Bounces")->AsInteger(), 7);

    table.Delete();
    EXPECT_EQ(after_delete, 1);
    EXPECT_EQ(table.RecordCount(), 3);
    EXPECT_FALSE(table.Locate("Item", db::Variant("bob@example.com"), {db::loCaseInsensitive}));
    EXPECT_EQ(table.FieldByName("Item")->AsString(), "carol@example.com");
}

// An edit's cancel gives back the lock the edit took, and a post writes the edited row, also
// where the cursor was moved under the dataset meanwhile: onto no row, or onto a row the cursor
// locked for itself, which keeps its lock.
TEST_F(StrataDataSetTest, CancelAndPostKeepToTheEditedRowWhereverTheCursorStands) {
    Create(ListTableDefinition());
    TestTable& table = NewTable("mailist", "ByItem");
    table.exclusive = false;
    table.Open();
    AddEntry(table, "abe@example.com", "news", 0);
    AddEntry(table, "bob@example.com", "news", 1);
    AddEntry(table, "carol@example.com", "news", 2);
    // Whether a cursor of its own finds the row of `item` locked by another.
    const auto held = [&](const std::string& item) {
        TDataCursor other(*database->Handle());
        other.SetTableName("mailist");
        other.Open();
        std::vector<std::uint8_t> buffer(other.GetRecordSize());
        other.First();
        EngineErrorCode code = kErrRecordNotFound;
        while (other.GetNextRecord(buffer) == 0) {
            if (GetText(other, buffer, 2) == item) {
                code = testing_support::CodeOf([&] { other.LockRecord(0); });
                break;
            }
        }
        other.Close();
        EXPECT_TRUE(code == kErrNone || code == kErrRecordLocked) << item << " " << code;
        return code == kErrRecordLocked;
    };
    TDataCursor& cursor = *table.Handle();
    std::vector<std::uint8_t> buffer(cursor.GetRecordSize());
    const auto edit_bob = [&] {
        ASSERT_TRUE(table.Locate("Item", db::Variant("bob@example.com"), {}));
        table.Edit();
        table.FieldByName("Comments")->SetAsString("edited");
        EXPECT_TRUE(held("bob@example.com"));
    };

    edit_bob();
    cursor.First();
    table.Cancel();
    EXPECT_EQ(table.State(), db::dsBrowse);
    EXPECT_FALSE(held("bob@example.com"));

    edit_bob();
    cursor.First();
    ASSERT_EQ(cursor.GetNextRecord(buffer), 0);
    const std::uint32_t abe = cursor.GetCurrentRecordNo();
    cursor.LockRecord(0);
    table.Cancel();
    EXPECT_FALSE(held("bob@example.com"));
    EXPECT_TRUE(held("abe@example.com"));

    edit_bob();
    cursor.First();
    ASSERT_EQ(cursor.GetNextRecord(buffer), 0);
    table.Post();
    EXPECT_FALSE(held("bob@example.com"));
    EXPECT_TRUE(held("abe@example.com"));
    cursor.First();
    while (cursor.GetNextRecord(buffer) == 0) {
        EXPECT_EQ(GetText(cursor, buffer, 5),
                  GetText(cursor, buffer, 2) == "bob@example.com" ? "edited" : "<null>");
    }
    cursor.UnlockRecord(abe);
    EXPECT_FALSE(held("abe@example.com"));
}

// An edit begun under the table lock holds its row once the table lock goes: its cancel, or its
// post, gives the row back without a failure, and the row is edited again afterwards. So does a
// cancel whose lock was given back already.
TEST_F(StrataDataSetTest, AnEditBegunUnderTheTableLockEndsAfterTheTableLockGoes) {
    Create(ListTableDefinition());
    TestTable& table = NewTable("mailist", "ByItem");
    table.exclusive = false;
    table.Open();
    AddEntry(table, "abe@example.com", "news", 0);
    for (const bool post : {true, false}) {
        SCOPED_TRACE(post ? "post" : "cancel");
        ASSERT_TRUE(table.Locate("Item", db::Variant("abe@example.com"), {}));
        table.Handle()->LockTable();
        table.Edit();
        table.FieldByName("Comments")->SetAsString(post ? "posted" : "dropped");
        table.Handle()->UnlockTable();
        if (post) {
            EXPECT_NO_THROW(table.Post());
        } else {
            EXPECT_NO_THROW(table.Cancel());
        }
        EXPECT_EQ(table.State(), db::dsBrowse);
        EXPECT_EQ(table.FieldByName("Comments")->AsString(), "posted");
    }
    // A lock given back through the cursor during the edit leaves its cancel nothing to do.
    table.Edit();
    table.Handle()->UnlockRecord(0);
    EXPECT_NO_THROW(table.Cancel());
    EXPECT_EQ(table.State(), db::dsBrowse);
    // Nothing of those edits is left held: the row locks for its own edit as ever.
    table.Edit();
    table.FieldByName("Comments")->SetAsString("last");
    table.Post();
    EXPECT_EQ(table.FieldByName("Comments")->AsString(), "last");
}

// Two datasets on one shared table edit, post and cancel at random while they move, and the
// cursor of one moves under it in the middle of an edit. An edit holds its row against the
// other dataset until its post or cancel, and no longer; every post writes the edited row.
TEST_F(StrataDataSetTest, RandomEditsPostsAndCancelsHoldOnlyTheEditedRow) {
    Create(ListTableDefinition());
    std::array<TestTable*, 2> sets{&NewTable("mailist", "ByItem"),
                                   &NewTable("mailist", "ByBounce")};
    struct Values {
        int bounces = 0;
        std::string comments;
    };
    std::map<std::string, Values> rows;
    for (TestTable* table : sets) {
        table->exclusive = false;
        table->Open();
    }
    for (int i = 0; i < 12; ++i) {
        const std::string item = "e" + std::to_string(100 + i) + "@x";
        AddEntry(*sets[0], item, "news", i % 4);
        rows[item] = {i % 4, ""};
    }
    // The item each dataset edits, and the values its post would write.
    std::array<std::optional<std::pair<std::string, Values>>, 2> editing;
    TDataCursor checker(*database->Handle());
    checker.SetTableName("mailist");
    checker.Open();
    std::vector<std::uint8_t> buffer(checker.GetRecordSize());
    const auto check_row = [&](const std::string& item) {
        checker.First();
        while (checker.GetNextRecord(buffer) == 0) {
            if (GetText(checker, buffer, 2) != item)
                continue;
            EXPECT_EQ(testing_support::GetInt(checker, buffer, 4).value_or(-1),
                      rows.at(item).bounces)
                << item;
            const std::string comments = GetText(checker, buffer, 5);
            EXPECT_EQ(comments == "<null>" ? "" : comments, rows.at(item).comments) << item;
            const bool edited = std::any_of(editing.begin(), editing.end(), [&](const auto& e) {
                return e.has_value() && e->first == item;
            });
            const EngineErrorCode code = testing_support::CodeOf([&] { checker.LockRecord(0); });
            EXPECT_EQ(code, edited ? kErrRecordLocked : kErrNone) << item;
            if (code == kErrNone)
                checker.UnlockRecord(0);
            return;
        }
        ADD_FAILURE() << "no row " << item;
    };
    const auto posted = [&](int d) {
        const std::string item = editing[d]->first;
        rows[item] = editing[d]->second;
        editing[d].reset();
        check_row(item);
    };
    std::mt19937 rng(20261208);
    for (int step = 0; step < 600; ++step) {
        const int d = static_cast<int>(rng() % 2);
        TestTable& table = *sets[d];
        const std::uint32_t op = rng() % 100;
        SCOPED_TRACE("step " + std::to_string(step) + " dataset " + std::to_string(d) + " op " +
                     std::to_string(op));
        if (op < 25) {
            // A move posts an edit under way first.
            const bool had_edit = editing[d].has_value();
            switch (rng() % 4) {
                case 0:
                    table.First();
                    break;
                case 1:
                    table.Last();
                    break;
                default:
                    table.MoveBy(static_cast<std::int64_t>(rng() % 7) - 3);
                    break;
            }
            if (had_edit)
                posted(d);
        } else if (op < 50 && !editing[d]) {
            table.Refresh();
            const std::string item = table.FieldByName("Item")->AsString();
            const bool held = editing[1 - d].has_value() && editing[1 - d]->first == item;
            EngineErrorCode code = kErrNone;
            try {
                table.Edit();
            } catch (const EStrataEngineError& error) {
                code = error.ErrorCode();
            }
            ASSERT_EQ(code, held ? kErrRecordLocked : kErrNone) << item;
            if (code != kErrNone) {
                EXPECT_EQ(table.State(), db::dsBrowse);
                continue;
            }
            Values values{static_cast<int>(rng() % 20), "c" + std::to_string(rng() % 1000)};
            table.FieldByName("Bounces")->SetAsInteger(values.bounces);
            table.FieldByName("Comments")->SetAsString(values.comments);
            editing[d] = {item, values};
        } else if (op < 62 && editing[d]) {
            // The cursor moves under the dataset, which does not know.
            TDataCursor& cursor = *table.Handle();
            std::vector<std::uint8_t> row(cursor.GetRecordSize());
            switch (rng() % 3) {
                case 0:
                    cursor.First();
                    break;
                case 1:
                    cursor.Last();
                    break;
                default:
                    cursor.First();
                    for (std::uint32_t n = rng() % 12; n > 0; --n)
                        (void)cursor.GetNextRecord(row);
                    break;
            }
        } else if (op < 80 && editing[d]) {
            const std::string item = editing[d]->first;
            table.Cancel();
            EXPECT_EQ(table.State(), db::dsBrowse);
            editing[d].reset();
            check_row(item);
        } else if (op < 98 && editing[d]) {
            table.Post();
            EXPECT_EQ(table.State(), db::dsBrowse);
            posted(d);
        } else if (op >= 98) {
            for (const auto& [item, values] : rows)
                check_row(item);
        }
    }
    checker.Close();
}

TEST_F(StrataDataSetTest, AutoIncrementValuesAndWritesOutsideEditing) {
    TestTable& table = OpenList();
    table.First();
    EXPECT_GT(table.FieldByName("Index")->AsInteger(), 0);
    EXPECT_EQ(ErrorOf([&] { table.FieldByName("Comments")->SetAsString("x"); }),
              "Dataset not in edit or insert mode");
    // A duplicate of the unique case-insensitive index is refused and nothing is added.
    table.Append();
    table.FieldByName("Item")->SetAsString("BOB@example.com");
    EXPECT_THROW(table.Post(), EStrataEngineError);
    table.Cancel();
    EXPECT_EQ(table.RecordCount(), 4);
}

TEST_F(StrataDataSetTest, TextFilterComparesPrefixesWithTheStar) {
    TestTable& table = OpenList();
    table.SetFilterOptions({db::foCaseInsensitive});
    table.SetFilter("Category = 'NEWS*'");
    table.SetFiltered(true);
    EXPECT_EQ(ItemsOf(table), (std::vector<std::string>{"abe@example.com", "carol@example.com"}));
    table.SetFilter("(Category <> 'news*') AND (Category <> 'x*')");
    EXPECT_EQ(ItemsOf(table), (std::vector<std::string>{"bob@example.com", "dora@example.com"}));
    // A text the engine refuses changes nothing.
    EXPECT_THROW(table.SetFilter("Category = "), EStrataEngineError);
    EXPECT_EQ(table.RecordCount(), 2);
    table.SetFiltered(false);
    EXPECT_EQ(table.RecordCount(), 4);

    // A filter the engine refuses at open leaves the dataset closed and reusable.
    table.Close();
    table.SetFilter("Category = ");
    EXPECT_THROW(table.Open(), EStrataEngineError);
    EXPECT_FALSE(table.Active());
    table.SetFilter("Bounces > 0");
    table.SetFiltered(true);
    table.Open();
    EXPECT_EQ(table.RecordCount(), 2);
}

TEST_F(StrataDataSetTest, CallbackFilterSeesEachRecordThroughItsFields) {
    TestTable& table = OpenList();
    table.SetOnFilterRecord([](db::TDataSet* dataset, bool& accept) {
        accept = dataset->FieldByName("Bounces")->AsInteger() == 0;
    });
    table.SetFiltered(true);
    EXPECT_EQ(ItemsOf(table), (std::vector<std::string>{"carol@example.com", "dora@example.com"}));
    table.SetOnFilterRecord(nullptr);
    EXPECT_EQ(table.RecordCount(), 4);
}

TEST_F(StrataDataSetTest, LocateAndLookupByIndexAndByFilter) {
    TestTable& table = OpenList();
    struct Case {
        const char* fields;
        db::Variant value;
        db::TLocateOptions options;
        const char* found;  // nullptr: not found
    };
    const Case cases[] = {
        // ByItem is case-insensitive: an index search.
        {"Item", db::Variant("CAROL@EXAMPLE.COM"), {db::loCaseInsensitive}, "carol@example.com"},
        {"Item",
         db::Variant("car"),
         {db::loCaseInsensitive, db::loPartialKey},
         "carol@example.com"},
        // Name has no index: the filter search, with and without the trailing star.
        {"Name", db::Variant("Ab*"), {db::loPartialKey}, "abe@example.com"},
        {"Name", db::Variant("Ab"), {db::loPartialKey}, "abe@example.com"},
        {"Name",
         db::Variant("abig"),
         {db::loPartialKey, db::loCaseInsensitive},
         "dora@example.com"},
        {"Name", db::Variant("abig"), {db::loPartialKey}, nullptr},
        {"Bounces", db::Variant(2), {}, "bob@example.com"},
        {"Category;Bounces",
         db::VarArrayOf({db::Variant("events"), db::Variant(0)}),
         {},
         "dora@example.com"},
        {"Comments", db::Variant::Null(), {}, "abe@example.com"},
        // A partial key with no text matches every record; the fields before it stay full.
        {"Name", db::Variant("*"), {db::loPartialKey}, "abe@example.com"},
        {"Item", db::Variant(""), {db::loPartialKey, db::loCaseInsensitive}, "abe@example.com"},
        {"Category;Name",
         db::VarArrayOf({db::Variant("news"), db::Variant("")}),
         {db::loPartialKey},
         "carol@example.com"},
        {"Category;Name",
         db::VarArrayOf({db::Variant("nothing"), db::Variant("*")}),
         {db::loPartialKey},
         nullptr},
    };
    for (const Case& c : cases) {
        table.First();
        const bool found = table.Locate(c.fields, c.value, c.options);
        EXPECT_EQ(found, c.found != nullptr) << c.fields << " " << c.value.AsString();
        if (found && c.found != nullptr) {
            EXPECT_EQ(table.FieldByName("Item")->AsString(), c.found) << c.fields;
        }
        // No search leaves a filter of its own behind.
        EXPECT_EQ(table.Handle()->FilterCount(), 0u);
        if (c.value.IsString()) {
            // A text read in place finds what its Variant finds.
            table.First();
            EXPECT_EQ(table.LocateText(c.fields, c.value.StringText(), c.options), found)
                << c.fields;
            EXPECT_EQ(table.FieldByName("Item")->AsString(), found ? c.found : "abe@example.com");
        }
    }
    EXPECT_EQ(ErrorOf([&] { table.LocateText("Category;Bounces", "events", {}); }),
              ErrorOf([&] { table.Locate("Category;Bounces", db::Variant("events"), {}); }));
    table.First();
    EXPECT_EQ(table.Lookup("Bounces", db::Variant(1), "Item;Name"),
              db::VarArrayOf({db::Variant("abe@example.com"), db::Variant("Abe")}));
    EXPECT_TRUE(table.Lookup("Bounces", db::Variant(99), "Item").IsNull());
    // Lookup does not move the dataset.
    EXPECT_EQ(table.FieldByName("Item")->AsString(), "abe@example.com");
}

TEST_F(StrataDataSetTest, KeyValuesBeyondTheEnginesStringsAreRefused) {
    TestTable& table = OpenList();
    const std::string long_text(300, 'x');
    for (const char* field : {"Item", "Name"}) {
        EXPECT_EQ(ErrorOf([&] { table.Locate(field, db::Variant(long_text), {}); }),
                  std::string("Field '") + field + "' is of an unsupported type");
        EXPECT_EQ(ErrorOf([&] { table.LocateText(field, long_text, {}); }),
                  std::string("Field '") + field + "' is of an unsupported type");
    }
    // Longer than the field but within the engine's strings: simply not found.
    EXPECT_FALSE(table.Locate("Name", db::Variant(std::string(60, 'A')), {}));
    EXPECT_EQ(table.Handle()->FilterCount(), 0u);
}

TEST_F(StrataDataSetTest, SearchesUndoTheirFiltersWhenTheyFail) {
    TestTable& table = OpenList();
    bool fail = false;
    table.SetOnFilterRecord([&](db::TDataSet* dataset, bool& accept) {
        if (fail) {
            throw std::runtime_error("filter failed");
        }
        accept = dataset->FieldByName("Bounces")->AsInteger() > 0;
    });
    ASSERT_EQ(table.Handle()->FilterCount(), 1u);

    fail = true;
    EXPECT_THROW(table.FindFirst(), std::runtime_error);
    fail = false;
    // FindFirst switched the filter on for its search only.
    EXPECT_FALSE(table.Filtered());
    table.First();
    EXPECT_EQ(table.RecordCount(), 4);
    EXPECT_TRUE(table.FindFirst());
    EXPECT_EQ(table.FieldByName("Item")->AsString(), "abe@example.com");
    EXPECT_EQ(table.RecordCount(), 4);

    table.SetFiltered(true);
    fail = true;
    EXPECT_ANY_THROW(table.Locate("Name", db::Variant("Bob"), {}));
    fail = false;
    EXPECT_EQ(table.Handle()->FilterCount(), 1u);
    table.SetFiltered(false);
    EXPECT_EQ(table.RecordCount(), 4);
}

TEST_F(StrataDataSetTest, CachedLookupCursorNeverServesStaleRecords) {
    // The primary index is case-sensitive, so a case-insensitive Locate on Item goes through
    // the table's cloned cursor on ByItem.
    TestTable& table = OpenList("");
    ASSERT_TRUE(table.Locate("Item", db::Variant("BOB@example.com"), {db::loCaseInsensitive}));
    EXPECT_EQ(table.lookup_clones, 1);
    table.Edit();
    table.FieldByName("Item")->SetAsString("robert@example.com");
    table.Post();
    EXPECT_EQ(table.LookupCursor(), nullptr);
    EXPECT_FALSE(table.Locate("Item", db::Variant("BOB@example.com"), {db::loCaseInsensitive}));
    ASSERT_TRUE(table.Locate("Item", db::Variant("ROBERT@example.com"), {db::loCaseInsensitive}));
    table.Delete();
    EXPECT_EQ(table.LookupCursor(), nullptr);
    EXPECT_FALSE(table.Locate("Item", db::Variant("robert@example.com"), {db::loCaseInsensitive}));
    EXPECT_TRUE(table.Lookup("Item", db::Variant("CAROL@example.com"), "Name").IsNull());
    EXPECT_EQ(table.Lookup("Item", db::Variant("carol@example.com"), "Name"), db::Variant("Carol"));
}

TEST_F(StrataDataSetTest, LocateFollowsTheFieldsOfEachOpen) {
    TestTable& table = OpenList();
    ASSERT_TRUE(table.Locate("Item", db::Variant("bob@example.com"), {}));
    // The default fields are made anew at each open; a declared one may be renamed between.
    table.Close();
    table.Open();
    ASSERT_TRUE(table.Locate("Item", db::Variant("carol@example.com"), {}));
    EXPECT_EQ(table.FieldByName("Name")->AsString(), "Carol");
    table.Close();
    auto* item = db::MakeOwned<db::TStringField>(table);
    item->SetFieldName("Item");
    item->SetDataSet(&table);
    table.Open();
    EXPECT_TRUE(table.Locate("Item", db::Variant("abe@example.com"), {}));
    table.Close();
    item->SetFieldName("Category");
    table.Open();
    EXPECT_THROW(table.Locate("Item", db::Variant("abe@example.com"), {}), db::EDatabaseError);
    EXPECT_TRUE(table.Locate("Category", db::Variant("events"), {}));
}

TEST_F(StrataDataSetTest, RangesAndMasterDetail) {
    TableDefinition categories;
    categories.fields = {MakeFieldDescriptor(1, "Category", 1, 0, 80)};
    testing_support::LayOut(categories.fields);
    categories.indexes = {MakeIndex("", {1}, true, true)};
    Create(categories, "cats");
    TestTable& detail = OpenList("ByCategory");
    TestTable& master = NewTable("cats");
    master.Open();
    for (const char* name : {"events", "news", "nothing"}) {
        master.Append();
        master.FieldByName("Category")->SetAsString(name);
        master.Post();
    }
    auto source = db::MakeComponent<db::TDataSource>(nullptr);
    source->SetDataSet(&master);
    detail.SetMaster(source.get(), "Category");
    master.First();
    EXPECT_EQ(ItemsOf(detail), (std::vector<std::string>{"bob@example.com", "dora@example.com"}));
    master.Next();
    EXPECT_EQ(ItemsOf(detail), (std::vector<std::string>{"carol@example.com"}));
    master.Next();
    EXPECT_EQ(detail.RecordCount(), 0);
    EXPECT_TRUE(detail.IsEmpty());
    detail.SetMaster(nullptr, "");
    EXPECT_EQ(detail.RecordCount(), 4);
    EXPECT_FALSE(detail.RangeActive());
    EXPECT_EQ(ErrorOf([&] { detail.IndexField(1); }), "Field index out of range");
    EXPECT_EQ(detail.IndexField(0), detail.FieldByName("Category"));
    detail.Close();
    master.Close();
}

TEST_F(StrataDataSetTest, BookmarksAndTheirOrder) {
    TestTable& table = OpenList();
    table.First();
    const db::TBookmark first = table.Bookmark();
    table.Last();
    const db::TBookmark last = table.Bookmark();
    EXPECT_LT(table.CompareBookmarks(first, last), 0);
    EXPECT_EQ(table.CompareBookmarks(first, {}), -1);
    EXPECT_EQ(table.CompareBookmarks({}, first), 1);
    EXPECT_EQ(table.CompareBookmarks({}, {}), 0);
    table.GotoBookmark(first);
    EXPECT_EQ(table.FieldByName("Item")->AsString(), "abe@example.com");
    EXPECT_TRUE(table.BookmarkValid(last));
    table.Delete();
    EXPECT_FALSE(table.BookmarkValid(first));
    EXPECT_THROW(table.GotoBookmark(first), db::EDatabaseError);
}

TEST_F(StrataDataSetTest, BcdValuesAreRoundedToTheFieldsScale) {
    TableDefinition definition;
    definition.fields = {MakeFieldDescriptor(1, "Id", 6, 29),
                         MakeFieldDescriptor(2, "Amount", 8, 0, 0, 2)};
    testing_support::LayOut(definition.fields);
    definition.indexes = {MakeIndex("", {1}, true)};
    Create(definition, "amounts");
    TestTable& table = NewTable("amounts");
    table.Open();
    auto* amount = dynamic_cast<db::TBCDField*>(table.FieldByName("Amount"));
    ASSERT_NE(amount, nullptr);
    EXPECT_EQ(amount->Size(), 2);
    table.Append();
    amount->SetAsCurrency(db::Currency::FromRaw(123450));
    table.Post();
    EXPECT_EQ(amount->AsCurrency().Raw(), 123500);
    std::byte native[8];
    ASSERT_TRUE(amount->GetData(native));
    std::int64_t scaled = 0;
    std::memcpy(&scaled, native, 8);
    EXPECT_EQ(scaled, 12352);
    EXPECT_TRUE(table.Locate("Amount", db::Variant(12.35), {}));
}

TEST_F(StrataDataSetTest, InMemoryTableInTheMemoryDatabase) {
    auto memory = db::MakeComponent<TStrataDatabase>(session.get());
    memory->SetDatabaseName("Memory");
    memory->Open();
    TableDefinition definition;
    definition.fields = {MakeFieldDescriptor(1, "Email", 1, 0, 80)};
    testing_support::LayOut(definition.fields);
    definition.indexes = {MakeIndex("", {1}, true, true)};
    Create(definition, "TempTable", true, memory->Handle());
    TestTable& table = NewTable("TempTable");
    table.in_memory = true;
    table.SetDatabaseName("anything");
    EXPECT_EQ(table.DatabaseName(), "Memory");
    table.Open();
    EXPECT_EQ(table.Database(), memory.get());
    table.Append();
    table.FieldByName("Email")->SetAsString("a@b.c");
    table.Post();
    table.Append();
    table.FieldByName("Email")->SetAsString("A@B.C");
    EXPECT_THROW(table.Post(), EStrataEngineError);
    table.Cancel();
    EXPECT_EQ(table.RecordCount(), 1);
    table.Close();
    tables.clear();
    memory.reset();
}

TEST_F(StrataDataSetTest, DatasetsHoldTheirDatabaseWhileOpen) {
    Create(ListTableDefinition());
    TestTable& table = NewTable();
    table.Open();
    EXPECT_EQ(database->UseCount(), 1);
    EXPECT_EQ(ErrorOf([&] { table.SetDatabaseName("Other"); }),
              "Cannot perform this operation on an open dataset");
    // Disconnecting the database closes its datasets.
    database->Close();
    EXPECT_FALSE(table.Active());
    EXPECT_EQ(table.Database(), nullptr);
    table.Open();
    EXPECT_TRUE(database->Connected());
    table.Close();
    EXPECT_EQ(database->UseCount(), 0);
    EXPECT_TRUE(database->Connected());  // KeepConnection
}

TEST_F(StrataDataSetTest, MissingCursorIsRefused) {
    auto bare = db::MakeComponent<TStrataDBDataSet>(nullptr);
    bare->SetSessionName("TestSession");
    bare->SetDatabaseName("TestDB");
    EXPECT_EQ(ErrorOf([&] { bare->Open(); }), "Error creating table handle.");
    EXPECT_FALSE(bare->Active());
    EXPECT_EQ(database->UseCount(), 0);
}

TEST_F(StrataDataSetTest, TypeMappingRoundTrips) {
    const db::TFieldType types[] = {
        db::ftString,  db::ftSmallint, db::ftInteger,  db::ftAutoInc,     db::ftWord,
        db::ftBoolean, db::ftFloat,    db::ftCurrency, db::ftBCD,         db::ftDate,
        db::ftTime,    db::ftDateTime, db::ftBytes,    db::ftVarBytes,    db::ftBlob,
        db::ftMemo,    db::ftFmtMemo,  db::ftGraphic,  db::ftTypedBinary, db::ftLargeint};
    for (const db::TFieldType type : types) {
        const auto [engine, subtype] = EngineTypeOf(type);
        EXPECT_EQ(FieldTypeOfEngine(engine, subtype), type) << static_cast<int>(type);
    }
    EXPECT_EQ(EngineTypeOf(db::ftFixedChar), std::make_pair(std::uint8_t{1}, std::uint8_t{31}));
    EXPECT_EQ(FieldTypeOfEngine(13, 0), db::ftInteger);
    EXPECT_EQ(FieldTypeOfEngine(14, 0), db::ftUnknown);
}

TEST_F(StrataDataSetTest, TemporaryDatabaseDisconnectedUnderAnOpenDataset) {
    Create(ListTableDefinition());
    session->SetKeepConnections(false);
    TestTable& table = NewTable();
    const std::string path = dir.Path().string();
    table.SetDatabaseName(path);
    table.Open();
    TStrataDatabase* temporary = table.Database();
    ASSERT_NE(temporary, nullptr);
    EXPECT_TRUE(temporary->Temporary());
    EXPECT_EQ(temporary->Directory(), path);
    // Its dataset's last use must not free it while it is still disconnecting.
    temporary->Close();
    EXPECT_FALSE(table.Active());
    table.Open();
    EXPECT_EQ(table.RecordCount(), 0);
    table.Close();
    EXPECT_EQ(session->FindDatabase(path), nullptr);
}

TEST_F(StrataDataSetTest, KeyEditingTouchesOnlyIndexFieldsAndCancelRestoresTheKey) {
    TestTable& table = OpenList("ByCategory");
    table.SetKeyBuffer(TStrataDataSet::kiLookup, true);
    EXPECT_EQ(table.State(), db::dsSetKey);
    table.FieldByName("Category")->SetAsString("news");
    EXPECT_EQ(ErrorOf([&] { table.FieldByName("Item")->SetAsString("x"); }),
              "Field 'Item' is not indexed and cannot be modified");
    table.Post();
    EXPECT_EQ(table.State(), db::dsBrowse);
    table.SetKeyBuffer(TStrataDataSet::kiLookup, false);
    EXPECT_EQ(table.FieldByName("Category")->AsString(), "news");
    table.FieldByName("Category")->SetAsString("other");
    table.Cancel();
    table.SetKeyBuffer(TStrataDataSet::kiLookup, false);
    EXPECT_EQ(table.FieldByName("Category")->AsString(), "news");
    table.Cancel();
}

TEST_F(StrataDataSetTest, KeysEditedAndPostedBoundTheRange) {
    TestTable& table = OpenList("ByCategory");
    const auto edit_key = [&](TStrataDataSet::KeyIndex key, const char* value) {
        table.SetKeyBuffer(key, true);
        table.FieldByName("Category")->SetAsString(value);
        table.Post();
    };
    edit_key(TStrataDataSet::kiRangeStart, "events");
    edit_key(TStrataDataSet::kiRangeEnd, "events");
    EXPECT_TRUE(table.ApplyRange());
    EXPECT_TRUE(table.RangeActive());
    EXPECT_EQ(ItemsOf(table), (std::vector<std::string>{"bob@example.com", "dora@example.com"}));
    EXPECT_FALSE(table.Locate("Category", db::Variant("news"), {})) << "outside the range";

    // A cancelled key keeps the range as it was; an end left unedited is open.
    table.SetKeyBuffer(TStrataDataSet::kiRangeEnd, false);
    table.FieldByName("Category")->SetAsString("zzz");
    table.Cancel();
    EXPECT_FALSE(table.ApplyRange());
    table.SetKeyBuffer(TStrataDataSet::kiRangeEnd, true);
    table.Cancel();
    table.SetKeyBuffer(TStrataDataSet::kiRangeStart, true);
    table.FieldByName("Category")->SetAsString("news");
    table.Post();
    table.SetKeyBuffer(TStrataDataSet::kiRangeEnd, true);
    table.Post();
    EXPECT_TRUE(table.ApplyRange());
    EXPECT_EQ(ItemsOf(table), (std::vector<std::string>{"carol@example.com", "abe@example.com"}));
    EXPECT_TRUE(table.ResetRange());
    EXPECT_EQ(table.RecordCount(), 4);
}

TEST_F(StrataDataSetTest, RecordNumbersCopyOnAppendAndDisplayLabels) {
    TableDefinition definition = ListTableDefinition();
    PutShortString(definition.fields[1], fd::kDescription, fd::kTextLength, "E-mail address");
    Create(definition);
    TestTable& table = NewTable("mailist", "ByItem");
    table.Open();
    EXPECT_EQ(table.FieldByName("Item")->DisplayLabel(), "E-mail address");
    EXPECT_EQ(table.FieldByName("Category")->DisplayLabel(), "Category");
    AddEntry(table, "a@x.org", "one", 1);
    AddEntry(table, "b@x.org", "two", 2);
    AddEntry(table, "c@x.org", "three", 3);
    table.SetRecNo(2);
    EXPECT_EQ(table.RecNo(), 2);
    EXPECT_EQ(table.FieldByName("Item")->AsString(), "b@x.org");

    table.SetCopyOnAppend(true);
    table.Append();
    EXPECT_EQ(table.FieldByName("Category")->AsString(), "two");
    table.FieldByName("Item")->SetAsString("d@x.org");
    table.Post();
    EXPECT_EQ(table.FieldByName("Bounces")->AsInteger(), 2);
    EXPECT_EQ(table.RecordCount(), 4);
}

// The dataset's flush to disk is the table's sync: once a sync of the data file failed, every
// later flush fails with the same error naming the file, though the disk would now let it
// pass; the rows can still be read; and closing the dataset reports the failure.
TEST_F(StrataDataSetTest, AFailedSyncFailsEveryLaterFlushToDisk) {
    TestTable& table = OpenList();
    const FailingDataSyncs failing(dir.Path().string());
    AddEntry(table, "eve@example.com", "news", 0, "Eve");
    const std::string failure = ErrorOf([&] { table.FlushBuffers(); });
    EXPECT_NE(failure.find("11047"), std::string::npos) << failure;
    EXPECT_NE(failure.find("mailist.DAT"), std::string::npos) << failure;
    failing_syncs_under.clear();
    EXPECT_EQ(ErrorOf([&] { table.FlushBuffers(); }), failure);
    EXPECT_EQ(ItemsOf(table).size(), 5u);
    const std::string closing = ErrorOf([&] { table.Close(); });
    EXPECT_NE(closing.find("mailist.DAT"), std::string::npos) << closing;
    EXPECT_FALSE(table.Active());
}

// A close that reports a failed sync has let go of everything all the same: the table's
// dataset leaves its database, whose use falls; a database closing datasets that report such
// failures closes every one of them and itself, and reports the first failure once; a second
// close has nothing left to do or report. The files are free for the next open, which finds the
// mark the failure left and asks for a repair.
TEST_F(StrataDataSetTest, ACloseThatReportsAFailedSyncLetsGoOfEverything) {
    TestTable& table = OpenList();
    Create(ListTableDefinition(), "other");
    TestTable& other = NewTable("other");
    other.Open();
    const FailingDataSyncs failing(dir.Path().string());
    AddEntry(table, "eve@example.com", "news", 0, "Eve");
    AddEntry(other, "fay@example.com", "news", 0, "Fay");
    EXPECT_NE(ErrorOf([&] { table.FlushBuffers(); }), "");
    EXPECT_NE(ErrorOf([&] { other.FlushBuffers(); }), "");
    failing_syncs_under.clear();
    EXPECT_EQ(database->UseCount(), 2);

    const std::string closing = ErrorOf([&] { table.Close(); });
    EXPECT_NE(closing.find("mailist.DAT"), std::string::npos) << closing;
    EXPECT_FALSE(table.Active());
    EXPECT_EQ(table.Database(), nullptr);
    EXPECT_EQ(database->UseCount(), 1);
    EXPECT_EQ(database->DataSets(), std::vector<TStrataDBDataSet*>{&other});
    EXPECT_EQ(ErrorOf([&] { table.Close(); }), "");

    const std::string disconnecting = ErrorOf([&] { database->Close(); });
    EXPECT_NE(disconnecting.find("other.DAT"), std::string::npos) << disconnecting;
    EXPECT_FALSE(other.Active());
    EXPECT_FALSE(database->Connected());
    EXPECT_TRUE(database->DataSets().empty());
    EXPECT_EQ(ErrorOf([&] { database->Close(); }), "");
    EXPECT_EQ(ErrorOf([&] { other.Close(); }), "");

    database->Open();
    for (TestTable* reopened : {&table, &other}) {
        const std::string opening = ErrorOf([&] { reopened->Open(); });
        EXPECT_NE(opening.find("8961"), std::string::npos) << opening;
        EXPECT_FALSE(reopened->Active());
    }
}

}  // namespace
}  // namespace strata
