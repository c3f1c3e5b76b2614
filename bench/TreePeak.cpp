// Runs a command and reports its wall time and the peak memory of its whole process tree, sampled
// every 10 ms through /proc/PID/task/TID/children: each process's resident pages that are its
// own, plus the largest file-backed resident share of any of them (the engine's code, mapped in
// every worker, counts once). Read from /proc/PID/statm, whose counters cost nothing to read:
// smaps_rollup walks every page table under the process's memory lock, and at this rate that
// took a fifth of a core and slowed the very workers it measured.
//   treepeak OUTPUT-FILE COMMAND [ARGS...]     writes "seconds peak-kB" to OUTPUT-FILE
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>

namespace {

// The children of every thread of `pid`.
std::set<int> Children(int pid) {
    std::set<int> children;
    std::error_code error;
    const std::filesystem::path tasks = "/proc/" + std::to_string(pid) + "/task";
    for (const auto& task : std::filesystem::directory_iterator(tasks, error)) {
        std::ifstream list(task.path() / "children");
        for (int child = 0; list >> child;) {
            children.insert(child);
        }
    }
    return children;
}

struct Resident {
    long Own = 0;    // kB resident that is not file-backed
    long Shared = 0; // kB of the largest file-backed resident part
};

Resident TreeResident(int pid) {
    static const long pageKb = sysconf(_SC_PAGESIZE) / 1024;
    Resident tree;
    std::ifstream statm("/proc/" + std::to_string(pid) + "/statm");
    long size = 0, resident = 0, shared = 0;
    if (statm >> size >> resident >> shared) {
        tree.Own = (resident - shared) * pageKb;
        tree.Shared = shared * pageKb;
    }
    for (const int child : Children(pid)) {
        const Resident below = TreeResident(child);
        tree.Own += below.Own;
        tree.Shared = std::max(tree.Shared, below.Shared);
    }
    return tree;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: treepeak OUTPUT-FILE COMMAND [ARGS...]\n");
        return 2;
    }
    const auto start = std::chrono::steady_clock::now();
    const pid_t child = fork();
    if (child == 0) {
        execvp(argv[2], argv + 2);
        _exit(127);
    }
    long peak = 0;
    int status = 0;
    while (waitpid(child, &status, WNOHANG) == 0) {
        const Resident tree = TreeResident(child);
        peak = std::max(peak, tree.Own + tree.Shared);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::ofstream(argv[1]) << seconds << ' ' << peak << '\n';
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
