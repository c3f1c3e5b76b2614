#include "support/ImageFiles.h"

#include "imaging/PageBitmap.h"

#include <jpeglib.h>
#include <sys/mman.h>
#include <tiffio.h>
#include <unistd.h>
#include <webp/decode.h>
#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace folioxa::testing {

namespace {

std::uint32_t BigEndian(const std::string& bytes, std::size_t at) {
    if (at + 4 > bytes.size()) {
        throw std::runtime_error("truncated file");
    }
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        value = (value << 8) | static_cast<std::uint8_t>(bytes[at + i]);
    }
    return value;
}

std::uint8_t Byte(const std::string& bytes, std::size_t at) {
    if (at >= bytes.size()) {
        throw std::runtime_error("truncated file");
    }
    return static_cast<std::uint8_t>(bytes[at]);
}

int Paeth(int a, int b, int c) {
    const int p = a + b - c;
    const int pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
    if (pa <= pb && pa <= pc) {
        return a;
    }
    return pb <= pc ? b : c;
}

struct DecodeErrors {
    jpeg_error_mgr Base;
    std::jmp_buf Jump;
};

[[noreturn]] void DecodeErrorExit(j_common_ptr cinfo) {
    std::longjmp(reinterpret_cast<DecodeErrors*>(cinfo->err)->Jump, 1);
}

// libjpeg runs in this frame alone, which holds nothing with a destructor. Returns libjpeg's
// message code, 0 on success.
int DecodeJpegRows(jpeg_decompress_struct* cinfo, DecodeErrors* errors, const std::string* file,
                   bool fancyUpsampling, DecodedImage* out) {
    if (setjmp(errors->Jump) != 0) {
        return errors->Base.msg_code;
    }
    jpeg_create_decompress(cinfo);
    jpeg_mem_src(cinfo, reinterpret_cast<const unsigned char*>(file->data()), file->size());
    jpeg_read_header(cinfo, TRUE);
    cinfo->out_color_space = JCS_RGB;
    cinfo->do_fancy_upsampling = fancyUpsampling ? TRUE : FALSE;
    jpeg_start_decompress(cinfo);
    out->Width = static_cast<int>(cinfo->output_width);
    out->Height = static_cast<int>(cinfo->output_height);
    out->Rgb.resize(std::size_t{cinfo->output_width} * cinfo->output_height * 3);
    while (cinfo->output_scanline < cinfo->output_height) {
        JSAMPROW row =
            out->Rgb.data() + std::size_t{cinfo->output_scanline} * cinfo->output_width * 3;
        jpeg_read_scanlines(cinfo, &row, 1);
    }
    jpeg_finish_decompress(cinfo);
    return 0;
}

} // namespace

PageBitmap MakeBitmap(int width, int height,
                      const std::function<std::uint32_t(int x, int y)>& pixel) {
    PageBitmap bitmap;
    bitmap.SetSize(width, height);
    for (int y = 0; y < height; ++y) {
        std::uint8_t* row = bitmap.ScanLine(y);
        for (int x = 0; x < width; ++x) {
            const std::uint32_t value = pixel(x, y);
            for (int i = 0; i < 4; ++i) {
                row[4 * x + i] = static_cast<std::uint8_t>(value >> (8 * i));
            }
        }
    }
    return bitmap;
}

PageBitmap NoiseBitmap(int width, int height, std::uint32_t seed) {
    std::uint32_t state = seed * 2654435761u + 1;
    return MakeBitmap(width, height, [&state](int, int) {
        state ^= state << 13; // xorshift32
        state ^= state >> 17;
        state ^= state << 5;
        return state;
    });
}

PageBitmap PatternBitmap(int width, int height) {
    return MakeBitmap(width, height, [](int x, int y) -> std::uint32_t {
        const auto r = static_cast<std::uint32_t>((x * 7 + y * 3) % 256);
        const auto g = static_cast<std::uint32_t>((x ^ y) % 256);
        const auto b = static_cast<std::uint32_t>((x * y) % 256);
        return r << 16 | g << 8 | b;
    });
}

DecodedImage RgbOf(const PageBitmap& bitmap) {
    DecodedImage image{bitmap.Width(), bitmap.Height(), {}};
    for (int y = 0; y < bitmap.Height(); ++y) {
        const std::uint8_t* pixel = bitmap.ScanLine(y);
        for (int x = 0; x < bitmap.Width(); ++x, pixel += 4) {
            image.Rgb.insert(image.Rgb.end(), {pixel[2], pixel[1], pixel[0]});
        }
    }
    return image;
}

std::vector<PngChunk> ReadPngChunks(const std::string& file) {
    if (file.compare(0, 8, "\x89PNG\r\n\x1a\n") != 0) {
        throw std::runtime_error("no PNG signature");
    }
    std::vector<PngChunk> chunks;
    std::size_t at = 8;
    while (at < file.size()) {
        const std::uint32_t length = BigEndian(file, at);
        if (at + 12 + std::size_t{length} > file.size()) {
            throw std::runtime_error("truncated chunk");
        }
        PngChunk chunk{file.substr(at + 4, 4), file.substr(at + 8, length)};
        const auto crc = crc32(0, reinterpret_cast<const Bytef*>(file.data() + at + 4), length + 4);
        if (crc != BigEndian(file, at + 8 + length)) {
            throw std::runtime_error("bad CRC in chunk " + chunk.Type);
        }
        chunks.push_back(std::move(chunk));
        at += 12 + std::size_t{length};
    }
    return chunks;
}

std::string Inflate(const std::string& stream) {
    z_stream z{};
    if (inflateInit(&z) != Z_OK) {
        throw std::runtime_error("inflateInit failed");
    }
    std::string out;
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(stream.data()));
    z.avail_in = static_cast<uInt>(stream.size());
    int result = Z_OK;
    while (result == Z_OK) {
        char buffer[1 << 16];
        z.next_out = reinterpret_cast<Bytef*>(buffer);
        z.avail_out = sizeof buffer;
        result = inflate(&z, Z_NO_FLUSH);
        out.append(buffer, sizeof buffer - z.avail_out);
    }
    const bool whole = result == Z_STREAM_END && z.avail_in == 0;
    inflateEnd(&z);
    if (!whole) {
        throw std::runtime_error("bad or incomplete zlib stream");
    }
    return out;
}

std::string PngImageData(const std::string& file) {
    std::string stream;
    for (const auto& chunk : ReadPngChunks(file)) {
        if (chunk.Type == "IDAT") {
            stream += chunk.Data;
        }
    }
    return Inflate(stream);
}

DecodedImage DecodePng(const std::string& file) {
    const auto chunks = ReadPngChunks(file);
    if (chunks.empty() || chunks[0].Type != "IHDR" || chunks[0].Data.size() != 13) {
        throw std::runtime_error("no IHDR");
    }
    const std::string& ihdr = chunks[0].Data;
    const int depth = Byte(ihdr, 8), colourType = Byte(ihdr, 9);
    const int channels = colourType == 2 ? 3 : colourType == 6 ? 4 : colourType == 4 ? 2 : 1;
    const bool known = (depth == 8 && (colourType == 0 || colourType == 2 || colourType == 4 ||
                                       colourType == 6)) ||
                       (depth == 1 && colourType == 0);
    if (!known || ihdr.substr(10) != std::string(3, '\0')) {
        throw std::runtime_error("not 1-bit grey or 8-bit grey or truecolour without interlacing");
    }
    DecodedImage image{
        static_cast<int>(BigEndian(ihdr, 0)), static_cast<int>(BigEndian(ihdr, 4)), {}};
    const std::string data = PngImageData(file);
    const auto width = std::size_t(image.Width), height = std::size_t(image.Height);
    const std::size_t rowBytes = (width * std::size_t(channels * depth) + 7) / 8;
    const std::size_t left = std::max<std::size_t>(1, std::size_t(channels * depth / 8));
    if (data.size() != (rowBytes + 1) * height) {
        throw std::runtime_error("image data of the wrong size");
    }
    std::vector<std::uint8_t> raw(rowBytes * height);
    for (std::size_t y = 0; y < height; ++y) {
        const auto filter = Byte(data, y * (rowBytes + 1));
        const char* in = data.data() + y * (rowBytes + 1) + 1;
        std::uint8_t* row = raw.data() + y * rowBytes;
        const std::uint8_t* up = y > 0 ? row - rowBytes : nullptr;
        for (std::size_t i = 0; i < rowBytes; ++i) {
            const int a = i >= left ? row[i - left] : 0;
            const int b = up ? up[i] : 0;
            const int c = up && i >= left ? up[i - left] : 0;
            const int predictors[] = {0, a, b, (a + b) / 2, Paeth(a, b, c)};
            if (filter > 4) {
                throw std::runtime_error("unknown row filter");
            }
            row[i] =
                static_cast<std::uint8_t>(static_cast<std::uint8_t>(in[i]) + predictors[filter]);
        }
    }
    for (std::size_t y = 0; y < height; ++y) {
        const std::uint8_t* row = raw.data() + y * rowBytes;
        for (std::size_t x = 0; x < width; ++x) {
            if (depth == 1) {
                const std::uint8_t value = (row[x / 8] >> (7 - x % 8)) & 1 ? 255 : 0;
                image.Rgb.insert(image.Rgb.end(), {value, value, value});
                continue;
            }
            const std::uint8_t* pixel = row + x * std::size_t(channels);
            if (channels >= 3) {
                image.Rgb.insert(image.Rgb.end(), {pixel[0], pixel[1], pixel[2]});
            } else {
                image.Rgb.insert(image.Rgb.end(), {pixel[0], pixel[0], pixel[0]});
            }
            if (channels == 2 || channels == 4) {
                image.Alpha.push_back(pixel[channels - 1]);
            }
        }
    }
    return image;
}

std::vector<JpegSegment> ReadJpegSegments(const std::string& file) {
    std::vector<JpegSegment> segments;
    std::size_t at = 0;
    while (true) {
        if (Byte(file, at) != 0xFF) {
            throw std::runtime_error("no marker at " + std::to_string(at));
        }
        JpegSegment segment{Byte(file, at + 1), {}, at};
        at += 2;
        const bool standalone = segment.Marker == 0xD8 || segment.Marker == 0xD9;
        if (!standalone) {
            const std::size_t length = (std::size_t{Byte(file, at)} << 8) | Byte(file, at + 1);
            if (length < 2 || at + length > file.size()) {
                throw std::runtime_error("bad segment length");
            }
            segment.Data = file.substr(at + 2, length - 2);
            at += length;
        }
        const std::uint8_t marker = segment.Marker;
        segments.push_back(std::move(segment));
        if (marker == 0xD9) {
            return segments;
        }
        if (marker == 0xDA) {
            // Entropy-coded data: FF 00 is a stuffed byte, FF D0..D7 a restart marker.
            while (!(Byte(file, at) == 0xFF && Byte(file, at + 1) != 0x00 &&
                     (Byte(file, at + 1) < 0xD0 || Byte(file, at + 1) > 0xD7))) {
                ++at;
            }
        }
    }
}

namespace {

DecodedImage DecodeJpegFile(const std::string& file, bool fancyUpsampling) {
    jpeg_decompress_struct cinfo{};
    DecodeErrors errors{};
    cinfo.err = jpeg_std_error(&errors.Base);
    errors.Base.error_exit = DecodeErrorExit;
    errors.Base.emit_message = [](j_common_ptr, int) {};
    DecodedImage image;
    const int code = DecodeJpegRows(&cinfo, &errors, &file, fancyUpsampling, &image);
    jpeg_destroy_decompress(&cinfo);
    if (code != 0) {
        throw std::runtime_error("libjpeg could not decode the file: message " +
                                 std::to_string(code));
    }
    return image;
}

} // namespace

DecodedImage DecodeJpeg(const std::string& file) {
    return DecodeJpegFile(file, /*fancyUpsampling=*/true);
}

DecodedImage DecodeJpegPlainChroma(const std::string& file) {
    return DecodeJpegFile(file, /*fancyUpsampling=*/false);
}

DecodedTiff DecodeTiff(const std::string& file) {
    // libtiff reads a descriptor, and TIFFClose closes it.
    const int fd = ::memfd_create("tiff", MFD_CLOEXEC);
    if (fd < 0 || ::write(fd, file.data(), file.size()) != static_cast<ssize_t>(file.size()) ||
        ::lseek(fd, 0, SEEK_SET) != 0) {
        if (fd >= 0) {
            ::close(fd);
        }
        throw std::runtime_error("cannot hold the TIFF file in memory");
    }
    TIFF* tif = TIFFFdOpen(fd, "page.tif", "r");
    if (tif == nullptr) {
        ::close(fd);
        throw std::runtime_error("libtiff could not open the file");
    }
    DecodedTiff out;
    std::uint32_t width = 0, height = 0;
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &height);
    TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &out.Compression);
    TIFFGetFieldDefaulted(tif, TIFFTAG_PREDICTOR, &out.Predictor);
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &out.BitsPerSample);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &out.SamplesPerPixel);
    TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &out.Photometric);
    std::uint16_t extraCount = 0;
    std::uint16_t* extra = nullptr;
    if (TIFFGetField(tif, TIFFTAG_EXTRASAMPLES, &extraCount, &extra) == 1 && extraCount > 0) {
        out.ExtraSample = extra[0];
    }
    out.Strips = TIFFNumberOfStrips(tif);
    // The RGBA reader premultiplies unassociated alpha: then the stored samples are the pixels,
    // read first (the scanline reader cannot follow the RGBA one).
    const bool stored = out.ExtraSample == EXTRASAMPLE_UNASSALPHA && out.BitsPerSample == 8;
    const std::size_t step = out.SamplesPerPixel;
    std::vector<std::uint8_t> samples(stored ? std::size_t{width} * height * step : 0);
    for (std::uint32_t y = 0; stored && y < height; ++y) {
        if (TIFFReadScanline(tif, &samples[y * std::size_t{width} * step], y, 0) != 1) {
            TIFFClose(tif);
            throw std::runtime_error("libtiff could not read row " + std::to_string(y));
        }
    }
    std::vector<std::uint32_t> raster(std::size_t{width} * height);
    const int read = TIFFReadRGBAImageOriented(tif, width, height, raster.data(),
                                               ORIENTATION_TOPLEFT, /*stop_on_error=*/1);
    TIFFClose(tif);
    if (read != 1) {
        throw std::runtime_error("libtiff could not decode the file");
    }
    out.Image.Width = static_cast<int>(width);
    out.Image.Height = static_cast<int>(height);
    for (std::size_t i = 0; i < raster.size(); ++i) {
        if (stored) {
            const std::uint8_t* sample = &samples[i * step];
            // Grey and alpha, or red, green, blue and alpha.
            out.Image.Rgb.insert(out.Image.Rgb.end(),
                                 {sample[0], sample[step == 2 ? 0 : 1], sample[step == 2 ? 0 : 2]});
            out.Image.Alpha.push_back(sample[step - 1]);
            continue;
        }
        out.Image.Rgb.push_back(static_cast<std::uint8_t>(TIFFGetR(raster[i])));
        out.Image.Rgb.push_back(static_cast<std::uint8_t>(TIFFGetG(raster[i])));
        out.Image.Rgb.push_back(static_cast<std::uint8_t>(TIFFGetB(raster[i])));
    }
    return out;
}

DecodedWebp DecodeWebp(const std::string& file) {
    const auto* data = reinterpret_cast<const std::uint8_t*>(file.data());
    WebPBitstreamFeatures features{};
    if (WebPGetFeatures(data, file.size(), &features) != VP8_STATUS_OK) {
        throw std::runtime_error("not a WebP file");
    }
    int width = 0, height = 0;
    std::uint8_t* rgba = WebPDecodeRGBA(data, file.size(), &width, &height);
    if (rgba == nullptr) {
        throw std::runtime_error("libwebp could not decode the file");
    }
    DecodedWebp out{{width, height, {}, {}}, features.format == 2};
    for (std::size_t i = 0; i < std::size_t(width) * std::size_t(height); ++i) {
        out.Image.Rgb.insert(out.Image.Rgb.end(), rgba + 4 * i, rgba + 4 * i + 3);
        if (features.has_alpha != 0) {
            out.Image.Alpha.push_back(rgba[4 * i + 3]);
        }
    }
    WebPFree(rgba);
    return out;
}

DecodedImage DecodeBmp(const std::string& file, int* bitsPerPixel) {
    const auto little = [&file](std::size_t at, int bytes) {
        std::uint32_t value = 0;
        for (int i = bytes - 1; i >= 0; --i) {
            value = value << 8 | Byte(file, at + std::size_t(i));
        }
        return value;
    };
    if (file.compare(0, 2, "BM") != 0 || little(2, 4) != file.size() || little(14, 4) != 40 ||
        little(30, 4) != 0) {
        throw std::runtime_error("not an uncompressed BMP file with a BITMAPINFOHEADER");
    }
    const auto width = std::size_t(little(18, 4)), height = std::size_t(little(22, 4));
    const auto bits = int(little(28, 2));
    if (bits != 32 && bits != 8 && bits != 1) {
        throw std::runtime_error("not 32, 8 or 1 bits a pixel");
    }
    const std::size_t offset = little(10, 4), rowBytes = (width * std::size_t(bits) + 31) / 32 * 4;
    if (offset + rowBytes * height != file.size()) {
        throw std::runtime_error("pixel data of the wrong size");
    }
    DecodedImage image{int(width), int(height), {}, {}};
    for (std::size_t y = 0; y < height; ++y) {
        const std::size_t row = offset + (height - 1 - y) * rowBytes;
        for (std::size_t x = 0; x < width; ++x) {
            std::size_t at = row + 4 * x; // blue, green, red of the pixel or its palette entry
            if (bits < 32) {
                const unsigned index = bits == 8
                                           ? unsigned{Byte(file, row + x)}
                                           : unsigned{Byte(file, row + x / 8)} >> (7 - x % 8) & 1u;
                if (54 + 4 * index >= offset) {
                    throw std::runtime_error("an index beyond the palette");
                }
                at = 54 + 4 * index;
            }
            image.Rgb.insert(image.Rgb.end(),
                             {Byte(file, at + 2), Byte(file, at + 1), Byte(file, at)});
        }
    }
    if (bitsPerPixel != nullptr) {
        *bitsPerPixel = bits;
    }
    return image;
}

DecodedImage DecodeImage(const std::string& file) {
    if (file.rfind("\x89PNG", 0) == 0) {
        return DecodePng(file);
    }
    if (file.rfind("II*", 0) == 0 || file.rfind("MM", 0) == 0) {
        return DecodeTiff(file).Image;
    }
    if (file.rfind("RIFF", 0) == 0) {
        return DecodeWebp(file).Image;
    }
    if (file.rfind("BM", 0) == 0) {
        return DecodeBmp(file);
    }
    return DecodeJpeg(file);
}

double Psnr(const DecodedImage& a, const DecodedImage& b) {
    if (a.Width != b.Width || a.Height != b.Height || a.Rgb.size() != b.Rgb.size()) {
        throw std::runtime_error("the images differ in size");
    }
    double squares = 0;
    for (std::size_t i = 0; i < a.Rgb.size(); ++i) {
        const double d = double(a.Rgb[i]) - double(b.Rgb[i]);
        squares += d * d;
    }
    if (squares == 0) {
        return INFINITY;
    }
    const double mean = squares / static_cast<double>(a.Rgb.size());
    return 10.0 * std::log10(255.0 * 255.0 / mean);
}

std::string ReferenceJpeg(const DecodedImage& rgb, int quality) {
    jpeg_compress_struct cinfo{};
    jpeg_error_mgr errors{};
    cinfo.err = jpeg_std_error(&errors); // a sound picture: libjpeg has nothing to refuse
    jpeg_create_compress(&cinfo);
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&cinfo, &buffer, &size);
    cinfo.image_width = static_cast<JDIMENSION>(rgb.Width);
    cinfo.image_height = static_cast<JDIMENSION>(rgb.Height);
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, quality, /*force_baseline=*/TRUE);
    cinfo.dct_method = JDCT_FLOAT;
    jpeg_start_compress(&cinfo, /*write_all_tables=*/TRUE);
    while (cinfo.next_scanline < cinfo.image_height) {
        auto* row = const_cast<JSAMPROW>(rgb.Rgb.data() + std::size_t{cinfo.next_scanline} *
                                                              std::size_t(rgb.Width) * 3);
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    std::string file(reinterpret_cast<const char*>(buffer), size);
    std::free(buffer);
    return file;
}

} // namespace folioxa::testing
