// Maintenance of the eMMC: the /user filesystem (partition 1), the Tesk
// configuration partition (partition 4) and the partition layout.
#pragma once

// Checks, repairs if needed and mounts /user; converts an eMMC without
// partition 4 to the current layout when the operator agrees. report: print
// the closing OK line; key_timeout: tenths of a second for the layout
// question (0 waits). 1, or the result of repartition_storage when the
// operator chose to recreate an unrepairable filesystem.
int check_user_filesystem(int report, int key_timeout);

// Lays out the eMMC from "/etc/partsetup" and formats partitions 1 and 4,
// leaving partition 1 on /user. Interactive: asks first and keeps what was on
// /user and the configuration partition across the change. 1 on success or
// when declined, 0 when a step failed.
int repartition_storage(int key_timeout, int interactive);

// Key F: the check with its report, waiting for the answer. Always 1.
int rescue_filesystem_check();
// Ctrl-A: removes the manufacturing diagnostics from /user. Always 1.
int wipe_odm_diags();
