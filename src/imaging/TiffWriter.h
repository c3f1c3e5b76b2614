#pragma once

#include "imaging/ByteSink.h"
#include "imaging/ImageWriter.h"
#include "imaging/PixelRows.h"

#include <cstdint>
#include <vector>

namespace folioxa {

class PageBitmap;

// Writes page bitmaps as TIFF files, one image, no resolution recorded. Colour is 8-bit RGB and
// grey 8-bit min-is-black, each with an unassociated alpha sample when alpha is kept, in strips
// Deflate-compressed after the horizontal predictor. Black and white is one bit a pixel,
// min-is-white, CCITT Group 4 in a single strip, as fax and scanner software reads it. One
// writer serves a run.
class TiffWriter : public ImageWriter {
public:
    // Throws Error for a pair PixelsRefusal refuses.
    explicit TiffWriter(PixelMode mode = PixelMode::Colour, bool alpha = false);

    // Throws Error for a picture without pixels.
    void Check(const PageBitmap& bitmap) const override;

    // Encodes the page (its fourth byte dropped unless alpha is kept) in memory, then writes the
    // whole file to `sink` in one go. Throws Error "TIFF error: <libtiff's text>", EOutOfMemory,
    // and what the sink throws; nothing reaches the sink when the encoding fails.
    void Encode(const PageBitmap& bitmap, ByteSink& sink) override;

private:
    Samples FSamples;
    // Both kept for the next page.
    MemorySink FFile;                 // the file as libtiff lays it out, seeking back and forth
    std::vector<std::uint8_t> FStrip; // one strip of rows in the file's samples
};

} // namespace folioxa
