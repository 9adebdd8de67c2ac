// The rescue menu's actions that leave the dialogues (downloads, storage,
// security keys, flash reads) do nothing in the menu's fuzz target.
#include "image/installed_header.h"
#include "rescue/downloads.h"
#include "rescue/filesystem.h"
#include "rescue/low_security.h"

int rescue_tftp_download() {
    return 0;
}
int rescue_xmodem_download() {
    return 0;
}
int rescue_usb_install() {
    return 0;
}
int physical_presence_test(const BoardPaths&) {
    return 0;
}
int wipe_security_keys() {
    return 0;
}
int wipe_odm_diags() {
    return 0;
}
int rescue_filesystem_check() {
    return 0;
}
int read_installed_header(uint32_t, uint8_t*, int) {
    return 0;
}
