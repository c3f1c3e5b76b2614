// Documents that take an engine all the memory it can get for their first page.
#include "support/TestPdf.h"

#include <zlib.h>

#include <stdexcept>
#include <vector>

namespace folioxa::testing {

namespace {

// Page 1 with `content` and the resources given, page 2 an ordinary blue square.
std::string TwoPages(PdfBuilder& pdf, int catalog, const std::string& content,
                     const std::string& resources) {
    const int pages = pdf.Reserve();
    const int first = pdf.Reserve();
    const int firstContent = pdf.Reserve();
    const int second = pdf.Reserve();
    const int secondContent = pdf.Reserve();
    const std::string parent = " /Parent " + std::to_string(pages) + " 0 R";
    pdf.Set(catalog, "<< /Type /Catalog /Pages " + std::to_string(pages) + " 0 R >>");
    pdf.Set(pages, "<< /Type /Pages /Kids [" + std::to_string(first) + " 0 R " +
                       std::to_string(second) + " 0 R] /Count 2 >>");
    pdf.Set(first, "<< /Type /Page" + parent + " /MediaBox [0 0 200 200] /Contents " +
                       std::to_string(firstContent) + " 0 R /Resources << " + resources + " >> >>");
    pdf.Set(firstContent, content);
    pdf.Set(second, "<< /Type /Page" + parent + " /MediaBox [0 0 200 200] /Contents " +
                        std::to_string(secondContent) + " 0 R >>");
    pdf.Set(secondContent, PdfStream("", "0 0 1 rg 10 10 50 50 re f"));
    return pdf.Finish(catalog);
}

} // namespace

std::string MakeMutualFormsPdf() {
    PdfBuilder pdf;
    const int catalog = pdf.Reserve();
    const int a = pdf.Reserve();
    const int b = pdf.Reserve();
    const auto form = [](const std::string& name, int other) {
        return PdfStream("/Type /XObject /Subtype /Form /BBox [0 0 100 100] /Resources << "
                         "/XObject << /" +
                             name + " " + std::to_string(other) + " 0 R >> >>",
                         "/" + name + " Do /" + name + " Do");
    };
    pdf.Set(a, form("B", b));
    pdf.Set(b, form("A", a));
    return TwoPages(pdf, catalog, PdfStream("", "/A Do"),
                    "/XObject << /A " + std::to_string(a) + " 0 R >>");
}

std::string MakeFormFanOutPdf(int levels, int fanOut) {
    PdfBuilder pdf;
    const int catalog = pdf.Reserve();
    // Form i draws form i + 1 `fanOut` times; the last fills a square: fanOut^levels squares,
    // every one parsed into its own object before the page is drawn.
    std::vector<int> forms;
    for (int i = 0; i < levels; ++i) {
        forms.push_back(pdf.Reserve());
    }
    for (int i = 0; i < levels; ++i) {
        std::string content = "0 0 1 rg 0 0 10 10 re f";
        std::string resources;
        if (i + 1 < levels) {
            content.clear();
            for (int k = 0; k < fanOut; ++k) {
                content += "/F Do ";
            }
            resources = " /Resources << /XObject << /F " +
                        std::to_string(forms[static_cast<std::size_t>(i) + 1]) + " 0 R >> >>";
        }
        pdf.Set(
            forms[static_cast<std::size_t>(i)],
            PdfStream("/Type /XObject /Subtype /Form /BBox [0 0 100 100]" + resources, content));
    }
    return TwoPages(pdf, catalog, PdfStream("", "/F Do"),
                    "/XObject << /F " + std::to_string(forms.front()) + " 0 R >>");
}

std::string MakeJbig2BombPdf(std::uint32_t kSide) {
    // One generic region of kSide x kSide pixels, coded with MMR: every row white like the row
    // above, one bit a row. The engine decodes it whole, then scales it.
    const auto be32 = [](std::uint32_t value) {
        std::string bytes;
        for (int shift = 24; shift >= 0; shift -= 8) {
            bytes += static_cast<char>((value >> shift) & 0xFF);
        }
        return bytes;
    };
    const auto segment = [&](std::uint32_t number, char type, const std::string& data) {
        return be32(number) + type + std::string(1, '\0') + std::string(1, '\1') +
               be32(static_cast<std::uint32_t>(data.size())) + data;
    };
    const std::string pageInfo =
        be32(kSide) + be32(kSide) + be32(0) + be32(0) + std::string(1, '\0') + std::string(2, '\0');
    const std::string region = be32(kSide) + be32(kSide) + be32(0) + be32(0) +
                               std::string(1, '\0') + std::string(1, '\1') +
                               std::string(kSide / 8, '\xFF');
    const std::string stream =
        segment(0, 48, pageInfo) + segment(1, 38, region) + segment(2, 49, "");
    PdfBuilder pdf;
    const int catalog = pdf.Reserve();
    const int image = pdf.Reserve();
    pdf.Set(image, PdfStream("/Type /XObject /Subtype /Image /Width " + std::to_string(kSide) +
                                 " /Height " + std::to_string(kSide) +
                                 " /ColorSpace /DeviceGray /BitsPerComponent 1 /Filter "
                                 "/JBIG2Decode",
                             stream));
    return TwoPages(pdf, catalog, PdfStream("", "q 200 0 0 200 0 0 cm /Im Do Q"),
                    "/XObject << /Im " + std::to_string(image) + " 0 R >>");
}

std::string MakeDoubleFlatePdf(std::uint64_t inflatedBytes) {
    // Blanks in 16 MB pieces, each flushed with a reset dictionary: every piece compresses to the
    // same bytes, so the inner stream is one piece's block repeated, made without deflating GiBs.
    const std::string piece(std::size_t{16} << 20, ' ');
    z_stream z{};
    if (deflateInit(&z, 9) != Z_OK) {
        throw std::runtime_error("deflateInit failed");
    }
    const auto deflatePiece = [&z](const std::string& input, int flush) {
        std::string output(input.size() / 64 + 1024, '\0');
        z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(input.data()));
        z.avail_in = static_cast<uInt>(input.size());
        z.next_out = reinterpret_cast<Bytef*>(output.data());
        z.avail_out = static_cast<uInt>(output.size());
        deflate(&z, flush);
        output.resize(output.size() - z.avail_out);
        return output;
    };
    const std::string first = deflatePiece(piece, Z_FULL_FLUSH); // the 2-byte header, then a block
    const std::string block = first.substr(2);
    const std::string end = deflatePiece("", Z_FINISH); // the last block, then the checksum
    deflateEnd(&z);
    const std::uint64_t pieces = inflatedBytes / piece.size();
    const uLong pieceSum =
        adler32(1, reinterpret_cast<const Bytef*>(piece.data()), static_cast<uInt>(piece.size()));
    uLong sum = 1;
    std::string inner = first.substr(0, 2);
    for (std::uint64_t i = 0; i < pieces; ++i) {
        inner += block;
        sum = adler32_combine(sum, pieceSum, static_cast<z_off_t>(piece.size()));
    }
    inner += end.substr(0, end.size() - 4);
    for (int shift = 24; shift >= 0; shift -= 8) {
        inner += static_cast<char>((sum >> shift) & 0xFF);
    }
    std::string outer(compressBound(static_cast<uLong>(inner.size())), '\0');
    uLongf size = static_cast<uLongf>(outer.size());
    compress2(reinterpret_cast<Bytef*>(outer.data()), &size,
              reinterpret_cast<const Bytef*>(inner.data()), static_cast<uLong>(inner.size()), 9);
    outer.resize(size);
    PdfBuilder pdf;
    const int catalog = pdf.Reserve();
    return TwoPages(pdf, catalog, PdfStream("/Filter [/FlateDecode /FlateDecode]", outer), "");
}

} // namespace folioxa::testing
