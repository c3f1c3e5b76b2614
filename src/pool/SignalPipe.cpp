#include "pool/SignalPipe.h"

#include "base/Error.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

namespace folioxa {

namespace {

// The handler may only write; an atomic int is safe to read there.
std::atomic<int> gWriteEnd{-1};

void NoteSignal(int signal) {
    const int savedErrno = errno;
    const auto byte = static_cast<unsigned char>(signal);
    // A full pipe already holds a note, so a failed write loses nothing.
    [[maybe_unused]] const ssize_t written = ::write(gWriteEnd.load(), &byte, 1);
    errno = savedErrno;
}

} // namespace

TSignalPipe::TSignalPipe() {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) {
        throw Error(std::string("Cannot watch for signals: ") + std::strerror(errno));
    }
    FRead.Reset(ends[0]);
    FWrite.Reset(ends[1]);
    gWriteEnd.store(FWrite.Get());
    struct sigaction action {};
    action.sa_handler = NoteSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (std::size_t i = 0; i < std::size(kSignals); ++i) {
        ::sigaction(kSignals[i], &action, &FBefore[i]);
    }
}

TSignalPipe::~TSignalPipe() {
    Release();
}

int TSignalPipe::Release() {
    if (!FReleased) {
        FReleased = true;
        for (std::size_t i = 0; i < std::size(kSignals); ++i) {
            ::sigaction(kSignals[i], &FBefore[i], nullptr);
        }
        gWriteEnd.store(-1);
    }
    return Take();
}

int TSignalPipe::Take() {
    int first = 0;
    unsigned char notes[16];
    for (ssize_t got; (got = ::read(FRead.Get(), notes, sizeof notes)) > 0;) {
        first = first != 0 ? first : notes[0];
    }
    return first;
}

std::string SignalName(int signal) {
    const char* abbreviation = sigabbrev_np(signal);
    return abbreviation != nullptr ? std::string("SIG") + abbreviation
                                   : "signal " + std::to_string(signal);
}

void EndBySignal(int signal) {
    std::signal(signal, SIG_DFL);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signal);
    ::sigprocmask(SIG_UNBLOCK, &only, nullptr);
    ::raise(signal);
}

} // namespace folioxa
