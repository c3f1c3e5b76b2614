#include "conversion/ConversionJob.h"

#include "conversion/AvailableMemory.h"
#include "conversion/Messages.h"
#include "conversion/OutputFileNaming.h"
#include "imaging/PageBitmap.h"

#include <climits>
#include <cmath>
#include <memory>

namespace folioxa {

double PointsToPixels(double size, std::int32_t dpi) {
    return size * static_cast<double>(dpi) / 72.0;
}

std::int64_t PixelSize(double size, std::int32_t dpi) {
    const double pixels = PointsToPixels(size, dpi);
    if (std::isnan(pixels)) {
        return 0;
    }
    // Clamped before the conversion, which would be undefined outside the int64 range.
    if (pixels >= 9.0e18) {
        return INT64_MAX;
    }
    if (pixels <= -9.0e18) {
        return INT64_MIN;
    }
    // nearbyint under the default rounding mode: ties go to the even neighbour.
    return static_cast<std::int64_t>(std::nearbyint(pixels));
}

namespace {

int ClampToInt(std::int64_t value) {
    return value > INT_MAX ? INT_MAX : static_cast<int>(value);
}

// Closes the document on every way out of a run, leaving it inactive with page number 0.
class DocumentCloser {
public:
    explicit DocumentCloser(ConversionDocument& document) : FDocument(document) {}
    DocumentCloser(const DocumentCloser&) = delete;
    DocumentCloser& operator=(const DocumentCloser&) = delete;
    ~DocumentCloser() { Close(); }

    void Close() {
        if (!FClosed) {
            FClosed = true;
            FDocument.SetActive(false);
            FDocument.SetPageNumber(0);
        }
    }

private:
    ConversionDocument& FDocument;
    bool FClosed = false;
};

// Once the window shows a run, this puts it back: cursor, bar, document, buttons, in that order.
class WindowRestorer {
public:
    WindowRestorer(ConversionView& view, DocumentCloser& closer) : FView(view), FCloser(closer) {
        FView.SetProgressPosition(0);
        FView.SetProgressVisible(true);
        FView.SetConvertControlsEnabled(false);
        FView.SetBusy(true);
    }
    WindowRestorer(const WindowRestorer&) = delete;
    WindowRestorer& operator=(const WindowRestorer&) = delete;
    ~WindowRestorer() {
        FView.SetBusy(false);
        FView.SetProgressVisible(false);
        FCloser.Close();
        FView.SetConvertControlsEnabled(true);
    }

private:
    ConversionView& FView;
    DocumentCloser& FCloser;
};

void CheckPixelSize(const std::string& entry, std::int32_t dpi, std::int64_t width,
                    std::int64_t height, bool writerCopy) {
    const std::string size = std::to_string(width) + " x " + std::to_string(height) + " pixels";
    if (width < 1 || height < 1) {
        throw EPageSizeError("Page " + entry + " is smaller than one pixel at " +
                             std::to_string(dpi) + " DPI (" + size + ")");
    }
    if (width > kMaxPageBitmapBytes / 4 || height > kMaxPageBitmapBytes / 4 ||
        width * height > kMaxPageBitmapBytes / 4) {
        throw EPageSizeError("Page " + entry + " is too large to convert at " +
                             std::to_string(dpi) + " DPI (" + size + ")");
    }
    // Asked for more than the system has, the allocation would succeed on paper and the process
    // be killed while the engine draws. Alive at once: the engine's bitmap, the program's copy
    // and, for JPG and PNG, the writer's 3-byte picture.
    const std::uint64_t bytes = static_cast<std::uint64_t>(width * height) * (writerCopy ? 11 : 8);
    const std::optional<std::uint64_t> available = AvailableMemory();
    if (available && bytes > *available) {
        throw EPageSizeError("Page " + entry + " needs more memory than is free to convert at " +
                             std::to_string(dpi) + " DPI (" + size + ", " +
                             std::to_string(bytes >> 20) + " MB)");
    }
}

std::int64_t NextIndex(const RunOptions& options, std::int64_t previous, std::int64_t count) {
    if (!options.NextEntry) {
        return previous + 1;
    }
    const std::int64_t next = options.NextEntry(previous, count);
    return next > previous ? next : count;
}

void ConvertEntries(const ConversionSettings& settings, const PageList& pages, int digitCount,
                    ConversionDocument& document, ImageOutput& output, ConversionView& view,
                    const RunOptions& options) {
    std::unique_ptr<ImageWriter> writer;
    if (settings.ImageType == "PNG") {
        writer = output.CreatePngWriter();
    } else if (settings.ImageType == "JPG") {
        writer = output.CreateJpegWriter(/*compressionQuality=*/100);
    }
    const std::int64_t count = pages.Count();
    for (std::int64_t i = NextIndex(options, -1, count); i < count;
         i = NextIndex(options, i, count)) {
        view.SetProgressPosition(ClampToInt(i + 1));
        const std::string entry = pages.Entry(i);
        // A pure function of the entry: computed first so that observers can name the file.
        const std::string path = OutputFilePath(settings.DestinationFolder, settings.BaseFileName,
                                                entry, digitCount, settings.ImageType);
        const EntryEvent event{i, entry, path};
        if (options.OnEntryStarted) {
            options.OnEntryStarted(event);
        }
        document.SetPageNumber(ParsePageNumber(entry));
        const std::int64_t width = PixelSize(document.PageWidth(), settings.Resolution);
        const std::int64_t height = PixelSize(document.PageHeight(), settings.Resolution);
        CheckPixelSize(entry, settings.Resolution, width, height, writer != nullptr);
        const std::unique_ptr<PageBitmap> bitmap =
            document.RenderPageOnWhite(static_cast<int>(width), static_cast<int>(height));
        if (!bitmap) {
            throw Error("Page " + entry + " could not be rendered");
        }
        if (writer) {
            writer->Assign(*bitmap);
            writer->SaveToFile(path);
        } else {
            output.SaveBitmap(*bitmap, path);
        }
        if (options.OnEntryWritten) {
            options.OnEntryWritten(event);
        }
    }
}

} // namespace

void StartConversion(const std::string& inputFileName,
                     const std::function<ConversionSettings()>& readSettings,
                     ConversionDocument& document, ImageOutput& output, ConversionView& view) {
    if (inputFileName.empty()) {
        view.ShowNotice(kChooseFileNotice);
        return;
    }
    RunConversion(readSettings(), document, output, view);
}

void RunConversion(const ConversionSettings& settings, ConversionDocument& document,
                   ImageOutput& output, ConversionView& view, const RunOptions& options) {
    DocumentCloser closer(document);
    document.SetFileName(settings.InputFileName);
    document.SetPassword(settings.InputPassword);
    document.SetActive(true);

    const int pageCount = document.PageCount();
    const std::optional<PageList> pages =
        BuildPageList(settings.ConvertMethod, settings.PageSelection, pageCount,
                      [&view](const std::string& text) { view.ShowNotice(text); });
    if (!pages) {
        return;
    }
    {
        WindowRestorer restorer(view, closer);
        view.SetProgressMax(ClampToInt(pages->Count()));
        ConvertEntries(settings, *pages, DigitCount(pageCount), document, output, view, options);
    }
    view.ShowNotice(kCompleteNotice);
}

} // namespace folioxa
