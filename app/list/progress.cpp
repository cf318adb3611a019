#include "app/list/progress.h"

#include <algorithm>

namespace app {

std::optional<int> ProgressPercent(std::int64_t position, std::int64_t maximum) {
    if (maximum <= 1)
        return std::nullopt;
    position = std::clamp<std::int64_t>(position, 0, maximum);
    return static_cast<int>(position * 100 / maximum);
}

}  // namespace app
