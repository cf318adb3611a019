#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/config/registry_store.h"

namespace platform::config::testing {

// A private folder per test, with both registry roots pointed into it.
class TempFolder {
  public:
    TempFolder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "cfgtestXXXXXX").string();
        path_ = ::mkdtemp(pattern.data());
        RegistryHive::SetHiveFile(HKEY_CURRENT_USER, path_ / "user" / "registry.ini");
        RegistryHive::SetHiveFile(HKEY_LOCAL_MACHINE, path_ / "machine" / "registry.ini");
    }
    ~TempFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path UserHive() const { return path_ / "user" / "registry.ini"; }
    std::filesystem::path MachineHive() const { return path_ / "machine" / "registry.ini"; }

    // Forgets the in-memory trees, as a new program would.
    void Restart() const {
        RegistryHive::SetHiveFile(HKEY_CURRENT_USER, UserHive());
        RegistryHive::SetHiveFile(HKEY_LOCAL_MACHINE, MachineHive());
    }

  private:
    std::filesystem::path path_;
};

inline std::string ReadText(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

inline void WriteText(const std::filesystem::path& file, const std::string& text) {
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << text;
}

}  // namespace platform::config::testing
