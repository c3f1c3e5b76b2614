#include "imaging/PageBitmap.h"

#include "base/Error.h"
#include "imaging/PixelRows.h"
#include "support/ImageFiles.h"

#include <gtest/gtest.h>

#include <climits>
#include <vector>

namespace folioxa {
namespace {

using testing::MakeBitmap;

TEST(PageBitmap, RowsAreFourBytesAPixelTopFirstAndBackToBack) {
    PageBitmap bitmap;
    EXPECT_EQ(bitmap.PixelFormat(), pf32bit);
    bitmap.SetSize(3, 2);
    EXPECT_EQ(bitmap.RowBytes(), 12u);
    EXPECT_EQ(bitmap.ScanLine(1) - bitmap.ScanLine(0), 12);
    for (int row = 0; row < 2; ++row) {
        for (std::size_t i = 0; i < 12; ++i) {
            EXPECT_EQ(bitmap.ScanLine(row)[i], 0) << "rows start zeroed";
        }
    }
}

TEST(PageBitmap, ScanLineOutsideTheRowsIsRefused) {
    PageBitmap bitmap;
    bitmap.SetSize(2, 3);
    for (int row : {-1, 3, INT_MAX, INT_MIN}) {
        try {
            bitmap.ScanLine(row);
            ADD_FAILURE() << "row " << row << " accepted";
        } catch (const Error& e) {
            EXPECT_STREQ(e.what(), "Scan line index out of range");
        }
    }
    const PageBitmap empty;
    EXPECT_THROW(empty.ScanLine(0), Error);
}

TEST(PageBitmap, MemoryThatCannotBeHadIsAClearErrorAndKeepsTheOldBitmap) {
    PageBitmap bitmap = MakeBitmap(2, 1, [](int x, int) { return 0x112233u + unsigned(x); });
    try {
        bitmap.SetSize(INT_MAX, INT_MAX); // 16 EiB
        FAIL() << "a bitmap of 16 EiB was allocated";
    } catch (const EOutOfMemory& e) {
        EXPECT_STREQ(e.what(), "Out of memory for a page bitmap of 2147483647 x 2147483647 pixels");
    }
    ASSERT_EQ(bitmap.Width(), 2);
    ASSERT_EQ(bitmap.Height(), 1);
    EXPECT_EQ(bitmap.ScanLine(0)[4], 0x34);
    EXPECT_THROW(bitmap.SetSize(-1, 1), Error);
}

TEST(PageBitmap, CopiesOwnTheirPixels) {
    PageBitmap original = MakeBitmap(2, 2, [](int x, int y) { return unsigned(10 * y + x); });
    PageBitmap copy = original;
    original.ScanLine(1)[0] = 99;
    EXPECT_EQ(copy.Width(), 2);
    EXPECT_EQ(copy.ScanLine(1)[0], 10);
    copy = original;
    EXPECT_EQ(copy.ScanLine(1)[0], 99);
    PageBitmap empty;
    copy = empty;
    EXPECT_EQ(copy.Width(), 0);
    EXPECT_EQ(copy.Height(), 0);
}

TEST(PageBitmap, AViewDrawsInMemoryItDoesNotOwnAndACopyOfItOwnsItsPixels) {
    std::vector<std::uint8_t> memory(2 * 2 * 4, 7);
    PageBitmap view = PageBitmap::View(memory.data(), 2, 2);
    EXPECT_EQ(view.ScanLine(1), memory.data() + 8);
    view.ScanLine(1)[0] = 42;
    EXPECT_EQ(memory[8], 42);
    const PageBitmap copy = view;
    memory[8] = 1;
    EXPECT_EQ(copy.ScanLine(1)[0], 42);
    view.SetSize(1, 1);
    view.ScanLine(0)[0] = 9;
    EXPECT_EQ(memory[0], 7) << "a new size gives the bitmap pixels of its own";
    EXPECT_THROW(PageBitmap::View(nullptr, 1, 1), Error);
}

// Every pixel count around the steps of the fast path and its tail.
TEST(BgrxToRgb, KeepsRedGreenBlueOfEveryPixelAndDropsTheFourthByte) {
    for (int width = 1; width <= 37; ++width) {
        const PageBitmap bitmap = testing::NoiseBitmap(width, 1, std::uint32_t(width));
        // One byte more than the pixels need: nothing may be written past them.
        std::vector<std::uint8_t> rgb(3 * static_cast<std::size_t>(width) + 1, 0xA5);
        BgrxToRgb(bitmap.ScanLine(0), rgb.data(), static_cast<std::size_t>(width));
        EXPECT_EQ(rgb.back(), 0xA5) << width;
        rgb.pop_back();
        EXPECT_EQ(rgb, testing::RgbOf(bitmap).Rgb) << width;
    }
}

} // namespace
} // namespace folioxa
