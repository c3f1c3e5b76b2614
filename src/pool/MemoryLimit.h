#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace folioxa {

// A worker's memory limit: its address space is capped, so an engine that needs more for a page
// is refused there instead of taking the machine's memory; the page then fails with one message
// naming it and the limit, also when the engine ends the process over the refused allocation.

// How the render pool hands a worker its cap: this, then the bytes, as one argument.
inline constexpr std::string_view kMemoryLimitOption = "--memory-limit=";

// Whether this build can cap a worker. The sanitizer runtimes reserve terabytes of address space
// for their shadow memory, which no cap would leave room for: those builds run without one.
bool MemoryLimitSupported();

// Caps this process's address space (soft and hard, so the engine cannot lift it) at `bytes` and
// prepares the report of a death over it, sent on `reportFd`. Does nothing where the build cannot
// have a cap or `bytes` is 0.
void ApplyMemoryLimit(std::uint64_t bytes, int reportFd);

// The cap applied, 0 when none.
std::uint64_t MemoryLimit();

// "Page 3 needs more memory than the limit of 2900 MB per page".
std::string MemoryLimitMessage(const std::string& entryText, std::uint64_t limit);

// While it lives, a fatal signal that comes of a refused allocation (errno ENOMEM, or the address
// space near the cap) first sends `frame` on the report descriptor; then the process ends by
// that signal as it would have. Only one is armed at a time.
class TMemoryReport {
public:
    explicit TMemoryReport(std::string frame);
    ~TMemoryReport();
    TMemoryReport(const TMemoryReport&) = delete;
    TMemoryReport& operator=(const TMemoryReport&) = delete;

private:
    std::string FFrame;
};

} // namespace folioxa
