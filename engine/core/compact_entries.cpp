#include "engine/core/compact_entries.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <utility>

#include "engine/core/index_page.h"
#include "engine/storage/key_encoding.h"

namespace strata {

namespace {
std::size_t KeptLength(const std::uint8_t* body, std::size_t size) {
    return size - TrailingZeroCount(std::span<const std::uint8_t>(body, size));
}

// A little room beyond what is held, so growing one entry at a time
// reallocates seldom while the cache, which counts the memory, is charged
// about the content.
std::size_t WithRoom(std::size_t bytes) {
    return bytes + bytes / 8 + 64;
}

// Released areas kept for reuse: a few, each no larger than a page object
// keeps between uses (see TPage::Recycle), so what stays aside is small.
struct SpareAreas {
    std::vector<CompactEntries::Slot> slots;
    std::vector<std::uint8_t> keys;
};
constexpr std::size_t kMaxSpareAreas = 16;
constexpr std::size_t kMaxSpareBytes = 4 * kIndexPageSize;
std::vector<SpareAreas>& Spares() {
    thread_local std::vector<SpareAreas> spares;
    return spares;
}

std::uint32_t BigEndianWord(const std::uint8_t* p) {
    std::uint32_t word;
    std::memcpy(&word, p, 4);
    if constexpr (std::endian::native == std::endian::little)
        word = __builtin_bswap32(word);
    return word;
}
}  // namespace

void CompactEntries::Setup(std::size_t key_size, bool unique) {
    assert(key_size >= (unique ? 1u : 5u));
    const std::size_t rid = unique ? 0 : 4;
    if (key_size == key_size_ && rid == rid_)
        return;
    // Entries of other settings mean nothing under these.
    key_size_ = key_size;
    rid_ = rid;
    body_ = key_size - rid_;
    Clear();
}

void CompactEntries::Clear() {
    slots_.clear();
    head_ = 0;
    keys_.clear();
    gaps_ = 0;
    SetShared(0);
}

void CompactEntries::Release() {
    KeepAside();
    head_ = 0;
    std::vector<std::uint8_t>().swap(key_);
    gaps_ = 0;
    SetShared(0);
}

std::size_t CompactEntries::MemoryBytes() const {
    return slots_.capacity() * sizeof(Slot) + keys_.capacity() + key_.capacity();
}

void CompactEntries::KeepAside() {
    const std::size_t bytes = slots_.capacity() * sizeof(Slot) + keys_.capacity();
    if (bytes == 0)
        return;
    std::vector<SpareAreas>& spares = Spares();
    if (bytes <= kMaxSpareBytes && spares.size() < kMaxSpareAreas) {
        // The vector of spares has its room from the first use on.
        spares.reserve(kMaxSpareAreas);
        slots_.clear();
        keys_.clear();
        spares.push_back({std::move(slots_), std::move(keys_)});
    }
    std::vector<Slot>().swap(slots_);
    std::vector<std::uint8_t>().swap(keys_);
}

void CompactEntries::TakeSpare() {
    std::vector<SpareAreas>& spares = Spares();
    if (spares.empty() || slots_.capacity() != 0 || keys_.capacity() != 0)
        return;
    // The largest, which leaves the fewest pages short of room.
    auto largest = spares.begin();
    for (auto it = spares.begin(); it != spares.end(); ++it) {
        if (it->slots.capacity() * sizeof(Slot) + it->keys.capacity() >
            largest->slots.capacity() * sizeof(Slot) + largest->keys.capacity()) {
            largest = it;
        }
    }
    slots_.swap(largest->slots);
    keys_.swap(largest->keys);
    std::swap(*largest, spares.back());
    spares.pop_back();
    slots_.clear();
    keys_.clear();
    head_ = 0;
}

void CompactEntries::DropHead() {
    if (head_ == 0)
        return;
    slots_.erase(slots_.begin(), slots_.begin() + static_cast<std::ptrdiff_t>(head_));
    head_ = 0;
}

void CompactEntries::GrowSlots() {
    if (slots_.size() == slots_.capacity())
        DropHead();
    if (slots_.size() == slots_.capacity())
        slots_.reserve(slots_.size() + slots_.size() / 8 + 8);
}

std::uint32_t CompactEntries::Store(const std::uint8_t* body, std::size_t length,
                                    const std::uint8_t* rid) {
    const std::size_t need = length + rid_;
    if (keys_.size() + need > keys_.capacity()) {
        // Gaps of a quarter or more are closed rather than carried into a
        // larger area.
        if (gaps_ * 4 >= keys_.size() && gaps_ > 0) {
            Compact(need);
        } else {
            keys_.reserve(WithRoom(keys_.size() + need));
        }
    }
    const std::size_t at = keys_.size();
    if (need == 0)
        return static_cast<std::uint32_t>(at);
    keys_.resize(at + need);
    if (length > 0)
        std::memcpy(keys_.data() + at, body, length);
    if (rid_ > 0)
        std::memcpy(keys_.data() + at + length, rid, rid_);
    return static_cast<std::uint32_t>(at);
}

void CompactEntries::Compact(std::size_t room) {
    DropHead();
    std::vector<std::uint8_t> fresh;
    fresh.reserve(WithRoom(keys_.size() - gaps_ + room));
    for (Slot& slot : slots_) {
        const std::uint8_t* from = Bytes(slot);
        slot.at = static_cast<std::uint32_t>(fresh.size());
        fresh.insert(fresh.end(), from, from + Stored(slot));
    }
    keys_.swap(fresh);
    gaps_ = 0;
}

void CompactEntries::Insert(std::size_t i, const std::uint8_t* key, std::uint32_t pointer) {
    assert(i <= Size());
    TakeSpare();
    Slot slot;
    slot.SetLength(KeptLength(key, body_));
    slot.pointer = pointer;
    slot.at = Store(key, slot.length, key + body_);
    const bool first = Size() == 0;
    if (!first)
        ShareWith(key, i < Size() ? i : i - 1);
    slot.word = WordOf(slot);
    if (head_ > 0 && i < Size() / 2) {
        std::memmove(&slots_[head_ - 1], &slots_[head_], i * sizeof(Slot));
        --head_;
        slots_[head_ + i] = slot;
        return;
    }
    GrowSlots();
    slots_.insert(slots_.begin() + static_cast<std::ptrdiff_t>(head_ + i), slot);
    if (first)
        SetShared(key_size_);
}

void CompactEntries::Assign(std::span<const Slot> slots, std::span<const std::uint8_t> keys) {
    TakeSpare();
    // Room for a few inserts, so the first edits after a read do not
    // reallocate at once.
    if (slots_.capacity() < slots.size())
        slots_.reserve(slots.size() + slots.size() / 8 + 8);
    slots_.assign(slots.begin(), slots.end());
    head_ = 0;
    if (keys_.capacity() < keys.size())
        keys_.reserve(WithRoom(keys.size()));
    keys_.assign(keys.begin(), keys.end());
    gaps_ = 0;
    FindShared();
    CheckInvariants();
}

void CompactEntries::Erase(std::size_t i) {
    assert(i < Size());
    gaps_ += Stored(At(i));
    if (i < Size() / 2) {
        std::memmove(&slots_[head_ + 1], &slots_[head_], i * sizeof(Slot));
        ++head_;
    } else {
        slots_.erase(slots_.begin() + static_cast<std::ptrdiff_t>(head_ + i));
    }
    if (Size() == 0) {
        slots_.clear();
        head_ = 0;
        keys_.clear();
        gaps_ = 0;
        SetShared(0);
    } else if (gaps_ > 1024 && gaps_ * 2 > keys_.size()) {
        Compact(0);
    }
}

void CompactEntries::Replace(std::size_t i, const std::uint8_t* key) {
    // The old bytes count as a gap only once the slot leaves them, since a
    // compaction in Store keeps them.
    const std::size_t old = Stored(At(i));
    const std::size_t length = KeptLength(key, body_);
    const std::uint32_t at = Store(key, length, key + body_);
    At(i).at = at;
    At(i).SetLength(length);
    gaps_ += old;
    if (Size() == 1)
        SetShared(key_size_);
    else
        ShareWith(key, i > 0 ? i - 1 : i + 1);
    At(i).word = WordOf(At(i));
}

void CompactEntries::MoveTo(CompactEntries& to, std::size_t from, std::size_t n,
                            std::size_t before) {
    DropHead();
    to.DropHead();
    assert(from + n <= slots_.size() && before <= to.slots_.size());
    assert(to.key_size_ == key_size_ && to.rid_ == rid_);
    if (n == 0)
        return;
    std::size_t bytes = 0;
    for (std::size_t i = from; i < from + n; ++i)
        bytes += Stored(slots_[i]);
    if (to.keys_.size() + bytes > to.keys_.capacity())
        to.keys_.reserve(WithRoom(to.keys_.size() + bytes));
    std::vector<Slot> moved(slots_.begin() + static_cast<std::ptrdiff_t>(from),
                            slots_.begin() + static_cast<std::ptrdiff_t>(from + n));
    for (Slot& slot : moved) {
        const std::uint8_t* source = Bytes(slot);
        slot.at = static_cast<std::uint32_t>(to.keys_.size());
        to.keys_.insert(to.keys_.end(), source, source + Stored(slot));
    }
    const std::size_t total = to.slots_.size() + n;
    if (total > to.slots_.capacity())
        to.slots_.reserve(total + total / 8 + 8);
    to.slots_.insert(to.slots_.begin() + static_cast<std::ptrdiff_t>(before), moved.begin(),
                     moved.end());
    slots_.erase(slots_.begin() + static_cast<std::ptrdiff_t>(from),
                 slots_.begin() + static_cast<std::ptrdiff_t>(from + n));
    gaps_ += bytes;
    // Each side now spans other keys, which may share more or fewer bytes.
    to.FindShared();
    FindShared();
    if (slots_.empty()) {
        keys_.clear();
        gaps_ = 0;
    } else if (gaps_ * 2 > keys_.size()) {
        Compact(0);
        // A page that gave away most of its entries gives back their room.
        if (slots_.capacity() > 2 * slots_.size() + 16) {
            std::vector<Slot> fitted;
            fitted.reserve(slots_.size() + slots_.size() / 8 + 8);
            fitted.assign(slots_.begin(), slots_.end());
            slots_.swap(fitted);
        }
    }
}

void CompactEntries::Fit() {
    DropHead();
    if (keys_.capacity() > WithRoom(keys_.size() - gaps_))
        Compact(0);
    const std::size_t room = slots_.size() + slots_.size() / 8 + 8;
    if (slots_.capacity() > room) {
        std::vector<Slot> fitted;
        fitted.reserve(room);
        fitted.assign(slots_.begin(), slots_.end());
        slots_.swap(fitted);
    }
}

void CompactEntries::CopyKey(std::size_t i, std::size_t from, std::size_t to,
                             std::uint8_t* out) const {
    if (from >= to)
        return;
    assert(to <= key_size_);
    const Slot& slot = At(i);
    const std::uint8_t* bytes = Bytes(slot);
    std::size_t at = from;
    // The kept body bytes, the zeros after them, the record ID.
    if (at < slot.length) {
        const std::size_t end = std::min<std::size_t>(to, slot.length);
        std::memcpy(out, bytes + at, end - at);
        out += end - at;
        at = end;
    }
    if (at < to && at < body_) {
        const std::size_t end = std::min(to, body_);
        std::memset(out, 0, end - at);
        out += end - at;
        at = end;
    }
    if (at < to) {
        assert(rid_ > 0);
        std::memcpy(out, bytes + slot.length + (at - body_), to - at);
    }
}

const std::uint8_t* CompactEntries::Key(std::size_t i) const {
    key_.resize(key_size_);
    CopyKey(i, 0, key_size_, key_.data());
    return key_.data();
}

std::size_t CompactEntries::CommonPrefix(std::size_t a, std::size_t b) const {
    const Slot& x = At(a);
    const Slot& y = At(b);
    const std::size_t shorter = std::min(x.length, y.length);
    const std::size_t n = CommonKept(Bytes(x), Bytes(y), shorter);
    if (n < shorter)
        return n;
    if (x.length != y.length) {
        // The longer body goes on with zeros up to its last, nonzero, byte;
        // the shorter one has only zeros there.
        const Slot& longer = x.length > y.length ? x : y;
        const std::uint8_t* rest = Bytes(longer) + shorter;
        std::size_t zeros = 0;
        while (rest[zeros] == 0)
            ++zeros;
        return shorter + zeros;
    }
    if (rid_ == 0)
        return body_;
    return body_ + CommonKept(Bytes(x) + x.length, Bytes(y) + y.length, rid_);
}

CompactEntries::Probe CompactEntries::MakeProbe(const std::uint8_t* key) const {
    Probe probe{key, KeptLength(key, body_), 0, Probe::kUnknown};
    if (shared_ + 4 <= key_size_) {
        probe.word = BigEndianWord(key + shared_);
    } else {
        for (std::size_t j = shared_; j < shared_ + 4; ++j)
            probe.word = probe.word << 8 | (j < key_size_ ? key[j] : 0u);
    }
    if (!prefix_held_)
        return probe;
    // Against the shared bytes: the kept body bytes, zeros up to the body's
    // end (or the shared bytes'), then those of the record ID.
    const std::size_t kept = prefix_kept_;
    const std::size_t same = CommonKept(key, prefix_body_.data(), kept);
    if (same < kept) {
        probe.sharing = key[same] < prefix_body_[same] ? Probe::kBelowAll : Probe::kAboveAll;
        return probe;
    }
    const std::size_t body_end = std::min(shared_, body_);
    if (probe.length > kept) {
        for (std::size_t j = kept; j < std::min(body_end, probe.length); ++j) {
            if (key[j] != 0) {
                probe.sharing = Probe::kAboveAll;
                return probe;
            }
        }
    }
    if (shared_ > body_) {
        const std::size_t n = shared_ - body_;
        const std::size_t rid_same = CommonKept(key + body_, prefix_rid_.data(), n);
        if (rid_same < n) {
            probe.sharing =
                key[body_ + rid_same] < prefix_rid_[rid_same] ? Probe::kBelowAll : Probe::kAboveAll;
            return probe;
        }
    }
    probe.sharing = Probe::kSharing;
    return probe;
}

int CompactEntries::CompareSharing(const Probe& probe, std::size_t i, bool& sharing) const {
    const Slot& slot = At(i);
    const std::uint8_t* bytes = Bytes(slot);
    const std::size_t shorter = std::min<std::size_t>(probe.length, slot.length);
    const std::size_t same = CommonKept(probe.key, bytes, shorter);
    if (same < shorter) {
        sharing = same >= shared_;
        return probe.key[same] < bytes[same] ? -1 : 1;
    }
    if (probe.length != slot.length) {
        // The two agree on the zeros that follow the shorter body, up to
        // the longer one's next nonzero byte.
        std::size_t common = shorter;
        if (common < shared_) {
            const std::uint8_t* rest = probe.length > slot.length ? probe.key : bytes;
            while (rest[common] == 0)
                ++common;
        }
        sharing = common >= shared_;
        return probe.length > slot.length ? 1 : -1;
    }
    if (rid_ == 0) {
        sharing = true;
        return 0;
    }
    const std::size_t rid_same = CommonKept(probe.key + body_, bytes + slot.length, rid_);
    sharing = body_ + rid_same >= shared_;
    if (rid_same == rid_)
        return 0;
    return probe.key[body_ + rid_same] < bytes[slot.length + rid_same] ? -1 : 1;
}

std::uint32_t CompactEntries::WordOf(const Slot& slot) const {
    const std::uint8_t* bytes = Bytes(slot);
    if (shared_ + 4 <= slot.length)
        return BigEndianWord(bytes + shared_);
    if (rid_ > 0 && shared_ >= body_) {
        // Within the record ID, which ends the key: zeros come after it. Entries of one
        // repeated value (a category, a flag) share their whole body, so most of their words
        // lie here.
        const std::size_t into = shared_ - body_;
        return into < rid_ ? BigEndianWord(bytes + slot.length) << (8 * into) : 0;
    }
    return WordOfBytes(slot);
}

std::uint32_t CompactEntries::WordOfBytes(const Slot& slot) const {
    const std::uint8_t* bytes = Bytes(slot);
    std::uint32_t word = 0;
    for (std::size_t j = shared_; j < shared_ + 4; ++j) {
        std::uint32_t byte = 0;
        if (j < slot.length)
            byte = bytes[j];
        else if (j >= body_ && j < key_size_)
            byte = bytes[slot.length + (j - body_)];
        word = word << 8 | byte;
    }
    return word;
}

void CompactEntries::SetShared(std::size_t shared) {
    shared_ = shared;
    words_decide_ = shared_ + 4 >= key_size_;
    for (Slot *slot = slots_.data() + head_, *end = slots_.data() + slots_.size(); slot != end;
         ++slot) {
        slot->word = WordOf(*slot);
    }
    // The copy of the shared bytes, from any entry (all have them).
    prefix_kept_ = 0;
    prefix_held_ = true;
    if (Size() == 0)
        return;
    const Slot& slot = At(0);
    const std::uint8_t* bytes = Bytes(slot);
    std::size_t kept = std::min<std::size_t>(std::min(shared_, body_), slot.length);
    while (kept > 0 && bytes[kept - 1] == 0)
        --kept;
    if (kept > prefix_body_.size()) {
        prefix_held_ = false;
        return;
    }
    std::copy_n(bytes, kept, prefix_body_.begin());
    prefix_kept_ = static_cast<std::uint8_t>(kept);
    if (shared_ > body_)
        std::copy_n(bytes + slot.length, shared_ - body_, prefix_rid_.begin());
}

void CompactEntries::ShareWith(const std::uint8_t* key, std::size_t i) {
    const Probe probe{key, KeptLength(key, body_), 0};
    bool sharing = false;
    CompareSharing(probe, i, sharing);
    if (sharing)
        return;
    // Rare: a key beyond either end of the page's keys.
    const Slot& slot = At(i);
    std::size_t common = 0;
    while (common < key_size_ && key[common] == EntryByte(slot, common))
        ++common;
    SetShared(common);
}

void CompactEntries::FindShared() {
    if (Size() == 0) {
        SetShared(0);
        return;
    }
    SetShared(Size() == 1 ? key_size_ : CommonPrefix(0, Size() - 1));
}

void CompactEntries::Prefetch() const {
    const auto* slots = reinterpret_cast<const std::uint8_t*>(slots_.data() + head_);
    const std::size_t slot_bytes = Size() * sizeof(Slot);
    for (std::size_t at = 0; at < slot_bytes; at += 64)
        __builtin_prefetch(slots + at);
    for (std::size_t at = 0; at < keys_.size(); at += 64)
        __builtin_prefetch(keys_.data() + at);
}

void CompactEntries::CheckInvariants() const {
#ifndef NDEBUG
    std::size_t live = 0;
    assert(head_ <= slots_.size());
    for (std::size_t i = 0; i < Size(); ++i) {
        const Slot& slot = At(i);
        assert(slot.length <= body_);
        assert(std::size_t{slot.at} + Stored(slot) <= keys_.size());
        assert(slot.length == 0 || Bytes(slot)[slot.length - 1] != 0);
        assert(slot.word == WordOfBytes(slot));
        live += Stored(slot);
    }
    assert(live + gaps_ == keys_.size());
    // In byte order, every entry has the shared bytes, and the copy holds them.
    bool ordered = true;
    std::vector<std::uint8_t> a(key_size_);
    std::vector<std::uint8_t> b(key_size_);
    for (std::size_t i = 1; i < Size() && ordered; ++i) {
        CopyKey(i - 1, 0, key_size_, a.data());
        CopyKey(i, 0, key_size_, b.data());
        ordered = a <= b;
    }
    if (ordered && Size() > 0)
        assert(CommonPrefix(0, Size() - 1) >= shared_ || Size() == 1);
    if (ordered && Size() > 0 && prefix_held_) {
        for (std::size_t j = 0; j < std::min(shared_, body_); ++j)
            assert(EntryByte(At(0), j) == (j < prefix_kept_ ? prefix_body_[j] : 0));
        for (std::size_t j = body_; j < shared_; ++j)
            assert(EntryByte(At(0), j) == prefix_rid_[j - body_]);
    }
#endif
}

}  // namespace strata
