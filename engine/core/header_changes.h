#pragma once

// The change protocol every table file (data, index, blob) keeps for its header. Other
// programs that share a table compare the change counter with the one they hold to notice
// a change; the "header changed" flag byte is 1 only in an image written while a change of
// the header itself is pending, and always 0 in memory.

#include <algorithm>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <span>

#include "engine/storage/byte_order.h"

namespace strata {

class HeaderChanges {
  public:
    // Offsets of the 32-bit change counter and of the flag byte in the header image.
    constexpr HeaderChanges(std::size_t counter_at, std::size_t flag_at) noexcept
        : counter_at_(counter_at), flag_at_(flag_at) {}

    // A change of the header waits to be written.
    bool Pending() const noexcept { return pending_; }
    void SetPending() noexcept { pending_ = true; }
    // The header in memory is the one on disk (just read or written).
    void Clear() noexcept { pending_ = false; }

    std::uint32_t Counter(std::span<const std::uint8_t> header) const {
        return GetU32(header, counter_at_);
    }

    // One more change for other programs to notice (the counter wraps, as it always did).
    void CountChange(std::span<std::uint8_t> header) const {
        PutU32(header, counter_at_, static_cast<std::uint32_t>(Counter(header) + 1u));
    }

    // Takes the image read from disk when another program changed it (its counter differs)
    // and answers whether it did. Requires: both images have the same size.
    bool Adopt(std::span<std::uint8_t> header, std::span<std::uint8_t> on_disk) {
        assert(header.size() == on_disk.size());
        if (Counter(on_disk) == Counter(header))
            return false;
        on_disk[flag_at_] = 0;
        std::copy(on_disk.begin(), on_disk.end(), header.begin());
        pending_ = false;
        return true;
    }

    // Whether a write of the header is due: always when forced, else when a change waits.
    bool WriteDue(bool force) const noexcept { return force || pending_; }

    // Counts the change and hands `write` the image with the flag byte set while a header
    // change is pending; the flag is 0 again afterwards, and nothing is pending.
    template <class WriteImage>
    void Write(std::span<std::uint8_t> header, WriteImage&& write) {
        CountChange(header);
        header[flag_at_] = pending_ ? 1 : 0;
        try {
            write();
        } catch (...) {
            header[flag_at_] = 0;
            throw;
        }
        header[flag_at_] = 0;
        pending_ = false;
    }

  private:
    std::size_t counter_at_;
    std::size_t flag_at_;
    bool pending_ = false;
};

}  // namespace strata
