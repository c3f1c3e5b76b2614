#include "conversion/OutputFileNaming.h"

#include "conversion/ConversionSettings.h"

#include <gtest/gtest.h>

namespace folioxa {
namespace {

TEST(OutputFilePath, NamingTable) {
    struct Case {
        int pages;
        std::string pageText;
        std::string type;
        std::string path;
    };
    const std::vector<Case> cases = {
        {120, "7", "JPG", "/scans/Report_007.jpg"},
        {120, "120", "PNG", "/scans/Report_120.png"},
        {9, "7", "BMP", "/scans/Report_7.bmp"},
        {1000, "1", "JPG", "/scans/Report_0001.jpg"},
        {120, "0007", "JPG", "/scans/Report_0007.jpg"}, // longer than the digit count: whole
        {12, " 2", "JPG", "/scans/Report_ 2.jpg"},
        {120, "$A", "JPG", "/scans/Report_0$A.jpg"},
        {12, "3", "png", "/scans/Report_03.bmp"}, // exact comparison: anything else is BMP
        {0, "1", "GIF", "/scans/Report_1.bmp"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(OutputFilePath("/scans/", "Report_", c.pageText, DigitCount(c.pages), c.type),
                  c.path);
    }
    EXPECT_EQ(OutputFilePath("", "", "5", 1, "PNG"), "5.png");

    ConversionSettings settings;
    settings.DestinationFolder = "/scans/";
    settings.BaseFileName = "thumb";
    settings.ImageType = "PNG";
    EXPECT_EQ(EntryFilePath(settings, 120, "7"), "/scans/thumb007.png");
    settings.SingleFile = true; // no page text at all
    EXPECT_EQ(EntryFilePath(settings, 120, "7"), "/scans/thumb.png");
}

TEST(DefaultNames, BaseNameAndFolder) {
    struct Case {
        std::string input;
        std::string base;
        std::string folder;
    };
    const std::vector<Case> cases = {
        {"/home/ann/Q1.Report.PDF", "Q1.Report_", "/home/ann/"},
        {"/x/a.pdf.notes.pdf", "a.notes_", "/x/"},
        {"/x/archive.pdf2023.pdf", "archive2023_", "/x/"},
        {"readme", "readme_", ""},
        {"/report.Pdf", "report_", "/"},
        {"/d/..pdfpdf", ".pdf_", "/d/"}, // no overlap: one ".pdf" removed, left to right
        {"/d/.PDF.pDf", "_", "/d/"},
        {"/d/dir.pdf/file", "file_", "/d/dir.pdf/"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(DefaultBaseFileName(c.input), c.base) << c.input;
        EXPECT_EQ(DefaultDestinationFolder(c.input), c.folder) << c.input;
    }
}

} // namespace
} // namespace folioxa
