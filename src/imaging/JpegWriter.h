#pragma once

#include "base/Error.h"
#include "imaging/ImageWriter.h"
#include "imaging/PageBitmap.h"

#include <cstddef>
#include <cstdint>
#include <memory>

namespace folioxa {

// The JPEG encoder refused the picture: "JPEG error #<libjpeg's message code>".
class EJPEG : public Error {
public:
    explicit EJPEG(const std::string& message) : Error(ErrorKind::Jpeg, message) {}
};

// Writes page bitmaps as baseline JFIF files (YCbCr 4:2:0, or one grey component, float DCT,
// the library's standard tables at the chosen quality). One writer serves a whole run.
class JpegWriter : public ImageWriter {
public:
    // One grey component (GreyOf) rather than colour.
    explicit JpegWriter(bool grey = false) : FGrey(grey) {}

    int CompressionQuality() const { return FCompressionQuality; }
    // 1 to 100; throws Error outside that range (the old value is kept).
    void SetCompressionQuality(int quality);

    // Encodes the page, then writes the whole stream to `sink` in one go. Throws EJPEG
    // ("JPEG error #41" for a side above 65500 pixels; nothing reaches the sink then),
    // EOutOfMemory, and what the sink throws.
    void Encode(const PageBitmap& bitmap, ByteSink& sink) override;

private:
    bool FGrey;
    int FCompressionQuality = 90;
    // The encoded stream: Size bytes used of a block of Capacity bytes, which the next page's
    // stream uses again. Not zeroed: every byte is written by libjpeg before it is read.
    struct Stream {
        std::unique_ptr<std::uint8_t[], FreeBuffer> Data;
        std::size_t Size = 0;
        std::size_t Capacity = 0;
    };
    Stream FEncoded;
};

} // namespace folioxa
