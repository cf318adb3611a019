#pragma once

// The settings registry: a tree of keys holding named string and integer values,
// one tree per root (HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE), each kept in a text
// file of its own.
//
// Names of keys and values compare without regard to case (NamesEqual) but are
// otherwise exact: "SendCount " and "SendCount" are two values. Subkeys are listed
// in case-insensitive order, values in the order they were first written.
//
// HKEY_CURRENT_USER lives in registry.ini of the settings folder (see SettingsFolder)
// (~/.config/Corvane/registry.ini); HKEY_LOCAL_MACHINE is read-only and lives in
// /etc/corvane/registry.ini, or where there is none in the install prefix's
// etc/corvane/registry.ini. Either can be redirected with SetHiveFile.
//
// Sharing: within one program every TRegistry sees the same tree at once.
// Between programs, the file is the meeting point: a hive without unsaved changes
// re-reads the file when another program has replaced it, and a save writes the
// whole tree atomically. When two programs change settings at the same time, the
// last one to save wins and the other's unsaved changes are lost; no file is ever
// left half-written.
//
// File format (UTF-8 text, LF line ends):
//
//   Corvane registry 1             first line, exactly
//   []                             the root key (its values follow)
//   [SOFTWARE\Brovik\Corvane]      a key: its full path from the root, each
//                                  name escaped, joined by "\"
//   s MailingListGroup=MailingList a string value: "s ", escaped name, "=",
//                                  escaped value
//   i SMTPPort=25                  an integer value: 32-bit signed decimal
//   end 12                         last line: the number of lines before it
//
// Values belong to the key line above them; every key of the tree has its own
// key line, so empty keys survive. Escaping: every byte below 0x20, 0x7F, "%",
// "=", "\", "[", "]", and a blank at either end of a name or value, is written as
// "%" and two upper-case hex digits, so any byte of a name or value round-trips
// and a line never starts or ends with a blank. Keys are written parent first,
// subkeys in case-insensitive order.
//
// A file that breaks any of these rules (unknown line, bad escape, number out
// of range, a key or a value name twice in one key, a key nested deeper than
// kMaxKeyDepth, a missing or wrong "end" line) is damaged: loading it fails with
// an ERegistryException that names the file and the line, and nothing is ever
// saved over it.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/os/whole_file.h"

namespace platform::config {

using HKEY = std::uint32_t;
inline constexpr HKEY HKEY_CURRENT_USER = 0x80000001u;
inline constexpr HKEY HKEY_LOCAL_MACHINE = 0x80000002u;

// The deepest key path the registry keeps (as Windows does); deeper paths are
// refused rather than risking the stack on a hostile file.
inline constexpr std::size_t kMaxKeyDepth = 512;

// The kinds of value the settings use.
enum class TRegDataType { rdUnknown, rdString, rdInteger };

struct RegistryValue {
    std::string name;
    TRegDataType type = TRegDataType::rdString;
    std::string text;          // rdString
    std::int32_t integer = 0;  // rdInteger
};

// One key of the tree.
class RegistryKeyNode {
  public:
    const std::string& Name() const { return name_; }

    // Requires: name is not empty and holds no "\".
    RegistryKeyNode* FindChild(std::string_view name) const;
    RegistryKeyNode& AddChild(std::string_view name);  // the existing child when there is one
    bool RemoveChild(std::string_view name);
    std::vector<std::string> ChildNames() const;  // case-insensitive order
    bool HasChildren() const { return !children_.empty(); }

    const RegistryValue* FindValue(std::string_view name) const;
    // Replaces the value of that name (keeping its first spelling and position) or
    // appends it.
    void SetValue(RegistryValue value);
    bool RemoveValue(std::string_view name);
    const std::vector<RegistryValue>& Values() const { return values_; }

  private:
    friend class RegistryHive;
    std::string name_;
    std::string folded_;
    std::vector<std::unique_ptr<RegistryKeyNode>> children_;  // sorted by folded_
    std::vector<RegistryValue> values_;
};

// The folder of the program's settings: $CORVANE_HOME when set, else
// $XDG_CONFIG_HOME/Corvane, else ~/.config/Corvane.
std::filesystem::path SettingsFolder();

// The machine-wide hive's file: system_file when it exists, else
// <prefix>/etc/corvane/registry.ini for an executable in <prefix>/bin.
std::filesystem::path MachineHiveFile(const std::filesystem::path& system_file,
                                      const std::filesystem::path& executable);

// Splits a key path at "\" into names, ignoring a leading and a trailing "\" and
// empty names between doubled separators.
std::vector<std::string> SplitKeyPath(std::string_view path);

// One root's tree and its file. All access goes through Lock().
class RegistryHive {
  public:
    RegistryHive(std::filesystem::path file, bool read_only);

    // The hive of a root, created on first use; nullptr for a root we do not keep.
    static RegistryHive* ForRoot(HKEY root);
    // Points a root at another file (tests, or a relocated configuration). The
    // tree is re-read from there on next use; unsaved changes are dropped.
    static void SetHiveFile(HKEY root, const std::filesystem::path& file);
    static std::filesystem::path DefaultHiveFile(HKEY root);

    std::unique_lock<std::recursive_mutex> Lock() { return std::unique_lock(mutex_); }

    const std::filesystem::path& File() const { return file_; }
    bool ReadOnly() const { return read_only_; }

    // Makes the tree current: loads the file on first use, and re-reads it when
    // another program has replaced it and this hive has no unsaved changes.
    // A missing file is an empty tree. Throws ERegistryException when the file is
    // damaged or unreadable; the hive then refuses to save until a load succeeds.
    void Refresh();

    // Requires: Refresh succeeded.
    RegistryKeyNode& Root() { return *root_; }
    RegistryKeyNode* Find(const std::vector<std::string>& path);
    // Throws ERegistryException for a path deeper than kMaxKeyDepth.
    RegistryKeyNode& FindOrCreate(const std::vector<std::string>& path);

    void MarkDirty() { dirty_ = true; }
    bool Dirty() const { return dirty_; }
    // Writes the whole tree atomically when it has unsaved changes. Throws
    // ERegistryException when the file cannot be written; the changes stay
    // unsaved and the old file stays as it was.
    void Flush();

    // Moves a file that cannot be loaded aside to its name + `suffix`, never replacing
    // another file, so that the hive starts again from an empty tree and saves go to the
    // usual name. Answers the new name, or an empty path when the file loads after all.
    // Throws ERegistryException when the hive is read-only or the move fails; the file
    // then stays where it is and is never saved over.
    std::filesystem::path SetAside(std::string_view suffix);

    // The file text of a tree, and the tree of a file text (throws
    // ERegistryException naming source on damage).
    static std::string Serialize(const RegistryKeyNode& root);
    static std::unique_ptr<RegistryKeyNode> Parse(std::string_view text, std::string_view source);

  private:
    using FileStamp = os::FileStamp;
    FileStamp StampOf() const;

    std::recursive_mutex mutex_;
    std::filesystem::path file_;
    bool read_only_;
    std::unique_ptr<RegistryKeyNode> root_;
    std::optional<FileStamp> loaded_stamp_;  // empty until a load succeeded
    bool dirty_ = false;
};

}  // namespace platform::config
