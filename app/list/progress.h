#pragma once

// The arithmetic of the shared progress display.

#include <cstdint>
#include <optional>

namespace app {

// The gauge's percentage for a position of a maximum, the position clamped to the
// maximum; nullopt when a maximum of 1 or less means there is nothing to show.
std::optional<int> ProgressPercent(std::int64_t position, std::int64_t maximum);

}  // namespace app
