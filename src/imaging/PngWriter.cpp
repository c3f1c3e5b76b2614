#include "imaging/PngWriter.h"

#include "base/Error.h"
#include "imaging/ByteSink.h"
#include "imaging/PageBitmap.h"
#include "imaging/PixelRows.h"

#include <zlib.h>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include <algorithm>
#include <array>
#include <cstring>
#include <new>
#include <tuple>
#include <utility>

namespace folioxa {

namespace {

constexpr int kCompressionLevel = 7;
constexpr int kWindowBits = 15;
constexpr int kMemoryLevel = 8;
constexpr std::size_t kMaxIdatSize = 65535;
constexpr std::uint8_t kFilterSub = 1;
// Filtered rows reach deflate in batches of about this size: fewer calls, same stream.
constexpr std::size_t kInputBatchBytes = std::size_t{1} << 18;
constexpr std::size_t kMaxDeflateInput = std::size_t{1} << 30;

const std::array<std::uint8_t, 8> kSignature = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};

void PutBigEndian(std::uint8_t* at, std::uint32_t value) {
    at[0] = static_cast<std::uint8_t>(value >> 24);
    at[1] = static_cast<std::uint8_t>(value >> 16);
    at[2] = static_cast<std::uint8_t>(value >> 8);
    at[3] = static_cast<std::uint8_t>(value);
}

[[noreturn]] void ThrowOutOfMemory() {
    throw EOutOfMemory("Out of memory for writing a PNG file");
}

// A buffer sized for one chunk: length and type, up to kMaxIdatSize data bytes, CRC. The data
// is filled in place (deflate writes straight into it), so a chunk leaves in one write.
class ChunkBuffer {
public:
    ChunkBuffer() : FBytes(8 + kMaxIdatSize + 4) {}
    std::uint8_t* Data() { return FBytes.data() + 8; }

    // Frames the first `size` data bytes as a chunk of `type` and writes it.
    void Write(ByteSink& file, const char* type, std::size_t size) {
        PutBigEndian(FBytes.data(), static_cast<std::uint32_t>(size));
        std::memcpy(FBytes.data() + 4, type, 4);
        const auto crc = ::crc32(0, FBytes.data() + 4, static_cast<uInt>(size + 4));
        PutBigEndian(FBytes.data() + 8 + size, static_cast<std::uint32_t>(crc));
        file.Write(FBytes.data(), 8 + size + 4);
    }

private:
    std::vector<std::uint8_t> FBytes;
};

// One zlib deflate stream with the writer's fixed parameters; ended on every path.
class Deflater {
public:
    Deflater() {
        const int result = ::deflateInit2(&FStream, kCompressionLevel, Z_DEFLATED, kWindowBits,
                                          kMemoryLevel, Z_DEFAULT_STRATEGY);
        if (result == Z_MEM_ERROR) {
            ThrowOutOfMemory();
        }
        if (result != Z_OK) {
            throw Error("PNG compression could not start (zlib error " + std::to_string(result) +
                        ")");
        }
    }
    ~Deflater() { ::deflateEnd(&FStream); }
    Deflater(const Deflater&) = delete;
    Deflater& operator=(const Deflater&) = delete;

    z_stream& Stream() { return FStream; }

    // One deflate call; Z_OK or Z_STREAM_END, anything else throws.
    int Deflate(int flush) {
        const int result = ::deflate(&FStream, flush);
        if (result != Z_OK && result != Z_STREAM_END) {
            throw Error("PNG compression failed (zlib error " + std::to_string(result) + ")");
        }
        return result;
    }

private:
    z_stream FStream{};
};

// The IDAT chunks of one stream: every chunk but the last holds exactly kMaxIdatSize bytes,
// and none is empty.
class IdatWriter {
public:
    explicit IdatWriter(ByteSink& file) : FFile(file) { Reset(); }

    // Feeds `size` bytes through deflate without flushing.
    void Compress(const std::uint8_t* data, std::size_t size) {
        auto& stream = FDeflater.Stream();
        // zlib reads input through a non-const pointer and counts it in 32 bits.
        stream.next_in = const_cast<Bytef*>(data);
        while (size > 0 || stream.avail_in > 0) {
            if (stream.avail_in == 0) {
                const std::size_t piece = std::min<std::size_t>(size, kMaxDeflateInput);
                stream.avail_in = static_cast<uInt>(piece);
                size -= piece;
            }
            FDeflater.Deflate(Z_NO_FLUSH);
            WriteIfFull();
        }
    }

    // Ends the stream and writes what it still holds.
    void Finish() {
        auto& stream = FDeflater.Stream();
        while (FDeflater.Deflate(Z_FINISH) != Z_STREAM_END) {
            WriteIfFull();
        }
        // The end may come right after a full chunk went out: then nothing is left to write.
        const std::size_t left = kMaxIdatSize - stream.avail_out;
        if (left > 0) {
            FChunk.Write(FFile, "IDAT", left);
        }
    }

private:
    void Reset() {
        FDeflater.Stream().next_out = FChunk.Data();
        FDeflater.Stream().avail_out = static_cast<uInt>(kMaxIdatSize);
    }
    void WriteIfFull() {
        if (FDeflater.Stream().avail_out == 0) {
            FChunk.Write(FFile, "IDAT", kMaxIdatSize);
            Reset();
        }
    }

    ByteSink& FFile;
    ChunkBuffer FChunk;
    Deflater FDeflater;
};

// Filter type byte, then each byte less the one `distance` places (a pixel) before it.
void SubFilterRow(const std::uint8_t* raw, std::size_t rawBytes, std::size_t distance,
                  std::uint8_t* out) {
    out[0] = kFilterSub;
    const std::size_t head = std::min(distance, rawBytes);
    std::memcpy(out + 1, raw, head);
    std::size_t i = head;
#ifdef __SSE2__
    for (; i + 16 <= rawBytes; i += 16) {
        const __m128i here = _mm_loadu_si128(reinterpret_cast<const __m128i*>(raw + i));
        const __m128i left = _mm_loadu_si128(reinterpret_cast<const __m128i*>(raw + i - distance));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 1 + i), _mm_sub_epi8(here, left));
    }
#endif
    for (; i < rawBytes; ++i) {
        out[1 + i] = static_cast<std::uint8_t>(raw[i] - raw[i - distance]);
    }
}

// IHDR's bit depth and colour type.
std::pair<std::uint8_t, std::uint8_t> DepthAndColourType(Samples samples) {
    switch (samples) {
    case Samples::Rgba:
        return {8, 6};
    case Samples::Grey:
        return {8, 0};
    case Samples::GreyAlpha:
        return {8, 4};
    case Samples::WhiteBits:
    case Samples::BlackBits:
        return {1, 0};
    case Samples::Rgb:
        break;
    }
    return {8, 2};
}

} // namespace

PngWriter::PngWriter(PixelMode mode, bool alpha) : FSamples(SamplesOf(mode, alpha)) {}

void PngWriter::Check(const PageBitmap& bitmap) const {
    if (bitmap.Width() <= 0 || bitmap.Height() <= 0) {
        throw Error("A picture without pixels cannot be written as PNG");
    }
}

void PngWriter::Encode(const PageBitmap& bitmap, ByteSink& sink) {
    Check(bitmap);
    try {
        Write(bitmap, sink);
    } catch (const std::bad_alloc&) {
        ThrowOutOfMemory();
    }
}

void PngWriter::Write(const PageBitmap& bitmap, ByteSink& file) {
    ChunkBuffer header;
    file.Write(kSignature.data(), kSignature.size());
    std::uint8_t* ihdr = header.Data();
    PutBigEndian(ihdr, static_cast<std::uint32_t>(bitmap.Width()));
    PutBigEndian(ihdr + 4, static_cast<std::uint32_t>(bitmap.Height()));
    std::tie(ihdr[8], ihdr[9]) = DepthAndColourType(FSamples);
    ihdr[10] = 0; // compression method
    ihdr[11] = 0; // filter method
    ihdr[12] = 0; // interlace method: none
    header.Write(file, "IHDR", 13);

    const auto width = static_cast<std::size_t>(bitmap.Width());
    const std::size_t rawBytes = SampleRowBytes(FSamples, width);
    const std::size_t distance = SampleBytes(FSamples);
    const auto height = static_cast<std::size_t>(bitmap.Height());
    const std::size_t rowsPerBatch = std::max<std::size_t>(1, kInputBatchBytes / (rawBytes + 1));
    // One row at a time in the file's samples: the page itself is read where it lies.
    FRow.resize(rawBytes);
    FBatch.resize(std::min(rowsPerBatch, height) * (rawBytes + 1));
    {
        IdatWriter idat(file);
        for (std::size_t first = 0; first < height; first += rowsPerBatch) {
            const std::size_t rows = std::min(rowsPerBatch, height - first);
            for (std::size_t i = 0; i < rows; ++i) {
                ConvertRow(FSamples, bitmap.ScanLine(static_cast<int>(first + i)), FRow.data(),
                           width);
                SubFilterRow(FRow.data(), rawBytes, distance, FBatch.data() + i * (rawBytes + 1));
            }
            idat.Compress(FBatch.data(), rows * (rawBytes + 1));
        }
        idat.Finish();
    }
    header.Write(file, "IEND", 0);
}

} // namespace folioxa
