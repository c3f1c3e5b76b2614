#pragma once

#include "pool/Wire.h"

#include <sys/socket.h>

#include <string>

namespace folioxa::testing {

// `bytes` onto `socket` with `count` copies of descriptor `file` riding on them (at most 8);
// false when the socket refuses them.
bool SendWithDescriptors(int socket, const std::string& bytes, int file, int count,
                         int flags = MSG_NOSIGNAL);

// Both ends of a page worker's socket in this process, and a raw way into the parent's end: a
// worker that writes what it likes, descriptors included.
class TWirePair {
public:
    TWirePair();

    // Puts both ends in `stage` by the exchange that leads there (entry 7, document 0); the
    // worker's end has read every frame the parent sent.
    void Reach(WireStage stage);
    // `bytes` into the parent's end, `files` descriptors (of /dev/null) riding on them. False when
    // the socket takes no more.
    bool SendRaw(const std::string& bytes, int files = 0);
    // Nothing more comes from the worker: the parent's end reads to the end without blocking.
    void CloseWorker();

    Channel Parent;
    Channel Worker;

private:
    FileDescriptor FRaw; // the worker's end once more
};

} // namespace folioxa::testing
