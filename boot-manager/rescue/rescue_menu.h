// The rescue menu on the serial console.
#pragma once

// Lists the options offered in the board's OS mode, reads one key, runs every
// row bound to it and lists again, until Exit. Returns 1 on Exit; the actions
// may reboot the board.
int rescue_menu();

// Key R: waits 1 s and reboots the board.
[[noreturn]] int rescue_reboot();
// Key E: 1 at once in Arvo mode. In Tesk mode the board reboots, after an
// interactive shell when the boot option asks for one.
int rescue_exit();
