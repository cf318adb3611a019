#include "engine/storage/language_char_maps.h"

#include <numeric>
#include <stdexcept>
#include <string_view>

#include "engine/storage/engine_error_codes.h"
#include "engine/storage/engine_heap.h"
#include "platform/nls/nls.h"

namespace strata {

TLanguageCharMapsList::TLanguageCharMapsList() {
    entries_.reserve(255);
}

CollationMap TLanguageCharMapsList::BuildMap(std::uint16_t language_id, std::uint16_t sort_id) {
    CollationMap map{};
    std::iota(map.begin(), map.end(), std::uint8_t{0});
    if (language_id == 0) {
        return map;
    }
    const platform::nls::LocaleId locale = platform::nls::MakeLocaleId(language_id, sort_id);
    if (!platform::nls::IsValidLocale(locale)) {
        RaiseEngineError(kErrLanguageNotAvailable);
    }
    auto compare = [locale](std::uint8_t a, std::uint8_t b) {
        const char ca = static_cast<char>(a);
        const char cb = static_cast<char>(b);
        // Character 0 compares as the empty string, below every other.
        const std::string_view sa(&ca, a == 0 ? 0 : 1);
        const std::string_view sb(&cb, b == 0 ? 0 : 1);
        return platform::nls::CompareString(locale, platform::nls::SORT_STRINGSORT, sa, sb) - 2;
    };
    QuickSortItems(map.data(), 0, 255, compare);
    return map;
}

CollationMap TLanguageCharMapsList::GetMap(std::uint16_t language_id, std::uint16_t sort_id) {
    std::lock_guard guard(lock_);
    for (const Entry& entry : entries_) {
        if (entry.language_id == language_id && entry.sort_id == sort_id) {
            return entry.map;
        }
    }
    // Built under the lock, so two threads asking for one new map build it once.
    const CollationMap map = BuildMap(language_id, sort_id);
    WithEngineMemory([&] { entries_.push_back({language_id, sort_id, map}); });
    return map;
}

std::size_t TLanguageCharMapsList::Count() {
    std::lock_guard guard(lock_);
    return entries_.size();
}

CollationMap GetLanguageCharMap(std::uint16_t language_id, std::uint16_t sort_id) {
    return GlobalLanguageCharMaps().GetMap(language_id, sort_id);
}

}  // namespace strata
