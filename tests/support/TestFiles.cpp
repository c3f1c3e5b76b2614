#include "support/TestFiles.h"

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace folioxa::testing {

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "folioxa-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    FPath = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    // Tests may leave read-only folders behind; make them writable so they can go.
    for (auto it = std::filesystem::recursive_directory_iterator(FPath, ignored);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
        std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ignored);
    }
    std::filesystem::remove_all(FPath, ignored);
}

std::string TempDir::File(const std::string& name) const {
    return (FPath / name).string();
}

std::optional<bool> HasEngineMapped(const std::string& process) {
    const std::string maps = ReadFile("/proc/" + process + "/maps");
    if (maps.find('/') == std::string::npos) {
        return std::nullopt;
    }
    return maps.find("/libpdfium.so") != std::string::npos;
}

std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot read " + path.string());
    }
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteFile(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        throw std::runtime_error("cannot write " + path.string());
    }
}

std::map<std::string, std::string> FilesIn(const std::filesystem::path& folder) {
    std::map<std::string, std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        std::string& seen = files[entry.path().filename().string()];
        if (entry.is_symlink()) {
            seen = "-> " + std::filesystem::read_symlink(entry).string();
        } else if (entry.is_regular_file()) {
            seen = ReadFile(entry.path());
        } else if (entry.is_character_file() || entry.is_block_file()) {
            seen = "(device)";
        } else {
            seen = entry.is_fifo() ? "(fifo)" : "(other)";
        }
    }
    return files;
}

std::vector<int> Children(const std::string& process) {
    std::vector<int> children;
    std::error_code gone;
    for (const auto& task :
         std::filesystem::directory_iterator("/proc/" + process + "/task", gone)) {
        std::ifstream list(task.path() / "children");
        for (int child = 0; list >> child;) {
            children.push_back(child);
        }
    }
    return children;
}

} // namespace folioxa::testing
