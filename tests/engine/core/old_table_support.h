#pragma once

// Tables of earlier versions written from the documented layouts, for the
// tests of the upgrade and of an upgrade that is killed on its way.

#include <array>
#include <cstdint>
#include <fstream>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/core/blob_file.h"
#include "engine/core/data_file.h"
#include "engine/core/index_file.h"
#include "engine/core/table_upgrade.h"
#include "engine/storage/scramble.h"
#include "tests/engine/core/cursor_test_support.h"

namespace strata::testing_support {

inline void WriteAll(const std::string& path, std::span<const std::uint8_t> bytes) {
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

}  // namespace strata::testing_support
