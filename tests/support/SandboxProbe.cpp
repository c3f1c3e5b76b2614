#include "support/SandboxProbe.h"

#include "base/FileDescriptor.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

namespace folioxa::testing {
namespace {

bool CreateFileIn(const std::string& folder) {
    const std::string path = folder + "/probe-" + std::to_string(getpid());
    const FileDescriptor file(open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (!file) {
        return false;
    }
    unlink(path.c_str());
    return true;
}

bool ReadFile(const std::string& path) {
    const FileDescriptor file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    char byte = 0;
    return file && read(file.Get(), &byte, 1) == 1;
}

bool Connect(int family, const sockaddr* address, socklen_t size) {
    const FileDescriptor socket(::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    return socket && connect(socket.Get(), address, size) == 0;
}

bool ConnectTcp(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return Connect(AF_INET, reinterpret_cast<const sockaddr*>(&address), sizeof address);
}

bool ConnectUnix(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        return false;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return Connect(AF_UNIX, reinterpret_cast<const sockaddr*>(&address), sizeof address);
}

int ExitStatus(pid_t child) {
    int status = 0;
    return waitpid(child, &status, 0) == child && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool Fork() {
    const pid_t child = fork();
    if (child == 0) {
        _exit(0);
    }
    return child > 0 && ExitStatus(child) == 0;
}

bool RunShell() {
    const pid_t child = fork();
    if (child == 0) {
        execl("/bin/sh", "sh", "-c", "exit 42", static_cast<char*>(nullptr));
        _exit(1);
    }
    if (child > 0) {
        return ExitStatus(child) == 42;
    }
    // Without fork, exec in place tells whether /bin/sh could run: an argument list the kernel
    // cannot read fails the exec after the program was admitted (EFAULT), before anything ran.
    char* const unreadable[] = {reinterpret_cast<char*>(1), nullptr};
    execv("/bin/sh", unreadable);
    return errno == EFAULT;
}

bool WriteOwnMemory() {
    const FileDescriptor memory(open("/proc/self/mem", O_RDWR | O_CLOEXEC));
    static volatile char target = 'x';
    const char same = target;
    return memory && pwrite(memory.Get(), &same, 1, reinterpret_cast<off_t>(&target)) == 1;
}

// Each sets the parent's priority to the one it has: no harm done where it is allowed.
bool ReniceParent() {
    errno = 0;
    const int nice = getpriority(PRIO_PROCESS, static_cast<id_t>(getppid()));
    return errno == 0 && setpriority(PRIO_PROCESS, static_cast<id_t>(getppid()), nice) == 0;
}

bool IoprioParent() {
    constexpr long kWhoProcess = 1;
    const long priority = syscall(SYS_ioprio_get, kWhoProcess, getppid());
    return priority >= 0 && syscall(SYS_ioprio_set, kWhoProcess, getppid(), priority) == 0;
}

bool Ioctl() {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        return false;
    }
    const FileDescriptor readEnd(ends[0]), writeEnd(ends[1]);
    int queued = -1;
    return ioctl(readEnd.Get(), FIONREAD, &queued) == 0 && queued == 0;
}

// A memory file needs no path, so only the filter stands between it and the call.
bool CutMemoryFile(bool punch) {
    const FileDescriptor file(memfd_create("probe", MFD_CLOEXEC));
    if (!file) {
        return false;
    }
    return punch ? fallocate(file.Get(), FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, 0, 4096) == 0
                 : ftruncate(file.Get(), 0) == 0;
}

bool StartThread() {
    pthread_t thread;
    if (pthread_create(
            &thread, nullptr, [](void*) -> void* { return nullptr; }, nullptr) != 0) {
        return false;
    }
    pthread_join(thread, nullptr);
    return true;
}

} // namespace

unsigned RunSandboxProbes(const SandboxProbeTargets& targets) {
    unsigned succeeded = 0;
    const auto attempt = [&succeeded](SandboxProbe probe, bool worked) {
        succeeded |= worked ? probe : 0U;
    };
    attempt(kCreateInFolder, CreateFileIn(targets.Folder));
    attempt(kCreateInTmp, CreateFileIn("/tmp"));
    attempt(kReadUserFile, ReadFile(targets.UserFile));
    attempt(kConnectTcp, ConnectTcp(targets.TcpPort));
    attempt(kConnectUnix, ConnectUnix(targets.UnixSocket));
    attempt(kFork, Fork());
    attempt(kRunShell, RunShell());
    // Signal 0 asks the kernel for the right to signal without disturbing the parent.
    attempt(kSignalParent, kill(getppid(), 0) == 0);
    attempt(kWriteOwnMemory, WriteOwnMemory());
    attempt(kReniceParent, ReniceParent());
    attempt(kIoprioParent, IoprioParent());
    // Into its own group, before setsid, which a group leader may not call.
    attempt(kProcessGroup, setpgid(0, getpgrp()) == 0);
    attempt(kNewSession, setsid() >= 0);
    attempt(kDeathSignal, prctl(PR_SET_PDEATHSIG, SIGKILL) == 0);
    attempt(kIoctl, Ioctl());
    attempt(kTruncate, CutMemoryFile(/*punch=*/false));
    attempt(kFallocate, CutMemoryFile(/*punch=*/true));
    attempt(kThread, StartThread());
    return succeeded;
}

std::string SandboxProbeNames(unsigned bits) {
    static const char* const kNames[] = {
        "create-in-folder", "create-in-tmp", "read-user-file", "connect-tcp",      "connect-unix",
        "run-shell",        "fork",          "signal-parent",  "write-own-memory", "renice-parent",
        "ioprio-parent",    "process-group", "new-session",    "death-signal",     "ioctl",
        "truncate",         "fallocate",     "thread"};
    std::string names;
    for (unsigned i = 0; i < std::size(kNames); ++i) {
        if ((bits & (1U << i)) != 0) {
            names += (names.empty() ? "" : ", ") + std::string(kNames[i]);
        }
    }
    return names.empty() ? "none" : names;
}

void DrawSandboxProbes(unsigned bits, const FillSquare& fill) {
    for (int i = 0; (1U << i) <= kAllSandboxProbes; ++i) {
        fill(i * kSandboxProbeSquare, 0, kSandboxProbeSquare,
             (bits & (1U << i)) != 0 ? 0x000000U : 0xFFFFFFU);
    }
}

unsigned ReadSandboxProbes(const ReadPixel& pixel) {
    unsigned bits = 0;
    for (int i = 0; (1U << i) <= kAllSandboxProbes; ++i) {
        const int middle = kSandboxProbeSquare / 2;
        bits |= pixel(i * kSandboxProbeSquare + middle, middle) == 0 ? 1U << i : 0U;
    }
    return bits;
}

std::string SandboxProbeWords(const SandboxProbeTargets& targets) {
    return targets.Folder + " " + targets.UserFile + " " + std::to_string(targets.TcpPort) + " " +
           targets.UnixSocket;
}

SandboxProbeTargets SandboxProbeTargetsFrom(const std::vector<std::string>& words) {
    return {words.at(0), words.at(1), std::stoi(words.at(2)), words.at(3)};
}

} // namespace folioxa::testing
