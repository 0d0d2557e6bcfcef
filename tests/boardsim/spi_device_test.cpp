// The simulated /dev/spidev0.0, driven in-process through the linked preload
// library: configuration ioctls and their faults, SPI_IOC_MESSAGE routing to
// the program the MCU runs, and the exchange log with its run counting,
// including processes that abort or are killed in the middle of a run.
#include <errno.h>
#include <fcntl.h>
#include <linux/spi/spidev.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "boardsim/board.h"
#include "logs.h"

using boardsim::Board;
using boardsim::Exchange;
using Bytes = std::vector<uint8_t>;

namespace {

const char DEV[] = "/dev/spidev0.0";

int exchange(int fd, const uint8_t* tx, uint8_t* rx, uint32_t len, uint32_t speed = 100000) {
  spi_ioc_transfer x;
  memset(&x, 0, sizeof x);
  x.tx_buf = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(tx));
  x.rx_buf = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(rx));
  x.len = len;
  x.speed_hz = speed;
  return ioctl(fd, SPI_IOC_MESSAGE(1), &x);
}

Bytes exchange(int fd, Bytes tx) {
  Bytes rx(tx.size(), 0xEE);
  int r = exchange(fd, tx.data(), rx.data(), static_cast<uint32_t>(tx.size()));
  EXPECT_EQ(r, static_cast<int>(tx.size()));
  return rx;
}

// Child processes of the kill and abort tests: this same binary, started by
// Board::run with BOARDSIM_TEST_CHILD set, runs 10000 identical exchanges
// and then ends the chosen way (or waits to be killed).
__attribute__((constructor)) void child_mode() {
  const char* mode = getenv("BOARDSIM_TEST_CHILD");
  if (!mode) return;
  int fd = open(DEV, O_RDWR);
  if (fd < 0) _exit(3);
  uint8_t tx = 0x00, rx;
  for (int i = 0; i < 10000; ++i) exchange(fd, &tx, &rx, 1);
  if (strcmp(mode, "abort") == 0) abort();
  if (strcmp(mode, "kill") == 0) raise(SIGKILL);
  if (strcmp(mode, "wait") == 0) {
    for (;;) usleep(100000);  // until run() times out and kills it
  }
  exit(0);  // without closing the device
}

std::string self_path() {
  char buf[4096];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

struct SpiDevice : ::testing::Test {
  Board board;
  int fd = -1;
  void SetUp() override { board.attach(); }
  void TearDown() override {
    if (fd >= 0) close(fd);
  }
  void open_device() {
    fd = open(DEV, O_RDWR);
    ASSERT_GE(fd, 0) << strerror(errno);
  }
};

TEST_F(SpiDevice, ConfigurationIsLoggedAndReadBack) {
  open_device();
  uint32_t mode = 0, speed = 25000000;
  uint8_t bits = 8;
  ASSERT_EQ(ioctl(fd, SPI_IOC_WR_MODE32, &mode), 0);
  mode = 0x55;
  ASSERT_EQ(ioctl(fd, SPI_IOC_RD_MODE32, &mode), 0);
  EXPECT_EQ(mode, 0u);
  ASSERT_EQ(ioctl(fd, SPI_IOC_WR_BITS_PER_WORD, &bits), 0);
  bits = 0;
  ASSERT_EQ(ioctl(fd, SPI_IOC_RD_BITS_PER_WORD, &bits), 0);
  EXPECT_EQ(bits, 8);
  ASSERT_EQ(ioctl(fd, SPI_IOC_WR_MAX_SPEED_HZ, &speed), 0);
  speed = 0;
  ASSERT_EQ(ioctl(fd, SPI_IOC_RD_MAX_SPEED_HZ, &speed), 0);
  EXPECT_EQ(speed, 25000000u);

  auto log = board.spi_config_log();
  ASSERT_EQ(log.size(), 6u);
  const char* names[] = {"wr_mode", "rd_mode", "wr_bits", "rd_bits", "wr_speed", "rd_speed"};
  const uint32_t values[] = {0, 0, 8, 8, 25000000, 25000000};
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(log[i].name, names[i]);
    EXPECT_EQ(log[i].value, values[i]) << names[i];
    EXPECT_FALSE(log[i].failed);
  }
}

TEST_F(SpiDevice, ReadBackOverrides) {
  board.set("spi.readback.speed", 1000000);
  board.set("spi.readback.mode", 3);
  board.set("spi.readback.bits", 16);
  open_device();
  uint32_t mode = 0, speed = 400000;
  uint8_t bits = 8;
  ASSERT_EQ(ioctl(fd, SPI_IOC_WR_MODE32, &mode), 0);
  ASSERT_EQ(ioctl(fd, SPI_IOC_RD_MODE32, &mode), 0);
  ASSERT_EQ(ioctl(fd, SPI_IOC_WR_BITS_PER_WORD, &bits), 0);
  ASSERT_EQ(ioctl(fd, SPI_IOC_RD_BITS_PER_WORD, &bits), 0);
  ASSERT_EQ(ioctl(fd, SPI_IOC_WR_MAX_SPEED_HZ, &speed), 0);
  ASSERT_EQ(ioctl(fd, SPI_IOC_RD_MAX_SPEED_HZ, &speed), 0);
  EXPECT_EQ(mode, 3u);
  EXPECT_EQ(bits, 16);
  EXPECT_EQ(speed, 1000000u);
  auto log = board.spi_config_log();
  ASSERT_EQ(log.size(), 6u);
  EXPECT_EQ(log[4].value, 400000u);  // what was written
  EXPECT_EQ(log[5].value, 1000000u);  // what was read back
}

TEST_F(SpiDevice, EachConfigurationIoctlCanBeMadeToFail) {
  struct Case {
    const char* name;
    unsigned long request;
  };
  const Case cases[] = {
      {"wr_mode", SPI_IOC_WR_MODE32},         {"rd_mode", SPI_IOC_RD_MODE32},
      {"wr_bits", SPI_IOC_WR_BITS_PER_WORD},  {"rd_bits", SPI_IOC_RD_BITS_PER_WORD},
      {"wr_speed", SPI_IOC_WR_MAX_SPEED_HZ},  {"rd_speed", SPI_IOC_RD_MAX_SPEED_HZ},
  };
  for (const Case& failing : cases) {
    SCOPED_TRACE(failing.name);
    board.set("spi.fail_ioctl", failing.name);
    board.clear_logs();
    int dev = open(DEV, O_RDWR);
    ASSERT_GE(dev, 0);
    for (const Case& c : cases) {
      uint32_t arg = 8;  // large enough for every argument width
      errno = 0;
      int r = ioctl(dev, c.request, &arg);
      if (&c == &failing) {
        EXPECT_EQ(r, -1) << c.name;
        EXPECT_EQ(errno, EINVAL);
      } else {
        EXPECT_EQ(r, 0) << c.name;
      }
    }
    close(dev);
    auto log = board.spi_config_log();
    ASSERT_EQ(log.size(), 6u);
    for (const auto& entry : log) EXPECT_EQ(entry.failed, entry.name == failing.name);
  }
}

TEST_F(SpiDevice, OpenCanBeMadeToFail) {
  board.set("spi.fail_open", 1);
  errno = 0;
  EXPECT_EQ(open(DEV, O_RDWR), -1);
  EXPECT_EQ(errno, ENOENT);
  board.set("spi.fail_open", "");
  open_device();
}

TEST_F(SpiDevice, ExchangesReachTheProgramTheMcuRuns) {
  // The firmware answers a battery read; the bootloader answers a ping; an
  // MCU held in reset clocks out zeros whatever the host sends.
  open_device();
  EXPECT_EQ(exchange(fd, {0x01, 0x01}), (Bytes{0xFF, 0xFF}));
  EXPECT_EQ(exchange(fd, {0xFF, 0xFF}), (Bytes{0x57, 0xA2}));
  close(fd);

  board.set("mcu.program", "bootloader");
  open_device();
  exchange(fd, {0x5A, 0xA6});
  Bytes reply;
  for (int i = 0; i < 50 && reply.size() < 2; ++i) {
    uint8_t b = exchange(fd, Bytes{0x00})[0];
    if (!reply.empty() || b == 0x5A) reply.push_back(b);
  }
  EXPECT_EQ(reply, (Bytes{0x5A, 0xA7}));  // a ping response
  close(fd);

  board.set("mcu.program", "off");
  open_device();
  EXPECT_EQ(exchange(fd, {0x01, 0x01}), (Bytes{0x00, 0x00}));
  EXPECT_EQ(exchange(fd, {0x5A, 0xA6}), (Bytes{0x00, 0x00}));
}

TEST_F(SpiDevice, ExchangesAreLoggedWithTheirDescriptor) {
  board.set("mcu.program", "off");
  open_device();
  const uint8_t tx[3] = {1, 2, 3};
  uint8_t rx[3];
  spi_ioc_transfer x[2];
  memset(x, 0, sizeof x);
  x[0].tx_buf = reinterpret_cast<uintptr_t>(tx);
  x[0].rx_buf = reinterpret_cast<uintptr_t>(rx);
  x[0].len = 3;
  x[0].speed_hz = 400000;
  x[0].bits_per_word = 8;
  x[0].delay_usecs = 7;
  x[0].cs_change = 1;
  x[0].tx_nbits = 2;
  x[0].rx_nbits = 4;
  x[1].rx_buf = reinterpret_cast<uintptr_t>(rx);  // receive only: zeros go out
  x[1].len = 2;
  EXPECT_EQ(ioctl(fd, SPI_IOC_MESSAGE(2), x), 5);  // the total length
  x[0].rx_buf = 0;  // transmit only
  EXPECT_EQ(ioctl(fd, SPI_IOC_MESSAGE(1), x), 3);

  auto log = board.spi_log();
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[0].tx, (Bytes{1, 2, 3}));
  EXPECT_EQ(log[0].rx, (Bytes{0, 0, 0}));
  EXPECT_EQ(log[0].speed_hz, 400000u);
  EXPECT_EQ(log[0].bits_per_word, 8);
  EXPECT_EQ(log[0].delay_usecs, 7);
  EXPECT_EQ(log[0].cs_change, 1);
  EXPECT_EQ(log[0].tx_nbits, 2);
  EXPECT_EQ(log[0].rx_nbits, 4);
  EXPECT_TRUE(log[0].has_tx && log[0].has_rx);
  EXPECT_FALSE(log[1].has_tx);
  EXPECT_TRUE(log[1].has_rx);
  EXPECT_EQ(log[1].tx, (Bytes{0, 0}));
  EXPECT_EQ(log[1].speed_hz, 0u);
  EXPECT_TRUE(log[2].has_tx);
  EXPECT_FALSE(log[2].has_rx);
  for (const auto& e : log) EXPECT_EQ(e.count, 1u);
}

TEST_F(SpiDevice, IdenticalConsecutiveExchangesAreOneRun) {
  board.set("mcu.program", "off");
  open_device();
  uint8_t rx[2];
  const uint8_t ff[1] = {0xFF}, zero[1] = {0x00};
  for (int i = 0; i < 1000; ++i) exchange(fd, ff, rx, 1);
  exchange(fd, zero, rx, 1);
  for (int i = 0; i < 5000; ++i) exchange(fd, ff, rx, 1);
  exchange(fd, ff, rx, 1, 200000);  // another speed: another run
  // Still pending: spi_log() brings the last run up to date.
  auto log = board.spi_log();
  ASSERT_EQ(log.size(), 4u);
  const uint64_t counts[] = {1000, 1, 5000, 1};
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(log[i].count, counts[i]) << i;
    EXPECT_LE(log[i].t_first_ns, log[i].t_last_ns);
    if (i) {
      EXPECT_GE(log[i].t_first_ns, log[i - 1].t_last_ns);
    }
  }
  EXPECT_LT(log[0].t_first_ns, log[0].t_last_ns);
  EXPECT_EQ(log[1].tx, Bytes{0x00});
  EXPECT_EQ(log[3].speed_hz, 200000u);

  // The same exchange after a re-open starts a new run.
  close(fd);
  open_device();
  exchange(fd, ff, rx, 1, 200000);
  EXPECT_EQ(board.spi_log().size(), 5u);
}

// clear_logs() in the middle of a run: the records start afresh, with no
// trace of what came before.
TEST_F(SpiDevice, ClearingTheLogsInTheMiddleOfARun) {
  board.set("mcu.program", "off");
  open_device();
  uint8_t tx = 0x42, rx;
  for (int i = 0; i < 100; ++i) exchange(fd, &tx, &rx, 1);
  board.clear_logs();
  EXPECT_TRUE(board.spi_log().empty());
  for (int i = 0; i < 30; ++i) exchange(fd, &tx, &rx, 1);
  auto log = board.spi_log();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].count, 30u);
  EXPECT_EQ(log[0].tx, Bytes{0x42});
  std::string text = boardsim::read_file(board.dir() + "/spi.log");
  EXPECT_EQ(text.find('\0'), std::string::npos);
}

TEST(SpiLogFormat, TornAndForeignLinesAreSkipped) {
  const std::string text =
      "X 00000000000000000010 00000000000000000020 00000000000000000003 41 tr- 100000 0 8 0 0 0 "
      "0101 ffff\n"
      "C 00000000000000000030 41 wr_mode 0 ok\n"
      "garbage line\n"
      "X 00000000000000000040 00000000000000000040 00000000000000000001 42 -rF 5 1 2 3 4 5 . .\n"
      "X 00000000000000000050 0000000000000000005";  // cut off by a crash
  auto log = boardsim::parse_spi_log(text);
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].t_first_ns, 10u);
  EXPECT_EQ(log[0].t_last_ns, 20u);
  EXPECT_EQ(log[0].count, 3u);
  EXPECT_EQ(log[0].pid, 41);
  EXPECT_EQ(log[1].pid, 42);
  EXPECT_EQ(log[0].bits_per_word, 8);
  EXPECT_EQ(log[0].rx, (Bytes{0xFF, 0xFF}));
  EXPECT_FALSE(log[1].has_tx);
  EXPECT_TRUE(log[1].failed);
  EXPECT_TRUE(log[1].tx.empty());
  EXPECT_EQ(log[1].speed_hz, 5u);
  EXPECT_EQ(log[1].rx_nbits, 5);
  auto config = boardsim::parse_spi_config(text);
  ASSERT_EQ(config.size(), 1u);
  EXPECT_EQ(config[0].name, "wr_mode");
  EXPECT_EQ(config[0].pid, 41);
}

TEST_F(SpiDevice, LongRunsReachTheFileWhilePending) {
  board.set("mcu.program", "off");
  open_device();
  uint8_t tx = 0, rx;
  for (int i = 0; i < 9000; ++i) exchange(fd, &tx, &rx, 1);
  // Read the file itself, without the flush that spi_log() does.
  auto log = boardsim::parse_spi_log(boardsim::read_file(board.dir() + "/spi.log"));
  ASSERT_EQ(log.size(), 1u);
  EXPECT_GE(log[0].count, 9000u - 4096u);
  EXPECT_LE(log[0].count, 9000u);
  EXPECT_EQ(board.spi_log()[0].count, 9000u);
}

TEST_F(SpiDevice, InjectedExchangeFailures) {
  board.set("spi.fail_exchanges", 2);
  open_device();
  uint8_t rx[2] = {0xAA, 0xAA};
  const uint8_t tx[2] = {0x01, 0x01};
  for (int i = 0; i < 2; ++i) {
    errno = 0;
    EXPECT_EQ(exchange(fd, tx, rx, 2), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(rx[0], 0xAA);  // nothing received
  }
  EXPECT_EQ(exchange(fd, tx, rx, 2), 2);
  EXPECT_EQ(rx[0], 0xFF);
  EXPECT_EQ(board.get("spi.fail_exchanges"), "");  // used up, and saved at once
  auto log = board.spi_log();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_TRUE(log[0].failed);
  EXPECT_EQ(log[0].count, 2u);
  EXPECT_EQ(log[0].tx, (Bytes{0x01, 0x01}));
  EXPECT_FALSE(log[1].failed);
}

TEST_F(SpiDevice, OversizedMessageIsRefused) {
  board.set("spi.fail_exchanges", 1);
  open_device();
  std::vector<uint8_t> big(70000);
  errno = 0;
  EXPECT_EQ(exchange(fd, big.data(), big.data(), static_cast<uint32_t>(big.size())), -1);
  EXPECT_EQ(errno, EMSGSIZE);
  EXPECT_TRUE(board.spi_log().empty());
  EXPECT_EQ(board.get("spi.fail_exchanges"), "1");  // not used up by the refusal
}

TEST_F(SpiDevice, AlwaysFailingExchanges) {
  board.set("spi.fail_exchanges", -1);
  open_device();
  uint8_t b = 0;
  for (int i = 0; i < 3; ++i) EXPECT_EQ(exchange(fd, &b, &b, 1), -1);
  EXPECT_EQ(board.get("spi.fail_exchanges"), "-1");
}

// The bootloader's complaints about the host reach the board's records.
TEST_F(SpiDevice, BootloaderNotesAreRecorded) {
  board.set("mcu.program", "bootloader");
  open_device();
  exchange(fd, {0x5A, 0xA1});  // an ACK nobody asked for
  exchange(fd, {0x5A, 0x77});  // no such packet type
  auto notes = board.notes();
  ASSERT_EQ(notes.size(), 2u);
  EXPECT_EQ(notes[0], "ACK from the host where none was due");
  EXPECT_NE(notes[1].find("unknown type 0x77"), std::string::npos) << notes[1];
  EXPECT_EQ(board.get("kb.violations"), "2");
  EXPECT_EQ(board.spi_log().size(), 2u);
}

TEST_F(SpiDevice, StateChangesBetweenOpensAreSeen) {
  open_device();
  exchange(fd, {0x01, 0x01});
  EXPECT_EQ(exchange(fd, {0xFF, 0xFF}), (Bytes{0x57, 0xA2}));
  close(fd);
  board.set("fw.battery", 42);
  open_device();
  exchange(fd, {0x01, 0x01});
  EXPECT_EQ(exchange(fd, {0xFF, 0xFF})[0], 42);
}

// A process that ends without closing the device, aborts, or is killed keeps
// its exchanges in the log; a kill may cost the latest repeats of a run.
TEST(SpiDeviceProcess, RunsSurviveTheEndOfTheProcess) {
  struct Case {
    const char* mode;
    int signal;
    uint64_t min_count;
  };
  const Case cases[] = {
      {"exit", 0, 10000},
      {"abort", SIGABRT, 10000},
      {"kill", SIGKILL, 10000 - 4096},  // killed at once: the latest repeats may be lost
      {"wait", SIGKILL, 10000},         // killed while it waits: nothing lost
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mode);
    Board board;
    board.set("mcu.program", "off");
    double timeout = strcmp(c.mode, "wait") == 0 ? 1.0 : 60.0;
    auto r = board.run({self_path()}, {{"BOARDSIM_TEST_CHILD", c.mode}}, timeout);
    EXPECT_EQ(r.signal, c.signal) << r.err;
    auto log = board.spi_log();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_GE(log[0].count, c.min_count);
    EXPECT_LE(log[0].count, 10000u);
  }
}

}  // namespace
