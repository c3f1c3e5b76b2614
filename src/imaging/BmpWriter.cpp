#include "imaging/BmpWriter.h"

#include "base/Error.h"
#include "imaging/ByteSink.h"
#include "imaging/PageBitmap.h"
#include "imaging/PixelRows.h"

#include <algorithm>
#include <limits>
#include <new>

namespace folioxa {

namespace {

constexpr std::uint32_t kHeaderSize = 54;
// Rows reach the sink in batches of about this size.
constexpr std::size_t kBatchBytes = std::size_t{1} << 18;

std::size_t RowBytes(int width, int bitsPerPixel) {
    const std::size_t bits =
        static_cast<std::size_t>(std::max(width, 0)) * static_cast<std::size_t>(bitsPerPixel);
    return (bits + 31) / 32 * 4;
}

std::uint32_t PaletteBytes(int bitsPerPixel) {
    return bitsPerPixel <= 8 ? 4u << bitsPerPixel : 0;
}

void PutLittleEndian(std::uint8_t* at, std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        at[i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

} // namespace

std::optional<std::uint32_t> BmpFileSize(int width, int height, int bitsPerPixel) {
    const std::size_t pixels =
        RowBytes(width, bitsPerPixel) * static_cast<std::size_t>(std::max(height, 0));
    const std::uint32_t overhead = kHeaderSize + PaletteBytes(bitsPerPixel);
    if (pixels > std::numeric_limits<std::uint32_t>::max() - overhead) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(pixels) + overhead;
}

void CheckBmpSize(int width, int height, int bitsPerPixel) {
    if (!BmpFileSize(width, height, bitsPerPixel)) {
        throw Error("The page of " + std::to_string(width) + " x " + std::to_string(height) +
                    " pixels is too large for a BMP file, which holds at most 4 GiB of pixels");
    }
}

std::array<std::uint8_t, 54> BmpHeader(int width, int height, int bitsPerPixel) {
    CheckBmpSize(width, height, bitsPerPixel);
    const std::uint32_t fileSize = *BmpFileSize(width, height, bitsPerPixel);
    const std::uint32_t offset = kHeaderSize + PaletteBytes(bitsPerPixel);
    std::array<std::uint8_t, kHeaderSize> header{};
    header[0] = 'B';
    header[1] = 'M';
    PutLittleEndian(&header[2], fileSize, 4);
    PutLittleEndian(&header[10], offset, 4);
    PutLittleEndian(&header[14], 40, 4); // BITMAPINFOHEADER
    PutLittleEndian(&header[18], static_cast<std::uint32_t>(width), 4);
    PutLittleEndian(&header[22], static_cast<std::uint32_t>(height), 4); // positive: bottom-up
    PutLittleEndian(&header[26], 1, 2);                                  // planes
    PutLittleEndian(&header[28], static_cast<std::uint32_t>(bitsPerPixel), 2);
    PutLittleEndian(&header[34], fileSize - offset, 4);
    PutLittleEndian(&header[46], PaletteBytes(bitsPerPixel) / 4, 4); // colours used
    // Compression BI_RGB, pels per metre and important colours stay 0.
    return header;
}

int BmpWriter::BitsPerPixel() const {
    switch (FMode) {
    case PixelMode::Grey:
        return 8;
    case PixelMode::BlackAndWhite:
        return 1;
    case PixelMode::Colour:
        break;
    }
    return 32;
}

void BmpWriter::Check(const PageBitmap& bitmap) const {
    CheckBmpSize(bitmap.Width(), bitmap.Height(), BitsPerPixel());
}

void BmpWriter::Encode(const PageBitmap& bitmap, ByteSink& sink) {
    if (FMode == PixelMode::Colour) {
        bitmap.WriteBmp(sink);
        return;
    }
    const int bits = BitsPerPixel();
    const auto header = BmpHeader(bitmap.Width(), bitmap.Height(), bits);
    // The palette: index i is grey i; in one bit 0 is black and 1 white, as WhiteBits packs.
    std::array<std::uint8_t, 1024> palette{};
    const std::size_t entries = PaletteBytes(bits) / 4;
    for (std::size_t i = 0; i < entries; ++i) {
        const auto grey = static_cast<std::uint8_t>(i * 255 / (entries - 1));
        std::fill_n(&palette[4 * i], 3, grey);
    }
    const Samples samples = bits == 8 ? Samples::Grey : Samples::WhiteBits;
    const auto width = static_cast<std::size_t>(bitmap.Width());
    const std::size_t rowBytes = RowBytes(bitmap.Width(), bits);
    const std::size_t rowsPerBatch =
        std::max<std::size_t>(1, kBatchBytes / std::max<std::size_t>(rowBytes, 1));
    const std::size_t batchRows = std::min(rowsPerBatch, static_cast<std::size_t>(bitmap.Height()));
    try {
        // Zeroed anew for every page: the padding at each row's end stays zero.
        FBatch.assign(batchRows * rowBytes, 0);
    } catch (const std::bad_alloc&) {
        throw EOutOfMemory("Out of memory for writing a BMP file");
    }
    const ByteSink::Piece head[] = {{header.data(), header.size()}, {palette.data(), 4 * entries}};
    sink.WritePieces(head, 2);
    // Rows go bottom first.
    for (int row = bitmap.Height() - 1; row >= 0;) {
        std::size_t rows = 0;
        for (; rows < batchRows && row >= 0; ++rows, --row) {
            ConvertRow(samples, bitmap.ScanLine(row), FBatch.data() + rows * rowBytes, width);
        }
        sink.Write(FBatch.data(), rows * rowBytes);
    }
}

} // namespace folioxa
