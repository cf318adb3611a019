#include "support/smapi.h"

#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <stdexcept>

#include "platform/mail/loaded_module.h"
#include "platform/mail/mail_config.h"
#include "platform/mail/mail_error.h"
#include "platform/mail/simple_mapi_provider.h"
#include "platform/nls/text.h"

namespace support {

namespace {

constexpr std::string_view kModuleFile = "libmapi32.so";

struct SimpleMapiState {
    std::mutex mutex;

    // The loader's view.
    bool load_attempted = false;
    bool available = false;
    std::unique_ptr<mail::SimpleMapi> provider;
    mail::MapiLibrary* library = nullptr;  // `provider` when it is the module

    // The import's view: either a provider put in place, or the module with
    // just the two entries it uses.
    bool import_attempted = false;
    mail::SimpleMapi* import_provider = nullptr;
    std::unique_ptr<mail::LoadedModule> import_module;
    LPMAPISENDMAIL import_send_mail = nullptr;
    LPMAPICONFIGURE import_configure = nullptr;

    ~SimpleMapiState() { ClearLocked(); }

    void ClearLocked() {
        library = nullptr;
        provider.reset();
        available = false;
        import_provider = nullptr;
        import_send_mail = nullptr;
        import_configure = nullptr;
        import_module.reset();
    }
};

SimpleMapiState& State() {
    static SimpleMapiState state;
    return state;
}

// Requires: the state's mutex is held.
void LoadLocked(SimpleMapiState& state) {
    state.load_attempted = true;
    state.library = nullptr;
    state.provider.reset();
    state.available = false;
    // Every system we run on is "new" enough for the registry rule; the old
    // profile-file rule and the error mode have no counterpart here.
    if (!mail::SimpleMapiRegistered())
        return;
    std::unique_ptr<mail::MapiLibrary> library;
    try {
        library = mail::MapiLibrary::Load(MapiModuleCandidates());
    } catch (const mail::EMailError&) {
        // A module with missing entry points must not count as available:
        // its calls would go nowhere.
        throw EMapiDllError(kMapiDllErrorText);
    }
    if (!library)
        return;
    state.library = library.get();
    state.provider = std::move(library);
    state.available = true;
    try {
        state.library->Configure(mail::LoadMailSettings(), mail::DefaultMailRoot());
    } catch (const mail::EMailError&) {
        // Unusable settings are reported when a message is sent, not at start.
    }
}

void EnsureLoaded(SimpleMapiState& state) {
    if (!state.load_attempted)
        LoadLocked(state);
}

}  // namespace

bool HasSmtpAddressType(std::string_view address) {
    return platform::nls::StartsWithAscii(address, kSmtpAddressType);
}

std::vector<std::string> MapiModuleCandidates() {
    std::vector<std::string> candidates = mail::DefaultModuleCandidates(kModuleFile);
    const char* dir = std::getenv(std::string(kModuleDirVariable).c_str());
    if (dir && dir[0] == '/') {
        // After the executable's folder (when there is one), before the rest.
        const auto at = candidates.size() > 1 ? candidates.begin() + 1 : candidates.begin();
        candidates.insert(at, (std::filesystem::path(dir) / kModuleFile).string());
    }
    return candidates;
}

void LoadSimpleMapi() {
    auto& state = State();
    std::lock_guard lock(state.mutex);
    LoadLocked(state);
}

void UnloadSimpleMapi() {
    auto& state = State();
    std::lock_guard lock(state.mutex);
    state.ClearLocked();
    state.load_attempted = false;
    state.import_attempted = false;
}

bool SimpleMapiAvailable() {
    auto& state = State();
    std::lock_guard lock(state.mutex);
    EnsureLoaded(state);
    return state.available;
}

mail::SimpleMapi* LoadedSimpleMapi() {
    auto& state = State();
    std::lock_guard lock(state.mutex);
    EnsureLoaded(state);
    return state.available ? state.provider.get() : nullptr;
}

void ConfigureSimpleMapi() {
    auto& state = State();
    std::lock_guard lock(state.mutex);
    if (state.library)
        state.library->Configure(mail::LoadMailSettings(), mail::DefaultMailRoot());
}

ULONG ImportedMapiSendMail(LHANDLE session, ULONG_PTR ui, const MapiMessage* message, FLAGS flags,
                           ULONG reserved) {
    auto& state = State();
    mail::SimpleMapi* provider = nullptr;
    LPMAPISENDMAIL send_mail = nullptr;
    {
        std::lock_guard lock(state.mutex);
        if (!state.import_attempted) {
            state.import_attempted = true;
            if (!state.import_provider && mail::SimpleMapiRegistered()) {
                state.import_module = mail::LoadedModule::Load(MapiModuleCandidates());
                if (state.import_module) {
                    state.import_send_mail = reinterpret_cast<LPMAPISENDMAIL>(
                        state.import_module->Symbol("MAPISendMail"));
                    state.import_configure = reinterpret_cast<LPMAPICONFIGURE>(
                        state.import_module->Symbol("MAPIConfigure"));
                }
            }
        }
        provider = state.import_provider;
        send_mail = state.import_send_mail;
        if (send_mail && state.import_configure) {
            mail::ConfigureMapiModule(state.import_configure, mail::LoadMailSettings(),
                                      mail::DefaultMailRoot());
        }
    }
    if (provider)
        return provider->SendMail(session, ui, message, flags, reserved);
    if (send_mail)
        return send_mail(session, ui, message, flags, reserved);
    return MAPI_USER_ABORT;
}

mail::SimpleMapi& InstallSimpleMapi(std::unique_ptr<mail::SimpleMapi> provider) {
    if (!provider)
        throw std::invalid_argument("InstallSimpleMapi needs a provider");
    auto& state = State();
    std::lock_guard lock(state.mutex);
    state.ClearLocked();
    state.provider = std::move(provider);
    state.available = state.provider != nullptr;
    state.load_attempted = true;
    state.import_provider = state.provider.get();
    state.import_attempted = true;
    return *state.provider;
}

}  // namespace support
