#include "platform/db/names.h"

#include <algorithm>

#include "platform/nls/text.h"

namespace db {

int CompareNames(std::string_view a, std::string_view b) {
    auto fold = [](char c) { return static_cast<unsigned char>(platform::nls::AsciiUpper(c)); };
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        const unsigned char x = fold(a[i]);
        const unsigned char y = fold(b[i]);
        if (x != y) {
            return x < y ? -1 : 1;
        }
    }
    return a.size() < b.size() ? -1 : (a.size() > b.size() ? 1 : 0);
}

}  // namespace db
