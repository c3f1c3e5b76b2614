#pragma once

#include "imaging/ImageWriter.h"

#include <cstddef>
#include <cstdint>

namespace folioxa {

// The grey value of a pixel: 0.299 red + 0.587 green + 0.114 blue (ITU-R BT.601, the weights of
// JPEG's own luma), in 16-bit fixed point, rounded half up. The weights sum to 65536, so white
// stays 255 and every neutral grey keeps its value.
constexpr std::uint8_t GreyOf(std::uint8_t blue, std::uint8_t green, std::uint8_t red) {
    return static_cast<std::uint8_t>((19595u * red + 38470u * green + 7471u * blue + 32768u) >> 16);
}

// In black and white, a pixel is white from this grey value up and black below it.
constexpr std::uint8_t kWhiteFromGrey = 128;

// What a file stores of each pixel, in the file's order. The bits are packed eight a byte, the
// leftmost pixel in the highest bit; the last byte of a row is padded with zero bits.
enum class Samples {
    Rgb,       // red, green, blue
    Rgba,      // red, green, blue, alpha (the fourth byte, straight)
    Grey,      // GreyOf
    GreyAlpha, // GreyOf, alpha
    WhiteBits, // 1 for white, 0 for black
    BlackBits, // 1 for black, 0 for white
};

// The samples for a pixel mode; black and white is WhiteBits. Throws Error for a pair that
// PixelsRefusal refuses.
Samples SamplesOf(PixelMode mode, bool alpha);

// Bytes of one row of `width` pixels, and bytes a pixel (1 for bits: what PNG's Sub filter
// looks back).
std::size_t SampleRowBytes(Samples samples, std::size_t width);
std::size_t SampleBytes(Samples samples);

// One row of `width` page-bitmap pixels (blue, green, red, fourth byte) as `samples`; `out`
// holds SampleRowBytes(samples, width) bytes.
void ConvertRow(Samples samples, const std::uint8_t* in, std::uint8_t* out, std::size_t width);

// `count` page-bitmap pixels (blue, green, red, fourth byte) as red, green, blue, 3 bytes each;
// the fourth byte is dropped. `out` holds 3 * count bytes.
void BgrxToRgb(const std::uint8_t* in, std::uint8_t* out, std::size_t count);

} // namespace folioxa
