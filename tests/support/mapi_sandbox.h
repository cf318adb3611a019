#pragma once

// A private registry, program directory and Simple-MAPI state for one test:
// both registry roots point at files in a fresh folder, and whatever Simple
// MAPI the test loaded or installed is dropped again at the end.

#include <cstdlib>
#include <filesystem>
#include <string_view>

#include "platform/config/registry.h"
#include "platform/config/registry_store.h"
#include "platform/mail/recording_simple_mapi.h"
#include "support/smapi.h"
#include "tests/platform/mail/peers.h"

namespace support::testing {

class MapiSandbox {
  public:
    MapiSandbox() {
        using platform::config::RegistryHive;
        UnloadSimpleMapi();
        RegistryHive::SetHiveFile(platform::config::HKEY_CURRENT_USER, dir_.path() / "hkcu.ini");
        RegistryHive::SetHiveFile(platform::config::HKEY_LOCAL_MACHINE, machine());
        setenv("CORVANE_HOME", (dir_.path() / "home").c_str(), 1);
        unsetenv(std::string(kModuleDirVariable).c_str());
    }
    ~MapiSandbox() {
        using platform::config::RegistryHive;
        UnloadSimpleMapi();
        unsetenv("CORVANE_HOME");
        unsetenv(std::string(kModuleDirVariable).c_str());
        for (auto root :
             {platform::config::HKEY_CURRENT_USER, platform::config::HKEY_LOCAL_MACHINE})
            RegistryHive::SetHiveFile(root, RegistryHive::DefaultHiveFile(root));
    }
    MapiSandbox(const MapiSandbox&) = delete;
    MapiSandbox& operator=(const MapiSandbox&) = delete;

    const std::filesystem::path& path() const { return dir_.path(); }
    std::filesystem::path machine() const { return dir_.path() / "hklm.ini"; }

    // The machine-wide "MAPI" value the installer writes.
    void RegisterMapi(std::string_view value) {
        using platform::config::RegistryHive;
        RegistryHive hive(machine(), false);
        hive.Refresh();
        hive.FindOrCreate({"SOFTWARE", "Microsoft", "Windows Messaging Subsystem"})
            .SetValue({"MAPI", platform::config::TRegDataType::rdString, std::string(value), 0});
        hive.MarkDirty();
        hive.Flush();
        RegistryHive::SetHiveFile(platform::config::HKEY_LOCAL_MACHINE, machine());
    }

    void WriteUser(std::string_view key, std::string_view name, std::string_view value) {
        platform::config::TRegistry registry;
        registry.OpenKey(key, true);
        registry.WriteString(name, value);
        registry.CloseKey();
    }

    mail::RecordingSimpleMapi& InstallRecording() {
        return static_cast<mail::RecordingSimpleMapi&>(
            InstallSimpleMapi(std::make_unique<mail::RecordingSimpleMapi>()));
    }

  private:
    mail::testing::TempDir dir_;
};

}  // namespace support::testing
