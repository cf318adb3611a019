#include "engine/storage/key_encoding.h"

#include <bit>
#include <cstring>
#include <limits>

namespace strata {
namespace {

template <std::size_t N, class U>
std::array<std::uint8_t, N> BigEndian(U bits) {
    std::array<std::uint8_t, N> out{};
    for (std::size_t i = 0; i < N; ++i) {
        out[N - 1 - i] = static_cast<std::uint8_t>(bits >> (8 * i));
    }
    return out;
}

}  // namespace

std::array<std::uint8_t, 4> EncodeIntegerKey(std::int32_t value) {
    return BigEndian<4>(static_cast<std::uint32_t>(value) ^ 0x80000000u);
}

std::array<std::uint8_t, 2> EncodeSmallIntKey(std::int16_t value) {
    return BigEndian<2>(static_cast<std::uint16_t>(static_cast<std::uint16_t>(value) ^ 0x8000u));
}

std::array<std::uint8_t, 8> EncodeInt64Key(std::int64_t value) {
    return BigEndian<8>(static_cast<std::uint64_t>(value) ^ 0x8000000000000000ull);
}

std::array<std::uint8_t, 2> EncodeWordKey(std::uint16_t value) {
    return BigEndian<2>(value);
}

std::array<std::uint8_t, 8> EncodeFloatKey(double value) {
    const auto bits = std::bit_cast<std::uint64_t>(value);
    if (value < 0) {
        return BigEndian<8>(~bits);
    }
    // +0 and -0 share one key.
    return BigEndian<8>((value == 0 ? 0 : bits) | 0x8000000000000000ull);
}

void InvertKeyBytes(std::span<std::uint8_t> bytes) {
    for (std::uint8_t& b : bytes) {
        b = static_cast<std::uint8_t>(255 - b);
    }
}

std::int32_t NegateInteger(std::int32_t value) {
    return value == std::numeric_limits<std::int32_t>::min()
               ? std::numeric_limits<std::int32_t>::max()
               : -value;
}

// Eight bytes a step: keys are mostly long runs of equal bytes or of zero
// padding, and compressed leaves compute these for every entry they pack.
std::size_t CommonPrefixLength(const std::uint8_t* a, const std::uint8_t* b, std::size_t length) {
    std::size_t n = 0;
    for (; n + 8 <= length; n += 8) {
        std::uint64_t x;
        std::uint64_t y;
        std::memcpy(&x, a + n, 8);
        std::memcpy(&y, b + n, 8);
        if (x != y) {
            const std::uint64_t diff = x ^ y;
            const int bits = std::endian::native == std::endian::little ? std::countr_zero(diff)
                                                                        : std::countl_zero(diff);
            return n + static_cast<std::size_t>(bits) / 8;
        }
    }
    while (n < length && a[n] == b[n]) {
        ++n;
    }
    return n;
}

std::size_t TrailingZeroCount(std::span<const std::uint8_t> bytes) {
    std::size_t end = bytes.size();
    for (; end >= 8; end -= 8) {
        std::uint64_t word;
        std::memcpy(&word, bytes.data() + end - 8, 8);
        if (word != 0) {
            const int bits = std::endian::native == std::endian::little ? std::countl_zero(word)
                                                                        : std::countr_zero(word);
            return bytes.size() - end + static_cast<std::size_t>(bits) / 8;
        }
    }
    while (end > 0 && bytes[end - 1] == 0) {
        --end;
    }
    return bytes.size() - end;
}

}  // namespace strata
