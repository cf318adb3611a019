#include "engine/storage/file_handler.h"

#include <atomic>
#include <cstdlib>

#include "engine/storage/engine_error_codes.h"
#include "engine/storage/file_registry.h"
#include "engine/storage/storage_library.h"

namespace strata {

namespace {
std::atomic<FileStepHook> file_step_hook{nullptr};
std::atomic<FileLockWaitHook> file_lock_wait_hook{nullptr};
std::atomic<FileUnlockHook> file_unlock_hook{nullptr};

bool UnlockAllowed(std::int64_t start, std::int64_t length) {
    const FileUnlockHook hook = file_unlock_hook.load();
    return hook == nullptr || hook(start, length);
}
}  // namespace

void SetFileUnlockHook(FileUnlockHook hook) noexcept {
    file_unlock_hook.store(hook);
}

void SetFileStepHook(FileStepHook hook) noexcept {
    file_step_hook.store(hook);
}

void FileStep() {
    if (const FileStepHook hook = file_step_hook.load())
        hook();
}

void SetFileLockWaitHook(FileLockWaitHook hook) noexcept {
    file_lock_wait_hook.store(hook);
}

void FileLockWait() {
    if (const FileLockWaitHook hook = file_lock_wait_hook.load())
        hook();
}

TFileHandler::~TFileHandler() {
    (void)CloseHandle();
}

void TFileHandler::Raise(std::int64_t code, int os_error) const {
    RaiseEngineFileError(static_cast<EngineErrorCode>(std::llabs(code)), name_, os_error);
}

std::int32_t TFileHandler::CloseHandle() noexcept {
    std::int32_t synced = 0;
    if (handle_id_ >= 1 && file_) {
        // The last handle's sync waits for the device here rather than under the registry's
        // lock, where it would hold up every open and close of the process.
        if (auto* physical = in_memory_ ? nullptr : dynamic_cast<TPhysicalFile*>(file_.get()))
            synced = physical->SyncBeforeLastClose();
        const int os_error = LastFileOsError();
        GlobalFileList().CloseFile(file_.get(), in_memory_, handle_id_);
        SetLastFileOsError(os_error);
    }
    file_.reset();
    handle_id_ = 0;
    open_ = false;
    return synced;
}

void TFileHandler::Open() {
    if (open_) {
        return;
    }
    TFileList& files = GlobalFileList();
    if (!files.FileExists(name_, in_memory_)) {
        Raise(kErrInvalidPath);
    }
    std::shared_ptr<TAbstractFile> file;
    bool read_only_attribute = false;
    const std::int32_t id = files.OpenFile(name_, in_memory_, sequential_, write_through_,
                                           temporary_, exclusive_, read_only_attribute, file);
    if (id < 0) {
        RaiseFailed(id);
    }
    handle_id_ = id;
    file_ = std::move(file);
    read_only_on_disk_ = read_only_attribute;
    open_ = true;
}

void TFileHandler::Close() {
    // Closed all the same; the failed sync is then raised.
    if (const std::int32_t synced = CloseHandle(); synced < 0)
        RaiseFailed(synced);
}

void TFileHandler::CreateFile() {
    FileStep();
    std::shared_ptr<TAbstractFile> file;
    const std::int32_t id = GlobalFileList().CreateFile(name_, in_memory_, temporary_, file);
    if (id < 0) {
        RaiseFailed(id);
    }
    handle_id_ = id;
    file_ = std::move(file);
    read_only_on_disk_ = false;
    open_ = true;
}

void TFileHandler::DeleteFile() {
    FileStep();
    const std::int32_t result = GlobalFileList().DeleteFile(name_, in_memory_);
    if (result < 0) {
        RaiseFailed(result);
    }
}

void TFileHandler::RenameFile(std::string_view new_name) {
    FileStep();
    const std::int32_t result = GlobalFileList().RenameFile(name_, in_memory_, new_name);
    if (result < 0) {
        RaiseFailed(result);
    }
    name_ = new_name;
}

void TFileHandler::CopyToFile(std::string_view target_name, bool target_in_memory) {
    FileStep();
    if (!open_ || !file_) {
        return;
    }
    const std::int32_t result =
        GlobalFileList().CopyToNewFile(*file_, handle_id_, target_name, target_in_memory);
    if (result < 0) {
        RaiseEngineFileError(static_cast<EngineErrorCode>(-result), target_name, LastFileOsError());
    }
}

void TFileHandler::CopyFromFile(std::string_view source_name, bool source_in_memory) {
    FileStep();
    if (!open_ || !file_) {
        return;
    }
    const std::int32_t result =
        GlobalFileList().CopyFromNamedFile(*file_, handle_id_, source_name, source_in_memory);
    if (result < 0) {
        RaiseEngineFileError(static_cast<EngineErrorCode>(-result), source_name, LastFileOsError());
    }
}

std::int64_t TFileHandler::Read(std::span<std::byte> buffer, bool short_read_allowed) {
    if (!file_) {
        Raise(kErrRead);
    }
    const std::int64_t count = file_->Read(handle_id_, buffer);
    if (count < 0)
        RaiseFailed(kErrRead);
    if (!short_read_allowed && count != static_cast<std::int64_t>(buffer.size()))
        Raise(kErrRead);
    return count;
}

void TFileHandler::Write(std::span<const std::byte> data) {
    FileStep();
    if (!file_) {
        Raise(kErrWrite);
    }
    const std::int64_t count = file_->Write(handle_id_, data);
    if (count < 0)
        RaiseFailed(kErrWrite);
    if (count != static_cast<std::int64_t>(data.size()))
        Raise(kErrWrite);
}

void TFileHandler::Flush() {
    if (in_memory_ || !file_) {
        return;
    }
    auto* physical = dynamic_cast<TPhysicalFile*>(file_.get());
    if (physical != nullptr) {
        const std::int32_t result = physical->Flush();
        if (result < 0) {
            RaiseFailed(result);
        }
    }
}

std::int64_t TFileHandler::UnsyncedBytes() const {
    if (in_memory_)
        return 0;
    const auto* physical = dynamic_cast<const TPhysicalFile*>(file_.get());
    return physical != nullptr ? physical->UnsyncedBytes() : 0;
}

void TFileHandler::StartSyncWritten() {
    if (in_memory_ || !file_)
        return;
    if (auto* physical = dynamic_cast<TPhysicalFile*>(file_.get()))
        physical->StartSyncWritten();
}

void TFileHandler::StartWriteBehind() {
    if (in_memory_ || !file_)
        return;
    if (auto* physical = dynamic_cast<TPhysicalFile*>(file_.get()))
        physical->StartWriteBehind();
}

void TFileHandler::WillNeed(std::int64_t offset, std::int64_t length) {
    if (in_memory_ || !file_)
        return;
    if (auto* physical = dynamic_cast<TPhysicalFile*>(file_.get()))
        physical->WillNeed(offset, length);
}

void TFileHandler::CheckSyncFailure() const {
    if (in_memory_)
        return;
    if (const auto* physical = dynamic_cast<const TPhysicalFile*>(file_.get())) {
        if (const std::int32_t failed = physical->SyncFailure(); failed != 0)
            Raise(failed, physical->SyncFailureOsError());
    }
}

bool TFileHandler::SyncFailed() const {
    if (in_memory_)
        return false;
    const auto* physical = dynamic_cast<const TPhysicalFile*>(file_.get());
    return physical != nullptr && physical->SyncFailure() != 0;
}

bool TFileHandler::SyncPastFailure() noexcept {
    if (in_memory_)
        return true;
    auto* physical = dynamic_cast<TPhysicalFile*>(file_.get());
    return physical == nullptr || physical->SyncPastFailure();
}

bool TFileHandler::WritesAt() const {
    return !in_memory_ && dynamic_cast<TPhysicalFile*>(file_.get()) != nullptr;
}

bool TFileHandler::WriteAt(std::int64_t offset, std::span<const std::byte> data) {
    if (in_memory_)
        return false;
    auto* physical = dynamic_cast<TPhysicalFile*>(file_.get());
    if (physical == nullptr)
        return false;
    FileStep();
    const std::int32_t result = physical->WriteAt(offset, data);
    if (result < 0)
        RaiseFailed(kErrWrite);
    return true;
}

void TFileHandler::SyncWritten() {
    if (in_memory_ || !file_) {
        return;
    }
    auto* physical = dynamic_cast<TPhysicalFile*>(file_.get());
    if (physical != nullptr) {
        const std::int32_t result = physical->SyncWritten();
        if (result < 0) {
            RaiseFailed(result);
        }
    }
}

std::int64_t TFileHandler::SeekFile(std::int64_t offset, SeekOrigin origin) {
    if (!file_) {
        return 0;
    }
    return file_->Seek(handle_id_, offset, origin);
}

std::shared_ptr<const platform::os::MappedRange> TFileHandler::MapForReading(std::int64_t end) {
    if (in_memory_ || !file_) {
        return nullptr;
    }
    auto* physical = dynamic_cast<TPhysicalFile*>(file_.get());
    return physical != nullptr ? physical->MapForReading(end) : nullptr;
}

std::int64_t TFileHandler::GetFileSize() {
    if (!file_) {
        return 0;
    }
    file_->Lock();
    const std::int64_t position = file_->Seek(handle_id_, 0, SeekOrigin::kCurrent);
    const std::int64_t size = file_->Seek(handle_id_, 0, SeekOrigin::kEnd);
    file_->Seek(handle_id_, position, SeekOrigin::kBegin);
    file_->Unlock();
    return size;
}

bool TFileHandler::LockRegion(std::int64_t start, std::int64_t length, bool lock) {
    if (!file_) {
        return false;
    }
    if (lock)
        return file_->LockRegion(start, length);
    return UnlockAllowed(start, length) && file_->UnlockRegion(start, length);
}

std::pair<bool, bool> TFileHandler::UnlockRegionPair(std::int64_t first_start,
                                                     std::int64_t first_length,
                                                     std::int64_t second_start,
                                                     std::int64_t second_length) {
    if (!file_) {
        return {false, false};
    }
    const bool first = UnlockAllowed(first_start, first_length);
    const bool second = UnlockAllowed(second_start, second_length);
    if (first && second)
        return file_->UnlockRegionPair(first_start, first_length, second_start, second_length);
    return {first && file_->UnlockRegion(first_start, first_length),
            second && file_->UnlockRegion(second_start, second_length)};
}

bool TFileHandler::UnlockRegionKeeping(std::int64_t start, std::int64_t length,
                                       std::vector<std::int64_t>& kept) {
    return file_ && UnlockAllowed(start, length) && file_->UnlockRegionKeeping(start, length, kept);
}

bool TFileHandler::FileExists() {
    return GlobalFileList().FileExists(name_, in_memory_);
}

void TFileHandler::LockFileObject() {
    if (file_) {
        file_->Lock();
    }
}

void TFileHandler::UnlockFileObject() {
    if (file_) {
        file_->Unlock();
    }
}

}  // namespace strata
