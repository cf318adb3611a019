// A second program for the multi-process tests. It reads one command per
// line from standard input and answers each with one line: an engine code
// (0 for success), or 1/0 for unlock. End of input or "exit" ends it.
//
//   open excl|shared|ro-excl|ro-shared PATH    create PATH
//   lock START LENGTH w|r                      unlock START LENGTH
//   write OFFSET TEXT                          read OFFSET LENGTH  (answers the text)
//   close    delete PATH    move FROM TO    tempdir  (answers the path)

#include <cstdint>
#include <iostream>
#include <span>
#include <sstream>
#include <string>
#include <vector>

#include "platform/os/file.h"
#include "platform/os/file_system.h"

namespace os = platform::os;

int main() {
    os::File file;
    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream in(line);
        std::string command;
        in >> command;
        int code = 0;
        if (command == "exit") {
            break;
        } else if (command == "open") {
            std::string mode, path;
            in >> mode >> path;
            os::OpenOptions options;
            options.share =
                mode.ends_with("shared") ? os::ShareMode::kShared : os::ShareMode::kExclusive;
            options.read_only = mode.starts_with("ro-");
            auto opened = os::File::Open(path, options);
            code = opened.code();
            if (opened) {
                file = std::move(*opened);
            }
        } else if (command == "create") {
            std::string path;
            in >> path;
            auto created = os::File::Create(path);
            code = created.code();
            if (created) {
                file = std::move(*created);
            }
        } else if (command == "lock") {
            std::uint64_t start = 0, length = 0;
            std::string kind;
            in >> start >> length >> kind;
            code = file.LockRegion(start, length,
                                   kind == "r" ? os::LockKind::kRead : os::LockKind::kWrite)
                       .code();
        } else if (command == "unlock") {
            std::uint64_t start = 0, length = 0;
            in >> start >> length;
            code = file.UnlockRegion(start, length) ? 1 : 0;
        } else if (command == "write") {
            std::uint64_t offset = 0;
            std::string text;
            in >> offset >> text;
            code = file.WriteAt(offset, std::as_bytes(std::span(text))).code();
        } else if (command == "read") {
            std::uint64_t offset = 0, length = 0;
            in >> offset >> length;
            std::string text(length, '\0');
            auto n = file.ReadAt(offset, std::as_writable_bytes(std::span(text)));
            text.resize(n ? *n : 0);
            std::cout << text << std::endl;
            continue;
        } else if (command == "tempdir") {
            auto dir = os::TempDirectory();
            std::cout << (dir ? *dir : std::to_string(dir.code())) << std::endl;
            continue;
        } else if (command == "close") {
            code = file.Close().code();
        } else if (command == "delete") {
            std::string path;
            in >> path;
            code = os::DeleteFile(path).code();
        } else if (command == "move") {
            std::string from, to;
            in >> from >> to;
            code = os::MoveFile(from, to).code();
        } else {
            code = -1;
        }
        std::cout << code << std::endl;
    }
    return 0;
}
