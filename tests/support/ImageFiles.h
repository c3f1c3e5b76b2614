#pragma once

#include "imaging/PageBitmap.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace folioxa::testing {

// Decoders for the files the writers make, so tests compare pixels, never encoder output.
// Every function throws std::runtime_error on a malformed file.

struct DecodedImage {
    int Width = 0;
    int Height = 0;
    std::vector<std::uint8_t> Rgb;     // red, green, blue; rows top first
    std::vector<std::uint8_t> Alpha{}; // one a pixel; empty when the file holds none
};

// A bitmap whose pixel (x, y) is pixel(x, y) read as 0xFFRRGGBB, FF being the fourth byte.
PageBitmap MakeBitmap(int width, int height,
                      const std::function<std::uint32_t(int x, int y)>& pixel);

// Pseudo-random pixels (all four bytes), the same for the same seed.
PageBitmap NoiseBitmap(int width, int height, std::uint32_t seed);

// Gradients and patterns that repeat at many distances, so that the choices of deflate's match
// search and the rounding of a DCT both show in the bytes.
PageBitmap PatternBitmap(int width, int height);

// The red, green, blue bytes of every pixel of `bitmap`.
DecodedImage RgbOf(const PageBitmap& bitmap);

struct PngChunk {
    std::string Type;
    std::string Data;
};

// The chunks after the signature; checks the signature and every CRC.
std::vector<PngChunk> ReadPngChunks(const std::string& file);

// A whole zlib stream inflated; throws unless it ends exactly at the end of `stream`.
std::string Inflate(const std::string& stream);

// The filtered image data of a PNG file: its IDAT chunks joined and inflated.
std::string PngImageData(const std::string& file);

// A non-interlaced PNG file decoded (any of the five row filters): 8-bit truecolour, grey,
// either with alpha, or 1-bit grey. Grey comes back as red = green = blue.
DecodedImage DecodePng(const std::string& file);

struct JpegSegment {
    std::uint8_t Marker = 0; // the byte after FF
    std::string Data;        // after the length field; empty for SOI and EOI
    std::size_t Offset = 0;  // where FF stands in the file
};

// Every marker segment in file order; the entropy-coded data after SOS is skipped (its stuffed
// bytes and restart markers too). Reading stops at EOI, whose Offset + 2 tells the length used.
std::vector<JpegSegment> ReadJpegSegments(const std::string& file);

// A JPEG file decoded to red, green, blue by libjpeg. Throws std::runtime_error with libjpeg's
// message code when the file cannot be decoded.
DecodedImage DecodeJpeg(const std::string& file);

// The same with the chroma replicated plainly (no fancy upsampling), so a colour constant over
// 2 x 2 pixels comes back within rounding.
DecodedImage DecodeJpegPlainChroma(const std::string& file);

struct DecodedTiff {
    DecodedImage Image;
    std::uint16_t Compression = 0, Predictor = 0, BitsPerSample = 0, SamplesPerPixel = 0,
                  Photometric = 0, ExtraSample = 0;
    std::uint32_t Strips = 0;
};

// A TIFF file decoded by libtiff's own RGBA reader, whatever its strips, with the tags that say
// how it was stored. With unassociated 8-bit alpha, which that reader premultiplies, the image
// and its Alpha are the stored samples.
DecodedTiff DecodeTiff(const std::string& file);

struct DecodedWebp {
    DecodedImage Image; // Alpha filled only when the file says it has alpha
    bool Lossless = false;
};

// A WebP file decoded by libwebp.
DecodedWebp DecodeWebp(const std::string& file);

// Any file the writers make, told by its signature and decoded as above.
DecodedImage DecodeImage(const std::string& file);

// A bottom-up, uncompressed BMP file of 32 bits a pixel (the fourth byte dropped), or of 8 or 1
// bits through its palette, decoded; with the bits a pixel it stores.
DecodedImage DecodeBmp(const std::string& file, int* bitsPerPixel = nullptr);

// The peak signal-to-noise ratio of `b` against `a` in dB over all channels; infinity when they
// are equal. Throws std::runtime_error when their sizes differ.
double Psnr(const DecodedImage& a, const DecodedImage& b);

// The picture encoded here, straight through the linked libjpeg with exactly the file's
// parameters (red, green, blue rows, the library's defaults, `quality` with force_baseline,
// JDCT_FLOAT, all tables), so that a writer's bytes can be compared with what they give.
std::string ReferenceJpeg(const DecodedImage& rgb, int quality);

} // namespace folioxa::testing
