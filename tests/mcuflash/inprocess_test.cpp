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
#include "test_support.h"

namespace {

using boardsim::Board;
using test_support::Watchdog;

// The flasher's device settings on the attached board, opened and
// configured as mcuflash does.
spidev_device open_flasher_device() {
  spidev_device device{};
  device.path = SPIDEV_PATH;
  device.settings = {0, 8, 400000};
  spidev_failure failure{};
  EXPECT_EQ(spidev_open(&device, &failure), 0);
  EXPECT_EQ(spidev_configure(&device, &failure), 0);
  device.exchange_speed_hz = device.settings.max_speed_hz;
  device.exchange_bits = device.settings.bits_per_word;
  return device;
}

// Every exchange is one full-duplex transfer at the speed and word size the
// device read back, in one chip-select frame without delay.
TEST(SpiExchange, DescriptorCarriesTheSettingsReadBack) {
  Board board;
  board.set("spi.readback.speed", "123456");
  board.attach();
  const spidev_device device = open_flasher_device();
  board.clear_logs();
  const uint8_t tx[3] = {0x01, 0x02, 0x03};
  uint8_t rx[3] = {};
  EXPECT_EQ(spidev_exchange(&device, tx, rx, 3), 0);
  const auto log = board.spi_log();
  ASSERT_EQ(log.size(), 1u);
  const auto& e = log[0];
  EXPECT_TRUE(e.has_tx);
  EXPECT_TRUE(e.has_rx);
  EXPECT_EQ(e.tx_nbits, 0);
  EXPECT_EQ(e.rx_nbits, 0);
  EXPECT_EQ(e.speed_hz, 123456u);
  EXPECT_EQ(e.bits_per_word, 8);
  EXPECT_EQ(e.delay_usecs, 0);
  EXPECT_EQ(e.cs_change, 0);
  EXPECT_EQ(e.tx, (std::vector<uint8_t>{1, 2, 3}));
  close(device.fd);
}

// The poll bound runs on the link's clock: with a clock that moves on a
// second per reading, a silent bootloader costs no real time, and every
// link procedure gives up naming what it waited for.
time_t fake_now_s = 0;
void fake_clock(timespec* now) { *now = {fake_now_s += 1, 0}; }

TEST(KbootPoll, SilentBootloaderEndsEveryProcedureOnTheClock) {
  Board board;
  board.set("mcu.program", "bootloader");
  board.set("kb.silent", 1);
  board.attach();
  // A poll that never gives up fails here, not at the suite's time-out.
  const Watchdog watchdog(10);
  const spidev_device device = open_flasher_device();
  const kboot_link link = {&device, false, fake_clock};
  struct Case {
    kboot_result (*procedure)(const kboot_link*);
    const char* awaited;
  } cases[] = {
      {kboot_ping, "ping response"},
      {kboot_wait_ack, "ack"},
      {[](const kboot_link* l) { return kboot_read_generic_response(l); }, "generic response"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.awaited);
    board.clear_logs();
    const kboot_result r = c.procedure(&link);
    EXPECT_EQ(r.status, kboot_status::no_answer);
    EXPECT_STREQ(r.awaited, c.awaited);
    // One poll per clock reading until ten seconds had passed.
    uint64_t polls = 0;
    for (const auto& e : board.spi_log())
      if (e.tx.size() == 1) polls += e.count;
    EXPECT_EQ(polls, 10u);
  }
  close(device.fd);
}

}  // namespace
