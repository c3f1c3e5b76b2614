#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace folioxa::testing {

// A fresh folder under the system's temporary folder, removed with everything in it at the end.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& Path() const { return FPath; }
    // Path() / name as a string.
    std::string File(const std::string& name) const;

private:
    std::filesystem::path FPath;
};

std::string ReadFile(const std::filesystem::path& path);
void WriteFile(const std::filesystem::path& path, const std::string& bytes);

// Every entry of `folder`, hidden ones included, by name: a regular file as its bytes, a link as
// "-> target", anything else as "(device)", "(fifo)" or "(other)".
std::map<std::string, std::string> FilesIn(const std::filesystem::path& folder);

// Whether `process` ("self" or a process id) has the PDF engine (any libpdfium.so, the tests'
// own included) in its address space now; nothing while it has no file mapped yet (a process
// that is still being started).
std::optional<bool> HasEngineMapped(const std::string& process = "self");

// The processes that `process` ("self" or a process id) has started (or inherited as their
// subreaper) and not waited for.
std::vector<int> Children(const std::string& process = "self");

} // namespace folioxa::testing
