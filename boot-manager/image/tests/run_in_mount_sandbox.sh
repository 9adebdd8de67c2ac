#!/bin/bash
# Runs a test program that uses the switch's fixed paths (/user, /tmp, the
# "mount" command) sealed off from this machine: new mount and PID
# namespaces, a private root on a tmpfs with the machine's programs bound in
# read-only, empty tmpfs /user and /tmp, recording fakes for mount and umount
# first on PATH, and the clock, reboot and module capabilities dropped.
#
#   run_in_mount_sandbox.sh [--bind DIR]... [--] COMMAND [ARGS...]
#
# Each --bind DIR (the build tree, say) is seen read-only at the same path
# inside; so is the directory of COMMAND when it is a path. COMMAND may be an
# emulator followed by the program it runs.
#
# Inside, /fake/tools.log gets one line per fake call ("mount ARGS..."), and a
# file /fake/<tool>.status holds the exit status a fake returns (default 0).
set -euo pipefail

if [[ ${1-} != --inside ]]; then
    [[ $(id -u) == 0 ]] || { echo "$0: needs root (namespaces)" >&2; exit 2; }
    exec unshare --mount --pid --fork --propagation private -- "$0" --inside "$@"
fi
shift
binds=()
while (($#)); do
    case $1 in
    --bind) binds+=("$(readlink -f "$2")"); shift 2 ;;
    --) shift; break ;;
    *) break ;;
    esac
done
(($# >= 1)) || { echo "usage: $0 [--bind DIR]... [--] COMMAND [ARGS...]" >&2; exit 2; }
command=("$@")
if [[ $1 == */* ]]; then
    command[0]=$(readlink -f "$1")
    binds+=("$(dirname "${command[0]}")")
fi

# /mnt serves as the mount point, so nothing is left behind on this machine;
# the tmpfs over it lives only in this mount namespace.
root=/mnt
for dir in "${binds[@]}"; do
    [[ $dir != /mnt && $dir != /mnt/* ]] || { echo "$0: cannot bind $dir from under /mnt" >&2; exit 2; }
done
/usr/bin/mount -t tmpfs -o mode=0755 sandbox-root "$root"

# The machine's programs and libraries, read-only; merged-usr links as links.
for entry in bin sbin lib lib32 lib64 libx32 usr etc; do
    [[ -e /$entry || -L /$entry ]] || continue
    if [[ -L /$entry ]]; then
        cp -P "/$entry" "$root/$entry"
    else
        mkdir "$root/$entry"
        /usr/bin/mount --rbind -o ro "/$entry" "$root/$entry"
        /usr/bin/mount -o remount,bind,ro "$root/$entry"
    fi
done

mkdir -p "$root/dev" "$root/proc" "$root/tmp" "$root/user" "$root/fake"
/usr/bin/mount --rbind /dev "$root/dev"
/usr/bin/mount -t proc proc "$root/proc"
/usr/bin/mount -t tmpfs -o mode=1777 sandbox-tmp "$root/tmp"
/usr/bin/mount -t tmpfs -o mode=0755 sandbox-user "$root/user"

# The build tree, so that the program runs in place.
for dir in "${binds[@]}"; do
    mkdir -p "$root$dir"
    /usr/bin/mount --bind "$dir" "$root$dir"
    /usr/bin/mount -o remount,bind,ro "$root$dir"
done

for tool in mount umount; do
    cat >"$root/fake/$tool" <<'EOF'
#!/bin/sh
tool=${0##*/}
echo "$tool $*" >>/fake/tools.log
if [ -f "/fake/$tool.status" ]; then
    exit "$(cat "/fake/$tool.status")"
fi
exit 0
EOF
    chmod 0755 "$root/fake/$tool"
done

exec chroot "$root" /usr/bin/setpriv \
    --bounding-set -sys_time,-sys_boot,-sys_module,-sys_rawio,-mknod -- \
    /usr/bin/env PATH=/fake:/usr/sbin:/usr/bin:/sbin:/bin IMAGE_TEST_SANDBOX=1 \
    HOME=/tmp TMPDIR=/tmp "${command[@]}"
