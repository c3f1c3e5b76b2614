#pragma once

#include "base/FileDescriptor.h"

#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

namespace folioxa {

// The descriptor a worker finds its socket at; it holds no other but its standard three.
inline constexpr int kWorkerSocket = 3;

// The worker's argument, accepted only by builds with tests, that leaves it unconfined. Such a
// build's parent passes it when its own environment holds FOLIOXA_TEST_UNCONFINED=1.
inline constexpr std::string_view kUnconfinedOption = "--test-unconfined";

// How to start one worker.
struct WorkerLaunch {
    std::string Path;                   // the worker executable
    std::vector<std::string> Arguments; // after its name
    int Socket = -1;                    // the worker's end of its socket; the caller keeps it
};

// A worker that was started. The caller waits for it (waitpid) once it ended or was ended.
struct WorkerProcess {
    pid_t Pid = -1;
    FileDescriptor PidFd;  // readable once it has ended; invalid where the kernel has no pidfd
    FileDescriptor Output; // the read end of its standard error, non-blocking
};

// Starts a hermetic worker: standard input and output /dev/null, standard error a pipe whose
// read end the result holds, the socket at kWorkerSocket and no other descriptor, an environment
// of WorkerEnvironment() only, a session of its own (no controlling terminal; Ctrl-C reaches
// the parent alone), killed when the thread that started it ends. Throws Error when it cannot be
// started; a worker that cannot run its executable ends with exit code 127.
WorkerProcess StartWorker(const WorkerLaunch& launch);

// The whole environment a worker gets, as "NAME=value": LD_LIBRARY_PATH when this process has
// it (another libpdfium.so is chosen that way), and in sanitizer builds the sanitizers' options.
std::vector<std::string> WorkerEnvironment();

} // namespace folioxa
