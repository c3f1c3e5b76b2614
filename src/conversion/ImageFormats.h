#pragma once

#include "imaging/ImageWriter.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace folioxa {

class ByteSink;
class PageBitmap;

// What a run's writer is made with.
struct WriterOptions {
    int JpegQuality = 100; // 1 to 100
};

// One image type a run can write.
struct ImageFormat {
    std::string Name;      // the exact type name, as the window lists it: "JPG"
    std::string Extension; // in lower case, dot included: ".jpg"
    // The run's one writer of this type; empty for BMP, whose page bitmap saves itself.
    std::function<std::unique_ptr<ImageWriter>(const WriterOptions&)> CreateWriter;
};

// The image types, looked up by exact, case-sensitive name. The last one is what every other
// name writes.
class ImageFormats {
public:
    // Throws std::invalid_argument for an empty table.
    explicit ImageFormats(std::vector<ImageFormat> formats);

    const ImageFormat& Find(const std::string& imageType) const;
    const std::vector<ImageFormat>& All() const { return FFormats; }

private:
    std::vector<ImageFormat> FFormats;
};

// JPG, PNG, TIFF, BMP. Adding a type is a writer and a row here; BMP stays last.
const ImageFormats& StandardImageFormats();

// The run's writer for `format`, or null when its page bitmaps save themselves.
std::unique_ptr<ImageWriter> CreateWriter(const ImageFormat& format, const WriterOptions& options);

// A page through `writer`, or, with none, the bitmap's own BMP: the refusal before any file
// exists, the bytes of the file, and the whole save as `name` in `folder`.
void CheckPage(const ImageWriter* writer, const PageBitmap& bitmap);
void EncodePage(ImageWriter* writer, const PageBitmap& bitmap, ByteSink& sink);
void SavePage(ImageWriter* writer, const PageBitmap& bitmap,
              const std::shared_ptr<const OutputFolder>& folder, const std::string& name);

} // namespace folioxa
