// Whole runs over PDF files from the fuzzer's bytes: open with TPdf (form fill on), list pages
// 1 to 3, render each at a low resolution and hand the bitmap to an output that checks it.
// Whatever the bytes, the run must end normally or with an Error carrying its text, leave the
// component closed, and never crash, hang or leak.
#include "FuzzCheck.h"
#include "conversion/ConversionJob.h"
#include "imaging/ByteSink.h"
#include "imaging/OutputFile.h"
#include "imaging/PageBitmap.h"
#include "pdf/PDFium.h"
#include "support/TestFiles.h"

namespace folioxa::fuzz {
namespace {

// Pages up to this many pixels are rendered; larger ones (a mutated MediaBox can ask for the
// engine's 2 GiB limit at any resolution) are refused, so one input cannot eat the machine.
constexpr std::int64_t kMaxPixels = std::int64_t{4} << 20;

// TPdf with a ceiling on the bitmap it is asked for.
class BoundedDocument : public ConversionDocument {
public:
    explicit BoundedDocument(TPdf& pdf) : FPdf(pdf) {}
    void SetFileName(const std::string& name) override { FPdf.SetFileName(name); }
    void SetPassword(const std::string& password) override { FPdf.SetPassword(password); }
    void SetActive(bool active) override { FPdf.SetActive(active); }
    int PageCount() override { return FPdf.PageCount(); }
    void SetPageNumber(int page) override { FPdf.SetPageNumber(page); }
    double PageWidth() override { return FPdf.PageWidth(); }
    double PageHeight() override { return FPdf.PageHeight(); }
    std::unique_ptr<PageBitmap> RenderPageOnWhite(int width, int height) override {
        if (std::int64_t{width} * height > kMaxPixels) {
            throw Error("larger than the fuzzer renders");
        }
        auto bitmap = FPdf.RenderPageOnWhite(width, height);
        FUZZ_CHECK(bitmap && bitmap->Width() == width && bitmap->Height() == height,
                   "bitmap of the wrong size");
        return bitmap;
    }

private:
    TPdf& FPdf;
};

// Reads every page a run would write, writing nothing.
class CheckingWriter : public ImageWriter {
public:
    void Encode(const PageBitmap&, ByteSink&) override {}
    void SaveToFile(const PageBitmap& bitmap, const std::shared_ptr<const OutputFolder>&,
                    const std::string&) override {
        // Every row readable to its end (what a writer will do), which ASan checks.
        unsigned sum = 0;
        for (int y = 0; y < bitmap.Height(); ++y) {
            const std::uint8_t* row = bitmap.ScanLine(y);
            sum += row[0] + unsigned{row[bitmap.RowBytes() - 1]};
        }
        FUZZ_CHECK(sum <= 510U * static_cast<unsigned>(bitmap.Height()), "impossible pixels");
    }
};

const ImageFormats& CheckingOutput() {
    static const ImageFormats formats({{"BMP", ".bmp", [](const WriterOptions&) {
                                            return std::unique_ptr<ImageWriter>(new CheckingWriter);
                                        }}});
    return formats;
}

class SilentView : public ConversionView {
public:
    void ShowNotice(const std::string&) override {}
    void SetBusy(bool) override {}
    void SetProgressVisible(bool) override {}
    void SetProgressMax(int) override {}
    void SetProgressPosition(int) override {}
    void SetConvertControlsEnabled(bool) override {}
};

} // namespace
} // namespace folioxa::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace folioxa;
    static const testing::TempDir dir;
    const std::string path = dir.File("input.pdf");
    testing::WriteFile(path, std::string(reinterpret_cast<const char*>(data), size));

    ConversionSettings settings;
    settings.InputFileName = path;
    settings.ConvertMethod = cmPageSelection;
    settings.PageSelection = "1-3";
    settings.ImageType = "BMP";
    settings.Resolution = 9;
    settings.BaseFileName = "page_";
    settings.DestinationFolder = dir.Path().string() + "/";
    TPdf pdf("Pdf");
    fuzz::BoundedDocument document(pdf);
    fuzz::SilentView view;
    try {
        RunConversion(settings, document, view, {}, &fuzz::CheckingOutput());
    } catch (const Error& e) {
        FUZZ_CHECK(e.what()[0] != '\0', "a failure without a message");
    }
    FUZZ_CHECK(!pdf.Active() && pdf.PageNumber() == 0, "component left open");
    return 0;
}
