#include "imaging/ImageWriter.h"

#include "imaging/OutputFile.h"

namespace folioxa {

void ImageWriter::Check(const PageBitmap& /*bitmap*/) const {}

void ImageWriter::SaveToFile(const PageBitmap& bitmap, const std::string& path) {
    Check(bitmap);
    OutputFile file(path);
    Encode(bitmap, file);
    file.Close();
}

} // namespace folioxa
