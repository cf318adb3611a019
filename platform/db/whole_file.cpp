#include "platform/db/whole_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/db/exception.h"
#include "platform/os/file_system.h"

namespace db {
namespace {

class Descriptor {
  public:
    explicit Descriptor(int fd) : fd_(fd) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    int get() const { return fd_; }
    // Closes now and answers the result: a failed close can mean lost data.
    int Close() {
        const int result = ::close(fd_);
        fd_ = -1;
        return result;
    }

  private:
    int fd_;
};

std::string DirectoryOf(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

std::string ReadWholeFile(std::string_view file_name) {
    const std::string path = platform::os::ResolvePath(file_name);
    auto fail = [&](int error) {
        throw EFOpenError("Cannot open file \"" + std::string(file_name) + "\". " +
                          std::strerror(error));
    };
    Descriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.get() < 0) {
        fail(errno);
    }
    struct stat info {};
    if (::fstat(file.get(), &info) != 0) {
        fail(errno);
    }
    if (S_ISDIR(info.st_mode)) {
        fail(EISDIR);
    }
    std::string contents;
    char buffer[65536];
    for (;;) {
        const ssize_t got = ::read(file.get(), buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            fail(errno);
        }
        if (got == 0) {
            break;
        }
        contents.append(buffer, static_cast<std::size_t>(got));
    }
    return contents;
}

void ReplaceWholeFile(std::string_view file_name, std::string_view bytes) {
    // An existing file of another case is replaced, not joined by a second one.
    const std::string path = platform::os::ResolvePath(file_name);
    auto fail = [&](int error) {
        throw EFCreateError("Cannot create file \"" + std::string(file_name) + "\". " +
                            std::strerror(error));
    };
    struct stat existing {};
    const bool replaces = ::stat(path.c_str(), &existing) == 0;
    if (replaces && S_ISDIR(existing.st_mode)) {
        fail(EISDIR);
    }
    std::string temp_name = path + ".XXXXXX";
    const int fd = ::mkostemp(temp_name.data(), O_CLOEXEC);
    if (fd < 0) {
        fail(errno);
    }
    Descriptor file(fd);
    bool placed = false;
    try {
        const mode_t mode = replaces ? (existing.st_mode & 07777) : 0644;
        if (::fchmod(file.get(), mode) != 0) {
            fail(errno);
        }
        std::size_t written = 0;
        while (written < bytes.size()) {
            const ssize_t put = ::write(file.get(), bytes.data() + written, bytes.size() - written);
            if (put < 0) {
                if (errno == EINTR) {
                    continue;
                }
                fail(errno);
            }
            written += static_cast<std::size_t>(put);
        }
        if (::fsync(file.get()) != 0) {
            fail(errno);
        }
        if (file.Close() != 0) {
            fail(errno);
        }
        if (::rename(temp_name.c_str(), path.c_str()) != 0) {
            fail(errno);
        }
        placed = true;
        const int dir_fd = ::open(DirectoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dir_fd >= 0) {
            ::fsync(dir_fd);
            ::close(dir_fd);
        }
    } catch (...) {
        if (!placed) {
            ::unlink(temp_name.c_str());
        }
        throw;
    }
}

}  // namespace db
