#pragma once

// Verification and repair of the three table files: the texts every check
// writes through the cursor's repair log, shared by the data, index and blob
// files (whose VerifyHeader / RepairHeader / RepairFile / CheckChain /
// RepairBlob live in table_verifier.cpp).
//
// Verify-only never writes: every fault is reported with its "not fixed"
// ending and the files, and the objects' images of them, stay as they were.

#include <cstdint>
#include <string>
#include <string_view>

#include "engine/core/table_file_link.h"

namespace strata {

// Writes one line (at most 255 characters) to the cursor's repair log.
void RepairLog(TFileCursor* cursor, std::string_view text);

// "error fixed" or "error not fixed".
inline std::string_view FixedText(bool verify_only) {
    return verify_only ? "error not fixed" : "error fixed";
}

// True when the name may begin a field or index name: a letter, "_" or a
// character from 129 to 254.
bool ValidNameStart(std::string_view name);

}  // namespace strata
