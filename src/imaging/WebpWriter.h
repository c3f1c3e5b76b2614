#pragma once

#include "imaging/ByteSink.h"
#include "imaging/ImageWriter.h"
#include "imaging/PageBitmap.h"

#include <cstddef>
#include <cstdint>
#include <memory>

namespace folioxa {

// Writes page bitmaps as WebP files through libwebp: lossless unless a lossy quality is set.
// Grey is stored as red = green = blue = GreyOf; with alpha the fourth byte is written as
// straight alpha, as the engine draws it, else every pixel is opaque. One writer serves a run.
class WebpWriter : public ImageWriter {
public:
    explicit WebpWriter(bool grey = false, bool alpha = false) : FGrey(grey), FAlpha(alpha) {}

    // Lossy at `quality`, 1 to 100, from now on. Throws Error outside that range (the writer
    // then stays as it was).
    void SetLossyQuality(int quality);
    // 0 while lossless.
    int LossyQuality() const { return FLossyQuality; }

    // Throws Error for a picture without pixels or with a side above 16383 pixels, the most a
    // WebP file holds.
    void Check(const PageBitmap& bitmap) const override;

    // Encodes the page in memory, then writes the whole file to `sink` in one go. Throws Error
    // "WebP error #<libwebp's error code>", EOutOfMemory, and what the sink throws; nothing
    // reaches the sink when the encoding fails.
    void Encode(const PageBitmap& bitmap, ByteSink& sink) override;

private:
    bool FGrey;
    bool FAlpha;
    int FLossyQuality = 0;
    // Both kept for the next page: the picture as libwebp takes it (one alpha, red, green, blue
    // word a pixel; libwebp may change it while encoding) and the encoded file.
    std::unique_ptr<std::uint32_t[], FreeBuffer> FPicture;
    std::size_t FPictureCapacity = 0;
    MemorySink FFile;
};

} // namespace folioxa
