#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace folioxa {

// The ELF section in which the build writes the file version: four 16-bit numbers in the
// machine's byte order, major, minor, release, build. A macro, since the section attribute that
// writes it takes only a literal.
#define FOLIOXA_VERSION_SECTION ".folioxa_version"
inline constexpr const char* kVersionSectionName = FOLIOXA_VERSION_SECTION;

using FileVersion = std::array<std::uint16_t, 4>;

// The file version held in the version section of the ELF file `path`; nothing when the file
// cannot be read, is no ELF file of this machine's byte order, or lacks a section of 8 bytes or
// more by that name. Never throws for a bad file.
std::optional<FileVersion> ReadFileVersion(const std::string& path);

// The running executable's file version (read from /proc/self/exe). Each number is left as it
// was when the version cannot be read.
void GetFileVersionNumbers(std::uint16_t& major, std::uint16_t& minor, std::uint16_t& release,
                           std::uint16_t& build);

// "major.minor.release.build" in decimal; "0.0.0.0" without a readable version.
std::string GetFileVersionString();

} // namespace folioxa
