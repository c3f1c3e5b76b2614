#pragma once

#include "conversion/PageSelection.h"

#include <cstdint>
#include <string>

namespace folioxa {

// The user's choices that one conversion run reads; filled once when Convert is pressed.
struct ConversionSettings {
    std::string InputFileName; // full path of the PDF file
    std::string InputPassword; // the password that opened it at selection; empty for none
    folioxa::ConvertMethod ConvertMethod = cmAllPages;
    std::string PageSelection;     // read only for cmPageSelection, e.g. "1-4,6,9-10"
    std::string ImageType = "JPG"; // a name of StandardImageFormats(); any other writes BMP
    std::int32_t Resolution = 300; // dots per inch
    // Pixel sizes instead of the resolution, each 0 when not set: the longer side (which wins
    // over the other two), the width, the height. Either of width and height alone keeps the
    // page's proportions; both together are exact.
    std::int32_t ScaleTo = 0, ScaleToX = 0, ScaleToY = 0;
    std::int32_t JpegQuality = 100; // 1 to 100
    std::string BaseFileName;
    std::string DestinationFolder; // ends with "/" whenever the window filled it
};

} // namespace folioxa
