#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace folioxa {

// What a process gives up when it confines itself.
struct SandboxOptions {
    // Files and folders (with everything beneath them) that stay readable; nothing else is.
    // Paths that do not exist are skipped.
    std::vector<std::string> ReadablePaths;
    // Descriptors the process may hold at once from then on.
    std::uint64_t MaxOpenFiles = 64;
};

// What Confine could apply on this machine; the errors are errno values, 0 when it held.
struct SandboxReport {
    bool NoNewPrivileges = false;
    bool ResourceLimits = false;
    int LandlockAbi = 0; // the Landlock ABI whose rules hold; 0: none
    int LandlockError = 0;
    bool SeccompFilter = false;
    int SeccompError = 0;
};

// Confines the calling process for good, with no privilege needed: no new privileges; no core
// dumps, no file written past 0 bytes, at most MaxOpenFiles descriptors; Landlock (nothing
// created, written, renamed or removed anywhere, reading only the readable paths, no TCP, no
// signal or abstract socket beyond the process); a seccomp filter (no socket, exec, ptrace,
// process or thread creation, namespace or mount calls, no signal to another process, no
// priority but its own, no session or process group change, no ioctl, no truncation or
// fallocate, no process control but naming: they fail with EPERM). What the kernel lacks is left
// out and said in the report. Descriptors already open keep working. Call it while the process
// has one thread: it keeps only that one.
SandboxReport Confine(const SandboxOptions& options);

// One line for --version: "sandbox: Landlock ABI 7, seccomp filter, resource limits", with what
// is missing said as such ("no Landlock (Function not implemented)").
std::string DescribeSandbox(const SandboxReport& report);

// What Confine achieves on this machine, learnt by confining a short-lived child process.
SandboxReport ProbeSandbox();

} // namespace folioxa
