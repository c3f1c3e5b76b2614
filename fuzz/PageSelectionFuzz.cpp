// Page selection: SplitItems, ParsePageNumber, BuildPageList and a whole run over fakes.
// Input: one flags byte, four bytes of page count, one byte of resolution, then the selection.
// Whatever the selection, the list must cost memory per item (never per page), every failure must
// be one of the two selection errors, and a run must leave the document closed and the window
// restored.
#include "FuzzCheck.h"
#include "conversion/ConversionJob.h"
#include "conversion/Messages.h"
#include "conversion/PageSelection.h"
#include "imaging/ByteSink.h"
#include "imaging/OutputFile.h"
#include "imaging/PageBitmap.h"

#include <charconv>
#include <climits>
#include <optional>

namespace folioxa::fuzz {
namespace {

// An independent reading of the integer rule: validate the characters, then let from_chars do
// the arithmetic.
std::optional<std::int32_t> ReferenceParse(const std::string& text) {
    std::size_t i = text.find_first_not_of(' ');
    if (i == std::string::npos) {
        return std::nullopt;
    }
    bool negative = false;
    if (text[i] == '+' || text[i] == '-') {
        negative = text[i] == '-';
        ++i;
    }
    int base = 10;
    for (const char* prefix : {"0x", "0X", "$", "x", "X"}) {
        if (text.compare(i, std::string(prefix).size(), prefix) == 0) {
            base = 16;
            i += std::string(prefix).size();
            break;
        }
    }
    const std::string digits = text.substr(i);
    const char* allowed = base == 16 ? "0123456789abcdefABCDEF" : "0123456789";
    if (digits.empty() || digits.find_first_not_of(allowed) != std::string::npos) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    const auto result = std::from_chars(digits.data(), digits.data() + digits.size(), value, base);
    if (result.ec != std::errc()) {
        return std::nullopt; // beyond 64 bits, so beyond 32
    }
    std::int64_t number = 0;
    if (base == 16) {
        if (value > 0xFFFFFFFFULL) {
            return std::nullopt;
        }
        number = static_cast<std::int32_t>(static_cast<std::uint32_t>(value));
        // -(-2147483648) stays -2147483648 in 32 bits.
        return static_cast<std::int32_t>(static_cast<std::uint32_t>(negative ? -number : number));
    }
    if (value > 2147483648ULL || (!negative && value > 2147483647ULL)) {
        return std::nullopt;
    }
    number = static_cast<std::int64_t>(value);
    return static_cast<std::int32_t>(negative ? -number : number);
}

void CheckParse(const std::string& text) {
    const std::optional<std::int32_t> expected = ReferenceParse(text);
    try {
        const std::int32_t value = ParsePageNumber(text);
        FUZZ_CHECK(expected && *expected == value, "'" + text + "' gave " + std::to_string(value));
    } catch (const EConvertError& e) {
        FUZZ_CHECK(!expected, "'" + text + "' refused");
        // what() ends at a NUL byte, which no window or command line can type anyway.
        const std::string expectedText = "'" + text + "' is not a valid integer value";
        FUZZ_CHECK(std::string(e.what()) == expectedText.c_str(), e.what());
    }
}

void CheckSplit(const std::string& text, char separator) {
    const std::vector<std::string> items = SplitItems(text, separator);
    std::size_t from = 0;
    for (const std::string& item : items) {
        FUZZ_CHECK(!item.empty(), "empty item");
        FUZZ_CHECK(item.front() != '\r' && item.front() != '\n', item);
        // Items are pieces of the text, in order, never overlapping.
        const std::size_t at = text.find(item, from);
        FUZZ_CHECK(at != std::string::npos, item);
        from = at + item.size();
    }
}

void CheckList(ConvertMethod method, const std::string& selection, std::int32_t pageCount) {
    std::vector<std::string> notices;
    std::optional<PageList> list;
    try {
        list = BuildPageList(method, selection, pageCount,
                             [&notices](const std::string& text) { notices.push_back(text); });
    } catch (const EConvertError&) {
        FUZZ_CHECK(method == cmPageSelection, "all pages failed");
        return;
    } catch (const EListError& e) {
        FUZZ_CHECK(method == cmPageSelection, "all pages failed");
        const std::string what = e.what();
        FUZZ_CHECK(what == "List index out of bounds (0)" || what == "List index out of bounds (1)",
                   what);
        return;
    }
    if (!list) {
        FUZZ_CHECK(method == cmPageSelection && selection.empty(), "no list");
        FUZZ_CHECK(notices.empty(), "notice");
        return;
    }
    if (method == cmAllPages) {
        FUZZ_CHECK(notices.empty(), "notice in all pages");
        FUZZ_CHECK(list->Count() == std::max(pageCount, 0), std::to_string(list->Count()));
        if (pageCount > 0) {
            FUZZ_CHECK(list->Entry(0) == "1", list->Entry(0));
            FUZZ_CHECK(list->Entry(pageCount - 1) == std::to_string(pageCount), "last entry");
        }
    }
    for (const std::string& notice : notices) {
        FUZZ_CHECK(notice.rfind(kSkippedRangeNotice, 0) == 0, notice);
    }
    // Memory goes with the items, never with the pages a range spans.
    FUZZ_CHECK(list->SegmentCount() <= selection.size() + 1, std::to_string(list->SegmentCount()));
    // A sample of entries, evenly spread, plus both ends.
    const std::int64_t count = list->Count();
    const std::int64_t step = std::max<std::int64_t>(1, count / 64);
    for (std::int64_t i = 0; i < count; i += step) {
        const std::string entry = list->Entry(i);
        FUZZ_CHECK(!entry.empty(), "empty entry");
        FUZZ_CHECK(method == cmAllPages || selection.find(entry) != std::string::npos ||
                       entry == std::to_string(ParsePageNumber(entry)),
                   entry);
    }
    bool threw = false;
    try {
        (void)list->Entry(count);
    } catch (const std::out_of_range&) {
        threw = true;
    }
    FUZZ_CHECK(threw, "Entry(Count()) gave an entry");
}

// A document of `count` pages one inch square; other page numbers fail as the engine's would.
class FakeDocument : public ConversionDocument {
public:
    explicit FakeDocument(int count) : FCount(count) {}
    void SetFileName(const std::string&) override { FUZZ_CHECK(!FActive, "name while active"); }
    void SetPassword(const std::string&) override { FUZZ_CHECK(!FActive, "password while active"); }
    void SetActive(bool active) override { FActive = active; }
    int PageCount() override { return FCount; }
    void SetPageNumber(int page) override {
        FPage = page;
        if (FActive && page != 0 && (page < 1 || page > FCount)) {
            throw Error("Page number out of range");
        }
    }
    double PageWidth() override { return 72; }
    double PageHeight() override { return 72; }
    std::unique_ptr<PageBitmap> RenderPageOnWhite(int width, int height) override {
        FUZZ_CHECK(width > 0 && height > 0 && width <= 127 && height <= 127, "render size");
        auto bitmap = std::make_unique<PageBitmap>();
        bitmap->SetSize(width, height);
        ++Rendered;
        return bitmap;
    }
    bool Closed() const { return !FActive && FPage == 0; }
    int Rendered = 0;

private:
    int FCount;
    bool FActive = false;
    int FPage = 0;
};

// Counts the pages a run saves, writing nothing.
class CountingWriter : public ImageWriter {
public:
    explicit CountingWriter(int& saved) : FSaved(saved) {}
    void Encode(const PageBitmap&, ByteSink&) override {}
    void SaveToFile(const PageBitmap&, const std::shared_ptr<const OutputFolder>&,
                    const std::string& name) override {
        FUZZ_CHECK(name.size() > 4 && name.compare(name.size() - 4, 4, ".bmp") == 0, name);
        ++FSaved;
    }

private:
    int& FSaved;
};

struct FakeOutput {
    int Saved = 0;
    ImageFormats Table{{{"BMP", ".bmp", [this](const WriterOptions&) {
                             return std::unique_ptr<ImageWriter>(new CountingWriter(Saved));
                         }}}};
};

class FakeView : public ConversionView {
public:
    void ShowNotice(const std::string&) override {}
    void SetBusy(bool on) override { Busy = on; }
    void SetProgressVisible(bool on) override { BarShown = on; }
    void SetProgressMax(int max) override { FUZZ_CHECK(max >= 0, "negative maximum"); }
    void SetProgressPosition(int position) override {
        FUZZ_CHECK(position >= 0, "negative position");
    }
    void SetConvertControlsEnabled(bool on) override { ButtonsEnabled = on; }
    bool Busy = false, BarShown = false, ButtonsEnabled = true;
};

void CheckRun(const std::string& selection, int pageCount, std::int32_t dpi) {
    ConversionSettings settings;
    settings.InputFileName = "in.pdf";
    settings.ConvertMethod = cmPageSelection;
    settings.PageSelection = selection;
    settings.ImageType = "BMP";
    settings.Resolution = dpi;
    FakeDocument document(pageCount);
    FakeOutput output;
    FakeView view;
    try {
        RunConversion(settings, document, view, {}, &output.Table);
    } catch (const Error&) {
        // Every failure a user meets is an Error with its text; anything else is a fault.
    }
    FUZZ_CHECK(document.Closed(), "document left open");
    FUZZ_CHECK(!view.Busy && !view.BarShown && view.ButtonsEnabled, "window not restored");
    FUZZ_CHECK(output.Saved == document.Rendered, "a rendered page was not written");
}

} // namespace
} // namespace folioxa::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace folioxa;
    fuzz::ByteReader in(data, size);
    const std::uint8_t flags = in.Byte();
    const auto pageCount = static_cast<std::int32_t>(in.UInt32() & 0x7FFFFFFF);
    const auto dpi = static_cast<std::int32_t>(static_cast<std::int8_t>(in.Byte()));
    const std::string selection = in.Rest();

    fuzz::CheckSplit(selection, ',');
    for (const std::string& item : SplitItems(selection, ',')) {
        fuzz::CheckSplit(item, '-');
        fuzz::CheckParse(item);
        for (const std::string& part : SplitItems(item, '-')) {
            fuzz::CheckParse(part);
        }
    }
    fuzz::CheckList((flags & 1) != 0 ? cmAllPages : cmPageSelection, selection, pageCount);
    if ((flags & 2) != 0) {
        fuzz::CheckRun(selection, pageCount % 17, dpi);
    }
    return 0;
}
