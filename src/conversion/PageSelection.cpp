#include "conversion/PageSelection.h"

#include "conversion/Messages.h"

#include <algorithm>
#include <stdexcept>

namespace folioxa {

std::vector<std::string> SplitItems(std::string_view text, char separator) {
    std::vector<std::string> items;
    std::size_t pos = 0;
    while (pos < text.size()) {
        while (pos < text.size() && (text[pos] == '\r' || text[pos] == '\n')) {
            ++pos;
        }
        const std::size_t start = pos;
        char quote = 0;
        for (; pos < text.size(); ++pos) {
            const char c = text[pos];
            if (quote != 0) {
                if (c == quote) {
                    quote = 0;
                }
            } else if (c == '"' || c == '\'') {
                quote = c;
            } else if (c == separator || c == '\r' || c == '\n') {
                break;
            }
        }
        if (pos > start) {
            items.emplace_back(text.substr(start, pos - start));
        }
        ++pos; // past the character that ended the item
    }
    return items;
}

namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

} // namespace

std::optional<std::int32_t> TryParsePageNumber(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size() && s[i] == ' ') {
        ++i;
    }
    bool negative = false;
    if (i < s.size() && (s[i] == '-' || s[i] == '+')) {
        negative = s[i] == '-';
        ++i;
    }
    bool hex = false;
    if (i < s.size() && (s[i] == '$' || s[i] == 'x' || s[i] == 'X')) {
        hex = true;
        ++i;
    } else if (i + 1 < s.size() && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X')) {
        hex = true;
        i += 2;
    }
    if (i == s.size()) {
        return std::nullopt; // no digits
    }
    // Accumulated in 64 bits and stopped as soon as it leaves the 32-bit range, so any number of
    // leading zeros is fine and no digit string can overflow.
    std::uint64_t value = 0;
    const std::uint64_t limit = hex ? 0xFFFFFFFFULL : (negative ? 2147483648ULL : 2147483647ULL);
    for (; i < s.size(); ++i) {
        const int digit = hex ? HexDigit(s[i]) : (s[i] >= '0' && s[i] <= '9' ? s[i] - '0' : -1);
        if (digit < 0) {
            return std::nullopt;
        }
        value = value * (hex ? 16U : 10U) + static_cast<unsigned>(digit);
        if (value > limit) {
            return std::nullopt;
        }
    }
    // Hexadecimal is a 32-bit two's complement pattern: $FFFFFFFF is -1.
    auto result = static_cast<std::int64_t>(value);
    if (hex && value > 0x7FFFFFFFULL) {
        result -= 0x100000000LL;
    }
    if (negative) {
        result = -result;
    }
    // "-$80000000" negates -2147483648, which wraps to itself in 32 bits.
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(result & 0xFFFFFFFFLL));
}

bool NamesPage(std::string_view entry, std::int32_t pageCount) {
    const std::optional<std::int32_t> page = TryParsePageNumber(entry);
    return page && *page >= 1 && *page <= pageCount;
}

std::int32_t ParsePageNumber(const std::string& text) {
    if (auto value = TryParsePageNumber(text)) {
        return *value;
    }
    throw EConvertError("'" + text + "' is not a valid integer value");
}

std::string PageList::Entry(std::int64_t index) const {
    if (index < 0 || index >= FCount) {
        throw std::out_of_range("page list index");
    }
    const auto it = std::upper_bound(FSegments.begin(), FSegments.end(), index,
                                     [](std::int64_t i, const Segment& s) { return i < s.Start; });
    const Segment& segment = *(it - 1);
    if (!segment.IsRange) {
        return segment.Text;
    }
    return std::to_string(segment.First + (index - segment.Start) * segment.Step);
}

void PageList::AppendText(std::string text) {
    FSegments.push_back(Segment{FCount, 0, 1, 1, std::move(text), false});
    FCount += 1;
}

void PageList::AppendRange(std::int64_t first, std::int64_t last, std::int64_t step) {
    const std::int64_t count = (last - first) / step + 1;
    FSegments.push_back(Segment{FCount, first, count, step, {}, true});
    FCount += count;
}

std::pair<std::int32_t, std::int32_t> RangeBounds(const std::string& item) {
    const auto parts = SplitItems(item, '-');
    if (parts.empty()) {
        throw EListError("List index out of bounds (0)");
    }
    const std::int32_t start = ParsePageNumber(parts[0]);
    if (parts.size() < 2) {
        throw EListError("List index out of bounds (1)");
    }
    return {start, ParsePageNumber(parts[1])};
}

std::vector<SelectionItem> ReadSelection(const std::string& selection) {
    std::vector<SelectionItem> items;
    for (auto& text : SplitItems(selection, ',')) {
        SelectionItem item{std::move(text), SelectionItem::Bad, 0, 0};
        if (item.Text.find('-') == std::string::npos) {
            if (const auto page = TryParsePageNumber(item.Text)) {
                item.Kind = SelectionItem::Page;
                item.First = item.Last = *page;
            }
        } else {
            try {
                const auto [start, end] = RangeBounds(item.Text);
                item.Kind = start > end ? SelectionItem::Reversed : SelectionItem::Range;
                item.First = start;
                item.Last = end;
            } catch (const Error&) {
                // Bad stays: the run refuses it when it reaches it.
            }
        }
        items.push_back(std::move(item));
    }
    return items;
}

std::string CompressPages(const std::vector<std::int32_t>& sortedPages) {
    std::string text;
    for (std::size_t i = 0; i < sortedPages.size();) {
        std::size_t j = i;
        while (j + 1 < sortedPages.size() && sortedPages[j + 1] <= sortedPages[j] + 1) {
            ++j;
        }
        text += (text.empty() ? "" : ",") + std::to_string(sortedPages[i]);
        if (sortedPages[j] != sortedPages[i]) {
            text += "-" + std::to_string(sortedPages[j]);
        }
        i = j + 1;
    }
    return text;
}

bool PageFilter::Keeps(std::int32_t page) const {
    const bool odd = page % 2 != 0;
    return (First == 0 || page >= First) && (Last == 0 || page <= Last) &&
           (Parity == PageParity::Any || odd == (Parity == PageParity::Odd));
}

std::string PageFilter::Text() const {
    std::string text = Parity == PageParity::Odd    ? "odd pages"
                       : Parity == PageParity::Even ? "even pages"
                                                    : "pages";
    if (First != 0 && Last != 0) {
        text += " from " + std::to_string(First) + " to " + std::to_string(Last);
    } else if (First != 0) {
        text += " from " + std::to_string(First) + " on";
    } else if (Last != 0) {
        text += " up to " + std::to_string(Last);
    }
    return text;
}

namespace {

// The list being built, each item passed through the filter as it is added; a range stays one
// segment whatever the filter keeps of it.
class TFilteredList {
public:
    explicit TFilteredList(const PageFilter& filter) : FFilter(filter) {}

    void AddText(std::string text) {
        FAdded = true;
        // A text that is no number is kept: the run meets it and fails there as it would.
        const std::optional<std::int32_t> page = TryParsePageNumber(text);
        if (!page || FFilter.Keeps(*page)) {
            FList.AppendText(std::move(text));
        }
    }

    void AddRange(std::int64_t first, std::int64_t last) {
        FAdded = true;
        std::int64_t step = 1;
        if (FFilter.First != 0) {
            first = std::max<std::int64_t>(first, FFilter.First);
        }
        if (FFilter.Last != 0) {
            last = std::min<std::int64_t>(last, FFilter.Last);
        }
        if (FFilter.Parity != PageParity::Any) {
            if ((first % 2 != 0) != (FFilter.Parity == PageParity::Odd)) {
                ++first;
            }
            step = 2;
        }
        if (first <= last) {
            FList.AppendRange(first, last, step);
        }
    }

    PageList Finish(const NoticeFunction& showNotice) {
        if (FAdded && FList.Empty() && !FFilter.KeepsAll()) {
            showNotice("No page to convert: the list holds none of the " + FFilter.Text());
        }
        return std::move(FList);
    }

private:
    const PageFilter& FFilter;
    PageList FList;
    bool FAdded = false;
};

} // namespace

std::optional<PageList> BuildPageList(ConvertMethod method, const std::string& selection,
                                      std::int32_t pageCount, const NoticeFunction& showNotice,
                                      const PageFilter& filter) {
    TFilteredList list(filter);
    if (method == cmAllPages) {
        if (pageCount > 0) {
            list.AddRange(1, pageCount);
        }
        return list.Finish(showNotice);
    }
    if (selection.empty()) {
        return std::nullopt;
    }
    for (auto& item : SplitItems(selection, ',')) {
        if (item.find('-') == std::string::npos) {
            list.AddText(std::move(item)); // checked only when the run reaches it
            continue;
        }
        const auto [start, end] = RangeBounds(item);
        if (start > end) {
            showNotice(kSkippedRangeNotice + item);
            continue;
        }
        list.AddRange(start, end);
    }
    return list.Finish(showNotice);
}

} // namespace folioxa
