#include "imaging/TiffWriter.h"

#include "base/Error.h"
#include "imaging/PageBitmap.h"
#include "imaging/PixelRows.h"

#include <tiffio.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>

namespace folioxa {

namespace {

// Rows are grouped into strips of about this many bytes: deflate starts afresh in each strip,
// so strips much smaller than this compress worse, and readers handle any size.
constexpr std::size_t kStripBytes = std::size_t{1} << 18;

// What libtiff's callbacks work on. They run inside libtiff's C frames, so they report through
// these fields and never throw.
struct MemoryFile {
    explicit MemoryFile(MemorySink& sink) : Sink(sink) {}
    MemorySink& Sink;
    std::size_t Position = 0;
    bool OutOfMemory = false;
    std::string Failure; // libtiff's first error message
};

MemoryFile& FileOf(thandle_t handle) {
    return *static_cast<MemoryFile*>(handle);
}

tmsize_t ReadProc(thandle_t handle, void* data, tmsize_t size) {
    MemoryFile& file = FileOf(handle);
    const std::size_t end = file.Sink.Size();
    const std::size_t count =
        file.Position >= end ? 0 : std::min(static_cast<std::size_t>(size), end - file.Position);
    if (count > 0) {
        std::memcpy(data, file.Sink.Data() + file.Position, count);
    }
    file.Position += count;
    return static_cast<tmsize_t>(count);
}

tmsize_t WriteProc(thandle_t handle, void* data, tmsize_t size) {
    MemoryFile& file = FileOf(handle);
    try {
        file.Sink.WriteAt(file.Position, data, static_cast<std::size_t>(size));
    } catch (const EOutOfMemory&) {
        file.OutOfMemory = true;
        return -1;
    }
    file.Position += static_cast<std::size_t>(size);
    return size;
}

toff_t SeekProc(thandle_t handle, toff_t offset, int whence) {
    MemoryFile& file = FileOf(handle);
    std::size_t base = 0;
    if (whence == SEEK_CUR) {
        base = file.Position;
    } else if (whence == SEEK_END) {
        base = file.Sink.Size();
    }
    file.Position = base + static_cast<std::size_t>(offset);
    return file.Position;
}

int CloseProc(thandle_t /*handle*/) {
    return 0;
}

toff_t SizeProc(thandle_t handle) {
    return FileOf(handle).Sink.Size();
}

// No mapping: libtiff reads through ReadProc.
int MapProc(thandle_t /*handle*/, void** /*base*/, toff_t* /*size*/) {
    return 0;
}

void UnmapProc(thandle_t /*handle*/, void* /*base*/, toff_t /*size*/) {}

int KeepError(TIFF* /*tif*/, void* user, const char* module, const char* format, va_list args) {
    auto& file = *static_cast<MemoryFile*>(user);
    if (file.Failure.empty()) {
        char text[512];
        std::vsnprintf(text, sizeof text, format, args);
        file.Failure = module != nullptr && *module != '\0' ? std::string(module) + ": " + text
                                                            : std::string(text);
    }
    return 1; // handled: nothing reaches libtiff's default handler, which prints to stderr
}

int DropWarning(TIFF*, void*, const char*, const char*, va_list) {
    return 1;
}

struct CloseTiff {
    void operator()(TIFF* tif) const { TIFFClose(tif); }
};
struct FreeOptions {
    void operator()(TIFFOpenOptions* options) const { TIFFOpenOptionsFree(options); }
};

[[noreturn]] void Fail(const MemoryFile& file) {
    if (file.OutOfMemory) {
        throw EOutOfMemory("Out of memory for a TIFF file");
    }
    throw Error("TIFF error: " + (file.Failure.empty() ? "the encoding failed" : file.Failure));
}

// The tags that say how the samples are stored.
bool TagSamples(TIFF* t, Samples samples) {
    const bool bits = samples == Samples::BlackBits;
    const bool grey = bits || samples == Samples::Grey || samples == Samples::GreyAlpha;
    const bool alpha = samples == Samples::Rgba || samples == Samples::GreyAlpha;
    const std::uint16_t photometric = bits   ? PHOTOMETRIC_MINISWHITE
                                      : grey ? PHOTOMETRIC_MINISBLACK
                                             : PHOTOMETRIC_RGB;
    const std::uint16_t extra[] = {EXTRASAMPLE_UNASSALPHA};
    bool tagged =
        TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, bits ? 1 : 8) == 1 &&
        TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, static_cast<int>(SampleBytes(samples))) == 1 &&
        TIFFSetField(t, TIFFTAG_PHOTOMETRIC, photometric) == 1;
    if (alpha) {
        tagged = tagged && TIFFSetField(t, TIFFTAG_EXTRASAMPLES, 1, extra) == 1;
    }
    if (bits) {
        return tagged && TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_CCITTFAX4) == 1;
    }
    return tagged && TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_ADOBE_DEFLATE) == 1 &&
           TIFFSetField(t, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL) == 1;
}

} // namespace

TiffWriter::TiffWriter(PixelMode mode, bool alpha) : FSamples(SamplesOf(mode, alpha)) {
    // Group 4 readers take 1 as black.
    if (FSamples == Samples::WhiteBits) {
        FSamples = Samples::BlackBits;
    }
}

void TiffWriter::Check(const PageBitmap& bitmap) const {
    if (bitmap.Width() <= 0 || bitmap.Height() <= 0) {
        throw Error("A picture without pixels cannot be written as TIFF");
    }
}

void TiffWriter::Encode(const PageBitmap& bitmap, ByteSink& sink) {
    Check(bitmap);
    FFile.Clear();
    MemoryFile file(FFile);
    const std::unique_ptr<TIFFOpenOptions, FreeOptions> options(TIFFOpenOptionsAlloc());
    if (!options) {
        throw EOutOfMemory("Out of memory for a TIFF file");
    }
    TIFFOpenOptionsSetErrorHandlerExtR(options.get(), KeepError, &file);
    TIFFOpenOptionsSetWarningHandlerExtR(options.get(), DropWarning, nullptr);
    {
        const std::unique_ptr<TIFF, CloseTiff> tif(
            TIFFClientOpenExt("page.tif", "w", &file, ReadProc, WriteProc, SeekProc, CloseProc,
                              SizeProc, MapProc, UnmapProc, options.get()));
        if (!tif) {
            Fail(file);
        }
        const auto width = static_cast<std::size_t>(bitmap.Width());
        const auto height = static_cast<std::size_t>(bitmap.Height());
        const std::size_t rowBytes = SampleRowBytes(FSamples, width);
        // Group 4 in one strip, as fax readers expect: a 1-bit page is a 32nd of the bitmap.
        const std::size_t rowsPerStrip =
            FSamples == Samples::BlackBits
                ? height
                : std::clamp<std::size_t>(kStripBytes / rowBytes, 1, height);
        TIFF* t = tif.get();
        const bool tagged =
            TIFFSetField(t, TIFFTAG_IMAGEWIDTH, static_cast<std::uint32_t>(width)) == 1 &&
            TIFFSetField(t, TIFFTAG_IMAGELENGTH, static_cast<std::uint32_t>(height)) == 1 &&
            TagSamples(t, FSamples) &&
            TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG) == 1 &&
            TIFFSetField(t, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT) == 1 &&
            TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, static_cast<std::uint32_t>(rowsPerStrip)) == 1;
        if (!tagged) {
            Fail(file);
        }
        try {
            FStrip.resize(rowsPerStrip * rowBytes);
        } catch (const std::bad_alloc&) {
            throw EOutOfMemory("Out of memory for a TIFF file");
        }
        for (std::size_t first = 0, strip = 0; first < height; first += rowsPerStrip, ++strip) {
            const std::size_t rows = std::min(rowsPerStrip, height - first);
            for (std::size_t i = 0; i < rows; ++i) {
                ConvertRow(FSamples, bitmap.ScanLine(static_cast<int>(first + i)),
                           FStrip.data() + i * rowBytes, width);
            }
            // The predictor works in place on the strip, which is rebuilt for the next one.
            if (TIFFWriteEncodedStrip(t, static_cast<std::uint32_t>(strip), FStrip.data(),
                                      static_cast<tmsize_t>(rows * rowBytes)) < 0) {
                Fail(file);
            }
        }
        // Writes the directory; closing would do it too, but could not report a failure.
        if (TIFFFlush(t) != 1) {
            Fail(file);
        }
    }
    if (file.OutOfMemory || !file.Failure.empty()) {
        Fail(file);
    }
    sink.Write(FFile.Data(), FFile.Size());
}

} // namespace folioxa
