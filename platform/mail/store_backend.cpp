#include "platform/mail/store_backend.h"
#include "platform/nls/text.h"

#include <cctype>

namespace mail {

bool SameFolderName(std::string_view a, std::string_view b) {
    return platform::nls::SameTextAscii(a, b);
}

}  // namespace mail
