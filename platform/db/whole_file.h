#pragma once

#include <string>
#include <string_view>

namespace db {

// The whole contents of a file; the last path component is found without regard to case.
// Raises EFOpenError "Cannot open file "name". reason".
std::string ReadWholeFile(std::string_view file_name);

// Writes `bytes` to a new file beside the target, syncs it and renames it over the target
// (found without regard to case), so the target holds either its old or its whole new
// contents; an existing target keeps its permission bits. Raises EFCreateError "Cannot
// create file "name". reason" and leaves no temporary file behind.
void ReplaceWholeFile(std::string_view file_name, std::string_view bytes);

}  // namespace db
