#pragma once

// TDataFile: the open data file (".DAT") of one table.
//
// File layout (all integers little-endian):
//   0                      127 bytes   header
//   127                    768 x n     field descriptors, field 1 first
//   127 + 768 n            rs x slots  records; record k at 127 + 768 n + (k - 1) rs
//
// Header:
//   0 u32 change counter            4 u32 blob block size (0 = 512)
//   8 u8  version (4)               9 u32 first free record (0 = none)
//  13 u32 next record slot         17 u32 last auto-increment value
//  21 u16 record size              23 u16 field count (1..1024)
//  25 u16 blob field count (<= 64) 27 f64 time of last write - 693594.0
//  35 S[50] description (scrambled with the text key when encrypted)
//  86 u8  encrypted                87 S[15] password (scrambled likewise)
// 103 u16 language                105 u16 sort
// 107 u16 first user word         109 u16 second user word
// 111 u8  header-changed flag of the writer: 0 or 1, or 2 from before the
//          first write of the table's files until the last one is done,
//          so a file that still holds 2 was cut short while written
// 112 u32 last blob number        116 u32 engine version stamp 20600
// 120 u32 0                       124 3 bytes zero
//
// Record: 0 u8 status (0 in use, 1 free), 1 u32 own number or next free,
// 5 u32 record ID, then per stored field a flag byte and its value.
//
// Byte-range locks (far above any data byte): record n at 2147483646 - n,
// the table at 2047483645 for 100000001 bytes (exactly records 1..100000001),
// the header at 2147483647.

#include <algorithm>
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/storage/engine_heap.h"

#include "engine/core/header_changes.h"
#include "engine/core/record_cache_table.h"
#include "engine/core/record_pool.h"
#include "engine/core/table_descriptors.h"
#include "engine/core/table_file_link.h"
#include "engine/storage/file_handler.h"

namespace strata {

class TIndexFile;

inline constexpr std::size_t kDataHeaderSize = 127;
inline constexpr std::uint8_t kTableFileVersion = 4;
inline constexpr std::uint32_t kEngineVersionStamp = 20600;
inline constexpr std::uint32_t kMaxFieldCount = 1024;
inline constexpr std::uint32_t kMaxBlobFields = 64;
inline constexpr std::uint32_t kMaxRecordSlot = 100000000;
inline constexpr std::int64_t kMaxTableFileSize = 2000000000;
inline constexpr std::uint32_t kMaxAutoIncrement = 2147483647;
inline constexpr double kHeaderTimeBias = 693594.0;
inline constexpr std::uint32_t kHeaderLockTries = 8193;
inline constexpr std::uint8_t kWriteInProgressFlag = 2;
inline constexpr std::uint32_t kLockRetrySleepMs = 3;
// The most bytes of records the read window holds for a statement changing many of them. A
// window up to this size keeps its bytes through a trim, so that the next statement over the
// same records reads none of them again; it goes with the rest of the record cache when
// another program changes the table.
inline constexpr std::size_t kChangeWindowBytes = std::size_t{32} << 20;

inline constexpr std::int64_t kRecordLockBase = 2147483646;
inline constexpr std::int64_t kTableLockStart = 2047483645;
inline constexpr std::int64_t kTableLockLength = 100000001;
inline constexpr std::int64_t kHeaderLockByte = 2147483647;

namespace dh {
inline constexpr std::size_t kChangeCounter = 0;
inline constexpr std::size_t kBlobBlockSize = 4;
inline constexpr std::size_t kVersion = 8;
inline constexpr std::size_t kFirstFree = 9;
inline constexpr std::size_t kNextSlot = 13;
inline constexpr std::size_t kLastAutoInc = 17;
inline constexpr std::size_t kRecordSize = 21;
inline constexpr std::size_t kFieldCount = 23;
inline constexpr std::size_t kBlobFieldCount = 25;
inline constexpr std::size_t kTime = 27;
inline constexpr std::size_t kDescription = 35;
inline constexpr std::size_t kEncrypted = 86;
inline constexpr std::size_t kPassword = 87;
inline constexpr std::size_t kLanguage = 103;
inline constexpr std::size_t kSort = 105;
inline constexpr std::size_t kUserWord1 = 107;
inline constexpr std::size_t kUserWord2 = 109;
inline constexpr std::size_t kHeaderChanged = 111;
inline constexpr std::size_t kLastBlobNumber = 112;
inline constexpr std::size_t kVersionStamp = 116;
inline constexpr std::size_t kStampZero = 120;
inline constexpr std::size_t kDescriptionLength = 50;
inline constexpr std::size_t kPasswordLength = 15;
}  // namespace dh

using DataHeader = std::array<std::uint8_t, kDataHeaderSize>;

class TDataFile : public TFileHandler {
  public:
    using MergeCallback = std::function<void(TRecord& previous, TRecord& current)>;
    using RecordCallback = std::function<void(TRecord& record)>;
    using AcceptCallback = std::function<bool(TRecord& record)>;

    explicit TDataFile(TTableFileOwner* owner = nullptr);
    ~TDataFile() override;

    void Open() override;
    void Close() override;
    // Every write of the table's data tells the owning table first.
    using TFileHandler::Write;
    void Write(std::span<const std::byte> data) override;
    void PrepareWrite() override;
    // Creates the file with a new header and the given descriptors. Requires:
    // a name is set. The user words are stored as given (107 first, 109 second).
    void CreateDataFile(std::uint16_t language, std::uint16_t sort,
                        std::span<const FieldDescriptor> descriptors, std::uint32_t blob_block_size,
                        std::string_view description, std::string_view password, bool encrypted,
                        std::uint16_t first_user_word, std::uint16_t second_user_word);

    void ReadHeader();
    bool HeaderChanged();
    // Writes the header when forced or when it changed; true when it did. With
    // `takes_mark_off` the write is the last of a flush and its image carries the flag the
    // header settles to instead of the in-progress flag: it takes the mark off itself.
    bool WriteHeader(bool force, bool takes_mark_off = false);
    void MarkChanged();
    void WriteFieldDescriptors();
    // The file held the in-progress flag when its header was last read or
    // written.
    bool WriteInterrupted() const noexcept { return flag_on_disk_ == kWriteInProgressFlag; }
    // Writes the flag byte alone: the in-progress flag, or back the value the
    // last complete header write left. Header writes in between keep the
    // in-progress flag.
    void WriteProgressMark(bool set);
    // The flag byte that takes the mark off, written at its place without this handle's
    // position or state, from another thread while the owner reads (TFileHandler::WriteAt);
    // the owner then notes it with NoteMarkTakenOff. False for a file WriteAt cannot write.
    std::uint8_t SettledFlag() const noexcept { return settled_flag_; }
    bool WriteSettledFlagAt(std::uint8_t flag);
    void NoteMarkTakenOff(std::uint8_t flag) noexcept {
        progress_mark_ = false;
        NoteFlagOnDisk(flag);
    }
    void EmptyFile();

    DataHeader GetHeader() const { return header_; }
    // n is 1-based; 8961 outside 1..field count.
    FieldDescriptor GetFieldDescriptor(std::uint32_t n) const;
    std::optional<FieldDescriptor> FindFieldDescriptor(std::uint16_t field_number) const;
    std::optional<FieldDescriptor> FindFieldDescriptorByName(std::string_view name) const;
    void SetFieldDescriptor(std::uint32_t n, const FieldDescriptor& descriptor);

    std::uint32_t GetFieldCount() const { return GetU16(header_, dh::kFieldCount); }
    std::uint32_t GetBlobFieldCount() const { return GetU16(header_, dh::kBlobFieldCount); }
    std::uint32_t GetRecordSize() const { return GetU16(header_, dh::kRecordSize); }
    std::uint32_t GetBlobBlockSize() const;
    std::uint16_t GetLanguage() const { return GetU16(header_, dh::kLanguage); }
    std::uint16_t GetSort() const { return GetU16(header_, dh::kSort); }
    std::uint16_t GetFirstUserWord() const { return GetU16(header_, dh::kUserWord1); }
    std::uint16_t GetSecondUserWord() const { return GetU16(header_, dh::kUserWord2); }
    std::uint32_t GetLastAutoIncrement() const { return GetU32(header_, dh::kLastAutoInc); }
    std::uint32_t GetRecordSlots() const;
    std::uint32_t GetNextRecordSlot() const { return GetU32(header_, dh::kNextSlot); }
    std::uint32_t GetFirstFreeRecord() const { return GetU32(header_, dh::kFirstFree); }
    std::uint32_t GetChangeCounter() const { return GetU32(header_, dh::kChangeCounter); }
    bool GetEncrypted() const { return header_[dh::kEncrypted] != 0; }
    std::int64_t DescriptorEnd() const {
        return static_cast<std::int64_t>(kDataHeaderSize) + 768 * std::int64_t{GetFieldCount()};
    }
    // The whole records the file holds after its descriptors.
    std::uint32_t WholeRecordSlots();
    // For verification of a damaged header: no record beyond the file's end
    // is read. Only the image changes; the file keeps its header.
    void LimitRecordSlotsToFile();
    // 8961 when the header's counts do not fit the file: descriptors or
    // record slots beyond its end, a record size below the record header,
    // or a free chain starting outside the slots.
    void CheckSizes();
    std::int64_t RecordOffset(std::uint32_t n) const {
        return DescriptorEnd() + (std::int64_t{n} - 1) * GetRecordSize();
    }

    std::string GetDescription() const;
    std::string GetPassword() const;
    void SetDescriptionAndPassword(std::string_view password, std::string_view description,
                                   std::uint16_t second_user_word, std::uint16_t first_user_word,
                                   std::uint32_t last_auto_increment);
    std::uint32_t NextAutoIncrement();
    void SetAutoIncrement(std::uint32_t value);
    std::uint32_t NextBlobNumber();

    // Records. GetRecord pins the record it returns; false (and no record)
    // when the cursor found the table changed by another program.
    bool GetRecord(TFileCursor* cursor, std::uint32_t n, bool forward, bool index_order,
                   bool read_ahead, TRecord*& record);
    // Without a cursor and read-ahead; never returns null.
    TRecord* GetRecord(std::uint32_t n);
    // Copies record n as GetRecord gives it into `out` (its first record-size bytes). A record
    // the read window holds and the cache does not is copied from the window without entering
    // the cache, so a walk through many records does not turn the cache over for each.
    void CopyRecord(std::uint32_t n, std::span<std::uint8_t> out);
    void ReleaseRecord(TRecord* record);
    // A pinned, zeroed record (status 0, its number set, no record ID yet).
    TRecord* AllocateRecord();
    // Whether a new record may go straight to the file, past the record cache: a file in
    // memory that nobody else reads, unscrambled, outside a batch (whose changes stay in the
    // cache until it ends), once the cache is full. There a cached record would only push out
    // another to be written, while records that fit are read back fastest from the cache.
    bool CanAppendDirect() const;
    // Writes `image` (status 0, its number and record ID set) as the record in the next slot.
    // Requires: CanAppendDirect().
    void AppendDirect(std::span<const std::uint8_t> image);
    // Writes whole record images (each status 0, its number and record ID set) into the next
    // slots in one write, past the record cache, which holds no record beyond the last slot.
    // Requires: the table is not encrypted and not in a batch.
    void AppendRecords(std::span<const std::uint8_t> images);
    void FreeRecord(TRecord& record);
    // Frees record n as GetRecord and FreeRecord would. Within a batch a record the read window
    // holds and the cache does not stays out of the cache: its freeing waits beside it for the
    // flush, which writes the same bytes at the same point.
    void FreeStoredRecord(std::uint32_t n);
    // Records freed outside the cache, waiting for the flush.
    std::size_t PendingFreeCount() const noexcept { return pending_frees_.size(); }
    std::uint32_t GetFreeRecord() const;
    bool FlushRecords();
    // Reads records first..last into the read window in one read, for a
    // caller about to visit several of them: the window serves them, and a
    // flush writes changes among them from it. Nothing happens when they are
    // in the window already or do not all exist. New records the file does
    // not hold yet stay out of the window: the record cache has them. Records
    // that follow on from the window extend it while it stays within
    // kChangeWindowBytes; a new window takes room at once for records up to
    // `room_last`, which later reads may add.
    void ReadWindow(std::uint32_t first, std::uint32_t last, std::uint32_t room_last = 0);
    bool InReadWindow(std::uint32_t n) const noexcept { return InWindow(n); }
    // Asks the system to start reading records first..last from the disk while the caller
    // goes on, for a read of them soon after: reads far apart then wait on the device together
    // instead of one after another. Only a hint; nothing for records the file does not hold.
    void HintRecords(std::uint32_t first, std::uint32_t last);
    // Starts bringing record n's bytes in the read window towards the processor, for a caller
    // that asks for the record a little later; nothing when the window does not hold it.
    void PrefetchRecord(std::uint32_t n) const noexcept {
        if (!InWindow(n))
            return;
        const std::size_t rs = GetRecordSize();
        const std::uint8_t* bytes = ReadBuffer() + std::size_t{n - window_first_} * rs;
        for (std::size_t at = 0; at < rs; at += 64)
            __builtin_prefetch(bytes + at);
    }
    void ClearRecordCache();
    // ClearRecordCache but for a clean, unpinned cached copy of record n, which stays: for a
    // record no other program can have changed since it was read.
    void ClearRecordCacheKeeping(std::uint32_t n);
    void TrimRecordCache();
    std::size_t CachedRecordCount() const { return cache_.Size(); }
    std::size_t RecordCacheCapacity() const { return cache_capacity_; }

    bool LockRecord(std::uint32_t n);
    bool UnlockRecord(std::uint32_t n);
    bool LockTable();
    bool UnlockTable();
    // Releases the table lock but keeps the records in `records` locked, each under its own
    // record lock, with no moment in which another program could take one of them; `records`
    // is left with those that stay locked.
    bool UnlockTableKeeping(std::vector<std::uint32_t>& records);
    bool LockHeader();
    bool UnlockHeader();
    // UnlockRecord(n) and UnlockHeader() at once; whether each went (record, header).
    std::pair<bool, bool> UnlockRecordAndHeader(std::uint32_t n);
    // One attempt at the header lock, without waiting.
    bool TryLockHeader();
    // How many releases of record locks, or of the table lock, this file asked for.
    std::uint64_t RecordLockReleases() const noexcept { return record_lock_releases_; }

    // Asks the operating system to put written data on disk.
    void Sync() { Flush(); }

    // The index file beside this one: its no-primary flag decides record
    // reuse, and a sort resets its record count and hidden index.
    void SetIndexFile(TIndexFile* index_file) noexcept { index_file_ = index_file; }
    TIndexFile* IndexFile() const noexcept { return index_file_; }
    TTableFileOwner* Owner() const noexcept { return owner_; }

    // The external sort (table_sort.cpp). Key fields are copies of the
    // descriptors with their descending byte at 253 set as wanted.
    void SortRecords(std::span<const FieldDescriptor> key_fields, bool descending,
                     bool case_insensitive, bool unique, bool group, const MergeCallback& merge,
                     bool finish, const RecordCallback& on_finish, bool accept,
                     const AcceptCallback& on_accept);

    // Verification and repair (table_verifier.cpp).
    void VerifyHeader();
    void RepairHeader(TFileCursor* cursor, bool verify_only);

    struct Statistics {
        std::uint64_t hits = 0;
        std::uint64_t batched_reads = 0;
        std::uint64_t reads = 0;
        std::uint64_t writes = 0;
        // Record bytes read from the file, whole records only.
        std::uint64_t read_bytes = 0;
    };
    const Statistics& GetStatistics() const noexcept { return stats_; }

  private:
    friend class TTableSort;

    void SetHeaderChanged() noexcept { changes_.SetPending(); }
    void ReadDescriptors();
    void SizeRecordCache();
    std::unique_ptr<TRecord> TakeCacheRecord();
    void PrefetchNextTake() const noexcept;
    TRecord* FindCached(std::uint32_t n) const;
    TRecord* InsertCached(std::unique_ptr<TRecord> record);
    std::unique_ptr<TRecord> RemoveCached(std::uint32_t n);
    // A null record stands for a record freed outside the cache, whose new link is `link` (in a
    // flush's list, its place among the waiting frees).
    struct NumberedRecord {
        std::uint32_t number;
        std::uint32_t link = 0;
        TRecord* record;
    };
    // Puts a freed image over the file's bytes of a record: status and link.
    static void PutFreed(std::span<std::uint8_t> image, std::uint32_t link);
    // The waiting free of n, or null.
    const NumberedRecord* FindPendingFree(std::uint32_t n) const;
    // Ascending by number; each record's bytes in the file are still the old ones, which
    // `pending_images_` keeps (a record size each, in the same order), so that a flush after the
    // window moved on need not read them again.
    std::vector<NumberedRecord> pending_frees_;
    std::vector<std::uint8_t> pending_images_;
    void ErasePendingFrees(std::size_t first, std::size_t count);
    // Puts the cached, unpinned records that are changed (or, without `changed`, unchanged)
    // into `out`, ascending by number; true when a pinned record is changed.
    bool UnpinnedInOrder(bool changed, std::vector<NumberedRecord>& out) const;
    // The flush's and the trim's list of records, kept for the next one.
    std::vector<NumberedRecord> flush_list_;
    // One write of a flush: the records first..last, the cached ones (and the waiting frees) at
    // their places in it, and the rules its gaps were bridged by.
    struct FlushRun {
        struct Entry {
            std::uint32_t at;
            TRecord* record;
            std::uint32_t link = 0;
        };
        std::vector<Entry> records;
        std::uint32_t first = 0;
        std::uint32_t last = 0;
        bool pinned_changes = false;
        bool bridge = false;
        bool read_gaps = false;
        // Gaps read from the file; gaps the window gives.
        bool read_span = false;
        bool window_gaps = false;
    };
    std::size_t GatherFlushRun(std::span<const NumberedRecord> dirty, std::size_t i,
                               FlushRun& run) const;
    void FillFlushRun(const FlushRun& run, bool from_window, std::uint8_t* out);
    // Records live on one of two chains: the LRU chain, searched from its
    // tail for a record to evict, and the held chain, where the search parks
    // the changed and pinned records it passes, so that it never walks them
    // again. A use moves a record back to the LRU head; a flush returns the
    // held records it made clean to the LRU tail, oldest last.
    struct RecordChain {
        TRecord* head = nullptr;
        TRecord* tail = nullptr;
    };
    RecordChain& ChainOf(const TRecord* record) { return record->lru_held ? held_ : lru_; }
    void LruUnlink(TRecord* record);
    void LruPushFront(TRecord* record);
    void Hold(TRecord* record);
    // Returns the held records that could be evicted now; true when any.
    bool ReturnHeldRecords();
    TRecord* AppendRecord();
    // Returns the highest record number read.
    std::uint32_t ReadRecords(TFileCursor* cursor, std::uint32_t n, bool forward, bool index_order,
                              bool read_ahead);
    // Reads records first.. (at most `count`) into `out` as far as the file holds them, which
    // for records new since the last flush it may not: the whole records read. The caller
    // holds the file object's lock.
    std::uint32_t ReadWholeRecords(std::uint32_t first, std::uint32_t count, std::uint8_t* out);
    // ReadWholeRecords for a flush's run, taking the records the window holds from it.
    std::uint32_t ReadRunSpan(std::uint32_t first, std::uint32_t count, std::uint8_t* out);
    // Caches record n from the read window; null when the window does not
    // hold it.
    TRecord* FillFromWindow(std::uint32_t n);
    // A cache record for n loaded from `image`, the file's bytes, which are
    // unscrambled in place when the table is encrypted.
    TRecord* LoadCached(std::uint32_t n, std::span<std::uint8_t> image);
    bool InWindow(std::uint32_t n) const noexcept {
        return n >= window_first_ && n - window_first_ < window_count_;
    }
    std::span<const std::uint8_t> WindowImage(std::uint32_t n) const {
        const std::size_t rs = GetRecordSize();
        return {ReadBuffer() + std::size_t{n - window_first_} * rs, rs};
    }
    // Copies bytes just written for records first.. into the window where
    // it holds them, so that it stays equal to the file.
    void PatchWindow(std::uint32_t first, std::span<const std::uint8_t> bytes);
    void DropWindow() noexcept { window_count_ = 0; }
    // Debug builds: the window holds what the file holds.
    void CheckWindow();
    // Counts a cache miss; true once misses have walked forward in small
    // steps twice in a row.
    bool NoticeAscendingMiss(std::uint32_t n);
    bool InBatch() const { return owner_ != nullptr && owner_->InUpdateBatch(); }
    // The cursor of the operation under way, asked to re-check the table on a miss.
    TFileCursor* Reader() const { return owner_ != nullptr ? owner_->Reader() : nullptr; }
    void MarkWrittenByOwner() {
        if (owner_ != nullptr)
            owner_->MarkWritten();
    }

    TTableFileOwner* owner_;
    TIndexFile* index_file_ = nullptr;
    DataHeader header_{};
    HeaderChanges changes_{dh::kChangeCounter, dh::kHeaderChanged};
    void NoteFlagOnDisk(std::uint8_t flag) noexcept {
        flag_on_disk_ = flag;
        if (flag != kWriteInProgressFlag)
            settled_flag_ = flag;
    }
    bool progress_mark_ = false;
    std::uint64_t record_lock_releases_ = 0;
    std::uint8_t flag_on_disk_ = 0;
    std::uint8_t settled_flag_ = 0;
    std::vector<FieldDescriptor> descriptors_;
    bool descriptors_changed_ = false;
    // The last read-ahead's bytes as the file holds them: the read window.
    // Its records enter the cache one at a time when asked for, so a
    // read-ahead neither crowds the cache with records nobody asks for nor
    // is read twice, and a flush can join changed records across the
    // unchanged ones between them. Every record write updates it; every
    // clearing of the cache drops it.
    // The read window's bytes. A window stays with its bytes through a trim (up to
    // kChangeWindowBytes); a new one takes memory from the engine's kept buffers where one
    // fits, with its pages touched, where fresh memory would be cleared and faulted in.
    EngineBuffer read_buffer_;
    std::uint8_t* ReadBuffer() noexcept {
        return reinterpret_cast<std::uint8_t*>(read_buffer_.data());
    }
    const std::uint8_t* ReadBuffer() const noexcept {
        return reinterpret_cast<const std::uint8_t*>(read_buffer_.data());
    }
    // At least `bytes` of read window; what it held is dropped with the window.
    void ReserveReadWindow(std::size_t bytes);
    std::uint32_t window_first_ = 0;
    std::uint32_t window_count_ = 0;
    std::vector<std::uint8_t> record_scratch_;
    std::vector<std::uint8_t> write_buffer_;
    std::uint32_t records_per_buffer_ = 1;
    std::uint32_t last_miss_ = 0;
    std::uint32_t ascending_misses_ = 0;

    // The record cache: its records by number (owning), and their chains.
    TRecordCacheTable cache_;
    RecordChain lru_;
    RecordChain held_;
    std::size_t held_count_ = 0;
    std::size_t HeldFlushThreshold() const { return std::max<std::size_t>(1, cache_capacity_ / 2); }
    // Held records at which an eviction writes the changed ones first, so
    // that changes never crowd reads (and their read-ahead) out of the cache.
    std::size_t flush_at_held_ = 4095;
    std::size_t cache_capacity_ = 8191;
    std::size_t normal_cache_capacity_ = 8191;
    std::unique_ptr<TRecordStack> pool_;
    Statistics stats_;
};

}  // namespace strata
