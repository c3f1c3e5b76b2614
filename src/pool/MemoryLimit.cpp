#include "pool/MemoryLimit.h"

#include "base/FileDescriptor.h"
#include "base/Sanitizers.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>

namespace folioxa {

namespace {

constexpr int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGABRT, SIGILL, SIGTRAP, SIGFPE};

// What the signal handler reads, all set before it can run.
std::uint64_t gLimit = 0;
std::uint64_t gEngine = 0;
std::atomic<std::uint64_t> gSoftLimit{0}; // the limit of the page in hand
int gReportFd = -1;
int gStatmFd = -1; // opened while files can still be opened
std::uint64_t gPageSize = 4096;
std::atomic<const char*> gFrame{nullptr};
std::atomic<std::size_t> gFrameSize{0};

// Bytes of address space mapped now; no allocation, so a signal handler may call it.
std::uint64_t MappedBytes() {
    char text[32];
    const ssize_t got = pread(gStatmFd, text, sizeof text, 0);
    std::uint64_t pages = 0;
    for (ssize_t i = 0; i < got && text[i] >= '0' && text[i] <= '9'; ++i) {
        pages = pages * 10 + static_cast<std::uint64_t>(text[i] - '0');
    }
    return pages * gPageSize;
}

void OnFatalSignal(int signal) {
    const int error = errno;
    const char* frame = gFrame.load();
    // The engine's allocator ends the process when it is refused, often straight after the
    // refusal (errno still ENOMEM), else once its pools have grown up to the cap.
    const std::uint64_t limit = gSoftLimit.load();
    if (frame != nullptr && (error == ENOMEM || MappedBytes() >= limit - limit / 8)) {
        // Only write(2) underneath: safe in a signal handler.
        WriteAll(gReportFd, frame, gFrameSize.load());
    }
    // The default action is back (SA_RESETHAND): the process ends by this very signal.
    raise(signal);
}

} // namespace

bool MemoryLimitSupported() {
    return !kSanitizerBuild;
}

std::uint64_t PageMemoryLimit(std::uint64_t cap, std::uint64_t engine, std::uint64_t bufferBytes,
                              std::uint64_t pageBytes) {
    if (engine == 0) {
        return cap;
    }
    return std::min(cap, engine + bufferBytes + pageBytes);
}

void ApplyMemoryLimit(std::uint64_t bytes, std::uint64_t engine, int reportFd) {
    if (!MemoryLimitSupported() || bytes == 0) {
        return;
    }
    rlimit cap{};
    getrlimit(RLIMIT_AS, &cap);
    cap.rlim_cur = cap.rlim_max = std::min<rlim_t>(bytes, cap.rlim_max);
    if (setrlimit(RLIMIT_AS, &cap) != 0) {
        return;
    }
    gLimit = cap.rlim_cur;
    gEngine = engine;
    gSoftLimit = gLimit;
    SetPageMemory(0, 0);
    gReportFd = reportFd;
    gStatmFd = open("/proc/self/statm", O_RDONLY | O_CLOEXEC);
    gPageSize = static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
    struct sigaction action {};
    action.sa_handler = &OnFatalSignal;
    action.sa_flags = static_cast<int>(SA_RESETHAND | SA_NODEFER);
    sigemptyset(&action.sa_mask);
    for (const int signal : kFatalSignals) {
        sigaction(signal, &action, nullptr);
    }
}

void SetPageMemory(std::uint64_t bufferBytes, std::uint64_t pageBytes) {
    if (gEngine == 0 || gLimit == 0) {
        return;
    }
    // Below the hard limit, which stays the machine's bound should the engine lift this one.
    const rlimit soft{PageMemoryLimit(gLimit, gEngine, bufferBytes, pageBytes), gLimit};
    if (setrlimit(RLIMIT_AS, &soft) == 0) {
        gSoftLimit = soft.rlim_cur;
    }
}

std::uint64_t MemoryLimit() {
    return gLimit;
}

std::string MemoryLimitMessage(const std::string& entryText, std::uint64_t limit) {
    return "Page " + entryText + " needs more memory than the limit of " +
           std::to_string(limit >> 20) + " MB per page";
}

TMemoryReport::TMemoryReport(std::string frame) : FFrame(std::move(frame)) {
    gFrameSize = FFrame.size();
    gFrame = FFrame.data();
}

TMemoryReport::~TMemoryReport() {
    gFrame = nullptr;
}

} // namespace folioxa
