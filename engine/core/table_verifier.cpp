#include "engine/core/table_verifier.h"

#include <algorithm>
#include <cctype>
#include <set>
#include <unordered_set>

#include "engine/core/blob_file.h"
#include "engine/core/data_file.h"
#include "engine/core/engine_globals.h"
#include "engine/core/index_file.h"
#include "engine/storage/data_types.h"
#include "engine/storage/engine_error_codes.h"
#include "engine/storage/file_registry.h"
#include "engine/storage/storage_utils.h"
#include "platform/nls/nls.h"
#include "platform/nls/text.h"
#include "platform/os/clock.h"

namespace strata {

void RepairLog(TFileCursor* cursor, std::string_view text) {
    if (cursor != nullptr)
        cursor->RepairLog(ShortString(text));
}

bool ValidNameStart(std::string_view name) {
    return !name.empty() && IsIdentStartChar(static_cast<unsigned char>(name.front()));
}

namespace {

// Field names fold as the engine compares them (SameTextAnsi), whatever the process locale.
std::string Upper(std::string_view text) {
    return platform::nls::MapString(platform::nls::kLanguageAnsi, platform::nls::LCMAP_UPPERCASE,
                                    text);
}

bool ValidLength(std::uint8_t type, std::uint8_t length) {
    if (type == 1 || type == 9 || type == 15)
        return length <= 250;
    return length == 0;
}

db::TFormatSettings TableFormats(std::uint16_t language, std::uint16_t sort) {
    db::TFormatSettings formats;
    LoadLocaleFormats(language, sort, formats);
    return formats;
}

// The name a field gets when its name clashes with another: valid and unique
// among the table's fields.
std::string UniqueRepairName(const std::vector<FieldDescriptor>& fields, std::size_t self,
                             std::string_view name) {
    for (int attempt = 0;; ++attempt) {
        std::string candidate = "Fld" + std::to_string(FieldNumber(fields[self]));
        if (attempt > 0)
            candidate += "_" + std::to_string(attempt);
        candidate = (candidate + "_" + std::string(name)).substr(0, 30);
        bool clash = false;
        for (std::size_t i = 0; i < fields.size() && !clash; ++i) {
            clash =
                i != self && Upper(platform::nls::Trim(FieldName(fields[i]))) == Upper(candidate);
        }
        if (!clash)
            return candidate;
    }
}

// What the checks of one table header share: where to log, whether to mend, the table's
// formats for value texts, and the words that close each message.
struct HeaderRepair {
    TFileCursor* cursor;
    bool verify_only;
    db::TFormatSettings formats;
    std::string header_end;
};

// Checks and mends field i's name: blank, bad first character, too long, or a duplicate of an
// earlier field's. Returns the name the messages that follow go by.
std::string RepairFieldName(const HeaderRepair& repair, std::vector<FieldDescriptor>& fields,
                            std::size_t i) {
    FieldDescriptor& d = fields[i];
    TFileCursor* cursor = repair.cursor;
    const bool verify_only = repair.verify_only;
    const std::string& header_end = repair.header_end;
    std::string name = FieldName(d);
    const std::string trimmed(platform::nls::Trim(name));
    if (trimmed.empty()) {
        RepairLog(cursor, "Invalid field name (blank) for field # " +
                              std::to_string(FieldNumber(d)) + header_end);
        if (!verify_only)
            name = "Repaired_Fld" + std::to_string(FieldNumber(d));
    } else if (!ValidNameStart(trimmed)) {
        RepairLog(cursor, "Invalid field name (first character) for field " + name + header_end);
        if (!verify_only)
            name = ("_" + name).substr(0, 30);
    }
    if (d[fd::kName] > fd::kNameLength) {
        RepairLog(cursor, "Invalid field name (too long) for field " + name + header_end);
        if (!verify_only)
            name = name.substr(0, 30);
    }
    if (!verify_only)
        PutShortString(d, fd::kName, fd::kNameLength, name);
    bool duplicate = false;
    for (std::size_t j = 0; j < i && !duplicate; ++j) {
        duplicate =
            Upper(platform::nls::Trim(FieldName(fields[j]))) == Upper(platform::nls::Trim(name));
    }
    if (duplicate) {
        RepairLog(cursor, "Invalid field name (duplicate) for field " + name + header_end);
        if (!verify_only) {
            name = UniqueRepairName(fields, i, platform::nls::Trim(name));
            PutShortString(d, fd::kName, fd::kNameLength, name);
        }
    }
    return name;
}

// Checks and mends field i's descriptor; `running` is the offset the next stored field
// starts at, moved on past this one.
void RepairField(const HeaderRepair& repair, std::vector<FieldDescriptor>& fields, std::size_t i,
                 std::uint64_t& running) {
    FieldDescriptor& d = fields[i];
    TFileCursor* cursor = repair.cursor;
    const bool verify_only = repair.verify_only;
    const std::string& header_end = repair.header_end;
    const auto n = static_cast<std::uint32_t>(i + 1);
    const std::uint8_t type = FieldType(d);
    // An unknown type keeps its stored size: recomputing it would move every later field and
    // cut records that may still be read.
    if (type != 0 && ValidLength(type, FieldLength(d))) {
        SetFieldDataSize(d);
        SetFieldScale(d);
    }
    const std::string name = RepairFieldName(repair, fields, i);
    if (type == 0) {
        RepairLog(cursor, "Invalid field data type (unknown) for field " + name +
                              " in table header, error cannot be fixed");
    }
    if (!ValidLength(type, FieldLength(d))) {
        RepairLog(cursor, "Invalid field length for field " + name + header_end);
        if (!verify_only) {
            d[fd::kLength] = (type == 1 || type == 9 || type == 15) ? 250 : 0;
            SetFieldDataSize(d);
            SetFieldScale(d);
        }
    }
    const std::pair<std::size_t, const char*> texts[] = {
        {fd::kDefault, "default"}, {fd::kMinimum, "minimum"}, {fd::kMaximum, "maximum"}};
    for (const auto& [at, what] : texts) {
        if (!IsValidValueText(GetShortString(d, at, fd::kTextLength), type, repair.formats)) {
            RepairLog(cursor,
                      std::string("Invalid ") + what + " value for field " + name + header_end);
            if (!verify_only)
                PutShortString(d, at, fd::kTextLength, "");
        }
    }
    if (FieldDecimals(d) != 0 && type != 8) {
        RepairLog(cursor, "Invalid field decimals for field " + name + header_end);
        if (!verify_only) {
            d[fd::kDecimals] = 0;
            SetFieldScale(d);
        }
    }
    // The flag is written as 0 or 1; any other value is a damaged byte, and read as set it
    // would take the field, and the fields after it, off the records' bytes.
    if (d[fd::kNotStored] > 1) {
        RepairLog(cursor, "Invalid field storage flag for field " + name + header_end);
        if (!verify_only)
            d[fd::kNotStored] = 0;
    }
    if (FieldIsAutoInc(d)) {
        if (FieldOffset(d) != 5) {
            RepairLog(cursor, "Invalid field offset for field " + name + header_end);
            if (!verify_only)
                PutU16(d, fd::kOffset, 5);
        }
    } else if (!FieldNotStored(d)) {
        if (FieldOffset(d) != running) {
            RepairLog(cursor, "Invalid field offset for field " + name + header_end);
            if (!verify_only)
                PutU16(d, fd::kOffset, running);
        }
        running += FieldDataSize(d) + 1u;
    }
    if (FieldNumber(d) != n) {
        RepairLog(cursor, "Invalid field number for field " + name + header_end);
        if (!verify_only)
            PutU16(d, fd::kNumber, n);
    }
}

}  // namespace

void TDataFile::VerifyHeader() {
    if (header_[dh::kVersion] != kTableFileVersion)
        RaiseEngineError(kErrWrongVersion, Name());
    const std::uint16_t language = GetLanguage();
    if (language != 0 &&
        !platform::nls::IsValidLocale(platform::nls::MakeLocaleId(language, GetSort()))) {
        RaiseEngineError(kErrLanguageNotAvailable, Name());
    }
    const std::uint32_t count = GetFieldCount();
    if (count < 1 || count > kMaxFieldCount || descriptors_.size() != count) {
        RaiseEngineError(kErrHeaderCorrupt, Name());
    }
    const db::TFormatSettings formats = TableFormats(language, GetSort());
    std::set<std::string> names;
    std::set<std::uint16_t> numbers;
    std::uint64_t running = kRecordHeaderSize;
    std::uint32_t blob_fields = 0;
    for (std::uint32_t n = 1; n <= count; ++n) {
        const FieldDescriptor& d = descriptors_[n - 1];
        const std::string name(platform::nls::Trim(FieldName(d)));
        const std::uint8_t type = FieldType(d);
        bool ok = !name.empty() && ValidNameStart(name) && d[fd::kName] <= fd::kNameLength &&
                  names.insert(Upper(name)).second && numbers.insert(FieldNumber(d)).second &&
                  type != 0 && ValidLength(type, FieldLength(d)) &&
                  (FieldDecimals(d) == 0 || type == 8) && FieldNumber(d) == n &&
                  FieldDataSize(d) == FieldDataSizeFor(type, FieldLength(d));
        for (std::size_t at : {fd::kMinimum, fd::kMaximum, fd::kDefault}) {
            ok = ok && IsValidValueText(GetShortString(d, at, fd::kTextLength), type, formats);
        }
        if (ok && FieldIsAutoInc(d)) {
            ok = FieldOffset(d) == 5;
        } else if (ok && !FieldNotStored(d)) {
            ok = FieldOffset(d) == running;
            running += FieldDataSize(d) + 1u;
        }
        if (type == 3)
            ++blob_fields;
        if (!ok)
            RaiseEngineError(kErrHeaderCorrupt, Name());
    }
    // A record size that does not match the fields would misplace every
    // record read.
    if (running != GetRecordSize() || blob_fields > kMaxBlobFields) {
        RaiseEngineError(kErrHeaderCorrupt, Name());
    }
    CheckSizes();
}

void TDataFile::RepairHeader(TFileCursor* cursor, bool verify_only) {
    // An older table read as the current version would be wrecked; those go
    // through the upgrade, never through this repair.
    if (header_[dh::kVersion] != kTableFileVersion)
        RaiseEngineError(kErrWrongVersion, Name());
    std::vector<FieldDescriptor> fields = descriptors_;
    const HeaderRepair repair{
        cursor, verify_only, TableFormats(GetLanguage(), GetSort()),
        std::string(" in table header, ") + std::string(FixedText(verify_only))};
    std::uint64_t running = kRecordHeaderSize;
    std::uint32_t blob_fields = 0;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        RepairField(repair, fields, i, running);
        if (FieldType(fields[i]) == 3)
            ++blob_fields;
    }

    DataHeader header = header_;
    const std::string ending(FixedText(verify_only));
    if (running > 0xFFFF) {
        RaiseEngineError(kErrMaxRecordSize, Name());
    }
    const auto record_size = static_cast<std::uint32_t>(running);
    if (GetRecordSize() != record_size) {
        RepairLog(cursor, "Invalid physical record length in table header, " + ending);
        PutU16(header, dh::kRecordSize, record_size);
    }
    const std::int64_t descriptor_end = DescriptorEnd();
    const std::int64_t file_size = GetFileSize();
    const std::int64_t record_bytes = std::max<std::int64_t>(0, file_size - descriptor_end);
    const std::int64_t whole = record_bytes / record_size;
    if (record_bytes % record_size != 0) {
        RepairLog(cursor, "Physical records not aligned on even record size boundaries, " + ending);
        if (!verify_only) {
            ClearRecordCache();
            PrepareWrite();
            LockFileObject();
            try {
                SeekFile(descriptor_end + whole * record_size, SeekOrigin::kBegin);
                Write(std::span<const std::byte>{});
            } catch (...) {
                UnlockFileObject();
                throw;
            }
            UnlockFileObject();
        }
    }
    if (GetNextRecordSlot() != whole + 1) {
        RepairLog(cursor, "Physical record count not correct, " + ending);
        PutU32(header, dh::kNextSlot, static_cast<std::uint64_t>(whole) + 1);
    }
    if (GetBlobFieldCount() != blob_fields) {
        RepairLog(cursor, "Invalid BLOB field count in table header, " + ending);
        PutU16(header, dh::kBlobFieldCount, blob_fields);
    }
    if (verify_only)
        return;
    header[dh::kVersion] = kTableFileVersion;
    PutU32(header, dh::kChangeCounter,
           (std::uint64_t{platform::os::GetTickCount()} + GetU32(header, dh::kNextSlot)) &
               0xFFFFFFFFu);
    PutU32(header, dh::kFirstFree, 0);
    header_ = header;
    descriptors_ = std::move(fields);
    ClearRecordCache();
    SizeRecordCache();
    SetHeaderChanged();
    descriptors_changed_ = true;
}

namespace {

struct KeyCheck {
    std::uint64_t size = 0;
    bool fields_ok = true;
};

}  // namespace

void TIndexFile::VerifyHeader() {
    if (header_[ih::kVersion] != kTableFileVersion)
        RaiseEngineError(kErrWrongVersion, Name());
    const int count = GetIndexCount();
    if (count > kMaxSecondaryIndexes)
        RaiseEngineError(kErrHeaderCorrupt, Name());
    const std::uint32_t next = GetNextPageOffset();
    if (next < kIndexPageSize || next % kIndexPageSize != 0) {
        RaiseEngineError(kErrHeaderCorrupt, Name());
    }
    auto page_ok = [&](std::uint32_t page) {
        if (page == 0)
            return true;
        return next > kIndexPageSize && page % kIndexPageSize == 0 && page >= kIndexPageSize &&
               page <= next - kIndexPageSize;
    };
    std::set<std::string> names;
    std::vector<int> slots;
    for (int s = 0; s <= count; ++s)
        slots.push_back(s);
    slots.push_back(kHiddenIndexSlot);
    for (int slot : slots) {
        const IndexDescriptor d = GetIndexDescriptor(slot);
        const bool no_primary = slot == 0 && GetNoPrimaryIndex();
        bool ok = true;
        const std::string name(platform::nls::Trim(IndexName(d)));
        if (slot == 0) {
            ok = name.empty() && (no_primary || IndexUnique(d));
        } else if (slot != kHiddenIndexSlot) {
            ok = ValidNameStart(name) && names.insert(Upper(name)).second;
        }
        ok = ok && IndexFieldCount(d) <= ixd::kMaxFields;
        if (ok && slot != kHiddenIndexSlot && !no_primary) {
            std::uint64_t key = 0;
            std::size_t fields = 0;
            for (std::size_t i = 0; i < ixd::kMaxFields && ok; ++i) {
                const std::uint16_t number = IndexFieldNumber(d, i);
                if (number == 0)
                    break;
                ++fields;
                if (data_file_ == nullptr)
                    continue;
                const auto field = data_file_->FindFieldDescriptor(number);
                ok = field.has_value() && FieldType(*field) != 3;
                if (ok)
                    key += FieldDataSize(*field) + 1u;
            }
            if (ok && data_file_ != nullptr) {
                ok = key > 0 && key <= 524 && IndexKeySize(d) == key + (IndexUnique(d) ? 0 : 4);
            }
            ok = ok && fields > 0;
        }
        if (slot == kHiddenIndexSlot)
            ok = IndexKeySize(d) == 5 && !IndexUnique(d);
        ok = ok && page_ok(IndexRoot(d)) && page_ok(IndexFreePage(d));
        if (!ok)
            RaiseEngineError(kErrHeaderCorrupt, Name());
    }
}

void TIndexFile::RepairHeader(TFileCursor* cursor, bool verify_only) {
    if (header_[ih::kVersion] != kTableFileVersion)
        RaiseEngineError(kErrWrongVersion, Name());
    IndexHeader saved = header_;
    // Also a check alone rewrites the descriptors before it puts them back.
    NoteDescriptorsChanged();
    const std::string ending(FixedText(verify_only));
    const int count = std::min(GetIndexCount(), kMaxSecondaryIndexes);
    primary_doubtful_ = false;
    std::vector<int> removals;
    std::set<std::string> seen;
    for (int slot = 0; slot <= count; ++slot) {
        const std::size_t at = ih::kSlots + kIndexDescriptorSize * static_cast<std::size_t>(slot);
        std::string name = IndexName(GetIndexDescriptor(slot));
        if (slot == 0) {
            PutShortString(header_, at + ixd::kName, ixd::kNameLength, "");
            header_[at + ixd::kUnique] = 1;
            name = "Primary";
        } else {
            const std::string trimmed(platform::nls::Trim(name));
            if (!ValidNameStart(trimmed)) {
                RepairLog(cursor, "Invalid index name for index " + name + ", " + ending);
                name = ("_" + name).substr(0, 30);
                PutShortString(header_, at + ixd::kName, ixd::kNameLength, name);
            }
            if (!seen.insert(Upper(platform::nls::Trim(name))).second) {
                RepairLog(cursor, "Duplicate index name for index " + name + ", " + ending);
                for (int k = 1; !seen.insert(Upper(platform::nls::Trim(name))).second; ++k) {
                    name = ("_" + name).substr(0, 30);
                    if (k > 30)
                        name = ("_" + std::to_string(slot) + name).substr(0, 30);
                }
                PutShortString(header_, at + ixd::kName, ixd::kNameLength, name);
            }
        }
        // Pages of an unknown compression cannot be written: the rebuild would pass over
        // every record's key there.
        if (header_[at + ixd::kCompression] > 3) {
            RepairLog(cursor, "Invalid key compression for index " + name + ", " + ending);
            header_[at + ixd::kCompression] = 0;
        }
        IndexDescriptor d = GetIndexDescriptor(slot);
        if (slot == 0 && IndexFieldCount(d) == 0)
            header_[ih::kNoPrimary] = 1;
        std::vector<std::uint16_t> kept;
        std::uint64_t key = 0;
        for (std::size_t i = 0; i < std::min<std::size_t>(IndexFieldCount(d), ixd::kMaxFields);
             ++i) {
            const std::uint16_t number = IndexFieldNumber(d, i);
            if (number == 0)
                break;
            const auto field =
                data_file_ != nullptr ? data_file_->FindFieldDescriptor(number) : std::nullopt;
            if (!field || FieldType(*field) == 3) {
                if (slot == 0 && header_[ih::kNoPrimary] != 0)
                    break;
                RepairLog(cursor,
                          "Invalid field number " + std::to_string(number) + " in index " + name +
                              (verify_only ? ", error not fixed" : ", field removed from index"));
                continue;
            }
            kept.push_back(number);
            key += FieldDataSize(*field) + 1u;
            if (slot == 0)
                header_[ih::kNoPrimary] = 0;
        }
        const bool no_primary = slot == 0 && header_[ih::kNoPrimary] != 0;
        if ((key > 524 || key == 0) && !no_primary) {
            RepairLog(cursor,
                      "Invalid key size of " + std::to_string(key) + " for index " + name +
                          (verify_only ? ", error not fixed" : ", error fixed and index removed"));
            removals.push_back(slot);
        } else {
            // A secondary index whose stored key size does not fit its fields has a damaged
            // descriptor: held as unique over the wrong field, or unique by a flipped flag, it
            // would have the record pass delete every record that shares a key there. It keeps
            // its keys without the unique rule instead; no record goes for its sake.
            const bool unique_dropped =
                slot != 0 && IndexUnique(d) && key != IndexKeySize(d) && !verify_only;
            if (unique_dropped)
                header_[at + ixd::kUnique] = 0;
            if (!IndexUnique(GetIndexDescriptor(slot)) && !no_primary)
                key += 4;
            if (slot == 0 && !no_primary && key != IndexKeySize(d))
                primary_doubtful_ = true;
            if (!no_primary && (key != IndexKeySize(d) || unique_dropped)) {
                RepairLog(cursor, "Invalid key size of " + std::to_string(key) + " for index " +
                                      name + ", " + ending);
                PutU16(header_, at + ixd::kKeySize, key);
            }
        }
        header_[at + ixd::kFieldCount] = static_cast<std::uint8_t>(kept.size());
        for (std::size_t i = 0; i < ixd::kMaxFields; ++i) {
            PutU16(header_, at + ixd::kFieldNumbers + 2 * i, i < kept.size() ? kept[i] : 0);
        }
    }
    if (verify_only) {
        header_ = saved;
        return;
    }
    for (auto it = removals.rbegin(); it != removals.rend(); ++it)
        DeleteIndex(*it);
    const std::size_t hidden = ih::kSlots + kIndexDescriptorSize * kHiddenIndexSlot;
    std::fill(header_.begin() + hidden, header_.begin() + hidden + kIndexDescriptorSize, 0);
    PutShortString(header_, hidden + ixd::kName, ixd::kNameLength, kHiddenIndexName);
    PutU16(header_, hidden + ixd::kKeySize, 5);
    // The pages are rebuilt after this; offsets outside the file must not
    // survive into that rebuild.
    const std::uint32_t next = GetNextPageOffset();
    for (int slot = 0; slot < kIndexSlotCount; ++slot) {
        const std::size_t at = ih::kSlots + kIndexDescriptorSize * static_cast<std::size_t>(slot);
        for (std::size_t field : {ixd::kRoot, ixd::kFreePage}) {
            const std::uint32_t page = GetU32(header_, at + field);
            if (page != 0 && (page % kIndexPageSize != 0 || page >= next)) {
                PutU32(header_, at + field, 0);
            }
        }
    }
    FlushPages();
    ClearPageCaches(true);
    SetHeaderChanged();
}

void TBlobFile::VerifyHeader() {
    if (header_[bh::kVersion] != 4)
        RaiseEngineError(kErrWrongVersion, Name());
    const std::uint32_t next = GetNextBlockOffset();
    const std::uint32_t free_block = GetFirstFreeBlock();
    const bool next_ok = next >= kBlobHeaderSize && (next - kBlobHeaderSize) % block_size_ == 0;
    bool ok = next_ok;
    if (ok && next == kBlobHeaderSize) {
        ok = free_block == 0;
    } else if (ok && free_block != 0) {
        ok = free_block >= kBlobHeaderSize && free_block <= next - block_size_ &&
             (free_block - kBlobHeaderSize) % block_size_ == 0;
    }
    if (!ok)
        RaiseEngineError(kErrHeaderCorrupt, Name());
}

void TBlobFile::RepairFile(TFileCursor* cursor, bool verify_only) {
    std::int64_t size = GetFileSize();
    if (size > static_cast<std::int64_t>(kBlobHeaderSize) &&
        (size - static_cast<std::int64_t>(kBlobHeaderSize)) % block_size_ != 0) {
        RepairLog(cursor, "BLOB blocks not aligned on even block size boundaries, " +
                              std::string(FixedText(verify_only)));
        if (!verify_only) {
            size -= (size - static_cast<std::int64_t>(kBlobHeaderSize)) % block_size_;
            ClearBlockCache();
            PrepareWrite();
            LockFileObject();
            try {
                SeekFile(size, SeekOrigin::kBegin);
                Write(std::span<const std::byte>{});
            } catch (...) {
                UnlockFileObject();
                throw;
            }
            UnlockFileObject();
        }
    }
    if (verify_only)
        return;
    ClearBlockCache();
    header_[bh::kVersion] = 4;
    PutU32(header_, bh::kFirstFree, 0);
    PutU32(header_, bh::kNextBlock,
           static_cast<std::uint64_t>(
               std::max<std::int64_t>(size, static_cast<std::int64_t>(kBlobHeaderSize))));
    SetHeaderChanged();
}

bool TBlobFile::CheckChain(TFileCursor* cursor, bool verify_only, bool blob_check,
                           std::uint32_t record_number, std::uint32_t blob_number,
                           std::uint32_t reference) {
    if (reference == 0)
        return false;
    const std::string tail =
        std::to_string(record_number) + ", " + std::string(FixedText(verify_only));
    auto report = [&](std::string_view text) { RepairLog(cursor, std::string(text) + tail); };
    if (!ValidBlockOffset(reference)) {
        report("Invalid BLOB offset in BLOB file for physical record # ");
        return !verify_only;
    }
    PinnedBlock first(*this, GetBlock(reference));
    if (first->BlobNumber() != blob_number) {
        if (!blob_check) {
            report("Invalid BLOB offset in BLOB file for physical record # ");
            return !verify_only;
        }
        if (!verify_only)
            first->SetBlobNumber(blob_number);
    }
    if (!verify_only && first->Previous() != 0)
        first->SetPrevious(0);
    if (first->TotalSize() < 1) {
        if (verify_only)
            return false;
        first.Release();
        FreeChain(cursor, reference, blob_number, record_number);
        return true;
    }
    const std::size_t per_block = DataPerBlock();
    std::unordered_set<std::uint32_t> visited{reference};
    std::uint64_t sum = first->Used();
    PinnedBlock current(*this, nullptr);
    TBlock* cur = first.get();
    bool size_reported = false;
    while (cur->Next() != 0) {
        const std::uint32_t next = cur->Next();
        bool cut = false;
        if (cur->Used() != per_block) {
            report("Invalid block size in BLOB file for physical record # ");
            cut = size_reported = true;
        } else if (!ValidBlockOffset(next)) {
            report("Invalid intra-block pointer in BLOB file for physical record # ");
            cut = true;
        } else if (visited.contains(next)) {
            report("Recursive intra-block pointer in BLOB file for physical record # ");
            cut = true;
        }
        PinnedBlock following(*this, nullptr);
        if (!cut) {
            following = PinnedBlock(*this, GetBlock(next));
            if (following->BlobNumber() != blob_number) {
                if (blob_check) {
                    if (!verify_only)
                        following->SetBlobNumber(blob_number);
                } else {
                    report("Invalid intra-block pointer in BLOB file for physical record # ");
                    cut = true;
                }
            }
        }
        if (cut) {
            if (!verify_only)
                cur->SetNext(0);
            break;
        }
        if (!verify_only && following->Previous() != cur->Offset()) {
            following->SetPrevious(cur->Offset());
        }
        visited.insert(next);
        sum += following->Used();
        current = std::move(following);
        cur = current.get();
    }
    // The last block may claim more bytes than it holds; a read copies only
    // what it holds, so the count is taken from the blob's size where that
    // fits, else the whole block.
    if (cur->Used() > per_block) {
        if (!size_reported)
            report("Invalid block size in BLOB file for physical record # ");
        const std::uint64_t before = sum - cur->Used();
        const std::uint64_t total = first->TotalSize();
        const std::uint64_t used =
            total > before && total - before <= per_block ? total - before : per_block;
        if (!verify_only)
            cur->SetUsed(static_cast<std::uint16_t>(used));
        sum = before + used;
    }
    if (sum != first->TotalSize()) {
        report("BLOB size mismatch in BLOB file for physical record # ");
        if (!verify_only)
            first->SetTotalSize(static_cast<std::uint32_t>(sum));
    }
    return false;
}

bool TBlobFile::RepairBlob(TFileCursor* cursor, bool verify_only, bool /*blob_check*/,
                           std::uint32_t record_number, std::uint32_t blob_number,
                           std::uint32_t reference) {
    if (reference == 0)
        return false;
    const std::string tail =
        std::to_string(record_number) + ", " + std::string(FixedText(verify_only));
    auto report = [&](std::string_view text) { RepairLog(cursor, std::string(text) + tail); };
    bool foreign = !ValidBlockOffset(reference);
    if (!foreign) {
        PinnedBlock first(*this, GetBlock(reference));
        foreign = first->BlobNumber() != blob_number;
    }
    if (foreign) {
        report("Invalid BLOB offset in BLOB file for physical record # ");
        return !verify_only;
    }
    if (!verify_only) {
        FreeChain(cursor, reference, blob_number, record_number);
        return true;
    }
    // Verify-only walks the chain the way freeing it would, and frees nothing.
    std::unordered_set<std::uint32_t> visited;
    std::uint32_t offset = reference;
    while (offset != 0) {
        if (!ValidBlockOffset(offset)) {
            report("Invalid intra-block pointer in BLOB file for physical record # ");
            break;
        }
        if (!visited.insert(offset).second) {
            report("Recursive intra-block pointer in BLOB file for physical record # ");
            break;
        }
        PinnedBlock block(*this, GetBlock(offset));
        if (block->BlobNumber() != blob_number) {
            report("Invalid intra-block pointer in BLOB file for physical record # ");
            break;
        }
        offset = block->Next();
    }
    return false;
}

}  // namespace strata
