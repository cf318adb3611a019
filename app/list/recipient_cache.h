#pragma once

// The addresses of the last requested category, sorted and without
// duplicates, so that the messages of one check reach a category without a
// walk of the list each.

#include <string>
#include <string_view>
#include <vector>

namespace strata {
class TStrataTable;
}

namespace app {

class RecipientCache {
  public:
    // Loads the addresses of the category (every address for an empty one)
    // unless they are loaded already.
    void LoadCacheEntries(strata::TStrataTable& list, std::string_view category);
    // Forgets the addresses; the next load walks the list again.
    void Clear();
    const std::vector<std::string>& Entries() const { return entries_; }
    // The loaded category in upper case, "ALL" for the whole list; empty when
    // nothing is loaded.
    const std::string& CachedGroup() const { return cached_group_; }

  private:
    std::vector<std::string> entries_;
    std::string cached_group_;
};

}  // namespace app
