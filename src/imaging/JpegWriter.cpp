#include "imaging/JpegWriter.h"

#include "imaging/ByteSink.h"
#include "imaging/PageBitmap.h"

#include <jerror.h>
#include <jpeglib.h>

#include <algorithm>
#include <csetjmp>
#include <cstdio> // jpeglib.h needs FILE and size_t declared first
#include <cstdlib>

namespace folioxa {

namespace {

constexpr int kApiVersion = 62;
constexpr std::size_t kFirstBufferSize = std::size_t{1} << 20;

// The error manager: every libjpeg error jumps back to the frame that called setjmp, which
// holds no object with a destructor. Warnings and trace messages are dropped.
struct ErrorManager {
    jpeg_error_mgr Base;
    std::jmp_buf Jump;
    bool OutOfMemory;
};

[[noreturn]] void ErrorExit(j_common_ptr cinfo) {
    std::longjmp(reinterpret_cast<ErrorManager*>(cinfo->err)->Jump, 1);
}

void DropMessage(j_common_ptr /*cinfo*/, int /*level*/) {}
void DropOutput(j_common_ptr /*cinfo*/) {}

// The compressed stream grows in a block the writer owns, so nothing libjpeg allocates for
// output needs freeing when an error cuts the encoding short.
struct Destination {
    jpeg_destination_mgr Base;
    std::unique_ptr<std::uint8_t[], FreeBuffer>* Data;
    std::size_t* Size;
    std::size_t* Capacity;
};

// Gives the destination room after `used` bytes, doubling the block when it is full; false
// when memory ran out.
bool Grow(Destination& dest, std::size_t used) {
    if (used == *dest.Capacity) {
        const std::size_t capacity = std::max(kFirstBufferSize, used * 2);
        void* block = std::realloc(dest.Data->get(), capacity);
        if (block == nullptr) {
            return false;
        }
        (void)dest.Data->release(); // realloc moved or freed the old block
        dest.Data->reset(static_cast<std::uint8_t*>(block));
        *dest.Capacity = capacity;
    }
    dest.Base.next_output_byte = dest.Data->get() + used;
    dest.Base.free_in_buffer = *dest.Capacity - used;
    return true;
}

void InitDestination(j_compress_ptr cinfo) {
    auto& dest = *reinterpret_cast<Destination*>(cinfo->dest);
    if (!Grow(dest, 0)) {
        reinterpret_cast<ErrorManager*>(cinfo->err)->OutOfMemory = true;
        ERREXIT(cinfo, JERR_OUT_OF_MEMORY);
    }
}

boolean EmptyOutputBuffer(j_compress_ptr cinfo) {
    auto& dest = *reinterpret_cast<Destination*>(cinfo->dest);
    // libjpeg calls this with the whole block full, whatever free_in_buffer says.
    if (!Grow(dest, *dest.Capacity)) {
        reinterpret_cast<ErrorManager*>(cinfo->err)->OutOfMemory = true;
        ERREXIT(cinfo, JERR_OUT_OF_MEMORY);
    }
    return TRUE;
}

void TermDestination(j_compress_ptr cinfo) {
    auto& dest = *reinterpret_cast<Destination*>(cinfo->dest);
    *dest.Size = *dest.Capacity - dest.Base.free_in_buffer;
}

// Runs libjpeg from start to finish. Returns 0, or the message code of the error that ended
// it. The only setjmp of the program: no object in this frame has a destructor for a longjmp
// to skip, and nothing read after the jump lives in a register of this frame.
int CompressRows(jpeg_compress_struct* cinfo, ErrorManager* errors, Destination* dest,
                 const PageBitmap* page, int quality, bool grey) {
    if (setjmp(errors->Jump) != 0) {
        return errors->Base.msg_code;
    }
    jpeg_create_compress(cinfo);
    cinfo->dest = &dest->Base;
    cinfo->image_width = static_cast<JDIMENSION>(page->Width());
    cinfo->image_height = static_cast<JDIMENSION>(page->Height());
    // The page's own blue, green, red, fourth-byte rows: libjpeg-turbo reorders them on the way
    // into its colour conversion, with the same result as red, green, blue rows.
    cinfo->input_components = 4;
    cinfo->in_color_space = JCS_EXT_BGRX;
    jpeg_set_defaults(cinfo);
    if (grey) {
        // libjpeg's own RGB to Y is GreyOf exactly: the same weights, 16 bits, half up.
        jpeg_set_colorspace(cinfo, JCS_GRAYSCALE);
    }
    jpeg_set_quality(cinfo, quality, /*force_baseline=*/TRUE);
    cinfo->dct_method = JDCT_FLOAT;
    jpeg_start_compress(cinfo, /*write_all_tables=*/TRUE);

    constexpr JDIMENSION kRowsPerCall = 16;
    JSAMPROW rows[kRowsPerCall];
    while (cinfo->next_scanline < cinfo->image_height) {
        const JDIMENSION first = cinfo->next_scanline;
        const JDIMENSION count = std::min(kRowsPerCall, cinfo->image_height - first);
        for (JDIMENSION i = 0; i < count; ++i) {
            // libjpeg takes rows as non-const pointers but only reads them.
            rows[i] = const_cast<JSAMPROW>(page->ScanLine(static_cast<int>(first + i)));
        }
        jpeg_write_scanlines(cinfo, rows, count);
    }
    jpeg_finish_compress(cinfo);
    return 0;
}

// Destroys the compression object whichever way the encoding ended.
struct CompressGuard {
    jpeg_compress_struct* Cinfo;
    ~CompressGuard() { jpeg_destroy_compress(Cinfo); }
};

} // namespace

void JpegWriter::SetCompressionQuality(int quality) {
    if (quality < 1 || quality > 100) {
        throw Error("The JPEG compression quality must lie between 1 and 100, not " +
                    std::to_string(quality));
    }
    FCompressionQuality = quality;
}

void JpegWriter::Encode(const PageBitmap& bitmap, ByteSink& sink) {
    jpeg_compress_struct cinfo{};
    ErrorManager errors{};
    cinfo.err = jpeg_std_error(&errors.Base);
    errors.Base.error_exit = ErrorExit;
    errors.Base.emit_message = DropMessage;
    errors.Base.output_message = DropOutput;
    Destination dest{};
    dest.Base.init_destination = InitDestination;
    dest.Base.empty_output_buffer = EmptyOutputBuffer;
    dest.Base.term_destination = TermDestination;
    dest.Data = &FEncoded.Data;
    dest.Size = &FEncoded.Size;
    dest.Capacity = &FEncoded.Capacity;

    int code = 0;
    {
        CompressGuard guard{&cinfo};
        code = CompressRows(&cinfo, &errors, &dest, &bitmap, FCompressionQuality, FGrey);
    }
    if (code != 0) {
        FEncoded = Stream();
        if (errors.OutOfMemory) {
            throw EOutOfMemory("Out of memory for a JPEG stream");
        }
        throw EJPEG("JPEG error #" + std::to_string(code));
    }
    // The whole stream in one write: a file cut by an encoder error never reaches the sink.
    sink.Write(FEncoded.Data.get(), FEncoded.Size);
}

} // namespace folioxa
