// In-process tests of the pure parts of the KBoot link and commands: CRC-16,
// little-endian fields, packet building and the trace rows.
#include <gtest/gtest.h>
#include <stdio.h>

#include <cstdint>
#include <string>
#include <vector>

#include "kboot_packet.h"
#include "kboot_link.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes command(uint8_t tag, uint8_t reserved, std::vector<uint32_t> parameters) {
  uint8_t packet[KBOOT_COMMAND_MAX_SIZE] = {};
  const size_t size =
      kboot_build_command(packet, tag, reserved, parameters.data(), parameters.size());
  return Bytes(packet, packet + size);
}

// Runs `body` on a link with verbose output on (or off) and returns what it
// printed.
template <typename F>
std::string verbose_output(F body, bool verbose = true) {
  const kboot_link link = {nullptr, verbose, nullptr};
  fflush(stdout);
  testing::internal::CaptureStdout();
  body(&link);
  fflush(stdout);
  return testing::internal::GetCapturedStdout();
}

TEST(KbootCrc16, CheckValues) {
  const std::string digits = "123456789";
  EXPECT_EQ(kboot_crc16(reinterpret_cast<const uint8_t*>(digits.data()), digits.size()), 0x31C3);
  const uint8_t erase_covered[] = {0x5A, 0xA4, 0x04, 0x00, 0x0D, 0x00, 0xCC, 0x00};
  EXPECT_EQ(kboot_crc16(erase_covered, sizeof erase_covered), 0x32CF);
  EXPECT_EQ(kboot_crc16(nullptr, 0), 0x0000);
  const uint8_t one_byte[] = {0xFF};
  EXPECT_EQ(kboot_crc16(one_byte, 1), 0x1EF0);
  // Continuing over a second range gives the CRC of the concatenation.
  const uint8_t* d = reinterpret_cast<const uint8_t*>(digits.data());
  EXPECT_EQ(kboot_crc16_update(kboot_crc16(d, 4), d + 4, 5), 0x31C3);
}

// The target is big-endian: these check the byte sequences in memory, which
// must be the same on any host.
TEST(KbootLittleEndian, StoresLeastSignificantByteFirst) {
  uint8_t b[6] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
  put_u16_le(b + 1, 0x1234);
  EXPECT_EQ(Bytes(b, b + 6), (Bytes{0xEE, 0x34, 0x12, 0xEE, 0xEE, 0xEE}));
  put_u32_le(b + 1, 0x20012000);
  EXPECT_EQ(Bytes(b, b + 6), (Bytes{0xEE, 0x00, 0x20, 0x01, 0x20, 0xEE}));
  put_u32_le(b, 0xFFFFFFFF);
  EXPECT_EQ(Bytes(b, b + 6), (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0x20, 0xEE}));
}

TEST(KbootLittleEndian, ReadsLeastSignificantByteFirst) {
  const uint8_t b[] = {0x78, 0x56, 0x34, 0x12, 0x9A, 0xBC};
  EXPECT_EQ(get_u16_le(b), 0x5678);
  EXPECT_EQ(get_u16_le(b + 4), 0xBC9A);
  EXPECT_EQ(get_u32_le(b), 0x12345678u);
  EXPECT_EQ(get_u32_le(b + 2), 0xBC9A1234u);  // high byte set: no sign trouble
  const uint32_t values[] = {0, 1, 0x100, 0x43D, 0x20012000, 0x80000000, 0xFFFFFFFF};
  for (const uint32_t v : values) {
    uint8_t s[4];
    put_u32_le(s, v);
    EXPECT_EQ(get_u32_le(s), v);
    EXPECT_EQ(s[0], v & 0xFF);
    EXPECT_EQ(s[3], v >> 24);
  }
}

TEST(KbootPackets, CommandsOnTheWire) {
  EXPECT_EQ(command(KBOOT_CMD_ERASE_ALL_UNSECURE, 0xCC, {}),
            (Bytes{0x5A, 0xA4, 0x04, 0x00, 0xCF, 0x32, 0x0D, 0x00, 0xCC, 0x00}));
  EXPECT_EQ(command(KBOOT_CMD_WRITE_MEMORY, 0x00, {0, 100}),
            (Bytes{0x5A, 0xA4, 0x0C, 0x00, 0x24, 0xE2, 0x04, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00,
                   0x00, 0x64, 0x00, 0x00, 0x00}));
  EXPECT_EQ(command(KBOOT_CMD_EXECUTE, 0x00, {0x43D, 0, 0x20012000}),
            (Bytes{0x5A, 0xA4, 0x10, 0x00, 0x5D, 0xB2, 0x09, 0x00, 0x00, 0x03, 0x3D,
                   0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x20, 0x01, 0x20}));
}

TEST(KbootPackets, DataPacketLayout) {
  for (const size_t length : {1u, 2u, 31u, 32u}) {
    uint8_t chunk[32];
    for (size_t i = 0; i < 32; ++i) chunk[i] = static_cast<uint8_t>(0xA0 + i * 3);
    uint8_t packet[KBOOT_DATA_MAX_SIZE] = {};
    const size_t size = kboot_build_data(packet, chunk, length);
    ASSERT_EQ(size, length + 6);
    EXPECT_EQ(packet[0], 0x5A);
    EXPECT_EQ(packet[1], 0xA5);
    EXPECT_EQ(packet[2], length);
    EXPECT_EQ(packet[3], 0x00);
    EXPECT_EQ(Bytes(packet + 6, packet + size), Bytes(chunk, chunk + length));
    // CRC over the four header bytes and the chunk, stored low byte first.
    Bytes covered(packet, packet + 4);
    covered.insert(covered.end(), chunk, chunk + length);
    const uint16_t crc = kboot_crc16(covered.data(), covered.size());
    EXPECT_EQ(packet[4], crc & 0xFF);
    EXPECT_EQ(packet[5], crc >> 8);
  }
  // A one-byte chunk with a known CRC: 5A A5 01 00 <crc> 42.
  const uint8_t b = 0x42;
  uint8_t packet[KBOOT_DATA_MAX_SIZE] = {};
  kboot_build_data(packet, &b, 1);
  const uint8_t covered[] = {0x5A, 0xA5, 0x01, 0x00, 0x42};
  EXPECT_EQ(get_u16_le(packet + 4), kboot_crc16(covered, sizeof covered));
}

TEST(KbootTrace, RowsAreByteExact) {
  const Bytes erase = command(KBOOT_CMD_ERASE_ALL_UNSECURE, 0xCC, {});
  EXPECT_EQ(verbose_output([&](const kboot_link* l) { kboot_trace(l, erase.data(), erase.size(), "erase all unsecure"); }),
            "erase all unsecure | 5A A4 04 00 CF 32 0D 00 CC 00  | \n");
  const uint8_t five[] = {0x01, 0x02, 0xab, 0x0c, 0xF0};
  EXPECT_EQ(verbose_output([&](const kboot_link*) { spidev_dump(five, 5, 4, "x", false); }),
            "x | 01 02 AB 0C  | \nx | F0 __ __ __  | \n");
  EXPECT_EQ(verbose_output([&](const kboot_link*) { spidev_dump(five, 4, 2, "two", false); }),
            "two | 01 02  | \ntwo | AB 0C  | \n");
  EXPECT_EQ(verbose_output([&](const kboot_link*) { spidev_dump(five, 2, 6, "short", false); }),
            "short | 01 02 __ __ __ __  | \n");
  // Nothing at all without verbose output.
  EXPECT_EQ(verbose_output([&](const kboot_link* l) { kboot_trace(l, five, 5, "quiet"); }, false), "");
}

TEST(KbootTrace, VerbosePrintfFollowsTheFlag) {
  EXPECT_EQ(verbose_output([](const kboot_link* l) { kboot_say(l, "Pin %d: ", 21); }), "Pin 21: ");
  EXPECT_EQ(verbose_output([](const kboot_link* l) { kboot_say(l, "Got ack\n"); }, false), "");
}

}  // namespace
