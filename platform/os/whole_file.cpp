#include "platform/os/whole_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <utility>

#include "platform/os/file_system.h"
#include "platform/os/share_lock.h"

namespace platform::os {
namespace {

std::error_code Errno(int error) {
    return {error, std::generic_category()};
}

using detail::UniqueFd;

std::string FolderOf(std::string_view path) {
    const auto slash = path.rfind('/');
    if (slash == std::string_view::npos)
        return ".";
    return slash == 0 ? "/" : std::string(path.substr(0, slash));
}

std::string NameOf(std::string_view path) {
    const auto slash = path.rfind('/');
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::error_code CreateFolders(const std::string& folder, unsigned mode) {
    struct stat st {};
    if (::stat(folder.c_str(), &st) == 0)
        return S_ISDIR(st.st_mode) ? std::error_code{} : Errno(ENOTDIR);
    const std::string parent = FolderOf(folder);
    if (parent != folder && parent != "." && parent != "/") {
        if (const auto error = CreateFolders(parent, mode))
            return error;
    }
    if (::mkdir(folder.c_str(), static_cast<mode_t>(mode)) != 0 && errno != EEXIST)
        return Errno(errno);
    return {};
}

std::error_code WriteAll(int fd, std::string_view contents, const ReplaceOptions* options) {
    constexpr std::size_t kChunk = 65536;
    std::size_t written = 0;
    while (written < contents.size()) {
        const std::size_t want = std::min(kChunk, contents.size() - written);
        const ssize_t n = ::write(fd, contents.data() + written, want);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return Errno(errno);
        }
        written += static_cast<std::size_t>(n);
        if (options != nullptr && options->progress)
            options->progress(written, contents.size());
    }
    return {};
}

void SyncFolder(const std::string& folder) {
    UniqueFd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() >= 0)
        ::fsync(dir.get());
}

// Removes the temporary files of savers that were killed half-way. A live saver's file is
// never touched.
void RemoveStaleTemporaries(const std::string& folder, const std::string& prefix) {
    for (const std::string& name : LeftByEndedPrograms(folder, prefix))
        ::unlink((folder + "/" + name).c_str());
}

}  // namespace

std::vector<std::string> LeftByEndedPrograms(std::string_view folder, std::string_view prefix) {
    struct CloseDir {
        void operator()(DIR* dir) const { ::closedir(dir); }
    };
    std::vector<std::string> names;
    const std::unique_ptr<DIR, CloseDir> dir(::opendir(std::string(folder).c_str()));
    if (!dir)
        return names;
    while (const dirent* entry = ::readdir(dir.get())) {
        const std::string_view name = entry->d_name;
        if (name.substr(0, prefix.size()) != prefix)
            continue;
        const std::string_view rest = name.substr(prefix.size());
        const std::size_t dash = rest.find('-');
        if (dash == std::string_view::npos || dash == 0 ||
            rest.find_first_not_of("0123456789") != dash) {
            continue;
        }
        const long pid = std::strtol(std::string(rest.substr(0, dash)).c_str(), nullptr, 10);
        if (pid > 0 && ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH)
            names.emplace_back(name);
    }
    return names;
}

FileStamp StampOf(std::string_view path) {
    const std::string name(path);
    struct stat st {};
    FileStamp stamp;
    if (::stat(name.c_str(), &st) == 0) {
        stamp.exists = true;
        stamp.device = st.st_dev;
        stamp.inode = st.st_ino;
        stamp.size = st.st_size;
        stamp.mtime_ns =
            static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec;
    }
    return stamp;
}

std::error_code ReadFileContents(std::string_view path, std::string& contents) {
    if (HasNul(path))
        return Errno(EINVAL);
    const std::string name(path);
    UniqueFd file(::open(name.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.get() < 0)
        return Errno(errno);
    struct stat info {};
    if (::fstat(file.get(), &info) != 0)
        return Errno(errno);
    if (S_ISDIR(info.st_mode))
        return Errno(EISDIR);
    contents.clear();
    char buffer[65536];
    for (;;) {
        const ssize_t got = ::read(file.get(), buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return Errno(errno);
        }
        if (got == 0)
            break;
        contents.append(buffer, static_cast<std::size_t>(got));
    }
    return {};
}

namespace {

// A name that is a symbolic link stands for the file it points to: that file is replaced and
// the link stays. A dangling link is replaced by the new file.
std::string LinkTarget(std::string_view path) {
    std::string target(path);
    struct stat link {};
    if (::lstat(target.c_str(), &link) != 0 || !S_ISLNK(link.st_mode))
        return target;
    const std::unique_ptr<char, decltype(&::free)> resolved(::realpath(target.c_str(), nullptr),
                                                            &::free);
    return resolved ? std::string(resolved.get()) : target;
}

}  // namespace

std::error_code FileReplacement::Open(std::string_view path, const ReplaceOptions& options) {
    Discard();
    if (HasNul(path))
        return Errno(EINVAL);
    const std::string target = LinkTarget(path);
    const std::string folder = FolderOf(target);
    if (options.create_folders) {
        if (const auto error = CreateFolders(folder, options.folder_mode))
            return error;
    }
    struct stat old {};
    const bool had_old = ::stat(target.c_str(), &old) == 0;
    if (had_old && S_ISDIR(old.st_mode))
        return Errno(EISDIR);
    const mode_t mode = had_old ? static_cast<mode_t>(old.st_mode & 07777)
                                : static_cast<mode_t>(options.new_file_mode);

    // O_EXCL on a fresh name: two savers, or a stale temporary of a killed one, never
    // share a temporary file.
    const std::string prefix = "." + NameOf(target) + ".tmp";
    std::string temp_name;
    int fd = -1;
    for (unsigned attempt = 0; fd < 0; ++attempt) {
        temp_name =
            folder + "/" + prefix + std::to_string(::getpid()) + "-" + std::to_string(attempt);
        fd = ::open(temp_name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (fd < 0 && (errno != EEXIST || attempt > 1000))
            return Errno(errno);
    }
    fd_ = fd;
    target_ = target;
    temp_name_ = std::move(temp_name);
    prefix_ = prefix;
    // The umask must not narrow an existing file's mode.
    if (had_old && ::fchmod(fd_, mode) != 0) {
        const std::error_code error = Errno(errno);
        Discard();
        return error;
    }
    return {};
}

std::error_code FileReplacement::Write(std::string_view bytes) {
    assert(IsOpen());
    const off_t before = ::lseek(fd_, 0, SEEK_CUR);
    const std::error_code error = WriteAll(fd_, bytes, nullptr);
    // A write cut short by a full disk leaves nothing of itself, so that the same bytes can
    // be written again once there is room.
    if (error && before >= 0 && ::ftruncate(fd_, before) == 0)
        ::lseek(fd_, before, SEEK_SET);
    return error;
}

std::error_code FileReplacement::Commit() {
    assert(IsOpen());
    UniqueFd temp(std::exchange(fd_, -1));
    std::error_code error;
    if (::fsync(temp.get()) != 0)
        error = Errno(errno);
    if (temp.Close() != 0 && !error)
        error = Errno(errno);
    if (!error && ::rename(temp_name_.c_str(), target_.c_str()) != 0)
        error = Errno(errno);
    if (error) {
        ::unlink(temp_name_.c_str());
        return error;
    }
    // The rename is durable once the folder is.
    const std::string folder = FolderOf(target_);
    SyncFolder(folder);
    RemoveStaleTemporaries(folder, prefix_);
    return {};
}

void FileReplacement::Discard() {
    if (fd_ < 0)
        return;
    ::close(std::exchange(fd_, -1));
    ::unlink(temp_name_.c_str());
}

std::error_code ReplaceFileContents(std::string_view path, std::string_view contents,
                                    const ReplaceOptions& options) {
    FileReplacement replacement;
    if (const auto error = replacement.Open(path, options))
        return error;
    // A throwing progress callback leaves through the replacement's destructor, which
    // removes the temporary file.
    if (const auto error = WriteAll(replacement.fd_, contents, &options)) {
        replacement.Discard();
        return error;
    }
    return replacement.Commit();
}

std::error_code AppendToFile(std::string_view path, std::string_view contents) {
    if (HasNul(path))
        return Errno(EINVAL);
    const std::string name(path);
    UniqueFd file(::open(name.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666));
    if (file.get() < 0)
        return Errno(errno);
    std::error_code error = WriteAll(file.get(), contents, nullptr);
    if (file.Close() != 0 && !error)
        error = Errno(errno);
    return error;
}

std::error_code WriteNewFile(std::string_view path, std::string_view contents, unsigned mode) {
    if (HasNul(path))
        return Errno(EINVAL);
    const std::string name(path);
    UniqueFd file(
        ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, static_cast<mode_t>(mode)));
    if (file.get() < 0)
        return Errno(errno);
    std::error_code error = WriteAll(file.get(), contents, nullptr);
    if (!error && ::fsync(file.get()) != 0)
        error = Errno(errno);
    if (file.Close() != 0 && !error)
        error = Errno(errno);
    if (error)
        ::unlink(name.c_str());
    return error;
}

}  // namespace platform::os
