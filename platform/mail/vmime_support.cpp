#include "platform/mail/vmime_support.h"

#include <fstream>
#include <sstream>

namespace mail::detail {

void EnsureVmime() {
    static std::once_flag once;
    std::call_once(once,
                   [] { vmime::platform::setHandler<vmime::platforms::posix::posixHandler>(); });
}

namespace {

class DeadlineTimeoutHandler : public vmime::net::timeoutHandler {
  public:
    explicit DeadlineTimeoutHandler(std::shared_ptr<Deadline> deadline)
        : deadline_(std::move(deadline)) {}
    bool isTimeOut() override { return deadline_->Passed(); }
    void resetTimeOut() override {}
    // Never extend: a passed deadline ends the operation.
    bool handleTimeOut() override { return false; }

  private:
    std::shared_ptr<Deadline> deadline_;
};

class DeadlineTimeoutFactory : public vmime::net::timeoutHandlerFactory {
  public:
    explicit DeadlineTimeoutFactory(std::shared_ptr<Deadline> deadline)
        : deadline_(std::move(deadline)) {}
    vmime::shared_ptr<vmime::net::timeoutHandler> create() override {
        return vmime::make_shared<DeadlineTimeoutHandler>(deadline_);
    }

  private:
    std::shared_ptr<Deadline> deadline_;
};

class AcceptAnyVerifier : public vmime::security::cert::certificateVerifier {
  public:
    void verify(vmime::shared_ptr<vmime::security::cert::certificateChain>,
                const vmime::string&) override {}
};

std::vector<vmime::shared_ptr<vmime::security::cert::X509Certificate>> LoadSystemRoots() {
    std::vector<vmime::shared_ptr<vmime::security::cert::X509Certificate>> roots;
    std::ifstream in("/etc/ssl/certs/ca-certificates.crt");
    std::string line, block;
    while (std::getline(in, line)) {
        block += line + "\n";
        if (line.rfind("-----END CERTIFICATE-----", 0) == 0) {
            auto cert = vmime::security::cert::X509Certificate::import(
                reinterpret_cast<const vmime::byte_t*>(block.data()), block.size());
            if (cert)
                roots.push_back(cert);
            block.clear();
        }
    }
    return roots;
}

}  // namespace

std::shared_ptr<vmime::net::timeoutHandlerFactory> MakeTimeoutFactory(
    std::shared_ptr<Deadline> deadline) {
    return std::make_shared<DeadlineTimeoutFactory>(std::move(deadline));
}

std::shared_ptr<vmime::security::cert::certificateVerifier> AcceptAnyCertificate() {
    return std::make_shared<AcceptAnyVerifier>();
}

std::shared_ptr<vmime::security::cert::certificateVerifier> SystemCertificateVerifier() {
    static const auto roots = LoadSystemRoots();
    auto verifier = std::make_shared<vmime::security::cert::defaultCertificateVerifier>();
    verifier->setX509RootCAs(roots);
    return verifier;
}

std::string DescribeVmimeError(const vmime::exception& e) {
    std::string text = e.what();
    if (const auto* command = dynamic_cast<const vmime::exceptions::command_error*>(&e)) {
        text += ": " + command->response();
    } else if (const auto* greeting =
                   dynamic_cast<const vmime::exceptions::connection_greeting_error*>(&e)) {
        text += ": " + greeting->response();
    } else if (const auto* auth =
                   dynamic_cast<const vmime::exceptions::authentication_error*>(&e)) {
        text += ": " + auth->response();
    }
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n' || text.back() == ' ')) {
        text.pop_back();
    }
    return text;
}

}  // namespace mail::detail
