#pragma once

// TIndexFile: the index file (".IDX") of one table: a 4096-byte header with
// the descriptors of all indexes, then the 4096-byte pages of every index.
//
// Header (scrambled as a whole when the table is encrypted):
//    0 u32 change counter       4 4 bytes zero      8 u8 version (4)
//    9 u32 next page offset (4096 in a file without pages)
//   13 u8  number of secondary indexes (0..30)
//   14 33 x 120 index descriptors: slot 0 primary, 1..30 secondary,
//              31 the hidden "Sys Deleted" index, 32 spare
// 3974 u32 record count       3978 u8 no-primary flag
// 3979 u8  header-changed flag of the writer (ignored on reading)
// 3980 116 bytes zero
//
// Locks (shared with the blob file's layout): write lock 65535 bytes from
// 2147418112; a read lock is one byte at 2147483647 - r, r random in
// 1..65534, inside the write range.

#include <algorithm>
#include <array>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "engine/core/header_changes.h"
#include "engine/core/index_page.h"
#include "engine/core/packed_slab.h"
#include "engine/core/pinned.h"
#include "engine/core/table_descriptors.h"
#include "engine/core/table_file_link.h"
#include "engine/storage/file_handler.h"

namespace strata {

class TDataFile;

inline constexpr int kIndexSlotCount = 33;
inline constexpr int kHiddenIndexSlot = 31;
inline constexpr int kMaxSecondaryIndexes = 30;
inline constexpr std::size_t kIndexHeaderSize = 4096;
// Pages kept per index between flushes; the indexes of a file share their
// sum, counted as memory (4096 bytes a page): a compressed page unpacks to
// more, so fewer of those stay. Only clean or written pages are ever
// dropped, and change detection empties the caches when another program
// writes, so the size changes speed and memory, never what reaches the file.
inline constexpr std::uint32_t kPageCacheCapacity = 4096;
// Page objects of closed index files kept for reuse, at most this many.
inline constexpr std::size_t kPageReserveLimit = 4 * kPageCacheCapacity;
inline constexpr std::size_t kPagesPerReservedChunk = 64;
// Adjacent dirty pages go out in writes of at most this many pages, so the
// staging buffer stays small whatever the size of the cache.
inline constexpr std::size_t kMaxPagesPerWrite = 64;
// A range scan reads leaves that follow each other in the file together, up
// to this many at a time.
inline constexpr std::size_t kMaxPagesPerScanRead = 16;
// Range scans over at most this many leaves keep the leaves they read from the file cached.
inline constexpr std::size_t kKeptScanLeaves = 64;
// Walks through an index keep at most this many of the pages they read from the file and
// nobody asked for again.
inline constexpr std::size_t kKeptScanPages = 1024;
// Changed pages are written behind once they are more than this share
// (in quarters) of the cached pages, so reads keep finding clean pages to
// reuse while pages changed again before the write cost one write.
inline constexpr std::size_t kDirtyQuarters = 3;
inline constexpr std::int64_t kWriteLockStart = 2147418112;
inline constexpr std::int64_t kWriteLockLength = 65535;
inline constexpr std::int64_t kReadLockTop = 2147483647;
inline constexpr std::uint32_t kLockTries = 8193;
// Attempts at the write lock that only yield the processor before its waiting in steps begins.
inline constexpr std::uint32_t kQuickWriteLockAttempts = 32;
inline constexpr char kHiddenIndexName[] = "Sys Deleted";

namespace ih {
inline constexpr std::size_t kChangeCounter = 0;
inline constexpr std::size_t kVersion = 8;
inline constexpr std::size_t kNextPage = 9;
inline constexpr std::size_t kIndexCount = 13;
inline constexpr std::size_t kSlots = 14;
inline constexpr std::size_t kRecordCount = 3974;
inline constexpr std::size_t kNoPrimary = 3978;
inline constexpr std::size_t kHeaderChanged = 3979;
}  // namespace ih

using IndexHeader = std::array<std::uint8_t, kIndexHeaderSize>;

// A random lock offset r in 1..65534, from one generator for the process.
std::uint32_t RandomLockOffset();

// The process's reserve of page chunks (see kPageReserveLimit): take one
// (null when empty), give back (the chunks moved out are emptied; those
// beyond the limit stay with the caller and are freed by it).
std::unique_ptr<TPage[]> TakeReservedChunk();
void ReserveChunks(std::vector<std::unique_ptr<TPage[]>>& chunks);
std::size_t ReservedPageCount();
// Gives the reserve's memory back; the engine's shutdown calls it, so a
// program that stops using tables does not keep their pages.
void ReleasePageReserve();

// A page image (kIndexPageSize bytes, as written to the file) packed for
// the cache's second tier: runs of literal bytes and of zeros, each run
// preceded by its u16 length, literal first. Fixed-width keys are mostly
// zero padding, so an image packs to a fraction of its size.
void PackPageImage(std::span<const std::uint8_t> image, std::vector<std::uint8_t>& packed);
// The most bytes an image packs to: all of it literal, with the lengths of
// every run (a run of zeros is at least a word long).
inline constexpr std::size_t kMaxPackedImage = kIndexPageSize + 4 * (kIndexPageSize / 8 + 1);
// The same into `packed` (kMaxPackedImage bytes at least), returning the
// size; the image's bytes from `zeros_from` on are zero and not looked at.
std::size_t PackPageImage(std::span<const std::uint8_t> image, std::span<std::uint8_t> packed,
                          std::size_t zeros_from);
// Requires: `packed` came from PackPageImage; `image` holds kIndexPageSize bytes.
// With `limit` below the page size, only the image's first `limit` bytes are
// sure to be unpacked (a reader that needs no more stops early).
void UnpackPageImage(std::span<const std::uint8_t> packed, std::span<std::uint8_t> image,
                     std::size_t limit = kIndexPageSize);

// Read and write locks shared by the index and blob files.
bool TakeSharedFileWriteLock(TFileHandler& file);
bool TakeSharedFileReadLock(TFileHandler& file, std::uint32_t& r);

class TIndexFile : public TFileHandler {
  public:
    explicit TIndexFile(TTableFileOwner* owner = nullptr);
    ~TIndexFile() override;

    void Open() override;
    void Close() override;
    void CreateFile() override;
    // Every write of the table's data tells the owning table first.
    using TFileHandler::Write;
    void Write(std::span<const std::byte> data) override;
    void PrepareWrite() override;

    void SetEncrypted(bool value) noexcept { encrypted_ = value; }
    bool Encrypted() const noexcept { return encrypted_; }
    // The data file whose field descriptors the index definitions are checked
    // against.
    void SetDataFile(const TDataFile* data_file) noexcept { data_file_ = data_file; }

    void ReadHeader();
    bool HeaderChanged();
    void WriteHeader(bool force);
    void MarkChanged();
    void EmptyIndexFile();

    void SetPrimaryIndex(const IndexDescriptor& descriptor);
    // Gives the primary index a new definition (none without fields), as a
    // restructure does. Requires: its tree is empty.
    void ReplacePrimaryIndex(const IndexDescriptor& descriptor);
    void AddIndex(const IndexDescriptor& descriptor);
    void DeleteIndex(int slot);
    void SetIndexDescriptor(int slot, const IndexDescriptor& descriptor);
    void SetIndexFields(int slot, std::string_view name, std::span<const std::uint16_t> fields);

    IndexDescriptor GetIndexDescriptor(int slot) const;
    // The same bytes where the header holds them, valid until it changes.
    std::span<const std::uint8_t> IndexDescriptorBytes(int slot) const {
        CheckSlot(slot);
        return std::span<const std::uint8_t>(header_).subspan(SlotAt(slot), kIndexDescriptorSize);
    }
    std::vector<std::uint16_t> GetIndexFields(int slot) const;
    // Changes whenever anything that defines a key or an index may have changed (a created
    // or reread header, another program's header, an index added, dropped or redefined), to
    // a value no file of the process had before: what a reader built from the descriptors
    // stays good while the stamp it was built under does.
    std::uint64_t DescriptorStamp() const noexcept { return descriptor_stamp_; }
    int GetIndexCount() const { return header_[ih::kIndexCount]; }
    // Read by every descent, so in line.
    std::uint32_t GetRoot(int slot) const {
        if (slot < 0 || slot >= kIndexSlotCount)
            CheckSlot(slot);
        return LoadLittle<std::uint32_t>(header_.data() + ih::kSlots +
                                         kIndexDescriptorSize * static_cast<std::size_t>(slot) +
                                         ixd::kRoot);
    }
    void SetRoot(int slot, std::uint32_t page);
    std::uint32_t GetFreePage(int slot) const;
    void SetFreePage(int slot, std::uint32_t page);
    std::uint32_t GetRecordCount() const { return GetU32(header_, ih::kRecordCount); }
    void SetRecordCount(std::uint32_t count);
    void IncRecordCount();
    void DecRecordCount();
    bool GetNoPrimaryIndex() const { return header_[ih::kNoPrimary] != 0; }
    std::uint32_t GetNextPageOffset() const { return GetU32(header_, ih::kNextPage); }
    std::uint32_t GetChangeCounter() const { return GetU32(header_, ih::kChangeCounter); }
    const IndexHeader& Header() const { return header_; }

    // Pages. GetPage pins; false (no page) when the cursor found the table
    // changed by another program.
    bool GetPage(TFileCursor* cursor, int slot, std::uint32_t offset, TPage*& page) {
        page = CachedHit(slot, offset);
        return page != nullptr || GetPage(cursor, slot, offset, page, false);
    }
    TPage* GetPage(int slot, std::uint32_t offset) {
        if (TPage* page = CachedHit(slot, offset); page != nullptr)
            return page;
        return GetPageMissed(slot, offset);
    }
    // The page GetPage would answer from the unpacked tier without reading or making one, as
    // it stands, not pinned or counted as used; null where GetPage would take its full path.
    TPage* CachedPeek(int slot, std::uint32_t offset) const {
        const std::size_t n = offset / kIndexPageSize;
        if (offset % kIndexPageSize != 0 || n >= page_map_.size())
            return nullptr;
        TPage* page = page_map_[n];
        if (page == nullptr || page->slot_ != slot || page->offset_ != offset || offset == 0 ||
            offset >= GetNextPageOffset()) {
            return nullptr;
        }
        return page;
    }
    // GetPage for a page CachedPeek just gave: pinned and counted as used as GetPage counts it.
    TPage* CountHit(TPage* page) {
        ++stats_.hits;
        const std::size_t cost = kPageObjectCharge + page->MemoryBytes();
        cached_bytes_ = cached_bytes_ - page->cache_charge_ + cost;
        page->cache_charge_ = cost;
        page->cache_scanned_ = false;
        page->cache_referenced_ = ChancesOf(*page);
        page->Pin();
        return page;
    }
    // GetPage for a scan along the leaves: a page it has to read from the
    // file goes first when room is needed, without being packed, unless it
    // is asked for again meanwhile; a scan does not push out what is in use.
    TPage* GetScanPage(int slot, std::uint32_t offset);
    void ReleasePage(TPage* page) {
        if (page != nullptr)
            page->Unpin();
    }
    // The record numbers of the leaf at `offset`, for a range scan that wants
    // nothing else: from either cache tier when the page is there, else read
    // from the file without entering the cache, so a long scan neither pushes
    // out the pages in use nor unpacks pages it reads once. `count` is the
    // leaf's entry count as its parent gives it (-1: not known); a plain
    // leaf's read then takes only its entries. Returns the following leaf's
    // offset (0 after the last); a page that is no leaf of the slot, or holds
    // another count, raises 8965.
    std::uint32_t ReadLeafRecords(int slot, std::uint32_t offset,
                                  std::vector<std::uint32_t>& records, std::int64_t count = -1);
    // A leaf of a range scan: where it stands, its entry count as its parent
    // gives it, and how many of its first records the scan takes.
    struct ScanLeaf {
        std::uint32_t offset = 0;
        std::uint32_t count = 0;
        std::uint32_t take = 0;
    };
    using LeafRecordsVisit = std::function<void(std::span<const std::uint32_t> records)>;
    // ReadLeafRecords for every leaf of `leaves`, handing the first `take`
    // records of each to `visit`, leaf by leaf in the order the leaves stand
    // in the file (`leaves` is sorted so), not in key order: leaves in
    // neither cache tier that follow each other in the file are read with
    // one call, which costs far less than a call per leaf when a scan meets
    // thousands of them.
    void ReadLeavesRecords(int slot, std::vector<ScanLeaf>& leaves, const LeafRecordsVisit& visit);
    // A pinned, cleared page of the slot (from its free chain or appended).
    TPage* NewPage(TFileCursor* cursor, int slot);
    void FreePage(TPage& page);
    // The pinned root with the chosen position at 1; null when the index is empty.
    TPage* GetRootPage(TFileCursor* cursor, int slot, PagePosition which);
    bool FlushPages();
    // Write-behind of a flush inside an update batch: between BeginWriteBehind and
    // HandOffKeptPages the changed pages and the header that FlushPages and WriteHeader write
    // are kept instead (the pages count as written at once) and a helper thread writes them in
    // order, starting with the first while the rest are put together; after HandOffKeptPages
    // it writes what is left and then, when asked, lets the file's write lock go, so that other
    // programs still see only whole flushes while the caller goes on with its next rows. Until the
    // writes are done, pages read from the file come from what is kept; every other use of the file
    // waits for them (FinishWriteBehind), and so does the caller before it syncs the file.
    // BeginWriteBehind answers false, keeping nothing, for a file that cannot be written beside its
    // reads (in memory).
    bool BeginWriteBehind();
    // Between BeginWriteBehind and HandOffKeptPages.
    bool KeepingBehind() const noexcept { return behind_.keeping; }
    // Once the kept runs are all written, and before the write lock goes, the owner hears of it
    // (TTableFileOwner::KeptPagesWritten); not after a failed write.
    void HandOffKeptPages(bool release_write_lock);
    // Writes what BeginWriteBehind kept now, on this thread (a flush that failed half-way
    // still writes the pages it took as written). A failure keeps the unwritten bytes for the
    // next FinishWriteBehind and is not raised.
    void WriteKeptNow() noexcept;
    // Waits for the helper; bytes it could not write are tried once more here, the write lock
    // it was to release is released, and a failure is raised (its bytes stay kept, so reads
    // still find them and the next call tries them again).
    void FinishWriteBehind();
    // Waits for the helper and releases the write lock it was to release; bytes it could not
    // write stay kept, for FinishWriteBehind. Raises nothing.
    void SettleWriteBehind() noexcept;
    // Pages each index may keep (kPageCacheCapacity unless set; at least 1);
    // smaller values trade speed for memory.
    void SetPageCacheCapacity(std::size_t pages_per_index) {
        page_capacity_ = std::max<std::size_t>(pages_per_index, 1);
    }
    // Unpacked pages; the packed ones are counted apart.
    std::size_t CachedPageTotal() const noexcept { return cached_total_; }
    std::size_t PackedPageTotal() const noexcept { return packed_.size; }
    // The memory of both tiers, which the budget bounds.
    std::size_t CachedPageBytes() const noexcept { return cached_bytes_ + packed_bytes_; }
    void ClearPageCaches(bool all);
    void TrimPageCaches(bool hidden_too);
    // Whether the primary or a secondary index keeps its keys compressed
    // (such files keep more of the cache unpacked).
    bool AnyCompressedIndex() const;
    // The first entry not below `key` in the leaf at `offset` when that page
    // stands in the packed tier only, searched in its packed image: unpacked
    // no further than its entries and not into the cache, so a lookup that
    // reads one entry costs no page made room for and no leaf put together.
    // The page counts as just used.
    // While the leaves that lookups land on are mostly changed right after
    // (a delete or change of the record just found), a compressed leaf is
    // unpacked into the cache at once instead: the change needs it there
    // anyway. A plain one loses a key where it stands (RemoveFromPackedLeaf).
    enum class PackedSeek { kNotPacked, kAllBelow, kFound };
    PackedSeek SeekPackedLeaf(int slot, std::uint32_t offset, const std::uint8_t* key,
                              const KeyCompare& compare, std::int64_t& position,
                              std::uint32_t& record, std::uint8_t* found);
    // Whether the page at `offset` stands in the packed tier and not unpacked.
    bool StandsPackedOnly(std::uint32_t offset) const {
        return PackedAt(offset) != nullptr && CachedAt(offset) == nullptr;
    }
    // Removes `key` (the first entry equal to it) from the plain leaf at
    // `offset` where that page stands in the packed tier only and the leaf
    // stays at least half full, so that no neighbour changes with it. The
    // leaf stays packed, changed, as the newest packed page; what it unpacks
    // to is what the unpacked leaf would write after the same removal.
    // `before(first)` runs once the removal is sure (the parents' counts go
    // down there); `first` is the leaf's new first key where the removed key
    // was its first, for the parents' separators, else null. If it throws,
    // nothing has changed here. False, with nothing changed and `before` not
    // run, where the leaf must be unpacked for the removal (or the key is not
    // there).
    template <typename Before>
    bool RemoveFromPackedLeaf(int slot, std::uint32_t offset, const std::uint8_t* key,
                              const KeyCompare& compare, Before&& before) {
        // Most pages on a descent are not packed.
        if (PackedAt(offset) == nullptr)
            return false;
        const std::uint8_t* first = nullptr;
        PackedPage* fresh = PackedLeafWithout(slot, offset, key, compare, first);
        if (fresh == nullptr)
            return false;
        try {
            before(first);
        } catch (...) {
            FreePacked(fresh);
            throw;
        }
        ReplacePacked(fresh);
        ++stats_.packed_removals;
        return true;
    }
    // Whether the page at `offset` stands in the packed tier (then perhaps in the unpacked one
    // too, unchanged).
    bool StandsPacked(std::uint32_t offset) const { return PackedAt(offset) != nullptr; }
    // RemoveFromPackedLeaf for a plain leaf that falls below half full by the removal, where it
    // and the neighbour its parent names for it both stand in the packed tier only and hold
    // too many entries together to merge: the two images share the entries out as TPage's
    // redistribution does, both stay packed, changed, and the parent takes the counts and
    // first keys it would. What both unpack to is what the unpacked pages would write.
    // `parent` is the leaf's parent, pinned and linked to its own, with the leaf at
    // `position`; `before()` runs once the change is sure (the parents' counts go down there).
    // If it throws, nothing has changed here. False, with nothing changed and `before` not
    // run, where the pages must be unpacked (a merge, a neighbour unpacked or on disk only, a
    // key that is not there, anything unexpected).
    template <typename Before>
    bool RedistributePackedLeaf(int slot, TPage& parent, std::int64_t position,
                                const std::uint8_t* key, const KeyCompare& compare,
                                Before&& before) {
        PackedShare share;
        if (!SharePackedLeaves(slot, parent, position, key, compare, share))
            return false;
        try {
            before();
        } catch (...) {
            FreePacked(share.left);
            FreePacked(share.right);
            throw;
        }
        ReplacePacked(share.left);
        ReplacePacked(share.right);
        ++stats_.packed_removals;
        ++stats_.packed_redistributions;
        SharedToParent(parent, position, share);
        return true;
    }
    // The leaf a lookup landed on; a change of it before the next lookup
    // counts toward unpacking the leaves of lookups at once.
    // A leaf that a lookup found and the caller then changed is seldom
    // needed again soon once lookups land elsewhere (deletes of records
    // found by a key in random order): in a file of plain indexes it is the
    // first to go when room is needed, while its entries are still in the
    // processor's cache.
    void NoteLookupLeaf(std::uint32_t offset) noexcept {
        if (lookup_leaf_ != 0 && lookups_changed_ > 0)
            --lookups_changed_;
        lookup_leaf_ = offset;
        if (changed_lookup_leaf_ != 0 && changed_lookup_leaf_ != offset) {
            settled_[settled_next_] = changed_lookup_leaf_;
            settled_next_ = (settled_next_ + 1) % kSettledPages;
            settled_count_ = std::min(settled_count_ + 1, kSettledPages);
        }
        changed_lookup_leaf_ = 0;
    }
    void NoteLeafChange(std::uint32_t offset) noexcept {
        if (offset != lookup_leaf_)
            return;
        changed_lookup_leaf_ = offset;
        lookup_leaf_ = 0;
        if (lookups_changed_ < kLookupsWeighed)
            ++lookups_changed_;
    }
    // A leaf that a run of removals or inserts in key order has just left for its neighbour
    // `now` (the run's leaf from here on): it is not met again while the run goes on, so it
    // is the first to go when room is needed, written then when changed, rather than packed
    // for a whole turn of the cache that pushes out leaves still in use. Leaves that do not
    // stand side by side are no run and are left alone.
    void NotePassedLeaf(std::uint32_t left, const TPage& now) noexcept {
        if (left == 0 || left == now.Offset() || (now.Previous() != left && now.Next() != left)) {
            return;
        }
        // The leaf just left may still take in its neighbour when that falls below half:
        // the one before it goes.
        const TPage* before = CachedAt(left);
        if (before == nullptr || before->Slot() != now.Slot())
            return;
        left = now.Previous() == left ? before->Previous() : before->Next();
        if (left == 0)
            return;
        passed_[(passed_first_ + passed_count_) % kPassedPages] = left;
        if (passed_count_ < kPassedPages)
            ++passed_count_;
        else
            passed_first_ = (passed_first_ + 1) % kPassedPages;
    }
    // The page packed in PackPageImage's runs, which unpack to what WritePage
    // writes, built from its entries without putting the image together
    // first (entries at full width; other pages through their image); the
    // page counts as written, as after WritePage. Requires: `packed` holds
    // kMaxPackedImage bytes.
    static std::size_t PackPageEntries(TPage& page, std::span<std::uint8_t> packed);
    // TPage::ReadPage of a packed image whose first run holds the page's
    // header whole (else 8965), without unpacking the image first. Requires:
    // the page set up for its slot; not scrambled; no compressed leaf.
    void ReadPlainPacked(std::span<const std::uint8_t> packed, TPage& page) const;
    // A cached page of the slot, if any (the parent links of moved children).
    TPage* FindCachedPage(int slot, std::uint32_t offset);
    // The cached page at an offset, if any, with the processor asked to load
    // it ahead of use; no checks, no pin (a hint for scans).
    const TPage* PrefetchCachedPage(std::uint32_t offset) const {
        const TPage* page = offset != 0 ? CachedAt(offset) : nullptr;
        if (page != nullptr)
            __builtin_prefetch(page);
        return page;
    }
    // Requires: the page belongs to this file. Called by TPage on its first
    // change after a flush.
    void NoteDirty(TPage& page);
    // A cached page whose entries took or gave back memory in an edit is counted anew, so
    // that the budget holds the bytes the pages hold.
    void NoteMemoryChange(TPage& page);
    // Whether the cache holds less than its budget, so that a page taken in pushes none out.
    // Until it is full, plain pages' buffers are sized to their entries, which is what memory
    // they cost; once it is, the budget bounds the memory and page objects serve page after
    // page, so buffers keep a full page's room instead of being refitted at every split and
    // miss.
    bool CacheHasRoom() const;

    // The locks wait for a write-behind's helper, but leave its failed writes to the next
    // write or read of the file, where the caller's failure handling expects them.
    bool WriteLock() {
        SettleWriteBehind();
        return TakeSharedFileWriteLock(*this);
    }
    bool WriteUnlock() {
        SettleWriteBehind();
        return LockRegion(kWriteLockStart, kWriteLockLength, false);
    }
    bool ReadLock(std::uint32_t& r) {
        SettleWriteBehind();
        return TakeSharedFileReadLock(*this, r);
    }
    bool ReadUnlock(std::uint32_t r) {
        SettleWriteBehind();
        return LockRegion(kReadLockTop - r, 1, false);
    }

    void Sync() {
        FinishWriteBehind();
        Flush();
    }

    // Verification and repair (table_verifier.cpp).
    void VerifyHeader();
    void RepairHeader(TFileCursor* cursor, bool verify_only);
    // The last repair found the primary index's stored key size at odds with
    // its fields: its definition may name the wrong fields.
    bool PrimaryDefinitionDoubtful() const noexcept { return primary_doubtful_; }

    // Every change to a page's content counts one edit of its slot, and
    // every change to the root or to the set of cached pages one of all
    // slots; a remembered descent holds only while its slot's count stands.
    std::uint64_t EditCount(int slot) const {
        return edits_ + slot_edits_.at(static_cast<std::size_t>(slot));
    }
    void CountEdit() noexcept { ++edits_; }
    void CountEdit(int slot) { ++slot_edits_.at(static_cast<std::size_t>(slot)); }

    // The descent of a slot's last search: the interior pages passed
    // (offset, entry position), the leaf and the position of the first key
    // not below the searched one. After a search that did not find its key
    // (missed), an insert of that same key reuses it instead of descending
    // again; a delete reuses it when the leaf holds its key there.
    struct Descent {
        int slot = -1;
        bool missed = false;
        std::uint32_t root = 0;
        std::uint64_t edits = 0;
        std::vector<std::uint8_t> key;
        std::vector<std::pair<std::uint32_t, std::int64_t>> path;
        std::uint32_t leaf = 0;
        std::int64_t leaf_position = 0;
    };
    Descent& RememberedDescent() noexcept { return descent_; }

    // The descent of a slot's last removal: the interior pages passed (offset, entry
    // position) and the leaf. Keys removed in key order (the rows of a statement taken in the
    // order of another index, the hidden index's live keys) mostly lie in the leaf of the
    // removal before, so a removal may go straight there. Only a hint: the tree checks it
    // against the cached pages before it takes it. `misses` counts removals in a row that
    // could not take it, so that a slot whose keys go elsewhere each time stops trying.
    struct RemovalTrail {
        static constexpr std::size_t kMaxDepth = 8;
        std::uint32_t root = 0;
        std::uint32_t leaf = 0;
        std::size_t depth = 0;
        std::array<std::pair<std::uint32_t, std::int64_t>, kMaxDepth> path{};
        std::uint32_t misses = 0;
        std::uint32_t skipped = 0;
    };
    RemovalTrail& LastRemoval(int slot) { return removals_.at(static_cast<std::size_t>(slot)); }
    // The descent of a slot's last insert, kept and checked as a removal's: keys inserted in
    // key order (the freed records' keys of a statement's deletes, growing record IDs) mostly
    // go into the leaf of the insert before.
    RemovalTrail& LastInsertion(int slot) { return insertions_.at(static_cast<std::size_t>(slot)); }
    // Where the last insert into a page of a slot went, and how many inserts in a row before
    // it each went just after the one before: keys coming in order, which pages split where
    // the keys go (TPage::NoteInsertAt). Kept for the pages a slot's inserts went to last,
    // leaves and interior pages apart, and apart from the cached pages, so that pages leave
    // and come back without changing what is written.
    struct InsertRun {
        std::uint32_t page = 0;
        std::uint32_t round = 0;
        std::int64_t position = 0;
        std::uint8_t ordered = 0;
        // Some of those inserts went past a key between.
        bool passing = false;
    };
    static constexpr std::size_t kInsertRuns = 32;
    // The run kept in the place of `page` (its page is another, or 0, when none is kept for it).
    InsertRun& LastInsertRun(int slot, bool interior, std::uint32_t page) {
        SlotRuns& runs = insert_runs_.at(static_cast<std::size_t>(slot));
        InsertRun& run = runs.runs[interior ? 1 : 0][page / kIndexPageSize % kInsertRuns];
        if (run.round != runs.round)
            run = {0, runs.round, 0, 0, false};
        return run;
    }
    // Forgets the slot's runs.
    void ForgetInsertRuns(int slot) { ++insert_runs_.at(static_cast<std::size_t>(slot)).round; }

    struct Statistics {
        std::uint64_t hits = 0;
        std::uint64_t reads = 0;
        std::uint64_t batched_reads = 0;
        std::uint64_t writes = 0;
        std::uint64_t packed_hits = 0;
        // Lookups answered from packed leaves without unpacking them.
        std::uint64_t packed_seeks = 0;
        // Leaves a range scan read from the file without caching them, and
        // the calls that read them.
        std::uint64_t scan_reads = 0;
        std::uint64_t scan_calls = 0;
        // Changed lookup leaves moved out first when room was needed.
        std::uint64_t settled_victims = 0;
        // Keys removed from leaves that stayed packed.
        std::uint64_t packed_removals = 0;
        // Pairs of packed leaves whose entries were shared out again where they stand.
        std::uint64_t packed_redistributions = 0;
        // Leaves left behind by a run in key order that went first when room was needed.
        std::uint64_t passed_victims = 0;
    };
    const Statistics& GetStatistics() const noexcept { return stats_; }

  private:
    // The bytes of a write-behind: runs of page images in the order they were flushed, the
    // header last; `pages` finds a page's image by its offset. The helper starts with the first
    // run and writes each as it comes while the next ones are put together; the images stand
    // in blocks that never move, so a run's bytes stay where the helper reads them.
    struct WriteBehind {
        struct Run {
            std::uint32_t offset = 0;
            const std::uint8_t* data = nullptr;
            std::size_t bytes = 0;
        };
        struct Block {
            std::unique_ptr<std::uint8_t[]> data;
            std::size_t size = 0;
        };
        static constexpr std::size_t kBlockBytes = kMaxPagesPerWrite * kIndexPageSize;
        std::vector<Block> blocks;
        std::size_t block = 0;
        std::size_t block_used = 0;
        std::vector<Run> runs;
        // Runs kept but not yet handed to the helper (the caller's own).
        std::vector<Run> pending;
        std::size_t pending_bytes = 0;
        std::vector<std::pair<std::uint32_t, const std::uint8_t*>> pages;
        // Runs on disk.
        std::size_t written = 0;
        // The helper waits for further runs until this goes false; idle while it waits.
        bool more = false;
        bool idle = false;
        bool keeping = false;
        bool release_lock = false;
        // The helper thread stays from one flush to the next, waiting for the next flush's
        // runs: starting a thread per flush costs more than a batch's flush saves. `session`
        // (the caller's alone) is set from StartHelper until JoinHelper has waited for the
        // helper to go idle; `running` while the helper works on a flush's runs; `quit` ends
        // the thread (StopHelper).
        bool session = false;
        bool running = false;
        bool quit = false;
        // HandOffKeptPages ran: once the runs are written the owner hears of it.
        bool handed_off = false;
        bool unlock_failed = false;
        std::exception_ptr failure;
        // Guards runs, written, more, idle, running, quit, release_lock and handed_off while the
        // helper runs.
        std::mutex mutex;
        // The thread and what it waits on, made with the first flush handed to it. A forked
        // process leaves its copy alone: the thread, and the waits on it, are the parent's.
        struct Helper {
            std::condition_variable wake;
            // The helper's signal that a flush's runs are done with (running went false).
            std::condition_variable settled;
            std::thread thread;
            std::uint32_t process = 0;
        };
        std::unique_ptr<Helper> helper;
    };

    // Cached pages stand on one of two chains: the clean chain, which the
    // eviction sweeps (a hit only sets the page's referenced bit), and the
    // dirty chain of pages changed since they were last written. A page
    // moves to the dirty chain at its first change and back when a flush
    // writes it, so an eviction never walks past a changed page and a flush
    // never looks at a clean one.
    struct PageChain {
        TPage* head = nullptr;
        TPage* tail = nullptr;
        std::size_t size = 0;
    };
    static constexpr std::size_t kPagesPerChunk = kPagesPerReservedChunk;

    // The second tier: pages moved out of the unpacked cache keep their
    // file image packed here, changed or not, so a page that comes back
    // costs an unpack instead of a read, and a changed one is written only
    // when it leaves this tier too (or at a flush). A page stands in one
    // tier at a time, except unchanged pages: those may stand in both, and
    // their first change drops the packed copy.
    // Stands at the start of its slot; the packed image follows it.
    struct PackedPage {
        std::uint16_t size = 0;
        bool dirty = false;
        int slot = 0;
        std::uint32_t offset = 0;
        PackedPage* newer = nullptr;
        PackedPage* older = nullptr;
        // The chain of changed packed pages, in the order they were packed.
        PackedPage* changed_newer = nullptr;
        PackedPage* changed_older = nullptr;
        std::uint8_t* Data() { return reinterpret_cast<std::uint8_t*>(this) + sizeof(PackedPage); }
        std::span<const std::uint8_t> Bytes() const {
            return {reinterpret_cast<const std::uint8_t*>(this) + sizeof(PackedPage), size};
        }
    };
    // Asks the processor for every line of a packed page's bytes.
    static void PrefetchPacked(const PackedPage& packed) {
        const auto* bytes = reinterpret_cast<const char*>(&packed);
        for (std::size_t at = 64; at < sizeof(PackedPage) + packed.size; at += 64)
            __builtin_prefetch(bytes + at);
    }
    struct PackedChain {
        PackedPage* newest = nullptr;
        PackedPage* oldest = nullptr;
        std::size_t size = 0;
    };

    bool GetPage(TFileCursor* cursor, int slot, std::uint32_t offset, TPage*& page, bool scan);
    TPage* GetPageMissed(int slot, std::uint32_t offset);
    // The clock's chances of a page just used: an interior page, on the way to many leaves,
    // stays through more turns than a leaf; lost, it would cost every lookup under it a read.
    static constexpr std::uint8_t kInteriorChances = 3;
    static std::uint8_t ChancesOf(const TPage& page) {
        return page.IsInterior() ? kInteriorChances : 1;
    }
    // GetPage's answer for a page the unpacked tier holds, pinned and counted as used just as
    // the full path counts it; null for anything else (not cached, another slot, an offset
    // the full path refuses or appends), which that path settles. Most edits find every
    // page of their descent here, so it stays in line.
    TPage* CachedHit(int slot, std::uint32_t offset) {
        TPage* page = CachedPeek(slot, offset);
        return page != nullptr ? CountHit(page) : nullptr;
    }
    std::size_t SlotAt(int slot) const;
    void CheckSlot(int slot) const;
    void SetHeaderChanged() noexcept { changes_.SetPending(); }
    void StorePrimaryIndex(const IndexDescriptor& descriptor);
    void CheckIndexDefinition(const IndexDescriptor& descriptor, std::string_view index_name) const;
    // Whether the page at `offset` stands on the dirty chain; a page is cached before its bit
    // is set, so the bits cover it.
    void SetDirtyBit(std::uint32_t offset, bool on) noexcept {
        const std::size_t n = offset / kIndexPageSize;
        const std::uint64_t bit = std::uint64_t{1} << (n % 64);
        if (on)
            dirty_bits_[n / 64] |= bit;
        else if (n / 64 < dirty_bits_.size())
            dirty_bits_[n / 64] &= ~bit;
    }
    bool DirtyBit(std::uint32_t offset) const noexcept {
        const std::size_t n = offset / kIndexPageSize;
        return n / 64 < dirty_bits_.size() && (dirty_bits_[n / 64] >> (n % 64) & 1) != 0;
    }
    TPage* CachedAt(std::uint32_t offset) const {
        const std::size_t n = offset / kIndexPageSize;
        return n < page_map_.size() ? page_map_[n] : nullptr;
    }
    TPage* AllocatePage();
    TPage* TakeCachePage();
    // Asks the processor for the entries of the page the next eviction is likely to pack (the
    // unpinned, unreferenced end of the chain it takes from), so that they have arrived when
    // it comes instead of being waited for line by line while the page is packed. Only pages at
    // full width: a compressed leaf is packed through its image, whose making waits for less.
    void PrefetchNextVictim() const {
        const PageChain& chain = 4 * clean_.size >= cached_total_ ? clean_ : dirty_;
        const TPage* next = chain.tail;
        if (next != nullptr && next->pin_count_ == 0 && next->cache_referenced_ == 0 &&
            !next->Compressed()) {
            next->PrefetchEntries();
        }
    }
    TPage* CleanVictim(int skip_slot);
    TPage* DirtyVictim();
    // The changed lookup leaf most recently left (see NoteLookupLeaf) that
    // is still cached and unpinned, taken out of the cache; null when none.
    TPage* SettledVictim();
    // The oldest leaf NotePassedLeaf named that is still cached, unused and unpinned, written
    // when changed and taken out of the cache; null when none.
    TPage* PassedVictim();
    // An unpinned page that has left the unpacked tier: packed, unless the
    // packed tier holds it already or a scan read it and nothing else.
    void PackPage(TPage* page);
    // RemoveFromPackedLeaf's new packed page, not yet in the tier; null
    // where the removal needs the leaf unpacked. `new_first` is set to the new
    // first key (valid until the next removal) where the first one goes.
    PackedPage* PackedLeafWithout(int slot, std::uint32_t offset, const std::uint8_t* key,
                                  const KeyCompare& compare, const std::uint8_t*& new_first);
    // The packed page at `fresh`'s offset gives way to `fresh`.
    void ReplacePacked(PackedPage* fresh);
    // RedistributePackedLeaf's new packed pages, not yet in the tier, and what the parent is
    // to take: the entries left in each, and the first keys that change (valid until the next
    // call; null where unchanged).
    struct PackedShare {
        PackedPage* left = nullptr;
        PackedPage* right = nullptr;
        std::int64_t left_count = 0;
        std::int64_t right_count = 0;
        const std::uint8_t* leaf_first = nullptr;
        const std::uint8_t* left_first = nullptr;
        const std::uint8_t* right_first = nullptr;
    };
    bool SharePackedLeaves(int slot, const TPage& parent, std::int64_t position,
                           const std::uint8_t* key, const KeyCompare& compare, PackedShare& share);
    // The parent's side of a redistribution: first keys and counts, in the order the page's
    // own removal and redistribution set them.
    void SharedToParent(TPage& parent, std::int64_t position, const PackedShare& share);
    // A packed page of `image`, whose bytes from `zeros_from` on are zero.
    PackedPage* PackedOfImage(int slot, std::uint32_t offset, std::span<const std::uint8_t> image,
                              std::size_t zeros_from);
    // Whether a packed page holds entries at full width, packed from them
    // (its header whole in the first run): ReadPlainPacked reads it.
    bool PlainPacked(const PackedPage& packed) const;
    PackedPage* PackedAt(std::uint32_t offset) const {
        const std::size_t n = offset / kIndexPageSize;
        return n < packed_map_.size() ? packed_map_[n] : nullptr;
    }
    // Out of the tier's chain, map and counts; the storage stays until
    // FreePacked or LinkPacked.
    void UnlinkPacked(PackedPage* packed);
    // Puts a packed page in as the newest.
    void LinkPacked(PackedPage* packed);
    PackedPage* AllocatePacked(std::size_t bytes);
    void FreePacked(PackedPage* packed);
    void DropPacked(PackedPage* packed) {
        UnlinkPacked(packed);
        FreePacked(packed);
    }
    static std::size_t PackedCharge(const PackedPage& packed) {
        return PackedSlab::SlotSize(sizeof(PackedPage) + packed.size);
    }
    // Drops the oldest packed page, writing the oldest changed ones first
    // when it is one of them; false when none can go.
    bool DropOldestPacked();
    // Writes changed packed pages: the oldest `limit` of them (all when 0).
    bool WritePackedPages(std::size_t limit);
    void DropPackedPages(bool all);
    std::size_t PageBudget() const;
    std::size_t ByteBudget() const;
    // Counts the page's memory anew (its entries grow and shrink in use).
    void Recharge(TPage* page);
    void ReleaseToFreeList(TPage* page);
    TPage* InsertCached(int slot, TPage* page);
    // A page image read from the file, in the cache as the slot's page at offset.
    TPage* CacheReadPage(int slot, std::uint32_t offset, std::span<const std::uint8_t> bytes);
    // Frees the leaf a walk read from the file kKeptScanPages reads ago, unless it is in
    // use or changed.
    void RecycleOldScanRead();
    // Reads the page at `offset` from the file into the packed tier as the newest packed
    // page, making room there; a page that is not a leaf goes to the unpacked tier instead
    // (then null).
    PackedPage* ReadIntoPackedTier(int slot, std::uint32_t offset);
    // Reads the page at `offset` into `bytes` for the packed tier's paths.
    void ReadPageForPackedTier(std::uint32_t offset, std::span<std::uint8_t> bytes);
    // Puts a leaf image read from the file into the packed tier as its newest page.
    PackedPage* PackReadLeaf(int slot, std::uint32_t offset, std::span<const std::uint8_t> bytes);
    // A lookup's search of a compressed leaf in neither tier of a full cache; kNotPacked when
    // the descent is to go on through the page.
    PackedSeek SeekUncachedLeaf(int slot, std::uint32_t offset, const std::uint8_t* key,
                                const KeyCompare& compare, std::int64_t& position,
                                std::uint32_t& record, std::uint8_t* found, PackedPage*& packed);
    void DropCached(TPage* page);
    void MakeClean(TPage* page);
    static void ChainUnlink(PageChain& chain, TPage* page);
    static void ChainPushFront(PageChain& chain, TPage* page);
    // Debug builds: both chains, the counts and the page map agree.
    void CheckCacheInvariants() const;
    void ReleaseAllPages();
    void SetupPage(TPage& page, int slot, std::uint32_t offset) const;
    // Puts a leaf a range scan read whole from the file into the cache as a scan's page, once
    // a scan read it before as well: a scan that runs once does not unpack its leaves.
    void KeepScannedLeaf(int slot, std::uint32_t offset, std::span<const std::uint8_t> bytes);
    bool InBatch() const { return owner_ != nullptr && owner_->InUpdateBatch(); }
    // The cursor of the operation under way, asked to re-check the table on a miss.
    TFileCursor* Reader() const { return owner_ != nullptr ? owner_->Reader() : nullptr; }
    // Where the entries of a leaf of `count` entries end in its image, as far
    // as a read of its record numbers needs it (the page's size when not
    // known); requires leaf_reader_ set up for the leaf's slot.
    std::size_t LeafEntriesEnd(std::int64_t count) const;
    // Asks the processor for what a read of the leaf at `offset` touches
    // first: its cache slots, then its page object or its packed bytes.
    void PrefetchCacheSlots(std::uint32_t offset) const;
    void PrefetchLeaf(std::uint32_t offset) const;
    // Where a leaf's entries end in its image, from its header (at least its
    // first bytes); requires leaf_reader_ set up for the page's slot.
    std::size_t LeafImageEnd(std::span<const std::uint8_t> header) const;
    // Returns how far the image is unpacked (its bytes beyond are not set).
    // Requires: leaf_reader_ set up for the page's slot; not encrypted.
    std::size_t UnpackLeafEntries(std::span<const std::uint8_t> packed,
                                  std::span<std::uint8_t> image) const;
    // Writes `bytes` of page images at `offset`, or keeps them for a write-behind.
    void WriteImages(std::uint32_t offset, const std::uint8_t* data, std::size_t bytes);
    // Where the images of the next `bytes` to write are built (valid until the next call).
    std::uint8_t* ImageSpace(std::size_t bytes);
    // The image of the page at `offset` a write-behind keeps, or null.
    const std::uint8_t* KeptImage(std::uint32_t offset) const;
    // The file's bytes of the page at `offset` (a write-behind's kept image, else read).
    void ReadPageBytes(std::uint32_t offset, std::span<std::uint8_t> bytes);
    void WriteRuns() noexcept;
    // The helper thread: waits for a flush's runs and writes them (WriteRunsBehind), until
    // StopHelper.
    void HelperMain(WriteBehind::Helper& helper) noexcept;
    // The helper's loop for one flush: writes runs as they are kept, until no more are to come.
    // Called and returns with `lock` held.
    void WriteRunsBehind(WriteBehind::Helper& helper, std::unique_lock<std::mutex>& lock) noexcept;
    // In a forked process: drops the parent's helper, unwaited for.
    void ForgetForkedHelper() noexcept;
    // Hands the pending runs to the helper, starting one when asked and none runs.
    void PublishRuns(bool start) noexcept;
    // Starts the helper for the runs kept so far; false when no thread is to be had.
    bool StartHelper(bool more);
    // Tells the helper that no more runs come and waits for it.
    void JoinHelper() noexcept;
    // Ends the helper thread (after JoinHelper).
    void StopHelper() noexcept;
    void IndexKeptPages();
    void ForgetWrittenRuns() noexcept;
    void ReadRawHeader(IndexHeader& header);
    void NoteDescriptorsChanged() noexcept;

    TTableFileOwner* owner_;
    const TDataFile* data_file_ = nullptr;
    bool encrypted_ = false;
    bool primary_doubtful_ = false;
    IndexHeader header_{};
    std::uint64_t descriptor_stamp_ = 0;
    HeaderChanges changes_{ih::kChangeCounter, ih::kHeaderChanged};
    PageChain clean_;
    PageChain dirty_;
    PackedChain packed_;
    std::vector<PackedPage*> packed_map_;
    PackedSlab packed_slab_;
    std::size_t packed_bytes_ = 0;
    PackedChain packed_changed_;
    std::vector<PackedPage*> packed_batch_;
    std::array<std::size_t, kIndexSlotCount> slot_sizes_{};
    std::size_t cached_total_ = 0;
    // The memory of the cached pages as last counted; the budget bounds it.
    std::size_t cached_bytes_ = 0;
    std::size_t page_capacity_ = kPageCacheCapacity;
    // Added to the budget while an update batch may not flush.
    std::size_t budget_growth_ = 0;
    // Cached pages of every slot by page number (offset / 4096), not owning:
    // a page access is one array load. Its length follows the file's size.
    std::vector<TPage*> page_map_;
    // One bit a page number, set while that page stands on the dirty chain, so a flush finds
    // the changed pages in file order.
    std::vector<std::uint64_t> dirty_bits_;
    // Every page object, allocated in chunks so that closing a large cache
    // frees few blocks; unused ones wait in free_pages_.
    std::vector<std::unique_ptr<TPage[]>> page_chunks_;
    std::size_t chunk_used_ = kPagesPerChunk;
    std::vector<TPage*> free_pages_;
    std::vector<TPage*> flush_batch_;
    std::vector<std::uint32_t> flush_offsets_;
    std::vector<std::uint8_t> write_buffer_;
    std::uint64_t edits_ = 0;
    std::array<std::uint64_t, kIndexSlotCount> slot_edits_{};
    Descent descent_;
    std::array<RemovalTrail, kIndexSlotCount> removals_{};
    std::array<RemovalTrail, kIndexSlotCount> insertions_{};
    struct SlotRuns {
        std::uint32_t round = 0;
        std::array<std::array<InsertRun, kInsertRuns>, 2> runs{};
    };
    std::array<SlotRuns, kIndexSlotCount> insert_runs_{};
    WriteBehind behind_;
    Statistics stats_;
    // Carries a slot's key settings for ReadLeafRecords; never cached.
    TPage leaf_reader_{this};
    // A range scan's reads of leaves from the file, and their records.
    std::vector<std::uint8_t> scan_buffer_;
    std::vector<std::uint32_t> scan_records_;
    // The leaves short range scans read from the file last, oldest overwritten first.
    std::array<std::uint32_t, 2 * kKeptScanLeaves> scanned_leaves_{};
    std::size_t scanned_leaves_next_ = 0;
    // The pages walks through an index read from the file last, oldest overwritten first.
    // A walk through a whole long index (a list shown row by row) keeps only these: the
    // oldest makes room for the next, rather than the walk filling the cache with leaves
    // nobody reads again.
    std::array<std::uint32_t, kKeptScanPages> scan_reads_{};
    std::size_t scan_reads_next_ = 0;
    // The entries of the packed leaf a lookup last unpacked (seek_size_ bytes
    // of the image), kept while that page stays packed and unchanged, so a
    // change of the leaf right after (a delete of the key just found) unpacks
    // it no second time; offset 0 when none.
    std::uint32_t seek_offset_ = 0;
    std::size_t seek_size_ = 0;
    std::array<std::uint8_t, kIndexPageSize> seek_image_{};
    // Compressed leaves that lookups found keys in without keeping them, one place for each
    // of a set of offsets: a leaf missed there before is kept in the packed tier.
    std::array<std::uint32_t, 1024> missed_leaves_{};
    // The last of those leaves as read (offset 0 when none): a change of the leaf right after
    // (a delete of the key just found) reads it from here, once. Any write to the file or
    // drop of the caches forgets it.
    std::uint32_t unkept_offset_ = 0;
    std::array<std::uint8_t, kIndexPageSize> unkept_image_{};
    // A packed leaf's image while a key is removed from it, and its packing.
    std::array<std::uint8_t, kIndexPageSize> removal_image_{};
    // The runs as packed, with a header run and a join or a split more.
    std::array<std::uint8_t, kMaxPackedImage + 16> removal_packed_{};
    // Two packed leaves' images and the two shared out of them, made at the first use.
    std::unique_ptr<std::array<std::uint8_t, 4 * kIndexPageSize>> share_images_;
    // How many of the recent lookups' leaves were changed before the next
    // lookup, counted up and down between 0 and kLookupsWeighed.
    static constexpr int kLookupsWeighed = 16;
    std::uint32_t lookup_leaf_ = 0;
    int lookups_changed_ = 0;
    // The leaf of the last lookup once changed, and the changed lookup
    // leaves that lookups left since (the newest kSettledPages, a ring;
    // offsets only, checked when taken).
    static constexpr std::size_t kSettledPages = 16;
    std::uint32_t changed_lookup_leaf_ = 0;
    std::array<std::uint32_t, kSettledPages> settled_{};
    std::size_t settled_next_ = 0;
    std::size_t settled_count_ = 0;
    // The leaves runs in key order left last (offsets only, checked when taken), oldest first.
    static constexpr std::size_t kPassedPages = 16;
    std::array<std::uint32_t, kPassedPages> passed_{};
    std::size_t passed_first_ = 0;
    std::size_t passed_count_ = 0;
};

// Pins a page for one scope.
using PinnedPage = Pinned<TIndexFile, TPage, &TIndexFile::ReleasePage>;

}  // namespace strata
