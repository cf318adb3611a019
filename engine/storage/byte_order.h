#pragma once

// The engine's page and header fields over the tree's one little-endian encoding
// (platform/os/byte_order.h): the shared accessors under their engine names, setters that
// refuse a value wider than its field, and the short strings of the table formats.

#include <algorithm>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>

#include "platform/os/byte_order.h"

namespace strata {

using platform::os::AppendDouble;
using platform::os::AppendLittle;
using platform::os::GetF64;
using platform::os::GetU16;
using platform::os::GetU32;
using platform::os::GetU64;
using platform::os::LoadDouble;
using platform::os::LoadInt16;
using platform::os::LoadInt32;
using platform::os::LoadInt64;
using platform::os::LoadLittle;
using platform::os::LoadUInt16;
using platform::os::PutF64;
using platform::os::StoreDouble;
using platform::os::StoreInt16;
using platform::os::StoreInt32;
using platform::os::StoreInt64;
using platform::os::StoreLittle;
using platform::os::StoreUInt16;

// The setters take a 64-bit value and refuse (8961, header corrupt) one that
// does not fit the field, so nothing is ever cut silently on its way to disk.
// Out of line, so that this header, included nearly everywhere, does not bring in the
// engine's error codes.
[[noreturn]] void RaiseFieldTooWide();

inline void PutU8(std::span<std::uint8_t> b, std::size_t at, std::uint64_t value) {
    assert(at < b.size());
    if (value > 0xFFu)
        RaiseFieldTooWide();
    b[at] = static_cast<std::uint8_t>(value);
}

inline void PutU16(std::span<std::uint8_t> b, std::size_t at, std::uint64_t value) {
    assert(at + 2 <= b.size());
    if (value > 0xFFFFu)
        RaiseFieldTooWide();
    StoreLittle(b.data() + at, static_cast<std::uint16_t>(value));
}

inline void PutU32(std::span<std::uint8_t> b, std::size_t at, std::uint64_t value) {
    assert(at + 4 <= b.size());
    if (value > 0xFFFFFFFFu)
        RaiseFieldTooWide();
    StoreLittle(b.data() + at, static_cast<std::uint32_t>(value));
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
