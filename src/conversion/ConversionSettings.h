#pragma once

#include "conversion/PageSelection.h"
#include "imaging/ImageWriter.h"

#include <cstdint>
#include <string>

namespace folioxa {

// The page box a page is drawn and sized as. Crop is what a viewer shows, and what a page is
// drawn as unless asked otherwise.
enum class PageBox { Media, Crop, Bleed, Trim, Art };

// How the engine draws each page. The defaults draw what the window always drew.
struct DrawingOptions {
    PageBox Box = PageBox::Crop;
    bool Annotations = false;  // the annotations' normal appearances, as a viewer shows them
    bool FormHighlight = true; // form fields with the engine's on-screen highlight
    bool Transparent = false;  // onto a transparent background rather than white
    bool operator==(const DrawingOptions&) const = default;
};

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

    // The command line's further choices; the defaults are the window's run, file for file.
    PageFilter Filter;                    // applied to the list the selection gives
    DrawingOptions Drawing;               // Transparent also writes alpha
    PixelMode Pixels = PixelMode::Colour; // what the files keep of each pixel
    bool Lossy = false;                   // WebP at JpegQuality rather than lossless
    bool SkipExisting = false;            // an entry whose file exists is not drawn again
    bool SingleFile = false;              // files named base + extension, no page text
};

} // namespace folioxa
