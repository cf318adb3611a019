#pragma once

// Finding the mail hosts of a domain at a given DNS server.

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace mail {

struct DnsServer {
    std::string host;  // an IPv4 address or a name the system resolves
    std::uint16_t port = 53;
    std::chrono::milliseconds timeout{6000};
};

struct MailHost {
    std::string name;
    std::uint16_t preference = 0;
    std::vector<std::string> addresses;  // IPv4 and IPv6, as text
};

enum class LookupStatus {
    kOk,
    kNoMailHost,  // no such domain, or neither MX nor address records
    kTimedOut,    // the DNS server did not answer in time (or failed)
    kFailed,      // the DNS server cannot be used
};

struct MailHostLookup {
    LookupStatus status = LookupStatus::kOk;
    std::vector<MailHost> hosts;  // by preference; only hosts with an address
    std::string text;             // what went wrong
};

// The MX hosts of `domain` with their addresses; without MX records the
// domain's own address records stand in (RFC 5321 section 5.1).
MailHostLookup LookupMailHosts(std::string_view domain, const DnsServer& server);

}  // namespace mail
