#pragma once

// A shared module opened with dlopen at run time and closed with its object.

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace mail {

class LoadedModule {
  public:
    // The first candidate that loads; a candidate without '/' goes through the
    // system's library search. nullptr when none loads.
    static std::unique_ptr<LoadedModule> Load(const std::vector<std::string>& candidates);
    ~LoadedModule();
    LoadedModule(const LoadedModule&) = delete;
    LoadedModule& operator=(const LoadedModule&) = delete;

    // nullptr when the module has no such export.
    void* Symbol(const char* name) const;
    const std::string& path() const { return path_; }

  private:
    LoadedModule(void* handle, std::string path) : handle_(handle), path_(std::move(path)) {}
    void* handle_;
    std::string path_;
};

// Where a module of the program is looked for: the program's own folder,
// then <prefix>/lib/corvane beside it, then the system's search.
std::vector<std::string> DefaultModuleCandidates(std::string_view file_name);

}  // namespace mail
