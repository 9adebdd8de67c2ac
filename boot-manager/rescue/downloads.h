// Image downloads from the rescue menu: TFTP over the management port, XMODEM
// over the serial console, and a pick list of the files on the USB stick.
// Each hands the file to the installation engine, asking for the slot, and
// appends the install log when something was installed.
#pragma once

// "/tmp/image": where TFTP and XMODEM land the file. A file already there
// from an earlier download counts as downloaded.
constexpr const char* DOWNLOADED_IMAGE_PATH = "/tmp/image";

// Each returns 1 when at least one component was installed, else 0 (also
// when the operator quits or the download fails).
int rescue_tftp_download();
int rescue_xmodem_download();
int rescue_usb_install();
