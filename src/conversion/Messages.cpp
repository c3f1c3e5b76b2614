#include "conversion/Messages.h"

namespace folioxa {

std::string DisplayText(const std::string& message) {
    // Compared as unsigned, so a message ending in a non-ASCII character gains a period too.
    if (!message.empty() && static_cast<unsigned char>(message.back()) > '.') {
        return message + ".";
    }
    return message;
}

} // namespace folioxa
