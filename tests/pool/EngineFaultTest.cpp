// The render pool over an engine that fails inside a page (the fake engine, first on the
// library path of this process and its workers): the run loses that page alone.
#include "conversion/AvailableMemory.h"
#include "pool/MemoryLimit.h"
#include "pool/PooledConversion.h"
#include "pool/Thumbnails.h"
#include "support/FakeEngine.h"
#include "support/NoticeView.h"
#include "support/TestFiles.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>

#include <filesystem>
#include <map>

namespace folioxa {
namespace {

using testing::TempDir;

struct Fault {
    const char* Order; // for page 2 of 3
    double PageTimeout;
    std::uint64_t MemoryLimitMb; // 0: the default
    const char* Message;         // the run's failure; "..." ends a prefix
};

// The run's failure, "" for none.
std::string Convert(const TempDir& dir, const std::string& selection, const Fault& fault,
                    int workers) {
    ConversionSettings settings;
    settings.InputFileName = dir.File("doc.pdf");
    settings.ConvertMethod = cmPageSelection;
    settings.PageSelection = selection;
    settings.ImageType = "PNG";
    settings.Resolution = 72;
    settings.BaseFileName = "doc_";
    settings.DestinationFolder = dir.File("out") + "/";
    PoolOptions options;
    options.Workers = workers;
    options.PageTimeoutSeconds = fault.PageTimeout;
    options.MemoryLimit = fault.MemoryLimitMb << 20;
    testing::NoticeView view;
    TWorkerDocument pdf("Pdf");
    try {
        RunPooledConversion(settings, pdf, view, options);
    } catch (const Error& e) {
        return e.what();
    }
    return "";
}

TEST(EngineFault, CostsThePageAloneAndTheNextRunWorks) {
    const Fault faults[] = {
        {"crash-on 2", 0, 0, "The PDF engine stopped while drawing page 2 (..."},
        {"abort-on 2", 0, 0, "The PDF engine stopped while drawing page 2 (..."},
        {"hang-on 2", 1, 0, "Page 2 took longer than the limit of 1 seconds"},
        // The engine aborts when its allocation is refused; an abort far from the cap stays one.
        {"allocate-mb 2 4000", 0, 300,
         "Page 2 needs more memory than the limit of 300 MB per page"},
        {"abort-on 2", 0, 300, "The PDF engine stopped while drawing page 2 (..."},
        {"tls-abort-on 2", 0, 300, "Page 2 needs more memory than the limit of 300 MB per page"},
    };
    for (const Fault& fault : faults) {
        if (fault.MemoryLimitMb > 0 && !MemoryLimitSupported()) {
            continue; // this build's workers have no cap
        }
        for (int workers : {1, 2}) {
            SCOPED_TRACE(std::string(fault.Order) + ", " + std::to_string(workers) + " workers");
            TempDir dir;
            std::filesystem::create_directory(dir.Path() / "out");
            testing::WriteFile(dir.File("doc.pdf"), testing::FakePdf({"pages 3", fault.Order}));
            const std::string message = fault.Message;
            const std::string failure = Convert(dir, "1-3", fault, workers);
            if (message.ends_with("...")) {
                EXPECT_THAT(failure, ::testing::StartsWith(message.substr(0, message.size() - 3)));
            } else {
                EXPECT_EQ(failure, message);
            }
            EXPECT_TRUE(testing::Children().empty()) << "a worker outlived its run";
            const auto files = std::distance(std::filesystem::directory_iterator(dir.File("out")),
                                             std::filesystem::directory_iterator());
            EXPECT_EQ(files, 1);
            EXPECT_TRUE(testing::IsFakePage(testing::ReadFile(dir.File("out/doc_1.png")), 1));

            EXPECT_EQ(Convert(dir, "3", fault, workers), "");
            EXPECT_TRUE(testing::IsFakePage(testing::ReadFile(dir.File("out/doc_3.png")), 3));
        }
    }
}

// The small pictures' worker meets the same faults: page 2's picture fails with the run's own
// text, the worker is replaced, and pages 1 and 3 are drawn.
TEST(EngineFault, CostsOnePictureAlone) {
    const Fault faults[] = {
        {"crash-on 2", 0, 0, "The PDF engine stopped while drawing page 2 (..."},
        {"hang-on 2", 1, 0, "Page 2 took longer than the limit of 1 seconds"},
    };
    for (const Fault& fault : faults) {
        SCOPED_TRACE(fault.Order);
        TempDir dir;
        testing::WriteFile(dir.File("doc.pdf"), testing::FakePdf({"pages 3", fault.Order}));
        PoolOptions options;
        options.PageTimeoutSeconds = fault.PageTimeout;
        std::map<int, Thumbnail> pictures;
        {
            TThumbnailWorker worker(dir.File("doc.pdf"), "", 16, options);
            worker.Want({1, 2, 3});
            while (pictures.size() < 3 && !worker.Broken()) {
                pollfd events{worker.EventFd(), POLLIN, 0};
                ASSERT_GT(poll(&events, 1, 60000), 0) << "no picture came";
                for (Thumbnail& picture : worker.Process()) {
                    pictures[picture.Page] = std::move(picture);
                }
            }
        }
        ASSERT_EQ(pictures.size(), 3U);
        const std::string message = fault.Message;
        EXPECT_THAT(pictures[2].Failure,
                    ::testing::StartsWith(message.substr(0, message.find("..."))));
        EXPECT_TRUE(pictures[2].Pixels.empty());
        for (const int page : {1, 3}) {
            // The fake engine's pages are 144 x 72 points: 16 x 8 pixels, in the page's colour.
            const Thumbnail& picture = pictures[page];
            ASSERT_EQ(picture.Pixels.size(), 16U * 8U * 4U) << page;
            const std::uint32_t rgb = testing::FakePageRgb(page);
            EXPECT_EQ(picture.Pixels[0], rgb & 0xFF) << page; // blue first
            EXPECT_EQ(picture.Pixels[2], rgb >> 16) << page;
        }
        EXPECT_TRUE(testing::Children().empty()) << "a worker outlived its pictures";
    }
}

TEST(EngineFault, DefaultMemoryLimitIsTheEnginesAllowanceWithinTheShare) {
    if (!MemoryLimitSupported()) {
        GTEST_SKIP() << "this build's workers have no cap";
    }
    const struct {
        std::uint64_t AvailableMb;
        int Workers;
        const char* AllocateMb;
        const char* Message;
    } rows[] = {
        // The share binds: 1024 MB among two workers.
        {1024, 2, "600", "Page 1 needs more memory than the limit of 512 MB per page"},
        // Plenty free: the engine's 512 MB (and the page's small pixels twice) bind.
        {65536, 1, "600", "Page 1 needs more memory than the limit of 512 MB per page"},
        {65536, 1, "400", ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::to_string(row.AvailableMb) + " MB, " + row.AllocateMb);
        SetAvailableMemoryProbe(
            [&row] { return std::optional<std::uint64_t>(row.AvailableMb << 20); });
        TempDir dir;
        std::filesystem::create_directory(dir.Path() / "out");
        testing::WriteFile(
            dir.File("doc.pdf"),
            testing::FakePdf({"pages 2", std::string("allocate-mb 1 ") + row.AllocateMb}));
        EXPECT_EQ(Convert(dir, "1-2", {"", 0, 0, ""}, row.Workers), row.Message);
    }
    SetAvailableMemoryProbe({});
}

} // namespace
} // namespace folioxa
