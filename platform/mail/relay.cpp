#include "platform/mail/relay.h"

#include <algorithm>
#include <stdexcept>

#include "platform/mail/mail_error.h"
#include "platform/mail/mx_lookup.h"
#include "platform/mail/smtp_session.h"
#include "platform/mail/vmime_support.h"

namespace mail {

namespace {

bool Ascii(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](unsigned char c) { return c < 0x80; });
}

// The domain as DNS knows it: each label beyond ASCII in its IDNA form (vmime's
// converter takes one label at a time). Throws vmime::exception.
std::string DnsDomain(const std::string& domain) {
    if (Ascii(domain))
        return domain;
    detail::EnsureVmime();
    std::string ascii;
    std::size_t start = 0;
    for (;;) {
        const auto dot = std::min(domain.find('.', start), domain.size());
        const std::string label = domain.substr(start, dot - start);
        if (Ascii(label)) {
            ascii += label;
        } else {
            std::string converted;
            vmime::charset::convert(label, converted, vmime::charsets::UTF_8,
                                    vmime::charsets::IDNA);
            ascii += converted;
        }
        if (dot == domain.size())
            return ascii;
        ascii += '.';
        start = dot + 1;
    }
}

}  // namespace

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
        // Encoded once for every host the message is offered to.
        for (const auto& path : request.attachments) {
            Attachment attachment{FileNamePart(path), path, {}, {}};
            attachment.encoded = EncodeAttachment(attachment);
            message.attachments.push_back(std::move(attachment));
        }
        ComposeMimeText(message);  // refuses bad values before any network traffic
    } catch (const EMailError& e) {
        return {kRelayBadRequest, e.what()};
    }

    std::string domain = request.to.substr(request.to.rfind('@') + 1);
    try {
        domain = DnsDomain(domain);
    } catch (const vmime::exception& e) {
        return {kRelayBadRequest, "The domain " + domain + " cannot be looked up: " + e.what()};
    } catch (const std::logic_error& e) {
        return {kRelayBadRequest, "The domain " + domain + " cannot be looked up: " + e.what()};
    }

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
