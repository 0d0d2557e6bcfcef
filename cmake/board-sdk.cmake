# The board vendor's own SDK toolchain (a musl cross compiler with its
# sysroot, e.g. an OpenWrt/Buildroot staging tree). Give the compiler prefix
# and the sysroot:
#
#   cmake -S . -B build-sdk -DCMAKE_TOOLCHAIN_FILE=cmake/board-sdk.cmake \
#         -DBOARD_SDK_PREFIX=/opt/sdk/bin/mips-openwrt-linux-musl- \
#         -DBOARD_SDK_SYSROOT=/opt/sdk/staging_dir/target-mips_24kc_musl \
#         -DCMAKE_BUILD_TYPE=Release -DBOARD_TESTS=OFF
#
# (or set the environment variables of the same names). The SDK's sysroot
# must hold libxml2's headers and library (usr/include/libxml2,
# usr/lib/libxml2.so). Optional: BOARD_SDK_EMULATOR, a command that runs
# target programs here (e.g. "qemu-mips-static;-L;<sysroot>"), for ctest.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mips)
# What the board runs: a plain `cmake --install` installs the board
# component only.
set(BOARD_IMAGE ON)

foreach(_var BOARD_SDK_PREFIX BOARD_SDK_SYSROOT BOARD_SDK_EMULATOR)
  if(NOT ${_var} AND DEFINED ENV{${_var}})
    set(${_var} "$ENV{${_var}}")
  endif()
endforeach()
if(NOT BOARD_SDK_PREFIX OR NOT BOARD_SDK_SYSROOT)
  message(FATAL_ERROR "board-sdk.cmake needs BOARD_SDK_PREFIX (compiler prefix, e.g. /opt/sdk/bin/mips-openwrt-linux-musl-) and BOARD_SDK_SYSROOT")
endif()
# try_compile projects read this file again: hand the settings on.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES BOARD_SDK_PREFIX BOARD_SDK_SYSROOT BOARD_SDK_EMULATOR)

set(CMAKE_C_COMPILER "${BOARD_SDK_PREFIX}gcc")
set(CMAKE_CXX_COMPILER "${BOARD_SDK_PREFIX}g++")
set(CMAKE_SYSROOT "${BOARD_SDK_SYSROOT}")
if(BOARD_SDK_EMULATOR)
  set(CMAKE_CROSSCOMPILING_EMULATOR "${BOARD_SDK_EMULATOR}")
endif()

set(CMAKE_FIND_ROOT_PATH "${BOARD_SDK_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(ENV{PKG_CONFIG_LIBDIR} "${BOARD_SDK_SYSROOT}/usr/lib/pkgconfig")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "${BOARD_SDK_SYSROOT}")
