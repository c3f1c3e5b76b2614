#include "support/TestPdf.h"

#include <spawn.h>
#include <sys/wait.h>

#include <cstdio>
#include <map>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace folioxa::testing {
namespace {

std::string Num(double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%.4f", value);
    return text;
}

std::string Colour(std::uint32_t rgb) {
    return Num(((rgb >> 16) & 0xFF) / 255.0) + " " + Num(((rgb >> 8) & 0xFF) / 255.0) + " " +
           Num((rgb & 0xFF) / 255.0);
}

// Escapes a value for a PDF literal string.
std::string Literal(const std::string& text) {
    std::string out = "(";
    for (char c : text) {
        if (c == '(' || c == ')' || c == '\\') {
            out += '\\';
        }
        out += c;
    }
    return out + ")";
}

std::string Ref(int number) {
    return std::to_string(number) + " 0 R";
}

} // namespace

std::string PdfStream(const std::string& dictionary, const std::string& data) {
    return "<< " + dictionary + " /Length " + std::to_string(data.size()) + " >>\nstream\n" + data +
           "\nendstream";
}

std::string PdfBuilder::Finish(int root) const {
    std::string out = "%PDF-1.7\n%\xE2\xE3\xCF\xD3\n";
    std::vector<std::size_t> offsets(static_cast<std::size_t>(FCount) + 1, 0);
    for (const auto& [number, body] : FBodies) {
        offsets[static_cast<std::size_t>(number)] = out.size();
        out += std::to_string(number) + " 0 obj\n" + body + "\nendobj\n";
    }
    const std::size_t xref = out.size();
    out += "xref\n0 " + std::to_string(FCount + 1) + "\n0000000000 65535 f \n";
    for (int number = 1; number <= FCount; ++number) {
        char entry[32];
        std::snprintf(entry, sizeof entry, "%010zu 00000 n \n",
                      offsets[static_cast<std::size_t>(number)]);
        out += entry;
    }
    out += "trailer\n<< /Size " + std::to_string(FCount + 1) + " /Root " + std::to_string(root) +
           " 0 R >>\nstartxref\n" + std::to_string(xref) + "\n%%EOF\n";
    return out;
}

std::string MakePdf(const std::vector<TestPage>& pages) {
    PdfBuilder pdf;
    const int catalog = pdf.Reserve();
    const int pageTree = pdf.Reserve();
    const int font = pdf.Reserve();
    pdf.Set(font, "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica /Encoding "
                  "/WinAnsiEncoding >>");

    std::string kids;
    std::string fields;
    for (const TestPage& page : pages) {
        const int pageObject = pdf.Reserve();
        const int content = pdf.Reserve();
        kids += Ref(pageObject) + " ";

        std::string drawing;
        std::string images;
        if (page.NoiseSeed != 0) {
            const int image = pdf.Reserve();
            const auto width = static_cast<std::size_t>(page.Width);
            const auto height = static_cast<std::size_t>(page.Height);
            std::string pixels(width * height * 3, '\0');
            std::uint32_t state = page.NoiseSeed;
            for (char& byte : pixels) {
                state ^= state << 13; // xorshift32
                state ^= state >> 17;
                state ^= state << 5;
                byte = static_cast<char>(state >> 24);
            }
            pdf.Set(image,
                    PdfStream("/Type /XObject /Subtype /Image /Width " + std::to_string(width) +
                                  " /Height " + std::to_string(height) +
                                  " /ColorSpace /DeviceRGB /BitsPerComponent 8",
                              pixels));
            drawing += "q " + Num(page.Width) + " 0 0 " + Num(page.Height) + " 0 0 cm /Im0 Do Q\n";
            images = " /XObject << /Im0 " + Ref(image) + " >>";
        }
        if (page.TransparencyGroup) {
            // The engine reports transparency only for content that needs it: a blend mode past
            // Multiply in force once is enough, and set inside q/Q it changes no pixel.
            drawing += "q /GS0 gs Q\n";
        }
        for (const TestRect& rect : page.Rects) {
            drawing += Colour(rect.Rgb) + " rg " + Num(rect.X) + " " + Num(rect.Y) + " " +
                       Num(rect.W) + " " + Num(rect.H) + " re f\n";
        }
        pdf.Set(content, PdfStream("", drawing));

        std::string annots;
        if (!page.TextFieldValue.empty()) {
            const TestRect& r = kTextFieldRect;
            const int field = pdf.Reserve();
            const int appearance = pdf.Reserve();
            const std::string look = "1 g 0 0 " + Num(r.W) + " " + Num(r.H) +
                                     " re f\n0 G 2 w 1 1 " + Num(r.W - 2) + " " + Num(r.H - 2) +
                                     " re S\n/Tx BMC q BT 0 g /Helv 24 Tf 6 14 Td " +
                                     Literal(page.TextFieldValue) + " Tj ET Q EMC";
            pdf.Set(appearance, PdfStream("/Type /XObject /Subtype /Form /BBox [0 0 " + Num(r.W) +
                                              " " + Num(r.H) + "] /Resources << /Font << /Helv " +
                                              Ref(font) + " >> >>",
                                          look));
            pdf.Set(field, "<< /Type /Annot /Subtype /Widget /FT /Tx /T (field" +
                               std::to_string(field) + ") /V " + Literal(page.TextFieldValue) +
                               " /DA (/Helv 24 Tf 0 g) /F 4 /Rect [" + Num(r.X) + " " + Num(r.Y) +
                               " " + Num(r.X + r.W) + " " + Num(r.Y + r.H) + "] /P " +
                               Ref(pageObject) + " /AP << /N " + Ref(appearance) + " >> >>");
            annots += Ref(field) + " ";
            fields += Ref(field) + " ";
        }
        for (const TestRect& r : page.Annotations) {
            const int annotation = pdf.Reserve();
            const int appearance = pdf.Reserve();
            pdf.Set(appearance,
                    PdfStream("/Type /XObject /Subtype /Form /BBox [0 0 " + Num(r.W) + " " +
                                  Num(r.H) + "]",
                              Colour(r.Rgb) + " rg 0 0 " + Num(r.W) + " " + Num(r.H) + " re f"));
            pdf.Set(annotation, "<< /Type /Annot /Subtype /Square /F 4 /Rect [" + Num(r.X) + " " +
                                    Num(r.Y) + " " + Num(r.X + r.W) + " " + Num(r.Y + r.H) +
                                    "] /P " + Ref(pageObject) + " /AP << /N " + Ref(appearance) +
                                    " >> >>");
            annots += Ref(annotation) + " ";
        }
        if (!annots.empty()) {
            annots = " /Annots [" + annots + "]";
        }
        std::string boxes;
        for (const auto& [name, box] : page.Boxes) {
            boxes += " /" + name + " [" + Num(box[0]) + " " + Num(box[1]) + " " + Num(box[2]) +
                     " " + Num(box[3]) + "]";
        }

        std::string body = "<< /Type /Page /Parent " + Ref(pageTree) + " /MediaBox [0 0 " +
                           Num(page.Width) + " " + Num(page.Height) + "] /Contents " +
                           Ref(content) + " /Resources << /Font << /Helv " + Ref(font) + " >>" +
                           images;
        if (page.TransparencyGroup) {
            body += " /ExtGState << /GS0 << /Type /ExtGState /BM /Darken >> >>";
        }
        body += " >>";
        if (page.Rotate != 0) {
            body += " /Rotate " + std::to_string(page.Rotate);
        }
        if (page.TransparencyGroup) {
            body += " /Group << /Type /Group /S /Transparency /CS /DeviceRGB >>";
        }
        pdf.Set(pageObject, body + annots + boxes + " >>");
    }
    pdf.Set(pageTree,
            "<< /Type /Pages /Kids [" + kids + "] /Count " + std::to_string(pages.size()) + " >>");

    std::string catalogBody = "<< /Type /Catalog /Pages " + Ref(pageTree);
    if (!fields.empty()) {
        catalogBody += " /AcroForm << /Fields [" + fields +
                       "] /DA (/Helv 0 Tf 0 g) /DR << /Font "
                       "<< /Helv " +
                       Ref(font) + " >> >> >>";
    }
    pdf.Set(catalog, catalogBody + " >>");
    return pdf.Finish(catalog);
}

void EncryptPdf(const std::string& in, const std::string& out, const std::string& userPassword,
                const std::string& ownerPassword, const std::string& mode) {
    std::vector<std::string> args{"qpdf", "--encrypt", userPassword, ownerPassword};
    if (mode == "rc4-40") {
        args.insert(args.end(), {"40"});
    } else if (mode == "rc4-128") {
        args.insert(args.end(), {"128", "--use-aes=n"});
    } else if (mode == "aes-128") {
        args.insert(args.end(), {"128", "--use-aes=y"});
    } else if (mode == "aes-256") {
        args.insert(args.end(), {"256"});
    } else {
        throw std::runtime_error("EncryptPdf: unknown mode " + mode);
    }
    // qpdf 11 refuses RC4 unless told that weak crypto is wanted; these files test old readers.
    if (mode.rfind("rc4", 0) == 0) {
        args.insert(args.begin() + 1, "--allow-weak-crypto");
    }
    args.insert(args.end(), {"--", in, out});

    std::vector<char*> argv;
    for (std::string& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    pid_t pid = 0;
    // Spawned directly, not through a shell, so passwords with blanks or quotes pass unchanged.
    if (posix_spawnp(&pid, "qpdf", nullptr, nullptr, argv.data(), environ) != 0) {
        throw std::runtime_error("EncryptPdf: cannot start qpdf");
    }
    int status = 0;
    // qpdf exits 3 when it only warned; the file is written then.
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status) ||
        (WEXITSTATUS(status) != 0 && WEXITSTATUS(status) != 3)) {
        throw std::runtime_error("EncryptPdf: qpdf failed for " + in);
    }
}

} // namespace folioxa::testing
