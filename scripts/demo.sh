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
# What the unit's /etc/krv_version.xml holds, as the simulator serves it.
cat > "$board/krv_version.xml" <<'XML'
<version><major>1</major><minor>4</minor><patch>2</patch><build>57</build><commit_id_short>a1b2c3d</commit_id_short></version>
XML
sim() { echo "\$ $*"; "$build/boardsim/boardsim" --dir "$board" -- "$@" || echo "(exit status $?)"; }
board_set() { "$build/boardsim/boardsim" --dir "$board" "$@"; }
sim "$build/unitctl/unitctl" -b
sim "$build/unitctl/unitctl" -c
sim "$build/unitctl/unitctl" -w
sim "$build/unitctl/unitctl" -s
sim "$build/unitctl/unitctl" -f
sim "$build/unitctl/unitctl" -U
# Telemetry: the simulator captures the datagrams (nothing leaves the
# machine) and stops the service after two cycles of three datagrams.
board_set --set net.stop_after=6 --set time.fast_sleep=1
# The simulator ends the service with SIGTERM after the sixth datagram (run
# in the background and waited for, so the shell adds no line of its own).
echo "\$ $build/unitctl/unitctl"
"$build/boardsim/boardsim" --dir "$board" -- "$build/unitctl/unitctl" &
status=0
wait $! || status=$?
[ "$status" = 143 ] && echo "(the simulator stopped the service after six datagrams)"
board_set --set net.stop_after= --set time.fast_sleep=
echo "(captured datagrams, decoded; the capture opens in Wireshark too)"
sim "$build/unitmon/unitmon" --read "$board/datagrams.pcap"
sim "$build/unitmon/unitmon" --json --count 3 --read "$board/datagrams.pcap"
head -c 1000 /dev/urandom > "$board/image.bin"
sim "$build/mcuflash/mcuflash" "$board/image.bin"
echo
cmp "$board/image.bin" "$board/flash.bin" && echo "(the simulated MCU holds the image byte for byte)"
sim "$build/unitctl/unitctl" -b
