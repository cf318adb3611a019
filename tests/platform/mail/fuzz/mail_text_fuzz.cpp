// libFuzzer target for the mail texts read from outside: vCards from the contacts folder and
// HTML bodies of received mail. The first byte chooses the reader; the rest is the text. Any
// input must give a result: an exception, a crash or a sanitizer report is a fault.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/mail/outgoing_message.h"
#include "platform/mail/vcard.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
    if (data[0] % 2 == 0) {
        for (const mail::VCard& card : mail::ParseVCards(text)) {
            (void)card.full_name.size();
            (void)card.emails.size();
        }
    } else {
        (void)mail::HtmlToText(text).size();
    }
    return 0;
}
