#pragma once

#include "imaging/ByteSink.h"
#include "imaging/ImageWriter.h"

#include <cstdint>
#include <vector>

namespace folioxa {

class PageBitmap;

// Writes page bitmaps as 8-bit RGB TIFF files: one image in strips, each strip Deflate-compressed
// after the horizontal predictor; no resolution is recorded. One writer serves a run.
class TiffWriter : public ImageWriter {
public:
    TiffWriter() = default;

    // Throws Error for a picture without pixels.
    void Check(const PageBitmap& bitmap) const override;

    // Encodes the page (its fourth byte dropped) in memory, then writes the whole file to `sink`
    // in one go. Throws Error "TIFF error: <libtiff's text>", EOutOfMemory, and what the sink
    // throws; nothing reaches the sink when the encoding fails.
    void Encode(const PageBitmap& bitmap, ByteSink& sink) override;

private:
    // Both kept for the next page.
    MemorySink FFile;                 // the file as libtiff lays it out, seeking back and forth
    std::vector<std::uint8_t> FStrip; // one strip of red, green, blue rows
};

} // namespace folioxa
