#pragma once

// Direct delivery to the recipient's own mail host: the work behind the
// relay module's SendMail.

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/mail/outgoing_message.h"

namespace mail {

// Result codes of the relay (the relay module's SendMail returns them).
inline constexpr std::int32_t kRelaySent = 0;
inline constexpr std::int32_t kRelayFailed = 1;      // no host took the message (see text)
inline constexpr std::int32_t kRelayBadRequest = 2;  // an address, header or attachment is bad
inline constexpr std::int32_t kRelayDnsFailed = 3;   // the DNS server did not answer
inline constexpr std::int32_t kRelayNoMailHost = 4;  // no such domain, or it has no mail host
inline constexpr std::int32_t kRelayRefused = 5;     // the host refused the recipient (5xx)

struct RelayRequest {
    std::string dns_host;
    std::uint16_t dns_timeout_ms = 6000;
    Mailbox from;
    std::string to;
    std::string subject;
    std::vector<std::string> body_lines;
    bool html = false;
    std::vector<std::string> attachments;  // paths
};

// Where and how long the relay talks; tests point the ports at loopback peers.
struct RelayOptions {
    std::uint16_t dns_port = 53;
    std::uint16_t smtp_port = 25;
    std::chrono::milliseconds connect_timeout{40000};
    std::chrono::milliseconds deliver_timeout{30000};
};

struct RelayResult {
    std::int32_t code = kRelaySent;
    std::string text;
};

// Looks up the recipient's mail hosts and offers the message to each in
// preference order (with STARTTLS when offered) until one takes it or refuses
// the recipient. Never throws.
RelayResult RelayMail(const RelayRequest& request, const RelayOptions& options);

}  // namespace mail
