// The real folioxa-convert on generated PDFs, run as a user runs it.
#include "conversion/ConversionJob.h"
#include "pdf/PDFium.h"
#include "pool/MemoryLimit.h"
#include "support/FakeEngine.h"
#include "support/ImageFiles.h"
#include "support/SandboxTargets.h"
#include "support/TestFiles.h"
#include "support/TestPdf.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>

extern char** environ;

namespace folioxa {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using testing::ReadFile;
using testing::TempDir;
using testing::TestPage;
using testing::TestRect;
using testing::WriteFile;
using Files = std::map<std::string, std::string>; // name -> bytes

struct Outcome {
    int code = -1;
    std::string out, err;
    long peakKb = 0; // the largest resident size of the tool or any of its workers
};

// Runs the tool with `input` on stdin; stdout and stderr go to files, so neither can block it.
// With `stderrTerminal`, stderr is a pseudo-terminal instead and its text comes back as `err`.
// `environment` replaces this process's own when given; `during` is called with the tool's
// process id once it runs. With `pipedInput`, stdin is a pipe that a child of this process fills.
Outcome RunTool(const std::vector<std::string>& args, const std::string& input = "",
                bool stderrTerminal = false, std::vector<std::string> environment = {},
                const std::function<void(pid_t)>& during = {}, bool pipedInput = false) {
    TempDir io;
    WriteFile(io.File("in"), input);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    int pipe[2] = {-1, -1};
    pid_t feeder = -1;
    if (pipedInput && ::pipe2(pipe, O_CLOEXEC) == 0) {
        feeder = fork();
        if (feeder == 0) {
            for (std::size_t done = 0; done < input.size();) {
                const ssize_t put = write(pipe[1], input.data() + done, input.size() - done);
                if (put <= 0) {
                    _exit(1);
                }
                done += static_cast<std::size_t>(put);
            }
            _exit(0);
        }
        close(pipe[1]);
        posix_spawn_file_actions_adddup2(&actions, pipe[0], 0);
    } else {
        posix_spawn_file_actions_addopen(&actions, 0, io.File("in").c_str(), O_RDONLY, 0);
    }
    posix_spawn_file_actions_addopen(&actions, 1, io.File("out").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int terminal = stderrTerminal ? posix_openpt(O_RDWR | O_NOCTTY) : -1;
    if (terminal >= 0 && grantpt(terminal) == 0 && unlockpt(terminal) == 0) {
        posix_spawn_file_actions_addopen(&actions, 2, ptsname(terminal), O_RDWR | O_NOCTTY, 0);
    } else {
        posix_spawn_file_actions_addopen(&actions, 2, io.File("err").c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
    }
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    // A session of its own: no controlling terminal that a prompt could wait on. Signals the
    // test ignores are the tool's own business again.
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGDEF);
    sigset_t defaults;
    sigfillset(&defaults);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    std::vector<std::string> all = {FOLIOXA_CONVERT};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& arg : all) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (auto& variable : environment) {
        envp.push_back(variable.data());
    }
    envp.push_back(nullptr);
    pid_t pid = 0;
    Outcome outcome;
    if (posix_spawn(&pid, FOLIOXA_CONVERT, &actions, &attributes, argv.data(),
                    environment.empty() ? environ : envp.data()) == 0) {
        if (during) {
            during(pid);
        }
        int status = 0;
        // The terminal's buffer is small: read it while the tool writes, until it is closed.
        for (char buffer[256]; terminal >= 0;) {
            const ssize_t got = read(terminal, buffer, sizeof buffer);
            if (got <= 0) {
                break;
            }
            outcome.err.append(buffer, static_cast<std::size_t>(got));
        }
        rusage usage{};
        wait4(pid, &status, 0, &usage);
        outcome.peakKb = usage.ru_maxrss;
        outcome.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    if (feeder > 0) {
        close(pipe[0]);
        waitpid(feeder, nullptr, 0);
    }
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    outcome.out = ReadFile(io.File("out"));
    if (terminal >= 0) {
        close(terminal);
    } else {
        outcome.err = ReadFile(io.File("err"));
    }
    return outcome;
}

Files FilesIn(const fs::path& folder, const std::string& skip = ".pdf") {
    Files files;
    for (const auto& entry : fs::directory_iterator(folder)) {
        if (entry.is_regular_file() && entry.path().extension() != skip) {
            files[entry.path().filename()] = ReadFile(entry.path());
        }
    }
    return files;
}

std::uint32_t BigEndian(const std::string& b, std::size_t at) {
    std::uint32_t v = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        v = (v << 8) | static_cast<unsigned char>(b[at + i]);
    }
    return v;
}

// Width x height read from the file's own header (PNG IHDR, BMP header, JPEG SOF0), or of a
// TIFF file as libtiff decodes it.
std::string ImageSize(const std::string& b) {
    if (b.rfind("II*", 0) == 0) {
        const auto tiff = testing::DecodeTiff(b);
        return std::to_string(tiff.Image.Width) + "x" + std::to_string(tiff.Image.Height);
    }
    if (b.rfind("\x89PNG", 0) == 0) {
        return std::to_string(BigEndian(b, 16)) + "x" + std::to_string(BigEndian(b, 20));
    }
    if (b.rfind("BM", 0) == 0) {
        const auto le = [&](std::size_t at) {
            return static_cast<unsigned char>(b[at]) | static_cast<unsigned char>(b[at + 1]) << 8;
        };
        return std::to_string(le(18)) + "x" + std::to_string(le(22));
    }
    const std::size_t sof = b.find("\xFF\xC0");
    if (b.rfind("\xFF\xD8", 0) == 0 && sof != std::string::npos) {
        const auto be16 = [&](std::size_t at) {
            return static_cast<unsigned char>(b[at]) << 8 | static_cast<unsigned char>(b[at + 1]);
        };
        return std::to_string(be16(sof + 7)) + "x" + std::to_string(be16(sof + 5));
    }
    return "not an image";
}

// Five pages of different sizes and contents, one rotated, one with a filled form field.
std::vector<TestPage> FivePages() {
    std::vector<TestPage> pages(5);
    pages[0] = {144, 72, 0, {{10, 10, 50, 30, 0xFF0000}}, "", false};
    pages[1] = {72, 144, 90, {{0, 0, 72, 72, 0x00FF00}}, "", false};
    pages[2] = {300, 100, 0, {}, "Folioxa", false};
    pages[3] = {100, 100, 0, {{20, 20, 60, 60, 0x0000FF}}, "", true};
    pages[4] = {36, 54, 0, {{0, 0, 36, 54, 0x808080}}, "", false};
    return pages;
}

struct Fixture {
    TempDir dir;
    std::string pdf = dir.File("report.pdf");
    explicit Fixture(const std::vector<TestPage>& pages = FivePages()) {
        WriteFile(pdf, testing::MakePdf(pages));
    }
    std::string Folder() const { return dir.Path().string() + "/"; }
};

TEST(FolioxaConvert, EveryOption) {
    struct Case {
        std::vector<std::string> args;
        std::map<std::string, std::string> sizes; // file -> width x height
        std::string err;
    };
    const std::vector<Case> cases = {
        {{}, // JPG at 300 DPI, every page, the PDF's folder, the window's base name
         {{"report_1.jpg", "600x300"},
          {"report_2.jpg", "600x300"},
          {"report_3.jpg", "1250x417"},
          {"report_4.jpg", "417x417"},
          {"report_5.jpg", "150x225"}},
         "Conversion complete!\n"},
        {{"-p", "5,1-2", "-t", "png", "-r", "72"},
         {{"report_5.png", "36x54"}, {"report_1.png", "144x72"}, {"report_2.png", "144x72"}},
         "Conversion complete!\n"},
        {{"--pages=3-1,4", "--type=bMp", "--dpi=18"},
         {{"report_4.bmp", "25x25"}},
         "The following page range is invalid and was skipped: 3-1\nConversion complete!\n"},
        {{"-q", "-p", "4", "-r", "150", "-b", "x-"}, {{"x-4.jpg", "208x208"}}, ""},
        // A missing folder is made with its parents.
        {{"-p", "5", "-r", "250", "-t", "PNG", "-o", "OUT"}, {{"OUT", "folder"}}, ""},
        // The longer side of a landscape, a rotated and a portrait page; 133.3 rounds to 133.
        {{"-p", "1,2,5", "--scale-to", "200", "-t", "png"},
         {{"report_1.png", "200x100"}, {"report_2.png", "200x100"}, {"report_5.png", "133x200"}},
         "Conversion complete!\n"},
        {{"-p", "5", "--scale-to-x", "100", "-t", "png"},
         {{"report_5.png", "100x150"}},
         "Conversion complete!\n"},
        {{"-p", "5", "--scale-to-x", "100", "--scale-to-y", "100", "-t", "bmp", "-r", "9"},
         {{"report_5.bmp", "100x100"}},
         "Conversion complete!\n"},
        {{"-p", "3,1", "-t", "tiff", "-r", "72"},
         {{"report_3.tif", "300x100"}, {"report_1.tif", "144x72"}},
         "Conversion complete!\n"},
    };
    for (const auto& c : cases) {
        Fixture f;
        const fs::path outFolder = f.dir.Path() / "OUT" / "new";
        std::vector<std::string> args = c.args;
        for (auto& arg : args) {
            if (arg == "OUT") {
                arg = outFolder;
            }
        }
        args.push_back(f.pdf);
        const Outcome r = RunTool(args);
        SCOPED_TRACE(::testing::PrintToString(c.args));
        EXPECT_EQ(r.code, 0) << r.err;
        if (c.sizes.count("OUT") > 0) {
            // -o without its "/": one is added; 18 pt at 250 DPI is 62.5 and rounds to 62.
            const Files out = FilesIn(outFolder);
            ASSERT_EQ(out.size(), 1U);
            EXPECT_EQ(ImageSize(out.at("report_5.png")), "125x188");
            continue;
        }
        std::map<std::string, std::string> sizes;
        for (const auto& [name, bytes] : FilesIn(f.dir.Path())) {
            sizes[name] = ImageSize(bytes);
        }
        EXPECT_EQ(sizes, c.sizes);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.out, "");
    }
}

TEST(FolioxaConvert, LowerQualityMakesSmallerJpegFiles) {
    Fixture f;
    std::map<std::string, std::string> files; // quality: bytes
    for (const char* quality : {"100", "75"}) {
        ASSERT_EQ(
            RunTool({"-p", "4", "-r", "300", "--quality", quality, "-b", quality, f.pdf}).code, 0);
        files[quality] = ReadFile(f.dir.File(std::string(quality) + "4.jpg"));
    }
    EXPECT_LT(files.at("75").size(), files.at("100").size());
    EXPECT_GE(
        testing::Psnr(testing::DecodeJpeg(files.at("100")), testing::DecodeJpeg(files.at("75"))),
        30.0);
}

TEST(FolioxaConvert, HelpAndVersion) {
    const Outcome help = RunTool({"--help"});
    EXPECT_EQ(help.code, 0);
    EXPECT_THAT(help.out, HasSubstr("Usage: folioxa-convert [options] FILE.pdf"));
    EXPECT_THAT(help.out, HasSubstr("  3  a document could not be opened"));
    const Outcome version = RunTool({"--version"});
    EXPECT_EQ(version.code, 0);
    // What the kernel offers, asked directly.
    const long landlock = syscall(SYS_landlock_create_ruleset, nullptr, 0, 1U);
    EXPECT_THAT(version.out,
                ::testing::StartsWith("folioxa-convert 2.0.1.2\nsandbox: " +
                                      (landlock > 0 ? "Landlock ABI " + std::to_string(landlock) +
                                                          ", seccomp filter, resource limits\n"
                                                    : std::string("no Landlock ("))));
}

// The fake engine runs the probes inside the real worker and draws what succeeded into page 1.
TEST(FolioxaConvert, WorkerSandboxStopsWhatACompromisedEngineTries) {
    const testing::SandboxTargets targets;
    TempDir dir;
    WriteFile(dir.File("doc.pdf"),
              testing::FakePdf({"probe-on 1 " + testing::SandboxProbeWords(targets.Get())}));
    const std::string page = targets.Get().Folder + "/doc_1.png";
    for (const bool confined : {true, false}) {
        SCOPED_TRACE(confined ? "confined" : "unconfined");
        std::vector<std::string> environment = testing::FakeEngineEnvironment();
        if (!confined) {
            environment.emplace_back("FOLIOXA_TEST_UNCONFINED=1");
        }
        const Outcome r = RunTool(
            {"-q", "-t", "png", "-r", "72", "-o", targets.Get().Folder, dir.File("doc.pdf")}, "",
            false, environment);
        ASSERT_EQ(r.code, 0) << r.err;
        const testing::DecodedImage image = testing::DecodePng(ReadFile(page));
        const unsigned succeeded = testing::ReadSandboxProbes([&image](int x, int y) {
            const std::size_t at = 3 * static_cast<std::size_t>(y * image.Width + x);
            return std::uint32_t{image.Rgb.at(at)} << 16 |
                   std::uint32_t{image.Rgb.at(at + 1)} << 8 | image.Rgb.at(at + 2);
        });
        EXPECT_EQ(testing::SandboxProbeNames(succeeded),
                  testing::SandboxProbeNames(
                      confined ? 0 : testing::kAllSandboxProbes & ~testing::kSessionProbes));
    }
}

TEST(FolioxaConvert, ExitCodes) {
    Fixture f;
    WriteFile(f.dir.File("text.pdf"), "just some text, no PDF at all\n");
    struct Case {
        std::vector<std::string> args;
        int code;
        std::string err;
        std::vector<std::string> files;
    };
    const std::vector<Case> cases = {
        {{"-p", "1-2", f.pdf}, 0, "Conversion complete!\n", {"report_1.jpg", "report_2.jpg"}},
        {{"-p", "2,7,1", f.pdf},
         1,
         "folioxa-convert: " + f.pdf +
             ": entry \"7\" (2 of 3): Cannot open page 7: the document has 5 pages.\n",
         {"report_2.jpg"}},
        {{"-p", "1,2-x", f.pdf},
         1,
         "folioxa-convert: " + f.pdf + ": 'x' is not a valid integer value.\n",
         {}},
        {{"-p", "1", "-o", f.pdf + "/out", f.pdf},
         1,
         "folioxa-convert: Cannot create folder \"" + f.pdf + "/out/\". Not a directory.\n",
         {}},
        {{"-j", "1", "-p", "", f.pdf}, 2, "folioxa-convert: Invalid page range provided!\n", {}},
        {{"-j", "2", "-p", "", f.pdf}, 2, "folioxa-convert: Invalid page range provided!\n", {}},
        {{"-j", "2", "-p", "3,3", "-r", "9", f.pdf}, 0, "Conversion complete!\n", {"report_3.jpg"}},
        {{"-r", "3000", f.pdf},
         2,
         "folioxa-convert: --dpi: 3000 is outside 1 to 2400\nTry 'folioxa-convert --help'.\n",
         {}},
        {{f.dir.File("none.pdf")},
         3,
         "folioxa-convert: " + f.dir.File("none.pdf") +
             ": File not found or could not be opened.\n",
         {}},
        {{f.dir.File("text.pdf")},
         3,
         "folioxa-convert: " + f.dir.File("text.pdf") + ": File not in PDF format or corrupted.\n",
         {}},
    };
    for (const auto& c : cases) {
        for (const auto& name : FilesIn(f.dir.Path())) {
            fs::remove(f.dir.Path() / name.first);
        }
        const Outcome r = RunTool(c.args);
        SCOPED_TRACE(::testing::PrintToString(c.args));
        EXPECT_EQ(r.code, c.code);
        EXPECT_EQ(r.err, c.err);
        std::vector<std::string> names;
        for (const auto& [name, bytes] : FilesIn(f.dir.Path())) {
            names.push_back(name);
        }
        EXPECT_EQ(names, c.files);
    }
}

TEST(FolioxaConvert, ProtectedDocuments) {
    Fixture f;
    struct Case {
        std::string mode, password;
        std::vector<std::string> args;
        std::string input;
        int code;
    };
    const std::vector<Case> cases = {
        {"rc4-128", "secret", {"--password-stdin"}, "secret\n", 0},
        {"aes-256", "secret", {"--password-stdin"}, "secret", 0}, // no newline at the end
        {"aes-256", "p\xC3\xA4ss w", {"--password-stdin", "-j", "2"}, "p\xC3\xA4ss w\n", 0},
        {"aes-256", "secret", {"--password-stdin"}, "wrong\n", 3},
        {"aes-256", "secret", {}, "secret\n", 3}, // no terminal, no --password-stdin: no prompt
    };
    for (const auto& c : cases) {
        const std::string locked = f.dir.File("locked.pdf");
        testing::EncryptPdf(f.pdf, locked, c.password, "owner", c.mode);
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"-p", "1,3", "-t", "png", "-r", "36", locked});
        const Outcome r = RunTool(args, c.input);
        SCOPED_TRACE(c.mode + " " + ::testing::PrintToString(c.args));
        EXPECT_EQ(r.code, c.code) << r.err;
        const bool written =
            fs::exists(f.dir.Path() / "locked_1.png") && fs::exists(f.dir.Path() / "locked_3.png");
        EXPECT_EQ(written, c.code == 0);
        if (c.code == 3) {
            EXPECT_THAT(r.err, HasSubstr("Password required or incorrect password.\n"));
            EXPECT_THAT(r.err, ::testing::Not(HasSubstr(c.password)));
        }
        fs::remove(f.dir.Path() / "locked_1.png");
        fs::remove(f.dir.Path() / "locked_3.png");
    }
}

TEST(FolioxaConvert, SelectionBeyondTheLastPage) {
    for (const char* jobs : {"1", "2"}) {
        Fixture f;
        const Outcome r = RunTool({"-j", jobs, "-t", "png", "-r", "36", "-p", "4-9", f.pdf});
        EXPECT_EQ(r.code, 1) << jobs;
        EXPECT_EQ(r.err,
                  "folioxa-convert: " + f.pdf +
                      ": entry \"6\" (3 of 6): Cannot open page 6: the document has 5 pages.\n")
            << jobs;
        const Files files = FilesIn(f.dir.Path());
        EXPECT_EQ(files.size(), 2U) << jobs;
        EXPECT_EQ(files.count("report_4.png") + files.count("report_5.png"), 2U) << jobs;
    }
}

TEST(FolioxaConvert, DryRunWritesNothing) {
    Fixture f;
    const Outcome r = RunTool({"--dry-run", "-p", "2,02,1-3,8,1", "-t", "bmp", f.pdf});
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(FilesIn(f.dir.Path()).empty());
    const std::string d = f.Folder();
    EXPECT_EQ(r.out, "2\t" + d + "report_2.bmp\n" +       //
                         "02\t" + d + "report_02.bmp\n" + //
                         "1\t" + d + "report_1.bmp\n" +   //
                         "2\t" + d +
                         "report_2.bmp  [written twice: an earlier entry writes this file]\n" +
                         "3\t" + d + "report_3.bmp\n" + //
                         "8\t" + d + "report_8.bmp  [names no page: the run stops here]\n");
    EXPECT_EQ(r.err, "1 more entries are never reached\n");
    const Outcome good = RunTool({"--dry-run", "-q", f.pdf});
    EXPECT_EQ(good.code, 0);
    EXPECT_TRUE(FilesIn(f.dir.Path()).empty());
    EXPECT_EQ(std::count(good.out.begin(), good.out.end(), '\n'), 5);
}

// A JSON value as this small reader sees it: strings, numbers, true/false/null, flat objects.
using JsonRecord = std::map<std::string, std::string>;

// Parses one line holding one flat JSON object; fails the test on anything else.
JsonRecord ParseJsonLine(const std::string& line) {
    JsonRecord record;
    std::size_t i = 0;
    const auto fail = [&](const char* what) {
        ADD_FAILURE() << what << " at " << i << " in " << line;
        i = line.size();
    };
    const auto skipBlanks = [&] {
        while (i < line.size() && line[i] == ' ') {
            ++i;
        }
    };
    const auto string = [&]() -> std::string {
        std::string s;
        if (line[i] != '"') {
            fail("a string expected");
            return s;
        }
        for (++i; i < line.size() && line[i] != '"'; ++i) {
            if (static_cast<unsigned char>(line[i]) < 0x20) {
                fail("a raw control character");
            } else if (line[i] == '\\') {
                const char e = line[++i];
                if (e == 'u') {
                    s += "\\u" + line.substr(i + 1, 4);
                    i += 4;
                } else {
                    const std::string from = "\"\\/bfnrt", to = "\"\\/\b\f\n\r\t";
                    const auto k = from.find(e);
                    k == std::string::npos ? fail("a bad escape") : void(s += to[k]);
                }
            } else {
                s += line[i];
            }
        }
        if (i >= line.size()) {
            fail("an unterminated string");
        }
        ++i;
        return s;
    };
    if (line.empty() || line[i++] != '{') {
        fail("an object expected");
        return record;
    }
    skipBlanks();
    while (i < line.size() && line[i] != '}') {
        const std::string key = string();
        skipBlanks();
        if (i >= line.size() || line[i++] != ':') {
            fail("a colon expected");
            break;
        }
        skipBlanks();
        std::string value;
        if (i < line.size() && line[i] == '"') {
            value = string();
        } else {
            const std::size_t end = line.find_first_of(",}", i);
            value = line.substr(i, end - i);
            i = end;
            const bool number =
                !value.empty() && value.find_first_not_of("-+.0123456789eE") == std::string::npos;
            if (!number && value != "true" && value != "false" && value != "null") {
                fail("a bad value");
            }
        }
        record[key] = value;
        skipBlanks();
        if (i < line.size() && line[i] == ',') {
            ++i;
            skipBlanks();
        }
    }
    if (i + 1 != line.size()) {
        fail("text after the object");
    }
    return record;
}

std::vector<JsonRecord> JsonLines(const std::string& out) {
    std::vector<JsonRecord> records;
    std::istringstream stream(out);
    for (std::string line; std::getline(stream, line);) {
        records.push_back(ParseJsonLine(line));
    }
    return records;
}

TEST(FolioxaConvert, JsonLinesParse) {
    for (const char* jobs : {"1", "2"}) {
        Fixture f;
        const Outcome r =
            RunTool({"--json", "-j", jobs, "-t", "png", "-r", "72", "-p", "3-2,1,4", f.pdf});
        EXPECT_EQ(r.code, 0) << r.err;
        const auto records = JsonLines(r.out);
        ASSERT_EQ(records.size(), 4U) << r.out;
        EXPECT_EQ(records[0].at("type"), "notice");
        EXPECT_EQ(records[0].at("text"),
                  "The following page range is invalid and was skipped: 3-2");
        std::map<std::string, JsonRecord> pages; // by entry: workers may finish in any order
        for (std::size_t i = 1; i < 3; ++i) {
            EXPECT_EQ(records[i].at("type"), "page");
            pages[records[i].at("entry")] = records[i];
        }
        ASSERT_EQ(pages.size(), 2U);
        for (const auto& [entry, page] : pages) {
            const std::string path = f.Folder() + "report_" + entry + ".png";
            EXPECT_EQ(page.at("path"), path);
            EXPECT_EQ(page.at("page"), entry);
            EXPECT_EQ(std::stoll(page.at("bytes")), static_cast<long long>(fs::file_size(path)));
            EXPECT_GE(std::stod(page.at("ms")), 0.0);
        }
        EXPECT_EQ(pages.at("1").at("index"), "0");
        EXPECT_EQ(pages.at("4").at("index"), "1");
        EXPECT_EQ(records[3].at("type"), "summary");
        EXPECT_EQ(records[3].at("written"), "2");
        EXPECT_EQ(records[3].at("jobs"), jobs);
        EXPECT_EQ(r.err, "") << "nothing but failures on stderr with --json";
    }
    Fixture f;
    const Outcome failed = RunTool({"--json", "-p", "1,x", "-r", "36", f.pdf});
    EXPECT_EQ(failed.code, 1);
    const auto records = JsonLines(failed.out);
    ASSERT_EQ(records.size(), 2U);
    EXPECT_EQ(records[1].at("type"), "error");
    EXPECT_EQ(records[1].at("message"), "'x' is not a valid integer value.");
    EXPECT_EQ(records[1].at("entry"), "x");
    EXPECT_EQ(records[1].at("exit"), "1");
}

// Grey as the README gives it: the luma of red, green and blue in 16-bit fixed point.
int GreyRule(const std::uint8_t* rgb) {
    return (19595 * rgb[0] + 38470 * rgb[1] + 7471 * rgb[2] + 32768) >> 16;
}

// Every pixel mode, decoded, against the colour page drawn without options: grey is the rule
// exactly (within JPEG's rounding), black and white its threshold at 128, a transparent page
// keeps its colours where it paints and is clear elsewhere.
TEST(FolioxaConvert, PixelModesFollowTheirRules) {
    Fixture f({{100,
                60,
                0,
                {{10, 10, 30, 20, 0xFF0000},
                 {50, 10, 30, 20, 0x00FF00},
                 {10, 35, 30, 20, 0x7F7F7F},
                 {50, 35, 30, 20, 0x202080}},
                ""}});
    ASSERT_EQ(RunTool({"-q", "-t", "png", "-r", "72", "-b", "colour", f.pdf}).code, 0);
    const testing::DecodedImage colour = testing::DecodePng(ReadFile(f.dir.File("colour1.png")));
    struct Case {
        std::vector<std::string> args;
        std::string file;
        enum { Grey, Mono, Clear, Same } rule;
        double minPsnr = 0; // 0: exact
    };
    const std::vector<Case> cases = {
        {{"-t", "png", "--gray"}, "m1.png", Case::Grey},
        {{"-t", "tiff", "--gray"}, "m1.tif", Case::Grey},
        {{"-t", "bmp", "--gray"}, "m1.bmp", Case::Grey},
        {{"-t", "webp", "--gray"}, "m1.webp", Case::Grey},
        {{"-t", "jpg", "--gray"}, "m1.jpg", Case::Grey, 40},
        {{"-t", "png", "--mono"}, "m1.png", Case::Mono},
        {{"-t", "tiff", "--mono"}, "m1.tif", Case::Mono},
        {{"-t", "bmp", "--mono"}, "m1.bmp", Case::Mono},
        {{"-t", "png", "--transparent"}, "m1.png", Case::Clear},
        {{"-t", "tiff", "--transparent"}, "m1.tif", Case::Clear},
        {{"-t", "webp", "--transparent"}, "m1.webp", Case::Clear},
        {{"-t", "webp"}, "m1.webp", Case::Same},
        {{"-t", "webp", "--quality", "80"}, "m1.webp", Case::Same, 25},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        TempDir out;
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"-q", "-r", "72", "-b", "m", "-o", out.Path(), f.pdf});
        ASSERT_EQ(RunTool(args).code, 0);
        const std::string bytes = ReadFile(out.File(c.file));
        const testing::DecodedImage image = testing::DecodeImage(bytes);
        ASSERT_EQ(image.Rgb.size(), colour.Rgb.size());
        testing::DecodedImage expected = colour;
        for (std::size_t i = 0; i < colour.Rgb.size(); i += 3) {
            const int grey = GreyRule(&colour.Rgb[i]);
            const int value = c.rule == Case::Grey ? grey : grey >= 128 ? 255 : 0;
            if (c.rule == Case::Grey || c.rule == Case::Mono) {
                expected.Rgb[i] = expected.Rgb[i + 1] = expected.Rgb[i + 2] =
                    static_cast<std::uint8_t>(value);
            }
        }
        if (c.minPsnr > 0) {
            EXPECT_GE(testing::Psnr(expected, image), c.minPsnr);
        } else if (c.rule != Case::Clear) {
            EXPECT_EQ(image.Rgb, expected.Rgb);
        }
        if (c.args[1] == "webp") {
            EXPECT_EQ(testing::DecodeWebp(bytes).Lossless, c.minPsnr == 0);
        }
        if (c.rule == Case::Clear) {
            ASSERT_EQ(image.Alpha.size(), image.Rgb.size() / 3);
            for (std::size_t p = 0; p < image.Alpha.size(); ++p) {
                const bool white = colour.Rgb[3 * p] == 255 && colour.Rgb[3 * p + 1] == 255 &&
                                   colour.Rgb[3 * p + 2] == 255;
                // Exactly the page's own colour where it paints; nothing where it does not.
                ASSERT_EQ(image.Alpha[p], white ? 0 : 255) << p;
                if (!white) {
                    ASSERT_EQ(image.Rgb[3 * p], colour.Rgb[3 * p]) << p;
                }
            }
        } else {
            EXPECT_TRUE(image.Alpha.empty());
        }
    }
}

// What the page is drawn as: its boxes (with /Rotate), its annotations, its form field's
// highlight, its background. Each probe is a pixel at 72 DPI, named by what it shows.
TEST(FolioxaConvert, DrawingOptionsChangeWhatIsDrawn) {
    TestPage page{300, 200, 0, {{0, 0, 10, 10, 0x00FF00}}, "x"};
    page.Boxes = {{"CropBox", {10, 10, 290, 190}},
                  {"BleedBox", {-20, 5, 295, 195}}, // cut to the media box
                  {"TrimBox", {20, 20, 280, 180}}};
    page.Annotations = {{200, 120, 40, 40, 0x0000FF}};
    TestPage turned = page;
    turned.Rotate = 90;
    Fixture f({page, turned});
    const auto what = [](const testing::DecodedImage& image, int x, int y) -> std::string {
        if (x >= image.Width || y >= image.Height) {
            return "outside";
        }
        const std::size_t p = static_cast<std::size_t>(y * image.Width + x);
        if (!image.Alpha.empty() && image.Alpha[p] == 0) {
            return "clear";
        }
        const std::uint8_t* rgb = &image.Rgb[3 * p];
        const std::uint32_t value = rgb[0] << 16 | rgb[1] << 8 | rgb[2];
        if (value == 0xFFFFFF || value == 0x0000FF || value == 0x00FF00) {
            return value == 0xFFFFFF ? "white" : value == 0x0000FF ? "blue" : "green";
        }
        return rgb[0] < 250 && rgb[2] >= 250 ? "tinted" : "other";
    };
    struct Probe {
        int x, y;
        std::string shows;
    };
    struct Case {
        std::vector<std::string> args;
        std::string size;
        std::vector<Probe> probes;
    };
    // In the crop box the annotation's middle is at (210, 50), the field's empty end at
    // (250, 150), the green corner outside; in the media box they are 10 points further.
    const std::vector<Case> cases = {
        {{}, "280x180", {{210, 50, "white"}, {250, 150, "tinted"}, {2, 2, "white"}}},
        {{"--annotations"}, "280x180", {{210, 50, "blue"}, {250, 150, "tinted"}}},
        {{"--no-highlight"}, "280x180", {{210, 50, "white"}, {250, 150, "white"}}},
        {{"--transparent", "--annotations"},
         "280x180",
         {{2, 2, "clear"}, {210, 50, "blue"}, {250, 150, "tinted"}}},
        {{"--box", "media"}, "300x200", {{5, 195, "green"}, {260, 160, "tinted"}}},
        {{"--box", "crop"}, "280x180", {}},
        {{"--box", "bleed"}, "295x190", {{5, 187, "green"}}},
        {{"--box", "trim"}, "260x160", {}},
        {{"--box", "art"}, "280x180", {}}, // none: the crop box
        {{"--box", "trim", "-p", "2"}, "160x260", {}},
        {{"--box", "media", "-p", "2"}, "200x300", {{5, 5, "green"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        TempDir out;
        std::vector<std::string> args = c.args;
        if (std::find(args.begin(), args.end(), "-p") == args.end()) {
            args.insert(args.end(), {"-p", "1"});
        }
        args.insert(args.end(), {"-q", "-t", "png", "-r", "72", "-o", out.Path(), f.pdf});
        ASSERT_EQ(RunTool(args).code, 0);
        const Files files = FilesIn(out.Path());
        ASSERT_EQ(files.size(), 1U);
        const testing::DecodedImage image = testing::DecodePng(files.begin()->second);
        EXPECT_EQ(std::to_string(image.Width) + "x" + std::to_string(image.Height), c.size);
        for (const Probe& probe : c.probes) {
            EXPECT_EQ(what(image, probe.x, probe.y), probe.shows) << probe.x << "," << probe.y;
        }
    }
}

// A batch interrupted after two pages, one of them left empty, resumes: whole files are kept
// as they are, the empty one and the rest are drawn, and the records say which.
TEST(FolioxaConvert, SkipExistingResumesAnInterruptedBatch) {
    for (const char* jobs : {"1", "2"}) {
        SCOPED_TRACE(jobs);
        Fixture f;
        WriteFile(f.dir.File("report_1.png"), "an earlier page");
        WriteFile(f.dir.File("report_3.png"), "");
        const Outcome r = RunTool({"--skip-existing", "--json", "-j", jobs, "-t", "png", "-r", "36",
                                   "-p", "1-4,1", f.pdf});
        EXPECT_EQ(r.code, 0) << r.err;
        const Files files = FilesIn(f.dir.Path());
        EXPECT_EQ(files.size(), 4U);
        EXPECT_EQ(files.at("report_1.png"), "an earlier page");
        for (const char* drawn : {"report_2.png", "report_3.png", "report_4.png"}) {
            EXPECT_NO_THROW(testing::DecodePng(files.at(drawn))) << drawn;
        }
        std::vector<std::string> types;
        for (const JsonRecord& record : JsonLines(r.out)) {
            types.push_back(record.at("type") + " " +
                            (record.count("entry") ? record.at("entry") : record.at("skipped")));
        }
        EXPECT_THAT(types, ::testing::ElementsAre("skipped 1", "page 2", "page 3", "page 4",
                                                  "skipped 1", "summary 2"));
    }
}

TEST(FolioxaConvert, WorkersWriteTheSameBytesAsOneProcess) {
    for (const char* type : {"JPG", "PNG", "BMP"}) {
        Fixture one, two, four;
        const std::vector<std::string> common = {"-t", type, "-r", "100", "-p", "5,1-4"};
        auto args = [&](const char* jobs, const Fixture& f) {
            std::vector<std::string> a = common;
            a.insert(a.end(), {"-j", jobs, f.pdf});
            return a;
        };
        ASSERT_EQ(RunTool(args("1", one)).code, 0);
        ASSERT_EQ(RunTool(args("2", two)).code, 0);
        ASSERT_EQ(RunTool(args("4", four)).code, 0);
        EXPECT_EQ(FilesIn(one.dir.Path()).size(), 5U);
        EXPECT_TRUE(FilesIn(one.dir.Path()) == FilesIn(two.dir.Path())) << type;
        EXPECT_TRUE(FilesIn(one.dir.Path()) == FilesIn(four.dir.Path())) << type;
    }
    Fixture one, two;
    ASSERT_EQ(RunTool({"-j", "1", "-t", "png", "-r", "100", one.pdf}).code, 0);
    const Outcome parallel = RunTool({"-j", "2", "-t", "png", "-r", "100", two.pdf});
    ASSERT_EQ(parallel.code, 0);
    EXPECT_EQ(parallel.err, "Conversion complete!\n") << "no progress line off a terminal";
    EXPECT_TRUE(FilesIn(one.dir.Path()) == FilesIn(two.dir.Path()));
}

TEST(FolioxaConvert, WorkersReportTheFirstFailingEntryInListOrder) {
    Fixture f;
    // Entries 3 ("x") and 6 ("9") fail; whichever a worker meets first, "x" is reported.
    const Outcome r = RunTool({"-j", "3", "-t", "bmp", "-r", "36", "-p", "1,2,x,4,5,9", f.pdf});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, "folioxa-convert: " + f.pdf +
                         ": entry \"x\" (3 of 6): 'x' is not a valid integer value.\n");
    const Files files = FilesIn(f.dir.Path());
    EXPECT_EQ(files.count("report_1.bmp") + files.count("report_2.bmp"), 2U)
        << "every entry before the failing one is written";
    EXPECT_EQ(files.count("report_9.bmp"), 0U);
}

// Workers of runs this process started whose parent has gone: with this process as their
// subreaper they become its children. Those still running, after the ended ones are waited for.
std::vector<int> OrphanedWorkersRunning() {
    std::vector<int> running;
    for (const int child : testing::Children()) {
        if (waitpid(child, nullptr, WNOHANG) == 0) {
            running.push_back(child);
        }
    }
    return running;
}

// The engine runs in the workers only: never in the tool, before, during or after a run, while
// its worker has it (the fake one, on the library path of both) the whole time.
TEST(FolioxaConvert, NeverHasTheEngineInItsAddressSpace) {
    TempDir dir;
    WriteFile(dir.File("doc.pdf"), testing::FakePdf({"pages 2", "hang-on 2"}));
    int samples = 0;
    bool workerHadIt = false;
    const auto sample = [&](const std::string& tool) {
        const std::optional<bool> mapped = testing::HasEngineMapped(tool);
        EXPECT_NE(mapped, true);
        samples += mapped ? 1 : 0;
    };
    const Outcome r = RunTool(
        {"-j", "1", "-t", "png", "-r", "72", "--page-timeout", "2", dir.File("doc.pdf")}, "", false,
        testing::FakeEngineEnvironment(), [&](pid_t pid) {
            const std::string tool = std::to_string(pid);
            // Until page 1 is written and its worker hangs in page 2.
            for (int i = 0; i < 400 && !fs::exists(dir.File("doc_1.png")); ++i) {
                sample(tool);
                usleep(10000);
            }
            sample(tool);
            for (const int worker : testing::Children(tool)) {
                workerHadIt =
                    workerHadIt || testing::HasEngineMapped(std::to_string(worker)).value_or(false);
            }
        });
    EXPECT_EQ(r.code, 1) << r.err;
    EXPECT_GT(samples, 0);
    EXPECT_TRUE(workerHadIt);
}

TEST(FolioxaConvert, AnEngineThatCrashesOrHangsCostsOnePage) {
    struct Case {
        const char* order; // for page 2
        std::vector<std::string> options;
        std::string message;
    };
    const Case cases[] = {
        {"crash-on 2", {}, "The PDF engine stopped while drawing page 2 ("},
        {"abort-on 2", {}, "The PDF engine stopped while drawing page 2 ("},
        {"hang-on 2", {"--page-timeout", "1"}, "Page 2 took longer than the limit of 1 seconds."},
    };
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    for (const Case& c : cases) {
        for (const char* jobs : {"1", "2"}) {
            SCOPED_TRACE(std::string(c.order) + " with -j " + jobs);
            TempDir dir;
            WriteFile(dir.File("doc.pdf"), testing::FakePdf({"pages 3", c.order}));
            std::vector<std::string> args = {"-j", jobs, "-t", "png", "-r", "72"};
            args.insert(args.end(), c.options.begin(), c.options.end());
            args.push_back(dir.File("doc.pdf"));
            const Outcome r = RunTool(args, "", false, testing::FakeEngineEnvironment());
            EXPECT_EQ(r.code, 1);
            // A sanitizer build's worker reports its crash on the same stderr: only the tool's
            // own lines count.
            std::vector<std::string> lines;
            std::istringstream err(r.err);
            for (std::string line; std::getline(err, line);) {
                if (line.starts_with("folioxa-convert: ")) {
                    lines.push_back(line);
                }
            }
            EXPECT_THAT(lines, ::testing::ElementsAre(
                                   ::testing::StartsWith("folioxa-convert: " + dir.File("doc.pdf") +
                                                         ": entry \"2\" (2 of 3): " + c.message)));
            Files files = FilesIn(dir.Path());
            EXPECT_EQ(files.size(), 1U);
            EXPECT_TRUE(testing::IsFakePage(files["doc_1.png"], 1));
            EXPECT_THAT(OrphanedWorkersRunning(), ::testing::IsEmpty());

            args.insert(args.end() - 1, {"-p", "1,3"});
            const Outcome next = RunTool(args, "", false, testing::FakeEngineEnvironment());
            EXPECT_EQ(next.code, 0) << next.err;
            EXPECT_TRUE(testing::IsFakePage(FilesIn(dir.Path())["doc_3.png"], 3));
        }
    }
}

// More documents than descriptors: each document's file is open only while its entries are
// handed out. The shell sets both limits, so raising the soft one does not help.
TEST(FolioxaConvert, MoreDocumentsThanDescriptorsAllConvert) {
    TempDir dir;
    TestPage page;
    page.Width = page.Height = 72;
    const std::string pdf = testing::MakePdf({page});
    std::string names;
    constexpr int kDocuments = 1100;
    for (int i = 0; i < kDocuments; ++i) {
        const std::string name = "d" + std::to_string(i) + ".pdf";
        WriteFile(dir.File(name), pdf);
        names += " " + name;
    }
    const std::string command =
        "cd '" + dir.Path().string() +
        "' && ulimit -n 1024 && exec " FOLIOXA_CONVERT " -q -t png -r 10 -o out/" + names;
    EXPECT_EQ(std::system(command.c_str()), 0);
    EXPECT_EQ(FilesIn(dir.Path() / "out").size(), static_cast<std::size_t>(kDocuments));
}

// Started with its standard descriptors closed, no file it opens takes their place: the JSON
// records go nowhere and every image is whole.
TEST(FolioxaConvert, ClosedStandardDescriptorsStayOutOfItsFiles) {
    Fixture f;
    const std::string command = "exec " FOLIOXA_CONVERT " --json -t png -r 20 -o '" +
                                (f.dir.Path() / "out").string() + "/' '" + f.pdf + "' <&- >&- 2>&-";
    EXPECT_EQ(std::system(command.c_str()), 0);
    const Files out = FilesIn(f.dir.Path() / "out");
    EXPECT_EQ(out.size(), 5U);
    for (const auto& [name, bytes] : out) {
        EXPECT_NE(ImageSize(bytes), "not an image") << name;
    }
}

TEST(FolioxaConvert, MemoryBombsCostOnePageWithinTheLimit) {
    if (!MemoryLimitSupported()) {
        GTEST_SKIP() << "this build's workers have no memory limit";
    }
    const struct {
        const char* name;
        std::string pdf;
    } bombs[] = {
        {"two forms drawing each other", testing::MakeMutualFormsPdf()},
        {"2 GiB of Flate inside Flate", testing::MakeDoubleFlatePdf(std::uint64_t{2} << 30)},
        {"forms drawing forms, 16^8 squares", testing::MakeFormFanOutPdf(8, 16)},
        {"JBIG2 of 2^31 pixels", testing::MakeJbig2BombPdf(46336)},
    };
    // Asked for, and by default: the engine's allowance (the page's pixels are a few kB).
    const struct {
        std::vector<std::string> option;
        int limitMb;
    } limits[] = {{{"--memory-limit", "300"}, 300}, {{}, 512}};
    for (const auto& bomb : bombs) {
        for (const auto& limit : limits) {
            SCOPED_TRACE(std::string(bomb.name) + ", " + std::to_string(limit.limitMb) + " MB");
            TempDir dir;
            WriteFile(dir.File("bomb.pdf"), bomb.pdf);
            const auto run = [&](const char* pages) {
                std::vector<std::string> args{"-j", "1", "-t", "png", "-r", "72", "-p", pages};
                args.insert(args.end(), limit.option.begin(), limit.option.end());
                args.push_back(dir.File("bomb.pdf"));
                return RunTool(args);
            };
            const Outcome r = run("1-2");
            EXPECT_EQ(r.code, 1);
            EXPECT_EQ(r.err, "folioxa-convert: " + dir.File("bomb.pdf") +
                                 ": entry \"1\" (1 of 2): Page 1 needs more memory "
                                 "than the limit of " +
                                 std::to_string(limit.limitMb) + " MB per page.\n");
            EXPECT_LT(r.peakKb, limit.limitMb * 1024 + 200 * 200 * 8 / 1024)
                << "the limit plus the page's pixels twice";
            EXPECT_TRUE(FilesIn(dir.Path()).empty());
            const Outcome next = run("2");
            EXPECT_EQ(next.code, 0) << next.err;
            EXPECT_EQ(ImageSize(FilesIn(dir.Path())["bomb_2.png"]), "200x200");
        }
    }
}

TEST(FolioxaConvert, ProgressLineOnlyOnATerminal) {
    for (const char* jobs : {"1", "2"}) {
        Fixture f;
        const Outcome r = RunTool({"-j", jobs, "-t", "png", "-r", "20", "-p", "2,3", f.pdf}, "",
                                  /*stderrTerminal=*/true);
        EXPECT_EQ(r.code, 0) << jobs;
        // The line is redrawn in place ("\r", text, erase to the end) and cleared at the end;
        // the terminal turns "\n" into "\r\n".
        // Files are written in list order at any worker count.
        EXPECT_THAT(r.err, ::testing::ContainsRegex("\rpage 1/2  report_2\\.png\x1b\\[K")) << jobs;
        EXPECT_THAT(r.err, ::testing::ContainsRegex("\rpage 2/2  report_3\\.png\x1b\\[K")) << jobs;
        EXPECT_THAT(r.err, ::testing::EndsWith("\r\x1b[KConversion complete!\r\n")) << jobs;
        const Outcome quiet = RunTool({"-q", "-j", jobs, "-r", "20", f.pdf}, "", true);
        EXPECT_EQ(quiet.err, "") << jobs;
    }
}

// Bytes a process has handed to write and send calls so far.
std::uintmax_t BytesSent(int process) {
    std::ifstream io("/proc/" + std::to_string(process) + "/io");
    std::string field;
    std::uintmax_t bytes = 0;
    while (io >> field >> bytes && field != "wchar:") {
    }
    return bytes;
}

// A signal while a large page is being written: the run stops, the earlier file of that name
// stays byte for byte, no hidden file is left, the message names the entry, and the tool ends by
// the signal. The page is caught half written by holding its worker still once the hidden file
// has appeared and the worker has not yet sent the whole page (a frame may be on its way);
// pages of BMP and JPG files leave their worker in one burst, so theirs are larger than what the
// socket holds. A run that wrote its page before it could be caught is tried again.
TEST(FolioxaConvert, ASignalMidPageKeepsTheEarlierFile) {
    const struct {
        const char* Type;
        double Side; // points: pixels at 72 DPI, noise in any format
        int Signal;
        const char* Name;
    } cases[] = {{"png", 1400, SIGINT, "SIGINT"},
                 {"bmp", 2000, SIGINT, "SIGINT"},
                 {"jpg", 3000, SIGINT, "SIGINT"},
                 {"png", 1400, SIGTERM, "SIGTERM"},
                 {"png", 1400, SIGHUP, "SIGHUP"}};
    constexpr std::uintmax_t kFrame = 2 << 20; // more than one frame of a page's bytes
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.Type) + " " + c.Name);
        Fixture earlier({TestPage{c.Side, c.Side, 0, {}, "", false, 2}});
        Fixture f({TestPage{c.Side, c.Side, 0, {}, "", false, 1}});
        const fs::path out = f.dir.Path() / "out";
        fs::create_directory(out);
        const std::vector<std::string> options = {"-q", "-j", "1", "-r", "72", "-t", c.Type};
        const auto convert = [&options](const std::string& pdf, const std::string& folder,
                                        const std::function<void(pid_t)>& during = {}) {
            auto args = options;
            args.insert(args.end(), {"-o", folder, pdf});
            return RunTool(args, "", false, {}, during);
        };
        ASSERT_EQ(convert(earlier.pdf, out).code, 0);
        const std::string name = "report_1." + std::string(c.Type);
        const std::string older = ReadFile(out / name);
        ASSERT_EQ(convert(f.pdf, f.Folder()).code, 0);
        const auto page = fs::file_size(f.dir.Path() / name);

        bool caught = false;
        Outcome r;
        for (int attempt = 0; attempt < 5 && !caught; ++attempt) {
            WriteFile(out / name, older);
            struct stat before {};
            ASSERT_EQ(stat((out / name).c_str(), &before), 0);
            const auto replaced = [&] {
                struct stat now {};
                return stat((out / name).c_str(), &now) != 0 || now.st_ino != before.st_ino;
            };
            r = convert(f.pdf, out, [&](pid_t tool) {
                for (int look = 0; look < 100000 && !caught && !replaced(); ++look) {
                    for (const auto& entry : fs::directory_iterator(out)) {
                        if (entry.path().filename().string()[0] != '.') {
                            continue;
                        }
                        const auto workers = testing::Children(std::to_string(tool));
                        for (const int worker : workers) {
                            kill(worker, SIGSTOP);
                        }
                        if (workers.size() == 1 && BytesSent(workers[0]) + kFrame < page) {
                            caught = true;
                            kill(tool, c.Signal);
                            break;
                        }
                        for (const int worker : workers) {
                            kill(worker, SIGCONT);
                        }
                    }
                    usleep(200);
                }
            });
        }
        ASSERT_TRUE(caught) << "no page was caught half written";
        EXPECT_EQ(r.code, 128 + c.Signal);
        EXPECT_EQ(r.err, "folioxa-convert: " + f.pdf +
                             ": entry \"1\" (1 of 1): Conversion interrupted by " +
                             std::string(c.Name) + ": 0 of 1 pages written.\n");
        EXPECT_TRUE(testing::FilesIn(out) == (Files{{name, older}})) << "not just the earlier file";
    }
}

// Two runs writing the same existing files at once: both complete, every file is a whole page
// (the later rename wins), and no hidden file is left.
TEST(FolioxaConvert, TwoRunsAtOnceIntoOneFolderBothComplete) {
    Fixture f(std::vector<TestPage>(8, TestPage{400, 400, 0, {}, "", false, 3}));
    const std::vector<std::string> args = {"-q", "-j", "2", "-r", "72", "-t", "png", f.pdf};
    ASSERT_EQ(RunTool(args).code, 0);
    const Files expected = FilesIn(f.dir.Path());
    ASSERT_EQ(expected.size(), 8U);
    for (int trial = 0; trial < 3; ++trial) {
        Outcome second;
        const Outcome first = RunTool(args, "", false, {}, [&](pid_t) { second = RunTool(args); });
        EXPECT_EQ(first.code, 0) << first.err;
        EXPECT_EQ(second.code, 0) << second.err;
        EXPECT_TRUE(FilesIn(f.dir.Path()) == expected)
            << "not the same whole pages, or a hidden file left";
    }
}

// Under a file size limit the page's write fails as on a full disk: the earlier file stays and
// no hidden file is left, where the signal the limit raises would have ended the tool.
TEST(FolioxaConvert, AFileSizeLimitFailsTheWrite) {
    Fixture f({TestPage{400, 400, 0, {}, "", false, 3}});
    testing::WriteFile(f.dir.File("report_1.png"), "an earlier page");
    const auto ignored = std::signal(SIGXFSZ, SIG_IGN); // the test's own writes fail instead
    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    const rlimit small{100000, old.rlim_max};
    setrlimit(RLIMIT_FSIZE, &small);
    const Outcome r = RunTool({"-j", "1", "-r", "72", "-t", "png", f.pdf});
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, ignored);
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, "folioxa-convert: " + f.pdf + ": entry \"1\" (1 of 1): Stream write error.\n");
    EXPECT_TRUE(testing::FilesIn(f.dir.Path()) ==
                (Files{{"report.pdf", ReadFile(f.pdf)}, {"report_1.png", "an earlier page"}}));
}

TEST(FolioxaConvert, SameFilesAsTheWindowsRun) {
    for (const char* type : {"JPG", "PNG", "BMP"}) {
        Fixture tool, window;
        ASSERT_EQ(RunTool({"-t", type, "-r", "120", "-j", "2", tool.pdf}).code, 0);
        // What the window does on Convert: its own TPdf "Pdf", the real writers, the same run.
        TPdf pdf("Pdf");
        struct SilentView : ConversionView {
            void ShowNotice(const std::string&) override {}
            void SetBusy(bool) override {}
            void SetProgressVisible(bool) override {}
            void SetProgressMax(int) override {}
            void SetProgressPosition(int) override {}
            void SetConvertControlsEnabled(bool) override {}
        } view;
        ConversionSettings settings;
        settings.InputFileName = window.pdf;
        settings.ImageType = type;
        settings.Resolution = 120;
        settings.BaseFileName = "report_";
        settings.DestinationFolder = window.Folder();
        RunConversion(settings, pdf, view);
        const Files expected = FilesIn(window.dir.Path());
        EXPECT_EQ(expected.size(), 5U);
        EXPECT_TRUE(FilesIn(tool.dir.Path()) == expected) << type;
    }
}

TEST(FolioxaConvert, SeveralDocumentsGoOnPastOneThatFails) {
    Fixture f;
    testing::EncryptPdf(f.pdf, f.dir.File("locked.pdf"), "secret", "owner", "aes-256");
    WriteFile(f.dir.File("broken.pdf"), "%PDF-1.4 and then nothing of a PDF\n");
    WriteFile(f.dir.File("short.pdf"), testing::MakePdf({FivePages()[0], FivePages()[1]}));
    struct Case {
        std::vector<std::string> args;
        int code;
        std::vector<std::string> errLines; // each one a line of stderr
        std::vector<std::string> files;
    };
    const std::vector<Case> cases = {
        {{"--password-stdin", f.dir.File("locked.pdf"), f.dir.File("broken.pdf"), f.pdf},
         3,
         {"folioxa-convert: " + f.dir.File("broken.pdf") + ": File not in PDF format or corrupted.",
          f.dir.File("locked.pdf") + ": Conversion complete!", f.pdf + ": Conversion complete!"},
         {"locked_1.png", "locked_2.png", "report_1.png", "report_2.png"}},
        // A page failure ends its own document only; the worst exit status wins.
        {{"-p", "1-3", f.dir.File("short.pdf"), f.pdf, f.dir.File("none.pdf")},
         3,
         {"folioxa-convert: " + f.dir.File("short.pdf") +
              ": entry \"3\" (3 of 3): Cannot open page 3: the document has 2 pages.",
          "folioxa-convert: " + f.dir.File("none.pdf") + ": File not found or could not be opened.",
          f.pdf + ": Conversion complete!"},
         {"report_1.png", "report_2.png", "report_3.png", "short_1.png", "short_2.png"}},
        {{"-p", "1-3", f.dir.File("short.pdf"), f.pdf},
         1,
         {f.pdf + ": Conversion complete!"},
         {"report_1.png", "report_2.png", "report_3.png", "short_1.png", "short_2.png"}},
    };
    for (const char* jobs : {"1", "2"}) {
        for (const auto& c : cases) {
            std::vector<std::string> args = {"-j", jobs, "-t", "png", "-r", "18", "-p", "1-2"};
            args.insert(args.end(), c.args.begin(), c.args.end());
            const Outcome r = RunTool(args, "secret\n");
            SCOPED_TRACE(std::string("-j ") + jobs + " " + ::testing::PrintToString(c.args));
            EXPECT_EQ(r.code, c.code);
            for (const std::string& line : c.errLines) {
                EXPECT_THAT(r.err, HasSubstr(line + "\n"));
            }
            std::vector<std::string> names;
            for (const auto& [name, bytes] : FilesIn(f.dir.Path())) {
                names.push_back(name);
                fs::remove(f.dir.Path() / name);
            }
            EXPECT_EQ(names, c.files);
        }
    }
}

TEST(FolioxaConvert, DocumentsWhoseFilesWouldCollideAreRefused) {
    Fixture f;
    fs::create_directories(f.dir.Path() / "a");
    fs::create_directories(f.dir.Path() / "b");
    for (const char* copy : {"a/report.pdf", "b/report.pdf", "other.pdf"}) {
        fs::copy_file(f.pdf, f.dir.Path() / copy);
    }
    const std::string a = f.dir.File("a/report.pdf"), b = f.dir.File("b/report.pdf");
    struct Case {
        std::vector<std::string> args;
        std::string shared; // the file both would write; "" when the call is accepted
    };
    const std::vector<Case> cases = {
        {{"-b", "x_", f.pdf, f.dir.File("other.pdf")}, f.Folder() + "x_1.jpg"},
        {{"-o", f.Folder(), a, b}, f.Folder() + "report_1.jpg"},
        {{f.pdf, f.dir.File("a/../report.pdf")}, f.dir.File("a/../report_1.jpg")},
        {{"-b", "x_", a, b}, ""}, // each in its own folder
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {"-r", "9", "-p", "1"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const Outcome r = RunTool(args);
        SCOPED_TRACE(::testing::PrintToString(c.args));
        std::size_t written = FilesIn(f.dir.Path()).size() + FilesIn(f.dir.Path() / "a").size() +
                              FilesIn(f.dir.Path() / "b").size();
        if (c.shared.empty()) {
            EXPECT_EQ(r.code, 0) << r.err;
            EXPECT_EQ(written, 2U);
        } else {
            EXPECT_EQ(r.code, 2);
            EXPECT_THAT(r.err,
                        HasSubstr("would both write \"" + c.shared + "\"; nothing was written"));
            EXPECT_EQ(written, 0U);
        }
        for (const char* folder : {"", "a", "b"}) {
            for (const auto& [name, bytes] : FilesIn(f.dir.Path() / folder)) {
                fs::remove(f.dir.Path() / folder / name);
            }
        }
    }
}

TEST(FolioxaConvert, PdfFromAPipe) {
    Fixture f;
    const std::string pdf = ReadFile(f.pdf);
    std::map<std::string, Files> runs;
    for (const std::string jobs : {"1", "2"}) {
        for (const std::string input : {"-", "/dev/stdin"}) {
            TempDir out;
            const Outcome r =
                RunTool({"-j", jobs, "-t", "png", "-r", "36", "-o", out.Path(), input}, pdf, false,
                        {}, {}, /*pipedInput=*/true);
            EXPECT_EQ(r.code, 0) << jobs << " " << input << ": " << r.err;
            runs[jobs + " " + input] = FilesIn(out.Path());
        }
    }
    Fixture named;
    ASSERT_EQ(RunTool({"-t", "png", "-r", "36", "-b", "page_", named.pdf}).code, 0);
    const Files expected = FilesIn(named.dir.Path());
    EXPECT_EQ(expected.size(), 5U);
    for (const auto& [run, files] : runs) {
        EXPECT_TRUE(files == expected) << run << ": the files of the document read by its name";
    }
}

} // namespace
} // namespace folioxa
