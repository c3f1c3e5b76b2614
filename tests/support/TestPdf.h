#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace folioxa::testing {

// A filled rectangle in points, origin at the bottom-left of the page; colour 0xRRGGBB.
struct TestRect {
    double X, Y, W, H;
    std::uint32_t Rgb;
};

struct TestPage {
    double Width = 612, Height = 792; // MediaBox size in points
    int Rotate = 0;                   // /Rotate
    std::vector<TestRect> Rects;      // filled rectangles drawn on the page
    std::string TextFieldValue;       // non-empty: an AcroForm text field holding this value
    bool TransparencyGroup = false;   // the page has a transparency group
    // Not 0: under the rectangles, the whole page is an image of pseudo-random pixels from this
    // seed, one pixel a point (so at 72 DPI nothing compresses much, in any format).
    std::uint32_t NoiseSeed = 0;
    // Further page boxes by name ("CropBox", "BleedBox", "TrimBox", "ArtBox"): x0 y0 x1 y1.
    std::map<std::string, std::array<double, 4>> Boxes{};
    // Square annotations, each with a normal appearance that fills its rectangle.
    std::vector<TestRect> Annotations{};
};

// Where a page's text field sits (points, origin bottom-left). Its appearance draws the value
// in black 24-point Helvetica on a white background with a black border.
inline constexpr TestRect kTextFieldRect{36, 36, 240, 48, 0x000000};

// The whole bytes of a PDF file holding `pages` (none allowed), with an exact cross-reference
// table. Pages with a text field share one AcroForm.
std::string MakePdf(const std::vector<TestPage>& pages);

// Collects objects by number and writes them with an exact cross-reference table.
class PdfBuilder {
public:
    // The next object number.
    int Reserve() { return ++FCount; }
    void Set(int number, std::string body) { FBodies[number] = std::move(body); }
    // The whole file, `root` being the catalog's number.
    std::string Finish(int root) const;

private:
    int FCount = 0;
    std::map<int, std::string> FBodies;
};

// A stream object: `dictionary`'s entries, the exact /Length, then `data`.
std::string PdfStream(const std::string& dictionary, const std::string& data);

// Documents of two pages whose first page no engine can draw within a few hundred megabytes, the
// second an ordinary page (a filled rectangle):
// two form XObjects that each draw the other twice;
std::string MakeMutualFormsPdf();
// a content stream of `inflatedBytes` blanks, Flate-compressed twice (a few kilobytes);
std::string MakeDoubleFlatePdf(std::uint64_t inflatedBytes);
// `levels` form XObjects, each drawing the next `fanOut` times;
std::string MakeFormFanOutPdf(int levels, int fanOut);
// a JBIG2 image of `side` x `side` pixels in a few kilobytes (46336: as large as the decoder
// takes, 2^31 pixels).
std::string MakeJbig2BombPdf(std::uint32_t side);

// Runs `qpdf --encrypt` on the file `in`, writing `out`. `mode` is "rc4-40", "rc4-128",
// "aes-128" or "aes-256". Throws std::runtime_error when qpdf fails or the mode is unknown.
void EncryptPdf(const std::string& in, const std::string& out, const std::string& userPassword,
                const std::string& ownerPassword, const std::string& mode);

} // namespace folioxa::testing
