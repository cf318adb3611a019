#pragma once

// Collation maps: entry i of a language's map is the character that stands
// at place i when all 256 single-byte characters are sorted in that
// language's collation (the identity for language 0). The engine fills
// partial keys with map[0] and map[255], the lowest and highest characters.
// Maps are costly to build, so they are cached for the life of the process.

#include <array>
#include <cstdint>
#include <mutex>
#include <vector>

namespace strata {

using CollationMap = std::array<std::uint8_t, 256>;

class TLanguageCharMapsList {
  public:
    TLanguageCharMapsList();

    // The cached map, built on first use; 15878 for a locale the engine
    // does not know.
    CollationMap GetMap(std::uint16_t language_id, std::uint16_t sort_id);
    static CollationMap BuildMap(std::uint16_t language_id, std::uint16_t sort_id);

    std::size_t Count();

  private:
    struct Entry {
        std::uint16_t language_id;
        std::uint16_t sort_id;
        CollationMap map;
    };

    std::recursive_mutex lock_;
    std::vector<Entry> entries_;
};

TLanguageCharMapsList& GlobalLanguageCharMaps();
CollationMap GetLanguageCharMap(std::uint16_t language_id, std::uint16_t sort_id);

}  // namespace strata
