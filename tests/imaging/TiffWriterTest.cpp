#include "imaging/TiffWriter.h"

#include "base/Error.h"
#include "imaging/ByteSink.h"
#include "imaging/PageBitmap.h"
#include "support/ImageFiles.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>
#include <tiffio.h>

#include <filesystem>
#include <tuple>

namespace folioxa {
namespace {

using testing::DecodeTiff;
using testing::NoiseBitmap;
using testing::ReadFile;
using testing::RgbOf;
using testing::TempDir;

TEST(TiffFile, DecodesToThePixelsOfThePageWithDeflateAndThePredictor) {
    const struct {
        int Width, Height;
        const char* Why;
    } cases[] = {
        {1, 1, "the smallest page"},
        {3, 2, "rows of an odd number of bytes"},
        {300, 700, "several strips, the last one short"},
        {90000, 2, "a row longer than a strip"},
    };
    TempDir dir;
    TiffWriter writer; // one writer for every page, as in a run
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Why);
        const PageBitmap bitmap = NoiseBitmap(c.Width, c.Height, 7);
        writer.SaveToFile(bitmap, dir.File("page.tif"));
        const auto tiff = DecodeTiff(ReadFile(dir.File("page.tif")));
        EXPECT_EQ(
            std::tuple(tiff.Compression, tiff.Predictor, tiff.BitsPerSample, tiff.SamplesPerPixel,
                       tiff.Photometric),
            std::tuple(COMPRESSION_ADOBE_DEFLATE, PREDICTOR_HORIZONTAL, 8, 3, PHOTOMETRIC_RGB));
        EXPECT_EQ(std::pair(tiff.Image.Width, tiff.Image.Height), std::pair(c.Width, c.Height));
        EXPECT_TRUE(tiff.Image.Rgb == RgbOf(bitmap).Rgb) << "the pixels differ";
    }
}

TEST(TiffWriter, APictureWithoutPixelsIsRefusedBeforeAFileExists) {
    TempDir dir;
    TiffWriter writer;
    EXPECT_THROW(writer.SaveToFile(PageBitmap(), dir.File("none.tif")), Error);
    EXPECT_FALSE(std::filesystem::exists(dir.File("none.tif")));
}

TEST(MemorySink, WritesAtAnyOffsetAndFillsGapsWithZeros) {
    MemorySink sink;
    sink.Write("ab", 2);
    sink.WriteAt(4, "cd", 2);
    sink.WriteAt(1, "X", 1);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(sink.Data()), sink.Size()),
              std::string("aX\0\0cd", 6));
    sink.Clear();
    sink.Write("z", 1);
    EXPECT_EQ(sink.Size(), 1u);
}

} // namespace
} // namespace folioxa
