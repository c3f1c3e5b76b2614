#include "imaging/PngWriter.h"

#include "imaging/OutputFile.h"
#include "imaging/PageBitmap.h"
#include "support/ImageFiles.h"
#include "support/TestFiles.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <zlib.h>

#include <filesystem>

namespace folioxa {
namespace {

using testing::DecodePng;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using testing::MakeBitmap;
using testing::NoiseBitmap;
using testing::PngChunk;
using testing::PngImageData;
using testing::ReadFile;
using testing::ReadPngChunks;
using testing::RgbOf;
using testing::TempDir;

std::string Save(const PageBitmap& bitmap) {
    TempDir dir;
    PngWriter writer;
    writer.SaveToFile(bitmap, dir.File("page.png"));
    return ReadFile(dir.File("page.png"));
}

std::vector<std::string> Types(const std::vector<PngChunk>& chunks) {
    std::vector<std::string> types;
    for (const auto& c : chunks) {
        types.push_back(c.Type);
    }
    return types;
}

std::vector<std::size_t> IdatSizes(const std::vector<PngChunk>& chunks) {
    std::vector<std::size_t> sizes;
    for (const auto& c : chunks) {
        if (c.Type == "IDAT") {
            sizes.push_back(c.Data.size());
        }
    }
    return sizes;
}

// What the Sub filter makes of the bitmap's rows: 01, then each colour byte less the one a
// pixel before it.
std::string SubFiltered(const PageBitmap& bitmap) {
    const auto rgb = RgbOf(bitmap);
    const std::size_t rowBytes = std::size_t(bitmap.Width()) * 3;
    std::string data;
    for (std::size_t y = 0; y < std::size_t(bitmap.Height()); ++y) {
        data += '\x01';
        for (std::size_t i = 0; i < rowBytes; ++i) {
            const int left = i >= 3 ? rgb.Rgb[y * rowBytes + i - 3] : 0;
            data += static_cast<char>((rgb.Rgb[y * rowBytes + i] - left) & 0xFF);
        }
    }
    return data;
}

TEST(PngFile, ChunkLayoutOfAOnePixelWhitePage) {
    const std::string file = Save(MakeBitmap(1, 1, [](int, int) { return 0xFFFFFFFFu; }));
    ASSERT_EQ(file.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
    const auto chunks = ReadPngChunks(file);
    EXPECT_THAT(Types(chunks), ElementsAre("IHDR", "IDAT", "IEND"));
    EXPECT_EQ(chunks[0].Data, std::string("\0\0\0\x01\0\0\0\x01\x08\x02\0\0\0", 13));
    EXPECT_EQ(chunks[1].Data.substr(0, 2), "\x78\xDA");
    EXPECT_EQ(PngImageData(file), "\x01\xFF\xFF\xFF");
    EXPECT_EQ(file.substr(file.size() - 12), std::string("\0\0\0\0IEND\xAE\x42\x60\x82", 12));
}

TEST(PngFile, InflatedRowsAreTheSubFilterOfThePixels) {
    const struct {
        const char* Name;
        PageBitmap Bitmap;
    } cases[] = {
        {"white", MakeBitmap(5, 3, [](int, int) { return 0xFFFFFFFFu; })},
        {"red pixel starting each row",
         MakeBitmap(4, 2, [](int x, int) { return x == 0 ? 0xFFFF0000u : 0xFF102030u; })},
        {"fourth byte zero: still opaque, the byte is dropped",
         MakeBitmap(3, 3, [](int x, int y) { return std::uint32_t(0x00A0B0C0 + x + 16 * y); })},
        {"noise", NoiseBitmap(37, 11, 3)},
        {"one column", NoiseBitmap(1, 9, 4)},
        {"many rows, several input batches", NoiseBitmap(300, 700, 5)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        const std::string file = Save(c.Bitmap);
        EXPECT_EQ(PngImageData(file), SubFiltered(c.Bitmap));
        const auto image = DecodePng(file);
        EXPECT_EQ(image.Width, c.Bitmap.Width());
        EXPECT_EQ(image.Height, c.Bitmap.Height());
        EXPECT_EQ(image.Rgb, RgbOf(c.Bitmap).Rgb);
    }
    // The worked rows: white is 01 FF FF FF then zeros; a red first pixel is 01 FF 00 00.
    EXPECT_EQ(SubFiltered(cases[0].Bitmap).substr(0, 16),
              std::string("\x01\xFF\xFF\xFF\0\0\0\0\0\0\0\0\0\0\0\0", 16));
    EXPECT_EQ(PngImageData(Save(cases[1].Bitmap)).substr(0, 4), std::string("\x01\xFF\0\0", 4));
}

// A noise bitmap whose image data deflates to exactly `size` bytes. Noise is stored rather
// than coded: the stream is the image data plus a few bytes a block, so the search looks for a
// width and height whose data, 1 + 3 x width bytes a row, is `size` less that overhead.
PageBitmap NoiseCompressingTo(std::size_t size) {
    const auto streamSize = [](const PageBitmap& bitmap) {
        std::size_t total = 0;
        for (std::size_t s : IdatSizes(ReadPngChunks(Save(bitmap)))) {
            total += s;
        }
        return total;
    };
    const int probeWidth = int(size / 3);
    const std::size_t overhead =
        streamSize(NoiseBitmap(probeWidth, 1, 11)) - (1 + 3 * std::size_t(probeWidth));
    for (std::size_t height = 1; height < 5000; ++height) {
        const std::size_t data = size - overhead;
        if (data % height != 0 || (data / height - 1) % 3 != 0) {
            continue;
        }
        const auto bitmap = NoiseBitmap(int((data / height - 1) / 3), int(height), 11);
        if (streamSize(bitmap) == size) {
            return bitmap;
        }
    }
    throw std::runtime_error("no noise bitmap deflates to " + std::to_string(size) + " bytes");
}

TEST(PngFile, IdatChunksHold65535BytesButTheLastAndNoneIsEmpty) {
    const struct {
        std::size_t Stream;
        std::vector<std::size_t> Chunks;
    } cases[] = {
        {2 * 65535 + 10, {65535, 65535, 10}},
        {65535, {65535}},
        {65536, {65535, 1}},
        {3 * 65535, {65535, 65535, 65535}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Stream);
        const auto bitmap = NoiseCompressingTo(c.Stream);
        const std::string file = Save(bitmap);
        const auto chunks = ReadPngChunks(file);
        EXPECT_THAT(IdatSizes(chunks), ElementsAreArray(c.Chunks));
        EXPECT_EQ(chunks[1].Data.substr(0, 2), "\x78\xDA");
        EXPECT_EQ(DecodePng(file).Rgb, RgbOf(bitmap).Rgb);
    }
}

TEST(PngWriter, EveryPageIsCompressedAnew) {
    TempDir dir;
    PngWriter writer;
    const auto first = NoiseBitmap(200, 150, 1);
    writer.SaveToFile(first, dir.File("a.png"));
    writer.SaveToFile(first, dir.File("b.png"));
    EXPECT_EQ(DecodePng(ReadFile(dir.File("a.png"))).Rgb, RgbOf(first).Rgb);
    EXPECT_EQ(ReadFile(dir.File("a.png")), ReadFile(dir.File("b.png")));

    const auto second = NoiseBitmap(7, 300, 2);
    writer.SaveToFile(second, dir.File("c.png"));
    const auto image = DecodePng(ReadFile(dir.File("c.png")));
    EXPECT_EQ(image.Width, 7);
    EXPECT_EQ(image.Rgb, RgbOf(second).Rgb);
}

// The same zlib build gives the same stream for the same parameters: level, window and memory
// level are pinned by the file's bytes, not only by what inflates from them.
TEST(PngFile, TheStreamOfZlibWithTheFileParameters) {
    const PageBitmap pictures[] = {NoiseBitmap(67, 45, 3), testing::PatternBitmap(400, 300)};
    for (const PageBitmap& picture : pictures) {
        std::string filtered = SubFiltered(picture);
        z_stream z{};
        ASSERT_EQ(deflateInit2(&z, 7, Z_DEFLATED, 15, 8, Z_DEFAULT_STRATEGY), Z_OK);
        std::string expected(deflateBound(&z, uLong(filtered.size())), '\0');
        z.next_in = reinterpret_cast<Bytef*>(filtered.data());
        z.avail_in = uInt(filtered.size());
        z.next_out = reinterpret_cast<Bytef*>(expected.data());
        z.avail_out = uInt(expected.size());
        EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
        expected.resize(z.total_out);
        deflateEnd(&z);
        std::string stream;
        for (const auto& chunk : ReadPngChunks(Save(picture))) {
            stream += chunk.Type == "IDAT" ? chunk.Data : "";
        }
        EXPECT_TRUE(stream == expected) << picture.Width() << " x " << picture.Height();
    }
}

TEST(PngWriter, APictureWithoutPixelsIsRefusedBeforeAFileIsCreated) {
    TempDir dir;
    PngWriter writer;
    EXPECT_THROW(writer.SaveToFile(PageBitmap(), dir.File("none.png")), Error);
    EXPECT_FALSE(std::filesystem::exists(dir.File("none.png")));
}

} // namespace
} // namespace folioxa
