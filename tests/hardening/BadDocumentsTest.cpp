// Bad documents under a real run (TPdf, the real writers): each file is made by the test. For
// each: the message the user sees, no crash, no hang (an alarm ends a run that takes too long),
// the files of earlier pages intact, and the next run of the same component working.
#include "conversion/ConversionJob.h"
#include "conversion/Messages.h"
#include "conversion/OutputFileNaming.h"
#include "pdf/PDFium.h"
#include "support/Corpus.h"
#include "support/NoticeView.h"
#include "support/TestFiles.h"
#include "support/TestPdf.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>

namespace folioxa {
namespace {

using testing::EncryptPdf;
using testing::FilesIn;
using testing::MakePdf;
using testing::ReadFile;
using testing::TempDir;
using testing::TestPage;
using testing::WriteFile;

// No run on these small files may take longer; SIGALRM ends the test process otherwise.
constexpr unsigned kSecondsPerRun = 60;

using RecordingView = testing::NoticeView;

struct Outcome {
    std::string Message; // the failure as shown (period rule), or the last notice
    std::map<std::string, std::string> Files; // name -> bytes, in the destination folder
};

struct Run {
    std::string Password;
    std::string Selection; // empty: all pages
    std::string Type = "JPG";
    std::int32_t Dpi = 72;
};

// One run of `pdf` over `input` into a fresh folder `out` (named by the caller), the way the
// window starts it: base name and folder proposed from the input's path.
Outcome Convert(TPdf& pdf, const std::string& input, const std::filesystem::path& out,
                const Run& run, unsigned seconds = kSecondsPerRun) {
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
    RecordingView view;
    Outcome outcome;
    alarm(seconds);
    try {
        RunConversion(settings, pdf, view);
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
         // Signature and the start of a 1 x 1 header: what a PNG file opens with.
         static const char kPng[] =
             "\x89PNG\r\n\x1a\n\0\0\0\rIHDR\0\0\0\x01\0\0\0\x01\x08\x02\0\0\0";
         return std::string(kPng, sizeof kPng - 1);
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
    {"UnknownSecurityHandler",
     [] {
         const testing::TempDir dir;
         WriteFile(dir.File("plain.pdf"), GoodPdf());
         EncryptPdf(dir.File("plain.pdf"), dir.File("locked.pdf"), "", "owner", "rc4-128");
         return Replaced(ReadFile(dir.File("locked.pdf")), "/Filter /Standard",
                         "/Filter /Unknown1");
     },
     {},
     "Unsupported security scheme.",
     {}},
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

std::string DocumentName(const ::testing::TestParamInfo<BadDocument>& info) {
    return info.param.Name;
}

INSTANTIATE_TEST_SUITE_P(Files, BadDocuments, ::testing::ValuesIn(kBadDocuments), DocumentName);

// Every encryption qpdf writes, with passwords of blanks and of characters beyond ASCII: the
// right password converts every page, a missing or wrong one ends in the engine's message.
struct Encryption {
    const char* Mode;
    const char* Password;
    const char* Name;
};

void PrintTo(const Encryption& encryption, std::ostream* out) {
    *out << encryption.Mode << " " << encryption.Name;
}

class EncryptedDocuments : public ::testing::TestWithParam<Encryption> {};

TEST_P(EncryptedDocuments, OpenWithTheRightPasswordOnly) {
    const Encryption& encryption = GetParam();
    TempDir dir;
    const std::string plain = dir.File("plain.pdf");
    const std::string input = dir.File("bad.pdf");
    WriteFile(plain, GoodPdf());
    EncryptPdf(plain, input, encryption.Password, "owner-secret", encryption.Mode);
    TPdf pdf("Pdf");
    const char* const kRefused = "Password required or incorrect password.";
    for (const std::string& wrong :
         {std::string(), std::string("wrong"), std::string(encryption.Password) + " "}) {
        const Outcome refused = Convert(pdf, input, dir.Path() / "refused", {wrong, ""});
        EXPECT_EQ(refused.Message, kRefused) << "password [" << wrong << "]";
        EXPECT_TRUE(refused.Files.empty());
    }
    const Outcome opened = Convert(pdf, input, dir.Path() / "out", {encryption.Password, ""});
    EXPECT_EQ(opened.Message, kCompleteNotice);
    ExpectGoodPages(opened.Files, {1, 2, 3}, dir.Path(), {});
    // The owner's password opens it as well.
    const Outcome owner = Convert(pdf, input, dir.Path() / "owner", {"owner-secret", ""});
    EXPECT_EQ(owner.Message, kCompleteNotice);
    EXPECT_EQ(owner.Files.size(), 3U);
}

const Encryption kEncryptions[] = {
    {"rc4-40", "   ", "Blanks"},
    {"rc4-40", "p\xC3\xA4sswort", "Latin"},
    {"rc4-128", "   ", "Blanks"},
    {"rc4-128", "p\xC3\xA4sswort", "Latin"},
    {"aes-128", "   ", "Blanks"},
    {"aes-128", "p\xC3\xA4sswort", "Latin"},
    {"aes-256", "   ", "Blanks"},
    {"aes-256", "p\xC3\xA4sswort", "Latin"},
    {"aes-256", "\xE5\xAF\x86\xE7\xA0\x81", "Chinese"},
    // Older encryption has no rule for such a password; qpdf keeps its UTF-8 bytes.
    {"rc4-128", "\xE5\xAF\x86\xE7\xA0\x81", "Chinese"},
};

std::string EncryptionName(const ::testing::TestParamInfo<Encryption>& info) {
    std::string mode = info.param.Mode;
    mode.erase(std::remove(mode.begin(), mode.end(), '-'), mode.end());
    return mode + "_" + info.param.Name;
}

INSTANTIATE_TEST_SUITE_P(Modes, EncryptedDocuments, ::testing::ValuesIn(kEncryptions),
                         EncryptionName);

// File and folder names with spaces, characters beyond ASCII and printf directives: the names
// pass through untouched, into the output files and into the messages.
class OddFileNames : public ::testing::TestWithParam<const char*> {};

TEST_P(OddFileNames, PassThroughUntouched) {
    const std::string name = GetParam();
    TempDir dir;
    const auto folder = dir.Path() / name;
    std::filesystem::create_directory(folder);
    const std::string input = (folder / (name + ".pdf")).string();
    WriteFile(input, GoodPdf());
    TPdf pdf("Pdf");

    // The window's defaults: the input's own folder and its name less ".pdf".
    RecordingView view;
    ConversionSettings settings;
    settings.InputFileName = input;
    settings.ConvertMethod = cmPageSelection;
    settings.PageSelection = "1-3";
    settings.Resolution = 72;
    settings.BaseFileName = DefaultBaseFileName(input);
    settings.DestinationFolder = DefaultDestinationFolder(input);
    RunConversion(settings, pdf, view);
    ASSERT_EQ(view.Notices, std::vector<std::string>{kCompleteNotice});
    const auto files = FilesIn(folder);
    std::vector<std::string> names;
    for (const auto& file : files) {
        names.push_back(file.first);
    }
    EXPECT_EQ(names, (std::vector<std::string>{name + ".pdf", name + "_1.jpg", name + "_2.jpg",
                                               name + "_3.jpg"}));

    // A failure names the path exactly as it is.
    const auto missing = folder / (name + " gone");
    settings.DestinationFolder = missing.string() + "/";
    std::string message;
    try {
        RunConversion(settings, pdf, view);
    } catch (const Error& e) {
        message = DisplayText(e.what());
    }
    EXPECT_EQ(message, "Cannot create file \"" + (missing / (name + "_1.jpg")).string() +
                           "\". No such file or directory.");
}

INSTANTIATE_TEST_SUITE_P(Names, OddFileNames,
                         ::testing::Values("with  spaces ",
                                           "\xC3\x9C"
                                           "bersicht \xE5\xA0\xB1\xE5\x91\x8A",
                                           "%s%n%x%p"),
                         [](const ::testing::TestParamInfo<const char*>& param) {
                             return std::to_string(param.index);
                         });

// Damaged and unusual files from public test suites (../shared/corpus/edge, used in place):
// each ends in one clear message or the right pages, quickly.
struct EdgeFile {
    const char* File;
    std::vector<std::string> Passwords; // each tried in its own run; none: one run without
    std::string Message;
    int Pages; // files written: base_1.jpg ... base_<Pages>.jpg
};

void PrintTo(const EdgeFile& edge, std::ostream* out) {
    *out << edge.File;
}

class EdgeFiles : public ::testing::TestWithParam<EdgeFile> {};

TEST_P(EdgeFiles, EndInOneClearMessageOrTheRightPages) {
    const EdgeFile& edge = GetParam();
    const std::string corpusName = std::string("edge/") + edge.File;
    const std::filesystem::path input = testing::CorpusFile(corpusName);
    if (input.empty()) {
        GTEST_SKIP() << testing::CorpusMissing(corpusName);
    }
    // The one file whose forms take the engine over a minute to set up runs only on request.
    const bool slow = std::string(edge.File) == "qpdf-shared-unnamed-field.pdf";
    if (slow && std::getenv("FOLIOXA_SLOW_TESTS") == nullptr) {
        GTEST_SKIP() << "takes the engine minutes; set FOLIOXA_SLOW_TESTS=1 to run it";
    }
    TempDir dir;
    const std::string base = DefaultBaseFileName(input.string());
    std::vector<std::string> expected;
    for (int page = 1; page <= edge.Pages; ++page) {
        expected.push_back(base + std::to_string(page) + ".jpg");
    }
    TPdf pdf("Pdf");
    const auto passwords = edge.Passwords.empty() ? std::vector<std::string>{""} : edge.Passwords;
    int runs = 0;
    for (const std::string& password : passwords) {
        const auto out = dir.Path() / std::to_string(++runs);
        const Outcome outcome = Convert(pdf, input.string(), out, {password, "", "JPG", 72},
                                        slow ? 600 : kSecondsPerRun);
        EXPECT_EQ(outcome.Message, edge.Message) << "password [" << password << "]";
        std::vector<std::string> names;
        for (const auto& [name, bytes] : outcome.Files) {
            names.push_back(name);
            EXPECT_EQ(bytes.substr(0, 2), "\xFF\xD8") << name;
            EXPECT_EQ(bytes.substr(bytes.size() - 2), "\xFF\xD9") << name;
        }
        std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
            return a.size() != b.size() ? a.size() < b.size() : a < b;
        });
        EXPECT_EQ(names, expected);
    }
}

const EdgeFile kEdgeFiles[] = {
    // A corrupt owner key: no password opens it, so every attempt is refused the same way.
    {"pdfium-encrypted_hello_world_r2_bad_okey.pdf",
     {"", "hello", "owner"},
     "Password required or incorrect password.",
     0},
    {"pdfium-trailer_unterminated.pdf", {}, kNotAPdf, 0},
    {"pdfjs-bug1606566.pdf", {}, kNotAPdf, 0},
    {"qpdf-fuzz-69977a.pdf", {}, kNotAPdf, 0},
    // No page tree: the engine opens them with no pages, as any document without pages.
    {"pdfium-xfa-bug_1042915.pdf", {}, kCompleteNotice, 0},
    {"pdfjs-poppler-395-0-fuzzed.pdf", {}, kCompleteNotice, 0},
    {"pdfium-bad_page_type.pdf", {}, "Cannot open page 2.", 1},
    {"pdfjs-Pages-tree-refs.pdf", {}, "Cannot open page 2.", 1},
    {"pdfium-bug_216.pdf", {}, "Cannot open page 1.", 0},
    {"pdfium-no_page_count.pdf", {}, kCompleteNotice, 6},
    {"pdfjs-poppler-67295-0.pdf", {}, kCompleteNotice, 1},
    {"pdfium-cropped_no_overlap.pdf",
     {},
     "Page 1 is smaller than one pixel at 72 DPI (0 x 0 pixels)",
     0},
    {"pdfjs-boundingBox_invalid.pdf",
     {},
     "Page 3 is smaller than one pixel at 72 DPI (0 x 0 pixels)",
     2},
    {"pdfjs-issue16263.pdf", {}, kCompleteNotice, 1},
    {"qpdf-shared-unnamed-field.pdf", {}, kCompleteNotice, 1},
};

std::string EdgeName(const ::testing::TestParamInfo<EdgeFile>& param) {
    std::string name = std::filesystem::path(param.param.File).stem().string();
    std::replace_if(
        name.begin(), name.end(),
        [](char c) { return std::isalnum(static_cast<unsigned char>(c)) == 0; }, '_');
    return name;
}

INSTANTIATE_TEST_SUITE_P(Corpus, EdgeFiles, ::testing::ValuesIn(kEdgeFiles), EdgeName);

} // namespace
} // namespace folioxa
