#include "engine/core/blob_file.h"

#include <algorithm>
#include <cstring>
#include <unordered_set>

#include "engine/core/data_file.h"
#include "engine/core/header_image.h"
#include "engine/core/index_file.h"
#include "engine/storage/byte_order.h"
#include "engine/storage/engine_error_codes.h"
#include "engine/storage/engine_heap.h"
#include "engine/storage/scramble.h"

namespace strata {

namespace {
constexpr std::size_t kBlockBatchGrowth = 255;
// Bytes of blocks one read or one write takes at most.
constexpr std::uint32_t kBlobBufferBytes = 65535;
}  // namespace

void TBlock::Clear(std::uint32_t offset, std::size_t data_size) {
    offset_ = offset;
    previous_ = next_ = 0;
    used_ = 0;
    blob_number_ = 0;
    total_size_ = 0;
    data_.assign(data_size, 0);
    changed_ = false;
}

void TBlock::ReadBlock(std::span<std::uint8_t> bytes, bool encrypted) {
    std::array<std::uint8_t, kBlockHeadSize> head;
    std::memcpy(head.data(), bytes.data(), kBlockHeadSize);
    std::span<std::uint8_t> data = bytes.subspan(kBlockHeadSize, data_.size());
    if (encrypted) {
        UnscrambleBuffer(head, kTableDataKeyLow, kTableDataKeyHigh);
        UnscrambleBuffer(data, kTableDataKeyLow, kTableDataKeyHigh);
    }
    previous_ = GetU32(head, 0);
    next_ = GetU32(head, 4);
    used_ = GetU16(head, 8);
    blob_number_ = GetU32(head, 10);
    total_size_ = GetU32(head, 14);
    std::memcpy(data_.data(), data.data(), data_.size());
    changed_ = false;
}

void TBlock::WriteBlock(std::span<std::uint8_t> bytes, bool encrypted) {
    std::span<std::uint8_t> head = bytes.first(kBlockHeadSize);
    PutU32(head, 0, previous_);
    PutU32(head, 4, next_);
    PutU16(head, 8, used_);
    PutU32(head, 10, blob_number_);
    PutU32(head, 14, total_size_);
    std::span<std::uint8_t> data = bytes.subspan(kBlockHeadSize, data_.size());
    std::memcpy(data.data(), data_.data(), data_.size());
    if (encrypted) {
        ScrambleBuffer(head, kTableDataKeyLow, kTableDataKeyHigh);
        ScrambleBuffer(data, kTableDataKeyLow, kTableDataKeyHigh);
    }
    changed_ = false;
}

std::size_t TBlock::ReadData(std::size_t at, std::span<std::uint8_t> out) const {
    const std::size_t used = std::min<std::size_t>(used_, data_.size());
    // A damaged chain may claim an empty blob: its buffer then has no storage to copy into.
    if (at >= used || out.empty())
        return 0;
    const std::size_t n = std::min(out.size(), used - at);
    std::memcpy(out.data(), data_.data() + at, n);
    return n;
}

void TBlock::WriteData(std::size_t at, std::span<const std::uint8_t> data) {
    if (at + data.size() > data_.size()) {
        RaiseEngineError(kErrInvalidBlobLength, owner_ != nullptr ? owner_->Name() : "");
    }
    std::memcpy(data_.data() + at, data.data(), data.size());
    used_ = static_cast<std::uint16_t>(at + data.size());
    changed_ = true;
}

std::unique_ptr<TBlock> TBlockStack::Get() {
    if (blocks_.empty())
        return std::make_unique<TBlock>(owner_);
    std::unique_ptr<TBlock> block = std::move(blocks_.back());
    blocks_.pop_back();
    block->ResetPins();
    block->lru_prev = block->lru_next = nullptr;
    return block;
}

void TBlockStack::Put(std::unique_ptr<TBlock> block) {
    if (block)
        blocks_.push_back(std::move(block));
}

TBlobFile::TBlobFile(TTableFileOwner* owner)
    : owner_(owner), pool_(std::make_unique<TBlockStack>(this)) {
    // The read and write buffers grow when first used: most tables never read a BLOB.
    SizeCache();
}

TBlobFile::~TBlobFile() {
    try {
        Close();
    } catch (...) {
    }
}

void TBlobFile::SetBlockSize(std::uint32_t size) {
    size &= 0xFFFFu;
    if (size == 0)
        size = kDefaultBlobBlockSize;
    if (size <= kBlockHeadSize)
        RaiseEngineError(kErrBlobLimit, Name());
    if (size != block_size_) {
        ClearBlockCache();
        pool_->Clear();
    }
    block_size_ = size;
    SizeCache();
}

void TBlobFile::SizeCache() {
    blocks_per_buffer_ = std::max<std::uint32_t>(1, kBlobBufferBytes / block_size_);
    normal_cache_capacity_ =
        std::max<std::size_t>(2, std::min<std::size_t>(131070 / block_size_, 32767));
    cache_capacity_ = normal_cache_capacity_;
}

void TBlobFile::Open() {
    if (IsOpen())
        return;
    TFileHandler::Open();
    try {
        ReadHeader();
    } catch (...) {
        TFileHandler::Close();
        throw;
    }
    SizeCache();
    stats_ = {};
}

void TBlobFile::PrepareWrite() {
    if (owner_ != nullptr)
        owner_->BeforeWrite();
}

void TBlobFile::Write(std::span<const std::byte> data) {
    PrepareWrite();
    TFileHandler::Write(data);
}

void TBlobFile::Close() {
    ClearBlockCache();
    if (IsOpen())
        TFileHandler::Close();
}

void TBlobFile::CreateFile() {
    TFileHandler::CreateFile();
    header_.fill(0);
    header_[bh::kVersion] = 4;
    PutU32(header_, bh::kNextBlock, kBlobHeaderSize);
    SetHeaderChanged();
    ClearBlockCache();
    stats_ = {};
}

void TBlobFile::ReadRawHeader(BlobHeader& header) {
    ReadHeaderImage(*this, header, encrypted_);
    header[bh::kHeaderChanged] = 0;
}

void TBlobFile::ReadHeader() {
    ReadRawHeader(header_);
    changes_.Clear();
}

bool TBlobFile::HeaderChanged() {
    BlobHeader h{};
    ReadRawHeader(h);
    return changes_.Adopt(header_, h);
}

void TBlobFile::WriteHeader(bool force) {
    if (!changes_.WriteDue(force))
        return;
    changes_.Write(header_, [&] { WriteHeaderImage(*this, header_, encrypted_); });
}

void TBlobFile::MarkChanged() {
    changes_.CountChange(header_);
    if (owner_ != nullptr)
        owner_->MarkWritten();
}

void TBlobFile::EmptyBlobFile() {
    ClearBlockCache();
    {
        const FileObjectWriteLock lock(*this);
        SeekFile(kBlobHeaderSize, SeekOrigin::kBegin);
        Write(std::span<const std::byte>{});
    }
    header_[bh::kVersion] = 4;
    PutU32(header_, bh::kNextBlock, kBlobHeaderSize);
    PutU32(header_, bh::kFirstFree, 0);
    SetHeaderChanged();
}

std::uint32_t TBlobFile::GetFirstFreeBlock() const {
    return GetU32(header_, bh::kFirstFree);
}
std::uint32_t TBlobFile::GetNextBlockOffset() const {
    return GetU32(header_, bh::kNextBlock);
}
std::uint32_t TBlobFile::GetChangeCounter() const {
    return GetU32(header_, bh::kChangeCounter);
}

bool TBlobFile::ValidBlockOffset(std::uint32_t offset) const {
    return offset >= kBlobHeaderSize && (offset - kBlobHeaderSize) % block_size_ == 0 &&
           offset < GetNextBlockOffset();
}

void TBlobFile::LimitBlocksToFile() {
    const std::int64_t size = GetFileSize();
    const std::int64_t header = kBlobHeaderSize;
    const std::int64_t whole = size <= header ? header : size - (size - header) % block_size_;
    if (GetNextBlockOffset() > whole) {
        ClearBlockCache();
        PutU32(header_, bh::kNextBlock, static_cast<std::uint64_t>(whole));
    }
}

void TBlobFile::LruUnlink(TBlock* b) {
    if (b->lru_prev)
        b->lru_prev->lru_next = b->lru_next;
    if (b->lru_next)
        b->lru_next->lru_prev = b->lru_prev;
    if (lru_head_ == b)
        lru_head_ = b->lru_next;
    if (lru_tail_ == b)
        lru_tail_ = b->lru_prev;
    b->lru_prev = b->lru_next = nullptr;
}

void TBlobFile::LruPushFront(TBlock* b) {
    b->lru_prev = nullptr;
    b->lru_next = lru_head_;
    if (lru_head_)
        lru_head_->lru_prev = b;
    lru_head_ = b;
    if (!lru_tail_)
        lru_tail_ = b;
}

TBlock* TBlobFile::FindCached(std::uint32_t offset) {
    int checked = 0;
    for (TBlock* b = lru_head_; b != nullptr && checked < 4; b = b->lru_next, ++checked) {
        if (b->Offset() == offset)
            return b;
    }
    auto it = std::lower_bound(
        cache_.begin(), cache_.end(), offset,
        [](const std::unique_ptr<TBlock>& b, std::uint32_t o) { return b->Offset() < o; });
    if (it != cache_.end() && (*it)->Offset() == offset)
        return it->get();
    return nullptr;
}

TBlock* TBlobFile::InsertCached(std::unique_ptr<TBlock> block) {
    TBlock* raw = block.get();
    auto it = std::lower_bound(
        cache_.begin(), cache_.end(), raw->Offset(),
        [](const std::unique_ptr<TBlock>& b, std::uint32_t o) { return b->Offset() < o; });
    cache_.insert(it, std::move(block));
    LruPushFront(raw);
    return raw;
}

std::unique_ptr<TBlock> TBlobFile::TakeCacheBlock() {
    if (cache_.size() < cache_capacity_)
        return pool_->Get();
    for (int attempt = 0; attempt < 2; ++attempt) {
        for (TBlock* b = lru_tail_; b != nullptr; b = b->lru_prev) {
            if (b->PinCount() == 0 && !b->Changed()) {
                LruUnlink(b);
                auto it = std::lower_bound(cache_.begin(), cache_.end(), b->Offset(),
                                           [](const std::unique_ptr<TBlock>& x, std::uint32_t o) {
                                               return x->Offset() < o;
                                           });
                std::unique_ptr<TBlock> taken = std::move(*it);
                cache_.erase(it);
                taken->ResetPins();
                return taken;
            }
        }
        if (attempt == 0) {
            if (InBatch())
                break;
            FlushBlocks();
        }
    }
    if (InBatch()) {
        cache_capacity_ += kBlockBatchGrowth;
        return pool_->Get();
    }
    RaiseEngineError(kErrBlobBlockCorrupt, Name());
}

bool TBlobFile::GetBlock(TFileCursor* cursor, std::uint32_t offset, std::uint32_t read_ahead_count,
                         bool read_ahead, TBlock*& block) {
    block = nullptr;
    const std::uint32_t next = GetNextBlockOffset();
    if (offset == 0 || offset < kBlobHeaderSize || (offset - kBlobHeaderSize) % block_size_ != 0 ||
        offset > next) {
        RaiseEngineError(kErrBlobBlockCorrupt, Name());
    }
    if (offset == next) {
        if (std::int64_t{next} + block_size_ > kMaxTableFileSize) {
            RaiseEngineError(kErrTableFull, Name());
        }
        std::unique_ptr<TBlock> fresh = TakeCacheBlock();
        fresh->Clear(offset, DataPerBlock());
        fresh->SetChanged(true);
        fresh->Pin();
        block = InsertCached(std::move(fresh));
        PutU32(header_, bh::kNextBlock, std::uint64_t{next} + block_size_);
        SetHeaderChanged();
        return true;
    }
    TBlock* found = FindCached(offset);
    if (found != nullptr) {
        ++stats_.hits;
    } else {
        if (cursor != nullptr && cursor->RecheckTableChanged())
            return false;
        std::uint32_t count = 1;
        if (read_ahead) {
            count = std::min<std::uint32_t>({blocks_per_buffer_, std::max(read_ahead_count, 1u),
                                             (next - offset) / block_size_});
            count = std::clamp<std::uint32_t>(
                count, 1,
                static_cast<std::uint32_t>(std::max<std::size_t>(1, cache_capacity_ / 2)));
        }
        const std::size_t bytes = std::size_t{count} * block_size_;
        if (io_buffer_.size() < bytes)
            io_buffer_.resize(bytes);
        {
            const FileObjectLock lock(*this);
            SeekFile(offset, SeekOrigin::kBegin);
            Read(io_buffer_.data(), bytes);
        }
        ++stats_.reads;
        if (count > 1)
            ++stats_.batched_reads;
        for (std::uint32_t i = 0; i < count; ++i) {
            const std::uint32_t at = offset + i * block_size_;
            std::span<std::uint8_t> image(io_buffer_.data() + std::size_t{i} * block_size_,
                                          block_size_);
            TBlock* cached = FindCached(at);
            if (cached != nullptr) {
                if (cached->PinCount() == 0 && !cached->Changed()) {
                    cached->ReadBlock(image, encrypted_);
                }
                if (i == 0)
                    cached->Pin();
                continue;
            }
            std::unique_ptr<TBlock> fresh = TakeCacheBlock();
            fresh->Clear(at, DataPerBlock());
            fresh->ReadBlock(image, encrypted_);
            TBlock* inserted = InsertCached(std::move(fresh));
            // The requested block stays pinned while its neighbours come in.
            if (i == 0)
                inserted->Pin();
        }
        found = FindCached(offset);
        if (found != nullptr)
            found->Unpin();
    }
    if (found == nullptr || found->Offset() != offset)
        RaiseEngineError(kErrBlobBlockCorrupt, Name());
    LruUnlink(found);
    LruPushFront(found);
    found->Pin();
    block = found;
    return true;
}

TBlock* TBlobFile::GetBlock(std::uint32_t offset) {
    TBlock* block = nullptr;
    if (!GetBlock(Reader(), offset, 1, false, block))
        throw TableChangedUnder();
    return block;
}

void TBlobFile::ReleaseBlock(TBlock* block) {
    if (block != nullptr)
        block->Unpin();
}

TBlock* TBlobFile::NewBlock(TFileCursor* cursor) {
    const std::uint32_t free_block = GetFirstFreeBlock();
    if (free_block != 0 && !ValidBlockOffset(free_block)) {
        RaiseEngineError(kErrBlobBlockCorrupt, Name());
    }
    const std::uint32_t offset = free_block != 0 ? free_block : GetNextBlockOffset();
    TBlock* block = nullptr;
    if (!GetBlock(cursor, offset, 1, false, block) || block == nullptr) {
        RaiseEngineError(kErrBlobBlockCorrupt, Name());
    }
    if (free_block != 0) {
        // Freed blocks carry no blob number and link onwards. Anything else is
        // a damaged free chain leading into a blob or round to itself: taking
        // the block would overwrite that blob or the one being written.
        if (block->BlobNumber() != 0 || block->PinCount() > 1 || block->Next() == free_block) {
            ReleaseBlock(block);
            RaiseEngineError(kErrBlobBlockCorrupt, Name());
        }
        PutU32(header_, bh::kFirstFree, block->Next());
        SetHeaderChanged();
    }
    block->Clear(offset, DataPerBlock());
    block->SetChanged(true);
    return block;
}

void TBlobFile::FreeBlock(TBlock& block) {
    // A free block carries no blob number, so a stale reference can never
    // take it for a live blob.
    block.SetNext(GetFirstFreeBlock());
    block.SetPrevious(0);
    block.SetBlobNumber(0);
    block.SetTotalSize(0);
    block.SetUsed(0);
    PutU32(header_, bh::kFirstFree, block.Offset());
    SetHeaderChanged();
}

bool TBlobFile::FlushBlocks() {
    std::vector<TBlock*> dirty;
    for (const auto& b : cache_) {
        if (b->Changed() && b->PinCount() == 0)
            dirty.push_back(b.get());
    }
    if (dirty.empty())
        return false;
    std::size_t i = 0;
    while (i < dirty.size()) {
        std::size_t j = i + 1;
        while (j < dirty.size() && dirty[j]->Offset() == dirty[j - 1]->Offset() + block_size_ &&
               (j - i + 1) * block_size_ <= kBlobBufferBytes) {
            ++j;
        }
        const std::size_t bytes = (j - i) * block_size_;
        if (write_buffer_.size() < bytes)
            write_buffer_.resize(bytes);
        std::fill(write_buffer_.begin(), write_buffer_.begin() + static_cast<std::ptrdiff_t>(bytes),
                  0);
        for (std::size_t k = i; k < j; ++k) {
            dirty[k]->WriteBlock(
                std::span(write_buffer_.data() + (k - i) * block_size_, block_size_), encrypted_);
        }
        PrepareWrite();
        LockFileObject();
        try {
            SeekFile(dirty[i]->Offset(), SeekOrigin::kBegin);
            Write(write_buffer_.data(), bytes);
        } catch (...) {
            UnlockFileObject();
            for (std::size_t k = i; k < j; ++k)
                dirty[k]->SetChanged(true);
            throw;
        }
        UnlockFileObject();
        ++stats_.writes;
        if (owner_ != nullptr)
            owner_->MarkWritten();
        i = j;
    }
    return true;
}

void TBlobFile::ClearBlockCache() {
    lru_head_ = lru_tail_ = nullptr;
    for (auto& b : cache_) {
        b->lru_prev = b->lru_next = nullptr;
        pool_->Put(std::move(b));
    }
    cache_.clear();
    cache_capacity_ = normal_cache_capacity_;
}

void TBlobFile::TrimBlockCache() {
    for (std::size_t i = cache_.size(); i-- > 0 && cache_.size() > normal_cache_capacity_;) {
        TBlock* b = cache_[i].get();
        if (b->PinCount() != 0 || b->Changed())
            continue;
        LruUnlink(b);
        pool_->Put(std::move(cache_[i]));
        cache_.erase(cache_.begin() + static_cast<std::ptrdiff_t>(i));
    }
    cache_capacity_ = std::max(normal_cache_capacity_, cache_.size());
}

void TBlobFile::FreeChain(TFileCursor* cursor, std::uint32_t first, std::uint32_t blob_number,
                          std::uint32_t record_number) {
    std::unordered_set<std::uint32_t> visited;
    std::uint32_t offset = first;
    auto fault = [&](std::string_view text) {
        if (cursor != nullptr && cursor->RunningRepair()) {
            cursor->RepairLog(std::string(text) + std::to_string(record_number) + ", error fixed");
            return;
        }
        RaiseEngineError(kErrBlobBlockCorrupt, Name());
    };
    while (offset != 0) {
        if (!ValidBlockOffset(offset)) {
            return fault("Invalid intra-block pointer in BLOB file for physical record # ");
        }
        if (!visited.insert(offset).second) {
            return fault("Recursive intra-block pointer in BLOB file for physical record # ");
        }
        PinnedBlock block(*this, GetBlock(offset));
        if (block->BlobNumber() != blob_number) {
            return fault("Invalid intra-block pointer in BLOB file for physical record # ");
        }
        const std::uint32_t next = block->Next();
        FreeBlock(*block);
        offset = next;
    }
}

bool TBlobFile::WriteLock() {
    return TakeSharedFileWriteLock(*this);
}
bool TBlobFile::WriteUnlock() {
    return LockRegion(kWriteLockStart, kWriteLockLength, false);
}
bool TBlobFile::ReadLock(std::uint32_t& r) {
    return TakeSharedFileReadLock(*this, r);
}
bool TBlobFile::ReadUnlock(std::uint32_t r) {
    return LockRegion(kReadLockTop - r, 1, false);
}

void TBlobBuffer::SetSize(std::int64_t size) {
    if (size < 0 || size > kMaxBlobSize)
        RaiseEngineError(kErrInvalidBlobLength, file_.Name());
    // Near the limit the memory may not be there: 11016, the data held so far kept.
    ResizeEngineVector(data_, static_cast<std::size_t>(size));
    changed_ = true;
}

void TBlobBuffer::ReadBlob(std::uint32_t first_block, std::uint32_t blob_number) {
    data_.clear();
    first_block_ = first_block;
    blob_number_ = blob_number;
    changed_ = false;
    if (first_block == 0)
        return;
    // A reference at the end of the file names no block: getting it would
    // append one, and a read must not grow the file.
    if (!file_.ValidBlockOffset(first_block))
        RaiseEngineError(kErrBlobBlockCorrupt, file_.Name());
    const std::size_t per_block = file_.DataPerBlock();
    TBlock* raw = nullptr;
    // False: the cursor found the table changed by another program; its operation starts over.
    if (!file_.GetBlock(cursor_, first_block, 1, false, raw))
        throw TableChangedUnder();
    if (raw == nullptr)
        RaiseEngineError(kErrRecordChanged, file_.Name());
    PinnedBlock block(file_, raw);
    if (block->BlobNumber() != blob_number)
        RaiseEngineError(kErrRecordChanged, file_.Name());
    const std::uint64_t total = block->TotalSize();
    // No chain in this file can hold more; a damaged size must not turn into
    // a huge allocation.
    const std::uint64_t blocks_in_file =
        (std::uint64_t{file_.GetNextBlockOffset()} - kBlobHeaderSize) / file_.BlockSize();
    if (total > blocks_in_file * per_block || total > static_cast<std::uint64_t>(kMaxBlobSize)) {
        RaiseEngineError(kErrEndOfBlob, file_.Name());
    }
    ResizeEngineVector(data_, static_cast<std::size_t>(total));
    const std::uint64_t needed = std::max<std::uint64_t>(1, (total + per_block - 1) / per_block);
    std::unordered_set<std::uint32_t> visited{first_block};
    std::uint64_t copied = 0;
    while (true) {
        const std::size_t want =
            static_cast<std::size_t>(std::min<std::uint64_t>(per_block, total - copied));
        copied += block->ReadData(0, std::span(data_.data() + copied, want));
        if (copied >= total || block->Next() == 0)
            break;
        const std::uint32_t next = block->Next();
        if (!file_.ValidBlockOffset(next) || !visited.insert(next).second ||
            visited.size() > needed) {
            RaiseEngineError(kErrBlobBlockCorrupt, file_.Name());
        }
        const auto remaining = static_cast<std::uint32_t>(
            std::min<std::uint64_t>(needed - visited.size() + 1, 0xFFFFFFFFu));
        TBlock* next_raw = nullptr;
        if (!file_.GetBlock(cursor_, next, remaining, true, next_raw))
            throw TableChangedUnder();
        if (next_raw == nullptr)
            RaiseEngineError(kErrRecordChanged, file_.Name());
        block = PinnedBlock(file_, next_raw);
        if (block->BlobNumber() != blob_number)
            RaiseEngineError(kErrRecordChanged, file_.Name());
    }
    if (copied != total)
        RaiseEngineError(kErrEndOfBlob, file_.Name());
}

std::uint32_t TBlobBuffer::WriteBlob(std::uint32_t new_blob_number) {
    const std::uint32_t old_first = first_block_;
    const std::uint32_t old_number = blob_number_;
    const std::uint64_t size = data_.size();
    if (size > static_cast<std::uint64_t>(kMaxBlobSize)) {
        RaiseEngineError(kErrInvalidBlobLength, file_.Name());
    }
    if (size == 0) {
        if (old_first != 0)
            file_.FreeChain(cursor_, old_first, old_number, record_number);
        first_block_ = 0;
        blob_number_ = new_blob_number;
        changed_ = false;
        return 0;
    }
    const std::size_t per_block = file_.DataPerBlock();
    std::unordered_set<std::uint32_t> visited;
    PinnedBlock block(file_, nullptr);
    bool from_old = false;
    if (old_first != 0) {
        if (!file_.ValidBlockOffset(old_first))
            RaiseEngineError(kErrBlobBlockCorrupt, file_.Name());
        block = PinnedBlock(file_, file_.GetBlock(old_first));
        if (block->BlobNumber() != old_number)
            RaiseEngineError(kErrRecordChanged, file_.Name());
        visited.insert(old_first);
        from_old = true;
    } else {
        block = PinnedBlock(file_, file_.NewBlock(cursor_));
    }
    const std::uint32_t first = block->Offset();
    std::uint32_t previous = 0;
    std::uint64_t written = 0;
    while (true) {
        const std::uint32_t old_next = from_old ? block->Next() : 0;
        block->SetBlobNumber(new_blob_number);
        block->SetTotalSize(written == 0 ? static_cast<std::uint32_t>(size) : 0);
        block->SetPrevious(previous);
        const std::size_t n =
            static_cast<std::size_t>(std::min<std::uint64_t>(per_block, size - written));
        block->WriteData(0, std::span<const std::uint8_t>(data_.data() + written, n));
        written += n;
        if (written == size) {
            block->SetNext(0);
            // The rest of the old chain goes back to the free chain, as far as
            // its blocks still belong to the old blob.
            std::uint32_t rest = old_next;
            while (rest != 0 && file_.ValidBlockOffset(rest) && visited.insert(rest).second) {
                PinnedBlock old(file_, file_.GetBlock(rest));
                if (old->BlobNumber() != old_number)
                    break;
                rest = old->Next();
                file_.FreeBlock(*old);
            }
            break;
        }
        PinnedBlock next_block(file_, nullptr);
        from_old = false;
        if (old_next != 0 && file_.ValidBlockOffset(old_next) && !visited.contains(old_next)) {
            next_block = PinnedBlock(file_, file_.GetBlock(old_next));
            if (next_block->BlobNumber() == old_number) {
                from_old = true;
                visited.insert(old_next);
            } else {
                next_block.Release();
            }
        }
        if (!from_old)
            next_block = PinnedBlock(file_, file_.NewBlock(cursor_));
        block->SetNext(next_block->Offset());
        previous = block->Offset();
        block = std::move(next_block);
    }
    if (written != size)
        RaiseEngineError(kErrEndOfBlob, file_.Name());
    first_block_ = first;
    blob_number_ = new_blob_number;
    changed_ = false;
    return first;
}

void TBlobBuffer::FreeBlob() {
    if (first_block_ != 0)
        file_.FreeChain(cursor_, first_block_, blob_number_, record_number);
    first_block_ = 0;
    data_.clear();
}

}  // namespace strata
