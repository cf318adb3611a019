#include "platform/mail/relay.h"

#include <algorithm>

#include "platform/mail/mail_error.h"
#include "platform/mail/mx_lookup.h"
#include "platform/mail/smtp_session.h"

namespace mail {

RelayResult RelayMail(const RelayRequest& request, const RelayOptions& options) {
    OutgoingMessage message;
    try {
        CheckEnvelopeAddress(request.to);
        CheckEnvelopeAddress(request.from.address);
        message.from = request.from;
        message.to = {{"", request.to}};
        message.subject = request.subject;
        for (std::size_t i = 0; i < request.body_lines.size(); ++i) {
            if (i)
                message.body += "\r\n";
            message.body += request.body_lines[i];
        }
        message.html = request.html;
        for (const auto& path : request.attachments) {
            message.attachments.push_back({FileNamePart(path), path, {}, {}});
        }
        ComposeMime(message);  // refuses bad values before any network traffic
    } catch (const EMailError& e) {
        return {kRelayBadRequest, e.what()};
    }

    const std::string domain = request.to.substr(request.to.rfind('@') + 1);
    const MailHostLookup lookup = LookupMailHosts(
        domain, DnsServer{request.dns_host, options.dns_port,
                          std::chrono::milliseconds(std::max<int>(request.dns_timeout_ms, 1))});
    switch (lookup.status) {
        case LookupStatus::kOk:
            break;
        case LookupStatus::kNoMailHost:
            return {kRelayNoMailHost, lookup.text};
        case LookupStatus::kTimedOut:
            return {kRelayDnsFailed, lookup.text};
        case LookupStatus::kFailed:
            return {kRelayDnsFailed, lookup.text};
    }

    std::string last_error = "No mail host of " + domain + " could be reached";
    for (const auto& host : lookup.hosts) {
        for (const auto& address : host.addresses) {
            SmtpSession session;
            SmtpResult result =
                session.connect(address, options.smtp_port, "",
                                SmtpSession::Clock::now() + options.connect_timeout);
            if (!result.ok()) {
                last_error = host.name + " (" + address + "): " + result.text;
                continue;
            }
            result = session.send(message, SmtpSession::Clock::now() + options.deliver_timeout);
            session.disconnect();
            if (result.ok())
                return {kRelaySent, {}};
            if (result.status == SmtpStatus::kRefused && result.command.rfind("RCPT", 0) == 0) {
                return {kRelayRefused, host.name + " refused " + request.to + ": " + result.text};
            }
            last_error = host.name + " (" + address + "): " + result.text;
            if (result.status == SmtpStatus::kRefused)
                return {kRelayFailed, last_error};
        }
    }
    return {kRelayFailed, last_error};
}

}  // namespace mail
