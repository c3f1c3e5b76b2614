#include "imaging/BmpWriter.h"
#include "imaging/JpegWriter.h"
#include "imaging/PageBitmap.h"
#include "imaging/PngWriter.h"
#include "imaging/TiffWriter.h"
#include "imaging/WebpWriter.h"
#include "support/ImageFiles.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>

namespace folioxa {
namespace {

using testing::DecodedImage;
using testing::MakeBitmap;
using testing::ReadFile;
using testing::TempDir;

// A page of blocks, one per case, each 7 pixels wide (so 1-bit rows end mid-byte and BMP rows
// are padded) and 8 high.
constexpr int kBlockWidth = 7, kBlockHeight = 8;

template <typename Case>
PageBitmap Blocks(const std::vector<Case>& cases, std::uint32_t (*pixel)(const Case&)) {
    return MakeBitmap(int(cases.size()) * kBlockWidth, kBlockHeight,
                      [&](int x, int) { return pixel(cases[std::size_t(x / kBlockWidth)]); });
}

std::string Save(ImageWriter& writer, const PageBitmap& bitmap) {
    TempDir dir;
    writer.SaveToFile(bitmap, dir.File("page"));
    return ReadFile(dir.File("page"));
}

// How a file stores its pixels, in a few words, so a table row can say what it expects.
std::string Storage(const std::string& file) {
    if (file.rfind("\x89PNG", 0) == 0) {
        const std::string ihdr = testing::ReadPngChunks(file).at(0).Data;
        return "depth " + std::to_string(int(ihdr.at(8))) + " type " +
               std::to_string(int(ihdr.at(9)));
    }
    if (file.rfind("II*", 0) == 0) {
        const auto t = testing::DecodeTiff(file);
        return std::to_string(t.SamplesPerPixel) + "x" + std::to_string(t.BitsPerSample) +
               " photometric " + std::to_string(t.Photometric) + " compression " +
               std::to_string(t.Compression) + " extra " + std::to_string(t.ExtraSample) +
               " strips " + std::to_string(t.Strips);
    }
    if (file.rfind("RIFF", 0) == 0) {
        const auto webp = testing::DecodeWebp(file);
        return std::string(webp.Lossless ? "lossless" : "lossy") +
               (webp.Image.Alpha.empty() ? "" : " with alpha");
    }
    if (file.rfind("BM", 0) == 0) {
        int bits = 0;
        testing::DecodeBmp(file, &bits);
        return std::to_string(bits) + " bits";
    }
    for (const auto& segment : testing::ReadJpegSegments(file)) {
        if (segment.Marker == 0xC0) {
            return std::to_string(int(segment.Data.at(5))) + " components";
        }
    }
    return "no SOF0";
}

struct ModeFormat {
    const char* Name;
    std::function<std::unique_ptr<ImageWriter>()> Writer;
    const char* Stored;
    int Tolerance = 0;
};

// Checks every pixel of `image` against the case of its block: `expected` gives red, green,
// blue and alpha (-1 where the file holds none, or the colour under alpha 0 is free).
template <typename Case>
void ExpectBlocks(const DecodedImage& image, const std::vector<Case>& cases,
                  std::array<int, 4> (*expected)(const Case&), int tolerance) {
    ASSERT_EQ(image.Width, int(cases.size()) * kBlockWidth);
    ASSERT_EQ(image.Height, kBlockHeight);
    for (std::size_t i = 0; i < std::size_t(image.Width) * kBlockHeight; ++i) {
        const std::size_t block = i % std::size_t(image.Width) / kBlockWidth;
        const auto want = expected(cases[block]);
        const int alpha = image.Alpha.empty() ? -1 : image.Alpha.at(i);
        ASSERT_EQ(alpha, want[3]) << "alpha of case " << block;
        if (alpha == 0) {
            continue;
        }
        for (std::size_t c = 0; c < 3; ++c) {
            ASSERT_NEAR(image.Rgb.at(3 * i + c), want[c], tolerance)
                << "channel " << c << " of case " << block;
        }
    }
}

struct GreyCase {
    int Red, Green, Blue;
    int Grey;
    const char* Why = "";
};

const std::vector<GreyCase> kGreyCases = {
    {255, 255, 255, 255, "white stays white"},
    {0, 0, 0, 0},
    {255, 0, 0, 76},
    {0, 255, 0, 150},
    {0, 0, 255, 29},
    {128, 128, 128, 128, "a neutral grey keeps its value; the lowest white"},
    {127, 127, 127, 127, "the highest black"},
    {0, 52, 184, 52, "51.5 exactly rounds up"},
    {28, 201, 10, 128, "127.5 exactly rounds up to white"},
    {200, 100, 50, 124},
};

std::uint32_t GreyCasePixel(const GreyCase& c) {
    // The fourth byte is dropped without alpha: 0 must not darken or clear anything.
    return std::uint32_t(c.Red) << 16 | std::uint32_t(c.Green) << 8 | std::uint32_t(c.Blue);
}

std::array<int, 4> GreyOfCase(const GreyCase& c) {
    return {c.Grey, c.Grey, c.Grey, -1};
}

std::array<int, 4> BitOfCase(const GreyCase& c) {
    const int value = c.Grey >= 128 ? 255 : 0;
    return {value, value, value, -1};
}

TEST(PixelModes, GreyAndBlackAndWhiteFollowTheRuleInEveryFormat) {
    const auto grey = PixelMode::Grey;
    const auto mono = PixelMode::BlackAndWhite;
    const struct {
        ModeFormat Writer;
        bool BlackAndWhite;
    } formats[] = {
        {{"PNG grey", [=] { return std::make_unique<PngWriter>(grey); }, "depth 8 type 0"}, false},
        {{"PNG black and white", [=] { return std::make_unique<PngWriter>(mono); },
          "depth 1 type 0"},
         true},
        {{"TIFF grey", [=] { return std::make_unique<TiffWriter>(grey); },
          "1x8 photometric 1 compression 8 extra 0 strips 1"},
         false},
        {{"TIFF black and white: Group 4, min-is-white, one strip",
          [=] { return std::make_unique<TiffWriter>(mono); },
          "1x1 photometric 0 compression 4 extra 0 strips 1"},
         true},
        {{"BMP grey", [=] { return std::make_unique<BmpWriter>(grey); }, "8 bits"}, false},
        {{"BMP black and white", [=] { return std::make_unique<BmpWriter>(mono); }, "1 bits"},
         true},
        {{"WebP grey", [] { return std::make_unique<WebpWriter>(/*grey=*/true); }, "lossless"},
         false},
        {{"JPEG grey",
          [] {
              auto writer = std::make_unique<JpegWriter>(/*grey=*/true);
              writer->SetCompressionQuality(100);
              return writer;
          },
          "1 components", 2},
         false},
    };
    const PageBitmap page = Blocks(kGreyCases, GreyCasePixel);
    for (const auto& [format, blackAndWhite] : formats) {
        SCOPED_TRACE(format.Name);
        auto writer = format.Writer();
        const std::string file = Save(*writer, page);
        EXPECT_EQ(Storage(file), format.Stored);
        ExpectBlocks(testing::DecodeImage(file), kGreyCases, blackAndWhite ? BitOfCase : GreyOfCase,
                     format.Tolerance);
    }
}

struct AlphaCase {
    std::uint32_t Pixel; // 0xAARRGGBB, straight alpha as the engine draws it
    int Grey;
    const char* Why = "";
};

const std::vector<AlphaCase> kAlphaCases = {
    {0xFFFF0000, 76, "opaque red"},
    {0x7FFF0000, 76, "half-transparent red keeps full red: not premultiplied"},
    {0x00000000, 0, "transparent"},
    {0x010A141E, 18, "nearly transparent, its colour still kept"},
    {0xC01CC90A, 128},
};

std::uint32_t AlphaCasePixel(const AlphaCase& c) {
    return c.Pixel;
}

std::array<int, 4> ColourWithAlpha(const AlphaCase& c) {
    return {int(c.Pixel >> 16 & 0xFF), int(c.Pixel >> 8 & 0xFF), int(c.Pixel & 0xFF),
            int(c.Pixel >> 24)};
}

std::array<int, 4> GreyWithAlpha(const AlphaCase& c) {
    return {c.Grey, c.Grey, c.Grey, int(c.Pixel >> 24)};
}

TEST(PixelModes, AlphaIsTheFourthByteStraightInEveryFormatThatHoldsIt) {
    const auto colour = PixelMode::Colour;
    const auto grey = PixelMode::Grey;
    const struct {
        ModeFormat Writer;
        bool Grey;
    } formats[] = {
        {{"PNG colour", [=] { return std::make_unique<PngWriter>(colour, true); },
          "depth 8 type 6"},
         false},
        {{"PNG grey", [=] { return std::make_unique<PngWriter>(grey, true); }, "depth 8 type 4"},
         true},
        {{"TIFF colour, unassociated alpha",
          [=] { return std::make_unique<TiffWriter>(colour, true); },
          "4x8 photometric 2 compression 8 extra 2 strips 1"},
         false},
        {{"TIFF grey", [=] { return std::make_unique<TiffWriter>(grey, true); },
          "2x8 photometric 1 compression 8 extra 2 strips 1"},
         true},
        {{"WebP colour", [] { return std::make_unique<WebpWriter>(false, true); },
          "lossless with alpha"},
         false},
        {{"WebP grey", [] { return std::make_unique<WebpWriter>(true, true); },
          "lossless with alpha"},
         true},
        {{"WebP lossy: alpha exact, colour near (premultiplied red would be 127 off)",
          [] {
              auto writer = std::make_unique<WebpWriter>(false, true);
              writer->SetLossyQuality(90);
              return writer;
          },
          "lossy with alpha", 60},
         false},
    };
    const PageBitmap page = Blocks(kAlphaCases, AlphaCasePixel);
    for (const auto& [format, isGrey] : formats) {
        SCOPED_TRACE(format.Name);
        auto writer = format.Writer();
        const std::string file = Save(*writer, page);
        EXPECT_EQ(Storage(file), format.Stored);
        ExpectBlocks(testing::DecodeImage(file), kAlphaCases,
                     isGrey ? GreyWithAlpha : ColourWithAlpha, format.Tolerance);
    }
}

TEST(WebpWriter, LosslessByDefaultOpaqueWithoutAlphaAndLossyAtAQuality) {
    const PageBitmap noise = testing::NoiseBitmap(61, 37, 5); // random fourth bytes too
    WebpWriter writer;
    const auto lossless = testing::DecodeWebp(Save(writer, noise));
    EXPECT_TRUE(lossless.Lossless);
    EXPECT_TRUE(lossless.Image.Alpha.empty());
    EXPECT_TRUE(lossless.Image.Rgb == testing::RgbOf(noise).Rgb) << "the pixels differ";

    const PageBitmap smooth = MakeBitmap(160, 96, [](int x, int y) {
        return 0xFF000080u | std::uint32_t(x * 255 / 159) << 16 | std::uint32_t(y * 255 / 95) << 8;
    });
    writer.SetLossyQuality(90);
    const auto lossy = testing::DecodeWebp(Save(writer, smooth));
    EXPECT_FALSE(lossy.Lossless);
    EXPECT_GT(testing::Psnr(testing::RgbOf(smooth), lossy.Image), 35.0);
    EXPECT_THROW(writer.SetLossyQuality(101), Error);
    EXPECT_EQ(writer.LossyQuality(), 90);
}

TEST(WebpWriter, APageTooLargeForTheFormatIsRefusedBeforeAFileExists) {
    const struct {
        int Width, Height;
        const char* Message; // "" when written
    } cases[] = {
        {16383, 1, ""},
        {16384, 1,
         "The page of 16384 x 1 pixels is too large for a WebP file, which holds at most 16383 "
         "pixels a side"},
        {1, 16384,
         "The page of 1 x 16384 pixels is too large for a WebP file, which holds at most 16383 "
         "pixels a side"},
        {0, 0, "A picture without pixels cannot be written as WebP"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.Width) + " x " + std::to_string(c.Height));
        TempDir dir;
        PageBitmap bitmap;
        bitmap.SetSize(c.Width, c.Height);
        WebpWriter writer;
        std::string message;
        try {
            writer.SaveToFile(bitmap, dir.File("p.webp"));
        } catch (const Error& e) {
            message = e.what();
        }
        EXPECT_EQ(message, c.Message);
        EXPECT_EQ(std::filesystem::exists(dir.File("p.webp")), message.empty());
    }
}

} // namespace
} // namespace folioxa
