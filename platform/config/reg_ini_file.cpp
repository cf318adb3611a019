#include "platform/config/reg_ini_file.h"

#include "platform/config/errors.h"
#include "platform/config/value_text.h"

namespace platform::config {

TRegIniFile::TRegIniFile() = default;

TRegIniFile::TRegIniFile(std::string_view file_name) : file_name_(file_name) {
    OpenKey(file_name, true);
}

std::vector<std::string> TRegIniFile::SectionPath(std::string_view section) const {
    // A section is always below the open key; a leading "\" makes no difference.
    std::vector<std::string> path = Resolve("");
    for (std::string& name : SplitKeyPath(section)) {
        path.push_back(std::move(name));
    }
    return path;
}

RegistryKeyNode* TRegIniFile::SectionNode(RegistryHive& hive, std::string_view section) {
    return hive.Find(SectionPath(section));
}

std::string TRegIniFile::ReadString(std::string_view section, std::string_view ident,
                                    std::string_view default_value) {
    RegistryHive* hive = Hive();
    if (hive == nullptr) {
        return std::string(default_value);
    }
    auto lock = hive->Lock();
    const RegistryKeyNode* node = SectionNode(*hive, section);
    const RegistryValue* value = node != nullptr ? node->FindValue(ident) : nullptr;
    if (value == nullptr) {
        return std::string(default_value);
    }
    if (value->type != TRegDataType::rdString) {
        throw ERegistryException("Invalid data type for '" + std::string(ident) + "'");
    }
    return value->text;
}

std::int32_t TRegIniFile::ReadInteger(std::string_view section, std::string_view ident,
                                      std::int32_t default_value) {
    return ParseIntegerText(ReadString(section, ident, "")).value_or(default_value);
}

bool TRegIniFile::ReadBool(std::string_view section, std::string_view ident, bool default_value) {
    const std::string text = ReadString(section, ident, "");
    if (const auto flag = ParseBoolText(text)) {
        return *flag;
    }
    if (const auto number = ParseIntegerText(text)) {
        return *number != 0;
    }
    return default_value;
}

void TRegIniFile::WriteString(std::string_view section, std::string_view ident,
                              std::string_view value) {
    RegistryHive* hive = Hive();
    if (hive == nullptr || hive->ReadOnly() || CurrentKeyReadOnly()) {
        throw ERegistryException("Failed to set data for '" + std::string(ident) + "'" +
                                 (hive == nullptr ? ": " + LastError() : ": read-only"));
    }
    auto lock = hive->Lock();
    RegistryKeyNode& node = hive->FindOrCreate(SectionPath(section));
    node.SetValue({std::string(ident), TRegDataType::rdString, std::string(value), 0});
    hive->MarkDirty();
    if (!HasCurrentKey()) {
        hive->Flush();  // no CloseKey will follow to save it
    }
}

void TRegIniFile::WriteInteger(std::string_view section, std::string_view ident,
                               std::int32_t value) {
    WriteString(section, ident, std::to_string(value));
}

void TRegIniFile::WriteBool(std::string_view section, std::string_view ident, bool value) {
    WriteString(section, ident, value ? "1" : "0");
}

std::vector<std::string> TRegIniFile::ReadSection(std::string_view section) {
    RegistryHive* hive = Hive();
    if (hive == nullptr) {
        return {};
    }
    auto lock = hive->Lock();
    std::vector<std::string> names;
    if (const RegistryKeyNode* node = SectionNode(*hive, section)) {
        for (const RegistryValue& value : node->Values()) {
            names.push_back(value.name);
        }
    }
    return names;
}

std::vector<std::string> TRegIniFile::ReadSections() {
    return GetKeyNames();
}

std::vector<std::string> TRegIniFile::ReadSectionValues(std::string_view section) {
    RegistryHive* hive = Hive();
    if (hive == nullptr) {
        return {};
    }
    auto lock = hive->Lock();
    std::vector<std::string> lines;
    if (const RegistryKeyNode* node = SectionNode(*hive, section)) {
        for (const RegistryValue& value : node->Values()) {
            if (value.type == TRegDataType::rdString) {
                lines.push_back(value.name + "=" + value.text);
            }
        }
    }
    return lines;
}

bool TRegIniFile::SectionExists(std::string_view section) {
    RegistryHive* hive = Hive();
    if (hive == nullptr) {
        return false;
    }
    auto lock = hive->Lock();
    return SectionNode(*hive, section) != nullptr;
}

bool TRegIniFile::ValueExists(std::string_view section, std::string_view ident) {
    RegistryHive* hive = Hive();
    if (hive == nullptr) {
        return false;
    }
    auto lock = hive->Lock();
    const RegistryKeyNode* node = SectionNode(*hive, section);
    return node != nullptr && node->FindValue(ident) != nullptr;
}

void TRegIniFile::EraseSection(std::string_view section) {
    if (SplitKeyPath(section).empty()) {
        return;  // the open key itself is not a section to erase
    }
    std::string absolute;
    for (const std::string& name : SectionPath(section)) {
        absolute += '\\' + name;
    }
    TRegistry::DeleteKey(absolute);
}

void TRegIniFile::DeleteKey(std::string_view section, std::string_view ident) {
    RegistryHive* hive = Hive();
    if (hive == nullptr || hive->ReadOnly()) {
        return;
    }
    auto lock = hive->Lock();
    RegistryKeyNode* node = SectionNode(*hive, section);
    if (node != nullptr && node->RemoveValue(ident)) {
        ValuesChanged(*hive);
        if (!HasCurrentKey()) {
            hive->Flush();
        }
    }
}

}  // namespace platform::config
