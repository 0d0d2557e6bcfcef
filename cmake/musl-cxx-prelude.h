/* Included first in every C++ file of the musl build (see
 * mips-linux-musl.cmake). The C++ library headers of Debian's cross
 * compiler were configured for glibc and ask __GLIBC_PREREQ in
 * bits/os_defines.h; under musl the answer is "no glibc". */
#ifndef __GLIBC_PREREQ
#define __GLIBC_PREREQ(major, minor) 0
#endif
