// The simulated sysfs GPIO lines, driven in-process through the preload
// library as mcuflash drives them (open, write, close; access for the
// existence test): kernel semantics of export, direction and value, the
// write log, and the reset pulse that switches the program the MCU runs.
#include <errno.h>
#include <fcntl.h>
#include <linux/spi/spidev.h>
#include <sys/ioctl.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "boardsim/board.h"

using boardsim::Board;

namespace {

std::string line_path(int line, const char* file = nullptr) {
  std::string p = "/sys/class/gpio/gpio" + std::to_string(line);
  if (file) p += std::string("/") + file;
  return p;
}

// open, write, close as the flasher does; returns write()'s result and
// leaves errno as write (or open) left it.
ssize_t write_file(const std::string& path, const std::string& data) {
  int fd = open(path.c_str(), O_WRONLY);
  if (fd < 0) return -2;
  ssize_t r = write(fd, data.data(), data.size());
  int saved = errno;
  close(fd);
  errno = saved;
  return r;
}

std::string read_back(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return "<" + std::string(strerror(errno)) + ">";
  char buf[16];
  ssize_t n = read(fd, buf, sizeof buf);
  close(fd);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
}

bool exists(int line) { return access(line_path(line).c_str(), F_OK) == 0; }

struct Gpio : ::testing::Test {
  Board board;
  void SetUp() override { board.attach(); }
  void init_line(int line) {
    ASSERT_EQ(write_file("/sys/class/gpio/export", std::to_string(line)), 2);
    ASSERT_EQ(write_file(line_path(line, "direction"), "out"), 3);
    ASSERT_EQ(write_file(line_path(line, "value"), "1"), 1);
  }
  void set(int line, const char* v) { ASSERT_EQ(write_file(line_path(line, "value"), v), 1); }
};

TEST_F(Gpio, ExportCreatesAnInputLine) {
  EXPECT_FALSE(exists(22));
  errno = 0;
  EXPECT_EQ(open(line_path(22, "value").c_str(), O_WRONLY), -1);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(open(line_path(22, "direction").c_str(), O_WRONLY), -1);
  EXPECT_EQ(access("/sys/class/gpio/export", F_OK), 0);

  EXPECT_EQ(write_file("/sys/class/gpio/export", "22"), 2);
  EXPECT_TRUE(exists(22));
  EXPECT_FALSE(exists(21));
  EXPECT_EQ(read_back(line_path(22, "direction")), "in\n");
  EXPECT_EQ(read_back(line_path(22, "value")), "0\n");
  EXPECT_EQ(board.get("gpio.22.exported"), "1");

  errno = 0;  // a second export of the same line is refused, as the kernel does
  EXPECT_EQ(write_file("/sys/class/gpio/export", "22"), -1);
  EXPECT_EQ(errno, EBUSY);
  EXPECT_EQ(write_file("/sys/class/gpio/export", "abc"), -1);
  EXPECT_EQ(errno, EINVAL);
}

TEST_F(Gpio, DirectionAndValue) {
  ASSERT_EQ(write_file("/sys/class/gpio/export", "11"), 2);
  errno = 0;  // an input refuses a value
  EXPECT_EQ(write_file(line_path(11, "value"), "1"), -1);
  EXPECT_EQ(errno, EPERM);
  EXPECT_EQ(board.get("gpio.11.value"), "0");

  EXPECT_EQ(write_file(line_path(11, "direction"), "out"), 3);
  EXPECT_EQ(board.get("gpio.11.direction"), "out");
  EXPECT_EQ(board.get("gpio.11.value"), "0");  // an output starts low
  EXPECT_EQ(write_file(line_path(11, "value"), "1"), 1);
  EXPECT_EQ(board.get("gpio.11.value"), "1");
  EXPECT_EQ(read_back(line_path(11, "value")), "1\n");
  EXPECT_EQ(write_file(line_path(11, "value"), "0"), 1);
  EXPECT_EQ(board.get("gpio.11.value"), "0");

  EXPECT_EQ(write_file(line_path(11, "direction"), "sideways"), -1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(write_file(line_path(11, "direction"), "in"), 2);
  EXPECT_EQ(write_file(line_path(11, "value"), "1"), -1);
  EXPECT_EQ(board.get("gpio.11.value"), "0");
}

TEST_F(Gpio, EveryWriteIsLoggedInOrder) {
  init_line(11);
  ASSERT_EQ(write_file("/sys/class/gpio/export", "11\n"), -1);  // refused, still logged
  auto log = board.gpio_log();
  ASSERT_EQ(log.size(), 4u);
  EXPECT_EQ(log[0].path, "/sys/class/gpio/export");
  EXPECT_EQ(log[0].data, "11");
  EXPECT_EQ(log[1].path, "/sys/class/gpio/gpio11/direction");
  EXPECT_EQ(log[1].data, "out");
  EXPECT_EQ(log[2].path, "/sys/class/gpio/gpio11/value");
  EXPECT_EQ(log[2].data, "1");
  EXPECT_EQ(log[3].data, "11\n");
  for (size_t i = 1; i < log.size(); ++i) EXPECT_LE(log[i - 1].t_ns, log[i].t_ns);
}

TEST_F(Gpio, ResetPulseSelectsTheMcuProgram) {
  EXPECT_EQ(board.get("mcu.program"), "");  // a fresh board runs its firmware
  for (int line : {11, 21, 22}) init_line(line);
  EXPECT_EQ(board.get("mcu.program"), "firmware");

  // Entering the bootloader: boot-select low while reset is low.
  set(22, "1");
  set(22, "0");
  EXPECT_EQ(board.get("mcu.program"), "off");
  set(21, "0");
  EXPECT_EQ(board.get("mcu.program"), "off");
  set(22, "1");
  EXPECT_EQ(board.get("mcu.program"), "bootloader");
  set(22, "1");  // no edge, no restart
  EXPECT_EQ(board.get("mcu.program"), "bootloader");

  // Rebooting: boot-select high through the pulse.
  set(21, "1");
  EXPECT_EQ(board.get("mcu.program"), "bootloader");
  set(22, "0");
  set(22, "1");
  EXPECT_EQ(board.get("mcu.program"), "firmware");
}

TEST_F(Gpio, ResetLineLeftAsInputDoesNotRestart) {
  ASSERT_EQ(write_file("/sys/class/gpio/export", "22"), 2);
  ASSERT_EQ(write_file("/sys/class/gpio/export", "21"), 2);
  ASSERT_EQ(write_file(line_path(21, "direction"), "out"), 3);  // boot-select low
  EXPECT_EQ(write_file(line_path(22, "value"), "0"), -1);
  EXPECT_EQ(write_file(line_path(22, "value"), "1"), -1);
  EXPECT_EQ(board.get("mcu.program"), "");
}

// The flasher opens the device first and restarts the MCU afterwards: the
// open descriptor reaches whichever program the last pulse started.
TEST_F(Gpio, TheOpenDeviceFollowsTheReset) {
  int fd = open("/dev/spidev0.0", O_RDWR);
  ASSERT_GE(fd, 0);
  auto xfer = [fd](std::vector<uint8_t> tx) {
    std::vector<uint8_t> rx(tx.size());
    spi_ioc_transfer x;
    memset(&x, 0, sizeof x);
    x.tx_buf = reinterpret_cast<uintptr_t>(tx.data());
    x.rx_buf = reinterpret_cast<uintptr_t>(rx.data());
    x.len = static_cast<uint32_t>(tx.size());
    EXPECT_EQ(ioctl(fd, SPI_IOC_MESSAGE(1), &x), static_cast<int>(tx.size()));
    return rx;
  };
  for (int line : {11, 21, 22}) init_line(line);
  set(22, "0");
  EXPECT_EQ(xfer({0x01, 0x01}), (std::vector<uint8_t>{0, 0}));  // held in reset
  set(21, "0");
  set(22, "1");
  xfer({0x5A, 0xA6});  // ping
  std::vector<uint8_t> reply;
  for (int i = 0; i < 50 && reply.size() < 2; ++i) {
    uint8_t b = xfer({0x00})[0];
    if (!reply.empty() || b == 0x5A) reply.push_back(b);
  }
  EXPECT_EQ(reply, (std::vector<uint8_t>{0x5A, 0xA7}));

  set(21, "1");
  set(22, "0");
  set(22, "1");
  EXPECT_EQ(xfer({0x01, 0x01}), (std::vector<uint8_t>{0xFF, 0xFF}));
  EXPECT_EQ(xfer({0xFF, 0xFF}), (std::vector<uint8_t>{0x57, 0xA2}));
  close(fd);
}

}  // namespace
