#include "platform/mail/mx_lookup.h"

#include <arpa/inet.h>
#include <arpa/nameser.h>
#include <netdb.h>
#include <netinet/in.h>
#include <resolv.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>
#include <memory>

namespace mail {

namespace {

// One resolver state aimed at one server; res_nclose on the way out.
class Resolver {
  public:
    explicit Resolver(const DnsServer& server) {
        std::memset(&state_, 0, sizeof state_);
        if (res_ninit(&state_) != 0) {
            error_ = "The resolver cannot be initialised";
            return;
        }
        ready_ = true;
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(server.port);
        if (inet_pton(AF_INET, server.host.c_str(), &address.sin_addr) != 1) {
            addrinfo hints{};
            hints.ai_family = AF_INET;
            addrinfo* found = nullptr;
            if (server.host.empty() ||
                getaddrinfo(server.host.c_str(), nullptr, &hints, &found) != 0 || !found) {
                error_ = "The DNS server \"" + server.host + "\" cannot be found";
                return;
            }
            address.sin_addr = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr;
            freeaddrinfo(found);
        }
        state_.nscount = 1;
        state_.nsaddr_list[0] = address;
        const auto ms = std::max<std::int64_t>(server.timeout.count(), 1);
        state_.retrans = static_cast<int>(std::max<std::int64_t>(1, (ms + 999) / 1000));
        state_.retry = 1;
        // Only the name asked for: no search list, no local domain appended.
        state_.options &= ~static_cast<unsigned long>(RES_DEFNAMES | RES_DNSRCH);
        usable_ = true;
    }
    ~Resolver() {
        if (ready_)
            res_nclose(&state_);
    }
    Resolver(const Resolver&) = delete;
    Resolver& operator=(const Resolver&) = delete;

    bool usable() const { return usable_; }
    const std::string& error() const { return error_; }

    // The answer section's records of `type`, or the resolver's h_errno.
    struct Answer {
        int h_errno_value = 0;
        std::vector<ns_rr> records;
        std::vector<unsigned char> packet;
    };
    Answer Query(const std::string& name, ns_type type) {
        Answer answer;
        answer.packet.resize(65536);
        const int length = res_nquery(&state_, name.c_str(), ns_c_in, type, answer.packet.data(),
                                      static_cast<int>(answer.packet.size()));
        if (length < 0) {
            answer.h_errno_value = state_.res_h_errno;
            return answer;
        }
        answer.packet.resize(static_cast<std::size_t>(length));
        ns_msg message;
        if (ns_initparse(answer.packet.data(), length, &message) != 0) {
            answer.h_errno_value = NO_RECOVERY;
            return answer;
        }
        for (int i = 0; i < ns_msg_count(message, ns_s_an); ++i) {
            ns_rr record;
            if (ns_parserr(&message, ns_s_an, i, &record) == 0 && ns_rr_type(record) == type) {
                answer.records.push_back(record);
            }
        }
        if (answer.records.empty())
            answer.h_errno_value = NO_DATA;
        return answer;
    }

    std::vector<std::string> Addresses(const std::string& name, int& failure) {
        std::vector<std::string> addresses;
        failure = 0;
        for (ns_type type : {ns_t_a, ns_t_aaaa}) {
            Answer answer = Query(name, type);
            if (answer.h_errno_value == TRY_AGAIN)
                failure = TRY_AGAIN;
            for (const auto& record : answer.records) {
                char text[INET6_ADDRSTRLEN] = {};
                const int family = type == ns_t_a ? AF_INET : AF_INET6;
                const std::size_t size = type == ns_t_a ? 4 : 16;
                if (ns_rr_rdlen(record) == size &&
                    inet_ntop(family, ns_rr_rdata(record), text, sizeof text)) {
                    addresses.emplace_back(text);
                }
            }
        }
        return addresses;
    }

  private:
    struct __res_state state_;
    bool ready_ = false;
    bool usable_ = false;
    std::string error_;
};

MailHostLookup Fail(LookupStatus status, std::string text) {
    return MailHostLookup{status, {}, std::move(text)};
}

}  // namespace

MailHostLookup LookupMailHosts(std::string_view domain_view, const DnsServer& server) {
    const std::string domain(domain_view);
    if (domain.empty() || domain.size() > 253 ||
        domain.find_first_of(" \t\r\n\\") != std::string::npos) {
        return Fail(LookupStatus::kNoMailHost, "\"" + domain + "\" is not a domain name");
    }
    auto resolver = std::make_unique<Resolver>(server);
    if (!resolver->usable())
        return Fail(LookupStatus::kFailed, resolver->error());

    auto mx = resolver->Query(domain, ns_t_mx);
    if (mx.h_errno_value == HOST_NOT_FOUND) {
        return Fail(LookupStatus::kNoMailHost, "The domain " + domain + " does not exist");
    }
    if (mx.h_errno_value == TRY_AGAIN) {
        return Fail(LookupStatus::kTimedOut,
                    "The DNS server " + server.host + " did not answer for " + domain);
    }
    if (mx.h_errno_value != 0 && mx.h_errno_value != NO_DATA) {
        return Fail(LookupStatus::kFailed, "The DNS server " + server.host + " refused the query");
    }

    MailHostLookup result;
    if (!mx.records.empty()) {
        ns_msg message;
        ns_initparse(mx.packet.data(), static_cast<int>(mx.packet.size()), &message);
        std::vector<MailHost> hosts;
        for (const auto& record : mx.records) {
            if (ns_rr_rdlen(record) < 3)
                continue;
            MailHost host;
            host.preference = ns_get16(ns_rr_rdata(record));
            char name[NS_MAXDNAME] = {};
            if (dn_expand(ns_msg_base(message), ns_msg_end(message), ns_rr_rdata(record) + 2, name,
                          sizeof name) < 0) {
                continue;
            }
            host.name = name;
            hosts.push_back(std::move(host));
        }
        // A "null MX" (RFC 7505) says the domain takes no mail.
        if (hosts.size() == 1 && (hosts[0].name.empty() || hosts[0].name == ".")) {
            return Fail(LookupStatus::kNoMailHost, "The domain " + domain + " accepts no mail");
        }
        std::stable_sort(hosts.begin(), hosts.end(), [](const MailHost& a, const MailHost& b) {
            return a.preference < b.preference;
        });
        bool timed_out = false;
        for (auto& host : hosts) {
            int failure = 0;
            host.addresses = resolver->Addresses(host.name, failure);
            timed_out = timed_out || failure == TRY_AGAIN;
            if (!host.addresses.empty())
                result.hosts.push_back(std::move(host));
        }
        if (result.hosts.empty()) {
            return timed_out ? Fail(LookupStatus::kTimedOut, "The DNS server " + server.host +
                                                                 " did not answer for the mail "
                                                                 "hosts of " +
                                                                 domain)
                             : Fail(LookupStatus::kNoMailHost,
                                    "The mail hosts of " + domain + " have no address");
        }
        return result;
    }

    int failure = 0;
    MailHost self;
    self.name = domain;
    self.addresses = resolver->Addresses(domain, failure);
    if (self.addresses.empty()) {
        return failure == TRY_AGAIN
                   ? Fail(LookupStatus::kTimedOut,
                          "The DNS server " + server.host + " did not answer for " + domain)
                   : Fail(LookupStatus::kNoMailHost, "The domain " + domain + " has no mail host");
    }
    result.hosts.push_back(std::move(self));
    return result;
}

}  // namespace mail
