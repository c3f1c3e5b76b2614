#pragma once

#include "imaging/ImageWriter.h"

#include <cstdint>
#include <vector>

namespace folioxa {

class PageBitmap;

// Writes page bitmaps as 8-bit truecolour PNG files: every row Sub-filtered, one deflate stream
// (level 7) cut into IDAT chunks of 65535 bytes, no ancillary chunk. One writer serves a run.
class PngWriter : public ImageWriter {
public:
    PngWriter() = default;

    // Throws Error for a picture without pixels.
    void Check(const PageBitmap& bitmap) const override;

    // Writes the file's chunks to `sink`, compressing the page anew (its fourth byte dropped).
    // Throws what Check throws, EOutOfMemory, and what the sink throws.
    void Encode(const PageBitmap& bitmap, ByteSink& sink) override;

private:
    // Signature, IHDR, IDAT chunks, IEND.
    void Write(const PageBitmap& bitmap, ByteSink& file);

    // Buffers one page's rows pass through, kept for the next page.
    std::vector<std::uint8_t> FRow;
    std::vector<std::uint8_t> FBatch;
};

} // namespace folioxa
