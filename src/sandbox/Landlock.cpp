#include "base/FileDescriptor.h"
#include "sandbox/Layers.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <filesystem>

namespace folioxa::sandbox {
namespace {

// The kernel's interface, declared here: the system's headers may predate the newer ABIs.
struct RulesetAttr {
    std::uint64_t HandledAccessFs;
    std::uint64_t HandledAccessNet; // from ABI 4
    std::uint64_t Scoped;           // from ABI 6
};
struct __attribute__((packed)) PathBeneathAttr {
    std::uint64_t AllowedAccess;
    std::int32_t ParentFd;
};

constexpr unsigned kCreateRulesetVersion = 1U << 0;
constexpr int kRulePathBeneath = 1;

constexpr std::uint64_t kReadFile = 1ULL << 2;
constexpr std::uint64_t kReadDir = 1ULL << 3;
constexpr std::uint64_t kAbi1Fs = (1ULL << 13) - 1;      // execute ... make symlink
constexpr std::uint64_t kRefer = 1ULL << 13;             // ABI 2
constexpr std::uint64_t kTruncate = 1ULL << 14;          // ABI 3
constexpr std::uint64_t kIoctlDev = 1ULL << 15;          // ABI 5
constexpr std::uint64_t kTcpBindConnect = 3;             // ABI 4
constexpr std::uint64_t kScopeAbstractUnixAndSignal = 3; // ABI 6

int Errno(long result) {
    return result < 0 ? errno : 0;
}

namespace fs = std::filesystem;

bool Beneath(const fs::path& path, const std::vector<fs::path>& folders) {
    return std::any_of(folders.begin(), folders.end(), [&path](const fs::path& folder) {
        return std::mismatch(folder.begin(), folder.end(), path.begin(), path.end()).first ==
               folder.end();
    });
}

// Landlock judges the file a symbolic link leads to, not the link: the paths (resolved), and the
// targets of links beneath them that lie elsewhere (font packages link into other folders).
std::vector<fs::path> WithLinkTargets(const std::vector<std::string>& paths) {
    constexpr std::size_t kMostPaths = 256; // a bound on the walk, whatever the links do
    std::vector<fs::path> pending(paths.rbegin(), paths.rend());
    std::vector<fs::path> resolved;
    while (!pending.empty() && resolved.size() < kMostPaths) {
        std::error_code error;
        const fs::path path = fs::canonical(pending.back(), error);
        pending.pop_back();
        if (error || Beneath(path, resolved)) {
            continue;
        }
        resolved.push_back(path);
        for (fs::recursive_directory_iterator
                 it(path, fs::directory_options::skip_permission_denied, error),
             end;
             !error && it != end; it.increment(error)) {
            if (it->is_symlink(error)) {
                pending.push_back(it->path());
            }
        }
    }
    return resolved;
}

} // namespace

int RestrictFileSystem(const std::vector<std::string>& readable, int& abi) {
    abi = 0;
    const long version = syscall(SYS_landlock_create_ruleset, nullptr, 0, kCreateRulesetVersion);
    if (version < 1) {
        return version < 0 ? errno : ENOSYS;
    }
    RulesetAttr attr{kAbi1Fs, 0, 0};
    std::size_t size = sizeof attr.HandledAccessFs;
    if (version >= 2) {
        attr.HandledAccessFs |= kRefer;
    }
    if (version >= 3) {
        attr.HandledAccessFs |= kTruncate;
    }
    if (version >= 4) {
        attr.HandledAccessNet = kTcpBindConnect;
        size = offsetof(RulesetAttr, Scoped);
    }
    if (version >= 5) {
        attr.HandledAccessFs |= kIoctlDev;
    }
    if (version >= 6) {
        attr.Scoped = kScopeAbstractUnixAndSignal;
        size = sizeof attr;
    }
    const FileDescriptor ruleset(
        static_cast<int>(syscall(SYS_landlock_create_ruleset, &attr, size, 0U)));
    if (!ruleset) {
        return errno;
    }
    for (const fs::path& path : WithLinkTargets(readable)) {
        const FileDescriptor parent(open(path.c_str(), O_PATH | O_CLOEXEC));
        struct stat status {};
        if (!parent || fstat(parent.Get(), &status) != 0) {
            continue;
        }
        // A rule on a file may only carry the rights of a file.
        PathBeneathAttr rule{S_ISDIR(status.st_mode) ? kReadFile | kReadDir : kReadFile,
                             parent.Get()};
        if (const int error =
                Errno(syscall(SYS_landlock_add_rule, ruleset.Get(), kRulePathBeneath, &rule, 0U))) {
            return error;
        }
    }
    if (const int error = Errno(syscall(SYS_landlock_restrict_self, ruleset.Get(), 0U))) {
        return error;
    }
    abi = static_cast<int>(version);
    return 0;
}

} // namespace folioxa::sandbox
