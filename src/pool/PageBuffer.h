#pragma once

#include "base/FileDescriptor.h"

#include <cstddef>
#include <cstdint>
#include <functional>

namespace folioxa {

// The memory a worker draws a page into: shared memory the parent makes, sealed so that its size
// is fixed (the worker can neither shrink it under the parent's reading nor grow it), mapped here
// for reading. A worker keeps it from page to page, so that its pages are faulted in once.
class TPageBuffer {
public:
    // At least `bytes` bytes. Throws EOutOfMemory when the system refuses.
    explicit TPageBuffer(std::size_t bytes);
    ~TPageBuffer();
    TPageBuffer(const TPageBuffer&) = delete;
    TPageBuffer& operator=(const TPageBuffer&) = delete;

    int Fd() const { return FFile.Get(); }
    std::size_t Size() const { return FSize; }
    // The pixels as the worker left them.
    const std::uint8_t* Pixels() const { return FPixels; }

private:
    FileDescriptor FFile;
    std::size_t FSize = 0;
    std::uint8_t* FPixels = nullptr;
};

// The worker's mapping of the page buffer it was given last; the descriptor is closed once
// mapped, the mapping stays until the next buffer replaces it.
class TPageMapping {
public:
    TPageMapping() = default;
    ~TPageMapping();
    TPageMapping(const TPageMapping&) = delete;
    TPageMapping& operator=(const TPageMapping&) = delete;

    // Maps `buffer` for writing, every page of it faulted in at once, in place of the one before;
    // `beforeMapping` is told its size once the one before is gone. Throws Error when it cannot be
    // mapped.
    void Replace(FileDescriptor buffer,
                 const std::function<void(std::uint64_t bytes)>& beforeMapping = {});
    std::uint8_t* Pixels() const { return FPixels; }
    std::size_t Size() const { return FSize; }

private:
    void Unmap();

    std::uint8_t* FPixels = nullptr;
    std::size_t FSize = 0;
};

} // namespace folioxa
