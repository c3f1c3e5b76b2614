#include "cli/CommandLine.h"

#include <gtest/gtest.h>

#include <sstream>

namespace folioxa {
namespace {

using Args = std::vector<std::string>;

TEST(ParseCommandLine, OptionsAndDefaults) {
    struct Case {
        Args args;
        std::function<void(const CommandLine&, const ConversionSettings&)> check; // the first file
    };
    const std::vector<Case> cases = {
        {{"/data/Q1.Report.PDF"},
         [](const CommandLine& l, const ConversionSettings& s) {
             EXPECT_EQ(s.InputFileName, "/data/Q1.Report.PDF");
             EXPECT_EQ(s.ConvertMethod, cmAllPages);
             EXPECT_EQ(s.ImageType, "JPG");
             EXPECT_EQ(s.Resolution, 300);
             EXPECT_EQ(s.DestinationFolder, "/data/");
             EXPECT_EQ(s.BaseFileName, "Q1.Report_");
             EXPECT_EQ(s.ScaleTo + s.ScaleToX + s.ScaleToY, 0);
             EXPECT_EQ(s.JpegQuality, 100);
             EXPECT_EQ(l.Jobs, 6); // the online cores
             EXPECT_EQ(l.MemoryLimitMb, 0);
             EXPECT_EQ(l.PageTimeout, 300);
             EXPECT_FALSE(l.PasswordFromStdin || l.DryRun || l.Json || l.Quiet);
         }},
        {{"--page-timeout", "0", "a.pdf"}, // no limit
         [](const CommandLine& l, const ConversionSettings&) { EXPECT_EQ(l.PageTimeout, 0); }},
        {{"report.pdf"}, // no folder: the working folder, as the naming rule gives ""
         [](const CommandLine&, const ConversionSettings& s) {
             EXPECT_EQ(s.DestinationFolder, "");
             EXPECT_EQ(s.BaseFileName, "report_");
         }},
        {{"-p", "1-4,6", "-t", "png", "-r", "150", "-o", "/out", "-b", "x-", "-j", "3", "a.pdf"},
         [](const CommandLine& l, const ConversionSettings& s) {
             EXPECT_EQ(s.ConvertMethod, cmPageSelection);
             EXPECT_EQ(s.PageSelection, "1-4,6");
             EXPECT_EQ(s.ImageType, "PNG");
             EXPECT_EQ(s.Resolution, 150);
             EXPECT_EQ(s.DestinationFolder, "/out/"); // one "/" appended
             EXPECT_EQ(s.BaseFileName, "x-");
             EXPECT_EQ(l.Jobs, 3);
         }},
        {{"--pages=5-3, 2", "--type=Bmp", "--dpi=$12C", "--output-dir=/o/", "--base=", "a.pdf"},
         [](const CommandLine&, const ConversionSettings& s) {
             EXPECT_EQ(s.PageSelection, "5-3, 2"); // as typed, spaces kept
             EXPECT_EQ(s.ImageType, "BMP");
             EXPECT_EQ(s.Resolution, 300); // the window's number rule reads "$12C"
             EXPECT_EQ(s.DestinationFolder, "/o/");
             EXPECT_EQ(s.BaseFileName, "");
         }},
        {{"-r2400", "-tJpG", "-j1", "a.pdf", "--password-stdin", "--dry-run", "--json", "-q",
          "--memory-limit=64"},
         [](const CommandLine& l, const ConversionSettings& s) {
             EXPECT_EQ(l.MemoryLimitMb, 64);
             EXPECT_EQ(s.Resolution, 2400);
             EXPECT_EQ(s.ImageType, "JPG");
             EXPECT_EQ(l.Jobs, 1);
             EXPECT_TRUE(l.PasswordFromStdin && l.DryRun && l.Json && l.Quiet);
         }},
        {{"--scale-to-x", "640", "--scale-to-y=480", "--quality", "75", "a.pdf"},
         [](const CommandLine&, const ConversionSettings& s) {
             EXPECT_EQ(s.ScaleToX, 640);
             EXPECT_EQ(s.ScaleToY, 480);
             EXPECT_EQ(s.JpegQuality, 75);
         }},
        {{"-f", "3", "--last=9", "--even", "--gray", "--box", "Trim", "--annotations",
          "--no-highlight", "--skip-existing", "--single-file", "-t", "webp", "--quality", "80",
          "--transparent", "/d/Q1.pdf"},
         [](const CommandLine&, const ConversionSettings& s) {
             EXPECT_EQ(s.Filter.First, 3);
             EXPECT_EQ(s.Filter.Last, 9);
             EXPECT_EQ(s.Filter.Parity, PageParity::Even);
             EXPECT_EQ(s.Pixels, PixelMode::Grey);
             EXPECT_EQ(s.Drawing, (DrawingOptions{PageBox::Trim, true, false, true}));
             EXPECT_TRUE(s.SkipExisting && s.SingleFile && s.Lossy);
             EXPECT_EQ(s.BaseFileName, "Q1"); // no page number follows it
         }},
        {{"--single-file", "-b", "thumb_", "-"}, // a base name given is kept as it is
         [](const CommandLine&, const ConversionSettings& s) {
             EXPECT_EQ(s.BaseFileName, "thumb_");
         }},
        {{"--mono", "-t", "tiff", "--odd", "a.pdf"},
         [](const CommandLine&, const ConversionSettings& s) {
             EXPECT_EQ(s.Pixels, PixelMode::BlackAndWhite);
             EXPECT_EQ(s.Filter.Parity, PageParity::Odd);
             // Nothing else changes what the window would draw and write.
             EXPECT_EQ(s.Drawing, DrawingOptions{});
             EXPECT_FALSE(s.Lossy || s.SkipExisting || s.SingleFile);
         }},
        {{"--scale-to", "200", "a.pdf"},
         [](const CommandLine&, const ConversionSettings& s) { EXPECT_EQ(s.ScaleTo, 200); }},
        {{"-p", "", "--", "-odd.pdf"}, // an empty selection is the run's to report
         [](const CommandLine&, const ConversionSettings& s) {
             EXPECT_EQ(s.ConvertMethod, cmPageSelection);
             EXPECT_EQ(s.PageSelection, "");
             EXPECT_EQ(s.InputFileName, "-odd.pdf");
             EXPECT_EQ(s.BaseFileName, "-odd_");
         }},
        {{"-p", "-3", "a.pdf"}, // a value that looks like an option is still the value
         [](const CommandLine&, const ConversionSettings& s) { EXPECT_EQ(s.PageSelection, "-3"); }},
        // Devices and descriptors have no folder of their own to write to.
        {{"-"},
         [](const CommandLine&, const ConversionSettings& s) {
             EXPECT_EQ(s.DestinationFolder, "");
             EXPECT_EQ(s.BaseFileName, "page_");
         }},
        {{"/dev/fd/63", "-b", "p"},
         [](const CommandLine&, const ConversionSettings& s) {
             EXPECT_EQ(s.DestinationFolder, "");
             EXPECT_EQ(s.BaseFileName, "p");
         }},
        {{"a/one.pdf", "b/two.pdf"}, // each document its own folder and name
         [](const CommandLine& l, const ConversionSettings&) {
             const ConversionSettings two = SettingsFor(l, l.InputFiles.at(1));
             EXPECT_EQ(two.DestinationFolder, "b/");
             EXPECT_EQ(two.BaseFileName, "two_");
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        const CommandLine line = ParseCommandLine(c.args, 6);
        c.check(line, SettingsFor(line, line.InputFiles.at(0)));
    }
    EXPECT_EQ(ParseCommandLine({"--help"}, 1).Mode, ToolMode::Help);
    EXPECT_EQ(ParseCommandLine({"a.pdf", "--version"}, 1).Mode, ToolMode::Version);
}

TEST(ParseCommandLine, UsageErrors) {
    struct Case {
        Args args;
        std::string message;
    };
    const std::vector<Case> cases = {
        {{}, "no PDF file given"},
        {{"-", "/dev/stdin"}, "stdin holds one document: '-' (or /dev/stdin) given 2 times"},
        {{"--password-stdin", "-"},
         "--password-stdin cannot read a password from stdin when stdin holds the PDF ('-')"},
        {{"--scale-to", "9", "--scale-to-y", "9", "a.pdf"},
         "--scale-to sets both sides: give it or --scale-to-x/--scale-to-y"},
        {{"--scale-to", "0", "a.pdf"}, "--scale-to: '0' is not a whole number from 1 to 100000"},
        {{"--quality", "101", "a.pdf"}, "--quality: '101' is not a whole number from 1 to 100"},
        {{"-x", "a.pdf"}, "unknown option '-x'"},
        {{"--page=1", "a.pdf"}, "unknown option '--page'"},
        {{"a.pdf", "-p"}, "option '-p' needs a value"},
        {{"--json=1", "a.pdf"}, "option '--json' takes no value"},
        {{"-qv", "a.pdf"}, "option '-q' takes no value"},
        {{"-t", "jpeg", "a.pdf"}, "unknown image type 'jpeg' (JPG, PNG, TIFF, WEBP or BMP)"},
        {{"-r", "0", "a.pdf"}, "--dpi: 0 is outside 1 to 2400"},
        {{"-r", "2401", "a.pdf"}, "--dpi: 2401 is outside 1 to 2400"},
        {{"-r", "300dpi", "a.pdf"}, "--dpi: '300dpi' is not a valid integer value."},
        {{"-j", "0", "a.pdf"}, "--jobs: '0' is not a whole number from 1 to 256"},
        {{"-j", "2x", "a.pdf"}, "--jobs: '2x' is not a whole number from 1 to 256"},
        {{"--memory-limit", "63", "a.pdf"},
         "--memory-limit: '63' is not a whole number from 64 to 16777216"},
        {{"--password=secret", "a.pdf"},
         "a password is never taken on the command line, where other users can read it: use "
         "--password-stdin"},
        {{"-P", "secret", "a.pdf"},
         "a password is never taken on the command line, where other users can read it: use "
         "--password-stdin"},
        {{"--gray", "--mono", "a.pdf"}, "--gray and --mono cannot be combined: choose one"},
        {{"--even", "a.pdf", "--odd"}, "--odd and --even cannot be combined: choose one"},
        {{"-f", "5", "-l", "3", "a.pdf"}, "--first 5 comes after --last 3: no page is left"},
        {{"-f", "0", "a.pdf"}, "--first: '0' is not a whole number from 1 to 2147483647"},
        {{"--box", "bbox", "a.pdf"}, "--box: unknown box 'bbox' (media, crop, bleed, trim or art)"},
        // Refused before any document is opened, with the types that can.
        {{"--mono", "a.pdf"},
         "JPG files cannot be black and white (one bit a pixel): choose PNG, TIFF or BMP"},
        {{"--mono", "-t", "webp", "a.pdf"},
         "WEBP files cannot be black and white (one bit a pixel): choose PNG, TIFF or BMP"},
        {{"--transparent", "-t", "bmp", "a.pdf"},
         "BMP files cannot be transparent: choose PNG, TIFF or WEBP"},
        {{"--transparent", "a.pdf"}, "JPG files cannot be transparent: choose PNG, TIFF or WEBP"},
        {{"--transparent", "--mono", "-t", "png", "a.pdf"},
         "Black and white pages cannot be transparent: choose one of the two"},
        // Other converters' habits, which would otherwise be misread ("-png" as "-p ng").
        {{"-png", "a.pdf"}, "unknown option '-png': did you mean '-t png'?"},
        {{"-jpeg", "a.pdf"}, "unknown option '-jpeg': did you mean '-t jpg'?"},
        {{"-tiff", "a.pdf"}, "unknown option '-tiff': did you mean '-t tiff'?"},
        {{"-gray", "a.pdf"}, "unknown option '-gray': did you mean '--gray'?"},
        {{"-mono", "a.pdf"}, "unknown option '-mono': did you mean '--mono'?"},
        {{"-singlefile", "a.pdf"}, "unknown option '-singlefile': did you mean '--single-file'?"},
        {{"-scale-to", "200", "a.pdf"}, "unknown option '-scale-to': did you mean '--scale-to'?"},
        {{"-cropbox", "a.pdf"}, "unknown option '-cropbox': did you mean '--box crop'?"},
        {{"-odd", "a.pdf"}, "unknown option '-odd': did you mean '--odd'?"}, // not "-o dd"
        {{"-Fpng", "a.pdf"}, "unknown option '-F': did you mean '-t TYPE'?"},
        // The value after the option is never repeated.
        {{"-upw", "s3cret", "a.pdf"},
         "unknown option '-upw': a password is never taken on the command line, where other "
         "users can read it: use --password-stdin"},
        {{"-opw", "s3cret", "a.pdf"},
         "unknown option '-opw': a password is never taken on the command line, where other "
         "users can read it: use --password-stdin"},
    };
    for (const auto& c : cases) {
        try {
            ParseCommandLine(c.args, 2);
            ADD_FAILURE() << ::testing::PrintToString(c.args) << " was accepted";
        } catch (const EUsageError& e) {
            EXPECT_EQ(e.what(), c.message) << ::testing::PrintToString(c.args);
        }
    }
}

TEST(HelpText, DocumentsTheExitCodesAndTheOrderOfFiles) {
    const std::string help = HelpText();
    for (const char* line :
         {"  0  every page was written", "  1  the conversion failed", "  2  usage error",
          "that --password-stdin reads is tried on every document",
          "  3  a document could not be opened", "and none after it"}) {
        EXPECT_NE(help.find(line), std::string::npos) << line;
    }
    std::istringstream lines(help);
    for (std::string line; std::getline(lines, line);) {
        EXPECT_LE(line.size(), 80U) << line;
    }
    EXPECT_EQ(VersionText().rfind("folioxa-convert 2.0.1.2\nsandbox: ", 0), 0U) << VersionText();
}

} // namespace
} // namespace folioxa
