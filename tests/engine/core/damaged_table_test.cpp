// Damaged table files: every structural field of the data, index and blob
// files flipped, pages and blocks zeroed, files cut at and between page
// boundaries, extended with garbage, missing or taken from another table.
// Each case is read through every index and a filter, verified, repaired,
// verified and read again.
//
// The suite runs a fixed selection; CORVANE_DAMAGE_ALL=1 runs every case and
// CORVANE_DAMAGE_SEED / CORVANE_DAMAGE_ROUNDS a random campaign on top;
// CORVANE_DAMAGE_ONLY=<text> runs the cases whose label holds the text.

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>

#include "engine/storage/engine_error.h"
#include "tests/engine/core/damaged_table_support.h"

namespace strata {
namespace {

using namespace testing_support;

bool MessageIsClear(const EStrataEngineError& error) {
    const std::string prefix = "Strata Engine Error # " + std::to_string(error.ErrorCode()) + " ";
    const std::string text = error.what();
    return error.ErrorCode() != 0 && text.rfind(prefix, 0) == 0 && text.size() > prefix.size() + 3;
}

std::uint64_t EnvNumber(const char* name, std::uint64_t fallback) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? std::strtoull(value, nullptr, 10) : fallback;
}

class DamagedFiles : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        StartEngine();
        origin_ = std::make_unique<TempDir>();
        Build(*origin_, "mailist", 48, "member", pristine_);
        Build(*origin_, "other", 20, "stranger", stranger_);
        Map();
    }
    static void TearDownTestSuite() { origin_.reset(); }

    static void Build(const TempDir& where, const std::string& name, int rows,
                      const std::string& stem, std::array<std::vector<std::uint8_t>, 3>& files) {
        TDataSession session;
        TDataDirectory* directory = session.OpenDirectory("DB", where.Path().string());
        TDataCursor c(*directory);
        c.SetTableName(name);
        c.SetExclusive(true);
        c.CreateTable(CampaignDefinition(), true);
        c.Open();
        std::vector<std::uint8_t> record(c.GetRecordSize());
        for (int i = 0; i < rows; ++i) {
            c.InitNewRecord(record);
            PutText(c, record, 2, (i % 2 ? "Member" : "mEMBER") + std::to_string(i) + "@" + stem);
            PutText(c, record, 3, "cat" + std::to_string(i % 5));
            if (i % 11 != 0)
                PutInt(c, record, 4, i % 7);
            PutInt(c, record, 5, 738000 + i * 3);
            const double amount = i * 1.25 - 7;
            c.PutField(6, record, reinterpret_cast<const std::uint8_t*>(&amount));
            if (i % 4 != 0) {
                std::string note;
                for (int k = 0; note.size() < static_cast<std::size_t>(10 + i * 37); ++k)
                    note += stem + " " + std::to_string(i) + "." + std::to_string(k) + " ";
                c.OpenBlob(kNotesField, record, kBlobOpenReadWrite);
                c.WriteBlob(kNotesField, record, static_cast<std::uint32_t>(note.size()),
                            reinterpret_cast<const std::uint8_t*>(note.data()), 0);
            }
            c.InsertRecord(record, false);
            c.FreeBlobs();
        }
        // Deleted records and freed memo blocks give both free chains.
        c.SelectIndex(kNoIndex);
        c.First();
        for (int i = 0; c.GetNextRecord(record) == kErrNone; ++i) {
            if (i % 9 == 4)
                c.DeleteRecord(record, false);
        }
        c.Close();
        for (std::size_t f = 0; f < 3; ++f)
            files[f] = ReadBytes(where.File(name + kTableExtensions[f]));
    }

    // Where the sound table's records and memo blocks lie.
    static void Map() {
        const auto& data = pristine_[0];
        layout_.record_size = GetU16(data, dh::kRecordSize);
        layout_.records_at =
            kDataHeaderSize + std::int64_t{GetU16(data, dh::kFieldCount)} * kFieldDescriptorSize;
        layout_.slots = GetU32(data, dh::kNextSlot) - 1;
        const FieldDescriptor notes = [&] {
            FieldDescriptor d{};
            std::copy_n(data.begin() + kDataHeaderSize + (kNotesField - 1) * kFieldDescriptorSize,
                        kFieldDescriptorSize, d.begin());
            return d;
        }();
        const auto& blob = pristine_[2];
        for (std::uint32_t r = 1; r <= layout_.slots; ++r) {
            const std::size_t at = layout_.records_at + std::size_t{r - 1} * layout_.record_size;
            if (data[at] != 0)
                continue;
            const std::uint32_t id = GetU32(data, at + 5);
            layout_.slot_of[id] = r;
            std::uint32_t block = GetU32(data, at + FieldOffset(notes) + 1);
            while (block != 0) {
                layout_.blocks_of[id].push_back(block);
                block = GetU32(blob, block + 4);
            }
        }
        // The rows as the sound table reads them.
        TDataSession session;
        TDataDirectory* directory = session.OpenDirectory("DB", origin_->Path().string());
        TDataCursor c(*directory);
        c.SetTableName("mailist");
        c.SetExclusive(true);
        c.Open();
        std::vector<std::uint8_t> record(c.GetRecordSize());
        c.First();
        while (c.GetNextRecord(record) == kErrNone)
            layout_.rows[TDataCursor::RecordIdOf(record)] = ReadCampaignRow(c, record);
        c.Close();
        for (std::uint32_t b = GetU32(blob, bh::kFirstFree); b != 0 && b < blob.size();
             b = GetU32(blob, b + 4))
            layout_.free_blocks.push_back(b);
    }

    static DamagedTable Sound(std::string label) {
        DamagedTable t;
        t.label = std::move(label);
        for (std::size_t f = 0; f < 3; ++f)
            t.files[f] = pristine_[f];
        return t;
    }
    static DamagedTable Flip(std::size_t file, std::int64_t at, std::uint8_t mask,
                             const std::string& what, Intact intact = Intact::kRecordsOutside) {
        DamagedTable t = Sound(std::string(kTableExtensions[file]) + " " + what + " @" +
                               std::to_string(at) + " ^" + std::to_string(mask));
        if (at >= static_cast<std::int64_t>(t.files[file]->size()))
            return t;
        (*t.files[file])[at] ^= mask;
        t.ranges[file].emplace_back(at, at + 1);
        t.intact = intact;
        t.index_header_hit = file == 1;
        return t;
    }
    static DamagedTable Zero(std::size_t file, std::int64_t at, std::int64_t length,
                             const std::string& what) {
        DamagedTable t = Sound(std::string(kTableExtensions[file]) + " zeroed " + what + " @" +
                               std::to_string(at));
        auto& bytes = *t.files[file];
        const std::int64_t end = std::min<std::int64_t>(at + length, bytes.size());
        std::fill(bytes.begin() + at, bytes.begin() + end, 0);
        t.ranges[file].emplace_back(at, end);
        t.index_header_hit = file == 1;
        return t;
    }
    static DamagedTable Cut(std::size_t file, std::int64_t length) {
        DamagedTable t =
            Sound(std::string(kTableExtensions[file]) + " cut to " + std::to_string(length));
        auto& bytes = *t.files[file];
        t.ranges[file].emplace_back(length, bytes.size());
        bytes.resize(std::min<std::size_t>(length, bytes.size()));
        t.index_header_hit = file == 1;
        if (file == 0 && length < layout_.records_at)
            t.intact = Intact::kNone;
        return t;
    }
    static DamagedTable Extend(std::size_t file, std::size_t length, std::uint32_t seed) {
        DamagedTable t =
            Sound(std::string(kTableExtensions[file]) + " extended by " + std::to_string(length));
        std::mt19937 random(seed);
        auto& bytes = *t.files[file];
        for (std::size_t i = 0; i < length; ++i)
            bytes.push_back(static_cast<std::uint8_t>(random()));
        return t;
    }
    static DamagedTable Missing(std::size_t file) {
        DamagedTable t = Sound(std::string(kTableExtensions[file]) + " missing");
        t.files[file].reset();
        t.ranges[file].emplace_back(0, std::int64_t{1} << 40);
        t.index_header_hit = file == 1;
        if (file == 0)
            t.intact = Intact::kNone;
        return t;
    }
    static DamagedTable Swapped(std::size_t file) {
        DamagedTable t = Sound(std::string(kTableExtensions[file]) + " of another table");
        t.files[file] = stranger_[file];
        t.ranges[file].emplace_back(0, std::int64_t{1} << 40);
        t.index_header_hit = file == 1;
        if (file == 0)
            t.intact = Intact::kNone;
        return t;
    }

    static bool Overlaps(const DamagedTable& t, std::size_t file, std::int64_t begin,
                         std::int64_t end) {
        return std::any_of(t.ranges[file].begin(), t.ranges[file].end(),
                           [&](const auto& r) { return r.first < end && begin < r.second; });
    }
    // True when the data file was hit outside its records.
    static bool DataHeadersHit(const DamagedTable& t) {
        return Overlaps(t, 0, 0, layout_.records_at);
    }

    void Write(const DamagedTable& t) const {
        for (std::size_t f = 0; f < 3; ++f) {
            const std::string path = dir_.File(std::string("mailist") + kTableExtensions[f]);
            std::filesystem::remove(path);
            if (t.files[f])
                WriteBytes(path, *t.files[f]);
        }
    }
    std::array<std::vector<std::uint8_t>, 3> Snapshot() const {
        std::array<std::vector<std::uint8_t>, 3> files;
        for (std::size_t f = 0; f < 3; ++f) {
            const std::string path = dir_.File(std::string("mailist") + kTableExtensions[f]);
            if (std::filesystem::exists(path))
                files[f] = ReadBytes(path);
        }
        return files;
    }

    // Runs `step`; an engine error is an answer, any other exception a fault.
    template <class Step>
    bool Try(const DamagedTable& t, const char* what, Step&& step) {
        try {
            step();
            return true;
        } catch (const EStrataEngineError& error) {
            EXPECT_TRUE(MessageIsClear(error)) << t.label << ": " << what << ": " << error.what();
            last_error_ = error.ErrorCode();
            return false;
        } catch (const std::exception& error) {
            ADD_FAILURE() << t.label << ": " << what << " raised " << error.what();
            return false;
        }
    }

    std::unique_ptr<TDataCursor> Cursor(TDataDirectory& directory) const {
        auto c = std::make_unique<TDataCursor>(directory);
        c->SetTableName("mailist");
        c->SetExclusive(true);
        return c;
    }

    // Every row through the index; a read that runs on past every slot
    // twice over is a loop.
    std::vector<std::pair<std::uint32_t, CampaignRow>> ReadThrough(const DamagedTable& t,
                                                                   TDataDirectory& directory,
                                                                   const std::string* index,
                                                                   const char* filter = nullptr) {
        std::vector<std::pair<std::uint32_t, CampaignRow>> rows;
        auto c = Cursor(directory);
        c->Open();
        try {
            if (index != nullptr)
                c->SetIndexByName(*index);
            if (filter != nullptr)
                c->ActivateFilter(c->AddFilter(filter, {}));
            std::vector<std::uint8_t> record(c->GetRecordSize());
            const std::size_t limit = 2 * std::size_t{layout_.slots} + 64;
            c->First();
            while (c->GetNextRecord(record) == kErrNone) {
                rows.emplace_back(TDataCursor::RecordIdOf(record), ReadCampaignRow(*c, record));
                if (std::getenv("CORVANE_DAMAGE_TRACE") != nullptr)
                    std::cout << c->GetRecordNumber() << " ";
                if (rows.size() > limit) {
                    ADD_FAILURE() << t.label << ": endless read through '" << (index ? *index : "-")
                                  << "'";
                    break;
                }
            }
        } catch (...) {
            c->Close();
            throw;
        }
        c->Close();
        return rows;
    }

    std::vector<std::string> Repair(TDataDirectory& directory, bool verify_only) {
        std::vector<std::string> lines;
        auto c = Cursor(directory);
        RepairTable(*c, verify_only, 0, {},
                    [&lines](std::string_view line) { lines.emplace_back(line); });
        return lines;
    }

    // The whole round of one damaged table.
    void Run(const DamagedTable& t) {
        if (const char* only = std::getenv("CORVANE_DAMAGE_ONLY");
            only != nullptr && t.label.find(only) == std::string::npos)
            return;
        SCOPED_TRACE(t.label);
        Write(t);
        {
            TDataSession session;
            TDataDirectory& directory = *session.OpenDirectory("DB", dir_.Path().string());
            Try(t, "read", [&] { ReadThrough(t, directory, nullptr); });
            for (const std::string& name : CampaignIndexes())
                Try(t, "read by index", [&] { ReadThrough(t, directory, &name); });
            Try(t, "filter", [&] { ReadThrough(t, directory, nullptr, "Bounces > 2"); });
            Try(t, "filter by index", [&] {
                const std::string name = "ByCategory";
                ReadThrough(t, directory, &name, "Category = 'CAT1' or Amount < 0");
            });
        }
        const auto before_verify = Snapshot();
        {
            TDataSession session;
            TDataDirectory& directory = *session.OpenDirectory("DB", dir_.Path().string());
            Try(t, "verify", [&] { Repair(directory, true); });
        }
        EXPECT_TRUE(Snapshot() == before_verify) << t.label << ": verification wrote";
        bool repaired = false;
        {
            TDataSession session;
            TDataDirectory& directory = *session.OpenDirectory("DB", dir_.Path().string());
            repaired = Try(t, "repair", [&] { Repair(directory, false); });
        }
        if (!repaired) {
            ++refused_;
            EXPECT_TRUE(Snapshot() == before_verify)
                << t.label << ": a failed repair (" << last_error_ << ") changed the files";
            return;
        }
        ++mended_;
        TDataSession session;
        TDataDirectory& directory = *session.OpenDirectory("DB", dir_.Path().string());
        std::vector<std::string> lines;
        if (!Try(t, "second verify", [&] { lines = Repair(directory, true); })) {
            ADD_FAILURE() << t.label << ": the repaired table fails verification";
            return;
        }
        // A field of unknown type is the one fault repair leaves, and says so.
        if (std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
                return line.ends_with("error cannot be fixed");
            }))
            return;
        EXPECT_EQ(lines.size(), 2u) << t.label << ": " << (lines.size() > 1 ? lines[1] : "");
        std::vector<std::pair<std::uint32_t, CampaignRow>> rows;
        if (!Try(t, "read after repair", [&] { rows = ReadThrough(t, directory, nullptr); })) {
            ADD_FAILURE() << t.label << ": the repaired table cannot be read (" << last_error_
                          << ")";
            return;
        }
        std::int64_t count = -1;
        Try(t, "count", [&] {
            auto c = Cursor(directory);
            c->Open();
            count = c->GetRecordCount();
            c->Close();
        });
        EXPECT_EQ(count, static_cast<std::int64_t>(rows.size())) << t.label;
        std::multiset<std::uint32_t> ids;
        for (const auto& [id, row] : rows)
            ids.insert(id);
        EXPECT_EQ(std::set<std::uint32_t>(ids.begin(), ids.end()).size(), ids.size())
            << t.label << ": a record ID twice";
        for (const std::string& name : CampaignIndexes()) {
            std::vector<std::pair<std::uint32_t, CampaignRow>> by_index;
            const bool read =
                Try(t, "index after repair", [&] { by_index = ReadThrough(t, directory, &name); });
            if (!read) {
                // A damaged index header may lose an index, never a record.
                EXPECT_TRUE(t.index_header_hit || t.intact == Intact::kNone)
                    << t.label << ": index '" << name << "' unreadable after repair";
                continue;
            }
            std::multiset<std::uint32_t> indexed;
            for (const auto& [id, row] : by_index)
                indexed.insert(id);
            EXPECT_TRUE(indexed == ids) << t.label << ": index '" << name << "' holds "
                                        << indexed.size() << " of " << ids.size() << " records";
        }
        if (t.intact == Intact::kNone || DataHeadersHit(t))
            return;
        // Every record whose bytes were left alone is there once, with its memo
        // when the memo's blocks were left alone too.
        for (const auto& [id, expected] : layout_.rows) {
            const std::uint32_t slot = layout_.slot_of.at(id);
            const std::int64_t at =
                layout_.records_at + std::int64_t{slot - 1} * layout_.record_size;
            if (Overlaps(t, 0, at, at + layout_.record_size))
                continue;
            bool memo_intact = true;
            if (auto blocks = layout_.blocks_of.find(id); blocks != layout_.blocks_of.end()) {
                for (const std::uint32_t b : blocks->second)
                    memo_intact = memo_intact && !Overlaps(t, 2, b, b + kCampaignBlockSize);
            }
            int found = 0;
            for (const auto& [got_id, row] : rows) {
                if (row.values != expected.values)
                    continue;
                ++found;
                if (memo_intact) {
                    EXPECT_EQ(row.notes, expected.notes) << t.label << ": memo of " << id;
                }
            }
            EXPECT_EQ(found, 1) << t.label << ": record " << id << " (" << expected.values[0]
                                << ")";
        }
    }

    // Every case of the campaign; `all` false keeps a selection that runs in
    // a few seconds.
    static std::vector<DamagedTable> DataFileCases(bool all);
    static std::vector<DamagedTable> IndexFileCases(bool all);
    static std::vector<DamagedTable> BlobFileCases(bool all);

    TempDir dir_;
    EngineErrorCode last_error_ = 0;
    int refused_ = 0;
    int mended_ = 0;

    static inline std::unique_ptr<TempDir> origin_;
    static inline std::array<std::vector<std::uint8_t>, 3> pristine_;
    static inline std::array<std::vector<std::uint8_t>, 3> stranger_;
    static inline CampaignLayout layout_;
};

bool All() {
    return EnvNumber("CORVANE_DAMAGE_ALL", 0) != 0;
}

// The suite's share of a file's cases: evenly spread, with the whole-file ones
// (garbage, missing, swapped) at the end always kept.
std::vector<DamagedTable> Selection(std::vector<DamagedTable> cases, std::size_t kept) {
    if (All() || cases.size() <= kept)
        return cases;
    constexpr std::size_t kWholeFile = 5;
    const std::size_t spread = cases.size() - kWholeFile;
    const std::size_t step = spread / (kept - kWholeFile) + 1;
    std::vector<DamagedTable> chosen;
    for (std::size_t i = step / 2; i < spread; i += step)
        chosen.push_back(std::move(cases[i]));
    for (std::size_t i = spread; i < cases.size(); ++i)
        chosen.push_back(std::move(cases[i]));
    return chosen;
}

std::vector<DamagedTable> DamagedFiles::DataFileCases(bool all) {
    std::vector<DamagedTable> cases;
    const std::vector<std::uint8_t> masks =
        all ? std::vector<std::uint8_t>{0x01, 0x80, 0xFF} : std::vector<std::uint8_t>{0xFF};
    // Header fields that the repair recomputes from the descriptors and the file.
    for (const std::int64_t at : {0, 9, 10, 12, 13, 14, 16, 17, 20, 21, 22, 25, 26, 111, 112, 116})
        for (const std::uint8_t m : masks)
            cases.push_back(Flip(0, at, m, "header"));
    // Header fields the records are read by.
    for (const std::int64_t at : {4, 5, 8, 23, 24, 86, 103, 104})
        cases.push_back(Flip(0, at, 0xFF, "header", Intact::kNone));
    for (std::uint32_t f = 1; f <= 7; ++f) {
        const std::int64_t d = kDataHeaderSize + std::int64_t{f - 1} * kFieldDescriptorSize;
        for (const std::size_t at : {fd::kNumber, fd::kName, fd::kOffset, fd::kOffset + 1})
            cases.push_back(Flip(0, d + at, 0xFF, "descriptor " + std::to_string(f)));
        if (all || f == 2 || f == 7) {
            for (const std::size_t at : {fd::kType, fd::kLength, fd::kDataSize, fd::kDecimals})
                cases.push_back(
                    Flip(0, d + at, 0x01, "descriptor " + std::to_string(f), Intact::kNone));
        }
    }
    const auto record_at = [](std::uint32_t r) {
        return layout_.records_at + std::int64_t{r - 1} * layout_.record_size;
    };
    const std::uint32_t deleted = 5;  // the fifth record was deleted
    std::vector<std::uint32_t> slots = {1, 2, deleted, layout_.slots / 2, layout_.slots};
    if (all) {
        slots.clear();
        for (std::uint32_t r = 1; r <= layout_.slots; ++r)
            slots.push_back(r);
    }
    const auto notes_at = GetU16(
        pristine_[0], kDataHeaderSize + (kNotesField - 1) * kFieldDescriptorSize + fd::kOffset);
    for (const std::uint32_t r : slots) {
        for (const std::int64_t at : {0, 1, 2, 5, 6, 9, int(notes_at), int(notes_at) + 1,
                                      int(notes_at) + 2, int(notes_at) + 5})
            cases.push_back(Flip(0, record_at(r) + at, 0xFF, "record " + std::to_string(r)));
        cases.push_back(Zero(0, record_at(r), layout_.record_size, "record " + std::to_string(r)));
    }
    const std::int64_t size = static_cast<std::int64_t>(pristine_[0].size());
    for (const std::int64_t at : {std::int64_t{0}, std::int64_t{60}, std::int64_t{kDataHeaderSize},
                                  std::int64_t{kDataHeaderSize + 800}, layout_.records_at})
        cases.push_back(Cut(0, at));
    for (std::uint32_t r = 1; r <= layout_.slots; r += all ? 1 : 11) {
        cases.push_back(Cut(0, record_at(r)));
        cases.push_back(Cut(0, record_at(r) + layout_.record_size / 2));
    }
    cases.push_back(Cut(0, size - 1));
    for (const std::size_t n :
         {std::size_t{7}, std::size_t{layout_.record_size}, std::size_t{4096}})
        cases.push_back(Extend(0, n, static_cast<std::uint32_t>(n)));
    cases.push_back(Missing(0));
    cases.push_back(Swapped(0));
    return cases;
}

std::vector<DamagedTable> DamagedFiles::IndexFileCases(bool all) {
    std::vector<DamagedTable> cases;
    for (const std::int64_t at : {0, 8, 9, 10, 11, 13, 3974, 3975, 3978})
        cases.push_back(Flip(1, at, 0xFF, "header"));
    for (const int slot : {0, 1, 2, 3, 4, 5, 6, 31}) {
        const std::int64_t s = ih::kSlots + std::int64_t{slot} * kIndexDescriptorSize;
        for (const std::size_t at :
             {ixd::kName, ixd::kKeySize, ixd::kKeySize + 1, ixd::kDescending, ixd::kCaseInsensitive,
              ixd::kUnique, ixd::kCompression, ixd::kFieldCount, ixd::kFieldDescending,
              ixd::kFieldNumbers, ixd::kFieldNumbers + 2, ixd::kRoot, ixd::kRoot + 1,
              ixd::kFreePage + 1, ixd::kRemovalMark}) {
            if (all || at != ixd::kFieldDescending)
                cases.push_back(Flip(1, s + at, 0x01, "slot " + std::to_string(slot)));
        }
    }
    const std::int64_t size = static_cast<std::int64_t>(pristine_[1].size());
    for (std::int64_t page = kIndexHeaderSize; page < size; page += kIndexPageSize) {
        const std::string what = "page " + std::to_string(page / kIndexPageSize);
        for (const std::int64_t at : {0, 1, 2, 3, 5, 7, 9, 11, 12, 13, 14, 15, 16, 20, 40})
            cases.push_back(Flip(1, page + at, all ? 0xFF : 0x81, what));
        cases.push_back(Zero(1, page, kIndexPageSize, what));
        cases.push_back(Cut(1, page));
        cases.push_back(Cut(1, page + kIndexPageSize / 2));
    }
    for (const std::int64_t at : {std::int64_t{0}, std::int64_t{100}, size - 1})
        cases.push_back(Cut(1, at));
    for (const std::size_t n : {std::size_t{100}, std::size_t{4096}, std::size_t{5000}})
        cases.push_back(Extend(1, n, static_cast<std::uint32_t>(n)));
    cases.push_back(Missing(1));
    cases.push_back(Swapped(1));
    return cases;
}

std::vector<DamagedTable> DamagedFiles::BlobFileCases(bool all) {
    std::vector<DamagedTable> cases;
    for (const std::int64_t at : {0, 8, 9, 10, 13, 14, 17, 100})
        cases.push_back(Flip(2, at, 0xFF, "header"));
    std::vector<std::uint32_t> blocks;
    for (const auto& [id, chain] : layout_.blocks_of) {
        if (all) {
            blocks.insert(blocks.end(), chain.begin(), chain.end());
        } else if (id % 5 == 2 && chain.size() > 2) {
            blocks.push_back(chain.front());
            blocks.push_back(chain[1]);
            blocks.push_back(chain.back());
        }
    }
    for (std::size_t i = 0; i < layout_.free_blocks.size(); i += all ? 1 : 7)
        blocks.push_back(layout_.free_blocks[i]);
    for (const std::uint32_t b : blocks) {
        const std::string what = "block " + std::to_string(b);
        for (const std::int64_t at : {0, 1, 4, 5, 8, 9, 10, 12, 14, 16, 20})
            cases.push_back(Flip(2, b + at, 0xFF, what));
        cases.push_back(Zero(2, b, kCampaignBlockSize, what));
    }
    const std::int64_t size = static_cast<std::int64_t>(pristine_[2].size());
    const std::int64_t step = all ? kCampaignBlockSize : 37 * kCampaignBlockSize;
    for (std::int64_t at = kBlobHeaderSize; at < size; at += step) {
        cases.push_back(Cut(2, at));
        cases.push_back(Cut(2, at + kCampaignBlockSize / 2));
    }
    for (const std::int64_t at : {std::int64_t{0}, std::int64_t{100}, size - 1})
        cases.push_back(Cut(2, at));
    for (const std::size_t n :
         {std::size_t{10}, std::size_t{kCampaignBlockSize}, std::size_t{1000}})
        cases.push_back(Extend(2, n, static_cast<std::uint32_t>(n)));
    cases.push_back(Missing(2));
    cases.push_back(Swapped(2));
    return cases;
}

// A key flipped in a page puts the page's keys out of order: each step, finding
// its place again by the key it stands on, came back to the same record and a
// read never ended.
TEST_F(DamagedFiles, StepsThroughKeysOutOfOrderEndWithAnError) {
    for (const int slot : {0, 1, 3}) {
        for (const std::int64_t at : {13, 15, 16}) {
            DamagedTable t = Sound("slot " + std::to_string(slot) + " root +" + std::to_string(at));
            auto& index = *t.files[1];
            const std::uint32_t root =
                GetU32(index, ih::kSlots + slot * kIndexDescriptorSize + ixd::kRoot);
            ASSERT_NE(root, 0u);
            index[root + at] ^= 0x81;
            Write(t);
            TDataSession session;
            TDataDirectory& directory = *session.OpenDirectory("DB", dir_.Path().string());
            auto c = Cursor(directory);
            c->Open();
            c->SelectIndex(static_cast<std::uint8_t>(slot));
            std::vector<std::uint8_t> record(c->GetRecordSize());
            for (const bool forward : {true, false}) {
                std::size_t rows = 0;
                const EngineErrorCode code = CodeOf([&] {
                    if (forward) {
                        c->First();
                        while (c->GetNextRecord(record) == kErrNone && rows <= layout_.slots)
                            ++rows;
                    } else {
                        c->Last();
                        while (c->GetPriorRecord(record) == kErrNone && rows <= layout_.slots)
                            ++rows;
                    }
                });
                EXPECT_LE(rows, layout_.slots) << t.label << (forward ? " forward" : " backward");
                if (code != 0) {
                    EXPECT_EQ(code, kErrIndexPageCorrupt) << t.label;
                }
            }
            c->Close();
        }
    }
}

// One flipped bit in an index descriptor made a secondary index unique, or moved
// a unique one onto another field: the repair then deleted every record sharing
// a key there (43 of 48). The primary index, unique by definition, did the same
// when moved onto another field.
TEST_F(DamagedFiles, ARepairedIndexDefinitionCostsNoRecord) {
    const auto slot_at = [](int slot, std::size_t field) {
        return ih::kSlots + std::int64_t{slot} * kIndexDescriptorSize + field;
    };
    const std::vector<DamagedTable> cases = {
        Flip(1, slot_at(1, ixd::kFieldNumbers), 0x01, "ByItem on Category"),
        Flip(1, slot_at(2, ixd::kUnique), 0x01, "ByCategory unique"),
        Flip(1, slot_at(4, ixd::kUnique), 0x01, "ByJoined unique"),
        Flip(1, slot_at(3, ixd::kFieldNumbers + 2), 0x01, "ByBounces on Bounces and Category"),
        Flip(1, slot_at(0, ixd::kFieldNumbers), 0x02, "Primary on Category"),
        Flip(1, slot_at(0, ixd::kFieldNumbers), 0x06, "Primary on Amount")};
    for (const DamagedTable& t : cases)
        Run(t);
    EXPECT_EQ(mended_, 6);
}

// Only the primary index's stored key size damaged: its fields still fit the
// records, so it is kept, unique, with every record.
TEST_F(DamagedFiles, APrimaryIndexWithOnlyItsKeySizeDamagedIsKept) {
    DamagedTable t = Flip(1, ih::kSlots + ixd::kKeySize, 0x08, "Primary key size");
    Run(t);
    EXPECT_EQ(mended_, 1);
    TDataSession session;
    TDataDirectory& directory = *session.OpenDirectory("DB", dir_.Path().string());
    auto c = Cursor(directory);
    c->Open();
    EXPECT_FALSE(c->Table()->IndexFile().GetNoPrimaryIndex());
    EXPECT_EQ(c->GetRecordCount(), static_cast<std::int64_t>(layout_.rows.size()));
    c->Close();
}

// A flipped version byte in the index header left a table that neither opened,
// nor repaired, nor upgraded (12035 each time), though the index file is rebuilt
// from the records anyway. A version no earlier table has is repaired.
TEST_F(DamagedFiles, AnIndexVersionNoEarlierTableHasIsRepaired) {
    for (const std::uint8_t mask : {0xFF, 0x01, 0x80})
        Run(Flip(1, ih::kVersion, mask, "version"));
    EXPECT_EQ(mended_, 3);
    // An earlier version is still left to the upgrade.
    Run(Flip(1, ih::kVersion, 0x04, "version"));
    EXPECT_EQ(refused_, 1);
    EXPECT_EQ(last_error_, kErrWrongVersion);
}

// A blob file that is missing (a copy of the table made without it) is not
// taken for an empty one: the open and the repair refuse, naming the file, and
// change nothing, so the memos are all there once the file is put back.
TEST_F(DamagedFiles, AMissingBlobFileIsRefusedAndItsReturnBringsBackEveryMemo) {
    Write(Missing(2));
    const auto before = Snapshot();
    TDataSession session;
    TDataDirectory& directory = *session.OpenDirectory("DB", dir_.Path().string());
    for (const bool repair : {false, true}) {
        std::string message;
        try {
            if (repair) {
                Repair(directory, false);
            } else {
                auto c = Cursor(directory);
                c->Open();
            }
        } catch (const EStrataEngineError& error) {
            EXPECT_EQ(error.ErrorCode(), kErrInvalidPath);
            message = error.what();
        }
        EXPECT_NE(message.find("mailist.BLB"), std::string::npos)
            << (repair ? "repair: " : "open: ") << message;
    }
    EXPECT_TRUE(Snapshot() == before);
    WriteBytes(dir_.File("mailist.BLB"), pristine_[2]);
    std::map<std::uint32_t, CampaignRow> rows;
    for (auto& [id, row] : ReadThrough(Sound("blob file back"), directory, nullptr))
        rows[id] = row;
    EXPECT_TRUE(rows == layout_.rows);
}

TEST_F(DamagedFiles, SoundTableRoundTrips) {
    Run(Sound("sound"));
    EXPECT_EQ(mended_, 1);
}

TEST_F(DamagedFiles, DataFileDamageGivesAnErrorOrTheIntactRecords) {
    for (const DamagedTable& t : Selection(DataFileCases(All()), 16))
        Run(t);
    std::cout << "data file: " << mended_ << " repaired, " << refused_ << " refused\n";
}

TEST_F(DamagedFiles, IndexFileDamageLosesNoRecord) {
    for (const DamagedTable& t : Selection(IndexFileCases(All()), 16))
        Run(t);
    std::cout << "index file: " << mended_ << " repaired, " << refused_ << " refused\n";
}

TEST_F(DamagedFiles, BlobFileDamageLosesOnlyTheMemosHit) {
    for (const DamagedTable& t : Selection(BlobFileCases(All()), 14))
        Run(t);
    std::cout << "blob file: " << mended_ << " repaired, " << refused_ << " refused\n";
}

// Random bytes of random files, several at once; a seed repeats a run.
TEST_F(DamagedFiles, RandomDamageCampaign) {
    const std::uint64_t seed = EnvNumber("CORVANE_DAMAGE_SEED", 20261209);
    const std::uint64_t rounds = EnvNumber("CORVANE_DAMAGE_ROUNDS", 5);
    std::mt19937_64 random(seed);
    for (std::uint64_t round = 0; round < rounds; ++round) {
        DamagedTable t = Sound("seed " + std::to_string(seed) + " round " + std::to_string(round));
        const int edits = 1 + static_cast<int>(random() % 6);
        for (int e = 0; e < edits; ++e) {
            const std::size_t f = random() % 3;
            auto& bytes = *t.files[f];
            const std::int64_t at = static_cast<std::int64_t>(random() % bytes.size());
            bytes[at] ^= static_cast<std::uint8_t>(1 + random() % 255);
            t.ranges[f].emplace_back(at, at + 1);
            t.index_header_hit = t.index_header_hit || f == 1;
            t.label += " " + std::string(kTableExtensions[f]) + "@" + std::to_string(at);
        }
        // A damaged field descriptor can change what every record means.
        if (Overlaps(t, 0, 0, layout_.records_at))
            t.intact = Intact::kNone;
        Run(t);
    }
    std::cout << "random: " << mended_ << " repaired, " << refused_ << " refused\n";
}

}  // namespace
}  // namespace strata
