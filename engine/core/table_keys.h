#pragma once

// Keys of whole-table maintenance (repair, restructure): each index's keys
// built and compared straight on the index file, the way the cursor builds
// them, for passes that rebuild indexes record by record.

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "engine/core/data_file.h"
#include "engine/core/index_file.h"
#include "engine/core/key_builder.h"

namespace strata {

// One index: where its keys go and how they compare.
struct IndexPlan {
    int slot = 0;
    std::string name;
    std::vector<FieldDescriptor> fields;
    bool descending = false;
    bool case_insensitive = false;
    bool unique = false;
    std::size_t key_size = 0;
    TKeyComparer comparer;
};

IndexPlan PlanIndex(TIndexFile& index, TDataFile& data, int slot, std::uint16_t language,
                    std::uint16_t sort);
std::vector<std::uint8_t> KeyOf(const IndexPlan& plan, std::span<const std::uint8_t> record,
                                std::uint16_t language, std::uint16_t sort);
// The comparison refers to the plan, which must outlive it.
KeyCompare CompareOf(const IndexPlan& plan);
// The hidden index 31: status byte and record ID.
int HiddenCompare(const std::uint8_t* a, const std::uint8_t* b);
std::array<std::uint8_t, 5> HiddenKeyOf(std::uint8_t status, std::uint32_t id);

}  // namespace strata
