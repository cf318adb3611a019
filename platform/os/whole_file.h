#pragma once

// Whole-file reads and writes for settings, option lists and mail files: the one place
// the safe replace of a file (temporary file, fsync, rename, folder fsync) is written.
// Paths are taken as they are (callers resolve case first). Failures are answered as
// error codes of the generic category (errno values), so each caller raises its own
// exception with its own words.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace platform::os {

// Which file a name stands for and which version of it: a reader that kept the stamp of
// what it read sees a replace (a new inode), a rewrite in place (size or time) and a delete.
struct FileStamp {
    bool exists = false;
    std::uint64_t device = 0, inode = 0;
    std::int64_t size = 0, mtime_ns = 0;
    bool operator==(const FileStamp&) const = default;
};
FileStamp StampOf(std::string_view path);

// The whole contents of a file. ENOENT or ENOTDIR when it (or its folder) does not exist,
// EISDIR for a folder.
std::error_code ReadFileContents(std::string_view path, std::string& contents);

struct ReplaceOptions {
    // Permission bits of a new file, less the umask; an existing file keeps its own.
    unsigned new_file_mode = 0666;
    // Permission bits of missing folders, created when create_folders is set.
    bool create_folders = false;
    unsigned folder_mode = 0777;
    // Called after each chunk of the temporary file is written with the bytes written so
    // far and the total (tests kill a saver half-way from here).
    std::function<void(std::size_t written, std::size_t total)> progress;
};

// Replaces the file at `path` so that a reader, or a program killed at any moment, sees
// either the old contents or the new, never a mixture: the bytes go to a temporary file
// created with O_EXCL beside the target (".<name>.tmp<pid>-<n>"), are synced and renamed
// over the target, and the folder is synced. On failure the temporary file is removed and
// the old file stays untouched. Temporary files that savers killed half-way left beside
// the target are removed after a successful replace. EISDIR when the target is a folder.
std::error_code ReplaceFileContents(std::string_view path, std::string_view contents,
                                    const ReplaceOptions& options = {});

// A replacement written in pieces, for files too large to hold in memory: Open creates the
// temporary file beside the target as ReplaceFileContents does, Write appends to it, and
// Commit syncs it, renames it over the target and syncs the folder. Destroyed, or
// discarded, before Commit it removes the temporary file and the target stays untouched.
class FileReplacement {
  public:
    FileReplacement() = default;
    ~FileReplacement() { Discard(); }
    FileReplacement(const FileReplacement&) = delete;
    FileReplacement& operator=(const FileReplacement&) = delete;

    std::error_code Open(std::string_view path, const ReplaceOptions& options = {});
    // Requires: open. A failed write leaves none of its bytes in the file, so the caller
    // may write them again.
    std::error_code Write(std::string_view bytes);
    // Requires: open. Closed afterwards, also when it fails.
    std::error_code Commit();
    void Discard();
    bool IsOpen() const { return fd_ >= 0; }

  private:
    friend std::error_code ReplaceFileContents(std::string_view, std::string_view,
                                               const ReplaceOptions&);
    int fd_ = -1;
    std::string target_;
    std::string temp_name_;
    std::string prefix_;
};

// The names in `folder` that programs which no longer run left behind: those of the form
// `prefix` + "<pid>-<anything>" whose process is gone. A living program's name is never
// listed, nor a name of another form. Savers and other writers of scratch entries put their
// process id in the name this way so that whoever comes next can clear up after a kill.
std::vector<std::string> LeftByEndedPrograms(std::string_view folder, std::string_view prefix);

// Appends to a file, creating it (0666 less the umask) when missing.
std::error_code AppendToFile(std::string_view path, std::string_view contents);

// Creates a file that must not exist yet (O_EXCL) with the given permission bits and
// syncs it; on failure nothing is left behind. EEXIST when the name is taken.
std::error_code WriteNewFile(std::string_view path, std::string_view contents, unsigned mode);

}  // namespace platform::os
