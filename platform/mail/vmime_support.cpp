#include "platform/mail/vmime_support.h"

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <system_error>

namespace mail::detail {

namespace {

// vmime asks for this machine's name for every message it builds (its
// Message-Id) and every EHLO, and the POSIX handler resolves it each time: a
// name-service look-up per message. The name is looked up once.
class CachedHostHandler : public vmime::platforms::posix::posixHandler {
  public:
    const vmime::string getHostName() const override {
        std::call_once(once_, [this] { name_ = posixHandler::getHostName(); });
        return name_;
    }

  private:
    mutable std::once_flag once_;
    mutable vmime::string name_;
};

}  // namespace

void EnsureVmime() {
    static std::once_flag once;
    std::call_once(once, [] { vmime::platform::setHandler<CachedHostHandler>(); });
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

// Writes are queued and go out together before the next read or wait, and
// whenever the queue passes a block, so large messages still stream.
class CoalescingSocket : public vmime::net::socket {
  public:
    explicit CoalescingSocket(vmime::shared_ptr<vmime::net::socket> inner)
        : inner_(std::move(inner)) {}

    void connect(const vmime::string& address, const vmime::port_t port) override {
        pending_.clear();
        inner_->connect(address, port);
    }
    void disconnect() override {
        try {
            Flush();
        } catch (const vmime::exception&) {
            // The connection closes either way.
        }
        pending_.clear();
        inner_->disconnect();
    }
    bool isConnected() const override { return inner_->isConnected(); }
    bool waitForRead(const int msecs) override {
        Flush();
        return inner_->waitForRead(msecs);
    }
    bool waitForWrite(const int msecs) override {
        Flush();
        return inner_->waitForWrite(msecs);
    }
    void receive(vmime::string& buffer) override {
        Flush();
        inner_->receive(buffer);
    }
    std::size_t receiveRaw(vmime::byte_t* buffer, const std::size_t count) override {
        Flush();
        return inner_->receiveRaw(buffer, count);
    }
    void send(const vmime::string& buffer) override { Queue(buffer.data(), buffer.size()); }
    void send(const char* str) override { Queue(str, std::char_traits<char>::length(str)); }
    void sendRaw(const vmime::byte_t* buffer, const std::size_t count) override {
        Queue(reinterpret_cast<const char*>(buffer), count);
    }
    std::size_t sendRawNonBlocking(const vmime::byte_t* buffer, const std::size_t count) override {
        Queue(reinterpret_cast<const char*>(buffer), count);
        return count;
    }
    std::size_t getBlockSize() const override { return inner_->getBlockSize(); }
    unsigned int getStatus() const override { return inner_->getStatus(); }
    const vmime::string getPeerName() const override { return inner_->getPeerName(); }
    const vmime::string getPeerAddress() const override { return inner_->getPeerAddress(); }
    vmime::shared_ptr<vmime::net::timeoutHandler> getTimeoutHandler() override {
        return inner_->getTimeoutHandler();
    }
    void setTracer(vmime::shared_ptr<vmime::net::tracer> tracer) override {
        inner_->setTracer(std::move(tracer));
    }
    vmime::shared_ptr<vmime::net::tracer> getTracer() override { return inner_->getTracer(); }

  private:
    static constexpr std::size_t kFlushAt = 64 * 1024;

    void Queue(const char* data, std::size_t count) {
        pending_.append(data, count);
        if (pending_.size() >= kFlushAt)
            Flush();
    }
    void Flush() {
        if (pending_.empty())
            return;
        std::string out;
        out.swap(pending_);
        inner_->sendRaw(reinterpret_cast<const vmime::byte_t*>(out.data()), out.size());
    }

    vmime::shared_ptr<vmime::net::socket> inner_;
    std::string pending_;
};

class CoalescingSocketFactory : public vmime::net::socketFactory {
  public:
    explicit CoalescingSocketFactory(vmime::shared_ptr<vmime::net::socketFactory> inner)
        : inner_(std::move(inner)) {}
    vmime::shared_ptr<vmime::net::socket> create() override {
        return vmime::make_shared<CoalescingSocket>(inner_->create());
    }
    vmime::shared_ptr<vmime::net::socket> create(
        vmime::shared_ptr<vmime::net::timeoutHandler> th) override {
        return vmime::make_shared<CoalescingSocket>(inner_->create(th));
    }

  private:
    vmime::shared_ptr<vmime::net::socketFactory> inner_;
};

std::vector<vmime::shared_ptr<vmime::security::cert::X509Certificate>> LoadRoots(
    const std::string& file) {
    std::vector<vmime::shared_ptr<vmime::security::cert::X509Certificate>> roots;
    std::ifstream in(file);
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

std::shared_ptr<vmime::net::socketFactory> MakeCoalescingSocketFactory() {
    EnsureVmime();
    return std::make_shared<CoalescingSocketFactory>(
        vmime::platform::getHandler()->getSocketFactory());
}

std::shared_ptr<vmime::security::cert::certificateVerifier> AcceptAnyCertificate() {
    return std::make_shared<AcceptAnyVerifier>();
}

std::shared_ptr<vmime::security::cert::certificateVerifier> SystemCertificateVerifier() {
    // SSL_CERT_FILE names another bundle, as it does for OpenSSL's programs
    // (a site's own authority, or a test's).
    const char* named = std::getenv("SSL_CERT_FILE");
    const std::string file =
        named != nullptr && *named != '\0' ? named : "/etc/ssl/certs/ca-certificates.crt";
    static std::mutex mutex;
    static std::map<std::string,
                    std::vector<vmime::shared_ptr<vmime::security::cert::X509Certificate>>>
        loaded;
    std::lock_guard lock(mutex);
    auto it = loaded.find(file);
    if (it == loaded.end())
        it = loaded.emplace(file, LoadRoots(file)).first;
    auto verifier = std::make_shared<vmime::security::cert::defaultCertificateVerifier>();
    verifier->setX509RootCAs(it->second);
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

std::string ServerName::Label() const {
    return std::string(kind) + " server " + host + ":" + std::to_string(port);
}

std::string WithCause(std::string_view text, std::string_view cause) {
    while (!text.empty() && (text.back() == ' ' || text.back() == '\r' || text.back() == '\n'))
        text.remove_suffix(1);
    if (text.empty() || cause.empty())
        return std::string(text.empty() ? cause : text);
    return std::string(text) + (text.back() == '.' ? " " : ". ") + std::string(cause);
}

namespace {

std::string Answered(std::string_view reply) {
    return reply.empty() ? std::string(".") : "; it answered \"" + std::string(reply) + "\".";
}

// 0 when something at the server's port takes a connection within `limit`; else
// the errno of the last address tried, or -1 with `failure` set when the name
// cannot be resolved.
int ProbeConnect(const ServerName& server, std::chrono::milliseconds limit, std::string& failure) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int resolved =
        getaddrinfo(server.host.c_str(), std::to_string(server.port).c_str(), &hints, &found);
    if (resolved != 0) {
        failure = gai_strerror(resolved);
        return -1;
    }
    std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> owned(found, &freeaddrinfo);
    int error = ECONNREFUSED;
    for (const addrinfo* at = found; at != nullptr; at = at->ai_next) {
        const int fd =
            socket(at->ai_family, at->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, at->ai_protocol);
        if (fd < 0) {
            error = errno;
            continue;
        }
        error = connect(fd, at->ai_addr, at->ai_addrlen) == 0 ? 0 : errno;
        if (error == EINPROGRESS) {
            pollfd watch{fd, POLLOUT, 0};
            socklen_t length = sizeof error;
            if (poll(&watch, 1, static_cast<int>(limit.count())) <= 0)
                error = ETIMEDOUT;
            else if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
                error = errno;
        }
        close(fd);
        if (error == 0)
            return 0;
    }
    return error;
}

}  // namespace

std::string NoAnswerCause(const ServerName& server, std::chrono::milliseconds waited) {
    const auto seconds =
        std::max<long long>(1, std::chrono::ceil<std::chrono::seconds>(waited).count());
    return "The " + server.Label() + " gave no answer within " + std::to_string(seconds) +
           (seconds == 1 ? " second." : " seconds.");
}

std::string LoginRefusedCause(const ServerName& server, std::string_view reply) {
    return "The " + server.Label() + " did not accept the user name or password" + Answered(reply);
}

std::string UntrustedCertificateCause(const ServerName& server) {
    return "The certificate of the " + server.Label() + " is not trusted.";
}

std::string RefusalCause(const ServerName& server, std::string_view reply) {
    return "The " + server.Label() + " refused the connection" + Answered(reply);
}

std::string UnreachableCause(const ServerName& server, std::chrono::milliseconds limit) {
    std::string failure;
    const int error = ProbeConnect(
        server, std::clamp(limit, std::chrono::milliseconds(100), std::chrono::milliseconds(5000)),
        failure);
    if (error == ECONNREFUSED)
        return "No server is listening at " + server.host + ":" + std::to_string(server.port) + ".";
    if (error < 0)
        return "The " + server.Label() + " cannot be found (" + failure + ").";
    if (error == 0)
        return "The " + server.Label() + " closed the connection.";
    return "The " + server.Label() + " cannot be reached (" +
           std::generic_category().message(error) + ").";
}

}  // namespace mail::detail
