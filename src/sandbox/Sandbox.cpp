#include "sandbox/Sandbox.h"

#include "base/FileDescriptor.h"
#include "sandbox/Layers.h"

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>

namespace folioxa {
namespace {

bool Limit(int resource, rlim_t value) {
    const rlimit limit{value, value};
    return setrlimit(resource, &limit) == 0;
}

bool LimitResources(std::uint64_t maxOpenFiles) {
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    const rlim_t openFiles = std::min<rlim_t>(files.rlim_max, maxOpenFiles);
    // A write past the size limit then fails with EFBIG instead of killing the process.
    std::signal(SIGXFSZ, SIG_IGN);
    return Limit(RLIMIT_CORE, 0) && Limit(RLIMIT_FSIZE, 0) && Limit(RLIMIT_NOFILE, openFiles);
}

std::string Missing(const char* layer, int error) {
    return std::string("no ") + layer + " (" + std::strerror(error) + ")";
}

} // namespace

SandboxReport Confine(const SandboxOptions& options) {
    // The time zone is read on first use; once confined, /etc/localtime can no longer be.
    tzset();
    SandboxReport report;
    report.NoNewPrivileges = prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0;
    report.ResourceLimits = LimitResources(options.MaxOpenFiles);
    report.LandlockError = sandbox::RestrictFileSystem(options.ReadablePaths, report.LandlockAbi);
    report.SeccompError = sandbox::InstallSyscallFilter();
    report.SeccompFilter = report.SeccompError == 0;
    return report;
}

std::string DescribeSandbox(const SandboxReport& report) {
    std::string line = "sandbox: ";
    line += report.LandlockAbi > 0 ? "Landlock ABI " + std::to_string(report.LandlockAbi)
                                   : Missing("Landlock", report.LandlockError);
    line +=
        report.SeccompFilter ? ", seccomp filter" : ", " + Missing("seccomp", report.SeccompError);
    line += report.ResourceLimits ? ", resource limits" : ", no resource limits";
    return line;
}

SandboxReport ProbeSandbox() {
    SandboxReport report;
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        report.LandlockError = report.SeccompError = errno;
        return report;
    }
    FileDescriptor readEnd(ends[0]);
    FileDescriptor writeEnd(ends[1]);
    const pid_t child = fork();
    if (child == 0) {
        const SandboxReport confined = Confine(SandboxOptions{});
        _exit(write(writeEnd.Get(), &confined, sizeof confined) == sizeof confined ? 0 : 1);
    }
    if (child < 0) {
        report.LandlockError = report.SeccompError = errno;
        return report;
    }
    writeEnd.Reset();
    SandboxReport confined;
    const bool complete = read(readEnd.Get(), &confined, sizeof confined) == sizeof confined;
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (!complete) {
        report.LandlockError = report.SeccompError = ECHILD;
        return report;
    }
    return confined;
}

} // namespace folioxa
