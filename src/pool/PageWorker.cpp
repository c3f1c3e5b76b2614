#include "pool/PageWorker.h"

#include "base/Error.h"
#include "pool/MemoryLimit.h"
#include "pool/WorkerProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstring>

namespace folioxa {

namespace {

std::string EndText(int status) {
    if (WIFSIGNALED(status)) {
        const char* name = strsignal(WTERMSIG(status));
        return name != nullptr ? name : "signal " + std::to_string(WTERMSIG(status));
    }
    return "exit code " + std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1);
}

// The worker's end of a new socket pair in `theirs`; the parent's returned.
FileDescriptor SocketPair(FileDescriptor& theirs) {
    int sockets[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sockets) != 0) {
        throw Error(std::string("Cannot start a page worker: ") + std::strerror(errno));
    }
    theirs.Reset(sockets[1]);
    return FileDescriptor(sockets[0]);
}

WorkerProcess Start(const std::string& path, std::uint64_t memoryLimit, std::uint64_t engineMemory,
                    int socket) {
    WorkerLaunch launch;
    launch.Path = path;
    if (memoryLimit > 0) {
        launch.Arguments.push_back(std::string(kMemoryLimitOption) + std::to_string(memoryLimit));
        if (engineMemory > 0) {
            launch.Arguments.push_back(std::string(kEngineMemoryOption) +
                                       std::to_string(engineMemory));
        }
    }
    launch.Socket = socket;
    return StartWorker(launch);
}

} // namespace

TPageWorker::TPageWorker(const std::string& path, std::uint64_t memoryLimit,
                         std::uint64_t engineMemory)
    : FMemoryLimit(memoryLimit), FEngineMemory(engineMemory),
      FLink(FileDescriptor(), WireSide::Parent), FOutput(FileDescriptor()) {
    FileDescriptor theirs;
    FileDescriptor ours = SocketPair(theirs);
    WorkerProcess process = Start(path, memoryLimit, engineMemory, theirs.Get());
    FPid = process.Pid;
    FPidFd = std::move(process.PidFd);
    FOutput = TWorkerOutput(std::move(process.Output));
    fcntl(ours.Get(), F_SETFL, fcntl(ours.Get(), F_GETFL) | O_NONBLOCK);
    FLink = Channel(std::move(ours), WireSide::Parent);
}

TPageWorker::~TPageWorker() {
    End();
}

std::string TPageWorker::End() {
    if (FPid < 0) {
        return FEnd;
    }
    kill(FPid, SIGKILL);
    int status = 0;
    pid_t done;
    while ((done = waitpid(FPid, &status, 0)) < 0 && errno == EINTR) {
    }
    FPid = -1;
    FEnd = done < 0 ? "lost" : EndText(status);
    FExitCode = done >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    // All it wrote is in the pipe now: a sanitizer's report of its end is passed on whole.
    FOutput.Finish();
    return FEnd;
}

} // namespace folioxa
