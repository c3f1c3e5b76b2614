#pragma once

#include <memory>
#include <string>

namespace folioxa {

class ByteSink;
class OutputFolder;
class PageBitmap;

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
