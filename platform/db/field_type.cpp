#include "platform/db/field_type.h"

#include <array>

namespace db {

std::string_view FieldTypeName(TFieldType type) {
    static constexpr std::array<std::string_view, kFieldTypeCount> names = {
        "Unknown",    "String",     "SmallInt", "Integer",     "Word",      "Boolean",
        "Float",      "Currency",   "BCD",      "Date",        "Time",      "DateTime",
        "Bytes",      "VarBytes",   "AutoInc",  "Blob",        "Memo",      "Graphic",
        "FmtMemo",    "ParadoxOle", "dBaseOle", "TypedBinary", "Cursor",    "FixedChar",
        "WideString", "Largeint",   "ADT",      "Array",       "Reference", "DataSet",
        "BLOB",       "CLOB",       "Variant",  "Interface",   "IDispatch", "Guid"};
    const auto index = static_cast<std::size_t>(type);
    return index < names.size() ? names[index] : std::string_view("Unknown");
}

}  // namespace db
