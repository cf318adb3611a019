#pragma once

// The engine core's fixed-size descriptions of a field (768 bytes, stored in
// the data file) and of an index (120 bytes, stored in the index file),
// passed around as byte copies exactly as they lie on disk.
//
// Field descriptor:
//   0 u16 field number (1-based position)    86 u8 declared length
//   2 S[30] name                             87 u8 decimals
//  33 S[50] description                      88 u8 data size in the record
//  84 u8 type code                           89 u8 scale (copy of decimals)
//  85 u8 subtype (29 = auto-increment)       90 u16 offset of the flag byte
//  92 u8 required   93 u8 character case    94 S[50] minimum
// 145 S[50] maximum 196 S[50] default      247 u8 not stored
// 248..767 zero on disk; in memory only, byte 253 is the sort's descending
// flag and byte 254 hides the field from datasets (a cursor's own copies
// carry it; table descriptors never do)
//
// Index descriptor:
//   0 S[30] name (empty: primary)   31 u16 key size   33 u8 descending
//  34 u8 case-insensitive  35 u8 unique  36 u8 compression option 0..3
//  37 u8 field count 0..16 38 16 x u8 per-field descending
//  54 16 x u16 field numbers        86 u32 root page  90 u32 first free page
//  94 u8 0  95 u8 removal mark (repair only)  96..119 zero

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "engine/core/descriptor_types.h"
#include "engine/storage/byte_order.h"

namespace strata {

namespace fd {
inline constexpr std::size_t kNumber = 0;
inline constexpr std::size_t kName = 2;
inline constexpr std::size_t kDescription = 33;
inline constexpr std::size_t kType = 84;
inline constexpr std::size_t kSubtype = 85;
inline constexpr std::size_t kLength = 86;
inline constexpr std::size_t kDecimals = 87;
inline constexpr std::size_t kDataSize = 88;
inline constexpr std::size_t kScale = 89;
inline constexpr std::size_t kOffset = 90;
inline constexpr std::size_t kRequired = 92;
inline constexpr std::size_t kCharCase = 93;
inline constexpr std::size_t kMinimum = 94;
inline constexpr std::size_t kMaximum = 145;
inline constexpr std::size_t kDefault = 196;
inline constexpr std::size_t kNotStored = 247;
inline constexpr std::size_t kDescending = 253;
inline constexpr std::size_t kHidden = 254;
inline constexpr std::size_t kNameLength = 30;
inline constexpr std::size_t kTextLength = 50;
}  // namespace fd

namespace ixd {
inline constexpr std::size_t kName = 0;
inline constexpr std::size_t kKeySize = 31;
inline constexpr std::size_t kDescending = 33;
inline constexpr std::size_t kCaseInsensitive = 34;
inline constexpr std::size_t kUnique = 35;
inline constexpr std::size_t kCompression = 36;
inline constexpr std::size_t kFieldCount = 37;
inline constexpr std::size_t kFieldDescending = 38;
inline constexpr std::size_t kFieldNumbers = 54;
inline constexpr std::size_t kRoot = 86;
inline constexpr std::size_t kFreePage = 90;
inline constexpr std::size_t kRemovalMark = 95;
inline constexpr std::size_t kNameLength = 30;
inline constexpr std::size_t kMaxFields = 16;
}  // namespace ixd

inline constexpr std::uint8_t kFieldTypeAutoIncSubtype = 29;

// Field descriptor accessors.
inline std::uint16_t FieldNumber(const FieldDescriptor& d) {
    return GetU16(d, fd::kNumber);
}
inline std::string FieldName(const FieldDescriptor& d) {
    return GetShortString(d, fd::kName, fd::kNameLength);
}
inline std::uint8_t FieldType(const FieldDescriptor& d) {
    return d[fd::kType];
}
inline std::uint8_t FieldSubtype(const FieldDescriptor& d) {
    return d[fd::kSubtype];
}
inline std::uint8_t FieldLength(const FieldDescriptor& d) {
    return d[fd::kLength];
}
inline std::uint8_t FieldDecimals(const FieldDescriptor& d) {
    return d[fd::kDecimals];
}
inline std::uint8_t FieldDataSize(const FieldDescriptor& d) {
    return d[fd::kDataSize];
}
inline std::uint16_t FieldOffset(const FieldDescriptor& d) {
    return GetU16(d, fd::kOffset);
}
inline bool FieldNotStored(const FieldDescriptor& d) {
    return d[fd::kNotStored] != 0;
}
inline bool FieldIsAutoInc(const FieldDescriptor& d) {
    return FieldType(d) == 6 && FieldSubtype(d) == kFieldTypeAutoIncSubtype;
}
inline bool FieldHidden(const FieldDescriptor& d) {
    return d[fd::kHidden] != 0;
}
// Whether two descriptors name the same stored bytes of a record, whatever
// their names and positions: the same place, type and size.
inline bool SameStoredField(const FieldDescriptor& a, const FieldDescriptor& b) {
    return !FieldNotStored(a) && !FieldNotStored(b) && FieldType(a) == FieldType(b) &&
           FieldIsAutoInc(a) == FieldIsAutoInc(b) &&
           (FieldIsAutoInc(a) ||
            (FieldOffset(a) == FieldOffset(b) && FieldDataSize(a) == FieldDataSize(b)));
}

// A descriptor for a new field; the data size and scale follow from the type.
FieldDescriptor MakeFieldDescriptor(std::uint16_t number, std::string_view name, std::uint8_t type,
                                    std::uint8_t subtype = 0, std::uint8_t length = 0,
                                    std::uint8_t decimals = 0);

// Index descriptor accessors.
inline std::string IndexName(const IndexDescriptor& d) {
    return GetShortString(d, ixd::kName, ixd::kNameLength);
}
inline std::uint16_t IndexKeySize(const IndexDescriptor& d) {
    return GetU16(d, ixd::kKeySize);
}
inline bool IndexUnique(const IndexDescriptor& d) {
    return d[ixd::kUnique] != 0;
}
inline std::uint8_t IndexCompression(const IndexDescriptor& d) {
    return d[ixd::kCompression];
}
inline std::uint8_t IndexFieldCount(const IndexDescriptor& d) {
    return d[ixd::kFieldCount];
}
// The key fields whose numbers the descriptor holds: a damaged count above
// sixteen would read on past the field numbers.
inline std::size_t IndexFieldsHeld(const IndexDescriptor& d) {
    return std::min<std::size_t>(IndexFieldCount(d), ixd::kMaxFields);
}
inline std::uint16_t IndexFieldNumber(const IndexDescriptor& d, std::size_t i) {
    return GetU16(d, ixd::kFieldNumbers + 2 * i);
}
inline std::uint32_t IndexRoot(const IndexDescriptor& d) {
    return GetU32(d, ixd::kRoot);
}
inline std::uint32_t IndexFreePage(const IndexDescriptor& d) {
    return GetU32(d, ixd::kFreePage);
}

}  // namespace strata
