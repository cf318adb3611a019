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

class TDataCursor;

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

// Reads field `field` of `row` into a column token for the expression evaluator: the field's
// value, or for a BLOB column the blob's bytes (NULL when it has none), so that a memo compares,
// concatenates and matches as its text. A blob the row already has open (written earlier in the
// same statement) is read as it stands and stays open. A blob that cannot be read raises its
// engine error with `table_name`.
void ReadColumnValue(TDataCursor& cursor, std::uint32_t field, std::span<const std::uint8_t> row,
                     TExpToken& column, std::string_view table_name);

// Rows an update batch takes between flushes when no COMMIT INTERVAL is given.
std::int64_t DefaultCommitInterval(std::uint32_t record_size);

}  // namespace strata
