// The list table's index descriptors as both engine benchmarks build them,
// with the key compression the run asks for.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <initializer_list>
#include <string>
#include <string_view>

#include "engine/core/table_descriptors.h"
#include "engine/storage/byte_order.h"

namespace bench_list {

// Keys uncompressed unless CORVANE_BENCH_COMPRESSION names an option for
// every index, or is "list" for the list database's own choice: option 3 for
// the primary index, none for the others.
struct KeyCompression {
    std::uint8_t primary = 0;
    std::uint8_t others = 0;
};

inline KeyCompression Compression() {
    const char* text = std::getenv("CORVANE_BENCH_COMPRESSION");
    if (text == nullptr)
        return {};
    if (std::string_view(text) == "list")
        return {3, 0};
    const auto option = static_cast<std::uint8_t>(std::clamp(std::atoi(text), 0, 3));
    return {option, option};
}

inline std::string CompressionText() {
    const KeyCompression c = Compression();
    if (c.primary == c.others)
        return "option " + std::to_string(c.primary);
    return "option " + std::to_string(c.primary) + " for the primary index, " +
           std::to_string(c.others) + " for the others";
}

// The primary index is the one without a name.
inline strata::IndexDescriptor Index(const char* name, std::initializer_list<std::uint16_t> fields,
                                     bool unique, bool case_insensitive) {
    namespace ixd = strata::ixd;
    strata::IndexDescriptor d{};
    strata::PutShortString(d, ixd::kName, ixd::kNameLength, name);
    std::size_t i = 0;
    for (const std::uint16_t f : fields)
        strata::PutU16(d, ixd::kFieldNumbers + 2 * i++, f);
    d[ixd::kUnique] = unique ? 1 : 0;
    d[ixd::kCaseInsensitive] = case_insensitive ? 1 : 0;
    d[ixd::kCompression] = name[0] == '\0' ? Compression().primary : Compression().others;
    return d;
}

}  // namespace bench_list
