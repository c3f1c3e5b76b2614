#include "support/AttackTargets.h"

#include "support/TestFiles.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

namespace folioxa::testing {

namespace {

// A user that owns no other process, so that even a renice of the whole user would reach the
// bystander alone.
constexpr uid_t kBystanderUser = 54321;

} // namespace

std::vector<WireAttack> WireAttacks(int width, int height, int dpi) {
    const std::string broke =
        "The PDF engine broke the page workers' protocol while drawing page 2: ";
    const std::string more = " bytes, more than the 416 it may have";
    return {
        {"attack-on 2 send-descriptor 1", broke + "a descriptor from the worker"},
        {"attack-on 2 oversized-frame 1", broke + "a Failed frame of 314572800" + more},
        {"attack-on 2 long-failure 1 20000000", broke + "a Failed frame of 20000016" + more},
        {"attack-on 2 escaped-failure 1", "\x1b]0;pwned\x07\x1b[2J"},
        {"attack-on 2 out-of-stage 1", broke + "an Opened frame while drawing"},
        {"attack-on 2 open-failure 1", broke + "a failure of a kind impossible while drawing"},
        {"attack-on 2 drawn-1x1 1", broke + "pixels of 1 x 1 where " + std::to_string(width) +
                                        " x " + std::to_string(height) + " were granted"},
        {"load-attack-on 2 drawn-1x1 1", broke + "a Drawn frame while loading a page"},
        {"load-attack-on 2 false-size 1 1e300 1", "Page 2 is too large to convert at " +
                                                      std::to_string(dpi) +
                                                      " DPI (9223372036854775807 x 1 pixels)"},
        {"attack-on 2 shell-pixels", ""},
    };
}

AttackTargets::AttackTargets() {
    setenv(kSecretVariable, "hunter2", 1);
    const bool root = geteuid() == 0;
    FNice = getpriority(PRIO_PROCESS, 0);
    FBystander = fork();
    if (FBystander == 0) {
        setpgid(0, 0);
        if (root && (setgid(kBystanderUser) != 0 || setuid(kBystanderUser) != 0)) {
            _exit(1);
        }
        for (;;) {
            pause();
        }
    }
    if (root) {
        FUser = std::to_string(kBystanderUser);
    }
}

AttackTargets::~AttackTargets() {
    unsetenv(kSecretVariable);
    if (FBystander > 0) {
        kill(FBystander, SIGKILL);
        waitpid(FBystander, nullptr, 0);
    }
}

bool AttackTargets::BystanderReniced() const {
    errno = 0;
    const int nice = getpriority(PRIO_PROCESS, static_cast<id_t>(FBystander));
    return errno != 0 || nice != FNice;
}

std::vector<std::string> AttackTargets::RefusedAttacks() const {
    return {"truncate-stdio",
            "punch-stdio",
            "escape-sequences",
            "forged-summary",
            "read-stdin",
            std::string("read-environment ") + kSecretVariable,
            "renice " + std::to_string(FBystander) + (FUser.empty() ? "" : " " + FUser),
            "threads",
            "fork"};
}

std::vector<std::string> AttackEveryPage(int pages, const std::vector<std::string>& attacks) {
    std::vector<std::string> lines = {"pages " + std::to_string(pages)};
    for (int page = 1; page <= pages; ++page) {
        for (const std::string& attack : attacks) {
            lines.push_back("attack-on " + std::to_string(page) + " " + attack);
        }
    }
    return lines;
}

bool HasRawControls(const std::string& text) {
    return std::any_of(text.begin(), text.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return (byte < 0x20 && c != '\n' && c != '\r' && c != '\t') || byte == 0x7f;
    });
}

std::vector<int> RunningChildren(pid_t except) {
    std::vector<int> running;
    for (const int child : Children()) {
        if (child != except && waitpid(child, nullptr, WNOHANG) == 0) {
            running.push_back(child);
        }
    }
    return running;
}

} // namespace folioxa::testing
