#!/usr/bin/env bash
# Builds the tools and runs their main jobs against a simulated board:
# unitctl reads the MCU, mcuflash flashes an image, unitctl reads again.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/host-deps.sh
build=build
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" >/dev/null
board=$(mktemp -d)
trap 'rm -rf "$board"' EXIT
sim() { echo "\$ $*"; "$build/boardsim/boardsim" --dir "$board" -- "$@" || echo "(exit status $?)"; }
sim "$build/unitctl/unitctl" -b
sim "$build/unitctl/unitctl" -c
sim "$build/unitctl/unitctl" -w
sim "$build/unitctl/unitctl" -s
sim "$build/unitctl/unitctl" -U
head -c 1000 /dev/urandom > "$board/image.bin"
sim "$build/mcuflash/mcuflash" "$board/image.bin"
cmp "$board/image.bin" "$board/flash.bin" && echo "(the simulated MCU holds the image byte for byte)"
sim "$build/unitctl/unitctl" -b
