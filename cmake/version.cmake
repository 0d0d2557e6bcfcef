# Writes the header that gives the programs their version: the project's
# version, and the commit when the sources are a git checkout ("" when not).
# Run at every build (cmake -P), it rewrites the header only when its text
# changes, so a new commit rebuilds what prints it and nothing else does.
#   -DSOURCE_DIR=<tree> -DOUTPUT=<header> -DVERSION=<x.y.z>
set(revision "")
find_program(GIT git)
if(GIT AND EXISTS "${SOURCE_DIR}/.git")
  execute_process(COMMAND "${GIT}" -C "${SOURCE_DIR}" rev-parse --short=12 HEAD
                  OUTPUT_VARIABLE revision OUTPUT_STRIP_TRAILING_WHITESPACE
                  RESULT_VARIABLE failed ERROR_QUIET)
  if(failed)
    set(revision "")
  else()
    execute_process(COMMAND "${GIT}" -C "${SOURCE_DIR}" status --porcelain --untracked-files=no
                    OUTPUT_VARIABLE changes RESULT_VARIABLE failed ERROR_QUIET)
    if(NOT failed AND NOT changes STREQUAL "")
      string(APPEND revision "-dirty")
    endif()
  endif()
endif()
file(CONFIGURE OUTPUT "${OUTPUT}" CONTENT [[
// Made at build time from the project's version and its git commit.
#pragma once
#define BOARD_VERSION "@VERSION@"
#define BOARD_REVISION "@revision@"
]] @ONLY)
