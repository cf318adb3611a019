#include "engine/core/table_restructure.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include "engine/core/table_repair.h"
#include "engine/storage/data_types.h"
#include "engine/storage/engine_error.h"
#include "engine/storage/value_convert.h"
#include "tests/engine/core/cursor_test_support.h"
#include "tests/engine/core/two_programs.h"

namespace strata {
namespace {

using namespace testing_support;

class TableRestructure : public CursorTest {
  protected:
    void SetUp() override {
        CursorTest::SetUp();
        // The private directory on another file system, as /tmp on tmpfs is.
        std::string pattern = "/dev/shm/restructure-XXXXXX";
        if (::mkdtemp(pattern.data()) != nullptr) {
            shm_ = pattern;
            session->SetPrivateDir(shm_);
        }
    }
    void TearDown() override {
        CursorTest::TearDown();
        if (!shm_.empty())
            std::filesystem::remove_all(shm_);
    }

    void MakeList(std::initializer_list<std::pair<std::string_view, std::string_view>> rows) {
        TDataCursor& c = CreateAndOpen(ListTableDefinition());
        for (const auto& [item, category] : rows)
            InsertEntry(c, item, category, 0);
        c.Close();
    }
    // The table's current definition, numbers as they are.
    TableDefinition Current() {
        TDataCursor& c = NewCursor();
        c.Open();
        TableDefinition d;
        for (std::uint32_t i = 1; i <= c.GetFieldCount(); ++i)
            d.fields.push_back(c.GetTableFieldDesc(i));
        d.indexes.push_back(c.GetIndexDesc(0));
        for (int i = 1; i <= c.GetIndexCount(); ++i)
            d.indexes.push_back(c.GetIndexDesc(static_cast<std::uint32_t>(i)));
        d.last_auto_inc = -1;
        c.Close();
        return d;
    }
    RestructureWay Run(TableDefinition d, bool no_backup = false,
                       TDataCursor::DataLostHandler lost = {}, int* progress_calls = nullptr) {
        TDataCursor& c = NewCursor();
        RestructureOptions options;
        options.no_backup = no_backup;
        return RestructureTable(
            c, std::move(d), options,
            [progress_calls](std::uint32_t, int) {
                if (progress_calls != nullptr)
                    ++*progress_calls;
            },
            std::move(lost));
    }
    std::vector<std::string> ItemsBy(std::string_view index) {
        TDataCursor& c = NewCursor();
        c.Open();
        if (!index.empty())
            c.SetIndexByName(index);
        auto items = Items(c);
        c.Close();
        return items;
    }
    bool Exists(std::string_view ext) const {
        return std::filesystem::exists(dir.File("mailist" + std::string(ext)));
    }
    // Every file of the table by name, with its bytes.
    std::map<std::string, std::string> Snapshot() const {
        std::map<std::string, std::string> files;
        for (const auto& entry : std::filesystem::directory_iterator(dir.Path())) {
            if (!entry.is_regular_file())
                continue;
            std::ifstream in(entry.path(), std::ios::binary);
            files[entry.path().filename().string()] =
                std::string(std::istreambuf_iterator<char>(in), {});
        }
        return files;
    }
    std::size_t PrivateFiles() const {
        std::size_t n = 0;
        const std::filesystem::path where = shm_.empty() ? dir.File("private") : shm_;
        for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(where))
            ++n;
        return n;
    }

    std::string shm_;
};

TEST_F(TableRestructure, DescriptionOnlyUpdatesTheHeaders) {
    MakeList({{"a@x", "news"}, {"b@x", "news"}});
    TableDefinition d = Current();
    PutShortString(d.fields[1], fd::kDescription, fd::kTextLength, "the address");
    PutShortString(d.indexes[1], ixd::kName, ixd::kNameLength, "ByAddress");
    d.description = "members";
    int calls = 0;
    EXPECT_EQ(Run(d, false, {}, &calls), RestructureWay::HeaderUpdate);
    EXPECT_EQ(calls, 0);
    EXPECT_FALSE(Exists(".IBK"));
    EXPECT_FALSE(Exists(".DBK"));
    TDataCursor& c = NewCursor();
    c.Open();
    EXPECT_EQ(GetShortString(c.GetFieldDesc(2), fd::kDescription, 50), "the address");
    EXPECT_EQ(c.GetDescription(), "members");
    c.Close();
    EXPECT_EQ(ItemsBy("ByAddress"), (std::vector<std::string>{"a@x", "b@x"}));
}

TEST_F(TableRestructure, AddedIndexRebuildsIndexesAndKeepsABackup) {
    for (const bool no_backup : {false, true}) {
        MakeList({{"b@x", "zz"}, {"a@x", "aa"}});
        TableDefinition d = Current();
        d.indexes.push_back(MakeIndex("ByName", {6, 2}, false));
        EXPECT_EQ(Run(d, no_backup), RestructureWay::IndexRebuild);
        EXPECT_EQ(Exists(".IBK"), !no_backup);
        EXPECT_EQ(ItemsBy("ByName"), (std::vector<std::string>{"a@x", "b@x"}));
        EXPECT_EQ(ItemsBy("ByItem"), (std::vector<std::string>{"a@x", "b@x"}));
        std::size_t lines = 0;
        RepairTable(NewCursor(), true, 0, {}, [&](std::string_view) { ++lines; });
        EXPECT_EQ(lines, 2u) << "the rebuilt indexes verify clean";
        std::filesystem::remove(dir.File("mailist.IBK"));
    }
}

// Options of an index (its compression, case and order) change only the
// index file: the primary one too, as the list database's statistics table
// asks right after creating it. The rebuilt index walks as one created so.
TEST_F(TableRestructure, IndexOptionsAloneRebuildTheIndexes) {
    struct Case {
        const char* what;
        std::size_t index;
        std::size_t at;
        std::uint8_t value;
        const char* order_by;
    };
    const std::vector<Case> cases = {
        {"primary compression", 0, ixd::kCompression, 3, ""},
        {"secondary compression", 1, ixd::kCompression, 1, "ByItem"},
        {"case-sensitive", 1, ixd::kCaseInsensitive, 0, "ByItem"},
        {"descending", 2, ixd::kDescending, 1, "ByCategory"},
    };
    const std::initializer_list<std::pair<std::string_view, std::string_view>> rows = {
        {"b@x", "news"}, {"A@x", "misc"}, {"C@x", "sport"}, {"d@x", "misc"}};
    for (const Case& test : cases) {
        for (const bool with_rows : {false, true}) {
            SCOPED_TRACE(std::string(test.what) + (with_rows ? " with rows" : " empty"));
            TableDefinition wanted = ListTableDefinition();
            wanted.indexes[test.index][test.at] = test.value;
            if (test.at == ixd::kDescending)
                wanted.indexes[test.index][ixd::kFieldDescending] = test.value;
            TDataCursor& created = CreateAndOpen(wanted);
            if (with_rows) {
                for (const auto& [item, category] : rows)
                    InsertEntry(created, item, category, 0);
            }
            created.Close();
            const std::vector<std::string> expected = ItemsBy(test.order_by);
            ASSERT_EQ(expected.size(), with_rows ? rows.size() : 0u);

            if (with_rows)
                MakeList(rows);
            else
                MakeList({});
            TableDefinition d = Current();
            const IndexDescriptor before = d.indexes[test.index];
            for (const std::size_t at : {test.at, std::size_t{ixd::kFieldDescending}})
                d.indexes[test.index][at] = wanted.indexes[test.index][at];
            ASSERT_EQ(Run(d, true), RestructureWay::IndexRebuild);
            TDataCursor& c = NewCursor();
            c.Open();
            EXPECT_EQ(c.GetIndexDesc(static_cast<std::uint32_t>(test.index))[test.at], test.value);
            EXPECT_EQ(c.GetTableRecordCount(), static_cast<std::int64_t>(expected.size()));
            c.Close();
            EXPECT_EQ(ItemsBy(test.order_by), expected);
            std::vector<std::string> lines;
            RepairTable(NewCursor(), true, 0, {},
                        [&](std::string_view line) { lines.emplace_back(line); });
            EXPECT_EQ(lines.size(), 2u) << ::testing::PrintToString(lines);
            d.indexes[test.index] = before;
            EXPECT_EQ(Run(d, true), RestructureWay::IndexRebuild) << "and back again";
            EXPECT_EQ(ItemsBy(test.order_by).size(), expected.size());
        }
    }
}

TEST_F(TableRestructure, PrimaryKeyViolationNamesTheIndexItsOwnWay) {
    MakeList({{"a@x", "news"}, {"b@x", "news"}, {"c@x", "misc"}});
    TableDefinition d = Current();
    d.indexes[0] = MakeIndex("", {3}, true);
    std::vector<std::string> contexts;
    EXPECT_EQ(Run(d, true,
                  [&](int cause, std::string_view context, bool&, bool&) {
                      EXPECT_EQ(cause, 1);
                      contexts.emplace_back(context);
                  }),
              RestructureWay::IndexRebuild);
    ASSERT_EQ(contexts.size(), 1u);
    EXPECT_EQ(contexts[0], "Duplicate key found in index '' of table 'mailist'");
    EXPECT_EQ(ItemsBy(""), (std::vector<std::string>{"c@x", "a@x"}));
}

// Rows a full rebuild cannot copy (a duplicate under a new unique index, a value a field now
// requires) are reported with the error's own text under the table's name, as the index
// rebuild reports them, and dropped when the callback goes on.
TEST_F(TableRestructure, RowsTheCopyRefusesAreReportedUnderTheTablesName) {
    {
        TDataCursor& c = CreateAndOpen(ListTableDefinition());
        InsertEntry(c, "a@x", "news", 1);
        InsertEntry(c, "b@x", "news", 2);
        InsertEntry(c, "c@x", "misc", -1);
        c.Close();
    }
    TableDefinition d = Current();
    d.fields[1] = MakeFieldDescriptor(2, "Item", 1, 0, 60);
    d.fields[3][fd::kRequired] = 1;
    d.indexes.push_back(MakeIndex("OneCategory", {3}, true));
    std::vector<std::pair<int, std::string>> lost;
    EXPECT_EQ(Run(d, true,
                  [&](int cause, std::string_view context, bool&, bool&) {
                      lost.emplace_back(cause, std::string(context));
                  }),
              RestructureWay::FullRebuild);
    const std::vector<std::pair<int, std::string>> expected = {
        {1, "Duplicate key found in index 'ONECATEGORY' of table 'mailist'"},
        {2, "A value must be provided for the field 'Bounces' in table 'mailist'"}};
    EXPECT_EQ(lost, expected);
    EXPECT_EQ(ItemsBy(""), (std::vector<std::string>{"a@x"}));
}

TEST_F(TableRestructure, DuplicatesUnderANewUniqueIndex) {
    for (const bool proceed : {false, true}) {
        MakeList({{"a@x", "news"}, {"b@x", "news"}, {"c@x", "misc"}, {"d@x", "news"}});
        TableDefinition d = Current();
        d.indexes.push_back(MakeIndex("OneCategory", {3}, true));
        const std::vector<std::uint8_t> data_before = ReadBytes(dir.File("mailist.DAT"));
        const std::vector<std::uint8_t> index_before = ReadBytes(dir.File("mailist.IDX"));
        int asked = 0;
        Run(d, true, [&](int cause, std::string_view, bool& go_on, bool&) {
            EXPECT_EQ(cause, 1);
            ++asked;
            go_on = proceed || asked < 2;
        });
        TDataCursor& c = NewCursor();
        SCOPED_TRACE(proceed);
        c.Open();
        if (proceed) {
            EXPECT_EQ(asked, 2);
            EXPECT_EQ(c.GetTableRecordCount(), 2);
            EXPECT_EQ(c.GetIndexCount(), 4);
            c.Close();
            EXPECT_EQ(ItemsBy("ByItem"), (std::vector<std::string>{"a@x", "c@x"}));
        } else {
            // The first loss was let pass, the second aborted: nothing changed. The index
            // file is its backup again, byte for byte.
            EXPECT_EQ(ReadBytes(dir.File("mailist.IDX")), index_before);
            EXPECT_EQ(ReadBytes(dir.File("mailist.DAT")), data_before);
            EXPECT_EQ(c.GetTableRecordCount(), 4);
            EXPECT_EQ(c.GetIndexCount(), 3);
            c.Close();
            EXPECT_EQ(ItemsBy("ByItem"), (std::vector<std::string>{"a@x", "b@x", "c@x", "d@x"}));
            EXPECT_FALSE(Exists(".IBK"));
        }
    }
}

TEST_F(TableRestructure, ShorterFieldRebuildsTheTable) {
    for (const bool no_backup : {false, true}) {
        MakeList({{"a-long-address@example.com", "news"}, {"b@x", "misc"}});
        TableDefinition d = Current();
        const std::uint16_t number = FieldNumber(d.fields[1]);
        d.fields[1] = MakeFieldDescriptor(number, "Item", 1, 0, 10);
        EXPECT_EQ(Run(d, no_backup), RestructureWay::FullRebuild);
        EXPECT_EQ(ItemsBy(""), (std::vector<std::string>{"a-long-add", "b@x"}));
        for (const char* ext : {".DBK", ".IBK"})
            EXPECT_EQ(Exists(ext), !no_backup) << ext;
        TDataCursor& c = NewCursor();
        c.Open();
        EXPECT_EQ(FieldLength(c.GetFieldDesc(2)), 10);
        c.Close();
        for (const char* ext : {".DBK", ".IBK", ".BBK"})
            std::filesystem::remove(dir.File("mailist" + std::string(ext)));
    }
}

TEST_F(TableRestructure, DroppedFieldAsksOncePerRecordUntilSuppressed) {
    MakeList({{"a@x", "news"}, {"b@x", "news"}, {"c@x", "news"}});
    TableDefinition d = Current();
    d.fields.erase(d.fields.begin() + 2);    // Category
    d.indexes.erase(d.indexes.begin() + 2);  // ByCategory
    int asked = 0;
    Run(d, true, [&](int cause, std::string_view context, bool&, bool& suppress) {
        EXPECT_EQ(cause, 3);
        EXPECT_EQ(context, "Category");
        suppress = ++asked == 2;
    });
    EXPECT_EQ(asked, 2);
    TDataCursor& c = NewCursor();
    c.Open();
    EXPECT_EQ(c.GetFieldCount(), 7);
    EXPECT_EQ(c.GetTableRecordCount(), 3);
    c.Close();
}

// A table of one field of each kind, changed to other types: what converts is carried over,
// each value that does not is reported by its field's name, and the rows stay.
TEST_F(TableRestructure, ChangedFieldTypesConvertTheValuesOrReportThem) {
    TableDefinition d;
    d.fields = {
        MakeFieldDescriptor(1, "Id", 6, 29),      MakeFieldDescriptor(2, "Number", 6),
        MakeFieldDescriptor(3, "Text", 1, 0, 20), MakeFieldDescriptor(4, "Amount", 8, 0, 18, 2),
        MakeFieldDescriptor(5, "Day", 2),         MakeFieldDescriptor(6, "Memo", 3, 22)};
    LayOut(d.fields);
    d.indexes = {MakeIndex("", {1}, true), MakeIndex("ByNumber", {2}, false)};
    TDataCursor& c = CreateAndOpen(d);
    std::vector<std::uint8_t> buffer(c.GetRecordSize());
    const auto put = [&](std::uint32_t field, std::string_view text) {
        const FieldDescriptor& f = d.fields[field - 1];
        std::vector<std::byte> value(256);
        std::memcpy(value.data(), text.data(), text.size());
        ASSERT_TRUE(ConvertValue(kTypeString, 255, 0, value, FieldDecimals(f), FieldDataSize(f),
                                 FieldType(f), FixedFormatSettings()));
        c.PutField(field, buffer, reinterpret_cast<const std::uint8_t*>(value.data()));
    };
    // Number, Text, Amount, Day, Memo.
    const std::vector<std::array<const char*, 5>> rows = {
        {"40000", "12", "1.25", "2024-02-29", "hello"},
        {"-7", "abc", "-3", "1999-12-31", ""},
        {"0", "2000-01-01", "99999.99", "0001-01-01", "memo text"},
    };
    for (const auto& row : rows) {
        c.InitNewRecord(buffer);
        for (std::uint32_t f = 2; f <= 5; ++f)
            put(f, row[f - 2]);
        c.InsertRecord(buffer, false);
        if (*row[4] != 0) {
            c.SetIndex(0);
            c.Last();
            ASSERT_EQ(c.GetPriorRecord(buffer), kErrNone);
            ASSERT_EQ(c.OpenBlob(6, buffer, kBlobOpenReadWrite), kErrNone);
            ASSERT_EQ(c.WriteBlob(6, buffer, static_cast<std::uint32_t>(std::strlen(row[4])),
                                  reinterpret_cast<const std::uint8_t*>(row[4]), 0),
                      kErrNone);
            c.ModifyRecord(buffer, true, false);
        }
    }
    c.Close();
    TableDefinition changed = Current();
    changed.fields[1] = MakeFieldDescriptor(2, "Number", 5);       // smallint
    changed.fields[2] = MakeFieldDescriptor(3, "Text", 2);         // date
    changed.fields[3] = MakeFieldDescriptor(4, "Amount", 6);       // integer
    changed.fields[4] = MakeFieldDescriptor(5, "Day", 1, 0, 10);   // string
    changed.fields[5] = MakeFieldDescriptor(6, "Memo", 1, 0, 10);  // string
    std::vector<std::pair<int, std::string>> lost;
    EXPECT_EQ(Run(changed, true,
                  [&](int cause, std::string_view context, bool&, bool&) {
                      lost.emplace_back(cause, std::string(context));
                  }),
              RestructureWay::FullRebuild);
    // 40000 is no smallint, "12" and "abc" no dates, 99999.99 fits an integer only cut;
    // memos do not become strings.
    std::multiset<std::string> fields;
    for (const auto& [cause, context] : lost) {
        EXPECT_EQ(cause, 4) << context;
        fields.insert(context);
    }
    EXPECT_EQ(fields.count("Number"), 1u);
    EXPECT_EQ(fields.count("Text"), 2u);
    EXPECT_EQ(fields.count("Memo"), 2u);
    TDataCursor& after = NewCursor();
    after.Open();
    EXPECT_EQ(after.GetTableRecordCount(), 3);
    std::vector<std::string> days;
    std::vector<std::uint8_t> record(after.GetRecordSize());
    after.First();
    while (after.GetNextRecord(record) == kErrNone)
        days.push_back(GetText(after, record, 5));
    after.Close();
    EXPECT_EQ(days, (std::vector<std::string>{"2024-02-29", "1999-12-31", "0001-01-01"}));
}

// Whatever stops a restructure part way (a callback that throws, a blob the copy cannot read)
// leaves every file of the table byte for byte as it was, and no work table behind.
TEST_F(TableRestructure, FailuresPartWayLeaveTheTableAsItWas) {
    TableDefinition d = ListTableDefinition();
    d.fields.push_back(MakeFieldDescriptor(9, "Notes", 3, 22));
    LayOut(d.fields);
    TDataCursor& c = CreateAndOpen(d);
    std::vector<std::uint8_t> buffer(c.GetRecordSize());
    const std::string memo(1500, 'n');  // several blocks
    for (int i = 0; i < 40; ++i) {
        c.InitNewRecord(buffer);
        PutText(c, buffer, 2, "u" + std::to_string(i) + "@x");
        PutText(c, buffer, 3, i % 2 == 0 ? "same" : "other");
        PutInt(c, buffer, 4, i);
        ASSERT_EQ(c.OpenBlob(9, buffer, kBlobOpenReadWrite), kErrNone);
        ASSERT_EQ(c.WriteBlob(9, buffer, static_cast<std::uint32_t>(memo.size()),
                              reinterpret_cast<const std::uint8_t*>(memo.data()), 0),
                  kErrNone);
        c.InsertRecord(buffer, false);
        c.FreeBlobs();
    }
    c.Close();
    const TableDefinition current = Current();
    // A full rebuild: Category dropped (asks per record); an index rebuild: a unique index
    // over Category's duplicates.
    TableDefinition dropped = current;
    dropped.fields.erase(dropped.fields.begin() + 2);
    dropped.indexes.erase(dropped.indexes.begin() + 2);
    TableDefinition unique = current;
    unique.indexes.push_back(MakeIndex("ByCategoryOnce", {3}, true));
    struct Case {
        const char* what;
        const TableDefinition* definition;
        bool throw_in_progress;
    };
    for (const Case& test : {Case{"full rebuild, data lost", &dropped, false},
                             Case{"full rebuild, progress", &dropped, true},
                             Case{"index rebuild, data lost", &unique, false},
                             Case{"index rebuild, progress", &unique, true}}) {
        SCOPED_TRACE(test.what);
        const auto before = Snapshot();
        const std::size_t private_files = PrivateFiles();
        int calls = 0;
        TDataCursor& r = NewCursor();
        RestructureOptions options;
        EXPECT_THROW(RestructureTable(
                         r, *test.definition, options,
                         [&](std::uint32_t, int) {
                             if (test.throw_in_progress && ++calls == 7)
                                 throw std::runtime_error("progress stopped");
                         },
                         [&](int, std::string_view, bool&, bool&) {
                             if (!test.throw_in_progress && ++calls == 3)
                                 throw std::runtime_error("asked to stop");
                         }),
                     std::runtime_error);
        EXPECT_EQ(Snapshot(), before);
        EXPECT_EQ(PrivateFiles(), private_files);
        EXPECT_EQ(ItemsBy("ByCategory").size(), 40u);
    }
    // A blob the copy cannot read: the blob file cut after the first memos.
    const std::string blb = dir.File("mailist.BLB");
    std::filesystem::resize_file(blb, 512 + 512 * 30);
    const auto before = Snapshot();
    const std::size_t private_files = PrivateFiles();
    TableDefinition wider = current;
    wider.fields[1] = MakeFieldDescriptor(2, "Item", 1, 0, 100);
    EXPECT_NE(CodeOf([&] { Run(wider, true, [](int, std::string_view, bool&, bool&) {}); }), 0);
    EXPECT_EQ(Snapshot(), before);
    EXPECT_EQ(PrivateFiles(), private_files);
}

// A restructure needs the table to itself: refused while another program or another cursor
// of this one holds it, whatever way it would take, and then nothing changes.
TEST_F(TableRestructure, RefusedWhileHeldElsewhereAndInABatchCarriesItsRows) {
    MakeList({{"a@x", "news"}, {"b@x", "misc"}});
    TableDefinition longer = Current();
    longer.fields[1] = MakeFieldDescriptor(2, "Item", 1, 0, 100);
    TableDefinition indexed = Current();
    indexed.indexes.push_back(MakeIndex("ByName", {6}, false));
    TDataCursor& holder = NewCursor("mailist", false);
    holder.Open();
    for (const TableDefinition* d : {&longer, &indexed}) {
        const auto before = Snapshot();
        EXPECT_NE(CodeOf([&] { Run(*d); }), 0);
        EXPECT_EQ(Snapshot(), before);
    }
    EXPECT_EQ(Items(holder), (std::vector<std::string>{"a@x", "b@x"}));
    holder.Close();
    {
        SecondProgram other([&](SecondProgram& self) {
            TDataSession own;
            TDataCursor reader(*own.OpenDirectory("DB", dir.Path().string()));
            reader.SetTableName("mailist");
            reader.SetExclusive(false);
            reader.Open();
            self.Signal();
            self.AwaitGo();
            reader.Close();
            return 0;
        });
        ASSERT_TRUE(other.AwaitSignal());
        for (const TableDefinition* d : {&longer, &indexed}) {
            const auto before = Snapshot();
            EXPECT_NE(CodeOf([&] { Run(*d); }), 0);
            EXPECT_EQ(Snapshot(), before);
        }
        other.Go();
        EXPECT_EQ(other.Wait(), 0);
    }
    // Inside an update batch, rows written in it before are carried over, by each way, and
    // kept when the restructure is called off.
    const auto stop = [](int, std::string_view, bool& go_on, bool&) { go_on = false; };
    struct Case {
        RestructureWay way;
        TDataCursor::DataLostHandler lost;
        std::size_t rows;
    };
    int round = 0;
    for (const Case& test :
         {Case{RestructureWay::FullRebuild, {}, 3}, Case{RestructureWay::IndexRebuild, stop, 4},
          Case{RestructureWay::IndexRebuild, {}, 5}, Case{RestructureWay::HeaderUpdate, {}, 6}}) {
        SCOPED_TRACE(round);
        TableDefinition d = Current();
        if (test.way == RestructureWay::FullRebuild)
            d.fields[1] = MakeFieldDescriptor(2, "Item", 1, 0, 100);
        else if (test.lost)
            d.indexes.push_back(MakeIndex("ByCategoryOnce", {3}, true));
        else if (test.way == RestructureWay::IndexRebuild)
            d.indexes.push_back(MakeIndex("ByName", {6}, false));
        else
            d.description = "members";
        directory->BeginUpdateBatch();
        TDataCursor& writer = NewCursor();
        writer.Open();
        InsertEntry(writer, "c" + std::to_string(round++) + "@x", "news", 1);
        writer.Close();
        EXPECT_EQ(Run(d, true, test.lost), test.way);
        directory->EndUpdateBatch(true);
        EXPECT_EQ(ItemsBy("ByItem").size(), test.rows);
        std::size_t lines = 0;
        RepairTable(NewCursor(), true, 0, {}, [&](std::string_view) { ++lines; });
        EXPECT_EQ(lines, 2u);
    }
}

TEST_F(TableRestructure, AbortLeavesTheTableUnchanged) {
    MakeList({{"a@x", "news"}, {"b@x", "news"}});
    TableDefinition d = Current();
    d.fields.erase(d.fields.begin() + 2);
    d.indexes.erase(d.indexes.begin() + 2);
    Run(d, true, [&](int, std::string_view, bool& go_on, bool&) { go_on = false; });
    TDataCursor& c = NewCursor();
    c.Open();
    EXPECT_EQ(c.GetFieldCount(), 8);
    EXPECT_EQ(c.GetIndexCount(), 3);
    c.Close();
    EXPECT_EQ(ItemsBy("ByCategory"), (std::vector<std::string>{"a@x", "b@x"}));
    EXPECT_FALSE(Exists(".DBK"));
}

TEST_F(TableRestructure, LimitsAreCheckedBeforeAnyFileIsTouched) {
    MakeList({{"a@x", "news"}});
    TableDefinition d = Current();
    while (d.indexes.size() < 32)
        d.indexes.push_back(MakeIndex("X" + std::to_string(d.indexes.size()), {4}, false));
    EXPECT_EQ(CodeOf([&] { Run(d); }), kErrIndexLimit);
    EXPECT_FALSE(Exists(".IBK"));
    EXPECT_EQ(ItemsBy("ByItem"), (std::vector<std::string>{"a@x"}));
}

// An index on a field the new definition leaves out is refused by that field's name, or by
// its number when no field of the table ever had it, and the table stays as it was.
TEST_F(TableRestructure, IndexOnAMissingFieldNamesTheField) {
    MakeList({{"a@x", "news"}});
    const TableDefinition current = Current();
    TableDefinition dropped = current;
    // ByBounce is on Bounces, the fourth field.
    dropped.fields.erase(dropped.fields.begin() + 3);
    TableDefinition unknown = current;
    unknown.indexes.push_back(MakeIndex("ByNothing", {99}, false));
    for (const auto& [definition, field] :
         {std::pair{dropped, std::string(FieldName(current.fields[3]))},
          std::pair{unknown, std::string("99")}}) {
        try {
            Run(definition);
            ADD_FAILURE() << "no error for " << field;
        } catch (const EStrataEngineError& e) {
            EXPECT_EQ(e.ErrorCode(), kErrInvalidField);
            EXPECT_NE(std::string(e.what()).find("'" + field + "'"), std::string::npos) << e.what();
        }
        EXPECT_EQ(ItemsBy("ByBounce"), (std::vector<std::string>{"a@x"}));
    }
}

// Whichever way the restructure takes; a lower counter would hand out the
// IDs of rows the table holds.
TEST_F(TableRestructure, AutoIncrementNeverFallsBelowTheHighestId) {
    for (const RestructureWay way : {RestructureWay::FullRebuild, RestructureWay::IndexRebuild,
                                     RestructureWay::HeaderUpdate}) {
        for (const auto& file : std::filesystem::directory_iterator(dir.Path())) {
            if (file.path().stem() == "mailist")
                std::filesystem::remove(file.path());
        }
        MakeList({{"a@x", "news"}, {"b@x", "news"}, {"c@x", "news"}});
        TableDefinition d = Current();
        if (way == RestructureWay::FullRebuild)
            d.fields[1] = MakeFieldDescriptor(FieldNumber(d.fields[1]), "Item", 1, 0, 60);
        if (way == RestructureWay::IndexRebuild)
            d.indexes.pop_back();
        d.last_auto_inc = 1;
        EXPECT_EQ(Run(d), way);
        TDataCursor& c = NewCursor();
        c.Open();
        EXPECT_EQ(c.GetLastAutoInc(), 3u) << static_cast<int>(way);
        InsertEntry(c, "d@x", "news", 0);
        c.Close();
        EXPECT_EQ(ItemsBy("").size(), 4u) << static_cast<int>(way);
    }
}

// Killed in the middle of the record pass; the table keeps every row and the
// restructure succeeds when run again (after the repair an index rebuild asks for).
TEST_F(TableRestructure, CrashInTheMiddleLosesNoRow) {
    for (const bool full : {false, true}) {
        MakeList({{"a@x", "n"}, {"b@x", "n"}, {"c@x", "n"}, {"d@x", "n"}});
        TableDefinition d = Current();
        if (full)
            d.fields[1] = MakeFieldDescriptor(FieldNumber(d.fields[1]), "Item", 1, 0, 60);
        else
            d.indexes.push_back(MakeIndex("ByName", {6}, false));
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            TDataCursor c(*directory);
            c.SetTableName("mailist");
            c.SetExclusive(true);
            RestructureTable(c, d, {}, [](std::uint32_t r, int) {
                if (r == 2)
                    _exit(0);
            });
            _exit(1);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_EQ(WEXITSTATUS(status), 0);
        TDataCursor& probe = NewCursor();
        const EngineErrorCode opened = CodeOf([&] { probe.Open(); });
        if (opened != 0) {
            EXPECT_EQ(opened, kErrHeaderCorrupt) << full;
            TDataCursor& repair = NewCursor();
            RepairTable(repair, false, 0);
        } else {
            probe.Close();
        }
        Run(d, true);
        EXPECT_EQ(ItemsBy("ByItem"), (std::vector<std::string>{"a@x", "b@x", "c@x", "d@x"}));
    }
}

}  // namespace
}  // namespace strata
