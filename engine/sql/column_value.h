#pragma once

// The bytes INSERT and UPDATE write into one column: the value converted to the column's type,
// size and scale in a zeroed value buffer. Never more than the value holds, the buffer holds or
// the column holds is copied.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "engine/core/table_descriptors.h"
#include "engine/storage/data_types.h"
#include "engine/storage/exp_token.h"
#include "platform/db/format_settings.h"

namespace strata {

using ColumnValueBuffer = std::array<std::byte, kValueBufferSize>;

// Fills `buffer` with `value` in the column's type and answers the bytes to write (the column's
// data size, at most the buffer); empty for a NULL value. A value that does not convert raises
// "Type mismatch between column <column> and constant value <value text> in <statement>
// statement". Not for BLOB columns, whose bytes go through the blob operations.
std::span<const std::byte> PrepareColumnValue(const TExpToken& value, const FieldDescriptor& column,
                                              ColumnValueBuffer& buffer,
                                              const db::TFormatSettings& format,
                                              std::string_view value_text,
                                              std::string_view statement);

// Rows an update batch takes between flushes when no COMMIT INTERVAL is given.
std::int64_t DefaultCommitInterval(std::uint32_t record_size);

}  // namespace strata
