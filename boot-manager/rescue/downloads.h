// Image downloads from the rescue menu: TFTP, XMODEM and the USB stick.
#pragma once

void rescue_tftp_download();
void rescue_xmodem_download();
void rescue_usb_install();
