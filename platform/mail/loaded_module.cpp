#include "platform/mail/loaded_module.h"

#include <dlfcn.h>

#include <filesystem>
#include <system_error>

namespace mail {

std::unique_ptr<LoadedModule> LoadedModule::Load(const std::vector<std::string>& candidates) {
    for (const auto& candidate : candidates) {
        // Our modules hand objects with their own code (vmime's platform
        // handler) to libraries that outlive them, so they are never unmapped.
        if (void* handle = dlopen(candidate.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE)) {
            return std::unique_ptr<LoadedModule>(new LoadedModule(handle, candidate));
        }
    }
    return nullptr;
}

LoadedModule::~LoadedModule() {
    dlclose(handle_);
}

void* LoadedModule::Symbol(const char* name) const {
    return dlsym(handle_, name);
}

std::vector<std::string> DefaultModuleCandidates(std::string_view file_name) {
    std::vector<std::string> candidates;
    std::error_code error;
    const auto exe = std::filesystem::read_symlink("/proc/self/exe", error);
    if (!error) {
        const auto dir = exe.parent_path();
        candidates.push_back((dir / file_name).string());
        candidates.push_back((dir.parent_path() / "lib" / "corvane" / file_name).string());
    }
    candidates.emplace_back(file_name);
    return candidates;
}

}  // namespace mail
