// Bad disks under a real run with the real writers: a destination that is missing, not a folder
// or read-only, a file another process holds, a full device, a name longer than the file
// system allows, a link or a FIFO planted at a page's name. Each run must end with its exact
// message, keep the files of earlier pages byte for byte and whatever the folder held, and leave
// the next run working.
#include "conversion/ConversionJob.h"
#include "conversion/Messages.h"
#include "imaging/PageBitmap.h"
#include "support/NoticeView.h"
#include "support/TestFiles.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <functional>
#include <map>

namespace folioxa {
namespace {

using testing::FilesIn;
using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

constexpr int kSide = 120; // pixels; noise, so PNG and JPEG cannot shrink a page much

// Pages of kSide x kSide points rendered at 72 DPI: one point is one pixel, each page its own
// noise.
class NoiseDocument : public ConversionDocument {
public:
    void SetFileName(const std::string&) override {}
    void SetPassword(const std::string&) override {}
    void SetActive(bool active) override { FActive = active; }
    int PageCount() override { return 3; }
    void SetPageNumber(int page) override {
        if (FActive && (page < 0 || page > 3)) {
            throw Error("Page " + std::to_string(page) + " does not exist");
        }
        FPage = page;
    }
    double PageWidth() override { return kSide; }
    double PageHeight() override { return kSide; }
    std::unique_ptr<PageBitmap> RenderPageOnWhite(int width, int height) override {
        auto bitmap = std::make_unique<PageBitmap>();
        bitmap->SetSize(width, height);
        std::uint32_t state = static_cast<std::uint32_t>(FPage) * 2654435761U;
        for (int y = 0; y < height; ++y) {
            std::uint8_t* row = bitmap->ScanLine(y);
            for (std::size_t i = 0; i < bitmap->RowBytes(); ++i) {
                state = state * 1664525U + 1013904223U;
                row[i] = static_cast<std::uint8_t>(state >> 24);
            }
        }
        return bitmap;
    }

private:
    bool FActive = false;
    int FPage = 0;
};

using QuietView = testing::NoticeView;

// What the user sees at the end of a run: the failure through the period rule, or the last
// notice.
std::string Convert(const std::string& folder, const std::string& selection,
                    const std::string& type) {
    ConversionSettings settings;
    settings.InputFileName = "noise.pdf";
    settings.ConvertMethod = cmPageSelection;
    settings.PageSelection = selection;
    settings.ImageType = type;
    settings.Resolution = 72;
    settings.BaseFileName = "out_";
    settings.DestinationFolder = folder;
    NoiseDocument document;
    QuietView view;
    try {
        RunConversion(settings, document, view);
    } catch (const Error& e) {
        return DisplayText(e.what());
    }
    return view.Notices.empty() ? "" : view.Notices.back();
}

// Root passes every permission check; for as long as this lives the thread gives up the two
// capabilities that let it, so a read-only folder refuses it as it refuses anyone else.
class WithoutPermissionOverride {
public:
    WithoutPermissionOverride() {
        if (geteuid() != 0) {
            return;
        }
        FHeader.version = _LINUX_CAPABILITY_VERSION_3;
        if (syscall(SYS_capget, &FHeader, FSaved) != 0) {
            return;
        }
        __user_cap_data_struct reduced[2] = {FSaved[0], FSaved[1]};
        reduced[0].effective &= ~((1U << CAP_DAC_OVERRIDE) | (1U << CAP_DAC_READ_SEARCH));
        FDropped = syscall(SYS_capset, &FHeader, reduced) == 0;
    }
    ~WithoutPermissionOverride() {
        if (FDropped) {
            syscall(SYS_capset, &FHeader, FSaved);
        }
    }
    WithoutPermissionOverride(const WithoutPermissionOverride&) = delete;
    WithoutPermissionOverride& operator=(const WithoutPermissionOverride&) = delete;
    bool Works() const { return geteuid() != 0 || FDropped; }

private:
    __user_cap_header_struct FHeader{};
    __user_cap_data_struct FSaved[2]{};
    bool FDropped = false;
};

// Another process that holds an exclusive lock on `path` until this object goes.
class LockHolder {
public:
    explicit LockHolder(const std::string& path) {
        int ready[2];
        if (pipe(ready) != 0 || pipe(FRelease) != 0) {
            throw std::runtime_error("pipe failed");
        }
        FChild = fork();
        if (FChild == 0) {
            close(FRelease[1]);
            close(ready[0]);
            const int fd = open(path.c_str(), O_RDWR);
            char byte = fd >= 0 && flock(fd, LOCK_EX) == 0 ? 'y' : 'n';
            (void)!write(ready[1], &byte, 1);
            (void)!read(FRelease[0], &byte, 1); // until the parent closes its end
            _exit(0);
        }
        close(ready[1]);
        char byte = 'n';
        FLocked = read(ready[0], &byte, 1) == 1 && byte == 'y';
        close(ready[0]);
    }
    ~LockHolder() {
        close(FRelease[1]);
        close(FRelease[0]);
        waitpid(FChild, nullptr, 0);
    }
    LockHolder(const LockHolder&) = delete;
    LockHolder& operator=(const LockHolder&) = delete;
    bool Locked() const { return FLocked; }

private:
    int FRelease[2] = {-1, -1};
    pid_t FChild = -1;
    bool FLocked = false;
};

// What a fault needs kept alive during the run; not Possible when this machine cannot set it up.
struct FaultSetup {
    bool Possible = true;
    std::shared_ptr<void> Keep;
};

struct BadDiskCase {
    const char* Name;
    std::string Selection;
    // The file the run cannot write (or where the fault is planted), relative to the test's
    // folder; its folder is the run's destination.
    std::string FailingFile;
    int PagesBefore; // pages written before the failing one (all of them when none fails)
    // The message, with {path} standing for the failing file's absolute path.
    std::string Message;
    // Damages the destination `folder` (which exists, empty) before the run.
    std::function<FaultSetup(const std::filesystem::path& folder, const std::string& failingPath)>
        Prepare;
};

void PrintTo(const BadDiskCase& fault, std::ostream* out) {
    *out << fault.Name;
}

class BadDisk : public ::testing::TestWithParam<std::tuple<BadDiskCase, const char*>> {};

std::string Extension(const std::string& type) {
    return type == "PNG" ? ".png" : type == "JPG" ? ".jpg" : ".bmp";
}

std::string Replace(std::string text, const std::string& from, const std::string& to) {
    const auto at = text.find(from);
    return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

TEST_P(BadDisk, EndsWithItsMessageAndKeepsEarlierPages) {
    const auto& [fault, type] = GetParam();
    TempDir dir;
    // The same pages written to a sound folder first: what the damaged run must keep intact.
    const auto good = dir.Path() / "good";
    std::filesystem::create_directory(good);
    ASSERT_EQ(Convert(good.string() + "/", "1-3", type), kCompleteNotice);
    const auto reference = FilesIn(good);

    const auto folder = dir.Path() / "out";
    std::filesystem::create_directory(folder);
    const std::filesystem::path failing = folder / (fault.FailingFile + Extension(type));
    // The run writes where the failing file would go: a folder that may be missing or no folder.
    const std::filesystem::path destination = failing.parent_path();
    std::map<std::string, std::string> before;
    std::string message;
    {
        WithoutPermissionOverride asUser;
        if (!asUser.Works()) {
            GTEST_SKIP() << "cannot give up the permission override";
        }
        const FaultSetup setup = fault.Prepare(folder, failing.string());
        if (!setup.Possible) {
            GTEST_SKIP() << "this machine cannot set up: " << fault.Name;
        }
        if (std::filesystem::is_directory(destination)) {
            before = FilesIn(destination);
        }
        message = Convert(destination.string() + "/", fault.Selection, type);
    }
    EXPECT_EQ(message, Replace(fault.Message, "{path}", failing.string()));

    // The pages before the failing one, byte for byte as a sound run writes them; whatever was
    // there before the run untouched; nothing else.
    if (std::filesystem::is_directory(destination)) {
        auto expected = before;
        for (int page = 1; page <= fault.PagesBefore; ++page) {
            const std::string name = "out_" + std::to_string(page) + Extension(type);
            expected[name] = reference.at(name);
        }
        EXPECT_EQ(FilesIn(destination), expected);
    }

    // And the next run, into a sound folder, works.
    const auto next = dir.Path() / "next";
    std::filesystem::create_directory(next);
    EXPECT_EQ(Convert(next.string() + "/", "1-3", type), kCompleteNotice);
    EXPECT_EQ(FilesIn(next), reference);
}

// A small file system that fills up in the middle of a page: the pages before it stay whole,
// the older file of the page being written stays as it was, no hidden file is left, and the run
// says so.
class FullDisk : public ::testing::TestWithParam<const char*> {};

TEST_P(FullDisk, FillingUpMidPageKeepsEarlierPagesAndTheOlderFile) {
    const std::string type = GetParam();
    TempDir dir;
    const auto good = dir.Path() / "good";
    std::filesystem::create_directory(good);
    ASSERT_EQ(Convert(good.string() + "/", "1-3", type), kCompleteNotice);
    const auto reference = FilesIn(good);
    const std::string page1 = reference.at("out_1" + Extension(type));

    // A private mount namespace, so the small disk exists for this process only.
    const auto disk = dir.Path() / "disk";
    std::filesystem::create_directory(disk);
    const std::size_t block = 4096;
    // Room for page 1 and the older file, and a block more: page 2 cannot fit.
    const std::string size = "size=" + std::to_string((page1.size() / block + 3) * block);
    if (unshare(CLONE_NEWNS) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("folioxa-test", disk.c_str(), "tmpfs", 0, size.c_str()) != 0) {
        GTEST_SKIP() << "no permission to mount a small file system here";
    }
    const std::string older = "out_2" + Extension(type);
    WriteFile(disk / older, "the older page 2");
    EXPECT_EQ(Convert(disk.string() + "/", "1-3", type), "Stream write error.");
    EXPECT_EQ(FilesIn(disk), (std::map<std::string, std::string>{{"out_1" + Extension(type), page1},
                                                                 {older, "the older page 2"}}));
    umount(disk.c_str());
}

INSTANTIATE_TEST_SUITE_P(Types, FullDisk, ::testing::Values("BMP", "PNG", "JPG"));

const BadDiskCase kBadDisks[] = {
    {"MissingFolder", "1,2", "missing/out_1", 0,
     "Cannot create file \"{path}\". No such file or directory.",
     [](const std::filesystem::path&, const std::string&) { return FaultSetup{}; }},
    {"FolderIsAFile", "1,2", "plain.txt/out_1", 0,
     "Cannot create file \"{path}\". Not a directory.",
     [](const std::filesystem::path& folder, const std::string&) {
         WriteFile(folder / "plain.txt", "a file, not a folder");
         return FaultSetup{};
     }},
    {"ReadOnlyFolder", "1,2", "ro/out_1", 0, "Cannot create file \"{path}\". Permission denied.",
     [](const std::filesystem::path& folder, const std::string&) {
         std::filesystem::create_directory(folder / "ro");
         std::filesystem::permissions(folder / "ro", std::filesystem::perms(0555));
         return FaultSetup{};
     }},
    {"FileLockedByAnotherProcess", "1,2,3", "out_2", 1,
     "Cannot create file \"{path}\". Resource temporarily unavailable.",
     [](const std::filesystem::path&, const std::string& failing) {
         WriteFile(failing, "another program is writing this");
         auto holder = std::make_shared<LockHolder>(failing);
         return FaultSetup{holder->Locked(), holder};
     }},
    {"FullDevice", "1,2,3", "out_2", 1, "Stream write error.",
     [](const std::filesystem::path&, const std::string& failing) {
         // A device node of the full device's numbers at the page's name: written directly.
         return FaultSetup{mknod(failing.c_str(), S_IFCHR | 0666, makedev(1, 7)) == 0, nullptr};
     }},
    // Another user plants a link to a file of the user running the conversion in a folder
    // everyone may write to: the link is replaced by the page, the file it named stays.
    {"LinkPlantedByAnotherUser", "1,2,3", "out_2", 3, "Conversion complete!",
     [](const std::filesystem::path& folder, const std::string& failing) {
         std::filesystem::permissions(folder, std::filesystem::perms(01777));
         WriteFile(folder / "victim.txt", "the user's own file");
         std::filesystem::create_symlink(folder / "victim.txt", failing);
         constexpr uid_t kNobody = 65534;
         return FaultSetup{geteuid() != 0 || lchown(failing.c_str(), kNobody, kNobody) == 0,
                           nullptr};
     }},
    {"FifoAtTheName", "1,2,3", "out_2", 1,
     "Cannot create file \"{path}\". No such device or address.",
     [](const std::filesystem::path&, const std::string& failing) {
         return FaultSetup{mkfifo(failing.c_str(), 0666) == 0, nullptr};
     }},
    {"NameLongerThanTheFileSystemAllows", "1," + std::string(NAME_MAX, '0') + "2",
     "out_" + std::string(NAME_MAX, '0') + "2", 1,
     "Cannot create file \"{path}\". File name too long.",
     [](const std::filesystem::path&, const std::string&) { return FaultSetup{}; }},
};

std::string CaseName(const ::testing::TestParamInfo<BadDisk::ParamType>& info) {
    return std::string(std::get<0>(info.param).Name) + "_" + std::get<1>(info.param);
}

INSTANTIATE_TEST_SUITE_P(Faults, BadDisk,
                         ::testing::Combine(::testing::ValuesIn(kBadDisks),
                                            ::testing::Values("BMP", "PNG", "JPG")),
                         CaseName);

} // namespace
} // namespace folioxa
