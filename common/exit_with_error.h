// How the programs end on a set-up failure, called only from their main.
#pragma once

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>

// Prints "message: <system error text>" on standard error, after what
// standard output already holds, and ends the program with status 1 (a
// missing device or file is an error to report, not a crash: no core, and
// a supervisor sees an ordinary failure).
[[noreturn]] inline void exit_with_error(const char* message) {
  // Flushing may change errno, so the error to print is kept first.
  const int saved = errno;
  fflush(stdout);
  errno = saved;
  perror(message);
  exit(1);
}
