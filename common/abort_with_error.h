// How the programs end on a set-up failure, called only from their main.
#pragma once

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>

// Prints "message: <system error text>" on standard error, keeping what was
// already printed on standard output, and aborts.
[[noreturn]] inline void abort_with_error(const char* message) {
  // Flushing may change errno, so the error to print is kept first.
  const int saved = errno;
  fflush(stdout);
  errno = saved;
  perror(message);
  abort();
}
