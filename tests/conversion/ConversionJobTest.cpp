#include "conversion/ConversionJob.h"

#include "conversion/Messages.h"
#include "imaging/ByteSink.h"
#include "imaging/OutputFile.h"
#include "imaging/PageBitmap.h"
#include "support/TestFiles.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

namespace folioxa {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using Log = std::vector<std::string>;

class FakeView : public ConversionView {
public:
    explicit FakeView(Log& log) : FLog(log) {}
    void ShowNotice(const std::string& text) override { FLog.push_back("notice " + text); }
    void SetBusy(bool on) override { FLog.push_back(on ? "busy on" : "busy off"); }
    void SetProgressVisible(bool on) override { FLog.push_back(on ? "bar shown" : "bar hidden"); }
    void SetProgressMax(int max) override { FLog.push_back("max " + std::to_string(max)); }
    void SetProgressPosition(int position) override {
        FLog.push_back("position " + std::to_string(position));
    }
    void SetConvertControlsEnabled(bool on) override {
        FLog.push_back(on ? "buttons enabled" : "buttons disabled");
    }

private:
    Log& FLog;
};

// Pages of given sizes in points; refuses what a real component refuses and can fail on demand.
class FakeDocument : public ConversionDocument {
public:
    explicit FakeDocument(Log& log, std::vector<std::pair<double, double>> pages = {})
        : FLog(log), FPages(std::move(pages)) {}

    void SetFileName(const std::string& name) override {
        CheckInactive();
        FFileName = name;
    }
    void SetPassword(const std::string& password) override {
        CheckInactive();
        FPassword = password;
    }
    void SetActive(bool active) override {
        if (active == FActive) {
            return;
        }
        FLog.push_back(active ? "open " + FFileName + " [" + FPassword + "]" : "close");
        if (active && !FOpenFailure.empty()) {
            throw Error(FOpenFailure);
        }
        FActive = active;
        if (active && FPageNumber != 0) {
            Load();
        }
    }
    int PageCount() override {
        if (!FCountFailure.empty()) {
            throw Error(FCountFailure);
        }
        return static_cast<int>(FPages.size());
    }
    void SetPageNumber(int page) override {
        if (page == FPageNumber) {
            return;
        }
        FPageNumber = page;
        if (FActive) {
            Load();
        }
    }
    double PageWidth() override { return Current().first; }
    double PageHeight() override { return Current().second; }
    std::unique_ptr<PageBitmap> RenderPageOnWhite(int width, int height) override {
        Current();
        FLog.push_back("render " + std::to_string(FPageNumber) + " " + std::to_string(width) + "x" +
                       std::to_string(height));
        if (width <= 0 || height <= 0) {
            return nullptr;
        }
        auto bitmap = std::make_unique<PageBitmap>();
        bitmap->SetSize(width, height);
        return bitmap;
    }

    bool Active() const { return FActive; }
    int PageNumber() const { return FPageNumber; }
    std::string FOpenFailure, FCountFailure;

private:
    void CheckInactive() const {
        if (FActive) {
            throw Error("Cannot perform this operation on an active Pdf component");
        }
    }
    void Load() {
        FLoaded = FPageNumber >= 1 && FPageNumber <= static_cast<int>(FPages.size());
        if (FPageNumber != 0 && !FLoaded) {
            throw Error("Cannot open page " + std::to_string(FPageNumber));
        }
    }
    const std::pair<double, double>& Current() const {
        if (!FActive || !FLoaded || FPageNumber == 0) {
            throw Error("Cannot perform this operation on an inactive page");
        }
        return FPages[static_cast<std::size_t>(FPageNumber - 1)];
    }

    Log& FLog;
    std::vector<std::pair<double, double>> FPages;
    std::string FFileName, FPassword;
    bool FActive = false;
    bool FLoaded = false;
    int FPageNumber = 0;
};

class FakeWriter : public ImageWriter {
public:
    FakeWriter(Log& log, std::string kind, int& failOnSave)
        : FLog(log), FKind(std::move(kind)), FFailOnSave(failOnSave) {}
    ~FakeWriter() override { FLog.push_back("free " + FKind); }
    void Encode(const PageBitmap&, ByteSink&) override { FLog.push_back("encode"); }
    void SaveToFile(const PageBitmap& bitmap, const std::shared_ptr<const OutputFolder>& folder,
                    const std::string& name) override {
        if (--FFailOnSave == 0) {
            throw Error("Stream write error");
        }
        FLog.push_back("save " + std::to_string(bitmap.Width()) + "x" +
                       std::to_string(bitmap.Height()) + " " + folder->Path() + name);
    }

private:
    Log& FLog;
    std::string FKind;
    int& FFailOnSave;
};

// The standard names and extensions, with writers that only log.
struct FakeFormats {
    explicit FakeFormats(Log& log) : FLog(log) {}
    ImageFormat Row(const std::string& name, const std::string& kind) {
        return {name, StandardImageFormats().Find(name).Extension,
                [this, kind](const WriterOptions& options) -> std::unique_ptr<ImageWriter> {
                    FLog.push_back(
                        "create " + kind +
                        (kind == "jpeg" ? " " + std::to_string(options.JpegQuality) : ""));
                    return std::make_unique<FakeWriter>(FLog, kind, FFailOnSave);
                }};
    }
    int FFailOnSave = 0; // fail the n-th save (1-based); 0 never
    Log& FLog;
    ImageFormats Table{{Row("JPG", "jpeg"), Row("PNG", "png"), Row("BMP", "bmp")}};
};

ConversionSettings Settings(ConvertMethod method = cmAllPages, std::string selection = "",
                            std::string type = "PNG", int dpi = 72) {
    ConversionSettings s;
    s.InputFileName = "/in/doc.pdf";
    s.InputPassword = "pw";
    s.ConvertMethod = method;
    s.PageSelection = std::move(selection);
    s.ImageType = std::move(type);
    s.Resolution = dpi;
    s.BaseFileName = "doc_";
    s.DestinationFolder = "/out/";
    return s;
}

std::vector<std::pair<double, double>> Pages(int n) {
    return std::vector<std::pair<double, double>>(static_cast<std::size_t>(n), {10.0, 20.0});
}

struct Harness {
    Log log;
    FakeDocument document;
    FakeView view{log};
    FakeFormats output{log};
    explicit Harness(int pages) : document(log, Pages(pages)) {}

    // Runs and returns the failure text ("" on success); the state checks every run must meet.
    std::string Run(const ConversionSettings& settings) {
        std::string failure;
        try {
            RunConversion(settings, document, view, {}, &output.Table);
        } catch (const Error& e) {
            failure = e.what();
        }
        EXPECT_FALSE(document.Active());
        EXPECT_EQ(document.PageNumber(), 0);
        return failure;
    }
};

TEST(RunConversion, WindowOperationsInOrder) {
    Harness h(2);
    EXPECT_EQ(h.Run(Settings()), "");
    EXPECT_THAT(h.log,
                ElementsAre("open /in/doc.pdf [pw]", "position 0", "bar shown", "buttons disabled",
                            "busy on", "max 2", "create png", "position 1", "render 1 10x20",
                            "save 10x20 /out/doc_1.png", "position 2", "render 2 10x20",
                            "save 10x20 /out/doc_2.png", "free png", "busy off", "bar hidden",
                            "close", "buttons enabled", "notice Conversion complete!"));
}

TEST(RunConversion, WriterPerImageType) {
    struct Case {
        std::string type;
        std::vector<std::string> writes;
        int quality = 100;
    };
    const std::vector<Case> cases = {
        {"JPG", {"create jpeg 100", "save 10x20 /out/doc_3.jpg", "free jpeg"}},
        {"JPG", {"create jpeg 75", "save 10x20 /out/doc_3.jpg", "free jpeg"}, 75},
        {"PNG", {"create png", "save 10x20 /out/doc_3.png", "free png"}},
        {"BMP", {"create bmp", "save 10x20 /out/doc_3.bmp", "free bmp"}},
        {"jpg", {"create bmp", "save 10x20 /out/doc_3.bmp", "free bmp"}}, // exact comparison
    };
    for (const auto& c : cases) {
        Harness h(3);
        ConversionSettings settings = Settings(cmPageSelection, "3", c.type);
        settings.JpegQuality = c.quality;
        EXPECT_EQ(h.Run(settings), "");
        Log writes;
        for (const auto& line : h.log) {
            if (line.rfind("create", 0) == 0 || line.rfind("save", 0) == 0 ||
                line.rfind("free", 0) == 0) {
                writes.push_back(line);
            }
        }
        EXPECT_THAT(writes, ElementsAreArray(c.writes)) << c.type;
    }
}

TEST(RunConversion, FailureWhileOpeningChangesNothingOnTheWindow) {
    Harness h(3);
    h.document.FOpenFailure = "File not found or could not be opened";
    EXPECT_EQ(h.Run(Settings(cmPageSelection, "")), "File not found or could not be opened");
    EXPECT_THAT(h.log, ElementsAre("open /in/doc.pdf [pw]"));
}

TEST(RunConversion, FailureAfterTheDocumentLoadedClosesIt) {
    Harness h(3);
    h.document.FCountFailure = "Cannot initialize form fill environment";
    EXPECT_EQ(h.Run(Settings()), "Cannot initialize form fill environment");
    EXPECT_THAT(h.log, ElementsAre("open /in/doc.pdf [pw]", "close"));
}

TEST(RunConversion, FailureWhileListingComesBeforeAnyWindowChange) {
    Harness h(3);
    EXPECT_EQ(h.Run(Settings(cmPageSelection, "5-3,2-x")), "'x' is not a valid integer value");
    EXPECT_THAT(h.log,
                ElementsAre("open /in/doc.pdf [pw]",
                            "notice The following page range is invalid and was skipped: 5-3",
                            "close"));
}

TEST(RunConversion, EmptySelectionEndsWithoutCompletion) {
    Harness h(3);
    EXPECT_EQ(h.Run(Settings(cmPageSelection, "")), "");
    EXPECT_THAT(h.log, ElementsAre("open /in/doc.pdf [pw]", "notice Invalid page range provided!",
                                   "close"));
}

TEST(RunConversion, AllRangesReversedConvertsNothingAndCompletes) {
    Harness h(3);
    EXPECT_EQ(h.Run(Settings(cmPageSelection, "5-3,3-1", "BMP")), "");
    EXPECT_THAT(h.log,
                ElementsAre("open /in/doc.pdf [pw]",
                            "notice The following page range is invalid and was skipped: 5-3",
                            "notice The following page range is invalid and was skipped: 3-1",
                            "position 0", "bar shown", "buttons disabled", "busy on", "max 0",
                            "create bmp", "free bmp", "busy off", "bar hidden", "close",
                            "buttons enabled", "notice Conversion complete!"));
}

TEST(RunConversion, FailureOnThirdOfFivePagesKeepsEarlierFiles) {
    struct Case {
        std::string name;
        std::string selection;
        std::function<void(Harness&)> arrange;
        std::string failure;
    };
    const std::vector<Case> cases = {
        {"save fails", "1-5", [](Harness& h) { h.output.FFailOnSave = 3; }, "Stream write error"},
        {"entry not a number", "1,2,abc,4,5", [](Harness&) {},
         "'abc' is not a valid integer value"},
        {"page beyond the end", "1,2,15,4,5", [](Harness&) {}, "Cannot open page 15"},
    };
    for (const auto& c : cases) {
        Harness h(12);
        c.arrange(h);
        EXPECT_EQ(h.Run(Settings(cmPageSelection, c.selection)), c.failure) << c.name;
        const Log saved = [&] {
            Log s;
            for (const auto& line : h.log) {
                if (line.rfind("save", 0) == 0) {
                    s.push_back(line);
                }
            }
            return s;
        }();
        EXPECT_THAT(saved, ElementsAre("save 10x20 /out/doc_01.png", "save 10x20 /out/doc_02.png"))
            << c.name;
        // The writer is freed, then the window is restored; no completion notice.
        EXPECT_THAT(Log(h.log.end() - 5, h.log.end()),
                    ElementsAre("free png", "busy off", "bar hidden", "close", "buttons enabled"))
            << c.name;
    }
}

TEST(RunConversion, SecondRunAfterAFailureOpensNormally) {
    Harness h(12);
    EXPECT_EQ(h.Run(Settings(cmPageSelection, "15")), "Cannot open page 15");
    h.log.clear();
    EXPECT_EQ(h.Run(Settings(cmPageSelection, "12")), "");
    EXPECT_EQ(h.log.front(), "open /in/doc.pdf [pw]");
    EXPECT_EQ(h.log.back(), "notice Conversion complete!");
}

TEST(RunConversion, PagesSmallerThanAPixelEndTheRunWithAMessage) {
    Log log;
    FakeDocument document(log, {{72.0, 72.0}, {0.1, 72.0}, {72.0, 72.0}});
    FakeView view(log);
    FakeFormats output(log);
    try {
        RunConversion(Settings(cmAllPages, "", "PNG", 300), document, view, {}, &output.Table);
        FAIL();
    } catch (const EPageSizeError& e) {
        EXPECT_STREQ(e.what(), "Page 2 is smaller than one pixel at 300 DPI (0 x 300 pixels)");
    }
    EXPECT_EQ(std::count(log.begin(), log.end(), "save 300x300 /out/doc_1.png"), 1);
    EXPECT_EQ(std::count_if(log.begin(), log.end(),
                            [](const std::string& l) { return l.rfind("render 2", 0) == 0; }),
              0);
}

TEST(RunConversion, PagesTooLargeForTheEngineAreRefusedBeforeRendering) {
    Log log;
    FakeDocument document(log, {{14400.0, 14400.0}});
    FakeView view(log);
    FakeFormats output(log);
    try {
        RunConversion(Settings(cmAllPages, "", "PNG", 300), document, view, {}, &output.Table);
        FAIL();
    } catch (const EPageSizeError& e) {
        EXPECT_STREQ(e.what(), "Page 1 is too large to convert at 300 DPI (60000 x 60000 pixels)");
    }
    EXPECT_FALSE(document.Active());
}

TEST(RunConversion, AScaledRunSizesEveryPageAndNamesTheScaleInItsMessages) {
    Log log;
    FakeDocument document(log, {{10.0, 20.0}, {0.1, 72.0}});
    FakeView view(log);
    FakeFormats output(log);
    ConversionSettings settings = Settings(cmAllPages, "", "PNG", 300);
    settings.ScaleTo = 100;
    try {
        RunConversion(settings, document, view, {}, &output.Table);
        FAIL();
    } catch (const EPageSizeError& e) {
        EXPECT_STREQ(e.what(),
                     "Page 2 is smaller than one pixel scaled to 100 pixels (0 x 100 pixels)");
    }
    EXPECT_THAT(log, ::testing::Contains("render 1 50x100"));
}

TEST(FittedPixelSize, FitsTheLongerSideOrTheSidesGivenRoundingHalfToEven) {
    struct Case {
        double width, height;
        PageSizing sizing;
        std::int64_t pixelsWide, pixelsHigh;
        const char* why = "";
    };
    const std::vector<Case> cases = {
        {612, 792, {300, 200}, 155, 200, "portrait: 154.55"},
        {792, 612, {300, 200}, 200, 155, "landscape"},
        {100, 100, {300, 64}, 64, 64, "square"},
        {10, 400, {300, 100}, 2, 100, "2.5 goes to the even 2"},
        {30, 400, {300, 100}, 8, 100, "7.5 goes to the even 8"},
        {1, 1000, {300, 100}, 0, 100, "a strip thinner than a pixel"},
        {612, 792, {300, 0, 300}, 300, 388, "width alone: 388.24"},
        {612, 792, {300, 0, 0, 300}, 232, 300, "height alone: 231.82"},
        {612, 792, {300, 0, 300, 100}, 300, 100, "both sides: exact"},
        {612, 792, {300, 200, 50, 50}, 155, 200, "the longer side wins"},
        {0, 792, {300, 0, 100}, 100, 0, "no width to follow"},
        {612, 792, {300}, 2550, 3300, "no scale: the resolution"},
    };
    for (const auto& c : cases) {
        const PixelDimensions pixels = FittedPixelSize(c.width, c.height, c.sizing);
        EXPECT_EQ(pixels.Width, c.pixelsWide) << c.why;
        EXPECT_EQ(pixels.Height, c.pixelsHigh) << c.why;
    }
}

TEST(RunConversion, HugeRangeFailsOnTheFirstMissingPageWithoutExpanding) {
    Harness h(2);
    // 2^31 - 1 entries: an expanded list would need tens of gigabytes.
    EXPECT_EQ(h.Run(Settings(cmPageSelection, "1-2147483647")), "Cannot open page 3");
    EXPECT_THAT(h.log, ::testing::Contains("max 2147483647"));
    EXPECT_THAT(h.log, ::testing::Contains("save 10x20 /out/doc_2.png"));
}

TEST(RunConversion, TheObserverSeesEveryEntryStartAndEveryFileWritten) {
    struct Case {
        std::string selection;
        Log events; // started / written, in order
        std::string failure = "";
    };
    const std::vector<Case> cases = {
        {"1-2", {"start 0 1 /out/doc_01.png", "done 0 1", "start 1 2 /out/doc_02.png", "done 1 2"}},
        {"1,x,3",
         {"start 0 1 /out/doc_01.png", "done 0 1", "start 1 x /out/doc_0x.png"},
         "'x' is not a valid integer value"},
    };
    for (const auto& c : cases) {
        Harness h(12);
        Log events;
        RunObserver observer;
        observer.OnEntryStarted = [&](const EntryEvent& e) {
            events.push_back("start " + std::to_string(e.Index) + " " + e.Text + " " + e.Path);
        };
        observer.OnEntryWritten = [&](const EntryEvent& e) {
            events.push_back("done " + std::to_string(e.Index) + " " + e.Text);
        };
        std::string failure;
        try {
            RunConversion(Settings(cmPageSelection, c.selection), h.document, h.view, observer,
                          &h.output.Table);
        } catch (const Error& e) {
            failure = e.what();
        }
        EXPECT_EQ(failure, c.failure) << c.selection;
        EXPECT_THAT(events, ElementsAreArray(c.events)) << c.selection;
    }
}

TEST(RunConversion, SkipExistingLeavesWholeFilesButNotAPageTheDocumentLacks) {
    testing::TempDir dir;
    testing::WriteFile(dir.File("doc_01.png"), "whole");
    testing::WriteFile(dir.File("doc_03.png"), ""); // not one a run put there
    testing::WriteFile(dir.File("doc_13.png"), "whole");
    Harness h(12);
    ConversionSettings settings = Settings(cmPageSelection, "1-3,13");
    settings.DestinationFolder = dir.Path().string() + "/";
    settings.SkipExisting = true;
    Log events;
    RunObserver observer;
    observer.OnEntryStarted = [&](const EntryEvent& e) { events.push_back("start " + e.Text); };
    observer.OnEntrySkipped = [&](const EntryEvent& e) {
        events.push_back("skip " + e.Text + " " + std::to_string(e.Bytes));
    };
    EXPECT_THROW(RunConversion(settings, h.document, h.view, observer, &h.output.Table), Error);
    EXPECT_THAT(events, ElementsAre("skip 1 5", "start 2", "start 3", "start 13"));
    EXPECT_EQ(testing::ReadFile(dir.File("doc_01.png")), "whole");
}

TEST(StartConversion, NoInputFileShowsTheNoticeOnly) {
    Harness h(1);
    bool read = false;
    StartConversion(
        "",
        [&] {
            read = true;
            return Settings();
        },
        h.view, [&](const ConversionSettings&) { read = true; });
    EXPECT_FALSE(read);
    EXPECT_THAT(h.log, ElementsAre("notice Choose a PDF file to convert to images!"));
}

TEST(PixelSize, RoundsHalfToEven) {
    struct Case {
        double points;
        int dpi;
        std::int64_t pixels;
    };
    const std::vector<Case> cases = {
        {612, 300, 2550}, {792, 300, 3300}, {612, 250, 2125}, {792, 250, 2750}, {612, 200, 1700},
        {792, 200, 2200}, {612, 150, 1275}, {792, 150, 1650}, {612, 100, 850},  {792, 100, 1100},
        {595, 300, 2479}, {842, 300, 3508}, {595, 150, 1240}, {842, 150, 1754}, {18, 250, 62},
        {54, 250, 188},   {9, 100, 12},     {27, 100, 38},    {0.12, 300, 0},   {0.1201, 300, 1},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(PixelSize(c.points, c.dpi), c.pixels) << c.points << " pt at " << c.dpi;
    }
    EXPECT_DOUBLE_EQ(PointsToPixels(595, 300), 595.0 * 300.0 / 72.0);
}

} // namespace
} // namespace folioxa
