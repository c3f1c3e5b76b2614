#pragma once

#include "conversion/ImageOutput.h"

namespace folioxa {

// The writers that put real files on disk: PngWriter, JpegWriter and the bitmap's own BMP
// writer. This is what the window and the command-line converter hand to a run.
class FileImageOutput : public ImageOutput {
public:
    std::unique_ptr<ImageWriter> CreatePngWriter() override;
    // Throws Error for a quality outside 1 to 100.
    std::unique_ptr<ImageWriter> CreateJpegWriter(int compressionQuality) override;
    void SaveBitmap(const PageBitmap& bitmap, const std::string& path) override;
};

} // namespace folioxa
