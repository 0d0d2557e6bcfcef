# 32-bit big-endian MIPS with musl, soft float (-msoft-float): what ships to
# a board with a soft-float userland, whose musl loader is
# /lib/ld-musl-mips-sf.so.1 (a hard-float program does not start there).
#
#   scripts/build-target-deps.sh muslsf
#   cmake -S . -B build-muslsf -DCMAKE_TOOLCHAIN_FILE=cmake/mips-linux-muslsf.cmake \
#         -DCMAKE_BUILD_TYPE=Release -DBOARD_TESTS=OFF
#
# musl and libxml2 are built with -msoft-float into
# build-deps/mips-linux-muslsf/sysroot, and the drivers add -msoft-float and
# a soft-float libgcc. The sysroot, the drivers and the Release flags:
# mips-musl-common.cmake.
set(BOARD_TARGET_TRIPLE mips-linux-muslsf)
include("${CMAKE_CURRENT_LIST_DIR}/mips-musl-common.cmake")
