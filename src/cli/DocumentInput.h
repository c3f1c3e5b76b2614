#pragma once

#include "base/FileDescriptor.h"

#include <cstdint>
#include <memory>
#include <string>

namespace folioxa {

// What folioxa-convert keeps in memory at most of a document read from stdin, a pipe or a
// device: 4 GiB, or half the memory the system can still give when that is less, so that an
// endless stream ends with a message instead of with the machine's memory.
std::uint64_t SpoolLimit();

// The open file a document is read from when its name cannot simply be opened again by every
// worker: "-" (read from `stdinFd`), or a pipe, device or socket such as /dev/stdin, read once.
// A regular file among these is shared as it is. Anything else is copied into an unnamed memory
// file that the workers share, and refused as "File not in PDF format or corrupted" as soon as
// its first 1024 bytes lack "%PDF-", and once it passes `spoolLimit` bytes. Null for every other
// name, which the engine opens (and reports on) itself. Throws EOpenError, with a message of its
// own for a folder.
std::shared_ptr<FileDescriptor> SharedInput(const std::string& name, int stdinFd,
                                            std::uint64_t spoolLimit);

} // namespace folioxa
