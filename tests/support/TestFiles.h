#pragma once

#include <filesystem>
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
// The processes this process has started (or inherited as their subreaper) and not waited for.
std::vector<int> ChildProcesses();
void WriteFile(const std::filesystem::path& path, const std::string& bytes);

} // namespace folioxa::testing
