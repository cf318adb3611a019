#pragma once

// The relay module libSMTPServer.so, loaded at run time.

#include <memory>
#include <string>
#include <vector>

#include "platform/mail/loaded_module.h"
#include "platform/mail/relay.h"
#include "platform/mail/relay_abi.h"

namespace mail {

class RelayLibrary {
  public:
    // Throws EMailError when no candidate loads or the module lacks SendMail.
    static std::unique_ptr<RelayLibrary> Open(
        const std::vector<std::string>& candidates = DefaultModuleCandidates("libSMTPServer.so"));

    // One call of the module's SendMail.
    RelayResult SendMail(const RelayRequest& request) const;
    // Ports and deadlines of later calls (tests); ignored by a module
    // without SetRelayOptions.
    void SetOptions(const RelayOptions& options) const;
    const std::string& path() const { return module_->path(); }

  private:
    explicit RelayLibrary(std::unique_ptr<LoadedModule> module);
    std::unique_ptr<LoadedModule> module_;
    RelaySendMailFn send_mail_ = nullptr;
    RelaySetOptionsFn set_options_ = nullptr;
};

}  // namespace mail
