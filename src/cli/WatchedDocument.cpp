#include "cli/WatchedDocument.h"

namespace folioxa {

void TWatchedDocument::SetActive(bool active) {
    try {
        FDocument.SetActive(active);
    } catch (...) {
        FOpenFailed = active;
        throw;
    }
}

} // namespace folioxa
