#pragma once

// Little-endian field access for the table file formats. Every on-disk value
// is read and written here at its offset, never through a struct image, and a
// value is checked against its field width before it is stored.

#include <algorithm>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>

#include "engine/core/engine_error.h"

namespace strata {

inline std::uint16_t GetU16(std::span<const std::uint8_t> b, std::size_t at) {
    assert(at + 2 <= b.size());
    return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
}

inline std::uint32_t GetU32(std::span<const std::uint8_t> b, std::size_t at) {
    assert(at + 4 <= b.size());
    return static_cast<std::uint32_t>(b[at]) | (static_cast<std::uint32_t>(b[at + 1]) << 8) |
           (static_cast<std::uint32_t>(b[at + 2]) << 16) |
           (static_cast<std::uint32_t>(b[at + 3]) << 24);
}

inline std::uint64_t GetU64(std::span<const std::uint8_t> b, std::size_t at) {
    return static_cast<std::uint64_t>(GetU32(b, at)) |
           (static_cast<std::uint64_t>(GetU32(b, at + 4)) << 32);
}

inline double GetF64(std::span<const std::uint8_t> b, std::size_t at) {
    const std::uint64_t bits = GetU64(b, at);
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

// The setters take a 64-bit value and refuse (8961, header corrupt) one that
// does not fit the field, so nothing is ever cut silently on its way to disk.
inline void PutU8(std::span<std::uint8_t> b, std::size_t at, std::uint64_t value) {
    assert(at < b.size());
    if (value > 0xFFu)
        RaiseEngineError(kErrHeaderCorrupt);
    b[at] = static_cast<std::uint8_t>(value);
}

inline void PutU16(std::span<std::uint8_t> b, std::size_t at, std::uint64_t value) {
    assert(at + 2 <= b.size());
    if (value > 0xFFFFu)
        RaiseEngineError(kErrHeaderCorrupt);
    b[at] = static_cast<std::uint8_t>(value);
    b[at + 1] = static_cast<std::uint8_t>(value >> 8);
}

inline void PutU32(std::span<std::uint8_t> b, std::size_t at, std::uint64_t value) {
    assert(at + 4 <= b.size());
    if (value > 0xFFFFFFFFu)
        RaiseEngineError(kErrHeaderCorrupt);
    for (int i = 0; i < 4; ++i)
        b[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

inline void PutF64(std::span<std::uint8_t> b, std::size_t at, double value) {
    std::uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    assert(at + 8 <= b.size());
    for (int i = 0; i < 8; ++i)
        b[at + i] = static_cast<std::uint8_t>(bits >> (8 * i));
}

// A short string S[n]: one length byte and n bytes of text, zero after the
// text. A stored length beyond n is read as n.
inline std::string GetShortString(std::span<const std::uint8_t> b, std::size_t at, std::size_t n) {
    const std::size_t length = std::min<std::size_t>(b[at], n);
    return std::string(reinterpret_cast<const char*>(b.data() + at + 1), length);
}

// Text longer than n is cut to n, as the formats' writers always did.
inline void PutShortString(std::span<std::uint8_t> b, std::size_t at, std::size_t n,
                           std::string_view text) {
    const std::size_t length = std::min(text.size(), n);
    b[at] = static_cast<std::uint8_t>(length);
    std::memset(b.data() + at + 1, 0, n);
    std::memcpy(b.data() + at + 1, text.data(), length);
}

}  // namespace strata
