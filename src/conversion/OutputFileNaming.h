#pragma once

#include <string>

namespace folioxa {

struct ConversionSettings;

// Characters of `pageCount` written in decimal: the width page texts are padded to.
int DigitCount(int pageCount);

// The extension of the image type named exactly `imageType` (".png" for "PNG"); ".bmp" for any
// other text.
std::string FileExtension(const std::string& imageType);

// folder + base + page text padded with "0" to `digitCount` (never shortened) + extension,
// joined with nothing in between.
std::string OutputFilePath(const std::string& destinationFolder, const std::string& baseFileName,
                           const std::string& pageText, int digitCount,
                           const std::string& imageType);

// The file that entry `entry` of a run with `settings` writes, on a document of `pageCount`
// pages: OutputFilePath, or with SingleFile the folder, base name and extension alone.
std::string EntryFilePath(const ConversionSettings& settings, int pageCount,
                          const std::string& entry);

// The folder every OutputFilePath of this folder and base name lies in, as the text they all
// begin with: up to and including the last "/" of the two joined; empty when there is none.
std::string OutputFolderPath(const std::string& destinationFolder, const std::string& baseFileName);

// The file-name part of `inputPath` with every ".pdf" (any letter case) removed, then "_".
std::string DefaultBaseFileName(const std::string& inputPath);

// `inputPath` up to and including its last "/"; empty when it has none.
std::string DefaultDestinationFolder(const std::string& inputPath);

} // namespace folioxa
