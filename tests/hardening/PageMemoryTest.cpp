// A page the machine has no memory for is refused before the engine is asked, with a message
// naming the page, the resolution and the pixel size; a page that fits is converted.
#include "conversion/AvailableMemory.h"
#include "conversion/ConversionJob.h"
#include "conversion/Messages.h"
#include "imaging/PageBitmap.h"
#include "support/NoticeView.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>

namespace folioxa {
namespace {

// One page of the given size in points; counts what the engine is asked to draw.
class OnePage : public ConversionDocument {
public:
    OnePage(double width, double height) : FWidth(width), FHeight(height) {}
    void SetFileName(const std::string&) override {}
    void SetPassword(const std::string&) override {}
    void SetActive(bool) override {}
    int PageCount() override { return 1; }
    void SetPageNumber(int) override {}
    double PageWidth() override { return FWidth; }
    double PageHeight() override { return FHeight; }
    std::unique_ptr<PageBitmap> RenderPageOnWhite(int width, int height) override {
        ++Renders;
        auto bitmap = std::make_unique<PageBitmap>();
        bitmap->SetSize(width, height);
        return bitmap;
    }
    int Renders = 0;

private:
    double FWidth, FHeight;
};

using QuietView = testing::NoticeView;

struct MemoryCase {
    const char* Name;
    double Width, Height; // points, at 72 DPI also pixels
    const char* Type;
    std::optional<std::uint64_t> Available;
    std::string Message;
};

void PrintTo(const MemoryCase& row, std::ostream* out) {
    *out << row.Name;
}

class PageMemory : public ::testing::TestWithParam<MemoryCase> {
protected:
    void TearDown() override { SetAvailableMemoryProbe({}); }
};

TEST_P(PageMemory, IsCheckedBeforeTheEngineDraws) {
    const MemoryCase& row = GetParam();
    SetAvailableMemoryProbe([&row] { return row.Available; });
    OnePage document(row.Width, row.Height);
    QuietView view;
    testing::TempDir dir;
    ConversionSettings settings;
    settings.InputFileName = "in.pdf";
    settings.DestinationFolder = dir.Path().string() + "/";
    settings.ImageType = row.Type;
    settings.Resolution = 72;
    std::string message;
    try {
        RunConversion(settings, document, view);
        message = view.Notices.empty() ? "" : view.Notices.back();
    } catch (const Error& e) {
        message = DisplayText(e.what());
    }
    EXPECT_EQ(message, row.Message);
    EXPECT_EQ(document.Renders, row.Message == kCompleteNotice ? 1 : 0);
}

// 100 x 50 pixels need 40000 bytes: the bitmap the engine draws into, and an encoding as large.
const MemoryCase kCases[] = {
    {"BmpFits", 100, 50, "BMP", 40000, kCompleteNotice},
    {"BmpShortByOneByte", 100, 50, "BMP", 39999,
     "Page 1 needs more memory than is free to convert at 72 DPI (100 x 50 pixels, 0 MB)"},
    {"PngFits", 100, 50, "PNG", 40000, kCompleteNotice},
    {"JpgShortByOneByte", 100, 50, "JPG", 39999,
     "Page 1 needs more memory than is free to convert at 72 DPI (100 x 50 pixels, 0 MB)"},
    {"UnknownMemory", 100, 50, "JPG", std::nullopt, kCompleteNotice},
    // Within the engine's limit (below 2 GiB of bitmap) but not within 3000 MB of memory.
    {"LargePage", 20000, 20000, "JPG", std::uint64_t{3000} << 20,
     "Page 1 needs more memory than is free to convert at 72 DPI (20000 x 20000 pixels, 3051 "
     "MB)"},
};

INSTANTIATE_TEST_SUITE_P(Cases, PageMemory, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<MemoryCase>& param) {
                             return std::string(param.param.Name);
                         });

TEST(AvailableMemory, ComesFromTheSystemUnlessReplaced) {
    const auto system = AvailableMemory();
    ASSERT_TRUE(system.has_value()) << "no MemAvailable in /proc/meminfo";
    EXPECT_GT(*system, std::uint64_t{16} << 20);
    SetAvailableMemoryProbe([] { return std::optional<std::uint64_t>(123); });
    EXPECT_EQ(AvailableMemory(), 123U);
    SetAvailableMemoryProbe({});
    EXPECT_NE(AvailableMemory(), 123U);
}

} // namespace
} // namespace folioxa
