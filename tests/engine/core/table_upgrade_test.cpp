#include "engine/core/table_upgrade.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "engine/core/table_repair.h"
#include "engine/storage/scramble.h"
#include "tests/engine/core/cursor_test_support.h"

namespace strata {
namespace {

using namespace testing_support;

std::vector<std::uint8_t> ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteAll(const std::string& path, std::span<const std::uint8_t> bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

struct OldRow {
    std::uint32_t id;
    std::string item;
    std::int32_t bounces;
};

// Writes a table of an earlier version from the documented layouts: the list
// table's Index (auto-increment), Item and Bounces, optionally a blob field.
class OldTableWriter {
  public:
    OldTableWriter(std::uint8_t version, bool with_blob) : version_(version) {
        fields_ = {MakeFieldDescriptor(1, "Index", 6, 29), MakeFieldDescriptor(2, "Item", 1, 0, 80),
                   MakeFieldDescriptor(3, "Bounces", 6)};
        if (with_blob)
            fields_.push_back(MakeFieldDescriptor(4, "Notes", 3));
        // The old layout gives every field, the auto-increment one too, a
        // flag byte and its data; an old blob field holds a 4-byte reference.
        std::uint32_t at = 9;
        for (auto& f : fields_) {
            offsets_.push_back(at);
            at += 1u + (FieldType(f) == 3 && version < 3 ? 4u : FieldDataSize(f));
        }
        record_size_ = at;
    }

    void Write(const std::string& base, const std::vector<OldRow>& rows, bool index_file,
               bool blob_file, std::string_view password = {}) const {
        const bool encrypted = !password.empty();
        const std::size_t size = version_ == 3 ? kFieldDescriptorSize : kOldFieldDescriptorSize;
        std::vector<std::uint8_t> file(kDataHeaderSize + fields_.size() * size, 0);
        file[dh::kVersion] = version_;
        PutU32(file, dh::kNextSlot, rows.size() + 1);
        PutU32(file, dh::kLastAutoInc, rows.size());
        PutU16(file, dh::kRecordSize, record_size_);
        PutU16(file, dh::kFieldCount, fields_.size());
        PutU16(file, dh::kBlobFieldCount, fields_.size() == 4 ? 1 : 0);
        PutShortString(file, dh::kDescription, 50, "old list");
        PutU16(file, dh::kUserWord1, 7);
        if (encrypted) {
            file[dh::kEncrypted] = 1;
            PutShortString(file, dh::kPassword, dh::kPasswordLength, password);
            ScrambleBuffer(std::span(file).subspan(dh::kPassword + 1, password.size()),
                           kHeaderTextKeyLow, kHeaderTextKeyHigh);
        }
        for (std::size_t i = 0; i < fields_.size(); ++i) {
            const auto d = std::span(file).subspan(kDataHeaderSize + i * size, size);
            const FieldDescriptor& f = fields_[i];
            if (size == kFieldDescriptorSize) {
                std::copy(f.begin(), f.end(), d.begin());
                PutU16(d, fd::kOffset, offsets_[i]);
                if (i == 1)
                    PutShortString(d, fd::kDefault, 50, "none@x");
                continue;
            }
            PutU16(d, ofd::kNumber, FieldNumber(f));
            PutShortString(d, ofd::kName, 30, FieldName(f));
            PutShortString(d, ofd::kDescription, 50, "field " + FieldName(f));
            d[ofd::kType] = FieldType(f);
            d[ofd::kSubtype] = FieldSubtype(f);
            d[ofd::kLength] = FieldLength(f);
            d[ofd::kDecimals] = FieldDecimals(f);
            PutU16(d, ofd::kOffset, offsets_[i]);
            d[ofd::kRequired] = i == 1 ? 1 : 0;
            if (i == 1)
                PutShortString(d, ofd::kDefault, 50, "none@x");
        }
        if (encrypted) {
            ScrambleBuffer(std::span(file).subspan(kDataHeaderSize), kTableDataKeyLow,
                           kTableDataKeyHigh);
        }
        for (const OldRow& row : rows) {
            std::vector<std::uint8_t> r(record_size_, 0);
            PutU32(r, 1, &row - rows.data() + 1);
            PutU32(r, 5, row.id);
            r[offsets_[0]] = 1;
            PutU32(r, offsets_[0] + 1, row.id);
            r[offsets_[1]] = 1;
            std::copy(row.item.begin(), row.item.end(), r.begin() + offsets_[1] + 1);
            r[offsets_[2]] = 1;
            const auto encoded = LittleEndian(row.bounces);
            std::copy(encoded.begin(), encoded.end(), r.begin() + offsets_[2] + 1);
            if (encrypted)
                ScrambleBuffer(r, kTableDataKeyLow, kTableDataKeyHigh);
            file.insert(file.end(), r.begin(), r.end());
        }
        WriteAll(base + ".DAT", file);
        if (index_file) {
            std::vector<std::uint8_t> index(version_ == 3 ? kIndexHeaderSize : 2560, 0);
            index[ih::kVersion] = version_;
            if (version_ == 3) {
                PutU32(index, ih::kNextPage, kIndexHeaderSize);
                index[ih::kIndexCount] = 1;
                auto primary = MakeIndex("", {1}, true);
                PutU16(primary, ixd::kKeySize, 5);
                primary[ixd::kFieldCount] = 1;
                auto by_item = MakeIndex("ByItem", {2}, true, true);
                PutU16(by_item, ixd::kKeySize, 1 + FieldDataSize(fields_[1]));
                by_item[ixd::kFieldCount] = 1;
                IndexDescriptor hidden{};
                PutShortString(hidden, ixd::kName, ixd::kNameLength, kHiddenIndexName);
                PutU16(hidden, ixd::kKeySize, 5);
                std::copy(primary.begin(), primary.end(), index.begin() + ih::kSlots);
                std::copy(by_item.begin(), by_item.end(),
                          index.begin() + ih::kSlots + kIndexDescriptorSize);
                std::copy(hidden.begin(), hidden.end(),
                          index.begin() + ih::kSlots + 31 * kIndexDescriptorSize);
            }
            if (encrypted)
                ScrambleBuffer(index, kTableDataKeyLow, kTableDataKeyHigh);
            WriteAll(base + ".IDX", index);
        }
        if (blob_file) {
            std::vector<std::uint8_t> blob(kBlobHeaderSize, 0);
            blob[bh::kVersion] = version_;
            PutU32(blob, bh::kNextBlock, kBlobHeaderSize);
            if (encrypted)
                ScrambleBuffer(blob, kTableDataKeyLow, kTableDataKeyHigh);
            WriteAll(base + ".BLB", blob);
        }
    }

    std::uint32_t ExpectedRecordSize() const {
        std::uint32_t size = 9;
        for (const auto& f : fields_) {
            if (!FieldIsAutoInc(f))
                size += 1u + FieldDataSize(f);
        }
        return size;
    }

  private:
    static std::array<std::uint8_t, 4> LittleEndian(std::int32_t v) {
        std::array<std::uint8_t, 4> b{};
        PutU32(b, 0, static_cast<std::uint32_t>(v));
        return b;
    }

    std::uint8_t version_;
    std::vector<FieldDescriptor> fields_;
    std::vector<std::uint32_t> offsets_;
    std::uint32_t record_size_ = 0;
};

const std::vector<OldRow> kRows = {{1, "a@x", 0}, {2, "b@x", 1}, {3, "c@x", 2}};

class TableUpgrade : public CursorTest {
  protected:
    std::string Base() const { return dir.File(table); }
    bool Exists(std::string_view ext) const {
        return std::filesystem::exists(Base() + std::string(ext));
    }
    std::vector<std::string> Upgrade() {
        std::vector<std::string> lines;
        TDataCursor& c = NewCursor(table);
        UpgradeTable(c, {}, [&](std::string_view line) { lines.emplace_back(line); });
        return lines;
    }
    static bool HasLine(const std::vector<std::string>& lines, std::string_view text) {
        return std::any_of(lines.begin(), lines.end(),
                           [&](const std::string& l) { return l.find(text) != std::string::npos; });
    }
    // Rows in physical order as (ID from the auto-increment field, Item, Bounces).
    std::vector<std::string> Rows() {
        TDataCursor& c = NewCursor(table);
        c.SetPhysicalOrder(true);
        c.Open();
        std::vector<std::string> rows;
        std::vector<std::uint8_t> buffer(c.GetRecordSize());
        c.First();
        while (c.GetNextRecord(buffer) == 0) {
            rows.push_back(std::to_string(GetInt(c, buffer, 1).value_or(-1)) + " " +
                           GetText(c, buffer, 2) + " " +
                           std::to_string(GetInt(c, buffer, 3).value_or(-1)));
        }
        c.Close();
        return rows;
    }
    std::vector<std::string> VerifyLines() {
        std::vector<std::string> lines;
        TDataCursor& c = NewCursor(table);
        RepairTable(c, true, 0, {}, [&](std::string_view l) { lines.emplace_back(l); });
        return lines;
    }
    std::string table = "old";
    const std::vector<std::string> expected_rows = {"1 a@x 0", "2 b@x 1", "3 c@x 2"};
};

TEST_F(TableUpgrade, CurrentTableIsLeftAlone) {
    TDataCursor& c = CreateAndOpen(ListTableDefinition(), "old");
    InsertEntry(c, "a@x", "news", 0);
    c.Close();
    const auto data = ReadAll(Base() + ".DAT");
    const auto lines = Upgrade();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "old.DAT is already at the highest table version of 2.00, upgrade aborted");
    EXPECT_EQ(ReadAll(Base() + ".DAT"), data);
    EXPECT_FALSE(Exists(".DUP"));
}

TEST_F(TableUpgrade, Version108KeepsItsIndexDefinitions) {
    OldTableWriter writer(3, false);
    writer.Write(Base(), kRows, true, false);
    const auto lines = Upgrade();
    EXPECT_TRUE(HasLine(lines, "Upgrade of table old.DAT to version 2.00 started at "));
    EXPECT_TRUE(
        HasLine(lines, "Field definitions of old.DAT upgraded to latest table version 2.00"));
    EXPECT_TRUE(HasLine(lines, "3 records of old.DAT upgraded to latest table version 2.00"));
    EXPECT_TRUE(HasLine(lines, "Index header of old.DAT upgraded to latest table version 2.00"));
    EXPECT_TRUE(HasLine(lines, "Upgrade of table old.DAT to version 2.00 completed at "));
    EXPECT_TRUE(Exists(".DUP"));
    EXPECT_FALSE(Exists(".IUP"));
    EXPECT_EQ(Rows(), expected_rows);

    TDataCursor& c = NewCursor(table);
    c.Open();
    EXPECT_EQ(FieldOffset(c.GetFieldDesc(1)), 5);
    EXPECT_EQ(c.GetRecordSize(), writer.ExpectedRecordSize());
    c.SetIndexByName("ByItem");
    EXPECT_EQ(Items(c), (std::vector<std::string>{"a@x", "b@x", "c@x"}));
    c.Close();
    EXPECT_EQ(VerifyLines().size(), 2u);
}

TEST_F(TableUpgrade, Version104GetsANewIndexFile) {
    OldTableWriter writer(2, false);
    writer.Write(Base(), kRows, true, false);
    const auto lines = Upgrade();
    EXPECT_TRUE(HasLine(lines, "Index definitions of old.DAT could not be carried over"));
    EXPECT_TRUE(Exists(".DUP"));
    EXPECT_TRUE(Exists(".IUP"));
    EXPECT_FALSE(Exists(".BLB")) << "a table without blob fields has no blob file";
    EXPECT_EQ(Rows(), expected_rows);
    const auto header = ReadAll(Base() + ".DAT");
    EXPECT_EQ(GetU16(header, dh::kRecordSize), writer.ExpectedRecordSize());

    TDataCursor& c = NewCursor(table);
    c.Open();
    EXPECT_EQ(c.GetIndexCount(), 0);
    EXPECT_EQ(FieldName(c.GetFieldDesc(2)), "Item");
    EXPECT_EQ(c.GetFieldDesc(2)[fd::kRequired], 1);
    EXPECT_EQ(GetShortString(c.GetFieldDesc(2), fd::kDefault, 50), "none@x");
    EXPECT_EQ(c.GetUserMajorVersion(), 7);
    EXPECT_EQ(c.GetDescription(), "old list");
    c.Close();
    EXPECT_EQ(VerifyLines().size(), 2u);
}

TEST_F(TableUpgrade, BlobFileIsUpgradedOrMadeWhenMissing) {
    for (const bool blob_file : {true, false}) {
        table = blob_file ? "withblb" : "noblb";
        OldTableWriter writer(2, true);
        writer.Write(Base(), kRows, true, blob_file);
        const auto lines = Upgrade();
        EXPECT_EQ(HasLine(lines,
                          "BLOB header of " + table + ".DAT upgraded to latest table version 2.00"),
                  blob_file);
        EXPECT_TRUE(Exists(".BLB"));
        EXPECT_EQ(Rows(), expected_rows);
        const auto header = ReadAll(Base() + ".DAT");
        EXPECT_GE(GetU32(header, dh::kLastBlobNumber), 3u);
        EXPECT_EQ(GetU16(header, dh::kRecordSize), writer.ExpectedRecordSize());
        EXPECT_EQ(VerifyLines().size(), 2u);
    }
}

TEST_F(TableUpgrade, DamagedOldFilesAreRefusedWithoutLoss) {
    OldTableWriter writer(2, false);
    writer.Write(Base(), kRows, true, false);
    auto data = ReadAll(Base() + ".DAT");
    // A field offset beyond the old record.
    PutU16(data, kDataHeaderSize + kOldFieldDescriptorSize + ofd::kOffset, 60000);
    WriteAll(Base() + ".DAT", data);
    EXPECT_EQ(CodeOf([&] { Upgrade(); }), kErrHeaderCorrupt);
    EXPECT_EQ(ReadAll(Base() + ".DAT"), data);
    EXPECT_FALSE(Exists(".DUP"));
    // A version the engine does not know.
    data[dh::kVersion] = 9;
    WriteAll(Base() + ".DAT", data);
    EXPECT_EQ(CodeOf([&] { Upgrade(); }), kErrWrongVersion);
    EXPECT_EQ(ReadAll(Base() + ".DAT"), data);
}

// The upgrade is killed at a stage; running it again finishes the job.
TEST_F(TableUpgrade, InterruptedUpgradeIsFinishedByTheNextRun) {
    for (const std::string stop_at : {"Upgrading records", "Repairing table"}) {
        table = stop_at.substr(0, 9);
        OldTableWriter writer(2, true);
        writer.Write(Base(), kRows, true, true);
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            TDataCursor c(*directory);
            c.SetTableName(table);
            c.SetExclusive(true);
            UpgradeTable(c, [&](std::string_view stage, int) {
                if (stage.starts_with(stop_at))
                    _exit(0);
            });
            _exit(1);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status));
        ASSERT_EQ(WEXITSTATUS(status), 0) << stop_at;
        Upgrade();
        EXPECT_EQ(Rows(), expected_rows) << stop_at;
        EXPECT_EQ(VerifyLines().size(), 2u) << stop_at;
    }
}

TEST_F(TableUpgrade, EncryptedTableNeedsItsPassword) {
    OldTableWriter writer(3, true);
    writer.Write(Base(), kRows, true, true, "secret");
    const auto data = ReadAll(Base() + ".DAT");
    EXPECT_EQ(CodeOf([&] { Upgrade(); }), kErrPasswordRequired);
    EXPECT_EQ(ReadAll(Base() + ".DAT"), data);
    EXPECT_FALSE(Exists(".DUP"));
    // A handler that gives the session the password lets the upgrade go on.
    TDataCursor& c = NewCursor(table);
    UpgradeTable(c, {}, {}, [&] {
        session->AddPassword("secret");
        return true;
    });
    EXPECT_EQ(Rows(), expected_rows);
    EXPECT_EQ(VerifyLines().size(), 2u);
}

TEST_F(TableUpgrade, DataFileMovedAwayButNotReplacedIsRecovered) {
    OldTableWriter writer(3, false);
    writer.Write(Base(), kRows, true, false);
    std::filesystem::rename(Base() + ".DAT", Base() + ".DUP");
    Upgrade();
    EXPECT_EQ(Rows(), expected_rows);
}

}  // namespace
}  // namespace strata
