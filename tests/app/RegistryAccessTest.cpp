#include "app/RegistryAccess.h"

#include "support/TestFiles.h"

#include <elf.h>
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

namespace folioxa {
namespace {

using folioxa::testing::TempDir;
using folioxa::testing::WriteFile;

template <typename T>
void Put(std::string& bytes, std::size_t at, const T& value) {
    if (bytes.size() < at + sizeof value) {
        bytes.resize(at + sizeof value);
    }
    std::memcpy(bytes.data() + at, &value, sizeof value);
}

// A 64-bit ELF file with three sections: none, the names and one section of `data`.
struct ElfImage {
    std::string SectionName = kVersionSectionName;
    std::string Data = std::string("\x02\x00\x00\x00\x01\x00\x02\x00", 8);
    std::function<void(Elf64_Ehdr&, Elf64_Shdr&)> Damage = [](Elf64_Ehdr&, Elf64_Shdr&) {};

    std::string Bytes() const {
        const std::string names = std::string("\0.shstrtab\0", 11) + SectionName + '\0';
        const std::size_t namesAt = sizeof(Elf64_Ehdr);
        const std::size_t dataAt = namesAt + names.size();
        const std::size_t tableAt = dataAt + Data.size();
        Elf64_Ehdr header{};
        std::memcpy(header.e_ident, ELFMAG, SELFMAG);
        header.e_ident[EI_CLASS] = ELFCLASS64;
        header.e_ident[EI_DATA] = ELFDATA2LSB;
        header.e_shoff = tableAt;
        header.e_shentsize = sizeof(Elf64_Shdr);
        header.e_shnum = 3;
        header.e_shstrndx = 1;
        Elf64_Shdr nameTable{};
        nameTable.sh_name = 1;
        nameTable.sh_type = SHT_STRTAB;
        nameTable.sh_offset = namesAt;
        nameTable.sh_size = names.size();
        Elf64_Shdr version{};
        version.sh_name = 11;
        version.sh_type = SHT_PROGBITS;
        version.sh_offset = dataAt;
        version.sh_size = Data.size();
        Damage(header, version);
        std::string bytes;
        Put(bytes, 0, header);
        bytes.replace(namesAt, names.size(), names);
        bytes.replace(dataAt, Data.size(), Data);
        Put(bytes, tableAt, Elf64_Shdr{});
        Put(bytes, tableAt + sizeof(Elf64_Shdr), nameTable);
        Put(bytes, tableAt + 2 * sizeof(Elf64_Shdr), version);
        return bytes;
    }
};

TEST(RegistryAccessTest, ReadsTheVersionSectionAndNothingElse) {
    const struct {
        const char* Name;
        ElfImage Image;
        std::optional<FileVersion> Expected;
        std::size_t KeepBytes = std::string::npos;
    } rows[] = {
        {"well formed", {}, FileVersion{2, 0, 1, 2}},
        {"extra bytes after the numbers",
         {.Data = std::string("\x07\0\x06\0\x05\0\x04\0zz", 10)},
         FileVersion{7, 6, 5, 4}},
        {"section too short", {.Data = std::string("\x02\0\0\0\x01\0", 6)}, std::nullopt},
        {"longer name with the same start", {.SectionName = ".folioxa_version2"}, std::nullopt},
        {"another section only", {.SectionName = ".data"}, std::nullopt},
        {"no bits in the file",
         {.Damage = [](Elf64_Ehdr&, Elf64_Shdr& s) { s.sh_type = SHT_NOBITS; }},
         std::nullopt},
        {"data beyond the file",
         {.Damage = [](Elf64_Ehdr&, Elf64_Shdr& s) { s.sh_offset = 1U << 30; }},
         std::nullopt},
        {"name beyond the name table",
         {.Damage = [](Elf64_Ehdr&, Elf64_Shdr& s) { s.sh_name = 4000; }},
         std::nullopt},
        {"section table beyond the file",
         {.Damage = [](Elf64_Ehdr& h, Elf64_Shdr&) { h.e_shoff = ~0ULL - 8; }},
         std::nullopt},
        {"name table index out of range",
         {.Damage = [](Elf64_Ehdr& h, Elf64_Shdr&) { h.e_shstrndx = 9; }},
         std::nullopt},
        {"wrong magic",
         {.Damage = [](Elf64_Ehdr& h, Elf64_Shdr&) { h.e_ident[1] = 'X'; }},
         std::nullopt},
        {"other byte order",
         {.Damage = [](Elf64_Ehdr& h, Elf64_Shdr&) { h.e_ident[EI_DATA] = ELFDATA2MSB; }},
         std::nullopt},
        {"cut short", {}, std::nullopt, 40},
    };
    const TempDir dir;
    for (const auto& row : rows) {
        WriteFile(dir.File("image"), row.Image.Bytes().substr(0, row.KeepBytes));
        EXPECT_EQ(ReadFileVersion(dir.File("image")), row.Expected) << row.Name;
    }
    EXPECT_EQ(ReadFileVersion(dir.File("missing")), std::nullopt);
    EXPECT_EQ(ReadFileVersion(dir.Path().string()), std::nullopt) << "a folder";
}

TEST(RegistryAccessTest, TheBuildWritesTheVersionIntoTheProgram) {
    EXPECT_EQ(ReadFileVersion(FOLIOXA_EXECUTABLE), (FileVersion{2, 0, 1, 2}));
    EXPECT_EQ(GetFileVersionString(), "2.0.1.2") << "this test program carries the section too";

    const TempDir dir;
    const std::string stripped = dir.File("folioxa");
    const std::string command = "objcopy --remove-section " + std::string(kVersionSectionName) +
                                " '" + FOLIOXA_EXECUTABLE + "' '" + stripped + "'";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    EXPECT_EQ(ReadFileVersion(stripped), std::nullopt);
}

} // namespace
} // namespace folioxa
