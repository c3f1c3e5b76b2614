#pragma once

#include <sys/uio.h>

#include <cstddef>

namespace folioxa {

// Moves past the first `done` bytes of the `count` pieces from `next` that a short writev or
// sendmsg took: the pieces sent whole are skipped, and the first one left starts where the
// system stopped.
void SkipSent(iovec*& next, std::size_t& count, std::size_t done);

} // namespace folioxa
