// The built mcuflash program runs on the board without the C++ runtime: it
// needs the C library alone.
#include <gtest/gtest.h>
#include <stdio.h>

#include <boardsim/board.h>

#include "test_support.h"

#include <sstream>
#include <string>
#include <vector>

TEST(McuflashProgram, NeedsOnlyTheCLibrary) {
  test_support::expect_c_runtime_only(boardsim::mcuflash_path(), {});
}

