#include "imaging/FileDescriptor.h"

#include <unistd.h>

namespace folioxa {

void FileDescriptor::Reset(int fd) {
    if (FFd >= 0 && FFd != fd) {
        ::close(FFd);
    }
    FFd = fd;
}

} // namespace folioxa
