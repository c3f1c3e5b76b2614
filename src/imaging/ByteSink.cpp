#include "imaging/ByteSink.h"

#include "imaging/Error.h"

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

void MemorySink::Write(const void* data, std::size_t size) {
    if (size > FCapacity - FSize) {
        const std::size_t capacity = std::max({FSize + size, FCapacity * 2, std::size_t{1} << 16});
        // Not zeroed: every byte below FSize is written before it is read.
        void* block = std::realloc(FData.get(), capacity);
        if (block == nullptr) {
            throw EOutOfMemory("Out of memory for an image file of " +
                               std::to_string(FSize + size) + " bytes");
        }
        (void)FData.release(); // realloc moved or kept the block
        FData.reset(static_cast<std::uint8_t*>(block));
        FCapacity = capacity;
    }
    if (size > 0) {
        std::memcpy(FData.get() + FSize, data, size);
        FSize += size;
    }
}

} // namespace folioxa
