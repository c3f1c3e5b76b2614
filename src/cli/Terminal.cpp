#include "cli/Terminal.h"

#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>

namespace folioxa {

namespace {

// The settings to restore if a signal ends the process while the echo is off.
termios gSavedTerminal{};
volatile sig_atomic_t gEchoOff = 0;

extern "C" void RestoreTerminalAndDie(int signal) {
    if (gEchoOff != 0) {
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &gSavedTerminal);
        gEchoOff = 0;
    }
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP};

// Echo off for its lifetime, with the signal handlers that undo it.
class TEchoOff {
public:
    TEchoOff() {
        if (tcgetattr(STDIN_FILENO, &gSavedTerminal) != 0) {
            return;
        }
        for (std::size_t i = 0; i < std::size(kSignals); ++i) {
            FOldHandlers[i] = std::signal(kSignals[i], RestoreTerminalAndDie);
        }
        FHandlersSet = true;
        termios quiet = gSavedTerminal;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        quiet.c_lflag |= ECHONL; // the newline still shows, so the next output starts a line
        gEchoOff = 1;
        FActive = tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) == 0;
    }
    TEchoOff(const TEchoOff&) = delete;
    TEchoOff& operator=(const TEchoOff&) = delete;
    ~TEchoOff() {
        if (gEchoOff != 0) {
            tcsetattr(STDIN_FILENO, TCSAFLUSH, &gSavedTerminal);
            gEchoOff = 0;
        }
        for (std::size_t i = 0; FHandlersSet && i < std::size(kSignals); ++i) {
            std::signal(kSignals[i], FOldHandlers[i]);
        }
    }
    bool Active() const { return FActive; }

private:
    using Handler = void (*)(int);
    Handler FOldHandlers[std::size(kSignals)] = {};
    bool FHandlersSet = false;
    bool FActive = false;
};

} // namespace

std::optional<std::string> AskPasswordOnTerminal(const std::string& prompt) {
    if (isatty(STDIN_FILENO) == 0) {
        return std::nullopt;
    }
    std::fputs(prompt.c_str(), stderr);
    std::fflush(stderr);
    TEchoOff echoOff;
    if (!echoOff.Active()) {
        return std::nullopt; // never read a password that would show
    }
    std::string password;
    char c = 0;
    ssize_t got = 0;
    while ((got = read(STDIN_FILENO, &c, 1)) == 1 || (got < 0 && errno == EINTR)) {
        if (got == 1 && c == '\n') {
            break;
        }
        if (got == 1) {
            password += c;
        }
    }
    if (got < 0 || (got == 0 && password.empty())) {
        return std::nullopt;
    }
    return password;
}

} // namespace folioxa
