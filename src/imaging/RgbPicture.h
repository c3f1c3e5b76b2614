#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace folioxa {

class PageBitmap;

// A writer's own copy of a page: red, green, blue per pixel (the bitmap's fourth byte dropped),
// rows top first and exactly 3 * Width bytes apart.
class RgbPicture {
public:
    // Replaces the picture with the bitmap's pixels. Throws EOutOfMemory when the copy cannot be
    // had; the picture is empty then.
    void Assign(const PageBitmap& bitmap);

    int Width() const { return FWidth; }
    int Height() const { return FHeight; }
    std::size_t RowBytes() const { return static_cast<std::size_t>(FWidth) * 3; }
    const std::uint8_t* Row(int row) const {
        return FPixels.data() + RowBytes() * static_cast<std::size_t>(row);
    }

private:
    int FWidth = 0;
    int FHeight = 0;
    std::vector<std::uint8_t> FPixels;
};

} // namespace folioxa
