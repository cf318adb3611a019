#include "engine/core/table_restructure.h"

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "engine/core/data_cursor.h"
#include "engine/core/data_directory.h"
#include "engine/core/data_session.h"
#include "engine/core/index_tree.h"
#include "engine/core/table_keys.h"
#include "engine/core/table_repair.h"
#include "engine/core/table_swap.h"
#include "engine/storage/data_types.h"
#include "engine/storage/engine_error.h"
#include "engine/storage/file_handler.h"
#include "engine/storage/value_convert.h"
#include "platform/os/file_system.h"

namespace strata {

namespace {

constexpr std::uint8_t kDeletedStatus = 1;

int NoCompare(const std::uint8_t*, const std::uint8_t*) {
    return 0;
}

int Percent(std::uint64_t done, std::uint64_t total) {
    return total == 0 ? 100 : static_cast<int>(done * 100 / total);
}

// Closes a work directory of the session when the restructure ends.
class WorkDirectory {
  public:
    WorkDirectory(TDataSession& session, bool memory)
        : session_(session),
          directory_(memory ? session.OpenDirectory("MEMORY")
                            : session.OpenDirectory("", session.GetPrivateDir())) {}
    ~WorkDirectory() { session_.CloseDirectory(directory_); }
    WorkDirectory(const WorkDirectory&) = delete;
    WorkDirectory& operator=(const WorkDirectory&) = delete;
    TDataDirectory& operator*() const { return *directory_; }

  private:
    TDataSession& session_;
    TDataDirectory* directory_;
};

class PinnedRecord {
  public:
    PinnedRecord(TDataFile& file, std::uint32_t n) : file_(file), record_(file.GetRecord(n)) {}
    ~PinnedRecord() { file_.ReleaseRecord(record_); }
    PinnedRecord(const PinnedRecord&) = delete;
    PinnedRecord& operator=(const PinnedRecord&) = delete;
    TRecord* operator->() const { return record_; }
    TRecord& operator*() const { return *record_; }

  private:
    TDataFile& file_;
    TRecord* record_;
};

class Restructure {
  public:
    Restructure(TDataCursor& cursor, TableDefinition definition, const RestructureOptions& options,
                TDataCursor::ProgressHandler progress, TDataCursor::DataLostHandler data_lost)
        : cursor_(cursor),
          definition_(std::move(definition)),
          options_(options),
          progress_(std::move(progress)),
          data_lost_(std::move(data_lost)) {}

    RestructureWay Run() {
        if (definition_.indexes.empty())
            definition_.indexes.push_back(IndexDescriptor{});
        // Checked before any file is touched: slot 31 is the hidden index.
        const std::size_t limit =
            std::min<std::size_t>(options_.max_secondary_indexes, kMaxSecondaryIndexes);
        if (definition_.indexes.size() - 1 > limit)
            RaiseEngineError(kErrIndexLimit, cursor_.TableName());
        if (definition_.fields.size() > options_.max_fields)
            RaiseEngineError(kErrInvalidField, cursor_.TableName());
        Renumber();
        // Changes a batch holds for the table are written first: the index backup copies the
        // file, and calling the rebuild off drops what the table holds unwritten.
        const int released =
            cursor_.Directory().ReleaseIdleTable(cursor_.TableName(), cursor_.InMemory());
        if (released < 0)
            RaiseEngineError(static_cast<EngineErrorCode>(-released), cursor_.TableName());
        cursor_.Open();
        try {
            // Files that can only be read are known once open; a full rebuild would replace
            // them rather than write them.
            cursor_.CheckWritable();
            TDataTable& table = *cursor_.Table();
            // A table whose last writer stopped half-way is repaired first;
            // restructuring it would carry its damage over.
            table.CheckWritesFinished();
            old_fields_.clear();
            for (std::uint32_t i = 1; i <= table.DataFile().GetFieldCount(); ++i)
                old_fields_.push_back(table.DataFile().GetFieldDescriptor(i));
            RenumberIndexFields();
            if (definition_.last_auto_inc == -1)
                definition_.last_auto_inc = table.DataFile().GetLastAutoIncrement();
            definition_.allow_no_primary = true;
            cursor_.ValidateTableDefinition(definition_);
            const RestructureWay way = ChooseWay(table);
            switch (way) {
                case RestructureWay::HeaderUpdate:
                    UpdateHeaders(table);
                    cursor_.FlushBuffers(false, true, true);
                    break;
                case RestructureWay::IndexRebuild:
                    RebuildIndexes(table);
                    break;
                case RestructureWay::FullRebuild:
                    RebuildTable(table);
                    return way;
            }
            cursor_.Close(true);
            return way;
        } catch (...) {
            try {
                cursor_.Close(true);
            } catch (...) {
            }
            throw;
        }
    }

  private:
    // Field numbers become positions. The continued numbers are kept to
    // find each old field's successor and to renumber the indexes.
    void Renumber() {
        std::map<std::uint16_t, std::uint16_t> position_of;
        for (std::size_t i = 0; i < definition_.fields.size(); ++i) {
            const std::uint16_t number = FieldNumber(definition_.fields[i]);
            continued_.push_back(number);
            if (!position_of.emplace(number, static_cast<std::uint16_t>(i + 1)).second)
                RaiseEngineError(kErrInvalidField, cursor_.TableName(),
                                 FieldName(definition_.fields[i]));
            PutU16(definition_.fields[i], fd::kNumber, i + 1);
        }
    }

    // Index references follow the fields to their positions. Done once the
    // old fields are read, so that a reference to a field the definition
    // leaves out (a dropped column an index still uses) is told by its name.
    void RenumberIndexFields() {
        std::map<std::uint16_t, std::uint16_t> position_of;
        for (std::size_t i = 0; i < continued_.size(); ++i)
            position_of.emplace(continued_[i], static_cast<std::uint16_t>(i + 1));
        for (IndexDescriptor& index : definition_.indexes) {
            for (std::size_t i = 0; i < ixd::kMaxFields; ++i) {
                const std::uint16_t number = IndexFieldNumber(index, i);
                if (number == 0)
                    break;
                const auto found = position_of.find(number);
                if (found == position_of.end()) {
                    const auto old = std::find_if(
                        old_fields_.begin(), old_fields_.end(),
                        [&](const FieldDescriptor& d) { return FieldNumber(d) == number; });
                    const std::string field =
                        old != old_fields_.end() ? FieldName(*old) : std::to_string(number);
                    RaiseEngineError(kErrInvalidField, cursor_.TableName(), field,
                                     IndexName(index));
                }
                PutU16(index, ixd::kFieldNumbers + 2 * i, found->second);
            }
        }
    }

    RestructureWay ChooseWay(TDataTable& table) {
        TDataFile& data = table.DataFile();
        bool full = definition_.encrypted != data.GetEncrypted() ||
                    definition_.blob_block_size != data.GetBlobBlockSize() ||
                    definition_.language != cursor_.GetLanguageID() ||
                    definition_.sort != cursor_.GetSortID() ||
                    definition_.fields.size() != old_fields_.size();
        for (std::size_t i = 0; !full && i < old_fields_.size(); ++i) {
            full = continued_[i] != FieldNumber(old_fields_[i]) ||
                   TDataCursor::FieldDefChanged(old_fields_[i], definition_.fields[i]);
        }
        if (full)
            return RestructureWay::FullRebuild;
        TIndexFile& index = table.IndexFile();
        const auto new_count = static_cast<int>(definition_.indexes.size()) - 1;
        if (new_count != index.GetIndexCount())
            return RestructureWay::IndexRebuild;
        if (IndexFieldCount(definition_.indexes[0]) > 0 && cursor_.HasNoPrimaryIndex())
            return RestructureWay::IndexRebuild;
        for (int slot = 0; slot <= new_count; ++slot) {
            if (IndexChanged(index, slot))
                return RestructureWay::IndexRebuild;
        }
        return RestructureWay::HeaderUpdate;
    }

    bool IndexChanged(TIndexFile& index, int slot) const {
        return cursor_.IndexDefChanged(index.GetIndexDescriptor(slot),
                                       definition_.indexes[static_cast<std::size_t>(slot)],
                                       old_fields_, definition_.fields);
    }

    // Names, texts and header values that need no change of data.
    void UpdateHeaders(TDataTable& table) {
        TIndexFile& index = table.IndexFile();
        for (int slot = 0; slot <= index.GetIndexCount(); ++slot) {
            const IndexDescriptor& d = definition_.indexes[static_cast<std::size_t>(slot)];
            std::vector<std::uint16_t> fields;
            for (std::size_t i = 0; i < IndexFieldCount(d); ++i)
                fields.push_back(IndexFieldNumber(d, i));
            index.SetIndexFields(slot, slot == 0 ? std::string() : IndexName(d), fields);
        }
        TDataFile& data = table.DataFile();
        for (std::size_t i = 0; i < old_fields_.size(); ++i) {
            FieldDescriptor d = old_fields_[i];
            const FieldDescriptor& wanted = definition_.fields[i];
            std::copy(wanted.begin() + fd::kName, wanted.begin() + fd::kType,
                      d.begin() + fd::kName);
            std::copy(wanted.begin() + fd::kCharCase, wanted.begin() + fd::kNotStored,
                      d.begin() + fd::kCharCase);
            data.SetFieldDescriptor(static_cast<std::uint32_t>(i + 1), d);
        }
        data.SetDescriptionAndPassword(definition_.password, definition_.description,
                                       definition_.user_minor, definition_.user_major,
                                       LastAutoIncrement(data));
        data.WriteFieldDescriptors();
        data.WriteHeader(true);
        index.WriteHeader(true);
    }

    // The requested counter, but never below an ID that a record holds, as
    // the full rebuild keeps it. Records are read only for a lower counter.
    std::uint32_t LastAutoIncrement(TDataFile& data) const {
        const auto requested = static_cast<std::uint32_t>(definition_.last_auto_inc);
        if (requested >= data.GetLastAutoIncrement())
            return requested;
        std::uint32_t highest = requested;
        for (std::uint32_t r = 1; r <= data.GetRecordSlots(); ++r) {
            PinnedRecord record(data, r);
            if (record->Status() != kDeletedStatus)
                highest = std::max(highest, record->RecordId());
        }
        return highest;
    }

    // Asks the data-lost callback; false ends the restructure.
    bool Lost(DataLostCause cause, std::string_view context) {
        if (suppress_ || !data_lost_)
            return true;
        bool proceed = true;
        data_lost_(static_cast<int>(cause), context, proceed, suppress_);
        return proceed;
    }

    void RebuildIndexes(TDataTable& table) {
        TIndexFile& index = table.IndexFile();
        TDataFile& data = table.DataFile();
        cursor_.BackupIndex();
        // Until the pass completes the files stay marked unfinished, so a
        // run cut short is found at the next open, not trusted.
        table.HoldWriteMark();
        bool proceed = true;
        try {
            const int old_count = index.GetIndexCount();
            const int new_count = static_cast<int>(definition_.indexes.size()) - 1;
            std::vector<bool> changed(static_cast<std::size_t>(new_count) + 1, false);
            for (int slot = 0; slot <= std::min(old_count, new_count); ++slot)
                changed[static_cast<std::size_t>(slot)] = IndexChanged(index, slot);
            for (int slot = old_count; slot > new_count; --slot) {
                TIndexTree(index, slot, NoCompare).Clear();
                index.DeleteIndex(slot);
            }
            for (int slot = 0; slot <= new_count; ++slot) {
                const IndexDescriptor& d = definition_.indexes[static_cast<std::size_t>(slot)];
                if (slot > old_count) {
                    index.AddIndex(d);
                    changed[static_cast<std::size_t>(slot)] = true;
                } else if (changed[static_cast<std::size_t>(slot)]) {
                    TIndexTree(index, slot, NoCompare).Clear();
                    if (slot == 0)
                        index.ReplacePrimaryIndex(d);
                    else
                        index.SetIndexDescriptor(slot, d);
                }
            }
            index.WriteHeader(true);
            const std::uint16_t language = cursor_.GetLanguageID();
            const std::uint16_t sort = cursor_.GetSortID();
            const bool primary = IndexFieldCount(index.GetIndexDescriptor(0)) > 0;
            std::vector<IndexPlan> rebuilt;
            std::vector<IndexPlan> kept;
            for (int slot = primary ? 0 : 1; slot <= new_count; ++slot) {
                (changed[static_cast<std::size_t>(slot)] ? rebuilt : kept)
                    .push_back(PlanIndex(index, data, slot, language, sort));
            }
            std::vector<std::uint32_t> doomed;
            if (!rebuilt.empty()) {
                const std::uint32_t slots = data.GetRecordSlots();
                for (std::uint32_t r = 1; r <= slots && proceed; ++r) {
                    PinnedRecord record(data, r);
                    if (record->Status() != kDeletedStatus &&
                        !InsertKeys(index, rebuilt, *record, language, sort)) {
                        proceed = Lost(DataLostCause::KeyViolation, last_error_);
                        // Deleted only when the whole pass ends with continue.
                        doomed.push_back(r);
                    }
                    if (progress_)
                        progress_(r, Percent(r, slots));
                }
            }
            if (proceed) {
                for (const std::uint32_t r : doomed)
                    DeleteRecord(table, kept, r, language, sort);
                UpdateHeaders(table);
                table.ReleaseWriteMark();
                cursor_.FlushBuffers(false, true, true);
                cursor_.RestoreIndex(true, options_.no_backup);
                return;
            }
        } catch (...) {
            RestoreIndex(table);
            throw;
        }
        RestoreIndex(table);
    }

    // Drops every unwritten change (records freed for duplicates, headers),
    // puts the ".IBK" copy back over the index file and deletes it. Only a
    // complete restore takes the in-progress mark off the files.
    void RestoreIndex(TDataTable& table) noexcept {
        try {
            cursor_.DiscardBuffers(true, true);
            TIndexFile& index = cursor_.Table()->IndexFile();
            TFileHandler backup;
            backup.SetName(TableFilePath(cursor_, ".IBK"));
            backup.SetInMemory(cursor_.InMemory() || cursor_.Directory().InMemory());
            backup.Open();
            const std::int64_t size = backup.GetFileSize();
            backup.Close();
            // The copy writes at the handle's position and keeps what lies
            // beyond it: start at 0 and cut the file to the backup's size.
            index.LockFileObject();
            index.SeekFile(0, SeekOrigin::kBegin);
            index.UnlockFileObject();
            cursor_.RestoreIndex(false, false);
            index.PrepareWrite();
            index.LockFileObject();
            index.SeekFile(size, SeekOrigin::kBegin);
            index.Write(std::span<const std::byte>{});
            index.UnlockFileObject();
            cursor_.RestoreIndex(true, true);
            table.ReleaseWriteMark();
            cursor_.FlushBuffers(false, false, false);
        } catch (...) {
            // The backup stays for the repair to fall back on.
        }
    }

    // False when a unique index already holds one of the record's keys.
    bool InsertKeys(TIndexFile& index, const std::vector<IndexPlan>& plans, TRecord& record,
                    std::uint16_t language, std::uint16_t sort) {
        std::vector<std::vector<std::uint8_t>> keys;
        try {
            for (const IndexPlan& plan : plans) {
                keys.push_back(KeyOf(plan, record.Buffer(), language, sort));
                if (plan.unique &&
                    TIndexTree(index, plan.slot, CompareOf(plan)).Find(keys.back().data())) {
                    // The index's own name: the primary index has none.
                    last_error_ = "Duplicate key found in index '" +
                                  IndexName(index.GetIndexDescriptor(plan.slot)) + "' of table '" +
                                  cursor_.BaseName() + "'";
                    return false;
                }
            }
            for (std::size_t i = 0; i < plans.size(); ++i) {
                TIndexTree(index, plans[i].slot, CompareOf(plans[i]))
                    .Insert(keys[i].data(), record.RecordNumber());
            }
        } catch (const EStrataEngineError& error) {
            last_error_ = error.what();
            return false;
        }
        return true;
    }

    void DeleteRecord(TDataTable& table, const std::vector<IndexPlan>& kept, std::uint32_t r,
                      std::uint16_t language, std::uint16_t sort) {
        TIndexFile& index = table.IndexFile();
        TDataFile& data = table.DataFile();
        PinnedRecord record(data, r);
        for (const IndexPlan& plan : kept) {
            const auto key = KeyOf(plan, record->Buffer(), language, sort);
            TIndexTree(index, plan.slot, CompareOf(plan)).Delete(key.data());
        }
        const std::uint32_t id = record->RecordId();
        const auto live = HiddenKeyOf(0, id);
        TIndexTree hidden(index, kHiddenIndexSlot, HiddenCompare);
        hidden.Delete(live.data());
        if (table.HasBlobs()) {
            for (const FieldDescriptor& f : definition_.fields) {
                if (FieldType(f) != kTypeBlob)
                    continue;
                const std::uint32_t reference = GetU32(record->Buffer(), FieldOffset(f) + 1u);
                if (reference != 0 && table.BlobFile().ValidBlockOffset(reference)) {
                    table.BlobFile().FreeChain(nullptr, reference,
                                               GetU32(record->Buffer(), FieldOffset(f) + 5u), r);
                }
            }
        }
        data.FreeRecord(*record);
        record->SetModified(true);
        const auto gone = HiddenKeyOf(kDeletedStatus, id);
        hidden.Insert(gone.data(), r);
        index.DecRecordCount();
    }

    // The new position (1-based) that continues an old field, or 0.
    std::uint32_t SuccessorOf(std::uint16_t old_number) const {
        const auto it = std::find(continued_.begin(), continued_.end(), old_number);
        return it == continued_.end() ? 0 : static_cast<std::uint32_t>(it - continued_.begin() + 1);
    }

    void RebuildTable(TDataTable& table) {
        const bool memory = cursor_.InMemory() || cursor_.Directory().InMemory();
        TDataSession& session = cursor_.Directory().Session();
        WorkDirectory work(session, memory);
        const std::string temp_name = (*work).MakeTempTableName(memory);
        bool added_password = false;
        if (definition_.encrypted && !session.HasPassword(definition_.password)) {
            session.AddPassword(definition_.password);
            added_password = true;
        }
        const auto forget_password = [&] {
            if (added_password)
                session.RemovePassword(definition_.password);
        };
        bool proceed = true;
        try {
            TDataCursor target(*work);
            target.SetTableName(temp_name);
            target.SetExclusive(true);
            target.SetInMemory(memory);
            target.CreateTable(definition_, true);
            target.Open();
            target.SetFetchOption(true);
            proceed = CopyRecords(table, target);
            if (proceed) {
                const std::uint32_t requested =
                    static_cast<std::uint32_t>(definition_.last_auto_inc);
                target.SetLastAutoInc(std::max(requested, target.GetLastAutoInc()));
            }
            target.Close(false);
        } catch (...) {
            (*work).DeleteTable(temp_name, memory);
            forget_password();
            throw;
        }
        cursor_.Close(true);
        if (!proceed) {
            (*work).DeleteTable(temp_name, memory);
            forget_password();
            return;
        }
        try {
            PlaceNewTable(*work, temp_name, memory);
        } catch (...) {
            forget_password();
            throw;
        }
        forget_password();
    }

    bool CopyRecords(TDataTable& table, TDataCursor& target) {
        LoadLocaleFormats(cursor_.GetLanguageID(), cursor_.GetSortID(), old_format_);
        LoadLocaleFormats(definition_.language, definition_.sort, new_format_);
        std::vector<std::uint8_t> source(cursor_.GetRecordSize());
        std::vector<std::uint8_t> copy(target.GetRecordSize());
        const std::uint32_t slots = table.DataFile().GetRecordSlots();
        cursor_.SetIndex(kNoIndex);
        cursor_.First();
        while (cursor_.GetNextRecord(source) == kErrNone) {
            const std::uint32_t r = cursor_.GetCurrentRecordNo();
            target.InitNewRecord(copy);
            TDataCursor::SetRecordIdOf(copy, TDataCursor::RecordIdOf(source));
            bool keep = true;
            for (std::uint32_t p = 1; p <= old_fields_.size() && keep; ++p) {
                const FieldDescriptor& old = old_fields_[p - 1];
                const std::uint32_t to = SuccessorOf(FieldNumber(old));
                bool is_null = true;
                if (FieldType(old) == kTypeBlob) {
                    is_null = source[FieldOffset(old)] == 0;
                } else {
                    cursor_.GetField(p, source, is_null, {});
                }
                if (is_null)
                    continue;
                if (to == 0) {
                    if (!Lost(DataLostCause::FieldDropped, FieldName(old)))
                        return false;
                    continue;
                }
                const FieldDescriptor& wanted = definition_.fields[to - 1];
                if (FieldType(old) == kTypeBlob) {
                    if (FieldType(wanted) != kTypeBlob) {
                        if (!Lost(DataLostCause::ConversionFailed, FieldName(old)))
                            return false;
                        continue;
                    }
                    CopyBlob(p, source, target, to, copy);
                    continue;
                }
                std::vector<std::uint8_t> value(
                    std::max<std::size_t>(FieldDataSize(old), FieldDataSize(wanted)) + 16, 0);
                cursor_.GetField(p, source, is_null, std::span(value).first(FieldDataSize(old)));
                // Texts are read by the formats of the table that holds them (a date written
                // as text goes by the new table's), never by the machine's settings.
                const bool converted =
                    ConvertValue(FieldType(old), FieldDataSize(old), FieldDecimals(old),
                                 std::as_writable_bytes(std::span(value)), FieldDecimals(wanted),
                                 FieldDataSize(wanted), FieldType(wanted),
                                 FieldType(old) == kTypeString ? old_format_ : new_format_);
                if (!converted) {
                    if (!Lost(DataLostCause::ConversionFailed, FieldName(old)))
                        return false;
                    target.PutField(to, copy, nullptr);
                    continue;
                }
                target.PutField(to, copy, value.data());
                if (FieldIsAutoInc(wanted))
                    TDataCursor::SetRecordIdOf(copy, GetU32(value, 0));
            }
            try {
                target.InsertRecord(copy, false);
            } catch (const EStrataEngineError& error) {
                const EngineErrorCode code = error.ErrorCode();
                const DataLostCause cause =
                    code == kErrDuplicateKey ? DataLostCause::KeyViolation
                    : (code == kErrBelowMinimum || code == kErrAboveMaximum ||
                       code == kErrRequiredValue)
                        ? DataLostCause::ValidityViolation
                        : DataLostCause::InsertFailed;
                target.FreeBlobs();
                // The error's own text, naming the table restructured rather than the work
                // table the row was copied into (as the index rebuild names it).
                std::string context;
                if (cause != DataLostCause::InsertFailed) {
                    EngineErrorTexts texts;
                    texts.table_name = cursor_.BaseName();
                    texts.field_name = GetLastEngineErrorText(0);
                    texts.index_name = GetLastEngineErrorText(2);
                    context = FormatEngineErrorMessage(code, texts);
                }
                if (!Lost(cause, context))
                    return false;
            }
            target.FreeBlobs();
            cursor_.FreeBlobs();
            if (progress_)
                progress_(r, Percent(r, slots));
        }
        return true;
    }

    void CopyBlob(std::uint32_t from, std::vector<std::uint8_t>& source, TDataCursor& target,
                  std::uint32_t to, std::vector<std::uint8_t>& copy) {
        std::uint32_t size = 0;
        EngineErrorCode code = cursor_.OpenBlob(from, source, kBlobOpenRead);
        if (code == kErrNone)
            code = cursor_.GetBlobSize(from, source, size);
        std::vector<std::uint8_t> bytes(size);
        std::uint32_t got = 0;
        if (code == kErrNone && size > 0)
            code = cursor_.ReadBlob(from, source, got, size, bytes.data(), 0);
        if (code == kErrNone)
            code = target.OpenBlob(to, copy, kBlobOpenReadWrite);
        if (code == kErrNone && size > 0)
            code = target.WriteBlob(to, copy, size, bytes.data(), 0);
        cursor_.CloseBlob(from, source);
        if (code != kErrNone)
            RaiseEngineError(code, cursor_.TableName(), FieldName(old_fields_[from - 1]));
    }

    void PlaceNewTable(TDataDirectory& work, const std::string& temp_name, bool memory) {
        PlaceRebuiltTable(cursor_.Directory(), work, temp_name, cursor_.TableName(),
                          !options_.no_backup && !memory, memory);
    }

    TDataCursor& cursor_;
    TableDefinition definition_;
    RestructureOptions options_;
    TDataCursor::ProgressHandler progress_;
    TDataCursor::DataLostHandler data_lost_;
    std::vector<std::uint16_t> continued_;
    std::vector<FieldDescriptor> old_fields_;
    bool suppress_ = false;
    std::string last_error_;
    db::TFormatSettings old_format_;
    db::TFormatSettings new_format_;
};

}  // namespace

RestructureWay RestructureTable(TDataCursor& cursor, TableDefinition definition,
                                const RestructureOptions& options,
                                TDataCursor::ProgressHandler progress,
                                TDataCursor::DataLostHandler data_lost) {
    cursor.CheckClosed();
    cursor.CheckExclusive();
    cursor.CheckWritable();
    return Restructure(cursor, std::move(definition), options, std::move(progress),
                       std::move(data_lost))
        .Run();
}

}  // namespace strata
