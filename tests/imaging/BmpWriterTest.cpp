#include "imaging/OutputFile.h"
#include "imaging/PageBitmap.h"
#include "support/ImageFiles.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>

#include <climits>
#include <filesystem>

namespace folioxa {
namespace {

using testing::MakeBitmap;
using testing::ReadFile;
using testing::TempDir;

std::uint32_t LittleEndian(const std::string& bytes, std::size_t at, int size) {
    std::uint32_t value = 0;
    for (int i = size - 1; i >= 0; --i) {
        value = (value << 8) | static_cast<std::uint8_t>(bytes.at(at + std::size_t(i)));
    }
    return value;
}

// Every pixel different, fourth bytes 0, 128 and 255 among them.
std::uint32_t Pattern(int x, int y) {
    const std::uint32_t fourth[] = {0x00, 0x80, 0xFF};
    return fourth[(x + y) % 3] << 24 | unsigned(y + 1) << 16 | unsigned(x + 1) << 8 |
           unsigned(0x40 + 8 * y + x);
}

struct BmpCase {
    int Width, Height;
    std::uint32_t FileSize;
};

class BmpFile : public ::testing::TestWithParam<BmpCase> {};

TEST_P(BmpFile, HeaderAndBottomUpRowsAsHeld) {
    const auto [width, height, fileSize] = GetParam();
    TempDir dir;
    const PageBitmap bitmap = MakeBitmap(width, height, Pattern);
    bitmap.SaveToFile(dir.File("page.bmp"));
    const std::string file = ReadFile(dir.File("page.bmp"));

    ASSERT_EQ(file.size(), fileSize);
    EXPECT_EQ(file.substr(0, 2), "BM");
    const struct {
        std::size_t Offset;
        int Size;
        std::uint32_t Value;
        const char* Field;
    } fields[] = {
        {2, 4, fileSize, "bfSize"},
        {6, 2, 0, "bfReserved1"},
        {8, 2, 0, "bfReserved2"},
        {10, 4, 54, "bfOffBits"},
        {14, 4, 40, "biSize"},
        {18, 4, std::uint32_t(width), "biWidth"},
        {22, 4, std::uint32_t(height), "biHeight (positive: bottom-up)"},
        {26, 2, 1, "biPlanes"},
        {28, 2, 32, "biBitCount"},
        {30, 4, 0, "biCompression"},
        {34, 4, fileSize - 54, "biSizeImage"},
        {38, 4, 0, "biXPelsPerMeter"},
        {42, 4, 0, "biYPelsPerMeter"},
        {46, 4, 0, "biClrUsed"},
        {50, 4, 0, "biClrImportant"},
    };
    for (const auto& field : fields) {
        EXPECT_EQ(LittleEndian(file, field.Offset, field.Size), field.Value) << field.Field;
    }
    const std::size_t rowBytes = bitmap.RowBytes();
    for (int row = 0; row < height; ++row) {
        const std::size_t at = 54 + std::size_t(height - 1 - row) * rowBytes;
        EXPECT_EQ(file.substr(at, rowBytes),
                  std::string(reinterpret_cast<const char*>(bitmap.ScanLine(row)), rowBytes))
            << "row " << row;
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, BmpFile,
                         ::testing::Values(BmpCase{1, 1, 58}, BmpCase{3, 2, 78}, BmpCase{5, 3, 114},
                                           // More rows than one gathered write holds.
                                           BmpCase{300, 1000, 54 + 1200000}));

TEST(BmpFile, ThreeByTwoLayoutByteForByte) {
    TempDir dir;
    const auto bitmap = MakeBitmap(3, 2, [](int x, int y) {
        return std::uint32_t(y == 0 ? 0x80FF0000 : 0x000000F0) + unsigned(x);
    });
    bitmap.SaveToFile(dir.File("p.bmp"));
    const std::string file = ReadFile(dir.File("p.bmp"));
    // Bytes 54 to 65: the bottom row (blue pixels), 66 to 77: the top row (red, fourth 0x80).
    EXPECT_EQ(file.substr(54), std::string("\xF0\x00\x00\x00\xF1\x00\x00\x00\xF2\x00\x00\x00"
                                           "\x00\x00\xFF\x80\x01\x00\xFF\x80\x02\x00\xFF\x80",
                                           24));
}

TEST(BmpFileSize, FitsTheThirtyTwoBitFieldsOrNothing) {
    const struct {
        int Width, Height;
        std::optional<std::uint32_t> Size;
    } cases[] = {
        {0, 0, 54},
        {1, 1, 58},
        {3, 2, 78},
        {1073741810, 1, 4294967294u}, // the largest pixel data that fits
        {1073741811, 1, std::nullopt},
        {32768, 32768, std::nullopt}, // exactly 4 GiB of pixels wraps a 32-bit field to 0
        {INT_MAX, INT_MAX, std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(BmpFileSize(c.Width, c.Height), c.Size) << c.Width << " x " << c.Height;
    }
}

TEST(BmpFile, TooLargeForTheFormatIsRefusedBeforeAnythingIsCreated) {
    PageBitmap bitmap;
    // 4 GiB of zero pages: the system maps them without touching them.
    bitmap.SetSize(1073741811, 1);
    TempDir dir;
    try {
        bitmap.SaveToFile(dir.File("huge.bmp"));
        FAIL() << "a BMP file of more than 4 GiB was written";
    } catch (const Error& e) {
        EXPECT_STREQ(e.what(), "The page of 1073741811 x 1 pixels is too large for a BMP file, "
                               "which holds at most 4 GiB of pixels");
    }
    EXPECT_FALSE(std::filesystem::exists(dir.File("huge.bmp")));
}

} // namespace
} // namespace folioxa
