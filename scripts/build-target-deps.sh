#!/usr/bin/env bash
# Builds the target libraries of the cross builds from Debian's own source
# packages (Debian 12 has no big-endian MIPS architecture to install them
# from):
#
#   build-deps/mips-linux-gnu/     static libxml2, libpcap, libmicrohttpd
#                                  (without TLS) and GoogleTest for the
#                                  glibc build that the test suite runs on
#   build-deps/mips-linux-musl/sysroot/
#                                  musl, the kernel's uapi headers and a
#                                  shared libxml2: what a hard-float board has
#   build-deps/mips-linux-muslsf/sysroot/
#                                  the same built with -msoft-float, for a
#                                  soft-float board; beside it libgcc/, the
#                                  compiler's support library for soft float
#
# Usage: scripts/build-target-deps.sh [gnu|musl|muslsf|all]   (default all)
# Idempotent: each piece is skipped when its stamp file exists; delete
# build-deps/ (or one prefix) to rebuild. Fetching the sources needs root
# (a temporary deb-src entry); as root, what the builds need (the cross
# compiler g++-mips-linux-gnu, dpkg-dev, flex, bison...) is installed first
# when missing, so this runs on a fresh Debian 12 machine. Environment:
# BOARD_DEPS_DIR (default build-deps), JOBS (default: number of cores).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
deps=${BOARD_DEPS_DIR:-$root/build-deps}
jobs=${JOBS:-$(nproc)}
what=${1:-all}
src=$deps/src
work=$deps/work
gnu=$deps/mips-linux-gnu
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)

start=$(date +%s)
# Each line tells the seconds since the start: the cost of every piece.
log() { echo "build-target-deps: [$(( $(date +%s) - start )) s] $*"; }
stamp_ok() { [ -f "$1/.stamp-$2" ]; }
stamp() { date -u +%FT%TZ > "$1/.stamp-$2"; }

# Quiet unless it fails: then the whole log is shown.
run_logged() {
  local logfile=$1; shift
  if ! "$@" >"$logfile" 2>&1; then
    cat "$logfile" >&2
    log "failed: $*  (log: $logfile)"
    exit 1
  fi
}

srcdir() { ls -d "$src/$1"-[0-9]*/ 2>/dev/null | head -n1 | sed 's:/$::'; }

# The Debian source packages of the target libraries: a library added here
# and built below (build_autoconf, or a function of its own) is fetched with
# the others.
source_packages=(musl libxml2 libpcap libmicrohttpd)

# What building them takes on the build machine, and what the next steps
# of docs/cross.md take (ninja, qemu for the tests).
host_tools() {
  local need=(g++-mips-linux-gnu binutils-mips-linux-gnu dpkg-dev googletest cmake make
              flex bison pkg-config ninja-build qemu-user-static)
  if [ "$(id -u)" = 0 ]; then
    "$root/scripts/apt-need.sh" "${need[@]}"
  else
    command -v mips-linux-gnu-gcc >/dev/null ||
      { log "mips-linux-gnu-gcc missing: run as root, or apt-get install ${need[*]}"; exit 1; }
  fi
}

fetch_sources() {
  local p have=1
  for p in "${source_packages[@]}"; do [ -n "$(srcdir "$p")" ] || have=0; done
  stamp_ok "$src" sources && [ "$have" = 1 ] && return
  if [ "$(id -u)" != 0 ]; then
    log "fetching Debian sources needs root (a temporary deb-src entry)"; exit 1
  fi
  command -v dpkg-source >/dev/null || { log "dpkg-source missing: apt-get install dpkg-dev"; exit 1; }
  # The deb-src entry points at the first mirror and suite that the
  # system's own sources use, and exists only while the sources are fetched.
  local sources=/etc/apt/sources.list.d/debian.sources uri suite keyring entry
  if [ -f "$sources" ]; then
    uri=$(awk '/^URIs:/ {print $2; exit}' "$sources")
    suite=$(awk '/^Suites:/ {print $2; exit}' "$sources")
    keyring=$(awk '/^Signed-By:/ {print $2; exit}' "$sources")
  else  # the one-line format
    uri=$(awk '$1 == "deb" && $2 !~ /^\[/ {print $2; exit}' /etc/apt/sources.list)
    suite=$(awk '$1 == "deb" && $2 !~ /^\[/ {print $3; exit}' /etc/apt/sources.list)
    keyring=""
  fi
  [ -n "$uri" ] && [ -n "$suite" ] || { log "no Debian mirror found in the apt sources"; exit 1; }
  entry=/etc/apt/sources.list.d/board-deps-src.sources
  trap 'rm -f "$entry"' EXIT
  {
    echo "Types: deb-src"
    echo "URIs: $uri"
    echo "Suites: $suite"
    echo "Components: main"
    [ -n "$keyring" ] && echo "Signed-By: $keyring"
  } > "$entry"
  # A fetch cut short leaves half a tree: start again from nothing.
  rm -rf "$src" && mkdir -p "$src"
  log "fetching the source packages ${source_packages[*]} ($suite)"
  # Refresh only the deb-src index; the system's binary lists stay as they are.
  run_logged "$src/apt.log" apt-get update -o Dir::Etc::sourcelist="$entry" \
    -o Dir::Etc::sourceparts=- -o APT::Get::List-Cleanup=0
  (cd "$src" && run_logged "$src/apt-source.log" apt-get source -q "${source_packages[@]}")
  rm -f "$entry"
  trap - EXIT
  stamp "$src" sources
}

# glibc's soft-fp sources (the software floating point that libgcc builds
# for soft-float targets), from the package glibc-source: only the few files
# that the soft-float libgcc below compiles are unpacked.
fetch_softfp_sources() {
  local dir=$src/softfp
  stamp_ok "$dir" sources && return
  rm -rf "$dir" && mkdir -p "$dir"
  log "fetching the package glibc-source (soft-fp)"
  # Stale package lists name a version the mirror no longer has: refresh
  # them once and try again.
  if ! (cd "$dir" && apt-get download -q glibc-source >"$dir/apt.log" 2>&1); then
    run_logged "$dir/apt-update.log" apt-get update -q
    (cd "$dir" && run_logged "$dir/apt.log" apt-get download -q glibc-source)
  fi
  dpkg-deb -x "$dir"/glibc-source_*.deb "$dir/deb"
  local tarball
  tarball=$(ls "$dir"/deb/usr/src/glibc/glibc-*.tar.xz | head -n1)
  tar -xJf "$tarball" -C "$dir" --strip-components=1 --wildcards \
    '*/soft-fp/*' '*/sysdeps/mips/mips32/sfp-machine.h' '*/stdlib/longlong.h'
  rm -rf "$dir/deb" "$dir"/glibc-source_*.deb
  stamp "$dir" sources
}

# The compiler's support library for soft float. Debian's cross gcc has
# only hard-float multilibs: its libgcc.a does floating point on the FPU and
# passes doubles in FPU registers. Its integer routines (64-bit division and
# the like) are kept, and every member that touches an FPU register is
# replaced, built with -msoft-float: glibc's soft-fp routines, the set that
# gcc's own libgcc has for soft-float MIPS (single and double: arithmetic,
# comparisons, conversions), and libgcc-softfloat-extras.c (complex
# multiplication and division, integer powers). The FP ABI tags of the kept
# members and of the crtbegin/crtend files are dropped, so the linker does
# not warn about mixing hard- and soft-float objects where no floating
# point is.
build_libgcc_softfloat() {
  local dir=$1
  stamp_ok "$dir" libgcc && return
  local sfp=$src/softfp b=$work/libgcc-softfloat
  log "building a soft-float libgcc (glibc soft-fp)"
  rm -rf "$b" "$dir" && mkdir -p "$b/hard" "$b/soft" "$dir"
  cat > "$b/sfp-machine.h" <<EOF
/* soft-fp outside glibc: byte order and aliases from the compiler. */
#define __LITTLE_ENDIAN __ORDER_LITTLE_ENDIAN__
#define __BIG_ENDIAN __ORDER_BIG_ENDIAN__
#define __BYTE_ORDER __BYTE_ORDER__
#define strong_alias(name, aliasname) \\
  extern __typeof (name) aliasname __attribute__ ((alias (#name)));
#include "$sfp/sysdeps/mips/mips32/sfp-machine.h"
EOF
  local m f fns=(extendsfdf2 truncdfsf2)
  for m in sf df; do
    for f in add${m}3 sub${m}3 mul${m}3 div${m}3 neg${m}2 eq${m}2 ge${m}2 le${m}2 unord${m}2 \
             fix${m}si fixuns${m}si floatsi${m} floatunsi${m} fix${m}di fixuns${m}di floatdi${m} floatundi${m}; do
      fns+=("$f")
    done
  done
  printf '%s\n' "${fns[@]}" | run_logged "$b/build.log" xargs -P "$jobs" -I{} \
    mips-linux-gnu-gcc -msoft-float -O2 -fPIC -fvisibility=hidden -w \
      -I"$b" -I"$sfp/soft-fp" -I"$sfp/stdlib" -c "$sfp/soft-fp/{}.c" -o "$b/soft/{}.o"
  run_logged "$b/extras.log" mips-linux-gnu-gcc -msoft-float -O2 -fPIC -fvisibility=hidden \
    -Wall -Wextra -c "$root/scripts/libgcc-softfloat-extras.c" -o "$b/soft/softfloat-extras.o"
  local libgcc o
  libgcc=$(mips-linux-gnu-gcc -print-libgcc-file-name)
  (cd "$b/hard" && mips-linux-gnu-ar x "$libgcc")
  # The members whose code names an FPU register, from one disassembly of
  # the whole archive.
  mips-linux-gnu-objdump -d "$libgcc" | awk '
    /^In archive/ { next }
    /^[^ ]+\.o: +file format/ { member = $1; sub(/:$/, "", member); next }
    /\$f[0-9]+/ && member != "" { print member; member = "" }' > "$b/fpu-members"
  (cd "$b/hard" && xargs rm < "$b/fpu-members")
  for o in "$b"/hard/*.o; do
    [ ! -e "$b/soft/$(basename "$o")" ] || { log "libgcc member $(basename "$o") clashes"; exit 1; }
  done
  printf '%s\n' "$b"/hard/*.o | xargs -P "$jobs" -n1 \
    mips-linux-gnu-objcopy --remove-section=.gnu.attributes --remove-section=.MIPS.abiflags
  mips-linux-gnu-ar rcs "$dir/libgcc.a" "$b"/hard/*.o "$b"/soft/*.o
  for o in crtbegin.o crtbeginS.o crtbeginT.o crtend.o crtendS.o; do
    mips-linux-gnu-objcopy --remove-section=.gnu.attributes --remove-section=.MIPS.abiflags \
      "$(dirname "$libgcc")/$o" "$dir/$o"
  done
  stamp "$dir" libgcc
}

# musl for the board, with the kernel's uapi headers (linux/spi/spidev.h and
# what it includes), into a sysroot. Binaries load it as
# /lib/ld-musl-mips.so.1 (hard float) or /lib/ld-musl-mips-sf.so.1 (soft
# float), a link to usr/lib/libc.so. Shared only: the programs link
# dynamically, and a static libc would compile every source a second time.
# build_musl <sysroot> <work dir name> [configure variables...]
build_musl() {
  local root=$1 name=$2; shift 2
  stamp_ok "$root" musl && return
  local s b
  s=$(srcdir musl); b=$work/$name
  log "building $name ($(basename "$s"))"
  rm -rf "$b" && mkdir -p "$b" "$root"
  (cd "$b" &&
    run_logged "$b/configure.log" "$s/configure" --target=mips-linux-gnu \
      CROSS_COMPILE=mips-linux-gnu- --prefix=/usr --syslibdir=/lib --disable-wrapper --disable-static "$@" &&
    run_logged "$b/build.log" make -j"$jobs" &&
    run_logged "$b/install.log" make install DESTDIR="$root")
  # make install links the loader to the absolute /usr/lib/libc.so; inside
  # the sysroot (qemu -L) it must stay relative.
  local ldso
  for ldso in "$root"/lib/ld-musl-*.so.1; do
    ln -sf ../usr/lib/libc.so "$ldso"
  done
  local d
  for d in linux asm asm-generic; do
    rm -rf "$root/usr/include/$d"
    cp -a "/usr/mips-linux-gnu/include/$d" "$root/usr/include/"
  done
  stamp "$root" musl
}

# Compiler drivers for a musl sysroot, in the way of musl-gcc: Debian's
# mips-linux-gnu-gcc with the glibc headers and start files swapped for the
# sysroot's, and musl's dynamic linker. There is no libstdc++ for musl:
# <triple>-g++ compiles C++ with the header-only parts of the C++ library
# (<array>, <span>, <cstdint>, ...) and links no C++ runtime, which is all
# the programs use. Written on every run (cheap, and follows this script).
# write_musl_drivers <triple> <loader> [extra compiler flags...]
write_musl_drivers() {
  local triple=$1 loader=$2; shift 2
  local bin=$deps/$triple/bin share=$deps/$triple/share root=$deps/$triple/sysroot
  mkdir -p "$bin" "$share"
  local gcc_include cxx_dirs="" d
  gcc_include=$(mips-linux-gnu-gcc -print-file-name=include)
  for d in $(mips-linux-gnu-g++ -x c++ -E -v /dev/null 2>&1 >/dev/null | sed -n 's:^ \(/.*/c++/.*\)$:\1:p'); do
    cxx_dirs+=" -isystem $(realpath "$d")"
  done
  # The C++ library headers were configured for glibc: bits/os_defines.h
  # asks __GLIBC_PREREQ, whose answer under musl is "no glibc".
  printf '%s\n' '#ifndef __GLIBC_PREREQ' '#define __GLIBC_PREREQ(major, minor) 0' '#endif' \
    > "$share/musl-cxx-prelude.h"
  local lang extra
  for lang in gcc g++; do
    extra="$*"
    [ "$lang" = g++ ] && extra+=" -include $share/musl-cxx-prelude.h$cxx_dirs"
    {
      echo '#!/bin/sh'
      echo "# Debian's mips-linux-gnu-gcc building for musl (written by build-target-deps.sh)."
      echo "sysroot='$root'"
      echo "ldso=-Wl,-dynamic-linker,$loader"
      echo 'for arg; do'
      echo '  case $arg in -shared|-c|-S|-E) ldso= ;; esac'
      echo 'done'
      echo "exec mips-linux-gnu-gcc --sysroot=\"\$sysroot\" -nostdinc $extra \\"
      echo "  -isystem \"\$sysroot/usr/include\" -isystem '$gcc_include' \\"
      echo "  -B\"\$sysroot/usr/lib\" -L\"\$sysroot/usr/lib\" -static-libgcc \$ldso \"\$@\""
    } > "$bin/$triple-$lang"
    chmod +x "$bin/$triple-$lang"
  done
  # The binary tools are the cross binutils, under the drivers' prefix so
  # that CMake finds them (strip for cmake --install --strip; gcc-ar and
  # gcc-ranlib, which understand link-time-optimised objects, for static
  # libraries built with -flto).
  local tool
  for tool in ar ranlib strip nm objcopy objdump readelf ld addr2line gcc-ar gcc-ranlib gcc-nm; do
    ln -sf "$(command -v mips-linux-gnu-$tool)" "$bin/$triple-$tool"
  done
}

# A slim libxml2: the parser and the tree, nothing the programs do not use.
# Threads stay on (2.9.14 does not build without them).
build_libxml2() {
  local triple=$1 prefix=$2 shared=$3
  stamp_ok "$prefix" libxml2 && return
  local s b
  s=$(srcdir libxml2); b=$work/libxml2-$triple
  log "building libxml2 for $triple ($(basename "$s"), shared=$shared)"
  rm -rf "$b"
  local off=(C14N CATALOG DEBUG DOCB FTP HTML HTTP ICONV ICU ISO8859X LEGACY LZMA
             MODULES PROGRAMS PYTHON SCHEMAS SCHEMATRON TESTS XINCLUDE XPATH XPTR ZLIB
             READER WRITER REGEXPS PATTERN VALID)
  local opts=() o
  for o in "${off[@]}"; do opts+=("-DLIBXML2_WITH_$o=OFF"); done
  # Its CMake build names the shared library by its full version; the
  # board's loader (like every distribution's) looks for libxml2.so.2.
  printf '%s\n' 'cmake_language(DEFER DIRECTORY "${CMAKE_SOURCE_DIR}" CALL' \
    '  set_target_properties LibXml2 PROPERTIES SOVERSION 2)' > "$work/libxml2-soname.cmake"
  opts+=("-DCMAKE_PROJECT_libxml2_INCLUDE=$work/libxml2-soname.cmake")
  run_logged "$deps/libxml2-$triple-configure.log" cmake -S "$s" -B "$b" "${generator[@]}" \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/$triple.cmake" \
    -DBOARD_DEPS_PREFIX="$prefix" -DBOARD_MUSL_ROOT="$deps/$triple" \
    -DCMAKE_BUILD_TYPE=MinSizeRel -DCMAKE_INSTALL_PREFIX="$prefix" \
    -DBUILD_SHARED_LIBS="$shared" -DLIBXML2_WITH_THREADS=ON "${opts[@]}"
  run_logged "$b/build.log" cmake --build "$b" -j"$jobs"
  run_logged "$b/install.log" cmake --install "$b"
  stamp "$prefix" libxml2
}

# A static library with an autoconf build, into <prefix>; make_targets
# (default: all) names what to build when the default would build more:
# [make_targets=...] build_autoconf <source package> <triple> <prefix> [configure options...]
build_autoconf() {
  local name=$1 triple=$2 prefix=$3; shift 3
  stamp_ok "$prefix" "$name" && return
  local s b
  s=$(srcdir "$name"); b=$work/$name-$triple
  log "building $name for $triple ($(basename "$s"))"
  rm -rf "$b" && mkdir -p "$b"
  (cd "$b" &&
    run_logged "$b/configure.log" "$s/configure" --host="$triple" --prefix="$prefix" \
      --enable-static --disable-shared "$@" CFLAGS="-O2 -fPIC" &&
    run_logged "$b/build.log" make -j"$jobs" ${make_targets:-all} &&
    run_logged "$b/install.log" make install)
  stamp "$prefix" "$name"
}

# libpcap for unitmon --read: the capture file reader; no live capture
# helpers (netlink, USB, Bluetooth, D-Bus, RDMA), no remote capture. Its
# "all" builds the shared library even with --disable-shared.
build_libpcap() {
  make_targets="libpcap.a libpcap.pc pcap-config" build_autoconf libpcap "$1" "$2" --without-libnl --disable-usb --disable-netmap \
    --disable-bluetooth --disable-dbus --disable-rdma --disable-remote --without-dpdk
}

# libmicrohttpd for unitmon --metrics, built without HTTPS: the target has
# no GnuTLS (and its chain: nettle, gmp, p11-kit...), so the MIPS test build
# serves plain HTTP.
build_libmicrohttpd() {
  build_autoconf libmicrohttpd "$1" "$2" --disable-https --without-gnutls --disable-curl \
    --disable-doc --disable-examples --disable-tools --disable-nls
}

# GoogleTest and GoogleMock from Debian's googletest sources.
build_gtest() {
  local triple=$1 prefix=$2
  stamp_ok "$prefix" gtest && return
  local b=$work/gtest-$triple
  [ -f /usr/src/googletest/CMakeLists.txt ] || { log "/usr/src/googletest missing: apt-get install googletest"; exit 1; }
  log "building GoogleTest for $triple"
  rm -rf "$b"
  run_logged "$deps/gtest-$triple-configure.log" cmake -S /usr/src/googletest -B "$b" "${generator[@]}" \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/$triple.cmake" -DBOARD_DEPS_PREFIX="$prefix" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix"
  run_logged "$b/build.log" cmake --build "$b" -j"$jobs"
  run_logged "$b/install.log" cmake --install "$b"
  stamp "$prefix" gtest
}

mkdir -p "$deps" "$work"
case $what in
  gnu|musl|muslsf|all) host_tools; fetch_sources ;;
  *) echo "usage: $0 [gnu|musl|muslsf|all]" >&2; exit 2 ;;
esac
if [ "$what" = gnu ] || [ "$what" = all ]; then
  mkdir -p "$gnu"
  build_libxml2 mips-linux-gnu "$gnu" OFF
  build_libpcap mips-linux-gnu "$gnu"
  build_libmicrohttpd mips-linux-gnu "$gnu"
  build_gtest mips-linux-gnu "$gnu"
fi
if [ "$what" = musl ] || [ "$what" = all ]; then
  build_musl "$deps/mips-linux-musl/sysroot" musl
  write_musl_drivers mips-linux-musl /lib/ld-musl-mips.so.1
  build_libxml2 mips-linux-musl "$deps/mips-linux-musl/sysroot/usr" ON
fi
if [ "$what" = muslsf ] || [ "$what" = all ]; then
  sf=$deps/mips-linux-muslsf
  fetch_softfp_sources
  build_libgcc_softfloat "$sf/libgcc"
  build_musl "$sf/sysroot" musl-softfloat CFLAGS=-msoft-float LIBCC="$sf/libgcc/libgcc.a"
  write_musl_drivers mips-linux-muslsf /lib/ld-musl-mips-sf.so.1 \
    -msoft-float -B"$sf/libgcc" -L"$sf/libgcc"
  build_libxml2 mips-linux-muslsf "$sf/sysroot/usr" ON
fi
log "done in $(( $(date +%s) - start )) s ($deps)"
