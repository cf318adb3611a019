#include "engine/core/data_session.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <mutex>

#include "engine/core/data_directory.h"
#include "engine/core/engine_globals.h"
#include "engine/storage/engine_error_codes.h"
#include "engine/storage/storage_library.h"
#include "platform/nls/nls.h"
#include "platform/nls/text.h"
#include "platform/os/file_system.h"

namespace strata {

namespace {}  // namespace

std::string WithTrailingSeparator(std::string_view path) {
    std::string result(path);
    if (result.empty() || (result.back() != '/' && result.back() != '\\'))
        result.push_back('/');
    return result;
}

TDataSession::TDataSession() {
    std::string cwd(4096, '\0');
    if (::getcwd(cwd.data(), cwd.size()) != nullptr) {
        cwd.resize(std::char_traits<char>::length(cwd.c_str()));
        working_dir_ = WithTrailingSeparator(platform::nls::TrimOf(cwd, " "));
    }
}

TDataSession::~TDataSession() {
    const auto listeners = std::move(end_listeners_);
    end_listeners_.clear();
    for (const auto& [id, listener] : listeners) {
        try {
            listener();
        } catch (...) {
            // The session ends all the same; each listener lets go of what it can.
        }
    }
    directories_.clear();
    RemoveAllPasswords();
}

void TDataSession::SetLanguageID(std::uint16_t value) {
    namespace nls = platform::nls;
    if (!nls::IsValidLocale(nls::MakeLocaleId(value, nls::kSortDefault)))
        RaiseEngineError(kErrLanguageNotAvailable);
    language_id_ = value;
}

void TDataSession::SetSortID(std::uint16_t value) {
    namespace nls = platform::nls;
    const auto languages = nls::Languages();
    if (std::none_of(languages.begin(), languages.end(), [value](const nls::LanguageInfo& l) {
            return nls::IsValidLocale(nls::MakeLocaleId(l.id, value));
        }))
        RaiseEngineError(kErrLanguageNotAvailable);
    sort_id_ = value;
}

std::uint16_t TDataSession::SortID() const noexcept {
    namespace nls = platform::nls;
    return nls::IsValidLocale(nls::MakeLocaleId(language_id_, sort_id_)) ? sort_id_
                                                                         : nls::kSortDefault;
}

std::string TDataSession::GetPrivateDir() const {
    if (!private_dir_.empty())
        return private_dir_;
    if (auto temp = platform::os::TempDirectory(); temp)
        return *temp;
    return working_dir_;
}

void TDataSession::SetPrivateDir(std::string_view dir) {
    const std::string_view trimmed = platform::nls::TrimOf(dir, " ");
    if (trimmed.empty())
        return;
    std::string value = WithTrailingSeparator(trimmed);
    if (value != private_dir_)
        private_dir_ = std::move(value);
}

void TDataSession::AddPassword(std::string_view password) {
    if (password.empty() || HasPassword(password))
        return;
    passwords_.emplace_back(password);
}

void TDataSession::RemovePassword(std::string_view password) {
    const auto it = std::find(passwords_.begin(), passwords_.end(), password);
    if (it != passwords_.end())
        passwords_.erase(it);
}

void TDataSession::RemoveAllPasswords() {
    while (!passwords_.empty())
        passwords_.pop_back();
}

bool TDataSession::HasPassword(std::string_view password) const {
    // Exact bytes: a locale comparison would let "pass-word" open "password".
    return std::find(passwords_.begin(), passwords_.end(), password) != passwords_.end();
}

TDataDirectory* TDataSession::OpenDirectory(std::string_view name, std::string_view path) {
    std::string dir_path;
    std::string network_path;
    if (!platform::nls::SameTextAnsi(platform::nls::TrimOf(name, " "), "MEMORY")) {
        const std::string_view trimmed = platform::nls::TrimOf(path, " ");
        dir_path = trimmed.empty() ? working_dir_ : WithTrailingSeparator(trimmed);
        network_path = GetUniversalPath(dir_path);
        if (network_path.empty())
            network_path = dir_path;
        network_path = WithTrailingSeparator(network_path);
    }
    for (const auto& directory : directories_) {
        if (directory->NetworkPath() == network_path) {
            directory->AddRef();
            return directory.get();
        }
    }
    auto directory = std::make_unique<TDataDirectory>(*this);
    directory->SetLocation(name, dir_path, network_path);
    directory->AddRef();
    directories_.push_back(std::move(directory));
    return directories_.back().get();
}

std::uint64_t TDataSession::AddEndListener(std::function<void()> listener) {
    end_listeners_.emplace_back(++next_end_listener_, std::move(listener));
    return next_end_listener_;
}

void TDataSession::RemoveEndListener(std::uint64_t id) noexcept {
    std::erase_if(end_listeners_, [id](const auto& entry) { return entry.first == id; });
}

int TDataSession::CloseDirectory(TDataDirectory* directory) {
    const auto it = std::find_if(directories_.begin(), directories_.end(),
                                 [&](const auto& d) { return d.get() == directory; });
    if (it == directories_.end() || (*it)->UseCount() < 1)
        return -static_cast<int>(kErrAccessDenied);
    (*it)->Release();
    if ((*it)->UseCount() == 0)
        directories_.erase(it);
    return 0;
}

TDataSession& DefaultEngineSession() {
    static std::mutex lock;
    static std::unique_ptr<TDataSession> session;
    std::lock_guard guard(lock);
    if (!session)
        session = std::make_unique<TDataSession>();
    if (GetEngineSession() == nullptr)
        SetCurrentEngineSession(session.get());
    return *session;
}

}  // namespace strata
