#include "support/str_utils.h"

namespace support {

std::size_t WordPosition(std::size_t n, std::string_view text, std::string_view delimiters) {
    std::size_t count = 0;
    std::size_t i = 0;
    while (i < text.size() && count < n) {
        while (i < text.size() && delimiters.find(text[i]) != std::string_view::npos)
            ++i;
        if (i >= text.size())
            break;
        if (++count == n)
            return i + 1;
        while (i < text.size() && delimiters.find(text[i]) == std::string_view::npos)
            ++i;
    }
    return 0;
}

std::string ExtractWord(std::size_t n, std::string_view text, std::string_view delimiters) {
    const std::size_t position = WordPosition(n, text, delimiters);
    if (position == 0)
        return {};
    const std::size_t start = position - 1;
    const std::size_t end = text.find_first_of(delimiters, start);
    return std::string(text.substr(start, end == std::string_view::npos ? end : end - start));
}

}  // namespace support
