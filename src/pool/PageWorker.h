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
    // Starts `path` (StartWorker) with `memoryLimit` bytes of address space (0: none). Throws
    // Error when it cannot be started.
    TPageWorker(const std::string& path, std::uint64_t memoryLimit);
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

    // Ends the process now (it may have ended already), waits for it and passes on what it left
    // on its standard error; how it ended, as a reason in a message ("Segmentation fault",
    // "exit code 1"). Only the first call waits.
    std::string End();

private:
    pid_t FPid = -1;
    FileDescriptor FPidFd;
    std::uint64_t FMemoryLimit = 0;
    Channel FLink;
    TWorkerOutput FOutput;
    std::string FEnd; // how it ended, once waited for
};

} // namespace folioxa
