#include "engine/storage/records_bitmap.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace strata {
namespace {

constexpr std::int64_t kBitsPerWord = 32;
constexpr std::int64_t kMaxRecordCount = 0xFFFFFFFF;

}  // namespace

void TRecordsBitmap::SetBufferSize(std::int64_t bytes) {
    ResizeBlockBuffer(bytes, kBitmapBlockSize, bits_);
}

void TRecordsBitmap::SetRecordCount(std::int64_t n) {
    n = std::max<std::int64_t>(n, 0);
    if (n == record_count_) {
        return;
    }
    if (n > kMaxRecordCount) {
        RaiseOutOfMemory();  // record numbers are 32-bit: no bitmap this large is ever needed
    }
    const std::int64_t rounded = (n + kBitsPerWord - 1) / kBitsPerWord * kBitsPerWord;
    SetBufferSize(rounded / 8);
    record_count_ = n;
    rounded_count_ = rounded;
    word_count_ = rounded / kBitsPerWord;
}

bool TRecordsBitmap::IsSet(std::int64_t r) const {
    if (r < 1 || r > record_count_) {
        return false;
    }
    return (Words()[(r - 1) / kBitsPerWord] >> ((r - 1) % kBitsPerWord) & 1U) != 0;
}

void TRecordsBitmap::SetBit(std::int64_t r) {
    if (r >= 1 && r <= record_count_) {
        Words()[(r - 1) / kBitsPerWord] |= 1U << ((r - 1) % kBitsPerWord);
    }
}

void TRecordsBitmap::ClearBit(std::int64_t r) {
    if (r >= 1 && r <= record_count_) {
        Words()[(r - 1) / kBitsPerWord] &= ~(1U << ((r - 1) % kBitsPerWord));
    }
}

std::uint32_t TRecordsBitmap::CountedWord(std::int64_t i) const {
    std::uint32_t word = Words()[i];
    const std::int64_t used = record_count_ - i * kBitsPerWord;
    if (used < kBitsPerWord) {
        word &= used <= 0 ? 0U : (1U << used) - 1U;
    }
    return word;
}

std::int64_t TRecordsBitmap::CountSet() const {
    return CountSetBefore(record_count_ + 1);
}

std::int64_t TRecordsBitmap::CountSetBefore(std::int64_t r) const {
    const std::int64_t last = std::min(r - 1, record_count_);  // count records 1..last
    if (last < 1) {
        return 0;
    }
    std::int64_t count = 0;
    const std::int64_t full_words = last / kBitsPerWord;
    for (std::int64_t i = 0; i < full_words; ++i) {
        count += std::popcount(Words()[i]);
    }
    const std::int64_t rest = last % kBitsPerWord;
    if (rest > 0) {
        count += std::popcount(Words()[full_words] & ((1U << rest) - 1U));
    }
    return count;
}

bool TRecordsBitmap::FindNext(std::int64_t& r, std::int64_t n, std::int64_t& position) const {
    std::int64_t found = 0;
    std::int64_t next = std::max<std::int64_t>(r + 1, 1);
    while (found < n && next <= record_count_) {
        const std::int64_t word_index = (next - 1) / kBitsPerWord;
        const std::int64_t bit = (next - 1) % kBitsPerWord;
        const std::uint32_t word = CountedWord(word_index) >> bit;
        if (word == 0) {
            next = (word_index + 1) * kBitsPerWord + 1;  // skips the rest of the word whole
            continue;
        }
        next += std::countr_zero(word);
        r = next;
        ++position;
        ++found;
        ++next;
    }
    return found == n;
}

void TRecordsBitmap::CollectSet(std::int64_t first, std::int64_t end,
                                std::vector<std::uint32_t>& out, std::int64_t max_gap) const {
    first = std::max<std::int64_t>(first, 1);
    end = std::min(end, record_count_ + 1);
    // The last record appended here (none yet).
    std::int64_t last = -1;
    while (first < end) {
        if (last >= 0 && first - last > max_gap)
            return;
        const std::int64_t word_index = (first - 1) / kBitsPerWord;
        const std::int64_t base = word_index * kBitsPerWord + 1;
        std::uint32_t word = CountedWord(word_index) >> ((first - 1) % kBitsPerWord);
        std::int64_t at = first;
        const std::int64_t word_end = std::min(end, base + kBitsPerWord);
        while (word != 0) {
            at += std::countr_zero(word);
            if (at >= word_end || (last >= 0 && at - last > max_gap))
                return;
            out.push_back(static_cast<std::uint32_t>(at));
            last = at;
            word >>= std::countr_zero(word);
            word >>= 1;
            ++at;
        }
        first = base + kBitsPerWord;
    }
}

bool TRecordsBitmap::FindPrior(std::int64_t& r, std::int64_t n, std::int64_t& position) const {
    std::int64_t found = 0;
    std::int64_t prior = std::min(r - 1, record_count_);
    while (found < n && prior >= 1) {
        const std::int64_t word_index = (prior - 1) / kBitsPerWord;
        const std::int64_t bit = (prior - 1) % kBitsPerWord;
        const std::uint32_t word = CountedWord(word_index) << (kBitsPerWord - 1 - bit);
        if (word == 0) {
            prior = word_index * kBitsPerWord;
            continue;
        }
        prior -= std::countl_zero(word);
        r = prior;
        --position;
        ++found;
        --prior;
    }
    return found == n;
}

void TRecordsBitmap::AndWith(const TRecordsBitmap& other) {
    const std::int64_t shared = std::min(word_count_, other.BufferWords());
    for (std::int64_t i = 0; i < shared; ++i) {
        Words()[i] &= other.Words()[i];
    }
    for (std::int64_t i = shared; i < word_count_; ++i) {
        Words()[i] = 0;
    }
}

void TRecordsBitmap::OrWith(const TRecordsBitmap& other) {
    const std::int64_t shared = std::min(word_count_, other.BufferWords());
    for (std::int64_t i = 0; i < shared; ++i) {
        Words()[i] |= other.Words()[i];
    }
}

void TRecordsBitmap::Invert() {
    for (std::int64_t i = 0; i < word_count_; ++i) {
        Words()[i] = ~Words()[i];
    }
}

void TRecordsBitmap::ClearAll() {
    if (!bits_.empty()) {
        std::memset(bits_.data(), 0, bits_.capacity());
    }
}

void TRecordsBitmap::SetAll() {
    if (!bits_.empty()) {
        std::memset(bits_.data(), 0xFF, bits_.capacity());
    }
}

void TRecordsBitmap::Assign(const TRecordsBitmap& other) {
    if (&other == this) {
        return;
    }
    SetBufferSize(static_cast<std::int64_t>(other.bits_.capacity()));
    record_count_ = other.record_count_;
    rounded_count_ = other.rounded_count_;
    word_count_ = other.word_count_;
    ClearAll();
    if (!other.bits_.empty()) {
        std::memcpy(bits_.data(), other.bits_.data(), other.bits_.capacity());
    }
}

TRecordsBitmapStack::TRecordsBitmapStack() {
    free_.reserve(512);
}

std::unique_ptr<TRecordsBitmap> TRecordsBitmapStack::Get() {
    std::lock_guard guard(lock_);
    if (free_.empty()) {
        return EngineNew<TRecordsBitmap>();
    }
    std::unique_ptr<TRecordsBitmap> bitmap = std::move(free_.back());
    free_.pop_back();
    bitmap->ClearAll();
    return bitmap;
}

void TRecordsBitmapStack::Put(std::unique_ptr<TRecordsBitmap>& bitmap) {
    if (!bitmap) {
        return;
    }
    std::lock_guard guard(lock_);
    WithEngineMemory([&] { free_.push_back(std::move(bitmap)); });
    bitmap.reset();
}

std::size_t TRecordsBitmapStack::Count() {
    std::lock_guard guard(lock_);
    return free_.size();
}

std::unique_ptr<TRecordsBitmap> AcquireRecordsBitmap() {
    return GlobalRecordsBitmapStack().Get();
}

void ReleaseRecordsBitmap(std::unique_ptr<TRecordsBitmap>& bitmap) {
    GlobalRecordsBitmapStack().Put(bitmap);
}

}  // namespace strata
