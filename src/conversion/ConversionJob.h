#pragma once

#include "conversion/ConversionDocument.h"
#include "conversion/ConversionSettings.h"
#include "conversion/ConversionView.h"
#include "conversion/ImageFormats.h"
#include "conversion/PageSelection.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace folioxa {

// size x dpi / 72 in double precision, the multiplication first.
double PointsToPixels(double size, std::int32_t dpi);

// PointsToPixels rounded half to even (62.5 -> 62, 187.5 -> 188). Values beyond the int range
// come back as INT64 numbers so that the caller can refuse them.
std::int64_t PixelSize(double size, std::int32_t dpi);

// How a run sizes its pages: the settings' resolution and scales (0 = not set).
struct PageSizing {
    std::int32_t Resolution = 300;
    std::int32_t ScaleTo = 0, ScaleToX = 0, ScaleToY = 0;
};
PageSizing SizingOf(const ConversionSettings& settings);

struct PixelDimensions {
    std::int64_t Width = 0;
    std::int64_t Height = 0;
};

// The pixels of a page of widthPt x heightPt points as drawn (its /Rotate applied, as the
// document reports its size). With ScaleTo the longer side is ScaleTo pixels (both, for a
// square); with ScaleToX or ScaleToY alone that side is given; both together give both sides.
// A side in proportion is rounded half to even, as PixelSize rounds; it is 0 when the side it
// follows is not positive. With no scale set: PixelSize of both sides at the resolution.
PixelDimensions FittedPixelSize(double widthPt, double heightPt, const PageSizing& sizing);

// The engine cannot make a bitmap of 2 GiB or more (4 bytes a pixel).
inline constexpr std::int64_t kMaxPageBitmapBytes = 0x7FFFFFFF;

// Memory a page of width x height pixels needs while it is drawn and encoded: its bitmap and
// an encoding as large again.
std::uint64_t PageMemoryBytes(std::int64_t width, std::int64_t height);

// Convert pressed: with no input file the notice "Choose a PDF file to convert to images!";
// otherwise `readSettings` fills the settings (it may throw, e.g. for the resolution text) and
// `run` runs them.
void StartConversion(const std::string& inputFileName,
                     const std::function<ConversionSettings()>& readSettings, ConversionView& view,
                     const std::function<void(const ConversionSettings&)>& run);

// One entry of a run's page list as the run reaches it.
struct EntryEvent {
    std::int64_t Index;      // position in the page list, from 0
    const std::string& Text; // the entry as listed
    const std::string& Path; // its output file
    std::int64_t Bytes;      // OnEntryWritten: the file's size
    double Milliseconds;     // OnEntryWritten: drawing, encoding and writing it
};

// What a caller may watch of a run; every hook may be left empty.
struct RunObserver {
    // An entry is reached, before its page is selected (or, in the render pool, before its
    // file is written).
    std::function<void(const EntryEvent&)> OnEntryStarted;
    // Its page is being drawn (in the render pool: handed to a worker, ahead of its turn), and
    // has been drawn; a slow page shows as one being drawn.
    std::function<void(const EntryEvent&)> OnEntryDrawing;
    std::function<void(const EntryEvent&)> OnEntryDrawn;
    // The entry's file has been written.
    std::function<void(const EntryEvent&)> OnEntryWritten;
    // SkipExisting: the entry's file was already there, so its page was not drawn (Bytes: the
    // file's size). Called instead of the others.
    std::function<void(const EntryEvent&)> OnEntrySkipped;
};

// The run from the opening of its document to its clean-up, shared by both ways of serving its
// entries (one after the other here, or by the render pool). Every way out leaves the document
// inactive with page number 0 and, once shown, the view restored (cursor, bar, document,
// buttons, in that order).
class RunSession {
public:
    // Opens the document with the settings' file name and password (read from `fileHandle`
    // when it is not -1) and builds the page list (its notices shown). Throws EOpenError with the
    // opening's text when the document cannot be opened, and the list's errors; the document is
    // closed again then.
    RunSession(const ConversionSettings& settings, RunDocument& document, ConversionView& view,
               int fileHandle = -1);
    ~RunSession();
    RunSession(const RunSession&) = delete;
    RunSession& operator=(const RunSession&) = delete;

    // False for an empty selection: the run is over, nothing was shown.
    bool Listed() const { return FPages.has_value(); }
    const PageList& Pages() const { return *FPages; }
    const ConversionSettings& Settings() const { return FSettings; }
    int PageCount() const { return FPageCount; }

    // Shows the run on the view (position 0, bar, buttons off, busy, then the bar's maximum).
    void Show();
    // The output file of an entry's text.
    std::string PathOf(const std::string& entry) const;
    // The folder every PathOf lies in, as the text the paths begin with.
    std::string FolderPath() const;
    // The bar's position for entry `index`.
    void ShowEntry(std::int64_t index);
    // The clean-up; the second call does nothing.
    void Finish();
    // Closes the document before the clean-up, for a run that needs no more of it (the render
    // pool's workers read their own copies), so that the component can open another. Only the
    // first call (this or Finish's) closes it.
    void ReleaseDocument();

private:
    const ConversionSettings& FSettings;
    RunDocument& FDocument;
    ConversionView& FView;
    int FPageCount = 0;
    std::optional<PageList> FPages;
    bool FShown = false;
    bool FFinished = false;
    bool FReleased = false;
};

// Refuses a page of width x height pixels that the run cannot convert, with EPageSizeError
// naming the entry: smaller than one pixel, too large for the engine, or (when `available` says
// how much memory is free) more memory than that.
void CheckPixelSize(const std::string& entry, const PageSizing& sizing, std::int64_t width,
                    std::int64_t height, std::optional<std::uint64_t> available);

// An entry's page as the run computes it: the number from the entry's text (EConvertError when
// it is none), the page selected (the document's error when it has no such page), its pixel size
// (FittedPixelSize) checked against the memory free now (CheckPixelSize).
struct EntryPage {
    int Width = 0;
    int Height = 0;
};
EntryPage SelectEntryPage(ConversionDocument& document, const std::string& entry,
                          const PageSizing& sizing);

// The selected page drawn at `page`'s size onto white. Throws the document's errors, Error when
// the document gives no bitmap.
std::unique_ptr<PageBitmap> DrawEntryPage(ConversionDocument& document, const std::string& entry,
                                          const EntryPage& page);

// One run, every entry drawn and written here, one after the other: open, list, show, convert
// every entry, clean up, "Conversion complete!". A failure is rethrown after the clean-up; files
// written for earlier pages stay. `formats` makes the writers (the standard ones when null).
void RunConversion(const ConversionSettings& settings, ConversionDocument& document,
                   ConversionView& view, const RunObserver& observer = {},
                   const ImageFormats* formats = nullptr);

} // namespace folioxa
