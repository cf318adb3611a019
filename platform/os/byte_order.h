#pragma once

// Little-endian encoding, the one place every file format, wire record and in-memory value
// buffer of the tree is read and written. File formats go through the span and offset
// accessors (Get), which check the offset in debug builds; value buffers of records, keys
// and expression tokens go through the typed Load/Store accessors; records built front to
// back go through Append. All rest on the same two primitives, so there is one encoding to
// trust.

#include <bit>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <span>
#include <type_traits>

namespace platform::os {

// Reads an unsigned little-endian value of sizeof(U) bytes. Byte is any one-byte type.
template <class U, class Byte>
inline U LoadLittle(const Byte* p) {
    static_assert(std::is_unsigned_v<U> && sizeof(Byte) == 1);
    // One load on a little-endian machine: the compiler does not always merge the byte loop,
    // and index pages read their counts and pointers this way on every search.
    if constexpr (std::endian::native == std::endian::little) {
        U value;
        std::memcpy(&value, p, sizeof(U));
        return value;
    } else {
        U value = 0;
        for (std::size_t i = 0; i < sizeof(U); ++i)
            value = static_cast<U>(value |
                                   (static_cast<U>(static_cast<std::uint8_t>(p[i])) << (8 * i)));
        return value;
    }
}

template <class U, class Byte>
inline void StoreLittle(Byte* p, U value) {
    static_assert(std::is_unsigned_v<U> && sizeof(Byte) == 1);
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(p, &value, sizeof(U));
    } else {
        for (std::size_t i = 0; i < sizeof(U); ++i)
            p[i] = static_cast<Byte>(static_cast<std::uint8_t>(value >> (8 * i)));
    }
}

// Value buffers. Requires: the buffer holds the value's bytes.
inline std::int16_t LoadInt16(const std::byte* p) {
    return static_cast<std::int16_t>(LoadLittle<std::uint16_t>(p));
}
inline std::uint16_t LoadUInt16(const std::byte* p) {
    return LoadLittle<std::uint16_t>(p);
}
inline std::int32_t LoadInt32(const std::byte* p) {
    return static_cast<std::int32_t>(LoadLittle<std::uint32_t>(p));
}
inline std::int64_t LoadInt64(const std::byte* p) {
    return static_cast<std::int64_t>(LoadLittle<std::uint64_t>(p));
}
inline double LoadDouble(const std::byte* p) {
    return std::bit_cast<double>(LoadLittle<std::uint64_t>(p));
}
inline void StoreInt16(std::byte* p, std::int16_t value) {
    StoreLittle(p, static_cast<std::uint16_t>(value));
}
inline void StoreUInt16(std::byte* p, std::uint16_t value) {
    StoreLittle(p, value);
}
inline void StoreInt32(std::byte* p, std::int32_t value) {
    StoreLittle(p, static_cast<std::uint32_t>(value));
}
inline void StoreInt64(std::byte* p, std::int64_t value) {
    StoreLittle(p, static_cast<std::uint64_t>(value));
}
inline void StoreDouble(std::byte* p, double value) {
    StoreLittle(p, std::bit_cast<std::uint64_t>(value));
}

// File formats: a field at an offset of a page or header image.
inline std::uint16_t GetU16(std::span<const std::uint8_t> b, std::size_t at) {
    assert(at + 2 <= b.size());
    return LoadLittle<std::uint16_t>(b.data() + at);
}

inline std::uint32_t GetU32(std::span<const std::uint8_t> b, std::size_t at) {
    assert(at + 4 <= b.size());
    return LoadLittle<std::uint32_t>(b.data() + at);
}

inline std::uint64_t GetU64(std::span<const std::uint8_t> b, std::size_t at) {
    assert(at + 8 <= b.size());
    return LoadLittle<std::uint64_t>(b.data() + at);
}

inline double GetF64(std::span<const std::uint8_t> b, std::size_t at) {
    return std::bit_cast<double>(GetU64(b, at));
}

inline void PutF64(std::span<std::uint8_t> b, std::size_t at, double value) {
    assert(at + 8 <= b.size());
    StoreLittle(b.data() + at, std::bit_cast<std::uint64_t>(value));
}

// Records built front to back: appends `value` as the sizeof(U) bytes of an unsigned field
// to a std::string or a vector of bytes. Requires: the value fits the field (checked in debug
// builds; a caller whose value may not fit checks it first and says why).
template <class U, class Bytes>
inline void AppendLittle(Bytes& out, std::uint64_t value) {
    static_assert(std::is_unsigned_v<U>);
    assert(value <= std::numeric_limits<U>::max());
    const std::size_t at = out.size();
    out.resize(at + sizeof(U));
    StoreLittle(out.data() + at, static_cast<U>(value));
}

template <class Bytes>
inline void AppendDouble(Bytes& out, double value) {
    AppendLittle<std::uint64_t>(out, std::bit_cast<std::uint64_t>(value));
}

}  // namespace platform::os
