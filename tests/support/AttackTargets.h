#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace folioxa::testing {

// What the hostile engine's attacks (HostileEngine.h) aim at outside the worker, made for one
// test: a bystander process in a process group of its own (and, when the test runs as root, of a
// user of its own), whose priority a renice attack would change; a secret in this process's
// environment. All gone with it.
class AttackTargets {
public:
    static constexpr const char* kSecretVariable = "FOLIOXA_SECRET_TOKEN";

    AttackTargets();
    ~AttackTargets();
    AttackTargets(const AttackTargets&) = delete;
    AttackTargets& operator=(const AttackTargets&) = delete;

    pid_t Bystander() const { return FBystander; }
    // Whether the bystander's nice value is no longer the one it started with.
    bool BystanderReniced() const;

    // The attacks that the sandbox or the worker's hermetic start refuse in place, so the page
    // converts untouched: "NAME WORDS" for each, aimed at these targets.
    std::vector<std::string> RefusedAttacks() const;

private:
    pid_t FBystander = -1;
    int FNice = 0;     // the bystander's at the start, this process's
    std::string FUser; // the bystander's user, empty when it shares the test's
};

// An attack on the wire (HostileEngine.h) on page 2 of two, and what must come of it.
struct WireAttack {
    std::string Line;    // the document's line
    std::string Message; // entry 2's failure; empty: page 2 is written, as pixels
};
// Every wire attack, for pages of `width` x `height` pixels at `dpi`.
std::vector<WireAttack> WireAttacks(int width, int height, int dpi);

// The lines of a hostile document (FakePdf) of `pages` pages, each drawn with every attack.
std::vector<std::string> AttackEveryPage(int pages, const std::vector<std::string>& attacks);

// Whether `text` holds a control character a terminal would act on (all but line end and tab):
// a worker's output reached it raw.
bool HasRawControls(const std::string& text);

// The children of this process that still run, `except` aside: workers left behind (this
// process must be their subreaper, PR_SET_CHILD_SUBREAPER).
std::vector<int> RunningChildren(pid_t except = -1);

} // namespace folioxa::testing
