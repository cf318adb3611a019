#include "engine/sql/distinct_keys.h"

#include <bit>
#include <cstring>

namespace strata {

namespace {

template <std::size_t N>
std::uint64_t Load(const char* p) noexcept {
    std::uint64_t v = 0;
    std::memcpy(&v, p, N);
    return v;
}

// The bytes of a key of at most eight, read without a call: two overlapping halves, or the
// first, middle and last byte; together they hold every byte.
std::uint64_t LoadShort(const char* p, std::size_t n) noexcept {
    if (n >= 4) {
        return Load<4>(p) | (Load<4>(p + n - 4) << 32);
    }
    if (n == 0) {
        return 0;
    }
    const auto byte = [&](std::size_t i) {
        return std::uint64_t{static_cast<unsigned char>(p[i])};
    };
    return byte(0) | (byte(n / 2) << 8) | (byte(n - 1) << 16);
}

// Short keys, the usual ones, compare as one or two words: overlapping loads that together
// cover every byte.
bool SameBytes(const char* a, const char* b, std::size_t n) noexcept {
    if (n <= 8) {
        return LoadShort(a, n) == LoadShort(b, n);
    }
    if (n <= 16) {
        return Load<8>(a) == Load<8>(b) && Load<8>(a + n - 8) == Load<8>(b + n - 8);
    }
    return std::memcmp(a, b, n) == 0;
}

std::uint64_t Mix(std::uint64_t a, std::uint64_t b) noexcept {
    a *= b;
    return a ^ (a >> 29);
}

constexpr std::uint64_t kSeed = 0x9E3779B97F4A7C15ull;
constexpr std::uint64_t kStep = 0xD6E8FEB86659FD93ull;

}  // namespace

std::uint64_t DistinctKeys::Hash(std::string_view key) noexcept {
    // Multiplied in: the table takes the product's high bits, which every input bit reaches.
    const char* p = key.data();
    std::size_t n = key.size();
    if (n <= 8) {
        return (LoadShort(p, n) ^ (std::uint64_t{n} << 59)) * kSeed;
    }
    std::uint64_t h = kSeed ^ n;
    for (; n > 8; n -= 8, p += 8) {
        h = Mix(h ^ Load<8>(p), kStep);
    }
    // The last eight bytes, overlapping those before.
    return (h ^ Load<8>(key.data() + key.size() - 8)) * kSeed;
}

std::size_t DistinctKeys::Home(std::uint64_t hash) const noexcept {
    return static_cast<std::size_t>(hash >> shift_);
}

std::pair<std::size_t, bool> DistinctKeys::Add(std::string_view key) {
    if ((count_ + 1) * 2 > slots_.size()) {
        Grow();
    }
    const std::uint64_t hash = Hash(key);
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = Home(hash);; i = (i + 1) & mask) {
        Slot& slot = slots_[i];
        if (!slot.used) {
            slot = {hash, bytes_.size(), static_cast<std::uint32_t>(key.size()), true, count_};
            bytes_.append(key);
            return {count_++, true};
        }
        if (slot.hash == hash && slot.length == key.size() &&
            SameBytes(bytes_.data() + slot.offset, key.data(), key.size())) {
            return {slot.number, false};
        }
    }
}

void DistinctKeys::Grow() {
    std::vector<Slot> old = std::move(slots_);
    slots_.assign(old.empty() ? 64 : old.size() * 2, Slot{});
    shift_ = 64 - std::countr_zero(slots_.size());
    const std::size_t mask = slots_.size() - 1;
    for (const Slot& slot : old) {
        if (!slot.used) {
            continue;
        }
        std::size_t i = Home(slot.hash);
        while (slots_[i].used) {
            i = (i + 1) & mask;
        }
        slots_[i] = slot;
    }
}

void DistinctWords::Grow() {
    std::vector<std::uint64_t> old = std::move(slots_);
    slots_.assign(old.empty() ? 64 : old.size() * 2, kEmpty);
    shift_ = 64 - std::countr_zero(slots_.size());
    const std::size_t mask = slots_.size() - 1;
    for (const std::uint64_t word : old) {
        if (word == kEmpty) {
            continue;
        }
        std::size_t i = Home(word);
        while (slots_[i] != kEmpty) {
            i = (i + 1) & mask;
        }
        slots_[i] = word;
    }
}

}  // namespace strata
