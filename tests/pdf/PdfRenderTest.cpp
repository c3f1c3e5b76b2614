#include "imaging/PageBitmap.h"
#include "pdf/EngineSpy.h"
#include "pdf/PDFium.h"
#include "support/Corpus.h"
#include "support/TestFiles.h"
#include "support/TestPdf.h"

#include <gtest/gtest.h>

#include <cfenv>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <vector>

namespace folioxa {
namespace {

using testing::EngineSpy;
using testing::kTextFieldRect;
using testing::MakePdf;
using testing::TempDir;
using testing::TestPage;
using testing::WriteFile;

// Bytes B, G, R of one pixel as "BBGGRR".
std::string Bgr(const PageBitmap& bitmap, int x, int y) {
    const std::uint8_t* p = bitmap.ScanLine(y) + static_cast<std::ptrdiff_t>(x) * 4;
    char text[8];
    std::snprintf(text, sizeof text, "%02X%02X%02X", p[0], p[1], p[2]);
    return text;
}

// Pixels in [x0, x1) x [y0, y1) whose red byte is below 0x80.
int DarkPixels(const PageBitmap& bitmap, int x0, int y0, int x1, int y1) {
    int count = 0;
    for (int y = y0; y < y1; ++y) {
        for (int x = x0; x < x1; ++x) {
            count += bitmap.ScanLine(y)[x * 4 + 2] < 0x80 ? 1 : 0;
        }
    }
    return count;
}

TEST(RenderOptionsToFlags, EachOptionHasItsEngineBit) {
    struct Case {
        TRenderOption Option;
        int Flag;
    };
    const Case cases[] = {
        {reAnnotations, 0x01},    {reLcd, 0x02},
        {reNoNativeText, 0x04},   {reGrayscale, 0x08},
        {reDebugInfo, 0x80},      {reNoCatchException, 0x100},
        {reLimitCache, 0x200},    {reHalftone, 0x400},
        {rePrinting, 0x800},      {reReverseByteOrder, 0x10},
        {reNoSmoothText, 0x1000}, {reNoSmoothImage, 0x2000},
        {reNoSmoothPath, 0x4000},
    };
    TRenderOptions all;
    int allFlags = 0;
    for (const Case& c : cases) {
        EXPECT_EQ(RenderOptionsToFlags({c.Option}), c.Flag) << c.Option;
        all.Include(c.Option);
        allFlags |= c.Flag;
    }
    EXPECT_EQ(RenderOptionsToFlags({}), 0);
    EXPECT_EQ(RenderOptionsToFlags(all), allFlags);
    EXPECT_EQ(RenderOptionsToFlags({reAnnotations, rePrinting}), 0x801);
}

TEST(ColorToArgb, SwapsRedAndBlueAndResolvesSystemColours) {
    struct Case {
        TColor Color;
        std::uint8_t Alpha;
        std::uint32_t Argb;
    };
    const Case cases[] = {
        {clWhite, 0xFF, 0xFFFFFFFF},
        {clRed, 0xFF, 0xFFFF0000},
        {0x00FF0000, 0xFF, 0xFF0000FF}, // blue
        {0x00332211, 0x80, 0x80112233},
        {0x12332211, 0xFF, 0xFF112233}, // a top byte other than 0xFF is ignored
        {clWindow, 0xFF, 0xFFFFFFFF},
        {clBtnFace, 0xFF, 0xFFF0F0F0},
        {0xFF00000D, 0xFF, 0xFF0078D7}, // highlight
        {0xFF0000FF, 0xFF, 0xFF000000}, // no such index: black
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ColorToArgb(c.Color, c.Alpha), c.Argb) << std::hex << c.Color;
    }
}

TEST(PdfErrorText, EveryEngineCodeHasItsText) {
    const std::pair<unsigned long, const char*> cases[] = {
        {0, ""},
        {1, "Unknown error"},
        {2, "File not found or could not be opened"},
        {3, "File not in PDF format or corrupted"},
        {4, "Password required or incorrect password"},
        {5, "Unsupported security scheme"},
        {6, "Page not found or content error"},
        {7, "Unknown error"},
        {0xFFFFFFFFUL, "Unknown error"},
    };
    for (const auto& [code, text] : cases) {
        EXPECT_EQ(PdfErrorText(code), text) << code;
    }
}

class PdfRender : public ::testing::Test {
protected:
    // Page 1: 200 x 100 points, a red rectangle at x 20-60, y 10-40 (from the bottom).
    // Page 2: a US letter page with a filled text field. Page 3: transparency. Page 4: empty.
    void SetUp() override {
        TestPage red;
        red.Width = 200;
        red.Height = 100;
        red.Rects = {{20, 10, 40, 30, 0xFF0000}};
        TestPage form;
        form.TextFieldValue = "Hello";
        TestPage transparent = red;
        transparent.TransparencyGroup = true;
        WriteFile(FDir.File("r.pdf"), MakePdf({red, form, transparent, TestPage{}}));
        FPdf.SetFileName(FDir.File("r.pdf"));
    }
    void Open(int page, bool formFill = true) {
        FPdf.SetFormFill(formFill);
        FPdf.SetPageNumber(page);
        FPdf.SetActive(true);
    }
    TempDir FDir;
    TPdf FPdf{"Pdf"};
};

TEST_F(PdfRender, PixelsLandWhereThePageDrawsThemInBlueGreenRedOrder) {
    Open(1);
    const auto bitmap = FPdf.RenderPage(0, 0, 400, 200);
    ASSERT_NE(bitmap, nullptr);
    EXPECT_EQ(bitmap->PixelFormat(), pf32bit);
    ASSERT_EQ(bitmap->Width(), 400);
    ASSERT_EQ(bitmap->Height(), 200);
    // Scale 2, top row first: the rectangle covers x 40-120 and rows 120-180.
    EXPECT_EQ(Bgr(*bitmap, 80, 150), "0000FF");
    EXPECT_EQ(Bgr(*bitmap, 41, 121), "0000FF");
    EXPECT_EQ(Bgr(*bitmap, 80, 50), "FFFFFF"); // the same column, mirrored: untouched
    EXPECT_EQ(Bgr(*bitmap, 0, 0), "FFFFFF");
    EXPECT_EQ(Bgr(*bitmap, 399, 199), "FFFFFF");
    EXPECT_EQ(Bgr(*bitmap, 130, 150), "FFFFFF");
}

TEST_F(PdfRender, OptionsReachTheEngineAsItsFlags) {
    Open(1);
    struct Case {
        TRenderOptions Options;
        std::string RedPixel; // first three bytes
    };
    const Case cases[] = {
        {{}, "0000FF"},
        {{reReverseByteOrder}, "FF0000"}, // red, green, blue
        {{reGrayscale}, "4C4C4C"},        // the luminance of pure red
    };
    for (const Case& c : cases) {
        const auto bitmap = FPdf.RenderPage(0, 0, 400, 200, ro0, c.Options);
        EXPECT_EQ(Bgr(*bitmap, 80, 150), c.RedPixel) << RenderOptionsToFlags(c.Options);
        EXPECT_EQ(Bgr(*bitmap, 0, 0), "FFFFFF");
    }
}

TEST_F(PdfRender, SizeIsExactlyTheOneAskedFor) {
    Open(4);
    const std::pair<int, int> sizes[] = {{2551, 3301}, {1, 1}, {3301, 7}, {201, 100}};
    for (const auto& [width, height] : sizes) {
        const auto bitmap = FPdf.RenderPage(0, 0, width, height);
        ASSERT_NE(bitmap, nullptr);
        EXPECT_EQ(bitmap->Width(), width);
        EXPECT_EQ(bitmap->Height(), height);
        EXPECT_EQ(Bgr(*bitmap, width - 1, height - 1), "FFFFFF");
    }
}

TEST_F(PdfRender, RotationReachesTheEngineAndKeepsTheSizeAsked) {
    Open(1);
    EngineSpy spy;
    // Turned a quarter clockwise the 200 x 100 page stands 100 x 200 (x 2): the rectangle's
    // lower-left corner region moves to the top-left, covering x 20-80 and rows 40-120.
    const auto turned = FPdf.RenderPage(0, 0, 200, 400, ro90);
    ASSERT_NE(turned, nullptr);
    EXPECT_EQ(turned->Width(), 200);
    EXPECT_EQ(turned->Height(), 400);
    EXPECT_EQ(Bgr(*turned, 50, 80), "0000FF");
    EXPECT_EQ(Bgr(*turned, 150, 80), "FFFFFF");
    EXPECT_EQ(Bgr(*turned, 50, 320), "FFFFFF");

    const auto upsideDown = FPdf.RenderPage(0, 0, 400, 200, ro180);
    EXPECT_EQ(Bgr(*upsideDown, 320, 50), "0000FF");
    EXPECT_EQ(Bgr(*upsideDown, 80, 150), "FFFFFF");
    EXPECT_EQ(spy.CallsOf("FPDF_RenderPageBitmap"),
              (std::vector<std::string>{"FPDF_RenderPageBitmap rotate=1 flags=0",
                                        "FPDF_RenderPageBitmap rotate=2 flags=0"}));
}

TEST_F(PdfRender, OffsetShiftsThePageAndCutsItAtTheEdge) {
    Open(1);
    const auto bitmap = FPdf.RenderPage(-40, 0, 400, 200);
    EXPECT_EQ(Bgr(*bitmap, 10, 150), "0000FF"); // x 40-120 moved to 0-80
    EXPECT_EQ(Bgr(*bitmap, 100, 150), "FFFFFF");
}

TEST_F(PdfRender, NonPositiveSizeGivesNullWithoutCallingTheEngine) {
    Open(1);
    EngineSpy spy;
    const std::pair<int, int> sizes[] = {{0, 100}, {100, 0}, {-1, 100}, {100, -5}, {0, 0}};
    for (const auto& [width, height] : sizes) {
        EXPECT_EQ(FPdf.RenderPage(0, 0, width, height), nullptr);
    }
    EXPECT_EQ(FPdf.RenderPageOnWhite(0, 10), nullptr);
    EXPECT_TRUE(spy.Calls.empty()) << spy.Calls.front();
}

TEST_F(PdfRender, BackgroundIsTheColourGivenFullyOpaque) {
    Open(4);
    struct Case {
        TColor Color;
        std::string Bgr;
    };
    const Case cases[] = {
        {clWhite, "FFFFFF"},
        {clRed, "0000FF"},
        {0x00332211, "332211"},
        {clBtnFace, "F0F0F0"},
    };
    for (const Case& c : cases) {
        const auto bitmap = FPdf.RenderPage(0, 0, 3, 2, ro0, {}, c.Color);
        EXPECT_EQ(Bgr(*bitmap, 2, 1), c.Bgr);
        EXPECT_EQ(bitmap->ScanLine(1)[2 * 4 + 3], 0xFF);
    }
}

TEST_F(PdfRender, TransparentPageComesBackAsThirtyTwoBitsOfTheSizeAsked) {
    Open(3);
    EngineSpy spy;
    const auto bitmap = FPdf.RenderPageOnWhite(201, 99);
    ASSERT_NE(bitmap, nullptr);
    EXPECT_EQ(bitmap->PixelFormat(), pf32bit);
    EXPECT_EQ(bitmap->Width(), 201);
    EXPECT_EQ(bitmap->Height(), 99);
    // The engine drew with alpha straight into the bitmap's rows; the white background is opaque
    // where nothing was drawn.
    EXPECT_EQ(spy.CallsOf("FPDFBitmap_CreateEx"),
              (std::vector<std::string>{"FPDFBitmap_CreateEx 201 99 4 804"}));
    EXPECT_EQ(bitmap->ScanLine(0)[3], 0xFF);
    EXPECT_EQ(Bgr(*bitmap, 40, 70), "0000FF");
}

// Made at opening or after it (a document opened only to count its pages, then drawn), in the
// component's own bitmap or in place in memory it only views.
TEST_F(PdfRender, FilledFormFieldIsDrawnOnlyWithAFormFillEnvironment) {
    Open(2);
    const auto withForm = FPdf.RenderPageOnWhite(612, 792);
    FPdf.SetActive(false);
    Open(2, /*formFill=*/false);
    const auto withoutForm = FPdf.RenderPageOnWhite(612, 792);
    // At 72 dots per inch a point is a pixel; rows count from the top.
    const int x0 = static_cast<int>(kTextFieldRect.X);
    const int x1 = static_cast<int>(kTextFieldRect.X + kTextFieldRect.W);
    const int y0 = 792 - static_cast<int>(kTextFieldRect.Y + kTextFieldRect.H);
    const int y1 = 792 - static_cast<int>(kTextFieldRect.Y);
    EXPECT_GT(DarkPixels(*withForm, x0 + 4, y0 + 4, x1 - 4, y1 - 4), 100); // the value's glyphs
    EXPECT_EQ(DarkPixels(*withoutForm, 0, 0, 612, 792), 0);

    FPdf.CreateFormFill();
    std::vector<std::uint8_t> memory(612 * 792 * 4, 0x5A);
    PageBitmap inPlace = PageBitmap::View(memory.data(), 612, 792);
    FPdf.RenderPageInto(inPlace);
    EXPECT_EQ(inPlace.ScanLine(0), memory.data());
    EXPECT_EQ(std::memcmp(memory.data(), withForm->ScanLine(0), memory.size()), 0);
}

TEST_F(PdfRender, PrintingDrawsWithoutHighlightAndSwitchesItBackOn) {
    Open(2);
    EngineSpy spy;
    // Inside the field, right of the value: the field's white, tinted by the highlight.
    const int x = 250;
    const int y = 792 - 60;
    const auto before = FPdf.RenderPageOnWhite(612, 792);
    const auto printed = FPdf.RenderPage(0, 0, 612, 792, ro0, {rePrinting});
    const auto after = FPdf.RenderPageOnWhite(612, 792);
    EXPECT_EQ(Bgr(*printed, x, y), "FFFFFF");
    EXPECT_NE(Bgr(*before, x, y), "FFFFFF");
    EXPECT_EQ(Bgr(*after, x, y), Bgr(*before, x, y));
    EXPECT_EQ(spy.CallsOf("FPDF_FFLDraw"),
              (std::vector<std::string>{"FPDF_FFLDraw rotate=0 flags=0",
                                        "FPDF_FFLDraw rotate=0 flags=2048",
                                        "FPDF_FFLDraw rotate=0 flags=0"}));
}

TEST_F(PdfRender, EngineBitmapIsDestroyedAndMasksRestoredOnEveryPath) {
    Open(1);
    EngineSpy spy;
    fedisableexcept(FE_ALL_EXCEPT);
    feenableexcept(FE_DIVBYZERO);

    ASSERT_NE(FPdf.RenderPageOnWhite(20, 10), nullptr);
    EXPECT_EQ(spy.EnabledDuringRender, 0);
    EXPECT_EQ(fegetexcept(), FE_DIVBYZERO);

    EXPECT_THROW(FPdf.RenderPageOnWhite(50000, 50000), EPdfError); // the engine refuses
    EXPECT_EQ(fegetexcept(), FE_DIVBYZERO);
    fedisableexcept(FE_ALL_EXCEPT);

    EXPECT_EQ(spy.CallsOf("FPDFBitmap_CreateEx").size(), 2U);
    EXPECT_EQ(spy.CallsOf("FPDFBitmap_Destroy").size(), 1U); // the refused one never existed
}

TEST_F(PdfRender, RendersRealDocumentsFromTheCorpus) {
    const std::string file = testing::CorpusFile("real/vector_personwithdog.pdf");
    if (file.empty()) {
        GTEST_SKIP() << testing::CorpusMissing("real/vector_personwithdog.pdf");
    }
    TPdf pdf("Pdf");
    pdf.SetFileName(file);
    pdf.SetPageNumber(1);
    pdf.SetActive(true);
    const int width = static_cast<int>(pdf.PageWidth() / 4);
    const int height = static_cast<int>(pdf.PageHeight() / 4);
    const auto bitmap = pdf.RenderPageOnWhite(width, height);
    ASSERT_NE(bitmap, nullptr);
    EXPECT_GT(DarkPixels(*bitmap, 0, 0, width, height), 0);
}

} // namespace
} // namespace folioxa
