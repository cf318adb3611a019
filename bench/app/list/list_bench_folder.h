// The set-up the list benchmarks share: a private folder per run for the registry hive and
// the list database, and a prompt service that answers every question yes.

#pragma once

#include <stdlib.h>

#include <cerrno>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>

#include "platform/config/registry_store.h"
#include "platform/ui/prompt.h"

namespace bench_support {

// The caller removes the folder when its run is over.
inline std::filesystem::path MakeListFolder() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "corvane-bench-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr)
        throw std::filesystem::filesystem_error("cannot make a benchmark folder", pattern,
                                                std::error_code(errno, std::generic_category()));
    std::filesystem::path dir = pattern;
    platform::config::RegistryHive::SetHiveFile(platform::config::HKEY_CURRENT_USER,
                                                dir / "registry.ini");
    return dir;
}

inline std::unique_ptr<ui::ScopedPromptService> AnswerYes() {
    auto prompts = std::make_unique<ui::ScriptedPromptService>();
    prompts->Answer(ui::mrYes);
    return std::make_unique<ui::ScopedPromptService>(std::move(prompts));
}

}  // namespace bench_support
