#include "cli/EntryPlan.h"

#include "base/Error.h"

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

TEST(FindSharedFile, OnlyFilesThatTwoDocumentsWrite) {
    // Each plan as "path:page path:page ..."; page 0 names no page.
    const auto plan = [](std::vector<std::pair<std::string, int>> entries) {
        EntryPlan p;
        for (auto& [path, page] : entries) {
            p.Entries.push_back({0, "", path, page, false});
        }
        return p;
    };
    struct Case {
        const char* name;
        std::vector<EntryPlan> plans;
        std::string shared; // "first second path", or "" for none
    };
    const std::vector<Case> cases = {
        {"different names", {plan({{"/o/a_1.jpg", 1}}), plan({{"/o/b_1.jpg", 1}})}, ""},
        {"one document twice over one file", {plan({{"/o/a_1.jpg", 1}, {"/o/a_1.jpg", 1}})}, ""},
        {"one name in one folder",
         {plan({{"/o/x_1.jpg", 1}}), plan({{"/p/x_1.jpg", 1}}), plan({{"/o/x_1.jpg", 1}})},
         "0 2 /o/x_1.jpg"},
        {"an entry the run fails on writes nothing",
         {plan({{"/o/x_3.jpg", 0}}), plan({{"/o/x_3.jpg", 3}})},
         ""},
    };
    for (const auto& c : cases) {
        const auto shared = FindSharedFile(c.plans);
        EXPECT_EQ(shared ? std::to_string(shared->First) + " " + std::to_string(shared->Second) +
                               " " + shared->Path
                         : "",
                  c.shared)
            << c.name;
    }
}

} // namespace
} // namespace folioxa
