#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

namespace folioxa {

class ByteSink;
class OutputFolder;

enum TPixelFormat { pf32bit };

// Releases a block from calloc/malloc.
struct FreeBuffer {
    void operator()(void* block) const { std::free(block); }
};

// The raster image of one rendered page: Width x Height pixels of 4 bytes (blue, green, red,
// fourth byte), rows top first and exactly 4 * Width bytes apart. Records no resolution. The
// pixels are its own, or memory it only views (a page buffer shared with a page worker).
class PageBitmap {
public:
    PageBitmap() = default;
    // A bitmap over `pixels` (at least width x height x 4 bytes, which must outlive it and which
    // it never frees). Throws Error for a negative size or null pixels with a size.
    static PageBitmap View(std::uint8_t* pixels, int width, int height);
    // Copies the pixels; throws EOutOfMemory when they cannot be had.
    PageBitmap(const PageBitmap& other);
    PageBitmap& operator=(const PageBitmap& other);
    PageBitmap(PageBitmap&& other) noexcept = default;
    PageBitmap& operator=(PageBitmap&& other) noexcept = default;
    ~PageBitmap() = default;

    TPixelFormat PixelFormat() const { return FPixelFormat; }
    void SetPixelFormat(TPixelFormat format) { FPixelFormat = format; }

    int Width() const { return FWidth; }
    int Height() const { return FHeight; }
    std::size_t RowBytes() const { return static_cast<std::size_t>(FWidth) * 4; }

    // Gives the bitmap its size and pixels of its own; rows start zeroed. Throws Error for a
    // negative size and EOutOfMemory when the pixels cannot be allocated (the old size and rows
    // are kept then).
    void SetSize(int width, int height);

    // As SetSize, but the rows are left as the allocator gives them: for a caller that writes
    // every row next (zeroing a 35 MB page first costs as much as a tenth of a JPEG save).
    void SetSizeForOverwrite(int width, int height);

    // Start of row `row` (0 = top). Throws Error "Scan line index out of range" outside
    // 0 <= row < Height.
    std::uint8_t* ScanLine(int row);
    const std::uint8_t* ScanLine(int row) const;

    // Writes the bitmap as a 32-bit bottom-up BMP file `name` in `folder`: CheckBmp, then the
    // output file is created, WriteBmp fills it and it is put in place. Throws what those throw,
    // EFCreateError.
    void SaveToFile(const std::shared_ptr<const OutputFolder>& folder,
                    const std::string& name) const;
    // The same for the file at `path`.
    void SaveToFile(const std::string& path) const;

    // Throws Error when the pixels do not fit the BMP format's 32-bit size fields.
    void CheckBmp() const;
    // The whole BMP file into `sink`, rows handed over as they lie (no copy). Throws what
    // CheckBmp and the sink throw.
    void WriteBmp(ByteSink& sink) const;

private:
    void Resize(int width, int height, bool zeroed);
    const std::uint8_t* Pixels() const { return FView != nullptr ? FView : FPixels.get(); }

    TPixelFormat FPixelFormat = pf32bit;
    int FWidth = 0;
    int FHeight = 0;
    // calloc'ed: large blocks come zeroed from the system without a pass over every byte.
    std::unique_ptr<std::uint8_t[], FreeBuffer> FPixels;
    std::uint8_t* FView = nullptr; // the viewed memory; null for pixels of its own
};

// The size of the BMP file of a width x height bitmap, or nothing when its pixel data would
// not fit the 32-bit size fields.
std::optional<std::uint32_t> BmpFileSize(int width, int height);

} // namespace folioxa
