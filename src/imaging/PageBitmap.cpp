#include "imaging/PageBitmap.h"

#include "base/Error.h"
#include "imaging/BmpWriter.h"
#include "imaging/OutputFile.h"

#include <cstring>
#include <vector>

namespace folioxa {

namespace {

std::size_t PixelBytes(int width, int height) {
    return static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4;
}

std::string SizeText(int width, int height) {
    return std::to_string(width) + " x " + std::to_string(height) + " pixels";
}

// Pixels for a width x height bitmap, zeroed or not; null for an empty one.
std::unique_ptr<std::uint8_t[], FreeBuffer> AllocatePixels(int width, int height,
                                                           bool zeroed = true) {
    const std::size_t bytes = PixelBytes(width, height);
    std::unique_ptr<std::uint8_t[], FreeBuffer> pixels;
    if (bytes > 0) {
        pixels.reset(
            static_cast<std::uint8_t*>(zeroed ? std::calloc(bytes, 1) : std::malloc(bytes)));
        if (!pixels) {
            throw EOutOfMemory("Out of memory for a page bitmap of " + SizeText(width, height));
        }
    }
    return pixels;
}

} // namespace

PageBitmap::PageBitmap(const PageBitmap& other)
    : FPixelFormat(other.FPixelFormat), FWidth(other.FWidth), FHeight(other.FHeight) {
    auto pixels = AllocatePixels(FWidth, FHeight);
    if (pixels) {
        std::memcpy(pixels.get(), other.Pixels(), PixelBytes(FWidth, FHeight));
    }
    FPixels = std::move(pixels);
}

PageBitmap PageBitmap::View(std::uint8_t* pixels, int width, int height) {
    if (width < 0 || height < 0 || (pixels == nullptr && PixelBytes(width, height) > 0)) {
        throw Error("Invalid bitmap size");
    }
    PageBitmap bitmap;
    bitmap.FWidth = width;
    bitmap.FHeight = height;
    bitmap.FView = pixels;
    return bitmap;
}

PageBitmap& PageBitmap::operator=(const PageBitmap& other) {
    if (this != &other) {
        *this = PageBitmap(other);
    }
    return *this;
}

void PageBitmap::SetSize(int width, int height) {
    Resize(width, height, /*zeroed=*/true);
}

void PageBitmap::SetSizeForOverwrite(int width, int height) {
    Resize(width, height, /*zeroed=*/false);
}

void PageBitmap::Resize(int width, int height, bool zeroed) {
    if (width < 0 || height < 0) {
        throw Error("Invalid bitmap size");
    }
    FPixels = AllocatePixels(width, height, zeroed);
    FView = nullptr;
    FWidth = width;
    FHeight = height;
}

std::uint8_t* PageBitmap::ScanLine(int row) {
    return const_cast<std::uint8_t*>(static_cast<const PageBitmap&>(*this).ScanLine(row));
}

const std::uint8_t* PageBitmap::ScanLine(int row) const {
    if (row < 0 || row >= FHeight) {
        throw Error("Scan line index out of range");
    }
    return Pixels() + static_cast<std::size_t>(row) * RowBytes();
}

std::optional<std::uint32_t> BmpFileSize(int width, int height) {
    return BmpFileSize(width, height, /*bitsPerPixel=*/32);
}

void PageBitmap::CheckBmp() const {
    CheckBmpSize(FWidth, FHeight, /*bitsPerPixel=*/32);
}

void PageBitmap::SaveToFile(const std::shared_ptr<const OutputFolder>& folder,
                            const std::string& name) const {
    CheckBmp();
    OutputFile file(folder, name);
    WriteBmp(file);
    file.Close();
}

void PageBitmap::SaveToFile(const std::string& path) const {
    const auto folder = OutputFolder::Containing(path);
    SaveToFile(folder, folder->NameOf(path));
}

void PageBitmap::WriteBmp(ByteSink& sink) const {
    const auto header = BmpHeader(FWidth, FHeight, /*bitsPerPixel=*/32);

    // Rows go bottom first, handed to the sink as they lie in memory.
    std::vector<ByteSink::Piece> pieces;
    try {
        pieces.reserve(static_cast<std::size_t>(FHeight) + 1);
    } catch (const std::bad_alloc&) {
        throw EOutOfMemory("Out of memory for writing a BMP file");
    }
    pieces.push_back({header.data(), header.size()});
    for (int row = FHeight - 1; row >= 0; --row) {
        pieces.push_back({ScanLine(row), RowBytes()});
    }
    sink.WritePieces(pieces.data(), pieces.size());
}

} // namespace folioxa
