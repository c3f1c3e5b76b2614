// Render time of one page at 300 DPI: TPdf::RenderPageOnWhite against the bare engine calls
// it is made of (bitmap create, fill, render, form fields, destroy), with and without the one
// row-by-row copy into a freshly allocated page-sized buffer.
//
// BM_Paired runs the component and the bare calls plus copy alternately in each iteration and
// reports their thread CPU times and the ratio: on a shared, busy machine that is the figure to
// trust. The separate benchmarks give the absolute times; run them with
//   render_bench --benchmark_repetitions=5 --benchmark_enable_random_interleaving=true

#include "conversion/ConversionJob.h"
#include "pdf/PDFium.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <vector>

namespace folioxa {
namespace {

using namespace pdfium;

const char* const kDocuments[] = {
    "text_tracemonkey.pdf",
    "vector_personwithdog.pdf",
    "image_S2.pdf",
};

// The first page of a corpus document, open in a TPdf, with its pixel size at 300 DPI as the
// run computes it.
struct OpenPage {
    explicit OpenPage(std::int64_t index) {
        Pdf.SetFileName(std::string(FOLIOXA_CORPUS) + "/real/" + kDocuments[index]);
        Pdf.SetPageNumber(1);
        Pdf.SetActive(true);
        Width = static_cast<int>(PixelSize(Pdf.PageWidth(), 300));
        Height = static_cast<int>(PixelSize(Pdf.PageHeight(), 300));
        Label = std::string(kDocuments[index]) + " " + std::to_string(Width) + "x" +
                std::to_string(Height);
    }
    TPdf Pdf{"Pdf"};
    int Width = 0;
    int Height = 0;
    std::string Label;
};

// The engine calls TPdf makes, on the same page and form handle, and optionally the copy.
void BareRender(const OpenPage& open, bool copy) {
    const PdfFunctions& f = Pdfium();
    FPDF_PAGE page = open.Pdf.Page();
    const int width = open.Width;
    const int height = open.Height;
    const int alpha = f.FPDFPage_HasTransparency(page) != 0 ? 1 : 0;
    FPDF_BITMAP bitmap = f.FPDFBitmap_Create(width, height, alpha);
    f.FPDFBitmap_FillRect(bitmap, 0, 0, width, height, 0xFFFFFFFF);
    f.FPDF_RenderPageBitmap(bitmap, page, 0, 0, width, height, 0, 0);
    f.FPDF_FFLDraw(open.Pdf.FormHandle(), bitmap, page, 0, 0, width, height, 0, 0);
    if (copy) {
        const auto rowBytes = static_cast<std::size_t>(width) * 4;
        const auto* buffer = static_cast<const std::uint8_t*>(f.FPDFBitmap_GetBuffer(bitmap));
        const int stride = f.FPDFBitmap_GetStride(bitmap);
        std::unique_ptr<std::uint8_t, decltype(&std::free)> pixels(
            static_cast<std::uint8_t*>(std::calloc(rowBytes, static_cast<std::size_t>(height))),
            &std::free);
        for (int y = 0; y < height; ++y) {
            std::memcpy(pixels.get() + static_cast<std::size_t>(y) * rowBytes,
                        buffer + static_cast<std::ptrdiff_t>(y) * stride, rowBytes);
        }
        benchmark::DoNotOptimize(pixels.get());
    }
    f.FPDFBitmap_Destroy(bitmap);
}

void ComponentRender(OpenPage& open) {
    std::unique_ptr<PageBitmap> bitmap = open.Pdf.RenderPageOnWhite(open.Width, open.Height);
    benchmark::DoNotOptimize(bitmap->ScanLine(0));
}

void BM_TPdfRenderPage(benchmark::State& state) {
    OpenPage open(state.range(0));
    for (auto _ : state) {
        ComponentRender(open);
    }
    state.SetLabel(open.Label);
}

void BM_BareEngineAndCopy(benchmark::State& state) {
    OpenPage open(state.range(0));
    for (auto _ : state) {
        BareRender(open, /*copy=*/true);
    }
    state.SetLabel(open.Label);
}

void BM_BareEngineRenderOnly(benchmark::State& state) {
    OpenPage open(state.range(0));
    for (auto _ : state) {
        BareRender(open, /*copy=*/false);
    }
    state.SetLabel(open.Label);
}

double ThreadCpuMs() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

// Both ways in every iteration, the order swapped each time so neither always runs warm.
void BM_Paired(benchmark::State& state) {
    OpenPage open(state.range(0));
    double component = 0;
    double bare = 0;
    bool componentFirst = true;
    for (auto _ : state) {
        for (int turn = 0; turn < 2; ++turn) {
            const bool runComponent = (turn == 0) == componentFirst;
            const double start = ThreadCpuMs();
            if (runComponent) {
                ComponentRender(open);
            } else {
                BareRender(open, /*copy=*/true);
            }
            (runComponent ? component : bare) += ThreadCpuMs() - start;
        }
        componentFirst = !componentFirst;
    }
    const auto iterations = static_cast<double>(state.iterations());
    state.counters["TPdf_ms"] = component / iterations;
    state.counters["bare_ms"] = bare / iterations;
    state.counters["ratio"] = component / bare;
    state.SetLabel(open.Label);
}

// On a shared machine the fastest repetition is the steadiest absolute figure.
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
BENCHMARK(BM_Paired)->DenseRange(0, 2)->Unit(benchmark::kMillisecond)->MinTime(5.0);

} // namespace
} // namespace folioxa

BENCHMARK_MAIN();
