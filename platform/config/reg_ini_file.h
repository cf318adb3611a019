#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/config/registry.h"

namespace platform::config {

// The registry with the shape of an INI file: the open key is the "file", its
// subkeys are the sections and their values the entries. Section "" is the open
// key itself; a section may be a path of several keys ("Grid\Columns\Item").
// Every entry is stored as a string value: integers in decimal, booleans "1"/"0".
class TRegIniFile : public TRegistry {
  public:
    // Opens nothing: sections are then paths from the root of HKEY_CURRENT_USER.
    TRegIniFile();
    // Opens (creating it when missing) file_name under HKEY_CURRENT_USER.
    explicit TRegIniFile(std::string_view file_name);

    // The key path given to the constructor.
    const std::string& FileName() const { return file_name_; }

    using TRegistry::DeleteKey;
    using TRegistry::ReadBool;
    using TRegistry::ReadInteger;
    using TRegistry::ReadString;
    using TRegistry::WriteBool;
    using TRegistry::WriteInteger;
    using TRegistry::WriteString;

    // A missing section or entry gives default_value. An entry that is not a
    // string value throws ERegistryException.
    std::string ReadString(std::string_view section, std::string_view ident,
                           std::string_view default_value);
    // The string read as a decimal number; not a number gives default_value.
    std::int32_t ReadInteger(std::string_view section, std::string_view ident,
                             std::int32_t default_value);
    // "1"/"0", or "true"/"false" in any case; other numbers are true when not 0;
    // anything else gives default_value.
    bool ReadBool(std::string_view section, std::string_view ident, bool default_value);

    // Create the section when missing. Throw ERegistryException when the root is
    // read-only.
    void WriteString(std::string_view section, std::string_view ident, std::string_view value);
    void WriteInteger(std::string_view section, std::string_view ident, std::int32_t value);
    void WriteBool(std::string_view section, std::string_view ident, bool value);

    std::vector<std::string> ReadSection(std::string_view section);  // entry names
    std::vector<std::string> ReadSections();                         // subkey names
    // "name=value" for each string entry of the section.
    std::vector<std::string> ReadSectionValues(std::string_view section);
    bool SectionExists(std::string_view section);
    bool ValueExists(std::string_view section, std::string_view ident);
    void EraseSection(std::string_view section);
    void DeleteKey(std::string_view section, std::string_view ident);

  private:
    // The section's key, or nullptr when it does not exist.
    RegistryKeyNode* SectionNode(RegistryHive& hive, std::string_view section);
    std::vector<std::string> SectionPath(std::string_view section) const;

    std::string file_name_;
};

}  // namespace platform::config
