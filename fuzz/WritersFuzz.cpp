// The writers on small bitmaps from the fuzzer's bytes: every file must decode back to the
// bitmap's pixels, BMP byte for byte (fourth byte included), PNG and TIFF exactly, JPEG within a
// small tolerance; a writer reused for a second page must write that page, not the first.
// Input: kind/flags byte, width byte, height byte, then pixel bytes (repeated as needed).
#include "FuzzCheck.h"
#include "imaging/JpegWriter.h"
#include "imaging/PageBitmap.h"
#include "imaging/PngWriter.h"
#include "imaging/TiffWriter.h"
#include "support/ImageFiles.h"
#include "support/TestFiles.h"

#include <cstdlib>
#include <filesystem>
#include <memory>

namespace folioxa::fuzz {
namespace {

enum Kind { kBmp, kPng, kJpeg, kTiff };

// The largest difference per channel a JPEG at quality 100 may show: colour conversion and the
// float DCT round, nothing else is lost when chroma is constant over each 2 x 2 block.
constexpr int kJpegTolerance = 6;

const std::string& Folder() {
    static const testing::TempDir dir;
    static const std::string folder = dir.Path().string() + "/";
    return folder;
}

// Free pixels for the lossless formats. For JPEG, grey pixels vary freely (chroma is neutral,
// so 4:2:0 loses nothing) and coloured ones are constant over aligned 2 x 2 blocks. The fourth
// byte is free in every pattern.
enum Pattern { kFree, kGrey, kBlocks };

PageBitmap MakeBitmap(int width, int height, Pattern pattern, const std::string& bytes,
                      std::size_t offset) {
    PageBitmap bitmap;
    bitmap.SetSize(width, height);
    std::size_t next = offset;
    auto take = [&]() -> std::uint8_t {
        if (bytes.empty()) {
            return 0;
        }
        return static_cast<std::uint8_t>(bytes[next++ % bytes.size()]);
    };
    for (int y = 0; y < height; ++y) {
        std::uint8_t* row = bitmap.ScanLine(y);
        for (int x = 0; x < width; ++x) {
            std::uint8_t* pixel = row + 4 * x;
            if (pattern == kBlocks && (x % 2 == 1 || y % 2 == 1)) {
                const std::uint8_t* first =
                    bitmap.ScanLine(y - y % 2) + 4 * static_cast<std::size_t>(x - x % 2);
                pixel[0] = first[0];
                pixel[1] = first[1];
                pixel[2] = first[2];
            } else if (pattern != kGrey) {
                pixel[0] = take();
                pixel[1] = take();
                pixel[2] = take();
            } else {
                pixel[0] = pixel[1] = pixel[2] = take();
            }
            pixel[3] = take();
        }
    }
    return bitmap;
}

std::uint32_t LittleEndian(const std::string& file, std::size_t at) {
    std::uint32_t value = 0;
    for (std::size_t i = 4; i-- > 0;) {
        value = (value << 8) | static_cast<std::uint8_t>(file.at(at + i));
    }
    return value;
}

void CheckBmp(const std::string& file, const PageBitmap& bitmap) {
    const std::size_t rowBytes = bitmap.RowBytes();
    const auto height = static_cast<std::size_t>(bitmap.Height());
    FUZZ_CHECK(file.size() == 54 + rowBytes * height, std::to_string(file.size()));
    FUZZ_CHECK(file.compare(0, 2, "BM") == 0, "signature");
    FUZZ_CHECK(LittleEndian(file, 2) == file.size(), "bfSize");
    FUZZ_CHECK(LittleEndian(file, 18) == static_cast<std::uint32_t>(bitmap.Width()), "width");
    FUZZ_CHECK(LittleEndian(file, 22) == height, "height");
    for (std::size_t y = 0; y < height; ++y) {
        const auto* row = bitmap.ScanLine(static_cast<int>(height - 1 - y));
        FUZZ_CHECK(file.compare(54 + y * rowBytes, rowBytes, reinterpret_cast<const char*>(row),
                                rowBytes) == 0,
                   "row " + std::to_string(y));
    }
}

void CheckPng(const std::string& file, const PageBitmap& bitmap) {
    const auto chunks = testing::ReadPngChunks(file);
    FUZZ_CHECK(chunks.size() >= 3 && chunks.front().Type == "IHDR" && chunks.back().Type == "IEND",
               "chunk order");
    for (std::size_t i = 1; i + 1 < chunks.size(); ++i) {
        FUZZ_CHECK(chunks[i].Type == "IDAT", chunks[i].Type);
        FUZZ_CHECK(!chunks[i].Data.empty() && chunks[i].Data.size() <= 65535, "IDAT size");
        FUZZ_CHECK(i + 2 == chunks.size() || chunks[i].Data.size() == 65535, "short IDAT");
    }
    const auto image = testing::DecodePng(file);
    FUZZ_CHECK(image.Width == bitmap.Width() && image.Height == bitmap.Height(), "PNG size");
    FUZZ_CHECK(image.Rgb == testing::RgbOf(bitmap).Rgb, "PNG pixels");
}

void CheckJpeg(const std::string& file, const PageBitmap& bitmap) {
    testing::DecodedImage image;
    try {
        image = testing::DecodeJpegPlainChroma(file);
    } catch (const std::exception& e) {
        FUZZ_CHECK(false, e.what());
    }
    FUZZ_CHECK(image.Width == bitmap.Width() && image.Height == bitmap.Height(), "JPEG size");
    const auto expected = testing::RgbOf(bitmap).Rgb;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const int difference = std::abs(int{image.Rgb[i]} - int{expected[i]});
        FUZZ_CHECK(difference <= kJpegTolerance,
                   "byte " + std::to_string(i) + " off by " + std::to_string(difference));
    }
}

void CheckTiff(const std::string& file, const PageBitmap& bitmap) {
    const auto tiff = testing::DecodeTiff(file);
    FUZZ_CHECK(tiff.Image.Width == bitmap.Width() && tiff.Image.Height == bitmap.Height(),
               "TIFF size");
    FUZZ_CHECK(tiff.Image.Rgb == testing::RgbOf(bitmap).Rgb, "TIFF pixels");
}

void Save(Kind kind, ImageWriter* writer, const PageBitmap& bitmap, const std::string& path) {
    if (kind == kBmp) {
        bitmap.SaveToFile(path);
    } else {
        writer->SaveToFile(bitmap, path);
    }
}

void Check(Kind kind, const std::string& file, const PageBitmap& bitmap) {
    switch (kind) {
    case kBmp:
        CheckBmp(file, bitmap);
        break;
    case kPng:
        CheckPng(file, bitmap);
        break;
    case kJpeg:
        CheckJpeg(file, bitmap);
        break;
    case kTiff:
        CheckTiff(file, bitmap);
        break;
    }
}

} // namespace
} // namespace folioxa::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace folioxa;
    using namespace folioxa::fuzz;
    ByteReader in(data, size);
    const std::uint8_t flags = in.Byte();
    const auto kind = (flags & 0x40) != 0 ? kTiff : static_cast<Kind>(flags % 3);
    const Pattern pattern = kind != kJpeg ? kFree : (flags & 0x04) != 0 ? kBlocks : kGrey;
    // Up to 256 pixels a side for the lossless formats, so PNG spans several IDAT chunks.
    const int scale = kind != kJpeg && (flags & 0x08) != 0 ? 4 : 1;
    const int width = (1 + in.Byte() % 64) * scale;
    const int height = (1 + in.Byte() % 64) * scale;
    const std::string bytes = in.Rest();

    std::unique_ptr<ImageWriter> writer;
    if (kind == kPng) {
        writer = std::make_unique<PngWriter>();
    } else if (kind == kTiff) {
        writer = std::make_unique<TiffWriter>();
    } else if (kind == kJpeg) {
        auto jpeg = std::make_unique<JpegWriter>();
        jpeg->SetCompressionQuality(100); // what a conversion run uses
        writer = std::move(jpeg);
    }
    const std::string first = Folder() + "first";
    const std::string again = Folder() + "again";
    const std::string second = Folder() + "second";

    const PageBitmap page1 = fuzz::MakeBitmap(width, height, pattern, bytes, 0);
    Save(kind, writer.get(), page1, first);
    Check(kind, testing::ReadFile(first), page1);
    // The same picture saved again, then the writer reused for another page of another size.
    Save(kind, writer.get(), page1, again);
    FUZZ_CHECK(testing::ReadFile(again) == testing::ReadFile(first), "second save differs");
    if ((flags & 0x10) != 0) {
        const PageBitmap page2 = fuzz::MakeBitmap(height, width, pattern, bytes, 1);
        Save(kind, writer.get(), page2, second);
        Check(kind, testing::ReadFile(second), page2);
    }
    return 0;
}
