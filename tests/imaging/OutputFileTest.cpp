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
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <functional>

namespace folioxa {
namespace {

using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

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

TEST_P(EveryFormat, AFullDeviceIsAStreamWriteError) {
    if (!std::filesystem::exists("/dev/full")) {
        GTEST_SKIP() << "no /dev/full";
    }
    EXPECT_EQ(SaveFailure("/dev/full"), "Stream write error");
    EXPECT_THROW(GetParam().Save(FBitmap, "/dev/full"), EWriteError);
}

TEST_P(EveryFormat, ALargerFileIsLeftAtExactlyTheNewSize) {
    TempDir dir;
    const std::string path = dir.File("page");
    GetParam().Save(FBitmap, path);
    const std::string expected = ReadFile(path);
    WriteFile(path, std::string(expected.size() * 3, '\x55'));
    GetParam().Save(FBitmap, path);
    EXPECT_EQ(ReadFile(path), expected);
    EXPECT_EQ(GetParam().DecodedWidth(expected), 300);
}

TEST_P(EveryFormat, AFileLockedElsewhereIsNeitherCreatedNorCut) {
    TempDir dir;
    const std::string path = dir.File("locked");
    WriteFile(path, "held by another writer");
    const int other = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(other, 0);
    ASSERT_EQ(::flock(other, LOCK_EX), 0);
    EXPECT_EQ(SaveFailure(path),
              "Cannot create file \"" + path + "\". Resource temporarily unavailable");
    EXPECT_EQ(ReadFile(path), "held by another writer");
    ::close(other); // the lock goes with the other opener
    GetParam().Save(FBitmap, path);
    EXPECT_EQ(GetParam().DecodedWidth(ReadFile(path)), 300);
}

// A file size limit makes the system take only part of a write and refuse the rest: the save
// must fail, not leave a cut file behind as if it were whole.
TEST_P(EveryFormat, AWriteCutShortIsAStreamWriteError) {
    TempDir dir;
    const std::string path = dir.File("limited");
    constexpr rlim_t kLimit = 1000;
    rlimit old{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    const auto oldSignal = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limited = old;
    limited.rlim_cur = kLimit;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
    const std::string failure = SaveFailure(path);
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldSignal);
    EXPECT_EQ(failure, "Stream write error");
    EXPECT_EQ(std::filesystem::file_size(path), kLimit) << "the bytes written before stay";
}

INSTANTIATE_TEST_SUITE_P(Writers, EveryFormat, ::testing::ValuesIn(kFormats),
                         [](const auto& row) { return std::string(row.param.Name); });

} // namespace
} // namespace folioxa
