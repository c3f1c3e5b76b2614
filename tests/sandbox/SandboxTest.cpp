// Confine in a forked child of the test: what a compromised engine would try fails, what drawing
// needs keeps working.
#include "sandbox/Sandbox.h"

#include "support/SandboxProbe.h"
#include "support/SandboxTargets.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <functional>

namespace folioxa {
namespace {

using testing::SandboxProbeNames;

// `body` run in a child process; what it returns, or `failed` when the child did not say.
template <typename Result>
Result InChild(const std::function<Result()>& body, Result failed) {
    int ends[2];
    if (pipe(ends) != 0) {
        return failed;
    }
    const FileDescriptor readEnd(ends[0]);
    FileDescriptor writeEnd(ends[1]);
    const pid_t child = fork();
    if (child == 0) {
        const Result result = body();
        _exit(write(writeEnd.Get(), &result, sizeof result) == sizeof result ? 0 : 1);
    }
    writeEnd.Reset();
    Result result = failed;
    if (child < 0 || read(readEnd.Get(), &result, sizeof result) != sizeof result) {
        result = failed;
    }
    waitpid(child, nullptr, 0);
    return result;
}

// The kernel's Landlock ABI, asked directly; 0 without Landlock.
long KernelLandlockAbi() {
    const long abi = syscall(SYS_landlock_create_ruleset, nullptr, 0, 1U);
    return abi > 0 ? abi : 0;
}

TEST(Confine, EveryProbeFailsConfinedAndSucceedsWithout) {
    if (KernelLandlockAbi() == 0) {
        GTEST_SKIP() << "this kernel has no Landlock";
    }
    const testing::SandboxTargets targets;
    for (const bool confine : {false, true}) {
        const unsigned succeeded = InChild<unsigned>(
            [&] {
                if (confine) {
                    Confine(SandboxOptions{});
                }
                return testing::RunSandboxProbes(targets.Get());
            },
            ~0U);
        EXPECT_EQ(SandboxProbeNames(succeeded),
                  SandboxProbeNames(confine ? 0 : testing::kAllSandboxProbes))
            << (confine ? "confined" : "unconfined");
    }
}

volatile std::sig_atomic_t gSignalled = 0;

TEST(Confine, KeepsWhatDrawingNeeds) {
    const testing::TempDir dir;
    std::filesystem::create_directories(dir.Path() / "fonts/truetype");
    testing::WriteFile(dir.Path() / "fonts/truetype/a.ttf", "font");
    testing::WriteFile(dir.File("other.txt"), "for the engine");
    testing::WriteFile(dir.File("fontsX"),
                       "beside a readable folder, with a name that starts alike");
    // Font packages link into folders of their own.
    std::filesystem::create_directories(dir.Path() / "package/family");
    testing::WriteFile(dir.Path() / "package/linked.ttf", "font");
    testing::WriteFile(dir.Path() / "package/unlinked.ttf", "font");
    testing::WriteFile(dir.Path() / "package/family/b.ttf", "font");
    std::filesystem::create_symlink(dir.Path() / "package/linked.ttf",
                                    dir.Path() / "fonts/truetype/linked.ttf");
    std::filesystem::create_directory_symlink(dir.Path() / "package/family",
                                              dir.Path() / "fonts/family");
    const auto readable = [](const std::filesystem::path& path) {
        const FileDescriptor file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
        char byte = 0;
        return file && read(file.Get(), &byte, 1) == 1;
    };
    const std::vector<std::pair<const char*, std::function<bool(const SandboxReport&)>>> checks = {
        {"every layer applied",
         [](const SandboxReport& report) {
             return report.NoNewPrivileges && report.ResourceLimits &&
                    report.LandlockAbi == KernelLandlockAbi() && report.SeccompFilter;
         }},
        {"a file beneath a readable folder is read",
         [&](const SandboxReport&) { return readable(dir.Path() / "fonts/truetype/a.ttf"); }},
        {"a readable file is read",
         [&](const SandboxReport&) { return readable(dir.File("other.txt")); }},
        {"files linked from a readable folder are read",
         [&](const SandboxReport&) {
             return readable(dir.Path() / "fonts/truetype/linked.ttf") &&
                    readable(dir.Path() / "fonts/family/b.ttf");
         }},
        {"files beside them stay closed",
         [&](const SandboxReport&) {
             return !readable(dir.File("fontsX")) && !readable(dir.Path() / "package/unlinked.ttf");
         }},
        {"the process signals itself",
         [](const SandboxReport&) {
             std::signal(SIGUSR1, [](int) { gSignalled = 1; });
             return raise(SIGUSR1) == 0 && kill(getpid(), SIGUSR1) == 0 && gSignalled == 1;
         }},
        {"the parent's limits stay out of reach",
         [](const SandboxReport&) {
             rlimit old{};
             return prlimit(getppid(), RLIMIT_CORE, nullptr, &old) != 0 && errno == EPERM;
         }},
        {"no core, no file size, few descriptors",
         [](const SandboxReport&) {
             rlimit core{}, size{}, files{};
             return getrlimit(RLIMIT_CORE, &core) == 0 && core.rlim_max == 0 &&
                    getrlimit(RLIMIT_FSIZE, &size) == 0 && size.rlim_max == 0 &&
                    getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_max == 64;
         }},
    };
    if (KernelLandlockAbi() == 0) {
        GTEST_SKIP() << "this kernel has no Landlock";
    }
    const unsigned passed = InChild<unsigned>(
        [&] {
            SandboxOptions options;
            options.ReadablePaths = {dir.File("fonts"), dir.File("other.txt"), dir.File("none")};
            const SandboxReport report = Confine(options);
            unsigned bits = 0;
            for (std::size_t i = 0; i < checks.size(); ++i) {
                bits |= checks[i].second(report) ? 1U << i : 0U;
            }
            return bits;
        },
        0U);
    for (std::size_t i = 0; i < checks.size(); ++i) {
        EXPECT_NE(passed & (1U << i), 0U) << checks[i].first;
    }
}

TEST(DescribeSandbox, SaysWhatHoldsAndWhatIsMissing) {
    const struct {
        SandboxReport Report;
        const char* Line;
    } cases[] = {
        {{true, true, 7, 0, true, 0}, "sandbox: Landlock ABI 7, seccomp filter, resource limits"},
        {{true, true, 0, EOPNOTSUPP, true, 0},
         "sandbox: no Landlock (Operation not supported), seccomp filter, resource limits"},
        {{true, false, 0, ENOSYS, false, EINVAL},
         "sandbox: no Landlock (Function not implemented), no seccomp (Invalid argument), "
         "no resource limits"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(DescribeSandbox(c.Report), c.Line);
    }
}

} // namespace
} // namespace folioxa
