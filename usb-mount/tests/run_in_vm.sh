#!/usr/bin/env bash
# Runs the usb-mount tests on the virtual switch inside Debian's kernel under
# QEMU (TCG), for the cases this machine's own kernel cannot run (FAT). The
# machine sees this machine's files read-only over 9p, with a tmpfs overlay on
# top so the sandbox can write; its own kernel loads the modules it needs from
# /lib/modules of the installed Debian kernel. Nothing of this machine's mounts
# is touched: every mount happens inside the guest.
#
# Usage: run_in_vm.sh test-binary [gtest-filter]
# Exit status: 0 every case passed and none was skipped, 1 a case failed, was
# skipped or the run broke, 77 QEMU or Debian's amd64 kernel is not installed.
set -euo pipefail

SKIP=77
die() {
	echo "run_in_vm: $*" >&2
	exit 1
}

[[ $# -ge 1 ]] || die "usage: run_in_vm.sh test-binary [gtest-filter]"
test_binary=$(realpath "$1")
filter=${2:-*}
[[ -x $test_binary ]] || die "$test_binary is not an executable"

if [[ $(uname -m) != x86_64 ]]; then
	echo "run_in_vm: SKIP: Debian's amd64 kernel needs an x86-64 host"
	exit $SKIP
fi
if ! command -v qemu-system-x86_64 >/dev/null 2>&1; then
	echo "run_in_vm: SKIP: qemu-system-x86_64 missing (Debian package qemu-system-x86)"
	exit $SKIP
fi

# The newest installed Debian kernel with its modules.
kver=""
for img in /boot/vmlinuz-*-amd64; do
	[[ -e $img ]] || continue
	v=${img#/boot/vmlinuz-}
	if [[ -f /lib/modules/$v/modules.dep ]]; then
		kver=$(printf '%s\n%s\n' "$kver" "$v" | sed '/^$/d' | sort -V | tail -n1)
	fi
done
if [[ -z $kver ]]; then
	echo "run_in_vm: SKIP: no /boot/vmlinuz-*-amd64 with its modules (Debian package linux-image-amd64)"
	exit $SKIP
fi
kernel=/boot/vmlinuz-$kver

for tool in cpio gzip modprobe; do
	command -v "$tool" >/dev/null 2>&1 || die "$tool missing"
done
[[ -x /bin/busybox ]] || die "/bin/busybox missing (Debian package busybox-static)"
if readelf -l /bin/busybox 2>/dev/null | grep -q 'program interpreter'; then
	die "/bin/busybox is not static (install busybox-static)"
fi

work=$(mktemp -d /tmp/usb-mount-vm.XXXXXX)
qemu_pid=""
cleanup() {
	if [[ -n $qemu_pid ]]; then
		kill "$qemu_pid" 2>/dev/null || true
		wait "$qemu_pid" 2>/dev/null || true
	fi
	rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

# ---------------------------------------------------------------- initramfs
# Only what it takes to reach the shared files: virtio, 9p and overlay. The
# rest is loaded by the guest's own modprobe once it runs on them.
root=$work/initramfs
mkdir -p "$root"/{bin,dev,proc,sys,host,upper,newroot,lib/modules}
cp /bin/busybox "$root/bin/busybox"
modprobe -S "$kver" -a --show-depends virtio_pci 9pnet_virtio 9p overlay |
	sed -n 's/^insmod \([^ ]*\).*$/\1/p' | awk '!seen[$0]++' >"$work/modules"
[[ -s $work/modules ]] || die "cannot resolve the modules of $kver"
: >"$root/lib/modules/order"
while IFS= read -r ko; do
	cp "$ko" "$root/lib/modules/"
	basename "$ko" >>"$root/lib/modules/order"
done <"$work/modules"

cat >"$root/init" <<'EOF'
#!/bin/busybox sh
bb=/bin/busybox
$bb mount -t proc proc /proc
$bb mount -t devtmpfs devtmpfs /dev
fail() {
	echo "USBVM-STATUS init: $*"
	$bb poweroff -f
}
while read -r ko; do
	$bb insmod /lib/modules/"$ko" || fail "insmod $ko"
done </lib/modules/order
$bb mount -t 9p -o ro,trans=virtio,version=9p2000.L,cache=loose,msize=512000 hostroot /host ||
	fail "cannot mount the shared files"
$bb mount -t tmpfs -o mode=0755 tmpfs /upper
$bb mkdir -p /upper/data /upper/work
$bb mount -t overlay -o lowerdir=/host,upperdir=/upper/data,workdir=/upper/work overlay /newroot ||
	fail "cannot mount the overlay"
$bb cp /stage2 /newroot/usb-mount-vm-stage2
$bb umount /proc
$bb mount --move /dev /newroot/dev
exec $bb switch_root /newroot /bin/busybox sh /usb-mount-vm-stage2
EOF
chmod 755 "$root/init"

{
	echo '#!/bin/busybox sh'
	echo 'bb=/bin/busybox'
	printf 'test_binary=%q\n' "$test_binary"
	printf 'filter=%q\n' "$filter"
	cat <<'EOF'
$bb mount -t proc proc /proc
$bb mount -t sysfs sysfs /sys
$bb mkdir -p /dev/pts /dev/shm
$bb mount -t devpts devpts /dev/pts
$bb mount -t tmpfs tmpfs /dev/shm
$bb mount -t tmpfs tmpfs /run
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
export HOME=/root TMPDIR=/tmp LC_ALL=C
modprobe -a loop fat vfat nls_cp437 nls_iso8859_1 nls_utf8 ext4 crc32c_generic ||
	echo "USBVM-NOTE modprobe failed"
cd /
echo "USBVM-BEGIN"
"$test_binary" --gtest_color=no --gtest_filter="$filter" 2>&1
echo "USBVM-STATUS $?"
$bb sync
$bb poweroff -f
EOF
} >"$root/stage2"

(cd "$root" && find . | LC_ALL=C sort | cpio -o -H newc --quiet | gzip -1) >"$work/initrd.gz"

# ---------------------------------------------------------------- boot
echo "run_in_vm: kernel $kver, tests $filter"
timeout 280 qemu-system-x86_64 -machine q35 -accel tcg -smp 2 -m 1024M \
	-display none -monitor none -no-reboot \
	-serial file:"$work/serial.log" \
	-kernel "$kernel" -initrd "$work/initrd.gz" \
	-virtfs local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap \
	-append "console=ttyS0 quiet loglevel=1 panic=-1" \
	</dev/null >"$work/qemu.log" 2>&1 &
qemu_pid=$!
rc=0
wait "$qemu_pid" || rc=$?
qemu_pid=""

log=$(tr -d '\r' <"$work/serial.log" 2>/dev/null || true)
output=$(sed -n '/^USBVM-BEGIN$/,$p' <<<"$log" | sed '1d;/^USBVM-STATUS /,$d')
status=$(sed -n 's/^USBVM-STATUS //p' <<<"$log" | tail -n1)

if [[ -z $status ]]; then
	echo "$log"
	cat "$work/qemu.log"
	die "the tests did not finish in the virtual machine (QEMU ended with $rc)"
fi
echo "$output"
[[ $status == 0 ]] || die "the tests failed in the virtual machine (status $status)"
if grep -q '^\[  SKIPPED \]' <<<"$output"; then
	die "cases were skipped in the virtual machine"
fi
grep -q '^\[  PASSED  \] [1-9]' <<<"$output" || die "no case ran in the virtual machine"
echo "run_in_vm: every case passed in the virtual machine"
