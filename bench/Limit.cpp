// The least work a conversion to PNG or JPG can do with the formats fixed as Folioxa writes them:
// per page the bare engine calls (load, fill white, render, form fields drawn) and the bare
// encoder calls with the writers' parameters, straight from the engine's buffer, one write per
// file. bench/compare runs it beside the converters as the floor a serial run cannot beat.
//
//   limit [-r DPI] [-t png|jpg] [-o DIR] FILE.pdf...
//   limit --largest [-r DPI] FILE.pdf...   prints the bytes of the largest page bitmap, renders
//   nothing
#include "pdf/PdfEngine.h"

#include <fcntl.h>
#include <jpeglib.h>
#include <malloc.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace folioxa::pdfium;
using Bytes = std::vector<unsigned char>;

[[noreturn]] void Die(const std::string& message) {
    std::fprintf(stderr, "limit: %s\n", message.c_str());
    std::exit(1);
}

void WriteFile(const std::string& path, const Bytes& bytes) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        Die("cannot create " + path + ": " + std::strerror(errno));
    }
    for (std::size_t done = 0; done < bytes.size();) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0) {
            Die("cannot write " + path);
        }
        done += static_cast<std::size_t>(n);
    }
    close(fd);
}

void PutBigEndian(Bytes& out, std::uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) {
        out.push_back(static_cast<unsigned char>(v >> shift));
    }
}

void PutChunk(Bytes& out, const char* type, const unsigned char* data, std::size_t size) {
    PutBigEndian(out, static_cast<std::uint32_t>(size));
    const std::size_t start = out.size();
    out.insert(out.end(), type, type + 4);
    out.insert(out.end(), data, data + size);
    const uLong crc = crc32(0L, out.data() + start, static_cast<uInt>(size + 4));
    PutBigEndian(out, static_cast<std::uint32_t>(crc));
}

// zlib level 7, window 15, memory level 8, default strategy, over Sub-filtered RGB rows.
Bytes EncodePng(const unsigned char* pixels, int width, int height, int stride) {
    z_stream z{};
    if (deflateInit2(&z, 7, Z_DEFLATED, 15, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
        Die("deflateInit2");
    }
    const auto w = static_cast<std::size_t>(width);
    Bytes row(1 + 3 * w);
    Bytes compressed(deflateBound(&z, static_cast<uLong>(row.size()) * static_cast<uLong>(height)));
    z.next_out = compressed.data();
    z.avail_out = static_cast<uInt>(compressed.size());
    for (int y = 0; y < height; ++y) {
        const unsigned char* in = pixels + static_cast<std::ptrdiff_t>(y) * stride;
        unsigned char* out = row.data();
        out[0] = 1; // Sub
        unsigned char prevR = 0, prevG = 0, prevB = 0;
        for (std::size_t x = 0; x < w; ++x) {
            const unsigned char b = in[4 * x], g = in[4 * x + 1], r = in[4 * x + 2];
            out[1 + 3 * x] = static_cast<unsigned char>(r - prevR);
            out[2 + 3 * x] = static_cast<unsigned char>(g - prevG);
            out[3 + 3 * x] = static_cast<unsigned char>(b - prevB);
            prevR = r, prevG = g, prevB = b;
        }
        z.next_in = row.data();
        z.avail_in = static_cast<uInt>(row.size());
        if (deflate(&z, y + 1 == height ? Z_FINISH : Z_NO_FLUSH) == Z_STREAM_ERROR) {
            Die("deflate");
        }
    }
    const std::size_t size = compressed.size() - z.avail_out;
    deflateEnd(&z);

    Bytes file = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    file.reserve(size + size / 65535 * 12 + 64);
    Bytes header;
    PutBigEndian(header, static_cast<std::uint32_t>(width));
    PutBigEndian(header, static_cast<std::uint32_t>(height));
    header.insert(header.end(), {8, 2, 0, 0, 0});
    PutChunk(file, "IHDR", header.data(), header.size());
    for (std::size_t at = 0; at < size; at += 65535) {
        PutChunk(file, "IDAT", compressed.data() + at, std::min<std::size_t>(65535, size - at));
    }
    PutChunk(file, "IEND", nullptr, 0);
    return file;
}

// libjpeg-turbo quality 100, 4:2:0, float DCT, reading the engine's BGRx rows as they are.
Bytes EncodeJpeg(unsigned char* pixels, int width, int height, int stride) {
    jpeg_compress_struct c{};
    jpeg_error_mgr errors{};
    c.err = jpeg_std_error(&errors);
    jpeg_create_compress(&c);
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&c, &buffer, &size);
    c.image_width = static_cast<JDIMENSION>(width);
    c.image_height = static_cast<JDIMENSION>(height);
    c.input_components = 4;
    c.in_color_space = JCS_EXT_BGRX;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, 100, TRUE);
    c.dct_method = JDCT_FLOAT;
    jpeg_start_compress(&c, TRUE);
    while (c.next_scanline < c.image_height) {
        JSAMPROW rows[16];
        JDIMENSION count = 0;
        for (; count < 16 && c.next_scanline + count < c.image_height; ++count) {
            rows[count] = pixels + static_cast<std::ptrdiff_t>(c.next_scanline + count) * stride;
        }
        jpeg_write_scanlines(&c, rows, count);
    }
    jpeg_finish_compress(&c);
    Bytes file(buffer, buffer + size);
    jpeg_destroy_compress(&c);
    std::free(buffer);
    return file;
}

std::string BaseName(const std::string& path) {
    std::string name = path.substr(path.rfind('/') + 1);
    const std::size_t dot = name.rfind('.');
    return dot == std::string::npos ? name : name.substr(0, dot);
}

} // namespace

int main(int argc, char** argv) {
    int dpi = 300;
    std::string type = "png";
    std::string folder = ".";
    std::vector<std::string> files;
    bool largestOnly = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--largest") {
            largestOnly = true;
        } else if ((arg == "-r" || arg == "-t" || arg == "-o") && i + 1 < argc) {
            const std::string value = argv[++i];
            arg == "-r"   ? void(dpi = std::stoi(value))
            : arg == "-t" ? void(type = value)
                          : void(folder = value);
        } else {
            files.push_back(arg);
        }
    }
    if (files.empty() || (type != "png" && type != "jpg")) {
        Die("usage: limit [-r DPI] [-t png|jpg] [-o DIR] FILE.pdf...");
    }
    // The same heap policy as folioxa-convert, so that neither pays fresh page faults per page.
    mallopt(M_MMAP_THRESHOLD, 1 << 30);
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
    folioxa::LoadPdfLibrary();
    const PdfFunctions& f = folioxa::Pdfium();
    long long largest = 0;
    for (const std::string& path : files) {
        FPDF_DOCUMENT document = f.FPDF_LoadDocument(path.c_str(), nullptr);
        if (document == nullptr) {
            Die("cannot open " + path);
        }
        FPDF_FORMFILLINFO info{};
        info.version = 1;
        FPDF_FORMHANDLE form = f.FPDFDOC_InitFormFillEnvironment(document, &info);
        f.FPDF_SetFormFieldHighlightColor(form, 0, 0xFFE4DD);
        f.FPDF_SetFormFieldHighlightAlpha(form, 100);
        const int pages = f.FPDF_GetPageCount(document);
        const int digits = static_cast<int>(std::to_string(pages).size());
        for (int i = 0; i < pages; ++i) {
            FPDF_PAGE page = f.FPDF_LoadPage(document, i);
            const int width =
                static_cast<int>(std::nearbyint(f.FPDF_GetPageWidth(page) * dpi / 72));
            const int height =
                static_cast<int>(std::nearbyint(f.FPDF_GetPageHeight(page) * dpi / 72));
            largest = std::max(largest, 4LL * width * height);
            if (largestOnly) {
                f.FPDF_ClosePage(page);
                continue;
            }
            FPDF_BITMAP bitmap =
                f.FPDFBitmap_Create(width, height, f.FPDFPage_HasTransparency(page) != 0 ? 1 : 0);
            if (bitmap == nullptr) {
                Die("cannot create a bitmap for page " + std::to_string(i + 1));
            }
            f.FPDFBitmap_FillRect(bitmap, 0, 0, width, height, 0xFFFFFFFF);
            f.FPDF_RenderPageBitmap(bitmap, page, 0, 0, width, height, 0, 0);
            f.FPDF_FFLDraw(form, bitmap, page, 0, 0, width, height, 0, 0);
            auto* pixels = static_cast<unsigned char*>(f.FPDFBitmap_GetBuffer(bitmap));
            const int stride = f.FPDFBitmap_GetStride(bitmap);
            char number[16];
            std::snprintf(number, sizeof number, "%0*d", digits, i + 1);
            const std::string out = folder + "/" + BaseName(path) + "_" + number + "." + type;
            WriteFile(out, type == "png" ? EncodePng(pixels, width, height, stride)
                                         : EncodeJpeg(pixels, width, height, stride));
            f.FPDFBitmap_Destroy(bitmap);
            f.FPDF_ClosePage(page);
        }
        f.FORM_DoDocumentAAction(form, 0x10);
        f.FPDFDOC_ExitFormFillEnvironment(form);
        f.FPDF_CloseDocument(document);
    }
    if (largestOnly) {
        std::printf("%lld\n", largest);
    }
    return 0;
}
