#pragma once

#include <memory>
#include <string>

namespace folioxa {

class ByteSink;
class OutputFolder;
class PageBitmap;

// What a file keeps of each pixel's blue, green and red: all three, one grey value (GreyOf), or
// one bit (black where the grey value is below 128). See docs/writers-modes.md.
enum class PixelMode { Colour, Grey, BlackAndWhite };

// The refusal of a pixel mode with alpha that no file format holds (one bit a pixel with
// alpha), or null when the pair can be written.
const char* PixelsRefusal(PixelMode mode, bool alpha);

// A writer that one conversion run reuses for every page. It reads the page bitmap where it lies
// (no copy of the picture is taken) and writes the bytes of one file.
class ImageWriter {
public:
    virtual ~ImageWriter() = default;

    // Refuses a page this format cannot hold, before any file is created. Throws Error.
    virtual void Check(const PageBitmap& bitmap) const;

    // Writes the whole file for `bitmap` into `sink`: the format's errors (EJPEG, EOutOfMemory)
    // and the sink's (EWriteError) are thrown.
    virtual void Encode(const PageBitmap& bitmap, ByteSink& sink) = 0;

    // Check, then the output file `name` is created in `folder`, the page encoded into it and
    // the file put in place. Throws what Check, OutputFile and Encode throw.
    virtual void SaveToFile(const PageBitmap& bitmap,
                            const std::shared_ptr<const OutputFolder>& folder,
                            const std::string& name);
    // The same for the file at `path`.
    void SaveToFile(const PageBitmap& bitmap, const std::string& path);
};

} // namespace folioxa
