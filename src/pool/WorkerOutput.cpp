#include "pool/WorkerOutput.h"

#include "base/Printable.h"

#include <cerrno>

namespace folioxa {

namespace {

constexpr char kPrefix[] = "folioxa-worker: ";
// Bytes read in one turn: the other workers and the caller get theirs even when one floods.
constexpr std::size_t kTurnBytes = 64 * 1024;
// What a worker that has ended may still have left in its pipe, read in one go.
constexpr std::size_t kLeftBytes = 1024 * 1024;

} // namespace

TWorkerOutput::TWorkerOutput(FileDescriptor pipe, int sink) : FPipe(std::move(pipe)), FSink(sink) {}

bool TWorkerOutput::Read() {
    Take(kTurnBytes);
    return FPipe.Valid();
}

void TWorkerOutput::Finish() {
    Take(kLeftBytes);
    if (FPipe) {
        if (!FLine.empty() || FCut) {
            Emit();
        }
        FPipe.Reset();
    }
}

void TWorkerOutput::Take(std::size_t limit) {
    char buffer[4096];
    for (std::size_t taken = 0; FPipe && taken < limit;) {
        const ssize_t got = read(FPipe.Get(), buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0 && errno == EAGAIN) {
            return;
        }
        if (got <= 0) {
            if (!FLine.empty() || FCut) {
                Emit();
            }
            FPipe.Reset();
            return;
        }
        taken += static_cast<std::size_t>(got);
        for (ssize_t i = 0; i < got && FPipe; ++i) {
            if (buffer[i] == '\n') {
                Emit();
            } else if (FLine.size() < kLineBytes) {
                FLine += buffer[i];
            } else {
                FCut = true;
            }
        }
    }
}

void TWorkerOutput::Emit() {
    std::string text = kPrefix + Printable(FLine) + (FCut ? " [cut]\n" : "\n");
    FLine.clear();
    FCut = false;
    if (FSent + text.size() > kOutputBytes) {
        text = std::string(kPrefix) + "(further output dropped)\n";
        FPipe.Reset();
    }
    FSent += text.size();
    // Nowhere to say that stderr failed: the run goes on without it.
    (void)WriteAll(FSink, text.data(), text.size());
}

} // namespace folioxa
