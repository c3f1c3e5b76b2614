#pragma once

#include <cstdint>
#include <functional>
#include <optional>

namespace folioxa {

// Bytes the system can still give this process without running out: available memory plus free
// swap, as /proc/meminfo reports them. None when the system does not say.
std::optional<std::uint64_t> AvailableMemory();

// Replaces what AvailableMemory answers, for tests; an empty function puts the system's back.
void SetAvailableMemoryProbe(std::function<std::optional<std::uint64_t>()> probe);

} // namespace folioxa
