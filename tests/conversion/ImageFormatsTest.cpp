#include "conversion/ImageFormats.h"

#include "conversion/ConversionJob.h"
#include "imaging/OutputFile.h"
#include "imaging/PageBitmap.h"
#include "support/ImageFiles.h"
#include "support/NoticeView.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace folioxa {
namespace {

using testing::ReadFile;
using testing::TempDir;

// Pages of 30 x 20 points, each a solid colour, drawn by the page number.
class ColouredDocument : public ConversionDocument {
public:
    explicit ColouredDocument(std::vector<std::uint32_t> colours) : FColours(std::move(colours)) {}
    void SetFileName(const std::string&) override {}
    void SetPassword(const std::string&) override {}
    void SetActive(bool active) override { FActive = active; }
    int PageCount() override { return static_cast<int>(FColours.size()); }
    void SetPageNumber(int page) override {
        if (FActive && page > PageCount()) {
            throw Error("Cannot open page " + std::to_string(page));
        }
        FPage = page;
    }
    double PageWidth() override { return 30; }
    double PageHeight() override { return 20; }
    std::unique_ptr<PageBitmap> RenderPageOnWhite(int width, int height) override {
        const std::uint32_t colour = FColours.at(static_cast<std::size_t>(FPage - 1));
        return std::make_unique<PageBitmap>(
            testing::MakeBitmap(width, height, [colour](int, int) { return colour; }));
    }

private:
    std::vector<std::uint32_t> FColours;
    bool FActive = false;
    int FPage = 0;
};

using SilentView = testing::NoticeView;

std::array<int, 3> FirstPixel(const testing::DecodedImage& image) {
    return {image.Rgb.at(0), image.Rgb.at(1), image.Rgb.at(2)};
}

TEST(ImageFormats, ARunWritesRealFilesOfEveryType) {
    const std::vector<std::uint32_t> colours = {0xFFFF0000, 0xFF00FF00, 0xFF0000FF};
    const struct {
        const char* Type;
        const char* Extension;
        int Tolerance; // JPEG is lossy
        std::function<testing::DecodedImage(const std::string&)> Decode;
    } cases[] = {
        {"PNG", ".png", 0, testing::DecodePng},
        {"JPG", ".jpg", 2, testing::DecodeJpeg},
        {"TIFF", ".tif", 0,
         [](const std::string& file) { return testing::DecodeTiff(file).Image; }},
        {"WEBP", ".webp", 0,
         [](const std::string& file) { return testing::DecodeWebp(file).Image; }},
        {"BMP", ".bmp", 0,
         [](const std::string& file) {
             // 60 x 40 bottom-up rows of blue, green, red, fourth byte after the 54-byte header.
             EXPECT_EQ(file.size(), 54u + 60 * 40 * 4);
             const auto at = [&file](std::size_t i) { return std::uint8_t(file.at(54 + i)); };
             return testing::DecodedImage{60, 40, {at(2), at(1), at(0)}};
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Type);
        TempDir dir;
        ConversionSettings settings;
        settings.InputFileName = dir.File("doc.pdf");
        settings.ConvertMethod = cmPageSelection;
        settings.PageSelection = "3,1";
        settings.ImageType = c.Type;
        settings.Resolution = 144; // 30 x 20 points are 60 x 40 pixels
        settings.BaseFileName = "doc_";
        settings.DestinationFolder = dir.Path().string() + "/";
        ColouredDocument document(colours);
        SilentView view;
        RunConversion(settings, document, view);

        EXPECT_EQ(view.Notices, std::vector<std::string>{"Conversion complete!"});
        EXPECT_FALSE(std::filesystem::exists(dir.File(std::string("doc_2") + c.Extension)));
        for (const auto& [page, rgb] :
             {std::pair{1, std::array{255, 0, 0}}, std::pair{3, std::array{0, 0, 255}}}) {
            const auto image =
                c.Decode(ReadFile(dir.File("doc_" + std::to_string(page) + c.Extension)));
            EXPECT_EQ(image.Width, 60);
            EXPECT_EQ(image.Height, 40);
            for (std::size_t i = 0; i < 3; ++i) {
                EXPECT_NEAR(FirstPixel(image)[i], rgb[i], c.Tolerance) << "page " << page;
            }
        }
    }
}

TEST(ImageFormats, JpegWritersGetTheRunsQualityAndOtherNamesWriteBmp) {
    TempDir dir;
    const PageBitmap bitmap = testing::MakeBitmap(8, 8, [](int, int) { return 0xFF808080u; });
    const ImageFormat& jpeg = StandardImageFormats().Find("JPG");
    for (int quality : {100, 50}) {
        auto writer = CreateWriter(jpeg, WriterOptions{quality});
        writer->SaveToFile(bitmap, dir.File("q.jpg"));
        const auto segments = testing::ReadJpegSegments(ReadFile(dir.File("q.jpg")));
        ASSERT_GT(segments.size(), 2u);
        EXPECT_EQ(std::uint8_t(segments[2].Data.at(1)), quality == 100 ? 1 : 16) << quality;
    }
    EXPECT_THROW(CreateWriter(jpeg, WriterOptions{0}), Error);
    for (const char* name : {"BMP", "jpg", "tif", ""}) {
        EXPECT_EQ(StandardImageFormats().Find(name).Extension, ".bmp") << name;
        EXPECT_EQ(CreateWriter(StandardImageFormats().Find(name), {}), nullptr) << name;
    }
}

TEST(ImageFormats, OptionsAFormatCannotHoldAreRefusedWithTheTypesThatCan) {
    const std::string mono = ": choose PNG, TIFF or BMP";
    const std::string alpha = ": choose PNG, TIFF or WEBP";
    const auto bw = PixelMode::BlackAndWhite;
    const auto grey = PixelMode::Grey;
    const struct {
        const char* Type;
        PixelMode Pixels;
        bool Alpha;
        std::string Refusal; // "" when written
    } cases[] = {
        {"JPG", grey, false, ""},
        {"JPG", bw, false, "JPG files cannot be black and white (one bit a pixel)" + mono},
        {"WEBP", bw, false, "WEBP files cannot be black and white (one bit a pixel)" + mono},
        {"JPG", PixelMode::Colour, true, "JPG files cannot be transparent" + alpha},
        {"BMP", grey, true, "BMP files cannot be transparent" + alpha},
        {"BMP", bw, false, ""},
        {"WEBP", grey, true, ""},
        {"PNG", bw, true, "Black and white pages cannot be transparent: choose one of the two"},
        {"TIFF", bw, true, "Black and white pages cannot be transparent: choose one of the two"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.Type) + " " + std::to_string(int(c.Pixels)) +
                     (c.Alpha ? " with alpha" : ""));
        WriterOptions options;
        options.Pixels = c.Pixels;
        options.Alpha = c.Alpha;
        const ImageFormat& format = StandardImageFormats().Find(c.Type);
        EXPECT_EQ(OptionsRefusal(format, options).value_or(""), c.Refusal);
        std::string thrown;
        try {
            (void)CreateWriter(format, options);
        } catch (const Error& e) {
            thrown = e.what();
        }
        EXPECT_EQ(thrown, c.Refusal);
    }
    EXPECT_EQ(ImageTypeNames(), "JPG, PNG, TIFF, WEBP or BMP");
}

TEST(ImageFormats, AMissingDestinationEndsTheRunWithTheCreationError) {
    TempDir dir;
    ConversionSettings settings;
    settings.InputFileName = dir.File("doc.pdf");
    settings.ImageType = "PNG";
    settings.Resolution = 72;
    settings.BaseFileName = "doc_";
    settings.DestinationFolder = dir.File("gone") + "/";
    ColouredDocument document({0xFFFFFFFF});
    SilentView view;
    try {
        RunConversion(settings, document, view);
        FAIL() << "the run reported success";
    } catch (const EFCreateError& e) {
        EXPECT_EQ(std::string(e.what()), "Cannot create file \"" + dir.File("gone/doc_1.png") +
                                             "\". No such file or directory");
    }
    EXPECT_TRUE(view.Notices.empty());
}

} // namespace
} // namespace folioxa
