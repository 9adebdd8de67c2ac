#include "confine.h"

#include <linux/capability.h>
#include <sched.h>
#include <seccomp.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

namespace vswitch::sandbox {

namespace {

// Held in the switch's own user namespace only, which owns nothing of this
// machine but the switch's network namespace: the network capabilities reach
// no interface, route or address but the switch's own. Everything else stays
// out: with CAP_SYS_ADMIN, CAP_DAC_READ_SEARCH, CAP_SYS_PTRACE, CAP_BPF,
// CAP_MKNOD, CAP_SYS_RAWIO or CAP_SYS_RESOURCE a process could reach this
// machine's devices, files, kernel or limits, however well its namespaces are
// sealed.
constexpr int kept[] = {
    // Image unpacking (tar, cp -p) keeps the owners the image gives.
    CAP_CHOWN,
    // The switch's programs run as root, who reads and writes any file of
    // the switch whatever its mode bits say.
    CAP_DAC_OVERRIDE,
    // ...and changes modes and times of files it does not own (tar, touch).
    CAP_FOWNER,
    // ifconfig, route and the Ethernet driver's requests on eth0.
    CAP_NET_ADMIN,
    // dhclient's raw sockets.
    CAP_NET_RAW,
};

// System calls the switch never makes and that reach past its namespaces.
const char* const refused_calls[] = {
    "pivot_root",
    "open_by_handle_at",
    "kexec_load",
    "kexec_file_load",
    "init_module",
    "finit_module",
    "delete_module",
    "add_key",
    "request_key",
    "keyctl",
    "bpf",
#if !defined(__SANITIZE_ADDRESS__)
    // A sanitizer build's leak check stops the program's threads with ptrace
    // at exit; it is a build for tests only, never for a board.
    "ptrace",
#endif
    "process_vm_readv",
    "process_vm_writev",
    "perf_event_open",
    "userfaultfd",
    "unshare",
    "setns",
    "chroot",
    "acct",
    "swapon",
    "swapoff",
    "syslog",
    "iopl",
    "ioperm",
    "quotactl",
    "lookup_dcookie",
    "uselib",
    "fanotify_init",
    "name_to_handle_at",
};

// The new mount interface and clone3 (whose flags a filter cannot see) look
// absent, so that tools fall back to the calls the filter can judge.
const char* const absent_calls[] = {"fsopen",     "fsconfig",  "fsmount",       "fspick",
                                    "move_mount", "open_tree", "mount_setattr", "clone3"};

constexpr uint64_t namespace_flags[] = {CLONE_NEWUSER, CLONE_NEWNS,  CLONE_NEWPID,   CLONE_NEWNET,
                                        CLONE_NEWUTS,  CLONE_NEWIPC, CLONE_NEWCGROUP};

// Loop device requests ('L' ioctls): detaching the switch's loop device
// would hand its /dev node whatever this machine attaches there next.
constexpr uint64_t LOOP_IOCTL_MASK = 0xFFFFFF00;
constexpr uint64_t LOOP_IOCTL_TYPE = 0x4C00;

struct FilterDeleter {
    void operator()(void* ctx) const { seccomp_release(ctx); }
};
using Filter = std::unique_ptr<void, FilterDeleter>;

bool add_rule(void* ctx, uint32_t action, const char* name, unsigned count = 0,
              const scmp_arg_cmp* args = nullptr) {
    int call = seccomp_syscall_resolve_name(name);
    if (call == __NR_SCMP_ERROR)
        return true; // unknown to this architecture: nothing to refuse
    return seccomp_rule_add_array(ctx, action, call, count, args) == 0;
}

bool build_filter(void* ctx) {
    bool ok = add_rule(ctx, SCMP_ACT_NOTIFY, "mount") && add_rule(ctx, SCMP_ACT_NOTIFY, "umount2");
    for (const char* name : refused_calls)
        ok = ok && add_rule(ctx, SCMP_ACT_ERRNO(EPERM), name);
    for (const char* name : absent_calls)
        ok = ok && add_rule(ctx, SCMP_ACT_ERRNO(ENOSYS), name);
    for (uint64_t flag : namespace_flags) {
        scmp_arg_cmp in_flags = SCMP_A0(SCMP_CMP_MASKED_EQ, flag, flag);
        ok = ok && add_rule(ctx, SCMP_ACT_ERRNO(EPERM), "clone", 1, &in_flags);
    }
    // The ioctl request is 32 bits wide: the masks ignore the upper half.
    scmp_arg_cmp loop = SCMP_A1(SCMP_CMP_MASKED_EQ, LOOP_IOCTL_MASK, LOOP_IOCTL_TYPE);
    scmp_arg_cmp typing = SCMP_A1(SCMP_CMP_MASKED_EQ, 0xFFFFFFFF, TIOCSTI);
    ok = ok && add_rule(ctx, SCMP_ACT_ERRNO(EPERM), "ioctl", 1, &loop) &&
         add_rule(ctx, SCMP_ACT_ERRNO(EPERM), "ioctl", 1, &typing);
    return ok;
}

int last_capability() {
    int cap = CAP_LAST_CAP;
    while (::prctl(PR_CAPBSET_READ, cap + 1, 0, 0, 0) >= 0)
        ++cap;
    return cap;
}

bool limit_capabilities(std::string& error) {
    const uint64_t keep = kept_capabilities();
    for (int cap = 0; cap <= last_capability(); ++cap)
        if (!(keep & (1ULL << cap)) && ::prctl(PR_CAPBSET_DROP, cap, 0, 0, 0) != 0) {
            error = "drop capability " + std::to_string(cap) + ": " + std::strerror(errno);
            return false;
        }
    if (::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0) != 0) {
        error = std::string("clear ambient capabilities: ") + std::strerror(errno);
        return false;
    }
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] = {};
    for (int half = 0; half < 2; ++half) {
        auto bits = static_cast<uint32_t>(keep >> (32 * half));
        data[half] = {bits, bits, bits};
    }
    if (::syscall(SYS_capset, &header, data) != 0) {
        error = std::string("capset: ") + std::strerror(errno);
        return false;
    }
    return true;
}

} // namespace

uint64_t kept_capabilities() {
    uint64_t mask = 0;
    for (int cap : kept)
        mask |= 1ULL << cap;
    return mask;
}

int confine(int user_namespace, std::string& error) {
    // Every capability the process keeps is one of that namespace: none is
    // left in this machine's.
    if (::setns(user_namespace, CLONE_NEWUSER) != 0) {
        error = std::string("enter the switch's user namespace: ") + std::strerror(errno);
        return -1;
    }
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
        error = std::string("no new privileges: ") + std::strerror(errno);
        return -1;
    }
    if (!limit_capabilities(error))
        return -1;
    Filter filter(seccomp_init(SCMP_ACT_ALLOW));
    if (!filter || !build_filter(filter.get())) {
        error = "cannot build the system call filter";
        return -1;
    }
    int rc = seccomp_load(filter.get());
    if (rc != 0) {
        error = std::string("load the system call filter: ") + std::strerror(-rc);
        return -1;
    }
    int listener = seccomp_notify_fd(filter.get());
    if (listener < 0)
        error = "no descriptor for mount requests";
    return listener;
}

} // namespace vswitch::sandbox
