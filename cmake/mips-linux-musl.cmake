# 32-bit big-endian MIPS with musl, hard float (o32, the compiler's
# default): what ships to a board whose musl loader is
# /lib/ld-musl-mips.so.1. A soft-float board: mips-linux-muslsf.cmake.
#
#   scripts/build-target-deps.sh musl
#   cmake -S . -B build-musl -DCMAKE_TOOLCHAIN_FILE=cmake/mips-linux-musl.cmake \
#         -DCMAKE_BUILD_TYPE=Release -DBOARD_TESTS=OFF
#
# The sysroot, the drivers and the Release flags: mips-musl-common.cmake.
set(BOARD_TARGET_TRIPLE mips-linux-musl)
include("${CMAKE_CURRENT_LIST_DIR}/mips-musl-common.cmake")
