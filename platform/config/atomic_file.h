#pragma once

#include <filesystem>
#include <functional>
#include <string_view>

#include <sys/types.h>

namespace platform::config {

// Replaces the file at path with contents so that a reader, or a program killed
// at any moment, sees either the old file or the new one, never a mixture: the
// bytes go to a temporary file created with O_EXCL in the same folder, are
// fsynced, renamed over path, and the folder is fsynced. Missing folders are
// created (with folder_mode). A new file gets file_mode (less the umask); an
// existing file keeps its mode. Throws std::system_error on failure, after
// removing the temporary file; the old file is then untouched. Temporary files
// left by savers that were killed half-way are removed after a successful save.
void WriteFileAtomically(const std::filesystem::path& path, std::string_view contents,
                         mode_t file_mode = 0666, mode_t folder_mode = 0777);

// Test hook: called after each chunk of the temporary file has been written,
// with the number of bytes written so far and the total. A test that forks a
// child may kill the child from here to simulate a crash half-way through a
// save. Not thread-safe; set it before saving and clear it afterwards.
using AtomicWriteHook = std::function<void(std::size_t written, std::size_t total)>;
void SetAtomicWriteHookForTesting(AtomicWriteHook hook);

// Reads a whole file. Returns false when it (or its folder) does not exist; throws
// std::system_error for any other failure.
bool ReadWholeFile(const std::filesystem::path& path, std::string& contents);

}  // namespace platform::config
