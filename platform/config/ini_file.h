#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace platform::config {

// An INI file with the class library's rules:
// - section and entry names compare without regard to case (ASCII and Latin
//   letters, see NamesEqual); a "\" in a section name is an ordinary character;
// - names and values are read with surrounding blanks removed, and a value held
//   in one pair of double or single quotes loses that pair;
// - lines starting with ";" are comments, lines without "=" inside a section are
//   ignored; the first of two equal entries wins;
// - every write goes to the file at once (replaced atomically), keeping all other
//   lines, comments and the file's line ends (CRLF or LF) as they were.
// Values are never cut short. A name or value the file cannot hold (a line break,
// a "]" in a section name, an "=" in an entry name, a name that is empty or would
// read back differently) is refused with EIniFileException instead of being
// written damaged; so is a file that cannot be written. A missing file reads as
// empty.
class TIniFile {
  public:
    // A name without a folder lives in the settings folder
    // ($XDG_CONFIG_HOME/Corvane); "\" counts as a folder separator.
    explicit TIniFile(std::string_view file_name);
    virtual ~TIniFile() = default;

    const std::filesystem::path& FileName() const { return path_; }

    std::string ReadString(std::string_view section, std::string_view ident,
                           std::string_view default_value) const;
    // Decimal, or hexadecimal after "0x"/"0X"; anything else gives default_value.
    std::int32_t ReadInteger(std::string_view section, std::string_view ident,
                             std::int32_t default_value) const;
    // "true"/"false" in any case; otherwise ReadInteger with default 1 or 0, true
    // when not 0.
    bool ReadBool(std::string_view section, std::string_view ident, bool default_value) const;

    void WriteString(std::string_view section, std::string_view ident, std::string_view value);
    void WriteInteger(std::string_view section, std::string_view ident, std::int32_t value);
    void WriteBool(std::string_view section, std::string_view ident, bool value);  // "1"/"0"

    std::vector<std::string> ReadSection(std::string_view section) const;  // entry names
    std::vector<std::string> ReadSections() const;                         // section names
    // "name=value" for each entry of the section, values as ReadString gives them.
    std::vector<std::string> ReadSectionValues(std::string_view section) const;
    bool SectionExists(std::string_view section) const;
    bool ValueExists(std::string_view section, std::string_view ident) const;

    void EraseSection(std::string_view section);
    void DeleteKey(std::string_view section, std::string_view ident);
    // Writes are already on disk; kept for callers that flush.
    void UpdateFile() {}

    // Where a name without a folder lives.
    static std::filesystem::path DefaultFolder();

  private:
    // The file as named, or a case variant of its name that exists on disk (file
    // names ignore case, as the program's files always have).
    std::filesystem::path OnDisk() const;
    std::string Load() const;
    void Store(const std::string& text);

    std::filesystem::path path_;
};

}  // namespace platform::config
