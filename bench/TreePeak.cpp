// Runs a command and reports its wall time and the peak memory of its whole process tree: the
// sum of the proportional set sizes (Pss) of the command and every process below it, sampled
// every 10 ms through /proc/PID/task/TID/children. Shared pages (the engine's code in each worker)
// count once overall.
//   treepeak OUTPUT-FILE COMMAND [ARGS...]     writes "seconds peak-kB" to OUTPUT-FILE
#include <sys/wait.h>
#include <unistd.h>

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

long PssKb(int pid) {
    std::ifstream rollup("/proc/" + std::to_string(pid) + "/smaps_rollup");
    std::string key;
    long kb = 0;
    while (rollup >> key) {
        if (key == "Pss:") {
            rollup >> kb;
            return kb;
        }
        rollup.ignore(1 << 20, '\n');
    }
    return 0;
}

long TreePss(int pid) {
    long total = PssKb(pid);
    for (const int child : Children(pid)) {
        total += TreePss(child);
    }
    return total;
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
        peak = std::max(peak, TreePss(child));
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::ofstream(argv[1]) << seconds << ' ' << peak << '\n';
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
