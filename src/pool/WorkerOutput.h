#pragma once

#include "base/FileDescriptor.h"

#include <unistd.h>

#include <cstddef>
#include <string>

namespace folioxa {

// A worker's standard error, passed on to this process's as lines "folioxa-worker: TEXT" with
// every control character escaped (a sanitizer's report stays readable; an engine's escape
// sequences never reach the terminal raw). Each line is cut to kLineBytes, and the whole output to
// kOutputBytes, past which one line says so and the pipe is closed: the worker's further writes
// fail, and the parent spends nothing more on them.
class TWorkerOutput {
public:
    static constexpr std::size_t kLineBytes = 500;
    static constexpr std::size_t kOutputBytes = 16 * 1024;

    // Reads `pipe` (non-blocking); writes the lines to `sink`, which it does not own.
    explicit TWorkerOutput(FileDescriptor pipe, int sink = STDERR_FILENO);

    // The pipe, for the owner's epoll; -1 once closed.
    int Fd() const { return FPipe.Get(); }
    // Reads what the pipe holds now, at most a bounded amount, and passes on the whole lines.
    // Never blocks. False once the pipe is closed (its end reached, or the bound): stop watching.
    bool Read();
    // The worker has ended: reads what it left (up to the bound), passes on a last unfinished
    // line and closes the pipe.
    void Finish();

private:
    // Reads up to `limit` bytes, passing on each line as it ends; at the pipe's end the last
    // unfinished line too.
    void Take(std::size_t limit);
    // Passes on the unfinished line (closing the pipe when that reaches the bound).
    void Emit();

    FileDescriptor FPipe;
    int FSink;
    std::string FLine;     // the unfinished line, at most kLineBytes
    bool FCut = false;     // the unfinished line lost its end: skip to the next line end
    std::size_t FSent = 0; // bytes of output passed on
};

} // namespace folioxa
