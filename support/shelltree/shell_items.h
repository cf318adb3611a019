#pragma once

// The shell namespace as the folder tree sees it, over the file system.
//
// An item is identified within its folder by its name. The desktop is a
// virtual folder holding the home folder, the file system's root and the
// mounted volumes (the "drives"). Attribute, enumeration and notification bits
// keep the shell's values.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace support {

inline constexpr std::uint32_t SFGAO_CANRENAME = 0x10;
inline constexpr std::uint32_t SFGAO_HASPROPSHEET = 0x40;
inline constexpr std::uint32_t SFGAO_LINK = 0x10000;
inline constexpr std::uint32_t SFGAO_SHARE = 0x20000;
inline constexpr std::uint32_t SFGAO_HIDDEN = 0x80000;
inline constexpr std::uint32_t SFGAO_FILESYSANCESTOR = 0x10000000;
inline constexpr std::uint32_t SFGAO_FOLDER = 0x20000000;
inline constexpr std::uint32_t SFGAO_FILESYSTEM = 0x40000000;
inline constexpr std::uint32_t SFGAO_HASSUBFOLDER = 0x80000000;

inline constexpr std::uint32_t SHCONTF_FOLDERS = 0x20;
inline constexpr std::uint32_t SHCONTF_NONFOLDERS = 0x40;
inline constexpr std::uint32_t SHCONTF_INCLUDEHIDDEN = 0x80;

inline constexpr std::uint32_t FILE_NOTIFY_CHANGE_FILE_NAME = 0x1;
inline constexpr std::uint32_t FILE_NOTIFY_CHANGE_DIR_NAME = 0x2;
inline constexpr std::uint32_t FILE_NOTIFY_CHANGE_ATTRIBUTES = 0x4;

struct ShellItem {
    std::string name;            // the identifier within its folder
    std::string display;         // the name shown
    std::filesystem::path path;  // empty for a virtual item
    std::uint32_t attributes = 0;
    std::uint64_t size = 0;
    std::int64_t modified = 0;  // seconds since the epoch
};

// The attributes of a file-system entry; 0 when it cannot be read.
std::uint32_t ItemAttributes(const std::filesystem::path& path);
// A file-system item of that path (its name is the last component).
ShellItem MakeItem(const std::filesystem::path& path);

// The items of a folder by the enumeration flags, or nothing when the folder
// cannot be read. An empty path is the desktop.
std::optional<std::vector<ShellItem>> EnumerateFolder(const std::filesystem::path& folder,
                                                      std::uint32_t flags);

// The desktop's own items: home, the file system's root, mounted volumes.
std::vector<ShellItem> DesktopItems();
// The mount points of removable and user volumes in a mounts table text.
std::vector<std::string> VolumeMountPoints(std::string_view mounts);

// File-name masks, compared without regard to case: "*" matches any run, "?"
// any one character; "*.*" matches names holding a "."; an empty mask matches
// nothing.
bool MaskMatches(std::string_view mask, std::string_view name);

// The shell's comparison of two items by a column (0 name, 1 size, 2 type,
// 3 date): folders before files, then the column, then the name; -1, 0 or 1.
int CompareItems(const ShellItem& a, const ShellItem& b, int column);

// The deepest existing folder of a path, without a trailing separator ("/"
// for the root); empty when nothing of it exists. A relative path is taken
// from the current folder; "\" counts as a separator.
std::string NormalizeFolderPath(std::string_view path);

}  // namespace support
