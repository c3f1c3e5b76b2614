#pragma once

#include "base/FileDescriptor.h"
#include "support/SandboxProbe.h"
#include "support/TestFiles.h"

namespace folioxa::testing {

// What the sandbox probes aim at, made for one test: a folder to write to, a user's file in it,
// a TCP listener on 127.0.0.1 and a listening Unix socket; all gone with it.
class SandboxTargets {
public:
    SandboxTargets();
    const SandboxProbeTargets& Get() const { return FTargets; }

private:
    TempDir FDir;
    FileDescriptor FTcp;
    FileDescriptor FUnix;
    SandboxProbeTargets FTargets;
};

} // namespace folioxa::testing
