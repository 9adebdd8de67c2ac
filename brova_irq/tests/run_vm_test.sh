#!/usr/bin/env bash
# Proves brova_irq in a real kernel: builds the driver for the simulated
# board against Debian's kernel headers, boots that same Debian kernel in
# QEMU (TCG) with a BusyBox initramfs holding the modules and the test
# program (on the kernel's selftest harness), and reports every case.
# Events that restart the board each get a boot of their own (-no-reboot:
# a reset ends QEMU). The switch's board layer is compiled by
# ppc_compile_test.sh.
#
# Usage: run_vm_test.sh [work-dir]
# Exit status: 0 all cases passed, 1 a case failed or the run broke,
# 77 this host cannot run the test at all (not x86-64).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
work=${1:-$(mktemp -d /tmp/brova-irq-vm.XXXXXX)}
work=$(mkdir -p "$work" && cd "$work" && pwd)
tarball=/usr/src/linux-source-6.1.tar.xz
# The event rows that restart the board; "main" boots every other case.
restarts=(button_unregistered button_reused wd_unregistered wd_killed)
npass=0 nfail=0

die() { echo "run_vm_test: $*" >&2; exit 1; }
report() { # PASS|FAIL, name, why...
	echo "$1  $2${3:+: ${*:3}}"
	if [[ $1 == PASS ]]; then npass=$((npass + 1)); else nfail=$((nfail + 1)); fi
}
check() { # name, got, expected
	if [[ $2 == "$3" ]]; then report PASS "$1"; else report FAIL "$1" "[$2] expected [$3]"; fi
}

[[ $(uname -m) == x86_64 ]] || { echo "run_vm_test: SKIP: Debian's amd64 kernel and headers need an x86-64 host"; exit 77; }
for need in qemu-system-x86_64:qemu-system-x86 cpio:cpio gzip:gzip make:make cc:gcc modinfo:kmod; do
	command -v "${need%%:*}" >/dev/null || die "${need%%:*} missing (Debian package ${need#*:}; scripts/setup installs it)"
done
[[ -f $tarball ]] || die "$tarball missing (Debian package linux-source-6.1)"
[[ -x /bin/busybox ]] && ! readelf -l /bin/busybox | grep -q 'program interpreter' ||
	die "/bin/busybox missing or not static (Debian package busybox-static)"
# The newest installed Debian kernel image whose headers are installed too.
kver=$(ls /lib/modules/*-amd64/build/Makefile 2>/dev/null | cut -d/ -f4 | sort -V | tail -n1 || true)
[[ -n $kver && -f /boot/vmlinuz-$kver ]] || die "no /boot/vmlinuz-*-amd64 with matching headers (Debian packages linux-image-amd64, linux-headers-amd64)"
echo "run_vm_test: kernel $kver, work directory $work"

sim=$work/sim root=$work/initramfs
rm -rf "$sim" "$root" && mkdir -p "$sim" "$work/ksft" "$root"/{bin,dev,proc,sys,tmp,lib/brova}
cp "$here"/../Kbuild "$here"/../Makefile "$here"/../*.c "$here"/../*.h "$sim"/
make -C "/lib/modules/$kver/build" M="$sim" BROVA_BOARD=sim modules >"$sim/build.log" 2>&1 ||
	{ cat "$sim/build.log"; die "the driver does not build for the simulated board"; }
check module_info "$(for f in license description parm; do modinfo -F $f "$sim/brova_irq.ko"; done | tr '\n' '|')" \
	"GPL|Brova interrupt driver|pid:PID of process to send signal too when watchdog expires (int)|"

# The kernel's selftest harness comes with the kernel source package; the
# harness itself does not build with -Wunused-parameter.
tar -xJf "$tarball" -C "$work/ksft" --strip-components=4 linux-source-6.1/tools/testing/selftests/kselftest{_harness,}.h
cc -static -O2 -Wall -Wextra -Wno-unused-parameter -Werror -pthread -I"$work/ksft" \
	-o "$root/bin/brova-irq-test" "$here/brova_irq_test.c" || die "the test program does not build"
cp /bin/busybox "$root/bin/"
cp "$sim/brova_irq.ko" "$sim/brova_irq_sim.ko" "$root/lib/brova/"
cat >"$root/init" <<'EOF'
#!/bin/busybox sh
for fs in proc:/proc sysfs:/sys devtmpfs:/dev debugfs:/sys/kernel/debug; do /bin/busybox mount -t ${fs%:*} ${fs%:*} ${fs#*:}; done
/bin/brova-irq-test
echo "BROVA-INIT test program ended with status $?"
/bin/busybox poweroff -f
EOF
chmod 755 "$root/init"
(cd "$root" && find . | LC_ALL=C sort | cpio -o -H newc --quiet | gzip -1) >"$work/initrd.gz"

# Two machines at a time: CI has two cores.
for mode in main "${restarts[@]}"; do
	rm -f "$work/serial-$mode.log"
	while (($(jobs -rp | wc -l) >= 2)); do wait -n || true; done
	{
		rc=0
		timeout 600 qemu-system-x86_64 -machine q35 -accel tcg -smp 2 -m 256M \
			-display none -monitor none -no-reboot -serial file:"$work/serial-$mode.log" \
			-kernel "/boot/vmlinuz-$kver" -initrd "$work/initrd.gz" \
			-append "console=ttyS0 console_msg_format=syslog quiet panic=-1 brova.mode=$mode" \
			</dev/null >"$work/qemu-$mode.log" 2>&1 || rc=$?
		echo "$rc" >"$work/rc-$mode"
	} &
done
wait

for mode in main "${restarts[@]}"; do
	log=$(tr -d '\r' 2>/dev/null <"$work/serial-$mode.log" || true)
	faults=$(grep -E 'Kernel panic|BUG:|Oops|WARNING:|Call Trace|general protection|INFO: task' <<<"$log" |
		tr '\n' ' ' || true)
	[[ -z $faults ]] || report FAIL "kernel_$mode" "$faults"
	if [[ $mode == main ]]; then
		# The harness's TAP lines and its end.
		grep -E '^((not )?ok |# .*:[0-9]+:)' <<<"$log" || true
		npass=$((npass + $(grep -cE '^ok [0-9]+ [^#]' <<<"$log" || true)))
		nfail=$((nfail + $(grep -c '^not ok' <<<"$log" || true)))
		grep -q 'ended with status 0' <<<"$log" ||
			report FAIL main_boot "tests failed or did not finish (see $work/serial-main.log)"
	else
		# The driver's lines after the marker, '|' after each, and a reset.
		lines=$(sed -nE '/BROVA-ARMED/,${s/^.*(<[0-7]>)\[ *[0-9.]+\] (.*Brova IRQ:.*|IRQ DRIVER:.*|\*.*)$/\1\2/p}' <<<"$log")
		check "restart_$mode" "armed $(grep -c BROVA-ARMED <<<"$log") ended $(grep -c 'ended with' <<<"$log") qemu $(<"$work/rc-$mode") ${lines//$'\n'/|}|" \
			"armed 1 ended 0 qemu 0 $(sed -n 's/^.*BROVA-EXPECT //p' <<<"$log")"
	fi
done
echo "brova_irq VM test: $npass passed, $nfail failed"
((nfail == 0))
