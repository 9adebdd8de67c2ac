#!/usr/bin/env bash
# Compiles brova_irq with the switch's board layer for the switch's CPU:
# against Debian's linux-source-6.1 configured with mpc85xx_defconfig and
# prepared for out-of-tree modules by powerpc-linux-gnu-gcc. Nothing here
# runs the module; the virtual machine test does that on the simulated board.
#
# The prepared tree is kept outside the repository, in $BROVA_PPC_CACHE
# (default /var/cache/brova-irq), and reused while the source package's
# version stays the same.
#
# Usage: ppc_compile_test.sh [work-dir]
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
src=$(dirname "$here")
work=${1:-}
if [[ -z $work ]]; then
	work=$(mktemp -d /tmp/brova-irq-ppc.XXXXXX)
fi
mkdir -p "$work"
work=$(cd "$work" && pwd)
cache=${BROVA_PPC_CACHE:-/var/cache/brova-irq}
tarball=/usr/src/linux-source-6.1.tar.xz
cross=powerpc-linux-gnu-

die() {
	echo "ppc_compile_test: $*" >&2
	exit 1
}

need() { # command, package
	command -v "$1" >/dev/null 2>&1 || die "$1 missing (Debian package $2; scripts/setup installs it)"
}
need "${cross}gcc" gcc-powerpc-linux-gnu
need flex flex
need bison bison
need bc bc
need make make
[[ -f $tarball ]] || die "$tarball missing (Debian package linux-source-6.1)"
version=$(dpkg-query -W -f='${Version}' linux-source-6.1)

tree=$cache/linux-source-6.1
out=$cache/mpc85xx
stamp=$out/.prepared
mkdir -p "$cache"
# One preparation at a time, whichever checkout asks.
exec 9>"$cache/lock"
flock 9

kmake() {
	make -s -C "$tree" ARCH=powerpc CROSS_COMPILE="$cross" O="$out" "$@"
}

if [[ ! -f $stamp || $(cat "$stamp") != "$version" ]]; then
	echo "ppc_compile_test: preparing linux-source-6.1 $version for mpc85xx in $cache"
	rm -rf "$tree" "$out"
	tar -xf "$tarball" -C "$cache"
	kmake mpc85xx_defconfig >/dev/null
	grep -q '^CONFIG_PHYS_64BIT=y' "$out/.config" ||
		die "mpc85xx_defconfig lacks 36-bit physical addresses"
	kmake -j"$(nproc)" modules_prepare
	# Linking a module needs it; modules_prepare does not make it here.
	kmake arch/powerpc/lib/crtsavres.o
	echo "$version" >"$stamp"
fi

mod=$work/switch-ppc
rm -rf "$mod"
mkdir -p "$mod"
cp "$src"/Kbuild "$src"/Makefile "$src"/*.c "$src"/*.h "$mod"/
# Without the kernel's own symbol list modpost cannot resolve imports and
# says so for each; everything else it or the compiler says is a failure.
if ! make -C "$out" ARCH=powerpc CROSS_COMPILE="$cross" M="$mod" \
	BROVA_BOARD=switch modules >"$mod/build.log" 2>&1; then
	cat "$mod/build.log"
	die "the driver does not build for the switch"
fi
expected='^make(\[[0-9]+\])?: (Entering|Leaving) directory|^  (CC|LD|MODPOST) |undefined!$'
expected+='|^WARNING: Module.symvers is missing|Modules may not have dependencies|unresolved symbol warnings'
unexpected=$(grep -vE "$expected" "$mod/build.log" || true)
[[ -z $unexpected ]] || die "unexpected build output: $unexpected"

header=$(LC_ALL=C readelf -h "$mod/brova_irq.ko")
grep -q 'Class:.*ELF32' <<<"$header" || die "not a 32-bit object"
grep -q 'big endian' <<<"$header" || die "not big-endian"
grep -q 'Machine:.*PowerPC' <<<"$header" || die "not PowerPC"
board=$(${cross}nm "$mod/brova_irq.ko")
grep -q ' U irq_create_mapping' <<<"$board" || die "switch board layer not linked in"
grep -q ' U ioremap' <<<"$board" || die "switch board layer not linked in"
echo "ppc_compile_test: brova_irq.ko built for $(LC_ALL=C modinfo -F vermagic "$mod/brova_irq.ko")(mpc85xx)"
echo "1 passed, 0 failed"
