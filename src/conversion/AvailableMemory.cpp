#include "conversion/AvailableMemory.h"

#include <fstream>
#include <sstream>
#include <string>
#include <utility>

namespace folioxa {

namespace {

std::optional<std::uint64_t> ReadMeminfo() {
    std::ifstream meminfo("/proc/meminfo");
    std::uint64_t available = 0;
    bool found = false;
    for (std::string line; std::getline(meminfo, line);) {
        std::istringstream fields(line);
        std::string key;
        std::uint64_t kibibytes = 0;
        if (!(fields >> key >> kibibytes)) {
            continue;
        }
        if (key == "MemAvailable:" || key == "SwapFree:") {
            available += kibibytes * 1024;
            found = found || key == "MemAvailable:";
        }
    }
    return found ? std::optional<std::uint64_t>(available) : std::nullopt;
}

std::function<std::optional<std::uint64_t>()>& Probe() {
    static std::function<std::optional<std::uint64_t>()> probe;
    return probe;
}

} // namespace

std::optional<std::uint64_t> AvailableMemory() {
    return Probe() ? Probe()() : ReadMeminfo();
}

void SetAvailableMemoryProbe(std::function<std::optional<std::uint64_t>()> probe) {
    Probe() = std::move(probe);
}

} // namespace folioxa
