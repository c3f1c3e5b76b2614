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
// And the engine's allowance per page (below): this, then the bytes.
inline constexpr std::string_view kEngineMemoryOption = "--engine-memory=";

// What the engine may take for one page beside the page's own pixels, when no cap is asked for:
// the corpus's pages take under 110 MB at 300 DPI, and the memory bombs reach this within
// seconds, long before they could take the machine.
inline constexpr std::uint64_t kDefaultEngineMemory = std::uint64_t{512} << 20;

// The address space a worker may take for one page: the engine's allowance, the page buffer it
// has mapped and, while drawing, as much again as the page's pixels (`pageBytes`), for a scratch
// bitmap of the page's size such as a transparency group; never above `cap`. With no allowance
// (0) the cap alone.
std::uint64_t PageMemoryLimit(std::uint64_t cap, std::uint64_t engine, std::uint64_t bufferBytes,
                              std::uint64_t pageBytes);

// Whether this build can cap a worker. The sanitizer runtimes reserve terabytes of address space
// for their shadow memory, which no cap would leave room for: those builds run without one.
bool MemoryLimitSupported();

// Caps this process's address space at `bytes` (the hard limit, so the engine cannot lift it
// past that) and prepares the report of a death over it, sent on `reportFd`. With an `engine`
// allowance the soft limit starts at PageMemoryLimit(bytes, engine, 0, 0) and follows each page
// (SetPageMemory). Does nothing where the build cannot have a cap or `bytes` is 0.
void ApplyMemoryLimit(std::uint64_t bytes, std::uint64_t engine, int reportFd);

// Sets the soft limit for the page about to be loaded (`pageBytes` 0) or drawn. Does nothing
// without an engine allowance.
void SetPageMemory(std::uint64_t bufferBytes, std::uint64_t pageBytes);

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
