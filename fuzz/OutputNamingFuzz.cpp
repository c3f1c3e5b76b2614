// Output file naming: OutputFilePath, DefaultBaseFileName, DefaultDestinationFolder.
// Input: one byte of digit count, then folder, base name, page text, image type and an input
// path, separated by NUL bytes.
#include "FuzzCheck.h"
#include "conversion/OutputFileNaming.h"

#include <algorithm>
#include <cctype>

namespace folioxa::fuzz {
namespace {

bool EndsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

void CheckOutputPath(const std::string& folder, const std::string& base, const std::string& page,
                     int digits, const std::string& type) {
    const std::string path = OutputFilePath(folder, base, page, digits, type);
    // Exact, case-sensitive names; any other text writes BMP.
    const std::string extension = type == "PNG"    ? ".png"
                                  : type == "JPG"  ? ".jpg"
                                  : type == "TIFF" ? ".tif"
                                  : type == "WEBP" ? ".webp"
                                                   : ".bmp";
    FUZZ_CHECK(path.rfind(folder + base, 0) == 0, path);
    FUZZ_CHECK(EndsWith(path, page + extension), path);
    // Padding only with zeros, only up to the digit count, and the page text never shortened.
    const std::size_t padding =
        path.size() - folder.size() - base.size() - page.size() - extension.size();
    FUZZ_CHECK(padding == (page.size() < static_cast<std::size_t>(digits)
                               ? static_cast<std::size_t>(digits) - page.size()
                               : 0),
               path);
    FUZZ_CHECK(path.find_first_not_of('0', folder.size() + base.size()) >=
                   folder.size() + base.size() + padding,
               path);
}

// The same removal written another way: find each ".pdf" case-blind from where the last one
// ended.
std::string ReferenceBase(const std::string& name) {
    std::string lower = name;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](char c) {
        return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    });
    std::string base;
    std::size_t from = 0;
    for (std::size_t at = lower.find(".pdf"); at != std::string::npos;
         at = lower.find(".pdf", from)) {
        base += name.substr(from, at - from);
        from = at + 4;
    }
    return base + name.substr(from) + "_";
}

void CheckDefaults(const std::string& inputPath) {
    const std::string folder = DefaultDestinationFolder(inputPath);
    const std::string base = DefaultBaseFileName(inputPath);
    FUZZ_CHECK(inputPath.rfind(folder, 0) == 0, folder);
    FUZZ_CHECK(folder.empty() || folder.back() == '/', folder);
    const std::string name = inputPath.substr(folder.size());
    FUZZ_CHECK(name.find('/') == std::string::npos, name);
    FUZZ_CHECK(base == ReferenceBase(name), base);
}

} // namespace
} // namespace folioxa::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    folioxa::fuzz::ByteReader in(data, size);
    // What DigitCount gives for any page count: 1 to 10 digits.
    const int digits = 1 + in.Byte() % 10;
    const std::string folder = in.Until('\0');
    const std::string base = in.Until('\0');
    const std::string page = in.Until('\0');
    const std::string type = in.Until('\0');
    const std::string inputPath = in.Rest();
    folioxa::fuzz::CheckOutputPath(folder, base, page, digits, type);
    folioxa::fuzz::CheckDefaults(inputPath);
    return 0;
}
