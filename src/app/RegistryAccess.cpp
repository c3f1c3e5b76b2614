#include "app/RegistryAccess.h"

#include "base/FileDescriptor.h"

#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <limits>
#include <vector>

namespace folioxa {

namespace {

// Positioned reads that fail on anything outside the file instead of returning short.
class ElfFile {
public:
    ElfFile(int fd, std::uint64_t size) : FFd(fd), FSize(size) {}

    bool Read(std::uint64_t offset, void* buffer, std::uint64_t length) const {
        if (offset > FSize || length > FSize - offset) {
            return false;
        }
        auto* out = static_cast<char*>(buffer);
        while (length > 0) {
            const ssize_t got =
                pread(FFd, out, static_cast<std::size_t>(length), static_cast<off_t>(offset));
            if (got <= 0) {
                return false;
            }
            out += got;
            offset += static_cast<std::uint64_t>(got);
            length -= static_cast<std::uint64_t>(got);
        }
        return true;
    }

private:
    int FFd;
    std::uint64_t FSize;
};

template <typename Ehdr, typename Shdr>
std::optional<FileVersion> FindVersion(const ElfFile& file) {
    Ehdr header;
    if (!file.Read(0, &header, sizeof header) || header.e_shoff == 0 ||
        header.e_shentsize != sizeof(Shdr)) {
        return std::nullopt;
    }
    auto readSection = [&](std::uint64_t index, Shdr& section) {
        return file.Read(header.e_shoff + index * sizeof(Shdr), &section, sizeof section);
    };
    // Files with very many sections keep the count and the name-table index in section 0.
    std::uint64_t count = header.e_shnum;
    std::uint64_t namesIndex = header.e_shstrndx;
    if (count == 0 || namesIndex == SHN_XINDEX) {
        Shdr first;
        if (!readSection(0, first)) {
            return std::nullopt;
        }
        if (count == 0) {
            count = first.sh_size;
        }
        if (namesIndex == SHN_XINDEX) {
            namesIndex = first.sh_link;
        }
    }
    // A header that claims more sections than the file could hold is damaged, not slow to read.
    if (count > std::numeric_limits<std::uint32_t>::max() || namesIndex >= count) {
        return std::nullopt;
    }
    Shdr names;
    if (!readSection(namesIndex, names)) {
        return std::nullopt;
    }
    const std::string wanted = kVersionSectionName;
    std::vector<char> name(wanted.size() + 1);
    for (std::uint64_t i = 1; i < count; ++i) {
        Shdr section;
        if (!readSection(i, section)) {
            return std::nullopt;
        }
        if (section.sh_name >= names.sh_size || names.sh_size - section.sh_name < name.size() ||
            !file.Read(names.sh_offset + section.sh_name, name.data(), name.size()) ||
            std::memcmp(name.data(), wanted.c_str(), name.size()) != 0) {
            continue;
        }
        FileVersion version{};
        if (section.sh_type == SHT_NOBITS || section.sh_size < sizeof version ||
            !file.Read(section.sh_offset, version.data(), sizeof version)) {
            return std::nullopt;
        }
        return version;
    }
    return std::nullopt;
}

bool IsNativeByteOrder(unsigned char encoding) {
    const std::uint16_t probe = 1;
    unsigned char first = 0;
    std::memcpy(&first, &probe, 1);
    return encoding == (first == 1 ? ELFDATA2LSB : ELFDATA2MSB);
}

} // namespace

std::optional<FileVersion> ReadFileVersion(const std::string& path) {
    const FileDescriptor fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat status {};
    if (fd.Get() < 0 || fstat(fd.Get(), &status) != 0 || !S_ISREG(status.st_mode)) {
        return std::nullopt;
    }
    const ElfFile file(fd.Get(), static_cast<std::uint64_t>(status.st_size));
    unsigned char ident[EI_NIDENT];
    if (!file.Read(0, ident, sizeof ident) || std::memcmp(ident, ELFMAG, SELFMAG) != 0 ||
        !IsNativeByteOrder(ident[EI_DATA])) {
        return std::nullopt;
    }
    switch (ident[EI_CLASS]) {
    case ELFCLASS64:
        return FindVersion<Elf64_Ehdr, Elf64_Shdr>(file);
    case ELFCLASS32:
        return FindVersion<Elf32_Ehdr, Elf32_Shdr>(file);
    default:
        return std::nullopt;
    }
}

void GetFileVersionNumbers(std::uint16_t& major, std::uint16_t& minor, std::uint16_t& release,
                           std::uint16_t& build) {
    const std::optional<FileVersion> version = ReadFileVersion("/proc/self/exe");
    if (!version) {
        return;
    }
    major = (*version)[0];
    minor = (*version)[1];
    release = (*version)[2];
    build = (*version)[3];
}

std::string GetFileVersionString() {
    std::uint16_t major = 0;
    std::uint16_t minor = 0;
    std::uint16_t release = 0;
    std::uint16_t build = 0;
    GetFileVersionNumbers(major, minor, release, build);
    return std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(release) +
           "." + std::to_string(build);
}

} // namespace folioxa
