#include "engine/core/data_table.h"

#include <algorithm>
#include <exception>
#include <system_error>
#include <thread>
#include <tuple>

#include "engine/core/data_directory.h"
#include "engine/core/data_session.h"
#include "engine/core/table_swap.h"
#include "engine/storage/engine_error.h"
#include "engine/storage/storage_library.h"
#include "engine/storage/storage_utils.h"
#include "engine/storage/sync_worker.h"
#include "platform/os/clock.h"
#include "platform/os/file_system.h"

namespace strata {

namespace {

// Runs body; when it throws, runs undo (whose own failure would hide the first) and rethrows.
template <class Body, class Undo>
auto UndoingOnFailure(Body&& body, Undo&& undo) {
    try {
        return body();
    } catch (...) {
        try {
            undo();
        } catch (...) {
        }
        throw;
    }
}

bool HasDirectory(std::string_view name) {
    return name.find_first_of("/\\:") != std::string_view::npos;
}

// Between two attempts at a record or table lock.
constexpr std::uint64_t kLockStepMs = 1;

// Index (or blob) bytes to sync from which the file's sync gets a thread of its own.
constexpr std::int64_t kSyncBesideBytes = std::int64_t{1} << 20;

constexpr const char* kExtensions[3] = {".DAT", ".IDX", ".BLB"};
constexpr const char* kBackupExtensions[3] = {".DBK", ".IBK", ".BBK"};

}  // namespace

TDataTable::TDataTable(TDataDirectory& directory)
    : directory_(directory),
      data_file_(std::make_unique<TDataFile>(this)),
      index_file_(std::make_unique<TIndexFile>(this)),
      blob_file_(std::make_unique<TBlobFile>(this)) {
    for (TRecordsBitmap* bitmap : {&locked_, &cursor_locked_, &deferred_unlocks_}) {
        bitmap->SetRecordCount(8192);
        bitmap->ClearAll();
    }
    data_file_->SetIndexFile(index_file_.get());
    index_file_->SetDataFile(data_file_.get());
}

TDataTable::~TDataTable() {
    try {
        in_batch_ = false;
        use_count_ = 0;
        if (open_) {
            use_count_ = 1;
            Close(true);
        }
    } catch (...) {
        // A destructor cannot report; the files were closed by their owners.
    }
}

void TDataTable::SetName(std::string_view name) {
    std::string value = TableFileName(name);
    if (value != name_)
        name_ = std::move(value);
}

std::string TDataTable::FileName(std::string_view extension) const {
    std::string base = RemoveFileExt(name_) + std::string(extension);
    if (in_memory_ || directory_.InMemory() || HasDirectory(base))
        return base;
    return directory_.Path() + base;
}

void TDataTable::ConfigureFile(TFileHandler& file, std::string_view extension) {
    file.SetName(FileName(extension));
    file.SetExclusive(exclusive_);
    file.SetReadOnly(false);
    file.SetInMemory(in_memory_ || directory_.InMemory());
    file.SetTemporary(temporary_);
    file.SetSequential(sequential_);
    file.SetWriteThrough(directory_.Session().ForceBufferFlush());
}

void TDataTable::BuildFileNames() {
    ConfigureFile(*data_file_, kExtensions[0]);
    ConfigureFile(*index_file_, kExtensions[1]);
    ConfigureFile(*blob_file_, kExtensions[2]);
}

void TDataTable::Open() {
    use_count_ = 1;
    files_just_opened_ = !open_;
    if (open_)
        return;
    index_recreated_ = false;
    BuildFileNames();
    try {
        // A replacement of the files cut short is finished before they are
        // read.
        if (!in_memory_ && !directory_.InMemory())
            FinishTableReplacement(SwapJournalPath(RemoveFileExt(FileName(kExtensions[0]))));
        data_file_->Open();
        marks_enabled_ = !in_memory_ && !directory_.InMemory() && !temporary_;
        write_mark_ = mark_behind_ = false;
        mark_holds_ = 0;
        sync_failed_ = mark_kept_ = false;
        index_file_->SetEncrypted(data_file_->GetEncrypted());
        try {
            index_file_->Open();
        } catch (const EStrataEngineError& error) {
            if (error.ErrorCode() != kErrInvalidPath)
                throw;
            index_recreated_ = true;
            index_file_->CreateFile();
            index_file_->WriteHeader(true);
            index_file_->Close();
            index_file_->Open();
        }
        if (data_file_->GetBlobFieldCount() > 0) {
            blob_file_->SetBlockSize(data_file_->GetBlobBlockSize());
            blob_file_->SetEncrypted(data_file_->GetEncrypted());
            blob_file_->Open();
        }
    } catch (...) {
        marks_enabled_ = false;
        CloseFilesAfterFailure();
        use_count_ = 0;
        throw;
    }
    open_ = true;
    media_read_only_ = data_file_->ReadOnlyOnDisk() || index_file_->ReadOnlyOnDisk() ||
                       (blob_file_->IsOpen() && blob_file_->ReadOnlyOnDisk());
    read_only_ = media_read_only_;
    statement_index_offset_ = statement_blob_offset_ = 0;
    operation_index_offset_ = operation_blob_offset_ = 0;
}

void TDataTable::CloseFilesAfterFailure() noexcept {
    // The failure under way is what the caller hears of.
    for (TFileHandler* file : {static_cast<TFileHandler*>(blob_file_.get()),
                               static_cast<TFileHandler*>(index_file_.get()),
                               static_cast<TFileHandler*>(data_file_.get())}) {
        try {
            file->Close();
        } catch (...) {
        }
    }
}

void TDataTable::Close(bool discard_temporary) {
    if (!open_)
        return;
    if (use_count_ > 0)
        --use_count_;
    if (in_batch_ || use_count_ > 0)
        return;
    std::exception_ptr failure;
    try {
        if (exclusive_ && !read_only_) {
            // No trim: the files drop their whole caches just below.
            if (discard_temporary && temporary_)
                DiscardBuffers(false, false);
            else
                FlushBuffers(false, false, false);
        }
    } catch (...) {
        failure = std::current_exception();
    }
    if (!failure) {
        // A failed sync is not forgotten by closing: the caller learns that the changes
        // since may not be on disk (the files close all the same).
        try {
            data_file_->CheckSyncFailure();
            index_file_->CheckSyncFailure();
            blob_file_->CheckSyncFailure();
        } catch (...) {
            failure = std::current_exception();
        }
    }
    DropLiveRecords();
    if (!ReleaseLocksBeforeClose() && !failure) {
        // The files close all the same; the caller learns that a lock may outlive them where
        // another session of this program keeps them open.
        try {
            RaiseEngineError(kErrUnlock, name_);
        } catch (...) {
            failure = std::current_exception();
        }
    }
    table_locked_ = table_was_locked_ = false;
    statement_read_lock_ = operation_read_lock_ = write_lock_ = header_lock_ = false;
    statement_read_holders_ = table_lock_holders_ = 0;
    file_locks_deferred_ = batch_changes_ = false;
    locked_.ClearAll();
    cursor_locked_.ClearAll();
    deferred_unlocks_.ClearAll();
    fresh_record_ = 0;
    statement_index_offset_ = statement_blob_offset_ = 0;
    operation_index_offset_ = operation_blob_offset_ = 0;
    // Every file closes whatever the others report; the caller hears of the first failure
    // alone (a file whose sync failed repeats it as it closes).
    for (TFileHandler* file : {static_cast<TFileHandler*>(index_file_.get()),
                               static_cast<TFileHandler*>(blob_file_.get()),
                               static_cast<TFileHandler*>(data_file_.get())}) {
        try {
            file->Close();
        } catch (...) {
            if (!failure)
                failure = std::current_exception();
        }
    }
    open_ = false;
    pending_ = false;
    marks_enabled_ = write_mark_ = sync_failed_ = mark_kept_ = mark_behind_ = false;
    mark_holds_ = 0;
    if (failure)
        std::rethrow_exception(failure);
}

bool TDataTable::ReleaseLocksBeforeClose() noexcept {
    // The region locks live in the file objects, which another session of this program may
    // keep open after this table's files close: left there, they would hold this table's rows,
    // its table lock and its index range against that session and every other program.
    // Each goes on its own; one that will not go is left to the files' last close, and false
    // returned once all were tried.
    const bool blobs = HasBlobs();
    bool all = true;
    auto quietly = [&all](auto&& release) {
        try {
            all = release() && all;
        } catch (...) {
            all = false;
        }
    };
    if (const std::uint32_t n = std::exchange(unlock_with_write_, 0); n != 0)
        quietly([&] { return data_file_->UnlockRecord(n); });
    if (table_locked_ && !media_read_only_)
        quietly([&] { return data_file_->UnlockTable(); });
    if (!media_read_only_) {
        std::int64_t r = 0;
        std::int64_t position = 0;
        while (locked_.FindNext(r, 1, position))
            quietly([&] { return data_file_->UnlockRecord(static_cast<std::uint32_t>(r)); });
    }
    for (const auto& [held, index_offset, blob_offset] :
         {std::tuple{statement_read_lock_, statement_index_offset_, statement_blob_offset_},
          std::tuple{operation_read_lock_, operation_index_offset_, operation_blob_offset_}}) {
        if (!held || exclusive_ || media_read_only_)
            continue;
        if (blobs)
            quietly([&, b = blob_offset] { return blob_file_->ReadUnlock(b); });
        quietly([&, i = index_offset] { return index_file_->ReadUnlock(i); });
    }
    if (write_lock_ && !file_locks_deferred_) {
        if (blobs)
            quietly([&] { return blob_file_->WriteUnlock(); });
        quietly([&] { return index_file_->WriteUnlock(); });
    }
    if ((write_lock_ && !file_locks_deferred_) || header_lock_)
        quietly([&] { return data_file_->UnlockHeader(); });
    return all;
}

void TDataTable::CreateFiles(const TableDefinition& definition) {
    use_count_ = 1;
    marks_enabled_ = write_mark_ = sync_failed_ = mark_kept_ = mark_behind_ = false;
    mark_holds_ = 0;
    BuildFileNames();
    try {
        data_file_->CreateDataFile(definition.language, definition.sort, definition.fields,
                                   definition.blob_block_size, definition.description,
                                   definition.password, definition.encrypted, definition.user_major,
                                   definition.user_minor);
        index_file_->SetEncrypted(definition.encrypted);
        index_file_->CreateFile();
        index_file_->SetPrimaryIndex(definition.indexes.empty() ? IndexDescriptor{}
                                                                : definition.indexes.front());
        for (std::size_t i = 1; i < definition.indexes.size(); ++i)
            index_file_->AddIndex(definition.indexes[i]);
        index_file_->WriteHeader(true);
        if (data_file_->GetBlobFieldCount() > 0) {
            blob_file_->SetBlockSize(data_file_->GetBlobBlockSize());
            blob_file_->SetEncrypted(definition.encrypted);
            blob_file_->CreateFile();
            blob_file_->WriteHeader(true);
        }
        data_file_->WriteHeader(true);
    } catch (...) {
        // No half-made table stays behind.
        CloseFilesAfterFailure();
        use_count_ = 0;
        try {
            DeleteFiles();
        } catch (...) {
        }
        throw;
    }
    open_ = true;
    media_read_only_ = read_only_ = false;
    marks_enabled_ = !in_memory_ && !directory_.InMemory() && !temporary_;
}

void TDataTable::DeleteFiles() {
    BuildFileNames();
    // A pending replacement would otherwise bring files back later.
    if (!in_memory_ && !directory_.InMemory())
        FinishTableReplacement(SwapJournalPath(RemoveFileExt(FileName(kExtensions[0]))));
    data_file_->DeleteFile();
    index_file_->DeleteFile();
    if (blob_file_->FileExists())
        blob_file_->DeleteFile();
}

void TDataTable::RenameFiles(std::string_view new_name, bool to_backup) {
    const bool memory = in_memory_ || directory_.InMemory();
    std::string target = RemoveFileExt(new_name);
    if (!memory && !HasDirectory(target))
        target = directory_.Path() + target;
    BuildFileNames();
    TFileHandler* files[3] = {data_file_.get(), index_file_.get(), blob_file_.get()};
    const std::string from_base = RemoveFileExt(FileName(kExtensions[0]));
    if (!memory) {
        // Moved under a journal beside the table's files, the data file last: a program killed
        // part of the way never leaves a data file under either name without its index file,
        // which the next open would replace by an empty one and lose the index definitions.
        // Into another folder alike: the next open of the table finishes the moves, so its files
        // never stay split between the two folders.
        std::vector<FileReplacement> moves;
        for (const int i : {1, 2, 0}) {
            if (!files[i]->FileExists())
                continue;
            const std::string to = target + (to_backup ? kBackupExtensions[i] : kExtensions[i]);
            // Only an old backup gives way; a file of another table under the new name is
            // refused, as a single move refuses it, before anything moves.
            if (!to_backup && platform::os::FileExists(to))
                RaiseEngineError(static_cast<EngineErrorCode>(platform::os::kUnknownOsError), to);
            moves.push_back({to, files[i]->Name(), {}});
        }
        MoveTableFiles(SwapJournalPath(from_base), moves);
        return;
    }
    int moved = 0;
    try {
        for (; moved < 3; ++moved) {
            TFileHandler& file = *files[moved];
            if (!file.FileExists())
                continue;
            const std::string to =
                target + (to_backup ? kBackupExtensions[moved] : kExtensions[moved]);
            if (to_backup) {
                TBlobFile old(nullptr);
                old.SetName(to);
                old.SetInMemory(memory);
                if (old.FileExists())
                    old.DeleteFile();
            }
            file.RenameFile(to);
        }
    } catch (...) {
        // A table is never left with its files under two names: those already moved go back.
        BuildFileNames();
        for (int i = 0; i < moved; ++i) {
            const std::string to = target + (to_backup ? kBackupExtensions[i] : kExtensions[i]);
            TFileHandler back;
            back.SetName(to);
            back.SetInMemory(memory);
            try {
                if (back.FileExists())
                    back.RenameFile(files[i]->Name());
            } catch (...) {
                // The first failure is what the caller hears of.
            }
        }
        throw;
    }
}

void TDataTable::BackupIndexFile() {
    FlushBuffers(false, false, false);
    index_file_->FinishWriteBehind();
    index_file_->CopyToFile(FileName(kBackupExtensions[1]), in_memory_ || directory_.InMemory());
}

void TDataTable::RestoreIndexFile(bool keep, bool delete_backup) {
    DropLiveRecords();
    const std::string backup = FileName(kBackupExtensions[1]);
    const bool memory = in_memory_ || directory_.InMemory();
    if (!keep) {
        // Positions the cursors hold in the index going back are of the index as it was.
        NoteRecordWrite();
        // The copy writes at the handle's position and does not cut the
        // file: start at 0 and cut after the copied bytes. The position is
        // this handle's own, so no file object lock is held around the
        // three: the copy goes through the registry, whose lock comes first.
        index_file_->FinishWriteBehind();
        index_file_->ClearPageCaches(true);
        index_file_->SeekFile(0, SeekOrigin::kBegin);
        index_file_->CopyFromFile(backup, memory);
        index_file_->Write(std::span<const std::byte>());
        index_file_->ReadHeader();
    }
    if (delete_backup) {
        TBlobFile old(nullptr);
        old.SetName(backup);
        old.SetInMemory(memory);
        if (old.FileExists())
            old.DeleteFile();
    }
}

void TDataTable::EmptyFiles() {
    DropLiveRecords();
    // Every row goes: the other cursors of this program, which count no file change of an
    // exclusive table, learn of it from this count.
    NoteRecordWrite();
    // The files are emptied one after the other: until all are, the mark stays on through any
    // flush, and a failure part of the way leaves it for the next open to find.
    try {
        HoldWriteMark();
    } catch (...) {
        ReleaseWriteMark();
        throw;
    }
    data_file_->EmptyFile();
    index_file_->EmptyIndexFile();
    if (blob_file_->IsOpen())
        blob_file_->EmptyBlobFile();
    ReleaseWriteMark();
    DiscardBuffers(true, false);
}

void TDataTable::SizeBitmaps() {
    const std::int64_t wanted = std::int64_t{data_file_->GetRecordSlots()} + 1;
    for (TRecordsBitmap* bitmap : {&locked_, &cursor_locked_, &deferred_unlocks_}) {
        if (bitmap->RecordCount() < wanted)
            bitmap->SetRecordCount(wanted);
    }
}

bool TDataTable::RetryLock(const std::function<bool()>& attempt) {
    // The waiting keeps its limit, LockRetryCount times LockWaitTime, but is
    // spent in short steps, so a lock released by another program is taken
    // within a step instead of after a whole LockWaitTime.
    const TDataSession& session = directory_.Session();
    const std::uint64_t budget =
        std::uint64_t{session.LockRetryCount()} * std::uint64_t{session.LockWaitTime()};
    std::uint64_t waited = 0;
    for (std::uint64_t failures = 0;; ++failures) {
        if (attempt())
            return true;
        if (waited >= budget && failures >= session.LockRetryCount())
            return false;
        const std::uint32_t step =
            static_cast<std::uint32_t>(std::min<std::uint64_t>(kLockStepMs, budget - waited));
        platform::os::Sleep(step);
        waited += step;
    }
}

bool TDataTable::LockRecord(std::uint32_t n, bool with_read_lock) {
    if (table_locked_ || (exclusive_ && !in_batch_) || media_read_only_)
        return false;
    if (n == 0)
        RaiseEngineError(kErrRecordLocked, name_);
    SettleRecordUnlock();
    SizeBitmaps();
    if (in_batch_ && locked_.IsSet(n)) {
        // Held since a write of the batch, whose end would let it go: the lock asked for now
        // is kept past the end.
        deferred_unlocks_.ClearBit(n);
        return false;
    }
    bool changed = false;
    // Each attempt takes the read lock first and the record under it; a failed one lets the
    // read lock go before the next. The record's holder needs every read lock gone before it
    // can write, so none is kept through the wait; and the read lock is never waited for with
    // the record held, as a writer waiting for the record keeps the read lock out.
    const bool read_lock = !exclusive_ && (with_read_lock || operation_read_lock_ ||
                                           !directory_.Session().StrictChangeDetection());
    const auto attempt = [&] {
        if (read_lock)
            changed = ReadLock() || changed;
        if (data_file_->LockRecord(n))
            return true;
        if (read_lock)
            ReadUnlock();
        return false;
    };
    if (!RetryLock(attempt))
        RaiseEngineError(kErrRecordLocked, name_);
    locked_.SetBit(n);
    deferred_unlocks_.ClearBit(n);
    fresh_record_ = read_lock || write_lock_ || header_lock_ ? n : 0;
    fresh_record_releases_ = data_file_->RecordLockReleases();
    return changed;
}

void TDataTable::UnlockRecord(std::uint32_t n) {
    if (table_locked_ || (exclusive_ && !in_batch_) || media_read_only_)
        return;
    if (n == 0)
        RaiseEngineError(kErrUnlock, name_);
    SizeBitmaps();
    if (in_batch_) {
        deferred_unlocks_.SetBit(n);
        return;
    }
    if (!locked_.IsSet(n))
        RaiseEngineError(kErrUnlock, name_);
    if (unlocks_with_write_ && write_lock_ && !file_locks_deferred_ && !header_lock_ &&
        unlock_with_write_ == 0) {
        // The header lock goes when the write ends, a moment from now: the record's goes with
        // it, in one call.
        unlock_with_write_ = n;
        locked_.ClearBit(n);
        return;
    }
    if (!data_file_->UnlockRecord(n))
        RaiseEngineError(kErrUnlock, name_);
    locked_.ClearBit(n);
}

void TDataTable::SettleRecordUnlock() {
    const std::uint32_t n = std::exchange(unlock_with_write_, 0);
    if (n != 0 && !data_file_->UnlockRecord(n))
        RaiseEngineError(kErrUnlock, name_);
}

bool TDataTable::LockTable() {
    if (table_locked_ || (exclusive_ && !in_batch_) || media_read_only_)
        return false;
    SettleRecordUnlock();
    if (!RetryLock([&] { return data_file_->LockTable(); }))
        RaiseEngineError(kErrTableLocked, name_);
    table_locked_ = true;
    if (exclusive_)
        return false;
    // A failed check of the headers fails the call, which must not leave the table locked
    // against everyone with no caller to let it go (also inside a batch).
    return UndoingOnFailure([&] { return RefreshIfChanged(); },
                            [&] {
                                if (data_file_->UnlockTable())
                                    table_locked_ = false;
                            });
}

void TDataTable::UnlockTable() {
    if (!table_locked_ || header_lock_ || exclusive_ || media_read_only_)
        return;
    if (!GiveBackTableLock())
        RaiseEngineError(kErrUnlock, name_);
}

bool TDataTable::GiveBackTableLock() {
    // Released first and locked after, such a row would be free for a moment, and another
    // program waiting for it would take it from its cursor: the table lock shrinks to them.
    SizeBitmaps();
    std::vector<std::uint32_t> rows;
    std::int64_t r = 0;
    std::int64_t position = 0;
    while (cursor_locked_.FindNext(r, 1, position)) {
        if (!locked_.IsSet(r))
            rows.push_back(static_cast<std::uint32_t>(r));
    }
    if (!data_file_->UnlockTableKeeping(rows))
        return false;
    table_locked_ = false;
    for (const std::uint32_t row : rows)
        locked_.SetBit(row);
    return true;
}

bool TDataTable::BeginReadLock() {
    if (statement_read_lock_ || operation_read_lock_ || write_lock_ || table_locked_ ||
        header_lock_ || exclusive_ || media_read_only_) {
        return false;
    }
    if (!index_file_->ReadLock(statement_index_offset_))
        RaiseEngineError(kErrLockFailure, name_);
    if (HasBlobs() && !blob_file_->ReadLock(statement_blob_offset_)) {
        index_file_->ReadUnlock(statement_index_offset_);
        RaiseEngineError(kErrLockFailure, name_);
    }
    statement_read_lock_ = true;
    return UndoingOnFailure(
        [&] {
            const bool changed = RefreshIfChanged();
            CheckNoWriterDied();
            return changed;
        },
        [&] { EndReadLock(); });
}

void TDataTable::EndReadLock() {
    if (!statement_read_lock_ || exclusive_ || media_read_only_)
        return;
    statement_read_lock_ = false;
    const bool blob_ok = !HasBlobs() || blob_file_->ReadUnlock(statement_blob_offset_);
    const bool index_ok = index_file_->ReadUnlock(statement_index_offset_);
    if (!blob_ok || !index_ok)
        RaiseEngineError(kErrUnlock, name_);
}

bool TDataTable::ReadLock() {
    if (statement_read_lock_ || operation_read_lock_ || write_lock_ || table_locked_ ||
        header_lock_ || exclusive_ || media_read_only_) {
        return false;
    }
    if (!index_file_->ReadLock(operation_index_offset_))
        RaiseEngineError(kErrLockFailure, name_);
    if (HasBlobs() && !blob_file_->ReadLock(operation_blob_offset_)) {
        index_file_->ReadUnlock(operation_index_offset_);
        RaiseEngineError(kErrLockFailure, name_);
    }
    operation_read_lock_ = true;
    ++operation_read_locks_;
    return UndoingOnFailure(
        [&] {
            const bool changed = RefreshIfChanged();
            CheckNoWriterDied();
            return changed;
        },
        [&] { ReadUnlock(); });
}

void TDataTable::CheckNoWriterDied() {
    // A writer that died part way through a flush left its mark and, with its death, no lock:
    // the files hold neither the table before its change nor after it, and a reader must not
    // take them for either. A living writer keeps the mark on between flushes only inside a
    // batch, which holds the header lock throughout.
    if (!data_file_->WriteInterrupted() || write_mark_ || exclusive_ || header_lock_)
        return;
    if (!data_file_->TryLockHeader())
        return;
    data_file_->UnlockHeader();
    RaiseEngineError(kErrHeaderCorrupt, name_);
}

void TDataTable::ReadUnlock() {
    if (!operation_read_lock_ || exclusive_ || media_read_only_)
        return;
    operation_read_lock_ = false;
    const bool blob_ok = !HasBlobs() || blob_file_->ReadUnlock(operation_blob_offset_);
    const bool index_ok = index_file_->ReadUnlock(operation_index_offset_);
    if (!blob_ok || !index_ok)
        RaiseEngineError(kErrUnlock, name_);
}

bool TDataTable::WriteLock() {
    if (in_batch_)
        batch_changes_ = true;
    if (write_lock_ || exclusive_ || media_read_only_)
        return false;
    // The write range covers the read-lock bytes, and one file object
    // refuses overlapping locks of its own.
    ReadUnlock();
    if (in_batch_ && header_lock_) {
        // Inside a batch nothing reaches the files before the batch's flush,
        // and the header lock keeps every other writer out: the file locks,
        // which keep other programs' readers off pages being written, wait
        // until something is about to be written (BeforeWrite).
        write_lock_ = true;
        file_locks_deferred_ = true;
        return false;
    }
    TakeFileWriteLocks();
    write_lock_ = true;
    if (header_lock_)
        return false;
    return UndoingOnFailure(
        [&] {
            const bool changed = RefreshIfChanged();
            // A program that died while writing left the mark; writing on top of
            // its half-done changes would clear it and hide the damage.
            CheckWritesFinished();
            return changed;
        },
        [&] { WriteUnlock(); });
}

void TDataTable::TakeFileWriteLocks() {
    // This table object's own statement read lock lies in the write range and is held until
    // its statement ends, which cannot come while this write waits: a wait could only run out.
    if (statement_read_lock_)
        RaiseEngineError(kErrLockFailure, name_);
    if (!header_lock_ && !data_file_->LockHeader())
        RaiseEngineError(kErrLockFailure, name_);
    if (!index_file_->WriteLock()) {
        if (!header_lock_)
            data_file_->UnlockHeader();
        RaiseEngineError(kErrLockFailure, name_);
    }
    if (HasBlobs() && !blob_file_->WriteLock()) {
        index_file_->WriteUnlock();
        if (!header_lock_)
            data_file_->UnlockHeader();
        RaiseEngineError(kErrLockFailure, name_);
    }
}

void TDataTable::WriteUnlock() {
    if (!write_lock_)
        return;
    write_lock_ = false;
    if (file_locks_deferred_) {
        // Nothing was written: no file lock was taken.
        file_locks_deferred_ = false;
        return;
    }
    const std::uint32_t record = std::exchange(unlock_with_write_, 0);
    const bool blob_ok = !HasBlobs() || blob_file_->WriteUnlock();
    const bool index_ok = index_file_->WriteUnlock();
    bool record_ok = true;
    bool header_ok = true;
    if (header_lock_)
        record_ok = record == 0 || data_file_->UnlockRecord(record);
    else if (record != 0)
        std::tie(record_ok, header_ok) = data_file_->UnlockRecordAndHeader(record);
    else
        header_ok = data_file_->UnlockHeader();
    // A row that would not go is still held, as UnlockRecord leaves it.
    if (!record_ok)
        locked_.SetBit(record);
    if (!blob_ok || !index_ok || !header_ok)
        RaiseEngineError(kErrLockFailure, name_);
    if (!record_ok)
        RaiseEngineError(kErrUnlock, name_);
}

void TDataTable::BeginBatch() {
    if (read_only_ || in_batch_)
        return;
    if (exclusive_)
        FlushBuffers(false, false, false);
    in_batch_ = true;
    if (!data_file_->LockHeader()) {
        in_batch_ = false;
        RaiseEngineError(kErrLockFailure, name_);
    }
    table_was_locked_ = table_locked_;
    header_lock_ = true;
    if (!exclusive_) {
        try {
            RefreshIfChanged();
            CheckWritesFinished();
        } catch (...) {
            in_batch_ = header_lock_ = false;
            data_file_->UnlockHeader();
            throw;
        }
    }
}

void TDataTable::ReleaseDeferredUnlocks() {
    // Exclusive tables lock records inside a batch too, so they release them
    // here as well; otherwise the next lock of the record would collide.
    // Every lock is given back whatever the others do; one that will not go stays counted as
    // held (the table's close tries it again) and the call fails once all were tried.
    bool refused = false;
    if (!table_locked_) {
        std::int64_t r = 0;
        std::int64_t position = 0;
        while (deferred_unlocks_.FindNext(r, 1, position)) {
            if (!locked_.IsSet(r))
                continue;
            if (data_file_->UnlockRecord(static_cast<std::uint32_t>(r)))
                locked_.ClearBit(r);
            else
                refused = true;
        }
    } else if (!table_was_locked_ && !exclusive_) {
        refused = !GiveBackTableLock();
    }
    deferred_unlocks_.ClearAll();
    if (refused)
        RaiseEngineError(kErrUnlock, name_);
}

void TDataTable::ReleaseHeaderLock() {
    header_lock_ = false;
    if (!data_file_->UnlockHeader())
        RaiseEngineError(kErrLockFailure, name_);
}

bool TDataTable::ChangedInBatch() const {
    // Exclusive tables may be changed by paths that take no write lock, so
    // they are always written.
    return exclusive_ || batch_changes_ || pending_;
}

void TDataTable::EndBatch(bool commit) {
    if (!in_batch_)
        return;
    // A table nobody changed in the batch has nothing to write: its files,
    // and the change counters other programs watch, stay as they are.
    const bool changed = ChangedInBatch() || (commit && sync_owed_);
    if (commit) {
        in_batch_ = false;
        // Whatever fails, every lock the batch holds goes: a header lock kept here would keep
        // every other program's writes out until this one ends.
        FirstFailure failure;
        if (changed) {
            try {
                WriteLock();
            } catch (...) {
                EndBatchUnwritten();
                throw;
            }
            failure.Run([&] {
                FlushBuffersBeforeSync();
                FlushFiles();
                SettleOwedSync();
                batch_changes_ = false;
            });
            failure.Run([&] { WriteUnlock(); });
        } else {
            batch_changes_ = false;
        }
        failure.Run([&] { ReleaseDeferredUnlocks(); });
        failure.Run([&] { ReleaseHeaderLock(); });
        failure.Rethrow();
        return;
    }
    if (!changed) {
        ReleaseDeferredUnlocks();
        return;
    }
    // Out of the batch first, so that the write lock takes its file locks.
    in_batch_ = false;
    try {
        WriteLock();
    } catch (...) {
        EndBatchUnwritten();
        throw;
    }
    // The index pages go out on a helper thread while the caller goes on with its next rows;
    // the helper lets the write lock go once they are written, so other programs still see
    // whole flushes. A table with blobs writes its blob file under the same lock and keeps
    // writing everything here.
    bool behind = false;
    try {
        behind = header_lock_ && !HasBlobs() && index_file_->BeginWriteBehind();
        // A flush within the batch writes everything, so that other programs
        // see the rows changed so far and the caches stay bounded, but does
        // not wait for the disk: the batch's last flush syncs each file once.
        // With forced flushes the files keep their in-progress mark until
        // then; without, the mark guards against a killed program alone and
        // comes off as after any flush.
        sync_owed_ = true;
        defer_syncs_ = true;
        FlushBuffers(false, true, true);
        defer_syncs_ = false;
        batch_changes_ = false;
        // The device takes what this flush wrote while the batch goes on, so that the batch's
        // last sync finds little left to write.
        if (!data_file_->InMemory()) {
            data_file_->StartWriteBehind();
            // Kept index pages are not in the file yet: its helper thread writes them.
            if (!behind)
                index_file_->StartWriteBehind();
            if (HasBlobs())
                blob_file_->StartWriteBehind();
        }
    } catch (...) {
        defer_syncs_ = false;
        FirstFailure failure;
        failure.Keep(std::current_exception());
        if (behind)
            failure.Run([&] { index_file_->WriteKeptNow(); });
        in_batch_ = true;
        failure.Run([&] { WriteUnlock(); });
        failure.Rethrow();
    }
    FirstFailure failure;
    // The kept pages still go out, and the write lock with them, when a record lock will not go.
    failure.Run([&] { ReleaseDeferredUnlocks(); });
    in_batch_ = true;
    failure.Run([&] {
        if (behind)
            WriteUnlockBehind();
        else
            WriteUnlock();
    });
    failure.Rethrow();
}

void TDataTable::EndBatchUnwritten() noexcept {
    in_batch_ = false;
    batch_changes_ = pending_ = false;
    // What earlier flushes of the batch wrote is kept, synced as the batch's end would have.
    if (sync_owed_) {
        try {
            SyncFilesTogether(directory_.Session().ForceBufferFlush(), HasBlobs());
            SettleOwedSync();
        } catch (...) {
            // The mark stays on (KeepMarkAfterFailedSync); the lock failure is reported.
        }
    }
    try {
        index_file_->FinishWriteBehind();
    } catch (...) {
    }
    // Nothing since the last flush is written: the caches go back to what the files hold, the
    // last whole flush that every program sees, and this program's cursors find the table
    // changed.
    try {
        DiscardBuffers(true, true);
    } catch (...) {
    }
    try {
        ReleaseDeferredUnlocks();
    } catch (...) {
    }
    header_lock_ = false;
    (void)data_file_->UnlockHeader();
}

void TDataTable::WriteUnlockBehind() {
    if (!write_lock_) {
        index_file_->HandOffKeptPages(false);
        return;
    }
    write_lock_ = false;
    const bool release = !file_locks_deferred_;
    file_locks_deferred_ = false;
    // The header lock stays with the batch; the index file's write lock goes with the helper.
    index_file_->HandOffKeptPages(release);
}

void TDataTable::CancelBatch() {
    if (!in_batch_)
        return;
    in_batch_ = false;
    FirstFailure failure;
    if (ChangedInBatch() || sync_owed_) {
        // Other programs' readers see only whole flushes: this one waits for the write lock as
        // a batch's end does, and where it cannot be had the batch ends as such an end does.
        try {
            WriteLock();
        } catch (...) {
            EndBatchUnwritten();
            throw;
        }
        // Evicted pages may already be on disk, so dropping the rest would
        // leave the files disagreeing; the batch ends with a flush instead.
        failure.Run([&] {
            FlushBuffersBeforeSync();
            FlushFiles();
            SettleOwedSync();
        });
        failure.Run([&] { WriteUnlock(); });
    }
    batch_changes_ = false;
    failure.Run([&] { ReleaseDeferredUnlocks(); });
    failure.Run([&] { ReleaseHeaderLock(); });
    failure.Rethrow();
}

void TDataTable::SettleOwedSync() {
    if (!sync_owed_)
        return;
    // Everything written in the batch is on disk now: the mark may go.
    sync_owed_ = false;
    SettleMarkBehind();
    if (write_mark_ && mark_holds_ == 0 && !sync_failed_) {
        data_file_->WriteProgressMark(false);
        write_mark_ = false;
    }
}

void TDataTable::KeepMarkAfterFailedSync() noexcept {
    sync_failed_ = true;
    SettleMarkBehind();
    // Once on after the failure the mark never comes off, and was seen to then.
    if (write_mark_ && mark_kept_)
        return;
    // Only a writer holding the header may write to it; without (a flush to disk outside a
    // change) the mark goes on with the next change's first write.
    const bool header_held = exclusive_ || header_lock_ || (write_lock_ && !file_locks_deferred_);
    if (!marks_enabled_ || read_only_ || !header_held || !data_file_->IsOpen())
        return;
    // A mark synced before the flush's pages is on disk, unless the data file's own failure
    // took its page with it.
    if (write_mark_ && mark_synced_ && !data_file_->SyncFailed()) {
        mark_kept_ = true;
        return;
    }
    try {
        // Written again, even when it was on already: the failed write-back may have dropped
        // the page that held it, and a later open, here or in another program, must find it.
        data_file_->WriteProgressMark(true);
        write_mark_ = true;
        mark_synced_ = data_file_->SyncPastFailure();
        mark_kept_ = true;
    } catch (...) {
        // The failed sync is what the caller hears of.
    }
}

void TDataTable::FlushBuffersBeforeSync() {
    sync_follows_ = true;
    try {
        FlushBuffers(true, true, true);
    } catch (...) {
        sync_follows_ = false;
        throw;
    }
    sync_follows_ = false;
}

void TDataTable::FlushBuffers(bool trim, bool force_data_header, bool force_index_header) {
    if (read_only_ || !open_)
        return;
    if (in_batch_) {
        batch_changes_ = true;
        data_file_->MarkChanged();
        index_file_->MarkChanged();
        if (blob_file_->IsOpen())
            blob_file_->MarkChanged();
        pending_ = true;
        return;
    }
    // Written through, the index file's pages go first: the index file's sync, the longer of
    // the two as a post changes several pages there and one or two records here, starts on
    // the sync worker as soon as they are out, and runs while the data file's part is written.
    // The order within a flush leaves the bytes alone: the mark went to disk before the first
    // page of either file, and comes off only after both files' syncs.
    const bool synced_here = directory_.Session().ForceBufferFlush() && !defer_syncs_;
    TSyncBeside index_sync;
    if (synced_here) {
        index_file_->FlushPages();
        index_file_->WriteHeader(force_index_header || pending_);
        index_file_->FinishWriteBehind();
        index_sync.Start(*index_file_, true);
    }
    // Where nothing of the flush is synced and its mark comes off with it, the data header is
    // written last, with the flag the mark leaves, in the one write: a program killed before
    // that write leaves the mark on as before, and one killed after it left nothing unwritten.
    const bool header_last = !synced_here && !sync_follows_ && MarkMayComeOff();
    try {
        data_file_->FlushRecords();
        if (!header_last)
            data_file_->WriteHeader(force_data_header || pending_);
        data_file_->WriteFieldDescriptors();
        // A batch's end starts the device on the data file's pages now, so that they are on
        // their way while the index file's are put together and written. Beside an index sync
        // large enough for a thread of its own (SyncFilesTogether) this gains nothing, and a
        // single post's page is not worth the extra call.
        if (sync_follows_ && index_file_->UnsyncedBytes() < kSyncBesideBytes)
            data_file_->StartSyncWritten();
        if (trim)
            data_file_->TrimRecordCache();
        if (!synced_here) {
            index_file_->FlushPages();
            index_file_->WriteHeader(force_index_header || pending_);
        }
        if (trim)
            index_file_->TrimPageCaches(false);
        if (HasBlobs()) {
            blob_file_->FlushBlocks();
            blob_file_->WriteHeader(force_data_header || pending_);
            if (trim)
                blob_file_->TrimBlockCache();
        }
        if (header_last) {
            // Index pages a helper still writes are the mark's to cover (HandMarkToHelper).
            const bool takes_mark_off = MarkMayComeOff() && !index_file_->KeepingBehind();
            if (data_file_->WriteHeader(force_data_header || pending_, takes_mark_off) &&
                takes_mark_off) {
                write_mark_ = false;
            }
        }
    } catch (...) {
        // The mark stays on for what was left unwritten; a failed sync keeps it for good.
        try {
            index_sync.Finish();
        } catch (...) {
            KeepMarkAfterFailedSync();
        }
        throw;
    }
    pending_ = false;
    if (synced_here) {
        // One sync per file once all of the flush is written: the caller
        // returns only when its bytes are on disk. Every file's writing
        // starts before the first sync waits, so the files go to the device
        // together rather than one after the other.
        SyncFilesTogether(true, blob_file_->IsOpen(), &index_sync);
        sync_owed_ = false;
    }
    // The mark comes off once what it covers is on disk, so that neither a
    // killed program nor, writing through, a power cut leaves changed files
    // unmarked. The cleared byte reaches the disk with the next sync; a power
    // cut before that only asks for a repair. Without forced flushes nothing
    // is synced here, and the mark guards against a killed program alone.
    // Index pages a helper thread still writes are covered too: it takes the mark off itself.
    const bool behind = index_file_->KeepingBehind();
    if (mark_behind_ && !behind) {
        index_file_->SettleWriteBehind();
        SettleMarkBehind();
    }
    if (write_mark_ && mark_holds_ == 0 && !sync_failed_ &&
        !(sync_owed_ && directory_.Session().ForceBufferFlush())) {
        if (behind) {
            HandMarkToHelper();
        } else {
            data_file_->WriteProgressMark(false);
            write_mark_ = false;
        }
    }
}

bool TDataTable::MarkMayComeOff() const {
    return marks_enabled_ && mark_holds_ == 0 && !sync_failed_ && !mark_behind_ &&
           !(sync_owed_ && directory_.Session().ForceBufferFlush());
}

void TDataTable::HandMarkToHelper() {
    SettleMarkBehind();
    const std::lock_guard lock(mark_mutex_);
    mark_owed_ = true;
    mark_cleared_ = false;
    mark_off_flag_ = data_file_->SettledFlag();
    mark_behind_ = true;
}

void TDataTable::KeptPagesWritten() noexcept {
    const std::lock_guard lock(mark_mutex_);
    if (!mark_owed_)
        return;
    mark_owed_ = false;
    try {
        mark_cleared_ = data_file_->WriteSettledFlagAt(mark_off_flag_);
    } catch (...) {
        // The mark stays on; the next complete flush takes it off.
    }
}

void TDataTable::SettleMarkBehind() noexcept {
    if (!mark_behind_)
        return;
    mark_behind_ = false;
    bool cleared = false;
    {
        // A helper that has not taken the mark off yet no longer will: the caller owns it again.
        const std::lock_guard lock(mark_mutex_);
        mark_owed_ = false;
        cleared = std::exchange(mark_cleared_, false);
    }
    if (cleared) {
        data_file_->NoteMarkTakenOff(mark_off_flag_);
        write_mark_ = false;
    }
}

void TDataTable::BeforeWrite() {
    if (file_locks_deferred_) {
        TakeFileWriteLocks();
        file_locks_deferred_ = false;
    }
    SettleMarkBehind();
    if (!marks_enabled_ || read_only_ || !data_file_->IsOpen())
        return;
    if (!write_mark_) {
        data_file_->WriteProgressMark(true);
        write_mark_ = true;
        mark_synced_ = false;
    }
    if (mark_synced_ || !directory_.Session().ForceBufferFlush())
        return;
    // Written through, the mark is on disk before any page it covers can get there: else a
    // power cut or a failed write-back could leave some of them on disk and the mark not. A
    // mark that cannot be synced lets nothing be written.
    try {
        data_file_->SyncWritten();
    } catch (...) {
        KeepMarkAfterFailedSync();
        throw;
    }
    mark_synced_ = true;
}

void TDataTable::HoldWriteMark() {
    ++mark_holds_;
    BeforeWrite();
}

void TDataTable::ReleaseWriteMark() noexcept {
    if (mark_holds_ > 0)
        --mark_holds_;
}

void TDataTable::CheckWritesFinished() const {
    if (data_file_->WriteInterrupted() && !write_mark_)
        RaiseEngineError(kErrHeaderCorrupt, name_);
}

void TDataTable::DiscardBuffers(bool trim, bool reread_headers) {
    DropLiveRecords();
    data_file_->ClearRecordCache();
    index_file_->ClearPageCaches(true);
    if (blob_file_->IsOpen())
        blob_file_->ClearBlockCache();
    (void)trim;
    if (reread_headers) {
        data_file_->ReadHeader();
        index_file_->ReadHeader();
        if (blob_file_->IsOpen())
            blob_file_->ReadHeader();
    }
}

void TDataTable::FlushFiles() {
    if (read_only_ || directory_.Session().ForceBufferFlush())
        return;
    SyncFilesTogether(false, HasBlobs());
}

// Each file's sync writes its pages out and waits for the device on its own;
// the index file's (and the blob file's) run beside the data file's, so the
// files go to the device together and the statement waits about as long as the
// slowest sync rather than their sum. Megabytes to sync, as a batch's end
// leaves, get helper threads of their own. A few pages, as a durable post
// leaves, take less time to sync than a thread takes to start on a busy
// machine: the index file's goes to the process's sync worker, which is always
// there; a blob file's, or the index file's when the worker is busy with another
// thread's, runs here after the data file's, its writing started before the
// first sync waits. The files are independent of each other on disk: all of the
// flush is written before any sync starts, so no order between the syncs is
// owed. Every sync finishes before the first failure goes on. A failure stays
// with the file that failed (TPhysicalFile::SyncFailure) and with this table's
// mark; other tables' files, whose pages the system has not dropped, go on
// syncing as before.
void TDataTable::SyncFilesTogether(bool written_only, bool blobs, TSyncBeside* index_started) {
    index_file_->FinishWriteBehind();
    auto sync = [written_only](TFileHandler& file) {
        if (written_only)
            file.SyncWritten();
        else
            file.Flush();
    };
    if (data_file_->InMemory()) {
        // Memory files have nothing to wait for.
        return;
    }
    // An index sync the caller started on the worker is finished here; one the worker could
    // not take runs here after the data file's, as any other.
    const bool beside_worth =
        (index_started == nullptr && index_file_->UnsyncedBytes() >= kSyncBesideBytes) ||
        (blobs && blob_file_->UnsyncedBytes() >= kSyncBesideBytes);
    std::exception_ptr index_failure;
    std::exception_ptr blob_failure;
    auto beside = [&](TFileHandler& file, std::exception_ptr& failure) {
        return std::thread([&sync, &file, &failure] {
            try {
                sync(file);
            } catch (...) {
                failure = std::current_exception();
            }
        });
    };
    std::thread index_sync;
    std::thread blob_sync;
    if (beside_worth) {
        try {
            if (index_started == nullptr)
                index_sync = beside(*index_file_, index_failure);
        } catch (const std::system_error&) {
            // No thread to be had: the sync runs here.
        }
        if (blobs) {
            try {
                blob_sync = beside(*blob_file_, blob_failure);
            } catch (const std::system_error&) {
            }
        }
    }
    TSyncBeside own_index_beside;
    TSyncBeside& index_beside = index_started != nullptr ? *index_started : own_index_beside;
    // A file whose sync does not go beside starts its writing before the data file's sync
    // waits, and is synced after it.
    if (!index_sync.joinable() &&
        (index_started != nullptr ? !index_started->Beside()
                                  : !index_beside.Start(*index_file_, written_only))) {
        index_file_->StartSyncWritten();
    }
    if (blobs && !blob_sync.joinable())
        blob_file_->StartSyncWritten();
    std::exception_ptr failure;
    try {
        sync(*data_file_);
    } catch (...) {
        failure = std::current_exception();
    }
    auto finish = [&](std::thread& helper, std::exception_ptr& own, auto here) {
        if (helper.joinable()) {
            helper.join();
        } else {
            try {
                here();
            } catch (...) {
                own = std::current_exception();
            }
        }
        if (!failure)
            failure = own;
    };
    finish(index_sync, index_failure, [&] { index_beside.Finish(); });
    if (blobs)
        finish(blob_sync, blob_failure, [&] { sync(*blob_file_); });
    if (failure) {
        KeepMarkAfterFailedSync();
        std::rethrow_exception(failure);
    }
}

bool TDataTable::KeptLiveRecords(std::uint64_t edits, std::int64_t slots,
                                 TRecordsBitmap& into) const {
    if (!live_records_kept_ || live_records_edits_ != edits ||
        live_records_.RecordCount() != slots) {
        return false;
    }
    into.Assign(live_records_);
    return true;
}

void TDataTable::KeepLiveRecords(std::uint64_t edits, const TRecordsBitmap& records) {
    live_records_.Assign(records);
    live_records_edits_ = edits;
    live_records_kept_ = true;
}

bool TDataTable::LiveRecordsStand(std::uint64_t edits) {
    if (live_records_kept_ && live_records_edits_ == edits)
        return true;
    if (index_file_->GetRoot(kHiddenIndexSlot) != 0 || data_file_->GetRecordSlots() != 0)
        return false;
    live_records_.SetRecordCount(0);
    live_records_edits_ = edits;
    live_records_kept_ = true;
    return true;
}

void TDataTable::NoteLiveRecord(std::uint64_t edits, std::uint32_t record, bool live) {
    const std::int64_t count = live_records_.RecordCount();
    // Records are added one slot at a time; anything else is not followed.
    if (record == 0 || record > count + 1) {
        DropLiveRecords();
        return;
    }
    if (record > count)
        live_records_.SetRecordCount(record);
    if (live)
        live_records_.SetBit(record);
    else
        live_records_.ClearBit(record);
    live_records_edits_ = edits;
}

bool TDataTable::RefreshIfChanged() {
    bool changed = false;
    if (index_file_->HeaderChanged()) {
        index_file_->ClearPageCaches(true);
        data_file_->ReadHeader();
        changed = true;
    } else {
        changed = data_file_->HeaderChanged();
    }
    if (changed) {
        if (fresh_record_ != 0 && locked_.IsSet(fresh_record_) &&
            data_file_->RecordLockReleases() == fresh_record_releases_) {
            data_file_->ClearRecordCacheKeeping(fresh_record_);
        } else {
            data_file_->ClearRecordCache();
        }
        DropLiveRecords();
    }
    if (HasBlobs() && blob_file_->HeaderChanged()) {
        blob_file_->ClearBlockCache();
        changed = true;
    }
    return changed;
}

}  // namespace strata
