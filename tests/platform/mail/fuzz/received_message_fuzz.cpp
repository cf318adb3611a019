// libFuzzer target for received mail: any bytes are parsed as a message.
// Whatever can be read is kept; no input may crash the parser, overflow a date
// or trip a sanitizer.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/mail/received_message.h"

// vmime 0.9.2 keeps some ICU converters it opens for a message's charsets;
// the leak is inside the library, as the mail tests note.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libvmime.so\n";
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view raw(reinterpret_cast<const char*>(data), size);
    const mail::ReceivedMessage message = mail::ParseMessage(raw);
    if (message.sent_on)
        (void)message.sent_on->time_since_epoch().count();
    return 0;
}
