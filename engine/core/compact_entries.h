#pragma once

// CompactEntries: the entries of a compressed index leaf in memory.
//
// A compressed leaf packs up to several hundred keys into its page; at their
// full width (up to 528 bytes, mostly zero padding) they took ten times the
// page, and every insert moved half of them. Here each key keeps its body
// (the key without its record ID when the index is not unique) only up to
// its last nonzero byte, followed by the record ID, in a key area that only
// grows at its end; each entry has a slot, in key order, with where its
// bytes are, its record number and the counts it is packed with. An insert
// or a delete moves slots, never key bytes; the bytes of removed keys stay
// behind as gaps until a compaction closes them.
//
// Positions are 0-based. The full key of an entry is: its kept body bytes,
// zeros up to the body size, then (not unique) its four record ID bytes.
//
// A search by byte order waited on two cache misses per step, the slot and
// then the key's bytes. The entries of a leaf share their first bytes (all
// of them when they hold one repeated value and differ only in the record
// ID), so each slot also carries the four full-key bytes that follow those
// shared ones: once a probe is known to share them too, most steps are
// settled by the slot alone.

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

namespace strata {

// Copies n bytes, sizeof(Word) <= n <= 2 * sizeof(Word), as a first and a last
// word that overlap where n is short of two words.
template <typename Word>
inline void CopyEnds(std::uint8_t* to, const std::uint8_t* from, std::size_t n) {
    Word head;
    Word last;
    std::memcpy(&head, from, sizeof(Word));
    std::memcpy(&last, from + n - sizeof(Word), sizeof(Word));
    std::memcpy(to, &head, sizeof(Word));
    std::memcpy(to + n - sizeof(Word), &last, sizeof(Word));
}

// Copies n bytes that do not overlap; the few bytes of one packed entry are
// moved in a word or two instead of a library call.
inline void CopyShort(std::uint8_t* to, const std::uint8_t* from, std::size_t n) {
    if (n > 16) {
        if (n > 32) {
            std::memcpy(to, from, n);
            return;
        }
        // Two halves of 16 bytes that overlap in the middle.
        std::uint64_t a;
        std::uint64_t b;
        std::uint64_t c;
        std::uint64_t d;
        std::memcpy(&a, from, 8);
        std::memcpy(&b, from + 8, 8);
        std::memcpy(&c, from + n - 16, 8);
        std::memcpy(&d, from + n - 8, 8);
        std::memcpy(to, &a, 8);
        std::memcpy(to + 8, &b, 8);
        std::memcpy(to + n - 16, &c, 8);
        std::memcpy(to + n - 8, &d, 8);
    } else if (n >= 8) {
        CopyEnds<std::uint64_t>(to, from, n);
    } else if (n >= 4) {
        CopyEnds<std::uint32_t>(to, from, n);
    } else {
        for (std::size_t i = 0; i < n; ++i)
            to[i] = from[i];
    }
}

// memcmp's order of n bytes, in words: the kept bodies and record IDs
// compared in a search are mostly shorter than a word or end in part of one,
// which a byte at a time took as long as the rest of the search.
inline int CompareKept(const std::uint8_t* a, const std::uint8_t* b, std::size_t n) {
    const auto order64 = [](std::uint64_t x, std::uint64_t y) {
        if constexpr (std::endian::native == std::endian::little) {
            x = __builtin_bswap64(x);
            y = __builtin_bswap64(y);
        }
        return x < y ? -1 : 1;
    };
    const auto order32 = [](std::uint32_t x, std::uint32_t y) {
        if constexpr (std::endian::native == std::endian::little) {
            x = __builtin_bswap32(x);
            y = __builtin_bswap32(y);
        }
        return x < y ? -1 : 1;
    };
    std::uint64_t x;
    std::uint64_t y;
    if (n >= 8) {
        std::size_t i = 0;
        for (; i + 8 <= n; i += 8) {
            std::memcpy(&x, a + i, 8);
            std::memcpy(&y, b + i, 8);
            if (x != y)
                return order64(x, y);
        }
        if (i < n) {
            // The last word overlaps bytes already found equal.
            std::memcpy(&x, a + n - 8, 8);
            std::memcpy(&y, b + n - 8, 8);
            if (x != y)
                return order64(x, y);
        }
        return 0;
    }
    if (n >= 4) {
        std::uint32_t u;
        std::uint32_t v;
        std::memcpy(&u, a, 4);
        std::memcpy(&v, b, 4);
        if (u != v)
            return order32(u, v);
        std::memcpy(&u, a + n - 4, 4);
        std::memcpy(&v, b + n - 4, 4);
        if (u != v)
            return order32(u, v);
        return 0;
    }
    for (std::size_t i = 0; i < n; ++i) {
        if (a[i] != b[i])
            return a[i] < b[i] ? -1 : 1;
    }
    return 0;
}

// Equal leading bytes of a and b, up to n, in words as CompareKept.
inline std::size_t CommonKept(const std::uint8_t* a, const std::uint8_t* b, std::size_t n) {
    const auto first_differing = [](std::uint64_t diff) {
        return static_cast<std::size_t>(std::endian::native == std::endian::little
                                            ? std::countr_zero(diff)
                                            : std::countl_zero(diff)) /
               8;
    };
    std::uint64_t x;
    std::uint64_t y;
    if (n >= 8) {
        std::size_t i = 0;
        for (; i + 8 <= n; i += 8) {
            std::memcpy(&x, a + i, 8);
            std::memcpy(&y, b + i, 8);
            if (x != y)
                return i + first_differing(x ^ y);
        }
        if (i < n) {
            std::memcpy(&x, a + n - 8, 8);
            std::memcpy(&y, b + n - 8, 8);
            if (x != y)
                return n - 8 + first_differing(x ^ y);
        }
        return n;
    }
    std::size_t i = 0;
    while (i < n && a[i] == b[i])
        ++i;
    return i;
}

class CompactEntries {
  public:
    static constexpr std::size_t kMaxKeyBytes = 528;
    struct Slot {
        // Full-key bytes [Shared(), Shared() + 4) as a big-endian number,
        // zero past the key; first, so it never straddles a cache line.
        std::uint32_t word = 0;
        std::uint32_t at = 0;  // in the key area
        std::uint32_t pointer = 0;
        // Counts within a key (at most 528), in one word so that a slot
        // takes 16 bytes, four to a cache line.
        std::uint32_t length : 10 = 0;  // body bytes kept; the rest of the body is zero
        std::uint32_t lead : 11 = 0;
        std::uint32_t trail : 11 = 0;

        // Requires: n <= kMaxKeyBytes.
        void SetLength(std::size_t n) { length = static_cast<std::uint32_t>(n) & 0x3FFu; }
        void SetLead(std::size_t n) { lead = static_cast<std::uint32_t>(n) & 0x7FFu; }
        void SetTrail(std::size_t n) { trail = static_cast<std::uint32_t>(n) & 0x7FFu; }
    };
    static_assert(kMaxKeyBytes < (1u << 10));
    static_assert(sizeof(Slot) == 16);
    // A key compared with many entries, the length of its body without its
    // trailing zeros found once.
    struct Probe {
        const std::uint8_t* key = nullptr;
        std::size_t length = 0;
        // The key's bytes where the slots keep theirs (see Slot::word).
        std::uint32_t word = 0;
        // How the key stands to the bytes every entry shares, when the
        // entries hold a copy of them: sharing them, so the words order it,
        // or below or above every entry.
        enum Sharing : std::uint8_t { kUnknown, kSharing, kBelowAll, kAboveAll };
        Sharing sharing = kUnknown;
    };
    static constexpr std::size_t kNoHint = static_cast<std::size_t>(-1);

    void Setup(std::size_t key_size, bool unique);
    std::size_t Size() const { return slots_.size() - head_; }
    // Drops the entries, keeping the memory for the next use.
    void Clear();
    // Drops the entries and their memory (kept aside for the next entries
    // of a page read into an object short of memory; see TakeSpare).
    void Release();
    std::size_t MemoryBytes() const;

    const Slot& At(std::size_t i) const { return slots_[head_ + i]; }
    // The slots in order, and the key area their `at` counts from: a writer
    // going through every entry holds the two instead of asking for each.
    const Slot* Slots() const { return slots_.data() + head_; }
    const std::uint8_t* KeyArea() const { return keys_.data(); }
    Slot& At(std::size_t i) { return slots_[head_ + i]; }

    // Requires: i <= Size(); `key` holds a full key. The new entry's counts are 0.
    void Insert(std::size_t i, const std::uint8_t* key, std::uint32_t pointer);
    // Takes all entries at once: `entries` in order, their bytes in `keys`
    // (each kept body followed by its record ID, as Store lays them out).
    void Assign(std::span<const Slot> entries, std::span<const std::uint8_t> keys);
    void Erase(std::size_t i);
    void Replace(std::size_t i, const std::uint8_t* key);
    // Moves n entries from position `from` into `to`, before its position `before`.
    void MoveTo(CompactEntries& to, std::size_t from, std::size_t n, std::size_t before);
    // Gives back the room beyond what the entries hold and a few inserts need (the gaps of
    // removed or moved keys, areas sized for more entries); an area that holds no more than
    // that stays where it is.
    void Fit();

    // Bytes [from, to) of entry i's full key; an empty range writes nothing.
    void CopyKey(std::size_t i, std::size_t from, std::size_t to, std::uint8_t* out) const;
    // Body bytes [from, to) of entry i, to <= the body size: what a packed
    // entry stores. Returns the end of what it wrote.
    std::uint8_t* CopyBody(std::size_t i, std::size_t from, std::size_t to,
                           std::uint8_t* out) const {
        const Slot& slot = At(i);
        if (from < slot.length) {
            const std::size_t kept = std::min<std::size_t>(to, slot.length) - from;
            std::memcpy(out, Bytes(slot) + from, kept);
            out += kept;
            from += kept;
        }
        if (from < to) {
            std::memset(out, 0, to - from);
            out += to - from;
        }
        return out;
    }
    // Entry i's record ID (4 bytes; not unique only).
    const std::uint8_t* RecordId(std::size_t i) const { return Bytes(At(i)) + At(i).length; }
    // Entry i's kept body bytes, its record ID right after them.
    const std::uint8_t* KeptBytes(std::size_t i) const { return Bytes(At(i)); }
    // Entry i's full key, valid until the next call or change.
    const std::uint8_t* Key(std::size_t i) const;
    // Equal leading bytes of the full keys of entries a and b.
    std::size_t CommonPrefix(std::size_t a, std::size_t b) const;
    // Zero bytes that end entry i's body.
    std::size_t TrailingZeros(std::size_t i) const { return body_ - At(i).length; }

    Probe MakeProbe(const std::uint8_t* key) const;
    // memcmp's order of the probe's full key against entry i's: -1, 0, 1.
    int Compare(const Probe& probe, std::size_t i) const {
        const Slot& slot = At(i);
        const std::uint8_t* bytes = Bytes(slot);
        const std::size_t shorter = std::min<std::size_t>(probe.length, slot.length);
        const int c = CompareKept(probe.key, bytes, shorter);
        if (c != 0)
            return c;
        // The longer body has a nonzero byte where the other has zero padding.
        if (probe.length != slot.length)
            return probe.length > slot.length ? 1 : -1;
        if (rid_ == 0)
            return 0;
        return CompareKept(probe.key + body_, bytes + slot.length, rid_);
    }
    // Entries not above the probe, and entries below it.
    std::size_t CountNotAbove(const Probe& probe) const { return CountUpTo<true>(probe); }
    std::size_t CountBelow(const Probe& probe) const { return CountUpTo<false>(probe); }
    // Entries not above the probe (kNotAbove) or below it, by binary search,
    // the entries on either side of `hint` (the answer expected) tried first
    // when it is at most Size(). `bound_equal`, when given, tells whether the
    // bound the count ends at (the last entry not above, or the first not
    // below) equals the probe. Requires: the entries in byte order.
    template <bool kNotAbove>
    std::size_t CountUpTo(const Probe& probe, std::size_t hint = kNoHint,
                          bool* bound_equal = nullptr) const;
    // Leading full-key bytes that every entry has in common (at least).
    std::size_t Shared() const { return shared_; }

    void Prefetch() const;

    // Debug builds: every slot lies inside the key area, keeps no trailing
    // zero, and the gaps add up.
    void CheckInvariants() const;

  private:
    const std::uint8_t* Bytes(const Slot& slot) const { return keys_.data() + slot.at; }
    // compare(probe, entry i) as Compare, and whether the probe shares the
    // first Shared() bytes with the entry (and so with every entry).
    int CompareSharing(const Probe& probe, std::size_t i, bool& sharing) const;
    std::uint32_t WordOf(const Slot& slot) const;
    // The same byte by byte, for any entry.
    std::uint32_t WordOfBytes(const Slot& slot) const;
    // Byte j of the slot's full key.
    std::uint8_t EntryByte(const Slot& slot, std::size_t j) const {
        if (j < slot.length)
            return Bytes(slot)[j];
        return j < body_ ? 0 : Bytes(slot)[slot.length + (j - body_)];
    }
    // Lowers Shared() to what entry i shares with `key`, when it is less,
    // and gives every slot its word again.
    void ShareWith(const std::uint8_t* key, std::size_t i);
    // Shared() from the first and the last entry, and every slot's word.
    void FindShared();
    void SetShared(std::size_t shared);
    // Stores a body of `length` bytes and the record ID at `rid`; returns where.
    std::uint32_t Store(const std::uint8_t* body, std::size_t length, const std::uint8_t* rid);
    // Rewrites the live keys in slot order with `room` bytes to spare.
    void Compact(std::size_t room);
    void GrowSlots();
    std::size_t Stored(const Slot& slot) const { return slot.length + rid_; }

    // Drops the unused slots in front of the entries.
    void DropHead();
    // Takes areas other entries released, when these hold none: a page read
    // on a cache miss otherwise allocated its two areas anew, and most
    // misses follow an eviction that released some.
    void TakeSpare();
    // Puts the areas aside for other entries (or frees them); both empty after.
    void KeepAside();

    // The entries' slots from position head_ on: an edit in the first half
    // of a page moves the slots in front of it instead of those after it.
    std::vector<Slot> slots_;
    std::size_t head_ = 0;
    std::vector<std::uint8_t> keys_;
    std::size_t gaps_ = 0;
    std::size_t key_size_ = 0;
    std::size_t body_ = 0;
    std::size_t rid_ = 0;
    std::size_t shared_ = 0;
    // Equal words mean equal keys: the shared bytes and the word reach the
    // key's end.
    bool words_decide_ = false;
    // A copy of the shared bytes, so a search need not read an entry's key
    // to learn whether its probe has them too: the body's up to its last
    // nonzero byte (held while they fit), then those of the record ID.
    bool prefix_held_ = true;
    std::uint8_t prefix_kept_ = 0;
    std::array<std::uint8_t, 4> prefix_rid_{};
    std::array<std::uint8_t, 24> prefix_body_{};
    mutable std::vector<std::uint8_t> key_;
};

template <bool kNotAbove>
std::size_t CompactEntries::CountUpTo(const Probe& probe, std::size_t hint,
                                      bool* bound_equal) const {
    const std::size_t n = Size();
    const Slot* const ordered = slots_.data() + head_;
    // The entries [low, high) are still undecided; each bound remembers
    // whether the entry that set it equals the probe.
    std::size_t low = 0;
    std::size_t high = n;
    bool low_equal = false;
    bool high_equal = false;
    // Until the probe is known to share the bytes every entry shares, the
    // words say nothing; an entry compared whole tells, when no copy did.
    bool by_words = probe.sharing == Probe::kSharing;
    if (probe.sharing == Probe::kBelowAll || probe.sharing == Probe::kAboveAll) {
        if (bound_equal != nullptr)
            *bound_equal = false;
        return probe.sharing == Probe::kAboveAll ? n : 0;
    }
    const auto step = [&](std::size_t i) {
        int c = 0;
        if (by_words) {
            const std::uint32_t word = ordered[i].word;
            if (word != probe.word)
                c = probe.word < word ? -1 : 1;
            else if (!words_decide_)
                c = Compare(probe, i);
        } else {
            c = CompareSharing(probe, i, by_words);
            if (!by_words) {
                // The probe parts from every entry where it parts from this
                // one (the first compared), and lies on the same side of all.
                low = high = (kNotAbove ? c >= 0 : c > 0) ? n : 0;
                return;
            }
        }
        if (kNotAbove ? c >= 0 : c > 0) {
            low = i + 1;
            low_equal = c == 0;
        } else {
            high = i;
            high_equal = c == 0;
        }
    };
    if (hint <= n) {
        if (hint > 0)
            step(hint - 1);
        if (low == hint && hint < high)
            step(hint);
    }
    while (low < high) {
        const std::size_t middle = (low + high) / 2;
        // The slots either answer leads to next are asked for before it:
        // each step then waits for less than a whole miss.
        if (high - low > 2) {
            __builtin_prefetch(&ordered[(low + middle) / 2].word);
            __builtin_prefetch(&ordered[(middle + 1 + high) / 2].word);
        }
        step(middle);
    }
    if (bound_equal != nullptr)
        *bound_equal = kNotAbove ? low >= 1 && low_equal : low < n && high_equal;
    return low;
}

}  // namespace strata
