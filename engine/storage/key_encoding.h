#pragma once

// Sortable key encodings. Index keys compare as unsigned bytes, most significant first, so every
// numeric value in a key is written so that this byte order is its numeric order:
//
//   integer (4), smallint (2), 64-bit (8)  big-endian, top bit of the first byte flipped:
//                                           -1 -> 7F FF FF FF, 0 -> 80 00 00 00, 1 -> 80 00 00 01
//   word (2)                                big-endian, unchanged
//   double (8)                              negative: all 8 bytes big-endian and inverted;
//                                           zero and positive: big-endian with the top bit set
//                                           (+0 and -0 both give 80 00 00 00 00 00 00 00)
//
// A descending segment is inverted byte by byte (255 - b). Index pages shrink stored keys by the
// bytes each shares with the key before it and by its trailing zero bytes.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace strata {

std::array<std::uint8_t, 4> EncodeIntegerKey(std::int32_t value);
std::array<std::uint8_t, 2> EncodeSmallIntKey(std::int16_t value);
std::array<std::uint8_t, 8> EncodeInt64Key(std::int64_t value);
std::array<std::uint8_t, 2> EncodeWordKey(std::uint16_t value);
std::array<std::uint8_t, 8> EncodeFloatKey(double value);

// Every byte b becomes 255 - b; applying it twice restores the bytes.
void InvertKeyBytes(std::span<std::uint8_t> bytes);

// The negation, kept within range: the most negative value gives the largest one, since its
// negation does not exist in 32 bits.
std::int32_t NegateInteger(std::int32_t value);

// Equal leading bytes of a and b, at most `length` (both must hold `length` bytes).
std::size_t CommonPrefixLength(const std::uint8_t* a, const std::uint8_t* b, std::size_t length);

// Zero bytes at the end of `bytes`, counted backwards from its last byte.
std::size_t TrailingZeroCount(std::span<const std::uint8_t> bytes);

}  // namespace strata
