#pragma once

// What the layer's vmime users share: one-time set-up, deadlines that vmime's
// sockets obey, and certificate checking. Internal to platform/mail.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include <vmime/contentDispositionField.hpp>
#include <vmime/contentTypeField.hpp>
#include <vmime/net/smtp/SMTPExceptions.hpp>
#include <vmime/platforms/posix/posixHandler.hpp>
#include <vmime/vmime.hpp>

#include "platform/mail/outgoing_message.h"

namespace mail::detail {

// Installs vmime's POSIX platform handler once per process.
void EnsureVmime();

// The deadline and abort switch one operation runs under. vmime's sockets ask
// the time-out handler while they wait, so setting either ends the wait.
class Deadline {
  public:
    void Set(std::chrono::steady_clock::time_point when) {
        std::lock_guard lock(mutex_);
        when_ = when;
    }
    void Abort() { aborted_ = true; }
    void Reset() { aborted_ = false; }
    bool Aborted() const { return aborted_; }
    bool Passed() const {
        if (aborted_)
            return true;
        std::lock_guard lock(mutex_);
        return std::chrono::steady_clock::now() >= when_;
    }

  private:
    mutable std::mutex mutex_;
    std::chrono::steady_clock::time_point when_ = std::chrono::steady_clock::time_point::max();
    std::atomic<bool> aborted_{false};
};

// Hands vmime time-out handlers that watch a shared Deadline.
std::shared_ptr<vmime::net::timeoutHandlerFactory> MakeTimeoutFactory(
    std::shared_ptr<Deadline> deadline);

// Sockets that hold what the client writes until it next reads, so a
// command or a message goes out in as few segments as possible. vmime writes
// a message's body and its closing dot in two calls; on a plain socket the
// second waits for the server's delayed acknowledgement (some 40 ms) and
// caps a mail-out at a couple of dozen messages a second.
std::shared_ptr<vmime::net::socketFactory> MakeCoalescingSocketFactory();

// Accepts any certificate: for opportunistic STARTTLS, where the alternative
// would be plain text anyway.
std::shared_ptr<vmime::security::cert::certificateVerifier> AcceptAnyCertificate();

// Checks the chain against the system's root certificates.
std::shared_ptr<vmime::security::cert::certificateVerifier> SystemCertificateVerifier();

// A mailbox as the message's headers carry it: a display name beyond ASCII as
// encoded words of whole characters.
vmime::shared_ptr<vmime::mailbox> ToVmime(const Mailbox& box);

// Throws EMailError for an address or display name no header can carry.
void CheckMailbox(const Mailbox& box);

// Text with CRLF line ends whatever it had.
std::string NormalizeLineEnds(std::string_view text);

// A vmime exception's message with the server's response, when it has one.
std::string DescribeVmimeError(const vmime::exception& e);

// A server as failures name it: "SMTP server mail.example.org:587".
struct ServerName {
    std::string_view kind;  // "SMTP", "IMAP"
    std::string host;
    std::uint16_t port = 0;
    std::string Label() const;
};

// The text a failure already had, followed by its cause in plain words.
std::string WithCause(std::string_view text, std::string_view cause);

// The causes failures are told with, each a sentence naming the server.
std::string NoAnswerCause(const ServerName& server, std::chrono::milliseconds waited);
std::string LoginRefusedCause(const ServerName& server, std::string_view reply);
std::string UntrustedCertificateCause(const ServerName& server);
std::string RefusalCause(const ServerName& server, std::string_view reply);
// Why a connection could not be made. vmime's socket error names the wrong
// errno, so the port is tried once more, within `limit`, to tell a host where
// nothing listens from one that cannot be reached.
std::string UnreachableCause(const ServerName& server, std::chrono::milliseconds limit);

}  // namespace mail::detail
