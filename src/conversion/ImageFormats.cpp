#include "conversion/ImageFormats.h"

#include "imaging/JpegWriter.h"
#include "imaging/PageBitmap.h"
#include "imaging/PngWriter.h"
#include "imaging/TiffWriter.h"

#include <stdexcept>

namespace folioxa {

ImageFormats::ImageFormats(std::vector<ImageFormat> formats) : FFormats(std::move(formats)) {
    if (FFormats.empty()) {
        throw std::invalid_argument("an image format table needs a row");
    }
}

const ImageFormat& ImageFormats::Find(const std::string& imageType) const {
    for (const ImageFormat& format : FFormats) {
        if (format.Name == imageType) {
            return format;
        }
    }
    return FFormats.back();
}

const ImageFormats& StandardImageFormats() {
    static const ImageFormats formats({
        {"JPG", ".jpg",
         [](const WriterOptions& options) -> std::unique_ptr<ImageWriter> {
             auto writer = std::make_unique<JpegWriter>();
             writer->SetCompressionQuality(options.JpegQuality);
             return writer;
         }},
        {"PNG", ".png",
         [](const WriterOptions&) -> std::unique_ptr<ImageWriter> {
             return std::make_unique<PngWriter>();
         }},
        {"TIFF", ".tif",
         [](const WriterOptions&) -> std::unique_ptr<ImageWriter> {
             return std::make_unique<TiffWriter>();
         }},
        {"BMP", ".bmp", nullptr},
    });
    return formats;
}

std::unique_ptr<ImageWriter> CreateWriter(const ImageFormat& format, const WriterOptions& options) {
    return format.CreateWriter ? format.CreateWriter(options) : nullptr;
}

void CheckPage(const ImageWriter* writer, const PageBitmap& bitmap) {
    if (writer != nullptr) {
        writer->Check(bitmap);
    } else {
        bitmap.CheckBmp();
    }
}

void EncodePage(ImageWriter* writer, const PageBitmap& bitmap, ByteSink& sink) {
    if (writer != nullptr) {
        writer->Encode(bitmap, sink);
    } else {
        bitmap.WriteBmp(sink);
    }
}

void SavePage(ImageWriter* writer, const PageBitmap& bitmap,
              const std::shared_ptr<const OutputFolder>& folder, const std::string& name) {
    if (writer != nullptr) {
        writer->SaveToFile(bitmap, folder, name);
    } else {
        bitmap.SaveToFile(folder, name);
    }
}

} // namespace folioxa
