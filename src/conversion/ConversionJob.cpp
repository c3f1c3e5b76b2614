#include "conversion/ConversionJob.h"

#include "conversion/AvailableMemory.h"
#include "conversion/Messages.h"
#include "conversion/OutputFileNaming.h"
#include "imaging/OutputFile.h"
#include "imaging/PageBitmap.h"

#include <chrono>
#include <climits>
#include <cmath>
#include <cstring>

namespace folioxa {

double PointsToPixels(double size, std::int32_t dpi) {
    return size * static_cast<double>(dpi) / 72.0;
}

namespace {

// Rounded half to even; NaN gives 0 and values beyond int64 are clamped, since converting them
// would be undefined.
std::int64_t RoundPixels(double pixels) {
    if (std::isnan(pixels)) {
        return 0;
    }
    if (pixels >= 9.0e18) {
        return INT64_MAX;
    }
    if (pixels <= -9.0e18) {
        return INT64_MIN;
    }
    // nearbyint under the default rounding mode: ties go to the even neighbour.
    return static_cast<std::int64_t>(std::nearbyint(pixels));
}

// `side` in the proportion that makes `reference` `pixels` long.
std::int64_t InProportion(double side, double reference, std::int32_t pixels) {
    return reference > 0 ? RoundPixels(side * static_cast<double>(pixels) / reference) : 0;
}

} // namespace

std::int64_t PixelSize(double size, std::int32_t dpi) {
    return RoundPixels(PointsToPixels(size, dpi));
}

PageSizing SizingOf(const ConversionSettings& settings) {
    return {settings.Resolution, settings.ScaleTo, settings.ScaleToX, settings.ScaleToY};
}

PixelDimensions FittedPixelSize(double widthPt, double heightPt, const PageSizing& sizing) {
    if (sizing.ScaleTo > 0) {
        // The longer side is exactly the number asked for, not a product that may miss it.
        return widthPt >= heightPt
                   ? PixelDimensions{sizing.ScaleTo,
                                     InProportion(heightPt, widthPt, sizing.ScaleTo)}
                   : PixelDimensions{InProportion(widthPt, heightPt, sizing.ScaleTo),
                                     sizing.ScaleTo};
    }
    if (sizing.ScaleToX > 0 && sizing.ScaleToY > 0) {
        return {sizing.ScaleToX, sizing.ScaleToY};
    }
    if (sizing.ScaleToX > 0) {
        return {sizing.ScaleToX, InProportion(heightPt, widthPt, sizing.ScaleToX)};
    }
    if (sizing.ScaleToY > 0) {
        return {InProportion(widthPt, heightPt, sizing.ScaleToY), sizing.ScaleToY};
    }
    return {PixelSize(widthPt, sizing.Resolution), PixelSize(heightPt, sizing.Resolution)};
}

std::uint64_t PageMemoryBytes(std::int64_t width, std::int64_t height) {
    return static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height) * 8;
}

void RunDocument::SetFileHandle(int fileHandle) {
    if (fileHandle >= 0) {
        throw Error("This document can only be opened by its file name");
    }
}

void RunDocument::SetDrawing(const DrawingOptions& drawing) {
    if (!(drawing == DrawingOptions{})) {
        throw Error("This document draws its pages only onto white, as a viewer shows them");
    }
}

void ConversionDocument::RenderPageInto(PageBitmap& bitmap) {
    const std::unique_ptr<PageBitmap> drawn = RenderPageOnWhite(bitmap.Width(), bitmap.Height());
    if (!drawn || drawn->Width() != bitmap.Width() || drawn->Height() != bitmap.Height()) {
        throw Error("The page could not be rendered");
    }
    for (int row = 0; row < bitmap.Height(); ++row) {
        std::memcpy(bitmap.ScanLine(row), drawn->ScanLine(row), bitmap.RowBytes());
    }
}

namespace {

int ClampToInt(std::int64_t value) {
    return value > INT_MAX ? INT_MAX : static_cast<int>(value);
}

// How the size was asked for, as the messages say it: "at 300 DPI", "scaled to 200 pixels".
std::string SizingText(const PageSizing& sizing) {
    const auto pixels = [](std::int32_t n) { return std::to_string(n) + " pixels"; };
    if (sizing.ScaleTo > 0) {
        return "scaled to " + pixels(sizing.ScaleTo);
    }
    if (sizing.ScaleToX > 0 && sizing.ScaleToY > 0) {
        return "scaled to " + std::to_string(sizing.ScaleToX) + " x " + pixels(sizing.ScaleToY);
    }
    if (sizing.ScaleToX > 0) {
        return "scaled to a width of " + pixels(sizing.ScaleToX);
    }
    if (sizing.ScaleToY > 0) {
        return "scaled to a height of " + pixels(sizing.ScaleToY);
    }
    return "at " + std::to_string(sizing.Resolution) + " DPI";
}

} // namespace

void CheckPixelSize(const std::string& entry, const PageSizing& sizing, std::int64_t width,
                    std::int64_t height, std::optional<std::uint64_t> available) {
    const std::string at = SizingText(sizing);
    const std::string size = std::to_string(width) + " x " + std::to_string(height) + " pixels";
    if (width < 1 || height < 1) {
        throw EPageSizeError("Page " + entry + " is smaller than one pixel " + at + " (" + size +
                             ")");
    }
    if (width > kMaxPageBitmapBytes / 4 || height > kMaxPageBitmapBytes / 4 ||
        width * height > kMaxPageBitmapBytes / 4) {
        throw EPageSizeError("Page " + entry + " is too large to convert " + at + " (" + size +
                             ")");
    }
    // Asked for more than the system has, the allocation would succeed on paper and the process
    // be killed while the engine draws.
    const std::uint64_t bytes = PageMemoryBytes(width, height);
    if (available && bytes > *available) {
        throw EPageSizeError("Page " + entry + " needs more memory than is free to convert " + at +
                             " (" + size + ", " + std::to_string(bytes >> 20) + " MB)");
    }
}

RunSession::RunSession(const ConversionSettings& settings, RunDocument& document,
                       ConversionView& view, int fileHandle)
    : FSettings(settings), FDocument(document), FView(view) {
    try {
        FDocument.SetFileName(settings.InputFileName);
        FDocument.SetPassword(settings.InputPassword);
        FDocument.SetFileHandle(fileHandle);
        FDocument.SetDrawing(settings.Drawing);
        try {
            FDocument.SetActive(true);
        } catch (const Error& e) {
            throw EOpenError(e.what());
        }
        FPageCount = FDocument.PageCount();
        FPages = BuildPageList(
            settings.ConvertMethod, settings.PageSelection, FPageCount,
            [&view](const std::string& text) { view.ShowNotice(text); }, settings.Filter);
        if (!FPages) {
            view.ShowSelectionEmpty();
        }
    } catch (...) {
        Finish();
        throw;
    }
    if (!FPages) {
        Finish();
    }
}

RunSession::~RunSession() {
    Finish();
}

void RunSession::Show() {
    FView.SetProgressPosition(0);
    FView.SetProgressVisible(true);
    FView.SetConvertControlsEnabled(false);
    FView.SetBusy(true);
    FShown = true;
    FView.SetProgressMax(ClampToInt(FPages->Count()));
}

std::string RunSession::PathOf(const std::string& entry) const {
    return EntryFilePath(FSettings, FPageCount, entry);
}

std::string RunSession::FolderPath() const {
    return OutputFolderPath(FSettings.DestinationFolder, FSettings.BaseFileName);
}

void RunSession::ShowEntry(std::int64_t index) {
    FView.SetProgressPosition(ClampToInt(index + 1));
}

void RunSession::Finish() {
    if (FFinished) {
        return;
    }
    FFinished = true;
    if (FShown) {
        FView.SetBusy(false);
        FView.SetProgressVisible(false);
    }
    ReleaseDocument();
    if (FShown) {
        FView.SetConvertControlsEnabled(true);
    }
}

void RunSession::ReleaseDocument() {
    if (FReleased) {
        return;
    }
    // Once released, the component may hold another run's document: never close that one.
    FReleased = true;
    FDocument.SetActive(false);
    FDocument.SetPageNumber(0);
    FDocument.SetFileHandle(-1);
}

EntryPage SelectEntryPage(ConversionDocument& document, const std::string& entry,
                          const PageSizing& sizing) {
    document.SetPageNumber(ParsePageNumber(entry));
    // The width is read before the height.
    const double widthPt = document.PageWidth();
    const PixelDimensions pixels = FittedPixelSize(widthPt, document.PageHeight(), sizing);
    CheckPixelSize(entry, sizing, pixels.Width, pixels.Height, AvailableMemory());
    return {static_cast<int>(pixels.Width), static_cast<int>(pixels.Height)};
}

std::unique_ptr<PageBitmap> DrawEntryPage(ConversionDocument& document, const std::string& entry,
                                          const EntryPage& page) {
    std::unique_ptr<PageBitmap> bitmap = document.RenderPageOnWhite(page.Width, page.Height);
    if (!bitmap) {
        throw Error("Page " + entry + " could not be rendered");
    }
    return bitmap;
}

void StartConversion(const std::string& inputFileName,
                     const std::function<ConversionSettings()>& readSettings, ConversionView& view,
                     const std::function<void(const ConversionSettings&)>& run) {
    if (inputFileName.empty()) {
        view.ShowNotice(kChooseFileNotice);
        return;
    }
    run(readSettings());
}

namespace {

void ConvertEntries(RunSession& session, ConversionDocument& document, ImageWriter* writer,
                    const std::shared_ptr<const OutputFolder>& folder,
                    const RunObserver& observer) {
    using Clock = std::chrono::steady_clock;
    const PageList& pages = session.Pages();
    const ConversionSettings& settings = session.Settings();
    for (std::int64_t i = 0; i < pages.Count(); ++i) {
        session.ShowEntry(i);
        const Clock::time_point start = Clock::now();
        const std::string entry = pages.Entry(i);
        // A pure function of the entry: computed first so that observers can name the file.
        const std::string path = session.PathOf(entry);
        const std::string name = folder->NameOf(path);
        // An entry that names no page still fails, whatever file its name holds.
        if (settings.SkipExisting && NamesPage(entry, session.PageCount()) &&
            folder->HoldsFile(name)) {
            if (observer.OnEntrySkipped) {
                observer.OnEntrySkipped({i, entry, path, folder->SizeOf(name), 0.0});
            }
            continue;
        }
        if (observer.OnEntryStarted) {
            observer.OnEntryStarted({i, entry, path, 0, 0.0});
        }
        if (observer.OnEntryDrawing) {
            observer.OnEntryDrawing({i, entry, path, 0, 0.0});
        }
        const EntryPage page = SelectEntryPage(document, entry, SizingOf(settings));
        const std::unique_ptr<PageBitmap> bitmap = DrawEntryPage(document, entry, page);
        if (observer.OnEntryDrawn) {
            observer.OnEntryDrawn({i, entry, path, 0, 0.0});
        }
        SavePage(writer, *bitmap, folder, name);
        if (observer.OnEntryWritten) {
            const double ms =
                std::chrono::duration<double, std::milli>(Clock::now() - start).count();
            observer.OnEntryWritten({i, entry, path, folder->SizeOf(name), ms});
        }
    }
}

} // namespace

void RunConversion(const ConversionSettings& settings, ConversionDocument& document,
                   ConversionView& view, const RunObserver& observer, const ImageFormats* formats) {
    RunSession session(settings, document, view);
    if (!session.Listed()) {
        return;
    }
    session.Show();
    {
        const ImageFormat& format =
            (formats != nullptr ? *formats : StandardImageFormats()).Find(settings.ImageType);
        const std::unique_ptr<ImageWriter> writer = CreateWriter(format, WriterOptionsOf(settings));
        ConvertEntries(session, document, writer.get(),
                       OutputFolder::OpenForRun(session.FolderPath()), observer);
    }
    session.Finish();
    view.ShowCompleted();
}

} // namespace folioxa
