// Milliseconds of the monotonic clock, in 64 bits: `long` is 32 bits on
// the board and would overflow after some weeks of uptime.
#pragma once

#include <stdint.h>
#include <time.h>

inline int64_t monotonic_ms(void) {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// The monotonic clock as it reads, for a caller that counts whole seconds
// or works out milliseconds itself.
inline void monotonic_now(timespec* now) { clock_gettime(CLOCK_MONOTONIC, now); }
