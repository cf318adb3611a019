#pragma once

// The storage library's process-wide objects (file registry, bitmap pool,
// collation-map cache) and its small path services: universal names,
// temporary file names and table version texts.

#include <cstdint>
#include <string>
#include <string_view>

namespace strata {

class TFileList;

// Creates the process-wide objects (each is also made on first use).
void InitializeStorageLibrary();
// Frees them in reverse order; the file registry closes what it still holds.
void FinalizeStorageLibrary();

TFileList& GlobalFileList();

// The canonical absolute path of an existing directory or file (what a
// mapped drive's network name stands for here), with a trailing '/' when
// the path had a trailing separator; empty on failure.
std::string GetUniversalPath(std::string_view path);

// True when the registry knows a file of that name and kind, or a file of
// that name lies on disk (only asked for files on disk).
bool EngineFileExists(std::string_view name, bool in_memory);

// A new unique name `directory`/<thread id><n><extension> that neither the
// registry nor the disk knows. For a file on disk the name is reserved by
// creating the empty file exclusively (O_EXCL, never following a link), so
// no other thread or program can take it in between. An empty directory
// means the process's private temporary folder. Raises the operating
// system's engine code when no file can be created there.
std::string MakeTempFileName(std::string_view directory, std::string_view extension,
                             bool in_memory);

// "1.00", "1.02", "1.04", "1.08", "2.00" for version indexes 0 to 4; empty
// for any other.
std::string TableVersionText(int version_index);

}  // namespace strata
