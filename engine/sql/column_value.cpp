#include "engine/sql/column_value.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "engine/core/data_cursor.h"
#include "engine/storage/engine_error_codes.h"
#include "engine/storage/value_convert.h"

namespace strata {

std::span<const std::byte> PrepareColumnValue(const TExpToken& value, const FieldDescriptor& column,
                                              ColumnValueBuffer& buffer,
                                              const db::TFormatSettings& format,
                                              std::string_view value_text,
                                              std::string_view statement) {
    buffer.fill(std::byte{0});
    if (value.IsNull) {
        return {};
    }
    const std::uint32_t value_size = std::min<std::uint32_t>(
        {value.DataSize, value.ValueCapacity(), static_cast<std::uint32_t>(buffer.size())});
    std::memcpy(buffer.data(), value.Value(), value_size);
    const EngineDataType column_type = FieldType(column);
    const std::uint32_t column_size =
        std::min<std::uint32_t>(FieldDataSize(column), static_cast<std::uint32_t>(buffer.size()));
    const std::uint8_t column_scale = column[fd::kScale];
    const bool same =
        value.DataType == column_type && value_size == column_size && value.Scale == column_scale;
    if (!same) {
        if (value.DataType == column_type && column_type != kTypeString &&
            column_type != kTypeBCD && column_type != kTypeBytes) {
            // Fixed-size types of one type need no conversion, only the column's size.
        } else if (!ConvertValue(value.DataType, value_size, value.Scale, buffer, column_scale,
                                 column_size, column_type, format)) {
            RaiseEngineError(kErrSql, {}, {}, {},
                             "Type mismatch between column " + FieldName(column) +
                                 " and constant value " + std::string(value_text) + " in " +
                                 std::string(statement) + " statement");
        }
    }
    if (column_type == kTypeString && column_size != 0) {
        // A string always ends within its field.
        buffer[column_size - 1] = std::byte{0};
    }
    return {buffer.data(), column_size};
}

void ReadColumnValue(TDataCursor& cursor, std::uint32_t field, std::span<const std::uint8_t> row,
                     TExpToken& column, std::string_view table_name) {
    bool is_null = true;
    if (column.DataType != kTypeBlob) {
        const std::span<std::uint8_t> value(
            reinterpret_cast<std::uint8_t*>(column.Value()),
            std::min<std::size_t>(column.ValueCapacity(), column.DataSize));
        cursor.GetField(field, row, is_null, value);
        column.IsNull = is_null;
        return;
    }
    // The field holds only a reference to the blob; its flag says whether there is one.
    cursor.GetField(field, row, is_null, {});
    if (is_null) {
        std::memset(column.Value(), 0, column.ValueCapacity());
        column.IsNull = true;
        return;
    }
    // Opening writes a handle into the record it is given, so a blob that is not open yet is
    // opened on a copy and the caller's row stays as it was.
    std::vector<std::uint8_t> copy;
    std::span<const std::uint8_t> record = row;
    const bool opened_here = cursor.FindBlob(field, row) == nullptr;
    if (opened_here) {
        copy.assign(row.begin(), row.end());
        if (const EngineErrorCode code = cursor.OpenBlob(field, copy, kBlobOpenRead);
            code != kErrNone) {
            RaiseEngineError(code, table_name);
        }
        record = copy;
    }
    std::uint32_t size = 0;
    EngineErrorCode code = kErrNone;
    try {
        code = cursor.GetBlobSize(field, record, size);
        if (code == kErrNone) {
            column.SetDataSize(size);
            std::memset(column.Value(), 0, column.ValueCapacity());
            std::uint32_t read = 0;
            if (size != 0) {
                code = cursor.ReadBlob(field, record, read, size,
                                       reinterpret_cast<std::uint8_t*>(column.Value()), 0);
            }
        }
    } catch (...) {
        if (opened_here) {
            cursor.CloseBlob(field, copy);
        }
        throw;
    }
    if (opened_here) {
        cursor.CloseBlob(field, copy);
    }
    if (code != kErrNone) {
        RaiseEngineError(code, table_name);
    }
    column.IsNull = size == 0;
}

std::int64_t DefaultCommitInterval(std::uint32_t record_size) {
    constexpr std::int64_t kBatchBytes = 262140;
    constexpr std::int64_t kMaxInterval = 8191;
    if (record_size == 0) {
        return kMaxInterval;
    }
    // A record larger than a batch still flushes after every row, never "every 0 rows".
    return std::clamp<std::int64_t>(kBatchBytes / record_size, 1, kMaxInterval);
}

}  // namespace strata
