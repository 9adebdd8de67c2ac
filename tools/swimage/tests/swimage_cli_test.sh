#!/bin/bash
# swimage from the command line: what create writes, info reads back; the
# signatures it makes verify with the openssl command-line tool over the
# payload bytes; malformed input gets one line on stderr and exit status 1.
#
#   swimage_cli_test.sh [EMULATOR ARGS...] PATH/TO/swimage
set -uo pipefail

# The last argument is the tool; anything before it runs it (an emulator).
swimage=("${@:1:$#-1}" "$(readlink -f "${!#}")")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1

passed=0
failed=0
pass() { passed=$((passed + 1)); }
fail() {
    failed=$((failed + 1))
    echo "FAIL: $*"
}
check() { # description, command...
    local what=$1
    shift
    if "$@"; then pass; else fail "$what"; fi
}

# Runs swimage, keeping stdout, stderr and the exit status.
run() {
    "${swimage[@]}" "$@" >out.txt 2>err.txt
    status=$?
}

# Malformed input: exit 1, exactly one line on stderr, never a signal.
expect_one_line_error() { # description, expected status, swimage args...
    local what=$1 want=$2
    shift 2
    run "$@"
    if [[ $status == "$want" && $(wc -l <err.txt) == 1 && $(head -c 9 err.txt) == "swimage: " ]]; then
        pass
    else
        fail "$what: status $status, stderr: $(cat err.txt)"
    fi
}

# Bytes of a file, as hex.
hex_of() { od -An -v -tx1 "$@" | tr -d ' \n'; }

openssl genrsa -out signing.pem 2048 2>/dev/null
openssl rsa -in signing.pem -pubout -out signing.pub.pem 2>/dev/null
openssl genrsa -out other.pem 2048 2>/dev/null
openssl rsa -in other.pem -pubout -out other.pub.pem 2>/dev/null
head -c 300 /dev/urandom >kernel.bin
head -c 100000 /dev/urandom >app.bin
head -c 4096 /dev/urandom >boot.bin
printf 'gdb' >diag.bin

# --- help ---------------------------------------------------------------
run --help
check "--help exits 0" test "$status" = 0
check "--help describes create and info" grep -q '^create:' out.txt
check "--help describes info" grep -q '^info:' out.txt

# --- create and read back -----------------------------------------------
run create multi.img \
    --payload kernel.bin --type kernel --version 1.2.3.4 --sign signing.pem \
    --payload app.bin --type 1 --version 10.20.30.40 --sign signing.pem \
    --type-override application --record 9:c0ffee \
    --payload boot.bin --type bootloader --version 0.0.0.7 --header-version 1 \
    --payload diag.bin --type 0x064d4152 --header-version 2 --header-size 32
check "create exits 0" test "$status" = 0
# kernel: 286 + 300; app: 24 + 262 + 8 + 7 = 301, + 100000; boot: 16 + 4096;
# diag: 32 + 3.
total=$((286 + 300 + 301 + 100000 + 16 + 4096 + 32 + 3))
check "create reports the components" grep -qx "multi.img: 4 components, $total bytes" out.txt
check "file size is the sum of the spans" test "$(stat -c %s multi.img)" = "$total"

run info multi.img
check "info exits 0" test "$status" = 0
cat >expected.txt <<EOF
multi.img: $total bytes
component 1 at offset 0 (0x0)
  type:           kernel (3), type word 0x034d4152
  version:        1.2.3.4
  header version: 3
  header size:    286
  payload size:   300
  span:           586
  crc:            CRC good
  size limit:     span at most 3145728 bytes, within
  records:        1
    record at 24: type 3 (signature), length 262
  signed:         yes, 256-byte signature
component 2 at offset 586 (0x24a)
  type:           application (1), type word 0x014d4152
  version:        10.20.30.40
  header version: 3
  header size:    301
  payload size:   100000
  span:           100301
  crc:            CRC good
  records:        3
    record at 24: type 3 (signature), length 262
    record at 286: type 6 (type override), length 8, type word 0x014d4152
    record at 294: type 9, length 7
  signed:         yes, 256-byte signature
component 3 at offset 100887 (0x18a17)
  type:           bootloader (2), type word 0x024d4152
  version:        0.0.0.7
  header version: 1
  header size:    16
  payload size:   4096
  span:           4112
  crc:            CRC good
  size limit:     payload at most 524288 bytes, within
  signed:         no
component 4 at offset 104999 (0x19a27)
  type:           diag-application (6), type word 0x864d4152
  version:        0.0.0.0
  header version: 2
  header size:    32
  payload size:   3
  span:           35
  crc:            CRC good
  signed:         no
4 components
EOF
sed -E 's/^(  crc: +)0x[0-9a-f]{8} good$/\1CRC good/' out.txt >seen.txt
check "info lists every component" diff -u expected.txt seen.txt

# The stored CRC is the complement of the common CRC-32 over offset 4 to
# the end of the payload (component 3: a version-1 header).
tail -c +$((100887 + 1)) multi.img | head -c 4112 >boot-component.bin
stored=$(hex_of -N4 boot-component.bin)
common=$(tail -c +5 boot-component.bin | gzip -c | tail -c 8 | head -c 4 | od -An -tx4 | tr -d ' ')
check "CRC is the complement of CRC-32 ($stored vs ~$common)" \
    test "$stored" = "$(printf '%08x' $((0xFFFFFFFF ^ 0x$common)))"

# --- signatures, cross-checked with openssl --------------------------------
run info --verify signing.pub.pem multi.img
check "--verify with the signing key exits 0" test "$status" = 0
check "both signatures verify" test "$(grep -c '^  signature:      verified$' out.txt)" = 2

dd if=multi.img of=kernel.sig bs=1 skip=30 count=256 status=none
dd if=multi.img of=kernel.payload bs=1 skip=286 count=300 status=none
check "kernel payload is stored unchanged" cmp -s kernel.payload kernel.bin
check "kernel signature verifies with openssl dgst" \
    openssl dgst -sha256 -verify signing.pub.pem -signature kernel.sig -out /dev/null kernel.payload
dd if=multi.img of=app.sig bs=1 skip=$((586 + 30)) count=256 status=none
tail -c +$((586 + 301 + 1)) multi.img | head -c 100000 >app.payload
check "application signature verifies with openssl dgst" \
    openssl dgst -sha256 -verify signing.pub.pem -signature app.sig -out /dev/null app.payload
check "signature is not over the header" \
    bash -c '! head -c 586 multi.img | openssl dgst -sha256 -verify signing.pub.pem -signature kernel.sig >/dev/null 2>&1'

expect_one_line_error "--verify with another key" 1 info --verify other.pub.pem multi.img
check "other key: both signatures fail" test "$(grep -c 'DOES NOT VERIFY' out.txt)" = 2
# A private key file serves for --verify too.
run info --verify signing.pem multi.img
check "--verify takes a private key file" test "$status" = 0

# --- damage is seen ----------------------------------------------------------
cp multi.img damaged.img
printf '\xff' | dd of=damaged.img bs=1 seek=1000 conv=notrunc status=none
expect_one_line_error "flipped payload byte" 1 info --verify signing.pub.pem damaged.img
check "damaged: CRC BAD shown" grep -q 'BAD$' out.txt
check "damaged: application signature fails" grep -q 'DOES NOT VERIFY' out.txt

# Trailing bytes shorter than a header are ignored, as the switch does.
cp multi.img trailing.img
head -c 23 /dev/zero >>trailing.img
run info trailing.img
check "trailing bytes: exit 0" test "$status" = 0
check "trailing bytes reported" grep -qx '4 components, 23 trailing bytes ignored' out.txt

# --- malformed input -------------------------------------------------------------
: >empty.img
expect_one_line_error "empty file" 1 info empty.img
head -c 23 /dev/urandom >short.img
expect_one_line_error "23-byte file" 1 info short.img
head -c $((total - 100)) multi.img >cut.img
expect_one_line_error "truncated file" 1 info cut.img
check "truncated: says where" grep -q 'component 3 at offset 100887 runs past the end' err.txt
expect_one_line_error "missing file" 1 info no-such.img
expect_one_line_error "directory" 1 info "$work"
# Version 3 with a header length beyond the component.
printf '\0\0\0\0\0\0\0\x10\x01MAR\0\0\0\0HDR3\0\0\x01\0' >long-header.img
head -c 100 /dev/zero >>long-header.img
expect_one_line_error "header length beyond the component" 1 info long-header.img
# A version-2 header of size 0.
printf '\0\0\0\0\0\0\0\0\x81MAR\0\0\0\0\0\0\0\0\0\0\0\0' >v2-zero.img
expect_one_line_error "version-2 header of size 0" 1 info v2-zero.img
# A signature record that claims more than its record holds.
printf '\0\0\0\0\0\0\0\x18\x01MAR\0\0\0\0HDR3\0\0\0\x28\0\x03\0\x10\x01\0' >bad-sig.img
head -c 10 /dev/zero >>bad-sig.img
run info --verify signing.pub.pem bad-sig.img
check "damaged signature record shown" grep -q 'signature record is damaged' out.txt
check "damaged signature record fails --verify" test "$status" = 1
expect_one_line_error "not a key" 1 info --verify app.bin multi.img

# Random bytes and bit flips: never a crash, always 0 or 1.
crashes=0
for i in $(seq 1 40); do
    head -c $((RANDOM % 2000 + 1)) /dev/urandom >random.img
    "${swimage[@]}" info random.img >/dev/null 2>&1
    s=$?
    ((s <= 1)) || crashes=$((crashes + 1))
    cp multi.img flip.img
    printf "\\x$(printf %02x $((RANDOM % 256)))" |
        dd of=flip.img bs=1 seek=$((RANDOM % 1200)) conv=notrunc status=none
    "${swimage[@]}" info --verify signing.pub.pem flip.img >/dev/null 2>&1
    s=$?
    ((s <= 1)) || crashes=$((crashes + 1))
done
check "random and damaged files never crash ($crashes)" test "$crashes" = 0

# --- create: usage and failures --------------------------------------------------
expect_one_line_error "no command" 2
expect_one_line_error "unknown command" 2 frobnicate
expect_one_line_error "create without components" 2 create x.img
expect_one_line_error "option before --payload" 2 create x.img --type kernel --payload kernel.bin
expect_one_line_error "no --type" 2 create x.img --payload kernel.bin
expect_one_line_error "bad type" 2 create x.img --payload kernel.bin --type firmware
expect_one_line_error "three-part version" 2 create x.img --payload kernel.bin --type 3 --version 1.2.3
expect_one_line_error "version part above 255" 2 create x.img --payload kernel.bin --type 3 --version 1.2.3.256
expect_one_line_error "header version 4" 2 create x.img --payload kernel.bin --type 3 --header-version 4
expect_one_line_error "bad record" 2 create x.img --payload kernel.bin --type 3 --record 9:abc
expect_one_line_error "value missing" 2 create x.img --payload kernel.bin --type
expect_one_line_error "missing payload" 1 create x.img --payload no-such.bin --type 3
expect_one_line_error "signing a version-1 header" 1 create x.img --payload kernel.bin --type 3 --header-version 1 --sign signing.pem
expect_one_line_error "signing with a public key" 1 create x.img --payload kernel.bin --type 3 --sign signing.pub.pem
check "failed create leaves no file" test ! -e x.img

# Bytes of a minimal unsigned version-3 component, field by field.
printf 'abc' >abc.bin
run create abc.img --payload abc.bin --type kernel --version 1.2.3.4
check "minimal create exits 0" test "$status" = 0
check "minimal header bytes" test "$(hex_of -j4 abc.img)" = \
    0000000b034d4152010203044844523300000018616263
# Header version 1 and 2 on a payload that is the letters abc.
run create abc1.img --payload abc.bin --type 0x834d4152 --header-version 2 --header-size 20
check "version-2 type word keeps bit 31" test "$(hex_of -j8 -N4 abc1.img)" = 834d4152

echo "$passed passed, $failed failed"
((failed == 0))
