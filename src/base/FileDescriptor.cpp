#include "base/FileDescriptor.h"

#include <unistd.h>

#include <cerrno>

namespace folioxa {

void FileDescriptor::Reset(int fd) {
    if (FFd >= 0 && FFd != fd) {
        ::close(FFd);
    }
    FFd = fd;
}

bool WriteAll(int fd, const void* data, std::size_t size) {
    const auto* next = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t written = ::write(fd, next, size);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        next += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

} // namespace folioxa
