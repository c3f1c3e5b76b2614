#include "base/IoVector.h"

namespace folioxa {

void SkipSent(iovec*& next, std::size_t& count, std::size_t done) {
    while (count > 0 && done >= next->iov_len) {
        done -= next->iov_len;
        ++next;
        --count;
    }
    if (count > 0) {
        next->iov_base = static_cast<char*>(next->iov_base) + done;
        next->iov_len -= done;
    }
}

} // namespace folioxa
