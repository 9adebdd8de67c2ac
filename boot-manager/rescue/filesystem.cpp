#include "rescue/filesystem.h"

#include <sys/stat.h>

#include <cctype>
#include <cstdio>

#include "console/console.h"
#include "platform/files.h"
#include "platform/process.h"

namespace {

bool run(const char* command_line) {
    return platform::command_succeeded(platform::run_shell_command(command_line));
}

void say(const char* line) {
    std::printf("%s\n", line);
    std::fflush(stdout);
}

// Shows a failed tool's output after its message.
int quit_with_log(const char* message, const char* log_command) {
    say(message);
    say("log:");
    platform::run_shell_command(log_command);
    return 0;
}

// What was saved before the partitions were remade, each restored on its own.
struct Backups {
    bool user = false;
    bool config = false;
};

// Copies /user and the configuration partition to /tmp. False when a copy was
// begun and failed: the storage must then stay as it is. A partition that
// cannot be mounted has nothing to save.
bool back_up(Backups& saved) {
    if (platform::path_exists("/sys/block/mmcblk0/mmcblk0p1")) {
        say("\tBacking up Arvo files. This can take a few minutes");
        run("mkdir /tmp/arvo-backup");
        // /user is usually mounted already (the rescue menu): mount it afresh,
        // or the copy would be skipped and the files lost with the format.
        run("umount /dev/mmcblk0p1 &> /dev/null");
        if (run("mount /dev/mmcblk0p1 /user")) {
            // "/." also takes hidden files and an empty /user.
            saved.user = run("cp -a /user/. /tmp/arvo-backup/");
            run("umount /dev/mmcblk0p1");
            if (!saved.user) {
                say("\tFailed to back up Arvo files. Quitting");
                return false;
            }
        } else {
            say("No Arvo partition found to backup");
        }
    }
    say("\tBacking up Tesk configuration files...");
    run("mkdir /tmp/tesk-backup");
    run("mkdir /tmp/zimr-cfg");
    if (run("mount /dev/mmcblk0p4 /tmp/zimr-cfg")) {
        saved.config = run("cp -a /tmp/zimr-cfg/. /tmp/tesk-backup/");
        run("umount /tmp/zimr-cfg");
        if (!saved.config) {
            say("\tFailed to back up Tesk configuration files. Quitting");
            return false;
        }
    } else {
        say("No Tesk config partition found to backup");
    }
    return true;
}

bool restore_user(const Backups& saved, bool user_mounted) {
    if (!saved.user)
        return true;
    say("\tRestoring Arvo filesystem with backup. This can take a few minutes");
    // Copied onto the bare mount point the files would vanish at the reboot.
    if (!user_mounted || !run("cp -a /tmp/arvo-backup/. /user/")) {
        say("\tFailed to restore Arvo backup");
        return false;
    }
    return true;
}

bool restore_config(const Backups& saved) {
    if (!saved.config)
        return true;
    say("\tRestoring Tesk configuration with backup. ");
    const bool restored =
        run("mount /dev/mmcblk0p4 /tmp/zimr-cfg") && run("cp -a /tmp/tesk-backup/. /tmp/zimr-cfg/");
    if (!restored) {
        say("\tFailed to restore Tesk backup");
        return false;
    }
    run("umount /tmp/zimr-cfg");
    return true;
}

} // namespace

int repartition_storage(int key_timeout, int interactive) {
    int answer = 'Y';
    if (interactive) {
        say("It is recommended to backup your configuration before performing this update.");
        std::printf("Confirm: update filesystem y/N: ");
        std::fflush(stdout);
        answer = console_get_key(static_cast<unsigned>(key_timeout));
        say("");
    }
    if (std::toupper(answer) != 'Y') {
        run("mount /dev/mmcblk0p1 /user");
        return 1;
    }

    Backups saved;
    if (interactive && !back_up(saved)) {
        run("mount /dev/mmcblk0p1 /user");
        return 0;
    }

    say("\tCreating new filesystem partitions");
    if (!run("sfdisk /dev/mmcblk0 < /etc/partsetup &> /tmp/repart.txt")) {
        quit_with_log("\tFailed to create partitions. Quitting", "cat /tmp/repart.txt");
        run("mount /dev/mmcblk0p1 /user");
        return 0;
    }

    say("\tReformatting Arvo partition");
    if (!run("mkfs.ext3 -b 4096 /dev/mmcblk0p1 &> /tmp/koprapart.txt"))
        return quit_with_log("\tFailed to format Arvo partition. Quitting",
                             "cat /tmp/koprapart.txt");
    say("\tVerifying Arvo partition");
    if (!run("/sbin/e2fsck -p /dev/mmcblk0p1 &> /dev/null"))
        say("WARNING: Arvo partition not created cleanly");
    const bool user_mounted = run("mount /dev/mmcblk0p1 /user");

    say("\tReformatting Tesk config partition");
    if (!run("mkfs.ext3 -b 4096 /dev/mmcblk0p4 &> /tmp/cfgpart.txt")) {
        quit_with_log("\tFailed to format Tesk config partition. Quitting", "cat /tmp/cfgpart.txt");
        // /user is formatted already: its files must come back all the same.
        static_cast<void>(restore_user(saved, user_mounted));
        return 0;
    }
    say("\tVerifying Tesk config partition");
    if (!run("/sbin/e2fsck -p /dev/mmcblk0p4 &> /dev/null"))
        say("WARNING: Tesk config partition not created cleanly");

    // Each backup is restored on its own: one missing must not cost the other.
    const bool user_restored = restore_user(saved, user_mounted);
    const bool config_restored = restore_config(saved);
    return user_restored && config_restored ? 1 : 0;
}

int check_user_filesystem(int report, int key_timeout) {
    if (!platform::path_exists("/sys/block/mmcblk0/mmcblk0p4")) {
        say("Filesystem partitions need updating.");
        static_cast<void>(repartition_storage(key_timeout, 1));
    } else {
        run("umount /dev/mmcblk0p1 &> /dev/null");
        if (!run("/sbin/e2fsck -p /dev/mmcblk0p1 &> /dev/null")) {
            say("*** Your filesystem has errors. Attempting to recover but data may be lost.***");
            platform::run_shell_command("/sbin/e2fsck -fy /dev/mmcblk0p1");
            if (!run("/sbin/e2fsck -p /dev/mmcblk0p1 &> /dev/null")) {
                say("****** ERROR: Your filesystem is corrupted beyond automated repair ******");
                std::printf("Confirm: Recreate filesystem. Any data will be lost y/N: ");
                std::fflush(stdout);
                const int key = console_wait_key();
                say("");
                if (key == 'y' || key == 'Y')
                    return repartition_storage(key_timeout, 0);
            }
        }
        run("/bin/mount /dev/mmcblk0p1 /user");
    }
    if (report)
        say("Filesystem OK - no action required");
    return 1;
}

int rescue_filesystem_check() {
    static_cast<void>(check_user_filesystem(1, 0));
    return 1;
}

int wipe_odm_diags() {
    if (platform::path_exists("/user/odmdiags")) {
        std::printf("Wiping ODM diags from system...");
        std::fflush(stdout);
        run("rm -rf /user/odmdiags");
        say("Done");
    } else {
        say("No ODM diags to wipe");
    }
    return 1;
}
