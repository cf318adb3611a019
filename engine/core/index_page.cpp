#include "engine/core/index_page.h"

#include <algorithm>
#include <cassert>
#include <cstring>

#include "engine/core/index_file.h"
#include "engine/storage/byte_order.h"
#include "engine/storage/engine_error_codes.h"
#include "engine/storage/key_encoding.h"
#include "engine/storage/records_bitmap.h"
#include "engine/storage/scramble.h"

namespace strata {

namespace {
constexpr std::size_t kPtrAt = 0;  // relative to the end of the key
constexpr std::size_t kCountAt = 4;
constexpr std::size_t kLeadAt = 8;
constexpr std::size_t kTrailAt = 10;

[[noreturn]] void PageCorrupt(TIndexFile* owner) {
    RaiseEngineError(kErrIndexPageCorrupt, owner != nullptr ? owner->Name() : std::string());
}

// Entry buffers released by pages, kept for the next page read into an
// object without one (as CompactEntries keeps its areas): a few, each of
// the size a page object keeps between uses.
constexpr std::size_t kMaxSpareBuffers = 16;
std::vector<EntryBytes>& SpareBuffers() {
    thread_local std::vector<EntryBytes> spares;
    return spares;
}

void GiveBack(EntryBytes& buffer) {
    std::vector<EntryBytes>& spares = SpareBuffers();
    if (buffer.capacity() != 0 && buffer.capacity() <= 4 * kIndexPageSize &&
        spares.size() < kMaxSpareBuffers) {
        spares.reserve(kMaxSpareBuffers);
        buffer.clear();
        spares.push_back(std::move(buffer));
    }
    EntryBytes().swap(buffer);
}

// A spare of at least `bytes` and at most `most` for an empty buffer short of
// them (the smallest, so larger ones stay for larger pages); the buffer's
// own goes aside in its place.
void TakeSpare(EntryBytes& buffer, std::size_t bytes, std::size_t most) {
    assert(buffer.empty());
    if (buffer.capacity() >= bytes && buffer.capacity() <= most)
        return;
    std::vector<EntryBytes>& spares = SpareBuffers();
    EntryBytes* best = nullptr;
    for (EntryBytes& spare : spares) {
        if (spare.capacity() >= bytes && spare.capacity() <= most &&
            (best == nullptr || spare.capacity() < best->capacity())) {
            best = &spare;
        }
    }
    if (best == nullptr)
        return;
    best->swap(buffer);
    if (best->capacity() == 0 || best->capacity() > 4 * kIndexPageSize) {
        std::swap(*best, spares.back());
        spares.pop_back();
    }
    buffer.clear();
}
}  // namespace

void TPage::Setup(int slot, std::uint16_t key_size, bool descending, bool unique,
                  std::uint8_t compression, std::uint32_t offset) {
    if (key_size == 0 || key_size > kMaxIndexKeySize || compression > 3 ||
        (!unique && key_size < 5)) {
        PageCorrupt(owner_);
    }
    slot_ = slot;
    DropHeads();
    key_size_ = key_size;
    descending_ = descending;
    unique_ = unique;
    compression_ = compression;
    offset_ = offset;
    interior_capacity_ = static_cast<std::uint16_t>(Capacity(key_size, true, compression));
    leaf_capacity_ = static_cast<std::uint16_t>(Capacity(key_size, false, compression));
    if (compression != 0) {
        if (!compact_)
            compact_.Make();
        compact_->Setup(key_size, unique);
    }
}

void TPage::Clear() {
    count_ = 0;
    used_ = 0;
    entries_.clear();
    front_ = 0;
    if (compact_)
        compact_->Clear();
    DropHeads();
    edit_ = read_ = 1;
    parent_ = previous_ = next_ = 0;
    kind_ = PageKind::kRoot;
    free_ = false;
    changed_ = false;
}

std::int64_t TPage::Capacity(std::uint16_t key_size, bool interior, std::uint8_t compression) {
    if (interior)
        return static_cast<std::int64_t>(kPageEntryBytes / (key_size + 10u));
    if (compression == 0)
        return static_cast<std::int64_t>(kPageEntryBytes / (key_size + 6u));
    // Compressed leaves are bounded by bytes; the merge rules use this count.
    return static_cast<std::int64_t>(kPageEntryBytes / 6);
}

const std::uint8_t* TPage::KeyAt(std::int64_t pos) const {
    assert(pos >= 1 && pos <= count_);
    if (Compressed())
        return compact_->Key(Index(pos));
    return EntryAt(pos);
}

std::uint32_t TPage::CountAt(std::int64_t pos) const {
    if (IsLeaf())
        return 1;
    return GetU32(std::span(EntryAt(pos) + key_size_, 12), kCountAt);
}

// Entries at full width are packed with no counts (their bytes hold the heads instead).
std::uint16_t TPage::LeadingCount(std::int64_t pos) const {
    if (Compressed())
        return compact_->At(Index(pos)).lead;
    return 0;
}

std::uint16_t TPage::TrailingCount(std::int64_t pos) const {
    if (Compressed())
        return compact_->At(Index(pos)).trail;
    return 0;
}

std::int64_t TPage::FindChild(std::uint32_t child) const {
    // A descent leaves its positions on the path: the child is usually there.
    for (const std::int64_t hint : {edit_, read_}) {
        if (hint >= 1 && hint <= count_ && PointerAt(hint) == child)
            return hint;
    }
    for (std::int64_t i = 1; i <= count_; ++i) {
        if (PointerAt(i) == child)
            return i;
    }
    return 0;
}

std::size_t TPage::EntrySize(std::int64_t pos) const {
    const std::size_t k = key_size_;
    if (IsInterior())
        return k + 8;
    if (compression_ == 0)
        return k + 4;
    // One form for every option: the leading count is 0 under option 2, the trailing one
    // under option 1.
    const CompactEntries::Slot& slot = compact_->At(Index(pos));
    assert(compression_ != 1 || slot.trail == 0);
    assert(compression_ != 2 || slot.lead == 0);
    return k - slot.lead - slot.trail + 6;
}

void TPage::Recompute() {
    used_ = 0;
    if (!Compressed()) {
        // Entries of other pages carry no counts (all stay 0) and all have
        // one size.
        used_ =
            static_cast<std::size_t>(count_) * (std::size_t{key_size_} + (IsInterior() ? 8 : 4));
        MarkChanged();
        return;
    }
    for (std::int64_t i = 1; i <= count_; ++i) {
        ComputeCounts(i);
        used_ += EntrySize(i);
    }
    MarkChanged();
}

void TPage::RecomputeAt(std::int64_t pos) {
    if (pos < 1 || pos > count_)
        return;
    if (!Compressed()) {
        MarkChanged();
        return;
    }
    // An entry's size falls by what its counts cover.
    const CompactEntries::Slot& slot = compact_->At(Index(pos));
    const std::size_t covered = std::size_t{slot.lead} + slot.trail;
    ComputeCounts(pos);
    used_ = used_ + covered - slot.lead - slot.trail;
    MarkChanged();
}

void TPage::ComputeCounts(std::int64_t i) {
    if (!Compressed()) {
        // Entries of other pages carry no counts; their bytes hold the heads.
        std::span<std::uint8_t> tail(EntryAt(i) + key_size_, 12);
        PutU16(tail, kLeadAt, 0);
        PutU16(tail, kTrailAt, 0);
        DropHeads();
        return;
    }
    const std::size_t k = key_size_;
    const std::size_t body = unique_ ? k : k - 4;
    std::size_t p = 0;
    std::size_t t = 0;
    if ((compression_ == 1 || compression_ == 3) && i > 1)
        p = compact_->CommonPrefix(Index(i - 1), Index(i));
    if (compression_ == 2 || compression_ == 3)
        t = compact_->TrailingZeros(Index(i));
    if (compression_ == 3) {
        p = std::min<std::size_t>(p, 255);
        t = std::min<std::size_t>(t, 255);
        if (!unique_) {
            p = std::min(p, body);
            if (k - p < 5)
                t = 0;
            t = std::min(t, body - p);
        } else {
            t = std::min(t, k - p);
        }
    }
    CompactEntries::Slot& slot = compact_->At(Index(i));
    slot.SetLead(p);
    slot.SetTrail(t);
}

bool TPage::Overflows() const {
    if (Compressed())
        return used_ > kPageEntryBytes;
    return count_ > Capacity();
}

std::span<const std::uint8_t> TPage::PlainImage(
    std::span<const std::uint8_t> bytes, std::array<std::uint8_t, kIndexPageSize>& plain) const {
    if (bytes.size() < kIndexPageSize)
        PageCorrupt(owner_);
    // Only a scrambled page needs a private copy to unscramble.
    if (owner_ == nullptr || !owner_->Encrypted())
        return bytes.first(kIndexPageSize);
    std::memcpy(plain.data(), bytes.data(), kIndexPageSize);
    UnscrambleBuffer(plain, kTableDataKeyLow, kTableDataKeyHigh);
    return plain;
}

void TPage::ReadPage(std::span<const std::uint8_t> bytes, bool header_only) {
    std::array<std::uint8_t, kIndexPageSize> plain;
    const std::span<const std::uint8_t> page = PlainImage(bytes, plain);
    const std::uint8_t kind = page[0];
    if (kind > 3)
        PageCorrupt(owner_);
    kind_ = static_cast<PageKind>(kind);
    const std::int64_t count = GetU16(page, 1);
    previous_ = GetU32(page, 3);
    next_ = GetU32(page, 7);
    const std::size_t stored_used = GetU16(page, 11);
    free_ = false;
    changed_ = false;
    edit_ = read_ = 1;
    count_ = 0;
    used_ = 0;
    entries_.clear();
    front_ = 0;
    if (compact_)
        compact_->Clear();
    DropHeads();
    // A count the page cannot hold is refused before anything is sized by it.
    if (count > Capacity())
        PageCorrupt(owner_);
    if (header_only) {
        count_ = count;
        return;
    }
    if (Compressed()) {
        ReadCompressed(page, count);
        if (stored_used != used_)
            PageCorrupt(owner_);
        changed_ = false;
        return;
    }
    const std::size_t k = key_size_;
    const std::size_t size = k + (IsInterior() ? 8 : 4);
    if (kPageHeaderSize + static_cast<std::size_t>(count) * size > kIndexPageSize)
        PageCorrupt(owner_);
    FitEntries(static_cast<std::size_t>(count) * Stride(), EntryFit::kRead);
    // Not cleared: the loop writes every byte of every entry.
    entries_.resize(static_cast<std::size_t>(count) * Stride());
    // Each stored entry is the front of its unpacked form (key, pointer and, interior, the
    // count), so it is copied in one piece, and the rest of the stride is set behind it.
    // Short entries (the small keys of which a leaf holds hundreds) are copied as words that
    // overlap, instead of a library call each.
    const std::uint8_t* from = page.data() + kPageHeaderSize;
    std::uint8_t* to = entries_.data();
    const std::size_t stride = Stride();
    static_assert(kCountAt + 4 == kLeadAt && kLeadAt + 2 == kTrailAt);
    if (IsLeaf()) {
        for (std::int64_t i = 0; i < count; ++i, from += size, to += stride) {
            CopyShort(to, from, size);
            // A count of 1, the leading and trailing counts 0.
            StoreLittle(to + k + kCountAt, std::uint64_t{1});
        }
    } else {
        for (std::int64_t i = 0; i < count; ++i, from += size, to += stride) {
            CopyShort(to, from, size);
            StoreLittle(to + k + kLeadAt, std::uint32_t{0});
        }
    }
    count_ = count;
    used_ = static_cast<std::size_t>(count_) * size;
    if (count_ > Capacity())
        PageCorrupt(owner_);
    // While the entries are at hand.
    if (HeadsWanted())
        MakeHeads();
    changed_ = false;
}

TPage::EntryCounts TPage::ReadEntryCounts(std::span<const std::uint8_t> page, std::size_t& at,
                                          bool first) const {
    if (at + 2 > kIndexPageSize)
        PageCorrupt(owner_);
    const std::size_t k = key_size_;
    const std::size_t body = unique_ ? k : k - 4;
    EntryCounts counts;
    if (compression_ == 3) {
        counts.lead = page[at];
        counts.trail = page[at + 1];
    } else {
        (compression_ == 1 ? counts.lead : counts.trail) = GetU16(page, at);
    }
    at += 2;
    if (counts.lead > k || counts.trail > body || (counts.lead > 0 && first) ||
        (compression_ == 3 && counts.lead + counts.trail > body)) {
        PageCorrupt(owner_);
    }
    return counts;
}

namespace {
// Scratch areas for the fullest page met so far (no entry takes more than
// its full key).
struct ReadScratch {
    std::vector<CompactEntries::Slot> slots;
    std::vector<std::uint8_t> keys;
};
ReadScratch& ScratchFor(std::size_t entries, std::size_t key_size) {
    thread_local ReadScratch scratch;
    if (scratch.slots.size() < entries)
        scratch.slots.resize(entries);
    if (scratch.keys.size() < entries * key_size)
        scratch.keys.resize(entries * key_size);
    return scratch;
}
}  // namespace

void TPage::ReadCompressed(std::span<const std::uint8_t> page, std::int64_t count) {
    if (compression_ == 3)
        ReadCompressedOption3(page, count);
    else
        ReadCompressedAnyOption(page, count);
}

// As ReadCompressedAnyOption, with the checks and copies of option 3 alone:
// the counts are single bytes whose sum stays within the body, and the
// stored bytes end where the body's trailing zeros begin.
void TPage::ReadCompressedOption3(std::span<const std::uint8_t> page, std::int64_t count) {
    const std::size_t k = key_size_;
    const std::size_t body = unique_ ? k : k - 4;
    const std::size_t rid_size = unique_ ? 0 : 4;
    const auto entries = static_cast<std::size_t>(count);
    ReadScratch& scratch = ScratchFor(entries, k);
    CompactEntries::Slot* const slots = scratch.slots.data();
    std::uint8_t* const area = scratch.keys.data();
    const std::uint8_t* const bytes = page.data();
    std::size_t out = 0;
    std::size_t previous = 0;
    std::size_t previous_length = 0;
    std::size_t at = kPageHeaderSize;
    for (std::size_t i = 0; i < entries; ++i) {
        if (at + 2 > kIndexPageSize)
            PageCorrupt(owner_);
        const std::size_t p = bytes[at];
        const std::size_t t = bytes[at + 1];
        at += 2;
        if (p + t > body || (p > 0 && i == 0))
            PageCorrupt(owner_);
        std::uint8_t* const key = area + out;
        const std::size_t end = body - t;
        const std::size_t stored = end - p;
        if (at + stored + rid_size + 4 > kIndexPageSize)
            PageCorrupt(owner_);
        std::size_t length = end;
        if (stored == 0 && p >= previous_length) {
            // The body of the previous entry again (a repeated value): its
            // kept bytes, and zeros up to the trailing count.
            CopyShort(key, area + previous, previous_length);
            length = previous_length;
        } else {
            const std::size_t copied = std::min(p, previous_length);
            CopyShort(key, area + previous, copied);
            if (p > copied)
                std::memset(key + copied, 0, p - copied);
            CopyShort(key + p, bytes + at, stored);
            at += stored;
            // Counts by the packing rule leave the body's last stored byte nonzero.
            if (end > 0 && key[end - 1] == 0)
                length = end - TrailingZeroCount(std::span<const std::uint8_t>(key, end));
        }
        if (rid_size > 0) {
            std::memcpy(key + length, bytes + at, 4);
            at += 4;
        }
        CompactEntries::Slot& slot = slots[i];
        slot.at = static_cast<std::uint32_t>(out);
        slot.pointer = LoadLittle<std::uint32_t>(bytes + at);
        slot.SetLength(length);
        slot.SetLead(p);
        slot.SetTrail(t);
        at += 4;
        previous = out;
        previous_length = length;
        out += length + rid_size;
    }
    // Every entry's bytes, from the first after the header to the last read.
    used_ = at - kPageHeaderSize;
    count_ = count;
    DropOtherForm();
    compact_->Assign(std::span(slots, entries), std::span(area, out));
}

// Each entry's body is put together from the previous one's leading bytes
// and its own stored bytes, in scratch areas sized for the fullest page,
// then handed to the compact form in one piece.
void TPage::ReadCompressedAnyOption(std::span<const std::uint8_t> page, std::int64_t count) {
    const std::size_t k = key_size_;
    const std::size_t body = unique_ ? k : k - 4;
    const std::size_t rid_size = unique_ ? 0 : 4;
    const auto entries = static_cast<std::size_t>(count);
    ReadScratch& scratch = ScratchFor(entries, k);
    std::vector<CompactEntries::Slot>& slots = scratch.slots;
    std::uint8_t* const area = scratch.keys.data();
    std::size_t out = 0;
    // The previous entry's kept body; zeros follow it up to the body size.
    std::size_t previous = 0;
    std::size_t previous_length = 0;
    std::size_t at = kPageHeaderSize;
    auto need = [&](std::size_t n) {
        if (at + n > kIndexPageSize)
            PageCorrupt(owner_);
    };
    for (std::int64_t i = 1; i <= count; ++i) {
        const std::size_t entry_start = at;
        const auto [p, t] = ReadEntryCounts(page, at, i == 1);
        std::uint8_t* const key = area + out;
        // The leading bytes shared with the previous entry (within the body).
        const std::size_t shared = std::min(p, body);
        const std::size_t copied = std::min(shared, previous_length);
        std::memcpy(key, area + previous, copied);
        if (shared > copied)
            std::memset(key + copied, 0, shared - copied);
        std::size_t end = 0;
        const std::uint8_t* rid = nullptr;
        std::array<std::uint8_t, 4> rid_bytes{};
        if (compression_ == 1) {
            // The rest of the key, record ID included, is stored whole.
            need(k - p);
            if (p < body)
                std::memcpy(key + p, &page[at], body - p);
            if (!unique_) {
                // Record ID bytes the entry shares come from the previous one.
                for (std::size_t j = body; j < k; ++j) {
                    rid_bytes[j - body] =
                        j < p ? area[previous + previous_length + (j - body)] : page[at + j - p];
                }
                rid = rid_bytes.data();
            }
            at += k - p;
            end = body;
        } else {
            const std::size_t stored = body - t - p;
            need(stored + rid_size);
            std::memcpy(key + p, &page[at], stored);
            at += stored;
            end = body - t;
            rid = &page[at];
            at += rid_size;
        }
        const std::size_t length = end - TrailingZeroCount(std::span<const std::uint8_t>(key, end));
        if (rid_size > 0)
            std::memcpy(key + length, rid, rid_size);
        need(4);
        CompactEntries::Slot& slot = slots[static_cast<std::size_t>(i - 1)];
        slot.at = static_cast<std::uint32_t>(out);
        slot.pointer = GetU32(page, at);
        slot.SetLength(length);
        // The stored counts are the entry's counts; a page whose counts
        // differ from the packing rule still reads, and is packed with them
        // again until an edit recomputes them.
        slot.SetLead(p);
        slot.SetTrail(t);
        at += 4;
        previous = out;
        previous_length = length;
        out += length + rid_size;
        used_ += at - entry_start;
        ++count_;
    }
    DropOtherForm();
    compact_->Assign(std::span(slots.data(), static_cast<std::size_t>(count)),
                     std::span(area, out));
}

std::uint32_t TPage::ReadLeafRecords(std::span<const std::uint8_t> bytes,
                                     std::vector<std::uint32_t>& records) const {
    records.clear();
    std::array<std::uint8_t, kIndexPageSize> plain;
    const std::span<const std::uint8_t> page = PlainImage(bytes, plain);
    const auto kind = static_cast<PageKind>(page[0]);
    if (kind != PageKind::kLeaf && kind != PageKind::kRootLeaf)
        PageCorrupt(owner_);
    const std::size_t count = GetU16(page, 1);
    const std::uint32_t next = GetU32(page, 7);
    const std::size_t k = key_size_;
    if (compression_ == 0) {
        // Fixed-width entries: the record number follows each key.
        const std::size_t size = k + 4;
        if (count > kPageEntryBytes / (k + 6) || kPageHeaderSize + count * size > kIndexPageSize)
            PageCorrupt(owner_);
        records.resize(count);
        const std::uint8_t* at = page.data() + kPageHeaderSize + k;
        for (std::size_t i = 0; i < count; ++i, at += size)
            records[i] = LoadLittle<std::uint32_t>(at);
        return next;
    }
    if (count > kPageEntryBytes / 6)
        PageCorrupt(owner_);
    records.resize(count);
    const std::size_t body = unique_ ? k : k - 4;
    std::size_t at = kPageHeaderSize;
    auto need = [&](std::size_t n) {
        if (at + n > kIndexPageSize)
            PageCorrupt(owner_);
    };
    for (std::size_t i = 0; i < count; ++i) {
        const auto [p, t] = ReadEntryCounts(page, at, i == 0);
        // The stored key bytes (and the record ID of a key that is not unique) come first.
        const std::size_t stored = compression_ == 1 ? k - p : body - t - p + (unique_ ? 0 : 4);
        need(stored + 4);
        at += stored;
        records[i] = GetU32(page, at);
        at += 4;
    }
    if (at - kPageHeaderSize != GetU16(page, 11))
        PageCorrupt(owner_);
    return next;
}

bool TPage::SeekInLeafImage(std::span<const std::uint8_t> bytes, const std::uint8_t* key,
                            const KeyCompare& compare, std::int64_t& position,
                            std::uint32_t& record, std::uint8_t* found) const {
    std::array<std::uint8_t, kIndexPageSize> plain;
    std::span<const std::uint8_t> page = bytes.first(std::min(bytes.size(), kIndexPageSize));
    if (owner_ != nullptr && owner_->Encrypted()) {
        if (bytes.size() < kIndexPageSize)
            PageCorrupt(owner_);
        std::memcpy(plain.data(), bytes.data(), kIndexPageSize);
        UnscrambleBuffer(plain, kTableDataKeyLow, kTableDataKeyHigh);
        page = plain;
    }
    if (page.size() < kPageHeaderSize)
        PageCorrupt(owner_);
    const auto kind = static_cast<PageKind>(page[0]);
    if (kind != PageKind::kLeaf && kind != PageKind::kRootLeaf)
        PageCorrupt(owner_);
    const std::size_t count = GetU16(page, 1);
    const std::size_t k = key_size_;
    if (compression_ == 0) {
        const std::size_t size = k + 4;
        if (count > kPageEntryBytes / (k + 6) || kPageHeaderSize + count * size > page.size())
            PageCorrupt(owner_);
        const std::uint8_t* entries = page.data() + kPageHeaderSize;
        const std::size_t low = LowerBoundEntry(entries, count, size, key, compare);
        if (low == count)
            return false;
        std::memcpy(found, entries + low * size, k);
        record = LoadLittle<std::uint32_t>(entries + low * size + k);
        position = static_cast<std::int64_t>(low) + 1;
        return true;
    }
    // The entries lie within the bytes the header gives them.
    const std::size_t end_of_entries = kPageHeaderSize + GetU16(page, 11);
    if (count > kPageEntryBytes / 6 || end_of_entries > page.size())
        PageCorrupt(owner_);
    const std::size_t body = unique_ ? k : k - 4;
    const std::size_t rid_size = unique_ ? 0 : 4;
    std::size_t at = kPageHeaderSize;
    auto need = [&](std::size_t n) {
        if (at + n > end_of_entries)
            PageCorrupt(owner_);
    };
    // An entry's bytes from its leading count on: the stored ones, the zeros
    // the trailing count stands for, then (option 2 and 3, not unique) the
    // record ID; `from` moves past them.
    struct Tail {
        std::size_t lead = 0;
        const std::uint8_t* stored = nullptr;
        std::size_t stored_size = 0;
        std::size_t zeros = 0;
        const std::uint8_t* rid = nullptr;
    };
    const auto read_tail = [&](std::size_t i) {
        const auto [p, t] = ReadEntryCounts(page, at, i == 0);
        Tail tail;
        tail.lead = p;
        if (compression_ == 1) {
            need(k - p + 4);
            tail.stored = &page[at];
            tail.stored_size = k - p;
            at += k - p;
        } else {
            const std::size_t stored = body - t - p;
            need(stored + rid_size + 4);
            tail.stored = &page[at];
            tail.stored_size = stored;
            tail.zeros = t;
            at += stored;
            tail.rid = &page[at];
            at += rid_size;
        }
        return tail;
    };
    const auto write_tail = [&](const Tail& tail, std::uint8_t* out) {
        std::memcpy(out + tail.lead, tail.stored, tail.stored_size);
        std::size_t to = tail.lead + tail.stored_size;
        std::memset(out + to, 0, tail.zeros);
        to += tail.zeros;
        if (tail.rid != nullptr)
            std::memcpy(out + to, tail.rid, rid_size);
    };
    if (compare.PlainLength() == k) {
        // Keys in byte order: an entry is weighed against the key from its
        // leading count on, since the bytes before it equal the key's while
        // the count is not above the bytes the previous entry shares with the
        // key. An entry sharing more with the previous one lies below the key
        // as that one did, unread.
        std::size_t shared = 0;
        for (std::size_t i = 0; i < count; ++i) {
            need(2);
            const Tail tail = read_tail(i);
            if (i > 0 && tail.lead > shared) {
                at += 4;
                continue;
            }
            // The entry's bytes from its lead on, one run at a time.
            std::size_t from = tail.lead;
            int c = 0;
            const auto weigh = [&](const std::uint8_t* run, std::size_t n) {
                if (c != 0 || n == 0)
                    return;
                const std::size_t same = CommonPrefixLength(run, key + from, n);
                from += same;
                if (same < n)
                    c = run[same] < key[from] ? -1 : 1;
            };
            weigh(tail.stored, tail.stored_size);
            if (c == 0 && tail.zeros > 0) {
                std::size_t z = 0;
                while (z < tail.zeros && key[from + z] == 0)
                    ++z;
                from += z;
                if (z < tail.zeros)
                    c = -1;
            }
            if (tail.rid != nullptr)
                weigh(tail.rid, rid_size);
            if (c >= 0) {
                std::memcpy(found, key, tail.lead);
                write_tail(tail, found);
                record = GetU32(page, at);
                position = static_cast<std::int64_t>(i) + 1;
                return true;
            }
            shared = from;
            at += 4;
        }
        return false;
    }
    // Any other order: each entry's key is put together over the one before
    // it (its leading bytes stay) and compared whole.
    std::fill(found, found + k, 0);
    for (std::size_t i = 0; i < count; ++i) {
        need(2);
        write_tail(read_tail(i), found);
        if (compare(found, key) >= 0) {
            record = GetU32(page, at);
            position = static_cast<std::int64_t>(i) + 1;
            return true;
        }
        at += 4;
    }
    return false;
}

std::size_t TPage::WritePage(std::span<std::uint8_t> bytes) {
    assert(bytes.size() >= kIndexPageSize);
    std::fill(bytes.begin(), bytes.begin() + kPageHeaderSize, 0);
    bytes[0] = static_cast<std::uint8_t>(kind_);
    assert(count_ >= 0);
    PutU16(bytes, 1, free_ ? 0 : static_cast<std::uint64_t>(count_));
    PutU32(bytes, 3, previous_);
    PutU32(bytes, 7, next_);
    std::size_t at = kPageHeaderSize;
    if (!free_ && !Compressed()) {
        // An unpacked entry begins with its packed form: the key, the
        // pointer and (interior) the count, all in file order.
        const std::size_t size = std::size_t{key_size_} + (IsInterior() ? 8 : 4);
        if (at + size * static_cast<std::size_t>(count_) > kIndexPageSize)
            PageCorrupt(owner_);
        for (std::int64_t i = 1; i <= count_; ++i) {
            std::memcpy(&bytes[at], EntryAt(i), size);
            at += size;
        }
    } else if (!free_) {
        if (used_ > kPageEntryBytes)
            PageCorrupt(owner_);
        PutU16(bytes, 11, used_);
        WriteCompressed(bytes, at);
    }
    // Entries fill the page from the header on without gaps; the rest is 0.
    std::fill(bytes.begin() + static_cast<std::ptrdiff_t>(at), bytes.begin() + kIndexPageSize, 0);
    changed_ = false;
    if (owner_ != nullptr && owner_->Encrypted()) {
        ScrambleBuffer(bytes.first(kIndexPageSize), kTableDataKeyLow, kTableDataKeyHigh);
        return kIndexPageSize;
    }
    return at;
}

void TPage::WriteCompressed(std::span<std::uint8_t> bytes, std::size_t& at) const {
    if (compression_ == 3)
        WriteCompressedOption3(bytes, at);
    else
        WriteCompressedAnyOption(bytes, at);
}

// As WriteCompressedAnyOption for option 3. An entry whose trailing count
// covers exactly the zeros its compact form dropped, and whose leading count
// ends within its kept bytes (every entry packed by the rule but repeated
// values and those capped at 255), stores one run of its kept bytes and
// record ID as they lie in the compact form.
void TPage::WriteCompressedOption3(std::span<std::uint8_t> bytes, std::size_t& at) const {
    const std::size_t k = key_size_;
    const std::size_t body = unique_ ? k : k - 4;
    const std::size_t rid_size = unique_ ? 0 : 4;
    const CompactEntries& entries = *compact_;
    // Held apart from the entries, since each byte stored to the page might
    // otherwise change where they stand, and they were asked for again.
    const CompactEntries::Slot* const slots = entries.Slots();
    const std::uint8_t* const area = entries.KeyArea();
    std::uint8_t* const page = bytes.data();
    const auto count = static_cast<std::size_t>(count_);
    std::size_t w_at = at;
    for (std::size_t i = 0; i < count; ++i) {
        const CompactEntries::Slot slot = slots[i];
        const std::size_t p = slot.lead;
        const std::size_t t = slot.trail;
        const std::size_t length = slot.length;
        const std::size_t size = k - p - t + 6;
        if (w_at + size > kIndexPageSize || p + t > body)
            PageCorrupt(owner_);
        std::uint8_t* w = page + w_at;
        w[0] = static_cast<std::uint8_t>(p);
        w[1] = static_cast<std::uint8_t>(t);
        w += 2;
        const std::uint8_t* const kept = area + slot.at;
        if (body - t == length && p <= length) {
            CopyShort(w, kept + p, length - p + rid_size);
        } else if (p + t == body) {
            // No body byte stored: a repeated value, its record ID alone.
            if (rid_size > 0)
                std::memcpy(w, kept + length, 4);
        } else {
            std::uint8_t* end = entries.CopyBody(i, p, body - t, w);
            if (rid_size > 0)
                std::memcpy(end, kept + length, 4);
        }
        StoreLittle(page + w_at + size - 4, slot.pointer);
        w_at += size;
    }
    at = w_at;
}

// Each entry as its counts say: the counts, its key but the shared leading
// bytes and the zeros the trailing count covers, the record number.
void TPage::WriteCompressedAnyOption(std::span<std::uint8_t> bytes, std::size_t& at) const {
    const std::size_t k = key_size_;
    const std::size_t body = unique_ ? k : k - 4;
    for (std::size_t i = 0; i < static_cast<std::size_t>(count_); ++i) {
        const CompactEntries::Slot& slot = compact_->At(i);
        const std::size_t p = slot.lead;
        const std::size_t t = slot.trail;
        // EntrySize for every option (the leading count is 0 under option 2,
        // the trailing one under option 1).
        const std::size_t size = k - p - t + 6;
        if (at + size > kIndexPageSize)
            PageCorrupt(owner_);
        std::uint8_t* w = &bytes[at];
        if (compression_ == 3) {
            w[0] = static_cast<std::uint8_t>(p);
            w[1] = static_cast<std::uint8_t>(t);
        } else {
            PutU16(bytes, at, compression_ == 1 ? p : t);
        }
        w += 2;
        if (compression_ == 1 && p > body) {
            std::memcpy(w, compact_->RecordId(i) + (p - body), k - p);
            w += k - p;
        } else {
            w = compact_->CopyBody(i, p, body - t, w);
            if (!unique_) {
                std::memcpy(w, compact_->RecordId(i), 4);
                w += 4;
            }
        }
        PutU32(bytes, static_cast<std::size_t>(w - bytes.data()), slot.pointer);
        at += size;
    }
}

void TPage::InsertRaw(std::int64_t after, const std::uint8_t* key, std::uint32_t pointer,
                      std::uint32_t count) {
    if (Compressed()) {
        assert(count == 1 && compact_);
        DropOtherForm();
        compact_->Insert(static_cast<std::size_t>(after), key, pointer);
        ++count_;
        used_ += EntrySize(after + 1);
        MarkChanged();
        return;
    }
    // A key that starts with the stem keeps the heads (every key between the first and the
    // last does).
    const bool keep_heads = heads_valid_ && count_ > 0 && std::memcmp(key, EntryAt(1), stem_) == 0;
    std::uint8_t* entry = OpenEntries(after, 1);
    std::memcpy(entry, key, key_size_);
    std::span<std::uint8_t> tail(entry + key_size_, 12);
    PutU32(tail, kPtrAt, pointer);
    PutU32(tail, kCountAt, count);
    PutU32(tail, kLeadAt, 0);
    if (keep_heads) {
        PutHead(entry);
        InnerOpened(after, 1);
    } else {
        DropHeads();
    }
    ++count_;
    // Counted with no compression until RecomputeAt gives it its counts.
    used_ += EntrySize(after + 1);
    MarkChanged();
}

// A page that is not compressed holds its entries in a buffer sized to them where it
// is built by edits while its cache has room (see TIndexFile::CacheHasRoom; a full
// cache's pages are fitted as pages read are): pages stand anywhere between half full and full (a
// split leaves two halves, and the halves of keys that come in order are never filled again), and
// the cache, which counts the buffer, holds as many more pages as the slack it is
// spared. The half a split keeps gets its entries' size (kExact); a page that grows
// gets a quarter more, so that it reaches a full page in a few steps (kGrow), and never
// gives up room while it grows. A page read (kRead) keeps whatever buffer its object
// holds while that is not unusually large, else takes one for a full page: when the
// cache is full, page objects serve page after page, and fitting each to the page it
// reads cost an allocation on every miss. Never more than Capacity() + 1 entries are
// asked for (the one over that splits the page).
void TPage::FitEntries(std::size_t bytes, EntryFit fit) {
    assert(!Compressed());
    DropOtherForm();
    if (fit != EntryFit::kRead && !SizedBuffers())
        fit = EntryFit::kRead;
    const std::size_t stride = Stride();
    const std::size_t full = static_cast<std::size_t>(Capacity() + 1) * stride;
    const std::size_t loose = LooseEntryBytes(bytes);
    const std::size_t most = fit == EntryFit::kExact  ? loose
                             : fit == EntryFit::kGrow ? std::max(loose, full)
                                                      : 2 * std::max(full, kIndexPageSize);
    if (entries_.capacity() >= bytes && entries_.capacity() <= most)
        return;
    std::size_t want = bytes;
    if (fit == EntryFit::kGrow) {
        const std::size_t room = (bytes / 4 + stride - 1) / stride * stride;
        want = std::max(bytes, std::min(bytes + std::max(room, stride), full));
    } else if (fit == EntryFit::kRead) {
        want = std::max(bytes, full);
    }
    // No spare much larger than wanted is taken (a page read wants a full page's).
    const std::size_t read_most = std::max(full, loose);
    if (entries_.empty()) {
        TakeSpare(entries_, bytes, fit == EntryFit::kRead ? read_most : loose);
        if (entries_.capacity() >= bytes && entries_.capacity() <= most) {
            NoteMemoryChange();
            return;
        }
    }
    if (entries_.empty() && entries_.capacity() < bytes) {
        // The short buffer may serve a smaller page next.
        GiveBack(entries_);
        entries_.reserve(want);
        NoteMemoryChange();
        return;
    }
    // Copied in one call: the vector's own copy goes byte by byte through the allocator.
    EntryBytes fitted;
    TakeSpare(fitted, want, fit == EntryFit::kRead ? read_most : LooseEntryBytes(want));
    if (fitted.capacity() < want)
        fitted.reserve(want);
    fitted.resize(entries_.size());
    if (!entries_.empty())
        std::memcpy(fitted.data(), entries_.data(), entries_.size());
    entries_.swap(fitted);
    GiveBack(fitted);
    NoteMemoryChange();
}

void TPage::PackToFront() {
    if (front_ == 0)
        return;
    const std::size_t bytes = entries_.size() - front_;
    std::memmove(entries_.data(), entries_.data() + front_, bytes);
    entries_.resize(bytes);
    front_ = 0;
}

std::uint8_t* TPage::OpenEntries(std::int64_t after, std::int64_t n, const std::uint8_t* from,
                                 bool heads_carried) {
    assert(after >= 0 && after <= count_ && n >= 0);
    assert(entries_.size() == front_ + static_cast<std::size_t>(count_) * Stride());
    const std::size_t bytes = static_cast<std::size_t>(n) * Stride();
    const std::size_t before = EntryOffset(after + 1);
    if (bytes == 0)
        return entries_.data() + front_ + before;
    // Entries moved in from a neighbour (a redistribution after a removal) keep the heads
    // when they start with the stem; what InsertRaw puts in, it settles itself.
    if (from != nullptr) {
        // Keys in byte order: the first and the last moved start as every key between does;
        // heads carried from a page of the same stem start with it all alike.
        const bool keep_heads =
            heads_valid_ && count_ > 0 && std::memcmp(from, EntryAt(1), stem_) == 0 &&
            (heads_carried || std::memcmp(from + static_cast<std::size_t>(n - 1) * Stride(),
                                          EntryAt(1), stem_) == 0);
        std::uint8_t* at = OpenEntriesRaw(after, n, from);
        if (!keep_heads) {
            DropHeads();
            return at;
        }
        if (!heads_carried) {
            for (std::int64_t i = 0; i < n; ++i)
                PutHead(at + static_cast<std::size_t>(i) * Stride());
        }
        InnerOpened(after, n);
        return at;
    }
    return OpenEntriesRaw(after, n, from);
}

std::uint8_t* TPage::OpenEntriesRaw(std::int64_t after, std::int64_t n, const std::uint8_t* from) {
    const std::size_t bytes = static_cast<std::size_t>(n) * Stride();
    const std::size_t before = EntryOffset(after + 1);
    if (front_ >= bytes && after <= count_ - after) {
        std::memmove(entries_.data() + front_ - bytes, entries_.data() + front_, before);
        front_ -= bytes;
        std::uint8_t* at = entries_.data() + front_ + before;
        if (from != nullptr)
            std::memcpy(at, from, bytes);
        return at;
    }
    // The free front bytes are given up before the buffer would have to grow.
    if (front_ > 0 && entries_.size() + bytes > entries_.capacity())
        PackToFront();
    // A buffer that holds the grown entries and is no larger than FitEntries keeps for them
    // stays as it is: most inserts find it so, and go without that work.
    const std::size_t grown = entries_.size() + bytes;
    const std::size_t full = static_cast<std::size_t>(Capacity() + 1) * Stride();
    const std::size_t room = entries_.capacity();
    const bool kept = !compact_ && room >= grown &&
                      (room <= std::max(LooseEntryBytes(grown), full) ||
                       (room <= 2 * std::max(full, kIndexPageSize) && !SizedBuffers()));
    if (!kept)
        FitEntries(grown, EntryFit::kGrow);
    // Not cleared: the caller writes every byte of the room it gets.
    const std::size_t at = front_ + before;
    const std::size_t moved = entries_.size() - at;
    entries_.resize(grown);
    std::uint8_t* place = entries_.data() + at;
    if (moved != 0)
        std::memmove(place + bytes, place, moved);
    if (from != nullptr)
        std::memcpy(place, from, bytes);
    return place;
}

void TPage::CloseEntries(std::int64_t pos, std::int64_t n) {
    assert(pos >= 1 && n >= 0 && pos + n - 1 <= count_);
    assert(entries_.size() == front_ + static_cast<std::size_t>(count_) * Stride());
    const std::size_t bytes = static_cast<std::size_t>(n) * Stride();
    const std::size_t before = EntryOffset(pos);
    const std::size_t after = static_cast<std::size_t>(count_ - (pos + n - 1)) * Stride();
    InnerClosed(pos, n);
    if (before == 0 && after == 0) {
        // An emptied page (merged into its neighbour, or its last key gone) keeps no memory.
        GiveBack(entries_);
        front_ = 0;
        NoteMemoryChange();
    } else if (before < after) {
        std::memmove(entries_.data() + front_ + bytes, entries_.data() + front_, before);
        front_ += bytes;
    } else {
        const auto first = entries_.begin() + static_cast<std::ptrdiff_t>(front_ + before);
        entries_.erase(first, first + static_cast<std::ptrdiff_t>(bytes));
    }
    // A page that lost entries keeps their room: it stays at least half full or merges, and
    // refitting it cost a copy on the removals of a large delete.
}

void TPage::EraseRaw(std::int64_t pos) {
    ForgetInserts();
    used_ -= EntrySize(pos);
    if (Compressed()) {
        compact_->Erase(Index(pos));
        --count_;
        MarkChanged();
        return;
    }
    CloseEntries(pos, 1);
    --count_;
    MarkChanged();
}

// Moves n entries from position from_pos of this page to `to`, after its
// position to_after.
// Requires: both pages are of one kind of entries (both compressed leaves or
// neither).
void TPage::MoveEntries(TPage& to, std::int64_t from_pos, std::int64_t n, std::int64_t to_after) {
    assert(n >= 0 && from_pos >= 1 && to_after >= 0 && &to != this);
    assert(Compressed() == to.Compressed());
    ForgetInserts();
    to.ForgetInserts();
    if (Compressed()) {
        to.DropOtherForm();
        compact_->MoveTo(*to.compact_, static_cast<std::size_t>(from_pos - 1),
                         static_cast<std::size_t>(n), static_cast<std::size_t>(to_after));
        count_ -= n;
        to.count_ += n;
        MarkChanged();
        to.MarkChanged();
        return;
    }
    to.OpenEntries(to_after, n, EntryAt(from_pos), heads_valid_ && stem_ == to.stem_);
    CloseEntries(from_pos, n);
    count_ -= n;
    to.count_ += n;
    MarkChanged();
    to.MarkChanged();
}

// A page split by a key put after all its others (keys that come in order): the new
// right half goes on filling while the left half stays as it is, so the right half
// takes the buffer where its entries stand already, and the left half's entries move
// into one of their size. As MoveEntries(right, keep + 1, count_ - keep, 0) leaves
// the entries.
void TPage::HandOverUpperHalf(TPage& right, std::int64_t keep) {
    assert(!Compressed() && !right.Compressed() && right.count_ == 0 && &right != this);
    assert(keep >= 1 && keep < count_);
    const std::size_t lower = static_cast<std::size_t>(keep) * Stride();
    EntryBytes kept;
    TakeSpare(kept, lower, LooseEntryBytes(lower));
    if (kept.capacity() < lower)
        kept.reserve(lower);
    kept.resize(lower);
    std::memcpy(kept.data(), entries_.data() + front_, lower);
    right.DropOtherForm();
    GiveBack(right.entries_);
    right.entries_.swap(entries_);
    right.front_ = front_ + lower;
    entries_.swap(kept);
    front_ = 0;
    const std::int64_t n = count_ - keep;
    InnerClosed(keep + 1, n);
    right.DropHeads();
    count_ = keep;
    right.count_ = n;
    MarkChanged();
    right.MarkChanged();
    NoteMemoryChange();
    right.NoteMemoryChange();
}

void TPage::SetKey(const std::uint8_t* key) {
    if (edit_ < 1 || edit_ > count_)
        PageCorrupt(owner_);
    if (Compressed()) {
        compact_->Replace(Index(edit_), key);
    } else {
        PutKeyAt(edit_, key);
    }
    RecomputeAt(edit_);
    RecomputeAt(edit_ + 1);
    if (edit_ == 1)
        UpdateSeparator();
}

void TPage::PutKeyAt(std::int64_t pos, const std::uint8_t* key) {
    std::uint8_t* entry = EntryAt(pos);
    // The entry it replaces started with the stem, as every other entry does.
    const bool keep_heads = heads_valid_ && std::memcmp(key, entry, stem_) == 0;
    std::memcpy(entry, key, key_size_);
    if (keep_heads) {
        PutHead(entry);
        if (IsInterior())
            inner_heads_[Index(pos)] = HeadAt(entry);
    } else {
        DropHeads();
    }
}

void TPage::MakeHeads() {
    assert(!Compressed() && key_size_ >= kHeadsFromKeySize);
    const std::size_t n = key_size_;
    // Keys in byte order: what the first and the last share, every key between shares.
    std::size_t stem = 0;
    if (count_ >= 2)
        KeyCompare::CompareBytesFrom(EntryAt(1), EntryAt(count_), n, 0, stem);
    // One byte short of it, so that a key moved in from a neighbour page (the ones either
    // side of it are most alike) mostly keeps the heads: a record ID then stands whole in
    // its entry's head, as its first byte is shared by nearly all.
    stem -= std::min<std::size_t>(stem, 1);
    stem_ = static_cast<std::uint16_t>(stem);
    std::uint8_t* entry = entries_.data() + front_;
    const std::size_t stride = Stride();
    for (std::int64_t i = 0; i < count_; ++i, entry += stride)
        PutHead(entry);
    if (IsInterior()) {
        // Room for the most entries the page holds, one over before it splits.
        const auto room = std::max<std::int64_t>(Capacity() + 1, count_);
        if (inner_room_ < room || inner_room_ > 2 * room) {
            inner_heads_ = std::make_unique<std::uint32_t[]>(static_cast<std::size_t>(room));
            inner_room_ = static_cast<std::uint16_t>(room);
            NoteMemoryChange();
        }
        entry = entries_.data() + front_;
        for (std::int64_t i = 0; i < count_; ++i, entry += stride)
            inner_heads_[static_cast<std::size_t>(i)] = HeadAt(entry);
    }
    heads_valid_ = true;
}

void TPage::InnerOpenedAt(std::int64_t after, std::int64_t n) {
    // Called before count_ counts the n entries.
    if (count_ + n > inner_room_) {
        DropHeads();
        return;
    }
    std::uint32_t* heads = inner_heads_.get();
    std::memmove(heads + after + n, heads + after,
                 static_cast<std::size_t>(count_ - after) * sizeof(std::uint32_t));
    for (std::int64_t i = 0; i < n; ++i)
        heads[after + i] = HeadAt(EntryAt(after + 1 + i));
}

void TPage::InnerClosedAt(std::int64_t pos, std::int64_t n) {
    std::uint32_t* heads = inner_heads_.get();
    std::memmove(heads + pos - 1, heads + pos - 1 + n,
                 static_cast<std::size_t>(count_ - (pos - 1 + n)) * sizeof(std::uint32_t));
}

bool TPage::InByteOrder() const {
    for (std::int64_t i = 2; i <= count_; ++i) {
        if (std::memcmp(EntryAt(i - 1), EntryAt(i), key_size_) > 0)
            return false;
    }
    return true;
}

bool TPage::HeadsHold() const {
    if (!heads_valid_)
        return true;
    if (Compressed() || stem_ > key_size_)
        return false;
    for (std::int64_t i = 1; i <= count_; ++i) {
        // Keys in byte order all share what the first and the last share; a damaged page
        // read from disk need not be in order, and a search of it promises nothing.
        if (std::memcmp(EntryAt(i), EntryAt(1), stem_) != 0)
            return !InByteOrder();
        if (HeadAt(EntryAt(i)) != HeadOf(EntryAt(i) + stem_, key_size_ - stem_) ||
            (IsInterior() &&
             (count_ > inner_room_ || inner_heads_[Index(i)] != HeadAt(EntryAt(i))))) {
            return false;
        }
    }
    return true;
}

void TPage::SetPointer(std::uint32_t pointer) {
    if (edit_ < 1 || edit_ > count_)
        PageCorrupt(owner_);
    if (Compressed())
        compact_->At(Index(edit_)).pointer = pointer;
    else
        PutU32(std::span(EntryAt(edit_) + key_size_, 12), kPtrAt, pointer);
    MarkChanged();
}

void TPage::SetCount(std::uint32_t count) {
    if (edit_ < 1 || edit_ > count_ || IsLeaf())
        PageCorrupt(owner_);
    // An unchanged count leaves the page clean, so it is not written again.
    if (CountAt(edit_) == count)
        return;
    PutU32(std::span(EntryAt(edit_) + key_size_, 12), kCountAt, count);
    MarkChanged();
}

bool TPage::AddToCount(std::int64_t pos, std::int64_t delta) {
    if (IsLeaf() || pos < 1 || pos > count_)
        return false;
    edit_ = pos;
    std::uint8_t* field = EntryAt(pos) + key_size_ + kCountAt;
    const std::int64_t count = std::int64_t{LoadLittle<std::uint32_t>(field)} + delta;
    if (count < 0 || count > std::int64_t{0xFFFFFFFF})
        return false;
    if (delta != 0) {
        StoreLittle(field, static_cast<std::uint32_t>(count));
        MarkChanged();
    }
    return true;
}

std::uint32_t TPage::GetPointer(PagePosition which) const {
    const std::int64_t pos = Pos(which);
    if (pos < 1 || pos > count_)
        PageCorrupt(owner_);
    return PointerAt(pos);
}

std::uint32_t TPage::GetCount(PagePosition which) const {
    if (IsLeaf())
        return 1;
    const std::int64_t pos = Pos(which);
    if (pos < 1 || pos > count_)
        PageCorrupt(owner_);
    return CountAt(pos);
}

std::uint64_t TPage::KeyCount() const {
    if (IsLeaf())
        return static_cast<std::uint64_t>(count_);
    std::uint64_t sum = 0;
    for (std::int64_t i = 1; i <= count_; ++i)
        sum += CountAt(i);
    return sum;
}

std::uint64_t TPage::KeysBefore(PagePosition which) const {
    const std::int64_t pos = std::clamp<std::int64_t>(Pos(which), 1, count_ + 1);
    if (IsLeaf())
        return static_cast<std::uint64_t>(pos - 1);
    std::uint64_t sum = 0;
    for (std::int64_t i = 1; i < pos; ++i)
        sum += CountAt(i);
    return sum;
}

// The parent's entry for this page carries the page's first key; a change at
// position 1 climbs as long as it lands at position 1 of each parent.
void TPage::UpdateSeparator() {
    TPage* page = this;
    PinnedPage parent;
    while (page->parent_ != 0 && page->count_ > 0) {
        PinnedPage up(*owner_, owner_->GetPage(slot_, page->parent_));
        const std::int64_t pos = up->FindChild(page->offset_);
        if (pos == 0)
            PageCorrupt(owner_);
        up->PutKeyAt(pos, page->KeyAt(1));
        up->MarkChanged();
        if (pos != 1)
            break;
        parent = std::move(up);
        page = parent.get();
    }
}

void TPage::ReparentChildren() {
    if (!IsInterior())
        return;
    for (std::int64_t i = 1; i <= count_; ++i) {
        if (TPage* child = owner_->FindCachedPage(slot_, PointerAt(i)))
            child->parent_ = offset_;
    }
}

// A run of keys in order that merges with older keys (each new key a little past an old
// one) reaches the next leaf when it passes that leaf's first keys: they go to the end of
// the run's leaf, and the new key after them, while the run's leaf has room and both leaves
// hang from one parent. The run then fills its leaf with its own and the older keys,
// instead of splitting the next leaf, whose older keys would travel with it page after page
// and leave each page it splits off partly empty.
bool TPage::JoinRunBefore(std::int64_t passed, const std::uint8_t* key, std::uint32_t pointer) {
    assert(IsLeaf() && !Compressed() && passed >= 1 && count_ >= passed);
    const TIndexFile::InsertRun& run = owner_->LastInsertRun(slot_, false, previous_);
    if (run.page != previous_ || run.ordered < kOrderedRun)
        return false;
    // Read when not cached: what the cache holds never changes what is written.
    PinnedPage before(*owner_, owner_->GetPage(slot_, previous_));
    PinnedPage parent(*owner_, owner_->GetPage(slot_, parent_));
    if (before->Free() || !before->IsLeaf() || before->Compressed() || before->next_ != offset_ ||
        before->count_ < 1 || run.position != before->count_ ||
        before->count_ + passed + 1 > before->Capacity() || !parent->IsInterior()) {
        return false;
    }
    // A leaf left with a few keys would stay behind the run nearly empty: it goes whole.
    const bool whole =
        count_ - passed <= kJoinedKeys && before->count_ + count_ + 1 <= before->Capacity();
    if (!whole && count_ == passed)
        return false;
    const std::int64_t pos = parent->FindChild(offset_);
    if (pos < 2 || parent->PointerAt(pos - 1) != previous_)
        return false;
    [[maybe_unused]] const std::uint64_t keys_before =
        parent->CountAt(pos - 1) + std::uint64_t{parent->CountAt(pos)};
    const std::uint8_t ordered = before->OrderedInserts();
    // The slot's next insert most likely goes where this one does: its trail leads there.
    TIndexFile::RemovalTrail& trail = owner_->LastInsertion(slot_);
    if (trail.leaf == offset_ && trail.depth >= 1 && trail.depth <= trail.path.size() &&
        trail.path[trail.depth - 1] == std::pair{parent->offset_, pos}) {
        trail.path[trail.depth - 1].second = pos - 1;
        trail.leaf = previous_;
    }
    MoveEntries(*before, 1, passed, before->count_);
    Recompute();
    before->Recompute();
    // The run goes on past the keys taken along.
    before->ContinueRun(before->count_, ordered, true);
    before->edit_ = before->count_;
    before->InsertEntry(key, pointer, 1);
    if (whole) {
        const std::int64_t inserted = before->edit_;
        if (count_ > 0)
            MoveEntries(*before, 1, count_, before->count_);
        Recompute();
        before->Recompute();
        before->ContinueRun(inserted, ordered, true);
        before->edit_ = inserted;
        // Out of the level and the parent, as a merge after a removal takes a leaf out.
        before->SetNext(next_);
        if (next_ != 0) {
            PinnedPage after(*owner_, owner_->GetPage(slot_, next_));
            after->SetPrevious(before->offset_);
        }
        previous_ = next_ = 0;
        parent_ = 0;
        assert(count_ == 0 && before->count_ <= before->Capacity());
        owner_->FreePage(*this);
        parent->edit_ = pos - 1;
        parent->SetCount(static_cast<std::uint32_t>(before->count_));
        assert(static_cast<std::uint64_t>(before->count_) == keys_before);
        parent->edit_ = pos;
        parent->DeleteEntry();
        return true;
    }
    edit_ = 1;
    parent->edit_ = pos - 1;
    parent->SetCount(static_cast<std::uint32_t>(before->count_));
    parent->edit_ = pos;
    parent->SetCount(static_cast<std::uint32_t>(count_));
    parent->SetKey(KeyAt(1));
    // The two leaves hold the parent's keys and the new one, in order, neither overfull.
    assert(before->count_ <= before->Capacity() && count_ >= 1);
    assert(parent->CountAt(pos - 1) + std::uint64_t{parent->CountAt(pos)} == keys_before);
    return true;
}

void TPage::NoteInsertAt(std::int64_t pos) {
    if (owner_ == nullptr)
        return;
    TIndexFile::InsertRun& run = owner_->LastInsertRun(slot_, IsInterior(), offset_);
    const bool follows = run.page == offset_ && pos > run.position && pos <= run.position + 2;
    run.ordered = follows ? static_cast<std::uint8_t>(std::min(run.ordered + 1, 255)) : 0;
    run.passing = follows && (run.passing || pos == run.position + 2);
    run.page = offset_;
    run.position = pos;
}

std::uint8_t TPage::OrderedInserts() const {
    if (owner_ == nullptr)
        return 0;
    const TIndexFile::InsertRun& run = owner_->LastInsertRun(slot_, IsInterior(), offset_);
    return run.page == offset_ ? run.ordered : 0;
}

bool TPage::PassingInserts() const {
    if (owner_ == nullptr)
        return false;
    const TIndexFile::InsertRun& run = owner_->LastInsertRun(slot_, IsInterior(), offset_);
    return run.page == offset_ && run.passing;
}

void TPage::ContinueRun(std::int64_t pos, std::uint8_t ordered, bool passing) {
    if (owner_ == nullptr)
        return;
    TIndexFile::InsertRun& run = owner_->LastInsertRun(slot_, IsInterior(), offset_);
    run.page = offset_;
    run.position = pos;
    run.ordered = ordered;
    run.passing = passing;
}

void TPage::ForgetInserts() {
    if (owner_ == nullptr)
        return;
    for (const bool interior : {false, true}) {
        TIndexFile::InsertRun& run = owner_->LastInsertRun(slot_, interior, offset_);
        if (run.page == offset_)
            run.page = 0;
    }
}

void TPage::InsertEntry(const std::uint8_t* key, std::uint32_t pointer, std::uint32_t count) {
    const std::int64_t after = std::clamp<std::int64_t>(edit_, 0, count_);
    if (after >= 1 && after <= kJoinedKeys && count_ >= after && previous_ != 0 && parent_ != 0 &&
        IsLeaf() && !Compressed() && JoinRunBefore(after, key, pointer)) {
        return;
    }
    InsertRaw(after, key, pointer, count);
    edit_ = after + 1;
    NoteInsertAt(edit_);
    // Entries at full width carry no counts, and InsertRaw marked the page changed.
    if (Compressed()) {
        RecomputeAt(edit_);
        RecomputeAt(edit_ + 1);
    }
    if (edit_ == 1)
        UpdateSeparator();
    if (Overflows())
        Split();
}

std::size_t TPage::AppendEntries(const std::uint8_t* keys, const std::uint32_t* pointers,
                                 std::size_t n) {
    assert(IsLeaf() && !Compressed() && count_ > 0);
    const std::int64_t room = Capacity() - count_;
    if (room <= 0 || n == 0)
        return 0;
    const std::size_t m = std::min<std::size_t>(n, static_cast<std::size_t>(room));
    const std::size_t stride = Stride();
    const std::size_t at = entries_.size();
    DropHeads();
    FitEntries(at + m * stride, EntryFit::kGrow);
    entries_.resize(at + m * stride, 0);
    for (std::size_t i = 0; i < m; ++i) {
        std::uint8_t* entry = entries_.data() + at + i * stride;
        std::memcpy(entry, keys + i * key_size_, key_size_);
        std::span<std::uint8_t> tail(entry + key_size_, 12);
        PutU32(tail, kPtrAt, pointers[i]);
        PutU32(tail, kCountAt, 1);
    }
    for (std::int64_t pos = count_ + 1; pos <= count_ + static_cast<std::int64_t>(m); ++pos)
        NoteInsertAt(pos);
    count_ += static_cast<std::int64_t>(m);
    used_ += m * (std::size_t{key_size_} + 4);
    edit_ = count_;
    MarkChanged();
    return m;
}

// Whether the page claims to be a root below another root of its index: a damaged kind
// byte, which a split or an emptying would follow to cut the rest of the tree off. (A page
// of an index without a root belongs to no tree yet.)
bool TPage::FalseRoot() const {
    if (owner_ == nullptr || (kind_ != PageKind::kRoot && kind_ != PageKind::kRootLeaf))
        return false;
    const std::uint32_t root = owner_->GetRoot(slot_);
    return root != 0 && root != offset_;
}

// Keys above all others (an auto-increment key) arrive at the end of the level's last page,
// where a random key rarely does: the full page stays and the new one takes what follows.
// A run in the middle of the tree (one category's record IDs before the next category's)
// keeps its new key on the left, which the run goes on filling (see JoinRunBefore for a run
// that passes older keys), and leaves the keys after it as they are. Scattered keys split
// in the middle.
std::int64_t TPage::SplitPoint(std::int64_t inserted) const {
    assert(count_ >= 2 && inserted >= 1 && inserted <= count_);
    const bool at_end = inserted == count_;
    if (!(OrderedInserts() >= kOrderedRun || (at_end && next_ == 0)))
        return (count_ + 1) / 2;
    if (at_end)
        return count_ - 1;
    // A run that merges with older keys takes a few left after its own along, rather than
    // leave them a page of their own.
    return PassingInserts() && count_ - inserted <= kJoinedKeys && inserted > 1 ? inserted - 1
                                                                                : inserted;
}

void TPage::Split() {
    assert(count_ >= 2);
    if (FalseRoot())
        PageCorrupt(owner_);
    [[maybe_unused]] const std::uint64_t keys_before = KeyCount();
    PinnedPage fresh(*owner_, owner_->NewPage(nullptr, slot_));
    TPage& right = *fresh;
    // A new page is nobody's neighbour yet: a next link naming it is damaged, and
    // following it would link the new half to itself.
    if (next_ == right.offset_)
        PageCorrupt(owner_);
    const bool interior = IsInterior();
    const bool was_root = kind_ == PageKind::kRoot || kind_ == PageKind::kRootLeaf;
    const std::int64_t inserted = edit_;
    const std::uint8_t ordered = OrderedInserts();
    const bool passing = PassingInserts();
    const std::int64_t keep = SplitPoint(inserted);
    assert(keep >= 1 && keep < count_);
    const bool appended = edit_ == count_;
    // The fresh page takes its kind first, so it holds the moved entries in
    // the form this one does.
    kind_ = right.kind_ = interior ? PageKind::kInterior : PageKind::kLeaf;
    if (!Compressed() && appended && keep == count_ - 1) {
        // The full page stays as it is; the new one grows as the keys that follow fill it.
        MoveEntries(right, count_, 1, 0);
    } else if (!Compressed() && appended && right.count_ == 0 && SizedBuffers()) {
        HandOverUpperHalf(right, keep);
    } else {
        MoveEntries(right, keep + 1, count_ - keep, 0);
        // The half kept would otherwise hold on to a buffer sized for the full page. It gets
        // its size only: where keys come in order within runs of one value (a category, then
        // the record ID), the left halves are never added to again, and a page of scattered
        // keys grows when it must.
        if (!Compressed())
            FitEntries(entries_.size(), EntryFit::kExact);
    }
    right.previous_ = offset_;
    right.next_ = next_;
    if (next_ != 0) {
        PinnedPage after(*owner_, owner_->GetPage(slot_, next_));
        after->SetPrevious(right.offset_);
    }
    next_ = right.offset_;
    right.parent_ = parent_;
    Recompute();
    right.Recompute();
    if (Compressed()) {
        while (used_ > kPageEntryBytes && count_ > 1) {
            MoveEntries(right, count_, 1, 0);
            Recompute();
            right.Recompute();
        }
        while (right.used_ > kPageEntryBytes && right.count_ > 1) {
            right.MoveEntries(*this, 1, 1, count_);
            Recompute();
            right.Recompute();
        }
        if (used_ > kPageEntryBytes || right.used_ > kPageEntryBytes)
            PageCorrupt(owner_);
        // Split by a key after all others (keys that come in order), the half kept is not
        // added to again: it gives back the room of the entries it gave away, which it went
        // on being counted for. As at full width, only while the cache has room: once it is
        // full, areas go from page to page and are not refitted for each.
        if (appended && SizedBuffers()) {
            compact_->Fit();
            NoteMemoryChange();
        }
    }
    // Both halves keep entries, hold every key they held together, stay in their page and
    // are linked as neighbours.
    assert(count_ >= 1 && right.count_ >= 1);
    assert(KeyCount() + right.KeyCount() == keys_before);
    assert(Compressed() || (count_ <= Capacity() && right.count_ <= Capacity()));
    assert(next_ == right.offset_ && right.previous_ == offset_ && right.kind_ == kind_);
    right.ReparentChildren();
    MarkChanged();
    right.MarkChanged();
    // The page that holds the new entry goes on taking the keys that follow it.
    if (inserted <= count_)
        ContinueRun(inserted, ordered, passing);
    else
        right.ContinueRun(inserted - count_, ordered, passing);
    if (edit_ > count_)
        edit_ = count_;

    if (was_root) {
        PinnedPage root(*owner_, owner_->NewPage(nullptr, slot_));
        root->kind_ = PageKind::kRoot;
        root->InsertRaw(0, KeyAt(1), offset_, static_cast<std::uint32_t>(KeyCount()));
        root->InsertRaw(1, right.KeyAt(1), right.offset_,
                        static_cast<std::uint32_t>(right.KeyCount()));
        root->Recompute();
        assert(root->KeyCount() == keys_before);
        owner_->SetRoot(slot_, root->offset_);
        parent_ = right.parent_ = root->offset_;
        return;
    }
    if (parent_ == 0)
        PageCorrupt(owner_);
    PinnedPage parent(*owner_, owner_->GetPage(slot_, parent_));
    const std::int64_t pos = parent->FindChild(offset_);
    if (pos == 0)
        PageCorrupt(owner_);
    parent->edit_ = pos;
    parent->SetCount(static_cast<std::uint32_t>(KeyCount()));
    parent->InsertEntry(right.KeyAt(1), right.offset_,
                        static_cast<std::uint32_t>(right.KeyCount()));
}

void TPage::DeleteEntry() {
    if (edit_ < 1 || edit_ > count_ || FalseRoot())
        PageCorrupt(owner_);
    const std::int64_t removed = edit_;
    EraseRaw(removed);
    if (edit_ > count_)
        edit_ = std::max<std::int64_t>(count_, 1);
    if (Compressed())
        RecomputeAt(removed);
    if (count_ > 0 && removed == 1)
        UpdateSeparator();

    if (kind_ == PageKind::kRootLeaf) {
        if (count_ == 0) {
            owner_->SetRoot(slot_, 0);
            owner_->FreePage(*this);
        }
        return;
    }
    if (kind_ == PageKind::kRoot) {
        if (count_ == 0) {
            owner_->SetRoot(slot_, 0);
            owner_->FreePage(*this);
        } else if (count_ == 1) {
            PinnedPage child(*owner_, owner_->GetPage(slot_, PointerAt(1)));
            child->kind_ = child->IsInterior() ? PageKind::kRoot : PageKind::kRootLeaf;
            child->parent_ = 0;
            child->previous_ = child->next_ = 0;
            child->MarkChanged();
            owner_->SetRoot(slot_, child->offset_);
            owner_->FreePage(*this);
            if (child->IsLeaf() && child->count_ == 0) {
                owner_->SetRoot(slot_, 0);
                owner_->FreePage(*child);
            }
        }
        return;
    }
    if (parent_ == 0)
        return;
    if (Compressed()) {
        // An empty compressed leaf leaves the tree at once, so scans never
        // meet an empty page.
        if (count_ > 0)
            return;
        if (previous_ != 0) {
            PinnedPage before(*owner_, owner_->GetPage(slot_, previous_));
            before->SetNext(next_);
        }
        if (next_ != 0) {
            PinnedPage after(*owner_, owner_->GetPage(slot_, next_));
            after->SetPrevious(previous_);
        }
        PinnedPage parent(*owner_, owner_->GetPage(slot_, parent_));
        const std::int64_t pos = parent->FindChild(offset_);
        if (pos == 0)
            PageCorrupt(owner_);
        parent_ = previous_ = next_ = 0;
        owner_->FreePage(*this);
        parent->edit_ = pos;
        parent->DeleteEntry();
        return;
    }
    if (count_ >= Capacity() / 2)
        return;
    Rebalance();
}

void TPage::Rebalance() {
    PinnedPage parent(*owner_, owner_->GetPage(slot_, parent_));
    const std::int64_t pos = parent->FindChild(offset_);
    if (pos == 0)
        PageCorrupt(owner_);
    if (parent->count_ < 2)
        return;  // the parent is a root about to collapse
    const std::int64_t right_pos = pos == 1 ? 2 : pos;
    PinnedPage sibling(*owner_, owner_->GetPage(slot_, parent->PointerAt(pos == 1 ? 2 : pos - 1)));
    TPage& left = pos == 1 ? *this : *sibling;
    TPage& right = pos == 1 ? *sibling : *this;
    // Neighbours in the parent that do not name each other as neighbours (or are one
    // page) come from a damaged file: joining them would break the chain of the level.
    if (left.kind_ != right.kind_ || &left == &right || left.next_ != right.offset_ ||
        right.previous_ != left.offset_) {
        PageCorrupt(owner_);
    }
    const std::int64_t total = left.count_ + right.count_;
    const bool left_was_empty = left.count_ == 0;
    [[maybe_unused]] const std::uint64_t keys_before = left.KeyCount() + right.KeyCount();
    if (total < Capacity()) {
        right.MoveEntries(left, 1, right.count_, left.count_);
        left.next_ = right.next_;
        if (right.next_ != 0) {
            PinnedPage after(*owner_, owner_->GetPage(slot_, right.next_));
            after->SetPrevious(left.offset_);
        }
        left.Recompute();
        right.Recompute();
        // The merged page holds every entry and key of the two.
        assert(left.count_ == total && right.count_ == 0 && left.KeyCount() == keys_before);
        left.ReparentChildren();
        right.previous_ = right.next_ = 0;
        right.parent_ = 0;
        owner_->FreePage(right);
        parent->edit_ = right_pos - 1;
        parent->SetCount(static_cast<std::uint32_t>(left.KeyCount()));
        if (left_was_empty)
            parent->SetKey(left.EntryAt(1));
        parent->edit_ = right_pos;
        parent->DeleteEntry();
        return;
    }
    const std::int64_t keep = (total + 1) / 2;
    if (left.count_ > keep) {
        left.MoveEntries(right, keep + 1, left.count_ - keep, 0);
    } else if (left.count_ < keep) {
        right.MoveEntries(left, 1, keep - left.count_, left.count_);
    }
    left.Recompute();
    right.Recompute();
    // Redistributed: the entries split evenly (the left takes the odd one) and no key is lost.
    assert(left.count_ == keep && right.count_ == total - keep && right.count_ >= 1);
    assert(left.KeyCount() + right.KeyCount() == keys_before);
    left.ReparentChildren();
    right.ReparentChildren();
    parent->edit_ = right_pos - 1;
    parent->SetCount(static_cast<std::uint32_t>(left.KeyCount()));
    if (left_was_empty)
        parent->SetKey(left.EntryAt(1));
    parent->edit_ = right_pos;
    parent->SetCount(static_cast<std::uint32_t>(right.KeyCount()));
    parent->SetKey(right.EntryAt(1));
}

// compare(key, entry) and compare(entry, key) for the entries of one page.
// A compressed leaf ordered by plain bytes compares each entry where it is
// kept, with the key's trailing zeros counted once; ordered by a function,
// it puts each entry's key together for it.
class TPage::KeyOrder {
  public:
    KeyOrder(const TPage& page, const std::uint8_t* key, const KeyCompare& compare)
        : page_(page), key_(key), compare_(compare) {
        if (page.Compressed()) {
            form_ =
                compare.PlainLength() == page.key_size_ ? Form::kCompactBytes : Form::kCompactKeys;
            if (form_ == Form::kCompactBytes)
                probe_ = page.compact_->MakeProbe(key);
        } else if (compare.PlainLength() == page.key_size_) {
            form_ = page.heads_valid_ ? Form::kHeads : Form::kFullBytes;
            assert(page.HeadsHold());
        }
    }

    // compare(key, entry at pos).
    int operator()(std::int64_t pos) const {
        switch (form_) {
            case Form::kFull:
                return compare_(key_, page_.EntryAt(pos));
            case Form::kFullBytes:
            case Form::kHeads:
                return KeyCompare::CompareBytes(key_, page_.EntryAt(pos), page_.key_size_);
            case Form::kCompactBytes:
                return page_.compact_->Compare(probe_, page_.Index(pos));
            case Form::kCompactKeys:
                break;
        }
        return compare_(key_, page_.KeyAt(pos));
    }
    // compare(entry at pos, key).
    int EntryVersus(std::int64_t pos) const {
        switch (form_) {
            case Form::kFull:
                return compare_(page_.EntryAt(pos), key_);
            case Form::kFullBytes:
            case Form::kHeads:
                return KeyCompare::CompareBytes(page_.EntryAt(pos), key_, page_.key_size_);
            case Form::kCompactBytes:
                return -page_.compact_->Compare(probe_, page_.Index(pos));
            case Form::kCompactKeys:
                break;
        }
        return compare_(page_.KeyAt(pos), key_);
    }
    // Entries not above the key. A hint is a count the answer is likely to be (the page's
    // last answer, as edits move along the keys in order); any value is safe.
    std::int64_t CountNotAbove(std::int64_t hint = -1) const { return CountUpTo<true>(hint); }
    // Entries below the key.
    std::int64_t CountBelow(std::int64_t hint = -1) const { return CountUpTo<false>(hint); }
    // The entries counted and whether the bound they end at equals the key: the last entry
    // not above it (NotAbove), or the first entry not below it.
    template <bool NotAbove>
    std::int64_t CountUpTo(bool& bound_equal, std::int64_t hint = -1) const {
        if (form_ == Form::kFullBytes)
            return CountBytes<NotAbove>(&bound_equal, hint);
        if (form_ == Form::kHeads)
            return CountHeads<NotAbove>(&bound_equal, hint);
        if (form_ == Form::kCompactBytes)
            return CountCompact<NotAbove>(&bound_equal, hint);
        const std::int64_t n = CountUpTo<NotAbove>(hint);
        const std::int64_t bound = NotAbove ? n : n + 1;
        bound_equal = bound >= 1 && bound <= page_.count_ && (*this)(bound) == 0;
        return n;
    }
    template <bool NotAbove>
    std::int64_t CountUpTo(std::int64_t hint = -1) const {
        switch (form_) {
            case Form::kFull:
                return Count<NotAbove>(
                    [this](std::int64_t pos) { return compare_(key_, page_.EntryAt(pos)); }, hint);
            case Form::kFullBytes:
                return CountBytes<NotAbove>(nullptr, hint);
            case Form::kHeads:
                return CountHeads<NotAbove>(nullptr, hint);
            case Form::kCompactBytes:
                return CountCompact<NotAbove>(nullptr, hint);
            case Form::kCompactKeys:
                break;
        }
        return Count<NotAbove>(*this, hint);
    }

  private:
    enum class Form { kFull, kFullBytes, kHeads, kCompactBytes, kCompactKeys };
    // The binary search over entries at full width in byte order. Every entry between two
    // bounds shares the prefix both bounds share with the key, so each comparison starts
    // past the shorter of the two. A hint is tried first: the entries on either side of it
    // settle the answer in two comparisons when it holds, and narrow the search when not.
    template <bool kNotAbove>
    std::int64_t CountBytes(bool* bound_equal, std::int64_t hint) const {
        const std::size_t n = page_.key_size_;
        const std::size_t stride = page_.Stride();
        const std::uint8_t* first = page_.entries_.data() + page_.front_;
        const auto count = static_cast<std::size_t>(page_.count_);
        // The entries [low, high) (0-based) are still undecided.
        std::size_t low = 0;
        std::size_t high = count;
        std::size_t low_common = 0;
        std::size_t high_common = 0;
        const auto probe = [&](std::size_t at) {
            std::size_t common = 0;
            const int c = KeyCompare::CompareBytesFrom(key_, first + at * stride, n,
                                                       std::min(low_common, high_common), common);
            if (kNotAbove ? c >= 0 : c > 0) {
                low = at + 1;
                low_common = common;
            } else {
                high = at;
                high_common = common;
            }
        };
        // A page met cold waits for every probe's line in turn: the entries either answer can
        // lead to next are asked for before it, so each wait overlaps the one before.
        const auto ask = [&](std::size_t at) {
            __builtin_prefetch(first + at * stride + std::min(low_common, high_common));
        };
        if (hint >= 0 && hint <= page_.count_) {
            const auto expected = static_cast<std::size_t>(hint);
            if (expected < count)
                ask(expected);
            if (expected > 0)
                probe(expected - 1);
            if (low == expected && expected < count)
                probe(expected);
        }
        while (low < high) {
            const std::size_t middle = (low + high) / 2;
            if (high - low > 2) {
                const std::size_t left = (low + middle) / 2;
                const std::size_t right = (middle + 1 + high) / 2;
                ask(left);
                ask(right);
                if (high - low > 6) {
                    ask((low + left) / 2);
                    ask((left + 1 + middle) / 2);
                    ask((middle + 1 + right) / 2);
                    ask((right + 1 + high) / 2);
                }
            }
            probe(middle);
        }
        // Each bound was compared when the search last moved to it (entry low - 1 for low,
        // entry low for high), and equals the key exactly when all n bytes do.
        if (bound_equal != nullptr) {
            *bound_equal =
                kNotAbove ? low >= 1 && low_common == n : low < count && high_common == n;
        }
        return static_cast<std::int64_t>(low);
    }
    // CountBytes over the heads: the key's own head settles every entry whose head differs,
    // and only entries of an equal head are compared further, past the head and past what
    // the bounds share with the key.
    template <bool kNotAbove>
    std::int64_t CountHeads(bool* bound_equal, std::int64_t hint) const {
        const std::size_t n = page_.key_size_;
        const auto count = static_cast<std::size_t>(page_.count_);
        const std::size_t stem = page_.stem_;
        if (bound_equal != nullptr)
            *bound_equal = false;
        if (count == 0)
            return 0;
        const std::uint8_t* first = page_.entries_.data() + page_.front_;
        // A key apart from the stem lies below or above every entry.
        if (stem > 0) {
            std::size_t common = 0;
            const int c = KeyCompare::CompareBytesFrom(key_, first, stem, 0, common);
            if (c != 0)
                return c < 0 ? 0 : page_.count_;
        }
        const std::size_t stride = page_.Stride();
        const std::size_t past_head = stem + std::min<std::size_t>(n - stem, 4);
        const std::uint32_t want = HeadOf(key_ + stem, n - stem);
        // The entries [low, high) (0-based) are still undecided.
        std::size_t low = 0;
        std::size_t high = count;
        std::size_t low_common = stem;
        std::size_t high_common = stem;
        const std::uint32_t* inner = page_.IsInterior() ? page_.inner_heads_.get() : nullptr;
        const auto probe = [&](std::size_t at) {
            const std::uint8_t* entry = first + at * stride;
            const std::uint32_t head = inner != nullptr ? inner[at] : page_.HeadAt(entry);
            int c = 0;
            // All the bound's common needs to say is that the entry differs from the key.
            std::size_t common = n;
            if (head != want) {
                c = want < head ? -1 : 1;
                common = stem;
            } else if (past_head < n) {
                c = KeyCompare::CompareBytesFrom(
                    key_, entry, n, std::max(past_head, std::min(low_common, high_common)), common);
            }
            if (kNotAbove ? c >= 0 : c > 0) {
                low = at + 1;
                low_common = common;
            } else {
                high = at;
                high_common = common;
            }
        };
        if (hint >= 0 && hint <= page_.count_) {
            const auto expected = static_cast<std::size_t>(hint);
            if (expected > 0)
                probe(expected - 1);
            if (low == expected && expected < count)
                probe(expected);
        }
        // As in CountBytes, the heads either answer leads to next are asked for before it.
        const auto ask = [&](std::size_t at) {
            if (inner == nullptr)
                __builtin_prefetch(first + at * stride + n + kHeadAt);
        };
        while (low < high) {
            const std::size_t middle = (low + high) / 2;
            if (high - low > 2) {
                ask((low + middle) / 2);
                ask((middle + 1 + high) / 2);
            }
            probe(middle);
        }
        if (bound_equal != nullptr) {
            *bound_equal =
                kNotAbove ? low >= 1 && low_common == n : low < count && high_common == n;
        }
        return static_cast<std::int64_t>(low);
    }
    template <bool kNotAbove>
    std::int64_t CountCompact(bool* bound_equal, std::int64_t hint) const {
        const std::size_t expected =
            hint >= 0 ? static_cast<std::size_t>(hint) : CompactEntries::kNoHint;
        return static_cast<std::int64_t>(
            page_.compact_->CountUpTo<kNotAbove>(probe_, expected, bound_equal));
    }
    // Binary search: entries not above the key, or below it, the hint tried first as in
    // CountBytes.
    template <bool kNotAbove, class Order>
    std::int64_t Count(const Order& order, std::int64_t hint) const {
        // The entries [low, high] (1-based) are still undecided.
        std::int64_t low = 1;
        std::int64_t high = page_.count_;
        const auto probe = [&](std::int64_t pos) {
            const int c = order(pos);
            if (kNotAbove ? c >= 0 : c > 0) {
                low = pos + 1;
            } else {
                high = pos - 1;
            }
        };
        if (hint >= 0 && hint <= page_.count_) {
            if (hint > 0)
                probe(hint);
            if (low == hint + 1 && hint < page_.count_)
                probe(hint + 1);
        }
        while (low <= high)
            probe((low + high) / 2);
        return high;
    }
    const TPage& page_;
    const std::uint8_t* key_;
    const KeyCompare& compare_;
    Form form_ = Form::kFull;
    CompactEntries::Probe probe_;
};

TPage::KeyOrder TPage::OrderFor(const std::uint8_t* key, const KeyCompare& compare) {
    if (!heads_valid_ && key_size_ >= kHeadsFromKeySize && !Compressed() &&
        compare.PlainLength() == key_size_) {
        MakeHeads();
    }
    return KeyOrder(*this, key, compare);
}

bool TPage::FindForInsert(const std::uint8_t* key, const KeyCompare& compare) {
    const KeyOrder order = OrderFor(key, compare);
    // Keys that only grow (counters, record numbers, the record ID ending a
    // key of a repeated value) go after the last entry: one comparison finds
    // that, instead of a search over the page.
    if (count_ > 0 && order(count_) > 0) {
        edit_ = count_;
        return false;
    }
    if (IsInterior()) {
        edit_ = std::max<std::int64_t>(order.CountNotAbove(edit_), 1);
        return false;
    }
    bool equal = false;
    edit_ = order.CountUpTo<true>(equal, edit_);
    return equal;
}

void TPage::SeekNearest(const std::uint8_t* key, const KeyCompare& compare) {
    Seek(OrderFor(key, compare));
}

void TPage::Seek(const KeyOrder& order) {
    if (IsInterior()) {
        read_ = std::max<std::int64_t>(order.CountNotAbove(read_), 1);
    } else {
        read_ = order.CountBelow(read_ - 1) + 1;
    }
}

bool TPage::SeekExact(const std::uint8_t* key, const KeyCompare& compare) {
    const KeyOrder order = OrderFor(key, compare);
    if (IsInterior()) {
        Seek(order);
        return false;
    }
    bool equal = false;
    read_ = order.CountUpTo<false>(equal, read_ - 1) + 1;
    return equal;
}

void TPage::FindNearest(const std::uint8_t* key, const KeyCompare& compare,
                        std::uint64_t& running) {
    SeekNearest(key, compare);
    running += KeysBefore(PagePosition::kRead);
}

bool TPage::FindExact(const std::uint8_t* key, const KeyCompare& compare, std::uint64_t& running) {
    const bool equal = SeekExact(key, compare);
    running += KeysBefore(PagePosition::kRead);
    return equal;
}

bool TPage::FindPartial(const std::uint8_t* low, const std::uint8_t* high,
                        const KeyCompare& compare, std::uint64_t& running) {
    FindNearest(low, compare, running);
    if (IsInterior())
        return count_ > 0;
    return read_ <= count_ && KeyOrder(*this, high, compare).EntryVersus(read_) <= 0;
}

void TPage::First(std::uint64_t& running) {
    read_ = 1;
    running = 1;
}

void TPage::Last(std::uint64_t& running) {
    read_ = count_;
    running += KeysBefore(PagePosition::kRead);
}

std::uint32_t TPage::CountConsecutive(std::uint32_t max, bool forward) const {
    std::uint32_t n = 0;
    if (IsInterior() || edit_ < 1 || edit_ > count_)
        return 0;
    std::uint32_t expected = PointerAt(edit_);
    for (std::int64_t i = forward ? edit_ + 1 : edit_ - 1; i >= 1 && i <= count_ && n < max;
         i += forward ? 1 : -1) {
        expected = forward ? expected + 1 : expected - 1;
        if (PointerAt(i) != expected)
            break;
        ++n;
    }
    return n;
}

bool TPage::SkipToBitmap(const TRecordsBitmap& bitmap, bool forward) {
    for (; read_ >= 1 && read_ <= count_; read_ += forward ? 1 : -1) {
        if (bitmap.IsSet(PointerAt(read_)))
            return true;
    }
    return false;
}

bool TPage::SkipToBitmapInRange(const TRecordsBitmap& bitmap, const std::uint8_t* limit,
                                const KeyCompare& compare, bool forward) {
    if (Compressed()) {
        const KeyOrder order(*this, limit, compare);
        for (; read_ >= 1 && read_ <= count_; read_ += forward ? 1 : -1) {
            const int c = order.EntryVersus(read_);
            if (forward ? c > 0 : c < 0)
                return false;
            if (bitmap.IsSet(PointerAt(read_)))
                return true;
        }
        return false;
    }
    for (; read_ >= 1 && read_ <= count_; read_ += forward ? 1 : -1) {
        const int c = compare(EntryAt(read_), limit);
        if (forward ? c > 0 : c < 0)
            return false;
        if (bitmap.IsSet(PointerAt(read_)))
            return true;
    }
    return false;
}

bool TPage::CollectRange(const std::uint8_t* limit, const KeyCompare& compare,
                         TRecordsBitmap& bitmap) {
    if (Compressed()) {
        const KeyOrder order(*this, limit, compare);
        for (; read_ >= 1 && read_ <= count_; ++read_) {
            if (order.EntryVersus(read_) > 0)
                return false;
            bitmap.SetBit(compact_->At(Index(read_)).pointer);
        }
        return true;
    }
    for (; read_ >= 1 && read_ <= count_; ++read_) {
        if (compare(EntryAt(read_), limit) > 0)
            return false;
        bitmap.SetBit(PointerAt(read_));
    }
    return true;
}

bool TPage::SizedBuffers() const {
    return owner_ == nullptr || owner_->CacheHasRoom();
}

void TPage::NoteMemoryChange() {
    if (owner_ != nullptr && cache_charge_ != 0)
        owner_->NoteMemoryChange(*this);
}

void TPage::NoteChange() {
    owner_->CountEdit(slot_);
    owner_->NoteLeafChange(offset_);
    if (cache_owned_ && !cache_listed_dirty_)
        owner_->NoteDirty(*this);
}

void TPage::Recycle(TIndexFile* owner) {
    owner_ = owner;
    Clear();
    ResetPins();
    lru_prev_ = lru_next_ = nullptr;
    cache_referenced_ = 0;
    cache_listed_dirty_ = false;
    cache_scanned_ = false;
    cache_charge_ = 0;
    cache_owned_ = true;
    // The buffer a former page grew would otherwise stay with every page read into the
    // object (a page read keeps a buffer that fits), so that a reopened file's cache held
    // fewer pages than its budget allows: it goes aside for a page that wants its size.
    GiveBack(entries_);
    front_ = 0;
    if (compact_ && compact_->MemoryBytes() > 4 * kIndexPageSize)
        compact_->Release();
}

// A page object serves pages of every kind in turn; it keeps the buffer of
// the form it holds, and a buffer of the other form (which the cache would
// count too) goes when it starts holding entries.
void TPage::DropOtherForm() {
    if (Compressed()) {
        if (entries_.capacity() != 0) {
            GiveBack(entries_);
            front_ = 0;
            NoteMemoryChange();
        }
        DropHeads();
    } else if (compact_) {
        compact_.Drop();
        NoteMemoryChange();
    }
}

void TPage::ReleaseMemory() {
    GiveBack(entries_);
    front_ = 0;
    DropHeads();
    inner_heads_.reset();
    inner_room_ = 0;
    compact_.Drop();
}

}  // namespace strata
