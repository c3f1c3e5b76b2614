// The writers against the least work their file formats allow: the same encoder calls with the
// same parameters on input prepared beforehand, and one plain write of the result; and WebP
// against PNG. Each benchmark runs both sides in turns and reports their times, the ratio and the
// file sizes as counters. The page is a synthetic A4 page at 300 DPI, or, with
// FOLIOXA_BENCH_PAGE, a rendered page saved as a 32-bit BMP (folioxa-convert -t bmp).
//   imaging_bench --benchmark_min_time=5
#include "imaging/JpegWriter.h"
#include "imaging/PageBitmap.h"
#include "imaging/PngWriter.h"
#include "imaging/WebpWriter.h"

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <jpeglib.h>
#include <unistd.h>
#include <zlib.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using folioxa::PageBitmap;

constexpr int kWidth = 2480; // A4 at 300 DPI
constexpr int kHeight = 3508;
const char* const kOutput = "/tmp/folioxa-imaging-bench.out";

struct Random {
    std::uint32_t State = 2463534242u;
    std::uint32_t Next() {
        State ^= State << 13;
        State ^= State >> 17;
        State ^= State << 5;
        return State;
    }
    int Below(int n) { return static_cast<int>(Next() % static_cast<std::uint32_t>(n)); }
};

void Put(PageBitmap& page, int x, int y, int r, int g, int b) {
    if (x < 0 || y < 0 || x >= page.Width() || y >= page.Height()) {
        return;
    }
    std::uint8_t* p = page.ScanLine(y) + 4 * x;
    p[0] = static_cast<std::uint8_t>(b);
    p[1] = static_cast<std::uint8_t>(g);
    p[2] = static_cast<std::uint8_t>(r);
    p[3] = 0xFF;
}

// Darkens towards black ink, keeping the darker of the two where strokes overlap.
void Ink(PageBitmap& page, int x, int y, int level) {
    if (x < 0 || y < 0 || x >= page.Width() || y >= page.Height()) {
        return;
    }
    std::uint8_t* p = page.ScanLine(y) + 4 * x;
    const auto v = static_cast<std::uint8_t>(std::max(0, 255 - level));
    for (int i = 0; i < 3; ++i) {
        p[i] = std::min(p[i], v);
    }
}

// A 3-pixel stroke with soft edges from (x0, y0) to (x1, y1).
void Stroke(PageBitmap& page, double x0, double y0, double x1, double y1) {
    const int steps = static_cast<int>(std::hypot(x1 - x0, y1 - y0)) * 2 + 1;
    for (int i = 0; i <= steps; ++i) {
        const double x = x0 + (x1 - x0) * i / steps;
        const double y = y0 + (y1 - y0) * i / steps;
        for (int dy = -2; dy <= 2; ++dy) {
            for (int dx = -2; dx <= 2; ++dx) {
                const double d = std::hypot(dx, dy);
                const int level = d <= 1.2 ? 235 : d <= 2.2 ? 110 : 0;
                if (level > 0) {
                    Ink(page, static_cast<int>(x) + dx, static_cast<int>(y) + dy, level);
                }
            }
        }
    }
}

// White paper, two columns of body text with headings, and a photograph.
PageBitmap RealisticPage() {
    PageBitmap page;
    page.SetSize(kWidth, kHeight);
    for (int y = 0; y < kHeight; ++y) {
        std::memset(page.ScanLine(y), 0xFF, page.RowBytes());
    }
    Random random;
    // The photograph: smooth light and colour with fine grain, top right.
    const int photoX = 1300, photoY = 300, photoW = 1000, photoH = 1400;
    for (int y = 0; y < photoH; ++y) {
        for (int x = 0; x < photoW; ++x) {
            const double u = x / 180.0, v = y / 220.0;
            const double light =
                0.5 + 0.25 * std::sin(u) * std::cos(v) + 0.2 * std::sin(u * 0.3 + v);
            const int grain = random.Below(17) - 8;
            const auto channel = [&](double tint) {
                return std::clamp(static_cast<int>(255 * light * tint) + grain, 0, 255);
            };
            Put(page, photoX + x, photoY + y, channel(1.0), channel(0.85 + 0.1 * std::sin(v)),
                channel(0.7 + 0.2 * std::cos(u)));
        }
    }
    // Text: lines of words made of glyph-like strokes, wrapped around the photograph.
    const double glyph = 22, lineHeight = 52;
    for (double baseline = 250; baseline < kHeight - 200; baseline += lineHeight) {
        const bool besidePhoto = baseline > photoY - 20 && baseline < photoY + photoH + 60;
        const double right = besidePhoto ? photoX - 80 : kWidth - 200;
        double x = 200;
        while (x < right - 10 * glyph) {
            const int letters = 2 + random.Below(9);
            for (int i = 0; i < letters; ++i, x += glyph) {
                const double top = baseline - (random.Below(4) == 0 ? 38 : 26);
                switch (random.Below(5)) {
                case 0:
                    Stroke(page, x + 3, top, x + 3, baseline);
                    break;
                case 1:
                    Stroke(page, x + 3, baseline - 26, x + 16, baseline);
                    Stroke(page, x + 16, baseline - 26, x + 3, baseline);
                    break;
                case 2:
                    Stroke(page, x + 3, baseline - 26, x + 3, baseline);
                    Stroke(page, x + 3, baseline - 26, x + 16, baseline - 20);
                    Stroke(page, x + 16, baseline - 20, x + 16, baseline);
                    break;
                case 3:
                    Stroke(page, x + 3, baseline - 13, x + 16, baseline - 13);
                    Stroke(page, x + 3, baseline - 26, x + 3, baseline);
                    Stroke(page, x + 3, baseline, x + 16, baseline);
                    break;
                default:
                    Stroke(page, x + 9, top, x + 9, baseline);
                    Stroke(page, x + 3, baseline - 20, x + 16, baseline - 20);
                    break;
                }
            }
            x += glyph; // the space between words
        }
        if (random.Below(12) == 0) {
            baseline += lineHeight; // a paragraph break
        }
    }
    return page;
}

// A bottom-up 32-bit BMP file as the page bitmap it was written from.
PageBitmap BmpPage(const char* path) {
    std::ifstream in(path, std::ios::binary);
    const std::string file((std::istreambuf_iterator<char>(in)), {});
    const auto field = [&file](std::size_t at) {
        std::uint32_t value = 0;
        std::memcpy(&value, file.data() + at, 4);
        return static_cast<int>(value);
    };
    if (file.size() < 54 || file.compare(0, 2, "BM") != 0 || field(28) != 32 ||
        54 + std::size_t(field(18)) * std::size_t(field(22)) * 4 != file.size()) {
        throw std::runtime_error(std::string(path) + " is not a 32-bit BMP page");
    }
    PageBitmap page;
    page.SetSize(field(18), field(22));
    for (int y = 0; y < page.Height(); ++y) {
        std::memcpy(page.ScanLine(y),
                    file.data() + 54 + std::size_t(page.Height() - 1 - y) * page.RowBytes(),
                    page.RowBytes());
    }
    return page;
}

const PageBitmap& Page() {
    static const PageBitmap page = [] {
        const char* path = std::getenv("FOLIOXA_BENCH_PAGE");
        return path != nullptr ? BmpPage(path) : RealisticPage();
    }();
    return page;
}

std::size_t Width() {
    return static_cast<std::size_t>(Page().Width());
}
std::size_t Height() {
    return static_cast<std::size_t>(Page().Height());
}

// The page as red, green, blue rows: what the bare encoder calls are given.
const std::vector<std::uint8_t>& RgbRows() {
    static const std::vector<std::uint8_t> rgb = [] {
        std::vector<std::uint8_t> out(Width() * Height() * 3);
        std::uint8_t* o = out.data();
        for (int y = 0; y < Page().Height(); ++y) {
            const std::uint8_t* p = Page().ScanLine(y);
            for (std::size_t x = 0; x < Width(); ++x, p += 4, o += 3) {
                o[0] = p[2];
                o[1] = p[1];
                o[2] = p[0];
            }
        }
        return out;
    }();
    return rgb;
}

// The rows Sub-filtered, each after its filter type byte: what bare deflate is given.
const std::vector<std::uint8_t>& FilteredRows() {
    static const std::vector<std::uint8_t> filtered = [] {
        const std::size_t rowBytes = Width() * 3;
        std::vector<std::uint8_t> out((rowBytes + 1) * Height());
        for (std::size_t y = 0; y < Height(); ++y) {
            const std::uint8_t* raw = RgbRows().data() + y * rowBytes;
            std::uint8_t* o = out.data() + y * (rowBytes + 1);
            o[0] = 1;
            for (std::size_t i = 0; i < rowBytes; ++i) {
                o[1 + i] = static_cast<std::uint8_t>(raw[i] - (i >= 3 ? raw[i - 3] : 0));
            }
        }
        return out;
    }();
    return filtered;
}

void WriteFile(const void* data, std::size_t size) {
    const int fd = ::open(kOutput, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0 || ::write(fd, data, size) != static_cast<ssize_t>(size) || ::close(fd) != 0) {
        throw std::runtime_error("cannot write the benchmark's output file");
    }
}

// One side of a comparison: a call that writes the page's file to kOutput.
using Side = std::function<void()>;

double ThreadSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

std::size_t OutputSize() {
    std::error_code ignored;
    return static_cast<std::size_t>(std::filesystem::file_size(kOutput, ignored));
}

// Runs the two sides in turns, in alternating order, so that both meet the same load on a
// shared machine. The counters are processor time (user and system) per call, their ratio and
// the sizes of the files, named after the sides; the benchmark's own time is that of both.
void SideBySide(benchmark::State& state, const Side& first, const Side& second,
                const std::string& firstName = "writer", const std::string& secondName = "bare") {
    first(); // warm both: first-touch faults of buffers kept between pages are not per page
    second();
    double seconds[2] = {0, 0};
    std::size_t bytes[2] = {0, 0};
    bool inOrder = true;
    for (auto _ : state) {
        for (int turn = 0; turn < 2; ++turn) {
            const int side = (turn == 0) == inOrder ? 0 : 1;
            const double start = ThreadSeconds();
            (side == 0 ? first : second)();
            seconds[side] += ThreadSeconds() - start;
            bytes[side] = OutputSize();
        }
        inOrder = !inOrder;
    }
    const auto n = static_cast<double>(state.iterations());
    state.counters[firstName + "_ms"] = seconds[0] / n * 1e3;
    state.counters[secondName + "_ms"] = seconds[1] / n * 1e3;
    state.counters["ratio"] = seconds[0] / seconds[1];
    state.counters[firstName + "_MB"] = static_cast<double>(bytes[0]) / 1e6;
    state.counters[secondName + "_MB"] = static_cast<double>(bytes[1]) / 1e6;
}

// libjpeg-turbo with the writer's parameters on the page's red, green, blue rows, into
// memory, then one write.
void JpegBare() {
    // Room for the whole stream from the start, so the library never grows its buffer.
    static std::vector<unsigned char> room(Width() * Height() * 3);
    jpeg_compress_struct cinfo{};
    jpeg_error_mgr errors{};
    cinfo.err = jpeg_std_error(&errors);
    jpeg_create_compress(&cinfo);
    unsigned char* buffer = room.data();
    unsigned long size = room.size();
    jpeg_mem_dest(&cinfo, &buffer, &size);
    cinfo.image_width = static_cast<JDIMENSION>(Width());
    cinfo.image_height = static_cast<JDIMENSION>(Height());
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, 100, TRUE);
    cinfo.dct_method = JDCT_FLOAT;
    jpeg_start_compress(&cinfo, TRUE);
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW row =
            const_cast<JSAMPROW>(RgbRows().data() + std::size_t{cinfo.next_scanline} * Width() * 3);
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    WriteFile(buffer, size);
    if (buffer != room.data()) {
        std::free(buffer);
    }
}

// deflate with the writer's parameters over the Sub-filtered rows in one call, then one write.
void PngBare() {
    const auto& filtered = FilteredRows();
    static std::vector<std::uint8_t> out(compressBound(static_cast<uLong>(filtered.size())));
    z_stream z{};
    deflateInit2(&z, 7, Z_DEFLATED, 15, 8, Z_DEFAULT_STRATEGY);
    z.next_in = const_cast<Bytef*>(filtered.data());
    z.avail_in = static_cast<uInt>(filtered.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    if (deflate(&z, Z_FINISH) != Z_STREAM_END) {
        throw std::runtime_error("deflate did not finish");
    }
    WriteFile(out.data(), z.total_out);
    deflateEnd(&z);
}

// The BMP file's bytes laid out beforehand (header, bottom row first), then one write.
void BmpBare() {
    static const std::vector<std::uint8_t> file = [] {
        std::vector<std::uint8_t> bytes(54 + Width() * Height() * 4);
        for (int y = 0; y < Page().Height(); ++y) {
            std::memcpy(bytes.data() + 54 + (Height() - 1 - std::size_t(y)) * Page().RowBytes(),
                        Page().ScanLine(y), Page().RowBytes());
        }
        return bytes;
    }();
    WriteFile(file.data(), file.size());
}

void Jpeg(benchmark::State& state) {
    folioxa::JpegWriter writer;
    writer.SetCompressionQuality(100);
    SideBySide(
        state, [&writer] { writer.SaveToFile(Page(), kOutput); }, JpegBare);
}

void Png(benchmark::State& state) {
    folioxa::PngWriter writer;
    SideBySide(
        state, [&writer] { writer.SaveToFile(Page(), kOutput); }, PngBare);
}

void Bmp(benchmark::State& state) {
    SideBySide(
        state, [] { Page().SaveToFile(kOutput); }, BmpBare);
}

// WebP, lossless or lossy at the argument's quality, against the PNG writer on the same page.
void Webp(benchmark::State& state) {
    folioxa::WebpWriter webp;
    if (state.range(0) > 0) {
        webp.SetLossyQuality(static_cast<int>(state.range(0)));
    }
    folioxa::PngWriter png;
    SideBySide(
        state, [&webp] { webp.SaveToFile(Page(), kOutput); },
        [&png] { png.SaveToFile(Page(), kOutput); }, "webp", "png");
}

} // namespace

BENCHMARK(Jpeg)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(Png)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(Bmp)->Unit(benchmark::kMillisecond)->UseRealTime();
// 0: lossless; else the lossy quality.
BENCHMARK(Webp)->Arg(0)->Arg(75)->Arg(90)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
