// test-documents DIR: writes the documents that stand in for the shared corpus where it is absent
// (the sandbox comparison, the package check, the README's examples). Each is made here, so a
// clone of the repository alone has real documents to convert:
//   report.pdf         6 Letter pages: shapes, a form field (drawn with its highlight), a page
//                      turned by /Rotate, one landscape page
//   scan.pdf           one page that is a photograph-like image
//   noembed-ja.pdf     Japanese text in a font that is not embedded: the engine must read a font
//                      from the system's font folders (fonts-ipafont-gothic) to draw it
//   noembed-ja-without-text.pdf  the same page without the text, to tell that the text was drawn
//   locked.pdf         report.pdf's first pages protected by the password "secret" (qpdf)
#include "support/TestPdf.h"

#include <filesystem>
#include <fstream>
#include <iostream>

namespace {

using namespace folioxa::testing;

// "日本語のテキスト" (Japanese text) as UTF-16BE, which the UniJIS-UCS2-H encoding reads.
constexpr const char* kJapaneseText = "<65E5672C8A9E306E30C630AD30B930C8>";

std::string JapanesePage(bool withText) {
    PdfBuilder pdf;
    const int catalog = pdf.Reserve();
    const int pages = pdf.Reserve();
    const int page = pdf.Reserve();
    const int content = pdf.Reserve();
    const int type0 = pdf.Reserve();
    const int cidFont = pdf.Reserve();
    const int descriptor = pdf.Reserve();
    const int label = pdf.Reserve();
    // No FontFile2 in the descriptor: the font is not embedded.
    pdf.Set(descriptor, "<< /Type /FontDescriptor /FontName /IPAGothic /Flags 4 /FontBBox [0 -141 "
                        "1000 859] /ItalicAngle 0 /Ascent 859 /Descent -141 /CapHeight 700 "
                        "/StemV 80 >>");
    pdf.Set(cidFont, "<< /Type /Font /Subtype /CIDFontType2 /BaseFont /IPAGothic /CIDSystemInfo "
                     "<< /Registry (Adobe) /Ordering (Japan1) /Supplement 6 >> /FontDescriptor " +
                         std::to_string(descriptor) + " 0 R /DW 1000 >>");
    pdf.Set(type0, "<< /Type /Font /Subtype /Type0 /BaseFont /IPAGothic /Encoding /UniJIS-UCS2-H "
                   "/DescendantFonts [" +
                       std::to_string(cidFont) + " 0 R] >>");
    pdf.Set(label, "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>");
    std::string drawing =
        "0 0 0.6 rg 36 700 540 4 re f\nBT /L 12 Tf 36 680 Td (noembed-ja) Tj ET\n";
    if (withText) {
        drawing += "BT /F1 36 Tf 36 600 Td " + std::string(kJapaneseText) + " Tj ET\n";
    }
    pdf.Set(content, PdfStream("", drawing));
    pdf.Set(page, "<< /Type /Page /Parent " + std::to_string(pages) +
                      " 0 R /MediaBox [0 0 612 792] /Contents " + std::to_string(content) +
                      " 0 R /Resources << /Font << /F1 " + std::to_string(type0) + " 0 R /L " +
                      std::to_string(label) + " 0 R >> >> >>");
    pdf.Set(pages, "<< /Type /Pages /Kids [" + std::to_string(page) + " 0 R] /Count 1 >>");
    pdf.Set(catalog, "<< /Type /Catalog /Pages " + std::to_string(pages) + " 0 R >>");
    return pdf.Finish(catalog);
}

std::vector<TestPage> ReportPages() {
    std::vector<TestPage> pages(6);
    for (std::size_t i = 0; i < pages.size(); ++i) {
        const double step = 30.0 * static_cast<double>(i);
        pages[i].Rects = {{36, 36, 540, 720, 0xF4F0E8},
                          {72 + step, 600 - step, 200, 120, 0x2060A0},
                          {300, 72 + step, 240, 90, 0xC04020}};
    }
    pages[1].TextFieldValue = "Folioxa";
    pages[2].Rotate = 90;
    pages[5].Width = 792; // landscape
    pages[5].Height = 612;
    return pages;
}

void Write(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary);
    out << bytes;
    out.close();
    if (!out) {
        throw std::runtime_error("cannot write " + path.string());
    }
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: test-documents DIR\n";
        return 2;
    }
    try {
        const std::filesystem::path dir = argv[1];
        std::filesystem::create_directories(dir);
        Write(dir / "report.pdf", MakePdf(ReportPages()));
        TestPage scan;
        scan.Width = 300;
        scan.Height = 400;
        scan.NoiseSeed = 19;
        Write(dir / "scan.pdf", MakePdf({scan}));
        Write(dir / "noembed-ja.pdf", JapanesePage(true));
        Write(dir / "noembed-ja-without-text.pdf", JapanesePage(false));
        const std::vector<TestPage> all = ReportPages();
        Write(dir / "unlocked.tmp", MakePdf({all.begin(), all.begin() + 3}));
        EncryptPdf((dir / "unlocked.tmp").string(), (dir / "locked.pdf").string(), "secret",
                   "owner", "aes-256");
        std::filesystem::remove(dir / "unlocked.tmp");
    } catch (const std::exception& e) {
        std::cerr << "test-documents: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
