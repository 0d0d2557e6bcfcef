# What the two musl toolchain files share (mips-linux-musl.cmake, hard
# float, and mips-linux-muslsf.cmake, soft float); they set
# BOARD_TARGET_TRIPLE first. Not a toolchain file of its own.
#
# Debian has no musl cross compiler: scripts/build-target-deps.sh builds a
# musl sysroot (musl, the kernel's uapi headers, libxml2) under
# build-deps/<triple> and writes the drivers <triple>-gcc and <triple>-g++
# beside it, Debian's mips-linux-gnu-gcc pointed at that sysroot. Another
# place: BOARD_MUSL_ROOT (a CMake or environment variable).
#
# There is no libstdc++ for musl: the C++ driver compiles C++ with the
# header-only parts of the C++ library and links no C++ runtime, so any use
# of it in a program is a link error here. Only the programs build this way
# (BOARD_TESTS=OFF); the test suite runs on the glibc build.
#
# A Release build for the board is optimised for size: -Os, link-time
# optimisation, unused sections dropped, no symbols exported.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mips)
# What the board runs: a plain `cmake --install` installs the board
# component only.
set(BOARD_IMAGE ON)

if(NOT BOARD_MUSL_ROOT)
  if(DEFINED ENV{BOARD_MUSL_ROOT})
    set(BOARD_MUSL_ROOT "$ENV{BOARD_MUSL_ROOT}")
  else()
    get_filename_component(BOARD_MUSL_ROOT "${CMAKE_CURRENT_LIST_DIR}/../build-deps/${BOARD_TARGET_TRIPLE}" ABSOLUTE)
  endif()
endif()
set(BOARD_MUSL_SYSROOT "${BOARD_MUSL_ROOT}/sysroot")
if(NOT EXISTS "${BOARD_MUSL_ROOT}/bin/${BOARD_TARGET_TRIPLE}-gcc")
  message(FATAL_ERROR "no ${BOARD_TARGET_TRIPLE} sysroot in ${BOARD_MUSL_ROOT}: run scripts/build-target-deps.sh")
endif()
set(CMAKE_C_COMPILER "${BOARD_MUSL_ROOT}/bin/${BOARD_TARGET_TRIPLE}-gcc")
set(CMAKE_CXX_COMPILER "${BOARD_MUSL_ROOT}/bin/${BOARD_TARGET_TRIPLE}-g++")

# The programs export nothing: with hidden symbols their global GOT entries
# and dynamic symbols shrink to what they import (about 1.5 KiB each on
# MIPS, where every global GOT entry needs a dynamic symbol).
set(CMAKE_C_FLAGS_RELEASE "-Os -DNDEBUG -ffunction-sections -fdata-sections -fvisibility=hidden"
    CACHE STRING "Flags of a Release build for the board")
set(CMAKE_CXX_FLAGS_RELEASE "-Os -DNDEBUG -ffunction-sections -fdata-sections -fvisibility=hidden"
    CACHE STRING "Flags of a Release build for the board")
# No build-id note either: nothing matches the board's stripped programs
# with their symbols by it, and it costs 124 bytes in each.
set(CMAKE_EXE_LINKER_FLAGS_RELEASE "-Wl,--gc-sections -Wl,--build-id=none" CACHE STRING
    "Linker flags of a Release build for the board")
# Link-time optimisation across the modules and the programs' static
# libraries (CMake adds -flto and archives them with <triple>-gcc-ar);
# about a tenth off each program. The executables stay position-independent.
# -DCMAKE_INTERPROCEDURAL_OPTIMIZATION_RELEASE=OFF builds without it.
if(NOT DEFINED CMAKE_INTERPROCEDURAL_OPTIMIZATION_RELEASE)
  set(CMAKE_INTERPROCEDURAL_OPTIMIZATION_RELEASE ON)
endif()

# Running a musl program here: qemu with the sysroot as its root.
find_program(BOARD_QEMU qemu-mips-static)
if(NOT BOARD_QEMU)
  set(BOARD_QEMU qemu-mips-static)
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR "${BOARD_QEMU};-L;${BOARD_MUSL_SYSROOT}")

set(CMAKE_FIND_ROOT_PATH "${BOARD_MUSL_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(ENV{PKG_CONFIG_LIBDIR} "${BOARD_MUSL_SYSROOT}/usr/lib/pkgconfig")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "${BOARD_MUSL_SYSROOT}")
