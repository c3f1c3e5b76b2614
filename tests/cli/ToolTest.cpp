// The tool's logic on small generated documents: exit codes, texts, prompts, records.
// The real executable on real PDFs is tested in ConvertExecutableTest.
#include "cli/Tool.h"

#include "base/Error.h"
#include "support/ImageFiles.h"
#include "support/TestFiles.h"
#include "support/TestPdf.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

namespace folioxa {
namespace {

using ::testing::HasSubstr;
namespace fs = std::filesystem;

// The real document, counting how often it is opened.
class CountingDocument : public TWorkerDocument {
public:
    int Opens = 0;

    void SetActive(bool active) override {
        if (active && !Active()) {
            ++Opens;
        }
        TWorkerDocument::SetActive(active);
    }
};

// "JPG 72x36": the type and size a written file decodes to.
std::string Describe(const fs::path& path) {
    const std::string bytes = testing::ReadFile(path);
    const std::string ext = path.extension();
    if (ext == ".bmp") {
        const auto at = [&bytes](std::size_t i) { return std::uint8_t(bytes.at(i)); };
        return "BMP " + std::to_string(at(18) | at(19) << 8) + "x" +
               std::to_string(at(22) | at(23) << 8);
    }
    const auto image = ext == ".png" ? testing::DecodePng(bytes) : testing::DecodeJpeg(bytes);
    return (ext == ".png" ? "PNG " : "JPG ") + std::to_string(image.Width) + "x" +
           std::to_string(image.Height);
}

struct Result {
    int code = 0;
    std::string out, err;
    std::vector<std::string> prompts;
    std::map<std::string, std::string> files; // name -> contents
};

struct Harness {
    testing::TempDir dir;
    CountingDocument document;
    std::vector<std::optional<std::string>> answers; // what the terminal prompt gives
    std::string input;                               // stdin
    bool inIsTerminal = false;
    bool stdoutFails = false; // stdout behaves as /dev/full

    // Pages of 72 x 36n points, page n.
    explicit Harness(int pages = 3, const std::string& password = "") {
        fs::create_directory(dir.Path() / "in");
        std::vector<testing::TestPage> list;
        for (int n = 1; n <= pages; ++n) {
            list.push_back({72, 36.0 * n, 0, {}, "", false});
        }
        testing::WriteFile(dir.File("in/doc.pdf"), testing::MakePdf(list));
        if (!password.empty()) {
            testing::EncryptPdf(dir.File("in/doc.pdf"), dir.File("in/locked.pdf"), password,
                                "owner", "aes-128");
            fs::rename(dir.File("in/locked.pdf"), dir.File("in/doc.pdf"));
        }
    }
    std::string Pdf() const { return dir.File("in/doc.pdf"); }

    Result Run(std::vector<std::string> args) {
        Result r;
        std::ostringstream out, err;
        std::istringstream in(input);
        if (stdoutFails) {
            out.setstate(std::ios::badbit);
        }
        std::size_t asked = 0;
        ToolEnvironment env{
            .Out = out,
            .Err = err,
            .In = in,
            .InIsTerminal = inIsTerminal,
            .ErrIsTerminal = false,
            .AskPassword = [&](const std::string& prompt) -> std::optional<std::string> {
                r.prompts.push_back(prompt);
                return asked < answers.size() ? answers[asked++] : std::nullopt;
            },
            .Document = document,
            .OnlineCores = 1,
            .WorkerPath = {}};
        r.code = RunTool(args, env);
        r.out = out.str();
        r.err = err.str();
        for (const auto& entry : fs::directory_iterator(dir.Path() / "in")) {
            if (entry.path().filename() != "doc.pdf") {
                r.files[entry.path().filename()] = Describe(entry.path());
            }
        }
        EXPECT_FALSE(document.Active()) << "every way out closes the document";
        return r;
    }
};

TEST(RunTool, RunsWriteTheWindowsFiles) {
    struct Case {
        std::vector<std::string> args;
        std::map<std::string, std::string> files;
        std::string err;
    };
    const std::vector<Case> cases = {
        {{},
         {{"doc_1.jpg", "JPG 72x36"}, {"doc_2.jpg", "JPG 72x72"}, {"doc_3.jpg", "JPG 72x108"}},
         "Conversion complete!\n"},
        {{"-t", "png", "-r", "144", "-p", "3,1", "-b", "p"},
         {{"p1.png", "PNG 144x72"}, {"p3.png", "PNG 144x216"}},
         "Conversion complete!\n"},
        {{"-t", "BMP", "-p", "5-4,2", "-r", "72"},
         {{"doc_2.bmp", "BMP 72x72"}},
         "The following page range is invalid and was skipped: 5-4\nConversion complete!\n"},
        {{"-q", "-t", "bmp", "-p", "5-4,2", "-r", "72"}, {{"doc_2.bmp", "BMP 72x72"}}, ""},
        // The filters keep what the selection lists, in its order.
        {{"-f", "2", "--odd"}, {{"doc_3.jpg", "JPG 72x108"}}, "Conversion complete!\n"},
        {{"-p", "3,1,2", "-l", "2"},
         {{"doc_1.jpg", "JPG 72x36"}, {"doc_2.jpg", "JPG 72x72"}},
         "Conversion complete!\n"},
        {{"-p", "1,3", "--even"},
         {},
         "No page to convert: the list holds none of the even pages\nConversion complete!\n"},
        {{"-p", "2", "--single-file"}, {{"doc.jpg", "JPG 72x72"}}, "Conversion complete!\n"},
        {{"-f", "3", "--single-file", "-b", "t", "-t", "png"},
         {{"t.png", "PNG 72x108"}},
         "Conversion complete!\n"},
    };
    for (const auto& c : cases) {
        Harness h;
        std::vector<std::string> args = c.args;
        args.push_back(h.Pdf());
        args.insert(args.begin(), {"-j", "1", "-r", "72"});
        const Result r = h.Run(args);
        EXPECT_EQ(r.code, 0) << r.err;
        std::map<std::string, std::string> expected = c.files;
        EXPECT_EQ(r.files, expected) << ::testing::PrintToString(c.args);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.out, "");
    }
}

TEST(RunTool, ExitCodesAndMessages) {
    struct Case {
        std::string name;
        std::vector<std::string> args;
        std::function<void(Harness&)> arrange;
        int code;
        std::string err; // a line of stderr
        std::vector<std::string> files;
    };
    const auto none = [](Harness&) {};
    const std::vector<Case> cases = {
        {"bad option",
         {"--frobnicate"},
         none,
         2,
         "folioxa-convert: unknown option '--frobnicate'",
         {}},
        {"empty selection",
         {"-p", ""},
         none,
         2,
         "folioxa-convert: Invalid page range provided!",
         {}},
        {"missing file",
         {},
         [](Harness& h) { fs::remove(h.Pdf()); },
         3,
         "doc.pdf: File not found or could not be opened.", // named, though alone
         {}},
        {"a folder",
         {},
         [](Harness& h) {
             fs::remove(h.Pdf());
             fs::create_directory(h.Pdf());
         },
         3,
         "doc.pdf\" is a folder, not a PDF file.",
         {}},
        {"page beyond the end",
         {"-p", "1,15,2"},
         none,
         1,
         "doc.pdf: entry \"15\" (2 of 3): Cannot open page 15: the document has 3 pages.",
         {"doc_1.jpg"}},
        {"entry not a number",
         {"-p", "2,x"},
         none,
         1,
         "doc.pdf: entry \"x\" (2 of 2): 'x' is not a valid integer value.",
         {"doc_2.jpg"}},
        {"bound not a number",
         {"-p", "1,2-x"},
         none,
         1,
         "doc.pdf: 'x' is not a valid integer value.",
         {}},
        {"control characters shown escaped",
         {"-p", "1,\x1b[2J\xc2\x9b"},
         none,
         1,
         "doc.pdf: entry \"\\x1b[2J\\x9b\" (2 of 2): '\\x1b[2J\\x9b' is not a valid "
         "integer value.",
         {"doc_1.jpg"}},
        {"single file of several entries",
         {"-p", "1-2", "--single-file"},
         none,
         2,
         "doc.pdf: --single-file writes one file, but the list has 2 entries: choose one page "
         "with -p, or with -f and -l.",
         {}},
        {"stdout refused",
         {"--json"},
         [](Harness& h) { h.stdoutFails = true; },
         1,
         "folioxa-convert: cannot write to standard output",
         {"doc_1.jpg", "doc_2.jpg", "doc_3.jpg"}},
    };
    for (const auto& c : cases) {
        Harness h;
        c.arrange(h);
        std::vector<std::string> args = c.args;
        args.insert(args.begin(), {"-j", "1", "-r", "72"});
        args.push_back(h.Pdf());
        const Result r = h.Run(args);
        EXPECT_EQ(r.code, c.code) << c.name;
        EXPECT_THAT(r.err, HasSubstr(c.err + "\n")) << c.name;
        EXPECT_THAT(r.err, ::testing::Not(HasSubstr("Conversion complete!"))) << c.name;
        std::vector<std::string> names;
        for (const auto& [name, bytes] : r.files) {
            names.push_back(name);
        }
        EXPECT_EQ(names, c.files) << c.name;
    }
}

TEST(RunTool, PasswordFromStdinOrOnePromptNeverTheCommandLine) {
    struct Case {
        std::string name;
        bool fromStdin;
        std::string input;
        std::vector<std::optional<std::string>> answers;
        int code;
        std::size_t prompts;
        int opens;
    };
    const std::vector<Case> cases = {
        {"stdin, right", true, "s3cret pw\nrest", {}, 0, 0, 2}, // blanks belong to it
        {"stdin, CRLF line", true, "s3cret pw\r\n", {}, 0, 0, 2},
        {"stdin, wrong: no prompt", true, "nope\n", {"s3cret pw"}, 3, 0, 1},
        {"stdin, empty", true, "", {}, 3, 0, 1},
        {"prompt, right", false, "", {"s3cret pw"}, 0, 1, 3},
        {"prompt, wrong: one prompt only", false, "", {"nope", "s3cret pw"}, 3, 1, 2},
        {"no terminal", false, "", {std::nullopt}, 3, 1, 1},
        // Typed on a terminal: read with the echo off, never as a visible line.
        {"stdin a terminal", true, "visible\n", {"s3cret pw"}, 0, 1, 2},
    };
    for (const auto& c : cases) {
        Harness h(3, "s3cret pw");
        h.input = c.input;
        h.answers = c.answers;
        h.inIsTerminal = c.name == "stdin a terminal";
        std::vector<std::string> args = {"-j", "1", "-r", "72", "-p", "2", h.Pdf()};
        if (c.fromStdin) {
            args.insert(args.begin(), "--password-stdin");
        }
        const Result r = h.Run(args);
        EXPECT_EQ(r.code, c.code) << c.name;
        EXPECT_EQ(r.prompts.size(), c.prompts) << c.name;
        EXPECT_EQ(h.document.Opens, c.opens) << c.name << ": the check, then the run";
        EXPECT_EQ(r.files.size(), c.code == 0 ? 1U : 0U) << c.name;
        if (c.code == 3) {
            EXPECT_THAT(r.err, HasSubstr("Password required or incorrect password.\n")) << c.name;
            // The hint only where no password could be given at all.
            EXPECT_EQ(r.err.find("with --password-stdin") != std::string::npos,
                      c.name == "no terminal")
                << c.name;
        }
    }
}

TEST(RunTool, DryRunListsFlagsAndWritesNothing) {
    Harness h(12);
    const Result r = h.Run({"--dry-run", "-p", "2,02,5-4,4,13,1", "-t", "png", h.Pdf()});
    EXPECT_EQ(r.code, 1) << "an entry names no page: the run would fail there";
    EXPECT_TRUE(r.files.empty());
    const std::string folder = h.dir.Path().string() + "/in/";
    EXPECT_EQ(r.out, "2\t" + folder + "doc_02.png\n" + "02\t" + folder +
                         "doc_02.png  [written twice: an earlier entry writes this file]\n" +
                         "4\t" + folder + "doc_04.png\n" + "13\t" + folder +
                         "doc_13.png  [names no page: the run stops here]\n");
    EXPECT_EQ(r.err, "The following page range is invalid and was skipped: 5-4\n"
                     "1 more entries are never reached\n");

    const Result ok = h.Run({"--dry-run", "-p", "1-2", h.Pdf()});
    EXPECT_EQ(ok.code, 0);
    EXPECT_TRUE(ok.files.empty());

    // The harness reads every file of in/ as an image: this one lies elsewhere.
    const std::string out = h.dir.File("out") + "/";
    fs::create_directory(out);
    testing::WriteFile(out + "doc_04.png", "whole");
    const Result resumed =
        h.Run({"--dry-run", "--skip-existing", "-p", "4,5,5", "-t", "png", "-o", out, h.Pdf()});
    EXPECT_EQ(resumed.out, "4\t" + out + "doc_04.png  [exists: skipped]\n5\t" + out +
                               "doc_05.png\n5\t" + out +
                               "doc_05.png  [skipped: an earlier entry writes this file]\n");
}

TEST(RunTool, JsonRecordsOnStdout) {
    Harness h;
    const Result r = h.Run({"--json", "-j", "1", "-r", "72", "-p", "5-4,2,9", h.Pdf()});
    EXPECT_EQ(r.code, 1);
    const std::string folder = h.dir.Path().string() + "/in/";
    std::vector<std::string> lines;
    std::istringstream stream(r.out);
    for (std::string line; std::getline(stream, line);) {
        lines.push_back(line);
    }
    ASSERT_EQ(lines.size(), 3U) << r.out;
    const std::string document = R"("document":")" + h.Pdf() + R"(",)";
    EXPECT_EQ(lines[0],
              R"({"type":"notice",)" + document +
                  R"("text":"The following page range is invalid and was skipped: 5-4"})");
    EXPECT_THAT(lines[1],
                ::testing::MatchesRegex(R"(\{"type":"page",)" + document +
                                        R"("index":0,"entry":"2","page":2,"path":")" + folder +
                                        R"(doc_2.jpg","bytes":[0-9]+,"ms":[0-9]+\.[0-9]{3}\})"));
    EXPECT_EQ(lines[2], R"({"type":"error",)" + document +
                            R"("exit":1,"message":"Cannot open page 9.","index":1,)"
                            R"("entry":"9","path":")" +
                            folder + R"(doc_9.jpg","page_count":3,"written":1})");
    EXPECT_EQ(r.err, "folioxa-convert: " + h.Pdf() +
                         ": entry \"9\" (2 of 2): Cannot open page 9: the document has 3 pages.\n");
}

} // namespace
} // namespace folioxa
