#include "conversion/FileImageOutput.h"

#include "imaging/JpegWriter.h"
#include "imaging/PageBitmap.h"
#include "imaging/PngWriter.h"

namespace folioxa {

std::unique_ptr<ImageWriter> FileImageOutput::CreatePngWriter() {
    return std::make_unique<PngWriter>();
}

std::unique_ptr<ImageWriter> FileImageOutput::CreateJpegWriter(int compressionQuality) {
    auto writer = std::make_unique<JpegWriter>();
    writer->SetCompressionQuality(compressionQuality);
    return writer;
}

void FileImageOutput::SaveBitmap(const PageBitmap& bitmap, const std::string& path) {
    bitmap.SaveToFile(path);
}

} // namespace folioxa
