#include "mount_broker.h"

#include <fcntl.h>
#include <linux/stat.h>
#include <seccomp.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>
#include <optional>

#include "platform/unique_fd.h"

namespace vswitch::sandbox {

namespace {

// Options a mount of the switch may ask for; nosuid and nodev it always gets.
constexpr unsigned long MOUNT_OPTIONS =
    MS_RDONLY | MS_NOSUID | MS_NODEV | MS_NOEXEC | MS_SYNCHRONOUS | MS_DIRSYNC | MS_NOATIME |
    MS_NODIRATIME | MS_RELATIME | MS_STRICTATIME | MS_LAZYTIME | MS_SILENT | MS_NOSYMFOLLOW;
constexpr unsigned long SEALS = MS_NOSUID | MS_NODEV;
constexpr int UNMOUNT_FLAGS = MNT_FORCE | MNT_DETACH | UMOUNT_NOFOLLOW;

const char* const filesystems[] = {"ext2", "ext3", "ext4", "vfat"};
// What the sandbox itself placed there: kernel views, devices, the board.
const char* const reserved_trees[] = {"/proc", "/sys", "/dev", "/.vswitch"};

using Descriptor = platform::UniqueFd;

std::string magic_link(const Descriptor& fd) {
    return "/proc/self/fd/" + std::to_string(fd.get());
}

// The text at `address` in the memory of the asking process; no value for a
// null pointer; false when it cannot be read.
bool read_string(int memory, uint64_t address, std::optional<std::string>& out) {
    out.reset();
    if (address == 0)
        return true;
    std::string text;
    constexpr uint64_t PAGE = 4096;
    char buffer[PAGE];
    while (text.size() <= PATH_MAX) {
        // One page at a time: the next one may not be mapped.
        size_t chunk = PAGE - address % PAGE;
        ssize_t got = ::pread(memory, buffer, chunk, static_cast<off_t>(address));
        if (got <= 0)
            return false;
        if (const void* end = std::memchr(buffer, 0, static_cast<size_t>(got))) {
            text.append(buffer, static_cast<const char*>(end) - buffer);
            out = text;
            return true;
        }
        text.append(buffer, static_cast<size_t>(got));
        address += static_cast<uint64_t>(got);
    }
    return false;
}

// Opens a path as the asking process names it (init shares its root; a
// relative path starts from its working directory).
int open_as(pid_t pid, const std::string& path, int flags) {
    flags |= O_PATH | O_CLOEXEC;
    if (!path.empty() && path[0] == '/')
        return ::open(path.c_str(), flags);
    Descriptor cwd(::open(("/proc/" + std::to_string(pid) + "/cwd").c_str(),
                          O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (cwd.get() < 0)
        return -1;
    return ::openat(cwd.get(), path.c_str(), flags);
}

std::string path_of(const Descriptor& fd) {
    char path[PATH_MAX + 1] = {};
    ssize_t length = ::readlink(magic_link(fd).c_str(), path, PATH_MAX);
    return length > 0 ? std::string(path, static_cast<size_t>(length)) : std::string();
}

bool reserved(const std::string& path) {
    if (path.empty() || path == "/")
        return true;
    for (const char* tree : reserved_trees)
        if (path == tree || path.rfind(std::string(tree) + "/", 0) == 0)
            return true;
    return false;
}

// The id of the mount whose root fd is, or nothing when fd is no mount root.
std::optional<uint64_t> mount_root_id(const Descriptor& fd) {
    struct statx info {};
    if (::statx(fd.get(), "", AT_EMPTY_PATH, STATX_MNT_ID, &info) != 0 ||
        !(info.stx_mask & STATX_MNT_ID) || !(info.stx_attributes & STATX_ATTR_MOUNT_ROOT))
        return std::nullopt;
    return info.stx_mnt_id;
}

int result(int rc) {
    return rc == 0 ? 0 : errno;
}

struct Request {
    std::optional<std::string> source, target, type, data;
};

} // namespace

void MountBroker::adopt_mount(const std::string& target) {
    Descriptor at(::open(target.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (auto id = mount_root_id(at))
        mounts_.insert(*id);
}

int MountBroker::mount_for(pid_t pid, int memory, const uint64_t args[6]) {
    Request request;
    if (!read_string(memory, args[0], request.source) ||
        !read_string(memory, args[1], request.target) ||
        !read_string(memory, args[2], request.type) || !read_string(memory, args[4], request.data))
        return EFAULT;
    unsigned long flags = args[3];
    if ((flags & MS_MGC_MSK) == MS_MGC_VAL)
        flags &= ~MS_MGC_MSK;
    if (!request.target)
        return EFAULT;
    Descriptor target(open_as(pid, *request.target, O_DIRECTORY));
    if (target.get() < 0)
        return errno;
    std::string at = path_of(target);
    if (reserved(at))
        return EPERM;
    const char* data = request.data ? request.data->c_str() : nullptr;

    if (flags & MS_REMOUNT) {
        // Options of a mount made here; the seals stay.
        if ((flags & ~(MOUNT_OPTIONS | MS_REMOUNT | MS_BIND)) || !mount_root_id(target) ||
            !mounts_.count(*mount_root_id(target)))
            return EPERM;
        return result(::mount(nullptr, magic_link(target).c_str(), nullptr, flags | SEALS, data));
    }
    if (flags & MS_BIND) {
        if ((flags & ~(MS_BIND | MS_REC | MS_SILENT)) || !request.source)
            return EPERM;
        Descriptor folder(open_as(pid, *request.source, O_DIRECTORY));
        if (folder.get() < 0)
            return errno;
        if (path_of(folder) != STICK_FOLDER)
            return EPERM;
        if (::mount(magic_link(folder).c_str(), magic_link(target).c_str(), nullptr, MS_BIND,
                    nullptr) != 0)
            return errno;
        if (::mount(nullptr, at.c_str(), nullptr, MS_BIND | MS_REMOUNT | SEALS, nullptr) != 0) {
            int error = errno;
            ::umount2(at.c_str(), MNT_DETACH | UMOUNT_NOFOLLOW);
            return error;
        }
        adopt_mount(at);
        return 0;
    }
    if (flags & ~MOUNT_OPTIONS)
        return EPERM;
    bool known = false;
    for (const char* filesystem : filesystems)
        known = known || (request.type && *request.type == filesystem);
    if (!known)
        return ENODEV;
    if (!request.source)
        return ENOTBLK;
    Descriptor device(open_as(pid, *request.source, 0));
    struct stat info {};
    if (device.get() < 0 || ::fstat(device.get(), &info) != 0)
        return errno;
    if (!S_ISBLK(info.st_mode))
        return ENOTBLK;
    if (!devices_.count(info.st_rdev))
        return EACCES;
    // By name, as /proc/mounts shows it. No other block device can take that
    // name meanwhile: the switch can neither make device nodes nor mount.
    if (::mount(path_of(device).c_str(), magic_link(target).c_str(), request.type->c_str(),
                flags | SEALS, data) != 0)
        return errno;
    adopt_mount(at);
    device_mounts_[info.st_rdev] = at;
    return 0;
}

int MountBroker::unmount_for(pid_t pid, int memory, const uint64_t args[6]) {
    std::optional<std::string> name;
    if (!read_string(memory, args[0], name) || !name)
        return EFAULT;
    int flags = static_cast<int>(args[1]);
    if (flags & ~UNMOUNT_FLAGS)
        return EINVAL;
    Descriptor target(open_as(pid, *name, (flags & UMOUNT_NOFOLLOW) ? O_NOFOLLOW : 0));
    if (target.get() < 0)
        return errno;
    auto id = mount_root_id(target);
    if (!id)
        return EINVAL;
    if (!mounts_.count(*id)) {
        // The switch's device nodes are bound into /dev, so umount given a
        // device takes the node for the mount point: unmount what the board
        // would, the filesystem last mounted from that device.
        struct stat info {};
        if (::fstat(target.get(), &info) != 0 || !S_ISBLK(info.st_mode))
            return EPERM;
        auto mounted = device_mounts_.find(info.st_rdev);
        if (mounted == device_mounts_.end())
            return EINVAL;
        target.reset();
        Descriptor mount_point(::open(mounted->second.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        struct stat mounted_fs {};
        id = mount_root_id(mount_point);
        if (!id || !mounts_.count(*id) || ::fstat(mount_point.get(), &mounted_fs) != 0 ||
            mounted_fs.st_dev != info.st_rdev)
            return EINVAL;
        mount_point.reset();
        if (::umount2(mounted->second.c_str(), flags | UMOUNT_NOFOLLOW) != 0)
            return errno;
        mounts_.erase(*id);
        device_mounts_.erase(mounted);
        return 0;
    }
    // By name: a descriptor held here would keep the mount busy.
    std::string at = path_of(target);
    target.reset();
    if (::umount2(at.c_str(), flags | UMOUNT_NOFOLLOW) != 0)
        return errno;
    mounts_.erase(*id);
    return 0;
}

void MountBroker::serve(int listener) {
    seccomp_notif* request = nullptr;
    seccomp_notif_resp* response = nullptr;
    if (seccomp_notify_alloc(&request, &response) != 0)
        return;
    std::unique_ptr<seccomp_notif, void (*)(seccomp_notif*)> owner(
        request, [](seccomp_notif* r) { seccomp_notify_free(r, nullptr); });
    std::unique_ptr<seccomp_notif_resp, void (*)(seccomp_notif_resp*)> owner_response(
        response, [](seccomp_notif_resp* r) { seccomp_notify_free(nullptr, r); });
    std::memset(request, 0, sizeof *request);
    if (seccomp_notify_receive(listener, request) != 0)
        return; // the asking process is gone
    int error = EPERM;
    auto pid = static_cast<pid_t>(request->pid);
    const auto* args = reinterpret_cast<const uint64_t*>(request->data.args);
    Descriptor memory(
        ::open(("/proc/" + std::to_string(pid) + "/mem").c_str(), O_RDONLY | O_CLOEXEC));
    // The request still standing after the open proves the pid was not
    // reused by another process meanwhile.
    if (memory.get() >= 0 && seccomp_notify_id_valid(listener, request->id) == 0) {
        if (request->data.nr == seccomp_syscall_resolve_name("mount"))
            error = mount_for(pid, memory.get(), args);
        else if (request->data.nr == seccomp_syscall_resolve_name("umount2"))
            error = unmount_for(pid, memory.get(), args);
    }
    response->id = request->id;
    response->val = 0;
    response->error = -error;
    response->flags = 0;
    (void)seccomp_notify_respond(listener, response);
}

} // namespace vswitch::sandbox
