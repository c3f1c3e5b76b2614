#include "cli/CommandLine.h"

#include <gtest/gtest.h>

namespace folioxa {
namespace {

using Args = std::vector<std::string>;

TEST(ParseCommandLine, OptionsAndDefaults) {
    struct Case {
        Args args;
        std::function<void(const CommandLine&)> check;
    };
    const std::vector<Case> cases = {
        {{"/data/Q1.Report.PDF"},
         [](const CommandLine& l) {
             EXPECT_EQ(l.InputFile, "/data/Q1.Report.PDF");
             EXPECT_EQ(l.ConvertMethod, cmAllPages);
             EXPECT_EQ(l.ImageType, "JPG");
             EXPECT_EQ(l.Resolution, 300);
             EXPECT_EQ(l.OutputDirectory, "/data/");
             EXPECT_EQ(l.BaseFileName, "Q1.Report_");
             EXPECT_EQ(l.Jobs, 6); // the online cores
             EXPECT_EQ(l.MemoryLimitMb, 0);
             EXPECT_FALSE(l.PasswordFromStdin || l.DryRun || l.Json || l.Quiet);
         }},
        {{"report.pdf"}, // no folder: the working folder, as the naming rule gives ""
         [](const CommandLine& l) {
             EXPECT_EQ(l.OutputDirectory, "");
             EXPECT_EQ(l.BaseFileName, "report_");
         }},
        {{"-p", "1-4,6", "-t", "png", "-r", "150", "-o", "/out", "-b", "x-", "-j", "3", "a.pdf"},
         [](const CommandLine& l) {
             EXPECT_EQ(l.ConvertMethod, cmPageSelection);
             EXPECT_EQ(l.PageSelection, "1-4,6");
             EXPECT_EQ(l.ImageType, "PNG");
             EXPECT_EQ(l.Resolution, 150);
             EXPECT_EQ(l.OutputDirectory, "/out/"); // one "/" appended
             EXPECT_EQ(l.BaseFileName, "x-");
             EXPECT_EQ(l.Jobs, 3);
         }},
        {{"--pages=5-3, 2", "--type=Bmp", "--dpi=$12C", "--output-dir=/o/", "--base=", "a.pdf"},
         [](const CommandLine& l) {
             EXPECT_EQ(l.PageSelection, "5-3, 2"); // as typed, spaces kept
             EXPECT_EQ(l.ImageType, "BMP");
             EXPECT_EQ(l.Resolution, 300); // the window's number rule reads "$12C"
             EXPECT_EQ(l.OutputDirectory, "/o/");
             EXPECT_EQ(l.BaseFileName, "");
         }},
        {{"-r2400", "-tJpG", "-j1", "a.pdf", "--password-stdin", "--dry-run", "--json", "-q",
          "--memory-limit=64"},
         [](const CommandLine& l) {
             EXPECT_EQ(l.MemoryLimitMb, 64);
             EXPECT_EQ(l.Resolution, 2400);
             EXPECT_EQ(l.ImageType, "JPG");
             EXPECT_EQ(l.Jobs, 1);
             EXPECT_TRUE(l.PasswordFromStdin && l.DryRun && l.Json && l.Quiet);
         }},
        {{"-p", "", "--", "-odd.pdf"}, // an empty selection is the run's to report
         [](const CommandLine& l) {
             EXPECT_EQ(l.ConvertMethod, cmPageSelection);
             EXPECT_EQ(l.PageSelection, "");
             EXPECT_EQ(l.InputFile, "-odd.pdf");
             EXPECT_EQ(l.BaseFileName, "-odd_");
         }},
        {{"-p", "-3", "a.pdf"}, // a value that looks like an option is still the value
         [](const CommandLine& l) { EXPECT_EQ(l.PageSelection, "-3"); }},
        {{"--help"}, [](const CommandLine& l) { EXPECT_EQ(l.Mode, ToolMode::Help); }},
        {{"a.pdf", "--version"},
         [](const CommandLine& l) { EXPECT_EQ(l.Mode, ToolMode::Version); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        c.check(ParseCommandLine(c.args, 6));
    }
}

TEST(ParseCommandLine, UsageErrors) {
    struct Case {
        Args args;
        std::string message;
    };
    const std::vector<Case> cases = {
        {{}, "no PDF file given"},
        {{"a.pdf", "b.pdf"}, "one PDF file at a time (got 2)"},
        {{"-x", "a.pdf"}, "unknown option '-x'"},
        {{"--page=1", "a.pdf"}, "unknown option '--page'"},
        {{"a.pdf", "-p"}, "option '-p' needs a value"},
        {{"--json=1", "a.pdf"}, "option '--json' takes no value"},
        {{"-qv", "a.pdf"}, "option '-q' takes no value"},
        {{"-t", "jpeg", "a.pdf"}, "unknown image type 'jpeg' (JPG, PNG or BMP)"},
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
          "  3  the document could not be opened", "and none after it"}) {
        EXPECT_NE(help.find(line), std::string::npos) << line;
    }
    EXPECT_EQ(VersionText().rfind("folioxa-convert 2.0.1.2\nsandbox: ", 0), 0U) << VersionText();
}

} // namespace
} // namespace folioxa
