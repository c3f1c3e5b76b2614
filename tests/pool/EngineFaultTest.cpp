// The render pool over an engine that fails inside a page (the fake engine, first on the
// library path of this process and its workers): the run loses that page alone.
#include "pdf/PDFium.h"
#include "pool/PooledConversion.h"
#include "support/FakeEngine.h"
#include "support/NoticeView.h"
#include "support/TestFiles.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

namespace folioxa {
namespace {

using testing::TempDir;

struct Fault {
    const char* Order; // for page 2 of 3
    double PageTimeout;
    const char* Message; // the run's failure; "..." ends a prefix
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
    testing::NoticeView view;
    TPdf pdf("Pdf");
    try {
        RunPooledConversion(settings, pdf, view, options);
    } catch (const Error& e) {
        return e.what();
    }
    return "";
}

TEST(EngineFault, CostsThePageAloneAndTheNextRunWorks) {
    const Fault faults[] = {
        {"crash-on 2", 0, "The PDF engine stopped while drawing page 2 (..."},
        {"abort-on 2", 0, "The PDF engine stopped while drawing page 2 (..."},
        {"hang-on 2", 1, "Page 2 took longer than the limit of 1 seconds"},
    };
    for (const Fault& fault : faults) {
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
            EXPECT_TRUE(testing::ChildProcesses().empty()) << "a worker outlived its run";
            const auto files = std::distance(std::filesystem::directory_iterator(dir.File("out")),
                                             std::filesystem::directory_iterator());
            EXPECT_EQ(files, 1);
            EXPECT_TRUE(testing::IsFakePage(testing::ReadFile(dir.File("out/doc_1.png")), 1));

            EXPECT_EQ(Convert(dir, "3", fault, workers), "");
            EXPECT_TRUE(testing::IsFakePage(testing::ReadFile(dir.File("out/doc_3.png")), 3));
        }
    }
}

} // namespace
} // namespace folioxa
