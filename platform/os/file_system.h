#pragma once

// Names, moves, deletes and the program's folders.
//
// Paths are UTF-8 bytes. Both '/' and '\' are accepted as separators and '/'
// is emitted. Windows ignores case in file names, so the last component of a
// path is looked up without regard to ASCII case: the exact spelling wins,
// else the first matching name in byte order. Earlier components are taken
// as they are.

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/os/error_codes.h"

namespace platform::os {

// Whether a name holds a NUL. The system ends a name at its first NUL, so such a name would
// reach another file than the one named: every call here that takes a path refuses it
// (11010 with EINVAL) before touching the disk.
bool HasNul(std::string_view path) noexcept;

// Replaces every '\' with '/'.
std::string NormalizeSeparators(std::string_view path);

// The normalised path whose last component names an existing entry in the
// spelling found on disk; when no entry matches, the normalised path as given.
std::string ResolvePath(std::string_view path);

struct FileAttributes {
    bool directory = false;
    bool read_only = false;  // no write permission bit set
    std::uint64_t size = 0;
};

// 11010 when nothing of that name exists.
Result<FileAttributes> GetFileAttributes(std::string_view path);
// An entry exactly as spelled (no case lookup), as a file browser shows it.
struct FileStatus {
    bool directory = false;
    bool symlink = false;  // the entry is a link (only when links are not followed)
    std::uint64_t size = 0;
    std::int64_t modified = 0;   // seconds since 1970-01-01 UTC
    bool owned_by_user = false;  // owned by the user this process runs as
    // Which entry it is: two names of one entry share both.
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
};

// With follow_links false a symbolic link reports itself, else its target.
Result<FileStatus> QueryFileStatus(std::string_view path, bool follow_links);

// A read-only, close-on-exec descriptor of the file for a poll of its
// changes (such as the mount table); the caller closes it.
Result<int> OpenForPolling(std::string_view path);

// True for an existing entry that is not a directory.
bool FileExists(std::string_view path);
bool DirectoryExists(std::string_view path);

// Deletes a file. 11010 when it does not exist; 11013 while any File of this
// or another program holds it, for a directory, and for a file without write
// permission (as Windows refuses to delete a read-only file). The check and
// the unlink happen under the file's exclusive share lock, so no program can
// open the file in between.
Status DeleteFile(std::string_view path);

// Moves a file or renames a directory, never replacing an existing target
// (an existing target, in any case variant, gives 11047; renaming an entry to
// a case variant of its own name is allowed). 11010 when the source is
// missing; 11013 while another File holds the source. Across file systems a
// regular file is copied to a temporary name beside the target, synced, put
// in place without replacing, and only then is the source unlinked; a
// failure at any step removes the partial copy and keeps the source. The
// directories involved are synced after the move.
Status MoveFile(std::string_view from, std::string_view to);

// fsync of a directory, so a rename or unlink in it is durable.
Status SyncDirectory(std::string_view directory);
// Directory syncs this process asked for (tests and benchmarks count them).
std::uint64_t DirectorySyncCount() noexcept;

// Creates the directory and any missing parents with mode 0700 (before the
// umask). Existing directories are fine.
Status CreateDirectories(std::string_view path);

// The canonical absolute path (realpath) of an existing file or directory,
// standing in for the network name of a mapped path; empty on failure.
std::string UniversalName(std::string_view path);

// The process's private temporary folder, with a trailing '/': made once per
// process with mkdtemp (mode 0700) under $TMPDIR when that is an absolute
// directory, else /tmp, and removed at exit when it is empty.
Result<std::string> TempDirectory();

// Creates a new empty file named `directory`/`prefix`<random><extension>
// with O_CREAT|O_EXCL|O_NOFOLLOW and mode 0600, retrying on collisions
// (including case variants), and returns its path.
Result<std::string> CreateUniqueFile(std::string_view directory, std::string_view prefix,
                                     std::string_view extension);

// The writable per-user program directory, with a trailing '/':
// $CORVANE_HOME, else $XDG_DATA_HOME/Corvane/ (when absolute), else
// $HOME/.local/share/Corvane/. Created when missing. The environment is read
// on every call.
Result<std::string> ProgramDirectory();

// The running executable's absolute path (/proc/self/exe).
Result<std::string> ExecutablePath();

}  // namespace platform::os
