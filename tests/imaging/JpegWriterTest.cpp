#include "imaging/JpegWriter.h"

#include "imaging/OutputFile.h"
#include "imaging/PageBitmap.h"
#include "support/ImageFiles.h"
#include "support/TestFiles.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

namespace folioxa {
namespace {

using testing::DecodeJpeg;
using ::testing::ElementsAre;
using testing::JpegSegment;
using testing::MakeBitmap;
using testing::ReadFile;
using testing::ReadJpegSegments;
using testing::TempDir;

std::string Bytes(std::initializer_list<int> values) {
    std::string bytes;
    for (int v : values) {
        bytes += static_cast<char>(v);
    }
    return bytes;
}

PageBitmap Solid(int width, int height, std::uint32_t rgb) {
    return MakeBitmap(width, height, [rgb](int, int) { return 0xFF000000 | rgb; });
}

// Writes `bitmap` with a fresh writer at `quality` and returns the file.
std::string Encode(const PageBitmap& bitmap, int quality = 100) {
    TempDir dir;
    JpegWriter writer;
    writer.SetCompressionQuality(quality);
    writer.SaveToFile(bitmap, dir.File("page.jpg"));
    return ReadFile(dir.File("page.jpg"));
}

std::vector<int> Markers(const std::vector<JpegSegment>& segments) {
    std::vector<int> markers;
    for (const auto& s : segments) {
        markers.push_back(s.Marker);
    }
    return markers;
}

TEST(JpegFile, MarkerSequenceOfABaselineJfifFileAndNothingAfterTheEnd) {
    for (const auto& [width, height] : {std::pair{1, 1}, {17, 9}, {640, 3}}) {
        SCOPED_TRACE(std::to_string(width) + " x " + std::to_string(height));
        const std::string file = Encode(Solid(width, height, 0xFFFFFF));
        const auto segments = ReadJpegSegments(file);
        EXPECT_THAT(Markers(segments),
                    ElementsAre(0xD8, 0xE0, 0xDB, 0xDB, 0xC0, 0xC4, 0xC4, 0xC4, 0xC4, 0xDA, 0xD9));
        ASSERT_EQ(segments.size(), 11u);
        EXPECT_EQ(segments.back().Offset + 2, file.size()) << "bytes after EOI";
        EXPECT_EQ(segments[1].Data, Bytes({'J', 'F', 'I', 'F', 0, 1, 1, 0, 0, 1, 0, 1, 0, 0}));
        // SOF0: precision 8, height, width, Y sampled 2 x 2 with table 0, Cb and Cr 1 x 1 with 1.
        EXPECT_EQ(segments[4].Data, Bytes({8, height >> 8, height & 0xFF, width >> 8, width & 0xFF,
                                           3, 1, 0x22, 0, 2, 0x11, 1, 3, 0x11, 1}));
        EXPECT_EQ(segments[9].Data, Bytes({3, 1, 0x00, 2, 0x11, 3, 0x11, 0, 63, 0}));
    }
}

TEST(JpegFile, QuantisationTablesFollowTheQuality) {
    const struct {
        int Quality;
        int Luminance0, Chrominance0; // first value of each table
        bool AllOnes;
    } cases[] = {
        {100, 1, 1, true},   // scaling factor 0: every value raised to 1
        {50, 16, 17, false}, // the tables of the standard unscaled
        {90, 3, 3, false},
    };
    for (const auto& c : cases) {
        const auto segments = ReadJpegSegments(Encode(Solid(8, 8, 0x808080), c.Quality));
        ASSERT_GE(segments.size(), 4u);
        for (int table = 0; table < 2; ++table) {
            const std::string& dqt = segments[2 + std::size_t(table)].Data;
            ASSERT_EQ(dqt.size(), 65u) << "length field 67";
            EXPECT_EQ(dqt[0], table) << "precision 0, table " << table;
            EXPECT_EQ(static_cast<std::uint8_t>(dqt[1]), table == 0 ? c.Luminance0 : c.Chrominance0)
                << "quality " << c.Quality;
            EXPECT_EQ(dqt.substr(1) == std::string(64, '\x01'), c.AllOnes)
                << "quality " << c.Quality;
        }
    }
}

TEST(JpegFile, StandardHuffmanTables) {
    const auto segments = ReadJpegSegments(Encode(Solid(1, 1, 0)));
    ASSERT_EQ(segments.size(), 11u);
    const struct {
        int ClassAndIndex;
        std::string Counts;
        std::string FirstValues;
        std::size_t ValueCount;
    } tables[] = {
        {0x00, Bytes({0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0}),
         Bytes({0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}), 12},
        {0x10, Bytes({0, 2, 1, 3, 3, 2, 4, 3, 5, 5, 4, 4, 0, 0, 1, 0x7D}),
         Bytes({0x01, 0x02, 0x03, 0x00, 0x04, 0x11, 0x05, 0x12, 0x21, 0x31, 0x41, 0x06}), 162},
        {0x01, Bytes({0, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0}),
         Bytes({0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}), 12},
        {0x11, Bytes({0, 2, 1, 2, 4, 4, 3, 4, 7, 5, 4, 4, 0, 1, 2, 0x77}),
         Bytes({0x00, 0x01, 0x02, 0x03, 0x11, 0x04, 0x05, 0x21, 0x31, 0x06, 0x12, 0x41}), 162},
    };
    for (std::size_t i = 0; i < 4; ++i) {
        const std::string& dht = segments[5 + i].Data;
        SCOPED_TRACE("DHT " + std::to_string(i));
        ASSERT_EQ(dht.size(), 1 + 16 + tables[i].ValueCount);
        EXPECT_EQ(dht[0], tables[i].ClassAndIndex);
        EXPECT_EQ(dht.substr(1, 16), tables[i].Counts);
        EXPECT_EQ(dht.substr(17, 12), tables[i].FirstValues);
        EXPECT_EQ(static_cast<std::uint8_t>(dht.back()), tables[i].ValueCount == 12 ? 11 : 0xFA);
    }
}

TEST(JpegFile, DecodesToTheColoursOfThePage) {
    const struct {
        std::uint32_t Rgb;
        const char* Name;
    } colours[] = {{0xFF0000, "red (stays red, not blue)"},
                   {0x00FF00, "green"},
                   {0x0000FF, "blue"},
                   {0xFFFFFF, "white"},
                   {0x000000, "black"},
                   {0x336699, "slate"}};
    for (const auto& colour : colours) {
        const auto image = DecodeJpeg(Encode(Solid(16, 16, colour.Rgb)));
        ASSERT_EQ(image.Width, 16);
        ASSERT_EQ(image.Height, 16);
        for (int channel = 0; channel < 3; ++channel) {
            const int expected = int(colour.Rgb >> (16 - 8 * channel)) & 0xFF;
            EXPECT_NEAR(image.Rgb[std::size_t(channel)], expected, 2)
                << colour.Name << ", channel " << channel;
        }
    }
}

TEST(JpegFile, RowsTopFirstAndPixelsLeftToRight) {
    // Quadrants: red top left, green top right, blue bottom left, white bottom right.
    const auto bitmap = MakeBitmap(32, 32, [](int x, int y) -> std::uint32_t {
        return y < 16 ? (x < 16 ? 0xFF0000 : 0x00FF00) : (x < 16 ? 0x0000FF : 0xFFFFFF);
    });
    const auto image = DecodeJpeg(Encode(bitmap));
    const auto pixel = [&image](int x, int y) {
        const std::size_t at = (std::size_t(y) * 32 + std::size_t(x)) * 3;
        return std::array<int, 3>{image.Rgb[at], image.Rgb[at + 1], image.Rgb[at + 2]};
    };
    const struct {
        int X, Y;
        std::array<int, 3> Rgb;
    } probes[] = {
        {4, 4, {255, 0, 0}}, {27, 4, {0, 255, 0}}, {4, 27, {0, 0, 255}}, {27, 27, {255, 255, 255}}};
    for (const auto& probe : probes) {
        const auto rgb = pixel(probe.X, probe.Y);
        for (std::size_t c = 0; c < 3; ++c) {
            EXPECT_NEAR(rgb[c], probe.Rgb[c], 3) << "at " << probe.X << "," << probe.Y;
        }
    }
}

TEST(JpegWriter, QualityStartsAt90AndStaysWithinOneTo100) {
    JpegWriter writer;
    EXPECT_EQ(writer.CompressionQuality(), 90);
    for (int bad : {0, -5, 101}) {
        EXPECT_THROW(writer.SetCompressionQuality(bad), Error) << bad;
        EXPECT_EQ(writer.CompressionQuality(), 90);
    }
    for (int good : {1, 100}) {
        writer.SetCompressionQuality(good);
        EXPECT_EQ(writer.CompressionQuality(), good);
    }
}

TEST(JpegWriter, QualityBelow100IsSmallerAndStaysCloseToTheQuality100File) {
    // A page-like picture: a soft gradient with dark strokes on it.
    const PageBitmap page = MakeBitmap(240, 160, [](int x, int y) {
        const bool stroke = (y % 20 < 3 && x > 20 && x < 220) || (x % 40 < 2 && y > 30);
        const auto shade = static_cast<std::uint32_t>(200 + (x + y) / 16);
        return stroke ? 0xFF202020u : 0xFF000000u | shade << 16 | shade << 8 | 0xF0u;
    });
    const std::string best = Encode(page, 100);
    const std::string smaller = Encode(page, 75);
    EXPECT_LT(smaller.size(), best.size());
    EXPECT_GE(testing::Psnr(DecodeJpeg(best), DecodeJpeg(smaller)), 30.0);
    // Only the tables change: still baseline, 4:2:0.
    const auto segments = ReadJpegSegments(smaller);
    ASSERT_GT(segments.size(), 4u);
    EXPECT_EQ(segments[4].Marker, 0xC0);
    EXPECT_EQ(std::uint8_t(segments[4].Data.at(7)), 0x22);
}

TEST(JpegWriter, EachPageIsAFileOfItsOwn) {
    TempDir dir;
    JpegWriter writer;
    writer.SetCompressionQuality(100);
    writer.SaveToFile(Solid(24, 8, 0xFF0000), dir.File("1.jpg"));
    writer.SaveToFile(Solid(8, 24, 0x0000FF), dir.File("2.jpg"));

    const auto one = DecodeJpeg(ReadFile(dir.File("1.jpg")));
    const auto two = DecodeJpeg(ReadFile(dir.File("2.jpg")));
    EXPECT_EQ(one.Width, 24);
    EXPECT_NEAR(one.Rgb[0], 255, 2);
    ASSERT_EQ(two.Width, 8);
    ASSERT_EQ(two.Height, 24);
    EXPECT_NEAR(two.Rgb[0], 0, 2);
    EXPECT_NEAR(two.Rgb[2], 255, 2);
    const auto segments = ReadJpegSegments(ReadFile(dir.File("2.jpg")));
    EXPECT_EQ(segments[2].Data.substr(1), std::string(64, '\x01'));
    EXPECT_EQ(segments[3].Data.substr(1), std::string(64, '\x01'));
}

TEST(JpegWriter, WidthLimitOfTheEncoder) {
    TempDir dir;
    JpegWriter writer;
    writer.SetCompressionQuality(100);
    writer.SaveToFile(Solid(65500, 1, 0xFFFFFF), dir.File("widest.jpg"));
    EXPECT_EQ(DecodeJpeg(ReadFile(dir.File("widest.jpg"))).Width, 65500);

    // The file exists before encoding starts, and an earlier, longer file is emptied.
    testing::WriteFile(dir.File("too-wide.jpg"), std::string(5000, 'x'));
    for (const auto& [width, height] : {std::pair{65501, 1}, {1, 65501}}) {
        try {
            writer.SaveToFile(Solid(width, height, 0xFFFFFF), dir.File("too-wide.jpg"));
            FAIL() << width << " x " << height << " encoded";
        } catch (const EJPEG& e) {
            EXPECT_STREQ(e.what(), "JPEG error #41");
        }
        EXPECT_EQ(std::filesystem::file_size(dir.File("too-wide.jpg")), 0u);
    }
    // The writer is usable after the failure.
    writer.SaveToFile(Solid(2, 2, 0), dir.File("after.jpg"));
    EXPECT_EQ(DecodeJpeg(ReadFile(dir.File("after.jpg"))).Width, 2);
}

TEST(JpegWriter, AnEmptyPictureIsAnEncoderErrorInAnEmptyFile) {
    TempDir dir;
    JpegWriter writer;
    EXPECT_THROW(writer.SaveToFile(PageBitmap(), dir.File("none.jpg")), EJPEG);
    EXPECT_EQ(std::filesystem::file_size(dir.File("none.jpg")), 0u);
}

} // namespace
} // namespace folioxa
