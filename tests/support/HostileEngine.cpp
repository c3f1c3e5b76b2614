// What compromised engine code could do from inside a page worker, for the hostile libpdfium.so
// (HostileEngine.h). A new attack is one row of kAttacks.
#include "support/HostileEngine.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace folioxa::testing {
namespace {

using Words = std::vector<std::string>; // what follows the attack's name

constexpr int kStdio[] = {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO};

void Say(int fd, const std::string& text) {
    [[maybe_unused]] const ssize_t written = write(fd, text.data(), text.size());
}

template <typename Call>
bool OnStdio(Call call) {
    bool reached = false;
    for (const int fd : kStdio) {
        reached = call(fd) || reached;
    }
    return reached;
}

bool TakeTerminal() {
    bool reached = false;
    const int tty = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    reached = tty >= 0;
    reached = setpgid(0, getpgid(getppid())) == 0 || reached;
    for (const int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO, tty}) {
        termios settings{};
        if (fd < 0 || tcgetattr(fd, &settings) != 0) {
            continue;
        }
        reached = true;
        settings.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        tcsetattr(fd, TCSANOW, &settings);
        tcsetpgrp(fd, getpgrp());
    }
    if (tty >= 0) {
        close(tty);
    }
    return reached;
}

bool Renice(const Words& words) {
    const auto pid = static_cast<id_t>(std::stol(words.at(0)));
    bool reached = setpriority(PRIO_PROCESS, pid, 19) == 0;
    reached =
        setpriority(PRIO_PGRP, static_cast<id_t>(getpgid(static_cast<pid_t>(pid))), 19) == 0 ||
        reached;
    if (words.size() > 1) {
        reached =
            setpriority(PRIO_USER, static_cast<id_t>(std::stol(words[1])), 19) == 0 || reached;
    }
    constexpr long kWhoProcess = 1, kIdleClass = 3 << 13;
    return syscall(SYS_ioprio_set, kWhoProcess, pid, kIdleClass) == 0 || reached;
}

bool Threads() {
    int started = 0;
    pthread_t thread;
    while (started < 64 && pthread_create(
                               &thread, nullptr,
                               [](void*) -> void* {
                                   for (;;) {
                                       pause();
                                   }
                               },
                               nullptr) == 0) {
        ++started;
    }
    return started > 0;
}

struct Attack {
    const char* Name;
    bool (*Run)(const Words& words);
};

const Attack kAttacks[] = {
    {"truncate-stdio",
     [](const Words&) { return OnStdio([](int fd) { return ftruncate(fd, 0) == 0; }); }},
    {"punch-stdio",
     [](const Words&) {
         return OnStdio([](int fd) {
             return fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, 0, 1L << 30) == 0;
         });
     }},
    {"escape-sequences",
     [](const Words&) {
         for (const int fd : {STDOUT_FILENO, STDERR_FILENO}) {
             Say(fd, "\x1b]0;pwned\x07\x1b]52;c;cm0gLXJmIH4K\x07\x1b[2J\x1b[H\n");
         }
         return false;
     }},
    {"forged-summary",
     [](const Words&) {
         for (const int fd : {STDOUT_FILENO, STDERR_FILENO}) {
             Say(fd, "{\"type\":\"summary\",\"status\":\"complete\",\"written\":99,\"exit\":0}\n");
         }
         return false;
     }},
    {"read-stdin",
     [](const Words&) {
         char buffer[4096];
         return read(STDIN_FILENO, buffer, sizeof buffer) > 0;
     }},
    {"take-terminal", [](const Words&) { return TakeTerminal(); }},
    {"read-environment",
     [](const Words& words) { return std::getenv(words.at(0).c_str()) != nullptr; }},
    {"renice", Renice},
    {"keep-alive",
     [](const Words&) {
         prctl(PR_SET_PDEATHSIG, 0);
         Say(STDERR_FILENO, "keep-alive " + std::to_string(getpid()) + "\n");
         for (;;) {
             pause();
         }
         return true;
     }},
    {"threads", [](const Words&) { return Threads(); }},
    {"fork",
     [](const Words&) {
         const pid_t child = fork();
         if (child == 0) {
             _exit(0);
         }
         return child > 0 && waitpid(child, nullptr, 0) == child;
     }},
};

} // namespace

namespace {

const Attack* Find(const std::vector<std::string>& words) {
    for (const Attack& attack : kAttacks) {
        if (!words.empty() && words[0] == attack.Name) {
            return &attack;
        }
    }
    return nullptr;
}

} // namespace

bool IsAttack(const std::vector<std::string>& words) {
    return Find(words) != nullptr;
}

bool RunAttack(const std::vector<std::string>& words) {
    const Attack* attack = Find(words);
    return attack != nullptr && attack->Run(Words(words.begin() + 1, words.end()));
}

} // namespace folioxa::testing
