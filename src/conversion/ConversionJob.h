#pragma once

#include "conversion/ConversionDocument.h"
#include "conversion/ConversionSettings.h"
#include "conversion/ConversionView.h"
#include "conversion/ImageOutput.h"

#include <cstdint>
#include <functional>
#include <string>

namespace folioxa {

// size x dpi / 72 in double precision, the multiplication first.
double PointsToPixels(double size, std::int32_t dpi);

// PointsToPixels rounded half to even (62.5 -> 62, 187.5 -> 188). Values beyond the int range
// come back as INT64 numbers so that the caller can refuse them.
std::int64_t PixelSize(double size, std::int32_t dpi);

// The engine cannot make a bitmap of 2 GiB or more (4 bytes a pixel).
inline constexpr std::int64_t kMaxPageBitmapBytes = 0x7FFFFFFF;

// Convert pressed: with no input file the notice "Choose a PDF file to convert to images!";
// otherwise `readSettings` fills the settings (it may throw, e.g. for the resolution text) and
// the run starts.
void StartConversion(const std::string& inputFileName,
                     const std::function<ConversionSettings()>& readSettings,
                     ConversionDocument& document, ImageOutput& output, ConversionView& view);

// One entry of a run's page list as the run reaches it.
struct EntryEvent {
    std::int64_t Index;      // position in the page list, from 0
    const std::string& Text; // the entry as listed
    const std::string& Path; // its output file
};

// Optional hooks of a run. Left empty they give the window's run: every entry, in list order.
struct RunOptions {
    // Picks the entries this run converts. Called before each entry with the index of the entry
    // converted last (-1 at first) and the length of the list; returns the next index to convert,
    // which must be greater than `previous`. Any other value, or one of `count` or more, ends the
    // entries (the run then completes as after its last entry).
    std::function<std::int64_t(std::int64_t previous, std::int64_t count)> NextEntry;
    // Called when an entry is reached, before its page is selected.
    std::function<void(const EntryEvent&)> OnEntryStarted;
    // Called once the entry's file has been written.
    std::function<void(const EntryEvent&)> OnEntryWritten;
};

// One run: open, list, convert every entry, clean up, "Conversion complete!". Every way out
// leaves the document inactive with page number 0 and the view restored; a failure is rethrown
// after that clean-up, and files written for earlier pages stay.
void RunConversion(const ConversionSettings& settings, ConversionDocument& document,
                   ImageOutput& output, ConversionView& view, const RunOptions& options = {});

} // namespace folioxa
