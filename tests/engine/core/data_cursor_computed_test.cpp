// Computed fields, field renumbering and the undo of writes that fail part
// way through.

#include <gtest/gtest.h>

#include <span>
#include <stdexcept>

#include "engine/core/data_cursor.h"
#include "engine/core/data_table.h"
#include "engine/core/index_file.h"
#include "tests/engine/core/cursor_test_support.h"

namespace strata {
namespace {

using namespace testing_support;

class DataCursorComputed : public CursorTest {
  protected:
    // The table's fields plus Twice (Bounces * 2) and Label (Item and
    // Category in one text), both computed.
    void AddComputedFields(TDataCursor& c) {
        c.SetComputedFields(true);
        std::vector<FieldDescriptor> fields;
        for (std::uint32_t i = 1; i <= c.GetFieldCount(); ++i)
            fields.push_back(c.GetTableFieldDesc(i));
        FieldDescriptor twice = MakeFieldDescriptor(9, "Twice", 6);
        twice[fd::kNotStored] = 1;
        FieldDescriptor label = MakeFieldDescriptor(10, "Label", 1, 0, 40);
        label[fd::kNotStored] = 1;
        fields.push_back(twice);
        fields.push_back(label);
        c.SetFieldDescriptors(fields);
        c.SetFieldExpression(9, "Bounces * 2");
        c.SetFieldExpression(10, "UPPER(Item) + '/' + Category");
    }
};

// A new record computes its fields from its defaults at once, so a form
// showing it never shows the values of the record the buffer held before.
TEST_F(DataCursorComputed, NewRecordsComputeFromTheirDefaults) {
    TableDefinition definition = ListTableDefinition();
    PutShortString(definition.fields[3], fd::kDefault, fd::kTextLength, "4");
    TDataCursor& c = CreateAndOpen(definition);
    InsertEntry(c, "alice@x", "A", 3);
    AddComputedFields(c);
    std::vector<std::uint8_t> buffer(c.GetRecordSize());
    c.First();
    ASSERT_EQ(c.GetNextRecord(buffer), 0);
    ASSERT_EQ(GetText(c, buffer, 10), "ALICE@X/A");
    c.InitNewRecord(buffer);
    EXPECT_EQ(GetInt(c, buffer, 4), 4);
    EXPECT_EQ(GetInt(c, buffer, 9), 8);
    EXPECT_EQ(GetText(c, buffer, 10), "/");  // empty texts join as empty
}

TEST_F(DataCursorComputed, EvaluatedOnReadAndAfterEveryStoredWrite) {
    TDataCursor& c = CreateAndOpen(ListTableDefinition());
    InsertEntry(c, "alice@x", "A", 3);
    InsertEntry(c, "bob@x", "B", -1);
    const std::uint32_t table_size = c.GetRecordSize();
    AddComputedFields(c);
    EXPECT_GT(c.GetRecordSize(), table_size);

    c.SetIndexByName("ByItem");
    std::vector<std::uint8_t> buffer(c.GetRecordSize());
    c.First();
    ASSERT_EQ(c.GetNextRecord(buffer), 0);
    EXPECT_EQ(GetInt(c, buffer, 9), 6);
    EXPECT_EQ(GetText(c, buffer, 10), "ALICE@X/A");
    ASSERT_EQ(c.GetNextRecord(buffer), 0);
    EXPECT_EQ(GetInt(c, buffer, 9), std::nullopt);  // a null operand gives null
    EXPECT_EQ(GetText(c, buffer, 10), "BOB@X/B");

    // Every write of a stored field computes the record again at once.
    c.InitNewRecord(buffer);
    PutText(c, buffer, 2, "carol@x");
    PutText(c, buffer, 3, "C");
    PutInt(c, buffer, 4, 5);
    EXPECT_EQ(GetInt(c, buffer, 9), 10);
    EXPECT_EQ(GetText(c, buffer, 10), "CAROL@X/C");
    // Only the evaluation writes a computed field.
    PutInt(c, buffer, 9, 99);
    EXPECT_EQ(GetInt(c, buffer, 9), 10);
    PutNull(c, buffer, 4);
    EXPECT_EQ(GetInt(c, buffer, 9), std::nullopt);
    PutInt(c, buffer, 4, 7);
    c.InsertRecord(buffer, true);
    ASSERT_EQ(c.GetCurrentRecord(buffer, false), 0);
    EXPECT_EQ(GetText(c, buffer, 2), "carol@x");
    EXPECT_EQ(GetInt(c, buffer, 9), 14);

    // A modify recomputes too, and the stored table is untouched by the
    // computed bytes.
    PutInt(c, buffer, 4, 8);
    c.ModifyRecord(buffer, true, true);
    ASSERT_EQ(c.GetCurrentRecord(buffer, false), 0);
    EXPECT_EQ(GetInt(c, buffer, 9), 16);
    c.Close();
    TDataCursor& plain = NewCursor("mailist", false);
    plain.Open();
    EXPECT_EQ(plain.GetRecordSize(), table_size);
    EXPECT_EQ(plain.GetRecordCount(), 3);
}

TEST_F(DataCursorComputed, FiltersSeeComputedValues) {
    TDataCursor& c = CreateAndOpen(ListTableDefinition());
    InsertEntry(c, "alice@x", "A", 3);
    InsertEntry(c, "bob@x", "B", 1);
    InsertEntry(c, "carol@x", "C", -1);
    AddComputedFields(c);
    c.SetIndexByName("ByItem");
    c.ActivateFilter(c.AddFilter("Twice > 4", {}));
    EXPECT_EQ(Items(c), (std::vector<std::string>{"alice@x"}));
    c.ActivateFilter(c.AddFilter("Label = 'BOB@X/B' OR Label = 'ALICE@X/A'", {}));
    EXPECT_EQ(Items(c), (std::vector<std::string>{"alice@x"}));
}

TEST_F(DataCursorComputed, ClonesCarryTheExpressions) {
    TDataCursor& c = CreateAndOpen(ListTableDefinition());
    InsertEntry(c, "alice@x", "A", 21);
    AddComputedFields(c);
    std::vector<std::uint8_t> buffer(c.GetRecordSize());
    c.First();
    ASSERT_EQ(c.GetNextRecord(buffer), 0);
    auto clone = c.CloneCursor();
    ASSERT_EQ(clone->GetRecordSize(), c.GetRecordSize());
    std::vector<std::uint8_t> copy(clone->GetRecordSize());
    ASSERT_EQ(clone->GetCurrentRecord(copy, false), 0);
    EXPECT_EQ(GetInt(*clone, copy, 9), 42);
    EXPECT_EQ(GetText(*clone, copy, 10), "ALICE@X/A");
}

TEST_F(DataCursorComputed, BadExpressionsAreRefusedAndKeepTheOldOne) {
    TDataCursor& c = CreateAndOpen(ListTableDefinition());
    InsertEntry(c, "alice@x", "A", 3);
    AddComputedFields(c);
    // A stored field, an unknown column, a computed operand, a text into an
    // integer field, a syntax error and trailing text.
    EXPECT_EQ(CodeOf([&] { c.SetFieldExpression(4, "Bounces + 1"); }), kErrInvalidValidityCheck);
    EXPECT_NE(CodeOf([&] { c.SetFieldExpression(9, "Nothing * 2"); }), 0);
    EXPECT_NE(CodeOf([&] { c.SetFieldExpression(9, "Twice + 1"); }), 0);
    EXPECT_EQ(CodeOf([&] { c.SetFieldExpression(9, "Item"); }), kErrInvalidValidityCheck);
    EXPECT_NE(CodeOf([&] { c.SetFieldExpression(9, "Bounces *"); }), 0);
    EXPECT_NE(CodeOf([&] { c.SetFieldExpression(9, "Bounces 2"); }), 0);
    EXPECT_EQ(CodeOf([&] { c.SetFieldExpression(11, "Bounces"); }), kErrInvalidField);
    std::vector<std::uint8_t> buffer(c.GetRecordSize());
    c.First();
    ASSERT_EQ(c.GetNextRecord(buffer), 0);
    EXPECT_EQ(GetInt(c, buffer, 9), 6);
}

TEST_F(DataCursorComputed, WithoutTheOptionFieldsAreNotComputed) {
    TDataCursor& c = CreateAndOpen(ListTableDefinition());
    std::vector<FieldDescriptor> fields;
    for (std::uint32_t i = 1; i <= c.GetFieldCount(); ++i)
        fields.push_back(c.GetTableFieldDesc(i));
    FieldDescriptor twice = MakeFieldDescriptor(9, "Twice", 6);
    twice[fd::kNotStored] = 1;
    fields.push_back(twice);
    c.SetFieldDescriptors(fields);
    EXPECT_EQ(CodeOf([&] { c.SetFieldExpression(9, "Bounces * 2"); }), kErrInvalidValidityCheck);
    // The extra field is an ordinary writable one after the table's bytes.
    std::vector<std::uint8_t> buffer(c.GetRecordSize());
    c.InitNewRecord(buffer);
    PutInt(c, buffer, 9, 5);
    EXPECT_EQ(GetInt(c, buffer, 9), 5);
}

class DataCursorRenumbering : public CursorTest {
  protected:
    // A table of Index, Item, Category and Bounces with ByItem and
    // ByCatBounce (Category, Bounces), holding three records.
    TDataCursor& OpenFilled() {
        TableDefinition definition;
        definition.fields = {
            MakeFieldDescriptor(1, "Index", 6, 29), MakeFieldDescriptor(2, "Item", 1, 0, 40),
            MakeFieldDescriptor(3, "Category", 1, 0, 20), MakeFieldDescriptor(4, "Bounces", 6)};
        LayOut(definition.fields);
        definition.indexes = {MakeIndex("", {1}, true), MakeIndex("ByItem", {2}, true, true),
                              MakeIndex("ByCatBounce", {3, 4}, false)};
        TDataCursor& c = CreateAndOpen(definition);
        InsertEntry(c, "b@x", "K", 2);
        InsertEntry(c, "a@x", "K", 1);
        InsertEntry(c, "c@x", "J", 9);
        return c;
    }

    // The numbers a restructure leaves behind (the continued numbers of
    // the old fields: gaps and out of order), with the index references
    // following them.
    static void NumberAsContinued(TDataCursor& c, std::span<const std::uint16_t> slot2) {
        TDataFile& data = c.Table()->DataFile();
        const std::uint16_t numbers[] = {7, 3, 12, 5};
        for (std::uint32_t i = 1; i <= 4; ++i) {
            FieldDescriptor d = data.GetFieldDescriptor(i);
            PutU16(d, fd::kNumber, numbers[i - 1]);
            data.SetFieldDescriptor(i, d);
        }
        TIndexFile& index = c.Table()->IndexFile();
        const std::uint16_t primary[] = {7};
        const std::uint16_t item[] = {3};
        index.SetIndexFields(0, "", primary);
        index.SetIndexFields(1, "BYITEM", item);
        index.SetIndexFields(2, "BYCATBOUNCE", slot2);
    }
};

TEST_F(DataCursorRenumbering, NumbersBecomePositionsAndIndexesKeepWorking) {
    TDataCursor& c = OpenFilled();
    const std::uint16_t cat_bounce[] = {12, 5};
    NumberAsContinued(c, cat_bounce);
    c.RenumberFields();
    TIndexFile& index = c.Table()->IndexFile();
    for (std::uint32_t i = 1; i <= 4; ++i)
        EXPECT_EQ(FieldNumber(c.GetTableFieldDesc(i)), i);
    EXPECT_EQ(IndexFieldNumber(index.GetIndexDescriptor(0), 0), 1);
    EXPECT_EQ(IndexFieldNumber(index.GetIndexDescriptor(1), 0), 2);
    EXPECT_EQ(IndexFieldNumber(index.GetIndexDescriptor(2), 0), 3);
    EXPECT_EQ(IndexFieldNumber(index.GetIndexDescriptor(2), 1), 4);
    EXPECT_EQ(IndexFieldCount(index.GetIndexDescriptor(2)), 2);
    // The renumbered table reopens and its indexes still order the records.
    c.Close();
    c.Open();
    c.SetIndexByName("ByItem");
    EXPECT_EQ(Items(c), (std::vector<std::string>{"a@x", "b@x", "c@x"}));
    c.SetIndexByName("ByCatBounce");
    EXPECT_EQ(Items(c), (std::vector<std::string>{"c@x", "a@x", "b@x"}));
    InsertEntry(c, "d@x", "J", 0);
    EXPECT_EQ(Items(c), (std::vector<std::string>{"d@x", "c@x", "a@x", "b@x"}));
    // Done again it changes nothing.
    c.RenumberFields();
    EXPECT_EQ(Items(c), (std::vector<std::string>{"d@x", "c@x", "a@x", "b@x"}));
}

TEST_F(DataCursorRenumbering, AMissingIndexFieldIsRefusedBeforeAnythingChanges) {
    TDataCursor& c = OpenFilled();
    const std::uint16_t missing[] = {12, 40};
    NumberAsContinued(c, missing);
    EXPECT_EQ(CodeOf([&] { c.RenumberFields(); }), kErrInvalidIndexField);
    TIndexFile& index = c.Table()->IndexFile();
    EXPECT_EQ(IndexFieldNumber(index.GetIndexDescriptor(0), 0), 7);
    EXPECT_EQ(IndexFieldNumber(index.GetIndexDescriptor(1), 0), 3);
    EXPECT_EQ(IndexFieldNumber(index.GetIndexDescriptor(2), 1), 40);
    EXPECT_EQ(FieldNumber(c.GetTableFieldDesc(1)), 7);
    // Mended, it goes through.
    const std::uint16_t cat_bounce[] = {12, 5};
    index.SetIndexFields(2, "BYCATBOUNCE", cat_bounce);
    c.RenumberFields();
    EXPECT_EQ(FieldNumber(c.GetTableFieldDesc(1)), 1);
    c.SetIndexByName("ByCatBounce");
    EXPECT_EQ(Items(c), (std::vector<std::string>{"c@x", "a@x", "b@x"}));
}

class DataCursorFailingWrite : public CursorTest {
  protected:
    static constexpr std::uint32_t kNotes = 9;

    TDataCursor& OpenWithBlobs() {
        TableDefinition definition = ListTableDefinition();
        definition.fields.push_back(MakeFieldDescriptor(kNotes, "Notes", 3, 22));
        LayOut(definition.fields);
        return CreateAndOpen(definition);
    }

    static void FillEntry(TDataCursor& c, std::vector<std::uint8_t>& buffer, std::string_view item,
                          std::string_view category, int bounces, std::size_t note_size) {
        c.InitNewRecord(buffer);
        PutText(c, buffer, 2, item);
        PutText(c, buffer, 3, category);
        PutInt(c, buffer, 4, bounces);
        ASSERT_EQ(c.OpenBlob(kNotes, buffer, kBlobOpenReadWrite), 0);
        std::vector<std::uint8_t> note(note_size, 'n');
        ASSERT_EQ(
            c.WriteBlob(kNotes, buffer, static_cast<std::uint32_t>(note.size()), note.data(), 0),
            0);
    }

    // Every index sees exactly `items` (in ByItem order) and the record
    // count agrees.
    static void ExpectIndexes(TDataCursor& c, const std::vector<std::string>& items,
                              int failed_step) {
        EXPECT_EQ(c.GetRecordCount(), static_cast<std::int64_t>(items.size())) << failed_step;
        for (const char* name : {"", "ByCategory", "ByBounce"}) {
            c.SetIndexByName(name);
            EXPECT_EQ(Items(c).size(), items.size()) << name << " step " << failed_step;
        }
        c.SetIndexByName("ByItem");
        EXPECT_EQ(Items(c), items) << "step " << failed_step;
    }

    static void FailAt(TDataCursor& c, int failing) {
        c.SetWriteStepHook([failing](int step) {
            if (step == failing)
                throw std::runtime_error("injected failure");
        });
    }
};

TEST_F(DataCursorFailingWrite, InsertFailingAtEveryStepLeavesNoKeysOrBlobs) {
    TDataCursor& c = OpenWithBlobs();
    std::vector<std::uint8_t> buffer(c.GetRecordSize());
    FillEntry(c, buffer, "a@x", "A", 1, 1000);
    c.InsertRecord(buffer, false);
    TBlobFile& blobs = c.Table()->BlobFile();
    int failures = 0;
    for (int failing = 1;; ++failing) {
        const std::uint32_t next_block = blobs.GetNextBlockOffset();
        FillEntry(c, buffer, "b@x", "B", 2, 1000);
        FailAt(c, failing);
        bool failed = false;
        try {
            c.InsertRecord(buffer, false);
        } catch (const std::runtime_error&) {
            failed = true;
        }
        c.SetWriteStepHook({});
        if (!failed) {
            // The retry that finally succeeds reuses the freed blocks.
            EXPECT_EQ(blobs.GetNextBlockOffset(), next_block);
            ExpectIndexes(c, {"a@x", "b@x"}, failing);
            break;
        }
        ++failures;
        ExpectIndexes(c, {"a@x"}, failing);
        ASSERT_EQ(c.CloseBlob(kNotes, buffer), 0);
        // Every block the failed write took is free again.
        EXPECT_NE(blobs.GetFirstFreeBlock(), 0u) << failing;
    }
    // Blobs, four keys and the hidden key: six steps could fail.
    EXPECT_EQ(failures, 6);
}

TEST_F(DataCursorFailingWrite, ModifyFailingAtEveryStepKeepsTheOldRecord) {
    TDataCursor& c = OpenWithBlobs();
    std::vector<std::uint8_t> buffer(c.GetRecordSize());
    FillEntry(c, buffer, "a@x", "A", 1, 100);
    c.InsertRecord(buffer, false);
    FillEntry(c, buffer, "m@x", "M", 5, 100);
    c.InsertRecord(buffer, false);
    int failures = 0;
    for (int failing = 1;; ++failing) {
        c.SetIndexByName("ByItem");
        c.Last();
        ASSERT_EQ(c.GetPriorRecord(buffer), 0);
        ASSERT_EQ(GetText(c, buffer, 2), "m@x");
        PutText(c, buffer, 2, "z@x");
        PutText(c, buffer, 3, "Z");
        PutInt(c, buffer, 4, 50);
        FailAt(c, failing);
        bool failed = false;
        try {
            c.ModifyRecord(buffer, true, false);
        } catch (const std::runtime_error&) {
            failed = true;
        }
        c.SetWriteStepHook({});
        if (!failed) {
            ExpectIndexes(c, {"a@x", "z@x"}, failing);
            break;
        }
        ++failures;
        ExpectIndexes(c, {"a@x", "m@x"}, failing);
        c.SetIndexByName("ByBounce");
        c.First();
        ASSERT_EQ(c.GetNextRecord(buffer), 0);
        ASSERT_EQ(c.GetNextRecord(buffer), 0);
        EXPECT_EQ(GetInt(c, buffer, 4), 5) << failing;
    }
    // Blobs, then out and in for each of three changed indexes.
    EXPECT_EQ(failures, 7);
}

TEST_F(DataCursorFailingWrite, DeleteFailingAtEveryStepKeepsTheRecordAndItsKeys) {
    TDataCursor& c = OpenWithBlobs();
    std::vector<std::uint8_t> buffer(c.GetRecordSize());
    FillEntry(c, buffer, "a@x", "A", 1, 100);
    c.InsertRecord(buffer, false);
    FillEntry(c, buffer, "b@x", "B", 2, 100);
    c.InsertRecord(buffer, false);
    int failures = 0;
    for (int failing = 1;; ++failing) {
        c.SetIndexByName("ByItem");
        c.Last();
        ASSERT_EQ(c.GetPriorRecord(buffer), 0);
        FailAt(c, failing);
        bool failed = false;
        try {
            c.DeleteRecord(buffer, false);
        } catch (const std::runtime_error&) {
            failed = true;
        }
        c.SetWriteStepHook({});
        if (!failed) {
            ExpectIndexes(c, {"a@x"}, failing);
            break;
        }
        ++failures;
        ExpectIndexes(c, {"a@x", "b@x"}, failing);
    }
    // Four keys, then the hidden key swap just before the record is freed.
    EXPECT_EQ(failures, 5);
    // The slot freed by the delete is taken again.
    const auto slots = c.GetRecordSlotCount();
    InsertEntry(c, "c@x", "C", 3);
    EXPECT_EQ(c.GetRecordSlotCount(), slots);
}

// An insert into a freed slot also swaps the slot's hidden key; a failure at
// any step must give the freed key back, or the slot could never be taken.
TEST_F(DataCursorFailingWrite, InsertIntoAFreedSlotFailingAtEveryStepKeepsTheSlotFree) {
    TDataCursor& c = OpenWithBlobs();
    std::vector<std::uint8_t> buffer(c.GetRecordSize());
    for (const char* item : {"a@x", "b@x"}) {
        FillEntry(c, buffer, item, "A", 1, 100);
        c.InsertRecord(buffer, false);
    }
    c.SetIndexByName("ByItem");
    c.Last();
    ASSERT_EQ(c.GetPriorRecord(buffer), 0);
    c.DeleteRecord(buffer, false);
    const auto slots = c.GetRecordSlotCount();
    int failures = 0;
    for (int failing = 1;; ++failing) {
        FillEntry(c, buffer, "c@x", "C", 3, 100);
        FailAt(c, failing);
        bool failed = false;
        try {
            c.InsertRecord(buffer, false);
        } catch (const std::runtime_error&) {
            failed = true;
        }
        c.SetWriteStepHook({});
        if (!failed) {
            ExpectIndexes(c, {"a@x", "c@x"}, failing);
            break;
        }
        ++failures;
        ExpectIndexes(c, {"a@x"}, failing);
        ASSERT_EQ(c.CloseBlob(kNotes, buffer), 0);
    }
    // Blobs, four keys, the freed hidden key out and the new one in.
    EXPECT_EQ(failures, 7);
    EXPECT_EQ(c.GetRecordSlotCount(), slots);
    // The reused record goes and comes back once more.
    c.SetIndexByName("ByItem");
    c.Last();
    ASSERT_EQ(c.GetPriorRecord(buffer), 0);
    c.DeleteRecord(buffer, false);
    InsertEntry(c, "d@x", "D", 4);
    EXPECT_EQ(c.GetRecordSlotCount(), slots);
    ExpectIndexes(c, {"a@x", "d@x"}, 0);
}

}  // namespace
}  // namespace strata
