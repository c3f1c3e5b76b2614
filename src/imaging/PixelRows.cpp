#include "imaging/PixelRows.h"

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

} // namespace folioxa
