#include "platform/mail/smtp_session.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "platform/mail/mail_error.h"
#include "platform/mail/vmime_support.h"
#include "platform/nls/text.h"

namespace mail {

namespace {

SmtpResult Failure(SmtpStatus status, std::string text, int code = 0, std::string command = {}) {
    return SmtpResult{status, code, std::move(text), std::move(command)};
}

bool StartsWithWord(std::string_view line, std::string_view word) {
    if (!platform::nls::StartsWithAscii(line, word))
        return false;
    return line.size() == word.size() || line[word.size()] == ' ';
}

// The server's reply with its code in front, as the server wrote it: vmime
// hands over the text of a reply's lines apart from their code.
std::string ReplyText(int code, std::string_view response) {
    std::string text(response);
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    const std::string prefix = std::to_string(code);
    if (code <= 0 || text.starts_with(prefix))
        return text;
    return text.empty() ? prefix : prefix + " " + text;
}

// What was said on the current connection, as far as the session acts on it:
// whether a TLS handshake was begun and no greeting followed it, and whether
// the end of a message's data went out and was answered. Written by the
// worker, read once its job has ended.
struct ProtocolTrace {
    std::atomic<bool> starttls_sent{false};
    std::atomic<bool> tls_pending{false};
    std::atomic<bool> data_end_sent{false};
    std::atomic<bool> data_end_answered{false};
    // The last RCPT TO sent and the code of the reply that followed it, for
    // replies vmime reports without naming the command (452 too many
    // recipients). Used only by the thread that runs the dialogue.
    bool rcpt_pending = false;
    std::string last_rcpt;
    int rcpt_reply_code = 0;
    // vmime sends STARTTLS after EHLO whatever the reply listed, and a server
    // that ignores commands it does not know leaves the connect waiting. When
    // STARTTLS is only wanted if offered, the first EHLO reply decides: one
    // without it turns the transport's TLS off before vmime looks.
    bool starttls_if_offered = false;
    std::weak_ptr<vmime::net::service> service;
    bool ehlo_reply = false;
    bool ehlo_done = false;
    bool starttls_offered = false;
    std::atomic<bool> answered{false};  // the server said anything at all

    // The last reply that refused something, its lines joined: vmime's SASL
    // failure keeps only its own words.
    std::string LastRefusal() const {
        std::lock_guard lock(mutex);
        return last_refusal;
    }
    void Received(std::string_view line) {
        answered = true;
        if (line.size() < 3 || !platform::nls::IsAsciiDigit(line[0]))
            return;
        const bool last = line.size() == 3 || line[3] != '-';
        std::lock_guard lock(mutex);
        if (reply_done) {
            reply.clear();
            reply_done = false;
        }
        reply += reply.empty()
                     ? std::string(line)
                     : " " + std::string(line.substr(std::min<std::size_t>(4, line.size())));
        if (last) {
            reply_done = true;
            if (line[0] == '4' || line[0] == '5')
                last_refusal = reply;
        }
    }

  private:
    mutable std::mutex mutex;
    std::string reply;
    bool reply_done = false;
    std::string last_refusal;
};

// vmime tells its tracer every command line it sends (a message's data as a
// byte count followed by the "." that ends it) and every reply line; inside
// TLS that is the only place the plain dialogue can be seen.
class TraceRecorder : public vmime::net::tracer {
  public:
    explicit TraceRecorder(std::shared_ptr<ProtocolTrace> trace) : trace_(std::move(trace)) {}
    void traceSend(const vmime::string& line) override {
        if (StartsWithWord(line, "STARTTLS")) {
            trace_->starttls_sent = true;
        } else if (line == ".") {
            trace_->data_end_sent = true;
        } else if (StartsWithWord(line, "EHLO") || StartsWithWord(line, "HELO")) {
            trace_->tls_pending = false;
            trace_->ehlo_reply = !trace_->ehlo_done;
        }
        trace_->rcpt_pending = StartsWithWord(line.substr(0, 4), "RCPT");
        if (trace_->rcpt_pending) {
            const auto open = line.find('<');
            const auto close = line.rfind('>');
            trace_->last_rcpt =
                open != std::string::npos && close != std::string::npos && close > open
                    ? line.substr(open + 1, close - open - 1)
                    : std::string();
            trace_->rcpt_reply_code = 0;
        }
    }
    void traceReceive(const vmime::string& line) override {
        trace_->Received(line);
        if (trace_->ehlo_reply)
            ReadEhloLine(line);
        if (trace_->starttls_sent.exchange(false))
            trace_->tls_pending = !line.empty() && line[0] == '2';
        if (trace_->data_end_sent)
            trace_->data_end_answered = true;
        if (trace_->rcpt_pending && line.size() >= 3 &&
            std::isdigit(static_cast<unsigned char>(line[0])) &&
            std::isdigit(static_cast<unsigned char>(line[1])) &&
            std::isdigit(static_cast<unsigned char>(line[2]))) {
            trace_->rcpt_reply_code =
                (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
            trace_->rcpt_pending = false;
        }
    }

  private:
    void ReadEhloLine(std::string_view line) {
        if (line.size() > 4 && StartsWithWord(line.substr(4), "STARTTLS"))
            trace_->starttls_offered = true;
        if (line.size() > 3 && line[3] == '-')
            return;
        trace_->ehlo_reply = false;
        trace_->ehlo_done = true;
        if (trace_->starttls_if_offered && !trace_->starttls_offered) {
            if (const auto service = trace_->service.lock())
                service->setProperty("connection.tls", false);
        }
    }

    std::shared_ptr<ProtocolTrace> trace_;
};

class TraceRecorderFactory : public vmime::net::tracerFactory {
  public:
    explicit TraceRecorderFactory(std::shared_ptr<ProtocolTrace> trace)
        : trace_(std::move(trace)) {}
    vmime::shared_ptr<vmime::net::tracer> create(vmime::shared_ptr<vmime::net::service> service,
                                                 const int) override {
        trace_->service = service;
        return vmime::make_shared<TraceRecorder>(trace_);
    }

  private:
    std::shared_ptr<ProtocolTrace> trace_;
};

// The bytes of a composed message that go to the transport. vmime ends the data
// with CRLF "." CRLF whatever came before, so a message that ends with a line
// break goes without it; otherwise every such message would gain an empty line
// (a blank line at the end of each member's text).
std::size_t DataLength(const MimeText& text) {
    std::string tail;
    const auto& pieces = text.pieces();
    for (auto it = pieces.rbegin(); it != pieces.rend() && tail.size() < 2; ++it) {
        const std::string_view view = MimeText::View(*it);
        tail.insert(0, view.substr(view.size() - std::min<std::size_t>(view.size(), 2)));
    }
    const std::size_t size = text.size();
    return tail.size() >= 2 && tail.ends_with("\r\n") ? size - 2 : size;
}

// A composed message read in order, piece by piece, without joining them, up to
// `length` bytes.
class MimeTextInput : public vmime::utility::inputStream {
  public:
    MimeTextInput(const MimeText& text, std::size_t length)
        : text_(text), length_(length), remaining_(length) {}
    bool eof() const override { return remaining_ == 0; }
    void reset() override {
        piece_ = 0;
        offset_ = 0;
        remaining_ = length_;
    }
    std::size_t read(vmime::byte_t* const data, const std::size_t count) override {
        return Advance(count, data);
    }
    std::size_t skip(const std::size_t count) override { return Advance(count, nullptr); }

  private:
    std::size_t Advance(std::size_t count, vmime::byte_t* data) {
        std::size_t done = 0;
        const auto& pieces = text_.pieces();
        while (done < count && remaining_ > done && piece_ < pieces.size()) {
            const std::string_view view = MimeText::View(pieces[piece_]);
            const std::size_t take =
                std::min({count - done, view.size() - offset_, remaining_ - done});
            if (data != nullptr)
                std::memcpy(data + done, view.data() + offset_, take);
            done += take;
            offset_ += take;
            if (offset_ == view.size()) {
                ++piece_;
                offset_ = 0;
            }
        }
        remaining_ -= done;
        return done;
    }

    const MimeText& text_;
    std::size_t length_;
    std::size_t piece_ = 0;
    std::size_t offset_ = 0;
    std::size_t remaining_;
};

// Plain words for a failed connect, naming the server and quoting its refusal.
// Called on the worker, once the dialogue's trace is complete.
std::string ConnectCause(const vmime::exception& e, const SmtpResult& failure,
                         const ProtocolTrace& trace, const detail::ServerName& server,
                         std::chrono::steady_clock::time_point until) {
    if (dynamic_cast<const vmime::security::cert::certificateException*>(&e))
        return detail::UntrustedCertificateCause(server);
    const std::string refusal = trace.LastRefusal();
    if (failure.status == SmtpStatus::kAuthenticationFailed)
        return detail::LoginRefusedCause(server, refusal);
    if (!trace.answered && dynamic_cast<const vmime::exceptions::socket_exception*>(&e)) {
        return detail::UnreachableCause(server,
                                        std::chrono::duration_cast<std::chrono::milliseconds>(
                                            until - std::chrono::steady_clock::now()));
    }
    const std::string reply = failure.reply.empty() ? refusal : failure.reply;
    return reply.empty() ? "The " + server.Label() + " closed the connection."
                         : detail::RefusalCause(server, reply);
}

struct JobState {
    std::mutex mutex;
    std::condition_variable done_signal;
    bool done = false;
    std::atomic<bool> finished{false};  // done, readable without the lock
    SmtpResult result;
};

// A message's turn between the caller and the worker is short: each looks for
// the other's answer a moment before it sleeps, which spares a wake-up (on a
// busy machine, a wait for a free processor) at every handover.
template <typename Ready>
bool SpinBriefly(Ready ready) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(200);
    do {
        if (ready())
            return true;
        std::this_thread::yield();
    } while (std::chrono::steady_clock::now() < until);
    return false;
}

// The session's one worker thread: it runs the jobs handed to it in turn and
// lives until the session ends.
class Worker {
  public:
    ~Worker() {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        wake_.notify_all();
        if (thread_.joinable())
            thread_.join();
    }
    void Post(std::function<void()> task) {
        {
            std::lock_guard lock(mutex_);
            task_ = std::move(task);
            pending_ = true;
        }
        if (!thread_.joinable())
            thread_ = std::thread([this] { Loop(); });
        wake_.notify_all();
    }

  private:
    void Loop() {
        for (;;) {
            std::function<void()> task;
            SpinBriefly([this] { return pending_.load(); });
            {
                std::unique_lock lock(mutex_);
                wake_.wait(lock, [this] { return stop_ || task_ != nullptr; });
                if (task_ == nullptr)
                    return;
                task.swap(task_);
                pending_ = false;
            }
            task();
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::function<void()> task_;
    std::atomic<bool> pending_{false};
    bool stop_ = false;
    std::thread thread_;
};

}  // namespace

struct SmtpSession::Impl {
    Options options;
    std::string host;  // the server connected to, for messages
    detail::ServerName server{"SMTP", {}, 0};
    std::chrono::milliseconds connect_span{0};  // the time the connect was given
    std::shared_ptr<detail::Deadline> deadline = std::make_shared<detail::Deadline>();
    vmime::shared_ptr<vmime::net::session> session;
    vmime::shared_ptr<vmime::net::transport> transport;  // touched only by the running job
    std::shared_ptr<ProtocolTrace> trace = std::make_shared<ProtocolTrace>();
    // Also cleared by a send job that finds the server gone.
    std::atomic<bool> connected{false};
    std::shared_ptr<JobState> job;  // the job the worker runs, if any
    // Last member: its thread ends before anything a job uses goes away.
    Worker worker;

    // A job an earlier call left behind after its deadline is still running.
    bool Busy() const {
        if (!job)
            return false;
        std::lock_guard lock(job->mutex);
        return !job->done;
    }

    // Waits for a job that an earlier call left behind after its deadline.
    void JoinWorker() {
        if (job) {
            deadline->Abort();
            std::unique_lock lock(job->mutex);
            job->done_signal.wait(lock, [this] { return job->done; });
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
            SmtpResult failure =
                Failure(code >= 500 && code < 600 ? SmtpStatus::kRefused : SmtpStatus::kFailed,
                        text, code, command->command());
            failure.reply = ReplyText(code, command->response());
            const std::string_view line = failure.command;
            if (StartsWithWord(line.substr(0, 4), "RCPT")) {
                const auto open = line.find('<');
                const auto close = line.rfind('>');
                if (open != std::string_view::npos && close != std::string_view::npos &&
                    close > open)
                    failure.recipient = std::string(line.substr(open + 1, close - open - 1));
            }
            return failure;
        }
        if (dynamic_cast<const vmime::security::cert::certificateException*>(&e)) {
            return Failure(SmtpStatus::kConnectionFailed,
                           "The certificate of the SMTP server " + host +
                               " could not be verified against this system's certificate "
                               "authorities (" +
                               text + ")");
        }
        if (dynamic_cast<const vmime::exceptions::authentication_error*>(&e) ||
            dynamic_cast<const vmime::exceptions::authentication_exception*>(&e)) {
            return Failure(SmtpStatus::kAuthenticationFailed, text);
        }
        if (dynamic_cast<const vmime::exceptions::socket_exception*>(&e) ||
            dynamic_cast<const vmime::exceptions::not_connected*>(&e) ||
            dynamic_cast<const vmime::exceptions::connection_greeting_error*>(&e)) {
            return Failure(SmtpStatus::kConnectionFailed, text);
        }
        return Failure(fallback, text);
    }

    SmtpResult Run(std::function<SmtpResult()> work, Clock::time_point until) {
        JoinWorker();
        deadline->Reset();
        deadline->Set(until);
        auto state = std::make_shared<JobState>();
        job = state;
        worker.Post([state, work = std::move(work)] {
            SmtpResult result;
            try {
                result = work();
            } catch (const std::exception& e) {
                result = Failure(SmtpStatus::kFailed, e.what());
            }
            std::lock_guard lock(state->mutex);
            state->result = std::move(result);
            state->done = true;
            state->finished = true;
            state->done_signal.notify_all();
        });
        SpinBriefly([&] { return state->finished.load(); });
        for (;;) {
            {
                std::unique_lock lock(state->mutex);
                // Without an idle function the wait ends only when the job
                // does or the deadline passes.
                const auto wake =
                    options.idle ? std::min(until, Clock::now() + std::chrono::milliseconds(10))
                                 : until;
                state->done_signal.wait_until(lock, wake, [&] { return state->done; });
                if (state->done) {
                    SmtpResult result = std::move(state->result);
                    lock.unlock();
                    job.reset();
                    return result;
                }
            }
            if (deadline->Aborted()) {
                // The worker notices at its next poll; the next call waits for it.
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

    // One connection attempt; starttls asks for STARTTLS when the server offers it.
    SmtpResult Connect(std::string_view host, std::uint16_t port, std::string_view user,
                       bool starttls, Clock::time_point until) {
        const bool implicit_tls = options.security == SmtpSecurity::kTls;
        trace = std::make_shared<ProtocolTrace>();
        session = vmime::net::session::create();
        vmime::utility::url url(implicit_tls ? "smtps" : "smtp", std::string(host), port);
        transport = session->getTransport(
            url, vmime::make_shared<vmime::security::sasl::defaultSASLAuthenticator>());
        auto& t = *transport;
        t.setProperty("connection.tls", starttls);
        trace->starttls_if_offered = starttls && options.security == SmtpSecurity::kNone;
        t.setProperty("connection.tls.required", options.security == SmtpSecurity::kStartTls);
        t.setProperty("options.need-authentication", !user.empty());
        t.setProperty("options.chunking", false);
        // vmime sends MAIL, RCPT and DATA in one go to a server that offers
        // pipelining, and on a refused recipient stops reading the replies: the
        // server waits for the message text, takes the next commands for it and
        // delivers that to the recipients it accepted.
        t.setProperty("options.pipelining", false);
        if (!user.empty()) {
            t.setProperty("auth.username", std::string(user));
            t.setProperty("auth.password", options.password);
        }
        // Without a required TLS, STARTTLS is opportunistic: an unchecked
        // certificate is no worse than the plain text it replaces.
        t.setCertificateVerifier(options.security == SmtpSecurity::kNone ||
                                         !options.verify_certificates
                                     ? detail::AcceptAnyCertificate()
                                     : detail::SystemCertificateVerifier());
        t.setTimeoutHandlerFactory(detail::MakeTimeoutFactory(deadline));
        t.setSocketFactory(detail::MakeCoalescingSocketFactory());
        t.setTracerFactory(vmime::make_shared<TraceRecorderFactory>(trace));

        auto transport_ptr = transport;
        SmtpResult result = Run(
            [transport_ptr, trace = trace, server = server, until, this] {
                try {
                    transport_ptr->connect();
                    return SmtpResult{};
                } catch (const vmime::exception& e) {
                    SmtpResult failure = Classify(e, SmtpStatus::kConnectionFailed);
                    if (failure.status != SmtpStatus::kTimedOut &&
                        failure.status != SmtpStatus::kAborted) {
                        failure.text = detail::WithCause(
                            failure.text, ConnectCause(e, failure, *trace, server, until));
                    }
                    return failure;
                }
            },
            until);
        if (result.status == SmtpStatus::kTimedOut)
            result.text =
                detail::WithCause(result.text, detail::NoAnswerCause(server, connect_span));
        return result;
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
    if (!user.empty() && impl_->options.password.empty() && !impl_->options.password_unread.empty())
        return Failure(SmtpStatus::kFailed, impl_->options.password_unread);
    disconnect();
    detail::EnsureVmime();
    impl_->host = std::string(host);
    impl_->server = {"SMTP", std::string(host), port};
    impl_->connect_span = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    const SmtpSecurity security = impl_->options.security;
    SmtpResult result = impl_->Connect(host, port, user, security != SmtpSecurity::kTls, deadline);
    // Opportunistic STARTTLS that fails in the handshake leaves plain text, which
    // is all a host without STARTTLS gets; only required TLS refuses the host.
    if (!result.ok() && security == SmtpSecurity::kNone && impl_->trace->tls_pending &&
        !impl_->Busy()) {
        impl_->DropTransport();
        result = impl_->Connect(host, port, user, false, deadline);
    }
    if (result.ok()) {
        impl_->connected = true;
    } else if (!impl_->Busy()) {
        impl_->DropTransport();
    } else {
        impl_->connected = false;
    }
    return result;
}

SmtpResult SmtpSession::send(const OutgoingMessage& message, Clock::time_point deadline) {
    // Bad contents fail here, before the server sees anything.
    auto mime = std::make_shared<const MimeText>(ComposeMimeText(message));
    auto recipients = EnvelopeRecipients(message);
    if (recipients.empty())
        throw EMailError("The message has no recipient");
    return send(std::move(mime), message.from.address, std::move(recipients), deadline);
}

SmtpResult SmtpSession::send(std::shared_ptr<const MimeText> mime, std::string_view sender,
                             std::vector<std::string> recipients, Clock::time_point deadline) {
    if (recipients.empty())
        throw EMailError("The message has no recipient");
    if (!impl_->connected || impl_->Busy()) {
        return Failure(SmtpStatus::kNotConnected, "Not connected to an SMTP server");
    }

    auto transport_ptr = impl_->transport;
    auto trace = impl_->trace;
    trace->data_end_sent = false;
    trace->data_end_answered = false;
    Impl* impl = impl_.get();
    SmtpResult result = impl_->Run(
        [transport_ptr, trace, impl, mime, recipients = std::move(recipients),
         from = std::string(sender)] {
            try {
                vmime::mailboxList to;
                for (const auto& address : recipients) {
                    to.appendMailbox(
                        vmime::make_shared<vmime::mailbox>(vmime::emailAddress(address)));
                }
                const std::size_t length = DataLength(*mime);
                MimeTextInput stream(*mime, length);
                transport_ptr->send(vmime::mailbox(vmime::emailAddress(from)), to, stream, length);
                return SmtpResult{};
            } catch (const vmime::exception& e) {
                SmtpResult failure = impl->Classify(e, SmtpStatus::kFailed);
                // vmime reports some replies to RCPT TO (452, too many
                // recipients) as its own error without the command: the trace
                // names the recipient, so the caller can send it another time.
                if (failure.recipient.empty() && trace->rcpt_reply_code >= 400 &&
                    !trace->last_rcpt.empty()) {
                    failure.reply_code = trace->rcpt_reply_code;
                    failure.recipient = trace->last_rcpt;
                    failure.command = "RCPT TO:<" + trace->last_rcpt + ">";
                }
                // A 421 closes the connection (a limit of messages per
                // connection, a shutdown); a server that closed it without a
                // word (an idle time-out, a restart) has left vmime
                // disconnected.
                if (failure.reply_code == 421 || !transport_ptr->isConnected())
                    impl->connected = false;
                failure.may_have_arrived = trace->data_end_sent && !trace->data_end_answered;
                return failure;
            } catch (const std::logic_error& e) {
                // vmime gave up on an answer it could not read: where the
                // dialogue stands is unknown, so the connection is not used again.
                impl->connected = false;
                SmtpResult failure = Failure(SmtpStatus::kFailed, e.what());
                failure.may_have_arrived = trace->data_end_sent;
                return failure;
            }
        },
        deadline);
    if (result.status == SmtpStatus::kTimedOut || result.status == SmtpStatus::kAborted) {
        // The job may still be running: what it sent is not known yet.
        result.may_have_arrived = trace->data_end_sent && !trace->data_end_answered;
        impl_->connected = false;
    } else if (result.status == SmtpStatus::kConnectionFailed) {
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
