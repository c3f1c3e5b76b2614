#pragma once

#include "base/FileDescriptor.h"

#include <csignal>
#include <string>

namespace folioxa {

// While it lives, SIGINT, SIGTERM and SIGHUP no longer end the process: each is written to a
// pipe that the owner's loop watches, so that a run can be stopped, and the file it was writing
// removed, before the process ends. The actions before come back when it goes. One at a time.
class TSignalPipe {
public:
    // Throws Error when the pipe cannot be made; the signals are left as they were then.
    TSignalPipe();
    ~TSignalPipe();
    TSignalPipe(const TSignalPipe&) = delete;
    TSignalPipe& operator=(const TSignalPipe&) = delete;

    // Readable once a signal has arrived.
    int Fd() const { return FRead.Get(); }
    // The first signal that arrived since the last call, 0 when none.
    int Take();
    // Gives the signals their actions before back, then Take: a signal that comes later acts as
    // it did before, one that came before is not lost.
    int Release();

private:
    static constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};
    FileDescriptor FRead;
    FileDescriptor FWrite;
    struct sigaction FBefore[3] = {};
    bool FReleased = false;
};

// "SIGINT".
std::string SignalName(int signal);

// Ends the process by `signal` as its default action does, so that a shell sees 128 + signal
// and a script stops as it would have; when the signal does not end it, returns.
void EndBySignal(int signal);

} // namespace folioxa
