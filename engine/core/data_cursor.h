#pragma once

// TDataCursor: one view of one table, with its own options, current index,
// position, range, filters, field descriptors and open blobs. The dataset
// interface and the SQL processor reach tables only through it. Many cursors
// of one directory share one TDataTable.
//
// Source files by concern: data_cursor.cpp (life cycle, options, table
// operations), data_cursor_navigation.cpp (indexes, keys, ranges, moving,
// bookmarks), data_cursor_records.cpp (records, fields, locks),
// data_cursor_blobs.cpp (blobs, header reads) and data_cursor_filters.cpp.

#include <algorithm>
#include <array>
#include <cstdint>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/core/cursor_handlers.h"
#include "engine/core/data_table.h"
#include "engine/core/index_tree.h"
#include "engine/core/key_builder.h"
#include "engine/core/table_descriptors.h"
#include "engine/core/table_file_link.h"
#include "engine/storage/engine_error_codes.h"
#include "engine/storage/exp_token.h"
#include "engine/storage/language_char_maps.h"
#include "engine/storage/records_bitmap.h"
#include "platform/db/format_settings.h"

namespace strata {

class FirstFailure;
class TDataDirectory;
class TFilter;
class TBlobBuffer;

inline constexpr std::uint8_t kNoIndex = 255;
inline constexpr std::uint8_t kHiddenIndex = 31;
inline constexpr std::size_t kMaxFilters = 64;
inline constexpr std::size_t kMaxOpenBlobs = 64;
inline constexpr std::size_t kMaxKeyFieldBytes = 524;

using RecordBuffer = std::span<std::uint8_t>;
using ConstRecordBuffer = std::span<const std::uint8_t>;

// Open modes of a blob (TDataCursor::OpenBlob).
inline constexpr std::uint8_t kBlobOpenRead = 1;
inline constexpr std::uint8_t kBlobOpenReadWrite = 2;

class TDataCursor final : public TFileCursor {
  public:
    using PasswordHandler = strata::PasswordHandler;
    using ProgressHandler = strata::ProgressHandler;
    using StageProgressHandler = strata::StageProgressHandler;
    using LogHandler = strata::LogHandler;
    using DataLostHandler = strata::DataLostHandler;
    // Answers true to keep the record.
    using FilterCallback = std::function<bool(ConstRecordBuffer record, std::uint32_t number)>;

    explicit TDataCursor(TDataDirectory& directory);
    ~TDataCursor() override;
    TDataCursor(const TDataCursor&) = delete;
    TDataCursor& operator=(const TDataCursor&) = delete;

    TDataDirectory& Directory() const noexcept { return directory_; }
    TDataTable* Table() const noexcept { return table_; }

    // Options (settable only while closed: 10031)
    const std::string& TableName() const noexcept { return table_name_; }
    // The table's name as its error messages show it (without extension).
    std::string BaseName() const;
    void SetTableName(std::string_view name);
    bool Exclusive() const noexcept { return exclusive_; }
    void SetExclusive(bool value);
    bool Share() const noexcept { return share_; }
    void SetShare(bool value);
    bool ReadOnly() const noexcept { return read_only_ || media_read_only_; }
    void SetReadOnly(bool value);
    bool InMemory() const noexcept { return in_memory_; }
    void SetInMemory(bool value);
    bool Temporary() const noexcept { return temporary_; }
    void SetTemporary(bool value);
    bool SequentialAccess() const noexcept { return sequential_; }
    void SetSequentialAccess(bool value);
    bool PhysicalOrderOption() const noexcept { return physical_order_option_; }
    void SetPhysicalOrder(bool value);
    // The statement cursor's flags: owned by an SQL statement, and allowed to
    // carry computed fields. May be set at any time.
    bool ComputedFields() const noexcept { return computed_fields_; }
    void SetComputedFields(bool value) noexcept { computed_fields_ = value; }
    bool StatementOwned() const noexcept { return statement_owned_; }
    void SetStatementOwned(bool value) noexcept { statement_owned_ = value; }
    // Only an open cursor with an auto-increment field takes it.
    void SetFetchOption(bool value);
    bool FetchOption() const noexcept { return fetch_option_; }
    void SetRepairMode(bool value) noexcept { repair_mode_ = value; }
    void SetRestructureMode(bool value) noexcept { restructure_mode_ = value; }

    bool IsOpen() const noexcept { return open_; }
    void Open();
    void Close(bool discard_temporary = true);
    void CheckClosed() const;
    void CheckExclusive() const;
    void CheckWritable() const;

    void CreateTable(TableDefinition definition, bool overwrite);
    // Normalises the definition in place (names, sizes, offsets, key sizes).
    void ValidateTableDefinition(TableDefinition& definition) const;
    void ValidateFieldDefs(std::uint16_t language, std::uint16_t sort,
                           std::vector<FieldDescriptor>& fields, bool assign_offsets) const;
    void ValidateIndexDefs(bool primary_optional, std::vector<IndexDescriptor>& indexes,
                           const std::vector<FieldDescriptor>& fields) const;
    void DeleteTable();
    void RenameTable(std::string_view new_name);
    void BackupTable();
    void BackupIndex();
    void RestoreIndex(bool keep, bool delete_backup);
    void EmptyTable();
    void OptimizeTable(std::string_view index_name, bool backup);
    void SortRecords(std::span<const FieldDescriptor> key_fields, bool descending,
                     bool case_insensitive, bool unique, bool group,
                     const TDataFile::MergeCallback& merge, bool finish,
                     const TDataFile::RecordCallback& on_finish, bool accept,
                     const TDataFile::AcceptCallback& on_accept);
    static bool FieldDefChanged(const FieldDescriptor& a, const FieldDescriptor& b);
    bool IndexDefChanged(const IndexDescriptor& a, const IndexDescriptor& b,
                         std::span<const FieldDescriptor> old_fields,
                         std::span<const FieldDescriptor> new_fields) const;
    // Installs a field layout on an open cursor; computed fields go after the
    // table's record bytes.
    void SetFieldDescriptors(std::vector<FieldDescriptor> fields);
    // The expression that computes field `number`, which SetFieldDescriptors
    // installed as not stored. It reads stored fields only, so the order of
    // evaluation never matters. 10006 when the field is not computed, the
    // text does not parse or its type cannot be stored in the field. The
    // tree form takes a typed tree whose columns are this cursor's fields.
    void SetFieldExpression(std::uint32_t number, std::string_view text);
    void SetFieldExpression(std::uint32_t number, ExpTokenPtr tree);
    // Evaluates every computed field of `buffer` again from its stored
    // fields; a result that does not convert to the field's type is null. Every field write
    // and fetch asks: a table without computed fields answers here.
    void EvaluateComputedFields(RecordBuffer buffer) {
        if (has_computed_)
            EvaluateComputedFieldsNow(buffer);
    }
    // After a restructure: index field references become field positions,
    // then the fields are numbered 1, 2, 3 ... in order. 10023 (and nothing
    // changed) when an index names a field the table does not have.
    void RenumberFields();
    // Test seam: called after each irreversible step of an insert, modify or
    // delete (blob chains written, each key written or removed), numbered
    // from 1 within the write; an exception it throws fails the write there.
    void SetWriteStepHook(std::function<void(int step)> hook) {
        write_step_hook_ = std::move(hook);
    }

    // Header values: from the open table, or read from the closed table's
    // data file header.
    std::uint32_t GetBlobBlockSize();
    std::uint32_t GetBlobDataPerBlock() { return GetBlobBlockSize() - 18; }
    std::uint16_t GetLanguageID();
    std::uint16_t GetSortID();
    std::uint16_t GetUserMajorVersion();
    std::uint16_t GetUserMinorVersion();
    std::uint32_t GetLastAutoInc();
    std::string GetDescription();
    bool IsEncrypted();
    std::string GetTablePassword();
    std::uint32_t GetRecordSize() const noexcept { return record_size_; }
    std::uint16_t GetFieldCount() const noexcept { return field_count_; }
    std::uint32_t GetRecordSlotCount() const;
    std::uint32_t NextAutoInc();
    void SetLastAutoInc(std::uint32_t value);
    void SaveTableCounters();
    void Refresh();
    std::unique_ptr<TDataCursor> CloneCursor();

    void SelectIndex(std::uint8_t number);
    void SetIndex(std::uint8_t number);
    void SetIndexByName(std::string_view name);
    std::uint8_t CurrentIndex() const noexcept { return index_; }
    const std::string& CurrentIndexName() const noexcept { return index_name_; }
    int GetIndexCount() const;
    IndexDescriptor GetIndexDesc(std::uint32_t number) const;
    std::vector<std::uint16_t> GetIndexFieldNumbers(std::uint32_t number) const;
    std::uint16_t GetKeySize() const noexcept { return PhysicalOrder() ? 4 : key_size_; }
    bool HasNoPrimaryIndex() const;
    bool PhysicalOrder() const noexcept { return physical_; }
    void AddIndex(IndexDescriptor descriptor);
    void DeleteIndex(std::string_view name, bool remove);
    void EmptyIndex(std::uint8_t number, bool remove);
    void RebuildRecordIndex();
    // The current index's key of a record buffer.
    std::vector<std::uint8_t> BuildKey(ConstRecordBuffer record) const;
    bool KeyExists(std::span<const std::uint8_t> key);

    // source is a key (key size bytes) or a record buffer; `out_record` may be
    // empty. `partial_length` counts characters of the string field after
    // the first `field_count` fields.
    bool FindKey(bool source_is_key, ConstRecordBuffer source, RecordBuffer out_record,
                 std::size_t partial_length, bool nearest, int field_count);
    bool GotoKey(std::span<const std::uint8_t> key, bool nearest, bool adjust);
    void SetRangeKeys(bool source_is_key, ConstRecordBuffer start, int start_field_count,
                      ConstRecordBuffer end, int end_field_count);
    void CancelRange();
    bool RangeActive() const noexcept { return range_active_; }
    void First();
    void Last();
    void Move(std::int64_t n);
    void GotoSequenceNumber(std::int64_t n);
    void GotoRecord(std::int64_t n);
    bool Bof() const noexcept { return bof_; }
    bool Eof() const noexcept { return eof_; }
    std::int64_t GetRecordCount();
    std::int64_t GetRecordNumber();
    std::int64_t GetTableRecordCount();
    std::uint32_t GetCurrentRecordNo() const;
    std::vector<std::uint8_t> GetBookmark() const;
    // The bookmark's first bytes into `out`, the rest of it zeros; allocates nothing.
    void GetBookmarkInto(std::span<std::uint8_t> out) const;
    bool GotoBookmark(std::span<const std::uint8_t> bookmark, bool adjust, bool skip_sync = false);
    int CompareBookmarks(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) const;
    // 0, or 8710 when the other cursor's record is not found here.
    int GotoCursorPosition(TDataCursor& other);
    void Resync();
    void Reposition();

    EngineErrorCode GetCurrentRecord(RecordBuffer buffer, bool lock);
    // The current record as the last positioning fetched it, without fetching it again; empty
    // off the records.
    ConstRecordBuffer ViewCurrentRecord() const noexcept {
        return bof_ || eof_ ? ConstRecordBuffer{} : ConstRecordBuffer(current_);
    }
    // From the first record to the end, as a loop of GetNextRecord gives them, reading the data
    // file in large blocks: `visit` gets each record and answers false to stop. False, with
    // nothing visited, where the cursor cannot read so (an index order, BLOB fields, an update
    // batch); the cursor is left at the end (or on the record the visit stopped at).
    bool ScanRecords(const std::function<bool(ConstRecordBuffer)>& visit);
    // The records of one block a scan read: the visible records of the block that are stored
    // and not deleted, in record order, each `size` bytes where Record finds it.
    struct ScannedBlock {
        const std::uint8_t* records = nullptr;
        std::uint32_t first = 0;
        std::size_t size = 0;
        std::span<const std::uint32_t> numbers;
        ConstRecordBuffer Record(std::uint32_t number) const {
            return {records + std::size_t{number - first} * size, size};
        }
    };
    // ScanRecords a block at a time, for a caller whose work per record is small: the cursor
    // stands on the block's last record while `visit` looks at it. False, with nothing
    // visited, where ScanRecords would decline or a record would need more than its stored
    // bytes (computed fields).
    bool ScanRecordBlocks(const std::function<bool(const ScannedBlock&)>& visit);
    // One visible record per distinct value of a field, through an index whose first field it
    // is and whose keys hold the values themselves (byte-order keys; for text, an index with
    // case): each value's keys are skipped with one seek once a visible record of it is met.
    // Values come in key order, null first where it sorts first. False, with nothing visited,
    // where no such index serves or the cursor is not a plain physical one without filters.
    bool ScanDistinct(std::uint32_t field, const std::function<bool(ConstRecordBuffer)>& visit);
    // The numbers of the records a walk in record order visits, in its order, without reading
    // a record; the cursor is left at the end. False, with nothing given, where the cursor
    // does not walk in record order.
    bool VisibleRecordNumbers(std::vector<std::uint32_t>& numbers);
    EngineErrorCode GetNextRecord(RecordBuffer buffer);
    EngineErrorCode GetPriorRecord(RecordBuffer buffer);
    EngineErrorCode CopyCurrentRecord(RecordBuffer buffer);
    void ClearRecordBuffer(RecordBuffer buffer) const;
    void InitNewRecord(RecordBuffer buffer);
    void ValidateRecord(ConstRecordBuffer buffer);
    void InsertRecord(RecordBuffer buffer, bool reposition);
    // Inserts whole records (`records` holds them one after another, each GetRecordSize()
    // bytes) as InsertRecord(record, false) would one by one, giving the same files, with one
    // write of the data and without a search of the hidden index per record; each record's
    // header (status, number, ID) is set in place. False, with nothing done, where that path
    // does not serve: a table not held exclusively, one with an index beside the hidden one,
    // BLOB fields, encryption, an update batch, free records to reuse, the fetch option,
    // record IDs about to wrap.
    bool AppendRecords(RecordBuffer records);
    void ModifyRecord(RecordBuffer buffer, bool unlock, bool reposition);
    void DeleteRecord(ConstRecordBuffer buffer, bool reposition);

    // Fields (1-based positions; descriptor numbers in restructure mode)
    // `value` (may be empty) receives the data size, zero-filled first.
    // Defined here so that `value` reaches GetFieldWith as the caller built it: forwarded from
    // an out-of-line call, the span was reloaded from the stack whole right after the caller
    // stored it in halves, a stall on every field read.
    void GetField(std::uint32_t number, ConstRecordBuffer buffer, bool& is_null,
                  std::span<std::uint8_t> value) const {
        GetFieldWith(DescriptorFor(number), buffer, is_null, value);
    }
    void GetFieldRaw(std::uint32_t number, ConstRecordBuffer buffer, bool& is_null,
                     std::span<std::uint8_t> value) const;
    // A null `value` writes null. Strings end at their first zero.
    void PutField(std::uint32_t number, RecordBuffer buffer, const std::uint8_t* value,
                  bool computed_write = false);
    void PutFieldRaw(std::uint32_t number, RecordBuffer buffer, const std::uint8_t* value);
    // A copy of one field of another table's records into this table's records, planned once
    // for many records: where each lies, its size and type.
    struct FieldCopy {
        std::size_t from_at = 0;
        std::size_t to_at = 0;
        std::size_t size = 0;
        std::uint8_t type = 0;
    };
    // The copy of field `source_number` of `source`'s records into field `number` of this
    // cursor's, where both fields have the same type and size, this one is stored, and
    // neither is an auto-increment, BLOB or case-converting field; else none.
    std::optional<FieldCopy> PlanFieldCopy(std::uint32_t number, const TDataCursor& source,
                                           std::uint32_t source_number) const;
    // Writes the planned field of `buffer` from `source_record`, as GetField there and
    // PutField here with its value (or null) would, without the copy in between.
    void CopyField(const FieldCopy& copy, RecordBuffer buffer, ConstRecordBuffer source_record);
    const FieldDescriptor& GetFieldDesc(std::uint32_t number) const;
    FieldDescriptor GetTableFieldDesc(std::uint32_t number) const;
    bool FindFieldDesc(std::string_view name, FieldDescriptor& out) const;
    void SetFieldDesc(std::uint32_t number, const FieldDescriptor& descriptor);
    std::uint32_t GetBlobBlockCount(std::int64_t length);
    static std::uint32_t RecordIdOf(ConstRecordBuffer buffer);
    static void SetRecordIdOf(RecordBuffer buffer, std::uint32_t id);
    static std::uint32_t RecordNumberOf(ConstRecordBuffer buffer);

    void LockRecord(std::uint32_t number);
    void UnlockRecord(std::uint32_t number);
    // Whether this cursor holds an explicit lock on the record (LockRecord, or an edit's read).
    bool HoldsRecordLock(std::uint32_t number) const { return OwnsLock(number); }
    void LockTable();
    void UnlockTable();
    void HoldReadLock();
    void ReleaseReadLock();
    void ReadLock();
    void ReadUnlock();
    void WriteLock();
    void WriteUnlock();
    void FlushBuffers(bool trim, bool force_data_header, bool force_index_header);
    void FlushToDisk();
    void DiscardBuffers(bool trim, bool reread_headers);

    // Blobs (results are engine codes, 0 = success). The open mode is one of kBlobOpen*; the
    // cursor keeps it with the open blob.
    EngineErrorCode OpenBlob(std::uint32_t field, RecordBuffer buffer, std::uint8_t mode);
    EngineErrorCode CloseBlob(std::uint32_t field, RecordBuffer buffer);
    EngineErrorCode ReadBlob(std::uint32_t field, ConstRecordBuffer buffer,
                             std::uint32_t& out_count, std::uint32_t count, std::uint8_t* dest,
                             std::uint32_t offset);
    EngineErrorCode WriteBlob(std::uint32_t field, ConstRecordBuffer buffer, std::uint32_t count,
                              const std::uint8_t* source, std::uint32_t offset);
    EngineErrorCode TruncateBlob(std::uint32_t field, ConstRecordBuffer buffer,
                                 std::uint32_t new_size);
    EngineErrorCode GetBlobSize(std::uint32_t field, ConstRecordBuffer buffer, std::uint32_t& size);
    // The open blob of the field, or null.
    TBlobBuffer* FindBlob(std::uint32_t field, ConstRecordBuffer buffer) const;
    void EmptyBlobs(RecordBuffer record);
    void PutBlobHandles(RecordBuffer record);
    void FreeBlobs();
    bool IsOpenBlob(std::int32_t handle) const;
    // The open-blob handle a negative blob reference names. The one negative value without a
    // positive counterpart, which only a damaged record holds, names no handle (0).
    static constexpr std::int32_t OpenBlobHandleOf(std::int32_t reference) noexcept {
        return reference == std::numeric_limits<std::int32_t>::min() ? 0 : -reference;
    }
    std::size_t OpenBlobCount() const noexcept { return blobs_.size(); }

    void SetPasswordHandler(PasswordHandler handler) { on_password_ = std::move(handler); }
    void SetRepairProgressHandler(ProgressHandler h) { on_repair_progress_ = std::move(h); }
    void SetRepairLogHandler(LogHandler h) { on_repair_log_ = std::move(h); }
    void SetUpgradeProgressHandler(StageProgressHandler h) { on_upgrade_progress_ = std::move(h); }
    void SetUpgradeLogHandler(LogHandler h) { on_upgrade_log_ = std::move(h); }
    void SetOptimizeProgressHandler(ProgressHandler h) { on_optimize_progress_ = std::move(h); }
    void SetRestructureProgressHandler(ProgressHandler h) {
        on_restructure_progress_ = std::move(h);
    }
    void SetDataLostHandler(DataLostHandler h) { on_data_lost_ = std::move(h); }
    void SetIndexProgressHandler(ProgressHandler h) { on_index_progress_ = std::move(h); }

    struct FilterOptions {
        bool no_partial_compare = false;
        bool case_insensitive = false;
        bool allow_complement_scan = true;
        bool narrow_by_earlier = false;
        bool owns_expression = true;
    };
    // Adds an inactive filter from a text, a prepared tree or a callback.
    TFilter* AddFilter(std::string_view text, const FilterOptions& options,
                       FilterCallback callback = {});
    TFilter* AddFilter(ExpTokenPtr tree, const FilterOptions& options);
    // Replaces an active filter's expression and evaluates it again; an
    // empty tree does nothing.
    void SetFilterExpression(ExpTokenPtr tree, TFilter* filter);
    // A null handle means every filter.
    void DropFilter(TFilter* filter);
    void ActivateFilter(TFilter* filter);
    // Activates the filter and reads the first record of the view that results, as
    // ActivateFilter, First and GetNextRecord would, without walking the index up to it
    // when few records pass.
    EngineErrorCode ActivateAndReadFirst(TFilter* filter, RecordBuffer buffer);
    void DeactivateFilter(TFilter* filter);
    std::size_t FilterCount() const noexcept { return filters_.size(); }
    // The optimisation level (0 index scans, 1 partly, 2 record by record)
    // a tree would get on this cursor; raises nothing.
    std::uint8_t ClassifyFilterNode(TExpToken& node, std::uint8_t parent_operator, bool estimate);
    // Whether an index narrows the records the tree visits: level 0 or 1, or a case-sensitive
    // string equality that a case-insensitive index narrows before the exact check.
    bool FilterNodeUsesIndex(TExpToken& node, bool estimate);
    // For a case-sensitive string equality or prefix comparison that only a case-insensitive
    // index narrows, also one of UPPER(column) or LOWER(column) (without a language): the same
    // comparison of the column without regard to case, which that index answers alone,
    // without reading a record. A reader that checks the records of that view with a
    // RecordMatcher reads the candidates once, where the exact filter reads them to check and
    // the reader reads them again. Null for any other tree.
    ExpTokenPtr CaseInsensitiveSuperset(const TExpToken& tree);
    // A check of whether a record as a read of this cursor gives it passes a prepared filter
    // tree, as the filter would decide (null answering no). The tree and the format settings
    // must outlive the check.
    std::function<bool(ConstRecordBuffer)> RecordMatcher(const TExpToken& tree,
                                                         const db::TFormatSettings& format);
    // Whether RecordMatcher checks the tree straight from the record's bytes, without the
    // expression evaluator.
    bool MatchesFromBytes(const TExpToken& tree) const {
        return PlainTextEquality(tree).has_value();
    }
    bool BitmapsInUse() const noexcept { return bitmaps_in_use_; }
    std::int64_t ViewCount() const noexcept { return view_count_; }
    void RefreshFilters();
    void FilterRecordChanged(std::uint32_t number, ConstRecordBuffer record);
    // FilterRecordChanged for new records numbered `first` on, `record_size` bytes each in
    // `records`.
    void FilterRecordsAppended(std::uint32_t first, ConstRecordBuffer records,
                               std::size_t record_size);
    void FilterRecordDeleted(std::uint32_t number);

    // TFileCursor
    bool RecheckTableChanged() override;
    bool RunningRepair() const override { return repair_mode_; }
    void RepairLog(std::string_view text) override {
        if (on_repair_log_)
            on_repair_log_(text);
    }
    std::uint32_t ConsecutiveIndexRecords(std::uint32_t, bool) override { return 0; }

  private:
    void EvaluateComputedFieldsNow(RecordBuffer buffer);
    // At close: lets go of the statement read lock and the table lock where no other cursor
    // of the table still holds them; a failure is kept in `failure`.
    void ReleaseSharedLocksBeforeClose(FirstFailure& failure) noexcept;
    // Copies the blob of `field` in `source` into a new blob of `target` for its record buffer
    // `into`; a failure raises with the field's name.
    void CopyBlobInto(std::uint32_t field, RecordBuffer source, TDataCursor& target,
                      RecordBuffer into);
    // The blocks of a scan, each read in one call to the system and handed over with its
    // visible, stored and not deleted records (their active numbers set); false where the
    // cursor cannot read so. `visit` answers false to stop.
    bool ReadScanBlocks(const std::function<bool(ScannedBlock&)>& visit);
    // The cursor on a record a scan gives.
    void PlaceOnScanned(std::uint32_t number);
    friend class TFilter;
    friend class CursorOperation;

    struct OpenBlobEntry {
        std::int32_t handle = 0;
        std::unique_ptr<TBlobBuffer> blob;
        std::uint32_t field = 0;
        std::uint32_t original_offset = 0;
        std::uint32_t original_number = 0;
        std::uint8_t mode = 0;
    };

    struct IndexState {
        std::vector<FieldDescriptor> fields;
        TKeyComparer comparer;
        std::uint16_t key_size = 0;
        bool descending = false;
        bool case_insensitive = false;
        bool unique = false;
    };

    // Life cycle helpers.
    void VerifyTableHeaders();
    void CheckPassword();
    void LoadFieldDescriptors();
    // Which defaults, checks and auto-increment fields the descriptors hold.
    void NoteFieldTraits();
    void CheckOpen() const;
    [[noreturn]] void Raise(EngineErrorCode code, std::string_view field = {},
                            std::string_view index = {}, std::string_view extra = {}) const;
    // A restartable operation names the cursor as the table's reader, so that its reads
    // that miss the caches re-check the table (see CursorOperation::Run).
    void BeginOperation(bool restartable);
    void SyncWithTable(bool hold_read_lock = false);
    // Whether reads of an operation may re-check the table: a shared table others can
    // change, without strict detection (which checks at every operation's start).
    bool MayRecheck() const;
    void SaveRestartPoint();
    void BackToRestartPoint();
    // The current index found again by its name once the indexes changed under the cursor.
    void FollowCurrentIndex();
    void EndOperation() noexcept;
    bool CountersDiffer() const;
    // Counts this cursor as a holder of a table or statement lock just taken and takes in
    // what changed; on failure gives back what the call took (`was_locked`: held before).
    void KeepSharedHold(bool& holds, TDataTable::SharedHold kind, bool was_locked, bool changed,
                        void (TDataTable::*release)());
    void ResyncAndReturn();
    // Back to the cursor's place (see VanishedPlace), with the view rebuilt first or as it is.
    void ReturnToPlace(bool resync);

    // Index and key helpers.
    IndexState MakeIndexState(int slot) const;
    // The state of a slot, built once while its descriptor stays the same.
    const IndexState& CachedIndexState(int slot) const;
    // The state keys of `slot` are built with: the cursor's own for its current index.
    const IndexState& SlotState(int slot) const {
        return slot == CurrentSlot() && !physical_ ? index_state_ : CachedIndexState(slot);
    }
    int SlotOf(std::uint8_t number) const;
    int CurrentSlot() const { return SlotOf(index_); }
    KeyCompare SlotCompare(int slot) const;
    KeyCompare CurrentCompare() const;
    // Raises 8965 when a step did not move past the key the cursor stood on.
    void CheckStepLeftKey(std::span<const std::uint8_t> key, bool forward);
    std::vector<std::uint8_t> BuildKeyFor(int slot, ConstRecordBuffer record) const;
    std::array<std::uint8_t, 5> HiddenKey(std::uint8_t status, std::uint32_t id) const;
    std::size_t ComparedLength(int field_count, std::size_t partial_length) const;
    void FillKeyTail(std::vector<std::uint8_t>& key, std::size_t from, bool high) const;
    std::vector<std::uint8_t> MakeSearchKey(bool source_is_key, ConstRecordBuffer source,
                                            int field_count, std::size_t partial_length, bool high,
                                            bool& partial) const;
    // MakeSearchKey into `key`; false where that answers no key.
    bool MakeSearchKeyInto(std::vector<std::uint8_t>& key, bool source_is_key,
                           ConstRecordBuffer source, int field_count, std::size_t partial_length,
                           bool high, bool& partial) const;
    std::uint64_t KeyCountOf(int slot);
    std::uint64_t KeysBelow(int slot, std::span<const std::uint8_t> key);
    std::uint64_t KeysNotAbove(int slot, std::span<const std::uint8_t> key);
    // Visits entries from a 0-based ordinal, forward or backward, until the
    // visitor answers true (found) or the entries end. A walk that starts beside the entry
    // the last one found starts from that entry's leaf, without a descent by ordinal.
    bool WalkEntries(
        int slot, std::uint64_t ordinal, bool forward,
        const std::function<bool(std::uint64_t ordinal, std::span<const std::uint8_t> key,
                                 std::uint32_t record)>& visit);
    void ScanRange(int slot, std::span<const std::uint8_t> low, std::span<const std::uint8_t> high,
                   TRecordsBitmap& bitmap);
    void RangeBounds(std::uint64_t& low, std::uint64_t& high);
    bool Visible(std::uint32_t record) const;
    void SetNoRecord();
    void PositionOnEntry(std::span<const std::uint8_t> key, std::uint32_t record);
    // Notes the ordinal of the entry just positioned on; KnownOrdinal answers it while the
    // cursor stands on that entry and the slot's keys stand.
    void NoteOrdinal(std::uint64_t ordinal);
    bool KnownOrdinal(std::uint64_t& ordinal) const;
    bool StepIndex(bool forward);
    // From before the first record, onto the first visible one in index order; the few
    // records of a sparse view are found by their keys instead of by a walk.
    bool StepToFirstVisible();
    bool StepPhysical(bool forward);
    bool StepOnce(bool forward);
    void FetchCurrent();
    EngineErrorCode ReadCurrentInto(RecordBuffer buffer);
    void InsertKey(int slot, std::span<const std::uint8_t> key, std::uint32_t record);
    // `record` is the deleted entry's record when known (0: not known); the
    // hidden index's live records follow it.
    void DeleteKey(int slot, std::span<const std::uint8_t> key, std::uint32_t record = 0);

    // Record helpers.
    const FieldDescriptor& DescriptorFor(std::uint32_t number) const {
        // In line for the usual case, a field by its position: every field read asks.
        if (!restructure_mode_ && number >= 1 && number <= fields_.size())
            return fields_[number - 1];
        return FindDescriptor(number);
    }
    const FieldDescriptor& FindDescriptor(std::uint32_t number) const;
    void GetFieldWith(const FieldDescriptor& field, ConstRecordBuffer buffer, bool& is_null,
                      std::span<std::uint8_t> value) const;
    void PutFieldWith(const FieldDescriptor& field, RecordBuffer buffer, const std::uint8_t* value);
    bool TextToFieldValue(const FieldDescriptor& field, std::string_view text,
                          std::span<std::uint8_t> out) const;
    int CompareFieldValue(const FieldDescriptor& field, const std::uint8_t* a,
                          const std::uint8_t* b) const;
    // The slots whose keys a record carries (primary first); their count.
    using KeySlotList = std::array<int, 33>;
    std::size_t KeySlots(KeySlotList& slots) const;
    bool ReadStoredRecord(std::uint32_t number, std::vector<std::uint8_t>& out);
    // Writes the changed open blobs of a record image as new chains and puts
    // references in place of their handles; `written` collects (first block,
    // blob number) pairs for an undo.
    void WriteBufferBlobs(RecordBuffer buffer,
                          std::vector<std::pair<std::uint32_t, std::uint32_t>>& written);
    void FreeWrittenChains(
        const std::vector<std::pair<std::uint32_t, std::uint32_t>>& chains) noexcept;
    void CollectBlobChains(ConstRecordBuffer record,
                           std::vector<std::pair<std::uint32_t, std::uint32_t>>& chains) const;
    void PutDefaults(RecordBuffer buffer);
    void PrepareDefaults();
    // Fills value when the field's default is the date or the time of the moment.
    bool ClockDefault(const FieldDescriptor& field, std::string_view text,
                      std::array<std::uint8_t, 256>& value) const;
    void ForgetFreedBlobs(std::uint32_t record_number, std::span<const std::uint32_t> freed_chains);
    void LockIfNotHeld(std::uint32_t record, bool& locked_here);
    // ModifyRecord's steps.
    bool KeyKept(int key_slot, ConstRecordBuffer old, ConstRecordBuffer stored,
                 std::uint32_t id) const;
    // Builds the old and new key of each index the change alters into the write scratch (at
    // the place of its slot in `changed_slots`) and refuses a key a unique index holds.
    std::size_t ChangedKeySlots(ConstRecordBuffer old, ConstRecordBuffer stored, std::uint32_t id,
                                KeySlotList& changed_slots);
    void ReplacedBlobChains(ConstRecordBuffer old, ConstRecordBuffer stored,
                            std::vector<std::pair<std::uint32_t, std::uint32_t>>& old_chains) const;
    void RewriteRecord(std::uint32_t n, std::uint32_t old_id, RecordBuffer stored, std::uint32_t id,
                       std::span<const int> changed_slots);
    void HandBackBlobReferences(RecordBuffer buffer, ConstRecordBuffer stored);
    // kErrNone for a live record; 8710 past the last slot, 8708 for a free slot.
    EngineErrorCode RecordGone(std::uint32_t number);
    bool OwnsLock(std::uint32_t record) const {
        return std::find(own_locks_.begin(), own_locks_.end(), record) != own_locks_.end();
    }
    // `current_key`, when not empty, is the written record's key in the current index, just
    // inserted there by the caller.
    void AfterWrite(std::uint32_t record, ConstRecordBuffer stored, bool reposition, bool deleted,
                    std::span<const std::uint8_t> current_key = {});

    // Blob helpers.
    OpenBlobEntry* FindOpenBlob(std::uint32_t field, ConstRecordBuffer buffer,
                                EngineErrorCode& code) const;
    std::optional<std::int32_t> NewBlobHandle() const;
    void RemoveBlob(std::int32_t handle);
    DataHeader ReadClosedHeader();

    // Filter helpers.
    struct NodePlan {
        std::uint8_t level = 2;
        int slot = -1;
        // Level 2, but the slot's case-insensitive index gives every record a case-sensitive
        // equality can match, each then compared exactly; on an AND, an operand does.
        bool superset = false;
    };
    // "string column = constant", whole or as a prefix, that compares bytes: a stored string
    // field against the constant's text.
    struct TextEquality {
        const FieldDescriptor* field = nullptr;
        std::string_view text;
        std::size_t partial = 0;
    };
    std::optional<TextEquality> PlainTextEquality(const TExpToken& node) const;
    static std::optional<bool> TextEqualityHolds(const TextEquality& test,
                                                 ConstRecordBuffer record);
    // Ordinal intervals [first, end) of one index's keys.
    struct KeyIntervals {
        std::uint64_t total = 0;
        std::uint64_t nonnull_first = 0;
        std::uint64_t nonnull_end = 0;
        std::uint64_t null_first = 0;
        std::uint64_t null_end = 0;
        bool descending = false;
    };
    TFilter* FindFilter(TFilter* filter) const;
    TFilter* InstallFilter(std::unique_ptr<TFilter> filter);
    // Sets the filter (or every filter) active; gives those that were not.
    // The view again after the set of active filters changed.
    void ShowFilteredView();
    std::vector<TFilter*> SetFiltersActive(TFilter* filter);
    void UndoActivation(const std::vector<TFilter*>& activated) noexcept;
    void UpdateBitmapsInUse();
    void CombineFilters();
    void BuildLiveBitmap();
    void BuildRangeBitmap();
    void EvaluateFilter(TFilter& filter, const TRecordsBitmap& candidates);
    bool RecordPasses(TFilter& filter, ConstRecordBuffer record, std::uint32_t number);
    // NULL answers nothing.
    std::optional<bool> EvaluateNode(const TExpToken& node, ConstRecordBuffer record,
                                     const db::TFormatSettings& format);
    void ReadColumn(const std::byte* record, TExpToken& column);
    NodePlan PlanNode(TExpToken& node, bool estimate);
    int IndexForColumn(std::uint16_t field, int case_rule) const;
    bool ConstantFits(const TExpToken& column, const TExpToken& constant) const;
    void BuildSets(TExpToken& node, const db::TFormatSettings& format,
                   const TRecordsBitmap& candidates, TRecordsBitmap& yes, TRecordsBitmap* no);
    void EvaluateRecords(const TExpToken* node, const TFilter* callback_filter,
                         const db::TFormatSettings& format, const TRecordsBitmap& candidates,
                         TRecordsBitmap& yes, TRecordsBitmap* no);
    void ScanLeaf(TExpToken& node, int slot, const TRecordsBitmap& candidates, TRecordsBitmap& yes,
                  TRecordsBitmap& no);
    KeyIntervals NullIntervals(int slot);
    // The ordinal of a record's entry in an index, found by the key its stored bytes make;
    // none when the entry there is not the record's.
    std::optional<std::uint64_t> OrdinalOfRecord(int slot, std::uint32_t record,
                                                 std::vector<std::uint8_t>& bytes);
    // Marks the records among few candidates whose entries lie in the ordinal intervals;
    // false, marking nothing, when an entry is not where its key puts it.
    bool MarkCandidatesIn(int slot,
                          const std::vector<std::pair<std::uint64_t, std::uint64_t>>& spans,
                          const TRecordsBitmap& candidates, TRecordsBitmap& bitmap);
    std::pair<std::uint64_t, std::uint64_t> EqualInterval(int slot, const TExpToken& column,
                                                          const TExpToken& constant,
                                                          std::size_t partial);
    void ScanOrdinals(int slot, std::uint64_t first, std::uint64_t end, TRecordsBitmap& bitmap);
    static void MarkRecordsUpTo(TIndexFile& file, int slot, std::uint64_t first, std::uint64_t end,
                                TRecordsBitmap& bitmap);
    std::uint64_t LeafCount(TExpToken& node, int slot);
    // Swaps the index the key helpers work on, leaving the view bitmaps alone.
    void SelectIndexState(std::uint8_t number);

    TDataDirectory& directory_;
    TDataTable* table_ = nullptr;
    std::string table_name_;
    std::uint32_t data_counter_ = 0;
    std::uint32_t index_counter_ = 0;
    std::uint32_t blob_counter_ = 0;
    // The table's RecordWrites() as this cursor last took in.
    std::uint64_t record_writes_ = 0;
    bool open_ = false;
    bool exclusive_ = false;
    bool share_ = false;
    bool read_only_ = false;
    bool in_memory_ = false;
    bool temporary_ = false;
    bool sequential_ = false;
    bool computed_fields_ = false;
    bool statement_owned_ = false;
    bool physical_order_option_ = false;
    bool media_read_only_ = false;
    bool fetch_option_ = false;
    bool repair_mode_ = false;
    bool restructure_mode_ = false;

    std::uint16_t field_count_ = 0;
    std::uint32_t record_size_ = 0;
    std::vector<FieldDescriptor> fields_;
    std::uint16_t language_ = 0;
    std::uint16_t sort_ = 0;
    CollationMap collation_{};
    bool has_validity_checks_ = false;
    bool has_defaults_ = false;
    // The fields' defaults as record bytes, made at the first new record: constants, and
    // the fields whose default is the date or the time, taken anew for each record.
    using DefaultValue = std::array<std::uint8_t, 256>;
    bool defaults_prepared_ = false;
    std::vector<std::pair<std::size_t, DefaultValue>> constant_defaults_;
    std::vector<std::size_t> clock_defaults_;
    bool has_computed_ = false;
    bool has_auto_inc_ = false;
    // Parallel to fields_; empty for stored fields and computed fields
    // without an expression.
    std::vector<ExpTokenPtr> field_expressions_;
    bool evaluating_computed_ = false;
    std::function<void(int)> write_step_hook_;
    void Stepped(int& step);
    // Buffers of the record writes, kept so that a write allocates nothing
    // once they have grown (data_cursor_records.cpp).
    struct WriteScratch {
        std::vector<std::uint8_t> stored;
        std::vector<std::uint8_t> old;
        std::vector<std::vector<std::uint8_t>> keys;
        // ModifyRecord: the old and the new key of each index whose key changes.
        std::vector<std::vector<std::uint8_t>> old_keys;
        std::vector<std::vector<std::uint8_t>> new_keys;
        // AppendRecords: the records' hidden keys and numbers.
        std::vector<std::uint8_t> hidden_keys;
        std::vector<std::uint32_t> numbers;
    };
    WriteScratch write_scratch_;
    void BuildKeyInto(int slot, ConstRecordBuffer record, std::vector<std::uint8_t>& key) const;

    struct CachedState {
        std::uint64_t stamp = 0;
        IndexState state;
    };
    mutable std::array<std::optional<CachedState>, 33> state_cache_;

    // Order and position.
    std::uint8_t index_ = kNoIndex;
    std::string index_name_;
    bool physical_ = true;
    IndexState index_state_;
    // The index file's stamp index_state_ was built under.
    std::uint64_t index_stamp_ = 0;
    std::uint16_t key_size_ = 4;
    bool bof_ = true;
    bool eof_ = true;
    std::uint32_t record_no_ = 0;
    std::vector<std::uint8_t> current_key_;
    std::vector<std::uint8_t> current_;
    // The key FindKey searches for, kept between searches.
    std::vector<std::uint8_t> search_key_;
    bool range_active_ = false;
    std::vector<std::uint8_t> range_start_;
    std::vector<std::uint8_t> range_end_;
    bool in_operation_ = false;
    // The operation under way names this cursor as the table's reader.
    bool restartable_ = false;
    // The operation re-checked the table after a miss (once per operation).
    bool rechecked_ = false;
    // A re-check found a change: the next operation's start brings the cursor in step.
    bool resync_owed_ = false;
    TFileCursor* previous_reader_ = nullptr;
    // The place of a row a resync found gone or moved under the cursor (another program's or
    // cursor's change). The resync puts the cursor on a neighbour of it, as before; the next
    // step starts from the old place instead, so that it gives the first row past it and not
    // the one past the neighbour. It counts only while the cursor stands where the resync put
    // it and no record was handed out as the current one.
    //
    // A later resync, or an own write that fills an emptied view, goes back to the place
    // first: a row that came back is the cursor's again. A cursor whose view emptied stands at
    // both ends at once and keeps the place it had, a row or the end it stood at.
    struct VanishedPlace {
        bool set = false;
        // The kept place is an end, not a row.
        bool bof = false;
        bool eof = false;
        std::uint32_t record_no = 0;
        std::vector<std::uint8_t> key;
        bool landed_bof = true;
        bool landed_eof = true;
        std::uint32_t landed_record_no = 0;
        std::vector<std::uint8_t> landed_key;
    };
    VanishedPlace vanished_;
    // Before a step: the cursor back on the vanished row's place where that still counts.
    void TakeVanishedPlace();
    void ForgetVanishedPlace() noexcept { vanished_.set = false; }
    // The cursor stands where a resync put it after its row went or moved.
    bool OnVanishedRowsNeighbour() const;
    // Where a restartable operation found the cursor.
    struct RestartPoint {
        bool bof = true;
        bool eof = true;
        std::uint32_t record_no = 0;
        std::vector<std::uint8_t> key;
        std::uint8_t index = kNoIndex;
        // A copy of vanished_, taken only when it is set.
        VanishedPlace vanished;
    };
    RestartPoint restart_point_;

    // Filters and bitmaps.
    std::vector<std::unique_ptr<TFilter>> filters_;
    TRecordsBitmap view_;
    TRecordsBitmap range_bitmap_;
    TRecordsBitmap live_;
    bool bitmaps_in_use_ = false;
    std::int64_t view_count_ = 0;
    bool refreshing_ = false;
    // Counts every change to view_ (never reset, also not by a close), so that what was
    // counted in one view is never taken for another.
    std::uint64_t view_edits_ = 0;
    // The visible entries an index walk counted up to an ordinal: a scan asking the number
    // of each row it steps onto counts on from here instead of from the start of the view.
    // Holds while the slot's keys (its edit count), the view and the range's start stand.
    struct CountedEntries {
        int slot = -1;
        std::uint64_t index_edits = 0;
        std::uint64_t view_edits = 0;
        std::uint64_t low = 0;
        std::uint64_t ordinal = 0;
        std::int64_t visible = 0;
    };
    std::optional<CountedEntries> counted_;
    // Where the last walk found the entry the cursor stands on: a sequential read steps on
    // and numbers its rows from here instead of searching the index for its key each time.
    struct EntryOrdinal {
        int slot = -1;
        std::uint64_t index_edits = 0;
        std::uint64_t ordinal = 0;
        std::vector<std::uint8_t> key;
        // The leaf page holding the entry a walk last found in this slot, its 1-based
        // position there and ordinal (0: none); it holds while the slot's edit count stands.
        std::uint32_t leaf = 0;
        std::int64_t position = 0;
        std::uint64_t leaf_ordinal = 0;
        std::uint64_t leaf_edits = 0;
        int leaf_slot = -1;
        std::vector<std::uint8_t> leaf_key;
    };
    EntryOrdinal entry_ordinal_;
    // The ordinal bounds of the range (or of the whole index) as last counted: the steps of
    // a walk count them once, and again only once the slot's keys or the range change.
    struct CountedBounds {
        int slot = -1;
        std::uint64_t index_edits = 0;
        bool range_active = false;
        std::vector<std::uint8_t> start;
        std::vector<std::uint8_t> end;
        std::uint64_t low = 0;
        std::uint64_t high = 0;
    };
    CountedBounds counted_bounds_;
    // Forgets the places and counts above, for a table opened or closed: another file's
    // edit counts may match the ones they were taken under.
    void ForgetCountedPlaces() noexcept {
        entry_ordinal_.slot = -1;
        entry_ordinal_.leaf_slot = -1;
        counted_bounds_.slot = -1;
    }

    std::vector<OpenBlobEntry> blobs_;
    std::vector<std::uint32_t> own_locks_;
    // This cursor asked for the statement read lock or the table lock and has not let go: when
    // it closes as the last such cursor of its table, the lock goes with it.
    bool holds_statement_lock_ = false;
    bool holds_table_lock_ = false;

    PasswordHandler on_password_;
    ProgressHandler on_repair_progress_;
    LogHandler on_repair_log_;
    StageProgressHandler on_upgrade_progress_;
    LogHandler on_upgrade_log_;
    ProgressHandler on_optimize_progress_;
    ProgressHandler on_restructure_progress_;
    DataLostHandler on_data_lost_;
    ProgressHandler on_index_progress_;
};

}  // namespace strata
