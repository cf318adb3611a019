#pragma once

// The mail-out benchmarks' list: one news member per address, named by number.

#include <cstdint>
#include <string>

#include "engine/dataset/strata_table.h"

namespace app::bench {

template <typename AddressOf>
void AddNewsMembers(strata::TStrataTable& table, std::int64_t count, AddressOf address_of) {
    for (std::int64_t i = 0; i < count; ++i) {
        table.Append();
        table.FieldByName("Item")->SetAsString(address_of(i));
        table.FieldByName("Category")->SetAsString("news");
        table.FieldByName("Name")->SetAsString("Member " + std::to_string(i));
        table.Post();
    }
}

}  // namespace app::bench
