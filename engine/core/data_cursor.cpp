#include "engine/core/data_cursor.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "engine/core/cursor_operation.h"
#include "engine/core/data_directory.h"
#include "engine/core/data_session.h"
#include "engine/core/engine_globals.h"
#include "engine/core/filter.h"
#include "engine/core/table_swap.h"
#include "engine/core/table_verifier.h"
#include "engine/storage/data_types.h"
#include "engine/storage/engine_error.h"
#include "engine/storage/scramble.h"
#include "engine/storage/storage_utils.h"
#include "engine/storage/value_convert.h"
#include "platform/nls/nls.h"
#include "platform/nls/text.h"
#include "platform/os/file_system.h"

namespace strata {

namespace {

// Adds a password to the session for one scope when the session lacks it.
class TemporaryPassword {
  public:
    TemporaryPassword(TDataSession& session, std::string_view password, bool wanted)
        : session_(session), password_(password) {
        if (wanted && !password_.empty() && !session_.HasPassword(password_)) {
            session_.AddPassword(password_);
            added_ = true;
        }
    }
    ~TemporaryPassword() {
        if (added_)
            session_.RemovePassword(password_);
    }
    TemporaryPassword(const TemporaryPassword&) = delete;
    TemporaryPassword& operator=(const TemporaryPassword&) = delete;

  private:
    TDataSession& session_;
    std::string password_;
    bool added_ = false;
};

// Closes a directory opened for one scope.
class ScopedDirectory {
  public:
    ScopedDirectory(TDataSession& session, TDataDirectory* directory)
        : session_(session), directory_(directory) {}
    ~ScopedDirectory() { session_.CloseDirectory(directory_); }
    ScopedDirectory(const ScopedDirectory&) = delete;
    ScopedDirectory& operator=(const ScopedDirectory&) = delete;
    TDataDirectory& operator*() const { return *directory_; }

  private:
    TDataSession& session_;
    TDataDirectory* directory_;
};

}  // namespace

TDataCursor::TDataCursor(TDataDirectory& directory) : directory_(directory) {}

TDataCursor::~TDataCursor() {
    try {
        Close(true);
    } catch (...) {
        // Nothing can be reported from here; the table object keeps its state.
    }
}

std::string TDataCursor::BaseName() const {
    std::string base = table_name_;
    if (base.size() > 4)
        base.resize(base.size() - 4);
    return base;
}

void TDataCursor::Raise(EngineErrorCode code, std::string_view field, std::string_view index,
                        std::string_view extra) const {
    RaiseEngineError(code, BaseName(), field, index, extra);
}

void TDataCursor::CheckOpen() const {
    if (!open_)
        Raise(kErrNoCurrentRecord);
}

void TDataCursor::CheckClosed() const {
    if (open_)
        Raise(kErrTableInUse);
}

void TDataCursor::CheckExclusive() const {
    if (!exclusive_)
        Raise(kErrNeedExclusive);
}

void TDataCursor::CheckWritable() const {
    if (ReadOnly())
        Raise(kErrAccessDenied);
}

void TDataCursor::SetTableName(std::string_view name) {
    CheckClosed();
    std::string value = TableFileName(name);
    if (value != table_name_)
        table_name_ = std::move(value);
}

void TDataCursor::SetExclusive(bool value) {
    CheckClosed();
    exclusive_ = value;
}

void TDataCursor::SetShare(bool value) {
    CheckClosed();
    share_ = value;
}

void TDataCursor::SetReadOnly(bool value) {
    CheckClosed();
    read_only_ = value;
}

void TDataCursor::SetInMemory(bool value) {
    CheckClosed();
    in_memory_ = value;
}

void TDataCursor::SetTemporary(bool value) {
    if (value != temporary_)
        CheckClosed();
    temporary_ = value;
}

void TDataCursor::SetSequentialAccess(bool value) {
    if (value != sequential_)
        CheckClosed();
    sequential_ = value;
}

void TDataCursor::SetPhysicalOrder(bool value) {
    if (value != physical_order_option_)
        CheckClosed();
    physical_order_option_ = value;
}

void TDataCursor::SetFetchOption(bool value) {
    if (open_ && has_auto_inc_)
        fetch_option_ = value;
}

void TDataCursor::VerifyTableHeaders() {
    table_->ReadLock();
    try {
        table_->DataFile().VerifyHeader();
        // The last writer stopped between its first and last write: the
        // files may disagree, and only a repair brings them together.
        table_->CheckWritesFinished();
        if (!table_->IndexRecreated())
            table_->IndexFile().VerifyHeader();
        if (table_->BlobFile().IsOpen())
            table_->BlobFile().VerifyHeader();
    } catch (...) {
        table_->ReadUnlock();
        throw;
    }
    table_->ReadUnlock();
}

void TDataCursor::CheckPassword() {
    TDataSession& session = directory_.Session();
    const std::string password = table_->DataFile().GetPassword();
    while (!session.HasPassword(password)) {
        const std::size_t before = session.PasswordCount();
        // A handler that answers "retry" without supplying anything would
        // otherwise be asked forever.
        if (!on_password_ || !on_password_() || session.PasswordCount() == before)
            Raise(kErrPasswordRequired);
    }
}

void TDataCursor::LoadFieldDescriptors() {
    TDataFile& data = table_->DataFile();
    field_count_ = static_cast<std::uint16_t>(data.GetFieldCount());
    record_size_ = data.GetRecordSize();
    fields_.clear();
    fields_.reserve(field_count_);
    field_expressions_.clear();
    has_computed_ = false;
    defaults_prepared_ = false;
    for (std::uint32_t i = 1; i <= field_count_; ++i)
        fields_.push_back(data.GetFieldDescriptor(i));
    NoteFieldTraits();
}

void TDataCursor::NoteFieldTraits() {
    has_auto_inc_ = has_validity_checks_ = has_defaults_ = false;
    for (const FieldDescriptor& d : fields_) {
        if (FieldIsAutoInc(d))
            has_auto_inc_ = true;
        if (d[fd::kRequired] != 0 || d[fd::kMinimum] != 0 || d[fd::kMaximum] != 0)
            has_validity_checks_ = true;
        if (d[fd::kDefault] != 0)
            has_defaults_ = true;
    }
}

void TDataCursor::Open() {
    if (open_)
        return;
    if (table_name_.empty())
        RaiseEngineError(kErrInvalidPath);
    fields_.clear();
    TDataTable* table = nullptr;
    const int result = directory_.OpenTable(table_name_, exclusive_, in_memory_, temporary_,
                                            sequential_, share_, table);
    if (result < 0)
        Raise(static_cast<EngineErrorCode>(-result));
    table_ = table;
    open_ = true;
    try {
        media_read_only_ = table_->MediaReadOnly();
        if (table_->UseCount() == 1 && table_->FilesJustOpened() && !repair_mode_ &&
            !table_->HeaderChangesPending()) {
            // Counts read from the header size the caches and bitmaps, so
            // they are held against the file before anything uses them. A table a batch
            // kept open holds its records ahead of its files.
            if (restructure_mode_)
                table_->DataFile().CheckSizes();
            else
                VerifyTableHeaders();
        }
        if (table_->DataFile().GetEncrypted())
            CheckPassword();
        language_ = table_->DataFile().GetLanguage();
        sort_ = table_->DataFile().GetSort();
        collation_ = GetLanguageCharMap(language_, sort_);
        LoadFieldDescriptors();
        SaveTableCounters();
        current_.assign(record_size_, 0);
        range_active_ = false;
        range_start_.clear();
        range_end_.clear();
        ForgetCountedPlaces();
        if (repair_mode_)
            return;
        if (table_->IndexRecreated())
            RebuildRecordIndex();
        SelectIndex(physical_order_option_ ? kNoIndex : 0);
        UpdateBitmapsInUse();
        Resync();
        First();
    } catch (...) {
        try {
            Close(true);
        } catch (...) {
        }
        throw;
    }
}

void TDataCursor::Close(bool discard_temporary) {
    if (!open_)
        return;
    FreeBlobs();
    filters_.clear();
    range_active_ = false;
    range_start_.clear();
    range_end_.clear();
    for (TRecordsBitmap* bitmap : {&view_, &range_bitmap_, &live_})
        bitmap->SetRecordCount(0);
    bitmaps_in_use_ = false;
    view_count_ = 0;
    ++view_edits_;
    counted_.reset();
    ForgetCountedPlaces();
    // Explicit record locks of this cursor end with it, not with the table. Every lock goes
    // whatever the others do, and the cursor closes; the first failure is reported after.
    FirstFailure failure;
    for (const std::uint32_t n : own_locks_) {
        // A row whose lock was lost when the table lock went has nothing left to give back.
        if (table_->RecordLocked(n) || table_->InBatch())
            failure.Run([&] { table_->UnlockRecord(n); });
        table_->CursorLockedRecords().ClearBit(n);
    }
    own_locks_.clear();
    ReleaseSharedLocksBeforeClose(failure);
    ForgetVanishedPlace();
    current_.clear();
    current_key_.clear();
    bof_ = eof_ = true;
    record_no_ = 0;
    fields_.clear();
    field_expressions_.clear();
    has_auto_inc_ = has_validity_checks_ = has_defaults_ = has_computed_ = false;
    defaults_prepared_ = false;
    fetch_option_ = false;
    language_ = sort_ = 0;
    field_count_ = 0;
    record_size_ = 0;
    index_ = kNoIndex;
    index_name_.clear();
    physical_ = true;
    key_size_ = 4;
    for (auto& entry : state_cache_)
        entry.reset();
    TDataTable* table = std::exchange(table_, nullptr);
    open_ = false;
    failure.Run([&] {
        const int result = directory_.CloseTable(table, discard_temporary);
        if (result < 0)
            Raise(static_cast<EngineErrorCode>(-result));
    });
    failure.Rethrow();
}

bool TDataCursor::CountersDiffer() const {
    return data_counter_ != table_->DataCounter() || index_counter_ != table_->IndexCounter() ||
           blob_counter_ != table_->BlobCounter();
}

void TDataCursor::SaveTableCounters() {
    if (table_ == nullptr)
        return;
    data_counter_ = table_->DataCounter();
    index_counter_ = table_->IndexCounter();
    blob_counter_ = table_->BlobCounter();
    record_writes_ = table_->RecordWrites();
}

void TDataCursor::ResyncAndReturn() {
    SaveTableCounters();
    ReturnToPlace(true);
}

void TDataCursor::ReturnToPlace(bool resync) {
    // The place to come back to: where the cursor stands, or, while it still stands where an
    // earlier resync put it, the place that resync kept: the row that went or moved, or the
    // end the cursor stood at before its view emptied. Back there, the cursor is where it would
    // be had it not been told of the changes in between, so its next step neither gives again
    // the rows it gave nor skips the ones after them.
    const bool kept = OnVanishedRowsNeighbour();
    const bool bof = kept ? vanished_.bof : bof_;
    const bool eof = kept ? vanished_.eof : eof_;
    const std::uint32_t record_no = kept ? vanished_.record_no : record_no_;
    std::vector<std::uint8_t> key = kept ? std::move(vanished_.key) : current_key_;
    const bool row_place = !bof && !eof;
    std::vector<std::uint8_t> bookmark;
    if (row_place) {
        bookmark.assign(GetKeySize(), 0);
        if (physical_)
            PutU32(bookmark, 0, record_no);
        else
            std::copy_n(key.begin(), std::min(key.size(), bookmark.size()), bookmark.begin());
    }
    vanished_.set = false;
    if (resync)
        Resync();
    if (row_place)
        GotoBookmark(bookmark, true, true);
    else if (eof && !bof)
        Last();
    else
        First();
    // No record and nothing kept: there is no place to come back to.
    if (bof && eof)
        return;
    // Put back on the nearest row, the cursor is at an end only where its view has none.
    if (row_place && (bof_ || eof_))
        SetNoRecord();
    const bool emptied = bof_ && eof_;
    if (!row_place && !emptied)
        return;
    const bool same_place = !emptied && (physical_ ? record_no_ == record_no : current_key_ == key);
    if (same_place)
        return;
    // The cursor stands on a neighbour of the place, or at both ends of an empty view; its
    // next step goes from the place.
    vanished_.set = true;
    vanished_.bof = bof;
    vanished_.eof = eof;
    vanished_.record_no = record_no;
    vanished_.key = std::move(key);
    vanished_.landed_bof = bof_;
    vanished_.landed_eof = eof_;
    vanished_.landed_record_no = record_no_;
    vanished_.landed_key.assign(current_key_.begin(), current_key_.end());
}

void TDataCursor::BeginOperation(bool restartable) {
    in_operation_ = true;
    rechecked_ = false;
    restartable_ = restartable && table_ != nullptr;
    // An operation that cannot start over names no reader, also inside another cursor's.
    if (table_ != nullptr)
        previous_reader_ = table_->SetReader(restartable_ ? this : nullptr);
}

bool TDataCursor::MayRecheck() const {
    return open_ && table_ != nullptr && !exclusive_ && !media_read_only_ && !table_->Exclusive() &&
           !table_->MediaReadOnly() && !directory_.Session().StrictChangeDetection();
}

bool TDataCursor::RecheckTableChanged() {
    // Once per operation: from then on the operation holds the read lock, or another lock
    // that keeps other programs' writes out.
    if (!in_operation_ || !restartable_ || rechecked_ || !MayRecheck())
        return false;
    rechecked_ = true;
    if (!table_->ReadLock())
        return false;
    resync_owed_ = true;
    return true;
}

void TDataCursor::SaveRestartPoint() {
    restart_point_.bof = bof_;
    restart_point_.eof = eof_;
    restart_point_.record_no = record_no_;
    restart_point_.key.assign(current_key_.begin(), current_key_.end());
    restart_point_.index = index_;
    restart_point_.vanished.set = vanished_.set;
    if (vanished_.set)
        restart_point_.vanished = vanished_;
}

void TDataCursor::BackToRestartPoint() {
    bof_ = restart_point_.bof;
    eof_ = restart_point_.eof;
    record_no_ = restart_point_.record_no;
    current_key_.assign(restart_point_.key.begin(), restart_point_.key.end());
    vanished_.set = restart_point_.vanished.set;
    if (vanished_.set)
        vanished_ = restart_point_.vanished;
    // The position is one in the index it was taken in (SetIndex changes it on the way).
    if (index_ != restart_point_.index)
        SelectIndex(restart_point_.index);
}

void TDataCursor::SyncWithTable(bool hold_read_lock) {
    if (!open_)
        return;
    bool changed = std::exchange(resync_owed_, false);
    if (directory_.Session().StrictChangeDetection() || hold_read_lock)
        changed = table_->ReadLock() || changed;
    if (!exclusive_ && !media_read_only_ && CountersDiffer())
        changed = true;
    // Another cursor of this program wrote to the table all hold.
    if (exclusive_ && record_writes_ != table_->RecordWrites())
        changed = true;
    if (!physical_ && index_stamp_ != table_->IndexFile().DescriptorStamp())
        FollowCurrentIndex();
    if (changed)
        ResyncAndReturn();
}

void TDataCursor::EndOperation() noexcept {
    in_operation_ = false;
    rechecked_ = false;
    restartable_ = false;
    if (table_ == nullptr)
        return;
    table_->SetReader(std::exchange(previous_reader_, nullptr));
    try {
        table_->ReadUnlock();
    } catch (...) {
        // A failed unlock leaves the byte for the close of the file.
    }
}

void TDataCursor::Refresh() {
    CheckOpen();
    table_->ReadLock();
    try {
        // Rebuilt also without a detected change: a refresh is asked for.
        ResyncAndReturn();
    } catch (...) {
        table_->ReadUnlock();
        throw;
    }
    table_->ReadUnlock();
}

void TDataCursor::ValidateTableDefinition(TableDefinition& definition) const {
    if (definition.encrypted) {
        const std::string_view password = platform::nls::TrimOf(definition.password, " ");
        if (password.empty() || definition.password.size() > 15)
            Raise(kErrInvalidPassword);
    }
    if (definition.language != 0 && !platform::nls::IsValidLocale(platform::nls::MakeLocaleId(
                                        definition.language, definition.sort))) {
        Raise(kErrLanguageNotAvailable);
    }
    if (definition.fields.empty() || definition.fields.size() > kMaxFieldCount ||
        definition.last_auto_inc < -1) {
        Raise(kErrFieldLimit);
    }
    // Slot 31 of the index file is the hidden index: 30 secondary indexes at
    // most, refused before any file exists.
    if (definition.indexes.size() > 1 + static_cast<std::size_t>(kMaxSecondaryIndexes))
        Raise(kErrIndexLimit);
    if (definition.blob_block_size < 64)
        Raise(kErrBlobLimit);
    ValidateFieldDefs(definition.language, definition.sort, definition.fields, true);
    if (definition.indexes.empty())
        definition.indexes.push_back(IndexDescriptor{});
    ValidateIndexDefs(definition.allow_no_primary, definition.indexes, definition.fields);
}

bool TDataCursor::TextToFieldValue(const FieldDescriptor& field, std::string_view text,
                                   std::span<std::uint8_t> out) const {
    std::array<std::byte, kValueBufferSize> buffer{};
    const std::size_t n = std::min(text.size(), kMaxStringLength);
    std::memcpy(buffer.data(), text.data(), n);
    db::TFormatSettings format;
    LoadLocaleFormats(language_, sort_, format);
    const std::uint8_t type = FieldType(field);
    if (type == kTypeBlob || type == kTypeBytes || type == kTypeVarBytes)
        return true;
    if (!ConvertValue(kTypeString, static_cast<std::uint32_t>(n + 1), 0, buffer,
                      FieldDecimals(field), FieldDataSize(field), type, format)) {
        return false;
    }
    std::fill(out.begin(), out.end(), 0);
    std::memcpy(out.data(), buffer.data(), std::min<std::size_t>(out.size(), FieldDataSize(field)));
    return true;
}

void TDataCursor::ValidateFieldDefs(std::uint16_t language, std::uint16_t sort,
                                    std::vector<FieldDescriptor>& fields,
                                    bool assign_offsets) const {
    (void)language;
    (void)sort;
    std::uint32_t running = kRecordHeaderSize;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        FieldDescriptor& f = fields[i];
        std::string name(platform::nls::TrimOf(FieldName(f), " "));
        if (name.size() > fd::kNameLength)
            name.resize(fd::kNameLength);
        PutShortString(f, fd::kName, fd::kNameLength, name);
        if (name.empty() || !IsIdentStartChar(static_cast<unsigned char>(name.front())))
            Raise(kErrInvalidFieldName, name);
        // A field's name is checked before its number, whichever earlier field it repeats.
        for (std::size_t j = 0; j < i; ++j) {
            if (platform::nls::SameTextAnsi(FieldName(fields[j]), name))
                Raise(kErrInvalidFieldName, name);
        }
        for (std::size_t j = 0; j < i; ++j) {
            if (FieldNumber(fields[j]) == FieldNumber(f))
                Raise(kErrInvalidFieldDefinition, name);
        }
        const std::uint8_t type = FieldType(f);
        if (type == 0)
            Raise(kErrInvalidFieldDefinition, name);
        if (type == kTypeString || type == kTypeBytes || type == kTypeVarBytes) {
            if (FieldLength(f) > kMaxStringLength || FieldLength(f) == 0)
                Raise(kErrInvalidFieldDefinition, name);
        } else {
            f[fd::kLength] = 0;
        }
        if (type != kTypeBCD)
            f[fd::kDecimals] = 0;
        SetFieldDataSize(f);
        SetFieldScale(f);
        std::array<std::uint8_t, 256> scratch{};
        for (const std::size_t at : {fd::kDefault, fd::kMinimum, fd::kMaximum}) {
            const std::string text = GetShortString(f, at, fd::kTextLength);
            if (text.empty())
                continue;
            const bool keyword =
                at == fd::kDefault &&
                ((type == kTypeDate && platform::nls::SameTextAnsi(text, "DATE")) ||
                 (type == kTypeTime && platform::nls::SameTextAnsi(text, "TIME")) ||
                 (type == kTypeTimestamp && (platform::nls::SameTextAnsi(text, "NOW") ||
                                             platform::nls::SameTextAnsi(text, "DATE") ||
                                             platform::nls::SameTextAnsi(text, "TIME"))));
            if (!keyword && !TextToFieldValue(f, text, std::span(scratch).first(FieldDataSize(f))))
                Raise(kErrInvalidValidityCheck, name);
        }
        if (!computed_fields_)
            f[fd::kNotStored] = 0;
        if (assign_offsets && !FieldNotStored(f)) {
            if (FieldIsAutoInc(f)) {
                PutU16(f, fd::kOffset, 5);
            } else {
                PutU16(f, fd::kOffset, running);
                running += FieldDataSize(f) + 1u;
            }
        }
    }
}

void TDataCursor::ValidateIndexDefs(bool primary_optional, std::vector<IndexDescriptor>& indexes,
                                    const std::vector<FieldDescriptor>& fields) const {
    for (std::size_t i = 0; i < indexes.size(); ++i) {
        IndexDescriptor& d = indexes[i];
        std::string name;
        if (i == 0) {
            PutShortString(d, ixd::kName, ixd::kNameLength, "");
            d[ixd::kUnique] = 1;
        } else {
            // Only the ASCII letters, whatever the process locale: the name is in the table's
            // code page, where the other letters stay as they were written.
            name = platform::nls::AsciiUpper(platform::nls::TrimOf(IndexName(d), " "));
            PutShortString(d, ixd::kName, ixd::kNameLength, name);
            if (name.empty() || !IsIdentStartChar(static_cast<unsigned char>(name.front())))
                Raise(kErrInvalidIndexName, {}, name);
            for (std::size_t j = 1; j < i; ++j) {
                if (platform::nls::SameTextAnsi(IndexName(indexes[j]), name))
                    Raise(kErrIndexExists, {}, name);
            }
        }
        const std::string shown = i == 0 ? std::string("Primary") : name;
        std::size_t count = 0;
        std::uint32_t key_size = 0;
        for (; count < ixd::kMaxFields; ++count) {
            const std::uint16_t number = IndexFieldNumber(d, count);
            if (number == 0)
                break;
            const auto field =
                std::find_if(fields.begin(), fields.end(),
                             [&](const FieldDescriptor& f) { return FieldNumber(f) == number; });
            if (field == fields.end()) {
                if (i == 0 && primary_optional)
                    break;
                Raise(kErrInvalidIndexField, std::to_string(number), shown);
            }
            if (FieldType(*field) == kTypeBlob)
                Raise(kErrInvalidIndexFieldType, {}, shown);
            key_size += FieldDataSize(*field) + 1u;
        }
        for (std::size_t rest = count; rest < ixd::kMaxFields; ++rest)
            PutU16(d, ixd::kFieldNumbers + 2 * rest, 0);
        if (key_size > kMaxKeyFieldBytes || (key_size == 0 && (i != 0 || !primary_optional)))
            Raise(kErrInvalidKeySize, {}, shown);
        if (!IndexUnique(d) && key_size > 0)
            key_size += 4;
        d[ixd::kFieldCount] = static_cast<std::uint8_t>(count);
        PutU16(d, ixd::kKeySize, key_size);
        PutU32(d, ixd::kRoot, 0);
        PutU32(d, ixd::kFreePage, 0);
    }
}

void TDataCursor::CreateTable(TableDefinition definition, bool overwrite) {
    CheckExclusive();
    CheckWritable();
    CheckClosed();
    TemporaryPassword password(directory_.Session(), definition.password, definition.encrypted);
    ValidateTableDefinition(definition);
    if (directory_.TableExists(table_name_, in_memory_)) {
        if (!overwrite)
            Raise(kErrTableExists);
        const int removed = directory_.DeleteTable(table_name_, in_memory_);
        if (removed < 0)
            Raise(static_cast<EngineErrorCode>(-removed));
    }
    TDataTable* created = nullptr;
    // The files are made as lasting ones; a temporary cursor's table goes
    // with the cursor that opens it, not with its creation.
    const int result = directory_.CreateTable(table_name_, in_memory_, false, definition, created);
    if (result < 0)
        Raise(static_cast<EngineErrorCode>(-result));
    directory_.CloseTable(created, false);
}

bool TDataCursor::FieldDefChanged(const FieldDescriptor& a, const FieldDescriptor& b) {
    const auto text_differs = [&](std::size_t at) {
        return !platform::nls::SameTextAnsi(GetShortString(a, at, fd::kTextLength),
                                            GetShortString(b, at, fd::kTextLength));
    };
    return FieldNumber(a) != FieldNumber(b) || FieldType(a) != FieldType(b) ||
           FieldSubtype(a) != FieldSubtype(b) || FieldDataSize(a) != FieldDataSize(b) ||
           FieldDecimals(a) != FieldDecimals(b) || a[fd::kRequired] != b[fd::kRequired] ||
           a[fd::kCharCase] != b[fd::kCharCase] || text_differs(fd::kDefault) ||
           text_differs(fd::kMinimum) || text_differs(fd::kMaximum);
}

bool TDataCursor::IndexDefChanged(const IndexDescriptor& a, const IndexDescriptor& b,
                                  std::span<const FieldDescriptor> old_fields,
                                  std::span<const FieldDescriptor> new_fields) const {
    for (const std::size_t at :
         {ixd::kKeySize, ixd::kKeySize + 1, ixd::kDescending, ixd::kCaseInsensitive, ixd::kUnique,
          ixd::kCompression, ixd::kFieldCount}) {
        if (a[at] != b[at])
            return true;
    }
    const auto find = [](std::span<const FieldDescriptor> fields, std::uint16_t number) {
        return std::find_if(fields.begin(), fields.end(),
                            [&](const FieldDescriptor& f) { return FieldNumber(f) == number; });
    };
    for (std::size_t i = 0; i < IndexFieldsHeld(a); ++i) {
        const std::uint16_t number = IndexFieldNumber(b, i);
        const auto added = find(new_fields, number);
        if (added == new_fields.end())
            Raise(kErrInvalidField, std::to_string(number));
        if (IndexFieldNumber(a, i) != number)
            return true;
        const auto old = find(old_fields, number);
        if (old == old_fields.end() || FieldDefChanged(*old, *added))
            return true;
    }
    return false;
}

void TDataCursor::SetFieldDescriptors(std::vector<FieldDescriptor> fields) {
    CheckOpen();
    ValidateFieldDefs(language_, sort_, fields, false);
    const TDataFile& data = table_->DataFile();
    std::uint32_t size = data.GetRecordSize();
    has_computed_ = false;
    // A stored field that is one of the table's keeps its bytes, whatever name and position
    // the layout gives it; any other field lives after the table's record.
    std::vector<FieldDescriptor> table_fields;
    for (std::uint32_t n = 1; n <= data.GetFieldCount(); ++n)
        table_fields.push_back(data.GetFieldDescriptor(n));
    const auto in_table = [&table_fields](const FieldDescriptor& f) {
        return std::any_of(table_fields.begin(), table_fields.end(),
                           [&f](const FieldDescriptor& t) { return SameStoredField(t, f); });
    };
    for (FieldDescriptor& f : fields) {
        if (FieldNotStored(f) || !in_table(f)) {
            has_computed_ = has_computed_ || FieldNotStored(f);
            PutU16(f, fd::kOffset, size);
            size += FieldDataSize(f) + 1u;
        }
    }
    if (size > 0xFFFF)
        Raise(kErrMaxRecordSize);
    fields_ = std::move(fields);
    defaults_prepared_ = false;
    field_expressions_.clear();
    field_expressions_.resize(fields_.size());
    field_count_ = static_cast<std::uint16_t>(fields_.size());
    record_size_ = size;
    current_.resize(record_size_);
}

void TDataCursor::DeleteTable() {
    CheckClosed();
    const int result = directory_.DeleteTable(table_name_, in_memory_);
    if (result < 0)
        Raise(static_cast<EngineErrorCode>(-result));
}

void TDataCursor::RenameTable(std::string_view new_name) {
    CheckClosed();
    const int result = directory_.RenameTable(table_name_, new_name, false, in_memory_);
    if (result < 0)
        Raise(static_cast<EngineErrorCode>(-result));
}

void TDataCursor::BackupTable() {
    CheckClosed();
    const int result = directory_.RenameTable(table_name_, table_name_, true, in_memory_);
    if (result < 0)
        Raise(static_cast<EngineErrorCode>(-result));
}

void TDataCursor::BackupIndex() {
    CheckOpen();
    CheckExclusive();
    CheckWritable();
    table_->BackupIndexFile();
}

void TDataCursor::RestoreIndex(bool keep, bool delete_backup) {
    CheckOpen();
    CheckExclusive();
    table_->RestoreIndexFile(keep, delete_backup);
}

void TDataCursor::EmptyTable() {
    CheckOpen();
    CheckExclusive();
    CheckWritable();
    FreeBlobs();
    table_->EmptyFiles();
    SaveTableCounters();
    Resync();
    First();
}

void TDataCursor::SortRecords(std::span<const FieldDescriptor> key_fields, bool descending,
                              bool case_insensitive, bool unique, bool group,
                              const TDataFile::MergeCallback& merge, bool finish,
                              const TDataFile::RecordCallback& on_finish, bool accept,
                              const TDataFile::AcceptCallback& on_accept) {
    CheckOpen();
    CheckExclusive();
    if (GetIndexCount() != 0 || !HasNoPrimaryIndex())
        return;
    table_->DataFile().SortRecords(key_fields, descending, case_insensitive, unique, group, merge,
                                   finish, on_finish, accept, on_accept);
    // The rows moved between slots; the table's other cursors catch up at their next step.
    table_->NoteRecordWrite();
    table_->FlushBuffers(true, true, true);
    SaveTableCounters();
    Resync();
    First();
}

namespace {

// The records of the data file that are not deleted, whatever the indexes say.
std::uint32_t LiveRecordSlots(TDataFile& data) {
    constexpr std::uint8_t kDeletedStatus = 1;
    std::uint32_t live = 0;
    for (std::uint32_t r = 1; r <= data.GetRecordSlots(); ++r) {
        TRecord* record = data.GetRecord(r);
        const bool deleted = record->Status() == kDeletedStatus;
        data.ReleaseRecord(record);
        live += deleted ? 0 : 1;
    }
    return live;
}

}  // namespace

void TDataCursor::OptimizeTable(std::string_view index_name, bool backup) {
    CheckClosed();
    CheckExclusive();
    CheckWritable();
    Open();
    try {
        // Files that can only be read are known once open; they would be replaced by the
        // optimized copy, not written.
        CheckWritable();
        SetIndexByName(index_name);
    } catch (...) {
        Close(true);
        throw;
    }
    TDataSession& session = directory_.Session();
    const bool memory = in_memory_ || directory_.InMemory();
    TDataDirectory* work_directory = memory ? session.OpenDirectory("MEMORY")
                                            : session.OpenDirectory("", session.GetPrivateDir());
    ScopedDirectory work(session, work_directory);
    const std::string temp_name = (*work).MakeTempTableName(memory);

    TableDefinition definition;
    TDataFile& data = table_->DataFile();
    for (std::uint32_t i = 1; i <= data.GetFieldCount(); ++i)
        definition.fields.push_back(data.GetFieldDescriptor(i));
    definition.indexes.push_back(table_->IndexFile().GetIndexDescriptor(0));
    if (table_->IndexFile().GetNoPrimaryIndex())
        definition.indexes.front() = IndexDescriptor{};
    for (int slot = 1; slot <= table_->IndexFile().GetIndexCount(); ++slot)
        definition.indexes.push_back(table_->IndexFile().GetIndexDescriptor(slot));
    definition.description = data.GetDescription();
    definition.password = data.GetPassword();
    definition.encrypted = data.GetEncrypted();
    definition.blob_block_size = data.GetBlobBlockSize();
    definition.language = language_;
    definition.sort = sort_;
    definition.user_major = data.GetFirstUserWord();
    definition.user_minor = data.GetSecondUserWord();
    const std::uint32_t last_auto_inc = data.GetLastAutoIncrement();

    try {
        TDataCursor target(*work);
        target.SetTableName(temp_name);
        target.SetExclusive(true);
        target.SetInMemory(memory);
        target.CreateTable(definition, true);
        target.SetPhysicalOrder(true);
        target.Open();
        target.SetFetchOption(true);
        std::vector<std::uint8_t> source(record_size_);
        std::vector<std::uint8_t> copy(target.GetRecordSize());
        const std::int64_t total = std::max<std::int64_t>(1, GetRecordCount());
        std::uint32_t done = 0;
        // Each record copied, by its slot: an index that lost or repeats keys
        // must not pack a table that lost or repeats rows.
        std::vector<bool> copied(std::size_t{table_->DataFile().GetRecordSlots()} + 1, false);
        First();
        while (GetNextRecord(source) == kErrNone) {
            const std::uint32_t slot = GetCurrentRecordNo();
            if (slot == 0 || slot >= copied.size() || copied[slot])
                Raise(kErrIndexPageCorrupt);
            copied[slot] = true;
            target.InitNewRecord(copy);
            std::memcpy(copy.data() + 5, source.data() + 5,
                        std::min(copy.size(), source.size()) - 5);
            for (std::uint32_t f = 1; f <= field_count_; ++f) {
                const FieldDescriptor& field = fields_[f - 1];
                if (FieldType(field) != kTypeBlob)
                    continue;
                const std::size_t at = FieldOffset(field);
                std::fill_n(copy.begin() + static_cast<std::ptrdiff_t>(at),
                            1 + FieldDataSize(field), 0);
                if (source[at] == 0)
                    continue;
                CopyBlobInto(f, source, target, copy);
            }
            target.InsertRecord(copy, false);
            ++done;
            if (on_optimize_progress_)
                on_optimize_progress_(done, static_cast<int>(std::int64_t{done} * 100 / total));
        }
        if (done != LiveRecordSlots(table_->DataFile()))
            Raise(kErrIndexPageCorrupt);
        target.SetLastAutoInc(std::max(last_auto_inc, target.GetLastAutoInc()));
        target.Close(false);
    } catch (...) {
        Close(true);
        (*work).DeleteTable(temp_name, memory);
        throw;
    }
    Close(true);

    PlaceRebuiltTable(directory_, *work, temp_name, table_name_, backup && !memory, memory);
}

DataHeader TDataCursor::ReadClosedHeader() {
    TDataFile file(nullptr);
    const bool memory = in_memory_ || directory_.InMemory();
    file.SetName(memory ? table_name_ : directory_.Path() + table_name_);
    file.SetInMemory(memory);
    file.Open();
    const DataHeader header = file.GetHeader();
    const bool encrypted = file.GetEncrypted();
    const std::string password = file.GetPassword();
    file.Close();
    if (encrypted) {
        TDataSession& session = directory_.Session();
        while (!session.HasPassword(password)) {
            const std::size_t before = session.PasswordCount();
            if (!on_password_ || !on_password_() || session.PasswordCount() == before)
                Raise(kErrPasswordRequired);
        }
    }
    return header;
}

std::uint32_t TDataCursor::GetBlobBlockSize() {
    if (open_)
        return table_->DataFile().GetBlobBlockSize();
    const std::uint32_t size = GetU32(ReadClosedHeader(), dh::kBlobBlockSize) & 0xFFFFu;
    return size == 0 ? 512 : size;
}

std::uint16_t TDataCursor::GetLanguageID() {
    return open_ ? table_->DataFile().GetLanguage() : GetU16(ReadClosedHeader(), dh::kLanguage);
}

std::uint16_t TDataCursor::GetSortID() {
    return open_ ? table_->DataFile().GetSort() : GetU16(ReadClosedHeader(), dh::kSort);
}

std::uint16_t TDataCursor::GetUserMajorVersion() {
    return open_ ? table_->DataFile().GetFirstUserWord()
                 : GetU16(ReadClosedHeader(), dh::kUserWord1);
}

std::uint16_t TDataCursor::GetUserMinorVersion() {
    return open_ ? table_->DataFile().GetSecondUserWord()
                 : GetU16(ReadClosedHeader(), dh::kUserWord2);
}

std::uint32_t TDataCursor::GetLastAutoInc() {
    return open_ ? table_->DataFile().GetLastAutoIncrement()
                 : GetU32(ReadClosedHeader(), dh::kLastAutoInc);
}

std::string TDataCursor::GetDescription() {
    if (open_)
        return table_->DataFile().GetDescription();
    DataHeader header = ReadClosedHeader();
    if (header[dh::kEncrypted] != 0) {
        UnscrambleBuffer(std::span(header).subspan(dh::kDescription, dh::kDescriptionLength + 1),
                         kHeaderTextKeyLow, kHeaderTextKeyHigh);
    }
    return GetShortString(header, dh::kDescription, dh::kDescriptionLength);
}

bool TDataCursor::IsEncrypted() {
    return open_ ? table_->DataFile().GetEncrypted() : ReadClosedHeader()[dh::kEncrypted] != 0;
}

std::string TDataCursor::GetTablePassword() {
    if (open_)
        return table_->DataFile().GetPassword();
    TDataFile file(nullptr);
    const bool memory = in_memory_ || directory_.InMemory();
    file.SetName(memory ? table_name_ : directory_.Path() + table_name_);
    file.SetInMemory(memory);
    file.Open();
    std::string password = file.GetEncrypted() ? file.GetPassword() : std::string();
    file.Close();
    ReadClosedHeader();
    return password;
}

std::uint32_t TDataCursor::GetRecordSlotCount() const {
    return open_ ? table_->DataFile().GetRecordSlots() : 0;
}

std::uint32_t TDataCursor::NextAutoInc() {
    CheckOpen();
    return table_->DataFile().NextAutoIncrement();
}

void TDataCursor::SetLastAutoInc(std::uint32_t value) {
    CheckOpen();
    table_->DataFile().SetAutoIncrement(value);
}

std::unique_ptr<TDataCursor> TDataCursor::CloneCursor() {
    CheckOpen();
    TemporaryPassword password(directory_.Session(), table_->DataFile().GetPassword(),
                               table_->DataFile().GetEncrypted());
    auto clone = std::make_unique<TDataCursor>(directory_);
    clone->SetTableName(table_name_);
    clone->SetExclusive(exclusive_);
    clone->SetShare(exclusive_);
    clone->SetReadOnly(read_only_);
    clone->SetInMemory(in_memory_);
    clone->SetPhysicalOrder(index_ == kNoIndex);
    clone->SetComputedFields(computed_fields_);
    clone->Open();
    if (record_size_ != clone->record_size_ || fields_.size() != clone->fields_.size() ||
        has_computed_)
        clone->SetFieldDescriptors(fields_);
    for (std::size_t i = 0; i < field_expressions_.size(); ++i) {
        if (field_expressions_[i])
            clone->SetFieldExpression(static_cast<std::uint32_t>(i + 1),
                                      CopyTokenTree(field_expressions_[i].get()));
    }
    if (index_ != kNoIndex)
        clone->SetIndexByName(index_name_);
    if (range_active_) {
        clone->SetRangeKeys(true, range_start_, 0, range_end_, 0);
        clone->range_start_ = range_start_;
        clone->range_end_ = range_end_;
        clone->Resync();
    }
    for (const auto& filter : filters_) {
        TFilter* copy =
            filter->IsCallback()
                ? clone->AddFilter({}, filter->Options(), filter->Callback())
                : clone->AddFilter(CopyTokenTree(filter->Expression()), filter->Options());
        if (filter->Active())
            clone->ActivateFilter(copy);
    }
    clone->GotoCursorPosition(*this);
    return clone;
}

}  // namespace strata
