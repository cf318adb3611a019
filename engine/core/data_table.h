#pragma once

// TDataTable: one open physical table, shared by every cursor of one
// directory that has it open. It owns the data, index and blob files, builds
// their names, and carries the table's locking state towards other programs:
// record locks, the table lock, the header read and write locks and the
// update batch. It also notices changes other programs made to the files.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/core/blob_file.h"
#include "engine/core/data_file.h"
#include "engine/core/index_file.h"
#include "engine/core/table_descriptors.h"
#include "engine/core/table_file_link.h"
#include "engine/storage/records_bitmap.h"

namespace strata {

class TDataDirectory;
class TSyncBeside;

// Everything a new table is made from. The first index definition is the
// primary index; one without fields means the table has none.
struct TableDefinition {
    std::vector<FieldDescriptor> fields;
    std::vector<IndexDescriptor> indexes;
    std::string description;
    std::string password;
    bool encrypted = false;
    std::uint32_t blob_block_size = 512;
    std::uint16_t language = 0;
    std::uint16_t sort = 0;
    std::uint16_t user_major = 0;
    std::uint16_t user_minor = 0;
    // Only checked (below -1 is refused); -1 keeps the value.
    std::int64_t last_auto_inc = 0;
    bool allow_no_primary = true;
};

class TDataTable final : public TTableFileOwner {
  public:
    explicit TDataTable(TDataDirectory& directory);
    ~TDataTable() override;
    TDataTable(const TDataTable&) = delete;
    TDataTable& operator=(const TDataTable&) = delete;

    TDataDirectory& Directory() const noexcept { return directory_; }
    const std::string& Name() const noexcept { return name_; }
    void SetName(std::string_view name);
    std::int32_t UseCount() const noexcept { return use_count_; }
    void AddRef() noexcept { ++use_count_; }
    bool IsOpen() const noexcept { return open_; }
    // Whether the last Open read the files, rather than finding them kept open (inside a
    // batch) with changes the files do not hold yet.
    bool FilesJustOpened() const noexcept { return files_just_opened_; }
    bool Exclusive() const noexcept { return exclusive_; }
    void SetExclusive(bool value) noexcept { exclusive_ = value; }
    bool ReadOnly() const noexcept { return read_only_; }
    bool MediaReadOnly() const noexcept { return media_read_only_; }
    bool InMemory() const noexcept { return in_memory_; }
    void SetInMemory(bool value) noexcept { in_memory_ = value; }
    bool Temporary() const noexcept { return temporary_; }
    void SetTemporary(bool value) noexcept { temporary_ = value; }
    bool Sequential() const noexcept { return sequential_; }
    void SetSequential(bool value) noexcept { sequential_ = value; }
    bool IndexRecreated() const noexcept { return index_recreated_; }
    bool HeaderChangesPending() const noexcept { return pending_; }

    TDataFile& DataFile() noexcept { return *data_file_; }
    TIndexFile& IndexFile() noexcept { return *index_file_; }
    TBlobFile& BlobFile() noexcept { return *blob_file_; }
    bool HasBlobs() const { return data_file_->GetBlobFieldCount() > 0 && blob_file_->IsOpen(); }
    // The three change counters, as this table object last saw them.
    std::uint32_t DataCounter() const { return data_file_->GetChangeCounter(); }
    std::uint32_t IndexCounter() const { return index_file_->GetChangeCounter(); }
    std::uint32_t BlobCounter() const {
        return blob_file_->IsOpen() ? blob_file_->GetChangeCounter() : 0;
    }

    void Open();
    void Close(bool discard_temporary);
    // Requires: the definition has been validated.
    void CreateFiles(const TableDefinition& definition);
    void DeleteFiles();
    // Moves the three files to `new_name` (put under the directory unless it
    // names a directory or the table is in memory), or to its backup names.
    void RenameFiles(std::string_view new_name, bool to_backup);
    void BackupIndexFile();
    void RestoreIndexFile(bool keep, bool delete_backup);
    void EmptyFiles();
    // The file name of this table with `extension` (".DAT", ".IDX", ...).
    std::string FileName(std::string_view extension) const;

    // Locks towards other programs; the "changed" results report that the
    // table's files were changed by someone else and the caches dropped.
    // The operation read lock comes with the record without strict change detection, or when
    // `with_read_lock` asks for it; one held on entry is held again on success.
    bool LockRecord(std::uint32_t n, bool with_read_lock = false);
    void UnlockRecord(std::uint32_t n);
    // While `on`, a record unlocked under the write lock keeps its file lock until the write
    // lock goes, and both go in one call: for the unlock at a write's very end.
    void SetUnlocksWithWrite(bool on) noexcept { unlocks_with_write_ = on; }
    bool LockTable();
    void UnlockTable();
    bool BeginReadLock();
    void EndReadLock();
    bool ReadLock();
    void ReadUnlock();
    bool WriteLock();
    void WriteUnlock();
    // WriteUnlock after a flush whose index pages a helper writes: it releases the index
    // file's write lock once they are out.
    void WriteUnlockBehind();
    void BeginBatch();
    void EndBatch(bool commit);
    void CancelBatch();
    bool InBatch() const noexcept { return in_batch_; }
    bool TableLocked() const noexcept { return table_locked_; }
    bool StatementReadLocked() const noexcept { return statement_read_lock_; }

    TRecordsBitmap& CursorLockedRecords() noexcept { return cursor_locked_; }

    // The cursors that asked for the statement read lock, or for the table lock, and still
    // hold it; the table object holds each lock once for all of them. Drop returns how many
    // are left.
    enum class SharedHold { kStatementRead, kTable };
    void AddHolder(SharedHold hold) noexcept { ++HolderCount(hold); }
    int DropHolder(SharedHold hold) noexcept {
        int& count = HolderCount(hold);
        if (count > 0)
            --count;
        return count;
    }

    // The live records a cursor last read from the hidden index, kept for the next cursor:
    // `edits` is the hidden index's edit count when they were read, and any change to its
    // pages, its root or its cache (another program's change drops the cache) moves that
    // count on. True when the kept ones still stand for `edits` and `slots`; they are then
    // copied into `into`.
    bool KeptLiveRecords(std::uint64_t edits, std::int64_t slots, TRecordsBitmap& into) const;
    void KeepLiveRecords(std::uint64_t edits, const TRecordsBitmap& records);
    void DropLiveRecords() noexcept { live_records_kept_ = false; }
    // A cursor's change of the hidden index keeps the kept live records in step, so the next
    // cursor needs no walk: LiveRecordsStand before the change (true when they stand for
    // `edits`; an empty table's stand without any walk), then NoteLiveRecord after it with
    // the index's new edit count and the record made live or not live. Record 0 (not known)
    // drops them.
    bool LiveRecordsStand(std::uint64_t edits);
    void NoteLiveRecord(std::uint64_t edits, std::uint32_t record, bool live);
    void NoteLiveRecordsUnchanged(std::uint64_t edits) noexcept { live_records_edits_ = edits; }
    bool RecordLocked(std::uint32_t n) const { return locked_.IsSet(n); }
    // Records written by this program's cursors: an exclusive table's files count no change
    // per write, and its other cursors learn of one from this count.
    std::uint64_t RecordWrites() const noexcept { return record_writes_; }
    void NoteRecordWrite() noexcept { ++record_writes_; }

    void FlushBuffers(bool trim, bool force_data_header, bool force_index_header);
    void DiscardBuffers(bool trim, bool reread_headers);
    void FlushFiles();
    bool RefreshIfChanged();

    // The table's files carry an in-progress mark from before the first
    // write until a complete flush has written everything (see TDataFile).
    // A hold keeps the mark through flushes for work whose intermediate
    // states must never pass for a sound table (repair, index rebuilds);
    // the first complete flush after the last release clears it. A hold that
    // is never released (the work failed) leaves the mark for the next open
    // to find. Requires: the table is open.
    void HoldWriteMark();
    void ReleaseWriteMark() noexcept;
    // 8961 when the files carry the mark of a write nobody finished.
    void CheckWritesFinished() const;
    // Under a read lock: 8961 when the files carry the mark of a writer that is gone (no
    // program holds the header lock a living writer keeps while its mark stays on).
    void CheckNoWriterDied();

    // TTableFileOwner
    void MarkWritten() override {}
    void BeforeWrite() override;
    void KeptPagesWritten() noexcept override;
    bool InUpdateBatch() const override { return in_batch_; }
    bool WritesAlone() const override { return exclusive_ || write_lock_ || header_lock_; }
    TFileCursor* Reader() const override { return reader_; }
    // The cursor operations bracket their work with this; returns the previous reader.
    TFileCursor* SetReader(TFileCursor* reader) noexcept { return std::exchange(reader_, reader); }
    // How often the operation read lock was taken since the table was opened.
    std::uint64_t OperationReadLocks() const noexcept { return operation_read_locks_; }

  private:
    int& HolderCount(SharedHold hold) noexcept {
        return hold == SharedHold::kTable ? table_lock_holders_ : statement_read_holders_;
    }
    void BuildFileNames();
    // Lets go of every region lock this table object holds, whatever fails; false when one
    // would not go.
    bool ReleaseLocksBeforeClose() noexcept;
    // Closes the three files, dropping what they report.
    void CloseFilesAfterFailure() noexcept;
    void ConfigureFile(TFileHandler& file, std::string_view extension);
    bool RetryLock(const std::function<bool()>& attempt);
    void SizeBitmaps();
    void ReleaseDeferredUnlocks();
    // Releases the table lock. Rows this program's cursors locked under it took no lock of
    // their own: each keeps its byte of the table lock as its record lock, so that it stays
    // held for its cursor throughout. False when the table lock would not go (still held).
    bool GiveBackTableLock();
    void ReleaseHeaderLock();
    void TakeFileWriteLocks();
    bool ChangedInBatch() const;
    // Syncs the table's files side by side (only those written since their last sync when
    // `written_only`). An index sync the caller already started (`index_started`, as
    // `written_only` asks) is finished instead of started again.
    void SyncFilesTogether(bool written_only, bool blobs, TSyncBeside* index_started = nullptr);
    // FlushBuffers(true, true, true) where the files' syncs follow (a batch's end).
    void FlushBuffersBeforeSync();
    // A batch's end that cannot take the write lock (another program's reader held on past
    // the lock wait): the table leaves its batch without writing what the batch changed since
    // its last flush, which is dropped, and lets go of the header and deferred record locks,
    // so that neither this program's caches nor other programs are left with a change that
    // cannot end. Requires: header lock held.
    void EndBatchUnwritten() noexcept;
    // After the sync a batch owed: the in-progress mark comes off.
    void SettleOwedSync();
    // After a failed sync: the mark goes on, or stays, for good.
    void KeepMarkAfterFailedSync() noexcept;

    TDataDirectory& directory_;
    std::int32_t use_count_ = 0;
    std::string name_;
    bool open_ = false;
    bool files_just_opened_ = false;
    bool exclusive_ = false;
    bool read_only_ = false;
    bool media_read_only_ = false;
    bool in_memory_ = false;
    bool temporary_ = false;
    bool sequential_ = false;
    std::unique_ptr<TDataFile> data_file_;
    std::unique_ptr<TIndexFile> index_file_;
    std::unique_ptr<TBlobFile> blob_file_;
    bool index_recreated_ = false;
    TRecordsBitmap locked_;
    TRecordsBitmap cursor_locked_;
    TRecordsBitmap deferred_unlocks_;
    TRecordsBitmap live_records_;
    std::uint64_t live_records_edits_ = 0;
    bool live_records_kept_ = false;
    bool statement_read_lock_ = false;
    int statement_read_holders_ = 0;
    int table_lock_holders_ = 0;
    bool table_locked_ = false;
    bool table_was_locked_ = false;
    bool operation_read_lock_ = false;
    bool write_lock_ = false;
    bool header_lock_ = false;
    bool in_batch_ = false;
    // The write lock is held without its file locks (see WriteLock).
    bool file_locks_deferred_ = false;
    // A record given back under the write lock whose file lock goes with the header lock's, in
    // one call to the system; 0 for none. Nothing of this table counts it as held meanwhile.
    std::uint32_t unlock_with_write_ = 0;
    bool unlocks_with_write_ = false;
    // The record last locked while no other program could write, its cached copy checked
    // against their changes, and the data file's count of lock releases then: while the lock
    // is held and nothing was released, nobody else can have changed it, and its cached copy
    // outlives the caches dropped for another program's change (RefreshIfChanged).
    std::uint32_t fresh_record_ = 0;
    std::uint64_t fresh_record_releases_ = 0;
    void SettleRecordUnlock();
    // Something in the batch changed the table.
    bool batch_changes_ = false;
    // A flush within the batch wrote without syncing; the batch's end syncs.
    bool sync_owed_ = false;
    bool defer_syncs_ = false;
    // The flush under way ends in a sync of the files it writes (a batch's end).
    bool sync_follows_ = false;
    // A sync of one of the files failed since the table was opened: the failed file's later
    // syncs fail too (TPhysicalFile::SyncFailure), and the in-progress mark stays on so that
    // the next open finds that the changes may not all be on disk.
    bool sync_failed_ = false;
    std::uint32_t statement_index_offset_ = 0;
    std::uint32_t statement_blob_offset_ = 0;
    std::uint32_t operation_index_offset_ = 0;
    std::uint32_t operation_blob_offset_ = 0;
    TFileCursor* reader_ = nullptr;
    std::uint64_t operation_read_locks_ = 0;
    std::uint64_t record_writes_ = 0;
    bool pending_ = false;
    bool marks_enabled_ = false;
    bool write_mark_ = false;
    // The mark was synced since it went on: it is on disk (see BeforeWrite).
    bool mark_synced_ = false;
    // After a failed sync the mark was put on and seen to (KeepMarkAfterFailedSync).
    bool mark_kept_ = false;
    int mark_holds_ = 0;
    // A flush whose index pages the index file's helper writes leaves the mark to the helper,
    // which takes it off after the last page (KeptPagesWritten); until the caller settles it
    // (SettleMarkBehind) write_mark_ stays set. A write before that takes the mark back from
    // the helper, or puts it on again after it.
    void HandMarkToHelper();
    // Whether the mark comes off once a flush that syncs nothing has written all it covers.
    bool MarkMayComeOff() const;
    void SettleMarkBehind() noexcept;
    bool mark_behind_ = false;
    // Guards mark_owed_, mark_cleared_ and mark_off_flag_ while the helper may run. Nothing else
    // is locked or waited for under it: the flag byte goes out by a positional write, which takes
    // no file object's lock.
    std::mutex mark_mutex_;
    bool mark_owed_ = false;
    bool mark_cleared_ = false;
    std::uint8_t mark_off_flag_ = 0;
};

}  // namespace strata
