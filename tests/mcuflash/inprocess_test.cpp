// In-process tests of the SPI exchange and the poll bound, with this
// process's own device calls pointed at a simulated board.
#include <gtest/gtest.h>
#include <stdio.h>
#include <time.h>
#include <unistd.h>

#include <boardsim/board.h>

#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "kboot_commands.h"
#include "kboot_link.h"

namespace {

using boardsim::Board;

struct SettingsGuard {
  ~SettingsGuard() {
    verbose = 0;
    spi_mode = 0;
    spi_bits_per_word = 8;
    spi_max_speed_hz = 400000;
  }
};

TEST(SpiExchange, DescriptorFollowsTheModeBits) {
  Board board;
  board.attach();
  SettingsGuard guard;
  const int fd = spi_setup();
  ASSERT_GE(fd, 0);
  struct Case {
    uint32_t mode;
    bool has_tx, has_rx;
    uint8_t tx_nbits, rx_nbits;
  } cases[] = {
      {0x000, true, true, 0, 0},   {0x100, true, false, 2, 0}, {0x200, true, false, 4, 0},
      {0x300, true, false, 4, 0},  {0x400, false, true, 0, 2}, {0x800, false, true, 0, 4},
      {0x500, true, false, 2, 2},  {0xA00, true, false, 4, 4}, {0x120, true, true, 2, 0},
      {0x820, true, true, 0, 4},   {0x003, true, true, 0, 0},
  };
  spi_max_speed_hz = 123456;
  spi_bits_per_word = 8;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mode);
    spi_mode = c.mode;
    board.clear_logs();
    const uint8_t tx[3] = {0x01, 0x02, 0x03};
    uint8_t rx[3] = {};
    EXPECT_EQ(spi_exchange(fd, tx, rx, 3), 3);
    const auto log = board.spi_log();
    ASSERT_EQ(log.size(), 1u);
    const auto& e = log[0];
    EXPECT_EQ(e.has_tx, c.has_tx);
    EXPECT_EQ(e.has_rx, c.has_rx);
    EXPECT_EQ(e.tx_nbits, c.tx_nbits);
    EXPECT_EQ(e.rx_nbits, c.rx_nbits);
    EXPECT_EQ(e.speed_hz, 123456u);
    EXPECT_EQ(e.bits_per_word, 8);
    EXPECT_EQ(e.delay_usecs, 0);
    EXPECT_EQ(e.cs_change, 0);
    if (c.has_tx) {
      EXPECT_EQ(e.tx, (std::vector<uint8_t>{1, 2, 3}));
    }
  }
  close(fd);
}

// A bootloader that never answers: the wait for the erase command's ACK
// gives up after about ten seconds and names what it awaited.
TEST(KbootPoll, WaitForAckIsBounded) {
  Board board;
  board.set("mcu.program", "bootloader");
  board.set("kb.silent", 1);
  const std::string out_path = board.dir() + "/stdout.txt";
  EXPECT_EXIT(
      {
        board.attach();
        if (freopen(out_path.c_str(), "w", stdout) == nullptr) _exit(99);
        const int fd = spi_setup();
        kboot_erase_all_unsecure(fd);
        _exit(98);  // not reached
      },
      testing::ExitedWithCode(1), "");
  std::ifstream in(out_path);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_EQ(text.str(), "No answer from KBoot while waiting for ack\n");
  // The erase went out and the polls ran for the whole bound.
  const auto log = board.spi_log();
  ASSERT_GE(log.size(), 2u);
  uint64_t first_poll = 0;
  bool after_erase = false;
  for (const auto& e : log) {
    if (e.tx.size() == 10 && e.tx[0] == 0x5A && e.tx[1] == 0xA4) {
      after_erase = true;
      continue;
    }
    EXPECT_EQ(e.tx, std::vector<uint8_t>{0x00});  // polls send zeros
    if (after_erase && first_poll == 0) first_poll = e.t_first_ns;
  }
  ASSERT_TRUE(after_erase);
  ASSERT_NE(first_poll, 0u);
  const double waited = static_cast<double>(log.back().t_last_ns - first_poll) / 1e9;
  EXPECT_GE(waited, 9.5);
}

}  // namespace
