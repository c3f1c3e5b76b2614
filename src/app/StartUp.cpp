#include "app/StartUp.h"

#include <fcntl.h>
#include <unistd.h>

#include <QApplication>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>

namespace folioxa {

namespace {

// The self-pipe: a signal handler may only write, the event loop reads.
int gTerminationPipe[2] = {-1, -1};

void NoteSignal(int /*signal*/) {
    const int savedErrno = errno;
    const char byte = 1;
    // A full pipe already holds a note, so a failed write loses nothing.
    [[maybe_unused]] const ssize_t written = write(gTerminationPipe[1], &byte, 1);
    errno = savedErrno;
}

} // namespace

bool IsRemoveSwitch(const std::string& argument) {
    std::size_t first = 0;
    std::size_t last = argument.size();
    while (first < last && static_cast<unsigned char>(argument[first]) <= 32) {
        ++first;
    }
    while (last > first && static_cast<unsigned char>(argument[last - 1]) <= 32) {
        --last;
    }
    return argument.compare(first, last - first, "/remove") == 0;
}

bool InstallTerminationHandler() {
    if (pipe2(gTerminationPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        return false;
    }
    struct sigaction action {};
    action.sa_handler = NoteSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
        sigaction(signal, &action, nullptr);
    }
    return true;
}

void WatchTermination() {
    if (gTerminationPipe[0] < 0) {
        return;
    }
    auto* notifier = new QSocketNotifier(gTerminationPipe[0], QSocketNotifier::Read,
                                         QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, [] {
        char buffer[16];
        while (read(gTerminationPipe[0], buffer, sizeof buffer) > 0) {
        }
        // Closing the dialogs first lets a modal one return, as if cancelled.
        QApplication::closeAllWindows();
        QCoreApplication::quit();
    });
}

} // namespace folioxa
