#include "imaging/ByteSink.h"

#include "base/Error.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace folioxa {

void ByteSink::WritePieces(const Piece* pieces, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        Write(pieces[i].Data, pieces[i].Size);
    }
}

void MemorySink::Free::operator()(std::uint8_t* block) const {
    std::free(block);
}

void MemorySink::WriteAt(std::size_t offset, const void* data, std::size_t size) {
    const std::size_t end = offset + size;
    if (end < offset) {
        throw EOutOfMemory("Out of memory for an image file");
    }
    if (end > FCapacity) {
        const std::size_t capacity = std::max({end, FCapacity * 2, std::size_t{1} << 16});
        // Not zeroed: every byte below FSize is written before it is read.
        void* block = std::realloc(FData.get(), capacity);
        if (block == nullptr) {
            throw EOutOfMemory("Out of memory for an image file of " + std::to_string(end) +
                               " bytes");
        }
        (void)FData.release(); // realloc moved or kept the block
        FData.reset(static_cast<std::uint8_t*>(block));
        FCapacity = capacity;
    }
    if (offset > FSize) {
        std::memset(FData.get() + FSize, 0, offset - FSize);
    }
    if (size > 0) {
        std::memcpy(FData.get() + offset, data, size);
    }
    FSize = std::max(FSize, end);
}

} // namespace folioxa
