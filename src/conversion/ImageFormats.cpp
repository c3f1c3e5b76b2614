#include "conversion/ImageFormats.h"

#include "base/Error.h"
#include "imaging/BmpWriter.h"
#include "imaging/JpegWriter.h"
#include "imaging/PageBitmap.h"
#include "imaging/PngWriter.h"
#include "imaging/TiffWriter.h"
#include "imaging/WebpWriter.h"

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
             auto writer = std::make_unique<JpegWriter>(options.Pixels == PixelMode::Grey);
             writer->SetCompressionQuality(options.JpegQuality);
             return writer;
         }},
        {"PNG", ".png",
         [](const WriterOptions& options) -> std::unique_ptr<ImageWriter> {
             return std::make_unique<PngWriter>(options.Pixels, options.Alpha);
         },
         /*BlackAndWhite=*/true, /*Alpha=*/true},
        {"TIFF", ".tif",
         [](const WriterOptions& options) -> std::unique_ptr<ImageWriter> {
             return std::make_unique<TiffWriter>(options.Pixels, options.Alpha);
         },
         /*BlackAndWhite=*/true, /*Alpha=*/true},
        {"WEBP", ".webp",
         [](const WriterOptions& options) -> std::unique_ptr<ImageWriter> {
             auto writer =
                 std::make_unique<WebpWriter>(options.Pixels == PixelMode::Grey, options.Alpha);
             if (options.Lossy) {
                 writer->SetLossyQuality(options.JpegQuality);
             }
             return writer;
         },
         /*BlackAndWhite=*/false, /*Alpha=*/true},
        {"BMP", ".bmp",
         [](const WriterOptions& options) -> std::unique_ptr<ImageWriter> {
             if (options.Pixels == PixelMode::Colour) {
                 return nullptr;
             }
             return std::make_unique<BmpWriter>(options.Pixels);
         },
         /*BlackAndWhite=*/true, /*Alpha=*/false},
    });
    return formats;
}

WriterOptions WriterOptionsOf(const ConversionSettings& settings) {
    return WriterOptions{settings.JpegQuality, settings.Pixels, settings.Drawing.Transparent,
                         settings.Lossy};
}

std::string ImageTypeNames(bool ImageFormat::*holds) {
    std::vector<std::string> names;
    for (const ImageFormat& format : StandardImageFormats().All()) {
        if (holds == nullptr || format.*holds) {
            names.push_back(format.Name);
        }
    }
    std::string text;
    for (std::size_t i = 0; i < names.size(); ++i) {
        text += (i == 0 ? "" : i + 1 == names.size() ? " or " : ", ") + names[i];
    }
    return text;
}

std::optional<std::string> OptionsRefusal(const ImageFormat& format, const WriterOptions& options) {
    if (options.Pixels == PixelMode::BlackAndWhite && !format.BlackAndWhite) {
        return format.Name + " files cannot be black and white (one bit a pixel): choose " +
               ImageTypeNames(&ImageFormat::BlackAndWhite);
    }
    if (options.Alpha && !format.Alpha) {
        return format.Name + " files cannot be transparent: choose " +
               ImageTypeNames(&ImageFormat::Alpha);
    }
    if (const char* refusal = PixelsRefusal(options.Pixels, options.Alpha)) {
        return refusal;
    }
    return std::nullopt;
}

std::unique_ptr<ImageWriter> CreateWriter(const ImageFormat& format, const WriterOptions& options) {
    if (const auto refusal = OptionsRefusal(format, options)) {
        throw Error(*refusal);
    }
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
