#include "platform/mail/mail_settings.h"

#include <algorithm>

#include "platform/mail/mail_error.h"

namespace mail {

std::uint16_t CheckedPort(std::int64_t value) {
    if (value < 1 || value > 65535) {
        throw EMailError("Invalid port " + std::to_string(value) + ": a port is 1 to 65535");
    }
    return static_cast<std::uint16_t>(value);
}

std::uint16_t DnsTimeoutMilliseconds(std::int64_t stored_milliseconds) {
    return static_cast<std::uint16_t>(std::clamp<std::int64_t>(stored_milliseconds, 0, 65000));
}

}  // namespace mail
