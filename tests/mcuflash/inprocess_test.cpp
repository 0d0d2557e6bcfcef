// In-process tests of the SPI exchange and the poll bound, with this
// process's own device calls pointed at a simulated board.
#include <gtest/gtest.h>
#include <stdio.h>
#include <unistd.h>

#include <boardsim/board.h>

#include <cstdint>
#include <vector>

#include "kboot_link.h"
#include "spidev.h"

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
  const int fd = spidev_open();
  spi_configure(fd);
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

// The poll bound runs on the link's clock: with a clock that moves on a
// second per reading, a silent bootloader costs no real time, and every
// link procedure gives up naming what it waited for.
int64_t fake_now_ms = 0;
int64_t fake_clock_ms() { return fake_now_ms += 1000; }

TEST(KbootPoll, SilentBootloaderEndsEveryProcedureOnTheClock) {
  Board board;
  board.set("mcu.program", "bootloader");
  board.set("kb.silent", 1);
  board.attach();
  SettingsGuard guard;
  const int fd = spidev_open();
  spi_configure(fd);
  kboot_clock_ms = fake_clock_ms;
  struct Case {
    kboot_result (*procedure)(int);
    const char* awaited;
  } cases[] = {
      {kboot_ping, "ping response"},
      {kboot_wait_ack, "ack"},
      {kboot_read_generic_response, "generic response"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.awaited);
    board.clear_logs();
    const kboot_result r = c.procedure(fd);
    EXPECT_EQ(r.status, kboot_status::no_answer);
    EXPECT_STREQ(r.awaited, c.awaited);
    // One poll per clock reading until ten seconds had passed.
    uint64_t polls = 0;
    for (const auto& e : board.spi_log())
      if (e.tx.size() == 1) polls += e.count;
    EXPECT_EQ(polls, 10u);
  }
  kboot_clock_ms = kboot_monotonic_ms;
  close(fd);
}

}  // namespace
