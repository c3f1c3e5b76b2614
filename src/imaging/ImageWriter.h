#pragma once

#include <string>

namespace folioxa {

class PageBitmap;

// A writer that one conversion run reuses for every page: Assign takes the writer's own copy of
// the page's picture, SaveToFile writes it (EFCreateError, EWriteError, or the format's error).
class ImageWriter {
public:
    virtual ~ImageWriter() = default;
    virtual void Assign(const PageBitmap& bitmap) = 0;
    virtual void SaveToFile(const std::string& path) = 0;
};

} // namespace folioxa
