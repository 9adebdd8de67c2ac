// The installation engine: every component of an image file that has arrived
// on the switch goes to its place (flash partitions, image slots on /user, the
// TESK application's eMMC partition, ONIE, ODM diagnostics), each but the boot
// loader after the signature policy has accepted it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

#include "image/install_records.h"
#include "launch/launch.h"
#include "platform/board_paths.h"
#include "platform/process.h"

// Where the engine puts things and what it calls on its way. The defaults are
// the switch's own; tests hand in scratch paths and stand-ins for the tools.
struct InstallEnvironment {
    std::string images_dir = "/user/images";             // slot files and header copies
    std::string odm_dir = "/user/odmdiags";              // ODM diagnostics
    std::string boot_archive = "/tmp/kopraimage.tar.gz"; // an image booted without installing
    std::string tesk_staging = "/tmp/nos-image";         // the TESK image, ".gz" while compressed
    std::string tesk_devices[2] = {"/dev/mmcblk0p2", "/dev/mmcblk0p3"}; // slots 1 and 2
    // Files under this directory come from the USB stick, which can change
    // under the engine: what is written is held to what was verified.
    std::string usb_dir = "/mnt/usb";
    BoardPaths security;
    FILE* input = stdin; // the operator's answers to the slot prompts

    // A fixed command line for the shell (never operator or media text).
    std::function<int(const char*)> run_command = platform::run_shell_command;
    std::function<int(const char* name, uint32_t version, uint32_t crc)> update_records =
        update_install_records;
    // The check and remount of /user before a TESK application is unpacked.
    // It lives above this folder: callers that install from the rescue menu
    // or at start-up pass check_user_filesystem; left empty it is not run.
    std::function<int(int report, int key_timeout)> check_user_filesystem;
    // The hand-over of a downloaded Application OS; never returns on the
    // switch. Should it return, the board is rebooted.
    std::function<void(bool is_diagnostics)> launch = launch_application_os;
};

// Installs every component of the image file at path, in file order.
// check_same_version: skip components already installed; slot: 1 or 2 for
// Application OS and TESK components, 0 to ask the operator. 1 when at least
// one component was installed, else 0. An Application OS booted without
// installing does not return.
[[nodiscard]] int install_image_file(const char* path, int check_same_version, int slot,
                                     const InstallEnvironment& environment = InstallEnvironment{});

// Stores the RTC time, read one second before, as the install time of the
// slot (1 or 2; other slots store nothing). The result of the NVRAM update.
int record_image_timestamp(int slot);
