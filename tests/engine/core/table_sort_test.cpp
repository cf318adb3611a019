#include "engine/core/table_sort.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <random>

#include "engine/core/index_file.h"
#include "engine/core/index_tree.h"
#include "engine/core/key_builder.h"
#include "engine/storage/engine_error.h"
#include "tests/engine/core/table_files_support.h"

namespace strata {
namespace {

using testing_support::TempDir;

// Id (auto-increment), Name string 81, Amount integer, Flag boolean: 100-byte
// records. Name at 9, Amount at 92, Flag at 97.
std::vector<FieldDescriptor> SortFields() {
    std::vector<FieldDescriptor> f = {
        MakeFieldDescriptor(1, "Id", 6, 29), MakeFieldDescriptor(2, "Name", 1, 0, 81),
        MakeFieldDescriptor(3, "Amount", 6), MakeFieldDescriptor(4, "Flag", 4)};
    testing_support::LayOut(f);
    return f;
}

class TableSortTest : public ::testing::Test {
  protected:
    void Create(std::uint16_t language = 0, bool encrypted = false) {
        file_ = std::make_unique<TDataFile>();
        file_->SetName(dir_.File("result.DAT"));
        file_->CreateDataFile(language, 0, SortFields(), 0, "", "", encrypted, 0, 0);
        ASSERT_EQ(file_->GetRecordSize(), 100u);
    }
    void Add(std::string_view name, std::int32_t amount) {
        TRecord* r = file_->AllocateRecord();
        r->SetRecordId(file_->NextAutoIncrement());
        std::span<std::uint8_t> b = r->Buffer();
        b[9] = 1;
        std::memcpy(&b[10], name.data(), name.size());
        b[92] = 1;
        PutU32(b, 93, static_cast<std::uint32_t>(amount));
        file_->ReleaseRecord(r);
    }
    struct Row {
        std::uint32_t id;
        std::string name;
        std::int32_t amount;
    };
    std::vector<Row> Rows() {
        std::vector<Row> rows;
        for (std::uint32_t n = 1; n <= file_->GetRecordSlots(); ++n) {
            TRecord* r = file_->GetRecord(n);
            EXPECT_EQ(r->Status(), 0);
            EXPECT_EQ(GetU32(r->Buffer(), 1), n);
            rows.push_back({r->RecordId(),
                            std::string(reinterpret_cast<const char*>(&r->Buffer()[10])),
                            static_cast<std::int32_t>(GetU32(r->Buffer(), 93))});
            file_->ReleaseRecord(r);
        }
        return rows;
    }
    std::vector<FieldDescriptor> Key(std::uint16_t field, bool descending = false) {
        FieldDescriptor d = file_->GetFieldDescriptor(field);
        d[fd::kDescending] = descending ? 1 : 0;
        return {d};
    }
    void Sort(const std::vector<FieldDescriptor>& key, bool unique = false,
              bool descending = false) {
        file_->SortRecords(key, descending, false, unique, false, {}, false, {}, false, {});
    }

    TempDir dir_;
    std::unique_ptr<TDataFile> file_;
};

TEST_F(TableSortTest, LargeTableSortsThroughThreeRunFilesThatAreGoneAfterwards) {
    Create();
    std::mt19937 rng(7);
    for (int i = 0; i < 20000; ++i)
        Add("n", static_cast<std::int32_t>(rng() % 5000) - 2500);
    Sort(Key(3));
    const auto runs = TTableSort::LastRunNames();
    ASSERT_EQ(runs.size(), 3u);
    for (const std::string& name : runs) {
        EXPECT_EQ(name.substr(name.size() - 4), ".TMP");
        EXPECT_FALSE(std::filesystem::exists(name)) << name;
    }
    const auto rows = Rows();
    ASSERT_EQ(rows.size(), 20000u);
    for (std::size_t i = 1; i < rows.size(); ++i) {
        ASSERT_LE(rows[i - 1].amount, rows[i].amount) << i;
        if (rows[i - 1].amount == rows[i].amount) {
            ASSERT_LT(rows[i - 1].id, rows[i].id) << i;
        }
    }
}

// A sort that fails part way through its merge, by a callback's error or by a
// run file it can no longer read, still removes every run file it made.
TEST_F(TableSortTest, RunFilesAreGoneAfterASortThatFailsInItsMerge) {
    struct Case {
        const char* what;
        bool cut_a_run;  // else the callback raises
    };
    for (const Case& c : {Case{"callback error", false}, Case{"run file cut short", true}}) {
        Create();
        for (int i = 0; i < 20000; ++i)
            Add("n", i % 977);
        int calls = 0;
        const TDataFile::RecordCallback finish = [&](TRecord&) {
            if (++calls != 100)
                return;
            if (!c.cut_a_run)
                RaiseEngineError(kErrAboveMaximum);
            for (const std::string& name : TTableSort::LastRunNames())
                std::filesystem::resize_file(name, 100);
        };
        try {
            file_->SortRecords(Key(3), false, false, false, false, {}, true, finish, false, {});
            ADD_FAILURE() << c.what << ": the sort went through";
        } catch (const EStrataEngineError&) {
        }
        const auto runs = TTableSort::LastRunNames();
        EXPECT_EQ(runs.size(), 3u) << c.what;
        for (const std::string& name : runs)
            EXPECT_FALSE(std::filesystem::exists(name)) << c.what << " " << name;
        file_.reset();
    }
}

TEST_F(TableSortTest, EqualKeysKeepRecordIdOrderAndUniqueKeepsTheFirst) {
    Create();
    Add("c", 3);
    Add("a", 1);
    Add("c", 3);
    Add("b", 2);
    Add("c", 3);
    Sort(Key(3));
    auto rows = Rows();
    ASSERT_EQ(rows.size(), 5u);
    EXPECT_EQ(rows[2].id, 1u);
    EXPECT_EQ(rows[3].id, 3u);
    EXPECT_EQ(rows[4].id, 5u);
    const auto size_before = file_->GetFileSize();
    Sort(Key(3), true);
    rows = Rows();
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[2].id, 1u);
    EXPECT_EQ(file_->GetFileSize(), size_before - 200);
    EXPECT_EQ(file_->GetNextRecordSlot(), 4u);
}

TEST_F(TableSortTest, GroupsMergeFinishAndAccept) {
    Create();
    for (auto [name, amount] : std::vector<std::pair<const char*, int>>{
             {"x", 1}, {"y", 10}, {"x", 2}, {"z", 5}, {"x", 4}, {"y", 20}}) {
        Add(name, amount);
    }
    int finished = 0;
    TDataFile::MergeCallback merge = [](TRecord& previous, TRecord& current) {
        if (&previous == &current)
            return;
        PutU32(previous.Buffer(), 93, GetU32(previous.Buffer(), 93) + GetU32(current.Buffer(), 93));
    };
    TDataFile::RecordCallback finish = [&](TRecord&) { ++finished; };
    TDataFile::AcceptCallback accept = [](TRecord& r) { return GetU32(r.Buffer(), 93) != 5; };
    file_->SortRecords(Key(2), false, false, false, true, merge, true, finish, true, accept);
    const auto rows = Rows();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].name, "x");
    EXPECT_EQ(rows[0].amount, 7);
    EXPECT_EQ(rows[1].name, "y");
    EXPECT_EQ(rows[1].amount, 30);
    EXPECT_EQ(finished, 3);

    // Refusing every group of one record empties a table of distinct keys.
    Create();
    for (int i = 0; i < 50; ++i)
        Add("k" + std::to_string(i), i);
    int members = 0;
    TDataFile::MergeCallback count = [&](TRecord& p, TRecord& c) {
        if (&p == &c)
            members = 0;
        ++members;
    };
    TDataFile::AcceptCallback at_least_two = [&](TRecord&) { return members >= 2; };
    file_->SortRecords(Key(2), false, false, false, true, count, false, {}, true, at_least_two);
    EXPECT_EQ(file_->GetRecordSlots(), 0u);
    EXPECT_EQ(file_->GetFileSize(), file_->DescriptorEnd());
}

TEST_F(TableSortTest, FreeRecordsAreDroppedAndTheHiddenIndexRebuilt) {
    Create();
    TIndexFile index;
    index.SetName(dir_.File("result.IDX"));
    index.CreateFile();
    index.SetDataFile(file_.get());
    IndexDescriptor by_name{};
    PutShortString(by_name, ixd::kName, ixd::kNameLength, "ByName");
    PutU16(by_name, ixd::kKeySize, 83 + 4);
    by_name[ixd::kFieldCount] = 1;
    by_name[ixd::kFieldDescending] = 1;
    by_name[ixd::kCompression] = 3;
    PutU16(by_name, ixd::kFieldNumbers, 2);
    index.AddIndex(by_name);
    file_->SetIndexFile(&index);
    for (int i = 0; i < 30; ++i)
        Add("r" + std::to_string(100 + i), 30 - i);
    for (std::uint32_t n : {4u, 17u, 22u}) {
        TRecord* r = file_->GetRecord(n);
        file_->FreeRecord(*r);
        file_->ReleaseRecord(r);
    }
    ASSERT_EQ(file_->GetFirstFreeRecord(), 22u);
    Sort(Key(3));
    EXPECT_EQ(file_->GetRecordSlots(), 27u);
    EXPECT_EQ(file_->GetFirstFreeRecord(), 0u);
    EXPECT_EQ(index.GetRecordCount(), 27u);
    EXPECT_EQ(file_->CachedRecordCount(), 0u);
    const auto rows = Rows();
    for (const Row& row : rows) {
        EXPECT_NE(row.id, 4u);
        EXPECT_NE(row.id, 17u);
        EXPECT_NE(row.id, 22u);
    }
    TIndexTree hidden(index, kHiddenIndexSlot, [](const std::uint8_t* a, const std::uint8_t* b) {
        const int c = std::memcmp(a, b, 5);
        return c < 0 ? -1 : (c > 0 ? 1 : 0);
    });
    EXPECT_EQ(hidden.KeyCount(), 27u);
    std::vector<std::uint32_t> numbers;
    hidden.ForEach([&](std::span<const std::uint8_t> key, std::uint32_t n) {
        EXPECT_EQ(key[0], 0);
        numbers.push_back(n);
        EXPECT_EQ(rows[n - 1].id,
                  GetU32(std::array<std::uint8_t, 4>{key[4], key[3], key[2],
                                                     static_cast<std::uint8_t>(key[1] ^ 0x80)},
                         0));
    });
    EXPECT_EQ(numbers.size(), 27u);
    // The secondary index names the moved records, in descending name order.
    TKeyComparer names(KeySegmentsOf(Key(2, true), false), 0, 0, 87);
    std::vector<std::string> in_index;
    TIndexTree by_name_tree(index, 1, [&](const std::uint8_t* a, const std::uint8_t* b) {
        return names.Compare(a, b, true);
    });
    by_name_tree.ForEach([&](std::span<const std::uint8_t>, std::uint32_t n) {
        in_index.push_back(rows[n - 1].name);
    });
    ASSERT_EQ(in_index.size(), 27u);
    EXPECT_TRUE(std::is_sorted(in_index.rbegin(), in_index.rend()));
    // The next insert appends after the sorted records.
    TRecord* r = file_->AllocateRecord();
    EXPECT_EQ(r->RecordNumber(), 28u);
    file_->ReleaseRecord(r);
    file_->SetIndexFile(nullptr);
}

TEST_F(TableSortTest, DescendingOrdersAreInvertedExactlyOnce) {
    struct Case {
        std::uint16_t language;
        bool overall;
        bool field;
        bool expect_descending;
    };
    for (const Case& c :
         {Case{0, false, true, true}, Case{0, true, false, true}, Case{0x0409, false, true, true},
          Case{0x0409, true, false, true}, Case{0x0409, false, false, false}}) {
        Create(c.language);
        for (int v : {5, -3, 12, 0, 7})
            Add("s" + std::to_string(v + 10), v);
        Sort(Key(3, c.field), false, c.overall);
        const auto by_amount = Rows();
        Sort(Key(2, c.field), false, c.overall);
        const auto by_name = Rows();
        for (std::size_t i = 1; i < by_amount.size(); ++i) {
            EXPECT_EQ(by_amount[i - 1].amount > by_amount[i].amount, c.expect_descending)
                << c.language << " " << i;
            EXPECT_EQ(by_name[i - 1].name > by_name[i].name, c.expect_descending)
                << c.language << " " << i;
        }
    }
}

TEST_F(TableSortTest, UnderALanguageAccentsCompareEqual) {
    Create(0x040C);  // French
    Add("cafe", 1);
    Add("caf\xE9", 2);
    Add("cab", 3);
    Sort(Key(2), true);
    const auto rows = Rows();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].name, "cab");
    EXPECT_EQ(rows[1].name, "cafe");
}

TEST_F(TableSortTest, EncryptedRecordsStayScrambledThroughTheRuns) {
    Create(0, true);
    for (int i = 0; i < 9000; ++i)
        Add("e", 9000 - i);
    Sort(Key(3));
    EXPECT_EQ(TTableSort::LastRunNames().size(), 2u);
    file_->WriteHeader(false);
    file_->Close();
    const auto bytes = testing_support::ReadBytes(dir_.File("result.DAT"));
    const std::size_t first = 127 + 4 * 768;
    EXPECT_NE(bytes[first + 92], 1);  // the flag byte is scrambled on disk
    file_->Open();
    const auto rows = Rows();
    ASSERT_EQ(rows.size(), 9000u);
    EXPECT_EQ(rows[0].amount, 1);
    EXPECT_EQ(rows[8999].amount, 9000);
}

TEST_F(TableSortTest, InMemoryTableSortsThroughRunsInMemory) {
    file_ = std::make_unique<TDataFile>();
    file_->SetName("memsort.DAT");
    file_->SetInMemory(true);
    file_->CreateDataFile(0, 0, SortFields(), 0, "", "", false, 0, 0);
    for (int i = 0; i < 9000; ++i)
        Add("m", (i * 7919) % 9000);
    Sort(Key(3));
    const auto runs = TTableSort::LastRunNames();
    ASSERT_EQ(runs.size(), 2u);
    for (const std::string& name : runs)
        EXPECT_FALSE(std::filesystem::exists(name)) << name;
    const auto rows = Rows();
    ASSERT_EQ(rows.size(), 9000u);
    for (std::size_t i = 0; i < rows.size(); ++i)
        ASSERT_EQ(rows[i].amount, static_cast<std::int32_t>(i));
    file_->Close();
    file_->DeleteFile();
}

TEST(KeyComparer, LanguageZeroDescendingKeysCompareAsPlainBytes) {
    std::vector<FieldDescriptor> f = {MakeFieldDescriptor(1, "N", 6)};
    PutU16(f[0], fd::kOffset, 9);
    f[0][fd::kDescending] = 1;
    auto key_of = [&](std::int32_t v, std::uint16_t language) {
        std::vector<std::uint8_t> record(14, 0);
        record[9] = 1;
        PutU32(record, 10, static_cast<std::uint32_t>(v));
        std::vector<std::uint8_t> key(9);
        BuildRecordKey(f, record, key, false, false, language, 0, true);
        return key;
    };
    for (std::uint16_t language : {std::uint16_t{0}, std::uint16_t{0x0409}}) {
        TKeyComparer comparer(KeySegmentsOf(f, false), language, 0, 9);
        const auto small = key_of(-1, language);
        const auto big = key_of(1, language);
        EXPECT_EQ(comparer.Compare(small.data(), big.data(), true), 1) << language;
        EXPECT_EQ(comparer.Compare(big.data(), small.data(), true), -1) << language;
    }
    // An ascending integer -1 gives 7F FF FF FF; descending without a
    // language the inverted flag and 80 00 00 00.
    EXPECT_EQ(key_of(-1, 0), (std::vector<std::uint8_t>{0xFE, 0x80, 0, 0, 0, 0x80, 0, 0, 0}));
}

}  // namespace
}  // namespace strata
