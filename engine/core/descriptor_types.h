#pragma once

// The two descriptor types by themselves, for headers that pass descriptors along without
// reading their fields (table_descriptors.h draws their layout and reads them).

#include <array>
#include <cstddef>
#include <cstdint>

namespace strata {

inline constexpr std::size_t kFieldDescriptorSize = 768;
inline constexpr std::size_t kIndexDescriptorSize = 120;

using FieldDescriptor = std::array<std::uint8_t, kFieldDescriptorSize>;
using IndexDescriptor = std::array<std::uint8_t, kIndexDescriptorSize>;

}  // namespace strata
