#include "platform/config/atomic_file.h"

#include <cerrno>
#include <cstdlib>
#include <string>
#include <system_error>
#include <utility>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform::config {

namespace {

AtomicWriteHook& Hook() {
    static AtomicWriteHook hook;
    return hook;
}

[[noreturn]] void ThrowErrno(int error, const std::string& what) {
    throw std::system_error(error, std::generic_category(), what);
}

// Closes a descriptor on every path out.
class Descriptor {
  public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }

  private:
    int fd_;
};

void CreateFolders(const std::filesystem::path& folder, mode_t mode) {
    if (folder.empty()) {
        return;
    }
    struct stat st {};
    if (::stat(folder.c_str(), &st) == 0) {
        if (!S_ISDIR(st.st_mode)) {
            ThrowErrno(ENOTDIR, "not a folder: " + folder.string());
        }
        return;
    }
    if (folder.has_parent_path() && folder.parent_path() != folder) {
        CreateFolders(folder.parent_path(), mode);
    }
    if (::mkdir(folder.c_str(), mode) != 0 && errno != EEXIST) {
        ThrowErrno(errno, "cannot create folder " + folder.string());
    }
}

void WriteAll(int fd, std::string_view contents, const std::string& name) {
    constexpr std::size_t kChunk = 4096;
    std::size_t written = 0;
    while (written < contents.size()) {
        const std::size_t want = std::min(kChunk, contents.size() - written);
        const ssize_t n = ::write(fd, contents.data() + written, want);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            ThrowErrno(errno, "cannot write " + name);
        }
        written += static_cast<std::size_t>(n);
        if (Hook()) {
            Hook()(written, contents.size());
        }
    }
}

// Removes temporary files that savers killed half-way left beside path: those
// whose process id no longer runs. A live saver's file is never touched.
void RemoveStaleTemporaries(const std::filesystem::path& folder, const std::string& prefix) {
    std::error_code error;
    for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end;
         it.increment(error)) {
        const std::string name = it->path().filename().string();
        if (name.rfind(prefix, 0) != 0) {
            continue;
        }
        const std::string rest = name.substr(prefix.size());
        const std::size_t dash = rest.find('-');
        if (dash == std::string::npos || dash == 0 ||
            rest.find_first_not_of("0123456789") != dash) {
            continue;
        }
        const long pid = std::strtol(rest.substr(0, dash).c_str(), nullptr, 10);
        if (pid > 0 && ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) {
            ::unlink(it->path().c_str());
        }
    }
}

}  // namespace

void SetAtomicWriteHookForTesting(AtomicWriteHook hook) {
    Hook() = std::move(hook);
}

void WriteFileAtomically(const std::filesystem::path& path, std::string_view contents,
                         mode_t file_mode, mode_t folder_mode) {
    const std::filesystem::path folder =
        path.has_parent_path() ? path.parent_path() : std::filesystem::path(".");
    CreateFolders(folder, folder_mode);

    struct stat old {};
    const bool had_old = ::stat(path.c_str(), &old) == 0;
    const mode_t mode = had_old ? (old.st_mode & 07777) : file_mode;

    // O_EXCL on a fresh name: two savers, or a stale temporary of a killed one,
    // never share a temporary file.
    const std::string temp_prefix = "." + path.filename().string() + ".tmp";
    std::string temp_name;
    int fd = -1;
    for (unsigned attempt = 0; fd < 0; ++attempt) {
        temp_name =
            (folder / (temp_prefix + std::to_string(::getpid()) + "-" + std::to_string(attempt)))
                .string();
        fd = ::open(temp_name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (fd < 0 && (errno != EEXIST || attempt > 1000)) {
            ThrowErrno(errno, "cannot create " + temp_name);
        }
    }
    Descriptor temp(fd);
    try {
        if (had_old) {
            // The umask must not narrow an existing file's mode.
            ::fchmod(temp.get(), mode);
        }
        WriteAll(temp.get(), contents, temp_name);
        if (::fsync(temp.get()) != 0) {
            ThrowErrno(errno, "cannot flush " + temp_name);
        }
        if (::close(temp.release()) != 0) {
            ThrowErrno(errno, "cannot close " + temp_name);
        }
        if (::rename(temp_name.c_str(), path.c_str()) != 0) {
            ThrowErrno(errno, "cannot replace " + path.string());
        }
    } catch (...) {
        ::unlink(temp_name.c_str());
        throw;
    }
    Descriptor dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() >= 0) {
        ::fsync(dir.get());  // the rename is durable once the folder is
    }
    RemoveStaleTemporaries(folder, temp_prefix);
}

bool ReadWholeFile(const std::filesystem::path& path, std::string& contents) {
    Descriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) {
        if (errno == ENOENT || errno == ENOTDIR) {
            return false;
        }
        ThrowErrno(errno, "cannot open " + path.string());
    }
    contents.clear();
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            ThrowErrno(errno, "cannot read " + path.string());
        }
        if (n == 0) {
            break;
        }
        contents.append(buffer, static_cast<std::size_t>(n));
    }
    return true;
}

}  // namespace platform::config
