// "-V" / "--version": the program's name, the project's version and, when
// built from a git checkout, the commit ("unitctl 1.0.0 (commit 4f80a7c0f752)").
#pragma once
#include <stdio.h>

#include "board_version.h"

inline void print_program_version(const char* program) {
  if (BOARD_REVISION[0] != '\0')
    printf("%s " BOARD_VERSION " (commit " BOARD_REVISION ")\n", program);
  else
    printf("%s " BOARD_VERSION "\n", program);
}
