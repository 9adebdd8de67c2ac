#!/bin/sh
# A sample Application OS's install step: it only shows that it ran and which
# program it would start.
echo "Application OS install script: installing $(cat /tmp/home/bin/mp.elf.strip)"
