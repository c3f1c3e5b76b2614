#pragma once

#include "imaging/ImageWriter.h"

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

namespace folioxa {

// The size of the BMP file of a width x height page at `bitsPerPixel` (32, 8 or 1: rows padded
// to 4 bytes, the palette of 8 and 1 bits included), or nothing when its pixel data would not
// fit the 32-bit size fields.
std::optional<std::uint32_t> BmpFileSize(int width, int height, int bitsPerPixel);

// Throws Error when such a file would not fit the 32-bit size fields.
void CheckBmpSize(int width, int height, int bitsPerPixel);

// The file header and BITMAPINFOHEADER of such a file: bottom-up rows, no compression, no
// resolution, the palette's entries counted. Throws what CheckBmpSize throws.
std::array<std::uint8_t, 54> BmpHeader(int width, int height, int bitsPerPixel);

// Writes page bitmaps as BMP files: in colour the page bitmap's own 32-bit file, in grey 8 bits
// a pixel with a palette of the 256 greys, in black and white 1 bit a pixel with the palette
// black, white. BMP holds no alpha. One writer serves a run.
class BmpWriter : public ImageWriter {
public:
    explicit BmpWriter(PixelMode mode) : FMode(mode) {}

    // Throws Error when the file would not fit BMP's 32-bit size fields.
    void Check(const PageBitmap& bitmap) const override;

    // Writes the file into `sink`, rows bottom first. Throws what Check throws, EOutOfMemory and
    // what the sink throws.
    void Encode(const PageBitmap& bitmap, ByteSink& sink) override;

private:
    int BitsPerPixel() const;

    PixelMode FMode;
    std::vector<std::uint8_t> FBatch; // rows on their way to the sink, kept for the next page
};

} // namespace folioxa
