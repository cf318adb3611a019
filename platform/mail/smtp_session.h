#pragma once

// One SMTP connection, driven from the caller's thread while the protocol runs
// on a worker thread the session keeps for its whole life, so a mail-out of
// thousands of messages starts no thread per message. The caller waits until
// the transaction ends or its
// deadline passes, calling an idle function meanwhile (the UI passes one that
// lets its event queue run). A passed deadline or abort() ends the
// transaction; the connection is then dropped, so the next message needs a
// new connect(). So does a connection the server closed or broke off;
// connected() says when that has happened.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/mail/mail_settings.h"
#include "platform/mail/outgoing_message.h"

namespace mail {

enum class SmtpStatus {
    kOk,
    kNotConnected,          // send() or a second connect() out of turn
    kConnectionFailed,      // no connection, or no greeting
    kAuthenticationFailed,  // AUTH refused
    kRefused,               // the server answered 5xx (reply_code holds it)
    kFailed,                // any other failure (4xx, protocol, TLS)
    kTimedOut,              // the deadline passed
    kAborted,               // abort() was called
};

struct SmtpResult {
    SmtpStatus status = SmtpStatus::kOk;
    int reply_code = 0;          // the server's reply code when it gave one
    std::string text;            // what went wrong, for the user
    std::string command;         // the SMTP command the server refused ("RCPT TO", ...)
    std::string recipient = {};  // the address of a refused RCPT TO
    // The server's reply as it gave it ("550 5.1.1 <x@y>: user unknown"), when
    // it gave one.
    std::string reply = {};
    // The whole message had gone to the server when the connection failed
    // without an answer to it: it may have arrived, so sending it again could
    // deliver it twice. False whenever the server answered the message.
    bool may_have_arrived = false;
    bool ok() const { return status == SmtpStatus::kOk; }
};

struct SmtpOptions {
    SmtpSecurity security = SmtpSecurity::kNone;
    std::string password;  // with the user given to connect()
    // Why an empty password could not be read: connect() then does not try a
    // login that would only be refused.
    std::string password_unread;
    bool verify_certificates = true;
    std::function<void()> idle;  // called every few milliseconds while waiting
};

class SmtpSession {
  public:
    using Clock = std::chrono::steady_clock;
    using Options = SmtpOptions;

    SmtpSession() : SmtpSession(SmtpOptions{}) {}
    explicit SmtpSession(SmtpOptions options);
    ~SmtpSession();  // aborts a running transaction and disconnects
    SmtpSession(const SmtpSession&) = delete;
    SmtpSession& operator=(const SmtpSession&) = delete;

    // Connects, reads the greeting, says EHLO, starts TLS and authenticates as
    // `user` (no AUTH when empty). Without a required TLS (kNone) a STARTTLS
    // whose handshake fails is given up: the host is connected to again in
    // plain text, as a host that offers no STARTTLS would be. Requires: port
    // 1-65535.
    SmtpResult connect(std::string_view host, std::uint16_t port, std::string_view user,
                       Clock::time_point deadline);

    // Sends one message (its html flag picks the body type). Throws EMailError
    // for bad message contents before anything is sent.
    SmtpResult send(const OutgoingMessage& message, Clock::time_point deadline);
    // Sends a message composed beforehand (by ComposeMimeText or a
    // MessageTemplate) to the envelope recipients given.
    SmtpResult send(std::shared_ptr<const MimeText> text, std::string_view from,
                    std::vector<std::string> recipients, Clock::time_point deadline);

    // Ends the running transaction from any thread; safe at any time.
    void abort();

    // Says QUIT when connected and drops the connection; safe in any state.
    void disconnect();

    bool connected() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace mail
