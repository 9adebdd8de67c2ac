// The rescue menu on the serial console.
#pragma once

// Returns 1 when the operator chooses Exit; its actions may reboot the board.
int rescue_menu();
