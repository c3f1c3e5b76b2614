// The writers on small bitmaps from the fuzzer's bytes: every file must decode back to the
// bitmap's pixels, 32-bit BMP byte for byte (fourth byte included), PNG, TIFF, other BMP and
// lossless WebP exactly, JPEG within a small tolerance, lossy WebP in size and alpha; grey and
// black and white as the documented rule computes them from the pixels, alpha as the fourth byte.
// A writer reused for a second page must write that page, not the first.
// Input: kind/flags byte; with its bit 0x80 a modes byte (pixel mode in bits 0-1, alpha 0x04,
// WebP 0x08, lossy WebP 0x10); width byte, height byte, then pixel bytes (repeated as needed).
#include "FuzzCheck.h"
#include "imaging/BmpWriter.h"
#include "imaging/JpegWriter.h"
#include "imaging/PageBitmap.h"
#include "imaging/PngWriter.h"
#include "imaging/TiffWriter.h"
#include "imaging/WebpWriter.h"
#include "support/ImageFiles.h"
#include "support/TestFiles.h"

#include <cstdlib>
#include <filesystem>
#include <memory>

namespace folioxa::fuzz {
namespace {

enum Kind { kBmp, kPng, kJpeg, kTiff, kWebp };

struct Modes {
    PixelMode Pixels = PixelMode::Colour;
    bool Alpha = false;
    bool Lossy = false; // WebP
};

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

// What the file should decode to: grey is (19595 red + 38470 green + 7471 blue + 32768) >> 16,
// black and white is black below grey 128, alpha the fourth byte when kept.
testing::DecodedImage Expected(const PageBitmap& bitmap, const Modes& modes) {
    testing::DecodedImage image = testing::RgbOf(bitmap);
    for (int y = 0; y < bitmap.Height(); ++y) {
        for (int x = 0; x < bitmap.Width(); ++x) {
            const std::uint8_t* pixel = bitmap.ScanLine(y) + 4 * x;
            if (modes.Alpha) {
                image.Alpha.push_back(pixel[3]);
            }
            if (modes.Pixels == PixelMode::Colour) {
                continue;
            }
            auto grey = static_cast<std::uint8_t>(
                (19595u * pixel[2] + 38470u * pixel[1] + 7471u * pixel[0] + 32768u) >> 16);
            if (modes.Pixels == PixelMode::BlackAndWhite) {
                grey = grey < 128 ? 0 : 255;
            }
            const std::size_t at = 3 * static_cast<std::size_t>(y * bitmap.Width() + x);
            image.Rgb[at] = image.Rgb[at + 1] = image.Rgb[at + 2] = grey;
        }
    }
    return image;
}

// Equal pixels, colour within `tolerance`; colour under alpha 0 is free where `exactUnderClear`
// is false (libwebp drops it).
void CheckPixels(const testing::DecodedImage& image, const testing::DecodedImage& expected,
                 const char* format, int tolerance = 0, bool exactUnderClear = true) {
    FUZZ_CHECK(image.Width == expected.Width && image.Height == expected.Height,
               std::string(format) + " size");
    FUZZ_CHECK(image.Alpha == expected.Alpha, std::string(format) + " alpha");
    FUZZ_CHECK(image.Rgb.size() == expected.Rgb.size(), std::string(format) + " pixel count");
    for (std::size_t i = 0; i < expected.Rgb.size(); ++i) {
        if (!exactUnderClear && !expected.Alpha.empty() && expected.Alpha[i / 3] == 0) {
            continue;
        }
        const int difference = std::abs(int{image.Rgb[i]} - int{expected.Rgb[i]});
        FUZZ_CHECK(difference <= tolerance, std::string(format) + " byte " + std::to_string(i) +
                                                " off by " + std::to_string(difference));
    }
}

void CheckPng(const std::string& file, const testing::DecodedImage& expected) {
    const auto chunks = testing::ReadPngChunks(file);
    FUZZ_CHECK(chunks.size() >= 3 && chunks.front().Type == "IHDR" && chunks.back().Type == "IEND",
               "chunk order");
    for (std::size_t i = 1; i + 1 < chunks.size(); ++i) {
        FUZZ_CHECK(chunks[i].Type == "IDAT", chunks[i].Type);
        FUZZ_CHECK(!chunks[i].Data.empty() && chunks[i].Data.size() <= 65535, "IDAT size");
        FUZZ_CHECK(i + 2 == chunks.size() || chunks[i].Data.size() == 65535, "short IDAT");
    }
    CheckPixels(testing::DecodePng(file), expected, "PNG");
}

void CheckJpeg(const std::string& file, const testing::DecodedImage& expected) {
    testing::DecodedImage image;
    try {
        image = testing::DecodeJpegPlainChroma(file);
    } catch (const std::exception& e) {
        FUZZ_CHECK(false, e.what());
    }
    CheckPixels(image, expected, "JPEG", kJpegTolerance);
}

void CheckWebp(const std::string& file, const testing::DecodedImage& expected, bool lossy) {
    const auto webp = testing::DecodeWebp(file);
    FUZZ_CHECK(webp.Lossless == !lossy, "WebP lossless flag");
    // An opaque page may leave alpha out; a page with alpha kept has it in the file unless every
    // pixel is opaque.
    auto image = webp.Image;
    if (image.Alpha.empty() && !expected.Alpha.empty()) {
        image.Alpha.assign(expected.Alpha.size(), 255);
    }
    CheckPixels(image, expected, "WebP", lossy ? 255 : 0, /*exactUnderClear=*/false);
}

std::unique_ptr<ImageWriter> MakeWriter(Kind kind, const Modes& modes) {
    switch (kind) {
    case kPng:
        return std::make_unique<PngWriter>(modes.Pixels, modes.Alpha);
    case kTiff:
        return std::make_unique<TiffWriter>(modes.Pixels, modes.Alpha);
    case kJpeg: {
        auto jpeg = std::make_unique<JpegWriter>(modes.Pixels == PixelMode::Grey);
        jpeg->SetCompressionQuality(100); // what a conversion run uses
        return jpeg;
    }
    case kWebp: {
        auto webp = std::make_unique<WebpWriter>(modes.Pixels == PixelMode::Grey, modes.Alpha);
        if (modes.Lossy) {
            webp->SetLossyQuality(75);
        }
        return webp;
    }
    case kBmp:
        break;
    }
    // Colour BMP is the page bitmap's own file.
    return modes.Pixels == PixelMode::Colour ? nullptr : std::make_unique<BmpWriter>(modes.Pixels);
}

void Save(ImageWriter* writer, const PageBitmap& bitmap, const std::string& path) {
    if (writer == nullptr) {
        bitmap.SaveToFile(path);
    } else {
        writer->SaveToFile(bitmap, path);
    }
}

void Check(Kind kind, const Modes& modes, const std::string& file, const PageBitmap& bitmap) {
    const auto expected = Expected(bitmap, modes);
    switch (kind) {
    case kBmp:
        if (modes.Pixels == PixelMode::Colour) {
            CheckBmp(file, bitmap);
        } else {
            CheckPixels(testing::DecodeBmp(file), expected, "BMP");
        }
        break;
    case kPng:
        CheckPng(file, expected);
        break;
    case kJpeg:
        CheckJpeg(file, expected);
        break;
    case kTiff:
        CheckPixels(testing::DecodeTiff(file).Image, expected, "TIFF");
        break;
    case kWebp:
        CheckWebp(file, expected, modes.Lossy);
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
    const std::uint8_t modeBits = (flags & 0x80) != 0 ? in.Byte() : 0;
    auto kind = (flags & 0x40) != 0 ? kTiff : static_cast<Kind>(flags % 3);
    Modes modes;
    modes.Pixels = (modeBits & 3) == 2   ? PixelMode::BlackAndWhite
                   : (modeBits & 3) != 0 ? PixelMode::Grey
                                         : PixelMode::Colour;
    modes.Alpha = (modeBits & 0x04) != 0;
    if ((modeBits & 0x08) != 0) {
        kind = kWebp;
        modes.Lossy = (modeBits & 0x10) != 0;
    }
    // What the formats cannot hold is refused before any writer exists; the harness asks only
    // what each can.
    if (kind == kJpeg || kind == kBmp) {
        modes.Alpha = false;
    }
    if ((kind == kJpeg || kind == kWebp) && modes.Pixels == PixelMode::BlackAndWhite) {
        modes.Pixels = PixelMode::Grey;
    }
    if (PixelsRefusal(modes.Pixels, modes.Alpha) != nullptr) {
        bool refused = false;
        try {
            (void)MakeWriter(kind, modes);
        } catch (const Error&) {
            refused = true;
        }
        FUZZ_CHECK(refused, "black and white with alpha was not refused");
        return 0;
    }
    // Colour JPEG needs its pattern; grey JPEG has no chroma to lose, so its pixels are free.
    const Pattern pattern = kind != kJpeg || modes.Pixels != PixelMode::Colour ? kFree
                            : (flags & 0x04) != 0                              ? kBlocks
                                                                               : kGrey;
    // Up to 256 pixels a side for the lossless formats, so PNG spans several IDAT chunks.
    const int scale = kind != kJpeg && (flags & 0x08) != 0 ? 4 : 1;
    const int width = (1 + in.Byte() % 64) * scale;
    const int height = (1 + in.Byte() % 64) * scale;
    const std::string bytes = in.Rest();

    const std::unique_ptr<ImageWriter> writer = MakeWriter(kind, modes);
    const std::string first = Folder() + "first";
    const std::string again = Folder() + "again";
    const std::string second = Folder() + "second";

    const PageBitmap page1 = fuzz::MakeBitmap(width, height, pattern, bytes, 0);
    Save(writer.get(), page1, first);
    Check(kind, modes, testing::ReadFile(first), page1);
    // The same picture saved again, then the writer reused for another page of another size.
    Save(writer.get(), page1, again);
    FUZZ_CHECK(testing::ReadFile(again) == testing::ReadFile(first), "second save differs");
    if ((flags & 0x10) != 0) {
        const PageBitmap page2 = fuzz::MakeBitmap(height, width, pattern, bytes, 1);
        Save(writer.get(), page2, second);
        Check(kind, modes, testing::ReadFile(second), page2);
    }
    return 0;
}
