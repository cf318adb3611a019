#include "platform/mail/text_buffer.h"

#include <cstring>

namespace mail {

std::string_view CutAtCharacter(std::string_view text, std::size_t max_bytes) {
    if (text.size() <= max_bytes)
        return text;
    std::size_t cut = max_bytes;
    // Step back over continuation bytes to the start of the cut character.
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80)
        --cut;
    return text.substr(0, cut);
}

void CopyToBuffer(std::string_view text, char* buffer, std::size_t size) {
    if (!buffer || size == 0)
        return;
    const std::string_view part = CutAtCharacter(text, size - 1);
    std::memcpy(buffer, part.data(), part.size());
    buffer[part.size()] = '\0';
}

}  // namespace mail
