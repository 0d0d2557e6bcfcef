#!/usr/bin/env bash
# Cross builds for the board (32-bit big-endian MIPS), run by .ci/run after
# the host tests:
#   1. the target libraries from Debian sources (scripts/build-target-deps.sh)
#   2. the whole project for mips-linux-gnu, and the whole test suite under
#      qemu-user (ctest through CMAKE_CROSSCOMPILING_EMULATOR)
#   3. the Release builds for the board (mips, musl), hard float
#      (build-musl) and soft float (build-muslsf): stripped, the board
#      component installed into <build>/image (prefix /usr) and the host
#      component (unitmon) into <build>/image-host; every program found in
#      their usr/bin is checked for its NEEDED entries, its loader, the
#      absence of floating point and its size, and run under qemu on a small
#      musl root with the libraries the board has (chroot: needs root)
# Prints the figures: sizes, NEEDED, pass count and wall time of the suite
# under emulation next to the host's.
# Environment: JOBS (default: cores), SKIP_HOST_TIMING=1 skips re-running
# the host suite (in build/) for the comparison.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=${JOBS:-$(nproc)}
start=$(date +%s)
step() { echo "== cross: $*"; }
fail() { echo "cross: FAILED: $*" >&2; exit 1; }

step "packages"
scripts/apt-need.sh g++-mips-linux-gnu qemu-user-static dpkg-dev googletest cmake ninja-build binutils-mips-linux-gnu flex bison

step "target libraries (musl and libxml2, hard and soft float; libpcap, libmicrohttpd and GoogleTest for the test build)"
t0=$(date +%s)
JOBS=$jobs scripts/build-target-deps.sh all
deps_s=$(( $(date +%s) - t0 ))

step "toolchain checks under qemu"
for triple in mips-linux-gnu mips-linux-musl mips-linux-muslsf; do
  case $triple in
    mips-linux-gnu) b=build-mips/toolchain-check ;;
    *) b=build-${triple#mips-linux-}/toolchain-check ;;
  esac
  cmake -S cmake/toolchain-check -B "$b" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/$triple.cmake" \
    -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$b" >/dev/null
  ctest --test-dir "$b" --output-on-failure >/dev/null || fail "toolchain check for $triple"
  echo "$triple: $(cd "$b" && ctest -V 2>/dev/null | sed -n 's/^1: \(.*endian.*\)/\1/p' | head -n1)"
done

step "mips-linux-gnu: build"
t0=$(date +%s)
cmake -S . -B build-mips -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mips-linux-gnu.cmake" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-mips -j"$jobs"
build_s=$(( $(date +%s) - t0 ))

step "mips-linux-gnu: the test suite under qemu"
t0=$(date +%s)
ctest_log=build-mips/ctest.log
# qemu-user would write a core file of every program that a test ends by a
# signal that dumps core (SIGQUIT): none wanted.
ulimit -c 0
set +e
ctest --test-dir build-mips --output-on-failure -j"$jobs" --timeout 600 2>&1 | tee "$ctest_log"
ctest_rc=${PIPESTATUS[0]}
set -e
emu_s=$(( $(date +%s) - t0 ))
emu_summary="$(grep -E 'tests passed' "$ctest_log" | tail -n1), $(grep -c '(Skipped)$' "$ctest_log" || true) skipped"
[ "$ctest_rc" = 0 ] || fail "test suite under emulation: $emu_summary"

host_summary="(host suite not timed)"
host_s=""
if [ "${SKIP_HOST_TIMING:-0}" != 1 ] && [ -f build/CTestTestfile.cmake ]; then
  step "host: the same suite again, for the comparison"
  t0=$(date +%s)
  if ctest --test-dir build -j"$jobs" --timeout 300 > build/ctest-again.log 2>&1; then
    host_s=$(( $(date +%s) - t0 ))
    host_summary="$(grep -E 'tests passed' build/ctest-again.log | tail -n1), $(grep -c '(Skipped)$' build/ctest-again.log || true) skipped"
  else
    host_summary="(host suite failed on the second run: see build/ctest-again.log)"
  fi
fi

# The board's programs: whatever `cmake --install` puts in usr/bin/, of
# either component. What each
# may need and how big it may grow; a program not named here needs only the
# C library. Every program stays within 24 KiB but mcuflash, which with its
# image formats, flash-range check, read-back, saving of the flash and
# progress line stays within 32 KiB.
program_needs() { case $1 in unitctl) echo "libc.so libxml2.so.2" ;; *) echo "libc.so" ;; esac; }
program_limit() { case $1 in mcuflash) echo 36864 ;; *) echo 24576 ;; esac; }
needed() { mips-linux-gnu-readelf -d "$1" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | sort | tr '\n' ' ' | sed 's/ $//'; }
# check_program <file> <loader>: prints its size line
check_program() {
  local file=$1 loader=$2 prog want limit got size interp fp
  prog=$(basename "$file"); want=$(program_needs "$prog"); limit=$(program_limit "$prog")
  got=$(needed "$file")
  [ "$got" = "$want" ] || fail "$file NEEDS [$got], expected [$want]"
  interp=$(mips-linux-gnu-readelf -l "$file" | sed -n 's/.*interpreter: \(.*\)\]/\1/p')
  [ "$interp" = "$loader" ] || fail "$file asks for loader $interp, expected $loader"
  mips-linux-gnu-readelf -h "$file" | grep 'Type: *DYN' >/dev/null || fail "$file is not position-independent"
  mips-linux-gnu-readelf -S "$file" | grep -q '\.symtab' && fail "$file is not stripped"
  # No floating point: no FPU register appears in the code.
  fp=$(mips-linux-gnu-objdump -d "$file" | grep -cE '\$f[0-9]+' || true)
  [ "$fp" = 0 ] || fail "$file uses floating point ($fp instructions)"
  size=$(stat -c %s "$file")
  printf '%-9s %6d bytes (%5.1f KiB, target <= %d KiB)  NEEDED: %s\n' \
    "$prog" "$size" "$(awk -v s="$size" 'BEGIN { print s / 1024 }')" "$((limit / 1024))" "$got"
  [ "$size" -le "$limit" ] || fail "$file is $size bytes, over its $limit-byte target"
}

# expect <root> <description> <exit status> <expected output, both streams> <command...>
expect() {
  local rootfs=$1 what=$2 want_rc=$3 want=$4; shift 4
  local got rc=0
  got=$(chroot "$rootfs" /qemu/qemu-mips-static "$@" 2>&1) || rc=$?
  # qemu's own line about a program ended by a signal is not the program's.
  got=$(printf '%s\n' "$got" | grep -v '^qemu: uncaught target signal' || true)
  [ "$rc" = "$want_rc" ] || fail "$what: exit status $rc, expected $want_rc: $got"
  [ "$got" = "$want" ] || fail "$what: got [$got], expected [$want]"
  echo "ok: $what"
}

# A root as on the board: musl's loader, libxml2, the board's image (the
# programs in /usr/bin, init files), unitmon beside them, a version file, no
# SPI device. The programs run under qemu chrooted into it
# (qemu's -L prefix is not enough: it does not apply to statx, which musl's
# stat uses).
# run_on_board_root <build dir> <sysroot> <loader>
run_on_board_root() {
  local b=$1 sysroot=$2 loader=$3 rootfs=$1/rootfs prog out rc err
  rm -rf "$rootfs" && mkdir -p "$rootfs/lib" "$rootfs/usr/lib" "$rootfs/usr/bin" "$rootfs/etc" "$rootfs/qemu"
  cp -L "$sysroot/usr/lib/libc.so" "$rootfs$loader"
  cp -L "$sysroot/usr/lib/libxml2.so.2" "$rootfs/usr/lib/"
  cp -a "$b/image/." "$b/image-host/." "$rootfs/"
  cp "$(command -v qemu-mips-static)" "$rootfs/qemu/"
  cat > "$rootfs/etc/krv_version.xml" <<'EOF'
<?xml version="1.0"?>
<krv><major>3</major><minor>10</minor><patch>258</patch><build>4097</build><commit_id_short>0badc0d</commit_id_short></krv>
EOF
  expect "$rootfs" "unitctl -v reads /etc/krv_version.xml through libxml2" 0 \
    "$(printf 'KRV version: 3.10.258\nBuild number: 4097\nCommit ID: 0badc0d')" /usr/bin/unitctl -v
  expect "$rootfs" "unitctl -b without an SPI device ends with status 1" 1 \
    "can't open device: No such file or directory" /usr/bin/unitctl -b
  rc=0; err=$(chroot "$rootfs" /qemu/qemu-mips-static /usr/bin/mcuflash 2>&1 >/dev/null) || rc=$?
  [ "$rc" = 1 ] && [ "$err" = "Please supply a file to flash" ] || fail "mcuflash without an image: $rc [$err]"
  echo "ok: mcuflash without an image"
  expect "$rootfs" "mcuflash with a missing image ends with status 1" 1 \
    "/tmp/none.bin: No such file or directory" /usr/bin/mcuflash /tmp/none.bin
  for prog in $(ls "$rootfs/usr/bin"); do
    out=$(chroot "$rootfs" /qemu/qemu-mips-static "/usr/bin/$prog" -h) || fail "$prog -h: exit status $?"
    printf '%s\n' "$out" | head -n1 | grep -qE "^[Uu]sage: (/usr/bin/)?$prog( |$)" || fail "$prog -h: [$out]"
    echo "ok: $prog -h"
  done
}

# board_build <triple> <loader>: the Release build for one kind of board,
# installed, checked and run; prints the size lines into <build>/sizes.
board_build() {
  local triple=$1 loader=$2 b=build-${1#mips-linux-} file
  step "$triple: Release build for the board"
  rm -rf "$b/image" "$b/image-host"
  cmake -S . -B "$b" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/$triple.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DBOARD_TESTS=OFF -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
  cmake --build "$b" -j"$jobs"
  # What goes into the board's image (the board component, as a plain
  # install of a board build gives it), and unitmon's board build apart.
  DESTDIR="$root/$b/image" cmake --install "$b" --strip >/dev/null
  DESTDIR="$root/$b/image-host" cmake --install "$b" --strip --component host >/dev/null
  for prog in unitctl mcuflash; do
    [ -x "$b/image/usr/bin/$prog" ] || fail "$b/image/usr/bin/$prog missing"
  done
  [ ! -e "$b/image/usr/bin/unitmon" ] || fail "$b/image/usr/bin/unitmon: the host component in the board's image"
  [ -x "$b/image/etc/init.d/unitctl" ] || fail "$b/image/etc/init.d/unitctl missing"
  : > "$b/sizes"
  for file in "$b"/image/usr/bin/* "$b"/image-host/usr/bin/*; do
    check_program "$file" "$loader" >> "$b/sizes"
  done
  cat "$b/sizes"
  step "$triple: the board's programs under qemu in a musl root"
  if [ "$(id -u)" = 0 ]; then
    run_on_board_root "$b" "build-deps/$triple/sysroot" "$loader"
  else
    echo "(not root: no chroot, the board root is not tried)"
  fi
}
t0=$(date +%s)
board_build mips-linux-musl /lib/ld-musl-mips.so.1
hard_s=$(( $(date +%s) - t0 )); t0=$(date +%s)
board_build mips-linux-muslsf /lib/ld-musl-mips-sf.so.1
soft_s=$(( $(date +%s) - t0 ))

total_s=$(( $(date +%s) - start ))
echo
echo "== cross: figures"
echo "board build, hard float (mips-linux-musl, Release, stripped; ${hard_s} s):"
cat build-musl/sizes
echo "board build, soft float (mips-linux-muslsf, Release, stripped; ${soft_s} s):"
cat build-muslsf/sizes
echo "test suite under qemu (mips-linux-gnu): $emu_summary, ${emu_s} s wall"
echo "test suite on the host (x86-64):        $host_summary${host_s:+, ${host_s} s wall}"
echo "target libraries ${deps_s} s, mips build ${build_s} s, cross part ${total_s} s in all"
