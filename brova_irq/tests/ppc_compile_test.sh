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

src=$(cd "$(dirname "$0")/.." && pwd)
work=${1:-$(mktemp -d /tmp/brova-irq-ppc.XXXXXX)}
mod=$(mkdir -p "$work" && cd "$work" && pwd)/switch-ppc
cache=${BROVA_PPC_CACHE:-/var/cache/brova-irq}
tarball=/usr/src/linux-source-6.1.tar.xz
tree=$cache/linux-source-6.1 out=$cache/mpc85xx

die() { echo "ppc_compile_test: $*" >&2; exit 1; }
kmake() { make -s ARCH=powerpc CROSS_COMPILE=powerpc-linux-gnu- "$@"; }

for need in powerpc-linux-gnu-gcc:gcc-powerpc-linux-gnu flex:flex bison:bison bc:bc make:make; do
	command -v "${need%%:*}" >/dev/null || die "${need%%:*} missing (Debian package ${need#*:}; scripts/setup installs it)"
done
[[ -f $tarball ]] || die "$tarball missing (Debian package linux-source-6.1)"
version=$(dpkg-query -W -f='${Version}' linux-source-6.1)

# One preparation at a time, whichever checkout asks.
mkdir -p "$cache"
exec 9>"$cache/lock"
flock 9
if [[ $(cat "$out/.prepared" 2>/dev/null) != "$version" ]]; then
	echo "ppc_compile_test: preparing linux-source-6.1 $version for mpc85xx in $cache"
	rm -rf "$tree" "$out"
	tar -xf "$tarball" -C "$cache"
	kmake -C "$tree" O="$out" mpc85xx_defconfig >/dev/null
	grep -q '^CONFIG_PHYS_64BIT=y' "$out/.config" || die "mpc85xx_defconfig lacks 36-bit physical addresses"
	kmake -C "$tree" O="$out" -j"$(nproc)" modules_prepare
	# Linking a module needs it; modules_prepare does not make it here.
	kmake -C "$tree" O="$out" arch/powerpc/lib/crtsavres.o
	echo "$version" >"$out/.prepared"
fi

rm -rf "$mod" && mkdir -p "$mod"
cp "$src"/Kbuild "$src"/Makefile "$src"/*.c "$src"/*.h "$mod"/
kmake -C "$out" M="$mod" BROVA_BOARD=switch modules >"$mod/build.log" 2>&1 ||
	{ cat "$mod/build.log"; die "the driver does not build for the switch"; }
# Without the kernel's own symbol list modpost cannot resolve imports and
# says so for each; everything else it or the compiler says is a failure.
unexpected=$(grep -vE 'undefined!$|^WARNING: Module.symvers is missing|Modules may not have dependencies|unresolved symbol warnings' \
	"$mod/build.log" || true)
[[ -z $unexpected ]] || die "unexpected build output: $unexpected"
# A 32-bit big-endian PowerPC object with the switch's board layer linked in.
LC_ALL=C readelf -h "$mod/brova_irq.ko" | grep -qzE 'Class: +ELF32.*big endian.*Machine: +PowerPC' || die "not for the switch's CPU"
symbols=$(powerpc-linux-gnu-nm "$mod/brova_irq.ko")
grep -q ' U irq_create_mapping' <<<"$symbols" && grep -q ' U ioremap' <<<"$symbols" || die "switch board layer not linked in"
echo "ppc_compile_test: 1 passed, 0 failed: brova_irq.ko built for $(LC_ALL=C modinfo -F vermagic "$mod/brova_irq.ko")(mpc85xx)"
