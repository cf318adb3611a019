#include "platform/config/atomic_file.h"

#include <string>
#include <system_error>
#include <utility>

#include "platform/os/whole_file.h"

namespace platform::config {

namespace {

AtomicWriteHook& Hook() {
    static AtomicWriteHook hook;
    return hook;
}

}  // namespace

void SetAtomicWriteHookForTesting(AtomicWriteHook hook) {
    Hook() = std::move(hook);
}

void WriteFileAtomically(const std::filesystem::path& path, std::string_view contents,
                         mode_t file_mode, mode_t folder_mode) {
    os::ReplaceOptions options;
    options.new_file_mode = file_mode;
    options.create_folders = true;
    options.folder_mode = folder_mode;
    options.progress = Hook();
    if (const auto error = os::ReplaceFileContents(path.string(), contents, options))
        throw std::system_error(error, "cannot replace " + path.string());
}

bool ReadWholeFile(const std::filesystem::path& path, std::string& contents) {
    const auto error = os::ReadFileContents(path.string(), contents);
    if (error == std::errc::no_such_file_or_directory || error == std::errc::not_a_directory)
        return false;
    if (error)
        throw std::system_error(error, "cannot read " + path.string());
    return true;
}

}  // namespace platform::config
