#include "imaging/RgbPicture.h"

#include "imaging/Error.h"
#include "imaging/PageBitmap.h"

#include <new>
#include <string>

namespace folioxa {

void RgbPicture::Assign(const PageBitmap& bitmap) {
    const int width = bitmap.Width();
    const int height = bitmap.Height();
    FWidth = FHeight = 0;
    try {
        FPixels.resize(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 3);
    } catch (const std::bad_alloc&) {
        FPixels = {};
        throw EOutOfMemory("Out of memory for a copy of a page of " + std::to_string(width) +
                           " x " + std::to_string(height) + " pixels");
    }
    FWidth = width;
    FHeight = height;
    std::uint8_t* out = FPixels.data();
    for (int row = 0; row < height; ++row) {
        const std::uint8_t* in = bitmap.ScanLine(row);
        for (int x = 0; x < width; ++x, in += 4, out += 3) {
            out[0] = in[2];
            out[1] = in[1];
            out[2] = in[0];
        }
    }
}

} // namespace folioxa
