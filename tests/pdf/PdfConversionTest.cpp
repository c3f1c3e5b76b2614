#include "conversion/ConversionJob.h"
#include "conversion/Messages.h"
#include "pdf/PDFium.h"
#include "support/ImageFiles.h"
#include "support/NoticeView.h"
#include "support/TestFiles.h"
#include "support/TestPdf.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

namespace folioxa {
namespace {

using testing::DecodedImage;
using testing::DecodeJpeg;
using testing::DecodePng;
using testing::EncryptPdf;
using testing::MakePdf;
using testing::ReadFile;
using testing::TempDir;
using testing::TestPage;
using testing::WriteFile;

using RecordingView = testing::NoticeView;

// A 32-bit bottom-up BMP file as red, green, blue rows, top first.
DecodedImage DecodeBmp(const std::string& file) {
    const auto le32 = [&](std::size_t at) {
        std::uint32_t value = 0;
        for (std::size_t i = 4; i-- > 0;) {
            value = value << 8 | static_cast<unsigned char>(file.at(at + i));
        }
        return static_cast<int>(value);
    };
    DecodedImage image{le32(18), le32(22), {}};
    for (int y = image.Height - 1; y >= 0; --y) {
        for (int x = 0; x < image.Width; ++x) {
            const std::size_t at = 54 + static_cast<std::size_t>(y * image.Width + x) * 4;
            image.Rgb.insert(image.Rgb.end(), {static_cast<std::uint8_t>(file.at(at + 2)),
                                               static_cast<std::uint8_t>(file.at(at + 1)),
                                               static_cast<std::uint8_t>(file.at(at))});
        }
    }
    return image;
}

// Whether pixel (x, y) is within `tolerance` of the colour 0xRRGGBB.
bool Near(const DecodedImage& image, int x, int y, std::uint32_t rgb, int tolerance) {
    const std::size_t at = static_cast<std::size_t>(y * image.Width + x) * 3;
    for (int channel = 0; channel < 3; ++channel) {
        const int expected = static_cast<int>((rgb >> (16 - 8 * channel)) & 0xFF);
        if (std::abs(image.Rgb.at(at + static_cast<std::size_t>(channel)) - expected) > tolerance) {
            return false;
        }
    }
    return true;
}

class PdfConversion : public ::testing::Test {
protected:
    // Twelve 200 x 100 point pages, each with a red square whose x grows with the page.
    void SetUp() override {
        std::vector<TestPage> pages(12);
        for (std::size_t i = 0; i < pages.size(); ++i) {
            pages[i].Width = 200;
            pages[i].Height = 100;
            pages[i].Rects = {{10.0 * static_cast<double>(i), 0, 10, 10, 0xFF0000}};
        }
        WriteFile(FDir.File("report.pdf"), MakePdf(pages));
        FSettings.InputFileName = FDir.File("report.pdf");
        FSettings.Resolution = 144;
        FSettings.BaseFileName = "report_";
        FSettings.DestinationFolder = FDir.File("out") + "/";
        std::filesystem::create_directory(FDir.File("out"));
    }
    std::vector<std::string> OutputFiles() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(FDir.File("out"))) {
            names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }
    TempDir FDir;
    ConversionSettings FSettings;
    TPdf FPdf{"Pdf"};
    RecordingView FView;
};

TEST_F(PdfConversion, WritesEveryTypeUnderTheNamingRule) {
    struct Case {
        std::string Type, Extension;
    };
    const Case cases[] = {{"BMP", ".bmp"}, {"JPG", ".jpg"}, {"PNG", ".png"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Type);
        FSettings.ImageType = c.Type;
        FSettings.ConvertMethod = cmPageSelection;
        FSettings.PageSelection = "1-2,10,12";
        FView.Notices.clear();
        RunConversion(FSettings, FPdf, FView);
        EXPECT_EQ(FView.Notices, (std::vector<std::string>{"Conversion complete!"}));
        EXPECT_FALSE(FPdf.Active());
        EXPECT_EQ(FPdf.PageNumber(), 0);
        for (const int page : {1, 2, 10, 12}) {
            const std::string name =
                (page < 10 ? "out/report_0" : "out/report_") + std::to_string(page) + c.Extension;
            const std::string file = ReadFile(FDir.File(name));
            const DecodedImage image = c.Type == "BMP"   ? DecodeBmp(file)
                                       : c.Type == "PNG" ? DecodePng(file)
                                                         : DecodeJpeg(file);
            // 200 x 100 points at 144 dots per inch: 400 x 200 pixels. The page's square
            // spans x 20 (page - 1) to 20 (page - 1) + 20 in the bottom 20 rows.
            ASSERT_EQ(image.Width, 400);
            ASSERT_EQ(image.Height, 200);
            const int tolerance = c.Type == "JPG" ? 24 : 0;
            const int x = 20 * (page - 1) + 10;
            EXPECT_TRUE(Near(image, x, 190, 0xFF0000, tolerance)) << name;
            EXPECT_TRUE(Near(image, x, 150, 0xFFFFFF, tolerance)) << name;
            EXPECT_TRUE(Near(image, (x + 200) % 400, 190, 0xFFFFFF, tolerance)) << name;
        }
    }
    EXPECT_EQ(OutputFiles().size(), 12U);
}

TEST_F(PdfConversion, PageBeyondTheEndFailsAfterEarlierPagesWereWritten) {
    FSettings.ImageType = "PNG";
    FSettings.ConvertMethod = cmPageSelection;
    FSettings.PageSelection = "1-2,15,3";
    try {
        RunConversion(FSettings, FPdf, FView);
        FAIL() << "the run succeeded";
    } catch (const EPdfError& error) {
        EXPECT_STREQ(error.what(), "Cannot open page 15");
    }
    EXPECT_EQ(OutputFiles(), (std::vector<std::string>{"report_01.png", "report_02.png"}));
    EXPECT_TRUE(FView.Notices.empty());
    EXPECT_FALSE(FPdf.Active());
    EXPECT_EQ(FPdf.PageNumber(), 0);
}

TEST_F(PdfConversion, ProtectedDocumentConvertsWithItsPassword) {
    EncryptPdf(FSettings.InputFileName, FDir.File("locked.pdf"), "secret", "owner", "aes-256");
    FSettings.InputFileName = FDir.File("locked.pdf");
    FSettings.ImageType = "JPG";
    FSettings.BaseFileName = "locked_";
    try {
        RunConversion(FSettings, FPdf, FView);
        FAIL() << "opened without its password";
    } catch (const EOpenError& error) {
        EXPECT_STREQ(error.what(), "Password required or incorrect password");
    }
    EXPECT_TRUE(OutputFiles().empty());
    FSettings.InputPassword = "secret";
    RunConversion(FSettings, FPdf, FView);
    EXPECT_EQ(OutputFiles().size(), 12U);
    EXPECT_EQ(OutputFiles().front(), "locked_01.jpg");
}

} // namespace
} // namespace folioxa
