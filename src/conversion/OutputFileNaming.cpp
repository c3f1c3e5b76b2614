#include "conversion/OutputFileNaming.h"

#include "conversion/ConversionSettings.h"
#include "conversion/ImageFormats.h"

namespace folioxa {

int DigitCount(int pageCount) {
    return static_cast<int>(std::to_string(pageCount).size());
}

std::string FileExtension(const std::string& imageType) {
    return StandardImageFormats().Find(imageType).Extension;
}

std::string OutputFilePath(const std::string& destinationFolder, const std::string& baseFileName,
                           const std::string& pageText, int digitCount,
                           const std::string& imageType) {
    const auto length = static_cast<long long>(pageText.size());
    const std::string padding =
        digitCount > length ? std::string(static_cast<std::size_t>(digitCount - length), '0')
                            : std::string();
    return destinationFolder + baseFileName + padding + pageText + FileExtension(imageType);
}

std::string EntryFilePath(const ConversionSettings& settings, int pageCount,
                          const std::string& entry) {
    if (settings.SingleFile) {
        return settings.DestinationFolder + settings.BaseFileName +
               FileExtension(settings.ImageType);
    }
    return OutputFilePath(settings.DestinationFolder, settings.BaseFileName, entry,
                          DigitCount(pageCount), settings.ImageType);
}

namespace {

bool IsPdfAt(const std::string& name, std::size_t pos) {
    static constexpr char kPdf[] = ".pdf";
    if (pos + 4 > name.size()) {
        return false;
    }
    for (std::size_t i = 0; i < 4; ++i) {
        char c = name[pos + i];
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
        if (c != kPdf[i]) {
            return false;
        }
    }
    return true;
}

} // namespace

std::string DefaultBaseFileName(const std::string& inputPath) {
    const auto slash = inputPath.rfind('/');
    const std::string name = slash == std::string::npos ? inputPath : inputPath.substr(slash + 1);
    std::string base;
    base.reserve(name.size() + 1);
    for (std::size_t pos = 0; pos < name.size();) {
        if (IsPdfAt(name, pos)) {
            pos += 4;
        } else {
            base += name[pos++];
        }
    }
    return base + "_";
}

std::string OutputFolderPath(const std::string& destinationFolder,
                             const std::string& baseFileName) {
    // A base name may hold folders of its own; a page's text never holds a "/".
    return DefaultDestinationFolder(destinationFolder + baseFileName);
}

std::string DefaultDestinationFolder(const std::string& inputPath) {
    const auto slash = inputPath.rfind('/');
    return slash == std::string::npos ? std::string() : inputPath.substr(0, slash + 1);
}

} // namespace folioxa
