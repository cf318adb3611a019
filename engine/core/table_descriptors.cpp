#include "engine/core/table_descriptors.h"

#include "engine/core/engine_globals.h"

namespace strata {

FieldDescriptor MakeFieldDescriptor(std::uint16_t number, std::string_view name, std::uint8_t type,
                                    std::uint8_t subtype, std::uint8_t length,
                                    std::uint8_t decimals) {
    FieldDescriptor d{};
    PutU16(d, fd::kNumber, number);
    PutShortString(d, fd::kName, fd::kNameLength, name);
    d[fd::kType] = type;
    d[fd::kSubtype] = subtype;
    d[fd::kLength] = length;
    d[fd::kDecimals] = decimals;
    SetFieldDataSize(d);
    SetFieldScale(d);
    return d;
}

}  // namespace strata
