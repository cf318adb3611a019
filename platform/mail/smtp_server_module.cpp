// libSMTPServer.so: the relay module the program loads at run time.

#include <atomic>
#include <cstring>
#include <exception>

#include "platform/mail/relay.h"
#include "platform/mail/relay_abi.h"
#include "platform/mail/text_buffer.h"

namespace {

std::atomic<std::uint16_t> g_dns_port{53};
std::atomic<std::uint16_t> g_smtp_port{25};
std::atomic<std::uint32_t> g_connect_ms{40000};
std::atomic<std::uint32_t> g_deliver_ms{30000};

std::string Text(const char* text) {
    return text ? std::string(text) : std::string();
}

std::vector<std::string> Lines(const char* const* lines, size_t count) {
    std::vector<std::string> out;
    if (!lines)
        return out;
    for (size_t i = 0; i < count; ++i)
        out.push_back(Text(lines[i]));
    return out;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int32_t SendMail(
    const char* dns_host, uint16_t dns_timeout_ms, const char* from_address, const char* from_name,
    const char* to, const char* subject, const char* const* body_lines, size_t body_line_count,
    int html, const char* const* attachments, size_t attachment_count, char* error_text,
    size_t error_text_size) {
    mail::RelayResult result;
    try {
        mail::RelayRequest request;
        request.dns_host = Text(dns_host);
        request.dns_timeout_ms = dns_timeout_ms;
        request.from = {Text(from_name), Text(from_address)};
        request.to = Text(to);
        request.subject = Text(subject);
        request.body_lines = Lines(body_lines, body_line_count);
        request.html = html != 0;
        request.attachments = Lines(attachments, attachment_count);
        mail::RelayOptions options;
        options.dns_port = g_dns_port;
        options.smtp_port = g_smtp_port;
        options.connect_timeout = std::chrono::milliseconds(g_connect_ms.load());
        options.deliver_timeout = std::chrono::milliseconds(g_deliver_ms.load());
        result = mail::RelayMail(request, options);
    } catch (const std::exception& e) {
        result = {mail::kRelayFailed, e.what()};
    } catch (...) {
        result = {mail::kRelayFailed, "Unknown failure in the relay"};
    }
    mail::CopyToBuffer(result.text, error_text, error_text_size);
    return result.code;
}

extern "C" __attribute__((visibility("default"))) void SetRelayOptions(
    uint16_t dns_port, uint16_t smtp_port, uint32_t connect_timeout_ms,
    uint32_t deliver_timeout_ms) {
    if (dns_port)
        g_dns_port = dns_port;
    if (smtp_port)
        g_smtp_port = smtp_port;
    if (connect_timeout_ms)
        g_connect_ms = connect_timeout_ms;
    if (deliver_timeout_ms)
        g_deliver_ms = deliver_timeout_ms;
}
