#pragma once

// Word routines over a set of delimiter characters: a word is a run of
// characters outside the set.

#include <cstddef>
#include <string>
#include <string_view>

namespace support {

// The 1-based position where the n-th word begins; 0 when there are fewer than n
// words (or n is below 1).
std::size_t WordPosition(std::size_t n, std::string_view text, std::string_view delimiters);
// The n-th word; empty when there is none.
std::string ExtractWord(std::size_t n, std::string_view text, std::string_view delimiters);

}  // namespace support
