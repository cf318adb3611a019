#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/config/registry_store.h"

namespace platform::config {

// A window onto the settings registry with the shape of the class library's
// registry class: choose a root, open a key, read and write its values.
//
// Key paths use "\" between names. A path with a leading "\" starts at the root;
// without one it starts at the open key, or at the root when none is open. A
// trailing "\" is ignored, so "SOFTWARE\Brovik\Corvane" and
// "\SOFTWARE\Brovik\Corvane\" name one key.
//
// Writes change the shared in-memory tree at once; CloseKey (and the destructor)
// saves the tree when it has unsaved changes. HKEY_LOCAL_MACHINE is read-only.
class TRegistry {
  public:
    TRegistry();
    virtual ~TRegistry();  // saves unsaved changes; a failure here is only logged
    TRegistry(const TRegistry&) = delete;
    TRegistry& operator=(const TRegistry&) = delete;

    // HKEY_CURRENT_USER by default. Changing it closes the open key.
    HKEY RootKey() const { return root_key_; }
    void SetRootKey(HKEY root);

    // The open key's path from the root without leading "\" ("" for the root or
    // when nothing is open).
    std::string CurrentPath() const;
    bool HasCurrentKey() const { return has_current_key_; }

    // Opens a key for reading and writing, creating it (and its parents) when
    // can_create is set. Returns false when the key does not exist and may not be
    // created, when the root is read-only and the key would have to be created,
    // or when the settings file is damaged or unreadable (LastError says why).
    bool OpenKey(std::string_view key, bool can_create);
    // Opens an existing key; writes through this object then fail.
    bool OpenKeyReadOnly(std::string_view key);
    // Saves unsaved changes (throws ERegistryException when that fails) and
    // forgets the open key.
    void CloseKey();

    bool CreateKey(std::string_view key);
    bool KeyExists(std::string_view key);
    // Deletes the key with everything under it.
    bool DeleteKey(std::string_view key);
    bool HasSubKeys();
    std::vector<std::string> GetKeyNames();    // subkeys of the open key
    std::vector<std::string> GetValueNames();  // values of the open key

    bool ValueExists(std::string_view name);
    bool DeleteValue(std::string_view name);
    TRegDataType GetDataType(std::string_view name);

    // A missing value reads as "". An integer value throws ERegistryException.
    std::string ReadString(std::string_view name);
    // An integer value, or a string value holding a decimal number; anything
    // else, a missing value included, throws ERegistryException.
    std::int32_t ReadInteger(std::string_view name);
    // An integer value (not 0 is true) or a string "true"/"false" in any case or
    // "1"/"0"; anything else throws ERegistryException.
    bool ReadBool(std::string_view name);

    // Write a string value, an integer value, and a boolean as the integer 1 or 0.
    // Throw ERegistryException when no key is open for writing.
    void WriteString(std::string_view name, std::string_view value);
    void WriteInteger(std::string_view name, std::int32_t value);
    void WriteBool(std::string_view name, bool value);

    // Why the last OpenKey or CreateKey failed ("" after a success).
    const std::string& LastError() const { return last_error_; }

  protected:
    bool CurrentKeyReadOnly() const { return current_read_only_; }
    // The absolute name list of a path relative to the open key (see above).
    std::vector<std::string> Resolve(std::string_view key) const;
    // The hive of the root, made current; nullptr (with LastError set) when it
    // cannot be had.
    RegistryHive* Hive();
    RegistryKeyNode* CurrentNode(RegistryHive& hive);
    RegistryKeyNode& WritableCurrentNode(RegistryHive& hive, std::string_view value_name);
    void WriteValue(RegistryValue value);
    // Marks the hive changed by a value written or removed through this object.
    void ValuesChanged(RegistryHive& hive);

  private:
    HKEY root_key_ = HKEY_CURRENT_USER;
    bool has_current_key_ = false;
    bool values_changed_ = false;
    bool current_read_only_ = false;
    std::vector<std::string> current_path_;
    std::string last_error_;
};

}  // namespace platform::config
