#!/bin/bash
# A recording stand-in for a tool of the switch's boot root filesystem.
#
# Every call appends one line to tools.log in the board directory: the path the
# tool was run as, then each argument, separated by 0x1F (backslashes and
# newlines inside arguments escaped as \\ and \n). The sandbox copies in
# /.vswitch/tools/<name>.status (the exit status, default 0) and
# /.vswitch/tools/<name>.effect (a bash snippet run with the tool's arguments
# before it exits) from the board's settings.
board=/.vswitch/board
tool=${0##*/}
config=/.vswitch/tools/$tool

record() {
    local line=$0 arg
    for arg in "$@"; do
        arg=${arg//\\/\\\\}
        line+=$'\x1f'${arg//$'\n'/\\n}
    done
    printf '%s\n' "$line" >>"$board/tools.log"
}

# What the real tool does where the virtual switch models it.
default_effect() {
    case $tool in
    busybox)
        if [[ $1 == md5sum ]]; then
            shift
            exec /bin/md5sum "$@"
        fi
        ;;
    backtrace)
        # The Application OS starter: keep what it was started with.
        local out=$board/appos
        /bin/mkdir -p "$out"
        printf '%s\0' "$0" "$@" >"$out/argv"
        /bin/cat "/proc/$$/environ" >"$out/environ"
        printf '%s\n' "$PWD" >"$out/cwd"
        ;;
    mount)
        # The USB stick: its files are the board directory's usb/ folder.
        local target=${*: -1} device=${*: -2:1}
        if [[ $device == /dev/sda* && -e $device && -d $target ]]; then
            /.vswitch/bin/mount --bind "$board/usb" "$target" || return 32
        fi
        ;;
    umount)
        if [[ ${*: -1} == /mnt/usb ]] && /.vswitch/bin/mountpoint -q /mnt/usb; then
            /.vswitch/bin/umount /mnt/usb || return 32
        fi
        ;;
    esac
    return 0
}

record "$@"
status=0
if [[ -f $config.status ]]; then
    read -r status <"$config.status"
fi
default_effect "$@" || status=$?
if [[ -f $config.effect ]]; then
    # shellcheck source=/dev/null
    source "$config.effect"
fi
exit "$status"
