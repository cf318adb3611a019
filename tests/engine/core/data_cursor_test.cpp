#include "engine/core/data_cursor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "engine/core/data_file.h"
#include "engine/core/filter.h"
#include "engine/core/table_repair.h"
#include "engine/core/table_restructure.h"
#include "engine/storage/engine_error.h"
#include "engine/storage/engine_heap.h"
#include "engine/storage/file_handler.h"
#include "engine/storage/file_objects.h"
#include "tests/engine/core/cursor_test_support.h"

namespace strata {
namespace {

using namespace testing_support;

class DataCursor : public CursorTest {};

TEST_F(DataCursor, InsertsAndWalksEveryIndexInOrder) {
    TDataCursor& c = CreateAndOpen(ListTableDefinition());
    InsertEntry(c, "carol@x.org", "B", 2);
    InsertEntry(c, "alice@x.org", "A", 5);
    InsertEntry(c, "bob@x.org", "A", -1);
    EXPECT_EQ(c.GetRecordCount(), 3);
    EXPECT_EQ(Items(c), (std::vector<std::string>{"carol@x.org", "alice@x.org", "bob@x.org"}));
    c.SetIndexByName("byitem");
    EXPECT_EQ(Items(c), (std::vector<std::string>{"alice@x.org", "bob@x.org", "carol@x.org"}));
    c.SetIndexByName("ByBounce");
    // A null sorts before every value.
    EXPECT_EQ(Items(c), (std::vector<std::string>{"bob@x.org", "carol@x.org", "alice@x.org"}));
    std::vector<std::uint8_t> buffer(c.GetRecordSize());
    c.Last();
    ASSERT_EQ(c.GetPriorRecord(buffer), 0);
    EXPECT_EQ(GetText(c, buffer, 2), "alice@x.org");
    EXPECT_EQ(c.GetRecordNumber(), 3);
    ASSERT_EQ(c.GetNextRecord(buffer), kErrEndOfFile);
    EXPECT_EQ(c.GetNextRecord(buffer), kErrEndOfFile);
    EXPECT_TRUE(std::all_of(buffer.begin(), buffer.end(), [](auto b) { return b == 0; }));
    c.SetIndex(kNoIndex);
    EXPECT_EQ(Items(c), (std::vector<std::string>{"carol@x.org", "alice@x.org", "bob@x.org"}));
    EXPECT_EQ(CodeOf([&] { c.SetIndexByName("Nope"); }), kErrInvalidIndexName);
    EXPECT_EQ(c.CurrentIndex(), kNoIndex);
}

// A modify rewrites the keys of the indexes whose fields changed, and those alone; a new record
// ID (kept with the fetch option) changes every key that carries it. Each index then still
// finds every record, and a delete finds every key it must remove.
TEST_F(DataCursor, ModifiedRecordsKeepEveryIndexTrue) {
    TDataCursor& c = CreateAndOpen(ListTableDefinition());
    InsertEntry(c, "a@x", "A", 1);
    InsertEntry(c, "b@x", "A", 2);
    InsertEntry(c, "c@x", "B", 3);
    std::vector<std::uint8_t> buffer(c.GetRecordSize());
    const auto modify = [&](std::string_view item, const std::function<void()>& change) {
        c.SetIndexByName("ByItem");
        c.First();
        while (c.GetNextRecord(buffer) == 0) {
            if (GetText(c, buffer, 2) == item) {
                change();
                c.ModifyRecord(buffer, false, false);
                return;
            }
        }
        ADD_FAILURE() << "no " << item;
    };
    const auto in_order = [&](std::string_view index) {
        c.SetIndexByName(index);
        return Items(c);
    };
    using Items = std::vector<std::string>;
    modify("b@x", [&] { PutText(c, buffer, 5, "a comment"); });
    EXPECT_EQ(in_order("ByBounce"), (Items{"a@x", "b@x", "c@x"}));
    modify("b@x", [&] { PutInt(c, buffer, 4, 9); });
    EXPECT_EQ(in_order("ByBounce"), (Items{"a@x", "c@x", "b@x"}));
    modify("a@x", [&] { PutText(c, buffer, 3, "C"); });
    EXPECT_EQ(in_order("ByCategory"), (Items{"b@x", "c@x", "a@x"}));
    c.SetFetchOption(true);
    modify("c@x", [&] { TDataCursor::SetRecordIdOf(buffer, 50); });
    c.SetFetchOption(false);
    c.SetIndexByName("ByCategory");
    c.First();
    while (c.GetNextRecord(buffer) == 0) {
        if (GetText(c, buffer, 2) == "c@x")
            c.DeleteRecord(buffer, false);
    }
    EXPECT_EQ(c.GetRecordCount(), 2);
    for (const char* index : {"ByItem", "ByCategory", "ByBounce"})
        EXPECT_EQ(in_order(index).size(), 2u) << index;
    EXPECT_EQ(in_order("ByBounce"), (Items{"a@x", "b@x"}));
}

TEST_F(DataCursor, DuplicateKeyLeavesTableUnchanged) {
    TDataCursor& c = CreateAndOpen(ListTableDefinition());
    InsertEntry(c, "alice@x.org", "A", 1);
    InsertEntry(c, "bob@x.org", "B", 2);
    const auto slots = c.GetRecordSlotCount();
    // ByItem is case-insensitive and unique.
    EXPECT_EQ(CodeOf([&] { InsertEntry(c, "ALICE@x.org", "C", 3); }), kErrDuplicateKey);
    EXPECT_EQ(c.GetRecordCount(), 2);
    EXPECT_EQ(c.GetRecordSlotCount(), slots);
    for (const char* index : {"", "ByItem", "ByCategory", "ByBounce"}) {
        c.SetIndexByName(index);
        EXPECT_EQ(Items(c).size(), 2u) << index;
    }
    // A modify onto an existing key is refused the same way.
    c.SetIndexByName("ByItem");
    std::vector<std::uint8_t> buffer(c.GetRecordSize());
    c.First();
    ASSERT_EQ(c.GetNextRecord(buffer), 0);
    PutText(c, buffer, 2, "BOB@x.org");
    EXPECT_EQ(CodeOf([&] { c.ModifyRecord(buffer, true, true); }), kErrDuplicateKey);
    EXPECT_EQ(Items(c), (std::vector<std::string>{"alice@x.org", "bob@x.org"}));
}

// The message names the index by its own name; the primary index has none.
TEST_F(DataCursor, DuplicateKeyNamesTheIndexItsOwnWay) {
    TableDefinition definition = ListTableDefinition();
    definition.indexes = {MakeIndex("", {2}, true), MakeIndex("ByCategory", {3}, true)};
    TDataCursor& c = CreateAndOpen(definition);
    InsertEntry(c, "alice@x.org", "A", 1);
    InsertEntry(c, "bob@x.org", "B", 1);
    const auto message_of = [](const std::function<void()>& action) {
        try {
            action();
        } catch (const EStrataEngineError& error) {
            EXPECT_EQ(error.ErrorCode(), kErrDuplicateKey);
            return std::string(error.what());
        }
        return std::string("no error");
    };
    const std::string primary =
        "Strata Engine Error # 9729 Duplicate key found in index '' of table 'mailist'";
    const std::string secondary =
        "Strata Engine Error # 9729 Duplicate key found in index 'BYCATEGORY' of table 'mailist'";
    EXPECT_EQ(message_of([&] { InsertEntry(c, "alice@x.org", "C", 3); }), primary);
    EXPECT_EQ(message_of([&] { InsertEntry(c, "carol@x.org", "A", 3); }), secondary);
    std::vector<std::uint8_t> buffer(c.GetRecordSize());
    c.First();
    ASSERT_EQ(c.GetNextRecord(buffer), 0);
    ASSERT_EQ(c.GetCurrentRecord(buffer, true), 0);
    PutText(c, buffer, 2, "bob@x.org");
    EXPECT_EQ(message_of([&] { c.ModifyRecord(buffer, true, true); }), primary);
    EXPECT_EQ(Items(c), (std::vector<std::string>{"alice@x.org", "bob@x.org"}));
}

// With forced flushes a post returns once its bytes are on disk: each file
// it wrote is synced once, after all of its writes, and the in-progress mark
// once before them. The mark comes off after those syncs and reaches the disk
// with the next one, so the first flush that wrote nothing syncs that byte
// alone, and the next syncs nothing.
TEST_F(DataCursor, ForcedFlushSyncsEachWrittenFileOnce) {
    session->SetForceBufferFlush(true);
    TDataCursor& c = CreateAndOpen(ListTableDefinition(), "mailist", false);
    for (int i = 0; i < 40; ++i) {
        const std::uint64_t before = TPhysicalFile::SyncCount();
        InsertEntry(c, "member" + std::to_string(i) + "@x.org", "news", i);
        // The mark, then the data file and the index file.
        EXPECT_EQ(TPhysicalFile::SyncCount() - before, 3u) << i;
    }
    const std::uint64_t before = TPhysicalFile::SyncCount();
    c.FlushBuffers(false, false, false);
    EXPECT_EQ(TPhysicalFile::SyncCount(), before + 1);
    c.FlushBuffers(false, false, false);
    EXPECT_EQ(TPhysicalFile::SyncCount(), before + 1);
    c.Close();
    TDataCursor& reopened = NewCursor();
    reopened.Open();
    EXPECT_EQ(reopened.GetTableRecordCount(), 40);
}

TEST_F(DataCursor, DeletedSlotsAreReusedOnlyWithAPrimaryIndex) {
    for (const bool primary : {true, false}) {
        TableDefinition definition = ListTableDefinition();
        if (!primary)
            definition.indexes.front() = IndexDescriptor{};
        const std::string name = primary ? "withkey" : "nokey";
        TDataCursor& c = CreateAndOpen(definition, name);
        InsertEntry(c, "a@x", "A", 1);
        InsertEntry(c, "b@x", "A", 2);
        InsertEntry(c, "c@x", "A", 3);
        c.SetIndexByName("ByItem");
        std::vector<std::uint8_t> buffer(c.GetRecordSize());
        c.First();
        ASSERT_EQ(c.GetNextRecord(buffer), 0);
        const std::uint32_t freed = c.GetCurrentRecordNo();
        c.DeleteRecord(buffer, true);
        EXPECT_EQ(c.GetRecordCount(), 2);
        InsertEntry(c, "d@x", "A", 4);
        EXPECT_EQ(c.GetRecordCount(), 3);
        ASSERT_TRUE(c.FindKey(
            false,
            [&] {
                std::vector<std::uint8_t> probe(c.GetRecordSize());
                PutText(c, probe, 2, "d@x");
                return probe;
            }(),
            {}, 0, false, 1));
        EXPECT_EQ(c.GetCurrentRecordNo(), primary ? freed : 4u) << name;
    }
}

TEST_F(DataCursor, RangesFindKeyAndPartialSearch) {
    TDataCursor& c = CreateAndOpen(ListTableDefinition());
    for (int i = 0; i < 40; ++i)
        InsertEntry(c, "user" + std::to_string(100 + i) + "@x", i % 2 ? "Even" : "Odd", i % 5);
    c.SetIndexByName("ByBounce");
    std::vector<std::uint8_t> low(c.GetRecordSize());
    std::vector<std::uint8_t> high(c.GetRecordSize());
    PutInt(c, low, 4, 1);
    PutInt(c, high, 4, 2);
    c.SetRangeKeys(false, low, 1, high, 1);
    EXPECT_EQ(c.GetRecordCount(), 16);
    EXPECT_EQ(Items(c).size(), 16u);
    // A start above the end gives an empty range.
    c.SetRangeKeys(false, high, 1, low, 1);
    EXPECT_EQ(c.GetRecordCount(), 0);
    c.First();
    EXPECT_TRUE(c.Bof() && c.Eof());
    // Without an end the range runs to the last key.
    c.SetRangeKeys(false, high, 1, {}, 0);
    EXPECT_EQ(c.GetRecordCount(), 24);
    c.CancelRange();
    EXPECT_EQ(c.GetRecordCount(), 40);

    c.SetIndexByName("ByItem");
    std::vector<std::uint8_t> probe(c.GetRecordSize());
    std::vector<std::uint8_t> found(c.GetRecordSize());
    PutText(c, probe, 2, "user12");
    EXPECT_TRUE(c.FindKey(false, probe, found, 6, true, 0));
    EXPECT_EQ(GetText(c, found, 2), "user120@x");
    PutText(c, probe, 2, "USER131@X");
    EXPECT_TRUE(c.FindKey(false, probe, found, 0, false, 1));
    EXPECT_EQ(GetText(c, found, 2), "user131@x");
    // A partial value longer than the field finds nothing.
    const std::string long_value(80, 'u');
    PutText(c, probe, 2, long_value);
    EXPECT_FALSE(c.FindKey(false, probe, found, 200, true, 0));
    c.SetIndex(kNoIndex);
    EXPECT_FALSE(c.FindKey(false, probe, found, 0, true, 1));
}

// GotoBookmark answers whether the cursor now stands where the bookmark says, as comparing it
// with GetBookmark() would, in record order and index order: a live record's mark, a deleted
// record's, one past the last record, one of another size and an empty one.
TEST_F(DataCursor, GotoBookmarkAnswersAsTheBookmarkItLandsOn) {
    TDataCursor& c = CreateAndOpen(ListTableDefinition());
    for (const char* item : {"a@x", "b@x", "c@x", "d@x", "e@x"})
        InsertEntry(c, item, "A", 1);
    std::vector<std::uint8_t> buffer(c.GetRecordSize());
    // The third record, numbered 3, goes; its key's mark is kept.
    c.SetIndexByName("ByItem");
    c.First();
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(c.GetNextRecord(buffer), kErrNone);
    ASSERT_EQ(GetText(c, buffer, 2), "c@x");
    const std::vector<std::uint8_t> gone_key = c.GetBookmark();
    c.DeleteRecord(buffer, false);
    for (const bool physical : {true, false}) {
        SCOPED_TRACE(physical);
        if (physical)
            c.SetIndex(kNoIndex);
        else
            c.SetIndexByName("ByItem");
        std::vector<std::vector<std::uint8_t>> marks;
        c.First();
        while (c.GetNextRecord(buffer) == kErrNone)
            marks.push_back(c.GetBookmark());
        ASSERT_EQ(marks.size(), 4u);
        std::vector<std::uint8_t> gone = gone_key;
        std::vector<std::uint8_t> beyond = marks[3];
        if (physical) {
            gone = marks[1];
            PutU32(gone, 0, 3);
            PutU32(beyond, 0, 9);
        } else {
            beyond.assign(beyond.size(), 0xFF);
        }
        std::vector<std::uint8_t> longer = marks[0];
        longer.push_back(0);
        const std::vector<std::uint8_t> shorter(marks[0].begin(), marks[0].end() - 1);
        for (const auto& mark : {marks[0], marks[2], marks[3], gone, beyond, longer, shorter,
                                 std::vector<std::uint8_t>{}}) {
            c.First();
            const bool landed = c.GotoBookmark(mark, false);
            EXPECT_EQ(landed, c.GetBookmark() == mark);
        }
        for (const auto& mark : marks) {
            c.Last();
            EXPECT_TRUE(c.GotoBookmark(mark, false));
        }
    }
}

TEST_F(DataCursor, BookmarksAndClonesReturnToTheirRecord) {
    TDataCursor& c = CreateAndOpen(ListTableDefinition());
    for (const char* item : {"a@x", "b@x", "c@x", "d@x"})
        InsertEntry(c, item, "A", 1);
    c.SetIndexByName("ByItem");
    c.GotoRecord(2);
    const std::vector<std::uint8_t> mark = c.GetBookmark();
    auto clone = c.CloneCursor();
    std::vector<std::uint8_t> buffer(c.GetRecordSize());
    ASSERT_EQ(clone->GetCurrentRecord(buffer, false), 0);
    EXPECT_EQ(GetText(*clone, buffer, 2), "b@x");
    EXPECT_EQ(clone->CurrentIndexName(), "BYITEM");
    clone.reset();
    c.First();
    EXPECT_TRUE(c.GotoBookmark(mark, false));
    ASSERT_EQ(c.GetCurrentRecord(buffer, false), 0);
    EXPECT_EQ(GetText(c, buffer, 2), "b@x");
    c.DeleteRecord(buffer, true);
    c.First();
    // The deleted record's bookmark lands on the next record.
    EXPECT_FALSE(c.GotoBookmark(mark, false));
    ASSERT_EQ(c.GetCurrentRecord(buffer, false), 0);
    EXPECT_EQ(GetText(c, buffer, 2), "c@x");
    EXPECT_LT(c.CompareBookmarks(mark, c.GetBookmark()), 0);
}

TEST_F(DataCursor, RecordIdWrapsOnceForKeysAndRecord) {
    TDataCursor& c = CreateAndOpen(ListTableDefinition());
    c.SetLastAutoInc(2147483646);
    InsertEntry(c, "a@x", "A", 1);
    InsertEntry(c, "b@x", "A", 1);
    std::vector<std::uint8_t> buffer(c.GetRecordSize());
    c.First();
    std::vector<std::int32_t> ids;
    while (c.GetNextRecord(buffer) == 0)
        ids.push_back(*GetInt(c, buffer, 1));
    // The primary index orders by Index, and each record is found by its own.
    EXPECT_EQ(ids, (std::vector<std::int32_t>{1, 2147483647}));
    std::vector<std::uint8_t> probe(c.GetRecordSize());
    PutInt(c, probe, 1, 1);
    ASSERT_TRUE(c.FindKey(false, probe, buffer, 0, false, 0));
    EXPECT_EQ(GetText(c, buffer, 2), "b@x");
}

TEST_F(DataCursor, ValidityChecksAndBlankStrings) {
    TableDefinition definition = ListTableDefinition();
    definition.fields[1][fd::kRequired] = 1;
    PutShortString(definition.fields[3], fd::kMinimum, fd::kTextLength, "0");
    PutShortString(definition.fields[3], fd::kMaximum, fd::kTextLength, "9");
    PutShortString(definition.fields[2], fd::kDefault, fd::kTextLength, "General");
    TDataCursor& c = CreateAndOpen(definition);
    std::vector<std::uint8_t> buffer(c.GetRecordSize());
    c.InitNewRecord(buffer);
    EXPECT_EQ(GetText(c, buffer, 3), "General");
    EXPECT_EQ(CodeOf([&] { c.InsertRecord(buffer, false); }), kErrRequiredValue);
    PutText(c, buffer, 2, "   ");
    EXPECT_EQ(GetText(c, buffer, 2), "<null>");
    PutText(c, buffer, 2, "a@x");
    PutInt(c, buffer, 4, 10);
    EXPECT_EQ(CodeOf([&] { c.InsertRecord(buffer, false); }), kErrAboveMaximum);
    PutInt(c, buffer, 4, -1);
    EXPECT_EQ(CodeOf([&] { c.InsertRecord(buffer, false); }), kErrBelowMinimum);
    PutInt(c, buffer, 4, 3);
    c.InsertRecord(buffer, false);
    EXPECT_EQ(c.GetRecordCount(), 1);
}

// A default or a check given to a field of an open table holds from the next record on.
TEST_F(DataCursor, FieldDescriptorChangesHoldAtOnce) {
    TDataCursor& c = CreateAndOpen(ListTableDefinition());
    FieldDescriptor bounces = c.GetTableFieldDesc(4);
    PutShortString(bounces, fd::kDefault, fd::kTextLength, "4");
    PutShortString(bounces, fd::kMaximum, fd::kTextLength, "9");
    c.SetFieldDesc(4, bounces);
    std::vector<std::uint8_t> buffer(c.GetRecordSize());
    c.InitNewRecord(buffer);
    EXPECT_EQ(GetInt(c, buffer, 4), 4);
    PutText(c, buffer, 2, "a@x");
    PutInt(c, buffer, 4, 10);
    EXPECT_EQ(CodeOf([&] { c.InsertRecord(buffer, false); }), kErrAboveMaximum);
}

struct DefinitionCase {
    const char* name;
    std::function<void(TableDefinition&)> change;
    EngineErrorCode code;
};

TEST_F(DataCursor, DefinitionsAreCheckedBeforeAnyFileExists) {
    const std::vector<DefinitionCase> cases = {
        {"password16",
         [](TableDefinition& d) {
             d.encrypted = true;
             d.password = std::string(16, 'p');
         },
         kErrInvalidPassword},
        {"password15",
         [](TableDefinition& d) {
             d.encrypted = true;
             d.password = std::string(15, 'p');
         },
         0},
        {"block63", [](TableDefinition& d) { d.blob_block_size = 63; }, kErrBlobLimit},
        {"block64", [](TableDefinition& d) { d.blob_block_size = 64; }, 0},
        {"indexes31",
         [](TableDefinition& d) {
             for (int i = 0; i < 28; ++i)
                 d.indexes.push_back(MakeIndex("X" + std::to_string(i), {4}, false));
         },
         kErrIndexLimit},
        {"indexes30",
         [](TableDefinition& d) {
             for (int i = 0; i < 27; ++i)
                 d.indexes.push_back(MakeIndex("X" + std::to_string(i), {4}, false));
         },
         0},
        {"samename",
         [](TableDefinition& d) {
             PutShortString(d.fields[5], fd::kName, fd::kNameLength, "ITEM");
         },
         kErrInvalidFieldName},
        {"samenamelater",
         [](TableDefinition& d) {
             // Repeats the first field's number and the second field's name.
             PutShortString(d.fields[5], fd::kName, fd::kNameLength, "item");
             PutU16(d.fields[5], fd::kNumber, 1);
         },
         kErrInvalidFieldName},
        {"samenumber", [](TableDefinition& d) { PutU16(d.fields[5], fd::kNumber, 1); },
         kErrInvalidFieldDefinition},
        {"keysize",
         [](TableDefinition& d) {
             d.fields[4][fd::kLength] = 250;
             d.fields[5][fd::kLength] = 250;
             d.fields[6][fd::kLength] = 19;
             d.indexes.push_back(MakeIndex("Big", {5, 6, 7}, true));
         },
         kErrInvalidKeySize},
        {"keysize524",
         [](TableDefinition& d) {
             d.fields[4][fd::kLength] = 250;
             d.fields[5][fd::kLength] = 250;
             d.fields[6][fd::kLength] = 18;
             d.indexes.push_back(MakeIndex("Big", {5, 6, 7}, true));
         },
         0},
    };
    for (const DefinitionCase& test : cases) {
        TableDefinition definition = ListTableDefinition();
        test.change(definition);
        TDataCursor& c = NewCursor(test.name);
        EXPECT_EQ(CodeOf([&] { c.CreateTable(definition, false); }), test.code) << test.name;
        const bool exists = std::filesystem::exists(dir.File(std::string(test.name) + ".DAT"));
        EXPECT_EQ(exists, test.code == 0) << test.name;
    }
    TDataCursor& again = NewCursor("block64");
    EXPECT_EQ(CodeOf([&] { again.CreateTable(ListTableDefinition(), false); }), kErrTableExists);
}

TEST_F(DataCursor, OptionsAreFixedWhileOpen) {
    TDataCursor& c = CreateAndOpen(ListTableDefinition());
    EXPECT_EQ(CodeOf([&] { c.SetExclusive(false); }), kErrTableInUse);
    EXPECT_TRUE(c.Exclusive());
    EXPECT_EQ(CodeOf([&] { c.DeleteTable(); }), kErrTableInUse);
}

TEST_F(DataCursor, PasswordsMatchExactlyAndLoopsEnd) {
    TableDefinition definition = ListTableDefinition();
    definition.encrypted = true;
    definition.password = "pass-word";
    TDataCursor& creator = NewCursor("secret");
    creator.CreateTable(definition, false);
    EXPECT_FALSE(session->HasPassword("pass-word"));
    TDataCursor& c = NewCursor("secret");
    EXPECT_EQ(CodeOf([&] { c.Open(); }), kErrPasswordRequired);
    int asked = 0;
    c.SetPasswordHandler([&] {
        ++asked;
        return true;  // "retry" without giving anything
    });
    EXPECT_EQ(CodeOf([&] { c.Open(); }), kErrPasswordRequired);
    EXPECT_EQ(asked, 1);
    session->AddPassword("password");
    EXPECT_FALSE(session->HasPassword("pass-word"));
    c.SetPasswordHandler([&] {
        session->AddPassword("pass-word");
        return true;
    });
    c.Open();
    EXPECT_TRUE(c.IsOpen());
    EXPECT_EQ(c.GetTablePassword(), "pass-word");
}

TEST_F(DataCursor, BlobsThroughTheCursor) {
    TableDefinition definition = ListTableDefinition();
    definition.fields.push_back(MakeFieldDescriptor(9, "Notes", 3, 22));
    LayOut(definition.fields);
    TDataCursor& c = CreateAndOpen(definition);
    std::vector<std::uint8_t> buffer(c.GetRecordSize());
    c.InitNewRecord(buffer);
    PutText(c, buffer, 2, "a@x");
    ASSERT_EQ(c.OpenBlob(9, buffer, kBlobOpenReadWrite), 0);
    ASSERT_EQ(c.OpenBlob(9, buffer, kBlobOpenReadWrite), 0);
    EXPECT_EQ(c.OpenBlobCount(), 1u);
    std::vector<std::uint8_t> data(100);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<std::uint8_t>(i + 1);
    ASSERT_EQ(c.WriteBlob(9, buffer, 100, data.data(), 0), 0);
    std::uint32_t got = 0;
    std::vector<std::uint8_t> out(10);
    EXPECT_EQ(c.ReadBlob(9, buffer, got, 10, out.data(), 95), kErrEndOfBlob);
    EXPECT_EQ(got, 5u);
    EXPECT_EQ(c.ReadBlob(9, buffer, got, 10, out.data(), 100), kErrEndOfBlob);
    EXPECT_EQ(got, 0u);
    ASSERT_EQ(c.WriteBlob(9, buffer, 10, data.data(), 200), 0);
    std::uint32_t size = 0;
    ASSERT_EQ(c.GetBlobSize(9, buffer, size), 0);
    EXPECT_EQ(size, 210u);
    ASSERT_EQ(c.ReadBlob(9, buffer, got, 10, out.data(), 150), 0);
    EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](auto b) { return b == 0; }));
    c.InsertRecord(buffer, true);
    EXPECT_EQ(c.OpenBlobCount(), 0u);

    // Read back after a reopen.
    c.Close();
    c.Open();
    c.First();
    ASSERT_EQ(c.GetNextRecord(buffer), 0);
    const std::vector<std::uint8_t> before = buffer;
    ASSERT_EQ(c.OpenBlob(9, buffer, kBlobOpenRead), 0);
    ASSERT_EQ(c.GetBlobSize(9, buffer, size), 0);
    EXPECT_EQ(size, 210u);
    out.resize(210);
    ASSERT_EQ(c.ReadBlob(9, buffer, got, 100, out.data(), 0), kErrNone);
    EXPECT_EQ(out[99], 100);
    // Closing a changed blob without posting restores the old reference.
    ASSERT_EQ(c.TruncateBlob(9, buffer, 0), 0);
    ASSERT_EQ(c.CloseBlob(9, buffer), 0);
    EXPECT_EQ(buffer, before);
    EXPECT_EQ(c.ReadBlob(9, buffer, got, 1, out.data(), 0), kErrInvalidBlobHandle);
    // Offset and count add up in 64 bits; beyond the blob limit is refused.
    ASSERT_EQ(c.OpenBlob(9, buffer, kBlobOpenReadWrite), 0);
    EXPECT_EQ(c.WriteBlob(9, buffer, 10, data.data(), 4294967290u), kErrInvalidBlobLength);
    EXPECT_EQ(c.WriteBlob(9, buffer, 10, data.data(), 2000000000u), kErrInvalidBlobLength);
    EXPECT_EQ(c.TruncateBlob(9, buffer, 2000000001u), kErrInvalidBlobLength);
    ASSERT_EQ(c.GetBlobSize(9, buffer, size), 0);
    EXPECT_EQ(size, 210u);
    EXPECT_EQ(c.OpenBlob(2, buffer, kBlobOpenRead), kErrInvalidBlobField);
}

// A blob that cannot get the memory it grows to (met here under a test limit, as near the 2 GB
// limit) fails with the engine's out-of-memory error, on writing and on reading, and keeps what
// it held; the same blob reads whole once the memory is there.
TEST_F(DataCursor, BlobsWithoutTheirMemoryFailWithTheEngineErrorAndKeepTheirData) {
    struct LiftLimit {
        ~LiftLimit() { SetEngineRequestLimit(0); }
    } lift;
    TableDefinition definition = ListTableDefinition();
    definition.fields.push_back(MakeFieldDescriptor(9, "Notes", 3, 22));
    LayOut(definition.fields);
    TDataCursor& c = CreateAndOpen(definition);
    std::vector<std::uint8_t> buffer(c.GetRecordSize());
    c.InitNewRecord(buffer);
    PutText(c, buffer, 2, "a@x");
    ASSERT_EQ(c.OpenBlob(9, buffer, kBlobOpenReadWrite), 0);
    std::vector<std::uint8_t> data(300000);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<std::uint8_t>(i * 7 + 1);
    ASSERT_EQ(c.WriteBlob(9, buffer, 300000, data.data(), 0), 0);
    SetEngineRequestLimit(1 << 20);
    std::uint8_t tail = 9;
    EXPECT_EQ(c.WriteBlob(9, buffer, 1, &tail, 1999999999u), kErrOutOfMemory);
    EXPECT_EQ(c.TruncateBlob(9, buffer, 1500000000u), kErrOutOfMemory);
    std::uint32_t size = 0;
    ASSERT_EQ(c.GetBlobSize(9, buffer, size), 0);
    EXPECT_EQ(size, 300000u);
    SetEngineRequestLimit(0);
    c.InsertRecord(buffer, true);

    c.Close();
    c.Open();
    c.First();
    ASSERT_EQ(c.GetNextRecord(buffer), 0);
    const std::vector<std::uint8_t> before = buffer;
    SetEngineRequestLimit(200000);
    EXPECT_EQ(c.OpenBlob(9, buffer, kBlobOpenRead), kErrOutOfMemory);
    EXPECT_EQ(c.OpenBlobCount(), 0u);
    EXPECT_EQ(buffer, before);
    SetEngineRequestLimit(0);
    ASSERT_EQ(c.OpenBlob(9, buffer, kBlobOpenRead), 0);
    std::vector<std::uint8_t> out(data.size());
    std::uint32_t got = 0;
    ASSERT_EQ(c.ReadBlob(9, buffer, got, 300000, out.data(), 0), kErrNone);
    EXPECT_EQ(out, data);
}

// Blobs whose sizes fall on, just before and just after the ends of blocks, written, grown,
// shrunk and partly overwritten through the cursor, read back whole after a reopen, and the
// blob file verifies clean.
TEST_F(DataCursor, BlobsAtBlockBoundariesReadBackWhole) {
    for (const std::uint32_t block : {64u, 512u}) {
        SCOPED_TRACE(block);
        TableDefinition definition;
        definition.fields = {MakeFieldDescriptor(1, "Id", 6), MakeFieldDescriptor(2, "Memo", 3)};
        LayOut(definition.fields);
        definition.indexes = {MakeIndex("", {1}, true)};
        definition.blob_block_size = block;
        const std::string table = "edges" + std::to_string(block);
        TDataCursor& c = CreateAndOpen(definition, table);
        std::vector<std::uint32_t> sizes;
        for (std::uint32_t k = 1; k <= 4; ++k) {
            for (std::uint32_t d = 0; d <= 40; ++d)
                sizes.push_back(k * block + 2 - d);
        }
        const auto content = [](std::int32_t id, std::uint32_t size, std::uint8_t salt) {
            std::vector<std::uint8_t> bytes(size);
            for (std::uint32_t i = 0; i < size; ++i)
                bytes[i] = static_cast<std::uint8_t>(i * 7 + static_cast<std::uint32_t>(id) + salt);
            return bytes;
        };
        std::vector<std::uint8_t> buffer(c.GetRecordSize());
        std::map<std::int32_t, std::vector<std::uint8_t>> expected;
        for (std::size_t i = 0; i < sizes.size(); ++i) {
            const auto id = static_cast<std::int32_t>(i + 1);
            c.InitNewRecord(buffer);
            PutInt(c, buffer, 1, id);
            expected[id] = content(id, sizes[i], 0);
            ASSERT_EQ(c.OpenBlob(2, buffer, kBlobOpenReadWrite), kErrNone);
            ASSERT_EQ(c.WriteBlob(2, buffer, sizes[i], expected[id].data(), 0), kErrNone);
            c.InsertRecord(buffer, false);
            c.FreeBlobs();
        }
        // Every third grows by a block and a byte, every third shrinks across a block's end,
        // every third has a stretch across a block's end overwritten.
        c.SetIndex(0);
        c.First();
        while (c.GetNextRecord(buffer) == kErrNone) {
            const std::int32_t id = *GetInt(c, buffer, 1);
            std::vector<std::uint8_t>& want = expected[id];
            ASSERT_EQ(c.OpenBlob(2, buffer, kBlobOpenReadWrite), kErrNone);
            if (id % 3 == 0) {
                const auto more =
                    content(id, static_cast<std::uint32_t>(want.size()) + block + 1, 9);
                ASSERT_EQ(
                    c.WriteBlob(2, buffer, static_cast<std::uint32_t>(more.size()), more.data(), 0),
                    kErrNone);
                want = more;
            } else if (id % 3 == 1) {
                const auto shorter =
                    static_cast<std::uint32_t>(want.size() > block ? want.size() - block + 3 : 1);
                ASSERT_EQ(c.TruncateBlob(2, buffer, shorter), kErrNone);
                want.resize(shorter);
            } else {
                const std::uint32_t at = want.size() > block ? block - 5 : 0;
                const std::vector<std::uint8_t> stretch(10, 0xEE);
                ASSERT_EQ(c.WriteBlob(2, buffer, 10, stretch.data(), at), kErrNone);
                if (want.size() < at + 10)
                    want.resize(at + 10);
                std::copy(stretch.begin(), stretch.end(), want.begin() + at);
            }
            c.ModifyRecord(buffer, true, false);
            c.FreeBlobs();
        }
        c.Close();
        c.Open();
        c.First();
        std::size_t seen = 0;
        while (c.GetNextRecord(buffer) == kErrNone) {
            const std::int32_t id = *GetInt(c, buffer, 1);
            ASSERT_EQ(c.OpenBlob(2, buffer, kBlobOpenRead), kErrNone);
            std::uint32_t size = 0;
            ASSERT_EQ(c.GetBlobSize(2, buffer, size), kErrNone);
            std::vector<std::uint8_t> got(size);
            std::uint32_t count = 0;
            ASSERT_EQ(c.ReadBlob(2, buffer, count, size, got.data(), 0), kErrNone);
            EXPECT_EQ(got, expected[id]) << "record " << id;
            c.FreeBlobs();
            ++seen;
        }
        EXPECT_EQ(seen, sizes.size());
        c.Close();
        std::vector<std::string> lines;
        RepairTable(NewCursor(table), true, 0, {},
                    [&](std::string_view line) { lines.emplace_back(line); });
        EXPECT_EQ(lines.size(), 2u) << (lines.size() > 1 ? lines[1] : "");
    }
}

TEST_F(DataCursor, SixtyFifthOpenBlobIsRefused) {
    TableDefinition definition = ListTableDefinition();
    definition.fields.push_back(MakeFieldDescriptor(9, "Notes", 3, 22));
    LayOut(definition.fields);
    TDataCursor& c = CreateAndOpen(definition);
    std::vector<std::vector<std::uint8_t>> buffers(65,
                                                   std::vector<std::uint8_t>(c.GetRecordSize()));
    for (std::size_t i = 0; i < 64; ++i)
        ASSERT_EQ(c.OpenBlob(9, buffers[i], kBlobOpenReadWrite), 0);
    EXPECT_EQ(c.OpenBlob(9, buffers[64], kBlobOpenReadWrite), kErrTooManyBlobs);
    c.FreeBlobs();
    EXPECT_EQ(c.OpenBlob(9, buffers[64], kBlobOpenReadWrite), 0);
}

TEST_F(DataCursor, LostIndexFileKeepsRecordsInPhysicalOrder) {
    {
        TDataCursor& c = CreateAndOpen(ListTableDefinition());
        InsertEntry(c, "a@x", "A", 1);
        InsertEntry(c, "b@x", "A", 2);
        InsertEntry(c, "c@x", "A", 3);
        c.SetIndexByName("ByItem");
        std::vector<std::uint8_t> buffer(c.GetRecordSize());
        c.First();
        ASSERT_EQ(c.GetNextRecord(buffer), 0);
        c.DeleteRecord(buffer, true);
        c.Close();
    }
    std::filesystem::remove(dir.File("mailist.IDX"));
    TDataCursor& c = NewCursor();
    c.Open();
    // Only the hidden index comes back: no primary, no secondary indexes.
    EXPECT_TRUE(c.HasNoPrimaryIndex());
    EXPECT_EQ(c.GetIndexCount(), 0);
    EXPECT_EQ(c.GetTableRecordCount(), 2);
    EXPECT_EQ(Items(c), (std::vector<std::string>{"b@x", "c@x"}));
    EXPECT_EQ(CodeOf([&] { c.SetIndexByName("ByItem"); }), kErrInvalidIndexName);
    // The application's repair path: indexes can be added again.
    c.AddIndex(MakeIndex("ByItem", {2}, true, true));
    c.SetIndexByName("ByItem");
    EXPECT_EQ(Items(c), (std::vector<std::string>{"b@x", "c@x"}));
}

TEST_F(DataCursor, OptimizeKeepsBackupsAndRecords) {
    TableDefinition definition = ListTableDefinition();
    definition.fields.push_back(MakeFieldDescriptor(9, "Notes", 3, 22));
    LayOut(definition.fields);
    {
        TDataCursor& c = CreateAndOpen(definition);
        for (int i = 0; i < 20; ++i)
            InsertEntry(c, "u" + std::to_string(i) + "@x", "A", i);
        std::vector<std::uint8_t> buffer(c.GetRecordSize());
        c.First();
        ASSERT_EQ(c.GetNextRecord(buffer), 0);
        ASSERT_EQ(c.OpenBlob(9, buffer, kBlobOpenReadWrite), 0);
        const std::string text = "hello blob";
        ASSERT_EQ(c.WriteBlob(9, buffer, static_cast<std::uint32_t>(text.size()),
                              reinterpret_cast<const std::uint8_t*>(text.data()), 0),
                  0);
        c.ModifyRecord(buffer, false, true);
        c.Close();
    }
    // The private folder on another file system, as it often is.
    const std::string shm = "/dev/shm/cursor-opt-" + std::to_string(::getpid());
    std::filesystem::create_directories(shm);
    session->SetPrivateDir(shm);
    TDataCursor& c = NewCursor();
    c.OptimizeTable("ByItem", true);
    std::filesystem::remove_all(shm);
    for (const char* ext : {".DBK", ".IBK", ".BBK", ".DAT", ".IDX", ".BLB"})
        EXPECT_TRUE(std::filesystem::exists(dir.File(std::string("mailist") + ext))) << ext;
    c.Open();
    EXPECT_EQ(c.GetRecordCount(), 20);
    c.SetIndex(kNoIndex);
    std::vector<std::uint8_t> buffer(c.GetRecordSize());
    c.First();
    ASSERT_EQ(c.GetNextRecord(buffer), 0);
    // Physical order is now ByItem order: u0, u1, u10, ...
    EXPECT_EQ(GetText(c, buffer, 2), "u0@x");
    ASSERT_EQ(c.OpenBlob(9, buffer, kBlobOpenRead), 0);
    std::uint32_t size = 0;
    ASSERT_EQ(c.GetBlobSize(9, buffer, size), 0);
    EXPECT_EQ(size, 10u);
}

// An index that misses rows, or names a row that is gone, would pack a table
// without them: optimizing refuses it and leaves every file as it was, and
// once the table is repaired it packs every row.
TEST_F(DataCursor, OptimizeRefusesAnIndexOutOfStepWithTheRecords) {
    struct Case {
        const char* table;
        const char* index;
        bool delete_one;
    };
    for (const Case test : {Case{"added", "ByItem", false}, Case{"addedprimary", "", false},
                            Case{"deleted", "ByItem", true}}) {
        const std::string base = dir.File(test.table);
        {
            TDataCursor& c = CreateAndOpen(ListTableDefinition(), test.table);
            for (const char* item : {"a@x", "b@x", "c@x", "d@x"})
                InsertEntry(c, item, "A", 0);
            c.Close();
        }
        const auto stale_index = ReadBytes(base + ".IDX");
        {
            TDataCursor& c = NewCursor(test.table);
            c.Open();
            if (test.delete_one) {
                std::vector<std::uint8_t> buffer(c.GetRecordSize());
                c.SetIndexByName("ByItem");
                c.First();
                ASSERT_EQ(c.GetNextRecord(buffer), 0);
                c.DeleteRecord(buffer, true);
            } else {
                InsertEntry(c, "e@x", "A", 0);
                InsertEntry(c, "f@x", "A", 0);
            }
            c.Close();
        }
        WriteBytes(base + ".IDX", stale_index);
        const auto data = ReadBytes(base + ".DAT");
        TDataCursor& c = NewCursor(test.table);
        EXPECT_EQ(CodeOf([&] { c.OptimizeTable(test.index, true); }), kErrIndexPageCorrupt)
            << test.table;
        EXPECT_EQ(ReadBytes(base + ".DAT"), data) << test.table;
        EXPECT_EQ(ReadBytes(base + ".IDX"), stale_index) << test.table;
        EXPECT_FALSE(std::filesystem::exists(base + ".DBK")) << test.table;

        RepairTable(c, false, 0);
        c.OptimizeTable(test.index, true);
        c.Open();
        c.SetIndex(kNoIndex);
        EXPECT_EQ(Items(c).size(), test.delete_one ? 3u : 6u) << test.table;
        c.Close();
    }
}

TEST_F(DataCursor, DeletingOutsideTheViewKeepsTheViewCount) {
    TDataCursor& c = CreateAndOpen(ListTableDefinition());
    for (int i = 0; i < 10; ++i)
        InsertEntry(c, "u" + std::to_string(i) + "@x", i < 4 ? "A" : "B", i);
    TFilter* filter = c.AddFilter("Category = 'A'", {});
    c.ActivateFilter(filter);
    EXPECT_EQ(c.GetRecordCount(), 4);
    auto other = c.CloneCursor();
    other->DropFilter(nullptr);
    std::vector<std::uint8_t> buffer(other->GetRecordSize());
    other->SetIndexByName("ByItem");
    other->Last();
    ASSERT_EQ(other->GetPriorRecord(buffer), 0);
    ASSERT_EQ(GetText(*other, buffer, 3), "B");
    // The record is outside c's view: its count stays.
    c.FilterRecordDeleted(other->GetCurrentRecordNo());
    EXPECT_EQ(c.ViewCount(), 4);
    c.First();
    ASSERT_EQ(c.GetNextRecord(buffer), 0);
    c.DeleteRecord(buffer, true);
    EXPECT_EQ(c.ViewCount(), 3);
    EXPECT_EQ(c.GetRecordCount(), 3);
}

TEST_F(DataCursor, CancelledBatchKeepsWhatWasWritten) {
    {
        TDataCursor& c = CreateAndOpen(ListTableDefinition(), "mailist", false);
        directory->BeginUpdateBatch();
        InsertEntry(c, "a@x", "A", 1);
        InsertEntry(c, "b@x", "A", 2);
        directory->CancelUpdateBatch();
        c.Close();
    }
    TDataCursor& c = NewCursor();
    c.Open();
    EXPECT_EQ(c.GetRecordCount(), 2);
}

// Closed by its last cursor inside a batch, a table keeps rows its files do not hold yet: a
// cursor that opens it again in the batch, and an optimize, see them (and are not told the
// header is damaged).
TEST_F(DataCursor, ATableOpenedAgainInsideABatchHasItsUnwrittenRows) {
    {
        TDataCursor& c = CreateAndOpen(ListTableDefinition());
        InsertEntry(c, "a@x", "A", 1);
        c.Close();
    }
    for (const bool exclusive : {true, false}) {
        SCOPED_TRACE(exclusive);
        directory->BeginUpdateBatch();
        TDataCursor& writer = NewCursor("mailist", exclusive);
        writer.Open();
        InsertEntry(writer, exclusive ? "b@x" : "c@x", "A", 2);
        writer.Close();
        TDataCursor& reader = NewCursor("mailist", exclusive);
        reader.Open();
        EXPECT_EQ(reader.GetRecordCount(), exclusive ? 2 : 3);
        reader.Close();
        directory->EndUpdateBatch(true);
    }
    directory->BeginUpdateBatch();
    TDataCursor& writer = NewCursor();
    writer.Open();
    InsertEntry(writer, "d@x", "A", 3);
    writer.Close();
    NewCursor().OptimizeTable("ByItem", false);
    directory->EndUpdateBatch(true);
    TDataCursor& c = NewCursor();
    c.Open();
    EXPECT_EQ(Items(c), (std::vector<std::string>{"a@x", "b@x", "c@x", "d@x"}));
}

// What the in-progress mark of the data file holds before each write of a
// post, and how many syncs had been made by then.
struct WriteMoment {
    std::uint8_t mark;
    std::uint64_t syncs;
};
std::vector<WriteMoment> write_moments;
std::string watched_data_file;

void NoteWriteMoment() {
    std::ifstream file(watched_data_file, std::ios::binary);
    char mark = 0;
    file.seekg(111);
    file.get(mark);
    write_moments.push_back({static_cast<std::uint8_t>(mark), TPhysicalFile::SyncCount()});
}

// With forced flushes the mark guards against a power cut as well: it comes
// off only after the syncs that make the post's writes durable.
TEST_F(DataCursor, TheWriteMarkComesOffOnlyAfterTheFlushIsDurable) {
    session->SetForceBufferFlush(true);
    TDataCursor& c = CreateAndOpen(ListTableDefinition(), "mailist", false);
    InsertEntry(c, "first@x.org", "news", 1);
    watched_data_file = dir.File("mailist.DAT");
    for (int i = 0; i < 3; ++i) {
        write_moments.clear();
        const std::uint64_t before = TPhysicalFile::SyncCount();
        SetFileStepHook(NoteWriteMoment);
        InsertEntry(c, "member" + std::to_string(i) + "@x.org", "news", i);
        SetFileStepHook(nullptr);
        const std::uint64_t after = TPhysicalFile::SyncCount();
        EXPECT_GE(after - before, 2u);
        // The last write of the post takes the mark off; every sync of the
        // post came before it.
        ASSERT_FALSE(write_moments.empty());
        EXPECT_EQ(write_moments.back().mark, kWriteInProgressFlag) << i;
        EXPECT_EQ(write_moments.back().syncs, after) << i;
        write_moments.clear();
        NoteWriteMoment();
        EXPECT_NE(write_moments.back().mark, kWriteInProgressFlag) << i;
    }
}

// A flush within an update batch writes without waiting for the disk; the batch's end syncs
// each written file once. With forced flushes the mark stays on until that sync, so that a
// power cut before it is noticed; without, it comes off once all of each flush is written (its
// index pages, which a helper thread writes, included), so that a program killed between two
// flushes leaves a table that opens without a repair, and one killed within a flush does not.
TEST_F(DataCursor, FlushesWithinABatchSyncAtItsEndAndKeepTheMarkAsTheModeAsks) {
    for (const bool force : {false, true}) {
        session->SetForceBufferFlush(force);
        const std::string table = force ? "forced" : "plain";
        TDataCursor& c = CreateAndOpen(ListTableDefinition(), table, false);
        watched_data_file = dir.File(table + ".DAT");
        const auto marked = [] {
            write_moments.clear();
            NoteWriteMoment();
            return write_moments.back().mark == kWriteInProgressFlag;
        };
        directory->BeginUpdateBatch();
        for (int i = 0; i < 20; ++i)
            InsertEntry(c, "u" + std::to_string(i) + "@x", "A", i);
        std::uint64_t before = TPhysicalFile::SyncCount();
        directory->EndUpdateBatch(false);
        // Written through, the mark is synced alone before the first flush's pages; the pages
        // wait for the batch's end.
        EXPECT_EQ(TPhysicalFile::SyncCount() - before, force ? 1u : 0u) << force;
        if (!force) {
            // Another program gets in once the flush's index pages are written (a helper
            // thread writes them): it finds the flush whole and the mark off.
            TDataSession other;
            TDataCursor seen(*other.OpenDirectory("DB", dir.Path().string()));
            seen.SetTableName(table);
            seen.SetExclusive(false);
            seen.Open();
            seen.SetIndexByName("ByItem");
            EXPECT_EQ(seen.GetRecordCount(), 20);
            seen.Close();
        }
        EXPECT_EQ(marked(), force);
        for (int i = 20; i < 40; ++i)
            InsertEntry(c, "u" + std::to_string(i) + "@x", "A", i);
        before = TPhysicalFile::SyncCount();
        directory->EndUpdateBatch(true);
        EXPECT_EQ(TPhysicalFile::SyncCount() - before, 2u) << force;
        EXPECT_FALSE(marked()) << force;
        EXPECT_EQ(c.GetRecordCount(), 40);
        c.Close();
    }
}

// A helper thread that fails to write a flush's index pages leaves the mark on: the table is
// not whole until the batch's end writes them, and only then does the mark come off.
std::thread::id batch_thread;

void RefuseWritesOffTheBatchThread() {
    if (std::this_thread::get_id() != batch_thread)
        throw std::runtime_error("write refused");
}

TEST_F(DataCursor, IndexPagesTheHelperFailsToWriteKeepTheMarkUntilWritten) {
    TDataCursor& c = CreateAndOpen(ListTableDefinition(), "mailist", false);
    watched_data_file = dir.File("mailist.DAT");
    const auto marked = [] {
        write_moments.clear();
        NoteWriteMoment();
        return write_moments.back().mark == kWriteInProgressFlag;
    };
    directory->BeginUpdateBatch();
    for (int i = 0; i < 400; ++i)
        InsertEntry(c, "u" + std::to_string(i) + "@x", "A", i);
    batch_thread = std::this_thread::get_id();
    SetFileStepHook(RefuseWritesOffTheBatchThread);
    directory->EndUpdateBatch(false);
    c.Table()->IndexFile().SettleWriteBehind();
    SetFileStepHook(nullptr);
    EXPECT_TRUE(marked());
    directory->EndUpdateBatch(true);
    EXPECT_FALSE(marked());
    c.Close();
    TDataCursor& reopened = NewCursor("mailist", false);
    reopened.Open();
    reopened.SetIndexByName("ByItem");
    EXPECT_EQ(reopened.GetRecordCount(), 400);
    reopened.Close();
}

// A batch's end syncs each file it wrote once, whether its syncs run one after the other (a
// few pages, as a post leaves) or side by side on helper threads (megabytes of index pages),
// and the table reads back whole either way.
TEST_F(DataCursor, BatchesOfAnySizeEndWithOneSyncPerWrittenFile) {
    session->SetForceBufferFlush(true);
    for (const int rows : {30, 3000}) {
        SCOPED_TRACE(rows);
        const std::string table = "batch" + std::to_string(rows);
        TDataCursor& c = CreateAndOpen(ListTableDefinition(), table, false);
        directory->BeginUpdateBatch();
        for (int i = 0; i < rows; ++i) {
            InsertEntry(c, "member" + std::to_string(i * 7919 % 100003) + "@example.org",
                        "Cat" + std::to_string(i % 20), i % 10);
            if (i == rows / 2)
                directory->EndUpdateBatch(false);
        }
        const std::uint64_t before = TPhysicalFile::SyncCount();
        directory->EndUpdateBatch(true);
        EXPECT_EQ(TPhysicalFile::SyncCount() - before, 2u);
        if (rows > 1000) {
            // Past the size whose syncs go side by side.
            ASSERT_GT(std::filesystem::file_size(dir.File(table + ".IDX")), 1u << 20);
        }
        c.Close();
        TDataCursor& reopened = NewCursor(table, false);
        reopened.Open();
        EXPECT_EQ(reopened.GetTableRecordCount(), rows);
        reopened.Close();
    }
}

TEST_F(DataCursor, SecondCursorOfTheProcessSeesExplicitLocks) {
    TDataCursor& a = CreateAndOpen(ListTableDefinition(), "mailist", false);
    InsertEntry(a, "a@x", "A", 1);
    TDataCursor& b = NewCursor("mailist", false);
    b.Open();
    a.First();
    b.First();
    std::vector<std::uint8_t> buffer(a.GetRecordSize());
    ASSERT_EQ(a.GetNextRecord(buffer), 0);
    ASSERT_EQ(b.GetNextRecord(buffer), 0);
    a.LockRecord(0);
    EXPECT_EQ(CodeOf([&] { b.LockRecord(0); }), kErrRecordLocked);
    EXPECT_EQ(CodeOf([&] { a.LockRecord(0); }), kErrRecordLocked);
    a.UnlockRecord(0);
    b.LockRecord(0);
    b.UnlockRecord(0);
    EXPECT_EQ(CodeOf([&] { b.UnlockRecord(0); }), kErrUnlock);
}

TEST_F(DataCursor, UniqueIndexOverDuplicatesIsNotLeftHalfBuilt) {
    TDataCursor& c = CreateAndOpen(ListTableDefinition());
    InsertEntry(c, "a@x", "Same", 1);
    InsertEntry(c, "b@x", "Same", 2);
    const int before = c.GetIndexCount();
    EXPECT_EQ(CodeOf([&] { c.AddIndex(MakeIndex("UniqueCategory", {3}, true)); }),
              kErrDuplicateKey);
    EXPECT_EQ(c.GetIndexCount(), before);
    EXPECT_EQ(CodeOf([&] { c.SetIndexByName("UniqueCategory"); }), kErrInvalidIndexName);
    c.AddIndex(MakeIndex("UniqueBounce", {4}, true));
    c.SetIndexByName("UniqueBounce");
    EXPECT_EQ(Items(c), (std::vector<std::string>{"a@x", "b@x"}));
    c.DeleteIndex("UniqueBounce", true);
    EXPECT_EQ(c.GetIndexCount(), before);
}

// What a long-lived cursor's edits must leave: every index walks each live record once, in
// its own order (a key built by a layout the index no longer has lands out of order, or is
// not found when its record goes).
void ExpectEveryIndexInOrder(TDataCursor& c, std::multiset<std::string> live) {
    const std::uint8_t before = c.CurrentIndex();
    std::vector<std::uint8_t> buffer(c.GetRecordSize());
    const auto upper = [](std::string text) {
        for (char& ch : text)
            ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
        return text;
    };
    for (int number = 1; number <= c.GetIndexCount(); ++number) {
        c.SetIndex(static_cast<std::uint8_t>(number));
        const std::string name = c.CurrentIndexName();
        SCOPED_TRACE(name);
        using Order = std::pair<std::string, std::int32_t>;
        std::vector<Order> seen;
        std::multiset<std::string> items;
        c.First();
        while (c.GetNextRecord(buffer) == 0) {
            const std::string item = GetText(c, buffer, 2);
            items.insert(item);
            const std::int32_t bounces = GetInt(c, buffer, 4).value_or(-1);
            if (name == "BYITEM")
                seen.emplace_back(upper(item), 0);
            else if (name == "BYCATEGORY")
                seen.emplace_back(upper(GetText(c, buffer, 3)), 0);
            else if (name == "BYBOUNCE")
                seen.emplace_back(std::string(), bounces);
            else
                seen.emplace_back(upper(GetText(c, buffer, 3)), bounces);
        }
        EXPECT_EQ(items, live);
        EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
    }
    c.SetIndex(before);
}

// A cursor keeps the key layouts it built while nothing changes the indexes, and builds by the
// new ones once anything does: after a clone drops an index (those behind move down a slot,
// the cursor's own among them) and adds one, inserts, changes and deletes through the
// long-lived cursor leave every index whole; so do those of a cursor opened after a
// restructure gave the slots other indexes.
TEST_F(DataCursor, LongLivedCursorsBuildKeysByTheIndexesAsTheyAreNow) {
    TDataCursor& c = CreateAndOpen(ListTableDefinition());
    std::multiset<std::string> live;
    int next = 0;
    std::vector<std::uint8_t> buffer(c.GetRecordSize());
    // Physical order, so that every index's key is built from the cursor's kept layouts.
    c.SetIndex(kNoIndex);
    const auto edit_round = [&](TDataCursor& on) {
        for (int i = 0; i < 6; ++i, ++next) {
            const std::string item = "i" + std::to_string(next) + "@x";
            InsertEntry(on, item, std::string(1, static_cast<char>('A' + (next * 7) % 5)),
                        (next * 13) % 11 - 1);
            live.insert(item);
        }
        on.First();
        int seen = 0;
        while (on.GetNextRecord(buffer) == 0) {
            const std::string item = GetText(on, buffer, 2);
            if (seen++ % 3 == 0) {
                on.DeleteRecord(buffer, false);
                live.erase(live.find(item));
            } else if (seen % 3 == 0) {
                PutText(on, buffer, 3, std::string(1, static_cast<char>('E' - seen % 5)));
                PutInt(on, buffer, 4, (seen * 5) % 9);
                on.ModifyRecord(buffer, false, false);
            }
        }
    };
    ASSERT_NO_FATAL_FAILURE(edit_round(c));
    ExpectEveryIndexInOrder(c, live);
    // The cursor stands on a record in the order of ByBounce, which moves down a slot: it
    // keeps its order and its record, and edits through that order.
    c.SetIndexByName("ByBounce");
    c.First();
    ASSERT_EQ(c.GetNextRecord(buffer), 0);
    ASSERT_EQ(c.GetNextRecord(buffer), 0);
    const std::string standing = GetText(c, buffer, 2);
    {
        std::unique_ptr<TDataCursor> clone = c.CloneCursor();
        clone->DeleteIndex("ByItem", true);
    }
    ASSERT_EQ(c.GetIndexCount(), 2);
    ASSERT_EQ(c.GetCurrentRecord(buffer, false), 0);
    EXPECT_EQ(GetText(c, buffer, 2), standing);
    EXPECT_EQ(c.CurrentIndex(), 2);
    EXPECT_EQ(c.CurrentIndexName(), "BYBOUNCE");
    ASSERT_NO_FATAL_FAILURE(edit_round(c));
    ExpectEveryIndexInOrder(c, live);
    {
        std::unique_ptr<TDataCursor> clone = c.CloneCursor();
        clone->AddIndex(MakeIndex("ByBoth", {3, 4}, false, true));
    }
    ASSERT_NO_FATAL_FAILURE(edit_round(c));
    ExpectEveryIndexInOrder(c, live);
    // A restructure that gives the slots other indexes, and the cursor opened again.
    TableDefinition d;
    for (std::uint32_t i = 1; i <= c.GetFieldCount(); ++i)
        d.fields.push_back(c.GetTableFieldDesc(i));
    d.indexes.push_back(c.GetIndexDesc(0));
    d.indexes.push_back(MakeIndex("ByItem", {2}, true, true));
    for (int i = 1; i <= c.GetIndexCount(); ++i) {
        const IndexDescriptor index = c.GetIndexDesc(static_cast<std::uint32_t>(i));
        if (IndexFieldCount(index) != 1 || IndexFieldNumber(index, 0) != 3)  // not ByCategory
            d.indexes.push_back(index);
    }
    d.last_auto_inc = -1;
    c.Close();
    EXPECT_EQ(RestructureTable(NewCursor(), d, {}), RestructureWay::IndexRebuild);
    TDataCursor& after = NewCursor();
    after.Open();
    ASSERT_EQ(after.GetIndexCount(), 3);
    ExpectEveryIndexInOrder(after, live);
    after.SetIndex(kNoIndex);
    ASSERT_NO_FATAL_FAILURE(edit_round(after));
    ExpectEveryIndexInOrder(after, live);
}

TEST_F(DataCursor, IndexBackupRestoresTheIndexFile) {
    TDataCursor& c = CreateAndOpen(ListTableDefinition());
    InsertEntry(c, "a@x", "A", 1);
    c.BackupIndex();
    EXPECT_TRUE(std::filesystem::exists(dir.File("mailist.IBK")));
    c.AddIndex(MakeIndex("Extra", {6}, false));
    EXPECT_EQ(c.GetIndexCount(), 4);
    c.RestoreIndex(false, true);
    EXPECT_FALSE(std::filesystem::exists(dir.File("mailist.IBK")));
    EXPECT_EQ(c.GetIndexCount(), 3);
    c.Close();
    c.Open();
    EXPECT_EQ(c.GetIndexCount(), 3);
    EXPECT_EQ(Items(c), (std::vector<std::string>{"a@x"}));
}

}  // namespace
}  // namespace strata

namespace strata {
namespace {

// Every record under the cursor's current order: its number and its bytes.
std::vector<std::pair<std::int64_t, std::vector<std::uint8_t>>> Records(TDataCursor& c) {
    std::vector<std::pair<std::int64_t, std::vector<std::uint8_t>>> records;
    std::vector<std::uint8_t> buffer(c.GetRecordSize());
    c.First();
    while (c.GetNextRecord(buffer) == 0)
        records.emplace_back(c.GetRecordNumber(), buffer);
    return records;
}

// A table in memory writes its new records straight to its file: after inserts past the
// record cache's size, deletes whose slots are taken again, inserts that move the cursor,
// changes and a batch, it holds the same records, slots and IDs as the same table on disk.
TEST_F(DataCursor, TableInMemoryHoldsWhatTheSameTableOnDiskHolds) {
    TDataDirectory* memory = session->OpenDirectory("MEMORY");
    ASSERT_NE(memory, nullptr);
    const auto make = [&](TDataDirectory& where) -> TDataCursor& {
        cursors.push_back(std::make_unique<TDataCursor>(where));
        TDataCursor& c = *cursors.back();
        c.SetTableName("mailist");
        c.SetExclusive(true);
        c.CreateTable(ListTableDefinition(), true);
        c.Open();
        return c;
    };
    TDataCursor& disk = make(*directory);
    TDataCursor& held = make(*memory);
    for (TDataCursor* c : {&disk, &held}) {
        SCOPED_TRACE(c == &held ? "memory" : "disk");
        for (int i = 0; i < 10000; ++i) {
            InsertEntry(*c, "m" + std::to_string(i) + "@x.org", "C" + std::to_string(i % 7),
                        i % 5 - 1);
        }
        std::vector<std::uint8_t> buffer(c->GetRecordSize());
        c->SetIndex(kNoIndex);
        c->First();
        for (int n = 0; n < 300 && c->GetNextRecord(buffer) == 0; ++n) {
            if (n % 3 == 0)
                c->DeleteRecord(buffer, false);
        }
        // Into the freed slots, then past the end again; the last ones move the cursor.
        for (int i = 0; i < 150; ++i) {
            c->InitNewRecord(buffer);
            PutText(*c, buffer, 2, "again" + std::to_string(i) + "@x.org   ");
            PutText(*c, buffer, 3, "D");
            c->InsertRecord(buffer, i >= 140);
            if (i >= 140) {
                std::vector<std::uint8_t> current(c->GetRecordSize());
                ASSERT_EQ(c->GetCurrentRecord(current, false), 0);
                EXPECT_EQ(GetText(*c, current, 2), "again" + std::to_string(i) + "@x.org");
            }
        }
        c->First();
        ASSERT_EQ(c->GetNextRecord(buffer), 0);
        PutText(*c, buffer, 3, "Changed");
        c->ModifyRecord(buffer, false, false);
        memory->BeginUpdateBatch();
        directory->BeginUpdateBatch();
        for (int i = 0; i < 40; ++i)
            InsertEntry(*c, "batch" + std::to_string(i) + "@x.org", "E", 3);
        memory->EndUpdateBatch(true);
        directory->EndUpdateBatch(true);
    }
    EXPECT_EQ(held.GetRecordCount(), disk.GetRecordCount());
    EXPECT_EQ(held.GetRecordSlotCount(), disk.GetRecordSlotCount());
    for (const char* index : {"", "ByItem", "ByCategory", "ByBounce"}) {
        SCOPED_TRACE(index);
        held.SetIndexByName(index);
        disk.SetIndexByName(index);
        const auto expected = Records(disk);
        EXPECT_EQ(expected.size(), 10000u - 100u + 150u + 40u);
        EXPECT_TRUE(Records(held) == expected);
    }
    held.SetIndex(kNoIndex);
    disk.SetIndex(kNoIndex);
    EXPECT_TRUE(Records(held) == Records(disk));
}

// Text is stored without trailing blanks and cut to its field; a value may be the field's own
// bytes; an empty text is null; a case rule changes the letters.
TEST_F(DataCursor, TextFieldsAreStoredTrimmedAndCut) {
    TDataCursor& c = CreateAndOpen(ListTableDefinition());
    std::vector<std::uint8_t> buffer(c.GetRecordSize());
    const std::string too_long(300, 'x');
    const struct {
        std::string written;
        std::string read;
    } cases[] = {
        {"plain", "plain"},
        {"blanks at the end   ", "blanks at the end"},
        {"  inner  blanks ", "  inner  blanks"},
        {"   ", "<null>"},
        {"", "<null>"},
        {too_long, too_long.substr(0, FieldDataSize(c.GetFieldDesc(2)) - 1)},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.written);
        c.InitNewRecord(buffer);
        PutText(c, buffer, 2, "something longer than the value");
        PutText(c, buffer, 2, each.written);
        EXPECT_EQ(GetText(c, buffer, 2), each.read);
        // The field's own bytes written again.
        c.PutField(2, buffer,
                   buffer.data() + static_cast<std::ptrdiff_t>(FieldOffset(c.GetFieldDesc(2)) + 1));
        EXPECT_EQ(GetText(c, buffer, 2), each.read);
        // Read back into a larger buffer: cleared past the text, also past the field's size.
        std::vector<std::uint8_t> value(400, 0xEE);
        bool is_null = false;
        c.GetField(2, buffer, is_null, value);
        const std::size_t length = is_null ? 0 : each.read.size();
        EXPECT_EQ(std::string(value.begin(), value.begin() + static_cast<std::ptrdiff_t>(length)),
                  is_null ? std::string() : each.read);
        EXPECT_TRUE(std::all_of(value.begin() + static_cast<std::ptrdiff_t>(length), value.end(),
                                [](std::uint8_t b) { return b == 0; }));
    }
    for (const auto& [rule, read] :
         {std::pair<std::uint8_t, std::string>{1, "mixed case  x"}, {2, "MIXED CASE  X"}}) {
        TableDefinition definition = ListTableDefinition();
        definition.fields[1][fd::kCharCase] = rule;
        TDataCursor& cased = CreateAndOpen(definition, "cased" + std::to_string(rule));
        std::vector<std::uint8_t> record(cased.GetRecordSize());
        cased.InitNewRecord(record);
        PutText(cased, record, 2, "Mixed Case  x  ");
        EXPECT_EQ(GetText(cased, record, 2), read);
    }
}

// A planned field copy writes what GetField from the source and PutField here give: texts
// to their first zero without trailing blanks, nulls, booleans as 0 or 1, numbers as they
// are; fields of another type or size, auto-increment or case-converting fields get no plan.
TEST_F(DataCursor, PlannedFieldCopiesWriteWhatGetAndPutFieldWrite) {
    std::vector<FieldDescriptor> fields = {
        MakeFieldDescriptor(1, "Text", 1, 0, 20), MakeFieldDescriptor(2, "Number", 6),
        MakeFieldDescriptor(3, "Flag", 4),        MakeFieldDescriptor(4, "Short", 1, 0, 10),
        MakeFieldDescriptor(5, "Counter", 6, 29), MakeFieldDescriptor(6, "Upper", 1, 0, 20)};
    LayOut(fields);
    TableDefinition from_definition;
    from_definition.fields = fields;
    from_definition.indexes = {IndexDescriptor{}};
    TableDefinition to_definition = from_definition;
    to_definition.fields[5][fd::kCharCase] = 2;
    TDataCursor& from = CreateAndOpen(from_definition, "copyfrom");
    TDataCursor& to = CreateAndOpen(to_definition, "copyto");
    for (const std::uint32_t n : {4u, 5u, 6u})
        EXPECT_FALSE(to.PlanFieldCopy(n, from, n == 4 ? 1 : n)) << n;
    std::vector<std::uint8_t> source(from.GetRecordSize());
    std::vector<std::uint8_t> copied(to.GetRecordSize());
    std::vector<std::uint8_t> put(to.GetRecordSize());
    const auto raw_text = [&](std::uint32_t field, std::string_view bytes) {
        // Bytes as another program may have left them: blanks and text after the zero.
        const FieldDescriptor& d = from.GetFieldDesc(field);
        source[FieldOffset(d)] = 1;
        std::copy(bytes.begin(), bytes.end(), source.begin() + FieldOffset(d) + 1);
    };
    const std::vector<std::function<void()>> sources = {
        [&] { PutText(from, source, 1, "plain"); },
        [&] { raw_text(1, std::string("blanks  \0tail", 14)); },
        [&] { raw_text(1, "   "); },
        [&] { PutNull(from, source, 1); },
        [&] { raw_text(1, std::string(20, 'x')); },
    };
    for (std::size_t c = 0; c < sources.size(); ++c) {
        SCOPED_TRACE(c);
        from.InitNewRecord(source);
        sources[c]();
        PutInt(from, source, 2, static_cast<std::int32_t>(c) - 2);
        // Any true value reads as true; a null boolean stays null.
        if (c != 3) {
            const char flag[2] = {static_cast<char>(c * 7), 0};
            raw_text(3, std::string_view(flag, 2));
        }
        to.InitNewRecord(copied);
        to.InitNewRecord(put);
        for (std::uint32_t n = 1; n <= 3; ++n) {
            const auto copy = to.PlanFieldCopy(n, from, n);
            ASSERT_TRUE(copy) << n;
            to.CopyField(*copy, copied, source);
            std::vector<std::uint8_t> value(64);
            bool is_null = true;
            from.GetField(n, source, is_null, value);
            to.PutField(n, put, is_null ? nullptr : value.data());
        }
        EXPECT_EQ(copied, put);
    }
}

// Records appended in blocks leave the files one insert after another leaves, byte for byte
// but the time of the last write, and the cursor's view the same count: blocks on an empty
// table, blocks after deletes (whose free records keep keys above every record's) and under an
// active filter, and a block whose record fails its check part way
// (the records before it go in, then the error). Tables with another index or not held
// exclusively are declined, untouched.
TEST_F(DataCursor, AppendedRecordsGiveTheFilesInsertsGive) {
    std::vector<FieldDescriptor> fields = {MakeFieldDescriptor(1, "Item", 1, 0, 80),
                                           MakeFieldDescriptor(2, "Category", 1, 0, 30),
                                           MakeFieldDescriptor(3, "Bounces", 6)};
    fields[1][fd::kRequired] = 1;
    LayOut(fields);
    TableDefinition definition;
    definition.fields = fields;
    definition.indexes = {IndexDescriptor{}};
    // One record; its Category is null where `missing` says so.
    const auto fill = [](TDataCursor& c, std::vector<std::uint8_t>& buffer, int i, bool missing) {
        c.InitNewRecord(buffer);
        PutText(c, buffer, 1, "member" + std::to_string(i * 7 % 1000) + "@x.org");
        if (!missing)
            PutText(c, buffer, 2, "C" + std::to_string(i % 9));
        if (i % 4 != 0)
            PutInt(c, buffer, 3, i % 11);
    };
    std::vector<std::int64_t> filtered;
    for (const bool append : {false, true}) {
        SCOPED_TRACE(append ? "appended" : "inserted");
        TDataCursor& c = CreateAndOpen(definition, append ? "appended" : "inserted");
        const std::size_t size = c.GetRecordSize();
        std::vector<std::uint8_t> buffer(size);
        int next = 0;
        // Rows next.. in blocks of `block`, the one at `missing` (if any) without a Category.
        const auto add = [&](int count, int block, int missing) {
            std::vector<std::uint8_t> rows;
            for (int i = 0; i < count; ++i, ++next) {
                fill(c, buffer, next, next == missing);
                if (!append) {
                    c.InsertRecord(buffer, false);
                    continue;
                }
                rows.insert(rows.end(), buffer.begin(), buffer.end());
                if (rows.size() == static_cast<std::size_t>(block) * size || i + 1 == count) {
                    ASSERT_TRUE(c.AppendRecords(rows));
                    rows.clear();
                }
            }
        };
        add(2500, 700, -1);
        c.SetIndex(kNoIndex);
        c.First();
        for (int n = 0; n < 200 && c.GetNextRecord(buffer) == 0; ++n) {
            if (n % 3 == 0)
                c.DeleteRecord(buffer, false);
        }
        // Under an active filter, each new record joins the view as its check says.
        TFilter* filter = c.AddFilter("Bounces > 5", {});
        c.ActivateFilter(filter);
        add(400, 150, -1);
        filtered.push_back(c.GetRecordCount());
        c.DropFilter(filter);
        EXPECT_EQ(CodeOf([&] { add(10, 10, next + 6); }), kErrRequiredValue);
        EXPECT_EQ(c.GetRecordCount(), 2500 - 67 + 400 + 6);
        std::vector<std::uint8_t> last(size);
        c.Last();
        ASSERT_EQ(c.GetPriorRecord(last), 0);
        EXPECT_EQ(GetText(c, last, 1), "member" + std::to_string((2900 + 5) * 7 % 1000) + "@x.org");
        c.Close();
    }
    ASSERT_EQ(filtered.size(), 2u);
    EXPECT_EQ(filtered[0], filtered[1]);
    EXPECT_GT(filtered[0], 0);
    for (const char* extension : {".DAT", ".IDX"}) {
        std::vector<std::uint8_t> inserted =
            ReadBytes(dir.File(std::string("inserted") + extension));
        std::vector<std::uint8_t> appended =
            ReadBytes(dir.File(std::string("appended") + extension));
        if (std::string(extension) == ".DAT") {
            for (auto* bytes : {&inserted, &appended})
                std::fill_n(bytes->begin() + dh::kTime, 8, 0);
        }
        EXPECT_TRUE(inserted == appended) << extension;
    }

    TableDefinition keyed = definition;
    keyed.indexes = {MakeIndex("", {1}, true)};
    for (const bool exclusive : {true, false}) {
        TDataCursor& c = CreateAndOpen(exclusive ? keyed : definition, "declined", exclusive);
        std::vector<std::uint8_t> rows(c.GetRecordSize());
        fill(c, rows, 1, false);
        EXPECT_FALSE(c.AppendRecords(rows));
        EXPECT_EQ(c.GetRecordCount(), 0);
        c.Close();
    }
}

}  // namespace
}  // namespace strata
