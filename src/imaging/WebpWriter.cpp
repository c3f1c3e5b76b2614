#include "imaging/WebpWriter.h"

#include "base/Error.h"
#include "imaging/PixelRows.h"

#include <webp/encode.h>

#include <bit>
#include <cstring>

namespace folioxa {

namespace {

static_assert(std::endian::native == std::endian::little);

// Lossless preset 1 of libwebp's 0 to 9: on text and form pages at 300 DPI about PNG's time for
// under half its size. The library's default 6 took 2 to 8 times PNG's time for files 0 to 40%
// smaller still; preset 0 skips the colour analysis and writes text pages larger than PNG.
constexpr int kLosslessLevel = 1;
// Lossy method 2 of 0 to 6: half the time of the default 4 for files 2 to 4% larger.
constexpr int kLossyMethod = 2;

// What libwebp's writer callback works on. It runs inside libwebp's C frames, so it reports
// through these fields and never throws.
struct Output {
    MemorySink* File;
    bool OutOfMemory = false;
};

int WriteToMemory(const std::uint8_t* data, std::size_t size, const WebPPicture* picture) {
    auto& output = *static_cast<Output*>(picture->custom_ptr);
    try {
        output.File->Write(data, size);
    } catch (const EOutOfMemory&) {
        output.OutOfMemory = true;
        return 0;
    }
    return 1;
}

// Frees what libwebp allocated for the picture (the lossy encoder's planes), never our words.
struct PictureGuard {
    WebPPicture* Picture;
    ~PictureGuard() { WebPPictureFree(Picture); }
};

// One row of the page as libwebp's words: little-endian blue, green, red, alpha bytes are the
// word alpha, red, green, blue, so a colour row is the page's own bytes.
void FillRow(const std::uint8_t* in, std::uint32_t* out, std::size_t width, bool grey, bool alpha) {
    const std::uint32_t opaque = alpha ? 0 : 0xFF000000u;
    if (!grey) {
        std::memcpy(out, in, 4 * width);
        if (!alpha) {
            for (std::size_t x = 0; x < width; ++x) {
                out[x] |= opaque;
            }
        }
        return;
    }
    for (std::size_t x = 0; x < width; ++x, in += 4) {
        const std::uint32_t value = GreyOf(in[0], in[1], in[2]);
        out[x] = (std::uint32_t{in[3]} << 24 | value * 0x010101u) | opaque;
    }
}

[[noreturn]] void ThrowOutOfMemory() {
    throw EOutOfMemory("Out of memory for a WebP file");
}

} // namespace

void WebpWriter::SetLossyQuality(int quality) {
    if (quality < 1 || quality > 100) {
        throw Error("The WebP quality must lie between 1 and 100, not " + std::to_string(quality));
    }
    FLossyQuality = quality;
}

void WebpWriter::Check(const PageBitmap& bitmap) const {
    if (bitmap.Width() <= 0 || bitmap.Height() <= 0) {
        throw Error("A picture without pixels cannot be written as WebP");
    }
    if (bitmap.Width() > WEBP_MAX_DIMENSION || bitmap.Height() > WEBP_MAX_DIMENSION) {
        throw Error("The page of " + std::to_string(bitmap.Width()) + " x " +
                    std::to_string(bitmap.Height()) +
                    " pixels is too large for a WebP file, which holds at most " +
                    std::to_string(WEBP_MAX_DIMENSION) + " pixels a side");
    }
}

void WebpWriter::Encode(const PageBitmap& bitmap, ByteSink& sink) {
    Check(bitmap);
    WebPConfig config;
    WebPPicture picture;
    if (WebPConfigInit(&config) == 0 || WebPPictureInit(&picture) == 0) {
        throw Error("The WebP library is not the version Folioxa was built with");
    }
    if (FLossyQuality == 0) {
        WebPConfigLosslessPreset(&config, kLosslessLevel);
    } else {
        config.quality = static_cast<float>(FLossyQuality);
        config.method = kLossyMethod;
    }

    const auto width = static_cast<std::size_t>(bitmap.Width());
    const auto height = static_cast<std::size_t>(bitmap.Height());
    if (width * height > FPictureCapacity) {
        // Not zeroed: every word is filled below before libwebp reads it.
        FPicture.reset(static_cast<std::uint32_t*>(std::malloc(width * height * 4)));
        FPictureCapacity = FPicture ? width * height : 0;
        if (!FPicture) {
            ThrowOutOfMemory();
        }
    }
    for (std::size_t y = 0; y < height; ++y) {
        FillRow(bitmap.ScanLine(static_cast<int>(y)), FPicture.get() + y * width, width, FGrey,
                FAlpha);
    }

    FFile.Clear();
    Output output{&FFile};
    picture.use_argb = 1;
    picture.width = bitmap.Width();
    picture.height = bitmap.Height();
    picture.argb = FPicture.get();
    picture.argb_stride = bitmap.Width();
    picture.writer = WriteToMemory;
    picture.custom_ptr = &output;
    const PictureGuard guard{&picture};
    if (WebPEncode(&config, &picture) == 0) {
        const WebPEncodingError code = picture.error_code;
        if (output.OutOfMemory || code == VP8_ENC_ERROR_OUT_OF_MEMORY ||
            code == VP8_ENC_ERROR_BITSTREAM_OUT_OF_MEMORY) {
            ThrowOutOfMemory();
        }
        throw Error("WebP error #" + std::to_string(static_cast<int>(code)));
    }
    sink.Write(FFile.Data(), FFile.Size());
}

} // namespace folioxa
