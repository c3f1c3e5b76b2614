// Bad documents under a real run (TPdf, the real writers): each file is made by the test. For
// each: the message the user sees, no crash, no hang (an alarm ends a run that takes too long),
// the files of earlier pages intact, and the next run of the same component working.
#include "conversion/ConversionJob.h"
#include "conversion/FileImageOutput.h"
#include "conversion/Messages.h"
#include "conversion/OutputFileNaming.h"
#include "pdf/PDFium.h"
#include "support/TestFiles.h"
#include "support/TestPdf.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <map>

namespace folioxa {
namespace {

using testing::EncryptPdf;
using testing::MakePdf;
using testing::ReadFile;
using testing::TempDir;
using testing::TestPage;
using testing::WriteFile;

// No run on these small files may take longer; SIGALRM ends the test process otherwise.
constexpr unsigned kSecondsPerRun = 60;

class RecordingView : public ConversionView {
public:
    void ShowNotice(const std::string& text) override { Notices.push_back(text); }
    void SetBusy(bool) override {}
    void SetProgressVisible(bool) override {}
    void SetProgressMax(int) override {}
    void SetProgressPosition(int) override {}
    void SetConvertControlsEnabled(bool) override {}
    std::vector<std::string> Notices;
};

struct Outcome {
    std::string Message; // the failure as shown (period rule), or the last notice
    std::map<std::string, std::string> Files; // name -> bytes, in the destination folder
};

std::map<std::string, std::string> FilesIn(const std::filesystem::path& folder) {
    std::map<std::string, std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        files[entry.path().filename().string()] = ReadFile(entry.path());
    }
    return files;
}

struct Run {
    std::string Password;
    std::string Selection; // empty: all pages
    std::string Type = "JPG";
    std::int32_t Dpi = 72;
};

// One run of `pdf` over `input` into a fresh folder `out` (named by the caller), the way the
// window starts it: base name and folder proposed from the input's path.
Outcome Convert(TPdf& pdf, const std::string& input, const std::filesystem::path& out,
                const Run& run) {
    std::filesystem::create_directories(out);
    ConversionSettings settings;
    settings.InputFileName = input;
    settings.InputPassword = run.Password;
    settings.ConvertMethod = run.Selection.empty() ? cmAllPages : cmPageSelection;
    settings.PageSelection = run.Selection;
    settings.ImageType = run.Type;
    settings.Resolution = run.Dpi;
    settings.BaseFileName = DefaultBaseFileName(input);
    settings.DestinationFolder = out.string() + "/";
    FileImageOutput output;
    RecordingView view;
    Outcome outcome;
    alarm(kSecondsPerRun);
    try {
        RunConversion(settings, pdf, output, view);
        outcome.Message = view.Notices.empty() ? "" : view.Notices.back();
    } catch (const Error& e) {
        outcome.Message = DisplayText(e.what());
    }
    alarm(0);
    EXPECT_FALSE(pdf.Active()) << "component left open";
    EXPECT_EQ(pdf.PageNumber(), 0);
    outcome.Files = FilesIn(out);
    return outcome;
}

TestPage Page(double width, double height, std::uint32_t rgb) {
    TestPage page;
    page.Width = width;
    page.Height = height;
    page.Rects = {{0, 0, width / 2, height / 2, rgb}};
    return page;
}

// Three small pages of different colours: the document the bad ones are made from.
std::string GoodPdf() {
    return MakePdf({Page(144, 72, 0xFF0000), Page(72, 144, 0x00FF00), Page(100, 100, 0x0000FF)});
}

std::string Replaced(std::string bytes, const std::string& from, const std::string& to) {
    const auto at = bytes.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return at == std::string::npos ? bytes : bytes.replace(at, from.size(), to);
}

// Checks that `files` are exactly bad_1.jpg, bad_2.jpg, ... holding, in that order, the pages
// `goodPages` of GoodPdf as a sound run with the same settings writes them.
void ExpectGoodPages(const std::map<std::string, std::string>& files,
                     const std::vector<int>& goodPages, const std::filesystem::path& folder,
                     const Run& settings) {
    TPdf pdf("Pdf");
    const std::string input = (folder / "good.pdf").string();
    WriteFile(input, GoodPdf());
    Run all = settings;
    all.Selection.clear();
    const Outcome good = Convert(pdf, input, folder / "good", all);
    ASSERT_EQ(good.Message, kCompleteNotice);
    std::vector<std::string> names;
    for (const auto& file : files) {
        names.push_back(file.first);
    }
    std::vector<std::string> expectedNames;
    for (std::size_t i = 0; i < goodPages.size(); ++i) {
        expectedNames.push_back("bad_" + std::to_string(i + 1) + ".jpg");
    }
    ASSERT_EQ(names, expectedNames);
    for (std::size_t i = 0; i < goodPages.size(); ++i) {
        // Compared as a flag: a failure should not print two JPEG files.
        const bool same = files.at(expectedNames[i]) ==
                          good.Files.at("good_" + std::to_string(goodPages[i]) + ".jpg");
        EXPECT_TRUE(same) << expectedNames[i] << " is not page " << goodPages[i];
    }
}

struct BadDocument {
    const char* Name;
    std::function<std::string()> Bytes; // the file's contents
    Run Settings;
    std::string Message;           // as the user sees it
    std::vector<int> PagesWritten; // pages of GoodPdf written, in order, before the message
};

void PrintTo(const BadDocument& document, std::ostream* out) {
    *out << document.Name;
}

class BadDocuments : public ::testing::TestWithParam<BadDocument> {};

TEST_P(BadDocuments, EndInOneClearMessage) {
    const BadDocument& bad = GetParam();
    TempDir dir;
    const std::string input = dir.File("bad.pdf");
    WriteFile(input, bad.Bytes());
    TPdf pdf("Pdf");
    const Outcome outcome = Convert(pdf, input, dir.Path() / "out", bad.Settings);
    EXPECT_EQ(outcome.Message, bad.Message);
    ExpectGoodPages(outcome.Files, bad.PagesWritten, dir.Path(), bad.Settings);

    // The same component converts a sound document right after.
    const std::string good = dir.File("next.pdf");
    WriteFile(good, GoodPdf());
    const Outcome next = Convert(pdf, good, dir.Path() / "next", {});
    EXPECT_EQ(next.Message, kCompleteNotice);
    EXPECT_EQ(next.Files.size(), 3U);
}

const char* const kNotAPdf = "File not in PDF format or corrupted.";

const BadDocument kBadDocuments[] = {
    {"EmptyFile", [] { return std::string(); }, {}, kNotAPdf, {}},
    {"TextFile",
     [] { return std::string("Minutes of the meeting\nNothing was decided.\n"); },
     {},
     kNotAPdf,
     {}},
    {"PngFile",
     [] {
         return std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR\0\0\0\x01\0\0\0\x01\x08\x02\0\0\0", 33);
     },
     {},
     kNotAPdf,
     {}},
    // Without its page objects and cross-reference table there is nothing to repair.
    {"CutAtHalfItsLength",
     [] {
         const std::string bytes = GoodPdf();
         return bytes.substr(0, bytes.size() / 2);
     },
     {},
     kNotAPdf,
     {}},
    {"GarbageBeforeTheHeader",
     [] { return std::string(500, '#') + "\n" + GoodPdf(); },
     {},
     kCompleteNotice,
     {1, 2, 3}},
    {"BrokenCrossReferenceTable",
     [] {
         std::string bytes = GoodPdf();
         // Every offset wrong and the table's own position beyond the end: the engine rebuilds
         // the table by scanning the file.
         for (auto at = bytes.find(" 00000 n "); at != std::string::npos;
              at = bytes.find(" 00000 n ", at + 1)) {
             bytes.replace(at - 10, 10, "0000000001");
         }
         return Replaced(bytes, "startxref\n", "startxref\n9");
     },
     {},
     kCompleteNotice,
     {1, 2, 3}},
    // The engine believes the count: the three pages there are written, the fourth is missing.
    {"PageTreeClaimsMorePagesThanItHolds",
     [] { return Replaced(GoodPdf(), "/Count 3", "/Count 9"); },
     {},
     "Cannot open page 4.",
     {1, 2, 3}},
    // The tree's second kid is the tree itself: the engine skips it and finds two pages.
    {"PageTreeWithALoop",
     [] { return Replaced(GoodPdf(), "/Kids [4 0 R 6 0 R ", "/Kids [4 0 R 2 0 R "); },
     {},
     "Cannot open page 3.",
     {1, 3}},
    {"ZeroPages", [] { return MakePdf({}); }, {}, kCompleteNotice, {}},
    {"ZeroPagesWithASelection", [] { return MakePdf({}); }, {"", "1"}, "Cannot open page 1.", {}},
    {"PageTooLargeForTheEngine",
     [] {
         return MakePdf({Page(144, 72, 0xFF0000), Page(14400, 14400, 0), Page(72, 72, 0)});
     },
     {"", "", "JPG", 300},
     "Page 2 is too large to convert at 300 DPI (60000 x 60000 pixels)",
     {1}},
    {"PageSmallerThanAPixel",
     [] {
         return MakePdf({Page(144, 72, 0xFF0000), Page(0.1, 0.1, 0), Page(72, 72, 0)});
     },
     {},
     "Page 2 is smaller than one pixel at 72 DPI (0 x 0 pixels)",
     {1}},
};

std::string CaseName(const ::testing::TestParamInfo<BadDocument>& info) {
    return info.param.Name;
}

INSTANTIATE_TEST_SUITE_P(Files, BadDocuments, ::testing::ValuesIn(kBadDocuments), CaseName);

} // namespace
} // namespace folioxa
