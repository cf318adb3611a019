#pragma once

// TFileHandler: one user's handle of a table file (data, index, blob, backup
// or sort file) on a file object shared through the process-wide registry.
// The engine core's file classes derive from it.
//
// Every failure is raised as an engine error naming the handler's file in
// the table-name place.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/storage/file_objects.h"

namespace strata {

// Tests stop a program between two changes of its files: the hook, when set,
// runs before every write, cut, creation, copy, move and delete of a file.
using FileStepHook = void (*)();
void SetFileStepHook(FileStepHook hook) noexcept;
void FileStep();
// Tests act while a byte-range lock is waited for: the hook, when set, runs on the waiting
// thread after each refused attempt, before the pause.
using FileLockWaitHook = void (*)();
void SetFileLockWaitHook(FileLockWaitHook hook) noexcept;
void FileLockWait();
// Tests make the release of a byte-range lock fail: the hook, when set, is asked before each
// release (also one that keeps some bytes), and a false answer refuses it, the lock staying held.
using FileUnlockHook = bool (*)(std::int64_t start, std::int64_t length);
void SetFileUnlockHook(FileUnlockHook hook) noexcept;

class TFileHandler {
  public:
    TFileHandler() = default;
    // Closes an open handler.
    virtual ~TFileHandler();
    TFileHandler(const TFileHandler&) = delete;
    TFileHandler& operator=(const TFileHandler&) = delete;

    // Nothing when open; 11010 for a missing file.
    virtual void Open();
    // Closes the handle whatever happens; then raises a failed sync of what a write-through
    // file's last handle leaves unsynced (or of an earlier failure its file remembers).
    virtual void Close();
    // Creates (or empties) the file for exclusive use and opens it.
    virtual void CreateFile();
    virtual void DeleteFile();
    virtual void RenameFile(std::string_view new_name);
    // Requires for both copies: the handler is open (else nothing happens).
    virtual void CopyToFile(std::string_view target_name, bool target_in_memory);
    void CopyFromFile(std::string_view source_name, bool source_in_memory);
    // Reads at this handle's position; 9217 for a short count unless allowed.
    virtual std::int64_t Read(std::span<std::byte> buffer, bool short_read_allowed = false);
    std::int64_t Read(void* buffer, std::size_t n, bool short_read_allowed = false) {
        return Read(std::span<std::byte>(static_cast<std::byte*>(buffer), n), short_read_allowed);
    }
    // Writes all of `data` (9218 otherwise); writing nothing cuts the file at
    // the current position.
    virtual void Write(std::span<const std::byte> data);
    void Write(const void* data, std::size_t n) {
        Write(std::span<const std::byte>(static_cast<const std::byte*>(data), n));
    }
    virtual void Flush();
    // Makes what this file's handles wrote since the last sync durable; one
    // fdatasync, or nothing when nothing was written.
    void SyncWritten();
    // Bytes written to the file since its last sync (0 for a memory file), which a sync has to
    // wait for.
    std::int64_t UnsyncedBytes() const;
    // Starts writing to the device what SyncWritten will wait for, so that
    // the syncs of several files overlap.
    void StartSyncWritten();
    // The same on a helper thread, returning at once, so that the device writes while the
    // caller goes on (see TPhysicalFile::StartWriteBehind).
    void StartWriteBehind();
    // Asks for `length` bytes at `offset` of a file on disk to be read into the system's cache
    // while the caller goes on, for a read soon after; nothing for a memory file.
    void WillNeed(std::int64_t offset, std::int64_t length);
    // Raises the failed sync or write-back of this file that its file object remembers until
    // it is closed (see TPhysicalFile::SyncFailure); nothing otherwise.
    void CheckSyncFailure() const;
    bool SyncFailed() const;
    // See TPhysicalFile::SyncPastFailure; true for a memory file.
    bool SyncPastFailure() noexcept;

    // Writes all of `data` at `offset` of a file on disk (9218 otherwise), leaving this
    // handle's position alone; another thread may write this way while the handle's owner
    // reads other bytes. False, with nothing written, for a memory file or without a file.
    bool WriteAt(std::int64_t offset, std::span<const std::byte> data);
    // Whether WriteAt can write to this handle's file.
    bool WritesAt() const;

    // At least the first `end` bytes of a file on disk, mapped for reading without a copy (see
    // TPhysicalFile::MapForReading); none for a memory file or where the file does not map.
    std::shared_ptr<const platform::os::MappedRange> MapForReading(std::int64_t end);
    // The new position (0 without a file object).
    std::int64_t SeekFile(std::int64_t offset, SeekOrigin origin);
    std::int64_t GetFileSize();
    // Locks (or with lock false unlocks) a byte range; false without a file.
    bool LockRegion(std::int64_t start, std::int64_t length, bool lock);
    // Unlocks two byte ranges, in one call to the system where it can; whether each went.
    std::pair<bool, bool> UnlockRegionPair(std::int64_t first_start, std::int64_t first_length,
                                           std::int64_t second_start, std::int64_t second_length);
    // Unlocks a byte range but for the single bytes in `kept`, which stay locked throughout
    // (see TAbstractFile::UnlockRegionKeeping); `kept` is left with those that do.
    bool UnlockRegionKeeping(std::int64_t start, std::int64_t length,
                             std::vector<std::int64_t>& kept);
    bool FileExists();
    // The file object's critical section, held around a seek and the read or
    // write that follows it. Its lock comes after the registry's and after
    // every lock that may be waited for: while it is held, nothing that goes
    // through the registry (open, close, create, delete, rename, the copies)
    // may be called, and no other file's lock or byte range waited for. A
    // write under it takes it through FileObjectWriteLock (or calls PrepareWrite
    // first), so that what the write must come after is done outside it.
    void LockFileObject();
    void UnlockFileObject();
    // What a write of this file must come after and may wait for (the owning
    // table's in-progress mark on another file and its deferred file locks),
    // done before the file object's lock is taken. A table file's Write runs it
    // too, and finds nothing left to do.
    virtual void PrepareWrite() {}

    // Holds the file object's critical section for a scope, exceptions included.
    class FileObjectLock {
      public:
        explicit FileObjectLock(TFileHandler& handler) : handler_(handler) {
            handler_.LockFileObject();
        }
        ~FileObjectLock() { handler_.UnlockFileObject(); }
        FileObjectLock(const FileObjectLock&) = delete;
        FileObjectLock& operator=(const FileObjectLock&) = delete;

      private:
        TFileHandler& handler_;
    };

    // As FileObjectLock, for a seek and the writes that follow it: PrepareWrite first.
    class FileObjectWriteLock {
      public:
        explicit FileObjectWriteLock(TFileHandler& handler) : handler_(handler) {
            handler_.PrepareWrite();
            handler_.LockFileObject();
        }
        ~FileObjectWriteLock() { handler_.UnlockFileObject(); }
        FileObjectWriteLock(const FileObjectWriteLock&) = delete;
        FileObjectWriteLock& operator=(const FileObjectWriteLock&) = delete;

      private:
        TFileHandler& handler_;
    };

    const std::string& Name() const noexcept { return name_; }
    void SetName(std::string_view name) { name_ = name; }
    bool InMemory() const noexcept { return in_memory_; }
    void SetInMemory(bool value) noexcept { in_memory_ = value; }
    bool Exclusive() const noexcept { return exclusive_; }
    void SetExclusive(bool value) noexcept { exclusive_ = value; }
    bool ReadOnly() const noexcept { return read_only_; }
    void SetReadOnly(bool value) noexcept { read_only_ = value; }
    bool ReadOnlyOnDisk() const noexcept { return read_only_on_disk_; }
    bool IsOpen() const noexcept { return open_; }
    bool Temporary() const noexcept { return temporary_; }
    void SetTemporary(bool value) noexcept { temporary_ = value; }
    bool WriteThrough() const noexcept { return write_through_; }
    void SetWriteThrough(bool value) noexcept { write_through_ = value; }
    bool Sequential() const noexcept { return sequential_; }
    void SetSequential(bool value) noexcept { sequential_ = value; }
    std::int32_t HandleId() const noexcept { return handle_id_; }
    TAbstractFile* FileObject() const noexcept { return file_.get(); }

  private:
    // The sync's result before the last handle of a write-through file closes: 0 or a
    // negative code.
    std::int32_t CloseHandle() noexcept;
    // The engine error `code` naming this file, with the operating system's error number
    // behind it (0 when the failure was the engine's own).
    [[noreturn]] void Raise(std::int64_t code, int os_error = 0) const;
    // Raise for a negative result of the file layer just now, with its error number.
    [[noreturn]] void RaiseFailed(std::int64_t code) const { Raise(code, LastFileOsError()); }

    bool in_memory_ = false;
    std::shared_ptr<TAbstractFile> file_;
    std::string name_;
    std::int32_t handle_id_ = 0;
    bool exclusive_ = false;
    bool read_only_ = false;
    bool read_only_on_disk_ = false;
    bool open_ = false;
    bool temporary_ = false;
    bool write_through_ = false;
    bool sequential_ = false;
};

}  // namespace strata
