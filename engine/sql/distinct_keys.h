#pragma once

// The keys of the rows a DISTINCT has already given, by their bytes. Most DISTINCT results
// are few short keys met again and again, so a lookup of a key met before should cost a hash
// and a comparison: the keys live in one block of bytes and the table holds each key's hash
// beside its place, compared before any byte is.

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace strata {

class DistinctKeys {
  public:
    // True when `key` was not met before; it is remembered from then on.
    bool Insert(std::string_view key) { return Add(key).second; }
    // The key's number (0 for the first key met, and so on) and whether it is new.
    std::pair<std::size_t, bool> Add(std::string_view key);
    std::size_t Size() const noexcept { return count_; }

  private:
    struct Slot {
        std::uint64_t hash = 0;
        std::uint64_t offset = 0;
        std::uint32_t length = 0;
        bool used = false;
        std::size_t number = 0;
    };
    static std::uint64_t Hash(std::string_view key) noexcept;
    // The slot a hash starts its search at.
    std::size_t Home(std::uint64_t hash) const noexcept;
    void Grow();

    std::vector<Slot> slots_;
    std::string bytes_;
    std::size_t count_ = 0;
    int shift_ = 64;
};

// The words met before, for keys that fit one word (a short text with its bytes past the end
// cleared): a lookup is a multiplication and a comparison. The word with every bit set stands
// for an empty slot and cannot be added.
class DistinctWords {
  public:
    static constexpr std::uint64_t kEmpty = ~std::uint64_t{0};
    // True when `word` was not met before; it is remembered from then on. Requires:
    // word != kEmpty.
    bool Insert(std::uint64_t word) {
        if (slots_.empty() || (count_ + 1) * 2 > slots_.size()) {
            Grow();
        }
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t i = Home(word);; i = (i + 1) & mask) {
            if (slots_[i] == word) {
                return false;
            }
            if (slots_[i] == kEmpty) {
                slots_[i] = word;
                ++count_;
                return true;
            }
        }
    }
    std::size_t Size() const noexcept { return count_; }

  private:
    std::size_t Home(std::uint64_t word) const noexcept {
        return static_cast<std::size_t>((word * 0x9E3779B97F4A7C15ull) >> shift_);
    }
    void Grow();

    std::vector<std::uint64_t> slots_;
    std::size_t count_ = 0;
    int shift_ = 64;
};

}  // namespace strata
