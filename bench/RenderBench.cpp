// Render time of one page at 300 DPI: TPdf::RenderPageOnWhite against the bare engine calls
// it is made of (bitmap create, fill, render, form fields, destroy), with and without the one
// row-by-row copy into a freshly allocated page-sized buffer. Run with
//   render_bench --benchmark_repetitions=5 --benchmark_enable_random_interleaving=true
// and compare the minimums and medians.

#include "conversion/ConversionJob.h"
#include "pdf/PDFium.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace folioxa {
namespace {

using namespace pdfium;

const char* const kDocuments[] = {
    "text_tracemonkey.pdf",
    "vector_personwithdog.pdf",
    "image_S2.pdf",
};

std::string DocumentPath(std::int64_t index) {
    return std::string(FOLIOXA_CORPUS) + "/real/" + kDocuments[index];
}

struct PageSize {
    int Width, Height;
};

// The first page of `pdf`, loaded, and its pixel size at 300 DPI as the run computes it.
PageSize OpenFirstPage(TPdf& pdf, const std::string& path) {
    pdf.SetFileName(path);
    pdf.SetPageNumber(1);
    pdf.SetActive(true);
    return {static_cast<int>(PixelSize(pdf.PageWidth(), 300)),
            static_cast<int>(PixelSize(pdf.PageHeight(), 300))};
}

void Label(benchmark::State& state, const PageSize& size) {
    state.SetLabel(std::string(kDocuments[state.range(0)]) + " " + std::to_string(size.Width) +
                   "x" + std::to_string(size.Height));
}

void BM_TPdfRenderPage(benchmark::State& state) {
    TPdf pdf("Pdf");
    const PageSize size = OpenFirstPage(pdf, DocumentPath(state.range(0)));
    for (auto _ : state) {
        std::unique_ptr<PageBitmap> bitmap = pdf.RenderPageOnWhite(size.Width, size.Height);
        benchmark::DoNotOptimize(bitmap->ScanLine(0));
    }
    Label(state, size);
}

// The same engine calls TPdf makes, on the same document, page and form handle.
void BareRender(benchmark::State& state, bool copy) {
    TPdf pdf("Pdf");
    const PageSize size = OpenFirstPage(pdf, DocumentPath(state.range(0)));
    const PdfFunctions& f = Pdfium();
    FPDF_PAGE page = pdf.Page();
    FPDF_FORMHANDLE form = pdf.FormHandle();
    const auto rowBytes = static_cast<std::size_t>(size.Width) * 4;
    for (auto _ : state) {
        const int alpha = f.FPDFPage_HasTransparency(page) != 0 ? 1 : 0;
        FPDF_BITMAP bitmap = f.FPDFBitmap_Create(size.Width, size.Height, alpha);
        f.FPDFBitmap_FillRect(bitmap, 0, 0, size.Width, size.Height, 0xFFFFFFFF);
        f.FPDF_RenderPageBitmap(bitmap, page, 0, 0, size.Width, size.Height, 0, 0);
        f.FPDF_FFLDraw(form, bitmap, page, 0, 0, size.Width, size.Height, 0, 0);
        if (copy) {
            const auto* buffer = static_cast<const std::uint8_t*>(f.FPDFBitmap_GetBuffer(bitmap));
            const int stride = f.FPDFBitmap_GetStride(bitmap);
            std::unique_ptr<std::uint8_t, decltype(&std::free)> pixels(
                static_cast<std::uint8_t*>(
                    std::calloc(rowBytes, static_cast<std::size_t>(size.Height))),
                &std::free);
            for (int y = 0; y < size.Height; ++y) {
                std::memcpy(pixels.get() + static_cast<std::size_t>(y) * rowBytes,
                            buffer + static_cast<std::ptrdiff_t>(y) * stride, rowBytes);
            }
            benchmark::DoNotOptimize(pixels.get());
        }
        f.FPDFBitmap_Destroy(bitmap);
    }
    Label(state, size);
}

void BM_BareEngineAndCopy(benchmark::State& state) {
    BareRender(state, /*copy=*/true);
}

void BM_BareEngineRenderOnly(benchmark::State& state) {
    BareRender(state, /*copy=*/false);
}

// On a shared machine the fastest repetition is the steadiest figure.
double Minimum(const std::vector<double>& values) {
    return *std::min_element(values.begin(), values.end());
}

BENCHMARK(BM_TPdfRenderPage)
    ->DenseRange(0, 2)
    ->Unit(benchmark::kMillisecond)
    ->ComputeStatistics("min", Minimum);
BENCHMARK(BM_BareEngineAndCopy)
    ->DenseRange(0, 2)
    ->Unit(benchmark::kMillisecond)
    ->ComputeStatistics("min", Minimum);
BENCHMARK(BM_BareEngineRenderOnly)
    ->DenseRange(0, 2)
    ->Unit(benchmark::kMillisecond)
    ->ComputeStatistics("min", Minimum);

} // namespace
} // namespace folioxa

BENCHMARK_MAIN();
