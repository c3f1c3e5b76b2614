#include "conversion/PageSelection.h"

#include "conversion/Messages.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <tuple>

namespace folioxa {
namespace {

using ::testing::ElementsAreArray;

std::vector<std::string> Entries(const PageList& list) {
    std::vector<std::string> out;
    for (std::int64_t i = 0; i < list.Count(); ++i) {
        out.push_back(list.Entry(i));
    }
    return out;
}

struct SelectionCase {
    std::string selection;
    std::vector<std::string> entries;
    std::vector<std::string> notices;
    std::string failure; // empty: the list is built
};

void CheckSelection(const SelectionCase& c) {
    SCOPED_TRACE(c.selection);
    std::vector<std::string> notices;
    const auto notice = [&](const std::string& text) { notices.push_back(text); };
    if (!c.failure.empty()) {
        try {
            BuildPageList(cmPageSelection, c.selection, 12, notice);
            ADD_FAILURE() << "expected a failure";
        } catch (const Error& e) {
            EXPECT_EQ(e.what(), c.failure);
        }
    } else {
        const auto list = BuildPageList(cmPageSelection, c.selection, 12, notice);
        ASSERT_TRUE(list.has_value());
        EXPECT_THAT(Entries(*list), ElementsAreArray(c.entries));
    }
    EXPECT_THAT(notices, ElementsAreArray(c.notices));
}

const std::string kSkip = "The following page range is invalid and was skipped: ";

TEST(BuildPageList, SelectionsOnATwelvePageDocument) {
    const std::vector<SelectionCase> cases = {
        SelectionCase{"1-4,6,9-10", {"1", "2", "3", "4", "6", "9", "10"}, {}, ""},
        SelectionCase{"3,1,3", {"3", "1", "3"}, {}, ""},
        SelectionCase{"5-3,7", {"7"}, {kSkip + "5-3"}, ""},
        SelectionCase{"1,,2,", {"1", "2"}, {}, ""}, SelectionCase{",,1,,", {"1"}, {}, ""},
        SelectionCase{",,,", {}, {}, ""}, SelectionCase{"2-2", {"2"}, {}, ""},
        SelectionCase{"1-3-5", {"1", "2", "3"}, {}, ""},
        SelectionCase{"0x2-0x4", {"2", "3", "4"}, {}, ""},
        SelectionCase{"$A-$C", {"10", "11", "12"}, {}, ""},
        // Single items are copied as typed: checked only when the run reaches them.
        SelectionCase{"007", {"007"}, {}, ""}, SelectionCase{"$A", {"$A"}, {}, ""},
        SelectionCase{"1, 2", {"1", " 2"}, {}, ""}, SelectionCase{"abc", {"abc"}, {}, ""},
        SelectionCase{"15", {"15"}, {}, ""}, SelectionCase{"   ", {"   "}, {}, ""},
        SelectionCase{"1- 3", {"1", "2", "3"}, {}, ""},
        SelectionCase{"1,5-3,2", {"1", "2"}, {kSkip + "5-3"}, ""},
        SelectionCase{"5-3,9-1", {}, {kSkip + "5-3", kSkip + "9-1"}, ""},
        // A hexadecimal range may reach negative numbers.
        SelectionCase{"$FFFFFFFE-1", {"-2", "-1", "0", "1"}, {}, ""},
        // CR and LF end items like commas.
        SelectionCase{"1\r\n2\n3", {"1", "2", "3"}, {}, ""},
        SelectionCase{"2 - 4", {}, {}, "'2 ' is not a valid integer value"},
        SelectionCase{"1 -3", {}, {}, "'1 ' is not a valid integer value"},
        SelectionCase{"2-x", {}, {}, "'x' is not a valid integer value"},
        SelectionCase{"4-", {}, {}, "List index out of bounds (1)"},
        SelectionCase{"-3", {}, {}, "List index out of bounds (1)"},
        SelectionCase{"-", {}, {}, "List index out of bounds (0)"},
        // A one-part item whose part is no number fails on the number.
        SelectionCase{"x-", {}, {}, "'x' is not a valid integer value"},
        SelectionCase{"\"1-2\"", {}, {}, "'\"1-2\"' is not a valid integer value"},
        SelectionCase{"1-2147483648", {}, {}, "'2147483648' is not a valid integer value"},
        // Notices before the failing item have been shown; nothing after it is examined.
        SelectionCase{"5-3,x-1,9-8", {}, {kSkip + "5-3"}, "'x' is not a valid integer value"}};
    for (const auto& c : cases) {
        CheckSelection(c);
    }
}

TEST(BuildPageList, AllPagesAndEmptySelection) {
    std::vector<std::string> notices;
    const auto notice = [&](const std::string& text) { notices.push_back(text); };
    const auto all = BuildPageList(cmAllPages, "ignored", 12, notice);
    ASSERT_TRUE(all);
    EXPECT_THAT(Entries(*all),
                ElementsAreArray({"1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11", "12"}));
    EXPECT_TRUE(BuildPageList(cmAllPages, "", 0, notice)->Empty());
    EXPECT_TRUE(notices.empty());

    EXPECT_FALSE(BuildPageList(cmPageSelection, "", 12, notice).has_value());
    EXPECT_TRUE(notices.empty()) << "the caller reports an empty selection";
}

TEST(BuildPageList, HugeRangeKeepsOneSegment) {
    const auto list = BuildPageList(cmPageSelection, "1-2147483647,$80000000-$7FFFFFFF", 12,
                                    [](const std::string&) {});
    ASSERT_TRUE(list);
    EXPECT_EQ(list->SegmentCount(), 2U);
    EXPECT_EQ(list->Count(), 2147483647LL + 4294967296LL);
    EXPECT_EQ(list->Entry(0), "1");
    EXPECT_EQ(list->Entry(2147483646), "2147483647");
    EXPECT_EQ(list->Entry(2147483647), "-2147483648");
    EXPECT_EQ(list->Entry(list->Count() - 1), "2147483647");
    EXPECT_THROW(list->Entry(list->Count()), std::out_of_range);
}

TEST(ReadSelection, EachItemAsARunReadsItNothingRefused) {
    using Item = SelectionItem;
    const auto items = ReadSelection("1-4,6,5-3,x,2-,$A,,0x2-0x2,-1");
    const std::vector<std::tuple<std::string, Item::ItemKind, int, int>> expected = {
        {"1-4", Item::Range, 1, 4},     {"6", Item::Page, 6, 6}, {"5-3", Item::Reversed, 5, 3},
        {"x", Item::Bad, 0, 0},         {"2-", Item::Bad, 0, 0}, {"$A", Item::Page, 10, 10},
        {"0x2-0x2", Item::Range, 2, 2}, {"-1", Item::Bad, 0, 0}};
    ASSERT_EQ(items.size(), expected.size());
    for (std::size_t i = 0; i < items.size(); ++i) {
        const auto& [text, kind, first, last] = expected[i];
        EXPECT_EQ(items[i].Text, text);
        EXPECT_EQ(items[i].Kind, kind) << text;
        if (kind != Item::Bad) {
            EXPECT_EQ(items[i].First, first) << text;
            EXPECT_EQ(items[i].Last, last) << text;
        }
    }
}

TEST(CompressPages, RunsBecomeRangesThatListThePagesAgain) {
    const std::vector<std::pair<std::vector<std::int32_t>, std::string>> rows = {
        {{}, ""},        {{5}, "5"},         {{1, 2, 3, 4, 6, 9, 10}, "1-4,6,9-10"},
        {{1, 3}, "1,3"}, {{1, 1, 2}, "1-2"}, {{998, 999, 1000}, "998-1000"},
    };
    for (const auto& [pages, text] : rows) {
        EXPECT_EQ(CompressPages(pages), text);
        if (!text.empty()) {
            const auto list = BuildPageList(cmPageSelection, text, 1000, [](const std::string&) {});
            std::vector<std::string> expected;
            for (std::size_t i = 0; i < pages.size(); ++i) {
                if (i == 0 || pages[i] != pages[i - 1]) {
                    expected.push_back(std::to_string(pages[i]));
                }
            }
            EXPECT_THAT(Entries(*list), ElementsAreArray(expected)) << text;
        }
    }
}

TEST(BuildPageList, FilterKeepsTheListedPagesItNames) {
    struct Case {
        ConvertMethod method;
        std::string selection;
        PageFilter filter;
        std::vector<std::string> entries;
        std::string notice; // besides the selection's own
    };
    using P = PageParity;
    const std::vector<Case> cases = {
        {cmAllPages, "", {5, 0, P::Any}, {"5", "6", "7", "8", "9", "10", "11", "12"}, ""},
        {cmAllPages, "", {0, 3, P::Any}, {"1", "2", "3"}, ""},
        {cmAllPages, "", {0, 99, P::Odd}, {"1", "3", "5", "7", "9", "11"}, ""},
        {cmAllPages, "", {4, 9, P::Even}, {"4", "6", "8"}, ""},
        {cmAllPages, "", {5, 0, P::Even}, {"6", "8", "10", "12"}, ""},
        // Order, repeats and the texts as typed stay; a text that names no number stays too,
        // so that the run still fails on it, and so does a page the document lacks.
        {cmPageSelection,
         "9,03,x,2,3,20-23",
         {3, 0, P::Odd},
         {"9", "03", "x", "3", "21", "23"},
         ""},
        {cmPageSelection, "$FFFFFFFD-1", {0, 0, P::Odd}, {"-3", "-1", "1"}, ""},
        {cmAllPages,
         "",
         {13, 0, P::Any},
         {},
         "No page to convert: the list holds none of the pages from 13 on"},
        {cmPageSelection,
         "2,4",
         {0, 0, P::Odd},
         {},
         "No page to convert: the list holds none of the odd pages"},
        {cmPageSelection,
         "5-9",
         {1, 4, P::Even},
         {},
         "No page to convert: the list holds none of the even pages from 1 to 4"},
        {cmAllPages, "", {0, 0, P::Any}, {}, ""}, // a document without pages: nothing to say
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.selection + " " + c.filter.Text());
        std::vector<std::string> notices;
        const int pages = c.entries.empty() && c.notice.empty() ? 0 : 12;
        const auto list = BuildPageList(
            c.method, c.selection, pages, [&](const std::string& t) { notices.push_back(t); },
            c.filter);
        ASSERT_TRUE(list);
        EXPECT_THAT(Entries(*list), ElementsAreArray(c.entries));
        EXPECT_EQ(notices, c.notice.empty() ? std::vector<std::string>{}
                                            : std::vector<std::string>{c.notice});
    }
    // A filtered range is still one segment, however long.
    const auto huge = BuildPageList(cmPageSelection, "1-2147483647", 12, {}, {10, 0, P::Even});
    EXPECT_EQ(huge->SegmentCount(), 1U);
    EXPECT_EQ(huge->Count(), 1073741819);
    EXPECT_EQ(huge->Entry(huge->Count() - 1), "2147483646");
}

TEST(SplitItems, QuotesAndLineBreaks) {
    struct Case {
        std::string text;
        char separator;
        std::vector<std::string> items;
    };
    const std::vector<Case> cases = {
        {"", ',', {}},
        {"a,b", ',', {"a", "b"}},
        {" a , b ", ',', {" a ", " b "}},
        {"\"a,b\",c", ',', {"\"a,b\"", "c"}},
        {"'a\"b,c'd,e", ',', {"'a\"b,c'd", "e"}},
        {"\"open,to the end", ',', {"\"open,to the end"}},
        {"\r\n\r\na", ',', {"a"}},
        {"a\rb", '-', {"a", "b"}},
        {"1-2-3", '-', {"1", "2", "3"}},
    };
    for (const auto& c : cases) {
        EXPECT_THAT(SplitItems(c.text, c.separator), ElementsAreArray(c.items)) << c.text;
    }
}

TEST(ParsePageNumber, AcceptedForms) {
    const std::vector<std::pair<std::string, std::int32_t>> cases = {
        {"0", 0},
        {"7", 7},
        {"007", 7},
        {"   12", 12},
        {"+5", 5},
        {"-5", -5},
        {"2147483647", 2147483647},
        {"-2147483648", INT32_MIN},
        {"0000000000000000000042", 42},
        {"$A", 10},
        {"xff", 255},
        {"Xff", 255},
        {"0x10", 16},
        {"0X10", 16},
        {"$FFFFFFFF", -1},
        {"$80000000", INT32_MIN},
        {"-$A", -10},
        {"$000000000000001", 1},
    };
    for (const auto& [text, value] : cases) {
        EXPECT_EQ(ParsePageNumber(text), value) << text;
    }
}

TEST(ParsePageNumber, RejectedFormsNameTheWholeText) {
    const std::vector<std::string> cases = {
        "",    " ",   "-",          "+",           "$",          "0x",  "x",   "1 ",  "\t1", "- 1",
        "1.0", "1e3", "2147483648", "-2147483649", "$100000000", "12a", "--1", "+-1", "$G",  "٣",
    };
    for (const auto& text : cases) {
        try {
            ParsePageNumber(text);
            ADD_FAILURE() << "accepted '" << text << "'";
        } catch (const EConvertError& e) {
            EXPECT_EQ(e.what(), "'" + text + "' is not a valid integer value");
        }
    }
}

TEST(DisplayText, PeriodRule) {
    EXPECT_EQ(DisplayText("'x' is not a valid integer value"), "'x' is not a valid integer value.");
    EXPECT_EQ(DisplayText("Invalid page range provided!"), "Invalid page range provided!");
    EXPECT_EQ(DisplayText("List index out of bounds (1)"), "List index out of bounds (1)");
    EXPECT_EQ(DisplayText("Ends with a period."), "Ends with a period.");
    EXPECT_EQ(DisplayText("Cannot open page 15"), "Cannot open page 15.");
    EXPECT_EQ(DisplayText(""), "");
}

} // namespace
} // namespace folioxa
