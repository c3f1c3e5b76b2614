// What compromised engine code could do from inside a page worker, for the hostile libpdfium.so
// (HostileEngine.h). A new attack is one row of kAttacks.
#include "support/HostileEngine.h"

#include "pool/Wire.h"
#include "pool/WorkerProcess.h"
#include "support/WirePair.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
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

// The page being drawn, for an attack on its pixels.
unsigned char* gPixels = nullptr;
std::size_t gPixelBytes = 0;

// Bytes onto the worker's socket, between the worker's own frames.
void OnWire(const std::string& bytes) {
    Say(kWorkerSocket, bytes);
}

std::int64_t Entry(const Words& words) {
    return std::stoll(words.at(0));
}

// A Drawn frame of 1 x 1 pixels.
std::string SmallDrawn(const Words& words) {
    return FrameBytes(FrameType::Drawn, Entry(words), EncodeDrawn({{1, 1}, 0}));
}

bool OversizedFrame(const Words& words) {
    // The header alone: the payload it announces never comes.
    const std::string frame = FrameBytes(FrameType::Failed, Entry(words), "");
    std::string header = frame.substr(0, 16);
    const std::uint64_t length = std::uint64_t{300} << 20;
    header.append(reinterpret_cast<const char*>(&length), sizeof length);
    OnWire(header);
    return false;
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
    {"send-descriptor",
     [](const Words& words) {
         SendWithDescriptors(kWorkerSocket, SmallDrawn(words), STDIN_FILENO, 1);
         return false;
     }},
    {"oversized-frame", OversizedFrame},
    {"long-failure",
     [](const Words& words) {
         const std::string text(std::stoull(words.at(1)), 'x');
         // Encoded by hand: the wire's own encoder would cut it.
         const auto kind = static_cast<std::int64_t>(ErrorKind::Pdf);
         const auto size = static_cast<std::int64_t>(text.size());
         std::string payload(reinterpret_cast<const char*>(&kind), sizeof kind);
         payload.append(reinterpret_cast<const char*>(&size), sizeof size);
         OnWire(FrameBytes(FrameType::Failed, Entry(words), payload + text));
         return false;
     }},
    {"escaped-failure",
     [](const Words& words) {
         OnWire(FrameBytes(FrameType::Failed, Entry(words),
                           EncodeFailure(ErrorKind::Pdf, "\x1b]0;pwned\x07\x1b[2J")));
         return false;
     }},
    {"out-of-stage",
     [](const Words& words) {
         OnWire(FrameBytes(FrameType::Opened, Entry(words), EncodeCount(1)));
         return false;
     }},
    {"open-failure",
     [](const Words& words) {
         OnWire(FrameBytes(FrameType::Failed, Entry(words),
                           EncodeFailure(ErrorKind::Open, "Cannot load PDF document")));
         return false;
     }},
    {"drawn-1x1",
     [](const Words& words) {
         OnWire(SmallDrawn(words));
         return false;
     }},
    {"false-size",
     [](const Words& words) {
         OnWire(FrameBytes(FrameType::PageSize, Entry(words),
                           EncodePageSize({std::stod(words.at(1)), std::stod(words.at(2))})));
         return false;
     }},
    {"shell-pixels",
     [](const Words&) {
         const std::string script = "#!/bin/sh\nrm -rf ~\n";
         for (std::size_t at = 0; gPixels != nullptr && at < gPixelBytes; at += script.size()) {
             std::memcpy(gPixels + at, script.data(), std::min(script.size(), gPixelBytes - at));
         }
         return false;
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

bool RunAttack(const std::vector<std::string>& words, unsigned char* pixels, std::size_t bytes) {
    gPixels = pixels;
    gPixelBytes = bytes;
    const Attack* attack = Find(words);
    return attack != nullptr && attack->Run(Words(words.begin() + 1, words.end()));
}

} // namespace folioxa::testing
