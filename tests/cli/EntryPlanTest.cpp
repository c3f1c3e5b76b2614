#include "cli/EntryPlan.h"

#include "imaging/Error.h"

#include <gtest/gtest.h>

namespace folioxa {
namespace {

std::string Describe(const EntryPlan& plan) {
    std::string text;
    for (const auto& e : plan.Entries) {
        text += e.Text + ">" + e.Path.substr(e.Path.rfind('/') + 1) + ":" + std::to_string(e.Page) +
                (e.Repeated ? "R" : "") + " ";
    }
    return text + "unreached " + std::to_string(plan.Unreached());
}

TEST(PlanEntries, FlagsAndStopsWhereTheRunWould) {
    struct Case {
        std::string selection;
        int pageCount;
        std::string plan;
        bool endsOnFailure;
        bool repeats;
    };
    const std::vector<Case> cases = {
        {"1-3", 12, "1>d_01.png:1 2>d_02.png:2 3>d_03.png:3 unreached 0", false, false},
        {"2,2", 12, "2>d_02.png:2 2>d_02.png:2R unreached 0", false, true},
        // Different texts, one file: 7 and 007 pad alike in a 100-page document.
        {"7,007,$A", 100, "7>d_007.png:7 007>d_007.png:7R $A>d_0$A.png:10 unreached 0", false,
         true},
        {"1,15,2", 12, "1>d_01.png:1 15>d_15.png:0 unreached 1", true, false},
        {"1,abc,2", 12, "1>d_01.png:1 abc>d_abc.png:0 unreached 1", true, false},
        {"0", 12, "0>d_00.png:0 unreached 0", true, false},
        {"5-3", 12, "unreached 0", false, false}, // every range reversed: nothing to convert
        // A huge range stops at the first page the document lacks, never expanding the rest.
        {"1-2147483647", 2, "1>d_1.png:1 2>d_2.png:2 3>d_3.png:0 unreached 2147483644", true,
         false},
    };
    for (const auto& c : cases) {
        ConversionSettings settings;
        settings.DestinationFolder = "/o/";
        settings.BaseFileName = "d_";
        settings.ImageType = "PNG";
        std::optional<PageList> pages;
        try {
            pages = BuildPageList(cmPageSelection, c.selection, c.pageCount, [](auto&) {});
        } catch (const Error&) {
            pages = PageList();
        }
        const EntryPlan plan = PlanEntries(*pages, c.pageCount, settings);
        EXPECT_EQ(Describe(plan), c.plan) << c.selection;
        EXPECT_EQ(plan.EndsOnFailure(), c.endsOnFailure) << c.selection;
        EXPECT_EQ(plan.HasRepeats(), c.repeats) << c.selection;
    }
}

} // namespace
} // namespace folioxa
