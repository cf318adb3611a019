#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace db {
class TStrings;
}

namespace app {

// File and folder routines shared by the application. Paths are UTF-8; both "/"
// and "\" are accepted as folder separators and "/" is written.

// The program's private temporary folder, with a trailing "/". Throws EError when
// it cannot be made.
std::string GetTempDir();

// path trimmed, with "/" appended unless it is empty or already ends in "/" or
// "\".
std::string AppendPathDelimiter(std::string_view path);

// A free name in the temporary folder for a copy of file_name.
std::string MakeTempCopyName(std::string_view file_name);

// file_name when nothing of that name exists, else the first free stem +
// separator + n + extension for n = 2, 3, ... (an empty separator means "_").
// Names are compared as the file layer compares them (ignoring case). Throws
// EError when no free name is found among max_candidates candidates.
inline constexpr std::int64_t kMaxUniqueCandidates = 20'000'000;
std::string MakeUniqueFileName(std::string_view file_name, std::string_view separator,
                               std::int64_t max_candidates = kMaxUniqueCandidates);

// The extension of the name part of path, from its last "." ("" when none).
std::string ExtractFileExt(std::string_view path);
// The name part of path (after the last "/" or "\").
std::string ExtractFileName(std::string_view path);
// The name part of path without its extension.
std::string FileNameWithoutExt(std::string_view path);

// Whether dir names an existing folder, without any error box.
bool DirectoryExistsQuiet(std::string_view dir);

// The extension of file_name equals ext, ignoring ASCII letter case.
bool SameFileExtension(std::string_view file_name, std::string_view ext);

// "*.*" (or "*.*;") matches everything; otherwise the upper-cased extension of
// file_name (".AAA" when it has none or is only ".") followed by ";" must occur
// in the upper-cased masks followed by ";" ("*.txt;*.htm" matches "A.TXT").
bool MatchesExtensionList(std::string_view file_name, std::string_view masks);

// Writes text as one line: appended to an existing file unless overwrite, else
// the file is created or replaced. Returns true; a file error throws
// db::EInOutError naming the file.
bool SaveTextFile(std::string_view file_name, std::string_view text, bool overwrite);

// Makes sure the folder dir exists, creating it with its missing parents. An
// existing folder gives true at once. An empty dir or a root ("/", "c:\") gives
// false at once. With ask, the user is asked first (Cancel gives false); a
// failure gives false and, with report, a warning box.
bool EnsureFolder(std::string_view dir, bool ask, bool report);

// Fills list with the entries of the folder dir (not its sub-folders' contents)
// that match masks (see MatchesExtensionList), sorted by name: the full path
// with full_path, else the name without extension with no_extension, else the
// name. A missing or unreadable folder shows an information box and gives false.
bool ScanFolderFiles(db::TStrings& list, std::string_view dir, std::string_view masks,
                     bool full_path, bool no_extension);

}  // namespace app
