# 32-bit big-endian MIPS with musl: what ships to the board.
#
#   cmake -S . -B build-musl -DCMAKE_TOOLCHAIN_FILE=cmake/mips-linux-musl.cmake \
#         -DCMAKE_BUILD_TYPE=Release -DBOARD_TESTS=OFF
#
# There is no musl cross compiler in Debian, so Debian's mips-linux-gnu
# compiler is pointed at a musl sysroot built by scripts/build-target-deps.sh
# (default build-deps/mips-linux-musl/sysroot: musl, the kernel's uapi
# headers, libxml2). The glibc headers and start files of the compiler's
# own target directory are kept out with -nostdinc and -B/-L.
#
# The programs need no C++ runtime (they link through the C driver), and
# there is no libstdc++ built for musl: the C++ compiler is the gcc driver,
# which compiles C++ but links no libstdc++, so any stray use of the C++
# runtime is a link error here. Only the header-only parts of the C++
# library (<array>, <span>, <cstdint>, ...) are available; they were
# configured for glibc, hence musl-cxx-prelude.h.
#
# Binaries ask for musl's dynamic linker, /lib/ld-musl-mips.so.1.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mips)

set(BOARD_TARGET_TRIPLE mips-linux-musl)
set(CMAKE_C_COMPILER mips-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER mips-linux-gnu-gcc)

if(NOT BOARD_MUSL_SYSROOT)
  if(DEFINED ENV{BOARD_MUSL_SYSROOT})
    set(BOARD_MUSL_SYSROOT "$ENV{BOARD_MUSL_SYSROOT}")
  else()
    get_filename_component(BOARD_MUSL_SYSROOT "${CMAKE_CURRENT_LIST_DIR}/../build-deps/mips-linux-musl/sysroot" ABSOLUTE)
  endif()
endif()
set(BOARD_MUSL_LDSO /lib/ld-musl-mips.so.1)

# The compiler's own headers (stddef.h comes from musl, intrinsics from here)
# and the header directories of its C++ library.
execute_process(COMMAND mips-linux-gnu-gcc -print-file-name=include
                OUTPUT_VARIABLE _board_gcc_include OUTPUT_STRIP_TRAILING_WHITESPACE)
execute_process(COMMAND mips-linux-gnu-g++ -x c++ -E -v /dev/null
                OUTPUT_QUIET ERROR_VARIABLE _board_gxx_v)
string(REGEX MATCHALL "\n [^\n]*/c\\+\\+/[^\n]*" _board_gxx_dirs "${_board_gxx_v}")
set(_board_cxx_includes "")
foreach(_dir IN LISTS _board_gxx_dirs)
  string(STRIP "${_dir}" _dir)
  string(APPEND _board_cxx_includes " -isystem ${_dir}")
endforeach()

set(_board_c_includes "-nostdinc -isystem ${BOARD_MUSL_SYSROOT}/usr/include -isystem ${_board_gcc_include}")
set(CMAKE_C_FLAGS_INIT "${_board_c_includes}")
set(CMAKE_CXX_FLAGS_INIT "-include ${CMAKE_CURRENT_LIST_DIR}/musl-cxx-prelude.h -nostdinc${_board_cxx_includes} -isystem ${BOARD_MUSL_SYSROOT}/usr/include -isystem ${_board_gcc_include}")

set(_board_link "-B${BOARD_MUSL_SYSROOT}/usr/lib -L${BOARD_MUSL_SYSROOT}/usr/lib -static-libgcc")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${_board_link} -Wl,-dynamic-linker,${BOARD_MUSL_LDSO}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${_board_link}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${_board_link}")

# Running a musl program here: qemu with the sysroot as its root.
find_program(BOARD_QEMU qemu-mips-static)
if(NOT BOARD_QEMU)
  set(BOARD_QEMU qemu-mips-static)
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR "${BOARD_QEMU};-L;${BOARD_MUSL_SYSROOT}")

set(CMAKE_SYSROOT "${BOARD_MUSL_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH "${BOARD_MUSL_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(ENV{PKG_CONFIG_LIBDIR} "${BOARD_MUSL_SYSROOT}/usr/lib/pkgconfig")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "${BOARD_MUSL_SYSROOT}")
