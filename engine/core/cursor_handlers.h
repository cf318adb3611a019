#pragma once

// The callbacks a cursor's long operations (repair, restructure, upgrade) report through, apart
// from the cursor, so that a header naming them need not include the whole cursor.

#include <cstdint>
#include <functional>
#include <string_view>

namespace strata {

class TDataCursor;

using PasswordHandler = std::function<bool()>;
using ProgressHandler = std::function<void(std::uint32_t record, int percent)>;
using StageProgressHandler = std::function<void(std::string_view stage, int percent)>;
using LogHandler = std::function<void(std::string_view text)>;
using DataLostHandler =
    std::function<void(int cause, std::string_view context, bool& proceed, bool& suppress)>;

}  // namespace strata
