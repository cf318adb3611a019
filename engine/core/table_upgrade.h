#pragma once

// Upgrade of a table written by an earlier version of the table format
// (1.00, 1.02, 1.04 or 1.08) to the current one, in place.
//
// Earlier field descriptor (265 bytes, versions 1.00 to 1.04; 1.08 already
// uses the current 768-byte layout):
//    0 u16 field number      2 S[30] name        33 S[50] description
//   84 u8  type             85 u8 subtype        86 u8 length
//   87 u8  decimals         88 u16 offset of the field's flag byte
//   90 u8  required         91 not read         92 S[50] minimum
//  143 S[50] maximum       194 S[50] default   245 20 bytes not read
// The data header has the current 127-byte layout with an older version
// byte; records start after the descriptors, at the old record size.
//
// After an upgrade the old data file is kept as ".DUP"; an index file older
// than 1.08 is kept as ".IUP" and replaced by a new one holding only the
// hidden index (its old layout is not known), which the closing repair fills.

#include <cstdint>

#include "engine/core/cursor_handlers.h"

namespace strata {

inline constexpr std::size_t kOldFieldDescriptorSize = 265;

namespace ofd {
inline constexpr std::size_t kNumber = 0;
inline constexpr std::size_t kName = 2;
inline constexpr std::size_t kDescription = 33;
inline constexpr std::size_t kType = 84;
inline constexpr std::size_t kSubtype = 85;
inline constexpr std::size_t kLength = 86;
inline constexpr std::size_t kDecimals = 87;
inline constexpr std::size_t kOffset = 88;
inline constexpr std::size_t kRequired = 90;
inline constexpr std::size_t kMinimum = 92;
inline constexpr std::size_t kMaximum = 143;
inline constexpr std::size_t kDefault = 194;
}  // namespace ofd

// Requires: the cursor is closed and exclusive, with its table name set.
// Stages and percentages go to `progress`, log lines to `log`; `password`
// is asked while the session lacks an encrypted table's password. Also
// finishes the steps an interrupted upgrade left undone.
void UpgradeTable(TDataCursor& cursor, StageProgressHandler progress = {}, LogHandler log = {},
                  PasswordHandler password = {});

}  // namespace strata
