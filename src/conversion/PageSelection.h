#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace folioxa {

enum ConvertMethod { cmAllPages, cmPageSelection };

// Cuts `text` into items at `separator`, carriage return and line feed. A quote (" or ') opens a
// stretch in which those characters are ordinary, up to the same quote or the end of the text;
// quotes stay in the item. Empty items are dropped; nothing is trimmed.
std::vector<std::string> SplitItems(std::string_view text, char separator);

// The one text-to-integer rule: leading spaces, an optional sign, then decimal digits or
// hexadecimal after "$", "x", "X", "0x" or "0X"; 32-bit range; nothing trailing.
// Throws EConvertError "'<text>' is not a valid integer value".
std::int32_t ParsePageNumber(const std::string& text);
// The same rule without the exception: nothing for a text that is no number.
std::optional<std::int32_t> TryParsePageNumber(std::string_view text);
// True when `entry` is the number of a page of a document of `pageCount` pages.
bool NamesPage(std::string_view entry, std::int32_t pageCount);

// The ordered entry texts of one run. A range is kept as one segment that spells its entries on
// demand, so memory grows with the number of items in the selection, never with the pages.
class PageList {
public:
    std::int64_t Count() const { return FCount; }
    bool Empty() const { return FCount == 0; }

    // The text of entry `index` (0 <= index < Count()): a range yields the decimal numbers, a
    // single item its text exactly as typed. Throws std::out_of_range outside the list.
    std::string Entry(std::int64_t index) const;

    void AppendText(std::string text);
    // first, first + step, ... up to last (first <= last, step >= 1).
    void AppendRange(std::int64_t first, std::int64_t last, std::int64_t step = 1);

    struct Segment {
        std::int64_t Start; // index of the segment's first entry in the list
        std::int64_t First; // first number of a range
        std::int64_t Count; // 1 for a text
        std::int64_t Step;  // of a range
        std::string Text;   // set for a single item
        bool IsRange;
    };
    // One per item or range, in list order: what the list costs in memory.
    const std::vector<Segment>& Segments() const { return FSegments; }
    std::size_t SegmentCount() const { return FSegments.size(); }

private:
    std::vector<Segment> FSegments;
    std::int64_t FCount = 0;
};

// The bounds of a range item ("4-9"), not ordered. Throws EListError for a missing bound and
// EConvertError for a bound that is not a number, as a run does.
std::pair<std::int32_t, std::int32_t> RangeBounds(const std::string& item);

// One item of a selection as a run would read it, nothing refused: a single page, a range, a
// reversed range (which a run skips) or a bad item (which fails a run when reached).
struct SelectionItem {
    enum ItemKind { Page, Range, Reversed, Bad };
    std::string Text;
    ItemKind Kind;
    std::int32_t First; // Page, Range, Reversed: the bounds as typed
    std::int32_t Last;
};
std::vector<SelectionItem> ReadSelection(const std::string& selection);

// Ascending page numbers written in the selection's own syntax, runs joined into ranges
// ("1-4,6,9-10"); duplicates fold into their run.
std::string CompressPages(const std::vector<std::int32_t>& sortedPages);

using NoticeFunction = std::function<void(const std::string&)>;

enum class PageParity { Any, Odd, Even };

// Which entries of a list a run keeps, by the page number they name: from First to Last (0: no
// bound) and of one parity. An entry that is not a number is kept, so that the run still meets
// it and fails there. The default keeps every entry.
struct PageFilter {
    std::int32_t First = 0;
    std::int32_t Last = 0;
    PageParity Parity = PageParity::Any;

    bool KeepsAll() const { return First == 0 && Last == 0 && Parity == PageParity::Any; }
    bool Keeps(std::int32_t page) const;
    // "odd pages from 5 to 9", "pages up to 3", "even pages".
    std::string Text() const;
};

// The page list of a run: 1..pageCount for cmAllPages; for cmPageSelection the items of
// `selection`, ranges expanded, reversed ranges reported through `showNotice` and skipped; then
// only the entries `filter` keeps (a list that it empties is reported, "No page to convert: ...").
// Returns no list only for an empty selection, which the caller reports.
// Throws EConvertError for a bound that is not a number, EListError for a missing bound.
std::optional<PageList> BuildPageList(ConvertMethod method, const std::string& selection,
                                      std::int32_t pageCount, const NoticeFunction& showNotice,
                                      const PageFilter& filter = {});

} // namespace folioxa
