// The mounts the switch makes, made for it by the sandbox's init.
//
// The switch's processes hold no CAP_SYS_ADMIN and their filter hands each
// mount(2) and umount2(2) to init, which answers it here: a filesystem of
// the switch's own block devices (ext2/3/4 or vfat) on a directory inside
// its root (but not under /proc, /sys, /dev or /.vswitch), always nosuid and
// nodev; the stand-in stick folder bound the same way; and the unmount of
// what was mounted so. Everything else is refused.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <set>
#include <string>

namespace vswitch::sandbox {

class MountBroker {
  public:
    // A block device of the switch (by device number) that it may mount.
    void allow_device(dev_t device) { devices_.insert(device); }
    // A mount made for the switch, which it may unmount again.
    void adopt_mount(const std::string& target);

    // Answers the request waiting on the filter's descriptor.
    void serve(int listener);

  private:
    // Both return 0 or the errno the asking process gets.
    int mount_for(pid_t pid, int memory, const uint64_t args[6]);
    int unmount_for(pid_t pid, int memory, const uint64_t args[6]);

    std::set<dev_t> devices_;
    std::set<uint64_t> mounts_; // mount ids
    // Where each device was last mounted, for an unmount by device name.
    std::map<dev_t, std::string> device_mounts_;
};

// The folder that stands for the stick's files when it is no real device.
constexpr const char* STICK_FOLDER = "/.vswitch/board/usb";

} // namespace vswitch::sandbox
