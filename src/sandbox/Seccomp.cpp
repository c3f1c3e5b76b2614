#include "sandbox/Layers.h"

#include <seccomp.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <memory>

namespace folioxa::sandbox {
namespace {

struct FilterRelease {
    void operator()(scmp_filter_ctx filter) const { seccomp_release(filter); }
};
using Filter = std::unique_ptr<void, FilterRelease>;

// Never needed to draw a page; by name, so that calls this libseccomp does not know are skipped.
constexpr std::array kRefused = {
    // network and local sockets (the inherited socket needs neither)
    "socket", "socketpair",
    // programs, processes and threads: the worker draws on the one thread it confined, so a
    // compromised engine cannot take the machine's process table
    "execve", "execveat", "fork", "vfork", "clone", "clone3",
    // sessions and process groups: the worker's own are where it was started, out of the
    // terminal's reach
    "setsid", "setpgid",
    // devices and terminals: the engine needs no ioctl at all
    "ioctl",
    // a descriptor the worker was handed is never cut short or punched (RLIMIT_FSIZE stops only
    // growth)
    "ftruncate", "truncate", "fallocate",
    // other processes' memory, descriptors and signals
    "ptrace", "process_vm_readv", "process_vm_writev", "pidfd_open", "pidfd_getfd",
    "pidfd_send_signal", "kcmp",
    // mounts, namespaces, the root
    "mount", "umount2", "mount_setattr", "move_mount", "open_tree", "open_tree_attr", "fsopen",
    "fsconfig", "fsmount", "fspick", "pivot_root", "chroot", "unshare", "setns",
    // file handles reach files by number, past the paths that Landlock sees
    "open_by_handle_at", "name_to_handle_at",
    // io_uring does its work outside this filter
    "io_uring_setup", "io_uring_enter", "io_uring_register",
    // the machine itself
    "bpf", "perf_event_open", "userfaultfd", "keyctl", "add_key", "request_key", "acct", "quotactl",
    "quotactl_fd", "swapon", "swapoff", "reboot", "kexec_load", "kexec_file_load", "init_module",
    "finit_module", "delete_module", "iopl", "ioperm", "syslog", "settimeofday", "clock_settime",
    "clock_adjtime", "adjtimex", "sethostname", "setdomainname", "vhangup"};

// Signals go only to the process itself: these calls name their target first.
constexpr std::array kSignalling = {"kill", "tkill", "tgkill", "rt_sigqueueinfo",
                                    "rt_tgsigqueueinfo"};

// Calls that may reach another process through their first argument, 0 meaning the caller: the
// limits, scheduling and memory placement of the parent stay out of reach.
constexpr std::array kSelfOnly = {"prlimit64",      "sched_setaffinity", "sched_setscheduler",
                                  "sched_setparam", "sched_setattr",     "migrate_pages",
                                  "move_pages",     "get_robust_list"};

// The process controls that name threads or read the process's own state, in ascending order;
// every other (PR_SET_PDEATHSIG among them, which would let the worker outlive its parent) is
// refused.
constexpr std::array<scmp_datum_t, 3> kHarmlessControls = {PR_GET_DUMPABLE, PR_SET_NAME,
                                                           PR_GET_NAME};

// IOPRIO_WHO_PROCESS, which glibc has no header for.
constexpr scmp_datum_t kIoprioWhoProcess = 1;

int Failed(int result) {
    return result < 0 ? -result : 0;
}

// Rules added one by one; the first failure stops the rest and is kept.
class Rules {
public:
    explicit Rules(scmp_filter_ctx filter) : FFilter(filter) {}
    template <typename... Conditions>
    void Add(std::uint32_t action, int call, Conditions... conditions) {
        if (FError == 0 && call != __NR_SCMP_ERROR) {
            FError = Failed(seccomp_rule_add(FFilter, action, call,
                                             static_cast<unsigned>(sizeof...(conditions)),
                                             conditions...));
        }
    }
    int Error() const { return FError; }

private:
    scmp_filter_ctx FFilter;
    int FError = 0;
};

int BuildFilter(scmp_filter_ctx filter) {
    const std::uint32_t refuse = SCMP_ACT_ERRNO(EPERM);
    // Calls of another architecture (i386, x32) would pass a filter written for x86-64.
    if (const int error = Failed(seccomp_attr_set(filter, SCMP_FLTATR_ACT_BADARCH, refuse))) {
        return error;
    }
    Rules rules(filter);
    for (const char* name : kRefused) {
        rules.Add(refuse, seccomp_syscall_resolve_name(name));
    }
    const auto self = static_cast<scmp_datum_t>(getpid());
    for (const char* name : kSignalling) {
        rules.Add(refuse, seccomp_syscall_resolve_name(name), SCMP_A0(SCMP_CMP_NE, self));
    }
    for (const char* name : kSelfOnly) {
        rules.Add(refuse, seccomp_syscall_resolve_name(name), SCMP_A0(SCMP_CMP_NE, 0));
    }
    // Priorities of the worker itself only: PRIO_USER would renice every process of the user,
    // which an ordinary user cannot undo.
    rules.Add(refuse, SCMP_SYS(setpriority), SCMP_A0(SCMP_CMP_NE, PRIO_PROCESS));
    rules.Add(refuse, SCMP_SYS(setpriority), SCMP_A1(SCMP_CMP_NE, 0));
    rules.Add(refuse, SCMP_SYS(ioprio_set), SCMP_A0(SCMP_CMP_NE, kIoprioWhoProcess));
    rules.Add(refuse, SCMP_SYS(ioprio_set), SCMP_A1(SCMP_CMP_NE, 0));
    // A rule compares an argument once: below the first, each value between, above the last.
    rules.Add(refuse, SCMP_SYS(prctl), SCMP_A0(SCMP_CMP_LT, kHarmlessControls.front()));
    for (std::size_t i = 0; i + 1 < kHarmlessControls.size(); ++i) {
        for (scmp_datum_t option = kHarmlessControls[i] + 1; option < kHarmlessControls[i + 1];
             ++option) {
            rules.Add(refuse, SCMP_SYS(prctl), SCMP_A0(SCMP_CMP_EQ, option));
        }
    }
    rules.Add(refuse, SCMP_SYS(prctl), SCMP_A0(SCMP_CMP_GT, kHarmlessControls.back()));
    return rules.Error();
}

} // namespace

int InstallSyscallFilter() {
    const Filter filter(seccomp_init(SCMP_ACT_ALLOW));
    if (!filter) {
        return ENOMEM;
    }
    if (const int error = BuildFilter(filter.get())) {
        return error;
    }
    return Failed(seccomp_load(filter.get()));
}

} // namespace folioxa::sandbox
