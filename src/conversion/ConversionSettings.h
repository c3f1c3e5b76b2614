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
    std::string ImageType = "JPG"; // "JPG", "PNG"; any other text writes BMP
    std::int32_t Resolution = 300; // dots per inch
    std::string BaseFileName;
    std::string DestinationFolder; // ends with "/" whenever the window filled it
    std::int32_t ScaleTo = 0;  // the longer side in pixels instead of the resolution; 0: not set
    std::int32_t ScaleToX = 0; // the width in pixels; 0: not set
    std::int32_t ScaleToY = 0; // the height in pixels; 0: not set
    std::int32_t JpegQuality = 100; // 1 to 100
};

} // namespace folioxa
