#pragma once

// Handing texts across the C interfaces of the modules.

#include <cstddef>
#include <string_view>

namespace mail {

// Copies `text` into a caller's buffer of `size` bytes, cut at a UTF-8
// character boundary so the copy stays valid text, and zero-terminated.
// Nothing is written when the buffer is null or has no room.
void CopyToBuffer(std::string_view text, char* buffer, std::size_t size);

// The longest prefix of `text` of at most `max_bytes` bytes that does not end
// inside a UTF-8 sequence.
std::string_view CutAtCharacter(std::string_view text, std::size_t max_bytes);

}  // namespace mail
