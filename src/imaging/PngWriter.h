#pragma once

#include "imaging/ImageWriter.h"
#include "imaging/PixelRows.h"

#include <cstdint>
#include <vector>

namespace folioxa {

class PageBitmap;

// Writes page bitmaps as PNG files: every row Sub-filtered, one deflate stream (level 7) cut into
// IDAT chunks of 65535 bytes, no ancillary chunk. In colour 8-bit truecolour (colour type 2, or 6
// with alpha), in grey 8-bit greyscale (0, or 4 with alpha), in black and white greyscale of bit
// depth 1. One writer serves a run.
class PngWriter : public ImageWriter {
public:
    // Throws Error for a pair PixelsRefusal refuses.
    explicit PngWriter(PixelMode mode = PixelMode::Colour, bool alpha = false);

    // Throws Error for a picture without pixels.
    void Check(const PageBitmap& bitmap) const override;

    // Writes the file's chunks to `sink`, compressing the page anew (its fourth byte dropped
    // unless the writer keeps alpha).
    // Throws what Check throws, EOutOfMemory, and what the sink throws.
    void Encode(const PageBitmap& bitmap, ByteSink& sink) override;

private:
    Samples FSamples;

    // Signature, IHDR, IDAT chunks, IEND.
    void Write(const PageBitmap& bitmap, ByteSink& file);

    // Buffers one page's rows pass through, kept for the next page.
    std::vector<std::uint8_t> FRow;
    std::vector<std::uint8_t> FBatch;
};

} // namespace folioxa
