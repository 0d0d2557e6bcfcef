# 32-bit big-endian MIPS with glibc, Debian's cross compiler (package
# g++-mips-linux-gnu). This is the build the test suite runs on: every test
# program, and every program an end-to-end test starts, runs under qemu-user
# (package qemu-user-static) through CMAKE_CROSSCOMPILING_EMULATOR, because
# binfmt_misc is not relied upon.
#
#   cmake -S . -B build-mips -DCMAKE_TOOLCHAIN_FILE=cmake/mips-linux-gnu.cmake
#
# GoogleTest, libxml2, libpcap and libmicrohttpd (without HTTPS) for the
# target come from BOARD_DEPS_PREFIX, which scripts/build-target-deps.sh
# fills (default build-deps/mips-linux-gnu); with them unitmon's --read and
# --metrics are built here as on the host.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mips)

set(BOARD_TARGET_TRIPLE mips-linux-gnu)
set(BOARD_TARGET_HAS_UNITMON_LIBS ON)
set(CMAKE_C_COMPILER mips-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER mips-linux-gnu-g++)

if(NOT BOARD_DEPS_PREFIX)
  if(DEFINED ENV{BOARD_DEPS_PREFIX})
    set(BOARD_DEPS_PREFIX "$ENV{BOARD_DEPS_PREFIX}")
  else()
    get_filename_component(BOARD_DEPS_PREFIX "${CMAKE_CURRENT_LIST_DIR}/../build-deps/mips-linux-gnu" ABSOLUTE)
  endif()
endif()

# The C library and the cross compiler's own target files live here.
set(BOARD_TARGET_ROOT /usr/mips-linux-gnu)

# A program that dies by a signal (abort) makes qemu-user add the line
# "qemu: uncaught target signal 6 (Aborted) - core dumped" to its standard
# error, and write a core file into the working directory when the core size
# limit allows (scripts/ci-cross.sh sets it to zero).
find_program(BOARD_QEMU qemu-mips-static)
if(NOT BOARD_QEMU)
  set(BOARD_QEMU qemu-mips-static)
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR "${BOARD_QEMU};-L;${BOARD_TARGET_ROOT}")

set(CMAKE_FIND_ROOT_PATH "${BOARD_DEPS_PREFIX}" "${BOARD_TARGET_ROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# The target's libraries are static and bring their own link dependencies
# (threads, libm) in their CMake package files; prefer those to the module
# that only knows about a library's file name.
set(CMAKE_FIND_PACKAGE_PREFER_CONFIG ON)
# pkg-config must not answer with the build host's libraries.
set(ENV{PKG_CONFIG_LIBDIR} "${BOARD_DEPS_PREFIX}/lib/pkgconfig")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")
