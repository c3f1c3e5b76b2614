#include "imaging/PixelRows.h"

#include "base/Error.h"

#include <algorithm>
#include <bit>
#include <cstring>

#if defined(__x86_64__)
#include <tmmintrin.h>
#endif

namespace folioxa {

namespace {

static_assert(std::endian::native == std::endian::little);

// Red, green, blue of one blue, green, red, fourth-byte pixel in the low three bytes.
std::uint32_t RgbOfPixel(const std::uint8_t* in) {
    std::uint32_t bgra = 0;
    std::memcpy(&bgra, in, 4);
    return __builtin_bswap32(bgra) >> 8;
}

// Pixels from `i` on, each stored as 4 bytes, the fourth overwritten by the next pixel.
void ConvertRest(const std::uint8_t* in, std::uint8_t* out, std::size_t i, std::size_t count) {
    in += 4 * i;
    out += 3 * i;
    for (; i + 1 < count; ++i, in += 4, out += 3) {
        const std::uint32_t rgb = RgbOfPixel(in);
        std::memcpy(out, &rgb, 4);
    }
    if (i < count) {
        out[0] = in[2];
        out[1] = in[1];
        out[2] = in[0];
    }
}

#if defined(__x86_64__)
// Sixteen pixels a step: four byte shuffles make 4 x 12 bytes, joined into three 16-byte
// stores. Red, green, blue of the four pixels at `in` in the low 12 bytes.
__attribute__((target("ssse3"))) __m128i ShuffleFour(const std::uint8_t* in) {
    const __m128i order = _mm_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1);
    return _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in)), order);
}

__attribute__((target("ssse3"))) void ConvertToRgbSsse3(const std::uint8_t* in, std::uint8_t* out,
                                                        std::size_t count) {
    std::size_t i = 0;
    for (; i + 16 <= count; i += 16) {
        const std::uint8_t* from = in + 4 * i;
        const __m128i a = ShuffleFour(from), b = ShuffleFour(from + 16), c = ShuffleFour(from + 32),
                      d = ShuffleFour(from + 48);
        const __m128i parts[3] = {_mm_or_si128(a, _mm_slli_si128(b, 12)),
                                  _mm_or_si128(_mm_srli_si128(b, 4), _mm_slli_si128(c, 8)),
                                  _mm_or_si128(_mm_srli_si128(c, 8), _mm_slli_si128(d, 4))};
        auto* to = reinterpret_cast<__m128i*>(out + 3 * i);
        for (int k = 0; k < 3; ++k) {
            _mm_storeu_si128(to + k, parts[k]);
        }
    }
    ConvertRest(in, out, i, count);
}
#endif

} // namespace

void BgrxToRgb(const std::uint8_t* in, std::uint8_t* out, std::size_t count) {
#if defined(__x86_64__)
    if (__builtin_cpu_supports("ssse3")) {
        ConvertToRgbSsse3(in, out, count);
        return;
    }
#endif
    ConvertRest(in, out, 0, count);
}

namespace {

void BgraToRgba(const std::uint8_t* in, std::uint8_t* out, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i, in += 4, out += 4) {
        std::uint32_t pixel = 0;
        std::memcpy(&pixel, in, 4);
        // Blue and red change places; green and alpha stay.
        pixel = (pixel & 0xFF00FF00u) | ((pixel >> 16) & 0xFFu) | ((pixel & 0xFFu) << 16);
        std::memcpy(out, &pixel, 4);
    }
}

void BgraToGrey(const std::uint8_t* in, std::uint8_t* out, std::size_t count, bool alpha) {
    for (std::size_t i = 0; i < count; ++i, in += 4) {
        *out++ = GreyOf(in[0], in[1], in[2]);
        if (alpha) {
            *out++ = in[3];
        }
    }
}

void BgrxToBits(const std::uint8_t* in, std::uint8_t* out, std::size_t count, bool whiteIsOne) {
    const std::uint8_t flip = whiteIsOne ? 0 : 1;
    for (std::size_t first = 0; first < count; first += 8) {
        const std::size_t end = std::min(count, first + 8);
        unsigned byte = 0;
        for (std::size_t i = first; i < end; ++i, in += 4) {
            const unsigned white = GreyOf(in[0], in[1], in[2]) >= kWhiteFromGrey ? 1 : 0;
            byte |= (white ^ flip) << (7 - (i - first));
        }
        *out++ = static_cast<std::uint8_t>(byte);
    }
}

} // namespace

Samples SamplesOf(PixelMode mode, bool alpha) {
    if (const char* refusal = PixelsRefusal(mode, alpha)) {
        throw Error(refusal);
    }
    switch (mode) {
    case PixelMode::Grey:
        return alpha ? Samples::GreyAlpha : Samples::Grey;
    case PixelMode::BlackAndWhite:
        return Samples::WhiteBits;
    case PixelMode::Colour:
        break;
    }
    return alpha ? Samples::Rgba : Samples::Rgb;
}

std::size_t SampleBytes(Samples samples) {
    switch (samples) {
    case Samples::Rgb:
        return 3;
    case Samples::Rgba:
        return 4;
    case Samples::GreyAlpha:
        return 2;
    case Samples::Grey:
    case Samples::WhiteBits:
    case Samples::BlackBits:
        break;
    }
    return 1;
}

std::size_t SampleRowBytes(Samples samples, std::size_t width) {
    if (samples == Samples::WhiteBits || samples == Samples::BlackBits) {
        return (width + 7) / 8;
    }
    return SampleBytes(samples) * width;
}

void ConvertRow(Samples samples, const std::uint8_t* in, std::uint8_t* out, std::size_t width) {
    switch (samples) {
    case Samples::Rgb:
        BgrxToRgb(in, out, width);
        break;
    case Samples::Rgba:
        BgraToRgba(in, out, width);
        break;
    case Samples::Grey:
    case Samples::GreyAlpha:
        BgraToGrey(in, out, width, samples == Samples::GreyAlpha);
        break;
    case Samples::WhiteBits:
    case Samples::BlackBits:
        BgrxToBits(in, out, width, samples == Samples::WhiteBits);
        break;
    }
}

} // namespace folioxa
