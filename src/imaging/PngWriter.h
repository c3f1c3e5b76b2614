#pragma once

#include "imaging/ImageWriter.h"
#include "imaging/RgbPicture.h"

#include <cstdint>
#include <vector>

namespace folioxa {

class OutputFile;

// Writes page bitmaps as 8-bit truecolour PNG files: every row Sub-filtered, one deflate stream
// (level 7) cut into IDAT chunks of 65535 bytes, no ancillary chunk. One writer serves a run.
class PngWriter : public ImageWriter {
public:
    PngWriter() = default;

    // Takes the writer's own red, green, blue copy of the picture (the fourth byte dropped).
    // Throws EOutOfMemory when the copy cannot be had.
    void Assign(const PageBitmap& bitmap) override;

    // Writes the file, compressing the picture anew. Throws Error for a picture without pixels
    // (before anything is created), EFCreateError, EOutOfMemory, EWriteError.
    void SaveToFile(const std::string& path) override;

private:
    // Everything after the file is open: signature, IHDR, IDAT chunks, IEND.
    void Write(OutputFile& file) const;

    RgbPicture FPicture;
};

} // namespace folioxa
