#include "platform/os/file_system.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/os/share_lock.h"
#include "platform/os/thread.h"

namespace platform::os {
namespace {

using detail::UniqueFd;

bool equal_ignoring_ascii_case(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; };
               return lower(x) == lower(y);
           });
}

// Splits at the last '/': the directory part ("." or "/" when there is none)
// and the prefix to put before a new last component.
std::string parent_directory(const std::string& path) {
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string last_component(const std::string& path) {
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool same_file(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// renameat2(RENAME_NOREPLACE); where the file system lacks it, a hard link
// and an unlink of the old name give the same guarantee for files.
int rename_no_replace(const std::string& from, const std::string& to, bool is_directory) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
        return 0;
    }
    if ((errno != EINVAL && errno != ENOSYS) || is_directory) {
        return errno;
    }
    if (::link(from.c_str(), to.c_str()) != 0) {
        return errno;
    }
    if (::unlink(from.c_str()) != 0) {
        const int error = errno;
        ::unlink(to.c_str());
        return error;
    }
    return 0;
}

std::string random_name_part(std::size_t length) {
    static constexpr std::string_view kAlphabet = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::string part(length, 'a');
    for (char& c : part) {
        c = kAlphabet[Random(static_cast<std::uint32_t>(kAlphabet.size()))];
    }
    return part;
}

std::string join(std::string directory, std::string_view name) {
    if (directory.empty()) {
        return std::string(name);
    }
    if (directory.back() != '/') {
        directory += '/';
    }
    directory += name;
    return directory;
}

// Creates `dir`/`prefix`<random><extension> exclusively; the descriptor
// is open for writing.
Result<std::pair<std::string, UniqueFd>> create_unique(const std::string& directory,
                                                       std::string_view prefix,
                                                       std::string_view extension, mode_t mode) {
    constexpr int kAttempts = 100;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        std::string name =
            join(directory, std::string(prefix) + random_name_part(8) + std::string(extension));
        if (ResolvePath(name) != name) {
            continue;  // a case variant exists: Windows would see the same name
        }
        UniqueFd fd(
            ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
        if (fd.valid()) {
            return std::pair{std::move(name), std::move(fd)};
        }
        if (errno != EEXIST) {
            return Status::FromErrno(errno);
        }
    }
    return Status::FromErrno(EEXIST);
}

// Copies the whole of `source` into `target` at offset 0.
int copy_contents(int source, int target) {
    std::vector<char> buffer(1 << 20);
    off_t offset = 0;
    for (;;) {
        const ssize_t n = ::pread(source, buffer.data(), buffer.size(), offset);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        if (n == 0) {
            return 0;
        }
        ssize_t written = 0;
        while (written < n) {
            const ssize_t w = ::pwrite(target, buffer.data() + written,
                                       static_cast<std::size_t>(n - written), offset + written);
            if (w < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return errno;
            }
            if (w == 0) {
                return ENOSPC;
            }
            written += w;
        }
        offset += n;
    }
}

// The cross-device half of MoveFile for a regular file. `source_fd` is open
// for reading and holds the source's share lock.
Status copy_across(const std::string& from, int source_fd, const struct stat& source_stat,
                   const std::string& to) {
    const std::string target_dir = parent_directory(to);
    auto created = create_unique(target_dir, ".corvane-move-", ".tmp", 0600);
    if (!created) {
        return created.status();
    }
    auto& [temp_name, temp_fd] = *created;
    const std::string& temp_path = temp_name;  // a lambda may not capture a structured binding
    auto fail = [&temp_path](int error) {
        ::unlink(temp_path.c_str());
        return Status::FromErrno(error);
    };
    if (const int error = copy_contents(source_fd, temp_fd.get()); error != 0) {
        return fail(error);
    }
    (void)::fchmod(temp_fd.get(), source_stat.st_mode & 07777);
    const timespec times[2] = {source_stat.st_atim, source_stat.st_mtim};
    (void)::futimens(temp_fd.get(), times);
    if (::fsync(temp_fd.get()) != 0) {
        return fail(errno);
    }
    temp_fd.Reset();
    if (const int error = rename_no_replace(temp_name, to, false); error != 0) {
        return fail(error);
    }
    (void)SyncDirectory(target_dir);
    if (::unlink(from.c_str()) != 0) {
        // Keep one copy only: the source stays, the new one goes.
        const int error = errno;
        ::unlink(to.c_str());
        (void)SyncDirectory(target_dir);
        return Status::FromErrno(error);
    }
    (void)SyncDirectory(parent_directory(from));
    return Status::Ok();
}

std::string with_trailing_slash(std::string path) {
    if (path.empty() || path.back() != '/') {
        path += '/';
    }
    return path;
}

struct PrivateTemp {
    std::mutex mutex;
    pid_t owner = 0;
    std::string path;  // without the trailing '/'
};

PrivateTemp& private_temp() {
    static PrivateTemp* instance = new PrivateTemp;  // outlives the exit handler
    return *instance;
}

void remove_private_temp() {
    auto& temp = private_temp();
    std::lock_guard lock(temp.mutex);
    if (temp.owner == ::getpid() && !temp.path.empty()) {
        ::rmdir(temp.path.c_str());  // only when empty: files left there are not ours to drop
    }
}

}  // namespace

bool HasNul(std::string_view path) noexcept {
    return path.find('\0') != std::string_view::npos;
}

std::string NormalizeSeparators(std::string_view path) {
    std::string result(path);
    std::replace(result.begin(), result.end(), '\\', '/');
    return result;
}

std::string ResolvePath(std::string_view path) {
    std::string normal = NormalizeSeparators(path);
    const std::string name = last_component(normal);
    if (name.empty() || name == "." || name == "..") {
        return normal;
    }
    struct stat st {};
    if (::lstat(normal.c_str(), &st) == 0) {
        return normal;
    }
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(parent_directory(normal).c_str()),
                                            &::closedir);
    if (!dir) {
        return normal;
    }
    std::optional<std::string> best;
    while (const dirent* entry = ::readdir(dir.get())) {
        const std::string_view candidate = entry->d_name;
        if (equal_ignoring_ascii_case(candidate, name) && (!best || candidate < *best)) {
            best = std::string(candidate);
        }
    }
    if (!best) {
        return normal;
    }
    return normal.substr(0, normal.size() - name.size()) + *best;
}

Result<FileAttributes> GetFileAttributes(std::string_view path) {
    if (HasNul(path)) {
        return Status(kInvalidPath, EINVAL);
    }
    struct stat st {};
    if (::stat(ResolvePath(path).c_str(), &st) != 0) {
        return Status::FromErrno(errno);
    }
    FileAttributes attributes;
    attributes.directory = S_ISDIR(st.st_mode);
    attributes.read_only = (st.st_mode & 0222) == 0;
    attributes.size = static_cast<std::uint64_t>(st.st_size);
    return attributes;
}

Result<FileStatus> QueryFileStatus(std::string_view path, bool follow_links) {
    if (HasNul(path)) {
        return Status(kInvalidPath, EINVAL);
    }
    const std::string name(path);
    struct stat st {};
    const int failed = follow_links ? ::stat(name.c_str(), &st) : ::lstat(name.c_str(), &st);
    if (failed != 0)
        return Status::FromErrno(errno);
    FileStatus status;
    status.directory = S_ISDIR(st.st_mode);
    status.symlink = S_ISLNK(st.st_mode);
    status.size = static_cast<std::uint64_t>(st.st_size);
    status.modified = static_cast<std::int64_t>(st.st_mtime);
    status.owned_by_user = st.st_uid == ::getuid();
    status.device = static_cast<std::uint64_t>(st.st_dev);
    status.inode = static_cast<std::uint64_t>(st.st_ino);
    return status;
}

Result<int> OpenForPolling(std::string_view path) {
    if (HasNul(path)) {
        return Status(kInvalidPath, EINVAL);
    }
    const std::string name(path);
    const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return Status::FromErrno(errno);
    return fd;
}

bool FileExists(std::string_view path) {
    const auto attributes = GetFileAttributes(path);
    return attributes && !attributes->directory;
}

bool DirectoryExists(std::string_view path) {
    const auto attributes = GetFileAttributes(path);
    return attributes && attributes->directory;
}

Status DeleteFile(std::string_view path) {
    if (HasNul(path)) {
        return Status(kInvalidPath, EINVAL);
    }
    const std::string resolved = ResolvePath(path);
    struct stat st {};
    if (::lstat(resolved.c_str(), &st) != 0) {
        return Status::FromErrno(errno);
    }
    if (S_ISDIR(st.st_mode)) {
        return Status(kAccessDenied, EISDIR);
    }
    UniqueFd guard;
    if (S_ISREG(st.st_mode)) {
        if ((st.st_mode & 0222) == 0) {
            return Status(kAccessDenied, EACCES);
        }
        auto held = detail::HoldExclusiveShare(resolved);
        if (!held) {
            return held.status();
        }
        guard = std::move(*held);
    }
    if (::unlink(resolved.c_str()) != 0) {
        return Status::FromErrno(errno);
    }
    (void)SyncDirectory(parent_directory(resolved));
    return Status::Ok();
}

Status MoveFile(std::string_view from, std::string_view to) {
    if (HasNul(from) || HasNul(to)) {
        return Status(kInvalidPath, EINVAL);
    }
    const std::string source = ResolvePath(from);
    struct stat source_stat {};
    if (::lstat(source.c_str(), &source_stat) != 0) {
        return Status::FromErrno(errno);
    }
    std::string target = NormalizeSeparators(to);
    if (last_component(target).empty()) {
        return Status::FromErrno(ENOENT);
    }
    struct stat target_stat {};
    if (::lstat(ResolvePath(target).c_str(), &target_stat) == 0) {
        // The one entry that may already "exist" is the source itself, when
        // only the case of its name changes.
        const bool same_entry = same_file(source_stat, target_stat) &&
                                (S_ISDIR(source_stat.st_mode) || source_stat.st_nlink == 1);
        if (!same_entry) {
            return Status(kUnknownOsError, EEXIST);
        }
        if (last_component(target) == last_component(source)) {
            return Status::Ok();
        }
    }
    const bool is_directory = S_ISDIR(source_stat.st_mode);
    const bool is_regular = S_ISREG(source_stat.st_mode);
    UniqueFd guard;
    if (is_regular) {
        auto held = detail::HoldExclusiveShare(source);
        if (!held) {
            return held.status();
        }
        guard = std::move(*held);
    }
    const int error = rename_no_replace(source, target, is_directory);
    if (error == 0) {
        const std::string source_dir = parent_directory(source);
        const std::string target_dir = parent_directory(target);
        (void)SyncDirectory(target_dir);
        if (target_dir != source_dir) {
            (void)SyncDirectory(source_dir);
        }
        return Status::Ok();
    }
    if (error == EXDEV && is_regular) {
        return copy_across(source, guard.get(), source_stat, target);
    }
    return Status::FromErrno(error);
}

namespace {
std::atomic<std::uint64_t> directory_syncs{0};
}  // namespace

std::uint64_t DirectorySyncCount() noexcept {
    return directory_syncs.load(std::memory_order_relaxed);
}

Status SyncDirectory(std::string_view directory) {
    directory_syncs.fetch_add(1, std::memory_order_relaxed);
    if (HasNul(directory)) {
        return Status(kInvalidPath, EINVAL);
    }
    const std::string path = NormalizeSeparators(directory);
    UniqueFd fd(::open(path.empty() ? "." : path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd.valid()) {
        return Status::FromErrno(errno);
    }
    if (::fsync(fd.get()) != 0 && errno != EINVAL && errno != EROFS) {
        return Status::FromErrno(errno);
    }
    return Status::Ok();
}

Status CreateDirectories(std::string_view path) {
    if (HasNul(path)) {
        return Status(kInvalidPath, EINVAL);
    }
    const std::string normal = NormalizeSeparators(path);
    if (normal.empty()) {
        return Status::FromErrno(ENOENT);
    }
    std::size_t position = 0;
    while (position != std::string::npos) {
        position = normal.find('/', position + 1);
        const std::string prefix = normal.substr(0, position);
        if (prefix.empty() || prefix == "/") {
            continue;
        }
        if (::mkdir(prefix.c_str(), 0700) != 0) {
            const int error = errno;
            struct stat st {};
            if (error != EEXIST || ::stat(prefix.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
                return Status::FromErrno(error == EEXIST ? ENOTDIR : error);
            }
        }
    }
    return Status::Ok();
}

std::string UniversalName(std::string_view path) {
    if (HasNul(path)) {
        return {};
    }
    const std::string resolved = ResolvePath(path);
    std::unique_ptr<char, decltype(&std::free)> real(::realpath(resolved.c_str(), nullptr),
                                                     &std::free);
    return real ? std::string(real.get()) : std::string();
}

Result<std::string> TempDirectory() {
    auto& temp = private_temp();
    std::lock_guard lock(temp.mutex);
    const pid_t self = ::getpid();
    if (temp.owner != self) {
        std::string base = "/tmp";
        if (const char* env = std::getenv("TMPDIR"); env != nullptr && env[0] == '/') {
            struct stat st {};
            if (::stat(env, &st) == 0 && S_ISDIR(st.st_mode)) {
                base = env;
            }
        }
        std::string pattern = join(base, "corvane-XXXXXX");
        if (::mkdtemp(pattern.data()) == nullptr) {
            return Status::FromErrno(errno);
        }
        static std::once_flag exit_handler;
        std::call_once(exit_handler, [] { std::atexit(remove_private_temp); });
        temp.owner = self;
        temp.path = std::move(pattern);
    }
    return temp.path + '/';
}

Result<std::string> CreateUniqueFile(std::string_view directory, std::string_view prefix,
                                     std::string_view extension) {
    if (HasNul(directory) || HasNul(prefix) || HasNul(extension)) {
        return Status(kInvalidPath, EINVAL);
    }
    auto created = create_unique(NormalizeSeparators(directory), prefix, extension, 0600);
    if (!created) {
        return created.status();
    }
    return std::move(created->first);
}

Result<std::string> ProgramDirectory() {
    std::string directory;
    if (const char* home = std::getenv("CORVANE_HOME"); home != nullptr && home[0] != '\0') {
        directory = NormalizeSeparators(home);
    } else if (const char* data = std::getenv("XDG_DATA_HOME"); data != nullptr && data[0] == '/') {
        directory = join(data, "Corvane");
    } else {
        std::string user_home;
        if (const char* env = std::getenv("HOME"); env != nullptr && env[0] != '\0') {
            user_home = env;
        } else {
            passwd entry{};
            passwd* found = nullptr;
            std::vector<char> buffer(16384);
            if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 ||
                found == nullptr || found->pw_dir == nullptr) {
                return Status::FromErrno(ENOENT);
            }
            user_home = found->pw_dir;
        }
        directory = join(user_home, ".local/share/Corvane");
    }
    if (const Status status = CreateDirectories(directory); !status) {
        return status;
    }
    return with_trailing_slash(std::move(directory));
}

Result<std::string> ExecutablePath() {
    std::string buffer(256, '\0');
    for (;;) {
        const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (n < 0) {
            return Status::FromErrno(errno);
        }
        if (static_cast<std::size_t>(n) < buffer.size()) {
            buffer.resize(static_cast<std::size_t>(n));
            return buffer;
        }
        buffer.resize(buffer.size() * 2);
    }
}

}  // namespace platform::os
