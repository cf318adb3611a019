#pragma once

// TPage: one 4096-byte page of an index's B+-tree in memory, with its entries
// unpacked, and the operations that insert, split, delete and merge entries.
// Interior pages and plain leaves hold their entries at full width; a
// compressed leaf holds them in the compact form of CompactEntries, and its
// packed bytes are put together again when the page is written.
//
// Page on disk (scrambled as a whole when the table is encrypted):
//   0 u8  kind: 0 root with children, 1 interior, 2 leaf, 3 root leaf
//   1 u16 entry count (0 in a free page)
//   3 u32 previous page of the level      7 u32 next page (free page: next free)
//  11 u16 bytes used by a compressed leaf's entries, else 0
//  13 ... entries, packed; the rest zero
//
// Entries (k = key size; in an index that is not unique the key's last four
// bytes are the record ID):
//   interior        k key, u32 child page, u32 keys under the child
//   leaf, option 0  k key, u32 record number
//   leaf, option 1  u16 p, key[p..k), u32 record number
//   leaf, option 2  u16 t, key[0..k-t) (not unique: key[0..k-t-4), key[k-4..k)),
//                   u32 record number
//   leaf, option 3  u8 p, u8 t, key[p..k-t) (not unique: key[p..k-t-4),
//                   key[k-4..k)), u32 record number
// p = leading bytes shared with the previous entry's key, t = trailing zero
// bytes (before the record ID when not unique). Under option 3 each count is
// at most 255, and when not unique p <= k-4 and p + t <= k-4, so the record
// ID is always stored whole and no stored run has a negative length.

#include <array>
#include <bit>
#include <cassert>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include "engine/core/compact_entries.h"
#include "platform/os/byte_order.h"

namespace strata {

class TIndexFile;
class TRecordsBitmap;

inline constexpr std::size_t kIndexPageSize = 4096;
inline constexpr std::size_t kPageHeaderSize = 13;
inline constexpr std::size_t kPageEntryBytes = kIndexPageSize - kPageHeaderSize;  // 4083
inline constexpr std::size_t kMaxIndexKeySize = 528;

// An allocator whose containers grow without clearing what they add (a value given is still
// written): the bytes of a page's entries are all written once, read from the file or by an
// edit, so zeroing them first was work done twice.
template <typename T>
struct GrowWithoutClearing : std::allocator<T> {
    template <typename U>
    struct rebind {
        using other = GrowWithoutClearing<U>;
    };
    GrowWithoutClearing() = default;
    template <typename U>
    GrowWithoutClearing(const GrowWithoutClearing<U>&) noexcept {}
    template <typename U>
    void construct(U* p) noexcept(std::is_nothrow_default_constructible_v<U>) {
        ::new (static_cast<void*>(p)) U;
    }
    template <typename U, typename... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
};
using EntryBytes = std::vector<std::uint8_t, GrowWithoutClearing<std::uint8_t>>;

enum class PageKind : std::uint8_t { kRoot = 0, kInterior = 1, kLeaf = 2, kRootLeaf = 3 };
enum class PagePosition { kEdit, kRead };

// -1, 0, 1 as a < b, a == b, a > b over two keys of the page's key size:
// either plain bytes of a fixed length, compared in line (every key built
// without a language), or any function.
class KeyCompare {
  public:
    using Function = std::function<int(const std::uint8_t* a, const std::uint8_t* b)>;

    KeyCompare() = default;
    template <class F>
    requires(!std::is_same_v<std::decay_t<F>, KeyCompare> &&
             std::is_invocable_r_v<int, F&, const std::uint8_t*, const std::uint8_t*>)
        KeyCompare(F&& function)
        : function_(std::forward<F>(function)) {}

    // Requires: length > 0.
    static KeyCompare Bytes(std::size_t length) {
        KeyCompare compare;
        compare.bytes_ = length;
        return compare;
    }

    // The length compared as plain bytes; 0 when a function orders the keys.
    std::size_t PlainLength() const { return bytes_; }

    int operator()(const std::uint8_t* a, const std::uint8_t* b) const {
        if (bytes_ != 0)
            return CompareBytes(a, b, bytes_);
        return function_(a, b);
    }

    // memcmp's order, eight bytes a step in line: a search compares a few
    // dozen keys per descent, most of them differing in their first words,
    // and a library call each cost more than the comparing.
    static int CompareBytes(const std::uint8_t* a, const std::uint8_t* b, std::size_t n) {
        std::size_t i = 0;
        for (; i + 8 <= n; i += 8) {
            std::uint64_t x;
            std::uint64_t y;
            std::memcpy(&x, a + i, 8);
            std::memcpy(&y, b + i, 8);
            if (x != y) {
                if constexpr (std::endian::native == std::endian::little) {
                    x = __builtin_bswap64(x);
                    y = __builtin_bswap64(y);
                }
                return x < y ? -1 : 1;
            }
        }
        for (; i < n; ++i) {
            if (a[i] != b[i])
                return a[i] < b[i] ? -1 : 1;
        }
        return 0;
    }

    // CompareBytes over keys whose first `from` bytes are known to be equal,
    // also giving the length of their common prefix (n when equal): a search
    // that keeps the prefixes its bounds share with the key skips those bytes
    // in every entry between them, which keys of one repeated value (a
    // category, then the record ID) would otherwise compare in full.
    // Requires: from <= n.
    static int CompareBytesFrom(const std::uint8_t* a, const std::uint8_t* b, std::size_t n,
                                std::size_t from, std::size_t& common) {
        const auto differ_at = [&](std::size_t at, std::uint64_t x, std::uint64_t y) {
            const std::uint64_t diff = x ^ y;
            const int bits = std::endian::native == std::endian::little ? std::countr_zero(diff)
                                                                        : std::countl_zero(diff);
            common = at + static_cast<std::size_t>(bits) / 8;
            return a[common] < b[common] ? -1 : 1;
        };
        std::size_t i = from;
        for (; i + 8 <= n; i += 8) {
            std::uint64_t x;
            std::uint64_t y;
            std::memcpy(&x, a + i, 8);
            std::memcpy(&y, b + i, 8);
            if (x != y)
                return differ_at(i, x, y);
        }
        if (i < n && n >= 8) {
            // The last word overlaps bytes already found equal.
            std::uint64_t x;
            std::uint64_t y;
            std::memcpy(&x, a + n - 8, 8);
            std::memcpy(&y, b + n - 8, 8);
            if (x != y)
                return differ_at(n - 8, x, y);
            i = n;
        }
        for (; i < n; ++i) {
            if (a[i] != b[i]) {
                common = i;
                return a[i] < b[i] ? -1 : 1;
            }
        }
        common = n;
        return 0;
    }

  private:
    std::size_t bytes_ = 0;
    Function function_;
};

// The first of `count` plain entries of `size` bytes each that does not order before `key`;
// `count` when every entry does.
inline std::size_t LowerBoundEntry(const std::uint8_t* entries, std::size_t count, std::size_t size,
                                   const std::uint8_t* key, const KeyCompare& compare) {
    std::size_t low = 0;
    std::size_t high = count;
    while (low < high) {
        const std::size_t middle = (low + high) / 2;
        if (compare(entries + middle * size, key) < 0)
            low = middle + 1;
        else
            high = middle;
    }
    return low;
}

// A compressed leaf's entries, held inside the page object rather than in
// one of their own: a descent then waits for the page object alone before
// it can ask for the slots, instead of for one object after the other.
// Present or not as a pointer would be; only a present one counts for the
// cache, so every page costs the cache what it did when the entries stood
// apart.
class HeldCompactEntries {
  public:
    explicit operator bool() const { return present_; }
    CompactEntries* operator->() { return &entries_; }
    const CompactEntries* operator->() const { return &entries_; }
    CompactEntries& operator*() { return entries_; }
    const CompactEntries& operator*() const { return entries_; }
    void Make() { present_ = true; }
    // Gives the memory back and leaves the form absent.
    void Drop() {
        // An absent form holds no memory: pages of plain indexes drop it at every edit.
        if (!present_)
            return;
        entries_.Release();
        present_ = false;
    }

  private:
    CompactEntries entries_;
    bool present_ = false;
};

class alignas(64) TPage {
  public:
    TPage() = default;
    explicit TPage(TIndexFile* owner) : owner_(owner) {}
    TPage(const TPage&) = delete;
    TPage& operator=(const TPage&) = delete;

    // Takes the slot's key settings; a key size beyond 528 is refused (8965).
    void Setup(int slot, std::uint16_t key_size, bool descending, bool unique,
               std::uint8_t compression, std::uint32_t offset);
    // Checks every count and length against the page, so a damaged page
    // raises 8965 instead of being read past its end.
    void ReadPage(std::span<const std::uint8_t> bytes, bool header_only);
    // Returns where the zeros after the entries begin (the page's size when
    // scrambled), so a reader of the image may skip them.
    std::size_t WritePage(std::span<std::uint8_t> bytes);
    // The record numbers of a leaf's entries straight from its file image, for
    // a scan that wants nothing else: nothing is unpacked and this page stays
    // as it is (only its key settings from Setup are used). The image is
    // checked as ReadPage checks it, and a page that is no leaf raises 8965
    // too. Returns the following leaf's offset (0 after the last).
    std::uint32_t ReadLeafRecords(std::span<const std::uint8_t> bytes,
                                  std::vector<std::uint32_t>& records) const;
    // The first entry of a leaf's file image not below `key`, for a reader
    // that wants only that entry: its 1-based position, record number and
    // full key (into `found`, the key size), nothing unpacked into this page
    // (only its key settings from Setup are used). False when every entry
    // lies below the key. The entries passed are checked as ReadPage checks
    // them, and a page that is no leaf raises 8965.
    bool SeekInLeafImage(std::span<const std::uint8_t> bytes, const std::uint8_t* key,
                         const KeyCompare& compare, std::int64_t& position, std::uint32_t& record,
                         std::uint8_t* found) const;
    void Clear();

    // Inserts after the edit position (0 = in front); may split the page.
    void InsertEntry(const std::uint8_t* key, std::uint32_t pointer, std::uint32_t count);
    // Appends up to `n` entries (keys one after another, each the key size, and their record
    // numbers) after the last one, as InsertEntry there would one by one while the page has
    // room without a split, and answers how many. Requires: a leaf, not compressed, with
    // entries; the keys lie above its last key in ascending order.
    std::size_t AppendEntries(const std::uint8_t* keys, const std::uint32_t* pointers,
                              std::size_t n);
    // Deletes the entry at the edit position; may merge or free pages.
    void DeleteEntry();
    void SetKey(const std::uint8_t* key);
    void SetPointer(std::uint32_t pointer);
    void SetCount(std::uint32_t count);
    // Puts the edit position on the interior entry at `pos` and adds `delta` to the keys
    // counted under it, in one read and write of the field; false, with nothing changed,
    // on a leaf, at a position the page lacks, or when the sum would leave the field.
    bool AddToCount(std::int64_t pos, std::int64_t delta);
    std::uint32_t GetPointer(PagePosition which) const;
    std::uint32_t GetCount(PagePosition which) const;
    std::uint64_t KeyCount() const;
    std::uint64_t KeysBefore(PagePosition which) const;

    bool FindForInsert(const std::uint8_t* key, const KeyCompare& compare);
    void FindNearest(const std::uint8_t* key, const KeyCompare& compare, std::uint64_t& running);
    // FindNearest and FindExact without the running count, for descents
    // that need no ordinal.
    void SeekNearest(const std::uint8_t* key, const KeyCompare& compare);
    bool SeekExact(const std::uint8_t* key, const KeyCompare& compare);
    bool FindExact(const std::uint8_t* key, const KeyCompare& compare, std::uint64_t& running);
    // Read position on the first entry not below `low`; false when it lies
    // above `high` or the page has none.
    bool FindPartial(const std::uint8_t* low, const std::uint8_t* high, const KeyCompare& compare,
                     std::uint64_t& running);
    void StepForward(PagePosition which) { ++Pos(which); }
    void StepBack(PagePosition which) { --Pos(which); }
    void ToFirst(PagePosition which) { Pos(which) = 1; }
    void ToLast(PagePosition which) { Pos(which) = count_; }
    void SyncEditPosition() { edit_ = read_; }
    void First(std::uint64_t& running);
    void Last(std::uint64_t& running);
    std::uint32_t CountConsecutive(std::uint32_t max, bool forward) const;
    bool SkipToBitmap(const TRecordsBitmap& bitmap, bool forward);
    bool SkipToBitmapInRange(const TRecordsBitmap& bitmap, const std::uint8_t* limit,
                             const KeyCompare& compare, bool forward);
    bool CollectRange(const std::uint8_t* limit, const KeyCompare& compare, TRecordsBitmap& bitmap);

    // Entry access by 1-based position. A compressed leaf puts the key
    // together in a buffer of its own, valid until its next KeyAt or change.
    const std::uint8_t* KeyAt(std::int64_t pos) const;
    std::uint32_t PointerAt(std::int64_t pos) const {
        assert(pos >= 1 && pos <= count_);
        if (Compressed())
            return compact_->At(static_cast<std::size_t>(pos - 1)).pointer;
        const std::uint8_t* p = EntryAt(pos) + key_size_;
        return platform::os::LoadLittle<std::uint32_t>(p);
    }
    std::uint32_t CountAt(std::int64_t pos) const;
    // Asks the processor for the page's entries ahead of a scan over them,
    // so their cache misses overlap instead of coming one entry at a time.
    void PrefetchEntries() const {
        if (Compressed()) {
            compact_->Prefetch();
            return;
        }
        const std::uint8_t* p = entries_.data() + front_;
        const std::size_t bytes = static_cast<std::size_t>(count_) * Stride();
        for (std::size_t at = 0; at < bytes; at += 64)
            __builtin_prefetch(p + at);
    }
    // Asks the processor for the lines a check of the page reads first (its object), and
    // for the entries at `pos` and after it at full width, so that the checks of a
    // remembered path wait for their misses together rather than one page after another.
    void PrefetchObject() const {
        __builtin_prefetch(this);
        __builtin_prefetch(reinterpret_cast<const char*>(this) + 64);
    }
    void PrefetchEntriesAt(std::int64_t pos, std::int64_t n) const {
        if (Compressed() || pos < 1 || pos > count_)
            return;
        const std::uint8_t* p = entries_.data() + front_ + EntryOffset(pos);
        const std::size_t bytes = static_cast<std::size_t>(n) * Stride();
        for (std::size_t at = 0; at < bytes; at += 64)
            __builtin_prefetch(p + at);
        __builtin_prefetch(p + bytes - 1);
    }
    // Position of the entry naming a child page; 0 when none does.
    std::int64_t FindChild(std::uint32_t child) const;

    bool IsInterior() const { return kind_ == PageKind::kRoot || kind_ == PageKind::kInterior; }
    bool IsLeaf() const { return !IsInterior(); }
    bool Compressed() const { return IsLeaf() && compression_ != 0; }
    std::int64_t Capacity() const { return IsInterior() ? interior_capacity_ : leaf_capacity_; }
    std::int64_t EntryCount() const { return count_; }
    std::size_t UsedBytes() const { return used_; }
    std::int64_t EditPosition() const { return edit_; }
    std::int64_t ReadPosition() const { return read_; }
    void SetEditPosition(std::int64_t pos) { edit_ = pos; }
    void SetReadPosition(std::int64_t pos) { read_ = pos; }
    // The counts an entry was (or would be) packed with: leading and trailing.
    std::uint16_t LeadingCount(std::int64_t pos) const;
    std::uint16_t TrailingCount(std::int64_t pos) const;

    int Slot() const { return slot_; }
    std::uint16_t KeySize() const { return key_size_; }
    std::uint8_t CompressionOption() const { return compression_; }
    std::uint32_t Offset() const { return offset_; }
    std::uint32_t Parent() const { return parent_; }
    void SetParent(std::uint32_t parent) { parent_ = parent; }
    std::uint32_t Previous() const { return previous_; }
    void SetPrevious(std::uint32_t page) {
        previous_ = page;
        MarkChanged();
    }
    std::uint32_t Next() const { return next_; }
    void SetNext(std::uint32_t page) {
        next_ = page;
        MarkChanged();
    }
    PageKind Kind() const { return kind_; }
    void SetKind(PageKind kind) {
        if ((kind == PageKind::kRoot || kind == PageKind::kInterior) != IsInterior())
            DropHeads();
        kind_ = kind;
        MarkChanged();
    }
    bool Changed() const { return changed_; }
    void SetChanged(bool value) {
        if (value)
            MarkChanged();
        else
            changed_ = false;
    }
    bool Free() const { return free_; }
    void SetFree(bool value) {
        free_ = value;
        MarkChanged();
    }
    std::uint16_t PinCount() const { return pin_count_; }
    void Pin() { ++pin_count_; }
    void Unpin() {
        if (pin_count_ > 0)
            --pin_count_;
    }
    void ResetPins() { pin_count_ = 0; }

  private:
    friend class TPageTestAccess;
    friend class TIndexFile;

    // The page's image as stored (at least a page of `bytes`), unscrambled into `plain` when
    // the file is scrambled; refuses a short image.
    std::span<const std::uint8_t> PlainImage(std::span<const std::uint8_t> bytes,
                                             std::array<std::uint8_t, kIndexPageSize>& plain) const;

    // Every change goes through here, so the file can flush by walking its
    // short list of touched pages instead of every cached page.
    void MarkChanged() {
        changed_ = true;
        if (owner_ != nullptr)
            NoteChange();
    }
    void NoteChange();
    // Tells the owning cache that the memory of the entries changed.
    void NoteMemoryChange();
    // Whether edits size the entry buffer to the entries (see FitEntries).
    bool SizedBuffers() const;
    // Makes a page object from the process's reserve a fresh page of `owner`;
    // its entry buffer goes aside rather than staying with the object.
    void Recycle(TIndexFile* owner);
    // The memory the entries take, which the cache counts, and giving it back.
    std::size_t MemoryBytes() const {
        return entries_.capacity() + std::size_t{inner_room_} * sizeof(std::uint32_t) +
               (compact_ ? sizeof(CompactEntries) + compact_->MemoryBytes() : 0);
    }
    void ReleaseMemory();
    void DropOtherForm();
    // Orders one key against the page's entries in either form.
    class KeyOrder;
    // A KeyOrder for a search, with the heads made first where it can use them.
    KeyOrder OrderFor(const std::uint8_t* key, const KeyCompare& compare);

    // The heads of entries at full width: the four key bytes of each entry after the stem
    // (the bytes every key of the page starts with), as a big-endian number (zeros past the
    // key), kept in the last four bytes of the entry's unpacked form, which no image of the
    // page holds. A search by plain bytes compares these instead of keys that run alike for
    // dozens of bytes (a repeated category, then the record ID). They are made when the page
    // is read or first searched, kept by the edits that keep the stem and dropped by others
    // until the next search. Short keys compare as fast in place.
    static constexpr std::uint16_t kHeadsFromKeySize = 16;
    static constexpr std::size_t kHeadAt = 8;  // after the key, past the pointer and count
    static std::uint32_t HeadOf(const std::uint8_t* from, std::size_t rest) {
        if (rest >= 4) {
            std::uint32_t word;
            std::memcpy(&word, from, 4);
            if constexpr (std::endian::native == std::endian::little)
                word = __builtin_bswap32(word);
            return word;
        }
        std::uint32_t word = 0;
        for (std::size_t i = 0; i < rest; ++i)
            word |= std::uint32_t{from[i]} << (24 - 8 * i);
        return word;
    }
    std::uint32_t HeadAt(const std::uint8_t* entry) const {
        std::uint32_t head;
        std::memcpy(&head, entry + key_size_ + kHeadAt, 4);
        return head;
    }
    void PutHead(std::uint8_t* entry) const {
        const std::uint32_t head = HeadOf(entry + stem_, key_size_ - stem_);
        std::memcpy(entry + key_size_ + kHeadAt, &head, 4);
    }
    bool HeadsWanted() const { return key_size_ >= kHeadsFromKeySize && !Compressed(); }
    // An interior page keeps a copy of its heads side by side too: every descent searches it
    // and its entries change seldom, and a few lines of heads wait for fewer misses than
    // heads spread over the page. These keep the copy with the entries' heads.
    void InnerOpened(std::int64_t after, std::int64_t n) {
        if (heads_valid_ && IsInterior())
            InnerOpenedAt(after, n);
    }
    void InnerClosed(std::int64_t pos, std::int64_t n) {
        if (heads_valid_ && IsInterior())
            InnerClosedAt(pos, n);
    }
    void InnerOpenedAt(std::int64_t after, std::int64_t n);
    void InnerClosedAt(std::int64_t pos, std::int64_t n);
    void MakeHeads();
    void DropHeads() { heads_valid_ = false; }
    // Every entry starts with the stem and has its head (checked by debug builds).
    bool HeadsHold() const;
    bool InByteOrder() const;
    // Writes the key of the entry at pos (a page at full width), keeping the heads.
    void PutKeyAt(std::int64_t pos, const std::uint8_t* key);

    // The entries a page of these settings holds.
    static std::int64_t Capacity(std::uint16_t key_size, bool interior, std::uint8_t compression);
    std::size_t Stride() const { return std::size_t{key_size_} + 12; }
    // Requires: 1 <= pos.
    std::size_t EntryOffset(std::int64_t pos) const {
        assert(pos >= 1);
        return static_cast<std::size_t>(pos - 1) * Stride();
    }
    // Requires: not a compressed leaf.
    std::uint8_t* EntryAt(std::int64_t pos) {
        assert(!Compressed());
        return entries_.data() + front_ + EntryOffset(pos);
    }
    const std::uint8_t* EntryAt(std::int64_t pos) const {
        assert(!Compressed());
        return entries_.data() + front_ + EntryOffset(pos);
    }
    std::size_t Index(std::int64_t pos) const {
        assert(pos >= 1 && pos <= count_);
        return static_cast<std::size_t>(pos - 1);
    }
    // The leading and trailing counts of the compressed entry at `at` (moved
    // past them), refused with 8965 where they would reach outside the key.
    struct EntryCounts {
        std::size_t lead = 0;
        std::size_t trail = 0;
    };
    EntryCounts ReadEntryCounts(std::span<const std::uint8_t> page, std::size_t& at,
                                bool first) const;
    void ReadCompressed(std::span<const std::uint8_t> page, std::int64_t count);
    void WriteCompressed(std::span<std::uint8_t> bytes, std::size_t& at) const;
    // The forms of the two for every option, and those for option 3 (the
    // list tables' indexes, read and written most), which must give the
    // same entries and bytes.
    void ReadCompressedAnyOption(std::span<const std::uint8_t> page, std::int64_t count);
    void ReadCompressedOption3(std::span<const std::uint8_t> page, std::int64_t count);
    void WriteCompressedAnyOption(std::span<std::uint8_t> bytes, std::size_t& at) const;
    void WriteCompressedOption3(std::span<std::uint8_t> bytes, std::size_t& at) const;
    std::int64_t& Pos(PagePosition which) { return which == PagePosition::kEdit ? edit_ : read_; }
    std::int64_t Pos(PagePosition which) const {
        return which == PagePosition::kEdit ? edit_ : read_;
    }
    void InsertRaw(std::int64_t after, const std::uint8_t* key, std::uint32_t pointer,
                   std::uint32_t count);
    void EraseRaw(std::int64_t pos);
    // Room for n entries after the first `after`, taken from the free bytes
    // in front of the entries when fewer entries move that way; returns
    // where the first of them goes, holding a copy of the n entries at
    // `from` when given, else bytes to overwrite. The caller counts them.
    // Moved entries whose heads were made for this page's stem keep them (heads_carried).
    std::uint8_t* OpenEntries(std::int64_t after, std::int64_t n,
                              const std::uint8_t* from = nullptr, bool heads_carried = false);
    // OpenEntries without a word about the heads.
    std::uint8_t* OpenEntriesRaw(std::int64_t after, std::int64_t n, const std::uint8_t* from);
    // Takes out n entries from position pos, moving the shorter side.
    void CloseEntries(std::int64_t pos, std::int64_t n);
    // Moves the entries to the start of their buffer.
    void PackToFront();
    // Makes room for `bytes` of entries for a page read, grown by an edit or fitted to
    // what it holds (see the definition); the entries may move.
    enum class EntryFit { kRead, kGrow, kExact };
    void FitEntries(std::size_t bytes, EntryFit fit);
    // The most a buffer kept for `bytes` of entries may hold.
    std::size_t LooseEntryBytes(std::size_t bytes) const { return bytes + bytes / 2 + Stride(); }
    void MoveEntries(TPage& to, std::int64_t from_pos, std::int64_t n, std::int64_t to_after);
    // Split's move of the entries after the first `keep` to the empty `to` (see the definition).
    void HandOverUpperHalf(TPage& right, std::int64_t keep);
    // Inserts that come in order (each just after the page's insert before it, or past one
    // key between: a run in the middle of the tree merging with the keys of an earlier one)
    // are split where they go rather than in the middle, so the pages they leave behind are
    // full. The runs are kept by the file (TIndexFile::LastInsertRun).
    static constexpr std::uint8_t kOrderedRun = 2;
    void NoteInsertAt(std::int64_t pos);
    // The inserts in a row that came in order up to this page's last one (0 when none is
    // kept for the page).
    std::uint8_t OrderedInserts() const;
    // Whether the run passes older keys, merging with them (see NoteInsertAt).
    bool PassingInserts() const;
    // Makes the slot's run go on from `pos` of this page.
    void ContinueRun(std::int64_t pos, std::uint8_t ordered, bool passing);
    void ForgetInserts();
    // How many entries a split keeps for the entry just inserted at `inserted` (see the
    // definition).
    std::int64_t SplitPoint(std::int64_t inserted) const;
    // Puts a key that goes just after this leaf's first `passed` keys at the end of the leaf
    // before, with those keys, when a run of keys in order fills that leaf (see the
    // definition); false, with nothing changed, otherwise.
    static constexpr std::int64_t kJoinedKeys = 4;
    bool JoinRunBefore(std::int64_t passed, const std::uint8_t* key, std::uint32_t pointer);
    void Recompute();
    void RecomputeAt(std::int64_t pos);
    void ComputeCounts(std::int64_t pos);
    std::size_t EntrySize(std::int64_t pos) const;
    bool Overflows() const;
    void UpdateSeparator();
    void Split();
    bool FalseRoot() const;
    void Rebalance();
    void ReparentChildren();
    // The read position: on the first entry not below the key (leaf), or
    // on the entry whose subtree holds it (interior).
    void Seek(const KeyOrder& order);

    // What a page access and a search touch comes first, in one cache line.
    // The entries stand packed from byte front_ of entries_ to its end: an
    // edit near the first entry moves the entries before it instead of all
    // those after it.
    EntryBytes entries_;
    std::size_t front_ = 0;
    std::int64_t count_ = 0;
    std::int64_t read_ = 1;
    std::int64_t edit_ = 1;
    std::uint32_t offset_ = 0;
    int slot_ = 0;
    std::uint16_t key_size_ = 0;
    std::uint16_t pin_count_ = 0;
    PageKind kind_ = PageKind::kRoot;
    bool changed_ = false;
    std::uint8_t compression_ = 0;
    // Capacity() of either kind of page under the key settings, worked out once by Setup
    // (and here for a page that has none yet, of key size 0).
    std::uint16_t interior_capacity_ = kPageEntryBytes / 10;
    std::uint16_t leaf_capacity_ = kPageEntryBytes / 6;
    // The owning file's cache bookkeeping: the clock's chances left,
    // membership of the file's list of pages that may need writing, whether
    // the object belongs to the file's cache (a page constructed on its own
    // is never listed), and the slot's chain (not owning).
    std::uint8_t cache_referenced_ = 0;
    bool cache_listed_dirty_ = false;
    bool cache_owned_ = false;
    // Read from the file by a scan and not asked for since.
    bool cache_scanned_ = false;
    // The bytes the cache last counted for this page (object and entries).
    std::size_t cache_charge_ = 0;
    bool descending_ = false;
    bool unique_ = false;
    bool free_ = false;
    TIndexFile* owner_ = nullptr;
    std::size_t used_ = 0;
    std::uint32_t parent_ = 0;
    std::uint32_t previous_ = 0;
    std::uint32_t next_ = 0;
    TPage* lru_prev_ = nullptr;
    TPage* lru_next_ = nullptr;
    // A compressed leaf's entries (entries_ then stays empty); made for the
    // pages of compressed indexes only, so other pages stay small.
    HeldCompactEntries compact_;
    // See HeadOf; the heads are valid only while heads_valid_.
    std::uint16_t stem_ = 0;
    // The interior page's copy of the heads, room for inner_room_ of them.
    std::uint16_t inner_room_ = 0;
    std::unique_ptr<std::uint32_t[]> inner_heads_;
    bool heads_valid_ = false;
};

// What the cache counts for a page object besides its entries' memory: the
// object as it stood with a compressed leaf's entries apart from it, so that
// holding them inside changed no page's charge.
inline constexpr std::size_t kPageObjectCharge =
    (sizeof(TPage) - sizeof(HeldCompactEntries) + sizeof(void*) + alignof(TPage) - 1) /
    alignof(TPage) * alignof(TPage);

}  // namespace strata
