#include "platform/config/ini_file.h"

#include <algorithm>
#include <optional>
#include <system_error>
#include <tuple>

#include "platform/config/atomic_file.h"
#include "platform/config/errors.h"
#include "platform/config/registry_store.h"
#include "platform/config/value_text.h"
#include "platform/nls/text.h"
#include "platform/os/file_system.h"

namespace platform::config {

namespace {

// The file as lines, with the line end it uses, so a write changes only the
// lines it means to.
struct IniText {
    std::vector<std::string> lines;
    std::string eol = "\n";
    bool byte_order_mark = false;

    explicit IniText(std::string_view text) {
        if (text.starts_with("\xEF\xBB\xBF")) {
            byte_order_mark = true;
            text.remove_prefix(3);
        }
        const std::size_t first_lf = text.find('\n');
        if (first_lf != std::string_view::npos && first_lf > 0 && text[first_lf - 1] == '\r') {
            eol = "\r\n";
        }
        std::size_t start = 0;
        while (start < text.size()) {
            std::size_t end = text.find('\n', start);
            if (end == std::string_view::npos) {
                end = text.size();
            }
            std::string_view line = text.substr(start, end - start);
            if (!line.empty() && line.back() == '\r') {
                line.remove_suffix(1);
            }
            lines.emplace_back(line);
            start = end + 1;
        }
    }

    std::string Join() const {
        std::string out = byte_order_mark ? "\xEF\xBB\xBF" : "";
        for (const std::string& line : lines) {
            out += line;
            out += eol;
        }
        return out;
    }

    // The section name of a header line.
    static std::optional<std::string_view> SectionOf(std::string_view line) {
        const std::string_view trimmed = platform::nls::TrimOf(line, " \t");
        if (trimmed.empty() || trimmed.front() != '[') {
            return std::nullopt;
        }
        const std::size_t close = trimmed.find(']');
        if (close == std::string_view::npos) {
            return std::nullopt;
        }
        return platform::nls::TrimOf(trimmed.substr(1, close - 1), " \t");
    }

    // Name and raw (trimmed, quotes kept) value of an entry line.
    static std::optional<std::pair<std::string_view, std::string_view>> EntryOf(
        std::string_view line) {
        const std::string_view trimmed = platform::nls::TrimOf(line, " \t");
        if (trimmed.empty() || trimmed.front() == ';' || trimmed.front() == '[') {
            return std::nullopt;
        }
        const std::size_t eq = trimmed.find('=');
        if (eq == std::string_view::npos) {
            return std::nullopt;
        }
        return std::pair{platform::nls::TrimOf(trimmed.substr(0, eq), " \t"),
                         platform::nls::TrimOf(trimmed.substr(eq + 1), " \t")};
    }

    // Line index range [begin, end) of the body of the first section of that name;
    // begin is npos when there is none.
    std::pair<std::size_t, std::size_t> FindSection(std::string_view section) const {
        for (std::size_t i = 0; i < lines.size(); ++i) {
            const auto name = SectionOf(lines[i]);
            if (name && NamesEqual(*name, section)) {
                std::size_t end = i + 1;
                while (end < lines.size() && !SectionOf(lines[end])) {
                    ++end;
                }
                return {i + 1, end};
            }
        }
        return {std::string::npos, std::string::npos};
    }
};

std::string Unquote(std::string_view value) {
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
        value = value.substr(1, value.size() - 2);
    }
    return std::string(value);
}

bool HasLineBreak(std::string_view text) {
    return text.find_first_of("\r\n") != std::string_view::npos;
}

}  // namespace

std::filesystem::path TIniFile::DefaultFolder() {
    return SettingsFolder();
}

TIniFile::TIniFile(std::string_view file_name) {
    std::string name(file_name);
    std::replace(name.begin(), name.end(), '\\', '/');
    path_ = name;
    if (!path_.has_parent_path()) {
        path_ = DefaultFolder() / path_;
    }
}

std::filesystem::path TIniFile::OnDisk() const {
    return platform::os::ResolvePath(path_.string());
}

std::string TIniFile::Load() const {
    std::string text;
    try {
        ReadWholeFile(OnDisk(), text);
    } catch (const std::system_error& error) {
        throw EIniFileException("Unable to read " + path_.string() + ": " + error.what());
    }
    return text;
}

void TIniFile::Store(const std::string& text) {
    try {
        WriteFileAtomically(OnDisk(), text);
    } catch (const std::system_error& error) {
        throw EIniFileException("Unable to write to " + path_.string() + ": " + error.what());
    }
}

std::string TIniFile::ReadString(std::string_view section, std::string_view ident,
                                 std::string_view default_value) const {
    const IniText ini(Load());
    const auto [begin, end] = ini.FindSection(section);
    if (begin == std::string::npos) {
        return std::string(default_value);
    }
    for (std::size_t i = begin; i < end; ++i) {
        const auto entry = IniText::EntryOf(ini.lines[i]);
        if (entry && NamesEqual(entry->first, ident)) {
            return Unquote(entry->second);
        }
    }
    return std::string(default_value);
}

std::int32_t TIniFile::ReadInteger(std::string_view section, std::string_view ident,
                                   std::int32_t default_value) const {
    return ParseIntegerText(ReadString(section, ident, ""), /*allow_hex=*/true)
        .value_or(default_value);
}

bool TIniFile::ReadBool(std::string_view section, std::string_view ident,
                        bool default_value) const {
    const std::string text = ReadString(section, ident, "");
    if (const auto flag = ParseBoolText(text)) {
        return *flag;
    }
    if (const auto number = ParseIntegerText(text, /*allow_hex=*/true)) {
        return *number != 0;
    }
    return default_value;
}

void TIniFile::WriteString(std::string_view section, std::string_view ident,
                           std::string_view value) {
    const auto refuse = [&](std::string_view why) {
        throw EIniFileException("Unable to write to " + path_.string() + ": " + std::string(why));
    };
    if (section.empty() || platform::nls::TrimOf(section, " \t") != section ||
        HasLineBreak(section) || section.find(']') != std::string_view::npos) {
        refuse("invalid section name \"" + std::string(section) + "\"");
    }
    if (ident.empty() || platform::nls::TrimOf(ident, " \t") != ident || HasLineBreak(ident) ||
        ident.find('=') != std::string_view::npos || ident.front() == ';' || ident.front() == '[') {
        refuse("invalid entry name \"" + std::string(ident) + "\"");
    }
    if (HasLineBreak(value)) {
        refuse("a value cannot hold a line break");
    }
    IniText ini(Load());
    const std::string line = std::string(ident) + "=" + std::string(value);
    const auto [begin, end] = ini.FindSection(section);
    if (begin == std::string::npos) {
        if (!ini.lines.empty() && !platform::nls::TrimOf(ini.lines.back(), " \t").empty()) {
            ini.lines.emplace_back();
        }
        ini.lines.push_back("[" + std::string(section) + "]");
        ini.lines.push_back(line);
    } else {
        std::size_t insert_at = begin;
        bool replaced = false;
        for (std::size_t i = begin; i < end; ++i) {
            const auto entry = IniText::EntryOf(ini.lines[i]);
            if (entry && NamesEqual(entry->first, ident)) {
                ini.lines[i] = line;
                replaced = true;
                break;
            }
            if (!platform::nls::TrimOf(ini.lines[i], " \t").empty()) {
                insert_at = i + 1;  // after the section's last line that is not blank
            }
        }
        if (!replaced) {
            ini.lines.insert(ini.lines.begin() + static_cast<std::ptrdiff_t>(insert_at), line);
        }
    }
    Store(ini.Join());
}

void TIniFile::WriteInteger(std::string_view section, std::string_view ident, std::int32_t value) {
    WriteString(section, ident, std::to_string(value));
}

void TIniFile::WriteBool(std::string_view section, std::string_view ident, bool value) {
    WriteString(section, ident, value ? "1" : "0");
}

std::vector<std::string> TIniFile::ReadSection(std::string_view section) const {
    const IniText ini(Load());
    std::vector<std::string> names;
    const auto [begin, end] = ini.FindSection(section);
    for (std::size_t i = begin; begin != std::string::npos && i < end; ++i) {
        const auto entry = IniText::EntryOf(ini.lines[i]);
        if (entry && std::none_of(names.begin(), names.end(), [&](const std::string& n) {
                return NamesEqual(n, entry->first);
            })) {
            names.emplace_back(entry->first);
        }
    }
    return names;
}

std::vector<std::string> TIniFile::ReadSections() const {
    const IniText ini(Load());
    std::vector<std::string> names;
    for (const std::string& line : ini.lines) {
        const auto name = IniText::SectionOf(line);
        if (name && std::none_of(names.begin(), names.end(),
                                 [&](const std::string& n) { return NamesEqual(n, *name); })) {
            names.emplace_back(*name);
        }
    }
    return names;
}

std::vector<std::string> TIniFile::ReadSectionValues(std::string_view section) const {
    std::vector<std::string> lines;
    for (const std::string& name : ReadSection(section)) {
        lines.push_back(name + "=" + ReadString(section, name, ""));
    }
    return lines;
}

bool TIniFile::SectionExists(std::string_view section) const {
    return IniText(Load()).FindSection(section).first != std::string::npos;
}

bool TIniFile::ValueExists(std::string_view section, std::string_view ident) const {
    const auto names = ReadSection(section);
    return std::any_of(names.begin(), names.end(),
                       [&](const std::string& n) { return NamesEqual(n, ident); });
}

void TIniFile::EraseSection(std::string_view section) {
    IniText ini(Load());
    bool changed = false;
    for (auto [begin, end] = ini.FindSection(section); begin != std::string::npos;
         std::tie(begin, end) = ini.FindSection(section)) {
        ini.lines.erase(ini.lines.begin() + static_cast<std::ptrdiff_t>(begin - 1),
                        ini.lines.begin() + static_cast<std::ptrdiff_t>(end));
        changed = true;
    }
    if (changed) {
        Store(ini.Join());
    }
}

void TIniFile::DeleteKey(std::string_view section, std::string_view ident) {
    IniText ini(Load());
    const auto [begin, end] = ini.FindSection(section);
    if (begin == std::string::npos) {
        return;
    }
    bool changed = false;
    for (std::size_t i = end; i-- > begin;) {
        const auto entry = IniText::EntryOf(ini.lines[i]);
        if (entry && NamesEqual(entry->first, ident)) {
            ini.lines.erase(ini.lines.begin() + static_cast<std::ptrdiff_t>(i));
            changed = true;
        }
    }
    if (changed) {
        Store(ini.Join());
    }
}

}  // namespace platform::config
