#pragma once

#include <string_view>

namespace db {

// Names of components, fields, indexes and parameters compare without regard to ASCII case;
// other bytes (UTF-8 included) must match exactly, so two different names never compare
// equal by a code page's case map. Answers <0, 0 or >0.
int CompareNames(std::string_view a, std::string_view b);
inline bool SameName(std::string_view a, std::string_view b) {
    // Names of different lengths never match: most names a lookup passes are told apart here.
    return a.size() == b.size() && CompareNames(a, b) == 0;
}

}  // namespace db
