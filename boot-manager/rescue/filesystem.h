// Maintenance of the /user filesystem on the eMMC.
#pragma once

// Checks, repairs if needed and mounts /user. report: print the closing
// report line; key_timeout: tenths of a second for the confirmation prompt.
int check_user_filesystem(int report, int key_timeout);
