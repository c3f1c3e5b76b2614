#pragma once

// What a compromised page worker would try, each attempt one bit of the result. The tests run the
// probes in a confined process (a forked child, or the real worker through the fake engine's
// "probe-on" mode) and expect every bit clear, then unconfined and expect every bit set, so the
// probes themselves are shown to work.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace folioxa::testing {

enum SandboxProbe : unsigned {
    kCreateInFolder = 1U << 0, // a new file in Targets.Folder
    kCreateInTmp = 1U << 1,    // a new file in /tmp
    kReadUserFile = 1U << 2,   // Targets.UserFile opened and read
    kConnectTcp = 1U << 3,     // a TCP connection to 127.0.0.1:Targets.TcpPort
    kConnectUnix = 1U << 4,    // a connection to the Unix socket at Targets.UnixSocket
    kRunShell = 1U << 5,       // /bin/sh run
    kFork = 1U << 6,           // a child process made
    kSignalParent = 1U << 7,   // the parent process may be signalled
    kWriteOwnMemory = 1U << 8, // a byte written through /proc/self/mem
    kReniceParent = 1U << 9,   // the parent's nice set (to what it is)
    kIoprioParent = 1U << 10,  // the parent's I/O priority set (to what it is)
    kProcessGroup = 1U << 11,  // setpgid (to its own group)
    kNewSession = 1U << 12,    // setsid
    kDeathSignal = 1U << 13,   // prctl(PR_SET_PDEATHSIG) (to SIGKILL, as a worker has it)
    kIoctl = 1U << 14,         // ioctl(FIONREAD, which is TIOCINQ) on a pipe
    kTruncate = 1U << 15,      // ftruncate of an empty memory file to 0
    kFallocate = 1U << 16,     // a hole punched into a memory file
    kThread = 1U << 17,        // a thread started
};
constexpr unsigned kAllSandboxProbes = (1U << 18) - 1;
// A page worker leads a session of its own, which the kernel already keeps from both calls.
constexpr unsigned kSessionProbes = kProcessGroup | kNewSession;

struct SandboxProbeTargets {
    std::string Folder;     // a folder the user may write to
    std::string UserFile;   // a readable file that is not the document
    int TcpPort = 0;        // a listener on 127.0.0.1
    std::string UnixSocket; // a listening Unix socket's path
};

// Tries each attempt once, undoes what succeeded (files removed, children reaped) and returns
// the bits of those that succeeded.
unsigned RunSandboxProbes(const SandboxProbeTargets& targets);

// "create-in-folder, fork" for a set of bits, to name what a failing test found.
std::string SandboxProbeNames(unsigned bits);

// How a page shows the result: probe i as the square of kSandboxProbeSquare pixels whose top
// left corner is (i * kSandboxProbeSquare, 0), black where it succeeded, white where not.
constexpr int kSandboxProbeSquare = 8;
using FillSquare = std::function<void(int left, int top, int size, std::uint32_t rgb)>;
using ReadPixel = std::function<std::uint32_t(int x, int y)>; // 0xRRGGBB
void DrawSandboxProbes(unsigned bits, const FillSquare& fill);
unsigned ReadSandboxProbes(const ReadPixel& pixel);

// The targets as the words of a fake document's line ("probe-on 1 " + words), and back.
std::string SandboxProbeWords(const SandboxProbeTargets& targets);
SandboxProbeTargets SandboxProbeTargetsFrom(const std::vector<std::string>& words);

} // namespace folioxa::testing
