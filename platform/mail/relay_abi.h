#pragma once

// The C interface of the relay module libSMTPServer.so. Plain C types only:
// the module and the program share no memory manager or string type.
//
//   SendMail(dnsHost, dnsTimeoutMs, fromAddress, fromName, to, subject,
//            bodyLines, bodyLineCount, html, attachments, attachmentCount,
//            errorText, errorTextSize) -> code
//
// Texts are zero-terminated UTF-8; bodyLines and attachments are arrays of
// such texts (either may be null with a count of 0). The error text is written
// into the caller's buffer, cut at a character boundary and always
// zero-terminated (nothing is written when errorTextSize is 0). Codes are
// those of platform/mail/relay.h: 0 sent, 4 no mail host, 5 recipient
// refused, others a failure described by the error text.
//
//   SetRelayOptions(dnsPort, smtpPort, connectTimeoutMs, deliverTimeoutMs)
// changes the ports (default 53 and 25) and deadlines (default 40 s and
// 30 s) for later calls of this process; a 0 keeps a value unchanged.

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef int32_t (*RelaySendMailFn)(const char* dns_host, uint16_t dns_timeout_ms,
                                   const char* from_address, const char* from_name, const char* to,
                                   const char* subject, const char* const* body_lines,
                                   size_t body_line_count, int html, const char* const* attachments,
                                   size_t attachment_count, char* error_text,
                                   size_t error_text_size);

typedef void (*RelaySetOptionsFn)(uint16_t dns_port, uint16_t smtp_port,
                                  uint32_t connect_timeout_ms, uint32_t deliver_timeout_ms);

#ifdef __cplusplus
}
#endif
