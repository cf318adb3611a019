#include "engine/core/table_repair.h"

#include <algorithm>
#include <array>
#include <unordered_set>
#include <vector>

#include "engine/core/data_cursor.h"
#include "engine/core/data_directory.h"
#include "engine/core/engine_globals.h"
#include "engine/core/index_tree.h"
#include "engine/core/key_builder.h"
#include "engine/core/table_keys.h"
#include "engine/core/table_rescue.h"
#include "engine/core/table_verifier.h"
#include "engine/storage/data_types.h"
#include "engine/storage/engine_error.h"
#include "engine/storage/file_handler.h"
#include "engine/storage/key_encoding.h"
#include "engine/storage/scramble.h"
#include "engine/storage/value_convert.h"
#include "platform/db/conversions.h"
#include "platform/db/date_time.h"
#include "platform/db/format_settings.h"

namespace strata {

namespace {

constexpr std::uint8_t kBlobType = 3;
constexpr std::uint8_t kDeletedStatus = 1;
constexpr std::uint32_t kMaxFieldText = 250;
constexpr const char* kOutsideBlobFile =
    "Invalid BLOB offset into BLOB file for physical record # ";
constexpr const char* kSharedBlobChain = "Invalid BLOB offset in BLOB file for physical record # ";

// A record pinned in the data file's cache for the length of one step.
class PinnedRecord {
  public:
    PinnedRecord(TDataFile& file, std::uint32_t n) : file_(file), record_(file.GetRecord(n)) {}
    ~PinnedRecord() { file_.ReleaseRecord(record_); }
    PinnedRecord(const PinnedRecord&) = delete;
    PinnedRecord& operator=(const PinnedRecord&) = delete;
    TRecord& operator*() const { return *record_; }
    TRecord* operator->() const { return record_; }

  private:
    TDataFile& file_;
    TRecord* record_;
};

bool HasDirectoryPart(std::string_view name) {
    return name.find_first_of("/\\") != std::string_view::npos;
}

// Old tables and a pending repair are told apart before any file is touched.
void CheckVersionsBeforeRepair(TDataCursor& cursor, bool verify_only) {
    TFileHandler data;
    data.SetName(TableFilePath(cursor, ".DAT"));
    data.SetInMemory(cursor.InMemory() || cursor.Directory().InMemory());
    data.SetExclusive(true);
    data.Open();
    DataHeader header{};
    data.SeekFile(0, SeekOrigin::kBegin);
    data.Read(header.data(), header.size());
    data.Close();
    // An older table read as the current version would be wrecked: those go
    // through the upgrade.
    if (header[dh::kVersion] != kTableFileVersion)
        RaiseEngineError(kErrWrongVersion, cursor.TableName());
    const bool encrypted = header[dh::kEncrypted] != 0;

    TFileHandler index;
    index.SetName(TableFilePath(cursor, ".IDX"));
    index.SetInMemory(data.InMemory());
    index.SetExclusive(true);
    if (index.FileExists()) {
        index.Open();
        const std::uint8_t version = ReadHeaderVersion(index, kIndexHeaderSize, encrypted);
        // Verification writes nothing: it reports the unfinished index as
        // the open would. A repair marks the data file first, so the index
        // never passes for sound before the repair is through.
        // A version above the current one is no older table's: the byte is damaged, and the
        // index file is rebuilt from the records like one a repair left unfinished.
        const bool rebuilt = version == kIndexRepairPending || version > kTableFileVersion;
        if (rebuilt && !verify_only) {
            data.Open();
            const std::uint8_t flag = kWriteInProgressFlag;
            data.SeekFile(dh::kHeaderChanged, SeekOrigin::kBegin);
            data.Write(&flag, 1);
            data.Close();
            WriteHeaderVersion(index, kIndexHeaderSize, encrypted, kTableFileVersion);
        } else if (version != kTableFileVersion)
            RaiseEngineError(kErrWrongVersion, cursor.TableName());
        index.Close();
    }
    TFileHandler blob;
    blob.SetName(TableFilePath(cursor, ".BLB"));
    blob.SetInMemory(data.InMemory());
    blob.SetExclusive(true);
    if (GetU16(header, dh::kBlobFieldCount) > 0 && blob.FileExists()) {
        blob.Open();
        const std::uint8_t version = ReadHeaderVersion(blob, kBlobHeaderSize, encrypted);
        blob.Close();
        if (version != kTableFileVersion)
            RaiseEngineError(kErrWrongVersion, cursor.TableName());
    }
}

class RecordPass {
  public:
    RecordPass(TDataCursor& cursor, bool verify_only, std::uint8_t blob_check,
               const TDataCursor::ProgressHandler& progress)
        : cursor_(cursor),
          table_(*cursor.Table()),
          data_(table_.DataFile()),
          index_(table_.IndexFile()),
          verify_only_(verify_only),
          blob_check_(blob_check != 0),
          progress_(progress),
          language_(cursor.GetLanguageID()),
          sort_(cursor.GetSortID()) {}

    void Run() {
        // Verification reads records by a header that may be damaged: with a
        // record size that does not fit the fields, no field can be read.
        const std::uint32_t record_size = data_.GetRecordSize();
        if (verify_only_ && !FieldsFitRecord(record_size))
            return;
        const bool primary =
            !index_.GetNoPrimaryIndex() && IndexFieldCount(index_.GetIndexDescriptor(0)) > 0;
        try {
            if (primary)
                plans_.push_back(PlanIndex(index_, data_, 0, language_, sort_));
            for (int slot = 1; slot <= index_.GetIndexCount(); ++slot)
                plans_.push_back(PlanIndex(index_, data_, slot, language_, sort_));
        } catch (const EStrataEngineError&) {
            // An index naming a field that is gone: its line was written by
            // the index header check; verification compares the others.
            if (!verify_only_)
                throw;
        }
        for (std::uint32_t f = 1; f <= data_.GetFieldCount(); ++f) {
            const FieldDescriptor d = data_.GetFieldDescriptor(f);
            if (FieldType(d) == kBlobType && FieldOffset(d) + 9u <= record_size)
                blob_fields_.push_back(d);
        }
        // Only whole records that the file holds are read, whatever the
        // header claims.
        const std::uint32_t slots = data_.GetRecordSlots();
        if (verify_only_)
            states_.assign(std::size_t{slots} + 1, kNoRecord);
        const std::uint32_t last_auto_inc = data_.GetLastAutoIncrement();
        // New IDs are drawn above every ID in the table, so a reassigned
        // record never takes the ID of a record the pass has not reached yet.
        std::uint32_t highest = 0;
        // The first blocks of the live records' blobs: a deleted record that still points at
        // one must not free it under the live record.
        const bool blobs = table_.HasBlobs() && !blob_fields_.empty();
        if (!verify_only_ || blobs) {
            for (std::uint32_t r = 1; r <= slots; ++r) {
                PinnedRecord record(data_, r);
                highest = std::max(highest, record->RecordId());
                if (blobs && record->Status() != kDeletedStatus) {
                    for (const FieldDescriptor& d : blob_fields_) {
                        if (Reference(*record, d) != 0)
                            live_blobs_.insert(Reference(*record, d));
                    }
                }
            }
        }
        std::uint32_t max_id = 0;
        std::uint32_t live = 0;
        std::unordered_set<std::uint32_t> seen_ids;
        for (std::uint32_t r = 1; r <= slots; ++r) {
            PinnedRecord record(data_, r);
            bool changed = false;
            std::uint32_t id = record->RecordId();
            // A second record with the same ID would make the hidden index and
            // every non-unique index refuse one of them: give it a new one too.
            if (id == 0 || seen_ids.contains(id)) {
                if (verify_only_) {
                    Log("Logical record ID for physical record # " + std::to_string(r) +
                        " is invalid, error not fixed");
                } else {
                    if (data_.GetLastAutoIncrement() < highest)
                        data_.SetAutoIncrement(highest);
                    do {
                        id = data_.NextAutoIncrement();
                    } while (seen_ids.contains(id));
                    record->SetRecordId(id);
                    changed = true;
                    Log("Logical record ID for physical record # " + std::to_string(r) +
                        " is invalid, error fixed");
                }
            }
            seen_ids.insert(id);
            max_id = std::max(max_id, id);
            if (verify_only_)
                states_[r] = record->Status() != kDeletedStatus ? kLive : kDeleted;
            if (record->Status() != kDeletedStatus) {
                ++live;
                changed |= CheckLiveBlobs(*record, r);
                if (!verify_only_ && !RebuildKeys(*record)) {
                    Log("Error rebuilding index keys for physical record # " + std::to_string(r) +
                        ", error fixed but physical record deleted");
                    // The report keeps what the record held, to be entered again.
                    Log("Physical record # " + std::to_string(r) + " held " + HeldTexts(*record));
                    FreeRecordBlobs(*record, r);
                    data_.FreeRecord(*record);
                    InsertHidden(kDeletedStatus, id, r);
                    --live;
                    changed = true;
                }
            } else {
                if (!verify_only_)
                    data_.FreeRecord(*record);
                changed |= CheckDeletedBlobs(*record, r);
                if (!verify_only_) {
                    InsertHidden(kDeletedStatus, id, r);
                    changed = true;
                }
            }
            if (progress_)
                progress_(r, static_cast<int>(std::uint64_t{r} * 100 / slots));
            if (changed && !verify_only_)
                record->SetModified(true);
        }
        if (!verify_only_)
            index_.SetRecordCount(live);
        else
            CompareIndexes(live);
        if (last_auto_inc < max_id) {
            Log(std::string("Invalid next available record ID (auto-increment), ") +
                (verify_only_ ? "error not fixed" : "error fixed"));
            if (!verify_only_ && data_.GetLastAutoIncrement() < max_id)
                data_.SetAutoIncrement(max_id);
        }
    }

  private:
    static constexpr std::uint8_t kNoRecord = 0;
    static constexpr std::uint8_t kLive = 1;
    static constexpr std::uint8_t kDeleted = 2;

    void Log(const std::string& text) { RepairLog(&cursor_, text); }

    // The record's values as text, for the report of a record that had to go.
    std::string HeldTexts(const TRecord& record) {
        std::string out;
        std::vector<std::uint8_t> value(256);
        for (std::uint32_t f = 1; f <= data_.GetFieldCount(); ++f) {
            const FieldDescriptor d = data_.GetFieldDescriptor(f);
            if (FieldType(d) == kBlobType || FieldNotStored(d))
                continue;
            std::fill(value.begin(), value.end(), 0);
            bool is_null = true;
            try {
                cursor_.GetField(f, record.Buffer(), is_null,
                                 std::span(value).first(FieldDataSize(d)));
            } catch (const EStrataEngineError&) {
                continue;
            }
            if (is_null || !ConvertValue(FieldType(d), FieldDataSize(d), FieldDecimals(d),
                                         std::as_writable_bytes(std::span(value)), 0,
                                         kMaxFieldText + 1, kTypeString))
                continue;
            const auto end = std::find(value.begin(), value.end(), std::uint8_t{0});
            out += (out.empty() ? "" : ", ") + FieldName(d) + " \"" +
                   std::string(value.begin(), end) + "\"";
        }
        return out;
    }

    bool FieldsFitRecord(std::uint32_t record_size) const {
        if (record_size < kRecordHeaderSize)
            return false;
        for (std::uint32_t f = 1; f <= data_.GetFieldCount(); ++f) {
            const FieldDescriptor d = data_.GetFieldDescriptor(f);
            if (!FieldIsAutoInc(d) && !FieldNotStored(d) &&
                std::uint64_t{FieldOffset(d)} + 1u + FieldDataSize(d) > record_size)
                return false;
        }
        return true;
    }

    // Verification holds every index against the records: one key per live
    // record in each index, one per physical record in the hidden index, and
    // every key as the record's values build it. A table whose indexes were
    // written only in part shows up here even when its headers look sound.
    void CompareIndexes(std::uint32_t live) {
        const std::uint32_t slots = static_cast<std::uint32_t>(states_.size() - 1);
        if (index_.GetRecordCount() != live)
            Log("Record count in index header not correct, error not fixed");
        for (const IndexPlan& plan : plans_) {
            if (!IndexMatches(plan.slot, CompareOf(plan), live, [&](std::uint32_t r, auto key) {
                    if (states_[r] != kLive)
                        return false;
                    const auto built =
                        KeyOf(plan, PinnedRecord(data_, r)->Buffer(), language_, sort_);
                    return plan.comparer.Compare(key.data(), built.data(), true) == 0;
                })) {
                Log("Index " + plan.name + " does not match the records of the table, " +
                    "error not fixed");
            }
        }
        if (!IndexMatches(kHiddenIndexSlot, HiddenCompare, slots, [&](std::uint32_t r, auto key) {
                if (states_[r] == kNoRecord)
                    return false;
                PinnedRecord record(data_, r);
                const auto built = HiddenKeyOf(record->Status(), record->RecordId());
                return HiddenCompare(key.data(), built.data()) == 0;
            })) {
            Log(std::string("Index ") + kHiddenIndexName +
                " does not match the records of the table, error not fixed");
        }
    }

    // True when the index holds exactly `expected` keys, each naming a
    // distinct record for which `matches` holds.
    template <class Matches>
    bool IndexMatches(int slot, KeyCompare compare, std::uint64_t expected, Matches&& matches) {
        const std::size_t slots = states_.size() - 1;
        std::vector<bool> seen(slots + 1, false);
        std::uint64_t keys = 0;
        bool sound = true;
        try {
            TIndexTree(index_, slot, std::move(compare))
                .ForEach([&](std::span<const std::uint8_t> key, std::uint32_t r) {
                    ++keys;
                    if (!sound)
                        return;
                    if (r == 0 || r > slots || seen[r] || !matches(r, key)) {
                        sound = false;
                        return;
                    }
                    seen[r] = true;
                });
        } catch (const EStrataEngineError&) {
            return false;
        }
        return sound && keys == expected;
    }

    std::string Ending() const { return verify_only_ ? "error not fixed" : "error fixed"; }

    // Blob reference and number of a blob field in a record image.
    static std::uint32_t Reference(const TRecord& record, const FieldDescriptor& d) {
        return GetU32(record.Buffer(), FieldOffset(d) + 1u);
    }
    static std::uint32_t BlobNumber(const TRecord& record, const FieldDescriptor& d) {
        return GetU32(record.Buffer(), FieldOffset(d) + 5u);
    }
    static void ClearBlobField(TRecord& record, const FieldDescriptor& d) {
        auto bytes = record.Buffer().subspan(FieldOffset(d), 1u + FieldDataSize(d));
        std::fill(bytes.begin(), bytes.end(), 0);
    }

    bool ReferenceInsideFile(std::uint32_t reference) const {
        return reference >= kBlobHeaderSize && table_.BlobFile().ValidBlockOffset(reference);
    }

    // Reports a blob reference the record may not keep and, when repairing, clears it.
    // `message` is the report's text up to the record number.
    bool DropReference(TRecord& record, const FieldDescriptor& d, std::uint32_t r,
                       const char* message) {
        Log(std::string(message) + std::to_string(r) + ", " + Ending());
        if (verify_only_)
            return false;
        ClearBlobField(record, d);
        return true;
    }

    bool CheckLiveBlobs(TRecord& record, std::uint32_t r) {
        if (!table_.HasBlobs())
            return false;
        bool changed = false;
        for (const FieldDescriptor& d : blob_fields_) {
            const std::uint32_t reference = Reference(record, d);
            if (reference == 0)
                continue;
            const bool has_value = record.Buffer()[FieldOffset(d)] != 0;
            if (!has_value || !ReferenceInsideFile(reference)) {
                changed |= DropReference(record, d, r, kOutsideBlobFile);
                continue;
            }
            // A chain an earlier record holds is that record's: sharing it, a change of
            // either memo would free or overwrite the other's.
            if (!claimed_blobs_.insert(reference).second) {
                changed |= DropReference(record, d, r, kSharedBlobChain);
                continue;
            }
            if (table_.BlobFile().CheckChain(&cursor_, verify_only_, blob_check_, r,
                                             BlobNumber(record, d), reference)) {
                ClearBlobField(record, d);
                changed = true;
            }
        }
        return changed;
    }

    bool CheckDeletedBlobs(TRecord& record, std::uint32_t r) {
        if (!table_.HasBlobs())
            return false;
        bool changed = false;
        for (const FieldDescriptor& d : blob_fields_) {
            const std::uint32_t reference = Reference(record, d);
            if (reference == 0)
                continue;
            if (!ReferenceInsideFile(reference)) {
                changed |= DropReference(record, d, r, kOutsideBlobFile);
                continue;
            }
            // A live record's blob: only the deleted record's reference goes.
            if (live_blobs_.contains(reference)) {
                changed |= DropReference(record, d, r, kSharedBlobChain);
                continue;
            }
            if (table_.BlobFile().RepairBlob(&cursor_, verify_only_, blob_check_, r,
                                             BlobNumber(record, d), reference)) {
                ClearBlobField(record, d);
                changed = true;
            }
        }
        return changed;
    }

    void FreeRecordBlobs(TRecord& record, std::uint32_t r) {
        if (!table_.HasBlobs())
            return;
        for (const FieldDescriptor& d : blob_fields_) {
            const std::uint32_t reference = Reference(record, d);
            if (reference != 0 && ReferenceInsideFile(reference))
                table_.BlobFile().FreeChain(&cursor_, reference, BlobNumber(record, d), r);
            ClearBlobField(record, d);
        }
    }

    // False when a unique index already holds the record's key.
    bool RebuildKeys(TRecord& record) {
        const std::span<const std::uint8_t> image = record.Buffer();
        std::vector<std::vector<std::uint8_t>> keys;
        keys.reserve(plans_.size());
        try {
            for (const IndexPlan& plan : plans_) {
                keys.push_back(KeyOf(plan, image, language_, sort_));
                if (plan.unique &&
                    TIndexTree(index_, plan.slot, CompareOf(plan)).Find(keys.back().data())) {
                    if (plan.slot == 0 && index_.PrimaryDefinitionDoubtful()) {
                        DropPrimary();
                        return RebuildKeys(record);
                    }
                    return false;
                }
            }
            std::size_t inserted = 0;
            for (; inserted < plans_.size(); ++inserted) {
                const IndexPlan& plan = plans_[inserted];
                if (!TIndexTree(index_, plan.slot, CompareOf(plan))
                         .Insert(keys[inserted].data(), record.RecordNumber()))
                    break;
            }
            if (inserted < plans_.size()) {
                for (std::size_t i = 0; i < inserted; ++i) {
                    TIndexTree(index_, plans_[i].slot, CompareOf(plans_[i])).Delete(keys[i].data());
                }
                return false;
            }
        } catch (const EStrataEngineError&) {
            // Any other failure of one record's keys is passed over.
            return true;
        }
        InsertHidden(record.Status(), record.RecordId(), record.RecordNumber());
        return true;
    }

    // A primary index whose definition did not fit its key size may name the wrong fields;
    // held unique there, it would cost every record sharing a value. The definition goes
    // instead of the records.
    void DropPrimary() {
        const IndexPlan& primary = plans_.front();
        TIndexTree(index_, primary.slot, CompareOf(primary)).Clear();
        Log("Invalid key size of " + std::to_string(primary.key_size) +
            " for index Primary, error fixed and index removed");
        index_.DeleteIndex(0);
        plans_.erase(plans_.begin());
    }

    void InsertHidden(std::uint8_t status, std::uint32_t id, std::uint32_t r) {
        const auto key = HiddenKeyOf(status, id);
        TIndexTree(index_, kHiddenIndexSlot, HiddenCompare).Insert(key.data(), r);
    }

    TDataCursor& cursor_;
    TDataTable& table_;
    TDataFile& data_;
    TIndexFile& index_;
    bool verify_only_;
    bool blob_check_;
    const TDataCursor::ProgressHandler& progress_;
    std::uint16_t language_;
    std::uint16_t sort_;
    std::vector<IndexPlan> plans_;
    std::vector<FieldDescriptor> blob_fields_;
    std::unordered_set<std::uint32_t> live_blobs_;
    std::unordered_set<std::uint32_t> claimed_blobs_;
    std::vector<std::uint8_t> states_;
};

}  // namespace

IndexPlan PlanIndex(TIndexFile& index, TDataFile& data, int slot, std::uint16_t language,
                    std::uint16_t sort) {
    IndexPlan plan;
    plan.slot = slot;
    const IndexDescriptor d = index.GetIndexDescriptor(slot);
    plan.name = slot == 0 ? std::string("Primary") : IndexName(d);
    plan.descending = d[ixd::kDescending] != 0;
    plan.case_insensitive = d[ixd::kCaseInsensitive] != 0;
    plan.unique = IndexUnique(d);
    plan.key_size = IndexKeySize(d);
    for (std::size_t i = 0; i < IndexFieldsHeld(d); ++i) {
        const auto field = data.FindFieldDescriptor(IndexFieldNumber(d, i));
        if (!field)
            RaiseEngineError(kErrHeaderCorrupt, data.Name(), {}, plan.name);
        FieldDescriptor f = *field;
        f[fd::kDescending] = d[ixd::kFieldDescending + i];
        plan.fields.push_back(f);
    }
    plan.comparer =
        TKeyComparer(KeySegmentsOf(plan.fields, plan.descending), language, sort, plan.key_size);
    return plan;
}

std::vector<std::uint8_t> KeyOf(const IndexPlan& plan, std::span<const std::uint8_t> record,
                                std::uint16_t language, std::uint16_t sort) {
    std::vector<std::uint8_t> key(plan.key_size, 0);
    BuildRecordKey(plan.fields, record, key, plan.case_insensitive, plan.descending, language, sort,
                   !plan.unique);
    return key;
}

KeyCompare CompareOf(const IndexPlan& plan) {
    return [comparer = &plan.comparer](const std::uint8_t* a, const std::uint8_t* b) {
        return comparer->Compare(a, b, true);
    };
}

int HiddenCompare(const std::uint8_t* a, const std::uint8_t* b) {
    const auto pa = std::span(a, 5);
    const auto pb = std::span(b, 5);
    const auto [ia, ib] = std::mismatch(pa.begin(), pa.end(), pb.begin());
    if (ia == pa.end())
        return 0;
    return *ia < *ib ? -1 : 1;
}

std::array<std::uint8_t, 5> HiddenKeyOf(std::uint8_t status, std::uint32_t id) {
    std::array<std::uint8_t, 5> key{};
    key[0] = status;
    const auto encoded = EncodeIntegerKey(static_cast<std::int32_t>(id));
    std::copy(encoded.begin(), encoded.end(), key.begin() + 1);
    return key;
}

std::string TableFilePath(const TDataCursor& cursor, std::string_view extension) {
    std::string base = cursor.TableName();
    const auto dot = base.rfind('.');
    if (dot != std::string::npos && base.find_first_of("/\\", dot) == std::string::npos)
        base.resize(dot);
    base += extension;
    if (cursor.InMemory() || cursor.Directory().InMemory() || HasDirectoryPart(base))
        return base;
    return cursor.Directory().Path() + base;
}

std::string MaintenanceTimeStamp() {
    const db::TFormatSettings& formats = db::FormatSettings();
    return db::FormatDateTime(formats.ShortDateFormat + " " + formats.LongTimeFormat, db::Now(),
                              formats);
}

std::uint8_t ReadHeaderVersion(TFileHandler& file, std::size_t header_size, bool scrambled) {
    std::vector<std::uint8_t> header(header_size);
    file.LockFileObject();
    try {
        file.SeekFile(0, SeekOrigin::kBegin);
        file.Read(header.data(), header.size());
    } catch (...) {
        file.UnlockFileObject();
        throw;
    }
    file.UnlockFileObject();
    if (scrambled)
        UnscrambleBuffer(header, kTableDataKeyLow, kTableDataKeyHigh);
    return header[8];
}

void WriteHeaderVersion(TFileHandler& file, std::size_t header_size, bool scrambled,
                        std::uint8_t version) {
    std::vector<std::uint8_t> header(header_size);
    file.LockFileObject();
    try {
        file.SeekFile(0, SeekOrigin::kBegin);
        file.Read(header.data(), header.size());
        if (scrambled)
            UnscrambleBuffer(header, kTableDataKeyLow, kTableDataKeyHigh);
        header[8] = version;
        if (scrambled)
            ScrambleBuffer(header, kTableDataKeyLow, kTableDataKeyHigh);
        file.SeekFile(0, SeekOrigin::kBegin);
        file.Write(header.data(), header.size());
        file.Flush();
    } catch (...) {
        file.UnlockFileObject();
        throw;
    }
    file.UnlockFileObject();
}

namespace {

// One pass of verification or repair over the whole table.
void RunPass(TDataCursor& cursor, bool verify_only, std::uint8_t blob_check,
             const TDataCursor::ProgressHandler& progress, const TDataCursor::LogHandler& log) {
    cursor.CheckClosed();
    cursor.CheckExclusive();
    if (!verify_only)
        cursor.CheckWritable();
    cursor.SetRepairLogHandler(log);
    // A batch may hold the files open with changes not yet written: they are written and the
    // files let go first, so the check reads them whole and the repair keeps those rows.
    const int released = cursor.Directory().ReleaseIdleTable(cursor.TableName(), cursor.InMemory());
    if (released < 0)
        RaiseEngineError(static_cast<EngineErrorCode>(-released), cursor.TableName());
    CheckVersionsBeforeRepair(cursor, verify_only);

    const std::string what = verify_only ? "Verification of table " : "Repair of table ";
    cursor.SetRepairMode(true);
    try {
        cursor.Open();
        if (!verify_only && cursor.ReadOnly())
            RaiseEngineError(kErrAccessDenied, cursor.TableName());
        RepairLog(&cursor, what + cursor.TableName() + " started at " + MaintenanceTimeStamp());
        TDataTable& table = *cursor.Table();
        const bool interrupted = table.DataFile().WriteInterrupted();
        if (!verify_only) {
            // Marked before anything changes: a repair cut short leaves a
            // table that the next open refuses and the next repair redoes.
            table.HoldWriteMark();
            table.IndexFile().EmptyIndexFile();
            table.IndexFile().WriteHeader(true);
        }
        if (interrupted) {
            RepairLog(&cursor, std::string("Table files were left partly written, ") +
                                   std::string(FixedText(verify_only)));
        }
        table.DataFile().RepairHeader(&cursor, verify_only);
        table.IndexFile().RepairHeader(&cursor, verify_only);
        if (table.DataFile().GetBlobFieldCount() > 0 && table.BlobFile().IsOpen())
            table.BlobFile().RepairFile(&cursor, verify_only);
        if (verify_only) {
            table.DataFile().LimitRecordSlotsToFile();
            if (table.DataFile().GetBlobFieldCount() > 0 && table.BlobFile().IsOpen())
                table.BlobFile().LimitBlocksToFile();
        }
        if (!verify_only) {
            // The data header with its repaired record size is what the
            // record pass reads records by.
            table.DataFile().WriteHeader(true);
            table.DataFile().WriteFieldDescriptors();
        }
        cursor.SelectIndex(kNoIndex);
        RecordPass(cursor, verify_only, blob_check, progress).Run();
        if (!verify_only) {
            table.ReleaseWriteMark();
            cursor.FlushBuffers(false, true, true);
        }
        RepairLog(&cursor, what + cursor.TableName() + " completed at " + MaintenanceTimeStamp());
        cursor.Close(true);
    } catch (...) {
        try {
            cursor.Close(true);
        } catch (...) {
        }
        cursor.SetRepairMode(false);
        throw;
    }
    cursor.SetRepairMode(false);
}

// What verification finds in the table now: its fault lines.
std::vector<std::string> VerifyFaults(TDataCursor& cursor, std::uint8_t blob_check) {
    std::vector<std::string> faults;
    RunPass(cursor, true, blob_check, {}, [&faults](std::string_view line) {
        if (!line.starts_with("Verification of table "))
            faults.emplace_back(line);
    });
    return faults;
}

// An index header that opens but does not verify is put back as the
// template has it; without a template the header checks mend what they can.
void ProbeIndexHeader(TDataCursor& cursor, THeaderRescue& rescue) {
    if (!rescue.HasTemplate())
        return;
    bool sound = true;
    cursor.SetRepairMode(true);
    try {
        cursor.Open();
        cursor.Table()->IndexFile().VerifyHeader();
    } catch (const EStrataEngineError&) {
        sound = false;
    }
    try {
        cursor.Close(true);
    } catch (const EStrataEngineError&) {
        sound = false;
    }
    cursor.SetRepairMode(false);
    if (!sound)
        rescue.ReplaceIndexHeader(&cursor);
}

constexpr int kRepairRounds = 3;

}  // namespace

void RepairTable(TDataCursor& cursor, bool verify_only, std::uint8_t blob_check,
                 TDataCursor::ProgressHandler progress, TDataCursor::LogHandler log,
                 std::string_view template_base) {
    if (verify_only) {
        RunPass(cursor, true, blob_check, progress, log);
        return;
    }
    cursor.CheckClosed();
    cursor.CheckExclusive();
    cursor.CheckWritable();
    cursor.SetRepairLogHandler(log);
    const int released = cursor.Directory().ReleaseIdleTable(cursor.TableName(), cursor.InMemory());
    if (released < 0)
        RaiseEngineError(static_cast<EngineErrorCode>(-released), cursor.TableName());
    const bool in_memory = cursor.InMemory() || cursor.Directory().InMemory();
    const std::string base = TableFilePath(cursor, "");
    THeaderRescue rescue(base, in_memory, std::string(template_base));
    // The files as they were stay beside the table until it verifies, so a
    // repair that goes wrong never costs what the damage had left.
    std::vector<std::string> aside;
    if (!in_memory)
        aside = SetTableFilesAside(base, RepairCopiesBase(base), false);
    try {
        rescue.Apply(&cursor);
        CheckVersionsBeforeRepair(cursor, false);
        ProbeIndexHeader(cursor, rescue);
        // A mend can bring out a fault that an earlier one hid; the repair goes
        // on until verification finds the table sound.
        for (int round = 1;; ++round) {
            RunPass(cursor, false, blob_check, progress, log);
            const std::vector<std::string> faults = VerifyFaults(cursor, blob_check);
            cursor.SetRepairLogHandler(log);
            if (faults.empty())
                break;
            if (round == kRepairRounds) {
                for (const std::string& fault : faults)
                    RepairLog(&cursor, fault);
                RaiseEngineError(kErrRepairIncomplete, cursor.TableName());
            }
        }
    } catch (...) {
        cursor.SetRepairLogHandler(log);
        // A repair that cannot make the table sound leaves it as it found it.
        if (!in_memory &&
            cursor.Directory().ReleaseIdleTable(cursor.TableName(), cursor.InMemory()) >= 0)
            PutFilesBack(base, aside);
        if (CopiesUnneeded(base, aside))
            DeleteFilesAside(aside);
        throw;
    }
    DeleteFilesAside(aside);
    if (!in_memory)
        DeleteRepairCopies(base);
}

}  // namespace strata
