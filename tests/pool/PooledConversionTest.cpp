// Files and outcomes of runs served by the render pool, against the serial run of the same
// settings: byte for byte, message for message, view operation for view operation.
#include "pool/PooledConversion.h"

#include "conversion/Messages.h"
#include "pdf/PDFium.h"
#include "support/ImageFiles.h"
#include "support/TestFiles.h"
#include "support/TestPdf.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <functional>
#include <map>

namespace folioxa {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;

class LogView : public ConversionView {
public:
    std::vector<std::string> Log;
    void ShowNotice(const std::string& text) override { Log.push_back("notice " + text); }
    void SetBusy(bool on) override { Log.push_back(on ? "busy" : "idle"); }
    void SetProgressVisible(bool on) override { Log.push_back(on ? "bar" : "no bar"); }
    void SetProgressMax(int max) override { Log.push_back("max " + std::to_string(max)); }
    void SetProgressPosition(int at) override { Log.push_back("at " + std::to_string(at)); }
    void SetConvertControlsEnabled(bool on) override { Log.push_back(on ? "on" : "off"); }
};

struct Outcome {
    std::string Failure; // "" when the run ended without one
    std::vector<std::string> View;
    std::map<std::string, std::string> Files; // name: bytes
};

// What a case does to the folder before the run, and undoes after it.
using Setup = std::function<std::function<void()>(const TempDir& dir)>;

struct Case {
    const char* Name;
    std::vector<testing::TestPage> Pages;
    const char* Selection; // null: all pages
    std::string Type;
    int Dpi = 36;
    Setup Arrange;
    std::string Failure; // what the serial run must end with
    // After a failure: every file out/ holds then, hidden ones included, with its bytes where
    // they are given (a file that the failing page must not replace).
    std::map<std::string, std::string> Left = {};
    std::int32_t ScaleTo = 0;
    std::int32_t JpegQuality = 100;
    std::vector<std::pair<int, int>> Sizes = {};   // of the serial run's JPEG files, in name order
    void (*Adjust)(ConversionSettings&) = nullptr; // the command line's further choices
};

void PrintTo(const Case& c, std::ostream* out) {
    *out << c.Name;
}

std::vector<testing::TestPage> Pages(int count, double width = 144, double height = 72) {
    std::vector<testing::TestPage> pages;
    for (int i = 0; i < count; ++i) {
        pages.push_back({width,
                         height,
                         0,
                         {{10, 10, 30.0 + i, 20, 0x2040C0u + 0x101010u * static_cast<unsigned>(i)}},
                         i == 1 ? "field" : "",
                         false});
    }
    return pages;
}

// A 20 KB file limit: the large third page's file no longer fits, as a full disk would refuse
// it half-way.
std::function<void()> SmallDisk(const TempDir&) {
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{};
    getrlimit(RLIMIT_FSIZE, &limit);
    const rlimit small{20000, limit.rlim_max};
    setrlimit(RLIMIT_FSIZE, &small);
    return [limit] { setrlimit(RLIMIT_FSIZE, &limit); };
}

// An older file of the second page's name.
std::function<void()> OlderSecondJpeg(const TempDir& dir) {
    testing::WriteFile(dir.File("out/page_2.jpg"), "an older page 2");
    return [] {};
}

// Another program holds the third page's file.
std::function<void()> LockedThirdFile(const TempDir& dir) {
    testing::WriteFile(dir.File("out/page_3.png"), "held by another program");
    const int fd = ::open(dir.File("out/page_3.png").c_str(), O_RDONLY | O_CLOEXEC);
    flock(fd, LOCK_EX);
    return [fd] { ::close(fd); };
}

// A page whose boxes differ, one with an annotation, one turned, the second with a field.
std::vector<testing::TestPage> DrawingPages() {
    std::vector<testing::TestPage> pages = Pages(3, 200, 100);
    pages[0].Boxes = {{"CropBox", {10, 10, 150, 90}}, {"TrimBox", {20, 20, 120, 80}}};
    pages[1].Annotations = {{100, 20, 40, 40, 0x00C000}};
    pages[2].Rotate = 90;
    return pages;
}

// A whole file of the second page's name, left by an earlier run.
std::function<void()> KeptSecondPng(const TempDir& dir) {
    testing::WriteFile(dir.File("out/page_2.png"), "kept");
    return [] {};
}

// A case's document written into `dir`, and the settings that convert it into dir/out.
ConversionSettings Prepare(const Case& c, const TempDir& dir) {
    fs::create_directory(dir.Path() / "out");
    testing::WriteFile(dir.File("doc.pdf"), testing::MakePdf(c.Pages));
    ConversionSettings settings;
    settings.InputFileName = dir.File("doc.pdf");
    settings.ConvertMethod = c.Selection == nullptr ? cmAllPages : cmPageSelection;
    settings.PageSelection = c.Selection == nullptr ? "" : c.Selection;
    settings.ImageType = c.Type;
    settings.Resolution = c.Dpi;
    settings.ScaleTo = c.ScaleTo;
    settings.JpegQuality = c.JpegQuality;
    settings.BaseFileName = "page_";
    settings.DestinationFolder = dir.File("out") + "/";
    if (c.Adjust != nullptr) {
        c.Adjust(settings);
    }
    return settings;
}

// The same message, but for the folder, which is each run's own.
std::string FailureText(const std::exception& e, const TempDir& dir) {
    std::string text = e.what();
    const std::string folder = dir.Path().string();
    if (const auto at = text.find(folder); at != std::string::npos) {
        text.replace(at, folder.size(), "DIR");
    }
    return text;
}

std::map<std::string, std::string> FilesOut(const TempDir& dir) {
    std::map<std::string, std::string> files;
    for (const auto& file : fs::directory_iterator(dir.Path() / "out")) {
        files[file.path().filename()] = testing::ReadFile(file.path());
    }
    return files;
}

Outcome Convert(const Case& c, int workers) {
    TempDir dir;
    const ConversionSettings settings = Prepare(c, dir);
    const std::function<void()> undo = c.Arrange ? c.Arrange(dir) : [] {};
    Outcome outcome;
    LogView view;
    TPdf pdf("Pdf");
    TWorkerDocument document("Pdf");
    try {
        if (workers == 0) {
            RunConversion(settings, pdf, view);
        } else {
            PoolOptions options;
            options.Workers = workers;
            RunPooledConversion(settings, document, view, options);
        }
    } catch (const Error& e) {
        outcome.Failure = FailureText(e, dir);
    }
    undo();
    EXPECT_FALSE(pdf.Active());
    EXPECT_FALSE(document.Active());
    EXPECT_TRUE(testing::Children().empty()) << "a worker outlived its run";
    outcome.View = view.Log;
    outcome.Files = FilesOut(dir);
    return outcome;
}

class PoolAgainstSerial : public ::testing::TestWithParam<Case> {};

TEST_P(PoolAgainstSerial, SameFilesSameOutcome) {
    const Case& c = GetParam();
    const Outcome serial = Convert(c, 0);
    EXPECT_EQ(serial.Failure.substr(0, c.Failure.size()), c.Failure);
    EXPECT_EQ(serial.Failure.empty(), c.Failure.empty()) << serial.Failure;
    std::vector<std::pair<int, int>> sizes;
    for (const auto& [name, bytes] : serial.Files) {
        if (!c.Sizes.empty()) {
            const auto image = testing::DecodeJpeg(bytes);
            sizes.emplace_back(image.Width, image.Height);
        }
    }
    EXPECT_EQ(sizes, c.Sizes);
    if (!c.Left.empty()) {
        std::map<std::string, std::string> left;
        for (const auto& [name, bytes] : serial.Files) {
            left[name] = c.Left.count(name) > 0 && c.Left.at(name).empty() ? "" : bytes;
        }
        EXPECT_EQ(left, c.Left);
    }
    for (int workers : {1, 2, 4}) {
        SCOPED_TRACE(std::to_string(workers) + " workers");
        const Outcome pooled = Convert(c, workers);
        EXPECT_EQ(pooled.Failure, serial.Failure);
        EXPECT_EQ(pooled.View, serial.View);
        EXPECT_EQ(pooled.Files.size(), serial.Files.size());
        EXPECT_TRUE(pooled.Files == serial.Files) << "the files differ";
    }
}

const Case kCases[] = {
    {"CleanPng", Pages(5), nullptr, "PNG", 36, {}, ""},
    {"CleanJpg", Pages(5), nullptr, "JPG", 36, {}, ""},
    {"CleanBmp", Pages(5), "5,1,3", "BMP", 36, {}, ""},
    {"CleanTiff", Pages(5), "5,1,3", "TIFF", 36, {}, ""},
    {"CleanWebp", Pages(5), "5,1,3", "WEBP", 36, {}, ""},
    {"ScaledJpgAtQuality75",
     {Pages(1, 300, 500)[0],
      Pages(1, 500, 300)[0],
      {250, 500, 90, {{10, 10, 30, 20, 0xC02040}}, "", false}},
     nullptr,
     "JPG",
     36,
     {},
     "",
     {},
     200,
     75,
     {{120, 200}, {200, 120}, {200, 100}}}, // the third page is drawn turned: 500 x 250 points
    {"ThirdOfFiveNotANumber",
     Pages(5),
     "1,2,x,4,5",
     "PNG",
     36,
     {},
     "'x' is not a valid integer value"},
    {"EntryNamingNoPage", Pages(5), "1,2,9,4,5", "JPG", 36, {}, "Cannot open page 9"},
    {"TwoEntriesOneFile", Pages(12), "3,2,03,2", "PNG", 36, {}, ""},
    {"FullDiskMidPage",
     {Pages(2)[0], Pages(2)[1], Pages(1, 612, 792)[0], Pages(1)[0]},
     nullptr,
     "BMP",
     36,
     SmallDisk,
     "Stream write error",
     {{"page_1.bmp", ""}, {"page_2.bmp", ""}}},
    {"LockedFile",
     Pages(5),
     nullptr,
     "PNG",
     36,
     LockedThirdFile,
     "Cannot create file",
     {{"page_1.png", ""}, {"page_2.png", ""}, {"page_3.png", "held by another program"}}},
    {"JpegErrorOnAWidePage",
     {Pages(1)[0], {14400, 10, 0, {}, "", false}, Pages(1)[0]},
     nullptr,
     "JPG",
     400,
     OlderSecondJpeg,
     "JPEG error #41",
     {{"page_1.jpg", ""}, {"page_2.jpg", "an older page 2"}}},
    {"JpegQualityOutOfRange",
     Pages(3),
     nullptr,
     "JPG",
     36,
     {},
     "The JPEG compression quality must lie between 1 and 100, not 0",
     {},
     0,
     0},
    {"EmptySelection", Pages(5), "", "PNG", 36, {}, ""},
    {"TrimBoxAnnotationsGreyOnClear",
     DrawingPages(),
     nullptr,
     "PNG",
     72,
     {},
     "",
     {},
     0,
     100,
     {},
     [](ConversionSettings& s) {
         s.Drawing = {PageBox::Trim, true, false, true};
         s.Pixels = PixelMode::Grey;
     }},
    {"MediaBoxMonoTiff",
     DrawingPages(),
     nullptr,
     "TIFF",
     72,
     {},
     "",
     {},
     0,
     100,
     {},
     [](ConversionSettings& s) {
         s.Drawing.Box = PageBox::Media;
         s.Pixels = PixelMode::BlackAndWhite;
     }},
    {"LossyWebp",
     DrawingPages(),
     "3,1",
     "WEBP",
     72,
     {},
     "",
     {},
     0,
     60,
     {},
     [](ConversionSettings& s) { s.Lossy = true; }},
    {"SkipExistingKeepsWholeFiles",
     Pages(4),
     "1-4,2",
     "PNG",
     36,
     KeptSecondPng,
     "",
     {{"page_1.png", ""}, {"page_2.png", "kept"}, {"page_3.png", ""}, {"page_4.png", ""}},
     0,
     100,
     {},
     [](ConversionSettings& s) { s.SkipExisting = true; }},
    {"ReversedRanges", Pages(5), "5-3,2,4-1", "BMP", 36, {}, ""},
};

INSTANTIATE_TEST_SUITE_P(Cases, PoolAgainstSerial, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& row) {
                             return std::string(row.param.Name);
                         });

// A worker that ends while it holds no entry (killed from outside) fails nothing: another takes
// its place and the run goes on. Killing it while it still draws is a race the test retries.
TEST(RenderPool, AWorkerKilledWhileIdleIsReplaced) {
    TempDir dir;
    testing::WriteFile(dir.File("doc.pdf"), testing::MakePdf(Pages(6)));
    PoolDocument document;
    document.Job.FileName = dir.File("doc.pdf");
    document.Job.ImageType = "BMP";
    document.Job.Sizing.Resolution = 36;
    document.Entries = 6;
    document.File =
        std::make_shared<FileDescriptor>(::open(dir.File("doc.pdf").c_str(), O_RDONLY | O_CLOEXEC));
    for (int attempt = 0; attempt < 5; ++attempt) {
        // One worker draws at most four entries ahead of the caller, then waits idle.
        TRenderPool pool({}, {document}, [](std::int64_t i) {
            return PoolEntry{0, std::to_string(i + 1)};
        });
        const auto turn = [&pool] {
            pollfd events{pool.EventFd(), POLLIN, 0};
            ::poll(&events, 1, 50);
            pool.Process();
        };
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while ((pool.Front() == nullptr || !pool.Front()->Complete) &&
               std::chrono::steady_clock::now() < deadline) {
            turn();
        }
        for (int i = 0; i < 20; ++i) {
            turn();
        }
        for (const int child : testing::Children()) {
            kill(child, SIGKILL);
            siginfo_t ended{};
            waitid(P_PID, static_cast<id_t>(child), &ended, WEXITED | WNOWAIT);
        }
        turn(); // the pool sees the end before it hands out more
        int complete = 0;
        bool raced = false;
        while (complete < 6 && !raced && std::chrono::steady_clock::now() < deadline) {
            if (FrontEntry* front = pool.Front(); front != nullptr && front->Failed) {
                raced = true;
            } else if (front != nullptr && front->Complete) {
                pool.Advance();
                ++complete;
            } else {
                turn();
            }
        }
        if (!raced) {
            EXPECT_EQ(complete, 6) << "the run stood still";
            return;
        }
    }
    ADD_FAILURE() << "the worker never was idle when killed";
}

// Each run opens its folder once: a folder moved away and replaced by a link after the first
// page keeps the later pages, and the hidden file a killed run left for one of the run's names
// is removed.
TEST(PoolAgainstSerial, EveryPageGoesToTheFolderOpenedAtTheStart) {
    for (int workers : {0, 2}) {
        SCOPED_TRACE(std::to_string(workers) + " workers");
        TempDir dir;
        const ConversionSettings settings =
            Prepare({"Moved", Pages(3), nullptr, "PNG", 36, {}, ""}, dir);
        testing::WriteFile(dir.File("out/.page_3.png.Ab12Cd"), "left by a killed run");
        fs::create_directory(dir.Path() / "elsewhere");
        RunObserver observer;
        std::vector<std::int64_t> sizes;
        observer.OnEntryWritten = [&](const EntryEvent& e) {
            sizes.push_back(e.Bytes);
            if (e.Index == 0) {
                fs::rename(dir.Path() / "out", dir.Path() / "moved");
                fs::create_directory_symlink(dir.Path() / "elsewhere", dir.Path() / "out");
            }
        };
        LogView view;
        TPdf pdf("Pdf");
        TWorkerDocument document("Pdf");
        PoolOptions options;
        options.Workers = workers;
        workers == 0 ? RunConversion(settings, pdf, view, observer)
                     : RunPooledConversion(settings, document, view, options, observer);
        std::vector<std::int64_t> expected;
        for (const auto& entry : fs::directory_iterator(dir.Path() / "moved")) {
            expected.push_back(static_cast<std::int64_t>(entry.file_size()));
        }
        EXPECT_EQ(testing::FilesIn(dir.Path() / "moved").size(), 3U);
        EXPECT_TRUE(fs::is_empty(dir.Path() / "elsewhere"));
        std::sort(expected.begin(), expected.end());
        std::sort(sizes.begin(), sizes.end());
        EXPECT_EQ(sizes, expected) << "the sizes of the files written";
    }
}

// The cases (but those that change the process's limits) as the documents of one pooled run,
// with a missing document among them: each document's files, window operations and failure are
// those of its own serial run, whatever the others do.
TEST(SeveralDocuments, EachAsItsOwnSerialRun) {
    std::vector<const Case*> rows;
    std::vector<Outcome> serial;
    for (const Case& c : kCases) {
        if (!c.Arrange) {
            rows.push_back(&c);
            serial.push_back(Convert(c, 0));
        }
    }
    // Row i of `rows`, or the missing document (null), third in the list.
    std::vector<const Case*> order = rows;
    order.insert(order.begin() + 2, nullptr);
    for (int workers : {1, 2}) {
        SCOPED_TRACE(std::to_string(workers) + " workers");
        std::vector<std::unique_ptr<TempDir>> dirs;
        std::vector<std::string> failures(order.size());
        std::vector<LogView> views(order.size());
        std::vector<PooledDocument> documents;
        for (std::size_t i = 0; i < order.size(); ++i) {
            dirs.push_back(std::make_unique<TempDir>());
            PooledDocument document;
            document.Settings = Prepare(order[i] != nullptr ? *order[i] : *rows[0], *dirs[i]);
            if (order[i] == nullptr) {
                fs::remove(document.Settings.InputFileName);
            }
            document.View = &views[i];
            document.OnFailed = [&, i](const std::exception& e) {
                failures[i] = FailureText(e, *dirs[i]);
            };
            documents.push_back(std::move(document));
        }
        TWorkerDocument pdf("Pdf");
        PoolOptions options;
        options.Workers = workers;
        {
            TPooledConversion run(std::move(documents), pdf, options);
            RunToEnd(run);
        }
        EXPECT_FALSE(pdf.Active());
        EXPECT_TRUE(testing::Children().empty()) << "a worker outlived its run";
        for (std::size_t i = 0, row = 0; i < order.size(); ++i) {
            if (order[i] == nullptr) {
                EXPECT_EQ(failures[i], "File not found or could not be opened");
                EXPECT_TRUE(views[i].Log.empty()) << "a document that never opened shows nothing";
                continue;
            }
            SCOPED_TRACE(order[i]->Name);
            EXPECT_EQ(failures[i], serial[row].Failure);
            EXPECT_EQ(views[i].Log, serial[row].View);
            EXPECT_TRUE(FilesOut(*dirs[i]) == serial[row].Files) << "the files differ";
            ++row;
        }
    }
}

} // namespace
} // namespace folioxa
