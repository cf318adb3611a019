#include "platform/db/whole_file.h"

#include <cstring>

#include "platform/db/exception.h"
#include "platform/os/file_system.h"
#include "platform/os/whole_file.h"

namespace db {

std::string ReadWholeFile(std::string_view file_name) {
    const std::string path = platform::os::ResolvePath(file_name);
    std::string contents;
    if (const auto error = platform::os::ReadFileContents(path, contents)) {
        throw EFOpenError("Cannot open file \"" + std::string(file_name) + "\". " +
                          std::strerror(error.value()));
    }
    return contents;
}

void ReplaceWholeFile(std::string_view file_name, std::string_view bytes) {
    // An existing file of another case is replaced, not joined by a second one.
    const std::string path = platform::os::ResolvePath(file_name);
    platform::os::ReplaceOptions options;
    options.new_file_mode = 0644;
    if (const auto error = platform::os::ReplaceFileContents(path, bytes, options)) {
        throw EFCreateError("Cannot create file \"" + std::string(file_name) + "\". " +
                            std::strerror(error.value()));
    }
}

}  // namespace db
