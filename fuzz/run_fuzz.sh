#!/bin/bash
# Builds the image walker fuzz target with clang in its own build tree and
# runs it for a bounded time. Any crash, sanitizer report or time-out in one
# input fails the run.
#
#   run_fuzz.sh BUILD_DIR [SECONDS]
set -euo pipefail
build=$1

cmake -S "$(dirname "$0")/fuzzer" -B "$build" -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" >/dev/null

# Seeds: one component of each header version, records of every kind.
corpus=$build/corpus
mkdir -p "$corpus"
# Version 3: signature record (4-byte signature), type override, unknown record.
printf '\0\0\0\0\0\0\0\x2c\x03MAR\x01\x02\x03\x04HDR3\0\0\0\x34\0\x03\0\x0a\0\x04ABCD\0\x06\0\x08\x01MAR\0\x09\0\x06xypayload!' \
    >"$corpus/seed-v3"
# Version 1 followed by version 2 and a short tail.
printf '\0\0\0\0\0\0\0\x08\x02MAR\0\0\0\x01abcdefgh'\
'\0\0\0\0\0\0\0\x02\x81MAR\0\0\0\0\0\0\0\x18\0\0\0\0zztail' >"$corpus/seed-v1-v2"

cd "$build"
exec ./image_walker_fuzzer -max_total_time="${2:-60}" -timeout=10 -rss_limit_mb=2048 \
    -max_len=8192 -print_final_stats=1 "$corpus"
