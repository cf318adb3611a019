#include "platform/mail/relay_library.h"

#include "platform/mail/mail_error.h"

namespace mail {

RelayLibrary::RelayLibrary(std::unique_ptr<LoadedModule> module) : module_(std::move(module)) {
    send_mail_ = reinterpret_cast<RelaySendMailFn>(module_->Symbol("SendMail"));
    set_options_ = reinterpret_cast<RelaySetOptionsFn>(module_->Symbol("SetRelayOptions"));
}

std::unique_ptr<RelayLibrary> RelayLibrary::Open(const std::vector<std::string>& candidates) {
    auto module = LoadedModule::Load(candidates);
    if (!module)
        throw EMailError("The relay module libSMTPServer.so cannot be loaded");
    std::unique_ptr<RelayLibrary> library(new RelayLibrary(std::move(module)));
    if (!library->send_mail_) {
        throw EMailError("The relay module " + library->path() + " has no SendMail");
    }
    return library;
}

RelayResult RelayLibrary::SendMail(const RelayRequest& request) const {
    auto pointers = [](const std::vector<std::string>& texts) {
        std::vector<const char*> out;
        for (const auto& text : texts)
            out.push_back(text.c_str());
        return out;
    };
    const auto lines = pointers(request.body_lines);
    const auto files = pointers(request.attachments);
    std::vector<char> error(4096, '\0');
    RelayResult result;
    result.code = send_mail_(
        request.dns_host.c_str(), request.dns_timeout_ms, request.from.address.c_str(),
        request.from.name.c_str(), request.to.c_str(), request.subject.c_str(), lines.data(),
        lines.size(), request.html ? 1 : 0, files.data(), files.size(), error.data(), error.size());
    result.text = error.data();
    return result;
}

void RelayLibrary::SetOptions(const RelayOptions& options) const {
    if (!set_options_)
        return;
    set_options_(options.dns_port, options.smtp_port,
                 static_cast<std::uint32_t>(options.connect_timeout.count()),
                 static_cast<std::uint32_t>(options.deliver_timeout.count()));
}

}  // namespace mail
