#pragma once

#include "conversion/ConversionSettings.h"
#include "imaging/ImageWriter.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace folioxa {

class ByteSink;
class PageBitmap;

// What a run's writer is made with. The defaults write the window's files.
struct WriterOptions {
    int JpegQuality = 100; // 1 to 100; also lossy WebP's quality
    PixelMode Pixels = PixelMode::Colour;
    bool Alpha = false; // the fourth byte written as straight alpha, else dropped
    bool Lossy = false; // WebP: lossy at JpegQuality rather than lossless
};

// The writer options a run's settings ask for.
WriterOptions WriterOptionsOf(const ConversionSettings& settings);

// One image type a run can write.
struct ImageFormat {
    std::string Name;      // the exact type name, as the window lists it: "JPG"
    std::string Extension; // in lower case, dot included: ".jpg"
    // The run's one writer of this type; empty, or returning null, where the page bitmap saves
    // itself (32-bit BMP).
    std::function<std::unique_ptr<ImageWriter>(const WriterOptions&)> CreateWriter;
    bool BlackAndWhite = false; // holds one bit a pixel
    bool Alpha = false;         // holds an alpha channel
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

// JPG, PNG, TIFF, WEBP, BMP. Adding a type is a writer and a row here; BMP stays last.
const ImageFormats& StandardImageFormats();

// "JPG, PNG, TIFF, WEBP or BMP": the names of the standard types, in the table's order; with
// `holds`, only those that hold it ("PNG, TIFF or WEBP" for &ImageFormat::Alpha).
std::string ImageTypeNames(bool ImageFormat::*holds = nullptr);

// Why `format` of StandardImageFormats() cannot be written with `options` ("JPG files cannot be
// transparent: choose PNG, TIFF or WEBP"), or nothing when it can: for a caller that refuses
// before any page is drawn.
std::optional<std::string> OptionsRefusal(const ImageFormat& format, const WriterOptions& options);

// The run's writer for `format`, or null when its page bitmaps save themselves. Throws Error
// with the OptionsRefusal text, or for a quality outside 1 to 100.
std::unique_ptr<ImageWriter> CreateWriter(const ImageFormat& format, const WriterOptions& options);

// A page through `writer`, or, with none, the bitmap's own BMP: the refusal before any file
// exists, the bytes of the file, and the whole save as `name` in `folder`.
void CheckPage(const ImageWriter* writer, const PageBitmap& bitmap);
void EncodePage(ImageWriter* writer, const PageBitmap& bitmap, ByteSink& sink);
void SavePage(ImageWriter* writer, const PageBitmap& bitmap,
              const std::shared_ptr<const OutputFolder>& folder, const std::string& name);

} // namespace folioxa
