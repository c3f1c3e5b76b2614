#pragma once

#include "base/FileDescriptor.h"
#include "pool/Wire.h"
#include "pool/WorkerOutput.h"

#include <sys/types.h>

#include <cstdint>
#include <string>

namespace folioxa {

// One worker process as its parent sees it: the process, a descriptor that becomes readable when
// it ends, the parent's end of its socket and its standard error passed on. It ends with this
// object (killed and waited for), and with the parent process, whichever way that ends.
class TPageWorker {
public:
    // Starts `path` (StartWorker) with `memoryLimit` bytes of address space (0: none), of which
    // the engine may take `engineMemory` for a page beside its pixels (0: all of it; see
    // PageMemoryLimit). Throws Error when it cannot be started.
    TPageWorker(const std::string& path, std::uint64_t memoryLimit, std::uint64_t engineMemory = 0);
    ~TPageWorker();
    TPageWorker(const TPageWorker&) = delete;
    TPageWorker& operator=(const TPageWorker&) = delete;

    pid_t Pid() const { return FPid; }
    // Readable once the process has ended; -1 where the system gives no such descriptor.
    int EndFd() const { return FPidFd.Get(); }
    Channel& Link() { return FLink; }
    // Its standard error; watch Fd() while it is open and call Read.
    TWorkerOutput& Output() { return FOutput; }
    std::uint64_t MemoryLimit() const { return FMemoryLimit; }
    std::uint64_t EngineMemory() const { return FEngineMemory; }

    // Ends the process now (it may have ended already), waits for it and passes on what it left
    // on its standard error; how it ended, as a reason in a message ("Segmentation fault",
    // "exit code 1"). Only the first call waits.
    std::string End();
    // After End: whether it ended as glibc ends a process refused memory it cannot do without
    // (thread-local data), by exit code 127 under a memory cap, which only the loader's fatal
    // errors give once the worker runs.
    bool EndedOutOfMemory() const { return FMemoryLimit > 0 && FExitCode == 127; }

private:
    pid_t FPid = -1;
    FileDescriptor FPidFd;
    std::uint64_t FMemoryLimit = 0;
    std::uint64_t FEngineMemory = 0;
    int FExitCode = -1; // once waited for; -1 when it ended by a signal
    Channel FLink;
    TWorkerOutput FOutput;
    std::string FEnd; // how it ended, once waited for
};

} // namespace folioxa
