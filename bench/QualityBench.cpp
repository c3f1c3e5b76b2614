// JPEG file size and encoding time at several qualities, on every page of a folder of PDFs.
// Each page is drawn once, as a run draws it, then encoded at every quality in turn (the order
// alternating from page to page), so the qualities share the same pages and machine load.
//   quality_bench [--dpi N] [--qualities 100,90] [FOLDER]   (default: the corpus's real/)
#include "conversion/ConversionJob.h"
#include "imaging/ByteSink.h"
#include "imaging/JpegWriter.h"
#include "imaging/PageBitmap.h"
#include "pdf/PDFium.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace folioxa;

double ThreadSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

struct Totals {
    int Quality = 0;
    std::uint64_t Bytes = 0;
    double Seconds = 0;
};

} // namespace

int main(int argc, char** argv) {
    std::string folder = std::string(FOLIOXA_CORPUS) + "/real";
    PageSizing sizing;
    std::vector<Totals> totals;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--dpi" && i + 1 < argc) {
            sizing.Resolution = std::stoi(argv[++i]);
        } else if (arg == "--qualities" && i + 1 < argc) {
            std::istringstream list(argv[++i]);
            for (std::string q; std::getline(list, q, ',');) {
                totals.push_back({std::stoi(q)});
            }
        } else {
            folder = arg;
        }
    }
    if (totals.empty()) {
        totals = {{100}, {90}};
    }
    std::vector<std::filesystem::path> documents;
    for (const auto& file : std::filesystem::directory_iterator(folder)) {
        if (file.path().extension() == ".pdf") {
            documents.push_back(file.path());
        }
    }
    std::sort(documents.begin(), documents.end());

    std::vector<JpegWriter> writers(totals.size());
    for (std::size_t q = 0; q < totals.size(); ++q) {
        writers[q].SetCompressionQuality(totals[q].Quality);
    }
    MemorySink sink;
    int pages = 0;
    int failed = 0;
    for (const auto& path : documents) {
        try {
            TPdf pdf("Pdf");
            pdf.SetFileName(path.string());
            pdf.SetActive(true);
            for (int page = 1; page <= pdf.PageCount(); ++page) {
                const std::string entry = std::to_string(page);
                const EntryPage size = SelectEntryPage(pdf, entry, sizing);
                const std::unique_ptr<PageBitmap> bitmap = DrawEntryPage(pdf, entry, size);
                for (std::size_t k = 0; k < totals.size(); ++k) {
                    const std::size_t q = pages % 2 == 0 ? k : totals.size() - 1 - k;
                    sink.Clear();
                    const double start = ThreadSeconds();
                    writers[q].Encode(*bitmap, sink);
                    totals[q].Seconds += ThreadSeconds() - start;
                    totals[q].Bytes += sink.Size();
                }
                ++pages;
            }
        } catch (const std::exception& e) {
            ++failed;
            std::fprintf(stderr, "%s: %s\n", path.filename().c_str(), e.what());
        }
    }

    std::printf("%zu documents (%d failed), %d pages at %d DPI\n\n", documents.size(), failed,
                pages, sizing.Resolution);
    std::printf(
        "| quality | total MB | size / first | encoding s (thread CPU) | ms / page | time / "
        "first |\n|---:|---:|---:|---:|---:|---:|\n");
    for (const Totals& t : totals) {
        std::printf("| %d | %.1f | %.3f | %.2f | %.1f | %.3f |\n", t.Quality,
                    static_cast<double>(t.Bytes) / 1e6,
                    static_cast<double>(t.Bytes) / static_cast<double>(totals[0].Bytes), t.Seconds,
                    pages > 0 ? 1000.0 * t.Seconds / pages : 0.0, t.Seconds / totals[0].Seconds);
    }
    return failed > 0 ? 1 : 0;
}
