#include "pool/WorkerProcess.h"

#include "base/Error.h"
#include "base/Sanitizers.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>

extern char** environ;

namespace folioxa {

namespace {

// What a worker may inherit from its parent's environment, nothing else.
constexpr std::array kLibraryVariables = {"LD_LIBRARY_PATH"};
constexpr std::array kSanitizerVariables = {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"};

[[noreturn]] void CannotStart() {
    throw Error(std::string("Cannot start a page worker: ") + std::strerror(errno));
}

std::vector<char*> Pointers(std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (std::string& text : texts) {
        pointers.push_back(text.data());
    }
    pointers.push_back(nullptr);
    return pointers;
}

// In the child between fork and exec: async-signal-safe calls only, nothing allocated.
[[noreturn]] void BecomeWorker(pid_t parent, const std::array<int, 4>& descriptors,
                               const char* path, char* const* argv, char* const* envp) {
    // Ends with the thread that started it, however that ends; set before the parent could have
    // gone unnoticed.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) {
        _exit(127);
    }
    // No controlling terminal to read, change or signal, and a process group of its own, so
    // Ctrl-C reaches the parent, which ends the run.
    setsid();
    // Above the four targets first, so that no source is overwritten by another's dup2 (a parent
    // started without standard descriptors has its own at 0 to 2).
    std::array<int, 4> high{};
    for (std::size_t i = 0; i < descriptors.size(); ++i) {
        high[i] = fcntl(descriptors[i], F_DUPFD, static_cast<int>(descriptors.size()));
        if (high[i] < 0) {
            _exit(127);
        }
    }
    for (std::size_t i = 0; i < high.size(); ++i) {
        if (dup2(high[i], static_cast<int>(i)) < 0) {
            _exit(127);
        }
    }
    close_range(static_cast<unsigned>(descriptors.size()), ~0U, 0);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execve(path, argv, envp);
    _exit(127);
}

} // namespace

std::vector<std::string> WorkerEnvironment() {
    std::vector<std::string> environment;
    const auto pass = [&environment](const char* name) {
        if (const char* value = std::getenv(name)) {
            environment.push_back(std::string(name) + "=" + value);
        }
    };
    for (const char* name : kLibraryVariables) {
        pass(name);
    }
    if constexpr (kSanitizerBuild) {
        for (const char* name : kSanitizerVariables) {
            pass(name);
        }
    }
    return environment;
}

WorkerProcess StartWorker(const WorkerLaunch& launch) {
    // Everything the child uses is made before fork: after it, only async-signal-safe calls.
    const FileDescriptor null(open("/dev/null", O_RDWR | O_CLOEXEC));
    int ends[2];
    if (!null || pipe2(ends, O_CLOEXEC) != 0) {
        CannotStart();
    }
    FileDescriptor output(ends[0]);
    const FileDescriptor errorEnd(ends[1]);
    std::vector<std::string> arguments = {"folioxa-worker"};
    arguments.insert(arguments.end(), launch.Arguments.begin(), launch.Arguments.end());
#ifdef FOLIOXA_TEST_SWITCHES
    // Lets the tests show that what the sandbox stops works without it; never compiled into a
    // build without tests, such as the package.
    if (const char* off = std::getenv("FOLIOXA_TEST_UNCONFINED"); off != nullptr && *off == '1') {
        arguments.emplace_back(kUnconfinedOption);
    }
#endif
    std::vector<std::string> environment = WorkerEnvironment();
    const std::vector<char*> argv = Pointers(arguments);
    const std::vector<char*> envp = Pointers(environment);
    const std::array<int, 4> descriptors = {null.Get(), null.Get(), errorEnd.Get(), launch.Socket};
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid == 0) {
        BecomeWorker(parent, descriptors, launch.Path.c_str(), argv.data(), envp.data());
    }
    if (pid < 0) {
        CannotStart();
    }
    WorkerProcess worker;
    worker.Pid = pid;
    worker.PidFd.Reset(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
    fcntl(output.Get(), F_SETFL, fcntl(output.Get(), F_GETFL) | O_NONBLOCK);
    worker.Output = std::move(output);
    return worker;
}

} // namespace folioxa
