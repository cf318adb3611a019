#pragma once

// The index and blob files keep their header as one image at offset 0,
// scrambled with the table's data key when the table is encrypted.

#include <cstdint>
#include <span>

#include "engine/storage/file_handler.h"

namespace strata {

// Reads the whole image under the file object's lock, unscrambled.
void ReadHeaderImage(TFileHandler& file, std::span<std::uint8_t> header, bool encrypted);

// Writes the whole image under the file object's lock; `header` itself stays
// plain.
void WriteHeaderImage(TFileHandler& file, std::span<const std::uint8_t> header, bool encrypted);

}  // namespace strata
