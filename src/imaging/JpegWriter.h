#pragma once

#include "imaging/Error.h"
#include "imaging/ImageWriter.h"
#include "imaging/PageBitmap.h"
#include "imaging/RgbPicture.h"

#include <cstddef>
#include <cstdint>
#include <memory>

namespace folioxa {

// The JPEG encoder refused the picture: "JPEG error #<libjpeg's message code>".
class EJPEG : public Error {
public:
    using Error::Error;
};

// Writes page bitmaps as baseline JFIF files (YCbCr 4:2:0, float DCT, the library's standard
// tables at the chosen quality). One writer serves a whole run.
class JpegWriter : public ImageWriter {
public:
    JpegWriter() = default;

    int CompressionQuality() const { return FCompressionQuality; }
    // 1 to 100; throws Error outside that range (the old value is kept).
    void SetCompressionQuality(int quality);

    // Takes the writer's own copy of the picture and drops what was encoded before.
    // Throws EOutOfMemory when the copy cannot be had.
    void Assign(const PageBitmap& bitmap) override;

    // Creates the file first, encodes the picture unless it already was since the last Assign,
    // then writes the stream in one go. Throws EFCreateError, EJPEG (the file stays empty),
    // EOutOfMemory, EWriteError.
    void SaveToFile(const std::string& path) override;

private:
    void Encode();

    int FCompressionQuality = 90;
    RgbPicture FPicture;
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
