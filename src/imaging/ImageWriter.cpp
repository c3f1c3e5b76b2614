#include "imaging/ImageWriter.h"

#include "imaging/OutputFile.h"

namespace folioxa {

const char* PixelsRefusal(PixelMode mode, bool alpha) {
    // PNG has no grey-with-alpha type below 8 bits, and G4 TIFF none at all.
    if (mode == PixelMode::BlackAndWhite && alpha) {
        return "Black and white pages cannot be transparent: choose one of the two";
    }
    return nullptr;
}

void ImageWriter::Check(const PageBitmap& /*bitmap*/) const {}

void ImageWriter::SaveToFile(const PageBitmap& bitmap,
                             const std::shared_ptr<const OutputFolder>& folder,
                             const std::string& name) {
    Check(bitmap);
    OutputFile file(folder, name);
    Encode(bitmap, file);
    file.Close();
}

void ImageWriter::SaveToFile(const PageBitmap& bitmap, const std::string& path) {
    const auto folder = OutputFolder::Containing(path);
    SaveToFile(bitmap, folder, folder->NameOf(path));
}

} // namespace folioxa
