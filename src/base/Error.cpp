#include "base/Error.h"

#include <new>

namespace folioxa {

ErrorKind KindOf(const std::exception& error) {
    if (const auto* own = dynamic_cast<const Error*>(&error)) {
        return own->Kind();
    }
    return dynamic_cast<const std::bad_alloc*>(&error) != nullptr ? ErrorKind::OutOfMemory
                                                                  : ErrorKind::Other;
}

} // namespace folioxa
