// CRC-8 of the MCU frames and the verbose trace rows.
#include <gtest/gtest.h>
#include <stdio.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "spi_link.h"
#include "test_support.h"

namespace {

using test_support::capture_stdout;

std::string repeat(const std::string& s, int n) {
  std::string r;
  for (int i = 0; i < n; ++i) r += s;
  return r;
}

uint8_t crc_of(const std::vector<uint8_t>& v) { return crc8(v.data(), (int)v.size()); }

}  // namespace

TEST(Crc8, PublishedAndFrameCheckValues) {
  struct Case {
    std::vector<uint8_t> data;
    uint8_t crc;
  } cases[] = {
      {{'1', '2', '3', '4', '5', '6', '7', '8', '9'}, 0xF4},  // CRC-8/SMBUS check value
      {{}, 0x00},
      {{0x00}, 0x00},
      {std::vector<uint8_t>(17, 0x00), 0x00},  // a dead MCU's zero data passes
      {{0xFF}, 0xF3},                          // resync phase 2 answer
      {{0x01}, 0x07},                          // write acknowledgement
      {{0x57}, 0xA2},                          // battery level 87
      {{0x80}, 0x89},
      {{0x6B, 0xA6, 0xD0, 0x01}, 0x57},                        // a USB-C state reply
      {{'S', 'U', '0', '1', '-', '0', '2', '0', '0', '3'}, 0x36},  // a serial number payload
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.data));
    EXPECT_EQ(crc_of(c.data), c.crc);
  }
}

TEST(Crc8, UpdateUsesOnlyTheLowByteOfThePolynomial) {
  // The register is fed MSB first with no reflection; 0x107 and 0x07 agree.
  for (unsigned b = 0; b < 256; ++b) {
    for (unsigned r : {0x00u, 0x5Au, 0xFFu}) {
      EXPECT_EQ(crc8_update((uint8_t)b, (uint8_t)r, 0x107), crc8_update((uint8_t)b, (uint8_t)r, 0x07));
    }
  }
  EXPECT_EQ(crc8_update(0x01, 0x00, 0x107), 0x07);
  // The byte and the register meet through XOR, and feeding bytes one at a
  // time continues the frame's CRC.
  EXPECT_EQ(crc8_update(0x00, 0x80, 0x107), 0x89);
  EXPECT_EQ(crc8_update(0x80, 0x00, 0x107), 0x89);
  EXPECT_EQ(crc8_update(0x42, 0x42, 0x107), 0x00);
  const uint8_t pair[2] = {0x57, 0x01};
  EXPECT_EQ(crc8_update(0x01, crc8_update(0x57, 0x00, 0x107), 0x107), crc8(pair, 2));
  // A different polynomial gives a different register.
  EXPECT_EQ(crc8_update(0x01, 0x00, 0x31), 0x31);
}

TEST(HexDump, TwoBytesFillTheRowWithBlanks) {
  const uint8_t data[] = {0x57, 0xA2};
  const std::string out = capture_stdout([&] { spidev_dump(data, 2, 32, "RX", true); });
  EXPECT_EQ(out, "RX | 57 A2 " + repeat("__ ", 30) + " | W.\n");
}

TEST(HexDump, ExactlyOneRowOf32Bytes) {
  uint8_t data[32];
  for (int i = 0; i < 32; ++i) data[i] = (uint8_t)(0x40 + i);  // '@' .. '_'
  const std::string out = capture_stdout([&] { spidev_dump(data, 32, 32, "TX", true); });
  std::string hex;
  char cell[4];
  for (int i = 0; i < 32; ++i) {
    snprintf(cell, sizeof cell, "%02X ", data[i]);
    hex += cell;
  }
  EXPECT_EQ(out, "TX | " + hex + " | @ABCDEFGHIJKLMNOPQRSTUVWXYZ[\\]^_\n");
  EXPECT_EQ(out.find("__"), std::string::npos);
}

TEST(HexDump, ThirtyThreeBytesMakeASecondLabelledRow) {
  uint8_t data[33];
  for (int i = 0; i < 33; ++i) data[i] = (uint8_t)i;
  data[32] = 'z';
  const std::string out = capture_stdout([&] { spidev_dump(data, 33, 32, "TX", true); });
  std::string hex;
  char cell[4];
  for (int i = 0; i < 32; ++i) {
    snprintf(cell, sizeof cell, "%02X ", data[i]);
    hex += cell;
  }
  EXPECT_EQ(out, "TX | " + hex + " | " + repeat(".", 32) + "\n" + "TX | 7A " + repeat("__ ", 31) +
                     " | z\n");
}

TEST(HexDump, CharacterColumnShowsOnlyPrintableAscii) {
  const uint8_t data[] = {0x1F, 0x20, 0x41, 0x7E, 0x7F, 0x80, 0xFF, 0x00, 0x69};
  const std::string out = capture_stdout([&] { spidev_dump(data, 9, 32, "RX", true); });
  EXPECT_EQ(out, "RX | 1F 20 41 7E 7F 80 FF 00 69 " + repeat("__ ", 23) + " | . A~....i\n");
}

TEST(HexDump, UpperCaseHexAndOtherWidths) {
  const uint8_t data[] = {0xab, 0xcd, 0xef, 0x0a, 0x0b};
  const std::string out = capture_stdout([&] { spidev_dump(data, 5, 2, "X", true); });
  EXPECT_EQ(out,
            "X | AB CD  | ..\n"
            "X | EF 0A  | ..\n"
            "X | 0B __  | .\n");
}
