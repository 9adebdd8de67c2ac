// The boot settings the rescue menu changes in NVRAM, and the versions of
// what is installed.
#pragma once

// Key I: the slot that boots next. 1 when a slot was stored, 0 on "q".
int select_boot_image();
// Key C. Arvo mode: the configuration block, 1 when one was stored, 0 on any
// other key. Tesk mode: asks for the factory-default configuration; always 1.
int select_config_block();
// Key V: the version of every installed component; always 0.
int show_installed_images();
