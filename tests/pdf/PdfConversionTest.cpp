#include "conversion/ConversionJob.h"
#include "conversion/FileImageOutput.h"
#include "pdf/PDFium.h"
#include "support/TestFiles.h"
#include "support/TestPdf.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace folioxa {
namespace {

using testing::EncryptPdf;
using testing::MakePdf;
using testing::ReadFile;
using testing::TempDir;
using testing::TestPage;
using testing::WriteFile;

class RecordingView : public ConversionView {
public:
    void ShowNotice(const std::string& text) override { Notices.push_back(text); }
    void SetBusy(bool) override {}
    void SetProgressVisible(bool) override {}
    void SetProgressMax(int) override {}
    void SetProgressPosition(int) override {}
    void SetConvertControlsEnabled(bool) override {}
    std::vector<std::string> Notices;
};

std::uint32_t Le32(const std::string& bytes, std::size_t at) {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at])) |
           static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + 1])) << 8 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + 2])) << 16 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + 3])) << 24;
}

std::uint32_t Be(const std::string& bytes, std::size_t at, int count) {
    std::uint32_t value = 0;
    for (int i = 0; i < count; ++i) {
        value = value << 8 | static_cast<unsigned char>(bytes[at + static_cast<std::size_t>(i)]);
    }
    return value;
}

// Width and height from a baseline JPEG's SOF0 segment.
std::pair<std::uint32_t, std::uint32_t> JpegSize(const std::string& bytes) {
    for (std::size_t at = 2; at + 9 < bytes.size();) {
        if (static_cast<unsigned char>(bytes[at]) != 0xFF) {
            break;
        }
        if (static_cast<unsigned char>(bytes[at + 1]) == 0xC0) {
            return {Be(bytes, at + 7, 2), Be(bytes, at + 5, 2)};
        }
        at += 2 + Be(bytes, at + 2, 2);
    }
    return {0, 0};
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
    FileImageOutput FOutput;
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
        RunConversion(FSettings, FPdf, FOutput, FView);
        EXPECT_EQ(FView.Notices, (std::vector<std::string>{"Conversion complete!"}));
        EXPECT_FALSE(FPdf.Active());
        EXPECT_EQ(FPdf.PageNumber(), 0);
        for (const char* page : {"01", "02", "10", "12"}) {
            const std::string bytes =
                ReadFile(FDir.File("out/report_" + std::string(page) + c.Extension));
            // 200 x 100 points at 144 dots per inch: 400 x 200 pixels.
            if (c.Type == "BMP") {
                ASSERT_EQ(bytes.size(), 54U + 400 * 200 * 4);
                EXPECT_EQ(Le32(bytes, 18), 400U);
                EXPECT_EQ(Le32(bytes, 22), 200U);
            } else if (c.Type == "PNG") {
                ASSERT_GT(bytes.size(), 24U);
                EXPECT_EQ(bytes.substr(1, 3), "PNG");
                EXPECT_EQ(Be(bytes, 16, 4), 400U);
                EXPECT_EQ(Be(bytes, 20, 4), 200U);
            } else {
                EXPECT_EQ(Be(bytes, 0, 2), 0xFFD8U);
                EXPECT_EQ(JpegSize(bytes), (std::pair<std::uint32_t, std::uint32_t>{400, 200}));
            }
        }
    }
    EXPECT_EQ(OutputFiles().size(), 12U);
}

TEST_F(PdfConversion, BmpHoldsThePageAsRendered) {
    FSettings.ImageType = "BMP";
    FSettings.ConvertMethod = cmPageSelection;
    FSettings.PageSelection = "3";
    RunConversion(FSettings, FPdf, FOutput, FView);
    const std::string bytes = ReadFile(FDir.File("out/report_03.bmp"));
    // Page 3's square spans x 20-30 points at the bottom: pixels 40-60, the last 20 rows, which
    // the bottom-up file stores first.
    const auto pixel = [&](int x, int bottomRow) {
        return bytes.substr(54 + static_cast<std::size_t>(bottomRow * 400 + x) * 4, 3);
    };
    EXPECT_EQ(pixel(50, 5), std::string("\x00\x00\xFF", 3));
    EXPECT_EQ(pixel(10, 5), std::string("\xFF\xFF\xFF", 3));
    EXPECT_EQ(pixel(50, 100), std::string("\xFF\xFF\xFF", 3));
}

TEST_F(PdfConversion, PageBeyondTheEndFailsAfterEarlierPagesWereWritten) {
    FSettings.ImageType = "PNG";
    FSettings.ConvertMethod = cmPageSelection;
    FSettings.PageSelection = "1-2,15,3";
    try {
        RunConversion(FSettings, FPdf, FOutput, FView);
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
        RunConversion(FSettings, FPdf, FOutput, FView);
        FAIL() << "opened without its password";
    } catch (const EPdfError& error) {
        EXPECT_STREQ(error.what(), "Password required or incorrect password");
    }
    EXPECT_TRUE(OutputFiles().empty());
    FSettings.InputPassword = "secret";
    RunConversion(FSettings, FPdf, FOutput, FView);
    EXPECT_EQ(OutputFiles().size(), 12U);
    EXPECT_EQ(OutputFiles().front(), "locked_01.jpg");
}

} // namespace
} // namespace folioxa
