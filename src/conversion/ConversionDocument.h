#pragma once

#include "conversion/ConversionSettings.h"

#include <memory>
#include <string>

namespace folioxa {

class PageBitmap;

// What a run uses of its document before any page is drawn: opening it with its password and
// counting its pages. The page workers' document serves the window and the command line this
// way; the engine's own component (ConversionDocument) serves it in-process.
// Failures are thrown as Error with the text the user sees.
class RunDocument {
public:
    virtual ~RunDocument() = default;
    virtual void SetFileName(const std::string& fileName) = 0; // refused while active
    virtual void SetPassword(const std::string& password) = 0; // refused while active
    // An open file to read the document from instead of opening FileName, or -1 (the default).
    // Refused while active; a document that can only open paths refuses any descriptor.
    virtual void SetFileHandle(int fileHandle);
    // How its pages are drawn (box, annotations, highlight, background), for the next opening.
    // A document that draws only the default way refuses any other (Error).
    virtual void SetDrawing(const DrawingOptions& drawing);
    virtual void SetActive(bool active) = 0; // opens / closes; false never throws
    virtual int PageCount() = 0;
    virtual void
    SetPageNumber(int pageNumber) = 0; // 1-based; 0 unloads; never throws while inactive
};

// What a conversion run uses of the PDF document component, in the order of first use.
class ConversionDocument : public RunDocument {
public:
    virtual double PageWidth() = 0;  // points
    virtual double PageHeight() = 0; // points
    // The current page drawn at exactly width x height pixels onto opaque white, no rotation,
    // no render options; null when either side is not positive. The caller owns the bitmap.
    virtual std::unique_ptr<PageBitmap> RenderPageOnWhite(int width, int height) = 0;
    // The same drawing into `bitmap`'s own rows, at its size (which may be memory it only views).
    // This one copies what RenderPageOnWhite returns; a component that can draw in place does.
    // Throws what RenderPageOnWhite throws, and Error when it gives no bitmap.
    virtual void RenderPageInto(PageBitmap& bitmap);
};

} // namespace folioxa
