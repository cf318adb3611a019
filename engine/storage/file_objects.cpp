#include "engine/storage/file_objects.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "engine/storage/engine_error_codes.h"
#include "platform/os/file_system.h"
#include "platform/os/thread.h"

namespace strata {
namespace {

thread_local int last_os_error = 0;

std::int32_t Negative(int code) {
    last_os_error = 0;
    return -static_cast<std::int32_t>(code);
}

std::int32_t Failed(const platform::os::Status& failure) {
    last_os_error = failure.sys_errno();
    return -static_cast<std::int32_t>(failure.code());
}

// A position after moving by `offset`, or nullopt when the sum overflows.
std::optional<std::int64_t> Add(std::int64_t base, std::int64_t offset) {
    std::int64_t sum = 0;
    if (__builtin_add_overflow(base, offset, &sum)) {
        return std::nullopt;
    }
    return sum;
}

}  // namespace

int LastFileOsError() noexcept {
    return last_os_error;
}

void SetLastFileOsError(int error) noexcept {
    last_os_error = error;
}

TAbstractFile::TAbstractFile(std::string_view name) : name_(name) {}

std::int64_t TAbstractFile::FindHandle(std::int32_t id) const {
    for (std::size_t i = 0; i < handles_.size(); ++i) {
        if (handles_[i].id == id) {
            return static_cast<std::int64_t>(i);
        }
    }
    return -1;
}

std::int64_t& TAbstractFile::PositionOf(std::int32_t id) {
    return handles_[static_cast<std::size_t>(FindHandle(id))].position;
}

std::int32_t TAbstractFile::AddHandle() {
    std::lock_guard guard(lock_);
    // The smallest id no open handle holds, so the first handle gets 1.
    std::int32_t id = 1;
    while (FindHandle(id) >= 0) {
        ++id;
    }
    WithEngineMemory([&] { handles_.push_back({id, 0}); });
    return id;
}

std::int32_t TAbstractFile::CreateFile() {
    return AddHandle();
}

std::int32_t TAbstractFile::OpenFile() {
    return AddHandle();
}

void TAbstractFile::CloseHandle(std::int32_t id) {
    std::lock_guard guard(lock_);
    const std::int64_t index = FindHandle(id);
    if (index < 0) {
        return;
    }
    handles_.erase(handles_.begin() + index);
    // Region locks live no longer than the handles that took them.
    if (handles_.empty()) {
        locks_.clear();
    }
}

std::int32_t TAbstractFile::Rename(std::string_view new_name) {
    std::lock_guard guard(lock_);
    name_ = new_name;
    return 0;
}

std::int32_t TAbstractFile::Delete() {
    return 0;
}

std::int64_t TAbstractFile::Read(std::int32_t id, std::span<std::byte> buffer) {
    std::lock_guard guard(lock_);
    if (FindHandle(id) < 0) {
        return Negative(kErrInvalidHandle);
    }
    std::int64_t& position = PositionOf(id);
    const std::int64_t size = CurrentSize();
    if (position < 0 || position >= size) {
        return 0;
    }
    const auto count = std::min(static_cast<std::int64_t>(buffer.size()), size - position);
    position += count;
    return count;
}

std::int64_t TAbstractFile::Write(std::int32_t id, std::span<const std::byte> data) {
    std::lock_guard guard(lock_);
    if (FindHandle(id) < 0) {
        return Negative(kErrInvalidHandle);
    }
    std::int64_t& position = PositionOf(id);
    const auto n = static_cast<std::int64_t>(data.size());
    if (position < 0 || n > kMaxFilePosition - position) {
        return Negative(kErrWrite);
    }
    position += n;
    return n;
}

std::int64_t TAbstractFile::Seek(std::int32_t id, std::int64_t offset, SeekOrigin origin) {
    std::lock_guard guard(lock_);
    if (FindHandle(id) < 0) {
        return Negative(kErrInvalidHandle);
    }
    std::int64_t& position = PositionOf(id);
    std::optional<std::int64_t> target;
    switch (origin) {
        case SeekOrigin::kBegin:
            target = offset;
            break;
        case SeekOrigin::kCurrent:
            target = Add(position, offset);
            break;
        case SeekOrigin::kEnd:
            target = Add(CurrentSize(), offset);
            break;
    }
    if (target) {
        position = *target;
    }
    return position;
}

bool TAbstractFile::LockRegion(std::int64_t start, std::int64_t length) {
    std::lock_guard guard(lock_);
    if (start < 0 || length < 1 || length - 1 > INT64_MAX - start) {
        return false;
    }
    const std::int64_t end = start + length - 1;
    for (const LockRecord& held : locks_) {
        const bool start_inside = start >= held.start && start <= held.end;
        const bool held_inside = held.start >= start && held.start <= end;
        if (start_inside || held_inside) {
            return false;
        }
    }
    WithEngineMemory([&] { locks_.push_back({start, end, length}); });
    return true;
}

bool TAbstractFile::UnlockRegion(std::int64_t start, std::int64_t length) {
    std::lock_guard guard(lock_);
    const auto it = std::find_if(locks_.begin(), locks_.end(), [&](const LockRecord& held) {
        return held.start == start && held.length == length;
    });
    if (it == locks_.end()) {
        return false;
    }
    locks_.erase(it);
    return true;
}

std::pair<bool, bool> TAbstractFile::UnlockRegionPair(std::int64_t first_start,
                                                      std::int64_t first_length,
                                                      std::int64_t second_start,
                                                      std::int64_t second_length) {
    const bool first = UnlockRegion(first_start, first_length);
    const bool second = UnlockRegion(second_start, second_length);
    return {first, second};
}

bool TAbstractFile::UnlockRegionKeeping(std::int64_t start, std::int64_t length,
                                        std::vector<std::int64_t>& kept) {
    std::lock_guard guard(lock_);
    const auto it = std::find_if(locks_.begin(), locks_.end(), [&](const LockRecord& held) {
        return held.start == start && held.length == length;
    });
    if (it == locks_.end() || std::any_of(kept.begin(), kept.end(), [&](std::int64_t byte) {
            return byte < it->start || byte > it->end;
        })) {
        return false;
    }
    std::sort(kept.begin(), kept.end());
    kept.erase(std::unique(kept.begin(), kept.end()), kept.end());
    locks_.erase(it);
    WithEngineMemory([&] {
        for (const std::int64_t byte : kept)
            locks_.push_back({byte, byte, 1});
    });
    return true;
}

TMemoryFile::~TMemoryFile() {
    Release();
}

std::size_t TMemoryFile::BufferCapacity() const noexcept {
    std::size_t total = 0;
    for (const EngineBuffer& piece : pieces_) {
        total += piece.capacity();
    }
    return total;
}

void TMemoryFile::Release() noexcept {
    size_ = 0;
    // For the next memory file to grow into; only pieces past a first block are taken again.
    for (EngineBuffer& piece : pieces_) {
        if (piece.capacity() > static_cast<std::size_t>(kFileBlockSize)) {
            KeepBuffer(std::move(piece));
        }
        piece.Reset();
    }
    pieces_.clear();
}

void TMemoryFile::Reserve(std::int64_t end) {
    const auto wanted_end = static_cast<std::size_t>(end);
    if (pieces_.empty() || pieces_.front().capacity() < kPieceBytes) {
        // Growth at least doubles a first piece that has to move, so a file written from start
        // to end copies its bytes a bounded number of times rather than once per block. Bytes
        // past the file's size are never read, so the growth clears nothing: each byte is
        // touched first by the write that gives it its value.
        const std::size_t capacity = pieces_.empty() ? 0 : pieces_.front().capacity();
        if (wanted_end <= capacity) {
            return;
        }
        const std::size_t wanted =
            std::min(capacity > 0 ? std::max(wanted_end, 2 * capacity) : wanted_end, kPieceBytes);
        const std::size_t block = static_cast<std::size_t>(kFileBlockSize);
        const std::size_t bytes = std::min((wanted + block - 1) / block * block, kPieceBytes);
        if (pieces_.empty()) {
            pieces_.emplace_back();
        }
        EngineBuffer& first = pieces_.front();
        // A file past its first block moves into a buffer an earlier one gave up, if any.
        if (bytes > block) {
            EngineBuffer spare = TakeKeptBuffer(bytes);
            if (!spare.empty()) {
                if (size_ > 0) {
                    std::memcpy(spare.data(), first.data(),
                                std::min(static_cast<std::size_t>(size_), first.capacity()));
                }
                std::swap(first, spare);
                // The smaller buffer left behind serves the next owner that fits it.
                if (spare.capacity() > block) {
                    KeepBuffer(std::move(spare));
                }
            }
        }
        first.Grow(bytes);
        if (wanted_end <= kPieceBytes) {
            return;
        }
    }
    // Past the first piece, whole pieces are added; their memory too comes from buffers given
    // up where there are any, whose pages are touched already.
    while (pieces_.size() * kPieceBytes < wanted_end) {
        EngineBuffer piece = TakeKeptBuffer(kPieceBytes);
        piece.Grow(kPieceBytes);
        pieces_.push_back(std::move(piece));
    }
}

template <typename Pieces, typename Step>
void TMemoryFile::ForEachPieceRun(Pieces& pieces, std::int64_t at, std::size_t count, Step step) {
    auto from = static_cast<std::size_t>(at);
    std::size_t done = 0;
    while (done < count) {
        const std::size_t offset = from % kPieceBytes;
        const std::size_t n = std::min(count - done, kPieceBytes - offset);
        step(pieces[from / kPieceBytes].data() + offset, done, n);
        done += n;
        from += n;
    }
}

void TMemoryFile::CopyOut(std::int64_t at, std::span<std::byte> into) const {
    ForEachPieceRun(pieces_, at, into.size(),
                    [&](const std::byte* piece, std::size_t done, std::size_t n) {
                        std::memcpy(into.data() + done, piece, n);
                    });
}

void TMemoryFile::CopyIn(std::int64_t at, std::span<const std::byte> from) {
    ForEachPieceRun(pieces_, at, from.size(),
                    [&](std::byte* piece, std::size_t done, std::size_t n) {
                        std::memcpy(piece, from.data() + done, n);
                    });
}

void TMemoryFile::Clear(std::int64_t at, std::int64_t count) {
    ForEachPieceRun(pieces_, at, static_cast<std::size_t>(count),
                    [](std::byte* piece, std::size_t, std::size_t n) { std::memset(piece, 0, n); });
}

std::int32_t TMemoryFile::CreateFile() {
    std::lock_guard guard(lock_);
    Release();
    return TAbstractFile::CreateFile();
}

std::int64_t TMemoryFile::CurrentSize() {
    return size_;
}

std::int64_t TMemoryFile::Read(std::int32_t id, std::span<std::byte> buffer) {
    std::lock_guard guard(lock_);
    const std::int64_t count = TAbstractFile::Read(id, buffer);
    if (count > 0) {
        const std::int64_t end = PositionOf(id);
        CopyOut(end - count, buffer.first(static_cast<std::size_t>(count)));
    }
    return count;
}

std::int64_t TMemoryFile::Write(std::int32_t id, std::span<const std::byte> data) {
    std::lock_guard guard(lock_);
    if (FindHandle(id) < 0) {
        return Negative(kErrInvalidHandle);
    }
    const std::int64_t start = PositionOf(id);
    const auto n = static_cast<std::int64_t>(data.size());
    if (start < 0 || start > kMaxFilePosition || n > kMaxFilePosition - start) {
        return Negative(kErrWrite);
    }
    const std::int64_t end = start + n;
    if (end > size_) {
        Reserve(end);
        // Bytes left over from before a truncation must not reappear in a gap.
        if (start > size_) {
            Clear(size_, start - size_);
        }
    }
    if (n == 0) {
        size_ = start;
        return 0;
    }
    CopyIn(start, data);
    size_ = std::max(size_, end);
    return TAbstractFile::Write(id, data);
}

TPhysicalFile::~TPhysicalFile() {
    StopWriteBehind();
    ForgetSyncFailure();
    (void)file_.Close();
}

std::int32_t TPhysicalFile::CreateFile() {
    std::lock_guard guard(lock_);
    FinishWriteBehind();
    mapped_.reset();
    if (file_.IsOpen()) {
        ForgetSyncFailure();
        (void)file_.Close();
    }
    platform::os::CreateOptions options;
    options.delete_on_close = Temporary();
    options.hint =
        Sequential() ? platform::os::AccessHint::kSequential : platform::os::AccessHint::kRandom;
    auto created = platform::os::File::Create(Name(), options);
    if (!created) {
        return Failed(created.status());
    }
    file_ = std::move(*created);
    MarkReadOnly(false, false);
    return TAbstractFile::CreateFile();
}

std::int32_t TPhysicalFile::OpenFile() {
    std::lock_guard guard(lock_);
    if (OpenCount() == 0) {
        const bool read_only = ReadOnly();
        MarkReadOnly(read_only, false);
        const auto attributes = platform::os::GetFileAttributes(Name());
        if (!attributes) {
            return Failed(attributes.status());
        }
        if (attributes->directory) {
            return Negative(kErrInvalidPath);
        }
        if (attributes->read_only) {
            MarkReadOnly(true, true);
        }
        platform::os::OpenOptions options;
        options.share =
            Exclusive() ? platform::os::ShareMode::kExclusive : platform::os::ShareMode::kShared;
        options.read_only = ReadOnly();
        options.delete_on_close = Temporary();
        options.hint = Sequential() ? platform::os::AccessHint::kSequential
                                    : platform::os::AccessHint::kRandom;
        auto opened = platform::os::File::Open(Name(), options);
        if (!opened) {
            return Failed(opened.status());
        }
        file_ = std::move(*opened);
        if (file_.ReadOnlyAttribute()) {
            MarkReadOnly(true, true);
        }
    }
    return TAbstractFile::OpenFile();
}

void TPhysicalFile::CloseHandle(std::int32_t id) {
    std::lock_guard guard(lock_);
    TAbstractFile::CloseHandle(id);
    if (OpenCount() == 0 && file_.IsOpen()) {
        StopWriteBehind();
        // The closing handler synced already, outside the registry's lock
        // (SyncBeforeLastClose), and reports a failure; this finds nothing left to sync unless
        // a handle opened and closed meanwhile wrote.
        if (WriteThrough())
            (void)SyncWritten();
        // The mapping goes first: pages it still maps are not dropped.
        mapped_.reset();
        ForgetSyncFailure();
        (void)file_.Close();
        // What a failed sync left unsynced went with the descriptor and was reported: the next
        // open owes no sync for it.
        unsynced_ = 0;
    }
}

std::int32_t TPhysicalFile::Rename(std::string_view new_name) {
    std::lock_guard guard(lock_);
    const platform::os::Status moved = platform::os::MoveFile(Name(), new_name);
    if (!moved) {
        return Failed(moved);
    }
    return TAbstractFile::Rename(new_name);
}

std::int32_t TPhysicalFile::Delete() {
    std::lock_guard guard(lock_);
    const platform::os::Status deleted = platform::os::DeleteFile(Name());
    return deleted ? 0 : Failed(deleted);
}

std::int64_t TPhysicalFile::CurrentSize() {
    std::lock_guard guard(lock_);
    if (!file_.IsOpen()) {
        return 0;
    }
    const auto size = file_.Size();
    return size ? static_cast<std::int64_t>(*size) : 0;
}

std::shared_ptr<const platform::os::MappedRange> TPhysicalFile::MapForReading(std::int64_t end) {
    std::lock_guard guard(lock_);
    if (mapped_ && static_cast<std::int64_t>(mapped_->size()) >= end) {
        return mapped_;
    }
    if (!file_.IsOpen() || end <= 0) {
        return nullptr;
    }
    const auto size = file_.Size();
    if (!size || *size < static_cast<std::uint64_t>(end)) {
        return nullptr;
    }
    auto range = file_.MapForReading(0, *size);
    if (!range) {
        return nullptr;
    }
    mapped_ = std::make_shared<const platform::os::MappedRange>(std::move(range).value());
    return mapped_;
}

std::int64_t TPhysicalFile::Read(std::int32_t id, std::span<std::byte> buffer) {
    std::lock_guard guard(lock_);
    if (FindHandle(id) < 0 || !file_.IsOpen()) {
        return Negative(kErrInvalidHandle);
    }
    std::int64_t& position = PositionOf(id);
    if (position < 0) {
        return 0;
    }
    if (position > kMaxFilePosition) {
        return Negative(kErrRead);
    }
    const auto read = file_.ReadAt(static_cast<std::uint64_t>(position), buffer);
    if (!read) {
        return Failed(read.status());
    }
    position += static_cast<std::int64_t>(*read);
    return static_cast<std::int64_t>(*read);
}

std::int64_t TPhysicalFile::Write(std::int32_t id, std::span<const std::byte> data) {
    std::lock_guard guard(lock_);
    if (FindHandle(id) < 0 || !file_.IsOpen()) {
        return Negative(kErrInvalidHandle);
    }
    std::int64_t& position = PositionOf(id);
    const auto n = static_cast<std::int64_t>(data.size());
    if (position < 0 || position > kMaxFilePosition || n > kMaxFilePosition - position) {
        return Negative(kErrWrite);
    }
    // A cut counts as a byte: the sync must carry the new size.
    unsynced_ += std::max<std::int64_t>(n, 1);
    if (n == 0) {
        mapped_.reset();
        const platform::os::Status cut = file_.Truncate(static_cast<std::uint64_t>(position));
        return cut ? 0 : Failed(cut);
    }
    const auto written = file_.WriteAt(static_cast<std::uint64_t>(position), data);
    if (!written) {
        return Failed(written.status());
    }
    position += static_cast<std::int64_t>(*written);
    return static_cast<std::int64_t>(*written);
}

bool TPhysicalFile::LockRegion(std::int64_t start, std::int64_t length) {
    std::lock_guard guard(lock_);
    if (!file_.IsOpen() || !TAbstractFile::LockRegion(start, length)) {
        return false;
    }
    const platform::os::Status locked =
        start + length <= static_cast<std::int64_t>(platform::os::kShareLockOffset)
            ? file_.LockRegion(static_cast<std::uint64_t>(start),
                               static_cast<std::uint64_t>(length))
            : platform::os::Status::FromCode(kErrUnknownOs);
    if (!locked) {
        TAbstractFile::UnlockRegion(start, length);
        return false;
    }
    return true;
}

bool TPhysicalFile::UnlockRegion(std::int64_t start, std::int64_t length) {
    std::lock_guard guard(lock_);
    if (!TAbstractFile::UnlockRegion(start, length)) {
        return false;
    }
    if (file_.IsOpen()) {
        (void)file_.UnlockRegion(static_cast<std::uint64_t>(start),
                                 static_cast<std::uint64_t>(length));
    }
    return true;
}

std::pair<bool, bool> TPhysicalFile::UnlockRegionPair(std::int64_t first_start,
                                                      std::int64_t first_length,
                                                      std::int64_t second_start,
                                                      std::int64_t second_length) {
    std::lock_guard guard(lock_);
    const bool first = TAbstractFile::UnlockRegion(first_start, first_length);
    const bool second = TAbstractFile::UnlockRegion(second_start, second_length);
    if (file_.IsOpen()) {
        // As UnlockRegion, the system's answer does not change the result.
        if (first && second) {
            (void)file_.UnlockRegionPair(static_cast<std::uint64_t>(first_start),
                                         static_cast<std::uint64_t>(first_length),
                                         static_cast<std::uint64_t>(second_start),
                                         static_cast<std::uint64_t>(second_length));
        } else if (first || second) {
            (void)file_.UnlockRegion(
                static_cast<std::uint64_t>(first ? first_start : second_start),
                static_cast<std::uint64_t>(first ? first_length : second_length));
        }
    }
    return {first, second};
}

bool TPhysicalFile::UnlockRegionKeeping(std::int64_t start, std::int64_t length,
                                        std::vector<std::int64_t>& kept) {
    std::lock_guard guard(lock_);
    std::vector<std::int64_t> held = kept;
    if (!TAbstractFile::UnlockRegionKeeping(start, length, held)) {
        return false;
    }
    kept = held;
    if (!file_.IsOpen()) {
        return true;
    }
    std::vector<std::uint64_t> bytes(held.begin(), held.end());
    if (!file_.UnlockRegionKeeping(static_cast<std::uint64_t>(start),
                                   static_cast<std::uint64_t>(length), bytes)) {
        // The system held no such range (as UnlockRegion, that is no failure of the release):
        // the kept bytes are asked for on their own.
        bytes.clear();
        for (const std::int64_t byte : held) {
            if (file_.LockRegion(static_cast<std::uint64_t>(byte), 1).ok())
                bytes.push_back(static_cast<std::uint64_t>(byte));
        }
    }
    if (bytes.size() != held.size()) {
        // Bytes the system could not keep, another program took: they are not this one's.
        for (const std::int64_t byte : held) {
            if (std::find(bytes.begin(), bytes.end(), static_cast<std::uint64_t>(byte)) ==
                bytes.end())
                TAbstractFile::UnlockRegion(byte, 1);
        }
        kept.assign(bytes.begin(), bytes.end());
    }
    return true;
}

namespace {
std::atomic<std::uint64_t> sync_count{0};
std::atomic<FileSyncHook> file_sync_hook{nullptr};
std::atomic<FileSyncHook> file_writeback_hook{nullptr};
}  // namespace

void SetFileSyncHook(FileSyncHook hook) noexcept {
    file_sync_hook.store(hook);
}

void SetFileWritebackHook(FileSyncHook hook) noexcept {
    file_writeback_hook.store(hook);
}

std::uint64_t TPhysicalFile::SyncCount() noexcept {
    return sync_count.load(std::memory_order_relaxed);
}

platform::os::Status TPhysicalFile::SyncData() {
    sync_count.fetch_add(1, std::memory_order_relaxed);
    if (const FileSyncHook hook = file_sync_hook.load()) {
        if (const int error = hook(Name()); error != 0)
            return platform::os::Status::FromErrno(error);
    }
    // The file's bytes and size are what a reader needs after a power cut;
    // its times are not, and syncing them costs a journal commit per sync.
    return file_.Flush(platform::os::FlushKind::kDataOnly);
}

std::int32_t TPhysicalFile::SyncOrRecall() {
    if (SyncFailure() != 0)
        return RecallSyncFailure();
    const platform::os::Status synced = SyncData();
    if (!synced) {
        RememberSyncFailure(synced);
        return Failed(synced);
    }
    unsynced_ = 0;
    return 0;
}

void TPhysicalFile::RememberSyncFailure(platform::os::Status failure) noexcept {
    // The first failure is the one that lost bytes; later ones only repeat it.
    std::uint64_t none = 0;
    const std::uint64_t packed = std::uint64_t{static_cast<std::uint32_t>(failure.code())} << 32 |
                                 static_cast<std::uint32_t>(failure.sys_errno());
    (void)sync_failure_.compare_exchange_strong(none, packed, std::memory_order_acq_rel);
}

std::int32_t TPhysicalFile::RecallSyncFailure() const noexcept {
    last_os_error = SyncFailureOsError();
    return -SyncFailure();
}

void TPhysicalFile::ForgetSyncFailure() noexcept {
    if (sync_failure_.exchange(0, std::memory_order_acq_rel) != 0 && file_.IsOpen())
        file_.DropCachedPages();
}

void TPhysicalFile::StartWriteback() noexcept {
    if (const FileSyncHook hook = file_writeback_hook.load()) {
        if (const int error = hook(Name()); error != 0) {
            RememberSyncFailure(platform::os::Status::FromErrno(error));
            return;
        }
    }
    if (const platform::os::Status started = file_.StartWriteback(); !started)
        RememberSyncFailure(started);
}

std::int32_t TPhysicalFile::Flush() {
    std::lock_guard guard(lock_);
    FinishWriteBehind();
    if (!file_.IsOpen()) {
        return 0;
    }
    return SyncOrRecall();
}

std::int32_t TPhysicalFile::WriteAt(std::int64_t offset, std::span<const std::byte> data) {
    // No lock: the caller keeps the file open, and the handles' positions stay as they are.
    if (!file_.IsOpen())
        return Negative(kErrInvalidHandle);
    const auto n = static_cast<std::int64_t>(data.size());
    if (offset < 0 || offset > kMaxFilePosition || n > kMaxFilePosition - offset)
        return Negative(kErrWrite);
    unsynced_ += n;
    const auto written = file_.WriteAt(static_cast<std::uint64_t>(offset), data);
    if (!written)
        return Failed(written.status());
    return *written == data.size() ? 0 : Negative(kErrWrite);
}

void TPhysicalFile::StartSyncWritten() {
    std::lock_guard guard(lock_);
    if (file_.IsOpen() && unsynced_ > 0 && SyncFailure() == 0)
        StartWriteback();
}

void TPhysicalFile::WillNeed(std::int64_t offset, std::int64_t length) {
    if (offset < 0 || length <= 0)
        return;
    std::lock_guard guard(lock_);
    if (file_.IsOpen())
        file_.WillNeed(static_cast<std::uint64_t>(offset), static_cast<std::uint64_t>(length));
}

void TPhysicalFile::StartWriteBehind() {
    std::lock_guard guard(lock_);
    if (!file_.IsOpen() || unsynced_ == 0 || SyncFailure() != 0 ||
        !write_behind_done_.load(std::memory_order_acquire))
        return;
    ForgetForkedWriteBehind();
    if (write_behind_ == nullptr) {
        try {
            auto helper = std::make_unique<WriteBehindThread>();
            // The thread only reads the handle, which stays open until it is stopped.
            helper->thread = std::thread([this, h = helper.get()] { RunWriteBehind(*h); });
            helper->process = platform::os::CurrentProcessId();
            write_behind_ = std::move(helper);
        } catch (const std::system_error&) {
            // No thread to be had: the sync writes it all then.
            return;
        } catch (const std::bad_alloc&) {
            return;
        }
    }
    write_behind_done_.store(false, std::memory_order_relaxed);
    {
        const std::lock_guard lock(write_behind_->mutex);
        write_behind_->pending = true;
    }
    write_behind_->wake.notify_one();
}

void TPhysicalFile::RunWriteBehind(WriteBehindThread& helper) noexcept {
    std::unique_lock lock(helper.mutex);
    for (;;) {
        helper.wake.wait(lock, [&] { return helper.pending || helper.quit; });
        if (!helper.pending)
            return;
        lock.unlock();
        // A failure here is remembered for the sync that waits for these bytes.
        StartWriteback();
        lock.lock();
        helper.pending = false;
        write_behind_done_.store(true, std::memory_order_release);
        helper.settled.notify_one();
    }
}

void TPhysicalFile::ForgetForkedWriteBehind() noexcept {
    if (write_behind_ == nullptr || write_behind_->process == platform::os::CurrentProcessId())
        return;
    (void)write_behind_.release();  // NOLINT(bugprone-unused-return-value): the parent's
    write_behind_done_.store(true, std::memory_order_relaxed);
}

void TPhysicalFile::FinishWriteBehind() noexcept {
    if (write_behind_done_.load(std::memory_order_acquire))
        return;
    ForgetForkedWriteBehind();
    if (write_behind_ == nullptr)
        return;
    std::unique_lock lock(write_behind_->mutex);
    write_behind_->settled.wait(lock, [&] { return !write_behind_->pending; });
}

void TPhysicalFile::StopWriteBehind() noexcept {
    FinishWriteBehind();
    ForgetForkedWriteBehind();
    if (write_behind_ == nullptr)
        return;
    {
        const std::lock_guard lock(write_behind_->mutex);
        write_behind_->quit = true;
    }
    write_behind_->wake.notify_one();
    write_behind_->thread.join();
    write_behind_.reset();
}

bool TPhysicalFile::SyncPastFailure() noexcept {
    std::lock_guard guard(lock_);
    FinishWriteBehind();
    if (!file_.IsOpen())
        return false;
    const std::int64_t covered = unsynced_.load(std::memory_order_relaxed);
    const platform::os::Status synced = SyncData();
    if (!synced) {
        RememberSyncFailure(synced);
        return false;
    }
    if (SyncFailure() == 0)
        unsynced_ -= covered;
    return true;
}

std::int32_t TPhysicalFile::SyncBeforeLastClose() {
    {
        std::lock_guard guard(lock_);
        FinishWriteBehind();
        if (!WriteThrough() || OpenCount() != 1 || !file_.IsOpen())
            return 0;
        if (SyncFailure() != 0)
            return RecallSyncFailure();
        if (unsynced_ == 0)
            return 0;
    }
    // The caller's handle keeps the descriptor open; bytes written meanwhile by a handle
    // opened since stay counted for that handle's close.
    const std::int64_t covered = unsynced_.load(std::memory_order_relaxed);
    const platform::os::Status synced = SyncData();
    if (!synced) {
        RememberSyncFailure(synced);
        return Failed(synced);
    }
    unsynced_ -= covered;
    return 0;
}

std::int32_t TPhysicalFile::SyncWritten() {
    std::lock_guard guard(lock_);
    FinishWriteBehind();
    if (SyncFailure() != 0)
        return RecallSyncFailure();
    if (!file_.IsOpen() || unsynced_ == 0) {
        return 0;
    }
    return SyncOrRecall();
}

}  // namespace strata
