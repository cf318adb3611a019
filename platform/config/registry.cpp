#include "platform/config/registry.h"

#include <cstdio>
#include <utility>

#include "platform/config/errors.h"
#include "platform/config/value_text.h"

namespace platform::config {

namespace {

std::string JoinPath(const std::vector<std::string>& names) {
    std::string path;
    for (const std::string& name : names) {
        if (!path.empty()) {
            path += '\\';
        }
        path += name;
    }
    return path;
}

}  // namespace

TRegistry::TRegistry() = default;

TRegistry::~TRegistry() {
    try {
        CloseKey();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
    }
}

void TRegistry::SetRootKey(HKEY root) {
    if (root != root_key_) {
        CloseKey();
        root_key_ = root;
    }
}

std::string TRegistry::CurrentPath() const {
    return JoinPath(current_path_);
}

std::vector<std::string> TRegistry::Resolve(std::string_view key) const {
    std::vector<std::string> names;
    if (has_current_key_ && (key.empty() || key.front() != '\\')) {
        names = current_path_;
    }
    for (std::string& name : SplitKeyPath(key)) {
        names.push_back(std::move(name));
    }
    return names;
}

RegistryHive* TRegistry::Hive() {
    RegistryHive* hive = RegistryHive::ForRoot(root_key_);
    if (hive == nullptr) {
        last_error_ = "This root key is not kept by this program";
        return nullptr;
    }
    try {
        hive->Refresh();
    } catch (const ERegistryException& error) {
        last_error_ = error.what();
        return nullptr;
    }
    return hive;
}

bool TRegistry::OpenKey(std::string_view key, bool can_create) {
    last_error_.clear();
    RegistryHive* hive = Hive();
    if (hive == nullptr) {
        return false;
    }
    auto lock = hive->Lock();
    std::vector<std::string> path = Resolve(key);
    if (hive->Find(path) == nullptr) {
        if (!can_create) {
            last_error_ = "The key \"" + JoinPath(path) + "\" does not exist";
            return false;
        }
        if (hive->ReadOnly() || path.size() > kMaxKeyDepth) {
            last_error_ = "The key \"" + JoinPath(path) + "\" cannot be created" +
                          (hive->ReadOnly() ? ": read-only" : ": nested too deeply");
            return false;
        }
        hive->FindOrCreate(path);
        hive->MarkDirty();
    }
    CloseKey();
    current_path_ = std::move(path);
    has_current_key_ = true;
    current_read_only_ = hive->ReadOnly();
    return true;
}

bool TRegistry::OpenKeyReadOnly(std::string_view key) {
    last_error_.clear();
    RegistryHive* hive = Hive();
    if (hive == nullptr) {
        return false;
    }
    auto lock = hive->Lock();
    std::vector<std::string> path = Resolve(key);
    if (hive->Find(path) == nullptr) {
        last_error_ = "The key \"" + JoinPath(path) + "\" does not exist";
        return false;
    }
    CloseKey();
    current_path_ = std::move(path);
    has_current_key_ = true;
    current_read_only_ = true;
    return true;
}

void TRegistry::CloseKey() {
    const bool had_key = has_current_key_;
    const bool values_changed = std::exchange(values_changed_, false);
    has_current_key_ = false;
    current_read_only_ = false;
    current_path_.clear();
    RegistryHive* hive = RegistryHive::ForRoot(root_key_);
    if (had_key && hive != nullptr && !hive->ReadOnly()) {
        try {
            hive->Flush();
        } catch (const ERegistryException&) {
            // Keys that opening created are saved with the next change: a reader never
            // fails because the settings folder cannot be written.
            if (values_changed) {
                throw;
            }
        }
    }
}

void TRegistry::ValuesChanged(RegistryHive& hive) {
    hive.MarkDirty();
    values_changed_ = true;
}

bool TRegistry::CreateKey(std::string_view key) {
    last_error_.clear();
    RegistryHive* hive = Hive();
    if (hive == nullptr) {
        return false;
    }
    auto lock = hive->Lock();
    const std::vector<std::string> path = Resolve(key);
    if (hive->Find(path) != nullptr) {
        return true;
    }
    if (hive->ReadOnly() || path.empty() || path.size() > kMaxKeyDepth) {
        last_error_ = "The key \"" + JoinPath(path) + "\" cannot be created";
        return false;
    }
    hive->FindOrCreate(path);
    hive->MarkDirty();
    if (!has_current_key_) {
        hive->Flush();  // no CloseKey will follow to save it
    }
    return true;
}

bool TRegistry::KeyExists(std::string_view key) {
    RegistryHive* hive = Hive();
    if (hive == nullptr) {
        return false;
    }
    auto lock = hive->Lock();
    return hive->Find(Resolve(key)) != nullptr;
}

bool TRegistry::DeleteKey(std::string_view key) {
    RegistryHive* hive = Hive();
    if (hive == nullptr || hive->ReadOnly()) {
        return false;
    }
    auto lock = hive->Lock();
    std::vector<std::string> path = Resolve(key);
    if (path.empty()) {
        return false;  // the root itself stays
    }
    const std::string name = path.back();
    path.pop_back();
    RegistryKeyNode* parent = hive->Find(path);
    if (parent == nullptr || !parent->RemoveChild(name)) {
        return false;
    }
    hive->MarkDirty();
    if (!has_current_key_) {
        hive->Flush();
    }
    return true;
}

RegistryKeyNode* TRegistry::CurrentNode(RegistryHive& hive) {
    return hive.Find(has_current_key_ ? current_path_ : std::vector<std::string>{});
}

RegistryKeyNode& TRegistry::WritableCurrentNode(RegistryHive& hive, std::string_view value_name) {
    RegistryKeyNode* node =
        has_current_key_ && !current_read_only_ && !hive.ReadOnly() ? CurrentNode(hive) : nullptr;
    if (node == nullptr) {
        throw ERegistryException("Failed to set data for '" + std::string(value_name) +
                                 "': no key is open for writing");
    }
    return *node;
}

bool TRegistry::HasSubKeys() {
    RegistryHive* hive = Hive();
    if (hive == nullptr) {
        return false;
    }
    auto lock = hive->Lock();
    const RegistryKeyNode* node = CurrentNode(*hive);
    return node != nullptr && node->HasChildren();
}

std::vector<std::string> TRegistry::GetKeyNames() {
    RegistryHive* hive = Hive();
    if (hive == nullptr) {
        return {};
    }
    auto lock = hive->Lock();
    const RegistryKeyNode* node = CurrentNode(*hive);
    return node != nullptr ? node->ChildNames() : std::vector<std::string>{};
}

std::vector<std::string> TRegistry::GetValueNames() {
    RegistryHive* hive = Hive();
    if (hive == nullptr) {
        return {};
    }
    auto lock = hive->Lock();
    std::vector<std::string> names;
    if (const RegistryKeyNode* node = CurrentNode(*hive)) {
        for (const RegistryValue& value : node->Values()) {
            names.push_back(value.name);
        }
    }
    return names;
}

bool TRegistry::ValueExists(std::string_view name) {
    return GetDataType(name) != TRegDataType::rdUnknown;
}

bool TRegistry::DeleteValue(std::string_view name) {
    RegistryHive* hive = Hive();
    if (hive == nullptr || hive->ReadOnly() || current_read_only_ || !has_current_key_) {
        return false;
    }
    auto lock = hive->Lock();
    RegistryKeyNode* node = CurrentNode(*hive);
    if (node == nullptr || !node->RemoveValue(name)) {
        return false;
    }
    ValuesChanged(*hive);
    return true;
}

TRegDataType TRegistry::GetDataType(std::string_view name) {
    RegistryHive* hive = Hive();
    if (hive == nullptr) {
        return TRegDataType::rdUnknown;
    }
    auto lock = hive->Lock();
    const RegistryKeyNode* node = CurrentNode(*hive);
    const RegistryValue* value = node != nullptr ? node->FindValue(name) : nullptr;
    return value != nullptr ? value->type : TRegDataType::rdUnknown;
}

std::string TRegistry::ReadString(std::string_view name) {
    RegistryHive* hive = Hive();
    if (hive == nullptr) {
        return {};
    }
    auto lock = hive->Lock();
    const RegistryKeyNode* node = CurrentNode(*hive);
    const RegistryValue* value = node != nullptr ? node->FindValue(name) : nullptr;
    if (value == nullptr) {
        return {};
    }
    if (value->type != TRegDataType::rdString) {
        throw ERegistryException("Invalid data type for '" + std::string(name) + "'");
    }
    return value->text;
}

std::int32_t TRegistry::ReadInteger(std::string_view name) {
    RegistryHive* hive = Hive();
    auto lock = hive != nullptr ? hive->Lock() : std::unique_lock<std::recursive_mutex>();
    const RegistryKeyNode* node = hive != nullptr ? CurrentNode(*hive) : nullptr;
    const RegistryValue* value = node != nullptr ? node->FindValue(name) : nullptr;
    if (value != nullptr) {
        if (value->type == TRegDataType::rdInteger) {
            return value->integer;
        }
        if (const auto number = ParseIntegerText(value->text)) {
            return *number;
        }
    }
    throw ERegistryException("Invalid data type for '" + std::string(name) + "'");
}

bool TRegistry::ReadBool(std::string_view name) {
    RegistryHive* hive = Hive();
    auto lock = hive != nullptr ? hive->Lock() : std::unique_lock<std::recursive_mutex>();
    const RegistryKeyNode* node = hive != nullptr ? CurrentNode(*hive) : nullptr;
    const RegistryValue* value = node != nullptr ? node->FindValue(name) : nullptr;
    if (value != nullptr) {
        if (value->type == TRegDataType::rdInteger) {
            return value->integer != 0;
        }
        if (const auto flag = ParseBoolText(value->text)) {
            return *flag;
        }
    }
    throw ERegistryException("Invalid data type for '" + std::string(name) + "'");
}

void TRegistry::WriteValue(RegistryValue value) {
    RegistryHive* hive = Hive();
    if (hive == nullptr) {
        throw ERegistryException("Failed to set data for '" + value.name + "': " + last_error_);
    }
    auto lock = hive->Lock();
    WritableCurrentNode(*hive, value.name).SetValue(std::move(value));
    ValuesChanged(*hive);
}

void TRegistry::WriteString(std::string_view name, std::string_view value) {
    WriteValue({std::string(name), TRegDataType::rdString, std::string(value), 0});
}

void TRegistry::WriteInteger(std::string_view name, std::int32_t value) {
    WriteValue({std::string(name), TRegDataType::rdInteger, {}, value});
}

void TRegistry::WriteBool(std::string_view name, bool value) {
    WriteInteger(name, value ? 1 : 0);
}

}  // namespace platform::config
