// The tool's logic on a fake document and fake writers: exit codes, texts, prompts, records.
// The real executable on real PDFs is tested in ConvertExecutableTest.
#include "cli/Tool.h"

#include "imaging/Error.h"
#include "imaging/PageBitmap.h"
#include "support/TestFiles.h"

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

class FakeDocument : public ConversionDocument {
public:
    int Pages = 3;
    std::string Password;    // needed to open when not empty
    std::string OpenFailure; // every open fails with this
    int Opens = 0;

    void SetFileName(const std::string& name) override { FName = name; }
    void SetPassword(const std::string& password) override { FGiven = password; }
    void SetActive(bool active) override {
        if (active && !FActive) {
            ++Opens;
            if (!OpenFailure.empty()) {
                throw Error(OpenFailure);
            }
            if (FGiven != Password) {
                throw Error("Password required or incorrect password");
            }
        }
        FActive = active;
    }
    int PageCount() override { return Pages; }
    void SetPageNumber(int page) override {
        FPage = page;
        if (FActive && page != 0 && (page < 1 || page > Pages)) {
            throw Error("Cannot open page " + std::to_string(page));
        }
    }
    double PageWidth() override { return 72.0; }
    double PageHeight() override { return 36.0 * FPage; }
    std::unique_ptr<PageBitmap> RenderPageOnWhite(int width, int height) override {
        auto bitmap = std::make_unique<PageBitmap>();
        bitmap->SetSize(width, height);
        return bitmap;
    }
    bool Active() const { return FActive; }

private:
    std::string FName, FGiven;
    bool FActive = false;
    int FPage = 0;
};

void WriteImage(const std::string& kind, const PageBitmap& bitmap, const std::string& path) {
    std::ofstream file(path, std::ios::binary);
    if (!file) {
        throw Error("Cannot create file \"" + path + "\". No such file or directory");
    }
    file << kind << ' ' << bitmap.Width() << 'x' << bitmap.Height();
}

class FakeWriter : public ImageWriter {
public:
    explicit FakeWriter(std::string kind) : FKind(std::move(kind)) {}
    void Assign(const PageBitmap& bitmap) override {
        FBitmap.SetSize(bitmap.Width(), bitmap.Height());
    }
    void SaveToFile(const std::string& path) override { WriteImage(FKind, FBitmap, path); }

private:
    std::string FKind;
    PageBitmap FBitmap;
};

class FakeOutput : public ImageOutput {
public:
    std::unique_ptr<ImageWriter> CreatePngWriter() override {
        return std::make_unique<FakeWriter>("png");
    }
    std::unique_ptr<ImageWriter> CreateJpegWriter(int quality) override {
        return std::make_unique<FakeWriter>("jpeg" + std::to_string(quality));
    }
    void SaveBitmap(const PageBitmap& bitmap, const std::string& path) override {
        WriteImage("bmp", bitmap, path);
    }
};

struct Result {
    int code = 0;
    std::string out, err;
    std::vector<std::string> prompts;
    std::map<std::string, std::string> files; // name -> contents
};

struct Harness {
    testing::TempDir dir;
    FakeDocument document;
    FakeOutput output;
    std::vector<std::optional<std::string>> answers; // what the terminal prompt gives
    std::string input;                               // stdin
    bool inIsTerminal = false;

    std::string Pdf() const { return dir.File("doc.pdf"); }

    Result Run(std::vector<std::string> args) {
        Result r;
        std::ostringstream out, err;
        std::istringstream in(input);
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
            .Output = output,
            .Executable = "/nonexistent",
            .OnlineCores = 1};
        r.code = RunTool(args, env);
        r.out = out.str();
        r.err = err.str();
        for (const auto& entry : fs::directory_iterator(dir.Path())) {
            r.files[entry.path().filename()] = testing::ReadFile(entry.path());
        }
        EXPECT_FALSE(document.Active()) << "every way out closes the document";
        return r;
    }
};

TEST(RunTool, SerialRunsWriteTheWindowsFiles) {
    struct Case {
        std::vector<std::string> args;
        std::map<std::string, std::string> files;
        std::string err;
    };
    const std::vector<Case> cases = {
        {{},
         {{"doc_1.jpg", "jpeg100 72x36"},
          {"doc_2.jpg", "jpeg100 72x72"},
          {"doc_3.jpg", "jpeg100 72x108"}},
         "Conversion complete!\n"},
        {{"-t", "png", "-r", "144", "-p", "3,1", "-b", "p"},
         {{"p1.png", "png 144x72"}, {"p3.png", "png 144x216"}},
         "Conversion complete!\n"},
        {{"-t", "BMP", "-p", "5-4,2", "-r", "72"},
         {{"doc_2.bmp", "bmp 72x72"}},
         "The following page range is invalid and was skipped: 5-4\nConversion complete!\n"},
        {{"-q", "-t", "bmp", "-p", "5-4,2", "-r", "72"}, {{"doc_2.bmp", "bmp 72x72"}}, ""},
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
         [](Harness& h) { h.document.OpenFailure = "File not found or could not be opened"; },
         3,
         "folioxa-convert: File not found or could not be opened.",
         {}},
        {"page beyond the end",
         {"-p", "1,15,2"},
         none,
         1,
         "folioxa-convert: entry \"15\" (2 of 3): Cannot open page 15.",
         {"doc_1.jpg"}},
        {"entry not a number",
         {"-p", "2,x"},
         none,
         1,
         "folioxa-convert: entry \"x\" (2 of 2): 'x' is not a valid integer value.",
         {"doc_2.jpg"}},
        {"bound not a number",
         {"-p", "1,2-x"},
         none,
         1,
         "folioxa-convert: 'x' is not a valid integer value.",
         {}},
        {"missing folder",
         {"-o", "/nonexistent/folder"},
         none,
         1,
         "folioxa-convert: entry \"1\" (1 of 3): Cannot create file "
         "\"/nonexistent/folder/doc_1.jpg\". "
         "No such file or directory.",
         {}},
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
        Harness h;
        h.document.Password = "s3cret pw";
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
    Harness h;
    h.document.Pages = 12;
    const Result r = h.Run({"--dry-run", "-p", "2,02,5-4,4,13,1", "-t", "png", h.Pdf()});
    EXPECT_EQ(r.code, 1) << "an entry names no page: the run would fail there";
    EXPECT_TRUE(r.files.empty());
    const std::string folder = h.dir.Path().string() + "/";
    EXPECT_EQ(r.out, "2\t" + folder + "doc_02.png\n" + "02\t" + folder +
                         "doc_02.png  [written twice: an earlier entry writes this file]\n" +
                         "4\t" + folder + "doc_04.png\n" + "13\t" + folder +
                         "doc_13.png  [names no page: the run stops here]\n");
    EXPECT_EQ(r.err, "The following page range is invalid and was skipped: 5-4\n"
                     "1 more entries are never reached\n");

    const Result ok = h.Run({"--dry-run", "-p", "1-2", h.Pdf()});
    EXPECT_EQ(ok.code, 0);
    EXPECT_TRUE(ok.files.empty());
}

TEST(RunTool, JsonRecordsOnStdout) {
    Harness h;
    const Result r = h.Run({"--json", "-j", "1", "-r", "72", "-p", "5-4,2,9", h.Pdf()});
    EXPECT_EQ(r.code, 1);
    const std::string folder = h.dir.Path().string() + "/";
    std::vector<std::string> lines;
    std::istringstream stream(r.out);
    for (std::string line; std::getline(stream, line);) {
        lines.push_back(line);
    }
    ASSERT_EQ(lines.size(), 3U) << r.out;
    EXPECT_EQ(
        lines[0],
        R"({"type":"notice","text":"The following page range is invalid and was skipped: 5-4"})");
    EXPECT_THAT(lines[1], ::testing::MatchesRegex(
                              R"(\{"type":"page","index":0,"entry":"2","page":2,"path":")" +
                              folder + R"(doc_2.jpg","bytes":13,"ms":[0-9]+\.[0-9]{3}\})"));
    EXPECT_EQ(lines[2], R"({"type":"error","exit":1,"message":"Cannot open page 9.","index":1,)"
                        R"("entry":"9","path":")" +
                            folder + R"(doc_9.jpg","written":1})");
    EXPECT_EQ(r.err, "folioxa-convert: entry \"9\" (2 of 2): Cannot open page 9.\n");
}

} // namespace
} // namespace folioxa
