#include "imaging/OutputFile.h"

#include "imaging/JpegWriter.h"
#include "imaging/PageBitmap.h"
#include "imaging/PngWriter.h"
#include "support/ImageFiles.h"
#include "support/TestFiles.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <functional>
#include <optional>

namespace folioxa {
namespace {

using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;
using Files = std::map<std::string, std::string>;

// The three ways a page reaches a file, each with the decoder that reads it back.
struct Format {
    const char* Name;
    std::function<void(const PageBitmap&, const std::string&)> Save;
    std::function<int(const std::string&)> DecodedWidth;
};

void PrintTo(const Format& format, std::ostream* out) {
    *out << format.Name;
}

int BmpWidth(const std::string& file) {
    return static_cast<std::uint8_t>(file.at(18)) | static_cast<std::uint8_t>(file.at(19)) << 8;
}

const Format kFormats[] = {
    {"BMP", [](const PageBitmap& b, const std::string& p) { b.SaveToFile(p); }, BmpWidth},
    {"JPEG", [](const PageBitmap& b, const std::string& p) { JpegWriter().SaveToFile(b, p); },
     [](const std::string& file) { return testing::DecodeJpeg(file).Width; }},
    {"PNG", [](const PageBitmap& b, const std::string& p) { PngWriter().SaveToFile(b, p); },
     [](const std::string& file) { return testing::DecodePng(file).Width; }},
};

class EveryFormat : public ::testing::TestWithParam<Format> {
protected:
    // Noise, so that every format's file is some tens of kilobytes.
    const PageBitmap FBitmap = testing::NoiseBitmap(300, 200, 9);

    // Saves and returns the failure text.
    std::string SaveFailure(const std::string& path) {
        try {
            GetParam().Save(FBitmap, path);
        } catch (const Error& e) {
            return e.what();
        }
        return "(saved)";
    }
};

TEST_P(EveryFormat, AMissingFolderNamesTheAbsolutePath) {
    TempDir dir;
    const std::string cwd = std::filesystem::current_path().string();
    const struct {
        std::string Path, Shown;
    } cases[] = {
        {dir.File("missing/page.x"), dir.File("missing/page.x")},
        {"folioxa-no-such-folder/page.x", cwd + "/folioxa-no-such-folder/page.x"},
        {"./a/../folioxa-no-such-folder/page.x", cwd + "/folioxa-no-such-folder/page.x"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(SaveFailure(c.Path),
                  "Cannot create file \"" + c.Shown + "\". No such file or directory");
        try {
            GetParam().Save(FBitmap, c.Path);
        } catch (const EFCreateError&) {
            continue;
        } catch (...) {
        }
        ADD_FAILURE() << "not an EFCreateError";
    }
}

// Devices are written as they are, never replaced by a file of their own.
TEST_P(EveryFormat, DevicesAreWrittenDirectly) {
    for (const char* device : {"/dev/full", "/dev/null"}) {
        if (!std::filesystem::is_character_file(device)) {
            GTEST_SKIP() << "no " << device;
        }
    }
    EXPECT_EQ(SaveFailure("/dev/full"), "Stream write error");
    EXPECT_THROW(GetParam().Save(FBitmap, "/dev/full"), EWriteError);
    EXPECT_EQ(SaveFailure("/dev/null"), "(saved)");
    EXPECT_TRUE(std::filesystem::is_character_file("/dev/null"));
}

// The replaced file is a new one: its size is the new page's, its mode the one the umask gives
// a new file, whatever the old one had.
TEST_P(EveryFormat, ReplacingAFileGivesANewFileUnderTheUmask) {
    TempDir dir;
    const std::string path = dir.File("page");
    GetParam().Save(FBitmap, path);
    const std::string expected = ReadFile(path);
    EXPECT_EQ(GetParam().DecodedWidth(expected), 300);
    for (const mode_t mask : {mode_t{022}, mode_t{077}, mode_t{002}}) {
        WriteFile(path, std::string(expected.size() * 3, '\x55'));
        ::chmod(path.c_str(), 0700);
        const mode_t old = ::umask(mask);
        GetParam().Save(FBitmap, path);
        ::umask(old);
        EXPECT_EQ(ReadFile(path), expected);
        struct stat status {};
        ASSERT_EQ(::stat(path.c_str(), &status), 0);
        EXPECT_EQ(status.st_mode & 07777, 0666 & ~mask) << "umask " << mask;
    }
    EXPECT_EQ(testing::FilesIn(dir.Path()).size(), 1U);
}

TEST_P(EveryFormat, AFileLockedElsewhereIsRefusedAndUntouched) {
    TempDir dir;
    const std::string path = dir.File("locked");
    WriteFile(path, "held by another writer");
    const int other = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(other, 0);
    ASSERT_EQ(::flock(other, LOCK_EX), 0);
    EXPECT_EQ(SaveFailure(path),
              "Cannot create file \"" + path + "\". Resource temporarily unavailable");
    EXPECT_EQ(testing::FilesIn(dir.Path()), (Files{{"locked", "held by another writer"}}));
    ::close(other); // the lock goes with the other opener
    GetParam().Save(FBitmap, path);
    EXPECT_EQ(GetParam().DecodedWidth(ReadFile(path)), 300);
}

// A file size limit makes the system take only part of a write and refuse the rest, as a full
// disk does: the save fails, and the name keeps the file it had.
TEST_P(EveryFormat, AWriteCutShortKeepsTheOlderFile) {
    TempDir dir;
    const std::string path = dir.File("limited");
    WriteFile(path, "the older file");
    rlimit old{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    const auto oldSignal = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limited = old;
    limited.rlim_cur = 1000;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
    const std::string failure = SaveFailure(path);
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldSignal);
    EXPECT_EQ(failure, "Stream write error");
    EXPECT_EQ(testing::FilesIn(dir.Path()), (Files{{"limited", "the older file"}}));
}

// A link planted at the name is replaced itself: the file it points to is never written.
TEST_P(EveryFormat, ALinkAtTheNameIsReplacedNotFollowed) {
    TempDir dir;
    WriteFile(dir.File("victim"), "someone else's file");
    std::filesystem::create_symlink(dir.File("victim"), dir.File("page"));
    std::filesystem::create_symlink(dir.File("nowhere"), dir.File("dangling"));
    for (const char* name : {"page", "dangling"}) {
        EXPECT_EQ(SaveFailure(dir.File(name)), "(saved)");
        EXPECT_FALSE(std::filesystem::is_symlink(dir.File(name)));
        EXPECT_EQ(GetParam().DecodedWidth(ReadFile(dir.File(name))), 300);
    }
    const auto files = testing::FilesIn(dir.Path());
    EXPECT_EQ(files.size(), 3U);
    EXPECT_EQ(files.at("victim"), "someone else's file");
}

// A FIFO or a socket at the name is refused at once, with or without a reader, and stays.
TEST_P(EveryFormat, AFifoOrSocketAtTheNameIsRefusedAtOnce) {
    TempDir dir;
    const std::string fifo = dir.File("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0666), 0);
    const std::string socketPath = dir.File("socket");
    const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    socketPath.copy(address.sun_path, sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    for (const bool reader : {false, true}) {
        const int end = reader ? ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC) : -1;
        for (const std::string& path : {fifo, socketPath}) {
            EXPECT_EQ(SaveFailure(path),
                      "Cannot create file \"" + path + "\". No such device or address");
        }
        if (end >= 0) {
            ::close(end);
        }
    }
    ::close(listener);
    EXPECT_EQ(testing::FilesIn(dir.Path()), (Files{{"fifo", "(fifo)"}, {"socket", "(other)"}}));
}

// A file that another program creates and locks while the page is written is not replaced.
TEST(OutputFile, ALockTakenWhileWritingIsRefusedAtTheEnd) {
    TempDir dir;
    const std::string path = dir.File("page.png");
    OutputFile file(path);
    file.Write("a page", 6);
    WriteFile(path, "another program's");
    const int other = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(::flock(other, LOCK_EX), 0);
    try {
        file.Close();
        ADD_FAILURE() << "replaced a locked file";
    } catch (const EFCreateError& e) {
        EXPECT_EQ(std::string(e.what()),
                  "Cannot create file \"" + path + "\". Resource temporarily unavailable");
    }
    ::close(other);
    EXPECT_EQ(testing::FilesIn(dir.Path()), (Files{{"page.png", "another program's"}}));
}

// Two runs writing one name, in every order their steps can take (each opens its own folder
// when it starts, as a run does): both complete and the later rename wins.
TEST(OutputFile, TwoRunsWritingOneNameBothComplete) {
    const char* const orders[] = {"ABab", "ABba", "BAab", "BAba", "AaBb"};
    for (const bool older : {false, true}) {
        for (const std::string order : orders) {
            SCOPED_TRACE(order + (older ? " over an older file" : ""));
            TempDir dir;
            const std::string folder = dir.Path().string() + "/";
            if (older) {
                WriteFile(dir.File("page.png"), "older");
            }
            std::optional<OutputFile> runs[2];
            std::string last;
            for (const char step : order) {
                const auto run = static_cast<std::size_t>(std::tolower(step) - 'a');
                const std::string bytes(1, static_cast<char>(std::tolower(step)));
                if (std::isupper(step) != 0) {
                    runs[run].emplace(OutputFolder::OpenForRun(folder), "page.png");
                    runs[run]->Write(bytes.data(), bytes.size());
                } else {
                    ASSERT_NO_THROW(runs[run]->Close());
                    last = bytes;
                }
            }
            EXPECT_EQ(testing::FilesIn(dir.Path()), (Files{{"page.png", last}}));
        }
    }
}

// Hidden files of a writer that ended before its rename are removed by the next run that
// writes their name; a live writer's, another name's and what only looks alike stay.
TEST(OutputFile, ARunRemovesTheLeftoversOfItsNames) {
    TempDir dir;
    const std::string longName = std::string(250, 'x') + ".png";
    const std::string longHidden = "." + longName.substr(0, 247) + ".Qw12Er";
    const Files planted = {{".page.png.Ab12Cd", "killed mid-page"},
                           {".page.png.Zz99Yy", "a live writer's"},
                           {".other.png.Ab12Cd", "another name's"},
                           {".page.png.Ab12C", "five letters"},
                           {".page.png.Ab-2Cd", "not a letter"},
                           {"page.png.Ab12Cd", "not hidden"},
                           {longHidden, "a long name's"}};
    for (const auto& [name, bytes] : planted) {
        WriteFile(dir.File(name), bytes);
    }
    std::filesystem::create_directory(dir.File(".page.png.Dir123"));
    std::filesystem::create_symlink(dir.File(".page.png.Ab12Cd"), dir.File(".page.png.Lnk123"));
    const int live = ::open(dir.File(".page.png.Zz99Yy").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(::flock(live, LOCK_SH), 0);

    const auto folder = OutputFolder::OpenForRun(dir.Path().string() + "/");
    for (const std::string& name : {std::string("page.png"), longName}) {
        OutputFile file(folder, name);
        file.Write("new", 3);
        file.Close();
    }
    ::close(live);
    Files expected = planted;
    expected.erase(".page.png.Ab12Cd");
    expected.erase(longHidden);
    expected[".page.png.Dir123"] = "(other)";
    expected[".page.png.Lnk123"] = "-> " + dir.File(".page.png.Ab12Cd");
    expected["page.png"] = expected[longName] = "new";
    EXPECT_EQ(testing::FilesIn(dir.Path()), expected);
}

TEST(OutputFolder, HoldsOnlyWholeRegularFiles) {
    TempDir dir;
    WriteFile(dir.File("page.png"), "x");
    WriteFile(dir.File("empty.png"), "");
    std::filesystem::create_symlink(dir.File("page.png"), dir.File("link.png"));
    std::filesystem::create_directory(dir.File("folder.png"));
    const OutputFolder folder(dir.Path().string() + "/");
    for (const auto& [name, holds] : std::map<std::string, bool>{{"page.png", true},
                                                                 {"empty.png", false},
                                                                 {"link.png", false},
                                                                 {"folder.png", false},
                                                                 {"missing.png", false}}) {
        EXPECT_EQ(folder.HoldsFile(name), holds) << name;
    }
    EXPECT_FALSE(OutputFolder(dir.File("missing") + "/").HoldsFile("page.png"));
}

INSTANTIATE_TEST_SUITE_P(Writers, EveryFormat, ::testing::ValuesIn(kFormats),
                         [](const auto& row) { return std::string(row.param.Name); });

} // namespace
} // namespace folioxa
