#include "rescue/downloads.h"

#include <cstdio>

// Stand-ins until the downloads exist.
void rescue_tftp_download() {
    std::printf("TFTP download is not available yet.\n");
}
void rescue_xmodem_download() {
    std::printf("XMODEM download is not available yet.\n");
}
void rescue_usb_install() {
    std::printf("USB install is not available yet.\n");
}
