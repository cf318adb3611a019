#pragma once

// TBlobFile: the blob file (".BLB") of one table, a 512-byte header and then
// fixed-size blocks; one blob is a chain of blocks. TBlock is one cached
// block, TBlockStack their pool, TBlobBuffer one whole blob in memory.
//
// Header (scrambled as a whole when the table is encrypted):
//   0 u32 change counter    4 4 bytes zero    8 u8 version (4)
//   9 u32 first free block (0 = none)
//  13 u32 next block offset (512 in a file without blocks)
//  17 u8  header-changed flag of the writer (ignored on reading)
//  18 494 bytes zero
//
// Block (block size bytes at 512 + i * block size; the 18-byte head and the
// data are each scrambled from their own start when encrypted):
//   0 u32 previous block (0 in the first)   4 u32 next block (free: next free)
//   8 u16 data bytes used (<= block size - 18)
//  10 u32 blob number, the same in every block of the chain
//  14 u32 total blob size in the first block, else 0
//  18 ... data
//
// A record's blob field holds u32 offset of the first block, then u32 blob
// number; an empty blob has no blocks and the reference 0.

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "engine/core/header_changes.h"
#include "engine/core/pinned.h"
#include "engine/core/table_file_link.h"
#include "engine/storage/file_handler.h"

namespace strata {

inline constexpr std::size_t kBlobHeaderSize = 512;
inline constexpr std::size_t kBlockHeadSize = 18;
inline constexpr std::uint32_t kDefaultBlobBlockSize = 512;
inline constexpr std::int64_t kMaxBlobSize = 2000000000;

namespace bh {
inline constexpr std::size_t kChangeCounter = 0;
inline constexpr std::size_t kVersion = 8;
inline constexpr std::size_t kFirstFree = 9;
inline constexpr std::size_t kNextBlock = 13;
inline constexpr std::size_t kHeaderChanged = 17;
}  // namespace bh

using BlobHeader = std::array<std::uint8_t, kBlobHeaderSize>;

class TBlobFile;

class TBlock {
  public:
    explicit TBlock(TBlobFile* owner) : owner_(owner) {}

    void Clear(std::uint32_t offset, std::size_t data_size);
    void ReadBlock(std::span<std::uint8_t> bytes, bool encrypted);
    void WriteBlock(std::span<std::uint8_t> bytes, bool encrypted);

    // Copies at most the used bytes from `at`; the count copied.
    std::size_t ReadData(std::size_t at, std::span<std::uint8_t> out) const;
    // Sets the used bytes to at + data.size(); 10029 beyond the block.
    void WriteData(std::size_t at, std::span<const std::uint8_t> data);

    std::uint32_t Offset() const { return offset_; }
    std::uint32_t Previous() const { return previous_; }
    void SetPrevious(std::uint32_t v) {
        previous_ = v;
        changed_ = true;
    }
    std::uint32_t Next() const { return next_; }
    void SetNext(std::uint32_t v) {
        next_ = v;
        changed_ = true;
    }
    std::uint16_t Used() const { return used_; }
    void SetUsed(std::uint16_t v) {
        used_ = v;
        changed_ = true;
    }
    std::uint32_t BlobNumber() const { return blob_number_; }
    void SetBlobNumber(std::uint32_t v) {
        blob_number_ = v;
        changed_ = true;
    }
    std::uint32_t TotalSize() const { return total_size_; }
    void SetTotalSize(std::uint32_t v) {
        total_size_ = v;
        changed_ = true;
    }
    std::size_t Capacity() const { return data_.size(); }

    bool Changed() const { return changed_; }
    void SetChanged(bool v) { changed_ = v; }
    std::uint16_t PinCount() const { return pin_count_; }
    void Pin() { ++pin_count_; }
    void Unpin() {
        if (pin_count_ > 0)
            --pin_count_;
    }
    void ResetPins() { pin_count_ = 0; }

    TBlock* lru_prev = nullptr;
    TBlock* lru_next = nullptr;

  private:
    TBlobFile* owner_;
    bool changed_ = false;
    std::uint16_t pin_count_ = 0;
    std::uint32_t offset_ = 0;
    std::uint32_t previous_ = 0;
    std::uint32_t next_ = 0;
    std::uint16_t used_ = 0;
    std::uint32_t blob_number_ = 0;
    std::uint32_t total_size_ = 0;
    std::vector<std::uint8_t> data_;
};

class TBlockStack {
  public:
    explicit TBlockStack(TBlobFile* owner) : owner_(owner) {}
    std::unique_ptr<TBlock> Get();
    void Put(std::unique_ptr<TBlock> block);
    void Clear() { blocks_.clear(); }

  private:
    TBlobFile* owner_;
    std::vector<std::unique_ptr<TBlock>> blocks_;
};

class TBlobFile : public TFileHandler {
  public:
    explicit TBlobFile(TTableFileOwner* owner = nullptr);
    ~TBlobFile() override;

    void Open() override;
    void Close() override;
    void CreateFile() override;
    // Every write of the table's data tells the owning table first.
    using TFileHandler::Write;
    void Write(std::span<const std::byte> data) override;
    void PrepareWrite() override;

    // From the data file header; 0 means 512. Set before opening.
    void SetBlockSize(std::uint32_t size);
    std::uint32_t BlockSize() const { return block_size_; }
    std::size_t DataPerBlock() const { return block_size_ - kBlockHeadSize; }
    void SetEncrypted(bool value) { encrypted_ = value; }
    bool Encrypted() const { return encrypted_; }

    void ReadHeader();
    bool HeaderChanged();
    void WriteHeader(bool force);
    void MarkChanged();
    void EmptyBlobFile();
    const BlobHeader& Header() const { return header_; }
    std::uint32_t GetFirstFreeBlock() const;
    std::uint32_t GetNextBlockOffset() const;
    std::uint32_t GetChangeCounter() const;
    // True for an offset where a block of this file can start.
    bool ValidBlockOffset(std::uint32_t offset) const;
    // Verification only: blocks past the end of a cut file are taken as
    // outside it, so that their references are reported instead of read.
    void LimitBlocksToFile();

    bool GetBlock(TFileCursor* cursor, std::uint32_t offset, std::uint32_t read_ahead_count,
                  bool read_ahead, TBlock*& block);
    TBlock* GetBlock(std::uint32_t offset);
    void ReleaseBlock(TBlock* block);
    TBlock* NewBlock(TFileCursor* cursor);
    void FreeBlock(TBlock& block);
    bool FlushBlocks();
    void ClearBlockCache();
    void TrimBlockCache();
    std::size_t CachedBlockCount() const { return cache_.size(); }
    std::size_t BlockCacheCapacity() const { return cache_capacity_; }

    // Frees the chain from `first`. A bad link, a loop or a block of another
    // blob raises 8963, or under a repair is reported for `record_number`
    // and ends the freeing there.
    void FreeChain(TFileCursor* cursor, std::uint32_t first, std::uint32_t blob_number,
                   std::uint32_t record_number = 0);

    bool WriteLock();
    bool WriteUnlock();
    bool ReadLock(std::uint32_t& r);
    bool ReadUnlock(std::uint32_t r);
    void Sync() { Flush(); }

    // Verification and repair (table_verifier.cpp). CheckChain and RepairBlob
    // return true when the record's reference must be cleared (repair mode
    // only; verify-only never asks for a change).
    void VerifyHeader();
    void RepairFile(TFileCursor* cursor, bool verify_only);
    bool CheckChain(TFileCursor* cursor, bool verify_only, bool blob_check,
                    std::uint32_t record_number, std::uint32_t blob_number,
                    std::uint32_t reference);
    bool RepairBlob(TFileCursor* cursor, bool verify_only, bool blob_check,
                    std::uint32_t record_number, std::uint32_t blob_number,
                    std::uint32_t reference);

    struct Statistics {
        std::uint64_t hits = 0;
        std::uint64_t reads = 0;
        std::uint64_t batched_reads = 0;
        std::uint64_t writes = 0;
    };
    const Statistics& GetStatistics() const noexcept { return stats_; }

  private:
    void SetHeaderChanged() { changes_.SetPending(); }
    void ReadRawHeader(BlobHeader& header);
    void SizeCache();
    TBlock* FindCached(std::uint32_t offset);
    TBlock* InsertCached(std::unique_ptr<TBlock> block);
    std::unique_ptr<TBlock> TakeCacheBlock();
    void LruUnlink(TBlock* block);
    void LruPushFront(TBlock* block);
    bool InBatch() const { return owner_ != nullptr && owner_->InUpdateBatch(); }
    // The cursor of the operation under way, asked to re-check the table on a miss.
    TFileCursor* Reader() const { return owner_ != nullptr ? owner_->Reader() : nullptr; }

    TTableFileOwner* owner_;
    bool encrypted_ = false;
    std::uint32_t block_size_ = kDefaultBlobBlockSize;
    std::uint32_t blocks_per_buffer_ = 127;
    BlobHeader header_{};
    HeaderChanges changes_{bh::kChangeCounter, bh::kHeaderChanged};
    std::vector<std::unique_ptr<TBlock>> cache_;  // sorted by offset
    TBlock* lru_head_ = nullptr;
    TBlock* lru_tail_ = nullptr;
    std::size_t cache_capacity_ = 255;
    std::size_t normal_cache_capacity_ = 255;
    std::unique_ptr<TBlockStack> pool_;
    std::vector<std::uint8_t> io_buffer_;
    // Flushes run inside reads (evictions), so they never share the read buffer.
    std::vector<std::uint8_t> write_buffer_;
    Statistics stats_;
};

// One blob read into memory and written back as a chain.
class TBlobBuffer {
  public:
    TBlobBuffer(TBlobFile& file, TFileCursor* cursor = nullptr) : file_(file), cursor_(cursor) {}

    // Reads the chain from `first_block`; 8708 when a block belongs to
    // another blob, 8963 for a damaged chain, 8711 when it is short or long.
    void ReadBlob(std::uint32_t first_block, std::uint32_t blob_number);
    // Writes the data as blob `new_blob_number`, reusing the old chain's
    // blocks that still carry the old number; the first block's offset (0 for
    // an empty blob, whose old chain is freed).
    std::uint32_t WriteBlob(std::uint32_t new_blob_number);
    // 10029 beyond the 2,000,000,000-byte limit.
    void SetSize(std::int64_t size);
    std::span<std::uint8_t> GetData() { return {data_.data(), data_.size()}; }
    std::int64_t Size() const { return static_cast<std::int64_t>(data_.size()); }
    void FreeBlob();

    std::uint32_t FirstBlock() const { return first_block_; }
    std::uint32_t BlobNumber() const { return blob_number_; }
    void SetReference(std::uint32_t first_block, std::uint32_t blob_number) {
        first_block_ = first_block;
        blob_number_ = blob_number;
    }
    bool Changed() const { return changed_; }
    void SetChanged(bool v) { changed_ = v; }
    std::uint16_t field_number = 0;
    std::uint32_t record_number = 0;

  private:
    TBlobFile& file_;
    TFileCursor* cursor_;
    bool changed_ = false;
    std::uint32_t blob_number_ = 0;
    std::uint32_t first_block_ = 0;
    std::vector<std::uint8_t> data_;
};

// Pins a block for one scope.
using PinnedBlock = Pinned<TBlobFile, TBlock, &TBlobFile::ReleaseBlock>;

}  // namespace strata
