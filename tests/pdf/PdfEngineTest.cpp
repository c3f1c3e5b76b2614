#include "pdf/PdfEngine.h"

#include "pdf/EngineMessage.h"
#include "pdf/PDFium.h"
#include "support/TestFiles.h"
#include "support/TestPdf.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <iostream>

namespace folioxa {
namespace {

using testing::MakePdf;
using testing::MessageOf;
using testing::TempDir;
using testing::WriteFile;

TEST(TrimSystemMessage, DropsTrailingBlanksControlCharactersAndFullStops) {
    struct Case {
        std::string In, Out;
    };
    const Case cases[] = {
        {"No such file or directory", "No such file or directory"},
        {"The module was not found.\r\n", "The module was not found"},
        {"text. . \t", "text"},
        {"a.b", "a.b"}, // only trailing ones go
        {"...", ""},
        {"", ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(TrimSystemMessage(c.In), c.Out) << c.In;
    }
}

TEST(PdfLibrary, MissingLibraryNamesItAndTriesAgainNextTime) {
    PdfLibrary library("libfolioxa-absent.so");
    const std::string expected =
        "libfolioxa-absent.so: cannot open shared object file: No such file or directory: "
        "libfolioxa-absent.so";
    EXPECT_EQ(MessageOf([&] { library.Load(); }), expected);
    EXPECT_FALSE(library.Loaded());
    // Not remembered as failed: the second attempt asks the system again.
    EXPECT_EQ(MessageOf([&] { library.Load(); }), expected);
    EXPECT_EQ(library.LoadCount(), 0);
}

TEST(PdfLibrary, MissingExportNamesItAndReleasesTheLibrary) {
    // libm is a real library without a single engine export.
    PdfLibrary library("libm.so.6");
    const std::string message = MessageOf([&] { library.Load(); });
    EXPECT_NE(message.find("undefined symbol: FPDF_InitLibrary"), std::string::npos) << message;
    EXPECT_TRUE(message.ends_with(": FPDF_InitLibrary")) << message;
    EXPECT_FALSE(library.Loaded());
    EXPECT_EQ(library.Functions().FPDF_InitLibrary, nullptr);
    // After a failure the file name may be changed and the next load binds the real engine.
    library.SetFileName("libpdfium.so");
    library.Load();
    EXPECT_TRUE(library.Loaded());
    EXPECT_EQ(library.LoadCount(), 1);
}

TEST(PdfLibrary, BindsEveryRequiredEntryAndTreatsAMissingXfaAsNotHandled) {
    LoadPdfLibrary();
    const pdfium::PdfFunctions& f = Pdfium();
    int missing = 0;
#define FOLIOXA_COUNT_MISSING(name, result, parameters, required)                                  \
    if ((required) && f.name == nullptr) {                                                         \
        ++missing;                                                                                 \
        ADD_FAILURE() << #name;                                                                    \
    }
    FOLIOXA_PDFIUM_FUNCTIONS(FOLIOXA_COUNT_MISSING)
#undef FOLIOXA_COUNT_MISSING
    EXPECT_EQ(missing, 0);
    EXPECT_EQ(f.FPDF_XFA, nullptr); // the engine we ship has no XFA
    EXPECT_FALSE(TPdf::XFA());
    EXPECT_THROW(ProcessPdfLibrary().SetFileName("other.so"), EPdfError);
}

TEST(PdfLibrary, LoadedOnceAcrossTwoOpens) {
    TempDir dir;
    WriteFile(dir.File("a.pdf"), MakePdf({{}}));
    TPdf pdf("Pdf");
    pdf.SetFileName(dir.File("a.pdf"));
    for (int open = 0; open < 2; ++open) {
        pdf.SetActive(true);
        EXPECT_TRUE(pdf.Active());
        pdf.SetActive(false);
    }
    EXPECT_EQ(ProcessPdfLibrary().LoadCount(), 1);
}

// The open must fail with the loader's text. Run in a fresh process: the engine, once loaded,
// stays loaded for the life of the process.
TEST(PdfLibraryDeathTest, MissingLibraryFailsTheOpenAndLeavesTheComponentInactive) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            ProcessPdfLibrary().SetFileName("libfolioxa-absent.so");
            TPdf pdf("Pdf");
            pdf.SetFileName("/nonexistent.pdf");
            std::cerr << "[" << MessageOf([&] { pdf.SetActive(true); }) << "]";
            std::_Exit(pdf.Active() || ProcessPdfLibrary().Loaded() ? 1 : 0);
        },
        ::testing::ExitedWithCode(0),
        "\\[libfolioxa-absent\\.so: cannot open shared object file: No such file or directory: "
        "libfolioxa-absent\\.so\\]");
}

} // namespace
} // namespace folioxa
