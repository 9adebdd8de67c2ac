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

failed=0
check() { "${@:2}" || { failed=$((failed + 1)) && echo "FAIL: $1"; }; } # description, command...
# Runs swimage, keeping stdout, stderr and the exit status.
run() { "${swimage[@]}" "$@" >out.txt 2>err.txt; status=$?; }
# Wrong input: the expected status, exactly one line on stderr, never a signal.
one_line_error() { # expected status, swimage args...
    run "${@:2}"
    [[ $status == "$1" && $(wc -l <err.txt) == 1 && $(head -c 9 err.txt) == "swimage: " ]]
}

openssl genrsa -out signing.pem 2048 2>/dev/null
openssl rsa -in signing.pem -pubout -out signing.pub.pem 2>/dev/null
openssl genrsa -out other.pem 2048 2>/dev/null
head -c 300 /dev/urandom >kernel.bin
head -c 100000 /dev/urandom >app.bin
head -c 4096 /dev/urandom >boot.bin
printf 'gdb' >diag.bin

run --help
check "--help describes create and info" test "$status:$(grep -c '^create:\|^info:' out.txt)" = 0:2

run create multi.img \
    --payload kernel.bin --type kernel --version 1.2.3.4 --sign signing.pem \
    --payload app.bin --type 1 --version 10.20.30.40 --sign signing.pem \
    --type-override application --record 9:c0ffee \
    --payload boot.bin --type bootloader --version 0.0.0.7 --header-version 1 \
    --payload diag.bin --type 0x064d4152 --header-version 2 --header-size 32
# kernel: 286 + 300; app: 24 + 262 + 8 + 7 = 301, + 100000; boot: 16 + 4096;
# diag: 32 + 3.
total=$((286 + 300 + 301 + 100000 + 16 + 4096 + 32 + 3))
check "create reports" test "$status:$(cat out.txt)" = "0:multi.img: 4 components, $total bytes"

run info multi.img
cat >expected.txt <<END
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
exit status 0
END
check "info lists every component" diff -u expected.txt \
    <(sed -E 's/^(  crc: +)0x[0-9a-f]{8} good$/\1CRC good/' out.txt && echo "exit status $status")

# The signatures verify with openssl over the payload files alone.
run info --verify signing.pub.pem multi.img
check "both signatures verify" test "$status:$(grep -c '^  signature:      verified$' out.txt)" = 0:2
while read -r name offset; do # the signature sits 30 bytes into the component
    dd if=multi.img of=$name.sig bs=1 skip=$((offset + 30)) count=256 status=none
    check "$name signature verifies with openssl" openssl dgst -sha256 -verify signing.pub.pem \
        -signature $name.sig -out /dev/null $name.bin
done <<<$'kernel 0\napp 586'
run info --verify signing.pem multi.img; check "a private key serves for --verify" test "$status" = 0
check "--verify with another key" one_line_error 1 info --verify other.pem multi.img
check "other key: both signatures fail" test "$(grep -c 'DOES NOT VERIFY' out.txt)" = 2

cp multi.img damaged.img
# Every bit of the byte at 1000 flipped.
printf "\\x$(od -An -tx1 -j1000 -N1 multi.img | tr -d ' ' | tr 0-9a-f fedcba9876543210)" |
    dd of=damaged.img bs=1 seek=1000 conv=notrunc status=none
check "flipped payload byte" one_line_error 1 info --verify signing.pub.pem damaged.img
check "damaged: CRC BAD, signature fails" test "$(grep -c 'BAD$\|DOES NOT VERIFY' out.txt)" = 2

# Trailing bytes shorter than a header are ignored, as the switch does.
cat multi.img <(head -c 23 /dev/zero) >trailing.img
run info trailing.img
check "trailing bytes reported" \
    test "$status:$(tail -n1 out.txt)" = "0:4 components, 23 trailing bytes ignored"

head -c 23 /dev/urandom >short.img
head -c $((total - 100)) multi.img >cut.img
# Version 3 with a header length beyond the component; a version-2 header of
# size 0; a signature record that claims more than its record holds.
printf '\0\0\0\0\0\0\0\x10\x01MAR\0\0\0\0HDR3\0\0\x01\0' >long-header.img
head -c 100 /dev/zero >>long-header.img
printf '\0\0\0\0\0\0\0\0\x81MAR\0\0\0\0\0\0\0\0\0\0\0\0' >v2-zero.img
"${swimage[@]}" create bad-sig.img --payload diag.bin --type 3 --record 3:0010 >/dev/null
# Expected status, then the arguments.
while read -r want args; do
    check "$want: $args" one_line_error "$want" $args
done <<'END'
1 info short.img
1 info no-such.img
1 info .
1 info long-header.img
1 info v2-zero.img
1 info --verify app.bin multi.img
2
2 frobnicate
2 create x.img
2 create x.img --type kernel --payload kernel.bin
2 create x.img --payload kernel.bin
2 create x.img --payload kernel.bin --type firmware
2 create x.img --payload kernel.bin --type 3 --version 1.2.3
2 create x.img --payload kernel.bin --type 3 --version 1.2.3.256
2 create x.img --payload kernel.bin --type 3 --header-version 4
2 create x.img --payload kernel.bin --type 3 --record 9:abc
2 create x.img --payload kernel.bin --type
1 create x.img --payload no-such.bin --type 3
1 create x.img --payload kernel.bin --type 3 --header-version 1 --sign signing.pem
1 create x.img --payload kernel.bin --type 3 --sign signing.pub.pem
END
check "failed create leaves no file" test ! -e x.img
check "truncated file" one_line_error 1 info cut.img
check "truncated: says where" grep -q 'component 3 at offset 100887 runs past the end' err.txt
check "damaged signature record" one_line_error 1 info --verify signing.pub.pem bad-sig.img
check "damaged signature record shown" grep -q 'signature record is damaged' out.txt

# Random bytes over the headers: never a crash, always 0 or 1.
for i in $(seq 1 80); do
    cp multi.img flip.img
    head -c $((RANDOM % 32 + 1)) /dev/urandom |
        dd of=flip.img bs=1 seek=$((RANDOM % 1200)) conv=notrunc status=none
    "${swimage[@]}" info --verify signing.pub.pem flip.img >/dev/null 2>&1
    check "random bytes over the headers: status $?" test $? -le 1
done

# Bytes of a minimal unsigned version-3 component of type number 255, field by
# field, and a version-2 type word given with bit 31 already set.
printf 'abc' >abc.bin
run create abc.img --payload abc.bin --type 255 --version 1.2.3.4
check "minimal header bytes" test "$status:$(od -An -v -tx1 abc.img | tr -d ' \n')" = \
    0:d7ff9e1a0000000bff4d4152010203044844523300000018616263
run create abc2.img --payload abc.bin --type 0x834d4152 --header-version 2 --header-size 20
check "version-2 type word keeps bit 31" test "$status:$(od -An -tx1 -j8 -N4 abc2.img | tr -d ' ')" = 0:834d4152

echo "$failed failed"
((failed == 0))
