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
    // Each document as "folder|base|pages|selection", then "|odd", "|even" or "|single" for a
    // filter or --single-file; the same type for all.
    struct Case {
        const char* name;
        std::vector<std::string> documents;
        std::string shared; // "first second path", or "" for none
    };
    const std::vector<Case> cases = {
        {"different names", {"/o/|a_|9|1-9", "/o/|b_|9|1-9"}, ""},
        {"one document twice over one file", {"/o/|a_|9|1,1"}, ""},
        {"one name in one folder",
         {"/o/|x_|9|4", "/p/|x_|9|1-9", "/o/|x_|9|2-5"},
         "0 2 /o/x_4.png"},
        {"the folder resolved", {"/o/|x_|9|7", "/o/q/../|x_|9|1-9"}, "0 1 /o/q/../x_7.png"},
        {"the earliest entry of the later document",
         {"/o/|x_|99|50-60", "/o/|x_|99|70,59,3-55"},
         "0 1 /o/x_59.png"},
        {"an entry the run fails on writes nothing, nor those after it",
         {"/o/|x_|2|3", "/o/|x_|9|3"},
         ""},
        {"nor those after it", {"/o/|x_|9|1-5", "/o/|x_|9|7,x,1"}, ""},
        {"a range past the last page stops there", {"/o/|x_|5|1-9", "/o/|x_|9|6-9"}, ""},
        {"fewer digits, a prefix ending in digits",
         {"/o/|x_1|9|2", "/o/|x_|99|5-19"},
         "0 1 /o/x_12.png"},
        {"more digits", {"/o/|x_|99|10-19", "/o/|x_1|9|1-5"}, "0 1 /o/x_11.png"},
        {"a page as typed", {"/o/|x_|99|7", "/o/|x_|99|07"}, "0 1 /o/x_07.png"},
        {"a page in hexadecimal", {"/o/|x_|99|$1A", "/o/|x_|99|9,$1A"}, "0 1 /o/x_$1A.png"},
        {"millions of entries, two copies",
         {"/o/|x_|100000|1-100000,1-100000", "/p/|x_|100000|1-100000",
          "/o/|x_|100000|99999-100000"},
         "0 2 /o/x_099999.png"},
        {"odd pages meet at an odd page",
         {"/o/|x_|9|1-9|odd", "/o/|x_|9|4-9|odd"},
         "0 1 /o/x_5.png"},
        {"odd and even pages never meet", {"/o/|x_|9|1-9|odd", "/o/|x_|9|1-9|even"}, ""},
        {"entries counted in steps", {"/o/|x_|9|7", "/o/|x_|9|1-9|odd"}, "0 1 /o/x_7.png"},
        {"single files of one base", {"/o/|x|9|2|single", "/o/|x|9|5|single"}, "0 1 /o/x.png"},
    };
    for (const auto& c : cases) {
        std::vector<ConversionSettings> settings;
        std::vector<PageList> lists;
        std::vector<std::int32_t> counts;
        for (const std::string& document : c.documents) {
            const std::vector<std::string> parts = SplitItems(document, '|');
            ConversionSettings s;
            s.DestinationFolder = parts[0];
            s.BaseFileName = parts[1];
            s.ImageType = "PNG";
            counts.push_back(std::stoi(parts[2]));
            const std::string extra = parts.size() > 4 ? parts[4] : "";
            s.SingleFile = extra == "single";
            PageFilter filter;
            filter.Parity = extra == "odd"    ? PageParity::Odd
                            : extra == "even" ? PageParity::Even
                                              : PageParity::Any;
            settings.push_back(s);
            lists.push_back(*BuildPageList(
                cmPageSelection, parts[3], counts.back(), [](const std::string&) {}, filter));
        }
        std::vector<DocumentNames> names;
        for (std::size_t i = 0; i < lists.size(); ++i) {
            names.push_back({&lists[i], counts[i], &settings[i]});
        }
        const auto shared = FindSharedFile(names);
        EXPECT_EQ(shared ? std::to_string(shared->First) + " " + std::to_string(shared->Second) +
                               " " + shared->Path
                         : "",
                  c.shared)
            << c.name;
    }
}

} // namespace
} // namespace folioxa
