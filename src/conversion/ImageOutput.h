#pragma once

#include "imaging/ImageWriter.h"

#include <memory>
#include <string>

namespace folioxa {

class PageBitmap;

// The writers a run creates: one PNG or JPEG writer for the whole run, or none, in which case
// each page bitmap is written as BMP.
class ImageOutput {
public:
    virtual ~ImageOutput() = default;
    virtual std::unique_ptr<ImageWriter> CreatePngWriter() = 0;
    virtual std::unique_ptr<ImageWriter> CreateJpegWriter(int compressionQuality) = 0;
    virtual void SaveBitmap(const PageBitmap& bitmap, const std::string& path) = 0;
};

} // namespace folioxa
