#include "imaging/PageBitmap.h"

#include "imaging/Error.h"

#include <new>

namespace folioxa {

void PageBitmap::SetSize(int width, int height) {
    if (width < 0 || height < 0) {
        throw Error("Invalid bitmap size");
    }
    const auto bytes = static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4;
    std::vector<std::uint8_t> pixels;
    try {
        pixels.resize(bytes);
    } catch (const std::bad_alloc&) {
        throw EOutOfMemory("Out of memory for a page bitmap of " + std::to_string(width) + " x " +
                           std::to_string(height) + " pixels");
    }
    FPixels = std::move(pixels);
    FWidth = width;
    FHeight = height;
}

std::uint8_t* PageBitmap::ScanLine(int row) {
    return const_cast<std::uint8_t*>(static_cast<const PageBitmap&>(*this).ScanLine(row));
}

const std::uint8_t* PageBitmap::ScanLine(int row) const {
    if (row < 0 || row >= FHeight) {
        throw Error("Scan line index out of range");
    }
    return FPixels.data() + static_cast<std::size_t>(row) * RowBytes();
}

} // namespace folioxa
