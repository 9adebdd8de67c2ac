#!/usr/bin/env bash
# Proves brova_irq in a real kernel: builds the driver for the simulated
# board against Debian's kernel headers, boots that same Debian kernel in
# QEMU (TCG) with a BusyBox initramfs holding the modules and the test
# program, and reports every case. Events that restart the board each get
# a boot of their own (-no-reboot: a reset ends QEMU).
#
# Usage: run_vm_test.sh [work-dir]
# Exit status: 0 all cases passed, 1 a case failed or the run broke,
# 77 this host cannot run the test at all (not x86-64).
set -euo pipefail

SKIP=77
here=$(cd "$(dirname "$0")" && pwd)
src=$(dirname "$here")
work=${1:-}
if [[ -z $work ]]; then
	work=$(mktemp -d /tmp/brova-irq-vm.XXXXXX)
fi
mkdir -p "$work"
work=$(cd "$work" && pwd)

# Restart modes, each booted on its own; "main" holds every other case.
restart_modes=(button_unregistered button_zombie wd_unregistered wd_exited)

results=()
npass=0
nfail=0

report() { # name, PASS|FAIL, detail...
	local name=$1 verdict=$2
	shift 2
	if [[ $verdict == PASS ]]; then
		npass=$((npass + 1))
		results+=("PASS  $name")
	else
		nfail=$((nfail + 1))
		results+=("FAIL  $name: $*")
	fi
}

die() {
	echo "run_vm_test: $*" >&2
	exit 1
}

if [[ $(uname -m) != x86_64 ]]; then
	echo "run_vm_test: SKIP: Debian's amd64 kernel and headers need an x86-64 host"
	exit $SKIP
fi

need() { # command, package
	command -v "$1" >/dev/null 2>&1 || die "$1 missing (Debian package $2; scripts/setup installs it)"
}
need qemu-system-x86_64 qemu-system-x86
need cpio cpio
need gzip gzip
need make make
need cc gcc
need modinfo kmod
[[ -x /bin/busybox ]] || die "/bin/busybox missing (Debian package busybox-static)"
if readelf -l /bin/busybox 2>/dev/null | grep -q 'program interpreter'; then
	die "/bin/busybox is not static (install busybox-static)"
fi

# The newest installed Debian kernel image whose headers are installed too.
kver=""
for img in /boot/vmlinuz-*-amd64; do
	[[ -e $img ]] || continue
	v=${img#/boot/vmlinuz-}
	if [[ -f /lib/modules/$v/build/Makefile ]]; then
		kver=$(printf '%s\n%s\n' "$kver" "$v" | sed '/^$/d' | sort -V | tail -n1)
	fi
done
[[ -n $kver ]] || die "no /boot/vmlinuz-*-amd64 with matching headers (Debian packages linux-image-amd64, linux-headers-amd64)"
kernel=/boot/vmlinuz-$kver
kdir=/lib/modules/$kver/build
echo "run_vm_test: kernel $kver, work directory $work"

# ---------------------------------------------------------------- build

build_module() { # board, directory
	rm -rf "$2"
	mkdir -p "$2"
	cp "$src"/Kbuild "$src"/Makefile "$src"/*.c "$src"/*.h "$2"/
	make -C "$kdir" M="$2" BROVA_BOARD="$1" modules >"$2/build.log" 2>&1
}

if build_module sim "$work/sim"; then
	report build_sim_board PASS
else
	cat "$work/sim/build.log"
	die "the driver does not build for the simulated board"
fi

# The switch's board layer, compiled for this kernel too.
if build_module switch "$work/switch"; then
	report build_switch_board PASS
else
	cat "$work/switch/build.log"
	report build_switch_board FAIL "see $work/switch/build.log"
fi

# What modinfo shows of the driver.
ko=$work/sim/brova_irq.ko
minfo() { modinfo -F "$1" "$ko" | tr -d '\n'; }
if [[ $(minfo license) == GPL && $(minfo description) == "Brova interrupt driver" &&
	$(minfo parm) == "pid:PID of process to send signal too when watchdog expires (int)" &&
	$(minfo vermagic) == "$kver "* ]]; then
	report module_info PASS
else
	report module_info FAIL "$(modinfo "$ko" | tr '\n' ';')"
fi

cc -static -O2 -Wall -Wextra -Werror -pthread -o "$work/brova-irq-test" \
	"$here/brova_irq_test.c" || die "the test program does not build"

# ---------------------------------------------------------------- initramfs

root=$work/initramfs
rm -rf "$root"
mkdir -p "$root"/{bin,dev,proc,sys,tmp,lib/brova}
cp /bin/busybox "$root/bin/busybox"
cp "$work/brova-irq-test" "$root/bin/brova-irq-test"
cp "$work/sim/brova_irq.ko" "$work/sim/brova_irq_sim.ko" "$root/lib/brova/"
cat >"$root/init" <<'EOF'
#!/bin/busybox sh
/bin/busybox mount -t proc proc /proc
/bin/busybox mount -t sysfs sysfs /sys
/bin/busybox mount -t devtmpfs devtmpfs /dev
/bin/busybox mount -t debugfs debugfs /sys/kernel/debug
/bin/brova-irq-test
echo "BROVA-INIT test program ended with status $?"
/bin/busybox poweroff -f
EOF
chmod 755 "$root/init"
(cd "$root" && find . | LC_ALL=C sort | cpio -o -H newc --quiet | gzip -1) >"$work/initrd.gz"

# ---------------------------------------------------------------- boots

boot() { # mode
	local mode=$1 rc=0
	timeout 600 qemu-system-x86_64 -machine q35 -accel tcg -smp 2 -m 256M \
		-display none -monitor none -no-reboot \
		-serial file:"$work/serial-$mode.log" \
		-device isa-debug-exit,iobase=0xf4,iosize=0x04 \
		-kernel "$kernel" -initrd "$work/initrd.gz" \
		-append "console=ttyS0 console_msg_format=syslog quiet panic=-1 brova.mode=$mode" \
		</dev/null >"$work/qemu-$mode.log" 2>&1 || rc=$?
	echo "$rc" >"$work/rc-$mode"
}

# Two machines at a time: CI has two cores.
jobs_max=$(nproc)
((jobs_max >= 2)) || jobs_max=1
((jobs_max <= 2)) || jobs_max=2
for mode in main "${restart_modes[@]}"; do
	rm -f "$work/serial-$mode.log" "$work/rc-$mode"
	while (($(jobs -rp | wc -l) >= jobs_max)); do
		wait -n || true
	done
	boot "$mode" &
done
wait

# ---------------------------------------------------------------- results

# Console text without carriage returns.
serial() { tr -d '\r' <"$work/serial-$1.log" 2>/dev/null || true; }

fault_lines() { # mode
	{ serial "$1" | grep -E 'Kernel panic|BUG:|Oops|WARNING:|Call Trace|general protection'; } || true
}

check_main() {
	local rc log faults line name rest
	rc=$(cat "$work/rc-main" 2>/dev/null || echo none)
	log=$(serial main)
	while IFS= read -r line; do
		line=${line#*BROVA-CASE }
		name=${line%% *}
		rest=${line#"$name"}
		if [[ $rest == " PASS" ]]; then
			report "$name" PASS
		else
			report "$name" FAIL "${rest# FAIL: }"
		fi
	done < <(grep -o 'BROVA-CASE .*' <<<"$log" || true)
	grep -q 'BROVA-SUMMARY .* passed, 0 failed' <<<"$log" ||
		report main_boot FAIL "no clean summary (see $work/serial-main.log)"
	grep -q 'BROVA-END' <<<"$log" || report main_boot FAIL "test program did not finish"
	[[ $rc == 33 ]] || report main_boot FAIL "QEMU ended with $rc, expected 33 (orderly end)"
	faults=$(fault_lines main)
	[[ -z $faults ]] || report main_boot FAIL "kernel faults: $faults"
}

# Kernel lines of the driver after the BROVA-ARMED marker, as "<level>text".
driver_lines_after_armed() { # mode
	{ serial "$1" | sed -n '/BROVA-ARMED/,$p' |
		sed -nE 's/^.*(<[0-7]>)\[ *[0-9]+\.[0-9]+\] (.*)$/\1\2/p' |
		grep -E '^<[0-7]>(.*-Brova IRQ:|IRQ DRIVER:|\*\*\*\*\*)'; } || true
}

check_restart() { # mode
	local mode=$1 rc log expected got faults why=""
	rc=$(cat "$work/rc-$mode" 2>/dev/null || echo none)
	log=$(serial "$mode")
	expected=$(sed -n 's/^.*BROVA-EXPECT //p' <<<"$log")
	got=$(driver_lines_after_armed "$mode")
	faults=$(fault_lines "$mode")
	if ! grep -q "BROVA-ARMED $mode" <<<"$log"; then
		why="the event was never triggered: $({ grep -o 'BROVA-CASE .*' <<<"$log" || true; } | tr '\n' ' ')"
	elif grep -q 'BROVA-END' <<<"$log"; then
		why="the machine was not restarted"
	elif [[ $rc != 0 ]]; then
		why="QEMU ended with $rc, expected 0 (board reset)"
	elif [[ -z $expected || $expected != "$got" ]]; then
		why="kernel lines before the reset: [$(tr '\n' '|' <<<"$got")] expected [$(tr '\n' '|' <<<"$expected")]"
	elif [[ -n $faults ]]; then
		why="kernel faults: $faults"
	fi
	if [[ -z $why ]]; then
		report "restart_$mode" PASS
	else
		report "restart_$mode" FAIL "$why (see $work/serial-$mode.log)"
	fi
}

check_main
for mode in "${restart_modes[@]}"; do
	check_restart "$mode"
done

printf '%s\n' "${results[@]}"
echo "brova_irq VM test: $npass passed, $nfail failed"
((nfail == 0))
