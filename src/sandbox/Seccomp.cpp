#include "sandbox/Layers.h"

#include <sched.h>
#include <seccomp.h>
#include <sys/ioctl.h>
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
    // programs and processes
    "execve", "execveat", "fork", "vfork",
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

constexpr std::array<unsigned long, 7> kNamespaceFlags = {
    CLONE_NEWNS,  CLONE_NEWUTS, CLONE_NEWIPC,   CLONE_NEWUSER,
    CLONE_NEWPID, CLONE_NEWNET, CLONE_NEWCGROUP};

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
    rules.Add(refuse, SCMP_SYS(setpriority), SCMP_A1(SCMP_CMP_NE, 0));
    // clone makes threads only; clone3 hides its flags in memory the filter cannot read, so it
    // answers "not implemented" and glibc falls back to clone.
    rules.Add(refuse, SCMP_SYS(clone), SCMP_A0(SCMP_CMP_MASKED_EQ, CLONE_THREAD, 0));
    for (const unsigned long flag : kNamespaceFlags) {
        rules.Add(refuse, SCMP_SYS(clone), SCMP_A0(SCMP_CMP_MASKED_EQ, flag, flag));
    }
    rules.Add(SCMP_ACT_ERRNO(ENOSYS), SCMP_SYS(clone3));
    // Typing into the terminal the worker inherited would reach the user's shell.
    for (const scmp_datum_t request : {scmp_datum_t{TIOCSTI}, scmp_datum_t{TIOCLINUX}}) {
        rules.Add(refuse, SCMP_SYS(ioctl), SCMP_A1(SCMP_CMP_MASKED_EQ, 0xFFFFFFFFU, request));
    }
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
