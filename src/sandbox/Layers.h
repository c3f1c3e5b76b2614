#pragma once

#include <string>
#include <vector>

namespace folioxa::sandbox {

// Each returns 0 once applied, else the errno value that stopped it (nothing applied then).

// Handles every file-system right the running kernel's Landlock knows, granting back only
// reading beneath `readable`; no TCP bind or connect; no signal or abstract Unix socket beyond
// the process. `abi` receives the ABI the rules were written for.
int RestrictFileSystem(const std::vector<std::string>& readable, int& abi);

// The seccomp filter Confine describes.
int InstallSyscallFilter();

} // namespace folioxa::sandbox
