// What the fuzz targets share: a check that ends the run loudly, so that a
// broken invariant is a finding for libFuzzer and a crash for the replay.
#pragma once

#include <stdio.h>
#include <stdlib.h>

#define FUZZ_REQUIRE(cond, what)                                        \
  do {                                                                  \
    if (!(cond)) {                                                      \
      fprintf(stderr, "%s:%d: %s (%s)\n", __FILE__, __LINE__, what, #cond); \
      abort();                                                          \
    }                                                                   \
  } while (0)
