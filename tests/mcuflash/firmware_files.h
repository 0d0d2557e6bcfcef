// The test firmware made by the ARM toolchain at build time (see
// CMakeLists.txt): <variant>.{elf,hex,srec,bin} for the variants plain
// (0x40C = 0xFE), secured (0xFF) and locked (0xEF).
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#define SKIP_WITHOUT_FIRMWARE()                                                   \
  do {                                                                            \
    if (std::string(FIRMWARE_DIR).empty())                                        \
      GTEST_SKIP() << "arm-none-eabi binutils not installed: no test firmware"; \
  } while (0)

inline std::string firmware_path(const std::string& file) {
  return std::string(FIRMWARE_DIR) + "/" + file;
}

inline std::vector<uint8_t> firmware_bytes(const std::string& file) {
  std::ifstream in(firmware_path(file), std::ios::binary);
  EXPECT_TRUE(in) << file;
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}
