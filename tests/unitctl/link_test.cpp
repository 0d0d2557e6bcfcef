// The SPI frame link in process, against the simulated MCU: device set-up,
// exchange descriptors, traces, resynchronisation and the read and write
// transactions with their waits and repeats.
#include <gtest/gtest.h>
#include <stdio.h>
#include <unistd.h>

#include <boardsim/board.h>

#include <cstring>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "spi_link.h"
#include "test_support.h"

using boardsim::Board;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes hex(const std::string& s) {
  Bytes out;
  std::istringstream in(s);
  std::string b;
  while (in >> b) out.push_back((uint8_t)std::stoul(b, nullptr, 16));
  return out;
}

// One exchange of the log, runs expanded. t_ns is the start of the exchange
// where the log knows it (first and last of a run), else 0.
struct Frame {
  Bytes tx, rx;
  uint64_t t_ns;
  bool failed;
};

std::vector<Frame> frames(const Board& board) {
  std::vector<Frame> out;
  for (const auto& e : board.spi_log()) {
    for (uint64_t i = 0; i < e.count; ++i) {
      uint64_t t = 0;
      if (i == 0) t = e.t_first_ns;
      else if (i + 1 == e.count) t = e.t_last_ns;
      out.push_back({e.tx, e.rx, t, e.failed});
    }
  }
  return out;
}

using test_support::capture_stdout;

std::string blanks(int n) {
  std::string r;
  for (int i = 0; i < n; ++i) r += "__ ";
  return r;
}

const uint64_t MS = 1000000;

// A board with the given settings, attached to this process, and the device
// opened on it.
class Link : public testing::Test {
 protected:
  void open_with(std::initializer_list<std::pair<const char*, const char*>> settings) {
    for (const auto& [k, v] : settings) board.set(k, v);
    board.attach();
    spi_link_open(&opened, false);
    board.clear_logs();
  }
  void TearDown() override {
    if (opened.device.fd >= 0) close(opened.device.fd);
  }

  // A read of the battery level: command word 01 01, one byte, 5 ms, two repeats.
  int read_battery(uint8_t* level, uint8_t retries = 2) {
    const uint8_t cmd[2] = {0x01, 0x01};
    return mcu_read(fd, cmd, level, 1, 5, retries);
  }

  Board board;
  spi_link opened{.device = {.fd = -1}};
  spi_link* const fd = &opened;
};

// Counts the exchanges whose bytes sent equal tx.
size_t count_tx(const std::vector<Frame>& f, const Bytes& tx) {
  size_t n = 0;
  for (const auto& x : f) n += x.tx == tx;
  return n;
}

}  // namespace

TEST_F(Link, OpenConfiguresTheDeviceWithSixIoctlsInOrder) {
  board.attach();
  ASSERT_EQ(spi_link_open(fd, false), 0);
  const auto log = board.spi_config_log();
  const std::vector<std::pair<std::string, uint32_t>> expected = {
      {"wr_mode", 0}, {"rd_mode", 0}, {"wr_bits", 8}, {"rd_bits", 8},
      {"wr_speed", 25000000}, {"rd_speed", 25000000}};
  ASSERT_EQ(log.size(), expected.size());
  for (size_t i = 0; i < log.size(); ++i) {
    EXPECT_EQ(log[i].name, expected[i].first) << i;
    EXPECT_EQ(log[i].value, expected[i].second) << i;
    EXPECT_FALSE(log[i].failed) << i;
  }
}

TEST_F(Link, OpenAcceptsWhateverTheDriverReadsBack) {
  // A driver that clamps the maximum speed is not an error, and every
  // exchange still asks for 100 kHz.
  open_with({{"spi.readback.speed", "1000000"}, {"spi.readback.mode", "3"}});
  uint8_t level = 0;
  EXPECT_EQ(read_battery(&level), 0);
  EXPECT_EQ(level, 87);
  for (const auto& e : board.spi_log()) EXPECT_EQ(e.speed_hz, 100000u);
}

TEST_F(Link, VerboseOpenPrintsTheFixedSettings) {
  board.attach();
  const std::string out = capture_stdout([&] { spi_link_open(fd, true); });
  EXPECT_EQ(out,
            "SPI config:\n"
            "Mode: 0x0\n"
            "Bits per word: 8\n"
            "Max Speed: 25000000 Hz (25000 KHz)\n"
            "Speed: 100000 Hz (100 KHz)\n");
}

TEST_F(Link, TransferFillsTheDescriptorAndReturnsTheIoctlResult) {
  open_with({});
  const uint8_t tx[3] = {0x00, 0x00, 0x00};
  uint8_t rx[3] = {0xAA, 0xAA, 0xAA};
  EXPECT_GE(spidev_exchange(&fd->device, tx, rx, 3), 0);
  const auto log = board.spi_log();
  ASSERT_EQ(log.size(), 1u);
  const auto& e = log[0];
  EXPECT_EQ(e.speed_hz, 100000u);
  EXPECT_EQ(e.delay_usecs, 0);
  EXPECT_EQ(e.bits_per_word, 0);
  EXPECT_EQ(e.cs_change, 0);
  EXPECT_EQ(e.tx_nbits, 0);
  EXPECT_EQ(e.rx_nbits, 0);
  EXPECT_TRUE(e.has_tx);
  EXPECT_TRUE(e.has_rx);
  EXPECT_EQ(e.tx, Bytes(tx, tx + 3));
  EXPECT_EQ(e.rx, Bytes(rx, rx + 3));  // what the device delivered is in rx
}

TEST_F(Link, TransferReportsAFailedExchange) {
  open_with({{"spi.fail_exchanges", "1"}});
  const uint8_t tx[2] = {0x01, 0x01};
  uint8_t rx[2] = {0, 0};
  EXPECT_EQ(spidev_exchange(&fd->device, tx, rx, 2), -1);
  EXPECT_GE(spidev_exchange(&fd->device, tx, rx, 2), 0);
}

TEST_F(Link, VerboseBatteryReadPrintsFourTraceRows) {
  open_with({});
  fd->device.trace = true;
  uint8_t level = 0;
  const std::string out = capture_stdout([&] { EXPECT_EQ(read_battery(&level), 0); });
  EXPECT_EQ(out, "TX | 01 01 " + blanks(30) + " | ..\n" +
                     "RX | FF FF " + blanks(30) + " | ..\n" +
                     "TX | FF FF " + blanks(30) + " | ..\n" +
                     "RX | 57 A2 " + blanks(30) + " | W.\n");
}

TEST_F(Link, NotReadyCommandWordTakesOneResyncAndOneResend) {
  // A reply other than FF FF causes exactly one resync and one resend whose
  // reply is not examined.
  open_with({{"fw.not_ready", "1"}});
  uint8_t level = 0;
  ASSERT_EQ(read_battery(&level), 0);
  EXPECT_EQ(level, 87);
  const auto f = frames(board);
  ASSERT_GE(f.size(), 5u);
  EXPECT_EQ(f.front().tx, hex("01 01"));
  EXPECT_EQ(f.front().rx, hex("00 00"));
  EXPECT_EQ(count_tx(f, hex("01 01")), 2u);  // the command word and its resend
  EXPECT_EQ(f[f.size() - 2].tx, hex("01 01"));
  EXPECT_EQ(f.back().tx, hex("FF FF"));
  EXPECT_EQ(f.back().rx, hex("57 A2"));
  // Between the two command words: phase 1 (single zero bytes) then phase 2.
  size_t i = 1;
  while (i < f.size() && f[i].tx == hex("00")) ++i;
  EXPECT_GE(i, 2u);
  EXPECT_EQ(f[i - 1].rx, hex("69"));
  EXPECT_EQ(f[i].tx, hex("FF FF"));
}

TEST_F(Link, ResyncStopsAtTheFirstMarker) {
  open_with({{"fw.resync_delay", "3"}});
  EXPECT_EQ(mcu_resync(fd), 1);
  const auto f = frames(board);
  ASSERT_EQ(f.size(), 5u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(f[i].tx, hex("00"));
    EXPECT_EQ(f[i].rx, hex("00"));
  }
  EXPECT_EQ(f[3].tx, hex("00"));
  EXPECT_EQ(f[3].rx, hex("69"));
  // Phase 2 always runs and stops at FF F3.
  EXPECT_EQ(f[4].tx, hex("FF FF"));
  EXPECT_EQ(f[4].rx, hex("FF F3"));
}

TEST_F(Link, ResyncWithoutMarkerMakesExactlyTwentyExchangesAndStillRunsPhaseTwo) {
  open_with({{"fw.no_resync_marker", "1"}});
  EXPECT_EQ(mcu_resync(fd), 1);  // FF F3 in phase 2 is a sign of life
  const auto f = frames(board);
  ASSERT_EQ(f.size(), 21u);
  EXPECT_EQ(count_tx(f, hex("00")), 20u);
  EXPECT_EQ(f[20].tx, hex("FF FF"));
  EXPECT_EQ(f[20].rx, hex("FF F3"));
  // 1 ms after every resync exchange.
  EXPECT_GE(f[19].t_ns - f[0].t_ns, 19 * MS);
  EXPECT_GE(f[20].t_ns - f[19].t_ns, 1 * MS);
}

TEST_F(Link, ResyncThatNeverHearsTheMcuGivesUpAfterTwentyPerPhase) {
  using Settings = std::vector<std::pair<const char*, int>>;
  const Settings cases[] = {
      {{"fw.silent", 1}},                                  // the MCU clocks out zeros
      {{"fw.no_resync_marker", 1}, {"fw.no_resync_ack", 1}},  // it answers, but never in step
  };
  for (const auto& settings : cases) {
    SCOPED_TRACE(settings.front().first);
    Board b;
    for (const auto& [k, v] : settings) b.set(k, v);
    b.attach();
    spi_link opened_d{};
    spi_link_open(&opened_d, false);
    spi_link* const d = &opened_d;
    b.clear_logs();
    EXPECT_EQ(mcu_resync(d), 0);
    close(d->device.fd);
    const auto f = frames(b);
    ASSERT_EQ(f.size(), 40u);
    for (int i = 0; i < 20; ++i) EXPECT_EQ(f[i].tx, hex("00")) << i;
    for (int i = 20; i < 40; ++i) EXPECT_EQ(f[i].tx, hex("FF FF")) << i;
    EXPECT_GE(f[39].t_ns - f[0].t_ns, 39 * MS);
  }
}

TEST_F(Link, BadCrcCostsAnAttemptAndThreeAttemptsAreTheLimit) {
  open_with({{"fw.bad_crc", "-1"}});
  uint8_t level = 0xEE;
  EXPECT_EQ(read_battery(&level), 1);
  EXPECT_EQ(level, 0xEE);  // untouched on failure
  const auto f = frames(board);
  EXPECT_EQ(count_tx(f, hex("01 01")), 3u);
  EXPECT_EQ(count_tx(f, hex("FF FF")), 3u);
  EXPECT_EQ(f.size(), 6u);
}

TEST_F(Link, RetriesSetTheNumberOfAttempts) {
  for (uint8_t retries : {0, 1, 4}) {
    SCOPED_TRACE(retries);
    board.set("fw.bad_crc", -1);
    board.attach();
    spi_link opened_d{};
    spi_link_open(&opened_d, false);
    spi_link* const d = &opened_d;
    board.clear_logs();
    const uint8_t cmd[2] = {0x02, 0x02};
    uint8_t out = 0xEE;
    EXPECT_EQ(mcu_read(d, cmd, &out, 1, 0, retries), 1);
    EXPECT_EQ(out, 0xEE);
    close(d->device.fd);
    EXPECT_EQ(count_tx(frames(board), hex("02 02")), retries + 1u);
  }
}

TEST_F(Link, BadCrcIsRecoveredOnARepeat) {
  open_with({{"fw.bad_crc", "1"}});
  uint8_t level = 0;
  EXPECT_EQ(read_battery(&level), 0);
  EXPECT_EQ(level, 87);
  const auto f = frames(board);
  ASSERT_EQ(f.size(), 4u);
  EXPECT_EQ(f[1].tx, hex("FF FF"));
  EXPECT_NE(f[1].rx, hex("57 A2"));
  EXPECT_EQ(f[3].rx, hex("57 A2"));
}

TEST_F(Link, AllZeroDataFromAnAnsweringMcuIsData) {
  // Battery 0: the data phase is 00 00, CRC included.
  for (const char* not_ready : {"0", "1"}) {
    SCOPED_TRACE(not_ready);
    Board b;
    b.set("fw.battery", 0);
    b.set("fw.not_ready", not_ready);  // 1: answered through the resync marker
    b.attach();
    spi_link opened_d{};
    spi_link_open(&opened_d, false);
    spi_link* const d = &opened_d;
    uint8_t level = 0xEE;
    const uint8_t cmd[2] = {0x01, 0x01};
    EXPECT_EQ(mcu_read(d, cmd, &level, 1, 5, 2), 0);
    EXPECT_EQ(level, 0);
    close(d->device.fd);
    EXPECT_EQ(frames(b).back().rx, hex("00 00"));
  }
}

TEST_F(Link, SilentMcuIsAFailureNotZeroData) {
  // Zeros with a zero CRC would pass the check, but nobody answered. The bus
  // traffic of each attempt stays complete: command word, both resync
  // phases, the resent command word, the data phase.
  open_with({{"fw.silent", "1"}});
  uint8_t level = 0xEE;
  EXPECT_EQ(read_battery(&level), 1);
  EXPECT_EQ(level, 0xEE);
  const auto f = frames(board);
  ASSERT_EQ(f.size(), 3u * 43u);
  for (int a = 0; a < 3; ++a) {
    const size_t base = a * 43u;
    EXPECT_EQ(f[base].tx, hex("01 01"));
    for (int i = 1; i <= 20; ++i) EXPECT_EQ(f[base + i].tx, hex("00"));
    for (int i = 21; i <= 40; ++i) EXPECT_EQ(f[base + i].tx, hex("FF FF"));
    EXPECT_EQ(f[base + 41].tx, hex("01 01"));
    EXPECT_EQ(f[base + 42].tx, hex("FF FF"));
    EXPECT_EQ(f[base + 42].rx, hex("00 00"));
  }
}

TEST_F(Link, FailedExchangesAreNeverData) {
  open_with({{"spi.fail_exchanges", "-1"}});
  uint8_t level = 0xEE;
  EXPECT_EQ(read_battery(&level), 1);
  EXPECT_EQ(level, 0xEE);
  const auto f = frames(board);
  EXPECT_EQ(count_tx(f, hex("01 01")), 6u);  // three attempts, each resent
  for (const auto& x : f) EXPECT_TRUE(x.failed);
}

TEST_F(Link, OneFailedExchangeCostsOnlyItsAttempt) {
  open_with({{"spi.fail_exchanges", "1"}});
  uint8_t level = 0;
  EXPECT_EQ(read_battery(&level), 0);
  EXPECT_EQ(level, 87);
  const auto f = frames(board);
  ASSERT_FALSE(f.empty());
  EXPECT_TRUE(f.front().failed);
  EXPECT_EQ(f.back().rx, hex("57 A2"));
  EXPECT_EQ(count_tx(f, hex("01 01")), 3u);  // failed word, resend, next attempt
}

TEST_F(Link, WriteOnTheWire) {
  open_with({});
  const uint8_t cmd[2] = {0x11, 0x11};
  const uint8_t payload[1] = {0x02};
  EXPECT_EQ(mcu_write(fd, cmd, payload, 1, 30, 2), 0);
  const auto f = frames(board);
  ASSERT_EQ(f.size(), 3u);
  EXPECT_EQ(f[0].tx, hex("11 11"));
  EXPECT_EQ(f[0].rx, hex("FF FF"));
  EXPECT_EQ(f[1].tx, hex("02 0E"));  // payload and its CRC-8
  EXPECT_EQ(f[2].tx, hex("FF FF"));
  EXPECT_EQ(f[2].rx, hex("01 07"));
  EXPECT_GE(f[1].t_ns - f[0].t_ns, 5 * MS);
  EXPECT_GE(f[2].t_ns - f[1].t_ns, 30 * MS);
  EXPECT_EQ(board.get("fw.usbc_mode"), "2");
}

TEST_F(Link, WrongAcknowledgementCostsAnAttempt) {
  struct Case {
    const char* bad_ack;
    int result;
    unsigned words;
  } cases[] = {{"1", 0, 2}, {"2", 0, 3}, {"-1", 1, 3}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bad_ack);
    Board b;
    b.set("fw.bad_ack", c.bad_ack);
    b.attach();
    spi_link opened_d{};
    spi_link_open(&opened_d, false);
    spi_link* const d = &opened_d;
    const uint8_t cmd[2] = {0x12, 0x12};
    const uint8_t payload[1] = {0x01};
    EXPECT_EQ(mcu_write(d, cmd, payload, 1, 0, 2), c.result);
    close(d->device.fd);
    const auto f = frames(b);
    EXPECT_EQ(count_tx(f, hex("12 12")), c.words);
    EXPECT_EQ(count_tx(f, hex("01 07")), c.words);  // the data phase: 01 and its CRC
  }
}

TEST_F(Link, WriteFailsWhenTheBusOrTheMcuIsGone) {
  for (const char* key : {"spi.fail_exchanges", "fw.silent"}) {
    SCOPED_TRACE(key);
    Board b;
    b.set(key, -1);
    b.attach();
    spi_link opened_d{};
    spi_link_open(&opened_d, false);
    spi_link* const d = &opened_d;
    b.clear_logs();
    const uint8_t cmd[2] = {0x12, 0x12};
    const uint8_t payload[1] = {0x01};
    EXPECT_EQ(mcu_write(d, cmd, payload, 1, 0, 2), 1);
    close(d->device.fd);
    const auto f = frames(b);
    EXPECT_EQ(count_tx(f, hex("12 12")), 6u);
    // Per attempt: word, 20 + 20 resync, resent word, data phase, acknowledgement.
    EXPECT_EQ(f.size(), 3u * 44u);
  }
}

TEST_F(Link, OversizedTransactionsAreRefusedWithoutTraffic) {
  open_with({});
  uint8_t buf[256] = {};
  const uint8_t cmd[2] = {0x07, 0x07};
  EXPECT_EQ(mcu_read(fd, cmd, buf, 255, 0, 0), 1);
  EXPECT_EQ(mcu_write(fd, cmd, buf, 255, 0, 0), 1);
  EXPECT_TRUE(board.spi_log().empty());
}
