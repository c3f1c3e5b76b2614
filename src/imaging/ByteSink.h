#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace folioxa {

// Where a writer puts the bytes of one image file: the output file itself, or memory on the way
// to it. Every Write is complete or throws.
class ByteSink {
public:
    // A run of bytes for WritePieces.
    struct Piece {
        const void* Data;
        std::size_t Size;
    };

    virtual ~ByteSink() = default;
    virtual void Write(const void* data, std::size_t size) = 0;
    // The pieces in order, as one Write of their bytes joined would be.
    virtual void WritePieces(const Piece* pieces, std::size_t count);
};

// Bytes gathered in one growing block.
class MemorySink : public ByteSink {
public:
    void Write(const void* data, std::size_t size) override { WriteAt(FSize, data, size); }
    // Writes `size` bytes at `offset`, over what is there or beyond the end; a gap between the
    // end and `offset` is filled with zeros. Throws EOutOfMemory.
    void WriteAt(std::size_t offset, const void* data, std::size_t size);
    const std::uint8_t* Data() const { return FData.get(); }
    std::size_t Size() const { return FSize; }
    // Forgets the bytes but keeps the block for the next file.
    void Clear() { FSize = 0; }

private:
    struct Free {
        void operator()(std::uint8_t* block) const;
    };
    std::unique_ptr<std::uint8_t[], Free> FData;
    std::size_t FSize = 0;
    std::size_t FCapacity = 0;
};

} // namespace folioxa
