#include "platform/mail/smtp_session.h"

#include <condition_variable>
#include <mutex>

#include "platform/mail/mail_error.h"
#include "platform/mail/vmime_support.h"

namespace mail {

namespace {

SmtpResult Failure(SmtpStatus status, std::string text, int code = 0, std::string command = {}) {
    return SmtpResult{status, code, std::move(text), std::move(command)};
}

struct JobState {
    std::mutex mutex;
    std::condition_variable done_signal;
    bool done = false;
    SmtpResult result;
};

}  // namespace

struct SmtpSession::Impl {
    Options options;
    std::shared_ptr<detail::Deadline> deadline = std::make_shared<detail::Deadline>();
    vmime::shared_ptr<vmime::net::session> session;
    vmime::shared_ptr<vmime::net::transport> transport;  // touched only by the running job
    bool connected = false;
    std::thread worker;
    std::shared_ptr<JobState> job;  // the job the worker runs, if any

    // Waits for a job that an earlier call left behind after its deadline.
    void JoinWorker() {
        if (worker.joinable()) {
            deadline->Abort();
            worker.join();
        }
        job.reset();
    }

    SmtpResult Classify(const vmime::exception& e, SmtpStatus fallback) const {
        const std::string text = detail::DescribeVmimeError(e);
        if (dynamic_cast<const vmime::exceptions::operation_timed_out*>(&e)) {
            return Failure(deadline->Aborted() ? SmtpStatus::kAborted : SmtpStatus::kTimedOut,
                           deadline->Aborted() ? "The SMTP transaction was aborted"
                                               : "The SMTP server did not answer in time");
        }
        if (const auto* command = dynamic_cast<const vmime::net::smtp::SMTPCommandError*>(&e)) {
            const int code = command->statusCode();
            return Failure(code >= 500 && code < 600 ? SmtpStatus::kRefused : SmtpStatus::kFailed,
                           text, code, command->command());
        }
        if (dynamic_cast<const vmime::exceptions::authentication_error*>(&e) ||
            dynamic_cast<const vmime::exceptions::authentication_exception*>(&e)) {
            return Failure(SmtpStatus::kAuthenticationFailed, text);
        }
        if (dynamic_cast<const vmime::exceptions::socket_exception*>(&e) ||
            dynamic_cast<const vmime::exceptions::connection_greeting_error*>(&e)) {
            return Failure(SmtpStatus::kConnectionFailed, text);
        }
        return Failure(fallback, text);
    }

    SmtpResult Run(std::function<SmtpResult()> work, Clock::time_point until) {
        JoinWorker();
        deadline->Reset();
        deadline->Set(until);
        job = std::make_shared<JobState>();
        worker = std::thread([state = job, work = std::move(work)] {
            SmtpResult result;
            try {
                result = work();
            } catch (const std::exception& e) {
                result = Failure(SmtpStatus::kFailed, e.what());
            }
            std::lock_guard lock(state->mutex);
            state->result = std::move(result);
            state->done = true;
            state->done_signal.notify_all();
        });
        for (;;) {
            {
                std::unique_lock lock(job->mutex);
                job->done_signal.wait_for(lock, std::chrono::milliseconds(10),
                                          [&] { return job->done; });
                if (job->done) {
                    SmtpResult result = std::move(job->result);
                    lock.unlock();
                    worker.join();
                    job.reset();
                    return result;
                }
            }
            if (deadline->Aborted()) {
                // The worker notices at its next poll; join it on the next call.
                connected = false;
                return Failure(SmtpStatus::kAborted, "The SMTP transaction was aborted");
            }
            if (Clock::now() >= until) {
                connected = false;
                return Failure(SmtpStatus::kTimedOut, "The SMTP server did not answer in time");
            }
            if (options.idle)
                options.idle();
        }
    }

    void DropTransport() {
        transport.reset();
        session.reset();
        connected = false;
    }
};

SmtpSession::SmtpSession(Options options) : impl_(std::make_unique<Impl>()) {
    impl_->options = std::move(options);
}

SmtpSession::~SmtpSession() {
    try {
        disconnect();
    } catch (...) {
        // A destructor never throws; the socket closes with the transport.
    }
}

bool SmtpSession::connected() const {
    return impl_->connected;
}

void SmtpSession::abort() {
    impl_->deadline->Abort();
}

SmtpResult SmtpSession::connect(std::string_view host, std::uint16_t port, std::string_view user,
                                Clock::time_point deadline) {
    if (port == 0)
        throw EMailError("Invalid port 0: a port is 1 to 65535");
    CheckHeaderValue("SMTP host", host);
    CheckHeaderValue("SMTP user", user);
    if (host.empty())
        return Failure(SmtpStatus::kConnectionFailed, "No SMTP host is set");
    disconnect();
    detail::EnsureVmime();

    const Options& options = impl_->options;
    const bool implicit_tls = options.security == SmtpSecurity::kTls;
    impl_->session = vmime::net::session::create();
    vmime::utility::url url(implicit_tls ? "smtps" : "smtp", std::string(host), port);
    impl_->transport = impl_->session->getTransport(
        url, vmime::make_shared<vmime::security::sasl::defaultSASLAuthenticator>());
    auto& transport = *impl_->transport;
    transport.setProperty("connection.tls", options.security != SmtpSecurity::kTls);
    transport.setProperty("connection.tls.required", options.security == SmtpSecurity::kStartTls);
    transport.setProperty("options.need-authentication", !user.empty());
    transport.setProperty("options.chunking", false);
    // vmime sends MAIL, RCPT and DATA in one go to a server that offers
    // pipelining, and on a refused recipient stops reading the replies: the
    // server waits for the message text, takes the next commands for it and
    // delivers that to the recipients it accepted.
    transport.setProperty("options.pipelining", false);
    if (!user.empty()) {
        transport.setProperty("auth.username", std::string(user));
        transport.setProperty("auth.password", options.password);
    }
    // Without a required TLS, STARTTLS is opportunistic: an unchecked
    // certificate is no worse than the plain text it replaces.
    transport.setCertificateVerifier(options.security == SmtpSecurity::kNone ||
                                             !options.verify_certificates
                                         ? detail::AcceptAnyCertificate()
                                         : detail::SystemCertificateVerifier());
    transport.setTimeoutHandlerFactory(detail::MakeTimeoutFactory(impl_->deadline));
    transport.setSocketFactory(detail::MakeCoalescingSocketFactory());

    auto transport_ptr = impl_->transport;
    Impl* impl = impl_.get();
    SmtpResult result = impl_->Run(
        [transport_ptr, impl] {
            try {
                transport_ptr->connect();
                return SmtpResult{};
            } catch (const vmime::exception& e) {
                return impl->Classify(e, SmtpStatus::kConnectionFailed);
            }
        },
        deadline);
    if (result.ok()) {
        impl_->connected = true;
    } else if (!impl_->worker.joinable()) {
        impl_->DropTransport();
    } else {
        impl_->connected = false;
    }
    return result;
}

SmtpResult SmtpSession::send(const OutgoingMessage& message, Clock::time_point deadline) {
    // Bad contents fail here, before the server sees anything.
    const std::string mime = ComposeMime(message);
    const auto recipients = EnvelopeRecipients(message);
    if (recipients.empty())
        throw EMailError("The message has no recipient");
    if (!impl_->connected || impl_->worker.joinable()) {
        return Failure(SmtpStatus::kNotConnected, "Not connected to an SMTP server");
    }

    auto transport_ptr = impl_->transport;
    Impl* impl = impl_.get();
    const std::string from = message.from.address;
    SmtpResult result = impl_->Run(
        [transport_ptr, impl, mime, recipients, from] {
            try {
                vmime::mailboxList to;
                for (const auto& address : recipients) {
                    to.appendMailbox(
                        vmime::make_shared<vmime::mailbox>(vmime::emailAddress(address)));
                }
                vmime::utility::inputStreamStringAdapter stream(mime);
                transport_ptr->send(vmime::mailbox(vmime::emailAddress(from)), to, stream,
                                    mime.size());
                return SmtpResult{};
            } catch (const vmime::exception& e) {
                return impl->Classify(e, SmtpStatus::kFailed);
            }
        },
        deadline);
    if (result.status == SmtpStatus::kTimedOut || result.status == SmtpStatus::kAborted ||
        result.status == SmtpStatus::kConnectionFailed) {
        impl_->connected = false;
    }
    return result;
}

void SmtpSession::disconnect() {
    impl_->JoinWorker();
    if (impl_->connected && impl_->transport) {
        // QUIT is a courtesy; the connection closes either way.
        impl_->deadline->Reset();
        impl_->deadline->Set(Clock::now() + std::chrono::seconds(5));
        try {
            impl_->transport->disconnect();
        } catch (const vmime::exception&) {
        }
    }
    impl_->DropTransport();
}

}  // namespace mail
