#include "engine/storage/scramble.h"

namespace strata {

void ScrambleBuffer(std::span<std::uint8_t> buffer, std::uint8_t low, std::uint8_t high) {
    for (std::uint8_t& b : buffer) {
        b = static_cast<std::uint8_t>(b ^ low ^ high);
        ++low;
        --high;
    }
}

void UnscrambleBuffer(std::span<std::uint8_t> buffer, std::uint8_t low, std::uint8_t high) {
    ScrambleBuffer(buffer, low, high);
}

}  // namespace strata
