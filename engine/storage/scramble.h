#pragma once

// Scrambling of an encrypted table's structures on disk. This is obfuscation against casual
// reading, not encryption: anyone with the key bytes below, or a little patience, reads the data.
//
// Each byte is XORed with a running key pair: l starts at the low key byte and goes up by one per
// byte, h starts at the high key byte and goes down by one, both modulo 256. The stream depends
// only on the position from the start of the buffer, so the same routine undoes itself.

#include <cstdint>
#include <span>

namespace strata {

// Start keys fixed for every reader and writer of a table: one for records, field descriptors and
// the index and blob structures, one for the description and password in the data file header.
inline constexpr std::uint8_t kTableDataKeyLow = 0x5A;
inline constexpr std::uint8_t kTableDataKeyHigh = 0xC3;
inline constexpr std::uint8_t kHeaderTextKeyLow = 0x2E;
inline constexpr std::uint8_t kHeaderTextKeyHigh = 0x91;

void ScrambleBuffer(std::span<std::uint8_t> buffer, std::uint8_t low, std::uint8_t high);
void UnscrambleBuffer(std::span<std::uint8_t> buffer, std::uint8_t low, std::uint8_t high);

}  // namespace strata
